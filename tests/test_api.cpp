// The exported functions end to end, through the public header only, on files built in the tests:
// tag writing with its merge, cover extraction and setting, and batch writing.
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "test_watchdog.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

namespace {

// ID3v2.3 text frame with ISO-8859-1 text.
Bytes v3_text(const char* id, const std::string& text) {
    return id3_frame3(id, id3_text(text, 0));
}
Bytes v3_apic(const std::string& mime, const Bytes& picture) {
    return id3_frame3("APIC", B({0}) + S(mime) + B({0, 3, 0}) + picture);
}
// MPEG 1 layer III at 128 kbit/s and 44.1 kHz: a 417-byte frame, then the next frame's header.
const Bytes kAudio = B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0x11, 413) + B({0xFF, 0xFB, 0x90, 0x64});
const Bytes kJpeg = B({0xFF, 0xD8, 0xFF, 0xE0}) + S("fake jpeg body") + B({0xFF, 0xD9});
const Bytes kPng = B({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}) + S("fake png");

Bytes tagged_mp3() {
    return id3_tag(3, 0,
                   v3_text("TIT2", "Old Title") + v3_text("TPE1", "Artist") +
                       v3_text("TALB", "Album") + v3_text("TCON", "Rock") +
                       v3_text("TYER", "1999") + v3_text("TRCK", "3/12") +
                       v3_apic("image/jpeg", kJpeg)) +
           kAudio;
}

const Bytes kFlacFrames = B({0xFF, 0xF8, 0x69, 0x08}) + repeat(0x22, 300);
Bytes tagged_flac() {
    return S("fLaC") + flac_block(0, repeat(0x10, 34)) +
           flac_block(4,
                      vorbis_comment("tester", {"TITLE=Old Title", "ARTIST=Artist", "ALBUM=Album",
                                                "GENRE=Rock", "DATE=1999", "TRACKNUMBER=3/12"})) +
           flac_block(6, flac_picture(3, "image/jpeg", "", kJpeg, 1, 1, 24)) +
           flac_block(1, repeat(0, 64), true) + kFlacFrames;
}

Bytes tagged_m4a() {
    Bytes ilst =
        mp4_atom("\xA9nam", mp4_data(S("M4A Title"))) + mp4_atom("covr", mp4_data(kPng, 13));
    Bytes meta = be32(0) + mp4_atom("hdlr", repeat(0, 25)) + mp4_atom("ilst", ilst);
    return mp4_atom("ftyp", S("M4A ") + be32(0) + S("isomM4A ")) +
           mp4_atom("moov", mp4_atom("udta", mp4_atom("meta", meta))) +
           mp4_atom("mdat", repeat(0x33, 50));
}

std::string read_json(const std::string& path) {
    char* text = id3_read(path.c_str());
    if (!text)
        return std::string("ERROR: ") + id3_last_error();
    std::string out = text;
    id3_free_string(text);
    return out;
}

std::string obj(const char* title, const char* artist, const char* album, const char* genre,
                const char* date, const char* track, const char* format, const char* mime) {
    std::string s = std::string("{\"title\":\"") + title + "\",\"artist\":\"" + artist +
                    "\",\"album\":\"" + album + "\",\"genre\":\"" + genre + "\",\"date\":\"" +
                    date + "\",\"track\":\"" + track + "\",\"format\":\"" + format +
                    "\",\"has_cover\":" + (mime ? "true" : "false");
    if (mime)
        s += std::string(",\"cover_mime\":\"") + mime + "\"";
    return s + "}";
}

Bytes extract(const std::string& path, const TempDir& dir) {
    std::string out = dir.file("extracted.bin");
    if (id3_extract_cover(path.c_str(), out.c_str()) != 0)
        return S("ERROR: ") + S(id3_last_error());
    return read_file(out);
}

} // namespace

TEST(Write, MergesMembersIntoTheFileTags) {
    struct Case {
        const char* json;
        const char* title;
        const char* artist;
        const char* date;
    } cases[] = {
        {"{\"title\":\"New\"}", "New", "Artist", "1999"},
        {"{}", "Old Title", "Artist", "1999"},
        {"{\"artist\":\"\"}", "Old Title", "", "1999"},
        // null removes the tag, a number is ignored
        {"{\"title\":null,\"artist\":7}", "", "Artist", "1999"},
        {"{\"year\":\"2024\"}", "Old Title", "Artist", "2024"},
        {"{\"title\":\"caf\xC3\xA9 \\\"q\\\"\"}", "caf\xC3\xA9 \\\"q\\\"", "Artist", "1999"},
    };
    for (const Case& c : cases) {
        for (int flac = 0; flac < 2; flac++) {
            TempDir dir;
            std::string path = dir.file(flac ? "a.flac" : "a.mp3");
            ASSERT_TRUE(write_file(path, flac ? tagged_flac() : tagged_mp3()));
            ASSERT_EQ(id3_write(path.c_str(), c.json), 0) << c.json << ": " << id3_last_error();
            EXPECT_STREQ(id3_last_error(), "");
            EXPECT_EQ(read_json(path), obj(c.title, c.artist, "Album", "Rock", c.date, "3/12",
                                           flac ? "flac" : "mp3", "image/jpeg"))
                << c.json;
            // The cover survives the write byte for byte.
            EXPECT_EQ(extract(path, dir), kJpeg) << c.json;
            // The audio follows the new tag unchanged.
            Bytes after = read_file(path);
            const Bytes& audio = flac ? kFlacFrames : kAudio;
            ASSERT_GE(after.size(), audio.size());
            EXPECT_EQ(Bytes(after.end() - (long)audio.size(), after.end()), audio);
        }
    }
}

