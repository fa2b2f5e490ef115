// id3_read_all: the property map of files built byte by byte, one table of keys across the
// containers (ID3v2.4, ID3v2.3, FLAC, MP4), then the cases where a container's rules decide.
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Values = std::vector<std::string>;

// What id3_read_all gave: the keys in their order, each key's values, the pictures as
// "type mime description size" lines, and the format.
struct AllTags {
    std::string format;
    std::vector<std::string> keys;
    std::map<std::string, Values> properties;
    std::vector<std::string> pictures;
    std::string error; // id3_last_error() when the read failed
    bool ok = false;
};

AllTags read_all(const std::string& path) {
    AllTags out;
    char* text = id3_read_all(path.c_str());
    if (!text) {
        out.error = id3_last_error();
        return out;
    }
    yyjson_doc* doc = yyjson_read(text, strlen(text), 0);
    id3_free_string(text);
    if (!doc)
        return out;
    yyjson_val* root = yyjson_doc_get_root(doc);
    out.format = yyjson_get_str(yyjson_obj_get(root, "format"));
    yyjson_val* key;
    yyjson_obj_iter iter;
    yyjson_obj_iter_init(yyjson_obj_get(root, "properties"), &iter);
    while ((key = yyjson_obj_iter_next(&iter))) {
        std::string name = yyjson_get_str(key);
        out.keys.push_back(name);
        size_t i, n;
        yyjson_val* value;
        yyjson_arr_foreach(yyjson_obj_iter_get_val(key), i, n, value) {
            out.properties[name].emplace_back(yyjson_get_str(value), yyjson_get_len(value));
        }
    }
    size_t i, n;
    yyjson_val* pic;
    yyjson_arr_foreach(yyjson_obj_get(root, "pictures"), i, n, pic) {
        out.pictures.push_back(std::to_string(yyjson_get_int(yyjson_obj_get(pic, "type"))) + " " +
                               yyjson_get_str(yyjson_obj_get(pic, "mime")) + " " +
                               yyjson_get_str(yyjson_obj_get(pic, "description")) + " " +
                               std::to_string(yyjson_get_uint(yyjson_obj_get(pic, "size"))));
    }
    yyjson_doc_free(doc);
    out.ok = true;
    return out;
}

AllTags read_all_bytes(const Bytes& file) {
    TempDir dir;
    std::string path = dir.file("f");
    EXPECT_TRUE(write_file(path, file));
    return read_all(path);
}

// Bodies of ID3v2 frames.
Bytes z(const std::string& text) { // a text and its terminator
    return S(text) + B({0});
}
Bytes txxx(const std::string& description, const std::string& value) {
    return B({3}) + z(description) + S(value);
}
Bytes comm(const std::string& description, const std::string& text) {
    return B({3}) + S("eng") + z(description) + S(text);
}
Bytes ufid(const std::string& owner, const std::string& id) {
    return z(owner) + S(id);
}
Bytes apic(const std::string& mime, int type, const std::string& description, size_t size) {
    return B({3}) + z(mime) + B({type}) + z(description) + repeat(0xAB, size);
}

// FLAC with one VORBIS_COMMENT block and the PICTURE blocks given.
Bytes flac_file(const std::vector<std::string>& comments, const Bytes& pictures = {}) {
    return S("fLaC") + flac_block(0, repeat(0, 34)) +
           flac_block(4, vorbis_comment("v", comments), pictures.empty()) + pictures;
}

// MP4 items.
Bytes item(const std::string& type, const std::string& text) {
    return mp4_atom(type, mp4_data(S(text)));
}
Bytes freeform(const std::string& name, const std::vector<std::string>& values,
               const std::string& mean = "com.apple.iTunes") {
    Bytes data;
    for (const std::string& v : values)
        data += mp4_data(S(v));
    return mp4_atom("----", mp4_atom("mean", be32(0) + S(mean)) +
                                mp4_atom("name", be32(0) + S(name)) + data);
}
Bytes pair_item(const std::string& type, int number, int total) {
    return mp4_atom(type, mp4_data(be16(0) + be16(number) + be16(total) + be16(0), 0));
}
Bytes mp4_file(const Bytes& items) {
    return mp4_atom("ftyp", S("M4A ") + be32(0)) +
           mp4_atom("moov", mp4_atom("udta", mp4_atom("meta", be32(0) + mp4_atom("ilst", items))));
}

// One key in every container: the frame of each ID3v2 version, the Vorbis comments, the MP4
// item, and the values all of them give.
struct KeyRow {
    const char* key;
    Bytes v24;
    Bytes v23;
    std::vector<std::string> vorbis;
    Bytes mp4;
    Values values;
};

