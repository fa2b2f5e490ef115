// FLAC metadata: one load walks the metadata blocks into the model (every block a region, every
// comment of the VORBIS_COMMENT blocks and every PICTURE block an item), from which the record and
// the property map are folded; the writer rebuilds the metadata from that load with one new
// VORBIS_COMMENT block and at most one new PICTURE block, keeping the other blocks and the audio
// frames as they were.
//
// Stream layout: "fLaC", then metadata blocks, then audio frames. Each block is a 4-byte header
// (bit 7 of byte 0: last-metadata-block flag; bits 0-6: type; bytes 1-3: body length, 24-bit
// big-endian) followed by its body.
#include "container.h"
#include "id3v2.h"
#include "vorbis_comment.h"
#include "platform.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#define FLAC_MARKER_LEN 4
#define FLAC_BLOCK_HEADER_LEN 4
#define FLAC_PADDING 1
#define FLAC_VORBIS_COMMENT 4
#define FLAC_PICTURE 6
#define FLAC_LAST_BLOCK 0x80
#define FLAC_TYPE_MASK 0x7F
#define FLAC_MAX_BODY 0xFFFFFFu
// The most comments one VORBIS_COMMENT block may declare: libFLAC's decoder (1.4) takes a block
// with more for a malicious one, and then fails the whole stream with a metadata error.
#define FLAC_COMMENTS_MAX 100000u
// The PADDING block that ends every written metadata, left for the next edit to grow into in
// place: as large as the old file's padding bodies together, at most PADDING_KEPT_MAX; 8 KiB (the
// flac encoder's own default) for a file that had none.
#define PADDING_DEFAULT 8192u
#define PADDING_KEPT_MAX (1u << 20)

static const char FLAC_MARKER[FLAC_MARKER_LEN] = {'f', 'L', 'a', 'C'};
static const char VENDOR[] = "quorvale-id3tag";

// ---------------------------------------------------------------------------------------------
// Reader

// A block body: a pointer into the bytes read at open when it lies there, else a copy read from the
// file. NULL with a message.
static const uint8_t* block_body(const id3_file* f, uint64_t off, uint64_t n,
                                 id3_owned_bytes* hold) {
    if (off < f->prefix_len && n <= f->prefix_len - off)
        return f->prefix + off;
    hold->reset(id3_file_dup(f, off, n));
    return hold->get();
}

// Whether the file holds the stream marker at f->base: 1 or 0, or -1 with a message when the file
// cannot be read. "not FLAC" is recorded for 0.
static int has_marker(const id3_file* f) {
    uint8_t marker[4];
    if (f->base > f->size || f->size - f->base < 4 || !f->prefix) {
        id3_set_error("not FLAC");
        return 0;
    }
    if (id3_file_read(f, f->base, marker, FLAC_MARKER_LEN) != 0)
        return -1;
    if (memcmp(marker, FLAC_MARKER, FLAC_MARKER_LEN) != 0) {
        id3_set_error("not FLAC");
        return 0;
    }
    return 1;
}

// A walk over the metadata blocks, one header read at a time.
struct block_walk {
    uint64_t pos; // the next block's header; where the metadata ends once the walk is over
    bool done;    // the flagged last block has been passed
};

// The next block: BLOCK_FOUND with its flag-and-type byte, body offset and length, and the walk
// moved past it; BLOCK_END at the end of the metadata (after the flagged block, or where fewer
// than 4 bytes remain); BLOCK_OVERRUN for a block whose body runs past the end of the file; -1
// with a message when the file cannot be read.
#define BLOCK_END 0
#define BLOCK_FOUND 1
#define BLOCK_OVERRUN 2
static int next_block(const id3_file* f, block_walk* w, uint8_t* flag_type, uint64_t* body_at,
                      uint64_t* body_len) {
    if (w->done || f->size - w->pos < FLAC_BLOCK_HEADER_LEN)
        return BLOCK_END;
    uint8_t header[FLAC_BLOCK_HEADER_LEN];
    if (id3_file_read(f, w->pos, header, FLAC_BLOCK_HEADER_LEN) != 0)
        return -1;
    uint64_t n = id3_be24(header + 1);
    if (n > f->size - w->pos - FLAC_BLOCK_HEADER_LEN)
        return BLOCK_OVERRUN;
    *flag_type = header[0];
    *body_at = w->pos + FLAC_BLOCK_HEADER_LEN;
    *body_len = n;
    w->pos += FLAC_BLOCK_HEADER_LEN + n;
    w->done = (header[0] & FLAC_LAST_BLOCK) != 0;
    return BLOCK_FOUND;
}

