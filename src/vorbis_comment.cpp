// Vorbis comments and the FLAC PICTURE structure, shared by the FLAC and Ogg containers: walking,
// reading and building a comment body ("KEY=value" texts after a vendor string), and reading and
// building a PICTURE body (a FLAC block, or base64 in an Ogg METADATA_BLOCK_PICTURE comment).
//
// Comment body (little-endian): vendor length V (4), vendor, comment count N (4), then N times a
// length T (4) and T bytes of "KEY=value".
#include "vorbis_comment.h"
#include "platform.h"

#include <stdlib.h>
#include <string.h>

// The comment keys of the record's fields are the property keys id3_field_keys, compared whole and
// without regard to ASCII case.

int id3_vc_field_of_key(const char* key, uint64_t key_len) {
    for (int i = 0; i < 6; i++) {
        size_t name_len = strlen(id3_field_keys[i]);
        if (key_len == name_len && plat_strnicmp(key, id3_field_keys[i], name_len) == 0)
            return i;
    }
    return -1;
}

#define VORBIS_LENGTH_LEN 4 // the vendor length, the count and each comment's length

void id3_vc_walk_start(id3_vc_walk* w, const uint8_t* body, uint64_t body_len) {
    *w = id3_vc_walk{body, body_len, body_len, 0};
    if (body_len < 2 * VORBIS_LENGTH_LEN)
        return;
    uint64_t vendor_len = id3_le32(body);
    if (vendor_len > body_len - 2 * VORBIS_LENGTH_LEN)
        return;
    w->left = id3_le32(body + VORBIS_LENGTH_LEN + vendor_len);
    w->pos = 2 * VORBIS_LENGTH_LEN + vendor_len;
}

bool id3_vc_walk_next(id3_vc_walk* w, const char** text, uint64_t* text_len) {
    if (w->left == 0 || w->body_len - w->pos < VORBIS_LENGTH_LEN)
        return false;
    uint64_t n = id3_le32(w->body + w->pos);
    if (n > w->body_len - w->pos - VORBIS_LENGTH_LEN)
        return false;
    *text = (const char*)w->body + w->pos + VORBIS_LENGTH_LEN;
    *text_len = n;
    w->pos += VORBIS_LENGTH_LEN + n;
    w->left--;
    return true;
}

bool id3_picture_parse(const uint8_t* body, uint64_t body_len, id3_picture_fields* pic) {
    if (body_len < PICTURE_FIXED_LEN)
        return false;
    uint64_t mime_len = id3_be32(body + PICTURE_MIME_LEN_AT);
    // The description's length field follows the MIME type: it must be inside the body before it
    // is read (the fuzzers once found it read past a short block).
    if (mime_len > body_len - PICTURE_MIME_AT - 4)
        return false;
    const uint8_t* after_mime = body + PICTURE_MIME_AT + mime_len;
    uint64_t desc_len = id3_be32(after_mime + PICTURE_DESC_LEN_AFTER_MIME);
    // All the fixed fields, the MIME type and the description must fit before the data starts.
    if (mime_len > body_len - PICTURE_FIXED_LEN ||
        desc_len > body_len - PICTURE_FIXED_LEN - mime_len)
        return false;
    uint64_t start = PICTURE_FIXED_LEN + mime_len + desc_len;
    const uint8_t* after_desc = after_mime + 4 + desc_len;
    uint64_t data_len = id3_be32(after_desc + PICTURE_DATA_LEN_AFTER_DESC);
    // A data length that overruns the block yields what the block holds.
    if (data_len > body_len - start)
        data_len = body_len - start;
    // An empty MIME type is taken for JPEG.
    static const char jpeg[] = ID3_DEFAULT_MIME;
    *pic = id3_picture_fields{id3_be32(body),
                              mime_len ? body + PICTURE_MIME_AT : (const uint8_t*)jpeg,
                              mime_len ? mime_len : sizeof jpeg - 1,
                              after_mime + 4,
                              desc_len,
                              body + start,
                              data_len};
    return true;
}

