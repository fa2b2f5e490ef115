// The loaded model of a file: its storage. The loaders live with their containers.
#include "model.h"

static void item_free(id3_item* item) {
    free(item->qualifier);
    free(item->key);
    for (uint64_t i = 0; i < item->value_count; i++)
        free(item->values[i]);
    free(item->values);
    free(item->value_lens);
    free(item->description);
}

void id3_model_free(id3_model* m) {
    for (uint64_t i = 0; i < m->item_count; i++)
        item_free(&m->items[i]);
    free(m->items);
    free(m->regions);
    for (uint64_t i = 0; i < m->block_count; i++)
        free(m->blocks[i]);
    free(m->blocks);
    memset(m, 0, sizeof *m);
}

int id3_model_add_region(id3_model* m, int kind, uint64_t off, uint64_t len, uint32_t type) {
    if (id3_grow_for_one((void**)&m->regions, m->region_count, &m->region_cap,
                         sizeof *m->regions) != 0)
        return -1;
    m->regions[m->region_count++] = id3_region{kind, off, len, type};
    return 0;
}

id3_item* id3_model_add_item(id3_model* m) {
    if (id3_grow_for_one((void**)&m->items, m->item_count, &m->item_cap, sizeof *m->items) != 0)
        return nullptr;
    id3_item* item = &m->items[m->item_count++];
    memset(item, 0, sizeof *item);
    return item;
}

int id3_item_add_value(id3_item* item, const char* text, uint64_t n) {
    char* copy = nullptr;
    if (id3_record_store_text(&copy, text, n) != 0)
        return -1;
    // Both arrays grow to the same count; the capacity is the count rounded up to a power of two.
    uint64_t count = item->value_count;
    bool full = count == 0 || (count & (count - 1)) == 0;
    if (full) {
        uint64_t want = count ? count * 2 : 1;
        char** values = (char**)realloc(item->values, (size_t)(want * sizeof *values));
        if (values)
            item->values = values;
        uint64_t* lens =
            values ? (uint64_t*)realloc(item->value_lens, (size_t)(want * sizeof *lens)) : nullptr;
        if (lens)
            item->value_lens = lens;
        if (!values || !lens) {
            free(copy);
            return -1;
        }
    }
    item->values[count] = copy;
    item->value_lens[count] = n;
    item->value_count = count + 1;
    return 0;
}

int id3_model_hold(id3_model* m, uint8_t* block) {
    if (id3_grow_for_one((void**)&m->blocks, m->block_count, &m->block_cap, sizeof *m->blocks) !=
        0) {
        free(block);
        return -1;
    }
    m->blocks[m->block_count++] = block;
    return 0;
}
