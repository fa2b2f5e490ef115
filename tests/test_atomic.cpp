// Atomic replacement of a file on POSIX: the temporary file, the failure paths and what the
// replacement keeps (permission bits, symbolic links).
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string temp_name(const std::string& target) {
    return target + ".quorvale-tmp." + std::to_string(getpid());
}

int write_bytes(const std::string& path, const Bytes& data) {
    return id3_atomic_write(path.c_str(), data.data(), data.size());
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

} // namespace

TEST(AtomicWrite, ReplacesTheTargetAndLeavesNoTemporaryFile) {
    TempDir dir;
    std::string target = dir.file("song.mp3");
    ASSERT_TRUE(write_file(target, S("old contents")));
    Bytes fresh = S("new") + repeat(0xFF, 100000);
    ASSERT_EQ(write_bytes(target, fresh), 0) << id3_last_error();
    EXPECT_EQ(read_file(target), fresh);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.mp3"});
}

TEST(AtomicWrite, EmptyImageAndMissingTarget) {
    TempDir dir;
    std::string target = dir.file("a.flac");
    ASSERT_TRUE(write_file(target, S("something")));
    ASSERT_EQ(id3_atomic_write(target.c_str(), nullptr, 0), 0) << id3_last_error();
    EXPECT_TRUE(file_exists(target));
    EXPECT_TRUE(read_file(target).empty());

    std::string created = dir.file("new.mp3");
    ASSERT_EQ(write_bytes(created, S("abc")), 0) << id3_last_error();
    EXPECT_EQ(read_file(created), S("abc"));
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"a.flac", "new.mp3"}));
}

TEST(AtomicWrite, LeftoverTemporaryFileIsReplacedNotReused) {
    TempDir dir;
    std::string target = dir.file("t.mp3");
    ASSERT_TRUE(write_file(target, S("old")));
    // A stale temporary file of a killed run with the same process id, longer than the new image.
    ASSERT_TRUE(write_file(temp_name(target), repeat('x', 5000)));
    ASSERT_EQ(write_bytes(target, S("new")), 0) << id3_last_error();
    EXPECT_EQ(read_file(target), S("new"));
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"t.mp3"});
}

TEST(AtomicWrite, ReadOnlyTargetIsRefusedEvenForRoot) {
    TempDir dir;
    std::string target = dir.file("ro.mp3");
    ASSERT_TRUE(write_file(target, S("keep me")));
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot replace target (read-only or locked): " + target);
    EXPECT_EQ(read_file(target), S("keep me"));
    EXPECT_EQ(mode_of(target), 0444u);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"ro.mp3"});
}

TEST(AtomicWrite, TargetThatIsADirectoryIsRefused) {
    TempDir dir;
    std::string target = dir.file("d.mp3");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(target + "/inside", S("x")));
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot replace target (read-only or locked): " + target);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"d.mp3"});
    EXPECT_EQ(read_file(target + "/inside"), S("x"));
}

TEST(AtomicWrite, UncreatableTemporaryFile) {
    TempDir dir;
    // A parent path component that is a regular file stops even root.
    std::string blocker = dir.file("plain");
    ASSERT_TRUE(write_file(blocker, S("x")));
    std::string target = blocker + "/song.mp3";
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_STREQ(id3_last_error(), "cannot create temp: Not a directory");
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"plain"});
}

TEST(AtomicWrite, OverlongTemporaryNameFailsCleanly) {
    TempDir dir;
    std::string target = dir.path + "/" + std::string(4096, 'n');
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()).rfind("path too long for a temporary file: ", 0), 0u);
    EXPECT_TRUE(list_dir(dir.path).empty());
}

TEST(AtomicWrite, PermissionBitsAreKept) {
    const mode_t modes[] = {0600, 0640, 0644, 0755, 0700};
    for (mode_t m : modes) {
        TempDir dir;
        std::string target = dir.file("p.flac");
        ASSERT_TRUE(write_file(target, S("old")));
        ASSERT_EQ(chmod(target.c_str(), m), 0);
        ASSERT_EQ(write_bytes(target, S("new")), 0) << id3_last_error();
        EXPECT_EQ(mode_of(target), m) << std::oct << m;
        EXPECT_EQ(read_file(target), S("new"));
    }
}

TEST(AtomicWrite, PlantedLinkAtTheTemporaryNameIsNotFollowed) {
    TempDir dir;
    std::string target = dir.file("song.mp3");
    std::string victim = dir.file("victim.txt");
    ASSERT_TRUE(write_file(target, S("old")));
    ASSERT_TRUE(write_file(victim, S("precious")));
    ASSERT_EQ(symlink(victim.c_str(), temp_name(target).c_str()), 0);
    // Either the link is removed and a fresh file made, or the write is refused; the file the
    // link names is never written.
    int rc = write_bytes(target, S("new"));
    EXPECT_EQ(read_file(victim), S("precious"));
    if (rc == 0)
        EXPECT_EQ(read_file(target), S("new"));
    else
        EXPECT_EQ(read_file(target), S("old"));
    EXPECT_FALSE(file_exists(temp_name(target)));
}

