#!/usr/bin/env bash
# report.sh - the one command behind BENCHMARKS.md: builds Release, runs every
# benchmark and writes the page from bench/BENCHMARKS.template.md, each
# "<!-- report:NAME -->" line of the template replaced by that benchmark's
# figures from this run between "<!-- report:NAME begin -->" and
# "<!-- report:NAME end -->", stamped with the commit, the date and the
# machine.  The template holds only prose and the benchmarks' parameters, so
# every figure on the page comes from this run.
#
# The run is planned for ten minutes on two cores, in two phases that each
# pair work which does not disturb the other's figures:
#   1. crash_safe_peers.sh (one real-time window of recordings, then the
#      players on both cores) alongside clip_durability.sh (four real-time
#      recordings whose figures are counts of bytes, flushes and frames);
#   2. the CPU-bound programs one after another on one core (ring_latency,
#      ring_bench, its searches, ring_pair.sh, mp4_bench, compare_ffmpeg.sh,
#      ffmpeg's own start) alongside recorder_cost.sh, whose real-time clips are about
#      idle, on the other.
# The Google Benchmark programs run with a shorter minimum time per
# repetition than their default (RING_MIN_TIME, PAIR_MIN_TIME); each figure
# is still the median of 5 repetitions in random order (of 15 for the
# searches, whose repetitions spread more).
#
# Every benchmark check that failed and every goal missed is named at the
# end, after the page is written with what could be measured (the page
# names them too).  A failed check makes the exit status 1; a goal missed
# does not, since the figure beside it is true: the page says by how much.
# A failed build or dependency install writes no page.
#
# usage: bash bench/report.sh [--out FILE]
#   --out FILE       the page to write (default BENCHMARKS.md of this tree)
#   BUILD=dir        the build folder (default build-bench), configured Release
#   RING_MIN_TIME=s  ring_bench's --benchmark_min_time (default 0.2)
#   PAIR_ROUNDS=n    alternating runs of each ring_bench in ring_pair.sh (default 5)
#   PAIR_MIN_TIME=s  their minimum time per repetition (default 0.1)
#   RECORDER_RUNS=n  recorder_cost.sh's clips (default 3)
# Each benchmark's raw output stays in BUILD/report/.
set -uo pipefail

out=
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=${2:?"--out needs a file"}; shift 2 ;;
    --out=*) out=${1#--out=}; shift ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "report.sh: unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
# --out is relative to the caller's folder; everything else to the tree's top.
[ -n "$out" ] && case $out in /*) ;; *) out=$PWD/$out ;; esac
cd "$(dirname "$0")/.." || exit 1
root=$PWD
out=${out:-$root/BENCHMARKS.md}
template=$root/bench/BENCHMARKS.template.md
build=${BUILD:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
export BUILD=$build
ring_min_time=${RING_MIN_TIME:-0.2}
pair_rounds=${PAIR_ROUNDS:-5}
pair_min_time=${PAIR_MIN_TIME:-0.1}
recorder_runs=${RECORDER_RUNS:-3}
pair_base=22c751b  # the commit before the ring's torn-read and wait changes

logs=$build/report
blocks=$logs/blocks
started=$(date -u '+%Y-%m-%d %H:%M UTC')
failed=()        # checks that failed, "section: what"
missed=()        # goals missed, "goal: figure"
notes=()         # what else the reader of the run should know
elapsed() { printf '%d min %02d s' $((SECONDS / 60)) $((SECONDS % 60)); }
note() { echo "report: [$(elapsed)] $*" >&2; }
fail() { failed+=("$1"); note "check failed: $1"; }

# --- dependencies, build ------------------------------------------------------
[ -f "$template" ] || { note "no template at $template"; exit 1; }
mkdir -p "$build" || exit 1
rm -rf "$logs"
mkdir -p "$blocks" || exit 1
note "dependencies"
bash scripts/install_deps.sh > "$logs/install_deps.log" 2>&1 ||
  { note "scripts/install_deps.sh failed: see $logs/install_deps.log"; exit 1; }
note "build (Release, $build)"
# The tests' folder too: clip_durability.sh preloads its slow_sync library.
{ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMEDIA_BUILD_TESTS=ON -DMEDIA_BUILD_BENCH=ON &&
  cmake --build "$build" -j"$(nproc)" --target ring_bench ring_latency mp4_bench mp4_mux loop_streams \
    proc_clock alarm_record ring_feed clip_recover slow_sync; } > "$logs/build.log" 2>&1 ||
  { note "the build failed: see $logs/build.log"; exit 1; }
bin=$build/bench
clock=$bin/proc_clock

# --- what every section is stamped with ---------------------------------------
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
# Untracked files count: a new source file changes what is built.
[ -n "$(git --no-optional-locks status --porcelain 2>/dev/null)" ] && commit="$commit+changes"
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
cores=$(nproc)
scratch=${TMPDIR:-/tmp}
fs_of() { df -PT "$1" 2>/dev/null | awk 'NR == 2 {print $2}'; }
scratch_fs=$(fs_of "$scratch")
shm_fs=$(fs_of /dev/shm)

# --- running the benchmarks ---------------------------------------------------
# run_step NAME CMD...: CMD's output in $logs/NAME.out and .err, its exit
# status, the date it started and the seconds it took beside them.
run_step() {
  local name=$1 t0=$SECONDS status; shift
  date -u '+%Y-%m-%d %H:%M UTC' > "$logs/$name.date"
  note "$name: started"
  "$@" < /dev/null > "$logs/$name.out" 2> "$logs/$name.err"
  status=$?
  echo "$status" > "$logs/$name.status"
  echo $((SECONDS - t0)) > "$logs/$name.took"
  note "$name: ended (status $status) in $((SECONDS - t0)) s"
}
status_of() { cat "$logs/$1.status" 2>/dev/null || echo none; }
# ffmpeg's cost before it muxes anything: `ffmpeg -version`, timed as
# compare_ffmpeg.sh times ffmpeg (one untimed run, then the median of 9), and
# the shared libraries it loads.
ffmpeg_start() {
  local times=$logs/ffmpeg_start.times
  "$clock" run -o /dev/null -- ffmpeg -version > /dev/null || return 1
  for _ in $(seq 9); do "$clock" run -o "$times" -- ffmpeg -version > /dev/null || return 1; done
  echo "wall $(sed -n 's/.*wall=\([0-9.]*\).*/\1/p' "$times" | sort -g | awk '{v[NR] = $1} END {print v[(NR + 1) / 2]}')"
  echo "libraries $(ldd "$(command -v ffmpeg)" | grep -c '=>')"
}
cpu_bound() {
  # A hang detector, not a speed limit: the run takes about 15 s.
  run_step ring_latency timeout -k 5 60 "$bin/ring_latency" 2000
  run_step ring_bench "$bin/ring_bench" --benchmark_min_time="$ring_min_time" \
    --benchmark_filter='^BM_(Put|PutVsMemcpy|NextFrame|NextVsMemcpy)/'
  # The searches alone, with more repetitions: a walk over 499 descriptors
  # spreads more from one repetition to the next than a copy does.
  run_step ring_search "$bin/ring_bench" --benchmark_min_time="$ring_min_time" \
    --benchmark_filter='^BM_Search' --benchmark_repetitions=15
  # ring_pair.sh passes its own flags; Google Benchmark reads the minimum time
  # from the environment as well.
  run_step ring_pair env BENCHMARK_MIN_TIME="$pair_min_time" bash bench/ring_pair.sh "$pair_base" . "$pair_rounds"
  run_step mp4_bench "$bin/mp4_bench"
  run_step compare_ffmpeg bash bench/compare_ffmpeg.sh 15
  run_step ffmpeg_start ffmpeg_start
}
jobs_started=()
stop_jobs() {
  local p
  for p in "${jobs_started[@]}"; do kill -TERM -- "-$p" 2>/dev/null; done
  wait
}
trap 'note "interrupted"; stop_jobs; exit 130' INT TERM HUP
set -m  # each background step in a process group of its own, so an interrupt ends its children too

