// The MP4 reader: atom headers, the path moov/udta/meta/ilst and the items, each fixture built
// byte by byte.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "bounded_read_check.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Text = std::optional<std::string>;

// The item types of the four text tags start with the single byte 0xA9 (octal 251).
const char* const NAM = "\251nam";
const char* const ART = "\251ART";
const char* const ALB = "\251alb";
const char* const GEN = "\251gen";
const char* const DAY = "\251day";

// An atom with the size field given as it stands, whatever the payload.
Bytes atom_sized(uint32_t size, const std::string& type, const Bytes& payload = {}) {
    return be32(size) + S(type) + payload;
}
// An atom with size 1 and the given 64-bit extended size.
Bytes atom_ext(uint64_t ext_size, const std::string& type, const Bytes& payload = {}) {
    return be32(1) + S(type) + be64(ext_size) + payload;
}

Bytes text_item(const std::string& type, const std::string& text) {
    return mp4_atom(type, mp4_data(S(text)));
}
Bytes trkn(uint32_t track, uint32_t total) {
    return mp4_atom("trkn", mp4_data(be16(0) + be16(track) + be16(total) + be16(0), 0));
}
Bytes covr(const Bytes& image) {
    return mp4_atom("covr", mp4_data(image, 13));
}

const Bytes FTYP = mp4_atom("ftyp", S("M4A ") + be32(0x200) + S("M4A isommp42"));
const Bytes HDLR = mp4_atom("hdlr", be32(0) + be32(0) + S("mdirappl") + be32(0) + be32(0) + B({0}));
const Bytes MVHD = mp4_atom("mvhd", repeat(0, 100));

// meta as a full box: version-and-flags word, handler, item list.
Bytes meta_full(const Bytes& children) {
    return mp4_atom("meta", be32(0) + HDLR + children);
}
Bytes moov_with(const Bytes& udta_payload) {
    return mp4_atom("moov", MVHD + mp4_atom("udta", udta_payload));
}
// A whole file around a list of items, laid out as ffmpeg and iTunes write it.
Bytes m4a(const Bytes& items) {
    return FTYP + moov_with(meta_full(mp4_atom("ilst", items))) +
           mp4_atom("mdat", repeat(0x21, 16));
}

// Reads an image through an exact-size heap copy that is released before the record is looked
// at: reads past the end show under sanitizers and valgrind, and a record that kept pointers into
// the image would read freed memory.
struct Read {
    int rc;
    id3_record t;
    explicit Read(const Bytes& image) {
        id3_record_init(&t);
        id3_clear_error();
        HeapBytes copy = exact_copy(image);
        rc = id3_mp4_read(copy.get(), image.size(), &t);
        copy.reset();
        EXPECT_EQ(bounded_read_difference(ID3_FMT_MP4, image), "");
    }
    ~Read() { id3_record_free(&t); }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;

    static Text text(const char* p) { return p ? Text(p) : std::nullopt; }
    Text title() const { return text(t.title); }
    Text artist() const { return text(t.artist); }
    Text track() const { return text(t.track); }
    Bytes cover() const {
        return t.cover_data ? Bytes(t.cover_data, t.cover_data + t.cover_size) : Bytes();
    }
};

// Nothing but the format was set.
void expect_no_tags(const Read& r) {
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.t.format, ID3_FMT_MP4);
    EXPECT_EQ(r.t.title, nullptr);
    EXPECT_EQ(r.t.artist, nullptr);
    EXPECT_EQ(r.t.album, nullptr);
    EXPECT_EQ(r.t.genre, nullptr);
    EXPECT_EQ(r.t.date, nullptr);
    EXPECT_EQ(r.t.track, nullptr);
    EXPECT_EQ(r.t.cover_data, nullptr);
    EXPECT_EQ(r.t.cover_size, 0u);
    EXPECT_EQ(r.t.has_cover, 0);
    EXPECT_STREQ(r.t.cover_mime, "");
}

