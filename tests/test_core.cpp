// The tag record, the error buffer, whole-file reading, container detection and the JSON mapping.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "bounded_read_check.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <string.h>

#include <string>

namespace {

std::string json_of(const id3_record& t) {
    char* text = id3_record_to_json(&t);
    EXPECT_NE(text, nullptr) << id3_last_error();
    std::string out = text ? text : "";
    id3_free_string(text);
    return out;
}

char* dup(const char* s) {
    char* p = (char*)malloc(strlen(s) + 1);
    strcpy(p, s);
    return p;
}

// The message before any call: taken while the program starts, before any test runs, so that the
// check holds in whichever order the tests run.
const std::string g_error_at_start = id3_last_error();

} // namespace

TEST(ErrorBuffer, EmptyAtStartThenClearedByTheNextCall) {
    EXPECT_EQ(g_error_at_start, "");
    EXPECT_EQ(id3_read(nullptr), nullptr);
    EXPECT_STREQ(id3_last_error(), "NULL path");
    id3_free_string(nullptr); // allowed, and leaves the message alone
    EXPECT_STREQ(id3_last_error(), "NULL path");
    // The next call of the working group empties the buffer even though it records nothing.
    EXPECT_EQ(id3_batch("[]", "{}"), 0);
    EXPECT_STREQ(id3_last_error(), "");
}

TEST(ErrorBuffer, MessagesAreCutTo511Bytes) {
    std::string exact(511, 'a');
    id3_set_error("%s", exact.c_str());
    EXPECT_EQ(std::string(id3_last_error()), exact);
    EXPECT_TRUE(id3_has_error());

    std::string longer(512, 'b');
    id3_set_error("%s", longer.c_str());
    EXPECT_EQ(std::string(id3_last_error()), std::string(511, 'b'));

    id3_set_error("x%sy", std::string(600, 'c').c_str());
    EXPECT_EQ(strlen(id3_last_error()), 511u);
    EXPECT_EQ(id3_last_error()[0], 'x');

    id3_clear_error();
    EXPECT_FALSE(id3_has_error());
    EXPECT_STREQ(id3_last_error(), "");
}

TEST(ErrorBuffer, NullArgumentsAreCheckedBeforeAnyFile) {
    const char* p = "/nonexistent/file.mp3";
    EXPECT_EQ(id3_write(nullptr, "{}"), -1);
    EXPECT_STREQ(id3_last_error(), "NULL argument");
    EXPECT_EQ(id3_write(p, nullptr), -1);
    EXPECT_STREQ(id3_last_error(), "NULL argument");
    EXPECT_EQ(id3_extract_cover(p, nullptr), -1);
    EXPECT_STREQ(id3_last_error(), "NULL argument");
    EXPECT_EQ(id3_set_cover(nullptr, p), -1);
    EXPECT_STREQ(id3_last_error(), "NULL argument");
    EXPECT_EQ(id3_batch(nullptr, "{}"), -1);
    EXPECT_STREQ(id3_last_error(), "NULL argument");
    EXPECT_EQ(id3_batch("[]", nullptr), -1);
    EXPECT_STREQ(id3_last_error(), "NULL argument");
}

TEST(TagRecord, SetStrCopiesAndFreeEmpties) {
    id3_record t;
    id3_record_init(&t);
    EXPECT_EQ(id3_record_set_str(&t.title, "abc"), 0);
    EXPECT_STREQ(t.title, "abc");
    // NULL stores a present, empty text.
    EXPECT_EQ(id3_record_set_str(&t.artist, nullptr), 0);
    ASSERT_NE(t.artist, nullptr);
    EXPECT_STREQ(t.artist, "");
    // Setting a field from its own text is safe.
    EXPECT_EQ(id3_record_set_str(&t.title, t.title), 0);
    EXPECT_STREQ(t.title, "abc");
    t.cover_data = (uint8_t*)malloc(3);
    t.cover_size = 3;
    t.has_cover = 1;
    strcpy(t.cover_mime, "image/png");

    id3_record_free(&t);
    id3_record empty;
    memset(&empty, 0, sizeof empty);
    EXPECT_EQ(memcmp(&t, &empty, sizeof t), 0);
    id3_record_free(&t); // twice is harmless
    id3_record_free(nullptr);
    EXPECT_EQ(memcmp(&t, &empty, sizeof t), 0);
}

