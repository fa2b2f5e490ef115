#!/usr/bin/env bash
# The Python package as a user installs it: `pip install --no-build-isolation` into a fresh virtual
# environment (Debian's python3 with its setuptools), once carrying the library just built and once
# without it, then the client's tests and `python -m quorvale_id3tag` from that environment, with
# no PYTHONPATH or QUORVALE_ID3TAG_LIB.
#   python_venv.sh LIBRARY SOURCE_DIR
set -euo pipefail
lib=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH QUORVALE_ID3TAG_LIB
export PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INDEX=1

# pip builds in the source folder; a copy keeps build/ and *.egg-info out of the checkout.
cp -r "$src/bindings/python" "$work/package"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
py="$work/venv/bin/python"
cd "$work"

echo "== bundled: the library just built inside the package"
QUORVALE_ID3TAG_BUNDLE="$lib" "$py" -m pip install -q --no-build-isolation ./package
site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
loaded=$("$py" -m quorvale_id3tag library)
echo "loaded: $loaded"
[ "$loaded" = "$site/quorvale_id3tag/libquorvale-id3tag.so.1" ]
test -f "$site/quorvale_id3tag/py.typed"
QID3_SAMPLES_DIR="$src/samples" "$py" -m pytest -q -p no:cacheprovider "$src/bindings/python/tests"

echo "== plain: the package alone, the library from QUORVALE_ID3TAG_LIB or the system"
"$py" -m pip uninstall -q -y quorvale-id3tag
"$py" -m pip install -q --no-build-isolation ./package
[ ! -e "$site/quorvale_id3tag/libquorvale-id3tag.so.1" ]
QUORVALE_ID3TAG_LIB="$lib" "$py" -m quorvale_id3tag read "$src/samples/sample.flac" |
  grep -q '"format":"flac"'
# Without the variable the library is found only where a system install put it; the message then
# says what to do.
if out=$("$py" -m quorvale_id3tag library 2>&1); then
  echo "found by the system: $out"
else
  grep -q "library not found (install it with cmake --install" <<<"$out"
  echo "not installed on this system: the message says so"
fi
echo "python package: ok"
