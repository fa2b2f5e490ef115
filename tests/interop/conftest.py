"""Session set-up for the interoperability tests: the start check that every peer tool is present,
the library handle, and the short audio files and pictures the tests start from."""

import os
import shutil
import subprocess
import sys

import pytest

import interop_util as iu


def missing_tools():
    """Everything the suite needs and does not find, each with where it comes from."""
    missing = []
    for tool, package in iu.PEER_TOOLS.items():
        if shutil.which(tool) is None:
            missing.append("%s (Debian package %s)" % (tool, package))
    try:
        import mutagen  # noqa: F401
    except ImportError:
        missing.append("mutagen for %s (Debian package python3-mutagen; run the suite with "
                       "/usr/bin/python3)" % sys.executable)
    lib = os.environ.get("QID3_LIB", "")
    if not lib or not os.path.isfile(lib):
        missing.append("the library: QID3_LIB=%r is not a file (run through CTest)" % lib)
    reader = os.environ.get("QID3_TAGLIB_READ", "")
    if not reader or not os.path.isfile(reader):
        missing.append("the TagLib reader: QID3_TAGLIB_READ=%r is not a file (Debian package "
                       "libtag1-dev, then configure again)" % reader)
    return missing


def pytest_report_header(config):
    """The versions of the peers, as Debian installed them, at the head of the run's output."""
    packages = sorted(set(iu.PEER_TOOLS.values()) | {"python3-mutagen", "libtag1-dev"})
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\\n"] + packages,
                         capture_output=True, text=True)
    return ["peers: " + ", ".join(out.stdout.splitlines())]


def pytest_sessionstart(session):
    missing = missing_tools()
    if missing:
        pytest.exit("interop: missing tools, nothing was run (scripts/setup.sh interop installs "
                    "them):\n  " + "\n  ".join(missing),
                    returncode=3)


@pytest.fixture(scope="session", autouse=True)
def peer_env(tmp_path_factory):
    home = tmp_path_factory.mktemp("peer-home")
    iu.PEER_ENV.update({"HOME": str(home), "XDG_CONFIG_HOME": str(home / ".config"),
                        "LC_ALL": "C.UTF-8", "LANG": "C.UTF-8"})
    return iu.PEER_ENV


@pytest.fixture(scope="session")
def lib():
    return iu.Library(os.environ["QID3_LIB"])


@pytest.fixture(scope="session")
def taglib_reader():
    return os.environ["QID3_TAGLIB_READ"]


class Media:
    """The generated files: base audio files (untagged or as the encoder tagged them) and
    pictures."""

    def __init__(self, folder):
        self.folder = folder
        self.pictures = {}

    def audio(self, name):
        return self.folder / name

    def picture(self, name):
        return self.folder / name

    def picture_bytes(self, name):
        return iu.read_bytes(self.folder / name)

    def copy(self, name, dest_dir, dest_name=None):
        """A private copy of a base file, alone in a folder of its own (kid3-cli acts on every
        audio file of a folder when told to select all)."""
        target_dir = dest_dir / (dest_name or name).rsplit(".", 1)[0]
        target_dir.mkdir(parents=True, exist_ok=True)
        target = target_dir / (dest_name or name)
        shutil.copyfile(self.folder / name, target)
        return target


@pytest.fixture(scope="session")
def media(tmp_path_factory, peer_env):
    folder = tmp_path_factory.mktemp("media")
    m = Media(folder)
    ff = ["ffmpeg", "-v", "error", "-nostdin", "-y"]
    # Half a second of a 440 Hz tone; every encoder starts from this one file.
    iu.run(ff + ["-f", "lavfi", "-i", "sine=frequency=440:duration=0.5", "-ac", "1", "-ar",
                 "44100", folder / "tone.wav"])
    iu.run(["lame", "--quiet", "-b", "64", folder / "tone.wav", folder / "lame.mp3"])
    iu.run(ff + ["-i", folder / "tone.wav", "-c:a", "libmp3lame", "-b:a", "64k",
                 folder / "ffmpeg.mp3"])
    iu.run(["flac", "--silent", "--force", folder / "tone.wav", "-o", folder / "flac.flac"])
    iu.run(ff + ["-i", folder / "tone.wav", "-c:a", "flac", folder / "ffmpeg.flac"])
    # FLAC without comments or padding: the SEEKTABLE is the last metadata block and carries the
    # flag that says so.
    shutil.copyfile(folder / "flac.flac", folder / "bare.flac")
    iu.run(["metaflac", "--remove", "--block-type=VORBIS_COMMENT,PADDING", "--dont-use-padding",
            folder / "bare.flac"])
    iu.run(ff + ["-i", folder / "tone.wav", "-c:a", "aac", "-b:a", "64k", folder / "ffmpeg.m4a"])
    # Pictures: each one distinct, so that a wrong choice among several shows.
    for name, colour, size in (("red.jpg", "red", "16x16"), ("blue.png", "blue", "16x16"),
                               ("green.jpg", "green", "24x24"), ("yellow.png", "yellow", "20x20")):
        iu.run(ff + ["-f", "lavfi", "-i", "color=c=%s:s=%s" % (colour, size), "-frames:v", "1",
                     folder / name])
    # A large JPEG of noise: frame, block and picture sizes that need every byte of their fields,
    # and many 0xFF bytes for unsynchronisation.
    iu.run(ff + ["-f", "lavfi", "-i",
                 "nullsrc=s=400x400,geq=random(1)*255:random(1)*255:random(1)*255",
                 "-frames:v", "1", "-q:v", "1", folder / "noise.jpg"])
    assert len(m.picture_bytes("noise.jpg")) > 100000
    names = ("red.jpg", "blue.png", "green.jpg", "yellow.png", "noise.jpg")
    assert len({m.picture_bytes(n) for n in names}) == len(names)
    return m


@pytest.fixture(scope="session")
def tagged(media, tmp_path_factory):
    """Tags a copy of each peer-writes case's base file once (see test_peer_writes.CASES) and
    hands out its path. Tests that change a tagged file work on their own copy of it."""
    from test_peer_writes import CASES
    folder = tmp_path_factory.mktemp("peer-writes")
    done = {}

    def get(case):
        if case not in done:
            base, tag, _, _ = CASES[case]
            path = media.copy(base, folder, "%s.%s" % (case, base.rsplit(".", 1)[1]))
            tag(path, media)
            done[case] = path
        return done[case]
    return get


@pytest.fixture(scope="session")
def start_file(media, tagged):
    """A private copy, in folder, of a base file (lame.mp3, flac.flac, ...) or of the file of a
    peer-writes case (mutagen-v23-utf16, metaflac, ...)."""
    def copy(start, folder):
        if (media.folder / start).is_file():
            return media.copy(start, folder)
        target = folder / tagged(start).name
        shutil.copyfile(tagged(start), target)
        return target
    return copy