note "phase 1: crash_safe_peers.sh alongside clip_durability.sh"
phase1_t0=$SECONDS
run_step peers bash bench/crash_safe_peers.sh & jobs_started+=($!)
run_step durability bash bench/clip_durability.sh & jobs_started+=($!)
wait
phase1_took=$((SECONDS - phase1_t0))

note "phase 2: the CPU-bound programs alongside recorder_cost.sh"
phase2_t0=$SECONDS
jobs_started=()
cpu_bound & jobs_started+=($!)
run_step recorder_cost bash bench/recorder_cost.sh "$recorder_runs" & jobs_started+=($!)
wait
phase2_took=$((SECONDS - phase2_t0))
set +m
trap - INT TERM HUP

# --- the sections -------------------------------------------------------------
declare -A alongside=(
  [peers]="\`clip_durability.sh\`"
  [durability]="\`crash_safe_peers.sh\`"
  [recorder_cost]="the CPU-bound programs (\`ring_latency\`, \`ring_bench\` twice, \`ring_pair.sh\`, \`mp4_bench\`, \`compare_ffmpeg.sh\`) one after another"
)
for s in ring_latency ring_bench ring_search ring_pair mp4_bench compare_ffmpeg ffmpeg_start; do
  alongside[$s]="\`recorder_cost.sh\` (real-time clips)"
done
# stamp STEP [WHAT]: the line each section opens with.
stamp() {
  local s=$1 what=${2:-"\`$1\`"}
  printf '*Measured by `bench/report.sh` at commit `%s` on %s: %s cores of %s, scratch folder `%s` on %s (rings on `/dev/shm`, %s). %s took %s s, alongside %s.*\n' \
    "$commit" "$(cat "$logs/$s.date" 2>/dev/null)" "$cores" "$cpu_model" "$scratch" "$scratch_fs" "$shm_fs" \
    "$what" "$(cat "$logs/$s.took" 2>/dev/null)" "${alongside[$s]}"
}
# step_ok STEP SECTION: the step ran and exited 0; a failed check otherwise.
step_ok() {
  local st; st=$(status_of "$1")
  [ "$st" = 0 ] && return 0
  fail "$2: exited with status $st (output in $logs/$1.out, .err)"
  return 1
}
# goal TEXT FIGURE VERDICT: a row of the goals table (met, missed or "no goal").
goals=$logs/goals.md
: > "$goals"
goal() {
  echo "| $1 | $2 | $3 |" >> "$goals"
  [ "$3" = missed ] && missed+=("$1: $2")
}
# verdict CONDITION (awk): met or missed.
verdict() { awk "BEGIN {print (($1) ? \"met\" : \"missed\")}"; }
not_measured() { echo "*Not measured in this run: $1.*"; }
# The awk functions the tables share: grp(n) groups an integer's digits by
# threes, ns(x) formats a time (whole above 1000, else one decimal).
awk_lib='
  function grp(n,   s, o) { s = sprintf("%d", n); o = ""
    while (length(s) > 3) { o = " " substr(s, length(s) - 2) o; s = substr(s, 1, length(s) - 3) }
    return s o }
  function ns(x) { return x >= 1000 ? grp(int(x + 0.5)) : sprintf("%.1f", x) }'

