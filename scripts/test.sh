#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite. Each stage uses its own build
# folder with its options given explicitly, so whatever was configured before (build/ of
# scripts/main.sh, say) changes nothing, and a stage that finds no tests fails. The last stage is
# the main CTest run, so the run ends with CTest's summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/setup.sh build test samples interop robust windows python package

stage() { printf '\n===== %s =====\n' "$*"; }

# Fails unless CTest knows at least one test in the build folder $1.
require_tests() {
  local count
  count=$(ctest --test-dir "$1" -N | sed -n 's/^Total Tests: //p')
  if [ "${count:-0}" -eq 0 ]; then
    echo "test.sh: no tests found in $1" >&2
    exit 1
  fi
}

stage "Windows DLL under Wine"
bash scripts/test-windows.sh "$root/build-windows"
require_tests "$root/build-windows"

stage "AddressSanitizer and UndefinedBehaviorSanitizer build"
bash scripts/test-sanitize.sh --no-tests=error

stage "ThreadSanitizer: 8 threads x 10,000 mixed calls"
bash scripts/test-tsan.sh 10000

stage "Fuzz targets: short runs and corpus replay"
bash scripts/fuzz.sh --short

stage "Main build and test suite"
build="$root/build-test"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_TESTS=ON \
  -DQID3_BUILD_CLI=ON -DQID3_INTEROP=ON -DQID3_SANITIZE=OFF -DQID3_BUILD_BENCH=OFF \
  -DQID3_BUILD_FUZZ=OFF >/dev/null
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"
