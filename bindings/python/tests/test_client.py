"""The Python client against the built library, on copies of the committed samples. The module is
the one Python finds: the source folder (PYTHONPATH) or an installed package."""

import errno
import json
import os
import shutil
import subprocess
import sys

import pytest

import quorvale_id3tag as tags

SAMPLES = os.environ.get("QID3_SAMPLES_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "..", "samples")


@pytest.fixture
def copies(tmp_path):
    out = {}
    for name in ("sample.mp3", "sample.flac", "sample.m4a", "cover.png", "cover.jpg"):
        dest = tmp_path / name
        shutil.copyfile(os.path.join(SAMPLES, name), dest)
        out[name] = dest
    # An MP4 file with a movie fragment, whose layout the library does not write.
    fragmented = tmp_path / "fragmented.m4a"
    fragmented.write_bytes(out["sample.m4a"].read_bytes() + b"\x00\x00\x00\x08moof")
    out["fragmented.m4a"] = fragmented
    return out


@pytest.mark.parametrize("name,fmt", [("sample.mp3", "mp3"), ("sample.flac", "flac"),
                                      ("sample.m4a", "mp4")])
def test_read_gives_a_dict(copies, name, fmt):
    info = tags.read(copies[name])
    assert info["format"] == fmt
    assert info["has_cover"] is True
    assert set(info) >= {"title", "artist", "album", "genre", "date", "track"}
    assert info["title"] != ""


@pytest.mark.parametrize("name,fmt", [("sample.mp3", "mp3"), ("sample.flac", "flac"),
                                      ("sample.m4a", "mp4")])
def test_read_all_gives_properties_and_pictures(copies, name, fmt):
    info = tags.read(copies[name])
    every = tags.read_all(copies[name])
    assert list(every) == ["format", "properties", "pictures"]
    assert every["format"] == fmt
    assert every["properties"]["TITLE"] == [info["title"]]
    assert every["properties"]["TRACKNUMBER"] == [info["track"]]
    assert [p["type"] for p in every["pictures"]] == [3]
    assert every["pictures"][0]["mime"] == info["cover_mime"]
    with open(copies[name], "rb") as f:
        assert tags.read_all(f) == every
    with pytest.raises(tags.FileMissing):
        tags.read_all(copies[name].parent / "missing.mp3")


@pytest.mark.parametrize("name", ["sample.mp3", "sample.flac"])
def test_write_merges_and_keeps_the_cover(copies, name):
    before = tags.read(copies[name])
    tags.write(copies[name], title='Nouveau "titre" \u00e9\u65e5', track="")
    after = tags.read(copies[name])
    assert after["title"] == 'Nouveau "titre" \u00e9\u65e5'
    assert after["track"] == ""
    for key in ("artist", "album", "genre", "date", "has_cover", "cover_mime"):
        assert after[key] == before[key]


def test_write_mp4_and_refuse_a_fragmented_one(copies):
    tags.write(copies["sample.m4a"], title="M4A \u00e9")
    assert tags.read(copies["sample.m4a"])["title"] == "M4A \u00e9"
    original = copies["fragmented.m4a"].read_bytes()
    with pytest.raises(tags.TagError, match=r"^fragmented MP4 \(moof\) write unsupported$"):
        tags.write(copies["fragmented.m4a"], title="x")
    assert copies["fragmented.m4a"].read_bytes() == original


def test_cover_round_trip(copies, tmp_path):
    tags.set_cover(copies["sample.flac"], copies["cover.png"])
    assert tags.read(copies["sample.flac"])["cover_mime"] == "image/png"
    out = tmp_path / "out.png"
    tags.extract_cover(copies["sample.flac"], out)
    assert out.read_bytes() == copies["cover.png"].read_bytes()


def test_batch_counts_and_reports_the_last_failure(copies, tmp_path):
    missing = tmp_path / "missing.mp3"
    n = tags.batch([copies["sample.mp3"], copies["sample.flac"], missing], album="Batch")
    assert n == 2
    assert tags.batch.last_error.startswith("cannot open: ")
    assert tags.read(copies["sample.mp3"])["album"] == "Batch"
    assert tags.read(copies["sample.flac"])["album"] == "Batch"


def test_errors_carry_the_library_message(tmp_path):
    missing = tmp_path / "nothing.mp3"
    with pytest.raises(tags.TagError, match=r"^cannot open: .*nothing\.mp3 \(") as caught:
        tags.read(missing)
    assert caught.value.message == str(caught.value)
    assert caught.value.path == missing
    text = tmp_path / "notes.txt"
    text.write_bytes(b"just text, no audio")
    with pytest.raises(tags.TagError, match=r"^unsupported or unrecognized format$"):
        tags.read(text)
    with pytest.raises(tags.TagError, match=r"^no cover art$"):
        bare = tmp_path / "bare.mp3"
        bare.write_bytes(b"\xff\xfb\x90\x64" + b"\x00" * 413)  # one whole MPEG frame
        tags.extract_cover(bare, tmp_path / "c.jpg")


def test_failure_kinds(copies, tmp_path):
    text = tmp_path / "notes.txt"
    text.write_bytes(b"just text, no audio")
    bare = tmp_path / "bare.mp3"
    bare.write_bytes(b"\xff\xfb\x90\x64" + b"\x00" * 413)  # one whole MPEG frame
    cases = [
        (lambda: tags.read(tmp_path / "missing.mp3"), tags.FileMissing),
        (lambda: tags.read(text), tags.NotAudio),
        (lambda: tags.write(text, title="x"), tags.NotAudio),
        (lambda: tags.write(copies["fragmented.m4a"], title="x"), tags.ReadOnlyFormat),
        (lambda: tags.set_cover(copies["fragmented.m4a"], copies["cover.png"]),
         tags.ReadOnlyFormat),
        (lambda: tags.set_cover(text, copies["cover.png"]), tags.NotAudio),
        (lambda: tags.cover_bytes(bare), tags.NoCover),
        (lambda: tags.read(tmp_path), tags.NotRegularFile),  # a folder
    ]
    for call, kind in cases:
        with pytest.raises(tags.TagError) as caught:
            call()
        assert type(caught.value) is kind, caught.value.message


# ftyp, then a moov atom whose size (4) is smaller than an atom header.
DAMAGED_MP4 = b"\0\0\0\x14ftypM4A \0\0\0\0M4A " + b"\0\0\0\x04moov"


def test_errors_follow_the_codes_and_are_oserrors(copies, tmp_path):
    missing = tmp_path / "missing.mp3"
    with pytest.raises(FileNotFoundError) as caught:
        tags.read(missing)
    assert isinstance(caught.value, tags.FileMissing)
    assert caught.value.errno == errno.ENOENT and caught.value.code == 2
    assert str(caught.value) == caught.value.message  # the library's message, as before
    with pytest.raises(OSError) as caught:
        tags.read(tmp_path)
    assert type(caught.value) is tags.NotRegularFile and caught.value.code == 4
    if os.geteuid() != 0:  # root opens any file
        locked = tmp_path / "locked.mp3"
        shutil.copyfile(copies["sample.mp3"], locked)
        locked.chmod(0)
        with pytest.raises(PermissionError) as caught:
            tags.read(locked)
        assert type(caught.value) is tags.AccessDenied and caught.value.errno == errno.EACCES
    text = tmp_path / "notes.txt"
    text.write_bytes(b"just text, no audio")
    for call, kind, code in [(lambda: tags.read(text), tags.NotAudio, 5),
                             (lambda: tags.read_data(b""), tags.NotAudio, 5),
                             (lambda: tags.read_data(DAMAGED_MP4), tags.Damaged, 7),
                             (lambda: tags.write(copies["fragmented.m4a"], title="x"),
                              tags.ReadOnlyFormat, 6)]:
        with pytest.raises(tags.TagError) as caught:
            call()
        assert (type(caught.value), caught.value.code) == (kind, code), caught.value.message
        assert not isinstance(caught.value, OSError)


def test_batch_results_name_each_file(copies, tmp_path):
    missing = tmp_path / "missing.mp3"
    text = tmp_path / "notes.txt"
    text.write_bytes(b"just text, no audio")
    paths = [copies["sample.mp3"], missing, text, copies["sample.flac"]]
    outcomes = tags.batch_results(paths, album="Each")
    assert [o["path"] for o in outcomes] == [str(p) for p in paths]
    assert [o["result"] for o in outcomes] == ["written", "failed", "failed", "written"]
    assert outcomes[1]["error"] == "cannot open: %s (No such file or directory)" % missing
    assert outcomes[1]["code"] == 2
    assert (outcomes[2]["error"], outcomes[2]["code"]) == ("unsupported format for write", 5)
    assert "error" not in outcomes[0]
    assert tags.read(copies["sample.flac"])["album"] == "Each"
    # batch() keeps its count and the last path's message
    assert tags.batch([copies["sample.mp3"], missing], album="Again") == 1
    assert tags.batch.last_error == outcomes[1]["error"]
    assert tags.batch([missing, copies["sample.mp3"]], album="Again") == 1
    assert tags.batch.last_error == ""


def test_reads_from_memory_match_the_file(copies, tmp_path):
    for name in ("sample.mp3", "sample.flac", "sample.m4a"):
        data = copies[name].read_bytes()
        assert tags.read_data(data) == tags.read(copies[name])
        assert tags.read_all_data(memoryview(data)) == tags.read_all(copies[name])
        with open(copies[name], "rb") as f:
            assert tags.read(f) == tags.read(copies[name])
    # a damaged file: the same message from memory as from the file
    cut = tmp_path / "cut.m4a"
    cut.write_bytes(DAMAGED_MP4)
    with pytest.raises(tags.TagError) as from_file:
        tags.read_all(cut)
    with pytest.raises(tags.TagError) as from_memory:
        tags.read_all_data(cut.read_bytes())
    assert from_memory.value.message == from_file.value.message
    assert from_memory.value.path is None


def test_threads_run_at_once_each_with_its_own_message(copies, tmp_path):
    # no lock: every thread's failures name its own file
    import threading
    wrong = []

    def work(n):
        missing = str(tmp_path / ("missing%d.mp3" % n))
        for i in range(3000):
            try:
                if i % 2:
                    tags.read(missing)
                else:
                    tags.read(copies["sample.flac"])
                    continue
            except tags.FileMissing as error:
                if missing not in error.message:
                    wrong.append(error.message)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    assert not hasattr(tags, "_lock")


def test_covers_and_files_in_memory(copies, tmp_path, monkeypatch):
    # the private temporary files are all gone afterwards
    private = tmp_path / "tmp"
    private.mkdir()
    monkeypatch.setattr(tags.tempfile, "tempdir", str(private))
    png = copies["cover.png"].read_bytes()
    tags.set_cover(copies["sample.mp3"], data=png)
    assert tags.cover_bytes(copies["sample.mp3"]) == png
    with open(copies["sample.mp3"], "rb") as f:
        assert tags.cover_bytes(f) == png
    with open(copies["sample.flac"], "rb") as f:
        assert tags.read(f) == tags.read(copies["sample.flac"])
    assert tags.read_data(copies["sample.m4a"].read_bytes()) == tags.read(copies["sample.m4a"])
    with pytest.raises(tags.NotAudio):
        tags.read_data(b"not audio at all")
    with pytest.raises(TypeError):
        tags.set_cover(copies["sample.mp3"])
    assert list(private.iterdir()) == []


@pytest.mark.parametrize("name", ["sample.mp3", "sample.flac"])
def test_none_removes_a_tag_and_remove_cover_the_cover(copies, name):
    tags.write(copies[name], title=None, artist="")
    after = tags.read(copies[name])
    assert (after["title"], after["artist"], after["has_cover"]) == ("", "", True)
    tags.remove_cover(copies[name])
    assert tags.read(copies[name])["has_cover"] is False


def test_bad_arguments_are_refused_before_the_call(copies):
    with pytest.raises(TypeError):
        tags.write(copies["sample.mp3"], colour="blue")
    with pytest.raises(TypeError):
        tags.write(copies["sample.mp3"], track=7)


@pytest.mark.parametrize("name", ["sample.mp3", "sample.flac", "sample.m4a"])
def test_write_properties(copies, name):
    path = copies[name]
    before = tags.read_all(path)["properties"]
    # any sequence of str; keys without regard to case; the title= member yields to "TITLE"
    tags.write(path, title="Loses", album="Kept too", properties={
        "artist": ("Ann", "Bo"), "TITLE": ["Wins"], "COMPOSER": ["C \u00e9\u65e5"], "GENRE": []})
    after = tags.read_all(path)["properties"]
    assert after["ARTIST"] == ["Ann", "Bo"]
    assert after["TITLE"] == ["Wins"]
    assert after["ALBUM"] == ["Kept too"]
    assert after["COMPOSER"] == ["C \u00e9\u65e5"]
    assert "GENRE" not in after
    assert after["DATE"] == before["DATE"]
    # read() gives one value: the first of an ID3v2.4 frame or MP4 item, the last FLAC comment
    assert tags.read(path)["artist"] == ("Bo" if name == "sample.flac" else "Ann")
    # properties=None, or no properties, changes nothing
    tags.write(path, properties=None)
    assert tags.read_all(path)["properties"] == after


def test_batch_properties(copies):
    paths = [copies["sample.mp3"], copies["sample.flac"]]
    assert tags.batch(paths, properties={"MOOD": ["calm", "slow"]}) == 2
    for path in paths:
        assert tags.read_all(path)["properties"]["MOOD"] == ["calm", "slow"]


def test_properties_refused(copies):
    path = copies["sample.m4a"]
    original = path.read_bytes()
    # what JSON would change silently is refused before the call
    for bad in ({"ARTIST": "AB"}, {"ARTIST": b"AB"}, {1: ["x"]}, {"BPM": 120}, [("A", ["x"])]):
        with pytest.raises(TypeError):
            tags.write(path, properties=bad)
        with pytest.raises(TypeError):
            tags.batch([path], properties=bad)
    # the rest is the library's word, naming the key
    for bad, message in [({"BPM": [120]}, "property values must be a list of strings: BPM"),
                         ({"A=B": ["x"]}, "invalid property key: A=B"),
                         ({"Mood": ["a"], "MOOD": []}, "property named twice: MOOD"),
                         ({"COVERART": []}, "pictures are not properties: COVERART"),
                         ({"DISCNUMBER": ["1", "2"]},
                          "several values not supported by mp4: DISCNUMBER"),
                         ({"BPM": ["fast"]}, "value not supported by mp4: BPM")]:
        with pytest.raises(tags.TagError) as caught:
            tags.write(path, properties=bad)
        assert caught.value.message == message
    assert path.read_bytes() == original

def test_a_named_library_that_cannot_load_is_not_replaced(tmp_path):
    bogus = tmp_path / "libquorvale-id3tag.so.1"
    bogus.write_bytes(b"not a shared object")
    with pytest.raises(tags.LibraryNotFound, match="library not found"):
        tags.load_library(str(bogus))


def run_module(*args):
    return subprocess.run([sys.executable, "-m", "quorvale_id3tag"] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)


def test_module_command_line(copies, tmp_path):
    # one file: the bare object
    proc = run_module("read", copies["sample.flac"])
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == tags.read(copies["sample.flac"])
    # several files: one object per line, led by its path; a failure is a line with "error"
    odd = tmp_path / "tab\there.mp3"
    shutil.copyfile(copies["sample.mp3"], odd)
    missing = tmp_path / "missing.flac"
    proc = run_module("read", odd, missing)
    assert proc.returncode == 1
    lines = [json.loads(line) for line in proc.stdout.decode().splitlines()]
    assert [list(obj)[0] for obj in lines] == ["path", "path"]
    assert lines[0]["path"] == str(odd) and lines[0]["format"] == "mp3"
    assert lines[1]["path"] == str(missing) and lines[1]["error"].startswith("cannot open: ")
    assert b"missing.flac: cannot open: " in proc.stderr
    # write, then the cover out and in
    proc = run_module("write", copies["sample.mp3"], "--title", "From the module")
    assert proc.returncode == 0, proc.stderr
    assert tags.read(copies["sample.mp3"])["title"] == "From the module"
    out = tmp_path / "cover.out"
    assert run_module("cover", "get", copies["sample.mp3"], out).returncode == 0
    assert out.read_bytes()[:2] == b"\xff\xd8"
    proc = run_module("write", copies["fragmented.m4a"], "--title", "x")
    assert proc.returncode == 1 and b"fragmented MP4 (moof) write unsupported" in proc.stderr
    assert run_module("write", copies["sample.mp3"]).returncode == 2


def test_cover_texts_say_what_the_calls_do(copies):
    # every format the docstrings name is one the calls handle
    for name in ("sample.mp3", "sample.flac", "sample.m4a"):
        tags.remove_cover(copies[name])
        assert tags.read(copies[name])["has_cover"] is False
        tags.set_cover(copies[name], data=copies["cover.png"].read_bytes())
        assert tags.read(copies[name])["cover_mime"] == "image/png"
    for call in (tags.remove_cover, tags.set_cover):
        for fmt in ("MP3", "FLAC", "MP4", "Ogg Vorbis", "Opus"):
            assert fmt in " ".join(call.__doc__.split()), (call.__name__, fmt)
    assert "fragmented" in tags.ReadOnlyFormat.__doc__ and "Ogg" in tags.ReadOnlyFormat.__doc__
