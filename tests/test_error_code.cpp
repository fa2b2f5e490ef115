// The code of every message the library gives (id3_last_error_code), as the header lists them:
// one row per message form found in the sources, and the sources searched for forms no row has,
// so that a new message cannot go without a code.
#include "error_code.h"
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string with_reason(const std::string& start, int err) {
    return start + " (" + strerror(err) + ")";
}

struct MessageCase {
    const char* form; // as the sources write it, "" for a message made at run time
    std::string message;
    int32_t code;
};

std::vector<MessageCase> message_cases() {
    const std::string p = "/music/a.mp3";
    return {
        {"%s", "", ID3_ERROR_NONE},
        {"NULL argument", "NULL argument", ID3_ERROR_ARGUMENT},
        {"NULL path", "NULL path", ID3_ERROR_ARGUMENT},
        {"null tags_json", "null tags_json", ID3_ERROR_ARGUMENT},
        {"invalid tags JSON", "invalid tags JSON", ID3_ERROR_ARGUMENT},
        {"tags JSON must be object", "tags JSON must be object", ID3_ERROR_ARGUMENT},
        {"invalid dir_json", "invalid dir_json", ID3_ERROR_ARGUMENT},
        {"dir_json must be array of paths", "dir_json must be array of paths", ID3_ERROR_ARGUMENT},
        {"NUL character in tag value: %s", "NUL character in tag value: title", ID3_ERROR_ARGUMENT},
        {"NUL character in path", "NUL character in path", ID3_ERROR_ARGUMENT},
        {"properties must be an object", "properties must be an object", ID3_ERROR_ARGUMENT},
        {"invalid property key: %s", "invalid property key: A=B", ID3_ERROR_ARGUMENT},
        {"pictures are not properties: %s", "pictures are not properties: COVERART",
         ID3_ERROR_ARGUMENT},
        {"property values must be a list of strings: %s",
         "property values must be a list of strings: ARTIST", ID3_ERROR_ARGUMENT},
        {"property named twice: %s", "property named twice: ARTIST", ID3_ERROR_ARGUMENT},
        {"key not supported by %s: %s", "key not supported by mp4: FOO", ID3_ERROR_ARGUMENT},
        {"several values not supported by %s: %s", "several values not supported by mp4: BPM",
         ID3_ERROR_ARGUMENT},
        {"value not supported by mp3: %s", "value not supported by mp3: TRACKNUMBER",
         ID3_ERROR_ARGUMENT},
        {"value not supported by mp4: %s", "value not supported by mp4: BPM", ID3_ERROR_ARGUMENT},
        {"MP4 track must be a number or number/total: %s",
         "MP4 track must be a number or number/total: x", ID3_ERROR_ARGUMENT},
        {"path too long for a temporary file: %s", "path too long for a temporary file: " + p,
         ID3_ERROR_ARGUMENT},
        {"cannot write cover: %s (the output is the source file)",
         "cannot write cover: " + p + " (the output is the source file)", ID3_ERROR_ARGUMENT},
        {"cannot write cover: %s (not a regular file)",
         "cannot write cover: /dev/null (not a regular file)", ID3_ERROR_NOT_REGULAR_FILE},
        {"cannot open: %s (%s)", with_reason("cannot open: " + p, ENOENT), ID3_ERROR_NOT_FOUND},
        {"cannot open: %s (%s)", with_reason("cannot open: " + p, ENOTDIR), ID3_ERROR_NOT_FOUND},
        {"cannot open: %s (%s)", with_reason("cannot open: " + p, EACCES), ID3_ERROR_ACCESS_DENIED},
        {"cannot open: %s (%s)", with_reason("cannot open: " + p, EROFS), ID3_ERROR_ACCESS_DENIED},
        {"cannot open: %s (%s)", with_reason("cannot open: " + p, EISDIR),
         ID3_ERROR_NOT_REGULAR_FILE},
        {"cannot open: %s (%s)", with_reason("cannot open: " + p, ENAMETOOLONG),
         ID3_ERROR_ARGUMENT},
        {"cannot open: %s (%s)", with_reason("cannot open: " + p, EMFILE), ID3_ERROR_IO},
        {"cannot open: %s (not a regular file)", "cannot open: /dev/zero (not a regular file)",
         ID3_ERROR_NOT_REGULAR_FILE},
        // A path that itself ends like a reason does not decide: the last brackets do.
        {"", with_reason("cannot open: /x (Permission denied)", EIO), ID3_ERROR_IO},
        {"cannot read: %s (%s)", with_reason("cannot read: " + p, EIO), ID3_ERROR_IO},
        {"cannot read: %s (%s)", with_reason("cannot read: " + p, ENOMEM), ID3_ERROR_OUT_OF_MEMORY},
        {"file changed while reading: %s", "file changed while reading: " + p, ID3_ERROR_CHANGED},
        {"file changed while writing: %s", "file changed while writing: " + p, ID3_ERROR_CHANGED},
        {"unsupported or unrecognized format", "unsupported or unrecognized format",
         ID3_ERROR_NOT_AUDIO},
        {"unsupported format for write", "unsupported format for write", ID3_ERROR_NOT_AUDIO},
        {"cover set unsupported for this format", "cover set unsupported for this format",
         ID3_ERROR_NOT_AUDIO},
        {"too short for ID3", "too short for ID3", ID3_ERROR_NOT_AUDIO},
        {"no ID3 header", "no ID3 header", ID3_ERROR_NOT_AUDIO},
        {"too short for MP4", "too short for MP4", ID3_ERROR_NOT_AUDIO},
        {"not FLAC", "not FLAC", ID3_ERROR_NOT_AUDIO},
        {"not Ogg Vorbis or Opus", "not Ogg Vorbis or Opus", ID3_ERROR_NOT_AUDIO},
        {"no cover art", "no cover art", ID3_ERROR_NO_COVER},
        {"fragmented MP4 (moof) write unsupported", "fragmented MP4 (moof) write unsupported",
         ID3_ERROR_UNSUPPORTED},
        {"MP4 chunk offset inside moov: offsets cannot be shifted",
         "MP4 chunk offset inside moov: offsets cannot be shifted", ID3_ERROR_UNSUPPORTED},
        {"MP4 track with media in another file: offsets cannot be shifted",
         "MP4 track with media in another file: offsets cannot be shifted", ID3_ERROR_UNSUPPORTED},
        {"MP4 track without chunk offsets: offsets cannot be shifted",
         "MP4 track without chunk offsets: offsets cannot be shifted", ID3_ERROR_UNSUPPORTED},
        {"MP4 atom sized to the end of its container: nothing can follow it",
         "MP4 atom sized to the end of its container: nothing can follow it",
         ID3_ERROR_UNSUPPORTED},
        {"Ogg file with several streams: write unsupported",
         "Ogg file with several streams: write unsupported", ID3_ERROR_UNSUPPORTED},
        {"Ogg identification packet shares its page: write unsupported",
         "Ogg identification packet shares its page: write unsupported", ID3_ERROR_UNSUPPORTED},
        {"Ogg header packets share pages with audio: write unsupported",
         "Ogg header packets share pages with audio: write unsupported", ID3_ERROR_UNSUPPORTED},
        {"MP4 atom size smaller than its header", "MP4 atom size smaller than its header",
         ID3_ERROR_DAMAGED},
        {"MP4 chunk offset past the end of the file: offsets cannot be shifted",
         "MP4 chunk offset past the end of the file: offsets cannot be shifted", ID3_ERROR_DAMAGED},
        {"MP4 file with more than one moov", "MP4 file with more than one moov", ID3_ERROR_DAMAGED},
        {"MP4 file without moov", "MP4 file without moov", ID3_ERROR_DAMAGED},
        {"damaged MP4 atom layout", "damaged MP4 atom layout", ID3_ERROR_DAMAGED},
        {"damaged MP4 chunk offset table", "damaged MP4 chunk offset table", ID3_ERROR_DAMAGED},
        {"damaged MP4 meta atom", "damaged MP4 meta atom", ID3_ERROR_DAMAGED},
        {"FLAC metadata runs past the end of the file",
         "FLAC metadata runs past the end of the file", ID3_ERROR_DAMAGED},
        {"ID3v2 tag runs past the end of the file", "ID3v2 tag runs past the end of the file",
         ID3_ERROR_DAMAGED},
        {"Ogg page checksum mismatch at offset %llu", "Ogg page checksum mismatch at offset 58",
         ID3_ERROR_DAMAGED},
        {"not an Ogg page at offset %llu", "not an Ogg page at offset 0", ID3_ERROR_DAMAGED},
        {"Ogg page runs past the end of the file", "Ogg page runs past the end of the file",
         ID3_ERROR_DAMAGED},
        {"Ogg stream ends within its header packets", "Ogg stream ends within its header packets",
         ID3_ERROR_DAMAGED},
        {"Ogg header packets broken across pages at offset %llu",
         "Ogg header packets broken across pages at offset 4096", ID3_ERROR_DAMAGED},
        {"Ogg comment header missing", "Ogg comment header missing", ID3_ERROR_DAMAGED},
        {"Ogg comment header damaged", "Ogg comment header damaged", ID3_ERROR_DAMAGED},
        {"Ogg Vorbis setup header missing", "Ogg Vorbis setup header missing", ID3_ERROR_DAMAGED},
        {"Ogg file does not end with a whole page", "Ogg file does not end with a whole page",
         ID3_ERROR_DAMAGED},
        {"damaged Ogg page among the audio", "damaged Ogg page among the audio", ID3_ERROR_DAMAGED},
        {"tag too large for ID3v2", "tag too large for ID3v2", ID3_ERROR_TOO_LARGE},
        {"cover too large for FLAC picture block", "cover too large for FLAC picture block",
         ID3_ERROR_TOO_LARGE},
        {"cover too large for Ogg picture comment", "cover too large for Ogg picture comment",
         ID3_ERROR_TOO_LARGE},
        {"comments too large for FLAC comment block", "comments too large for FLAC comment block",
         ID3_ERROR_TOO_LARGE},
        {"comments too large for Ogg comment header", "comments too large for Ogg comment header",
         ID3_ERROR_TOO_LARGE},
        {"too many comments for FLAC comment block (at most %u)",
         "too many comments for FLAC comment block (at most 100000)", ID3_ERROR_TOO_LARGE},
        {"MP4 item too large: %s", "MP4 item too large: ©nam", ID3_ERROR_TOO_LARGE},
        {"MP4 item too large: covr", "MP4 item too large: covr", ID3_ERROR_TOO_LARGE},
        {"MP4 item list too large", "MP4 item list too large", ID3_ERROR_TOO_LARGE},
        {"MP4 chunk offset past 4 GiB in a 32-bit table (stco)",
         "MP4 chunk offset past 4 GiB in a 32-bit table (stco)", ID3_ERROR_TOO_LARGE},
        {"oom", "oom", ID3_ERROR_OUT_OF_MEMORY},
        {"out of memory while writing: %s", "out of memory while writing: " + p,
         ID3_ERROR_OUT_OF_MEMORY},
        {"json write failed", "json write failed", ID3_ERROR_OUT_OF_MEMORY},
        {"cannot replace target (read-only or locked): %s",
         "cannot replace target (read-only or locked): " + p, ID3_ERROR_ACCESS_DENIED},
        {"cannot replace target (another user's file in a sticky folder): %s",
         "cannot replace target (another user's file in a sticky folder): " + p,
         ID3_ERROR_ACCESS_DENIED},
        {"cannot create temp: %s (%s)", with_reason("cannot create temp: " + p, ENOSPC),
         ID3_ERROR_NO_SPACE},
        {"cannot create temp: %s (%s)", with_reason("cannot create temp: " + p, EACCES),
         ID3_ERROR_ACCESS_DENIED},
        {"cannot create temp: %s", "cannot create temp: " + p, ID3_ERROR_IO},
        {"short write: %s (%s)", with_reason("short write: " + p, ENOSPC), ID3_ERROR_NO_SPACE},
        {"short write: %s (%s)", with_reason("short write: " + p, EFBIG), ID3_ERROR_TOO_LARGE},
        {"short write: %s (%s)", with_reason("short write: " + p, EIO), ID3_ERROR_IO},
        {"disk flush failed: %s (%s)", with_reason("disk flush failed: " + p, EIO), ID3_ERROR_IO},
        {"disk flush failed: %s (%s)", with_reason("disk flush failed: " + p, ENOSPC),
         ID3_ERROR_NO_SPACE},
        {"close failed: %s (%s)", with_reason("close failed: " + p, EIO), ID3_ERROR_IO},
        {"folder flush failed: %s (%s)", with_reason("folder flush failed: /music", EIO),
         ID3_ERROR_IO},
        {"cannot copy extended attributes: %s (%s)",
         with_reason("cannot copy extended attributes: " + p, EPERM), ID3_ERROR_ACCESS_DENIED},
        {"rename failed (win32 %lu): %s", "rename failed (win32 32): " + p, ID3_ERROR_IO},
        {"bad splice list", "bad splice list", ID3_ERROR_OTHER},
        // The formats table's last resort for a writer that failed without a message.
        {"", "mp3 write failed", ID3_ERROR_IO},
        {"", "flac write failed", ID3_ERROR_IO},
        {"", "something new", ID3_ERROR_OTHER},
    };
}

