// ID3v2 frames and the property map: every text frame, user text, comment, lyrics, identifier and
// involved-people frame of a frame area under its key, and every picture; and, for a write, the
// old frames its properties replace and the version 2.4 frames (UTF-8) that hold their new
// values.
#include "id3v2_props.h"
#include "id3v1.h"

#include <stdlib.h>
#include <string.h>

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

// Where the property reader puts what one frame gives: items of the model, one for each run of
// values under one key (a pair frame gives one per role), each with the frame's bytes.
struct item_sink {
    id3_model* m;
    const id3v2_frame* frame;
    uint64_t first;   // the frame's first item
    uint64_t raw_off; // where the frame lies in the file; UINT64_MAX for decoded bytes
};

static id3_item* sink_item(item_sink* s, int kind, const char* key) {
    id3_item* item = id3_model_add_item(s->m);
    if (!item)
        return nullptr;
    const id3v2_frame* fr = s->frame;
    item->tag = ID3_REGION_ID3V2;
    item->kind = kind;
    item->id = fr->name;
    item->id_len = fr->name_len;
    item->raw = fr->hdr;
    item->raw_len = (uint64_t)(fr->body - fr->hdr) + fr->n;
    item->raw_off = s->raw_off;
    if (key) {
        item->key = strdup(key);
        if (!item->key)
            return nullptr;
    }
    return item;
}

// Adds a value of len bytes under key: to the frame's last item when it holds key, else to a new
// one. -1 when memory runs out.
static int sink_value(item_sink* s, const char* key, const char* value, uint64_t len) {
    id3_model* m = s->m;
    id3_item* item = m->item_count > s->first ? &m->items[m->item_count - 1] : nullptr;
    if (!item || !item->key || strcmp(item->key, key) != 0)
        item = sink_item(s, ID3_ITEM_TEXT, key);
    return item ? id3_item_add_value(item, value, len) : -1;
}

static int add_prop(item_sink* p, const char* key, const char* value) {
    return sink_value(p, key, value, strlen(value));
}

// Adds every text of the walk under key (TCON's numbered genres by name). -1 when memory runs
// out.
static int add_texts(item_sink* p, const char* key, id3v2_text_walk* w, bool genre) {
    id3_owned_text text;
    int rc;
    while ((rc = id3v2_next_decoded(w, &text)) == 1) {
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
    id3v2_frame fr;
    while (id3v2_next_frame(area, a, major, &pos, &fr)) {
        if (memcmp(fr.id, id, 4) == 0)
            return true;
    }
    return false;
}

// Adds the properties of a text frame: the table's key, else the frame's id. The version 2.3 date
// frames give way to their version 2.4 successors where the tag holds both (as writers that keep
// TYER beside TDRC write them): TYER and TORY give nothing beside TDRC and TDOR. The first year
// takes the tag's day and time (TDAT, TIME) as one recording time, which those frames do not give
// again; a further year frame gives nothing.
static int add_text_frame_props(const prop_frame& fr, const uint8_t* area, uint64_t a,
                                prop_tag* tag, item_sink* p) {
    bool year = strcmp(fr.id, "TYER") == 0;
    if (strcmp(fr.id, "TDAT") == 0 || strcmp(fr.id, "TIME") == 0 ||
        (year && (tag->has_recording_time || tag->year_read)) ||
        (strcmp(fr.id, "TORY") == 0 && tag->has_original_date))
        return 0;
    const char* key = id3_property_of_id3(fr.id, "", 0, fr.major);
    id3v2_text_walk w = {fr.body[0], fr.body + 1, fr.n - 1, 0, false};
    if (year) {
        tag->year_read = true;
        id3_owned_text year_text;
        if (id3v2_next_decoded(&w, &year_text) < 0)
            return -1;
        id3_buf date = {nullptr, 0, 0};
        int rc = id3v2_old_recording_time(area, a, fr.major, year_text.get(), &date);
        if (rc == 0)
            rc = sink_value(p, key, (const char*)date.data, date.len);
        id3_buf_release(&date);
        return rc;
    }
    return add_texts(p, key ? key : fr.id, &w, strcmp(fr.id, "TCON") == 0);
}

// TXXX, COMM, USLT, UFID, TIPL/IPLS/TMCL: each names what it holds by a description, owner or
// role. -1 when memory runs out.
static int add_described_frame(const prop_frame& fr, item_sink* p) {
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
        return sink_value(p, k, (const char*)end + 1, fr.n - owner_len - 1);
    }
    if (comment || lyrics) {
        // Encoding, language (3), description, text.
        if (fr.n < 4)
            return 0;
        id3v2_text_walk w = {fr.body[0], fr.body + 4, fr.n - 4, 0, false};
        if (id3v2_next_decoded(&w, &desc) < 0)
            return -1;
        const char* k = described_key(fr.id, desc.get(), fr.major, &key);
        if (!k)
            return -1;
        if (lyrics) {
            // One text, which may hold line breaks but no further values.
            id3_owned_text text;
            if (id3v2_next_decoded(&w, &text) < 0)
                return -1;
            return add_prop(p, k, text ? text.get() : "");
        }
        return add_texts(p, k, &w, false);
    }
    id3v2_text_walk w = {fr.body[0], fr.body + 1, fr.n - 1, 0, false};
    if (strcmp(fr.id, "TXXX") == 0) {
        if (id3v2_next_decoded(&w, &desc) < 0)
            return -1;
        const char* k = described_key(fr.id, desc.get(), fr.major, &key);
        return k ? add_texts(p, k, &w, false) : -1;
    }
    // Involved people: role and name, in pairs.
    id3_owned_text role, name;
    int rc;
    while ((rc = id3v2_next_decoded(&w, &role)) == 1 && (rc = id3v2_next_decoded(&w, &name)) == 1) {
        const char* k = pair_key(fr.id, role.get(), fr.major, &key);
        if (!k || add_prop(p, k, name.get()) != 0)
            return -1;
    }
    return rc < 0 ? -1 : 0;
}

