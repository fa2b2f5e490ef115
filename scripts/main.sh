#!/usr/bin/env bash
# Installs what is missing, builds the library and the command-line program, and reads the tags of
# the sample files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target quorvale-tag
build/cli/quorvale-tag read samples/sample.mp3
build/cli/quorvale-tag read samples/sample.flac samples/sample.m4a