TEST(ErrorCode, EveryMessageHasItsCode) {
    for (const MessageCase& c : message_cases())
        EXPECT_EQ(id3_error_code_of(c.message.c_str()), c.code) << c.message;
    EXPECT_EQ(id3_error_code_of(nullptr), ID3_ERROR_NONE);
}

// Every message form written in the sources (id3_set_error's first argument, or a message
// variable's text) has a row above.
TEST(ErrorCode, NoMessageOfTheSourcesLacksARow) {
    std::set<std::string> forms;
    for (const MessageCase& c : message_cases())
        forms.insert(c.form);
    std::string src = std::string(QID3_SAMPLES_DIR) + "/../src/";
    std::regex literal(R"re((?:id3_set_error\(|message = )"((?:[^"\\]|\\.)*)")re");
    int seen = 0;
    for (const std::string& name : list_dir(src)) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".cpp") != 0)
            continue;
        std::ifstream in(src + name);
        std::stringstream text;
        text << in.rdbuf();
        std::string body = text.str();
        for (std::sregex_iterator m(body.begin(), body.end(), literal), end; m != end; ++m) {
            seen++;
            EXPECT_TRUE(forms.count((*m)[1].str())) << name << ": \"" << (*m)[1] << "\"";
        }
    }
    EXPECT_GT(seen, 50); // the sources were found
}

