// Atomic replacement of a file on POSIX: the temporary file, the failure paths and what the
// replacement keeps (permission bits, symbolic links).
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "write_paths.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Names a temporary file of this process could have had before they took a random part.
std::vector<std::string> guessable_temp_names(const std::string& target) {
    std::string pid = std::to_string(getpid());
    return {target + ".quorvale-tmp." + pid, target + ".quorvale-tmp." + pid + ".00000000"};
}

int write_bytes(const std::string& path, const Bytes& data) {
    return replace_with_bytes(path.c_str(), data.data(), data.size());
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Runs write_bytes(path, "new") as user `uid` with primary group `gid` and the supplementary
// groups given (a user made up for the test, as setpriv would run it). "rc:message".
std::string write_as(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::string& path) {
    return output_of_child([&] {
        if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            return std::string("cannot become the user");
        int rc = write_bytes(path, S("new"));
        return std::to_string(rc) + ":" + id3_last_error();
    });
}

} // namespace

// A second user, for the cases that depend on who owns what. Needs root to become that user.
TEST(AtomicWrite, OwnershipAndFolderRightsOfAnotherUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run as a second user";
    const uid_t user = 4321, other = 4322;
    const gid_t own_group = 4321, shared_group = 2000;
    TempDir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    struct stat st;

    // A group member rewrites a group-writable file of root's in a group folder: the file
    // becomes the member's (the owner cannot be kept), the group stays.
    std::string group_dir = dir.file("group");
    ASSERT_EQ(mkdir(group_dir.c_str(), 0775), 0);
    ASSERT_EQ(chown(group_dir.c_str(), 0, shared_group), 0);
    ASSERT_EQ(chmod(group_dir.c_str(), 0775), 0);
    std::string shared = group_dir + "/song.mp3";
    ASSERT_TRUE(write_file(shared, S("old")));
    ASSERT_EQ(chown(shared.c_str(), 0, shared_group), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0664), 0);
    EXPECT_EQ(write_as(user, own_group, {shared_group}, shared), "0:");
    ASSERT_EQ(stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_gid, shared_group);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(read_file(shared), S("new"));

    // A sticky folder: another user's file, writable by all, cannot be replaced by us.
    std::string sticky_dir = dir.file("sticky");
    ASSERT_EQ(mkdir(sticky_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(sticky_dir.c_str(), 01777), 0);
    std::string theirs = sticky_dir + "/song.mp3";
    ASSERT_TRUE(write_file(theirs, S("old")));
    ASSERT_EQ(chown(theirs.c_str(), other, other), 0);
    ASSERT_EQ(chmod(theirs.c_str(), 0666), 0);
    EXPECT_EQ(write_as(user, own_group, {}, theirs),
              "-1:cannot replace target (another user's file in a sticky folder): " + theirs);
    EXPECT_EQ(read_file(theirs), S("old"));
    EXPECT_EQ(list_dir(sticky_dir), std::vector<std::string>{"song.mp3"});

    // A read-only folder: the message names it.
    std::string locked_dir = dir.file("locked");
    ASSERT_EQ(mkdir(locked_dir.c_str(), 0555), 0);
    ASSERT_EQ(chown(locked_dir.c_str(), user, own_group), 0);
    std::string mine = locked_dir + "/song.mp3";
    ASSERT_EQ(chmod(locked_dir.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(mine, S("old")));
    ASSERT_EQ(chown(mine.c_str(), user, own_group), 0);
    ASSERT_EQ(chmod(locked_dir.c_str(), 0555), 0);
    EXPECT_EQ(write_as(user, own_group, {}, mine),
              "-1:cannot create temp: " + locked_dir + " (" + strerror(EACCES) + ")");
    EXPECT_EQ(read_file(mine), S("old"));
}

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
    ASSERT_EQ(replace_with_bytes(target.c_str(), nullptr, 0), 0) << id3_last_error();
    EXPECT_TRUE(file_exists(target));
    EXPECT_TRUE(read_file(target).empty());

    std::string created = dir.file("new.mp3");
    ASSERT_EQ(write_bytes(created, S("abc")), 0) << id3_last_error();
    EXPECT_EQ(read_file(created), S("abc"));
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"a.flac", "new.mp3"}));
}