TEST(Write, ReadObjectPassedBackIsAFixedPoint) {
    for (int flac = 0; flac < 2; flac++) {
        TempDir dir;
        std::string path = dir.file("x");
        ASSERT_TRUE(write_file(path, flac ? tagged_flac() : tagged_mp3()));
        std::string first = read_json(path);
        ASSERT_EQ(id3_write(path.c_str(), first.c_str()), 0) << id3_last_error();
        EXPECT_EQ(read_json(path), first);
        // A second identical write leaves the same bytes.
        Bytes once = read_file(path);
        ASSERT_EQ(id3_write(path.c_str(), first.c_str()), 0) << id3_last_error();
        EXPECT_EQ(read_file(path), once);
    }
}

TEST(Write, BytesThatAreNotUtf8PassBackUnchanged) {
    // A FLAC comment holding a Latin-1 byte comes out of id3_read as that byte.
    TempDir dir;
    std::string path = dir.file("latin1.flac");
    Bytes flac = S("fLaC") + flac_block(0, repeat(0x10, 34)) +
                 flac_block(4, vorbis_comment("tester", {"TITLE=Caf\xE9", "ARTIST=A"}), true) +
                 kFlacFrames;
    ASSERT_TRUE(write_file(path, flac));
    std::string first = read_json(path);
    ASSERT_EQ(first, obj("Caf\xE9", "A", "", "", "", "", "flac", nullptr));
    ASSERT_EQ(id3_write(path.c_str(), first.c_str()), 0) << id3_last_error();
    EXPECT_EQ(read_json(path), first);
    Bytes after = read_file(path);
    const Bytes comment = S("TITLE=Caf\xE9");
    EXPECT_NE(std::search(after.begin(), after.end(), comment.begin(), comment.end()), after.end());
    // A new value with such a byte is stored as given.
    ASSERT_EQ(id3_write(path.c_str(), "{\"artist\":\"\xFF\xFE\"}"), 0) << id3_last_error();
    EXPECT_EQ(read_json(path), obj("Caf\xE9", "\xFF\xFE", "", "", "", "", "flac", nullptr));
}

TEST(Write, Id3v22FileKeepsItsTags) {
    // Version 2.2 frames: 3-character identifier, 24-bit size. A picture of format "GIF" has no
    // MIME type, so the object has no "cover_mime".
    Bytes texts = id3_frame2("TT2", B({0}) + S("Old")) + id3_frame2("TP1", B({0}) + S("Artist")) +
                  id3_frame2("TAL", B({0}) + S("Album")) + id3_frame2("TYE", B({0}) + S("1999")) +
                  id3_frame2("TRK", B({0}) + S("3/12"));
    TempDir dir;
    std::string gif = dir.file("gif.mp3"), jpg = dir.file("jpg.mp3");
    ASSERT_TRUE(write_file(
        gif,
        id3_tag(2, 0, texts + id3_frame2("PIC", B({0}) + S("GIF") + B({3, 0}) + kPng)) + kAudio));
    EXPECT_EQ(read_json(gif), "{\"title\":\"Old\",\"artist\":\"Artist\",\"album\":\"Album\","
                              "\"genre\":\"\",\"date\":\"1999\",\"track\":\"3/12\",\"format\":"
                              "\"mp3\",\"has_cover\":true}");
    EXPECT_EQ(extract(gif, dir), kPng);
    // A write naming one field keeps what the version 2.2 tag held.
    ASSERT_TRUE(write_file(
        jpg,
        id3_tag(2, 0, texts + id3_frame2("PIC", B({0}) + S("JPG") + B({3, 0}) + kJpeg)) + kAudio));
    EXPECT_EQ(read_json(jpg),
              obj("Old", "Artist", "Album", "", "1999", "3/12", "mp3", "image/jpeg"));
    ASSERT_EQ(id3_write(jpg.c_str(), "{\"genre\":\"Rock\"}"), 0) << id3_last_error();
    EXPECT_EQ(read_json(jpg),
              obj("Old", "Artist", "Album", "Rock", "1999", "3/12", "mp3", "image/jpeg"));
    EXPECT_EQ(extract(jpg, dir), kJpeg);
}

TEST(Write, FrameSyncMp3GetsANewTag) {
    TempDir dir;
    std::string path = dir.file("bare.mp3");
    ASSERT_TRUE(write_file(path, kAudio));
    ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"Hi\",\"track\":\"7\"}"), 0) << id3_last_error();
    EXPECT_EQ(read_json(path), obj("Hi", "", "", "", "", "7", "mp3", nullptr));
    Bytes after = read_file(path);
    EXPECT_EQ(Bytes(after.end() - (long)kAudio.size(), after.end()), kAudio);
}

