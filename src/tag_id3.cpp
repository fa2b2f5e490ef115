// ID3v2 tags at the start of MP3 files: the reader fills a tag record from the tag's text and
// picture frames; the writer replaces the tag with a fresh version 2.4 tag in front of the audio.
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
#include "container.h"
#include "id3v2.h"
#include "platform.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

// Frame header of versions 2.3 and 2.4: identifier (4), body size (4), status flags, format flags.
#define FRAME_HEADER_LEN 10
#define FRAME_SIZE_AT 4
#define FRAME_STATUS_AT 8
#define FRAME_FORMAT_AT 9
// Version 2.3 flags.
#define V3_STATUS_FLAGS 0xE0 // tag alter, file alter, read only: one bit higher than in 2.4
#define V3_FORMAT_COMPRESSED 0x80
#define V3_FORMAT_ENCRYPTED 0x40
#define V3_FORMAT_GROUPED 0x20
// Version 2.4 format flags.
#define V4_FORMAT_GROUPED 0x40
#define V4_FORMAT_COMPRESSED 0x08
#define V4_FORMAT_ENCRYPTED 0x04
#define V4_FORMAT_UNSYNC 0x02
#define V4_FORMAT_DATA_LENGTH 0x01 // a 4-byte data length indicator starts the body
// Frame header of version 2.2: identifier (3), body size (3), no flags.
#define V22_FRAME_HEADER_LEN 6

// An MPEG audio frame starts with eleven set bits.
static bool is_mpeg_sync(const uint8_t* data, uint64_t len) {
    return len >= 2 && data[0] == 0xFF && data[1] >= 0xE0;
}

// MPEG audio frame header, 4 bytes: 11 sync bits, version (2 bits: 0 = 2.5, 1 reserved, 2 = 2,
// 3 = 1), layer (2 bits: 0 reserved, 1 = III, 2 = II, 3 = I), protection bit; bitrate index (4
// bits; 0 free format, 15 invalid), sample-rate index (2 bits; 3 reserved), padding bit, private
// bit; mode and the rest.
#define MPEG_HEADER_LEN 4
#define MPEG_VERSION_1 3
#define MPEG_VERSION_RESERVED 1
#define MPEG_LAYER_I 3
#define MPEG_LAYER_III 1

// Bytes of the MPEG audio frame whose header is at h; 0 when the header is not valid.
static uint64_t mpeg_frame_len(const uint8_t* h) {
    // Bitrates in kbit/s by index: MPEG 1 layers I, II, III; MPEG 2 and 2.5 layer I, layers II
    // and III.
    static const uint16_t kBitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
    static const uint32_t kRatesV1[3] = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    unsigned version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
    unsigned bitrate_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (version == MPEG_VERSION_RESERVED || layer == 0 || bitrate_index == 0 ||
        bitrate_index == 15 || rate_index == 3)
        return 0;
    bool v1 = version == MPEG_VERSION_1;
    unsigned table = v1 ? 3 - layer : (layer == MPEG_LAYER_I ? 3 : 4);
    uint64_t bitrate = (uint64_t)kBitrates[table][bitrate_index] * 1000;
    // MPEG 2 halves the MPEG 1 sample rates, MPEG 2.5 quarters them.
    uint64_t rate = kRatesV1[rate_index] >> (v1 ? 0 : version == 2 ? 1 : 2);
    if (layer == MPEG_LAYER_I)
        return (12 * bitrate / rate + padding) * 4;
    // Layer III of MPEG 2 and 2.5 has half as many samples per frame.
    uint64_t factor = (layer == MPEG_LAYER_III && !v1) ? 72 : 144;
    return factor * bitrate / rate + padding;
}

bool id3_is_mpeg_audio(const uint8_t* data, uint64_t len) {
    if (!data || len < MPEG_HEADER_LEN)
        return false;
    uint64_t first = mpeg_frame_len(data);
    if (first == 0 || first > len)
        return false;
    if (first == len)
        return true;
    return len - first >= MPEG_HEADER_LEN && mpeg_frame_len(data + first) != 0;
}

// ---------------------------------------------------------------------------------------------
// Reader

// Copies n bytes, dropping the 0x00 that a writer inserted after each 0xFF. The copy is never
// longer than the source; *out_len gets its length. NULL (and *out_len untouched) when memory runs
// out.
static uint8_t* unsync_decode(const uint8_t* src, uint64_t n, uint64_t* out_len) {
    if (n >= SIZE_MAX)
        return nullptr;
    uint8_t* out = (uint8_t*)malloc((size_t)n + 1);
    if (!out)
        return nullptr;
    uint64_t o = 0;
    for (uint64_t i = 0; i < n; i++) {
        out[o++] = src[i];
        if (src[i] == 0xFF && n - i > 1 && src[i + 1] == 0x00)
            i++;
    }
    *out_len = o;
    return out;
}

// Stores a decoded text frame by its identifier. Takes ownership of text.
static void store_text_frame(const uint8_t* id, char* text, id3_tags* t) {
    char** field = nullptr;
    if (memcmp(id, "TIT2", 4) == 0)
        field = &t->title;
    else if (memcmp(id, "TPE1", 4) == 0)
        field = &t->artist;
    else if (memcmp(id, "TALB", 4) == 0)
        field = &t->album;
    else if (memcmp(id, "TCON", 4) == 0)
        field = &t->genre;
    else if (memcmp(id, "TDRC", 4) == 0)
        field = &t->date;
    else if (memcmp(id, "TRCK", 4) == 0)
        field = &t->track;
    else if (memcmp(id, "TYER", 4) == 0 && (!t->date || t->date[0] == '\0'))
        field = &t->date; // the version 2.3 year only fills a date that TDRC has not given
    if (!field) {
        free(text);
        return;
    }
    free(*field);
    *field = text;
}

// Picture-type byte at type_at, then the description in the frame's encoding (body byte 0), then
// the picture bytes to the end of the body. A body without a description terminator or without
// picture bytes after it is passed over; every search stays inside the body. The record's cover
// gets the picture and the mime_len bytes of mime (at most 63; none leaves cover_mime empty).
// Returns -1 only when memory runs out.
static int store_picture(const uint8_t* body, uint64_t n, uint64_t type_at, const uint8_t* mime,
                         uint64_t mime_len, id3_tags* t, bool want_cover) {
    if (type_at + 1 >= n)
        return 0; // nothing after the picture type
    uint64_t desc = type_at + 1;
    uint64_t start = 0;
    uint8_t encoding = body[0];
    if (encoding == ID3_ENC_UTF16 || encoding == ID3_ENC_UTF16BE) {
        // A UTF-16 description ends with a 00 00 unit, at an even distance from its start.
        for (uint64_t k = desc; n - k >= 2; k += 2) {
            if (body[k] == 0 && body[k + 1] == 0) {
                start = k + 2;
                break;
            }
        }
    } else {
        const uint8_t* desc_end = (const uint8_t*)memchr(body + desc, 0, (size_t)(n - desc));
        if (desc_end)
            start = (uint64_t)(desc_end - body) + 1;
    }
    if (start == 0 || start >= n)
        return 0; // no terminator, or no picture bytes after it
    return id3_tags_store_cover(t, body + start, n - start, (const char*)mime, mime_len,
                                want_cover);
}

// APIC body of n bytes. A body that does not hold every field up to at least one picture byte is
// passed over. Returns -1 only when memory runs out.
static int read_apic(const uint8_t* body, uint64_t n, id3_tags* t, bool want_cover) {
    if (n <= 3)
        return 0;
    const uint8_t* mime_end = (const uint8_t*)memchr(body + 1, 0, (size_t)(n - 1));
    if (!mime_end)
        return 0;
    uint64_t i = (uint64_t)(mime_end - body);
    static const char jpeg[] = ID3_DEFAULT_MIME; // what an empty MIME type is taken for
    if (i == 1)
        return store_picture(body, n, i + 1, (const uint8_t*)jpeg, sizeof jpeg - 1, t, want_cover);
    return store_picture(body, n, i + 1, body + 1, i - 1, t, want_cover);
}

// Version 2.2 PIC body: encoding byte, 3-byte image format, picture type, description, picture.
// Only the formats "JPG" and "PNG" have a MIME type; any other leaves it empty.
static int read_pic(const uint8_t* body, uint64_t n, id3_tags* t, bool want_cover) {
    if (n <= 5)
        return 0;
    const char* mime = "";
    if (memcmp(body + 1, "JPG", 3) == 0)
        mime = ID3_DEFAULT_MIME;
    else if (memcmp(body + 1, "PNG", 3) == 0)
        mime = "image/png";
    return store_picture(body, n, 4, (const uint8_t*)mime, strlen(mime), t, want_cover);
}

