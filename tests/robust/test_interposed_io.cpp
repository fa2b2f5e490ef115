// The file-access paths that only run on other file systems or under rare conditions, made to run
// here by io_interpose (preloaded): copy_file_range refused, O_TMPFILE refused, failing flushes
// and attribute copies, a picture that grows while read; and the flushes of single writes and
// batches, seen in the order the calls were made. Each case checks what a user sees: the bytes,
// the mode, the attributes, the flush order, the message.
#include "quorvale_id3tag.h"
#include "robust_fixtures.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const TAGS = "{\"title\":\"New title\"}";

// The test registered in CTest runs with io_interpose preloaded (QID3_EXPECT_INTERPOSER): there
// its absence is a failure. Built without that definition, the cases that need it are skipped.
bool interposed() {
    bool loaded = dlsym(RTLD_DEFAULT, "qid3_io_interposer_loaded") != nullptr;
#ifdef QID3_EXPECT_INTERPOSER
    EXPECT_TRUE(loaded) << "io_interpose is not preloaded";
#endif
    return loaded;
}

#define NEED_INTERPOSER()                                                                          \
    do {                                                                                           \
        if (!interposed())                                                                         \
            GTEST_SKIP() << "io_interpose not preloaded";                                          \
    } while (0)

const char* const SETTINGS[] = {"QID3_IO_COPY_RANGE_ERRNO", "QID3_IO_TMPFILE_ERRNO",
                                "QID3_IO_LINKAT_ERRNO",     "QID3_IO_FSETXATTR_ERRNO",
                                "QID3_IO_FSETXATTR_NAME",   "QID3_IO_FSYNC_ERRNO",
                                "QID3_IO_FSYNC_DELAY_MS",   "QID3_IO_LOG",
                                "QID3_IO_GROW_PATH",        "QID3_IO_GROW_AFTER",
                                "QID3_IO_GROW_BYTES",       "QID3_IO_GROW_OFFSET",
                                "QID3_IO_GROW_AT_CALL",     "QID3_IO_FROZEN_CTIME",
                                "QID3_IO_LOCK_ERRNO"};

// The interposer's settings for one case, cleared again when it ends.
struct Faults {
    Faults() { clear(); }
    ~Faults() { clear(); }
    static void clear() {
        for (const char* s : SETTINGS)
            unsetenv(s);
    }
    void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
    void set(const char* name, int value) { set(name, std::to_string(value)); }
};

std::string id_of(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return "none";
    return std::to_string((unsigned long long)st.st_dev) + ":" +
           std::to_string((unsigned long long)st.st_ino);
}

std::vector<std::string> log_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string title_of(const std::string& path) {
    char* json = id3_read(path.c_str());
    std::string text = json ? json : "";
    id3_free_string(json);
    return text;
}

Bytes tail(const Bytes& b, size_t n) {
    return n <= b.size() ? Bytes(b.end() - (long)n, b.end()) : b;
}

// --- The copy of the audio: copy_file_range refused, the buffer copy does it all ------------

TEST(InterposedIo, AudioCopiedWhereTheKernelRefusesToCopy) {
    NEED_INTERPOSER();
    // More than one buffer's worth (1 MiB) of audio that repeats nowhere.
    const size_t audio = (3u << 20) + 12345;
    for (int err : {0, ENOSYS, EXDEV, EOPNOTSUPP}) {
        SCOPED_TRACE("copy_file_range errno " + std::to_string(err));
        TempDir dir;
        std::string song = dir.file("song.mp3");
        Bytes original = mp3_with_tags(audio, 100);
        ASSERT_TRUE(write_file(song, original));
        Faults faults;
        if (err)
            faults.set("QID3_IO_COPY_RANGE_ERRNO", err);
        ASSERT_EQ(id3_write(song.c_str(), TAGS), 0) << id3_last_error();
        Bytes now = read_file(song);
        // The audio frame header and the noise after it, unchanged to the last byte.
        EXPECT_TRUE(tail(now, audio + 4) == tail(original, audio + 4));
        EXPECT_EQ(now.size() - mp3_audio_offset(now), original.size() - mp3_audio_offset(original));
        EXPECT_NE(title_of(song).find("New title"), std::string::npos);
    }
}

