#!/usr/bin/env bash
# The test command: installs what it needs, builds everything (benchmarks
# included, not run), runs every test, then runs them again built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
jobs=$(nproc)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DMEDIA_SANITIZE=ON -DMEDIA_BUILD_BENCH=OFF
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

# The recorder built against an installed mp4v2 (a stand-in made here).
bash scripts/system_mp4v2_check.sh build/system-mp4v2

# The camera's 32-bit ARM build, its unit tests under qemu-arm, its footprint,
# and one ring shared by x86-64 and ARM binaries.
bash scripts/arm_test.sh build/release
