#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing need; does
# nothing when everything is already there.
set -euo pipefail
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev ffmpeg)
# The camera's 32-bit ARM build: cross compiler, GoogleTest's sources to build
# for it, and qemu-user to run what it builds.
packages+=(g++-arm-linux-gnueabihf googletest qemu-user)
# GStreamer's view of the clips: gst-launch-1.0, qtdemux (good), h264parse
# (bad), avdec_h264 (libav), videoconvert and fakesink (base).
packages+=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav)
# The benchmarks' counts of the writes and flushes a process makes (strace),
# GNU time's resource figures and bc's arithmetic (bench/crash_safe_peers.sh,
# bench/clip_durability.sh).
packages+=(strace time bc)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The browser test's Chromium, Node.js and playwright-core; setup.sh itself
# does nothing when they are already there.
bash "$(dirname "$0")/../tests/browser/setup.sh"