TEST(Write, ShortId3FileIsRewrittenAndKeepsTheReaderMessage) {
    TempDir dir;
    std::string path = dir.file("short.mp3");
    ASSERT_TRUE(write_file(path, S("ID3") + B({3, 0, 0})));
    ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"T\"}"), 0);
    EXPECT_STREQ(id3_last_error(), "too short for ID3");
    EXPECT_EQ(read_json(path), obj("T", "", "", "", "", "", "mp3", nullptr));
    // The six old bytes follow the new tag as audio.
    Bytes after = read_file(path);
    EXPECT_EQ(Bytes(after.end() - 6, after.end()), S("ID3") + B({3, 0, 0}));
}

TEST(Write, FailuresLeaveTheFileUnchanged) {
    TempDir dir;
    struct Case {
        const char* name;
        Bytes content;
        const char* json;
        const char* message;
    } cases[] = {
        {"fragmented m4a", tagged_m4a() + mp4_atom("moof", repeat(0, 8)), "{\"title\":\"x\"}",
         "fragmented MP4 (moof) write unsupported"},
        {"unknown", S("just some text here"), "{}", "unsupported format for write"},
        {"empty", {}, "{}", "unsupported format for write"},
        {"three bytes", S("ID3"), "{}", "unsupported format for write"},
        // A damaged tag size: taking the whole file for the tag would drop its audio.
        {"tag past the end", S("ID3") + B({4, 0, 0}) + syncsafe(960960) + kAudio,
         "{\"title\":\"x\"}", "ID3v2 tag runs past the end of the file"},
        {"tag one byte past the end",
         S("ID3") + B({3, 0, 0}) + syncsafe((uint32_t)kAudio.size() + 1) + kAudio, "{}",
         "ID3v2 tag runs past the end of the file"},
        // Files that only look like MP3 at their first bytes.
        {"text beginning with ID3", S("ID3 tags, a how-to\n\nStep one: ...\n"), "{}",
         "unsupported format for write"},
        {"ID3 with a plain size", S("ID3") + B({4, 0, 0, 0, 0, 0x01, 0x80}) + kAudio, "{}",
         "unsupported format for write"},
        {"UTF-16 text", B({0xFF, 0xFE, 'a', 0, '=', 0, '1', 0, '\r', 0, '\n', 0}), "{}",
         "unsupported format for write"},
        {"invalid json", tagged_mp3(), "{\"title\":", "invalid tags JSON"},
        {"array json", tagged_flac(), "[\"title\"]", "tags JSON must be object"},
        {"nul in value", tagged_mp3(), "{\"title\":\"a\\u0000b\"}",
         "NUL character in tag value: title"},
        {"nul in year", tagged_flac(), "{\"year\":\"1999\\u0000\"}",
         "NUL character in tag value: year"},
    };
    for (const Case& c : cases) {
        std::string path = dir.file(c.name);
        ASSERT_TRUE(write_file(path, c.content));
        EXPECT_EQ(id3_write(path.c_str(), c.json), -1) << c.name;
        EXPECT_STREQ(id3_last_error(), c.message) << c.name;
        EXPECT_EQ(read_file(path), c.content) << c.name;
    }
    EXPECT_EQ(list_dir(dir.path).size(), std::size(cases)); // no temporary file left
    // The JSON is judged before the file is looked at.
    std::string missing = dir.file("missing.mp3");
    EXPECT_EQ(id3_write(missing.c_str(), "nope"), -1);
    EXPECT_STREQ(id3_last_error(), "invalid tags JSON");
    EXPECT_EQ(id3_write(missing.c_str(), "{\"album\":\"\\u0000\"}"), -1);
    EXPECT_STREQ(id3_last_error(), "NUL character in tag value: album");
    EXPECT_EQ(id3_write(missing.c_str(), "{}"), -1);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + missing + " (", 0), 0u);
}

TEST(Cover, ExtractFromEachContainer) {
    TempDir dir;
    struct Case {
        const char* name;
        Bytes content;
        Bytes cover;
    } cases[] = {
        {"a.mp3", tagged_mp3(), kJpeg},
        {"a.flac", tagged_flac(), kJpeg},
        {"a.m4a", tagged_m4a(), kPng},
    };
    for (const Case& c : cases) {
        std::string path = dir.file(c.name);
        ASSERT_TRUE(write_file(path, c.content));
        std::string out = dir.file("cover.out");
        ASSERT_TRUE(write_file(out, repeat('z', 5000))); // an existing file is overwritten
        ASSERT_EQ(id3_extract_cover(path.c_str(), out.c_str()), 0) << id3_last_error();
        EXPECT_EQ(read_file(out), c.cover) << c.name;
    }
}