std::vector<KeyRow> key_rows() {
    std::vector<KeyRow> rows = {
        {"TITLE",
         id3_frame4("TIT2", id3_text("Song")),
         id3_frame3("TIT2", id3_text("Song", 0)),
         {"TITLE=Song"},
         item("\251nam", "Song"),
         {"Song"}},
        // Several values: NUL-separated texts, several comments, several data atoms.
        {"ARTIST",
         id3_frame4("TPE1", id3_text(std::string("A\0B", 3))),
         id3_frame3("TPE1", id3_text(std::string("A\0B", 3))),
         {"ARTIST=A", "artist=B"},
         mp4_atom("\251ART", mp4_data(S("A")) + mp4_data(S("B"))),
         {"A", "B"}},
        {"ALBUMARTIST",
         id3_frame4("TPE2", id3_text("Various")),
         id3_frame3("TPE2", id3_text("Various")),
         {"ALBUMARTIST=Various"},
         item("aART", "Various"),
         {"Various"}},
        {"TRACKNUMBER",
         id3_frame4("TRCK", id3_text("3/12")),
         id3_frame3("TRCK", id3_text("3/12")),
         {"TRACKNUMBER=3/12"},
         pair_item("trkn", 3, 12),
         {"3/12"}},
        {"DISCNUMBER",
         id3_frame4("TPOS", id3_text("1/2")),
         id3_frame3("TPOS", id3_text("1/2")),
         {"DISCNUMBER=1/2"},
         pair_item("disk", 1, 2),
         {"1/2"}},
        // Version 2.3 keeps the day apart from the year; the two give one date.
        {"DATE",
         id3_frame4("TDRC", id3_text("2004-03-15")),
         id3_frame3("TYER", id3_text("2004")) + id3_frame3("TDAT", id3_text("1503")),
         {"DATE=2004-03-15"},
         item("\251day", "2004-03-15"),
         {"2004-03-15"}},
        // A genre by its ID3v1 number gives the genre's name.
        {"GENRE",
         id3_frame4("TCON", id3_text(std::string("8\0Rock", 6))),
         id3_frame3("TCON", id3_text(std::string("(8)\0Rock", 8))),
         {"GENRE=Jazz", "GENRE=Rock"},
         mp4_atom("\251gen", mp4_data(S("Jazz")) + mp4_data(S("Rock"))),
         {"Jazz", "Rock"}},
        {"COMPOSER",
         id3_frame4("TCOM", id3_text("Bach")),
         id3_frame3("TCOM", id3_text("Bach")),
         {"COMPOSER=Bach"},
         item("\251wrt", "Bach"),
         {"Bach"}},
        {"COMMENT",
         id3_frame4("COMM", comm("", "Nice")),
         id3_frame3("COMM", comm("", "Nice")),
         {"COMMENT=Nice"},
         item("\251cmt", "Nice"),
         {"Nice"}},
        // Lyrics are one text, line breaks and all; UTF-16 with its byte-order mark.
        {"LYRICS",
         id3_frame4("USLT",
                    B({1}) + S("eng") + B({0xFF, 0xFE, 0, 0, 0xFF, 0xFE, 'L', 0, '\n', 0, 'a', 0})),
         id3_frame3("USLT", comm("", "L\na")),
         {"LYRICS=L\na"},
         item("\251lyr", "L\na"),
         {"L\na"}},
        {"COMPILATION",
         id3_frame4("TCMP", id3_text("1")),
         id3_frame3("TCMP", id3_text("1")),
         {"COMPILATION=1"},
         mp4_atom("cpil", mp4_data(B({1}), 21)),
         {"1"}},
        {"BPM",
         id3_frame4("TBPM", id3_text("120")),
         id3_frame3("TBPM", id3_text("120")),
         {"BPM=120"},
         mp4_atom("tmpo", mp4_data(be16(120), 21)),
         {"120"}},
        {"ARTISTSORT",
         id3_frame4("TSOP", id3_text("Beatles, The")),
         id3_frame3("TSOP", id3_text("Beatles, The")),
         {"ARTISTSORT=Beatles, The"},
         item("soar", "Beatles, The"),
         {"Beatles, The"}},
        {"ALBUMSORT",
         id3_frame4("TSOA", id3_text("White")),
         id3_frame3("TSOA", id3_text("White")),
         {"ALBUMSORT=White"},
         item("soal", "White"),
         {"White"}},
        {"ALBUMARTISTSORT",
         id3_frame4("TSO2", id3_text("V")),
         id3_frame3("TSO2", id3_text("V")),
         {"ALBUMARTISTSORT=V"},
         item("soaa", "V"),
         {"V"}},
        {"TITLESORT",
         id3_frame4("TSOT", id3_text("Song, A")),
         id3_frame3("TSOT", id3_text("Song, A")),
         {"TITLESORT=Song, A"},
         item("sonm", "Song, A"),
         {"Song, A"}},
        {"ORIGINALDATE",
         id3_frame4("TDOR", id3_text("1999")),
         id3_frame3("TORY", id3_text("1999")),
         {"ORIGINALDATE=1999"},
         freeform("ORIGINALDATE", {"1999"}),
         {"1999"}},
        {"MUSICBRAINZ_TRACKID",
         id3_frame4("UFID", ufid("http://musicbrainz.org", "trk-1")),
         id3_frame3("UFID", ufid("http://musicbrainz.org", "trk-1")),
         {"MUSICBRAINZ_TRACKID=trk-1"},
         freeform("MusicBrainz Track Id", {"trk-1"}),
         {"trk-1"}},
        {"MUSICBRAINZ_ALBUMID",
         id3_frame4("TXXX", txxx("MusicBrainz Album Id", "alb-1")),
         id3_frame3("TXXX", txxx("MUSICBRAINZ ALBUM ID", "alb-1")),
         {"MUSICBRAINZ_ALBUMID=alb-1"},
         freeform("MusicBrainz Album Id", {"alb-1"}),
         {"alb-1"}},
        // Descriptions and freeform names in another case name the same key.
        {"REPLAYGAIN_TRACK_GAIN",
         id3_frame4("TXXX", txxx("replaygain_track_gain", "-6.50 dB")),
         id3_frame3("TXXX", txxx("REPLAYGAIN_TRACK_GAIN", "-6.50 dB")),
         {"replaygain_track_gain=-6.50 dB"},
         freeform("replaygain_track_gain", {"-6.50 dB"}),
         {"-6.50 dB"}},
        {"PRODUCER",
         id3_frame4("TIPL", id3_text(std::string("producer\0P", 10))),
         id3_frame3("IPLS", id3_text(std::string("producer\0P", 10))),
         {"PRODUCER=P"},
         freeform("PRODUCER", {"P"}),
         {"P"}},
        // A name of no row: its own key, upper-cased; several values here too.
        {"MY KEY",
         id3_frame4("TXXX", txxx("My Key", std::string("x\0y", 3))),
         id3_frame3("TXXX", txxx("My Key", std::string("x\0y", 3))),
         {"My Key=x", "MY KEY=y"},
         freeform("My Key", {"x", "y"}),
         {"x", "y"}},
    };
    // The podcast and TV items: texts, in a TXXX frame of the key in ID3v2. iTunes marks the URL
    // and the episode id with no type (0).
    const struct {
        const char* key;
        const char* item;
        uint32_t type;
    } podcast[] = {{"PODCASTDESC", "desc", 1},     {"LONGDESCRIPTION", "ldes", 1},
                   {"PODCASTCATEGORY", "catg", 1}, {"PODCASTKEYWORDS", "keyw", 1},
                   {"PODCASTURL", "purl", 0},      {"PODCASTID", "egid", 0},
                   {"TVSHOW", "tvsh", 1},          {"TVNETWORK", "tvnn", 1},
                   {"TVEPISODEID", "tven", 1}};
    for (const auto& p : podcast) {
        std::string value = std::string(p.item) + " text";
        rows.push_back({p.key,
                        id3_frame4("TXXX", txxx(p.key, value)),
                        id3_frame3("TXXX", txxx(p.key, value)),
                        {std::string(p.key) + "=" + value},
                        mp4_atom(p.item, mp4_data(S(value), p.type)),
                        {value}});
    }
    return rows;
}

TEST(ReadAll, EveryKeyOfTheTableInEveryContainer) {
    std::vector<KeyRow> rows = key_rows();
    Bytes v24, v23, mp4;
    std::vector<std::string> vorbis;
    std::vector<std::string> order;
    for (const KeyRow& row : rows) {
        v24 += row.v24;
        v23 += row.v23;
        vorbis.insert(vorbis.end(), row.vorbis.begin(), row.vorbis.end());
        mp4 += row.mp4;
        order.push_back(row.key);
    }
    std::pair<const char*, Bytes> files[] = {{"ID3v2.4", id3_tag(4, 0, v24)},
                                             {"ID3v2.3", id3_tag(3, 0, v23)},
                                             {"FLAC", flac_file(vorbis)},
                                             {"MP4", mp4_file(mp4)}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        AllTags got = read_all_bytes(file.second);
        ASSERT_TRUE(got.ok) << got.error;
        for (const KeyRow& row : rows)
            EXPECT_EQ(got.properties[row.key], row.values) << row.key;
        // Nothing more, and the keys in the file's order.
        EXPECT_EQ(got.keys, order);
    }
}

