// The ID3v2 writer: the new version 2.4 tag byte for byte, removal of the old tag, the audio kept
// as it was, the frames written for each record, read-after-write, and refusals.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "write_paths.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <ostream>
#include <string>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The whole new tag: header, frames, 1024 bytes of padding.
Bytes new_tag(const Bytes& frames) {
    return id3_tag(4, 0, frames + repeat(0, 1024));
}

const Bytes kAudio = B({0xFF, 0xFB, 0x90, 0x64, 0x00, 0x11, 0x22, 0xFF, 0x00, 0x49, 0x44, 0x33});
// Two MPEG frames (MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417 bytes each), which a file without
// an ID3v2 tag needs to be taken for MP3.
const Bytes kMpegFrame = B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0, 413);
const Bytes kBareAudio = kMpegFrame + kMpegFrame;
const Bytes kPng = B({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});

// What a record holds, as a test states it; nullptr is an absent text.
struct Fields {
    const char* title = nullptr;
    const char* artist = nullptr;
    const char* album = nullptr;
    const char* genre = nullptr;
    const char* date = nullptr;
    const char* track = nullptr;
    Bytes cover;
    const char* mime = "";
    bool cover_pointer_without_bytes = false;
};

// A record owning copies of the fields, released at the end of the scope.
struct Record {
    id3_record t;
    explicit Record(const Fields& f) {
        id3_record_init(&t);
        auto set = [](char** field, const char* value) {
            if (value)
                id3_record_set_str(field, value);
        };
        set(&t.title, f.title);
        set(&t.artist, f.artist);
        set(&t.album, f.album);
        set(&t.genre, f.genre);
        set(&t.date, f.date);
        set(&t.track, f.track);
        if (!f.cover.empty() || f.cover_pointer_without_bytes) {
            t.cover_data = (uint8_t*)malloc(f.cover.size() + 1);
            if (!f.cover.empty())
                memcpy(t.cover_data, f.cover.data(), f.cover.size());
            t.cover_size = f.cover.size();
            t.has_cover = 1;
        }
        strncpy(t.cover_mime, f.mime, sizeof t.cover_mime - 1);
    }
    ~Record() { id3_record_free(&t); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
};

// Writes the record into a file that held `before`; returns the writer's result and the file.
struct WriteResult {
    int rc;
    Bytes after;
};
WriteResult write_over(const Bytes& before, const id3_record& t) {
    TempDir dir;
    std::string path = dir.file("song.mp3");
    EXPECT_TRUE(write_file(path, before));
    id3_clear_error();
    int rc = write_record_mp3(path.c_str(), &t);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.mp3"}) << "temporary file left";
    return {rc, read_file(path)};
}

// Reads a record from a file image.
struct ReadBack {
    id3_record t;
    explicit ReadBack(const Bytes& data) {
        id3_record_init(&t);
        EXPECT_EQ(id3_mp3_read(data.data(), data.size(), &t), 0) << id3_last_error();
    }
    ~ReadBack() { id3_record_free(&t); }
};

std::string str(const char* s) {
    return s ? "\"" + std::string(s) + "\"" : "(absent)";
}
// Every field of a record, for comparing two records in one assertion.
std::string describe(const id3_record& t) {
    return "title=" + str(t.title) + " artist=" + str(t.artist) + " album=" + str(t.album) +
           " genre=" + str(t.genre) + " date=" + str(t.date) + " track=" + str(t.track) +
           " cover=" + hex(Bytes(t.cover_data, t.cover_data + t.cover_size)) +
           " mime=" + t.cover_mime + " has_cover=" + std::to_string(t.has_cover);
}

TEST(Mp3Write, TitleOnBareAudioByteForByte) {
    Fields f;
    f.title = "Hi";
    Record r(f);
    WriteResult w = write_over(B({0xFF, 0xFB}), r.t);
    ASSERT_EQ(w.rc, 0) << id3_last_error();
    Bytes expected =
        B({0x49, 0x44, 0x33, 0x04, 0x00, 0x00, 0x00, 0x00, 0x08, 0x0D}) +
        B({0x54, 0x49, 0x54, 0x32, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x48, 0x69}) +
        repeat(0, 1024) + B({0xFF, 0xFB});
    EXPECT_EQ(hex(w.after), hex(expected));
    EXPECT_STREQ(id3_last_error(), "");
}

// --- What is removed and what is kept as audio ---------------------------------------------

struct OldFileCase {
    const char* name;
    Bytes before;
    Bytes audio_after;  // what follows the new tag
    Bytes carried = {}; // the old frames after the new title
};
void PrintTo(const OldFileCase& c, std::ostream* os) {
    *os << c.name;
}
class OldTag : public ::testing::TestWithParam<OldFileCase> {};

TEST_P(OldTag, IsReplacedAndTheRestKept) {
    const OldFileCase& c = GetParam();
    Fields f;
    f.title = "Hi";
    Record r(f);
    WriteResult w = write_over(c.before, r.t);
    ASSERT_EQ(w.rc, 0) << id3_last_error();
    EXPECT_EQ(hex(w.after),
              hex(new_tag(id3_frame4("TIT2", id3_text("Hi")) + c.carried) + c.audio_after));
}

const Bytes kOldFrames = id3_frame3("TIT2", id3_text("Old")) +
                         id3_frame3("COMM", B({3}) + S("eng") + B({0})) +
                         id3_frame3("TXXX", B({3}) + S("k") + B({0}) + S("v")) + repeat(0, 40);
// What the new tag keeps of them: all but the title, which the write names.
const Bytes kKept = id3_frame4("COMM", B({3}) + S("eng") + B({0})) +
                    id3_frame4("TXXX", B({3}) + S("k") + B({0}) + S("v"));

const OldFileCase kOldFileCases[] = {
    {"no_tag", kAudio, kAudio},
    {"v3_tag_with_padding", id3_tag(3, 0, kOldFrames) + kAudio, kAudio, kKept},
    {"v2_tag", id3_tag(2, 0, repeat(0, 30)) + kAudio, kAudio},
    {"footer_removed",
     id3_tag(4, 0x10, kOldFrames) + S("3DI") + B({4, 0, 0x10}) + syncsafe(0) + kAudio, kAudio,
     kKept},
    {"size_ends_with_file", S("ID3") + B({4, 0, 0}) + syncsafe(20) + repeat(0, 20), {}},
    {"footer_beyond_file", id3_tag(4, 0x10, kOldFrames) + S("3DI"), {}, kKept},
    {"tag_is_whole_file", id3_tag(4, 0, kOldFrames), {}, kKept},
    {"id3_shorter_than_header", S("ID3") + B({3, 0}), S("ID3") + B({3, 0})},
    {"second_tag_is_audio",
     id3_tag(3, 0, kOldFrames) + id3_tag(4, 0, id3_frame4("TPE1", id3_text("x"))) + kAudio,
     id3_tag(4, 0, id3_frame4("TPE1", id3_text("x"))) + kAudio, kKept},
    // Bit 7 of each size byte is masked off: 80 80 80 8A is a size of 10.
    {"size_bits_masked", S("ID3") + B({3, 0, 0, 0x80, 0x80, 0x80, 0x8A}) + repeat(0, 10) + kAudio,
     kAudio},
    {"empty_file", {}, {}},
    {"not_mpeg_at_all", S("plain text, no tag"), S("plain text, no tag")},
};
INSTANTIATE_TEST_SUITE_P(Files, OldTag, ::testing::ValuesIn(kOldFileCases),
                         [](const ::testing::TestParamInfo<OldFileCase>& info) {
                             return std::string(info.param.name);
                         });

// --- The frames written for a record -------------------------------------------------------

struct FramesCase {
    const char* name;
    Fields fields;
    Bytes frames;
};
void PrintTo(const FramesCase& c, std::ostream* os) {
    *os << c.name;
}
class Frames : public ::testing::TestWithParam<FramesCase> {};

TEST_P(Frames, AreWrittenInOrder) {
    const FramesCase& c = GetParam();
    Record r(c.fields);
    WriteResult w = write_over(kAudio, r.t);
    ASSERT_EQ(w.rc, 0) << id3_last_error();
    EXPECT_EQ(hex(w.after), hex(new_tag(c.frames) + kAudio));
}

Fields with_date(const char* date) {
    Fields f;
    f.date = date;
    return f;
}
Fields with_cover(const Bytes& cover, const char* mime) {
    Fields f;
    f.cover = cover;
    f.mime = mime;
    return f;
}
Fields all_fields() {
    Fields f;
    f.title = "T";
    f.artist = "A";
    f.album = "L";
    f.genre = "Rock";
    f.date = "2024-05-01";
    f.track = "3/12";
    f.cover = kPng;
    f.mime = "image/png";
    return f;
}
Fields title_only(const char* title) {
    Fields f;
    f.title = title;
    return f;
}
Fields pointer_without_bytes() {
    Fields f;
    f.cover_pointer_without_bytes = true;
    f.mime = "image/png";
    return f;
}

const std::string k200(200, 'x');

const FramesCase kFramesCases[] = {
    {"empty_record", Fields(), {}},
    // TDRC alone: a TYER beside it is a second date to TagLib and replaces it for ffmpeg.
    {"date_without_tyer", with_date("2024-05-01"), id3_frame4("TDRC", id3_text("2024-05-01"))},
    {"year_without_tyer", with_date("2024"), id3_frame4("TDRC", id3_text("2024"))},
    {"other_date_form", with_date("05/06/2020"), id3_frame4("TDRC", id3_text("05/06/2020"))},
    {"short_date", with_date("99"), id3_frame4("TDRC", id3_text("99"))},
    {"empty_date", with_date(""), id3_frame4("TDRC", B({3}))},
    {"empty_title", title_only(""), id3_frame4("TIT2", B({3}))},
    {"size_counts_bytes", title_only("\xE6\x97\xA5\xE6\x9C\xAC"),
     id3_frame4("TIT2", B({3, 0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC}))},
    // 201 bytes of body: the syncsafe size bytes are 00 00 01 49.
    {"syncsafe_frame_size", title_only(k200.c_str()),
     S("TIT2") + B({0, 0, 1, 0x49, 0, 0}) + id3_text(k200)},
    {"all_fields_in_order", all_fields(),
     id3_frame4("TIT2", id3_text("T")) + id3_frame4("TPE1", id3_text("A")) +
         id3_frame4("TALB", id3_text("L")) + id3_frame4("TCON", id3_text("Rock")) +
         id3_frame4("TDRC", id3_text("2024-05-01")) + id3_frame4("TRCK", id3_text("3/12")) +
         id3_frame4("APIC", B({3}) + S("image/png") + B({0, 3, 0}) + kPng)},
    {"picture_without_mime_is_jpeg", with_cover(kPng, ""),
     id3_frame4("APIC", B({3}) + S("image/jpeg") + B({0, 3, 0}) + kPng)},
    {"picture_of_one_byte", with_cover(B({0x00}), "image/gif"),
     id3_frame4("APIC", B({3}) + S("image/gif") + B({0, 3, 0, 0}))},
    {"cover_pointer_with_size_zero", pointer_without_bytes(), {}},
};
INSTANTIATE_TEST_SUITE_P(Records, Frames, ::testing::ValuesIn(kFramesCases),
                         [](const ::testing::TestParamInfo<FramesCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Mp3Write, HasCoverWithoutBytesWritesNoPicture) {
    Fields f;
    f.title = "x";
    Record r(f);
    r.t.has_cover = 1;
    strcpy(r.t.cover_mime, "image/png");
    WriteResult w = write_over(kAudio, r.t);
    ASSERT_EQ(w.rc, 0) << id3_last_error();
    EXPECT_EQ(hex(w.after), hex(new_tag(id3_frame4("TIT2", id3_text("x"))) + kAudio));
}

// --- Read after write ----------------------------------------------------------------------

TEST(Mp3Write, RecordReadBackUnchanged) {
    Fields unicode;
    unicode.title = "\xC3\x9Cn\xC3\xAF\x63\xC3\xB8\x64\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80";
    unicode.artist = "";
    unicode.track = "7";
    Fields pic_only = with_cover(Bytes(3000, 0xFF) + kPng, "image/png");
    for (const Fields& f : {all_fields(), unicode, pic_only, Fields(), with_date("1999")}) {
        Record r(f);
        WriteResult w = write_over(kAudio, r.t);
        ASSERT_EQ(w.rc, 0) << id3_last_error();
        ReadBack back(w.after);
        EXPECT_EQ(describe(back.t), describe(r.t));
        // Audio is the file's tail, byte for byte.
        ASSERT_GE(w.after.size(), kAudio.size());
        EXPECT_EQ(Bytes(w.after.end() - (long)kAudio.size(), w.after.end()), kAudio);
    }
}

TEST(Mp3Write, RecordReadFromAnOldTagSurvivesTheRoundTrip) {
    // A version 2.3 tag with ISO-8859-1 and UTF-16 texts, a year, frames the record does not
    // hold, and a picture: read, written, read again. The frames the record does not hold are
    // carried over with version 2.4 headers.
    Bytes comm = B({0}) + S("eng") + B({0});
    Bytes txxx = B({0}) + S("key") + B({0}) + S("value");
    Bytes old = id3_tag(3, 0,
                        id3_frame3("TIT2", B({0}) + S("Caf\xE9")) +
                            id3_frame3("TPE1", B({1, 0xFF, 0xFE, 0x41, 0x00, 0x42, 0x00})) +
                            id3_frame3("TYER", id3_text("1987")) + id3_frame3("COMM", comm) +
                            id3_frame3("TXXX", txxx) +
                            id3_frame3("APIC", B({0}) + S("image/png") + B({0, 3}) + S("d") +
                                                   B({0}) + kPng) +
                            repeat(0, 100)) +
                kAudio;
    ReadBack first(old);
    ASSERT_STREQ(first.t.title, "Caf\xC3\xA9");
    WriteResult w = write_over(old, first.t);
    ASSERT_EQ(w.rc, 0) << id3_last_error();
    ReadBack second(w.after);
    EXPECT_EQ(describe(second.t), describe(first.t));
    std::string image(w.after.begin(), w.after.end());
    std::string carried = hex(id3_frame4("COMM", comm) + id3_frame4("TXXX", txxx));
    EXPECT_NE(hex(w.after).find(carried), std::string::npos) << hex(w.after);
    EXPECT_EQ(Bytes(w.after.end() - (long)kAudio.size(), w.after.end()), kAudio);

    // Writing the same record again gives the same file.
    WriteResult again = write_over(w.after, second.t);
    ASSERT_EQ(again.rc, 0) << id3_last_error();
    EXPECT_EQ(again.after, w.after);
}

// id3_read's object written back changes no byte of the tag: two values in one TPE1, a UTF-16
// title and no album, genre, date or track frame (which read as "") all stay as they are.
TEST(Mp3Write, ReadObjectWrittenBackChangesNothing) {
    TempDir dir;
    std::string path = dir.file("song.mp3");
    Bytes before = new_tag(id3_frame4("TPE1", B({3}) + S("One") + B({0}) + S("Two")) +
                           id3_frame4("TIT2", B({1, 0xFF, 0xFE, 'T', 0, 'i', 0})) +
                           id3_frame4("COMM", B({0}) + S("eng") + B({0}) + S("c"))) +
                   kAudio;
    ASSERT_TRUE(write_file(path, before));
    char* read = id3_read(path.c_str());
    ASSERT_NE(read, nullptr) << id3_last_error();
    EXPECT_EQ(id3_write(path.c_str(), read), 0) << id3_last_error();
    id3_free_string(read);
    EXPECT_EQ(hex(read_file(path)), hex(before));
}

// An ID3v1 tag at the end: what the ID3v2 tag lacks moves into it with its comment, and the
// ID3v1 tag follows the named fields (ISO-8859-1, '?' for other characters, cut to 30 bytes; the
// genre by number; the track in the version 1.1 place).
TEST(Mp3Write, Id3v1KeptInStep) {
    auto v1_text = [](const std::string& text) { return S(text) + repeat(0, 30 - text.size()); };
    Bytes v1_old = S("TAG") + v1_text("Old") + v1_text("V1 Artist") + v1_text("") + S("1999") +
                   S("note") + repeat(0, 24) + B({0, 3, 8});
    TempDir dir;
    std::string path = dir.file("song.mp3");
    ASSERT_TRUE(write_file(path, new_tag(id3_frame4("TIT2", id3_text("Old"))) + kAudio + v1_old));
    ASSERT_EQ(id3_write(path.c_str(),
                        "{\"title\":\"\xC3\x9C\xE2\x9C\x93 a title longer than thirty bytes\","
                        "\"genre\":\"rock\",\"track\":\"5/9\"}"),
              0)
        << id3_last_error();
    Bytes v1_new = S("TAG") + B({0xDC, '?'}) + S(" a title longer than thirty") + B({' '}) +
                   v1_text("V1 Artist") + v1_text("") + S("1999") + S("note") + repeat(0, 24) +
                   B({0, 5, 17});
    Bytes frames =
        id3_frame4("TIT2", id3_text("\xC3\x9C\xE2\x9C\x93 a title longer than thirty bytes")) +
        id3_frame4("TPE1", id3_text("V1 Artist")) + id3_frame4("TCON", id3_text("rock")) +
        id3_frame4("TDRC", id3_text("1999")) + id3_frame4("TRCK", id3_text("5/9")) +
        id3_frame4("COMM", B({3}) + S("eng") + B({0}) + S("note"));
    EXPECT_EQ(hex(read_file(path)), hex(new_tag(frames) + kAudio + v1_new));

    // Removed fields go from both tags, so that the ID3v1 tag does not bring them back.
    ASSERT_EQ(id3_write(path.c_str(), "{\"artist\":null,\"date\":null,\"genre\":null,"
                                      "\"track\":null}"),
              0)
        << id3_last_error();
    Bytes v1_removed = S("TAG") + B({0xDC, '?'}) + S(" a title longer than thirty") + B({' '}) +
                       v1_text("") + v1_text("") + repeat(0, 4) + S("note") + repeat(0, 24) +
                       B({0, 0, 255});
    Bytes kept =
        id3_frame4("TIT2", id3_text("\xC3\x9C\xE2\x9C\x93 a title longer than thirty bytes")) +
        id3_frame4("COMM", B({3}) + S("eng") + B({0}) + S("note"));
    EXPECT_EQ(hex(read_file(path)), hex(new_tag(kept) + kAudio + v1_removed));
}

// Writes {} over the file twice: each time the file must be `want`.
void expect_empty_writes_give(const Bytes& file, const Bytes& want) {
    TempDir dir;
    std::string path = dir.file("song.mp3");
    ASSERT_TRUE(write_file(path, file));
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(id3_write(path.c_str(), "{}"), 0) << id3_last_error();
        EXPECT_EQ(hex(read_file(path)), hex(want));
    }
}

// The ID3v1 comment moves in when the new tag carries no comment frame, before the old pictures:
// there the next write keeps it, and a second {} changes nothing.
TEST(Mp3Write, Id3v1CommentMovesInOnce) {
    const Bytes v1 = S("TAG") + repeat(0, 94) + S("note") + repeat(0, 26) + B({255});
    const Bytes title = id3_frame4("TIT2", id3_text("T"));
    const Bytes comment = id3_frame4("COMM", B({3}) + S("eng") + B({0}) + S("note"));
    const Bytes picture = id3_frame4("APIC", B({0}) + S("image/png") + B({0, 3, 0}) + kPng);
    struct Case {
        const char* name;
        Bytes old_tag;
        Bytes frames; // the new tag's frames
    } cases[] = {
        {"before the old pictures", new_tag(title + picture), title + comment + picture},
        {"past an empty comment frame", new_tag(S("COMM") + syncsafe(0) + B({0, 0}) + title),
         title + comment},
        {"past an encrypted version 2.3 comment frame",
         id3_tag(3, 0,
                 S("COMM") + be32(6) + B({0x00, 0x40}) + repeat(2, 6) +
                     id3_frame3("TIT2", id3_text("T"))),
         title + comment},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_empty_writes_give(c.old_tag + kAudio + v1, new_tag(c.frames) + kAudio + v1);
    }
}

// A field whose frame the reader cannot read (compressed) keeps that frame, which other readers may
// show; the ID3v1 text that the reader gives in its place stays in the ID3v1 tag. A field the
// ID3v2 tag lacks, or whose unreadable frame the new tag drops (encrypted, version 2.3), moves in
// at the first write, and a second {} changes nothing.
TEST(Mp3Write, Id3v1LeavesAnUnreadableFrameAlone) {
    const Bytes v1 = S("TAG") + S("V1") + repeat(0, 92) + repeat(0, 30) + B({12});
    const Bytes compressed = S("TCON") + syncsafe(5) + B({0x00, 0x08}) + B({3}) + S("Rock");
    const Bytes artist = id3_frame4("TPE1", id3_text("A"));
    const Bytes title = id3_frame4("TIT2", id3_text("V1"));
    struct Case {
        const char* name;
        Bytes old_tag;
        Bytes frames; // the new tag's frames
    } cases[] = {
        {"compressed genre kept", new_tag(compressed + artist), title + compressed + artist},
        {"encrypted genre dropped",
         id3_tag(3, 0,
                 S("TCON") + be32(6) + B({0x00, 0x40}) + repeat(2, 6) +
                     id3_frame3("TPE1", id3_text("A"))),
         title + id3_frame4("TCON", id3_text("Other")) + artist},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_empty_writes_give(c.old_tag + kAudio + v1, new_tag(c.frames) + kAudio + v1);
    }
}

// ID3v1 genres go by number through Winamp's list to 191. A file with only an ID3v1 tag gives
// its genre to the first ID3v2 tag written; a genre name, in the list's spelling or another
// program's, gets its number in the ID3v1 tag, and a name outside the list 255 (none).
TEST(Mp3Write, Id3v1GenresOfTheWholeList) {
    auto v1 = [](const std::string& title, int genre) {
        return S("TAG") + S(title) + repeat(0, 124 - title.size()) + B({genre});
    };
    const struct {
        int number;
        const char* name;
    } moved[] = {{0, "Blues"}, {40, "AlternRock"}, {79, "Hard Rock"},
                 {80, "Folk"}, {96, "Big Band"},   {191, "Psybient"}};
    for (const auto& c : moved) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file("song.mp3");
        ASSERT_TRUE(write_file(path, kBareAudio + v1("", c.number)));
        ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"x\"}"), 0) << id3_last_error();
        Bytes frames = id3_frame4("TIT2", id3_text("x")) + id3_frame4("TCON", id3_text(c.name));
        EXPECT_EQ(hex(read_file(path)), hex(new_tag(frames) + kBareAudio + v1("x", c.number)));
    }
    const struct {
        const char* name;
        int number;
    } named[] = {{"Big Band", 96},  {"psybient", 191}, {"AlternRock", 40}, {"Alternative Rock", 40},
                 {"Alt. Rock", 40}, {"Hardcore", 129}, {"Polka", 75},      {"No Such Genre", 255}};
    for (const auto& c : named) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file("song.mp3");
        ASSERT_TRUE(write_file(path, kBareAudio + v1("", 12)));
        std::string json = std::string("{\"genre\":\"") + c.name + "\"}";
        ASSERT_EQ(id3_write(path.c_str(), json.c_str()), 0) << id3_last_error();
        Bytes file = read_file(path);
        ASSERT_FALSE(file.empty());
        EXPECT_EQ(file.back(), c.number);
    }
}

