// MPEG audio frame headers (mpeg_audio.cpp): whether bytes begin MPEG audio.
#ifndef QID3_MPEG_AUDIO_H
#define QID3_MPEG_AUDIO_H

#include "base.h"

// Whether the len bytes at data begin with eleven set bits, as an MPEG audio frame does.
bool id3_is_mpeg_sync(const uint8_t* data, uint64_t len);
// Whether the len bytes at data, the start of a file without an ID3v2 tag (or all of a shorter
// file), begin MPEG audio: a valid frame header (version, layer, bitrate and sample rate), and a
// second one where the first frame ends, unless the file ends exactly there.
bool id3_is_mpeg_audio(const uint8_t* data, uint64_t len);

#endif
