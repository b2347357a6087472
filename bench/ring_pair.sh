#!/usr/bin/env bash
# ring_pair.sh BASE [NEW [ROUNDS]] - the ring's put and read-out costs of
# commit NEW (default: this working tree) against those of commit BASE,
# paired in one run: both ring_bench programs (Release) run in alternation,
# ROUNDS times each (default 5), each run with its own 5 repetitions, so a
# slow spell of the shared machine falls on both.  Prints, per benchmark,
# the median of each side's medians, their ratio and their difference.
#
#   bash bench/ring_pair.sh 22c751b            # this tree against 22c751b
#   bash bench/ring_pair.sh 22c751b 428301d    # one commit against another
#
# A commit is built from a git worktree in build-bench/pair-<commit>; this
# tree in build-bench (BUILD=dir for another).  FILTER (a Google Benchmark
# regex) chooses the benchmarks; the default is the put of 16 and 400 bytes
# and the next-frame read-out of 400 bytes and 64 KiB.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: ring_pair.sh BASE [NEW [ROUNDS]]"
base=${1:?$usage}
new=${2:-.}
rounds=${3:-5}
filter=${FILTER:-'^BM_(Put/(16|400)|NextFrame/(400|65536))/'}
build=${BUILD:-build-bench}

# Prints the ring_bench of a commit (or of this tree for "."), built Release.
bench_of() {
  local src=. out=$build
  if [ "$1" != . ]; then
    local sha; sha=$(git rev-parse --short "$1^{commit}")
    src=$build/pair-$sha/src out=$build/pair-$sha/build
    if [ ! -d "$src" ]; then
      mkdir -p "$build/pair-$sha"
      git worktree add --detach "$src" "$sha" >/dev/null
    fi
  fi
  cmake -S "$src" -B "$out" -DCMAKE_BUILD_TYPE=Release -DMEDIA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$out" -j"$(nproc)" --target ring_bench >/dev/null
  echo "$out/bench/ring_bench"
}
base_bin=$(bench_of "$base")
new_bin=$(bench_of "$new")
base_name=$(git rev-parse --short "$base^{commit}")
if [ "$new" = . ]; then
  new_name="tree $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- media_ring || echo +changes)"
else
  new_name=$(git rev-parse --short "$new^{commit}")
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for r in $(seq "$rounds"); do
  for side in head base; do
    bin=$new_bin
    [ "$side" = base ] && bin=$base_bin
    # The console lines: name, time and its unit; a read benchmark's time is
    # per batch of frames (its batch= counter), made per frame here.
    "$bin" --benchmark_filter="$filter" --benchmark_repetitions=5 \
      --benchmark_report_aggregates_only=true 2>/dev/null |
      awk -v s="$side" '$1 ~ /_median$/ {
        name = $1; sub(/_median$/, "", name); sub(/\/(real|manual)_time$/, "", name)
        t = $2 * ($3 == "us" ? 1000 : $3 == "ms" ? 1000000 : 1); b = 1
        for (f = 4; f <= NF; f++) if ($f ~ /^batch=/) { b = substr($f, 7) }
        print s, name, t / b }' >> "$tmp/runs"
  done
done

echo "ring costs, $new_name against $base_name, $rounds alternating runs each, median ns per operation"
printf '%-22s %12s %12s %7s %9s\n' benchmark "$base_name" "${new_name%% *}" ratio "+ns"
awk '{ k = $2 " " $1; v[k, ++n[k]] = $3; names[$2] = 1 }
     function median(k,   m, i, j, t, a) {
       m = n[k]; for (i = 1; i <= m; i++) a[i] = v[k, i]
       for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
       return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2 }
     END { for (b in names) { h = median(b " head"); o = median(b " base")
             printf "%-22s %12.2f %12.2f %7.3f %9.2f\n", b, o, h, h / o, h - o } }' "$tmp/runs" | sort