TEST(Cover, ExtractFailures) {
    TempDir dir;
    std::string bare = dir.file("bare.mp3");
    ASSERT_TRUE(write_file(bare, kAudio));
    std::string out = dir.file("out.jpg");
    EXPECT_EQ(id3_extract_cover(bare.c_str(), out.c_str()), -1);
    EXPECT_STREQ(id3_last_error(), "no cover art");
    EXPECT_FALSE(file_exists(out));

    std::string tagged = dir.file("t.mp3");
    ASSERT_TRUE(write_file(tagged, tagged_mp3()));
    std::string unwritable = dir.file("no/such/dir/out.jpg");
    EXPECT_EQ(id3_extract_cover(tagged.c_str(), unwritable.c_str()), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot create temp: " + dir.file("no/such/dir") + " (No such file or directory)");

    std::string text = dir.file("t.txt");
    ASSERT_TRUE(write_file(text, S("plain text file")));
    EXPECT_EQ(id3_extract_cover(text.c_str(), out.c_str()), -1);
    EXPECT_STREQ(id3_last_error(), "unsupported or unrecognized format");
    EXPECT_FALSE(file_exists(out));
}

TEST(Cover, SetLabelsAndKeepsTheTextTags) {
    const Bytes png7 = B({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A});
    const Bytes gif = S("GIF89a") + repeat(1, 20);
    struct Case {
        const char* name;
        Bytes picture;
        const char* mime;
    } cases[] = {
        {"png", kPng, "image/png"},
        {"png start only, 8 bytes", B({0x89, 'P', 'N', 'G', 0, 0, 0, 0}), "image/png"},
        {"png start, 7 bytes", png7, "image/jpeg"},
        {"gif", gif, "image/gif"},
        {"gif87a", S("GIF87a") + repeat(2, 10), "image/gif"},
        {"gif8 only", S("GIF8") + repeat(2, 10), "image/jpeg"},
        {"webp", S("RIFF") + le32(20) + S("WEBPVP8 ") + repeat(3, 12), "image/webp"},
        {"riff of another form", S("RIFF") + le32(20) + S("WAVEfmt ") + repeat(3, 12),
         "image/jpeg"},
        {"bmp", S("BM") + le32(30) + repeat(0, 24), "image/bmp"},
        {"bmp start, 13 bytes", S("BM") + repeat(0, 11), "image/jpeg"},
        {"jpeg", kJpeg, "image/jpeg"},
    };
    for (const Case& c : cases) {
        for (int flac = 0; flac < 2; flac++) {
            TempDir dir;
            std::string path = dir.file(flac ? "a.flac" : "a.mp3");
            ASSERT_TRUE(write_file(path, flac ? tagged_flac() : tagged_mp3()));
            std::string pic = dir.file("pic");
            ASSERT_TRUE(write_file(pic, c.picture));
            ASSERT_EQ(id3_set_cover(path.c_str(), pic.c_str()), 0) << id3_last_error();
            EXPECT_EQ(read_json(path), obj("Old Title", "Artist", "Album", "Rock", "1999", "3/12",
                                           flac ? "flac" : "mp3", c.mime))
                << c.name;
            EXPECT_EQ(extract(path, dir), c.picture) << c.name;
        }
    }
}

TEST(Cover, EmptyPictureFile) {
    TempDir dir;
    std::string pic = dir.file("empty.jpg");
    ASSERT_TRUE(write_file(pic, {}));
    // MP3: no picture frame for an empty cover, so the file ends up without one.
    std::string mp3 = dir.file("a.mp3");
    ASSERT_TRUE(write_file(mp3, tagged_mp3()));
    ASSERT_EQ(id3_set_cover(mp3.c_str(), pic.c_str()), 0) << id3_last_error();
    EXPECT_EQ(read_json(mp3),
              obj("Old Title", "Artist", "Album", "Rock", "1999", "3/12", "mp3", nullptr));
    // FLAC: the picture block is forced, with no data bytes; it still counts as a cover.
    std::string flac = dir.file("a.flac");
    ASSERT_TRUE(write_file(flac, tagged_flac()));
    ASSERT_EQ(id3_set_cover(flac.c_str(), pic.c_str()), 0) << id3_last_error();
    EXPECT_EQ(read_json(flac),
              obj("Old Title", "Artist", "Album", "Rock", "1999", "3/12", "flac", "image/jpeg"));
    std::string out = dir.file("out");
    EXPECT_EQ(id3_extract_cover(flac.c_str(), out.c_str()), -1);
    EXPECT_STREQ(id3_last_error(), "no cover art");
    EXPECT_FALSE(file_exists(out));
}

TEST(Cover, SetFailures) {
    TempDir dir;
    std::string pic = dir.file("p.png");
    ASSERT_TRUE(write_file(pic, kPng));
    struct Case {
        const char* name;
        Bytes content;
        const char* message;
    } cases[] = {
        {"a.m4a", tagged_m4a() + mp4_atom("moof", repeat(0, 8)),
         "fragmented MP4 (moof) write unsupported"},
        {"a.txt", S("not audio at all"), "cover set unsupported for this format"},
        {"tiny", S("ab"), "cover set unsupported for this format"},
    };
    for (const Case& c : cases) {
        std::string path = dir.file(c.name);
        ASSERT_TRUE(write_file(path, c.content));
        EXPECT_EQ(id3_set_cover(path.c_str(), pic.c_str()), -1) << c.name;
        EXPECT_STREQ(id3_last_error(), c.message) << c.name;
        EXPECT_EQ(read_file(path), c.content) << c.name;
    }
    // The picture is read first: a missing picture is reported even for an unsupported file.
    std::string missing = dir.file("missing.png");
    std::string txt = dir.file("a.txt");
    EXPECT_EQ(id3_set_cover(txt.c_str(), missing.c_str()), -1);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + missing + " (", 0), 0u);
    std::string no_audio = dir.file("none.mp3");
    EXPECT_EQ(id3_set_cover(no_audio.c_str(), pic.c_str()), -1);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + no_audio + " (", 0), 0u);
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"a.m4a", "a.txt", "p.png", "tiny"}));
}