// A URL frame (W...; not WXXX): its Latin-1 text to the first 00.
static int add_url_frame(const prop_frame& fr, item_sink* p) {
    const char* key = id3_property_of_id3(fr.id, "", 0, fr.major);
    id3_owned_text url(id3_decode_id3_text(ID3_ENC_LATIN1, fr.body, fr.n));
    if (!url)
        return -1;
    return add_prop(p, key ? key : fr.id, url.get());
}

// A picture frame (version 2.2: PIC, its own layout). A body without every field up to at least
// one picture byte is passed over, as the record's reader does.
static int add_picture_frame(const prop_frame& fr, bool v22, item_sink* p, id3_owned_bytes* copy) {
    id3v2_picture pic;
    if (id3v2_parse_picture(fr.body, fr.n, v22, &pic) != ID3_PICTURE_WHOLE)
        return 0;
    id3_owned_text description(id3_decode_id3_text(pic.encoding, pic.desc, pic.desc_len));
    if (!description)
        return -1;
    // The item borrows the picture where it lies: the frame's body, or its decoded copy, which
    // the model then holds.
    id3_item* item = sink_item(p, ID3_ITEM_PICTURE, nullptr);
    if (!item || (copy && id3_model_hold(p->m, copy->release()) != 0))
        return -1;
    item->picture_type = pic.type;
    uint64_t mime_len = pic.mime_len < sizeof item->mime ? pic.mime_len : sizeof item->mime - 1;
    memcpy(item->mime, pic.mime, (size_t)mime_len);
    item->mime[mime_len] = '\0';
    item->description = description.release();
    item->data = pic.data;
    item->data_len = pic.data_len;
    return 0;
}

static int add_frame_props(const prop_frame& fr, const uint8_t* area, uint64_t a, prop_tag* tag,
                           item_sink* p, bool v22, id3_owned_bytes* copy) {
    if (strcmp(fr.id, "APIC") == 0)
        return add_picture_frame(fr, v22, p, copy);
    if (fr.n == 0)
        return 0;
    if (strcmp(fr.id, "TXXX") == 0 || strcmp(fr.id, "COMM") == 0 || strcmp(fr.id, "USLT") == 0 ||
        strcmp(fr.id, "UFID") == 0 || strcmp(fr.id, "TIPL") == 0 || strcmp(fr.id, "IPLS") == 0 ||
        strcmp(fr.id, "TMCL") == 0)
        return add_described_frame(fr, p);
    // Text frames: T..., and the movement and grouping frames iTunes added in the same layout.
    if (fr.id[0] == 'T' || strcmp(fr.id, "MVNM") == 0 || strcmp(fr.id, "MVIN") == 0 ||
        strcmp(fr.id, "GRP1") == 0)
        return add_text_frame_props(fr, area, a, tag, p);
    if (fr.id[0] == 'W' && strcmp(fr.id, "WXXX") != 0)
        return add_url_frame(fr, p);
    return 0; // a binary frame: no property
}

