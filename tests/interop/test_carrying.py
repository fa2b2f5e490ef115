"""A write changes only what it was asked to change. Rich files made by mutagen and metaflac (many
frames, comments and pictures) are written with a named field, with {} and with a new cover; a peer
then compares every carried frame, comment and picture with the old file, and id3_read of the
result is compared with what the old file read as."""

import shutil

import pytest
from mutagen.flac import FLAC
from mutagen.id3 import (APIC, COMM, ID3, TALB, TCOM, TCON, TDRC, TIT2, TPE1, TPE2, TPOS, TRCK,
                         TXXX, UFID, USLT)

import interop_util as iu
from test_peer_writes import plain_v24_frame_sizes, unsynchronise_v23_tag, \
    unsynchronise_v24_frames


# --- MP3 ------------------------------------------------------------------------------------------

def mutagen_rich_id3(version):
    """Album artist, disc, composer, comment, lyrics, ReplayGain, a MusicBrainz id, a front and a
    back cover, and two artists."""
    def tag(path, media):
        tags = ID3()
        tags.add(TIT2(encoding=1, text=["Old title"]))
        tags.add(TPE1(encoding=1, text=["One", "Two"]))
        tags.add(TALB(encoding=0, text=["Album"]))
        tags.add(TCON(encoding=1, text=["Jazz"]))
        tags.add(TDRC(encoding=1, text=["1999-02-03"]))
        tags.add(TRCK(encoding=0, text=["4/9"]))
        tags.add(TPE2(encoding=1, text=["Album Ärtist"]))
        tags.add(TPOS(encoding=0, text=["1/2"]))
        tags.add(TCOM(encoding=1, text=["Composer ✓"]))
        tags.add(COMM(encoding=1, lang="eng", desc="", text=["a comment"]))
        tags.add(USLT(encoding=1, lang="eng", desc="", text="la la la\n" * 200))
        tags.add(TXXX(encoding=1, desc="REPLAYGAIN_TRACK_GAIN", text=["-6.50 dB"]))
        tags.add(UFID(owner="http://musicbrainz.org", data=b"0f2c-4d5e"))
        tags.add(APIC(encoding=1, mime="image/jpeg", type=3, desc="front",
                      data=media.picture_bytes("noise.jpg")))
        tags.add(APIC(encoding=1, mime="image/png", type=4, desc="back",
                      data=media.picture_bytes("blue.png")))
        if version == 3:
            tags.update_to_v23()
        tags.save(path, v2_version=version)
    return tag


def then(*steps):
    def tag(path, media):
        for step in steps:
            step(path, media)
    return tag


MP3_FILES = {
    "v23-unsynchronised": then(mutagen_rich_id3(3),
                               lambda path, media: unsynchronise_v23_tag(path)),
    "v24-frame-flags": then(mutagen_rich_id3(4),
                            lambda path, media: unsynchronise_v24_frames(path)),
    "v24-plain-sizes": then(mutagen_rich_id3(4), lambda path, media: plain_v24_frame_sizes(path)),
}
WRITES = ["title", "nothing", "cover"]


def frames_by_key(path):
    """Every frame as mutagen sees it (version 2.3 dates joined into TDRC), by its hash key."""
    return {key: repr(frame) for key, frame in ID3(path).items()}


def do_write(kind, lib, path, media):
    if kind == "title":
        lib.write(path, {"title": "New ✓"})
    elif kind == "nothing":
        lib.write(path, "{}")
    else:
        lib.set_cover(path, media.picture("yellow.png"))


def expected_read(before, kind):
    expected = dict(before)
    if kind == "title":
        expected["title"] = "New ✓"
    if kind == "cover":
        expected.update(has_cover=True, cover_mime="image/png")
    return expected


@pytest.mark.parametrize("kind", WRITES)
@pytest.mark.parametrize("name", sorted(MP3_FILES))
def test_mp3_write_carries_every_frame_it_was_not_asked_to_change(name, kind, media, lib,
                                                                  tmp_path):
    path = media.copy("lame.mp3", tmp_path, name + ".mp3")
    MP3_FILES[name](path, media)
    before_frames = frames_by_key(path)
    before_read = lib.read(path)
    cover = lib.extract_cover(path, tmp_path / "before.bin")
    audio = iu.audio_bytes(path)
    assert {"TPE2", "TPOS", "TCOM", "COMM::eng", "USLT::eng", "TXXX:REPLAYGAIN_TRACK_GAIN",
            "UFID:http://musicbrainz.org", "APIC:front", "APIC:back"} <= set(before_frames)

    do_write(kind, lib, path, media)
    after_frames = frames_by_key(path)
    expected = dict(before_frames)
    if kind == "title":
        expected["TIT2"] = repr(TIT2(encoding=3, text=["New ✓"]))
    if kind == "cover":
        expected["APIC:"] = repr(APIC(encoding=3, mime="image/png", type=3, desc="",
                                      data=media.picture_bytes("yellow.png")))
        del expected["APIC:front"]
    assert after_frames == expected
    assert lib.read(path) == expected_read(before_read, kind)
    assert iu.audio_bytes(path) == audio
    # The cover id3_extract_cover gives is the last picture in the tag.
    if kind == "cover":
        assert lib.extract_cover(path, tmp_path / "after.bin") == media.picture_bytes("yellow.png")
    else:
        assert lib.extract_cover(path, tmp_path / "after.bin") == cover


