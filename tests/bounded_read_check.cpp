#include "bounded_read_check.h"

#include "id3_internal.h"
#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

std::string text_or_null(const char* p) {
    return p ? "\"" + std::string(p) + "\"" : "null";
}

// Every field of a record, the cover's bytes included, as one comparable text.
std::string describe(const id3_record& t) {
    std::string out = "title=" + text_or_null(t.title) + " artist=" + text_or_null(t.artist) +
                      " album=" + text_or_null(t.album) + " genre=" + text_or_null(t.genre) +
                      " date=" + text_or_null(t.date) + " track=" + text_or_null(t.track) +
                      " format=" + std::to_string(t.format) +
                      " has_cover=" + std::to_string(t.has_cover) + " mime=" + t.cover_mime +
                      " cover_size=" + std::to_string(t.cover_size);
    if (t.cover_data)
        out += " cover=" + hex(Bytes(t.cover_data, t.cover_data + t.cover_size));
    return out;
}

int load_file(int32_t format, const id3_file* f, id3_record* t) {
    switch (format) {
    case ID3_FMT_MP3:
        return id3_mp3_load(f, t, ID3_COVER_BYTES, nullptr);
    case ID3_FMT_FLAC:
        return id3_flac_load(f, t, 1, nullptr);
    case ID3_FMT_OGG:
    case ID3_FMT_OPUS:
        return id3_ogg_load(f, t, 1);
    default:
        return id3_mp4_load(f, t, true);
    }
}

} // namespace

int read_image(int32_t format, const uint8_t* data, uint64_t len, id3_record* t) {
    switch (format) {
    case ID3_FMT_MP3:
        return id3_mp3_read(data, len, t);
    case ID3_FMT_FLAC:
        return id3_flac_read(data, len, t);
    case ID3_FMT_OGG:
    case ID3_FMT_OPUS:
        return id3_ogg_read(data, len, t);
    default:
        return id3_mp4_read(data, len, t);
    }
}

std::string bounded_read_difference(int32_t format, const Bytes& image) {
    // The reference reads an exactly sized heap copy, so that a read past it shows under a
    // sanitizer.
    HeapBytes copy = exact_copy(image);
    id3_record whole;
    id3_record_init(&whole);
    whole.format = format;
    id3_clear_error();
    int whole_rc = read_image(format, copy.get(), image.size(), &whole);
    std::string whole_message = id3_last_error();
    copy.reset();
    std::string whole_record = describe(whole);
    char* whole_json = whole_rc == 0 ? id3_record_to_json(&whole) : nullptr;
    std::string expected_json = whole_json ? whole_json : "";
    free(whole_json);
    id3_record_free(&whole);

    // One folder for the whole run: the fixtures of the mutation tests come by the thousand.
    static TempDir dir;
    std::string path = dir.file("file");
    // A new file each time: ext4 pushes a file that was emptied and written again to the disk at
    // its close, which would make these thousands of reads wait on the disk.
    remove(path.c_str());
    if (!write_file(path, image))
        return "cannot write the fixture";
    id3_file f;
    id3_clear_error();
    if (id3_file_open(&f, path.c_str()) != 0) {
        id3_file_close(&f);
        return std::string("cannot open the fixture: ") + id3_last_error();
    }
    id3_record bounded;
    id3_record_init(&bounded);
    bounded.format = format;
    int bounded_rc = load_file(format, &f, &bounded);
    std::string bounded_message = id3_last_error();
    std::string bounded_record = describe(bounded);
    id3_record_free(&bounded);
    // The container id3_read takes the file for: as the image's first bytes say, except that a
    // FLAC stream behind an ID3v2 tag is FLAC.
    int32_t detected = id3_file_format(&f);
    id3_file_close(&f);

    if (bounded_rc != whole_rc)
        return "result " + std::to_string(bounded_rc) + " from the file, " +
               std::to_string(whole_rc) + " from the image (" + bounded_message + " / " +
               whole_message + ")";
    if (bounded_message != whole_message)
        return "message \"" + bounded_message + "\" from the file, \"" + whole_message +
               "\" from the image";
    if (bounded_record != whole_record)
        return "record from the file: " + bounded_record + "\nfrom the image: " + whole_record;

    if (whole_rc == 0 && detected == format) {
        char* json = id3_read(path.c_str());
        std::string got = json ? json : std::string("NULL: ") + id3_last_error();
        id3_free_string(json);
        if (got != expected_json)
            return "id3_read gave " + got + ", the image's record " + expected_json;
    }
    return "";
}
