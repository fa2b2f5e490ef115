// The MP4 writer: the new moov byte for byte against a rebuild of the whole file by the fixture
// builder below (which places every chunk offset itself), the free atoms that give or take the
// room, the item list's carried and replaced items, and the refusals that leave the file alone.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "write_paths.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char* const NAM = "\251nam";
const char* const ART = "\251ART";
const char* const GEN = "\251gen";
const char* const DAY = "\251day";

Bytes text_item(const std::string& type, const std::string& text) {
    return mp4_atom(type, mp4_data(S(text)));
}
Bytes trkn(uint32_t track, uint32_t total) {
    return mp4_atom("trkn", mp4_data(be16(0) + be16(track) + be16(total) + be16(0), 0));
}
// A freeform item, which the writer never names: carried byte for byte.
const Bytes FREEFORM =
    mp4_atom("----", mp4_atom("mean", be32(0) + S("com.apple.iTunes")) +
                         mp4_atom("name", be32(0) + S("MOOD")) + mp4_data(S("calm")));
Bytes free_atom(uint32_t size, const std::string& type = "free") {
    return mp4_atom(type, repeat(0, size - 8));
}
// An atom with size 1 and a 64-bit size.
Bytes large_atom(const std::string& type, const Bytes& payload) {
    return be32(1) + S(type) + be64(16 + payload.size()) + payload;
}

const Bytes FTYP = mp4_atom("ftyp", S("M4A ") + be32(0x200) + S("M4A isommp42"));
const Bytes HDLR = mp4_atom("hdlr", be32(0) + be32(0) + S("mdirappl") + be32(0) + be32(0) + B({0}));
const Bytes MVHD = mp4_atom("mvhd", repeat(0, 100));
// Another child of udta, before meta: carried.
const Bytes CHPL = mp4_atom("chpl", repeat(0x55, 9));

// The samples in mdat: two audio chunks and a chapter title between them, each with bytes of its
// own, so that an offset that points elsewhere shows.
const Bytes CHUNK_A = repeat(0xA1, 16);
const Bytes CHUNK_T = be16(6) + S("Intro!");
const Bytes CHUNK_C = repeat(0xC3, 16);

// A whole file, every chunk offset placed by the builder from where mdat's payload lands.
struct Layout {
    bool moov_last = false;
    int path = 3; // what exists of udta (1), meta (2), ilst (3)
    Bytes udta_before_meta = CHPL;
    Bytes items;
    Bytes after_ilst;  // atoms after ilst in meta
    Bytes before_moov; // top-level atoms between ftyp and moov (moov first) or mdat (moov last)
    Bytes after_moov;  // top-level atoms right after moov
    bool co64 = false;
    uint64_t far_offset = 0; // a further audio chunk offset (co64), not shifted with the samples
    bool chapter_track = true;
    bool mdat64 = false;
    uint64_t mdat_claims = 0; // a 64-bit mdat's size field, when not the bytes it holds
    bool self_contained = true;
    bool meta_version = true; // meta as a full box
    Bytes moov_extra;         // further atoms at the end of moov, before udta

