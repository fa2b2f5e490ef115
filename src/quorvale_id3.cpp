// The library's interface: the exported functions, the tag record, the error buffer, whole-file
// reading, container detection and dispatch, the JSON form of a record, and atomic replacement.
#include "quorvale_id3tag.h"
#include "id3_internal.h"
#include "platform.h"

#include <yyjson.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

namespace {
struct free_deleter {
    void operator()(void* p) const { free(p); }
};
using owned_bytes = std::unique_ptr<uint8_t, free_deleter>;
using owned_text = std::unique_ptr<char, free_deleter>;

// Releases a tag record at the end of a scope, on every path.
struct tags_guard {
    id3_tags* t;
    ~tags_guard() { id3_tags_free(t); }
};
} // namespace

// ---------------------------------------------------------------------------------------------
// Tag record and error buffer

static char g_err[512];

void id3_tags_init(id3_tags* t) {
    memset(t, 0, sizeof *t);
}

void id3_tags_free(id3_tags* t) {
    if (!t)
        return;
    free(t->title);
    free(t->artist);
    free(t->album);
    free(t->genre);
    free(t->date);
    free(t->track);
    free(t->cover_data);
    memset(t, 0, sizeof *t);
}

int id3_tags_set_str(char** field, const char* text) {
    if (!text)
        text = "";
    size_t n = strlen(text);
    // The copy is made before the old block goes, so a field may be set from its own text.
    char* copy = (char*)malloc(n + 1);
    if (!copy)
        return -1;
    memcpy(copy, text, n + 1);
    free(*field);
    *field = copy;
    return 0;
}

void id3_set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

int id3_has_error(void) {
    return g_err[0] != '\0';
}

void id3_clear_error(void) {
    g_err[0] = '\0';
}

const char* id3_last_error(void) {
    return g_err;
}

void id3_free_string(char* text) {
    free(text);
}

// ---------------------------------------------------------------------------------------------
// Whole-file reading and container detection

uint8_t* id3_slurp(const char* path, uint64_t* len) {
    *len = 0;
    FILE* f = fopen(path, "rb");
    if (!f) {
        id3_set_error("cannot open: %s (%s)", path, strerror(errno));
        return nullptr;
    }
    if (plat_seek_end(f) != 0) {
        fclose(f);
        id3_set_error("seek failed");
        return nullptr;
    }
    int64_t size = plat_tell(f);
    if (size < 0) {
        fclose(f);
        id3_set_error("ftell failed");
        return nullptr;
    }
    rewind(f);
    if ((uint64_t)size >= SIZE_MAX) {
        fclose(f);
        id3_set_error("oom");
        return nullptr;
    }
    uint8_t* data = (uint8_t*)malloc((size_t)size + 1);
    if (!data) {
        fclose(f);
        id3_set_error("oom");
        return nullptr;
    }
    size_t got = size > 0 ? fread(data, 1, (size_t)size, f) : 0;
    // A read that stopped on an I/O error is not the file: a writer working from it would replace
    // the file with a truncated copy. A file that merely shrank since its size was taken still
    // gives the shorter image.
    if (got < (size_t)size && ferror(f)) {
        int err = errno;
        fclose(f);
        free(data);
        id3_set_error("cannot read: %s (%s)", path, strerror(err ? err : EIO));
        return nullptr;
    }
    // A file that grew since its size was taken would be read without its tail, and a write built
    // on that image would cut the file short.
    if (got == (size_t)size && fgetc(f) != EOF) {
        fclose(f);
        free(data);
        id3_set_error("file changed while reading: %s", path);
        return nullptr;
    }
    fclose(f);
    data[got] = 0;
    *len = got;
    return data;
}

