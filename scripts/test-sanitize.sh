#!/usr/bin/env bash
# Builds the library, the command-line program and the whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer (QID3_SANITIZE) in build-asan and runs every test with leak checking
# on. Any sanitizer report ends the test that caused it with a failure, so a clean run means zero
# reports.
#
#   scripts/test-sanitize.sh [extra ctest arguments, e.g. -L robust]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-asan"
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$jobs"

# Errors abort at once (the build also passes -fno-sanitize-recover=all); leaks are checked at the
# exit of every test program. A failed allocation returns NULL, as the library expects of malloc,
# instead of ending the program.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# The packaging tests build and run programs without the sanitizer runtime against the installed
# library, which the sanitizers refuse; they are left to the normal build.
ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE 'package|python' "$@"

# The Python client loads the library into Python: the runtime must come first, and the leak
# check is left out because the interpreter keeps its own memory until exit.
asan_runtime=$(${CXX:-g++} -print-file-name=libasan.so)
LD_PRELOAD="$asan_runtime" ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}" \
  ctest --test-dir "$build" --output-on-failure -L python "$@"