int id3v2_area_items(const uint8_t* area, uint64_t a, uint8_t major, uint64_t area_off,
                     id3_model* m) {
    prop_tag tag = {area_has_frame(area, a, major, "TDRC"), area_has_frame(area, a, major, "TDOR"),
                    false};
    uint64_t pos = 0;
    id3v2_frame ref;
    while (id3v2_next_frame(area, a, major, &pos, &ref)) {
        uint64_t at = (uint64_t)(ref.hdr - area);
        item_sink sink = {m, &ref, m->item_count,
                          area_off == UINT64_MAX ? UINT64_MAX : area_off + at};
        // A version 2.2 frame by its version 2.3 name (PIC as APIC, with its own layout).
        prop_frame fr;
        memcpy(fr.id, ref.id, 5);
        fr.major = major;
        id3_owned_bytes copy;
        int rc = 0;
        bool readable = id3v2_frame_body(&ref, major, &fr.body, &fr.n, &copy, &rc);
        if (rc != 0 ||
            (readable && add_frame_props(fr, area, a, &tag, &sink, major == 2, &copy) != 0))
            return -1;
        // A frame that gives nothing is carried as it stands.
        if (m->item_count == sink.first && !sink_item(&sink, ID3_ITEM_OTHER, nullptr))
            return -1;
    }
    return 0;
}

// Writing properties: the old frames a write's properties replace, and the version 2.4 frames
// (UTF-8) that hold their new values.

void id3v2_prop_plan_release(id3v2_prop_plan* plan) {
    id3_buf_release(&plan->frames);
    id3_head_release(&plan->lent);
    id3_buf_release(&plan->new_pairs[0]);
    id3_buf_release(&plan->new_pairs[1]);
}

static bool is_text_frame_id(const char* id) {
    return (id[0] == 'T' && strcmp(id, "TXXX") != 0) || strcmp(id, "MVNM") == 0 ||
           strcmp(id, "MVIN") == 0 || strcmp(id, "GRP1") == 0;
}

static bool is_url_frame_id(const char* id) {
    return id[0] == 'W' && strcmp(id, "WXXX") != 0;
}

// Whether the properties name the key of an old frame, as the property reader gives it (pair
// frames aside: their pairs are named one by one). 1, 0, or -1 when memory runs out.
int id3v2_frame_named(const id3v2_frame* of, uint8_t major, const id3_prop_edits* e) {
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
    if (!id3v2_frame_body(of, major, &body, &n, &copy, &rc))
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
    id3v2_text_walk w = {body[0], body + skip, n - skip, 0, false};
    id3_owned_text desc;
    if (id3v2_next_decoded(&w, &desc) < 0)
        return -1;
    id3_buf key = {nullptr, 0, 0};
    const char* k = described_key(id, desc.get(), major, &key);
    bool named = k && id3_prop_edits_find(e, k, strlen(k));
    id3_buf_release(&key);
    return k ? (named ? 1 : 0) : -1;
}

// The kind of a pair frame (ID3_PAIRS_*), or -1.
int id3v2_pair_kind(const char* id) {
    if (strcmp(id, "TIPL") == 0 || strcmp(id, "IPLS") == 0)
        return ID3_PAIRS_PEOPLE;
    return strcmp(id, "TMCL") == 0 ? ID3_PAIRS_MUSICIANS : -1;
}

// Appends a text and its 00 terminator. -1 when memory runs out.
static int append_terminated(id3_buf* b, const char* text) {
    return id3_buf_append(b, text, strlen(text) + 1);
}