int32_t id3_detect_fmt(const uint8_t* data, uint64_t len) {
    if (!data || len < 4)
        return ID3_FMT_UNKNOWN;
    if (data[0] == 'I' && data[1] == 'D' && data[2] == '3')
        return ID3_FMT_MP3;
    if (data[0] == 'f' && data[1] == 'L' && data[2] == 'a' && data[3] == 'C')
        return ID3_FMT_FLAC;
    // An MPEG audio frame starts with eleven set sync bits.
    if (data[0] == 0xFF && data[1] >= 0xE0)
        return ID3_FMT_MP3;
    if (len < 8)
        return ID3_FMT_UNKNOWN;
    if (memcmp(data + 4, "ftyp", 4) == 0)
        return ID3_FMT_MP4;
    if (len == 8)
        return ID3_FMT_UNKNOWN;
    // The file-type box may sit a little further in; at least one byte must follow its type.
    for (uint64_t p = 4; p <= 67 && p <= len - 5; p++) {
        if (memcmp(data + p, "ftyp", 4) == 0)
            return ID3_FMT_MP4;
    }
    return ID3_FMT_UNKNOWN;
}

// How a load went, for the writers that must not rewrite a file whose tags they could not read.
struct load_outcome {
    bool read_failed;   // the file itself could not be read
    uint64_t image_len; // bytes the reader saw
};

