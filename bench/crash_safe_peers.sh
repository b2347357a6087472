#!/usr/bin/env bash
# Our clip writer against the writers a user would weigh crash-safe clips
# against, paired in one run on the same 60 seconds of media (the sample
# streams looped by loop_streams: 900 pictures of H.264 at 15 fps, 469 AAC
# frames at 8 kHz):
#   ours       the project's writer: bench/mp4_mux offline; in real time
#              alarm_record reading a ring that ring_feed fills in real time
#              (6 s pre-filled: the clip's pre-roll), as on the camera
#   GStreamer  mp4mux robust muxing: a movie box reserved at the front and
#              rewritten every second (reserved-max-duration,
#              reserved-moov-update-period)
#   ffmpeg     fragmented MP4, one fragment per key frame
#              (-movflags +frag_keyframe+empty_moov), as is and with
#              -flush_packets 1; and `ffmpeg -c copy`, the plain MP4 with its
#              movie box at the end, as the baseline that keeps nothing
# For each: wall and CPU time and peak memory of the whole process
# (proc_clock), the bytes it hands the kernel for the file against the final
# file's size and its flush calls (strace), and, for the real-time
# recordings, what a kill -9 at ten instants leaves: whether ffmpeg,
# GStreamer and Chromium play it, and how many seconds of what the process
# had been given are lost.
#
# All real-time processes run in one window: per writer one measured run, one
# run under strace and ten runs killed at their instants, every writer at the
# same time (so the whole comparison costs one recording's wall time).
#
# Prints Markdown on standard output, ending with "CHECKS: ok" or
# "CHECKS: failed: WHAT"; progress and tool noise go to standard error.
# usage: bench/crash_safe_peers.sh
#   BUILD=dir       build directory (default build-bench, configured Release)
#   RUNS=n          offline runs per writer (default 9)
#   PEERS_SECONDS=s media length and real-time recording length (default 60;
#                   a shorter one is for trying the script, not for the page)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
build=${BUILD:-build-bench}
runs=${RUNS:-9}
seconds=${PEERS_SECONDS:-60}
fps=15
failed=()
note() { echo "crash_safe_peers: [$SECONDS s] $*" >&2; }
die() {
  note "$1"
  echo
  echo "CHECKS: failed: $1"
  exit 1
}

# --- dependencies and build -------------------------------------------------
bash scripts/install_deps.sh >&2 || die "scripts/install_deps.sh failed"
if ! command -v strace >/dev/null; then
  [ "$(id -u)" -eq 0 ] || die "strace is missing (apt-get install strace)"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends strace; } >&2 ||
    die "cannot install strace"
fi
for tool in ffmpeg ffprobe gst-launch-1.0 stdbuf node; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >&2 || die "cmake configure failed"
fi
cmake --build "$build" -j2 --target mp4_mux loop_streams proc_clock alarm_record ring_feed clip_recover >&2 ||
  die "build failed"
