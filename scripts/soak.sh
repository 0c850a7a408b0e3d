#!/usr/bin/env bash
# The soak of the whole client under Wine (tests/e2e/soak_wine.py): installs
# what is missing, builds the native server_sim and the Windows programs, and
# runs it for MINUTES (default 30) in network namespaces of its own (root).
# Prints the figures; exits non-zero when writes were lost, a batch was
# invalid, memory or handles grew, or the client did not recover or end well.
#
#   sudo bash scripts/soak.sh [MINUTES] [options of soak_wine.py]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
for preset in native win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
exec python3 tests/e2e/soak_wine.py "$@"
