#!/usr/bin/env bash
# Builds the release package build/release/Kestrovaline-<version>.zip: the
# 32-bit and 64-bit Windows programs (client, installer, ipc_probe), the
# default settings, the user's README.txt and SHA256SUMS. Installs what is
# missing first (run as root, or with sudo available).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target Kestrovaline TARNEX_Install ipc_probe >/dev/null
done
exec python3 scripts/make_release.py
