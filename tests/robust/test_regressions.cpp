// Every input a fuzz target once failed on, replayed in the normal test build: through the
// container reader directly (on a block of exactly the input's size, so a sanitizer build sees any
// read past its end) and through id3_read on a file.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "bounded_read_check.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct ReaderCase {
    const char* target;
    int32_t format;
};

const ReaderCase READERS[] = {
    {"fuzz_mp3_read", ID3_FMT_MP3},
    {"fuzz_flac_read", ID3_FMT_FLAC},
    {"fuzz_mp4_read", ID3_FMT_MP4},
};

TEST(FuzzRegressions, ReaderInputsAreReadSafely) {
    TempDir dir;
    int replayed = 0;
    for (const ReaderCase& r : READERS) {
        std::string folder = std::string(QID3_FUZZ_REGRESSIONS_DIR) + "/" + r.target;
        for (const std::string& name : list_dir(folder)) {
            SCOPED_TRACE(std::string(r.target) + "/" + name);
            Bytes input = read_file(folder + "/" + name);
            HeapBytes exact = exact_copy(input);
            ASSERT_NE(exact, nullptr);
            id3_record t;
            id3_record_init(&t);
            t.format = r.format;
            int rc = read_image(r.format, exact.get(), input.size(), &t);
            EXPECT_TRUE(rc == 0 || rc == -1);
            EXPECT_EQ(t.format, r.format);
            if (t.cover_size > 0) {
                EXPECT_NE(t.cover_data, nullptr);
            }
            id3_record_free(&t);
            exact.reset();

            std::string path = dir.file(name);
            ASSERT_TRUE(write_file(path, input));
            char* json = id3_read(path.c_str());
            if (json)
                EXPECT_EQ(json[0], '{');
            else
                EXPECT_STRNE(id3_last_error(), "");
            id3_free_string(json);
            replayed++;
        }
    }
    RecordProperty("replayed", replayed);
}

// Inputs on which the bounded readers and the whole-image readers once disagreed (the first byte
// picks the reader, as in fuzz_bounded_read).
TEST(FuzzRegressions, BoundedReadInputsMatchTheWholeImageReaders) {
    static const int32_t formats[3] = {ID3_FMT_MP3, ID3_FMT_FLAC, ID3_FMT_MP4};
    std::string folder = std::string(QID3_FUZZ_REGRESSIONS_DIR) + "/fuzz_bounded_read";
    std::vector<std::string> names = list_dir(folder);
    ASSERT_FALSE(names.empty()) << folder;
    for (const std::string& name : names) {
        Bytes input = read_file(folder + "/" + name);
        ASSERT_FALSE(input.empty()) << name;
        Bytes image(input.begin() + 1, input.end());
        EXPECT_EQ(bounded_read_difference(formats[input[0] % 3], image), "") << name;
    }
}

} // namespace
