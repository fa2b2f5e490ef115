#!/usr/bin/env python3
"""Tests of the quorvale-tag command-line program, run on copies of small audio files.

The audio files come from samples/ when they are there, otherwise they are made here with lame,
flac and ffmpeg. Usage:

    test_cli.py --tool PATH --samples DIR --version X.Y.Z [--emulator CMD] [unittest args...]
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

TOOL = None
TOOL_PREFIX = []
SAMPLES = None
VERSION = None
FIXTURES = None  # directory holding one pristine copy of every fixture
WINDOWS = False  # the program is a Windows build (run under Wine on this machine)

FIXTURE_NAMES = ["sample.mp3", "sample.flac", "sample.m4a", "cover.jpg", "cover.png"]


def run_tool(*args):
    """Runs the program; args are str or bytes. Returns (exit code, stdout, stderr) as bytes."""
    proc = subprocess.run(TOOL_PREFIX + [TOOL] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def make_fixtures(dest):
    """Copies the samples into dest, making the missing ones with the encoders."""
    missing = [n for n in FIXTURE_NAMES if not os.path.isfile(os.path.join(SAMPLES, n))]
    for name in FIXTURE_NAMES:
        if name not in missing:
            shutil.copyfile(os.path.join(SAMPLES, name), os.path.join(dest, name))
    if not missing:
        return

    def sh(*cmd):
        subprocess.run(cmd, check=True, cwd=dest, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    ffmpeg = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
    sh(*ffmpeg, "-f", "lavfi", "-i", "sine=frequency=440:duration=0.5", "-ac", "1", "-ar",
       "44100", "tone.wav")
    if "cover.jpg" in missing:
        sh(*ffmpeg, "-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1", "cover.jpg")
    if "cover.png" in missing:
        sh(*ffmpeg, "-f", "lavfi", "-i", "color=c=blue:s=16x16", "-frames:v", "1", "cover.png")
    if "sample.mp3" in missing:
        sh("lame", "--quiet", "--id3v2-only", "--tt", "Sample Title", "--ta", "Sample Artist",
           "--tl", "Sample Album", "--ty", "2024", "--tn", "1", "tone.wav", "sample.mp3")
    if "sample.flac" in missing:
        sh("flac", "--silent", "-f", "-T", "TITLE=Sample Title", "-T", "ARTIST=Sample Artist",
           "-o", "sample.flac", "tone.wav")
    if "sample.m4a" in missing:
        sh(*ffmpeg, "-i", "tone.wav", "-c:a", "aac", "-metadata", "title=Sample Title",
           "sample.m4a")
    os.remove(os.path.join(dest, "tone.wav"))


def ogg_file(first_packet, comment_packet, setup_packet=None):
    """A small Ogg file: the identification packet on the first page, the comment packet (and a
    Vorbis setup packet) on the second, one audio page."""
    def crc(data):
        value = 0
        for byte in data:
            value ^= byte << 24
            for _ in range(8):
                value = ((value << 1) ^ 0x04C11DB7 if value & 0x80000000 else value << 1)
                value &= 0xFFFFFFFF
        return value

    def page(flags, seq, packets):
        lacing = b""
        for p in packets:
            lacing += b"\xff" * (len(p) // 255) + bytes([len(p) % 255])
        head = (b"OggS\x00" + bytes([flags]) + struct.pack("<QII", 0, 77, seq) + b"\x00" * 4
                + bytes([len(lacing)]) + lacing + b"".join(packets))
        return head[:22] + struct.pack("<I", crc(head)) + head[26:]

    headers = [comment_packet] + ([setup_packet] if setup_packet else [])
    return page(2, 0, [first_packet]) + page(0, 1, headers) + page(4, 2, [b"\x80" * 40])


def vorbis_comments(title):
    text = b"TITLE=" + title
    return (struct.pack("<I", 6) + b"vendor" + struct.pack("<I", 1) + struct.pack("<I", len(text))
            + text)


VORBIS_ID = b"\x01vorbis" + b"\x00" * 4 + b"\x02" + struct.pack("<I", 44100) + b"\x00" * 12 + b"\xb8\x01"
OPUS_HEAD = b"OpusHead\x01\x02\x38\x01" + struct.pack("<I", 48000) + b"\x00\x00\x00"
VORBIS_FILE = ogg_file(VORBIS_ID, b"\x03vorbis" + vorbis_comments(b"Vorbis") + b"\x01",
                       b"\x05vorbis" + b"\x00" * 30)
OPUS_FILE = ogg_file(OPUS_HEAD, b"OpusTags" + vorbis_comments(b"Opus"))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def json_lines(out):
    """The objects of JSON Lines output; every line must be one object."""
    return [json.loads(line) for line in out.decode("utf-8").split("\n")[:-1]]


def join(*parts):
    # The program joins the names it finds in a folder with "/", also on Windows.
    return "/".join(parts)


def on_terminal(*args, stdout_too=True):
    """Runs the program with standard error (and standard output unless stdout_too is false: a
    pipe then) on a pseudo-terminal: (exit code, standard output when piped, what the terminal
    showed)."""
    import pty
    primary, secondary = pty.openpty()
    try:
        proc = subprocess.run(TOOL_PREFIX + [TOOL] + list(args),
                              stdout=secondary if stdout_too else subprocess.PIPE,
                              stderr=secondary, timeout=60)
        os.close(secondary)
        secondary = None
        shown = b""
        while True:
            try:
                chunk = os.read(primary, 4096)
            except OSError:  # the terminal is closed and drained
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(primary)
        if secondary is not None:
            os.close(secondary)
    return proc.returncode, proc.stdout, shown


class CliTestCase(unittest.TestCase):
    """Gives each test its own directory with fresh copies of the fixtures."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qtag-cli-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def copy(self, name, as_name=None):
        path = os.path.join(self.dir, as_name or name)
        shutil.copyfile(os.path.join(FIXTURES, name), path)
        return path

    def path(self, name):
        return os.path.join(self.dir, name)

    def fragment(self, path):
        """Appends a movie fragment to an MP4 file: a layout the library refuses to write."""
        with open(path, "ab") as f:
            f.write(b"\x00\x00\x00\x08moof")
        return path

    def make_tree(self):
        """A folder with audio files at two depths, audio under a misleading name, and files that
        are not audio (one named like an MP3). Returns (folder, audio paths in walk order, the
        other paths)."""
        top = self.path("tree")
        os.makedirs(join(top, "b-sub", "deeper"))
        os.makedirs(join(top, "empty"))
        audio = [join(top, "a.mp3"), join(top, "b-sub", "deeper", "d.flac"),
                 join(top, "b-sub", "m.m4a"), join(top, "c.dat")]
        for name, dest in [("sample.mp3", audio[0]), ("sample.flac", audio[1]),
                           ("sample.m4a", audio[2]), ("sample.flac", audio[3])]:
            shutil.copyfile(os.path.join(FIXTURES, name), dest)
        self.fragment(audio[2])  # one file every write refuses
        others = [join(top, "b-sub", "cover.png"), join(top, "fake.mp3")]
        shutil.copyfile(os.path.join(FIXTURES, "cover.png"), others[0])
        with open(others[1], "w") as f:
            f.write("a text file named like an MP3\n")
        return top, audio, others

    def read_tags(self, path):
        code, out, err = run_tool("read", path)
        self.assertEqual(code, 0, err)
        return json.loads(out)

    def assert_failed_with(self, result, code, *needles):
        got_code, out, err = result
        self.assertEqual(got_code, code, (out, err))
        text = err.decode("utf-8", "replace")
        self.assertTrue(text.startswith("quorvale-tag: "), text)
        for needle in needles:
            self.assertIn(needle, text)


