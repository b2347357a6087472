// Placeholder until the recovery lands: nothing is recovered.
#include <mp4/clip_recovery.h>

extern "C" MP4Recovered MP4RecoverClip(int, MP4RecoveryReport *) {
    return MP4_RECOVERED_NOTHING;
}