// --- An APE tag at the end ------------------------------------------------------------------

// An APE item: value size, flags (little-endian), key, 00, value.
Bytes ape_item(const std::string& key, const std::string& value, uint32_t flags = 0) {
    return le32((uint32_t)value.size()) + le32(flags) + S(key) + B({0}) + S(value);
}
// An APE tag: a header when asked, the items, the footer (tag size: the items and the footer).
Bytes ape_tag(const Bytes& items, uint32_t count, bool header, uint32_t version = 2000,
              uint32_t flags = 0) {
    const uint32_t has_header = header ? 0x80000000u : 0, is_header = 0x20000000u;
    auto frame = [&](uint32_t frame_flags) {
        return S("APETAGEX") + le32(version) + le32((uint32_t)items.size() + 32) + le32(count) +
               le32(frame_flags | has_header | flags) + repeat(0, 8);
    };
    return (header ? frame(is_header) : Bytes()) + items + frame(0);
}

// A write that names a field keeps the item of an APE tag at the end (before an ID3v1 tag, if
// there is one) that holds it in step, which other programs show where the ID3v2 tag lacks it;
// all else of the tag stays byte for byte. Read-only items and tags, and damaged tags, stay as
// they are.
TEST(Mp3Write, ApeTagItemsOfTheNamedFields) {
    const Bytes title = ape_item("Title", "Old");
    const Bytes artist = ape_item("Artist", "A");
    const Bytes binary = ape_item("Cover Art (Front)", std::string("c\0\xFF", 3), 2);
    const Bytes kept = artist + binary;
    const Bytes v1 = S("TAG") + S("Old") + repeat(0, 121) + B({255}); // the title to remove
    struct Case {
        const char* name;
        Bytes ape;
        bool with_v1;
        const char* json;
        Bytes want; // the APE tag after the write
    } cases[] = {
        {"title replaced", ape_tag(title + kept, 3, true), true, "{\"title\":\"New title\"}",
         ape_tag(ape_item("Title", "New title") + kept, 3, true)},
        {"key in capitals, no header, no ID3v1",
         ape_tag(artist + ape_item("TITLE", "Old"), 2, false), false, "{\"title\":\"N\"}",
         ape_tag(artist + ape_item("TITLE", "N"), 2, false)},
        {"version 1", ape_tag(title, 1, false, 1000), true, "{\"title\":\"N\"}",
         ape_tag(ape_item("Title", "N"), 1, false, 1000)},
        {"removed field", ape_tag(kept + title, 3, true), true, "{\"title\":null}",
         ape_tag(kept, 2, true)},
        {"later items of a key go",
         ape_tag(ape_item("title", "a") + ape_item("Year", "1999") + artist +
                     ape_item("Title", "b"),
                 4, true),
         true, "{\"title\":\"N\",\"date\":\"2001\",\"genre\":\"Rock\",\"track\":\"3\"}",
         ape_tag(ape_item("title", "N") + ape_item("Year", "2001") + artist, 3, true)},
        {"every value of a property", ape_tag(title + artist, 2, true), true,
         "{\"properties\":{\"ARTIST\":[\"x\",\"y\"]}}",
         ape_tag(title + ape_item("Artist", std::string("x\0y", 3)), 2, true)},
        {"field not held", ape_tag(title, 1, true), true, "{\"album\":\"L\"}",
         ape_tag(title, 1, true)},
        {"read-only item", ape_tag(ape_item("Title", "Old", 1), 1, true), true, "{\"title\":\"N\"}",
         ape_tag(ape_item("Title", "Old", 1), 1, true)},
        {"read-only tag", ape_tag(title, 1, true, 2000, 1), true, "{\"title\":\"N\"}",
         ape_tag(title, 1, true, 2000, 1)},
        {"binary item of the key", ape_tag(ape_item("Title", "Old", 2), 1, false), true,
         "{\"title\":\"N\"}", ape_tag(ape_item("Title", "Old", 2), 1, false)},
    };
    // Damaged tags: more items counted than there are, bytes left after the items, an item
    // running into the footer, a header that disagrees with the footer, a tag larger than the
    // file's audio.
    Bytes header_off = ape_tag(title, 1, true);
    header_off[12] ^= 1;
    Bytes too_large = ape_tag(title, 1, false);
    too_large[too_large.size() - 20] = 0x7F;
    const Bytes damaged[] = {ape_tag(title, 2, true), ape_tag(title + B({0}), 1, true),
                             ape_tag(le32(99) + le32(0) + S("Title") + B({0}) + S("Old"), 1, true),
                             header_off, too_large};
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const Bytes& d : damaged)
        all.push_back({"damaged", d, true, "{\"title\":\"N\"}", d});
    for (const Case& c : all) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file("song.mp3");
        Bytes end = c.with_v1 ? v1 : Bytes();
        ASSERT_TRUE(write_file(path, kBareAudio + c.ape + end));
        ASSERT_EQ(id3_write(path.c_str(), c.json), 0) << id3_last_error();
        EXPECT_STREQ(id3_last_error(), "");
        Bytes file = read_file(path);
        Bytes want = kBareAudio + c.want;
        ASSERT_GE(file.size(), want.size() + end.size());
        Bytes got(file.end() - (long)(want.size() + end.size()), file.end() - (long)end.size());
        EXPECT_EQ(hex(got), hex(want));
        if (c.with_v1) {
            EXPECT_EQ(Bytes(file.end() - 128, file.end() - 125), S("TAG"));
        }
    }
}