// How far past a VORBIS_COMMENT block's declared end its comments are looked for.
#define COMMENT_OVERRUN_MAX ((uint64_t)1 << 26)

// Whether what stands at pos can follow a block: the end of the file; after the last block, an
// audio frame's sync code (FF F8 or FF F9); else a block header of a valid type whose body fits
// the file. -1 when the file cannot be read.
static int continues_stream(const id3_file* f, uint64_t pos, bool after_last) {
    if (pos == f->size)
        return 1;
    uint8_t next[FLAC_BLOCK_HEADER_LEN];
    uint64_t need = after_last ? 2 : FLAC_BLOCK_HEADER_LEN;
    if (f->size - pos < need)
        return 0;
    if (id3_file_read(f, pos, next, need) != 0)
        return -1;
    if (after_last)
        return next[0] == 0xFF && (next[1] & 0xFE) == 0xF8;
    return (next[0] & FLAC_TYPE_MASK) != FLAC_TYPE_MASK &&
           id3_be24(next + 1) <= f->size - pos - FLAC_BLOCK_HEADER_LEN;
}

// The body of the VORBIS_COMMENT block that the walk has just passed (body_at, *body_len). Some
// taggers wrote a length short of the comments, which mutagen reads whole. When the counted
// comments overrun the declared body, nothing that can follow a block stands at its declared end,
// and the comments end within the bytes after it where something can, the body runs to their
// end (*body_len) and so does the walk. Otherwise the declared body, read as far as it goes. NULL
// with a message when memory runs out or the file cannot be read.
static const uint8_t* comment_block_body(const id3_file* f, block_walk* w, uint64_t body_at,
                                         uint64_t* body_len, id3_owned_bytes* hold) {
    const uint8_t* body = block_body(f, body_at, *body_len, hold);
    if (!body || id3_vc_extent(body, *body_len) != 0)
        return body;
    int declared_end_fits = continues_stream(f, w->pos, w->done);
    if (declared_end_fits != 0)
        return declared_end_fits < 0 ? nullptr : body;
    uint64_t window = f->size - body_at;
    if (window > *body_len + COMMENT_OVERRUN_MAX)
        window = *body_len + COMMENT_OVERRUN_MAX;
    if (window == *body_len)
        return body;
    id3_owned_bytes longer(id3_file_dup(f, body_at, window));
    if (!longer)
        return nullptr;
    uint64_t extent = id3_vc_extent(longer.get(), window);
    if (extent == 0)
        return body;
    int extent_fits = continues_stream(f, body_at + extent, w->done);
    if (extent_fits != 1)
        return extent_fits < 0 ? nullptr : body;
    hold->reset(longer.release());
    *body_len = extent;
    w->pos = body_at + extent;
    return hold->get();
}

