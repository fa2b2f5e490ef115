// The bounded readers against the whole-image readers: one file read both ways must give the same
// record, the same result and the same message.
#ifndef QID3_BOUNDED_READ_CHECK_H
#define QID3_BOUNDED_READ_CHECK_H

#include "id3_internal.h"
#include "test_util.h"

#include <stdint.h>
#include <string>

// The whole-image reader of `format` (ID3_FMT_MP3, ID3_FMT_FLAC, ID3_FMT_MP4, ID3_FMT_OGG or
// ID3_FMT_OPUS) on data[0..len).
int read_image(int32_t format, const uint8_t* data, uint64_t len, id3_record* t);

// Reads `image` with the whole-image reader of `format` and, from a file holding the same bytes,
// with the bounded loader of that format; also id3_read's JSON against the whole-image record when
// the image is detected as `format`. The first difference found, or "" when there is none.
std::string bounded_read_difference(int32_t format, const Bytes& image);

#endif
