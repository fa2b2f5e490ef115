#!/usr/bin/env bash
# Cross-builds quorvale-id3tag.dll and its test suite with mingw-w64, checks the DLL's exports and
# imports, and runs the suite under Wine. Then makes the release archive
# quorvale-id3tag-VERSION-win64.zip with CPack and checks what it gives a Windows developer: the
# packaged program, the version resources, the MSVC import library, programs linked against it, and
# the C# declarations and manifest that docs/windows.md shows.
#
#   scripts/test-windows.sh [BUILD_DIR]          default build folder: build-windows
#   scripts/test-windows.sh --check-dll DLL      only the export and import check (used by CTest)
#
# Needs `scripts/setup.sh windows` (mingw-w64, Wine, yyjson sources); run as root it installs them.
set -euo pipefail

objdump_tool=x86_64-w64-mingw32-objdump
expected_exports="id3_batch id3_batch_results id3_extract_cover id3_free_string id3_last_error id3_last_error_code id3_read id3_read_all id3_read_all_data id3_read_data id3_set_cover id3_use_utf8_paths id3_write"

# The DLL exports exactly the functions of the header under their plain names and imports only system DLLs
# (no libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll beside it).
check_dll() {
  local dll=$1 dump exports imports bad
  [ -f "$dll" ] || { echo "check-dll: no file $dll" >&2; return 1; }
  dump=$("$objdump_tool" -p "$dll")
  # The name table of the exports: rows "\t[   0] id3_batch".
  exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ' | sed 's/ $//')
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u | tr '\n' ' ' |
    sed 's/ $//')
  echo "check-dll: exports: $exports"
  echo "check-dll: imports: $imports"
  if [ "$exports" != "$expected_exports" ]; then
    echo "check-dll: the exports differ from: $expected_exports" >&2
    return 1
  fi
  bad=""
  local name
  for name in $imports; do
    case "$(printf '%s' "$name" | tr '[:upper:]' '[:lower:]')" in
      kernel32.dll | msvcrt.dll | api-ms-win-*) ;;
      *) bad="$bad $name" ;;
    esac
  done
  if [ -n "$bad" ]; then
    echo "check-dll: imports other than system DLLs:$bad" >&2
    return 1
  fi
  local fn
  for fn in CreateFileA ReadFile WriteFile GetFileInformationByHandle GetFileType _open_osfhandle \
    _get_osfhandle FlushFileBuffers MoveFileExA GetLastError DeleteFileA _getpid _strnicmp; do
    if ! grep -Eq "^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+$fn\$" <<<"$dump"; then
      echo "check-dll: $fn is not imported" >&2
      return 1
    fi
  done
  echo "check-dll: OK"
}

fail() {
  echo "test-windows: $*" >&2
  exit 1
}

# The version resource, as Windows reads it (GetFileVersionInfoW under Wine): the project's version
# as the fixed file and product versions and as their texts, the file's own name and type
# (1 program, 2 DLL), a description and a copyright line. objdump shows the resource directory.
check_version_resources() {
  local file=$1 type=$2 name info expected
  name=$(basename "$file")
  "$objdump_tool" -p "$file" | sed -n '/^The .rsrc Resource Directory section:/,/^$/p' |
    grep -Eq '^[0-9a-f]+   Entry: ID: 0x000010,' || fail "$name has no version resource (type 16)"
  [ -f "$checks/version_info.exe" ] ||
    x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -municode tests/windows/version_info.c \
      -lversion -o "$checks/version_info.exe"
  # (printf in the C runtime ends lines with CR LF)
  info=$("$wine" "$checks/version_info.exe" "$file" </dev/null | tr -d '\r') ||
    fail "GetFileVersionInfoW finds no version in $name"
  expected="file_version=$version.0
product_version=$version.0
file_type=$type
FileVersion=$version
ProductVersion=$version
ProductName=quorvale-id3tag
OriginalFilename=$name"
  while IFS= read -r line; do
    grep -Fxq "$line" <<<"$info" || fail "$name: version resource lacks \"$line\"; it reads:
$info"
  done <<<"$expected"
  grep -Eq '^FileDescription=.+' <<<"$info" || fail "$name: version resource has no description"
  grep -Eq '^LegalCopyright=Copyright .+' <<<"$info" || fail "$name: version resource has no copyright"
  echo "test-windows: $name carries version $version ($(grep '^FileDescription=' <<<"$info"))"
}

