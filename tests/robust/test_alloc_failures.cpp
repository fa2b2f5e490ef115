// Allocation failures: every exported function is run on representative files once to count its
// allocation calls, then once more for each N from 1 to that count with the Nth call failing.
// Whatever fails, the call must not crash, throw or leak; it either succeeds with exactly the
// result of an undisturbed run, or fails with a message about memory, leaving every file as it was
// and no temporary file behind.
#include "fail_alloc.h"
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "robust_fixtures.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <set>
#include <string>

namespace {

enum class Op { Read, ReadAll, Write, WriteProperties, ExtractCover, SetCover, Batch };

struct SweepCase {
    const char* name;
    Op op;
    const char* audio; // the file the call works on (Batch: both song.mp3 and song.flac)
};

const SweepCase CASES[] = {
    {"read_mp3", Op::Read, "song.mp3"},
    {"read_flac", Op::Read, "song.flac"},
    {"read_m4a", Op::Read, "song.m4a"},
    {"read_mp3_unsynchronised", Op::Read, "unsync.mp3"},
    {"read_all_mp3", Op::ReadAll, "song.mp3"},
    {"read_all_flac", Op::ReadAll, "song.flac"},
    {"read_all_m4a", Op::ReadAll, "song.m4a"},
    {"read_all_mp3_unsynchronised", Op::ReadAll, "unsync.mp3"},
    {"write_mp3", Op::Write, "song.mp3"},
    {"write_flac", Op::Write, "song.flac"},
    {"write_mp3_unsynchronised", Op::Write, "unsync.mp3"},
    {"write_m4a", Op::Write, "song.m4a"},
    {"extract_cover_mp3", Op::ExtractCover, "song.mp3"},
    {"extract_cover_flac", Op::ExtractCover, "song.flac"},
    {"extract_cover_m4a", Op::ExtractCover, "song.m4a"},
    {"set_cover_mp3", Op::SetCover, "song.mp3"},
    {"set_cover_flac", Op::SetCover, "song.flac"},
    {"set_cover_m4a", Op::SetCover, "song.m4a"},
    {"batch_mp3_and_flac", Op::Batch, nullptr},
    {"write_properties_mp3", Op::WriteProperties, "song.mp3"},
    {"write_properties_flac", Op::WriteProperties, "song.flac"},
    {"write_properties_m4a", Op::WriteProperties, "song.m4a"},
    {"write_properties_opus", Op::WriteProperties, "song.opus"},
    {"read_ogg", Op::Read, "song.ogg"},
    {"write_ogg_renumbered", Op::Write, "song.ogg"},
    {"write_opus", Op::Write, "song.opus"},
    {"extract_cover_opus", Op::ExtractCover, "song.opus"},
    {"set_cover_ogg", Op::SetCover, "song.ogg"},
    // The encoder-made sample files.
    {"write_sample_mp3", Op::Write, "sample.mp3"},
    {"write_sample_flac", Op::Write, "sample.flac"},
    {"read_sample_m4a", Op::Read, "sample.m4a"},
    {"write_sample_m4a", Op::Write, "sample.m4a"},
    {"extract_cover_sample_m4a", Op::ExtractCover, "sample.m4a"},
};

void PrintTo(const SweepCase& c, std::ostream* os) {
    *os << c.name;
}

// A partial object, so that the written file depends on the tags loaded from it as well.
const char* const TAGS = "{\"title\":\"New title\",\"artist\":\"New artist\",\"genre\":\"Rock\"}";

// Properties as well: several values, a pair, a key of no row and a removal.
const char* const PROPERTY_TAGS =
    "{\"title\":\"New title\",\"properties\":{\"ALBUMARTIST\":[\"A\",\"B\"],"
    "\"PRODUCER\":[\"P\"],\"MY KEY\":[\"x\"],\"ARTIST\":[],\"COMMENT\":[\"c\"]}}";

using FileSet = std::map<std::string, Bytes>;

FileSet fixture_files() {
    return {{"song.mp3", mp3_with_tags(20000, 3000)},
            {"song.flac", flac_with_tags(20000, 3000)},
            {"song.m4a", m4a_with_tags(20000, 3000)},
            {"song.ogg", ogg_with_tags(20000, 3000, false)},
            {"song.opus", ogg_with_tags(20000, 3000, true)},
            {"unsync.mp3", mp3_unsynchronised(5000, 3000)},
            {"cover.png", png_picture(1500)},
            {"sample.mp3", read_file(QID3_SAMPLES_DIR "/sample.mp3")},
            {"sample.flac", read_file(QID3_SAMPLES_DIR "/sample.flac")},
            {"sample.m4a", read_file(QID3_SAMPLES_DIR "/sample.m4a")}};
}

FileSet files_in(const TempDir& dir) {
    FileSet out;
    for (const std::string& name : list_dir(dir.path))
        out[name] = read_file(dir.file(name));
    return out;
}

struct Outcome {
    bool threw = false;
    int32_t rc = 0; // id3_read, id3_read_all: 0 for a text, -1 for NULL
    std::string json;
    std::string message;
    long calls = 0;
    long live = 0;
    bool injected = false;
    FileSet files;
};

// Lays the fixtures out afresh, runs the call with the given allocation failing, and collects
// what it left.
Outcome run_case(const SweepCase& c, const TempDir& dir, const FileSet& fixtures, long fail_at) {
    for (const std::string& name : list_dir(dir.path))
        remove(dir.file(name).c_str());
    for (const auto& f : fixtures)
        write_file(dir.file(f.first), f.second);
    std::string audio = c.audio ? dir.file(c.audio) : "";
    std::string cover_out = dir.file("extracted.bin");
    std::string picture = dir.file("cover.png");
    std::string paths = "[\"" + dir.file("song.mp3") + "\",\"" + dir.file("song.flac") + "\"]";

    Outcome o;
    char* text = nullptr;
    fail_alloc_begin(fail_at);
    try {
        switch (c.op) {
        case Op::Read:
        case Op::ReadAll:
            text = c.op == Op::Read ? id3_read(audio.c_str()) : id3_read_all(audio.c_str());
            o.rc = text ? 0 : -1;
            break;
        case Op::Write:
            o.rc = id3_write(audio.c_str(), TAGS);
            break;
        case Op::WriteProperties:
            o.rc = id3_write(audio.c_str(), PROPERTY_TAGS);
            break;
        case Op::ExtractCover:
            o.rc = id3_extract_cover(audio.c_str(), cover_out.c_str());
            break;
        case Op::SetCover:
            o.rc = id3_set_cover(audio.c_str(), picture.c_str());
            break;
        case Op::Batch:
            o.rc = id3_batch(paths.c_str(), TAGS);
            break;
        }
    } catch (...) {
        o.threw = true;
    }
    fail_alloc_disarm();
    o.calls = fail_alloc_calls();
    o.injected = fail_alloc_failed();
    if (text) {
        o.json = text;
        id3_free_string(text);
    }
    o.live = fail_alloc_live();
    fail_alloc_end();
    o.message = id3_last_error();
    o.files = files_in(dir);
    return o;
}

bool about_memory(const std::string& message) {
    // The JSON parser does not tell a lack of memory from bad text, so its two messages are taken
    // as well.
    // A write that runs out of memory says so ("out of memory while writing: PATH"), not only
    // "mp3 write failed".
    static const std::set<std::string> generic = {"oom", "json write failed", "invalid tags JSON",
                                                  "invalid dir_json"};
    return generic.count(message) > 0 || message.rfind("out of memory while writing: ", 0) == 0 ||
           message.find("Cannot allocate memory") != std::string::npos;
}

// What is wrong with a disturbed run, compared with the undisturbed one; empty when nothing.
std::string judge(const SweepCase& c, const FileSet& fixtures, const Outcome& clean,
                  const Outcome& o) {
    if (o.threw)
        return "a C++ exception left the library";
    if (o.live != 0)
        return std::to_string(o.live) + " block(s) leaked";
    for (const auto& f : o.files) {
        if (f.first.find(".quorvale-tmp.") != std::string::npos)
            return "temporary file left: " + f.first;
    }
    // A batch reports a count; its message is that of its last write only.
    bool failed = c.op == Op::Batch ? o.rc < clean.rc : o.rc != 0;
    bool message_ok = about_memory(o.message) || (clean.rc != 0 && o.message == clean.message);
    if (c.op == Op::Batch)
        message_ok = o.rc >= 0 || about_memory(o.message);
    if (failed && !message_ok)
        return "failed with \"" + o.message + "\"";
    if (!failed && c.op != Op::Batch && clean.rc != 0)
        return "succeeded where an undisturbed call fails";
    if (!failed && o.json != clean.json)
        return "succeeded with a different result: " + o.json;

    // Every file is either as it was or exactly as the undisturbed run left it; a call that
    // reports failure changed nothing, and a batch counts exactly the files it changed.
    int changed = 0;
    for (const auto& f : o.files) {
        auto was = fixtures.find(f.first);
        auto clean_file = clean.files.find(f.first);
        bool as_before = was != fixtures.end() && was->second == f.second;
        bool as_clean = clean_file != clean.files.end() && clean_file->second == f.second;
        if (!as_before && !as_clean)
            return f.first + " is neither the old file nor the written one";
        if (!as_before)
            changed++;
    }
    for (const auto& f : fixtures) {
        if (!o.files.count(f.first))
            return f.first + " disappeared";
    }
    if (c.op == Op::Batch) {
        if (changed != (o.rc < 0 ? 0 : o.rc))
            return "batch counted " + std::to_string(o.rc) + " but changed " +
                   std::to_string(changed);
        // The message is the last write's: none when song.flac was written, else its failure.
        bool last_written = o.files.at("song.flac") != fixtures.at("song.flac");
        if (o.rc >= 0 && last_written && !o.message.empty())
            return "batch ended with a written file but the message \"" + o.message + "\"";
        if (o.rc >= 0 && !last_written && !about_memory(o.message))
            return "batch's last write failed with \"" + o.message + "\"";
    } else if ((failed || clean.rc != 0) && changed != 0) {
        return "failed but changed a file";
    } else if (!failed && o.files != clean.files) {
        return "succeeded but the files differ from an undisturbed run";
    }
    return "";
}

class AllocationFailure : public testing::TestWithParam<SweepCase> {};

TEST_P(AllocationFailure, EveryAllocationFailingInTurn) {
    const SweepCase& c = GetParam();
    TempDir dir;
    FileSet fixtures = fixture_files();
    if (c.audio && fixtures.at(c.audio).empty())
        GTEST_SKIP() << c.audio << " is missing from the samples";

    Outcome clean = run_case(c, dir, fixtures, 0);
    ASSERT_FALSE(clean.threw);
    ASSERT_EQ(clean.live, 0) << "blocks leaked by an undisturbed call";
    ASSERT_GT(clean.calls, 0);
    ASSERT_EQ(clean.rc, c.op == Op::Batch ? 2 : 0) << clean.message;

    int reported = 0;
    long injected = 0;
    for (long n = 1; n <= clean.calls; n++) {
        Outcome o = run_case(c, dir, fixtures, n);
        injected += o.injected ? 1 : 0;
        std::string fault = judge(c, fixtures, clean, o);
        if (!fault.empty() && reported++ < 10)
            ADD_FAILURE() << c.name << ": allocation " << n << " of " << clean.calls
                          << " failing: " << fault;
    }
    EXPECT_EQ(reported, 0) << "faulty outcomes in total";
    EXPECT_EQ(injected, clean.calls) << "allocations that were actually failed";
    RecordProperty("allocations", (int)clean.calls);
}

INSTANTIATE_TEST_SUITE_P(Exports, AllocationFailure, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<SweepCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

// The MP4 reader with one cover copy failing: a record without a cover the file holds must not
// pass for the file's tags (a write would drop the cover), so the read fails. The record is left
// consistent: the earlier cover whole, never a cover flag without bytes.
TEST(Mp4Read, CoverThatCannotBeCopiedFailsTheReadAndKeepsTheRecordConsistent) {
    const Bytes png = B({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});
    const Bytes big = repeat(0xFF, 12345);
    auto covr = [](const Bytes& image) { return mp4_atom("covr", mp4_data(image, 13)); };
    const Bytes items = covr(png) + covr(big) + mp4_atom("\251nam", mp4_data(S("after")));
    const Bytes hdlr =
        mp4_atom("hdlr", be32(0) + be32(0) + S("mdirappl") + be32(0) + be32(0) + B({0}));
    const Bytes image =
        mp4_atom("ftyp", S("M4A ") + be32(0x200) + S("M4A isommp42")) +
        mp4_atom("moov",
                 mp4_atom("mvhd", repeat(0, 100)) +
                     mp4_atom("udta", mp4_atom("meta", be32(0) + hdlr + mp4_atom("ilst", items)))) +
        mp4_atom("mdat", repeat(0x21, 16));

    // Tools that replace malloc themselves (valgrind) take fail_alloc's place: check first.
    // Called through a volatile pointer so that the compiler cannot fold the call away.
    void* (*volatile alloc)(size_t) = malloc;
    fail_alloc_begin_size(big.size());
    void* probe = alloc(big.size());
    fail_alloc_end();
    if (probe) {
        free(probe);
        GTEST_SKIP() << "malloc is replaced by the environment; failure cannot be injected";
    }

    id3_record t;
    id3_record_init(&t);
    fail_alloc_begin_size(big.size());
    int rc = id3_mp4_read(image.data(), image.size(), &t);
    fail_alloc_end();
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(id3_last_error(), "oom");
    // A failing reader stores nothing: the cover read before the failure is dropped whole.
    EXPECT_EQ(t.cover_data, nullptr);
    EXPECT_EQ(t.cover_size, 0u);
    EXPECT_STREQ(t.cover_mime, "");
    EXPECT_EQ(t.has_cover, 0);
    EXPECT_EQ(t.format, ID3_FMT_MP4);
    id3_record_free(&t);
}
