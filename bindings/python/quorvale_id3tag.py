"""Python client for the quorvale-id3tag library, on the standard library's ctypes.

    import quorvale_id3tag as tags
    info = tags.read("song.mp3")            # {'title': ..., 'format': 'mp3', 'has_cover': True, ...}
    tags.write("song.mp3", title="New title", track="3/12")
    tags.extract_cover("song.mp3", "cover.jpg")
    tags.set_cover("song.flac", "cover.png")
    written = tags.batch(["a.mp3", "b.flac"], album="Live")

Every failure raises TagError carrying the library's message. The library keeps one error text per
process: calls from several threads must be serialised (a lock around each call does it).
"""

import ctypes
import ctypes.util
import json
import os
import threading

__all__ = ["TagError", "read", "write", "extract_cover", "set_cover", "batch", "load_library"]

TEXT_KEYS = ("title", "artist", "album", "genre", "date", "track", "year")


class TagError(Exception):
    """A library call failed; str(error) is the library's message."""


_lib = None
_lock = threading.Lock()


def load_library(path=None):
    """Loads the shared library: `path`, else $QUORVALE_ID3TAG_LIB, else the system's search."""
    global _lib
    candidates = [path, os.environ.get("QUORVALE_ID3TAG_LIB")]
    if os.name == "nt":
        candidates.append("quorvale-id3tag.dll")
    else:
        candidates += ["libquorvale-id3tag.so.1", ctypes.util.find_library("quorvale-id3tag")]
    errors = []
    for candidate in candidates:
        if not candidate:
            continue
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as exc:
            errors.append(str(exc))
    else:
        raise OSError("quorvale-id3tag library not found: " + "; ".join(errors))

    # id3_read's result is kept as a raw pointer so that it can be handed back to id3_free_string.
    lib.id3_read.argtypes = [ctypes.c_char_p]
    lib.id3_read.restype = ctypes.c_void_p
    for name in ("id3_write", "id3_extract_cover", "id3_set_cover", "id3_batch"):
        fn = getattr(lib, name)
        fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        fn.restype = ctypes.c_int32
    lib.id3_last_error.argtypes = []
    lib.id3_last_error.restype = ctypes.c_char_p
    lib.id3_free_string.argtypes = [ctypes.c_void_p]
    lib.id3_free_string.restype = None
    _lib = lib
    return lib


def _library():
    return _lib if _lib is not None else load_library()


def _path(path):
    # Paths go to the library as the bytes the operating system uses for them.
    return os.fsencode(path)


def _error(lib):
    return TagError(lib.id3_last_error().decode("utf-8", "replace"))


def _tags_json(tags):
    for key, value in tags.items():
        if key not in TEXT_KEYS:
            raise TypeError("unknown tag %r (known: %s)" % (key, ", ".join(TEXT_KEYS)))
        if not isinstance(value, str):
            raise TypeError("tag %r must be a str, not %s" % (key, type(value).__name__))
    return json.dumps(tags, ensure_ascii=False).encode("utf-8")


def read(path):
    """Returns the file's tags as a dict (title, artist, album, genre, date, track, format,
    has_cover and, when the cover has one, cover_mime)."""
    lib = _library()
    with _lock:
        ptr = lib.id3_read(_path(path))
        if not ptr:
            raise _error(lib)
        try:
            text = ctypes.string_at(ptr)
        finally:
            lib.id3_free_string(ptr)
    # Tag bytes that are not valid UTF-8 pass through the library unchanged.
    return json.loads(text.decode("utf-8", "surrogateescape"))


def write(path, **tags):
    """Writes the given text tags (title=..., artist=..., ...) into an MP3 or FLAC file, keeping
    the others and the cover. An empty string stores an empty tag."""
    lib = _library()
    payload = _tags_json(tags)
    with _lock:
        if lib.id3_write(_path(path), payload) != 0:
            raise _error(lib)


def extract_cover(path, out_path):
    """Saves the file's cover picture to out_path, byte for byte."""
    lib = _library()
    with _lock:
        if lib.id3_extract_cover(_path(path), _path(out_path)) != 0:
            raise _error(lib)


def set_cover(path, image_path):
    """Makes the picture file image_path the cover of an MP3 or FLAC file."""
    lib = _library()
    with _lock:
        if lib.id3_set_cover(_path(path), _path(image_path)) != 0:
            raise _error(lib)


def batch(paths, **tags):
    """Writes the tags into every file of `paths`; returns how many were written. The message of
    the last failing file, if the last file failed, is available as batch.last_error."""
    lib = _library()
    array = json.dumps([os.fsdecode(p) for p in paths], ensure_ascii=False)
    payload = _tags_json(tags)
    with _lock:
        count = lib.id3_batch(array.encode("utf-8", "surrogateescape"), payload)
        message = lib.id3_last_error().decode("utf-8", "replace")
    if count < 0:
        raise TagError(message)
    batch.last_error = message
    return count


batch.last_error = ""
