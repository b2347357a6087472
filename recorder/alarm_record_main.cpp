#include "recorder/recorder.h"

int main(int argc, char **argv) {
    return alarm_record_main(argc, argv);
}
