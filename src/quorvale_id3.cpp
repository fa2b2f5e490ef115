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

// Releases a tag record at the end of a scope, on every path.
struct tags_guard {
    id3_tags* t;
    ~tags_guard() { id3_tags_free(t); }
};

// Closes an opened file at the end of a scope, on every path.
struct file_guard {
    id3_file* f;
    ~file_guard() { id3_file_close(f); }
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

uint32_t id3_tags_present(const id3_tags* t) {
    const char* const fields[] = {t->title, t->artist, t->album, t->genre, t->date, t->track};
    uint32_t present = 0;
    for (int i = 0; i < 6; i++) {
        if (fields[i])
            present |= 1u << i;
    }
    return present;
}

int id3_tags_store_text(char** field, const char* bytes, uint64_t n) {
    if (n >= SIZE_MAX)
        return -1;
    char* copy = (char*)malloc((size_t)n + 1);
    if (!copy)
        return -1;
    if (n > 0)
        memcpy(copy, bytes, (size_t)n);
    copy[n] = '\0';
    free(*field);
    *field = copy;
    return 0;
}

int id3_tags_store_cover(id3_tags* t, const uint8_t* data, uint64_t n, const char* mime,
                         uint64_t mime_len, int copy_bytes) {
    if (copy_bytes) {
        // An empty picture is still a cover, with a block of its own.
        if (n > SIZE_MAX)
            return -1;
        uint8_t* copy = (uint8_t*)malloc(n > 0 ? (size_t)n : 1);
        if (!copy)
            return -1;
        if (n > 0)
            memcpy(copy, data, (size_t)n);
        free(t->cover_data);
        t->cover_data = copy;
        t->cover_size = n;
    }
    t->has_cover = 1;
    if (mime_len > sizeof t->cover_mime - 1)
        mime_len = sizeof t->cover_mime - 1;
    const void* nul = mime_len > 0 ? memchr(mime, '\0', (size_t)mime_len) : nullptr;
    if (nul)
        mime_len = (uint64_t)((const char*)nul - mime);
    if (mime_len > 0)
        memcpy(t->cover_mime, mime, (size_t)mime_len);
    t->cover_mime[mime_len] = '\0';
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
// Container detection and dispatch

int32_t id3_detect_fmt(const uint8_t* data, uint64_t len) {
    if (!data || len < 4)
        return ID3_FMT_UNKNOWN;
    if (id3_is_tag_header(data, len))
        return ID3_FMT_MP3;
    if (data[0] == 'f' && data[1] == 'L' && data[2] == 'a' && data[3] == 'C')
        return ID3_FMT_FLAC;
    if (id3_is_mpeg_audio(data, len))
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

int32_t id3_file_format(id3_file* f) {
    f->base = 0;
    if (f->size < 4)
        return ID3_FMT_UNKNOWN;
    int32_t fmt = id3_detect_fmt(f->head, f->head_len);
    if (fmt != ID3_FMT_MP3 || f->size < ID3_HEADER_LEN || !id3_is_tag_header(f->head, f->head_len))
        return fmt;
    // "ID3" and then "fLaC" right where that tag (and its footer) ends: a FLAC stream that a
    // program put an ID3v2 tag in front of.
    uint64_t end = id3_tag_end(f->head);
    uint8_t marker[4];
    if (end > f->size || f->size - end < 4)
        return fmt;
    if (id3_file_read(f, end, marker, 4) != 0)
        return -1;
    if (memcmp(marker, "fLaC", 4) != 0)
        return fmt;
    f->base = end;
    return ID3_FMT_FLAC;
}

// Fills the record from the open file.
static int load_tags(id3_file* f, id3_tags* t, int want_cover) {
    id3_tags_init(t);
    if (f->size < 4) {
        t->format = ID3_FMT_UNKNOWN;
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
    t->format = id3_file_format(f);
    switch (t->format) {
    case ID3_FMT_MP3:
        return id3_mp3_load(f, t, want_cover);
    case ID3_FMT_FLAC:
        return id3_flac_load(f, t, want_cover);
    case ID3_FMT_MP4:
        return id3_mp4_load(f, t, want_cover);
    case -1:
        t->format = ID3_FMT_MP3; // an "ID3" file whose bytes after the tag cannot be read
        return -1;
    default:
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
}

// Whether a write may go on after a failed load: only for an "ID3" file too short to hold a tag,
// which has no tags to lose. A reader that ran out of memory or could not read the file must not
// lead to a rewrite from an empty record.
static bool load_failure_is_harmless(const id3_file* f, const id3_tags* loaded) {
    return loaded->format == ID3_FMT_MP3 && f->size < 10;
}

char* id3_read(const char* path) {
    id3_clear_error();
    if (!path) {
        id3_set_error("NULL path");
        return nullptr;
    }
    id3_file f;
    file_guard fguard{&f};
    if (id3_file_open(&f, path) != 0)
        return nullptr;
    id3_tags t;
    tags_guard guard{&t};
    // The JSON reports a cover without its bytes.
    if (load_tags(&f, &t, 0) != 0)
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

// The first member whose key is exactly `key` (byte for byte), or NULL when there is none. Later
// duplicates never count.
static yyjson_val* obj_member(yyjson_val* obj, const char* key) {
    if (!yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0)
        return nullptr;
    size_t key_len = strlen(key);
    yyjson_obj_iter iter;
    yyjson_obj_iter_init(obj, &iter);
    yyjson_val* k;
    while ((k = yyjson_obj_iter_next(&iter))) {
        if (yyjson_get_len(k) == key_len && memcmp(yyjson_get_str(k), key, key_len) == 0)
            return yyjson_obj_iter_get_val(k);
    }
    return nullptr;
}

int32_t id3_tags_from_json(id3_tags* t, const char* text, id3_removals* removed) {
    if (removed)
        *removed = id3_removals{0, 0};
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
        yyjson_val* value;
    };
    member members[] = {{"title", &t->title, nullptr}, {"artist", &t->artist, nullptr},
                        {"album", &t->album, nullptr}, {"genre", &t->genre, nullptr},
                        {"date", &t->date, nullptr},   {"track", &t->track, nullptr}};
    id3_removals found = {0, yyjson_is_null(obj_member(root, "cover"))};
    for (size_t i = 0; i < 6; i++) {
        member& m = members[i];
        m.value = obj_member(root, m.key);
        // Only a string or null under "date" decides; anything else gives way to "year".
        if (m.field == &t->date && !yyjson_is_str(m.value) && !yyjson_is_null(m.value)) {
            m.key = "year";
            m.value = obj_member(root, m.key);
        }
        if (yyjson_is_null(m.value))
            found.fields |= 1u << i;
        // A text field ends at its first NUL: the value would be stored cut short.
        if (yyjson_is_str(m.value) && memchr(yyjson_get_str(m.value), 0, yyjson_get_len(m.value))) {
            yyjson_doc_free(doc);
            id3_set_error("NUL character in tag value: %s", m.key);
            return -1;
        }
    }
    // A value that cannot be copied fails the call: a write that then succeeded would silently
    // keep the file's old tag.
    bool copied = true;
    for (const member& m : members) {
        if (yyjson_is_str(m.value))
            copied = copied && id3_tags_set_str(m.field, yyjson_get_str(m.value)) == 0;
    }
    yyjson_doc_free(doc);
    if (!copied) {
        id3_set_error("oom");
        return -1;
    }
    if (removed)
        *removed = found;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Tag writing

// Builds the new head of the open file from the record and the file's old tags. 0, or -1 with a
// message.
static int build_head(const id3_file* f, const id3_tags* t, id3_change change, id3_head* head) {
    if (t->format == ID3_FMT_MP3)
        return id3_mp3_build_head(f, t, change, head);
    if (t->format == ID3_FMT_MP4)
        return id3_mp4_build_head(f, t, change, head);
    return id3_flac_build_head(f, t, change, head);
}

// Records the generic message of a failed write: running out of memory is named as such.
static void write_failed(int32_t fmt, const char* path) {
    if (errno == ENOMEM)
        id3_set_error("out of memory while writing: %s", path);
    else
        id3_set_error(fmt == ID3_FMT_MP3   ? "mp3 write failed"
                      : fmt == ID3_FMT_MP4 ? "mp4 write failed"
                                           : "flac write failed");
}

// A write that has its temporary file filled but not yet committed.
struct prepared_write {
    id3_file src;
    plat_temp temp;
};

// Everything of one write up to the commit: the file opened once, its tags loaded and merged with
// the update, the new head built and the temporary file filled. 0, or -1 with a message and
// nothing left open; ID3_WOULD_BLOCK, without a message, when open_mode does not wait and another
// writer holds the file.
static int prepare_write(const char* path, const char* tags_json, prepared_write* w,
                         int open_mode) {
    memset(w, 0, sizeof *w);
    w->src.pf.fd = -1;
    id3_tags update, current;
    id3_tags_init(&update);
    id3_tags_init(&current);
    tags_guard update_guard{&update}, current_guard{&current};

    // The JSON is checked before the file is looked at.
    id3_removals removed;
    if (id3_tags_from_json(&update, tags_json, &removed) != 0)
        return -1;

    int opened = id3_file_open_mode(&w->src, path, open_mode);
    if (opened != 0) {
        id3_file_close(&w->src);
        return opened;
    }
    int32_t fmt = id3_file_format(&w->src);
    if (fmt < 0) {
        id3_file_close(&w->src);
        return -1;
    }
    if (fmt != ID3_FMT_MP3 && fmt != ID3_FMT_FLAC && fmt != ID3_FMT_MP4) {
        id3_set_error("unsupported format for write");
        id3_file_close(&w->src);
        return -1;
    }
    // The old pictures are carried over as they stand; only an MP3 file whose tag is of another
    // version than 2.3 or 2.4 has its cover written anew from the record.
    int want_cover = fmt == ID3_FMT_MP3 && !id3_mp3_carries_pictures(&w->src);
    if (load_tags(&w->src, &current, want_cover) != 0) {
        // Writing without the file's existing tags and cover would destroy them.
        if (!load_failure_is_harmless(&w->src, &current)) {
            id3_file_close(&w->src);
            return -1;
        }
        // An "ID3" file too short for a tag holds no tags to lose: it is rewritten with the
        // given ones, and the reader's message stays readable.
        id3_tags_free(&current);
    }

    char** const update_fields[] = {&update.title, &update.artist, &update.album,
                                    &update.genre, &update.date,   &update.track};
    char** const current_fields[] = {&current.title, &current.artist, &current.album,
                                     &current.genre, &current.date,   &current.track};
    // A field given the value it reads as now is not a change: its old frames or comments stay
    // as they are (several values, texts longer than a read gives, no frame for an empty text).
    uint32_t named = 0;
    for (size_t i = 0; i < 6; i++) {
        const char* given = *update_fields[i];
        const char* had = *current_fields[i] ? *current_fields[i] : "";
        if ((removed.fields & (1u << i)) && *current_fields[i]) {
            // A removed field is named with no text: its frames or comments all go.
            free(*current_fields[i]);
            *current_fields[i] = nullptr;
            named |= 1u << i;
            continue;
        }
        if (!given || strcmp(given, had) == 0)
            continue;
        named |= 1u << i;
        if (id3_tags_set_str(current_fields[i], given) != 0) {
            id3_set_error("oom");
            id3_file_close(&w->src);
            return -1;
        }
    }
    current.format = fmt;
    if (removed.cover) {
        // No cover in the record and the old front covers replaced: they are dropped.
        free(current.cover_data);
        current.cover_data = nullptr;
        current.cover_size = 0;
    }

    // The fields the caller changed are replaced; all else of the old tags is carried over.
    id3_change change = {named, removed.cover};
    id3_head head = {};
    errno = 0;
    int rc = build_head(&w->src, &current, change, &head);
    if (rc == 0)
        rc = id3_replace_fill(&w->temp, path, &w->src, &head);
    free(head.data);
    if (rc != 0) {
        if (!id3_has_error())
            write_failed(fmt, path);
        id3_file_close(&w->src);
        return -1;
    }
    return 0;
}

int32_t id3_write(const char* path, const char* tags_json) {
    id3_clear_error();
    if (!path || !tags_json) {
        id3_set_error("NULL argument");
        return -1;
    }
    prepared_write w;
    if (prepare_write(path, tags_json, &w, ID3_OPEN_WRITE) != 0)
        return -1;
    int rc = id3_replace_commit(&w.temp, path, &w.src, false, true);
    id3_file_close(&w.src);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Cover art

int32_t id3_extract_cover(const char* path, const char* out_path) {
    id3_clear_error();
    if (!path || !out_path) {
        id3_set_error("NULL argument");
        return -1;
    }
    id3_file f;
    file_guard fguard{&f};
    if (id3_file_open(&f, path) != 0)
        return -1;
    id3_tags t;
    tags_guard guard{&t};
    if (load_tags(&f, &t, 1) != 0)
        return -1;
    if (!t.cover_data || t.cover_size == 0) {
        id3_set_error("no cover art");
        return -1;
    }
    // A FIFO or device would be waited on or written in part; the source itself would be
    // replaced by its picture.
    plat_file out;
    int kind = plat_identify(out_path, &out);
    if (kind == PLAT_NOT_REGULAR || (kind != 0 && errno == EISDIR)) {
        id3_set_error("cannot write cover: %s (not a regular file)", out_path);
        return -1;
    }
    if (kind == 0 && out.device == f.pf.device && out.inode == f.pf.inode) {
        id3_set_error("cannot write cover: %s (the output is the source file)", out_path);
        return -1;
    }
    // The picture replaces the output atomically: a failure leaves an existing one as it was.
    return id3_atomic_write(out_path, t.cover_data, t.cover_size);
}

// The MIME type of a picture file by its first bytes: PNG, GIF, WebP (a RIFF file of form
// "WEBP") and BMP; anything else is taken for JPEG. Players and ffmpeg go by the label.
static const char* picture_mime(const uint8_t* p, uint64_t n) {
    if (n >= 8 && memcmp(p, "\x89PNG", 4) == 0)
        return "image/png";
    if (n >= 6 && (memcmp(p, "GIF87a", 6) == 0 || memcmp(p, "GIF89a", 6) == 0))
        return "image/gif";
    if (n >= 12 && memcmp(p, "RIFF", 4) == 0 && memcmp(p + 8, "WEBP", 4) == 0)
        return "image/webp";
    if (n >= 14 && memcmp(p, "BM", 2) == 0) // at least its 14-byte file header
        return "image/bmp";
    return ID3_DEFAULT_MIME;
}

int32_t id3_set_cover(const char* path, const char* image_path) {
    id3_clear_error();
    if (!path || !image_path) {
        id3_set_error("NULL argument");
        return -1;
    }
    // The picture is read before the audio file is looked at.
    uint64_t pic_len = 0;
    id3_owned_bytes picture(id3_slurp(image_path, &pic_len));
    if (!picture)
        return -1;
    const char* mime = picture_mime(picture.get(), pic_len);

    id3_file f;
    file_guard fguard{&f};
    if (id3_file_open_mode(&f, path, ID3_OPEN_WRITE) != 0)
        return -1;
    id3_tags t;
    tags_guard guard{&t};
    if (load_tags(&f, &t, 1) != 0) {
        // Writing without the file's existing tags would destroy them. A file of a kind that
        // cannot take a cover goes on to be refused below.
        bool writable =
            t.format == ID3_FMT_MP3 || t.format == ID3_FMT_FLAC || t.format == ID3_FMT_MP4;
        if (writable && !load_failure_is_harmless(&f, &t))
            return -1;
        int32_t fmt = t.format;
        id3_tags_free(&t);
        t.format = fmt;
    }
    if (t.format != ID3_FMT_MP3 && t.format != ID3_FMT_FLAC && t.format != ID3_FMT_MP4) {
        id3_set_error("cover set unsupported for this format");
        return -1;
    }
    free(t.cover_data);
    t.cover_size = pic_len;
    t.cover_data = picture.release();
    snprintf(t.cover_mime, sizeof t.cover_mime, "%s", mime);
    t.has_cover = 1;

    // No field is named: only the front cover changes.
    id3_change change = {0, 1};
    id3_head head = {};
    errno = 0;
    int rc = build_head(&f, &t, change, &head);
    if (rc == 0)
        rc = id3_replace_with_head(path, &f, &head);
    free(head.data);
    if (rc != 0 && !id3_has_error())
        write_failed(t.format, path);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Batch writing
//
// The files of a batch are written in groups: each file's temporary file is filled, then each is
// committed to the disk (its own data only, not other programs'), then they are renamed one by one
// and each folder is flushed once. Every file is still either old or new after a crash at any
// point. A file that is already in the group (the same path, or another path to the same file)
// first commits the group, so that it is read with the earlier write applied, as when written in
// sequence.

// At most this many files, and this many bytes written, wait in one group.
#define BATCH_GROUP_FILES 32
#define BATCH_GROUP_BYTES (256ull << 20)

struct batch_entry {
    prepared_write w;
    const char* path;
    char message[512]; // what the write left in the error buffer after its preparation
};

struct batch_state {
    batch_entry entries[BATCH_GROUP_FILES];
    int count;
    uint64_t bytes;
    int32_t written;
    const char* last_path; // the array's last string member
    bool last_done;
    char last_message[512]; // that member's outcome, once known
};

// Keeps the outcome of the array's last string member, which the call leaves behind.
static void batch_outcome(batch_state* b, bool is_last) {
    if (is_last) {
        snprintf(b->last_message, sizeof b->last_message, "%s", id3_last_error());
        b->last_done = true;
    }
}

// Commits the group: one flush per volume, the renames, one flush per folder.
static void batch_commit(batch_state* b) {
    bool failed[BATCH_GROUP_FILES] = {false};
    char flush_error[BATCH_GROUP_FILES][128];
    for (int i = 0; i < b->count; i++) {
        if (plat_temp_sync(&b->entries[i].w.temp) != 0) {
            failed[i] = true;
            snprintf(flush_error[i], sizeof flush_error[i], "%s", strerror(errno));
        }
    }
    // The renames, in order; each folder is flushed once after them.
    int rc[BATCH_GROUP_FILES];
    char message[BATCH_GROUP_FILES][512];
    for (int i = 0; i < b->count; i++) {
        batch_entry* e = &b->entries[i];
        id3_clear_error();
        if (failed[i]) {
            plat_temp_discard(&e->w.temp);
            id3_set_error("disk flush failed: %s", flush_error[i]);
            rc[i] = -1;
        } else {
            rc[i] = id3_replace_commit(&e->w.temp, e->path, &e->w.src, true, false);
        }
        id3_file_close(&e->w.src);
        snprintf(message[i], sizeof message[i], "%s", id3_last_error());
    }
    bool renamed[BATCH_GROUP_FILES];
    for (int i = 0; i < b->count; i++)
        renamed[i] = rc[i] == 0;
    for (int i = 0; i < b->count; i++) {
        if (!renamed[i])
            continue;
        const char* folder = b->entries[i].w.temp.folder;
        // A folder already flushed for an earlier file of the group shares that outcome.
        int earlier = -1;
        for (int j = 0; j < i && earlier < 0; j++) {
            if (renamed[j] && strcmp(b->entries[j].w.temp.folder, folder) == 0)
                earlier = j;
        }
        if (earlier >= 0) {
            rc[i] = rc[earlier];
            snprintf(message[i], sizeof message[i], "%s", message[earlier]);
            continue;
        }
        id3_clear_error();
        rc[i] = id3_replace_flush_folder(&b->entries[i].w.temp);
        snprintf(message[i], sizeof message[i], "%s", id3_last_error());
    }
    for (int i = 0; i < b->count; i++) {
        batch_entry* e = &b->entries[i];
        plat_temp_release(&e->w.temp);
        if (rc[i] == 0) {
            b->written++;
            // A success keeps what its preparation left (the message of a harmless failed load).
            snprintf(g_err, sizeof g_err, "%s", e->message);
        } else {
            snprintf(g_err, sizeof g_err, "%s", message[i]);
        }
        batch_outcome(b, e->path == b->last_path);
    }
    b->count = 0;
    b->bytes = 0;
}

// Whether the file at path is one that the group already writes.
static bool batch_holds(const batch_state* b, const id3_file* f) {
    for (int i = 0; i < b->count; i++) {
        const plat_file* other = &b->entries[i].w.src.pf;
        if (other->device == f->pf.device && other->inode == f->pf.inode)
            return true;
    }
    return false;
}

static void batch_add(batch_state* b, const char* path, size_t path_len, const char* tags_json) {
    id3_clear_error();
    bool is_last = path == b->last_path;
    // Cut at its NUL, the path would name another file.
    if (memchr(path, 0, path_len)) {
        id3_set_error("NUL character in path");
        batch_outcome(b, is_last);
        return;
    }
    // A file already in the group is written after the group, as in sequence.
    id3_file probe;
    if (plat_open_read(path, &probe.pf) == 0) {
        bool clash = batch_holds(b, &probe);
        plat_close(&probe.pf);
        if (clash)
            batch_commit(b);
        id3_clear_error();
    }
    batch_entry* e = &b->entries[b->count];
    // While the group holds other files, another writer's file is not waited for (two batches
    // waiting for each other's files would wait for ever), and a group that cannot grow (a full
    // disk, no descriptors left) commits what it has: the file is then tried again alone, as it
    // would be when written in turn.
    bool added = b->count > 0 && prepare_write(path, tags_json, &e->w, ID3_OPEN_WRITE_NOWAIT) == 0;
    if (!added) {
        if (b->count > 0)
            batch_commit(b);
        id3_clear_error();
        e = &b->entries[0];
        if (prepare_write(path, tags_json, &e->w, ID3_OPEN_WRITE) != 0) {
            batch_outcome(b, is_last);
            return;
        }
    }
    e->path = path;
    snprintf(e->message, sizeof e->message, "%s", id3_last_error());
    b->bytes += e->w.src.size;
    b->count++;
    if (b->count == BATCH_GROUP_FILES || b->bytes >= BATCH_GROUP_BYTES)
        batch_commit(b);
}

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
    // The state is large (a message per waiting file); it lives on the heap.
    batch_state* b = (batch_state*)calloc(1, sizeof *b);
    if (!b) {
        yyjson_doc_free(doc);
        id3_set_error("oom");
        return -1;
    }
    yyjson_arr_iter iter;
    yyjson_val* item;
    yyjson_arr_iter_init(root, &iter);
    while ((item = yyjson_arr_iter_next(&iter))) {
        if (yyjson_is_str(item))
            b->last_path = yyjson_get_str(item);
    }
    // Every string member is tried; others are skipped without a message. What remains in the
    // error buffer is the last write's outcome, as if each file had been written in turn.
    yyjson_arr_iter_init(root, &iter);
    while ((item = yyjson_arr_iter_next(&iter))) {
        if (yyjson_is_str(item))
            batch_add(b, yyjson_get_str(item), yyjson_get_len(item), tags_json);
    }
    batch_commit(b);
    int32_t written = b->written;
    if (b->last_done)
        snprintf(g_err, sizeof g_err, "%s", b->last_message);
    else
        id3_clear_error();
    free(b);
    yyjson_doc_free(doc);
    return written;
}