# The ring against memcpy, and the searches (ring_bench).
section_ring() {
  local f=$logs/ring_bench.out rows searches
  step_ok ring_bench "ring_bench"
  step_ok ring_search "ring_bench, the searches"
  grep -q 'ERROR OCCURRED' "$f" "$logs/ring_search.out" 2>/dev/null && fail "ring_bench: a benchmark stopped with an error"
  rows=$(awk '/^Summary/ {s = 1} s && ($1 == "put" || $1 == "next-frame") && NF == 9' "$f" 2>/dev/null)
  searches=$(awk '$1 ~ /^Search/ && $3 == "ns" && $4 == "over"' "$logs/ring_search.out" 2>/dev/null)
  {
    stamp ring_bench "\`ring_bench --benchmark_min_time=$ring_min_time\` without the searches (5 repetitions in random order, medians)"
    echo
    if [ "$(wc -l <<< "$rows")" -ne 10 ]; then
      not_measured "ring_bench's summary is incomplete ($f)"
    else
      echo "| operation | bytes | alone ns/op | alone GB/s | pair: ring ns | pair: memcpy ns | memcpy GB/s | ratio |"
      echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
      awk "$awk_lib"'{ r = $9; sub(/%$/, "", r); b = $2 >= 65536 ? "**" : ""
        printf "| %s | %s | %s | %.2f | %s | %s | %.1f | %s%.1f%%%s |\n", $1, grp($2), ns($3), $4, ns($6), ns($7), $8, b, r, b }' <<< "$rows"
    fi
  } > "$blocks/ring-memcpy.md"
  [ "$(wc -l <<< "$rows")" -ne 10 ] && fail "ring_bench: its summary table is incomplete"
  {
    stamp ring_search "\`ring_bench --benchmark_min_time=$ring_min_time --benchmark_filter=Search --benchmark_repetitions=15\` (15 repetitions in random order, medians)"
    echo
    if [ "$(wc -l <<< "$searches")" -ne 3 ]; then
      not_measured "ring_bench printed no search figures ($logs/ring_search.out)"
    else
      echo "| search, worst case over 499 descriptors | ns | per descriptor |"
      echo "| --- | ---: | ---: |"
      awk "$awk_lib"'{ n = "`_MediaDataGetOldFrame` (oldest first)"
        if ($1 == "SearchNewest") n = "`_MediaDataGetNewFrame` (newest first)"
        if ($1 == "SearchVideoByTs") n = "`MediaDataVideoGetByTs` (oldest first)"
        printf "| %s | %s | %.2f |\n", n, ns($2), $2 / 499 }' <<< "$searches"
    fi
  } > "$blocks/ring-search.md"
  [ "$(wc -l <<< "$searches")" -ne 3 ] && fail "ring_bench: no search figures"
  if [ "$(wc -l <<< "$rows")" -eq 10 ]; then
    local op p64 p256 put16
    for op in put next-frame; do
      read -r p64 p256 < <(awk -v op="$op" '$1 == op && $2 >= 65536 {r = $9; sub(/%$/, "", r); printf "%s ", r} END {print ""}' <<< "$rows")
      goal "$op of ≥ 64 KiB at ≥ 90% of memcpy's bandwidth" "64 KiB $p64%, 256 KiB $p256%" \
        "$(verdict "$p64 >= 90 && $p256 >= 90")"
    done
    put16=$(awk '$1 == "put" && $2 == 16 {print $3}' <<< "$rows")
    goal "put of 16 bytes under 50 ns" "$put16 ns" "$(verdict "$put16 < 50")"
  fi
  if [ "$(wc -l <<< "$searches")" -eq 3 ]; then
    local us worst
    us=$(awk '{printf "%s%.2f", (NR > 1 ? " / " : ""), $2 / 1000}' <<< "$searches")
    worst=$(awk '$2 > m {m = $2} END {print m}' <<< "$searches")
    goal "worst-case search over 499 descriptors under 2 µs" "$us µs (newest / by ts / oldest)" "$(verdict "$worst < 2000")"
  fi
}

# The ring against the commit before its torn-read and wait changes (ring_pair.sh).
section_ring_pair() {
  local f=$logs/ring_pair.out rows
  step_ok ring_pair "ring_pair.sh $pair_base"
  rows=$(awk '$1 ~ /^BM_/ && NF == 5' "$f" 2>/dev/null)
  {
    stamp ring_pair "\`BENCHMARK_MIN_TIME=$pair_min_time bash bench/ring_pair.sh $pair_base . $pair_rounds\` ($pair_rounds alternating runs of each program)"
    echo
    if [ -z "$rows" ]; then
      not_measured "ring_pair.sh printed no figures ($f)"
    else
      echo "| median ns per operation | $pair_base | this tree | ratio | difference |"
      echo "| --- | ---: | ---: | ---: | ---: |"
      awk "$awk_lib"'{ n = $1; sub(/^BM_/, "", n); split(n, a, "/")
        what = (a[1] == "Put" ? "put of " : a[1] == "NextFrame" ? "next-frame read of " : a[1] " ") grp(a[2]) " bytes"
        printf "| %s | %s | %s | %.3f | %+.1f ns |\n", what, ns($2), ns($3), $4, $5 }' <<< "$rows"
    fi
  } > "$blocks/ring-pair.md"
  [ -z "$rows" ] && fail "ring_pair.sh: no figures"
  local size base tree
  for size in 16 400; do
    read -r base tree < <(awk -v b="BM_Put/$size" '$1 == b {print $2, $3}' <<< "$rows")
    [ -n "$base" ] || continue
    goal "put of $size bytes at most $pair_base's × 1.25 + 3 ns (the wake word's cost), paired" \
      "$(awk -v b="$base" -v t="$tree" 'BEGIN {printf "%.1f ns against %.1f ns: at most %.1f ns", t, b, b * 1.25 + 3}')" \
      "$(verdict "$tree <= $base * 1.25 + 3")"
  done
}