// Each byte of an APE tag changed in turn: the write succeeds and leaves the audio before the tag
// and the ID3v1 tag after it where they were; the tag is either left as it was or rewritten with
// the new title in place of "Old" (two bytes shorter). Run under the sanitizers, this also shows
// a read outside the tag.
TEST(Mp3Write, ApeTagWithAnyByteChanged) {
    const Bytes ape = ape_tag(ape_item("Title", "Old") + ape_item("Artist", "A"), 2, true);
    const Bytes v1_old = S("TAG") + S("Old") + repeat(0, 121) + B({255});
    const Bytes v1_new = S("TAG") + S("N") + repeat(0, 123) + B({255});
    const Bytes head = new_tag(id3_frame4("TIT2", id3_text("N"))) + kBareAudio;
    const Bytes new_item = S("Title") + B({0}) + S("N"); // its flags as they were
    TempDir dir;
    std::string path = dir.file("song.mp3");
    for (size_t i = 0; i < ape.size(); i++) {
        SCOPED_TRACE(i);
        Bytes damaged = ape;
        damaged[i] ^= 0x80;
        ASSERT_TRUE(write_file(path, kBareAudio + damaged + v1_old));
        ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"N\"}"), 0) << id3_last_error();
        Bytes file = read_file(path);
        ASSERT_GE(file.size(), head.size() + v1_new.size());
        EXPECT_EQ(Bytes(file.begin(), file.begin() + (long)head.size()), head);
        EXPECT_EQ(Bytes(file.end() - 128, file.end()), v1_new);
        Bytes tag(file.begin() + (long)head.size(), file.end() - 128);
        if (tag == damaged)
            continue;
        EXPECT_EQ(tag.size() + 2, damaged.size());
        EXPECT_NE(std::search(tag.begin(), tag.end(), new_item.begin(), new_item.end()), tag.end());
    }
}

