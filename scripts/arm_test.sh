#!/usr/bin/env bash
# The ARM part of the test command: the camera's 32-bit ARM build, proven on
# this host.
#  1. scripts/arm_build.sh: library, recorder and tools, Release, warnings as
#     errors (so every layout static_assert holds there), installed stripped
#     into build-arm/stage.
#  2. The unit tests of the ring, the stream formats and the MP4 writer,
#     cross-built against a GoogleTest built for ARM from Debian's source
#     package, run by CTest under qemu-arm.
#  3. The footprint of the stripped library and recorder.
#  4. One ring, two architectures: host ring_feed with the ARM alarm_record
#     under qemu-arm on one ring file, and the other way round.
# usage: arm_test.sh HOST_BUILD   (a host build tree with ring_feed and alarm_record built)
set -uo pipefail
cd "$(dirname "$0")/.."
host=$(realpath "${1:?usage: arm_test.sh HOST_BUILD}")
export ARM_JOBS=${ARM_JOBS:-$(nproc)}
toolchain=$PWD/cmake/arm-linux-gnueabihf.cmake
stage=$PWD/build-arm/stage
failed=() steps=0
step() {  # name, then a command
  local name=$1; shift
  echo "== ARM: $name"
  steps=$((steps + 1))
  "$@" && return 0
  failed+=("$name")
  return 1
}

step "cross build" bash scripts/arm_build.sh "$stage"

# GoogleTest for ARM, once per googletest version.
gtest_src=/usr/src/googletest
gtest=$PWD/build-arm/gtest
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
build_gtest() {
  [ "$(cat "$gtest/version" 2>/dev/null)" = "$gtest_version" ] && return 0
  rm -rf "$gtest" build-arm/gtest-build
  cmake -S "$gtest_src" -B build-arm/gtest-build -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null &&
    cmake --build build-arm/gtest-build -j"$ARM_JOBS" >/dev/null &&
    cmake --install build-arm/gtest-build >/dev/null &&
    echo "$gtest_version" > "$gtest/version"
}

# Only the test folders run here are built (with what they link).
test_dirs=(tests/ring tests/elementary_streams tests/mp4)
build_tests() {
  cmake -S . -B build-arm/test -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DMEDIA_BUILD_BENCH=OFF -DARM_EXTRA_ROOTS="$gtest" >/dev/null || return 1
  local d
  for d in "${test_dirs[@]}"; do make -C "build-arm/test/$d" -j"$ARM_JOBS" --no-print-directory -s || return 1; done
}
# Left out under emulation:
#   ring_install_test  compiles and runs a consumer program with the host's
#                      own compiler against the installed library, which here
#                      is an ARM one: a host packaging check, run by the
#                      host builds.
excluded='^(ring_install_test)$'
run_tests() {
  local d ok=0
  for d in "${test_dirs[@]}"; do
    ctest --test-dir "build-arm/test/$d" -E "$excluded" --output-on-failure -j"$ARM_JOBS" || ok=1
  done
  return $ok
}
if step "GoogleTest for ARM" build_gtest && step "unit tests, cross build" build_tests; then
  step "unit tests under qemu-arm" run_tests
fi

step "footprint" bash tests/arm/footprint_test.sh "$stage"
step "one ring, two architectures" bash tests/arm/cross_arch_clip_test.sh "$host" "$stage" "$PWD/tests/data"

[ ${#failed[@]} -eq 0 ] || echo "ARM: failed: ${failed[*]}"
echo "arm_steps: $((steps - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