case $build in /*) ;; *) build=$root/$build ;; esac
bin=$build/bench
clock=$bin/proc_clock
alarm_record=$build/recorder/alarm_record
ring_feed=$build/tools/ring_feed
clip_recover=$build/tools/clip_recover
[ -x "$clock" ] && [ -x "$alarm_record" ] && [ -x "$ring_feed" ] && [ -x "$clip_recover" ] ||
  die "built binaries not found under $build"

# --- scratch ----------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/crash_safe_peers.XXXXXX") || die "mktemp failed"
shm=$(mktemp -d "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/crash_safe_peers.XXXXXX") ||
  die "mktemp failed"
# At exit, the background processes this shell started and has not yet
# waited for (its jobs: a pid it has waited for may belong to anyone by then).
cleanup() {
  local p
  for p in $(jobs -p); do kill -9 "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work" "$shm"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
# The command lines below are words split by the shell: no path may hold a blank.
case $work$build in *[[:space:]]*) die "a path holds a blank: $work, $build" ;; esac
off=$work/offline rt=$work/realtime
mkdir -p "$off" "$rt"

# --- the input --------------------------------------------------------------
"$bin/loop_streams" "$seconds" "$fps" tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac \
  "$work/in.h264" "$work/in.aac" > "$work/loop.log" || die "loop_streams failed"
# GStreamer's h264parse gives an Annex-B file's pictures a DTS but never a PTS
# (it turns PTS inference off), and mp4mux refuses a buffer without one; so
# GStreamer reads the same two streams from an MPEG-TS, remuxed by ffmpeg
# without re-encoding, as a live source would hand them over.
ffmpeg -nostdin -v error -y -framerate "$fps" -i "$work/in.h264" -i "$work/in.aac" -map 0:v -map 1:a \
  -c copy -f mpegts "$work/in.ts" >&2 || die "ffmpeg could not make the MPEG-TS input"
pictures=$((seconds * fps))

# --- the writers ------------------------------------------------------------
# cmd_NAME MODE OUT: the command line, MODE offline or realtime.
reserve_ns=$(((seconds + 10) * 1000000000))
gst_mux="mp4mux name=m reserved-max-duration=$reserve_ns reserved-moov-update-period=1000000000"
cmd_gst() {  # MODE OUT [loud]: loud keeps gst-launch's progress lines
  local sync='' quiet=-q
  [ "$1" = realtime ] && sync="! clocksync"
  [ "${3:-}" = loud ] && quiet=
  # shellcheck disable=SC2086  # the pipeline is words
  echo gst-launch-1.0 $quiet filesrc location="$work/in.ts" ! tsdemux name=d $gst_mux ! filesink location="$2" \
    d. ! queue ! h264parse $sync ! m.video_0 d. ! queue ! aacparse $sync ! m.audio_0
}
ff_in() {  # the inputs, paced in real time (-re before each) or not
  local re=
  [ "$1" = realtime ] && re=-re
  echo ffmpeg -nostdin -v error -y $re -framerate "$fps" -i "$work/in.h264" $re -i "$work/in.aac" -map 0:v -map 1:a -c copy
}
cmd_frag() { echo "$(ff_in "$1") -bsf:a aac_adtstoasc -movflags +frag_keyframe+empty_moov $2"; }
cmd_fragflush() { echo "$(ff_in "$1") -bsf:a aac_adtstoasc -movflags +frag_keyframe+empty_moov -flush_packets 1 $2"; }
cmd_plain() { echo "$(ff_in "$1") $2"; }
cmd_ours() {
  if [ "$1" = offline ]; then
    echo "$bin/mp4_mux" --fps "$fps" "$work/in.h264" "$work/in.aac" "$2"
  else  # a clip of SECONDS holds SECONDS + 1 s of pictures
    echo "$alarm_record" "$(basename "$2")" $((seconds - 1))
  fi
}
peers=(ours gst frag fragflush plain)
declare -A label=(
  [ours]="ours (clip writer)"
  [gst]="GStreamer mp4mux, robust muxing"
  [frag]="ffmpeg fragmented MP4"
  [fragflush]="ffmpeg fragmented MP4, -flush_packets 1"
  [plain]="ffmpeg -c copy (plain MP4)"
  [gstin]="(GStreamer's input side alone)"
  [ours_left]="ours: NAME.tmp as left"
  [ours_rec]="ours: after clip_recover"
)

# strace of everything that hands bytes to the kernel or flushes them.
trace_calls=write,pwrite64,writev,pwritev,pwritev2,fsync,fdatasync,sync_file_range,msync,syncfs,sync
# Followed into every thread, descriptors shown with their paths, each call's time kept.
strace_cmd=(strace -f -y -T -qq --seccomp-bpf -e "trace=$trace_calls")
# strace -f splits a call that another thread interrupts into "PID call(...
# <unfinished ...>" and "PID <... call resumed>...": both are read here.
# bytes_to LOG FILE: "bytes calls" handed to the kernel for FILE (or FILE.tmp).
bytes_to() {
  awk -v f="$2" '
    function ret(line) { return match(line, /= [0-9]+ <[0-9.]+>$/) ? substr(line, RSTART + 2) + 0 : 0 }
    $2 ~ /^(write|pwrite64|writev|pwritev|pwritev2)\(/ && (index($0, "<" f ">") || index($0, "<" f ".tmp>")) {
      c++
      if ($0 ~ /<unfinished \.\.\.>$/) pending[$1] = 1; else n += ret($0)
      next }
    $2 == "<..." && pending[$1] { n += ret($0); delete pending[$1] }
    END { printf "%d %d\n", n, c }' "$1"
}
# flushes LOG: "count median_ms max_ms total_ms" of every flush call of the process.
flushes() {
  awk '
    $2 ~ /^(fsync|fdatasync|sync_file_range|msync|syncfs|sync)\(/ { n++ }
    ($2 ~ /^(fsync|fdatasync|sync_file_range|msync|syncfs|sync)\(/ || ($2 == "<..." && $3 ~ /^(fsync|fdatasync|sync_file_range|msync|syncfs|sync)$/)) &&
      match($0, /<[0-9.]+>$/) { print "t", substr($0, RSTART + 1, RLENGTH - 2) * 1000 }
    END { print "n", n + 0 }' "$1" | sort -k1,1 -k2g |
    awk '$1 == "t" {v[++m] = $2; sum += $2} $1 == "n" {n = $2} END {
      if (m == 0) { printf "%d 0 0 0\n", n; exit }
      med = (m % 2) ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2
      printf "%d %.2f %.2f %.1f\n", n, med, v[m], sum }'
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
cpu_of() { awk '{split($2, u, "="); split($3, s, "="); print u[2] + s[2]}'; }

# --- offline: RUNS alternating runs of each, order rotating -----------------
note "offline: $runs runs of each writer"
off_peers=(ours gst gstin frag fragflush plain)
off_cmd() {  # NAME: its offline command line
  case $1 in
    gstin) echo gst-launch-1.0 -q filesrc location="$work/in.ts" ! tsdemux name=d \
      d. ! queue ! h264parse ! fakesink d. ! queue ! aacparse ! fakesink ;;
    *) "cmd_$1" offline "$off/$1.mp4" ;;
  esac
}
off_run() {  # NAME [strace]
  local p=$1
  rm -f "$off/$p.mp4" "$off/$p.mp4.tmp"
  # shellcheck disable=SC2046
  if [ "${2:-}" = strace ]; then
    "${strace_cmd[@]}" -o "$off/$p.strace" -- $(off_cmd "$p") > /dev/null 2>> "$off/$p.err"
  else
    "$clock" run -o "$off/$p.times" -- $(off_cmd "$p") > /dev/null 2>> "$off/$p.err"
  fi
}
for p in "${off_peers[@]}"; do off_run "$p"; done  # page cache, libraries
rm -f "$off"/*.times
for ((i = 0; i < runs; i++)); do
  for ((j = 0; j < ${#off_peers[@]}; j++)); do
    off_run "${off_peers[(i + j) % ${#off_peers[@]}]}" || failed+=("offline ${off_peers[(i + j) % ${#off_peers[@]}]} exited $?")
  done
done
for p in "${off_peers[@]}"; do off_run "$p" strace || failed+=("offline $p under strace exited $?"); done

# --- real time: every run in one window ---------------------------------------
# Ten kill instants 5.1 s apart from 5.0 s on: they fall at ten different
# phases of a one-second update period, the last before our recorder, whose
# pre-roll is there at once, ends (about 54 s).  A shorter PEERS_SECONDS
# scales them to the same span.
instants=()
for k in $(seq 1 10); do
  instants+=("$(awk -v k="$k" -v s="$seconds" 'BEGIN {printf "%.3f", (5.0 + 5.1 * (k - 1)) * (s - 8) / 52}')")
done

export MEDIA_RING_PATH=$shm/view MEDIA_STATUS_PATH=$shm/mmap.info
"$ring_feed" --prefill 6 --fps "$fps" tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac > "$rt/feed.log" 2>&1 &
feed_pid=$!
for _ in $(seq 200); do [ -s "$MEDIA_STATUS_PATH" ] && break; sleep 0.05; done
[ -s "$MEDIA_STATUS_PATH" ] || die "ring_feed did not start"
sleep 0.5

declare -A pid_of t0_of
launch() {  # ID KIND CMD...: starts CMD in $rt
  # Each subshell execs its command, so $! is the command's own process:
  # the one a kill must hit.  A killed run's standard output goes through
  # proc_clock stamp, started here so that it is this shell's child, not
  # the command's (strace -f would wait for it, and it for strace).
  local id=$1 kind=$2 out; shift 2
  t0_of[$id]=$("$clock" now)
  case $kind in
    measured) (cd "$rt" && exec "$clock" run -o "$rt/$id.times" -- "$@") > "$rt/$id.out" 2> "$rt/$id.err" & ;;
    traced) (cd "$rt" && exec "${strace_cmd[@]}" -o "$rt/$id.strace" -- "$@") \
      > "$rt/$id.out" 2> "$rt/$id.err" & ;;
    killed)
      exec {out}> >("$clock" stamp > "$rt/$id.out")
      (cd "$rt" && exec "$@") 1>&"$out" 2> "$rt/$id.err" &
      exec {out}>&- ;;
  esac
  pid_of[$id]=$!
}
# The commands of the killed runs report how far they are: gst-launch prints
# when it sets the pipeline PLAYING (line-buffered by stdbuf), ffmpeg its
# output time twice a second, the recorder a line per second of clip.
rt_cmd() {  # NAME ID KIND
  local p=$1 id=$2 kind=$3
  case $p in
    gst) if [ "$kind" = killed ]; then echo stdbuf -oL "$(cmd_gst realtime "$rt/$id.mp4" loud)"
         else cmd_gst realtime "$rt/$id.mp4"; fi ;;
    ours) cmd_ours realtime "$rt/$id.mp4" ;;
    *) if [ "$kind" = killed ]; then echo "$("cmd_$p" realtime "$rt/$id.mp4") -progress pipe:1 -stats_period 0.5"
       else "cmd_$p" realtime "$rt/$id.mp4"; fi ;;
  esac
}
note "real time: one window of $seconds s, $(( ${#peers[@]} * 12 )) recordings at once"
for p in "${peers[@]}"; do
  # shellcheck disable=SC2046
  launch "${p}_full" measured $(rt_cmd "$p" "${p}_full" measured)
  # shellcheck disable=SC2046
  launch "${p}_strace" traced $(rt_cmd "$p" "${p}_strace" traced)
done
for k in $(seq 1 10); do
  for p in "${peers[@]}"; do
    # shellcheck disable=SC2046
    launch "${p}_k$k" killed $(rt_cmd "$p" "${p}_k$k" killed)
  done
done
# The kills, each at its own process's start + its instant, in time order.
schedule=$(for k in $(seq 1 10); do for p in "${peers[@]}"; do
  awk -v t="${t0_of[${p}_k$k]}" -v i="${instants[k - 1]}" -v id="${p}_k$k" 'BEGIN {printf "%.3f %s\n", t + i * 1000, id}'
done; done | sort -g)
declare -A killed_at
while read -r due id; do
  wait_s=$(awk -v d="$due" -v n="$("$clock" now)" 'BEGIN {w = (d - n) / 1000; if (w < 0) w = 0; printf "%.3f", w}')
  sleep "$wait_s"
  if kill -9 "${pid_of[$id]}" 2>/dev/null; then
    killed_at[$id]=$("$clock" now)
  else
    killed_at[$id]=-
    failed+=("$id ended before its kill")
  fi
done <<< "$schedule"
for p in "${peers[@]}"; do for k in $(seq 1 10); do wait "${pid_of[${p}_k$k]}" 2>/dev/null; done; done
note "kills done; waiting for the complete recordings"
for p in "${peers[@]}"; do
  wait "${pid_of[${p}_full]}" || failed+=("real-time $p exited $?")
  wait "${pid_of[${p}_strace]}" || failed+=("real-time $p under strace exited $?")
done
kill "$feed_pid" 2>/dev/null; wait "$feed_pid" 2>/dev/null
unset MEDIA_RING_PATH MEDIA_STATUS_PATH

# What the killed recorders left: the .tmp as it is, then clip_recover's clip.
for k in $(seq 1 10); do
  tmp=$rt/ours_k$k.mp4.tmp
  if [ -f "$tmp" ]; then
    cp "$tmp" "$rt/ours_left_k$k.mp4"
    "$clip_recover" "$tmp" > "$rt/recover_k$k.log" 2>&1
    recover_status[k]=$?
    [ -f "$rt/ours_k$k.mp4" ] && mv "$rt/ours_k$k.mp4" "$rt/ours_rec_k$k.mp4"
  else
    recover_status[k]=none
    failed+=("the recorder killed at ${instants[k - 1]} s left no NAME.tmp")
  fi
  case ${recover_status[k]} in 0 | 3) ;; *) failed+=("clip_recover on the kill at ${instants[k - 1]} s: ${recover_status[k]}") ;; esac
done

# Media the process had been given by its kill, in seconds (capped at the
# recording's length):
#   ours      N / fps at its last "video_cnt(N) second gap" line (printed as it
#             writes the key picture N), plus the time since that line
#   GStreamer the time since "Setting pipeline to PLAYING" (clocksync
#             releases each buffer at its running time)
#   ffmpeg    out_time of its last -progress report, plus the time since
recorded_at_kill() {  # ID NAME
  local out=$rt/$1.out t=${killed_at[$1]}
  [ "$t" = - ] && { echo "$seconds"; return; }
  case $2 in
    ours) awk -v t="$t" -v fps="$fps" -v cap="$seconds" '
            $1 <= t && match($0, /video_cnt\([0-9]+\) second gap/) {
              n = substr($0, RSTART + 10, RLENGTH - 22); at = $1 }
            END { m = (at == "") ? 0 : n / fps + (t - at) / 1000; if (m > cap) m = cap; printf "%.2f\n", m }' "$out" ;;
    gst) awk -v t="$t" -v cap="$seconds" '
            /Setting pipeline to PLAYING/ && $1 <= t { at = $1 }
            END { m = (at == "") ? 0 : (t - at) / 1000; if (m > cap) m = cap; printf "%.2f\n", m }' "$out" ;;
    *) awk -v t="$t" -v cap="$seconds" '
            $1 <= t && $2 ~ /^out_time_us=[0-9]+$/ { split($2, v, "="); if (v[2] > 0) { us = v[2]; at = $1 } }
            END { m = (at == "") ? 0 : us / 1e6 + (t - at) / 1000; if (m > cap) m = cap; printf "%.2f\n", m }' "$out" ;;
  esac
}

# --- the players ------------------------------------------------------------
# judge FILE: FILE.judge = "ff_pictures ff_status ff_error_lines gst_pictures gst_status gst_errors"
judge() {
  local f=$1 ff_status gst_status
  if [ ! -s "$f" ]; then  # nothing at all: plays nowhere
    echo "0 1 0 0 1 0" > "$f.judge"
    return
  fi
  timeout -k 5 60 ffmpeg -nostdin -v error -i "$f" -f null - -progress pipe:1 -nostats > "$f.ffprogress" 2> "$f.fferr"
  ff_status=$?
  # gst-launch now and then hangs tearing down after an error: the timeout
  # ends it (status 124), the pictures it decoded still count.
  timeout -k 5 60 gst-launch-1.0 -v playbin "uri=file://$f" video-sink="fakesink sync=false silent=false" \
    audio-sink="fakesink sync=false" > "$f.gst" 2>&1
  gst_status=$?
  echo "$(sed -n 's/^frame=//p' "$f.ffprogress" | tail -1 | grep . || echo 0) $ff_status $(wc -l < "$f.fferr")" \
    "$(grep -c 'vbin.*last-message = chain' "$f.gst") $gst_status $(grep -c '^ERROR' "$f.gst")" > "$f.judge"
}
export -f judge
files=()
for p in "${peers[@]}"; do files+=("$off/$p.mp4" "$rt/${p}_full.mp4"); done
for k in $(seq 1 10); do for p in ours_left ours_rec gst frag fragflush plain; do files+=("$rt/${p}_k$k.mp4"); done; done
for f in "${files[@]}"; do [ -e "$f" ] || : > "$f"; done
note "ffmpeg and GStreamer play ${#files[@]} files"
printf '%s\n' "${files[@]}" | xargs -P 2 -I{} bash -c 'judge "$1"' _ {}
note "Chromium plays ${#files[@]} files at 16x"
node bench/chromium_probe.mjs --rate 16 --timeout 30 "${files[@]}" > "$work/chromium.jsonl" 2> "$work/chromium.err"
chromium_status=$?
if [ "$chromium_status" -ne 0 ]; then
  failed+=("Chromium did not run (status $chromium_status: $(head -c 200 "$work/chromium.jsonl" "$work/chromium.err" | tr '\n' ' '))")
fi
# file -> "pictures ended error" from Chromium (error 1 when it raised one).
node -e '
  const lines = require("fs").readFileSync(process.argv[1], "utf8").split("\n").filter((l) => l.startsWith("{"));
  for (const l of lines) { const r = JSON.parse(l);
    console.log(`${r.file} ${r.decoded} ${r.ended ? 1 : 0} ${r.error ? 1 : 0}`); }' "$work/chromium.jsonl" > "$work/chromium.tsv" 2>/dev/null
declare -A cr_pictures cr_ended cr_error
while read -r f n e x; do cr_pictures[$f]=$n cr_ended[$f]=$e cr_error[$f]=$x; done < "$work/chromium.tsv"

# --- figures ----------------------------------------------------------------
calc() { awk "BEGIN {print $1}"; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

declare -A off_wall off_cpu off_rss off_bytes off_calls off_size off_flush off_flush_ms
for p in "${off_peers[@]}"; do
  off_wall[$p]=$(field wall < "$off/$p.times" | median)
  off_cpu[$p]=$(cpu_of < "$off/$p.times" | median)
  off_rss[$p]=$(field maxrss_kib < "$off/$p.times" | median)
  read -r "off_flush[$p]" _ _ "off_flush_ms[$p]" < <(flushes "$off/$p.strace")
  if [ "$p" != gstin ]; then
    read -r "off_bytes[$p]" "off_calls[$p]" < <(bytes_to "$off/$p.strace" "$off/$p.mp4")
    off_size[$p]=$(stat -c %s "$off/$p.mp4")
  fi
done
declare -A rt_wall rt_cpu rt_rss rt_bytes rt_calls rt_size rt_flush rt_flush_med rt_flush_max
for p in "${peers[@]}"; do
  times=$(cat "$rt/${p}_full.times" 2>/dev/null)
  rt_wall[$p]=$(field wall <<< "$times")
  rt_cpu[$p]=$(cpu_of <<< "$times")
  rt_rss[$p]=$(field maxrss_kib <<< "$times")
  read -r "rt_flush[$p]" "rt_flush_med[$p]" "rt_flush_max[$p]" _ < <(flushes "$rt/${p}_strace.strace")
  read -r "rt_bytes[$p]" "rt_calls[$p]" < <(bytes_to "$rt/${p}_strace.strace" "$rt/${p}_strace.mp4")
  rt_size[$p]=$(stat -c %s "$rt/${p}_strace.mp4" 2>/dev/null || echo 0)
  [ "${rt_bytes[$p]}" -gt 0 ] || failed+=("no bytes written found in the strace of real-time $p")
done

# The complete files: every picture, no error, in each player.
complete_bad=()
for p in "${peers[@]}"; do for f in "$off/$p.mp4" "$rt/${p}_full.mp4"; do
  name=${f#"$work"/}
  read -r ffn ffs ffe gsn gss gse < "$f.judge"
  [ "$ffn" = "$pictures" ] && [ "$ffs" = 0 ] && [ "$ffe" = 0 ] || complete_bad+=("$name in ffmpeg: $ffn pictures, status $ffs, $ffe error lines")
  [ "$gsn" = "$pictures" ] && [ "$gss" = 0 ] || complete_bad+=("$name in GStreamer: $gsn pictures, status $gss")
  [ "${cr_pictures[$f]:-0}" = "$pictures" ] && [ "${cr_error[$f]:-1}" = 0 ] ||
    complete_bad+=("$name in Chromium: ${cr_pictures[$f]:-no} pictures, error ${cr_error[$f]:-?}")
done; done
failed+=("${complete_bad[@]}")

# Per kill: recorded, plays (pictures / fps) in each player, lost.
kill_rows=$work/kills.tsv
: > "$kill_rows"
for k in $(seq 1 10); do for p in ours_left ours_rec gst frag fragflush plain; do
  id=${p}_k$k src=$p
  case $p in ours_left | ours_rec) id=ours_k$k src=ours ;; esac
  f=$rt/${p}_k$k.mp4
  rec=$(recorded_at_kill "$id" "$src")
  at=$(awk -v a="${killed_at[$id]}" -v b="${t0_of[$id]}" 'BEGIN {printf "%.2f", a == "-" ? -1 : (a - b) / 1000}')
  read -r ffn ffs ffe gsn gss gse < "$f.judge"
  crn=${cr_pictures[$f]:-0} cre=${cr_error[$f]:-1} crend=${cr_ended[$f]:-0}
  printf '%s %d %s %s %d %s %s %s %s %s %s %s %s %s\n' "$p" "$k" "$at" "$rec" "$(stat -c %s "$f")" \
    "$ffn" "$ffs" "$ffe" "$gsn" "$gss" "$gse" "$crn" "$crend" "$cre" >> "$kill_rows"
done; done
# ours' own checks: what a kill leaves plays in every player, as left and
# recovered.  A gst-launch that decoded as many pictures as ffmpeg and then
# hung tearing down (timeout: 124) played the file.
awk '($1 == "ours_left" || $1 == "ours_rec") &&
     ($6 == 0 || $7 != 0 || $9 == 0 || ($10 != 0 && !($10 == 124 && $9 == $6)) || $12 == 0 || $14 != 0) {
  printf "%s killed at %s s: ffmpeg %d pictures (status %s), GStreamer %d (status %s), Chromium %d (error %s)\n", $1, $3, $6, $7, $9, $10, $12, $14 }' \
  "$kill_rows" > "$work/ours_bad"
while read -r line; do failed+=("$line"); done < "$work/ours_bad"

# --- Markdown -----------------------------------------------------------------
fmt_ms() { awk -v s="$1" 'BEGIN {printf "%.1f", s * 1000}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else printf "n/a"}'; }

echo "## The crash-safe peers"
echo
echo "$seconds s of media ($(cat "$work/loop.log"); the sample streams looped by \`loop_streams\`), written by each writer"
echo "offline (as fast as it goes) and as a $seconds-second recording in real time. Offline: the median of $runs"
echo "runs per writer, the writers taking turns; real time: one window in which every writer records at"
echo "once: per writer one measured run, one run under strace and ten runs killed (-9) at their instants."
echo
echo "### Offline: $seconds s of media muxed"
echo
echo "| writer | wall ms | CPU ms | peak RSS MiB | bytes written | final file | written / final | write calls | flush calls | ms in flushes |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for p in ours gst frag fragflush plain; do
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "${label[$p]}" "$(fmt_ms "${off_wall[$p]}")" \
    "$(fmt_ms "${off_cpu[$p]}")" "$(mib "${off_rss[$p]}")" "${off_bytes[$p]}" "${off_size[$p]}" \
    "$(ratio "${off_bytes[$p]}" "${off_size[$p]}")" "${off_calls[$p]}" "${off_flush[$p]}" "${off_flush_ms[$p]}"
done
printf '| %s | %s | %s | %s | – | – | – | – | %s | %s |\n' "${label[gstin]}" "$(fmt_ms "${off_wall[gstin]}")" \
  "$(fmt_ms "${off_cpu[gstin]}")" "$(mib "${off_rss[gstin]}")" "${off_flush[gstin]}" "${off_flush_ms[gstin]}"
echo
echo "Bytes, write and flush calls and the time in flushes from one run under strace (-T); the written"
echo "bytes fall short of ours' file size by the unused part of its movie-box slots, which it never writes."
echo
echo "### Real time: a $seconds-second recording"
echo
echo "| writer | wall s | CPU ms | CPU % of a core | peak RSS MiB | bytes written | final file | written / final | write calls | flush calls | flushes / s | flush time median / max ms |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for p in "${peers[@]}"; do
  printf '| %s | %.1f | %s | %.2f | %s | %s | %s | %s | %s | %s | %.2f | %s / %s |\n' "${label[$p]}" "${rt_wall[$p]:-0}" \
    "$(fmt_ms "${rt_cpu[$p]:-0}")" "$(calc "100 * ${rt_cpu[$p]:-0} / ${rt_wall[$p]:-1}")" "$(mib "${rt_rss[$p]:-0}")" \
    "${rt_bytes[$p]}" "${rt_size[$p]}" "$(ratio "${rt_bytes[$p]}" "${rt_size[$p]}")" "${rt_calls[$p]}" \
    "${rt_flush[$p]}" "$(calc "${rt_flush[$p]} / ${rt_wall[$p]:-1}")" "${rt_flush_med[$p]}" "${rt_flush_max[$p]}"
done
echo
echo "Each measured while the other $(( ${#peers[@]} * 12 - 1 )) recordings of the window ran. Ours records from the ring"
echo "with its pre-roll there at once, so its clip ($pictures pictures, as every writer's) takes about 5 s less"
echo "wall time than the others'; CPU and memory are per clip all the same."
echo
if [ ${#complete_bad[@]} -eq 0 ]; then
  echo "Every complete file (offline and real time, each writer) plays its $pictures pictures in ffmpeg, GStreamer"
  echo "and Chromium without an error."
else
  echo "Complete files that do not play whole: $(printf '%s; ' "${complete_bad[@]}" | sed 's/; $//')."
fi
echo
echo "### What a kill -9 leaves (ten instants)"
echo
echo "Instants after each process's start: ${instants[*]} s (5.1 s apart, so they fall at ten"
echo "different phases of a one-second update period). A file *plays* in a player when at least one"
echo "picture of it is decoded; *with errors* counts the plays that also reported an error. Seconds lost:"
echo "the media the process had been given by the kill (*given*), less the pictures that play"
echo "(pictures / $fps); a file that does not play loses all of it."
echo
echo "| writer | plays in ffmpeg | plays in GStreamer | plays in Chromium | s lost, ffmpeg: median (max) | GStreamer | Chromium |"
echo "|---|---|---|---|---|---|---|"
summary() {  # NAME
  awk -v p="$1" -v fps="$fps" '
    function med(a, n,   i, j, t) { for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
    function mx(a, n,   i, m) { m = a[1]; for (i = 2; i <= n; i++) if (a[i] > m) m = a[i]; return m }
    function lost(rec, pics,   l) { l = rec - pics / fps; return l < 0 ? 0 : l }
    $1 == p { n++
      fp += $6 > 0; fe += $6 > 0 && ($7 != 0 || $8 > 0); lf[n] = lost($4, $6)
      gp += $9 > 0; ge += $9 > 0 && ($10 != 0 || $11 > 0); lg[n] = lost($4, $9)
      cp += $12 > 0; ce += $12 > 0 && ($14 != 0 || $13 != 1); lc[n] = lost($4, $12) }
    function plays(k, e) { return sprintf("%d/%d%s", k, n, e ? sprintf(" (%d with errors)", e) : "") }
    END { printf "%s | %s | %s | %.1f (%.1f) | %.1f (%.1f) | %.1f (%.1f)", plays(fp, fe), plays(gp, ge), plays(cp, ce),
          med(lf, n), mx(lf, n), med(lg, n), mx(lg, n), med(lc, n), mx(lc, n) }' "$kill_rows"
}
for p in ours_left ours_rec gst frag fragflush plain; do
  echo "| ${label[$p]} | $(summary "$p") |"
done
echo
echo "clip_recover's exit status per kill: ${recover_status[*]:1} (0: kept all the .tmp described, 3: fell back to an older checkpoint)."
echo
echo "<details><summary>Each kill</summary>"
echo
echo "| writer | kill at s | given s | file bytes | ffmpeg: pictures, status, error lines | GStreamer: pictures, status, errors | Chromium: pictures, ended, error |"
echo "|---|---:|---:|---:|---|---|---|"
sort -k1,1 -k2,2n "$kill_rows" | while read -r p k at rec size ffn ffs ffe gsn gss gse crn crend cre; do
  echo "| ${label[$p]} | $at | $rec | $size | $ffn, $ffs, $ffe | $gsn, $gss, $gse | $crn, $crend, $cre |"
done
echo
echo "</details>"
echo

# --- ours against each peer --------------------------------------------------
# Every figure is better lower; the factor is peer / ours, so above 1 ours is
# ahead by that factor, below 1 behind.
lost_of() { summary "$1" | awk -F' [|] ' '{split($4, a, " "); split($5, b, " "); split($6, c, " ");
  m = a[1]; if (b[1] > m) m = b[1]; if (c[1] > m) m = c[1]; print m}'; }
lostmax_of() { summary "$1" | awk -F' [|] ' '{n = 0; for (i = 4; i <= 6; i++) { split($i, a, "[()]"); if (a[2] > n) n = a[2] } print n}'; }
unplayed_of() { awk -v p="$1" '$1 == p && !($6 > 0 && $9 > 0 && $12 > 0) {n++} END {print n + 0}' "$kill_rows"; }
# figure rows: key, text, unit, then ours and each peer's value in peers order.
figures=$work/figures
: > "$figures"
figure() {  # KEY TEXT UNIT VALUE_OF...: VALUE_OF is evaluated per writer with $w set
  local key=$1 text=$2 unit=$3 expr=$4 w line
  line="$key|$text|$unit"
  # shellcheck disable=SC2034  # w is read by the evaluated expression
  for w in ours gst frag fragflush plain; do
    local v; v=$(eval "$expr"); line="$line|$v"
  done
  echo "$line" >> "$figures"
}
figure off_wall "offline wall time" " ms" 'fmt_ms "${off_wall[$w]}"'
figure off_cpu "offline CPU time" " ms" 'fmt_ms "${off_cpu[$w]}"'
figure off_rss "offline peak RSS" " MiB" 'mib "${off_rss[$w]}"'
figure off_bytes "offline bytes written / final size" "" 'ratio "${off_bytes[$w]}" "${off_size[$w]}"'
figure off_flush "offline flush calls" "" 'echo "${off_flush[$w]}"'
figure rt_cpu "real-time CPU time" " ms" 'fmt_ms "${rt_cpu[$w]}"'
figure rt_rss "real-time peak RSS" " MiB" 'mib "${rt_rss[$w]}"'
figure rt_bytes "real-time bytes written / final size" "" 'ratio "${rt_bytes[$w]}" "${rt_size[$w]}"'
figure rt_flush "real-time flush calls" "" 'echo "${rt_flush[$w]}"'
figure unplayed "kills whose file does not play in all three players" "" 'unplayed_of "$([ "$w" = ours ] && echo ours_left || echo "$w")"'
figure lost "median seconds lost per kill (worst of the three players)" " s" 'lost_of "$([ "$w" = ours ] && echo ours_left || echo "$w")"'
figure lostmax "worst seconds lost over the ten kills" " s" 'lostmax_of "$([ "$w" = ours ] && echo ours_left || echo "$w")"'

echo "### Ours against each peer"
echo
echo "Each figure as the peer's value divided by ours (every figure is better lower): above 1 ours is ahead"
echo "by that factor, below 1 it is behind; \"=\" equal, \"∞\" ours is 0 and the peer is not. Ours is the"
echo "NAME.tmp as a kill leaves it."
echo
echo "| figure | ours | $(for p in gst frag fragflush plain; do printf '%s | ' "${label[$p]}"; done | sed 's/ | $//') |"
echo "|---|---:|---:|---:|---:|---:|"
while IFS='|' read -r key text unit ours v1 v2 v3 v4; do
  row="| $text | $ours$unit"
  for v in "$v1" "$v2" "$v3" "$v4"; do
    row="$row | $(awk -v a="$ours" -v b="$v" 'BEGIN {
      if (a == b) printf "="; else if (a == 0) printf "∞"; else printf "%.2f", b / a }')"
  done
  echo "$row |"
done < "$figures"
echo
# Where ours is behind: by how much, and why.
never_flushes="ffmpeg never flushes: its file is only as durable as the page cache. Ours flushes"
power_cut="which is what keeps a clip through a power cut; a kill -9, as measured here, leaves the page cache whole and cannot show the difference"
declare -A why=(
  [off_flush]="$never_flushes the samples before each movie box that describes them is published, $power_cut"
  [rt_flush]="$never_flushes once a second, before each movie box it publishes, $power_cut"
  [lost]="ours' movie box describes only whole chunks (a chunk closes after a second of samples) and is published once a second, after the fdatasync of the samples it describes: a kill loses the open chunk and what came since the last checkpoint. GStreamer's box describes every sample muxed up to its last one-second update, and ffmpeg with -flush_packets 1 writes each one-second fragment whole at the next key frame"
  [lostmax]="the open chunk plus the time since the last checkpoint: up to about 2 s"
  [off_rss]="mp4_mux reads both input files whole into memory before muxing"
  [off_bytes]="ours rewrites the movie box at every checkpoint"
  [rt_bytes]="ours rewrites the movie box at every checkpoint"
)
behind=0
while IFS='|' read -r key text unit ours v1 v2 v3 v4; do
  others=(gst frag fragflush plain) i=0 against=()
  for v in "$v1" "$v2" "$v3" "$v4"; do
    p=${others[i]} i=$((i + 1))
    if awk -v a="$ours" -v b="$v" 'BEGIN {exit !(a > b * 1.0001 + 1e-9)}'; then
      against+=("${label[$p]}: $v$unit$(awk -v a="$ours" -v b="$v" 'BEGIN {if (b > 0) printf " (ours %.2fx)", a / b}')")
    fi
  done
  [ ${#against[@]} -eq 0 ] && continue
  behind=$((behind + 1))
  echo "- Behind on $text: ours $ours$unit against $(printf '%s; ' "${against[@]}" | sed 's/; $//')."
  [ -n "${why[$key]:-}" ] && echo "  Why: ${why[$key]}."
done < "$figures"
[ "$behind" -eq 0 ] && echo "- Ahead of or level with every peer on every figure."
echo
echo "### How"
echo
echo "- Input: \`loop_streams $seconds $fps tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac in.h264 in.aac\`."
echo "  GStreamer reads them from \`ffmpeg -framerate $fps -i in.h264 -i in.aac -map 0:v -map 1:a -c copy -f mpegts in.ts\`:"
echo "  \`h264parse\` gives the pictures of an Annex-B file a DTS but never a PTS, and \`mp4mux\` refuses a"
echo "  buffer without one (\"Buffer has no PTS\"); its row includes demuxing the TS (the input side alone"
echo "  is the row in brackets)."
echo "- Offline commands (OUT the output):"
for p in ours gst frag fragflush plain; do
  echo "  - ${label[$p]}: \`$("cmd_$p" offline OUT | sed "s|$work/||g; s|$root/||g")\`"
done
echo "- Real time: \`ring_feed --prefill 6 video_15fps.h264 audio_8k_mono.aac\` fills a ring in real time (the"
echo "  camera), and \`alarm_record NAME $((seconds - 1))\` records a clip of $pictures pictures from it. The others pace"
echo "  themselves: ffmpeg with \`-re\` before each input, GStreamer with \`clocksync\` after each parser:"
for p in gst frag fragflush plain; do
  echo "  - ${label[$p]}: \`$("cmd_$p" realtime OUT | sed "s|$work/||g; s|$root/||g")\`"
done
echo "- Wall, CPU (user + system) and peak RSS: \`proc_clock run\` (wait4) around the whole process."
echo "  Bytes written and flushes: \`${strace_cmd[*]}\`, summing what each write call"
echo "  returned on a descriptor open on the output file (or its NAME.tmp); every flush call of any descriptor."
echo "- Seconds given by the kill: ours, N / $fps at its last \`video_cnt(N) second gap\` line plus the time"
echo "  since; GStreamer, the time since \`Setting pipeline to PLAYING\`; ffmpeg, the \`out_time\` of its last"
echo "  \`-progress\` report plus the time since (all on CLOCK_MONOTONIC, \`proc_clock stamp\`). ffmpeg's"
echo "  out_time is what it has muxed, which may trail what it has read by up to an AAC frame (0.128 s):"
echo "  if anything, this counts a little less as lost for ffmpeg."
echo "- All $(( ${#peers[@]} * 12 )) real-time recordings run in one window, every writer at once, so the"
echo "  comparison costs one recording's wall time and each writer meets the same machine; the kills run"
echo "  in parallel with the measured runs (each figure above is that process's own, from wait4 or strace)."
echo "- Players: \`ffmpeg -v error -i F -f null -\` (pictures: its frame count; error lines counted);"
echo "  \`gst-launch-1.0 -v playbin uri=file://F video-sink=\"fakesink sync=false silent=false\"\` (pictures: buffers"
echo "  reaching the video sink; status and ERROR lines); Chromium through the browser test's playwright-core,"
echo "  \`bench/chromium_probe.mjs\`, which plays each file to its end at 16x (pictures: totalVideoFrames)."
echo "- ffmpeg 5.1 writes through a 256 KiB buffer: without \`-flush_packets 1\` a fragment reaches the file"
echo "  only when that buffer fills, up to about 10 s of this stream later."
echo
if [ ${#failed[@]} -eq 0 ]; then
  echo "CHECKS: ok"
else
  note "failed: $(printf '%s; ' "${failed[@]}")"
  echo "CHECKS: failed: $(printf '%s; ' "${failed[@]}" | sed 's/; $//')"
  exit 1
fi