class Read(CliTestCase):
    def test_one_file_prints_the_json_alone(self):
        for name, fmt in [("sample.mp3", "mp3"), ("sample.flac", "flac"), ("sample.m4a", "mp4")]:
            with self.subTest(name=name):
                path = self.copy(name)
                code, out, err = run_tool("read", path)
                self.assertEqual((code, err), (0, b""))
                # exactly one compact object and one newline, so it pipes into jq
                self.assertTrue(out.endswith(b"}\n") and out.count(b"\n") == 1, out)
                self.assertEqual(json.loads(out)["format"], fmt)

    def test_cut_off_tags_warn(self):
        # the cut falls inside the ID3v2 tag, inside the FLAC metadata blocks
        for name in ["sample.mp3", "sample.flac"]:
            with self.subTest(name=name):
                data = read_bytes(os.path.join(FIXTURES, name))
                whole = self.copy(name)
                code, out, err = run_tool("read", whole)
                self.assertEqual((code, err), (0, b""))
                cut = self.path("cut-" + name)
                tag_end = 10 + sum(data[6 + i] << (21 - 7 * i) for i in range(4))
                with open(cut, "wb") as f:
                    f.write(data[:tag_end // 2] if name == "sample.mp3" else data[:60])
                code, out, err = run_tool("read", cut)
                self.assertEqual(code, 0, err)
                json.loads(out)
                self.assertIn(("quorvale-tag: warning: %s: the tags are cut short" % cut).encode(),
                              err)

    def test_several_files_are_json_lines(self):
        mp3 = self.copy("sample.mp3")
        flac = self.copy("sample.flac")
        missing = self.path("missing.mp3")
        text = self.path("notes.txt")
        with open(text, "w") as f:
            f.write("not audio at all\n")
        code, out, err = run_tool("read", mp3, missing, flac, text)
        self.assertEqual(code, 1)
        lines = json_lines(out)
        self.assertEqual([list(obj)[0] for obj in lines], ["path"] * 4)
        self.assertEqual([obj["path"] for obj in lines], [mp3, missing, flac, text])
        self.assertEqual([obj.get("format") for obj in lines], ["mp3", None, "flac", None])
        self.assertTrue(lines[1]["error"].startswith("cannot open: " + missing), lines[1])
        self.assertEqual(lines[3], {"path": text, "error": "unsupported or unrecognized format"})
        # the rest of each object is what reading the file alone gives
        self.assertEqual({k: v for k, v in lines[0].items() if k != "path"}, self.read_tags(mp3))
        errors = err.decode().splitlines()
        self.assertEqual(len(errors), 2, errors)
        self.assertTrue(errors[0].startswith("quorvale-tag: %s: cannot open: " % missing),
                        errors[0])
        self.assertEqual(errors[1], "quorvale-tag: %s: unsupported or unrecognized format" % text)

    def test_any_file_name_stays_on_its_line(self):
        if WINDOWS:
            self.skipTest("such names cannot be made or passed on Windows")
        names = ["tab\there.mp3", "new\nline.mp3", 'quote" back\\slash.mp3', "ctl\x01.mp3"]
        paths = [self.copy("sample.mp3", n) for n in names]
        odd = os.fsencode(self.dir) + b"/caf\xe9.mp3"
        shutil.copyfile(os.path.join(FIXTURES, "sample.mp3"), odd)
        code, out, err = run_tool("read", *paths, odd)
        self.assertEqual((code, err), (0, b""))
        lines = json_lines(out)
        self.assertEqual(len(lines), 5)
        self.assertEqual([obj["path"] for obj in lines[:4]], paths)
        # a byte that is not UTF-8 comes back through os.fsencode
        self.assertEqual(os.fsencode(lines[4]["path"]), odd)

    def test_several_good_files_succeed(self):
        paths = [self.copy("sample.mp3"), self.copy("sample.m4a")]
        code, out, err = run_tool("read", *paths)
        self.assertEqual((code, err), (0, b""))
        self.assertEqual([obj["path"] for obj in json_lines(out)], paths)

    def test_read_all_prints_every_property_as_read_prints_the_tags(self):
        paths = [self.copy("sample.mp3"), self.copy("sample.flac"), self.copy("sample.m4a")]
        code, out, err = run_tool("read", "--all", paths[0])
        self.assertEqual((code, err), (0, b""))
        alone = json.loads(out)
        self.assertEqual(list(alone), ["format", "properties", "pictures"])
        code, tags_out, _ = run_tool("read", paths[0])
        self.assertEqual(alone["properties"]["TITLE"], [json.loads(tags_out)["title"]])
        self.assertEqual([p["type"] for p in alone["pictures"]], [3])
        # Several files: JSON Lines with "path" first; a missing file is an error line.
        missing = self.path("missing.mp3")
        code, out, err = run_tool("read", "--all", *paths, missing)
        self.assertEqual(code, 1)
        lines = json_lines(out)
        self.assertEqual([list(obj)[:2] for obj in lines[:3]], [["path", "format"]] * 3)
        self.assertEqual([obj["format"] for obj in lines[:3]], ["mp3", "flac", "mp4"])
        self.assertEqual(lines[0], dict(path=paths[0], **alone))
        self.assertEqual(set(lines[3]), {"path", "error"})
        self.assertIn(b"missing.mp3", err)

    def test_recursive_reads_audio_by_content(self):
        top, audio, others = self.make_tree()
        for flag in ["-r", "--recursive"]:
            with self.subTest(flag=flag):
                code, out, err = run_tool("read", flag, top)
                self.assertEqual(code, 0, err)
                lines = json_lines(out)
                self.assertEqual([obj["path"] for obj in lines], audio)
                self.assertEqual([obj["format"] for obj in lines], ["mp3", "flac", "mp4", "flac"])
                notes = err.decode().splitlines()
                self.assertEqual(notes, ["quorvale-tag: %s: skipped (not an MP3, FLAC, MP4, Ogg Vorbis or Opus file)"
                                         % p for p in others])
        # one folder alone is still a list; a folder without -r is refused and the rest is read
        code, out, err = run_tool("read", "-r", join(top, "b-sub", "deeper"))
        self.assertEqual([obj["path"] for obj in json_lines(out)], [audio[1]])
        code, out, err = run_tool("read", top, audio[0])
        self.assertEqual(code, 1)
        self.assertIn(b"is a folder", err)
        self.assertEqual(json.loads(out)["format"], "mp3")

    def test_recursive_takes_ogg_and_opus_by_content(self):
        top = self.path("ogg")
        os.makedirs(top)
        files = {"a.ogg": VORBIS_FILE, "b.oga": VORBIS_FILE, "c.opus": OPUS_FILE,
                 "d.dat": OPUS_FILE, "e.ogg": ogg_file(b"\x80theora" + b"\x00" * 40, b"x")}
        for name, data in files.items():
            with open(join(top, name), "wb") as f:
                f.write(data)
        code, out, err = run_tool("read", "-r", top)
        self.assertEqual(code, 0, err)
        lines = json_lines(out)
        self.assertEqual([(os.path.basename(o["path"]), o["format"], o["title"]) for o in lines],
                         [("a.ogg", "ogg", "Vorbis"), ("b.oga", "ogg", "Vorbis"),
                          ("c.opus", "opus", "Opus"), ("d.dat", "opus", "Opus")])
        self.assertEqual(err.decode().splitlines(), [
            "quorvale-tag: %s: skipped (not an MP3, FLAC, MP4, Ogg Vorbis or Opus file)"
            % join(top, "e.ogg")])
        code, out, err = run_tool("write", "-r", top, "--title", "New")
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read_tags(join(top, "c.opus"))["title"], "New")

    def test_recursive_does_not_follow_links_to_folders(self):
        if WINDOWS:
            self.skipTest("symbolic links")
        top, audio, _ = self.make_tree()
        os.symlink("..", join(top, "b-sub", "up"))
        os.symlink(audio[0], join(top, "link.mp3"))
        code, out, err = run_tool("read", "-r", top)
        self.assertEqual(code, 0, err)
        paths = [obj["path"] for obj in json_lines(out)]
        self.assertEqual(paths, audio[:3] + [audio[3], join(top, "link.mp3")])
        self.assertIn(("quorvale-tag: %s: skipped (not a regular file)" %
                       join(top, "b-sub", "up")).encode(), err)

    def test_each_line_is_out_before_the_next_file(self):
        if WINDOWS or TOOL_PREFIX:
            self.skipTest("traced with strace")
        if not shutil.which("strace"):
            self.fail("strace is missing (scripts/setup.sh test installs it)")
        # The first file's line must reach standard output before the second file is opened, as
        # it would before an interrupted run: the system calls show the order.
        mp3 = self.copy("sample.mp3")
        flac = self.copy("sample.flac")
        trace = self.path("trace")
        # LeakSanitizer cannot run under a tracer: a sanitizer build leaves it off here.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        out = subprocess.run(["strace", "-f", "-e", "trace=openat,write", "-s", "4096", "-o", trace,
                              TOOL, "read", mp3, flac], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, env=env, check=True).stdout
        self.assertEqual([json.loads(l)["path"] for l in out.splitlines()], [mp3, flac])
        with open(trace, encoding="utf-8", errors="replace") as f:
            calls = f.read().splitlines()
        first_line = next(i for i, c in enumerate(calls)
                          if " write(1, " in c and json.dumps(mp3)[1:-1] in c)
        second_open = next(i for i, c in enumerate(calls) if "openat(" in c and flac in c)
        self.assertLess(first_line, second_open, "the first line waited for the second file")

    def test_progress_only_on_a_terminal(self):
        if WINDOWS:
            self.skipTest("pseudo-terminals")
        paths = [self.copy("sample.mp3"), self.copy("sample.flac"), self.copy("sample.m4a")]
        code, out, shown = on_terminal("read", *paths, stdout_too=False)
        self.assertEqual(code, 0)
        for n in (1, 2, 3):
            self.assertIn(b"quorvale-tag: file %d of 3" % n, shown)
        self.assertTrue(shown.rstrip(b" ").endswith(b"\r"), shown)  # cleared at the end
        self.assertEqual(len(json_lines(out)), 3)
        # not on a pipe
        self.assertEqual(run_tool("read", *paths)[2], b"")


