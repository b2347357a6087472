#!/usr/bin/env bash
# One ring, two architectures.  The x86-64 ring_feed plays the sample media
# into a ring file while the 32-bit ARM alarm_record, run by qemu-arm, maps the
# same file and records clips from it; then the other way round, the ARM
# ring_feed feeding the x86-64 alarm_record.  A clip with the right streams and
# sample counts that decodes cleanly can only come from a ring whose layout is
# the same byte for byte on both; the ARM side must also have taken the file
# as it was (no "memory clear", which a mismatched size would cause).
# Then ring_tap across the two: the ARM tap follows a ring the x86-64 feed
# puts into, and the x86-64 tap one the ARM feed puts into, each sleeping
# between frames without a time limit, so each frame it passes on was a wake
# from the other architecture.
# usage: cross_arch_clip_test.sh HOST_BUILD ARM_PREFIX DATA_DIR
#   HOST_BUILD  host build tree (tools/ring_feed, tools/ring_tap, recorder/alarm_record)
#   ARM_PREFIX  the stripped ARM install (bin/, lib/), from scripts/arm_build.sh
set -uo pipefail
host=$1 arm=$2 data=$3
sysroot=${ARM_SYSROOT:-/usr/arm-linux-gnueabihf}
arm_run=(qemu-arm -L "$sysroot" -E "LD_LIBRARY_PATH=$arm/lib")
work=$(mktemp -d /tmp/cross_arch.XXXXXX)
feed_pid=
stop_feed() { [ -n "$feed_pid" ] && kill "$feed_pid" 2>/dev/null && wait "$feed_pid" 2>/dev/null; feed_pid=; }
trap 'stop_feed; rm -rf "$work"' EXIT
source "$(dirname "$0")/../support/clip_checks.sh"
source "$(dirname "$0")/../support/tap_checks.sh"
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }

check "host ring_feed is x86-64 ($(machine "$host/tools/ring_feed"))" \
  test "$(machine "$host/tools/ring_feed")" = "Advanced Micro Devices X86-64"
check "ARM alarm_record is 32-bit ARM ($(machine "$arm/bin/alarm_record"))" \
  test "$(machine "$arm/bin/alarm_record")" = ARM
check "ARM ring_tap is 32-bit ARM ($(machine "$arm/bin/ring_tap"))" \
  test "$(machine "$arm/bin/ring_tap")" = ARM
check "ARM ring_feed is 32-bit ARM ($(machine "$arm/bin/ring_feed"))" \
  test "$(machine "$arm/bin/ring_feed")" = ARM

# start_feed DIR COMMAND...: a feed on DIR/view and DIR/mmap.info, at twice
# real time with ten seconds pre-filled; returns once the pre-fill is in (the
# status block appears under its name only then).  Twice real time leaves
# the emulated side more than ten seconds before the pre-roll is overwritten.
start_feed() {
  local dir=$1; shift
  mkdir -p "$dir"
  export MEDIA_RING_PATH=$dir/view MEDIA_STATUS_PATH=$dir/mmap.info
  "$@" --prefill 10 --speed 2 --ts-start 100000 --target-fps 15 \
    "$data/video_15fps.h264" "$data/audio_8k_mono.aac" > "$dir/feed.log" 2>&1 &
  feed_pid=$!
  for _ in $(seq 600); do
    [ -s "$MEDIA_STATUS_PATH" ] && return 0
    kill -0 "$feed_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "FAIL: the feed did not start: $(cat "$dir/feed.log")"
  failures=$((failures + 1))
  return 1
}

# record LABEL N COMMAND...: records an N-second clip and checks it.
record() {
  local label=$1 n=$2; shift 2
  local clip=$work/$label/clip_$n.mp4 log=$work/$label/rec_$n.log
  timeout 90 "$@" "$clip" "$n" > "$log" 2>&1
  local status=$?
  check "$label N=$n: exit status 0 (was $status): $(tail -n 3 "$log")" test "$status" -eq 0
  check "$label N=$n: no temporary file left" test ! -e "$clip.tmp"
  if [ ! -s "$clip" ]; then
    echo "FAIL: $label N=$n: no clip under its final name"
    failures=$((failures + 1))
    return
  fi
  check "$label N=$n: the ring was mapped as it was, not cleared" \
    bash -c '! grep -q "memory clear" "$1"' _ "$log"
  check_clip "$label" "$clip" "$n"
}

# The camera's case: the producer native, the recorder on the ARM core.
if start_feed "$work/x86_feed" "$host/tools/ring_feed"; then
  for n in 0 1 6; do record x86_feed "$n" "${arm_run[@]}" "$arm/bin/alarm_record"; done
  check "x86_feed: the ring file kept its size" test "$(stat -c %s "$work/x86_feed/view")" -eq 3110752
  stop_feed
fi

# And the other way round: frames put by ARM code, read by x86-64 code.
if start_feed "$work/arm_feed" "${arm_run[@]}" "$arm/bin/ring_feed"; then
  record arm_feed 6 "$host/recorder/alarm_record"
  stop_feed
fi

# ring_tap without --timeout across the two (follow, in tap_checks.sh).
# shellcheck disable=SC2034  # follow takes the feeds by name
host_feed=("$host/tools/ring_feed") arm_feed=("${arm_run[@]}" "$arm/bin/ring_feed")
follow arm_tap host_feed "${arm_run[@]}" "$arm/bin/ring_tap"
follow host_tap arm_feed "$host/tools/ring_tap"

echo "cross_arch: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
