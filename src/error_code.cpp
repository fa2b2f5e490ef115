// The code of an error text (id3_last_error_code): one table from the start of each message the
// library gives to its code. A message that reports a failed system call ends with the system's
// reason, strerror(errno), in brackets; for those the reason decides where it names a cause a
// caller can act on (no such file, no permission, disk full), and the table's code stands for
// every other reason.
#include "error_code.h"

#include "quorvale_id3tag.h"

#include <errno.h>
#include <string.h>

namespace {

struct message_code {
    const char* start; // the message's beginning, up to its first variable part
    int32_t code;
    bool system_reason; // ends with " (strerror(errno))"
};

// The first entry whose start the message begins with gives the code: a longer start comes before
// a shorter one it begins with.
const message_code message_codes[] = {
    // The caller's arguments and tag values.
    {"NULL argument", ID3_ERROR_ARGUMENT, false},
    {"NULL path", ID3_ERROR_ARGUMENT, false},
    {"null tags_json", ID3_ERROR_ARGUMENT, false},
    {"invalid tags JSON", ID3_ERROR_ARGUMENT, false},
    {"tags JSON must be object", ID3_ERROR_ARGUMENT, false},
    {"invalid dir_json", ID3_ERROR_ARGUMENT, false},
    {"dir_json must be array of paths", ID3_ERROR_ARGUMENT, false},
    {"NUL character in tag value: ", ID3_ERROR_ARGUMENT, false},
    {"NUL character in path", ID3_ERROR_ARGUMENT, false},
    {"properties must be an object", ID3_ERROR_ARGUMENT, false},
    {"invalid property key: ", ID3_ERROR_ARGUMENT, false},
    {"pictures are not properties: ", ID3_ERROR_ARGUMENT, false},
    {"property values must be a list of strings: ", ID3_ERROR_ARGUMENT, false},
    {"property named twice: ", ID3_ERROR_ARGUMENT, false},
    {"key not supported by ", ID3_ERROR_ARGUMENT, false},
    {"several values not supported by ", ID3_ERROR_ARGUMENT, false},
    {"value not supported by ", ID3_ERROR_ARGUMENT, false},
    {"MP4 track must be a number or number/total: ", ID3_ERROR_ARGUMENT, false},
    {"path too long for a temporary file: ", ID3_ERROR_ARGUMENT, false},
    {"cannot write cover: ", ID3_ERROR_ARGUMENT, true}, // "(the output is the source file)"
    // Opening and reading.
    {"cannot open: ", ID3_ERROR_IO, true},
    {"cannot read: ", ID3_ERROR_IO, true},
    {"file changed while reading: ", ID3_ERROR_CHANGED, false},
    {"file changed while writing: ", ID3_ERROR_CHANGED, false},
    // Not a file of a format the library knows.
    {"unsupported or unrecognized format", ID3_ERROR_NOT_AUDIO, false},
    {"unsupported format for write", ID3_ERROR_NOT_AUDIO, false},
    {"cover set unsupported for this format", ID3_ERROR_NOT_AUDIO, false},
    {"too short for ID3", ID3_ERROR_NOT_AUDIO, false},
    {"no ID3 header", ID3_ERROR_NOT_AUDIO, false},
    {"too short for MP4", ID3_ERROR_NOT_AUDIO, false},
    {"not FLAC", ID3_ERROR_NOT_AUDIO, false},
    {"not Ogg Vorbis or Opus", ID3_ERROR_NOT_AUDIO, false},
    {"no cover art", ID3_ERROR_NO_COVER, false},
    // A known format in a layout the writer leaves alone.
    {"fragmented MP4 (moof) write unsupported", ID3_ERROR_UNSUPPORTED, false},
    {"MP4 chunk offset inside moov: ", ID3_ERROR_UNSUPPORTED, false},
    {"MP4 track with media in another file: ", ID3_ERROR_UNSUPPORTED, false},
    {"MP4 track without chunk offsets: ", ID3_ERROR_UNSUPPORTED, false},
    {"MP4 atom sized to the end of its container: ", ID3_ERROR_UNSUPPORTED, false},
    {"Ogg file with several streams: write unsupported", ID3_ERROR_UNSUPPORTED, false},
    {"Ogg identification packet shares its page: write unsupported", ID3_ERROR_UNSUPPORTED, false},
    {"Ogg header packets share pages with audio: write unsupported", ID3_ERROR_UNSUPPORTED, false},
    // Damaged files.
    {"MP4 atom size smaller than its header", ID3_ERROR_DAMAGED, false},
    {"MP4 chunk offset past the end of the file: ", ID3_ERROR_DAMAGED, false},
    {"MP4 file with more than one moov", ID3_ERROR_DAMAGED, false},
    {"MP4 file without moov", ID3_ERROR_DAMAGED, false},
    {"damaged MP4 ", ID3_ERROR_DAMAGED, false},
    {"FLAC metadata runs past the end of the file", ID3_ERROR_DAMAGED, false},
    {"ID3v2 tag runs past the end of the file", ID3_ERROR_DAMAGED, false},
    {"Ogg page checksum mismatch at offset ", ID3_ERROR_DAMAGED, false},
    {"not an Ogg page at offset ", ID3_ERROR_DAMAGED, false},
    {"Ogg page runs past the end of the file", ID3_ERROR_DAMAGED, false},
    {"Ogg stream ends within its header packets", ID3_ERROR_DAMAGED, false},
    {"Ogg header packets broken across pages at offset ", ID3_ERROR_DAMAGED, false},
    {"Ogg comment header missing", ID3_ERROR_DAMAGED, false},
    {"Ogg comment header damaged", ID3_ERROR_DAMAGED, false},
    {"Ogg Vorbis setup header missing", ID3_ERROR_DAMAGED, false},
    {"Ogg file does not end with a whole page", ID3_ERROR_DAMAGED, false},
    {"damaged Ogg page among the audio", ID3_ERROR_DAMAGED, false},
    // More than the format can hold.
    {"tag too large for ID3v2", ID3_ERROR_TOO_LARGE, false},
    {"cover too large for ", ID3_ERROR_TOO_LARGE, false},
    {"comments too large for ", ID3_ERROR_TOO_LARGE, false},
    {"too many comments for FLAC comment block", ID3_ERROR_TOO_LARGE, false},
    {"MP4 item too large: ", ID3_ERROR_TOO_LARGE, false},
    {"MP4 item list too large", ID3_ERROR_TOO_LARGE, false},
    {"MP4 chunk offset past 4 GiB in a 32-bit table (stco)", ID3_ERROR_TOO_LARGE, false},
    // Memory.
    {"oom", ID3_ERROR_OUT_OF_MEMORY, false},
    {"out of memory while writing: ", ID3_ERROR_OUT_OF_MEMORY, false},
    {"json write failed", ID3_ERROR_OUT_OF_MEMORY, false},
    // Writing the new file and putting it in place.
    {"cannot replace target (", ID3_ERROR_ACCESS_DENIED, false},
    {"cannot create temp: ", ID3_ERROR_IO, true},
    {"short write: ", ID3_ERROR_IO, true},
    {"disk flush failed: ", ID3_ERROR_IO, true},
    {"close failed: ", ID3_ERROR_IO, true},
    {"folder flush failed: ", ID3_ERROR_IO, true},
    {"cannot copy extended attributes: ", ID3_ERROR_IO, true},
    {"rename failed (win32 ", ID3_ERROR_IO, false},
    // A writer's new file that does not fit the old one: a fault of this library, not of the file.
    {"bad splice list", ID3_ERROR_OTHER, false},
};

// The system's reasons that name a cause of their own.
struct reason_code {
    int err;
    int32_t code;
};
const reason_code reason_codes[] = {
    {ENOENT, ID3_ERROR_NOT_FOUND},      {ENOTDIR, ID3_ERROR_NOT_FOUND},
    {EACCES, ID3_ERROR_ACCESS_DENIED},  {EPERM, ID3_ERROR_ACCESS_DENIED},
    {EROFS, ID3_ERROR_ACCESS_DENIED},   {EISDIR, ID3_ERROR_NOT_REGULAR_FILE},
    {ENOSPC, ID3_ERROR_NO_SPACE},
#ifdef EDQUOT
    {EDQUOT, ID3_ERROR_NO_SPACE},
#endif
    {ENOMEM, ID3_ERROR_OUT_OF_MEMORY},  {EFBIG, ID3_ERROR_TOO_LARGE},
    {ENAMETOOLONG, ID3_ERROR_ARGUMENT},
};

bool starts_with(const char* text, const char* start) {
    return strncmp(text, start, strlen(start)) == 0;
}

bool ends_with(const char* text, size_t len, const char* end) {
    size_t n = strlen(end);
    return len >= n && memcmp(text + len - n, end, n) == 0;
}

// The code of a message ending in " (REASON)" from REASON, or fallback.
int32_t code_of_reason(const char* message, int32_t fallback) {
    size_t len = strlen(message);
    if (ends_with(message, len, " (not a regular file)"))
        return ID3_ERROR_NOT_REGULAR_FILE;
    for (const reason_code& r : reason_codes) {
        // strerror of a known errno is a constant text (the same one the message was made from).
        const char* reason = strerror(r.err);
        size_t n = strlen(reason);
        if (len >= n + 3 && message[len - 1] == ')' && message[len - n - 3] == ' ' &&
            message[len - n - 2] == '(' && memcmp(message + len - n - 1, reason, n) == 0)
            return r.code;
    }
    return fallback;
}

} // namespace

int32_t id3_error_code_of(const char* message) {
    if (!message || !message[0])
        return ID3_ERROR_NONE;
    for (const message_code& m : message_codes) {
        if (starts_with(message, m.start))
            return m.system_reason ? code_of_reason(message, m.code) : m.code;
    }
    // "mp3 write failed" and the other writers' last resort: a write failed for no named cause.
    if (ends_with(message, strlen(message), " write failed"))
        return ID3_ERROR_IO;
    return ID3_ERROR_OTHER;
}
