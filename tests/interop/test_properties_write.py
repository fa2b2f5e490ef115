"""The tag object's "properties" member against the peers. The library writes every key of the
property table (docs/properties.md) into MP3 (ID3v2.4, the version its writer writes), FLAC, MP4,
Ogg Vorbis and Opus files, several values for the multi-value rows and a key of no row, and
mutagen, TagLib (through its C++ API) and id3_read_all must read back the values written. What a
peer reads differently is listed in test_properties.ACCEPTED with the reason, as for the files the
peers write. Then the round trip: every corpus file's read_all properties written back change
nothing a reader sees, and no byte a write of {} would not change."""

import json
import os
import shutil
from pathlib import Path

import pytest
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

import interop_util as iu
from test_ogg import CASES as OGG_CASES
from test_ogg import ogg_media  # noqa: F401 (a fixture)
from test_properties import (TABLE, assert_taglib_disagrees_as_accepted, corpus, corpus_file,
                             mutagen_flac_view, mutagen_id3_view, mutagen_mp4_view, values_for)

# A key of no row: TXXX, a Vorbis comment, an iTunes freeform item by its own name.
OWN_KEY = "QUORVALE_OWN_KEY"
OWN_VALUES = ["own one", "own two \u00fc"]


def mutagen_ogg_view(path):
    f = OggOpus(path) if str(path).endswith(".opus") else OggVorbis(path)
    props = {}
    for key, value in f.tags or []:
        if key.upper() not in ("METADATA_BLOCK_PICTURE", "COVERART", "COVERARTMIME"):
            props.setdefault(key.upper(), []).append(value)
    return props, []


# container: (base file, column of the table that gives the key its place, peer kind, view)
CONTAINERS = {
    "id3v24": ("lame.mp3", 1, "id3", mutagen_id3_view),
    "flac": ("flac.flac", 3, "flac", mutagen_flac_view),
    "mp4": ("ffmpeg.m4a", 4, "mp4", mutagen_mp4_view),
    "ogg": ("oggenc.ogg", 3, "ogg", mutagen_ogg_view),
    "opus": ("opusenc.opus", 3, "opus", mutagen_ogg_view),
}


def written_properties(column):
    """Every key of the table the container has a place for, with its values, and OWN_KEY."""
    props = {row[0]: values_for(row[0]) for row in TABLE if row[column]}
    props[OWN_KEY] = OWN_VALUES
    return props


def base_copy(base, media, folder):
    """A private copy of a base file (the Ogg ones live beside the others once made)."""
    target = folder / base
    shutil.copyfile(media.audio(base), target)
    return target


@pytest.mark.parametrize("container", sorted(CONTAINERS))
def test_every_key_we_write_is_read_back_by_the_peers(container, ogg_media, lib, taglib_reader,
                                                      tmp_path):
    base, column, peer_kind, mutagen_view = CONTAINERS[container]
    path = base_copy(base, ogg_media, tmp_path)
    props = written_properties(column)
    multi = [k for k, v in props.items() if len(v) > 1]
    assert len(multi) >= 3
    had = lib.read_all(path)["properties"]  # what the encoder wrote (ENCODING, ENCODER)
    lib.write(path, {"properties": props})

    ours = lib.read_all(path)["properties"]
    theirs_mutagen, _ = mutagen_view(path)
    theirs_taglib = iu.taglib_read(taglib_reader, path, tmp_path / "pictures")["properties"]
    disagree_taglib = set()
    for key, values in props.items():
        assert ours.get(key) == values, key
        assert theirs_mutagen.get(key) == values, key
        if theirs_taglib.get(key) != values:
            disagree_taglib.add(key)
    # the encoder's keys not named stay, and nothing else appears
    assert {k: v for k, v in ours.items() if k not in props} == \
        {k: v for k, v in had.items() if k not in props}
    assert_taglib_disagrees_as_accepted(disagree_taglib, theirs_taglib, peer_kind, [OWN_KEY])