// Files at names like ours (a killed run's, or another writer's in progress) are neither reused
// nor removed: only a file the call created itself is ever removed.
TEST(AtomicWrite, FilesAtTemporaryNamesAreLeftAlone) {
    TempDir dir;
    std::string target = dir.file("t.mp3");
    ASSERT_TRUE(write_file(target, S("old")));
    std::vector<std::string> expected = {"t.mp3"};
    for (const std::string& name : guessable_temp_names(target)) {
        ASSERT_TRUE(write_file(name, repeat('x', 5000)));
        expected.push_back(name.substr(dir.path.size() + 1));
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(write_bytes(target, S("new")), 0) << id3_last_error();
    EXPECT_EQ(read_file(target), S("new"));
    EXPECT_EQ(list_dir(dir.path), expected);
    for (const std::string& name : guessable_temp_names(target))
        EXPECT_EQ(read_file(name), repeat('x', 5000));
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

// The outcomes of the rename step, one code each: a refused rename is not read as another
// failure's code, and the code a message shows comes only with PLAT_RENAME_FAILED.
TEST(AtomicWrite, RenameOutcomes) {
    TempDir dir;
    std::string song = dir.file("song.mp3");
    std::string folder = dir.file("folder.mp3");
    std::string other = dir.file("other.mp3");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(other, S("other")));
    plat_file other_file;
    ASSERT_EQ(plat_open_read(other.c_str(), &other_file), 0);
    struct Case {
        const char* what;
        std::string target;
        bool remove_temp;
        const plat_file* src;
        int renamed;
        unsigned long code; // of a failed rename: ERROR_FILE_NOT_FOUND for ENOENT
    };
    const Case cases[] = {
        {"temporary file gone", song, true, nullptr, PLAT_RENAME_FAILED, 2},
        {"folder target", folder, false, nullptr, PLAT_RENAME_ACCESS_DENIED, 0},
        {"target is not the source", song, false, &other_file, PLAT_RENAME_TARGET_CHANGED, 0},
        {"new target", song, false, nullptr, PLAT_RENAMED, 0},
    };
    for (const Case& c : cases) {
        plat_temp t;
        ASSERT_EQ(plat_temp_create(&t, c.target.c_str()), 0) << c.what;
        ASSERT_EQ(plat_temp_write(&t, c.what, strlen(c.what)), 0) << c.what;
        ASSERT_EQ(plat_temp_close(&t), 0) << c.what;
        if (c.remove_temp) {
            ASSERT_EQ(unlink(t.temp_name), 0) << c.what;
        }
        int renamed = plat_temp_rename(&t, c.src);
        EXPECT_EQ(renamed, c.renamed) << c.what;
        if (renamed == PLAT_RENAME_FAILED) {
            EXPECT_EQ(t.code, c.code) << c.what;
        }
        if (renamed == PLAT_RENAMED)
            plat_temp_release(&t);
        else
            plat_temp_discard(&t);
    }
    plat_close(&other_file);
    EXPECT_EQ(read_file(song), S("new target"));
    EXPECT_EQ(list_dir(dir.path),
              (std::vector<std::string>{"folder.mp3", "other.mp3", "song.mp3"}));
}

// A splice list rendered over a synthetic old file: kept regions with a size field patched inside
// one (a RIFF size at byte 4), a replaced region with its own size fields, one of them the
// growable padding's, a borrowed piece, and a replaced tail. The fields that count the growth
// count the zero bytes the padding took (none where the file system cannot share blocks; then the
// kept region after the padding starts at the old offset in a block).
TEST(AtomicWrite, SpliceListRendersRegionsAndSizeFields) {
    TempDir dir;
    std::string song = dir.file("song.wav");
    Bytes old;
    for (int i = 0; i < 3 * 4096 + 123; i++)
        old.push_back((uint8_t)(i * 7 + i / 251));
    ASSERT_TRUE(write_file(song, old));
    id3_file f;
    ASSERT_EQ(id3_file_open_mode(&f, song.c_str(), ID3_OPEN_WRITE), 0) << id3_last_error();
    id3_file_guard guard{&f};

    Bytes chunk =
        S("id3 ") + repeat(0xEE, 4) + S("ID3") + repeat(0xEE, 4) + S("pad") + repeat(0, 5);
    Bytes tail = S("TAG-") + repeat(0xEE, 3);
    Bytes piece = S("<borrowed>");
    const uint64_t chunk_len = chunk.size() + piece.size();
    id3_head_piece pieces[] = {{8, piece.data(), piece.size()}};
    id3_splice splices[] = {
        {ID3_SPLICE_KEEP, 0, 12, nullptr, nullptr, 0},
        {ID3_SPLICE_BYTES, 0, chunk.size(), chunk.data(), pieces, 1},
        {ID3_SPLICE_KEEP, 100, old.size() - 100 - 20, nullptr, nullptr, 0},
        {ID3_SPLICE_BYTES, 0, tail.size(), tail.data(), nullptr, 0},
    };
    id3_size_patch patches[] = {
        {ID3_FIELD_LE32, 0, 4, 0x01020304, true}, {ID3_FIELD_BE32, 1, 4, chunk_len - 8, true},
        {ID3_FIELD_SYNCSAFE28, 1, 11, 300, true}, {ID3_FIELD_BE24, 2, 50, 0xABCDEF, false},
        {ID3_FIELD_BE24, 3, 4, 7, false},
    };
    id3_splice_list list = {splices, 4, patches, 5, 1, 0, 0};
    plat_temp temp;
    ASSERT_EQ(id3_replace_fill_splices(&temp, song.c_str(), &f, &list), 0) << id3_last_error();
    ASSERT_EQ(id3_replace_commit(&temp, song.c_str(), &f, false, true), 0) << id3_last_error();

    Bytes got = read_file(song);
    uint64_t base_len = 12 + chunk_len + (old.size() - 120) + tail.size();
    ASSERT_GE(got.size(), base_len);
    uint32_t extra = (uint32_t)(got.size() - base_len);
    Bytes kept(old.begin() + 100, old.end() - 20);
    kept[50] = 0xAB;
    kept[51] = 0xCD;
    kept[52] = 0xEF;
    Bytes expected = Bytes(old.begin(), old.begin() + 4) + le32(0x01020304 + extra) +
                     Bytes(old.begin() + 8, old.begin() + 12) + S("id3 ") +
                     be32((uint32_t)chunk_len - 8 + extra) + piece + S("ID3") +
                     syncsafe(300 + extra) + S("pad") + repeat(0, 5 + extra) + kept + S("TAG-") +
                     be24(7);
    EXPECT_EQ(got, expected);
    struct statfs fs;
    ASSERT_EQ(statfs(dir.path.c_str(), &fs), 0);
    if (extra > 0) {
        EXPECT_LT(extra, (uint64_t)fs.f_bsize);
        EXPECT_EQ((12 + chunk_len + extra) % fs.f_bsize, 100u % fs.f_bsize);
    }
}

// Lists that do not fit the old file are refused before anything is created.
TEST(AtomicWrite, SpliceListThatDoesNotFitIsRefused) {
    TempDir dir;
    std::string song = dir.file("song.mp3");
    ASSERT_TRUE(write_file(song, repeat(0x55, 64)));
    id3_file f;
    ASSERT_EQ(id3_file_open(&f, song.c_str()), 0) << id3_last_error();
    id3_file_guard guard{&f};
    Bytes own = repeat(0, 8);
    struct Case {
        const char* what;
        id3_splice kept;
        id3_size_patch patches[2];
        uint64_t patch_count;
        int64_t grows;
    };
    const Case cases[] = {
        {"kept region past the end", {ID3_SPLICE_KEEP, 60, 5, nullptr, nullptr, 0}, {}, 0, -1},
        {"patch past its splice",
         {ID3_SPLICE_KEEP, 0, 64, nullptr, nullptr, 0},
         {{ID3_FIELD_BE32, 1, 5, 1, false}},
         1,
         -1},
        {"value its field cannot hold",
         {ID3_SPLICE_KEEP, 0, 64, nullptr, nullptr, 0},
         {{ID3_FIELD_SYNCSAFE28, 1, 0, 1u << 28, false}},
         1,
         -1},
        {"patches out of order",
         {ID3_SPLICE_KEEP, 0, 64, nullptr, nullptr, 0},
         {{ID3_FIELD_BE24, 1, 4, 1, false}, {ID3_FIELD_BE24, 1, 2, 1, false}},
         2,
         -1},
        {"growing a kept region", {ID3_SPLICE_KEEP, 0, 64, nullptr, nullptr, 0}, {}, 0, 0},
    };
    for (const Case& c : cases) {
        id3_splice splices[] = {c.kept, {ID3_SPLICE_BYTES, 0, own.size(), own.data(), nullptr, 0}};
        id3_size_patch patches[2] = {c.patches[0], c.patches[1]};
        id3_splice_list list = {splices, 2, patches, c.patch_count, c.grows, 0, 0};
        plat_temp temp;
        EXPECT_EQ(id3_replace_fill_splices(&temp, song.c_str(), &f, &list), -1) << c.what;
        EXPECT_STREQ(id3_last_error(), "bad splice list") << c.what;
    }
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"song.mp3"});
    EXPECT_EQ(read_file(song), repeat(0x55, 64));
}