// A list of items and the text it leaves in one field of the record.
struct ItemCase {
    const char* name;
    Bytes items;
    Text expected;
};
void expect_field(char* id3_record::*field, const std::vector<ItemCase>& rows) {
    for (const ItemCase& row : rows) {
        Read r(m4a(row.items));
        EXPECT_EQ(r.rc, 0) << row.name;
        EXPECT_EQ(Read::text(r.t.*field), row.expected) << row.name;
    }
}

} // namespace

TEST(Mp4Read, TypicalFileGivesEveryItem) {
    const Bytes jpeg = B({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}) + S("JFIF") + B({0xFF, 0xD9});
    Bytes items = text_item(NAM, "Caf\xC3\xA9 au lait") + text_item(ART, "Zo\xC3\xAB") +
                  text_item(ALB, "Album") + text_item(GEN, "Jazz") + text_item(DAY, "2024") +
                  trkn(3, 12) + covr(jpeg) + text_item("\251too", "Lavf59.27.100");
    Read r(m4a(items));
    EXPECT_EQ(r.rc, 0);
    EXPECT_STREQ(id3_last_error(), "");
    EXPECT_EQ(r.t.format, ID3_FMT_MP4);
    EXPECT_STREQ(r.t.title, "Caf\xC3\xA9 au lait");
    EXPECT_STREQ(r.t.artist, "Zo\xC3\xAB");
    EXPECT_STREQ(r.t.album, "Album");
    EXPECT_STREQ(r.t.genre, "Jazz");
    EXPECT_STREQ(r.t.track, "3/12");
    EXPECT_STREQ(r.t.date, "2024");
    EXPECT_EQ(r.cover(), jpeg);
    EXPECT_EQ(r.t.has_cover, 1);
    EXPECT_STREQ(r.t.cover_mime, "image/jpeg");

    char* json = id3_record_to_json(&r.t);
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json,
                 "{\"title\":\"Caf\xC3\xA9 au lait\",\"artist\":\"Zo\xC3\xAB\",\"album\":"
                 "\"Album\",\"genre\":\"Jazz\",\"date\":\"2024\",\"track\":\"3/12\",\"format\":"
                 "\"mp4\",\"has_cover\":true,\"cover_mime\":\"image/jpeg\"}");
    id3_free_string(json);
}

TEST(Mp4Read, ImagesShorterThanOneHeaderFail) {
    for (size_t len : {0, 1, 7}) {
        Read r(Bytes(FTYP.begin(), FTYP.begin() + len));
        EXPECT_EQ(r.rc, -1) << len;
        EXPECT_STREQ(id3_last_error(), "too short for MP4") << len;
        EXPECT_EQ(r.t.format, ID3_FMT_MP4) << len; // set before the length test
    }
    // One empty atom is a file without tags.
    Read eight(mp4_atom("ftyp", {}));
    expect_no_tags(eight);
    EXPECT_STREQ(id3_last_error(), "");
}

// Atom headers at the top level: a header before moov that is accepted is stepped over and moov
// is found behind it; one that does not fit ends the search; a size smaller than its own header is
// damage, and the read fails (as in mutagen and ffmpeg).
TEST(Mp4Read, TopLevelHeaderBeforeMoov) {
    const Bytes moov = moov_with(meta_full(mp4_atom("ilst", text_item(NAM, "found"))));
    const uint64_t rest = moov.size(); // bytes after the header under test and its payload
    enum Outcome { FOUND, NOT_FOUND, REFUSED };
    struct Row {
        const char* name;
        Bytes atom;
        Outcome outcome;
    };
    const std::vector<Row> rows = {
        {"size 8, empty payload", atom_sized(8, "free"), FOUND},
        {"size 12", atom_sized(12, "free", repeat(0, 4)), FOUND},
        {"size 0 takes the rest of the file", atom_sized(0, "free"), NOT_FOUND},
        {"size 1, extended 16", atom_ext(16, "free"), FOUND},
        {"size 1, extended 24", atom_ext(24, "wide", repeat(0xAA, 8)), FOUND},
        {"size 1, extended to the end of the file", atom_ext(16 + rest, "wide"), NOT_FOUND},
        {"size 1, extended one past the end", atom_ext(16 + rest + 1, "wide"), NOT_FOUND},
        {"size 1, extended 15", atom_ext(15, "wide"), REFUSED},
        {"size 1, extended 8", atom_ext(8, "wide"), REFUSED},
        {"size 1, extended 1", atom_ext(1, "wide"), REFUSED},
        {"size 1, extended 0", atom_ext(0, "wide"), REFUSED},
        {"size 1, extended 2^64-1", atom_ext(UINT64_MAX, "wide"), NOT_FOUND},
        {"size 1, extended 2^63", atom_ext(uint64_t(1) << 63, "wide"), NOT_FOUND},
        {"size 2", atom_sized(2, "free"), REFUSED},
        {"size 7", atom_sized(7, "free"), REFUSED},
        {"size one past the end", atom_sized((uint32_t)(8 + rest + 1), "free"), NOT_FOUND},
        {"size 2^32-1", atom_sized(UINT32_MAX, "free"), NOT_FOUND},
    };
    for (const Row& row : rows) {
        Read r(FTYP + row.atom + moov);
        EXPECT_EQ(r.rc, row.outcome == REFUSED ? -1 : 0) << row.name;
        EXPECT_STREQ(id3_last_error(),
                     row.outcome == REFUSED ? "MP4 atom size smaller than its header" : "")
            << row.name;
        EXPECT_EQ(r.title(), row.outcome == FOUND ? Text("found") : std::nullopt) << row.name;
    }
}

