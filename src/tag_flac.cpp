// FLAC metadata: the reader takes the six text tags from VORBIS_COMMENT blocks and the cover from
// PICTURE blocks; the writer rebuilds the metadata with one new VORBIS_COMMENT block and at most
// one PICTURE block, keeping the other blocks and the audio frames as they were.
//
// Stream layout: "fLaC", then metadata blocks, then audio frames. Each block is a 4-byte header
// (bit 7 of byte 0: last-metadata-block flag; bits 0-6: type; bytes 1-3: body length, 24-bit
// big-endian) followed by its body.
#include "id3_internal.h"
#include "platform.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#define FLAC_PADDING 1
#define FLAC_VORBIS_COMMENT 4
#define FLAC_PICTURE 6
#define FLAC_LAST_BLOCK 0x80
#define FLAC_MAX_BODY 0xFFFFFFu

static const char FLAC_MARKER[4] = {'f', 'L', 'a', 'C'};
static const char VENDOR[] = "quorvale-id3tag";
static const char DEFAULT_MIME[] = "image/jpeg";

// A comment text is at most this many bytes, key and "=" included.
#define COMMENT_MAX 1023

namespace {
struct free_deleter {
    void operator()(void* p) const { free(p); }
};
using owned_bytes = std::unique_ptr<uint8_t, free_deleter>;
} // namespace

static bool is_flac(const uint8_t* data, uint64_t len) {
    return data && len >= 4 && memcmp(data, FLAC_MARKER, 4) == 0;
}

// ---------------------------------------------------------------------------------------------
// Reader

// The comment keys that name a field of the record, compared whole and without regard to ASCII
// case.
static char** field_for_key(id3_tags* t, const char* key, uint64_t key_len) {
    struct key_field {
        const char* name;
        char** field;
    };
    const key_field keys[] = {{"TITLE", &t->title}, {"ARTIST", &t->artist},
                              {"ALBUM", &t->album}, {"GENRE", &t->genre},
                              {"DATE", &t->date},   {"TRACKNUMBER", &t->track}};
    for (const key_field& k : keys) {
        size_t name_len = strlen(k.name);
        if (key_len == name_len && plat_strnicmp(key, k.name, name_len) == 0)
            return k.field;
    }
    return nullptr;
}

// VORBIS_COMMENT body (little-endian): vendor length V, vendor, comment count N, then N times a
// 4-byte length T and T bytes of "KEY=value".
static int read_comments(const uint8_t* body, uint64_t body_len, id3_tags* t) {
    if (body_len < 8)
        return 0;
    uint64_t vendor_len = id3_le32(body);
    if (vendor_len > body_len - 8)
        return 0;
    uint32_t count = id3_le32(body + 4 + vendor_len);
    uint64_t pos = 8 + vendor_len;
    // The count is only an upper bound: every comment is checked against the body before it is
    // read, and each one takes at least 4 bytes, so a huge count ends with the body.
    for (uint32_t i = 0; i < count; i++) {
        if (body_len - pos < 4)
            return 0;
        uint64_t text_len = id3_le32(body + pos);
        pos += 4;
        if (text_len > body_len - pos)
            return 0;
        const char* text = (const char*)body + pos;
        pos += text_len;

        const char* eq = (const char*)memchr(text, '=', (size_t)text_len);
        if (!eq)
            continue;
        uint64_t key_len = (uint64_t)(eq - text);
        char** field = field_for_key(t, text, key_len);
        if (!field)
            continue;
        uint64_t value_len = text_len - key_len - 1;
        char* value = (char*)malloc((size_t)value_len + 1);
        if (!value)
            return -1;
        memcpy(value, eq + 1, (size_t)value_len);
        value[value_len] = '\0';
        free(*field);
        *field = value;
    }
    return 0;
}