# The MSVC import library: one short import member per function, imported by name from
# quorvale-id3tag.dll, the functions of the header and nothing else.
check_import_library() {
  local lib=$1 found
  found=$(llvm-readobj --coff-imports "$lib" | awk '
    /^File: / { dll = $2 }
    /^Format: COFF-import-file/ { member = 1 }
    /^Name type: / { how = $3 }
    /^Symbol: / && member && $2 !~ /^__imp_/ { print dll, how, $2; member = 0 }' | sort)
  local want="" fn
  for fn in $expected_exports; do
    want+="quorvale-id3tag.dll name $fn"$'\n'
  done
  [ "$found" = "${want%$'\n'}" ] || fail "$(basename "$lib") imports differ; found:
$found"
  echo "test-windows: $(basename "$lib"): the $(wc -w <<<"$expected_exports") functions, by name, from quorvale-id3tag.dll"
}

# tests/windows/consumer.c built from the archive alone (its header and quorvale-id3tag.lib), once
# by clang in MSVC mode with lld-link and once by the MinGW driver, each with the UTF-8 code page
# manifest, then once more without it to show the manifest is what lets it name a UTF-8 path. Each
# program runs from the archive's bin/ beside the DLL, in a folder of sample copies.
check_consumers() {
  local dir="$checks/consumer" t=tests/windows
  mkdir -p "$dir"
  llvm-dlltool -m i386:x86-64 -d $t/kernel32.def -l "$dir/kernel32.lib"
  (cd $t && llvm-rc -fo "$dir/manifest.res" consumer.rc)
  x86_64-w64-mingw32-windres -I $t $t/consumer.rc -O coff -o "$dir/manifest-gnu.o"
  clang --target=x86_64-pc-windows-msvc -ffreestanding -O2 -Wall -Wextra -Werror \
    -I "$pkg/include" -c $t/consumer.c -o "$dir/consumer.obj"
  local link=(lld-link -nologo -entry:consumer_start -subsystem:console -nodefaultlib
    "$dir/consumer.obj" "$pkg/lib/quorvale-id3tag.lib" "$dir/kernel32.lib")
  "${link[@]}" "$dir/manifest.res" -out:"$pkg/bin/consumer-msvc.exe"
  "${link[@]}" -out:"$pkg/bin/consumer-no-manifest.exe"
  x86_64-w64-mingw32-gcc -ffreestanding -O2 -Wall -Wextra -Werror -nostdlib -e consumer_start \
    -I "$pkg/include" $t/consumer.c "$dir/manifest-gnu.o" "$pkg/lib/quorvale-id3tag.lib" \
    "$dir/kernel32.lib" -o "$pkg/bin/consumer-mingw.exe"

  local variant out status copy='copy-☃.mp3'
  for variant in msvc mingw no-manifest; do
    rm -rf "$dir/run"
    mkdir -p "$dir/run"
    cp samples/sample.mp3 samples/cover.png "$dir/run/"
    cp samples/sample.mp3 "$dir/run/$copy"
    status=0
    out=$(cd "$dir/run" && "$wine" "$pkg/bin/consumer-$variant.exe" </dev/null) || status=$?
    if [ $variant = no-manifest ]; then
      # The ANSI code page (1252 in Wine's default prefix) cannot name the copy.
      [ $status -ne 0 ] && grep -q '^read-copy NULL$' <<<"$out" && ! grep -qx 'acp 65001' <<<"$out" ||
        fail "consumer without the manifest was expected to miss $copy; it printed:
$out"
      echo "test-windows: consumer-no-manifest.exe: $(head -1 <<<"$out"), cannot name $copy"
      continue
    fi
    [ $status -eq 0 ] || fail "consumer-$variant.exe failed (status $status):
$out"
    local want
    while IFS= read -r want; do
      grep -Eq "$want" <<<"$out" || fail "consumer-$variant.exe: no line matching '$want'; it printed:
$out"
    done <<'LINES'
^acp 65001$
^read \{"title":"Señal de prueba",.*"format":"mp3"
^read-all \{"format":"mp3","properties":\{"TITLE":\["Señal de prueba"\],.*"pictures":\[\{"type":3,
^read-missing NULL$
^error cannot open: missing\.mp3
^write 0$
^read-copy \{"title":"Café ☃",
^set_cover 0$
^extract_cover 0$
^batch 1$
^read-batch \{"title":"Café ☃","artist":"Batch",.*"cover_mime":"image/png"\}$
^batch_results \[\{"path":"copy-☃\.mp3","result":"written"\}\]$
LINES
    cmp -s samples/cover.png "$dir/run/cover-out.png" ||
      fail "consumer-$variant.exe: the extracted cover differs from cover.png"
    [ "$(ls "$dir/run" | LC_ALL=C sort)" = "$(printf '%s\n' cover-out.png cover.png "$copy" \
      sample.mp3 | LC_ALL=C sort)" ] || fail "consumer-$variant.exe left other files: $(ls "$dir/run")"
    echo "test-windows: consumer-$variant.exe: nine of the functions through quorvale-id3tag.lib"
  done
}

# C#: the declarations docs/windows.md gives (tests/windows/QuorvaleId3Tag.cs), compiled with Mono's
# mcs and run by Mono against a Linux build of the library. Debian has no .NET runtime for Wine, so
# this tests the marshalling (UTF-8 texts, the IntPtr results, id3_free_string, the error text), not
# Windows' loading of the DLL.
check_csharp() {
  local dir="$checks/csharp" lib="$build/linux"
  mkdir -p "$dir"
  cmake -S "$root" -B "$lib" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_TESTS=OFF \
    -DQID3_BUILD_CLI=OFF >/dev/null
  cmake --build "$lib" -j"$jobs" --target quorvale-id3tag >/dev/null
  mcs -nologo -warnaserror -out:"$dir/TagCheck.exe" tests/windows/QuorvaleId3Tag.cs \
    tests/windows/TagCheck.cs
  cp samples/sample.mp3 samples/cover.png "$dir/"
  (cd "$dir" && LD_LIBRARY_PATH="$lib/src" mono TagCheck.exe) || fail "the C# declarations failed"
}

# docs/windows.md shows FILE whole, as one fenced block, so that what it tells readers is what ran.
doc_quotes() {
  /usr/bin/python3 - "$1" docs/windows.md <<'PY' || fail "docs/windows.md does not quote $1 as it is"
import re, sys
code = open(sys.argv[1], encoding="utf-8").read()
doc = open(sys.argv[2], encoding="utf-8").read()
sys.exit(0 if code in re.findall(r"^```[a-z]*\n(.*?)^```$", doc, re.S | re.M) else 1)
PY
  echo "test-windows: docs/windows.md quotes $1"
}

if [ "${1:-}" = "--check-dll" ]; then
  check_dll "$2"
  exit $?
fi

cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-$root/build-windows}
case "$build" in /*) ;; *) build=$root/$build ;; esac
jobs=$(nproc 2>/dev/null || echo 2)

# Compilers, CMake and GoogleTest's sources, mingw-w64, Wine and the yyjson sources (only what is
# missing is installed).
bash scripts/setup.sh build test windows

start=$(date +%s)
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_CLI=ON >/dev/null
cmake --build "$build" -j"$jobs"
dll="$build/bin/quorvale-id3tag.dll"
check_dll "$dll"

# Wine's prefix lives in the build folder (made on first use). Its server and its background
# programs (services.exe, explorer.exe, rpcss.exe, ...) are started here with their output on
# /dev/null: they keep inherited stdout and stderr open, so if the first test program started them,
# CTest would wait on that program's output until they exit. The server stays up 15 seconds after
# the last program.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe,mscoree,mshtml=d"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)
mkdir -p "$WINEPREFIX"
wineserver -p15 </dev/null >/dev/null 2>&1 || true
[ -f "$WINEPREFIX/.update-timestamp" ] || echo "test-windows: creating the Wine prefix $WINEPREFIX"
"$wine" wineboot </dev/null >/dev/null 2>&1

ctest --test-dir "$build" --output-on-failure -j"$jobs" </dev/null

# --- What a Windows developer receives: the archive, its version resources, the MSVC import library,
# and programs linked against that library.
# The version is the one CMake took from include/quorvale_id3tag.h for this build.
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\([0-9][0-9.]*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || fail "no CPACK_PACKAGE_VERSION in $build/CPackConfig.cmake"
checks="$build/windows-checks"
rm -rf "$checks"
mkdir -p "$checks"

# The archive, unpacked as a developer would.
cpack --config "$build/CPackConfig.cmake" -B "$build/package" >"$checks/cpack.log" ||
  { cat "$checks/cpack.log" >&2; fail "cpack failed"; }
zip_file="$build/package/quorvale-id3tag-$version-win64.zip"
[ -f "$zip_file" ] || fail "no archive $zip_file"
top="quorvale-id3tag-$version-win64"
(cd "$checks" && cmake -E tar xf "$zip_file")
pkg="$checks/$top"
for f in bin/quorvale-id3tag.dll bin/quorvale-tag.exe lib/quorvale-id3tag.lib \
  lib/quorvale-id3tag.def lib/quorvale-id3tag.dll.a include/quorvale_id3tag.h README.md LICENSE \
  LICENSE-yyjson docs/windows.md; do
  [ -f "$pkg/$f" ] || fail "the archive has no $top/$f"
done
echo "test-windows: $(basename "$zip_file"): $(cmake -E tar tf "$zip_file" | grep -vc '/$') files"
check_dll "$pkg/bin/quorvale-id3tag.dll"

# The packaged program reads the samples with the packaged DLL beside it.
while IFS='|' read -r sample format title; do
  out=$(cd samples && "$wine" "$pkg/bin/quorvale-tag.exe" read "$sample" </dev/null) ||
    fail "the packaged quorvale-tag.exe cannot read $sample"
  case "$out" in
    *"\"format\":\"$format\""*"\"title\":\"$title\""* | *"\"title\":\"$title\""*"\"format\":\"$format\""*) ;;
    *) fail "packaged quorvale-tag.exe read $sample: expected format $format and title $title, got: $out" ;;
  esac
done <<'SAMPLES'
sample.mp3|mp3|Señal de prueba
sample.flac|flac|Forêt d'été
sample.m4a|mp4|Ōmiya at night
SAMPLES
echo "test-windows: the packaged quorvale-tag.exe reads the samples"

check_version_resources "$pkg/bin/quorvale-id3tag.dll" 2
check_version_resources "$pkg/bin/quorvale-tag.exe" 1
check_import_library "$pkg/lib/quorvale-id3tag.lib"
check_consumers
check_csharp
doc_quotes tests/windows/QuorvaleId3Tag.cs
doc_quotes tests/windows/utf8.manifest
echo "test-windows: done in $(($(date +%s) - start)) s"
