#!/usr/bin/env bash
# Our MP4 writing against `ffmpeg -c copy`, whole process against whole
# process: the same 60 seconds of elementary streams (the sample media looped
# by loop_streams: 900 pictures of H.264 at 15 fps, 469 AAC frames at 8 kHz)
# muxed into MP4 by ffmpeg and by bench/mp4_mux (the recorder's MP4 calls
# over the project's writer).  Each tool runs RUNS times (default 15), the
# two alternating, each run timed from fork to exit by proc_clock; both
# outputs go to the same scratch folder and are removed before each run.
# Prints the medians and their ratio, and checks with ffprobe that both
# files hold every picture, and every AAC frame except, in ours, the first:
# it only configures the audio track (the recorder's rule: samples begin
# after it).
# usage: bench/compare_ffmpeg.sh [RUNS]     (BUILD=dir to use another build)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
build=${BUILD:-build-bench}
bash scripts/install_deps.sh
if [ ! -x "$build/bench/mp4_mux" ] || [ ! -x "$build/bench/proc_clock" ] || [ ! -x "$build/bench/loop_streams" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target mp4_mux loop_streams proc_clock >/dev/null
fi
bin=$build/bench

work=$(mktemp -d "${TMPDIR:-/tmp}/compare_ffmpeg.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bin/loop_streams" 60 15 tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac \
  "$work/in.h264" "$work/in.aac" > "$work/loop.log"
echo "input: $(cat "$work/loop.log"); $(stat -c %s "$work/in.h264") + $(stat -c %s "$work/in.aac") bytes"

ffmpeg_cmd=(ffmpeg -nostdin -v error -y -framerate 15 -i "$work/in.h264" -i "$work/in.aac"
  -map 0:v -map 1:a -c copy "$work/ffmpeg.mp4")
ours_cmd=("$bin/mp4_mux" --fps 15 "$work/in.h264" "$work/in.aac" "$work/ours.mp4")

run() {  # name, then the command
  local name=$1; shift
  rm -f "$work/$name.mp4"
  "$bin/proc_clock" run -o "$work/$name.times" -- "$@"
}
# One untimed run of each brings binaries, libraries and input into the page cache.
run ffmpeg "${ffmpeg_cmd[@]}"; run ours "${ours_cmd[@]}"
rm -f "$work/ffmpeg.times" "$work/ours.times"
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then
    run ffmpeg "${ffmpeg_cmd[@]}"; run ours "${ours_cmd[@]}"
  else
    run ours "${ours_cmd[@]}"; run ffmpeg "${ffmpeg_cmd[@]}"
  fi
done

# field=value lines to one column of numbers; the median of a column.
column() { sed -n "s/.*$2=\([0-9.]*\).*/\1/p" "$work/$1.times"; }
cpu_column() { awk '{split($2, u, "="); split($3, s, "="); print u[2] + s[2]}' "$work/$1.times"; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

ff_wall=$(column ffmpeg wall | median); our_wall=$(column ours wall | median)
ff_cpu=$(cpu_column ffmpeg | median); our_cpu=$(cpu_column ours | median)
ff_rss=$(column ffmpeg maxrss_kib | median); our_rss=$(column ours maxrss_kib | median)
ff_min=$(column ffmpeg wall | sort -g | head -1); our_min=$(column ours wall | sort -g | head -1)

counts() {  # file -> "video_packets audio_packets"
  local v a
  v=$(ffprobe -v error -select_streams v -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1")
  a=$(ffprobe -v error -select_streams a -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1")
  echo "$v $a"
}
ff_counts=$(counts "$work/ffmpeg.mp4"); our_counts=$(counts "$work/ours.mp4")

calc() { awk "BEGIN {print $1}"; }  # arithmetic without bc
echo
printf '%-28s %12s %12s %10s %10s\n' "whole process ($runs runs)" "median wall" "min wall" "user+sys" "peak RSS"
printf '%-28s %9.2f ms %9.2f ms %7.2f ms %7d KiB\n' "ffmpeg -c copy" \
  "$(calc "$ff_wall * 1000")" "$(calc "$ff_min * 1000")" "$(calc "$ff_cpu * 1000")" "$ff_rss"
printf '%-28s %9.2f ms %9.2f ms %7.2f ms %7d KiB\n' "mp4_mux (our MP4 writer)" \
  "$(calc "$our_wall * 1000")" "$(calc "$our_min * 1000")" "$(calc "$our_cpu * 1000")" "$our_rss"
ratio=$(calc "$ff_wall / $our_wall")
printf 'median ratio: ours is %.1fx as fast as ffmpeg -c copy (wall; %.1fx in CPU time)\n' \
  "$ratio" "$(calc "$ff_cpu / $our_cpu")"
echo "samples (video audio): ffmpeg $ff_counts, ours $our_counts; sizes $(stat -c %s "$work/ffmpeg.mp4") and $(stat -c %s "$work/ours.mp4") bytes"

status=0
if [ "$ff_counts" != "900 469" ] || [ "$our_counts" != "900 468" ]; then
  echo "FAIL: unexpected sample counts (video audio): ffmpeg $ff_counts (900 469 expected), ours $our_counts (900 468 expected)"
  status=1
fi
if [ "$(calc "($ratio >= 5) ? 1 : 0")" = 1 ]; then echo "goal met: at least 5x"; else echo "goal missed: below 5x"; fi
exit $status
