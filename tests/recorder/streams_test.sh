#!/usr/bin/env bash
# Camera streams the sample media alone does not give, made at test time
# from it: pictures of four slices (put one slice at a time, or whole with
# their parameter sets), I frames of 215 KB (four fifths of what channel 1
# takes), ADTS frames with a CRC (9-byte headers), AAC whose
# format changes mid-stream (8 kHz mono, then 16 kHz stereo), and a
# millisecond clock that wraps before, long before and inside the clip.
# ring_feed plays each into a ring at 4x speed with a pre-fill and
# alarm_record records a 6-second clip; ffprobe counts what it holds and
# ffmpeg decodes it.
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
# The sample pictures again, in four slices each, key frames as before.
ffmpeg -nostdin -v error -i "$data/video_15fps.h264" -c:v libx264 -preset ultrafast -bf 0 -g 15 \
  -x264-params slices=4 -f h264 "$work/sliced.h264" || exit 1
# A still picture of noise, lossless: I frames of 215 KB each second, so
# that every other one wraps channel 1's 512 KiB region and puts the SPS and
# PPS just ahead of it out of reach as soon as it is stored.
ffmpeg -nostdin -v error -f lavfi -i "nullsrc=s=480x288,geq=lum='random(1)*255':cb=128:cr=128" \
  -frames:v 1 "$work/noise.png" &&
  ffmpeg -nostdin -v error -loop 1 -framerate 15 -t 16 -i "$work/noise.png" -c:v libx264 \
    -preset ultrafast -qp 0 -bf 0 -g 15 -pix_fmt yuv420p -f h264 "$work/large.h264" || exit 1
cp "$data/video_15fps.h264" "$data/audio_8k_mono.aac" "$work/"

record() {  # NAME VIDEO AUDIO PREFILL [RING_FEED OPTION...]: a 6-second clip
  local name=$1 video=$2 audio=$3 prefill=$4; shift 4
  start_feed "$work/$name" --prefill "$prefill" --speed 4 "$@" "$video" "$audio" || return 1
  timeout 60 "$alarm_record" "$work/$name.mp4" 6 > "$work/$name.log"
  status=$?
  stop_feed
}

# Every ts, in ring_feed --verbose's FEED_LOG, at which the clip's run of
# samples in STREAM begins, found by their sizes (a sample is its frame
# less HEADER bytes; the media loops, so a run recurs).
run_starts() {  # CLIP STREAM(v|a) FEED_LOG CHANNEL HEADER
  local sizes
  sizes=$(ffprobe -v error -select_streams "$2" -show_entries packet=size -of csv=p=0 "$1" | head -12 | xargs)
  awk -v ch="$4" -v header="$5" -v want="$sizes" '
    BEGIN { k = split(want, w, " ") }
    $1 == "ch" && $2 == ch && (ch == 4 || $8 == 1 || $8 == 5) { n++; ts[n] = $4; size[n] = $10 - header }
    END {
      for (i = 1; k > 0 && i + k - 1 <= n; i++) {
        for (j = 1; j <= k && size[i + j - 1] == w[j]; j++) {}
        if (j > k) print ts[i]
      }
    }' "$3"
}

# name | video | audio | pre-fill | ring_feed options (the large I frames
# in real time: at 4x the ring holds a quarter of a second of them, less
# than a loaded machine may keep a reader waiting).  The clock from
# 2^32 - 4000 wraps 4 s into the feed: 6 s before the alarm's newest SPS,
# or 20 s before it after a 24 s pre-fill; from 2^32 - 12000, inside the clip.
while read -r name video audio prefill options; do
  record "$name" "$work/$video" "$work/$audio" "$prefill" $options
  check "$name: exit status 0 (was $status)" test "$status" -eq 0
  check_clip "$name" "$work/$name.mp4" 6
  duration=$(ffprobe -v error -select_streams v -show_entries stream=duration -of csv=p=0 "$work/$name.mp4")
  check "$name: the pictures last 7 s (got $duration)" test "$duration" = 7.000000
  case $name in wrap*)
    # The pictures start 5 s before the alarm's newest SPS, which is at or
    # just before the pre-fill's end (an SPS each second); the audio one
    # second before them, less the frame there that only configures the
    # track: 744 to 872 ms before.
    clock=${options##*--ts-start }
    v=$(run_starts "$work/$name.mp4" v "$work/$name/feed.log" 1 0 |
      awk -v c="$clock" -v p="$prefill" '{ m = ($1 - c + 4294967296) % 4294967296 }
                                         m >= p * 1000 - 6500 && m <= p * 1000 - 3500 { print; exit }')
    a=$(run_starts "$work/$name.mp4" a "$work/$name/feed.log" 4 7 | xargs)
    check "$name: pictures from 5 s before the alarm (at $v), audio 744 to 872 ms before them (at one of $a)" \
      awk -v v="$v" -v all="$a" 'BEGIN { n = split(all, a, " ")
        for (i = 1; v != "" && i <= n; i++) { d = (v - a[i] + 4294967296) % 4294967296; if (d > 744 && d <= 872) exit 0 }
        exit 1 }'
  esac
done <<'TABLE'
crc video_15fps.h264 crc.aac 10
slices sliced.h264 audio_8k_mono.aac 10
access-units sliced.h264 audio_8k_mono.aac 10 --access-units
large-i large.h264 audio_8k_mono.aac 10 --speed 1
wrap-before video_15fps.h264 audio_8k_mono.aac 10 --verbose --ts-start 4294963296
wrap-long-before video_15fps.h264 audio_8k_mono.aac 24 --verbose --ts-start 4294963296
wrap-inside video_15fps.h264 audio_8k_mono.aac 10 --verbose --ts-start 4294955296
TABLE

# One SPS ahead of 8 s of lossless pictures, more than the ring holds: the
# newest SPS is out of reach 3 s in, and the recorder's wait for it prints
# one line a second at most (a search a second, the ring's own lines for it
# left out).
ffmpeg -nostdin -v error -i "$data/video_15fps.h264" -c:v libx264 -preset ultrafast -qp 0 -bf 0 \
  -g 1000 -f h264 "$work/far.h264" || exit 1
start_feed "$work/far" --prefill 3 "$work/far.h264" "$work/audio_8k_mono.aac" || exit 1
timeout -s INT 3.5 "$alarm_record" "$work/far.mp4" 6 > "$work/far.log"
stop_feed
waiting=$(grep -c '^alarm_record: no SPS within reach on channel 1 yet; waiting$' "$work/far.log")
others=$(grep -cv '^$\|^MMAP address=\|no SPS within reach\|stopped by signal 2' "$work/far.log")
check "SPS out of reach: 1 to 4 lines in 3.5 s, nothing else ($waiting, and $others others)" \
  test "$waiting" -ge 1 -a "$waiting" -le 4 -a "$others" -eq 0

# The first frame of the second format (12.2 s in) ends the audio, with one
# line; the video goes on to the clip's end.  The clip's audio runs from
# about 8 s to 14 s of media time.
record change "$work/video_15fps.h264" "$work/change.aac" 14
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
