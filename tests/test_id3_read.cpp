// The ID3v2 reader: tag headers of versions 0 to 5, extended headers, unsynchronisation, frame
// flags, frame sizes, the end of the frame walk, text frames, APIC layouts, version 2.2 tags and
// malformed tags. Every tag is
// built byte by byte.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "bounded_read_check.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <random>
#include <ostream>
#include <string>

namespace {

// A writer's unsynchronisation: a 00 after every FF.
Bytes unsync(const Bytes& in) {
    Bytes out;
    for (uint8_t b : in) {
        out.push_back(b);
        if (b == 0xFF)
            out.push_back(0x00);
    }
    return out;
}

const Bytes kAudio = B({0xFF, 0xFB, 0x90, 0x64, 0x00, 0x00});
const Bytes kJpeg = B({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46});

// A readable summary of a record: present fields only, in a fixed order.
std::string describe(const id3_record& t) {
    std::string out;
    auto field = [&](const char* name, const char* value) {
        if (value)
            out += std::string(name) + "=" + value + ";";
    };
    field("title", t.title);
    field("artist", t.artist);
    field("album", t.album);
    field("genre", t.genre);
    field("date", t.date);
    field("track", t.track);
    if (t.has_cover || t.cover_data || t.cover_size)
        out += "cover(" + std::string(t.cover_mime) +
               ")=" + hex(Bytes(t.cover_data, t.cover_data + t.cover_size)) + ";";
    return out;
}

struct ReadResult {
    int rc;
    std::string fields;
    int32_t format;
};

// Reads from an exactly sized heap copy, so that a read past the image shows under a sanitizer.
ReadResult read_tags(const Bytes& data) {
    HeapBytes copy = exact_copy(data);
    id3_record t;
    id3_record_init(&t);
    id3_clear_error();
    int rc = id3_mp3_read(copy.get(), data.size(), &t);
    copy.reset();
    ReadResult r{rc, describe(t), t.format};
    EXPECT_EQ(bounded_read_difference(ID3_FMT_MP3, data), "");
    id3_record_free(&t);
    return r;
}

struct ReadCase {
    const char* name;
    Bytes data;
    std::string fields; // what describe() gives for the record
};

// Failures name the case rather than dumping its bytes.
void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class Reader : public ::testing::TestWithParam<ReadCase> {};

TEST_P(Reader, FillsTheRecord) {
    const ReadCase& c = GetParam();
    ReadResult r = read_tags(c.data);
    EXPECT_EQ(r.rc, 0) << id3_last_error();
    EXPECT_EQ(r.format, ID3_FMT_MP3);
    EXPECT_EQ(r.fields, c.fields);
}

std::string name_of(const ::testing::TestParamInfo<ReadCase>& info) {
    return info.param.name;
}

// --- Tag headers, versions, extended headers, tag size ---------------------------------------

const std::string k199(199, 'a');

const ReadCase kHeaderCases[] = {
    {"bare_audio", kAudio, ""},
    {"two_bytes_of_sync", B({0xFF, 0xE0}), ""},
    {"sync_then_id3_later", kAudio + id3_tag(4, 0, id3_frame4("TIT2", id3_text("x"))), ""},
    {"v4_utf8", id3_tag(4, 0, id3_frame4("TIT2", id3_text("Hi"))) + kAudio, "title=Hi;"},
    {"v3_utf16", id3_tag(3, 0, id3_frame3("TPE1", B({1, 0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00}))),
     "artist=A\xC3\xA9;"},
    {"v1_walked_with_plain_sizes",
     id3_tag(1, 0, id3_frame3("TALB", id3_text(k199)) + id3_frame3("TPE1", id3_text("b"))),
     "artist=b;album=" + k199 + ";"},
    {"v0_extended_header_plain",
     id3_tag(0, 0x40, be32(6) + B({0, 0, 0, 0, 0, 0}) + id3_frame3("TIT2", id3_text("x"))),
     "title=x;"},
    {"v5_uses_v4_rules", id3_tag(5, 0, id3_frame4("TIT2", id3_text(k199))), "title=" + k199 + ";"},
    // A body of 200 bytes: the size bytes differ between the plain and the syncsafe form.
    {"v4_syncsafe_frame_size",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text(k199)) + id3_frame4("TPE1", id3_text("b"))),
     "title=" + k199 + ";artist=b;"},
    {"v3_plain_frame_size",
     id3_tag(3, 0, id3_frame3("TIT2", id3_text(k199)) + id3_frame3("TPE1", id3_text("b"))),
     "title=" + k199 + ";artist=b;"},
    {"v3_extended_header",
     id3_tag(3, 0x40, be32(6) + B({0, 0, 0, 0, 0, 0}) + id3_frame3("TIT2", id3_text("x"))),
     "title=x;"},
    {"v4_extended_header",
     id3_tag(4, 0x40, syncsafe(6) + B({1, 0}) + id3_frame4("TIT2", id3_text("x"))), "title=x;"},
    // The flag without the header (a known tagger fault): the frames start right after the tag
    // header, and mutagen and TagLib read them.
    {"v3_extended_flag_without_header",
     id3_tag(3, 0x40, id3_frame3("TIT2", id3_text("x")) + id3_frame3("TPE1", id3_text("y"))),
     "title=x;artist=y;"},
    {"v4_extended_flag_without_header",
     id3_tag(4, 0x40, id3_frame4("TIT2", id3_text("x")) + id3_frame4("TPE1", id3_text("y"))),
     "title=x;artist=y;"},
    {"extended_header_larger_than_tag",
     id3_tag(3, 0x40, be32(100) + id3_frame3("TIT2", id3_text("x"))), ""},
    {"extended_header_size_does_not_wrap",
     id3_tag(3, 0x40, be32(0xFFFFFFFF) + id3_frame3("TIT2", id3_text("x"))), ""},
    {"extended_header_flag_on_tiny_tag", id3_tag(4, 0x40, B({0, 0, 6})), ""},
    {"tag_size_beyond_data",
     S("ID3") + B({4, 0, 0}) + syncsafe(100000) + id3_frame4("TIT2", id3_text("Hi")), "title=Hi;"},
    {"tag_size_largest",
     S("ID3") + B({4, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}) + id3_frame4("TIT2", id3_text("Hi")),
     "title=Hi;"},
    {"frames_after_tag_size_not_read",
     S("ID3") + B({4, 0, 0}) + syncsafe(13) + id3_frame4("TIT2", id3_text("Hi")) +
         id3_frame4("TPE1", id3_text("audio")),
     "title=Hi;"},
    {"empty_tag", id3_tag(4, 0, {}) + kAudio, ""},
    {"footer_flag_ignored",
     id3_tag(4, 0x10, id3_frame4("TIT2", id3_text("Hi"))) + S("3DI") + B({4, 0, 0x10}),
     "title=Hi;"},
};
INSTANTIATE_TEST_SUITE_P(Headers, Reader, ::testing::ValuesIn(kHeaderCases), name_of);