// --- What an old tag of version 2.3 or 2.4 passes on ----------------------------------------

// The named fields' frames come first, then the old frames that are kept, in their order, then
// the pictures, then the padding. Through the public functions: id3_write names the members of its
// object, id3_set_cover names none and replaces the front cover.
struct CarryCase {
    const char* name;
    Bytes old_tag;
    const char* json; // id3_write's object, or NULL for id3_set_cover with kPng
    Bytes frames;     // the new tag's frames
};
void PrintTo(const CarryCase& c, std::ostream* os) {
    *os << c.name;
}
class Carry : public ::testing::TestWithParam<CarryCase> {};

TEST_P(Carry, KeepsWhatWasNotNamed) {
    const CarryCase& c = GetParam();
    TempDir dir;
    std::string path = dir.file("song.mp3");
    std::string picture = dir.file("cover.png");
    ASSERT_TRUE(write_file(path, c.old_tag + kAudio));
    ASSERT_TRUE(write_file(picture, kPng));
    char* before = id3_read(path.c_str());
    ASSERT_NE(before, nullptr) << id3_last_error();
    if (c.json)
        ASSERT_EQ(id3_write(path.c_str(), c.json), 0) << id3_last_error();
    else
        ASSERT_EQ(id3_set_cover(path.c_str(), picture.c_str()), 0) << id3_last_error();
    EXPECT_EQ(hex(read_file(path)), hex(new_tag(c.frames) + kAudio));
    // A write of {} gives back what was read; other writes are checked by the bytes above.
    char* after = id3_read(path.c_str());
    ASSERT_NE(after, nullptr) << id3_last_error();
    if (c.json && std::string(c.json) == "{}") {
        EXPECT_STREQ(after, before);
    }
    id3_free_string(before);
    id3_free_string(after);
}

