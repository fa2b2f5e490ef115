#!/usr/bin/env bash
# Builds the library and its thread test with ThreadSanitizer in build-tsan and runs 8 threads of
# 10,000 mixed calls each (read, read_all, write, batch, batch_results, covers) over shared and
# separate files, with no lock. Any race report fails the run.
#
#   scripts/test-tsan.sh [calls per thread, default 10000]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-tsan"
jobs=$(nproc 2>/dev/null || echo 2)
calls=${1:-10000}

flags="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_TESTS=ON \
  -DQID3_BUILD_CLI=OFF -DQID3_SANITIZE=OFF -DQID3_BUILD_BENCH=OFF -DQID3_BUILD_FUZZ=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" -j"$jobs" --target test_threads
# halt_on_error: the first report ends the program with a failure.
TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1" QID3_THREAD_CALLS="$calls" \
  "$build/tests/test_threads"
