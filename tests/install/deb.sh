#!/usr/bin/env bash
# Builds the Debian package with CPack, lists its contents and checks what it holds and needs: its
# dependencies are Debian 12's own packages (yyjson travels inside it), and the program and the
# Python module of the unpacked package work from its own files.
#   deb.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1
src=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
# The description names every format the library reads and writes, and claims no format is read
# only (every one is written) nor a number of functions.
description=$(dpkg-deb -f "$deb" Description)
for format in MP3 FLAC MP4 'Ogg Vorbis' Opus; do
  grep -qF "$format" <<<"$description" || { echo "description misses $format" >&2; exit 1; }
done
if grep -qiE 'read only|read-only|(seven|eight|nine|ten) (C )?functions' <<<"$description"; then
  echo "description: stale claim: $description" >&2
  exit 1
fi
dpkg-deb -c "$deb" | awk '{print $6, $7, $8}' | tee "$work/contents"
for want in \
  '/usr/include/quorvale_id3tag.h' \
  "libquorvale-id3tag.so.$version" \
  "libquorvale-id3tag.so.${version%%.*} " \
  '/pkgconfig/quorvale-id3tag.pc' \
  '/cmake/quorvale-id3tag/quorvale-id3tag-config.cmake' \
  '/usr/bin/quorvale-tag' \
  '/quorvale-id3tag/libyyjson.so.0' \
  '/usr/lib/python3/dist-packages/quorvale_id3tag/__init__.py' \
  '/usr/lib/python3/dist-packages/quorvale_id3tag/py.typed' \
  '/usr/lib/python3/dist-packages/quorvale_id3tag/_version.py' \
  '/usr/lib/python3/dist-packages/quorvale_id3tag/quorvale-id3tag -> ../../../quorvale-id3tag' \
  '/usr/share/doc/quorvale-id3tag/copyright' \
  '/usr/share/doc/quorvale-id3tag/changelog.Debian.gz' \
  '/usr/share/man/man1/quorvale-tag.1.gz' \
  '/usr/share/bash-completion/completions/quorvale-tag' \
  '/usr/share/zsh/vendor-completions/_quorvale-tag'; do
  grep -qF -- "$want" "$work/contents" || { echo "missing from the package: $want" >&2; exit 1; }
done

# lintian finds no error and no warning (the overrides the package carries give their reasons).
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 ||
    { cat "$work/lintian" >&2; echo "lintian finds errors or warnings" >&2; exit 1; }
  echo "lintian: clean"
elif [ -n "${CI:-}" ]; then
  echo "lintian is not installed (scripts/setup.sh package)" >&2
  exit 1
else
  echo "lintian is not installed (scripts/setup.sh package): not checked"
fi
# The copyright file carries yyjson's notice as well as ours, and dpkg refreshes the loader cache
# through its trigger.
copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/quorvale-id3tag/copyright)
grep -q 'Copyright: 2020 YaoYuan' <<<"$copyright"
grep -q 'Copyright: 2026 quorvale-id3tag developers' <<<"$copyright"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers)" = 'activate-noawait ldconfig' ]
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst ./postrm | grep -qE '^[^#]*ldconfig' &&
  { echo "a maintainer script calls ldconfig" >&2; exit 1; }

# What it depends on: no yyjson, and each package one that apt can fetch from a configured archive
# (not only one that happens to be installed here from a local file).
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
if grep -q yyjson <<<"$depends"; then
  echo "the package depends on a yyjson package, which Debian 12 does not have" >&2
  exit 1
fi
dpkg-deb -f "$deb" Provides Conflicts Breaks | grep . && { echo "unexpected relations" >&2; exit 1; }
for dep in $(tr ',' '\n' <<<"$depends" | sed 's/(.*)//; s/|.*//' | tr -d ' '); do
  policy=$(apt-cache policy "$dep")
  if ! grep -Eq '^ +[0-9]+ +[a-z]+://' <<<"$policy"; then
    echo "dependency $dep is not offered by any configured archive" >&2
    exit 1
  fi
done
shlibs=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs)
[ "$shlibs" = "libquorvale-id3tag ${version%%.*} quorvale-id3tag (>= $version)" ] ||
  { echo "shlibs: $shlibs" >&2; exit 1; }
apt-get install -s -o Debug::NoLocking=1 "$deb" >"$work/simulate" 2>&1 ||
  { cat "$work/simulate" >&2; echo "apt cannot resolve the package" >&2; exit 1; }
grep -E '^(Inst|Conf) ' "$work/simulate" || true

# Unpacked: the program finds the packaged library and its yyjson through RPATH and RUNPATH alone.
root="$work/root"
dpkg-deb -x "$deb" "$root"
resolved=$(env -u LD_LIBRARY_PATH ldd "$root/usr/bin/quorvale-tag")
grep -E 'quorvale|yyjson' <<<"$resolved"
grep -q "libyyjson.so.0 => $root/usr/bin/../lib/quorvale-id3tag/libyyjson.so.0" <<<"$resolved"
grep -q "libquorvale-id3tag.so.1 => $root/usr/bin/../lib/libquorvale-id3tag.so.1" <<<"$resolved"
out=$(env -u LD_LIBRARY_PATH "$root/usr/bin/quorvale-tag" read "$src/samples/sample.flac")
grep -q '"format":"flac"' <<<"$out"
# The Python module loads the packaged library through the link beside it, and that library its
# packaged yyjson, whose RUNPATH is resolved from the link's folder (not the system's yyjson, which
# a machine may have as well).
dist="$root/usr/lib/python3/dist-packages"
env -u QUORVALE_ID3TAG_LIB PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -I -c '
import sys
sys.path.insert(0, sys.argv[1] + "/usr/lib/python3/dist-packages")
import quorvale_id3tag as tags
assert tags.library_path().startswith(sys.argv[1]), tags.library_path()
assert tags.read(sys.argv[2])["format"] == "mp3"
assert tags.__version__ == sys.argv[3], tags.__version__
with open("/proc/self/maps") as maps:
    yyjson = {line.split()[-1] for line in maps if "libyyjson" in line}
assert yyjson == {sys.argv[1] + "/usr/lib/quorvale-id3tag/libyyjson.so.0"}, yyjson
print("python module:", tags.library_path())
' "$root" "$src/samples/sample.mp3" "$version"
# `python3 -m quorvale_id3tag library` prints the path of the library it loaded.
printed=$(cd / && env -u QUORVALE_ID3TAG_LIB PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$dist" \
  /usr/bin/python3 -m quorvale_id3tag library)
echo "python3 -m quorvale_id3tag library: $printed"
[ "$printed" = "$dist/quorvale_id3tag/libquorvale-id3tag.so.1" ] ||
  { echo "expected the packaged library's path" >&2; exit 1; }
# The manual page is a well-formed page of the program.
if command -v man >/dev/null; then
  page=$(MANWIDTH=80 man -l "$root/usr/share/man/man1/quorvale-tag.1.gz" 2>"$work/man.err")
  [ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; exit 1; }
  grep -q -- '--dry-run' <<<"$page"
  grep -q "quorvale-id3tag $version" <<<"$page"
fi
echo "debian package: ok"