Bytes apic(int type, const std::string& data) {
    return B({0}) + S("image/png") + B({0, type}) + S("desc") + B({0}) + S(data);
}
Bytes new_apic() {
    return id3_frame4("APIC", B({3}) + S("image/png") + B({0, 3, 0}) + kPng);
}
const Bytes kComm = B({1, 'e', 'n', 'g', 0xFF, 0xFE, 0, 0, 0xFF, 0xFE, 'x', 0});
// A version 2.4 frame with status flags and unsynchronisation and data length indicator flags.
const Bytes kFlagged4 =
    S("TPE2") + syncsafe(9) + B({0x60, 0x03}) + be32(4) + B({3, 'A', 0xFF, 0x00, 'B'});
// Version 2.3 frames: status flags 0xE0, then grouping (0x20), compression (0x80), encryption.
const Bytes kStatus3 = S("TPE2") + be32(3) + B({0xE0, 0x00}) + B({3, 'A', 'B'});
const Bytes kGroup3 = S("TCOM") + be32(4) + B({0x00, 0x20}) + B({7, 3, 'C', 'D'});
const Bytes kZip3 = S("TIT2") + be32(6) + B({0x00, 0x80}) + repeat(1, 6);
const Bytes kCrypt3 = S("TALB") + be32(6) + B({0x00, 0x40}) + repeat(2, 6);
// A size of 200 stored as a plain integer (00 00 00 C8), which a reader takes as such.
const Bytes kPlain4 = S("COMM") + be32(200) + B({0, 0}) + B({3}) + S("eng") + repeat('c', 196);

