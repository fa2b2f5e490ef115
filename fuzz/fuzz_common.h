// Checks shared by the fuzz targets. A broken expectation prints what failed and aborts, which
// libFuzzer reports as a crash together with the input that caused it.
#ifndef QID3_FUZZ_COMMON_H
#define QID3_FUZZ_COMMON_H

#include "id3_internal.h"
#include "quorvale_id3tag.h"

#include <yyjson.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static inline void fuzz_require(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz check failed: %s (last error: \"%s\")\n", what, id3_last_error());
        abort();
    }
}

// The string member `key` of a parsed object; the length goes to *len. NULL when missing or not a
// string.
static inline const char* fuzz_json_str(yyjson_val* obj, const char* key, size_t* len) {
    yyjson_val* v = yyjson_obj_get(obj, key);
    if (!yyjson_is_str(v))
        return nullptr;
    *len = yyjson_get_len(v);
    return yyjson_get_str(v);
}

static inline bool fuzz_same_text(yyjson_val* obj, const char* key, const char* field) {
    size_t len = 0;
    const char* got = fuzz_json_str(obj, key, &len);
    const char* want = field ? field : "";
    return got && len == strlen(want) && memcmp(got, want, len) == 0;
}

// The record a container reader left behind must be well formed: texts terminated inside their
// blocks, cover bytes really allocated, the MIME text terminated inside its field. The sanitizers
// catch an out-of-bounds read here.
static inline void fuzz_check_record(const id3_record* t) {
    char* const texts[] = {t->title, t->artist, t->album, t->genre, t->date, t->track};
    volatile size_t sink = 0;
    for (char* text : texts) {
        if (text)
            sink = sink + strlen(text);
    }
    if (t->cover_size > 0) {
        fuzz_require(t->cover_data != nullptr, "cover bytes counted but not stored");
        sink = sink + t->cover_data[0] + t->cover_data[t->cover_size - 1];
    }
    fuzz_require(memchr(t->cover_mime, 0, sizeof t->cover_mime) != nullptr,
                 "cover_mime not terminated");
    fuzz_require(t->has_cover == 0 || t->has_cover == 1, "has_cover is 0 or 1");
    fuzz_require(!t->cover_data || t->has_cover == 1, "stored cover without has_cover");
}

// The JSON text of a record must be one object that gives back exactly the record's values.
static inline void fuzz_check_json_of(const id3_record* t) {
    char* json = id3_record_to_json(t);
    fuzz_require(json != nullptr, "rendering a record gives a text");
    yyjson_doc* doc = yyjson_read(json, strlen(json), YYJSON_READ_ALLOW_INVALID_UNICODE);
    fuzz_require(doc != nullptr, "rendered text parses as JSON");
    yyjson_val* root = yyjson_doc_get_root(doc);
    fuzz_require(yyjson_is_obj(root), "rendered root is an object");
    fuzz_require(fuzz_same_text(root, "title", t->title), "title round trip");
    fuzz_require(fuzz_same_text(root, "artist", t->artist), "artist round trip");
    fuzz_require(fuzz_same_text(root, "album", t->album), "album round trip");
    fuzz_require(fuzz_same_text(root, "genre", t->genre), "genre round trip");
    fuzz_require(fuzz_same_text(root, "date", t->date), "date round trip");
    fuzz_require(fuzz_same_text(root, "track", t->track), "track round trip");
    yyjson_val* has_cover = yyjson_obj_get(root, "has_cover");
    fuzz_require(yyjson_is_bool(has_cover) &&
                     yyjson_get_bool(has_cover) == (t->has_cover != 0 || t->cover_size != 0),
                 "has_cover member");
    if (t->cover_mime[0])
        fuzz_require(fuzz_same_text(root, "cover_mime", t->cover_mime), "cover_mime member");
    else
        fuzz_require(yyjson_obj_get(root, "cover_mime") == nullptr, "no cover_mime member");
    yyjson_doc_free(doc);
    free(json);
}

