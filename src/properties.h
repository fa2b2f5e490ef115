// The property table, the property map of a file, and what a write changes: the named fields,
// the cover, the property changes (properties.cpp).
#ifndef QID3_PROPERTIES_H
#define QID3_PROPERTIES_H

#include "record.h"

// A write's property changes (the "properties" member): each key named, upper-cased, with the
// values it gets in the caller's order (texts without U+0000); a key without values is removed.
// The values lie in `texts`, the JSON text as it was parsed in place, so that a large value is
// not held twice. All zero is none; id3_prop_edits_free releases it.
struct id3_prop_edit {
    char* key;
    char** values; // the array is malloc'd; the texts are in the changes' `texts`
    uint64_t count;
};
struct id3_prop_edits {
    id3_prop_edit* items;
    uint64_t count;
    char* texts; // malloc'd
    // The items' positions in the order of their keys, for lookups in logarithmic time; NULL
    // until id3_prop_edits_index builds it (lookups then walk the items).
    uint64_t* by_key;
};

// What one write changes: the named fields, whether the record's cover replaces the old front
// covers (otherwise the old pictures are all kept), and the properties named. Named fields in
// `by_props` take their values from the property of their key, not from the record: their old
// frames or comments go, and the writer writes the property's values in their place.
struct id3_change {
    uint32_t named;
    int cover_replaced;
    const id3_prop_edits* props; // NULL or none: no property named
    uint32_t by_props;
};

// The property map (properties.cpp): every text a tag holds, under the property names taggers
// share, and every picture. The mapping of keys to ID3v2 frames and MP4 items is one table;
// Vorbis comments are named by the key itself.
struct id3_property_row {
    const char* key;
    const char* id3v24; // "TPE2", "TXXX:Description", "UFID:owner", "TIPL:role", or NULL
    const char* id3v23; // the same for version 2.3 (and 2.2, whose frames are read as 2.3's)
    const char* mp4;    // "aART", "----:mean:name", or NULL
};
// iTunes names its freeform MP4 items under one mean.
#define MP4_ITUNES_MEAN "com.apple.iTunes"
#define MP4_ITUNES_FREEFORM "----:" MP4_ITUNES_MEAN ":"
extern const id3_property_row id3_property_table[];
extern const size_t id3_property_table_len;
// The key of an ID3v2 frame of version `major` (4-character id, with the TXXX description, UFID
// owner or TIPL/IPLS role as `qualifier`; empty for the others): the table's key, or NULL.
const char* id3_property_of_id3(const char* id, const char* qualifier, uint64_t qualifier_len,
                                int major);
// The key of an MP4 item ("aART", or "----:mean:name" for a freeform one), or NULL.
const char* id3_property_of_mp4(const char* name, uint64_t name_len);

// One value of one property, and one picture, in the file's order. All zero is empty;
// id3_property_map_free releases it.
struct id3_prop {
    char* key;
    char* value; // value_len bytes, NUL after them
    uint64_t value_len;
};
struct id3_picture_info {
    int32_t type;
    char mime[64];
    char* description;
    uint64_t size;
};
struct id3_property_map {
    id3_prop* items;
    uint64_t count;
    uint64_t cap;
    id3_picture_info* pictures;
    uint64_t picture_count;
    uint64_t picture_cap;
    int32_t format;
};
void id3_property_map_free(id3_property_map* p);
struct id3_property_map_guard {
    id3_property_map* p;
    ~id3_property_map_guard() { id3_property_map_free(p); }
};
// Adds one value under key (key_len bytes; upper-cased in ASCII when `upper`). -1 when memory
// runs out.
int id3_property_map_add(id3_property_map* p, const char* key, uint64_t key_len, bool upper,
                         const char* value, uint64_t value_len);
// Adds one picture: its type, MIME type (cut to 63 bytes), description and byte count. -1 when
// memory runs out.
int id3_property_map_add_picture(id3_property_map* p, int32_t type, const char* mime,
                                 uint64_t mime_len, const char* description,
                                 uint64_t description_len, uint64_t size);
// Whether a value under key has been added.
bool id3_property_map_has(const id3_property_map* p, const char* key);

// Property changes. The keys of the record's fields, in its order (TITLE ... TRACKNUMBER).
extern const char* const id3_field_keys[ID3_FIELD_COUNT];
void id3_prop_edits_free(id3_prop_edits* e);
struct id3_prop_edits_guard {
    id3_prop_edits* e;
    ~id3_prop_edits_guard() { id3_prop_edits_free(e); }
};
// Orders the changes' keys for id3_prop_edits_find (which finds either of two changes of one
// key). -1 when memory runs out (the changes are kept).
int id3_prop_edits_index(id3_prop_edits* e);
// With the index built: the position of the first change whose key an earlier change named too,
// or e->count when every key is named once.
uint64_t id3_prop_edits_first_repeat(const id3_prop_edits* e);
// The change of the key of key_len bytes (ASCII case ignored), or NULL when it is not named.
const id3_prop_edit* id3_prop_edits_find(const id3_prop_edits* e, const char* key,
                                         uint64_t key_len);
// Leaves out the changes that give a key the values the file reads now (`now`, the file's
// property map): they are no change, and the old frames stay as they are. -1 when memory runs
// out.
int id3_prop_edits_drop_unchanged(id3_prop_edits* e, const id3_property_map* now);
// Checks that the container of `format` can hold every change. 0, or -1 with a message naming
// the key.
int id3_prop_edits_check(const id3_prop_edits* e, int32_t format);
// Parses "N", or with `pair` also "N/M", decimal, each at most max, into *number and *total (-1
// when there is none). False for any other text.
bool id3_parse_number(const char* text, unsigned long max, bool pair, long* number, long* total);
// The property table's row of key (exact), or NULL.
const id3_property_row* id3_property_row_of(const char* key);

#endif
