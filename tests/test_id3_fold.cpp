// The folds over a loaded model (fold.cpp): which item gives a record field and the cover, and
// which items the property map lists, by rank and order. The models are built item by item.
#include "id3_internal.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

struct TextItem {
    const char* key;
    std::vector<std::string> values;
    int rank;
};

void add_text(id3_model* m, const TextItem& t) {
    id3_item* item = id3_model_add_item(m);
    ASSERT_NE(item, nullptr);
    item->kind = ID3_ITEM_TEXT;
    item->id = t.key;
    item->id_len = (uint32_t)strlen(t.key);
    item->key = strdup(t.key);
    item->rank = t.rank;
    for (const auto& v : t.values)
        ASSERT_EQ(id3_item_add_value(item, v.data(), v.size()), 0);
}

const uint8_t kPng[] = {0x89, 'P', 'N', 'G'};
const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};

void add_picture(id3_model* m, int32_t type, const char* mime, const char* desc,
                 const uint8_t* data, uint64_t n, int rank) {
    id3_item* item = id3_model_add_item(m);
    ASSERT_NE(item, nullptr);
    item->kind = ID3_ITEM_PICTURE;
    item->picture_type = type;
    snprintf(item->mime, sizeof item->mime, "%s", mime);
    item->description = desc ? strdup(desc) : nullptr;
    item->data = data;
    item->data_len = n;
    item->rank = rank;
}

struct RecordCase {
    const char* name;
    std::vector<TextItem> items;
    const char* title; // nullptr: absent
};

TEST(ModelRecord, FieldTakesTheLowestRankTheLastOfEqualOnesAndEmptyIsFilled) {
    const RecordCase cases[] = {
        {"no item", {{"ARTIST", {"a"}, 0}}, nullptr},
        {"a repeat overrides", {{"TITLE", {"a"}, 0}, {"TITLE", {"b"}, 0}}, "b"},
        {"lower rank wins after", {{"TITLE", {"a"}, 0}, {"TITLE", {"b"}, 1}}, "a"},
        {"lower rank wins before", {{"TITLE", {"b"}, 1}, {"TITLE", {"a"}, 0}}, "a"},
        {"first value only", {{"TITLE", {"a", "b"}, 0}}, "a"},
        {"empty filled by a later tag", {{"TITLE", {""}, 0}, {"TITLE", {"x"}, 1}}, "x"},
        // The text of an earlier frame of the same rank was overridden: it fills nothing.
        {"empty overrides its rank",
         {{"TITLE", {"a"}, 0}, {"TITLE", {""}, 0}, {"TITLE", {"x"}, 1}},
         "x"},
        {"empty stays without filler", {{"TITLE", {""}, 0}}, ""},
        {"an earlier text of its rank fills nothing",
         {{"TITLE", {"a"}, 0}, {"TITLE", {""}, 0}},
         ""},
        {"filled whatever the order", {{"TITLE", {"a"}, 1}, {"TITLE", {""}, 0}}, "a"},
        {"best filler by rank",
         {{"TITLE", {""}, 0}, {"TITLE", {"y"}, 2}, {"TITLE", {"x"}, 1}},
         "x"},
        {"no values is no item", {{"TITLE", {}, 0}, {"TITLE", {"x"}, 1}}, "x"},
    };
    for (const auto& c : cases) {
        id3_model m;
        memset(&m, 0, sizeof m);
        id3_model_guard guard{&m};
        m.format = ID3_FMT_MP3;
        for (const auto& t : c.items)
            add_text(&m, t);
        id3_record t;
        id3_record_init(&t);
        id3_record_guard tguard{&t};
        ASSERT_EQ(id3_model_record(&m, &t), 0) << c.name;
        EXPECT_EQ(t.format, ID3_FMT_MP3) << c.name;
        if (c.title)
            EXPECT_STREQ(t.title, c.title) << c.name;
        else
            EXPECT_EQ(t.title, nullptr) << c.name;
    }
}

