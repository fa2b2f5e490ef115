// MP4/M4A tags, the reader: the metadata item list at moov/udta/meta/ilst.
//
// An MP4 file is a tree of atoms. Each atom starts with a big-endian 32-bit size (the whole atom,
// header included) and a four-byte type; size 1 means a 64-bit size follows the type, size 0 means
// the atom runs to the end of its container. The item list holds one atom per tag, each with a
// "data" child whose payload is a type word, a locale word and then the value.
#include "container.h"
#include "id3v1.h"
#include "id3v2.h"
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

// The extent of the atom whose header starts at p, with `remaining` bytes of its region left from
// there (at least 8; p holds 16 bytes when remaining allows). 1 with *size (the whole atom) and
// *header_size set, 0 when the header does not describe an atom that fits, -1 (message recorded)
// for a size smaller than the header that holds it: a damaged file, which peers refuse.
int id3_mp4_atom_extent(const uint8_t* p, uint64_t remaining, uint64_t* size,
                        uint64_t* header_size) {
    *size = id3_be32(p);
    *header_size = ATOM_HEADER_LEN;
    if (*size == ATOM_SIZE_TO_END) {
        *size = remaining;
    } else if (*size == ATOM_SIZE_LARGE) {
        // The 64-bit size must be inside the region before it is read.
        if (remaining < ATOM_LARGE_HEADER_LEN)
            return 0;
        *size = id3_be64(p + ATOM_HEADER_LEN);
        *header_size = ATOM_LARGE_HEADER_LEN;
        if (*size < ATOM_LARGE_HEADER_LEN) {
            id3_set_error("MP4 atom size smaller than its header");
            return -1;
        }
        if (*size > remaining)
            return 0;
    } else if (*size < ATOM_HEADER_LEN) {
        id3_set_error("MP4 atom size smaller than its header");
        return -1;
    } else if (*size > remaining) {
        return 0;
    }
    return 1;
}

// Reads the atom header at *pos of the region. On success fills type (four bytes and a NUL) and
// the payload, moves *pos past the atom and returns 1. Returns 0, leaving *pos and the payload
// alone, when fewer than 8 bytes remain or the header does not describe an atom that fits; -1 as
// id3_mp4_atom_extent does.
static int get_atom(mp4_region region, uint64_t* pos, char type[5], mp4_region* payload) {
    if (*pos > region.len || region.len - *pos < ATOM_HEADER_LEN)
        return 0;
    uint64_t remaining = region.len - *pos;
    const uint8_t* p = region.start + *pos;
    memcpy(type, p + 4, 4);
    type[4] = '\0';
    uint64_t size, header;
    int extent = id3_mp4_atom_extent(p, remaining, &size, &header);
    if (extent != 1)
        return extent;
    payload->start = p + header;
    payload->len = size - header;
    *pos += size;
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
    return id3_tags_store_text(field, (const char*)data.start + DATA_VALUE_AT,
                               data.len - DATA_VALUE_AT);
}

// The record's field for one of the five text items, or NULL for any other type. Their types
// start with the single byte 0xA9 (octal 251), the copyright sign in ISO-8859-1.
static char** text_item_field(id3_tags* t, const char* type) {
    if (strcmp(type, "\251nam") == 0)
        return &t->title;
    if (strcmp(type, "\251ART") == 0)
        return &t->artist;
    if (strcmp(type, "\251alb") == 0)
        return &t->album;
    if (strcmp(type, "\251gen") == 0)
        return &t->genre;
    if (strcmp(type, "\251day") == 0)
        return &t->date;
    return nullptr;
}

