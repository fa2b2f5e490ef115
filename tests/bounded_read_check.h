// The bounded readers against the whole-image readers: one file read both ways must give the same
// record, the same result and the same message.
#ifndef QID3_BOUNDED_READ_CHECK_H
#define QID3_BOUNDED_READ_CHECK_H

#include "test_util.h"

#include <stdint.h>
#include <string>

// Reads `image` with the whole-image reader of `format` and, from a file holding the same bytes,
// with the bounded loader of that format; also id3_read's JSON against the whole-image record when
// the image is detected as `format`. The first difference found, or "" when there is none.
std::string bounded_read_difference(int32_t format, const Bytes& image);

#endif
