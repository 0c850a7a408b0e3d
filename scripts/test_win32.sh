#!/usr/bin/env bash
# The 32-bit lane: the win32 build (the programs the release ships) in an
# emulated PC with the 32-bit Wine, in one boot: its unit tests, the client
# against the native server_sim in network namespaces, and the installer
# (tests/e2e/lane32.py). Builds the win32 and native presets where needed,
# prepares the emulated PC once (scripts/emu32/setup.sh, cached in
# $KV_EMU32_DIR, default /var/tmp/kv-emu32), leaves the status window's
# screenshot and the logs in build/win32/lane32/. Checks first that the
# emulated PC shares what a job needs (tests/emu32/boot_shares.sh). Run as
# root; exits non-zero on any failure.
set -uo pipefail
cache=$(realpath -m "${KV_EMU32_DIR:-/var/tmp/kv-emu32}")
export KV_EMU32_DIR=$cache
cd "$(dirname "$0")/.."
start=$SECONDS
out=build/win32/lane32

lap() { echo "lane32: $1 in $((SECONDS - lap_start)) s"; lap_start=$SECONDS; }
lap_start=$SECONDS

if ! { cmake --preset win32 >/dev/null && cmake --build --preset win32 -j "$(nproc)" >/dev/null &&
       cmake --preset native >/dev/null && cmake --build --preset native -j "$(nproc)" --target server_sim >/dev/null; }; then
  echo "lane32: FAILED: building win32 / native server_sim" >&2
  exit 1
fi
lap "builds checked"
if ! bash scripts/emu32/setup.sh; then
  echo "lane32: FAILED: setting up the emulated PC" >&2
  exit 1
fi
lap "emulated PC ready"
if ! bash tests/emu32/boot_shares.sh; then
  echo "lane32: FAILED: the emulated PC's shares" >&2
  exit 1
fi
lap "shares checked"

rm -rf "$out" && mkdir -p "$out"
bash scripts/emu32/boot.sh -t 1500 -w "$out" -- \
  python3 -u tests/e2e/lane32.py --bin build/win32/bin --server-sim build/native/bin/server_sim \
  --prefix-seed "$cache/prefix-win32" --out "$out"
code=$?
lap "boot and lane"
echo "lane32: $([ $code -eq 0 ] && echo passed || echo "FAILED (exit $code)") in $((SECONDS - start)) s"
exit $code