// moov's own header in its accepted and refused forms, as the last atom of the file.
TEST(Mp4Read, MoovHeaderForms) {
    const Bytes payload =
        MVHD + mp4_atom("udta", meta_full(mp4_atom("ilst", text_item(NAM, "found"))));
    const uint32_t n = (uint32_t)payload.size();
    struct Row {
        const char* name;
        Bytes moov;
        bool found;
    };
    const std::vector<Row> rows = {
        {"exact size", atom_sized(8 + n, "moov", payload), true},
        {"size 0", atom_sized(0, "moov", payload), true},
        {"size 1, extended", atom_ext(16 + n, "moov", payload), true},
        {"size one past the end", atom_sized(8 + n + 1, "moov", payload), false},
        {"size 1, extended one past the end", atom_ext(16 + n + 1, "moov", payload), false},
        {"size 1, header cut after 12 bytes", be32(1) + S("moov") + be32(0), false},
        {"type in upper case", atom_sized(8 + n, "MOOV", payload), false},
    };
    for (const Row& row : rows) {
        Read r(FTYP + row.moov);
        EXPECT_EQ(r.rc, 0) << row.name;
        EXPECT_EQ(r.title(), row.found ? Text("found") : std::nullopt) << row.name;
    }
}

// The same header rules between two items of the item list, which is followed by more atoms
// inside meta: sizes are judged against what remains of ilst, not of the file.
TEST(Mp4Read, ItemListHeaderBetweenItems) {
    const Bytes artist = text_item(ART, "second");
    const uint64_t rest = artist.size();
    struct Row {
        const char* name;
        Bytes atom;
        int artist_read; // 1 read, 0 not read, -1 the read fails
    };
    const std::vector<Row> rows = {
        {"unknown item with data", mp4_atom("aART", mp4_data(S("ignored"))), 1},
        {"size 8", atom_sized(8, "free"), 1},
        {"size 0 takes the rest of ilst", atom_sized(0, "free"), 0},
        {"size 1, extended 16", atom_ext(16, "free"), 1},
        {"size 1, extended 20", atom_ext(20, "free", repeat(0, 4)), 1},
        {"size 1, extended 15", atom_ext(15, "free"), -1},
        {"size 1, extended past ilst", atom_ext(16 + rest + 1, "free"), 0},
        {"size 2", atom_sized(2, "free"), -1},
        {"size 7", atom_sized(7, "free"), -1},
        {"size past ilst but inside the file", atom_sized((uint32_t)(8 + rest + 1), "free"), 0},
    };
    for (const Row& row : rows) {
        Bytes ilst = mp4_atom("ilst", text_item(NAM, "first") + row.atom + artist);
        Bytes image = FTYP + moov_with(meta_full(ilst + mp4_atom("free", repeat(0, 32))));
        Read r(image);
        EXPECT_EQ(r.rc, row.artist_read < 0 ? -1 : 0) << row.name;
        if (row.artist_read < 0) {
            EXPECT_STREQ(id3_last_error(), "MP4 atom size smaller than its header") << row.name;
            continue;
        }
        EXPECT_EQ(r.title(), Text("first")) << row.name;
        EXPECT_EQ(r.artist(), row.artist_read ? Text("second") : std::nullopt) << row.name;
    }
}

