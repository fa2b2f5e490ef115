// Ogg Vorbis and Ogg Opus: one load walks the header pages into the model (every comment of the
// comment packet an item, the picture comments decoded, and what the writer needs of the header
// pages), from which the record and the property map are folded; the writer builds a new comment
// packet from that load, pages the header packets again and leaves the audio pages as they are
// (renumbered when the count of header pages changes).
//
// An Ogg file is a sequence of pages. Page header (little-endian): "OggS", version 0, flags,
// granule position (8), stream serial number (4), page sequence number (4), CRC-32 of the whole
// page with this field zero (4), segment count S (1), then S lacing values and the body, whose
// length is their sum. A packet is cut into 255-byte segments and ends with the first segment
// shorter than 255 (0 when its length is a multiple of 255); a packet still open at the end of a
// page goes on in the next page of its stream, which carries the continued flag.
//
// Vorbis streams begin with three header packets: identification ("\x01vorbis"), comments
// ("\x03vorbis", a comment body, a framing byte) and setup ("\x05vorbis"); Opus streams with two:
// "OpusHead" and "OpusTags" (a comment body, then bytes that are kept as they are). The first
// page holds the identification packet alone, and audio starts on a page of its own.
#include "container.h"
#include "ogg_page.h"
#include "vorbis_comment.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define VORBIS_ID "\x01vorbis"
#define VORBIS_COMMENTS "\x03vorbis"
#define VORBIS_SETUP "\x05vorbis"
#define VORBIS_PREFIX_LEN 7
#define VORBIS_FRAMING 0x01
#define OPUS_ID "OpusHead"
#define OPUS_COMMENTS "OpusTags"
#define OPUS_PREFIX_LEN 8

// The header packets a stream begins with: identification, comments and (Vorbis) setup.
#define OGG_ID_PACKET 0
#define OGG_COMMENT_PACKET 1
#define OGG_SETUP_PACKET 2
#define OGG_HEADER_PACKETS_MAX 3

// The comments that hold pictures: a FLAC PICTURE body in base64, or the older pair of a bare
// picture in base64 and its MIME type.
#define PICTURE_KEY "METADATA_BLOCK_PICTURE"
#define COVERART_KEY "COVERART"
#define COVERARTMIME_KEY "COVERARTMIME"

// ---------------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------------
// Base64 (standard alphabet), as picture comments hold pictures

static constexpr char kBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each base64 character; -1 for every other byte.
namespace {
struct base64_table {
    int8_t value[256];
};

constexpr base64_table make_base64_table() {
    base64_table t{};
    for (int c = 0; c < 256; c++)
        t.value[c] = -1;
    for (int i = 0; i < 64; i++)
        t.value[(uint8_t)kBase64[i]] = (int8_t)i;
    return t;
}

constexpr base64_table kBase64Values = make_base64_table();
} // namespace

// Decodes up to `max` bytes of the base64 text into out (room for max bytes). Characters outside
// the alphabet (line breaks among them) are skipped, and "=" ends the text, as mutagen reads
// them. The byte count.
static uint64_t base64_decode(const char* text, uint64_t n, uint8_t* out, uint64_t max) {
    const uint8_t* in = (const uint8_t*)text;
    uint64_t got = 0;
    uint32_t acc = 0;
    int bits = 0;
    uint64_t i = 0;
    while (i < n && got < max) {
        // Four characters of the alphabet make three whole bytes at once.
        if (bits == 0 && n - i >= 4 && max - got >= 3) {
            int a = kBase64Values.value[in[i]], b = kBase64Values.value[in[i + 1]];
            int c = kBase64Values.value[in[i + 2]], d = kBase64Values.value[in[i + 3]];
            if ((a | b | c | d) >= 0) {
                uint32_t v = (uint32_t)a << 18 | (uint32_t)b << 12 | (uint32_t)c << 6 | (uint32_t)d;
                out[got] = (uint8_t)(v >> 16);
                out[got + 1] = (uint8_t)(v >> 8);
                out[got + 2] = (uint8_t)v;
                got += 3;
                i += 4;
                continue;
            }
        }
        if (in[i] == '=')
            break;
        int v = kBase64Values.value[in[i++]];
        if (v < 0)
            continue;
        acc = (acc << 6) | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[got++] = (uint8_t)(acc >> bits);
        }
    }
    return got;
}