const CarryCase kCarryCases[] = {
    {"nothing named keeps every frame",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text("T")) + id3_frame4("COMM", kComm) +
                 id3_frame4("TYER", id3_text("1999")) + repeat(0, 9)),
     "{}",
     id3_frame4("TIT2", id3_text("T")) + id3_frame4("COMM", kComm) +
         id3_frame4("TYER", id3_text("1999"))},
    {"named title first, old title dropped",
     id3_tag(4, 0,
             id3_frame4("TPE1", id3_text("A")) + id3_frame4("TIT2", id3_text("Old")) +
                 id3_frame4("TIT2", id3_text("Old2"))),
     "{\"title\":\"New\"}",
     id3_frame4("TIT2", id3_text("New")) + id3_frame4("TPE1", id3_text("A"))},
    {"named date drops every date frame",
     id3_tag(3, 0,
             id3_frame3("TYER", id3_text("1999")) + id3_frame3("TDAT", id3_text("0101")) +
                 id3_frame3("TIME", id3_text("1200")) + id3_frame3("TRDA", id3_text("x")) +
                 id3_frame3("TDRC", id3_text("1998")) + id3_frame3("TORY", id3_text("1990"))),
     "{\"year\":\"2024-05-01\"}",
     id3_frame4("TDRC", id3_text("2024-05-01")) + id3_frame4("TDOR", id3_text("1990"))},
    {"unknown key names nothing", id3_tag(4, 0, id3_frame4("TIT2", id3_text("T"))),
     "{\"titel\":\"x\"}", id3_frame4("TIT2", id3_text("T"))},
    // A null member removes: a field's every frame (all date frames for the date), or with
    // "cover" the front covers. An empty string still stores an empty frame.
    {"null removes the title and every date frame",
     id3_tag(3, 0,
             id3_frame3("TIT2", id3_text("T")) + id3_frame3("TYER", id3_text("1999")) +
                 id3_frame3("TDAT", id3_text("0101")) + id3_frame3("TPE1", id3_text("A")) +
                 id3_frame3("TIT2", id3_text("T2"))),
     "{\"title\":null,\"date\":null}", id3_frame4("TPE1", id3_text("A"))},
    {"null year removes the date", id3_tag(4, 0, id3_frame4("TDRC", id3_text("1999"))),
     "{\"date\":1,\"year\":null}", Bytes()},
    {"null for a missing field changes nothing", id3_tag(4, 0, id3_frame4("TIT2", id3_text("T"))),
     "{\"album\":null}", id3_frame4("TIT2", id3_text("T"))},
    {"empty string keeps an empty frame", id3_tag(4, 0, id3_frame4("TIT2", id3_text("T"))),
     "{\"title\":\"\"}", id3_frame4("TIT2", id3_text(""))},
    {"null cover removes the front covers only",
     id3_tag(4, 0,
             id3_frame4("APIC", apic(3, "FRONT")) + id3_frame4("TIT2", id3_text("T")) +
                 id3_frame4("APIC", apic(4, "BACK")) + id3_frame4("APIC", apic(3, "FRONT2"))),
     "{\"cover\":null}", id3_frame4("TIT2", id3_text("T")) + id3_frame4("APIC", apic(4, "BACK"))},
    {"version 2.4 flags kept byte for byte", id3_tag(4, 0, kFlagged4), "{}", kFlagged4},
    {"plain integer size made syncsafe", id3_tag(4, 0, kPlain4 + id3_frame4("TIT2", id3_text("T"))),
     "{}",
     S("COMM") + syncsafe(200) + B({0, 0}) + B({3}) + S("eng") + repeat('c', 196) +
         id3_frame4("TIT2", id3_text("T"))},
    {"version 2.3 headers become version 2.4",
     id3_tag(3, 0, kStatus3 + kGroup3 + kZip3 + kCrypt3 + id3_frame3("TRCK", id3_text("1"))), "{}",
     S("TPE2") + syncsafe(3) + B({0x70, 0x00, 3, 'A', 'B'}) + S("TCOM") + syncsafe(4) +
         B({0x00, 0x40, 7, 3, 'C', 'D'}) +
         // Compressed: the decompressed size 0x01010101 becomes a syncsafe data length indicator
         // in front of the same compressed bytes.
         S("TIT2") + syncsafe(6) + B({0x00, 0x09, 0x08, 0x04, 0x02, 0x01, 1, 1}) +
         id3_frame4("TRCK", id3_text("1"))},
    // Version 2.3 frames that version 2.4 replaced take their 2.4 form: the year, day and time
    // one recording time, the original year TDOR, the involved people TIPL; the recording dates
    // and the size go; RVAD, which has no 2.4 form, stays as it is.
    {"version 2.3 frames take their version 2.4 form",
     id3_tag(3, 0,
             id3_frame3("TIME", id3_text("1030")) + id3_frame3("TYER", id3_text("2022")) +
                 id3_frame3("TDAT", id3_text("0201")) + id3_frame3("TORY", id3_text("1990")) +
                 id3_frame3("IPLS", B({0}) + S("mix") + B({0}) + S("Me")) +
                 id3_frame3("TRDA", id3_text("x")) + id3_frame3("TSIZ", id3_text("5")) +
                 id3_frame3("RVAD", B({3, 16, 1, 2, 3, 4}))),
     "{}",
     id3_frame4("TDRC", B({0}) + S("2022-01-02T10:30")) + id3_frame4("TDOR", id3_text("1990")) +
         id3_frame4("TIPL", B({0}) + S("mix") + B({0}) + S("Me")) +
         id3_frame4("RVAD", B({3, 16, 1, 2, 3, 4}))},
    {"version 2.3 year without a day stays a year",
     id3_tag(3, 0, id3_frame3("TYER", id3_text("2022")) + id3_frame3("TDAT", id3_text("2"))), "{}",
     id3_frame4("TDRC", B({0}) + S("2022"))},
    // Every year carried becomes a recording time, and of those the last is read: only the year
    // the reader shows is carried, the first one with a text unless a recording time follows.
    {"version 2.2 second year dropped",
     id3_tag(2, 0,
             S("TYE") + be24(5) + B({0}) + S("200)") + S("TYE") + be24(5) + B({0}) + S("2001")),
     "{}", id3_frame4("TDRC", B({0}) + S("200)"))},
    {"version 2.3 year after an empty recording time kept",
     id3_tag(3, 0,
             id3_frame3("TDRC", id3_text("")) + id3_frame3("TYER", id3_text("2001")) +
                 id3_frame3("TYER", id3_text("2000"))),
     "{}", id3_frame4("TDRC", id3_text("")) + id3_frame4("TDRC", B({0}) + S("2001"))},
    // The reader joins a grouped year with the day as any other: so does the writer.
    {"version 2.3 grouped year joined with the day",
     id3_tag(3, 0,
             id3_frame3("TYER", id3_text("2004", 0), 0x20) + id3_frame3("TDAT", id3_text("1503"))),
     "{}", S("TDRC") + syncsafe(11) + B({0x00, 0x40}) + B({0}) + S("2004-03-15")},
    // A recording time in a version 2.3 tag takes the day and time as the year does.
    {"version 2.3 recording time joined with the day",
     id3_tag(3, 0, id3_frame3("TDRC", id3_text("2005")) + id3_frame3("TDAT", id3_text("0304"))),
     "{}", id3_frame4("TDRC", B({0}) + S("2005-04-03"))},
    {"version 2.3 unsynchronisation undone",
     id3_tag(3, 0x80, S("TXXX") + B({0, 0, 0, 5, 0, 0}) + B({0, 'k', 0, 0xFF, 0x00, 0xE0})), "{}",
     id3_frame4("TXXX", B({0, 'k', 0, 0xFF, 0xE0}))},
    // In version 2.4 the tag flag covers every frame, with its own flag or without: the new tag
    // has no such flag, so the frames come over decoded, their own flag cleared.
    {"version 2.4 tag-wide unsynchronisation undone",
     id3_tag(4, 0x80,
             S("TXXX") + syncsafe(6) + B({0, 0}) + B({0, 'k', 0, 0xFF, 0x00, 0xE0}) + S("TPE2") +
                 syncsafe(5) + B({0x40, 0x02}) + B({0, 0xFF, 0x00, 0x00, 'x'})),
     "{}",
     id3_frame4("TXXX", B({0, 'k', 0, 0xFF, 0xE0})) + S("TPE2") + syncsafe(4) + B({0x40, 0x00}) +
         B({0, 0xFF, 0x00, 'x'})},
    {"zero-size frames and odd identifiers dropped",
     id3_tag(4, 0,
             S("TPE3") + syncsafe(0) + B({0, 0}) + id3_frame4("TPE1", id3_text("A")) +
                 id3_frame4("Tx!1", id3_text("odd")) + id3_frame4("TALB", id3_text("L"))),
     "{}", id3_frame4("TPE1", id3_text("A")) + id3_frame4("TALB", id3_text("L"))},
    {"pictures kept in order after the other frames",
     id3_tag(4, 0,
             id3_frame4("APIC", apic(4, "BACK")) + id3_frame4("TIT2", id3_text("T")) +
                 id3_frame4("APIC", apic(3, "FRONT"))),
     "{\"artist\":\"A\"}",
     id3_frame4("TPE1", id3_text("A")) + id3_frame4("TIT2", id3_text("T")) +
         id3_frame4("APIC", apic(4, "BACK")) + id3_frame4("APIC", apic(3, "FRONT"))},
    {"a new cover replaces only the front covers",
     id3_tag(4, 0,
             id3_frame4("APIC", apic(3, "OLDFRONT")) + id3_frame4("TIT2", id3_text("T")) +
                 id3_frame4("APIC", apic(4, "BACK")) + id3_frame4("APIC", B({0}) + S("image/png"))),
     nullptr,
     id3_frame4("TIT2", id3_text("T")) + id3_frame4("APIC", apic(4, "BACK")) +
         id3_frame4("APIC", B({0}) + S("image/png")) + new_apic()},
    // Version 2.2 pictures carry their type after a three-letter image format.
    {"a new cover replaces a version 2.2 front cover",
     id3_tag(2, 0,
             S("PIC") + be24(11) + B({0}) + S("PNG") + B({3, 0}) + S("FRONT") + S("TT2") + be24(2) +
                 B({0, 'T'}) + S("PIC") + be24(10) + B({0}) + S("PNG") + B({4, 0}) + S("BACK")),
     nullptr,
     id3_frame4("TIT2", B({0, 'T'})) +
         id3_frame4("APIC", B({0}) + S("image/png") + B({0, 4, 0}) + S("BACK")) + new_apic()},
    // New pairs join the first frame of their kind; a later one keeps its own pairs.
    {"a new involved-people pair joins the first pair frame only",
     id3_tag(4, 0,
             id3_frame4("TIPL", id3_text(std::string("mix\0M", 5))) +
                 id3_frame4("TIT2", id3_text("T")) +
                 id3_frame4("TIPL", id3_text(std::string("producer\0P", 10)))),
     "{\"properties\":{\"ARRANGER\":[\"A\"]}}",
     id3_frame4("TIPL", id3_text(std::string("mix\0M\0arranger\0A", 16))) +
         id3_frame4("TIT2", id3_text("T")) +
         id3_frame4("TIPL", id3_text(std::string("producer\0P", 10)))},
    // Version 2.2 frames take their later identifiers, PIC its MIME type; frames without a later
    // form (CRM, unknown identifiers) go.
    {"version 2.2 frames take their version 2.4 form",
     id3_tag(2, 0,
             S("TT2") + be24(3) + B({0, 'T', '2'}) + S("COM") + be24(5) + B({0}) + S("eng") +
                 B({0}) + S("XYZ") + be24(1) + B({0}) + S("TCP") + be24(2) + B({0, '1'}) +
                 S("PIC") + be24(6) + B({0}) + S("PNG") + B({4, 0}) + S("TYE") + be24(5) + B({0}) +
                 S("2004") + S("TDA") + be24(5) + B({0}) + S("0311")),
     "{\"genre\":\"G\"}",
     id3_frame4("TCON", id3_text("G")) + id3_frame4("TIT2", B({0, 'T', '2'})) +
         id3_frame4("COMM", B({0}) + S("eng") + B({0})) + id3_frame4("TCMP", B({0, '1'})) +
         id3_frame4("TDRC", B({0}) + S("2004-11-03")) +
         id3_frame4("APIC", B({0}) + S("image/png") + B({0, 4, 0}))},
};
INSTANTIATE_TEST_SUITE_P(OldTags, Carry, ::testing::ValuesIn(kCarryCases),
                         [](const ::testing::TestParamInfo<CarryCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 ch = isalnum((unsigned char)ch) ? ch : '_';
                             return name;
                         });

