#!/usr/bin/env bash
# The main job: installs what is missing, builds the client and ipc_probe for
# Windows (win64) and server_sim for Linux (native), then runs the client under
# Wine + Xvfb against server_sim across two network namespaces, shows live
# values and a write round trip through ipc_probe, saves a screenshot of the
# status window to build/run/kestrovaline.png and one of the gateway's panel
# page in a headless Chromium to build/run/panel.png, and closes the client
# (scripts/run_demo.py). Run as root; exits non-zero on any failure.
#
# --win32: the same with the 32-bit programs (win32 preset), in the emulated
# PC of scripts/emu32 (prepared once, cached), without the panel's screenshot;
# the output goes to build/run-win32/.
set -euo pipefail
cd "$(dirname "$0")/.."

width=win64
case "${1:-}" in
  "") ;;
  --win32) width=win32 ;;
  *) echo "usage: $0 [--win32]" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "run: FAILED: run as root (the demo makes network namespaces)" >&2
  exit 1
fi

bash scripts/setup.sh

out=build/run
[ $width = win32 ] && out=build/run-win32
mkdir -p "$out"
jobs=$(nproc)

build() {  # build <preset> <targets...>: quiet unless it fails
  local preset=$1; shift
  local log="$out/build-$preset.log"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs" --target "$@"; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "run: FAILED: building $* ($preset); the whole output is in $log" >&2
    exit 1
  fi
}

echo
echo "== Building"
start=$SECONDS
build $width Kestrovaline ipc_probe
build native server_sim
echo "   Kestrovaline.exe, ipc_probe.exe (build/$width/bin), server_sim (build/native/bin) in $((SECONDS - start)) s"

demo=(python3 -u scripts/run_demo.py --bin build/$width/bin --server-sim build/native/bin/server_sim --out "$out")
if [ $width = win64 ]; then
  exec "${demo[@]}"
fi
echo
echo "== The emulated PC (32-bit Wine)"
start=$SECONDS
bash scripts/emu32/setup.sh | sed 's/^/   /'
echo "   ready in $((SECONDS - start)) s; booting it (the programs run about 15x slower there)"
cache=${KV_EMU32_DIR:-/var/tmp/kv-emu32}
exec bash scripts/emu32/boot.sh -t 900 -w "$out" -- env KV_WINE_ARCH=win32 \
  KV_WINE_PREFIX_SEED="$cache/prefix-win32" "${demo[@]}" --prefix /tmp/kv-run-wineprefix --no-panel