// The export reads the calling thread's text.
TEST(ErrorCode, ExportFollowsTheLastCall) {
    EXPECT_EQ(id3_read("/nonexistent/quorvale/a.mp3"), nullptr);
    EXPECT_EQ(id3_last_error_code(), ID3_ERROR_NOT_FOUND);
    EXPECT_EQ(id3_read(nullptr), nullptr);
    EXPECT_EQ(id3_last_error_code(), ID3_ERROR_ARGUMENT);
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("text.mp3"), S("plain text, no audio at all")));
    EXPECT_EQ(id3_read(dir.file("text.mp3").c_str()), nullptr);
    EXPECT_EQ(id3_last_error_code(), ID3_ERROR_NOT_AUDIO);
    EXPECT_EQ(id3_read(dir.path.c_str()), nullptr);
    EXPECT_EQ(id3_last_error_code(), ID3_ERROR_NOT_REGULAR_FILE);
    char* ok = id3_read((std::string(QID3_SAMPLES_DIR) + "/sample.flac").c_str());
    EXPECT_NE(ok, nullptr);
    id3_free_string(ok);
    EXPECT_EQ(id3_last_error_code(), ID3_ERROR_NONE);
}

// id3_batch_results gives each failed path's code beside its message.
TEST(ErrorCode, BatchResultsCarryTheCode) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("text.mp3"), S("plain text, no audio at all")));
    std::string list = "[\"" + dir.file("missing.mp3") + "\",\"" + dir.file("text.mp3") + "\"]";
    char* results = id3_batch_results(list.c_str(), "{\"title\":\"T\"}");
    ASSERT_NE(results, nullptr) << id3_last_error();
    std::string text = results;
    id3_free_string(results);
    EXPECT_EQ(text,
              "[{\"path\":\"" + dir.file("missing.mp3") +
                  "\",\"result\":\"failed\",\"error\":\"cannot open: " + dir.file("missing.mp3") +
                  " (No such file or directory)\",\"code\":2},{\"path\":\"" + dir.file("text.mp3") +
                  "\",\"result\":\"failed\",\"error\":\"unsupported format for "
                  "write\",\"code\":5}]");
}

} // namespace
