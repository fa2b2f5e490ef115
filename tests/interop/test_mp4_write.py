"""We write M4A files, peers read them: id3_write and id3_set_cover on files made by ffmpeg (moov
first and last) and tagged by mutagen, AtomicParsley, ffmpeg and kid3-cli. Afterwards mutagen,
ffprobe and AtomicParsley report the same items as before except the named ones, the decoded audio
is identical and decodes without a message, every chunk offset points at the same sample bytes,
and mutagen and TagLib read the values written."""

import re
import struct
import subprocess

import pytest
from mutagen.mp4 import MP4, MP4Cover

import interop_util as iu

WRITTEN = {"title": 'Grüße aus 東京 😀 "live" \\ A/B', "artist": "Sigur Rós",
           "album": "Ágætis byrjun ✓", "genre": "Post-rock", "date": "2024-05-01",
           "track": "3/12"}
# The items the write names, by their types.
NAMED_ITEMS = {"\xa9nam", "\xa9ART", "\xa9alb", "\xa9gen", "gnre", "\xa9day", "trkn", "covr"}
NAMED_FFPROBE = {"title", "artist", "album", "genre", "date", "track"}

STARTS = ["ffmpeg.m4a", "faststart.m4a", "mutagen-mp4", "mutagen-mp4-png", "atomicparsley",
          "ffmpeg-m4a", "kid3-m4a", "faststart-mutagen"]


@pytest.fixture(scope="module")
def m4a_start(media, start_file, tmp_path_factory):
    """A private copy of a start file: a base file, a peer-writes case, or one of the files made
    here: ffmpeg's AAC with moov moved before mdat, and that file tagged by mutagen (which pads
    the item list with a free atom)."""
    folder = tmp_path_factory.mktemp("mp4-starts")
    faststart = folder / "faststart.m4a"
    iu.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", media.audio("tone.wav"), "-c:a",
            "aac", "-b:a", "64k", "-movflags", "+faststart", faststart])
    tagged = folder / "faststart-mutagen.m4a"
    tagged.write_bytes(faststart.read_bytes())
    f = MP4(tagged)
    f["\xa9nam"] = ["Old title"]
    f["\xa9cmt"] = ["kept comment"]
    f["----:com.apple.iTunes:MOOD"] = [b"calm"]
    f["covr"] = [MP4Cover(media.picture_bytes("red.jpg"), MP4Cover.FORMAT_JPEG),
                 MP4Cover(media.picture_bytes("blue.png"), MP4Cover.FORMAT_PNG)]
    f.save()
    made = {"faststart.m4a": faststart, "faststart-mutagen": tagged}

    def copy(start, dest):
        if start in made:
            target = dest / made[start].name
            target.write_bytes(made[start].read_bytes())
            return target
        return start_file(start, dest)
    return copy


# --- An independent walker over the atoms ---------------------------------------------------------

def atoms(data, start, end):
    """(type, payload start, atom end) of each atom in data[start:end]."""
    out = []
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        header = 8
        if size == 1:
            size, header = struct.unpack(">Q", data[pos + 8:pos + 16])[0], 16
        elif size == 0:
            size = end - pos
        assert size >= header and pos + size <= end, "damaged atom at %d" % pos
        out.append((kind.decode("latin-1"), pos + header, pos + size))
        pos += size
    assert pos == end
    return out


def child(data, parent, kind):
    for k, start, end in atoms(data, parent[1], parent[2]):
        if k == kind:
            return (k, start, end)
    return None


def chunk_offsets(data):
    """Every chunk offset of every track, in order."""
    moov = [a for a in atoms(data, 0, len(data)) if a[0] == "moov"][0]
    offsets = []
    for trak in atoms(data, moov[1], moov[2]):
        if trak[0] != "trak":
            continue
        stbl = child(data, child(data, child(data, trak, "mdia"), "minf"), "stbl")
        for kind, start, end in atoms(data, stbl[1], stbl[2]):
            if kind in ("stco", "co64"):
                count = struct.unpack(">I", data[start + 4:start + 8])[0]
                width = 4 if kind == "stco" else 8
                fmt = ">I" if kind == "stco" else ">Q"
                offsets += [struct.unpack(fmt, data[start + 8 + i * width:start + 8 + (i + 1) *
                                                    width])[0] for i in range(count)]
    return offsets


def samples_at_offsets(path):
    """The 32 bytes at each chunk offset."""
    data = iu.read_bytes(path)
    return [data[o:o + 32] for o in chunk_offsets(data)]


def top_level(path):
    data = iu.read_bytes(path)
    return [(kind, data[start:end] if kind != "moov" else None)
            for kind, start, end in atoms(data, 0, len(data))]


# --- What the peers report -------------------------------------------------------------------------

def mutagen_items(path):
    tags = MP4(path).tags or {}
    return {key: [bytes(v) if isinstance(v, (bytes, MP4Cover)) else v for v in values]
            for key, values in tags.items()}