class Write(CliTestCase):
    def test_options_set_tags_and_keep_the_others(self):
        for name in ["sample.mp3", "sample.flac"]:
            with self.subTest(name=name):
                path = self.copy(name)
                code, out, err = run_tool("write", path, "--artist", "Kept Artist", "--album",
                                          "Kept Album", "--genre", "Jazz", "--date", "1999",
                                          "--track", "7")
                self.assertEqual((code, out, err), (0, b"", b""))
                code, out, err = run_tool("write", path, "--title=New Title")
                self.assertEqual((code, err), (0, b""))
                tags = self.read_tags(path)
                self.assertEqual(
                    [tags[k] for k in ["title", "artist", "album", "genre", "date", "track"]],
                    ["New Title", "Kept Artist", "Kept Album", "Jazz", "1999", "7"])

    def test_values_are_escaped(self):
        # Each value must come back byte for byte; a value that breaks the JSON object fails.
        values = [
            'say "hi"',
            "back\\slash \\\" mixed",
            "tab\there, line\nfeed, cr\r, bell\x07, esc\x1b, unit\x1f",
            "Caf\u00e9 \u2013 \u6771\u4eac \U0001f3b5",
            '{"title":"injected"}',
            "\\u0041 stays literal",
            "",
        ]
        for name, value in [(n, v) for n in ["sample.mp3", "sample.flac"] for v in values]:
            with self.subTest(name=name, value=value):
                path = self.copy(name)
                code, out, err = run_tool("write", path, "--title", value, "--artist", value)
                self.assertEqual((code, err), (0, b""))
                tags = self.read_tags(path)
                self.assertEqual((tags["title"], tags["artist"]), (value, value))

    def test_json_is_passed_through(self):
        path = self.copy("sample.flac")
        code, out, err = run_tool("write", path, "--json", '{"album":"From JSON","year":"2001"}')
        self.assertEqual((code, err), (0, b""))
        tags = self.read_tags(path)
        self.assertEqual((tags["album"], tags["date"]), ("From JSON", "2001"))
        # an object read back in is taken as it stands, without warnings
        code, out, err = run_tool("write", path, "--json", json.dumps(self.read_tags(path)))
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(self.read_tags(path)["album"], "From JSON")

    def test_json_checked_once_before_any_file(self):
        paths = [self.copy("sample.mp3"), self.copy("sample.flac"), self.copy("sample.m4a")]
        before = [read_bytes(p) for p in paths]
        cases = [
            ('{"title":"a",}', "at byte 13 (line 1, column 14): a member name"),
            ('{\n "title": "a"\n "album": "b"}', "at byte 17 (line 3, column 2): ',' or '}'"),
            ('{"title":"a"} {}', "at byte 14 (line 1, column 15): only one value"),
            ('{"title":"\\ud800"}', "a high surrogate escape without its low half"),
            ('{"title":"a\tb"}', "a control character inside a string"),
            ("", "at byte 0 (line 1, column 1): the text ends where a value was expected"),
            ("[1]", "--json must be a JSON object"),
            ('{"title":"a\\u0000b"}', 'the value of "title" holds U+0000'),
        ]
        for text, needle in cases:
            for command in ["write", "batch"]:
                with self.subTest(text=text, command=command):
                    code, out, err = run_tool(command, "--json", text, *paths)
                    self.assertEqual((code, out), (2, b""), err)
                    self.assertIn(needle.encode(), err)
                    self.assertEqual(err.count(b"quorvale-tag: "), 1, err)
        self.assertEqual([read_bytes(p) for p in paths], before)

    def test_ignored_members_are_warned_about(self):
        path = self.copy("sample.mp3")
        code, out, err = run_tool("write", path, "--json",
                                  '{"titel":"x","title":"T","track":5,"cover":"c","year":[]}')
        self.assertEqual((code, out), (0, b""))
        self.assertEqual(err.decode().splitlines(), [
            'quorvale-tag: warning: --json member "titel" is not a tag; it is ignored',
            'quorvale-tag: warning: --json member "track" is ignored: its value must be a string '
            'or null',
            'quorvale-tag: warning: --json member "cover" is ignored: only null (remove the '
            'cover) is understood',
            'quorvale-tag: warning: --json member "year" is ignored: its value must be a string '
            'or null'])
        self.assertEqual(self.read_tags(path)["title"], "T")

    def test_remove_tags(self):
        # a removed tag leaves no frame or comment behind; an empty value keeps an empty one
        for name, frame in [("sample.mp3", b"TIT2"), ("sample.flac", b"TITLE=")]:
            with self.subTest(name=name):
                path = self.copy(name)
                self.assertEqual(run_tool("write", path, "--title", "")[0], 0)
                self.assertIn(frame, read_bytes(path).upper())
                code, out, err = run_tool("write", path, "--remove", "title", "--remove=date",
                                          "--album", "Kept")
                self.assertEqual((code, out, err), (0, b"", b""))
                self.assertNotIn(frame, read_bytes(path).upper())
                tags = self.read_tags(path)
                self.assertEqual((tags["title"], tags["date"], tags["album"]), ("", "", "Kept"))
                self.assertNotEqual(tags["artist"], "")
                code, out, err = run_tool("write", path, "--json", '{"artist":null}')
                self.assertEqual((code, err), (0, b""))
                self.assertEqual(self.read_tags(path)["artist"], "")

    def test_refused_file_others_still_written(self):
        m4a = self.fragment(self.copy("sample.m4a", "fragmented.m4a"))
        mp3 = self.copy("sample.mp3")
        plain = self.copy("sample.m4a")
        before = read_bytes(m4a)
        result = run_tool("write", m4a, mp3, plain, "--title", "Both?")
        self.assert_failed_with(result, 1,
                                "quorvale-tag: %s: fragmented MP4 (moof) write unsupported" % m4a)
        self.assertEqual(read_bytes(m4a), before)
        self.assertEqual(self.read_tags(mp3)["title"], "Both?")
        self.assertEqual(self.read_tags(plain)["title"], "Both?")

    def test_dry_run_shows_the_merge_and_writes_nothing(self):
        mp3, flac, m4a = self.copy("sample.mp3"), self.copy("sample.flac"), self.copy("sample.m4a")
        before = {p: read_bytes(p) for p in (mp3, flac, m4a)}
        # alone: the bare object a read would give after the write
        code, out, err = run_tool("write", "--dry-run", mp3, "--title", "Dry", "--track", "")
        self.assertEqual((code, err), (0, b""))
        expected = dict(self.read_tags(mp3), title="Dry", track="")
        self.assertEqual(json.loads(out), expected)
        # several: JSON Lines; the library's rules apply ("year" stands for "date")
        code, out, err = run_tool("write", "--dry-run", "--json", '{"year":"1970","x":1}', flac,
                                  m4a)
        self.assertEqual(code, 0)
        lines = json_lines(out)
        self.assertEqual(lines[0], dict(self.read_tags(flac), path=flac, date="1970"))
        self.assertEqual(lines[1], dict(self.read_tags(m4a), path=m4a, date="1970"))
        for path, data in before.items():
            self.assertEqual(read_bytes(path), data)
        # then the real write stores what the dry run showed
        self.assertEqual(run_tool("write", mp3, "--title", "Dry", "--track", "")[0], 0)
        self.assertEqual(self.read_tags(mp3), expected)

    def test_dry_run_copies_nothing(self):
        mp3 = self.copy("sample.mp3")
        self.assertEqual(run_tool("cover", "set", mp3, self.copy("cover.png"))[0], 0)
        before = read_bytes(mp3)
        tmp = self.path("no-such-folder")  # a dry run needs no room for a copy
        removal = '{"title":null,"cover":null,"album":"A"}'
        # (under Wine the variable would move the emulator's own folder as well)
        env = os.environ if WINDOWS else dict(os.environ, TMPDIR=tmp)
        proc = subprocess.run(TOOL_PREFIX + [TOOL, "write", "--dry-run", mp3, "--json", removal],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, env=env)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""))
        self.assertEqual(sorted(os.listdir(self.dir)), ["cover.png", "sample.mp3"])
        self.assertEqual(read_bytes(mp3), before)
        shown = json.loads(proc.stdout)
        self.assertEqual(run_tool("write", mp3, "--json", removal)[0], 0)
        self.assertEqual(shown, self.read_tags(mp3))
        self.assertEqual((shown["title"], shown["has_cover"], shown["album"]), ("", False, "A"))
        if not WINDOWS and os.geteuid() != 0:  # a folder a write cannot create its file in
            locked = self.path("locked")
            os.mkdir(locked)
            song = self.copy("sample.flac", "locked/song.flac")
            os.chmod(locked, 0o555)
            self.addCleanup(os.chmod, locked, 0o755)
            self.assert_failed_with(run_tool("write", "--dry-run", song, "--title", "x"), 1,
                                    song + ": cannot create temp: Permission denied")

    def test_recursive_write(self):
        top, audio, others = self.make_tree()
        before = {p: read_bytes(p) for p in others + [audio[2]]}
        code, out, err = run_tool("write", "-r", top, "--album", "Walked")
        self.assertEqual((code, out), (1, b""))
        self.assertIn(("quorvale-tag: %s: fragmented MP4 (moof) write unsupported" % audio[2])
                      .encode(), err)
        self.assertEqual(err.count(b"skipped (not an MP3, FLAC, MP4, Ogg Vorbis or Opus file)"), 2)
        for path in [audio[0], audio[1], audio[3]]:
            self.assertEqual(self.read_tags(path)["album"], "Walked")
        for path, data in before.items():
            self.assertEqual(read_bytes(path), data)

    def test_several_files_end_with_a_summary(self):
        top, audio, _ = self.make_tree()
        code, out, err = run_tool("write", "-r", top, "--title", "T")
        self.assertEqual((code, out), (1, b""))
        self.assertRegex(err, rb"quorvale-tag: 3 written, 0 unchanged, 1 failed\r?\n")
        self.assertIn(("quorvale-tag:   failed: %s: fragmented MP4" % audio[2]).encode(), err)
        # in a script, a job where nothing failed stays quiet; on a terminal it shows progress
        # and the summary
        files = [self.copy("sample.mp3"), self.copy("sample.flac")]
        self.assertEqual(run_tool("write", *files, "--title", "T"), (0, b"", b""))
        if WINDOWS:
            return
        code, _, shown = on_terminal("write", *files, "--title", "U")
        self.assertEqual(code, 0)
        self.assertIn(b"quorvale-tag: 1 of 2 files done", shown)
        self.assertIn(b"quorvale-tag: 2 written, 0 unchanged, 0 failed\r\n", shown)

    def test_bad_arguments_write_nothing(self):
        path = self.copy("sample.mp3")
        before = read_bytes(path)
        cases = [
            (["--title", "x", "--json", '{"title":"y"}'], "cannot be combined"),
            (["--title", "a", "--title", "b"], "given twice"),
            ([], "no tags given"),
            (["--remove", "cover"], "--remove takes title, artist"),
            (["--title", "a", "--remove", "title"], "cannot be combined with --remove title"),
            (["--remove", "title", "--json", "{}"], "cannot be combined"),
        ]
        if not WINDOWS:  # a Windows command line is always text; bytes cannot be passed
            cases += [
                (["--title", b"caf\xe9"], "--title: the value is not valid UTF-8"),
                (["--title", b"\xed\xa0\x80 surrogate"], "not valid UTF-8"),
            ]
        for extra, needle in cases:
            with self.subTest(extra=extra):
                self.assert_failed_with(run_tool("write", path, *extra), 2, needle)
                self.assertEqual(read_bytes(path), before)


