#!/usr/bin/env bash
# Cross-builds quorvale-id3tag.dll and its test suite with mingw-w64, checks the DLL's exports and
# imports, and runs the suite under Wine.
#
#   scripts/test-windows.sh [BUILD_DIR]          default build folder: build-windows
#   scripts/test-windows.sh --check-dll DLL      only the export and import check (used by CTest)
#
# Needs `scripts/setup.sh windows` (mingw-w64, Wine, yyjson sources); run as root it installs them.
set -euo pipefail

objdump_tool=x86_64-w64-mingw32-objdump
expected_exports="id3_batch id3_extract_cover id3_free_string id3_last_error id3_read id3_set_cover id3_write"

# The DLL exports exactly the seven functions under their plain names and imports only system DLLs
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
echo "test-windows: done in $(($(date +%s) - start)) s"
