// The ID3v2 tag header, ID3v2 text encodings (tag_utf.cpp), the ID3v1 genre table and MPEG audio
// detection (tag_id3.cpp).
#ifndef QID3_ID3V2_H
#define QID3_ID3V2_H

#include "base.h"

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

// Whether the len bytes at data, the start of a file without an ID3v2 tag (or all of a shorter
// file), begin MPEG audio: a valid frame header (version, layer, bitrate and sample rate), and a
// second one where the first frame ends, unless the file ends exactly there.
bool id3_is_mpeg_audio(const uint8_t* data, uint64_t len);

// ID3v2 text payloads to UTF-8 (each result is malloc'd, NULL only when memory runs out). The
// encoding byte of a text frame:
#define ID3_ENC_LATIN1 0
#define ID3_ENC_UTF16 1   // with a byte-order mark
#define ID3_ENC_UTF16BE 2 // without one, big-endian
#define ID3_ENC_UTF8 3
char* id3_decode_id3_text(uint8_t encoding, const uint8_t* p, uint64_t n);
char* id3_utf16_to_utf8(const uint8_t* p, uint64_t n, int big_endian);

// The name of ID3v1 genre number n, or NULL past the table.
const char* id3_v1_genre_name(unsigned n);

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