class Cover(CliTestCase):
    def test_set_then_get_round_trip(self):
        for audio, image, mime in [("sample.mp3", "cover.png", "image/png"),
                                   ("sample.flac", "cover.jpg", "image/jpeg"),
                                   ("sample.mp3", "cover.jpg", "image/jpeg")]:
            with self.subTest(audio=audio, image=image):
                path = self.copy(audio)
                image_path = self.copy(image)
                code, out, err = run_tool("write", path, "--title", "Cover Test")
                self.assertEqual(code, 0, err)
                code, out, err = run_tool("cover", "set", path, image_path)
                self.assertEqual((code, out, err), (0, b"", b""))
                tags = self.read_tags(path)
                self.assertEqual((tags["has_cover"], tags.get("cover_mime"), tags["title"]),
                                 (True, mime, "Cover Test"))
                out_path = self.path("out.bin")
                with open(out_path, "wb") as f:
                    f.write(b"old contents, longer than nothing" * 100)
                code, out, err = run_tool("cover", "get", path, out_path)
                self.assertEqual((code, out, err), (0, b"", b""))
                self.assertEqual(read_bytes(out_path), read_bytes(image_path))

    def test_get_to_standard_output(self):
        tmp = self.path("tmp")
        os.mkdir(tmp)
        for audio, image in [("sample.mp3", "cover.png"), ("sample.flac", "cover.jpg")]:
            with self.subTest(audio=audio):
                path = self.copy(audio)
                self.assertEqual(run_tool("cover", "set", path, self.copy(image))[0], 0)
                proc = subprocess.run(TOOL_PREFIX + [TOOL, "cover", "get", path, "-"],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
                                      env=dict(os.environ, TMPDIR=tmp))
                self.assertEqual((proc.returncode, proc.stderr), (0, b""))
                self.assertEqual(proc.stdout, read_bytes(self.path(image)))
        if not WINDOWS:  # the temporary file is gone, also when the reader goes away at once
            # a picture larger than the output buffers, so that the program writes while it runs
            big = self.path("big.png")
            with open(big, "wb") as f:
                f.write(read_bytes(self.path("cover.png")) + os.urandom(300000))
            self.assertEqual(run_tool("cover", "set", path, big)[0], 0)
            proc = subprocess.Popen(TOOL_PREFIX + [TOOL, "cover", "get", path, "-"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    env=dict(os.environ, TMPDIR=tmp))
            proc.stdout.close()
            proc.wait(timeout=60)
            self.assertEqual(os.listdir(tmp), [])
        untagged = self.path("untagged.mp3")
        with open(untagged, "wb") as f:
            f.write(b"\xff\xfb\x90\x64" + bytes(413))
        self.assert_failed_with(run_tool("cover", "get", untagged, "-"), 1, "no cover art")

    @unittest.skipIf(WINDOWS or not hasattr(os, "openpty"), "needs a pseudo-terminal")
    def test_get_refuses_a_terminal(self):
        path = self.copy("sample.mp3")
        self.assertEqual(run_tool("cover", "set", path, self.copy("cover.png"))[0], 0)
        leader, follower = os.openpty()
        try:
            proc = subprocess.run(TOOL_PREFIX + [TOOL, "cover", "get", path, "-"],
                                  stdout=follower, stderr=subprocess.PIPE, timeout=60)
        finally:
            os.close(follower)
            os.close(leader)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"standard output is a terminal", proc.stderr)

    def test_get_names_the_output_it_cannot_write(self):
        path = self.copy("sample.mp3")
        self.assertEqual(run_tool("cover", "set", path, self.copy("cover.png"))[0], 0)
        out = self.path(join("no-such-folder", "out.png"))
        self.assert_failed_with(run_tool("cover", "get", path, out), 1,
                                "cannot write cover: " + out)

    def test_set_many_and_remove(self):
        top, audio, others = self.make_tree()
        mp3 = self.copy("sample.mp3")
        png = self.copy("cover.png")
        code, out, err = run_tool("cover", "set", "-r", top, mp3, png)
        self.assertEqual((code, out), (1, b""))
        self.assertIn(("%s: fragmented MP4 (moof) write unsupported" % audio[2]).encode(), err)
        for path in [audio[0], audio[1], audio[3], mp3]:
            tags = self.read_tags(path)
            self.assertEqual((tags["has_cover"], tags.get("cover_mime")), (True, "image/png"))
        code, out, err = run_tool("cover", "remove", mp3, audio[1])
        self.assertEqual((code, out, err), (0, b"", b""))
        for path in [mp3, audio[1]]:
            self.assertFalse(self.read_tags(path)["has_cover"])
        self.assertTrue(self.read_tags(audio[0])["has_cover"])
        code, out, err = run_tool("cover", "remove", "--recursive", top)
        self.assertEqual(code, 1)
        self.assertFalse(self.read_tags(audio[0])["has_cover"])

    def test_set_warns_about_other_pictures(self):
        gif = self.path("cover.gif")
        with open(gif, "wb") as f:
            f.write(b"GIF89a\x01\x00\x01\x00\x00\x00\x00;")
        path = self.copy("sample.flac")
        code, out, err = run_tool("cover", "set", path, gif)
        self.assertEqual((code, out, err), (0, b"", b""))
        self.assertEqual(self.read_tags(path)["cover_mime"], "image/gif")
        tiff = self.path("cover.tif")
        with open(tiff, "wb") as f:
            f.write(b"II*\x00\x08\x00\x00\x00" + bytes(8))
        code, out, err = run_tool("cover", "set", path, tiff)
        self.assertEqual((code, out), (0, b""))
        self.assertEqual(err.decode().splitlines(),
                         ["quorvale-tag: warning: %s is not a PNG, JPEG, GIF, WebP or BMP picture; "
                          "it is stored labelled image/jpeg" % tiff])
        self.assertEqual(self.read_tags(path)["cover_mime"], "image/jpeg")
        # a refused file gets its refusal only
        m4a = self.fragment(self.copy("sample.m4a"))
        self.assert_failed_with(run_tool("cover", "set", m4a, gif), 1,
                                "fragmented MP4 (moof) write unsupported")
        self.assertEqual(len(run_tool("cover", "set", m4a, gif)[2].splitlines()), 1)

    def test_get_without_cover(self):
        # an MP3 stream without any tag: one frame header and silence
        path = self.path("untagged.mp3")
        with open(path, "wb") as f:
            f.write(b"\xff\xfb\x90\x64" + bytes(413))
        self.assertFalse(self.read_tags(path)["has_cover"])
        out_path = self.path("none.jpg")
        self.assert_failed_with(run_tool("cover", "get", path, out_path), 1,
                                "quorvale-tag: %s: no cover art" % path)
        self.assertFalse(os.path.exists(out_path))

    def test_set_refused(self):
        m4a = self.fragment(self.copy("sample.m4a"))
        mp3 = self.copy("sample.mp3")
        image = self.copy("cover.jpg")
        empty = self.path("empty.jpg")
        open(empty, "wb").close()
        cases = [
            (m4a, image, m4a + ": fragmented MP4 (moof) write unsupported"),
            (mp3, empty, empty + ": the image file is empty"),
            (mp3, self.path("missing.jpg"), "cannot open: " + self.path("missing.jpg")),
        ]
        for audio, picture, needle in cases:
            with self.subTest(audio=audio, picture=picture):
                before = read_bytes(audio)
                self.assert_failed_with(run_tool("cover", "set", audio, picture), 1, needle)
                self.assertEqual(read_bytes(audio), before)


class Batch(CliTestCase):
    def test_all_written(self):
        paths = [self.copy("sample.mp3"), self.copy("sample.flac")]
        if not WINDOWS:  # such names are not allowed, or not UTF-8 in argv, on Windows
            paths += [self.copy("sample.mp3", 'we"ird\\name\t.mp3'),
                      self.copy("sample.flac", "caf\u00e9.flac")]
        code, out, err = run_tool("batch", *paths, "--title", 'Batch "B"', "--track", "2")
        self.assertEqual((code, out, err), (0, b"wrote %d of %d files\n" % (len(paths), len(paths)),
                                            b""))
        for path in paths:
            tags = self.read_tags(path)
            self.assertEqual((tags["title"], tags["track"]), ('Batch "B"', "2"))

    def test_counts_and_last_error(self):
        mp3 = self.copy("sample.mp3")
        m4a = self.fragment(self.copy("sample.m4a"))
        missing = self.path("missing.flac")
        # the last file fails: its message is shown
        code, out, err = run_tool("batch", "--json", '{"album":"A"}', mp3, missing, m4a)
        self.assertEqual((code, out), (1, b"wrote 1 of 3 files\n"))
        self.assertIn(b"2 file(s) not written; last message: fragmented MP4 (moof) write unsupported",
                      err)
        # each file not written is named, the written one is not
        lines = err.replace(b"\r\n", b"\n").split(b"\n")
        for path in (missing, m4a):
            self.assertIn(b"quorvale-tag: batch: not written: " + path.encode(), lines)
        self.assertNotIn(b"not written: " + mp3.encode(), err)
        self.assertEqual(self.read_tags(mp3)["album"], "A")
        # the last file succeeds: the count still tells of the failure
        code, out, err = run_tool("batch", "--album", "B", missing, mp3)
        self.assertEqual((code, out), (1, b"wrote 1 of 2 files\n"))
        self.assertIn(b"1 file(s) not written", err)
        lines = err.replace(b"\r\n", b"\n").split(b"\n")
        self.assertIn(b"quorvale-tag: batch: not written: " + missing.encode(), lines)
        self.assertNotIn(b"not written: " + mp3.encode(), err)
        # a bad tag object is refused before any file
        code, out, err = run_tool("batch", "--json", "{oops", mp3)
        self.assertEqual((code, out), (2, b""))
        self.assertIn(b"--json is not valid JSON at byte 1", err)
        self.assertEqual(self.read_tags(mp3)["album"], "B")

    def test_each_file_not_written_is_named_with_its_own_reason(self):
        # A file listed twice is written twice; only the missing one is named, every run.
        b1 = self.copy("sample.mp3", "b1.mp3")
        nosuch = self.path("nosuch.mp3")
        for _ in range(3):
            code, out, err = run_tool("batch", b1, b1, nosuch, "--album", "Z")
            self.assertEqual((code, out), (1, b"wrote 2 of 3 files\n"))
            lines = err.replace(b"\r\n", b"\n").split(b"\n")
            self.assertEqual([l for l in lines if b"not written:" in l],
                             [b"quorvale-tag: batch: not written: " + nosuch.encode()])
            self.assertTrue(any(l.startswith(b"quorvale-tag: %s: cannot open: %s (" % (
                nosuch.encode(), nosuch.encode())) for l in lines), err)
        self.assertEqual(self.read_tags(b1)["album"], "Z")
        # Two failures, each with the reason of its own write, not the last file's.
        m4a = self.fragment(self.copy("sample.m4a"))
        code, out, err = run_tool("batch", "--album", "Y", m4a, b1, nosuch)
        self.assertEqual((code, out), (1, b"wrote 1 of 3 files\n"))
        lines = err.replace(b"\r\n", b"\n").split(b"\n")
        self.assertIn(b"quorvale-tag: %s: fragmented MP4 (moof) write unsupported" % m4a.encode(),
                      lines)
        self.assertTrue(any(l.startswith(b"quorvale-tag: %s: cannot open: " % nosuch.encode())
                            for l in lines), err)
        self.assertIn(b"2 file(s) not written; last message: cannot open: ", err)

    def test_recursive(self):
        top, audio, others = self.make_tree()
        code, out, err = run_tool("batch", "--recursive", "--genre", "Walked", top)
        self.assertEqual((code, out), (1, b"wrote 3 of 4 files\n"))
        self.assertEqual(err.count(b"skipped (not an MP3, FLAC, MP4, Ogg Vorbis or Opus file)"), 2)
        self.assertEqual([self.read_tags(p)["genre"] for p in [audio[0], audio[1], audio[3]]],
                         ["Walked"] * 3)
        # an empty folder is no failure
        code, out, err = run_tool("batch", "-r", join(top, "empty"), "--genre", "x")
        self.assertEqual((code, out, err), (0, b"wrote 0 of 0 files\n", b""))

    def test_non_utf8_path_passed_as_it_is(self):
        mp3 = self.copy("sample.mp3")
        if WINDOWS:  # the program sees this name in the ANSI code page: 0xE9 for the accent
            odd = self.copy("sample.mp3", "caf\u00e9.mp3")
        else:
            odd = os.fsencode(self.dir) + b"/caf\xe9.mp3"
            shutil.copyfile(os.path.join(FIXTURES, "sample.mp3"), odd)
        code, out, err = run_tool("batch", "--title", "odd", mp3, odd)
        self.assertEqual((code, out, err), (0, b"wrote 2 of 2 files\n", b""))
        self.assertEqual([self.read_tags(p)["title"] for p in [mp3, odd]], ["odd", "odd"])


