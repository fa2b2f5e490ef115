/*
 * quorvale-id3tag: read and write the descriptive tags of MP3 (ID3v2), FLAC, MP4/M4A, Ogg Vorbis
 * and Opus files.
 *
 * Tags cross this interface as one UTF-8 JSON object:
 *   {"title":"...","artist":"...","album":"...","genre":"...","date":"...","track":"...",
 *    "format":"mp3|flac|mp4|ogg|opus","has_cover":true|false,"cover_mime":"image/jpeg"}
 * ("ogg" is Ogg Vorbis, "opus" Ogg Opus).
 * "cover_mime" is present only when the file's cover has a MIME type. For writing, the six text
 * members, "cover" and "properties" are read ("year" is accepted in place of "date"); a text
 * member that is absent or neither a string nor null leaves that tag as the file has it, and an
 * empty string stores an empty tag.
 * "properties" (absent or null: no change) is an object of keys, each with an array of strings:
 *   {"title":"Song","properties":{"ARTIST":["A","B"],"DISCNUMBER":["1/2"],"COMMENT":[]}}
 * Each key named gets exactly the listed values, in order, and an empty array removes the key;
 * keys not named stay. Keys are those id3_read_all() gives, matched without regard to ASCII case.
 * The text members are applied first, so a key named both ways ("title" and TITLE) takes the
 * "properties" value; a key whose values equal the file's is left byte for byte. docs/properties.md
 * tells where each key goes in each format. The write fails, naming the key, with "properties
 * must be an object", "property values must be a list of strings: KEY", "invalid property key:
 * KEY" (empty, a control character or "="), "key not supported by FORMAT: KEY" (a Vorbis comment
 * name of bytes outside printable ASCII), "property named twice: KEY", "pictures are not
 * properties: KEY" (METADATA_BLOCK_PICTURE, COVERART, COVERARTMIME), "several values not supported
 * by FORMAT: KEY" (a key the format holds once) or "value not supported by mp3|mp4: KEY" (a value
 * the frame or item cannot hold); an MP4 "track" that is not N or N/M fails with "MP4 track must
 * be a number or number/total: VALUE". A write that names properties reads the file's properties
 * first, and fails with that read's message where it fails.
 * A member whose value is null removes the tag: every frame of it (for "date" also the version
 * 2.3 date frames TYER, TDAT, TIME, TRDA), every FLAC comment of its key, and the field of an
 * ID3v1 tag (and the item of an APE tag at the end of an MP3 file that holds it, which a write
 * naming the field otherwise sets to the new value). "cover":null removes the front covers
 * (picture type 3) and keeps the other pictures; "format", "has_cover", "cover_mime" and every
 * other member are ignored. Strings may
 * hold bytes that are not valid UTF-8 (id3_read passes such bytes through); they are stored as
 * they stand. A member that is read and holds U+0000 fails the call with "NUL character in tag
 * value: KEY" before any file is looked at; an id3_batch path holding U+0000 fails as that file's
 * write with "NUL character in path".
 *
 * Conventions:
 *   - Integer results are 0 on success and -1 on failure (id3_batch returns a count instead of 0).
 *     Pointer results are NULL on failure. After a failure, id3_last_error() describes it.
 *   - Paths are narrow strings passed unchanged to the system's file calls (UTF-8 on Linux, the
 *     ANSI code page on Windows unless id3_use_utf8_paths() has switched the process to UTF-8). A path must name a regular file: a folder fails with "cannot
 *     open: PATH (Is a directory)", a FIFO, socket or device with "cannot open: PATH (not a
 *     regular file)", at once and without waiting.
 *   - The library keeps one error text per thread and no other state: calls from several threads
 *     may run at once, and each thread's id3_last_error() describes that thread's own last call.
 *     (Earlier releases kept one text for the whole process, which threads overwrote.) Two
 *     threads writing one file at once each write it whole, one after the other wins.
 *   - A file is opened once per call and only its tags are read (an MP3 file's ID3v2 tag, a FLAC
 *     file's metadata blocks, an MP4 file's atom headers and item list, an Ogg file's pages up to
 *     the end of its comment header), never its audio. A file
 *     is only ever changed by writing a temporary file beside it (the new tags, then the audio
 *     copied by the system), flushing it to the disk and renaming it over the original, so a
 *     failed write leaves the original untouched.
 */
#ifndef QUORVALE_ID3TAG_H
#define QUORVALE_ID3TAG_H

#include <stdint.h>

/* The release this header belongs to: the project's one version number. The build, the packages
 * and the Python module take it from these three lines; the text form is made from them. */
