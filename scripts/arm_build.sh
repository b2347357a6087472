#!/usr/bin/env bash
# Cross build for the camera (32-bit ARM Linux): the ring library, the
# recorder and the tools, Release, installed stripped into a staging prefix.
# Warnings are errors here, so code that is clean only on x86-64 fails.
# usage: arm_build.sh [PREFIX]    (default build-arm/stage; build tree build-arm/release)
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "${1:-build-arm/stage}")
build=build-arm/release

cmake -S . -B "$build" -G "Unix Makefiles" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/arm-linux-gnueabihf.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DMEDIA_BUILD_TESTS=OFF -DMEDIA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"${ARM_JOBS:-$(nproc)}"
rm -rf "$prefix"
cmake --install "$build" --strip --prefix "$prefix" >/dev/null

echo "ARM build installed, stripped, in $prefix:"
find "$prefix" -type f \( -name 'lib*.so*' -o -path '*/bin/*' \) -printf '  %P  %s bytes\n' | sort
