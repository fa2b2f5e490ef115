// The folds over a loaded model: the property map and the record of six fields. They know no
// container; what one container ranks above another item (an ID3v2 frame above the ID3v1 field,
// TDRC above TYER) the loader says through id3_item::rank, and the rules below read it:
//
//   property map  every item with a key gives its values under it, in the items' order, unless
//                 an item of the same key with a lower rank gives values (a later tag only fills
//                 the keys the first left out); every picture item is listed.
//   record field  the text item of the field's key with the lowest rank gives its first value;
//                 of several with that rank, the last in the items' order (a repeated frame or
//                 comment overrides the earlier one). When that value is empty, the item of a
//                 higher rank that has text fills it, chosen by the same rule.
//   cover         the picture item of the lowest rank, the last of several; its bytes are not
//                 copied: the record notes them where the model holds them (cover_seen). A
//                 picture whose fields cannot be read (ID3_ITEM_BAD_PICTURE) ranks too: when it
//                 is chosen there is no cover. The record takes the picture's cover_mime where
//                 it has one.
#include "model.h"

#include <string.h>

#include <algorithm>

static bool has_text(const id3_item* item) {
    return item->kind == ID3_ITEM_TEXT && item->key && item->value_count > 0;
}

// Whether the text item's key is `key` (its key_len bytes: a Vorbis comment's name may hold a NUL).
static bool key_is(const id3_item* item, const char* key) {
    size_t n = strlen(key);
    uint64_t len = item->key_len ? item->key_len : strlen(item->key);
    return len == n && memcmp(item->key, key, n) == 0;
}

// Whether item a is chosen over item b, which comes earlier in the items' order.
static bool ranks_over(const id3_item* a, const id3_item* b) {
    return a->rank <= b->rank;
}

// The item that gives a record field of key: by rank, the last of equal ones, passing over items
// whose first value is empty while one of a higher rank has text. NULL when no item has the key.
static const id3_item* field_item(const id3_model* m, const char* key) {
    const id3_item* best = nullptr;
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        if (has_text(item) && key_is(item, key) && (!best || ranks_over(item, best)))
            best = item;
    }
    if (!best || best->value_lens[0] > 0)
        return best;
    const id3_item* filler = nullptr;
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        if (has_text(item) && item->rank > best->rank && item->value_lens[0] > 0 &&
            key_is(item, key) && (!filler || ranks_over(item, filler)))
            filler = item;
    }
    return filler ? filler : best;
}

int id3_model_record(const id3_model* m, id3_record* t) {
    t->format = m->format;
    char** const fields[ID3_FIELD_COUNT] = {&t->title, &t->artist, &t->album,
                                            &t->genre, &t->date,   &t->track};
    for (int f = 0; f < ID3_FIELD_COUNT; f++) {
        const id3_item* item = field_item(m, id3_field_keys[f]);
        if (item && id3_record_store_text(fields[f], item->values[0], item->value_lens[0]) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    const id3_item* cover = id3_model_cover(m);
    if (cover && cover->cover_mime)
        id3_record_store_cover(t, cover->data, cover->data_len, cover->cover_mime,
                               cover->cover_mime_len, 0);
    else if (cover)
        id3_record_store_cover(t, cover->data, cover->data_len, cover->mime, strlen(cover->mime),
                               0);
    return 0;
}

const id3_item* id3_model_cover(const id3_model* m) {
    const id3_item* cover = nullptr;
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        if ((item->kind == ID3_ITEM_PICTURE || item->kind == ID3_ITEM_BAD_PICTURE) &&
            (!cover || ranks_over(item, cover)))
            cover = item;
    }
    return cover && cover->kind == ID3_ITEM_PICTURE ? cover : nullptr;
}

int id3_model_copy_cover(const id3_model* m, id3_record* t) {
    const id3_item* cover = id3_model_cover(m);
    if (!cover)
        return 0;
    if (cover->cover_mime)
        return id3_record_store_cover(t, cover->data, cover->data_len, cover->cover_mime,
                                      cover->cover_mime_len, 1);
    return id3_record_store_cover(t, cover->data, cover->data_len, cover->mime, strlen(cover->mime),
                                  1);
}

int id3_model_props(const id3_model* m, id3_property_map* p) {
    p->format = m->format;
    // The lowest rank that gives values of each key: each item's key group is found once through
    // a copy of the positions sorted by key, so that many items cost n log n, not n squared.
    uint64_t n = 0;
    for (uint64_t i = 0; i < m->item_count; i++)
        n += has_text(&m->items[i]);
    if (m->item_count > SIZE_MAX / sizeof(uint64_t)) {
        id3_set_error("oom");
        return -1;
    }
    std::unique_ptr<uint64_t, id3_free_deleter> order(
        (uint64_t*)malloc(n ? (size_t)(n * sizeof(uint64_t)) : 1));
    std::unique_ptr<int, id3_free_deleter> best_rank(
        (int*)malloc(m->item_count ? (size_t)(m->item_count * sizeof(int)) : 1));
    if (!order || !best_rank) {
        id3_set_error("oom");
        return -1;
    }
    uint64_t k = 0;
    for (uint64_t i = 0; i < m->item_count; i++) {
        if (has_text(&m->items[i]))
            order.get()[k++] = i;
    }
    const id3_item* items = m->items;
    std::sort(order.get(), order.get() + n, [items](uint64_t a, uint64_t b) {
        int c = strcmp(items[a].key, items[b].key);
        return c != 0 ? c < 0 : items[a].rank < items[b].rank;
    });
    for (uint64_t g = 0; g < n;) {
        uint64_t end = g + 1;
        int lowest = m->items[order.get()[g]].rank;
        while (end < n && strcmp(m->items[order.get()[end]].key, m->items[order.get()[g]].key) == 0)
            end++;
        for (uint64_t j = g; j < end; j++)
            best_rank.get()[order.get()[j]] = lowest;
        g = end;
    }
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        int rc = 0;
        if (item->kind == ID3_ITEM_PICTURE) {
            const char* desc = item->description ? item->description : "";
            rc = id3_property_map_add_picture(p, item->picture_type, item->mime, strlen(item->mime),
                                              desc, strlen(desc), item->data_len);
        } else if (has_text(item) && item->rank == best_rank.get()[i]) {
            for (uint64_t v = 0; v < item->value_count && rc == 0; v++)
                rc = id3_property_map_add(p, item->key, strlen(item->key), false, item->values[v],
                                          item->value_lens[v]);
        }
        if (rc != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return 0;
}