TEST(AtomicWrite, SymbolicLinkTargetStaysALink) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("music").c_str(), 0755), 0);
    std::string real = dir.file("music/real.mp3");
    ASSERT_TRUE(write_file(real, S("old")));
    std::string link = dir.file("link.mp3");
    ASSERT_EQ(symlink("music/real.mp3", link.c_str()), 0); // relative to the link's folder
    std::string link2 = dir.file("link2.mp3");
    ASSERT_EQ(symlink(link.c_str(), link2.c_str()), 0); // a chain of two links

    ASSERT_EQ(write_bytes(link2, S("new")), 0) << id3_last_error();
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat(link2.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real), S("new"));
    EXPECT_EQ(list_dir(dir.file("music")), std::vector<std::string>{"real.mp3"});
}

// A file-size limit makes the write of the image fail part-way; the child reports the message.
TEST(AtomicWrite, ShortWriteKeepsTheTarget) {
    TempDir dir;
    std::string target = dir.file("big.mp3");
    ASSERT_TRUE(write_file(target, S("old")));
    Bytes image = repeat(0x5A, 1 << 20);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        int rc = write_bytes(target, image);
        std::string msg = std::to_string(rc) + ":" + id3_last_error();
        ssize_t ignored = write(pipefd[1], msg.data(), msg.size());
        (void)ignored;
        _exit(0);
    }
    close(pipefd[1]);
    char buf[600] = {0};
    ssize_t n = read(pipefd[0], buf, sizeof buf - 1);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_GT(n, 0);
    std::string got(buf, (size_t)n);
    EXPECT_TRUE(got == "-1:short write" || got == "-1:fflush failed") << got;
    EXPECT_EQ(read_file(target), S("old"));
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"big.mp3"});
}

// Root may give a file any owner, so the replacement is made with the target's owner and group
// (and its permission bits), by a tag write and by a cover change alike.
TEST(AtomicWrite, OwnerAndGroupAreKept) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can hand a file to another owner";
    const uid_t uid = 4242;
    const gid_t gid = 4343;
    TempDir dir;
    std::string picture = dir.file("cover.png");
    ASSERT_TRUE(write_file(picture, B({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}) + S("png")));
    // Root in a user namespace may have no other ids to give.
    if (chown(picture.c_str(), uid, gid) != 0)
        GTEST_SKIP() << "cannot give a file to " << uid << ":" << gid;
    struct Case {
        const char* name;
        Bytes contents;
    } cases[] = {
        {"song.mp3", B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0x11, 413)},
        {"song.flac", S("fLaC") + B({0x80}) + be24(34) + repeat(0x10, 34) + repeat(0x22, 400)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string target = dir.file(c.name);
        ASSERT_TRUE(write_file(target, c.contents));
        for (bool cover : {false, true}) {
            SCOPED_TRACE(cover ? "id3_set_cover" : "id3_write");
            ASSERT_EQ(chown(target.c_str(), uid, gid), 0);
            ASSERT_EQ(chmod(target.c_str(), 0640), 0);
            ASSERT_EQ(cover ? id3_set_cover(target.c_str(), picture.c_str())
                            : id3_write(target.c_str(), "{\"title\":\"x\"}"),
                      0)
                << id3_last_error();
            struct stat st;
            ASSERT_EQ(stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, uid);
            EXPECT_EQ(st.st_gid, gid);
            EXPECT_EQ(st.st_mode & 07777, 0640u);
        }
        EXPECT_NE(read_file(target), c.contents);
    }
}

// A name that leaves no room for ".quorvale-tmp.PID" within the folder's limit of 255 bytes is
// still written: the temporary name takes a shorter part of it, cut between two characters.
TEST(AtomicWrite, LongNamesGetAShortenedTemporaryName) {
    TempDir dir;
    // 3-byte characters (U+20AC) after 0, 1 and 2 ASCII bytes: whatever the length of the process
    // id in the suffix, a cut at a fixed byte count lands inside a character in two of the three.
    std::string euros;
    for (int i = 0; i < 80; i++)
        euros += "\xE2\x82\xAC";
    const std::string names[] = {std::string(238, 'n') + ".mp3", euros + ".mp3",
                                 "a" + euros + ".mp3", "ab" + euros + ".mp3",
                                 std::string(251, 'x') + ".mp3"};
    for (const std::string& name : names) {
        SCOPED_TRACE(std::to_string(name.size()) + " bytes");
        std::string target = dir.file(name);
        ASSERT_TRUE(write_file(target, S("old")));
        plat_temp t;
        ASSERT_EQ(plat_temp_create(&t, target.c_str()), 0) << strerror(errno);
        std::string temp = t.temp_name;
        plat_temp_discard(&t);
        std::string temp_base = temp.substr(dir.path.size() + 1);
        std::string suffix = ".quorvale-tmp." + std::to_string(getpid());
        EXPECT_LE(temp_base.size(), 255u);
        ASSERT_GT(temp_base.size(), suffix.size());
        std::string kept = temp_base.substr(0, temp_base.size() - suffix.size());
        EXPECT_EQ(temp_base.substr(kept.size()), suffix);
        EXPECT_EQ(name.compare(0, kept.size(), kept), 0) << "not a prefix of the target's name";
        // The cut falls before a character's first byte, never inside one.
        if (kept.size() < name.size()) {
            EXPECT_NE((uint8_t)name[kept.size()] & 0xC0, 0x80) << "cut inside a character";
        }

        EXPECT_EQ(write_bytes(target, S("new")), 0) << id3_last_error();
        EXPECT_EQ(read_file(target), S("new"));
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{name});
        remove(target.c_str());
    }
}

