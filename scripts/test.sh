#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite. The last stage is the main CTest
# run, so the run ends with CTest's summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/setup.sh build test samples interop robust windows python package

stage() { printf '\n===== %s =====\n' "$*"; }

if [ -f scripts/test-windows.sh ]; then
  stage "Windows DLL under Wine"
  bash scripts/test-windows.sh
fi
if [ -f scripts/test-sanitize.sh ]; then
  stage "AddressSanitizer and UndefinedBehaviorSanitizer build"
  bash scripts/test-sanitize.sh
fi
if [ -f scripts/fuzz.sh ]; then
  stage "Fuzz targets: short runs and corpus replay"
  bash scripts/fuzz.sh --short
fi

stage "Main build and test suite"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_INTEROP=ON >/dev/null
cmake --build "$root/build" -j"$jobs"
ctest --test-dir "$root/build" --output-on-failure -j"$jobs"