TEST(Mp4Read, ItemWithSizeZeroRunsToTheEndOfTheItemList) {
    // The last item claims size 0; its payload ends with ilst, before the atom that follows it.
    Bytes ilst =
        mp4_atom("ilst", text_item(NAM, "first") + atom_sized(0, ART, mp4_data(S("last"))));
    Read r(FTYP + moov_with(meta_full(ilst + mp4_atom("free", repeat(0xEE, 8)))));
    EXPECT_EQ(r.title(), Text("first"));
    EXPECT_EQ(r.artist(), Text("last"));

    // An item whose size reaches one byte past ilst is refused, though the file goes on.
    Bytes item = text_item(ART, "over");
    Bytes bad = be32((uint32_t)item.size() + 1) + Bytes(item.begin() + 4, item.end());
    Read over(FTYP + moov_with(meta_full(mp4_atom("ilst", bad) + mp4_atom("free", repeat(0, 8)))));
    EXPECT_EQ(over.artist(), std::nullopt);
}

TEST(Mp4Read, MetaWithAndWithoutVersionWord) {
    const Bytes ilst = mp4_atom("ilst", text_item(NAM, "T") + text_item(GEN, "G"));
    struct Row {
        const char* name;
        Bytes udta_payload;
        bool read;
    };
    const std::vector<Row> rows = {
        {"full box with handler", meta_full(ilst), true},
        {"full box, ilst first", mp4_atom("meta", be32(0) + ilst), true},
        {"plain container", mp4_atom("meta", ilst), true},
        {"plain container with handler", mp4_atom("meta", HDLR + ilst), true},
        {"meta after other atoms in udta", mp4_atom("name", S("x")) + meta_full(ilst), true},
        // The ilst four bytes into meta's payload lies outside meta here.
        {"meta payload of 3 bytes", mp4_atom("meta", B({0, 0, 0})) + B({0}) + ilst, false},
        {"meta without ilst", mp4_atom("meta", be32(0) + HDLR), false},
        {"ilst inside another atom", mp4_atom("meta", be32(0) + mp4_atom("wrap", ilst)), false},
        {"no meta", mp4_atom("name", S("x")), false},
    };
    for (const Row& row : rows) {
        Read r(FTYP + moov_with(row.udta_payload));
        EXPECT_EQ(r.rc, 0) << row.name;
        EXPECT_EQ(r.title(), row.read ? Text("T") : std::nullopt) << row.name;
        EXPECT_EQ(r.t.genre ? Text(r.t.genre) : std::nullopt, row.read ? Text("G") : std::nullopt)
            << row.name;
    }
}

TEST(Mp4Read, MetaOutsideUdtaIsNotRead) {
    const Bytes meta = meta_full(mp4_atom("ilst", text_item(NAM, "T") + covr(B({1, 2, 3}))));
    // meta directly in moov.
    Read direct(FTYP + mp4_atom("moov", MVHD + meta));
    expect_no_tags(direct);
    char* json = id3_record_to_json(&direct.t);
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, "{\"title\":\"\",\"artist\":\"\",\"album\":\"\",\"genre\":\"\",\"date\":"
                       "\"\",\"track\":\"\",\"format\":\"mp4\",\"has_cover\":false}");
    id3_free_string(json);

    // udta at the top level, outside moov.
    Read top(FTYP + mp4_atom("udta", meta) + mp4_atom("moov", MVHD));
    expect_no_tags(top);
    // No moov at all.
    Read none(FTYP + mp4_atom("mdat", repeat(0, 64)));
    expect_no_tags(none);
}