// Two folders hold the same names with the same bytes.
static void expect_same_files(const TempDir& got, const TempDir& want) {
    EXPECT_EQ(list_dir(got.path), list_dir(want.path));
    for (const std::string& name : list_dir(want.path))
        EXPECT_EQ(read_file(got.file(name)), read_file(want.file(name))) << name;
}

TEST(Batch, CountsAndTheLastMessage) {
    TempDir dir;
    std::string a = dir.file("a.mp3"), b = dir.file("b.flac"), missing = dir.file("missing.mp3");
    ASSERT_TRUE(write_file(a, tagged_mp3()));
    ASSERT_TRUE(write_file(b, tagged_flac()));
    auto arr = [](std::initializer_list<std::string> items) {
        std::string s = "[";
        for (const std::string& i : items)
            s += (s.size() > 1 ? "," : "") + i;
        return s + "]";
    };
    auto q = [](const std::string& p) { return "\"" + p + "\""; };
    const std::string tags = "{\"album\":\"Batch\"}";

    EXPECT_EQ(id3_batch("[]", tags.c_str()), 0);
    EXPECT_STREQ(id3_last_error(), "");

    std::string mixed = arr({q(a), "1", "null", "[" + q(b) + "]", "{\"p\":" + q(b) + "}", q(b)});
    EXPECT_EQ(id3_batch(mixed.c_str(), tags.c_str()), 2);
    EXPECT_EQ(read_json(a),
              obj("Old Title", "Artist", "Batch", "Rock", "1999", "3/12", "mp3", "image/jpeg"));
    EXPECT_EQ(read_json(b),
              obj("Old Title", "Artist", "Batch", "Rock", "1999", "3/12", "flac", "image/jpeg"));

    EXPECT_EQ(id3_batch(arr({q(missing), q(a)}).c_str(), tags.c_str()), 1);
    EXPECT_STREQ(id3_last_error(), "");
    EXPECT_EQ(id3_batch(arr({q(a), q(missing)}).c_str(), tags.c_str()), 1);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + missing, 0), 0u);
    // A path listed twice is written and counted twice.
    EXPECT_EQ(id3_batch(arr({q(a), q(a)}).c_str(), tags.c_str()), 2);
}

#ifndef _WIN32
// Whether a child ended within 10 seconds; one that did not is killed.
static bool ended_in_time(pid_t child, int* status) {
    for (int waited = 0; waited < 100; waited++) {
        if (waitpid(child, status, WNOHANG) != 0)
            return true;
        usleep(100 * 1000);
    }
    kill(child, SIGKILL);
    waitpid(child, status, 0);
    return false;
}

// A path that names a FIFO, a device or a folder is refused at once by every call that opens it.
// Each call runs in a child process, so that one which waited on the FIFO fails the test instead
// of hanging it.
TEST(Paths, OnlyRegularFilesAreOpenedAndNothingWaits) {
    TempDir dir;
    std::string fifo = dir.file("pipe.mp3");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string picture = dir.file("p.png");
    ASSERT_TRUE(write_file(picture, kPng));
    std::string out = dir.file("out.jpg");
    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {{fifo, "not a regular file"},
                 {"/dev/null", "not a regular file"},
                 {dir.path, "Is a directory"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string want = "cannot open: " + c.path + " (" + c.reason + ")";
        for (int call = 0; call < 5; call++) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                bool failed;
                switch (call) {
                case 0: {
                    char* json = id3_read(c.path.c_str());
                    failed = json == nullptr;
                    id3_free_string(json);
                    break;
                }
                case 1:
                    failed = id3_write(c.path.c_str(), "{\"title\":\"x\"}") == -1;
                    break;
                case 2:
                    failed = id3_extract_cover(c.path.c_str(), out.c_str()) == -1;
                    break;
                case 3:
                    failed = id3_set_cover(c.path.c_str(), picture.c_str()) == -1;
                    break;
                default: // the picture path
                    failed = id3_set_cover(picture.c_str(), c.path.c_str()) == -1;
                    break;
                }
                _exit(failed && want == id3_last_error() ? 0 : 1);
            }
            int status = 0;
            if (!ended_in_time(child, &status)) {
                ADD_FAILURE() << "call " << call << " waited on the path";
                continue;
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "call " << call << " did not fail with: " << want;
        }
    }
}

