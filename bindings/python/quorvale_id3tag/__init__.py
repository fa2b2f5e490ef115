"""Python client for the quorvale-id3tag library, on the standard library's ctypes.

    import quorvale_id3tag as tags
    info = tags.read("song.mp3")            # {'title': ..., 'format': 'mp3', 'has_cover': True, ...}
    every = tags.read_all("song.mp3")       # {'format': 'mp3', 'properties': {'ARTIST': [...]}, ...}
    tags.write("song.mp3", title="New title", track="3/12")
    tags.write("song.mp3", properties={"ARTIST": ["A", "B"], "COMMENT": []})  # [] removes a key
    tags.extract_cover("song.mp3", "cover.jpg")
    tags.set_cover("song.flac", "cover.png")
    picture = tags.cover_bytes("song.mp3")  # the cover in memory
    tags.set_cover("song.flac", data=picture)
    info = tags.read(open("song.mp3", "rb"))  # a file object, or read_data(bytes)
    tags.write("song.mp3", title=None)      # None removes a tag; remove_cover() the front covers
    written = tags.batch(["a.mp3", "b.flac"], album="Live")

Every failure raises TagError carrying the library's message; its subclasses tell the common kinds
apart: FileMissing, NotAudio, ReadOnlyFormat, NoCover. The kind is decided from the library's
message, the only thing the library reports.

Threads: the library keeps one error text per process, which the next call from any thread
replaces. A failed call and the read of its message must therefore happen with no other call in
between, so this module runs every library call under one lock: calls from several threads are
safe, but they run one after another, never in parallel. Processes (multiprocessing,
concurrent.futures.ProcessPoolExecutor) each have their own library and do run in parallel.

Files in memory (read_data, a file object given to read or cover_bytes, set_cover's data, and
cover_bytes itself) go through a private temporary file that is removed before the call returns.

The shared library is looked for, in this order: the path given to load_library(), the environment
variable QUORVALE_ID3TAG_LIB, a copy inside this package (bundled when it was installed, or the
Debian package's link), the system loader's search (a library installed by `cmake --install` into a
system prefix, or by the Debian package), and the usual install folders under /usr/local and /usr.
"""

import ctypes
import ctypes.util
import json
import os
import re
import sys
import tempfile
import threading
from typing import IO, Dict, Iterable, List, Mapping, Optional, Sequence, TypedDict, Union

__all__ = ["TagError", "FileMissing", "NotAudio", "ReadOnlyFormat", "NoCover", "LibraryNotFound",
           "Tags", "Picture", "AllTags", "Properties", "read", "read_all", "read_data", "write", "extract_cover", "cover_bytes", "set_cover",
           "remove_cover", "batch", "load_library", "library_path", "TEXT_KEYS"]



