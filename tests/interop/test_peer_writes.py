"""Peers write, we read: files tagged by mutagen, eyeD3, id3v2, kid3-cli, metaflac, AtomicParsley
and ffmpeg, read with id3_read and id3_extract_cover.

Each case names the base file, the tagging step and the object id3_read must return. Where the
library's reading rules give something other than what the tagging tool meant, the expected value
says so in a comment, and test_where_peers_differ shows what the peer itself reports."""

import pytest
from mutagen.flac import FLAC, Picture
from mutagen.id3 import APIC, ID3, TALB, TCON, TDRC, TIT2, TPE1, TRCK, ID3NoHeaderError
from mutagen.id3._util import unsynch
from mutagen.mp4 import MP4, MP4Cover

import interop_util as iu

# Values needing more than ISO-8859-1: accents, CJK, an emoji outside the BMP (a UTF-16 surrogate
# pair), a quotation mark and a backslash for the JSON text.
WIDE = {"title": 'Café "東京" 😀 \\ Nacht', "artist": "Ärtist 李小龍", "album": "Albüm Ω ✓",
        "genre": "Synthwave", "date": "2024-05-01", "track": "3/12"}
# The same for kid3-cli, whose command language cannot carry the quotation mark and backslash.
WIDE_PLAIN = dict(WIDE, title="Café 東京 😀 Nacht")
# Values that ISO-8859-1 can hold.
LATIN = {"title": "Café Noël", "artist": "Björk Guðmundsdóttir", "album": "Homogénic",
         "genre": "Trip-Hop", "date": "1997", "track": "7/12"}

ID3_FRAMES = (("title", TIT2), ("artist", TPE1), ("album", TALB), ("genre", TCON),
              ("date", TDRC), ("track", TRCK))


def result(values, fmt, cover_mime=None, **changes):
    """The object id3_read returns for these tag values."""
    obj = dict(values, **changes)
    obj.update(format=fmt, has_cover=cover_mime is not None)
    if cover_mime:
        obj["cover_mime"] = cover_mime
    return obj


# --- Tagging steps, one per peer -----------------------------------------------------------------

def mutagen_id3(values, encoding, version, pictures=(), artists=None):
    """mutagen's ID3 writer: text frames in one encoding, then APIC frames in the given order."""
    def tag(path, media):
        try:
            tags = ID3(path)
        except ID3NoHeaderError:
            tags = ID3()
        for key, frame in ID3_FRAMES:
            text = artists if key == "artist" and artists else [values[key]]
            tags.add(frame(encoding=encoding, text=text))
        for ptype, desc, name in pictures:
            mime = "image/png" if name.endswith(".png") else "image/jpeg"
            tags.add(APIC(encoding=encoding, mime=mime, type=ptype, desc=desc,
                          data=media.picture_bytes(name)))
        if version == 3:
            tags.update_to_v23()  # the date becomes TYER and TDAT
        tags.save(path, v2_version=version)
    return tag


def unsynchronise_v23_tag(path):
    """Sets the tag-level unsynchronisation flag of a v2.3 tag, passing its frame area through
    mutagen's unsynchronisation encoder (no tool here writes unsynchronised tags by itself)."""
    data = iu.read_bytes(path)
    assert data[3] == 3
    end = iu.mp3_audio_offset(data)
    area = unsynch.encode(data[10:end])
    assert area != data[10:end], "the tag holds no byte pair that unsynchronisation changes"
    header = data[:5] + bytes([data[5] | 0x80]) + iu.to_syncsafe(len(area))
    with open(path, "wb") as f:
        f.write(header + area + data[end:])


def unsynchronise_v24_frames(path):
    """Rewrites every frame of a v2.4 tag as an unsynchronised frame with a data length indicator
    (format flags 0x02 and 0x01), its body passed through mutagen's unsynchronisation encoder."""
    data = iu.read_bytes(path)
    assert data[3] == 4
    frames = b""
    changed = False
    for fid, flags, body in iu.id3_frames(data):
        encoded = unsynch.encode(body)
        changed |= encoded != body
        new_body = iu.to_syncsafe(len(body)) + encoded
        frames += (fid.encode("latin-1") + iu.to_syncsafe(len(new_body)) + b"\x00" +
                   bytes([flags | 0x03]) + new_body)
    assert changed, "no frame holds a byte pair that unsynchronisation changes"
    frames += b"\x00" * 64
    end = iu.mp3_audio_offset(data)
    with open(path, "wb") as f:
        f.write(data[:6] + iu.to_syncsafe(len(frames)) + frames + data[end:])


