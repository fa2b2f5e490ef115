// The table of formats.
#include "format.h"

static const id3_format_info formats[] = {
    {ID3_FMT_UNKNOWN, "unknown", ID3_TAGS_NONE, false, "flac write failed"},
    {ID3_FMT_MP3, "mp3", ID3_TAGS_ID3V2, true, "mp3 write failed"},
    {ID3_FMT_FLAC, "flac", ID3_TAGS_VORBIS, true, "flac write failed"},
    {ID3_FMT_MP4, "mp4", ID3_TAGS_MP4, true, "mp4 write failed"},
    // Vorbis and Opus streams share the Ogg writer and its message.
    {ID3_FMT_OGG, "ogg", ID3_TAGS_VORBIS, true, "ogg write failed"},
    {ID3_FMT_OPUS, "opus", ID3_TAGS_VORBIS, true, "ogg write failed"},
};

const id3_format_info* id3_format_info_of(int32_t format) {
    for (const id3_format_info& row : formats) {
        if (row.format == format)
            return &row;
    }
    return &formats[0];
}

const char* id3_format_name(int32_t format) {
    return id3_format_info_of(format)->name;
}

bool id3_format_writable(int32_t format) {
    return id3_format_info_of(format)->writable;
}