# put -> reader latency (ring_latency).
section_ring_latency() {
  local f=$logs/ring_latency.out rows frames
  step_ok ring_latency "ring_latency"
  rows=$(awk '/^(futex|ring)/ && NF >= 5 && $NF ~ /^[0-9.]+$/' "$f" 2>/dev/null)
  frames=$(sed -n 's/.*processes, \([0-9]*\) frames each.*/\1/p' "$f" 2>/dev/null)
  {
    stamp ring_latency "\`ring_latency 2000\`"
    echo
    if [ -z "$rows" ]; then
      not_measured "ring_latency measured no mode ($f)"
    else
      echo "| put → reader, $frames frames each | median | p90 | p99 | max |"
      echo "| --- | ---: | ---: | ---: | ---: |"
      awk "$awk_lib"'/^(futex|ring)/ && $NF == "failed" { n = $0; sub(/ +failed$/, "", n); printf "| %s | failed | | | |\n", n; next }
        /^(futex|ring)/ && NF >= 5 && $NF ~ /^[0-9.]+$/ { n = $0; sub(/ +[0-9.]+ +[0-9.]+ +[0-9.]+ +[0-9.]+$/, "", n)
        printf "| %s | %s µs | %s µs | %s µs | %s µs |\n", n, ns($(NF - 3)), ns($(NF - 2)), ns($(NF - 1)), ns($NF) }' "$f"
    fi
  } > "$blocks/ring-latency.md"
  [ "$(grep -c . <<< "$rows")" -ne 3 ] && fail "ring_latency: $(grep -c . <<< "$rows") of its 3 modes measured"
  local wait floor
  # median p99 of a mode
  wait=$(awk '/^ring wait / {print $(NF - 3), $(NF - 1)}' <<< "$rows")
  floor=$(awk '/^futex / {print $(NF - 3), $(NF - 1)}' <<< "$rows")
  if [ -n "$wait" ] && [ -n "$floor" ]; then
    goal "put → reader through the ring's wait: median at most 100 µs, p99 at most 1 ms" \
      "$(awk -v w="$wait" -v f="$floor" 'BEGIN {split(w, a, " "); split(f, b, " ")
        printf "median %.1f µs, p99 %.1f µs (the futex floor: %.1f, %.1f µs)", a[1], a[2], b[1], b[2]}')" \
      "$(verdict "${wait% *} <= 100 && ${wait#* } <= 1000")"
  fi
}

# ours' row of the crash-safe peers' offline table: "wall_ms cpu_ms rss_mib
# bytes final ratio writes flushes flush_ms", or nothing.
peers_ours_offline() {
  awk -F'|' '/^### Offline/ {s = 1} s && $2 ~ /^ ours / {
    for (i = 3; i <= 11; i++) { gsub(/ /, "", $i); printf "%s%s", $i, (i < 11 ? " " : "\n") }; exit }' "$logs/peers.out" 2>/dev/null
}

# The MP4 writer alone (mp4_bench).
section_mp4() {
  local f=$logs/mp4_bench.out v
  step_ok mp4_bench "mp4_bench"
  grep -q 'ERROR OCCURRED' "$f" 2>/dev/null && fail "mp4_bench: writing the clip failed ($f)"
  # seconds pictures aac MB wall_ms cpu_ms MB/s_wall MB/s_cpu times_real_time
  v=$(sed -n 's/^Summary (medians): a \([0-9.]*\) s clip (\([0-9]*\) video + \([0-9]*\) audio samples, \([0-9.]*\) MB) in \([0-9.]*\) ms wall, \([0-9.]*\) ms CPU: \([0-9]*\) MB\/s wall, \([0-9]*\) MB\/s CPU; \([0-9]*\)x faster than real time$/\1 \2 \3 \4 \5 \6 \7 \8 \9/p' "$f" 2>/dev/null)
  local secs pics aac mb wall cpu mbs _ times
  read -r secs pics aac mb wall cpu mbs _ times <<< "$v"
  local o_wall o_cpu o_flushes o_flush_ms
  read -r o_wall o_cpu _ _ _ _ _ o_flushes o_flush_ms <<< "$(peers_ours_offline)"
  {
    stamp mp4_bench "\`mp4_bench\` (5 repetitions, medians)"
    echo
    if [ -z "$v" ]; then
      not_measured "mp4_bench printed no summary ($f)"
    else
      echo "| per ${secs%.*} s clip, median of 5 repetitions | |"
      echo "| --- | ---: |"
      awk "$awk_lib"' BEGIN {
        printf "| wall time | **%.2f ms** |\n", '"$wall"'
        printf "| CPU time of the whole process (both threads) | %.2f ms |\n", '"$cpu"'
        printf "| file written | %.3f MB, %s MB/s over the wall time |\n", '"$mb"', grp('"$mbs"')
        printf "| samples | %s pictures, %s AAC frames |\n", grp('"$pics"'), grp('"$aac"')
        printf "| against real time | %s× faster |\n", grp('"$times"') }'
      echo
      if [ -n "$o_flushes" ]; then
        echo "The same writer under strace (\`mp4_mux\` on the same ${secs%.*} s of media, ours in the crash-safe"
        echo "peers' offline table below): $o_flush_ms ms in its $o_flushes flush calls, in a whole process of $o_wall ms"
        echo "wall and $o_cpu ms CPU$(awk -v f="$o_flush_ms" -v w="$o_wall" 'BEGIN {if (f > w / 2) printf ": the wall time is mostly the storage'"'"'s time for the flushes"}')."
      fi
    fi
  } > "$blocks/mp4-writer.md"
  if [ -z "$v" ]; then
    fail "mp4_bench: no summary"
  elif [ "$pics $aac" != "900 468" ]; then
    fail "mp4_bench: the clip holds $pics pictures and $aac AAC samples (900 and 468 expected)"
  fi
}

