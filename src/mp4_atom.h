// MP4 atoms and item values (mp4_atom.cpp), for the MP4 reader and writer (tag_mp4.cpp,
// tag_mp4_write.cpp) and the checks of property values (properties.cpp).
#ifndef QID3_MP4_ATOM_H
#define QID3_MP4_ATOM_H

#include "file_access.h"
#include "record.h"

// MP4 atoms, for the reader and the writer. Atom header: 32-bit size (the whole atom) and type;
// size 0 runs to the end of the container, size 1 puts a 64-bit size after the type. A full box
// (meta, stco, co64, dref, hdlr, and a freeform item's mean and name) starts its payload with a
// version-and-flags word. A "data" atom's payload is a type word (version byte, 24-bit type), a
// locale word, then the value; a "trkn" or "disk" value is two reserved bytes, the number and the
// total (16-bit each), and for trkn two more.
#define ATOM_HEADER_LEN 8
#define ATOM_LARGE_HEADER_LEN 16
#define ATOM_SIZE_TO_END 0
#define ATOM_SIZE_LARGE 1
#define FULL_BOX_HEADER_LEN 4
#define DATA_VALUE_AT 8
#define DATA_TYPE_IMPLICIT 0
#define DATA_TYPE_UTF8 1
#define DATA_TYPE_SIGNED 21
#define DATA_TYPE_UNSIGNED 22
#define TRKN_TRACK_AT 2
#define TRKN_TOTAL_AT 4
#define TRKN_VALUE_LEN 8
#define DISK_VALUE_LEN 6
// A "gnre" value: the ID3v1 genre number plus one, big-endian 16-bit.
#define GNRE_VALUE_LEN 2

// The property key of an item of the item list (its type and payload) into key, NUL-terminated:
// 1, 0 when the item holds no property, -1 with a message when an atom is damaged or memory runs
// out.
int id3_mp4_item_key(const char* type, const uint8_t* payload, uint64_t len, id3_buf* key);
// The extent of the MP4 atom whose header starts at p, with `remaining` bytes of its region left
// (at least 8; 16 readable when remaining allows): 1 with the whole atom's *size and its
// *header_size, 0 when it does not fit, -1 (message recorded) when its size is below its header:
// a damaged file, which peers refuse.
int id3_mp4_atom_extent(const uint8_t* p, uint64_t remaining, uint64_t* size,
                        uint64_t* header_size);

// One atom as the walker met it: where it starts (an offset in the buffer or the file walked),
// its header length, its whole size and its type.
struct id3_mp4_atom {
    uint64_t at;
    uint64_t header;
    uint64_t size;
    char type[5];
    bool to_end; // its size field is 0: it runs to the end of its container
};
inline uint64_t id3_mp4_payload_at(const id3_mp4_atom& a) {
    return a.at + a.header;
}
inline uint64_t id3_mp4_end_of(const id3_mp4_atom& a) {
    return a.at + a.size;
}

// The walker: the atom at *pos of the region that ends at `end`, in buf or in the file f. 1 with
// *a and *pos moved past the atom; 0, *pos left alone, when fewer than 8 bytes are left or the
// header describes no atom that fits (*pos == end: the region ends cleanly); -1 when the size is
// below its header (as id3_mp4_atom_extent) or the file cannot be read, message recorded.
int id3_mp4_next_atom(const uint8_t* buf, uint64_t end, uint64_t* pos, id3_mp4_atom* a);
int id3_mp4_next_atom_in_file(const id3_file* f, uint64_t end, uint64_t* pos, id3_mp4_atom* a);

// What an item of the item list holds, by its type: the one place that decides it for the
// reader, the writer and the checks of property values.
#define MP4_ITEM_TEXT 0         // text, or an integer where the data type code says so
#define MP4_ITEM_UNTYPED_TEXT 1 // text that iTunes marks with no type code (purl, egid)
#define MP4_ITEM_PAIR 2         // number and total (trkn, disk)
#define MP4_ITEM_NUMBER 3       // an integer whatever its type code (tmpo, cpil)
#define MP4_ITEM_TYPED_NUMBER 4 // written as an integer, read by its type code (\251mvi)
#define MP4_ITEM_GENRE_CODE 5   // an ID3v1 genre number plus one (gnre)
#define MP4_ITEM_PICTURE 6      // pictures (covr)
#define MP4_ITEM_FREEFORM 7     // "----": mean and name, then values
struct id3_mp4_item_rule {
    char type[5];
    int kind;          // MP4_ITEM_*
    unsigned long max; // the largest number a number item holds
    uint8_t width;     // the bytes of a number item's value as written
};
// The rule of an item type (NUL-terminated); an item type with no row holds text.
const id3_mp4_item_rule* id3_mp4_item_rule_of(const char* type);

// The items of the record's five text fields, with the ID3_NAMED_* bit of each.
struct id3_mp4_field_item {
    const char* type;
    uint32_t named;
};
#define MP4_FIELD_ITEM_COUNT 5
extern const id3_mp4_field_item id3_mp4_field_items[MP4_FIELD_ITEM_COUNT];

#endif