// --- Unsynchronisation and format flags ----------------------------------------------------

const ReadCase kFlagCases[] = {
    // Version 3 removes unsynchronisation from the whole frame area; frame sizes are those of the
    // decoded frames.
    {"v3_whole_area_unsync",
     id3_tag(3, 0x80,
             unsync(id3_frame3("TIT2", B({3, 0x41, 0xFF, 0x42})) +
                    id3_frame3("APIC", B({0}) + S("image/jpeg") + B({0, 3, 0}) + kJpeg))),
     "title=A\xFF"
     "B;cover(image/jpeg)=FF D8 FF E0 00 10 4A 46;"},
    {"v3_unsync_after_extended_header",
     id3_tag(3, 0xC0,
             be32(6) + repeat(0, 6) +
                 unsync(id3_frame3("TIT2", B({3, 0x41, 0xFF, 0x42})) +
                        id3_frame3("TPE1", id3_text("b")))),
     "title=A\xFF"
     "B;artist=b;"},
    // In version 4 the tag flag covers every frame body, whether the frame has its own flag or not
    // (as mutagen and TagLib read it); sizes count the stored bytes.
    {"v4_tag_flag_covers_frames",
     id3_tag(4, 0x80,
             id3_frame4("TIT2", B({3, 0x41, 0xFF, 0x00, 0x42})) +
                 id3_frame4("APIC", unsync(B({0}) + S("image/jpeg") + B({0, 3, 0}) + kJpeg)) +
                 id3_frame4("TPE1", unsync(B({0, 'a', 0xFF, 0xE0})), 0x02)),
     "title=A\xFF"
     "B;artist=a\xC3\xBF\xC3\xA0;cover(image/jpeg)=FF D8 FF E0 00 10 4A 46;"},
    // Version 4 frame: unsynchronisation first, then the data length indicator goes.
    {"v4_frame_unsync_and_length",
     id3_tag(4, 0, id3_frame4("TIT2", unsync(syncsafe(4) + B({3, 0x41, 0xFF, 0x42})), 0x03)),
     "title=A\xFF"
     "B;"},
    {"v4_frame_unsync_only",
     id3_tag(4, 0, id3_frame4("TIT2", unsync(B({3, 0x41, 0xFF, 0x42})), 0x02)),
     "title=A\xFF"
     "B;"},
    {"v4_length_indicator_only",
     id3_tag(4, 0, id3_frame4("TIT2", syncsafe(2) + id3_text("A"), 0x01)), "title=A;"},
    {"v4_length_indicator_on_short_body_kept",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("AB"), 0x01)), "title=AB;"},
    {"v4_length_indicator_leaves_nothing",
     id3_tag(4, 0, id3_frame4("TIT2", syncsafe(0), 0x01) + id3_frame4("TPE1", id3_text("b"))),
     "artist=b;"},
    // Compressed and encrypted frames are passed over; the walk goes on.
    {"v3_compressed_skipped",
     id3_tag(3, 0, id3_frame3("TIT2", id3_text("z"), 0x80) + id3_frame3("TPE1", id3_text("b"))),
     "artist=b;"},
    {"v3_encrypted_skipped",
     id3_tag(3, 0, id3_frame3("TIT2", id3_text("z"), 0x40) + id3_frame3("TPE1", id3_text("b"))),
     "artist=b;"},
    {"v4_compressed_skipped",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("z"), 0x08) + id3_frame4("TPE1", id3_text("b"))),
     "artist=b;"},
    {"v4_encrypted_skipped",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("z"), 0x04) + id3_frame4("TPE1", id3_text("b"))),
     "artist=b;"},
    // Bits of the other version mean nothing.
    {"v3_ignores_v4_bits", id3_tag(3, 0, id3_frame3("TIT2", id3_text("x"), 0x0C)), "title=x;"},
    {"v4_ignores_v3_bits", id3_tag(4, 0, id3_frame4("TIT2", id3_text("x"), 0x80)), "title=x;"},
    {"v1_ignores_all_bits", id3_tag(1, 0, id3_frame3("TIT2", id3_text("x"), 0xFF)), "title=x;"},
    // Only versions 2.2 and 2.3 unsynchronise the whole tag.
    {"v1_tag_flag_ignored", id3_tag(1, 0x80, id3_frame3("TIT2", B({3, 0x41, 0xFF, 0x00, 0x42}))),
     "title=A\xFF;"},
};
INSTANTIATE_TEST_SUITE_P(Flags, Reader, ::testing::ValuesIn(kFlagCases), name_of);

// --- The end of the frame walk -------------------------------------------------------------

const ReadCase kWalkCases[] = {
    // A frame of size 0 holds nothing; the next header follows its own.
    {"size_zero_passed_over",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text("a")) + S("TALB") + syncsafe(0) + B({0, 0}) +
                 id3_frame4("TPE1", id3_text("b"))),
     "title=a;artist=b;"},
    {"v3_size_zero_passed_over",
     id3_tag(3, 0,
             id3_frame3("TIT2", {}) + id3_frame3("APIC", {}) + id3_frame3("TPE1", id3_text("b"))),
     "artist=b;"},
    {"size_zero_last_in_area",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("a")) + id3_frame4("TPE1", {})), "title=a;"},
    {"overrun_stops",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text("a")) + S("TPE1") + syncsafe(50) + B({0, 0}) +
                 id3_text("b")),
     "title=a;"},
    {"padding_stops",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text("a")) + repeat(0, 10) + id3_frame4("TPE1", id3_text("b"))),
     "title=a;"},
    {"short_remainder_stops",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("a")) + S("TPE1") + B({0, 0, 0, 1, 0})), "title=a;"},
    {"frame_filling_area_exactly", id3_tag(4, 0, id3_frame4("TIT2", id3_text("a"))), "title=a;"},
};
INSTANTIATE_TEST_SUITE_P(Walk, Reader, ::testing::ValuesIn(kWalkCases), name_of);

// --- ID3v1 at the end of the file, and version 2.3 dates --------------------------------------

// An ID3v1 tag: "TAG", title, artist, album (30 each), year (4), comment (30: version 1.1 puts
// 00 and the track in its last two bytes when track is not negative), genre.
Bytes v1_tag(const std::string& title, const std::string& artist, const std::string& album,
             const std::string& year, const std::string& comment, int track, int genre) {
    auto field = [](const std::string& text, size_t n) {
        Bytes out = S(text.substr(0, n));
        return out + repeat(0, n - out.size());
    };
    Bytes comment_field = track >= 0 ? field(comment, 28) + B({0, track}) : field(comment, 30);
    return S("TAG") + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4) +
           comment_field + B({genre});
}

