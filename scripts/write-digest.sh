#!/usr/bin/env bash
# Prints what the library's writes leave in every input of the write round-trip fuzz target: the
# seeds fuzz/make_seeds.py makes, the kept regression inputs and any further folders given (a corpus
# the fuzzer grew, e.g. build-fuzz/corpus/fuzz_write_roundtrip). One line per input: its name, and
# for each of the target's writes ({}, {}, its tag object) the result, the error text and the
# SHA-256 of the file after it. Two builds (of two commits) write the same bytes when their outputs
# are equal:
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
  (cd "$dir" && mapfile -t list <<<"$files" && "$work/write_corpus_digest" "${list[@]}")
}
digest seeds "$work/seeds/fuzz_write_roundtrip"
digest regressions "$root/fuzz/regressions/fuzz_write_roundtrip"
for dir in "$@"; do
  digest "$(basename "$dir")" "$dir"
done