    Bytes table(const std::vector<uint64_t>& offsets) const {
        Bytes entries;
        for (uint64_t o : offsets)
            entries += co64 ? be64(o) : be32((uint32_t)o);
        return mp4_atom(co64 ? "co64" : "stco", be32(0) + be32((uint32_t)offsets.size()) + entries);
    }
    Bytes trak(const std::string& handler, const Bytes& offsets_table) const {
        Bytes dref =
            mp4_atom("dref", be32(0) + be32(1) + mp4_atom("url ", be32(self_contained ? 1 : 0)));
        Bytes stbl = mp4_atom("stbl", mp4_atom("stsd", be32(0) + be32(0)) + offsets_table);
        Bytes minf = mp4_atom("minf", mp4_atom("dinf", dref) + stbl);
        Bytes mdia = mp4_atom(
            "mdia", mp4_atom("mdhd", repeat(0, 24)) +
                        mp4_atom("hdlr", be32(0) + be32(0) + S(handler) + repeat(0, 13)) + minf);
        return mp4_atom("trak", mp4_atom("tkhd", repeat(0, 84)) + mdia);
    }
    Bytes udta() const {
        if (path == 0)
            return {};
        Bytes meta_payload = (meta_version ? be32(0) : Bytes{}) + HDLR;
        if (path >= 3)
            meta_payload += mp4_atom("ilst", items) + after_ilst;
        return mp4_atom("udta",
                        udta_before_meta + (path >= 2 ? mp4_atom("meta", meta_payload) : Bytes{}));
    }
    Bytes moov(uint64_t samples_at) const {
        std::vector<uint64_t> audio = {samples_at, samples_at + CHUNK_A.size() + CHUNK_T.size()};
        if (far_offset)
            audio.push_back(far_offset);
        Bytes traks = trak("soun", table(audio));
        if (chapter_track)
            traks += trak("text", table({samples_at + CHUNK_A.size()}));
        return mp4_atom("moov", MVHD + traks + moov_extra + udta());
    }
    Bytes mdat() const {
        Bytes samples = CHUNK_A + CHUNK_T + CHUNK_C;
        if (mdat_claims)
            return be32(1) + S("mdat") + be64(mdat_claims) + samples;
        return mdat64 ? large_atom("mdat", samples) : mp4_atom("mdat", samples);
    }
    Bytes file() const {
        uint64_t mdat_header = mdat64 ? 16 : 8;
        if (moov_last) {
            uint64_t at = FTYP.size() + before_moov.size() + mdat_header;
            return FTYP + before_moov + mdat() + moov(at) + after_moov;
        }
        uint64_t at =
            FTYP.size() + before_moov.size() + moov(0).size() + after_moov.size() + mdat_header;
        return FTYP + before_moov + moov(at) + after_moov + mdat();
    }
};

const Bytes OLD_ITEMS = text_item(NAM, "Old") + text_item(ART, "Band") + FREEFORM + trkn(3, 12);
const Bytes NEW_ITEMS =
    text_item(NAM, "The new title") + text_item(ART, "Band") + FREEFORM + trkn(3, 12);
const int64_t GROWTH = (int64_t)NEW_ITEMS.size() - (int64_t)OLD_ITEMS.size();

struct WriteResult {
    int rc;
    std::string error;
    Bytes after;
};

WriteResult write_json(const Bytes& before, const char* json) {
    TempDir dir;
    std::string path = dir.file("song.m4a");
    EXPECT_TRUE(write_file(path, before));
    WriteResult r;
    r.rc = id3_write(path.c_str(), json);
    r.error = id3_last_error();
    r.after = read_file(path);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.m4a"});
    return r;
}

std::string read_json(const Bytes& image) {
    TempDir dir;
    std::string path = dir.file("song.m4a");
    EXPECT_TRUE(write_file(path, image));
    char* text = id3_read(path.c_str());
    std::string json = text ? text : std::string("ERROR: ") + id3_last_error();
    id3_free_string(text);
    return json;
}

Layout with_items(Layout l, const Bytes& items) {
    l.items = items;
    return l;
}

} // namespace

