// What the exports call: reading (reading.cpp), writing (writing.cpp) and batch writing
// (batch.cpp).
#ifndef QID3_OPERATIONS_H
#define QID3_OPERATIONS_H

#include "replace.h"

// Reading (reading.cpp): the JSON object of the file's tags (NULL with a message), and its front
// cover written to out_path (0, or -1 with a message).
char* id3_read_json(const char* path);
int id3_extract_front_cover(const char* path, const char* out_path);
// The JSON object of every property and picture of the file (NULL with a message).
char* id3_read_all_json(const char* path);
// The same two objects from a whole file's bytes in memory (NULL with the message a file of
// those bytes gives).
char* id3_read_image_json(const uint8_t* data, uint64_t len);
char* id3_read_all_image_json(const uint8_t* data, uint64_t len);

// Writing (writing.cpp). Prepare: everything of one write up to the commit: the file opened once
// (open_mode ID3_OPEN_WRITE or ID3_OPEN_WRITE_NOWAIT), its tags loaded and merged with the
// update, the new head built and the temporary file filled. 0, or -1 with a message and nothing
// left open; ID3_WOULD_BLOCK, without a message, when open_mode does not wait and another writer
// holds the file. The others write one file: 0, or -1 with a message.
int id3_prepare_write(const char* path, const char* tags_json, id3_pending* w, int open_mode);
int id3_write_tags(const char* path, const char* tags_json);
int id3_write_cover(const char* path, const char* image_path);

// Batch writing (batch.cpp): the number of files written, or -1 with a message when dir_json is
// refused. The _results form returns each path's outcome as JSON, or NULL with a message when
// dir_json or tags_json is refused.
int32_t id3_write_batch(const char* dir_json, const char* tags_json);
char* id3_write_batch_results(const char* dir_json, const char* tags_json);

#endif