// A cover is saved only to a regular file or a new name: a FIFO or a folder is refused
// at once, and so is the source file itself under any of its names (the song would be replaced by
// its picture). Each call runs in a child, so that one which waited fails the test.
TEST(Cover, ExtractRefusesOutputsThatAreNotANewFile) {
    TempDir dir;
    std::string song = dir.file("song.mp3");
    ASSERT_TRUE(write_file(song, tagged_mp3()));
    std::string fifo = dir.file("pipe.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string hard_link = dir.file("same-song.jpg");
    ASSERT_EQ(link(song.c_str(), hard_link.c_str()), 0);
    const std::string cases[][2] = {
        {fifo, "not a regular file"},
        {dir.file("."), "not a regular file"},
        {song, "the output is the source file"},
        {hard_link, "the output is the source file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        std::string want = "cannot write cover: " + c[0] + " (" + c[1] + ")";
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool failed = id3_extract_cover(song.c_str(), c[0].c_str()) == -1;
            _exit(failed && want == id3_last_error() ? 0 : 1);
        }
        int status = 0;
        if (!ended_in_time(child, &status)) {
            ADD_FAILURE() << "the call waited on the output";
            continue;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "did not fail with: " << want;
        EXPECT_EQ(read_file(song), tagged_mp3());
    }
}
#endif

// Files are written in groups that share one flush, but the outcome is that of writing them in
// turn: the same bytes, the same count and the same last message, also when a file is listed
// twice, reached through a link, or when there are more files than one group holds.
TEST(Batch, GroupsGiveWhatWritesInTurnGive) {
    struct Case {
        const char* name;
        std::vector<std::string> paths; // names in the folder; "" is a missing file
    };
    std::vector<std::string> many;
    for (int i = 0; i < 40; i++)
        many.push_back("m" + std::to_string(i) + (i % 2 ? ".flac" : ".mp3"));
    const Case cases[] = {
        {"listed_twice", {"a.mp3", "b.flac", "a.mp3"}},
        {"another_spelling", {"a.mp3", "./a.mp3", "b.flac"}},
#ifndef _WIN32
        {"through_a_link", {"a.mp3", "link.mp3", "b.flac"}},
#endif
        {"missing_in_the_middle", {"a.mp3", "", "b.flac"}},
        {"missing_at_the_end", {"a.mp3", "b.flac", ""}},
        {"more_than_a_group", many},
#ifndef _WIN32
        // A file whose mode grants write to nobody is refused at its rename, inside the group's
        // commit: the count and the last message must still be those of the writes in turn.
        {"read_only_in_the_middle", {"a.mp3", "ro.mp3", "b.flac"}},
        {"read_only_at_the_end", {"a.mp3", "b.flac", "ro.mp3"}},
#endif
    };
    const std::string tags = "{\"album\":\"Batch\",\"track\":\"7\"}";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir grouped, in_turn;
        std::string array = "[";
        int expected_count = 0;
        std::string expected_message;
        for (const TempDir* d : {&grouped, &in_turn}) {
            for (const std::string& name : c.paths) {
                if (name.empty() || name == "link.mp3" || name == "./a.mp3")
                    continue;
                bool mp3 = name.size() > 4 && name.compare(name.size() - 4, 4, ".mp3") == 0;
                ASSERT_TRUE(write_file(d->file(name), mp3 ? tagged_mp3() : tagged_flac()));
#ifndef _WIN32
                if (name.rfind("ro.", 0) == 0) {
                    ASSERT_EQ(chmod(d->file(name).c_str(), 0444), 0);
                }
#endif
            }
        }
#ifndef _WIN32
        ASSERT_EQ(symlink("a.mp3", grouped.file("link.mp3").c_str()), 0);
        ASSERT_EQ(symlink("a.mp3", in_turn.file("link.mp3").c_str()), 0);
#endif
        for (const std::string& name : c.paths) {
            std::string in_turn_path = in_turn.file(name.empty() ? "missing.mp3" : name);
            if (id3_write(in_turn_path.c_str(), tags.c_str()) == 0)
                expected_count++;
            expected_message = id3_last_error();
            array += std::string(array.size() > 1 ? "," : "") + "\"" +
                     grouped.file(name.empty() ? "missing.mp3" : name) + "\"";
        }
        array += "]";
        EXPECT_EQ(id3_batch(array.c_str(), tags.c_str()), expected_count);
        std::string message = id3_last_error();
        // Messages name the file: compare them with the folder's name taken out.
        size_t at = message.find(grouped.path);
        if (at != std::string::npos)
            message.replace(at, grouped.path.size(), in_turn.path);
        EXPECT_EQ(message, expected_message);
        expect_same_files(grouped, in_turn);
    }
}

TEST(Batch, PathWithNulIsAFailedWrite) {
    // Cut at its NUL, "a.mp3\u0000.bak" would name a.mp3: that file must stay as it is.
    TempDir dir;
    std::string a = dir.file("a.mp3"), b = dir.file("b.flac");
    ASSERT_TRUE(write_file(a, tagged_mp3()));
    ASSERT_TRUE(write_file(b, tagged_flac()));
    const std::string nul_path = "\"" + a + "\\u0000.bak\"";
    const std::string tags = "{\"album\":\"Batch\"}";
    EXPECT_EQ(id3_batch(("[" + nul_path + "]").c_str(), tags.c_str()), 0);
    EXPECT_STREQ(id3_last_error(), "NUL character in path");
    EXPECT_EQ(read_file(a), tagged_mp3());
    // The batch goes on; the message is the last write's.
    EXPECT_EQ(id3_batch(("[" + nul_path + ",\"" + b + "\"]").c_str(), tags.c_str()), 1);
    EXPECT_STREQ(id3_last_error(), "");
    EXPECT_EQ(read_file(a), tagged_mp3());
    EXPECT_EQ(read_json(b),
              obj("Old Title", "Artist", "Batch", "Rock", "1999", "3/12", "flac", "image/jpeg"));
    EXPECT_EQ(id3_batch(("[\"" + b + "\"," + nul_path + "]").c_str(), tags.c_str()), 1);
    EXPECT_STREQ(id3_last_error(), "NUL character in path");
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"a.mp3", "b.flac"}));
    // A path with a byte that is not UTF-8 is handed on as it stands.
    std::string latin1 = dir.file("caf\xE9.mp3");
    ASSERT_TRUE(write_file(latin1, tagged_mp3()));
    EXPECT_EQ(id3_batch(("[\"" + latin1 + "\"]").c_str(), tags.c_str()), 1) << id3_last_error();
    EXPECT_EQ(read_json(latin1),
              obj("Old Title", "Artist", "Batch", "Rock", "1999", "3/12", "mp3", "image/jpeg"));
}

