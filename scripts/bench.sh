#!/usr/bin/env bash
# The latency benchmark of the whole client under Wine, against its floor in
# the same run (bench/latency_wine.py): installs what is missing, builds the
# native server_sim and the Windows programs, runs it in network namespaces
# of its own (root) and prints the table. Arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in native win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
exec python3 bench/latency_wine.py "$@"
