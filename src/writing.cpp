// Writing one file: the tags it holds loaded once and merged with the caller's update (the fields
// given a new value or removed, a new front cover), the container's new head built from them, and
// the temporary file filled; then, for a single write, the commit.
#include "dispatch.h"
#include "json_form.h"
#include "operations.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Records the generic message of a failed write: running out of memory is named as such.
static void write_failed(int32_t fmt, const char* path) {
    if (errno == ENOMEM)
        id3_set_error("out of memory while writing: %s", path);
    else
        id3_set_error("%s", id3_format_info_of(fmt)->write_failed);
}

// Merges the update into the loaded record: a removed field that the file holds is dropped, a
// field given a value other than the one it reads as now takes it. A field given the value it
// reads as now is not a change: its old frames or comments stay as they are (several values,
// texts longer than a read gives, no frame for an empty text). The named fields, or -1 when
// memory runs out.
static int64_t merge_update(id3_record* current, id3_record* update, const id3_removals* removed) {
    char** const update_fields[] = {&update->title, &update->artist, &update->album,
                                    &update->genre, &update->date,   &update->track};
    char** const current_fields[] = {&current->title, &current->artist, &current->album,
                                     &current->genre, &current->date,   &current->track};
    uint32_t named = 0;
    for (size_t i = 0; i < ID3_FIELD_COUNT; i++) {
        const char* given = *update_fields[i];
        const char* had = *current_fields[i] ? *current_fields[i] : "";
        if ((removed->fields & (1u << i)) && *current_fields[i]) {
            // A removed field is named with no text: its frames or comments all go.
            free(*current_fields[i]);
            *current_fields[i] = nullptr;
            named |= 1u << i;
            continue;
        }
        if (!given || strcmp(given, had) == 0)
            continue;
        named |= 1u << i;
        if (id3_record_set_str(current_fields[i], given) != 0)
            return -1;
    }
    if (removed->cover) {
        // No cover in the record and the old front covers replaced: they are dropped.
        free(current->cover_data);
        current->cover_data = nullptr;
        current->cover_size = 0;
    }
    return named;
}

// Applies the property changes to the merge: a key named there takes its values from it, over
// the record's field of that key (which then holds the first value, for the ID3v1 tag), and a
// key given the values it reads as now is no change. *by_props gets the fields the properties
// name; *named grows by them. 0, or -1 with a message.
static int merge_properties(id3_file* f, bool has_tags, const id3_old_tag* old,
                            const id3_model* model, id3_record* current, id3_prop_edits* edits,
                            int32_t fmt, uint32_t* named, uint32_t* by_props) {
    *by_props = 0;
    if (edits->count == 0)
        return 0;
    id3_property_map now = {};
    id3_property_map_guard now_guard{&now};
    if (has_tags && id3_load_props(f, &now, old, model) != 0) {
        // The write's own load succeeded on the same bytes: only memory can be short here.
        if (!id3_has_error())
            id3_set_error("oom");
        return -1;
    }
    if (id3_prop_edits_drop_unchanged(edits, &now) != 0) {
        id3_set_error("oom");
        return -1;
    }
    if (id3_prop_edits_check(edits, fmt) != 0)
        return -1;
    char** const fields[] = {&current->title, &current->artist, &current->album,
                             &current->genre, &current->date,   &current->track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        const char* key = id3_field_keys[i];
        const id3_prop_edit* edit = id3_prop_edits_find(edits, key, strlen(key));
        if (!edit)
            continue;
        *named |= 1u << i;
        *by_props |= 1u << i;
        free(*fields[i]);
        *fields[i] = nullptr;
        if (edit->count > 0 && id3_record_set_str(fields[i], edit->values[0]) != 0) {
            id3_set_error("oom");
            return -1;
        }
    }
    return 0;
}

// The fields whose keys "properties" names leave the top-level members: its values win.
static void yield_to_properties(id3_record* update, id3_removals* removed,
                                const id3_prop_edits* edits) {
    char** const fields[] = {&update->title, &update->artist, &update->album,
                             &update->genre, &update->date,   &update->track};
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        const char* key = id3_field_keys[i];
        if (!id3_prop_edits_find(edits, key, strlen(key)))
            continue;
        free(*fields[i]);
        *fields[i] = nullptr;
        removed->fields &= ~(1u << i);
    }
}

// Builds the new head from the merged record and fills the temporary file. 0, or -1 with a
// message.
static int build_and_fill(id3_pending* w, const id3_record* merged, const id3_old_tag* old,
                          const id3_model* model, id3_change change) {
    id3_head head = {};
    errno = 0;
    int rc = id3_build_head(&w->src, merged, old, model, change, &head);
    if (rc == 0)
        rc = id3_replace_fill(&w->temp, w->path, &w->src, &head);
    id3_head_release(&head);
    if (rc != 0 && !id3_has_error())
        write_failed(merged->format, w->path);
    return rc;
}

