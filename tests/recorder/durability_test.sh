#!/usr/bin/env bash
# durability_test.sh - what becomes of a clip when its recording is cut
# short, with the real binaries: ring_feed plays the sample media in real
# time after a 10-second pre-fill, and alarm_record records from it.
#   kill -9 mid-clip            NAME.tmp plays as it is (and clip_recover,
#                               where built, makes NAME from it)
#   SIGTERM, SIGINT, SIGHUP     exit 3, one line, NAME plays, no NAME.tmp
#   a write error (EFBIG; ENOSPC where a tmpfs can be mounted)
#                               exit 3 and NAME plays, once recovery is in
#   a producer stopped          exit 3 after 10 s of silence, NAME plays
#   no audio at all             a video-only clip, exit 0
#   stdout closed, or a pipe whose reader went away: complete clips
#   a symlink or FIFO at NAME.tmp, the same NAME twice, bad lengths: refused
#   flushes that take 200 ms    no frame lost, about one flush a second
#   flushes that take 12 s      no frame lost, exit 0: storage never holds up
#                               the reading of the ring
#   storage slower than the stream until the queue is full
#                               exit 3, one line, the clip whole up to the
#                               last frame queued
# The cases run in parallel, each with its own files; those that leave the
# producer alone share one ring, the others have their own.
# usage: durability_test.sh ALARM_RECORD RING_FEED DATA_DIR SLOW_SYNC_LIB CLIP_RECOVER

# As root, run in a mount namespace of our own, so the full file system's
# tmpfs goes away with the test however the test ends.
if [ "$(id -u)" -eq 0 ] && [ -z "${DURABILITY_NS:-}" ] && unshare -m true 2>/dev/null; then
  DURABILITY_NS=1 exec unshare -m --propagation private bash "$0" "$@"
