#!/bin/bash
# Runs every case of README.md under GenMC and prints one line each:
# the case, what it must give, and what GenMC said (timeout: more than
# LIMIT seconds, default 1800).  GENMC names the genmc
# binary (default: genmc on the PATH).  Not part of the test command: GenMC
# is built by hand (README.md).
cd "$(dirname "$0")" || exit 1
G=${GENMC:-genmc}
bad=0
run() {  # expect (ok|fail), then genmc's flags and the model's -D knobs
    local want=$1; shift
    local out; out=$(timeout "${LIMIT:-1800}" "$G" --disable-estimation "$@" 2>&1)
    local rc=$?
    local got=fail; grep -q 'No errors were detected' <<<"$out" && got=ok
    [ $rc = 124 ] && got=timeout
    local n; n=$(grep -oE 'complete executions explored: [0-9]+' <<<"$out" | grep -oE '[0-9]+$')
    local t; t=$(grep -oE 'wall-clock time: [0-9.]+s' <<<"$out" | grep -oE '[0-9.]+s$')
    printf '%-4s %-4s %8s exec %8s  %s\n' "$want" "$got" "${n:--}" "${t:--}" "$*"
    [ "$want" = "$got" ] || bad=1
}
M=ring_seqlock.c
for m in --sc --tso --rc11 --imm; do run ok $m -- $M; done      # 3 puts, oldest-first
run ok --imm -- -DREADER=1 $M                                    # newest-first
run ok --imm -- -DREADER=2 -DNREADS=2 $M                         # oldest, then the next walk
run ok --imm -- -DNPUTS=4 $M                                     # refill: valid 1 -> 0 -> 1
run ok --imm -- -DNBD=2 $M                                       # full table
# (full table, then the next walk, -DNBD=2 -DREADER=2 -DNREADS=2, and full
# table with 4 puts did not finish within 50 and 20 minutes: left out)
run ok --imm -- -DREADER=1 -DNPUTS=4 $M                          # newest-first over a refill
# A producer built before the generation: the re-check alone.
run ok   --tso -- -DOLD_WRITER -DNPUTS=4 $M
run fail --imm -- -DOLD_WRITER -DNPUTS=4 $M
# Each guard removed must be caught.
run fail --imm -- -DNO_BEGIN_FENCE -DNPUTS=4 $M
run fail --imm -- -DNO_ACQ_FENCE -DNPUTS=4 $M
run fail --imm -- -DNO_GEN_RECHECK -DNPUTS=4 $M
exit $bad
