#!/usr/bin/env bash
# Timestamp timing (MEDIA_CLIP_TIMING=ts) measured on a clapper: a white
# picture and a 1 kHz beep every 4 s (tests/data/make_clapper.sh), played by
# ring_feed at a true 12 fps while the stream claims 15 and the status block
# targets 20 (declared rate 17).  ffmpeg and GStreamer must see the flashes
# 4 s apart (real speed within 1 %) and each beep within 45 ms of its flash,
# after the AAC encoder's own delay measured on the raw .aac.
#
# Each clip is made the same way, so its start never depends on how fast the
# machine is: a first feed pre-fills 16 s (ts A .. A+16000) and exits, the
# recorder starts on that still ring (newest SPS at A+15000, so the clip
# starts at A+10000: its audio starts 112 ms later at 8 kHz, 48 ms at 16 kHz)
# and waits; a second feed goes on from A+16000 (or from elsewhere, as a
# restarted producer) with sec continuing, and the 11-second clip ends at
# A+22000 with flashes at A+13000, +17000, +21000.
# usage: timing_test.sh ALARM_RECORD RING_FEED DATA_DIR
set -uo pipefail
alarm_record=$1 ring_feed=$2 data=$3
work=$(mktemp -d /tmp/timing.XXXXXX)
cleanup() { stop_feeds; rm -rf "$work"; }
trap cleanup EXIT
export MEDIA_RING_PATH=$work/view MEDIA_STATUS_PATH=$work/mmap.info
source "$(dirname "$0")/../support/clip_checks.sh"
source "$(dirname "$0")/../support/feed.sh"
bash "$data/make_clapper.sh" "$work" 30 || { echo "FAIL: cannot make the clapper media"; exit 1; }
video=$work/clap_12fps.h264
N=11 frames=144  # pictures whose sec is at most N past the clip start's
have_gst=1
command -v gst-launch-1.0 >/dev/null && gst-inspect-1.0 qtdemux >/dev/null 2>&1 &&
  gst-inspect-1.0 avdec_aac >/dev/null 2>&1 || have_gst=0
[ $have_gst = 1 ] || echo "SKIP (GStreamer views): gst-launch-1.0 with qtdemux and avdec_aac not installed"

# record LABEL AAC TS_A TS_B [VAR=VALUE...]: the clip $work/LABEL.mp4; the
# recorder's output in LABEL.log, its exit status in $status.
record() {
  local label=$1 aac=$2 ts_a=$3 ts_b=$4; shift 4
  local common=(--fps 12 --claim-fps 15 --target-fps 20)
  rm -f "$work/view" "$work/mmap.info"
  "$ring_feed" "${common[@]}" --prefill 16 --duration 16 --ts-start "$ts_a" --sec-start 100 \
    "$video" "$aac" > "$work/$label.feed" 2>&1 || echo "FAIL: $label: first feed"
  env "$@" "$alarm_record" "$work/$label.mp4" $N > "$work/$label.log" &
  local rec_pid=$!
  # Pre-roll written: the temporary file holds its first checkpoint.
  for _ in $(seq 300); do [ -s "$work/$label.mp4.tmp" ] && break; sleep 0.02; done
  start_feed "$work" "${common[@]}" --speed 4 --duration 8 --ts-start "$ts_b" --sec-start 116 \
    "$video" "$aac"
  wait "$rec_pid"; status=$?
  stop_feeds
  check "$label: exit status 0 (was $status)" test "$status" -eq 0
  check "$label: printed the frame-rate line" grep -q \
    'target_framerate(20) newsps_framerate(15) record.framerate(15)$' "$work/$label.log"
  check "$label: printed the ending line" grep -qx "6s record over sec($N) video_cnt($frames)" "$work/$label.log"
  local errors
  errors=$(ffmpeg -nostdin -v error -i "$work/$label.mp4" -f null - 2>&1)
  check "$label: decodes without a single error ($errors)" test -z "$errors"
}

probe() {  # FILE STREAM ENTRIES: one csv line per stream or packet
  ffprobe -v error -select_streams "$2" -show_entries "$3" -of csv=p=0 "$1"
}