#define QUORVALE_ID3TAG_VERSION_MAJOR 1
#define QUORVALE_ID3TAG_VERSION_MINOR 0
#define QUORVALE_ID3TAG_VERSION_PATCH 0
/* "MAJOR.MINOR.PATCH", from the numbers (the macro in between expands them first). */
#define QUORVALE_ID3TAG_DOTTED_(major, minor, patch) #major "." #minor "." #patch
#define QUORVALE_ID3TAG_DOTTED(major, minor, patch) QUORVALE_ID3TAG_DOTTED_(major, minor, patch)
#define QUORVALE_ID3TAG_VERSION                                                                    \
    QUORVALE_ID3TAG_DOTTED(QUORVALE_ID3TAG_VERSION_MAJOR, QUORVALE_ID3TAG_VERSION_MINOR,           \
                           QUORVALE_ID3TAG_VERSION_PATCH)

#if defined(QUORVALE_ID3TAG_STATIC)
#define QID3_API
#elif defined(_WIN32)
#if defined(QUORVALE_ID3TAG_BUILD)
#define QID3_API __declspec(dllexport)
#else
#define QID3_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QID3_API __attribute__((visibility("default")))
#else
#define QID3_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Reads the tags of the MP3, FLAC, MP4/M4A, Ogg Vorbis or Opus file at `path` (only the bytes that
 * hold tags are read; the file is never changed). Returns the JSON object described above as a
 * NUL-terminated UTF-8 text that the caller owns and must release with id3_free_string(), or NULL
 * on failure. Messages: "NULL path", "cannot open: PATH (REASON)", "cannot open: PATH (not a
 * regular file)", "cannot read: PATH (REASON)", "file changed while reading: PATH" (it ended
 * before the size it had when opened), "unsupported or unrecognized format", "too short for ID3",
 * "no ID3 header", "MP4 atom size smaller than its header" (a damaged MP4 file), "oom", and for a
 * damaged Ogg file "Ogg page checksum mismatch at offset N", "not an Ogg page at offset N", "Ogg
 * page runs past the end of the file", "Ogg stream ends within its header packets", "Ogg header
 * packets broken across pages at offset N" or "Ogg comment header missing". A file that begins
 * with "ID3" counts as MP3 only with a tag header of version 2, 3 or 4 and a syncsafe size; one
 * without a tag only when it starts with two valid MPEG audio frame headers (or one frame that ends
 * with the file). An ID3v2 tag whose size points past the end of the file is read up to that end.
 * An Ogg file counts as Ogg Vorbis or Opus when its first page's first packet is a Vorbis or Opus
 * identification header; a file of several logical streams is read from the first one.
 */
QID3_API char* id3_read(const char* path);

/*
 * Reads every property and picture of the MP3, FLAC, MP4/M4A, Ogg Vorbis or Opus file at `path`,
 * as bounded as id3_read() (only the tag bytes are read). Returns a JSON object the caller
 * releases with id3_free_string(), or NULL on failure with id3_read()'s messages:
 *   {"format":"mp3|flac|mp4|ogg|opus","properties":{"KEY":["value",...],...},
 *    "pictures":[{"type":3,"mime":"image/jpeg","description":"","size":N},...]}
 * Keys are the property names taggers share (TITLE, ALBUMARTIST, DISCNUMBER, MUSICBRAINZ_TRACKID,
 * REPLAYGAIN_TRACK_GAIN, ...; docs/properties.md lists the table of keys, ID3v2 frames and MP4
 * items). A frame or comment of no key in the table appears under its own name, upper-cased: a
 * TXXX frame by its description, a Vorbis comment by its name, an MP4 freeform item by its name.
 * Several values of one key (the NUL-separated values of an ID3v2 text frame, several comments of
 * one name, several data atoms of one MP4 item) are listed in the file's order; the keys come in
 * the order of their first value, the pictures in the file's order. Binary frames (PRIV, GEOB,
 * ...) are no properties. The pictures give their type, MIME type, description and byte count.
 */
QID3_API char* id3_read_all(const char* path);

/*
 * id3_read() and id3_read_all() of a whole file's `size` bytes at `data`, which the caller holds
 * (an upload, a stream read to its end, a file in an archive): the same object and the same
 * messages as reading a file of those bytes, except that no message names a path ("cannot open:",
 * "cannot read:" and "file changed while reading:" do not arise). The bytes are only read, and
 * only during the call. `data` may be NULL when `size` is 0 (no bytes: "unsupported or
 * unrecognized format"); NULL with a size fails with "NULL argument". Returns a text the caller
 * releases with id3_free_string(), or NULL on failure.
 */