// A title written into each layout: the file must equal the builder's file with the new item list
// (which places every chunk offset where the samples then are), or with the free atom that took
// the change.
TEST(Mp4Write, LayoutsTable) {
    struct Case {
        const char* name;
        Layout before;
        Layout expected;
    };
    std::vector<Case> cases;
    Layout base = with_items(Layout{}, OLD_ITEMS);
    cases.push_back({"moov first: offsets shift", base, with_items(base, NEW_ITEMS)});
    {
        Layout l = base;
        l.moov_last = true;
        l.before_moov = free_atom(8);
        cases.push_back(
            {"moov last, as ffmpeg writes without faststart", l, with_items(l, NEW_ITEMS)});
    }
    {
        Layout l = base;
        l.chapter_track = false;
        l.mdat64 = true;
        cases.push_back({"one track, 64-bit mdat", l, with_items(l, NEW_ITEMS)});
    }
    {
        Layout l = base;
        l.before_moov = free_atom(16) + mp4_atom("wide", {});
        cases.push_back({"free atoms before moov stay", l, with_items(l, NEW_ITEMS)});
    }
    // A free atom in `field` before the write and what the write leaves there.
    auto free_case = [&](const char* name, Bytes Layout::*field, const Bytes& before,
                         const Bytes& after, bool moov_last) {
        Layout l = base;
        l.moov_last = moov_last;
        l.*field = before;
        Layout e = with_items(l, NEW_ITEMS);
        e.*field = after;
        cases.push_back({name, l, e});
    };
    const Bytes uuid = mp4_atom("uuid", repeat(7, 20));
    free_case("free after ilst gives the room", &Layout::after_ilst, free_atom(64),
              free_atom((uint32_t)(64 - GROWTH)), false);
    free_case("skip after ilst used up exactly", &Layout::after_ilst,
              free_atom((uint32_t)GROWTH, "skip"), {}, false);
    // 4 bytes would be left: no atom, so the offsets shift and the free atom stays.
    free_case("free after ilst too small: offsets shift", &Layout::after_ilst,
              free_atom((uint32_t)GROWTH + 4), free_atom((uint32_t)GROWTH + 4), false);
    free_case("free after moov gives the room", &Layout::after_moov, free_atom(100),
              free_atom((uint32_t)(100 - GROWTH)), false);
    free_case("moov last with free and more after it", &Layout::after_moov, free_atom(100) + uuid,
              free_atom((uint32_t)(100 - GROWTH)) + uuid, true);
    {
        // A meta without the version word, as older QuickTime files have it.
        Layout l = base;
        l.meta_version = false;
        cases.push_back({"meta without its version word", l, with_items(l, NEW_ITEMS)});
    }
    {
        Layout l = base;
        l.path = 2;
        Layout e = with_items(l, text_item(NAM, "The new title"));
        e.path = 3;
        cases.push_back({"meta without ilst", l, e});
    }
    {
        Layout l = base;
        l.path = 1;
        Layout e = with_items(l, text_item(NAM, "The new title"));
        e.path = 3;
        cases.push_back({"udta without meta", l, e});
    }
    {
        Layout l = base;
        l.path = 0;
        Layout e = with_items(l, text_item(NAM, "The new title"));
        e.path = 3;
        e.udta_before_meta = {};
        cases.push_back({"moov without udta", l, e});
    }
    {
        Layout l = base;
        l.path = 0;
        l.moov_last = true;
        Layout e = with_items(l, text_item(NAM, "The new title"));
        e.path = 3;
        e.udta_before_meta = {};
        cases.push_back({"moov last without udta", l, e});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes before = c.before.file();
        WriteResult r = write_json(before, "{\"title\":\"The new title\"}");
        ASSERT_EQ(r.rc, 0) << r.error;
        EXPECT_EQ(hex(r.after), hex(c.expected.file()));
        EXPECT_NE(read_json(r.after).find("\"title\":\"The new title\""), std::string::npos);
    }
}

// A shorter list gives its bytes to the free atom after moov, which grows; without one the
// offsets move back.
TEST(Mp4Write, ShrinkingList) {
    Layout l = with_items(Layout{}, text_item(NAM, "A rather long old title") + FREEFORM);
    Bytes new_items = text_item(NAM, "T") + FREEFORM;
    int64_t shrink = (int64_t)l.items.size() - (int64_t)new_items.size();
    Layout e = with_items(l, new_items);
    WriteResult r = write_json(l.file(), "{\"title\":\"T\"}");
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(hex(r.after), hex(e.file()));

    l.after_moov = free_atom(8);
    e.after_moov = free_atom((uint32_t)(8 + shrink));
    r = write_json(l.file(), "{\"title\":\"T\"}");
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(hex(r.after), hex(e.file()));
}