uint64_t id3_vc_extent(const uint8_t* body, uint64_t n) {
    if (n < 2 * VORBIS_LENGTH_LEN || id3_le32(body) > n - 2 * VORBIS_LENGTH_LEN)
        return 0;
    id3_vc_walk w;
    id3_vc_walk_start(&w, body, n);
    const char* text = nullptr;
    uint64_t text_len = 0;
    while (id3_vc_walk_next(&w, &text, &text_len)) {
    }
    return w.left == 0 ? w.pos : 0;
}

uint8_t* id3_flac_picture_build(const id3_record* t, const char* mime, uint64_t mime_len,
                                uint64_t body_len) {
    uint8_t* body = (uint8_t*)malloc((size_t)body_len);
    if (!body)
        return nullptr;
    memset(body, 0, PICTURE_FIXED_LEN + (size_t)mime_len);
    id3_put_be32(body, ID3_PICTURE_FRONT_COVER);
    id3_put_be32(body + PICTURE_MIME_LEN_AT, (uint32_t)mime_len);
    memcpy(body + PICTURE_MIME_AT, mime, (size_t)mime_len);
    // Description length, width, height, depth and colours stay 0.
    uint8_t* after_desc = body + PICTURE_MIME_AT + mime_len + 4;
    id3_put_be32(after_desc + PICTURE_DATA_LEN_AFTER_DESC, (uint32_t)t->cover_size);
    if (t->cover_size > 0)
        memcpy(body + PICTURE_FIXED_LEN + mime_len, t->cover_data, (size_t)t->cover_size);
    return body;
}

bool id3_vc_replaced(const char* text, uint64_t text_len, const id3_change* change) {
    const char* eq = (const char*)memchr(text, '=', (size_t)text_len);
    if (!eq)
        return false;
    uint64_t key_len = (uint64_t)(eq - text);
    int field = id3_vc_field_of_key(text, key_len);
    return (field >= 0 && (change->named & (1u << field))) ||
           id3_prop_edits_find(change->props, text, key_len) != nullptr;
}

int id3_vc_append(id3_buf* b, const void* text, uint64_t text_len) {
    uint8_t len[4];
    id3_put_le32(len, (uint32_t)text_len);
    return id3_buf_append(b, len, 4) != 0 || id3_buf_append(b, text, text_len) != 0 ? -1 : 0;
}

// Appends one comment of key and value, value_len bytes of it; with `lend`, a value of
// ID3_BORROW_MIN bytes or more is borrowed where it lies instead. -1 when the comment passes its
// 32-bit length field or memory runs out.
static int append_comment(id3_buf* body, const char* key, uint64_t key_len, const char* value,
                          uint64_t value_len, id3_head* lend) {
    if (key_len > UINT32_MAX - 1 || value_len > UINT32_MAX - 1 - key_len)
        return -1;
    uint8_t len[VORBIS_LENGTH_LEN];
    id3_put_le32(len, (uint32_t)(key_len + 1 + value_len));
    if (id3_buf_append(body, len, VORBIS_LENGTH_LEN) != 0 ||
        id3_buf_append(body, key, key_len) != 0 || id3_buf_append(body, "=", 1) != 0)
        return -1;
    if (lend && value_len >= ID3_BORROW_MIN)
        return id3_head_borrow(lend, body->len, (const uint8_t*)value, value_len);
    return id3_buf_append(body, value, value_len);
}

