#!/usr/bin/env bash
# The main job: installs what is missing, builds the client and ipc_probe for
# Windows (win64) and server_sim for Linux (native), then runs the client under
# Wine + Xvfb against server_sim across two network namespaces, shows live
# values and a write round trip through ipc_probe, saves a screenshot of the
# status window to build/run/kestrovaline.png and closes the client
# (scripts/run_demo.py). Run as root; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "run: FAILED: run as root (the demo makes network namespaces)" >&2
  exit 1
fi

bash scripts/setup.sh

out=build/run
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
build win64 Kestrovaline ipc_probe
build native server_sim
echo "   Kestrovaline.exe, ipc_probe.exe (build/win64/bin), server_sim (build/native/bin) in $((SECONDS - start)) s"

exec python3 -u scripts/run_demo.py --bin build/win64/bin --server-sim build/native/bin/server_sim --out "$out"
