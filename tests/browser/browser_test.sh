#!/usr/bin/env bash
# What a viewer sees: clips recorded by the real binaries (ring_feed into a ring
# in a scratch folder, alarm_record from it, as tools/demo.sh does) are played
# to their end in headless Chromium by play_clip.mjs, one case per table row.
#
# Checks:
#   played       played to the end, every picture shown (the compositor's
#                presented count and the decoded count equal the clip's frame
#                count from ffprobe -count_frames), none dropped or corrupted,
#                no media error
#   sizes        the sizes of the pictures shown are the clip's own (ffprobe per frame)
#   early_start  without byte ranges on a slow link, the picture moved before
#                half the file had been sent: the movie box comes first
# A case's report-only checks are printed as REPORT lines and not counted,
# until named as CASE:CHECK in BROWSER_TEST_ASSERT (space separated, or "all").
#
# Needs what setup.sh installs; installs nothing itself and skips (77) without it.
# Cases "killed" and "recovered": what a recording killed (-9) mid-clip
# leaves behind, played as it is, and the clip clip_recover makes of it.
# usage: browser_test.sh ALARM_RECORD RING_FEED DATA_DIR CLIP_RECOVER
set -uo pipefail
alarm_record=$1 ring_feed=$2 data=$3 clip_recover=$4
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/clip_checks.sh"
source "$here/../support/feed.sh"

# case       video             player options            asserted      report-only
cases=(
  "demo      video_15fps.h264  -                         played        -"
  "noranges  video_15fps.h264  --no-ranges,--rate,50000  played,early_start -"
  "reschange reschange.h264    -                         played,sizes  -"
  "killed    video_15fps.h264  -                         played        -"
  "recovered video_15fps.h264  -                         played        -"
)

skip() { echo "SKIP: $1 (run tests/browser/setup.sh)"; exit 77; }
command -v node >/dev/null || skip "node is not installed"
[ -x /usr/bin/chromium ] || skip "/usr/bin/chromium is not installed"
[ -f "$here/node_modules/playwright-core/package.json" ] || skip "playwright-core is not in $here/node_modules"

work=$(mktemp -d /tmp/browser_test.XXXXXX)
cleanup() { stop_feeds; rm -rf "$work"; }
trap cleanup EXIT

# record VIDEO CLIP: a 6-second alarm clip with its 5-second pre-roll, from a
# fresh ring fed VIDEO with six seconds pre-filled (4x real time after that,
# so the recorder waits a quarter of a second for its last second).
record() {
  local ring=$work/ring.$RANDOM
  start_feed "$ring" --prefill 6 --speed 4 "$data/$1" "$data/audio_8k_mono.aac"
  timeout 60 "$alarm_record" "$2" 6 > "$ring/rec.log" 2>&1
  local status=$?
  stop_feeds
  [ "$status" -eq 0 ] || { echo "FAIL: alarm_record from $1 exited $status"; cat "$ring/rec.log"; exit 1; }
}

# record_killed KILLED RECOVERED: a 20-second clip killed 3 s into its real-
# time part (several checkpoints in: it prints a line a second), its NAME.tmp
# copied as KILLED, then
# clip_recover makes RECOVERED of it.
record_killed() {
  local ring=$work/ring.$RANDOM
  start_feed "$ring" --prefill 6 "$data/video_15fps.h264" "$data/audio_8k_mono.aac"
  "$alarm_record" "$ring/clip.mp4" 20 > "$ring/rec.log" 2>&1 &
  local rec=$!
  # Killed once it has written 8 s of clip, the last 3 in real time.
  for _ in $(seq 200); do grep -q 'second gap(8)' "$ring/rec.log" && break; sleep 0.1; done
  kill -9 "$rec"; wait "$rec" 2>/dev/null
  stop_feeds
  unset MEDIA_RING_PATH MEDIA_STATUS_PATH
  cp "$ring/clip.mp4.tmp" "$1" || { echo "FAIL: no NAME.tmp left by the killed recorder"; exit 1; }
  "$clip_recover" "$ring/clip.mp4.tmp" > "$ring/recover.log" 2>&1 ||
    { echo "FAIL: clip_recover exited $?"; cat "$ring/recover.log"; exit 1; }
  mv "$ring/clip.mp4" "$2"
}

# field EXPR: a JavaScript expression over the report r, printed.
field() { node -e 'const r = JSON.parse(process.argv[1]); console.log(eval(process.argv[2]))' "$report" "$1"; }

# run_check CHECK CLIP: true when the report passes CHECK; says why not in $why.
run_check() {
  local frames want got
  case $1 in
    played)
      frames=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 "$2" 2>/dev/null)
      want="ended true, $frames presented, $frames decoded, 0 dropped, 0 corrupted, error null"
      got=$(field '`ended ${r.ended}, ${r.presentedFrames} presented, ${r.totalVideoFrames} decoded, ${r.droppedVideoFrames} dropped, ${r.corruptedVideoFrames} corrupted, error ${JSON.stringify(r.error)}`') ;;
    sizes)
      want=$(ffprobe -v error -select_streams v -show_entries frame=width,height -of csv=p=0 "$2" 2>/dev/null | tr , x | sort -u | tr '\n' ' ')
      got=$(field 'Object.keys(r.frameSizes).sort().join(" ") + " "') ;;
    early_start)
      want=true
      got=$(field 'r.bytesSentAtStart !== null && 2 * r.bytesSentAtStart < r.totalBytes') ;;
    *) echo "FAIL: unknown check $1"; exit 1 ;;
  esac
  why="want [$want], got [$got]"
  [ "$want" = "$got" ]
}

for row in "${cases[@]}"; do
  read -r name video options asserted reported <<< "$row"
  clip=$work/${video%.h264}.mp4
  case $name in killed | recovered) clip=$work/$name.mp4 ;; esac
  if [ "$name" = killed ]; then
    record_killed "$clip" "$work/recovered.mp4"
  elif [ ! -s "$clip" ]; then
    record "$video" "$clip"
  fi
  args=()
  [ "$options" = - ] || IFS=, read -ra args <<< "$options"
  report=$(node "$here/play_clip.mjs" "$clip" "${args[@]}" --timeout 20)
  status=$?
  [ "$status" -eq 77 ] && { echo "$report"; exit 77; }
  [ "$status" -eq 0 ] || { echo "FAIL: $name: play_clip.mjs exited $status"; failures=$((failures + 1)); continue; }
  echo "$name: $report"
  for c in ${asserted//,/ } ${reported//,/ }; do
    [ "$c" = - ] && continue
    run_check "$c" "$clip"; held=$?
    if [[ ",$asserted," == *",$c,"* || " ${BROWSER_TEST_ASSERT:-} " == *" $name:$c "* || "${BROWSER_TEST_ASSERT:-}" == all ]]; then
      check "$name: $c: $why" test "$held" -eq 0
    elif [ "$held" -eq 0 ]; then
      echo "REPORT: $name: $c holds (report only)"
    else
      echo "REPORT: $name: $c does not hold (report only): $why"
    fi
  done
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