@pytest.mark.parametrize("container", sorted(CONTAINERS))
def test_removal_and_replacement_leave_the_other_keys(container, ogg_media, lib, tmp_path):
    """An empty list removes a key from every reader's view, a shorter list replaces a longer
    one, and keys not named stay as they were."""
    base, column, _, mutagen_view = CONTAINERS[container]
    path = base_copy(base, ogg_media, tmp_path)
    lib.write(path, {"properties": written_properties(column)})
    before = lib.read_all(path)["properties"]
    lib.write(path, {"properties": {"ARTIST": ["only"], "composer": [], OWN_KEY.lower(): []}})
    ours = lib.read_all(path)["properties"]
    theirs, _ = mutagen_view(path)
    for view in (ours, theirs):
        assert view.get("ARTIST") == ["only"]
        assert "COMPOSER" not in view and OWN_KEY not in view
    for key, values in before.items():
        if key not in ("ARTIST", "COMPOSER", OWN_KEY):
            assert ours.get(key) == values, key
            assert theirs.get(key) == values, key


# Values at the edges of what each container holds, all keys in one write per container: a line
# break, spaces at both ends and a character beyond the BMP, "=" inside a value (Vorbis), a value
# repeated, a value longer than 65535 bytes, an empty value before another, a lone empty value,
# an ID3v2.4 time stamp, and values a container stores in its own form (the ID3v1 genre number
# "17" in TCON, an MP4 track number in binary).
EDGE_VALUES = {
    "COMMENT": ["line one\nline two"],
    "ARTIST": [" padded ", "\u00e9\U0001F3B5"],
    "ALBUM": ["a=b=c"],
    "COMPOSER": ["same", "same"],
    "MOOD": ["x" * 70000],
    "ALBUMARTIST": ["", "x"],
    "TITLE": [""],
    "DATE": ["2004-03-15T10:30"],
    "GENRE": ["17"],
    "TRACKNUMBER": ["03/012"],
}
# What every reader, this library's included, gives for a value the container stores otherwise.
EDGE_STORED = {
    ("id3v24", "GENRE"): ["Rock"],  # TCON "17" is an ID3v1 genre number
    ("mp4", "TRACKNUMBER"): ["3/12"],  # trkn holds two 16-bit numbers
}
# What a peer reads differently from what the library wrote and reads, by peer, container and
# key, with the reason (docs/properties.md, "Peers"); checked both ways.
EDGE_ACCEPTED = {
    ("taglib", "flac", "TITLE"): "TagLib 1.13 leaves out a Vorbis comment's empty value",
    ("taglib", "ogg", "TITLE"): "TagLib 1.13 leaves out a Vorbis comment's empty value",
    ("taglib", "opus", "TITLE"): "TagLib 1.13 leaves out a Vorbis comment's empty value",
    ("taglib", "flac", "ALBUMARTIST"): "TagLib 1.13 leaves out a Vorbis comment's empty value",
    ("taglib", "ogg", "ALBUMARTIST"): "TagLib 1.13 leaves out a Vorbis comment's empty value",
    ("taglib", "opus", "ALBUMARTIST"): "TagLib 1.13 leaves out a Vorbis comment's empty value",
    ("taglib", "id3v24", "ALBUMARTIST"): "TagLib 1.13 leaves out an empty value of a version "
                                         "2.4 text frame",
    ("mutagen", "id3v24", "TITLE"): "mutagen drops a text frame holding only its encoding byte",
    ("taglib", "id3v24", "TITLE"): "TagLib 1.13 gives a text frame without text no value",
    ("mutagen", "id3v24", "DATE"): "mutagen shows a time stamp's T as a space",
    ("taglib", "id3v24", "DATE"): "TagLib 1.13 shows a time stamp's T as a space",
}


