// MP4/M4A tags, the writer: a new moov built from the old one, with the item list at
// moov/udta/meta/ilst changed where a write names a field and every other byte carried over.
//
// Only moov is rewritten; the bytes before it and after it are the old file's. When moov changes
// size, the media data after it moves, and the chunk offset tables (stco, 32-bit; co64, 64-bit) of
// every track, which hold absolute file offsets, are shifted by the change. A free or skip atom
// right after the item list or right after moov gives or takes the room instead when it can, so
// that no offset moves.
#include "container.h"
#include "mp4_atom.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The largest size of an atom in its 32-bit form. (The atom layout's names are in id3_internal.h.)
#define ATOM_SIZE32_MAX 0xFFFFFFFFull
// A chunk offset table: version-and-flags, a 32-bit entry count, then the entries.
#define CHUNK_COUNT_AT 4
#define CHUNK_ENTRIES_AT 8
// A data reference entry whose flags have this bit set refers to this file itself.
#define DREF_SELF_CONTAINED 1
// The picture types of a "data" atom.
#define DATA_TYPE_GIF 12
#define DATA_TYPE_JPEG 13
#define DATA_TYPE_PNG 14
#define DATA_TYPE_BMP 27
// The largest track or disc number and total.
#define TRKN_MAX 65535u
// The handler atom of a new meta: 8 bytes of header and 25 of payload.
#define MDIR_HANDLER_LEN 33

namespace {
// An atom in the moov buffer (offsets in the buffer).
typedef id3_mp4_atom mp4_atom;

// The top level of the file, as far as the writer needs it.
struct top_layout {
    uint64_t moov_at;
    uint64_t moov_size;
    bool has_moov;
    // A free or skip atom right after moov (size 0 when there is none).
    uint64_t free_size;
    char free_type[5];
};

// One atom on the path from moov down to the item list, as it is rewritten: its payload bytes
// from cut_start to cut_end (offsets in the moov buffer) give way to the level below it, or at the
// last level to the new bytes.
struct path_level {
    mp4_atom atom;
    uint64_t cut_start;
    uint64_t cut_end;
    uint64_t new_size;
    uint64_t new_header;
};
#define PATH_LEVELS_MAX 3 // moov, udta, meta
} // namespace

// The next atom of the region [*pos, end) of buf: 1 with *a and *pos moved past it; 0 when the
// region ends exactly at *pos; -1 with a message when bytes are left that do not form an atom.
static int next_atom(const uint8_t* buf, uint64_t end, uint64_t* pos, mp4_atom* a) {
    int rc = id3_mp4_next_atom(buf, end, pos, a);
    if (rc == 0 && *pos < end) {
        id3_set_error("damaged MP4 atom layout");
        return -1;
    }
    return rc;
}

// The first atom of the given type among the children in [start, end): 1 found, 0 when the walk
// ends without one, -1 when it meets bytes that are no atom.
static int find_atom(const uint8_t* buf, uint64_t start, uint64_t end, const char* type,
                     mp4_atom* found) {
    uint64_t pos = start;
    int rc;
    while ((rc = next_atom(buf, end, &pos, found)) == 1) {
        if (strcmp(found->type, type) == 0)
            return 1;
    }
    return rc;
}

static uint64_t payload_at(const mp4_atom& a) {
    return id3_mp4_payload_at(a);
}
static uint64_t end_of(const mp4_atom& a) {
    return id3_mp4_end_of(a);
}

// ---------------------------------------------------------------------------------------------
// The top level of the file

