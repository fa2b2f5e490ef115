// Tag writing on any file. The bytes become a file in a temporary folder (on tmpfs when there is
// one, so the disk flush costs nothing), the file is written with a fixed tag object, and then:
//   - a file of a writable kind (MP3 or FLAC) is rewritten: id3_read and the container's reader
//     give back the written texts, the cover it had is kept, and its audio bytes are unchanged;
//   - any other file is refused with the documented message and stays byte for byte as it was;
//   - no temporary file is left beside it.
#include "fuzz_common.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

static const char* const TAGS = "{\"title\":\"Fuzz title \\u2713\",\"artist\":\"\\u00c4rtist\","
                                "\"album\":\"\",\"genre\":\"Rock\",\"date\":\"2024-05-01\","
                                "\"track\":\"3/12\"}";
static const char* const WANT_TITLE = "Fuzz title \xE2\x9C\x93";
static const char* const WANT_ARTIST = "\xC3\x84rtist";

static char g_folder[64];
static std::string g_path;

static void remove_folder(void) {
    unlink(g_path.c_str());
    rmdir(g_folder);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    struct stat st;
    const char* base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    snprintf(g_folder, sizeof g_folder, "%s/qid3-fuzz-write-XXXXXX", base);
    fuzz_require(mkdtemp(g_folder) != nullptr, "temporary folder");
    g_path = std::string(g_folder) + "/song";
    atexit(remove_folder);
    return 0;
}

static Bytes read_all(const std::string& path) {
    Bytes out;
    FILE* f = fopen(path.c_str(), "rb");
    fuzz_require(f != nullptr, "the target still exists");
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    fclose(f);
    return out;
}

static size_t entries_in_folder() {
    DIR* d = opendir(g_folder);
    fuzz_require(d != nullptr, "open the temporary folder");
    size_t n = 0;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            n++;
    }
    closedir(d);
    return n;
}

// End of a leading ID3v2 tag (with its footer), cut to the file: where an MP3 file's audio starts.
static uint64_t mp3_audio_start(const Bytes& b) {
    if (b.size() < 10 || memcmp(b.data(), "ID3", 3) != 0)
        return 0;
    uint64_t end = 10 + (uint64_t)id3_syncsafe32(b.data() + 6) + ((b[5] & 0x10) ? 10 : 0);
    return end < b.size() ? end : b.size();
}

// End of the metadata blocks of a FLAC file: after the block with the last-block flag, at the end
// of the file when a block runs past it, or where fewer than 4 bytes remain.
static uint64_t flac_audio_start(const Bytes& b) {
    uint64_t pos = 4;
    for (;;) {
        if (b.size() - pos < 4)
            return pos;
        uint64_t body = id3_be24(b.data() + pos + 1);
        if (body > b.size() - pos - 4)
            return b.size();
        if (b[pos] & 0x80)
            return pos + 4 + body;
        pos += 4 + body;
    }
}

static int read_record(int32_t fmt, const Bytes& b, id3_tags* t) {
    id3_tags_init(t);
    t->format = fmt;
    return fmt == ID3_FMT_MP3 ? id3_mp3_read(b.data(), b.size(), t)
                              : id3_flac_read(b.data(), b.size(), t);
}

static bool text_is(const char* field, const char* want) {
    return field && strcmp(field, want) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes input(data, data + size);
    FILE* f = fopen(g_path.c_str(), "wb");
    fuzz_require(f != nullptr, "create the input file");
    fuzz_require((size == 0 || fwrite(data, 1, size, f) == size) && fclose(f) == 0,
                 "write the input file");

    int32_t fmt = size < 4 ? ID3_FMT_UNKNOWN : id3_detect_fmt(data, size);
    bool writable = fmt == ID3_FMT_MP3 || fmt == ID3_FMT_FLAC;
    id3_tags before;
    id3_tags_init(&before);
    if (writable)
        read_record(fmt, input, &before);

    int32_t rc = id3_write(g_path.c_str(), TAGS);
    std::string msg = id3_last_error();
    Bytes output = read_all(g_path);
    fuzz_require(entries_in_folder() == 1, "no temporary file is left");

    if (!writable) {
        fuzz_require(rc == -1, "only MP3 and FLAC files are written");
        const char* want = fmt == ID3_FMT_MP4 ? "MP4/m4a write unsupported (read-only)"
                                              : "unsupported format for write";
        fuzz_require(msg == want, "refusal message");
        fuzz_require(output == input, "a refused file is unchanged");
        id3_tags_free(&before);
        return 0;
    }
    fuzz_require(rc == 0, "an MP3 or FLAC file on tmpfs is written");

    // Through the public reading path first, then field by field with the container's reader.
    char* json = id3_read(g_path.c_str());
    fuzz_require(json != nullptr, "id3_read reads the written file");
    yyjson_doc* doc = yyjson_read(json, strlen(json), YYJSON_READ_ALLOW_INVALID_UNICODE);
    fuzz_require(doc != nullptr, "id3_read gives JSON");
    yyjson_val* root = yyjson_doc_get_root(doc);
    fuzz_require(
        fuzz_same_text(root, "title", WANT_TITLE) && fuzz_same_text(root, "artist", WANT_ARTIST) &&
            fuzz_same_text(root, "album", "") && fuzz_same_text(root, "genre", "Rock") &&
            fuzz_same_text(root, "date", "2024-05-01") && fuzz_same_text(root, "track", "3/12") &&
            fuzz_same_text(root, "format", fmt == ID3_FMT_MP3 ? "mp3" : "flac"),
        "id3_read gives the written texts");
    yyjson_doc_free(doc);
    free(json);

    id3_tags after;
    fuzz_require(read_record(fmt, output, &after) == 0, "the written file reads back");
    fuzz_require(text_is(after.title, WANT_TITLE) && text_is(after.artist, WANT_ARTIST) &&
                     text_is(after.album, "") && text_is(after.genre, "Rock") &&
                     text_is(after.date, "2024-05-01") && text_is(after.track, "3/12"),
                 "the written texts read back");
    if (before.cover_data && before.cover_size > 0) {
        fuzz_require(after.cover_size == before.cover_size &&
                         memcmp(after.cover_data, before.cover_data, before.cover_size) == 0,
                     "the cover is kept byte for byte");
        const char* mime = before.cover_mime[0] ? before.cover_mime : "image/jpeg";
        fuzz_require(strcmp(after.cover_mime, mime) == 0, "the cover's MIME type is kept");
    } else {
        fuzz_require(after.cover_size == 0 && !after.cover_data, "no cover appears");
    }

    uint64_t in_audio = fmt == ID3_FMT_MP3 ? mp3_audio_start(input) : flac_audio_start(input);
    uint64_t out_audio = fmt == ID3_FMT_MP3 ? mp3_audio_start(output) : flac_audio_start(output);
    uint64_t audio_len = input.size() - in_audio;
    fuzz_require(output.size() - out_audio == audio_len &&
                     (audio_len == 0 ||
                      memcmp(output.data() + out_audio, input.data() + in_audio, audio_len) == 0),
                 "the audio bytes are unchanged");
    id3_tags_free(&after);
    id3_tags_free(&before);
    return 0;
}
