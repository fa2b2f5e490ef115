"""quorvale-tag copy across the containers: tags written into an MP3 file by mutagen travel
MP3 -> FLAC -> M4A -> Opus -> MP3, one "copy" at a time, and after every step mutagen and TagLib
must both see the shared keys with the values the MP3 file started with, and the front cover
byte for byte. The key that tells how the source was made (ENCODEDBY) stays behind."""

import os
import shutil

import mutagen
import pytest
from mutagen import id3

import interop_util as iu

# The keys every container holds and both peers name alike, with the values the MP3 file starts
# with (two artists: the several values of one key must travel too).
SHARED = {
    "TITLE": ["Copied title"],
    "ARTIST": ["Ann", "Bo"],
    "ALBUM": ["The album"],
    "ALBUMARTIST": ["Various"],
    "GENRE": ["Jazz"],
    "DATE": ["2024-05-06"],
    "TRACKNUMBER": ["3/12"],
    "DISCNUMBER": ["1/2"],
}


SOURCE_ENCODER = "the source's encoder"


def tool():
    path = os.environ.get("QID3_TOOL", "")
    if not path or not os.path.isfile(path):
        pytest.skip("quorvale-tag is not built (QID3_BUILD_CLI=OFF)")
    return path


def tag_source_mp3(path, cover):
    tags = id3.ID3()
    tags.add(id3.TIT2(encoding=3, text=SHARED["TITLE"]))
    tags.add(id3.TPE1(encoding=3, text=SHARED["ARTIST"]))
    tags.add(id3.TALB(encoding=3, text=SHARED["ALBUM"]))
    tags.add(id3.TPE2(encoding=3, text=SHARED["ALBUMARTIST"]))
    tags.add(id3.TCON(encoding=3, text=SHARED["GENRE"]))
    tags.add(id3.TDRC(encoding=3, text=SHARED["DATE"]))
    tags.add(id3.TRCK(encoding=3, text=SHARED["TRACKNUMBER"]))
    tags.add(id3.TPOS(encoding=3, text=SHARED["DISCNUMBER"]))
    tags.add(id3.TENC(encoding=3, text=[SOURCE_ENCODER]))
    tags.add(id3.APIC(encoding=3, mime="image/jpeg", type=3, desc="", data=cover))
    tags.save(path, v2_version=4)


def mutagen_view(path):
    """The shared keys as mutagen's easy interface gives them, and the front cover's bytes."""
    easy = mutagen.File(path, easy=True)
    view = {key: list(easy.get(key.lower(), [])) for key in SHARED}
    raw = mutagen.File(path)
    if hasattr(raw, "pictures") and raw.pictures:  # FLAC
        cover = raw.pictures[0].data
    elif str(path).endswith(".mp3"):
        cover = raw.tags.getall("APIC")[0].data
    elif str(path).endswith(".m4a"):
        cover = bytes(raw.tags["covr"][0])
    else:  # Opus: the picture comment
        from base64 import b64decode
        from mutagen.flac import Picture
        cover = Picture(b64decode(raw.tags["METADATA_BLOCK_PICTURE"][0])).data
    return view, cover


def test_copy_through_every_container_and_back(media, taglib_reader, tmp_path):
    program = tool()
    cover = media.picture_bytes("red.jpg")
    start = media.copy("lame.mp3", tmp_path, "start.mp3")
    tag_source_mp3(start, cover)
    iu.run(["opusenc", "--quiet", media.audio("tone.wav"), tmp_path / "base.opus"])
    targets = [media.copy("flac.flac", tmp_path, "copy.flac"),
               media.copy("ffmpeg.m4a", tmp_path, "copy.m4a"),
               tmp_path / "copy.opus",
               media.copy("lame.mp3", tmp_path, "back.mp3")]
    shutil.copyfile(tmp_path / "base.opus", targets[2])
    source = start
    for target in targets:
        iu.run([program, "copy", source, target])
        name = os.path.basename(target)
        view, got_cover = mutagen_view(target)
        assert view == SHARED, name
        assert got_cover == cover, name
        theirs = iu.taglib_read(taglib_reader, target, tmp_path / ("pictures-" + name))
        for key, values in SHARED.items():
            assert theirs["properties"].get(key) == values, (name, key)
        # the target keeps its own encoder tag (ffmpeg's in the M4A file); the source's stays behind
        for values in theirs["properties"].values():
            assert SOURCE_ENCODER not in values, name
        assert iu.read_bytes(tmp_path / ("pictures-" + name) / "picture-0") == cover, name
        source = target
