#!/usr/bin/env bash
# The recorder's cost while it records in real time.  ring_feed plays the
# sample media into a scratch ring in real time (6 seconds pre-filled, so
# the clip's 5-second pre-roll is there at once) and alarm_record records
# RUNS 30-second clips one after another (default 3).  For each clip:
#   - the recorder's CPU time (user + system, from wait4) per second of clip,
#     and as a share of one core over the time it ran;
#   - its peak resident memory (ru_maxrss);
#   - its wakeups: the voluntary and involuntary context switches of all its
#     threads (wait4), per second of its run, against the frames the
#     producer put per second meanwhile;
#   - the delay from the producer putting the frame that ends the clip (the
#     first channel-1 frame more than 30 s past the clip's start) to the
#     final file appearing under its name (inotify).
# Then its wakeups while it waits for the clip's first SPS: a producer that
# puts pictures without one (a stream whose only SPS, at its start, is out
# of the ring's reach after the pre-fill) for WAIT_S seconds (default 10),
# then SIGTERM.
# Times are CLOCK_MONOTONIC: ring_feed --verbose prints one line per frame
# put and proc_clock stamps each line as it arrives; the recorder's line
# "... record over sec(30) video_cnt(N)" tells when it read the ending
# frame, which is the SPS put nearest to that line (one a second; the
# recorder may print its line before the producer's line of the put
# arrives, both going through a pipe to a stamp).
# usage: bench/recorder_cost.sh [RUNS]     (BUILD=dir to use another build;
#        RECORDER=path to measure another alarm_record with this build's tools)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
seconds=30
wait_s=${WAIT_S:-10}
build=${BUILD:-build-bench}
bash scripts/install_deps.sh
if [ ! -x "$build/recorder/alarm_record" ] || [ ! -x "$build/tools/ring_feed" ] || [ ! -x "$build/bench/proc_clock" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target alarm_record ring_feed proc_clock >/dev/null
fi
clock=$build/bench/proc_clock
ring_feed=$build/tools/ring_feed
recorder=${RECORDER:-$build/recorder/alarm_record}

# The rings and the status blocks on tmpfs, as on the device; the clips on disk.
shm=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/recorder_cost.XXXXXX")
work=$(mktemp -d "${TMPDIR:-/tmp}/recorder_cost.XXXXXX")
source tests/support/feed.sh
trap 'stop_feeds; rm -rf "$shm" "$work"' EXIT

feed_filter=("$clock" stamp)
start_feed "$shm/live" --prefill 6 --verbose tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac
sleep 1

printf '%-4s %9s %9s %10s %11s %9s %10s %12s %12s %12s %11s %9s\n' run "clip s" "rec wall" "CPU ms" \
  "CPU ms/s" "% core" "peak RSS" "put->read" "read->file" "put->file" "wakeups/s" "puts/s"
: > "$work/summary"
for ((r = 1; r <= runs; r++)); do
  clip=$work/clip_$r.mp4
  "$clock" await "$work" "clip_$r.mp4" 120 > "$work/appear_$r" &
  await_pid=$!
  sleep 0.1  # the watch is in place
  from=$("$clock" now)
  "$clock" run -o "$work/rec_$r.times" -- "$recorder" "$clip" "$seconds" \
    | "$clock" stamp > "$work/rec_$r.log"
  to=$("$clock" now)
  wait "$await_pid"
  times=$(cat "$work/rec_$r.times")
  status=$(sed -n 's/.*status=\([0-9]*\).*/\1/p' <<< "$times")
  if [ "$status" != 0 ] || [ ! -s "$clip" ]; then
    echo "run $r: alarm_record failed (status $status)"; cat "$work/rec_$r.log"; exit 1
  fi
  wall=$(sed -n 's/.*wall=\([0-9.]*\).*/\1/p' <<< "$times")
  cpu=$(awk '{split($2, u, "="); split($3, s, "="); print u[2] + s[2]}' <<< "$times")
  rss=$(sed -n 's/.*maxrss_kib=\([0-9]*\).*/\1/p' <<< "$times")
  csw=$(sed -n 's/.*vcsw=\([0-9]*\) ivcsw=\([0-9]*\).*/\1 \2/p' <<< "$times" | awk '{print $1 + $2}')
  puts=$(awk -v a="$from" -v b="$to" '$1 >= a && $1 <= b && $2 == "ch"' "$shm/live/feed.log" | wc -l)
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip")
  frames=$(ffprobe -v error -select_streams v -show_entries stream=nb_frames -of csv=p=0 "$clip")
  read_at=$(grep -E "record over sec\($seconds\) video_cnt\([0-9]+\)$" "$work/rec_$r.log" | awk '{print $1}')
  appear=$(cat "$work/appear_$r")
  # The ending frame: the channel-1 SPS put nearest to the recorder's line.
  put_line=$(awk -v t="$read_at" '$3 == 1 && $9 == 7 && (d = ($1 > t ? $1 - t : t - $1)) < 500 &&
    (best == "" || d < best) {best = d; line = $0} END {print line}' "$shm/live/feed.log")
  put_at=$(awk '{print $1}' <<< "$put_line")
  put_ts=$(awk '{print $5}' <<< "$put_line")
  awk -v r="$r" -v d="$duration" -v w="$wall" -v c="$cpu" -v rss="$rss" -v p="$put_at" \
      -v rd="$read_at" -v a="$appear" -v f="$frames" -v ts="$put_ts" -v csw="$csw" \
      -v puts="$puts" -v span="$(awk -v a="$from" -v b="$to" 'BEGIN {print (b - a) / 1000}')" 'BEGIN {
    printf "%-4d %9.2f %8.2fs %10.1f %11.3f %8.3f%% %6.2f MiB %9.2f ms %9.1f ms %9.1f ms %11.1f %9.1f\n",
      r, d, w, c * 1000, c * 1000 / d, 100 * c / w, rss / 1024, rd - p, a - rd, a - p, csw / w, puts / span
    printf "%s %s %s %s %s %s %s\n", c * 1000 / d, 100 * c / w, rss / 1024, a - p, rd - p, csw / w,
      puts / span >> "/dev/stderr"
    if (f != 15 * 31) printf "  (the clip holds %d pictures, not %d)\n", f, 15 * 31
    if (p - ts > 5 || ts - p > 5) printf "  (stamp and ts differ by %.1f ms)\n", p - ts
  }' 2>> "$work/summary"
done

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
col() { awk -v c="$1" '{print $c}' "$work/summary" | median; }
echo
printf 'medians of %d runs: %.3f ms CPU per second of clip (%.3f%% of one core), peak RSS %.2f MiB, ending frame put -> final file %.1f ms (put -> read %.2f ms), %.1f wakeups a second for %.1f puts a second\n' \
  "$runs" "$(col 1)" "$(col 2)" "$(col 3)" "$(col 4)" "$(col 5)" "$(col 6)" "$(col 7)"
awk -v core="$(col 2)" -v rss="$(col 3)" -v cpu="$(col 1)" -v lat="$(col 5)" -v w="$(col 6)" -v p="$(col 7)" 'BEGIN {
  printf "goal (< 1%% of one core): %s; goal (< 8 MiB RSS): %s; goal (<= 1.5 ms CPU per second of clip): %s;\n",
    core < 1 ? "met" : "missed", rss < 8 ? "met" : "missed", cpu <= 1.5 ? "met" : "missed"
  printf "goal (put -> read <= 1 ms): %s; goal (wakeups <= 1.5 x puts + 5 a second): %s\n",
    lat <= 1 ? "met" : "missed", w <= 1.5 * p + 5 ? "met" : "missed" }'