class Properties(CliTestCase):
    """write/batch --set KEY=VALUE and --remove KEY: the tag object's "properties" member."""

    def read_all(self, path):
        code, out, err = run_tool("read", "--all", path)
        self.assertEqual(code, 0, err)
        return json.loads(out)

    def audio_files(self):
        files = [self.copy("sample.mp3"), self.copy("sample.flac"), self.copy("sample.m4a")]
        for name, data in [("vorbis.ogg", VORBIS_FILE), ("opus.opus", OPUS_FILE)]:
            with open(self.path(name), "wb") as f:
                f.write(data)
            files.append(self.path(name))
        return files

    def test_set_and_remove_every_container(self):
        comment = 'say "hi"\\ to\tall\nand more, caf\u00e9'
        for path in self.audio_files():
            with self.subTest(path=os.path.basename(path)):
                self.assertEqual(run_tool("write", path, "--set", "COMPOSER=Old")[0], 0)
                before = self.read_all(path)["properties"]
                self.assertEqual(before.get("COMPOSER"), ["Old"])
                code, out, err = run_tool(
                    "write", path, "--set", "artist=Ann", "--set=ARTIST=Bo", "--set",
                    "ALBUMARTIST=Various=Many", "--set", "COMMENT=" + comment, "--remove",
                    "composer", "--title", "T")
                self.assertEqual((code, out, err), (0, b"", b""))
                props = self.read_all(path)["properties"]
                # several values in order; only the first "=" ends the key
                self.assertEqual(props["ARTIST"], ["Ann", "Bo"])
                self.assertEqual(props["ALBUMARTIST"], ["Various=Many"])
                self.assertEqual(props["COMMENT"], [comment])
                self.assertEqual(props["TITLE"], ["T"])
                self.assertNotIn("COMPOSER", props)
                # keys not named stay as they were
                for key in set(before) - {"ARTIST", "ALBUMARTIST", "COMMENT", "TITLE", "COMPOSER"}:
                    self.assertEqual(props[key], before[key], key)

    def test_batch_sets_properties_in_every_file(self):
        paths = [self.copy("sample.mp3"), self.copy("sample.flac")]
        code, out, err = run_tool("batch", *paths, "--set", "GENRE=Jazz", "--set", "GENRE=Soul",
                                  "--set", "DISCNUMBER=1/2", "--remove", "ALBUM")
        self.assertEqual((code, out, err), (0, b"wrote 2 of 2 files\n", b""))
        for path in paths:
            props = self.read_all(path)["properties"]
            self.assertEqual((props["GENRE"], props["DISCNUMBER"]), (["Jazz", "Soul"], ["1/2"]))
            self.assertNotIn("ALBUM", props)

    def test_json_properties_are_passed_through(self):
        path = self.copy("sample.flac")
        tags = '{"properties":{"bpm":["120"],"MOOD":["calm","slow"]},"album":"A"}'
        code, out, err = run_tool("write", path, "--json", tags)
        self.assertEqual((code, out, err), (0, b"", b""))
        props = self.read_all(path)["properties"]
        self.assertEqual((props["BPM"], props["MOOD"], props["ALBUM"]),
                         (["120"], ["calm", "slow"], ["A"]))
        # an object printed by read --all is taken back without warnings
        code, out, err = run_tool("write", path, "--json", json.dumps(self.read_all(path)))
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(self.read_all(path)["properties"], props)

    def test_a_format_refusal_names_the_key_and_other_files_are_written(self):
        m4a, flac = self.copy("sample.m4a"), self.copy("sample.flac")
        before = read_bytes(m4a)
        result = run_tool("write", m4a, flac, "--set", "DISCNUMBER=1", "--set", "DISCNUMBER=2")
        self.assert_failed_with(result, 1, "%s: several values not supported by mp4: DISCNUMBER"
                                % m4a)
        self.assertEqual(read_bytes(m4a), before)
        self.assertEqual(self.read_all(flac)["properties"]["DISCNUMBER"], ["1", "2"])
        self.assert_failed_with(run_tool("write", m4a, "--set", "BPM=fast"), 1,
                                "value not supported by mp4: BPM")
        self.assertEqual(read_bytes(m4a), before)

    def test_usage_errors_write_nothing(self):
        path = self.copy("sample.mp3")
        before = read_bytes(path)
        cases = [
            (["--set", "ARTIST"], "--set takes KEY=VALUE"),
            (["--set", "=v"], "invalid property key: "),
            (["--set", "A\x01B=v"], "invalid property key: "),  # a control character
            (["--remove", "WITH=SIGN"], "invalid property key: WITH=SIGN"),
            (["--set", "COVERART=x"], "pictures are not properties: COVERART"),
            (["--remove", "metadata_block_picture"],
             "pictures are not properties: metadata_block_picture"),
            (["--set", "mood=a", "--remove", "MOOD"], "--set MOOD cannot be combined with --remove"),
            (["--remove", "MOOD", "--set", "Mood=a"], "cannot be combined with --remove MOOD"),
            (["--title", "x", "--set", "title=y"], "--title cannot be combined with --set or "
                                                   "--remove of TITLE"),
            (["--track", "1", "--remove", "TRACKNUMBER"], "--track cannot be combined"),
            (["--remove", "date", "--set", "DATE=2000"], "--remove date cannot be combined"),
            (["--set", "A=1", "--json", "{}"], "--json cannot be combined"),
            (["--remove", "A", "--json", "{}"], "--json cannot be combined"),
            (["--remove", "cover"], "the cover goes with 'cover remove'"),
        ]
        json_cases = [
            ('{"properties":[]}', "properties must be an object"),
            ('{"properties":{"A":"x"}}', "property values must be a list of strings: A"),
            ('{"properties":{"A":["x",1]}}', "property values must be a list of strings: A"),
            ('{"properties":{"Ab":["x"],"aB":[]}}', "property named twice: aB"),
            ('{"properties":{"A":["x\\u0000y"]}}', "NUL character in tag value: A"),
            ('{"properties":{"":[]}}', "invalid property key: "),
            ('{"properties":{"A\\u0009B":[]}}', "invalid property key: "),
            ('{"properties":{"A\\u0000":[]}}', "invalid property key: A\\u0000"),
            ('{"properties":{"COVERARTMIME":[]}}', "pictures are not properties: COVERARTMIME"),
        ]
        cases += [(["--json", text], "--json: " + needle) for text, needle in json_cases]
        if not WINDOWS:
            cases.append((["--set", b"A=caf\xe9"], "--set A: the value is not valid UTF-8"))
        for extra, needle in cases:
            for command in ["write", "batch"]:
                with self.subTest(extra=extra, command=command):
                    code, out, err = run_tool(command, path, *extra)
                    self.assertEqual((code, out), (2, b""), err)
                    self.assertIn(needle.encode(), err)
                    self.assertEqual(read_bytes(path), before)
        # null is no change
        code, out, err = run_tool("write", path, "--json", '{"properties":null}')
        self.assertEqual((code, err), (0, b""))

    def test_dry_run_prints_the_read_all_view_and_writes_nothing(self):
        flac, mp3 = self.copy("sample.flac"), self.copy("sample.mp3")
        files = {p: read_bytes(p) for p in (flac, mp3)}
        had = {p: self.read_all(p) for p in (flac, mp3)}
        options = ["--set", "ARTIST=Ann", "--set", "artist=Bo", "--remove", "GENRE",
                   "--title", "T", "--set", "MOOD=calm"]
        code, out, err = run_tool("write", "--dry-run", flac, *options)
        self.assertEqual((code, err), (0, b""))
        shown = json.loads(out)
        self.assertEqual(list(shown), ["format", "properties", "pictures"])
        expected = dict(had[flac]["properties"], TITLE=["T"], ARTIST=["Ann", "Bo"], MOOD=["calm"])
        del expected["GENRE"]
        self.assertEqual(shown["properties"], expected)
        # the named keys first, in the order the write names them, then the file's other keys
        self.assertEqual(list(shown["properties"])[:3], ["TITLE", "ARTIST", "MOOD"])
        self.assertEqual(shown["pictures"], had[flac]["pictures"])
        # several files: JSON Lines; "cover":null drops the front covers; the properties'
        # value wins over the member of the same key
        tags = '{"cover":null,"album":"X","properties":{"album":["Y","Z"],"LABEL":[]}}'
        code, out, err = run_tool("write", "--dry-run", flac, mp3, "--json", tags)
        self.assertEqual((code, err), (0, b""))
        for line, path in zip(json_lines(out), (flac, mp3)):
            self.assertEqual(line["path"], path)
            self.assertEqual(line["properties"]["ALBUM"], ["Y", "Z"])
            self.assertEqual([p for p in line["pictures"] if p["type"] == 3], [])
        for path, data in files.items():
            self.assertEqual(read_bytes(path), data)
        # the write stores what the dry run showed (FLAC keeps every value as given)
        self.assertEqual(run_tool("write", flac, *options)[0], 0)
        self.assertEqual(self.read_all(flac), shown)
        # a file the write cannot read gets the read's message
        self.assert_failed_with(run_tool("write", "--dry-run", self.path("none.mp3"), "--set",
                                         "A=1"), 1, "none.mp3")