TEST(Mp4Read, WalkStartsAtTheFirstByte) {
    // Four zero bytes before ftyp read as a size-0 atom that takes the whole file.
    Read zeros(B({0, 0, 0, 0}) + m4a(text_item(NAM, "T")));
    expect_no_tags(zeros);
    // A leading atom of its own is stepped over like any other.
    Read skip(mp4_atom("wide", {}) + m4a(text_item(NAM, "T")));
    EXPECT_EQ(skip.title(), Text("T"));
}

TEST(Mp4Read, TrackNumbers) {
    expect_field(
        &id3_record::track,
        {
            {"track and total", trkn(5, 12), Text("5/12")},
            {"total 0", trkn(5, 0), Text("5")},
            {"track 0, total 0", trkn(0, 0), Text("0")},
            {"track 0, total 12", trkn(0, 12), Text("0/12")},
            {"largest values", trkn(65535, 65535), Text("65535/65535")},
            {"exactly 14 bytes", mp4_atom("trkn", mp4_data(be16(0) + be16(7) + be16(9), 0)),
             Text("7/9")},
            {"13 bytes", mp4_atom("trkn", mp4_data(be16(0) + be16(7) + B({0}), 0)), std::nullopt},
            {"8 bytes", mp4_atom("trkn", mp4_data({}, 0)), std::nullopt},
            {"no data child", mp4_atom("trkn", be16(0) + be16(7) + be16(9)), std::nullopt},
        });
    // The last readable item wins; an unreadable one after it changes nothing.
    Read two(m4a(trkn(1, 2) + trkn(3, 4) + mp4_atom("trkn", mp4_data(B({0, 0, 0}), 0))));
    EXPECT_EQ(two.track(), Text("3/4"));
}

TEST(Mp4Read, TextItems) {
    expect_field(
        &id3_record::title,
        {
            {"empty value (data payload of 8 bytes)", text_item(NAM, ""), Text("")},
            {"data payload of 7 bytes", mp4_atom(NAM, mp4_atom("data", repeat(0, 7))),
             std::nullopt},
            {"no data child", mp4_atom(NAM, mp4_atom("name", S("x"))), std::nullopt},
            {"data after another child", mp4_atom(NAM, mp4_atom("mean", S("x")) + mp4_data(S("v"))),
             Text("v")},
            {"first data child only", mp4_atom(NAM, mp4_data(S("one")) + mp4_data(S("two"))),
             Text("one")},
            {"zero byte ends the text", text_item(NAM, std::string("ab\0cd", 5)), Text("ab")},
            {"second title replaces the first", text_item(NAM, "one") + text_item(NAM, "two"),
             Text("two")},
            {"second title without data keeps the first", text_item(NAM, "one") + mp4_atom(NAM, {}),
             Text("one")},
            {"second title with a short data keeps the first",
             text_item(NAM, "one") + mp4_atom(NAM, mp4_atom("data", B({0, 0, 0, 1}))), Text("one")},
            {"type in UTF-8 (C2 A9) is not a title", text_item("\xC2\xA9na", "x"), std::nullopt},
            {"data type code not looked at", mp4_atom(NAM, mp4_data(S("raw"), 21)), Text("raw")},
        });
}

// An atom whose size is smaller than its own header is damage: the read fails, as in mutagen and
// ffmpeg, rather than giving the tags before it (or none) as the file's. Each would otherwise
// take a payload that starts at the data atom after it.
TEST(Mp4Read, AtomSmallerThanItsHeaderFailsTheRead) {
    const std::vector<std::pair<const char*, Bytes>> rows = {
        {"data child of size 7", mp4_atom(NAM, atom_sized(7, "data", S("abc")))},
        {"item of size 7", atom_sized(7, NAM) + mp4_data(S("leak"))},
        {"item of extended size 15", atom_ext(15, NAM) + mp4_data(S("leak"))},
        {"item of extended size 8", atom_ext(8, NAM) + mp4_data(S("leak"))},
        {"covr data child of extended size 8", mp4_atom("covr", atom_ext(8, "data", S("abc")))},
        {"trkn data child of size 2", mp4_atom("trkn", atom_sized(2, "data", repeat(0, 16)))},
    };
    for (const auto& row : rows) {
        Read r(m4a(text_item(ART, "before") + row.second));
        EXPECT_EQ(r.rc, -1) << row.first;
        EXPECT_STREQ(id3_last_error(), "MP4 atom size smaller than its header") << row.first;
    }
}

