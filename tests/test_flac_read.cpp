// The FLAC reader: the walk over metadata blocks, VORBIS_COMMENT and PICTURE bodies, each fixture
// built byte by byte.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "bounded_read_check.h"
#include "loaded_model.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using Text = std::optional<std::string>;

const Bytes MARKER = S("fLaC");

Bytes streaminfo(bool last = false) {
    return flac_block(0, repeat(0x11, 34), last);
}

// VORBIS_COMMENT body; the count defaults to the number of comments given.
Bytes vc_body(const std::vector<std::string>& comments, std::optional<uint32_t> count = {}) {
    return vorbis_comment("vendor", comments, count);
}

Bytes vc_block(const std::vector<std::string>& comments, bool last = false) {
    return flac_block(4, vc_body(comments), last);
}

// PICTURE body of a 300 x 200 picture of depth 24; the data length field defaults to the size of
// the data given.
Bytes picture_body(uint32_t type, const std::string& mime, const std::string& desc,
                   const Bytes& data, std::optional<uint32_t> data_len = {}) {
    return flac_picture(type, mime, desc, data, 300, 200, 24, data_len);
}

Text text(const char* p) {
    return p ? Text(p) : std::nullopt;
}

// The record filled from one image, released at the end of the test.
struct Read {
    id3_record t;
    int rc;
    explicit Read(const Bytes& file) {
        id3_record_init(&t);
        id3_clear_error();
        rc = id3_flac_read(file.data(), file.size(), &t);
        EXPECT_EQ(bounded_read_difference(ID3_FMT_FLAC, file), "");
    }
    ~Read() { id3_record_free(&t); }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    std::vector<Text> fields() const {
        return {text(t.title), text(t.artist), text(t.album),
                text(t.genre), text(t.date),   text(t.track)};
    }
    Bytes cover() const { return Bytes(t.cover_data, t.cover_data + t.cover_size); }
};

} // namespace

TEST(FlacRead, NotFlacFailsButKeepsTheFormat) {
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"empty", {}},
        {"three bytes", S("fLa")},
        {"lower case", S("flac")},
        {"last byte changed", S("fLaD") + vc_block({"TITLE=x"}, true)},
        {"first byte changed", S("FLaC") + vc_block({"TITLE=x"}, true)},
        {"ID3 tag in front",
         S("ID3") + B({4, 0, 0}) + syncsafe(0) + MARKER + vc_block({"TITLE=x"}, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(c.file);
        EXPECT_EQ(r.rc, -1);
        EXPECT_STREQ(id3_last_error(), "not FLAC");
        EXPECT_EQ(r.t.format, ID3_FMT_FLAC);
        EXPECT_EQ(r.t.title, nullptr);
        EXPECT_EQ(r.t.has_cover, 0);
    }
}

TEST(FlacRead, MarkerAloneIsAnEmptyRecord) {
    Read r(MARKER);
    EXPECT_EQ(r.rc, 0);
    EXPECT_STREQ(id3_last_error(), "");
    EXPECT_EQ(r.t.format, ID3_FMT_FLAC);
    for (const Text& f : r.fields())
        EXPECT_EQ(f, std::nullopt);
    EXPECT_EQ(r.t.cover_data, nullptr);
    EXPECT_EQ(r.t.cover_size, 0u);
    EXPECT_STREQ(r.t.cover_mime, "");
    EXPECT_EQ(r.t.has_cover, 0);
}

