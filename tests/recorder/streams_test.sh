#!/usr/bin/env bash
# Camera streams the sample media alone does not give, made at test time
# from it: ADTS frames with a CRC (9-byte headers), and AAC whose format
# changes mid-stream (8 kHz mono, then 16 kHz stereo).  ring_feed plays each
# into a ring at 4x speed with a pre-fill and alarm_record records
# a 6-second clip; ffprobe counts what it holds and ffmpeg decodes it.
# usage: streams_test.sh ALARM_RECORD RING_FEED ADTS_CRC DATA_DIR
set -uo pipefail
alarm_record=$1 ring_feed=$2 adts_crc=$3 data=$4
work=$(mktemp -d /tmp/streams.XXXXXX)
cleanup() { stop_feeds; rm -rf "$work"; }
trap cleanup EXIT
source "$(dirname "$0")/../support/clip_checks.sh"
source "$(dirname "$0")/../support/feed.sh"

"$adts_crc" "$data/audio_8k_mono.aac" "$work/crc.aac" || exit 1
ffmpeg -nostdin -v error -i "$data/audio_8k_mono.aac" -ar 16000 -ac 2 -c:a aac -f adts "$work/stereo.aac" &&
  cat "$data/audio_8k_mono.aac" "$work/stereo.aac" > "$work/change.aac" || exit 1

record() {  # NAME AUDIO PREFILL: a 6-second clip from the sample video and AUDIO
  start_feed "$work/$1" --prefill "$3" --speed 4 "$data/video_15fps.h264" "$2" || return 1
  timeout 60 "$alarm_record" "$work/$1.mp4" 6 > "$work/$1.log"
  status=$?
  stop_feed
}

record crc "$work/crc.aac" 10
check "CRC: exit status 0 (was $status)" test "$status" -eq 0
check_clip CRC "$work/crc.mp4" 6

# The first frame of the second format (12.2 s in) ends the audio, with one
# line; the video goes on to the clip's end.  The clip's audio runs from
# about 8 s to 14 s of media time.
record change "$work/change.aac" 14
check "format change: exit status 0 (was $status)" test "$status" -eq 0
check "format change: one line says the audio ends" \
  test "$(grep -c 'the audio changes format (16000 Hz, 2 channels)' "$work/change.log")" -eq 1
frames=$(ffprobe -v error -select_streams a -show_entries stream=sample_rate,channels,nb_frames -of csv=p=0 "$work/change.mp4")
check "format change: the audio stays 8000 Hz mono, cut short ($frames)" \
  awk -F, -v f="$frames" 'BEGIN { split(f, a, ","); exit !(a[1] == 8000 && a[2] == 1 && a[3] > 0 && a[3] < 49) }'
errors=$(ffmpeg -nostdin -v error -i "$work/change.mp4" -f null - 2>&1)
check "format change: decodes without a single error ($errors)" test -z "$errors"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
