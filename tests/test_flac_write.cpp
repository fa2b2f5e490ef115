// The FLAC writer: the order and flags of the rebuilt blocks, the new VORBIS_COMMENT and PICTURE
// bodies byte for byte, the audio bytes after them, and the refusals that leave the file alone.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "write_paths.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

const Bytes MARKER = S("fLaC");

Bytes streaminfo(bool last = false) {
    return flac_block(0, repeat(0x11, 34), last);
}

// The PADDING block that ends the metadata this library writes: the old file's padding bytes
// together, or 8 KiB when it had none.
Bytes padding(size_t n = 8192) {
    return flac_block(1, repeat(0, n), true);
}

// A VORBIS_COMMENT body as this library writes it.
Bytes our_vc(const std::vector<std::string>& comments) {
    return vorbis_comment("quorvale-id3tag", comments);
}

// A PICTURE body as this library writes it: front cover, no description, no dimensions.
Bytes our_picture(const std::string& mime, const Bytes& data) {
    return flac_picture(3, mime, "", data);
}

// A record that frees what it owns at the end of the test.
struct Record {
    id3_record t;
    Record() { id3_record_init(&t); }
    ~Record() { id3_record_free(&t); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    // The six texts in the record's order; NULL leaves a field absent.
    void texts(const std::vector<const char*>& values) {
        char** fields[] = {&t.title, &t.artist, &t.album, &t.genre, &t.date, &t.track};
        for (size_t i = 0; i < 6; i++) {
            if (values[i])
                id3_record_set_str(fields[i], values[i]);
        }
    }
    void cover(const Bytes& data, const char* mime) {
        free(t.cover_data);
        t.cover_data = (uint8_t*)malloc(data.size() + 1);
        if (!data.empty())
            memcpy(t.cover_data, data.data(), data.size());
        t.cover_size = data.size();
        snprintf(t.cover_mime, sizeof t.cover_mime, "%s", mime);
        t.has_cover = 1;
    }
};

// Writes `before` to a fresh file, runs the writer on it and returns what the file then holds.
struct Written {
    TempDir dir;
    std::string path;
    int rc;
    Bytes after;
    Written(const Bytes& before, const id3_record& t, int force_picture) {
        path = dir.file("song.flac");
        EXPECT_TRUE(write_file(path, before));
        id3_clear_error();
        rc = write_record_flac(path.c_str(), &t, force_picture);
        after = read_file(path);
    }
};

} // namespace

// Every old block but PADDING, VORBIS_COMMENT and PICTURE keeps its place and body with its flag
// cleared; the new comments (the named title, then the old comments of other keys) and the old
// pictures byte for byte follow, then the audio as it was.
TEST(FlacWrite, BlockOrderThroughIdWrite) {
    Bytes seektable = repeat(0x22, 18);
    Bytes application = S("qvtt") + S("app data");
    Bytes front = flac_picture(3, "image/jpeg", "front", S("FRONT-JPEG"), 500, 500, 24);
    Bytes back = flac_picture(4, "image/png", "back", S("BACK-PNG"), 300, 300, 32);
    Bytes frames = flac_audio(5000);
    Bytes before = MARKER + streaminfo() + flac_block(3, seektable) +
                   flac_block(4, le32(6) + S("vendor") + le32(3) + vorbis_entry("TITLE=Old") +
                                     vorbis_entry("ARTIST=Band") + vorbis_entry("COMMENT=kept")) +
                   flac_block(1, repeat(0, 1024)) + flac_block(6, front) + flac_block(6, back) +
                   flac_block(2, application, true) + frames;

    TempDir dir;
    std::string path = dir.file("song.flac");
    ASSERT_TRUE(write_file(path, before));
    ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"New\"}"), 0) << id3_last_error();

    Bytes vc = our_vc({"TITLE=New", "ARTIST=Band", "COMMENT=kept"});
    Bytes expected = MARKER + streaminfo() + flac_block(3, seektable) + flac_block(2, application) +
                     flac_block(4, vc) + flac_block(6, front) + flac_block(6, back) +
                     padding(1024) + frames;
    EXPECT_EQ(hex(read_file(path)), hex(expected));
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.flac"});
}

