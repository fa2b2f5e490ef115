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
#include "id3_internal.h"

#include <stdint.h>
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
    if (encoding == 1 || encoding == 2) {
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

// Whether offset off of an area of a bytes is a place where a frame may end: the end of the area,
// a 00 byte (padding), or four identifier characters (the next frame).
static bool is_frame_boundary(const uint8_t* area, uint64_t a, uint64_t off) {
    if (off > a)
        return false;
    if (off == a || area[off] == 0x00)
        return true;
    return a - off >= 4 && is_frame_id(area + off);
}

// Body size of the version 4 frame at pos. Some writers (older iTunes among them) stored a plain
// 32-bit size there: the plain size is taken only when the syncsafe one leads to no frame
// boundary and the plain one does. *plain tells which one was taken.
static uint64_t v4_frame_size(const uint8_t* area, uint64_t a, uint64_t pos, bool* plain) {
    uint64_t syncsafe = id3_syncsafe32(area + pos + FRAME_SIZE_AT);
    uint64_t plain_size = id3_be32(area + pos + FRAME_SIZE_AT);
    *plain = !is_frame_boundary(area, a, pos + FRAME_HEADER_LEN + syncsafe) &&
             is_frame_boundary(area, a, pos + FRAME_HEADER_LEN + plain_size);
    return *plain ? plain_size : syncsafe;
}

// A frame of a version 2.3 or 2.4 frame area, as the walk finds it.
struct frame_ref {
    const uint8_t* hdr; // the 10-byte header; the body follows it
    uint64_t size;      // body bytes
    bool plain_size;    // a version 4 size that was stored as a plain integer
};

// The frame at *pos, which then moves past it. False at padding, where fewer than 10 bytes remain,
// or at a frame that overruns the area: the walk ends there.
static bool next_frame(const uint8_t* area, uint64_t a, uint8_t major, uint64_t* pos,
                       frame_ref* fr) {
    if (a - *pos < FRAME_HEADER_LEN || area[*pos] == 0x00)
        return false;
    const uint8_t* hdr = area + *pos;
    bool plain = false;
    uint64_t stored =
        major >= 4 ? v4_frame_size(area, a, *pos, &plain) : id3_be32(hdr + FRAME_SIZE_AT);
    if (stored > a - *pos - FRAME_HEADER_LEN)
        return false;
    *fr = frame_ref{hdr, stored, plain};
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

// Walks the frames of a version 2.2 area of a bytes. Frame header, 6 bytes: identifier (3), body
// size (24-bit), no flags. Stops at an identifier that is not A-Z/0-9 (padding among them) or a
// frame that overruns the area. Returns -1 when memory runs out.
static int walk_frames_v22(const uint8_t* area, uint64_t a, id3_tags* t, bool want_cover) {
    uint64_t pos = 0;
    while (a - pos >= V22_FRAME_HEADER_LEN) {
        const uint8_t* hdr = area + pos;
        if (!is_id_char(hdr[0]) || !is_id_char(hdr[1]) || !is_id_char(hdr[2]))
            break;
        uint64_t n = id3_be24(hdr + 3);
        if (n > a - pos - V22_FRAME_HEADER_LEN)
            break;
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
        pos += V22_FRAME_HEADER_LEN + n;
    }
    return 0;
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
    if (flags & ID3_FLAG_EXTENDED) {
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
        // Versions 2.2 and 2.3 unsynchronise the whole tag; 2.4 does it frame by frame.
        uint64_t decoded_len = 0;
        copy->reset(unsync_decode(*area, *area_len, &decoded_len));
        if (!*copy)
            return -1;
        *area = copy->get();
        *area_len = decoded_len;
    }
    return 1;
}

// Reads the tag at the start of data, which holds the file's first len bytes, or at least all of
// its tag.
static int parse_tag(const uint8_t* data, uint64_t len, id3_tags* t, bool want_cover) {
    t->format = ID3_FMT_MP3;
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

    const uint8_t* area = nullptr;
    uint64_t area_len = 0;
    id3_owned_bytes area_copy;
    int found = tag_area(data, len, &area, &area_len, &area_copy);
    if (found < 0) {
        id3_set_error("oom");
        return -1;
    }
    if (found == 0)
        return 0;
    int walked = data[3] == 2 ? walk_frames_v22(area, area_len, t, want_cover)
                              : walk_frames(area, area_len, data[3], t, want_cover);
    if (walked != 0) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

int id3_mp3_read(const uint8_t* data, uint64_t len, id3_tags* t) {
    return parse_tag(data, len, t, true);
}

// Bytes from the start of the file to the end of its ID3v2 tag, the header's size taken as it is
// (the reader bounds it by the file).
static uint64_t tag_extent(const id3_file* f) {
    if (f->size < ID3_HEADER_LEN || memcmp(f->head, "ID3", 3) != 0)
        return f->size < ID3_HEADER_LEN ? f->size : ID3_HEADER_LEN;
    return ID3_HEADER_LEN + (uint64_t)id3_syncsafe32(f->head + ID3_SIZE_AT);
}

// The file's first bytes up to the end of its tag (all the reader looks at, whatever the size of
// the audio after them): a pointer into the bytes read at open, or a copy in *hold. *len gets
// their count. NULL with a message when the file cannot be read.
static const uint8_t* tag_bytes(const id3_file* f, uint64_t* len, id3_owned_bytes* hold) {
    uint64_t need = tag_extent(f);
    if (need > f->size)
        need = f->size;
    *len = need;
    if (need <= f->head_len)
        return f->head;
    hold->reset(id3_file_dup(f, 0, need));
    return hold->get();
}

int id3_mp3_load(const id3_file* f, id3_tags* t, int want_cover) {
    uint64_t len = 0;
    id3_owned_bytes hold;
    const uint8_t* tag = tag_bytes(f, &len, &hold);
    if (!tag) {
        t->format = ID3_FMT_MP3;
        return -1;
    }
    return parse_tag(tag, len, t, want_cover != 0);
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
static int append_text_frame(id3_buf* frames, const char* id, const char* text, uint64_t n) {
    uint8_t hdr[FRAME_HEADER_LEN];
    put_frame_header(hdr, id, n + 1);
    const uint8_t encoding = 3;
    uint64_t before = frames->len;
    if (id3_buf_append(frames, hdr, sizeof hdr) != 0 || id3_buf_append(frames, &encoding, 1) != 0 ||
        id3_buf_append(frames, text, n) != 0) {
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
// description (00), the picture bytes. The body is built whole before it joins the frames.
static int append_apic_frame(id3_buf* frames, const id3_tags* t) {
    const char* mime = apic_mime(t);
    uint64_t mime_len = apic_mime_len(t);
    const uint8_t encoding = 3;
    const uint8_t after_mime[3] = {0x00, 0x03, 0x00}; // MIME terminator, front cover, description
    uint8_t hdr[FRAME_HEADER_LEN];
    put_frame_header(hdr, "APIC", 1 + mime_len + sizeof after_mime + t->cover_size);
    uint64_t before = frames->len;
    if (id3_buf_append(frames, hdr, sizeof hdr) != 0 || id3_buf_append(frames, &encoding, 1) != 0 ||
        id3_buf_append(frames, mime, mime_len) != 0 ||
        id3_buf_append(frames, after_mime, sizeof after_mime) != 0 ||
        id3_buf_append(frames, t->cover_data, t->cover_size) != 0) {
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
static int list_text_frames(const id3_tags* t, uint32_t fields, text_frame out[7]) {
    int count = 0;
    if (t->title && (fields & ID3_NAMED_TITLE))
        add_text_frame(out, &count, "TIT2", t->title, strlen(t->title));
    if (t->artist && (fields & ID3_NAMED_ARTIST))
        add_text_frame(out, &count, "TPE1", t->artist, strlen(t->artist));
    if (t->album && (fields & ID3_NAMED_ALBUM))
        add_text_frame(out, &count, "TALB", t->album, strlen(t->album));
    if (t->genre && (fields & ID3_NAMED_GENRE))
        add_text_frame(out, &count, "TCON", t->genre, strlen(t->genre));
    if (t->date && (fields & ID3_NAMED_DATE)) {
        uint64_t date_len = strlen(t->date);
        add_text_frame(out, &count, "TDRC", t->date, date_len);
        // The version 2.3 year frame too, for readers that know no TDRC.
        if (date_len >= 4)
            add_text_frame(out, &count, "TYER", t->date, 4);
    }
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

// The picture type of an APIC frame (the byte after the MIME type), or -1 when the body does not
// reach it or cannot be read (compressed or encrypted). -2 when memory runs out.
static int apic_type(const frame_ref* fr, uint8_t major) {
    const uint8_t* body = nullptr;
    uint64_t n = 0;
    id3_owned_bytes copy;
    bool skip = false;
    if (frame_body(fr, major, &body, &n, &copy, &skip) != 0)
        return -2;
    if (skip || n < 2)
        return -1;
    const uint8_t* mime_end = (const uint8_t*)memchr(body + 1, 0, (size_t)(n - 1));
    if (!mime_end || (uint64_t)(mime_end - body) + 1 >= n)
        return -1;
    return mime_end[1];
}

// Appends the frames of an old version 2.3 or 2.4 frame area that the new tag keeps, in their
// order, to `to`: the APIC frames when `pictures` is set, else the others. *bytes grows by what
// they take; with `to` NULL they are only counted. Left out are the frames of named
// fields, front covers (picture type 3) when the cover is replaced, version 2.3 frames that are
// compressed or encrypted, frames of size 0, and frames whose identifier is not four characters
// A-Z or 0-9 (a reader that finds one cannot tell where the frame before it ends). A version 2.4
// frame is kept byte for byte, except that a size stored as a plain integer is made syncsafe; a
// version 2.3 frame gets a version 2.4 header. -1 when memory runs out.
static int carry_frames(const uint8_t* area, uint64_t a, uint8_t major, id3_change change,
                        bool pictures, id3_buf* to, uint64_t* bytes) {
    uint64_t pos = 0;
    frame_ref fr;
    while (next_frame(area, a, major, &pos, &fr)) {
        const uint8_t* hdr = fr.hdr;
        if (fr.size == 0 || !is_frame_id(hdr))
            continue;
        if (major == 3 && (hdr[FRAME_FORMAT_AT] & (V3_FORMAT_COMPRESSED | V3_FORMAT_ENCRYPTED)))
            continue;
        if (is_named_frame(hdr, change.named))
            continue;
        bool picture = memcmp(hdr, "APIC", 4) == 0;
        if (picture != pictures)
            continue;
        if (picture && change.cover_replaced) {
            int type = apic_type(&fr, major);
            if (type == -2)
                return -1;
            if (type == 3)
                continue;
        }
        uint8_t out[FRAME_HEADER_LEN];
        memcpy(out, hdr, FRAME_HEADER_LEN);
        if (major == 3) {
            // Status flags move one bit down; of the format flags only grouping has a meaning
            // that stays (the body is already free of unsynchronisation).
            id3_put_syncsafe32(out + FRAME_SIZE_AT, (uint32_t)fr.size);
            out[FRAME_STATUS_AT] = (uint8_t)((hdr[FRAME_STATUS_AT] & V3_STATUS_FLAGS) >> 1);
            out[FRAME_FORMAT_AT] =
                (hdr[FRAME_FORMAT_AT] & V3_FORMAT_GROUPED) ? V4_FORMAT_GROUPED : 0;
        } else if (fr.plain_size) {
            id3_put_syncsafe32(out + FRAME_SIZE_AT, (uint32_t)fr.size);
        }
        *bytes += sizeof out + fr.size;
        if (!to)
            continue; // only counting
        uint64_t before = to->len;
        if (id3_buf_append(to, out, sizeof out) != 0 ||
            id3_buf_append(to, hdr + FRAME_HEADER_LEN, fr.size) != 0) {
            to->len = before;
            return -1;
        }
    }
    return 0;
}

int id3_mp3_carries_pictures(const id3_file* f) {
    if (f->size < ID3_HEADER_LEN || memcmp(f->head, "ID3", 3) != 0)
        return 0;
    return f->head[ID3_VERSION_AT] == 3 || f->head[ID3_VERSION_AT] == 4;
}

// The frame area of the file's old tag when its frames are carried over: 1 with *area and
// *area_len (the bytes held in *hold or *copy); 0 when there is no tag of version 2.3 or 2.4; -1
// with a message when the file cannot be read or memory runs out.
static int old_area(const id3_file* f, id3_owned_bytes* hold, id3_owned_bytes* copy,
                    const uint8_t** area, uint64_t* area_len) {
    if (!id3_mp3_carries_pictures(f))
        return 0;
    uint64_t len = 0;
    const uint8_t* tag = tag_bytes(f, &len, hold);
    if (!tag)
        return -1;
    int found = tag_area(tag, len, area, area_len, copy);
    if (found < 0) {
        id3_set_error("oom");
        return -1;
    }
    if (found == 0)
        *area_len = 0; // a tag of version 2.3 or 2.4 with nothing to carry
    return 1;
}

int id3_mp3_build_head(const id3_file* f, const id3_tags* t, id3_change change, id3_head* head) {
    // The old tag (and its footer, if flagged) ends where the audio starts.
    uint64_t audio_off = 0;
    if (f->size >= ID3_HEADER_LEN && memcmp(f->head, "ID3", 3) == 0) {
        audio_off = id3_tag_end(f->head);
        if (audio_off > f->size)
            audio_off = f->size;
    }

    id3_owned_bytes hold, copy;
    const uint8_t* area = nullptr;
    uint64_t area_len = 0;
    int old = old_area(f, &hold, &copy, &area, &area_len);
    if (old < 0)
        return -1;
    // Only a file with a tag of version 2.3 or 2.4 (and so its full header) has frames to carry.
    uint8_t major = old > 0 ? f->head[ID3_VERSION_AT] : 0;
    // What is carried is counted first, so that the new tag is checked and sized once.
    uint64_t kept_frames = 0, kept_pictures = 0;
    if (old > 0 &&
        (carry_frames(area, area_len, major, change, false, nullptr, &kept_frames) != 0 ||
         carry_frames(area, area_len, major, change, true, nullptr, &kept_pictures) != 0)) {
        id3_set_error("oom");
        return -1;
    }
    // Over an old tag of version 2.3 or 2.4 the fields that are not named keep their old frames;
    // over any other, every field of the record is written.
    uint32_t fields = old > 0 ? change.named : ~0u;
    text_frame texts[7];
    int text_count = list_text_frames(t, fields, texts);
    bool with_apic =
        t->cover_data && t->cover_size > 0 && (change.cover_replaced || kept_pictures == 0);
    uint64_t total = 0;
    if (!tag_fits(texts, text_count, kept_frames + kept_pictures, t, with_apic, &total)) {
        id3_set_error("tag too large for ID3v2");
        return -1;
    }

    id3_buf out = {nullptr, 0, 0};
    uint8_t hdr[ID3_HEADER_LEN] = {'I', 'D', '3', 4, 0, 0};
    bool ok = id3_buf_reserve(&out, ID3_HEADER_LEN + total) == 0 &&
              id3_buf_append(&out, hdr, sizeof hdr) == 0;
    for (int i = 0; ok && i < text_count; i++)
        ok = append_text_frame(&out, texts[i].id, texts[i].text, texts[i].len) == 0;
    uint64_t counted = 0;
    if (ok && old > 0)
        ok = carry_frames(area, area_len, major, change, false, &out, &counted) == 0 &&
             carry_frames(area, area_len, major, change, true, &out, &counted) == 0;
    if (ok && with_apic)
        ok = append_apic_frame(&out, t) == 0;
    if (ok) {
        static const uint8_t zeros[PADDING] = {0};
        ok = id3_buf_append(&out, zeros, sizeof zeros) == 0;
    }
    if (!ok) {
        id3_buf_release(&out); // the caller records its generic message
        return -1;
    }
    id3_put_syncsafe32(out.data + ID3_SIZE_AT, (uint32_t)(out.len - ID3_HEADER_LEN));
    head->data = out.data;
    head->len = out.len;
    head->audio_off = audio_off;
    // The padding ends the tag: more of it counts into the tag's size.
    head->grow_kind = ID3_GROW_SYNCSAFE28;
    head->grow_at = ID3_SIZE_AT;
    return 0;
}

int id3_mp3_write(const char* path, const id3_tags* t) {
    id3_file f;
    int rc = id3_file_open_mode(&f, path, ID3_OPEN_WRITE);
    id3_head head = {};
    id3_change change = {id3_tags_present(t), t->cover_data && t->cover_size > 0};
    if (rc == 0)
        rc = id3_mp3_build_head(&f, t, change, &head);
    if (rc == 0)
        rc = id3_replace_with_head(path, &f, &head);
    free(head.data);
    id3_file_close(&f);
    if (rc != 0 && !id3_has_error())
        id3_set_error("mp3 write failed");
    return rc;
}
