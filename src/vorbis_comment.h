// Vorbis comments and the FLAC PICTURE body (vorbis_comment.cpp), shared by FLAC and Ogg: the
// one walk over a comment body, its comments and a PICTURE body as items of a model, and the
// new bodies a write builds.
#ifndef QID3_VORBIS_COMMENT_H
#define QID3_VORBIS_COMMENT_H

#include "model.h"
#include "replace.h"

// A FLAC PICTURE body (big-endian), also the content of an Ogg METADATA_BLOCK_PICTURE comment:
// picture type (4), MIME length M (4), MIME, description length D (4), description, width,
// height, depth, colours (4 each), data length (4), data. Offsets of the fields after the MIME
// type count from its end, and those after the description from its end.
#define PICTURE_MIME_LEN_AT 4
#define PICTURE_MIME_AT 8
#define PICTURE_DESC_LEN_AFTER_MIME 0
#define PICTURE_DATA_LEN_LEN 4         // the data length field
#define PICTURE_DATA_LEN_AFTER_DESC 16 // width, height, depth and colours come first
#define PICTURE_FIXED_LEN 32           // every field but the MIME type, description and data

// Vorbis comments (vorbis_comment.cpp), as FLAC's VORBIS_COMMENT block and Ogg's comment packet
// hold them (little-endian): vendor length, vendor, comment count, then each comment as a 4-byte
// length and "KEY=value". A walk yields the comments one at a time; the count is only an upper
// bound, and a comment that does not fit the body ends the walk.
struct id3_vc_walk {
    const uint8_t* body;
    uint64_t body_len;
    uint64_t pos;
    uint32_t left;
};
void id3_vc_walk_start(id3_vc_walk* w, const uint8_t* body, uint64_t body_len);
bool id3_vc_walk_next(id3_vc_walk* w, const char** text, uint64_t* text_len);
// The record field (0 title ... 5 track) that a comment key names (ASCII case ignored), or -1.
int id3_vc_field_of_key(const char* key, uint64_t key_len);
// Whether a write replaces a comment: its key, the bytes before the first "=", is a named field's
// or a named property's. A comment without "=" has no key, even when it spells a field's key.
struct id3_change;
bool id3_vc_replaced(const char* text, uint64_t text_len, const id3_change* change);
// Appends one comment: its 4-byte length and its text. -1 when memory runs out.
int id3_vc_append(id3_buf* b, const void* text, uint64_t text_len);
// Bytes that the vendor, the count and every counted comment take from the body's start; 0 when
// they do not all fit its n bytes.
uint64_t id3_vc_extent(const uint8_t* body, uint64_t n);
// The fields of a PICTURE body. False for a body too short for its fields; a data length that
// overruns the body yields what the body holds, and an empty MIME type reads as image/jpeg.
struct id3_picture_fields {
    uint32_t type;
    const uint8_t* mime;
    uint64_t mime_len;
    const uint8_t* description;
    uint64_t description_len;
    const uint8_t* data;
    uint64_t data_len;
};
bool id3_picture_parse(const uint8_t* body, uint64_t body_len, id3_picture_fields* pic);
// A new comment body: the vendor, the named fields' comments ("KEY=value", whole) in the record's
// order, the named properties' comments (one per value, whole), then the carried comments (each
// already a length and its text). With `lend`, the values of ID3_BORROW_MIN bytes or more are not
// copied: `lend` gets pieces that borrow them, between the body's own bytes. -1 when a comment
// passes its 32-bit length or memory runs out.
int id3_vc_build(id3_buf* body, const uint8_t* vendor, uint64_t vendor_len, const id3_record* t,
                 const id3_change* change, const id3_buf* carried, uint32_t carried_count,
                 id3_head* lend = nullptr);
// A malloc'd PICTURE body of body_len bytes (32 + mime_len + the cover's size) holding the
// record's cover as a front cover. NULL when memory runs out.
uint8_t* id3_flac_picture_build(const id3_record* t, const char* mime, uint64_t mime_len,
                                uint64_t body_len);
// Adds every comment of a comment body (which starts at body_off: in the file, or for an Ogg
// comment packet, in the packet) as an item of the
// tag `tag`: a "KEY=value" comment as a text under its name upper-cased, one without "=" as
// other bytes; each borrows its span (length field and text) from the body. All rank alike, so
// that of repeated comments of a key the last gives the record's field. -1 when memory runs out.
int id3_vc_load_items(id3_model* m, int tag, const uint8_t* body, uint64_t body_len,
                      uint64_t body_off);
// Fills a picture item from a PICTURE body whose fields can be read (it then borrows the data
// from the body); leaves it as it is otherwise. -1 when memory runs out.
int id3_picture_item(id3_item* item, const uint8_t* body, uint64_t body_len);

#endif