// --- Failures after the temporary file exists: nothing left, target unchanged ----------------

struct FailureCase {
    const char* name;
    int tmpfile_errno; // O_TMPFILE refused: a named temporary file
    int fsync_errno;
    int linkat_errno;
    const char* xattr_prefix; // fsetxattr fails for these names (EIO)
    const char* message;      // the message's start, the path follows
};

TEST(InterposedIo, FailedWriteLeavesTargetAndNoTemporaryFile) {
    NEED_INTERPOSER();
    const FailureCase cases[] = {
        {"flush fails, unnamed temp", 0, EIO, 0, nullptr, "disk flush failed: "},
        {"flush fails, named temp", EOPNOTSUPP, EIO, 0, nullptr, "disk flush failed: "},
        {"naming the unnamed temp fails", 0, 0, EIO, nullptr, "cannot create temp: "},
        {"user.* copy fails, unnamed temp", 0, 0, 0, "user.", "cannot copy extended attributes: "},
        {"user.* copy fails, named temp", EOPNOTSUPP, 0, 0, "user.",
         "cannot copy extended attributes: "},
        {"ACL copy fails", 0, 0, 0, "system.posix_acl", "cannot copy extended attributes: "},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string song = dir.file("song.mp3");
        Bytes original = mp3_with_tags(5000, 100);
        ASSERT_TRUE(write_file(song, original));
        if (c.xattr_prefix) {
            if (setxattr(song.c_str(), "user.rating", "5", 1, 0) != 0)
                GTEST_SKIP() << "no user.* attributes here";
            // An access ACL: owner rw, user 1 r, group r, mask r, others none.
            Bytes acl = le32(2) + B({1, 0, 6, 0}) + le32(0xFFFFFFFF) + B({2, 0, 4, 0}) + le32(1) +
                        B({4, 0, 4, 0}) + le32(0xFFFFFFFF) + B({0x10, 0, 4, 0}) + le32(0xFFFFFFFF) +
                        B({0x20, 0, 0, 0}) + le32(0xFFFFFFFF);
            if (setxattr(song.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
                GTEST_SKIP() << "no ACLs here";
        }
        Faults faults;
        if (c.tmpfile_errno)
            faults.set("QID3_IO_TMPFILE_ERRNO", c.tmpfile_errno);
        if (c.fsync_errno)
            faults.set("QID3_IO_FSYNC_ERRNO", c.fsync_errno);
        if (c.linkat_errno)
            faults.set("QID3_IO_LINKAT_ERRNO", c.linkat_errno);
        if (c.xattr_prefix) {
            faults.set("QID3_IO_FSETXATTR_ERRNO", EIO);
            faults.set("QID3_IO_FSETXATTR_NAME", c.xattr_prefix);
        }
        EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
        std::string message = id3_last_error();
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
        if (c.fsync_errno || c.xattr_prefix) {
            EXPECT_EQ(message, c.message + song + " (" + strerror(EIO) + ")");
        }
        Faults::clear();
        EXPECT_TRUE(read_file(song) == original);
        EXPECT_EQ(temp_files_in(dir.path), std::vector<std::string>{});
    }
}

// --- What the new file keeps of the old one ---------------------------------------------------

TEST(InterposedIo, SpecialModeBitsKept) {
    NEED_INTERPOSER();
    for (int tmpfile_errno : {0, EOPNOTSUPP}) {
        for (mode_t mode : {06755, 01644, 02640, 0600}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", O_TMPFILE errno " +
                         std::to_string(tmpfile_errno));
            TempDir dir;
            std::string song = dir.file("song.mp3");
            ASSERT_TRUE(write_file(song, mp3_with_tags(2000, 10)));
            ASSERT_EQ(chmod(song.c_str(), mode), 0);
            Faults faults;
            if (tmpfile_errno)
                faults.set("QID3_IO_TMPFILE_ERRNO", tmpfile_errno);
            ASSERT_EQ(id3_write(song.c_str(), TAGS), 0) << id3_last_error();
            struct stat st;
            ASSERT_EQ(stat(song.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, mode);
        }
    }
}

// --- Flushes of a single write -----------------------------------------------------------------

// A target that is a symbolic link into another folder: the file it names is replaced, and that
// file's folder is flushed after the rename, not the link's.
TEST(InterposedIo, FolderOfTheLinkedFileFlushed) {
    NEED_INTERPOSER();
    TempDir links, music;
    std::string real = music.file("song.mp3");
    std::string link = links.file("song.mp3");
    ASSERT_TRUE(write_file(real, mp3_with_tags(3000, 10)));
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    Faults faults;
    std::string log = links.file("calls.log");
    faults.set("QID3_IO_LOG", log);
    ASSERT_EQ(id3_write(link.c_str(), TAGS), 0) << id3_last_error();
    Faults::clear();
    std::vector<std::string> lines = log_lines(log);
    auto rename_at = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& l) { return l.rfind("rename ", 0) == 0; });
    ASSERT_NE(rename_at, lines.end());
    EXPECT_EQ(*rename_at, "rename " + id_of(real) + " " + id_of(music.path));
    EXPECT_NE(std::find(lines.begin(), rename_at, "fsync " + id_of(real)), rename_at);
    EXPECT_NE(std::find(rename_at, lines.end(), "fsync " + id_of(music.path)), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "fsync " + id_of(links.path)), lines.end());
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// --- Flushes of a batch -------------------------------------------------------------------------

