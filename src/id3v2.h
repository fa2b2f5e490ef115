// The ID3v2 frame codec (id3v2_codec.cpp) and its text encodings (tag_utf.cpp): the tag header,
// the frame area of a tag given as bytes at any offset (extended header passed over,
// unsynchronisation undone, version 2.4 sizes made syncsafe), frame headers of versions 2.2 to
// 2.4, the version 2.2 identifiers, text payloads, and frames in their version 2.4 form.
//
// Layouts (all sizes big-endian):
//   tag header, 10 bytes: "ID3", major version, revision, flags, syncsafe size of what follows
//     (extended header, frames, padding; a 10-byte footer after them is not counted)
//   frame header, 10 bytes: identifier (4), size (4; syncsafe from version 4 on), status flags,
//     format flags; version 2.2: identifier (3), size (3), no flags
//   text frame body: encoding byte, text
//   APIC body: encoding byte, MIME type + 00, picture type, description + terminator (00 00 for the
//     UTF-16 encodings, 00 otherwise), picture bytes; the version 2.2 PIC has a 3-byte image
//     format ("JPG", "PNG") in place of the MIME type
#ifndef QID3_ID3V2_H
#define QID3_ID3V2_H

#include "replace.h"
#include "record.h"

// The ID3v2 tag header, at the start of an MP3 file: "ID3", major version, revision, flags, and
// the syncsafe size of what follows it (extended header, frames, padding; not the footer).
#define ID3_HEADER_LEN 10
#define ID3_VERSION_AT 3
#define ID3_FLAGS_AT 5
#define ID3_SIZE_AT 6
#define ID3_FOOTER_LEN 10
#define ID3_FLAG_UNSYNC 0x80   // versions 2.2 and 2.3: the whole tag is unsynchronised
#define ID3_FLAG_EXTENDED 0x40 // an extended header follows (version 2.2: the tag is compressed)
#define ID3_FLAG_FOOTER 0x10   // version 2.4: a 10-byte footer follows the tag

// Bytes from the start of the file to the end of the ID3v2 tag whose header `hdr` is, footer
// included. The caller checks it against the file's size.
static inline uint64_t id3_tag_end(const uint8_t* hdr);

// Whether the len bytes at data begin an ID3v2 tag header: "ID3", major version 2, 3 or 4, and a
// syncsafe size (bit 7 clear in all four size bytes). Bytes short of the full header are checked
// as far as they go. Other files that begin with "ID3" (text among them) hold no tag.
static inline bool id3_is_tag_header(const uint8_t* data, uint64_t len);

// Frame header of versions 2.3 and 2.4: identifier (4), body size (4), status flags, format flags.
#define ID3_FRAME_HEADER_LEN 10
#define ID3_FRAME_SIZE_AT 4
#define ID3_FRAME_STATUS_AT 8
#define ID3_FRAME_FORMAT_AT 9
// Version 2.3 flags.
#define ID3_V3_STATUS_FLAGS 0xE0 // tag alter, file alter, read only: one bit higher than in 2.4
#define ID3_V3_FORMAT_COMPRESSED 0x80
#define ID3_V3_FORMAT_ENCRYPTED 0x40
#define ID3_V3_FORMAT_GROUPED 0x20
// Version 2.4 format flags.
#define ID3_V4_FORMAT_GROUPED 0x40
#define ID3_V4_FORMAT_COMPRESSED 0x08
#define ID3_V4_FORMAT_ENCRYPTED 0x04
#define ID3_V4_FORMAT_UNSYNC 0x02
#define ID3_V4_FORMAT_DATA_LENGTH 0x01 // a 4-byte data length indicator starts the body
// Frame header of version 2.2: identifier (3), body size (3), no flags.
#define ID3_V22_FRAME_HEADER_LEN 6
// A syncsafe size field holds at most 2^28 - 1; no frame stands at ID3_NO_FRAME.
#define ID3_SYNCSAFE_MAX ((uint64_t)0x0FFFFFFF)
#define ID3_NO_FRAME UINT64_MAX

// The frame area of the tag whose header starts data, which holds len >= 10 bytes: at least all
// of the tag, or all there is of it. 1 with the area (in data or in *copy); 0 when the tag holds
// nothing that can be read; -1 when memory runs out.
int id3v2_tag_area(const uint8_t* data, uint64_t len, const uint8_t** area, uint64_t* area_len,
                   id3_owned_bytes* copy);

// Version 2.2 identifiers and the version 2.3 ones that take their place: the one table a version
// 2.2 frame is named by.
extern const char id3v2_v22_ids[69][2][5];

// A frame of a frame area of any version, as the walk finds it.
struct id3v2_frame {
    // Versions 2.3/2.4: the identifier as stored; 2.2: its version 2.3 form from id3v2_v22_ids
    // ("" for one the table lacks).
    char id[5];
    bool known;       // 2.3/2.4: four characters A-Z or 0-9; 2.2: one the table has
    const char* name; // the same, where it lasts: in the header or the table (not NUL-terminated)
    uint32_t name_len;
    const uint8_t* hdr;  // the frame header: 10 bytes (version 2.2: 6)
    const uint8_t* body; // the body as stored
    uint64_t n;
};
// The frame at *pos, which then moves past it; false where the walk ends.
bool id3v2_next_frame(const uint8_t* area, uint64_t a, uint8_t major, uint64_t* pos,
                      id3v2_frame* fr);