TEST(Mp4Read, CoverMimeFromTheFirstByte) {
    struct Row {
        const char* name;
        Bytes image;
        const char* mime;
    };
    const std::vector<Row> rows = {
        {"PNG signature", B({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}), "image/png"},
        {"0x89 and 4 bytes", B({0x89, 0x50, 0x4E, 0x47}), "image/png"},
        {"0x89 and 3 bytes", B({0x89, 0x50, 0x4E}), "image/jpeg"},
        {"0x89 alone", B({0x89}), "image/jpeg"},
        {"JPEG", B({0xFF, 0xD8, 0xFF, 0xDB, 0x00}), "image/jpeg"},
        {"GIF", S("GIF89a") + B({1, 0, 1, 0}), "image/jpeg"},
        {"BMP", S("BM") + repeat(0, 12), "image/jpeg"},
    };
    for (const Row& row : rows) {
        Read r(m4a(covr(row.image)));
        EXPECT_EQ(r.rc, 0) << row.name;
        EXPECT_EQ(r.cover(), row.image) << row.name;
        EXPECT_EQ(r.t.cover_size, row.image.size()) << row.name;
        EXPECT_EQ(r.t.has_cover, 1) << row.name;
        EXPECT_STREQ(r.t.cover_mime, row.mime) << row.name;
    }
}

TEST(Mp4Read, SeveralCovers) {
    const Bytes png = B({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x42});
    const Bytes jpeg = B({0xFF, 0xD8, 0xFF, 0xD9});

    Read two(m4a(covr(png) + covr(jpeg)));
    EXPECT_EQ(two.cover(), jpeg);
    EXPECT_STREQ(two.t.cover_mime, "image/jpeg");

    // A covr item without image bytes, or without data, leaves the earlier cover.
    Read empty_after(m4a(covr(png) + covr({}) + mp4_atom("covr", {})));
    EXPECT_EQ(empty_after.cover(), png);
    EXPECT_STREQ(empty_after.t.cover_mime, "image/png");

    // Only the first data child of an item is read.
    Read children(m4a(mp4_atom("covr", mp4_data(jpeg, 13) + mp4_data(png, 14))));
    EXPECT_EQ(children.cover(), jpeg);

    // A covr with no image byte alone gives no cover.
    Read none(m4a(covr({})));
    expect_no_tags(none);
}

TEST(Mp4Read, DateItemIsRead) {
    Read r(m4a(text_item(DAY, "2024-05-01") + text_item(NAM, "T")));
    EXPECT_STREQ(r.t.date, "2024-05-01");
    EXPECT_EQ(r.title(), Text("T"));
}

// Every prefix of a file, and the file with each byte replaced by values that make sizes odd, is
// read without touching memory outside the image, and without an error except for a size smaller
// than its header.
TEST(Mp4Read, DamagedFilesStayInsideTheImage) {
    const Bytes full = m4a(text_item(NAM, "T") + trkn(1, 2) + covr(B({0x89, 1, 2, 3, 4})) +
                           atom_ext(24, "free", repeat(0, 8)) + text_item(ART, "A"));
    for (size_t len = 0; len <= full.size(); ++len) {
        Read r(Bytes(full.begin(), full.begin() + len));
        ASSERT_EQ(r.rc, len < 8 ? -1 : 0) << len;
        ASSERT_LE(r.t.cover_size, len) << len;
    }
    for (size_t i = 0; i < full.size(); ++i) {
        for (int value : {0x00, 0x01, 0x07, 0x08, 0x10, 0x7F, 0xFF}) {
            Bytes damaged = full;
            damaged[i] = (uint8_t)value;
            Read r(damaged);
            if (r.rc != 0) {
                ASSERT_STREQ(id3_last_error(), "MP4 atom size smaller than its header")
                    << "byte " << i << " = " << value << ": " << hex(damaged);
            }
            ASSERT_LE(r.t.cover_size, damaged.size());
        }
    }
}

