#!/usr/bin/env bash
# Ogg Vorbis and Opus against TagLib and the write floor, one run side by side: makes a 10 MB Opus
# file (opusenc's library through ffmpeg) and a 10 MB Vorbis file (ffmpeg's libvorbis), tags them
# with mutagen (six fields and a front cover sized so that the header packets end 500 bytes short
# of a full page, where an album of 1000 bytes adds a page), builds qid3_ogg_compare and runs it.
#
#   bench/ogg_compare.sh [ROUNDS]      (default 21; the build goes to build-bench/ unless
#                                       QID3_BENCH_BUILD names another folder)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QID3_BENCH_BUILD:-$root/build-bench}
rounds=${1:-21}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQID3_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target qid3_ogg_compare -j2 >/dev/null

dir=$(mktemp -d "${TMPDIR:-/tmp}/qid3-ogg-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
ff=(ffmpeg -v error -nostdin -y -f lavfi)
"${ff[@]}" -i "anoisesrc=duration=640:color=pink:amplitude=0.3" -ac 2 -ar 48000 -c:a libopus -vbr off \
  -b:a 128k "$dir/ten.opus"
"${ff[@]}" -i "anoisesrc=duration=560:color=pink:amplitude=0.3" -ac 2 -ar 44100 -c:a libvorbis \
  -b:a 192k "$dir/ten.ogg"
/usr/bin/python3 - "$dir" <<'PY'
import base64, os, sys
from mutagen.flac import Picture
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

def header_bytes(path, want):
    """Bytes of the header packets after the identification packet."""
    data, pos, packets, total = open(path, "rb").read(), 0, 0, 0
    while packets < want:
        lacing = data[pos + 27:pos + 27 + data[pos + 26]]
        for value in lacing:
            if packets > 0:
                total += value
            packets += value < 255
            if packets >= want:
                break
        pos += 27 + len(lacing) + sum(lacing)
    return total

for cls, name, want in ((OggOpus, "ten.opus", 2), (OggVorbis, "ten.ogg", 3)):
    path = os.path.join(sys.argv[1], name)
    size = 20000
    for _ in range(4):
        f = cls(path)
        for key, value in (("TITLE", "Benchmark Title"), ("ARTIST", "Benchmark Artist"),
                           ("ALBUM", "Alb"), ("GENRE", "Electronic"), ("DATE", "2024-05-01"),
                           ("TRACKNUMBER", "3/12")):
            f[key] = [value]
        picture = Picture()
        picture.type, picture.mime, picture.data = 3, "image/jpeg", os.urandom(size)
        f["METADATA_BLOCK_PICTURE"] = [base64.b64encode(picture.write()).decode("ascii")]
        f.save(padding=lambda info: 0)
        size += (64525 - header_bytes(path, want)) * 3 // 4
PY
"$build/bench/qid3_ogg_compare" "$rounds" "$dir/ten.opus" "$dir/ten.ogg"
