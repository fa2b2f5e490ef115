// The tag object parser on any text. Whatever the text, parsing either fails with one of its
// messages and leaves the record as it was and no property, or sets only the six text fields and
// the properties, each key once; a record rendered as JSON and parsed again gives back the same
// texts.
#include "fuzz_common.h"

#include <string>

static bool same_field(const char* a, const char* b) {
    if (!a || !b)
        return a == b;
    return strcmp(a, b) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    // A record with a cover and a text the object may or may not replace.
    static uint8_t picture[3] = {1, 2, 3};
    id3_record t;
    id3_record_init(&t);
    id3_record_set_str(&t.album, "kept album");
    t.cover_data = (uint8_t*)malloc(sizeof picture);
    fuzz_require(t.cover_data != nullptr, "fixture allocation");
    memcpy(t.cover_data, picture, sizeof picture);
    t.cover_size = sizeof picture;
    t.has_cover = 1;
    t.format = ID3_FMT_FLAC;
    snprintf(t.cover_mime, sizeof t.cover_mime, "image/png");

    id3_clear_error();
    id3_prop_edits props = {};
    int32_t rc = id3_record_from_json(&t, text.c_str(), nullptr, &props);
    fuzz_require(rc == 0 || rc == -1, "result is 0 or -1");
    if (rc != 0) {
        std::string msg = id3_last_error();
        fuzz_require(msg == "invalid tags JSON" || msg == "tags JSON must be object" ||
                         msg == "properties must be an object" ||
                         msg.rfind("NUL character in tag value: ", 0) == 0 ||
                         msg.rfind("property values must be a list of strings: ", 0) == 0 ||
                         msg.rfind("invalid property key: ", 0) == 0 ||
                         msg.rfind("property named twice: ", 0) == 0 ||
                         msg.rfind("pictures are not properties: ", 0) == 0,
                     "failure message");
        fuzz_require(props.count == 0 && !props.items, "a failed parse keeps no property");
        fuzz_require(!t.title && !t.artist && !t.genre && !t.date && !t.track &&
                         strcmp(t.album, "kept album") == 0,
                     "a failed parse leaves the record alone");
    } else {
        fuzz_require(!id3_has_error(), "a successful parse records nothing");
    }
    fuzz_require(t.cover_size == sizeof picture && memcmp(t.cover_data, picture, 3) == 0 &&
                     t.has_cover == 1 && t.format == ID3_FMT_FLAC &&
                     strcmp(t.cover_mime, "image/png") == 0,
                 "cover and format are never touched");
    fuzz_check_record(&t);
    // Each property named once (ASCII case aside), upper-case, without control characters or '=',
    // each value free of U+0000.
    for (uint64_t i = 0; i < props.count; i++) {
        const id3_prop_edit& edit = props.items[i];
        size_t key_len = strlen(edit.key);
        fuzz_require(key_len > 0, "a key is not empty");
        for (size_t c = 0; c < key_len; c++) {
            unsigned char k = (unsigned char)edit.key[c];
            fuzz_require(k >= 0x20 && k != 0x7F && k != '=' && !(k >= 'a' && k <= 'z'),
                         "a key has no control character, '=' or lower-case ASCII letter");
        }
        fuzz_require(id3_prop_edits_find(&props, edit.key, key_len) == &edit,
                     "a key is named once");
        for (uint64_t v = 0; v < edit.count; v++)
            fuzz_require(edit.values[v] != nullptr, "every value is stored");
    }
    id3_prop_edits_free(&props);

    // Rendered and parsed again, every text comes back; an absent text comes back empty.
    char* json = id3_record_to_json(&t);
    fuzz_require(json != nullptr, "rendering succeeds");
    id3_record back;
    id3_record_init(&back);
    fuzz_require(id3_record_from_json(&back, json) == 0, "the rendered text parses again");
    char* const* fields[] = {&t.title, &t.artist, &t.album, &t.genre, &t.date, &t.track};
    char* const* back_fields[] = {&back.title, &back.artist, &back.album,
                                  &back.genre, &back.date,   &back.track};
    for (size_t i = 0; i < 6; i++) {
        const char* want = *fields[i] ? *fields[i] : "";
        fuzz_require(same_field(*back_fields[i], want), "text round trip through JSON");
    }
    id3_record_free(&back);
    free(json);
    id3_record_free(&t);
    return 0;
}