# Our writer against ffmpeg -c copy (compare_ffmpeg.sh).
section_compare() {
  local f=$logs/compare_ffmpeg.out ff ours input samples start_wall libs
  step_ok compare_ffmpeg "compare_ffmpeg.sh"
  # median_ms min_ms cpu_ms rss_kib
  ff=$(sed -n 's/^ffmpeg -c copy  *\([0-9.]*\) ms  *\([0-9.]*\) ms  *\([0-9.]*\) ms  *\([0-9]*\) KiB$/\1 \2 \3 \4/p' "$f" 2>/dev/null)
  ours=$(sed -n 's/^mp4_mux (our MP4 writer)  *\([0-9.]*\) ms  *\([0-9.]*\) ms  *\([0-9.]*\) ms  *\([0-9]*\) KiB$/\1 \2 \3 \4/p' "$f" 2>/dev/null)
  input=$(sed -n 's/^input: //p' "$f" 2>/dev/null)
  samples=$(sed -n 's/^samples (video audio): //p' "$f" 2>/dev/null)
  while read -r line; do fail "compare_ffmpeg.sh: $line"; done < <(grep '^FAIL' "$f" 2>/dev/null)
  start_wall=$(sed -n 's/^wall //p' "$logs/ffmpeg_start.out" 2>/dev/null)
  libs=$(sed -n 's/^libraries //p' "$logs/ffmpeg_start.out" 2>/dev/null)
  local fm fmin fc fr om omin oc orss
  read -r fm fmin fc fr <<< "$ff"
  read -r om omin oc orss <<< "$ours"
  {
    stamp compare_ffmpeg "\`compare_ffmpeg.sh 15\` (15 alternating runs of each)"
    echo
    if [ -z "$ff" ] || [ -z "$ours" ]; then
      not_measured "compare_ffmpeg.sh printed no timings ($f)"
    else
      echo "| whole process, 15 runs | median wall | min wall | user + sys (median) | peak RSS (median) |"
      echo "| --- | ---: | ---: | ---: | ---: |"
      awk -v fm="$fm" -v fmin="$fmin" -v fc="$fc" -v fr="$fr" -v om="$om" -v omin="$omin" -v oc="$oc" -v orss="$orss" 'BEGIN {
        printf "| `ffmpeg -c copy` | %.2f ms | %.2f ms | %.2f ms | %.1f MiB |\n", fm, fmin, fc, fr / 1024
        printf "| `mp4_mux` (our writer) | %.2f ms | %.2f ms | %.2f ms | %.1f MiB |\n", om, omin, oc, orss / 1024
        printf "| **ratio** | **%.1f×** | %.1f× | %.1f× | %.1f× |\n", fm / om, fmin / omin, fc / oc, fr / orss }'
      echo
      echo "Input: $input. Samples (video audio): $samples."
      if [ -n "$start_wall" ]; then
        echo
        local o_flushes
        read -r _ _ _ _ _ _ _ o_flushes _ <<< "$(peers_ours_offline)"
        awk -v s="$start_wall" -v l="$libs" -v fm="$fm" -v of="$o_flushes" 'BEGIN {
          printf "%s of ffmpeg'"'"'s time is its own start: `ffmpeg -version` alone, timed the same way, takes\n", (s * 1000 > fm / 2 ? "Most" : "Part")
          printf "%.1f ms (median of 9 runs; it loads %d shared libraries), ", s * 1000, l
          if (fm > s * 1000) printf "which leaves %.1f ms for reading and muxing the 60 seconds", fm - s * 1000
          else printf "as long as its whole muxing run within the machine'"'"'s spread"
          printf "; it never flushes%s.\n", of == "" ? "" : sprintf(", where ours makes %d flushes a clip (the section above)", of) }'
      fi
    fi
  } > "$blocks/compare-ffmpeg.md"
  if [ -z "$ff" ] || [ -z "$ours" ]; then
    fail "compare_ffmpeg.sh: no timings"
  else
    goal "our MP4 writing ≥ 5× as fast as \`ffmpeg -c copy\`, whole process (wall)" \
      "$(awk -v a="$fm" -v b="$om" 'BEGIN {printf "%.1f× (%.2f ms against %.2f ms)", a / b, b, a}')" \
      "$(verdict "$fm / $om >= 5")"
  fi
  [ -z "$start_wall" ] && fail "ffmpeg's start: not measured ($logs/ffmpeg_start.err)"
}

# The crash-safe peers (crash_safe_peers.sh prints its own Markdown).
section_peers() {
  local f=$logs/peers.out checks behind why
  checks=$(sed -n 's/^CHECKS: //p' "$f" 2>/dev/null | tail -1)
  {
    stamp peers "\`crash_safe_peers.sh\` (9 offline runs of each writer, one real-time window)"
    echo
    if [ ! -s "$f" ] || ! grep -q '^### ' "$f"; then
      not_measured "crash_safe_peers.sh printed no tables ($logs/peers.err)"
    else
      # Its own heading is the template's; its checks are this script's to report.
      sed '1{/^## /d}' "$f" | sed '/^CHECKS: /d' | sed '1{/^$/d}'
    fi
  } > "$blocks/peers.md"
  case $checks in
    ok) ;;
    "") fail "crash_safe_peers.sh: no CHECKS line (status $(status_of peers); $logs/peers.err)" ;;
    *) fail "crash_safe_peers.sh: $checks" ;;
  esac
  [ "$checks" = ok ] && [ "$(status_of peers)" != 0 ] && fail "crash_safe_peers.sh: exited with status $(status_of peers)"
  behind=$(grep -c '^- Behind on ' "$f" 2>/dev/null)
  why=$(grep -c '^  Why: ' "$f" 2>/dev/null)
  if grep -q '^### Ours against each peer' "$f" 2>/dev/null; then
    if [ "$behind" -eq 0 ]; then
      goal "ours ahead of each crash-safe peer on every figure, or the page says by how much and why not" \
        "ahead of or level with every peer on every figure" met
    else
      goal "ours ahead of each crash-safe peer on every figure, or the page says by how much and why not" \
        "behind on $behind: $(sed -n 's/^- Behind on \([^:]*\):.*/\1/p' "$f" | paste -sd ';' | sed 's/;/; /g')" \
        "$([ "$why" -ge "$behind" ] && echo "met: each said, with its why" || echo missed)"
    fi
  fi
}