const ReadCase kV1Cases[] = {
    {"v1_alone", kAudio + v1_tag("Title", "Artist", "Album", "2001", "c", 7, 8),
     "title=Title;artist=Artist;album=Album;genre=Jazz;date=2001;track=7;"},
    // ISO-8859-1, trailing spaces dropped; genre 255 is none; a full version 1.0 comment has no
    // track.
    {"v1_latin1_no_genre_no_track",
     kAudio + v1_tag("Caf\xE9   ", "", "", "", std::string(30, 'c'), -1, 255),
     "title=Caf\xC3\xA9;"},
    // Genres by number through Winamp's list (0 to 191), AlternRock as most programs spell it;
    // the numbers past the list to 254 are none, as 255 is.
    {"v1_genre_80", kAudio + v1_tag("", "", "", "", "", -1, 80), "genre=Folk;"},
    {"v1_genre_96", kAudio + v1_tag("", "", "", "", "", -1, 96), "genre=Big Band;"},
    {"v1_genre_191", kAudio + v1_tag("", "", "", "", "", -1, 191), "genre=Psybient;"},
    {"v1_genre_40", kAudio + v1_tag("", "", "", "", "", -1, 40), "genre=AlternRock;"},
    {"v1_genre_192_past_the_list", kAudio + v1_tag("T", "", "", "", "", -1, 192), "title=T;"},
    {"v1_genre_254_past_the_list", kAudio + v1_tag("T", "", "", "", "", -1, 254), "title=T;"},
    // The ID3v2 tag wins; ID3v1 fills what it lacks or holds empty.
    {"v1_fills_what_v2_lacks",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("V2")) + id3_frame4("TALB", id3_text(""))) + kAudio +
         v1_tag("V1", "Artist", "Album", "1998", "", 2, 17),
     "title=V2;artist=Artist;album=Album;genre=Rock;date=1998;track=2;"},
    // A "TAG" inside the ID3v2 tag is not an ID3v1 tag.
    {"tag_inside_v2_not_read",
     id3_tag(4, 0, id3_frame4("TXXX", Bytes(50, 'x') + S("TAGtitle") + Bytes(120, ' '))), ""},
    // Version 2.3 year, day (DDMM) and time (HHMM) read as one date; a day that is not four
    // digits leaves the year alone.
    {"v23_year_day_time",
     id3_tag(3, 0,
             id3_frame3("TIME", id3_text("1030")) + id3_frame3("TYER", id3_text("2022")) +
                 id3_frame3("TDAT", id3_text("0201"))),
     "date=2022-01-02T10:30;"},
    {"v23_day_not_four_digits",
     id3_tag(3, 0, id3_frame3("TYER", id3_text("2022")) + id3_frame3("TDAT", id3_text("21"))),
     "date=2022;"},
};
INSTANTIATE_TEST_SUITE_P(V1AndDates, Reader, ::testing::ValuesIn(kV1Cases), name_of);

// --- Text frames -----------------------------------------------------------------------------

const ReadCase kTextCases[] = {
    {"all_fields",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text("T")) + id3_frame4("TPE1", id3_text("A")) +
                 id3_frame4("TALB", id3_text("L")) + id3_frame4("TCON", id3_text("(13)")) +
                 id3_frame4("TDRC", id3_text("2024")) + id3_frame4("TRCK", id3_text("3/12"))),
     "title=T;artist=A;album=L;genre=(13);date=2024;track=3/12;"},
    {"latin1_converted", id3_tag(3, 0, id3_frame3("TIT2", id3_text("Caf\xE9", 0))),
     "title=Caf\xC3\xA9;"},
    {"tyer_then_tdrc",
     id3_tag(4, 0,
             id3_frame4("TYER", id3_text("1999")) + id3_frame4("TDRC", id3_text("2024-05-01"))),
     "date=2024-05-01;"},
    {"tdrc_then_tyer",
     id3_tag(4, 0,
             id3_frame4("TDRC", id3_text("2024-05-01")) + id3_frame4("TYER", id3_text("1999"))),
     "date=2024-05-01;"},
    {"tyer_alone", id3_tag(3, 0, id3_frame3("TYER", id3_text("1999"))), "date=1999;"},
    {"empty_tdrc_then_tyer",
     id3_tag(4, 0, id3_frame4("TDRC", id3_text("")) + id3_frame4("TYER", id3_text("1999"))),
     "date=1999;"},
    {"tyer_then_empty_tdrc",
     id3_tag(4, 0, id3_frame4("TYER", id3_text("1999")) + id3_frame4("TDRC", id3_text(""))),
     "date=;"},
    {"two_titles_last_wins",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("one")) + id3_frame4("TIT2", id3_text("two"))),
     "title=two;"},
    {"txxx_ignored", id3_tag(4, 0, id3_frame4("TXXX", B({3}) + S("TIT2") + B({0}) + S("v"))), ""},
    {"other_t_frame_ignored",
     id3_tag(4, 0, id3_frame4("TCOM", id3_text("Bach")) + id3_frame4("TIT3", id3_text("s"))), ""},
    {"non_text_frames_ignored",
     id3_tag(4, 0,
             id3_frame4("COMM", B({3}) + S("eng") + B({0}) + S("c")) +
                 id3_frame4("TIT2", id3_text("x"))),
     "title=x;"},
    {"encoding_byte_only_is_empty", id3_tag(4, 0, id3_frame4("TIT2", B({3}))), "title=;"},
    {"first_of_several_values",
     id3_tag(4, 0, id3_frame4("TPE1", B({3}) + S("A") + B({0}) + S("B"))), "artist=A;"},
    {"utf16_without_mark_is_big_endian",
     id3_tag(4, 0, id3_frame4("TIT2", B({2, 0x00, 0x41, 0x00, 0x42}))), "title=AB;"},
};
INSTANTIATE_TEST_SUITE_P(Texts, Reader, ::testing::ValuesIn(kTextCases), name_of);

// --- APIC ------------------------------------------------------------------------------------

const Bytes kPic = B({0x89, 0x50, 0x4E, 0x47});
Bytes apic(int encoding, const std::string& mime, const Bytes& description, const Bytes& picture) {
    return B({encoding}) + S(mime) + B({0, 3}) + description + picture;
}