class Show(CliTestCase):
    """get, keys, and the listing "read" prints on a terminal."""

    def tagged(self):
        """An MP3 and a FLAC file with two artists, a key of one's own and an empty value."""
        mp3, flac = self.copy("sample.mp3"), self.copy("sample.flac")
        for path in (mp3, flac):
            code, _, err = run_tool("write", path, "--set", "ARTIST=Ann", "--set", "ARTIST=Bo",
                                    "--set-custom", "MY KEY=x", "--set", "MOOD=",
                                    "--title", "caf\u00e9")
            self.assertEqual(code, 0, err)
        return mp3, flac

    def test_get_prints_only_the_values(self):
        mp3, flac = self.tagged()
        cases = [
            # (args, stdout)
            ([mp3, "ARTIST"], b"Ann\nBo\n"),
            ([mp3, "artist"], b"Ann\nBo\n"),  # any case
            ([mp3, "track"], b"3/12\n"),  # a field name of "read" stands for its key
            ([flac, "title"], "caf\u00e9\n".encode()),
            ([flac, "my key"], b"x\n"),
            ([flac, "MOOD"], b"\n"),  # an empty value is a line
            ([flac, "COMPOSER"], b""),  # absent: nothing, as metaflac prints nothing
            ([mp3, flac, "ARTIST"], ("%s:Ann\n%s:Bo\n%s:Ann\n%s:Bo\n"
                                     % (mp3, mp3, flac, flac)).encode()),
            (["--", mp3, "ARTIST"], b"Ann\nBo\n"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(run_tool("get", *args), (0, expected, b""))

    def test_keys_lists_the_keys_in_the_file_order(self):
        mp3, flac = self.tagged()
        code, out, err = run_tool("keys", flac)
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(out.decode().split("\n")[:-1],
                         list(json.loads(run_tool("read", "--all", flac)[1])["properties"]))
        self.assertIn(b"MY KEY\n", out)
        code, out, err = run_tool("keys", mp3, flac)
        self.assertEqual(sorted({line.split(":")[0] for line in out.decode().split("\n")[:-1]}),
                         sorted([mp3, flac]))

    def test_mistakes(self):
        mp3 = self.copy("sample.mp3")
        cases = [
            # (args, exit code, what standard error says)
            (["get"], 2, "get: usage: get FILE... KEY"),
            (["get", mp3], 2, "get: usage: get FILE... KEY"),  # the KEY forgotten
            (["get", "--bogus", mp3, "TITLE"], 2, "get: unknown option '--bogus'"),
            (["keys"], 2, "keys: no FILE given"),
            (["read", "--json", "--text", mp3], 2, "read: --json and --text cannot be combined"),
            (["read", "--txt", mp3], 2, "read: unknown option '--txt'"),
            (["get", self.path("none.mp3"), "TITLE"], 1, "none.mp3: cannot open"),
            (["keys", self.path("none.mp3")], 1, "none.mp3: cannot open"),
        ]
        for args, code, needle in cases:
            with self.subTest(args=args):
                self.assert_failed_with(run_tool(*args), code, needle)

    def test_listing_on_a_terminal_json_on_a_pipe(self):
        mp3, flac = self.tagged()
        # on a pipe "read" prints JSON as it always has; --text asks for the listing
        self.assertEqual(json.loads(run_tool("read", mp3)[1])["artist"], "Ann")
        code, out, err = run_tool("read", "--text", mp3)
        self.assertEqual((code, err), (0, b""))
        lines = out.decode().split("\n")
        self.assertEqual(lines[0], "FORMAT       mp3")
        self.assertIn("ARTIST       Ann", lines)
        self.assertIn("ARTIST       Bo", lines)
        self.assertIn("MY KEY       x", lines)
        self.assertIn("MOOD         ", lines)
        self.assertIn("PICTURES     1", lines)
        # several files: each listing headed by its path
        code, out, err = run_tool("read", "--text", mp3, flac)
        self.assertEqual(out.decode().split("\n")[0], mp3)
        self.assertIn("\n\n%s\nFORMAT       flac\n" % flac, out.decode())
        if WINDOWS:
            return
        code, _, shown = on_terminal("read", mp3)
        self.assertEqual(code, 0)
        self.assertTrue(shown.startswith(b"FORMAT       mp3\r\n"), shown)
        code, _, shown = on_terminal("read", "--json", mp3)
        self.assertEqual(json.loads(shown)["artist"], "Ann")


class PropertyKeys(CliTestCase):
    """A --set or --remove key that is neither in the table nor in the file is a typo."""

    def test_typos_are_refused_with_the_nearest_keys(self):
        path = self.copy("sample.mp3")
        before = read_bytes(path)
        cases = [
            # (options, what standard error says)
            (["--set", "ARTST=X"], "unknown property key 'ARTST' (did you mean ARTIST or ARTISTS?)"),
            (["--set", "albumartst=X"], "unknown property key 'albumartst' (did you mean "
                                        "ALBUMARTIST?)"),
            (["--set", "TITEL=X"], "(did you mean TITLE?)"),
            (["--set", "COMPOSER=a", "--set", "LABLE=b"], "unknown property key 'LABLE'"),
            (["--remove", "MOD"], "unknown property key 'MOD' (did you mean MOOD?); no FILE "
                                  "holds it"),
            (["--set", "XYZZYQ=1"], "unknown property key 'XYZZYQ'; to store it as it is, use "
                                    "--set-custom KEY=VALUE"),
        ]
        for options, needle in cases:
            for command in ["write", "batch"]:
                with self.subTest(options=options, command=command):
                    code, out, err = run_tool(command, path, *options)
                    self.assertEqual((code, out), (2, b""), err)
                    self.assertIn(needle.encode(), err)
                    self.assertEqual(read_bytes(path), before)

    def test_known_held_or_custom_keys_are_taken(self):
        path = self.copy("sample.flac")
        cases = [
            ["--set", "albumartist=A"],  # in the table, any case
            ["--set", "COMMENT:SOURCE=cd"],  # COMMENT:D by its first part
            ["--set", "PERFORMER:PIANO=P"],
            ["--set-custom", "MY_OWN=1"],
            ["--set", "MY_OWN=2"],  # the file holds it now
            ["--remove", "my_own"],
        ]
        for options in cases:
            with self.subTest(options=options):
                self.assertEqual(run_tool("write", path, *options), (0, b"", b""))
        props = json.loads(run_tool("read", "--all", path)[1])["properties"]
        self.assertEqual((props["ALBUMARTIST"], props["COMMENT:SOURCE"]), (["A"], ["cd"]))
        self.assertNotIn("MY_OWN", props)
        # a key held by one of several files is taken for all of them
        mp3 = self.copy("sample.mp3")
        self.assertEqual(run_tool("write", path, "--set-custom", "MINE=1")[0], 0)
        self.assertEqual(run_tool("batch", path, mp3, "--set", "MINE=2")[0], 0)
        self.assertEqual(run_tool("get", mp3, "MINE")[1], b"2\n")
        # --json is passed as it stands, for scripts
        self.assertEqual(run_tool("write", path, "--json", '{"properties":{"ARTST":["x"]}}')[0], 0)


class Strip(CliTestCase):
    def audio_md5(self, path):
        proc = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a",
                               "-c", "copy", "-f", "md5", "-"], stdout=subprocess.PIPE, timeout=60)
        return proc.stdout

    def test_every_tag_goes_and_the_audio_stays(self):
        for name in ["sample.mp3", "sample.flac", "sample.m4a"]:
            with self.subTest(name=name):
                path = self.copy(name)
                self.assertEqual(run_tool("write", path, "--set", "COMPOSER=C", "--set-custom",
                                          "MINE=m")[0], 0)
                audio = self.audio_md5(path)
                self.assertEqual(run_tool("strip", path), (0, b"", b""))
                after = json.loads(run_tool("read", "--all", path)[1])
                self.assertEqual(after["properties"], {})
                self.assertEqual([p["type"] for p in after["pictures"]], [3])  # kept
                tags = json.loads(run_tool("read", path)[1])
                self.assertEqual([tags[k] for k in ("title", "artist", "date")], ["", "", ""])
                self.assertEqual(self.audio_md5(path), audio)
                self.assertEqual(run_tool("strip", "--pictures", path), (0, b"", b""))
                self.assertEqual(json.loads(run_tool("read", "--all", path)[1])["pictures"], [])
                self.assertEqual(self.audio_md5(path), audio)

    def test_id3v1_goes_too(self):
        path = self.path("v1.mp3")
        mp3 = read_bytes(self.copy("sample.mp3"))
        tag = b"TAG" + b"Old Title".ljust(30, b"\0") + b"\0" * 30 * 3 + b"\0" * 4 + b"\0" * 28 \
            + b"\0\x05\xff"
        with open(path, "wb") as f:
            f.write(mp3 + tag)
        self.assertEqual(json.loads(run_tool("read", path)[1])["title"], "Señal de prueba")
        self.assertEqual(run_tool("strip", path)[0], 0)
        self.assertEqual(json.loads(run_tool("read", path)[1])["title"], "")

    def test_summary_dry_run_and_mistakes(self):
        flac, mp3 = self.copy("sample.flac"), self.copy("sample.mp3")
        before = read_bytes(mp3)
        self.assertEqual(run_tool("strip", flac)[0], 0)
        missing = self.path("none.mp3")
        code, out, err = run_tool("strip", "--dry-run", flac, mp3)
        self.assertEqual((code, out, err), (0, ("would strip: %s\n" % mp3).encode(), b""))
        self.assertEqual(read_bytes(mp3), before)
        # a failure is named at once and again in the summary, with written and unchanged
        code, out, err = run_tool("strip", flac, missing, mp3)
        self.assertEqual(code, 1)
        text = err.decode()
        self.assertRegex(text, r"quorvale-tag: 1 written, 1 unchanged, 1 failed\r?\n")
        self.assertIn("failed: %s: cannot open: %s" % (missing, missing), text)
        for args, needle in [([], "strip: no FILE given"),
                             (["--picture", flac], "strip: unknown option '--picture'")]:
            with self.subTest(args=args):
                self.assert_failed_with(run_tool("strip", *args), 2, needle)

    def test_progress_and_summary_on_a_terminal(self):
        if WINDOWS:
            self.skipTest("pseudo-terminals")
        paths = [self.copy("sample.mp3"), self.copy("sample.flac"), self.copy("sample.m4a")]
        code, _, shown = on_terminal("strip", *paths)
        self.assertEqual(code, 0)
        self.assertIn(b"quorvale-tag: 0 of 3 files done", shown)
        self.assertIn(b"quorvale-tag: 2 of 3 files done", shown)
        self.assertIn(b"quorvale-tag: 3 written, 0 unchanged, 0 failed\r\n", shown)