QID3_API char* id3_read_data(const void* data, uint64_t size);
QID3_API char* id3_read_all_data(const void* data, uint64_t size);

/*
 * Writes the text tags of the JSON object `tags_json` into the MP3, FLAC, MP4, Ogg Vorbis or Opus
 * file at `path`, keeping every tag the object does not name and the file's cover. The JSON is
 * checked before the file is looked at. Returns 0 when the file was rewritten, -1 on failure; the
 * file is then unchanged. Messages include "NULL argument", "invalid tags JSON", "tags JSON must
 * be object", "unsupported format for write", "fragmented MP4 (moof) write unsupported" (and the
 * other MP4 layouts whose chunk offsets cannot be shown to stay right, the message naming why),
 * "cannot create temp: REASON", "short write", "disk flush failed: REASON", "close failed:
 * REASON", "file changed while writing: PATH" (another program changed or replaced the file while
 * it was rewritten: the file is left as that program made it), "cannot replace target (read-only
 * or locked): PATH", "rename failed (win32 CODE): PATH", "path too long for a temporary file:
 * PATH", "tag too large for ID3v2", "cover too large for FLAC picture block", "comments too
 * large for FLAC comment block", "too many comments for FLAC comment block (at most 100000)"
 * (libFLAC's decoder refuses a block of more), "FLAC metadata runs past the end of the file" and
 * "ID3v2 tag runs past the end of the file" (a damaged file whose audio a rewrite could lose; it
 * is left alone), for Ogg files the read's messages and "Ogg file with several streams: write
 * unsupported", "Ogg identification packet shares its page: write unsupported", "Ogg header
 * packets share pages with audio: write unsupported", "Ogg file does not end with a whole page",
 * "damaged Ogg page among the audio", "cover too large for Ogg picture comment", "cannot copy
 * extended attributes: PATH (REASON)" (Linux), and "folder flush failed: FOLDER (REASON)", after
 * which the file already holds the new tags but the rename may not survive a power cut. After a
 * success the error text is normally empty, but may hold the message of a harmless step (an "ID3"
 * file too short to hold a tag leaves "too short for ID3"): judge success by the result only.
 * Everything of the old tags that the object does not name is carried over: other frames, comments
 * and pictures (docs/carrying.md lists the few things still dropped).
 */
QID3_API int32_t id3_write(const char* path, const char* tags_json);

/*
 * Saves the cover picture embedded in the MP3, FLAC, MP4, Ogg Vorbis or Opus file at `path` to
 * `out_path`, byte for byte (the picture file is created or overwritten). Returns 0 on success, -1
 * on failure: "NULL argument", the read's messages, "no cover art" (no picture file is created
 * then), "cannot write cover: REASON", "short cover write".
 */
QID3_API int32_t id3_extract_cover(const char* path, const char* out_path);

/*
 * Makes the picture file at `image_path` the front cover of the MP3, FLAC, MP4, Ogg Vorbis or Opus
 * file at `path`: the old front covers (picture type 3; in MP4 the first picture of "covr") give
 * way to it, and the other pictures and every tag stay (in an Ogg file the cover is a
 * METADATA_BLOCK_PICTURE comment, and an old COVERART picture goes with the front covers). The
 * picture is read first and labelled by its first bytes: "image/png" (at least 8 bytes starting
 * 0x89 'P' 'N' 'G'), "image/gif" ("GIF87a" or "GIF89a"), "image/webp" ("RIFF", 4 bytes,
 * "WEBP"), "image/bmp" (at least 14 bytes starting "BM"), else "image/jpeg". An empty picture
 * file removes an MP3 file's front covers and gives a FLAC or Ogg file an empty picture.
 * Returns 0 when the file was rewritten, -1 on failure; the file is then unchanged ("cover set
 * unsupported for this format" for unrecognised files).
 */
QID3_API int32_t id3_set_cover(const char* path, const char* image_path);

/*
 * Writes `tags_json` into every file named by the JSON array of path strings `dir_json`, as
 * id3_write() would, one after another with no early stop; members that are not strings are
 * skipped. Files are committed in groups: each file is flushed to the disk, in turn (on Linux the
 * writeback of every file of the group is started first, so that the file system commits them
 * together; no thread is started), and each folder once after the group's renames; the files
 * written, the count and the message left are those of writing the files in turn (a path listed
 * twice is written twice). Returns the number of files written (0 or more), or -1 when an argument
 * is NULL ("NULL argument") or `dir_json` is not a JSON array ("invalid dir_json", "dir_json must
 * be array of paths"). After a run, id3_last_error() holds what the last path's write left.
 */
