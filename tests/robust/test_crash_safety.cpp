// Crash safety: a child process writes the tags of a large file again and again and is killed
// with SIGKILL at a random moment of each write. After every kill the file must be either the
// complete old file or the complete new one, byte for byte, never a mixture or a truncated copy.
// The temporary file has no name until just before the rename (where the file system allows), so
// a killed write leaves no file behind but in that short moment.
#include "quorvale_id3tag.h"
#include "robust_fixtures.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace {

struct CrashCase {
    const char* name;
    const char* file;
    int kills;
};

void PrintTo(const CrashCase& c, std::ostream* os) {
    *os << c.name;
}

const CrashCase CASES[] = {
    {"mp3", "song.mp3", 25},
    {"flac", "song.flac", 25},
};

std::string tags_for(int take) {
    return "{\"title\":\"take " + std::to_string(take) + "\",\"album\":\"" +
           std::string((size_t)(take % 7) * 40, 'a' + take % 26) + "\"}";
}

// The file that writing `tags` into `current` gives, made in a scratch folder.
Bytes written_version(const TempDir& scratch, const std::string& name, const Bytes& current,
                      const std::string& tags, double* seconds) {
    std::string path = scratch.file(name);
    EXPECT_TRUE(write_file(path, current));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(id3_write(path.c_str(), tags.c_str()), 0) << id3_last_error();
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return read_file(path);
}

class CrashSafety : public testing::TestWithParam<CrashCase> {};

TEST_P(CrashSafety, KilledWriterLeavesOldOrNewFile) {
    const CrashCase& c = GetParam();
    TempDir dir, scratch;
    std::string target = dir.file(c.file);
    // About 6 MB, so that a write takes long enough to be hit in every phase.
    Bytes current = std::string(c.file) == "song.mp3" ? mp3_with_tags(6000000, 200000)
                                                      : flac_with_tags(6000000, 200000);
    ASSERT_TRUE(write_file(target, current));

    std::mt19937 rng(20261210u);
    int kept_old = 0, became_new = 0, finished_before_kill = 0, temp_left = 0;
    for (int take = 0; take < c.kills; take++) {
        SCOPED_TRACE("take " + std::to_string(take));
        std::string tags = tags_for(take);
        double seconds = 0;
        Bytes next = written_version(scratch, c.file, current, tags, &seconds);
        ASSERT_NE(next, current);

        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(id3_write(target.c_str(), tags.c_str()) == 0 ? 0 : 1);
        // Anywhere from the start of the call to a little after its expected end.
        std::uniform_int_distribution<long> delay_us(0, (long)(seconds * 1.2e6) + 1000);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << "the write itself failed";
            finished_before_kill++;
        }

        Bytes now = read_file(target);
        bool renamed = now == next;
        if (now == current) {
            kept_old++;
        } else if (now == next) {
            became_new++;
            current = next;
        } else {
            FAIL() << "after the kill the file is neither the old nor the new one (" << now.size()
                   << " bytes; old " << current.size() << ", new " << next.size() << ")";
        }
        // Only the killed process's own temporary file may be left; it is cleared here.
        std::string own_temp = std::string(c.file) + ".quorvale-tmp." + std::to_string(child) + ".";
        for (const std::string& name : list_dir(dir.path)) {
            if (name == c.file)
                continue;
            EXPECT_EQ(name.rfind(own_temp, 0), 0u) << "unexpected file left: " << name;
            // The temporary file gets its name only when complete and on the disk, and loses it in
            // the rename: a kill between the two leaves the whole new version beside the untouched
            // old one. How often a kill lands there depends on the load, what it leaves does not.
            EXPECT_FALSE(renamed) << "a temporary file left although the rename happened";
            EXPECT_TRUE(read_file(dir.file(name)) == next)
                << "a temporary file left that is not the complete new version";
            temp_left++;
            remove(dir.file(name).c_str());
        }
    }
    RecordProperty("kept_old", kept_old);
    RecordProperty("became_new", became_new);
    RecordProperty("finished_before_kill", finished_before_kill);
    printf("%s: %d kills: old file kept %d, new file complete %d (%d writes finished first), "
           "%d temporary files left\n",
           c.name, c.kills, kept_old, became_new, finished_before_kill, temp_left);
    // The kills must have hit writes in progress, or the test proves nothing.
    EXPECT_LT(finished_before_kill, c.kills);
}

INSTANTIATE_TEST_SUITE_P(Writers, CrashSafety, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<CrashCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