class Copy(CliTestCase):
    def test_across_containers_with_the_cover(self):
        source = self.copy("sample.flac")
        self.assertEqual(run_tool("write", source, "--set", "COMPOSER=C", "--set", "ARTIST=A",
                                  "--set", "ARTIST=B", "--set", "ENCODEDBY=enc", "--set",
                                  "ENCODING=lavf", "--set-custom", "MINE=m")[0], 0)
        had = json.loads(run_tool("read", "--all", source)[1])
        targets = [self.copy("sample.mp3"), self.copy("sample.m4a")]
        for target in targets:
            run_tool("write", target, "--set", "ENCODING=target's own", "--set", "LABEL=keep")
            run_tool("cover", "remove", target)
        code, out, err = run_tool("copy", source, *targets)
        self.assertEqual((code, out, err), (0, b"", b""))
        for target in targets:
            with self.subTest(target=target):
                got = json.loads(run_tool("read", "--all", target)[1])
                props = got["properties"]
                for key, values in had["properties"].items():
                    if key not in ("ENCODEDBY", "ENCODING"):
                        self.assertEqual(props[key], values, key)
                self.assertNotIn("ENCODEDBY", props)  # describes the source file
                self.assertEqual(props["ENCODING"], ["target's own"])
                self.assertEqual(props["LABEL"], ["keep"])
                self.assertEqual([(p["type"], p["size"]) for p in got["pictures"]],
                                 [(p["type"], p["size"]) for p in had["pictures"]])
        code, out, err = run_tool("cover", "get", targets[0], "-")
        self.assertEqual(out, run_tool("cover", "get", source, "-")[1])

    def test_no_pictures_and_mistakes(self):
        source, target = self.copy("sample.mp3"), self.copy("sample.flac")
        run_tool("cover", "remove", target)
        self.assertEqual(run_tool("copy", "--no-pictures", source, target), (0, b"", b""))
        self.assertEqual(json.loads(run_tool("read", "--all", target)[1])["pictures"], [])
        before = read_bytes(target)
        missing = self.path("none.mp3")
        cases = [
            (["copy"], 2, "copy: usage: copy SOURCE TARGET..."),
            (["copy", source], 2, "copy: usage: copy SOURCE TARGET..."),  # no TARGET
            (["copy", "--all", source, target], 2, "copy: unknown option '--all'"),
            (["copy", missing, target], 1, "none.mp3: cannot open"),
        ]
        for args, code, needle in cases:
            with self.subTest(args=args):
                self.assert_failed_with(run_tool(*args), code, needle)
                self.assertEqual(read_bytes(target), before)
        # a target that cannot be written is named in the summary; the others are written
        code, out, err = run_tool("copy", source, missing, target)
        self.assertEqual(code, 1)
        self.assertIn(b"1 written, 0 unchanged, 1 failed", err)


class Exchange(CliTestCase):
    """export and import: property maps keyed by path, as JSON Lines and CSV; --json - and @FILE."""

    def files(self):
        mp3, flac = self.copy("sample.mp3"), self.copy("sample.flac")
        self.assertEqual(run_tool("write", flac, "--set", "ARTIST=A", "--set",
                                  'ARTIST=B, "quoted"', "--set", "COMMENT=two\nlines")[0], 0)
        return mp3, flac

    def test_round_trips(self):
        mp3, flac = self.files()
        for form in ["--json", "--csv"]:
            with self.subTest(form=form):
                code, table, err = run_tool("export", form, mp3, flac)
                self.assertEqual((code, err), (0, b""))
                had = run_tool("export", mp3, flac)[1]
                self.assertEqual(run_tool("strip", mp3, flac)[0], 0)
                path = self.path("table")
                with open(path, "wb") as f:
                    f.write(table)
                self.assertEqual(run_tool("import", path), (0, b"", b""))
                if form == "--json":
                    self.assertEqual(run_tool("export", mp3, flac)[1], had)
                else:  # CSV cannot tell a value with a line break from two values
                    props = json.loads(run_tool("read", "--all", flac)[1])["properties"]
                    self.assertEqual(props["ARTIST"], ["A", 'B, "quoted"'])
                    self.assertEqual(props["COMMENT"], ["two", "lines"])
                    self.assertEqual(run_tool("get", mp3, "TITLE")[1],
                                     "Señal de prueba\n".encode())

    def test_csv_layout(self):
        mp3, flac = self.files()
        code, out, err = run_tool("export", "--csv", mp3, flac)
        lines = out.decode().split("\n")
        self.assertEqual(lines[0], "path,TITLE,ARTIST,ALBUM,GENRE,DATE,TRACKNUMBER,COMMENT")
        self.assertTrue(lines[1].startswith(mp3 + ",Señal de prueba,"))
        self.assertTrue(lines[1].endswith(","), lines[1])  # no COMMENT: an empty field
        self.assertIn('"A\nB, ""quoted"""', out.decode())

    def test_import_from_standard_input_and_mistakes(self):
        mp3, flac = self.files()
        table = ("path,TITLE,MOOD\n%s,New,\n%s,,calm\n" % (mp3, flac)).encode()
        proc = subprocess.run(TOOL_PREFIX + [TOOL, "import", "-"], input=table,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""))
        self.assertEqual(run_tool("get", mp3, flac, "TITLE")[1],
                         ("%s:New\n%s:Forêt d'été\n" % (mp3, flac)).encode())  # empty: kept
        self.assertEqual(run_tool("get", flac, "MOOD")[1], b"calm\n")
        before = {p: read_bytes(p) for p in (mp3, flac)}
        cases = [
            ("path,TITLE\n%s,x\n%s,\"open\n" % (mp3, flac), 2, "import: row 3: a quote is left open"),
            ("file,TITLE\n%s,x\n" % mp3, 2, 'the CSV header must start with "path"'),
            ('{"path":"%s","properties":{}}\n{"properties":{}}\n' % mp3, 2,
             'import: line 2: not an object with "path" and "properties"'),
            ('{"path":"%s","properties":{"TITLE":["x"]}\n' % mp3, 2, "import: line 1"),
        ]
        for text, code, needle in cases:
            with self.subTest(text=text):
                path = self.path("bad")
                with open(path, "w") as f:
                    f.write(text)
                self.assert_failed_with(run_tool("import", path), code, needle)
                for p, data in before.items():
                    self.assertEqual(read_bytes(p), data)  # checked before any write
        for args, needle in [([], "import: usage"), (["a", "b"], "import: usage"),
                             (["-r", "a"], "no -r"), ([self.path("none.csv")], "cannot open")]:
            with self.subTest(args=args):
                self.assertNotEqual(run_tool("import", *args)[0], 0)
                self.assertIn(needle.encode(), run_tool("import", *args)[2])
        # a file that cannot be written is named; the others are written
        table = "path,TITLE\n%s,x\n%s,y\n" % (self.path("none.mp3"), mp3)
        with open(self.path("t.csv"), "w") as f:
            f.write(table)
        code, out, err = run_tool("import", self.path("t.csv"))
        self.assertEqual(code, 1)
        self.assertIn(b"1 written, 0 unchanged, 1 failed", err)
        self.assertEqual(run_tool("get", mp3, "TITLE")[1], b"y\n")

    def test_json_from_standard_input_or_a_file(self):
        path = self.copy("sample.mp3")
        proc = subprocess.run(TOOL_PREFIX + [TOOL, "write", path, "--json", "-"],
                              input=b'{"title":"piped"}', stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""))
        self.assertEqual(self.read_tags(path)["title"], "piped")
        with open(self.path("tags.json"), "w") as f:
            f.write('{"album":"from a file",\n "properties":{"MOOD":["calm"]}}')
        for option in [["--json", "@" + self.path("tags.json")],
                       ["--json=@" + self.path("tags.json")]]:
            with self.subTest(option=option):
                self.assertEqual(run_tool("batch", path, *option)[0], 0)
                self.assertEqual(self.read_tags(path)["album"], "from a file")
        self.assert_failed_with(run_tool("write", path, "--json", "@" + self.path("none")), 2,
                                "cannot open: " + self.path("none"))


