// MP3 files: an ID3v2 tag at the start, the audio, an APE tag and an ID3v1 tag at the end. The
// reader fills a tag record from the ID3v2 tag's text and picture frames, and ID3v1 fills what it
// lacks; the writer replaces the ID3v2 tag with a fresh version 2.4 tag in front of the audio and
// keeps the APE and ID3v1 tags in step.
#include "ape_tag.h"
#include "container.h"
#include "id3v1.h"
#include "id3v2.h"
#include "id3v2_props.h"
#include "mpeg_audio.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

// Stores a decoded text frame by its identifier. Takes ownership of text.
static void store_text_frame(const uint8_t* id, char* text, id3_record* t) {
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

// A picture frame's body of n bytes (version 2.2: PIC) as the record's cover. A body that does not
// hold every field up to at least one picture byte is passed over. -1 only when memory runs out.
static int read_picture(const uint8_t* body, uint64_t n, bool v22, id3_record* t, bool want_cover) {
    id3v2_picture pic;
    if (id3v2_parse_picture(body, n, v22, &pic) != ID3_PICTURE_WHOLE)
        return 0;
    return id3_record_store_cover(t, pic.data, pic.data_len, pic.mime, pic.mime_len, want_cover);
}

// Walks the frames of an area of a bytes, of any version (version 2.2 frames by their 2.3
// names). Stops where the walk ends; a frame of size 0 is passed over. Returns -1 when memory runs
// out: a record missing a tag that the file holds must not pass for the file's tags, or a write
// would drop that tag.
static int walk_frames(const uint8_t* area, uint64_t a, uint8_t major, id3_record* t,
                       bool want_cover) {
    uint64_t pos = 0;
    id3v2_frame fr;
    while (id3v2_next_frame(area, a, major, &pos, &fr)) {
        const uint8_t* body = nullptr;
        uint64_t n = 0;
        id3_owned_bytes copy;
        int rc = 0;
        if (!id3v2_frame_body(&fr, major, &body, &n, &copy, &rc)) {
            if (rc != 0)
                return -1;
            continue;
        }
        if (fr.id[0] == 'T' && memcmp(fr.id, "TXXX", 4) != 0) {
            if (n > 0) {
                char* text = id3_decode_id3_text(body[0], body + 1, n - 1);
                if (!text)
                    return -1;
                store_text_frame((const uint8_t*)fr.id, text, t);
            }
        } else if (memcmp(fr.id, "APIC", 4) == 0) {
            if (read_picture(body, n, major == 2, t, want_cover) != 0)
                return -1;
        }
    }
    return 0;
}

// A version 2.2/2.3 year joined with the tag's day and time into one recording time, as the
// writer's version 2.4 tag holds it. -1 when memory runs out.
static int join_old_date(const uint8_t* area, uint64_t a, uint8_t major, id3_record* t) {
    if (!id3v2_is_digits(t->date, 4))
        return 0;
    id3_buf text = {nullptr, 0, 0};
    int rc = id3v2_old_recording_time(area, a, major, t->date, &text);
    if (rc == 0 && text.len > 4)
        rc = id3_record_store_text(&t->date, (const char*)text.data, text.len);
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

// Whether the file's first len bytes start with a tag: 1; 0 for bare audio, which has none; -1
// with a message for anything else.
static int has_tag(const uint8_t* data, uint64_t len) {
    if (!data) {
        id3_set_error("too short for ID3");
        return -1;
    }
    if (len < ID3_HEADER_LEN) {
        if (id3_is_mpeg_sync(data, len))
            return 0;
        id3_set_error("too short for ID3");
        return -1;
    }
    if (memcmp(data, "ID3", 3) != 0) {
        if (id3_is_mpeg_sync(data, len))
            return 0; // bare audio, no tag
        id3_set_error("no ID3 header");
        return -1;
    }
    return 1;
}

// Reads the tag at the start of data, which holds the file's first len bytes, or at least all of
// its tag. With `found`, the frame area is left there (area NULL when the tag holds nothing that
// can be read).
static int parse_tag(const uint8_t* data, uint64_t len, id3_record* t, bool want_cover,
                     found_area* found = nullptr) {
    t->format = ID3_FMT_MP3;
    int tagged = has_tag(data, len);
    if (tagged != 1)
        return tagged;

    const uint8_t* area = nullptr;
    uint64_t area_len = 0;
    id3_owned_bytes area_copy;
    int readable = id3v2_tag_area(data, len, &area, &area_len, &area_copy);
    if (readable < 0) {
        id3_set_error("oom");
        return -1;
    }
    if (readable == 0)
        return 0;
    int walked = walk_frames(area, area_len, data[3], t, want_cover);
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

// The end of the ID3v2 tag at the start of data (0 without one).
static uint64_t v2_end(const uint8_t* head, uint64_t len) {
    if (len < ID3_HEADER_LEN || memcmp(head, "ID3", 3) != 0)
        return 0;
    return id3_tag_end(head);
}

int id3_mp3_read(const uint8_t* data, uint64_t len, id3_record* t) {
    int rc = parse_tag(data, len, t, true);
    if (rc != 0 || len < ID3_V1_TAG_LEN)
        return rc;
    const uint8_t* v1 = data + len - ID3_V1_TAG_LEN;
    if (id3_v1_is_tag(v1, len, v2_end(data, len)) && id3_v1_fill(v1, t) != 0) {
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
        !id3_v1_is_tag((const uint8_t*)"TAG", f->size, v2_end(f->prefix, f->prefix_len)))
        return 0;
    if (id3_file_read(f, f->size - ID3_V1_TAG_LEN, v1, ID3_V1_TAG_LEN) != 0)
        return -1;
    return memcmp(v1, "TAG", 3) == 0 ? 1 : 0;
}

// Copies the text fields of src that are present into dst. -1 when memory runs out.
static int copy_texts(id3_record* dst, const id3_record* src) {
    const char* const from[] = {src->title, src->artist, src->album,
                                src->genre, src->date,   src->track};
    char** const to[] = {&dst->title, &dst->artist, &dst->album,
                         &dst->genre, &dst->date,   &dst->track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (from[i] && id3_record_set_str(to[i], from[i]) != 0)
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
static int keep_cover_in_tag(const uint8_t* tag, uint64_t len, id3_record* t, id3_old_tag* keep,
                             id3_owned_bytes* hold) {
    const uint8_t* at = t->cover_seen;
    if (at >= tag && at <= tag + len && t->cover_seen_len <= (uint64_t)(tag + len - at)) {
        keep->cover = at;
        keep->cover_len = t->cover_seen_len;
        if (*hold)
            keep->tag_copy = hold->release();
        return 0;
    }
    id3_record again;
    id3_record_init(&again);
    id3_record_guard guard{&again};
    if (parse_tag(tag, len, &again, true) != 0)
        return -1;
    t->cover_data = again.cover_data;
    t->cover_size = again.cover_size;
    again.cover_data = nullptr;
    return 0;
}

int id3_mp3_load(const id3_file* f, id3_record* t, int cover, id3_old_tag* keep) {
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
    if (id3_v1_fill(v1, t) != 0) {
        id3_set_error("oom");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Writer

static const uint64_t PADDING = 1024;

// A text frame: header, encoding 3 (UTF-8), the text's n bytes without a terminator. On failure
// the frames buffer keeps its earlier length, so no frame is left half written.
// With `lend`, a text of ID3_BORROW_MIN bytes or more is borrowed where it lies.
static int append_text_frame(id3_buf* frames, const char* id, const char* text, uint64_t n,
                             id3_head* lend = nullptr) {
    uint8_t hdr[ID3_FRAME_HEADER_LEN];
    id3v2_put_frame_header(hdr, id, n + 1);
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

static const char* apic_mime(const id3_record* t) {
    return t->cover_mime[0] != '\0' ? t->cover_mime : ID3_DEFAULT_MIME;
}

static uint64_t apic_mime_len(const id3_record* t) {
    if (t->cover_mime[0] == '\0')
        return strlen(ID3_DEFAULT_MIME);
    // The field is read no further than its 64 bytes, terminated or not.
    const void* nul = memchr(t->cover_mime, 0, sizeof t->cover_mime);
    return nul ? (uint64_t)((const char*)nul - t->cover_mime) : sizeof t->cover_mime;
}

// The picture frame: encoding 3, the MIME type + 00, picture type 3 (front cover), an empty
// description (00), the picture bytes (a large picture borrowed from the record, which lives until
// the fill).
static int append_apic_frame(id3_buf* frames, const id3_record* t, id3_head* borrow) {
    const char* mime = apic_mime(t);
    uint64_t mime_len = apic_mime_len(t);
    const uint8_t encoding = ID3_ENC_UTF8;
    const uint8_t after_mime[3] = {0x00, 0x03, 0x00}; // MIME terminator, front cover, description
    uint8_t hdr[ID3_FRAME_HEADER_LEN];
    id3v2_put_frame_header(hdr, "APIC", 1 + mime_len + sizeof after_mime + t->cover_size);
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

static void list_text_frame(text_frame* out, int* count, const char* id, const char* text,
                            uint64_t len) {
    out[*count] = text_frame{id, text, len};
    (*count)++;
}

// The frames of the record's fields in `fields` (ID3_NAMED_* bits) that are not NULL.
static int list_text_frames(const id3_record* t, uint32_t fields, text_frame out[6]) {
    int count = 0;
    if (t->title && (fields & ID3_NAMED_TITLE))
        list_text_frame(out, &count, "TIT2", t->title, strlen(t->title));
    if (t->artist && (fields & ID3_NAMED_ARTIST))
        list_text_frame(out, &count, "TPE1", t->artist, strlen(t->artist));
    if (t->album && (fields & ID3_NAMED_ALBUM))
        list_text_frame(out, &count, "TALB", t->album, strlen(t->album));
    if (t->genre && (fields & ID3_NAMED_GENRE))
        list_text_frame(out, &count, "TCON", t->genre, strlen(t->genre));
    // TDRC only: TYER is a version 2.3 frame, which version 2.4 readers do not map.
    if (t->date && (fields & ID3_NAMED_DATE))
        list_text_frame(out, &count, "TDRC", t->date, strlen(t->date));
    if (t->track && (fields & ID3_NAMED_TRACK))
        list_text_frame(out, &count, "TRCK", t->track, strlen(t->track));
    return count;
}

// Whether the whole tag (frames + padding), and so every frame body in it, fits a syncsafe size;
// *size gets its byte count.
// `carried` counts the old frames kept, which fit one already. The texts are real strings, so
// only the picture's count can make the sum wrap.
static bool tag_fits(const text_frame* texts, int count, uint64_t carried, const id3_record* t,
                     bool with_apic, uint64_t* size) {
    uint64_t total = PADDING + carried;
    for (int i = 0; i < count; i++)
        total += ID3_FRAME_HEADER_LEN + texts[i].len + 1;
    if (with_apic) {
        if (t->cover_size > ID3_SYNCSAFE_MAX)
            return false;
        total += ID3_FRAME_HEADER_LEN + apic_mime_len(t) + 4 + t->cover_size;
    }
    *size = total;
    return total <= ID3_SYNCSAFE_MAX;
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

// Where the year stands whose text the reader gives for the date of a version 2.2/2.3 tag
// (*year_at): the first TYER with a text, unless a TDRC follows it, whose text is taken whatever
// came before (a year only fills a date without text). ID3_NO_FRAME when the date comes from a TDRC
// or from no frame. -1 when memory runs out.
static int shown_year(const uint8_t* area, uint64_t a, uint8_t major, uint64_t* year_at) {
    *year_at = ID3_NO_FRAME;
    bool date_has_text = false;
    uint64_t pos = 0;
    id3v2_frame of;
    for (uint64_t at = 0; id3v2_next_frame(area, a, major, &pos, &of); at = pos) {
        bool recording_time = memcmp(of.id, "TDRC", 4) == 0;
        if (!recording_time && (memcmp(of.id, "TYER", 4) != 0 || date_has_text))
            continue;
        if (of.n == 0 || !id3v2_frame_plain(&of, major))
            continue;
        id3_owned_text text(id3_decode_id3_text(of.body[0], of.body + 1, of.n - 1));
        if (!text)
            return -1;
        date_has_text = text.get()[0] != '\0';
        *year_at = recording_time ? ID3_NO_FRAME : at;
    }
    return 0;
}

// Appends the frames of an old frame area that the new tag keeps, in their order, to `to`: the
// pictures when `pictures` is set, else the others. *bytes grows by what they take; with `to`
// NULL they are only counted. Left out are the frames of named fields, the years of a version
// 2.2/2.3 tag but the one the reader shows, front covers (picture type 3) when the cover is
// replaced, frames of size 0, and frames whose identifier is not four characters A-Z or 0-9 (a
// reader that finds one cannot tell where the frame before it ends), and the frames the properties
// replace (see id3v2_prop_plan). A version 2.4 frame is kept
// byte for byte (as id3v2_tag_area gives it: sizes syncsafe, the tag's unsynchronisation undone); a
// version 2.2 or 2.3 frame takes its version 2.4 form. -1 when memory runs out.
static int carry_frames(const uint8_t* area, uint64_t a, uint8_t major, id3_change change,
                        const id3v2_prop_plan* plan, bool pictures, id3_buf* to, uint64_t* bytes,
                        id3_head* borrow = nullptr) {
    // Every year of a version 2.2/2.3 tag carried becomes a recording time, of which the last is
    // read: only the year the reader shows is carried.
    uint64_t year_at = ID3_NO_FRAME;
    if (major < 4 && shown_year(area, a, major, &year_at) != 0)
        return -1;
    uint64_t pos = 0;
    id3v2_frame of;
    for (uint64_t at = 0; id3v2_next_frame(area, a, major, &pos, &of); at = pos) {
        if (of.n == 0 || !of.known)
            continue;
        if (is_named_frame((const uint8_t*)of.id, change.named))
            continue;
        // Frames of named properties, and the pair frames written again.
        int kind = id3v2_pair_kind(of.id);
        int named = id3v2_frame_named(&of, major, change.props);
        if (named < 0)
            return -1;
        if (named)
            continue;
        if (kind >= 0 && plan->pairs_rebuilt[kind] && id3v2_frame_plain(&of, major)) {
            if (!pictures &&
                id3v2_carry_pair_frame(&of, major, at, plan, change.props, to, bytes) != 0)
                return -1;
            continue;
        }
        if (major < 4 && memcmp(of.id, "TYER", 4) == 0 && at != year_at)
            continue;
        bool picture = memcmp(of.id, "APIC", 4) == 0;
        if (picture != pictures)
            continue;
        if (picture && change.cover_replaced) {
            int type = id3v2_picture_type(&of, major);
            if (type == ID3_PICTURE_TYPE_OOM)
                return -1;
            if (type == ID3_PICTURE_FRONT_COVER)
                continue;
        }
        if (major < 4) {
            if (id3v2_carry_old_frame(area, a, major, &of, to, bytes, borrow) != 0)
                return -1;
            continue;
        }
        // Byte for byte, size field included: a large frame from where it lies.
        *bytes += ID3_FRAME_HEADER_LEN + of.n;
        if (!to)
            continue;
        int rc = borrow && of.n >= ID3_BORROW_MIN
                     ? id3_head_borrow(borrow, to->len, of.hdr, ID3_FRAME_HEADER_LEN + of.n)
                     : id3_buf_append(to, of.hdr, ID3_FRAME_HEADER_LEN + of.n);
        if (rc != 0)
            return -1;
    }
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
static bool old_frame_carried(const id3_old_tag* old, const id3v2_frame* of) {
    if (of->n == 0 || !of->known)
        return false;
    uint64_t carried = old->major >= 4 ? of->n : 0;
    if (old->major < 4)
        id3v2_carry_old_frame(old->area, old->area_len, old->major, of, nullptr,
                              &carried); // counts
    return carried > 0;
}

// What an ID3v1 tag at the end of the file adds to a write over the ID3v2 tag in front (none, or
// one of any version): the fields the record holds that the ID3v2 tag does not give (*fields; the
// reader took them from ID3v1, and the new tag writes them) and the ID3v1 comment when the ID3v2
// tag holds no comment frame that the new tag carries (*comment). -1 with a message when memory
// runs out.
static int v1_additions(const id3_old_tag* old, const id3_record* t, uint32_t* fields,
                        id3_owned_text* comment) {
    *fields = 0;
    const id3_record* v2 = &old->v2;
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
    id3v2_frame of;
    while (old->major > 0 && id3v2_next_frame(old->area, old->area_len, old->major, &pos, &of)) {
        if (id3v2_frame_plain(&of, old->major) || !old_frame_carried(old, &of))
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
    while (old->major > 0 && id3v2_next_frame(old->area, old->area_len, old->major, &pos, &of)) {
        if (memcmp(of.id, "COMM", 4) == 0 && old_frame_carried(old, &of))
            return 0;
    }
    char* text = nullptr;
    if (id3_v1_text(v1 + ID3_V1_COMMENT_AT, v1[ID3_V1_TRACK_AT - 1] == 0 ? 28 : ID3_V1_TEXT_LEN,
                    &text) != 0) {
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
    uint8_t hdr[ID3_FRAME_HEADER_LEN] = {'C', 'O', 'M', 'M'};
    return id3v2_emit_frame(frames, bytes, hdr, lead, sizeof lead, (const uint8_t*)text,
                            strlen(text));
}

int id3_mp3_build_head(const id3_file* f, const id3_record* t, const id3_old_tag* old,
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
        id3_v1_update(v1, t, change.named);
    // A named comment replaces the ID3v1 comment too: it neither moves in nor stays behind.
    const id3_prop_edit* comment = id3_prop_edits_find(change.props, "COMMENT", 7);
    if (comment) {
        v1_comment.reset();
        if (old->has_v1) {
            bool v11 = v1[ID3_V1_TRACK_AT - 1] == 0;
            id3_v1_put_text(v1 + ID3_V1_COMMENT_AT, v11 ? ID3_V1_TEXT_LEN - 2 : ID3_V1_TEXT_LEN,
                            comment->count > 0 ? comment->values[0] : "");
            v1_changed = true;
        }
    }
    // An APE tag in front of the ID3v1 tag (or at the end) follows the named fields.
    uint64_t v1_len = old->has_v1 ? ID3_V1_TAG_LEN : 0;
    id3_ape_tag ape_old = {0, nullptr, 0, 0};
    id3_buf ape = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release_ape(&ape, id3_buf_release);
    bool ape_changed = false;
    int ape_found = change.named != 0 ? id3_ape_find(f, audio_off, f->size - v1_len, &ape_old) : 0;
    if (ape_found < 0)
        return -1;
    if (ape_found > 0 && id3_ape_update(&ape_old, t, change, &ape, &ape_changed) != 0) {
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
    id3v2_prop_plan plan = {{nullptr, 0, 0}, {}, {false, false}, {ID3_NO_FRAME, ID3_NO_FRAME}, {}};
    std::unique_ptr<id3v2_prop_plan, void (*)(id3v2_prop_plan*)> release_plan(
        &plan, id3v2_prop_plan_release);
    if (id3v2_plan_properties(old, change.props, &plan) != 0)
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

int id3_mp3_load_model(const id3_file* f, id3_model* m, const id3_old_tag* held) {
    m->format = ID3_FMT_MP3;
    uint64_t len = 0;
    id3_owned_bytes hold;
    const uint8_t* tag = tag_bytes(f, &len, &hold, held);
    if (!tag)
        return -1;
    int tagged = has_tag(tag, len);
    if (tagged < 0)
        return -1;
    // Items borrow the tag's bytes: a copy of them lives as long as the model.
    if (hold && id3_model_hold(m, hold.release()) != 0) {
        id3_set_error("oom");
        return -1;
    }
    const uint8_t* area = nullptr;
    uint64_t area_len = 0;
    id3_owned_bytes area_copy;
    int readable = tagged == 1 ? id3v2_tag_area(tag, len, &area, &area_len, &area_copy) : 0;
    uint64_t area_off = area_copy ? UINT64_MAX : (uint64_t)(area - tag);
    if (readable < 0 || (area_copy && id3_model_hold(m, area_copy.release()) != 0) ||
        (tagged == 1 && id3_model_add_region(m, ID3_REGION_ID3V2, 0, len, 0) != 0) ||
        (readable == 1 && id3v2_area_items(area, area_len, tag[3], area_off, m) != 0)) {
        id3_set_error("oom");
        return -1;
    }
    uint8_t v1[ID3_V1_TAG_LEN];
    int has_v1 = read_v1_tag(f, v1);
    if (has_v1 != 1)
        return has_v1;
    id3_record fields;
    id3_record_init(&fields);
    id3_record_guard guard{&fields};
    if (id3_model_add_region(m, ID3_REGION_ID3V1, f->size - ID3_V1_TAG_LEN, ID3_V1_TAG_LEN, 0) !=
            0 ||
        id3_v1_fill(v1, &fields) != 0) {
        id3_set_error("oom");
        return -1;
    }
    const char* const values[] = {fields.title, fields.artist, fields.album,
                                  fields.genre, fields.date,   fields.track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (!values[i] || values[i][0] == '\0')
            continue;
        id3_item* item = id3_model_add_item(m);
        if (!item || !(item->key = strdup(id3_field_keys[i])) ||
            id3_item_add_value(item, values[i], strlen(values[i])) != 0) {
            id3_set_error("oom");
            return -1;
        }
        item->tag = ID3_REGION_ID3V1;
        item->kind = ID3_ITEM_TEXT;
        item->rank = 1;
        item->raw_off = f->size - ID3_V1_TAG_LEN;
        item->raw_len = ID3_V1_TAG_LEN;
    }
    return 0;
}

int id3_mp3_load_props(const id3_file* f, id3_property_map* p, const id3_old_tag* held) {
    p->format = ID3_FMT_MP3;
    id3_model m;
    memset(&m, 0, sizeof m);
    id3_model_guard guard{&m};
    if (id3_mp3_load_model(f, &m, held) != 0)
        return -1;
    return id3_model_props(&m, p);
}