int id3_vc_build(id3_buf* body, const uint8_t* vendor, uint64_t vendor_len, const id3_record* t,
                 const id3_change* change, const id3_buf* carried, uint32_t carried_count,
                 id3_head* lend) {
    const char* const texts[6] = {t->title, t->artist, t->album, t->genre, t->date, t->track};
    // The fields the properties name are written with the properties.
    uint32_t fields = change->named & ~change->by_props;
    const id3_prop_edits* props = change->props;
    uint64_t count = carried_count;
    for (int i = 0; i < 6; i++)
        count += texts[i] && (fields & (1u << i)) ? 1 : 0;
    for (uint64_t k = 0; props && k < props->count; k++)
        count += props->items[k].count;
    if (count > UINT32_MAX)
        return -1;
    if (id3_vc_append(body, vendor, vendor_len) != 0)
        return -1;
    uint8_t len[VORBIS_LENGTH_LEN];
    id3_put_le32(len, (uint32_t)count);
    if (id3_buf_append(body, len, VORBIS_LENGTH_LEN) != 0)
        return -1;
    for (int i = 0; i < 6; i++) {
        if (!texts[i] || !(fields & (1u << i)))
            continue;
        if (append_comment(body, id3_field_keys[i], strlen(id3_field_keys[i]), texts[i],
                           strlen(texts[i]), lend) != 0)
            return -1;
    }
    for (uint64_t k = 0; props && k < props->count; k++) {
        const id3_prop_edit& edit = props->items[k];
        for (uint64_t v = 0; v < edit.count; v++) {
            if (append_comment(body, edit.key, strlen(edit.key), edit.values[v],
                               strlen(edit.values[v]), lend) != 0)
                return -1;
        }
    }
    return id3_buf_append(body, carried->data, carried->len);
}

int id3_vc_load_items(id3_model* m, int tag, const uint8_t* body, uint64_t body_len,
                      uint64_t body_off) {
    id3_vc_walk w;
    id3_vc_walk_start(&w, body, body_len);
    const char* text = nullptr;
    uint64_t text_len = 0;
    while (id3_vc_walk_next(&w, &text, &text_len)) {
        id3_item* item = id3_model_add_item(m);
        if (!item)
            return -1;
        item->tag = tag;
        item->kind = ID3_ITEM_OTHER;
        item->id = text;
        item->id_len = (uint32_t)text_len;
        // The comment's span: its length field and its text.
        item->raw = (const uint8_t*)text - VORBIS_LENGTH_LEN;
        item->raw_len = VORBIS_LENGTH_LEN + text_len;
        item->raw_off = body_off + (uint64_t)(item->raw - body);
        // Comments rank alike: of repeated comments of a key the last gives the record's field.
        item->rank = 0;
        const char* eq = (const char*)memchr(text, '=', (size_t)text_len);
        if (!eq)
            continue; // no name: not listed, carried as it stands
        uint64_t key_len = (uint64_t)(eq - text);
        item->kind = ID3_ITEM_TEXT;
        item->id_len = (uint32_t)key_len;
        item->key = (char*)malloc((size_t)key_len + 1);
        if (!item->key)
            return -1;
        for (uint64_t i = 0; i < key_len; i++)
            item->key[i] = text[i] >= 'a' && text[i] <= 'z' ? (char)(text[i] - 'a' + 'A') : text[i];
        item->key[key_len] = '\0';
        item->key_len = key_len;
        if (id3_item_add_value(item, eq + 1, text_len - key_len - 1) != 0)
            return -1;
    }
    return 0;
}

int id3_picture_item(id3_item* item, const uint8_t* body, uint64_t body_len) {
    id3_picture_fields pic;
    if (!id3_picture_parse(body, body_len, &pic))
        return 0;
    item->kind = ID3_ITEM_PICTURE;
    item->picture_type = (int32_t)pic.type;
    uint64_t mime_len = pic.mime_len < sizeof item->mime - 1 ? pic.mime_len : sizeof item->mime - 1;
    memcpy(item->mime, pic.mime, (size_t)mime_len);
    item->mime[mime_len] = '\0';
    item->description = (char*)malloc((size_t)pic.description_len + 1);
    if (!item->description)
        return -1;
    memcpy(item->description, pic.description, (size_t)pic.description_len);
    item->description[pic.description_len] = '\0';
    item->data = pic.data;
    item->data_len = pic.data_len;
    return 0;
}
