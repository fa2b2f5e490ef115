#!/usr/bin/env bash
# Builds the Debian package with CPack, lists its contents and checks what it holds and needs.
#   deb.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
dpkg-deb -c "$deb" | awk '{print $6, $7, $8}' | tee "$work/contents"
for want in \
  '/usr/include/quorvale_id3tag.h' \
  'libquorvale-id3tag.so.1.0.0' \
  'libquorvale-id3tag.so.1 ' \
  '/pkgconfig/quorvale-id3tag.pc' \
  '/cmake/quorvale-id3tag/quorvale-id3tag-config.cmake' \
  '/usr/bin/quorvale-tag'; do
  grep -qF -- "$want" "$work/contents" || { echo "missing from the package: $want" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q 'libyyjson0' ||
  { echo "package does not depend on libyyjson0" >&2; exit 1; }
echo "debian package: ok"