// The one load: every metadata block as a region (header included, `type` its block type), the
// bodies of the VORBIS_COMMENT and PICTURE blocks loaded (in the prefix, or held by the model),
// every comment and PICTURE block as an item, and after the metadata the audio (or, where a block
// runs past the end of the file, a damaged region). Only the block headers and those bodies are
// read. Damaged metadata ends the walk; what was read before it stays. 0, or -1 with a message.
int id3_flac_load_model(const id3_file* f, id3_model* m) {
    m->format = ID3_FMT_FLAC;
    if (has_marker(f) != 1)
        return -1;
    block_walk w = {f->base + FLAC_MARKER_LEN, false};
    uint8_t flag_type = 0;
    uint64_t body_at = 0, body_len = 0;
    int found;
    while ((found = next_block(f, &w, &flag_type, &body_at, &body_len)) == BLOCK_FOUND) {
        uint8_t type = flag_type & FLAC_TYPE_MASK;
        id3_owned_bytes hold;
        const uint8_t* body = nullptr;
        if (type == FLAC_VORBIS_COMMENT)
            body = comment_block_body(f, &w, body_at, &body_len, &hold);
        else if (type == FLAC_PICTURE)
            body = block_body(f, body_at, body_len, &hold);
        if ((type == FLAC_VORBIS_COMMENT || type == FLAC_PICTURE) && !body)
            return -1;
        int rc = id3_model_add_region(m, ID3_REGION_FLAC_BLOCK, body_at - FLAC_BLOCK_HEADER_LEN,
                                      FLAC_BLOCK_HEADER_LEN + body_len, type);
        if (rc == 0 && hold)
            rc = id3_model_hold(m, hold.release());
        if (rc == 0 && type == FLAC_VORBIS_COMMENT)
            rc = id3_vc_load_items(m, ID3_REGION_FLAC_BLOCK, body, body_len, body_at);
        if (rc == 0 && type == FLAC_PICTURE) {
            id3_item* item = id3_model_add_item(m);
            if (item) {
                // Of several pictures the last whose fields can be read gives the cover.
                *item = id3_item{};
                item->tag = ID3_REGION_FLAC_BLOCK;
                item->kind = ID3_ITEM_OTHER;
                item->raw = body;
                item->raw_len = body_len;
                item->raw_off = body_at;
                item->rank = 0; // alike: the last gives the cover
            }
            rc = item ? id3_picture_item(item, body, body_len) : -1;
        }
        if (rc != 0) {
            // A load missing a tag the file holds must not pass for the file's tags: a write
            // built on it would drop that tag.
            id3_set_error("oom");
            return -1;
        }
    }
    if (found < 0)
        return -1;
    if (id3_model_add_region(m, found == BLOCK_OVERRUN ? ID3_REGION_DAMAGED : ID3_REGION_AUDIO,
                             w.pos, f->size - w.pos, 0) != 0) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

int id3_flac_load(const id3_file* f, id3_record* t, int want_cover, id3_model* model) {
    t->format = ID3_FMT_FLAC;
    id3_model local = {};
    id3_model_guard local_guard{&local};
    id3_model* m = model ? model : &local;
    int rc = id3_flac_load_model(f, m);
    // What the walk read before it failed stays in the record.
    if (id3_model_record(m, t) != 0 || (want_cover && id3_model_copy_cover(m, t) != 0)) {
        id3_set_error("oom");
        return -1;
    }
    return rc;
}

int id3_flac_load_props(const id3_file* f, id3_property_map* p) {
    id3_model m = {};
    id3_model_guard guard{&m};
    int rc = id3_flac_load_model(f, &m);
    if (id3_model_props(&m, p) != 0)
        return -1;
    return rc;
}

int id3_flac_read(const uint8_t* data, uint64_t len, id3_record* t) {
    if (!data) {
        t->format = ID3_FMT_FLAC;
        id3_set_error("not FLAC");
        return -1;
    }
    id3_file f;
    id3_file_from_image(&f, data, len);
    return id3_flac_load(&f, t, 1, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Writer

static int append_block_header(id3_buf* b, uint8_t flag_type, uint32_t body_len) {
    uint8_t header[FLAC_BLOCK_HEADER_LEN];
    header[0] = flag_type;
    id3_put_be24(header + 1, body_len);
    return id3_buf_append(b, header, FLAC_BLOCK_HEADER_LEN);
}

// What the old metadata gives the new: the blocks kept as they are, the comments carried into the
// new VORBIS_COMMENT block (each as a 4-byte length and its text), and the PICTURE blocks kept
// (headers included).
struct old_metadata {
    id3_buf blocks;
    id3_buf comments;
    uint32_t comment_count;
    uint64_t old_comment_count; // every comment the old blocks held, replaced ones too
    id3_buf pictures;
    uint64_t last_picture; // offset in `pictures` of the last header
    uint64_t end;          // where the old metadata ends
    uint64_t padding;      // the old PADDING bodies' bytes together
    bool had_padding;
};

static void old_metadata_free(old_metadata* m) {
    id3_buf_release(&m->blocks);
    id3_buf_release(&m->comments);
    id3_buf_release(&m->pictures);
}

// Appends a block: header (type, flag clear) and the body read from the file.
static int copy_block(id3_buf* out, const id3_file* f, uint8_t type, uint64_t body_at,
                      uint64_t body_len) {
    uint64_t at = out->len + FLAC_BLOCK_HEADER_LEN;
    if (append_block_header(out, type, (uint32_t)body_len) != 0 ||
        id3_buf_append(out, nullptr, body_len) != 0 ||
        id3_file_read(f, body_at, out->data + at, body_len) != 0)
        return -1;
    return 0;
}

// Carries a comment of an old VORBIS_COMMENT block unless the write replaces it. -1 when memory
// runs out or the comments pass what one block holds.
static int carry_comment(old_metadata* m, const id3_item* comment, const id3_change* change) {
    // The item's span is the comment's length field and its text, as the new body holds it.
    const char* text = (const char*)comment->raw + 4;
    uint64_t text_len = comment->raw_len - 4;
    m->old_comment_count++;
    if (id3_vc_replaced(text, text_len, change))
        return 0;
    if (id3_buf_append(&m->comments, comment->raw, comment->raw_len) != 0)
        return -1;
    m->comment_count++;
    if (m->comments.len > FLAC_MAX_BODY) {
        id3_set_error("comments too large for FLAC comment block");
        return -1;
    }
    return 0;
}

// Goes over the old metadata blocks as the load found them: PADDING is dropped, comments and
// pictures are sorted out by the change, every other block is kept (order and body; its flag is
// set again later). -1 with a message ("oom" unless more precise) when a block runs past the end
// of the file (its bytes could be audio, which a rewrite would lose), memory runs out or the file
// cannot be read.
static int sort_old_metadata(const id3_file* f, const id3_model* old, id3_change change,
                             old_metadata* m) {
    bool damaged = false;
    uint64_t next_item = 0;
    for (uint64_t r = 0; r < old->region_count; r++) {
        const id3_region* region = &old->regions[r];
        if (region->kind != ID3_REGION_FLAC_BLOCK) {
            // After the blocks: the audio, or a block that runs past the end of the file.
            m->end = region->off;
            damaged = region->kind == ID3_REGION_DAMAGED;
            continue;
        }
        uint64_t body_at = region->off + FLAC_BLOCK_HEADER_LEN;
        uint64_t body_len = region->len - FLAC_BLOCK_HEADER_LEN;
        uint8_t type = (uint8_t)region->type;
        // The items of the block: its comments, or its picture (body and all).
        uint64_t first = next_item;
        while (next_item < old->item_count &&
               old->items[next_item].raw_off - region->off <= region->len)
            next_item++;
        if (type == FLAC_PADDING) {
            m->had_padding = true;
            m->padding += body_len;
            continue;
        }
        if (type == FLAC_VORBIS_COMMENT) {
            for (uint64_t i = first; i < next_item; i++) {
                if (carry_comment(m, &old->items[i], &change) != 0)
                    return -1;
            }
            continue;
        }
        if (type == FLAC_PICTURE) {
            const uint8_t* body = first < next_item ? old->items[first].raw : nullptr;
            if (change.cover_replaced && body_len >= 4 && id3_be32(body) == ID3_PICTURE_FRONT_COVER)
                continue; // a front cover, replaced
            m->last_picture = m->pictures.len;
            if (append_block_header(&m->pictures, FLAC_PICTURE, (uint32_t)body_len) != 0 ||
                id3_buf_append(&m->pictures, body, body_len) != 0)
                return -1;
            continue;
        }
        if (copy_block(&m->blocks, f, type, body_at, body_len) != 0)
            return -1;
    }
    if (damaged) {
        id3_set_error("FLAC metadata runs past the end of the file");
        return -1;
    }
    return 0;
}

// The new VORBIS_COMMENT body, with this library's name as its vendor. -1 when memory runs out or
// the body passes what one block holds or what a decoder reads.
static int build_vc(id3_buf* body, const id3_record* t, const id3_change* change,
                    const old_metadata* m) {
    // Large values are first only counted (borrowed, not copied), so that a body too large for
    // the block is refused without being built; one that fits is built whole.
    id3_head lent = {};
    std::unique_ptr<id3_head, void (*)(id3_head*)> lent_guard(&lent, id3_head_release);
    if (id3_vc_build(body, (const uint8_t*)VENDOR, sizeof VENDOR - 1, t, change, &m->comments,
                     m->comment_count, &lent) != 0)
        return -1;
    if (body->len > FLAC_MAX_BODY || id3_head_len(&lent) > FLAC_MAX_BODY - body->len) {
        id3_set_error("comments too large for FLAC comment block");
        return -1;
    }
    if (lent.piece_count > 0) {
        id3_buf_release(body);
        if (id3_vc_build(body, (const uint8_t*)VENDOR, sizeof VENDOR - 1, t, change, &m->comments,
                         m->comment_count) != 0)
            return -1;
    }
    // The body: vendor length, vendor, comment count. A file already past the limit is not
    // refused a write that adds no comment: it keeps what it had.
    uint32_t count = id3_le32(body->data + 4 + sizeof VENDOR - 1);
    if (count > FLAC_COMMENTS_MAX && count > m->old_comment_count) {
        id3_set_error("too many comments for FLAC comment block (at most %u)", FLAC_COMMENTS_MAX);
        return -1;
    }
    return 0;
}

// The new head: the bytes before the stream (an ID3v2 tag in front of it) as they are, "fLaC",
// the old blocks other than PADDING, VORBIS_COMMENT and PICTURE (order and bodies kept), the new
// VORBIS_COMMENT, the PICTURE blocks kept, the record's PICTURE if one is written, and a PADDING
// block, which carries the last-metadata-block flag. The old bytes after the metadata follow it.
// *padding_at: where the PADDING block's header is.
static int assemble_metadata(id3_buf* out, const id3_file* f, const old_metadata* m,
                             const id3_buf* vc, const uint8_t* picture, uint32_t picture_len,
                             uint64_t* padding_at, id3_head* head) {
    if (id3_buf_append(out, nullptr, f->base) != 0 ||
        id3_file_read(f, 0, out->data, f->base) != 0 ||
        id3_buf_append(out, FLAC_MARKER, FLAC_MARKER_LEN) != 0 ||
        id3_buf_append(out, m->blocks.data, m->blocks.len) != 0)
        return -1;
    uint64_t last = out->len;
    // A large comment body is borrowed by the head where it was built, not copied.
    if (append_block_header(out, FLAC_VORBIS_COMMENT, (uint32_t)vc->len) != 0 ||
        (vc->len >= ID3_BORROW_MIN ? id3_head_borrow(head, out->len, vc->data, vc->len)
                                   : id3_buf_append(out, vc->data, vc->len)) != 0)
        return -1;
    if (m->pictures.len > 0) {
        last = out->len + m->last_picture;
        if (id3_buf_append(out, m->pictures.data, m->pictures.len) != 0)
            return -1;
    }
    if (picture) {
        last = out->len;
        if (append_block_header(out, FLAC_PICTURE, picture_len) != 0 ||
            id3_buf_append(out, picture, picture_len) != 0)
            return -1;
    }
    uint64_t padding = !m->had_padding                 ? PADDING_DEFAULT
                       : m->padding > PADDING_KEPT_MAX ? PADDING_KEPT_MAX
                                                       : m->padding;
    last = out->len;
    if (append_block_header(out, FLAC_PADDING, (uint32_t)padding) != 0 ||
        id3_buf_append(out, nullptr, padding) != 0)
        return -1;
    memset(out->data + last + FLAC_BLOCK_HEADER_LEN, 0, (size_t)padding);
    out->data[last] |= FLAC_LAST_BLOCK;
    *padding_at = last;
    return 0;
}

int id3_flac_build_head(const id3_file* f, const id3_record* t, const id3_model* old,
                        id3_change change, id3_head* head) {
    if (has_marker(f) != 1)
        return -1;
    old_metadata m;
    memset(&m, 0, sizeof m);
    id3_buf vc = {nullptr, 0, 0};
    id3_buf out = {nullptr, 0, 0};
    id3_owned_bytes picture;
    uint64_t picture_len = 0;
    // The record's cover is written when it replaces the old front covers, or when the file has
    // no picture to keep.
    bool want_picture = t->cover_data && (change.cover_replaced || t->cover_size > 0);
    int rc = sort_old_metadata(f, old, change, &m);
    if (rc == 0 && want_picture && (change.cover_replaced || m.pictures.len == 0)) {
        const char* mime = t->cover_mime[0] ? t->cover_mime : ID3_DEFAULT_MIME;
        uint64_t mime_len = strnlen(mime, sizeof t->cover_mime - 1);
        // The body length must fit the 24-bit field of its block header.
        if (t->cover_size > FLAC_MAX_BODY - PICTURE_FIXED_LEN - mime_len) {
            id3_set_error("cover too large for FLAC picture block");
            rc = -1;
        } else {
            picture_len = PICTURE_FIXED_LEN + mime_len + t->cover_size;
            picture.reset(id3_flac_picture_build(t, mime, mime_len, picture_len));
            rc = picture ? 0 : -1;
        }
    }
    if (rc == 0)
        rc = build_vc(&vc, t, &change, &m);
    uint64_t padding_at = 0;
    if (rc == 0)
        rc = assemble_metadata(&out, f, &m, &vc, picture.get(), (uint32_t)picture_len, &padding_at,
                               head);
    uint64_t meta_end = m.end;
    old_metadata_free(&m);
    if (vc.len >= ID3_BORROW_MIN) {
        head->lent = vc.data; // borrowed by the head's pieces
        vc = id3_buf{nullptr, 0, 0};
    }
    id3_buf_release(&vc);
    if (rc != 0) {
        id3_buf_release(&out);
        return -1; // the caller records its generic message if none is recorded
    }
    head->data = out.data;
    head->len = out.len;
    head->audio_off = meta_end;
    // The PADDING block ends the head: more of it counts into its length.
    head->grow_kind = ID3_GROW_BE24;
    head->grow_at = padding_at + 1;
    return 0;
}