// The pairs of an old pair frame that the properties do not name, each role and name with 00
// after it, appended to pairs; *named is set when one of its pairs is named. False for a frame
// that cannot be read (it is carried as it is); -1 in *rc when memory runs out.
static bool kept_pairs(const id3v2_frame* of, uint8_t major, const id3_prop_edits* e,
                       id3_buf* pairs, bool* named, int* rc) {
    const uint8_t* body = nullptr;
    uint64_t n = 0;
    id3_owned_bytes copy;
    if (!id3v2_frame_body(of, major, &body, &n, &copy, rc))
        return false;
    if (n == 0)
        return true;
    id3_buf key = {nullptr, 0, 0};
    std::unique_ptr<id3_buf, void (*)(id3_buf*)> release(&key, id3_buf_release);
    id3v2_text_walk w = {body[0], body + 1, n - 1, 0, false};
    id3_owned_text role, name;
    while ((*rc = id3v2_next_decoded(&w, &role)) == 1 &&
           (*rc = id3v2_next_decoded(&w, &name)) == 1) {
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
    uint8_t hdr[ID3_FRAME_HEADER_LEN] = {0};
    memcpy(hdr, kPairIds[kind], 4);
    const uint8_t encoding = ID3_ENC_UTF8;
    uint64_t n = pairs->len;
    if (n >= 2 && pairs->data[n - 2] != 0)
        n--;
    return id3v2_emit_frame(to, bytes, hdr, &encoding, 1, pairs->data, n);
}

// Writes an old pair frame of a kind the properties change again in its place: its pairs not
// named, then, in the first frame of the kind, the new pairs.
int id3v2_carry_pair_frame(const id3v2_frame* of, uint8_t major, uint64_t at,
                           const id3v2_prop_plan* plan, const id3_prop_edits* e, id3_buf* to,
                           uint64_t* bytes) {
    int kind = id3v2_pair_kind(of->id);
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
    if (body->len > ID3_SYNCSAFE_MAX) {
        id3_set_error("tag too large for ID3v2");
        return -1;
    }
    uint8_t hdr[ID3_FRAME_HEADER_LEN];
    id3v2_put_frame_header(hdr, id, body->len);
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
    if (body_len > ID3_SYNCSAFE_MAX) {
        id3_set_error("tag too large for ID3v2");
        return -1;
    }
    // The frame is built where it goes, its values of ID3_BORROW_MIN bytes or more borrowed by
    // `lend` where they lie.
    uint8_t hdr[ID3_FRAME_HEADER_LEN];
    id3v2_put_frame_header(hdr, t.id, body_len);
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

int id3v2_plan_properties(const id3_old_tag* old, const id3_prop_edits* e, id3v2_prop_plan* plan) {
    if (!e || e->count == 0)
        return 0;
    for (uint64_t i = 0; i < e->count; i++) {
        const id3_prop_edit& edit = e->items[i];
        frame_target t = target_of(edit.key);
        if (edit.count > 0 && id3v2_pair_kind(t.id) < 0 &&
            append_value_frames(&plan->frames, &plan->lent, edit, t) != 0)
            return -1;
    }
    // The pair frames: whether the properties name one of their pairs, where the first readable
    // one stands, and the new pairs.
    uint64_t pos = 0;
    id3v2_frame of;
    for (uint64_t at = 0;
         old->major != 0 && id3v2_next_frame(old->area, old->area_len, old->major, &pos, &of);
         at = pos) {
        int kind = of.n > 0 ? id3v2_pair_kind(of.id) : -1;
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
        if (readable && plan->first_pairs[kind] == ID3_NO_FRAME)
            plan->first_pairs[kind] = at;
        plan->pairs_rebuilt[kind] = plan->pairs_rebuilt[kind] || named;
    }
    for (uint64_t i = 0; i < e->count; i++) {
        const id3_prop_edit& edit = e->items[i];
        frame_target t = target_of(edit.key);
        int kind = id3v2_pair_kind(t.id);
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
    for (int kind = ID3_PAIRS_PEOPLE; kind <= ID3_PAIRS_MUSICIANS; kind++) {
        uint64_t counted = 0;
        if (plan->first_pairs[kind] == ID3_NO_FRAME &&
            emit_pair_frame(kind, &plan->new_pairs[kind], &plan->frames, &counted) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return 0;
}