// "trkn" value: two reserved bytes, the track number and the total, each big-endian 16-bit.
static int read_track(mp4_region item, id3_tags* t) {
    mp4_region data;
    int found = find_child(item, "data", &data);
    if (found != 1 || data.len < DATA_VALUE_AT + TRKN_TOTAL_AT + 2)
        return found < 0 ? -1 : 0;
    unsigned track = id3_be16(data.start + DATA_VALUE_AT + TRKN_TRACK_AT);
    unsigned total = id3_be16(data.start + DATA_VALUE_AT + TRKN_TOTAL_AT);
    char* text = (char*)malloc(32);
    if (!text)
        return -1;
    if (total != 0)
        snprintf(text, 32, "%u/%u", track, total);
    else
        snprintf(text, 32, "%u", track);
    free(t->track);
    t->track = text;
    return 0;
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
static int read_numeric_genre(mp4_region item, id3_tags* t) {
    mp4_region data;
    int found = find_child(item, "data", &data);
    if (found != 1 || t->genre)
        return found < 0 ? -1 : 0;
    const char* name = numeric_genre(data);
    return name ? id3_tags_store_text(&t->genre, name, strlen(name)) : 0;
}

// "covr" value: the image file's bytes. Files mark PNG and JPEG with the data type code, but the
// picture itself is what decides: a PNG starts with 0x89.
static int read_cover(mp4_region item, id3_tags* t, bool want_cover) {
    mp4_region data;
    int found = find_child(item, "data", &data);
    if (found != 1 || data.len <= DATA_VALUE_AT)
        return found < 0 ? -1 : 0; // a damaged atom, or no picture byte
    uint64_t n = data.len - DATA_VALUE_AT;
    const uint8_t* image = data.start + DATA_VALUE_AT;
    const char* mime = n >= 4 && image[0] == 0x89 ? "image/png" : ID3_DEFAULT_MIME;
    return id3_tags_store_cover(t, image, n, mime, strlen(mime), want_cover);
}

// A run of the file's bytes: the whole file or the payload of one atom, read only where needed.
namespace {
struct mp4_span {
    uint64_t off;
    uint64_t len;
};
} // namespace

// get_atom over the file: reads only the atom's header, the 64-bit size only where the 32-bit one
// says it follows, so that no payload byte is read here and again with the payload. 1 with *pos
// moved past the atom, 0 when no atom fits there, -1 when the file cannot be read or the atom's
// size is damaged (message recorded).
static int get_atom_in_file(const id3_file* f, mp4_span region, uint64_t* pos, char type[5],
                            mp4_span* payload) {
    if (*pos > region.len || region.len - *pos < ATOM_HEADER_LEN)
        return 0;
    uint64_t remaining = region.len - *pos;
    uint8_t header[ATOM_LARGE_HEADER_LEN];
    if (id3_file_read(f, region.off + *pos, header, ATOM_HEADER_LEN) != 0)
        return -1;
    if (id3_be32(header) == ATOM_SIZE_LARGE && remaining >= ATOM_LARGE_HEADER_LEN &&
        id3_file_read(f, region.off + *pos + ATOM_HEADER_LEN, header + ATOM_HEADER_LEN,
                      ATOM_LARGE_HEADER_LEN - ATOM_HEADER_LEN) != 0)
        return -1;
    memcpy(type, header + 4, 4);
    type[4] = '\0';
    uint64_t size, header_size;
    int extent = id3_mp4_atom_extent(header, remaining, &size, &header_size);
    if (extent != 1)
        return extent;
    payload->off = region.off + *pos + header_size;
    payload->len = size - header_size;
    *pos += size;
    return 1;
}

// find_child over the file: the payload of the first atom of the given type. 1 found, 0 not, -1
// when the file cannot be read.
static int find_child_in_file(const id3_file* f, mp4_span region, const char* name,
                              mp4_span* found) {
    uint64_t pos = 0;
    char type[5];
    mp4_span payload;
    int rc;
    while ((rc = get_atom_in_file(f, region, &pos, type, &payload)) == 1) {
        if (strcmp(type, name) == 0) {
            *found = payload;
            return 1;
        }
    }
    return rc;
}

// Reads the items of an item list held in memory.
static int read_items(mp4_region ilst, id3_tags* t, bool want_cover) {
    uint64_t pos = 0;
    char type[5];
    mp4_region item;
    int found;
    while ((found = get_atom(ilst, &pos, type, &item)) == 1) {
        int rc = 0;
        if (char** field = text_item_field(t, type)) {
            rc = read_data_string(item, field);
        } else if (strcmp(type, "trkn") == 0) {
            rc = read_track(item, t);
        } else if (strcmp(type, "gnre") == 0) {
            rc = read_numeric_genre(item, t);
        } else if (strcmp(type, "covr") == 0) {
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

// Reads the item list into a malloc'd copy (*items, *items_len): 1, 0 when the file has none, -1
// with a message.
static int load_item_list(const id3_file* f, uint8_t** items, uint64_t* items_len) {
    if (f->size < 8) {
        id3_set_error("too short for MP4");
        return -1;
    }
    // Only the atom headers on the way to the item list are read, wherever moov lies: never the
    // media data nor the sample tables.
    mp4_span moov, udta, meta, ilst;
    int rc = find_child_in_file(f, mp4_span{0, f->size}, "moov", &moov);
    if (rc == 1)
        rc = find_child_in_file(f, moov, "udta", &udta);
    if (rc == 1)
        rc = find_child_in_file(f, udta, "meta", &meta);
    if (rc == 1 && meta.len < FULL_BOX_HEADER_LEN)
        return 0;
    if (rc == 1) {
        // meta is a full box (a version-and-flags word before its children) in files that follow
        // the ISO layout, and a plain container in some older QuickTime-style files.
        rc = find_child_in_file(
            f, mp4_span{meta.off + FULL_BOX_HEADER_LEN, meta.len - FULL_BOX_HEADER_LEN}, "ilst",
            &ilst);
        if (rc == 0)
            rc = find_child_in_file(f, meta, "ilst", &ilst);
    }
    if (rc != 1)
        return rc;
    *items = id3_file_dup(f, ilst.off, ilst.len);
    *items_len = ilst.len;
    return *items ? 1 : -1;
}

int id3_mp4_load(const id3_file* f, id3_tags* t, int want_cover, id3_old_tag* keep) {
    t->format = ID3_FMT_MP4;
    uint8_t* items = nullptr;
    uint64_t items_len = 0;
    int rc = load_item_list(f, &items, &items_len);
    if (rc != 1)
        return rc;
    // With ID3_COVER_IN_TAG the picture stays in the item list's copy, which keep then holds.
    bool in_tag = want_cover == ID3_COVER_IN_TAG && keep;
    t->cover_seen = nullptr;
    rc = read_items(mp4_region{items, items_len}, t, want_cover != 0 && !in_tag);
    if (rc == 0 && in_tag && t->cover_seen) {
        keep->cover = t->cover_seen;
        keep->cover_len = t->cover_seen_len;
        keep->tag_copy = items;
        items = nullptr;
    }
    free(items);
    if (rc != 0) {
        // A damaged item list gives no tags: what was read before the fault is dropped.
        id3_tags_free(t);
        t->format = ID3_FMT_MP4;
    }
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Properties

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

// The key of one item, for id3_props_add: the bytes, their count, and whether to upper-case them.
namespace {
struct mp4_key {
    const char* text;
    uint64_t len;
    bool upper;
};
} // namespace

static int add_text(id3_props* p, mp4_key key, const char* value, uint64_t value_len) {
    return id3_props_add(p, key.text, key.len, key.upper, value, value_len);
}

// Adds one "data" atom's value (type word, locale word, value) of the item `type` under key. A
// track or disc pair gives "N" or "N/TOTAL", cpil and tmpo give their number, gnre its genre's
// name, covr a picture (front cover; the bytes decide PNG or JPEG, as for the record's cover),
// integer codes a number, anything else the bytes as text. Binary data in a freeform item and a
// text holding a 00 byte (iTunes' iTunNORM may end in one) give no value: no property value
// holds U+0000, and an item not listed is carried as it is by every write that does not name
// its key. -1 when memory runs out.
static int add_data_value(const char* type, mp4_key key, mp4_region data, id3_props* p) {
    if (data.len < DATA_VALUE_AT)
        return 0;
    const uint8_t* value = data.start + DATA_VALUE_AT;
    uint64_t n = data.len - DATA_VALUE_AT;
    uint32_t code = id3_be32(data.start) & DATA_TYPE_MASK;
    char number[48];
    if (strcmp(type, "gnre") == 0) {
        const char* genre = numeric_genre(data);
        return genre ? add_text(p, key, genre, strlen(genre)) : 0;
    }
    if (strcmp(type, "covr") == 0) {
        if (n == 0)
            return 0;
        const char* mime = n >= 4 && value[0] == 0x89 ? "image/png" : ID3_DEFAULT_MIME;
        return id3_props_add_picture(p, ID3_PICTURE_FRONT_COVER, mime, strlen(mime), "", 0, n);
    }
    if (strcmp(type, "trkn") == 0 || strcmp(type, "disk") == 0) {
        if (data.len < DATA_VALUE_AT + TRKN_TOTAL_AT + 2)
            return 0;
        unsigned number_value = id3_be16(data.start + DATA_VALUE_AT + TRKN_TRACK_AT);
        unsigned total = id3_be16(data.start + DATA_VALUE_AT + TRKN_TOTAL_AT);
        if (total != 0)
            snprintf(number, sizeof number, "%u/%u", number_value, total);
        else
            snprintf(number, sizeof number, "%u", number_value);
        return add_text(p, key, number, strlen(number));
    }
    bool numeric = strcmp(type, "cpil") == 0 || strcmp(type, "tmpo") == 0 ||
                   code == DATA_TYPE_SIGNED || code == DATA_TYPE_UNSIGNED;
    if (numeric && integer_text(value, n, code != DATA_TYPE_UNSIGNED, number, sizeof number))
        return add_text(p, key, number, strlen(number));
    if (numeric)
        return 0; // an integer of no integer length
    bool binary = strcmp(type, "----") == 0 && code != DATA_TYPE_UTF8;
    if (binary || (n > 0 && memchr(value, 0, (size_t)n)))
        return 0;
    return add_text(p, key, (const char*)value, n);
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
    if (strcmp(type, "----") == 0) {
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
    } else if (strcmp(type, "gnre") == 0) {
        row_key = "GENRE";
    } else if (strcmp(type, "covr") != 0) {
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

// Adds one item's values (covr's pictures) under its key. -1 when memory runs out or an atom is
// damaged.
static int add_item_props(const char* type, mp4_region item, id3_props* p) {
    id3_buf name = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&name, id3_buf_release);
    int has_key = item_key(type, item, &name);
    if (has_key <= 0)
        return has_key;
    mp4_key key = {(const char*)name.data, name.len - 1, false};
    uint64_t pos = 0;
    char child[5];
    mp4_region data;
    int found = 0;
    while ((found = get_atom(item, &pos, child, &data)) == 1) {
        if (strcmp(child, "data") == 0 && add_data_value(type, key, data, p) != 0)
            return -1;
    }
    return found < 0 ? -1 : 0;
}

int id3_mp4_load_props(const id3_file* f, id3_props* p) {
    p->format = ID3_FMT_MP4;
    uint8_t* items = nullptr;
    uint64_t items_len = 0;
    int rc = load_item_list(f, &items, &items_len);
    if (rc != 1)
        return rc;
    mp4_region ilst = {items, items_len};
    uint64_t pos = 0;
    char type[5];
    mp4_region item;
    int found = 0;
    rc = 0;
    while (rc == 0 && (found = get_atom(ilst, &pos, type, &item)) == 1)
        rc = add_item_props(type, item, p);
    free(items);
    if (rc != 0 || found < 0) {
        // As for the record: a damaged item list gives no properties.
        if (!id3_has_error())
            id3_set_error("oom");
        id3_props_free(p);
        p->format = ID3_FMT_MP4;
        return -1;
    }
    return 0;
}

int id3_mp4_read(const uint8_t* data, uint64_t len, id3_tags* t) {
    if (!data) {
        t->format = ID3_FMT_MP4;
        id3_set_error("too short for MP4");
        return -1;
    }
    id3_file f;
    id3_file_from_image(&f, data, len);
    return id3_mp4_load(&f, t, 1);
}