def plain_v24_frame_sizes(path):
    """Rewrites every frame size of a v2.4 tag as a plain 32-bit integer, as older iTunes wrote
    them."""
    data = iu.read_bytes(path)
    assert data[3] == 4
    frames = b""
    for fid, flags, body in iu.id3_frames(data):
        frames += (fid.encode("latin-1") + len(body).to_bytes(4, "big") + b"\x00" +
                   bytes([flags]) + body)
    frames += b"\x00" * 64
    end = iu.mp3_audio_offset(data)
    with open(path, "wb") as f:
        f.write(data[:6] + iu.to_syncsafe(len(frames)) + frames + data[end:])


def handmade_id3v22(values, picture):
    """An ID3v2.2 tag built here, as no peer writes one: 3-character identifiers and 24-bit sizes,
    texts in UTF-16 with byte-order mark, and a PIC frame of format JPG or PNG."""
    def frame(fid, body):
        return fid + len(body).to_bytes(3, "big") + body

    def tag(path, media):
        frames = b""
        for key, fid in (("title", b"TT2"), ("artist", b"TP1"), ("album", b"TAL"),
                         ("genre", b"TCO"), ("date", b"TYE"), ("track", b"TRK")):
            frames += frame(fid, b"\x01" + values[key].encode("utf-16") + b"\x00\x00")
        image_format = b"PNG" if picture.endswith(".png") else b"JPG"
        frames += frame(b"PIC", b"\x00" + image_format + b"\x03front\x00" +
                        media.picture_bytes(picture))
        frames += b"\x00" * 64
        data = iu.read_bytes(path)
        with open(path, "wb") as f:
            f.write(b"ID3\x02\x00\x00" + iu.to_syncsafe(len(frames)) + frames +
                    data[iu.mp3_audio_offset(data):])
    return tag


def then(*steps):
    def tag(path, media):
        for step in steps:
            step(path, media)
    return tag


def eyed3(values, extra, images=()):
    def tag(path, media):
        track, _, total = values["track"].partition("/")
        args = ["eyeD3", "--no-color", "-t", values["title"], "-a", values["artist"],
                "-A", values["album"], "-G", values["genre"], "--recording-date", values["date"],
                "-n", track] + (["-N", total] if total else []) + list(extra)
        for name, ptype, desc in images:
            args += ["--add-image", "%s:%s:%s" % (media.picture(name), ptype, desc)]
        iu.run(args + [path])
    return tag


def id3v2_tool(values, genre_number):
    def tag(path, media):
        iu.run(["id3v2", "-t", values["title"], "-a", values["artist"], "-A", values["album"],
                "-g", genre_number, "-y", values["date"], "-T", values["track"], path])
    return tag


def kid3(values, picture=None, config=()):
    """kid3-cli given one file, so that no other file of its folder is touched."""
    def tag(path, media):
        args = ["kid3-cli"]
        for setting in config:
            args += ["-c", "config " + setting]
        for key, frame in (("title", "title"), ("artist", "artist"), ("album", "album"),
                           ("genre", "genre"), ("date", "date"), ("track", "tracknumber")):
            args += ["-c", "set %s '%s'" % (frame, values[key])]
        if picture:
            args += ["-c", "set picture:'%s' 'front'" % media.picture(picture)]
        iu.run(args + ["-c", "save", path])
    return tag


def ffmpeg_metadata(values, picture=None, extra=()):
    """ffmpeg copies the stream into a new file with -metadata tags and an attached picture."""
    def tag(path, media):
        tmp = path.with_name("ffmpeg-out" + path.suffix)
        args = ["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", path]
        if picture:
            args += ["-i", media.picture(picture), "-map", "0:a", "-map", "1",
                     "-disposition:v", "attached_pic"]
        args += ["-c", "copy"]
        for key in ("title", "artist", "album", "genre", "date", "track"):
            args += ["-metadata", "%s=%s" % (key, values[key])]
        iu.run(args + list(extra) + [tmp])
        tmp.replace(path)
    return tag


def metaflac(values, artists, pictures):
    def tag(path, media):
        args = ["metaflac", "--remove-all-tags", "--set-tag=title=%s" % values["title"]]
        args += ["--set-tag=%s=%s" % (key, a) for key, a in zip(("Artist", "ARTIST"), artists)]
        args += ["--set-tag=Album=%s" % values["album"], "--set-tag=GENRE=%s" % values["genre"],
                 "--set-tag=date=%s" % values["date"],
                 "--set-tag=TRACKNUMBER=%s" % values["track"]]
        for ptype, desc, name in pictures:
            args.append("--import-picture-from=%d||%s||%s" % (ptype, desc, media.picture(name)))
        iu.run(args + [path])
    return tag


