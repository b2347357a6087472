# tap_checks.sh - ring_tap's output decoded by ffmpeg, for the tools' and the
# cross-architecture tests (sourced after clip_checks.sh, with $work and
# $data set).  Nothing waits for a time: a tap asleep in MediaDataWaitPut
# after its producer ended has written all there was, and the ring file shows
# it (bit 0 of the channel's wake word, bytes 12..15 of its 16016-byte control
# block).  decode NAME CH [GATE] runs ffmpeg on the FIFO $work/NAME.fifo
# (from when a line comes through GATE) into NAME.crc (a line per frame) and
# NAME.log (errors); foreign NAME counts the pictures that are none of the
# sample's own (a frame written across a gap decodes against the wrong one).
ffmpeg -nostdin -v error -i "$data/video_15fps.h264" -f framecrc "$work/sample.crc"
tap_sleeps() {  # CH LABEL
  for _ in $(seq 1200); do
    (($(od -An -tu4 -j$((16016 * $1 + 12)) -N4 "$MEDIA_RING_PATH") & 1)) && return 0 || sleep 0.05
  done
  check "$2: a tap on channel $1 goes to sleep with all read" false; return 1
}
decode() {
  mkfifo "$work/$1.fifo"
  { [ -z "${3-}" ] || read -r _ < "$3"; exec cat; } < "$work/$1.fifo" |
    ffmpeg -nostdin -v error -f "$( (($2 < 4)) && echo h264 || echo aac)" -i - \
      -f framecrc "$work/$1.crc" 2> "$work/$1.log" &
}
frames() { grep -vc '^#' "$work/$1.crc"; }
crcs() { awk -F', *' '!/^#/ {print $NF}' "$work/$1.crc"; }
foreign() { crcs "$1" | grep -vxcFf <(crcs sample); }
stop_taps() {  # LABEL PID...: SIGTERM ends each with status 0
  local label=$1 pid; shift
  for pid; do kill -TERM "$pid"; wait "$pid"; check "$label: status 0 after SIGTERM (was $?)" test $? -eq 0; done
  wait
}

# follow LABEL FEED TAP...: a producer (the command in the array named FEED)
# puts one second of the sample media and ends; taps (the command TAP...) on
# channels 1 and 4 write it from its newest SPS (15 pictures) and ADTS frame,
# and sleep; a second producer puts three seconds in real time.  The taps
# pass all of it on (45 pictures, 24 frames), each frame after a wake: a tap
# that is not woken stops after the first second.
follow() {
  local label=$1 ch pids=(); local -n feed_cmd=$2; shift 2
  mkdir -p "$work/$label"
  export MEDIA_RING_PATH=$work/$label/view MEDIA_STATUS_PATH=$work/$label/mmap.info
  local put=("${feed_cmd[@]}" "$data/video_15fps.h264" "$data/audio_8k_mono.aac")
  "${put[@]}" --duration 1 --speed 10 > /dev/null
  for ch in 1 4; do
    decode "${label}_$ch" "$ch"
    "$@" "$ch" > "$work/${label}_$ch.fifo" 2> "$work/${label}_$ch.err" &
    pids+=($!)
  done
  tap_sleeps 1 "$label" && tap_sleeps 4 "$label" && "${put[@]}" --duration 3 > /dev/null &&
    tap_sleeps 1 "$label" && tap_sleeps 4 "$label"
  stop_taps "$label" "${pids[@]}"
  set -- "${label}_1" "${label}_4"
  check "$1: 60 pictures, all the sample's (got $(frames "$1"), $(foreign "$1") not)" \
    test "$(frames "$1"):$(foreign "$1")" = 60:0
  check "$2: 25 ADTS frames (got $(frames "$2"))" test "$(frames "$2")" -eq 25
  check "$label: decoded without an error ($(cat "$work/$1.log" "$work/$2.log"))" \
    test ! -s "$work/$1.log" -a ! -s "$work/$2.log"
}