// Appends the base64 form of n bytes. -1 when memory runs out.
static int base64_append(id3_buf* out, const uint8_t* p, uint64_t n) {
    uint64_t at = out->len;
    if (id3_buf_append(out, nullptr, (n + 2) / 3 * 4) != 0)
        return -1;
    char* o = (char*)out->data + at;
    for (; n >= 3; n -= 3, p += 3, o += 4) {
        uint32_t v = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
        o[0] = kBase64[v >> 18];
        o[1] = kBase64[(v >> 12) & 63];
        o[2] = kBase64[(v >> 6) & 63];
        o[3] = kBase64[v & 63];
    }
    if (n > 0) {
        uint32_t v = (uint32_t)p[0] << 16 | (n > 1 ? (uint32_t)p[1] << 8 : 0);
        o[0] = kBase64[v >> 18];
        o[1] = kBase64[(v >> 12) & 63];
        o[2] = n > 1 ? kBase64[(v >> 6) & 63] : '=';
        o[3] = '=';
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Detection and pages

int32_t id3_ogg_detect(const uint8_t* data, uint64_t len) {
    if (!data || len < OGG_HEADER_LEN || memcmp(data, OGG_CAPTURE, OGG_CAPTURE_LEN) != 0)
        return ID3_FMT_UNKNOWN;
    uint64_t body = OGG_HEADER_LEN + (uint64_t)data[OGG_SEGMENTS_AT];
    if (body > len || len - body < OPUS_PREFIX_LEN)
        return ID3_FMT_UNKNOWN;
    if (memcmp(data + body, VORBIS_ID, VORBIS_PREFIX_LEN) == 0)
        return ID3_FMT_OGG;
    if (memcmp(data + body, OPUS_ID, OPUS_PREFIX_LEN) == 0)
        return ID3_FMT_OPUS;
    return ID3_FMT_UNKNOWN;
}

// One page read from the file: its bytes (header, lacing, body), in the bytes read at open when
// it lies there, else copied into `copy`; and the fields used here.
struct ogg_page {
    const uint8_t* data;
    uint64_t len;
    id3_buf copy;
    uint64_t at;
    uint8_t flags;
    uint32_t serial;
    uint32_t segments;
};

// Reads the page at `at` that does not lie whole in the bytes read at open into p->copy: its
// header, then the lacing, then the body the lacing measures, each once the file is known to hold
// it. 0, or -1 with a message: the file ends within the page, or no page begins there.
static int copy_page(const id3_file* f, uint64_t at, ogg_page* p) {
    p->copy.len = 0;
    if (id3_buf_reserve(&p->copy, OGG_MAX_PAGE) != 0) {
        id3_set_error("oom");
        return -1;
    }
    uint8_t* d = p->copy.data;
    uint64_t left = f->size - at;
    uint64_t have = left < OGG_HEADER_LEN ? left : OGG_HEADER_LEN;
    if (id3_file_read(f, at, d, have) != 0)
        return -1;
    if (id3_ogg_page_len(d, have) < 0) {
        id3_set_error("not an Ogg page at offset %llu", (unsigned long long)at);
        return -1;
    }
    uint64_t segments = have == OGG_HEADER_LEN ? d[OGG_SEGMENTS_AT] : 0;
    if (have < OGG_HEADER_LEN || left - OGG_HEADER_LEN < segments) {
        id3_set_error("Ogg page runs past the end of the file");
        return -1;
    }
    if (id3_file_read(f, at + OGG_HEADER_LEN, d + OGG_HEADER_LEN, segments) != 0)
        return -1;
    uint64_t body = 0;
    for (uint64_t i = 0; i < segments; i++)
        body += d[OGG_HEADER_LEN + i];
    uint64_t body_at = OGG_HEADER_LEN + segments;
    if (left - body_at < body) {
        id3_set_error("Ogg page runs past the end of the file");
        return -1;
    }
    if (id3_file_read(f, at + body_at, d + body_at, body) != 0)
        return -1;
    p->copy.len = body_at + body;
    return 0;
}

// Reads and checks the page at `at`. 0, or -1 with a message: the file ends within the page, no
// page begins there, or its checksum is wrong.
static int read_page(const id3_file* f, uint64_t at, ogg_page* p) {
    p->at = at;
    int64_t in_prefix =
        at < f->prefix_len ? id3_ogg_page_len(f->prefix + at, f->prefix_len - at) : 0;
    if (in_prefix < 0) {
        id3_set_error("not an Ogg page at offset %llu", (unsigned long long)at);
        return -1;
    }
    if (in_prefix > 0) {
        p->data = f->prefix + at;
        p->len = (uint64_t)in_prefix;
    } else {
        if (copy_page(f, at, p) != 0)
            return -1;
        p->data = p->copy.data;
        p->len = p->copy.len;
    }
    if (id3_le32(p->data + OGG_CRC_AT) != id3_ogg_page_crc(p->data, p->len)) {
        id3_set_error("Ogg page checksum mismatch at offset %llu", (unsigned long long)at);
        return -1;
    }
    p->flags = p->data[OGG_FLAGS_AT];
    p->serial = id3_le32(p->data + OGG_SERIAL_AT);
    p->segments = p->data[OGG_SEGMENTS_AT];
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Header packets

// The header packets of the file's first stream, and how its pages hold them.
struct ogg_headers {
    int32_t format;
    uint32_t serial;
    id3_buf packets[OGG_HEADER_PACKETS_MAX];
    int complete;   // header packets read whole
    uint32_t pages; // pages of the stream up to `end`
    uint64_t first_page_end;
    uint64_t end;          // where the page that completes the last packet asked for ends
    bool other_streams;    // pages of other streams among them
    bool first_page_alone; // the first page holds the identification packet and nothing else
    bool end_at_page_end;  // nothing follows the last packet asked for on its page
    uint8_t end_flags;     // the flags of the page that ends at `end`
};

static void headers_free(ogg_headers* h) {
    for (id3_buf& b : h->packets)
        id3_buf_release(&b);
}

// The number of header packets a stream of the format begins with.
static int header_packets(int32_t format) {
    return format == ID3_FMT_OGG ? 3 : 2;
}

// Reads pages from the start of the file until `wanted` header packets of the first stream are
// whole. Pages of other streams are passed over. 0, or -1 with a message.
static int read_headers(const id3_file* f, int wanted, ogg_headers* h) {
    memset(h, 0, sizeof *h);
    h->format = id3_ogg_detect(f->prefix, f->prefix_len);
    if (h->format == ID3_FMT_UNKNOWN) {
        id3_set_error("not Ogg Vorbis or Opus");
        return -1;
    }
    ogg_page page = {};
    uint64_t at = 0;
    bool open_packet = false; // a packet of the stream goes on in its next page
    int rc = 0;
    while (rc == 0 && h->complete < wanted) {
        if (at == f->size) {
            id3_set_error("Ogg stream ends within its header packets");
            rc = -1;
            break;
        }
        rc = read_page(f, at, &page);
        if (rc != 0)
            break;
        const uint8_t* lacing = page.data + OGG_HEADER_LEN;
        const uint8_t* body = lacing + page.segments;
        if (at == 0)
            h->serial = page.serial;
        at += page.len;
        if (page.serial != h->serial) {
            h->other_streams = true;
            continue;
        }
        h->pages++;
        if (((page.flags & OGG_FLAG_CONTINUED) != 0) != open_packet ||
            ((page.flags & OGG_FLAG_FIRST) != 0) != (h->pages == 1)) {
            id3_set_error("Ogg header packets broken across pages at offset %llu",
                          (unsigned long long)page.at);
            rc = -1;
            break;
        }
        uint32_t seg = 0;
        uint64_t pos = 0;
        while (seg < page.segments && h->complete < wanted) {
            // The segments up to and including the one that ends the packet (or the page).
            uint64_t n = 0;
            bool ends = false;
            while (seg < page.segments && !ends) {
                n += lacing[seg];
                ends = lacing[seg++] < OGG_SEGMENT_MAX;
            }
            if (id3_buf_append(&h->packets[h->complete], body + pos, n) != 0) {
                id3_set_error("oom");
                rc = -1;
                break;
            }
            pos += n;
            open_packet = !ends;
            if (ends)
                h->complete++;
        }
        if (h->pages == 1) {
            h->first_page_end = at;
            // No packet may go on from it: the comment packet's start would stay behind it.
            h->first_page_alone = h->complete == 1 && seg == page.segments && !open_packet;
        }
        h->end = at;
        h->end_at_page_end = seg == page.segments;
        h->end_flags = page.flags;
    }
    id3_buf_release(&page.copy);
    return rc;
}

// Whether a header packet begins with its type's prefix.
static bool packet_is(const uint8_t* packet, uint64_t len, const char* prefix,
                      uint64_t prefix_len) {
    return len >= prefix_len && memcmp(packet, prefix, (size_t)prefix_len) == 0;
}

// The comment body inside the comment packet: *body and *body_len. False when the packet is not
// the format's comment packet.
static bool comment_body(int32_t format, const id3_buf* packet, const uint8_t** body,
                         uint64_t* body_len) {
    uint64_t prefix = format == ID3_FMT_OGG ? VORBIS_PREFIX_LEN : OPUS_PREFIX_LEN;
    if (!packet_is(packet->data, packet->len,
                   format == ID3_FMT_OGG ? VORBIS_COMMENTS : OPUS_COMMENTS, prefix))
        return false;
    *body = packet->data + prefix;
    *body_len = packet->len - prefix;
    return true;
}

// What the load knows of the stream's header pages and keeps for the writer (held by the model,
// as are the packets it points at).
struct id3_ogg_stream {
    int32_t format;
    uint32_t serial;
    uint32_t pages;              // pages of the stream up to `end`
    uint64_t first_page_end;     // where the page with the identification packet ends
    uint64_t end;                // where the page that completes the last header packet ends
    bool other_streams;          // pages of other streams among them
    bool first_page_alone;       // the first page holds the identification packet and nothing else
    bool end_at_page_end;        // nothing follows the last header packet on its page
    uint8_t end_flags;           // the flags of the page that ends at `end`
    const uint8_t* comment_body; // the comment body in the comment packet
    uint64_t comment_body_len;
    uint64_t comment_prefix; // the packet's bytes before the body
    const uint8_t* setup;    // Vorbis: the setup packet
    uint64_t setup_len;
    // The walk stopped after the comment packet: a read goes on without the packets after it, a
    // write stops with this message.
    bool walk_failed;
    char walk_error[ID3_ERROR_MAX];
};

// Decodes a picture comment's base64 value whole, in place in the item's copy of it (the decoder
// never writes ahead of what it has read), which the model then holds as the picture's bytes:
// the item keeps no text. *n gets the byte count. NULL when memory runs out.
static const uint8_t* decode_picture(id3_model* m, id3_item* item, uint64_t* n) {
    uint8_t* bytes = (uint8_t*)item->values[0];
    *n = base64_decode(item->values[0], item->value_lens[0], bytes, item->value_lens[0]);
    item->values[0] = nullptr;
    item->value_count = 0;
    return id3_model_hold(m, bytes) == 0 ? bytes : nullptr;
}

// Whether the item is a comment of the key (exactly, its name upper-cased).
static bool item_has_key(const id3_item* item, const char* key) {
    return item->key && item->key_len == strlen(key) && memcmp(item->key, key, item->key_len) == 0;
}

// Makes the picture comments among the loaded comments pictures, their bytes decoded: a
// METADATA_BLOCK_PICTURE comment by its PICTURE fields, a COVERART comment as a front cover of the
// first non-empty COVERARTMIME comment's type (image/jpeg without one; the record's cover takes
// the first COVERARTMIME comment's type, image/jpeg when it is empty). The record's cover is the
// first front cover among the METADATA_BLOCK_PICTURE comments, else the first of them (even when
// its fields cannot be read), else the first COVERART picture: they rank in that order, the other
// pictures after them. COVERARTMIME comments are not listed. -1 when memory runs out.
static int load_pictures(id3_model* m) {
    const id3_item* first_mime = nullptr;
    const id3_item* first_typed = nullptr;
    for (uint64_t i = 0; i < m->item_count; i++) {
        id3_item* item = &m->items[i];
        if (!item_has_key(item, COVERARTMIME_KEY))
            continue;
        item->kind = ID3_ITEM_OTHER;
        if (!first_mime)
            first_mime = item;
        if (!first_typed && item->value_lens[0] > 0)
            first_typed = item;
    }
    const char* listed_mime = first_typed ? first_typed->values[0] : ID3_DEFAULT_MIME;
    uint64_t listed_mime_len =
        first_typed ? first_typed->value_lens[0] : sizeof ID3_DEFAULT_MIME - 1;
    bool front_seen = false, picture_seen = false, coverart_seen = false;
    for (uint64_t i = 0; i < m->item_count; i++) {
        id3_item* item = &m->items[i];
        bool picture = item_has_key(item, PICTURE_KEY);
        bool coverart = !picture && item_has_key(item, COVERART_KEY);
        if (!picture && !coverart)
            continue;
        uint64_t n = 0;
        const uint8_t* decoded = decode_picture(m, item, &n);
        if (!decoded)
            return -1;
        item->rank = INT_MAX;
        if (coverart) {
            item->kind = ID3_ITEM_PICTURE;
            item->picture_type = ID3_PICTURE_FRONT_COVER;
            uint64_t mime_len =
                listed_mime_len < sizeof item->mime - 1 ? listed_mime_len : sizeof item->mime - 1;
            memcpy(item->mime, listed_mime, (size_t)mime_len);
            item->mime[mime_len] = '\0';
            bool typed = first_mime && first_mime->value_lens[0] > 0;
            item->cover_mime = typed ? first_mime->values[0] : ID3_DEFAULT_MIME;
            item->cover_mime_len = typed ? first_mime->value_lens[0] : sizeof ID3_DEFAULT_MIME - 1;
            item->data = decoded;
            item->data_len = n;
            if (!coverart_seen)
                item->rank = 2;
            coverart_seen = true;
            continue;
        }
        // The type counts where the fields cannot be read too: a write that replaces the front
        // covers drops such a comment of type 3.
        item->kind = ID3_ITEM_BAD_PICTURE;
        item->picture_type = n >= 4 ? (int32_t)id3_be32(decoded) : -1;
        if (id3_picture_item(item, decoded, n) != 0)
            return -1;
        bool front = item->picture_type == ID3_PICTURE_FRONT_COVER;
        if (front && !front_seen)
            item->rank = 0;
        else if (!picture_seen)
            item->rank = 1;
        front_seen = front_seen || front;
        picture_seen = true;
    }
    return 0;
}

// Keeps a packet the walk assembled in the model: *data and *len its bytes. -1 when memory runs
// out.
static int hold_packet(id3_model* m, id3_buf* packet, const uint8_t** data, uint64_t* len) {
    *data = packet->data;
    *len = packet->len;
    uint8_t* bytes = packet->data;
    *packet = id3_buf{nullptr, 0, 0};
    return bytes ? id3_model_hold(m, bytes) : 0;
}

// Fills the model from the walk over the header packets: the header pages and the audio as
// regions, the comments as items and the stream's header pages for the writer. -1 when memory
// runs out.
static int fill_model(const id3_file* f, ogg_headers* h, id3_model* m) {
    id3_ogg_stream* s = (id3_ogg_stream*)calloc(1, sizeof *s);
    if (!s || id3_model_hold(m, (uint8_t*)s) != 0)
        return -1;
    m->ogg = s;
    *s = id3_ogg_stream{h->format,
                        h->serial,
                        h->pages,
                        h->first_page_end,
                        h->end,
                        h->other_streams,
                        h->first_page_alone,
                        h->end_at_page_end,
                        h->end_flags,
                        nullptr,
                        0,
                        0,
                        nullptr,
                        0,
                        false,
                        {0}};
    const uint8_t* packet = nullptr;
    uint64_t packet_len = 0;
    if (hold_packet(m, &h->packets[OGG_COMMENT_PACKET], &packet, &packet_len) != 0 ||
        hold_packet(m, &h->packets[OGG_SETUP_PACKET], &s->setup, &s->setup_len) != 0)
        return -1;
    uint64_t prefix = h->format == ID3_FMT_OGG ? VORBIS_PREFIX_LEN : OPUS_PREFIX_LEN;
    s->comment_body = packet + prefix;
    s->comment_body_len = packet_len - prefix;
    s->comment_prefix = prefix;
    if (id3_model_add_region(m, ID3_REGION_OGG_HEADERS, 0, h->end, 0) != 0 ||
        id3_model_add_region(m, ID3_REGION_AUDIO, h->end, f->size - h->end, 0) != 0)
        return -1;
    // The comments' offsets count from the start of the comment packet.
    if (id3_vc_load_items(m, ID3_REGION_OGG_HEADERS, s->comment_body, s->comment_body_len,
                          prefix) != 0)
        return -1;
    return load_pictures(m);
}

int id3_ogg_load_model(const id3_file* f, id3_model* m) {
    ogg_headers h;
    // Every header packet is read, the setup packet too, for a writer.
    int rc = read_headers(f, header_packets(id3_ogg_detect(f->prefix, f->prefix_len)), &h);
    if (h.format != ID3_FMT_UNKNOWN)
        m->format = h.format;
    char walk_error[ID3_ERROR_MAX] = "";
    bool walk_failed = rc != 0 && h.complete > OGG_COMMENT_PACKET;
    if (walk_failed) {
        // The tags are whole: only a write needs the packets after them.
        snprintf(walk_error, sizeof walk_error, "%s", id3_error_text());
        id3_clear_error();
        rc = 0;
    }
    const uint8_t* body = nullptr;
    uint64_t body_len = 0;
    if (rc == 0 && !comment_body(h.format, &h.packets[OGG_COMMENT_PACKET], &body, &body_len)) {
        id3_set_error("Ogg comment header missing");
        rc = -1;
    }
    if (rc == 0 && fill_model(f, &h, m) != 0) {
        id3_set_error("oom");
        rc = -1;
    }
    if (rc == 0 && walk_failed) {
        m->ogg->walk_failed = true;
        memcpy(m->ogg->walk_error, walk_error, sizeof walk_error);
    }
    headers_free(&h);
    return rc;
}

int id3_ogg_load(const id3_file* f, id3_record* t, int want_cover, id3_model* model) {
    id3_model local = {};
    id3_model_guard local_guard{&local};
    id3_model* m = model ? model : &local;
    int rc = id3_ogg_load_model(f, m);
    if (m->format != ID3_FMT_UNKNOWN)
        t->format = m->format;
    // A failed read leaves no tags behind, only the format.
    if (rc != 0)
        return -1;
    if (id3_model_record(m, t) != 0 || (want_cover && id3_model_copy_cover(m, t) != 0)) {
        // A record missing a tag the file holds must not pass for the file's tags.
        int32_t format = t->format;
        id3_record_free(t);
        t->format = format;
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

int id3_ogg_load_props(const id3_file* f, id3_property_map* p) {
    id3_model m = {};
    id3_model_guard guard{&m};
    int32_t format = p->format;
    int rc = id3_ogg_load_model(f, &m);
    if (rc != 0) {
        if (m.format != ID3_FMT_UNKNOWN)
            p->format = m.format;
        else
            p->format = format;
        return -1;
    }
    return id3_model_props(&m, p);
}

int id3_ogg_read(const uint8_t* data, uint64_t len, id3_record* t) {
    id3_file f;
    id3_file_from_image(&f, data ? data : (const uint8_t*)"", data ? len : 0);
    return id3_ogg_load(&f, t, 1);
}

// ---------------------------------------------------------------------------------------------
// Writer

// The comments of the old comment body that the new one carries, each as a length and its text:
// all but the comments the write replaces, and when the cover is replaced, the front covers among
// the picture comments and the old COVERART pair (which would otherwise stand in for a removed
// cover). *count gets their number; *kept_pictures whether a picture comment stays.
static int carry_comments(const id3_model* m, id3_change change, id3_buf* carried, uint32_t* count,
                          bool* kept_pictures) {
    for (uint64_t i = 0; i < m->item_count; i++) {
        const id3_item* item = &m->items[i];
        // The item's span is the comment's length field and its text.
        const char* text = (const char*)item->raw + 4;
        if (id3_vc_replaced(text, item->raw_len - 4, &change))
            continue;
        bool picture = item_has_key(item, PICTURE_KEY);
        if (change.cover_replaced) {
            if (picture && item->picture_type == ID3_PICTURE_FRONT_COVER)
                continue;
            if (item_has_key(item, COVERART_KEY) || item_has_key(item, COVERARTMIME_KEY))
                continue;
        }
        *kept_pictures = *kept_pictures || picture;
        if (id3_buf_append(carried, item->raw, item->raw_len) != 0)
            return -1;
        (*count)++;
    }
    return 0;
}

// Appends the record's cover as a METADATA_BLOCK_PICTURE comment (length and text). -1 with a
// message when it is too large for a comment or memory runs out.
static int append_picture_comment(id3_buf* carried, const id3_record* t) {
    const char* mime = t->cover_mime[0] ? t->cover_mime : ID3_DEFAULT_MIME;
    uint64_t mime_len = strnlen(mime, sizeof t->cover_mime - 1);
    // The picture's data length is a 32-bit field, and the comment's length too.
    const uint64_t limit = (uint64_t)UINT32_MAX / 4 * 3 - 64 - mime_len;
    if (t->cover_size > limit) {
        id3_set_error("cover too large for Ogg picture comment");
        return -1;
    }
    uint64_t block_len = 32 + mime_len + t->cover_size;
    id3_owned_bytes block(id3_flac_picture_build(t, mime, mime_len, block_len));
    if (!block)
        return -1;
    uint64_t text_len = sizeof PICTURE_KEY + (block_len + 2) / 3 * 4; // the key, "=", base64
    uint8_t len[4];
    id3_put_le32(len, (uint32_t)text_len);
    if (id3_buf_append(carried, len, 4) != 0 ||
        id3_buf_append(carried, PICTURE_KEY "=", sizeof PICTURE_KEY) != 0 ||
        base64_append(carried, block.get(), block_len) != 0)
        return -1;
    return 0;
}

// The new comment packet: the format's prefix, the old vendor, the comments, and what followed
// the old comments (Vorbis: the framing byte; Opus: padding or other data, kept as they are).
static int build_comment_packet(const id3_model* m, const id3_record* t, id3_change change,
                                id3_buf* packet, id3_head* lend) {
    const id3_ogg_stream* s = m->ogg;
    const uint8_t* body = s->comment_body;
    uint64_t body_len = s->comment_body_len;
    uint64_t extent = id3_vc_extent(body, body_len);
    if (extent == 0) {
        id3_set_error("Ogg comment header damaged");
        return -1;
    }
    id3_buf carried = {nullptr, 0, 0};
    uint32_t count = 0;
    bool kept_pictures = false;
    int rc = carry_comments(m, change, &carried, &count, &kept_pictures);
    // The record's cover is written when it replaces the old front covers, or when the file has
    // no picture to keep.
    bool want_picture = t->cover_data && (change.cover_replaced || t->cover_size > 0) &&
                        (change.cover_replaced || !kept_pictures);
    if (rc == 0 && want_picture) {
        rc = append_picture_comment(&carried, t);
        count++;
    }
    if (rc == 0)
        rc = id3_buf_append(packet, body - s->comment_prefix, s->comment_prefix);
    if (rc == 0)
        rc = id3_vc_build(packet, body + 4, id3_le32(body), t, &change, &carried, count, lend);
    id3_buf_release(&carried);
    if (rc == 0 && s->format == ID3_FMT_OGG) {
        const uint8_t framing = VORBIS_FRAMING;
        rc = id3_buf_append(packet, &framing, 1);
    } else if (rc == 0) {
        rc = id3_buf_append(packet, body + extent, body_len - extent);
    }
    if (rc == 0 && id3_head_len(lend) > UINT32_MAX - packet->len) {
        id3_set_error("comments too large for Ogg comment header");
        rc = -1;
    }
    return rc;
}

// A packet as the writer built it: its own bytes, and with `lent`, the pieces that stand between
// them (large values borrowed where they lie).
struct split_packet {
    const id3_buf* own;
    const id3_head* lent;
};

static uint64_t split_len(const split_packet& p) {
    return p.own->len + (p.lent ? id3_head_len(p.lent) : 0);
}

// One part of a packet, `len` bytes at `bytes` from offset *pos of the packet on, cut to the
// *n bytes from *from: summed into *crc and appended to out, or borrowed by `head` with `borrow`.
// *pos moves past the part, *from and *n past what was taken.
static int take_part(id3_buf* out, const uint8_t* bytes, uint64_t len, id3_head* borrow,
                     uint64_t* pos, uint64_t* from, uint64_t* n, uint32_t* crc) {
    uint64_t end = *pos + len;
    if (*n > 0 && *from < end) {
        uint64_t skip = *from - *pos; // parts come in order: *from is never before *pos
        uint64_t take = len - skip < *n ? len - skip : *n;
        const uint8_t* p = bytes + skip;
        *crc = id3_ogg_crc_update(*crc, p, take);
        int rc = borrow ? id3_head_borrow(borrow, out->len, p, take) : id3_buf_append(out, p, take);
        if (rc != 0)
            return -1;
        *from += take;
        *n -= take;
    }
    *pos = end;
    return 0;
}

// Appends n bytes of the packet from `from` on: its own bytes are copied, or borrowed by `head`
// when there is one; its pieces are always borrowed by `head`, which the packet then has.
static int append_range(id3_buf* out, const split_packet& packet, uint64_t from, uint64_t n,
                        id3_head* head, uint32_t* crc) {
    uint64_t pos = 0, own_from = 0;
    uint64_t pieces = packet.lent ? packet.lent->piece_count : 0;
    for (uint64_t i = 0; i <= pieces && n > 0; i++) {
        uint64_t own_to = i < pieces ? packet.lent->pieces[i].at : packet.own->len;
        if (take_part(out, packet.own->data + own_from, own_to - own_from, head, &pos, &from, &n,
                      crc) != 0)
            return -1;
        own_from = own_to;
        if (i < pieces) {
            const id3_head_piece& piece = packet.lent->pieces[i];
            if (take_part(out, piece.bytes, piece.len, head, &pos, &from, &n, crc) != 0)
                return -1;
        }
    }
    return 0;
}

// Appends pages holding the packets in order, from sequence number `seq` on, each page as full as
// its 255 segments allow; a page on which a packet ends has granule position 0, one on which none
// ends -1. The last page also gets last_flags. *pages gets their count. With `lend_to`, the bytes
// of the first packet are not copied: the head borrows them where they lie, between the pages'
// headers in `out`, so that a large comment packet is not held twice.
static int page_packets(id3_buf* out, uint32_t serial, uint32_t seq, const split_packet* packets,
                        int count, uint8_t last_flags, uint32_t* pages, id3_head* lend_to) {
    *pages = 0;
    int packet = 0;
    uint64_t pos = 0;       // bytes of the current packet already paged
    bool continued = false; // the current packet began on an earlier page
    while (packet < count) {
        uint8_t header[OGG_HEADER_LEN + OGG_MAX_SEGMENTS];
        memset(header, 0, OGG_HEADER_LEN);
        memcpy(header, OGG_CAPTURE, OGG_CAPTURE_LEN);
        header[OGG_FLAGS_AT] = continued ? OGG_FLAG_CONTINUED : 0;
        id3_put_le32(header + OGG_SERIAL_AT, serial);
        id3_put_le32(header + OGG_SEQUENCE_AT, seq + *pages);
        uint32_t segments = 0;
        bool packet_ended = false;
        uint64_t page_at = out->len;
        // The lacing: whole segments of the current packet, a short one where it ends.
        struct span {
            int packet;
            uint64_t from, len;
        };
        span spans[OGG_MAX_SEGMENTS];
        int span_count = 0;
        while (packet < count && segments < OGG_MAX_SEGMENTS) {
            uint64_t left = split_len(packets[packet]) - pos;
            uint64_t take = left < OGG_SEGMENT_MAX ? left : OGG_SEGMENT_MAX;
            header[OGG_HEADER_LEN + segments++] = (uint8_t)take;
            if (span_count > 0 && spans[span_count - 1].packet == packet)
                spans[span_count - 1].len += take;
            else
                spans[span_count++] = span{packet, pos, take};
            pos += take;
            if (take < OGG_SEGMENT_MAX) {
                packet++;
                pos = 0;
                packet_ended = true;
            }
        }
        continued = pos > 0;
        if (packet == count)
            header[OGG_FLAGS_AT] |= last_flags;
        header[OGG_SEGMENTS_AT] = (uint8_t)segments;
        uint64_t granule = packet_ended ? 0 : UINT64_MAX;
        id3_put_le32(header + OGG_GRANULE_AT, (uint32_t)granule);
        id3_put_le32(header + OGG_GRANULE_AT + 4, (uint32_t)(granule >> 32));
        // The checksum runs over the header, its own field still zero, then the body's spans.
        uint32_t crc = id3_ogg_crc_update(0, header, OGG_HEADER_LEN + segments);
        if (id3_buf_append(out, header, OGG_HEADER_LEN + segments) != 0)
            return -1;
        for (int i = 0; i < span_count; i++) {
            const split_packet& from = packets[spans[i].packet];
            id3_head* borrow = spans[i].packet == 0 ? lend_to : nullptr;
            if (append_range(out, from, spans[i].from, spans[i].len, borrow, &crc) != 0)
                return -1;
        }
        id3_put_le32(out->data + page_at + OGG_CRC_AT, crc);
        (*pages)++;
    }
    return 0;
}

// Finds the last page of the file, which must end where the file ends: 0 with its serial number,
// or -1 with a message. Pages are at most OGG_MAX_PAGE bytes, so it starts within that many bytes
// of the end.
static int last_page_serial(const id3_file* f, uint64_t from, uint32_t* serial) {
    uint64_t window = f->size - from < OGG_MAX_PAGE ? f->size - from : OGG_MAX_PAGE;
    uint64_t start = f->size - window;
    id3_owned_bytes tail(id3_file_dup(f, start, window));
    if (!tail)
        return -1;
    for (uint64_t back = OGG_HEADER_LEN; back <= window; back++) {
        const uint8_t* p = tail.get() + window - back;
        if (memcmp(p, OGG_CAPTURE, OGG_CAPTURE_LEN) != 0)
            continue;
        int64_t n = id3_ogg_page_len(p, back);
        if (n == (int64_t)back && id3_le32(p + OGG_CRC_AT) == id3_ogg_page_crc(p, back)) {
            *serial = id3_le32(p + OGG_SERIAL_AT);
            return 0;
        }
    }
    id3_set_error("Ogg file does not end with a whole page");
    return -1;
}

int id3_ogg_build_head(const id3_file* f, const id3_record* t, const id3_model* m,
                       id3_change change, id3_head* head) {
    const id3_ogg_stream* s = m->ogg;
    if (!s)
        return -1; // no load: the caller records its generic message
    int rc = 0;
    if (s->walk_failed) {
        id3_set_error("%s", s->walk_error);
        rc = -1;
    }
    uint32_t last_serial = 0;
    if (rc == 0 && s->other_streams) {
        id3_set_error("Ogg file with several streams: write unsupported");
        rc = -1;
    }
    // The first page is kept as it is, so nothing but the identification packet may lie on it.
    if (rc == 0 && !s->first_page_alone) {
        id3_set_error("Ogg identification packet shares its page: write unsupported");
        rc = -1;
    }
    if (rc == 0 && !s->end_at_page_end) {
        id3_set_error("Ogg header packets share pages with audio: write unsupported");
        rc = -1;
    }
    if (rc == 0 && s->end < f->size) {
        // A chained file ends with a page of another stream.
        rc = last_page_serial(f, s->end, &last_serial);
        if (rc == 0 && last_serial != s->serial) {
            id3_set_error("Ogg file with several streams: write unsupported");
            rc = -1;
        }
    }
    if (rc == 0 && s->format == ID3_FMT_OGG &&
        !packet_is(s->setup, s->setup_len, VORBIS_SETUP, VORBIS_PREFIX_LEN)) {
        id3_set_error("Ogg Vorbis setup header missing");
        rc = -1;
    }
    id3_buf comments = {nullptr, 0, 0};
    id3_head comments_lent = {}; // the large values, borrowed between the packet's own bytes
    id3_buf out = {nullptr, 0, 0};
    if (rc == 0)
        rc = build_comment_packet(m, t, change, &comments, &comments_lent);
    // The first page, with the identification packet, stays as it is.
    if (rc == 0 && (id3_buf_append(&out, nullptr, s->first_page_end) != 0 ||
                    id3_file_read(f, 0, out.data, s->first_page_end) != 0))
        rc = -1;
    uint32_t pages = 0;
    // A large comment packet stays where it was built, and the head borrows its bytes (and the
    // values the packet borrows).
    bool lend = comments.len >= ID3_BORROW_MIN || comments_lent.piece_count > 0;
    if (rc == 0) {
        // The setup packet as the load holds it (a view, not released here).
        const id3_buf setup = {(uint8_t*)s->setup, s->setup_len, s->setup_len};
        const split_packet packets[2] = {{&comments, &comments_lent}, {&setup, nullptr}};
        // A stream without audio ends on its last header page, which keeps its end flag.
        rc = page_packets(&out, s->serial, 1, packets, header_packets(s->format) - 1,
                          s->end_flags & OGG_FLAG_LAST, &pages, lend ? head : nullptr);
    }
    if (lend) {
        head->lent = comments.data;
        comments = id3_buf{nullptr, 0, 0};
    }
    id3_buf_release(&comments);
    id3_head_release(&comments_lent);
    if (rc != 0) {
        id3_buf_release(&out);
        return -1;
    }
    head->data = out.data;
    head->len = out.len;
    head->audio_off = s->end;
    // The audio pages follow the header pages in sequence: moved along when their count changes.
    uint32_t delta = 1 + pages - s->pages;
    head->ogg_renumber = delta != 0;
    head->ogg_serial = s->serial;
    head->ogg_seq_delta = delta;
    return 0;
}