# --- FLAC -----------------------------------------------------------------------------------------

LYRICS = "LYRICS=" + "la la la " * 300  # 2,707 bytes, carried whole


SECOND_BLOCK = [("GENRE", "Jazz"), ("MUSICBRAINZ_TRACKID", "0f2c-4d5e"), ("title", "Later title")]


def metaflac_rich(path, media):
    """Several values of one key, keys the library does not read, long lyrics, three pictures and
    a second VORBIS_COMMENT block after the first (no tool writes one: it is put in by hand after
    metaflac, which itself shows only the first block)."""
    iu.run(["metaflac", "--remove-all-tags", "--set-tag=TITLE=Old title",
            "--set-tag=ARTIST=One", "--set-tag=Artist=Two", "--set-tag=ALBUMARTIST=Album Ärtist",
            "--set-tag=DISCNUMBER=1", "--set-tag=REPLAYGAIN_TRACK_GAIN=-6.50 dB",
            "--set-tag=" + LYRICS, "--set-tag=date=1999",
            "--import-picture-from=3|image/jpeg|front||%s" % media.picture("red.jpg"),
            "--import-picture-from=4|image/png|back||%s" % media.picture("blue.png"),
            "--import-picture-from=5|image/jpeg|leaflet||%s" % media.picture("green.jpg"),
            path])
    data = iu.read_bytes(path)
    blocks, audio_at = iu.flac_blocks(data)
    vendor = b"second block"
    comments = [("%s=%s" % c).encode() for c in SECOND_BLOCK]
    body = len(vendor).to_bytes(4, "little") + vendor + len(comments).to_bytes(4, "little")
    body += b"".join(len(c).to_bytes(4, "little") + c for c in comments)
    out = b"fLaC"
    for i, (btype, bbody) in enumerate(blocks):
        out += bytes([btype]) + len(bbody).to_bytes(3, "big") + bbody
        if btype == 4:
            out += bytes([4]) + len(body).to_bytes(3, "big") + body
    # The flag of the last block is set again on what is now the last block.
    last = out.rfind(bytes([blocks[-1][0]]) + len(blocks[-1][1]).to_bytes(3, "big") +
                     blocks[-1][1])
    out = out[:last] + bytes([out[last] | 0x80]) + out[last + 1:]
    with open(path, "wb") as f:
        f.write(out + data[audio_at:])


def flac_pictures(path):
    return [(p.type, p.mime, p.desc, p.width, p.height, p.depth, p.data)
            for p in FLAC(path).pictures]


@pytest.mark.parametrize("kind", WRITES)
def test_flac_write_carries_every_comment_and_picture(kind, media, lib, tmp_path):
    path = media.copy("flac.flac", tmp_path, "rich.flac")
    metaflac_rich(path, media)
    tags = iu.metaflac_tags(path) + SECOND_BLOCK
    assert len([k for k, _ in tags if k.upper() == "ARTIST"]) == 2
    pictures = flac_pictures(path)
    assert [p[0] for p in pictures] == [3, 4, 5]
    before_read = lib.read(path)
    assert before_read["title"] == "Later title" and before_read["genre"] == "Jazz"
    audio = iu.audio_bytes(path)

    do_write(kind, lib, path, media)
    expected_tags = tags
    if kind == "title":
        expected_tags = [("TITLE", "New ✓")] + [(k, v) for k, v in tags if k.upper() != "TITLE"]
    assert iu.metaflac_tags(path) == expected_tags
    expected_pictures = pictures
    if kind == "cover":
        expected_pictures = pictures[1:] + [(3, "image/png", "", 0, 0, 0,
                                             media.picture_bytes("yellow.png"))]
    assert flac_pictures(path) == expected_pictures
    assert lib.read(path) == expected_read(before_read, kind)
    assert iu.audio_bytes(path) == audio
    assert iu.decoded_md5(path) == iu.decoded_md5(media.audio("flac.flac"))


def test_flac_behind_an_id3_tag_is_written_as_flac(media, lib, tmp_path):
    """mutagen puts an ID3v2 tag in front of a FLAC stream; the library reads and writes the
    stream's comments, keeps that tag byte for byte, and metaflac reads the result."""
    path = tmp_path / "id3.flac"
    shutil.copyfile(media.audio("flac.flac"), path)
    iu.run(["metaflac", "--set-tag=TITLE=flac title", "--set-tag=ALBUM=Album", path])
    tags = ID3()
    tags.add(TIT2(encoding=3, text=["id3 title"]))
    tags.save(path, v2_version=4)
    data = iu.read_bytes(path)
    front = data[:iu.mp3_audio_offset(data)]
    assert data[len(front):len(front) + 4] == b"fLaC"
    read = lib.read(path)
    assert (read["format"], read["title"], read["album"]) == ("flac", "flac title", "Album")

    lib.write(path, {"title": "New"})
    after = iu.read_bytes(path)
    assert after.startswith(front)
    assert dict(iu.metaflac_tags(path)) == {"TITLE": "New", "ALBUM": "Album"}
    assert lib.read(path)["title"] == "New"
    assert ID3(path)["TIT2"].text == ["id3 title"]
