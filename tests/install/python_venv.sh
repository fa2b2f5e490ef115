#!/usr/bin/env bash
# The Python package as a user installs it: `pip install --no-build-isolation` into a fresh virtual
# environment (Debian's python3 with its setuptools), once carrying the library just built and once
# without it, then the client's tests and `python -m quorvale_id3tag` from that environment, with
# no PYTHONPATH or QUORVALE_ID3TAG_LIB.
#   python_venv.sh LIBRARY SOURCE_DIR VERSION
set -euo pipefail
lib=$1
src=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH QUORVALE_ID3TAG_LIB
export PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INDEX=1

# The README's own install lines, run as they stand from a folder laid out like the clone (pip
# builds in the source folder; a copy keeps build/ and *.egg-info out of the checkout; the package
# takes its version from the clone's include/). They make the environment, install the package
# alone and then again carrying the library just built.
mkdir -p "$work/bindings" "$work/build/src"
cp -r "$src/bindings/python" "$work/bindings/python"
cp -r "$src/include" "$work/include"
cp "$lib" "$work/build/src/libquorvale-id3tag.so.1"
readme_lines=$(awk '/^## Python/ {in_section = 1} in_section && /^```sh/ {in_block = 1; next}
                    in_block && /^```/ {exit} in_block {print}' "$src/README.md")
# The first install a newcomer runs after the main command carries the library it built: the
# package alone finds no library on a machine where none is installed.
first_install=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' <<<"$readme_lines" | grep -m1 'pip install')
grep -q 'QUORVALE_ID3TAG_BUNDLE=build/src/' <<<"$first_install"
cd "$work"
echo "== the README's lines:"
echo "$readme_lines"
PIP_QUIET=1 bash -euo pipefail -c "$readme_lines"
py="$work/venv/bin/python"

echo "== bundled: the library just built inside the package"
site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
loaded=$("$py" -m quorvale_id3tag library)
echo "loaded: $loaded"
[ "$loaded" = "$site/quorvale_id3tag/libquorvale-id3tag.so.1" ]
test -f "$site/quorvale_id3tag/py.typed"
# The wheel carries yyjson too, and that copy is the one loaded (a plain system has none).
yyjson_maps=$("$py" -c 'import quorvale_id3tag as t; t.load_library()
print("".join(l for l in open("/proc/self/maps") if "libyyjson" in l))')
grep -q "$site/quorvale_id3tag/libyyjson.so.0" <<<"$yyjson_maps"
! grep -v "$site/quorvale_id3tag/libyyjson.so.0" <<<"$yyjson_maps" | grep -q libyyjson
# The package's version is the C header's, in its metadata and in the module (read away from the
# clone); the wheel names its licence and authors.
metadata=$(cd / && "$py" -c 'import importlib.metadata as m; d = m.metadata("quorvale-id3tag")
import quorvale_id3tag as t; print(d["Version"]); print(t.__version__)
print(d["License"]); print(d["Author"])')
echo "metadata: $metadata"
[ "$metadata" = "$version
$version
MIT
The quorvale-id3tag developers" ]
QID3_SAMPLES_DIR="$src/samples" "$py" -m pytest -q -p no:cacheprovider "$src/bindings/python/tests"

echo "== plain: the package alone, the library from QUORVALE_ID3TAG_LIB or the system"
"$py" -m pip uninstall -q -y quorvale-id3tag
"$py" -m pip install -q --no-build-isolation ./bindings/python
[ ! -e "$site/quorvale_id3tag/libquorvale-id3tag.so.1" ]
QUORVALE_ID3TAG_LIB="$lib" "$py" -m quorvale_id3tag read "$src/samples/sample.flac" |
  grep -q '"format":"flac"'
# Without the variable the library is found only where a system install put it; the message then
# says what to do.
# Found by the loader's search, the library's path is still printed in full.
found=$(LD_LIBRARY_PATH=$(dirname "$lib") "$py" -m quorvale_id3tag library)
[ "$found" = "$(dirname "$lib")/libquorvale-id3tag.so.1" ]
if out=$("$py" -m quorvale_id3tag library 2>&1); then
  echo "found by the system: $out"
else
  grep -q "library not found (install it with cmake --install" <<<"$out"
  # one line, no traceback
  [ "$(wc -l <<<"$out")" = 1 ]
  grep -q '^quorvale_id3tag: ' <<<"$out"
  echo "not installed on this system: the message says so"
fi
echo "python package: ok"
