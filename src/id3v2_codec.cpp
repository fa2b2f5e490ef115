// The ID3v2 frame codec: frame areas, frame walks of versions 2.2 to 2.4, frame bodies, text
// payloads, and the version 2.4 form of older frames (layouts in id3v2.h). It knows nothing of
// where a tag lies in a file.
#include "id3v2.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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

// A character of a frame identifier: A-Z or 0-9.
static bool is_id_char(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A version 2.3/2.4 frame identifier: four characters A-Z or 0-9.
static bool is_frame_id(const uint8_t* p) {
    return is_id_char(p[0]) && is_id_char(p[1]) && is_id_char(p[2]) && is_id_char(p[3]);
}

// How a walk over the frames of a version 2.4 area goes when each size field is read one way.
struct size_reading {
    bool to_end;     // every frame fits and the walk ends at the area's end or in zero padding
    uint64_t frames; // frames with a valid identifier that fit, up to the first that does not
};

static size_reading walk_sizes(const uint8_t* area, uint64_t a, bool plain) {
    size_reading r = {false, 0};
    uint64_t pos = 0;
    while (a - pos >= ID3_FRAME_HEADER_LEN && area[pos] != 0x00) {
        const uint8_t* size_field = area + pos + ID3_FRAME_SIZE_AT;
        uint64_t size = plain ? id3_be32(size_field) : id3_syncsafe32(size_field);
        if (size > a - pos - ID3_FRAME_HEADER_LEN)
            return r;
        if (is_frame_id(area + pos))
            r.frames++;
        pos += ID3_FRAME_HEADER_LEN + size;
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
    while (a - pos >= ID3_FRAME_HEADER_LEN && area[pos] != 0x00) {
        const uint8_t* hdr = area + pos;
        uint64_t size =
            plain ? id3_be32(hdr + ID3_FRAME_SIZE_AT) : id3_syncsafe32(hdr + ID3_FRAME_SIZE_AT);
        if (size > a - pos - ID3_FRAME_HEADER_LEN)
            break;
        const uint8_t* body = hdr + ID3_FRAME_HEADER_LEN;
        uint8_t new_hdr[ID3_FRAME_HEADER_LEN];
        memcpy(new_hdr, hdr, ID3_FRAME_HEADER_LEN);
        uint64_t body_len = size;
        id3_owned_bytes decoded;
        if (decode) {
            decoded.reset(unsync_decode(body, size, &body_len));
            if (!decoded) {
                id3_buf_release(&out);
                return nullptr;
            }
            body = decoded.get();
            new_hdr[ID3_FRAME_FORMAT_AT] &= (uint8_t)~ID3_V4_FORMAT_UNSYNC;
        }
        id3_put_syncsafe32(new_hdr + ID3_FRAME_SIZE_AT, (uint32_t)body_len);
        // Room was reserved for all of it.
        id3_buf_append(&out, new_hdr, sizeof new_hdr);
        id3_buf_append(&out, body, body_len);
        pos += ID3_FRAME_HEADER_LEN + size;
    }
    *out_len = out.len;
    return out.data;
}

// The frame area of the tag at the start of data, which begins with "ID3" and holds len >= 10
// bytes: the first len bytes of the file, or at least all of its tag. The extended header is
// passed over and a tag-wide unsynchronisation undone (into *copy). 1 with the area; 0 when the
// tag holds nothing that can be read; -1 when memory runs out.
int id3v2_tag_area(const uint8_t* data, uint64_t len, const uint8_t** area, uint64_t* area_len,
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

void id3v2_put_frame_header(uint8_t* hdr, const char* id, uint64_t body_size) {
    memcpy(hdr, id, 4);
    id3_put_syncsafe32(hdr + 4, (uint32_t)body_size);
    hdr[ID3_FRAME_STATUS_AT] = 0x00;
    hdr[ID3_FRAME_FORMAT_AT] = 0x00;
}

// Version 2.2 frames by their later identifiers, as version 2.3 names them (the bodies are the
// same, except PIC's image format). Frames missing here (CRM, LNK and unknown identifiers) have
// no later form and are not carried.
const char id3v2_v22_ids[][2][5] = {
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

// The frame at *pos of an area of version `major`, which then moves past it. False where the walk
// ends: versions 2.3/2.4 at padding (a 00 byte), where fewer than 10 bytes remain, or at a frame
// that overruns the area; version 2.2 where fewer than 6 remain, at an identifier that is not
// A-Z/0-9 (padding among them) or a frame that overruns the area.
bool id3v2_next_frame(const uint8_t* area, uint64_t a, uint8_t major, uint64_t* pos,
                      id3v2_frame* fr) {
    memset(fr, 0, sizeof *fr);
    const uint8_t* hdr = area + *pos;
    uint64_t n = 0;
    if (major != 2) {
        if (a - *pos < ID3_FRAME_HEADER_LEN || hdr[0] == 0x00)
            return false;
        n = major >= 4 ? id3_syncsafe32(hdr + ID3_FRAME_SIZE_AT)
                       : id3_be32(hdr + ID3_FRAME_SIZE_AT);
        if (n > a - *pos - ID3_FRAME_HEADER_LEN)
            return false;
        memcpy(fr->id, hdr, 4);
        fr->known = is_frame_id(hdr);
        fr->name = (const char*)hdr;
        fr->name_len = 4;
        fr->body = hdr + ID3_FRAME_HEADER_LEN;
    } else {
        if (a - *pos < ID3_V22_FRAME_HEADER_LEN)
            return false;
        if (!is_id_char(hdr[0]) || !is_id_char(hdr[1]) || !is_id_char(hdr[2]))
            return false;
        n = id3_be24(hdr + 3);
        if (n > a - *pos - ID3_V22_FRAME_HEADER_LEN)
            return false;
        fr->name = (const char*)hdr;
        fr->name_len = 3;
        for (const auto& ids : id3v2_v22_ids) {
            if (memcmp(hdr, ids[0], 3) == 0) {
                memcpy(fr->id, ids[1], 5);
                fr->known = true;
                fr->name = ids[1];
                fr->name_len = 4;
            }
        }
        fr->body = hdr + ID3_V22_FRAME_HEADER_LEN;
    }
    fr->hdr = hdr;
    fr->n = n;
    *pos = (uint64_t)(fr->body - area) + n;
    return true;
}

// The body of a frame as its format flags make it: unsynchronisation removed and the data length
// indicator dropped (version 4). *skip is set for a compressed or encrypted frame, which is not
// read. -1 when memory runs out.
static int decode_body(const id3v2_frame* fr, uint8_t major, const uint8_t** body, uint64_t* n,
                       id3_owned_bytes* copy, bool* skip) {
    // Version 2.2 frames have no flags.
    uint8_t format_flags = major >= 3 ? fr->hdr[ID3_FRAME_FORMAT_AT] : 0;
    *body = fr->body;
    *n = fr->n;
    *skip = false;
    if (major == 3) {
        *skip = (format_flags & (ID3_V3_FORMAT_COMPRESSED | ID3_V3_FORMAT_ENCRYPTED)) != 0;
    } else if (major >= 4) {
        if (format_flags & ID3_V4_FORMAT_UNSYNC) {
            uint64_t decoded_len = 0;
            copy->reset(unsync_decode(*body, *n, &decoded_len));
            if (!*copy)
                return -1;
            *body = copy->get();
            *n = decoded_len;
        }
        if ((format_flags & ID3_V4_FORMAT_DATA_LENGTH) && *n > 3) {
            *body += 4;
            *n -= 4;
        }
        *skip = (format_flags & (ID3_V4_FORMAT_COMPRESSED | ID3_V4_FORMAT_ENCRYPTED)) != 0;
    }
    return 0;
}

// Version 2.3 frames that version 2.4 replaced, with their 2.4 form; an empty one drops the frame.
// The year becomes the recording time, which also takes the day (TDAT) and time (TIME); the
// recording dates (TRDA) and the size (TSIZ) have no 2.4 form and no reader shows them. The
// volume and equalisation frames (RVAD, EQUA) are carried as they are.
static const char kV24Forms[][2][5] = {{"TYER", "TDRC"}, {"TDAT", ""},     {"TIME", ""},
                                       {"TORY", "TDOR"}, {"IPLS", "TIPL"}, {"TRDA", ""},
                                       {"TSIZ", ""}};

// Whether a frame's body is stored as it reads (not compressed or encrypted).
bool id3v2_frame_plain(const id3v2_frame* of, uint8_t major) {
    uint8_t format_flags = major >= 3 ? of->hdr[ID3_FRAME_FORMAT_AT] : 0;
    if (major == 3)
        return (format_flags & (ID3_V3_FORMAT_COMPRESSED | ID3_V3_FORMAT_ENCRYPTED)) == 0;
    if (major >= 4)
        return (format_flags & (ID3_V4_FORMAT_COMPRESSED | ID3_V4_FORMAT_ENCRYPTED)) == 0;
    return true;
}

// The text of the first readable frame `id` of an old tag, or NULL (none, or memory ran out: a
// date is then carried with less of it).
static char* old_frame_text(const uint8_t* area, uint64_t a, uint8_t major, const char* id) {
    uint64_t pos = 0;
    id3v2_frame of;
    while (id3v2_next_frame(area, a, major, &pos, &of)) {
        if (memcmp(of.id, id, 4) == 0 && of.n > 0 && id3v2_frame_plain(&of, major))
            return id3_decode_id3_text(of.body[0], of.body + 1, of.n - 1);
    }
    return nullptr;
}

bool id3v2_is_digits(const char* s, size_t n) {
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
int id3v2_old_recording_time(const uint8_t* area, uint64_t a, uint8_t major, const char* year,
                             id3_buf* text) {
    if (id3_buf_append(text, year, strlen(year)) != 0)
        return -1;
    if (!id3v2_is_digits(year, 4))
        return 0;
    id3_owned_text day(old_frame_text(area, a, major, "TDAT"));
    if (!id3v2_is_digits(day.get(), 4))
        return 0;
    const char* d = day.get();
    const char md[6] = {'-', d[2], d[3], '-', d[0], d[1]};
    if (id3_buf_append(text, md, sizeof md) != 0)
        return -1;
    id3_owned_text time(old_frame_text(area, a, major, "TIME"));
    if (!id3v2_is_digits(time.get(), 4))
        return 0;
    const char* h = time.get();
    const char hm[6] = {'T', h[0], h[1], ':', h[2], h[3]};
    return id3_buf_append(text, hm, sizeof hm);
}

// Appends a version 2.4 frame to `to`: the header with the body size, prefix bytes, then the body.
// *bytes grows by its length; with `to` NULL it is only counted. With `borrow`, a large body (which
// lives until the fill) is not copied: the head borrows it. -1 when memory runs out.
int id3v2_emit_frame(id3_buf* to, uint64_t* bytes, uint8_t hdr[ID3_FRAME_HEADER_LEN],
                     const uint8_t* prefix, uint64_t prefix_n, const uint8_t* body, uint64_t n,
                     id3_head* borrow) {
    id3_put_syncsafe32(hdr + ID3_FRAME_SIZE_AT, (uint32_t)(prefix_n + n));
    *bytes += ID3_FRAME_HEADER_LEN + prefix_n + n;
    if (!to)
        return 0;
    uint64_t before = to->len;
    bool lend = borrow && n >= ID3_BORROW_MIN;
    if (id3_buf_append(to, hdr, ID3_FRAME_HEADER_LEN) != 0 ||
        id3_buf_append(to, prefix, prefix_n) != 0 ||
        (lend ? id3_head_borrow(borrow, to->len, body, n) : id3_buf_append(to, body, n)) != 0) {
        to->len = before;
        return -1;
    }
    return 0;
}

// Carries one frame of a version 2.2 or 2.3 tag in its version 2.4 form (see id3v2_v22_ids and
// kV24Forms). -1 when memory runs out.
int id3v2_carry_old_frame(const uint8_t* area, uint64_t a, uint8_t major, const id3v2_frame* of,
                          id3_buf* to, uint64_t* bytes, id3_head* borrow) {
    char id[5];
    memcpy(id, of->id, 5);
    for (const auto& form : kV24Forms) {
        if (memcmp(id, form[0], 4) == 0)
            memcpy(id, form[1], 5);
    }
    if (id[0] == '\0')
        return 0;
    uint8_t hdr[ID3_FRAME_HEADER_LEN] = {0};
    memcpy(hdr, id, 4);
    const uint8_t* body = of->body;
    uint64_t n = of->n;
    // Version 2.3: status flags move one bit down; the body is already free of the tag's
    // unsynchronisation. Version 2.2 has no flags.
    uint8_t format_flags = major == 3 ? of->hdr[ID3_FRAME_FORMAT_AT] : 0;
    if (major == 3)
        hdr[ID3_FRAME_STATUS_AT] =
            (uint8_t)((of->hdr[ID3_FRAME_STATUS_AT] & ID3_V3_STATUS_FLAGS) >> 1);
    if (format_flags & ID3_V3_FORMAT_COMPRESSED) {
        // A 2.3 compressed body starts with the decompressed size (plain 32-bit); 2.4 keeps the
        // same zlib bytes behind a data length indicator (syncsafe). Grouped ones order their
        // extra bytes differently and are not carried.
        if ((format_flags & (ID3_V3_FORMAT_ENCRYPTED | ID3_V3_FORMAT_GROUPED)) || n < 4)
            return 0;
        uint32_t full = id3_be32(body);
        if (full > ID3_SYNCSAFE_MAX)
            return 0;
        uint8_t dli[4];
        id3_put_syncsafe32(dli, full);
        hdr[ID3_FRAME_FORMAT_AT] = ID3_V4_FORMAT_COMPRESSED | ID3_V4_FORMAT_DATA_LENGTH;
        return id3v2_emit_frame(to, bytes, hdr, dli, sizeof dli, body + 4, n - 4);
    }
    if (format_flags & ID3_V3_FORMAT_ENCRYPTED)
        return 0;
    hdr[ID3_FRAME_FORMAT_AT] = (format_flags & ID3_V3_FORMAT_GROUPED) ? ID3_V4_FORMAT_GROUPED : 0;
    // The reader joins the tag's day and time to a year, and to a recording time that a version
    // 2.3 tag holds as well.
    bool year = memcmp(of->id, "TYER", 4) == 0;
    bool recording_time = memcmp(of->id, "TDRC", 4) == 0;
    if (year || recording_time) {
        id3_owned_text given(id3_decode_id3_text(body[0], body + 1, n - 1));
        id3_buf text = {nullptr, 0, 0};
        int rc =
            !given || id3v2_old_recording_time(area, a, major, given.get(), &text) != 0 ? -1 : 0;
        // A recording time that takes no day or time is carried as it is stored.
        bool as_stored = rc == 0 && recording_time && text.len == strlen(given.get());
        // ISO-8859-1 for an ASCII text, as mutagen and TagLib write the joined frame.
        uint8_t encoding = ID3_ENC_LATIN1;
        for (uint64_t i = 0; i < text.len; i++)
            encoding = text.data[i] >= 0x80 ? ID3_ENC_UTF8 : encoding;
        if (rc == 0 && !as_stored)
            rc = id3v2_emit_frame(to, bytes, hdr, &encoding, 1, text.data, text.len);
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
        return id3v2_emit_frame(to, bytes, hdr, prefix, p, body + 4, n - 4, borrow);
    }
    return id3v2_emit_frame(to, bytes, hdr, nullptr, 0, body, n, borrow);
}

bool id3v2_next_text(id3v2_text_walk* w, const uint8_t** text, uint64_t* text_len) {
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
int id3v2_next_decoded(id3v2_text_walk* w, id3_owned_text* out) {
    const uint8_t* text = nullptr;
    uint64_t len = 0;
    if (!id3v2_next_text(w, &text, &len))
        return 0;
    out->reset(id3_decode_id3_text(w->encoding, text, len));
    return *out ? 1 : -1;
}

// The body of a frame as it reads: unsynchronisation removed and the data length indicator
// dropped (version 2.4); false for a compressed or encrypted one (versions 2.3/2.4). -1 in *rc when
// memory runs out.
bool id3v2_frame_body(const id3v2_frame* of, uint8_t major, const uint8_t** body, uint64_t* n,
                      id3_owned_bytes* copy, int* rc) {
    *rc = 0;
    bool skip = false;
    if (decode_body(of, major, body, n, copy, &skip) != 0) {
        *rc = -1;
        return false;
    }
    return !skip;
}

int id3v2_parse_picture(const uint8_t* body, uint64_t n, bool v22, id3v2_picture* pic) {
    memset(pic, 0, sizeof *pic);
    uint64_t type_at = 0;
    if (v22) {
        // Encoding, image format (3), picture type: only "JPG" and "PNG" have a MIME type.
        type_at = 4;
        if (n <= type_at)
            return ID3_PICTURE_NONE;
        pic->mime = memcmp(body + 1, "JPG", 3) == 0   ? ID3_DEFAULT_MIME
                    : memcmp(body + 1, "PNG", 3) == 0 ? "image/png"
                                                      : "";
        pic->mime_len = strlen(pic->mime);
    } else {
        // Encoding, MIME type + 00 (an empty one is taken for JPEG), picture type.
        if (n < 2)
            return ID3_PICTURE_NONE;
        const uint8_t* mime_end = (const uint8_t*)memchr(body + 1, 0, (size_t)(n - 1));
        if (!mime_end)
            return ID3_PICTURE_NONE;
        type_at = (uint64_t)(mime_end - body) + 1;
        if (type_at >= n)
            return ID3_PICTURE_NONE;
        bool empty = type_at == 2;
        pic->mime = empty ? ID3_DEFAULT_MIME : (const char*)body + 1;
        pic->mime_len = empty ? strlen(ID3_DEFAULT_MIME) : type_at - 2;
    }
    pic->encoding = body[0];
    pic->type = body[type_at];
    // The description, in the frame's encoding, ends with a terminator: 00 00 at an even distance
    // from its start for UTF-16, 00 otherwise. Every search stays inside the body.
    uint64_t desc = type_at + 1;
    if (desc >= n)
        return ID3_PICTURE_TYPE_ONLY;
    uint64_t start = 0;
    if (pic->encoding == ID3_ENC_UTF16 || pic->encoding == ID3_ENC_UTF16BE) {
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
        return ID3_PICTURE_TYPE_ONLY; // no terminator, or no picture bytes after it
    uint64_t terminator =
        pic->encoding == ID3_ENC_UTF16 || pic->encoding == ID3_ENC_UTF16BE ? 2 : 1;
    pic->desc = body + desc;
    pic->desc_len = start - terminator - desc;
    pic->data = body + start;
    pic->data_len = n - start;
    return ID3_PICTURE_WHOLE;
}

int id3v2_picture_type(const id3v2_frame* of, uint8_t major) {
    const uint8_t* body = nullptr;
    uint64_t n = 0;
    id3_owned_bytes copy;
    int rc = 0;
    if (!id3v2_frame_body(of, major, &body, &n, &copy, &rc))
        return rc < 0 ? ID3_PICTURE_TYPE_OOM : ID3_PICTURE_TYPE_UNKNOWN;
    id3v2_picture pic;
    if (id3v2_parse_picture(body, n, major == 2, &pic) == ID3_PICTURE_NONE)
        return ID3_PICTURE_TYPE_UNKNOWN;
    return pic.type;
}
