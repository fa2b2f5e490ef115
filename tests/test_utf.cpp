// ID3v2 text payloads to UTF-8: ISO-8859-1, UTF-16 with and without a byte-order mark, UTF-8 and
// undefined encodings, with the malformed inputs a tag can carry.
#include "id3_internal.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <ostream>
#include <string>

namespace {

// Runs a conversion result through a check and releases it.
Bytes take_text(char* text) {
    EXPECT_NE(text, nullptr);
    if (!text)
        return {};
    Bytes out(text, text + strlen(text));
    free(text);
    return out;
}

// Decodes from an exactly sized heap copy, so that a read past the count shows under a sanitizer.
Bytes decode(int encoding, const Bytes& in) {
    HeapBytes copy = exact_copy(in);
    return take_text(id3_decode_id3_text((uint8_t)encoding, copy.get(), in.size()));
}

struct DecodeCase {
    const char* name;
    int encoding;
    Bytes in;
    Bytes out;
};

// Failures name the case rather than dumping its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, GivesTheExpectedBytes) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(hex(decode(c.encoding, c.in)), hex(c.out));
}

const DecodeCase kDecodeCases[] = {
    // ISO-8859-1: the upper half becomes two bytes; the text ends at 00.
    {"latin1_stops_at_nul", 0, B({0x41, 0xE9, 0x00, 0x42}), B({0x41, 0xC3, 0xA9})},
    {"latin1_edges", 0, B({0x7F, 0x80, 0xFF}), B({0x7F, 0xC2, 0x80, 0xC3, 0xBF})},
    {"latin1_empty", 0, {}, {}},
    // Byte-order marks.
    {"bom_little_endian", 1, B({0xFF, 0xFE, 0x41, 0x00}), B({0x41})},
    {"bom_big_endian", 1, B({0xFE, 0xFF, 0x00, 0x41}), B({0x41})},
    // Encoding 1 without its mark: little-endian, as mutagen and eyeD3 read it.
    {"no_bom_is_little_endian", 1, B({0x41, 0x00, 0xE9, 0x00}), B({0x41, 0xC3, 0xA9})},
    {"utf16be_plain", 2, B({0x00, 0x41}), B({0x41})},
    {"utf16be_honours_a_mark", 2, B({0xFF, 0xFE, 0x41, 0x00, 0x42, 0x00}), B({0x41, 0x42})},
    {"mark_only", 1, B({0xFF, 0xFE}), {}},
    {"mark_and_one_byte", 1, B({0xFF, 0xFE, 0x41}), {}},
    {"one_byte", 1, B({0x41}), {}},
    {"utf16_empty", 1, {}, {}},
    // Widths of the UTF-8 forms.
    {"two_byte_form", 2, B({0x00, 0xE9}), B({0xC3, 0xA9})},
    {"three_byte_form", 2, B({0x20, 0xAC}), B({0xE2, 0x82, 0xAC})},
    {"mark_inside_text_is_kept", 2, B({0x00, 0x41, 0xFE, 0xFF}), B({0x41, 0xEF, 0xBB, 0xBF})},
    {"zero_unit_ends_text", 2, B({0x00, 0x41, 0x00, 0x00, 0x00, 0x42}), B({0x41})},
    {"odd_last_byte_ignored", 2, B({0x00, 0x41, 0x00}), B({0x41})},
    // Surrogates.
    {"pair_big_endian", 2, B({0xD8, 0x3D, 0xDE, 0x00}), B({0xF0, 0x9F, 0x98, 0x80})},
    {"pair_little_endian", 1, B({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}), B({0xF0, 0x9F, 0x98, 0x80})},
    {"highest_code_point", 2, B({0xDB, 0xFF, 0xDF, 0xFF}), B({0xF4, 0x8F, 0xBF, 0xBF})},
    {"broken_pair_drops_both", 2, B({0xD8, 0x3D, 0x00, 0x41, 0x00, 0x43}), B({0x43})},
    {"broken_pair_with_zero_goes_on", 2, B({0xD8, 0x3D, 0x00, 0x00, 0x00, 0x42}), B({0x42})},
    {"high_surrogate_at_end", 2, B({0x00, 0x41, 0xD8, 0x3D}), B({0x41})},
    {"high_surrogate_then_odd_byte", 2, B({0x00, 0x41, 0xD8, 0x3D, 0xDE}), B({0x41})},
    {"lone_low_surrogate_dropped", 2, B({0xDC, 0x00, 0x00, 0x41}), B({0x41})},
    // UTF-8 and undefined encodings: copied up to 00, without validation.
    {"utf8_invalid_kept", 3, B({0xFF}), B({0xFF})},
    {"utf8_stops_at_nul", 3, B({0x41, 0x00, 0x42}), B({0x41})},
    {"utf8_empty", 3, {}, {}},
    {"encoding_7_is_utf8", 7, B({0x41, 0xFF, 0xC3, 0xA9}), B({0x41, 0xFF, 0xC3, 0xA9})},
    {"encoding_255_is_utf8", 255, B({0x00, 0x41}), {}},
};

INSTANTIATE_TEST_SUITE_P(Texts, Decode, ::testing::ValuesIn(kDecodeCases),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(DecodeText, NullPointerGivesTheEmptyTextForEveryEncoding) {
    for (int encoding : {0, 1, 2, 3, 9}) {
        char* text = id3_decode_id3_text((uint8_t)encoding, nullptr, 12);
        ASSERT_NE(text, nullptr) << encoding;
        EXPECT_STREQ(text, "") << encoding;
        free(text);
    }
}

TEST(DecodeText, CountLimitsTheBytesRead) {
    // Only the first two bytes belong to the text; the rest of the buffer is never part of it.
    const uint8_t data[] = {0x41, 0x42, 0x43, 0x44};
    EXPECT_EQ(take_text(id3_decode_id3_text(3, data, 2)), S("AB"));
    EXPECT_EQ(take_text(id3_decode_id3_text(0, data, 2)), S("AB"));
    const uint8_t wide[] = {0x00, 0x41, 0x00, 0x42};
    EXPECT_EQ(take_text(id3_decode_id3_text(2, wide, 3)), S("A"));
}

TEST(Utf16, FlagChoosesTheOrderOnlyWithoutAMark) {
    const uint8_t plain[] = {0x41, 0x00, 0x42, 0x00};
    EXPECT_EQ(take_text(id3_utf16_to_utf8(plain, 4, 0)), S("AB"));
    EXPECT_EQ(hex(take_text(id3_utf16_to_utf8(plain, 4, 1))), "E4 84 80 E4 88 80");
    const uint8_t marked[] = {0xFE, 0xFF, 0x00, 0x41};
    EXPECT_EQ(take_text(id3_utf16_to_utf8(marked, 4, 0)), S("A"));
    EXPECT_EQ(take_text(id3_utf16_to_utf8(nullptr, 4, 1)), Bytes{});
    EXPECT_EQ(take_text(id3_utf16_to_utf8(plain, 1, 1)), Bytes{});
}

TEST(Utf16, LongMixedTextFitsItsAllocation) {
    // Every unit at its widest (three bytes for two) plus pairs (four for four): the output must
    // stay inside 3 x count + 1 and come out whole.
    Bytes in;
    Bytes expected;
    for (int i = 0; i < 500; i++) {
        in += B({0xFF, 0xFF});
        expected += B({0xEF, 0xBF, 0xBF});
        in += B({0xD8, 0x3D, 0xDE, 0x00});
        expected += B({0xF0, 0x9F, 0x98, 0x80});
    }
    EXPECT_EQ(decode(2, in), expected);
}

} // namespace