// ID3v2 frames that a container's own rules decide.
TEST(ReadAll, Id3FramesByTheirKind) {
    struct Case {
        const char* name;
        Bytes frames;                                     // version 2.4 frames
        std::vector<std::pair<std::string, Values>> want; // every key, in order
    } cases[] = {
        {"empty text frame: one empty value", id3_frame4("TIT2", B({3})), {{"TITLE", {""}}}},
        {"terminator at the end starts no value",
         id3_frame4("TPE1", id3_text(std::string("A\0", 2))),
         {{"ARTIST", {"A"}}}},
        {"empty value between two",
         id3_frame4("TPE1", id3_text(std::string("A\0\0B", 4))),
         {{"ARTIST", {"A", "", "B"}}}},
        {"UTF-16 values, each with its byte-order mark",
         id3_frame4("TPE1", B({1, 0xFF, 0xFE, 'A', 0, 0, 0, 0xFE, 0xFF, 0, 'B'})),
         {{"ARTIST", {"A", "B"}}}},
        {"UTF-16BE value with a 00 byte inside a character",
         id3_frame4("TIT2", B({2, 0x01, 0x00, 0, 0, 0, 'x'})),
         {{"TITLE", {"\xC4\x80", "x"}}}},
        {"comment with a description",
         id3_frame4("COMM", comm("iTunNORM", "0 1")),
         {{"COMMENT:ITUNNORM", {"0 1"}}}},
        {"musician credits",
         id3_frame4("TMCL", id3_text(std::string("guitar\0G", 8))),
         {{"PERFORMER:GUITAR", {"G"}}}},
        {"involved person of no row",
         id3_frame4("TIPL", id3_text(std::string("Lighting\0L", 10))),
         {{"LIGHTING", {"L"}}}},
        {"text frame of no row: its id", id3_frame4("TXYZ", id3_text("q")), {{"TXYZ", {"q"}}}},
        {"URL frame",
         id3_frame4("WOAR", S("http://a.example/")),
         {{"ARTISTWEBPAGE", {"http://a.example/"}}}},
        {"genre reference with a refinement",
         id3_frame4("TCON", id3_text("(8)Cool Jazz")),
         {{"GENRE", {"Cool Jazz"}}}},
        {"genre number past the list stands",
         id3_frame4("TCON", id3_text("(250)")),
         {{"GENRE", {"(250)"}}}},
        {"a year beside the recording time gives way to it",
         id3_frame4("TDRC", id3_text("2024-05-01")) + id3_frame4("TYER", id3_text("2024")) +
             id3_frame4("TORY", id3_text("1990")) + id3_frame4("TDOR", id3_text("1990-02-03")),
         {{"DATE", {"2024-05-01"}}, {"ORIGINALDATE", {"1990-02-03"}}}},
        {"a year alone is the date; a second year gives nothing",
         id3_frame4("TYER", id3_text("2024")) + id3_frame4("TYER", id3_text("1999")) +
             id3_frame4("TORY", id3_text("1990")),
         {{"DATE", {"2024"}}, {"ORIGINALDATE", {"1990"}}}},
        {"two genre references stand",
         id3_frame4("TCON", id3_text("(8)(17)")),
         {{"GENRE", {"(8)(17)"}}}},
        {"binary frames are no properties",
         id3_frame4("PRIV", z("owner") + B({1, 2})) +
             id3_frame4("GEOB", B({0}) + z("a/b") + z("") + z("") + B({1})) +
             id3_frame4("UFID", ufid("http://other.example", "x")) +
             id3_frame4("TIT2", id3_text("t")),
         {{"TITLE", {"t"}}}},
        {"one key's frames apart keep the first place",
         id3_frame4("TPE1", id3_text("A")) + id3_frame4("TIT2", id3_text("t")) +
             id3_frame4("TPE1", id3_text("B")),
         {{"ARTIST", {"A", "B"}}, {"TITLE", {"t"}}}},
        {"compressed frame is not read",
         id3_frame4("TIT2", id3_text("x"), 0x08) + id3_frame4("TALB", id3_text("a")),
         {{"ALBUM", {"a"}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AllTags got = read_all_bytes(id3_tag(4, 0, c.frames));
        ASSERT_TRUE(got.ok) << got.error;
        std::vector<std::string> keys;
        for (const auto& kv : c.want) {
            keys.push_back(kv.first);
            EXPECT_EQ(got.properties[kv.first], kv.second) << kv.first;
        }
        EXPECT_EQ(got.keys, keys);
    }
}

TEST(ReadAll, PicturesInFileOrderWithTypeMimeDescriptionAndSize) {
    Bytes v24 =
        id3_tag(4, 0,
                id3_frame4("APIC", apic("image/png", 4, "Back", 10)) +
                    id3_frame4("TIT2", id3_text("t")) + id3_frame4("APIC", apic("", 3, "", 7)) +
                    // no picture byte after the description: no picture
                    id3_frame4("APIC", B({3}) + z("image/png") + B({3}) + z("d")));
    Bytes v22 =
        id3_tag(2, 0,
                id3_frame2("TT2", id3_text("t")) +
                    id3_frame2("PIC", B({0}) + S("PNG") + B({3}) + z("Front") + repeat(1, 5)));
    Bytes flac =
        flac_file({"TITLE=t"}, flac_block(6, flac_picture(3, "image/jpeg", "F", repeat(1, 9))) +
                                   flac_block(6, flac_picture(8, "", "", repeat(1, 2)), true));
    Bytes png = B({0x89, 'P', 'N', 'G'}) + repeat(0, 4);
    Bytes mp4 = mp4_file(item("\251nam", "t") +
                         mp4_atom("covr", mp4_data(repeat(0xFF, 6), 13) + mp4_data(png, 14)));
    std::pair<const char*, Bytes> files[] = {
        {"ID3v2.4", v24}, {"ID3v2.2", v22}, {"FLAC", flac}, {"MP4", mp4}};
    std::vector<std::string> want[] = {
        {"4 image/png Back 10", "3 image/jpeg  7"},
        {"3 image/png Front 5"},
        {"3 image/jpeg F 9", "8 image/jpeg  2"},
        {"3 image/jpeg  6", "3 image/png  8"},
    };
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(files[i].first);
        AllTags got = read_all_bytes(files[i].second);
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_EQ(got.pictures, want[i]);
        EXPECT_EQ(got.properties["TITLE"], Values{"t"});
    }
}

// ID3v1 gives what the ID3v2 tag lacks, as id3_read fills its fields; MP4 items of no row are
// player flags, not properties.
TEST(ReadAll, Id3v1FillsTheKeysTheTagLacksAndMp4FlagsAreLeftOut) {
    Bytes v1 = S("TAG") + S("Old title") + repeat(0, 21) + S("Old artist") + repeat(0, 20) +
               repeat(0, 30) + S("1990") + repeat(0, 28) + B({0, 5, 8});
    AllTags got =
        read_all_bytes(id3_tag(4, 0, id3_frame4("TIT2", id3_text("New"))) + repeat(0, 200) + v1);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.keys,
              (std::vector<std::string>{"TITLE", "ARTIST", "GENRE", "DATE", "TRACKNUMBER"}));
    EXPECT_EQ(got.properties["TITLE"], Values{"New"});
    EXPECT_EQ(got.properties["ARTIST"], Values{"Old artist"});
    EXPECT_EQ(got.properties["GENRE"], Values{"Jazz"});
    EXPECT_EQ(got.properties["TRACKNUMBER"], Values{"5"});

    got = read_all_bytes(mp4_file(mp4_atom("stik", mp4_data(B({1}), 21)) + item("\251nam", "t") +
                                  freeform("Thing", {"v"}, "org.example")));
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.keys, (std::vector<std::string>{"TITLE", "THING"}));
}

