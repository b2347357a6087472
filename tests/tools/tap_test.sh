#!/usr/bin/env bash
# ring_tap against ring_feed on scratch rings, its output decoded by ffmpeg
# (tap_checks.sh): bad command lines; a reader that goes away; a live follow
# of video and audio across a producer restart; readers that stop reading
# while the producer runs past what the ring holds.
# usage: tap_test.sh RING_TAP RING_FEED DATA_DIR
set -uo pipefail
tap=$1 ring_feed=$2 data=$3
work=$(mktemp -d /tmp/tap_test.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$work"' EXIT
source "$(dirname "$0")/../support/clip_checks.sh"
source "$(dirname "$0")/../support/tap_checks.sh"
use_ring() { mkdir -p "$work/$1"; export MEDIA_RING_PATH=$work/$1/view MEDIA_STATUS_PATH=$work/$1/mmap.info; }
feed() { "$ring_feed" --duration "$1" --speed "$2" "$data/video_15fps.h264" "$data/audio_8k_mono.aac" > /dev/null; }

refused() {  # STATUS LINE ARGS...: that status, nothing on stdout, one line of its own on stderr
  local want=$1 line=$2; shift 2
  "$tap" "$@" > "$work/out" 2> "$work/err"
  local status=$? got
  got="$status:$(wc -c < "$work/out"):$(grep '^ring_tap:' "$work/err")"
  check "ring_tap $*: $want:0:$line (got $got)" test "$got" = "$want:0:$line"
}
use_ring lines
for ch in 6 x -1; do refused 2 "ring_tap: channel $ch: not 0..5" "$ch"; done
refused 2 'ring_tap: --timeout 0: not 1..86400000 ms (see --help)' --timeout 0 1
MEDIA_RING_PATH=$work refused 1 "ring_tap: cannot map the ring file $work" 1
check "--help prints the usage" grep -q '^usage: ring_tap' <("$tap" --help)

# Its reader takes 1000 bytes and goes away; the next put ends the tap.
feed 1 10
mkfifo "$work/head.fifo"
"$tap" 1 > "$work/head.fifo" 2> "$work/head.err" &
head_tap=$!
head -c 1000 "$work/head.fifo" > "$work/head.out"
feed 1 10
wait "$head_tap"
got="$?:$(od -An -tx1 -N5 "$work/head.out" | tr -d ' ')"
check "reader gone: status 0, the SPS first (got $got)" test "$got" = 0:0000000167

# shellcheck disable=SC2034  # follow takes the feed by name
host_feed=("$ring_feed")
follow live host_feed "$tap"
check "live: the restarted producer was followed at its SPS ($(cat "$work/live_1.err"))" \
  grep -q 'ring_tap: channel 1: seq went back from [0-9]* to 0 (a new producer?); going on at this SPS' "$work/live_1.err"

# slow SECONDS CHANNEL...: taps whose readers stop reading while a second
# producer puts SECONDS of media at 100x; each tap fills its pipe (64 KiB at
# most) and blocks there, far behind.  36 s leaves video one descriptor table
# and a bit ahead (the frame after the tap's is a P frame), 60 s exactly two
# tables (the walk sees nothing new), and audio over half its region behind.
# Either way the video goes on up to the newest picture put, the sample's 60th.
slow() {
  local s=$1 ch pids=(); shift
  use_ring "slow$s"
  feed 1 10
  for ch; do
    mkfifo "$work/slow${s}_$ch.go"
    decode "slow${s}_$ch" "$ch" "$work/slow${s}_$ch.go"
    "$tap" "$ch" > "$work/slow${s}_$ch.fifo" 2> "$work/slow${s}_$ch.err" &
    pids+=($!)
    tap_sleeps "$ch" "slow$s"
  done
  feed "$s" 100
  for ch; do echo go > "$work/slow${s}_$ch.go"; done
  for ch; do tap_sleeps "$ch" "slow$s"; done
  stop_taps "slow$s" "${pids[@]}"
  for ch; do
    check "slow${s}_$ch: says it skipped ahead ($(grep ring_tap "$work/slow${s}_$ch.err" | tr '\n' '|'))" \
      grep -Eq "^ring_tap: channel $ch: (.*frames lost|overtaken by the producer).*; going on at" "$work/slow${s}_$ch.err"
    check "slow${s}_$ch: decoded without an error ($(cat "$work/slow${s}_$ch.log"))" test ! -s "$work/slow${s}_$ch.log"
  done
  check "slow${s}_1: the sample's pictures only ($(foreign "slow${s}_1") not), up to its 60th" \
    test "$(foreign "slow${s}_1"):$(crcs "slow${s}_1" | tail -n 1)" = "0:$(crcs sample | sed -n 60p)"
}
slow 36 1
slow 60 1 4

echo "ring_tap: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
