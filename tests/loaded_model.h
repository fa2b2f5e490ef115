// The one load of a file image into the model by its container's loader, for the tests that look
// at what the load holds.
#ifndef QID3_LOADED_MODEL_H
#define QID3_LOADED_MODEL_H

#include "id3_internal.h"
#include "test_util.h"

// The model of one image (FLAC, or Ogg Vorbis or Opus), released at the end of the test.
struct LoadedModel {
    id3_model m = {};
    int rc;
    LoadedModel(int32_t format, const Bytes& image) {
        id3_file f;
        id3_file_from_image(&f, image.data(), image.size());
        rc = format == ID3_FMT_FLAC ? id3_flac_load_model(&f, &m) : id3_ogg_load_model(&f, &m);
    }
    ~LoadedModel() { id3_model_free(&m); }
    LoadedModel(const LoadedModel&) = delete;
    LoadedModel& operator=(const LoadedModel&) = delete;
    // The bytes of item i's span as loaded.
    Bytes raw(uint64_t i) const {
        return Bytes(m.items[i].raw, m.items[i].raw + m.items[i].raw_len);
    }
};

// The record and the property map folded from a loaded model, released at the end of the test.
struct Folds {
    id3_record t;
    id3_property_map p = {};
    int rc;
    explicit Folds(const id3_model& m) {
        id3_record_init(&t);
        rc = id3_model_record(&m, &t) != 0 || id3_model_props(&m, &p) != 0 ? -1 : 0;
    }
    ~Folds() {
        id3_record_free(&t);
        id3_property_map_free(&p);
    }
    Folds(const Folds&) = delete;
    Folds& operator=(const Folds&) = delete;
};

#endif