// What this library writes reads back with one value per field, in the order written.
TEST(ReadAll, WhatTheLibraryWritesGivesOneValuePerField) {
    TempDir dir;
    std::pair<const char*, Bytes> files[] = {
        {"song.mp3", id3_tag(3, 0, id3_frame3("TIT2", id3_text("Old", 0))) +
                         B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0, 413)},
        {"song.flac", flac_file({"TITLE=Old"})}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        std::string path = dir.file(file.first);
        ASSERT_TRUE(write_file(path, file.second));
        ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"T\",\"artist\":\"A\",\"album\":\"B\","
                                          "\"genre\":\"Jazz\",\"date\":\"2024-05-01\","
                                          "\"track\":\"3/12\"}"),
                  0)
            << id3_last_error();
        AllTags got = read_all(path);
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_EQ(got.keys, (std::vector<std::string>{"TITLE", "ARTIST", "ALBUM", "GENRE", "DATE",
                                                      "TRACKNUMBER"}));
        EXPECT_EQ(got.properties["DATE"], Values{"2024-05-01"});
        EXPECT_EQ(got.properties["TRACKNUMBER"], Values{"3/12"});
        EXPECT_EQ(got.properties["GENRE"], Values{"Jazz"});
    }
}

// id3_read_all fails where id3_read fails, with the same message, and reads where it reads.
TEST(ReadAll, FailsLikeRead) {
    TempDir dir;
    Bytes damaged_mp4 =
        mp4_atom("ftyp", S("M4A ") + be32(0)) +
        mp4_atom(
            "moov",
            mp4_atom("udta", mp4_atom("meta", be32(0) + mp4_atom("ilst", be32(3) + S("\251nam")))));
    std::pair<const char*, Bytes> files[] = {
        {"text", S("just some text")},
        {"short", S("ID")},
        {"damaged mp4", damaged_mp4},
        {"bare mpeg audio", B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0, 413) +
                                B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0, 413)},
        {"no ilst", mp4_atom("ftyp", S("M4A ") + be32(0)) + mp4_atom("moov", Bytes())},
        {"not flac", S("fLaC")},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        std::string path = dir.file("f");
        ASSERT_TRUE(write_file(path, file.second));
        char* json = id3_read(path.c_str());
        bool read_ok = json != nullptr;
        std::string read_error = read_ok ? "" : id3_last_error();
        id3_free_string(json);
        AllTags got = read_all(path);
        EXPECT_EQ(got.ok, read_ok);
        EXPECT_EQ(got.error, read_error);
    }
    AllTags missing = read_all(dir.file("missing.mp3"));
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error.rfind("cannot open: ", 0), 0u) << missing.error;
    EXPECT_EQ(id3_read_all(nullptr), nullptr);
    EXPECT_STREQ(id3_last_error(), "NULL path");
}

// ---------------------------------------------------------------------------------------------
// Writing: the "properties" member of id3_write

const Bytes kMpegFrame = B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0, 413);

// A JSON string of any bytes.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char esc[8];
        if (c == '"' || c == '\\' || c < 0x20) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

// {"properties":{KEY:[values],...}} with `top` (members of the tag object, "" for none) first.
std::string properties_json(const std::vector<std::pair<std::string, Values>>& props,
                            const std::string& top = "") {
    std::string json = "{" + top + (top.empty() ? "" : ",") + "\"properties\":{";
    for (size_t i = 0; i < props.size(); i++) {
        json += (i ? "," : "") + json_string(props[i].first) + ":[";
        for (size_t v = 0; v < props[i].second.size(); v++)
            json += (v ? "," : "") + json_string(props[i].second[v]);
        json += "]";
    }
    return json + "}}";
}

// The containers a property write takes, each as a file without tags.
std::vector<std::pair<std::string, Bytes>> untagged_files() {
    return {{"song.mp3", kMpegFrame + kMpegFrame},
            {"song.flac", flac_file({}) + flac_audio(64)},
            {"song.m4a", mp4_file(Bytes{})}};
}

int write_json(const std::string& path, const std::string& json) {
    return id3_write(path.c_str(), json.c_str());
}

// Every key of the table's rows, and keys of no row, written into each container read back as
// written; writing what id3_read_all gives changes no byte.
TEST(WriteProperties, EveryKeyReadsBackAsWrittenAndTheRoundTripChangesNothing) {
    std::vector<std::pair<std::string, Values>> common;
    for (const KeyRow& row : key_rows())
        common.emplace_back(row.key, row.values);
    common.push_back({"LYRICIST", {"L1", "L2"}});
    common.push_back({"ARTISTWEBPAGE", {"http://a.example/", "http://b.example/"}});
    common.push_back({"ENGINEER", {"E"}});
    common.push_back({"PERFORMER:GUITAR", {"G"}});
    common.push_back({"COMMENT:SUMMARY", {"S"}});
    common.push_back({"ORIGINALALBUM", {"OA"}}); // no MP4 item: a freeform one
    TempDir dir;
    for (const auto& file : untagged_files()) {
        SCOPED_TRACE(file.first);
        std::vector<std::pair<std::string, Values>> props = common;
        // ID3v2 ends a text at the frame's end: an empty value alone after a description is none.
        if (file.first != "song.mp3")
            props.push_back({"EMPTY VALUE", {""}});
        // A user text's description and a freeform name may be any text; a comment's name not.
        if (file.first != "song.flac")
            props.push_back({"CAF\xC3\xA9", {"x"}});
        std::string path = dir.file(file.first);
        ASSERT_TRUE(write_file(path, file.second));
        ASSERT_EQ(write_json(path, properties_json(props)), 0) << id3_last_error();
        AllTags got = read_all(path);
        ASSERT_TRUE(got.ok) << got.error;
        for (const auto& kv : props)
            EXPECT_EQ(got.properties[kv.first], kv.second) << kv.first;
        EXPECT_EQ(got.keys.size(), props.size());

        // read_all -> write of the same map: every key is no change.
        Bytes before = read_file(path);
        std::vector<std::pair<std::string, Values>> same(got.properties.begin(),
                                                         got.properties.end());
        ASSERT_EQ(write_json(path, properties_json(same)), 0) << id3_last_error();
        EXPECT_EQ(read_file(path), before);
    }
}

