#!/usr/bin/env bash
# Runs the libFuzzer harnesses (every one, or the HARNESSes named) for
# SECONDS (default 60) each from its seed corpus in fuzz/corpus/<harness>/
# (the unit tests' cases), JOBS of them at a time
# (default 1), and keeps what each finds new in build/fuzz/corpus/<harness>/.
# Each harness's output goes to build/fuzz/logs/<harness>.txt; its final
# statistics are printed. Exits non-zero when one finds a crash, a leak or a
# hang (its input is left in build/fuzz/findings/).
#
#   bash scripts/fuzz.sh [SECONDS] [JOBS] [HARNESS...]      (e.g. 3600 1 gateway_fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD  # absolute paths: a harness may change its working folder
seconds=${1:-60}
jobs=${2:-1}
shift $(($# < 2 ? $# : 2))
bash scripts/setup.sh >/dev/null
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
mkdir -p "$root/build/fuzz/findings" "$root/build/fuzz/logs"

# The harness's own libFuzzer flags (ARGS of kv_fuzzer: a length, a dictionary)
# stay as CTest runs it.
flags_of() {
  ctest --test-dir build/fuzz -N -V -R "^$1_run\$" 2>/dev/null |
    grep -o -- '"-\(max_len\|dict\)=[^"]*"' | tr -d '"' || true
}

run_one() {
  local name=$1 work=$root/build/fuzz/corpus/$1 seeds=()
  mkdir -p "$work"
  [ -d "fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
  # shellcheck disable=SC2046  # flags_of gives whole words
  "build/fuzz/bin/$name" "$work" "${seeds[@]}" $(flags_of "$name") -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$root/build/fuzz/findings/$name-" >"build/fuzz/logs/$name.txt" 2>&1 || true
}

names=("$@")
if ((${#names[@]} == 0)); then
  for harness in build/fuzz/bin/*_fuzz; do
    names+=("$(basename "$harness")")
  done
fi
echo "=== ${#names[@]} harnesses, $seconds s each, $jobs at a time"
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$name" &
done
wait

failed=0
for name in "${names[@]}"; do
  echo "=== $name"
  grep -E '^(stat::|#[0-9]+[[:space:]]+DONE|==[0-9]+==|SUMMARY)' "build/fuzz/logs/$name.txt" || true
  if ls build/fuzz/findings/"$name"-* >/dev/null 2>&1; then
    echo "=== $name FOUND something: build/fuzz/findings/"
    failed=1
  fi
done
exit $failed