TEST(ModelRecord, EveryFieldByItsKeyAndTheCoverNotedWhereItLies) {
    id3_model m;
    memset(&m, 0, sizeof m);
    id3_model_guard guard{&m};
    for (const char* key : {"TITLE", "ARTIST", "ALBUM", "GENRE", "DATE", "TRACKNUMBER"})
        add_text(&m, {key, {std::string(key) + "!"}, 0});
    add_picture(&m, 3, "image/jpeg", "front", kJpeg, sizeof kJpeg, 0);
    add_picture(&m, 4, "image/png", "back", kPng, sizeof kPng, 0); // the last, whatever its type
    add_picture(&m, 3, "image/gif", nullptr, kJpeg, 1, 1);         // a later tag's: ranked below
    id3_record t;
    id3_record_init(&t);
    id3_record_guard tguard{&t};
    ASSERT_EQ(id3_model_record(&m, &t), 0);
    EXPECT_STREQ(t.title, "TITLE!");
    EXPECT_STREQ(t.artist, "ARTIST!");
    EXPECT_STREQ(t.album, "ALBUM!");
    EXPECT_STREQ(t.genre, "GENRE!");
    EXPECT_STREQ(t.date, "DATE!");
    EXPECT_STREQ(t.track, "TRACKNUMBER!");
    EXPECT_EQ(t.has_cover, 1);
    EXPECT_STREQ(t.cover_mime, "image/png");
    EXPECT_EQ(t.cover_data, nullptr);
    EXPECT_EQ(t.cover_seen, kPng);
    EXPECT_EQ(t.cover_seen_len, sizeof kPng);
}

// The map as "KEY=value;" in its order, then the pictures.
std::string describe(const id3_property_map& p) {
    std::string out;
    for (uint64_t i = 0; i < p.count; i++)
        out += std::string(p.items[i].key) + "=" +
               std::string(p.items[i].value, p.items[i].value_len) + ";";
    for (uint64_t i = 0; i < p.picture_count; i++) {
        const id3_picture_info& pic = p.pictures[i];
        out += "pic(" + std::to_string(pic.type) + "," + pic.mime + "," + pic.description + "," +
               std::to_string(pic.size) + ");";
    }
    return out;
}

TEST(ModelProps, ItemsInOrderAndALaterTagOnlyFillsTheKeysTheFirstLeftOut) {
    id3_model m;
    memset(&m, 0, sizeof m);
    id3_model_guard guard{&m};
    m.format = ID3_FMT_MP3;
    add_text(&m, {"TITLE", {"t1", "t2"}, 0});
    add_text(&m, {"ALBUM", {std::string("a\0b", 3)}, 0}); // bytes, not a C string
    add_picture(&m, 3, "image/jpeg", "front", kJpeg, sizeof kJpeg, 0);
    add_text(&m, {"TITLE", {"t3"}, 0});
    add_text(&m, {"DATE", {}, 0}); // no values: does not hold the key
    add_text(&m, {"TITLE", {"v1"}, 1});
    add_text(&m, {"DATE", {"1999"}, 1});
    add_text(&m, {"ARTIST", {""}, 1});
    add_picture(&m, 0, "", nullptr, kPng, 0, 1);
    id3_item* other = id3_model_add_item(&m); // bytes carried, no property
    ASSERT_NE(other, nullptr);
    other->kind = ID3_ITEM_OTHER;
    id3_property_map p;
    memset(&p, 0, sizeof p);
    id3_property_map_guard pguard{&p};
    ASSERT_EQ(id3_model_props(&m, &p), 0);
    EXPECT_EQ(p.format, ID3_FMT_MP3);
    EXPECT_EQ(describe(p),
              std::string("TITLE=t1;TITLE=t2;ALBUM=a\0b;TITLE=t3;DATE=1999;ARTIST=;", 55) +
                  "pic(3,image/jpeg,front,3);pic(0,,,0);");
}

} // namespace
