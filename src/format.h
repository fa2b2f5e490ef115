// The formats this library knows (format.cpp): one row each, the only place a format is described.
// The dispatch to a format's reader and writer is one switch per operation over the same ids.
#ifndef QID3_FORMAT_H
#define QID3_FORMAT_H

#include <stdint.h>

#define ID3_FMT_UNKNOWN 0
#define ID3_FMT_MP3 1
#define ID3_FMT_FLAC 2
#define ID3_FMT_MP4 3
#define ID3_FMT_OGG 4  // Ogg Vorbis
#define ID3_FMT_OPUS 5 // Ogg Opus

// How a format holds its tags, which decides the keys and values a write may give it.
#define ID3_TAGS_NONE 0
#define ID3_TAGS_ID3V2 1  // ID3v2 frames, with an ID3v1 tag where the file has one
#define ID3_TAGS_VORBIS 2 // Vorbis comments: keys of printable ASCII but '='
#define ID3_TAGS_MP4 3    // MP4 items: number items take one number (or pair)

struct id3_format_info {
    int32_t format;
    const char* name; // in JSON and messages
    int tags;         // ID3_TAGS_*
    bool writable;
    const char* write_failed; // the message of a write that failed without a message of its own
};

// The row of a format; the unknown row for any other number.
const id3_format_info* id3_format_info_of(int32_t format);
// The format's name in JSON and messages: "mp3", "flac", "mp4", "ogg", "opus" or "unknown".
const char* id3_format_name(int32_t format);
// Whether this library writes the format.
bool id3_format_writable(int32_t format);

#endif