// PICTURE body (big-endian): type, MIME length M, MIME, description length D, description, width,
// height, depth, colours, data length P, data. The fixed fields take 32 bytes.
static int read_picture(const uint8_t* body, uint64_t body_len, id3_tags* t, bool want_cover) {
    if (body_len < 32)
        return 0;
    uint64_t mime_len = id3_be32(body + 4);
    if (mime_len > body_len - 12)
        return 0;
    uint64_t desc_len = id3_be32(body + 8 + mime_len);
    if (mime_len > body_len - 32 || desc_len > body_len - 32 - mime_len)
        return 0;
    uint64_t start = 32 + mime_len + desc_len;
    uint64_t data_len = id3_be32(body + 28 + mime_len + desc_len);
    // A data length that overruns the block yields what the block holds.
    if (data_len > body_len - start)
        data_len = body_len - start;

    if (want_cover) {
        // An empty picture is still a cover: one spare byte keeps the block valid. The copy is
        // made before the old picture goes.
        uint8_t* cover = (uint8_t*)malloc((size_t)data_len + 1);
        if (!cover)
            return -1;
        memcpy(cover, body + start, (size_t)data_len);
        free(t->cover_data);
        t->cover_data = cover;
        t->cover_size = data_len;
    }
    t->has_cover = 1;

    if (mime_len == 0) {
        memcpy(t->cover_mime, DEFAULT_MIME, sizeof DEFAULT_MIME);
    } else {
        const char* mime = (const char*)body + 8;
        size_t n =
            mime_len < sizeof t->cover_mime - 1 ? (size_t)mime_len : sizeof t->cover_mime - 1;
        const char* nul = (const char*)memchr(mime, '\0', n);
        if (nul)
            n = (size_t)(nul - mime);
        memcpy(t->cover_mime, mime, n);
        t->cover_mime[n] = '\0';
    }
    return 0;
}

// A block body: a pointer into the bytes read at open when it lies there, else a copy read from the
// file. NULL with a message.
static const uint8_t* block_body(const id3_file* f, uint64_t off, uint64_t n, owned_bytes* hold) {
    if (off < f->head_len && n <= f->head_len - off)
        return f->head + off;
    hold->reset(id3_file_dup(f, off, n));
    return hold->get();
}

int id3_flac_load(const id3_file* f, id3_tags* t, int want_cover) {
    t->format = ID3_FMT_FLAC;
    if (!is_flac(f->head, f->size)) {
        id3_set_error("not FLAC");
        return -1;
    }
    // Only the block headers and the bodies of the blocks that hold tags are read. Damaged
    // metadata ends the walk; what was read before it stays.
    uint64_t len = f->size;
    uint64_t pos = 4;
    for (;;) {
        if (len - pos < 4)
            break;
        uint8_t header[4];
        if (id3_file_read(f, pos, header, 4) != 0)
            return -1;
        uint8_t flag_type = header[0];
        uint64_t body_len = id3_be24(header + 1);
        if (body_len > len - pos - 4)
            break;
        uint8_t type = flag_type & 0x7F;
        if (type == FLAC_VORBIS_COMMENT || type == FLAC_PICTURE) {
            owned_bytes hold;
            const uint8_t* body = block_body(f, pos + 4, body_len, &hold);
            if (!body)
                return -1;
            int rc = type == FLAC_VORBIS_COMMENT ? read_comments(body, body_len, t)
                                                 : read_picture(body, body_len, t, want_cover != 0);
            if (rc != 0) {
                // A record missing a tag the file holds must not pass for the file's tags: a write
                // built on it would drop that tag.
                id3_set_error("oom");
                return -1;
            }
        }
        if (flag_type & FLAC_LAST_BLOCK)
            break;
        pos += 4 + body_len;
    }
    return 0;
}

int id3_flac_read(const uint8_t* data, uint64_t len, id3_tags* t) {
    if (!data) {
        t->format = ID3_FMT_FLAC;
        id3_set_error("not FLAC");
        return -1;
    }
    id3_file f;
    id3_file_from_image(&f, data, len);
    return id3_flac_load(&f, t, 1);
}

// ---------------------------------------------------------------------------------------------
// Writer

// Growable byte buffer; starts all zero, and its holder frees `data`.
struct fbuf {
    uint8_t* data;
    uint64_t len;
    uint64_t cap;
};

// Appends n bytes (or room for them). -1 when memory runs out, with the buffer left as it was.
static int fbuf_app(fbuf* b, const void* bytes, uint64_t n) {
    if (n > UINT64_MAX - b->len)
        return -1;
    uint64_t need = b->len + n;
    if (need > b->cap) {
        uint64_t cap = b->cap ? b->cap : 4096;
        while (cap < need) {
            if (cap > UINT64_MAX / 2)
                return -1;
            cap *= 2;
        }
        if (cap > SIZE_MAX)
            return -1;
        uint8_t* grown = (uint8_t*)realloc(b->data, (size_t)cap);
        if (!grown)
            return -1;
        b->data = grown;
        b->cap = cap;
    }
    // NULL bytes reserve the room, for a caller that fills it in place.
    if (n > 0 && bytes)
        memcpy(b->data + b->len, bytes, (size_t)n);
    b->len = need;
    return 0;
}