// Which picture blocks are written, and the flag-and-type byte of each. A record cover replaces
// the old front cover (type 3) and follows the other old pictures; without one both old pictures
// stay.
TEST(FlacWrite, PictureBlockAndHeaderBytes) {
    const Bytes front = flac_picture(3, "image/png", "", S("A"));
    const Bytes back = flac_picture(4, "image/png", "", S("B"));
    Bytes two_pictures =
        MARKER + streaminfo() + flac_block(6, front) + flac_block(6, back, true) + flac_audio(100);
    struct Case {
        const char* name;
        std::optional<Bytes> cover; // cover_data null when absent
        std::string mime;
        int force;
        std::optional<Bytes> picture; // the PICTURE body expected, if any
    } cases[] = {
        {"no cover bytes", std::nullopt, "", 0, std::nullopt},
        {"no cover bytes, forced", std::nullopt, "", 1, std::nullopt},
        {"a cover", S("JPEG"), "image/jpeg", 0, our_picture("image/jpeg", S("JPEG"))},
        {"a cover, forced", S("JPEG"), "image/jpeg", 1, our_picture("image/jpeg", S("JPEG"))},
        {"empty MIME", S("JPEG"), "", 0, our_picture("image/jpeg", S("JPEG"))},
        {"PNG", S("PNG!"), "image/png", 0, our_picture("image/png", S("PNG!"))},
        {"MIME of 63 bytes", S("x"), std::string(63, 'm'), 0,
         our_picture(std::string(63, 'm'), S("x"))},
        {"zero-byte cover", Bytes{}, "image/png", 0, std::nullopt},
        {"zero-byte cover, forced", Bytes{}, "image/png", 1, our_picture("image/png", {})},
        {"zero-byte cover, forced, empty MIME", Bytes{}, "", 1, our_picture("image/jpeg", {})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record r;
        id3_record_set_str(&r.t.title, "T");
        if (c.cover)
            r.cover(*c.cover, c.mime.c_str());
        Written w(two_pictures, r.t, c.force);
        ASSERT_EQ(w.rc, 0) << id3_last_error();
        Bytes vc = our_vc({"TITLE=T"});
        Bytes expected = MARKER + streaminfo() + flac_block(4, vc);
        if (c.picture) {
            expected +=
                flac_block(6, back) + B({0x06}) + be24((uint32_t)c.picture->size()) + *c.picture;
        } else {
            expected += flac_block(6, front) + flac_block(6, back);
        }
        expected += padding() + flac_audio(100);
        EXPECT_EQ(hex(w.after), hex(expected));
    }
}

// The comment body: vendor, count, and one comment per present text in a fixed order.
TEST(FlacWrite, CommentBodies) {
    struct Case {
        const char* name;
        std::vector<const char*> fields; // title, artist, album, genre, date, track
        std::vector<std::string> comments;
    } cases[] = {
        {"all null", {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}, {}},
        {"empty title", {"", nullptr, nullptr, nullptr, nullptr, nullptr}, {"TITLE="}},
        {"all six",
         {"t", "a", "al", "g", "2024", "3/12"},
         {"TITLE=t", "ARTIST=a", "ALBUM=al", "GENRE=g", "DATE=2024", "TRACKNUMBER=3/12"}},
        {"gaps",
         {nullptr, "a", nullptr, "", nullptr, "7"},
         {"ARTIST=a", "GENRE=", "TRACKNUMBER=7"}},
        {"values with = and UTF-8",
         {"a=b", "\xC3\x89mile", nullptr, nullptr, nullptr, nullptr},
         {"TITLE=a=b", "ARTIST=\xC3\x89mile"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record r;
        r.texts(c.fields);
        Written w(MARKER + streaminfo(true), r.t, 0);
        ASSERT_EQ(w.rc, 0) << id3_last_error();
        Bytes vc = our_vc(c.comments);
        EXPECT_EQ(hex(w.after), hex(MARKER + streaminfo() + flac_block(4, vc) + padding()));
    }

    // With every text null the body is the vendor and a zero count: 23 bytes.
    Record empty;
    Written w(MARKER, empty.t, 0);
    ASSERT_EQ(w.rc, 0);
    ASSERT_EQ(w.after.size(), 4u + 4 + 23 + padding().size());
    EXPECT_EQ(w.after[4], 0x04);
    EXPECT_EQ(Bytes(w.after.begin() + 5, w.after.begin() + 8), be24(23));
}

// A named field's comment holds the whole value, however long and wherever its characters end:
// no byte of it is dropped (it was once cut to 1023 bytes).
TEST(FlacWrite, LongCommentsAreStoredWhole) {
    auto times = [](const std::string& s, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; i++)
            out += s;
        return out;
    };
    const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
    struct Case {
        const char* name;
        std::string title;
    } cases[] = {
        {"1017 ASCII bytes", std::string(1017, 'a')},
        {"1018 ASCII bytes", std::string(1018, 'a')},
        {"2-byte characters", times(e_acute, 1000)},
        {"3-byte characters after one ASCII byte", "a" + times(euro, 1000)},
        {"4-byte character across byte 1017", std::string(1015, 'a') + smile},
        {"stray continuation bytes", std::string(1010, 'a') + std::string(20, '\x80')},
        {"70,000 bytes", std::string(70000, 't')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record r;
        id3_record_set_str(&r.t.title, c.title.c_str());
        id3_record_set_str(&r.t.artist, "after");
        Written w(MARKER, r.t, 0);
        ASSERT_EQ(w.rc, 0);
        Bytes vc = our_vc({"TITLE=" + c.title, "ARTIST=after"});
        EXPECT_TRUE(w.after == MARKER + flac_block(4, vc) + padding());

        id3_record back;
        id3_record_init(&back);
        ASSERT_EQ(id3_flac_read(w.after.data(), w.after.size(), &back), 0);
        ASSERT_NE(back.title, nullptr);
        EXPECT_EQ(strlen(back.title), c.title.size());
        EXPECT_TRUE(back.title == c.title);
        EXPECT_STREQ(back.artist, "after");
        id3_record_free(&back);
    }
}

// How far the old metadata reaches, and which bytes follow the new blocks.
TEST(FlacWrite, EndOfOldMetadata) {
    Bytes vc = our_vc({"TITLE=T"});
    Bytes new_vc = flac_block(4, vc) + padding();
    struct Case {
        const char* name;
        Bytes before;
        Bytes after;
    } cases[] = {
        {"marker alone", MARKER, MARKER + new_vc},
        {"flag on the last block", MARKER + streaminfo(true) + flac_audio(300),
         MARKER + streaminfo() + new_vc + flac_audio(300)},
        {"no flag, nothing after", MARKER + streaminfo(), MARKER + streaminfo() + new_vc},
        {"no flag, 2 bytes after", MARKER + streaminfo() + B({0xAB, 0xCD}),
         MARKER + streaminfo() + new_vc + B({0xAB, 0xCD})},
        {"no flag, 3 bytes after", MARKER + streaminfo() + B({0x00, 0x00, 0x05}),
         MARKER + streaminfo() + new_vc + B({0x00, 0x00, 0x05})},
        {"ends inside a STREAMINFO header", MARKER + B({0x00, 0x00}), MARKER + new_vc + B({0, 0})},
        {"paddings merged at the end, the named field's comment dropped, an empty picture kept",
         MARKER + flac_block(1, repeat(0, 10)) + streaminfo() +
             flac_block(4, our_vc({"TITLE=old"})) + flac_block(6, {}) + flac_block(1, {}, true) +
             flac_audio(50),
         MARKER + streaminfo() + flac_block(4, vc) + flac_block(6, {}) + padding(10) +
             flac_audio(50)},
        {"flagged padding ends the metadata",
         MARKER + streaminfo() + flac_block(1, repeat(0, 8), true) + flac_audio(40),
         MARKER + streaminfo() + flac_block(4, vc) + padding(8) + flac_audio(40)},
        {"padding beyond 1 MiB kept at 1 MiB",
         MARKER + streaminfo() + flac_block(1, repeat(0, 3 << 20), true) + flac_audio(40),
         MARKER + streaminfo() + flac_block(4, vc) + padding(1 << 20) + flac_audio(40)},
        {"reserved types copied with their type",
         MARKER + streaminfo() + flac_block(5, S("cue")) + flac_block(7, S("seven")) +
             flac_block(126, S("x"), true) + flac_audio(20),
         MARKER + streaminfo() + flac_block(5, S("cue")) + flac_block(7, S("seven")) +
             flac_block(126, S("x")) + new_vc + flac_audio(20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record r;
        id3_record_set_str(&r.t.title, "T");
        Written w(c.before, r.t, 0);
        ASSERT_EQ(w.rc, 0) << id3_last_error();
        EXPECT_EQ(hex(w.after), hex(c.after));
    }
}

// Writing and reading back gives the record; the audio is untouched.
TEST(FlacWrite, ReadAfterWrite) {
    Bytes frames = flac_audio(5000);
    Bytes before = MARKER + streaminfo() + flac_block(4, our_vc({"TITLE=x", "DATE=1999"})) +
                   flac_block(1, repeat(0, 8192), true) + frames;
    Bytes cover = flac_audio(70000);
    Record r;
    id3_record_set_str(&r.t.title, "T\xC3\xADtulo");
    id3_record_set_str(&r.t.album, "");
    id3_record_set_str(&r.t.track, "04/10");
    r.cover(cover, "");

    Written w(before, r.t, 0);
    ASSERT_EQ(w.rc, 0) << id3_last_error();
    ASSERT_GE(w.after.size(), frames.size());
    EXPECT_TRUE(std::equal(frames.begin(), frames.end(), w.after.end() - frames.size()));

    id3_record back;
    id3_record_init(&back);
    ASSERT_EQ(id3_flac_read(w.after.data(), w.after.size(), &back), 0);
    EXPECT_STREQ(back.title, "T\xC3\xADtulo");
    EXPECT_EQ(back.artist, nullptr);
    EXPECT_STREQ(back.album, "");
    EXPECT_EQ(back.genre, nullptr);
    EXPECT_STREQ(back.date, "1999"); // not named: the old comment is carried
    EXPECT_STREQ(back.track, "04/10");
    EXPECT_EQ(back.has_cover, 1);
    EXPECT_EQ(Bytes(back.cover_data, back.cover_data + back.cover_size), cover);
    EXPECT_STREQ(back.cover_mime, "image/jpeg");
    id3_record_free(&back);

    // A second write of the same record gives the same file.
    Bytes first = w.after;
    ASSERT_EQ(write_record_flac(w.path.c_str(), &r.t, 0), 0);
    EXPECT_TRUE(read_file(w.path) == first);
}

// A picture body must fit the 24-bit block length: 32 + MIME + data <= 16,777,215.
TEST(FlacWrite, CoverTooLargeForOneBlock) {
    const uint64_t limit_jpeg = 0xFFFFFF - 32 - 10;
    struct Case {
        const char* mime;
        uint64_t size;
        bool fits;
    } cases[] = {
        {"", limit_jpeg, true},
        {"", limit_jpeg + 1, false},
        {"image/png", limit_jpeg + 1, true},
        {"image/png", limit_jpeg + 2, false},
    };
    Bytes before = MARKER + streaminfo(true) + flac_audio(64);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mime) + " " + std::to_string(c.size));
        Record r;
        r.cover(Bytes(c.size, 0x5A), c.mime);
        Written w(before, r.t, 1);
        if (c.fits) {
            ASSERT_EQ(w.rc, 0) << id3_last_error();
            // The PICTURE header stands right before its body, which the padding and the audio
            // follow.
            uint64_t body_len = 32 + (c.mime[0] ? strlen(c.mime) : 10) + c.size;
            size_t at = w.after.size() - 64 - padding().size() - (size_t)body_len - 4;
            EXPECT_EQ(w.after[at], 0x06);
            EXPECT_EQ(Bytes(w.after.begin() + at + 1, w.after.begin() + at + 4),
                      be24((uint32_t)body_len));
            EXPECT_TRUE(Bytes(w.after.end() - 64, w.after.end()) == flac_audio(64));
            // The block is read back whole, and a later write carries it over byte for byte.
            std::string out = w.dir.file("out.bin");
            ASSERT_EQ(id3_extract_cover(w.path.c_str(), out.c_str()), 0) << id3_last_error();
            EXPECT_TRUE(read_file(out) == Bytes(c.size, 0x5A)) << "the picture differs";
            ASSERT_EQ(id3_write(w.path.c_str(), "{\"title\":\"T2\"}"), 0) << id3_last_error();
            Bytes rewritten = read_file(w.path);
            uint64_t tail = 64 + padding().size() + body_len + 4;
            ASSERT_GE(rewritten.size(), tail);
            EXPECT_TRUE(Bytes(rewritten.end() - (long)tail, rewritten.end()) ==
                        Bytes(w.after.begin() + at, w.after.end()))
                << "the picture block or the audio changed";
            ASSERT_EQ(id3_extract_cover(w.path.c_str(), out.c_str()), 0) << id3_last_error();
            EXPECT_TRUE(read_file(out) == Bytes(c.size, 0x5A)) << "the picture differs";
        } else {
            EXPECT_EQ(w.rc, -1);
            EXPECT_STREQ(id3_last_error(), "cover too large for FLAC picture block");
            EXPECT_TRUE(w.after == before);
            EXPECT_EQ(list_dir(w.dir.path), std::vector<std::string>{"song.flac"});
        }
    }
}

// Writes the title T over `before` through the writer and expects a refusal with `message` and the
// file left as it was. The writer's path, for more checks.
static std::string expect_refused(TempDir& dir, const Bytes& before, const char* message) {
    Record r;
    id3_record_set_str(&r.t.title, "T");
    std::string path = dir.file("song.flac");
    EXPECT_TRUE(write_file(path, before));
    id3_clear_error();
    EXPECT_EQ(write_record_flac(path.c_str(), &r.t, 0), -1);
    EXPECT_STREQ(id3_last_error(), message);
    EXPECT_TRUE(read_file(path) == before);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.flac"});
    return path;
}

TEST(FlacWrite, NotFlacLeavesTheFileAlone) {
    struct Case {
        const char* name;
        Bytes before;
    } cases[] = {
        {"empty", {}},
        {"three bytes", S("fLa")},
        {"lower case marker", S("flac") + streaminfo(true)},
        {"ID3 tag with no FLAC after it", S("ID3") + B({4, 0, 0}) + syncsafe(0) + S("fLa")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        expect_refused(dir, c.before, "not FLAC");
    }
}

// The writer reads the record and changes nothing in it.
TEST(FlacWrite, RecordUnchanged) {
    Record r;
    id3_record_set_str(&r.t.title, std::string(2000, 't').c_str());
    r.cover(S("DATA"), "");
    r.t.format = ID3_FMT_FLAC;
    id3_record copy = r.t;
    Written w(MARKER, r.t, 1);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(memcmp(&copy, &r.t, sizeof copy), 0);
    EXPECT_EQ(strlen(r.t.title), 2000u);
    EXPECT_STREQ(r.t.cover_mime, "");
}

// The new comment block: the named fields' comments, then every comment of the old blocks whose
// key is not a named one, in file order, byte for byte and uncut, keys compared without regard to
// ASCII case. A comment without "=" has no key, even one that spells a field's key ("TITLE").
TEST(FlacWrite, CommentsOfOtherKeysAreCarried) {
    const std::string long_comment = "LYRICS=" + std::string(3000, 'l');
    const std::string raw = std::string("NOTE=caf\xE9 ") + std::string(1, '\0') + "x";
    Bytes two_blocks =
        MARKER + streaminfo() +
        flac_block(4, le32(3) + S("old") + le32(5) + vorbis_entry("title=Old") +
                          vorbis_entry("ARTIST=One") + vorbis_entry("ARTIST=Two") +
                          vorbis_entry("no equals sign") + vorbis_entry(long_comment)) +
        flac_block(1, repeat(0, 16)) +
        flac_block(4, le32(0) + le32(5) + vorbis_entry("Date=2001") + vorbis_entry(raw) +
                          vorbis_entry("=empty key") + vorbis_entry("TITLE") +
                          vorbis_entry("date")) +
        flac_block(2, S("qvttapp"), true) + flac_audio(64);
    struct Case {
        const char* name;
        std::vector<const char*> fields; // title, artist, album, genre, date, track; NULL unnamed
        std::vector<std::string> comments;
    } cases[] = {
        {"nothing named",
         {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
         {"title=Old", "ARTIST=One", "ARTIST=Two", "no equals sign", long_comment, "Date=2001", raw,
          "=empty key", "TITLE", "date"}},
        {"title named",
         {"New", nullptr, nullptr, nullptr, nullptr, nullptr},
         {"TITLE=New", "ARTIST=One", "ARTIST=Two", "no equals sign", long_comment, "Date=2001", raw,
          "=empty key", "TITLE", "date"}},
        {"artist and date named",
         {nullptr, "Solo", nullptr, nullptr, "1999", nullptr},
         {"ARTIST=Solo", "DATE=1999", "title=Old", "no equals sign", long_comment, raw,
          "=empty key", "TITLE", "date"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record r;
        r.texts(c.fields);
        Written w(two_blocks, r.t, 0);
        ASSERT_EQ(w.rc, 0) << id3_last_error();
        EXPECT_EQ(hex(w.after),
                  hex(MARKER + streaminfo() + flac_block(2, S("qvttapp")) +
                      flac_block(4, our_vc(c.comments)) + padding(16) + flac_audio(64)));
    }
}

// A comment block whose declared length falls short of its comments: the comments the reader
// gives are carried, and the audio starts after them, not at the declared end.
TEST(FlacWrite, CommentBlockLengthShortOfItsComments) {
    const Bytes body = le32(3) + S("ven") + le32(3) + vorbis_entry("TITLE=old") +
                       vorbis_entry("ARTIST=world") + vorbis_entry("ALBUM=x");
    Bytes before =
        MARKER + streaminfo() + B({0x84}) + be24((uint32_t)body.size() - 9) + body + flac_audio(64);
    Record r;
    id3_record_set_str(&r.t.title, "New");
    Written w(before, r.t, 0);
    ASSERT_EQ(w.rc, 0) << id3_last_error();
    EXPECT_EQ(hex(w.after), hex(MARKER + streaminfo() +
                                flac_block(4, our_vc({"TITLE=New", "ARTIST=world", "ALBUM=x"})) +
                                padding() + flac_audio(64)));
}

// A comment block that the carried comments would make longer than a block holds is refused before
// anything is written.
TEST(FlacWrite, CommentsTooLargeForOneBlock) {
    // Two old blocks of 9 MB each: together they pass the 24-bit block length.
    const std::string big(9000000, 'c');
    Bytes body = le32(0) + le32(1) + vorbis_entry("COMMENT=" + big);
    Bytes before =
        MARKER + streaminfo() + flac_block(4, body) + flac_block(4, body, true) + flac_audio(32);
    Record r;
    id3_record_set_str(&r.t.title, "T");
    Written w(before, r.t, 0);
    EXPECT_EQ(w.rc, -1);
    EXPECT_STREQ(id3_last_error(), "comments too large for FLAC comment block");
    EXPECT_TRUE(w.after == before);
    EXPECT_EQ(list_dir(w.dir.path), std::vector<std::string>{"song.flac"});
}

// libFLAC's decoder fails a stream whose VORBIS_COMMENT block declares more than 100,000
// comments (flac -t: BAD_METADATA), though the block's length is far from its limit: a write
// that would make such a block is refused before anything is written, one at the limit goes.
TEST(FlacWrite, CommentCountTheDecoderReads) {
    const Bytes before = MARKER + streaminfo() +
                         flac_block(4, le32(0) + le32(1) + vorbis_entry("ENCODER=old"), true) +
                         flac_audio(32);
    struct Case {
        size_t values; // of one new key, besides the carried ENCODER comment
        bool written;
    } cases[] = {{99999, true}, {100000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values);
        std::string json = "{\"properties\":{\"K\":[";
        for (size_t i = 0; i < c.values; i++)
            json += i ? ",\"v\"" : "\"v\"";
        json += "]}}";
        TempDir dir;
        std::string path = dir.file("song.flac");
        ASSERT_TRUE(write_file(path, before));
        if (c.written) {
            ASSERT_EQ(id3_write(path.c_str(), json.c_str()), 0) << id3_last_error();
            Bytes after = read_file(path);
            // The comment count after the vendor "quorvale-id3tag" in the block after STREAMINFO.
            size_t count_at = 4 + 4 + 34 + 4 + 4 + 15;
            ASSERT_GT(after.size(), count_at + 4);
            EXPECT_EQ(id3_le32(&after[count_at]), 100000u);
        } else {
            EXPECT_EQ(id3_write(path.c_str(), json.c_str()), -1);
            EXPECT_STREQ(id3_last_error(),
                         "too many comments for FLAC comment block (at most 100000)");
            EXPECT_TRUE(read_file(path) == before);
            EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.flac"});
        }
    }
    // A file another program left past the limit keeps its comments through a write that adds
    // none (a replaced title), and is refused one that adds a comment.
    Bytes many = vorbis_entry("TITLE=old");
    for (int i = 0; i < 100000; i++)
        many += vorbis_entry("K=v");
    const Bytes over =
        MARKER + streaminfo() + flac_block(4, le32(0) + le32(100001) + many, true) + flac_audio(32);
    TempDir dir;
    std::string path = dir.file("over.flac");
    ASSERT_TRUE(write_file(path, over));
    ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"new\"}"), 0) << id3_last_error();
    Bytes kept = read_file(path);
    size_t count_at = 4 + 4 + 34 + 4 + 4 + 15;
    ASSERT_GT(kept.size(), count_at + 4);
    EXPECT_EQ(id3_le32(&kept[count_at]), 100001u);
    EXPECT_EQ(id3_write(path.c_str(), "{\"artist\":\"A\"}"), -1);
    EXPECT_STREQ(id3_last_error(), "too many comments for FLAC comment block (at most 100000)");
    EXPECT_TRUE(read_file(path) == kept);
}

// Metadata blocks that run past the end of the file: the bytes they would drop may be the audio,
// so the writers refuse the file and leave it as it is; reading it still gives what comes before.
TEST(FlacWrite, MetadataPastTheEndIsRefused) {
    Bytes pic = flac_picture(3, "image/jpeg", "", S("JPEGDATA"));
    struct Case {
        const char* name;
        Bytes before;
    } cases[] = {
        {"ends inside STREAMINFO", MARKER + B({0x00}) + be24(34) + repeat(0x11, 20)},
        {"block past the end after STREAMINFO",
         MARKER + streaminfo() + B({0x02}) + be24(1000) + S("short")},
        // A PICTURE block that declares length 0 with its picture after it: the picture's bytes
        // are taken for block headers until one of them runs past the end.
        {"picture of declared length 0", MARKER + streaminfo() +
                                             flac_block(4, our_vc({"TITLE=t"})) +
                                             B({0x06, 0, 0, 0}) + pic + flac_audio(4000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path =
            expect_refused(dir, c.before, "FLAC metadata runs past the end of the file");
        EXPECT_EQ(id3_write(path.c_str(), "{\"title\":\"x\"}"), -1);
        EXPECT_STREQ(id3_last_error(), "FLAC metadata runs past the end of the file");
        std::string image = dir.file("cover.png");
        ASSERT_TRUE(write_file(image, S("\x89PNG\r\n\x1a\n")));
        EXPECT_EQ(id3_set_cover(path.c_str(), image.c_str()), -1);
        EXPECT_STREQ(id3_last_error(), "FLAC metadata runs past the end of the file");
        EXPECT_TRUE(read_file(path) == c.before);
        char* json = id3_read(path.c_str());
        EXPECT_NE(json, nullptr) << id3_last_error();
        id3_free_string(json);
    }
}

// A FLAC stream behind an ID3v2 tag (with or without a footer) is read and written as FLAC; the
// tag in front is kept byte for byte.
TEST(FlacWrite, StreamBehindAnId3TagIsFlac) {
    Bytes tag = id3_tag(3, 0, id3_frame3("TIT2", id3_text("mp3")) + repeat(0, 20));
    Bytes footer_tag = S("ID3") + B({4, 0, 0x10}) + syncsafe(8) + repeat(0, 8) + S("3DI") +
                       B({4, 0, 0x10}) + syncsafe(8);
    Bytes stream = MARKER + streaminfo() + flac_block(4, our_vc({"TITLE=flac", "ALBUM=A"}), true) +
                   flac_audio(500);
    for (const Bytes& front : {tag, footer_tag}) {
        SCOPED_TRACE(hex(Bytes(front.begin(), front.begin() + 6)));
        TempDir dir;
        std::string path = dir.file("song.flac");
        ASSERT_TRUE(write_file(path, front + stream));
        char* json = id3_read(path.c_str());
        ASSERT_NE(json, nullptr) << id3_last_error();
        EXPECT_NE(std::string(json).find("\"title\":\"flac\""), std::string::npos) << json;
        EXPECT_NE(std::string(json).find("\"format\":\"flac\""), std::string::npos) << json;
        id3_free_string(json);

        ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"New\"}"), 0) << id3_last_error();
        EXPECT_EQ(hex(read_file(path)), hex(front + MARKER + streaminfo() +
                                            flac_block(4, our_vc({"TITLE=New", "ALBUM=A"})) +
                                            padding() + flac_audio(500)));
    }
}

// id3_set_cover names no field: every comment stays, the old front cover gives way to the new
// picture, the other pictures stay in their order.
TEST(FlacWrite, SetCoverKeepsCommentsAndOtherPictures) {
    Bytes front = flac_picture(3, "image/jpeg", "front", S("FRONT"), 1, 1, 24);
    Bytes back = flac_picture(4, "image/png", "back", S("BACK"), 2, 2, 32);
    Bytes leaflet = flac_picture(5, "image/png", "", S("LEAF"));
    Bytes vc =
        le32(6) + S("vendor") + le32(2) + vorbis_entry("TITLE=Keep") + vorbis_entry("ARTIST=Me");
    Bytes before = MARKER + streaminfo() + flac_block(6, back) + flac_block(4, vc) +
                   flac_block(6, front) + flac_block(6, leaflet, true) + flac_audio(80);
    TempDir dir;
    std::string path = dir.file("song.flac");
    std::string image = dir.file("new.png");
    Bytes png = B({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3});
    ASSERT_TRUE(write_file(path, before));
    ASSERT_TRUE(write_file(image, png));
    ASSERT_EQ(id3_set_cover(path.c_str(), image.c_str()), 0) << id3_last_error();
    EXPECT_EQ(hex(read_file(path)),
              hex(MARKER + streaminfo() + flac_block(4, our_vc({"TITLE=Keep", "ARTIST=Me"})) +
                  flac_block(6, back) + flac_block(6, leaflet) +
                  flac_block(6, our_picture("image/png", png)) + padding() + flac_audio(80)));
}

// A null member removes every comment of its key (whatever the key's letter case), "cover":null
// the front covers; an empty string stores an empty comment; everything else is kept.
TEST(FlacWrite, NullMembersRemove) {
    Bytes front = flac_picture(3, "image/jpeg", "front", S("FRONT"), 1, 1, 24);
    Bytes back = flac_picture(4, "image/png", "back", S("BACK"), 2, 2, 32);
    Bytes vc = le32(6) + S("vendor") + le32(4) + vorbis_entry("TITLE=Keep") +
               vorbis_entry("ARTIST=One") + vorbis_entry("artist=Two") + vorbis_entry("DATE=1999");
    Bytes before = MARKER + streaminfo() + flac_block(6, front) + flac_block(4, vc) +
                   flac_block(6, back, true) + flac_audio(80);
    struct Case {
        const char* json;
        std::vector<std::string> comments;
        bool front_kept;
    } cases[] = {
        {"{\"artist\":null}", {"TITLE=Keep", "DATE=1999"}, true},
        {"{\"artist\":\"\",\"date\":null}", {"ARTIST=", "TITLE=Keep"}, true},
        {"{\"album\":null}", {"TITLE=Keep", "ARTIST=One", "artist=Two", "DATE=1999"}, true},
        {"{\"cover\":null}", {"TITLE=Keep", "ARTIST=One", "artist=Two", "DATE=1999"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        TempDir dir;
        std::string path = dir.file("song.flac");
        ASSERT_TRUE(write_file(path, before));
        ASSERT_EQ(id3_write(path.c_str(), c.json), 0) << id3_last_error();
        EXPECT_EQ(hex(read_file(path)),
                  hex(MARKER + streaminfo() + flac_block(4, our_vc(c.comments)) +
                      (c.front_kept ? flac_block(6, front) : Bytes()) + flac_block(6, back) +
                      padding() + flac_audio(80)));
    }
}
