#!/usr/bin/env bash
# Regenerates the sample media the tests and the demo feed into the ring:
#   video_15fps.h264   H.264 Annex-B, 640x360, 15 fps, 8 s, Constrained Baseline,
#                      an SPS and PPS before every I frame (one I frame a second)
#   reschange.h264     4 s at 640x360 then 4 s at 320x180, encoded apart and
#                      concatenated: the resolution changes mid-stream
#   audio_8k_mono.aac  AAC-LC, 8000 Hz, mono, 16 kbit/s, in ADTS (7-byte headers), 12 s
# Needs ffmpeg with libx264.  The outputs are committed; run this only to remake them.
set -euo pipefail
cd "$(dirname "$0")"
x264='keyint=15:min-keyint=15:scenecut=0:repeat-headers=1:bframes=0'
enc() {  # size seconds output
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$1:rate=15" -t "$2" \
    -c:v libx264 -profile:v baseline -preset veryfast -b:v 150k -pix_fmt yuv420p \
    -x264-params "$x264" -bsf:v h264_mp4toannexb -f h264 "$3"
}
enc 640x360 8 video_15fps.h264
enc 640x360 4 /tmp/reschange_a.$$.h264
enc 320x180 4 /tmp/reschange_b.$$.h264
cat /tmp/reschange_a.$$.h264 /tmp/reschange_b.$$.h264 > reschange.h264
rm -f /tmp/reschange_a.$$.h264 /tmp/reschange_b.$$.h264
ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:sample_rate=8000" -t 12 \
  -c:a aac -b:a 16k -ac 1 -ar 8000 -f adts audio_8k_mono.aac
ls -l video_15fps.h264 reschange.h264 audio_8k_mono.aac