static int fbuf_block_header(fbuf* b, uint8_t flag_type, uint32_t body_len) {
    uint8_t header[4];
    header[0] = flag_type;
    id3_put_be24(header + 1, body_len);
    return fbuf_app(b, header, 4);
}

// Bytes of "KEY=value" kept within COMMENT_MAX. A cut never splits a UTF-8 character: when the
// first byte left out continues a character, the whole character goes.
static uint64_t comment_text_len(uint64_t key_len, const char* value) {
    uint64_t value_len = strnlen(value, COMMENT_MAX);
    if (key_len + 1 + value_len <= COMMENT_MAX)
        return key_len + 1 + value_len;
    uint64_t keep = COMMENT_MAX - key_len - 1;
    // A character has at most three continuation bytes; more in a row is not UTF-8, and then the
    // plain byte count stands.
    for (uint64_t back = 0; back <= 3; back++) {
        if (((uint8_t)value[keep - back] & 0xC0) != 0x80) {
            keep -= back;
            break;
        }
    }
    return key_len + 1 + keep;
}

// VORBIS_COMMENT body from the record's texts (little-endian): vendor length 15, the vendor,
// the comment count, then each comment as a length and "KEY=value". NULL when memory runs out.
static uint8_t* build_vc(const id3_tags* t, uint32_t* body_len) {
    struct key_text {
        const char* key;
        const char* text;
    };
    const key_text comments[] = {{"TITLE", t->title}, {"ARTIST", t->artist},
                                 {"ALBUM", t->album}, {"GENRE", t->genre},
                                 {"DATE", t->date},   {"TRACKNUMBER", t->track}};
    uint32_t count = 0;
    for (const key_text& c : comments)
        count += c.text ? 1 : 0;

    uint64_t cap = 4096;
    uint8_t* body = (uint8_t*)malloc((size_t)cap);
    if (!body)
        return nullptr;
    const uint64_t vendor_len = sizeof VENDOR - 1;
    id3_put_le32(body, (uint32_t)vendor_len);
    memcpy(body + 4, VENDOR, (size_t)vendor_len);
    id3_put_le32(body + 4 + vendor_len, count);
    uint64_t pos = 8 + vendor_len;

    for (const key_text& c : comments) {
        if (!c.text)
            continue;
        uint64_t key_len = strlen(c.key);
        uint64_t text_len = comment_text_len(key_len, c.text);
        uint64_t end = pos + 4 + text_len;
        if (end > cap) {
            uint8_t* grown = (uint8_t*)realloc(body, (size_t)(end * 2));
            if (!grown) {
                free(body);
                return nullptr;
            }
            body = grown;
            cap = end * 2;
        }
        id3_put_le32(body + pos, (uint32_t)text_len);
        uint8_t* text = body + pos + 4;
        memcpy(text, c.key, (size_t)key_len);
        text[key_len] = '=';
        memcpy(text + key_len + 1, c.text, (size_t)(text_len - key_len - 1));
        pos = end;
    }
    *body_len = (uint32_t)pos;
    return body;
}

// PICTURE body for the record's cover, as a front cover with no description or dimensions.
static uint8_t* build_picture(const id3_tags* t, const char* mime, uint64_t mime_len,
                              uint64_t body_len) {
    uint8_t* body = (uint8_t*)malloc((size_t)body_len);
    if (!body)
        return nullptr;
    memset(body, 0, 32 + (size_t)mime_len);
    id3_put_be32(body, 3);
    id3_put_be32(body + 4, (uint32_t)mime_len);
    memcpy(body + 8, mime, (size_t)mime_len);
    // Description length, width, height, depth and colours stay 0.
    id3_put_be32(body + 28 + mime_len, (uint32_t)t->cover_size);
    if (t->cover_size > 0)
        memcpy(body + 32 + mime_len, t->cover_data, (size_t)t->cover_size);
    return body;
}

