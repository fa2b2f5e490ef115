// Container detection and dispatch: which container a file is, and the container's reader or
// writer for it. The only source that knows every container.
#include "dispatch.h"
#include "id3v2.h"
#include "mpeg_audio.h"

#include <string.h>

int32_t id3_detect_fmt(const uint8_t* data, uint64_t len) {
    if (!data || len < 4)
        return ID3_FMT_UNKNOWN;
    if (id3_is_tag_header(data, len))
        return ID3_FMT_MP3;
    if (data[0] == 'f' && data[1] == 'L' && data[2] == 'a' && data[3] == 'C')
        return ID3_FMT_FLAC;
    int32_t ogg = id3_ogg_detect(data, len);
    if (ogg != ID3_FMT_UNKNOWN)
        return ogg;
    if (id3_is_mpeg_audio(data, len))
        return ID3_FMT_MP3;
    if (len < 8)
        return ID3_FMT_UNKNOWN;
    if (memcmp(data + 4, "ftyp", 4) == 0)
        return ID3_FMT_MP4;
    if (len == 8)
        return ID3_FMT_UNKNOWN;
    // The file-type box may sit a little further in; at least one byte must follow its type.
    for (uint64_t p = 4; p <= 67 && p <= len - 5; p++) {
        if (memcmp(data + p, "ftyp", 4) == 0)
            return ID3_FMT_MP4;
    }
    return ID3_FMT_UNKNOWN;
}

int32_t id3_file_format(id3_file* f) {
    f->base = 0;
    if (f->size < 4)
        return ID3_FMT_UNKNOWN;
    int32_t fmt = id3_detect_fmt(f->prefix, f->prefix_len);
    if (fmt != ID3_FMT_MP3 || f->size < ID3_HEADER_LEN ||
        !id3_is_tag_header(f->prefix, f->prefix_len))
        return fmt;
    // "ID3" and then "fLaC" right where that tag (and its footer) ends: a FLAC stream that a
    // program put an ID3v2 tag in front of.
    uint64_t end = id3_tag_end(f->prefix);
    uint8_t marker[4];
    if (end > f->size || f->size - end < 4)
        return fmt;
    if (id3_file_read(f, end, marker, 4) != 0)
        return -1;
    if (memcmp(marker, "fLaC", 4) != 0)
        return fmt;
    f->base = end;
    return ID3_FMT_FLAC;
}

int id3_load_tags(id3_file* f, id3_record* t, int cover, id3_old_tag* keep, id3_model* model) {
    id3_record_init(t);
    if (f->size < 4) {
        t->format = ID3_FMT_UNKNOWN;
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
    t->format = id3_file_format(f);
    switch (t->format) {
    case ID3_FMT_MP3:
        return id3_mp3_load(f, t, cover, keep);
    case ID3_FMT_FLAC:
        // The cover's bytes stay in the load (id3_model_cover), which `model` keeps when given.
        return id3_flac_load(f, t, 0, model);
    case ID3_FMT_MP4:
        // A front cover to write out is taken from the load's model (id3_mp4_load_cover).
        return id3_mp4_load(f, t, cover == ID3_COVER_BYTES);
    case ID3_FMT_OGG:
    case ID3_FMT_OPUS:
        return id3_ogg_load(f, t, 0, model);
    case -1:
        t->format = ID3_FMT_MP3; // an "ID3" file whose bytes after the tag cannot be read
        return -1;
    default:
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
}

int id3_load_props(id3_file* f, id3_property_map* p, const id3_old_tag* held,
                   const id3_model* model) {
    // What the write's own load holds is not loaded again.
    if (model && model->format != ID3_FMT_UNKNOWN)
        return id3_model_props(model, p);
    if (f->size < 4) {
        p->format = ID3_FMT_UNKNOWN;
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
    p->format = id3_file_format(f);
    switch (p->format) {
    case ID3_FMT_MP3:
        return id3_mp3_load_props(f, p, held);
    case ID3_FMT_FLAC:
        return id3_flac_load_props(f, p);
    case ID3_FMT_MP4:
        return id3_mp4_load_props(f, p);
    case ID3_FMT_OGG:
    case ID3_FMT_OPUS:
        return id3_ogg_load_props(f, p);
    case -1:
        return -1;
    default:
        id3_set_error("unsupported or unrecognized format");
        return -1;
    }
}

bool id3_load_failure_is_harmless(const id3_file* f, const id3_record* loaded) {
    return loaded->format == ID3_FMT_MP3 && f->size < ID3_HEADER_LEN;
}

int id3_build_head(const id3_file* f, const id3_record* t, const id3_old_tag* old,
                   const id3_model* model, id3_change change, id3_head* head) {
    if (t->format == ID3_FMT_MP3)
        return id3_mp3_build_head(f, t, old, change, head);
    if (t->format == ID3_FMT_MP4)
        return id3_mp4_build_head(f, t, change, head);
    if (t->format == ID3_FMT_OGG || t->format == ID3_FMT_OPUS)
        return id3_ogg_build_head(f, t, model, change, head);
    return id3_flac_build_head(f, t, model, change, head);
}

// What a write's load keeps of the old tag (filled by the MP3 reader).
void id3_old_tag_free(id3_old_tag* old) {
    free(old->tag_copy);
    free(old->area_copy);
    id3_record_free(&old->v2);
    memset(old, 0, sizeof *old);
}
