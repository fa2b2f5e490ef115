// MP4/M4A tags, the reader: the metadata item list at moov/udta/meta/ilst, loaded once into the
// model (id3_mp4_load_model), from which the record, the property map and the front cover are
// read. The reader over a whole image (id3_mp4_read) walks the list apart, as the check of the
// load.
//
// An MP4 file is a tree of atoms. Each atom starts with a big-endian 32-bit size (the whole atom,
// header included) and a four-byte type; size 1 means a 64-bit size follows the type, size 0 means
// the atom runs to the end of its container. The item list holds one atom per tag, each with a
// "data" child whose payload is a type word, a locale word and then the value.
#include "container.h"
#include "id3v1.h"
#include "id3v2.h"
#include "model.h"
#include "mp4_atom.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {
// A run of bytes inside the file image: the whole image or the payload of one atom.
struct mp4_region {
    const uint8_t* start;
    uint64_t len;
};
} // namespace

// The atom at *pos of the region: 1 with type (four bytes and a NUL) and the payload, *pos moved
// past the atom; 0, leaving *pos and the payload alone, when no atom fits there; -1 as the walker.
static int get_atom(mp4_region region, uint64_t* pos, char type[5], mp4_region* payload) {
    id3_mp4_atom a;
    int rc = id3_mp4_next_atom(region.start, region.len, pos, &a);
    if (rc != 1)
        return rc;
    memcpy(type, a.type, sizeof a.type);
    payload->start = region.start + id3_mp4_payload_at(a);
    payload->len = a.size - a.header;
    return 1;
}

// The payload of the first atom of the given type among the atoms of the region: 1 with *found,
// 0 when the walk ends without one, -1 as get_atom does.
static int find_child(mp4_region region, const char* name, mp4_region* found) {
    uint64_t pos = 0;
    char type[5];
    int rc;
    while ((rc = get_atom(region, &pos, type, found)) == 1) {
        if (strcmp(type, name) == 0)
            return 1;
    }
    return rc;
}

// Stores the value of an item's first "data" child in *field; nothing when there is no such child
// or it is too short for its type and locale words. -1 when memory runs out or an atom is damaged.
static int read_data_string(mp4_region item, char** field) {
    mp4_region data;
    int found = find_child(item, "data", &data);
    if (found != 1 || data.len < DATA_VALUE_AT)
        return found < 0 ? -1 : 0;
    return id3_record_store_text(field, (const char*)data.start + DATA_VALUE_AT,
                                 data.len - DATA_VALUE_AT);
}

// The record's field for one of the five text items, or NULL for any other type.
static char** text_item_field(id3_record* t, const char* type) {
    for (const id3_mp4_field_item& item : id3_mp4_field_items) {
        if (strcmp(type, item.type) != 0)
            continue;
        switch (item.named) {
        case ID3_NAMED_TITLE:
            return &t->title;
        case ID3_NAMED_ARTIST:
            return &t->artist;
        case ID3_NAMED_ALBUM:
            return &t->album;
        case ID3_NAMED_GENRE:
            return &t->genre;
        default:
            return &t->date;
        }
    }
    return nullptr;
}

// A "trkn" or "disk" value (two reserved bytes, the number and the total, each big-endian
// 16-bit) of a data atom as "N/TOTAL", or "N" for a total of 0, in out. False for a value too
// short to hold them.
static bool pair_text(mp4_region data, char* out, size_t out_len) {
    if (data.len < DATA_VALUE_AT + TRKN_TOTAL_AT + 2)
        return false;
    unsigned number = id3_be16(data.start + DATA_VALUE_AT + TRKN_TRACK_AT);
    unsigned total = id3_be16(data.start + DATA_VALUE_AT + TRKN_TOTAL_AT);
    if (total != 0)
        snprintf(out, out_len, "%u/%u", number, total);
    else
        snprintf(out, out_len, "%u", number);
    return true;
}