// Every file renamed was flushed before its rename; every folder that received a rename was
// flushed after its last one. Files in two folders of one volume and a folder on another (tmpfs).
TEST(InterposedIo, BatchFlushesEachFileBeforeItsRenameAndEachFolderAfter) {
    NEED_INTERPOSER();
    TempDir a, b;
    char shm_template[] = "/dev/shm/qid3-interposed-XXXXXX";
    if (!mkdtemp(shm_template))
        GTEST_SKIP() << "no /dev/shm";
    std::string shm = shm_template;
    std::vector<std::string> paths = {a.file("1.mp3"), b.file("2.mp3"), shm + "/3.mp3",
                                      a.file("4.mp3"), shm + "/5.mp3"};
    for (const std::string& p : paths)
        ASSERT_TRUE(write_file(p, mp3_with_tags(4000, 10)));
    std::string json = "[";
    for (const std::string& p : paths)
        json += (json.size() > 1 ? ",\"" : "\"") + p + "\"";
    json += "]";
    Faults faults;
    std::string log = a.file("calls.log");
    faults.set("QID3_IO_LOG", log);
    EXPECT_EQ(id3_batch(json.c_str(), TAGS), (int32_t)paths.size()) << id3_last_error();
    Faults::clear();
    std::vector<std::string> lines = log_lines(log);
    std::map<std::string, size_t> last_rename_into; // folder id -> line of its last rename
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        std::string file = id_of(p);
        std::string folder = id_of(p.substr(0, p.rfind('/')));
        auto renamed = std::find(lines.begin(), lines.end(), "rename " + file + " " + folder);
        ASSERT_NE(renamed, lines.end());
        EXPECT_NE(std::find(lines.begin(), renamed, "fsync " + file), renamed);
        last_rename_into[folder] = (size_t)(renamed - lines.begin());
        EXPECT_NE(title_of(p).find("New title"), std::string::npos);
    }
    EXPECT_EQ(last_rename_into.size(), 3u);
    for (const auto& [folder, at] : last_rename_into) {
        SCOPED_TRACE("folder " + folder);
        EXPECT_NE(std::find(lines.begin() + (long)at, lines.end(), "fsync " + folder), lines.end());
    }
    for (const std::string& p : paths)
        unlink(p.c_str());
    rmdir(shm.c_str());
}