# The recorder's cost (recorder_cost.sh).
section_recorder() {
  local f=$logs/recorder_cost.out runs wait n
  step_ok recorder_cost "recorder_cost.sh"
  # run clip_s wall_s cpu_ms cpu_ms_per_s core_pct rss_mib put_read read_file put_file wakeups puts
  runs=$(awk '$1 ~ /^[0-9]+$/ && $3 ~ /s$/ && $8 == "MiB" && NF == 16 {
    sub(/s$/, "", $3); sub(/%$/, "", $6); print $1, $2, $3, $4, $5, $6, $7, $9, $11, $13, $15, $16 }' "$f" 2>/dev/null)
  n=$(grep -c . <<< "$runs")
  # wakeups_per_s voluntary involuntary wall_s cpu_ms_per_s
  wait=$(sed -n 's/^waiting for the first SPS: \([0-9.]*\) wakeups a second (\([0-9]*\) voluntary, \([0-9]*\) involuntary in \([0-9.]*\) s), \([0-9.]*\) ms CPU a second.*/\1 \2 \3 \4 \5/p' "$f" 2>/dev/null)
  while read -r line; do [ -n "$line" ] && fail "recorder_cost.sh: $line"; done <<< "$(grep -E '^ *\(the clip holds|found an SPS|failed' "$f" 2>/dev/null)"
  {
    stamp recorder_cost "\`recorder_cost.sh $recorder_runs\` ($recorder_runs clips one after another, then the wait)"
    echo
    if [ "$n" -lt 1 ]; then
      not_measured "recorder_cost.sh printed no clip ($f)"
    else
      awk -v n="$n" '
        function med(c,   i, j, t, a) { for (i = 1; i <= n; i++) a[i] = v[i, c]
          for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
          return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
        function row(label, c, fmt, unit, bold,   i, s) { s = "| " label
          for (i = 1; i <= n; i++) s = s " | " sprintf(fmt, v[i, c]) unit
          s = s " | " (bold ? "**" : "") sprintf(fmt, med(c)) unit (bold ? "**" : "") " |"; print s }
        { for (c = 1; c <= NF; c++) v[NR, c] = $c }
        END {
          h = "| per clip (" sprintf("%.1f", med(2)) " s of video)"; sep = "| ---"
          for (i = 1; i <= n; i++) { h = h " | run " i; sep = sep " | ---:" }
          print h " | median |"; print sep " | ---: |"
          row("recorder'"'"'s wall time (pre-roll written at once, then real time)", 3, "%.1f", " s", 0)
          row("CPU time, user + system", 4, "%.1f", " ms", 0)
          row("CPU per second of clip", 5, "%.2f", " ms", 1)
          row("share of one core over its run", 6, "%.3f", "%", 1)
          row("peak resident memory", 7, "%.2f", " MiB", 1)
          row("wakeups (context switches) a second", 11, "%.1f", "", 1)
          row("frames put a second (both channels)", 12, "%.1f", "", 0)
          row("ending frame put → final file", 10, "%.1f", " ms", 1)
          row("of which: put → recorder reads it", 8, "%.2f", " ms", 1)
          row("of which: read → final file", 9, "%.1f", " ms", 0) }' <<< "$runs"
    fi
    echo
    if [ -z "$wait" ]; then
      not_measured "the wait for the first SPS ($f)"
    else
      awk -v w="$wait" 'BEGIN { split(w, a, " ")
        print "| waiting for the clip'"'"'s first SPS, then SIGTERM | |"
        print "| --- | ---: |"
        printf "| wakeups a second | **%.1f** (%d voluntary, %d involuntary in %.1f s) |\n", a[1], a[2], a[3], a[4]
        printf "| CPU a second | %.3f ms |\n", a[5] }'
    fi
  } > "$blocks/recorder-cost.md"
  [ "$n" -ne "$recorder_runs" ] && fail "recorder_cost.sh: $n of $recorder_runs clips measured"
  [ -z "$wait" ] && fail "recorder_cost.sh: the wait for the first SPS not measured"
  if [ "$n" -ge 1 ]; then
    local m
    # medians: cpu_per_s core rss put_read wakeups puts
    m=$(awk -v n="$n" '{ for (c = 1; c <= NF; c++) v[NR, c] = $c }
      function med(c,   i, j, t, a) { for (i = 1; i <= n; i++) a[i] = v[i, c]
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
      END { print med(5), med(6), med(7), med(8), med(11), med(12) }' <<< "$runs")
    local cps core rss lat wk puts
    read -r cps core rss lat wk puts <<< "$m"
    goal "recorder under 1% of one core while recording in real time" "${core}%" "$(verdict "$core < 1")"
    goal "recorder CPU per second of clip at most 1.5 ms" "$cps ms" "$(verdict "$cps <= 1.5")"
    goal "recorder wakeups while recording at most 1.5 × the puts a second + 5" "$wk a second for $puts puts" \
      "$(verdict "$wk <= 1.5 * $puts + 5")"
    goal "put → the recorder reads it at most 1 ms" "$lat ms" "$(verdict "$lat <= 1")"
    goal "recorder under 8 MiB resident" "$rss MiB" "$(verdict "$rss < 8")"
  fi
  if [ -n "$wait" ]; then
    local wk_wait; wk_wait=${wait%% *}
    goal "recorder wakeups while waiting for the first SPS at most 3 a second" "$wk_wait" "$(verdict "$wk_wait <= 3")"
  fi
}

# What durability costs (clip_durability.sh).
section_durability() {
  local f=$logs/durability.out a b c d
  step_ok durability "clip_durability.sh"
  # took writes bytes size ratio flushes per_s pictures aac
  a=$(sed -n 's/^recording took \([0-9.]*\) s; \([0-9]*\) writes, \([0-9]*\) bytes; final file \([0-9]*\) bytes; ratio \([0-9.]*\); \([0-9]*\) flushes (\([0-9.]*\) per second); frames: \([0-9]*\) \([0-9]*\).*/\1 \2 \3 \4 \5 \6 \7 \8 \9/p' "$f" 2>/dev/null)
  # pictures aac want_pictures want_aac flushes wall core_pct rss_mib
  b=$(sed -n 's/^frames: \([0-9]*\) \([0-9]*\) *(all \([0-9]*\) and \([0-9]*\) expected); \([0-9]*\) flushes in \([0-9.]*\) s; CPU \([0-9.]*\)% of one core; peak RSS \([0-9.]*\) MiB.*/\1 \2 \3 \4 \5 \6 \7 \8/p' "$f" 2>/dev/null)
  # status ms pictures aac
  c=$(sed -n 's/^clip_recover: exit \([0-9]*\) in \([0-9]*\) ms; kept: \([0-9]*\) \([0-9]*\).*/\1 \2 \3 \4/p' "$f" 2>/dev/null)
  # status wall pictures aac want_pictures want_aac rss_mib; then the recorder's line
  d=$(sed -n 's/^exit \([0-9]*\) in \([0-9.]*\) s; frames: \([0-9]*\) \([0-9]*\) *(all \([0-9]*\) and \([0-9]*\) expected); peak RSS \([0-9.]*\) MiB.*/\1 \2 \3 \4 \5 \6 \7/p' "$f" 2>/dev/null)
  local d_line; d_line=$(sed -n 's/^exit [0-9]* in .* MiB; \(alarm_record: .*\)$/\1/p' "$f" 2>/dev/null)
  local a_took a_writes a_bytes a_size a_fl a_pics a_aac
  local b_pics b_aac b_wp b_wa b_fl b_wall b_core b_rss c_st c_ms c_pics c_aac
  local d_st d_wall d_pics d_aac d_wp d_wa d_rss
  read -r a_took a_writes a_bytes a_size _ a_fl _ a_pics a_aac <<< "$a"
  read -r b_pics b_aac b_wp b_wa b_fl b_wall b_core b_rss <<< "$b"
  read -r c_st c_ms c_pics c_aac <<< "$c"
  read -r d_st d_wall d_pics d_aac d_wp d_wa d_rss <<< "$d"
  {
    stamp durability "\`clip_durability.sh\` (one run of each recording)"
    echo
    if [ -z "$a$b$c$d" ]; then
      not_measured "clip_durability.sh printed no figures ($logs/durability.err)"
    else
      echo "| figure | this run |"
      echo "| --- | --- |"
      [ -n "$a" ] && awk "$awk_lib"' BEGIN {
        printf "| A. recording time (pre-roll at once, then real time) | %.1f s |\n", '"$a_took"'
        printf "| A. writes to the clip (`pwrite`) | %s calls, %s bytes |\n", grp('"$a_writes"'), grp('"$a_bytes"')
        printf "| A. final file | %s bytes: %s pictures, %s AAC frames |\n", grp('"$a_size"'), grp('"$a_pics"'), grp('"$a_aac"')
        printf "| A. bytes written / final size | **%.3f** |\n", '"$a_bytes"' / '"$a_size"'
        printf "| A. flushes (`fdatasync`, `fsync`) | **%d** in %.1f s of recording, for a clip of %.1f s of pictures |\n", '"$a_fl"', '"$a_took"', '"$a_pics"' / 15 }'
      [ -n "$b" ] && awk "$awk_lib"' BEGIN {
        printf "| B. every flush 200 ms: frames kept | **%s of %s pictures, %s of %s AAC frames** |\n", grp('"$b_pics"'), grp('"$b_wp"'), grp('"$b_aac"'), grp('"$b_wa"')
        printf "| B. flushes, CPU, memory | %d flushes in %.1f s; %.3f%% of one core; %.1f MiB peak resident |\n", '"$b_fl"', '"$b_wall"', '"$b_core"', '"$b_rss"' }'
      [ -n "$c" ] && echo "| C. killed at 20 s: \`clip_recover\` on the \`NAME.tmp\` | exit $c_st in **$c_ms ms**, its flushes included; kept $c_pics pictures, $c_aac AAC frames |"
      [ -n "$d" ] && awk "$awk_lib"' BEGIN {
        printf "| D. every flush 20 s, 12 s clip | exit %d in %.1f s; **%s of %s pictures, %s of %s AAC frames**; %.1f MiB peak resident |\n", '"$d_st"', '"$d_wall"', grp('"$d_pics"'), grp('"$d_wp"'), grp('"$d_aac"'), grp('"$d_wa"'), '"$d_rss"' }'
      [ -n "$d_line" ] && { echo; echo "D's recorder said: \`$d_line\`"; }
    fi
  } > "$blocks/durability.md"
  [ -z "$a" ] && fail "clip_durability.sh: no figures for A (bytes and flushes)"
  [ -z "$b" ] && fail "clip_durability.sh: no figures for B (200 ms flushes)"
  [ -z "$c" ] && fail "clip_durability.sh: no figures for C (kill and clip_recover)"
  [ -z "$d" ] && fail "clip_durability.sh: no figures for D (20 s flushes)"
  if [ -n "$a" ]; then
    [ -n "$b" ] && [ "$a_pics $a_aac" != "$b_wp $b_wa" ] &&
      fail "clip_durability.sh: A's clip holds $a_pics pictures and $a_aac AAC frames ($b_wp and $b_wa expected)"
    goal "bytes written for a 60 s clip at most 1.10 × the final file" \
      "$(awk "$awk_lib"' BEGIN {printf "%.3f × (%s of %s bytes)", '"$a_bytes / $a_size"', grp('"$a_bytes"'), grp('"$a_size"')}')" \
      "$(verdict "$a_bytes <= 1.10 * $a_size")"
    goal "at most one flush per second of clip, the close's included" \
      "$(awk -v n="$a_fl" -v p="$a_pics" 'BEGIN {printf "%d flushes for %.1f s of pictures", n, p / 15}')" \
      "$(verdict "$a_fl <= $a_pics / 15")"
  fi
  if [ -n "$b" ]; then
    goal "no frame lost with every flush taking 200 ms" \
      "$b_pics of $b_wp pictures, $b_aac of $b_wa AAC frames; $(awk -v c="$b_core" 'BEGIN {printf "%.3f", c}')% of a core, $b_rss MiB" \
      "$(verdict "$b_pics == $b_wp && $b_aac == $b_wa")"
  fi
  if [ -n "$d" ]; then
    goal "no frame lost with every flush taking 20 s (12 s clip), at most 8 MiB resident" \
      "$d_pics of $d_wp pictures, $d_aac of $d_wa AAC frames, exit $d_st, $d_rss MiB" \
      "$(verdict "$d_st == 0 && $d_pics == $d_wp && $d_aac == $d_wa && $d_rss <= 8")"
  fi
  if [ -n "$c" ]; then
    [ "$c_st" != 0 ] && fail "clip_durability.sh: clip_recover exited $c_st"
    [ "${c_pics:-0}" -gt 0 ] || fail "clip_durability.sh: the recovered clip holds no picture"
    goal "kill -9 to a recovered clip" "$c_ms ms (\`clip_recover\` on a 20 s recording's \`NAME.tmp\`)" "no goal"
  fi
}