# Where a player puts things, in seconds on the clip's timeline:
flashes_ffmpeg() {  # pictures whose mean luma is white
  ffprobe -v error -f lavfi "movie=$1,signalstats" -show_entries \
    frame=pts_time:frame_tags=lavfi.signalstats.YAVG -of csv=p=0 | awk -F, '$2 > 128 { print $1 + 0 }'
}
onsets() {  # "TIME LEVEL_DB" lines, 4 ms windows -> each sound after silence
  awk '{ l = ($2 ~ /inf/) ? -200 : $2 + 0; if (l > -30 && quiet) { print $1 + 0; quiet = 0 } if (l < -50) quiet = 1 }'
}
beeps_ffmpeg() {  # ffmpeg's demuxer applies the edit list to the pts
  local rate=$2
  ffprobe -v error -f lavfi "amovie=$1,asetnsamples=n=$((rate / 250)),astats=metadata=1:reset=1" \
    -show_entries frame=pts_time:frame_tags=lavfi.astats.Overall.RMS_level -of csv=p=0 | tr , ' ' | onsets
}
gst_video_pts() {  # every picture's running time, in decoding order
  gst-launch-1.0 -v filesrc location="$1" ! qtdemux name=d d.video_0 ! fakesink silent=false 2>&1 |
    sed -nE 's/.*chain .*pts: ([0-9]+):([0-9]+):([0-9.]+),.*/\1 \2 \3/p' | awk '{ printf "%.6f\n", $1 * 3600 + $2 * 60 + $3 }'
}
beeps_gst() {  # level's running time: after qtdemux's segment for the edit
  gst-launch-1.0 -m filesrc location="$1" ! qtdemux name=d d.audio_0 ! avdec_aac ! audioconvert ! \
    level interval=4000000 ! fakesink sync=false 2>&1 |
    sed -nE 's/.*level, .*running-time=\(guint64\)([0-9]+),.* rms=\(GValueArray\)< ([^ ]+) >.*/\1 \2/p' |
    awk '{ print $1 / 1e9, $2 }' | onsets
}

# measure FLASHES BEEPS DELAY: "ok|bad", the speed error (flash-to-flash
# against 4 s) and each flash's nearest beep, less the encoder's delay.
measure() {
  awk -v f="$1" -v b="$2" -v d="$3" 'BEGIN {
    nf = split(f, fl, " "); nb = split(b, bp, " ")
    if (nf < 2) { print "bad: " nf " flashes"; exit }
    speed = (fl[nf] - fl[1]) / (4 * (nf - 1)) - 1; worst = 0; offs = ""
    for (i = 1; i <= nf; ++i) {
      best = 1e9
      for (j = 1; j <= nb; ++j) { o = bp[j] - d - fl[i]; if (o * o < best * best) best = o }
      offs = offs sprintf(" %+.0f", best * 1000); if (best * best > worst * worst) worst = best
    }
    ok = nf == 3 && nb == 3 && speed * speed < 1e-4 && worst * worst < 0.045 * 0.045
    printf "%s: speed %+.2f%%, beep - flash (ms):%s\n", ok ? "ok" : "bad", speed * 100, offs }'
}
sync() {  # LABEL VIEW FLASHES BEEPS DELAY
  local line
  line=$(measure "$3" "$4" "$5")
  echo "$1 [$2] $line   (flashes at $3; beeps at $4)"
  check "$1 [$2]: real speed within 1 %, each of 3 beeps within 45 ms of its flash" test "${line%%:*}" = ok
}

# The encoder's own delay: the first beep in the raw stream vs. its 1 s.
declare -A enc_delay
for k in 8 16; do
  first=$(ffprobe -v error -f lavfi "amovie=$work/clap_${k}k.aac,asetnsamples=n=$((k * 4)),astats=metadata=1:reset=1" \
    -show_entries frame=pts_time:frame_tags=lavfi.astats.Overall.RMS_level -of csv=p=0 | tr , ' ' | onsets | head -1)
  enc_delay[$k]=$(awk -v t="$first" 'BEGIN { printf "%.3f", t - 1 }')
  echo "encoder delay at ${k} kHz: ${enc_delay[$k]} s"
done

check_sync() {  # LABEL KHZ
  local clip=$work/$1.mp4 k=$2
  sync "$1" ffmpeg "$(flashes_ffmpeg "$clip" | xargs)" "$(beeps_ffmpeg "$clip" $((k * 1000)) | xargs)" "${enc_delay[$k]}"
  [ $have_gst = 1 ] || return 0
  # GStreamer's pictures: the same running times as ffmpeg's pts, so the
  # flashes sit where ffmpeg found them; its beeps from its own decode.
  local ff gst
  ff=$(probe "$clip" v packet=pts_time | awk '{ printf "%.6f\n", $1 }' | xargs)
  gst=$(gst_video_pts "$clip" | xargs)
  check "$1 [gstreamer]: every picture at ffmpeg's time" test "$gst" = "$ff"
  sync "$1" gstreamer "$(flashes_ffmpeg "$clip" | xargs)" "$(beeps_gst "$clip" | xargs)" "${enc_delay[$k]}"
}