def _header_version() -> str:
    """The version written in the C header of the clone this source folder belongs to
    (QUORVALE_ID3TAG_VERSION_MAJOR, _MINOR and _PATCH), or "unknown" outside a clone."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                          os.pardir, "include", "quorvale_id3tag.h")
    try:
        with open(header, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return "unknown"
    parts = [re.search(r"^#define QUORVALE_ID3TAG_VERSION_%s (\d+)$" % part, text, re.M)
             for part in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(p.group(1) for p in parts) if all(parts) else "unknown"


try:
    # Written beside this file when the package is built (setup.py) or packaged for Debian.
    from ._version import __version__
except ImportError:  # imported from the source folder
    __version__ = _header_version()

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
#: A path, or a binary file object open for reading (its contents from the current position on).
Source = Union[PathLike, IO[bytes]]

#: The text tags write() and batch() take; "year" is accepted in place of "date".
TEXT_KEYS = ("title", "artist", "album", "genre", "date", "track", "year")

#: What write() and batch() take as properties: each key named gets exactly the listed values (in
#: order; an empty list removes the key); keys not named stay. Keys are matched without regard to
#: ASCII case.
Properties = Mapping[str, Sequence[str]]

if os.name == "nt":
    LIBRARY_NAME = "quorvale-id3tag.dll"
else:
    LIBRARY_NAME = "libquorvale-id3tag.so.1"


class _TagsBase(TypedDict):
    title: str
    artist: str
    album: str
    genre: str
    date: str
    track: str
    format: str
    has_cover: bool


class Tags(_TagsBase, total=False):
    """What read() returns; cover_mime is there only when the cover has a MIME type."""

    cover_mime: str


class Picture(TypedDict):
    """One picture of a file: its type (3 is the front cover), MIME type, description and size in
    bytes."""

    type: int
    mime: str
    description: str
    size: int


class AllTags(TypedDict):
    """What read_all() returns: every property (upper-case keys, each with its list of values, in
    the file's order) and every picture."""

    format: str
    properties: Dict[str, List[str]]
    pictures: List[Picture]


class TagError(Exception):
    """A library call failed. str(error) and error.message are the library's message; error.path
    is the file the call was about, when there was one."""

    def __init__(self, message: str, path: Optional[PathLike] = None) -> None:
        super().__init__(message)
        self.message = message
        self.path = path


class FileMissing(TagError):
    """The file does not exist ("cannot open: PATH (No such file or directory)")."""


class NotAudio(TagError):
    """The file is not one of the formats the library knows ("unsupported or unrecognized
    format", "unsupported format for write"), or its ID3 tag is not one ("no ID3 header", "too
    short for ID3")."""


class ReadOnlyFormat(TagError):
    """The file is an MP4/M4A file in a layout the library does not write: fragmented
    ("fragmented MP4 (moof) write unsupported")."""


class NoCover(TagError):
    """The file has no cover picture ("no cover art")."""


# The kinds by the start of the library's message; "cover set unsupported" is told apart by the
# file's format (set_cover).
_KINDS = (("fragmented MP4", ReadOnlyFormat),
          ("unsupported or unrecognized format", NotAudio),
          ("unsupported format for write", NotAudio), ("no ID3 header", NotAudio),
          ("too short for ID3", NotAudio), ("no cover art", NoCover))


def _kind(message: str) -> type:
    if message.startswith("cannot open: ") and ("No such file" in message or
                                                "cannot find the" in message):
        return FileMissing
    for start, kind in _KINDS:
        if message.startswith(start):
            return kind
    return TagError


class LibraryNotFound(OSError):
    """The shared library could not be loaded from any of the places looked at."""


_BUNDLED_YYJSON = "libyyjson.so.0"  # carried beside a bundled Linux library
_lib = None  # type: Optional[ctypes.CDLL]
_lib_path = None  # type: Optional[str]
_lock = threading.Lock()


def _candidates() -> List[str]:
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, LIBRARY_NAME), LIBRARY_NAME]
    if os.name == "nt":
        # The loader's search for a bare name (Python 3.8 and later): python.exe's folder,
        # System32 and folders added with os.add_dll_directory, not PATH or the current folder.
        return found
    found.append(ctypes.util.find_library("quorvale-id3tag"))
    # A fresh install into a prefix whose folder the loader's cache does not know yet.
    multiarch = getattr(sys.implementation, "_multiarch", "")
    for prefix in ("/usr/local", "/usr"):
        for libdir in ("lib", "lib64", os.path.join("lib", multiarch) if multiarch else ""):
            if libdir:
                found.append(os.path.join(prefix, libdir, LIBRARY_NAME))
    return [c for c in found if c]


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the shared library (see the module's help for where it is looked for) and returns it.
    Called by the first operation; call it yourself to choose the library."""
    global _lib, _lib_path
    chosen = path or os.environ.get("QUORVALE_ID3TAG_LIB")
    # A library the caller names is the only one tried: another must not silently stand in for it.
    candidates = [chosen] if chosen else _candidates()
    lib = None
    errors = []
    for candidate in candidates:
        if os.sep in candidate and not os.path.exists(candidate) and not chosen:
            continue
        try:
            bundled_yyjson = os.path.join(os.path.dirname(candidate), _BUNDLED_YYJSON)
            if os.sep in candidate and os.path.exists(bundled_yyjson):
                # Loaded first and global, so the library's need for it is met by this copy.
                ctypes.CDLL(bundled_yyjson, mode=ctypes.RTLD_GLOBAL)
            lib = ctypes.CDLL(candidate)
            break
        except OSError as exc:
            errors.append(str(exc))
    if lib is None:
        raise LibraryNotFound("quorvale-id3tag library not found (install it with cmake --install "
                              "or the Debian package, or set QUORVALE_ID3TAG_LIB)" +
                              "".join("; " + e for e in errors))

    # The reads' results are kept as raw pointers so that they can be handed back to
    # id3_free_string.
    for name in ("id3_read", "id3_read_all"):
        fn = getattr(lib, name)
        fn.argtypes = [ctypes.c_char_p]
        fn.restype = ctypes.c_void_p
    for name in ("id3_write", "id3_extract_cover", "id3_set_cover", "id3_batch"):
        fn = getattr(lib, name)
        fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        fn.restype = ctypes.c_int32
    lib.id3_last_error.argtypes = []
    lib.id3_last_error.restype = ctypes.c_char_p
    lib.id3_free_string.argtypes = [ctypes.c_void_p]
    lib.id3_free_string.restype = None
    _lib = lib
    _lib_path = _loaded_file(lib, candidate)
    return lib


def _loaded_file(lib: ctypes.CDLL, name: str) -> str:
    """The file the system loader took for a bare name, from dladdr on one of its functions."""
    if os.name == "nt" or os.sep in name:
        return name

    class DlInfo(ctypes.Structure):
        _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                    ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

    info = DlInfo()
    dladdr = ctypes.CDLL(None).dladdr
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    address = ctypes.cast(lib.id3_last_error, ctypes.c_void_p)
    if dladdr(address, ctypes.byref(info)) and info.dli_fname:
        return os.path.abspath(os.fsdecode(info.dli_fname))
    return name


def library_path() -> str:
    """The file the library was loaded from (on Linux also when the system loader found it by
    name), loading it first if needed."""
    _library()
    assert _lib_path is not None
    return _lib_path


def _library() -> ctypes.CDLL:
    return _lib if _lib is not None else load_library()


def _path(path: PathLike) -> bytes:
    # Paths go to the library as the bytes the operating system uses for them.
    return os.fsencode(path)


def _error(lib: ctypes.CDLL, path: Optional[PathLike] = None) -> TagError:
    message = lib.id3_last_error().decode("utf-8", "replace")
    return _kind(message)(message, path)  # type: ignore[no-any-return]


def _property_lists(properties: Properties) -> Dict[str, object]:
    """The properties as JSON lists. What JSON would change silently is refused here: a key that
    is not a str (json.dumps would turn 1 into "1"), and a str or bytes given as the list (a list
    of its characters). The rest (the keys' form, the items being strings) the library checks and
    refuses with a TagError naming the key."""
    if not isinstance(properties, Mapping):
        raise TypeError("properties must be a mapping of keys to lists of str, not %s"
                        % type(properties).__name__)
    lists = {}  # type: Dict[str, object]
    for key, values in properties.items():
        if not isinstance(key, str):
            raise TypeError("property key %r must be a str" % (key,))
        if isinstance(values, (str, bytes, bytearray)) or not isinstance(values, Iterable):
            raise TypeError("property %r must be a list of str, not %s"
                            % (key, type(values).__name__))
        lists[key] = list(values)
    return lists


def _tags_json(tags: Dict[str, Optional[str]],
               properties: Optional[Properties] = None) -> bytes:
    for key, value in tags.items():
        if key not in TEXT_KEYS:
            raise TypeError("unknown tag %r (known: %s)" % (key, ", ".join(TEXT_KEYS)))
        if value is not None and not isinstance(value, str):
            raise TypeError("tag %r must be a str or None, not %s" % (key, type(value).__name__))
    member = dict(tags)  # type: Dict[str, object]
    if properties is not None:
        member["properties"] = _property_lists(properties)
    return json.dumps(member, ensure_ascii=False).encode("utf-8")


class _TempFile:
    """A private temporary file (mode 0600), removed on leaving the with block."""

    def __init__(self, data: Union[bytes, IO[bytes], None] = None) -> None:
        fd, self.path = tempfile.mkstemp(prefix="quorvale-id3tag-")
        try:
            with os.fdopen(fd, "wb") as out:
                if isinstance(data, (bytes, bytearray, memoryview)):
                    out.write(data)
                elif data is not None:
                    for block in iter(lambda: data.read(1 << 20), b""):  # type: ignore
                        out.write(block)
        except BaseException:
            os.remove(self.path)
            raise

    def __enter__(self) -> str:
        return self.path

    def __exit__(self, *exc: object) -> None:
        try:
            os.remove(self.path)
        except OSError:
            pass


def _is_file_object(source: object) -> bool:
    return hasattr(source, "read") and not isinstance(source, (str, bytes, os.PathLike))


def _read_json(path: PathLike, shown: Optional[PathLike], every: bool = False) -> object:
    lib = _library()
    with _lock:
        ptr = (lib.id3_read_all if every else lib.id3_read)(_path(path))
        if not ptr:
            raise _error(lib, shown)
        try:
            text = ctypes.string_at(ptr)
        finally:
            lib.id3_free_string(ptr)
    # Tag bytes that are not valid UTF-8 pass through the library unchanged.
    return json.loads(text.decode("utf-8", "surrogateescape"))


def _read_path(path: PathLike, shown: Optional[PathLike]) -> Tags:
    return _read_json(path, shown)  # type: ignore[return-value]


def read(source: Source) -> Tags:
    """Returns the tags of a file, named by its path or given as a binary file object: title,
    artist, album, genre, date, track, format ("mp3", "flac", "mp4", "ogg" or "opus"), has_cover
    and, when the cover has one, cover_mime."""
    if _is_file_object(source):
        with _TempFile(source) as temp:  # type: ignore[arg-type]
            return _read_path(temp, None)
    return _read_path(source, source)  # type: ignore[arg-type]


def read_all(source: Source) -> AllTags:
    """Returns every property of a file (path or binary file object) under the property names
    taggers share, several values per key, and every picture:
    {"format": "mp3", "properties": {"ARTIST": ["A", "B"], ...}, "pictures": [{"type": 3, ...}]}."""
    if _is_file_object(source):
        with _TempFile(source) as temp:  # type: ignore[arg-type]
            return _read_json(temp, None, True)  # type: ignore[return-value]
    return _read_json(source, source, True)  # type: ignore[arg-type,return-value]


def read_data(data: bytes) -> Tags:
    """read() for a whole file's bytes in memory."""
    with _TempFile(bytes(data)) as temp:
        return _read_path(temp, None)


def write(path: PathLike, *, properties: Optional[Properties] = None,
          **tags: Optional[str]) -> None:
    """Writes the given text tags (title=..., artist=..., ...) into an MP3, FLAC, MP4, Ogg Vorbis
    or Opus file, keeping the others and the cover. An empty string stores an empty tag; None
    removes the tag (all its frames or comments).

    properties={"KEY": ["value", ...], ...} sets any key read_all() gives: each key named gets
    exactly the listed values, in order, and an empty list removes it; keys not named stay. It is
    applied after the text tags, so its value decides for a key named both ways (title= and
    "TITLE"). What the file's format cannot hold (two DISCNUMBER values in MP4, a BPM that is not a
    number in MP4) raises TagError naming the key, and nothing is written."""
    lib = _library()
    payload = _tags_json(tags, properties)
    with _lock:
        if lib.id3_write(_path(path), payload) != 0:
            raise _error(lib, path)


def extract_cover(path: PathLike, out_path: PathLike) -> None:
    """Saves the file's cover picture to out_path, byte for byte."""
    lib = _library()
    with _lock:
        if lib.id3_extract_cover(_path(path), _path(out_path)) != 0:
            raise _error(lib, path)


def cover_bytes(source: Source) -> bytes:
    """The cover picture of a file (a path or a binary file object), byte for byte. Raises NoCover
    when there is none."""
    lib = _library()
    with _TempFile() as out:
        if _is_file_object(source):
            with _TempFile(source) as audio:  # type: ignore[arg-type]
                with _lock:
                    if lib.id3_extract_cover(_path(audio), _path(out)) != 0:
                        raise _error(lib)
        else:
            with _lock:
                if lib.id3_extract_cover(_path(source), _path(out)) != 0:  # type: ignore
                    raise _error(lib, source)  # type: ignore[arg-type]
        with open(out, "rb") as f:
            return f.read()


def set_cover(path: PathLike, image_path: Optional[PathLike] = None, *,
              data: Optional[bytes] = None) -> None:
    """Makes a picture the front cover of an MP3, FLAC, MP4, Ogg Vorbis or Opus file: the picture
    file image_path, or the picture's bytes as data (one of the two). A picture that does not start
    with the PNG signature is labelled image/jpeg. A fragmented MP4 file raises ReadOnlyFormat, a
    file of no known format NotAudio."""
    if (image_path is None) == (data is None):
        raise TypeError("set_cover takes either image_path or data")
    if data is not None:
        with _TempFile(bytes(data)) as temp:
            return set_cover(path, temp)
    lib = _library()
    with _lock:
        if lib.id3_set_cover(_path(path), _path(image_path)) == 0:  # type: ignore[arg-type]
            return
        error = _error(lib, path)
    if error.message == "cover set unsupported for this format":
        try:
            mp4 = read(path)["format"] == "mp4"
        except TagError:
            mp4 = False
        error = (ReadOnlyFormat if mp4 else NotAudio)(error.message, path)
    raise error


def remove_cover(path: PathLike) -> None:
    """Removes the front cover pictures (picture type 3) of an MP3 or FLAC file; the other
    pictures stay."""
    lib = _library()
    with _lock:
        if lib.id3_write(_path(path), b'{"cover":null}') != 0:
            raise _error(lib, path)


def batch(paths: Iterable[PathLike], *, properties: Optional[Properties] = None,
          **tags: Optional[str]) -> int:
    """Writes the tags (and properties, as write() takes them) into every file of `paths`; returns
    how many were written. What the last file's write left as message (empty when it succeeded)
    is kept as batch.last_error."""
    lib = _library()
    array = json.dumps([os.fsdecode(p) for p in paths], ensure_ascii=False)
    payload = _tags_json(tags, properties)
    with _lock:
        count = lib.id3_batch(array.encode("utf-8", "surrogateescape"), payload)
        message = lib.id3_last_error().decode("utf-8", "replace")
    if count < 0:
        raise _kind(message)(message)
    batch.last_error = message  # type: ignore[attr-defined]
    return int(count)


batch.last_error = ""  # type: ignore[attr-defined]
