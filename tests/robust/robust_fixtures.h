// Small but complete audio files built byte by byte for the robustness tests: an MP3 file with an
// ID3v2.3 tag, a FLAC file and an M4A file, each with the six text tags and a cover, followed by
// audio bytes that no tag code may change.
#ifndef QID3_ROBUST_FIXTURES_H
#define QID3_ROBUST_FIXTURES_H

#include "test_util.h"

#include <string>

// Deterministic filler bytes (a linear congruential sequence), different for each seed.
Bytes noise(size_t count, uint32_t seed);

Bytes png_picture(size_t size);
Bytes jpeg_picture(size_t size);

// audio_size bytes of audio follow the tags; the cover is cover_size bytes.
Bytes mp3_with_tags(size_t audio_size, size_t cover_size);
// The same tag with unsynchronisation applied to the whole frame area (ID3v2.3 tag flag 0x80).
Bytes mp3_unsynchronised(size_t audio_size, size_t cover_size);
Bytes flac_with_tags(size_t audio_size, size_t cover_size);
Bytes m4a_with_tags(size_t audio_size, size_t cover_size);
// Ogg Vorbis (header packets on pages of 8 lacing values, so that a write pages them anew in
// fewer pages and renumbers the audio pages) or Opus (the comment packet on its own pages); the
// cover as a METADATA_BLOCK_PICTURE comment.
Bytes ogg_with_tags(size_t audio_size, size_t cover_size, bool opus);

// Where the audio starts: after the ID3v2 tag (with its footer), or after the last FLAC metadata
// block. Both assume a well-formed file.
size_t mp3_audio_offset(const Bytes& file);
size_t flac_audio_offset(const Bytes& file);

// Files in a folder whose names contain ".quorvale-tmp." (left-over temporary files).
std::vector<std::string> temp_files_in(const std::string& folder);

#endif