// The one load: a region for each top-level atom and one for the item list's payload, and an item
// for each item of the list (covr: one per picture) whose raw span is the file's bytes.
TEST(Mp4Load, ModelHoldsRegionsAndItems) {
    const Bytes png = B({0x89, 0x50, 0x4E, 0x47, 0x42});
    const Bytes jpeg = B({0xFF, 0xD8, 0xFF, 0xD9});
    const Bytes freeform =
        mp4_atom("----", mp4_atom("mean", be32(0) + S("com.apple.iTunes")) +
                             mp4_atom("name", be32(0) + S("MOOD")) + mp4_data(S("calm")));
    const Bytes items = text_item(NAM, "T") + trkn(3, 9) +
                        mp4_atom("covr", mp4_data(jpeg, 13) + mp4_data(png, 14)) + freeform +
                        mp4_atom("stik", mp4_data(B({1}), 21));
    const Bytes image = m4a(items);
    id3_file f;
    id3_file_from_image(&f, image.data(), image.size());
    id3_model m = {};
    id3_model_guard guard{&m};
    ASSERT_EQ(id3_mp4_load_model(&f, &m), 0) << id3_last_error();
    EXPECT_EQ(m.format, ID3_FMT_MP4);

    const Bytes moov = moov_with(meta_full(mp4_atom("ilst", items)));
    ASSERT_EQ(m.region_count, 4u);
    const uint64_t ilst_at = image.size() - 24 - items.size(); // mdat: 8 + 16 bytes after it
    const id3_region expected[] = {
        {ID3_REGION_MP4_ATOM, 0, FTYP.size(), 0x66747970},                // ftyp
        {ID3_REGION_MP4_ATOM, FTYP.size(), moov.size(), 0x6D6F6F76},      // moov
        {ID3_REGION_MP4_ATOM, FTYP.size() + moov.size(), 24, 0x6D646174}, // mdat
        {ID3_REGION_MP4_ITEM_LIST, ilst_at, items.size(), 0},
    };
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(m.regions[i].kind, expected[i].kind);
        EXPECT_EQ(m.regions[i].off, expected[i].off);
        EXPECT_EQ(m.regions[i].len, expected[i].len);
        EXPECT_EQ(m.regions[i].type, expected[i].type);
    }

    struct ItemRow {
        const char* id;
        int kind;
        const char* key;
        std::vector<std::string> values;
        Bytes data;
        int rank;
    };
    const ItemRow rows[] = {
        {NAM, ID3_ITEM_TEXT, "TITLE", {"T"}, S("T"), 0},
        {"trkn", ID3_ITEM_TEXT, "TRACKNUMBER", {"3/9"}, be16(0) + be16(3) + be16(9) + be16(0), 0},
        {"covr", ID3_ITEM_PICTURE, nullptr, {}, jpeg, 0},
        {"covr", ID3_ITEM_PICTURE, nullptr, {}, png, 1},
        {"----", ID3_ITEM_TEXT, "MOOD", {"calm"}, S("calm"), 0},
        {"stik", ID3_ITEM_OTHER, nullptr, {}, B({1}), 0},
    };
    ASSERT_EQ(m.item_count, sizeof rows / sizeof rows[0]);
    for (size_t i = 0; i < m.item_count; i++) {
        const id3_item& item = m.items[i];
        const ItemRow& row = rows[i];
        SCOPED_TRACE(row.id);
        EXPECT_EQ(std::string(item.id, item.id_len), row.id);
        EXPECT_EQ(item.kind, row.kind);
        EXPECT_EQ(Read::text(item.key), row.key ? Text(row.key) : std::nullopt);
        std::vector<std::string> values;
        for (uint64_t v = 0; v < item.value_count; v++)
            values.emplace_back(item.values[v], item.value_lens[v]);
        EXPECT_EQ(values, row.values);
        EXPECT_EQ(Bytes(item.data, item.data + item.data_len), row.data);
        EXPECT_EQ(item.rank, row.rank);
        EXPECT_EQ(item.damaged, 0);
        ASSERT_LE(item.raw_off + item.raw_len, image.size());
        EXPECT_EQ(Bytes(item.raw, item.raw + item.raw_len),
                  Bytes(image.begin() + item.raw_off, image.begin() + item.raw_off + item.raw_len));
    }
    EXPECT_STREQ(m.items[2].mime, "image/jpeg");
    EXPECT_STREQ(m.items[3].mime, "image/png");
    EXPECT_EQ(m.items[3].raw_len, 8u + 8u + png.size()); // the second picture's data atom
}