// An empty list removes a key; keys not named stay; a key named in both places takes the
// properties' values; other case in the key names the same property.
TEST(WriteProperties, RemovalPrecedenceAndCase) {
    std::pair<std::string, Bytes> files[] = {
        {"song.mp3",
         id3_tag(4, 0,
                 id3_frame4("TIT2", id3_text("Old")) + id3_frame4("TPE2", id3_text("AA")) +
                     id3_frame4("TXXX", txxx("replaygain_track_gain", "-1 dB")) +
                     id3_frame4("TCOM", id3_text("C"))) +
             kMpegFrame},
        {"song.flac",
         flac_file({"TITLE=Old", "albumartist=AA", "replaygain_track_gain=-1 dB", "COMPOSER=C"}) +
             flac_audio(16)},
        {"song.m4a", mp4_file(item("\251nam", "Old") + item("aART", "AA") +
                              freeform("replaygain_track_gain", {"-1 dB"}) + item("\251wrt", "C"))},
    };
    TempDir dir;
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        std::string path = dir.file(file.first);
        ASSERT_TRUE(write_file(path, file.second));
        std::string json = properties_json(
            {{"title", {"P1", "P2"}}, {"AlbumArtist", {}}, {"REPLAYGAIN_TRACK_GAIN", {"-2 dB"}}},
            "\"title\":\"Top\",\"artist\":\"Ar\"");
        ASSERT_EQ(write_json(path, json), 0) << id3_last_error();
        AllTags got = read_all(path);
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_EQ(got.properties["TITLE"], (Values{"P1", "P2"}));
        EXPECT_EQ(got.properties["ARTIST"], Values{"Ar"});
        EXPECT_EQ(got.properties.count("ALBUMARTIST"), 0u);
        EXPECT_EQ(got.properties["REPLAYGAIN_TRACK_GAIN"], Values{"-2 dB"});
        EXPECT_EQ(got.properties["COMPOSER"], Values{"C"});
        EXPECT_EQ(got.keys.size(), 4u);
        // id3_read shows one value of a field: the first, or in a Vorbis comment the last.
        char* json_read = id3_read(path.c_str());
        ASSERT_NE(json_read, nullptr);
        std::string shown = file.first == "song.flac" ? "P2" : "P1";
        EXPECT_NE(std::string(json_read).find("\"title\":\"" + shown + "\""), std::string::npos)
            << json_read;
        id3_free_string(json_read);
    }
}

// Many keys: each change finds its old frames or comments whatever their case (keys with '_',
// which sorts between the upper- and lower-case letters, among them), and giving every key the
// values it reads as changes no byte.
TEST(WriteProperties, ManyKeysFindTheirOldValuesInAnyCase) {
    const int kKeys = 300;
    auto key = [](int i) { return "k_" + std::to_string(i) + (i % 3 ? "_x" : "Y"); };
    auto upper = [](std::string k) {
        for (char& c : k)
            c = (char)toupper((unsigned char)c);
        return k;
    };
    std::vector<std::string> comments;
    Bytes frames;
    for (int i = 0; i < kKeys; i++) {
        comments.push_back(key(i) + "=old");
        frames += id3_frame4("TXXX", txxx(upper(key(i)), "old"));
    }
    std::pair<std::string, Bytes> files[] = {
        {"many.flac", flac_file(comments) + flac_audio(16)},
        {"many.mp3", id3_tag(4, 0, frames) + kMpegFrame},
    };
    std::vector<std::pair<std::string, Values>> changes;
    for (int i = kKeys - 1; i >= 0; i -= 2)
        changes.push_back({i % 4 == 1 ? upper(key(i)) : key(i), {"new"}});
    TempDir dir;
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        std::string path = dir.file(file.first);
        ASSERT_TRUE(write_file(path, file.second));
        ASSERT_EQ(write_json(path, properties_json(changes)), 0) << id3_last_error();
        AllTags got = read_all(path);
        ASSERT_TRUE(got.ok) << got.error;
        for (int i = 0; i < kKeys; i++)
            EXPECT_EQ(got.properties[upper(key(i))], Values{i % 2 ? "new" : "old"}) << key(i);
        EXPECT_EQ(got.keys.size(), (size_t)kKeys);
        Bytes written = read_file(path);
        std::vector<std::pair<std::string, Values>> same;
        for (const std::string& k : got.keys)
            same.push_back({k, got.properties[k]});
        ASSERT_EQ(write_json(path, properties_json(same)), 0) << id3_last_error();
        EXPECT_EQ(read_file(path), written);
    }
}

// A key named twice is refused at the place of its second naming among the members: before
// anything wrong with that member or a later one, after anything wrong with an earlier one.
TEST(WriteProperties, TheFirstRepeatedKeyIsRefusedInMemberOrder) {
    struct Case {
        const char* properties;
        const char* message;
    } cases[] = {
        {"{\"A\":[\"x\"],\"a\":1}", "property named twice: A"},
        {"{\"A\":[\"x\"],\"a\":[\"\\u0000\"]}", "property named twice: A"},
        {"{\"B\":1,\"A\":[\"x\"],\"a\":[\"y\"]}", "property values must be a list of strings: B"},
        {"{\"A\":[\"x\"],\"B\":[\"y\"],\"b\":[\"z\"],\"a\":[\"w\"]}", "property named twice: B"},
        {"{\"A\":[\"x\"],\"B=\":[\"y\"],\"a\":[]}", "invalid property key: B="},
        {"{\"a_\":[],\"A_\":[],\"a\":[],\"A\":[]}", "property named twice: A_"},
    };
    TempDir dir;
    std::string path = dir.file("song.flac");
    Bytes before = flac_file({"TITLE=T"}) + flac_audio(16);
    ASSERT_TRUE(write_file(path, before));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.properties);
        EXPECT_EQ(write_json(path, std::string("{\"properties\":") + c.properties + "}"), -1);
        EXPECT_STREQ(id3_last_error(), c.message);
        EXPECT_EQ(read_file(path), before);
    }
}

