# clip_checks.sh - shell checks shared by the end-to-end clip tests (sourced).
#   check WHAT COMMAND...        counts COMMAND's success, prints FAIL: WHAT otherwise
#   check_clip LABEL CLIP N      a clip of N seconds from the 15 fps sample media:
#                                one H.264 stream of 15(N+1) frames at 1/90000 with
#                                key frames every 15, one AAC stream of 8N+1 frames
#                                at 8000 Hz mono, and a decode without one error
#   check_run LABEL CLIP FEED_LOG
#                                every sample of CLIP is a frame the producer put
#                                (FEED_LOG from ring_feed --verbose), in the order
#                                put and with none left out between the first and
#                                the last: picture by picture, AAC frame by frame
# Totals are in $passes and $failures.
passes=0 failures=0

check() {
  local what=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

check_clip() {
  local label=$1 clip=$2 n=$3
  local video audio keys want errors
  video=$(ffprobe -v error -select_streams v -show_entries stream=codec_name,time_base,nb_frames -of csv=p=0 "$clip")
  audio=$(ffprobe -v error -select_streams a -show_entries stream=codec_name,sample_rate,channels,nb_frames -of csv=p=0 "$clip")
  check "$label N=$n: one H.264 stream of $((15 * (n + 1))) frames at 1/90000 (got $video)" \
    test "$video" = "h264,1/90000,$((15 * (n + 1)))"
  check "$label N=$n: one AAC stream of $((8 * n + 1)) frames, 8000 Hz mono (got $audio)" \
    test "$audio" = "aac,8000,1,$((8 * n + 1))"
  keys=$(ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 "$clip" | grep -n '^K' | cut -d: -f1 | tr '\n' ' ')
  want=$(seq 1 15 $((15 * (n + 1))) | tr '\n' ' ')
  check "$label N=$n: key frames at samples $want(got $keys)" test "$keys" = "$want"
  errors=$(ffmpeg -nostdin -v error -i "$clip" -f null - 2>&1)
  check "$label N=$n: decodes without a single error ($errors)" test -z "$errors"
}

check_run() {
  local label=$1 clip=$2 log=$3 put clip_sizes
  # Sizes as put (a picture's with its start code, which becomes its length;
  # an AAC frame's with its 7-byte ADTS header) against the clip's samples.
  put=" $(awk '$1 == "ch" && $2 == 1 && ($8 == 1 || $8 == 5) { print $10 }' "$log" | xargs) "
  clip_sizes=$(ffprobe -v error -select_streams v -show_entries packet=size -of csv=p=0 "$clip" | xargs)
  check "$label: the pictures are a run of those put (${clip_sizes:0:60}...)" \
    test -n "$clip_sizes" -a -z "${put##* $clip_sizes *}"
  put=" $(awk '$1 == "ch" && $2 == 4 { print $10 - 7 }' "$log" | xargs) "
  clip_sizes=$(ffprobe -v error -select_streams a -show_entries packet=size -of csv=p=0 "$clip" | xargs)
  check "$label: the AAC frames are a run of those put (${clip_sizes:0:60}...)" \
    test -n "$clip_sizes" -a -z "${put##* $clip_sizes *}"
}