// The writeback of every file of a group is started before the first of them is flushed, so
// that the file system commits them together; each file still gets its own fsync, once, before
// its rename.
TEST(InterposedIo, BatchStartsEveryWritebackBeforeTheFirstFlush) {
    NEED_INTERPOSER();
    TempDir dir;
    const int files = 8;
    std::vector<std::string> paths;
    std::string json = "[";
    for (int i = 0; i < files; i++) {
        paths.push_back(dir.file(std::to_string(i) + ".mp3"));
        ASSERT_TRUE(write_file(paths.back(), mp3_with_tags(3000, 10)));
        json += (i ? ",\"" : "\"") + paths.back() + "\"";
    }
    json += "]";
    Faults faults;
    std::string log = dir.file("calls.log");
    faults.set("QID3_IO_LOG", log);
    EXPECT_EQ(id3_batch(json.c_str(), TAGS), files) << id3_last_error();
    Faults::clear();
    std::vector<std::string> lines = log_lines(log);
    auto first_flush = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("fsync ", 0) == 0;
    });
    std::string folder = id_of(dir.path);
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        std::string file = id_of(p);
        EXPECT_NE(std::find(lines.begin(), first_flush, "sync_file_range " + file), first_flush);
        auto renamed = std::find(lines.begin(), lines.end(), "rename " + file + " " + folder);
        ASSERT_NE(renamed, lines.end());
        EXPECT_NE(std::find(lines.begin(), renamed, "fsync " + file), renamed);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "fsync " + file), 1);
    }
}

// A file of a group whose flush fails is kept as it was and left no temporary file, with the
// message a single write leaves (the path and the reason).
TEST(InterposedIo, BatchFileWhoseFlushFailsIsKept) {
    NEED_INTERPOSER();
    TempDir dir;
    std::vector<std::string> paths = {dir.file("1.mp3"), dir.file("2.mp3")};
    for (const std::string& p : paths)
        ASSERT_TRUE(write_file(p, mp3_with_tags(3000, 10)));
    Bytes original = read_file(paths[0]);
    Faults faults;
    faults.set("QID3_IO_FSYNC_ERRNO", EIO);
    std::string json = "[\"" + paths[0] + "\",\"" + paths[1] + "\"]";
    EXPECT_EQ(id3_batch(json.c_str(), TAGS), 0);
    EXPECT_EQ(std::string(id3_last_error()),
              "disk flush failed: " + paths[1] + " (" + strerror(EIO) + ")");
    Faults::clear();
    for (const std::string& p : paths)
        EXPECT_TRUE(read_file(p) == original) << p;
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"1.mp3", "2.mp3"}));
}

// A group is committed once the bytes it holds reach its limit (256 MiB): the files read before
// are renamed before the next file's temporary file is made. Sparse files of 150 MiB cost no disk.
TEST(InterposedIo, BatchGroupCommittedAtItsByteLimit) {
    NEED_INTERPOSER();
    TempDir dir;
    std::vector<std::string> paths = {dir.file("1.mp3"), dir.file("2.mp3"), dir.file("3.mp3")};
    for (const std::string& p : paths) {
        ASSERT_TRUE(write_file(p, mp3_with_tags(4000, 10)));
        ASSERT_EQ(truncate(p.c_str(), 150ll << 20), 0);
    }
    std::string json = "[\"" + paths[0] + "\",\"" + paths[1] + "\",\"" + paths[2] + "\"]";
    Faults faults;
    std::string log = dir.file("calls.log");
    faults.set("QID3_IO_LOG", log);
    EXPECT_EQ(id3_batch(json.c_str(), TAGS), 3) << id3_last_error();
    Faults::clear();
    std::vector<std::string> lines = log_lines(log);
    std::vector<size_t> temps, renames;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].rfind("temp ", 0) == 0)
            temps.push_back(i);
        if (lines[i].rfind("rename ", 0) == 0)
            renames.push_back(i);
    }
    ASSERT_EQ(temps.size(), 3u);
    ASSERT_EQ(renames.size(), 3u);
    // 150 + 150 MiB reach the limit: the first two are renamed before the third temp exists.
    EXPECT_LT(renames[1], temps[2]);
    // The first two share a group.
    EXPECT_LT(temps[1], renames[0]);
}

