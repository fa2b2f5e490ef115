// An APE tag at the end of the file, before an ID3v1 tag if there is one. Other programs show
// its texts where the ID3v2 tag lacks them, so a write keeps the items of the named fields in
// step and everything else of the tag byte for byte. Little-endian: an optional 32-byte header,
// the items, a 32-byte footer. Header and footer: "APETAGEX", version (4: 1000 or 2000), tag
// size (4: the items and the footer), item count (4), flags (4), 8 reserved bytes. An item:
// value size (4), flags (4), key (ASCII 0x20-0x7E, 2 to 255 characters, 00 after it), value
// (UTF-8, several values separated by 00).
#include "ape_tag.h"
#include "platform.h"

#include <string.h>

#define APE_FRAME_LEN 32 // the header, the footer
#define APE_VERSION_AT 8
#define APE_SIZE_AT 12
#define APE_COUNT_AT 16
#define APE_FLAGS_AT 20
#define APE_HAS_HEADER 0x80000000u
#define APE_IS_HEADER 0x20000000u
#define APE_READ_ONLY 0x1u  // of the tag or of one item
#define APE_ITEM_KIND 0x6u  // of an item: 0 text, else binary or a link
#define APE_ITEM_HEAD_LEN 8 // value size and flags
#define APE_KEY_MIN 2
#define APE_KEY_MAX 255

// The APE keys of the named fields, in the record's order (matched without regard to case).
static const char* const kApeKeys[ID3_FIELD_COUNT] = {"Title", "Artist", "Album",
                                                      "Genre", "Year",   "Track"};

struct ape_item {
    uint64_t len; // the whole item
    uint32_t flags;
    const char* key;
    uint64_t key_len;
};

// The item at *pos of the item area (n bytes), *pos moved past it. False where none fits.
static bool next_ape_item(const uint8_t* items, uint64_t n, uint64_t* pos, ape_item* item) {
    uint64_t left = n - *pos;
    if (left < APE_ITEM_HEAD_LEN)
        return false;
    const uint8_t* p = items + *pos;
    uint64_t value_len = id3_le32(p);
    const uint8_t* key = p + APE_ITEM_HEAD_LEN;
    uint64_t room = left - APE_ITEM_HEAD_LEN;
    uint64_t key_len = 0;
    while (key_len < room && key_len <= APE_KEY_MAX && key[key_len] >= 0x20 && key[key_len] <= 0x7E)
        key_len++;
    if (key_len < APE_KEY_MIN || key_len > APE_KEY_MAX || key_len >= room || key[key_len] != 0)
        return false;
    if (value_len > room - key_len - 1)
        return false;
    item->len = APE_ITEM_HEAD_LEN + key_len + 1 + value_len;
    item->flags = id3_le32(p + 4);
    item->key = (const char*)key;
    item->key_len = key_len;
    *pos += item->len;
    return true;
}

// Reads the APE tag that ends at `end`, after the ID3v2 tag (which ends at audio_off). 1 with the
// tag in *tag, 0 when there is none or it is damaged in any way (it is left alone then), -1 with a
// message when the file cannot be read.
int id3_ape_find(const id3_file* f, uint64_t audio_off, uint64_t end, id3_ape_tag* tag) {
    if (end < audio_off || end - audio_off < APE_FRAME_LEN)
        return 0;
    uint8_t footer[APE_FRAME_LEN];
    if (id3_file_read(f, end - APE_FRAME_LEN, footer, sizeof footer) != 0)
        return -1;
    uint32_t version = id3_le32(footer + APE_VERSION_AT);
    uint32_t flags = id3_le32(footer + APE_FLAGS_AT);
    uint64_t size = id3_le32(footer + APE_SIZE_AT);
    if (memcmp(footer, "APETAGEX", 8) != 0 || (version != 1000 && version != 2000) ||
        (flags & APE_IS_HEADER) || size < APE_FRAME_LEN)
        return 0;
    uint64_t header_len = (flags & APE_HAS_HEADER) ? APE_FRAME_LEN : 0;
    if (size > end - audio_off || header_len > end - audio_off - size)
        return 0;
    tag->len = header_len + size;
    tag->bytes.reset(id3_file_dup(f, end - tag->len, tag->len));
    if (!tag->bytes)
        return -1;
    const uint8_t* b = tag->bytes.get();
    if (header_len > 0 &&
        (memcmp(b, "APETAGEX", 8) != 0 || !(id3_le32(b + APE_FLAGS_AT) & APE_IS_HEADER) ||
         id3_le32(b + APE_SIZE_AT) != size ||
         id3_le32(b + APE_COUNT_AT) != id3_le32(footer + APE_COUNT_AT)))
        return 0;
    tag->items_at = header_len;
    tag->items_len = size - APE_FRAME_LEN;
    // Every item counted fits, and they fill the space up to the footer.
    uint64_t pos = 0;
    ape_item item;
    for (uint32_t i = id3_le32(footer + APE_COUNT_AT); i > 0; i--) {
        if (!next_ape_item(b + tag->items_at, tag->items_len, &pos, &item))
            return 0;
    }
    return pos == tag->items_len ? 1 : 0;
}