// Runs one container reader the way the reading path does and checks its outcome.
static inline void fuzz_check_reader_result(int rc, const id3_record* t, int32_t format) {
    fuzz_require(rc == 0 || rc == -1, "reader result is 0 or -1");
    fuzz_require(t->format == format, "reader sets its format code");
    if (rc != 0) {
        fuzz_require(id3_has_error(), "a failing reader records a message");
        fuzz_require(!t->title && !t->artist && !t->album && !t->genre && !t->date && !t->track &&
                         !t->cover_data && t->cover_size == 0 && t->has_cover == 0,
                     "a failing reader stores nothing");
        return;
    }
    fuzz_require(!id3_has_error(), "a succeeding reader records nothing");
    fuzz_check_record(t);
    fuzz_check_json_of(t);
}

// The property reader of `format` over the same image as the record's reader, whose result was
// record_rc with the record t and the message `record_error`. It fails wherever the record's
// reader fails, with the same message (it looks at every atom the record's reader looks at, and
// more); a record with a cover means at least one picture. Its JSON text must parse, with every
// key's values an array of strings and every picture's size at most the image's.
static inline void fuzz_check_props(const uint8_t* data, size_t size, int32_t format, int record_rc,
                                    const id3_record* t, const char* record_error) {
    id3_file f;
    id3_file_from_image(&f, data, size);
    id3_property_map p;
    memset(&p, 0, sizeof p);
    // The Ogg reader, as the dispatch calls it, finds the code set and changes it only where it
    // finds the codec; the other readers set theirs.
    if (format == ID3_FMT_OGG || format == ID3_FMT_OPUS)
        p.format = ID3_FMT_OGG;
    id3_clear_error();
    int rc = format == ID3_FMT_MP3                             ? id3_mp3_load_props(&f, &p)
             : format == ID3_FMT_FLAC                          ? id3_flac_load_props(&f, &p)
             : format == ID3_FMT_OGG || format == ID3_FMT_OPUS ? id3_ogg_load_props(&f, &p)
                                                               : id3_mp4_load_props(&f, &p);
    fuzz_require(rc == 0 || rc == -1, "property reader result is 0 or -1");
    fuzz_require(p.format == format, "property reader sets its format code");
    if (record_rc != 0) {
        fuzz_require(rc != 0, "the property reader fails where the record's reader fails");
        fuzz_require(strcmp(id3_last_error(), record_error) == 0, "the same message");
    }
    if (rc != 0) {
        fuzz_require(id3_has_error(), "a failing property reader records a message");
        fuzz_require(p.count == 0 && p.picture_count == 0,
                     "a failing property reader keeps nothing");
        id3_property_map_free(&p);
        return;
    }
    fuzz_require(!id3_has_error(), "a succeeding property reader records nothing");
    if (t->has_cover)
        fuzz_require(p.picture_count >= 1, "a cover is a picture");
    char* json = id3_property_map_to_json(&p);
    fuzz_require(json != nullptr, "rendering a property map gives a text");
    yyjson_doc* doc = yyjson_read(json, strlen(json), YYJSON_READ_ALLOW_INVALID_UNICODE);
    fuzz_require(doc != nullptr, "rendered properties parse as JSON");
    yyjson_val* root = yyjson_doc_get_root(doc);
    yyjson_val* props = yyjson_obj_get(root, "properties");
    fuzz_require(yyjson_is_obj(props), "properties is an object");
    size_t values = 0, i, n, j, m;
    yyjson_val *key, *list, *value, *pic;
    yyjson_obj_foreach(props, i, n, key, list) {
        fuzz_require(yyjson_is_arr(list) && yyjson_arr_size(list) > 0, "each key has values");
        yyjson_arr_foreach(list, j, m, value) {
            fuzz_require(yyjson_is_str(value), "each value is a string");
            values++;
        }
    }
    fuzz_require(values == p.count, "every value is in the text once");
    yyjson_val* pictures = yyjson_obj_get(root, "pictures");
    fuzz_require(yyjson_arr_size(pictures) == p.picture_count, "every picture is in the text");
    yyjson_arr_foreach(pictures, i, n, pic) {
        fuzz_require(yyjson_get_uint(yyjson_obj_get(pic, "size")) <= size,
                     "picture within the file");
    }
    yyjson_doc_free(doc);
    free(json);
    id3_property_map_free(&p);
}

#endif