def mutagen_flac(values, pictures):
    def tag(path, media):
        f = FLAC(path)
        f.clear_pictures()
        for key in ("title", "artist", "album", "genre", "date"):
            f[key.upper()] = values[key]
        f["TRACKNUMBER"] = values["track"]
        for ptype, name in pictures:
            pic = Picture()
            pic.type = ptype
            pic.mime = "image/png" if name.endswith(".png") else "image/jpeg"
            pic.data = media.picture_bytes(name)
            f.add_picture(pic)
        f.save()
    return tag


def mutagen_mp4(values, trkn, covers):
    def tag(path, media):
        f = MP4(path)
        for key, atom in (("title", "\xa9nam"), ("artist", "\xa9ART"), ("album", "\xa9alb"),
                          ("genre", "\xa9gen"), ("date", "\xa9day")):
            f[atom] = [values[key]]
        f["trkn"] = [trkn]
        f["covr"] = [MP4Cover(media.picture_bytes(name), MP4Cover.FORMAT_PNG if
                              name.endswith(".png") else MP4Cover.FORMAT_JPEG)
                     for name in covers]
        f.save()
    return tag


def atomicparsley(values, artwork):
    def tag(path, media):
        args = ["AtomicParsley", path, "--title", values["title"], "--artist", values["artist"],
                "--album", values["album"], "--genre", values["genre"], "--year", values["date"],
                "--tracknum", values["track"]]
        for name in artwork:
            args += ["--artwork", media.picture(name)]
        iu.run(args + ["--overWrite"])
    return tag


# --- The cases -----------------------------------------------------------------------------------

# A case: base file, tagging step, expected id3_read object, expected cover (a picture name, or
# LAST_APIC for the picture of the tag's last APIC frame, or None).
LAST_APIC = "last APIC frame in the file"
KID3_V23 = ("Tag.id3v2Version ID3v2_3_0", "Tag.textEncoding TE_ISO8859_1")
KID3_V24 = ("Tag.id3v2Version ID3v2_4_0", "Tag.textEncoding TE_UTF8")

