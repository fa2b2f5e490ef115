#!/usr/bin/env bash
# Prints what the library's reads give and its writes leave in every input of the fuzz targets that
# take audio files: the seeds fuzz/make_seeds.py makes, the kept regression inputs, the samples and
# any further folders given (a corpus the fuzzer grew, e.g. build-fuzz/corpus/fuzz_write_roundtrip).
# One line per input: its name, the digests of its id3_read and id3_read_all JSON, for each of the
# writes ({}, {}, the round-trip target's tag object and properties object, the sample cover set)
# the result, the error text and the SHA-256 of the file after it, the extracted cover's digest,
# and both reads again. Two builds (of two commits) read and write the same when their outputs are
# equal:
#
#   scripts/write-digest.sh BUILD_DIR [CORPUS_DIR...] > digest.txt
#
#   BUILD_DIR    a build folder of any commit holding libquorvale-id3tag.so (configure and build
#                its target quorvale-id3tag first)
#
# The program (fuzz/write_corpus_digest.cpp) is compiled here against this tree's public header
# and linked against BUILD_DIR's library.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift

lib=$(find "$build" -maxdepth 3 -name 'libquorvale-id3tag.so' -print -quit)
[ -n "$lib" ] || { echo "write-digest.sh: no libquorvale-id3tag.so in $build" >&2; exit 1; }
libdir=$(dirname "$lib")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${CXX:-g++}" -std=c++17 -O2 -Wall -Wextra -I "$root/include" "$root/fuzz/write_corpus_digest.cpp" \
  -L "$libdir" -lquorvale-id3tag -Wl,-rpath,"$libdir" -o "$work/write_corpus_digest"
/usr/bin/python3 "$root/fuzz/make_seeds.py" "$work/seeds" "$root/samples"

# Each folder's files in a fixed order, named relative to the folder.
digest() {
  local label=$1 dir=$2 files
  echo "== $label"
  files=$(cd "$dir" && find . -maxdepth 1 -type f -printf '%P\n' | LC_ALL=C sort)
  [ -z "$files" ] && return 0
  (cd "$dir" && mapfile -t list <<<"$files" &&
    "$work/write_corpus_digest" --cover "$root/samples/cover.png" "${list[@]}")
}
for target in fuzz_write_roundtrip fuzz_mp3_read fuzz_flac_read fuzz_mp4_read fuzz_ogg_read \
  fuzz_bounded_read; do
  digest "seeds/$target" "$work/seeds/$target"
done
for dir in "$root"/fuzz/regressions/*/; do
  digest "regressions/$(basename "$dir")" "$dir"
done
digest samples "$root/samples"
for dir in "$@"; do
  digest "$(basename "$dir")" "$dir"
done