// "trkn" value: the track.
static int read_track(mp4_region item, id3_record* t) {
    mp4_region data;
    char text[32];
    int found = find_child(item, "data", &data);
    if (found != 1 || !pair_text(data, text, sizeof text))
        return found < 0 ? -1 : 0;
    return id3_record_store_text(&t->track, text, strlen(text));
}

// The genre a "gnre" item's data atom names: a big-endian 16-bit number N, ID3v1 genre N - 1.
// NULL for a value of another length or a number of no genre.
static const char* numeric_genre(mp4_region data) {
    if (data.len != DATA_VALUE_AT + GNRE_VALUE_LEN)
        return nullptr;
    unsigned number = id3_be16(data.start + DATA_VALUE_AT);
    return number == 0 ? nullptr : id3_v1_genre_name(number - 1);
}

// "gnre" value: the genre, where no text genre item came before (a later one replaces it).
static int read_numeric_genre(mp4_region item, id3_record* t) {
    mp4_region data;
    int found = find_child(item, "data", &data);
    if (found != 1 || t->genre)
        return found < 0 ? -1 : 0;
    const char* name = numeric_genre(data);
    return name ? id3_record_store_text(&t->genre, name, strlen(name)) : 0;
}

// "covr" value: the image file's bytes. Files mark PNG and JPEG with the data type code, but the
// picture itself is what decides: a PNG starts with 0x89.
static int read_cover(mp4_region item, id3_record* t, bool want_cover) {
    mp4_region data;
    int found = find_child(item, "data", &data);
    if (found != 1 || data.len <= DATA_VALUE_AT)
        return found < 0 ? -1 : 0; // a damaged atom, or no picture byte
    uint64_t n = data.len - DATA_VALUE_AT;
    const uint8_t* image = data.start + DATA_VALUE_AT;
    const char* mime = n >= 4 && image[0] == 0x89 ? "image/png" : ID3_DEFAULT_MIME;
    return id3_record_store_cover(t, image, n, mime, strlen(mime), want_cover);
}

// A run of the file's bytes: the whole file or the payload of one atom, read only where needed.
namespace {
struct mp4_span {
    uint64_t off;
    uint64_t len;
};
} // namespace