// Another program edits the file in place, keeping its size, between the writer's read and its
// rename: the write is refused and the edit kept, also where the file system keeps no change
// times and only the modification time shows the edit.
TEST(InterposedIo, InPlaceEditDuringWriteKept) {
    NEED_INTERPOSER();
    for (bool frozen_ctime : {false, true}) {
        SCOPED_TRACE(frozen_ctime ? "no change times" : "change times");
        TempDir dir;
        std::string song = dir.file("song.mp3");
        Bytes original = mp3_with_tags(3000, 10);
        ASSERT_TRUE(write_file(song, original));
        Bytes edited = original;
        memcpy(&edited[30], "EDIT", 4);
        Faults faults;
        if (frozen_ctime)
            faults.set("QID3_IO_FROZEN_CTIME", 1);
        faults.set("QID3_IO_GROW_PATH", song);
        faults.set("QID3_IO_GROW_AFTER", 1);
        faults.set("QID3_IO_GROW_OFFSET", 30);
        faults.set("QID3_IO_GROW_BYTES", "EDIT");
        EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
        EXPECT_EQ(std::string(id3_last_error()), "file changed while writing: " + song);
        Faults::clear();
        EXPECT_TRUE(read_file(song) == edited);
        EXPECT_EQ(temp_files_in(dir.path), std::vector<std::string>{});
    }
}

// Another program that takes no lock appends to the file after the writer's checks of the source
// but before its rename: while the temporary file is named (linkat) or the target's access is
// looked at (faccessat). The source is looked at once more right before the rename, so the write
// is refused and the appended bytes stay. What remains unguarded is the moment between that look
// and the rename itself (docs/robustness.md).
TEST(InterposedIo, AppendJustBeforeTheRenameKept) {
    NEED_INTERPOSER();
    for (const char* call : {"linkat", "faccessat"}) {
        SCOPED_TRACE(std::string("append at ") + call);
        TempDir dir;
        std::string song = dir.file("song.mp3");
        Bytes original = mp3_with_tags(3000, 10);
        ASSERT_TRUE(write_file(song, original));
        Faults faults;
        faults.set("QID3_IO_GROW_PATH", song);
        faults.set("QID3_IO_GROW_AT_CALL", call);
        faults.set("QID3_IO_GROW_BYTES", "APPENDED");
        EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
        EXPECT_EQ(std::string(id3_last_error()), "file changed while writing: " + song);
        Faults::clear();
        EXPECT_TRUE(read_file(song) == original + S("APPENDED"));
        EXPECT_EQ(temp_files_in(dir.path), std::vector<std::string>{});
    }
}

// A batch whose last file fails inside the group's commit: the first file's temporary file is
// named, and at that moment the last file is appended to. The count is of the file written, and
// the message left is the last file's, as when the files are written in turn.
TEST(InterposedIo, BatchWhoseLastFileFailsInTheGroupCommit) {
    NEED_INTERPOSER();
    TempDir dir;
    std::string first = dir.file("1.mp3"), last = dir.file("2.mp3");
    Bytes original = mp3_with_tags(3000, 10);
    ASSERT_TRUE(write_file(first, original));
    ASSERT_TRUE(write_file(last, original));
    std::string json = "[\"" + first + "\",\"" + last + "\"]";
    Faults faults;
    faults.set("QID3_IO_GROW_PATH", last);
    faults.set("QID3_IO_GROW_AT_CALL", "linkat");
    EXPECT_EQ(id3_batch(json.c_str(), TAGS), 1);
    EXPECT_EQ(std::string(id3_last_error()), "file changed while writing: " + last);
    Faults::clear();
    EXPECT_NE(title_of(first).find("New title"), std::string::npos);
    EXPECT_TRUE(read_file(last) == original + S("grown"));
    EXPECT_EQ(temp_files_in(dir.path), std::vector<std::string>{});
}

