// The ID3v1 tag and its genre table (id3v1.cpp).
#ifndef QID3_ID3V1_H
#define QID3_ID3V1_H

#include "record.h"

// ID3v1: 128 bytes at the end of the file: "TAG", title (30), artist (30), album (30), year (4),
// comment (30; version 1.1: 28, a 00 byte and the track number), genre (1). Texts are Latin-1,
// padded with 00 or spaces.

#define ID3_V1_TITLE_AT 3
#define ID3_V1_ARTIST_AT 33
#define ID3_V1_ALBUM_AT 63
#define ID3_V1_YEAR_AT 93
#define ID3_V1_COMMENT_AT 97
#define ID3_V1_TRACK_AT 126 // version 1.1, after a 00 at 125
#define ID3_V1_GENRE_AT 127
#define ID3_V1_TEXT_LEN 30
#define ID3_V1_TAG_LEN 128

// The name of ID3v1 genre number n, or NULL past the table.
const char* id3_v1_genre_name(unsigned n);
// The ID3v1 number of a genre name (255, none, for a name outside the table).
uint8_t id3_v1_genre_number(const char* name);
// Whether the file's last 128 bytes (v1, after the ID3v2 tag that ends at v2_end) are an ID3v1
// tag.
bool id3_v1_is_tag(const uint8_t* v1, uint64_t size, uint64_t v2_end);
// A Latin-1 field as UTF-8, trailing spaces and padding left out. -1 when memory runs out.
int id3_v1_text(const uint8_t* p, uint64_t n, char** out);
// Fills the fields the record lacks (NULL or empty) from an ID3v1 tag. -1 when memory runs out.
int id3_v1_fill(const uint8_t* v1, id3_record* t);
// A UTF-8 text into a field of n bytes, as ISO-8859-1 ('?' for what it lacks), padded with 00.
void id3_v1_put_text(uint8_t* field, uint64_t n, const char* text);
// Brings an ID3v1 tag in step with the fields a write names (ID3_NAMED_* bits).
void id3_v1_update(uint8_t* v1, const id3_record* t, uint32_t named);

#endif