TEST(Batch, BadArguments) {
    TempDir dir;
    std::string a = dir.file("a.mp3");
    ASSERT_TRUE(write_file(a, tagged_mp3()));
    std::string one = "[\"" + a + "\"]";
    struct Case {
        std::string dir_json;
        const char* tags;
        int32_t result;
        const char* message;
    } cases[] = {
        {"\"" + a + "\"", "{}", -1, "dir_json must be array of paths"},
        {"{\"files\":" + one + "}", "{}", -1, "dir_json must be array of paths"},
        {"", "{}", -1, "invalid dir_json"},
        {"[\"" + a + "\",]", "{}", -1, "invalid dir_json"},
        {"[1] x", "{}", -1, "invalid dir_json"},
        {"[\"a\x01\"]", "{}", -1, "invalid dir_json"},
        {"[\"a\"]\xE9", "{}", -1, "invalid dir_json"},
        {one, "{\"title\":", 0, "invalid tags JSON"},
        {one, "[]", 0, "tags JSON must be object"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(id3_batch(c.dir_json.c_str(), c.tags), c.result) << c.dir_json;
        EXPECT_STREQ(id3_last_error(), c.message) << c.dir_json;
    }
    EXPECT_EQ(read_file(a), tagged_mp3());
}

// id3_batch_results: each path's object is what a single id3_write of that path, in turn, gives:
// the same files written, and a failure's "error" is that write's message. Cases as for the
// grouped writes above, whose failures come at the preparation (a missing file, a text file) or
// inside the group's commit (a file whose mode grants write to nobody).
TEST(BatchResults, EachPathHasTheOutcomeOfItsWriteInTurn) {
    struct Case {
        const char* name;
        std::vector<std::string> paths; // names in the folder; "" is a missing file
        int failed;                     // how many of them a write in turn refuses
    };
    std::vector<std::string> many;
    for (int i = 0; i < 40; i++)
        many.push_back(i == 35 ? "" : "m" + std::to_string(i) + (i % 2 ? ".flac" : ".mp3"));
    const Case cases[] = {
        {"ok_missing_ok", {"a.mp3", "", "b.flac"}, 1},
        {"listed_twice", {"a.mp3", "b.flac", "a.mp3"}, 0},
        {"another_spelling", {"a.mp3", "./a.mp3", "b.flac"}, 0},
#ifndef _WIN32
        {"through_a_link", {"a.mp3", "link.mp3", "b.flac"}, 0},
#endif
        {"missing_at_the_end", {"a.mp3", "b.flac", ""}, 1},
        {"not_audio_among_good_ones", {"a.mp3", "notes.txt", "b.flac"}, 1},
        {"more_than_a_group", many, 1},
#ifndef _WIN32
        {"read_only_in_the_middle", {"a.mp3", "ro.mp3", "b.flac"}, 1},
        {"read_only_at_the_end", {"a.mp3", "b.flac", "ro.mp3"}, 1},
#endif
    };
    const std::string tags = "{\"album\":\"Batch\",\"track\":\"7\"}";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir reported, in_turn;
        for (const TempDir* d : {&reported, &in_turn}) {
            for (const std::string& name : c.paths) {
                if (name.empty() || name == "link.mp3" || name == "./a.mp3")
                    continue;
                bool mp3 = name.size() > 4 && name.compare(name.size() - 4, 4, ".mp3") == 0;
                Bytes data = name == "notes.txt" ? S("plain text, no audio")
                             : mp3               ? tagged_mp3()
                                                 : tagged_flac();
                ASSERT_TRUE(write_file(d->file(name), data));
#ifndef _WIN32
                if (name.rfind("ro.", 0) == 0) {
                    ASSERT_EQ(chmod(d->file(name).c_str(), 0444), 0);
                }
#endif
            }
#ifndef _WIN32
            ASSERT_EQ(symlink("a.mp3", d->file("link.mp3").c_str()), 0);
#endif
        }
        std::string array = "[", expected = "[";
        int failures = 0;
        for (const std::string& name : c.paths) {
            std::string file = name.empty() ? "missing.mp3" : name;
            std::string path = reported.file(file);
            array += std::string(array.size() > 1 ? "," : "") + "\"" + path + "\"";
            expected += std::string(expected.size() > 1 ? "," : "") + "{\"path\":\"" + path +
                        "\",\"result\":";
            if (id3_write(in_turn.file(file).c_str(), tags.c_str()) == 0) {
                expected += "\"written\"}";
                continue;
            }
            // Messages name the file: the in-turn folder's name stands for the reported one.
            std::string message = id3_last_error();
            std::string code = std::to_string(id3_last_error_code());
            size_t at = message.find(in_turn.path);
            if (at != std::string::npos)
                message.replace(at, in_turn.path.size(), reported.path);
            expected += "\"failed\",\"error\":\"" + message + "\",\"code\":" + code + "}";
            failures++;
        }
        array += "]";
        expected += "]";
        ASSERT_EQ(failures, c.failed);
        char* results = id3_batch_results(array.c_str(), tags.c_str());
        ASSERT_NE(results, nullptr) << id3_last_error();
        EXPECT_EQ(std::string(results), expected);
        EXPECT_STREQ(id3_last_error(), "");
        id3_free_string(results);
        expect_same_files(reported, in_turn);
    }
}