// Tags and frames of 2 MiB and more use the top byte of their syncsafe sizes. Through the public
// functions: a hand-made version 2.4 tag with a 3 MB picture is read and rewritten, then a cover
// of 3 MB is set; each time the picture comes back exactly and the audio follows the tag whole.
TEST(Mp3Write, TagsOfTwoMiBAndMore) {
    auto pattern = [](size_t n, uint8_t seed) {
        Bytes out(n);
        for (size_t i = 0; i < n; i++)
            out[i] = (uint8_t)(i * 251 + i / 4093 + seed);
        return out;
    };
    const Bytes audio = kAudio + pattern(100000, 3);
    const Bytes first = kPng + pattern(3000000, 1);
    const Bytes second = kPng + pattern(3100000, 2);
    TempDir dir;
    std::string song = dir.file("song.mp3");
    std::string picture = dir.file("second.png");
    std::string out = dir.file("out.png");
    Bytes apic = B({3}) + S("image/png") + B({0, 3, 0}) + first;
    ASSERT_TRUE(write_file(
        song,
        id3_tag(4, 0, id3_frame4("TIT2", id3_text("Old")) + id3_frame4("APIC", apic)) + audio));
    ASSERT_TRUE(write_file(picture, second));

    // The tag's size field counts exactly the bytes before the audio, which is the file's tail.
    auto expect_tag_then_audio = [&]() {
        Bytes now = read_file(song);
        ASSERT_GT(now.size(), audio.size() + (2u << 20));
        EXPECT_EQ(hex(Bytes(now.begin() + 6, now.begin() + 10)),
                  hex(syncsafe((uint32_t)(now.size() - 10 - audio.size()))));
        EXPECT_TRUE(Bytes(now.end() - (long)audio.size(), now.end()) == audio)
            << "the audio was not kept";
    };
    auto expect_cover = [&](const Bytes& want) {
        remove(out.c_str());
        ASSERT_EQ(id3_extract_cover(song.c_str(), out.c_str()), 0) << id3_last_error();
        Bytes got = read_file(out);
        EXPECT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "the picture bytes differ";
    };

    expect_cover(first);
    ASSERT_EQ(id3_write(song.c_str(), "{\"title\":\"New\"}"), 0) << id3_last_error();
    expect_tag_then_audio();
    expect_cover(first);
    char* json = id3_read(song.c_str());
    ASSERT_NE(json, nullptr) << id3_last_error();
    EXPECT_NE(std::string(json).find("\"title\":\"New\""), std::string::npos) << json;
    id3_free_string(json);

    ASSERT_EQ(id3_set_cover(song.c_str(), picture.c_str()), 0) << id3_last_error();
    expect_tag_then_audio();
    expect_cover(second);
}