// Checking the keys of a properties object takes time near-linear in their number: 100,000 keys
// and a repeat of the first at the end are refused in well under the bound (a check against every
// earlier key took minutes).
TEST(WriteProperties, AKeyRepeatedAmongManyIsFoundQuickly) {
    std::string json = "{\"properties\":{";
    for (int i = 0; i < 100000; i++)
        json += "\"k" + std::to_string(i) + "\":[\"v\"],";
    json += "\"K0\":[]}}";
    TempDir dir;
    std::string path = dir.file("song.flac");
    Bytes before = flac_file({"TITLE=T"}) + flac_audio(16);
    ASSERT_TRUE(write_file(path, before));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(write_json(path, json), -1);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_STREQ(id3_last_error(), "property named twice: K0");
    EXPECT_LT(seconds, 30.0);
    EXPECT_EQ(read_file(path), before);
}

// A batch applies the properties to every file; a file whose container cannot hold them fails
// alone and stays as it was.
TEST(WriteProperties, BatchWritesEveryFileAndRefusesOnlyWhatCannotHoldThem) {
    TempDir dir;
    std::vector<std::string> paths;
    std::string list = "[";
    for (const auto& file : untagged_files()) {
        paths.push_back(dir.file(file.first));
        ASSERT_TRUE(write_file(paths.back(), file.second));
        list += (paths.size() > 1 ? "," : "") + json_string(paths.back());
    }
    list += "]";
    // Two disc numbers: MP4 holds one.
    std::string json = properties_json({{"DISCNUMBER", {"1", "2"}}, {"LABEL", {"L"}}});
    EXPECT_EQ(id3_batch(list.c_str(), json.c_str()), 2);
    for (size_t i = 0; i < paths.size(); i++) {
        SCOPED_TRACE(paths[i]);
        AllTags got = read_all(paths[i]);
        ASSERT_TRUE(got.ok) << got.error;
        bool mp4 = paths[i].find(".m4a") != std::string::npos;
        EXPECT_EQ(got.properties["LABEL"], mp4 ? Values{} : Values{"L"});
        EXPECT_EQ(got.properties["DISCNUMBER"], mp4 ? Values{} : (Values{"1", "2"}));
        if (mp4) {
            EXPECT_EQ(read_file(paths[i]), untagged_files()[i].second);
        }
    }
}

// What the caller or the container cannot hold fails before the file is touched, naming the key.
TEST(WriteProperties, RefusedBeforeAnythingIsWritten) {
    struct Case {
        const char* file; // the untagged file written to
        std::string json;
        const char* message;
    } cases[] = {
        {"song.flac", "{\"properties\":[]}", "properties must be an object"},
        {"song.flac", "{\"properties\":{\"A\":\"x\"}}",
         "property values must be a list of strings: A"},
        {"song.flac", "{\"properties\":{\"A\":[\"x\",1]}}",
         "property values must be a list of strings: A"},
        {"song.flac", "{\"properties\":{\"A=B\":[\"x\"]}}", "invalid property key: A=B"},
        {"song.flac", "{\"properties\":{\"\":[\"x\"]}}", "invalid property key: "},
        {"song.flac", "{\"properties\":{\"A\\u0009\":[\"x\"]}}", "invalid property key: "},
        {"song.flac", "{\"properties\":{\"K\\u00e9\":[\"x\"]}}",
         "key not supported by flac: K\xC3\xA9"},
        // A comment's name ends at '}': '~' is no part of one.
        {"song.flac", "{\"properties\":{\"A~\":[\"x\"]}}", "key not supported by flac: A~"},
        {"song.flac", "{\"properties\":{\"~\":[\"x\"]}}", "key not supported by flac: ~"},
        {"song.flac", "{\"properties\":{\"Title\":[\"x\"],\"TITLE\":[]}}",
         "property named twice: TITLE"},
        {"song.flac", "{\"properties\":{\"A\":[\"x\\u0000y\"]}}", "NUL character in tag value: A"},
        {"song.flac", "{\"properties\":{\"coverart\":[\"x\"]}}",
         "pictures are not properties: COVERART"},
        {"song.m4a", "{\"properties\":{\"DISCNUMBER\":[\"1\",\"2\"]}}",
         "several values not supported by mp4: DISCNUMBER"},
        {"song.m4a", "{\"properties\":{\"BPM\":[\"fast\"]}}", "value not supported by mp4: BPM"},
        {"song.m4a", "{\"properties\":{\"TRACKNUMBER\":[\"3/x\"]}}",
         "value not supported by mp4: TRACKNUMBER"},
        {"song.m4a", "{\"properties\":{\"COMPILATION\":[\"2\"]}}",
         "value not supported by mp4: COMPILATION"},
        {"song.m4a", "{\"properties\":{\"BPM\":[\"65536\"]}}", "value not supported by mp4: BPM"},
        {"song.mp3", "{\"properties\":{\"LYRICS\":[\"a\",\"b\"]}}",
         "several values not supported by mp3: LYRICS"},
        {"song.mp3", "{\"properties\":{\"MUSICBRAINZ_TRACKID\":[\"a\",\"b\"]}}",
         "several values not supported by mp3: MUSICBRAINZ_TRACKID"},
        {"song.mp3", "{\"properties\":{\"ARTISTWEBPAGE\":[\"http://\xE2\x82\xAC/\"]}}",
         "value not supported by mp3: ARTISTWEBPAGE"},
        {"song.mp3", "{\"properties\":{\"MY KEY\":[\"\"]}}", "value not supported by mp3: MY KEY"},
        {"song.mp3", "{\"properties\":{\"ARTIST\":[\"a\",\"\"]}}",
         "value not supported by mp3: ARTIST"},
        {"song.mp3", "{\"properties\":{\"PRODUCER\":[\"\"]}}",
         "value not supported by mp3: PRODUCER"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        for (const auto& file : untagged_files()) {
            if (file.first != c.file)
                continue;
            std::string path = dir.file(file.first);
            ASSERT_TRUE(write_file(path, file.second));
            EXPECT_EQ(write_json(path, c.json), -1);
            EXPECT_STREQ(id3_last_error(), c.message);
            EXPECT_EQ(read_file(path), file.second);
        }
    }
    // Values the container holds when they are no change: two lyrics frames read as two values.
    std::string path = dir.file("two-lyrics.mp3");
    Bytes two = id3_tag(4, 0,
                        id3_frame4("USLT", comm("", "a")) +
                            id3_frame4("USLT", B({3}) + S("deu") + z("") + S("b"))) +
                kMpegFrame;
    ASSERT_TRUE(write_file(path, two));
    EXPECT_EQ(write_json(path, properties_json({{"LYRICS", {"a", "b"}}})), 0) << id3_last_error();
    EXPECT_EQ(read_all(path).properties["LYRICS"], (Values{"a", "b"}));
}

// ID3v2 frames that hold a key in their own way: a pair frame keeps the pairs not named, a user
// text frame of a description in another case is replaced, a version 2.3 date goes with all of
// its frames, the ID3v1 tag follows the fields and the comment, and a key given the values it
// reads as keeps its frame byte for byte.
TEST(WriteProperties, Id3FramesOfTheKeysNamed) {
    Bytes v1 = S("TAG") + S("Old title") + repeat(0, 21) + repeat(0, 30) + repeat(0, 30) +
               S("1990") + S("v1 comment") + repeat(0, 18) + B({0, 5, 255});
    Bytes utf16_artist = id3_frame4("TPE1", B({1, 0xFF, 0xFE, 'A', 0}));
    Bytes tag =
        id3_tag(4, 0,
                id3_frame4("TIT2", id3_text("Old title")) + utf16_artist +
                    id3_frame4("TIPL", id3_text(std::string("arranger\0Ar\0producer\0P1\0"
                                                            "mix\0M",
                                                            29))) +
                    id3_frame4("TMCL", id3_text(std::string("guitar\0G\0drums\0D", 17))) +
                    id3_frame4("TXXX", txxx("musicbrainz album id", "old-id")) +
                    id3_frame4("COMM", comm("", "old comment")) +
                    id3_frame4("TYER", id3_text("1990")) + id3_frame4("TDAT", id3_text("0102")));
    TempDir dir;
    std::string path = dir.file("song.mp3");
    ASSERT_TRUE(write_file(path, tag + kMpegFrame + v1));
    std::string json = properties_json({{"PRODUCER", {"P2", "P3"}},
                                        {"PERFORMER:GUITAR", {}},
                                        {"MUSICBRAINZ_ALBUMID", {"new-id"}},
                                        {"COMMENT", {"new comment"}},
                                        {"DATE", {"2001-02-03"}},
                                        {"ARTIST", {"A"}},
                                        {"TITLE", {"New title"}}});
    ASSERT_EQ(write_json(path, json), 0) << id3_last_error();
    AllTags got = read_all(path);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.properties["ARRANGER"], Values{"Ar"});
    EXPECT_EQ(got.properties["MIXER"], Values{"M"});
    EXPECT_EQ(got.properties["PRODUCER"], (Values{"P2", "P3"}));
    EXPECT_EQ(got.properties.count("PERFORMER:GUITAR"), 0u);
    EXPECT_EQ(got.properties["PERFORMER:DRUMS"], Values{"D"});
    EXPECT_EQ(got.properties["MUSICBRAINZ_ALBUMID"], Values{"new-id"});
    EXPECT_EQ(got.properties["COMMENT"], Values{"new comment"});
    EXPECT_EQ(got.properties["DATE"], Values{"2001-02-03"});
    EXPECT_EQ(got.properties["TITLE"], Values{"New title"});
    Bytes file = read_file(path);
    auto count = [&file](const std::string& id) {
        size_t n = 0;
        for (size_t i = 0; i + 4 <= file.size(); i++)
            n += memcmp(file.data() + i, id.data(), 4) == 0;
        return n;
    };
    // One pair frame of each kind, one user text; no year or day left beside the new date.
    EXPECT_EQ(count("TIPL"), 1u);
    EXPECT_EQ(count("TMCL"), 1u);
    EXPECT_EQ(count("TXXX"), 1u);
    EXPECT_EQ(count("TYER") + count("TDAT"), 0u);
    // ARTIST "A" reads as it did: its UTF-16 frame stays as it was.
    EXPECT_NE(std::search(file.begin(), file.end(), utf16_artist.begin(), utf16_artist.end()),
              file.end());
    // The ID3v1 tag: the new title and comment, its track kept.
    ASSERT_GE(file.size(), 128u);
    Bytes v1_now(file.end() - 128, file.end());
    EXPECT_EQ(Bytes(v1_now.begin() + 3, v1_now.begin() + 12), S("New title"));
    EXPECT_EQ(Bytes(v1_now.begin() + 97, v1_now.begin() + 108), S("new comment"));
    EXPECT_EQ(v1_now[126], 5);
}