// Walks the top-level atoms by their headers alone. 0 with the layout, or -1 with a message for a
// file the writer does not take: fragmented, without moov or with two, or not a clean sequence of
// atoms to its end.
static int walk_top_level(const id3_file* f, top_layout* out) {
    memset(out, 0, sizeof *out);
    uint64_t pos = 0;
    bool after_moov = false;
    mp4_atom a;
    int rc;
    while ((rc = id3_mp4_next_atom_in_file(f, f->size, &pos, &a)) == 1) {
        const char* type = a.type;
        if (strcmp(type, "moof") == 0) {
            id3_set_error("fragmented MP4 (moof) write unsupported");
            return -1;
        }
        if (strcmp(type, "moov") == 0) {
            if (out->has_moov) {
                id3_set_error("MP4 file with more than one moov");
                return -1;
            }
            out->has_moov = true;
            out->moov_at = a.at;
            out->moov_size = a.size;
        } else if (after_moov && (strcmp(type, "free") == 0 || strcmp(type, "skip") == 0)) {
            out->free_size = a.size;
            memcpy(out->free_type, type, 4);
        }
        after_moov = strcmp(type, "moov") == 0;
    }
    if (rc == 0 && pos < f->size) {
        id3_set_error("damaged MP4 atom layout");
        return -1;
    }
    if (rc < 0)
        return -1;
    if (!out->has_moov) {
        id3_set_error("MP4 file without moov");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Building atoms

// Appends an atom header for an atom of `size` bytes in all, header_len (8 or 16) of them the
// header.
static int append_header(id3_buf* out, const char* type, uint64_t size, uint64_t header_len) {
    uint8_t h[ATOM_LARGE_HEADER_LEN];
    if (header_len == ATOM_LARGE_HEADER_LEN) {
        id3_put_be32(h, ATOM_SIZE_LARGE);
        memcpy(h + 4, type, 4);
        id3_put_be32(h + 8, (uint32_t)(size >> 32));
        id3_put_be32(h + 12, (uint32_t)size);
    } else {
        id3_put_be32(h, (uint32_t)size);
        memcpy(h + 4, type, 4);
    }
    return id3_buf_append(out, h, header_len);
}

// Appends an item atom holding one "data" atom of the given type code and value. Items are plain
// 32-bit atoms in every file that holds them: a larger one is refused.
static int append_item(id3_buf* out, const char* type, uint32_t data_type, const void* value,
                       uint64_t n, id3_head* lend = nullptr) {
    uint64_t data_size = ATOM_HEADER_LEN + DATA_VALUE_AT + n;
    if (n > ATOM_SIZE32_MAX - 2 * ATOM_HEADER_LEN - DATA_VALUE_AT) {
        id3_set_error("MP4 item too large: %s", type);
        return -1;
    }
    uint8_t words[DATA_VALUE_AT];
    id3_put_be32(words, data_type);
    id3_put_be32(words + 4, 0); // locale
    // With `lend`, a value of ID3_BORROW_MIN bytes or more is borrowed where it lies.
    bool borrow = lend && n >= ID3_BORROW_MIN;
    if (append_header(out, type, ATOM_HEADER_LEN + data_size, ATOM_HEADER_LEN) != 0 ||
        append_header(out, "data", data_size, ATOM_HEADER_LEN) != 0 ||
        id3_buf_append(out, words, DATA_VALUE_AT) != 0 ||
        (borrow ? id3_head_borrow(lend, out->len, (const uint8_t*)value, n)
                : id3_buf_append(out, value, n)) != 0) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

// Appends a free atom of `size` bytes (at least 8), its payload zeros.
static int append_free(id3_buf* out, const char* type, uint64_t size) {
    uint64_t at = out->len;
    if (append_header(out, type, size, ATOM_HEADER_LEN) != 0 ||
        id3_buf_append(out, nullptr, size - ATOM_HEADER_LEN) != 0) {
        id3_set_error("oom");
        return -1;
    }
    memset(out->data + at + ATOM_HEADER_LEN, 0, (size_t)(size - ATOM_HEADER_LEN));
    return 0;
}

// Whether a free atom of old_size can give (delta > 0) or take (delta < 0) delta bytes and stay
// an atom in its 32-bit form, or vanish exactly.
static bool free_can_take(uint64_t old_size, int64_t delta) {
    if (old_size == 0 || old_size > ATOM_SIZE32_MAX)
        return false;
    if (delta > 0)
        return (uint64_t)delta == old_size || (uint64_t)delta + ATOM_HEADER_LEN <= old_size;
    return (uint64_t)(-delta) <= ATOM_SIZE32_MAX - old_size;
}

// ---------------------------------------------------------------------------------------------
// The item list

// The value of a named text field: the record's text, NULL for none.
static const char* text_value(const id3_record* t, uint32_t named) {
    switch (named) {
    case ID3_NAMED_TITLE:
        return t->title;
    case ID3_NAMED_ARTIST:
        return t->artist;
    case ID3_NAMED_ALBUM:
        return t->album;
    case ID3_NAMED_GENRE:
        return t->genre;
    default:
        return t->date;
    }
}

// The total of the old item list's first "trkn" item, 0 when it has none or its atoms do not
// hold one. Damage found here is no fault of the write (the item is carried as it is, or
// replaced), so it leaves no message.
static uint32_t old_total(const uint8_t* buf, uint64_t start, uint64_t end) {
    mp4_atom item, data;
    if (find_atom(buf, start, end, "trkn", &item) != 1 ||
        find_atom(buf, payload_at(item), end_of(item), "data", &data) != 1 ||
        data.size - data.header < DATA_VALUE_AT + TRKN_TOTAL_AT + 2) {
        id3_clear_error();
        return 0;
    }
    return id3_be16(buf + payload_at(data) + DATA_VALUE_AT + TRKN_TOTAL_AT);
}

// The data type code of a picture by its MIME type.
static uint32_t picture_type(const char* mime) {
    if (strcmp(mime, "image/png") == 0)
        return DATA_TYPE_PNG;
    if (strcmp(mime, "image/gif") == 0)
        return DATA_TYPE_GIF;
    if (strcmp(mime, "image/bmp") == 0)
        return DATA_TYPE_BMP;
    return DATA_TYPE_JPEG;
}

// Appends the item of one named text field, nothing for an absent or empty text.
static int append_text(id3_buf* out, const id3_mp4_field_item& item, const id3_record* t,
                       id3_head* lend) {
    const char* text = text_value(t, item.named);
    if (!text || !*text)
        return 0;
    return append_item(out, item.type, DATA_TYPE_UTF8, text, strlen(text), lend);
}

// Appends the "trkn" item of the record's track: a number alone keeps the old total.
static int append_track(id3_buf* out, const id3_record* t, uint32_t kept_total) {
    if (!t->track || !*t->track)
        return 0;
    long track, total;
    if (!id3_parse_number(t->track, TRKN_MAX, true, &track, &total)) {
        id3_set_error("MP4 track must be a number or number/total: %s", t->track);
        return -1;
    }
    uint8_t value[TRKN_VALUE_LEN] = {0};
    value[TRKN_TRACK_AT] = (uint8_t)(track >> 8);
    value[TRKN_TRACK_AT + 1] = (uint8_t)track;
    uint32_t total_kept = total >= 0 ? (uint32_t)total : kept_total;
    value[TRKN_TOTAL_AT] = (uint8_t)(total_kept >> 8);
    value[TRKN_TOTAL_AT + 1] = (uint8_t)total_kept;
    return append_item(out, "trkn", DATA_TYPE_IMPLICIT, value, TRKN_VALUE_LEN);
}

// Appends the "covr" item with the record's picture first (none for an empty one: the old front
// picture is removed) and, from the old item when there is one, every later picture after it. An
// item left without a picture goes.
static int append_cover(id3_buf* out, const id3_record* t, const uint8_t* buf,
                        const mp4_atom* old) {
    bool picture = t->cover_data && t->cover_size > 0;
    uint64_t at = out->len;
    int rc = picture ? append_item(out, "covr", picture_type(t->cover_mime), t->cover_data,
                                   t->cover_size)
             : old   ? append_header(out, "covr", 0, ATOM_HEADER_LEN)
                     : 0;
    if (rc != 0 || !old) {
        if (rc != 0 && !id3_has_error())
            id3_set_error("oom");
        return rc;
    }
    uint64_t pos = payload_at(*old);
    mp4_atom child;
    bool first = true, kept = picture;
    while ((rc = next_atom(buf, end_of(*old), &pos, &child)) == 1) {
        bool data = strcmp(child.type, "data") == 0;
        bool front = first && data;
        first = first && !front;
        kept = kept || (data && !front);
        if (!front && id3_buf_append(out, buf + child.at, child.size) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    if (rc != 0)
        return -1;
    if (!kept) {
        out->len = at;
        return 0;
    }
    uint64_t size = out->len - at;
    if (size > ATOM_SIZE32_MAX) {
        id3_set_error("MP4 item too large: covr");
        return -1;
    }
    id3_put_be32(out->data + at, (uint32_t)size);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Property items

// The freeform items of iTunes: "----" holding "mean" and "name" (each a version-and-flags word
// and a text), then the data atoms.
// Appends a text child of a freeform item ("mean" or "name"). -1 when memory runs out.
static int append_freeform_part(id3_buf* out, const char* type, const char* text) {
    uint64_t n = strlen(text);
    const uint8_t version_flags[FULL_BOX_HEADER_LEN] = {0, 0, 0, 0};
    if (append_header(out, type, ATOM_HEADER_LEN + FULL_BOX_HEADER_LEN + n, ATOM_HEADER_LEN) != 0 ||
        id3_buf_append(out, version_flags, FULL_BOX_HEADER_LEN) != 0 ||
        id3_buf_append(out, text, n) != 0)
        return -1;
    return 0;
}

// Appends a data atom of the given type code and value. -1 when memory runs out.
// With `lend`, a value of ID3_BORROW_MIN bytes or more is not copied: `lend` borrows it where it
// lies, before the byte of `out` that follows.
static int append_data(id3_buf* out, uint32_t data_type, const void* value, uint64_t n,
                       id3_head* lend = nullptr) {
    uint8_t words[DATA_VALUE_AT];
    id3_put_be32(words, data_type);
    id3_put_be32(words + 4, 0); // locale
    if (append_header(out, "data", ATOM_HEADER_LEN + DATA_VALUE_AT + n, ATOM_HEADER_LEN) != 0 ||
        id3_buf_append(out, words, DATA_VALUE_AT) != 0)
        return -1;
    if (lend && n >= ID3_BORROW_MIN)
        return id3_head_borrow(lend, out->len, (const uint8_t*)value, n);
    return id3_buf_append(out, value, n);
}

// The value of a number item (checked before: a number of the item's range, a pair "N/M" for
// trkn and disk) into value: *n bytes, of data type *data_type. False for an item of text.
static bool number_value(const char* type, const char* text, uint8_t value[TRKN_VALUE_LEN],
                         uint64_t* n, uint32_t* data_type) {
    memset(value, 0, TRKN_VALUE_LEN);
    const id3_mp4_item_rule* rule = id3_mp4_item_rule_of(type);
    if (rule->kind == MP4_ITEM_PAIR) {
        long number = 0, total = 0;
        id3_parse_number(text, TRKN_MAX, true, &number, &total);
        total = total < 0 ? 0 : total;
        value[TRKN_TRACK_AT] = (uint8_t)(number >> 8);
        value[TRKN_TRACK_AT + 1] = (uint8_t)number;
        value[TRKN_TOTAL_AT] = (uint8_t)(total >> 8);
        value[TRKN_TOTAL_AT + 1] = (uint8_t)total;
        // A disc pair has no reserved bytes after the total.
        *n = rule->width;
        *data_type = DATA_TYPE_IMPLICIT;
        return true;
    }
    if (rule->kind != MP4_ITEM_NUMBER && rule->kind != MP4_ITEM_TYPED_NUMBER)
        return false;
    long v = 0, none = 0;
    id3_parse_number(text, TRKN_MAX, false, &v, &none);
    for (uint8_t i = 0; i < rule->width; i++) // big-endian
        value[i] = (uint8_t)(v >> (8 * (rule->width - 1 - i)));
    *n = rule->width;
    *data_type = DATA_TYPE_SIGNED;
    return true;
}

// Appends the item of one named property with its values (none for a key removed): the table's
// item, one data atom per value, numbers in their binary form; else a freeform item of iTunes
// named by the key. -1 with a message.
static int append_property(id3_buf* out, const id3_prop_edit& edit, id3_head* lend) {
    if (edit.count == 0)
        return 0;
    // Large values are borrowed from the changes by `lend`; the sizes count them.
    uint64_t lent_before = id3_head_len(lend);
    const id3_property_row* row = id3_property_row_of(edit.key);
    const char* item = row ? row->mp4 : nullptr;
    bool freeform = !item || strncmp(item, "----", 4) == 0;
    // A table's freeform item is "----:com.apple.iTunes:NAME".
    const char* name = !item ? edit.key : freeform ? item + strlen(MP4_ITUNES_FREEFORM) : nullptr;
    uint64_t at = out->len;
    bool ok = append_header(out, freeform ? "----" : item, 0, ATOM_HEADER_LEN) == 0;
    if (ok && freeform) {
        ok = append_freeform_part(out, "mean", MP4_ITUNES_MEAN) == 0 &&
             append_freeform_part(out, "name", name) == 0;
    }
    // The podcast's URL and episode id are texts that iTunes marks with no type.
    uint32_t text_type = !freeform && id3_mp4_item_rule_of(item)->kind == MP4_ITEM_UNTYPED_TEXT
                             ? DATA_TYPE_IMPLICIT
                             : DATA_TYPE_UTF8;
    for (uint64_t v = 0; ok && v < edit.count; v++) {
        uint8_t number[TRKN_VALUE_LEN];
        uint64_t n = 0;
        uint32_t data_type = DATA_TYPE_UTF8;
        if (!freeform && number_value(item, edit.values[v], number, &n, &data_type))
            ok = append_data(out, data_type, number, n) == 0;
        else
            ok = append_data(out, text_type, edit.values[v], strlen(edit.values[v]), lend) == 0;
    }
    if (!ok) {
        id3_set_error("oom");
        return -1;
    }
    uint64_t size = out->len - at + (id3_head_len(lend) - lent_before);
    if (size > ATOM_SIZE32_MAX) {
        id3_set_error("MP4 item too large: %s", edit.key);
        return -1;
    }
    id3_put_be32(out->data + at, (uint32_t)size);
    return 0;
}

// The named property that replaces an old item, or NULL: the item's key is named (a numeric
// genre, "gnre", is GENRE, and gives way to the text items of a named GENRE).
static int replacing_property(const uint8_t* buf, const mp4_atom& item, const id3_prop_edits* e,
                              id3_buf* key, const id3_prop_edit** edit) {
    *edit = nullptr;
    if (!e || e->count == 0)
        return 0;
    int rc = id3_mp4_item_key(item.type, buf + payload_at(item), item.size - item.header, key);
    if (rc == 1)
        *edit = id3_prop_edits_find(e, (const char*)key->data, key->len - 1);
    return rc < 0 ? -1 : 0;
}

// An atom whose size runs to the end of its container would take in whatever followed it.
static int refuse_after_open_end() {
    id3_set_error("MP4 atom sized to the end of its container: nothing can follow it");
    return -1;
}

// Whether the last of the atoms in [start, end) runs to the end of the region (size field 0):
// nothing can be added after it. -1 when the atoms are damaged.
static int ends_open(const uint8_t* buf, uint64_t start, uint64_t end) {
    uint64_t pos = start;
    mp4_atom a = {};
    int rc;
    while ((rc = next_atom(buf, end, &pos, &a)) == 1) {
    }
    return rc < 0 ? -1 : a.to_end ? 1 : 0;
}

// The new item list's payload: each old item as it stands, except the items of named fields,
// which are replaced where the first of them stood (the others of the same type go) or added at
// the end. A named genre also replaces a numeric "gnre" item. [start, end) is the old list's
// payload in buf (empty when there is none).
static int build_items(const uint8_t* buf, uint64_t start, uint64_t end, const id3_record* t,
                       id3_change change, id3_buf* out, id3_head* lend) {
    bool done[MP4_FIELD_ITEM_COUNT] = {false};
    bool track_done = false, cover_done = false;
    // The fields the properties name are written with the properties.
    change.named &= ~change.by_props;
    bool track_named = (change.named & ID3_NAMED_TRACK) != 0;
    const id3_prop_edits* props = change.props;
    uint64_t prop_count = props ? props->count : 0;
    id3_owned_bytes props_done((uint8_t*)calloc(prop_count + 1, 1));
    id3_buf key = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&key, id3_buf_release);
    if (!props_done) {
        id3_set_error("oom");
        return -1;
    }
    uint8_t* done_props = props_done.get();
    uint32_t kept_total = old_total(buf, start, end);
    uint64_t open_end = UINT64_MAX; // where a carried item that runs to the end ends
    uint64_t pos = start;
    mp4_atom item;
    int rc;
    while ((rc = next_atom(buf, end, &pos, &item)) == 1) {
        int written = 0;
        const id3_prop_edit* edit = nullptr;
        if (replacing_property(buf, item, props, &key, &edit) != 0)
            return -1;
        bool replaced = edit != nullptr;
        if (edit && !done_props[edit - props->items]) {
            // The property's new item stands where its first old one stood.
            done_props[edit - props->items] = 1;
            written = append_property(out, *edit, lend);
        }
        for (size_t i = 0; i < MP4_FIELD_ITEM_COUNT && !replaced; i++) {
            const id3_mp4_field_item& ti = id3_mp4_field_items[i];
            bool gnre = ti.named == ID3_NAMED_GENRE && strcmp(item.type, "gnre") == 0;
            if (!(change.named & ti.named) || (strcmp(item.type, ti.type) != 0 && !gnre))
                continue;
            replaced = true;
            if (!done[i])
                written = append_text(out, ti, t, lend);
            done[i] = true;
        }
        if (!replaced && track_named && strcmp(item.type, "trkn") == 0) {
            replaced = true;
            if (!track_done)
                written = append_track(out, t, kept_total);
            track_done = true;
        } else if (!replaced && change.cover_replaced && strcmp(item.type, "covr") == 0) {
            replaced = true;
            if (!cover_done)
                written = append_cover(out, t, buf, &item);
            cover_done = true;
        }
        if (!replaced && id3_buf_append(out, buf + item.at, item.size) != 0) {
            id3_set_error("oom");
            return -1;
        }
        if (!replaced && item.to_end)
            open_end = out->len;
        if (written != 0)
            return -1;
    }
    if (rc != 0)
        return -1;
    for (size_t i = 0; i < MP4_FIELD_ITEM_COUNT; i++) {
        if ((change.named & id3_mp4_field_items[i].named) && !done[i] &&
            append_text(out, id3_mp4_field_items[i], t, lend) != 0)
            return -1;
    }
    if (track_named && !track_done && append_track(out, t, kept_total) != 0)
        return -1;
    for (uint64_t i = 0; i < prop_count; i++) {
        if (!done_props[i] && append_property(out, props->items[i], lend) != 0)
            return -1;
    }
    if (change.cover_replaced && !cover_done && append_cover(out, t, buf, nullptr) != 0)
        return -1;
    return open_end < out->len ? refuse_after_open_end() : 0;
}

// ---------------------------------------------------------------------------------------------
// Chunk offsets

// Whether a track's media information refers to media in another file, whose offsets are not
// this file's: 1 when it does, 0 when every data reference is this file, -1 (message recorded)
// when the references are damaged.
static int media_elsewhere(const uint8_t* buf, const mp4_atom& minf) {
    mp4_atom dinf, dref, entry;
    int rc = find_atom(buf, payload_at(minf), end_of(minf), "dinf", &dinf);
    if (rc == 1)
        rc = find_atom(buf, payload_at(dinf), end_of(dinf), "dref", &dref);
    if (rc <= 0)
        return rc;
    uint64_t first = payload_at(dref) + CHUNK_ENTRIES_AT;
    if (first > end_of(dref)) {
        id3_set_error("damaged MP4 atom layout");
        return -1;
    }
    uint64_t pos = first;
    while ((rc = next_atom(buf, end_of(dref), &pos, &entry)) == 1) {
        if (entry.size - entry.header < FULL_BOX_HEADER_LEN ||
            !(buf[payload_at(entry) + 3] & DREF_SELF_CONTAINED))
            return 1;
    }
    return rc;
}

// Where the chunk offsets of the moov being rewritten may point: samples before moov_at stay,
// samples from `from` (moov's end, or the end of the free atom after it) to the file's end move
// by delta. With `from` at the file's end nothing moves, and the tables are only checked.
namespace {
struct offset_move {
    uint64_t moov_at;
    uint64_t from;
    uint64_t file_size;
    int64_t delta;
};
} // namespace

// Shifts the entries of one chunk offset table that point at or past `from` by delta. An entry
// inside the old moov [moov_at, from) or past the end of the file (a file cut short) points at
// no sample this write can place, and is refused. entry_len 4 (stco) or 8 (co64).
static int shift_table(uint8_t* buf, const mp4_atom& table, uint64_t entry_len,
                       const offset_move& move) {
    uint64_t len = table.size - table.header;
    uint8_t* p = buf + payload_at(table);
    if (len < CHUNK_ENTRIES_AT) {
        id3_set_error("damaged MP4 chunk offset table");
        return -1;
    }
    uint64_t count = id3_be32(p + CHUNK_COUNT_AT);
    if (count > (len - CHUNK_ENTRIES_AT) / entry_len) {
        id3_set_error("damaged MP4 chunk offset table");
        return -1;
    }
    for (uint64_t i = 0; i < count; i++) {
        uint8_t* e = p + CHUNK_ENTRIES_AT + i * entry_len;
        uint64_t off = entry_len == 8 ? id3_be64(e) : id3_be32(e);
        if (off >= move.moov_at && off < move.from) {
            id3_set_error("MP4 chunk offset inside moov: offsets cannot be shifted");
            return -1;
        }
        if (off >= move.file_size) {
            id3_set_error("MP4 chunk offset past the end of the file: offsets cannot be shifted");
            return -1;
        }
        if (off < move.from)
            continue;
        // delta < 0 never passes below the new moov's end
        uint64_t moved = off + (uint64_t)move.delta;
        if (entry_len == 4 && moved > ATOM_SIZE32_MAX) {
            id3_set_error("MP4 chunk offset past 4 GiB in a 32-bit table (stco)");
            return -1;
        }
        if (entry_len == 8) {
            id3_put_be32(e, (uint32_t)(moved >> 32));
            id3_put_be32(e + 4, (uint32_t)moved);
        } else {
            id3_put_be32(e, (uint32_t)moved);
        }
    }
    return 0;
}

// Shifts every chunk offset of every track of the moov in buf that points at or past move.from
// by move.delta. Every track must have its table and its media in this file, where offsets move;
// where none moves, the tables of the tracks that have them are checked alone. 0, or -1 with a
// message and buf partly changed.
static int shift_chunk_offsets(uint8_t* buf, const mp4_atom& moov, const offset_move& move) {
    bool shifting = move.from < move.file_size;
    uint64_t pos = payload_at(moov);
    mp4_atom trak;
    int rc;
    while ((rc = next_atom(buf, end_of(moov), &pos, &trak)) == 1) {
        if (strcmp(trak.type, "trak") != 0)
            continue;
        mp4_atom mdia, minf, stbl, table;
        int found = find_atom(buf, payload_at(trak), end_of(trak), "mdia", &mdia);
        if (found == 1)
            found = find_atom(buf, payload_at(mdia), end_of(mdia), "minf", &minf);
        if (found == 1)
            found = find_atom(buf, payload_at(minf), end_of(minf), "stbl", &stbl);
        int elsewhere = found == 1 ? media_elsewhere(buf, minf) : 0;
        if (elsewhere < 0)
            return -1;
        if (elsewhere && shifting) {
            id3_set_error("MP4 track with media in another file: offsets cannot be shifted");
            return -1;
        }
        if (elsewhere)
            continue;
        int tables = 0;
        uint64_t at = found == 1 ? payload_at(stbl) : 0;
        while (found == 1 && (found = next_atom(buf, end_of(stbl), &at, &table)) == 1) {
            bool co64 = strcmp(table.type, "co64") == 0;
            if (!co64 && strcmp(table.type, "stco") != 0)
                continue;
            tables++;
            if (shift_table(buf, table, co64 ? 8 : 4, move) != 0)
                return -1;
        }
        if (found < 0)
            return -1;
        if (tables == 0 && shifting) {
            id3_set_error("MP4 track without chunk offsets: offsets cannot be shifted");
            return -1;
        }
    }
    return rc;
}

// ---------------------------------------------------------------------------------------------
// The new moov

// Sizes each level of the path from the innermost up, around inner_len new bytes.
static void size_levels(path_level* levels, int count, uint64_t inner_len) {
    for (int i = count - 1; i >= 0; i--) {
        path_level& l = levels[i];
        uint64_t payload = l.atom.size - l.atom.header - (l.cut_end - l.cut_start) + inner_len;
        // A 32-bit size that would overflow takes the large form, valid for every container.
        l.new_header =
            l.atom.header == ATOM_LARGE_HEADER_LEN || payload > ATOM_SIZE32_MAX - ATOM_HEADER_LEN
                ? ATOM_LARGE_HEADER_LEN
                : ATOM_HEADER_LEN;
        l.new_size = l.new_header + payload;
        inner_len = l.new_size;
    }
}

// The new item list where the path's last level is cut: the headers before the items (the ilst
// atom's, and those of the containers it needs), the items, and a free atom after them.
// Large property values are not copied into the items: items_lent's pieces borrow them from the
// changes, between the items' own bytes.
struct new_list {
    id3_buf before;
    id3_buf items;
    id3_head items_lent;
    id3_buf after;
};

static uint64_t items_len(const new_list* list) {
    return list->items.len + id3_head_len(&list->items_lent);
}

static uint64_t new_list_len(const new_list* list) {
    return list->before.len + items_len(list) + list->after.len;
}

static void new_list_release(new_list* list) {
    id3_buf_release(&list->before);
    id3_buf_release(&list->items);
    id3_head_release(&list->items_lent);
    id3_buf_release(&list->after);
}

// Appends the items' bytes from..to of their own, borrowed by the head with `lend_own`.
static int emit_own_items(id3_buf* out, const id3_buf& items, uint64_t from, uint64_t to,
                          bool lend_own, id3_head* head) {
    if (to == from)
        return 0;
    return lend_own ? id3_head_borrow(head, out->len, items.data + from, to - from)
                    : id3_buf_append(out, items.data + from, to - from);
}

// Appends the new list: its headers, its items (their own bytes borrowed by the head when they
// are ID3_BORROW_MIN or more, the values they borrow lent on) and the free atom after them.
static int emit_list(id3_buf* out, const new_list* list, id3_head* head) {
    const id3_buf& items = list->items;
    bool lend_own = items.len >= ID3_BORROW_MIN;
    if (id3_buf_append(out, list->before.data, list->before.len) != 0)
        return -1;
    uint64_t from = 0;
    for (uint64_t i = 0; i < list->items_lent.piece_count; i++) {
        const id3_head_piece& piece = list->items_lent.pieces[i];
        if (emit_own_items(out, items, from, piece.at, lend_own, head) != 0 ||
            id3_head_borrow(head, out->len, piece.bytes, piece.len) != 0)
            return -1;
        from = piece.at;
    }
    if (emit_own_items(out, items, from, items.len, lend_own, head) != 0)
        return -1;
    return id3_buf_append(out, list->after.data, list->after.len);
}

// Appends the levels from `level` down, each its new header, its kept bytes around the cut and
// the level below (or the new list) in the cut.
static int emit_levels(id3_buf* out, const uint8_t* buf, const path_level* levels, int count,
                       int level, const new_list* list, id3_head* head) {
    const path_level& l = levels[level];
    if (append_header(out, l.atom.type, l.new_size, l.new_header) != 0 ||
        id3_buf_append(out, buf + payload_at(l.atom), l.cut_start - payload_at(l.atom)) != 0)
        return -1;
    int rc = level + 1 < count ? emit_levels(out, buf, levels, count, level + 1, list, head)
                               : emit_list(out, list, head);
    if (rc != 0)
        return -1;
    return id3_buf_append(out, buf + l.cut_end, end_of(l.atom) - l.cut_end);
}

// A handler atom naming the item list's layout: version-and-flags, pre-defined, "mdir", the
// reserved words ("appl" and two zeros, as iTunes writes them) and an empty name.
static int append_mdir_handler(id3_buf* out) {
    static const uint8_t HDLR[MDIR_HANDLER_LEN] = {0,   0,   0,   MDIR_HANDLER_LEN,
                                                   'h', 'd', 'l', 'r',
                                                   0,   0,   0,   0,
                                                   0,   0,   0,   0,
                                                   'm', 'd', 'i', 'r',
                                                   'a', 'p', 'p', 'l',
                                                   0,   0,   0,   0,
                                                   0,   0,   0,   0,
                                                   0};
    return id3_buf_append(out, HDLR, sizeof HDLR);
}

// The headers that wrap an item list's payload of items_len bytes in an ilst atom, and that in
// the containers that are missing above it (missing levels: 0 none, 1 meta, 2 udta and meta).
static int wrap_items(uint64_t items_len, int missing, id3_buf* out) {
    uint64_t ilst_size = ATOM_HEADER_LEN + items_len;
    uint64_t meta_size = ATOM_HEADER_LEN + FULL_BOX_HEADER_LEN + MDIR_HANDLER_LEN + ilst_size;
    uint8_t version[FULL_BOX_HEADER_LEN] = {0};
    if (ilst_size > ATOM_SIZE32_MAX - 2 * ATOM_HEADER_LEN - 64) {
        id3_set_error("MP4 item list too large");
        return -1;
    }
    if ((missing >= 2 &&
         append_header(out, "udta", ATOM_HEADER_LEN + meta_size, ATOM_HEADER_LEN) != 0) ||
        (missing >= 1 &&
         (append_header(out, "meta", meta_size, ATOM_HEADER_LEN) != 0 ||
          id3_buf_append(out, version, sizeof version) != 0 || append_mdir_handler(out) != 0)) ||
        append_header(out, "ilst", ilst_size, ATOM_HEADER_LEN) != 0) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

// Finds the path moov/udta/meta/ilst in the moov buffer and sets up the levels to rewrite, with
// *missing the containers to create (as wrap_items takes it) and *ilst the old list when there is
// one. The meta's children start after its version-and-flags word; a meta without that word (the
// older QuickTime layout) is looked into from its start when the list is not found after it.
static int find_path(const uint8_t* buf, const mp4_atom& moov, path_level* levels, int* count,
                     int* missing, mp4_atom* ilst, bool* has_ilst) {
    memset(levels, 0, sizeof(path_level) * PATH_LEVELS_MAX);
    *has_ilst = false;
    levels[0].atom = moov;
    *count = 1;
    *missing = 2;
    mp4_atom udta, meta, extra;
    if (find_atom(buf, payload_at(moov), end_of(moov), "mvex", &extra) == 1) {
        id3_set_error("fragmented MP4 (moof) write unsupported");
        return -1;
    }
    int rc = find_atom(buf, payload_at(moov), end_of(moov), "udta", &udta);
    if (rc < 0)
        return -1;
    levels[0].cut_start = levels[0].cut_end = rc == 1 ? udta.at : end_of(moov);
    if (rc == 0)
        return 0;
    levels[1].atom = udta;
    *count = 2;
    *missing = 1;
    rc = find_atom(buf, payload_at(udta), end_of(udta), "meta", &meta);
    if (rc < 0)
        return -1;
    levels[0].cut_end = end_of(udta);
    levels[1].cut_start = levels[1].cut_end = rc == 1 ? meta.at : end_of(udta);
    if (rc == 0)
        return 0;
    if (meta.size - meta.header < FULL_BOX_HEADER_LEN) {
        id3_set_error("damaged MP4 meta atom");
        return -1;
    }
    levels[1].cut_end = end_of(meta);
    levels[2].atom = meta;
    *count = 3;
    *missing = 0;
    rc = find_atom(buf, payload_at(meta) + FULL_BOX_HEADER_LEN, end_of(meta), "ilst", ilst);
    if (rc != 1 && find_atom(buf, payload_at(meta), end_of(meta), "ilst", &extra) == 1) {
        // Read from its start, the meta holds atoms: the word taken for a version was a size.
        *ilst = extra;
        rc = 1;
        id3_clear_error();
    }
    if (rc < 0)
        return -1;
    *has_ilst = rc == 1;
    levels[2].cut_start = levels[2].cut_end = *has_ilst ? ilst->at : end_of(meta);
    if (*has_ilst)
        levels[2].cut_end = end_of(*ilst);
    return 0;
}

int id3_mp4_build_head(const id3_file* f, const id3_record* t, id3_change change, id3_head* head) {
    top_layout top;
    if (walk_top_level(f, &top) != 0)
        return -1;
    // Memory is bounded by moov: the media data is never read.
    id3_owned_bytes moov_bytes(id3_file_dup(f, top.moov_at, top.moov_size));
    if (!moov_bytes)
        return -1;
    uint8_t* buf = moov_bytes.get();
    mp4_atom moov;
    uint64_t pos = 0;
    if (next_atom(buf, top.moov_size, &pos, &moov) != 1)
        return -1;

    path_level levels[PATH_LEVELS_MAX];
    int count = 0, missing = 0;
    mp4_atom ilst;
    bool has_ilst = false;
    if (find_path(buf, moov, levels, &count, &missing, &ilst, &has_ilst) != 0)
        return -1;

    new_list list = {};
    std::unique_ptr<new_list, void (*)(new_list*)> list_guard(&list, new_list_release);
    id3_buf& items = list.items;
    uint64_t list_start = has_ilst ? payload_at(ilst) : 0;
    uint64_t list_end = has_ilst ? end_of(ilst) : 0;
    if (build_items(buf, list_start, list_end, t, change, &items, &list.items_lent) != 0)
        return -1;
    uint64_t region_end = top.moov_at + top.moov_size;
    bool same_list =
        has_ilst && list.items_lent.piece_count == 0 && items.len == list_end - list_start &&
        (items.len == 0 || memcmp(items.data, buf + list_start, (size_t)items.len) == 0);
    if ((!has_ilst && items.len == 0) || same_list) {
        // Nothing to add where no list was, or the list as it was: moov stays as it is, byte for
        // byte (sizes that run to the end of their container included).
        head->data = moov_bytes.release();
        head->len = top.moov_size;
        head->keep_len = top.moov_at;
        head->audio_off = region_end;
        return 0;
    }
    if (!has_ilst) {
        // The new containers go at the end of the deepest one there is.
        const mp4_atom& c = levels[count - 1].atom;
        uint64_t first = payload_at(c) + (count == PATH_LEVELS_MAX ? FULL_BOX_HEADER_LEN : 0);
        int open = ends_open(buf, first, end_of(c));
        if (open != 0)
            return open < 0 ? -1 : refuse_after_open_end();
    }
    if (has_ilst) {
        // The list keeps its header form unless its size no longer fits it.
        uint64_t size = ilst.header + items_len(&list);
        uint64_t header = ilst.header == ATOM_LARGE_HEADER_LEN || size > ATOM_SIZE32_MAX
                              ? ATOM_LARGE_HEADER_LEN
                              : ATOM_HEADER_LEN;
        if (append_header(&list.before, "ilst", header + items_len(&list), header) != 0) {
            id3_set_error("oom");
            return -1;
        }
        // A free atom right after the list gives or takes the change in its size.
        int64_t change_len = (int64_t)new_list_len(&list) - (int64_t)ilst.size;
        uint64_t after = end_of(ilst);
        mp4_atom next;
        int found = change_len != 0 ? next_atom(buf, end_of(levels[2].atom), &after, &next) : 0;
        if (found < 0)
            return -1;
        if (found == 1 && (strcmp(next.type, "free") == 0 || strcmp(next.type, "skip") == 0) &&
            free_can_take(next.size, change_len)) {
            uint64_t left = next.size - (uint64_t)change_len;
            if (left > 0 && append_free(&list.after, next.type, left) != 0)
                return -1;
            levels[2].cut_end = end_of(next);
        }
    } else if (wrap_items(items_len(&list), missing, &list.before) != 0) {
        return -1;
    }
    size_levels(levels, count, new_list_len(&list));

    int64_t delta = (int64_t)levels[0].new_size - (int64_t)moov.size;
    uint64_t free_left = 0;
    if (delta != 0 && free_can_take(top.free_size, delta)) {
        // The free atom after moov gives or takes the room: nothing after it moves.
        free_left = top.free_size - (uint64_t)delta;
        region_end += top.free_size;
    } else if ((delta > 0 || (delta < 0 && region_end < f->size)) &&
               shift_chunk_offsets(buf, moov,
                                   offset_move{top.moov_at, region_end, f->size, delta}) != 0) {
        // With nothing after moov no sample moves, but a moov that grows would cover whatever
        // offsets point past the file's end (media cut off): those are refused as well.
        return -1;
    }

    // Large items stay where they were built, and the head borrows them.
    bool lend = items.len >= ID3_BORROW_MIN;
    uint64_t borrowed = id3_head_len(&list.items_lent) + (lend ? items.len : 0);
    id3_buf out = {nullptr, 0, 0};
    int rc = id3_buf_reserve(&out, levels[0].new_size - borrowed + free_left);
    if (rc == 0)
        rc = emit_levels(&out, buf, levels, count, 0, &list, head);
    if (rc == 0 && free_left > 0)
        rc = append_free(&out, top.free_type, free_left);
    if (rc != 0) {
        id3_buf_release(&out);
        if (!id3_has_error())
            id3_set_error("oom");
        return -1;
    }
    if (lend) {
        head->lent = items.data;
        items = id3_buf{nullptr, 0, 0};
    }
    head->data = out.data;
    head->len = out.len;
    head->keep_len = top.moov_at;
    head->audio_off = region_end;
    return 0;
}
