# feed.sh - the simulated producer for the shell tests, the demo and the
# benchmarks (sourced): ring_feed ($ring_feed) playing media in the
# background into a ring and status block of its own.
#   start_feed DIR ARG...   ring_feed ARG... (its options, then the video and
#                           audio files) into DIR/view and DIR/mmap.info, its
#                           output in DIR/feed.log, or through the command in
#                           the array feed_filter when that is set; returns
#                           once ring_feed runs and the status block is in
#                           place (ring_feed puts a new one there once its
#                           pre-fill is in the ring),
#                           MEDIA_RING_PATH and MEDIA_STATUS_PATH exported for
#                           the recorders started after.  Its process is
#                           $feed_pid, kept in $feed_pids_file when that is
#                           set (for producers started in subshells).
#   stop_feed               ends that producer (stopped or not) and waits
#                           for it to exit.
#   stop_feeds              ends every producer started so and not yet ended,
#                           each signalled once (a second signal could catch
#                           one in its exit, under the sanitizers' leak check).
feed_pids=()

start_feed() {
  local dir=$1; shift
  mkdir -p "$dir"
  rm -f "$dir/feed.log"
  if [ -n "${feed_filter+set}" ]; then
    "$ring_feed" --ring "$dir/view" --status "$dir/mmap.info" "$@" \
      > >("${feed_filter[@]}" > "$dir/feed.log") 2>&1 &
  else
    "$ring_feed" --ring "$dir/view" --status "$dir/mmap.info" "$@" > "$dir/feed.log" 2>&1 &
  fi
  feed_pid=$!
  if [ -n "${feed_pids_file:-}" ]; then echo "$feed_pid" >> "$feed_pids_file"; else feed_pids+=("$feed_pid"); fi
  export MEDIA_RING_PATH=$dir/view MEDIA_STATUS_PATH=$dir/mmap.info
  # Its first line (the ring mapped) says the shell's child has become
  # ring_feed: until then a signal would run the caller's EXIT trap there.
  local i
  for ((i = 0; i < 600; i++)); do
    [ -s "$dir/mmap.info" ] && [ -s "$dir/feed.log" ] && return 0
    kill -0 "$feed_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "ring_feed did not fill $dir:" >&2
  cat "$dir/feed.log" >&2
  return 1
}

stop_feed() {
  kill -CONT "$feed_pid" 2>/dev/null || true
  kill "$feed_pid" 2>/dev/null || true
  wait "$feed_pid" 2>/dev/null || true
  if [ -n "${feed_pids_file:-}" ]; then
    echo "$feed_pid" >> "$feed_pids_file.ended"
  else
    local pid rest=()
    for pid in "${feed_pids[@]}"; do [ "$pid" = "$feed_pid" ] || rest+=("$pid"); done
    feed_pids=("${rest[@]}")
  fi
}

stop_feeds() {
  local pid pids=("${feed_pids[@]}")
  if [ -n "${feed_pids_file:-}" ] && [ -f "$feed_pids_file" ]; then
    pids+=($(grep -vxF -f <(cat "$feed_pids_file.ended" 2>/dev/null) "$feed_pids_file" || true))
  fi
  for pid in "${pids[@]}"; do
    kill -CONT "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  feed_pids=()
}