TEST(AtomicWrite, UncreatableTemporaryFile) {
    TempDir dir;
    // A parent path component that is a regular file stops even root.
    std::string blocker = dir.file("plain");
    ASSERT_TRUE(write_file(blocker, S("x")));
    std::string target = blocker + "/song.mp3";
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot create temp: " + blocker + " (Not a directory)");
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
    for (const std::string& name : guessable_temp_names(target))
        ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
    // The links are neither followed nor removed.
    ASSERT_EQ(write_bytes(target, S("new")), 0) << id3_last_error();
    EXPECT_EQ(read_file(victim), S("precious"));
    EXPECT_EQ(read_file(target), S("new"));
    struct stat st;
    for (const std::string& name : guessable_temp_names(target))
        EXPECT_TRUE(lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << name;
}

// The folder is opened once: a folder swapped for a symbolic link between the reading and the
// rename (by a user who owns it, while a more privileged process writes) cannot redirect the
// replacement into the folder the link names.
TEST(AtomicWrite, FolderSwappedForALinkDoesNotRedirectTheReplacement) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("music").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("other").c_str(), 0755), 0);
    const Bytes original = S("ID3") + B({4, 0, 0}) + syncsafe(0) + repeat(0x11, 5000);
    std::string song = dir.file("music/song.mp3");
    ASSERT_TRUE(write_file(song, original));
    ASSERT_TRUE(write_file(dir.file("other/song.mp3"), S("another folder's file")));

    id3_file f;
    ASSERT_EQ(id3_file_open_mode(&f, song.c_str(), ID3_OPEN_WRITE), 0) << id3_last_error();
    id3_record t;
    id3_record_init(&t);
    t.title = strdup("new");
    id3_head head = {};
    ASSERT_EQ(
        build_head_for(&f, ID3_FMT_MP3, &t, id3_change{ID3_NAMED_TITLE, 0, nullptr, 0}, &head), 0);
    plat_temp temp;
    ASSERT_EQ(id3_replace_fill(&temp, song.c_str(), &f, &head), 0) << id3_last_error();
    // The steps of the commit, with the swap after the last check of the source by its path.
    ASSERT_EQ(plat_temp_sync(&temp), 0);
    ASSERT_EQ(plat_file_unchanged(&f.pf, song.c_str()), 1);
    ASSERT_EQ(rename(dir.file("music").c_str(), dir.file("music-moved").c_str()), 0);
    ASSERT_EQ(symlink("other", dir.file("music").c_str()), 0);
    ASSERT_EQ(plat_temp_close(&temp), 0) << strerror(errno);
    int renamed = plat_temp_rename(&temp, &f.pf);
    if (renamed == PLAT_RENAMED) {
        EXPECT_EQ(plat_flush_folder(&temp), 0);
        plat_temp_release(&temp);
    } else {
        plat_temp_discard(&temp);
    }
    id3_head_release(&head);
    id3_record_free(&t);
    id3_file_close(&f);

    EXPECT_EQ(read_file(dir.file("other/song.mp3")), S("another folder's file"));
    EXPECT_EQ(list_dir(dir.file("other")), std::vector<std::string>{"song.mp3"});
    // The file that was read, in the folder that was opened, is the one replaced.
    EXPECT_EQ(renamed, PLAT_RENAMED);
    Bytes moved = read_file(dir.file("music-moved/song.mp3"));
    EXPECT_NE(moved, original);
    EXPECT_EQ(Bytes(moved.end() - 5000, moved.end()), repeat(0x11, 5000));
    EXPECT_EQ(list_dir(dir.file("music-moved")), std::vector<std::string>{"song.mp3"});
}