// A child atom smaller than its header inside an item: the record fails only when the damage
// comes before the item's first data atom, the property map whenever the item has a key; damage
// in an item of no key and no record field (stik) fails neither.
TEST(Mp4Load, DamageInsideAnItem) {
    const Bytes damaged = atom_sized(4, "xxxx");
    struct Row {
        const char* name;
        Bytes item;
        int record_rc;
        int props_rc;
    };
    const Row rows[] = {
        {"after the first data", mp4_atom(NAM, mp4_data(S("T")) + damaged), 0, -1},
        {"before the first data", mp4_atom(NAM, damaged + mp4_data(S("T"))), -1, -1},
        {"in covr after its picture", mp4_atom("covr", mp4_data(B({1, 2}), 13) + damaged), 0, -1},
        {"before a freeform's mean", mp4_atom("----", damaged), 0, -1},
        {"in an item of no key", mp4_atom("stik", damaged), 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes image = m4a(text_item(ART, "A") + row.item);
        id3_file f;
        id3_file_from_image(&f, image.data(), image.size());
        id3_record t;
        id3_record_init(&t);
        id3_clear_error();
        EXPECT_EQ(id3_mp4_load(&f, &t, false), row.record_rc);
        EXPECT_STREQ(id3_last_error(),
                     row.record_rc ? "MP4 atom size smaller than its header" : "");
        EXPECT_EQ(Read::text(t.artist), row.record_rc ? std::nullopt : Text("A"));
        id3_record_free(&t);
        id3_property_map p = {};
        id3_clear_error();
        EXPECT_EQ(id3_mp4_load_props(&f, &p), row.props_rc);
        EXPECT_STREQ(id3_last_error(), row.props_rc ? "MP4 atom size smaller than its header" : "");
        EXPECT_EQ(p.count, row.props_rc ? 0u : 1u);
        id3_property_map_free(&p);
        // The reader over the whole image agrees on the record.
        EXPECT_EQ(bounded_read_difference(ID3_FMT_MP4, image), "");
    }
}

// The front cover written out comes from the same load as the record: the first picture of the
// last covr item that has one, and no picture where the record's read fails.
TEST(Mp4Load, FrontCoverWrittenOut) {
    const Bytes png = B({0x89, 0x50, 0x4E, 0x47, 0x42});
    const Bytes jpeg = B({0xFF, 0xD8, 0xFF, 0xD9});
    const Bytes damaged = mp4_atom(ART, atom_sized(4, "xxxx") + mp4_data(S("A")));
    struct Row {
        const char* name;
        Bytes items;
        Bytes expected; // empty: the call fails with message
        const char* message;
    };
    const Row rows[] = {
        {"the last covr's first picture",
         covr(png) + mp4_atom("covr", mp4_data(jpeg, 13) + mp4_data(png, 14)), jpeg, ""},
        {"a later covr without picture bytes", covr(png) + covr({}), png, ""},
        {"no covr", text_item(NAM, "T"), {}, "no cover art"},
        {"damage the record meets",
         covr(png) + damaged,
         {},
         "MP4 atom size smaller than its header"},
    };
    TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string in = dir.file("in.m4a"), out = dir.file("cover.bin");
        remove(out.c_str());
        ASSERT_TRUE(write_file(in, m4a(row.items)));
        int rc = id3_extract_cover(in.c_str(), out.c_str());
        EXPECT_EQ(rc, row.expected.empty() ? -1 : 0);
        EXPECT_STREQ(id3_last_error(), row.message);
        if (rc == 0) {
            EXPECT_EQ(read_file(out), row.expected);
        }
    }
}
