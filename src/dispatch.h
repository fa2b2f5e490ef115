// Detection and dispatch (dispatch.cpp): a file's container and its reader or writer.
#ifndef QID3_DISPATCH_H
#define QID3_DISPATCH_H

#include "container.h"

// Container of a file image from its first bytes (at most 290 are looked at: an Ogg first page
// with its lacing).
int32_t id3_detect_fmt(const uint8_t* data, uint64_t len);
// Container of an open file. A FLAC stream right after an ID3v2 tag is FLAC, and f->base is set to
// its start. The format, or -1 with a message when the file cannot be read.
int32_t id3_file_format(id3_file* f);
// Fills an emptied record (its format set) from the open file by its container's reader; `cover`
// and `keep` as for the readers. A FLAC or Ogg file is loaded into `model` when given (else into
// one released here), which keeps its cover's bytes (id3_model_cover) and what a writer carries.
// 0, or -1 with a message.
int id3_load_tags(id3_file* f, id3_record* t, int cover, id3_old_tag* keep,
                  id3_model* model = nullptr);
// Whether a write may go on after a failed load: only for an "ID3" file too short to hold a tag,
// which has no tags to lose. A reader that ran out of memory or could not read the file must not
// lead to a rewrite from an empty record.
bool id3_load_failure_is_harmless(const id3_file* f, const id3_record* loaded);
// Fills an emptied property map from the open file by its container's reader, or, with a model a
// load has filled, folded from it. 0, or -1 with a message.
int id3_load_props(id3_file* f, id3_property_map* p, const id3_old_tag* held = nullptr,
                   const id3_model* model = nullptr);
// The container writer of t->format, from what the load kept (`old`, or for FLAC `model`).
int id3_build_head(const id3_file* f, const id3_record* t, const id3_old_tag* old,
                   const id3_model* model, id3_change change, id3_head* head);

#endif
