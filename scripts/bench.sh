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
#   scripts/bench.sh --clone [clone_write.py options...]
#       id3_write and id3_batch of a title into 200 MB MP3 and FLAC files on loop-mounted XFS
#       (reflink) and btrfs and on the folder's own file system, against TagLib's save and fsync
#       (bench/clone_write.py --compare; as root, with xfsprogs and btrfs-progs), e.g.
#       scripts/bench.sh --clone --runs 7 --batch 100 --dir /work/bench-scratch
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

if [ "${1:-}" = "--clone" ]; then
  shift
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_BENCH=ON \
    -DQID3_BUILD_TESTS=OFF -DQID3_BUILD_CLI=OFF >/dev/null
  cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target quorvale-id3tag qid3_taglib_save
  exec /usr/bin/python3 "$root/bench/clone_write.py" --compare "$@" \
    "$build/src/libquorvale-id3tag.so" "$build/bench/qid3_taglib_save"
fi

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