CASES = {
    # ID3v2.3, UTF-16 with byte-order mark. The date is read from TYER joined with the day and
    # month that mutagen moves into TDAT, as the peers read it.
    "mutagen-v23-utf16": ("lame.mp3",
                          mutagen_id3(WIDE, 1, 3, [(3, "Vorderseite ✓", "red.jpg")]),
                          result(WIDE, "mp3", "image/jpeg"), "red.jpg"),
    # ID3v2.4, UTF-8, two artists (NUL-separated: only the first is read) and two pictures.
    # mutagen orders frames by size, so the back cover (the larger JPEG) follows the front cover:
    # the last picture frame wins whatever its picture type.
    "mutagen-v24-utf8": ("ffmpeg.mp3",
                         mutagen_id3(WIDE, 3, 4, [(3, "front", "blue.png"),
                                                  (4, "back", "red.jpg")],
                                     artists=["Ärtist 李小龍", "Second Artist"]),
                         result(WIDE, "mp3", "image/jpeg"), "red.jpg"),
    # ID3v2.4 with ISO-8859-1 text, converted to UTF-8 on reading, and a picture frame whose size
    # needs three bytes of its syncsafe field.
    "mutagen-v24-latin1": ("lame.mp3",
                           mutagen_id3(LATIN, 0, 4, [(3, "Café", "noise.jpg")]),
                           result(LATIN, "mp3", "image/jpeg"), "noise.jpg"),
    # ID3v2.3 unsynchronised as a whole (tag flag 0x80): the FF 00 pairs of the JPEG are undone.
    "mutagen-v23-unsync": ("lame.mp3",
                           then(mutagen_id3(WIDE, 1, 3, [(3, "front", "noise.jpg")]),
                                lambda path, media: unsynchronise_v23_tag(path)),
                           result(WIDE, "mp3", "image/jpeg"), "noise.jpg"),
    # ID3v2.4 whose frame sizes are plain integers (older iTunes): the picture frame's size reads
    # differently as a syncsafe integer, and the plain reading is taken.
    "itunes-v24-plain-sizes": ("lame.mp3",
                               then(mutagen_id3(WIDE, 3, 4, [(3, "front", "noise.jpg")]),
                                    lambda path, media: plain_v24_frame_sizes(path)),
                               result(WIDE, "mp3", "image/jpeg"), "noise.jpg"),
    # ID3v2.2, built here (no peer writes it; mutagen and TagLib read it, see below).
    "handmade-v22": ("ffmpeg.mp3", handmade_id3v22(dict(WIDE, date="2024"), "red.jpg"),
                     result(WIDE, "mp3", "image/jpeg", date="2024"), "red.jpg"),
    # ID3v2.4 with every frame unsynchronised and carrying a data length indicator.
    "mutagen-v24-frame-unsync": ("lame.mp3",
                                 then(mutagen_id3(WIDE, 3, 4, [(3, "front", "red.jpg")]),
                                      lambda path, media: unsynchronise_v24_frames(path)),
                                 result(WIDE, "mp3", "image/jpeg"), "red.jpg"),
    # eyeD3 writes the track zero-padded (03/12); it is read verbatim. Of its two pictures the
    # one whose frame comes last in the tag is the cover.
    "eyed3-v24": ("lame.mp3",
                  eyed3(WIDE, [], [("red.jpg", "FRONT_COVER", "front"),
                                   ("blue.png", "BACK_COVER", "back")]),
                  result(WIDE, "mp3", "image/png", track="03/12"), LAST_APIC),
    # eyeD3 converting to ID3v2.3 with UTF-16: the date becomes TYER 2024 and TDAT 0105, read
    # together.
    "eyed3-v23-utf16": ("ffmpeg.mp3",
                        eyed3(WIDE, ["--to-v2.3", "--encoding", "utf16"],
                              [("red.jpg", "FRONT_COVER", "")]),
                        result(WIDE, "mp3", "image/jpeg", track="03/12"),
                        "red.jpg"),
    # id3v2 (id3lib) writes ID3v2.3 in ISO-8859-1 and an ID3v1 tag at the end. The numeric genre
    # reference (13) is kept verbatim, not translated into the name Pop.
    "id3v2-v23-latin1": ("lame.mp3", id3v2_tool(LATIN, "13"),
                         result(LATIN, "mp3", genre="(13)"), None),
    # kid3-cli through id3lib: ID3v2.3, ISO-8859-1 where it suffices and UTF-16 elsewhere, the date
    # split into TYER and TDAT (read together).
    "kid3-v23": ("lame.mp3", kid3(WIDE_PLAIN, "red.jpg", KID3_V23),
                 result(WIDE_PLAIN, "mp3", "image/jpeg"), "red.jpg"),
    "kid3-v24-utf8": ("ffmpeg.mp3", kid3(WIDE_PLAIN, "blue.png", KID3_V24),
                      result(WIDE_PLAIN, "mp3", "image/png"), "blue.png"),
    "ffmpeg-mp3-v24": ("lame.mp3", ffmpeg_metadata(WIDE, "red.jpg"),
                       result(WIDE, "mp3", "image/jpeg"), "red.jpg"),
    # ffmpeg's ID3v2.3: UTF-16 where needed, NUL-terminated texts, TYER 2024 and TDAT 0105.
    "ffmpeg-mp3-v23": ("ffmpeg.mp3", ffmpeg_metadata(WIDE, "red.jpg", ["-id3v2_version", "3"]),
                       result(WIDE, "mp3", "image/jpeg"), "red.jpg"),
    # FLAC comment keys in any letter case; of two ARTIST comments and of two PICTURE blocks the
    # last one wins.
    "metaflac": ("flac.flac",
                 metaflac(WIDE, ["First Artist", "Ärtist 李小龍"],
                          [(3, "front", "red.jpg"), (4, "back", "blue.png")]),
                 result(WIDE, "flac", "image/png"), "blue.png"),
    "mutagen-flac": ("ffmpeg.flac", mutagen_flac(WIDE, [(3, "red.jpg")]),
                     result(WIDE, "flac", "image/jpeg"), "red.jpg"),
    "kid3-flac": ("flac.flac", kid3(WIDE_PLAIN, "noise.jpg"),
                  result(WIDE_PLAIN, "flac", "image/jpeg"), "noise.jpg"),
    # ffmpeg writes lower-case keys and a picture of type 0 (other).
    "ffmpeg-flac": ("flac.flac", ffmpeg_metadata(WIDE, "blue.png"),
                    result(WIDE, "flac", "image/png"), "blue.png"),
    # MP4: of a covr item with two pictures only the first is read.
    "mutagen-mp4": ("ffmpeg.m4a", mutagen_mp4(WIDE, (3, 12), ["red.jpg", "blue.png"]),
                    result(WIDE, "mp4", "image/jpeg"), "red.jpg"),
    # A track without a total is the number alone; a PNG is told by its first byte.
    "mutagen-mp4-png": ("ffmpeg.m4a", mutagen_mp4(LATIN, (7, 0), ["blue.png"]),
                        result(LATIN, "mp4", "image/png", track="7"), "blue.png"),
    "atomicparsley": ("ffmpeg.m4a", atomicparsley(WIDE, ["red.jpg", "blue.png"]),
                      result(WIDE, "mp4", "image/jpeg"), "red.jpg"),
    "ffmpeg-m4a": ("ffmpeg.m4a", ffmpeg_metadata(WIDE, "red.jpg"),
                   result(WIDE, "mp4", "image/jpeg"), "red.jpg"),
    "kid3-m4a": ("ffmpeg.m4a", kid3(WIDE_PLAIN, "blue.png"),
                 result(WIDE_PLAIN, "mp4", "image/png"), "blue.png"),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_peer_written_file_gives_the_expected_tags(case, tagged, media, lib, tmp_path):
    _, _, expected, cover = CASES[case]
    path = tagged(case)
    assert lib.read(path) == expected
    if cover is None:
        assert lib.extract_cover_result(path, tmp_path / "none") == (-1, "no cover art")
        return
    want = iu.last_apic_picture(path) if cover == LAST_APIC else media.picture_bytes(cover)
    assert lib.extract_cover(path, tmp_path / "cover.bin") == want


def test_mp4_standard_genre_item_is_read(media, lib, tmp_path):
    """AtomicParsley stores a standard genre as the numeric gnre item and the year as the date
    item; both are read, the numeric genre by its ID3v1 name, as mutagen reports them."""
    path = media.copy("ffmpeg.m4a", tmp_path)
    iu.run(["AtomicParsley", path, "--genre", "Rock", "--year", "1999", "--overWrite"])
    data = iu.read_bytes(path)
    assert b"gnre" in data and b"\xa9gen" not in data and b"\xa9day" in data
    got = lib.read(path)
    assert (got["genre"], got["date"]) == ("Rock", "1999")
    assert lib.read_all(path)["properties"]["GENRE"] == ["Rock"]
    items = MP4(path).tags
    assert (items["\xa9gen"], items["\xa9day"]) == (["Rock"], ["1999"])


# What the peers themselves report where the library's reading rules give something else:
# (case, field, id3_read's value, the peer, the peer's view of the file, what the peer reports).
def mutagen_view(field):
    names = {"artist": "artist", "genre": "genre", "date": "date"}

    def view(path, reader, tmp_path):
        import mutagen
        return mutagen.File(path, easy=True)[names[field]]
    return view


def taglib_view(key):
    def view(path, reader, tmp_path):
        return iu.taglib_read(reader, path, tmp_path / "pictures")[key]
    return view


def ffprobe_view(key):
    def view(path, reader, tmp_path):
        return [iu.ffprobe_tags(path)[key]]
    return view


DIFFERENCES = [
    # Several values in one ID3v2.4 frame: the library keeps the first.
    ("mutagen-v24-utf8", "artist", "Ärtist 李小龍", "mutagen", mutagen_view("artist"),
     ["Ärtist 李小龍", "Second Artist"]),
    ("mutagen-v24-utf8", "artist", "Ärtist 李小龍", "TagLib", taglib_view("ARTIST"),
     ["Ärtist 李小龍", "Second Artist"]),
    # A numeric genre reference is kept verbatim; the peers translate it.
    ("id3v2-v23-latin1", "genre", "(13)", "mutagen", mutagen_view("genre"), ["Pop"]),
    ("id3v2-v23-latin1", "genre", "(13)", "TagLib", taglib_view("GENRE"), ["Pop"]),
    ("id3v2-v23-latin1", "genre", "(13)", "ffprobe", ffprobe_view("genre"), ["Pop"]),
    # Repeated FLAC comments: the library keeps the last; the peers list all of them.
    ("metaflac", "artist", "Ärtist 李小龍", "mutagen", mutagen_view("artist"),
     ["First Artist", "Ärtist 李小龍"]),
    ("metaflac", "artist", "Ärtist 李小龍", "TagLib", taglib_view("ARTIST"),
     ["First Artist", "Ärtist 李小龍"]),
]


@pytest.mark.parametrize("case,field,ours,peer,view,theirs", DIFFERENCES,
                         ids=["%s-%s-%s" % (d[0], d[1], d[3]) for d in DIFFERENCES])
def test_where_peers_differ(case, field, ours, peer, view, theirs, tagged, lib, taglib_reader,
                            tmp_path):
    path = tagged(case)
    assert lib.read(path)[field] == ours
    assert view(path, taglib_reader, tmp_path) == theirs


def mutagen_pictures(path):
    """Every picture mutagen finds, in file order."""
    if str(path).endswith(".flac"):
        return [p.data for p in FLAC(path).pictures]
    if str(path).endswith(".m4a"):
        return [bytes(c) for c in MP4(path)["covr"]]
    return [f.data for f in ID3(path).getall("APIC")]


@pytest.mark.parametrize("case,count", [("mutagen-v24-utf8", 2), ("eyed3-v24", 2),
                                        ("metaflac", 2), ("mutagen-mp4", 2),
                                        ("atomicparsley", 2)])
def test_several_pictures_one_cover(case, count, tagged, media, lib, tmp_path):
    """The peers list every picture; id3_extract_cover gives the one the reading rules choose
    (the last picture frame or block for ID3v2 and FLAC, the first picture of covr for MP4)."""
    path = tagged(case)
    pictures = mutagen_pictures(path)
    assert len(pictures) == count
    want = pictures[0] if str(path).endswith(".m4a") else pictures[-1]
    assert lib.extract_cover(path, tmp_path / "cover.bin") == want


@pytest.mark.parametrize("case", ["mutagen-v23-unsync", "mutagen-v24-frame-unsync"])
def test_unsynchronised_fixtures_are_valid_for_mutagen(case, tagged, media):
    """The hand-unsynchronised tags are read by mutagen as the values they were made from, so the
    expectations above test the library and not a broken fixture."""
    tags = ID3(tagged(case))
    assert str(tags["TIT2"]) == WIDE["title"]
    assert tags.getall("APIC")[0].data == media.picture_bytes(CASES[case][3])


def test_handmade_and_itunes_fixtures_read_alike_by_peers(tagged, media, lib, taglib_reader,
                                                         tmp_path):
    """mutagen and TagLib read the hand-built ID3v2.2 tag and the plain-size ID3v2.4 tag as the
    values they were made from, and so does the library."""
    for case, version in (("handmade-v22", (2, 2, 0)), ("itunes-v24-plain-sizes", (2, 4, 0))):
        path = tagged(case)
        expected = CASES[case][2]
        picture = media.picture_bytes(CASES[case][3])
        tags = ID3(path)
        assert tags.version == version
        for key, frame in ID3_FRAMES:
            assert str(tags[frame.__name__]) == expected[key], (case, key)
        assert [f.data for f in tags.getall("APIC")] == [picture]
        seen = iu.taglib_read(taglib_reader, path, tmp_path / case)
        for key, name in (("title", "TITLE"), ("artist", "ARTIST"), ("album", "ALBUM"),
                          ("genre", "GENRE"), ("date", "DATE"), ("track", "TRACKNUMBER")):
            assert seen[name] == [expected[key]], (case, key)
        assert [p["size"] for p in seen["pictures"]] == [len(picture)]
        assert iu.read_bytes(tmp_path / case / "picture-0") == picture
        assert lib.read(path) == expected
        assert lib.extract_cover(path, tmp_path / (case + ".bin")) == picture


def test_plain_size_fixture_needs_the_plain_reading(tagged):
    """In the plain-size tag, the picture frame's size read as a syncsafe integer leads into the
    picture, to no frame boundary: only the plain reading reaches the next frame."""
    data = iu.read_bytes(tagged("itunes-v24-plain-sizes"))
    end = iu.mp3_audio_offset(data)
    pos = 10
    while data[pos:pos + 4] != b"APIC":
        pos += 10 + int.from_bytes(data[pos + 4:pos + 8], "big")
    raw = data[pos + 4:pos + 8]
    plain, syncsafe = int.from_bytes(raw, "big"), iu.syncsafe(raw)
    assert plain != syncsafe
    after = data[pos + 10 + syncsafe:pos + 14 + syncsafe]
    assert pos + 10 + syncsafe < end and after[0] != 0 and not all(
        chr(b).isdigit() or "A" <= chr(b) <= "Z" for b in after)
