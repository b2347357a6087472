#!/usr/bin/env bash
# The recorder's cost while it records in real time.  ring_feed plays the
# sample media into a scratch ring in real time (6 seconds pre-filled, so
# the clip's 5-second pre-roll is there at once) and alarm_record records
# RUNS 30-second clips one after another (default 3).  For each clip:
#   - the recorder's CPU time (user + system, from wait4) per second of clip,
#     and as a share of one core over the time it ran;
#   - its peak resident memory (ru_maxrss);
#   - the delay from the producer putting the frame that ends the clip (the
#     first channel-1 frame more than 30 s past the clip's start) to the
#     final file appearing under its name (inotify).
# Times are CLOCK_MONOTONIC: ring_feed --verbose prints one line per frame
# put and proc_clock stamps each line as it arrives; the recorder's line
# "... record over sec(30) video_cnt(N)" tells when it read the ending
# frame, which is the last SPS put before that line.
# usage: bench/recorder_cost.sh [RUNS]     (BUILD=dir to use another build)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
seconds=30
build=${BUILD:-build-bench}
bash scripts/install_deps.sh
if [ ! -x "$build/recorder/alarm_record" ] || [ ! -x "$build/tools/ring_feed" ] || [ ! -x "$build/bench/proc_clock" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target alarm_record ring_feed proc_clock >/dev/null
fi
clock=$build/bench/proc_clock

# The ring and the status block on tmpfs, as on the device; the clips on disk.
shm=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/recorder_cost.XXXXXX")
work=$(mktemp -d "${TMPDIR:-/tmp}/recorder_cost.XXXXXX")
feed_pid=
cleanup() {
  [ -n "$feed_pid" ] && kill "$feed_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$shm" "$work"
}
trap cleanup EXIT
export MEDIA_RING_PATH=$shm/view MEDIA_STATUS_PATH=$shm/mmap.info

"$build/tools/ring_feed" --prefill 6 --verbose tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac \
  2>&1 | "$clock" stamp > "$work/feed.log" &
feed_pid=$!
for _ in $(seq 200); do [ -s "$MEDIA_STATUS_PATH" ] && grep -q ' ch 1 ' "$work/feed.log" && break; sleep 0.05; done
sleep 1

printf '%-4s %9s %9s %10s %11s %9s %10s %12s %12s %12s\n' run "clip s" "rec wall" "CPU ms" \
  "CPU ms/s" "% core" "peak RSS" "put->read" "read->file" "put->file"
: > "$work/summary"
for ((r = 1; r <= runs; r++)); do
  clip=$work/clip_$r.mp4
  "$clock" await "$work" "clip_$r.mp4" 120 > "$work/appear_$r" &
  await_pid=$!
  sleep 0.1  # the watch is in place
  "$clock" run -o "$work/rec_$r.times" -- "$build/recorder/alarm_record" "$clip" "$seconds" \
    | "$clock" stamp > "$work/rec_$r.log"
  wait "$await_pid"
  times=$(cat "$work/rec_$r.times")
  status=$(sed -n 's/.*status=\([0-9]*\).*/\1/p' <<< "$times")
  if [ "$status" != 0 ] || [ ! -s "$clip" ]; then
    echo "run $r: alarm_record failed (status $status)"; cat "$work/rec_$r.log"; exit 1
  fi
  wall=$(sed -n 's/.*wall=\([0-9.]*\).*/\1/p' <<< "$times")
  cpu=$(awk '{split($2, u, "="); split($3, s, "="); print u[2] + s[2]}' <<< "$times")
  rss=$(sed -n 's/.*maxrss_kib=\([0-9]*\).*/\1/p' <<< "$times")
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip")
  frames=$(ffprobe -v error -select_streams v -show_entries stream=nb_frames -of csv=p=0 "$clip")
  read_at=$(grep -E "record over sec\($seconds\) video_cnt\([0-9]+\)$" "$work/rec_$r.log" | awk '{print $1}')
  appear=$(cat "$work/appear_$r")
  # The ending frame: the last channel-1 SPS put before the recorder read it.
  put_line=$(awk -v t="$read_at" '$1 <= t && $3 == 1 && $9 == 7 {line = $0} END {print line}' "$work/feed.log")
  put_at=$(awk '{print $1}' <<< "$put_line")
  put_ts=$(awk '{print $5}' <<< "$put_line")
  awk -v r="$r" -v d="$duration" -v w="$wall" -v c="$cpu" -v rss="$rss" -v p="$put_at" \
      -v rd="$read_at" -v a="$appear" -v f="$frames" -v ts="$put_ts" 'BEGIN {
    printf "%-4d %9.2f %8.2fs %10.1f %11.3f %8.3f%% %6.2f MiB %9.1f ms %9.1f ms %9.1f ms\n",
      r, d, w, c * 1000, c * 1000 / d, 100 * c / w, rss / 1024, rd - p, a - rd, a - p
    printf "%s %s %s %s %s\n", c * 1000 / d, 100 * c / w, rss / 1024, a - p, rd - p >> "/dev/stderr"
    if (f != 15 * 31) printf "  (the clip holds %d pictures, not %d)\n", f, 15 * 31
    if (p - ts > 5 || ts - p > 5) printf "  (stamp and ts differ by %.1f ms)\n", p - ts
  }' 2>> "$work/summary"
done

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
col() { awk -v c="$1" '{print $c}' "$work/summary" | median; }
echo
printf 'medians of %d runs: %.3f ms CPU per second of clip (%.3f%% of one core), peak RSS %.2f MiB, ending frame put -> final file %.1f ms (put -> read %.1f ms)\n' \
  "$runs" "$(col 1)" "$(col 2)" "$(col 3)" "$(col 4)" "$(col 5)"
awk -v core="$(col 2)" -v rss="$(col 3)" 'BEGIN {
  printf "goal (< 1%% of one core): %s; goal (< 8 MiB RSS): %s\n",
    core < 1 ? "met" : "missed", rss < 8 ? "met" : "missed" }'
