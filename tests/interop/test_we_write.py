"""We write, peers read: id3_write and id3_set_cover on encoder-made and peer-tagged MP3 and FLAC
files, read back by mutagen, TagLib, ffprobe and metaflac; the audio must come through intact.
What the writes do not name (other frames and comments, pictures other than the front cover) is
carried over; test_carrying.py compares those with the old file."""

import pytest
from mutagen.flac import FLAC
from mutagen.id3 import ID3

import interop_util as iu

WRITTEN = {"title": 'Grüße aus 東京 😀 "live" \\ A/B', "artist": "Sigur Rós",
           "album": "Ágætis byrjun ✓", "genre": "Post-rock", "date": "2024-05-01",
           "track": "3/12"}

ID3_FRAME = {"title": "TIT2", "artist": "TPE1", "album": "TALB", "genre": "TCON", "date": "TDRC",
             "track": "TRCK"}
TAGLIB_KEY = {"title": "TITLE", "artist": "ARTIST", "album": "ALBUM", "genre": "GENRE",
              "date": "DATE", "track": "TRACKNUMBER"}
FFPROBE_KEY = {"title": "title", "artist": "artist", "album": "album", "genre": "genre",
               "date": "date", "track": "track"}
FLAC_KEY = {"title": "TITLE", "artist": "ARTIST", "album": "ALBUM", "genre": "GENRE",
            "date": "DATE", "track": "TRACKNUMBER"}

# Files to write into: encoder output as it is, or a peer-writes case (tagged by a peer first).
MP3_STARTS = ["lame.mp3", "ffmpeg.mp3", "id3v2-v23-latin1", "mutagen-v23-utf16",
              "mutagen-v23-unsync", "mutagen-v24-frame-unsync", "eyed3-v24", "kid3-v23"]
FLAC_STARTS = ["flac.flac", "bare.flac", "ffmpeg.flac", "metaflac", "ffmpeg-flac",
               "kid3-flac"]


def write_all(lib, path, picture):
    """The six values through id3_write, then the cover through id3_set_cover."""
    lib.write(path, WRITTEN)
    lib.set_cover(path, picture)


@pytest.fixture
def written(request, media, start_file, lib, tmp_path):
    """(path, cover bytes, audio bytes before, decoded checksum before, the fields the write
    changed) after writing into a copy of the start file."""
    start, picture = request.param
    path = start_file(start, tmp_path)
    audio_before = iu.audio_bytes(path)
    decoded_before = iu.decoded_md5(path)
    read_before = lib.read(path)
    changed = [key for key in WRITTEN if read_before[key] != WRITTEN[key]]
    write_all(lib, path, media.picture(picture))
    return path, media.picture_bytes(picture), audio_before, decoded_before, changed


def starts(names):
    """Each start file with one of the new covers, in turn: a small JPEG, a small PNG and a large
    JPEG (sizes that fill the 24-bit FLAC and syncsafe ID3v2 size fields further)."""
    covers = ("green.jpg", "yellow.png", "noise.jpg")
    return [pytest.param((name, covers[i % 3]), id=name) for i, name in enumerate(names)]


def mime_of(cover):
    return "image/png" if cover.startswith(b"\x89PNG") else "image/jpeg"


@pytest.mark.parametrize("written", starts(MP3_STARTS), indirect=True)
def test_mp3_we_write_peers_read(written, lib, taglib_reader, tmp_path):
    path, cover, audio_before, decoded_before, changed = written
    assert lib.read(path) == dict(WRITTEN, format="mp3", has_cover=True,
                                  cover_mime=mime_of(cover))

    # mutagen: one ID3v2.4 tag, each value once, the new front cover last; the old pictures of
    # other types before it.
    tags = ID3(path)
    assert tags.version == (2, 4, 0)
    for key, frame in ID3_FRAME.items():
        assert [str(t) for t in tags[frame].text] == [WRITTEN[key]], frame
    pictures = tags.getall("APIC")
    assert [(p.data, p.mime, p.type) for p in pictures[-1:]] == [(cover, mime_of(cover), 3)]
    assert all(p.type != 3 for p in pictures[:-1])

    # TagLib: one date, the TDRC frame's (no TYER beside it, which TagLib would list as a second
    # date).
    seen = iu.taglib_read(taglib_reader, path, tmp_path / "taglib")
    assert seen["id3v2_version"] == 4
    for key, prop in TAGLIB_KEY.items():
        assert seen[prop] == [WRITTEN[key]], prop
    last = len(seen["pictures"]) - 1
    assert [(p["mime"], p["type"]) for p in seen["pictures"][last:]] == [(mime_of(cover), 3)]
    assert iu.read_bytes(tmp_path / "taglib" / ("picture-%d" % last)) == cover

    # ffprobe: the whole date (a TYER frame after TDRC would replace it with the year alone).
    probed = iu.ffprobe_tags(path)
    for key, name in FFPROBE_KEY.items():
        assert probed.get(name) == WRITTEN[key], name
    assert iu.ffprobe_picture_md5s(path)[-1:] == [iu.md5(cover)]

    # The audio: the same bytes after the tag, the same decoded samples.
    assert iu.audio_bytes(path) == audio_before
    assert iu.decoded_md5(path) == decoded_before