// Whether the frame's body is stored as it reads (not compressed or encrypted).
bool id3v2_frame_plain(const id3v2_frame* of, uint8_t major);
// The body of a frame as it reads (version 2.4: unsynchronisation undone, data length indicator
// dropped; in *copy when it had to be decoded); false for one that cannot be read (compressed or
// encrypted), with -1 in *rc when memory runs out.
bool id3v2_frame_body(const id3v2_frame* of, uint8_t major, const uint8_t** body, uint64_t* n,
                      id3_owned_bytes* copy, int* rc);

// The fields of a picture frame's body. APIC: encoding, MIME type + 00, picture type,
// description + terminator (00 00 for the UTF-16 encodings, 00 otherwise), picture bytes. Version
// 2.2 PIC: encoding, image format (3: "JPG", "PNG"), then the same from the picture type on.
struct id3v2_picture {
    uint8_t encoding;
    const char* mime; // an empty APIC MIME type reads as ID3_DEFAULT_MIME; PIC: JPG, PNG or ""
    uint64_t mime_len;
    uint8_t type;
    const uint8_t* desc; // in the frame's encoding, without its terminator
    uint64_t desc_len;
    const uint8_t* data;
    uint64_t data_len;
};
// How far a body holds the fields: not up to the picture type; up to it, but without a
// description terminator or without a picture byte after it; all of them.
#define ID3_PICTURE_NONE 0
#define ID3_PICTURE_TYPE_ONLY 1
#define ID3_PICTURE_WHOLE 2
int id3v2_parse_picture(const uint8_t* body, uint64_t n, bool v22, id3v2_picture* pic);
// The picture type of a picture frame, or one of:
#define ID3_PICTURE_TYPE_UNKNOWN (-1) // the body does not reach it or cannot be read
#define ID3_PICTURE_TYPE_OOM (-2)     // memory ran out
int id3v2_picture_type(const id3v2_frame* of, uint8_t major);

// Whether s is n digits 0-9, and nothing more.
bool id3v2_is_digits(const char* s, size_t n);
// A version 2.2/2.3 year with the tag's day (TDAT) and time (TIME) as one recording time,
// appended to text. -1 when memory runs out.
int id3v2_old_recording_time(const uint8_t* area, uint64_t a, uint8_t major, const char* year,
                             id3_buf* text);

// Writing version 2.4 frames: a header with flags clear; a frame of header, prefix bytes and body
// (only counted into *bytes with `to` NULL; a large body borrowed with `borrow`); a version 2.2
// or 2.3 frame in its version 2.4 form. -1 when memory runs out.
void id3v2_put_frame_header(uint8_t* hdr, const char* id, uint64_t body_size);
int id3v2_emit_frame(id3_buf* to, uint64_t* bytes, uint8_t hdr[ID3_FRAME_HEADER_LEN],
                     const uint8_t* prefix, uint64_t prefix_n, const uint8_t* body, uint64_t n,
                     id3_head* borrow = nullptr);
int id3v2_carry_old_frame(const uint8_t* area, uint64_t a, uint8_t major, const id3v2_frame* of,
                          id3_buf* to, uint64_t* bytes, id3_head* borrow = nullptr);

// The texts of a payload in one encoding, one after another: each ends at a terminator (00, or
// 00 00 at an even distance from its start for UTF-16), the last at the end of the payload. A
// terminator at the very end starts no further text; an empty payload is one empty text.
struct id3v2_text_walk {
    uint8_t encoding;
    const uint8_t* p;
    uint64_t n;
    uint64_t pos;
    bool started;
};

// The next text of a walk, and the same decoded to UTF-8 (1, 0 at the end, -1 when memory runs
// out).
bool id3v2_next_text(id3v2_text_walk* w, const uint8_t** text, uint64_t* text_len);
int id3v2_next_decoded(id3v2_text_walk* w, id3_owned_text* out);

// ID3v2 text payloads to UTF-8 (each result is malloc'd, NULL only when memory runs out). The
// encoding byte of a text frame:
#define ID3_ENC_LATIN1 0
#define ID3_ENC_UTF16 1   // with a byte-order mark
#define ID3_ENC_UTF16BE 2 // without one, big-endian
#define ID3_ENC_UTF8 3
char* id3_decode_id3_text(uint8_t encoding, const uint8_t* p, uint64_t n);
char* id3_utf16_to_utf8(const uint8_t* p, uint64_t n, int big_endian);

static inline bool id3_is_tag_header(const uint8_t* data, uint64_t len) {
    if (len < 3 || memcmp(data, "ID3", 3) != 0)
        return false;
    if (len > ID3_VERSION_AT && (data[ID3_VERSION_AT] < 2 || data[ID3_VERSION_AT] > 4))
        return false;
    for (uint64_t i = ID3_SIZE_AT; i < ID3_HEADER_LEN && i < len; i++) {
        if (data[i] & 0x80)
            return false;
    }
    return true;
}

static inline uint64_t id3_tag_end(const uint8_t* hdr) {
    return ID3_HEADER_LEN + (uint64_t)id3_syncsafe32(hdr + ID3_SIZE_AT) +
           ((hdr[ID3_FLAGS_AT] & ID3_FLAG_FOOTER) ? ID3_FOOTER_LEN : 0);
}

#endif
