// The bounded readers against the whole-image readers: any bytes, written to a file, must give the
// same record, result and message both ways, and id3_read must give the whole-image record's JSON.
// The first byte picks the reader; the rest is the file.
#include "bounded_read_check.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static const int32_t formats[5] = {ID3_FMT_MP3, ID3_FMT_FLAC, ID3_FMT_MP4, ID3_FMT_OGG,
                                       ID3_FMT_OPUS};
    int32_t format = formats[data[0] % 5];
    Bytes image(data + 1, data + size);
    std::string difference = bounded_read_difference(format, image);
    if (!difference.empty()) {
        fprintf(stderr, "%s\n", difference.c_str());
        fuzz_require(false, "the bounded reader differs from the whole-image reader");
    }
    return 0;
}
