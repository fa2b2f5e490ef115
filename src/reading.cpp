// Reading one file: its tags as the JSON object id3_read gives, every property and picture as
// id3_read_all gives them, and its front cover out to a picture file.
#include "dispatch.h"
#include "json_form.h"
#include "operations.h"

char* id3_read_json(const char* path) {
    id3_file f;
    id3_file_guard fguard{&f};
    if (id3_file_open(&f, path) != 0)
        return nullptr;
    id3_tags t;
    id3_tags_guard guard{&t};
    // The JSON reports a cover without its bytes.
    if (id3_load_tags(&f, &t, ID3_COVER_NONE, nullptr) != 0)
        return nullptr;
    return id3_tags_to_json(&t);
}

char* id3_read_all_json(const char* path) {
    id3_file f;
    id3_file_guard fguard{&f};
    if (id3_file_open(&f, path) != 0)
        return nullptr;
    id3_props p;
    memset(&p, 0, sizeof p);
    id3_props_guard guard{&p};
    if (id3_load_props(&f, &p) != 0)
        return nullptr;
    return id3_props_to_json(&p);
}

// The same two reads over a file image in memory: the bytes the caller holds stand in for the
// file, and every read of the formats is served from them.
char* id3_read_image_json(const uint8_t* data, uint64_t len) {
    id3_file f;
    id3_file_from_image(&f, data, len);
    id3_file_guard fguard{&f};
    id3_tags t;
    id3_tags_guard guard{&t};
    if (id3_load_tags(&f, &t, ID3_COVER_NONE, nullptr) != 0)
        return nullptr;
    return id3_tags_to_json(&t);
}

char* id3_read_all_image_json(const uint8_t* data, uint64_t len) {
    id3_file f;
    id3_file_from_image(&f, data, len);
    id3_file_guard fguard{&f};
    id3_props p;
    memset(&p, 0, sizeof p);
    id3_props_guard guard{&p};
    if (id3_load_props(&f, &p) != 0)
        return nullptr;
    return id3_props_to_json(&p);
}

int id3_extract_front_cover(const char* path, const char* out_path) {
    id3_file f;
    id3_file_guard fguard{&f};
    if (id3_file_open(&f, path) != 0)
        return -1;
    id3_tags t;
    id3_tags_guard guard{&t};
    // The picture is written from the tag's bytes where it stands in them as stored.
    id3_old_tag held;
    memset(&held, 0, sizeof held);
    id3_old_tag_guard held_guard{&held};
    if (id3_load_tags(&f, &t, ID3_COVER_IN_TAG, &held) != 0)
        return -1;
    const uint8_t* data = held.cover ? held.cover : t.cover_data;
    uint64_t size = held.cover ? held.cover_len : t.cover_size;
    if (!data || size == 0) {
        id3_set_error("no cover art");
        return -1;
    }
    return id3_write_cover_file(out_path, &f, data, size);
}