// A pair frame is written again where it stood, so that a key it shares with another frame keeps
// its values' order; new pairs join the first frame of their kind.
TEST(WriteProperties, PairFramesStayInPlace) {
    TempDir dir;
    std::string path = dir.file("song.mp3");
    Bytes frames = id3_frame4("TXXX", txxx("Lighting", "L2")) +
                   id3_frame4("TIPL", id3_text(std::string("lighting\0L1\0producer\0P1", 24))) +
                   id3_frame4("TIT2", id3_text("t"));
    ASSERT_TRUE(write_file(path, id3_tag(4, 0, frames) + kMpegFrame));
    ASSERT_EQ(write_json(path, properties_json({{"PRODUCER", {"P2"}}, {"MIXER", {"M"}}})), 0)
        << id3_last_error();
    AllTags got = read_all(path);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.properties["LIGHTING"], (Values{"L2", "L1"}));
    EXPECT_EQ(got.properties["PRODUCER"], Values{"P2"});
    EXPECT_EQ(got.properties["MIXER"], Values{"M"});
    Bytes file = read_file(path);
    Bytes tipl =
        id3_frame4("TIPL", id3_text(std::string("lighting\0L1\0producer\0P2\0mix\0M", 29)));
    EXPECT_NE(std::search(file.begin(), file.end(), tipl.begin(), tipl.end()), file.end());

    // A pair left last with an empty name keeps its terminator, without which the name is gone.
    Bytes empty_last = id3_frame4("TIPL", id3_text(std::string("mix\0M\0lighting\0\0", 16)));
    ASSERT_TRUE(write_file(path, id3_tag(4, 0, empty_last) + kMpegFrame));
    ASSERT_EQ(read_all(path).properties["LIGHTING"], Values{""});
    ASSERT_EQ(write_json(path, properties_json({{"MIXER", {}}})), 0) << id3_last_error();
    got = read_all(path);
    EXPECT_EQ(got.properties["LIGHTING"], Values{""});
    EXPECT_EQ(got.properties.count("MIXER"), 0u);
}

