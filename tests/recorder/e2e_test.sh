#!/usr/bin/env bash
# The real binaries end to end: ring_feed plays the sample media into a ring
# in a scratch folder at 4x speed with a 10-second pre-fill, and alarm_record
# records clips of 0, 1 and 6 seconds from it.  Each clip is checked with
# ffprobe and decoded with ffmpeg; then a recorder killed mid-clip must leave
# nothing under the final name.
# usage: e2e_test.sh ALARM_RECORD RING_FEED DATA_DIR
set -uo pipefail
alarm_record=$1 ring_feed=$2 data=$3
work=$(mktemp -d /tmp/e2e.XXXXXX)
cleanup() { stop_feeds; rm -rf "$work"; }
trap cleanup EXIT
source "$(dirname "$0")/../support/clip_checks.sh"
source "$(dirname "$0")/../support/feed.sh"

start_feed "$work" --prefill 10 --speed 4 --ts-start 100000 --target-fps 15 \
  "$data/video_15fps.h264" "$data/audio_8k_mono.aac" || exit 1

for n in 0 1 6; do
  clip=$work/clip_$n.mp4
  timeout 60 "$alarm_record" "$clip" "$n" > "$work/rec_$n.log"
  status=$?
  check "N=$n: exit status 0 (was $status)" test "$status" -eq 0
  check "N=$n: clip under its final name" test -s "$clip"
  check "N=$n: no temporary file left" test ! -e "$clip.tmp"
  check_clip host "$clip" "$n"
  check "N=$n: fixed sample duration 6000" \
    test "$(ffprobe -v error -select_streams v -show_entries stream=duration_ts -of csv=p=0 "$clip")" = $((6000 * 15 * (n + 1)))
  check "N=$n: video track named 6" grep -qa $'name6' "$clip"
  check "N=$n: printed the frame-rate line" grep -q '^event_gap(.*) target_framerate(15) newsps_framerate(15) record.framerate(15)$' "$work/rec_$n.log"
  check "N=$n: printed the ending line" grep -qx "6s record over sec($n) video_cnt($((15 * (n + 1))))" "$work/rec_$n.log"
done

# Killed mid-clip: the temporary file may stay, the final name never appears.
clip=$work/killed.mp4
"$alarm_record" "$clip" 30 > "$work/killed.log" &
rec_pid=$!
for _ in $(seq 400); do [ -e "$clip.tmp" ] && break; sleep 0.01; done
sleep 0.3
kill -9 "$rec_pid"; wait "$rec_pid" 2>/dev/null
check "killed recorder: temporary file was being written" test -e "$clip.tmp"
check "killed recorder: nothing under the final name" test ! -e "$clip"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
