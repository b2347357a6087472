#!/usr/bin/env bash
# Installs the ring into a scratch prefix and builds a C producer against it
# the two ways an outside project would: pkg-config and find_package.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
prefix=$work/prefix
libdir=$(dirname "$(find "$prefix" -name media_ring.pc)")/..

# pkg-config, the one-line link; the static library needs no C++ runtime.
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -std=c99 -o "$work/pc_shared" "$src/c_header_test.c" $(pkg-config --cflags --libs media_ring)
cc -std=c99 -o "$work/pc_static" "$src/c_header_test.c" $(pkg-config --cflags media_ring) \
  "$libdir/libmedia_ring.a"
LD_LIBRARY_PATH=$libdir "$work/pc_shared" "$work/ring1"
"$work/pc_static" "$work/ring2"

# find_package(media_ring)
cmake -S "$src/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/consumer/consumer_shared" "$work/ring3"
"$work/consumer/consumer_static" "$work/ring4"
echo "install test ok"