check_end() {  # LABEL: the audio ends within one AAC frame of the video
  local clip=$work/$1.mp4 ends
  ends=$(probe "$clip" a stream=start_time,duration,sample_rate | tr '\n' , && probe "$clip" v stream=duration)
  echo "$1: audio rate, start, duration; video duration: $ends"
  check "$1: the audio ends within one AAC frame of the video (got $ends)" \
    awk -v e="$ends" 'BEGIN { split(e, f, ","); d = f[2] + f[3] - f[4]; exit !(d * d < (1024 / f[1]) ^ 2) }'
}

durations() {  # the distinct video sample durations, with their counts
  probe "$1" v packet=duration | sort -n | uniq -c | awk '{ printf "%s%sx%s", sep, $2, $1; sep = " " }'
}

# 1. Timestamps, 8 kHz: real speed and lip sync.
case_ts8() {
  record ts8 "$work/clap_8k.aac" 100000 116000 MEDIA_CLIP_TIMING=ts
  local clip=$work/ts8.mp4
  check "ts8: pictures last 83 or 84 ms (got $(durations "$clip"))" \
    test "$(durations "$clip" | sed -E 's/x[0-9]+//g')" = "7470 7560"
  local audio
  audio=$(probe "$clip" a stream=sample_rate,time_base,start_time)
  check "ts8: audio at 8000 Hz, from 112 ms (got $audio)" test "$audio" = "8000,1/8000,0.112000"
  check_end ts8
  check_sync ts8 8
}

# 2. A clip that ends inside the pre-filled frames: the audio, read as fast
# as the video, must still stop where the pictures do.
case_short() {
  local N=4 frames=60
  record short "$work/clap_8k.aac" 100000 116000 MEDIA_CLIP_TIMING=ts
  check_end short
}

# 3. The same with the switch off: the fixed durations of the declared 17 fps.
case_fixed() {
  record fixed "$work/clap_8k.aac" 100000 116000 MEDIA_CLIP_TIMING=off
  local clip=$work/fixed.mp4
  check "fixed: every picture 5294 (got $(durations "$clip"))" test "$(durations "$clip")" = "5294x$frames"
  local audio
  audio=$(probe "$clip" a stream=sample_rate,time_base,start_time,nb_frames)
  check "fixed: 8N+1 audio frames at 8000 from 0 (got $audio)" test "$audio" = "8000,1/8000,0.000000,$((8 * N + 1))"
  local fl bp
  fl=$(flashes_ffmpeg "$clip" | xargs) bp=$(beeps_ffmpeg "$clip" 8000 | xargs)
  echo "fixed [ffmpeg] $(measure "$fl" "$bp" "${enc_delay[8]}" | sed 's/^[a-z]*: //')   (flashes at $fl; beeps at $bp)"
}

# 4. 16 kHz audio: its own time scale, in step with the pictures.
case_ts16() {
  record ts16 "$work/clap_16k.aac" 100000 116000 MEDIA_CLIP_TIMING=ts
  local audio
  audio=$(probe "$work/ts16.mp4" a stream=sample_rate,time_base,start_time)
  check "ts16: audio at 16000 Hz, from 48 ms (got $audio)" test "$audio" = "16000,1/16000,0.048000"
  check_sync ts16 16
}

# 5. The millisecond clock wraps 2 s after the second feed begins.
case_wrap() {
  record wrap "$work/clap_8k.aac" $((2 ** 32 - 18000)) $((2 ** 32 - 2000)) MEDIA_CLIP_TIMING=ts
  check "wrap: no jump at the wrap (got $(durations "$work/wrap.mp4"))" \
    test "$(durations "$work/wrap.mp4" | sed -E 's/x[0-9]+//g')" = "7470 7560"
  check_sync wrap 8
}

# 6. A restarted producer: the second feed's ts start over from 5000.
case_restart() {
  record restart "$work/clap_8k.aac" 100000 5000 MEDIA_CLIP_TIMING=ts
  local jump
  jump=$(probe "$work/restart.mp4" v packet=duration | grep -n -v -e '^7470$' -e '^7560$' | xargs)
  echo "restart: durations $(durations "$work/restart.mp4"), the odd one at sample:duration $jump"
  check "restart: only the last picture before the restart takes the nominal 5294 (got $jump)" \
    test "$jump" = "$((6 * 12)):5294"
}

# TIMING_CASES picks some of them (e.g. while a fault is planted).
for c in ${TIMING_CASES:-ts8 short fixed ts16 wrap restart}; do "case_$c"; done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
