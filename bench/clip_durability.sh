#!/usr/bin/env bash
# What keeping a clip playable at every instant costs, for a 60-second clip
# recorded in real time (ring_feed with the 5-second pre-roll pre-filled):
#   A. on this machine's storage: bytes the recorder hands to the kernel for
#      the clip (every pwrite, from strace) against the final file's size,
#      and its flushes (fdatasync) per second of recording;
#   B. with every flush taking 200 ms (tests/support/slow_sync.c, as on a
#      slow SD card): frames lost (the clip must hold all 915 pictures and
#      481 AAC frames), the recorder's CPU share and peak resident memory;
#   C. killed (-9) 20 s into a clip: the time clip_recover takes to turn the
#      leftover NAME.tmp into NAME, and what it kept;
#   D. a 12-second clip with every flush taking 20 s, longer than the ring
#      keeps the stream: frames lost (the clip must hold all 195 pictures
#      and 97 AAC frames), exit status, peak resident memory.
# usage: bench/clip_durability.sh     (BUILD=dir to use another build;
#        RECORDER=path to measure another alarm_record with this build's tools)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build-bench}
seconds=60
for tool in strace /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install strace time)" >&2; exit 1; }
done
if [ ! -x "$build/recorder/alarm_record" ] || [ ! -x "$build/tools/clip_recover" ] || [ -z "$(find "$build" -name libslow_sync.so)" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target alarm_record ring_feed clip_recover slow_sync >/dev/null
fi
slow_sync=$(find "$build" -name 'libslow_sync.so' | head -1)
ring_feed=$build/tools/ring_feed
recorder=${RECORDER:-$build/recorder/alarm_record}
shm=$(mktemp -d /dev/shm/clip_durability.XXXXXX)
work=$(mktemp -d "${TMPDIR:-/tmp}/clip_durability.XXXXXX")
source tests/support/feed.sh
trap 'stop_feeds; rm -rf "$shm" "$work"' EXIT
start_feed "$shm" --prefill 6 tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac
sleep 0.5

frames() { ffprobe -v error -show_entries stream=nb_frames -of csv=p=0 "$1" | tr '\n' ' '; }

echo "== A. bytes written and flushes, $seconds s clip"
start=$(date +%s.%N)
strace -f -qq -e trace=pwrite64,write,fdatasync,fsync -o "$work/strace.log" \
  "$recorder" "$work/a.mp4" "$seconds" > "$work/a.log"
took=$(echo "$(date +%s.%N) - $start" | bc)
size=$(stat -c %s "$work/a.mp4")
# Two threads: a call may be split into "<unfinished ...>" and "<... resumed>" lines.
written=$(grep -E 'pwrite64(\(| resumed>)' "$work/strace.log" | sed -nE 's/.*= ([0-9]+)$/\1/p' | paste -sd+ | bc)
writes=$(grep -cE 'pwrite64\(' "$work/strace.log")
flushes=$(grep -cE 'fdatasync\(|fsync\(' "$work/strace.log")
echo "recording took ${took} s; $writes writes, $written bytes; final file $size bytes;" \
  "ratio $(echo "scale=3; $written / $size" | bc); $flushes flushes" \
  "($(echo "scale=2; $flushes / $took" | bc) per second); frames: $(frames "$work/a.mp4")"

echo "== B. every flush 200 ms"
/usr/bin/time -f '%U %S %e %M' -o "$work/time.txt" env LD_PRELOAD="$slow_sync" SLOW_SYNC_LOG="$work/syncs" \
  "$recorder" "$work/b.mp4" "$seconds" > "$work/b.log"
read -r user sys wall rss < "$work/time.txt"
echo "frames: $(frames "$work/b.mp4")(all 915 and 481 expected); $(wc -l < "$work/syncs") flushes in ${wall} s;" \
  "CPU $(echo "scale=3; 100 * ($user + $sys) / $wall" | bc)% of one core; peak RSS $((rss / 1024)).$(( (rss % 1024) * 10 / 1024 )) MiB"

echo "== C. kill -9 at 20 s, then clip_recover"
"$recorder" "$work/c.mp4" "$seconds" > "$work/c.log" &
rec=$!
sleep 20
kill -9 "$rec"; wait "$rec" 2>/dev/null || true
start=$(date +%s.%N)
"$build/tools/clip_recover" "$work/c.mp4.tmp" > "$work/recover.log"; status=$?
echo "clip_recover: exit $status in $(echo "($(date +%s.%N) - $start) * 1000" | bc | cut -d. -f1) ms;" \
  "kept: $(frames "$work/c.mp4")"

echo "== D. every flush 20 s, 12 s clip"
status=0
/usr/bin/time -f '%U %S %e %M' -o "$work/time_d.txt" env LD_PRELOAD="$slow_sync" SLOW_SYNC_MS=20000 \
  "$recorder" "$work/d.mp4" 12 > "$work/d.log" || status=$?
read -r user sys wall rss < <(tail -1 "$work/time_d.txt")
echo "exit $status in ${wall} s; frames: $(frames "$work/d.mp4")(all 195 and 97 expected);" \
  "peak RSS $((rss / 1024)).$(( (rss % 1024) * 10 / 1024 )) MiB; $(grep '^alarm_record:' "$work/d.log" || echo 'no line')"
