#!/usr/bin/env bash
# The one test command: installs what is missing, builds the native project, the
# Windows cross build and a sanitizer build, runs every fuzz target briefly,
# checks the DLL's interface and the Debian package (built, installed, purged)
# and runs every test. Ends with "summary: N passed, N failed"; exits non-zero
# on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${AUTOUPDATE_JOBS:-2}
logs=$root/build/test-all-logs

passed=0
failed=0
failures=()

step() {
  # step NAME COMMAND...: runs one build or check step and counts it.
  local name=$1
  shift
  echo "==> $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "FAILED: $name" >&2
    return 1
  fi
}

run_ctest() {
  # run_ctest NAME BUILD_DIR CTEST_ARGS...: runs ctest and counts its tests one by one.
  local name=$1 dir=$2
  shift 2
  local log=$logs/$name.log
  echo "==> ctest $name"
  if [ ! -f "$dir/CTestTestfile.cmake" ]; then
    failed=$((failed + 1))
    failures+=("ctest $name: $dir was not built")
    return
  fi
  (cd "$dir" && ctest --output-on-failure --timeout 180 "$@") 2>&1 | tee "$log"
  local line total bad
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    failed=$((failed + 1))
    failures+=("ctest $name: no result (see $log)")
    return
  fi
  bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$bad" -gt 0 ]; then
    failures+=("ctest $name: $bad of $total tests failed")
  fi
}

configure_and_build() {
  # configure_and_build DIR CMAKE_ARGS...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
    cmake --build "$dir" -j "$jobs"
}

mkdir -p "$logs"
step "install dependencies" bash scripts/install-deps.sh

step "native build (build/)" configure_and_build "$root/build" \
  -DAUTOUPDATE_WIN_BUILD_DIR="$root/build-win"
step "Windows build (build-win/)" configure_and_build "$root/build-win" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DAUTOUPDATE_TESTS=OFF
step "sanitizer build (build-asan/)" configure_and_build "$root/build-asan" \
  -DAUTOUPDATE_SANITIZE=ON
step "fuzz targets, 20 s each (build-fuzz/)" bash scripts/fuzz.sh 20
step "AutoUpdate.dll interface" python3 tests/wine/check_dll_interface.py "$root/build-win/AutoUpdate.dll"
step "release bundle (out/release/)" bash scripts/release.sh
step "Debian package: build, dpkg -i, check, purge" sh packaging/check_deb.sh "$root/build"

run_ctest native "$root/build"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_ctest sanitizer "$root/build-asan" -L '^(unit|e2e)$'

if [ ${#failures[@]} -gt 0 ]; then
  echo
  echo "failures:"
  printf '  %s\n' "${failures[@]}"
fi
echo "summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