// The array's text, byte for byte: one object per string member (others are skipped), each
// occurrence of a path listed twice with its own object, a path holding U+0000 refused as
// id3_batch refuses it, and the bytes of a path escaped as JSON or passed through when not UTF-8.
TEST(BatchResults, ShapeOfTheArray) {
    TempDir dir;
    std::string a = dir.file("a.mp3"), missing = dir.file("missing.mp3");
    ASSERT_TRUE(write_file(a, tagged_mp3()));
    std::string dir_json = "[\"" + a + "\",1,\"" + missing + "\",null,\"" + a + "\",\"" + a +
                           "\\u0000.bak\",[\"" + a + "\"]]";
    std::string want = "[{\"path\":\"" + a + "\",\"result\":\"written\"},{\"path\":\"" + missing +
                       "\",\"result\":\"failed\",\"error\":\"cannot open: " + missing + " (" +
                       strerror(ENOENT) + ")\",\"code\":2},{\"path\":\"" + a +
                       "\",\"result\":\"written\"},{\"path\":\"" + a +
                       "\\u0000.bak\",\"result\":\"failed\",\"error\":\"NUL character in path\","
                       "\"code\":1}]";
    char* results = id3_batch_results(dir_json.c_str(), "{\"album\":\"Twice\"}");
    ASSERT_NE(results, nullptr) << id3_last_error();
    EXPECT_EQ(std::string(results), want);
    id3_free_string(results);
    EXPECT_EQ(read_json(a),
              obj("Old Title", "Artist", "Twice", "Rock", "1999", "3/12", "mp3", "image/jpeg"));

    // An empty array gives an empty one, and a success leaves no message behind.
    EXPECT_EQ(id3_read(missing.c_str()), nullptr);
    results = id3_batch_results("[]", "{}");
    ASSERT_NE(results, nullptr);
    EXPECT_STREQ(results, "[]");
    EXPECT_STREQ(id3_last_error(), "");
    id3_free_string(results);

#ifndef _WIN32
    // A name with a quotation mark, a reverse solidus, a tab and a byte that is not UTF-8.
    std::string odd = dir.file("q\"b\\\t\xE9.mp3");
    ASSERT_TRUE(write_file(odd, tagged_mp3()));
    std::string odd_json = dir.path + "/q\\\"b\\\\\\t\xE9.mp3";
    results = id3_batch_results(("[\"" + odd_json + "\"]").c_str(), "{\"album\":\"Odd\"}");
    ASSERT_NE(results, nullptr) << id3_last_error();
    EXPECT_EQ(std::string(results),
              "[{\"path\":\"" + dir.path + "/q\\\"b\\\\\\u0009\xE9.mp3\",\"result\":\"written\"}]");
    id3_free_string(results);
    EXPECT_EQ(read_json(odd),
              obj("Old Title", "Artist", "Odd", "Rock", "1999", "3/12", "mp3", "image/jpeg"));
#endif
}

// A dir_json or tags_json that id3_batch would refuse, or that every write would refuse, gives
// NULL and the message before any file is looked at (id3_batch instead fails each file with a
// tags message: see Batch.BadArguments).
TEST(BatchResults, RefusedAsAWhole) {
    TempDir dir;
    std::string a = dir.file("a.mp3");
    ASSERT_TRUE(write_file(a, tagged_mp3()));
    std::string one = "[\"" + a + "\"]";
    struct Case {
        const char* dir_json;
        const char* tags;
        const char* message;
    } cases[] = {
        {nullptr, "{}", "NULL argument"},
        {one.c_str(), nullptr, "NULL argument"},
        {"\"a.mp3\"", "{}", "dir_json must be array of paths"},
        {"[\"a.mp3\",]", "{}", "invalid dir_json"},
        {"[\"a.mp3\",]", "{\"title\":", "invalid dir_json"},
        {one.c_str(), "{\"title\":", "invalid tags JSON"},
        {one.c_str(), "[]", "tags JSON must be object"},
        {one.c_str(), "{\"title\":\"a\\u0000b\"}", "NUL character in tag value: title"},
        {one.c_str(), "{\"properties\":{\"A=B\":[\"x\"]}}", "invalid property key: A=B"},
        {"[]", "{\"title\":", "invalid tags JSON"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dir_json ? c.dir_json : "NULL") + " " +
                     (c.tags ? c.tags : "NULL"));
        char* results = id3_batch_results(c.dir_json, c.tags);
        EXPECT_EQ(results, nullptr);
        EXPECT_STREQ(id3_last_error(), c.message);
        id3_free_string(results);
    }
    EXPECT_EQ(read_file(a), tagged_mp3());
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"a.mp3"}));
}
