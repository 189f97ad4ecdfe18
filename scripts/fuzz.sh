#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS]: builds the libFuzzer targets of fuzz/ with clang
# in build-fuzz/ and runs each for SECONDS (default 60) over its seed corpus,
# with AddressSanitizer and UBSan halting on the first error. New inputs go to
# build-fuzz/corpus/TARGET/, findings to build-fuzz/artifacts/. Exits non-zero
# when a target fails to build or finds anything.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
jobs=${AUTOUPDATE_JOBS:-2}
dir=$root/build-fuzz

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DAUTOUPDATE_FUZZ=ON -DAUTOUPDATE_TESTS=OFF "${launcher[@]}" >/dev/null || exit 1

# Every fuzz/corpus/TARGET/ names one target.
targets=()
for seeds in "$root"/fuzz/corpus/*/; do
  targets+=("$(basename "$seeds")")
done
cmake --build "$dir" -j "$jobs" --target "${targets[@]}" || exit 1

failed=()
mkdir -p "$dir/artifacts"
for target in "${targets[@]}"; do
  echo "==> $target ($seconds s)"
  mkdir -p "$dir/corpus/$target"
  if ! ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
     UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
     "$dir/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$dir/artifacts/$target-" \
       "$dir/corpus/$target" "$root/fuzz/corpus/$target" >"$dir/$target.log" 2>&1; then
    failed+=("$target")
    grep -m 5 -E '^(fuzz requirement failed|==[0-9]+==ERROR|SUMMARY)' "$dir/$target.log"
    tail -n 40 "$dir/$target.log"
    echo "FAILED: $target (log: $dir/$target.log)" >&2
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$dir/$target.log" | head -1
  fi
done

[ ${#failed[@]} -eq 0 ]