// A sparse file keeps its holes: only the data of the old file is copied into the new one.
TEST(AtomicWrite, SparseFileKeepsItsHoles) {
    TempDir dir;
    std::string song = dir.file("sparse.mp3");
    const Bytes start =
        S("ID3") + B({4, 0, 0}) + syncsafe(0) + B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0x11, 4096);
    ASSERT_TRUE(write_file(song, start));
    const off_t size = 64 << 20;
    {
        int fd = open(song.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "tail", 4, size - 4), 4);
        close(fd);
    }
    struct stat st;
    ASSERT_EQ(stat(song.c_str(), &st), 0);
    if ((off_t)st.st_blocks * 512 >= size / 2)
        GTEST_SKIP() << "this file system keeps no holes";
    ASSERT_EQ(id3_write(song.c_str(), "{\"title\":\"holes\"}"), 0) << id3_last_error();
    ASSERT_EQ(stat(song.c_str(), &st), 0);
    Bytes now = read_file(song);
    ASSERT_GT(now.size(), (size_t)size);
    EXPECT_EQ(Bytes(now.end() - 4, now.end()), S("tail"));
    EXPECT_EQ(now[now.size() - 5], 0);
    EXPECT_EQ(now[now.size() / 2], 0);
    EXPECT_LT((off_t)st.st_blocks * 512, 4 << 20) << "the holes were filled";
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
    std::string got = output_of_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        int rc = write_bytes(target, image);
        return std::to_string(rc) + ":" + id3_last_error();
    });
    EXPECT_EQ(got, "-1:short write: " + target + " (" + strerror(EFBIG) + ")");
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

