"""Helpers for the interoperability tests: the library through ctypes, the peer tools as
subprocesses, and small independent walkers over ID3v2 tags and FLAC metadata blocks."""

import ctypes
import hashlib
import json
import os
import subprocess

# Every peer tool, with the Debian package that provides it.
PEER_TOOLS = {
    "lame": "lame",
    "flac": "flac",
    "metaflac": "flac",
    "ffmpeg": "ffmpeg",
    "ffprobe": "ffmpeg",
    "eyeD3": "eyed3",
    "id3v2": "id3v2",
    "AtomicParsley": "atomicparsley",
    "kid3-cli": "kid3-cli",
    "oggenc": "vorbis-tools",
    "vorbiscomment": "vorbis-tools",
    "ogginfo": "vorbis-tools",
    "opusenc": "opus-tools",
    "opusinfo": "opus-tools",
}

# Filled by conftest.py: the environment the peer tools run in (a UTF-8 locale and a private home,
# so that kid3-cli's configuration neither leaks in from nor out to the user's).
PEER_ENV = dict(os.environ)


def run(args, **kwargs):
    """Runs a peer tool and returns its standard output as text; a non-zero exit fails the test
    with the tool's own output."""
    proc = subprocess.run([str(a) for a in args], capture_output=True, env=PEER_ENV, timeout=120,
                          **kwargs)
    if proc.returncode != 0:
        raise AssertionError("%s exited with %d\nstdout: %s\nstderr: %s" % (
            " ".join(str(a) for a in args), proc.returncode,
            proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace")))
    return proc.stdout.decode("utf-8", errors="surrogateescape")


class Library:
    """The exported functions of the shared library, called through ctypes."""

    def __init__(self, path):
        self.dll = ctypes.CDLL(path)
        self.dll.id3_read.restype = ctypes.c_void_p
        self.dll.id3_read.argtypes = [ctypes.c_char_p]
        self.dll.id3_read_all.restype = ctypes.c_void_p
        self.dll.id3_read_all.argtypes = [ctypes.c_char_p]
        self.dll.id3_write.restype = ctypes.c_int32
        self.dll.id3_write.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.dll.id3_extract_cover.restype = ctypes.c_int32
        self.dll.id3_extract_cover.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.dll.id3_set_cover.restype = ctypes.c_int32
        self.dll.id3_set_cover.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.dll.id3_last_error.restype = ctypes.c_char_p
        self.dll.id3_last_error.argtypes = []
        self.dll.id3_free_string.restype = None
        self.dll.id3_free_string.argtypes = [ctypes.c_void_p]

    def last_error(self):
        return self.dll.id3_last_error().decode("utf-8", errors="replace")

    def read_text(self, path, every=False):
        """The JSON text id3_read (id3_read_all when `every`) returns, as bytes; fails the test
        when it returns NULL."""
        read = self.dll.id3_read_all if every else self.dll.id3_read
        ptr = read(os.fsencode(path))
        if not ptr:
            raise AssertionError("%s(%s) failed: %s" % (read.__name__, path, self.last_error()))
        try:
            return ctypes.string_at(ptr)
        finally:
            self.dll.id3_free_string(ptr)

    def read(self, path):
        return json.loads(self.read_text(path).decode("utf-8"))

    def read_all(self, path):
        return json.loads(self.read_text(path, True).decode("utf-8", "surrogateescape"))

    def write(self, path, tags):
        """id3_write with a dict (sent as UTF-8 JSON) or a ready JSON text; fails on -1."""
        text = tags if isinstance(tags, (bytes, str)) else json.dumps(tags, ensure_ascii=False)
        if isinstance(text, str):
            text = text.encode("utf-8")
        rc = self.dll.id3_write(os.fsencode(path), text)
        if rc != 0:
            raise AssertionError("id3_write(%s) gave %d: %s" % (path, rc, self.last_error()))

    def write_result(self, path, text):
        """id3_write's result and message, for calls that are expected to fail."""
        rc = self.dll.id3_write(os.fsencode(path), text.encode("utf-8"))
        return rc, self.last_error()

    def extract_cover(self, path, out_path):
        """The cover bytes saved by id3_extract_cover; fails the test on -1."""
        rc = self.dll.id3_extract_cover(os.fsencode(path), os.fsencode(out_path))
        if rc != 0:
            raise AssertionError("id3_extract_cover(%s) gave %d: %s" % (path, rc,
                                                                       self.last_error()))
        with open(out_path, "rb") as f:
            return f.read()

    def extract_cover_result(self, path, out_path):
        """id3_extract_cover's result and message, for calls that are expected to fail."""
        rc = self.dll.id3_extract_cover(os.fsencode(path), os.fsencode(out_path))
        return rc, self.last_error()

    def set_cover(self, path, image_path):
        rc = self.dll.id3_set_cover(os.fsencode(path), os.fsencode(image_path))
        if rc != 0:
            raise AssertionError("id3_set_cover(%s, %s) gave %d: %s" % (
                path, image_path, rc, self.last_error()))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def md5(data):
    return hashlib.md5(data).hexdigest()


# --- ID3v2, walked independently of the library -------------------------------------------------

def syncsafe(b):
    return (b[0] & 0x7F) << 21 | (b[1] & 0x7F) << 14 | (b[2] & 0x7F) << 7 | (b[3] & 0x7F)


def to_syncsafe(n):
    assert n < 1 << 28
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def mp3_audio_offset(data):
    """Where the audio starts: after the ID3v2 tag at offset 0 (and its footer), else 0."""
    if len(data) >= 10 and data[:3] == b"ID3":
        end = 10 + syncsafe(data[6:10]) + (10 if data[5] & 0x10 else 0)
        return min(end, len(data))
    return 0


def id3_frames(data):
    """The frames of an ID3v2.3 or 2.4 tag without tag-level unsynchronisation, in file order,
    as (identifier, format flags, body) tuples."""
    assert data[:3] == b"ID3", "no ID3v2 tag at offset 0"
    version, flags = data[3], data[5]
    assert version in (3, 4) and not (flags & 0xC0), "tag not walkable here: v2.%d flags %02x" % (
        version, flags)
    end = 10 + syncsafe(data[6:10])
    pos, frames = 10, []
    while pos + 10 <= end and data[pos] != 0:
        size_bytes = data[pos + 4:pos + 8]
        size = syncsafe(size_bytes) if version == 4 else int.from_bytes(size_bytes, "big")
        frames.append((data[pos:pos + 4].decode("latin-1"), data[pos + 9],
                       data[pos + 10:pos + 10 + size]))
        pos += 10 + size
    return frames


def apic_picture(body):
    """The picture bytes of an APIC frame body (no unsynchronisation, no data length indicator)."""
    encoding = body[0]
    mime_end = body.index(b"\x00", 1)
    desc_start = mime_end + 2
    if encoding in (1, 2):
        k = desc_start
        while body[k:k + 2] != b"\x00\x00":
            k += 2
        return body[k + 2:]
    return body[body.index(b"\x00", desc_start) + 1:]


def last_apic_picture(path):
    """The picture of the last APIC frame in the file's tag, as the file stores it."""
    pictures = [apic_picture(body) for fid, _, body in id3_frames(read_bytes(path))
                if fid == "APIC"]
    assert pictures, "no APIC frame in %s" % path
    return pictures[-1]


# --- FLAC metadata, walked independently of the library -----------------------------------------

def flac_blocks(data):
    """The metadata blocks as (type, body) tuples, and the offset where the audio frames start."""
    assert data[:4] == b"fLaC"
    pos, blocks = 4, []
    while True:
        header = data[pos:pos + 4]
        assert len(header) == 4, "metadata runs past the end of the file"
        length = int.from_bytes(header[1:4], "big")
        blocks.append((header[0] & 0x7F, data[pos + 4:pos + 4 + length]))
        pos += 4 + length
        if header[0] & 0x80:
            return blocks, pos


def flac_audio_offset(data):
    return flac_blocks(data)[1]


def audio_bytes(path):
    """The bytes after the ID3v2 tag and before an ID3v1 tag (MP3; a write keeps the ID3v1 tag in
    step with the fields it names), or after the metadata blocks (FLAC)."""
    data = read_bytes(path)
    if str(path).endswith(".flac"):
        return data[flac_audio_offset(data):]
    end = len(data) - 128 if data[-128:][:3] == b"TAG" else len(data)
    return data[mp3_audio_offset(data):end]


# --- Peer readers --------------------------------------------------------------------------------

def decoded_md5(path):
    """The checksum of the decoded audio samples (ffmpeg's md5 muxer)."""
    out = run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"])
    assert out.startswith("MD5="), out
    return out.strip()


def ffprobe_tags(path):
    """The container tags ffprobe reports, keys in lower case."""
    out = json.loads(run(["ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "json",
                          path]))
    return {k.lower(): v for k, v in out.get("format", {}).get("tags", {}).items()}


def ffprobe_picture_md5s(path):
    """The MD5 of every attached picture ffmpeg sees, one per video stream, in stream order."""
    out = json.loads(run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                          "packet=stream_index,data_hash", "-show_data_hash", "MD5", "-of", "json",
                          path]))
    return [p["data_hash"].split(":", 1)[1].lower() for p in out.get("packets", [])]


def taglib_read(reader, path, picture_dir):
    """What TagLib (our small reader) reports; the pictures are saved into picture_dir."""
    os.makedirs(picture_dir, exist_ok=True)
    return json.loads(run([reader, path, picture_dir]))


def metaflac_tags(path):
    """The Vorbis comments as metaflac exports them, as (KEY, value) pairs in file order."""
    out = run(["metaflac", "--no-utf8-convert", "--export-tags-to=-", path])
    pairs = []
    for line in out.splitlines():
        key, _, value = line.partition("=")
        pairs.append((key, value))
    return pairs


def metaflac_picture(path, out_path):
    run(["metaflac", "--export-picture-to=%s" % out_path, path])
    return read_bytes(out_path)