// Where the walk over the blocks stops, and which VORBIS_COMMENT blocks it reaches. Every stop is
// a success.
TEST(FlacRead, BlockWalkStops) {
    Bytes overrun = B({2}) + be24(100) + repeat(0, 10); // declares 100 bytes, holds 10
    struct Case {
        const char* name;
        Bytes file;
        Text title;
    } cases[] = {
        {"after STREAMINFO", MARKER + streaminfo() + vc_block({"TITLE=a"}, true), "a"},
        {"no STREAMINFO first", MARKER + vc_block({"TITLE=a"}, true), "a"},
        {"other blocks before",
         MARKER + streaminfo() + flac_block(1, repeat(0, 7)) + flac_block(2, S("app")) +
             flac_block(3, repeat(0, 18)) + flac_block(127, {}) + vc_block({"TITLE=a"}, true),
         "a"},
        {"flag on STREAMINFO", MARKER + streaminfo(true) + vc_block({"TITLE=a"}), std::nullopt},
        {"flag on the comments ends the walk",
         MARKER + vc_block({"TITLE=a"}, true) + vc_block({"TITLE=b"}), "a"},
        {"no flag, ends with the comments", MARKER + streaminfo() + vc_block({"TITLE=a"}), "a"},
        {"three bytes after the blocks", MARKER + vc_block({"TITLE=a"}) + B({4, 0, 0}), "a"},
        {"three bytes instead of a header", MARKER + B({4, 0, 0}), std::nullopt},
        {"block past the end before the comments",
         MARKER + streaminfo() + overrun + vc_block({"TITLE=a"}, true), std::nullopt},
        {"block past the end after the comments", MARKER + vc_block({"TITLE=a"}) + overrun, "a"},
        {"comments one byte short of their length",
         MARKER + B({0x84}) + be24((uint32_t)vc_body({"TITLE=a"}).size() + 1) +
             vc_body({"TITLE=a"}),
         std::nullopt},
        {"empty comment block passed over", MARKER + flac_block(4, {}) + vc_block({"TITLE=a"}),
         "a"},
        {"STREAMINFO cut short", MARKER + B({0}) + be24(34) + repeat(0x11, 20), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(c.file);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(text(r.t.title), c.title);
    }
}

// Comment keys are matched whole, without regard to ASCII case; the value is everything after the
// first "=".
TEST(FlacRead, CommentKeys) {
    enum { TITLE, ARTIST, ALBUM, GENRE, DATE, TRACK, NONE };
    struct Case {
        std::string comment;
        int field;
        std::string value;
    } cases[] = {
        {"TITLE=Song", TITLE, "Song"},
        {"title=Song", TITLE, "Song"},
        {"TiTlE=Song", TITLE, "Song"},
        {"ARTIST=Band", ARTIST, "Band"},
        {"Album=Record", ALBUM, "Record"},
        {"genre=Jazz", GENRE, "Jazz"},
        {"DATE=2024-05-01", DATE, "2024-05-01"},
        {"TRACKNUMBER=3/12", TRACK, "3/12"},
        {"tracknumber=7", TRACK, "7"},
        {"TITLE=a=b=c", TITLE, "a=b=c"},
        {"TITLE=", TITLE, ""},
        {"TITLE=\xC3\xA9t\xC3\xA9", TITLE, "\xC3\xA9t\xC3\xA9"},
        {std::string("TITLE=ab\0cd", 11), TITLE, "ab"},
        {"TITLEX=Song", NONE, ""},
        {"TITL=Song", NONE, ""},
        {"TITLF=Song", NONE, ""},
        {" TITLE=Song", NONE, ""},
        {std::string("TITLE\0=Song", 11), NONE, ""},
        {"TRACK=3", NONE, ""},
        {"YEAR=2001", NONE, ""},
        {"ALBUMARTIST=Various", NONE, ""},
        {"COMMENT=TITLE=x", NONE, ""},
        {"=Song", NONE, ""},
        {"TITLE", NONE, ""},
        {"", NONE, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hex(S(c.comment)));
        Read r(MARKER + vc_block({c.comment}, true));
        EXPECT_EQ(r.rc, 0);
        std::vector<Text> fields = r.fields();
        for (int f = TITLE; f < NONE; f++) {
            if (f == c.field)
                EXPECT_EQ(fields[f], Text(c.value)) << "field " << f;
            else
                EXPECT_EQ(fields[f], std::nullopt) << "field " << f;
        }
    }
}

TEST(FlacRead, AllSixKeysInOneBlock) {
    Read r(
        MARKER + streaminfo() +
        vc_block({"TITLE=t", "ARTIST=a", "ALBUM=al", "GENRE=g", "DATE=d", "TRACKNUMBER=1"}, true));
    ASSERT_EQ(r.rc, 0);
    std::vector<Text> expected = {"t", "a", "al", "g", "d", "1"};
    EXPECT_EQ(r.fields(), expected);
}

// A comment block whose declared length falls short of its comments (mutagen reads them whole):
// when nothing that can follow a block stands at the declared end, and the comments end where
// something can, the comments are read to their end and the walk goes on from there.
TEST(FlacRead, CommentBlockLengthShortOfItsComments) {
    const Bytes body = le32(3) + S("ven") + le32(3) + vorbis_entry("TITLE=hello") +
                       vorbis_entry("ARTIST=world") + vorbis_entry("ALBUM=x");
    auto short_block = [&](size_t cut, bool last) {
        return B({last ? 0x84 : 0x04}) + be24((uint32_t)(body.size() - cut)) + body;
    };
    const Bytes picture = flac_block(6, picture_body(3, "image/png", "", S("PNG")), true);
    struct Case {
        const char* name;
        Bytes file;
        Text artist;
        Text album;
        bool cover;
    } cases[] = {
        {"last block, one byte short",
         MARKER + streaminfo() + short_block(1, true) + flac_audio(40), "world", "x", false},
        {"last block, into the second comment",
         MARKER + streaminfo() + short_block(20, true) + flac_audio(40), "world", "x", false},
        {"last block, only the vendor declared",
         MARKER + streaminfo() + short_block(body.size() - 7, true) + flac_audio(40), "world", "x",
         false},
        {"last block, comments end at the file's end", MARKER + streaminfo() + short_block(4, true),
         "world", "x", false},
        {"picture block after it", MARKER + streaminfo() + short_block(4, false) + picture, "world",
         "x", true},
        // The comments end where no audio frame starts: the declared body is read as it is.
        {"no audio after the comments", MARKER + streaminfo() + short_block(4, true) + S("junk!"),
         "world", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(c.file);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(text(r.t.title), Text("hello"));
        EXPECT_EQ(text(r.t.artist), c.artist);
        EXPECT_EQ(text(r.t.album), c.album);
        EXPECT_EQ(r.t.has_cover, c.cover ? 1 : 0);
    }
}

TEST(FlacRead, LaterCommentWins) {
    Read one_block(MARKER + vc_block({"TITLE=first", "ARTIST=x", "title=second"}, true));
    EXPECT_EQ(text(one_block.t.title), Text("second"));
    EXPECT_EQ(text(one_block.t.artist), Text("x"));

    Read two_blocks(MARKER + vc_block({"TITLE=first", "ARTIST=x"}) + streaminfo() +
                    vc_block({"TITLE=second"}, true));
    EXPECT_EQ(text(two_blocks.t.title), Text("second"));
    EXPECT_EQ(text(two_blocks.t.artist), Text("x"));
}

// A body too short for its own fields is passed over whole; a comment list that runs past its body
// ends that block's comments. The walk goes on either way: the PICTURE block after the comments is
// read in every case.
TEST(FlacRead, DamagedCommentBodies) {
    Bytes two = vorbis_entry("TITLE=a") + vorbis_entry("ARTIST=b");
    struct Case {
        const char* name;
        Bytes body;
        Text title;
        Text artist;
    } cases[] = {
        {"seven bytes", le32(0) + B({1, 0, 0}), std::nullopt, std::nullopt},
        {"vendor fills the body, no count", le32(4) + S("abcd") + B({1, 0, 0}), std::nullopt,
         std::nullopt},
        {"vendor length past the body", le32(100) + S("abcd") + le32(1) + vorbis_entry("TITLE=a"),
         std::nullopt, std::nullopt},
        {"vendor length 0xFFFFFFFF", le32(0xFFFFFFFF) + le32(1) + vorbis_entry("TITLE=a"),
         std::nullopt, std::nullopt},
        {"count 0 with comments after it", le32(0) + le32(0) + two, std::nullopt, std::nullopt},
        {"count 1 of 2", le32(0) + le32(1) + two, "a", std::nullopt},
        {"count 3 of 2", le32(0) + le32(3) + two, "a", "b"},
        {"count 0xFFFFFFFF of 2", le32(0) + le32(0xFFFFFFFF) + two, "a", "b"},
        {"second length field cut", le32(0) + le32(2) + vorbis_entry("TITLE=a") + B({9, 0}), "a",
         std::nullopt},
        {"second text past the body",
         le32(0) + le32(2) + vorbis_entry("TITLE=a") + le32(9) + S("ARTIST=b"), "a", std::nullopt},
        {"text length 0xFFFFFFFF", le32(0) + le32(2) + le32(0xFFFFFFFF) + S("TITLE=a"),
         std::nullopt, std::nullopt},
        {"empty comment counts as one", le32(0) + le32(2) + le32(0) + vorbis_entry("TITLE=a"), "a",
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(MARKER + flac_block(4, c.body) +
               flac_block(6, picture_body(3, "image/png", "", S("PNG")), true));
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(text(r.t.title), c.title);
        EXPECT_EQ(text(r.t.artist), c.artist);
        EXPECT_EQ(r.cover(), S("PNG"));
        EXPECT_EQ(r.t.has_cover, 1);
    }
}

TEST(FlacRead, PictureBodies) {
    Bytes data = S("JPEGDATA");
    std::string mime100(100, 'm');
    struct Case {
        const char* name;
        Bytes body;
        bool cover;
        Bytes data;
        std::string mime;
    } cases[] = {
        {"front cover", picture_body(3, "image/png", "desc", data), true, data, "image/png"},
        {"other picture type", picture_body(17, "image/gif", "", data), true, data, "image/gif"},
        {"smallest body, 32 bytes", picture_body(0, "", "", {}), true, {}, "image/jpeg"},
        {"31 bytes", be32(3) + repeat(0, 27), false, {}, ""},
        {"MIME length 0", picture_body(3, "", "", data), true, data, "image/jpeg"},
        {"MIME of 63 bytes", picture_body(3, std::string(63, 'x'), "", data), true, data,
         std::string(63, 'x')},
        {"MIME of 100 bytes", picture_body(3, mime100, "", data), true, data, std::string(63, 'm')},
        {"MIME with a NUL", picture_body(3, std::string("image/png\0xx", 12), "", data), true, data,
         "image/png"},
        {"data length beyond the block", picture_body(3, "image/png", "", data, 1000), true, data,
         "image/png"},
        {"data length 0xFFFFFFFF", picture_body(3, "image/png", "", data, 0xFFFFFFFF), true, data,
         "image/png"},
        {"data length short of the block", picture_body(3, "image/png", "", data, 4), true,
         S("JPEG"), "image/png"},
        {"data length 0", picture_body(3, "image/png", "", data, 0), true, {}, "image/png"},
        {"MIME length past the block",
         be32(3) + be32(40) + repeat('m', 20) + repeat(0, 20),
         false,
         {},
         ""},
        {"MIME length 0xFFFFFFFF", be32(3) + be32(0xFFFFFFFF) + repeat(0, 40), false, {}, ""},
        // 12 + M fits, but the description length and the fixed fields after it do not.
        {"MIME leaves no room for the fixed fields",
         be32(3) + be32(20) + repeat('m', 20) + be32(0) + repeat(0, 4),
         false,
         {},
         ""},
        {"description past the block", be32(3) + be32(0) + be32(10) + repeat(0, 25), false, {}, ""},
        // The description ends where the data length field should start.
        {"description over the data length",
         be32(3) + be32(0) + be32(4) + repeat(0, 20),
         false,
         {},
         ""},
        {"description length 0xFFFFFFFF",
         be32(3) + be32(0) + be32(0xFFFFFFFF) + repeat(0, 40),
         false,
         {},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(MARKER + streaminfo() + flac_block(6, c.body, true));
        EXPECT_EQ(r.rc, 0);
        if (c.cover) {
            EXPECT_EQ(r.t.has_cover, 1);
            EXPECT_NE(r.t.cover_data, nullptr);
            EXPECT_EQ(r.cover(), c.data);
            EXPECT_EQ(r.t.cover_mime, c.mime);
        } else {
            EXPECT_EQ(r.t.has_cover, 0);
            EXPECT_EQ(r.t.cover_data, nullptr);
            EXPECT_EQ(r.t.cover_size, 0u);
            EXPECT_STREQ(r.t.cover_mime, "");
        }
    }
}

TEST(FlacRead, LaterPictureWins) {
    Bytes front = flac_block(6, picture_body(3, "image/jpeg", "front", S("FRONT")));
    Bytes back = flac_block(6, picture_body(4, "image/png", "back", S("BACK")));
    Read two(MARKER + streaminfo() + front + back + vc_block({"TITLE=t"}, true));
    EXPECT_EQ(two.cover(), S("BACK"));
    EXPECT_STREQ(two.t.cover_mime, "image/png");
    EXPECT_EQ(text(two.t.title), Text("t"));

    // A later picture too short for its fields leaves the earlier one in place.
    Read damaged(MARKER + front + flac_block(6, repeat(0, 31), true));
    EXPECT_EQ(damaged.cover(), S("FRONT"));
    EXPECT_STREQ(damaged.t.cover_mime, "image/jpeg");

    // An empty picture after a full one is still the cover.
    Read empty(MARKER + front + flac_block(6, picture_body(3, "image/gif", "", {}), true));
    EXPECT_EQ(empty.t.has_cover, 1);
    EXPECT_NE(empty.t.cover_data, nullptr);
    EXPECT_EQ(empty.t.cover_size, 0u);
    EXPECT_STREQ(empty.t.cover_mime, "image/gif");
}

// A record that already holds texts and a cover has them replaced, not leaked (the sanitizer and
// valgrind runs see a leak), and keeps the fields the file does not name.
TEST(FlacRead, FilledRecordIsUpdated) {
    id3_record t;
    id3_record_init(&t);
    id3_record_set_str(&t.title, "old title");
    id3_record_set_str(&t.album, "old album");
    t.cover_data = (uint8_t*)malloc(3);
    memcpy(t.cover_data, "old", 3);
    t.cover_size = 3;
    Bytes file =
        MARKER + vc_block({"TITLE=new"}) + flac_block(6, picture_body(3, "", "", S("new!")), true);
    ASSERT_EQ(id3_flac_read(file.data(), file.size(), &t), 0);
    EXPECT_STREQ(t.title, "new");
    EXPECT_STREQ(t.album, "old album");
    EXPECT_EQ(Bytes(t.cover_data, t.cover_data + t.cover_size), S("new!"));
    id3_record_free(&t);
}

// The image given to the reader is the file's bytes only: nothing in the record points into it.
TEST(FlacRead, RecordOwnsCopies) {
    Bytes file =
        MARKER + vc_block({"TITLE=kept"}) + flac_block(6, picture_body(3, "", "", S("pic")), true);
    id3_record t;
    id3_record_init(&t);
    ASSERT_EQ(id3_flac_read(file.data(), file.size(), &t), 0);
    std::fill(file.begin(), file.end(), 0);
    file.clear();
    file.shrink_to_fit();
    EXPECT_STREQ(t.title, "kept");
    EXPECT_EQ(Bytes(t.cover_data, t.cover_data + t.cover_size), S("pic"));
    id3_record_free(&t);
}

// ---------------------------------------------------------------------------------------------
// The one load: the model a read, a property read and a write all take the tags from.

namespace {

// The regions of a loaded model, each as "kind:type@offset+length".
std::vector<std::string> regions_of(const id3_model& m) {
    std::vector<std::string> out;
    for (uint64_t i = 0; i < m.region_count; i++) {
        const id3_region& r = m.regions[i];
        out.push_back(std::to_string(r.kind) + ":" + std::to_string(r.type) + "@" +
                      std::to_string(r.off) + "+" + std::to_string(r.len));
    }
    return out;
}

} // namespace

// Every block is a region at its place, every comment and picture an item with its span; the
// record takes the last comment of a key and the last readable picture, the property map lists
// them all.
TEST(FlacLoad, BlocksCommentsAndPicturesInOneModel) {
    const Bytes front = repeat(0x44, 20), back = repeat(0x55, 5);
    Bytes vc = vc_block({"TITLE=a", "NOTE", "title=b"});
    Bytes file = MARKER + streaminfo() + vc +
                 flac_block(6, picture_body(3, "image/png", "d", front)) +
                 flac_block(6, B({0, 0, 0, 3, 0})) + // too short for its fields
                 flac_block(6, picture_body(4, "image/gif", "", back)) +
                 flac_block(1, repeat(0, 10), true) + B({0xFF, 0xF8, 1, 2});
    LoadedModel l(ID3_FMT_FLAC, file);
    ASSERT_EQ(l.rc, 0);
    uint64_t vc_at = 4 + 38, pic_at = vc_at + vc.size();
    uint64_t pic2_at = pic_at + 4 + picture_body(3, "image/png", "d", front).size();
    uint64_t pic3_at = pic2_at + 9,
             pad_at = pic3_at + 4 + picture_body(4, "image/gif", "", back).size();
    EXPECT_EQ(
        regions_of(l.m),
        (std::vector<std::string>{
            "6:0@4+38", "6:4@" + std::to_string(vc_at) + "+" + std::to_string(vc.size()),
            "6:6@" + std::to_string(pic_at) + "+" + std::to_string(pic2_at - pic_at),
            "6:6@" + std::to_string(pic2_at) + "+9",
            "6:6@" + std::to_string(pic3_at) + "+" + std::to_string(pad_at - pic3_at),
            "6:1@" + std::to_string(pad_at) + "+14", "3:0@" + std::to_string(pad_at + 14) + "+4"}));
    ASSERT_EQ(l.m.item_count, 6u);
    // The comments: their length field and text where they lie in the block's body.
    uint64_t first_comment = vc_at + 4 + 4 + 6 + 4;
    EXPECT_EQ(l.raw(0), le32(7) + S("TITLE=a"));
    EXPECT_EQ(l.m.items[0].raw_off, first_comment);
    EXPECT_EQ(Bytes(file.begin() + first_comment, file.begin() + first_comment + 11), l.raw(0));
    EXPECT_EQ(l.m.items[0].kind, ID3_ITEM_TEXT);
    EXPECT_STREQ(l.m.items[0].key, "TITLE");
    EXPECT_STREQ(l.m.items[0].values[0], "a");
    EXPECT_EQ(l.m.items[1].kind, ID3_ITEM_OTHER);
    EXPECT_EQ(l.raw(1), le32(4) + S("NOTE"));
    EXPECT_STREQ(l.m.items[2].key, "TITLE");
    EXPECT_STREQ(l.m.items[2].values[0], "b");
    // The pictures: their fields, the data borrowed from the body.
    EXPECT_EQ(l.m.items[3].kind, ID3_ITEM_PICTURE);
    EXPECT_EQ(l.m.items[3].raw_off, pic_at + 4);
    EXPECT_EQ(l.m.items[3].picture_type, 3);
    EXPECT_STREQ(l.m.items[3].mime, "image/png");
    EXPECT_STREQ(l.m.items[3].description, "d");
    EXPECT_EQ(Bytes(l.m.items[3].data, l.m.items[3].data + l.m.items[3].data_len), front);
    EXPECT_EQ(l.m.items[4].kind, ID3_ITEM_OTHER);
    EXPECT_EQ(l.raw(4), B({0, 0, 0, 3, 0}));
    EXPECT_EQ(l.m.items[5].kind, ID3_ITEM_PICTURE);

    Folds folds(l.m);
    ASSERT_EQ(folds.rc, 0);
    id3_record& t = folds.t;
    const id3_property_map& p = folds.p;
    EXPECT_EQ(text(t.title), "b");
    EXPECT_EQ(t.has_cover, 1);
    EXPECT_STREQ(t.cover_mime, "image/gif");
    EXPECT_EQ(t.cover_data, nullptr); // the bytes stay in the model
    ASSERT_EQ(id3_model_copy_cover(&l.m, &t), 0);
    EXPECT_EQ(Bytes(t.cover_data, t.cover_data + t.cover_size), back);

    ASSERT_EQ(p.count, 2u);
    EXPECT_STREQ(p.items[0].value, "a");
    EXPECT_STREQ(p.items[1].value, "b");
    ASSERT_EQ(p.picture_count, 2u);
    EXPECT_EQ(p.pictures[0].size, front.size());
    EXPECT_EQ(p.pictures[1].type, 4);
}

// A block whose body runs past the end of the file ends the walk: the blocks before it stay, and
// the rest of the file is a damaged region (which a write refuses), not audio.
TEST(FlacLoad, BlockPastTheEndLeavesADamagedRegion) {
    Bytes file = MARKER + streaminfo() + vc_block({"TITLE=a"}) + B({1, 0, 1, 0}) + repeat(0, 10);
    LoadedModel l(ID3_FMT_FLAC, file);
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.m.region_count, 3u);
    EXPECT_EQ(l.m.regions[2].kind, ID3_REGION_DAMAGED);
    EXPECT_EQ(l.m.regions[2].off, file.size() - 14);
    EXPECT_EQ(l.m.regions[2].len, 14u);
    ASSERT_EQ(l.m.item_count, 1u);
    EXPECT_STREQ(l.m.items[0].values[0], "a");
}