stop_feeds

# Waiting for the first SPS: 15 pictures a second and no SPS within reach.
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x360:rate=15" -t 120 \
  -c:v libx264 -profile:v baseline -preset veryfast -b:v 280k -pix_fmt yuv420p \
  -x264-params 'keyint=infinite:scenecut=0:bframes=0' -bsf:v h264_mp4toannexb -f h264 "$work/one_sps.h264"
unset feed_filter
start_feed "$shm/no_sps" --prefill 20 "$work/one_sps.h264" tests/data/audio_8k_mono.aac
"$clock" run -o "$work/wait.times" -- "$recorder" "$work/never.mp4" 6 > "$work/wait.log" &
runner=$!
sleep 0.2
rec_pid=$(pgrep -P "$runner")
sleep "$wait_s"
kill -TERM "$rec_pid"
wait "$runner" || true
if [ -e "$work/never.mp4.tmp" ] || [ -e "$work/never.mp4" ]; then echo "the recorder found an SPS: no wait measured"; exit 1; fi
awk '{for (i = 1; i <= NF; ++i) {split($i, kv, "="); v[kv[1]] = kv[2]}}
  END {w = (v["vcsw"] + v["ivcsw"]) / v["wall"]
    printf "waiting for the first SPS: %.1f wakeups a second (%d voluntary, %d involuntary in %.1f s), %.3f ms CPU a second; goal (<= 3 a second): %s\n",
      w, v["vcsw"], v["ivcsw"], v["wall"], 1000 * (v["user"] + v["sys"]) / v["wall"], w <= 3 ? "met" : "missed"}' "$work/wait.times"