// The source is checked just before the rename: bytes appended by another program since it was
// opened, or another file moved to its path, make the write fail and the file stay as the other
// program left it.
TEST(AtomicWrite, SourceChangedWhileWritingIsLeftAlone) {
    const Bytes original = S("ID3") + B({4, 0, 0}) + syncsafe(0) + repeat(0x11, 5000);
    enum Change { Appended, Replaced };
    for (Change change : {Appended, Replaced}) {
        SCOPED_TRACE(change == Appended ? "appended" : "replaced");
        TempDir dir;
        std::string target = dir.file("song.mp3");
        ASSERT_TRUE(write_file(target, original));
        id3_file f;
        ASSERT_EQ(id3_file_open(&f, target.c_str()), 0) << id3_last_error();
        id3_tags t;
        id3_tags_init(&t);
        t.title = strdup("new");
        id3_head head = {nullptr, 0, 0};
        ASSERT_EQ(id3_mp3_build_head(&f, &t, id3_change{ID3_NAMED_TITLE, 0}, &head), 0);
        Bytes after_change = original + S("appended");
        if (change == Appended) {
            FILE* out = fopen(target.c_str(), "ab");
            ASSERT_NE(out, nullptr);
            fputs("appended", out);
            fclose(out);
        } else {
            ASSERT_TRUE(write_file(dir.file("other"), after_change));
            ASSERT_EQ(rename(dir.file("other").c_str(), target.c_str()), 0);
        }
        EXPECT_EQ(id3_replace_with_head(target.c_str(), &f, &head), -1);
        EXPECT_EQ(std::string(id3_last_error()), "file changed while writing: " + target);
        free(head.data);
        id3_tags_free(&t);
        id3_file_close(&f);
        EXPECT_EQ(read_file(target), after_change);
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.mp3"});
    }
}

// The replacement gets the old file's extended attributes: user.*, the POSIX access ACL, and
// trusted.* (this process may set them when it runs as root). A file system without extended
// attributes has none to keep, and the test has nothing to check there.
TEST(AtomicWrite, ExtendedAttributesAndAclAreKept) {
    TempDir dir;
    std::string target = dir.file("song.mp3");
    ASSERT_TRUE(write_file(target, B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0x11, 413)));
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    if (setxattr(target.c_str(), "user.comment", "kept", 4, 0) != 0)
        GTEST_SKIP() << "no user extended attributes here: " << strerror(errno);
    // The ACL as the kernel stores it: version 2, then entries of tag, permissions and id (all
    // little-endian): owner rw, user 4321 r, group r, mask r, others nothing.
    Bytes acl = le32(2);
    const uint32_t none = 0xFFFFFFFF;
    const struct {
        uint16_t tag, perm;
        uint32_t id;
    } entries[] = {
        {0x01, 6, none}, {0x02, 4, 4321}, {0x04, 4, none}, {0x10, 4, none}, {0x20, 0, none}};
    for (const auto& e : entries)
        acl += B({e.tag & 0xFF, e.tag >> 8, e.perm & 0xFF, e.perm >> 8}) + le32(e.id);
    bool with_acl =
        setxattr(target.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    bool with_trusted = setxattr(target.c_str(), "trusted.origin", "x", 1, 0) == 0;
    struct stat before;
    ASSERT_EQ(stat(target.c_str(), &before), 0);

    ASSERT_EQ(id3_write(target.c_str(), "{\"title\":\"T\"}"), 0) << id3_last_error();
    struct stat after;
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "the path names a new file";
    EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
    auto value = [&](const char* name) {
        char buf[256];
        ssize_t n = getxattr(target.c_str(), name, buf, sizeof buf);
        return n < 0 ? Bytes() : Bytes(buf, buf + n);
    };
    EXPECT_EQ(value("user.comment"), S("kept"));
    if (with_acl) {
        EXPECT_EQ(hex(value("system.posix_acl_access")), hex(acl));
    }
    if (with_trusted) {
        EXPECT_EQ(value("trusted.origin"), S("x"));
    }
}