// Reads the items of an item list held in memory.
static int read_items(mp4_region ilst, id3_record* t, bool want_cover) {
    uint64_t pos = 0;
    char type[5];
    mp4_region item;
    int found;
    while ((found = get_atom(ilst, &pos, type, &item)) == 1) {
        int rc = 0;
        int kind = id3_mp4_item_rule_of(type)->kind;
        if (char** field = text_item_field(t, type)) {
            rc = read_data_string(item, field);
        } else if (strcmp(type, "trkn") == 0) { // the track, not the disc
            rc = read_track(item, t);
        } else if (kind == MP4_ITEM_GENRE_CODE) {
            rc = read_numeric_genre(item, t);
        } else if (kind == MP4_ITEM_PICTURE) {
            rc = read_cover(item, t, want_cover);
        }
        if (rc != 0) {
            // A record missing a tag the file holds must not pass for the file's tags.
            if (!id3_has_error())
                id3_set_error("oom");
            return -1;
        }
    }
    return found < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Property values and keys

// The type code in the low 24 bits of a "data" atom's type word: UTF-8 text, a big-endian signed
// or unsigned integer of 1, 2, 4 or 8 bytes; other codes (0 among them, which trkn, disk, purl
// and egid carry) are read as text unless the item says otherwise. In a freeform item any other
// code is binary data (iTunes' "Encoding Params"): no value.
#define DATA_TYPE_MASK 0xFFFFFFu

// The value of a big-endian integer of n (1, 2, 4 or 8) bytes, signed or not, as decimal text in
// out (at least 24 bytes). False for any other length.
static bool integer_text(const uint8_t* p, uint64_t n, bool is_signed, char* out, size_t out_len) {
    uint64_t v = 0;
    if (n != 1 && n != 2 && n != 4 && n != 8)
        return false;
    for (uint64_t i = 0; i < n; i++)
        v = v << 8 | p[i];
    if (is_signed && n < 8 && (v >> (8 * n - 1)) != 0)
        v |= ~(uint64_t)0 << (8 * n); // sign extension
    if (is_signed)
        snprintf(out, out_len, "%lld", (long long)(int64_t)v);
    else
        snprintf(out, out_len, "%llu", (unsigned long long)v);
    return true;
}

// Adds the property value of one "data" atom (type word, locale word, value) of an item of the
// given kind to the item. A track or disc pair gives "N" or "N/TOTAL", cpil and tmpo give their
// number, gnre its genre's name, integer codes a number, anything else the bytes as text. Binary
// data in a freeform item and a text holding a 00 byte (iTunes' iTunNORM may end in one) give no
// value: no property value holds U+0000, and an item not listed is carried as it is by every
// write that does not name its key. (covr's values are pictures: see load_children.) -1 when
// memory runs out.
static int add_data_value(int kind, mp4_region data, id3_item* item) {
    if (data.len < DATA_VALUE_AT)
        return 0;
    const uint8_t* value = data.start + DATA_VALUE_AT;
    uint64_t n = data.len - DATA_VALUE_AT;
    uint32_t code = id3_be32(data.start) & DATA_TYPE_MASK;
    char number[48];
    if (kind == MP4_ITEM_GENRE_CODE) {
        const char* genre = numeric_genre(data);
        return genre ? id3_item_add_value(item, genre, strlen(genre)) : 0;
    }
    if (kind == MP4_ITEM_PAIR) {
        if (!pair_text(data, number, sizeof number))
            return 0;
        return id3_item_add_value(item, number, strlen(number));
    }
    bool numeric =
        kind == MP4_ITEM_NUMBER || code == DATA_TYPE_SIGNED || code == DATA_TYPE_UNSIGNED;
    if (numeric && integer_text(value, n, code != DATA_TYPE_UNSIGNED, number, sizeof number))
        return id3_item_add_value(item, number, strlen(number));
    if (numeric)
        return 0; // an integer of no integer length
    bool binary = kind == MP4_ITEM_FREEFORM && code != DATA_TYPE_UTF8;
    if (binary || (n > 0 && memchr(value, 0, (size_t)n)))
        return 0;
    return id3_item_add_value(item, (const char*)value, n);
}

// The text of a freeform item's "mean" or "name" child; an empty text when there is none. -1
// when an atom is damaged.
static int freeform_part(mp4_region item, const char* child, mp4_region* text) {
    *text = mp4_region{nullptr, 0};
    mp4_region found;
    int rc = find_child(item, child, &found);
    if (rc == 1 && found.len >= FULL_BOX_HEADER_LEN)
        *text = mp4_region{found.start + FULL_BOX_HEADER_LEN, found.len - FULL_BOX_HEADER_LEN};
    return rc < 0 ? -1 : 0;
}

// The key of one item (its payload) into key, NUL-terminated: a freeform item ("----") is
// "----:MEAN:NAME" in the table, or its NAME, upper-cased, when the table has no row for it; the
// numeric genre (gnre) is GENRE, as the text one; other items of no row have none: their values
// are flags and numbers of the player (stik, rtng, pgap), not texts. covr's key is empty: its
// values are pictures. 1, 0 for no key, -1 when memory runs out or an atom is damaged.
static int item_key(const char* type, mp4_region item, id3_buf* key) {
    key->len = 0;
    const char* row_key = "";
    int kind = id3_mp4_item_rule_of(type)->kind;
    if (kind == MP4_ITEM_FREEFORM) {
        mp4_region mean, leaf;
        if (freeform_part(item, "mean", &mean) != 0 || freeform_part(item, "name", &leaf) != 0)
            return -1;
        if (id3_buf_append(key, "----:", 5) != 0 ||
            id3_buf_append(key, mean.start, mean.len) != 0 || id3_buf_append(key, ":", 1) != 0 ||
            id3_buf_append(key, leaf.start, leaf.len) != 0)
            return -1;
        row_key = id3_property_of_mp4((const char*)key->data, key->len);
        if (!row_key) {
            key->len = 0;
            if (id3_buf_append(key, leaf.start, leaf.len) != 0 || id3_buf_append(key, "", 1) != 0)
                return -1;
            for (uint64_t i = 0; i < leaf.len; i++) {
                if (key->data[i] >= 'a' && key->data[i] <= 'z')
                    key->data[i] = (uint8_t)(key->data[i] - 'a' + 'A');
            }
            return 1;
        }
    } else if (kind == MP4_ITEM_GENRE_CODE) {
        row_key = "GENRE";
    } else if (kind != MP4_ITEM_PICTURE) {
        row_key = id3_property_of_mp4(type, 4);
        if (!row_key)
            return 0;
    }
    key->len = 0;
    return id3_buf_append(key, row_key, strlen(row_key) + 1) == 0 ? 1 : -1;
}

int id3_mp4_item_key(const char* type, const uint8_t* payload, uint64_t len, id3_buf* key) {
    return item_key(type, mp4_region{payload, len}, key);
}

// ---------------------------------------------------------------------------------------------
// The load: one walk of the file's top-level atoms and of its item list into the model

// The payload of the first atom of the given type among the atoms of the file's region, read by
// their headers alone. 1 found, 0 not, -1 when the file cannot be read or an atom's size is
// damaged (message recorded).
static int find_child_in_file(const id3_file* f, mp4_span region, const char* name,
                              mp4_span* found) {
    uint64_t pos = region.off;
    id3_mp4_atom a;
    int rc;
    while ((rc = id3_mp4_next_atom_in_file(f, region.off + region.len, &pos, &a)) == 1) {
        if (strcmp(a.type, name) == 0) {
            *found = mp4_span{id3_mp4_payload_at(a), a.size - a.header};
            return 1;
        }
    }
    return rc;
}

// Adds a region for each top-level atom, by their headers alone, and finds the first moov: 1 with
// *moov its payload, 0 when there is none, -1 with a message when damage or a failed read comes
// before it. Damage after moov ends the regions without a fault: the tags are in moov.
static int load_top_level(const id3_file* f, id3_model* m, mp4_span* moov) {
    uint64_t pos = 0;
    id3_mp4_atom a;
    bool found = false;
    int rc;
    while ((rc = id3_mp4_next_atom_in_file(f, f->size, &pos, &a)) == 1) {
        if (id3_model_add_region(m, ID3_REGION_MP4_ATOM, a.at, a.size,
                                 id3_be32((uint8_t*)a.type)) != 0) {
            id3_set_error("oom");
            return -1;
        }
        if (!found && strcmp(a.type, "moov") == 0) {
            *moov = mp4_span{id3_mp4_payload_at(a), a.size - a.header};
            found = true;
        }
    }
    if (rc < 0 && found)
        id3_clear_error();
    return rc < 0 && !found ? -1 : found ? 1 : 0;
}

// Finds the item list's payload under moov (udta/meta/ilst): 1 with *ilst, 0 when there is none,
// -1 with a message.
static int find_item_list(const id3_file* f, mp4_span moov, mp4_span* ilst) {
    mp4_span udta, meta;
    int rc = find_child_in_file(f, moov, "udta", &udta);
    if (rc == 1)
        rc = find_child_in_file(f, udta, "meta", &meta);
    if (rc == 1 && meta.len < FULL_BOX_HEADER_LEN)
        return 0;
    if (rc == 1) {
        // meta is a full box (a version-and-flags word before its children) in files that follow
        // the ISO layout, and a plain container in some older QuickTime-style files.
        rc = find_child_in_file(
            f, mp4_span{meta.off + FULL_BOX_HEADER_LEN, meta.len - FULL_BOX_HEADER_LEN}, "ilst",
            ilst);
        if (rc == 0)
            rc = find_child_in_file(f, meta, "ilst", ilst);
    }
    return rc;
}

// The mime type of a picture: files mark PNG and JPEG with the data type code, but the picture
// itself is what decides: a PNG starts with 0x89.
static const char* picture_mime(const uint8_t* image, uint64_t n) {
    return n >= 4 && image[0] == 0x89 ? "image/png" : ID3_DEFAULT_MIME;
}

static void set_picture(id3_item* item, const uint8_t* image, uint64_t n, int rank) {
    item->kind = ID3_ITEM_PICTURE;
    item->picture_type = ID3_PICTURE_FRONT_COVER;
    snprintf(item->mime, sizeof item->mime, "%s", picture_mime(image, n));
    item->data = image;
    item->data_len = n;
    item->rank = rank;
}

// Walks the children of the item at index `at` of the model (the atom a of the item list's
// payload in list): its first data atom's value (data, data_len), its property values where it
// has a key, and for covr one picture item per picture after the first. 0, or -1 when memory runs
// out.
static int load_children(id3_model* m, uint64_t at, const uint8_t* list, uint64_t list_off,
                         const id3_mp4_atom& a, int kind, bool keyed) {
    mp4_region payload = {list + id3_mp4_payload_at(a), a.size - a.header};
    uint64_t pos = 0;
    char child[5];
    mp4_region data;
    bool first = true;
    int rc;
    while ((rc = get_atom(payload, &pos, child, &data)) == 1) {
        if (strcmp(child, "data") != 0)
            continue;
        id3_item* item = &m->items[at];
        const uint8_t* value = data.start + DATA_VALUE_AT;
        uint64_t n = data.len >= DATA_VALUE_AT ? data.len - DATA_VALUE_AT : 0;
        if (first && data.len >= DATA_VALUE_AT) {
            item->data = value;
            item->data_len = n;
        }
        if (kind == MP4_ITEM_PICTURE && n > 0) {
            if (item->kind == ID3_ITEM_PICTURE) {
                // A further picture: an item of its own, its data atom carried as it stands.
                item = id3_model_add_item(m);
                if (!item)
                    return -1;
                item->tag = ID3_REGION_MP4_ITEM_LIST;
                item->id = m->items[at].id;
                item->id_len = 4;
                item->raw = data.start - ATOM_HEADER_LEN;
                item->raw_off = list_off + (uint64_t)(item->raw - list);
                item->raw_len = data.len + ATOM_HEADER_LEN;
            }
            set_picture(item, value, n, first ? 0 : 1);
        } else if (keyed && kind != MP4_ITEM_PICTURE && add_data_value(kind, data, item) != 0) {
            return -1;
        }
        first = false;
    }
    if (rc < 0) {
        // Damage is the folds' concern: the record meets it when it comes before the first
        // data atom, the property map in any item with a key.
        id3_clear_error();
        m->items[at].damaged =
            (keyed ? ID3_ITEM_DAMAGED_FOR_PROPS : 0) | (first ? ID3_ITEM_DAMAGED_FOR_RECORD : 0);
    }
    return 0;
}

// Adds the item of the atom a of the item list's payload (list, at list_off in the file). 0, or
// -1 when memory runs out.
static int load_item(id3_model* m, const uint8_t* list, uint64_t list_off, const id3_mp4_atom& a) {
    uint64_t at = m->item_count;
    id3_item* item = id3_model_add_item(m);
    if (!item)
        return -1;
    item->tag = ID3_REGION_MP4_ITEM_LIST;
    item->kind = ID3_ITEM_OTHER;
    item->id = (const char*)list + a.at + 4;
    item->id_len = 4;
    item->raw = list + a.at;
    item->raw_off = list_off + a.at;
    item->raw_len = a.size;
    int kind = id3_mp4_item_rule_of(a.type)->kind;
    id3_buf key = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&key, id3_buf_release);
    int has_key =
        item_key(a.type, mp4_region{list + id3_mp4_payload_at(a), a.size - a.header}, &key);
    if (has_key < 0 && !id3_has_error())
        return -1;
    if (has_key < 0) {
        id3_clear_error(); // a damaged freeform item: no key, and no property map
        item->damaged = ID3_ITEM_DAMAGED_FOR_PROPS;
    }
    if (has_key == 1 && kind != MP4_ITEM_PICTURE) {
        item->kind = ID3_ITEM_TEXT;
        item->key = (char*)key.data;
        key.data = nullptr;
    }
    bool keyed = has_key == 1;
    return has_key < 0 ? 0 : load_children(m, at, list, list_off, a, kind, keyed);
}