section_ring
section_ring_pair
section_ring_latency
section_mp4
section_compare
section_peers
section_recorder
section_durability

# The machine, and the run as a whole.
{
  os=$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME")
  mem=$(awk '/^MemTotal:/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
  virt=$(grep -qw hypervisor /proc/cpuinfo && echo ", a virtual machine (the CPU reports a hypervisor)")
  echo "*This run: \`bash bench/report.sh\` at commit \`$commit\`, started $started; it took $(elapsed) in all, dependency check and build included.*"
  echo
  echo "- $cores cores of $cpu_model$virt; $mem of memory; Linux $(uname -r), $os."
  echo "- GCC $(g++ -dumpfullversion 2>/dev/null), Release (\`$(sed -n 's/^CMAKE_CXX_FLAGS_RELEASE:STRING=//p' "$build/CMakeCache.txt")\`), Google Benchmark" \
    "$(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null), ffmpeg $(ffmpeg -version 2>/dev/null | awk 'NR == 1 {print $3}')," \
    "GStreamer $(gst-launch-1.0 --version 2>/dev/null | awk 'NR == 1 {print $NF}')."
  echo "- Scratch folder (clips, MP4 files) \`$scratch\` on $scratch_fs; rings and status blocks on \`/dev/shm\` ($shm_fs)."
  echo "- Phase 1, $phase1_took s: \`crash_safe_peers.sh\` ($(cat "$logs/peers.took" 2>/dev/null) s) alongside" \
    "\`clip_durability.sh\` ($(cat "$logs/durability.took" 2>/dev/null) s). Phase 2, $phase2_took s: \`ring_latency\`," \
    "\`ring_bench\` (then its searches), \`ring_pair.sh\`, \`mp4_bench\`, \`compare_ffmpeg.sh\` and ffmpeg's start one after another" \
    "($(cat "$logs"/{ring_latency,ring_bench,ring_search,ring_pair,mp4_bench,compare_ffmpeg,ffmpeg_start}.took 2>/dev/null | awk '{t += $1} END {print t + 0}') s)" \
    "alongside \`recorder_cost.sh\` ($(cat "$logs/recorder_cost.took" 2>/dev/null) s)."
  for x in "${notes[@]}"; do echo "- Note: $x."; done
  if [ ${#failed[@]} -eq 0 ] && [ ${#missed[@]} -eq 0 ]; then
    echo "- Every benchmark's checks passed and every goal was met."
  else
    [ ${#failed[@]} -gt 0 ] && echo "- **Checks that failed:** $(printf '%s; ' "${failed[@]}" | sed 's/; $//')."
    [ ${#missed[@]} -gt 0 ] && echo "- **Goals missed:** $(printf '%s; ' "${missed[@]}" | sed 's/; $//')."
  fi
} > "$blocks/machine.md"
{
  echo "| goal | figure (this run) | |"
  echo "| --- | --- | --- |"
  cat "$goals"
} > "$blocks/goals.md"

# --- the page -----------------------------------------------------------------
page=$(mktemp "$(dirname "$out")/.report.XXXXXX") || { note "cannot write beside $out"; exit 1; }
awk -v dir="$blocks" '
  /^<!-- report:[a-z0-9-]+ -->$/ {
    name = $0; sub(/^<!-- report:/, "", name); sub(/ -->$/, "", name)
    print "<!-- report:" name " begin -->"
    f = dir "/" name ".md"; got = 0
    while ((getline line < f) > 0) { print line; got = 1 }
    close(f)
    if (!got) { print "*Not measured in this run.*"; missing = missing " " name }
    print "<!-- report:" name " end -->"
    next }
  { print }
  END { if (missing != "") { print "report.sh: no figures for:" missing > "/dev/stderr"; exit 1 } }' \
  "$template" > "$page" || fail "the page: a section of the template has no figures"
mv "$page" "$out" || { rm -f "$page"; note "cannot write $out"; exit 1; }
note "wrote $out in $(elapsed) (the benchmarks' output in $logs)"
for x in "${notes[@]}"; do echo "NOTE: $x"; done
for x in "${failed[@]}"; do echo "FAILED CHECK: $x"; done
for x in "${missed[@]}"; do echo "GOAL MISSED: $x"; done
[ ${#failed[@]} -eq 0 ] || exit 1
if [ ${#missed[@]} -eq 0 ]; then echo "every check passed, every goal met"; else echo "every check passed"; fi