int id3_prepare_write(const char* path, const char* tags_json, id3_pending* w, int open_mode) {
    memset(w, 0, sizeof *w);
    w->src.pf.fd = -1;
    w->path = path;
    id3_record update, current;
    id3_record_init(&update);
    id3_record_init(&current);
    id3_record_guard update_guard{&update}, current_guard{&current};
    id3_old_tag old = {};
    id3_old_tag_guard old_guard{&old};
    id3_model model = {};
    id3_model_guard model_guard{&model};

    // The JSON is checked before the file is looked at.
    id3_removals removed;
    id3_prop_edits edits = {};
    id3_prop_edits_guard edits_guard{&edits};
    if (id3_record_from_json(&update, tags_json, &removed, &edits) != 0)
        return -1;
    yield_to_properties(&update, &removed, &edits);

    int opened = id3_file_open_mode(&w->src, path, open_mode);
    if (opened != 0) {
        id3_file_close(&w->src);
        return opened;
    }
    int32_t fmt = id3_file_format(&w->src);
    if (fmt < 0) {
        id3_file_close(&w->src);
        return -1;
    }
    if (!id3_format_writable(fmt)) {
        id3_set_error("unsupported format for write");
        id3_file_close(&w->src);
        return -1;
    }
    // The old pictures are carried over as they stand; only an MP3 file whose tag is of another
    // version than 2.2 to 2.4 has its cover written anew from the record.
    bool has_tags = true;
    if (id3_load_tags(&w->src, &current, ID3_COVER_UNLESS_CARRIED, &old, &model) != 0) {
        // Writing without the file's existing tags and cover would destroy them.
        if (!id3_load_failure_is_harmless(&w->src, &current)) {
            id3_file_close(&w->src);
            return -1;
        }
        // An "ID3" file too short for a tag holds no tags to lose: it is rewritten with the
        // given ones, and the reader's message stays readable.
        id3_record_free(&current);
        has_tags = false;
    }
    int64_t named = merge_update(&current, &update, &removed);
    if (named < 0) {
        id3_set_error("oom");
        id3_file_close(&w->src);
        return -1;
    }
    uint32_t named_fields = (uint32_t)named, by_props = 0;
    if (merge_properties(&w->src, has_tags, &old, &model, &current, &edits, fmt, &named_fields,
                         &by_props) != 0) {
        id3_file_close(&w->src);
        return -1;
    }
    current.format = fmt;
    // The fields and properties the caller changed are replaced; all else of the old tags is
    // carried over.
    id3_change change = {named_fields, removed.cover, &edits, by_props};
    if (build_and_fill(w, &current, &old, &model, change) != 0) {
        id3_file_close(&w->src);
        return -1;
    }
    return 0;
}

int id3_write_tags(const char* path, const char* tags_json) {
    id3_pending w;
    if (id3_prepare_write(path, tags_json, &w, ID3_OPEN_WRITE) != 0)
        return -1;
    int rc = id3_replace_commit(&w.temp, path, &w.src, false, true);
    id3_file_close(&w.src);
    return rc;
}

// The MIME type of a picture file by its first bytes: PNG, GIF, WebP (a RIFF file of form
// "WEBP") and BMP; anything else is taken for JPEG. Players and ffmpeg go by the label.
static const char* picture_mime(const uint8_t* p, uint64_t n) {
    if (n >= 8 && memcmp(p, "\x89PNG", 4) == 0)
        return "image/png";
    if (n >= 6 && (memcmp(p, "GIF87a", 6) == 0 || memcmp(p, "GIF89a", 6) == 0))
        return "image/gif";
    if (n >= 12 && memcmp(p, "RIFF", 4) == 0 && memcmp(p + 8, "WEBP", 4) == 0)
        return "image/webp";
    if (n >= 14 && memcmp(p, "BM", 2) == 0) // at least its 14-byte file header
        return "image/bmp";
    return ID3_DEFAULT_MIME;
}

int id3_write_cover(const char* path, const char* image_path) {
    // The picture is read before the audio file is looked at.
    uint64_t pic_len = 0;
    id3_owned_bytes picture(id3_slurp(image_path, &pic_len));
    if (!picture)
        return -1;
    const char* mime = picture_mime(picture.get(), pic_len);

    id3_pending w;
    memset(&w, 0, sizeof w);
    w.path = path;
    id3_file_guard fguard{&w.src};
    if (id3_file_open_mode(&w.src, path, ID3_OPEN_WRITE) != 0)
        return -1;
    id3_record t;
    id3_record_guard guard{&t};
    id3_old_tag old = {};
    id3_old_tag_guard old_guard{&old};
    id3_model model = {};
    id3_model_guard model_guard{&model};
    if (id3_load_tags(&w.src, &t, ID3_COVER_BYTES, &old, &model) != 0) {
        // Writing without the file's existing tags would destroy them. A file of a kind that
        // cannot take a cover goes on to be refused below.
        if (id3_format_writable(t.format) && !id3_load_failure_is_harmless(&w.src, &t))
            return -1;
        int32_t fmt = t.format;
        id3_record_free(&t);
        t.format = fmt;
    }
    if (!id3_format_writable(t.format)) {
        id3_set_error("cover set unsupported for this format");
        return -1;
    }
    free(t.cover_data);
    t.cover_size = pic_len;
    t.cover_data = picture.release();
    snprintf(t.cover_mime, sizeof t.cover_mime, "%s", mime);
    t.has_cover = 1;

    // No field is named: only the front cover changes.
    id3_change change = {0, 1, nullptr, 0};
    if (build_and_fill(&w, &t, &old, &model, change) != 0)
        return -1;
    return id3_replace_commit(&w.temp, path, &w.src, false, true);
}
