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
    outcomes = tags.batch_results(["a.mp3", "gone.mp3"], album="Live")  # each file's outcome

Every failure raises TagError carrying the library's message and its code (error.code, one of the
library's ID3_ERROR_ numbers). The subclasses follow the code: FileMissing (also a
FileNotFoundError), AccessDenied (PermissionError), NotRegularFile, NoSpace and DiskError (OSError),
NotAudio, ReadOnlyFormat, Damaged, TooLarge, FileChanged, NoCover; the others are plain TagErrors.

Threads: the library keeps one error text per thread, so calls from several threads run at once,
each reading its own message (ctypes releases the interpreter's lock during every library call).
Nothing in this module is shared between calls but the loaded library, which is loaded once under
a lock.

Reads of files in memory (read_data, read_all_data, a file object given to read or read_all) pass
the bytes to the library directly. cover_bytes, a file object given to it, and set_cover's data go
through a private temporary file that is removed before the call returns.

The shared library is looked for, in this order: the path given to load_library(), the environment
variable QUORVALE_ID3TAG_LIB, a copy inside this package (bundled when it was installed, or the
Debian package's link), the system loader's search (a library installed by `cmake --install` into a
system prefix, or by the Debian package), and the usual install folders under /usr/local and /usr.
"""

import ctypes
import ctypes.util
import errno
import json
import os
import re
import sys
import tempfile
import threading
from typing import IO, Dict, Iterable, List, Mapping, Optional, Sequence, TypedDict, Union

__all__ = ["TagError", "FileMissing", "AccessDenied", "NotRegularFile", "NoSpace", "DiskError",
           "NotAudio", "ReadOnlyFormat", "Damaged", "TooLarge", "FileChanged", "NoCover",
           "LibraryNotFound", "Tags", "Picture", "AllTags", "Properties", "BatchOutcome", "read",
           "read_all", "read_data", "read_all_data", "write", "extract_cover", "cover_bytes",
           "set_cover", "remove_cover", "batch", "batch_results", "load_library", "library_path",
           "TEXT_KEYS"]



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
    """A library call failed. str(error) and error.message are the library's message, error.code
    its code (the header's ID3_ERROR_ numbers); error.path is the file the call was about, when
    there was one."""

    def __init__(self, message: str, path: Optional[PathLike] = None, code: int = 99) -> None:
        super().__init__(message)
        self.message = message
        self.path = path
        self.code = code


class FileMissing(TagError, FileNotFoundError):
    """The file, or a folder of its path, does not exist ("cannot open: PATH (No such file or
    directory)")."""


class AccessDenied(TagError, PermissionError):
    """The system refused the access ("cannot open: PATH (Permission denied)"), or the file could
    not be replaced ("cannot replace target (read-only or locked): PATH")."""


class NotRegularFile(TagError, OSError):
    """The path names a folder, a FIFO, a socket or a device, not a file."""


class NoSpace(TagError, OSError):
    """The disk (or the user's quota) is full: the file is left as it was."""


class DiskError(TagError, OSError):
    """Reading, writing, flushing or renaming failed for another reason the system gave."""


class NotAudio(TagError):
    """The file is not one of the formats the library knows ("unsupported or unrecognized
    format", "unsupported format for write", "cover set unsupported for this format"), or its ID3
    tag is not one ("no ID3 header", "too short for ID3")."""


class ReadOnlyFormat(TagError):
    """The file is of a known format in a layout the library reads but does not write: a
    fragmented MP4 file ("fragmented MP4 (moof) write unsupported"), an MP4 file whose chunk
    offsets cannot be shifted, an Ogg file of several streams or whose header packets share pages
    ("... write unsupported")."""


class Damaged(TagError):
    """The file is damaged: its tag or container runs past its end, a checksum does not match,
    ..."""


class TooLarge(TagError):
    """The tags or the cover are more than the format can hold."""


class FileChanged(TagError):
    """Another program changed the file while it was read or written."""


class NoCover(TagError):
    """The file has no cover picture ("no cover art")."""


# The library's codes (ID3_ERROR_ in the header) and the exception of each; errno for the OSErrors.
_KINDS = {1: (TagError, None), 2: (FileMissing, errno.ENOENT), 3: (AccessDenied, errno.EACCES),
          4: (NotRegularFile, None), 5: (NotAudio, None), 6: (ReadOnlyFormat, None),
          7: (Damaged, None), 8: (TooLarge, None), 9: (FileChanged, None),
          10: (NoSpace, errno.ENOSPC), 11: (TagError, None), 12: (DiskError, errno.EIO),
          13: (NoCover, None)}


def _exception(message: str, code: int, path: Optional[PathLike] = None) -> TagError:
    kind, number = _KINDS.get(code, (TagError, None))
    error = kind(message, path, code)
    if number is not None:
        # str(error) stays the library's message: only errno is set, not strerror or filename.
        error.errno = number  # type: ignore[attr-defined]
    return error


class LibraryNotFound(OSError):
    """The shared library could not be loaded from any of the places looked at."""


_BUNDLED_YYJSON = "libyyjson.so.0"  # carried beside a bundled Linux library
_lib = None  # type: Optional[ctypes.CDLL]
_lib_path = None  # type: Optional[str]
# Only loading the library is serial: two threads' first calls must not load it twice.
_load_lock = threading.Lock()


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
    for name in ("id3_read_data", "id3_read_all_data"):
        fn = getattr(lib, name)
        fn.argtypes = [ctypes.c_char_p, ctypes.c_uint64]
        fn.restype = ctypes.c_void_p
    for name in ("id3_write", "id3_extract_cover", "id3_set_cover", "id3_batch"):
        fn = getattr(lib, name)
        fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        fn.restype = ctypes.c_int32
    lib.id3_batch_results.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.id3_batch_results.restype = ctypes.c_void_p
    lib.id3_last_error.argtypes = []
    lib.id3_last_error.restype = ctypes.c_char_p
    lib.id3_last_error_code.argtypes = []
    lib.id3_last_error_code.restype = ctypes.c_int32
    lib.id3_use_utf8_paths.argtypes = [ctypes.c_int32]
    lib.id3_use_utf8_paths.restype = ctypes.c_int32
    if os.name == "nt":
        # os.fsencode gives UTF-8 on Windows: the library takes it so, for any name and length.
        lib.id3_use_utf8_paths(1)
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
    if _lib is not None:
        return _lib
    with _load_lock:
        return _lib if _lib is not None else load_library()


def _path(path: PathLike) -> bytes:
    # Paths go to the library as the bytes the operating system uses for them (UTF-8 on Windows,
    # where the library is switched to UTF-8 paths on loading).
    return os.fsencode(path)


def _error(lib: ctypes.CDLL, path: Optional[PathLike] = None) -> TagError:
    # The calling thread's own message and code: no other thread's call can come between.
    message = lib.id3_last_error().decode("utf-8", "replace")
    return _exception(message, int(lib.id3_last_error_code()), path)


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


def _take_json(lib: ctypes.CDLL, ptr: Optional[int], shown: Optional[PathLike]) -> object:
    """The object of a text the library returned (released here), or the call's TagError."""
    if not ptr:
        raise _error(lib, shown)
    try:
        text = ctypes.string_at(ptr)
    finally:
        lib.id3_free_string(ptr)
    # Tag bytes that are not valid UTF-8 pass through the library unchanged.
    return json.loads(text.decode("utf-8", "surrogateescape"))


def _read_json(path: PathLike, shown: Optional[PathLike], every: bool = False) -> object:
    lib = _library()
    return _take_json(lib, (lib.id3_read_all if every else lib.id3_read)(_path(path)), shown)


def _read_bytes(data: bytes, every: bool) -> object:
    lib = _library()
    return _take_json(lib, (lib.id3_read_all_data if every else lib.id3_read_data)(data, len(data)),
                      None)


def _whole(data: Union[bytes, bytearray, memoryview, IO[bytes]]) -> bytes:
    """The bytes of a buffer, or of a file object from its current position to its end."""
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    return data.read()


def read(source: Source) -> Tags:
    """Returns the tags of a file, named by its path or given as a binary file object (read from
    its current position to its end): title, artist, album, genre, date, track, format ("mp3",
    "flac", "mp4", "ogg" or "opus"), has_cover and, when the cover has one, cover_mime."""
    if _is_file_object(source):
        return _read_bytes(_whole(source), False)  # type: ignore[arg-type,return-value]
    return _read_json(source, source)  # type: ignore[arg-type,return-value]


def read_all(source: Source) -> AllTags:
    """Returns every property of a file (path or binary file object) under the property names
    taggers share, several values per key, and every picture:
    {"format": "mp3", "properties": {"ARTIST": ["A", "B"], ...}, "pictures": [{"type": 3, ...}]}."""
    if _is_file_object(source):
        return _read_bytes(_whole(source), True)  # type: ignore[arg-type,return-value]
    return _read_json(source, source, True)  # type: ignore[arg-type,return-value]


def read_data(data: Union[bytes, bytearray, memoryview]) -> Tags:
    """read() for a whole file's bytes in memory (no temporary file): the same result, and the
    same errors as reading a file of those bytes."""
    return _read_bytes(_whole(data), False)  # type: ignore[return-value]


def read_all_data(data: Union[bytes, bytearray, memoryview]) -> AllTags:
    """read_all() for a whole file's bytes in memory."""
    return _read_bytes(_whole(data), True)  # type: ignore[return-value]


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
    if lib.id3_write(_path(path), payload) != 0:
        raise _error(lib, path)


def extract_cover(path: PathLike, out_path: PathLike) -> None:
    """Saves the file's cover picture to out_path, byte for byte."""
    lib = _library()
    if lib.id3_extract_cover(_path(path), _path(out_path)) != 0:
        raise _error(lib, path)


def cover_bytes(source: Source) -> bytes:
    """The cover picture of a file (a path or a binary file object), byte for byte. Raises NoCover
    when there is none."""
    lib = _library()
    with _TempFile() as out:
        if _is_file_object(source):
            with _TempFile(source) as audio:  # type: ignore[arg-type]
                if lib.id3_extract_cover(_path(audio), _path(out)) != 0:
                    raise _error(lib)
        elif lib.id3_extract_cover(_path(source), _path(out)) != 0:  # type: ignore
            raise _error(lib, source)  # type: ignore[arg-type]
        with open(out, "rb") as f:
            return f.read()


def set_cover(path: PathLike, image_path: Optional[PathLike] = None, *,
              data: Optional[bytes] = None) -> None:
    """Makes a picture the front cover of an MP3, FLAC, MP4, Ogg Vorbis or Opus file: the picture
    file image_path, or the picture's bytes as data (one of the two). The old front covers give
    way to it; the other pictures and the tags stay. The picture is labelled by its first bytes:
    image/png, image/gif, image/webp, image/bmp, else image/jpeg. A file in a layout the library
    does not write (a fragmented MP4 file, ...) raises ReadOnlyFormat, a file of no known format
    NotAudio."""
    if (image_path is None) == (data is None):
        raise TypeError("set_cover takes either image_path or data")
    if data is not None:
        with _TempFile(bytes(data)) as temp:
            return set_cover(path, temp)
    lib = _library()
    if lib.id3_set_cover(_path(path), _path(image_path)) == 0:  # type: ignore[arg-type]
        return
    error = _error(lib, path)
    if error.message == "cover set unsupported for this format":
        try:
            mp4 = read(path)["format"] == "mp4"
        except TagError:
            mp4 = False
        error = (ReadOnlyFormat if mp4 else NotAudio)(error.message, path, error.code)
    raise error


def remove_cover(path: PathLike) -> None:
    """Removes the front cover pictures (picture type 3) of an MP3, FLAC, MP4, Ogg Vorbis or Opus
    file (in MP4 the "covr" item; in an Ogg file also an old COVERART picture); the other pictures
    and every tag stay."""
    lib = _library()
    if lib.id3_write(_path(path), b'{"cover":null}') != 0:
        raise _error(lib, path)


class BatchOutcome(TypedDict, total=False):
    """What became of one path of batch_results(): "path" as given, "result" "written" or
    "failed", and for a failed one "error" (the library's message) and "code"."""

    path: str
    result: str
    error: str
    code: int


def batch_results(paths: Iterable[PathLike], *, properties: Optional[Properties] = None,
                  **tags: Optional[str]) -> List[BatchOutcome]:
    """Writes the tags (and properties, as write() takes them) into every file of `paths`, as
    batch() does, and returns what became of each path, in order: {"path": ..., "result":
    "written"} or {"path": ..., "result": "failed", "error": MESSAGE, "code": CODE}. Raises
    TagError when the tags are refused as a whole (nothing is written then)."""
    lib = _library()
    array = json.dumps([os.fsdecode(p) for p in paths], ensure_ascii=False)
    payload = _tags_json(tags, properties)
    results = _take_json(lib, lib.id3_batch_results(array.encode("utf-8", "surrogateescape"),
                                                    payload), None)
    return results  # type: ignore[return-value]


def batch(paths: Iterable[PathLike], *, properties: Optional[Properties] = None,
          **tags: Optional[str]) -> int:
    """Writes the tags (and properties, as write() takes them) into every file of `paths`; returns
    how many were written. The message of the last path's failed write (empty when it was
    written) is kept as batch.last_error; batch_results() gives every path's outcome."""
    outcomes = batch_results(paths, properties=properties, **tags)
    batch.last_error = outcomes[-1].get("error", "") if outcomes else ""  # type: ignore
    return sum(1 for o in outcomes if o["result"] == "written")


batch.last_error = ""  # type: ignore[attr-defined]
