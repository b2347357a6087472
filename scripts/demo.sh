#!/usr/bin/env bash
# The main job end to end on a host without the device's producers: builds
# everything, starts the simulated producer on a ring file and status block in
# a scratch folder (real time, with six seconds pre-filled), records a
# 6-second alarm clip with its 5-second pre-roll, and shows what it holds.
# usage: scripts/demo.sh [OUTPUT.mp4]  (default: alarm_clip.mp4; at most 63 characters)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-alarm_clip.mp4}
bash scripts/install_deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target alarm_record ring_feed >/dev/null

work=$(mktemp -d /tmp/alarm_demo.XXXXXX)
source tests/support/feed.sh
trap 'stop_feeds; rm -rf "$work"' EXIT
ring_feed=build/release/tools/ring_feed
start_feed "$work" --prefill 6 tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac

echo "== alarm_record $out 6"
rm -f "$out"
time build/release/recorder/alarm_record "$out" 6
echo "== what the clip holds"
ffprobe -v error -show_entries stream=index,codec_name,profile,width,height,r_frame_rate,sample_rate,channels,nb_frames,duration \
  -show_entries format=duration,size -of default=noprint_wrappers=1 "$out"
echo "== decoding it: $(ffmpeg -nostdin -v error -i "$out" -f null - 2>&1 | wc -l) error lines"
echo "== watch it in a browser: python3 -m http.server 8000 --bind 127.0.0.1, then open"
echo "   http://127.0.0.1:8000/$out"
