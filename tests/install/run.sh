#!/usr/bin/env bash
# Installs the built library into a temporary prefix, then builds and runs two consumers against
# it: one found with CMake's find_package, one with pkg-config.
#   run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
# The library folder below the prefix, as the build chose it (lib, or lib/<multiarch> for /usr).
libdir_rel=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$libdir_rel" ] || { echo "run.sh: no CMAKE_INSTALL_LIBDIR in $build/CMakeCache.txt" >&2; exit 1; }
lib="$prefix/$libdir_rel"

# The program's manual page and shell completion, when the program is built.
if [ -x "$prefix/bin/quorvale-tag" ]; then
  for f in share/man/man1/quorvale-tag.1 share/bash-completion/completions/quorvale-tag \
    share/zsh/site-functions/_quorvale-tag; do
    [ -f "$prefix/$f" ] || { echo "run.sh: $f not installed" >&2; exit 1; }
  done
fi

sample="$src/samples/sample.flac"
expect='"format":"flac"'

# CMake consumer.
cmake -S "$src/tests/install/cmake_consumer" -B "$work/cmake-build" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
out=$(LD_LIBRARY_PATH="$lib" "$work/cmake-build/consumer" "$sample")
echo "cmake consumer: $out"
grep -q "$expect" <<<"$out"

# pkg-config consumer.
pc_dir="$lib/pkgconfig"
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs quorvale-id3tag)
cc "$src/tests/install/consumer.c" -o "$work/pc-consumer" $flags
libdir=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir quorvale-id3tag)
[ "$(realpath "$libdir")" = "$(realpath "$lib")" ] || { echo "run.sh: pkg-config libdir $libdir" >&2; exit 1; }
out=$(LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$sample")
echo "pkg-config consumer: $out"
grep -q "$expect" <<<"$out"
# The .pc names every format the library reads and writes.
pc_text=$(cat "$pc_dir/quorvale-id3tag.pc")
for format in MP3 FLAC MP4 'Ogg Vorbis' Opus; do
  grep -qF "$format" <<<"$pc_text" || { echo "run.sh: the .pc misses $format" >&2; exit 1; }
done
# The installed header's version text is the version the build gave the package and the program.
version=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --modversion quorvale-id3tag)
grep -qx "header $version" <<<"$out" || { echo "run.sh: the header's version is not $version" >&2; exit 1; }
if [ -x "$prefix/bin/quorvale-tag" ]; then
  [ "$("$prefix/bin/quorvale-tag" --version)" = "quorvale-tag $version" ] ||
    { echo "run.sh: quorvale-tag --version is not $version" >&2; exit 1; }
fi

# The installed library keeps its SONAME and exports only the eight functions.
soname=$(objdump -p "$lib/libquorvale-id3tag.so" | awk '/SONAME/ {print $2}')
echo "SONAME: $soname"
[ "$soname" = "libquorvale-id3tag.so.1" ]
# The installed program finds the installed library by its RPATH, with no loader set-up.
out=$(env -u LD_LIBRARY_PATH "$prefix/bin/quorvale-tag" read "$sample")
echo "installed quorvale-tag: $out"
grep -q "$expect" <<<"$out"
test -f "$prefix/include/quorvale_id3tag.h"
echo "install consumers: ok"
