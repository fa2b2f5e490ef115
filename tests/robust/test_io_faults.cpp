// Injected I/O faults under the exported functions: read errors in the middle of a file, a full
// disk, failing disk flushes and closes, refused creates and renames, read-only and immutable
// places, and files that change between the library's reads. After each, the target is byte for
// byte what it was (or, where the call succeeds, completely written), no temporary file is left,
// and the message names the failure.
//
// The faults come from qid3_faultfs (a FUSE file system of ours), from small tmpfs mounts and from
// the immutable flag. All mounts are made in the test's own mount namespace, so they vanish with
// the process whatever happens. Needs root (CAP_SYS_ADMIN); skipped otherwise.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "robust_fixtures.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const TAGS = "{\"title\":\"New title\",\"track\":\"7\"}";

// Moves the test process into a mount namespace of its own, once.
bool private_mounts() {
    static int state = -1;
    if (state < 0) {
        state = unshare(CLONE_NEWNS) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }
    return state == 1;
}

dev_t device_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

// A mount made by a test, taken down when it goes out of scope.
struct Mounted {
    std::string point;
    pid_t daemon = -1;
    ~Mounted() { take_down(); }
    void take_down() {
        if (point.empty())
            return;
        umount2(point.c_str(), MNT_DETACH);
        if (daemon > 0) {
            int status;
            for (int i = 0; i < 500 && waitpid(daemon, &status, WNOHANG) == 0; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (waitpid(daemon, &status, WNOHANG) == 0) {
                kill(daemon, SIGKILL);
                waitpid(daemon, &status, 0);
            }
        }
        point.clear();
        daemon = -1;
    }
};

// Mounts qid3_faultfs over `backing` at `point` with the given rules and waits until it serves.
bool mount_faultfs(const std::string& backing, const std::string& point,
                   const std::vector<std::string>& rules, Mounted* m) {
    dev_t before = device_of(point);
    std::vector<std::string> args = {QID3_FAULTFS, backing, point};
    args.insert(args.end(), rules.begin(), rules.end());
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    m->point = point;
    m->daemon = pid;
    for (int i = 0; i < 500; i++) {
        if (device_of(point) != before)
            return true;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            m->daemon = -1;
            m->point.clear();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool mount_tmpfs(const std::string& point, const std::string& options, Mounted* m) {
    if (mount("qid3tmp", point.c_str(), "tmpfs", 0, options.c_str()) != 0)
        return false;
    m->point = point;
    return true;
}

bool set_immutable(const std::string& path, bool on) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
}

// The immutable flag on a path, cleared again when the test ends, whatever happens.
struct Immutable {
    std::string path;
    ~Immutable() {
        if (!path.empty())
            set_immutable(path, false);
    }
};

std::string names_error(const std::string& message, int err) {
    std::string want = std::string("(") + strerror(err) + ")";
    if (message.find(want) != std::string::npos)
        return "";
    return "\"" + message + "\" does not give the reason \"" + want + "\"";
}

class IoFaults : public testing::Test {
  protected:
    void SetUp() override {
        if (!private_mounts())
            GTEST_SKIP() << "needs root to mount file systems in a private mount namespace";
        backing = dir.file("backing");
        point = dir.file("mnt");
        ASSERT_EQ(mkdir(backing.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
    }
    std::string on_mount(const std::string& name) const { return point + "/" + name; }
    std::string in_backing(const std::string& name) const { return backing + "/" + name; }

    TempDir dir;
    std::string backing;
    std::string point;
};

// ---------------------------------------------------------------------------------------------
// Faults while the temporary file is written, flushed, closed, created or renamed

enum class Write { Tags, Cover };

struct ReplaceFault {
    const char* name;
    const char* file;    // "song.mp3" or "song.flac"
    const char* rule;    // the faultfs rule
    int error;           // the errno the message must end with, 0 when it names none
    const char* message; // the exact message, or its beginning when `error` is set
    bool names_the_target;
};

void PrintTo(const ReplaceFault& c, std::ostream* os) {
    *os << c.name;
}

const ReplaceFault REPLACE_FAULTS[] = {
    {"disk_full_at_once_mp3", "song.mp3", "write:.quorvale-tmp.:ENOSPC:0", ENOSPC,
     "short write: ", true},
    {"disk_full_at_once_flac", "song.flac", "write:.quorvale-tmp.:ENOSPC:0", ENOSPC,
     "short write: ", true},
    {"disk_flush_fails_mp3", "song.mp3", "fsync:.quorvale-tmp.:EIO", EIO,
     "disk flush failed: ", true},
    {"disk_flush_fails_flac", "song.flac", "fsync:.quorvale-tmp.:EIO", EIO,
     "disk flush failed: ", true},
    {"close_fails_mp3", "song.mp3", "flush:.quorvale-tmp.:EIO", EIO, "close failed: ", true},
    {"close_fails_flac", "song.flac", "flush:.quorvale-tmp.:ENOSPC", ENOSPC,
     "close failed: ", true},
    {"create_refused_mp3", "song.mp3", "create:.quorvale-tmp.:EACCES", EACCES,
     "cannot create temp: ", false},
    {"create_no_space_flac", "song.flac", "create:.quorvale-tmp.:ENOSPC", ENOSPC,
     "cannot create temp: ", false},
    {"rename_io_error_mp3", "song.mp3", "rename:.quorvale-tmp.:EIO", 0,
     "rename failed (win32 1117): ", true},
    {"rename_refused_flac", "song.flac", "rename:.quorvale-tmp.:EACCES", 0,
     "cannot replace target (read-only or locked): ", true},
};

class ReplaceFaults : public IoFaults, public testing::WithParamInterface<ReplaceFault> {};

TEST_P(ReplaceFaults, TargetKeptAndNoTemporaryFileLeft) {
    const ReplaceFault& c = GetParam();
    Bytes original = std::string(c.file) == "song.mp3" ? mp3_with_tags(50000, 2000)
                                                       : flac_with_tags(50000, 2000);
    ASSERT_TRUE(write_file(in_backing(c.file), original));
    ASSERT_TRUE(write_file(in_backing("cover.png"), png_picture(700)));
    Mounted m;
    ASSERT_TRUE(mount_faultfs(backing, point, {c.rule}, &m));

    std::string target = on_mount(c.file);
    std::string picture = on_mount("cover.png");
    for (Write w : {Write::Tags, Write::Cover}) {
        SCOPED_TRACE(w == Write::Tags ? "id3_write" : "id3_set_cover");
        int32_t rc = w == Write::Tags ? id3_write(target.c_str(), TAGS)
                                      : id3_set_cover(target.c_str(), picture.c_str());
        std::string message = id3_last_error();
        EXPECT_EQ(rc, -1);
        std::string want = std::string(c.message) + (c.names_the_target ? target : "");
        if (c.error) {
            EXPECT_EQ(message.rfind(want, 0), 0u) << message;
            EXPECT_EQ(names_error(message, c.error), "");
        } else {
            EXPECT_EQ(message, want);
        }
        EXPECT_EQ(read_file(in_backing(c.file)), original);
        EXPECT_EQ(temp_files_in(backing), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ReplaceFaults, testing::ValuesIn(REPLACE_FAULTS),
                         [](const testing::TestParamInfo<ReplaceFault>& info) {
                             return std::string(info.param.name);
                         });

// A disk that fills up while the new file is written: within the new tag, or in the copy of the
// audio, with room for all but the last byte.
TEST_F(IoFaults, DiskFullInTheTagOrInTheAudio) {
    Bytes original = mp3_with_tags(70000, 3000);
    // The size of the new file, from an undisturbed write elsewhere.
    std::string scratch = dir.file("scratch.mp3");
    ASSERT_TRUE(write_file(scratch, original));
    ASSERT_EQ(id3_write(scratch.c_str(), TAGS), 0) << id3_last_error();
    size_t new_size = read_file(scratch).size();

    ASSERT_TRUE(write_file(in_backing("song.mp3"), original));
    for (size_t room : {new_size - 1, size_t{512}}) {
        SCOPED_TRACE("room for " + std::to_string(room) + " of " + std::to_string(new_size));
        Mounted m;
        ASSERT_TRUE(mount_faultfs(backing, point,
                                  {"write:.quorvale-tmp.:ENOSPC:" + std::to_string(room)}, &m));
        EXPECT_EQ(id3_write(on_mount("song.mp3").c_str(), TAGS), -1);
        EXPECT_EQ(std::string(id3_last_error()),
                  "short write: " + on_mount("song.mp3") + " (" + strerror(ENOSPC) + ")");
        EXPECT_EQ(read_file(in_backing("song.mp3")), original);
        EXPECT_EQ(temp_files_in(backing), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------------------------
// The folder flush after the rename

// The operations qid3_faultfs logged ("rename FROM TO", "fsyncdir FOLDER"), in order.
std::vector<std::string> logged(const std::string& log) {
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t c : read_file(log)) {
        if (c != '\n') {
            line += (char)c;
        } else {
            lines.push_back(line);
            line.clear();
        }
    }
    return lines;
}

// The new name is only safe from a power cut once the folder that holds it is flushed, so the
// flush must come after the rename that makes the new file the target.
TEST_F(IoFaults, TargetsFolderIsFlushedAfterTheRename) {
    ASSERT_EQ(mkdir(in_backing("music").c_str(), 0755), 0);
    ASSERT_TRUE(write_file(in_backing("music/song.mp3"), mp3_with_tags(20000, 1000)));
    ASSERT_TRUE(write_file(in_backing("music/song.flac"), flac_with_tags(20000, 1000)));
    ASSERT_TRUE(write_file(in_backing("cover.png"), png_picture(700)));
    std::string log = dir.file("operations.log");
    Mounted m;
    ASSERT_TRUE(mount_faultfs(backing, point, {"log:" + log}, &m));
    for (const char* name : {"song.mp3", "song.flac"}) {
        std::string target = on_mount(std::string("music/") + name);
        for (Write w : {Write::Tags, Write::Cover}) {
            SCOPED_TRACE(std::string(name) + (w == Write::Tags ? " id3_write" : " id3_set_cover"));
            ASSERT_TRUE(write_file(log, {}));
            int32_t rc = w == Write::Tags
                             ? id3_write(target.c_str(), TAGS)
                             : id3_set_cover(target.c_str(), on_mount("cover.png").c_str());
            ASSERT_EQ(rc, 0) << id3_last_error();
            std::vector<std::string> ops = logged(log);
            std::string all;
            for (const std::string& op : ops)
                all += op + "\n";
            // The last rename onto the target, then a flush of its folder.
            std::string onto = std::string(" /music/") + name;
            size_t renamed = ops.size();
            for (size_t i = 0; i < ops.size(); i++) {
                if (ops[i].rfind("rename ", 0) == 0 && ops[i].size() > onto.size() &&
                    ops[i].compare(ops[i].size() - onto.size(), onto.size(), onto) == 0)
                    renamed = i;
            }
            ASSERT_LT(renamed, ops.size()) << "no rename onto the target:\n" << all;
            EXPECT_TRUE(std::find(ops.begin() + (long)renamed, ops.end(), "fsyncdir /music") !=
                        ops.end())
                << "the folder was not flushed after the rename:\n"
                << all;
        }
    }
}

// A folder flush that fails comes after the rename: the target already holds the new, complete
// file, and the call reports that its new name may not survive a power cut.
TEST_F(IoFaults, FailingFolderFlushIsReported) {
    ASSERT_EQ(mkdir(in_backing("music").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("scratch").c_str(), 0755), 0);
    Bytes picture = png_picture(700);
    ASSERT_TRUE(write_file(in_backing("cover.png"), picture));
    ASSERT_TRUE(write_file(dir.file("scratch/cover.png"), picture));
    for (const char* name : {"song.mp3", "song.flac"}) {
        Bytes original = std::string(name) == "song.mp3" ? mp3_with_tags(20000, 1000)
                                                         : flac_with_tags(20000, 1000);
        ASSERT_TRUE(write_file(in_backing(std::string("music/") + name), original));
        // The same calls on a copy elsewhere give the contents the target must have.
        std::string scratch = dir.file(std::string("scratch/") + name);
        ASSERT_TRUE(write_file(scratch, original));
        Mounted m;
        ASSERT_TRUE(mount_faultfs(backing, point, {"fsyncdir:music:EIO"}, &m));
        std::string target = on_mount(std::string("music/") + name);
        for (Write w : {Write::Tags, Write::Cover}) {
            SCOPED_TRACE(std::string(name) + (w == Write::Tags ? " id3_write" : " id3_set_cover"));
            int32_t rc = w == Write::Tags
                             ? id3_write(target.c_str(), TAGS)
                             : id3_set_cover(target.c_str(), on_mount("cover.png").c_str());
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(std::string(id3_last_error()),
                      "folder flush failed: " + on_mount("music") + " (" + strerror(EIO) + ")");
            ASSERT_EQ(w == Write::Tags
                          ? id3_write(scratch.c_str(), TAGS)
                          : id3_set_cover(scratch.c_str(), dir.file("scratch/cover.png").c_str()),
                      0)
                << id3_last_error();
            EXPECT_TRUE(read_file(in_backing(std::string("music/") + name)) == read_file(scratch))
                << "the target does not hold the new, complete file";
            EXPECT_EQ(temp_files_in(in_backing("music")), std::vector<std::string>{});
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Read errors

TEST_F(IoFaults, ReadErrorInTheMiddleOfTheFile) {
    Bytes mp3 = mp3_with_tags(60000, 2000);
    ASSERT_TRUE(write_file(in_backing("song.mp3"), mp3));
    ASSERT_TRUE(write_file(in_backing("good.flac"), flac_with_tags(3000, 500)));
    Bytes good_flac = read_file(in_backing("good.flac"));
    ASSERT_TRUE(write_file(in_backing("cover.png"), png_picture(40000)));
    Mounted m;
    ASSERT_TRUE(mount_faultfs(
        backing, point,
        {"read:song.mp3:EIO:" + std::to_string(mp3.size() / 2), "read:cover.png:EIO:20000"}, &m));
    std::string song = on_mount("song.mp3");
    std::string cover = on_mount("cover.png");
    std::string want = "cannot read: " + song + " (" + strerror(EIO) + ")";

    // A read that stops on an error is not taken for a short file.
    EXPECT_EQ(id3_read(song.c_str()), nullptr);
    EXPECT_EQ(std::string(id3_last_error()), want);
    EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
    EXPECT_EQ(std::string(id3_last_error()), want);
    std::string extracted = on_mount("out.png");
    EXPECT_EQ(id3_extract_cover(song.c_str(), extracted.c_str()), -1);
    EXPECT_EQ(std::string(id3_last_error()), want);
    EXPECT_FALSE(file_exists(in_backing("out.png")));

    // The picture is the file that fails: the audio file is not touched.
    std::string flac = on_mount("good.flac");
    EXPECT_EQ(id3_set_cover(flac.c_str(), cover.c_str()), -1);
    EXPECT_EQ(std::string(id3_last_error()), "cannot read: " + cover + " (" + strerror(EIO) + ")");
    EXPECT_EQ(read_file(in_backing("good.flac")), good_flac);

    // In a batch the failing file is passed over and the good one is written.
    std::string paths = "[\"" + song + "\",\"" + flac + "\"]";
    EXPECT_EQ(id3_batch(paths.c_str(), TAGS), 1);
    EXPECT_EQ(std::string(id3_last_error()), "");
    m.take_down();
    EXPECT_EQ(read_file(in_backing("song.mp3")), mp3);
    EXPECT_NE(read_file(in_backing("good.flac")), good_flac);
    EXPECT_EQ(temp_files_in(backing), std::vector<std::string>{});
}

// Saving a cover replaces the picture file atomically: a failure there is reported, an existing
// picture file is kept whole, and the audio file is never touched.
TEST_F(IoFaults, CoverFileCannotBeWritten) {
    Bytes flac = flac_with_tags(5000, 30000);
    ASSERT_TRUE(write_file(in_backing("song.flac"), flac));
    struct Fault {
        const char* rule;
        std::string message;
    };
    const Fault faults[] = {
        {"create:out.jpg.quorvale-tmp.:EACCES",
         "cannot create temp: " + point + " (" + strerror(EACCES) + ")"},
        {"write:out.jpg.quorvale-tmp.:ENOSPC:0",
         "short write: " + on_mount("out.jpg") + " (" + strerror(ENOSPC) + ")"},
        {"write:out.jpg.quorvale-tmp.:ENOSPC:20000",
         "short write: " + on_mount("out.jpg") + " (" + strerror(ENOSPC) + ")"},
        {"flush:out.jpg.quorvale-tmp.:EIO",
         "close failed: " + on_mount("out.jpg") + " (" + strerror(EIO) + ")"},
    };
    const Bytes old_picture = S("an older picture, kept whole");
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.rule);
        ASSERT_TRUE(write_file(in_backing("out.jpg"), old_picture));
        Mounted m;
        ASSERT_TRUE(mount_faultfs(backing, point, {f.rule}, &m));
        EXPECT_EQ(id3_extract_cover(on_mount("song.flac").c_str(), on_mount("out.jpg").c_str()),
                  -1);
        EXPECT_EQ(std::string(id3_last_error()), f.message);
        m.take_down();
        EXPECT_EQ(read_file(in_backing("song.flac")), flac);
        EXPECT_EQ(read_file(in_backing("out.jpg")), old_picture);
        EXPECT_EQ(temp_files_in(backing), std::vector<std::string>{});
        remove(in_backing("out.jpg").c_str());
    }
}

// A write opens the file once: detection, loading the tags and copying the audio all work from
// that one open file, so a file that could not be opened again is still written.
TEST_F(IoFaults, FileIsOpenedOncePerWrite) {
    Bytes original = mp3_with_tags(20000, 1000);
    ASSERT_TRUE(write_file(in_backing("song.mp3"), original));
    Mounted m;
    ASSERT_TRUE(mount_faultfs(backing, point, {"open:song.mp3:EIO:1"}, &m));
    std::string song = on_mount("song.mp3");
    EXPECT_EQ(id3_write(song.c_str(), TAGS), 0) << id3_last_error();
    // The next call's open is the second one, and fails.
    EXPECT_EQ(id3_read(song.c_str()), nullptr);
    EXPECT_EQ(std::string(id3_last_error()), "cannot open: " + song + " (" + strerror(EIO) + ")");
    m.take_down();
    Bytes now = read_file(in_backing("song.mp3"));
    EXPECT_NE(now, original);
    EXPECT_TRUE(Bytes(now.begin() + mp3_audio_offset(now), now.end()) ==
                Bytes(original.begin() + mp3_audio_offset(original), original.end()));
    EXPECT_EQ(temp_files_in(backing), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------------------------
// Full, read-only and immutable places

TEST_F(IoFaults, FullTmpfs) {
    // 64 pages; the file takes 40 of them, so its replacement cannot fit beside it.
    Mounted m;
    ASSERT_TRUE(mount_tmpfs(point, "size=256k,mode=0755", &m));
    Bytes original = mp3_with_tags(160000, 2000);
    std::string song = on_mount("song.mp3");
    ASSERT_TRUE(write_file(song, original));
    EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              "short write: " + song + " (" + strerror(ENOSPC) + ")");
    EXPECT_EQ(read_file(song), original);
    EXPECT_EQ(temp_files_in(point), std::vector<std::string>{});
}

// A batch writes as many files as writing them one by one would: on a disk with room for one
// replacement at a time, and with few descriptors left, a group that cannot grow commits what it
// has and goes on.
TEST_F(IoFaults, BatchWritesAsManyAsWritingInTurn) {
    Mounted m;
    // 3 files of ~60 KiB in 256 KiB: one replacement fits beside them, three at once do not.
    ASSERT_TRUE(mount_tmpfs(point, "size=256k,mode=0755", &m));
    std::string list = "[";
    std::vector<Bytes> originals;
    for (int i = 0; i < 3; i++) {
        originals.push_back(mp3_with_tags(60000, 1000));
        originals.back().back() = (uint8_t)i;
        std::string song = on_mount("song" + std::to_string(i) + ".mp3");
        ASSERT_TRUE(write_file(song, originals.back()));
        list += std::string(i ? "," : "") + "\"" + song + "\"";
    }
    list += "]";
    EXPECT_EQ(id3_batch(list.c_str(), TAGS), 3) << id3_last_error();
    EXPECT_STREQ(id3_last_error(), "");
    for (int i = 0; i < 3; i++) {
        Bytes now = read_file(on_mount("song" + std::to_string(i) + ".mp3"));
        ASSERT_FALSE(now.empty());
        EXPECT_NE(now, originals[i]);
        EXPECT_EQ(now.back(), (uint8_t)i) << "audio of another file";
    }
    EXPECT_EQ(temp_files_in(point), std::vector<std::string>{});
}

TEST_F(IoFaults, BatchUnderALowOpenFilesLimit) {
    std::string list = "[";
    for (int i = 0; i < 40; i++) {
        std::string song = dir.file("s" + std::to_string(i) + ".mp3");
        ASSERT_TRUE(write_file(song, mp3_with_tags(2000, 100)));
        list += std::string(i ? "," : "") + "\"" + song + "\"";
    }
    list += "]";
    // In a child: the limit must not reach the test's own descriptors.
    std::string got = output_of_child([&] {
        struct rlimit lim = {64, 64};
        setrlimit(RLIMIT_NOFILE, &lim);
        int32_t written = id3_batch(list.c_str(), TAGS);
        return std::to_string(written) + ":" + id3_last_error();
    });
    EXPECT_EQ(got, "40:");
    EXPECT_EQ(temp_files_in(dir.path), std::vector<std::string>{});
}

// On a file system without unnamed temporary files (FUSE here; NFS and SMB alike), names long
// enough to be shortened in their temporary names still get temporary files of their own: each
// file keeps its own audio, and a file at a name like ours is left alone.
TEST_F(IoFaults, LongNamesSharingTheirStartKeepTheirOwnAudio) {
    std::string common(235, 'n');
    const std::string names[] = {common + "-first-song.mp3", common + "-second-song.mp3"};
    std::string list = "[";
    for (int i = 0; i < 2; i++) {
        Bytes file = mp3_with_tags(20000 + 1000 * (size_t)i, 500);
        file.back() = (uint8_t)(0xA0 + i);
        ASSERT_TRUE(write_file(in_backing(names[i]), file));
        list += std::string(i ? "," : "") + "\"" + on_mount(names[i]) + "\"";
    }
    list += "]";
    std::string planted = common.substr(0, 200) + ".quorvale-tmp." + std::to_string(getpid());
    ASSERT_TRUE(write_file(in_backing(planted), S("not ours")));
    Mounted m;
    ASSERT_TRUE(mount_faultfs(backing, point, {"log:/dev/null"}, &m));
    EXPECT_EQ(id3_batch(list.c_str(), TAGS), 2) << id3_last_error();
    m.take_down();
    for (int i = 0; i < 2; i++) {
        Bytes now = read_file(in_backing(names[i]));
        ASSERT_FALSE(now.empty());
        EXPECT_EQ(now.size() - mp3_audio_offset(now), 4 + 20000 + 1000 * (size_t)i);
        EXPECT_EQ(now.back(), (uint8_t)(0xA0 + i)) << names[i].substr(235);
    }
    EXPECT_EQ(read_file(in_backing(planted)), S("not ours"));
}

TEST_F(IoFaults, ReadOnlyFileSystem) {
    Mounted m;
    ASSERT_TRUE(mount_tmpfs(point, "size=1m", &m));
    Bytes original = flac_with_tags(10000, 500);
    std::string song = on_mount("song.flac");
    ASSERT_TRUE(write_file(song, original));
    ASSERT_EQ(mount(nullptr, point.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot create temp: " + point + " (" + strerror(EROFS) + ")");
    EXPECT_EQ(read_file(song), original);
    EXPECT_EQ(temp_files_in(point), std::vector<std::string>{});
}

TEST_F(IoFaults, ImmutableFolderAndImmutableTarget) {
    std::string folder = dir.file("locked");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::string song = folder + "/song.mp3";
    Bytes original = mp3_with_tags(10000, 500);
    ASSERT_TRUE(write_file(song, original));

    {
        // No file can be created in the folder.
        Immutable lock{folder};
        if (!set_immutable(folder, true))
            GTEST_SKIP() << "the immutable flag is not supported here";
        EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
        EXPECT_EQ(std::string(id3_last_error()),
                  "cannot create temp: " + folder + " (" + strerror(EPERM) + ")");
        EXPECT_EQ(read_file(song), original);
        EXPECT_EQ(temp_files_in(folder), std::vector<std::string>{});
    }
    {
        // The temporary file is written, but it cannot replace the target.
        Immutable lock{song};
        ASSERT_TRUE(set_immutable(song, true));
        EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
        EXPECT_EQ(std::string(id3_last_error()),
                  "cannot replace target (read-only or locked): " + song);
        EXPECT_EQ(read_file(song), original);
        EXPECT_EQ(temp_files_in(folder), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------------------------
// Files that change between reads

// The size the file reports when opened is larger than what can then be read (the file shrank),
// or smaller (it grew). The write is refused and the file kept: a copy up to the reported size
// would cut the audio short.
TEST_F(IoFaults, FileShrinksOrGrowsBetweenSizeAndRead) {
    Bytes original = mp3_with_tags(30000, 1000);
    for (int delta : {1000, -1000}) {
        SCOPED_TRACE("reported size off by " + std::to_string(delta));
        ASSERT_TRUE(write_file(in_backing("song.mp3"), original));
        Mounted m;
        ASSERT_TRUE(
            mount_faultfs(backing, point, {"size:song.mp3:-:" + std::to_string(delta)}, &m));
        std::string song = on_mount("song.mp3");
        EXPECT_EQ(id3_write(song.c_str(), TAGS), -1);
        // A file larger than it said is found while its tag is read; a smaller one when the
        // audio copy finds more bytes than expected.
        EXPECT_EQ(std::string(id3_last_error()),
                  (delta > 0 ? "file changed while reading: " : "file changed while writing: ") +
                      song);
        m.take_down();
        EXPECT_EQ(read_file(in_backing("song.mp3")), original);
        EXPECT_EQ(temp_files_in(backing), std::vector<std::string>{});
    }
}

// Another program replaces the file's contents between opens. A write opens it once, so the
// result is never a mixture: the target ends up as a complete file built from the version that
// write opened, or as it was.
TEST_F(IoFaults, FileReplacedBetweenOpens) {
    Bytes mp3_a = mp3_with_tags(20000, 1000);
    Bytes mp3_b = mp3_with_tags(25000, 1500);
    Bytes flac = flac_with_tags(20000, 1000);

    struct Versions {
        const char* name;
        std::vector<Bytes> reads; // what the 1st, 2nd and 3rd open see
    };
    const Versions cases[] = {
        {"mp3_then_other_mp3", {mp3_a, mp3_a, mp3_b}},
        {"flac_then_mp3", {flac, flac, mp3_a}},
        {"mp3_then_flac", {mp3_a, mp3_a, flac}},
        {"mp3_then_m4a", {mp3_a, mp3_a, m4a_with_tags(20000, 1000)}},
        {"flac_briefly_unrecognised", {flac, S("RIFF....WAVEfmt "), flac}},
        {"mp3_briefly_empty", {mp3_a, Bytes(), mp3_a}},
    };
    for (const Versions& v : cases) {
        SCOPED_TRACE(v.name);
        for (const std::string& name : list_dir(backing))
            remove(in_backing(name).c_str());
        ASSERT_TRUE(write_file(in_backing("song"), v.reads.back()));
        for (size_t k = 0; k < v.reads.size(); k++)
            ASSERT_TRUE(write_file(in_backing("song.v" + std::to_string(k + 1)), v.reads[k]));
        Mounted m;
        ASSERT_TRUE(mount_faultfs(backing, point, {"versions:/song"}, &m));
        int32_t rc = id3_write(on_mount("song").c_str(), TAGS);
        std::string message = id3_last_error();
        m.take_down();
        Bytes now = read_file(in_backing("song"));
        const Bytes& last = v.reads.front();
        if (rc != 0) {
            EXPECT_EQ(now, v.reads.back()) << message;
        } else {
            // Written from the version opened: same kind of file, same audio.
            int32_t kind = now.size() < 4 ? 0 : id3_detect_fmt(now.data(), now.size());
            int32_t last_kind = last.size() < 4 ? 0 : id3_detect_fmt(last.data(), last.size());
            EXPECT_EQ(kind, last_kind) << "the file changed its kind";
            size_t at = kind == ID3_FMT_FLAC ? flac_audio_offset(now) : mp3_audio_offset(now);
            size_t last_at =
                last_kind == ID3_FMT_FLAC ? flac_audio_offset(last) : mp3_audio_offset(last);
            EXPECT_TRUE(Bytes(now.begin() + at, now.end()) ==
                        Bytes(last.begin() + last_at, last.end()))
                << "audio not kept";
            // The tags the file had are kept: every version here has the same artist and a cover.
            ASSERT_TRUE(write_file(dir.file("check"), now));
            char* json = id3_read(dir.file("check").c_str());
            ASSERT_NE(json, nullptr) << id3_last_error();
            std::string text = json;
            id3_free_string(json);
            EXPECT_NE(text.find("\"artist\":\"Old artist\""), std::string::npos) << text;
            EXPECT_NE(text.find("\"has_cover\":true"), std::string::npos) << text;
        }
        EXPECT_EQ(temp_files_in(backing), std::vector<std::string>{});
    }
}

} // namespace
