// Reading one file: its tags as the JSON object id3_read gives, every property and picture as
// id3_read_all gives them, and its front cover out to a picture file.
#include "dispatch.h"
#include "json_form.h"
#include "model.h"
#include "operations.h"

// The two reads of an opened file (or of an image standing in for one).
static char* tags_json_of(id3_file* f) {
    id3_record t;
    id3_record_guard guard{&t};
    // The JSON reports a cover without its bytes.
    if (id3_load_tags(f, &t, ID3_COVER_NONE, nullptr) != 0)
        return nullptr;
    return id3_record_to_json(&t);
}

static char* props_json_of(id3_file* f) {
    id3_property_map p;
    memset(&p, 0, sizeof p);
    id3_property_map_guard guard{&p};
    if (id3_load_props(f, &p) != 0)
        return nullptr;
    return id3_property_map_to_json(&p);
}

char* id3_read_json(const char* path) {
    id3_file f;
    id3_file_guard fguard{&f};
    return id3_file_open(&f, path) == 0 ? tags_json_of(&f) : nullptr;
}

char* id3_read_all_json(const char* path) {
    id3_file f;
    id3_file_guard fguard{&f};
    return id3_file_open(&f, path) == 0 ? props_json_of(&f) : nullptr;
}

// Writes the front cover's bytes out, or fails with "no cover art" when there are none.
static int write_cover(const char* out_path, const id3_file* f, const uint8_t* data,
                       uint64_t size) {
    if (!data || size == 0) {
        id3_set_error("no cover art");
        return -1;
    }
    return id3_write_cover_file(out_path, f, data, size);
}

// The same two reads over a file image in memory: the bytes the caller holds stand in for the
// file, and every read of the formats is served from them.
char* id3_read_image_json(const uint8_t* data, uint64_t len) {
    id3_file f;
    id3_file_from_image(&f, data, len);
    id3_file_guard fguard{&f};
    return tags_json_of(&f);
}

char* id3_read_all_image_json(const uint8_t* data, uint64_t len) {
    id3_file f;
    id3_file_from_image(&f, data, len);
    id3_file_guard fguard{&f};
    return props_json_of(&f);
}

int id3_extract_front_cover(const char* path, const char* out_path) {
    id3_file f;
    id3_file_guard fguard{&f};
    if (id3_file_open(&f, path) != 0)
        return -1;
    if (id3_file_format(&f) == ID3_FMT_MP4) {
        // The picture is written from the load's copy of the item list.
        id3_model m = {};
        id3_model_guard model_guard{&m};
        const uint8_t* data = nullptr;
        uint64_t size = 0;
        if (id3_mp4_load_cover(&f, &m, &data, &size) != 0)
            return -1;
        return write_cover(out_path, &f, data, size);
    }
    id3_record t;
    id3_record_guard guard{&t};
    // The picture is written from the tag's bytes where it stands in them as stored.
    id3_old_tag held;
    memset(&held, 0, sizeof held);
    id3_old_tag_guard held_guard{&held};
    id3_model model = {};
    id3_model_guard model_guard{&model};
    if (id3_load_tags(&f, &t, ID3_COVER_IN_TAG, &held, &model) != 0)
        return -1;
    // A FLAC or Ogg file's picture lies in the load.
    const id3_item* cover = id3_model_cover(&model);
    const uint8_t* data = cover ? cover->data : held.cover ? held.cover : t.cover_data;
    uint64_t size = cover ? cover->data_len : held.cover ? held.cover_len : t.cover_size;
    return write_cover(out_path, &f, data, size);
}