// Large pictures are written from where they lie (the old tag's bytes, the record's cover), between
// the frames the writer builds: the new file is byte for byte the one a single buffer gives.
TEST(Mp3Write, LargePicturesBetweenBuiltFrames) {
    const Bytes big_front = kPng + repeat(0xA1, 200000);
    const Bytes big_back = kPng + repeat(0xB2, ID3_BORROW_MIN);
    const Bytes small = kPng + repeat(0xC3, 100);
    auto picture = [](int type, const Bytes& data) {
        return B({3}) + S("image/png") + B({0, type, 0}) + data;
    };
    const Bytes user_text = B({3}) + S("k") + B({0}) + S("v");
    struct Case {
        const char* name;
        int major;
        Bytes old_frames;
    } cases[] = {
        {"version 2.4, frames byte for byte", 4,
         id3_frame4("TIT2", id3_text("Old")) + id3_frame4("APIC", picture(3, big_front)) +
             id3_frame4("TXXX", user_text) + id3_frame4("APIC", picture(4, big_back)) +
             id3_frame4("APIC", picture(5, small))},
        {"version 2.3, frames in their version 2.4 form", 3,
         id3_frame3("TIT2", id3_text("Old")) + id3_frame3("APIC", picture(3, big_front)) +
             id3_frame3("TXXX", user_text) + id3_frame3("APIC", picture(4, big_back)) +
             id3_frame3("APIC", picture(5, small))},
    };
    const Bytes want_frames = id3_frame4("TIT2", id3_text("New")) + id3_frame4("TXXX", user_text) +
                              id3_frame4("APIC", picture(3, big_front)) +
                              id3_frame4("APIC", picture(4, big_back)) +
                              id3_frame4("APIC", picture(5, small));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string song = dir.file("song.mp3");
        ASSERT_TRUE(write_file(song, id3_tag(c.major, 0, c.old_frames) + kAudio));
        ASSERT_EQ(id3_write(song.c_str(), "{\"title\":\"New\"}"), 0) << id3_last_error();
        EXPECT_TRUE(read_file(song) == new_tag(want_frames) + kAudio);

        // A new cover of its own: the old front cover gives way to it, last.
        const Bytes cover = kPng + repeat(0xD4, 150000);
        std::string image = dir.file("cover.png");
        ASSERT_TRUE(write_file(image, cover));
        ASSERT_EQ(id3_set_cover(song.c_str(), image.c_str()), 0) << id3_last_error();
        Bytes want = id3_frame4("TIT2", id3_text("New")) + id3_frame4("TXXX", user_text) +
                     id3_frame4("APIC", picture(4, big_back)) +
                     id3_frame4("APIC", picture(5, small)) +
                     id3_frame4("APIC", B({3}) + S("image/png") + B({0, 3, 0}) + cover);
        EXPECT_TRUE(read_file(song) == new_tag(want) + kAudio);
    }
}

// --- Failures ------------------------------------------------------------------------------

// The MP3 and FLAC writers keep the message of the step that failed, and the file as it was. One
// row per writer.
struct WriterCase {
    int32_t format;
    const char* name;
    Bytes content;
};
const WriterCase kWriterCases[] = {
    {ID3_FMT_MP3, "song.mp3", kAudio},
    {ID3_FMT_FLAC, "song.flac", S("fLaC") + flac_block(0, repeat(0x11, 34), true) + flac_audio(10)},
};

int write_title(const WriterCase& c, const std::string& path) {
    Fields f;
    f.title = "x";
    Record r(f);
    id3_clear_error();
    return c.format == ID3_FMT_MP3 ? write_record_mp3(path.c_str(), &r.t)
                                   : write_record_flac(path.c_str(), &r.t, 0);
}

TEST(WriterFailure, MissingFileKeepsTheReadMessage) {
    for (const WriterCase& c : kWriterCases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file(c.name);
        EXPECT_EQ(write_title(c, path), -1);
        EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + path + " (", 0), 0u)
            << id3_last_error();
        EXPECT_TRUE(list_dir(dir.path).empty());
    }
}

TEST(WriterFailure, ReplacementMessageIsKept) {
    // A target that cannot be replaced (read-only on POSIX, held open without delete sharing on
    // Windows) makes the replacement fail; its message, not the writer's generic one, is what the
    // caller sees, and the target keeps its contents.
    for (const WriterCase& c : kWriterCases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file(c.name);
        ASSERT_TRUE(write_file(path, c.content));
#ifdef _WIN32
        HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
#else
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
#endif
        EXPECT_EQ(write_title(c, path), -1);
        EXPECT_EQ(std::string(id3_last_error()),
                  "cannot replace target (read-only or locked): " + path);
#ifdef _WIN32
        CloseHandle(held);
#else
        chmod(path.c_str(), 0644);
#endif
        EXPECT_EQ(read_file(path), c.content);
    }
}

// Address space that cannot be read: a writer that touched these bytes would crash, so a
// refusal is proven to come before any copy. Nothing is committed, so no memory is used.
struct NoAccessRegion {
    uint8_t* p = nullptr;
    size_t size;
    explicit NoAccessRegion(size_t n) : size(n) {
#ifdef _WIN32
        p = (uint8_t*)VirtualAlloc(nullptr, n, MEM_RESERVE, PAGE_NOACCESS);
#else
        void* m = mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        p = m == MAP_FAILED ? nullptr : (uint8_t*)m;
#endif
    }
    ~NoAccessRegion() {
        if (!p)
            return;
#ifdef _WIN32
        VirtualFree(p, 0, MEM_RELEASE);
#else
        munmap(p, size);
#endif
    }
};

TEST(Mp3WriteFailure, TagBeyondSyncsafeSizesIsRefusedBeforeWriting) {
    const uint64_t kLimit = 1u << 28; // a syncsafe size holds at most kLimit - 1
    NoAccessRegion region((size_t)kLimit);
    ASSERT_NE(region.p, nullptr);
    struct Case {
        const char* name;
        const char* title;
        uint64_t cover_size;
    };
    // The picture body is "image/png" (9 bytes) + 4 + the picture.
    const Case cases[] = {
        {"picture_body_of_2^28", nullptr, kLimit - 13},
        {"picture_body_just_fits_but_tag_does_not", nullptr, kLimit - 1 - 13},
        {"padding_tips_the_tag_over", nullptr, kLimit - 1 - 1024 - 10 - 13 + 1},
        {"text_tips_the_tag_over", "t", kLimit - 1 - 1024 - 10 - 13 - 12 + 1},
        {"picture_larger_than_any_tag", nullptr, kLimit * 64},
        {"picture_size_near_overflow", nullptr, UINT64_MAX - 5},
        // 1024 + 10 + 13 + this count wraps around to 6.
        {"picture_size_that_wraps_the_sum", nullptr, UINT64_MAX - 1040},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file("song.mp3");
        ASSERT_TRUE(write_file(path, kAudio));
        id3_record t;
        id3_record_init(&t);
        t.title = (char*)c.title;
        t.cover_data = region.p;
        t.cover_size = c.cover_size;
        strcpy(t.cover_mime, "image/png");
        id3_set_error("an earlier step's message");
        EXPECT_EQ(write_record_mp3(path.c_str(), &t), -1);
        EXPECT_STREQ(id3_last_error(), "tag too large for ID3v2");
        EXPECT_EQ(read_file(path), kAudio);
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.mp3"});
    }
}

} // namespace