@pytest.mark.parametrize("container", sorted(CONTAINERS))
def test_edge_values_agree_with_the_peers(container, ogg_media, lib, taglib_reader, tmp_path):
    base, _, _, mutagen_view = CONTAINERS[container]
    path = base_copy(base, ogg_media, tmp_path)
    lib.write(path, {"properties": EDGE_VALUES})
    views = {"ours": lib.read_all(path)["properties"], "mutagen": mutagen_view(path)[0],
             "taglib": iu.taglib_read(taglib_reader, path, tmp_path / "pictures")["properties"]}
    disagreements = set()
    for key, values in EDGE_VALUES.items():
        want = EDGE_STORED.get((container, key), values)
        assert views["ours"].get(key) == want, key
        for peer in ("mutagen", "taglib"):
            if views[peer].get(key) != want:
                disagreements.add((peer, container, key))
    assert disagreements == {k for k in EDGE_ACCEPTED if k[1] == container}


def ogg_corpus():
    return ["ogg:" + name for name in sorted(OGG_CASES)]


def round_trip_file(case, tagged, ogg_media, folder):
    if case.startswith("ogg:"):
        base, tag, _, _ = OGG_CASES[case[4:]]
        path = folder / ("%s.%s" % (case[4:], base.rsplit(".", 1)[1]))
        shutil.copyfile(ogg_media.audio(base), path)
        tag(path, ogg_media)
        return path
    source = corpus_file(case, tagged, ogg_media, folder)
    target = folder / ("copy-" + os.path.basename(str(source)))
    shutil.copyfile(source, target)
    return target


def mutagen_view_of(path):
    name = str(path)
    view = (mutagen_id3_view if name.endswith(".mp3") else mutagen_flac_view
            if name.endswith(".flac") else mutagen_mp4_view if name.endswith(".m4a")
            else mutagen_ogg_view)
    return view(path)


@pytest.mark.parametrize("case", corpus() + ogg_corpus(), ids=lambda c: str(c).rsplit("/", 1)[-1])
def test_round_trip_of_read_all_changes_nothing(case, tagged, ogg_media, lib, tmp_path):
    """read_all's properties written back give the file a write of {} gives, byte for byte: no
    frame, comment or item is rewritten for a key whose values did not change. So id3_read_all,
    id3_read and mutagen's view are those of the {} write, which are the views before it but where
    a {} write changes them by its own rules (an ID3v1-only file's comment moves into the new
    ID3v2 tag: test_peer_view)."""
    path = Path(round_trip_file(case, tagged, ogg_media, tmp_path))
    plain = tmp_path / ("plain-" + path.name)
    shutil.copyfile(path, plain)
    every = lib.read_all(path)
    tags = lib.read(path)
    seen = mutagen_view_of(path)

    rc, message = lib.write_result(path, json.dumps({"properties": every["properties"]},
                                                    ensure_ascii=False))
    plain_rc, plain_message = lib.write_result(plain, "{}")
    assert (rc, message) == (plain_rc, plain_message)  # e.g. a fragmented MP4: refused by both
    if rc != 0:
        return
    assert lib.read_all(path) == lib.read_all(plain)
    assert lib.read(path) == lib.read(plain)
    assert mutagen_view_of(path) == mutagen_view_of(plain)
    assert iu.read_bytes(path) == iu.read_bytes(plain)
    unchanged = (lib.read_all(path), lib.read(path), mutagen_view_of(path)) == (every, tags, seen)
    assert unchanged != (case in PLAIN_WRITE_CHANGES)
    # once the library wrote the file, writing its properties back changes no byte
    written = iu.read_bytes(path)
    lib.write(path, {"properties": lib.read_all(path)["properties"]})
    assert iu.read_bytes(path) == written


# Corpus files whose {} write changes what a reader sees, by the rules test_peer_view checks.
PLAIN_WRITE_CHANGES = {
    "view:v1-only": "the ID3v1 comment moves into the new ID3v2 tag as COMM",
    "view:v23-dates-compressed": "TRDA and TSIZ, version 2.3 frames that version 2.4 does not "
                                 "have, are left out of the version 2.4 tag",
}