const ReadCase kApicCases[] = {
    {"latin1_description",
     id3_tag(3, 0, id3_frame3("APIC", apic(0, "image/png", S("d") + B({0}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    {"utf8_empty_description",
     id3_tag(4, 0, id3_frame4("APIC", apic(3, "image/png", B({0}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    // "d" in UTF-16LE is 64 00: the 00 00 at an odd distance is not the terminator.
    {"utf16_description",
     id3_tag(
         3, 0,
         id3_frame3("APIC", apic(1, "image/png", B({0xFF, 0xFE, 0x64, 0x00, 0x00, 0x00}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    {"utf16_terminator_only_at_odd_distance",
     id3_tag(3, 0, id3_frame3("APIC", apic(1, "m", B({0x41, 0x00, 0x00, 0xAA}), {}))), ""},
    {"utf16be_description",
     id3_tag(4, 0, id3_frame4("APIC", apic(2, "image/gif", B({0x00, 0x41, 0x00, 0x00}), kPic))),
     "cover(image/gif)=89 50 4E 47;"},
    {"empty_mime_is_jpeg", id3_tag(4, 0, id3_frame4("APIC", apic(3, "", B({0}), kPic))),
     "cover(image/jpeg)=89 50 4E 47;"},
    {"mime_of_63_kept",
     id3_tag(4, 0, id3_frame4("APIC", apic(3, std::string(63, 'm'), B({0}), kPic))),
     "cover(" + std::string(63, 'm') + ")=89 50 4E 47;"},
    {"mime_over_63_cut",
     id3_tag(4, 0, id3_frame4("APIC", apic(3, std::string(70, 'm'), B({0}), kPic))),
     "cover(" + std::string(63, 'm') + ")=89 50 4E 47;"},
    {"no_mime_terminator", id3_tag(4, 0, id3_frame4("APIC", B({3}) + S("image/png"))), ""},
    {"no_picture_type", id3_tag(4, 0, id3_frame4("APIC", B({3}) + S("png") + B({0, 3}))), ""},
    {"no_description_terminator",
     id3_tag(4, 0, id3_frame4("APIC", apic(0, "image/png", S("desc"), {}))), ""},
    {"no_picture_bytes", id3_tag(4, 0, id3_frame4("APIC", apic(0, "image/png", B({0}), {}))), ""},
    {"body_of_three_bytes", id3_tag(4, 0, id3_frame4("APIC", B({0, 0, 3}))), ""},
    {"two_pictures_last_wins",
     id3_tag(4, 0,
             id3_frame4("APIC", apic(3, "image/png", B({0}), kPic)) +
                 id3_frame4("APIC", B({3}) + S("image/gif") + B({0, 4, 0}) + B({0x47, 0x49}))),
     "cover(image/gif)=47 49;"},
    {"unusable_second_picture_keeps_first",
     id3_tag(4, 0,
             id3_frame4("APIC", apic(3, "image/png", B({0}), kPic)) +
                 id3_frame4("APIC", apic(3, "image/gif", S("no end"), {}))),
     "cover(image/png)=89 50 4E 47;"},
    {"picture_with_unsync_and_length",
     id3_tag(4, 0,
             id3_frame4("APIC", unsync(syncsafe(13) + apic(0, "image/jpeg", B({0}), kJpeg)), 0x03)),
     "cover(image/jpeg)=FF D8 FF E0 00 10 4A 46;"},
    // A picture that ends in FF ends the unsynchronised data with FF 00: that 00 goes too, also
    // when nothing follows it (the frame fills the tag; the version 3 tag has no padding).
    {"picture_ending_in_ff_with_frame_unsync",
     id3_tag(
         4, 0,
         id3_frame4("APIC", unsync(apic(3, "image/jpeg", B({0}), B({0xFF, 0xD8, 0xFF}))), 0x02)),
     "cover(image/jpeg)=FF D8 FF;"},
    {"picture_ending_in_ff_with_whole_tag_unsync",
     id3_tag(3, 0x80,
             unsync(id3_frame3("APIC", apic(0, "image/jpeg", B({0}), B({0xFF, 0xD8, 0xFF}))))),
     "cover(image/jpeg)=FF D8 FF;"},
    // The searches end with the body as it stands after the flags. Without a terminator in it,
    // the padding that follows (00 bytes) must not be taken as one.
    {"search_bounded_after_length_indicator",
     id3_tag(4, 0,
             id3_frame4("APIC", syncsafe(6) + B({0}) + S("m") + B({0, 3}) + S("dd"), 0x01) +
                 repeat(0, 16)),
     ""},
    // Removing unsynchronisation shortens the body by three bytes; the search must not go on
    // into what the copy does not hold.
    {"search_bounded_after_unsync",
     id3_tag(4, 0,
             id3_frame4(
                 "APIC",
                 unsync(syncsafe(8) + B({0}) + S("m") + B({0, 3}) + S("d") + B({0xFF, 0xFF, 0xFF})),
                 0x03) +
                 repeat(0, 16)),
     ""},
};
INSTANTIATE_TEST_SUITE_P(Apic, Reader, ::testing::ValuesIn(kApicCases), name_of);

// --- Version 4 frame sizes written as plain integers ------------------------------------------

// A version 4 frame header with the size as a plain 32-bit integer, as older iTunes wrote it.
Bytes frame4_plain(const std::string& id, const Bytes& body) {
    return S(id) + be32((uint32_t)body.size()) + B({0, 0}) + body;
}
const std::string k127(127, 'a');
const Bytes kCover150 = repeat(0x11, 150);
const std::string kCover150Hex = hex(kCover150);

// Frame sizes are read one way for the whole tag: syncsafe (S) unless the plain reading (P, older
// iTunes) walks every frame to the area's end or to zero padding and S does not; when neither
// does, P only if it walks more frames. Each row was checked against mutagen and TagLib.
const ReadCase kV4SizeCases[] = {
    // 200 = 00 00 00 C8: S = 72 lands inside the text.
    {"plain_size_before_next_frame",
     id3_tag(4, 0, frame4_plain("TIT2", id3_text(k199)) + id3_frame4("TPE1", id3_text("b"))),
     "title=" + k199 + ";artist=b;"},
    {"plain_size_to_area_end",
     id3_tag(4, 0, id3_frame4("TPE1", id3_text("b")) + frame4_plain("TIT2", id3_text(k199))),
     "title=" + k199 + ";artist=b;"},
    {"plain_size_to_padding", id3_tag(4, 0, frame4_plain("TIT2", id3_text(k199)) + repeat(0, 20)),
     "title=" + k199 + ";"},
    // A 163-byte picture frame: S = 35 lands inside the picture, which would be cut to 22 bytes.
    {"plain_size_picture",
     id3_tag(4, 0,
             frame4_plain("APIC", apic(3, "image/png", B({0}), kCover150)) +
                 id3_frame4("TIT2", id3_text("x"))),
     "title=x;cover(image/png)=" + kCover150Hex + ";"},
    // S = 200 reaches TPE1, P = 328 reaches the padding: both are boundaries, S counts.
    {"both_sizes_lead_to_boundaries",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text(k199)) + id3_frame4("TPE1", id3_text("b")) +
                 repeat(0, 200)),
     "title=" + k199 + ";artist=b;"},
    // Neither leads to a boundary: S counts, and the walk ends at the bytes it leads to.
    {"neither_leads_to_a_boundary_plain_past_end",
     id3_tag(4, 0,
             S("TIT2") + B({0, 0, 1, 0, 0, 0}) + id3_text(k127) + S("zzzz") + repeat('z', 20)),
     "title=" + k127 + ";"},
    {"neither_leads_to_a_boundary_plain_inside",
     id3_tag(4, 0,
             S("TIT2") + B({0, 0, 0, 0x90, 0, 0}) + id3_text(std::string(15, 'a')) +
                 repeat('z', 300)),
     "title=" + std::string(15, 'a') + ";"},
    // S = 1 leads into the text; P = 129 leads to a frame with an unusual (lower-case)
    // identifier, which ends the area: P walks to the end.
    {"plain_size_to_lower_case_frame",
     id3_tag(4, 0,
             id3_frame4("TPE1", id3_text("b")) + S("TIT2") + B({0, 0, 0, 0x81, 0, 0}) +
                 id3_text("x") + repeat('a', 127) + S("tpe1") + B({0, 0, 0, 2, 0, 0, 3, 'c'})),
     "title=x" + k127 + ";artist=b;"},
    // A 163-byte picture whose byte at S = 35 is 00: that 00 is no padding, since more than zero
    // bytes follow it, and P walks on to the next frame.
    {"plain_size_picture_with_zero_at_syncsafe_end",
     id3_tag(4, 0,
             frame4_plain("APIC", apic(3, "image/png", B({0}),
                                       repeat(0x11, 22) + B({0}) + repeat(0x11, 127))) +
                 id3_frame4("TIT2", id3_text("x"))),
     "title=x;cover(image/png)=" + hex(repeat(0x11, 22) + B({0}) + repeat(0x11, 127)) + ";"},
    // S = 200 leads to a frame with an unusual (lower-case) identifier, then on to TPE1 and the
    // padding; P = 328 leads to a 00 inside that frame, and P would swallow TPE1. mutagen reads
    // TPE1 too; TagLib stops at the unusual identifier.
    {"syncsafe_size_to_unusual_identifier",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text(k199)) +
                 id3_frame4("abcd", repeat('q', 118) + B({0}) + repeat('q', 31)) +
                 id3_frame4("TPE1", id3_text(std::string(30, 'b'))) + repeat(0, 10)),
     "title=" + k199 + ";artist=" + std::string(30, 'b') + ";"},
    // Only the frames P walks are kept when neither reading walks to the end.
    {"plain_walks_more_frames",
     id3_tag(4, 0,
             frame4_plain("TIT2", id3_text(k199)) + id3_frame4("TPE1", id3_text("b")) +
                 id3_frame4("TALB", id3_text("c")) + S("junk") + B({0x7F, 0, 0, 0, 0, 0})),
     "title=" + k199 + ";artist=b;album=c;"},
    // Below 128 both forms read the same.
    {"equal_sizes",
     id3_tag(4, 0,
             id3_frame4("TIT2", id3_text(std::string(126, 'a'))) +
                 id3_frame4("TPE1", id3_text("b"))),
     "title=" + std::string(126, 'a') + ";artist=b;"},
    {"equal_sizes_leading_nowhere",
     id3_tag(4, 0, id3_frame4("TIT2", id3_text("x")) + S("zzzzzzzzzz")), "title=x;"},
};
INSTANTIATE_TEST_SUITE_P(V4Sizes, Reader, ::testing::ValuesIn(kV4SizeCases), name_of);

// --- Version 2.2 -------------------------------------------------------------------------------

Bytes pic(int encoding, const std::string& format, const Bytes& description, const Bytes& picture) {
    return B({encoding}) + S(format) + B({3}) + description + picture;
}

const ReadCase kV22Cases[] = {
    {"all_fields",
     id3_tag(2, 0,
             id3_frame2("TT2", id3_text("T", 0)) + id3_frame2("TP1", id3_text("A", 0)) +
                 id3_frame2("TAL", id3_text("L", 0)) + id3_frame2("TCO", id3_text("(13)", 0)) +
                 id3_frame2("TYE", id3_text("1999", 0)) + id3_frame2("TRK", id3_text("3/12", 0)) +
                 id3_frame2("PIC", pic(0, "JPG", B({0}), kJpeg))) +
         kAudio,
     "title=T;artist=A;album=L;genre=(13);date=1999;track=3/12;cover(image/jpeg)=FF D8 FF E0 00 "
     "10 4A 46;"},
    {"latin1_and_utf16",
     id3_tag(2, 0,
             id3_frame2("TT2", id3_text("Caf\xE9", 0)) +
                 id3_frame2("TP1", B({1, 0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00}))),
     "title=Caf\xC3\xA9;artist=A\xC3\xA9;"},
    // TYE follows the version 2.3 year's rule: it fills only a date not yet given.
    {"first_year_kept",
     id3_tag(2, 0, id3_frame2("TYE", id3_text("1999")) + id3_frame2("TYE", id3_text("2000"))),
     "date=1999;"},
    {"empty_year_then_year",
     id3_tag(2, 0, id3_frame2("TYE", id3_text("")) + id3_frame2("TYE", id3_text("2000"))),
     "date=2000;"},
    {"two_titles_last_wins",
     id3_tag(2, 0, id3_frame2("TT2", id3_text("one")) + id3_frame2("TT2", id3_text("two"))),
     "title=two;"},
    {"other_frames_passed_over",
     id3_tag(2, 0,
             id3_frame2("TT1", id3_text("g")) +
                 id3_frame2("TXX", B({0}) + S("TT2") + B({0}) + S("v")) +
                 id3_frame2("COM", B({0}) + S("eng") + B({0}) + S("c")) +
                 id3_frame2("TT2", id3_text("x"))),
     "title=x;"},
    {"v23_identifiers_not_read",
     id3_tag(2, 0, id3_frame2("TIT", id3_text("x")) + id3_frame2("TPE", id3_text("y"))), ""},
    {"encoding_byte_only_is_empty", id3_tag(2, 0, id3_frame2("TT2", B({0}))), "title=;"},
    {"size_zero_passed_over",
     id3_tag(2, 0,
             id3_frame2("TT2", {}) + id3_frame2("PIC", {}) + id3_frame2("TP1", id3_text("b"))),
     "artist=b;"},
    // Walk ends.
    {"padding_ends_walk",
     id3_tag(2, 0,
             id3_frame2("TT2", id3_text("a")) + repeat(0, 6) + id3_frame2("TP1", id3_text("b"))),
     "title=a;"},
    {"lower_case_identifier_ends_walk",
     id3_tag(2, 0,
             id3_frame2("TT2", id3_text("a")) + id3_frame2("tp1", id3_text("b")) +
                 id3_frame2("TAL", id3_text("c"))),
     "title=a;"},
    {"overrun_ends_walk",
     id3_tag(2, 0, id3_frame2("TT2", id3_text("a")) + S("TP1") + be24(50) + id3_text("b")),
     "title=a;"},
    {"short_remainder_ends_walk",
     id3_tag(2, 0, id3_frame2("TT2", id3_text("a")) + S("TP1") + B({0, 0})), "title=a;"},
    {"tag_size_beyond_data",
     S("ID3") + B({2, 0, 0}) + syncsafe(5000) + id3_frame2("TT2", id3_text("a")), "title=a;"},
    // Pictures.
    {"pic_png", id3_tag(2, 0, id3_frame2("PIC", pic(0, "PNG", S("front") + B({0}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    {"pic_other_format_has_no_mime", id3_tag(2, 0, id3_frame2("PIC", pic(0, "GIF", B({0}), kPic))),
     "cover()=89 50 4E 47;"},
    {"pic_format_case_matters", id3_tag(2, 0, id3_frame2("PIC", pic(0, "jpg", B({0}), kJpeg))),
     "cover()=FF D8 FF E0 00 10 4A 46;"},
    // "d" in UTF-16LE is 64 00: the 00 00 at an odd distance is not the terminator.
    {"pic_utf16_description",
     id3_tag(2, 0, id3_frame2("PIC", pic(1, "PNG", B({0xFF, 0xFE, 0x64, 0x00, 0x00, 0x00}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    {"pic_no_description_terminator",
     id3_tag(2, 0, id3_frame2("PIC", pic(0, "PNG", S("desc"), {}))), ""},
    {"pic_no_picture_bytes", id3_tag(2, 0, id3_frame2("PIC", pic(0, "PNG", B({0}), {}))), ""},
    {"pic_body_of_five_bytes", id3_tag(2, 0, id3_frame2("PIC", B({0}) + S("PNG") + B({3}))), ""},
    {"pic_then_apic_shaped_frame_ignored",
     id3_tag(2, 0,
             id3_frame2("PIC", pic(0, "PNG", B({0}), kPic)) +
                 id3_frame2("API", apic(0, "image/gif", B({0}), kJpeg))),
     "cover(image/png)=89 50 4E 47;"},
    // Tag flags: 0x80 undoes unsynchronisation over the whole frame area, and frame sizes are
    // those of the decoded frames; 0x40 marks a compressed tag, of which nothing is read.
    {"whole_area_unsync",
     id3_tag(2, 0x80,
             unsync(id3_frame2("TT2", B({0, 0x41, 0xFF, 0x42})) +
                    id3_frame2("PIC", pic(0, "JPG", B({0}), kJpeg)) +
                    id3_frame2("TP1", id3_text("b")))),
     "title=A\xC3\xBF"
     "B;artist=b;cover(image/jpeg)=FF D8 FF E0 00 10 4A 46;"},
    {"compressed_tag_not_read", id3_tag(2, 0x40, id3_frame2("TT2", id3_text("x"))) + kAudio, ""},
    {"compressed_and_unsync_not_read", id3_tag(2, 0xC0, id3_frame2("TT2", id3_text("x"))), ""},
    // Other tag flags mean nothing in version 2.2.
    {"other_flags_ignored", id3_tag(2, 0x30, id3_frame2("TT2", id3_text("x"))), "title=x;"},
};
INSTANTIATE_TEST_SUITE_P(V22, Reader, ::testing::ValuesIn(kV22Cases), name_of);

// --- Failures --------------------------------------------------------------------------------

TEST(ReaderFailure, MessagesAndOnlyFormatSet) {
    struct Case {
        const char* name;
        Bytes data;
        const char* message;
    };
    const Case cases[] = {
        {"empty", {}, "too short for ID3"},
        {"id3_under_ten_bytes", S("ID3") + B({4, 0, 0, 0, 0, 0}), "too short for ID3"},
        {"one_sync_byte", B({0xFF}), "too short for ID3"},
        {"short_not_sync", S("ABCDE"), "too short for ID3"},
        {"sync_top_bits_missing", B({0xFF, 0xDF, 0, 0, 0, 0, 0, 0, 0, 0}), "no ID3 header"},
        {"other_container", S("fLaC") + repeat(0, 40), "no ID3 header"},
        {"lower_case_id3", S("id3") + B({4, 0, 0, 0, 0, 0, 0}), "no ID3 header"},
    };
    for (const Case& c : cases) {
        ReadResult r = read_tags(c.data);
        EXPECT_EQ(r.rc, -1) << c.name;
        EXPECT_STREQ(id3_last_error(), c.message) << c.name;
        EXPECT_EQ(r.format, ID3_FMT_MP3) << c.name;
        EXPECT_EQ(r.fields, "") << c.name;
    }
}

TEST(ReaderRobustness, TruncatedAndMutatedTagsStayInsideTheImage) {
    // A tag with every kind of frame and flag the reader handles, cut at every length and then
    // damaged byte by byte. Each read works on an exactly sized copy, so a sanitizer run reports
    // any read past the image; every read must succeed or fail with a message.
    Bytes full =
        id3_tag(4, 0,
                id3_frame4("TIT2", unsync(syncsafe(4) + B({3, 0x41, 0xFF, 0x42})), 0x03) +
                    id3_frame4("TYER", id3_text("1999")) +
                    id3_frame4("APIC", apic(1, "image/png", B({0xFF, 0xFE, 0x64, 0x00, 0x00, 0x00}),
                                            kPic)) +
                    id3_frame4("APIC", unsync(syncsafe(13) + apic(0, "image/jpeg", B({0}), kJpeg)),
                               0x02)) +
        kAudio;
    Bytes v3 =
        id3_tag(3, 0xC0,
                be32(6) + repeat(0, 6) +
                    unsync(id3_frame3("TPE1", B({1, 0xFF, 0xFE, 0x41, 0x00})) +
                           id3_frame3("APIC", apic(2, "", B({0x00, 0x41, 0x00, 0x00}), kJpeg))));
    Bytes v22 =
        id3_tag(2, 0x80,
                unsync(id3_frame2("TT2", B({1, 0xFF, 0xFE, 0x41, 0x00})) + id3_frame2("TYE", {}) +
                       id3_frame2("PIC", pic(1, "PNG", B({0x64, 0x00, 0x00, 0x00}), kJpeg)))) +
        kAudio;
    const Bytes* sources[] = {&full, &v3, &v22};
    for (const Bytes* source : sources) {
        const Bytes& whole = *source;
        ReadResult r = read_tags(whole);
        ASSERT_EQ(r.rc, 0);
        ASSERT_NE(r.fields, "");
        for (size_t n = 0; n < whole.size(); n++) {
            ReadResult cut = read_tags(Bytes(whole.begin(), whole.begin() + (long)n));
            EXPECT_TRUE(cut.rc == 0 || (cut.rc == -1 && id3_last_error()[0] != '\0')) << n;
        }
    }
    std::mt19937 rng(20261210);
    for (int round = 0; round < 4500; round++) {
        Bytes damaged = *sources[round % 3];
        int changes = 1 + (int)(rng() % 4);
        for (int i = 0; i < changes; i++)
            damaged[10 + rng() % (damaged.size() - 10)] = (uint8_t)rng();
        if (round / 3 % 3 == 0)
            damaged.resize(10 + rng() % (damaged.size() - 10));
        ReadResult r = read_tags(damaged);
        EXPECT_EQ(r.rc, 0) << hex(damaged);
    }
}

// Extraction writes the picture from the tag's own bytes where they stand as stored, and from a
// decoded copy where they do not; either way the output is the picture the whole-image reader
// finds (the last picture frame), in the file's first 64 KiB or past them.
TEST(Extract, WritesThePictureTheReaderFinds) {
    Bytes small = kJpeg + B({0xFF, 0x00, 0xFF, 0xE7}) + repeat(0x5A, 300);
    Bytes big = kJpeg + B({0xFF, 0x00, 0xFF, 0xE7}) + repeat(0xA5, 100000) + B({0xFF, 0xD9});
    auto apic3 = [](const Bytes& picture) {
        return B({0}) + S("image/png") + B({0, 3, 0}) + picture;
    };
    // Version 2.4 with the frame sizes written as plain integers: read as the writer meant them.
    auto plain4 = [](const std::string& id, const Bytes& body) {
        return S(id) + be32((uint32_t)body.size()) + B({0, 0}) + body;
    };
    struct Case {
        const char* name;
        Bytes tag;
        Bytes picture;
    } cases[] = {
        {"v3_in_prefix", id3_tag(3, 0, id3_frame3("APIC", apic3(small))), small},
        {"v3_past_prefix", id3_tag(3, 0, id3_frame3("APIC", apic3(big))), big},
        {"v4_past_prefix_utf16_description",
         id3_tag(4, 0,
                 id3_frame4("APIC",
                            B({1}) + S("image/png") + B({0, 3, 0xFF, 0xFE, 'd', 0, 0, 0}) + big)),
         big},
        {"v3_whole_tag_unsync", id3_tag(3, 0x80, unsync(id3_frame3("APIC", apic3(big)))), big},
        {"v4_frame_unsync", id3_tag(4, 0, id3_frame4("APIC", unsync(apic3(big)), 0x02)), big},
        {"v4_tag_unsync", id3_tag(4, 0x80, id3_frame4("APIC", unsync(apic3(small)))), small},
        {"v4_plain_sizes",
         id3_tag(4, 0, plain4("TIT2", id3_text("t")) + plain4("APIC", apic3(big))), big},
        {"v4_data_length_indicator",
         id3_tag(4, 0,
                 id3_frame4("APIC", syncsafe((uint32_t)apic3(small).size()) + apic3(small), 0x01)),
         small},
        {"v2_pic", id3_tag(2, 0, id3_frame2("PIC", B({0}) + S("PNG") + B({3, 0}) + big)), big},
        {"last_of_two_past_prefix",
         id3_tag(3, 0, id3_frame3("APIC", apic3(small)) + id3_frame3("APIC", apic3(big))), big},
        {"last_of_two_in_prefix",
         id3_tag(3, 0, id3_frame3("APIC", apic3(big)) + id3_frame3("APIC", apic3(small))), small},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = c.tag + kAudio;
        // The whole-image reader's cover is the reference.
        id3_record whole;
        id3_record_init(&whole);
        ASSERT_EQ(id3_mp3_read(file.data(), file.size(), &whole), 0) << id3_last_error();
        Bytes expected(whole.cover_data, whole.cover_data + whole.cover_size);
        id3_record_free(&whole);
        EXPECT_EQ(expected, c.picture);
        std::string path = dir.file("in.mp3");
        std::string out = dir.file("out.png");
        ASSERT_TRUE(write_file(path, file));
        ASSERT_EQ(id3_extract_cover(path.c_str(), out.c_str()), 0) << id3_last_error();
        EXPECT_EQ(read_file(out), expected);
        remove(out.c_str());
    }
}

// The one parser of the picture frame layouts (APIC, and version 2.2 PIC): how far a body holds
// its fields, and where each lies. Every search stays inside the body.
TEST(PictureLayout, FieldsOfApicAndPicBodies) {
    struct Case {
        const char* name;
        bool v22;
        Bytes body;
        int level;
        const char* mime;
        int type;
        std::string desc;
        Bytes data;
    };
    const Case cases[] = {
        {"empty body", false, {}, ID3_PICTURE_NONE, "", 0, "", {}},
        {"encoding only", false, B({3}), ID3_PICTURE_NONE, "", 0, "", {}},
        {"MIME without 00", false, B({3, 'i', 'm'}), ID3_PICTURE_NONE, "", 0, "", {}},
        {"MIME 00 at the end", false, B({3, 'a', 0}), ID3_PICTURE_NONE, "", 0, "", {}},
        {"type, nothing after", false, B({3, 'a', 0, 4}), ID3_PICTURE_TYPE_ONLY, "a", 4, "", {}},
        {"no description terminator",
         false,
         B({0, 'a', 0, 3, 'd'}),
         ID3_PICTURE_TYPE_ONLY,
         "a",
         3,
         "",
         {}},
        {"no picture byte after it",
         false,
         B({0, 'a', 0, 3, 'd', 0}),
         ID3_PICTURE_TYPE_ONLY,
         "a",
         3,
         "",
         {}},
        {"empty MIME reads as JPEG", false, B({0, 0, 3, 0, 0xFF}), ID3_PICTURE_WHOLE, "image/jpeg",
         3, "", B({0xFF})},
        {"Latin-1 description", false, B({0, 'i', '/', 'p', 0, 8, 'd', 'e', 0, 1, 2}),
         ID3_PICTURE_WHOLE, "i/p", 8, "de", B({1, 2})},
        // UTF-16: 00 00 only at an even distance from the description's start ends it.
        {"UTF-16 terminator aligned", false, B({1, 'a', 0, 3, 'x', 0, 0, 'y', 0, 0, 7}),
         ID3_PICTURE_WHOLE, "a", 3, std::string("x\0\0y", 4), B({7})},
        {"UTF-16 without terminator",
         false,
         B({2, 'a', 0, 3, 0, 'x', 0}),
         ID3_PICTURE_TYPE_ONLY,
         "a",
         3,
         "",
         {}},
        {"PIC too short for the type",
         true,
         B({0, 'J', 'P', 'G'}),
         ID3_PICTURE_NONE,
         "",
         0,
         "",
         {}},
        {"PIC type only",
         true,
         B({0, 'P', 'N', 'G', 3}),
         ID3_PICTURE_TYPE_ONLY,
         "image/png",
         3,
         "",
         {}},
        {"PIC JPG", true, B({0, 'J', 'P', 'G', 3, 0, 0xAB}), ID3_PICTURE_WHOLE, "image/jpeg", 3, "",
         B({0xAB})},
        {"PIC other format: no MIME type", true, B({0, 'B', 'M', 'P', 0, 'z', 0, 9}),
         ID3_PICTURE_WHOLE, "", 0, "z", B({9})},
    };
    for (const auto& c : cases) {
        // An exactly sized copy: a read past the body shows under a sanitizer.
        std::unique_ptr<uint8_t[]> body(new uint8_t[c.body.size() + 1]);
        if (!c.body.empty())
            memcpy(body.get(), c.body.data(), c.body.size());
        id3v2_picture pic;
        ASSERT_EQ(id3v2_parse_picture(body.get(), c.body.size(), c.v22, &pic), c.level) << c.name;
        if (c.level == ID3_PICTURE_NONE)
            continue;
        EXPECT_EQ(std::string(pic.mime, pic.mime_len), c.mime) << c.name;
        EXPECT_EQ(pic.type, c.type) << c.name;
        if (c.level != ID3_PICTURE_WHOLE)
            continue;
        EXPECT_EQ(std::string((const char*)pic.desc, pic.desc_len), c.desc) << c.name;
        EXPECT_EQ(Bytes(pic.data, pic.data + pic.data_len), c.data) << c.name;
    }
}

// The MP3 load into the model: every frame an item in the file's order with its bytes, a pair
// frame one item per run of one role, pictures borrowed where they lie, ID3v1 fields with text
// ranked after the ID3v2 tag; the property map is the fold over them.
TEST(Mp3Model, EveryFrameAnItemWithItsBytesAndId3v1RankedAfter) {
    const Bytes title = id3_frame4("TIT2", id3_text("T"));
    const Bytes people =
        id3_frame4("TIPL", id3_text(std::string("producer\0A\0mixer\0B\0producer\0C", 29)));
    const Bytes priv = id3_frame4("PRIV", S("owner") + B({0, 1, 2}));
    const Bytes apic =
        id3_frame4("APIC", B({0}) + S("image/png") + B({0, 3}) + S("d") + B({0}) + kJpeg);
    const Bytes tag = id3_tag(4, 0, title + people + priv + apic + repeat(0, 8));
    Bytes v1 = S("TAG") + repeat(0, 125);
    memcpy(&v1[3], "v1 title", 8);
    memcpy(&v1[33], "v1 artist", 9);
    v1[127] = 255;
    TempDir dir;
    const std::string path = dir.file("model.mp3");
    ASSERT_TRUE(write_file(path, tag + kAudio + v1));
    id3_file f;
    id3_file_guard fguard{&f};
    ASSERT_EQ(id3_file_open(&f, path.c_str()), 0) << id3_last_error();
    id3_model m;
    memset(&m, 0, sizeof m);
    id3_model_guard guard{&m};
    ASSERT_EQ(id3_mp3_load_model(&f, &m), 0) << id3_last_error();
    EXPECT_EQ(m.format, ID3_FMT_MP3);
    ASSERT_EQ(m.region_count, 2u);
    EXPECT_EQ(m.regions[0].kind, ID3_REGION_ID3V2);
    EXPECT_EQ(m.regions[0].len, tag.size());
    EXPECT_EQ(m.regions[1].kind, ID3_REGION_ID3V1);
    EXPECT_EQ(m.regions[1].off, tag.size() + kAudio.size());

    std::string items;
    for (uint64_t i = 0; i < m.item_count; i++) {
        const id3_item& it = m.items[i];
        items += std::string(it.id ? it.id : "", it.id_len) + "/" + std::to_string(it.kind) + "/" +
                 (it.key ? it.key : "-") + "/" + std::to_string(it.rank) + ":";
        for (uint64_t v = 0; v < it.value_count; v++)
            items += std::string(it.values[v], it.value_lens[v]) + ",";
        items += ";";
    }
    EXPECT_EQ(items, "TIT2/1/TITLE/0:T,;TIPL/1/PRODUCER/0:A,;TIPL/1/MIXER/0:B,;"
                     "TIPL/1/PRODUCER/0:C,;PRIV/3/-/0:;APIC/2/-/0:;/1/TITLE/1:v1 title,;"
                     "/1/ARTIST/1:v1 artist,;");
    // Raw spans: each frame whole, where it lies in the file.
    const uint64_t at[] = {10,
                           10 + title.size(),
                           10 + title.size(),
                           10 + title.size(),
                           10 + title.size() + people.size(),
                           10 + title.size() + people.size() + priv.size()};
    const uint64_t len[] = {title.size(),  people.size(), people.size(),
                            people.size(), priv.size(),   apic.size()};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(m.items[i].raw_off, at[i]) << i;
        EXPECT_EQ(m.items[i].raw_len, len[i]) << i;
    }
    const id3_item& pic = m.items[5];
    EXPECT_EQ(pic.picture_type, 3);
    EXPECT_STREQ(pic.mime, "image/png");
    EXPECT_STREQ(pic.description, "d");
    EXPECT_EQ(Bytes(pic.data, pic.data + pic.data_len), kJpeg);

    // The ID3v1 title gives way to the ID3v2 one; its artist fills the key the tag lacks.
    id3_property_map p;
    memset(&p, 0, sizeof p);
    id3_property_map_guard pguard{&p};
    ASSERT_EQ(id3_model_props(&m, &p), 0);
    std::string map;
    for (uint64_t i = 0; i < p.count; i++)
        map += std::string(p.items[i].key) + "=" + p.items[i].value + ";";
    EXPECT_EQ(map, "TITLE=T;PRODUCER=A;MIXER=B;PRODUCER=C;ARTIST=v1 artist;");
    ASSERT_EQ(p.picture_count, 1u);
    EXPECT_EQ(p.pictures[0].size, kJpeg.size());
}

} // namespace
