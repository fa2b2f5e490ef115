// One container reader, and its property reader, on any bytes; built once per reader, with
// QID3_FUZZ_FORMAT naming the format code. The bytes are handed over exactly as given, without the
// NUL that whole-file reading adds after a file's last byte, so every read past the end is caught.
#include "fuzz_common.h"

#ifndef QID3_FUZZ_FORMAT
#error "QID3_FUZZ_FORMAT must name the reader's format code"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    id3_record t;
    id3_record_init(&t);
    t.format = QID3_FUZZ_FORMAT;
    id3_clear_error();
    int rc;
    switch (QID3_FUZZ_FORMAT) {
    case ID3_FMT_MP3:
        rc = id3_mp3_read(data, size, &t);
        break;
    case ID3_FMT_FLAC:
        rc = id3_flac_read(data, size, &t);
        break;
    case ID3_FMT_OGG:
        rc = id3_ogg_read(data, size, &t);
        break;
    default:
        rc = id3_mp4_read(data, size, &t);
        break;
    }
    // The Ogg reader names the codec it finds: Vorbis keeps the format code, Opus has its own.
    int32_t format = QID3_FUZZ_FORMAT;
    if (format == ID3_FMT_OGG && t.format == ID3_FMT_OPUS)
        format = ID3_FMT_OPUS;
    fuzz_check_reader_result(rc, &t, format);
    char record_error[ID3_ERROR_MAX];
    snprintf(record_error, sizeof record_error, "%s", id3_last_error());
    fuzz_check_props(data, size, format, rc, &t, record_error);
    id3_record_free(&t);
    return 0;
}
