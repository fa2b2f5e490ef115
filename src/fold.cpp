// The folds over a loaded model: the record of six fields and its cover, and the property map.
// Where several items give one field, the one that ranks first (the lowest rank; the earliest of
// equal ranks) gives it: the loader sets the ranks, e.g. the last of repeated Vorbis comments
// first.
#include "model.h"

#include <string.h>

// The item of kind `kind` (with `also`, of that kind too) that ranks first; `key`, when given,
// must be its key. NULL when there is none.
static const id3_item* first_ranked(const id3_model* m, int kind, int also, const char* key) {
    const id3_item* best = nullptr;
    uint64_t key_len = key ? strlen(key) : 0;
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        if (item->kind != kind && item->kind != also)
            continue;
        if (key && (!item->key || item->key_len != key_len ||
                    memcmp(item->key, key, key_len) != 0 || item->value_count == 0))
            continue;
        if (!best || item->rank < best->rank)
            best = item;
    }
    return best;
}

const id3_item* id3_model_cover(const id3_model* m) {
    const id3_item* best = first_ranked(m, ID3_ITEM_PICTURE, ID3_ITEM_BAD_PICTURE, nullptr);
    return best && best->kind == ID3_ITEM_PICTURE ? best : nullptr;
}

int id3_model_record(const id3_model* m, id3_tags* t) {
    t->format = m->format;
    char** const fields[ID3_FIELD_COUNT] = {&t->title, &t->artist, &t->album,
                                            &t->genre, &t->date,   &t->track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        const id3_item* item = first_ranked(m, ID3_ITEM_TEXT, ID3_ITEM_TEXT, id3_field_keys[i]);
        if (item && id3_tags_store_text(fields[i], item->values[0], item->value_lens[0]) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    // The picture's bytes stay in the model: the record notes the cover and its type.
    const id3_item* cover = id3_model_cover(m);
    if (cover && cover->cover_mime)
        id3_tags_store_cover(t, nullptr, 0, cover->cover_mime, cover->cover_mime_len, 0);
    else if (cover)
        id3_tags_store_cover(t, nullptr, 0, cover->mime, strlen(cover->mime), 0);
    return 0;
}

int id3_model_props(const id3_model* m, id3_props* p) {
    p->format = m->format;
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        int rc = 0;
        for (uint64_t v = 0;
             item->kind == ID3_ITEM_TEXT && item->key && v < item->value_count && rc == 0; v++)
            rc = id3_props_add(p, item->key, item->key_len, false, item->values[v],
                               item->value_lens[v]);
        if (item->kind == ID3_ITEM_PICTURE) {
            const char* description = item->description ? item->description : "";
            rc = id3_props_add_picture(p, item->picture_type, item->mime, strlen(item->mime),
                                       description, strlen(description), item->data_len);
        }
        if (rc != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return 0;
}

int id3_model_copy_cover(const id3_model* m, id3_tags* t) {
    const id3_item* cover = id3_model_cover(m);
    if (!cover)
        return 0;
    if (cover->cover_mime)
        return id3_tags_store_cover(t, cover->data, cover->data_len, cover->cover_mime,
                                    cover->cover_mime_len, 1);
    return id3_tags_store_cover(t, cover->data, cover->data_len, cover->mime, strlen(cover->mime),
                                1);
}