fi
set -uo pipefail
alarm_record=$1 ring_feed=$2 data=$3 slow_sync=$4 clip_recover=$5
work=$(mktemp -d /tmp/durability.XXXXXX)
feed_pids_file=$work/feeds
cleanup() {
  stop_feeds
  umount "$work/full" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/../support/clip_checks.sh"
source "$(dirname "$0")/../support/feed.sh"

absent() { ! grep -qa "$@"; }

# wait_line FILE TEXT: until FILE holds TEXT (30 s at most).
wait_line() {
  local i
  for ((i = 0; i < 600; i++)); do grep -qF -- "$2" "$1" 2>/dev/null && return; sleep 0.05; done
  echo "gave up waiting for '$2' in $1"
}

# finish PID SECONDS: the exit status of background job PID, killed if it
# still runs after SECONDS.
finish() {
  local i
  for ((i = 0; i < $2 * 20; i++)); do kill -0 "$1" 2>/dev/null || break; sleep 0.05; done
  kill -9 "$1" 2>/dev/null
  wait "$1"
}

# sample_feed DIR OPTIONS...: the sample media into DIR's own ring and status
# block (start_feed), read by the recorders started from here on.
sample_feed() {
  local dir=$1; shift
  start_feed "$dir" --target-fps 15 "$@" "$data/video_15fps.h264" "$data/audio_8k_mono.aac"
}

# check_plays LABEL FILE STREAMS: ffprobe finds exactly STREAMS (codec
# names, comma-separated) and ffmpeg decodes FILE without one error.
check_plays() {
  local streams errors
  streams=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$2" 2>&1 | paste -sd,)
  check "$1: streams $3 (got $streams)" test "$streams" = "$3"
  errors=$(ffmpeg -nostdin -v error -i "$2" -f null - 2>&1)
  check "$1: decodes without a single error ($errors)" test -z "$errors"
}

video_frames() {
  local n
  n=$(ffprobe -v error -select_streams v -show_entries stream=nb_frames -of csv=p=0 "$1" 2>/dev/null)
  echo "${n:-0}"
}

# A kill -9 DELAY s after the I frame GAP s into a 20 s clip was written:
# the last checkpoint, at most a second old, holds every picture up to GAP - 2.
killed() {  # GAP DELAY
  local clip=$work/kill9_$1.mp4 pid status frames
  "$alarm_record" "$clip" 20 > "$clip.log" & pid=$!
  wait_line "$clip.log" "second gap($1)"
  sleep "$2"
  kill -9 "$pid"; wait "$pid" 2>/dev/null
  check_plays "kill -9 at gap $1 + $2 s: NAME.tmp as it is" "$clip.tmp" h264,aac
  frames=$(video_frames "$clip.tmp")
  check "kill -9 at gap $1 + $2 s: checkpointed every second ($frames >= $((15 * ($1 - 2))) pictures)" \
    test "$frames" -ge $((15 * ($1 - 2)))
  check "kill -9 at gap $1: nothing under NAME" test ! -e "$clip"
  "$clip_recover" "$clip.tmp" > "$clip.recover.log" 2>&1; status=$?
  check "kill -9 at gap $1: clip_recover exit 0 (was $status)" test "$status" -eq 0
  check_plays "kill -9 at gap $1: NAME recovered" "$clip" h264,aac
  check "kill -9 at gap $1: recovered NAME keeps the $frames pictures" test "$(video_frames "$clip")" -eq "$frames"
}

stopped_by() {  # SIGNAL NUMBER DESCRIPTION
  local clip=$work/sig$1.mp4 pid status kept
  "$alarm_record" "$clip" 20 > "$clip.log" & pid=$!
  wait_line "$clip.log" "second gap(8)"
  kill -s "$1" "$pid"
  finish "$pid" 10; status=$?
  check "SIG$1: exit 3 (was $status)" test "$status" -eq 3
  check "SIG$1: says why" grep -qx "alarm_record: the clip is cut short: stopped by signal $2 ($3)" "$clip.log"
  check_plays "SIG$1: NAME" "$clip" h264,aac
  kept=$(grep -o 'video_cnt([0-9]*) second gap' "$clip.log" | tail -1 | tr -dc 0-9)
  check "SIG$1: every picture written is kept ($(video_frames "$clip") > ${kept:-?})" \
    test "$(video_frames "$clip")" -gt "${kept:-999}"
  check "SIG$1: no NAME.tmp left" test ! -e "$clip.tmp"
}

# A write error after the first checkpoint: RLIMIT_FSIZE (any user) gives
# EFBIG, a full tmpfs (root) ENOSPC, where the movie box's slots also need
# new blocks.  The clip keeps its last checkpoint.
write_error() {  # ERRNO-NAME STRERROR
  local clip log=$work/$1.log status
  if [ "$1" = EFBIG ]; then
    clip=$work/efbig.mp4
    ( ulimit -f 224; trap '' XFSZ; exec timeout 60 "$alarm_record" "$clip" 20 ) > "$log"; status=$?
  else
    mkdir "$work/full"
    if ! mount -t tmpfs -o size=224k durability "$work/full" 2>/dev/null; then
      echo "SKIP: ENOSPC: no small tmpfs can be mounted here (needs root); EFBIG covers write errors"
      return
    fi
    clip=$work/full/enospc.mp4
    timeout 60 "$alarm_record" "$clip" 20 > "$log"; status=$?
  fi
  check "$1: one line names the failed write" grep -qx "alarm_record: cannot write $clip.tmp: $2" "$log"
  check "$1: exit 3 (was $status)" test "$status" -eq 3
  check "$1: cut short at its last checkpoint" grep -q '^alarm_record: the clip is cut short at its last checkpoint: ' "$log"
  check_plays "$1: NAME" "$clip" h264,aac
  check "$1: no NAME.tmp left" test ! -e "$clip.tmp"
}

stalled_producer() {
  sample_feed "$work/stalled" --prefill 10
  local clip=$work/stalled.mp4 pid status
  "$alarm_record" "$clip" 20 > "$clip.log" & pid=$!
  wait_line "$clip.log" "second gap(7)"
  kill -STOP "$feed_pid"
  finish "$pid" 20; status=$?
  stop_feed
  check "producer stopped: exit 3 (was $status)" test "$status" -eq 3
  check "producer stopped: says which channel fell silent" \
    grep -qxE 'alarm_record: the clip is cut short: nothing on channel [14] for 10 s' "$clip.log"
  check_plays "producer stopped: NAME" "$clip" h264,aac
  check "producer stopped: no NAME.tmp left" test ! -e "$clip.tmp"
}

# ring_feed cannot feed video alone (it refuses an audio file without
# frames), so 12 s are put at once and channel 4's control block (16016
# bytes, the fifth) is then emptied: a ring whose audio channel never held
# a frame.
video_only() {
  local dir=$work/mute clip=$work/mute.mp4 status
  mkdir -p "$dir"
  "$ring_feed" --ring "$dir/view" --status "$dir/mmap.info" --target-fps 15 --prefill 12 --duration 12 \
    "$data/video_15fps.h264" "$data/audio_8k_mono.aac" > "$dir/feed.log" 2>&1
  dd if=/dev/zero of="$dir/view" bs=16016 seek=4 count=1 conv=notrunc status=none
  MEDIA_RING_PATH=$dir/view MEDIA_STATUS_PATH=$dir/mmap.info timeout 30 "$alarm_record" "$clip" 2 > "$clip.log"
  status=$?
  check "no audio: exit 0 (was $status)" test "$status" -eq 0
  check "no audio: says so" grep -qx 'alarm_record: no audio on channel 4 within 2 s, the clip is video only' "$clip.log"
  check_plays "no audio: NAME" "$clip" h264
  check "no audio: 45 pictures" test "$(video_frames "$clip")" -eq 45
}

stdout_closed() {
  local clip=$work/closed.mp4 status
  timeout 30 "$alarm_record" "$clip" 1 >&-; status=$?
  check "stdout closed: exit 0 (was $status)" test "$status" -eq 0
  check_clip "stdout closed:" "$clip" 1
  check "stdout closed: no progress line inside the clip" absent 'record over' "$clip"
}

stdout_broken_pipe() {
  local clip=$work/pipe.mp4 status
  timeout 30 "$alarm_record" "$clip" 8 | head -c 1 > /dev/null
  status=${PIPESTATUS[0]}
  check "stdout a pipe without a reader: exit 0 (was $status)" test "$status" -eq 0
  check_clip "stdout a pipe without a reader:" "$clip" 8
}

not_regular() {  # symlink | fifo
  local clip=$work/$1.mp4 status
  if [ "$1" = symlink ]; then
    echo precious > "$work/victim"; ln -s "$work/victim" "$clip.tmp"
  else
    mkfifo "$clip.tmp"
  fi
  timeout 10 "$alarm_record" "$clip" 1 > "$clip.log"; status=$?
  check "$1 at NAME.tmp: exit 1 at once (was $status)" test "$status" -eq 1
  check "$1 at NAME.tmp: one line says why" grep -qx "alarm_record: $clip.tmp is not a regular file" "$clip.log"
  check "$1 at NAME.tmp: no other line of ours" test "$(grep -c '^alarm_record:' "$clip.log")" -eq 1
  check "$1 at NAME.tmp: nothing under NAME" test ! -e "$clip"
  if [ "$1" = symlink ]; then
    check "symlink at NAME.tmp: still the link" test -L "$clip.tmp"
    check "symlink at NAME.tmp: its target untouched" test "$(cat "$work/victim")" = precious
  else
    check "fifo at NAME.tmp: still the FIFO" test -p "$clip.tmp"
  fi
}

same_name_twice() {
  local clip=$work/twice.mp4 pid status
  "$alarm_record" "$clip" 10 > "$clip.log" & pid=$!
  wait_line "$clip.log" "second gap(7)"
  timeout 5 "$alarm_record" "$clip" 10 > "$clip.second.log"; status=$?
  check "same NAME twice: the second exits 1 at once (was $status)" test "$status" -eq 1
  check "same NAME twice: the second says why" \
    grep -qx "alarm_record: $clip.tmp is being recorded by another process" "$clip.second.log"
  finish "$pid" 30; status=$?
  check "same NAME twice: the first exits 0 (was $status)" test "$status" -eq 0
  check_clip "same NAME twice, the first's clip:" "$clip" 10
}

lengths() {
  local len clip status
  for len in 2147483648 4294967297 3601 -1; do
    clip=$work/len_$len.mp4
    timeout 10 "$alarm_record" "$clip" "$len" > /dev/null 2>&1; status=$?
    check "length $len: exit 255 (was $status)" test "$status" -eq 255
    check "length $len: nothing created" test ! -e "$clip" -a ! -e "$clip.tmp"
  done
  clip=$work/len_abc.mp4
  timeout 30 "$alarm_record" "$clip" abc > /dev/null; status=$?
  check "length abc: exit 0 (was $status)" test "$status" -eq 0
  check_clip "length abc:" "$clip" 0
}

# Flushes of 200 ms at real speed: the recorder keeps up, and flushes at
# each checkpoint (one a second) and at the end, not per sample.
slow_flushes() {
  local clip=$work/slow.mp4 status t0 seconds flushes
  t0=$(date +%s%N)
  LD_PRELOAD=$slow_sync SLOW_SYNC_LOG=$work/slow.flushes \
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
    timeout 60 "$alarm_record" "$clip" 8 > "$clip.log"
  status=$?
  seconds=$((($(date +%s%N) - t0) / 1000000000 + 1))
  flushes=$(cat "$work/slow.flushes" 2>/dev/null | wc -l)
  check "slow flushes: exit 0 (was $status)" test "$status" -eq 0
  check_clip "slow flushes:" "$clip" 8
  check "slow flushes: the library was in ($flushes flushes)" test "$flushes" -ge 2
  check "slow flushes: about one a second ($flushes in $seconds s)" test "$flushes" -le $((seconds + 3))
}

# slow_recording LABEL FLUSH_MS [VAR=VALUE...]: a 12-second clip from a
# producer of its own (--verbose: every put in its log) while every flush
# takes FLUSH_MS; the recorder's exit status in $status.
slow_recording() {
  local label=$1 ms=$2; shift 2
  sample_feed "$work/$label" --prefill 10 --verbose
  env "$@" LD_PRELOAD="$slow_sync" SLOW_SYNC_MS="$ms" \
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
    timeout 150 "$alarm_record" "$work/$label.mp4" 12 > "$work/$label.log"
  status=$?
  stop_feed
}

# Flushes of 12 s: longer than the ring keeps this stream (about 11 s of
# channel 1) and than a channel may stay silent.  Storage never holds up
# the reading: the clip is complete, every frame put in its span in it.
# (About 50 s: the checkpoint after the pre-roll, the close's two flushes
# and the folder's.)
stalled_storage() {
  local status clip=$work/stalled_storage.mp4
  slow_recording stalled_storage 12000
  check "flushes of 12 s: exit 0 (was $status)" test "$status" -eq 0
  check_clip "flushes of 12 s:" "$clip" 12
  check_run "flushes of 12 s" "$clip" "$work/stalled_storage/feed.log"
  check "flushes of 12 s: no line of ours" absent '^alarm_record:' "$work/stalled_storage.log"
}

# Storage slower than the stream until the queue is full (32 KiB, flushes
# of 4 s, in which the stream brings three times that): the clip ends at
# the last frame queued, whole and in place.
storage_behind() {
  local status clip=$work/behind.mp4
  slow_recording behind 4000 MEDIA_CLIP_QUEUE_KIB=32
  check "storage behind: exit 3 (was $status)" test "$status" -eq 3
  check "storage behind: one line says why" grep -qx \
    'alarm_record: the clip is cut short: storage could not keep up with the stream' "$work/behind.log"
  check "storage behind: no other line of ours" test "$(grep -c '^alarm_record:' "$work/behind.log")" -eq 1
  check_plays "storage behind: NAME" "$clip" h264,aac
  check_run "storage behind" "$clip" "$work/behind/feed.log"
  check "storage behind: no NAME.tmp left" test ! -e "$clip.tmp"
}

sample_feed "$work/live" --prefill 10
cases=()
run() {  # NAME FUNCTION ARGS...: one case in the background, output and totals apart
  local name=$1; shift
  ( passes=0 failures=0; "$@"; echo "$passes $failures" > "$work/$name.result" ) > "$work/$name.out" 2>&1 &
  cases+=("$name:$!")
}
run kill9_early killed 7 0.5
run kill9_mid killed 8 0.9
run kill9_late killed 11 0.2
run sigterm stopped_by TERM 15 Terminated
run sigint stopped_by INT 2 Interrupt
run sighup stopped_by HUP 1 Hangup
run efbig write_error EFBIG 'File too large'
run enospc write_error ENOSPC 'No space left on device'
run stalled stalled_producer
run video_only video_only
run stdout_closed stdout_closed
run sigpipe stdout_broken_pipe
run symlink not_regular symlink
run fifo not_regular fifo
run twice same_name_twice
run lengths lengths
run slow_flushes slow_flushes
run stalled_storage stalled_storage
run storage_behind storage_behind

for c in "${cases[@]}"; do
  name=${c%%:*}
  wait "${c##*:}"
  sed "s/^/[$name] /" "$work/$name.out"
  if read -r p f < "$work/$name.result"; then
    passes=$((passes + p)) failures=$((failures + f))
  else
    echo "FAIL: [$name] did not finish"; failures=$((failures + 1))
  fi
done
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
