#!/usr/bin/env bash
# Installs what building and testing Kestrovaline needs on a Debian 12 machine:
# compilers (native, clang for the fuzzers, MinGW-w64 for Windows), CMake and Ninja,
# GoogleTest and Google Benchmark, Wine and Xvfb for the Windows programs,
# iproute2 for the network namespaces, qemu-system-x86 and busybox for the
# emulated PC that runs the 32-bit programs (scripts/emu32/), Boost (Beast, Asio) and
# nlohmann/json for the gateway, Python's websockets and a headless Chromium driven
# by Selenium for its tests and its pages', Node for the pages' module's unit test,
# node-qrcode-generator, whose qrcode.js the status page's QR code is drawn with,
# and ccache, which
# serves a build of sources compiled before from its cache. Packages already
# present are not touched; run as root (or with sudo available).
set -euo pipefail

packages=(
  cmake ninja-build ccache g++ clang libclang-rt-14-dev python3
  googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64 wine fonts-wine xvfb x11-apps imagemagick iproute2
  qemu-system-x86 busybox-static libz-mingw-w64
  libboost1.81-dev nlohmann-json3-dev python3-websockets
  chromium chromium-driver python3-selenium nodejs node-qrcode-generator
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
echo "setup: all build and test packages present"
