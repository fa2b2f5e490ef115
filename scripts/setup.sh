#!/usr/bin/env bash
# Installs what this project needs on a Debian 12 machine, skipping what is already there.
#
#   scripts/setup.sh [GROUP...]
#
# Groups: build (compiler, CMake, yyjson 0.12.0), test (GoogleTest), samples (encoders used to make
# sample files), interop (peer tagging tools), robust (fuzzing, FUSE), windows (mingw-w64, Wine,
# yyjson source for the DLL, LLVM's dlltool, clang and lld-link for the MSVC import library and its
# test), bench (Google Benchmark, TagLib), python (pytest, venv, pip, setuptools), package (dpkg
# tools, lintian, man-db).
# With no group: build and test.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test)

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: installing packages needs root (run as root or through sudo)" >&2
    exit 1
  fi
}

apt_updated=0
apt_install() {
  # Installs the named Debian packages that are not installed yet.
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  need_root
  if [ $apt_updated -eq 0 ]; then
    apt-get update -o DPkg::Lock::Timeout=600 -qq
    apt_updated=1
  fi
  echo "setup: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
    --no-install-recommends "${missing[@]}" >/dev/null
}

# The first Debian mirror this machine's apt sources name (deb822 or one-line format).
debian_mirror() {
  local uri=""
  if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
      /etc/apt/sources.list)
  fi
  if [ -z "$uri" ]; then
    echo "setup: no Debian mirror found in the apt sources" >&2
    exit 1
  fi
  echo "${uri%/}"
}

# Fetches one file from the mirror's pool and checks its SHA-256.
fetch_pool_file() {
  local pool_path=$1 sha=$2 out=$3
  local mirror
  mirror=$(debian_mirror)
  /usr/lib/apt/apt-helper download-file "$mirror/$pool_path" "$out" "SHA256:$sha" >/dev/null 2>&1 ||
    { echo "setup: cannot download $pool_path from the Debian mirror" >&2; exit 1; }
  echo "$sha  $out" | sha256sum -c --quiet - || { echo "setup: checksum mismatch for $pool_path" >&2; exit 1; }
}

install_yyjson() {
  # yyjson 0.12.0 is only in Debian's newer suites; its two binary packages depend on nothing but libc6,
  # so they are fetched from the pool of the machine's own mirror and installed as local files. The
  # apt sources are not changed.
  if [ "$(pkg-config --modversion yyjson 2>/dev/null)" = "0.12.0" ]; then
    return 0
  fi
  need_root
  local tmp
  tmp=$(mktemp -d)
  chmod 755 "$tmp"
  fetch_pool_file pool/main/y/yyjson/libyyjson0_0.12.0+ds-2_amd64.deb \
    174d98680c090277876b0d77f939fe1680eb352bcbfee934af8e00e138da2084 "$tmp/libyyjson0_0.12.0+ds-2_amd64.deb"
  fetch_pool_file pool/main/y/yyjson/libyyjson-dev_0.12.0+ds-2_amd64.deb \
    5f8b8a696facc112c7e1dc9ac1032f7b9ffd54d6995398e8dbd702d2ad94b336 "$tmp/libyyjson-dev_0.12.0+ds-2_amd64.deb"
  echo "setup: installing yyjson 0.12.0"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
    "$tmp/libyyjson0_0.12.0+ds-2_amd64.deb" "$tmp/libyyjson-dev_0.12.0+ds-2_amd64.deb" >/dev/null
  rm -rf "$tmp"
}

install_yyjson_source() {
  # The Windows DLL compiles yyjson from source: 0.10.0, the release whose source tarball the archive
  # serves (why not 0.12.0 like the Linux build: cmake/yyjson.cmake).
  local dest="$here/../third_party/yyjson-src"
  if [ -f "$dest/src/yyjson.c" ]; then
    return 0
  fi
  local tmp
  tmp=$(mktemp -d)
  chmod 755 "$tmp"
  fetch_pool_file pool/main/y/yyjson/yyjson_0.10.0+ds.orig.tar.xz \
    ae6fde69a193e10afab426ef13f113d6903446405f9db9ee98bfb572bd6c961a "$tmp/yyjson.tar.xz"
  mkdir -p "$dest"
  tar -xJf "$tmp/yyjson.tar.xz" -C "$dest" --strip-components=1
  rm -rf "$tmp"
}

for g in "${groups[@]}"; do
  case "$g" in
    build)
      apt_install g++ cmake make pkg-config file
      install_yyjson
      ;;
    test)
      apt_install googletest libgtest-dev binutils python3 strace
      ;;
    samples)
      apt_install lame flac ffmpeg
      ;;
    interop)
      apt_install lame flac ffmpeg python3-mutagen python3-pytest eyed3 id3v2 atomicparsley \
        vorbis-tools opus-tools \
        libtag1-dev kid3-cli
      ;;
    robust)
      apt_install clang libclang-rt-14-dev libfuse3-dev fuse3 valgrind e2fsprogs python3 xfsprogs \
        btrfs-progs
      ;;
    windows)
      apt_install g++-mingw-w64-x86-64-posix wine64 wine xz-utils llvm lld clang mono-mcs mono-runtime
      install_yyjson_source
      ;;
    bench)
      apt_install libbenchmark-dev libtag1-dev lame flac ffmpeg
      ;;
    python)
      # The package is built with Debian's setuptools (pip --no-build-isolation) in a venv.
      apt_install python3 python3-pytest python3-venv python3-pip python3-setuptools python3-wheel
      ;;
    package)
      apt_install dpkg-dev fakeroot binutils lintian man-db
      ;;
    *)
      echo "setup: unknown group '$g'" >&2
      exit 2
      ;;
  esac
done
