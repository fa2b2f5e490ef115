#!/usr/bin/env bash
# Makes the small sample files in samples/ that the tests read: one MP3, one FLAC and one M4A file,
# each with about a second of a sine tone, six text tags and a cover, and the two cover pictures.
#
#   scripts/make-samples.sh [OUTPUT_DIR]    (default: samples/ of this checkout)
#
# Needs ffmpeg (with libmp3lame and the native AAC encoder), flac and metaflac; scripts/setup.sh
# installs them with the group "samples". Running it again replaces the files; the tests compare
# tags and cover bytes, which stay the same even when a newer encoder changes the audio bytes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../samples}
mkdir -p "$out"
out=$(cd "$out" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

for tool in ffmpeg flac metaflac; do
  command -v "$tool" >/dev/null || { echo "make-samples: $tool not found (scripts/setup.sh samples)" >&2; exit 1; }
done

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# Output options that keep encoder names and versions out of the files.
exact=(-flags +bitexact -fflags +bitexact)

# Covers: a 32x32 JPEG and a 24x24 PNG of ffmpeg's test patterns.
ff -f lavfi -i testsrc=size=32x32:rate=1 -frames:v 1 -q:v 6 "${exact[@]}" "$tmp/cover.jpg"
ff -f lavfi -i testsrc2=size=24x24:rate=1 -frames:v 1 "${exact[@]}" "$tmp/cover.png"

# One second of a 440 Hz sine, mono, 16 kHz, as 16-bit PCM.
ff -f lavfi -i sine=frequency=440:sample_rate=16000:duration=1 -ac 1 -c:a pcm_s16le \
  "${exact[@]}" "$tmp/sine.wav"

# MP3: an ID3v2.3 tag. ffmpeg writes ASCII texts as ISO-8859-1 and the others as UTF-16 with a
# byte-order mark, the year as TYER, the track as given and the JPEG as a front-cover APIC frame.
ff -i "$tmp/sine.wav" -i "$tmp/cover.jpg" -map 0:a -map 1:v -c:a libmp3lame -b:a 32k -c:v copy \
  "${exact[@]}" -id3v2_version 3 -write_id3v1 0 \
  -metadata title="Señal de prueba" -metadata artist="Zoë Quorvale" \
  -metadata album="Muestras — uno" -metadata genre="Ambient" -metadata date="2026" \
  -metadata track="3/12" \
  -metadata:s:v title="Front" -metadata:s:v comment="Cover (front)" \
  "$tmp/sample.mp3"

# FLAC: one VORBIS_COMMENT block with the six tags and one front-cover PICTURE block.
flac --silent --force --no-seektable --padding=256 -o "$tmp/sample.flac" "$tmp/sine.wav"
metaflac --remove-all-tags \
  --set-tag="TITLE=Forêt d'été" --set-tag="ARTIST=Ångström Trio" \
  --set-tag="ALBUM=Échantillons" --set-tag="GENRE=Électronique" \
  --set-tag="DATE=2025-11-30" --set-tag="TRACKNUMBER=4" \
  --import-picture-from="3|image/png|Front||$tmp/cover.png" \
  "$tmp/sample.flac"

# M4A: AAC audio with the item list under moov/udta/meta/ilst; the PNG becomes the covr item.
# The date goes in as a ©day item, which the library does not read for MP4.
ff -i "$tmp/sine.wav" -i "$tmp/cover.png" -map 0:a -map 1:v -c:a aac -b:a 24k -c:v copy \
  -disposition:v attached_pic "${exact[@]}" \
  -metadata title="Ōmiya at night" -metadata artist="Søren Quorvale" \
  -metadata album="Überblick" -metadata genre="Jazz" -metadata date="2024" \
  -metadata track="7/9" \
  "$tmp/sample.m4a"

for f in cover.jpg cover.png sample.mp3 sample.flac sample.m4a; do
  size=$(stat -c %s "$tmp/$f")
  if [ "$size" -ge 51200 ]; then
    echo "make-samples: $f is $size bytes, more than 50 KB" >&2
    exit 1
  fi
  mv -f "$tmp/$f" "$out/$f"
  echo "make-samples: $out/$f ($size bytes)"
done