QID3_API int32_t id3_batch(const char* dir_json, const char* tags_json);

/*
 * Does what id3_batch() does with the same two texts (the same writes, in one run of the same
 * routine) and returns what became of each path: a JSON array the caller releases with
 * id3_free_string(), with one object per string member of `dir_json`, in their order (members
 * that are not strings are skipped, as id3_batch skips them):
 *   [{"path":"a.mp3","result":"written"},
 *    {"path":"b.mp3","result":"failed","error":"cannot open: b.mp3 (No such file or directory)",
 *     "code":2}]
 *   - "path": the member's text as given (bytes that are not UTF-8 pass through as they stand,
 *     U+0000 and the other control characters are escaped).
 *   - "result": "written" when the write succeeded, "failed" when it failed (the file is then
 *     as id3_write() describes it after that message).
 *   - "error": only with "failed": the message a single id3_write() of that path would leave
 *     (id3_write()'s messages), or "NUL character in path".
 *   - "code": only with "failed": the message's code, as id3_last_error_code() gives it.
 * Callers must ignore members they do not know: later releases may add some.
 * A path listed twice (or another path to a file already listed: a link, "./a.mp3") is written
 * twice, the second time over the first write, and each occurrence has its own object with its
 * own outcome.
 * `tags_json` is checked once, before any path is looked at: a text every write would refuse is
 * refused as a whole. Returns NULL when an argument is NULL ("NULL argument"), when `dir_json`
 * is refused ("invalid dir_json", "dir_json must be array of paths"), when `tags_json` is refused
 * (the write's messages: "invalid tags JSON", "tags JSON must be object", "NUL character in tag
 * value: KEY", the property messages of docs/properties.md), or when memory runs out ("oom",
 * also after the writes, which are then done). After a non-NULL result id3_last_error() is empty:
 * the outcomes are in the array.
 */
QID3_API char* id3_batch_results(const char* dir_json, const char* tags_json);

/*
 * The text of the calling thread's last failure: never NULL, empty when nothing is recorded. The
 * text belongs to the library (one per thread, released when the thread ends) and changes with the
 * thread's next call; do not free it. Calls of other threads leave it as it is.
 */
QID3_API const char* id3_last_error(void);

/*
 * Chooses how every path given to the library is read, for the whole process: `on` nonzero, as
 * UTF-8; 0, as before, in the system's narrow form. On Windows the narrow form is the ANSI code
 * page, which cannot spell every name (Japanese names on a Western system, emoji) and reaches no
 * path longer than 260 characters; with UTF-8 paths, each path is converted to UTF-16, made
 * absolute and given the "\\?\" long-path prefix ("\\?\UNC\" for a share) for the wide Win32
 * calls, so any file can be named (a path that is not UTF-8 fails as the system's "cannot open:"
 * with the reason Windows gives). The paths in id3_batch's JSON are UTF-8 text: on Windows they
 * name every file only with UTF-8 paths on. On other systems paths are the system's bytes, UTF-8 by convention, and the call changes nothing.
 * Call it once at start, before other threads call the library. Returns 0.
 * One switch, not a second set of path-taking functions: every export (and any added later)
 * takes UTF-8 paths with no change to its signature, and callers whose strings are UTF-16
 * (.NET, Python) hand over UTF-8 as readily.
 */
QID3_API int32_t id3_use_utf8_paths(int32_t on);

/*
 * The kind of the calling thread's last failure, from the text id3_last_error() gives: one of the
 * ID3_ERROR_ codes below, ID3_ERROR_NONE when the text is empty. The numbers stay the same in
 * every release; a release may add codes, so treat an unknown one as ID3_ERROR_OTHER. Messages
 * that carry a system reason in brackets ("cannot open: PATH (REASON)", "cannot read:", "cannot
 * create temp:", "short write:", "disk flush failed:", "close failed:", "folder flush failed:",
 * "cannot copy extended attributes:", "cannot write cover:") take the code of the reason where
 * it names one (the text of the C library's strerror for that errno):
 *   No such file or directory (ENOENT), Not a directory (ENOTDIR)  -> ID3_ERROR_NOT_FOUND
 *   Permission denied (EACCES), Operation not permitted (EPERM),
 *   Read-only file system (EROFS)                                   -> ID3_ERROR_ACCESS_DENIED
 *   Is a directory (EISDIR), "not a regular file"                   -> ID3_ERROR_NOT_REGULAR_FILE
 *   No space left on device (ENOSPC), quota exceeded (EDQUOT)       -> ID3_ERROR_NO_SPACE
 *   Cannot allocate memory (ENOMEM)                                 -> ID3_ERROR_OUT_OF_MEMORY
 *   File too large (EFBIG)                                          -> ID3_ERROR_TOO_LARGE
 *   File name too long (ENAMETOOLONG)                               -> ID3_ERROR_ARGUMENT
 * and otherwise ID3_ERROR_IO ("cannot write cover: PATH (the output is the source file)":
 * ID3_ERROR_ARGUMENT). The other messages, by their start:
 */
