#!/usr/bin/env bash
# Builds the benchmarks and runs them: the library's calls against their floors and against TagLib
# on generated MP3, FLAC and M4A files of 100 KB, 10 MB and 100 MB and a 1 GB sparse MP3, then the
# bytes each read takes from its file, a 5 GB sparse MP3 (read time, write under a 1 GiB address
# limit) and the peak memory of writes (also of 200 MB files).
#
#   scripts/bench.sh [--table FILE] [qid3_bench options...]
#
# Examples:
#   scripts/bench.sh                                   # the full default run (4-5 minutes)
#   scripts/bench.sh --qid3-sizes=100K,10M             # without the 100 MB files
#   scripts/bench.sh --benchmark_filter='id3_read/'    # one case only
#   scripts/bench.sh --qid3-sparse=0 --qid3-huge=0     # without the sparse files
#   scripts/bench.sh --qid3-smoke --qid3-batch=3       # one iteration of everything, 100 KB files
#
# The fixture files (about 4.5 GB with the 100 MB and 200 MB sizes, and up to 7 GB more once the
# sparse files are rewritten: a rewrite fills their holes) go to a fresh folder under TMPDIR (or
# /tmp, or --qid3-dir=DIR) and are removed afterwards. The build goes to build-bench/ unless
# QID3_BENCH_BUILD names another folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QID3_BENCH_BUILD:-$root/build-bench}

bash scripts/setup.sh build bench

args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --table)
      args+=("--qid3-table=$2")
      shift 2
      ;;
    *)
      args+=("$1")
      shift
      ;;
  esac
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_BENCH=ON -DQID3_BUILD_TESTS=OFF \
  -DQID3_BUILD_CLI=OFF >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target qid3_bench qid3_bench_child
exec "$build/bench/qid3_bench" "${args[@]}"
