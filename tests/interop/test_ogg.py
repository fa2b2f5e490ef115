"""Ogg Vorbis and Opus against the peers: files made by oggenc, opusenc and ffmpeg, tagged by
vorbiscomment and mutagen (covers included), read by the library; then written by the library
and checked by ogginfo/opusinfo, mutagen, TagLib and ffmpeg's decoder. Also what Vorbis comments
in FLAC share with them: long values and the comment count libFLAC reads."""

import base64
import shutil
import subprocess

import mutagen
import pytest
from mutagen.flac import Picture
from mutagen.ogg import OggPage
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


# --- Long values, the FLAC comment count, a comment packet begun on the first page ----------------

LONG_TITLE = "Long title " * 6364  # 70,004 characters; a named field was once cut to 1,017 bytes


@pytest.mark.parametrize("base", ["oggenc.ogg", "opusenc.opus", "flac.flac"])
def test_long_title_is_stored_whole(base, lib, ogg_media, taglib_reader, tmp_path):
    path = tmp_path / base
    shutil.copyfile(ogg_media.audio(base), path)
    lib.write(path, {"title": LONG_TITLE})
    assert lib.read(path)["title"] == LONG_TITLE
    assert mutagen.File(path)["title"] == [LONG_TITLE]
    assert iu.taglib_read(taglib_reader, str(path), tmp_path / "taglib")["TITLE"] == [LONG_TITLE]
    if base.endswith(".flac"):
        iu.run(["flac", "--test", "--silent", path])
    else:
        checker_clean(path)


def test_flac_comment_count_the_decoder_reads(lib, ogg_media, tmp_path):
    """libFLAC's decoder fails a stream whose comment block declares more than 100,000 comments,
    however short the block: a write of 100,000 passes `flac -t`, one of more is refused and leaves
    the file as it was."""
    limit = 100000
    # The limit as the installed libFLAC holds it: metaflac writes one comment more, which the
    # decoder then refuses.
    over = tmp_path / "over.flac"
    shutil.copyfile(ogg_media.audio("flac.flac"), over)
    listing = tmp_path / "comments.txt"
    listing.write_text("K=v\n" * (limit + 1))
    iu.run(["metaflac", "--remove-all-tags", "--import-tags-from=%s" % listing, over])
    test = subprocess.run(["flac", "--test", "--silent", over], capture_output=True, text=True)
    assert test.returncode != 0 and "BAD_METADATA" in test.stderr, test.stderr

    path = tmp_path / "count.flac"
    shutil.copyfile(ogg_media.audio("flac.flac"), path)
    iu.run(["metaflac", "--remove-all-tags", path])
    lib.write(path, {"properties": {"K": ["v"] * limit}})
    iu.run(["flac", "--test", "--silent", path])
    assert len(mutagen.File(path).tags) == limit
    before = iu.read_bytes(path)
    assert lib.write_result(path, '{"title":"one more"}') == \
        (-1, "too many comments for FLAC comment block (at most 100000)")
    assert iu.read_bytes(path) == before


def comment_packet_begun_on_the_first_page(path):
    """Pages the file's header packets again: the first page holds the identification packet and
    the first 255 bytes of the comment packet, which ends on the second page, followed there by the
    setup packet (Vorbis). The audio pages follow, renumbered."""
    pages = []
    with open(path, "rb") as f:
        while True:
            try:
                pages.append(OggPage(f))
            except EOFError:
                break
    wanted = 3 if str(path).endswith(".ogg") else 2
    n = 1
    while len(OggPage.to_packets(pages[:n])) < wanted or not pages[n - 1].complete:
        n += 1
    packets = OggPage.to_packets(pages[:n], strict=True)
    assert len(packets) == wanted and len(packets[1]) > 255
    first, second = OggPage(), OggPage()
    for sequence, page in enumerate((first, second)):
        page.serial, page.sequence, page.position = pages[0].serial, sequence, 0
    first.first = True
    first.packets, first.complete = [packets[0], packets[1][:255]], False
    second.continued = True
    second.packets = [packets[1][255:]] + packets[2:]
    for sequence, page in enumerate(pages[n:], 2):
        page.sequence = sequence
    with open(path, "wb") as f:
        f.write(b"".join(page.write() for page in [first, second] + pages[n:]))


@pytest.mark.parametrize("base", ["oggenc.ogg", "opusenc.opus"])
def test_comment_packet_begun_on_the_first_page_is_refused(base, lib, ogg_media, tmp_path):
    """The first page is kept as it is by a write, so a file whose comment packet begins on it
    cannot be written: it is refused and stays as it was (it was once written, and then no reader
    found its comments)."""
    path = tmp_path / base
    shutil.copyfile(ogg_media.audio(base), path)
    f = OggOpus(path) if base.endswith(".opus") else OggVorbis(path)
    f["TITLE"] = ["Old"]
    f["COMMENT"] = ["c" * 400]
    f.save()
    comment_packet_begun_on_the_first_page(path)
    checker_clean(path)
    assert lib.read(path)["title"] == "Old"
    before = iu.read_bytes(path)
    assert lib.write_result(path, '{"title":"New"}') == \
        (-1, "Ogg identification packet shares its page: write unsupported")
    assert iu.read_bytes(path) == before