// The items of the named fields are replaced where the first of them stood; others stay in order.
TEST(Mp4Write, ItemsTable) {
    const Bytes gnre = mp4_atom("gnre", mp4_data(be16(18), 0));
    const Bytes jpeg = S("\xFF\xD8\xFF old front");
    const Bytes back = S("\x89PNG back cover");
    struct Case {
        const char* name;
        Bytes items;
        const char* json;
        Bytes expected;
    };
    const Case cases[] = {
        {"nothing named: unchanged", OLD_ITEMS, "{}", OLD_ITEMS},
        {"same value: unchanged", OLD_ITEMS, "{\"title\":\"Old\",\"track\":\"3/12\"}", OLD_ITEMS},
        {"number only keeps the total", OLD_ITEMS, "{\"track\":\"5\"}",
         text_item(NAM, "Old") + text_item(ART, "Band") + FREEFORM + trkn(5, 12)},
        {"number and total", OLD_ITEMS, "{\"track\":\"7/9\"}",
         text_item(NAM, "Old") + text_item(ART, "Band") + FREEFORM + trkn(7, 9)},
        {"removed and emptied fields go", OLD_ITEMS, "{\"title\":null,\"artist\":\"\"}",
         FREEFORM + trkn(3, 12)},
        {"new fields at the end in order", FREEFORM,
         "{\"date\":\"2024-05-01\",\"album\":\"LP\",\"track\":\"2\"}",
         FREEFORM + text_item("\251alb", "LP") + text_item(DAY, "2024-05-01") + trkn(2, 0)},
        {"a later duplicate goes", text_item(NAM, "One") + FREEFORM + text_item(NAM, "Two"),
         "{\"title\":\"Three\"}", text_item(NAM, "Three") + FREEFORM},
        {"named genre replaces gnre in its place", text_item(NAM, "Old") + gnre + FREEFORM,
         "{\"genre\":\"Jazz\"}", text_item(NAM, "Old") + text_item(GEN, "Jazz") + FREEFORM},
        {"gnre stays when genre is not named", text_item(NAM, "Old") + gnre, "{\"title\":\"New\"}",
         text_item(NAM, "New") + gnre},
        {"cover removed",
         text_item(NAM, "Old") + mp4_atom("covr", mp4_data(jpeg, 13) + mp4_data(back, 14)),
         "{\"cover\":null}", text_item(NAM, "Old") + mp4_atom("covr", mp4_data(back, 14))},
        {"the only cover removed: the item goes",
         text_item(NAM, "Old") + mp4_atom("covr", mp4_data(jpeg, 13)), "{\"cover\":null}",
         text_item(NAM, "Old")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Layout l = with_items(Layout{}, c.items);
        WriteResult r = write_json(l.file(), c.json);
        ASSERT_EQ(r.rc, 0) << r.error;
        EXPECT_EQ(hex(r.after), hex(with_items(l, c.expected).file()));
    }
}

// The date item is read into "date", so that what a write sets reads back.
TEST(Mp4Write, DateReadsBack) {
    Layout l = with_items(Layout{}, OLD_ITEMS);
    WriteResult r = write_json(l.file(), "{\"date\":\"1999\",\"genre\":\"Rock\"}");
    ASSERT_EQ(r.rc, 0) << r.error;
    std::string json = read_json(r.after);
    EXPECT_NE(json.find("\"date\":\"1999\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"genre\":\"Rock\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"track\":\"3/12\""), std::string::npos) << json;
}

// A cover set on a file with two pictures replaces the first and keeps the other, with the data
// type of the new picture (14 PNG, 13 JPEG); on a file without covr one is added.
TEST(Mp4Write, SetCover) {
    const Bytes old_front = S("\xFF\xD8\xFF old front");
    const Bytes back = S("\xFF\xD8\xFF back");
    const Bytes png = S("\x89PNG\r\n\x1A\n") + repeat(0x42, 40);
    const Bytes jpeg = S("\xFF\xD8\xFF\xE0") + repeat(0x43, 40);
    struct Case {
        const char* name;
        Bytes items;
        Bytes image;
        Bytes expected;
    };
    const Case cases[] = {
        {"two pictures, the first replaced",
         text_item(NAM, "Old") + mp4_atom("covr", mp4_data(old_front, 13) + mp4_data(back, 13)),
         png, text_item(NAM, "Old") + mp4_atom("covr", mp4_data(png, 14) + mp4_data(back, 13))},
        {"no covr: added at the end", text_item(NAM, "Old"), jpeg,
         text_item(NAM, "Old") + mp4_atom("covr", mp4_data(jpeg, 13))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file("song.m4a"), image = dir.file("cover");
        Layout l = with_items(Layout{}, c.items);
        ASSERT_TRUE(write_file(path, l.file()));
        ASSERT_TRUE(write_file(image, c.image));
        ASSERT_EQ(id3_set_cover(path.c_str(), image.c_str()), 0) << id3_last_error();
        EXPECT_EQ(hex(read_file(path)), hex(with_items(l, c.expected).file()));
    }
}

// Offsets near 4 GiB, in a file that large: the image holds its bytes up to the samples, and its
// mdat claims the rest (the writer reads no byte of it). co64 entries shift in 64 bits; a stco
// entry that would pass 4 GiB is refused.
TEST(Mp4Write, OffsetsNearFourGiB) {
    struct Case {
        const char* name;
        bool co64;
        uint64_t far_offset;
        const char* message; // NULL: written
    };
    const Case cases[] = {
        {"co64 with an offset past 4 GiB", true, 0x100000010ull, nullptr},
        {"stco entry would pass 4 GiB", false, 0xFFFFFFFEu,
         "MP4 chunk offset past 4 GiB in a 32-bit table (stco)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Layout l = with_items(Layout{}, OLD_ITEMS);
        l.co64 = c.co64;
        l.far_offset = c.far_offset;
        l.mdat64 = true;
        l.mdat_claims = 0x100000100ull;
        const Bytes image = l.file();
        id3_file f;
        id3_file_from_image(&f, image.data(), image.size());
        f.size = image.size() - l.mdat().size() + l.mdat_claims;
        id3_record t;
        id3_record_init(&t);
        t.title = strdup("The new title");
        id3_head head = {};
        int rc = id3_mp4_build_head(&f, &t, id3_change{ID3_NAMED_TITLE, 0, nullptr, 0}, &head);
        id3_record_free(&t);
        if (c.message) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(std::string(id3_last_error()), c.message);
            continue;
        }
        ASSERT_EQ(rc, 0) << id3_last_error();
        Layout e = with_items(l, NEW_ITEMS);
        e.far_offset = l.far_offset + GROWTH;
        const Bytes expected = e.file();
        EXPECT_EQ(head.keep_len, FTYP.size());
        EXPECT_EQ(
            hex(Bytes(head.data, head.data + head.len)),
            hex(Bytes(expected.begin() + FTYP.size(), expected.begin() + FTYP.size() + head.len)));
        id3_head_release(&head);
    }
}

// Files whose layout cannot be rewritten with every offset provably right, and damaged ones: the
// write is refused with a message and the file stays as it was.
TEST(Mp4Write, RefusalsTable) {
    struct Case {
        const char* name;
        Bytes file;
        const char* json;
        const char* message;
    };
    std::vector<Case> cases;
    Layout base = with_items(Layout{}, OLD_ITEMS);
    const char* title = "{\"title\":\"The new title\"}";
    cases.push_back({"fragmented: moof", base.file() + mp4_atom("moof", repeat(0, 16)), title,
                     "fragmented MP4 (moof) write unsupported"});
    {
        Layout l = base;
        l.moov_extra = mp4_atom("mvex", mp4_atom("trex", repeat(0, 24)));
        cases.push_back(
            {"fragmented: mvex", l.file(), title, "fragmented MP4 (moof) write unsupported"});
    }
    {
        Layout l = base;
        l.far_offset = FTYP.size() + 20; // inside moov
        cases.push_back({"offset into moov", l.file(), title,
                         "MP4 chunk offset inside moov: offsets cannot be shifted"});
    }
    {
        // A file cut short: offsets past its end would be shifted along, or, with moov last
        // (its media cut off: no mdat at all), point into the grown moov.
        Layout l = base;
        l.far_offset = 0x10000;
        const char* past_end =
            "MP4 chunk offset past the end of the file: offsets cannot be shifted";
        cases.push_back({"offset past the end, moov first", l.file(), title, past_end});
        l = base;
        l.moov_last = true;
        cases.push_back({"moov last, media cut off", FTYP + l.moov(57025), title, past_end});
        cases.push_back({"moov last, media cut off, free atom too small",
                         FTYP + l.moov(57025) + free_atom(8), title, past_end});
        l.far_offset = FTYP.size() + l.mdat().size() + 20;
        cases.push_back({"moov last, offset into moov", l.file(), title,
                         "MP4 chunk offset inside moov: offsets cannot be shifted"});
    }
    {
        Layout l = base;
        l.self_contained = false;
        cases.push_back({"media in another file", l.file(), title,
                         "MP4 track with media in another file: offsets cannot be shifted"});
    }
    {
        Layout l = base;
        l.moov_extra = mp4_atom("trak", mp4_atom("tkhd", repeat(0, 84)));
        cases.push_back({"track without chunk offsets", l.file(), title,
                         "MP4 track without chunk offsets: offsets cannot be shifted"});
    }
    {
        // The audio table claims one entry more than it holds.
        Bytes f = base.file();
        Bytes stco = S("stco");
        auto at = std::search(f.begin(), f.end(), stco.begin(), stco.end()) - f.begin();
        f[at + 4 + 4 + 3] = 3;
        cases.push_back({"chunk count past its table", f, title, "damaged MP4 chunk offset table"});
    }
    cases.push_back({"item list with a damaged item",
                     with_items(base, OLD_ITEMS + be32(4) + S("junk")).file(), title,
                     "MP4 atom size smaller than its header"});
    cases.push_back({"bytes after the last atom", base.file() + B({0, 0, 0}), title,
                     "damaged MP4 atom layout"});
    cases.push_back(
        {"two moov", base.file() + base.moov(0), title, "MP4 file with more than one moov"});
    {
        // An atom with size 0 runs to the end of its container: an item or a udta added after
        // it would be taken into it.
        Layout l = base;
        l.path = 0;
        l.moov_extra = be32(0) + S("uuid") + repeat(9, 8);
        cases.push_back({"moov ending in an atom sized to its end", l.file(), title,
                         "MP4 atom sized to the end of its container: nothing can follow it"});
        cases.push_back(
            {"item list ending in an item sized to its end",
             with_items(base, text_item(ART, "Band") + be32(0) + S("\251cmt") + repeat(1, 8))
                 .file(),
             title, "MP4 atom sized to the end of its container: nothing can follow it"});
    }
    cases.push_back({"track that is not a number", base.file(), "{\"track\":\"A1\"}",
                     "MP4 track must be a number or number/total: A1"});
    cases.push_back({"track past 16 bits", base.file(), "{\"track\":\"70000\"}",
                     "MP4 track must be a number or number/total: 70000"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteResult r = write_json(c.file, c.json);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.error, c.message);
        EXPECT_EQ(hex(r.after), hex(c.file));
    }
}

// A file whose moov is last and whose media was cut off is written where no offset moves and
// moov does not grow over them: a smaller moov, or a free atom after it that takes the growth;
// with moov last, a track of media in another file or of no offset table is no obstacle.
TEST(Mp4Write, MoovLastWrittenWhereNoOffsetCanGoWrong) {
    Layout cut = with_items(Layout{}, OLD_ITEMS);
    cut.moov_last = true;
    const Bytes shorter = text_item(NAM, "O") + text_item(ART, "Band") + FREEFORM + trkn(3, 12);
    Layout elsewhere = cut;
    elsewhere.self_contained = false;
    Layout no_table = cut;
    no_table.moov_extra = mp4_atom("trak", mp4_atom("tkhd", repeat(0, 84)));
    struct Case {
        const char* name;
        Bytes before;
        const char* json;
        Bytes expected;
    };
    const Case cases[] = {
        {"cut off, moov shrinks", FTYP + cut.moov(57025), "{\"title\":\"O\"}",
         FTYP + with_items(cut, shorter).moov(57025)},
        {"cut off, free atom takes the growth", FTYP + cut.moov(57025) + free_atom(64),
         "{\"title\":\"The new title\"}",
         FTYP + with_items(cut, NEW_ITEMS).moov(57025) + free_atom((uint32_t)(64 - GROWTH))},
        {"media in another file", elsewhere.file(), "{\"title\":\"The new title\"}",
         with_items(elsewhere, NEW_ITEMS).file()},
        {"track without offsets", no_table.file(), "{\"title\":\"The new title\"}",
         with_items(no_table, NEW_ITEMS).file()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteResult r = write_json(c.before, c.json);
        ASSERT_EQ(r.rc, 0) << r.error;
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(hex(r.after), hex(c.expected));
    }
}

// A first trkn item whose data atom claims more bytes than the item holds is carried as it is;
// the write succeeds and, as every success, leaves no message.
TEST(Mp4Write, DamagedTrackItemIsCarriedWithoutAMessage) {
    const Bytes damaged_trkn = mp4_atom("trkn", be32(32) + S("data") + be32(0) + be32(0) + be16(0) +
                                                    be16(3) + be16(12) + be16(0));
    // ftyp and moov{mvhd, udta{meta{hdlr, ilst}}}: no track, no media.
    auto file = [](const Bytes& items) {
        return FTYP +
               mp4_atom("moov",
                        MVHD + mp4_atom("udta", mp4_atom("meta", be32(0) + HDLR +
                                                                     mp4_atom("ilst", items))));
    };
    const Bytes head = file(damaged_trkn), expected = file(damaged_trkn + text_item(NAM, "M"));
    WriteResult r = write_json(head, "{\"title\":\"M\"}");
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(hex(r.after), hex(expected));
}

// Bytes appended to a file whose moov is last, or the file cut short inside the bytes kept before
// moov, while the new file is made: the write fails and the file stays as the other program left
// it.
TEST(Mp4Write, FileChangedWhileWritingIsLeftAlone) {
    Layout l = with_items(Layout{}, OLD_ITEMS);
    l.moov_last = true;
    const Bytes original = l.file();
    for (bool appended : {true, false}) {
        SCOPED_TRACE(appended ? "appended" : "cut short");
        TempDir dir;
        std::string path = dir.file("song.m4a");
        ASSERT_TRUE(write_file(path, original));
        id3_file f;
        ASSERT_EQ(id3_file_open(&f, path.c_str()), 0) << id3_last_error();
        id3_record t;
        id3_record_init(&t);
        t.title = strdup("new");
        id3_head head = {};
        ASSERT_EQ(id3_mp4_build_head(&f, &t, id3_change{ID3_NAMED_TITLE, 0, nullptr, 0}, &head), 0)
            << id3_last_error();
        // Everything before moov is kept from the file; nothing follows moov.
        EXPECT_EQ(head.keep_len, FTYP.size() + l.mdat().size());
        EXPECT_EQ(head.audio_off, original.size());
        Bytes changed =
            appended ? original + S("appended") : Bytes(original.begin(), original.begin() + 40);
        ASSERT_TRUE(write_file(path, changed));
        EXPECT_EQ(replace_with_head(path.c_str(), &f, &head), -1);
        EXPECT_EQ(std::string(id3_last_error()), "file changed while writing: " + path);
        id3_head_release(&head);
        id3_record_free(&t);
        id3_file_close(&f);
        EXPECT_EQ(read_file(path), changed);
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.m4a"});
    }
}
