// The containers (tag_mp3.cpp, tag_flac.cpp, tag_ogg.cpp, tag_mp4.cpp, tag_mp4_write.cpp): each
// reads an open file's tags into the record and its property map, and builds the new head of a
// write.
#ifndef QID3_CONTAINER_H
#define QID3_CONTAINER_H

#include "id3v1.h"
#include "model.h"
#include "replace.h"
#include "properties.h"

// What a reader keeps of the picture bytes: none (a picture is noted with has_cover and
// cover_mime), the front cover's, or, for a write, only where the writer does not carry the old
// pictures as they stand (an MP3 tag of a version other than 2.2 to 2.4).
#define ID3_COVER_NONE 0
#define ID3_COVER_BYTES 1
#define ID3_COVER_UNLESS_CARRIED 2
// The front cover's bytes where they stand in the tag as read, for a caller that only writes them
// out: the MP3 reader leaves them in the tag's bytes, which `keep` holds (keep->cover), and
// copies them into the record only where they had to be decoded. (The FLAC, Ogg and MP4 loads take
// no mode: the pictures stay in their model.)
#define ID3_COVER_IN_TAG 3

// What a write's load keeps of the old tags for the writer, so that they are fetched and decoded
// once. MP3: the frame area of a tag whose frames are carried, the texts the ID3v2 tag gives on
// its own (before ID3v1 fills what it lacks), and the ID3v1 tag. All zero is empty;
// id3_old_tag_free releases it.
struct id3_old_tag {
    uint8_t* tag_copy;   // the tag's bytes, when they reach past the file's prefix (with
                         // ID3_COVER_IN_TAG: the bytes `cover` lies in)
    uint8_t* area_copy;  // the frame area, when it had to be decoded
    const uint8_t* area; // the frames: in the prefix or in one of the copies
    uint64_t area_len;
    uint8_t major; // the version of a tag whose frames are carried; 0 when none are
    int v2_read;   // the ID3v2 tag (or its absence) was read: v2 holds its texts
    id3_record v2;
    int has_v1;
    uint8_t v1[ID3_V1_TAG_LEN];
    // With ID3_COVER_IN_TAG: the front cover in the prefix or in tag_copy (NULL when the record
    // holds a copy, or there is none).
    const uint8_t* cover;
    uint64_t cover_len;
};
void id3_old_tag_free(id3_old_tag* old);
struct id3_old_tag_guard {
    id3_old_tag* old;
    ~id3_old_tag_guard() { id3_old_tag_free(old); }
};

// Container readers: fill an emptied record from an open file, reading only the bytes that hold
// tags; `cover` is one of ID3_COVER_*. With `keep`, the MP3 reader also keeps the old
// tags for a writer. 0, or -1 with a message.
int id3_mp3_load(const id3_file* f, id3_record* t, int cover, id3_old_tag* keep);
// FLAC: one load of the open file into the model (id3_flac_load_model), and the record folded
// from it; with want_cover the record holds a copy of the cover's bytes; with `model`, the load
// stays there for a writer or a cover's extraction.
int id3_flac_load_model(const id3_file* f, id3_model* m);
int id3_flac_load(const id3_file* f, id3_record* t, int want_cover, id3_model* model = nullptr);
// The MP4 reader copies the cover's bytes into the record only with copy_cover.
int id3_mp4_load(const id3_file* f, id3_record* t, bool copy_cover);
// The one MP4 load: the top-level atoms (regions), the item list's place and copy, and an item per
// item of the list (covr: one per picture), its key, its property values, its first data atom's
// value. 0 (an empty list of items when the file has none), or -1 with a message.
struct id3_model;
int id3_mp4_load_model(const id3_file* f, id3_model* m);
// The load of an MP4 file and its front cover's bytes where they lie in the model (*data NULL when
// it has none). 0, or -1 with a message where a read of the record fails.
int id3_mp4_load_cover(const id3_file* f, id3_model* m, const uint8_t** data, uint64_t* len);
// The same readers over a whole file image in memory, cover included.
int id3_mp3_read(const uint8_t* data, uint64_t len, id3_record* t);
int id3_flac_read(const uint8_t* data, uint64_t len, id3_record* t);
int id3_mp4_read(const uint8_t* data, uint64_t len, id3_record* t);
// Ogg: the same (every header packet read, the setup packet too, for a writer; the pictures'
// bytes decoded). A failed load leaves only the format in the record.
int id3_ogg_load_model(const id3_file* f, id3_model* m);
int id3_ogg_load(const id3_file* f, id3_record* t, int want_cover, id3_model* model = nullptr);
int id3_ogg_read(const uint8_t* data, uint64_t len, id3_record* t);
// Ogg Vorbis or Opus (ID3_FMT_OGG, ID3_FMT_OPUS) when the bytes begin an Ogg page whose first
// packet is a Vorbis or Opus identification header, else ID3_FMT_UNKNOWN.
int32_t id3_ogg_detect(const uint8_t* data, uint64_t len);

// Container writers: the new head of the open file f from the record and the old tags, as the
// load kept them in `old` (FLAC and Ogg: the load's model). head->data is malloc'd and owned by the
// caller. 0, or -1 with a message.
int id3_mp3_build_head(const id3_file* f, const id3_record* t, const id3_old_tag* old,
                       id3_change change, id3_head* head);
int id3_flac_build_head(const id3_file* f, const id3_record* t, const id3_model* old,
                        id3_change change, id3_head* head);

// For MP4 the head is the new moov (with a free atom after it that gave or took its room), and
// keep_len the bytes before the old moov.
int id3_mp4_build_head(const id3_file* f, const id3_record* t, id3_change change, id3_head* head);

int id3_ogg_build_head(const id3_file* f, const id3_record* t, const id3_model* m,
                       id3_change change, id3_head* head);

// Container property readers: add every text and picture of the open file's tags, reading only
// the bytes that hold them. 0, or -1 with a message.
// With `held`, the MP3 reader takes the tag's bytes from what a write's load kept instead of
// reading them again. The FLAC and Ogg readers fold the property map from their one load.
int id3_mp3_load_props(const id3_file* f, id3_property_map* p, const id3_old_tag* held = nullptr);
// The MP3 load into the model (the property map is its fold): the ID3v2 tag's frames, every one an
// item (rank 0), then the fields of an ID3v1 tag that hold text (rank 1: they fill what the ID3v2
// tag lacks); regions: the ID3v2 tag and the ID3v1 tag. The model holds the bytes the items
// borrow. With `held`, as above. 0, or -1 with a message.
int id3_mp3_load_model(const id3_file* f, id3_model* m, const id3_old_tag* held = nullptr);
int id3_flac_load_props(const id3_file* f, id3_property_map* p);
int id3_mp4_load_props(const id3_file* f, id3_property_map* p);
int id3_ogg_load_props(const id3_file* f, id3_property_map* p);

#endif