// MP4 items: a named genre takes the place of a numeric one; numbers take their binary form;
// a freeform name in another case is the same key; the new item stands where the old one stood.
TEST(WriteProperties, Mp4ItemsOfTheKeysNamed) {
    TempDir dir;
    std::string path = dir.file("song.m4a");
    ASSERT_TRUE(write_file(path, mp4_file(mp4_atom("gnre", mp4_data(be16(9), 0)) +
                                          freeform("musicbrainz album id", {"old"}) +
                                          item("\251nam", "t"))));
    std::string json = properties_json({{"GENRE", {"Jazz", "Funk"}},
                                        {"MUSICBRAINZ_ALBUMID", {"new"}},
                                        {"DISCNUMBER", {"2/3"}},
                                        {"BPM", {"98"}},
                                        {"COMPILATION", {"1"}}});
    ASSERT_EQ(write_json(path, json), 0) << id3_last_error();
    AllTags got = read_all(path);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.keys, (std::vector<std::string>{"GENRE", "MUSICBRAINZ_ALBUMID", "TITLE",
                                                  "DISCNUMBER", "BPM", "COMPILATION"}));
    EXPECT_EQ(got.properties["GENRE"], (Values{"Jazz", "Funk"}));
    EXPECT_EQ(got.properties["DISCNUMBER"], Values{"2/3"});
    Bytes file = read_file(path);
    Bytes disk = mp4_atom("disk", mp4_data(be16(0) + be16(2) + be16(3), 0));
    Bytes tmpo = mp4_atom("tmpo", mp4_data(be16(98), 21));
    Bytes cpil = mp4_atom("cpil", mp4_data(B({1}), 21));
    for (const Bytes* atom : {&disk, &tmpo, &cpil})
        EXPECT_NE(std::search(file.begin(), file.end(), atom->begin(), atom->end()), file.end())
            << hex(*atom);
    Bytes gnre = S("gnre");
    EXPECT_EQ(std::search(file.begin(), file.end(), gnre.begin(), gnre.end()), file.end());
}

// A numeric genre (gnre) is GENRE by its ID3v1 name (number N: genre N - 1) in the file's order
// among the text genres; a number of no genre gives nothing. id3_read's genre is the text item
// where there is one. Writing the same genre back, as a property or a field, keeps the item.
TEST(ReadAll, Mp4NumericGenre) {
    auto gnre = [](uint32_t n) { return mp4_atom("gnre", mp4_data(be16(n), 0)); };
    struct Case {
        const char* name;
        Bytes items;
        Values genres;
        const char* field;
    };
    const Case cases[] = {
        {"18 is Rock", gnre(18), {"Rock"}, "Rock"},
        {"1 is the first", gnre(1), {"Blues"}, "Blues"},
        {"0 names none", gnre(0), {}, ""},
        {"past the table", gnre(1000), {}, ""},
        {"a byte short", mp4_atom("gnre", mp4_data(B({18}), 0)), {}, ""},
        {"before a text genre", gnre(18) + item("\251gen", "Jazz"), {"Rock", "Jazz"}, "Jazz"},
        {"after a text genre", item("\251gen", "Jazz") + gnre(18), {"Jazz", "Rock"}, "Jazz"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file("song.m4a");
        Bytes file = mp4_file(item("\251nam", "t") + c.items);
        ASSERT_TRUE(write_file(path, file));
        AllTags got = read_all(path);
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_EQ(got.properties["GENRE"], c.genres);
        char* text = id3_read(path.c_str());
        ASSERT_NE(text, nullptr) << id3_last_error();
        yyjson_doc* doc = yyjson_read(text, strlen(text), 0);
        id3_free_string(text);
        ASSERT_NE(doc, nullptr);
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), "genre")), c.field);
        yyjson_doc_free(doc);
        if (c.genres.empty())
            continue;
        ASSERT_EQ(write_json(path, properties_json({{"GENRE", c.genres}})), 0) << id3_last_error();
        EXPECT_EQ(hex(read_file(path)), hex(file));
        std::string field = std::string("{\"genre\":\"") + c.field + "\"}";
        ASSERT_EQ(write_json(path, field), 0) << id3_last_error();
        EXPECT_EQ(hex(read_file(path)), hex(file));
    }
}

// An iTunes-made item list (as on its ALAC files): the binary freeform item "Encoding Params"
// (data type 0) and a text ending in a 00 byte (iTunNORM) are no property values. They stay as
// they are: read_all's properties written back give the bytes a {} write gives. A write that
// names such a key replaces the item.
TEST(WriteProperties, Mp4BinaryItemsAreCarriedNotListed) {
    const Bytes encoding_params =
        mp4_atom("----", mp4_atom("mean", be32(0) + S("com.apple.iTunes")) +
                             mp4_atom("name", be32(0) + S("Encoding Params")) +
                             mp4_data(S("vers") + be32(1) + S("acbf") + be32(2) + S("brat") +
                                          be32(32000) + S("cdcv") + be32(0x10600),
                                      0));
    const Bytes itunnorm = freeform("iTunNORM", {std::string(" 00000A3C 00000B12 00004D2E\0", 28)});
    const Bytes file =
        mp4_file(item("\251nam", "Song") + item("\251too", "iTunes 12.9") + encoding_params +
                 itunnorm + freeform("iTunSMPB", {" 00000000 00000840 000001C0"}) +
                 mp4_atom("stik", mp4_data(B({1}), 21)));
    TempDir dir;
    std::string path = dir.file("alac.m4a"), plain = dir.file("plain.m4a");
    ASSERT_TRUE(write_file(path, file));
    ASSERT_TRUE(write_file(plain, file));
    AllTags got = read_all(path);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.keys, (std::vector<std::string>{"TITLE", "ENCODING", "ITUNSMPB"}));

    std::vector<std::pair<std::string, Values>> listed(got.properties.begin(),
                                                       got.properties.end());
    ASSERT_EQ(write_json(path, properties_json(listed)), 0) << id3_last_error();
    ASSERT_EQ(write_json(plain, "{}"), 0) << id3_last_error();
    EXPECT_EQ(hex(read_file(path)), hex(read_file(plain)));
    EXPECT_EQ(hex(read_file(path)), hex(file));

    ASSERT_EQ(write_json(path, properties_json({{"ITUNNORM", {"x"}}})), 0) << id3_last_error();
    got = read_all(path);
    EXPECT_EQ(got.properties["ITUNNORM"], Values{"x"});
    Bytes after = read_file(path);
    EXPECT_NE(
        std::search(after.begin(), after.end(), encoding_params.begin(), encoding_params.end()),
        after.end());
}

// The podcast's URL and episode id are written as iTunes writes them, texts of data type 0; the
// other podcast and TV items as UTF-8 texts.
TEST(WriteProperties, Mp4PodcastItems) {
    TempDir dir;
    std::string path = dir.file("song.m4a");
    ASSERT_TRUE(write_file(path, mp4_file(item("\251nam", "t"))));
    ASSERT_EQ(write_json(path, properties_json({{"PODCASTURL", {"http://a.example/feed"}},
                                                {"TVSHOW", {"Show"}}})),
              0)
        << id3_last_error();
    Bytes file = read_file(path);
    for (const Bytes& atom : {mp4_atom("purl", mp4_data(S("http://a.example/feed"), 0)),
                              mp4_atom("tvsh", mp4_data(S("Show"), 1))})
        EXPECT_NE(std::search(file.begin(), file.end(), atom.begin(), atom.end()), file.end())
            << hex(atom);
}

} // namespace
