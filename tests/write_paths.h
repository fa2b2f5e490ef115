// Writes from a tag record, for the writer tests: the library's own steps (the file opened as a
// writer, its old tag loaded and kept, the container's new head, the atomic replacement) without
// the JSON form and the merge with the file's tags that id3_write adds in front of them.
#ifndef QID3_WRITE_PATHS_H
#define QID3_WRITE_PATHS_H

#include "id3_internal.h"

#include <stdint.h>

// The fields of the record that are not NULL, as ID3_NAMED_* bits.
uint32_t named_fields_of(const id3_record* t);

// The new head of the open file f for the record t: the container's writer (t->format is not
// looked at; `format` decides), after the old tag is loaded as a write loads it; the head holds
// all its bytes (none borrowed from the old tag, which is gone when it returns). 0, or -1 with a
// message.
int build_head_for(id3_file* f, int32_t format, const id3_record* t, id3_change change,
                   id3_head* head);

// Rewrites the file at path from the record: every non-NULL field is named, and the cover is
// replaced when the record holds cover bytes (for FLAC, also zero of them when force_picture is
// set). 0, or -1 with a message ("mp3 write failed" / "flac write failed" when no step left a
// more precise one).
int write_record_mp3(const char* path, const id3_record* t);
int write_record_flac(const char* path, const id3_record* t, int force_picture);

// Replaces the file at path with head followed by the bytes of src from head->audio_off on. 0, or
// -1 with a message.
int replace_with_head(const char* path, id3_file* src, id3_head* head);
// Replaces the file at path with exactly len bytes of data. 0, or -1 with a message.
int replace_with_bytes(const char* path, const uint8_t* data, uint64_t len);

#endif