// A file system that refuses locks (NFS without a lock manager answers ENOLCK, some others
// EINVAL): files are written without the lock, alone and in a batch, instead of every write
// failing. A lock refused for any other reason still fails the write.
TEST(InterposedIo, WritesGoOnWhereLocksAreRefused) {
    NEED_INTERPOSER();
    for (int err : {ENOLCK, EINVAL}) {
        SCOPED_TRACE("lock errno " + std::to_string(err));
        TempDir dir;
        std::string a = dir.file("a.mp3"), b = dir.file("b.mp3");
        ASSERT_TRUE(write_file(a, mp3_with_tags(3000, 10)));
        ASSERT_TRUE(write_file(b, mp3_with_tags(3000, 10)));
        Faults faults;
        faults.set("QID3_IO_LOCK_ERRNO", err);
        EXPECT_EQ(id3_write(a.c_str(), TAGS), 0) << id3_last_error();
        EXPECT_STREQ(id3_last_error(), "");
        std::string json = "[\"" + a + "\",\"" + b + "\"]";
        EXPECT_EQ(id3_batch(json.c_str(), "{\"album\":\"Unlocked\"}"), 2) << id3_last_error();
        Faults::clear();
        for (const std::string& p : {a, b}) {
            EXPECT_NE(title_of(p).find("Unlocked"), std::string::npos) << p;
        }
        EXPECT_NE(title_of(a).find("New title"), std::string::npos);
    }
    TempDir dir;
    std::string song = dir.file("song.mp3");
    Bytes original = mp3_with_tags(3000, 10);
    ASSERT_TRUE(write_file(song, original));
    Faults faults;
    faults.set("QID3_IO_LOCK_ERRNO", EIO);
    EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + song + " (", 0), 0u)
        << id3_last_error();
    Faults::clear();
    EXPECT_TRUE(read_file(song) == original);
}

// --- Reads
// ----------------------------------------------------------------------------------------

// A VORBIS_COMMENT block that begins inside the first 64 KiB (the bytes read at open) and ends
// past them: its values are read whole. Needs no interposer; under the sanitizers, a read past
// the bytes read at open shows.
TEST(InterposedIo, FlacBlockAcrossTheFirst64KiB) {
    Bytes streaminfo =
        B({0x10, 0x00, 0x10, 0x00}) + repeat(0, 6) + B({0x0A, 0xC4, 0x42, 0xF0}) + repeat(0, 20);
    std::string long_value(3000, 'x');
    for (size_t i = 0; i < long_value.size(); i++)
        long_value[i] = (char)('a' + i % 26);
    Bytes comments = vorbis_comment("testsuit", {"TITLE=Straddling title", "ALBUM=" + long_value});
    for (size_t start : {65536 - 100, 65536 - 2000, 65536 - 8}) {
        SCOPED_TRACE("block starts at " + std::to_string(start));
        Bytes head = S("fLaC") + flac_block(0, streaminfo);
        // A PADDING block that puts the comment block's header at `start`.
        size_t padding = start - head.size() - 4;
        Bytes file = head + flac_block(1, repeat(0, padding)) + flac_block(4, comments, true) +
                     flac_audio(5000);
        ASSERT_LT(start, 65536u);
        ASSERT_GT(start + 4 + comments.size(), 65536u);
        TempDir dir;
        std::string path = dir.file("song.flac");
        ASSERT_TRUE(write_file(path, file));
        std::string json = title_of(path);
        EXPECT_NE(json.find("\"title\":\"Straddling title\""), std::string::npos) << json;
        EXPECT_NE(json.find("\"album\":\"" + long_value + "\""), std::string::npos);
    }
}

// A picture that grows while it is read: the cover is not written from the part read, and the
// audio file keeps its bytes.
TEST(InterposedIo, PictureGrowingWhileReadRefused) {
    NEED_INTERPOSER();
    for (size_t size : {1000, 70000, 300000}) {
        SCOPED_TRACE("picture of " + std::to_string(size) + " bytes");
        TempDir dir;
        std::string song = dir.file("song.mp3");
        std::string picture = dir.file("cover.png");
        Bytes original = mp3_with_tags(3000, 10);
        ASSERT_TRUE(write_file(song, original));
        ASSERT_TRUE(write_file(picture, png_picture(size)));
        Faults faults;
        faults.set("QID3_IO_GROW_PATH", picture);
        faults.set("QID3_IO_GROW_AFTER", 1);
        faults.set("QID3_IO_GROW_BYTES", "more picture");
        EXPECT_EQ(id3_set_cover(song.c_str(), picture.c_str()), -1);
        EXPECT_EQ(std::string(id3_last_error()), "file changed while reading: " + picture);
        Faults::clear();
        EXPECT_TRUE(read_file(song) == original);
        EXPECT_EQ(read_file(picture).size(), size + strlen("more picture"));
    }
}

} // namespace
