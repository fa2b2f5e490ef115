// The tag record of one file: the formats, the six text fields and the front cover
// (record.cpp).
#ifndef QID3_RECORD_H
#define QID3_RECORD_H

#include "base.h"
#include "format.h"

// The MIME type a picture is taken for when nothing names its type.
#define ID3_DEFAULT_MIME "image/jpeg"

// The picture type of a front cover, in ID3v2 APIC frames and FLAC PICTURE blocks alike.
#define ID3_PICTURE_FRONT_COVER 3

// The fields a write names: those the caller changed. Their old frames or comments are replaced
// by the record's values; everything else of the old tags is carried over as it stands.
#define ID3_FIELD_COUNT 6
#define ID3_NAMED_TITLE 0x01u
#define ID3_NAMED_ARTIST 0x02u
#define ID3_NAMED_ALBUM 0x04u
#define ID3_NAMED_GENRE 0x08u
#define ID3_NAMED_DATE 0x10u
#define ID3_NAMED_TRACK 0x20u

// The tags of one file. Every pointer but cover_seen is NULL or a malloc'd block owned by the
// record. A NULL text is an absent tag; "" is a present, empty one. The all-zero record is the
// empty record.
struct id3_record {
    char* title;
    char* artist;
    char* album;
    char* genre;
    char* date;
    char* track;
    uint8_t* cover_data;
    uint64_t cover_size;
    char cover_mime[64];
    int32_t format;
    int32_t has_cover;
    // Where the last cover stored lay in the bytes its reader walked, copied or not: not owned,
    // and valid only as long as those bytes are (see ID3_COVER_IN_TAG).
    const uint8_t* cover_seen;
    uint64_t cover_seen_len;
};

// Tag record operations.
void id3_record_init(id3_record* t);
void id3_record_free(id3_record* t);
// Replaces *field with a copy of text (NULL stores ""). Returns -1 on allocation failure, keeping
// the old value.
int id3_record_set_str(char** field, const char* text);

// Replaces *field with a NUL-terminated copy of n bytes (which may hold anything). -1 when memory
// runs out, with the old value kept.
int id3_record_store_text(char** field, const char* bytes, uint64_t n);
// Stores a copy of the n picture bytes at data as the record's cover, with the MIME type's
// mime_len bytes (cut at a NUL and to 63 bytes; none leaves the type empty). Without copy_bytes
// only that there is a cover and its type are stored. The copy is made before the old cover goes:
// -1 when memory runs out, with the record's earlier cover whole.
int id3_record_store_cover(id3_record* t, const uint8_t* data, uint64_t n, const char* mime,
                           uint64_t mime_len, int copy_bytes);

// Releases a tag record at the end of a scope, on every path.
struct id3_record_guard {
    id3_record* t;
    ~id3_record_guard() { id3_record_free(t); }
};

#endif
