// MP4 atoms: the one walker over atom headers, in memory and in a file, and what each item type of
// the item list holds, for the reader and the writer.
#include "mp4_atom.h"

#include "file_access.h"

#include <string.h>

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

// Fills *a from the header at p (the atom starts at offset `at`, `remaining` bytes of its region
// left, at least 8) and moves *pos past it: 1, 0 or -1 as id3_mp4_next_atom.
static int take_atom(const uint8_t* p, uint64_t at, uint64_t remaining, uint64_t* pos,
                     id3_mp4_atom* a) {
    uint64_t size, header;
    int extent = id3_mp4_atom_extent(p, remaining, &size, &header);
    if (extent != 1)
        return extent;
    a->at = at;
    a->header = header;
    a->size = size;
    a->to_end = id3_be32(p) == ATOM_SIZE_TO_END;
    memcpy(a->type, p + 4, 4);
    a->type[4] = '\0';
    *pos += size;
    return 1;
}

int id3_mp4_next_atom(const uint8_t* buf, uint64_t end, uint64_t* pos, id3_mp4_atom* a) {
    if (*pos > end || end - *pos < ATOM_HEADER_LEN)
        return 0;
    return take_atom(buf + *pos, *pos, end - *pos, pos, a);
}

int id3_mp4_next_atom_in_file(const id3_file* f, uint64_t end, uint64_t* pos, id3_mp4_atom* a) {
    if (*pos > end || end - *pos < ATOM_HEADER_LEN)
        return 0;
    uint64_t remaining = end - *pos;
    // Only the header is read, its 64-bit size only where the 32-bit one says it follows: no
    // payload byte is read here and again with the payload.
    uint8_t header[ATOM_LARGE_HEADER_LEN];
    if (id3_file_read(f, *pos, header, ATOM_HEADER_LEN) != 0)
        return -1;
    if (id3_be32(header) == ATOM_SIZE_LARGE && remaining >= ATOM_LARGE_HEADER_LEN &&
        id3_file_read(f, *pos + ATOM_HEADER_LEN, header + ATOM_HEADER_LEN,
                      ATOM_LARGE_HEADER_LEN - ATOM_HEADER_LEN) != 0)
        return -1;
    return take_atom(header, *pos, remaining, pos, a);
}

// ---------------------------------------------------------------------------------------------
// Item types

// The items whose type decides how their values are read or written; every other item holds
// text, or an integer where its data type code says so. Their types that start with the byte
// 0xA9 (octal 251) spell the copyright sign in ISO-8859-1.
static const id3_mp4_item_rule ITEM_RULES[] = {
    {"trkn", MP4_ITEM_PAIR, 65535, TRKN_VALUE_LEN},
    {"disk", MP4_ITEM_PAIR, 65535, DISK_VALUE_LEN},
    {"tmpo", MP4_ITEM_NUMBER, 65535, 2},
    {"cpil", MP4_ITEM_NUMBER, 1, 1},
    {"\251mvi", MP4_ITEM_TYPED_NUMBER, 65535, 2},
    {"gnre", MP4_ITEM_GENRE_CODE, 0, GNRE_VALUE_LEN},
    {"covr", MP4_ITEM_PICTURE, 0, 0},
    {"----", MP4_ITEM_FREEFORM, 0, 0},
    {"purl", MP4_ITEM_UNTYPED_TEXT, 0, 0},
    {"egid", MP4_ITEM_UNTYPED_TEXT, 0, 0},
};
static const id3_mp4_item_rule TEXT_RULE = {"", MP4_ITEM_TEXT, 0, 0};

const id3_mp4_item_rule* id3_mp4_item_rule_of(const char* type) {
    for (const id3_mp4_item_rule& rule : ITEM_RULES) {
        if (type && strcmp(type, rule.type) == 0)
            return &rule;
    }
    return &TEXT_RULE;
}

const id3_mp4_field_item id3_mp4_field_items[MP4_FIELD_ITEM_COUNT] = {
    {"\251nam", ID3_NAMED_TITLE}, {"\251ART", ID3_NAMED_ARTIST}, {"\251alb", ID3_NAMED_ALBUM},
    {"\251gen", ID3_NAMED_GENRE}, {"\251day", ID3_NAMED_DATE},
};