class Names(CliTestCase):
    """rename (names from tags) and totag (tags from names)."""

    def tagged(self, name, **tags):
        path = self.copy("sample.flac", name)
        options = []
        for key, value in tags.items():
            options += ["--set", "%s=%s" % (key, value)]
        self.assertEqual(run_tool("write", path, *options)[0], 0)
        return path

    def test_rename_from_tags(self):
        a = self.tagged("a.flac", ARTIST="AC/DC", ALBUM="Live: 1991?", TRACKNUMBER="3/12",
                        TITLE='Who "made" <who>|*')
        b = self.tagged("b.flac", ARTIST="..", ALBUM="X", TRACKNUMBER="11", TITLE="T")
        pattern = "%{artist}/%{album}/%{track:02} %{title}"
        code, out, err = run_tool("rename", "--dry-run", pattern, a, b)
        expected_a = join(self.dir, "AC_DC", "Live_ 1991_", '03 Who _made_ _who___.flac')
        expected_b = join(self.dir, "__", "X", "11 T.flac")  # ".." names no folder
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(out.decode(), "%s -> %s\n%s -> %s\n" % (a, expected_a, b, expected_b))
        self.assertTrue(os.path.exists(a))  # a dry run moves nothing
        self.assertEqual(run_tool("rename", pattern, a, b), (0, b"", b""))
        self.assertFalse(os.path.exists(a))
        self.assertEqual(self.read_tags(expected_a)["title"], 'Who "made" <who>|*')
        self.assertTrue(os.path.exists(expected_b))

    def test_rename_refuses_collisions_and_missing_keys(self):
        a = self.tagged("a.flac", TITLE="Same")
        b = self.tagged("b.flac", TITLE="Same")
        c = self.tagged("c.flac", TITLE="Other")
        with open(self.path("Other.flac"), "w") as f:
            f.write("an existing file")
        cases = [
            # (args, what standard error says)
            (["%{title}", a, b], "would both be %s" % join(self.dir, "Same.flac")),
            (["%{title}", c], "Other.flac exists already"),
            (["%{composer}", c], "a key of the pattern is missing"),
        ]
        for args, needle in cases:
            with self.subTest(args=args):
                self.assert_failed_with(run_tool("rename", *args), 1, needle,
                                        "nothing renamed")
                self.assertTrue(all(os.path.exists(p) for p in (a, b, c)))
        for args, needle in [(["%{title}"], "rename: usage"),
                             (["title", c], "PATTERN: it holds no %{KEY}"),
                             (["%{title", c], "a %{ is not closed"),
                             (["%{track:x}", c], "takes a width N from 1 to 9")]:
            with self.subTest(args=args):
                self.assert_failed_with(run_tool("rename", *args), 2, needle)
        # a file already named as its tags say is left alone
        same = self.tagged("Other2.flac", TITLE="Other2")
        self.assertEqual(run_tool("rename", "%{title}", same), (0, b"", b""))
        self.assertTrue(os.path.exists(same))

    def test_tags_from_names(self):
        cases = [
            # (file name, pattern, expected properties)
            ("03 - Ann - Song - Live.flac", "%{track} - %{artist} - %{title}",
             {"TRACKNUMBER": ["03"], "ARTIST": ["Ann"], "TITLE": ["Song - Live"]}),
            ("Band_Album_07.flac", "%{artist}_%{album}_%{track}",
             {"ARTIST": ["Band"], "ALBUM": ["Album"], "TRACKNUMBER": ["07"]}),
            ("[2001] Title.flac", "[%{date}] %{title}", {"DATE": ["2001"], "TITLE": ["Title"]}),
        ]
        for name, pattern, expected in cases:
            with self.subTest(name=name):
                path = self.copy("sample.flac", name)
                self.assertEqual(run_tool("totag", pattern, path), (0, b"", b""))
                props = json.loads(run_tool("read", "--all", path)[1])["properties"]
                for key, values in expected.items():
                    self.assertEqual(props[key], values, key)
        # names that do not fit are reported; the others are written
        good, bad = self.copy("sample.flac", "1 - A.flac"), self.copy("sample.flac", "noname.flac")
        code, out, err = run_tool("totag", "%{track} - %{title}", bad, good)
        self.assertEqual(code, 1)
        self.assertIn(("%s: the name does not fit the pattern" % bad).encode(), err)
        self.assertEqual(run_tool("get", good, "title")[1], b"A\n")
        for args, needle in [(["%{titel} x", good], "must be in the property table: TITEL"),
                             (["%{track}%{title}", good], None),
                             (["%{track:02}", good], "%{KEY:0N} is for rename")]:
            with self.subTest(args=args):
                result = run_tool("totag", *args)
                if needle:
                    self.assert_failed_with(result, 2, needle)
                else:  # two fields side by side cannot be told apart
                    self.assertEqual(result[0], 1)


class Usage(CliTestCase):
    def test_usage_errors(self):
        f = self.copy("sample.mp3")
        before = read_bytes(f)
        cases = [
            [],
            ["frob"],
            ["--frob"],
            ["read"],
            ["read", "--frob", f],
            ["write", f],
            ["write", "--title"],
            ["write", "--title", "x"],
            ["write", f, "--bogus", "x"],
            ["write", f, "-t", "x"],
            ["cover"],
            ["cover", "put", f, f],
            ["cover", "get", f],
            ["cover", "set", f],
            ["cover", "remove"],
            ["cover", "get", "-r", f, f],
            ["batch", "--title", "x"],
            ["batch", f],
            ["batch", "--dry-run", f, "--title", "x"],
            ["read", "-R", f],
            ["help", "frob"],
        ]
        for args in cases:
            with self.subTest(args=args):
                code, out, err = run_tool(*args)
                self.assertEqual((code, out), (2, b""), err)
                self.assertTrue(err.startswith(b"quorvale-tag: "), err)
                self.assertIn(b"--help", err)
        self.assertEqual(read_bytes(f), before)

    def test_help_and_version(self):
        code, out, err = run_tool("--help")
        self.assertEqual((code, err), (0, b""))
        for command in [b"read", b"write", b"cover get", b"cover set", b"batch", b"--version"]:
            self.assertIn(command, out)
        self.assertEqual(run_tool("-h"), (0, out, b""))
        self.assertEqual(run_tool("help"), (0, out, b""))
        for command in ["read", "write", "cover", "batch"]:
            with self.subTest(command=command):
                code, out, err = run_tool("help", command)
                self.assertEqual((code, err), (0, b""))
                self.assertIn(b"Usage: quorvale-tag " + command.encode(), out)
                self.assertEqual(run_tool(command, "--help"), (0, out, b""))
        self.assertEqual(run_tool("cover", "get", "--help")[0], 0)
        self.assertEqual(run_tool("--version"), (0, ("quorvale-tag %s\n" % VERSION).encode(), b""))

    def test_every_command_and_option_is_documented(self):
        docs = os.path.join(os.path.dirname(os.path.abspath(SAMPLES)), "docs")
        texts = {}
        for name in ["quorvale-tag.1.in", "completion/quorvale-tag.bash",
                     "completion/_quorvale-tag"]:
            with open(os.path.join(docs, name), encoding="utf-8") as f:
                texts[name] = f.read().replace("\\-", "-")
        main_help = run_tool("--help")[1].decode()
        commands = {
            "read": ["--all", "--json", "--text", "--recursive"],
            "get": ["--recursive"],
            "keys": ["--recursive"],
            "write": ["--set", "--set-custom", "--remove", "--json", "--dry-run"],
            "batch": ["--set", "--set-custom", "--json"],
            "strip": ["--pictures", "--dry-run", "--recursive"],
            "copy": ["--no-pictures", "--recursive"],
            "export": ["--csv", "--json", "--recursive"],
            "import": ["--csv", "--json"],
            "rename": ["--dry-run", "--recursive"],
            "totag": ["--dry-run", "--recursive"],
        }
        for command, options in commands.items():
            with self.subTest(command=command):
                self.assertIn("  " + command + " ", main_help)
                code, command_help, err = run_tool("help", command)
                self.assertEqual((code, err), (0, b""))
                self.assertIn("Usage: quorvale-tag " + command, command_help.decode())
                for name, text in texts.items():
                    self.assertIn(command, text, name)
                for option in options:
                    if command not in ("write", "batch"):  # their options are in WRITE_HELP
                        self.assertIn(option, command_help.decode(), option)
                    for name, text in texts.items():
                        self.assertIn(option, text, (name, option))

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_output_error_is_a_failure(self):
        path = self.copy("sample.mp3")
        with open("/dev/full", "wb") as full:
            proc = subprocess.run(TOOL_PREFIX + [TOOL, "read", path], stdout=full,
                                  stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"cannot write to standard output", proc.stderr)


def main():
    global TOOL, TOOL_PREFIX, SAMPLES, VERSION, FIXTURES, WINDOWS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--emulator", default="")
    opts, rest = parser.parse_known_args()
    TOOL, SAMPLES, VERSION = opts.tool, opts.samples, opts.version
    TOOL_PREFIX = opts.emulator.split(";") if opts.emulator else []
    WINDOWS = TOOL.lower().endswith(".exe")
    if TOOL_PREFIX:
        # the first run under an emulator may set it up and print about it
        subprocess.run(TOOL_PREFIX + [TOOL, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
    FIXTURES = tempfile.mkdtemp(prefix="qtag-cli-fixtures-")
    try:
        make_fixtures(FIXTURES)
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
        return 0 if program.result.wasSuccessful() else 1
    finally:
        shutil.rmtree(FIXTURES, True)


if __name__ == "__main__":
    sys.exit(main())
