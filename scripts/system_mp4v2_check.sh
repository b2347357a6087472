#!/usr/bin/env bash
# The build against an installed mp4v2 (USE_SYSTEM_MP4V2=ON) still builds and
# records.  No mp4v2 is installed here: a stand-in is made from this
# project's writer built with its mp4v2 calls alone (MP4_WRITER_MP4V2_ONLY),
# installed as libmp4v2.a with <mp4v2/mp4v2.h> into a scratch prefix, and
# the recorder is built against it and records a clip, checked as the
# end-to-end test checks its clips.
# usage: scripts/system_mp4v2_check.sh [BUILD_DIR]   (default build/system-mp4v2)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/system-mp4v2}
prefix=$build/prefix
rm -rf "$prefix" && mkdir -p "$prefix/lib" "$prefix/include/mp4v2" "$build/objects"
# The mp4writer sources of mp4/CMakeLists.txt, fd_io.cpp (from mp4_recovery)
# and the SPS parser they use; a new writer source must be added here too.
for src in mp4/src/{avc_sample_entries,movie_box,mp4_file,mp4v2_api,sample_table,fd_io}.cpp \
           elementary_streams/src/h264_params.cpp; do
  g++ -std=c++20 -O2 -fPIC -fno-exceptions -fno-rtti -D_FILE_OFFSET_BITS=64 -DMP4_WRITER_MP4V2_ONLY \
    -Imp4/include -Imp4/src -Ielementary_streams/include -c "$src" \
    -o "$build/objects/$(basename "$src" .cpp).o"
done
ar rcs "$prefix/lib/libmp4v2.a" "$build"/objects/*.o
cp mp4/include/mp4v2/mp4v2.h "$prefix/include/mp4v2/"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSE_SYSTEM_MP4V2=ON \
  -DCMAKE_PREFIX_PATH="$PWD/$prefix" -DMEDIA_BUILD_TESTS=OFF -DMEDIA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target alarm_record ring_feed >/dev/null

work=$(mktemp -d /tmp/system_mp4v2.XXXXXX)
feed_pid=
trap '[ -n "$feed_pid" ] && kill "$feed_pid" 2>/dev/null; rm -rf "$work"' EXIT
export MEDIA_RING_PATH=$work/view MEDIA_STATUS_PATH=$work/mmap.info
source tests/support/clip_checks.sh
"$build/tools/ring_feed" --prefill 10 --speed 4 --target-fps 15 \
  tests/data/video_15fps.h264 tests/data/audio_8k_mono.aac > "$work/feed.log" 2>&1 &
feed_pid=$!
until [ -s "$MEDIA_STATUS_PATH" ]; do sleep 0.1; done
sleep 0.5
timeout 60 "$build/recorder/alarm_record" "$work/clip.mp4" 1 > "$work/rec.log"
check "exit status 0 and a clip under its final name" test -s "$work/clip.mp4"
check "built against the stand-in (no clip slots: moov after the media)" \
  test "$(head -c 32 "$work/clip.mp4" | tail -c 4)" = "mdat"
check_clip system-mp4v2 "$work/clip.mp4" 1
echo "system_mp4v2: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