def atomicparsley_items(path):
    """AtomicParsley's listing, one line per item, without the named ones."""
    out = iu.run(["AtomicParsley", path, "-t"])
    lines = []
    for line in out.splitlines():
        m = re.match(r'Atom "(.*?)" contains', line)
        if m and m.group(1) in NAMED_ITEMS:
            continue
        if m or line.startswith("Atom"):
            lines.append(line)
    return lines


def peer_view(path):
    items = {k: v for k, v in mutagen_items(path).items() if k not in NAMED_ITEMS}
    ffprobe = {k: v for k, v in iu.ffprobe_tags(path).items() if k not in NAMED_FFPROBE}
    return items, ffprobe, atomicparsley_items(path)


def decode_messages(path):
    """What ffmpeg prints while decoding the whole file: nothing for a sound file."""
    proc = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-f", "null",
                           "-"], capture_output=True, env=iu.PEER_ENV, timeout=120)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.parametrize("start,cover", [(s, ("green.jpg", "yellow.png", "noise.jpg")[i % 3])
                                         for i, s in enumerate(STARTS)])
def test_we_write_m4a_peers_read(start, cover, m4a_start, media, lib, taglib_reader, tmp_path):
    path = m4a_start(start, tmp_path)
    view_before = peer_view(path)
    decoded_before = iu.decoded_md5(path)
    samples_before = samples_at_offsets(path)
    covers_before = mutagen_items(path).get("covr", [])
    outside_before = [a for a in top_level(path) if a[0] not in ("moov", "free", "skip")]

    lib.write(path, WRITTEN)
    lib.set_cover(path, media.picture(cover))
    picture = media.picture_bytes(cover)

    assert peer_view(path) == view_before
    assert iu.decoded_md5(path) == decoded_before
    assert decode_messages(path) == (0, b"")
    assert samples_at_offsets(path) == samples_before
    assert [a for a in top_level(path) if a[0] not in ("moov", "free", "skip")] == outside_before

    # mutagen and TagLib read what was written; the other pictures stay after the new front one.
    items = mutagen_items(path)
    assert items["\xa9nam"] == [WRITTEN["title"]]
    assert items["\xa9ART"] == [WRITTEN["artist"]]
    assert items["\xa9alb"] == [WRITTEN["album"]]
    assert items["\xa9gen"] == [WRITTEN["genre"]]
    assert items["\xa9day"] == [WRITTEN["date"]]
    assert items["trkn"] == [(3, 12)]
    assert items["covr"] == [picture] + covers_before[1:]
    assert MP4(path).tags["covr"][0].imageformat == (
        MP4Cover.FORMAT_PNG if cover.endswith(".png") else MP4Cover.FORMAT_JPEG)
    seen = iu.taglib_read(taglib_reader, path, tmp_path / "pictures")
    for key, field in (("TITLE", "title"), ("ARTIST", "artist"), ("ALBUM", "album"),
                       ("GENRE", "genre"), ("DATE", "date"), ("TRACKNUMBER", "track")):
        assert seen[key] == [WRITTEN[field]], key
    assert (tmp_path / "pictures" / "picture-0").read_bytes() == picture

    # Our own reading, and writing the same again changes nothing.
    got = lib.read(path)
    assert {k: got[k] for k in WRITTEN} == WRITTEN
    first = iu.read_bytes(path)
    lib.write(path, "{}")
    lib.write(path, {k: got[k] for k in WRITTEN})
    assert iu.read_bytes(path) == first


def test_fragmented_m4a_is_refused_and_left_alone(media, lib, tmp_path):
    path = tmp_path / "fragmented.m4a"
    iu.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", media.audio("tone.wav"), "-c:a",
            "aac", "-b:a", "64k", "-movflags", "+frag_keyframe+empty_moov", path])
    before = iu.read_bytes(path)
    assert b"moof" in before
    assert lib.write_result(path, '{"title":"x"}') == (-1,
                                                        "fragmented MP4 (moof) write unsupported")
    assert iu.read_bytes(path) == before


def test_m4a_cut_short_is_refused_and_left_alone(media, lib, tmp_path):
    """An M4A whose media were cut off: ffmpeg's file with moov first, ending with moov, so that
    every chunk offset points past the end of the file, where a moov that grows would come to lie.
    The title write is refused, and the file stays as it was."""
    made = tmp_path / "faststart.m4a"
    iu.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", media.audio("tone.wav"), "-c:a",
            "aac", "-b:a", "64k", "-movflags", "+faststart", made])
    whole = iu.read_bytes(made)
    moov_end = [end for kind, _, end in atoms(whole, 0, len(whole)) if kind == "moov"][0]
    cut = whole[:moov_end]
    path = tmp_path / "cut.m4a"
    path.write_bytes(cut)
    offsets = chunk_offsets(cut)
    assert offsets and min(offsets) >= len(cut)
    message = "MP4 chunk offset past the end of the file: offsets cannot be shifted"
    assert lib.write_result(path, '{"title":"a longer title than before"}') == (-1, message)
    assert iu.read_bytes(path) == cut