TEST(Slurp, ReadsWholeFilesWithATrailingNul) {
    TempDir dir;
    struct Case {
        Bytes content;
    } cases[] = {{{}}, {B({0x41})}, {S("ID3")}, {repeat(0xAB, 70000)}};
    for (const Case& c : cases) {
        std::string path = dir.file("f");
        ASSERT_TRUE(write_file(path, c.content));
        uint64_t len = 99;
        uint8_t* data = id3_slurp(path.c_str(), &len);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(len, c.content.size());
        EXPECT_EQ(Bytes(data, data + len), c.content);
        EXPECT_EQ(data[len], 0);
        free(data);
    }
}

TEST(Slurp, FailuresRecordTheirMessages) {
    TempDir dir;
    uint64_t len = 99;
    std::string missing = dir.file("missing.mp3");
    EXPECT_EQ(id3_slurp(missing.c_str(), &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot open: " + missing + " (No such file or directory)");

    // A folder is refused at once, not read as a file of some huge size.
    len = 99;
    EXPECT_EQ(id3_slurp(dir.path.c_str(), &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(std::string(id3_last_error()), "cannot open: " + dir.path + " (Is a directory)");
}

// Extraction writes the picture the whole-image reader finds (the last one stored), from the
// bytes the reader read: a FLAC PICTURE block's body, an MP4 item list, in the first 64 KiB of the
// file or past them.
TEST(Extract, PictureOfFlacAndMp4WhereItStands) {
    const Bytes small = B({0x89, 'P', 'N', 'G'}) + repeat(0x11, 200);
    const Bytes big = B({0xFF, 0xD8, 0xFF, 0xE0}) + repeat(0x22, 100000) + B({0xFF, 0xD9});
    auto picture = [](const Bytes& data) {
        return flac_block(6, flac_picture(3, "image/png", "d", data, 1, 1, 24));
    };
    auto flac = [](const Bytes& blocks) {
        return S("fLaC") + flac_block(0, repeat(0x10, 34)) +
               flac_block(4, vorbis_comment("v", {"TITLE=t"})) + blocks +
               flac_block(1, repeat(0, 16), true) + flac_audio(600);
    };
    auto m4a = [](const Bytes& items, bool moov_last) {
        Bytes moov = mp4_atom(
            "moov", mp4_atom("udta", mp4_atom("meta", be32(0) + mp4_atom("hdlr", repeat(0, 25)) +
                                                          mp4_atom("ilst", items))));
        Bytes head = mp4_atom("ftyp", S("M4A ") + be32(0));
        Bytes mdat = mp4_atom("mdat", repeat(0x33, 70000));
        return moov_last ? head + mdat + moov : head + moov + mdat;
    };
    Bytes covr_small = mp4_atom("covr", mp4_data(small, 14));
    Bytes covr_big = mp4_atom("covr", mp4_data(big, 13));
    struct Case {
        const char* name;
        int32_t format;
        Bytes file;
        Bytes expected;
    } cases[] = {
        {"flac_in_prefix", ID3_FMT_FLAC, flac(picture(small)), small},
        {"flac_past_prefix", ID3_FMT_FLAC, flac(picture(big)), big},
        {"flac_last_of_two_past_prefix", ID3_FMT_FLAC, flac(picture(small) + picture(big)), big},
        {"flac_last_of_two_small", ID3_FMT_FLAC, flac(picture(big) + picture(small)), small},
        // A block that is no picture leaves the one before it.
        {"flac_damaged_second", ID3_FMT_FLAC, flac(picture(big) + flac_block(6, repeat(0, 6))),
         big},
        {"flac_behind_id3", ID3_FMT_FLAC,
         id3_tag(3, 0, id3_frame3("TIT2", id3_text("x", 0))) + flac(picture(big)), big},
        {"m4a_moov_first", ID3_FMT_MP4, m4a(covr_small, false), small},
        {"m4a_moov_last", ID3_FMT_MP4, m4a(covr_big, true), big},
        {"m4a_last_of_two", ID3_FMT_MP4, m4a(covr_big + covr_small, true), small},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        id3_record whole;
        id3_record_init(&whole);
        Bytes image = c.file;
        if (c.format == ID3_FMT_FLAC && image[0] == 'I')
            image.erase(image.begin(), image.begin() + 10 + (long)(image[9] | image[8] << 7));
        ASSERT_EQ(read_image(c.format, image.data(), image.size(), &whole), 0) << id3_last_error();
        Bytes expected(whole.cover_data, whole.cover_data + whole.cover_size);
        id3_record_free(&whole);
        EXPECT_EQ(expected, c.expected);
        std::string path = dir.file("in");
        std::string out = dir.file("out");
        ASSERT_TRUE(write_file(path, c.file));
        ASSERT_EQ(id3_extract_cover(path.c_str(), out.c_str()), 0) << id3_last_error();
        EXPECT_EQ(read_file(out), expected);
        remove(out.c_str());
    }
}

// The bounded readers give what the whole-image readers give on the committed samples.
TEST(BoundedReads, SamplesMatchTheWholeImageReaders) {
    const std::pair<const char*, int32_t> samples[] = {
        {"sample.mp3", ID3_FMT_MP3}, {"sample.flac", ID3_FMT_FLAC}, {"sample.m4a", ID3_FMT_MP4}};
    for (const auto& s : samples) {
        Bytes image = read_file(std::string(QID3_SAMPLES_DIR) + "/" + s.first);
        ASSERT_FALSE(image.empty()) << s.first;
        EXPECT_EQ(bounded_read_difference(s.second, image), "") << s.first;
    }
}

#ifdef __linux__
// Bytes this process has read from files so far (rchar of /proc/self/io).
uint64_t bytes_read_so_far() {
    FILE* f = fopen("/proc/self/io", "r");
    if (!f)
        return 0;
    unsigned long long rchar = 0;
    if (fscanf(f, "rchar: %llu", &rchar) != 1)
        rchar = 0;
    fclose(f);
    return rchar;
}

// Bytes a call reads from files: the looks at /proc/self/io count themselves, so what one look
// costs, measured just before, is taken off.
template <typename Call> uint64_t bytes_read_by(Call call) {
    uint64_t first = bytes_read_so_far();
    uint64_t before = bytes_read_so_far();
    uint64_t own = before - first;
    call();
    uint64_t used = bytes_read_so_far() - before;
    return used > own ? used - own : 0;
}

// A read costs the tag, not the audio: files with 256 MB of (sparse) audio are read with at most
// their tag region and 64 KiB more, wherever the MP4 item list lies; no byte of a moov box after
// mdat is read twice (a moov of nothing but the item list's path leaves no slack for that).
TEST(BoundedReads, BytesReadFollowTheTagsNotTheAudio) {
    TempDir dir;
    const uint64_t audio = 256ull << 20;
    const Bytes cover = repeat(0x5A, 100000);
    Bytes mp3_tag = id3_tag(3, 0,
                            id3_frame3("TIT2", id3_text("big", 0)) +
                                id3_frame3("APIC", B({0}) + S("image/png") + B({0, 3, 0}) + cover));

    Bytes comments = vorbis_comment("v", {"TITLE=big"});
    Bytes picture = flac_picture(3, "image/png", "", cover, 1, 1, 24);
    Bytes flac_meta = S("fLaC") + flac_block(0, repeat(0x10, 34)) + flac_block(4, comments) +
                      flac_block(6, picture, true);

    Bytes ilst = mp4_atom("ilst", mp4_atom("\251nam", mp4_data(S("big"))) +
                                      mp4_atom("covr", mp4_data(cover, 14)));
    Bytes moov = mp4_atom("moov", mp4_atom("trak", repeat(0, 5000)) +
                                      mp4_atom("udta", mp4_atom("meta", be32(0) + ilst)));
    Bytes bare_moov = mp4_atom("moov", mp4_atom("udta", mp4_atom("meta", be32(0) + ilst)));
    Bytes ftyp = mp4_atom("ftyp", S("M4A ") + be32(0));
    // mdat with a 64-bit size.
    Bytes mdat_header = be32(1) + S("mdat") + be64(audio + 16);

    struct Case {
        const char* name;
        Bytes head;         // written at the start
        Bytes tail;         // written after the audio
        uint64_t tag_bytes; // the tag or metadata region
    } cases[] = {
        {"mp3", mp3_tag, {}, mp3_tag.size()},
        {"flac", flac_meta, {}, flac_meta.size()},
        {"m4a_moov_first", ftyp + moov + mdat_header, {}, moov.size()},
        {"m4a_moov_after_mdat", ftyp + mdat_header, moov, moov.size()},
        {"m4a_bare_moov_after_mdat", ftyp + mdat_header, bare_moov, bare_moov.size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.name);
        ASSERT_TRUE(write_file(path, c.head));
        ASSERT_EQ(truncate(path.c_str(), (off_t)(c.head.size() + audio)), 0);
        if (!c.tail.empty()) {
            FILE* f = fopen(path.c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(fseeko(f, 0, SEEK_END), 0);
            ASSERT_EQ(fwrite(c.tail.data(), 1, c.tail.size(), f), c.tail.size());
            ASSERT_EQ(fclose(f), 0);
        }
        char* json = nullptr;
        uint64_t used = bytes_read_by([&] { json = id3_read(path.c_str()); });
        ASSERT_NE(json, nullptr) << id3_last_error();
        EXPECT_NE(std::string(json).find("\"title\":\"big\""), std::string::npos) << json;
        EXPECT_NE(std::string(json).find("\"has_cover\":true"), std::string::npos) << json;
        id3_free_string(json);
        EXPECT_LE(used, c.tag_bytes + 65536) << used << " bytes read";
        // Every property and picture, from the same bytes.
        used = bytes_read_by([&] { json = id3_read_all(path.c_str()); });
        ASSERT_NE(json, nullptr) << id3_last_error();
        EXPECT_NE(std::string(json).find("\"TITLE\":[\"big\"]"), std::string::npos) << json;
        EXPECT_NE(std::string(json).find("\"size\":100000"), std::string::npos) << json;
        id3_free_string(json);
        EXPECT_LE(used, c.tag_bytes + 65536) << used << " bytes read by id3_read_all";
    }
}
#endif

// Every container reader refuses a NULL image, whatever length comes with it, with its own message,
// and still sets the format. One row per reader.
TEST(Readers, NullImageFailsAndSetsOnlyTheFormat) {
    struct Case {
        int32_t format;
        uint64_t len;
        const char* message;
    } cases[] = {
        {ID3_FMT_MP3, 0, "too short for ID3"},
        {ID3_FMT_FLAC, 100, "not FLAC"},
        {ID3_FMT_MP4, 100, "too short for MP4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        id3_record t;
        id3_record_init(&t);
        EXPECT_EQ(read_image(c.format, nullptr, c.len, &t), -1);
        EXPECT_STREQ(id3_last_error(), c.message);
        EXPECT_EQ(t.format, c.format);
    }
}

TEST(Detect, ContainerFromTheFirstBytes) {
    struct Case {
        const char* name;
        Bytes data;
        int32_t expected;
    } cases[] = {
        {"empty", {}, ID3_FMT_UNKNOWN},
        {"three bytes ID3", S("ID3"), ID3_FMT_UNKNOWN},
        {"ID3 at four bytes", S("ID3") + B({4}), ID3_FMT_MP3},
        {"ID3 version 2", S("ID3") + B({2, 0, 0}) + syncsafe(0), ID3_FMT_MP3},
        {"ID3 version 3", S("ID3") + B({3, 0, 0}) + syncsafe(0), ID3_FMT_MP3},
        // A header that no tag has: a text file that begins with "ID3" is left alone.
        {"ID3 version 1", S("ID3") + B({1, 0, 0}) + syncsafe(0), ID3_FMT_UNKNOWN},
        {"ID3 version 5", S("ID3") + B({5, 0, 0}) + syncsafe(0), ID3_FMT_UNKNOWN},
        {"ID3 text", S("ID3 tags are great\n"), ID3_FMT_UNKNOWN},
        {"ID3 short version 9", S("ID3") + B({9}), ID3_FMT_UNKNOWN},
        {"ID3 size bit 7 first byte", S("ID3") + B({4, 0, 0, 0x80, 0, 0, 0}), ID3_FMT_UNKNOWN},
        {"ID3 size bit 7 last byte", S("ID3") + B({4, 0, 0, 0, 0, 0, 0x80}), ID3_FMT_UNKNOWN},
        {"ID3 size bit 7 past a short file", S("ID3") + B({4, 0, 0, 0, 0x81}), ID3_FMT_UNKNOWN},
        {"ID3 and ftyp", S("ID3") + B({4}) + S("ftyp") + B({0}), ID3_FMT_MP3},
        {"ID followed by other", S("IDX") + B({0, 0, 0, 0, 0}), ID3_FMT_UNKNOWN},
        {"fLaC", S("fLaC"), ID3_FMT_FLAC},
        {"flac lower case", S("flac") + repeat(0, 8), ID3_FMT_UNKNOWN},
        {"fLaX", S("fLaX") + repeat(0, 8), ID3_FMT_UNKNOWN},
        {"frame sync E0", B({0xFF, 0xE0, 0x00, 0x00}), ID3_FMT_UNKNOWN},
        {"no sync DF", B({0xFF, 0xDF, 0x00, 0x00}), ID3_FMT_UNKNOWN},
        {"no sync DF then ftyp", B({0xFF, 0xDF, 0, 0}) + S("ftyp"), ID3_FMT_MP4},
        {"ftyp at 4 of 8 bytes", B({0, 0, 0, 8}) + S("ftyp"), ID3_FMT_MP4},
        {"seven bytes", B({0, 0, 0, 8}) + S("fty"), ID3_FMT_UNKNOWN},
        {"ftyp ending at the last byte", B({0, 0, 0, 0, 0}) + S("ftyp"), ID3_FMT_UNKNOWN},
        {"ftyp at 5 with one more byte", B({0, 0, 0, 0, 0}) + S("ftyp") + B({0}), ID3_FMT_MP4},
        {"ftyp at 67", repeat(0, 67) + S("ftyp") + repeat(0, 1), ID3_FMT_MP4},
        {"ftyp at 68", repeat(0, 68) + S("ftyp") + repeat(0, 10), ID3_FMT_UNKNOWN},
        {"ftyp upper case", B({0, 0, 0, 8}) + S("FTYP"), ID3_FMT_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(id3_detect_fmt(c.data.data(), c.data.size()), c.expected) << c.name;
    EXPECT_EQ(id3_detect_fmt(nullptr, 100), ID3_FMT_UNKNOWN);
}

// Without a tag, a file is MPEG audio only from a valid frame header followed by a second one
// where the first frame ends (or by the end of the file there).
TEST(Detect, MpegAudioNeedsTwoValidFrameHeaders) {
    // MPEG 1 layer III, 128 kbit/s, 44.1 kHz, no padding: 417 bytes.
    const Bytes v1_l3 = B({0xFF, 0xFB, 0x90, 0x00});
    // The same with the padding bit: 418 bytes.
    const Bytes v1_l3_padded = B({0xFF, 0xFB, 0x92, 0x00});
    // MPEG 2 layer III, 64 kbit/s, 22.05 kHz: 72 * 64000 / 22050 = 208 bytes.
    const Bytes v2_l3 = B({0xFF, 0xF3, 0x80, 0x00});
    // MPEG 2.5 layer III, 8 kbit/s, 8 kHz: 72 * 8000 / 8000 = 72 bytes.
    const Bytes v25_l3 = B({0xFF, 0xE3, 0x18, 0x00});
    // MPEG 1 layer I, 32 kbit/s, 32 kHz: (12 * 32000 / 32000) * 4 = 48 bytes.
    const Bytes v1_l1 = B({0xFF, 0xFF, 0x18, 0x00});
    // MPEG 1 layer II, 32 kbit/s, 48 kHz: 144 * 32000 / 48000 = 96 bytes.
    const Bytes v1_l2 = B({0xFF, 0xFD, 0x14, 0x00});
    struct Case {
        const char* name;
        Bytes data;
        int32_t expected;
    } cases[] = {
        {"two frames", v1_l3 + repeat(0, 413) + v1_l3, ID3_FMT_MP3},
        {"one frame ending with the file", v1_l3 + repeat(0, 413), ID3_FMT_MP3},
        {"padded frame", v1_l3_padded + repeat(0, 414) + v1_l3, ID3_FMT_MP3},
        {"padding bit not counted", v1_l3_padded + repeat(0, 413) + v1_l3, ID3_FMT_UNKNOWN},
        {"MPEG 2 layer III", v2_l3 + repeat(0, 204) + v2_l3, ID3_FMT_MP3},
        {"MPEG 2.5 layer III", v25_l3 + repeat(0, 68) + v25_l3, ID3_FMT_MP3},
        {"MPEG 1 layer I", v1_l1 + repeat(0, 44) + v1_l1, ID3_FMT_MP3},
        {"MPEG 1 layer II", v1_l2 + repeat(0, 92) + v1_l2, ID3_FMT_MP3},
        {"file ends inside the first frame", v1_l3 + repeat(0, 412), ID3_FMT_UNKNOWN},
        {"second header cut short", v1_l3 + repeat(0, 413) + B({0xFF, 0xFB, 0x90}),
         ID3_FMT_UNKNOWN},
        {"no second header", v1_l3 + repeat(0, 413) + S("text"), ID3_FMT_UNKNOWN},
        {"second header a byte late", v1_l3 + repeat(0, 414) + v1_l3, ID3_FMT_UNKNOWN},
        {"reserved version", B({0xFF, 0xEB, 0x90, 0}) + repeat(0, 413) + v1_l3, ID3_FMT_UNKNOWN},
        {"reserved layer", B({0xFF, 0xF9, 0x90, 0}) + repeat(0, 413) + v1_l3, ID3_FMT_UNKNOWN},
        {"free bitrate", B({0xFF, 0xFB, 0x00, 0}) + repeat(0, 413) + v1_l3, ID3_FMT_UNKNOWN},
        {"bad bitrate", B({0xFF, 0xFB, 0xF0, 0}) + repeat(0, 413) + v1_l3, ID3_FMT_UNKNOWN},
        {"reserved sample rate", B({0xFF, 0xFB, 0x9C, 0}) + repeat(0, 413) + v1_l3,
         ID3_FMT_UNKNOWN},
        {"second header invalid", v1_l3 + repeat(0, 413) + B({0xFF, 0xFB, 0xF0, 0}),
         ID3_FMT_UNKNOWN},
        // UTF-16 little-endian text with its byte order mark passes the sync test alone.
        {"UTF-16 text", B({0xFF, 0xFE, '[', 0, 'P', 0, 'l', 0, 'a', 0, 'y', 0, ']', 0}),
         ID3_FMT_UNKNOWN},
        {"UTF-16 text, long", B({0xFF, 0xFE}) + repeat('a', 3000), ID3_FMT_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(id3_detect_fmt(c.data.data(), c.data.size()), c.expected) << c.name;
}

TEST(Load, ShortAndUnknownFilesFail) {
    TempDir dir;
    const Bytes inputs[] = {{}, B({0xFF}), B({0xFF, 0xFB}), S("fLa"), S("hello, world")};
    for (const Bytes& content : inputs) {
        std::string path = dir.file("x.bin");
        ASSERT_TRUE(write_file(path, content));
        EXPECT_EQ(id3_read(path.c_str()), nullptr) << hex(content);
        EXPECT_STREQ(id3_last_error(), "unsupported or unrecognized format") << hex(content);
    }
    std::string missing = dir.file("none.mp3");
    EXPECT_EQ(id3_read(missing.c_str()), nullptr);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + missing + " (", 0), 0u);
}

TEST(JsonOut, EmptyRecord) {
    id3_record t;
    id3_record_init(&t);
    EXPECT_EQ(json_of(t), "{\"title\":\"\",\"artist\":\"\",\"album\":\"\",\"genre\":\"\",\"date\":"
                          "\"\",\"track\":\"\",\"format\":\"unknown\",\"has_cover\":false}");
}

TEST(JsonOut, MembersInOrderWithCoverRules) {
    struct Case {
        const char* name;
        int32_t format;
        int32_t has_cover;
        uint64_t cover_size;
        const char* mime;
        const char* tail;
    } cases[] = {
        {"mp3 with cover", ID3_FMT_MP3, 1, 5, "image/png",
         "\"format\":\"mp3\",\"has_cover\":true,\"cover_mime\":\"image/png\"}"},
        {"flac size only", ID3_FMT_FLAC, 0, 5, "", "\"format\":\"flac\",\"has_cover\":true}"},
        {"mp4 flag only", ID3_FMT_MP4, 1, 0, "", "\"format\":\"mp4\",\"has_cover\":true}"},
        {"mime without cover", ID3_FMT_MP3, 0, 0, "image/jpeg",
         "\"format\":\"mp3\",\"has_cover\":false,\"cover_mime\":\"image/jpeg\"}"},
        {"out of range format", 7, 0, 0, "", "\"format\":\"unknown\",\"has_cover\":false}"},
        {"negative format", -1, 0, 0, "", "\"format\":\"unknown\",\"has_cover\":false}"},
    };
    for (const Case& c : cases) {
        id3_record t;
        id3_record_init(&t);
        t.title = dup("T");
        t.artist = dup("Ar");
        t.album = dup("Al");
        t.genre = dup("G");
        t.date = dup("2024");
        t.track = dup("3/12");
        t.format = c.format;
        t.has_cover = c.has_cover;
        t.cover_size = c.cover_size; // the bytes themselves are never rendered
        strcpy(t.cover_mime, c.mime);
        std::string expected = "{\"title\":\"T\",\"artist\":\"Ar\",\"album\":\"Al\",\"genre\":"
                               "\"G\",\"date\":\"2024\",\"track\":\"3/12\",";
        EXPECT_EQ(json_of(t), expected + c.tail) << c.name;
        t.cover_size = 0;
        id3_record_free(&t);
    }
}

TEST(JsonOut, StringEscapes) {
    struct Case {
        const char* title;
        const char* rendered;
    } cases[] = {
        {"say \"hi\"", "say \\\"hi\\\""},
        {"a\\b", "a\\\\b"},
        {"tab\there", "tab\\there"},
        {"line\nfeed", "line\\nfeed"},
        {"\x01", "\\u0001"},
        {"AC/DC", "AC/DC"},             // the solidus stays as it is
        {"caf\xC3\xA9", "caf\xC3\xA9"}, // UTF-8 as its bytes, never \u escapes
        {"\xE6\x97\xA5", "\xE6\x97\xA5"},
        {"caf\xE9", "caf\xE9"}, // a Latin-1 byte is passed through unchanged
    };
    for (const Case& c : cases) {
        id3_record t;
        id3_record_init(&t);
        t.title = dup(c.title);
        t.format = ID3_FMT_MP3;
        std::string out = json_of(t);
        std::string prefix = std::string("{\"title\":\"") + c.rendered + "\",\"artist\"";
        EXPECT_EQ(out.substr(0, prefix.size()), prefix) << c.title;
        EXPECT_EQ(out.back(), '}');
        id3_record_free(&t);
    }
}

struct ParseCase {
    const char* name;
    const char* json;
    const char* title; // expected title (nullptr: left unchanged, i.e. absent)
    const char* date;  // expected date
};

TEST(JsonIn, MembersApplyOnlyAsStrings) {
    const ParseCase cases[] = {
        {"title set", "{\"title\":\"A\"}", "A", nullptr},
        {"empty string is a present tag", "{\"title\":\"\"}", "", nullptr},
        {"null leaves the field", "{\"title\":null}", nullptr, nullptr},
        {"number leaves the field", "{\"title\":5}", nullptr, nullptr},
        {"bool, array, object", "{\"title\":true,\"artist\":[],\"album\":{}}", nullptr, nullptr},
        {"keys are case-sensitive", "{\"Title\":\"A\",\"DATE\":\"1\"}", nullptr, nullptr},
        {"first duplicate decides", "{\"title\":\"one\",\"title\":\"two\"}", "one", nullptr},
        {"first duplicate not a string", "{\"title\":1,\"title\":\"two\"}", nullptr, nullptr},
        {"year alone", "{\"year\":\"1999\"}", nullptr, "1999"},
        {"date beats year", "{\"year\":\"1999\",\"date\":\"2001\"}", nullptr, "2001"},
        {"number date, string year", "{\"date\":2001,\"year\":\"1999\"}", nullptr, "1999"},
        {"empty date stops year", "{\"date\":\"\",\"year\":\"1999\"}", nullptr, ""},
        // U+0000 matters only in a member that is used.
        {"U+0000 in an unused year", "{\"date\":\"1\",\"year\":\"a\\u0000\"}", nullptr, "1"},
        {"U+0000 in a later duplicate", "{\"title\":\"a\",\"title\":\"b\\u0000\"}", "a", nullptr},
        {"U+0000 in another member", "{\"titel\":\"a\\u0000\",\"comment\":\"\\u0000\"}", nullptr,
         nullptr},
        {"U+0000 in a key", "{\"title\\u0000\":\"a\"}", nullptr, nullptr},
        // Bytes that are not UTF-8 stand inside strings and are kept: id3_read passes them through.
        {"Latin-1 byte kept", "{\"title\":\"caf\xE9\"}", "caf\xE9", nullptr},
        {"stray bytes kept", "{\"title\":\"\xFF\xFE\xC3\",\"\xE9\":1}", "\xFF\xFE\xC3", nullptr},
        {"escaped key resolved", "{\"t\\u0069tle\":\"esc\"}", "esc", nullptr},
        {"output object passes back",
         "{\"title\":\"T\",\"artist\":\"\",\"album\":\"\",\"genre\":\"\",\"date\":\"\",\"track\":"
         "\"\",\"format\":\"mp3\",\"has_cover\":true,\"cover_mime\":\"image/png\"}",
         "T", ""},
    };
    for (const ParseCase& c : cases) {
        id3_record t;
        id3_record_init(&t);
        id3_clear_error();
        ASSERT_EQ(id3_record_from_json(&t, c.json), 0) << c.name;
        EXPECT_FALSE(id3_has_error()) << c.name;
        if (c.title)
            EXPECT_STREQ(t.title, c.title) << c.name;
        else
            EXPECT_EQ(t.title, nullptr) << c.name;
        if (c.date)
            EXPECT_STREQ(t.date, c.date) << c.name;
        else
            EXPECT_EQ(t.date, nullptr) << c.name;
        // Cover fields and the format are never touched.
        EXPECT_EQ(t.format, 0) << c.name;
        EXPECT_EQ(t.has_cover, 0) << c.name;
        EXPECT_EQ(t.cover_mime[0], 0) << c.name;
        id3_record_free(&t);
    }
}

TEST(JsonIn, TrackAndAllSixFields) {
    id3_record t;
    id3_record_init(&t);
    ASSERT_EQ(id3_record_from_json(&t,
                                   "{\"title\":\"a\",\"artist\":\"b\",\"album\":\"c\",\"genre\":"
                                   "\"d\",\"date\":\"e\",\"track\":\"3/12\"}"),
              0);
    EXPECT_STREQ(t.title, "a");
    EXPECT_STREQ(t.artist, "b");
    EXPECT_STREQ(t.album, "c");
    EXPECT_STREQ(t.genre, "d");
    EXPECT_STREQ(t.date, "e");
    EXPECT_STREQ(t.track, "3/12");
    // A numeric track is not a string and leaves the field as it was.
    ASSERT_EQ(id3_record_from_json(&t, "{\"track\":7}"), 0);
    EXPECT_STREQ(t.track, "3/12");
    id3_record_free(&t);
}

// Null members are reported as removals, never stored; other types are not removals.
TEST(JsonIn, NullMembersAreRemovals) {
    struct Case {
        const char* json;
        uint32_t fields;
        int cover;
    } cases[] = {
        {"{\"title\":null,\"track\":null}", ID3_NAMED_TITLE | ID3_NAMED_TRACK, 0},
        {"{\"year\":null}", ID3_NAMED_DATE, 0},
        {"{\"date\":7,\"year\":null}", ID3_NAMED_DATE, 0},
        {"{\"date\":\"1999\",\"year\":null}", 0, 0},
        {"{\"date\":null,\"year\":\"1999\"}", ID3_NAMED_DATE, 0},
        {"{\"title\":\"\",\"artist\":0,\"album\":false,\"genre\":[]}", 0, 0},
        {"{\"title\":\"x\",\"title\":null}", 0, 0},
        {"{\"Title\":null,\"cover\":null}", 0, 1},
        {"{\"cover\":\"\"}", 0, 0},
    };
    for (const auto& c : cases) {
        id3_record t;
        id3_record_init(&t);
        id3_removals removed = {99, 99};
        ASSERT_EQ(id3_record_from_json(&t, c.json, &removed), 0) << c.json;
        EXPECT_EQ(removed.fields, c.fields) << c.json;
        EXPECT_EQ(removed.cover, c.cover) << c.json;
        // A null date decides: "year" is not looked at then.
        EXPECT_EQ(t.date != nullptr, strstr(c.json, "\"date\":\"1999") != nullptr) << c.json;
        id3_record_free(&t);
    }
}

TEST(JsonIn, FailuresLeaveTheRecordUnchanged) {
    struct Case {
        const char* json;
        const char* message;
    } cases[] = {
        {"", "invalid tags JSON"},
        {"   ", "invalid tags JSON"},
        {"{\"title\":\"a\",}", "invalid tags JSON"},
        {"{\"title\":\"a\"} // c", "invalid tags JSON"},
        {"/* c */ {}", "invalid tags JSON"},
        {"{} {}", "invalid tags JSON"},
        {"\xEF\xBB\xBF{}", "invalid tags JSON"},
        {"{\"title\":NaN}", "invalid tags JSON"},
        // Bytes that are not UTF-8 are allowed inside strings only; raw control characters are
        // not allowed there even then.
        {"\xE9{}", "invalid tags JSON"},
        {"{\"title\":\"a\"}\xE9", "invalid tags JSON"},
        {"{\"title\":\"a\x01\"}", "invalid tags JSON"},
        {"{\"title\":\"a\tb\"}", "invalid tags JSON"},
        {"{\"title\":\"\xE9\nb\"}", "invalid tags JSON"},
        {"{\"x\":\"\\\"\x1F\"}", "invalid tags JSON"},
        {"{\"title\":\"\\ud800\"}", "invalid tags JSON"},
        {"{\"title\":\"\\x41\"}", "invalid tags JSON"},
        // A value holding U+0000 would be stored cut short.
        {"{\"title\":\"a\\u0000b\"}", "NUL character in tag value: title"},
        {"{\"title\":\"new\",\"track\":\"1\\u00002\"}", "NUL character in tag value: track"},
        {"{\"year\":\"\\u0000\"}", "NUL character in tag value: year"},
        {"{\"date\":\"2\\u0000\",\"year\":\"1\"}", "NUL character in tag value: date"},
        {"{\"artist\":\"\\u0000\",\"album\":\"\\u0000\"}", "NUL character in tag value: artist"},
        {"{\"genre\":\"\xE9\\u0000\"}", "NUL character in tag value: genre"},
        {"[]", "tags JSON must be object"},
        {"\"title\"", "tags JSON must be object"},
        {"42", "tags JSON must be object"},
        {"null", "tags JSON must be object"},
        {"true", "tags JSON must be object"},
    };
    for (const auto& c : cases) {
        id3_record t;
        id3_record_init(&t);
        t.title = dup("keep");
        EXPECT_EQ(id3_record_from_json(&t, c.json), -1) << c.json;
        EXPECT_STREQ(id3_last_error(), c.message) << c.json;
        EXPECT_STREQ(t.title, "keep");
        id3_record_free(&t);
    }
    id3_record t;
    id3_record_init(&t);
    EXPECT_EQ(id3_record_from_json(&t, nullptr), -1);
    EXPECT_STREQ(id3_last_error(), "null tags_json");
}
