// MP4 atoms and item values, for the MP4 reader and writer (tag_mp4.cpp, tag_mp4_write.cpp).
#ifndef QID3_MP4_ATOM_H
#define QID3_MP4_ATOM_H

#include "base.h"

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
// A "gnre" value: the ID3v1 genre number plus one, big-endian 16-bit.
#define GNRE_VALUE_LEN 2

// The property key of an item of the item list (its type and payload) into key, NUL-terminated:
// 1, 0 when the item holds no property, -1 with a message when an atom is damaged or memory runs
// out.
int id3_mp4_item_key(const char* type, const uint8_t* payload, uint64_t len, id3_buf* key);
// The extent of the MP4 atom whose header starts at p, with `remaining` bytes of its region left
// (at least 8; 16 readable when remaining allows): 1 with the whole atom's *size and its
// *header_size, 0 when it does not fit, -1 (message recorded) when its size is below its header.
int id3_mp4_atom_extent(const uint8_t* p, uint64_t remaining, uint64_t* size,
                        uint64_t* header_size);

#endif
