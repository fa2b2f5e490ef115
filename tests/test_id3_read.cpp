// The ID3v2 reader: tag headers of versions 2 to 4, extended headers, unsynchronisation, frame
// flags, the end of the frame walk, text frames, APIC layouts and malformed tags. Every tag is
// built byte by byte.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <ostream>
#include <string>

namespace {

// "ID3", major version, revision 0, flags, syncsafe size of the rest.
Bytes tag(int major, int flags, const Bytes& rest) {
    return S("ID3") + B({major, 0, flags}) + syncsafe((uint32_t)rest.size()) + rest;
}
// Frame with a plain 32-bit size (versions 2 and 3).
Bytes frame3(const std::string& id, const Bytes& body, int format_flags = 0) {
    return S(id) + be32((uint32_t)body.size()) + B({0, format_flags}) + body;
}
// Frame with a syncsafe size (version 4).
Bytes frame4(const std::string& id, const Bytes& body, int format_flags = 0) {
    return S(id) + syncsafe((uint32_t)body.size()) + B({0, format_flags}) + body;
}
// Text frame body in UTF-8 or ISO-8859-1 (encodings 3 and 0).
Bytes text(const std::string& value, int encoding = 3) {
    return B({encoding}) + S(value);
}
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
std::string describe(const id3_tags& t) {
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
    uint8_t* copy = (uint8_t*)malloc(data.empty() ? 1 : data.size());
    if (!data.empty())
        memcpy(copy, data.data(), data.size());
    id3_tags t;
    id3_tags_init(&t);
    id3_clear_error();
    int rc = id3_mp3_read(copy, data.size(), &t);
    free(copy);
    ReadResult r{rc, describe(t), t.format};
    id3_tags_free(&t);
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
    {"sync_then_id3_later", kAudio + tag(4, 0, frame4("TIT2", text("x"))), ""},
    {"v4_utf8", tag(4, 0, frame4("TIT2", text("Hi"))) + kAudio, "title=Hi;"},
    {"v3_utf16", tag(3, 0, frame3("TPE1", B({1, 0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00}))),
     "artist=A\xC3\xA9;"},
    {"v2_walked_with_plain_sizes", tag(2, 0, frame3("TALB", text("Old"))), "album=Old;"},
    {"v5_uses_v4_rules", tag(5, 0, frame4("TIT2", text(k199))), "title=" + k199 + ";"},
    // A body of 200 bytes: the size bytes differ between the plain and the syncsafe form.
    {"v4_syncsafe_frame_size", tag(4, 0, frame4("TIT2", text(k199)) + frame4("TPE1", text("b"))),
     "title=" + k199 + ";artist=b;"},
    {"v3_plain_frame_size", tag(3, 0, frame3("TIT2", text(k199)) + frame3("TPE1", text("b"))),
     "title=" + k199 + ";artist=b;"},
    {"v3_extended_header",
     tag(3, 0x40, be32(6) + B({0, 0, 0, 0, 0, 0}) + frame3("TIT2", text("x"))), "title=x;"},
    {"v4_extended_header", tag(4, 0x40, syncsafe(6) + B({1, 0}) + frame4("TIT2", text("x"))),
     "title=x;"},
    {"extended_header_larger_than_tag", tag(3, 0x40, be32(100) + frame3("TIT2", text("x"))), ""},
    {"extended_header_size_does_not_wrap",
     tag(3, 0x40, be32(0xFFFFFFFF) + frame3("TIT2", text("x"))), ""},
    {"extended_header_flag_on_tiny_tag", tag(4, 0x40, B({0, 0, 6})), ""},
    {"tag_size_beyond_data",
     S("ID3") + B({4, 0, 0}) + syncsafe(100000) + frame4("TIT2", text("Hi")), "title=Hi;"},
    {"tag_size_largest",
     S("ID3") + B({4, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}) + frame4("TIT2", text("Hi")), "title=Hi;"},
    {"frames_after_tag_size_not_read",
     S("ID3") + B({4, 0, 0}) + syncsafe(13) + frame4("TIT2", text("Hi")) +
         frame4("TPE1", text("audio")),
     "title=Hi;"},
    {"empty_tag", tag(4, 0, {}) + kAudio, ""},
    {"footer_flag_ignored", tag(4, 0x10, frame4("TIT2", text("Hi"))) + S("3DI") + B({4, 0, 0x10}),
     "title=Hi;"},
};
INSTANTIATE_TEST_SUITE_P(Headers, Reader, ::testing::ValuesIn(kHeaderCases), name_of);

// --- Unsynchronisation and format flags ----------------------------------------------------

const ReadCase kFlagCases[] = {
    // Version 3 removes unsynchronisation from the whole frame area; frame sizes are those of the
    // decoded frames.
    {"v3_whole_area_unsync",
     tag(3, 0x80,
         unsync(frame3("TIT2", B({3, 0x41, 0xFF, 0x42})) +
                frame3("APIC", B({0}) + S("image/jpeg") + B({0, 3, 0}) + kJpeg))),
     "title=A\xFF"
     "B;cover(image/jpeg)=FF D8 FF E0 00 10 4A 46;"},
    {"v3_unsync_after_extended_header",
     tag(3, 0xC0,
         be32(6) + repeat(0, 6) +
             unsync(frame3("TIT2", B({3, 0x41, 0xFF, 0x42})) + frame3("TPE1", text("b")))),
     "title=A\xFF"
     "B;artist=b;"},
    // Version 4 has no whole-tag unsynchronisation: the tag flag is ignored.
    {"v4_tag_flag_ignored", tag(4, 0x80, frame4("TIT2", B({3, 0x41, 0xFF, 0x00, 0x42}))),
     "title=A\xFF;"},
    // Version 4 frame: unsynchronisation first, then the data length indicator goes.
    {"v4_frame_unsync_and_length",
     tag(4, 0, frame4("TIT2", unsync(syncsafe(4) + B({3, 0x41, 0xFF, 0x42})), 0x03)),
     "title=A\xFF"
     "B;"},
    {"v4_frame_unsync_only", tag(4, 0, frame4("TIT2", unsync(B({3, 0x41, 0xFF, 0x42})), 0x02)),
     "title=A\xFF"
     "B;"},
    {"v4_length_indicator_only", tag(4, 0, frame4("TIT2", syncsafe(2) + text("A"), 0x01)),
     "title=A;"},
    {"v4_length_indicator_on_short_body_kept", tag(4, 0, frame4("TIT2", text("AB"), 0x01)),
     "title=AB;"},
    {"v4_length_indicator_leaves_nothing",
     tag(4, 0, frame4("TIT2", syncsafe(0), 0x01) + frame4("TPE1", text("b"))), "artist=b;"},
    // Compressed and encrypted frames are passed over; the walk goes on.
    {"v3_compressed_skipped",
     tag(3, 0, frame3("TIT2", text("z"), 0x80) + frame3("TPE1", text("b"))), "artist=b;"},
    {"v3_encrypted_skipped", tag(3, 0, frame3("TIT2", text("z"), 0x40) + frame3("TPE1", text("b"))),
     "artist=b;"},
    {"v4_compressed_skipped",
     tag(4, 0, frame4("TIT2", text("z"), 0x08) + frame4("TPE1", text("b"))), "artist=b;"},
    {"v4_encrypted_skipped", tag(4, 0, frame4("TIT2", text("z"), 0x04) + frame4("TPE1", text("b"))),
     "artist=b;"},
    // Bits of the other version mean nothing.
    {"v3_ignores_v4_bits", tag(3, 0, frame3("TIT2", text("x"), 0x0C)), "title=x;"},
    {"v4_ignores_v3_bits", tag(4, 0, frame4("TIT2", text("x"), 0x80)), "title=x;"},
    {"v2_ignores_all_bits", tag(2, 0, frame3("TIT2", text("x"), 0xFF)), "title=x;"},
};
INSTANTIATE_TEST_SUITE_P(Flags, Reader, ::testing::ValuesIn(kFlagCases), name_of);

// --- The end of the frame walk -------------------------------------------------------------

const ReadCase kWalkCases[] = {
    {"size_zero_stops",
     tag(4, 0,
         frame4("TIT2", text("a")) + S("TALB") + syncsafe(0) + B({0, 0}) +
             frame4("TPE1", text("b"))),
     "title=a;"},
    {"overrun_stops",
     tag(4, 0, frame4("TIT2", text("a")) + S("TPE1") + syncsafe(50) + B({0, 0}) + text("b")),
     "title=a;"},
    {"padding_stops",
     tag(4, 0, frame4("TIT2", text("a")) + repeat(0, 10) + frame4("TPE1", text("b"))), "title=a;"},
    {"short_remainder_stops", tag(4, 0, frame4("TIT2", text("a")) + S("TPE1") + B({0, 0, 0, 1, 0})),
     "title=a;"},
    {"frame_filling_area_exactly", tag(4, 0, frame4("TIT2", text("a"))), "title=a;"},
};
INSTANTIATE_TEST_SUITE_P(Walk, Reader, ::testing::ValuesIn(kWalkCases), name_of);

// --- Text frames -----------------------------------------------------------------------------

const ReadCase kTextCases[] = {
    {"all_fields",
     tag(4, 0,
         frame4("TIT2", text("T")) + frame4("TPE1", text("A")) + frame4("TALB", text("L")) +
             frame4("TCON", text("(13)")) + frame4("TDRC", text("2024")) +
             frame4("TRCK", text("3/12"))),
     "title=T;artist=A;album=L;genre=(13);date=2024;track=3/12;"},
    {"latin1_converted", tag(3, 0, frame3("TIT2", text("Caf\xE9", 0))), "title=Caf\xC3\xA9;"},
    {"tyer_then_tdrc", tag(4, 0, frame4("TYER", text("1999")) + frame4("TDRC", text("2024-05-01"))),
     "date=2024-05-01;"},
    {"tdrc_then_tyer", tag(4, 0, frame4("TDRC", text("2024-05-01")) + frame4("TYER", text("1999"))),
     "date=2024-05-01;"},
    {"tyer_alone", tag(3, 0, frame3("TYER", text("1999"))), "date=1999;"},
    {"empty_tdrc_then_tyer", tag(4, 0, frame4("TDRC", text("")) + frame4("TYER", text("1999"))),
     "date=1999;"},
    {"tyer_then_empty_tdrc", tag(4, 0, frame4("TYER", text("1999")) + frame4("TDRC", text(""))),
     "date=;"},
    {"two_titles_last_wins", tag(4, 0, frame4("TIT2", text("one")) + frame4("TIT2", text("two"))),
     "title=two;"},
    {"txxx_ignored", tag(4, 0, frame4("TXXX", B({3}) + S("TIT2") + B({0}) + S("v"))), ""},
    {"other_t_frame_ignored", tag(4, 0, frame4("TCOM", text("Bach")) + frame4("TIT3", text("s"))),
     ""},
    {"non_text_frames_ignored",
     tag(4, 0, frame4("COMM", B({3}) + S("eng") + B({0}) + S("c")) + frame4("TIT2", text("x"))),
     "title=x;"},
    {"encoding_byte_only_is_empty", tag(4, 0, frame4("TIT2", B({3}))), "title=;"},
    {"first_of_several_values", tag(4, 0, frame4("TPE1", B({3}) + S("A") + B({0}) + S("B"))),
     "artist=A;"},
    {"utf16_without_mark_is_big_endian", tag(4, 0, frame4("TIT2", B({2, 0x00, 0x41, 0x00, 0x42}))),
     "title=AB;"},
};
INSTANTIATE_TEST_SUITE_P(Texts, Reader, ::testing::ValuesIn(kTextCases), name_of);

// --- APIC ------------------------------------------------------------------------------------

const Bytes kPic = B({0x89, 0x50, 0x4E, 0x47});
Bytes apic(int encoding, const std::string& mime, const Bytes& description, const Bytes& picture) {
    return B({encoding}) + S(mime) + B({0, 3}) + description + picture;
}

const ReadCase kApicCases[] = {
    {"latin1_description", tag(3, 0, frame3("APIC", apic(0, "image/png", S("d") + B({0}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    {"utf8_empty_description", tag(4, 0, frame4("APIC", apic(3, "image/png", B({0}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    // "d" in UTF-16LE is 64 00: the 00 00 at an odd distance is not the terminator.
    {"utf16_description",
     tag(3, 0, frame3("APIC", apic(1, "image/png", B({0xFF, 0xFE, 0x64, 0x00, 0x00, 0x00}), kPic))),
     "cover(image/png)=89 50 4E 47;"},
    {"utf16_terminator_only_at_odd_distance",
     tag(3, 0, frame3("APIC", apic(1, "m", B({0x41, 0x00, 0x00, 0xAA}), {}))), ""},
    {"utf16be_description",
     tag(4, 0, frame4("APIC", apic(2, "image/gif", B({0x00, 0x41, 0x00, 0x00}), kPic))),
     "cover(image/gif)=89 50 4E 47;"},
    {"empty_mime_is_jpeg", tag(4, 0, frame4("APIC", apic(3, "", B({0}), kPic))),
     "cover(image/jpeg)=89 50 4E 47;"},
    {"mime_of_63_kept", tag(4, 0, frame4("APIC", apic(3, std::string(63, 'm'), B({0}), kPic))),
     "cover(" + std::string(63, 'm') + ")=89 50 4E 47;"},
    {"mime_over_63_cut", tag(4, 0, frame4("APIC", apic(3, std::string(70, 'm'), B({0}), kPic))),
     "cover(" + std::string(63, 'm') + ")=89 50 4E 47;"},
    {"no_mime_terminator", tag(4, 0, frame4("APIC", B({3}) + S("image/png"))), ""},
    {"no_picture_type", tag(4, 0, frame4("APIC", B({3}) + S("png") + B({0, 3}))), ""},
    {"no_description_terminator", tag(4, 0, frame4("APIC", apic(0, "image/png", S("desc"), {}))),
     ""},
    {"no_picture_bytes", tag(4, 0, frame4("APIC", apic(0, "image/png", B({0}), {}))), ""},
    {"body_of_three_bytes", tag(4, 0, frame4("APIC", B({0, 0, 3}))), ""},
    {"two_pictures_last_wins",
     tag(4, 0,
         frame4("APIC", apic(3, "image/png", B({0}), kPic)) +
             frame4("APIC", B({3}) + S("image/gif") + B({0, 4, 0}) + B({0x47, 0x49}))),
     "cover(image/gif)=47 49;"},
    {"unusable_second_picture_keeps_first",
     tag(4, 0,
         frame4("APIC", apic(3, "image/png", B({0}), kPic)) +
             frame4("APIC", apic(3, "image/gif", S("no end"), {}))),
     "cover(image/png)=89 50 4E 47;"},
    {"picture_with_unsync_and_length",
     tag(4, 0, frame4("APIC", unsync(syncsafe(13) + apic(0, "image/jpeg", B({0}), kJpeg)), 0x03)),
     "cover(image/jpeg)=FF D8 FF E0 00 10 4A 46;"},
    // A picture that ends in FF ends the unsynchronised data with FF 00: that 00 goes too, also
    // when nothing follows it (the frame fills the tag; the version 3 tag has no padding).
    {"picture_ending_in_ff_with_frame_unsync",
     tag(4, 0, frame4("APIC", unsync(apic(3, "image/jpeg", B({0}), B({0xFF, 0xD8, 0xFF}))), 0x02)),
     "cover(image/jpeg)=FF D8 FF;"},
    {"picture_ending_in_ff_with_whole_tag_unsync",
     tag(3, 0x80, unsync(frame3("APIC", apic(0, "image/jpeg", B({0}), B({0xFF, 0xD8, 0xFF}))))),
     "cover(image/jpeg)=FF D8 FF;"},
    // The searches end with the body as it stands after the flags. Without a terminator in it,
    // the padding that follows (00 bytes) must not be taken as one.
    {"search_bounded_after_length_indicator",
     tag(4, 0,
         frame4("APIC", syncsafe(6) + B({0}) + S("m") + B({0, 3}) + S("dd"), 0x01) + repeat(0, 16)),
     ""},
    // Removing unsynchronisation shortens the body by three bytes; the search must not go on
    // into what the copy does not hold.
    {"search_bounded_after_unsync",
     tag(4, 0,
         frame4("APIC",
                unsync(syncsafe(8) + B({0}) + S("m") + B({0, 3}) + S("d") + B({0xFF, 0xFF, 0xFF})),
                0x03) +
             repeat(0, 16)),
     ""},
};
INSTANTIATE_TEST_SUITE_P(Apic, Reader, ::testing::ValuesIn(kApicCases), name_of);

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

    id3_tags t;
    id3_tags_init(&t);
    EXPECT_EQ(id3_mp3_read(nullptr, 0, &t), -1);
    EXPECT_STREQ(id3_last_error(), "too short for ID3");
    EXPECT_EQ(t.format, ID3_FMT_MP3);
}

TEST(ReaderRobustness, TruncatedAndMutatedTagsStayInsideTheImage) {
    // A tag with every kind of frame and flag the reader handles, cut at every length and then
    // damaged byte by byte. Each read works on an exactly sized copy, so a sanitizer run reports
    // any read past the image; every read must succeed or fail with a message.
    Bytes full =
        tag(4, 0,
            frame4("TIT2", unsync(syncsafe(4) + B({3, 0x41, 0xFF, 0x42})), 0x03) +
                frame4("TYER", text("1999")) +
                frame4("APIC",
                       apic(1, "image/png", B({0xFF, 0xFE, 0x64, 0x00, 0x00, 0x00}), kPic)) +
                frame4("APIC", unsync(syncsafe(13) + apic(0, "image/jpeg", B({0}), kJpeg)), 0x02)) +
        kAudio;
    Bytes v3 = tag(3, 0xC0,
                   be32(6) + repeat(0, 6) +
                       unsync(frame3("TPE1", B({1, 0xFF, 0xFE, 0x41, 0x00})) +
                              frame3("APIC", apic(2, "", B({0x00, 0x41, 0x00, 0x00}), kJpeg))));
    for (const Bytes& whole : {full, v3}) {
        ReadResult r = read_tags(whole);
        ASSERT_EQ(r.rc, 0);
        ASSERT_NE(r.fields, "");
        for (size_t n = 0; n < whole.size(); n++) {
            ReadResult cut = read_tags(Bytes(whole.begin(), whole.begin() + (long)n));
            EXPECT_TRUE(cut.rc == 0 || (cut.rc == -1 && id3_last_error()[0] != '\0')) << n;
        }
    }
    std::mt19937 rng(20261210);
    for (int round = 0; round < 3000; round++) {
        Bytes damaged = round % 2 ? full : v3;
        int changes = 1 + (int)(rng() % 4);
        for (int i = 0; i < changes; i++)
            damaged[10 + rng() % (damaged.size() - 10)] = (uint8_t)rng();
        if (round % 3 == 0)
            damaged.resize(10 + rng() % (damaged.size() - 10));
        ReadResult r = read_tags(damaged);
        EXPECT_EQ(r.rc, 0) << hex(damaged);
    }
}

} // namespace
