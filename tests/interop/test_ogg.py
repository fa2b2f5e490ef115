"""Ogg Vorbis and Opus against the peers: files made by oggenc, opusenc and ffmpeg, tagged by
vorbiscomment and mutagen (covers included), read by the library; then written by the library
and checked by ogginfo/opusinfo, mutagen, TagLib and ffmpeg's decoder."""

import base64
import shutil

import pytest
from mutagen.flac import Picture
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

import interop_util as iu

FIELDS = ("title", "artist", "album", "genre", "date", "track")
KEY = {"title": "TITLE", "artist": "ARTIST", "album": "ALBUM", "genre": "GENRE", "date": "DATE",
       "track": "TRACKNUMBER"}


def picture_comment(data, mime, kind):
    p = Picture()
    p.type, p.mime, p.data, p.desc = kind, mime, data, "peer"
    return base64.b64encode(p.write()).decode("ascii")


def tag_vorbiscomment(path, media):
    iu.run(["vorbiscomment", "-w", "-t", "TITLE=Vorbis Tïtle", "-t", "ARTIST=Peer", "-t",
            "ALBUM=Alb", "-t", "GENRE=Jazz", "-t", "DATE=2019", "-t", "TRACKNUMBER=5", "-t",
            "COMMENT=kept as it is", "-t", "ARTIST=Second artist", path])


def tag_mutagen_covers(path, media):
    f = (OggVorbis if str(path).endswith(".ogg") else OggOpus)(path)
    f["TITLE"] = ["Mutagen"]
    f["ALBUM"] = ["Album ✓"]
    f["TRACKNUMBER"] = ["3/12"]
    f["REPLAYGAIN_TRACK_GAIN"] = ["-3.2 dB"]
    # A back cover first, then the (large) front cover: the front one is the cover.
    f["METADATA_BLOCK_PICTURE"] = [
        picture_comment(media.picture_bytes("blue.png"), "image/png", 4),
        picture_comment(media.picture_bytes("noise.jpg"), "image/jpeg", 3)]
    f.save()


def tag_mutagen_coverart(path, media):
    f = OggOpus(path) if str(path).endswith(".opus") else OggVorbis(path)
    f["title"] = ["Legacy"]
    f["COVERART"] = [base64.b64encode(media.picture_bytes("red.jpg")).decode("ascii")]
    f["COVERARTMIME"] = ["image/jpeg"]
    f.save()


def untagged(path, media):
    pass


# name: (base file, tagger, expected record, expected cover picture or None)
CASES = {
    "oggenc-vorbiscomment": ("oggenc.ogg", tag_vorbiscomment,
                             {"title": "Vorbis Tïtle", "artist": "Second artist", "album": "Alb",
                              "genre": "Jazz", "date": "2019", "track": "5"}, None),
    "ffmpeg-vorbis-mutagen": ("ffmpeg.ogg", tag_mutagen_covers,
                              {"title": "Mutagen", "album": "Album ✓", "track": "3/12"},
                              ("noise.jpg", "image/jpeg")),
    "opusenc-mutagen": ("opusenc.opus", tag_mutagen_covers,
                        {"title": "Mutagen", "album": "Album ✓", "track": "3/12"},
                        ("noise.jpg", "image/jpeg")),
    "ffmpeg-opus-coverart": ("ffmpeg.opus", tag_mutagen_coverart, {"title": "Legacy"},
                             ("red.jpg", "image/jpeg")),
    "oggenc-untagged": ("oggenc.ogg", untagged, {}, None),
}


@pytest.fixture(scope="session")
def ogg_media(media):
    folder = media.folder
    wav = folder / "tone.wav"
    if not (folder / "oggenc.ogg").exists():
        iu.run(["oggenc", "--quiet", "-o", folder / "oggenc.ogg", wav])
        iu.run(["opusenc", "--quiet", wav, folder / "opusenc.opus"])
        ff = ["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", wav]
        iu.run(ff + ["-c:a", "libvorbis", folder / "ffmpeg.ogg"])
        iu.run(ff + ["-c:a", "libopus", folder / "ffmpeg.opus"])
    return media


