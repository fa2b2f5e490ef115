// Reading from memory against reading a file: for every file of the folders named by
// QID3_READ_DATA_DIRS (':'-separated, searched recursively; the samples, the fuzz seeds and the
// kept fuzz regressions), id3_read_data and id3_read_all_data of its bytes give what id3_read and
// id3_read_all of the file give, the same text or the same message.
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <iostream>

#include <string>
#include <vector>

namespace {

void files_under(const std::string& dir, std::vector<std::string>* out) {
    for (const std::string& name : list_dir(dir)) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            files_under(path, out);
        else if (S_ISREG(st.st_mode))
            out->push_back(path);
    }
}

// The JSON text, or "error: MESSAGE".
std::string outcome(char* json) {
    std::string text = json ? json : "error: " + std::string(id3_last_error());
    id3_free_string(json);
    return text;
}

std::vector<std::string> corpus() {
    std::vector<std::string> files;
    const char* dirs = getenv("QID3_READ_DATA_DIRS");
    std::string list = dirs ? dirs : QID3_SAMPLES_DIR;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            files_under(list.substr(start, end - start), &files);
        start = end + 1;
    }
    return files;
}

TEST(ReadData, SameAsReadingTheFile) {
    std::vector<std::string> files = corpus();
    ASSERT_FALSE(files.empty());
    int readable = 0;
    for (const std::string& path : files) {
        Bytes bytes = read_file(path);
        HeapBytes exact = exact_copy(bytes); // a read past the end shows under a sanitizer
        std::string from_file = outcome(id3_read(path.c_str()));
        EXPECT_EQ(outcome(id3_read_data(exact.get(), bytes.size())), from_file) << path;
        std::string all_from_file = outcome(id3_read_all(path.c_str()));
        std::string all = outcome(id3_read_all_data(exact.get(), bytes.size()));
        EXPECT_EQ(all, all_from_file) << path;
        if (all.compare(0, 7, "error: ") != 0) {
            readable++;
            EXPECT_STREQ(id3_last_error(), "") << path;
        }
    }
    std::cout << files.size() << " files, " << readable << " read\n";
    EXPECT_GT(readable, 0);
}

TEST(ReadData, EmptyAndNull) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("empty.mp3"), {}));
    std::string empty_file = outcome(id3_read_all(dir.file("empty.mp3").c_str()));
    EXPECT_EQ(outcome(id3_read_all_data(nullptr, 0)), empty_file);
    EXPECT_EQ(outcome(id3_read_data(nullptr, 0)), empty_file);
    uint8_t one = 0;
    EXPECT_EQ(outcome(id3_read_all_data(&one, 0)), empty_file);
    EXPECT_EQ(outcome(id3_read_all_data(nullptr, 10)), "error: NULL argument");
    EXPECT_EQ(outcome(id3_read_data(nullptr, 10)), "error: NULL argument");
}

// A tag that names more bytes than the buffer holds is read up to the buffer's end, as a file's
// is up to the file's end, and nothing past it is touched.
TEST(ReadData, TagLongerThanTheBuffer) {
    Bytes tag = id3_tag(4, 0, id3_frame4("TIT2", id3_text("Short")) + repeat(0, 64));
    Bytes cut(tag.begin(), tag.end() - 40);
    cut[9] = (uint8_t)(cut[9] + 100); // the size points far past the end
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("cut.mp3"), cut));
    HeapBytes exact = exact_copy(cut);
    EXPECT_EQ(outcome(id3_read_data(exact.get(), cut.size())),
              outcome(id3_read(dir.file("cut.mp3").c_str())));
}

} // namespace