// Fills the record from the file at path.
static int load_tags(const char* path, id3_tags* t, load_outcome* outcome) {
    id3_tags_init(t);
    outcome->read_failed = false;
    outcome->image_len = 0;
    uint64_t len = 0;
    owned_bytes image(id3_slurp(path, &len));
    if (!image) {
        outcome->read_failed = true;
        return -1;
    }
    outcome->image_len = len;
    if (len < 4) {
        t->format = ID3_FMT_UNKNOWN;
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
    t->format = id3_detect_fmt(image.get(), len);
    switch (t->format) {
    case ID3_FMT_MP3:
        return id3_mp3_read(image.get(), len, t);
    case ID3_FMT_FLAC:
        return id3_flac_read(image.get(), len, t);
    case ID3_FMT_MP4:
        return id3_mp4_read(image.get(), len, t);
    default:
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
}

// Whether a write may go on after a failed load: only for an "ID3" file too short to hold a tag,
// which has no tags to lose. A file that could not be read, a reader that ran out of memory, or a
// file whose container changed since it was detected must not be rewritten from an empty record.
static bool load_failure_is_harmless(const id3_tags* loaded, int32_t detected,
                                     const load_outcome* outcome) {
    return !outcome->read_failed && detected == ID3_FMT_MP3 && loaded->format == ID3_FMT_MP3 &&
           outcome->image_len < 10;
}

// Reads a file only to detect its container; 0 with *fmt set, or -1 when it cannot be read.
static int detect_file(const char* path, int32_t* fmt) {
    uint64_t len = 0;
    owned_bytes image(id3_slurp(path, &len));
    if (!image)
        return -1;
    *fmt = len < 4 ? ID3_FMT_UNKNOWN : id3_detect_fmt(image.get(), len);
    return 0;
}

char* id3_read(const char* path) {
    id3_clear_error();
    if (!path) {
        id3_set_error("NULL path");
        return nullptr;
    }
    id3_tags t;
    tags_guard guard{&t};
    load_outcome outcome;
    if (load_tags(path, &t, &outcome) != 0)
        return nullptr;
    return id3_tags_to_json(&t);
}

// ---------------------------------------------------------------------------------------------
// JSON form of a record

static const char* format_name(int32_t format) {
    switch (format) {
    case ID3_FMT_MP3:
        return "mp3";
    case ID3_FMT_FLAC:
        return "flac";
    case ID3_FMT_MP4:
        return "mp4";
    default:
        return "unknown";
    }
}

char* id3_tags_to_json(const id3_tags* t) {
    yyjson_mut_doc* doc = yyjson_mut_doc_new(nullptr);
    if (!doc) {
        id3_set_error("oom");
        return nullptr;
    }
    // Without an object the document has no root and the write below fails.
    yyjson_mut_val* root = yyjson_mut_obj(doc);
    if (root) {
        yyjson_mut_doc_set_root(doc, root);
        // Values refer to the record's texts; the record does not change before the write.
        bool added = yyjson_mut_obj_add_str(doc, root, "title", t->title ? t->title : "") &&
                     yyjson_mut_obj_add_str(doc, root, "artist", t->artist ? t->artist : "") &&
                     yyjson_mut_obj_add_str(doc, root, "album", t->album ? t->album : "") &&
                     yyjson_mut_obj_add_str(doc, root, "genre", t->genre ? t->genre : "") &&
                     yyjson_mut_obj_add_str(doc, root, "date", t->date ? t->date : "") &&
                     yyjson_mut_obj_add_str(doc, root, "track", t->track ? t->track : "") &&
                     yyjson_mut_obj_add_str(doc, root, "format", format_name(t->format)) &&
                     yyjson_mut_obj_add_bool(doc, root, "has_cover",
                                             t->has_cover != 0 || t->cover_size != 0) &&
                     (t->cover_mime[0] == '\0' ||
                      yyjson_mut_obj_add_str(doc, root, "cover_mime", t->cover_mime));
        // An object missing a member would misreport the file's tags.
        if (!added) {
            yyjson_mut_doc_free(doc);
            id3_set_error("oom");
            return nullptr;
        }
    }
    char* text =
        yyjson_mut_write_opts(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr, nullptr, nullptr);
    yyjson_mut_doc_free(doc);
    if (!text) {
        id3_set_error("json write failed");
        return nullptr;
    }
    return text;
}

// Whether a JSON text holds a raw byte below 0x20 inside a string, where only its escape may
// stand.
static bool raw_control_in_string(const char* text, size_t len) {
    bool in_string = false;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (!in_string) {
            in_string = c == '"';
        } else if (c < 0x20) {
            return true;
        } else if (c == '\\') {
            i++; // the escaped character never ends the string
        } else if (c == '"') {
            in_string = false;
        }
    }
    return false;
}

// Parses strict JSON, except that strings may hold bytes that are not UTF-8: id3_read passes such
// bytes through from the file, and its object must parse again. yyjson's flag for them also lets
// raw control characters into strings, which are refused first. NULL when the text is refused.
static yyjson_doc* parse_json(const char* text) {
    size_t len = strlen(text);
    if (raw_control_in_string(text, len))
        return nullptr;
    return yyjson_read_opts((char*)text, len, YYJSON_READ_ALLOW_INVALID_UNICODE, nullptr, nullptr);
}

// The string value of the first member whose key is exactly `key` (byte for byte), or NULL when
// that member is missing or not a string; *len gets the value's length in bytes, which counts any
// U+0000 in it. Later duplicates never count.
static const char* obj_str(yyjson_val* obj, const char* key, size_t* len) {
    if (!yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0)
        return nullptr;
    size_t key_len = strlen(key);
    yyjson_obj_iter iter;
    yyjson_obj_iter_init(obj, &iter);
    yyjson_val* k;
    while ((k = yyjson_obj_iter_next(&iter))) {
        if (yyjson_get_len(k) == key_len && memcmp(yyjson_get_str(k), key, key_len) == 0) {
            yyjson_val* v = yyjson_obj_iter_get_val(k);
            if (!yyjson_is_str(v))
                return nullptr;
            *len = yyjson_get_len(v);
            return yyjson_get_str(v);
        }
    }
    return nullptr;
}

int32_t id3_tags_from_json(id3_tags* t, const char* text) {
    if (!text) {
        id3_set_error("null tags_json");
        return -1;
    }
    yyjson_doc* doc = parse_json(text);
    if (!doc) {
        id3_set_error("invalid tags JSON");
        return -1;
    }
    yyjson_val* root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) {
        yyjson_doc_free(doc);
        id3_set_error("tags JSON must be object");
        return -1;
    }
    struct member {
        const char* key;
        char** field;
        const char* value;
        size_t len;
    };
    member members[] = {{"title", &t->title, nullptr, 0}, {"artist", &t->artist, nullptr, 0},
                        {"album", &t->album, nullptr, 0}, {"genre", &t->genre, nullptr, 0},
                        {"date", &t->date, nullptr, 0},   {"track", &t->track, nullptr, 0}};
    for (member& m : members) {
        m.value = obj_str(root, m.key, &m.len);
        if (!m.value && m.field == &t->date) {
            m.key = "year";
            m.value = obj_str(root, m.key, &m.len);
        }
        // A text field ends at its first NUL: the value would be stored cut short.
        if (m.value && memchr(m.value, 0, m.len)) {
            yyjson_doc_free(doc);
            id3_set_error("NUL character in tag value: %s", m.key);
            return -1;
        }
    }
    // A value that cannot be copied fails the call: a write that then succeeded would silently
    // keep the file's old tag.
    bool copied = true;
    for (const member& m : members) {
        if (m.value)
            copied = copied && id3_tags_set_str(m.field, m.value) == 0;
    }
    yyjson_doc_free(doc);
    if (!copied) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Atomic replacement

int id3_atomic_write(const char* path, const uint8_t* data, uint64_t len) {
    // A symbolic link stays a link: the file it names receives the new contents, and the
    // temporary file is made beside that file so the rename stays on one volume.
    owned_text target(plat_replace_target(path));
    if (!target) {
        id3_set_error("oom");
        return -1;
    }
    char temp[4096];
    int n = snprintf(temp, sizeof temp, "%s.quorvale-tmp.%d", target.get(), plat_getpid());
    if (n < 0 || (size_t)n >= sizeof temp) {
        id3_set_error("path too long for a temporary file: %s", path);
        return -1;
    }
    if (len > SIZE_MAX) {
        id3_set_error("short write");
        return -1;
    }
    FILE* f = plat_create_temp(temp, target.get());
    if (!f) {
        id3_set_error("cannot create temp: %s", strerror(errno));
        return -1;
    }
    // One write of the whole image.
    size_t written = len > 0 ? fwrite(data, 1, (size_t)len, f) : 0;
    if (written != (size_t)len) {
        fclose(f);
        plat_unlink(temp);
        id3_set_error("short write");
        return -1;
    }
    if (fflush(f) != 0) {
        fclose(f);
        plat_unlink(temp);
        id3_set_error("fflush failed");
        return -1;
    }
    // The data must be on the disk before the rename makes it the target: after a power cut the
    // target is then either the old file or the complete new one. A failed flush means the data
    // may not be there, so the old file is kept.
    if (plat_flush_to_disk(f) != 0) {
        int err = errno;
        fclose(f);
        plat_unlink(temp);
        id3_set_error("disk flush failed: %s", strerror(err));
        return -1;
    }
    // Some file systems report write errors only at close.
    if (fclose(f) != 0) {
        int err = errno;
        plat_unlink(temp);
        id3_set_error("close failed: %s", strerror(err));
        return -1;
    }
    unsigned long code = plat_replace_file(temp, target.get());
    if (code != 0) {
        // The code was taken before the delete, so the delete cannot change it.
        plat_unlink(temp);
        if (code == 5)
            id3_set_error("cannot replace target (read-only or locked): %s", path);
        else
            id3_set_error("rename failed (win32 %lu): %s", code, path);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Tag writing

int32_t id3_write(const char* path, const char* tags_json) {
    id3_clear_error();
    if (!path || !tags_json) {
        id3_set_error("NULL argument");
        return -1;
    }
    id3_tags update, current;
    id3_tags_init(&update);
    id3_tags_init(&current);
    tags_guard update_guard{&update}, current_guard{&current};

    // The JSON is checked before the file is looked at.
    if (id3_tags_from_json(&update, tags_json) != 0)
        return -1;

    int32_t fmt;
    if (detect_file(path, &fmt) != 0)
        return -1;
    if (fmt == ID3_FMT_MP4) {
        id3_set_error("MP4/m4a write unsupported (read-only)");
        return -1;
    }
    if (fmt != ID3_FMT_MP3 && fmt != ID3_FMT_FLAC) {
        id3_set_error("unsupported format for write");
        return -1;
    }

    load_outcome outcome;
    if (load_tags(path, &current, &outcome) != 0) {
        // Writing without the file's existing tags and cover would destroy them.
        if (!load_failure_is_harmless(&current, fmt, &outcome))
            return -1;
        // An "ID3" file too short for a tag holds no tags to lose: it is rewritten with the
        // given ones, and the reader's message stays readable.
        id3_tags_free(&current);
    }

    char** const update_fields[] = {&update.title, &update.artist, &update.album,
                                    &update.genre, &update.date,   &update.track};
    char** const current_fields[] = {&current.title, &current.artist, &current.album,
                                     &current.genre, &current.date,   &current.track};
    for (size_t i = 0; i < 6; i++) {
        if (*update_fields[i] && id3_tags_set_str(current_fields[i], *update_fields[i]) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    current.format = fmt;

    if (fmt == ID3_FMT_MP3)
        return id3_mp3_write(path, &current);
    return id3_flac_write(path, &current, 0);
}

// ---------------------------------------------------------------------------------------------
// Cover art

int32_t id3_extract_cover(const char* path, const char* out_path) {
    id3_clear_error();
    if (!path || !out_path) {
        id3_set_error("NULL argument");
        return -1;
    }
    id3_tags t;
    tags_guard guard{&t};
    load_outcome outcome;
    if (load_tags(path, &t, &outcome) != 0)
        return -1;
    if (!t.cover_data || t.cover_size == 0) {
        id3_set_error("no cover art");
        return -1;
    }
    FILE* f = fopen(out_path, "wb");
    if (!f) {
        id3_set_error("cannot write cover: %s", strerror(errno));
        return -1;
    }
    size_t written = fwrite(t.cover_data, 1, (size_t)t.cover_size, f);
    // A failed close can lose buffered bytes: it counts as a short write.
    int close_rc = fclose(f);
    if (written != t.cover_size || close_rc != 0) {
        id3_set_error("short cover write");
        return -1;
    }
    return 0;
}

int32_t id3_set_cover(const char* path, const char* image_path) {
    id3_clear_error();
    if (!path || !image_path) {
        id3_set_error("NULL argument");
        return -1;
    }
    // The picture is read before the audio file is looked at.
    uint64_t pic_len = 0;
    owned_bytes picture(id3_slurp(image_path, &pic_len));
    if (!picture)
        return -1;
    static const uint8_t png_start[4] = {0x89, 'P', 'N', 'G'};
    const char* mime =
        pic_len >= 8 && memcmp(picture.get(), png_start, 4) == 0 ? "image/png" : "image/jpeg";

    id3_tags t;
    tags_guard guard{&t};
    load_outcome outcome;
    if (load_tags(path, &t, &outcome) != 0) {
        // Writing without the file's existing tags would destroy them. A file of a kind that
        // cannot take a cover goes on to be refused below.
        bool writable = t.format == ID3_FMT_MP3 || t.format == ID3_FMT_FLAC;
        if (outcome.read_failed || (writable && !load_failure_is_harmless(&t, t.format, &outcome)))
            return -1;
        id3_tags_free(&t);
        int32_t fmt;
        if (detect_file(path, &fmt) != 0)
            return -1;
        t.format = fmt;
    }
    free(t.cover_data);
    t.cover_size = pic_len;
    t.cover_data = picture.release();
    snprintf(t.cover_mime, sizeof t.cover_mime, "%s", mime);
    t.has_cover = 1;

    if (t.format == ID3_FMT_MP3)
        return id3_mp3_write(path, &t);
    if (t.format == ID3_FMT_FLAC)
        return id3_flac_write(path, &t, 1);
    id3_set_error("cover set unsupported for this format");
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Batch writing

int32_t id3_batch(const char* dir_json, const char* tags_json) {
    id3_clear_error();
    if (!dir_json || !tags_json) {
        id3_set_error("NULL argument");
        return -1;
    }
    yyjson_doc* doc = parse_json(dir_json);
    if (!doc) {
        id3_set_error("invalid dir_json");
        return -1;
    }
    yyjson_val* root = yyjson_doc_get_root(doc);
    if (!yyjson_is_arr(root)) {
        yyjson_doc_free(doc);
        id3_set_error("dir_json must be array of paths");
        return -1;
    }
    int32_t written = 0;
    yyjson_arr_iter iter;
    yyjson_arr_iter_init(root, &iter);
    yyjson_val* item;
    // Every string member is tried; others are skipped without a message. Each write clears the
    // error buffer first, so what remains is the last write's outcome.
    while ((item = yyjson_arr_iter_next(&iter))) {
        if (!yyjson_is_str(item))
            continue;
        const char* path = yyjson_get_str(item);
        // Cut at its NUL, the path would name another file.
        if (memchr(path, 0, yyjson_get_len(item))) {
            id3_set_error("NUL character in path");
            continue;
        }
        if (id3_write(path, tags_json) == 0)
            written++;
    }
    yyjson_doc_free(doc);
    return written;
}