@pytest.fixture
def ogg_file(request, ogg_media, tmp_path):
    base, tag, expected, cover = CASES[request.param]
    path = tmp_path / ("%s.%s" % (request.param, base.rsplit(".", 1)[1]))
    shutil.copyfile(ogg_media.audio(base), path)
    tag(path, ogg_media)
    return path, expected, cover


def comments(path):
    """Every comment as mutagen reads it, (KEY upper-cased, value) in file order, and the vendor."""
    f = OggOpus(path) if str(path).endswith(".opus") else OggVorbis(path)
    return [(k.upper(), v) for k, v in f.tags], f.tags.vendor


def checker_clean(path):
    """ogginfo or opusinfo finds nothing wrong: exit 0 and no warning or error line."""
    tool = "opusinfo" if str(path).endswith(".opus") else "ogginfo"
    out = iu.run([tool, path])
    bad = [line for line in out.splitlines() if "WARNING" in line.upper() or
           "ERROR" in line.upper()]
    assert bad == [], out


def decoded_md5(path):
    return iu.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:a", "-f", "md5",
                   "-"]).strip()


@pytest.mark.parametrize("ogg_file", list(CASES), indirect=True)
def test_we_read_what_peers_wrote(ogg_file, lib, ogg_media, tmp_path):
    path, expected, cover = ogg_file
    got = lib.read(path)
    assert got["format"] == ("opus" if str(path).endswith(".opus") else "ogg")
    assert {k: got[k] for k in FIELDS} == {k: expected.get(k, "") for k in FIELDS}
    assert got["has_cover"] == (cover is not None)
    if cover:
        assert got["cover_mime"] == cover[1]
        out = tmp_path / "cover.bin"
        lib.extract_cover(path, out)
        assert iu.read_bytes(out) == ogg_media.picture_bytes(cover[0])


@pytest.mark.parametrize("ogg_file", list(CASES), indirect=True)
def test_we_write_peers_agree(ogg_file, lib, ogg_media, taglib_reader, tmp_path):
    path, expected, cover = ogg_file
    before, vendor = comments(path)
    audio = decoded_md5(path)
    new = {"title": "Nouveau titre", "artist": "Écrit", "date": "2024"}
    lib.write(path, new)

    checker_clean(path)
    assert decoded_md5(path) == audio
    after, vendor_after = comments(path)
    assert vendor_after == vendor
    # The named fields' comments first, then every other comment in its old order.
    named = [(KEY[k], new[k]) for k in ("title", "artist", "date")]
    assert after == named + [c for c in before if c[0] not in ("TITLE", "ARTIST", "DATE")]
    assert {k: v for k, v in lib.read(path).items() if k in FIELDS} == \
        {k: new.get(k, expected.get(k, "")) for k in FIELDS}

    seen = iu.taglib_read(taglib_reader, str(path), tmp_path / "taglib")
    for key in ("title", "artist", "date"):
        assert seen[KEY[key]] == [new[key]], key

    # A new front cover, larger than a page: the header pages grow and every audio page is
    # renumbered.
    lib.set_cover(path, ogg_media.picture(("noise.jpg")))
    checker_clean(path)
    assert decoded_md5(path) == audio
    f = OggOpus(path) if str(path).endswith(".opus") else OggVorbis(path)
    pictures = [Picture(base64.b64decode(v)) for v in f.get("METADATA_BLOCK_PICTURE", [])]
    noise = ogg_media.picture_bytes("noise.jpg")
    assert [(p.type, p.mime, p.data) for p in pictures if p.type == 3] == \
        [(3, "image/jpeg", noise)]
    assert "COVERART" not in f
    seen = iu.taglib_read(taglib_reader, str(path), tmp_path / "taglib2")
    fronts = [i for i, p in enumerate(seen["pictures"]) if p["type"] == 3]
    assert len(fronts) == 1
    assert iu.read_bytes(tmp_path / "taglib2" / ("picture-%d" % fronts[0])) == noise

    # The cover removed again: the header pages shrink; pictures of other types stay.
    lib.write(path, '{"cover":null}')
    checker_clean(path)
    assert decoded_md5(path) == audio
    f = OggOpus(path) if str(path).endswith(".opus") else OggVorbis(path)
    left = [Picture(base64.b64decode(v)).type for v in f.get("METADATA_BLOCK_PICTURE", [])]
    assert 3 not in left
    assert lib.read(path)["has_cover"] == bool(left)
