#!/usr/bin/env bash
# The benchmarks of the whole client under Wine, each against its floor in
# the same run: the latency figures (bench/latency_wine.py), what the
# client costs the PC while the server streams and nobody asks
# (bench/idle_wine.py), then the web gateway's pushes, fan-out and writes
# (bench/web_wine.py). Installs what is missing, builds the native
# server_sim and the Windows programs, runs them in network namespaces of
# their own (root) and prints the tables. Arguments go to the latency
# benchmark; exits non-zero when either misses a target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in native win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
code=0
python3 bench/latency_wine.py "$@" || code=$?
python3 bench/idle_wine.py || code=$?
python3 bench/web_wine.py || code=$?
exit $code
