#!/usr/bin/env bash
# Runs every libFuzzer harness for SECONDS (default 60) from its seed corpus
# in fuzz/corpus/<harness>/ (the unit tests' cases), one after the other, and
# keeps what each finds new in build/fuzz/corpus/<harness>/. Prints each
# harness's final statistics; exits non-zero when one finds a crash, a leak
# or a hang (its input is left in build/fuzz/findings/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD  # absolute paths: a harness may change its working folder
seconds=${1:-60}
bash scripts/setup.sh >/dev/null
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
mkdir -p "$root/build/fuzz/findings"
failed=0
for harness in build/fuzz/bin/*_fuzz; do
  name=$(basename "$harness")
  work=$root/build/fuzz/corpus/$name
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
  echo "=== $name: $seconds s"
  if ! "$harness" "$work" "${seeds[@]}" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$root/build/fuzz/findings/$name-" 2>&1 | grep -E '^(stat::|#[0-9]+[[:space:]]+DONE|==[0-9]+==|SUMMARY)'; then
    :
  fi
  if ls build/fuzz/findings/"$name"-* >/dev/null 2>&1; then
    echo "=== $name FOUND something: build/fuzz/findings/"
    failed=1
  fi
done
exit $failed