// The new head: "fLaC", the old blocks other than PADDING, VORBIS_COMMENT and PICTURE (order and
// bodies kept, last-block flag cleared), the new VORBIS_COMMENT, the new PICTURE if any; the old
// bytes after the metadata follow it. The old metadata ends after the flagged block, where fewer
// than 4 bytes remain, or at the end of the file when a block runs past it (that block is
// dropped). *meta_end gets that offset. -1 when memory runs out or the file cannot be read.
static int build_head(fbuf* out, const id3_file* f, const uint8_t* vc, uint32_t vc_len,
                      const uint8_t* picture, uint32_t picture_len, uint64_t* meta_end) {
    if (fbuf_app(out, FLAC_MARKER, 4) != 0)
        return -1;
    uint64_t len = f->size;
    uint64_t pos = 4;
    *meta_end = len;
    for (;;) {
        if (len - pos < 4) {
            *meta_end = pos;
            break;
        }
        uint8_t header[4];
        if (id3_file_read(f, pos, header, 4) != 0)
            return -1;
        uint8_t flag_type = header[0];
        uint32_t body_len = id3_be24(header + 1);
        if (body_len > len - pos - 4) {
            *meta_end = len;
            break;
        }
        uint8_t type = flag_type & 0x7F;
        if (type != FLAC_PADDING && type != FLAC_VORBIS_COMMENT && type != FLAC_PICTURE) {
            // The body is read straight into its place in the new head.
            uint64_t body_at = out->len + 4;
            if (fbuf_block_header(out, type, body_len) != 0 ||
                fbuf_app(out, nullptr, body_len) != 0 ||
                id3_file_read(f, pos + 4, out->data + body_at, body_len) != 0)
                return -1;
        }
        pos += 4 + (uint64_t)body_len;
        if (flag_type & FLAC_LAST_BLOCK) {
            *meta_end = pos;
            break;
        }
    }

    // The last block written carries the flag.
    uint8_t vc_header = picture ? FLAC_VORBIS_COMMENT : FLAC_VORBIS_COMMENT | FLAC_LAST_BLOCK;
    if (fbuf_block_header(out, vc_header, vc_len) != 0 || fbuf_app(out, vc, vc_len) != 0)
        return -1;
    if (picture) {
        if (fbuf_block_header(out, FLAC_PICTURE | FLAC_LAST_BLOCK, picture_len) != 0 ||
            fbuf_app(out, picture, picture_len) != 0)
            return -1;
    }
    return 0;
}

int id3_flac_build_head(const id3_file* f, const id3_tags* t, int force_picture, id3_head* head) {
    bool want_picture = t->cover_data && (t->cover_size > 0 || force_picture);
    if (!is_flac(f->head, f->size)) {
        id3_set_error("not FLAC");
        return -1;
    }

    const char* mime = t->cover_mime[0] ? t->cover_mime : DEFAULT_MIME;
    uint64_t mime_len = strnlen(mime, sizeof t->cover_mime - 1);
    uint64_t picture_len = 0;
    if (want_picture) {
        // The body length must fit the 24-bit field of its block header.
        if (t->cover_size > FLAC_MAX_BODY - 32 - mime_len) {
            id3_set_error("cover too large for FLAC picture block");
            return -1;
        }
        picture_len = 32 + mime_len + t->cover_size;
    }

    uint32_t vc_len = 0;
    owned_bytes vc(build_vc(t, &vc_len));
    owned_bytes picture(want_picture ? build_picture(t, mime, mime_len, picture_len) : nullptr);
    fbuf out = {nullptr, 0, 0};
    uint64_t meta_end = 0;
    if (!vc || (want_picture && !picture) ||
        build_head(&out, f, vc.get(), vc_len, picture.get(), (uint32_t)picture_len, &meta_end) !=
            0) {
        free(out.data);
        return -1; // the caller records its generic message if none is recorded
    }
    head->data = out.data;
    head->len = out.len;
    head->audio_off = meta_end;
    return 0;
}

int id3_flac_write(const char* path, const id3_tags* t, int force_picture) {
    id3_file f;
    int rc = id3_file_open(&f, path);
    id3_head head = {nullptr, 0, 0};
    if (rc == 0)
        rc = id3_flac_build_head(&f, t, force_picture, &head);
    if (rc == 0)
        rc = id3_replace_with_head(path, &f, &head);
    free(head.data);
    id3_file_close(&f);
    // A more precise message of an earlier step of the same call stays.
    if (rc != 0 && !id3_has_error())
        id3_set_error("flac write failed");
    return rc;
}