#define ID3_ERROR_NONE 0 /* the last call succeeded */
/* "NULL argument", "NULL path", "null tags_json", "invalid tags JSON", "tags JSON must be object",
 * "invalid dir_json", "dir_json must be array of paths", "NUL character in tag value: KEY", "NUL
 * character in path", the property messages ("properties must be an object", "invalid property
 * key: KEY", "pictures are not properties: KEY", "property values must be a list of strings:
 * KEY", "property named twice: KEY", "key not supported by FORMAT: KEY", "several values not
 * supported by FORMAT: KEY", "value not supported by FORMAT: KEY", "MP4 track must be a number or
 * number/total: VALUE"), "path too long for a temporary file: PATH". */
#define ID3_ERROR_ARGUMENT 1
#define ID3_ERROR_NOT_FOUND 2     /* by the system reason only */
#define ID3_ERROR_ACCESS_DENIED 3 /* and "cannot replace target (...): PATH" */
#define ID3_ERROR_NOT_REGULAR_FILE 4 /* by the system reason only */
/* "unsupported or unrecognized format", "unsupported format for write", "cover set unsupported for
 * this format", "too short for ID3", "no ID3 header", "too short for MP4", "not FLAC", "not Ogg
 * Vorbis or Opus". */
#define ID3_ERROR_NOT_AUDIO 5
/* A file of a known format in a layout the writer leaves alone: "fragmented MP4 (moof) write
 * unsupported", "MP4 chunk offset inside moov: ...", "MP4 track with media in another file: ...",
 * "MP4 track without chunk offsets: ...", "MP4 atom sized to the end of its container: ...", "Ogg
 * file with several streams: write unsupported", "Ogg identification packet shares its page: write
 * unsupported", "Ogg header packets share pages with audio: write unsupported". */
#define ID3_ERROR_UNSUPPORTED 6
/* "MP4 atom size smaller than its header", "MP4 chunk offset past the end of the file: ...", "MP4
 * file with more than one moov", "MP4 file without moov", "damaged MP4 ..." (atom layout, chunk
 * offset table, meta atom), "FLAC metadata runs past the end of the file", "ID3v2 tag runs past the
 * end of the file", "Ogg page checksum mismatch at offset N", "not an Ogg page at offset N", "Ogg
 * page runs past the end of the file", "Ogg stream ends within its header packets", "Ogg header
 * packets broken across pages at offset N", "Ogg comment header missing", "Ogg comment header
 * damaged", "Ogg Vorbis setup header missing", "Ogg file does not end with a whole page", "damaged
 * Ogg page among the audio". */
#define ID3_ERROR_DAMAGED 7
/* "tag too large for ID3v2", "cover too large for ...", "comments too large for ...", "too many
 * comments for FLAC comment block (at most N)", "MP4 item too large: KEY", "MP4 item list too
 * large", "MP4 chunk offset past 4 GiB in a 32-bit table (stco)". */
#define ID3_ERROR_TOO_LARGE 8
/* "file changed while reading: PATH", "file changed while writing: PATH". */
#define ID3_ERROR_CHANGED 9
#define ID3_ERROR_NO_SPACE 10 /* by the system reason only */
/* "oom", "out of memory while writing: PATH", "json write failed". */
#define ID3_ERROR_OUT_OF_MEMORY 11
/* "rename failed (win32 CODE): PATH", "FORMAT write failed", and the system messages above with
 * any other reason. */
#define ID3_ERROR_IO 12
#define ID3_ERROR_NO_COVER 13 /* "no cover art" */
/* A message of no code above, and "bad splice list" (a fault of this library in building a new
 * file, which leaves the file as it was). */
#define ID3_ERROR_OTHER 99
QID3_API int32_t id3_last_error_code(void);

/*
 * Releases a text returned by id3_read(), id3_read_all(), id3_read_data(), id3_read_all_data() or
 * id3_batch_results() (with the C library's free). NULL is allowed and does nothing. The error text
 * is not changed.
 */
QID3_API void id3_free_string(char* text);

#ifdef __cplusplus
}
#endif

#endif /* QUORVALE_ID3TAG_H */