// The named field an item's key stands for, or -1.
static int ape_field_of(const ape_item* item) {
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (strlen(kApeKeys[i]) == item->key_len &&
            plat_strnicmp(item->key, kApeKeys[i], (size_t)item->key_len) == 0)
            return i;
    }
    return -1;
}

// The new value of a named field's item: every value of its property, 00 between them, or the
// record's text. Empty when the field has none (its item goes). -1 when memory runs out.
static int ape_value(const id3_record* t, id3_change change, int field, id3_buf* value) {
    const char* key = id3_field_keys[field];
    const id3_prop_edit* edit =
        change.props ? id3_prop_edits_find(change.props, key, strlen(key)) : nullptr;
    if (edit && (change.by_props & (1u << field))) {
        for (uint64_t v = 0; v < edit->count; v++) {
            if ((v > 0 && id3_buf_append(value, "", 1) != 0) ||
                id3_buf_append(value, edit->values[v], strlen(edit->values[v])) != 0)
                return -1;
        }
        return 0;
    }
    const char* const texts[] = {t->title, t->artist, t->album, t->genre, t->date, t->track};
    const char* text = texts[field] ? texts[field] : "";
    return id3_buf_append(value, text, strlen(text));
}

// Sets the tag size and item count of an APE header or footer.
static void put_ape_counts(uint8_t* frame, uint32_t size, uint32_t count) {
    id3_put_le32(frame + APE_SIZE_AT, size);
    id3_put_le32(frame + APE_COUNT_AT, count);
}

// The APE tag with the items of the named fields replaced: the first item of a field takes the
// new value (or goes when there is none), later items of the same field go; items marked
// read-only or holding other than text stay, as does all of a read-only tag. *changed is false
// when nothing differs. -1 when memory runs out.
int id3_ape_update(const id3_ape_tag* tag, const id3_record* t, id3_change change, id3_buf* out,
                   bool* changed) {
    *changed = false;
    const uint8_t* b = tag->bytes.get();
    const uint8_t* footer = b + tag->len - APE_FRAME_LEN;
    if (id3_le32(footer + APE_FLAGS_AT) & APE_READ_ONLY)
        return 0;
    if (tag->items_at > 0 && id3_buf_append(out, b, tag->items_at) != 0)
        return -1;
    const uint8_t* items = b + tag->items_at;
    uint32_t count = 0;
    uint32_t done = 0; // fields whose new item is written
    uint64_t pos = 0, at = 0;
    ape_item item;
    for (; next_ape_item(items, tag->items_len, &pos, &item); at = pos) {
        int field = ape_field_of(&item);
        bool fixed = (item.flags & APE_READ_ONLY) || (item.flags & APE_ITEM_KIND) != 0;
        if (field < 0 || !(change.named & (1u << field)) || fixed) {
            if (id3_buf_append(out, items + at, item.len) != 0)
                return -1;
            count++;
            continue;
        }
        if (done & (1u << field))
            continue;
        done |= 1u << field;
        id3_buf value = {nullptr, 0, 0};
        std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&value, id3_buf_release);
        if (ape_value(t, change, field, &value) != 0)
            return -1;
        if (value.len == 0)
            continue;
        if (value.len > UINT32_MAX)
            return 0;
        uint8_t head[APE_ITEM_HEAD_LEN];
        id3_put_le32(head, (uint32_t)value.len);
        memcpy(head + 4, items + at + 4, 4);
        if (id3_buf_append(out, head, sizeof head) != 0 ||
            id3_buf_append(out, item.key, item.key_len + 1) != 0 ||
            id3_buf_append(out, value.data, value.len) != 0)
            return -1;
        count++;
    }
    uint64_t size = out->len - tag->items_at + APE_FRAME_LEN;
    if (size > UINT32_MAX)
        return 0;
    if (id3_buf_append(out, footer, APE_FRAME_LEN) != 0)
        return -1;
    put_ape_counts(out->data + out->len - APE_FRAME_LEN, (uint32_t)size, count);
    if (tag->items_at > 0)
        put_ape_counts(out->data, (uint32_t)size, count);
    *changed = out->len != tag->len || memcmp(out->data, b, (size_t)out->len) != 0;
    return 0;
}
