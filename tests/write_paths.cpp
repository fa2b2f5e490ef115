#include "write_paths.h"

#include <stdlib.h>
#include <string.h>

#include <string>

uint32_t named_fields_of(const id3_record* t) {
    const char* const fields[] = {t->title, t->artist, t->album, t->genre, t->date, t->track};
    uint32_t present = 0;
    for (int i = 0; i < ID3_FIELD_COUNT; i++) {
        if (fields[i])
            present |= 1u << i;
    }
    return present;
}

// Copies the pieces a head borrows into its own bytes, so that it outlives what it borrowed.
static int own_pieces(id3_head* head) {
    uint64_t total = id3_head_len(head);
    uint8_t* data = (uint8_t*)malloc(total > 0 ? (size_t)total : 1);
    if (!data)
        return -1;
    uint64_t from = 0, to = 0;
    for (uint64_t i = 0; i < head->piece_count; i++) {
        const id3_head_piece& piece = head->pieces[i];
        memcpy(data + to, head->data + from, piece.at - from);
        to += piece.at - from;
        memcpy(data + to, piece.bytes, piece.len);
        to += piece.len;
        from = piece.at;
    }
    memcpy(data + to, head->data + from, head->len - from);
    free(head->data);
    free(head->pieces);
    head->data = data;
    head->len = total;
    head->pieces = nullptr;
    head->piece_count = 0;
    return 0;
}

int build_head_for(id3_file* f, int32_t format, const id3_record* t, id3_change change,
                   id3_head* head) {
    if (format == ID3_FMT_FLAC && id3_file_format(f) < 0)
        return -1;
    // The writer carries what the old tags hold. A FLAC file the reader refuses is refused with
    // its message; an MP3 file the reader refuses (no tag, or damage it does not get past) is
    // written over as one without a tag, and the reader's message is not what the write leaves.
    std::string before = id3_error_text();
    id3_record loaded;
    id3_record_init(&loaded);
    id3_old_tag old = {};
    id3_model model = {};
    int loaded_rc = format == ID3_FMT_FLAC ? id3_flac_load(f, &loaded, 0, &model)
                                           : id3_mp3_load(f, &loaded, ID3_COVER_NONE, &old);
    id3_record_free(&loaded);
    if (loaded_rc != 0 && format == ID3_FMT_FLAC) {
        id3_model_free(&model);
        return -1;
    }
    if (loaded_rc != 0)
        id3_set_error("%s", before.c_str());
    int rc = format == ID3_FMT_FLAC ? id3_flac_build_head(f, t, &model, change, head)
                                    : id3_mp3_build_head(f, t, &old, change, head);
    if (rc == 0)
        rc = own_pieces(head);
    id3_old_tag_free(&old);
    id3_model_free(&model);
    return rc;
}

// Opens the file as a writer, builds the head and replaces the file.
static int write_record(const char* path, int32_t format, const id3_record* t, id3_change change) {
    id3_file f;
    id3_file_guard guard{&f};
    int rc = id3_file_open_mode(&f, path, ID3_OPEN_WRITE);
    id3_head head = {};
    if (rc == 0)
        rc = build_head_for(&f, format, t, change, &head);
    if (rc == 0)
        rc = replace_with_head(path, &f, &head);
    id3_head_release(&head);
    // A more precise message of an earlier step of the same call stays.
    if (rc != 0 && !id3_has_error())
        id3_set_error(format == ID3_FMT_MP3 ? "mp3 write failed" : "flac write failed");
    return rc;
}

int write_record_mp3(const char* path, const id3_record* t) {
    id3_change change = {named_fields_of(t), t->cover_data && t->cover_size > 0, nullptr, 0};
    return write_record(path, ID3_FMT_MP3, t, change);
}

int write_record_flac(const char* path, const id3_record* t, int force_picture) {
    id3_change change = {named_fields_of(t), t->cover_data && (t->cover_size > 0 || force_picture),
                         nullptr, 0};
    return write_record(path, ID3_FMT_FLAC, t, change);
}

int replace_with_head(const char* path, id3_file* src, id3_head* head) {
    plat_temp temp;
    if (id3_replace_fill(&temp, path, src, head) != 0)
        return -1;
    return id3_replace_commit(&temp, path, src, false, true);
}

int replace_with_bytes(const char* path, const uint8_t* data, uint64_t len) {
    id3_head image = {};
    image.data = const_cast<uint8_t*>(data);
    image.len = len;
    return replace_with_head(path, nullptr, &image);
}