@pytest.mark.parametrize("written", starts(FLAC_STARTS), indirect=True)
def test_flac_we_write_peers_read(written, lib, taglib_reader, tmp_path):
    path, cover, audio_before, decoded_before, changed = written
    assert lib.read(path) == dict(WRITTEN, format="flac", has_cover=True,
                                  cover_mime=mime_of(cover))

    # metaflac: the changed fields' comments first, in this order; a field the file already had
    # with the written value keeps its old comment; each of the six keys holds one value.
    tags = iu.metaflac_tags(path)
    assert tags[:len(changed)] == [(FLAC_KEY[k], WRITTEN[k]) for k in changed]
    for key, name in FLAC_KEY.items():
        assert [v for k, v in tags if k.upper() == name] == [WRITTEN[key]], name

    # mutagen: the new front cover last, the old pictures of other types before it.
    f = FLAC(path)
    for key, name in FLAC_KEY.items():
        assert f[name] == [WRITTEN[key]], name
    assert [(p.data, p.mime, p.type) for p in f.pictures[-1:]] == [(cover, mime_of(cover), 3)]
    assert all(p.type != 3 for p in f.pictures[:-1])

    # TagLib.
    seen = iu.taglib_read(taglib_reader, path, tmp_path / "taglib")
    for key, prop in TAGLIB_KEY.items():
        assert seen[prop] == [WRITTEN[key]], prop
    last = len(seen["pictures"]) - 1
    assert [(p["mime"], p["type"]) for p in seen["pictures"][last:]] == [(mime_of(cover), 3)]
    assert iu.read_bytes(tmp_path / "taglib" / ("picture-%d" % last)) == cover

    # ffprobe.
    probed = iu.ffprobe_tags(path)
    for key, name in FFPROBE_KEY.items():
        assert probed.get(name) == WRITTEN[key], name
    assert iu.ffprobe_picture_md5s(path)[-1:] == [iu.md5(cover)]

    # The audio: flac's own test of the stream, the same frames, the same decoded samples.
    iu.run(["flac", "--silent", "-t", path])
    assert iu.audio_bytes(path) == audio_before
    assert iu.decoded_md5(path) == decoded_before


@pytest.mark.parametrize("start", FLAC_STARTS)
def test_flac_blocks_other_than_tags_survive(start, media, start_file, lib, tmp_path):
    """STREAMINFO, SEEKTABLE and APPLICATION blocks come through byte for byte and in order; the
    old comments give way to one comment block, the old pictures other than front covers follow
    it byte for byte, then the new picture, then one PADDING block as large as the old padding
    together (8 KiB when there was none; more where the file system shares the audio's blocks)."""
    path = start_file(start, tmp_path)
    before, _ = iu.flac_blocks(iu.read_bytes(path))
    write_all(lib, path, media.picture("green.jpg"))
    after, _ = iu.flac_blocks(iu.read_bytes(path))
    kept = [b for b in before if b[0] not in (1, 4, 6)]
    pictures = [b for b in before if b[0] == 6 and b[1][:4] != b"\x00\x00\x00\x03"]
    old_padding = [len(body) for t, body in before if t == 1]
    assert after[:len(kept)] == kept
    assert after[len(kept) + 1:-2] == pictures
    assert [t for t, _ in after[len(kept):]] == [4] + [6] * (len(pictures) + 1) + [1]
    assert after[len(kept)][1][4:19] == b"quorvale-id3tag"
    padding = after[-1][1]
    assert padding == bytes(len(padding))
    expected = min(sum(old_padding), 1 << 20) if old_padding else 8192
    assert expected <= len(padding) < expected + 65536