int id3_mp4_load_model(const id3_file* f, id3_model* m) {
    m->format = ID3_FMT_MP4;
    if (f->size < 8) {
        id3_set_error("too short for MP4");
        return -1;
    }
    // Only the atom headers on the way to the item list are read, wherever moov lies: never the
    // media data nor the sample tables.
    mp4_span moov, ilst;
    int rc = load_top_level(f, m, &moov);
    if (rc == 1)
        rc = find_item_list(f, moov, &ilst);
    if (rc != 1)
        return rc;
    uint8_t* list = id3_file_dup(f, ilst.off, ilst.len);
    if (!list)
        return -1;
    if (id3_model_hold(m, list) != 0 ||
        id3_model_add_region(m, ID3_REGION_MP4_ITEM_LIST, ilst.off, ilst.len, 0) != 0) {
        id3_set_error("oom");
        return -1;
    }
    uint64_t pos = 0;
    id3_mp4_atom a;
    while ((rc = id3_mp4_next_atom(list, ilst.len, &pos, &a)) == 1) {
        if (load_item(m, list, ilst.off, a) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return rc < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------------------------
// The record and the property map of an MP4 model
//
// The record reads the first data atom of the items of its fields, as they stand (a later item
// replaces an earlier one; the numeric genre counts only where no genre came before), and the
// cover from the first picture of a covr item (rank 0; the last such); the property map lists
// every keyed item's values and every picture.

#define MP4_DAMAGED_MESSAGE "MP4 atom size smaller than its header"

// The record's cover: the first picture of a covr item (rank 0), of the last such item.
static const id3_item* front_cover(const id3_model* m) {
    const id3_item* cover = nullptr;
    for (uint64_t i = 0; i < m->item_count; i++) {
        if (m->items[i].kind == ID3_ITEM_PICTURE && m->items[i].rank == 0)
            cover = &m->items[i];
    }
    return cover;
}

static int record_of_model(const id3_model* m, id3_record* t, bool copy_cover) {
    t->format = ID3_FMT_MP4;
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        char type[5];
        memcpy(type, item->id, 4);
        type[4] = '\0';
        char** field = text_item_field(t, type);
        bool track = strcmp(type, "trkn") == 0; // the track, not the disc
        int kind = id3_mp4_item_rule_of(type)->kind;
        bool used = field || track || kind == MP4_ITEM_GENRE_CODE || kind == MP4_ITEM_PICTURE;
        if (used && (item->damaged & ID3_ITEM_DAMAGED_FOR_RECORD)) {
            id3_set_error(MP4_DAMAGED_MESSAGE);
            return -1;
        }
        // data is the first data atom's value (NULL: none, or one too short for its words).
        mp4_region data = {item->data ? item->data - DATA_VALUE_AT : nullptr,
                           item->data ? item->data_len + DATA_VALUE_AT : 0};
        int rc = 0;
        char number[32];
        if (!item->data) {
            continue;
        } else if (field) {
            rc = id3_record_store_text(field, (const char*)item->data, item->data_len);
        } else if (track) {
            rc = pair_text(data, number, sizeof number)
                     ? id3_record_store_text(&t->track, number, strlen(number))
                     : 0;
        } else if (kind == MP4_ITEM_GENRE_CODE && !t->genre) {
            const char* name = numeric_genre(data);
            rc = name ? id3_record_store_text(&t->genre, name, strlen(name)) : 0;
        } else if (item->kind == ID3_ITEM_PICTURE && item->rank == 0) {
            rc = id3_record_store_cover(t, item->data, item->data_len, item->mime,
                                        strlen(item->mime), copy_cover);
        }
        if (rc != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return 0;
}

static int props_of_model(const id3_model* m, id3_property_map* p) {
    p->format = ID3_FMT_MP4;
    for (uint64_t i = 0; i < m->item_count; i++) {
        if (m->items[i].damaged & ID3_ITEM_DAMAGED_FOR_PROPS) {
            id3_set_error(MP4_DAMAGED_MESSAGE);
            return -1;
        }
    }
    // Every item ranks alike: the map lists every value and picture in the list's order.
    return id3_model_props(m, p);
}

int id3_mp4_load(const id3_file* f, id3_record* t, bool copy_cover) {
    t->format = ID3_FMT_MP4;
    id3_model m = {};
    id3_model_guard guard{&m};
    int rc = id3_mp4_load_model(f, &m);
    if (rc == 0)
        rc = record_of_model(&m, t, copy_cover);
    if (rc != 0) {
        // A damaged item list gives no tags: what was read before the fault is dropped.
        if (!id3_has_error())
            id3_set_error("oom");
        id3_record_free(t);
        t->format = ID3_FMT_MP4;
    }
    return rc;
}

int id3_mp4_load_cover(const id3_file* f, id3_model* m, const uint8_t** data, uint64_t* len) {
    *data = nullptr;
    *len = 0;
    // The load fails where a read of the record fails.
    id3_record t;
    id3_record_init(&t);
    id3_record_guard guard{&t};
    if (id3_mp4_load_model(f, m) != 0 || record_of_model(m, &t, false) != 0) {
        if (!id3_has_error())
            id3_set_error("oom");
        return -1;
    }
    if (const id3_item* cover = front_cover(m)) {
        *data = cover->data;
        *len = cover->data_len;
    }
    return 0;
}

int id3_mp4_load_props(const id3_file* f, id3_property_map* p) {
    p->format = ID3_FMT_MP4;
    id3_model m = {};
    id3_model_guard guard{&m};
    int rc = id3_mp4_load_model(f, &m);
    if (rc == 0)
        rc = props_of_model(&m, p);
    if (rc != 0) {
        // As for the record: a damaged item list gives no properties.
        if (!id3_has_error())
            id3_set_error("oom");
        id3_property_map_free(p);
        p->format = ID3_FMT_MP4;
    }
    return rc;
}

// The reader over a whole image, walked apart from the load: the tests hold the two against each
// other.
int id3_mp4_read(const uint8_t* data, uint64_t len, id3_record* t) {
    t->format = ID3_FMT_MP4;
    if (!data || len < 8) {
        id3_set_error("too short for MP4");
        return -1;
    }
    mp4_region moov, udta, meta, ilst;
    int rc = find_child(mp4_region{data, len}, "moov", &moov);
    if (rc == 1)
        rc = find_child(moov, "udta", &udta);
    if (rc == 1)
        rc = find_child(udta, "meta", &meta);
    if (rc == 1 && meta.len < FULL_BOX_HEADER_LEN)
        return 0;
    if (rc == 1) {
        rc =
            find_child(mp4_region{meta.start + FULL_BOX_HEADER_LEN, meta.len - FULL_BOX_HEADER_LEN},
                       "ilst", &ilst);
        if (rc == 0)
            rc = find_child(meta, "ilst", &ilst);
    }
    if (rc != 1)
        return rc;
    rc = read_items(ilst, t, true);
    if (rc != 0) {
        id3_record_free(t);
        t->format = ID3_FMT_MP4;
    }
    return rc;
}
