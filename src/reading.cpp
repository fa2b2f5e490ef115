// Reading one file: its tags as the JSON object id3_read gives, every property and picture as
// id3_read_all gives them, and its front cover out to a picture file.
#include "dispatch.h"
#include "json_form.h"
#include "model.h"
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

// Writes the front cover's bytes out, or fails with "no cover art" when there are none.
static int write_cover(const char* out_path, const id3_file* f, const uint8_t* data,
                       uint64_t size) {
    if (!data || size == 0) {
        id3_set_error("no cover art");
        return -1;
    }
    return id3_write_cover_file(out_path, f, data, size);
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
    id3_tags t;
    id3_tags_guard guard{&t};
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