// A character of a frame identifier: A-Z or 0-9.
static bool is_id_char(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A version 2.3/2.4 frame identifier: four characters A-Z or 0-9.
static bool is_frame_id(const uint8_t* p) {
    return is_id_char(p[0]) && is_id_char(p[1]) && is_id_char(p[2]) && is_id_char(p[3]);
}

// A frame of a version 2.3 or 2.4 frame area, as the walk finds it.
struct frame_ref {
    const uint8_t* hdr; // the 10-byte header; the body follows it
    uint64_t size;      // body bytes
};

// The frame at *pos, which then moves past it. False at padding, where fewer than 10 bytes remain,
// or at a frame that overruns the area: the walk ends there.
static bool next_frame(const uint8_t* area, uint64_t a, uint8_t major, uint64_t* pos,
                       frame_ref* fr) {
    if (a - *pos < FRAME_HEADER_LEN || area[*pos] == 0x00)
        return false;
    const uint8_t* hdr = area + *pos;
    uint64_t stored =
        major >= 4 ? id3_syncsafe32(hdr + FRAME_SIZE_AT) : id3_be32(hdr + FRAME_SIZE_AT);
    if (stored > a - *pos - FRAME_HEADER_LEN)
        return false;
    *fr = frame_ref{hdr, stored};
    *pos += FRAME_HEADER_LEN + stored;
    return true;
}

// The body of a frame as its format flags make it: unsynchronisation removed and the data length
// indicator dropped (version 4). *skip is set for a compressed or encrypted frame, which is not
// read. -1 when memory runs out.
static int frame_body(const frame_ref* fr, uint8_t major, const uint8_t** body, uint64_t* n,
                      id3_owned_bytes* copy, bool* skip) {
    uint8_t format_flags = fr->hdr[FRAME_FORMAT_AT];
    *body = fr->hdr + FRAME_HEADER_LEN;
    *n = fr->size;
    *skip = false;
    if (major == 3) {
        *skip = (format_flags & (V3_FORMAT_COMPRESSED | V3_FORMAT_ENCRYPTED)) != 0;
    } else if (major >= 4) {
        if (format_flags & V4_FORMAT_UNSYNC) {
            uint64_t decoded_len = 0;
            copy->reset(unsync_decode(*body, *n, &decoded_len));
            if (!*copy)
                return -1;
            *body = copy->get();
            *n = decoded_len;
        }
        if ((format_flags & V4_FORMAT_DATA_LENGTH) && *n > 3) {
            *body += 4;
            *n -= 4;
        }
        *skip = (format_flags & (V4_FORMAT_COMPRESSED | V4_FORMAT_ENCRYPTED)) != 0;
    }
    return 0;
}

// Walks the frames of an area of a bytes. Stops at padding or a frame that overruns the area; a
// frame of size 0 is passed over. Returns -1 when memory runs out: a record missing a tag that the
// file holds must not pass for the file's tags, or a write would drop that tag.
static int walk_frames(const uint8_t* area, uint64_t a, uint8_t major, id3_tags* t,
                       bool want_cover) {
    uint64_t pos = 0;
    frame_ref fr;
    while (next_frame(area, a, major, &pos, &fr)) {
        const uint8_t* hdr = fr.hdr;
        const uint8_t* body = nullptr;
        uint64_t n = 0;
        id3_owned_bytes copy;
        bool skip = false;
        if (frame_body(&fr, major, &body, &n, &copy, &skip) != 0)
            return -1;
        if (skip)
            continue;
        if (hdr[0] == 'T' && memcmp(hdr, "TXXX", 4) != 0) {
            if (n > 0) {
                char* text = id3_decode_id3_text(body[0], body + 1, n - 1);
                if (!text)
                    return -1;
                store_text_frame(hdr, text, t);
            }
        } else if (memcmp(hdr, "APIC", 4) == 0) {
            if (read_apic(body, n, t, want_cover) != 0)
                return -1;
        }
    }
    return 0;
}

// The version 2.2 text frames the record holds, each with the version 2.3 frame whose rule it
// follows.
static const char* const kV22Texts[][2] = {{"TT2", "TIT2"}, {"TP1", "TPE1"}, {"TAL", "TALB"},
                                           {"TCO", "TCON"}, {"TYE", "TYER"}, {"TRK", "TRCK"}};

// The version 2.2 frame at *pos of an area of a bytes, which then moves past it. Frame header, 6
// bytes: identifier (3), body size (24-bit), no flags. False at an identifier that is not A-Z/0-9
// (padding among them) or a frame that overruns the area: the walk ends there.
static bool next_frame_v22(const uint8_t* area, uint64_t a, uint64_t* pos, const uint8_t** hdr,
                           uint64_t* n) {
    if (a - *pos < V22_FRAME_HEADER_LEN)
        return false;
    *hdr = area + *pos;
    if (!is_id_char((*hdr)[0]) || !is_id_char((*hdr)[1]) || !is_id_char((*hdr)[2]))
        return false;
    *n = id3_be24(*hdr + 3);
    if (*n > a - *pos - V22_FRAME_HEADER_LEN)
        return false;
    *pos += V22_FRAME_HEADER_LEN + *n;
    return true;
}

// Walks the frames of a version 2.2 area of a bytes. Returns -1 when memory runs out.
static int walk_frames_v22(const uint8_t* area, uint64_t a, id3_tags* t, bool want_cover) {
    uint64_t pos = 0;
    const uint8_t* hdr = nullptr;
    uint64_t n = 0;
    while (next_frame_v22(area, a, &pos, &hdr, &n)) {
        const uint8_t* body = hdr + V22_FRAME_HEADER_LEN;
        if (memcmp(hdr, "PIC", 3) == 0) {
            if (read_pic(body, n, t, want_cover) != 0)
                return -1;
        } else if (n > 0) {
            for (const auto& ids : kV22Texts) {
                if (memcmp(hdr, ids[0], 3) != 0)
                    continue;
                char* text = id3_decode_id3_text(body[0], body + 1, n - 1);
                if (!text)
                    return -1;
                store_text_frame((const uint8_t*)ids[1], text, t);
                break;
            }
        }
    }
    return 0;
}

// How a walk over the frames of a version 2.4 area goes when each size field is read one way.
struct size_reading {
    bool to_end;     // every frame fits and the walk ends at the area's end or in zero padding
    uint64_t frames; // frames with a valid identifier that fit, up to the first that does not
};

static size_reading walk_sizes(const uint8_t* area, uint64_t a, bool plain) {
    size_reading r = {false, 0};
    uint64_t pos = 0;
    while (a - pos >= FRAME_HEADER_LEN && area[pos] != 0x00) {
        const uint8_t* size_field = area + pos + FRAME_SIZE_AT;
        uint64_t size = plain ? id3_be32(size_field) : id3_syncsafe32(size_field);
        if (size > a - pos - FRAME_HEADER_LEN)
            return r;
        if (is_frame_id(area + pos))
            r.frames++;
        pos += FRAME_HEADER_LEN + size;
    }
    // The rest must be padding: zero bytes only (a frame cut short is not).
    for (uint64_t i = pos; i < a; i++) {
        if (area[i] != 0x00)
            return r;
    }
    r.to_end = true;
    return r;
}

// Whether a version 2.4 tag stores its frame sizes as plain 32-bit integers (as older iTunes
// did) rather than syncsafe ones. Chosen for the tag as a whole: the reading under which every
// frame fits and the walk ends at the end or in padding, the syncsafe one when both or neither
// do, unless the plain one then walks more frames. The two readings agree for frames under 128
// bytes.
static bool v4_sizes_are_plain(const uint8_t* area, uint64_t a) {
    size_reading syncsafe = walk_sizes(area, a, false);
    if (syncsafe.to_end)
        return false;
    size_reading plain = walk_sizes(area, a, true);
    return plain.to_end || plain.frames > syncsafe.frames;
}

// A copy of the frames of a version 2.4 area, up to where the walk ends, with syncsafe sizes and,
// when `decode` is set (the tag-wide unsynchronisation flag), each body freed of
// unsynchronisation and its frame flag cleared: the tag's flag covers every frame, whatever its
// own flag says. NULL when memory runs out.
static uint8_t* normalise_v4_frames(const uint8_t* area, uint64_t a, bool plain, bool decode,
                                    uint64_t* out_len) {
    id3_buf out = {nullptr, 0, 0};
    if (id3_buf_reserve(&out, a + 1) != 0) // decoding never lengthens a body
        return nullptr;
    uint64_t pos = 0;
    while (a - pos >= FRAME_HEADER_LEN && area[pos] != 0x00) {
        const uint8_t* hdr = area + pos;
        uint64_t size = plain ? id3_be32(hdr + FRAME_SIZE_AT) : id3_syncsafe32(hdr + FRAME_SIZE_AT);
        if (size > a - pos - FRAME_HEADER_LEN)
            break;
        const uint8_t* body = hdr + FRAME_HEADER_LEN;
        uint8_t new_hdr[FRAME_HEADER_LEN];
        memcpy(new_hdr, hdr, FRAME_HEADER_LEN);
        uint64_t body_len = size;
        id3_owned_bytes decoded;
        if (decode) {
            decoded.reset(unsync_decode(body, size, &body_len));
            if (!decoded) {
                id3_buf_release(&out);
                return nullptr;
            }
            body = decoded.get();
            new_hdr[FRAME_FORMAT_AT] &= (uint8_t)~V4_FORMAT_UNSYNC;
        }
        id3_put_syncsafe32(new_hdr + FRAME_SIZE_AT, (uint32_t)body_len);
        // Room was reserved for all of it.
        id3_buf_append(&out, new_hdr, sizeof new_hdr);
        id3_buf_append(&out, body, body_len);
        pos += FRAME_HEADER_LEN + size;
    }
    *out_len = out.len;
    return out.data;
}

// The frame area of the tag at the start of data, which begins with "ID3" and holds len >= 10
// bytes: the first len bytes of the file, or at least all of its tag. The extended header is
// passed over and a tag-wide unsynchronisation undone (into *copy). 1 with the area; 0 when the
// tag holds nothing that can be read; -1 when memory runs out.
static int tag_area(const uint8_t* data, uint64_t len, const uint8_t** area, uint64_t* area_len,
                    id3_owned_bytes* copy) {
    uint8_t major = data[ID3_VERSION_AT];
    uint8_t flags = data[ID3_FLAGS_AT];
    // In version 2.2 this flag marks a compressed tag, for which no scheme was ever defined.
    if (major == 2 && (flags & ID3_FLAG_EXTENDED))
        return 0;
    uint64_t usable = id3_syncsafe32(data + ID3_SIZE_AT);
    if (usable > len - ID3_HEADER_LEN)
        usable =
            len - ID3_HEADER_LEN; // a tag that claims more than the file holds is read to the end
    uint64_t area_off = ID3_HEADER_LEN;
    *area_len = usable;
    // Some taggers set the flag without writing the header; the frames then start right away
    // (an extended header's size field never reads as four identifier characters).
    bool extended =
        (flags & ID3_FLAG_EXTENDED) && !(usable >= 4 && is_frame_id(data + ID3_HEADER_LEN));
    if (extended) {
        // Its size field must be there before it is read.
        if (usable <= 3)
            return 0;
        // Version 3 and earlier count the extended header without its own size field.
        const uint8_t* ext_size = data + ID3_HEADER_LEN;
        uint64_t ext = major <= 3 ? (uint64_t)id3_be32(ext_size) + 4 : id3_syncsafe32(ext_size);
        if (usable < ext)
            return 0;
        area_off += ext;
        *area_len -= ext;
    }
    *area = data + area_off;
    if ((flags & ID3_FLAG_UNSYNC) && (major == 2 || major == 3)) {
        // Versions 2.2 and 2.3 unsynchronise the whole tag, frame headers included; in 2.4 the
        // flag covers every frame body, and sizes count the bytes as stored.
        uint64_t decoded_len = 0;
        copy->reset(unsync_decode(*area, *area_len, &decoded_len));
        if (!*copy)
            return -1;
        *area = copy->get();
        *area_len = decoded_len;
    } else if (major >= 4) {
        bool plain = v4_sizes_are_plain(*area, *area_len);
        bool decode = (flags & ID3_FLAG_UNSYNC) != 0;
        if (plain || decode) {
            uint64_t normal_len = 0;
            copy->reset(normalise_v4_frames(*area, *area_len, plain, decode, &normal_len));
            if (!*copy)
                return -1;
            *area = copy->get();
            *area_len = normal_len;
        }
    }
    return 1;
}

static bool is_digits(const char* s, size_t n);
static int old_recording_time(const uint8_t* area, uint64_t a, uint8_t major, const char* year,
                              id3_buf* text);

// A version 2.2/2.3 year joined with the tag's day and time into one recording time, as the
// writer's version 2.4 tag holds it. -1 when memory runs out.
static int join_old_date(const uint8_t* area, uint64_t a, uint8_t major, id3_tags* t) {
    if (!is_digits(t->date, 4))
        return 0;
    id3_buf text = {nullptr, 0, 0};
    int rc = old_recording_time(area, a, major, t->date, &text);
    if (rc == 0 && text.len > 4)
        rc = id3_tags_store_text(&t->date, (const char*)text.data, text.len);
    id3_buf_release(&text);
    return rc;
}

// The frames of a tag as parse_tag found them, for a writer that carries them: the area, and the
// decoded copy it lies in when it had to be decoded.
struct found_area {
    const uint8_t* area;
    uint64_t len;
    id3_owned_bytes copy;
};

// Reads the tag at the start of data, which holds the file's first len bytes, or at least all of
// its tag. With `found`, the frame area is left there (area NULL when the tag holds nothing that
// can be read).
// Whether the file's first len bytes start with a tag: 1; 0 for bare audio, which has none; -1
// with a message for anything else.
static int has_tag(const uint8_t* data, uint64_t len) {
    if (!data) {
        id3_set_error("too short for ID3");
        return -1;
    }
    if (len < ID3_HEADER_LEN) {
        if (is_mpeg_sync(data, len))
            return 0;
        id3_set_error("too short for ID3");
        return -1;
    }
    if (memcmp(data, "ID3", 3) != 0) {
        if (is_mpeg_sync(data, len))
            return 0; // bare audio, no tag
        id3_set_error("no ID3 header");
        return -1;
    }
    return 1;
}

static int parse_tag(const uint8_t* data, uint64_t len, id3_tags* t, bool want_cover,
                     found_area* found = nullptr) {
    t->format = ID3_FMT_MP3;
    int tagged = has_tag(data, len);
    if (tagged != 1)
        return tagged;

    const uint8_t* area = nullptr;
    uint64_t area_len = 0;
    id3_owned_bytes area_copy;
    int readable = tag_area(data, len, &area, &area_len, &area_copy);
    if (readable < 0) {
        id3_set_error("oom");
        return -1;
    }
    if (readable == 0)
        return 0;
    int walked = data[3] == 2 ? walk_frames_v22(area, area_len, t, want_cover)
                              : walk_frames(area, area_len, data[3], t, want_cover);
    if (walked == 0 && data[3] <= 3)
        walked = join_old_date(area, area_len, data[3], t);
    if (walked != 0) {
        id3_set_error("oom");
        return -1;
    }
    if (found) {
        found->area = area;
        found->len = area_len;
        found->copy = std::move(area_copy);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// ID3v1: 128 bytes at the end of the file: "TAG", title (30), artist (30), album (30), year (4),
// comment (30; version 1.1: 28, a 00 byte and the track number), genre (1). Texts are Latin-1,
// padded with 00 or spaces.

#define V1_TITLE_AT 3
#define V1_ARTIST_AT 33
#define V1_ALBUM_AT 63
#define V1_YEAR_AT 93
#define V1_COMMENT_AT 97
#define V1_TRACK_AT 126 // version 1.1, after a 00 at 125
#define V1_GENRE_AT 127
#define V1_TEXT_LEN 30

// The genre numbers of ID3v1 and their names, as Winamp extended the list (0 to 191; 255 is
// none). Where other programs spell a name differently, most of them agree on the one here.
static const char* const kV1Genres[] = {"Blues",
                                        "Classic Rock",
                                        "Country",
                                        "Dance",
                                        "Disco",
                                        "Funk",
                                        "Grunge",
                                        "Hip-Hop",
                                        "Jazz",
                                        "Metal",
                                        "New Age",
                                        "Oldies",
                                        "Other",
                                        "Pop",
                                        "R&B",
                                        "Rap",
                                        "Reggae",
                                        "Rock",
                                        "Techno",
                                        "Industrial",
                                        "Alternative",
                                        "Ska",
                                        "Death Metal",
                                        "Pranks",
                                        "Soundtrack",
                                        "Euro-Techno",
                                        "Ambient",
                                        "Trip-Hop",
                                        "Vocal",
                                        "Jazz+Funk",
                                        "Fusion",
                                        "Trance",
                                        "Classical",
                                        "Instrumental",
                                        "Acid",
                                        "House",
                                        "Game",
                                        "Sound Clip",
                                        "Gospel",
                                        "Noise",
                                        "AlternRock",
                                        "Bass",
                                        "Soul",
                                        "Punk",
                                        "Space",
                                        "Meditative",
                                        "Instrumental Pop",
                                        "Instrumental Rock",
                                        "Ethnic",
                                        "Gothic",
                                        "Darkwave",
                                        "Techno-Industrial",
                                        "Electronic",
                                        "Pop-Folk",
                                        "Eurodance",
                                        "Dream",
                                        "Southern Rock",
                                        "Comedy",
                                        "Cult",
                                        "Gangsta",
                                        "Top 40",
                                        "Christian Rap",
                                        "Pop/Funk",
                                        "Jungle",
                                        "Native American",
                                        "Cabaret",
                                        "New Wave",
                                        "Psychedelic",
                                        "Rave",
                                        "Showtunes",
                                        "Trailer",
                                        "Lo-Fi",
                                        "Tribal",
                                        "Acid Punk",
                                        "Acid Jazz",
                                        "Polka",
                                        "Retro",
                                        "Musical",
                                        "Rock & Roll",
                                        "Hard Rock",
                                        "Folk",
                                        "Folk-Rock",
                                        "National Folk",
                                        "Swing",
                                        "Fast Fusion",
                                        "Bebop",
                                        "Latin",
                                        "Revival",
                                        "Celtic",
                                        "Bluegrass",
                                        "Avantgarde",
                                        "Gothic Rock",
                                        "Progressive Rock",
                                        "Psychedelic Rock",
                                        "Symphonic Rock",
                                        "Slow Rock",
                                        "Big Band",
                                        "Chorus",
                                        "Easy Listening",
                                        "Acoustic",
                                        "Humour",
                                        "Speech",
                                        "Chanson",
                                        "Opera",
                                        "Chamber Music",
                                        "Sonata",
                                        "Symphony",
                                        "Booty Bass",
                                        "Primus",
                                        "Porn Groove",
                                        "Satire",
                                        "Slow Jam",
                                        "Club",
                                        "Tango",
                                        "Samba",
                                        "Folklore",
                                        "Ballad",
                                        "Power Ballad",
                                        "Rhythmic Soul",
                                        "Freestyle",
                                        "Duet",
                                        "Punk Rock",
                                        "Drum Solo",
                                        "A Cappella",
                                        "Euro-House",
                                        "Dance Hall",
                                        "Goa",
                                        "Drum & Bass",
                                        "Club-House",
                                        "Hardcore Techno",
                                        "Terror",
                                        "Indie",
                                        "BritPop",
                                        "Afro-Punk",
                                        "Polsk Punk",
                                        "Beat",
                                        "Christian Gangsta Rap",
                                        "Heavy Metal",
                                        "Black Metal",
                                        "Crossover",
                                        "Contemporary Christian",
                                        "Christian Rock",
                                        "Merengue",
                                        "Salsa",
                                        "Thrash Metal",
                                        "Anime",
                                        "Jpop",
                                        "Synthpop",
                                        "Abstract",
                                        "Art Rock",
                                        "Baroque",
                                        "Bhangra",
                                        "Big Beat",
                                        "Breakbeat",
                                        "Chillout",
                                        "Downtempo",
                                        "Dub",
                                        "EBM",
                                        "Eclectic",
                                        "Electro",
                                        "Electroclash",
                                        "Emo",
                                        "Experimental",
                                        "Garage",
                                        "Global",
                                        "IDM",
                                        "Illbient",
                                        "Industro-Goth",
                                        "Jam Band",
                                        "Krautrock",
                                        "Leftfield",
                                        "Lounge",
                                        "Math Rock",
                                        "New Romantic",
                                        "Nu-Breakz",
                                        "Post-Punk",
                                        "Post-Rock",
                                        "Psytrance",
                                        "Shoegaze",
                                        "Space Rock",
                                        "Trop Rock",
                                        "World Music",
                                        "Neoclassical",
                                        "Audiobook",
                                        "Audio Theatre",
                                        "Neue Deutsche Welle",
                                        "Podcast",
                                        "Indie Rock",
                                        "G-Funk",
                                        "Dubstep",
                                        "Garage Rock",
                                        "Psybient"};
#define V1_GENRE_COUNT (sizeof kV1Genres / sizeof kV1Genres[0])

// Other spellings of genre names in common use, so that a name written by another program (or by
// an earlier version of this library) still gets its number in an ID3v1 tag.
static const struct {
    const char* name;
    uint8_t number;
} kV1GenreAliases[] = {{"Jazz-Funk", 29},   {"Alternative Rock", 40}, {"Alt. Rock", 40},
                       {"Gangsta Rap", 59}, {"Folk Rock", 81},        {"Fast-Fusion", 84},
                       {"Avant-garde", 90}, {"Dancehall", 125},       {"Hardcore", 129},
                       {"Worldbeat", 133}};

// The name of ID3v1 genre number n, or NULL past the table.
const char* id3_v1_genre_name(unsigned n) {
    return n < V1_GENRE_COUNT ? kV1Genres[n] : nullptr;
}

// Whether name is genre_name, ignoring ASCII case.
static bool same_genre_name(const char* name, const char* genre_name) {
    size_t len = strlen(genre_name);
    return strlen(name) == len && plat_strnicmp(name, genre_name, len) == 0;
}

// The ID3v1 number of a genre name (255, none, for a name outside the table).
static uint8_t v1_genre_number(const char* name) {
    for (size_t i = 0; i < V1_GENRE_COUNT; i++)
        if (same_genre_name(name, kV1Genres[i]))
            return (uint8_t)i;
    for (const auto& alias : kV1GenreAliases)
        if (same_genre_name(name, alias.name))
            return alias.number;
    return 255;
}

// Whether the file's last 128 bytes (v1, after the ID3v2 tag that ends at v2_end) are an ID3v1
// tag.
static bool is_v1_tag(const uint8_t* v1, uint64_t size, uint64_t v2_end) {
    return size >= ID3_V1_TAG_LEN && size - ID3_V1_TAG_LEN >= v2_end && memcmp(v1, "TAG", 3) == 0;
}

// A Latin-1 field of an ID3v1 tag as UTF-8, trailing spaces and padding left out. -1 when memory
// runs out.
static int v1_text(const uint8_t* p, uint64_t n, char** out) {
    uint64_t len = 0;
    while (len < n && p[len] != 0)
        len++;
    while (len > 0 && p[len - 1] == ' ')
        len--;
    *out = id3_decode_id3_text(0, p, len);
    return *out ? 0 : -1;
}

// Fills the fields the record lacks (NULL or empty) from an ID3v1 tag. -1 when memory runs out.
static int read_v1(const uint8_t* v1, id3_tags* t) {
    struct {
        char** field;
        uint64_t at, n;
    } texts[] = {{&t->title, V1_TITLE_AT, V1_TEXT_LEN},
                 {&t->artist, V1_ARTIST_AT, V1_TEXT_LEN},
                 {&t->album, V1_ALBUM_AT, V1_TEXT_LEN},
                 {&t->date, V1_YEAR_AT, 4}};
    for (const auto& f : texts) {
        if (*f.field && (*f.field)[0] != '\0')
            continue;
        char* text = nullptr;
        if (v1_text(v1 + f.at, f.n, &text) != 0)
            return -1;
        if (text[0] == '\0' && !*f.field) {
            free(text);
            continue;
        }
        free(*f.field);
        *f.field = text;
    }
    char number[4];
    const char* genre = id3_v1_genre_name(v1[V1_GENRE_AT]);
    if (genre && (!t->genre || t->genre[0] == '\0') && id3_tags_set_str(&t->genre, genre) != 0)
        return -1;
    if (v1[V1_TRACK_AT - 1] == 0 && v1[V1_TRACK_AT] != 0 && (!t->track || t->track[0] == '\0')) {
        snprintf(number, sizeof number, "%u", v1[V1_TRACK_AT]);
        if (id3_tags_set_str(&t->track, number) != 0)
            return -1;
    }
    return 0;
}

// The end of the ID3v2 tag at the start of data (0 without one).
static uint64_t v2_end(const uint8_t* head, uint64_t len) {
    if (len < ID3_HEADER_LEN || memcmp(head, "ID3", 3) != 0)
        return 0;
    return id3_tag_end(head);
}

int id3_mp3_read(const uint8_t* data, uint64_t len, id3_tags* t) {
    int rc = parse_tag(data, len, t, true);
    if (rc != 0 || len < ID3_V1_TAG_LEN)
        return rc;
    const uint8_t* v1 = data + len - ID3_V1_TAG_LEN;
    if (is_v1_tag(v1, len, v2_end(data, len)) && read_v1(v1, t) != 0) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

// Bytes from the start of the file to the end of its ID3v2 tag, the header's size taken as it is
// (the reader bounds it by the file).
static uint64_t tag_extent(const id3_file* f) {
    if (f->size < ID3_HEADER_LEN || memcmp(f->prefix, "ID3", 3) != 0)
        return f->size < ID3_HEADER_LEN ? f->size : ID3_HEADER_LEN;
    return ID3_HEADER_LEN + (uint64_t)id3_syncsafe32(f->prefix + ID3_SIZE_AT);
}

// The file's first bytes up to the end of its tag (all the reader looks at, whatever the size of
// the audio after them): a pointer into the bytes read at open, or a copy in *hold. *len gets
// their count. NULL with a message when the file cannot be read.
static const uint8_t* tag_bytes(const id3_file* f, uint64_t* len, id3_owned_bytes* hold,
                                const id3_old_tag* held = nullptr) {
    uint64_t need = tag_extent(f);
    if (need > f->size)
        need = f->size;
    *len = need;
    if (need <= f->prefix_len)
        return f->prefix;
    // A write's load keeps the bytes of a tag past the prefix whose frames it carries.
    if (held && held->tag_copy)
        return held->tag_copy;
    hold->reset(id3_file_dup(f, 0, need));
    return hold->get();
}

// Whether the file's tag is one whose frames a write carries over (versions 2.2 to 2.4), its
// pictures included.
static bool carries_frames(const id3_file* f) {
    if (f->size < ID3_HEADER_LEN || memcmp(f->prefix, "ID3", 3) != 0)
        return false;
    uint8_t major = f->prefix[ID3_VERSION_AT];
    return major >= 2 && major <= 4;
}

// The file's ID3v1 tag into v1: 1, 0 when it has none, -1 with a message when the file cannot be
// read.
static int read_v1_tag(const id3_file* f, uint8_t v1[ID3_V1_TAG_LEN]) {
    if (f->size < ID3_V1_TAG_LEN ||
        !is_v1_tag((const uint8_t*)"TAG", f->size, v2_end(f->prefix, f->prefix_len)))
        return 0;
    if (id3_file_read(f, f->size - ID3_V1_TAG_LEN, v1, ID3_V1_TAG_LEN) != 0)
        return -1;
    return memcmp(v1, "TAG", 3) == 0 ? 1 : 0;
}

// Copies the text fields of src that are present into dst. -1 when memory runs out.
static int copy_texts(id3_tags* dst, const id3_tags* src) {
    const char* const from[] = {src->title, src->artist, src->album,
                                src->genre, src->date,   src->track};
    char** const to[] = {&dst->title, &dst->artist, &dst->album,
                         &dst->genre, &dst->date,   &dst->track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (from[i] && id3_tags_set_str(to[i], from[i]) != 0)
            return -1;
    }
    return 0;
}

// The record's cover, which parse_tag noted without copying it, left where it stands in the tag's
// bytes for ID3_COVER_IN_TAG: keep points at the picture and holds the tag's copy (taken from
// *hold unless keep has it already; none when the tag lies in the file's prefix). A picture that
// had to be decoded (an unsynchronised tag or frame, version 2.4 sizes written as plain integers)
// lies in a copy gone by now: the tag is read again for a copy of it in the record. -1 with a
// message when memory runs out.
static int keep_cover_in_tag(const uint8_t* tag, uint64_t len, id3_tags* t, id3_old_tag* keep,
                             id3_owned_bytes* hold) {
    const uint8_t* at = t->cover_seen;
    if (at >= tag && at <= tag + len && t->cover_seen_len <= (uint64_t)(tag + len - at)) {
        keep->cover = at;
        keep->cover_len = t->cover_seen_len;
        if (*hold)
            keep->tag_copy = hold->release();
        return 0;
    }
    id3_tags again;
    id3_tags_init(&again);
    id3_tags_guard guard{&again};
    if (parse_tag(tag, len, &again, true) != 0)
        return -1;
    t->cover_data = again.cover_data;
    t->cover_size = again.cover_size;
    again.cover_data = nullptr;
    return 0;
}

int id3_mp3_load(const id3_file* f, id3_tags* t, int cover, id3_old_tag* keep) {
    bool carried = carries_frames(f);
    bool want_cover = cover == ID3_COVER_BYTES || (cover == ID3_COVER_UNLESS_CARRIED && !carried);
    uint64_t len = 0;
    id3_owned_bytes hold;
    const uint8_t* tag = tag_bytes(f, &len, &hold);
    if (!tag) {
        t->format = ID3_FMT_MP3;
        return -1;
    }
    found_area found = {nullptr, 0, nullptr};
    if (parse_tag(tag, len, t, want_cover, keep ? &found : nullptr) != 0)
        return -1;
    if (keep) {
        // The ID3v2 tag's own texts, before ID3v1 fills what it lacks.
        if (copy_texts(&keep->v2, t) != 0) {
            id3_set_error("oom");
            return -1;
        }
        keep->v2_read = 1;
        if (carried) {
            keep->major = f->prefix[ID3_VERSION_AT];
            keep->area = found.area;
            keep->area_len = found.area ? found.len : 0;
            keep->area_copy = found.copy.release();
            keep->tag_copy = hold.release();
        }
    }
    if (cover == ID3_COVER_IN_TAG && keep && t->has_cover &&
        keep_cover_in_tag(tag, len, t, keep, &hold) != 0)
        return -1;
    // ID3v1 fills what the ID3v2 tag lacks: one read of the last 128 bytes.
    uint8_t v1[ID3_V1_TAG_LEN];
    int has_v1 = read_v1_tag(f, v1);
    if (has_v1 != 1)
        return has_v1;
    if (keep) {
        keep->has_v1 = 1;
        memcpy(keep->v1, v1, sizeof v1);
    }
    if (read_v1(v1, t) != 0) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Writer

// A syncsafe size field holds at most 2^28 - 1.
static const uint64_t SYNCSAFE_MAX = 0x0FFFFFFF;
static const uint64_t PADDING = 1024;

static void put_frame_header(uint8_t* hdr, const char* id, uint64_t body_size) {
    memcpy(hdr, id, 4);
    id3_put_syncsafe32(hdr + 4, (uint32_t)body_size);
    hdr[FRAME_STATUS_AT] = 0x00;
    hdr[FRAME_FORMAT_AT] = 0x00;
}

// A text frame: header, encoding 3 (UTF-8), the text's n bytes without a terminator. On failure
// the frames buffer keeps its earlier length, so no frame is left half written.
// With `lend`, a text of ID3_BORROW_MIN bytes or more is borrowed where it lies.
static int append_text_frame(id3_buf* frames, const char* id, const char* text, uint64_t n,
                             id3_head* lend = nullptr) {
    uint8_t hdr[FRAME_HEADER_LEN];
    put_frame_header(hdr, id, n + 1);
    const uint8_t encoding = ID3_ENC_UTF8;
    uint64_t before = frames->len;
    bool borrow = lend && n >= ID3_BORROW_MIN;
    if (id3_buf_append(frames, hdr, sizeof hdr) != 0 || id3_buf_append(frames, &encoding, 1) != 0 ||
        (borrow ? id3_head_borrow(lend, frames->len, (const uint8_t*)text, n)
                : id3_buf_append(frames, text, n)) != 0) {
        frames->len = before;
        return -1;
    }
    return 0;
}

static const char* apic_mime(const id3_tags* t) {
    return t->cover_mime[0] != '\0' ? t->cover_mime : ID3_DEFAULT_MIME;
}

static uint64_t apic_mime_len(const id3_tags* t) {
    if (t->cover_mime[0] == '\0')
        return strlen(ID3_DEFAULT_MIME);
    // The field is read no further than its 64 bytes, terminated or not.
    const void* nul = memchr(t->cover_mime, 0, sizeof t->cover_mime);
    return nul ? (uint64_t)((const char*)nul - t->cover_mime) : sizeof t->cover_mime;
}

// The picture frame: encoding 3, the MIME type + 00, picture type 3 (front cover), an empty
// description (00), the picture bytes (a large picture borrowed from the record, which lives until
// the fill).
static int append_apic_frame(id3_buf* frames, const id3_tags* t, id3_head* borrow) {
    const char* mime = apic_mime(t);
    uint64_t mime_len = apic_mime_len(t);
    const uint8_t encoding = ID3_ENC_UTF8;
    const uint8_t after_mime[3] = {0x00, 0x03, 0x00}; // MIME terminator, front cover, description
    uint8_t hdr[FRAME_HEADER_LEN];
    put_frame_header(hdr, "APIC", 1 + mime_len + sizeof after_mime + t->cover_size);
    uint64_t before = frames->len;
    if (id3_buf_append(frames, hdr, sizeof hdr) != 0 || id3_buf_append(frames, &encoding, 1) != 0 ||
        id3_buf_append(frames, mime, mime_len) != 0 ||
        id3_buf_append(frames, after_mime, sizeof after_mime) != 0 ||
        (t->cover_size >= ID3_BORROW_MIN
             ? id3_head_borrow(borrow, frames->len, t->cover_data, t->cover_size)
             : id3_buf_append(frames, t->cover_data, t->cover_size)) != 0) {
        frames->len = before;
        return -1;
    }
    return 0;
}

// The text frames in the order they are written, with their bodies' lengths.
struct text_frame {
    const char* id;
    const char* text;
    uint64_t len;
};

static void add_text_frame(text_frame* out, int* count, const char* id, const char* text,
                           uint64_t len) {
    out[*count] = text_frame{id, text, len};
    (*count)++;
}

// The frames of the record's fields in `fields` (ID3_NAMED_* bits) that are not NULL.
static int list_text_frames(const id3_tags* t, uint32_t fields, text_frame out[6]) {
    int count = 0;
    if (t->title && (fields & ID3_NAMED_TITLE))
        add_text_frame(out, &count, "TIT2", t->title, strlen(t->title));
    if (t->artist && (fields & ID3_NAMED_ARTIST))
        add_text_frame(out, &count, "TPE1", t->artist, strlen(t->artist));
    if (t->album && (fields & ID3_NAMED_ALBUM))
        add_text_frame(out, &count, "TALB", t->album, strlen(t->album));
    if (t->genre && (fields & ID3_NAMED_GENRE))
        add_text_frame(out, &count, "TCON", t->genre, strlen(t->genre));
    // TDRC only: TYER is a version 2.3 frame, which version 2.4 readers do not map.
    if (t->date && (fields & ID3_NAMED_DATE))
        add_text_frame(out, &count, "TDRC", t->date, strlen(t->date));
    if (t->track && (fields & ID3_NAMED_TRACK))
        add_text_frame(out, &count, "TRCK", t->track, strlen(t->track));
    return count;
}

// Whether the whole tag (frames + padding), and so every frame body in it, fits a syncsafe size;
// *size gets its byte count.
// `carried` counts the old frames kept, which fit one already. The texts are real strings, so
// only the picture's count can make the sum wrap.
static bool tag_fits(const text_frame* texts, int count, uint64_t carried, const id3_tags* t,
                     bool with_apic, uint64_t* size) {
    uint64_t total = PADDING + carried;
    for (int i = 0; i < count; i++)
        total += FRAME_HEADER_LEN + texts[i].len + 1;
    if (with_apic) {
        if (t->cover_size > SYNCSAFE_MAX)
            return false;
        total += FRAME_HEADER_LEN + apic_mime_len(t) + 4 + t->cover_size;
    }
    *size = total;
    return total <= SYNCSAFE_MAX;
}

// Whether a frame is one of a named field: a new frame takes its place. The date takes all the
// frames that once held parts of it.
static bool is_named_frame(const uint8_t* id, uint32_t named) {
    static const struct {
        const char id[5];
        uint32_t field;
    } kFrames[] = {{"TIT2", ID3_NAMED_TITLE}, {"TPE1", ID3_NAMED_ARTIST}, {"TALB", ID3_NAMED_ALBUM},
                   {"TCON", ID3_NAMED_GENRE}, {"TRCK", ID3_NAMED_TRACK},  {"TDRC", ID3_NAMED_DATE},
                   {"TYER", ID3_NAMED_DATE},  {"TDAT", ID3_NAMED_DATE},   {"TIME", ID3_NAMED_DATE},
                   {"TRDA", ID3_NAMED_DATE}};
    for (const auto& k : kFrames) {
        if ((named & k.field) && memcmp(id, k.id, 4) == 0)
            return true;
    }
    return false;
}

// The picture type of an APIC frame (the byte after the MIME type), or PICTURE_TYPE_UNKNOWN when
// the body does not reach it or cannot be read (compressed or encrypted); PICTURE_TYPE_OOM when
// memory runs out.
#define PICTURE_TYPE_UNKNOWN (-1)
#define PICTURE_TYPE_OOM (-2)
static int apic_type(const frame_ref* fr, uint8_t major) {
    const uint8_t* body = nullptr;
    uint64_t n = 0;
    id3_owned_bytes copy;
    bool skip = false;
    if (frame_body(fr, major, &body, &n, &copy, &skip) != 0)
        return PICTURE_TYPE_OOM;
    if (skip || n < 2)
        return PICTURE_TYPE_UNKNOWN;
    const uint8_t* mime_end = (const uint8_t*)memchr(body + 1, 0, (size_t)(n - 1));
    if (!mime_end || (uint64_t)(mime_end - body) + 1 >= n)
        return PICTURE_TYPE_UNKNOWN;
    return mime_end[1];
}

// Version 2.2 frames by their later identifiers, as version 2.3 names them (the bodies are the
// same, except PIC's image format). Frames missing here (CRM, LNK and unknown identifiers) have
// no later form and are not carried.
static const char kV22Ids[][2][5] = {
    {"BUF", "RBUF"}, {"CNT", "PCNT"}, {"COM", "COMM"}, {"CRA", "AENC"}, {"ETC", "ETCO"},
    {"GEO", "GEOB"}, {"GP1", "GRP1"}, {"IPL", "IPLS"}, {"MCI", "MCDI"}, {"MLL", "MLLT"},
    {"MVI", "MVIN"}, {"MVN", "MVNM"}, {"PIC", "APIC"}, {"POP", "POPM"}, {"REV", "RVRB"},
    {"RVA", "RVAD"}, {"SLT", "SYLT"}, {"STC", "SYTC"}, {"TAL", "TALB"}, {"TBP", "TBPM"},
    {"TCM", "TCOM"}, {"TCO", "TCON"}, {"TCP", "TCMP"}, {"TCR", "TCOP"}, {"TDA", "TDAT"},
    {"TDY", "TDLY"}, {"TEN", "TENC"}, {"TFT", "TFLT"}, {"TIM", "TIME"}, {"TKE", "TKEY"},
    {"TLA", "TLAN"}, {"TLE", "TLEN"}, {"TMT", "TMED"}, {"TOA", "TOPE"}, {"TOF", "TOFN"},
    {"TOL", "TOLY"}, {"TOR", "TORY"}, {"TOT", "TOAL"}, {"TP1", "TPE1"}, {"TP2", "TPE2"},
    {"TP3", "TPE3"}, {"TP4", "TPE4"}, {"TPA", "TPOS"}, {"TPB", "TPUB"}, {"TRC", "TSRC"},
    {"TRD", "TRDA"}, {"TRK", "TRCK"}, {"TS2", "TSO2"}, {"TSA", "TSOA"}, {"TSC", "TSOC"},
    {"TSI", "TSIZ"}, {"TSP", "TSOP"}, {"TSS", "TSSE"}, {"TST", "TSOT"}, {"TT1", "TIT1"},
    {"TT2", "TIT2"}, {"TT3", "TIT3"}, {"TXT", "TEXT"}, {"TXX", "TXXX"}, {"TYE", "TYER"},
    {"UFI", "UFID"}, {"ULT", "USLT"}, {"WAF", "WOAF"}, {"WAR", "WOAR"}, {"WAS", "WOAS"},
    {"WCM", "WCOM"}, {"WCP", "WCOP"}, {"WPB", "WPUB"}, {"WXX", "WXXX"}};

// Version 2.3 frames that version 2.4 replaced, with their 2.4 form; an empty one drops the frame.
// The year becomes the recording time, which also takes the day (TDAT) and time (TIME); the
// recording dates (TRDA) and the size (TSIZ) have no 2.4 form and no reader shows them. The
// volume and equalisation frames (RVAD, EQUA) are carried as they are.
static const char kV24Forms[][2][5] = {{"TYER", "TDRC"}, {"TDAT", ""},     {"TIME", ""},
                                       {"TORY", "TDOR"}, {"IPLS", "TIPL"}, {"TRDA", ""},
                                       {"TSIZ", ""}};

// A frame of an old tag of any version, in version 2.3/2.4 terms.
struct old_frame {
    char id[5];          // the version 2.3 identifier (a version 2.2 one translated); "" unknown
    const uint8_t* hdr;  // versions 2.3/2.4: the 10-byte header; 2.2: NULL
    const uint8_t* body; // the stored body, as the frame holds it
    uint64_t n;
    frame_ref ref; // versions 2.3/2.4
};

// The frame at *pos of an old tag of version `major`, which then moves past it. False where the
// walk ends.
static bool next_old_frame(const uint8_t* area, uint64_t a, uint8_t major, uint64_t* pos,
                           old_frame* of) {
    memset(of, 0, sizeof *of);
    if (major != 2) {
        if (!next_frame(area, a, major, pos, &of->ref))
            return false;
        of->hdr = of->ref.hdr;
        of->body = of->hdr + FRAME_HEADER_LEN;
        of->n = of->ref.size;
        if (is_frame_id(of->hdr))
            memcpy(of->id, of->hdr, 4);
        return true;
    }
    if (a - *pos < V22_FRAME_HEADER_LEN)
        return false;
    const uint8_t* hdr = area + *pos;
    if (!is_id_char(hdr[0]) || !is_id_char(hdr[1]) || !is_id_char(hdr[2]))
        return false;
    uint64_t n = id3_be24(hdr + 3);
    if (n > a - *pos - V22_FRAME_HEADER_LEN)
        return false;
    for (const auto& ids : kV22Ids) {
        if (memcmp(hdr, ids[0], 3) == 0)
            memcpy(of->id, ids[1], 5);
    }
    of->body = hdr + V22_FRAME_HEADER_LEN;
    of->n = n;
    *pos += V22_FRAME_HEADER_LEN + n;
    return true;
}

// Whether an old frame's body is stored as it reads (not compressed or encrypted).
static bool old_frame_plain(const old_frame* of, uint8_t major) {
    uint8_t format_flags = of->hdr ? of->hdr[FRAME_FORMAT_AT] : 0;
    if (major == 3)
        return (format_flags & (V3_FORMAT_COMPRESSED | V3_FORMAT_ENCRYPTED)) == 0;
    if (major >= 4)
        return (format_flags & (V4_FORMAT_COMPRESSED | V4_FORMAT_ENCRYPTED)) == 0;
    return true;
}

// The text of the first readable frame `id` of an old tag, or NULL (none, or memory ran out: a
// date is then carried with less of it).
static char* old_frame_text(const uint8_t* area, uint64_t a, uint8_t major, const char* id) {
    uint64_t pos = 0;
    old_frame of;
    while (next_old_frame(area, a, major, &pos, &of)) {
        if (memcmp(of.id, id, 4) == 0 && of.n > 0 && old_frame_plain(&of, major))
            return id3_decode_id3_text(of.body[0], of.body + 1, of.n - 1);
    }
    return nullptr;
}

static bool is_digits(const char* s, size_t n) {
    if (!s || strlen(s) != n)
        return false;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9')
            return false;
    }
    return true;
}

// The recording time of a version 2.2/2.3 tag: the year, then -MM-DD from the day (TDAT, DDMM)
// and THH:MM from the time (TIME, HHMM) when they are four digits and the year is too.
// -1 when memory runs out.
static int old_recording_time(const uint8_t* area, uint64_t a, uint8_t major, const char* year,
                              id3_buf* text) {
    if (id3_buf_append(text, year, strlen(year)) != 0)
        return -1;
    if (!is_digits(year, 4))
        return 0;
    id3_owned_text day(old_frame_text(area, a, major, "TDAT"));
    if (!is_digits(day.get(), 4))
        return 0;
    const char* d = day.get();
    const char md[6] = {'-', d[2], d[3], '-', d[0], d[1]};
    if (id3_buf_append(text, md, sizeof md) != 0)
        return -1;
    id3_owned_text time(old_frame_text(area, a, major, "TIME"));
    if (!is_digits(time.get(), 4))
        return 0;
    const char* h = time.get();
    const char hm[6] = {'T', h[0], h[1], ':', h[2], h[3]};
    return id3_buf_append(text, hm, sizeof hm);
}

// Appends a version 2.4 frame to `to`: the header with the body size, prefix bytes, then the body.
// *bytes grows by its length; with `to` NULL it is only counted. With `borrow`, a large body (which
// lives until the fill) is not copied: the head borrows it. -1 when memory runs out.
static int emit_frame(id3_buf* to, uint64_t* bytes, uint8_t hdr[FRAME_HEADER_LEN],
                      const uint8_t* prefix, uint64_t prefix_n, const uint8_t* body, uint64_t n,
                      id3_head* borrow = nullptr) {
    id3_put_syncsafe32(hdr + FRAME_SIZE_AT, (uint32_t)(prefix_n + n));
    *bytes += FRAME_HEADER_LEN + prefix_n + n;
    if (!to)
        return 0;
    uint64_t before = to->len;
    bool lend = borrow && n >= ID3_BORROW_MIN;
    if (id3_buf_append(to, hdr, FRAME_HEADER_LEN) != 0 ||
        id3_buf_append(to, prefix, prefix_n) != 0 ||
        (lend ? id3_head_borrow(borrow, to->len, body, n) : id3_buf_append(to, body, n)) != 0) {
        to->len = before;
        return -1;
    }
    return 0;
}

// The picture type of an old picture frame, as apic_type gives it.
static int old_picture_type(const old_frame* of, uint8_t major) {
    if (major == 2)
        return of->n > 4 ? of->body[4] : PICTURE_TYPE_UNKNOWN;
    return apic_type(&of->ref, major);
}

// Carries one frame of a version 2.2 or 2.3 tag in its version 2.4 form (see kV22Ids and
// kV24Forms). -1 when memory runs out.
static int carry_old_frame(const uint8_t* area, uint64_t a, uint8_t major, const old_frame* of,
                           id3_buf* to, uint64_t* bytes, id3_head* borrow = nullptr) {
    char id[5];
    memcpy(id, of->id, 5);
    for (const auto& form : kV24Forms) {
        if (memcmp(id, form[0], 4) == 0)
            memcpy(id, form[1], 5);
    }
    if (id[0] == '\0')
        return 0;
    uint8_t hdr[FRAME_HEADER_LEN] = {0};
    memcpy(hdr, id, 4);
    const uint8_t* body = of->body;
    uint64_t n = of->n;
    // Version 2.3: status flags move one bit down; the body is already free of the tag's
    // unsynchronisation. Version 2.2 has no flags.
    uint8_t format_flags = major == 3 ? of->hdr[FRAME_FORMAT_AT] : 0;
    if (major == 3)
        hdr[FRAME_STATUS_AT] = (uint8_t)((of->hdr[FRAME_STATUS_AT] & V3_STATUS_FLAGS) >> 1);
    if (format_flags & V3_FORMAT_COMPRESSED) {
        // A 2.3 compressed body starts with the decompressed size (plain 32-bit); 2.4 keeps the
        // same zlib bytes behind a data length indicator (syncsafe). Grouped ones order their
        // extra bytes differently and are not carried.
        if ((format_flags & (V3_FORMAT_ENCRYPTED | V3_FORMAT_GROUPED)) || n < 4)
            return 0;
        uint32_t full = id3_be32(body);
        if (full > SYNCSAFE_MAX)
            return 0;
        uint8_t dli[4];
        id3_put_syncsafe32(dli, full);
        hdr[FRAME_FORMAT_AT] = V4_FORMAT_COMPRESSED | V4_FORMAT_DATA_LENGTH;
        return emit_frame(to, bytes, hdr, dli, sizeof dli, body + 4, n - 4);
    }
    if (format_flags & V3_FORMAT_ENCRYPTED)
        return 0;
    hdr[FRAME_FORMAT_AT] = (format_flags & V3_FORMAT_GROUPED) ? V4_FORMAT_GROUPED : 0;
    // The reader joins the tag's day and time to a year, and to a recording time that a version
    // 2.3 tag holds as well.
    bool year = memcmp(of->id, "TYER", 4) == 0;
    bool recording_time = memcmp(of->id, "TDRC", 4) == 0;
    if (year || recording_time) {
        id3_owned_text given(id3_decode_id3_text(body[0], body + 1, n - 1));
        id3_buf text = {nullptr, 0, 0};
        int rc = !given || old_recording_time(area, a, major, given.get(), &text) != 0 ? -1 : 0;
        // A recording time that takes no day or time is carried as it is stored.
        bool as_stored = rc == 0 && recording_time && text.len == strlen(given.get());
        // ISO-8859-1 for an ASCII text, as mutagen and TagLib write the joined frame.
        uint8_t encoding = ID3_ENC_LATIN1;
        for (uint64_t i = 0; i < text.len; i++)
            encoding = text.data[i] >= 0x80 ? ID3_ENC_UTF8 : encoding;
        if (rc == 0 && !as_stored)
            rc = emit_frame(to, bytes, hdr, &encoding, 1, text.data, text.len);
        id3_buf_release(&text);
        if (rc != 0 || !as_stored)
            return rc;
    }
    if (major == 2 && memcmp(of->id, "APIC", 4) == 0) {
        // PIC: encoding, image format (3), then what APIC has after its MIME type.
        if (n < 5)
            return 0;
        uint8_t prefix[12] = {body[0], 'i', 'm', 'a', 'g', 'e', '/'};
        uint64_t p = 7;
        if (memcmp(body + 1, "JPG", 3) == 0) {
            memcpy(prefix + p, "jpeg", 4);
            p += 4;
        } else {
            for (int i = 1; i <= 3 && body[i] != 0; i++)
                prefix[p++] = (uint8_t)(body[i] | (body[i] >= 'A' && body[i] <= 'Z' ? 32 : 0));
        }
        prefix[p++] = 0x00;
        return emit_frame(to, bytes, hdr, prefix, p, body + 4, n - 4, borrow);
    }
    return emit_frame(to, bytes, hdr, nullptr, 0, body, n, borrow);
}

// Where the year stands whose text the reader gives for the date of a version 2.2/2.3 tag
// (*year_at): the first TYER with a text, unless a TDRC follows it, whose text is taken whatever
// came before (a year only fills a date without text). NO_FRAME when the date comes from a TDRC
// or from no frame. -1 when memory runs out.
#define NO_FRAME UINT64_MAX
static int shown_year(const uint8_t* area, uint64_t a, uint8_t major, uint64_t* year_at) {
    *year_at = NO_FRAME;
    bool date_has_text = false;
    uint64_t pos = 0;
    old_frame of;
    for (uint64_t at = 0; next_old_frame(area, a, major, &pos, &of); at = pos) {
        bool recording_time = memcmp(of.id, "TDRC", 4) == 0;
        if (!recording_time && (memcmp(of.id, "TYER", 4) != 0 || date_has_text))
            continue;
        if (of.n == 0 || !old_frame_plain(&of, major))
            continue;
        id3_owned_text text(id3_decode_id3_text(of.body[0], of.body + 1, of.n - 1));
        if (!text)
            return -1;
        date_has_text = text.get()[0] != '\0';
        *year_at = recording_time ? NO_FRAME : at;
    }
    return 0;
}

// The new frames of the named properties, and how they change the pair frames (involved people,
// musicians): of a kind whose pairs a property names or that takes new pairs, every readable old
// frame is written again in its place without the named pairs (and goes when none is left); the
// first of them takes the new pairs, which without one make a new frame among the others.
struct prop_plan {
    id3_buf frames;
    id3_head lent;           // the large values that the frames borrow, between their own bytes
    bool pairs_rebuilt[2];   // PAIRS_PEOPLE, PAIRS_MUSICIANS
    uint64_t first_pairs[2]; // where the first readable old frame of the kind stands in the area
    id3_buf new_pairs[2];    // role and name of each new pair, each text with 00 after it
};

static void prop_plan_release(prop_plan* plan) {
    id3_buf_release(&plan->frames);
    id3_head_release(&plan->lent);
    id3_buf_release(&plan->new_pairs[0]);
    id3_buf_release(&plan->new_pairs[1]);
}

static int plan_properties(const id3_old_tag* old, const id3_prop_edits* e, prop_plan* plan);
static int frame_named(const old_frame* of, uint8_t major, const id3_prop_edits* e);
static int pair_kind(const char* id);
static int carry_pair_frame(const old_frame* of, uint8_t major, uint64_t at, const prop_plan* plan,
                            const id3_prop_edits* e, id3_buf* to, uint64_t* bytes);

// Appends the frames of an old frame area that the new tag keeps, in their order, to `to`: the
// pictures when `pictures` is set, else the others. *bytes grows by what they take; with `to`
// NULL they are only counted. Left out are the frames of named fields, the years of a version
// 2.2/2.3 tag but the one the reader shows, front covers (picture type 3) when the cover is
// replaced, frames of size 0, and frames whose identifier is not four characters A-Z or 0-9 (a
// reader that finds one cannot tell where the frame before it ends), and the frames the properties
// replace (see prop_plan). A version 2.4 frame is kept
// byte for byte (as tag_area gives it: sizes syncsafe, the tag's unsynchronisation undone); a
// version 2.2 or 2.3 frame takes its version 2.4 form. -1 when memory runs out.
static int carry_frames(const uint8_t* area, uint64_t a, uint8_t major, id3_change change,
                        const prop_plan* plan, bool pictures, id3_buf* to, uint64_t* bytes,
                        id3_head* borrow = nullptr) {
    // Every year of a version 2.2/2.3 tag carried becomes a recording time, of which the last is
    // read: only the year the reader shows is carried.
    uint64_t year_at = NO_FRAME;
    if (major < 4 && shown_year(area, a, major, &year_at) != 0)
        return -1;
    uint64_t pos = 0;
    old_frame of;
    for (uint64_t at = 0; next_old_frame(area, a, major, &pos, &of); at = pos) {
        if (of.n == 0 || of.id[0] == '\0')
            continue;
        if (is_named_frame((const uint8_t*)of.id, change.named))
            continue;
        // Frames of named properties, and the pair frames written again.
        int kind = pair_kind(of.id);
        int named = frame_named(&of, major, change.props);
        if (named < 0)
            return -1;
        if (named)
            continue;
        if (kind >= 0 && plan->pairs_rebuilt[kind] && old_frame_plain(&of, major)) {
            if (!pictures && carry_pair_frame(&of, major, at, plan, change.props, to, bytes) != 0)
                return -1;
            continue;
        }
        if (major < 4 && memcmp(of.id, "TYER", 4) == 0 && at != year_at)
            continue;
        bool picture = memcmp(of.id, "APIC", 4) == 0;
        if (picture != pictures)
            continue;
        if (picture && change.cover_replaced) {
            int type = old_picture_type(&of, major);
            if (type == PICTURE_TYPE_OOM)
                return -1;
            if (type == ID3_PICTURE_FRONT_COVER)
                continue;
        }
        if (major < 4) {
            if (carry_old_frame(area, a, major, &of, to, bytes, borrow) != 0)
                return -1;
            continue;
        }
        // Byte for byte, size field included: a large frame from where it lies.
        *bytes += FRAME_HEADER_LEN + of.n;
        if (!to)
            continue;
        int rc = borrow && of.n >= ID3_BORROW_MIN
                     ? id3_head_borrow(borrow, to->len, of.hdr, FRAME_HEADER_LEN + of.n)
                     : id3_buf_append(to, of.hdr, FRAME_HEADER_LEN + of.n);
        if (rc != 0)
            return -1;
    }
    return 0;
}

// A UTF-8 text into an ID3v1 field of n bytes: ISO-8859-1, a character outside it as '?', cut to
// n bytes, padded with 00.
static void put_v1_text(uint8_t* field, uint64_t n, const char* text) {
    memset(field, 0, (size_t)n);
    const uint8_t* p = (const uint8_t*)text;
    for (uint64_t o = 0; *p && o < n; o++) {
        uint32_t c = *p++;
        if (c >= 0x80) {
            int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            c &= 0x3F >> more;
            for (; more > 0 && (*p & 0xC0) == 0x80; more--)
                c = (c << 6) | (*p++ & 0x3F);
        }
        field[o] = c <= 0xFF ? (uint8_t)c : '?';
    }
}

// Brings an ID3v1 tag in step with the fields a write names: the texts as put_v1_text gives them,
// the year from the date's first four bytes, the genre by its number (255, none, for a name
// outside the list), the track in the version 1.1 place when it is a number of 1 to 255 (0
// there, and the full comment kept, otherwise). A named field without text is removed: blank, genre
// 255, track 0.
static void update_v1(uint8_t* v1, const id3_tags* t, uint32_t named) {
    struct {
        uint32_t field;
        const char* text;
        uint64_t at, n;
    } texts[] = {{ID3_NAMED_TITLE, t->title, V1_TITLE_AT, V1_TEXT_LEN},
                 {ID3_NAMED_ARTIST, t->artist, V1_ARTIST_AT, V1_TEXT_LEN},
                 {ID3_NAMED_ALBUM, t->album, V1_ALBUM_AT, V1_TEXT_LEN},
                 {ID3_NAMED_DATE, t->date, V1_YEAR_AT, 4}};
    for (const auto& f : texts) {
        if (named & f.field)
            put_v1_text(v1 + f.at, f.n, f.text ? f.text : "");
    }
    if (named & ID3_NAMED_GENRE) {
        v1[V1_GENRE_AT] = t->genre ? v1_genre_number(t->genre) : 255;
    }
    if (named & ID3_NAMED_TRACK) {
        const char* track = t->track ? t->track : "";
        char* end = nullptr;
        long number = strtol(track, &end, 10);
        bool v11 = v1[V1_TRACK_AT - 1] == 0;
        if (number >= 1 && number <= 255 && end != track && (*end == '\0' || *end == '/') && v11) {
            v1[V1_TRACK_AT] = (uint8_t)number;
        } else if (v11) {
            v1[V1_TRACK_AT] = 0;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// An APE tag at the end of the file, before an ID3v1 tag if there is one. Other programs show
// its texts where the ID3v2 tag lacks them, so a write keeps the items of the named fields in
// step and everything else of the tag byte for byte. Little-endian: an optional 32-byte header,
// the items, a 32-byte footer. Header and footer: "APETAGEX", version (4: 1000 or 2000), tag
// size (4: the items and the footer), item count (4), flags (4), 8 reserved bytes. An item:
// value size (4), flags (4), key (ASCII 0x20-0x7E, 2 to 255 characters, 00 after it), value
// (UTF-8, several values separated by 00).

#define APE_FRAME_LEN 32 // the header, the footer
#define APE_VERSION_AT 8
#define APE_SIZE_AT 12
#define APE_COUNT_AT 16
#define APE_FLAGS_AT 20
#define APE_HAS_HEADER 0x80000000u
#define APE_IS_HEADER 0x20000000u
#define APE_READ_ONLY 0x1u  // of the tag or of one item
#define APE_ITEM_KIND 0x6u  // of an item: 0 text, else binary or a link
#define APE_ITEM_HEAD_LEN 8 // value size and flags
#define APE_KEY_MIN 2
#define APE_KEY_MAX 255

// The APE keys of the named fields, in the record's order (matched without regard to case).
static const char* const kApeKeys[ID3_FIELD_COUNT] = {"Title", "Artist", "Album",
                                                      "Genre", "Year",   "Track"};

// An APE tag as found at the end of the file, header (if any) to footer.
struct ape_tag {
    uint64_t len;
    id3_owned_bytes bytes;
    uint64_t items_at;  // where the items start in bytes
    uint64_t items_len; // up to the footer
};

struct ape_item {
    uint64_t len; // the whole item
    uint32_t flags;
    const char* key;
    uint64_t key_len;
};

// The item at *pos of the item area (n bytes), *pos moved past it. False where none fits.
static bool next_ape_item(const uint8_t* items, uint64_t n, uint64_t* pos, ape_item* item) {
    uint64_t left = n - *pos;
    if (left < APE_ITEM_HEAD_LEN)
        return false;
    const uint8_t* p = items + *pos;
    uint64_t value_len = id3_le32(p);
    const uint8_t* key = p + APE_ITEM_HEAD_LEN;
    uint64_t room = left - APE_ITEM_HEAD_LEN;
    uint64_t key_len = 0;
    while (key_len < room && key_len <= APE_KEY_MAX && key[key_len] >= 0x20 && key[key_len] <= 0x7E)
        key_len++;
    if (key_len < APE_KEY_MIN || key_len > APE_KEY_MAX || key_len >= room || key[key_len] != 0)
        return false;
    if (value_len > room - key_len - 1)
        return false;
    item->len = APE_ITEM_HEAD_LEN + key_len + 1 + value_len;
    item->flags = id3_le32(p + 4);
    item->key = (const char*)key;
    item->key_len = key_len;
    *pos += item->len;
    return true;
}

// Reads the APE tag that ends at `end`, after the ID3v2 tag (which ends at audio_off). 1 with the
// tag in *tag, 0 when there is none or it is damaged in any way (it is left alone then), -1 with a
// message when the file cannot be read.
static int find_ape_tag(const id3_file* f, uint64_t audio_off, uint64_t end, ape_tag* tag) {
    if (end < audio_off || end - audio_off < APE_FRAME_LEN)
        return 0;
    uint8_t footer[APE_FRAME_LEN];
    if (id3_file_read(f, end - APE_FRAME_LEN, footer, sizeof footer) != 0)
        return -1;
    uint32_t version = id3_le32(footer + APE_VERSION_AT);
    uint32_t flags = id3_le32(footer + APE_FLAGS_AT);
    uint64_t size = id3_le32(footer + APE_SIZE_AT);
    if (memcmp(footer, "APETAGEX", 8) != 0 || (version != 1000 && version != 2000) ||
        (flags & APE_IS_HEADER) || size < APE_FRAME_LEN)
        return 0;
    uint64_t header_len = (flags & APE_HAS_HEADER) ? APE_FRAME_LEN : 0;
    if (size > end - audio_off || header_len > end - audio_off - size)
        return 0;
    tag->len = header_len + size;
    tag->bytes.reset(id3_file_dup(f, end - tag->len, tag->len));
    if (!tag->bytes)
        return -1;
    const uint8_t* b = tag->bytes.get();
    if (header_len > 0 &&
        (memcmp(b, "APETAGEX", 8) != 0 || !(id3_le32(b + APE_FLAGS_AT) & APE_IS_HEADER) ||
         id3_le32(b + APE_SIZE_AT) != size ||
         id3_le32(b + APE_COUNT_AT) != id3_le32(footer + APE_COUNT_AT)))
        return 0;
    tag->items_at = header_len;
    tag->items_len = size - APE_FRAME_LEN;
    // Every item counted fits, and they fill the space up to the footer.
    uint64_t pos = 0;
    ape_item item;
    for (uint32_t i = id3_le32(footer + APE_COUNT_AT); i > 0; i--) {
        if (!next_ape_item(b + tag->items_at, tag->items_len, &pos, &item))
            return 0;
    }
    return pos == tag->items_len ? 1 : 0;
}

// The named field an item's key stands for, or -1.
static int ape_field_of(const ape_item* item) {
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (strlen(kApeKeys[i]) == item->key_len &&
            plat_strnicmp(item->key, kApeKeys[i], (size_t)item->key_len) == 0)
            return i;
    }
    return -1;
}

// The new value of a named field's item: every value of its property, 00 between them, or the
// record's text. Empty when the field has none (its item goes). -1 when memory runs out.
static int ape_value(const id3_tags* t, id3_change change, int field, id3_buf* value) {
    const char* key = id3_field_keys[field];
    const id3_prop_edit* edit =
        change.props ? id3_prop_edits_find(change.props, key, strlen(key)) : nullptr;
    if (edit && (change.by_props & (1u << field))) {
        for (uint64_t v = 0; v < edit->count; v++) {
            if ((v > 0 && id3_buf_append(value, "", 1) != 0) ||
                id3_buf_append(value, edit->values[v], strlen(edit->values[v])) != 0)
                return -1;
        }
        return 0;
    }
    const char* const texts[] = {t->title, t->artist, t->album, t->genre, t->date, t->track};
    const char* text = texts[field] ? texts[field] : "";
    return id3_buf_append(value, text, strlen(text));
}

// Sets the tag size and item count of an APE header or footer.
static void put_ape_counts(uint8_t* frame, uint32_t size, uint32_t count) {
    id3_put_le32(frame + APE_SIZE_AT, size);
    id3_put_le32(frame + APE_COUNT_AT, count);
}

// The APE tag with the items of the named fields replaced: the first item of a field takes the
// new value (or goes when there is none), later items of the same field go; items marked
// read-only or holding other than text stay, as does all of a read-only tag. *changed is false
// when nothing differs. -1 when memory runs out.
static int update_ape_tag(const ape_tag* tag, const id3_tags* t, id3_change change, id3_buf* out,
                          bool* changed) {
    *changed = false;
    const uint8_t* b = tag->bytes.get();
    const uint8_t* footer = b + tag->len - APE_FRAME_LEN;
    if (id3_le32(footer + APE_FLAGS_AT) & APE_READ_ONLY)
        return 0;
    if (tag->items_at > 0 && id3_buf_append(out, b, tag->items_at) != 0)
        return -1;
    const uint8_t* items = b + tag->items_at;
    uint32_t count = 0;
    uint32_t done = 0; // fields whose new item is written
    uint64_t pos = 0, at = 0;
    ape_item item;
    for (; next_ape_item(items, tag->items_len, &pos, &item); at = pos) {
        int field = ape_field_of(&item);
        bool fixed = (item.flags & APE_READ_ONLY) || (item.flags & APE_ITEM_KIND) != 0;
        if (field < 0 || !(change.named & (1u << field)) || fixed) {
            if (id3_buf_append(out, items + at, item.len) != 0)
                return -1;
            count++;
            continue;
        }
        if (done & (1u << field))
            continue;
        done |= 1u << field;
        id3_buf value = {nullptr, 0, 0};
        std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&value, id3_buf_release);
        if (ape_value(t, change, field, &value) != 0)
            return -1;
        if (value.len == 0)
            continue;
        if (value.len > UINT32_MAX)
            return 0;
        uint8_t head[APE_ITEM_HEAD_LEN];
        id3_put_le32(head, (uint32_t)value.len);
        memcpy(head + 4, items + at + 4, 4);
        if (id3_buf_append(out, head, sizeof head) != 0 ||
            id3_buf_append(out, item.key, item.key_len + 1) != 0 ||
            id3_buf_append(out, value.data, value.len) != 0)
            return -1;
        count++;
    }
    uint64_t size = out->len - tag->items_at + APE_FRAME_LEN;
    if (size > UINT32_MAX)
        return 0;
    if (id3_buf_append(out, footer, APE_FRAME_LEN) != 0)
        return -1;
    put_ape_counts(out->data + out->len - APE_FRAME_LEN, (uint32_t)size, count);
    if (tag->items_at > 0)
        put_ape_counts(out->data, (uint32_t)size, count);
    *changed = out->len != tag->len || memcmp(out->data, b, (size_t)out->len) != 0;
    return 0;
}

// The new end of the file: the APE tag (`ape`, in place of ape_old_len bytes) and the ID3v1 tag
// (v1, v1_len bytes, 0 or 128). -1 when memory runs out.
static int set_tail(id3_head* head, const id3_buf* ape, uint64_t ape_old_len, const uint8_t* v1,
                    uint64_t v1_len) {
    uint8_t* tail = (uint8_t*)malloc((size_t)(ape->len + v1_len) + 1);
    if (!tail)
        return -1;
    if (ape->len > 0)
        memcpy(tail, ape->data, (size_t)ape->len);
    memcpy(tail + ape->len, v1, (size_t)v1_len);
    free(head->tail);
    head->tail = tail;
    head->tail_len = ape->len + v1_len;
    head->tail_replaces = ape_old_len + v1_len;
    return 0;
}

// Whether the new tag carries a frame of the old one (a comment, or a compressed or encrypted
// frame) that no named field replaces: a version 2.4 frame with a body as it is, an older one
// when it takes a version 2.4 form, which not every compressed or encrypted one does.
static bool old_frame_carried(const id3_old_tag* old, const old_frame* of) {
    if (of->n == 0 || of->id[0] == '\0')
        return false;
    uint64_t carried = old->major >= 4 ? of->n : 0;
    if (old->major < 4)
        carry_old_frame(old->area, old->area_len, old->major, of, nullptr, &carried); // counts
    return carried > 0;
}

// What an ID3v1 tag at the end of the file adds to a write over the ID3v2 tag in front (none, or
// one of any version): the fields the record holds that the ID3v2 tag does not give (*fields; the
// reader took them from ID3v1, and the new tag writes them) and the ID3v1 comment when the ID3v2
// tag holds no comment frame that the new tag carries (*comment). -1 with a message when memory
// runs out.
static int v1_additions(const id3_old_tag* old, const id3_tags* t, uint32_t* fields,
                        id3_owned_text* comment) {
    *fields = 0;
    const id3_tags* v2 = &old->v2;
    const char* const had[] = {v2->title, v2->artist, v2->album, v2->genre, v2->date, v2->track};
    const char* const has[] = {t->title, t->artist, t->album, t->genre, t->date, t->track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (has[i] && strcmp(has[i], had[i] ? had[i] : "") != 0)
            *fields |= 1u << i;
    }
    // A field with a frame the reader cannot read (compressed or encrypted) that the new tag
    // carries keeps that frame, which other readers may show: the ID3v1 text the reader gave in
    // its place stays in the ID3v1 tag.
    uint64_t pos = 0;
    old_frame of;
    while (old->major > 0 && next_old_frame(old->area, old->area_len, old->major, &pos, &of)) {
        if (old_frame_plain(&of, old->major) || !old_frame_carried(old, &of))
            continue;
        for (int i = 0; i < ID3_FIELD_COUNT; i++) {
            if (is_named_frame((const uint8_t*)of.id, 1u << i))
                *fields &= ~(1u << i);
        }
    }
    // A comment frame that the new tag drops (empty, or one of version 2.3 that cannot take its
    // version 2.4 form) leaves the place to the ID3v1 comment, which the next write would move in
    // otherwise.
    const uint8_t* v1 = old->v1;
    pos = 0;
    while (old->major > 0 && next_old_frame(old->area, old->area_len, old->major, &pos, &of)) {
        if (memcmp(of.id, "COMM", 4) == 0 && old_frame_carried(old, &of))
            return 0;
    }
    char* text = nullptr;
    if (v1_text(v1 + V1_COMMENT_AT, v1[V1_TRACK_AT - 1] == 0 ? 28 : V1_TEXT_LEN, &text) != 0) {
        id3_set_error("oom");
        return -1;
    }
    comment->reset(text);
    return 0;
}

// A comment frame: UTF-8, language "eng", an empty description, the text. *bytes grows by its
// length; with `frames` NULL it is only counted. -1 when memory runs out.
static int append_comment_frame(id3_buf* frames, const char* text, uint64_t* bytes) {
    static const uint8_t lead[5] = {ID3_ENC_UTF8, 'e', 'n', 'g', 0};
    uint8_t hdr[FRAME_HEADER_LEN] = {'C', 'O', 'M', 'M'};
    return emit_frame(frames, bytes, hdr, lead, sizeof lead, (const uint8_t*)text, strlen(text));
}

int id3_mp3_build_head(const id3_file* f, const id3_tags* t, const id3_old_tag* old,
                       id3_change change, id3_head* head) {
    // The old tag (and its footer, if flagged) ends where the audio starts.
    uint64_t audio_off = 0;
    if (f->size >= ID3_HEADER_LEN && memcmp(f->prefix, "ID3", 3) == 0) {
        // A tag size past the end of the file is damage: taking the whole file for the tag would
        // drop whatever audio it holds. A flagged footer cut short at the end is only the footer.
        if (ID3_HEADER_LEN + (uint64_t)id3_syncsafe32(f->prefix + ID3_SIZE_AT) > f->size) {
            id3_set_error("ID3v2 tag runs past the end of the file");
            return -1;
        }
        audio_off = id3_tag_end(f->prefix);
        if (audio_off > f->size)
            audio_off = f->size;
    }

    // Only a file with a tag of version 2.2 to 2.4 (and so its full header) has frames to carry.
    const uint8_t* area = old->area;
    uint64_t area_len = old->area_len;
    uint8_t major = old->major;
    // ID3v1 fields that the ID3v2 tag lacks move into it, and its comment when it has none; the
    // ID3v1 tag itself follows the named fields.
    uint32_t from_v1 = 0;
    id3_owned_text v1_comment;
    uint8_t v1[ID3_V1_TAG_LEN];
    memcpy(v1, old->v1, sizeof v1);
    if (old->has_v1 && v1_additions(old, t, &from_v1, &v1_comment) != 0)
        return -1;
    bool v1_changed = old->has_v1 && change.named != 0;
    if (v1_changed)
        update_v1(v1, t, change.named);
    // A named comment replaces the ID3v1 comment too: it neither moves in nor stays behind.
    const id3_prop_edit* comment = id3_prop_edits_find(change.props, "COMMENT", 7);
    if (comment) {
        v1_comment.reset();
        if (old->has_v1) {
            bool v11 = v1[V1_TRACK_AT - 1] == 0;
            put_v1_text(v1 + V1_COMMENT_AT, v11 ? V1_TEXT_LEN - 2 : V1_TEXT_LEN,
                        comment->count > 0 ? comment->values[0] : "");
            v1_changed = true;
        }
    }
    // An APE tag in front of the ID3v1 tag (or at the end) follows the named fields.
    uint64_t v1_len = old->has_v1 ? ID3_V1_TAG_LEN : 0;
    ape_tag ape_old = {0, nullptr, 0, 0};
    id3_buf ape = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release_ape(&ape, id3_buf_release);
    bool ape_changed = false;
    int ape_found = change.named != 0 ? find_ape_tag(f, audio_off, f->size - v1_len, &ape_old) : 0;
    if (ape_found < 0)
        return -1;
    if (ape_found > 0 && update_ape_tag(&ape_old, t, change, &ape, &ape_changed) != 0) {
        id3_set_error("oom");
        return -1;
    }
    if (!ape_changed)
        ape.len = 0;
    if ((v1_changed || ape_changed) &&
        set_tail(head, &ape, ape_changed ? ape_old.len : 0, v1, v1_len) != 0) {
        id3_set_error("oom");
        return -1;
    }
    bool with_comment = v1_comment && v1_comment.get()[0] != '\0';
    change.named |= from_v1;
    prop_plan plan = {{nullptr, 0, 0}, {}, {false, false}, {NO_FRAME, NO_FRAME}, {}};
    std::unique_ptr<prop_plan, void (*)(prop_plan*)> release_plan(&plan, prop_plan_release);
    if (plan_properties(old, change.props, &plan) != 0)
        return -1;
    // What is carried is counted first, so that the new tag is checked and sized once.
    uint64_t kept_frames = 0, kept_pictures = 0;
    if (with_comment)
        append_comment_frame(nullptr, v1_comment.get(), &kept_frames); // only counts it
    if (major != 0 &&
        (carry_frames(area, area_len, major, change, &plan, false, nullptr, &kept_frames) != 0 ||
         carry_frames(area, area_len, major, change, &plan, true, nullptr, &kept_pictures) != 0)) {
        id3_set_error("oom");
        return -1;
    }
    // Over an old tag the fields that are not named keep their old frames; without one, every
    // field of the record is written.
    uint32_t fields = (major != 0 ? change.named : ~0u) & ~change.by_props;
    text_frame texts[6];
    int text_count = list_text_frames(t, fields, texts);
    bool with_apic =
        t->cover_data && t->cover_size > 0 && (change.cover_replaced || kept_pictures == 0);
    uint64_t total = 0;
    uint64_t plan_lent = id3_head_len(&plan.lent);
    if (!tag_fits(texts, text_count, kept_frames + kept_pictures + plan.frames.len + plan_lent, t,
                  with_apic, &total)) {
        id3_set_error("tag too large for ID3v2");
        return -1;
    }

    id3_buf out = {nullptr, 0, 0};
    uint8_t hdr[ID3_HEADER_LEN] = {'I', 'D', '3', 4, 0, 0};
    // The pictures and the large texts and values, borrowed where they lie, are not reserved for.
    uint64_t borrowed = kept_pictures + (with_apic ? t->cover_size : 0) + plan_lent;
    for (int i = 0; i < text_count; i++)
        borrowed += texts[i].len >= ID3_BORROW_MIN ? texts[i].len : 0;
    bool ok = id3_buf_reserve(&out, ID3_HEADER_LEN + total - borrowed) == 0 &&
              id3_buf_append(&out, hdr, sizeof hdr) == 0;
    for (int i = 0; ok && i < text_count; i++)
        ok = append_text_frame(&out, texts[i].id, texts[i].text, texts[i].len, head) == 0;
    uint64_t from = 0;
    for (uint64_t i = 0; ok && i < plan.lent.piece_count; i++) {
        const id3_head_piece& piece = plan.lent.pieces[i];
        ok = id3_buf_append(&out, plan.frames.data + from, piece.at - from) == 0 &&
             id3_head_borrow(head, out.len, piece.bytes, piece.len) == 0;
        from = piece.at;
    }
    if (ok)
        ok = id3_buf_append(&out, plan.frames.data + from, plan.frames.len - from) == 0;
    uint64_t counted = 0;
    if (ok && major != 0)
        ok = carry_frames(area, area_len, major, change, &plan, false, &out, &counted, head) == 0;
    // The ID3v1 comment goes before the pictures, where the next write keeps it.
    if (ok && with_comment)
        ok = append_comment_frame(&out, v1_comment.get(), &counted) == 0;
    if (ok && major != 0)
        ok = carry_frames(area, area_len, major, change, &plan, true, &out, &counted, head) == 0;
    if (ok && with_apic)
        ok = append_apic_frame(&out, t, head) == 0;
    if (ok) {
        static const uint8_t zeros[PADDING] = {0};
        ok = id3_buf_append(&out, zeros, sizeof zeros) == 0;
    }
    if (!ok) {
        id3_buf_release(&out); // the caller records its generic message
        return -1;
    }
    head->data = out.data;
    head->len = out.len;
    id3_put_syncsafe32(out.data + ID3_SIZE_AT, (uint32_t)(id3_head_len(head) - ID3_HEADER_LEN));
    head->audio_off = audio_off;
    // The padding ends the tag: more of it counts into the tag's size.
    head->grow_kind = ID3_GROW_SYNCSAFE28;
    head->grow_at = ID3_SIZE_AT;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Properties: every text frame, user text, comment, lyrics, identifier and involved-people frame
// under its key, and every picture.

// The texts of a payload in one encoding, one after another: each ends at a terminator (00, or
// 00 00 at an even distance from its start for UTF-16), the last at the end of the payload. A
// terminator at the very end starts no further text; an empty payload is one empty text.
struct text_walk {
    uint8_t encoding;
    const uint8_t* p;
    uint64_t n;
    uint64_t pos;
    bool started;
};

static bool next_text(text_walk* w, const uint8_t** text, uint64_t* text_len) {
    if (w->pos >= w->n) {
        bool first = !w->started;
        w->started = true;
        *text = w->p + w->n;
        *text_len = 0;
        return first;
    }
    w->started = true;
    uint64_t unit = (w->encoding == ID3_ENC_UTF16 || w->encoding == ID3_ENC_UTF16BE) ? 2 : 1;
    uint64_t k = w->pos;
    while (w->n - k >= unit && !(w->p[k] == 0 && (unit == 1 || w->p[k + 1] == 0)))
        k += unit;
    *text = w->p + w->pos;
    if (w->n - k < unit) {
        *text_len = w->n - w->pos;
        w->pos = w->n;
    } else {
        *text_len = k - w->pos;
        w->pos = k + unit;
    }
    return true;
}

// The next text of the walk decoded to UTF-8 (a malloc'd block in *out). 1, 0 at the end, -1 when
// memory runs out.
static int next_decoded(text_walk* w, id3_owned_text* out) {
    const uint8_t* text = nullptr;
    uint64_t len = 0;
    if (!next_text(w, &text, &len))
        return 0;
    out->reset(id3_decode_id3_text(w->encoding, text, len));
    return *out ? 1 : -1;
}

// A genre as version 2.3 writes it by number: "N" or "(N)" alone gives the ID3v1 genre's name,
// "(N)Text" gives Text; anything else ("(N)(M)" among it) stands as it is. The result points into
// value or the genre list.
static const char* genre_name(const char* value) {
    const char* digits = value[0] == '(' ? value + 1 : value;
    size_t n = strspn(digits, "0123456789");
    if (n == 0 || n > 3)
        return value;
    const char* after = digits + n;
    if (value[0] == '(') {
        if (*after != ')')
            return value;
        after++;
        if (*after == '(')
            return value;
        if (*after != '\0')
            return after;
    } else if (*after != '\0') {
        return value;
    }
    const char* name = id3_v1_genre_name((unsigned)atoi(digits));
    return name ? name : value;
}

static int add_prop(id3_props* p, const char* key, const char* value) {
    return id3_props_add(p, key, strlen(key), false, value, strlen(value));
}

// Adds every text of the walk under key (TCON's numbered genres by name). -1 when memory runs
// out.
static int add_texts(id3_props* p, const char* key, text_walk* w, bool genre) {
    id3_owned_text text;
    int rc;
    while ((rc = next_decoded(w, &text)) == 1) {
        if (add_prop(p, key, genre ? genre_name(text.get()) : text.get()) != 0)
            return -1;
    }
    return rc;
}

// A key made of a base, ":" and a qualifier (COMMENT:DESCRIPTION, PERFORMER:INSTRUMENT), into
// buf. -1 when memory runs out.
static int qualified_key(id3_buf* buf, const char* base, const char* qualifier, bool upper) {
    buf->len = 0;
    if (id3_buf_append(buf, base, strlen(base)) != 0 || id3_buf_append(buf, ":", 1) != 0)
        return -1;
    uint64_t from = buf->len;
    if (id3_buf_append(buf, qualifier, strlen(qualifier) + 1) != 0)
        return -1;
    for (uint64_t i = from; upper && i < buf->len; i++) {
        if (buf->data[i] >= 'a' && buf->data[i] <= 'z')
            buf->data[i] = (uint8_t)(buf->data[i] - 'a' + 'A');
    }
    return 0;
}

// The key of a TXXX, COMM or USLT frame of the given description, in buf where it is built: a
// user text by the table, else its description upper-cased; COMMENT or LYRICS, with
// ":DESCRIPTION" upper-cased when there is one. NULL when memory runs out.
static const char* described_key(const char* id, const char* desc, uint8_t major, id3_buf* buf) {
    if (strcmp(id, "TXXX") == 0) {
        const char* k = id3_property_of_id3("TXXX", desc, strlen(desc), major);
        if (k)
            return k;
        return qualified_key(buf, "", desc, true) == 0 ? (const char*)buf->data + 1 : nullptr;
    }
    const char* base = strcmp(id, "COMM") == 0 ? "COMMENT" : "LYRICS";
    if (desc[0] == '\0')
        return base;
    return qualified_key(buf, base, desc, true) == 0 ? (const char*)buf->data : nullptr;
}

// The key of one pair of an involved-people frame (TIPL, IPLS) or of the musicians' frame (TMCL),
// in buf where it is built: a role of the table, else the role upper-cased; an instrument as
// PERFORMER:INSTRUMENT. NULL when memory runs out.
static const char* pair_key(const char* id, const char* role, uint8_t major, id3_buf* buf) {
    bool musicians = strcmp(id, "TMCL") == 0;
    const char* k = musicians ? nullptr : id3_property_of_id3(id, role, strlen(role), major);
    if (k)
        return k;
    if (qualified_key(buf, musicians ? "PERFORMER" : "", role, true) != 0)
        return nullptr;
    return (const char*)buf->data + (musicians ? 0 : 1); // a role's own key: no ":" before it
}

// The parts of an ID3 frame that the property reader looks at.
struct prop_frame {
    char id[5]; // version 2.3/2.4 name
    const uint8_t* body;
    uint64_t n;
    uint8_t major;
};

// What the property reader knows of the whole tag while it walks its frames: whether it holds the
// version 2.4 recording time and original date, and whether a year has been read.
struct prop_tag {
    bool has_recording_time; // TDRC
    bool has_original_date;  // TDOR
    bool year_read;          // TYER, joined with TDAT and TIME
};

// Whether a version 2.3/2.4 area holds a frame of the given id.
static bool area_has_frame(const uint8_t* area, uint64_t a, uint8_t major, const char* id) {
    uint64_t pos = 0;
    frame_ref ref;
    while (major != 2 && next_frame(area, a, major, &pos, &ref)) {
        if (memcmp(ref.hdr, id, 4) == 0)
            return true;
    }
    return false;
}

// Adds the properties of a text frame: the table's key, else the frame's id. The version 2.3 date
// frames give way to their version 2.4 successors where the tag holds both (as writers that keep
// TYER beside TDRC write them): TYER and TORY give nothing beside TDRC and TDOR. The first year
// takes the tag's day and time (TDAT, TIME) as one recording time, which those frames do not give
// again; a further year frame gives nothing.
static int add_text_frame(const prop_frame& fr, const uint8_t* area, uint64_t a, prop_tag* tag,
                          id3_props* p) {
    bool year = strcmp(fr.id, "TYER") == 0;
    if (strcmp(fr.id, "TDAT") == 0 || strcmp(fr.id, "TIME") == 0 ||
        (year && (tag->has_recording_time || tag->year_read)) ||
        (strcmp(fr.id, "TORY") == 0 && tag->has_original_date))
        return 0;
    const char* key = id3_property_of_id3(fr.id, "", 0, fr.major);
    text_walk w = {fr.body[0], fr.body + 1, fr.n - 1, 0, false};
    if (year) {
        tag->year_read = true;
        id3_owned_text year_text;
        if (next_decoded(&w, &year_text) < 0)
            return -1;
        id3_buf date = {nullptr, 0, 0};
        int rc = old_recording_time(area, a, fr.major, year_text.get(), &date);
        if (rc == 0)
            rc = id3_props_add(p, key, strlen(key), false, (const char*)date.data, date.len);
        id3_buf_release(&date);
        return rc;
    }
    return add_texts(p, key ? key : fr.id, &w, strcmp(fr.id, "TCON") == 0);
}

// TXXX, COMM, USLT, UFID, TIPL/IPLS/TMCL: each names what it holds by a description, owner or
// role. -1 when memory runs out.
static int add_described_frame(const prop_frame& fr, id3_props* p) {
    id3_buf key = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&key, id3_buf_release);
    id3_owned_text desc;
    bool comment = strcmp(fr.id, "COMM") == 0, lyrics = strcmp(fr.id, "USLT") == 0;
    if (strcmp(fr.id, "UFID") == 0) {
        // Owner (Latin-1, 00), then the identifier's bytes: a property only for a known owner.
        const uint8_t* end = (const uint8_t*)memchr(fr.body, 0, (size_t)fr.n);
        if (!end)
            return 0;
        uint64_t owner_len = (uint64_t)(end - fr.body);
        const char* k = id3_property_of_id3("UFID", (const char*)fr.body, owner_len, fr.major);
        if (!k)
            return 0;
        return id3_props_add(p, k, strlen(k), false, (const char*)end + 1, fr.n - owner_len - 1);
    }
    if (comment || lyrics) {
        // Encoding, language (3), description, text.
        if (fr.n < 4)
            return 0;
        text_walk w = {fr.body[0], fr.body + 4, fr.n - 4, 0, false};
        if (next_decoded(&w, &desc) < 0)
            return -1;
        const char* k = described_key(fr.id, desc.get(), fr.major, &key);
        if (!k)
            return -1;
        if (lyrics) {
            // One text, which may hold line breaks but no further values.
            id3_owned_text text;
            if (next_decoded(&w, &text) < 0)
                return -1;
            return add_prop(p, k, text ? text.get() : "");
        }
        return add_texts(p, k, &w, false);
    }
    text_walk w = {fr.body[0], fr.body + 1, fr.n - 1, 0, false};
    if (strcmp(fr.id, "TXXX") == 0) {
        if (next_decoded(&w, &desc) < 0)
            return -1;
        const char* k = described_key(fr.id, desc.get(), fr.major, &key);
        return k ? add_texts(p, k, &w, false) : -1;
    }
    // Involved people: role and name, in pairs.
    id3_owned_text role, name;
    int rc;
    while ((rc = next_decoded(&w, &role)) == 1 && (rc = next_decoded(&w, &name)) == 1) {
        const char* k = pair_key(fr.id, role.get(), fr.major, &key);
        if (!k || add_prop(p, k, name.get()) != 0)
            return -1;
    }
    return rc < 0 ? -1 : 0;
}

// A URL frame (W...; not WXXX): its Latin-1 text to the first 00.
static int add_url_frame(const prop_frame& fr, id3_props* p) {
    const char* key = id3_property_of_id3(fr.id, "", 0, fr.major);
    id3_owned_text url(id3_decode_id3_text(ID3_ENC_LATIN1, fr.body, fr.n));
    if (!url)
        return -1;
    return add_prop(p, key ? key : fr.id, url.get());
}

// APIC: encoding, MIME type (00), picture type, description, picture; version 2.2 PIC: encoding,
// 3-byte image format, picture type, description, picture. A body without every field up to at
// least one picture byte is passed over, as the record's reader does.
static int add_picture_frame(const prop_frame& fr, bool v22, id3_props* p) {
    const uint8_t* body = fr.body;
    uint64_t n = fr.n;
    const char* mime = "";
    uint64_t mime_len = 0;
    uint64_t type_at = 0;
    if (v22) {
        if (n <= 5)
            return 0;
        mime = memcmp(body + 1, "JPG", 3) == 0   ? ID3_DEFAULT_MIME
               : memcmp(body + 1, "PNG", 3) == 0 ? "image/png"
                                                 : "";
        mime_len = strlen(mime);
        type_at = 4;
    } else {
        if (n <= 3)
            return 0;
        const uint8_t* mime_end = (const uint8_t*)memchr(body + 1, 0, (size_t)(n - 1));
        if (!mime_end)
            return 0;
        type_at = (uint64_t)(mime_end - body) + 1;
        mime = type_at == 2 ? ID3_DEFAULT_MIME : (const char*)body + 1;
        mime_len = type_at == 2 ? strlen(ID3_DEFAULT_MIME) : type_at - 2;
    }
    if (type_at + 1 >= n)
        return 0;
    text_walk w = {body[0], body + type_at + 1, n - type_at - 1, 0, false};
    const uint8_t* desc = nullptr;
    uint64_t desc_len = 0;
    next_text(&w, &desc, &desc_len);
    if (w.pos >= w.n)
        return 0; // no terminator, or no picture bytes after it
    id3_owned_text description(id3_decode_id3_text(body[0], desc, desc_len));
    if (!description)
        return -1;
    return id3_props_add_picture(p, body[type_at], mime, mime_len, description.get(),
                                 strlen(description.get()), w.n - w.pos);
}

static int add_frame_props(const prop_frame& fr, const uint8_t* area, uint64_t a, prop_tag* tag,
                           id3_props* p, bool v22) {
    if (strcmp(fr.id, "APIC") == 0)
        return add_picture_frame(fr, v22, p);
    if (fr.n == 0)
        return 0;
    if (strcmp(fr.id, "TXXX") == 0 || strcmp(fr.id, "COMM") == 0 || strcmp(fr.id, "USLT") == 0 ||
        strcmp(fr.id, "UFID") == 0 || strcmp(fr.id, "TIPL") == 0 || strcmp(fr.id, "IPLS") == 0 ||
        strcmp(fr.id, "TMCL") == 0)
        return add_described_frame(fr, p);
    // Text frames: T..., and the movement and grouping frames iTunes added in the same layout.
    if (fr.id[0] == 'T' || strcmp(fr.id, "MVNM") == 0 || strcmp(fr.id, "MVIN") == 0 ||
        strcmp(fr.id, "GRP1") == 0)
        return add_text_frame(fr, area, a, tag, p);
    if (fr.id[0] == 'W' && strcmp(fr.id, "WXXX") != 0)
        return add_url_frame(fr, p);
    return 0; // a binary frame: no property
}

// Walks the frames of a frame area for their properties. -1 when memory runs out.
static int walk_frame_props(const uint8_t* area, uint64_t a, uint8_t major, id3_props* p) {
    prop_tag tag = {area_has_frame(area, a, major, "TDRC"), area_has_frame(area, a, major, "TDOR"),
                    false};
    if (major == 2) {
        uint64_t pos = 0;
        const uint8_t* hdr = nullptr;
        uint64_t n = 0;
        while (next_frame_v22(area, a, &pos, &hdr, &n)) {
            // Read by its version 2.3 name (PIC as APIC, with its own layout).
            for (const auto& ids : kV22Ids) {
                if (memcmp(hdr, ids[0], 3) != 0)
                    continue;
                prop_frame fr = {"", hdr + V22_FRAME_HEADER_LEN, n, major};
                memcpy(fr.id, ids[1], 5);
                if (add_frame_props(fr, area, a, &tag, p, true) != 0)
                    return -1;
                break;
            }
        }
        return 0;
    }
    uint64_t pos = 0;
    frame_ref ref;
    while (next_frame(area, a, major, &pos, &ref)) {
        prop_frame fr;
        memcpy(fr.id, ref.hdr, 4);
        fr.id[4] = '\0';
        fr.major = major;
        id3_owned_bytes copy;
        bool skip = false;
        if (frame_body(&ref, major, &fr.body, &fr.n, &copy, &skip) != 0)
            return -1;
        if (!skip && add_frame_props(fr, area, a, &tag, p, false) != 0)
            return -1;
    }
    return 0;
}

int id3_mp3_load_props(const id3_file* f, id3_props* p, const id3_old_tag* held) {
    p->format = ID3_FMT_MP3;
    uint64_t len = 0;
    id3_owned_bytes hold;
    const uint8_t* tag = tag_bytes(f, &len, &hold, held);
    if (!tag)
        return -1;
    int tagged = has_tag(tag, len);
    if (tagged < 0)
        return -1;
    const uint8_t* area = nullptr;
    uint64_t area_len = 0;
    id3_owned_bytes area_copy;
    int readable = tagged == 1 ? tag_area(tag, len, &area, &area_len, &area_copy) : 0;
    if (readable < 0 || (readable == 1 && walk_frame_props(area, area_len, tag[3], p) != 0)) {
        id3_set_error("oom");
        return -1;
    }
    // ID3v1 gives what the ID3v2 tag lacks, as for the record.
    uint8_t v1[ID3_V1_TAG_LEN];
    int has_v1 = read_v1_tag(f, v1);
    if (has_v1 != 1)
        return has_v1;
    id3_tags old;
    id3_tags_init(&old);
    id3_tags_guard guard{&old};
    if (read_v1(v1, &old) != 0) {
        id3_set_error("oom");
        return -1;
    }
    const char* const values[] = {old.title, old.artist, old.album, old.genre, old.date, old.track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (values[i] && values[i][0] != '\0' && !id3_props_has(p, id3_field_keys[i]) &&
            add_prop(p, id3_field_keys[i], values[i]) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Writing properties: the old frames a write's properties replace, and the version 2.4 frames
// (UTF-8) that hold their new values.

static bool is_text_frame_id(const char* id) {
    return (id[0] == 'T' && strcmp(id, "TXXX") != 0) || strcmp(id, "MVNM") == 0 ||
           strcmp(id, "MVIN") == 0 || strcmp(id, "GRP1") == 0;
}

static bool is_url_frame_id(const char* id) {
    return id[0] == 'W' && strcmp(id, "WXXX") != 0;
}

// The readable body of an old frame, as frame_body gives it (versions 2.3/2.4); false for one
// that cannot be read. -1 in *rc when memory runs out.
static bool old_frame_body(const old_frame* of, uint8_t major, const uint8_t** body, uint64_t* n,
                           id3_owned_bytes* copy, int* rc) {
    *rc = 0;
    if (major == 2) {
        *body = of->body;
        *n = of->n;
        return true;
    }
    bool skip = false;
    if (frame_body(&of->ref, major, body, n, copy, &skip) != 0) {
        *rc = -1;
        return false;
    }
    return !skip;
}

// Whether the properties name the key of an old frame, as the property reader gives it (pair
// frames aside: their pairs are named one by one). 1, 0, or -1 when memory runs out.
static int frame_named(const old_frame* of, uint8_t major, const id3_prop_edits* e) {
    if (!e || e->count == 0 || of->n == 0)
        return 0;
    const char* id = of->id;
    if (is_text_frame_id(id) || is_url_frame_id(id)) {
        const char* k = id3_property_of_id3(id, "", 0, major);
        k = k ? k : id;
        return id3_prop_edits_find(e, k, strlen(k)) ? 1 : 0;
    }
    bool ufid = strcmp(id, "UFID") == 0;
    bool user_text = strcmp(id, "TXXX") == 0;
    if (!ufid && !user_text && strcmp(id, "COMM") != 0 && strcmp(id, "USLT") != 0)
        return 0;
    const uint8_t* body = nullptr;
    uint64_t n = 0;
    id3_owned_bytes copy;
    int rc = 0;
    if (!old_frame_body(of, major, &body, &n, &copy, &rc))
        return rc;
    if (ufid) {
        const uint8_t* end = n > 0 ? (const uint8_t*)memchr(body, 0, (size_t)n) : nullptr;
        const char* k =
            end ? id3_property_of_id3("UFID", (const char*)body, (uint64_t)(end - body), major)
                : nullptr;
        return k && id3_prop_edits_find(e, k, strlen(k)) ? 1 : 0;
    }
    uint64_t skip = user_text ? 1 : 4; // encoding; COMM and USLT: language too
    if (n < skip)
        return 0;
    text_walk w = {body[0], body + skip, n - skip, 0, false};
    id3_owned_text desc;
    if (next_decoded(&w, &desc) < 0)
        return -1;
    id3_buf key = {nullptr, 0, 0};
    const char* k = described_key(id, desc.get(), major, &key);
    bool named = k && id3_prop_edits_find(e, k, strlen(k));
    id3_buf_release(&key);
    return k ? (named ? 1 : 0) : -1;
}

// The frames that hold pairs: involved people (TIPL; version 2.3's IPLS takes its form) and
// musicians (TMCL).
#define PAIRS_PEOPLE 0
#define PAIRS_MUSICIANS 1
static int pair_kind(const char* id) {
    if (strcmp(id, "TIPL") == 0 || strcmp(id, "IPLS") == 0)
        return PAIRS_PEOPLE;
    return strcmp(id, "TMCL") == 0 ? PAIRS_MUSICIANS : -1;
}

// Appends a text and its 00 terminator. -1 when memory runs out.
static int append_terminated(id3_buf* b, const char* text) {
    return id3_buf_append(b, text, strlen(text) + 1);
}

// The pairs of an old pair frame that the properties do not name, each role and name with 00
// after it, appended to pairs; *named is set when one of its pairs is named. False for a frame
// that cannot be read (it is carried as it is); -1 in *rc when memory runs out.
static bool kept_pairs(const old_frame* of, uint8_t major, const id3_prop_edits* e, id3_buf* pairs,
                       bool* named, int* rc) {
    const uint8_t* body = nullptr;
    uint64_t n = 0;
    id3_owned_bytes copy;
    if (!old_frame_body(of, major, &body, &n, &copy, rc))
        return false;
    if (n == 0)
        return true;
    id3_buf key = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&key, id3_buf_release);
    text_walk w = {body[0], body + 1, n - 1, 0, false};
    id3_owned_text role, name;
    while ((*rc = next_decoded(&w, &role)) == 1 && (*rc = next_decoded(&w, &name)) == 1) {
        const char* k = pair_key(of->id, role.get(), major, &key);
        if (!k) {
            *rc = -1;
            return false;
        }
        if (id3_prop_edits_find(e, k, strlen(k))) {
            *named = true;
            continue;
        }
        if (append_terminated(pairs, role.get()) != 0 ||
            append_terminated(pairs, name.get()) != 0) {
            *rc = -1;
            return false;
        }
    }
    *rc = *rc < 0 ? -1 : 0;
    return *rc == 0;
}

static const char kPairIds[2][5] = {"TIPL", "TMCL"};

// Appends a pair frame of the kind: encoding 3, then the pairs. Their last terminator is left out,
// unless the last name is empty: a text ends at the frame's end, and the name would be lost.
// Nothing for no pairs. *bytes grows by its length; with `to` NULL it is only counted. -1 when
// memory runs out.
static int emit_pair_frame(int kind, const id3_buf* pairs, id3_buf* to, uint64_t* bytes) {
    if (pairs->len == 0)
        return 0;
    uint8_t hdr[FRAME_HEADER_LEN] = {0};
    memcpy(hdr, kPairIds[kind], 4);
    const uint8_t encoding = ID3_ENC_UTF8;
    uint64_t n = pairs->len;
    if (n >= 2 && pairs->data[n - 2] != 0)
        n--;
    return emit_frame(to, bytes, hdr, &encoding, 1, pairs->data, n);
}

// Writes an old pair frame of a kind the properties change again in its place: its pairs not
// named, then, in the first frame of the kind, the new pairs.
static int carry_pair_frame(const old_frame* of, uint8_t major, uint64_t at, const prop_plan* plan,
                            const id3_prop_edits* e, id3_buf* to, uint64_t* bytes) {
    int kind = pair_kind(of->id);
    id3_buf pairs = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&pairs, id3_buf_release);
    bool named = false;
    int rc = 0;
    kept_pairs(of, major, e, &pairs, &named, &rc);
    if (rc == 0 && at == plan->first_pairs[kind])
        rc = id3_buf_append(&pairs, plan->new_pairs[kind].data, plan->new_pairs[kind].len);
    return rc == 0 ? emit_pair_frame(kind, &pairs, to, bytes) : -1;
}

// Where the values of a key go in a version 2.4 tag: the table's frame (with its description,
// owner or role), else a comment or lyrics of a description, a musician's instrument, or a user
// text of the key itself.
struct frame_target {
    char id[5];
    const char* qualifier;
};

static frame_target target_of(const char* key) {
    const id3_property_row* row = id3_property_row_of(key);
    frame_target t = {"TXXX", key};
    if (row && row->id3v24) {
        memcpy(t.id, row->id3v24, 4);
        t.qualifier = row->id3v24[4] == ':' ? row->id3v24 + 5 : "";
        return t;
    }
    static const struct {
        const char* prefix;
        const char id[5];
    } kQualified[] = {{"COMMENT:", "COMM"}, {"LYRICS:", "USLT"}, {"PERFORMER:", "TMCL"}};
    for (const auto& q : kQualified) {
        size_t n = strlen(q.prefix);
        if (strncmp(key, q.prefix, n) == 0) {
            memcpy(t.id, q.id, 5);
            t.qualifier = key + n;
        }
    }
    return t;
}

// Appends one frame of the given body, built in `body`. -1 with a message when it is too large
// for a frame or memory runs out.
static int append_prop_frame(id3_buf* frames, const char* id, const id3_buf* body) {
    if (body->len > SYNCSAFE_MAX) {
        id3_set_error("tag too large for ID3v2");
        return -1;
    }
    uint8_t hdr[FRAME_HEADER_LEN];
    put_frame_header(hdr, id, body->len);
    uint64_t before = frames->len;
    if (id3_buf_append(frames, hdr, sizeof hdr) != 0 ||
        id3_buf_append(frames, body->data, body->len) != 0) {
        frames->len = before;
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

// A UTF-8 text as ISO-8859-1, appended to out. 1, 0 when a character lies outside it (or the
// text is not UTF-8), -1 when memory runs out.
static int append_latin1(id3_buf* out, const char* text) {
    const uint8_t* p = (const uint8_t*)text;
    while (*p) {
        uint8_t c = *p++;
        if (c >= 0x80) {
            if ((c != 0xC2 && c != 0xC3) || (*p & 0xC0) != 0x80)
                return 0;
            c = (uint8_t)(((c & 0x03) << 6) | (*p++ & 0x3F));
        }
        if (id3_buf_append(out, &c, 1) != 0)
            return -1;
    }
    return 1;
}

// The frames of one property's values: a text frame (values separated by 00), a user text,
// comment or lyrics frame of its description, an identifier of its owner, or one URL frame per
// value. Pairs are gathered elsewhere. -1 with a message.
static int append_value_frames(id3_buf* frames, id3_head* lend, const id3_prop_edit& edit,
                               frame_target t) {
    // A text ends at a 00 or at the frame's end, so an empty last value (or one alone after a
    // description) reads as no value, and a URL frame without text is no frame.
    bool described = strcmp(t.id, "TXXX") == 0 || strcmp(t.id, "COMM") == 0;
    bool empty_last = edit.values[edit.count - 1][0] == '\0';
    for (uint64_t v = 0; is_url_frame_id(t.id) && v < edit.count; v++)
        empty_last = empty_last || edit.values[v][0] == '\0';
    if (empty_last && (edit.count > 1 || described || is_url_frame_id(t.id))) {
        id3_set_error("value not supported by mp3: %s", edit.key);
        return -1;
    }
    id3_buf body = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&body, id3_buf_release);
    if (is_url_frame_id(t.id)) {
        for (uint64_t v = 0; v < edit.count; v++) {
            body.len = 0;
            int latin1 = append_latin1(&body, edit.values[v]);
            if (latin1 != 1) {
                if (latin1 < 0)
                    id3_set_error("oom");
                else
                    id3_set_error("value not supported by mp3: %s", edit.key);
                return -1;
            }
            if (append_prop_frame(frames, t.id, &body) != 0)
                return -1;
        }
        return 0;
    }
    // A body too large for a frame is refused before it is built (its values are not copied).
    bool language = strcmp(t.id, "COMM") == 0 || strcmp(t.id, "USLT") == 0;
    uint64_t body_len =
        strcmp(t.id, "UFID") == 0
            ? strlen(t.qualifier) + 1 + strlen(edit.values[0])
            : 1 + (language ? 3 : 0) +
                  (language || strcmp(t.id, "TXXX") == 0 ? strlen(t.qualifier) + 1 : 0);
    for (uint64_t v = 0; strcmp(t.id, "UFID") != 0 && v < edit.count; v++)
        body_len += (v > 0 ? 1 : 0) + strlen(edit.values[v]);
    if (body_len > SYNCSAFE_MAX) {
        id3_set_error("tag too large for ID3v2");
        return -1;
    }
    // The frame is built where it goes, its values of ID3_BORROW_MIN bytes or more borrowed by
    // `lend` where they lie.
    uint8_t hdr[FRAME_HEADER_LEN];
    put_frame_header(hdr, t.id, body_len);
    uint64_t before = frames->len;
    bool ok = id3_buf_append(frames, hdr, sizeof hdr) == 0;
    if (ok && strcmp(t.id, "UFID") == 0) {
        ok = append_terminated(frames, t.qualifier) == 0 &&
             id3_buf_append(frames, edit.values[0], strlen(edit.values[0])) == 0;
    } else if (ok) {
        const uint8_t encoding = ID3_ENC_UTF8;
        ok = id3_buf_append(frames, &encoding, 1) == 0;
        if (ok && language)
            ok = id3_buf_append(frames, "eng", 3) == 0;
        if (ok && (language || strcmp(t.id, "TXXX") == 0))
            ok = append_terminated(frames, t.qualifier) == 0;
        for (uint64_t v = 0; ok && v < edit.count; v++) {
            uint64_t n = strlen(edit.values[v]);
            ok = (v == 0 || id3_buf_append(frames, "", 1) == 0) &&
                 (n >= ID3_BORROW_MIN
                      ? id3_head_borrow(lend, frames->len, (const uint8_t*)edit.values[v], n)
                      : id3_buf_append(frames, edit.values[v], n)) == 0;
        }
    }
    if (!ok) {
        frames->len = before;
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

static int plan_properties(const id3_old_tag* old, const id3_prop_edits* e, prop_plan* plan) {
    if (!e || e->count == 0)
        return 0;
    for (uint64_t i = 0; i < e->count; i++) {
        const id3_prop_edit& edit = e->items[i];
        frame_target t = target_of(edit.key);
        if (edit.count > 0 && pair_kind(t.id) < 0 &&
            append_value_frames(&plan->frames, &plan->lent, edit, t) != 0)
            return -1;
    }
    // The pair frames: whether the properties name one of their pairs, where the first readable
    // one stands, and the new pairs.
    uint64_t pos = 0;
    old_frame of;
    for (uint64_t at = 0;
         old->major != 0 && next_old_frame(old->area, old->area_len, old->major, &pos, &of);
         at = pos) {
        int kind = of.n > 0 ? pair_kind(of.id) : -1;
        if (kind < 0)
            continue;
        id3_buf scratch = {nullptr, 0, 0};
        bool named = false;
        int rc = 0;
        bool readable = kept_pairs(&of, old->major, e, &scratch, &named, &rc);
        id3_buf_release(&scratch);
        if (rc != 0) {
            id3_set_error("oom");
            return -1;
        }
        if (readable && plan->first_pairs[kind] == NO_FRAME)
            plan->first_pairs[kind] = at;
        plan->pairs_rebuilt[kind] = plan->pairs_rebuilt[kind] || named;
    }
    for (uint64_t i = 0; i < e->count; i++) {
        const id3_prop_edit& edit = e->items[i];
        frame_target t = target_of(edit.key);
        int kind = pair_kind(t.id);
        if (kind < 0 || edit.count == 0)
            continue;
        plan->pairs_rebuilt[kind] = true;
        for (uint64_t v = 0; v < edit.count; v++) {
            // A pair whose name is empty at the frame's end would lose its role.
            if (edit.values[v][0] == '\0') {
                id3_set_error("value not supported by mp3: %s", edit.key);
                return -1;
            }
            if (append_terminated(&plan->new_pairs[kind], t.qualifier) != 0 ||
                append_terminated(&plan->new_pairs[kind], edit.values[v]) != 0) {
                id3_set_error("oom");
                return -1;
            }
        }
    }
    // New pairs with no old frame to join make a frame of their own.
    for (int kind = PAIRS_PEOPLE; kind <= PAIRS_MUSICIANS; kind++) {
        uint64_t counted = 0;
        if (plan->first_pairs[kind] == NO_FRAME &&
            emit_pair_frame(kind, &plan->new_pairs[kind], &plan->frames, &counted) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return 0;
}