// A name that leaves no room for ".quorvale-tmp.PID.RANDOM" within the folder's limit of 255 bytes
// is still written: the temporary name takes a shorter part of it, cut between two characters.
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
        // ".quorvale-tmp.PID.XXXXXXXX", the last part random.
        std::string suffix = ".quorvale-tmp." + std::to_string(getpid()) + ".";
        EXPECT_LE(temp_base.size(), 255u);
        ASSERT_GT(temp_base.size(), suffix.size() + 8);
        std::string kept = temp_base.substr(0, temp_base.size() - suffix.size() - 8);
        EXPECT_EQ(temp_base.substr(kept.size(), suffix.size()), suffix);
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
    // EditedInPlace: a tag editor's "keep file times" rewrites bytes in place and puts the
    // modification time back; only the change time tells.
    enum Change { Appended, Replaced, EditedInPlace };
    for (Change change : {Appended, Replaced, EditedInPlace}) {
        SCOPED_TRACE(change == Appended   ? "appended"
                     : change == Replaced ? "replaced"
                                          : "in place");
        TempDir dir;
        std::string target = dir.file("song.mp3");
        ASSERT_TRUE(write_file(target, original));
        id3_file f;
        ASSERT_EQ(id3_file_open(&f, target.c_str()), 0) << id3_last_error();
        id3_record t;
        id3_record_init(&t);
        t.title = strdup("new");
        id3_head head = {};
        ASSERT_EQ(
            build_head_for(&f, ID3_FMT_MP3, &t, id3_change{ID3_NAMED_TITLE, 0, nullptr, 0}, &head),
            0);
        Bytes after_change = original + S("appended");
        if (change == EditedInPlace) {
            after_change = original;
            after_change[100] = 0x22;
            struct stat before;
            ASSERT_EQ(stat(target.c_str(), &before), 0);
            int fd = open(target.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(pwrite(fd, "\x22", 1, 100), 1);
            struct timespec times[2] = {before.st_atim, before.st_mtim};
            ASSERT_EQ(futimens(fd, times), 0);
            close(fd);
        } else if (change == Appended) {
            FILE* out = fopen(target.c_str(), "ab");
            ASSERT_NE(out, nullptr);
            fputs("appended", out);
            fclose(out);
        } else {
            ASSERT_TRUE(write_file(dir.file("other"), after_change));
            ASSERT_EQ(rename(dir.file("other").c_str(), target.c_str()), 0);
        }
        EXPECT_EQ(replace_with_head(target.c_str(), &f, &head), -1);
        EXPECT_EQ(std::string(id3_last_error()), "file changed while writing: " + target);
        id3_head_release(&head);
        id3_record_free(&t);
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
