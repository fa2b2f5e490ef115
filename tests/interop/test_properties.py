"""id3_read_all against the peers. mutagen writes every key of the property table (as
docs/properties.md lists it) into ID3v2.4, ID3v2.3, FLAC and MP4 files, with multi-value rows, and
the library must read the values written; TagLib, through its C++ API, must report the same values
wherever it knows the key. Then every file of the peer-writes corpus and the samples: every
property mutagen reports appears with the same values, and so does every picture. What a peer
reads differently is listed in ACCEPTED with the reason (docs/properties.md, "Peers")."""

import json
import os
import re
import shutil

import pytest
from mutagen import id3
from mutagen.flac import FLAC, Picture
from mutagen.mp4 import MP4, AtomDataType, MP4Cover, MP4FreeForm

import interop_util as iu

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def property_table():
    """(key, ID3v2.4 frame, ID3v2.3 frame, Vorbis name, MP4 item) for each row of the table in
    docs/properties.md; None where a container has no place for the key."""
    rows = []
    with open(os.path.join(ROOT, "docs", "properties.md"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^\| ([A-Z_0-9]+) \| (.*?) \| (.*?) \| (.*?) \| (.*?) \|$", line)
            if m and m.group(1) != "Key":
                rows.append(tuple([m.group(1)] + [c.strip("`") or None for c in m.groups()[1:]]))
    return rows


TABLE = property_table()
NUMBERS = {"TRACKNUMBER": "3/12", "DISCNUMBER": "1/2", "BPM": "120", "COMPILATION": "1",
           "MOVEMENTNUMBER": "2", "LENGTH": "1000", "PLAYLISTDELAY": "5"}
DATES = ("DATE", "ORIGINALDATE", "RELEASEDATE", "TAGGINGDATE", "ENCODINGTIME")


def values_for(key):
    """The values a row is written with: two for the multi-value rows."""
    if key in NUMBERS:
        return [NUMBERS[key]]
    if key in DATES:
        return ["2004-03-15"]
    if key.endswith("WEBPAGE") or key == "COPYRIGHTURL":
        return ["http://example.org/" + key.lower()]
    if key.startswith("MUSICBRAINZ_") and key.endswith("ID"):
        # Identifiers are ASCII; TagLib reads UFID's bytes as Latin-1.
        return ["0c1a2b3c-%04d-4000-8000-%012d" % (len(key), len(key))]
    if key in ("ARTIST", "GENRE", "COMPOSER", "MUSICBRAINZ_ARTISTID"):
        return ["%s one" % key.lower(), "%s two ü" % key.lower()]
    return ["%s value ü" % key.lower()]


# What a peer reads differently, by peer and key, with the reason; checked both ways, so that a
# peer that comes to agree is noticed too.
ACCEPTED = {
    # TagLib 1.13 predates these in its ID3v2 map; its documented mapping lists them.
    ("taglib", "id3", "DISCSUBTITLE"): "TSST is not in TagLib 1.13's frame map",
    # One TIPL frame holds every role; TagLib 1.13 knows no role "mix" and then reports none of
    # the frame's roles.
    ("taglib", "id3", "MIXER"): "TagLib 1.13 knows no TIPL role \"mix\"",
    ("taglib", "id3", "ARRANGER"): "the TIPL frame holds the role \"mix\"",
    ("taglib", "id3", "ENGINEER"): "the TIPL frame holds the role \"mix\"",
    ("taglib", "id3", "PRODUCER"): "the TIPL frame holds the role \"mix\"",
    ("taglib", "id3", "DJMIXER"): "the TIPL frame holds the role \"mix\"",
    # TagLib 1.13 reports only the MP4 items it maps, and these not yet.
    ("taglib", "mp4", "*"): "TagLib 1.13 leaves out MP4 freeform items of names it does not map",
    # TagLib 1.13 gives ©too as ENCODEDBY and leaves ©enc out; its documented mapping (and
    # Picard's) has ©too for ENCODING and ©enc for ENCODEDBY, as ID3v2's TSSE and TENC.
    ("taglib", "mp4", "ENCODING"): "TagLib 1.13 maps ©too to ENCODEDBY",
    ("taglib", "mp4", "ENCODEDBY"): "TagLib 1.13 maps ©too to ENCODEDBY",
    # TagLib 1.13 maps seven of the podcast and TV items, not ldes and keyw.
    ("taglib", "mp4", "LONGDESCRIPTION"): "TagLib 1.13 does not map ldes",
    ("taglib", "mp4", "PODCASTKEYWORDS"): "TagLib 1.13 does not map keyw",
}


def id3_frame(row, version, values):
    key, v24, v23 = row[0], row[1], row[2]
    spec = v24 if version == 4 else v23
    fid, _, qualifier = spec.partition(":")
    if fid == "TXXX":
        return id3.TXXX(encoding=3, desc=qualifier, text=values)
    if fid == "UFID":
        return id3.UFID(owner=qualifier, data=values[0].encode())
    if fid in ("TIPL", "IPLS"):
        return getattr(id3, fid)(encoding=3, people=[[qualifier, v] for v in values])
    if fid == "COMM":
        return id3.COMM(encoding=1, lang="eng", desc="", text=values)
    if fid == "USLT":
        return id3.USLT(encoding=1, lang="eng", desc="", text=values[0])
    if fid.startswith("W"):
        return getattr(id3, fid)(url=values[0])
    if key == "DATE" and version == 3:
        return id3.TYER(encoding=3, text=["2004"])
    return getattr(id3, fid)(encoding=3, text=values)


def write_id3(path, version):
    tag = id3.ID3()
    people = []  # one involved-people frame holds every role
    for row in TABLE:
        frame = id3_frame(row, version, values_for(row[0]))
        if frame.FrameID in ("TIPL", "IPLS"):
            people += frame.people
            frame.people = people
        tag.add(frame)
    if version == 3:
        tag.add(id3.TDAT(encoding=3, text=["1503"]))
    # Version 2.3 has no multi-value frames: mutagen joins the values with "/", as it reads them.
    tag.save(path, v2_version=version, v23_sep="/")


def write_flac(path):
    f = FLAC(path)
    for row in TABLE:
        f[row[3]] = values_for(row[0])
    f.save()


def mp4_value(item, values):
    if item in ("trkn", "disk"):
        number, _, total = values[0].partition("/")
        return [(int(number), int(total or 0))]
    if item == "cpil":
        return values[0] == "1"
    if item in ("tmpo", "\xa9mvi", "\xa9mvc"):
        return [int(v) for v in values]
    if item.startswith("----"):
        return [MP4FreeForm(v.encode()) for v in values]
    return values


def write_mp4(path):
    f = MP4(path)
    for row in TABLE:
        if row[4]:
            f[row[4]] = mp4_value(row[4], values_for(row[0]))
    f.save()


def expected(row, container):
    """The values the library must give for a row written as above; None when the container has
    no place for the key."""
    key = row[0]
    place = {"id3v24": row[1], "id3v23": row[2], "flac": row[3], "mp4": row[4]}[container]
    if place is None:
        return None
    values = values_for(key)
    if container == "id3v23" and len(values) > 1:
        values = ["/".join(values)]
    if container.startswith("id3") and (place.startswith("UFID") or place == "USLT" or
                                        place.startswith("W")):
        values = values[:1]
    return values


@pytest.mark.parametrize("container", ["id3v24", "id3v23", "flac", "mp4"])
def test_every_key_written_by_mutagen_is_read_and_agrees_with_taglib(container, media, lib,
                                                                     taglib_reader, tmp_path):
    base = {"id3v24": "lame.mp3", "id3v23": "lame.mp3", "flac": "flac.flac",
            "mp4": "ffmpeg.m4a"}[container]
    path = media.copy(base, tmp_path)
    if container.startswith("id3"):
        write_id3(path, 4 if container == "id3v24" else 3)
    elif container == "flac":
        write_flac(path)
    else:
        write_mp4(path)
    ours = lib.read_all(path)["properties"]
    theirs = iu.taglib_read(taglib_reader, path, tmp_path / "pictures")["properties"]
    peer_kind = "mp4" if container == "mp4" else "id3" if container.startswith("id3") else "flac"
    checked = 0
    disagreements = set()
    for row in TABLE:
        want = expected(row, container)
        if want is None:
            continue
        key = row[0]
        if container == "id3v23" and key == "DATE":
            want = ["2004-03-15"]  # TYER and TDAT, joined
        assert ours.get(key) == want, key
        checked += 1
        if theirs.get(key) != want:
            disagreements.add(key)
    assert checked >= 40
    assert_taglib_disagrees_as_accepted(disagreements, theirs, peer_kind)


def assert_taglib_disagrees_as_accepted(disagreements, theirs, peer_kind, extra_freeform=()):
    """The keys whose values TagLib reports otherwise are exactly those ACCEPTED for the kind of
    file (both ways: a peer that comes to agree is noticed too). Under "*", beyond the keys named,
    only freeform items (those of the table and `extra_freeform`) may be missing from TagLib's
    view, never given other values."""
    allowed = {k for (peer, kind, k) in ACCEPTED if peer == "taglib" and kind == peer_kind}
    if "*" in allowed:
        named = allowed - {"*"}
        assert disagreements >= named
        freeform = {row[0] for row in TABLE if row[4] and row[4].startswith("----")}
        assert disagreements - named <= freeform | set(extra_freeform)
        assert all(k not in theirs for k in disagreements - named)
    else:
        assert disagreements == allowed


def test_multi_values_of_each_container(media, lib, tmp_path):
    """Several values of one key: NUL-separated in a version 2.4 frame, several comments of one
    name, several data atoms of one item; the other keys' order is the file's."""
    mp3 = media.copy("lame.mp3", tmp_path)
    tag = id3.ID3()
    tag.add(id3.TIT2(encoding=3, text=["t"]))
    tag.add(id3.TPE1(encoding=1, text=["A", "B", "C"]))
    tag.add(id3.TXXX(encoding=3, desc="ARTISTS", text=["A", "B"]))
    tag.save(mp3, v2_version=4)
    flac = media.copy("flac.flac", tmp_path)
    f = FLAC(flac)
    f["TITLE"] = "t"
    f["ARTIST"] = ["A", "B", "C"]
    f["ARTISTS"] = ["A", "B"]
    f.save()
    m4a = media.copy("ffmpeg.m4a", tmp_path)
    m = MP4(m4a)
    m["\xa9nam"] = ["t"]
    m["\xa9ART"] = ["A", "B", "C"]
    m["----:com.apple.iTunes:ARTISTS"] = [MP4FreeForm(b"A"), MP4FreeForm(b"B")]
    m.save()
    for path in (mp3, flac, m4a):
        props = lib.read_all(path)["properties"]
        assert props["ARTIST"] == ["A", "B", "C"], path
        assert props["ARTISTS"] == ["A", "B"], path
        assert props["TITLE"] == ["t"], path


# --- What mutagen reports, in the library's terms ------------------------------------------------

def row_of(column, name):
    for row in TABLE:
        if row[column] and row[column].lower() == name.lower():
            return row[0]
    return None


def mutagen_id3_view(path):
    """Every property of an ID3v2 tag as mutagen reads it (upgraded to version 2.4, ID3v1
    merged), keyed as docs/properties.md says, and the pictures."""
    try:
        tag = id3.ID3(path)
    except id3.ID3NoHeaderError:
        return {}, []
    props, pictures = {}, []
    for frame in tag.values():
        fid = frame.FrameID
        if fid == "APIC":
            pictures.append((frame.type, frame.mime or "image/jpeg", frame.desc, len(frame.data)))
        elif fid == "TXXX":
            key = row_of(1, "TXXX:" + frame.desc) or frame.desc.upper()
            props.setdefault(key, []).extend(str(t) for t in frame.text)
        elif fid in ("COMM", "USLT"):
            base = "COMMENT" if fid == "COMM" else "LYRICS"
            key = base + (":" + frame.desc.upper() if frame.desc else "")
            texts = frame.text if fid == "COMM" else [frame.text]
            props.setdefault(key, []).extend(str(t) for t in texts)
        elif fid == "UFID":
            key = row_of(1, "UFID:" + frame.owner)
            if key:
                props.setdefault(key, []).append(frame.data.decode("utf-8", "surrogateescape"))
        elif fid in ("TIPL", "TMCL"):
            for role, name in frame.people:
                key = ("PERFORMER:" + role.upper() if fid == "TMCL" else
                       row_of(1, "TIPL:" + role) or role.upper())
                props.setdefault(key, []).append(name)
        elif fid.startswith("W") and fid != "WXXX":
            props.setdefault(row_of(1, fid) or fid, []).append(frame.url)
        elif fid == "TCON":
            props.setdefault("GENRE", []).extend(frame.genres)
        elif fid.startswith("T") or fid in ("MVNM", "MVIN", "GRP1"):
            props.setdefault(row_of(1, fid) or fid, []).extend(str(t) for t in frame.text)
    return props, pictures


def mutagen_flac_view(path):
    f = FLAC(path)
    props = {}
    for key, value in f.tags or []:
        props.setdefault(key.upper(), []).append(value)
    pictures = [(p.type, p.mime or "image/jpeg", p.desc, len(p.data)) for p in f.pictures]
    return props, pictures


def mutagen_mp4_view(path):
    f = MP4(path)
    props, pictures = {}, []
    for item, values in (f.tags or {}).items():
        if item == "covr":
            for cover in values:
                mime = "image/png" if bytes(cover[:1]) == b"\x89" else "image/jpeg"
                pictures.append((3, mime, "", len(cover)))
            continue
        key = row_of(4, item)
        if not key and item.startswith("----:"):
            key = item.split(":", 2)[2].upper()
        if not key:
            continue  # player flags: no property
        if item in ("trkn", "disk"):
            texts = ["%d/%d" % v if v[1] else "%d" % v[0] for v in values]
        elif item == "cpil":
            texts = ["1" if values else "0"]
        elif isinstance(values, list) and values and isinstance(values[0], bytes):
            # Binary freeform data and texts holding 00 are no values (docs/properties.md).
            texts = [bytes(v).decode("utf-8", "surrogateescape") for v in values
                     if getattr(v, "dataformat", AtomDataType.UTF8) == AtomDataType.UTF8 and
                     b"\0" not in bytes(v)]
        else:
            texts = [str(v) for v in values if "\0" not in str(v)]
        if texts:
            props.setdefault(key, []).extend(texts)
    return props, pictures


# Values mutagen reports that the library gives otherwise, by corpus file and key, with the reason.
MUTAGEN_ACCEPTED = {
    # mutagen joins TYER, TDAT and TIME as "2022-01-02 10:30:00", TagLib 1.13 as "2022-01-02
    # 10:30"; the library gives the ID3v2.4 time stamp, as id3_read does and as its writer stores it.
    ("view:v23-dates-compressed", "DATE"): "version 2.3 date joined as an ID3v2.4 time stamp",
    # mutagen turns the ID3v1 comment into a COMM frame of description "ID3v1 Comment"; the
    # library fills from ID3v1 only the six fields id3_read fills.
    ("view:id3v2-with-v1", "COMMENT:ID3V1 COMMENT"): "ID3v1 comment not read",
    ("view:v1-only", "COMMENT:ID3V1 COMMENT"): "ID3v1 comment not read",
    # The cover is a zlib-compressed frame, which mutagen inflates; the library reads no
    # compressed frame (nor does id3_read).
    ("view:v23-dates-compressed", "pictures"): "compressed picture frame not read",
}


def corpus():
    """The files of the peer-writes and peer-view tests, and the samples."""
    from test_peer_view import FILES
    from test_peer_writes import CASES
    samples = [os.path.join(ROOT, "samples", n) for n in ("sample.mp3", "sample.flac",
                                                          "sample.m4a")]
    return sorted(CASES) + ["view:" + name for name in sorted(FILES)] + samples


def corpus_file(case, tagged, media, folder):
    if os.path.isabs(case):
        return case
    if case.startswith("view:"):
        from test_peer_view import FILES
        base, tag = FILES[case[5:]]
        path = media.copy(base, folder)
        tag(path, media)
        return path
    return tagged(case)


@pytest.mark.parametrize("case", corpus(), ids=lambda c: os.path.basename(c))
def test_corpus_every_mutagen_property_appears(case, tagged, media, lib, tmp_path):
    path = corpus_file(case, tagged, media, tmp_path)
    view = {".mp3": mutagen_id3_view, ".flac": mutagen_flac_view, ".m4a": mutagen_mp4_view}
    props, pictures = view[os.path.splitext(str(path))[1]](path)
    got = lib.read_all(path)
    assert props, "mutagen reports no property of %s" % path
    for key, values in props.items():
        if (case, key) in MUTAGEN_ACCEPTED:
            assert got["properties"].get(key) != values, "now agrees: %s" % key
        else:
            assert got["properties"].get(key) == values, key
    same_pictures = sorted(tuple(p.values()) for p in got["pictures"]) == sorted(pictures)
    assert same_pictures != ((case, "pictures") in MUTAGEN_ACCEPTED)
