// What a Windows caller sees: the replacement of a file through MoveFileExA and the codes it
// refuses with, files held open by other programs, only disk files opened, reads and identities of
// open files, paths in the ANSI code page, _strnicmp, and the one error text per process.
#include "id3_internal.h"
#include "platform.h"
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "write_paths.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string temp_name(const std::string& target) {
    return target + ".quorvale-tmp." + std::to_string(_getpid());
}

int write_bytes(const std::string& path, const Bytes& data) {
    return replace_with_bytes(path.c_str(), data.data(), data.size());
}

std::string refused(const std::string& target) {
    return "cannot replace target (read-only or locked): " + target;
}

// Wine gives itself away through an export of its ntdll.
bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::wstring acp_to_wide(const std::string& text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? (size_t)n : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

// The name in the ANSI code page, or "" when a character has no form there.
std::string wide_to_acp(const std::wstring& text) {
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr,
                                &lossy);
    if (n <= 0 || lossy)
        return "";
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, &out[0], n, nullptr,
                        &lossy);
    out.resize(strlen(out.c_str()));
    return lossy ? "" : out;
}

// The names in a folder as the file system holds them (UTF-16), sorted.
std::vector<std::wstring> wide_names(const std::string& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((acp_to_wide(dir) + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(h, &found));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

// An MP3 file: an ID3v2.3 tag holding the title "old", then one MPEG audio frame header and
// silence.
Bytes small_mp3() {
    return id3_tag(3, 0, id3_frame3("TIT2", id3_text("old", 0))) + B({0xFF, 0xFB, 0x90, 0x64}) +
           repeat(0, 413);
}

} // namespace

// Each target ends up holding exactly the new image, whether it existed, and whether a temporary
// file of an earlier killed run (longer than the new image) was left at the temporary name.
TEST(WinReplace, ReplacesOrCreatesTheTarget) {
    struct Case {
        const char* name;
        bool exists;
        bool stale_temp;
        Bytes image;
    };
    const Case cases[] = {
        {"song.mp3", true, false, S("new") + repeat(0xFF, 100000)},
        {"empty.flac", true, false, Bytes()},
        {"created.mp3", false, false, S("abc")},
        {"stale.mp3", true, true, S("new")},
    };
    TempDir dir;
    std::vector<std::string> names;
    for (const Case& c : cases) {
        std::string target = dir.file(c.name);
        if (c.exists) {
            ASSERT_TRUE(write_file(target, S("old contents")));
        }
        if (c.stale_temp) {
            // Left alone: it is not the call's own.
            ASSERT_TRUE(write_file(temp_name(target), repeat('x', 5000)));
            names.push_back(std::string(c.name) + ".quorvale-tmp." + std::to_string(_getpid()));
        }
        ASSERT_EQ(replace_with_bytes(target.c_str(), c.image.data(), c.image.size()), 0)
            << c.name << ": " << id3_last_error();
        EXPECT_EQ(read_file(target), c.image) << c.name;
        names.push_back(c.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list_dir(dir.path), names);
}

// A folder occupying "<target>.quorvale-tmp.<pid>" is passed over: the temporary name has a
// random part too, and nothing that stands at a name like it is touched.
TEST(WinReplace, TemporaryNameIsUnique) {
    TempDir dir;
    std::string target = dir.file("song.mp3");
    ASSERT_TRUE(write_file(target, S("old")));
    ASSERT_TRUE(CreateDirectoryA(temp_name(target).c_str(), nullptr));
    EXPECT_EQ(write_bytes(target, S("new")), 0) << id3_last_error();
    EXPECT_EQ(read_file(target), S("new"));
    EXPECT_EQ(GetFileAttributesA(temp_name(target).c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              (DWORD)FILE_ATTRIBUTE_DIRECTORY);
}

TEST(WinReplace, MissingFolderFailsAtTheTemporaryFile) {
    TempDir dir;
    std::string target = dir.file("no-such-folder/song.mp3");
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot create temp: " + dir.file("no-such-folder") + " (" + strerror(ENOENT) + ")");
    EXPECT_TRUE(list_dir(dir.path).empty());
}

// MoveFileExA refuses with ERROR_ACCESS_DENIED a target that is a folder, and a target that another
// handle holds open without FILE_SHARE_DELETE (as fopen and many programs open files). Either way
// the target stays as it was and the temporary file is gone. A tag write reads the held file first
// (its own handle shares everything) and is refused only at the rename.
TEST(WinReplace, RefusedTargetsGiveTheAccessDeniedMessage) {
    TempDir dir;
    std::string folder = dir.file("d.mp3");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(write_file(folder + "/inside", S("x")));
    EXPECT_EQ(write_bytes(folder, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()), refused(folder));
    EXPECT_EQ(read_file(folder + "/inside"), S("x"));

    std::string held = dir.file("held.mp3");
    const Bytes old = small_mp3();
    ASSERT_TRUE(write_file(held, old));
    const DWORD shares[] = {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE};
    for (DWORD share : shares) {
        HANDLE h = CreateFileA(held.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(write_bytes(held, S("new")), -1) << "share " << share;
        EXPECT_EQ(std::string(id3_last_error()), refused(held));
        EXPECT_EQ(id3_write(held.c_str(), "{\"title\":\"new\"}"), -1) << "share " << share;
        EXPECT_EQ(std::string(id3_last_error()), refused(held));
        CloseHandle(h);
        EXPECT_EQ(read_file(held), old);
    }
    FILE* open_for_reading = fopen(held.c_str(), "rb");
    ASSERT_NE(open_for_reading, nullptr);
    EXPECT_EQ(write_bytes(held, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()), refused(held));
    fclose(open_for_reading);

    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"d.mp3", "held.mp3"}));
    // Once the handles are closed the same writes go through.
    ASSERT_EQ(id3_write(held.c_str(), "{\"title\":\"new\"}"), 0) << id3_last_error();
    char* json = id3_read(held.c_str());
    ASSERT_NE(json, nullptr) << id3_last_error();
    EXPECT_NE(std::string(json).find("\"title\":\"new\""), std::string::npos) << json;
    id3_free_string(json);
    ASSERT_EQ(write_bytes(held, S("new")), 0) << id3_last_error();
    EXPECT_EQ(read_file(held), S("new"));
}

// Only disk files are read: a folder, the NUL device and a named pipe that nobody writes to are
// refused at once, by every call that opens a file, and nothing waits on them. A name that cannot
// exist reads as fopen words it.
TEST(WinOpen, OnlyDiskFilesAreOpened) {
    TempDir dir;
    std::string folder = dir.file("album.mp3");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    // One instance of the pipe for each call that opens it; a client may connect to an instance
    // before its server waits for one.
    std::string pipe = "\\\\.\\pipe\\quorvale-test-" + std::to_string(_getpid());
    std::vector<HANDLE> servers;
    for (int i = 0; i < 3; i++) {
        HANDLE server =
            CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE);
        servers.push_back(server);
    }
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {folder, strerror(EISDIR)},
        {"NUL", "not a regular file"},
        {pipe, "not a regular file"},
        {dir.file("a?b.mp3"), strerror(EINVAL)}, // no name may hold '?'
    };
    for (const Case& c : cases) {
        // Each call runs on a thread of its own, so that one that blocks fails the test instead
        // of hanging it.
        auto messages = std::make_shared<std::promise<std::vector<std::string>>>();
        std::future<std::vector<std::string>> done = messages->get_future();
        std::string path = c.path;
        std::thread([messages, path] {
            std::vector<std::string> got;
            id3_free_string(id3_read(path.c_str()));
            got.push_back(id3_last_error());
            id3_write(path.c_str(), "{\"title\":\"x\"}");
            got.push_back(id3_last_error());
            id3_extract_cover(path.c_str(), (path + ".jpg").c_str());
            got.push_back(id3_last_error());
            messages->set_value(got);
        }).detach();
        ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready)
            << c.path << " blocked";
        std::string expected = "cannot open: " + c.path + " (" + c.reason + ")";
        EXPECT_EQ(done.get(), std::vector<std::string>(3, expected));
    }
    for (HANDLE server : servers)
        CloseHandle(server);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"album.mp3"});
}

// The audio after the tag goes from the old file to the new one in steps; several megabytes of
// bytes that differ everywhere, ending part-way into a step, must arrive unchanged and in order.
TEST(WinReplace, LargeAudioIsCopiedIntact) {
    TempDir dir;
    std::string path = dir.file("long.mp3");
    Bytes audio = B({0xFF, 0xFB, 0x90, 0x64});
    uint32_t x = 2463534242u;
    while (audio.size() < (5u << 20) + 12345) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        audio.push_back((uint8_t)(x >> 24));
    }
    Bytes old = small_mp3();
    size_t old_tag = old.size() - 417;
    ASSERT_TRUE(write_file(path, Bytes(old.begin(), old.begin() + old_tag) + audio));

    ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"a much longer title than before\"}"), 0)
        << id3_last_error();
    Bytes now = read_file(path);
    ASSERT_GT(now.size(), audio.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), now.end() - (ptrdiff_t)audio.size()));
    EXPECT_EQ(now.size(), 10 +
                              (size_t)(((now[6] & 0x7F) << 21) | ((now[7] & 0x7F) << 14) |
                                       ((now[8] & 0x7F) << 7) | (now[9] & 0x7F)) +
                              audio.size());
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"long.mp3"});
}

// Windows refuses to replace a file with the read-only attribute (ERROR_ACCESS_DENIED).
TEST(WinReplace, ReadOnlyAttribute) {
    if (running_under_wine())
        GTEST_SKIP() << "Wine's MoveFileExA replaces a read-only file: only Windows refuses it";
    TempDir dir;
    std::string target = dir.file("ro.mp3");
    ASSERT_TRUE(write_file(target, S("keep me")));
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()), refused(target));
    EXPECT_EQ(read_file(target), S("keep me"));
    EXPECT_TRUE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"ro.mp3"});
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The rename gives its outcome, and a failure other than a refusal passes the system's code on
// unchanged: the caller words its message from them. After a failure the temporary file is
// removed; after a success only the target remains.
TEST(WinPlatform, RenameGivesItsOutcomeAndTheSystemCode) {
    TempDir dir;
    std::string target = dir.file("song.mp3");
    ASSERT_TRUE(CreateDirectoryA(dir.file("folder").c_str(), nullptr));
    struct Case {
        const char* what;
        std::string target;
        bool remove_temp;
        int renamed;
        unsigned long code; // of a failed rename
    };
    const Case cases[] = {
        {"temporary file gone", target, true, PLAT_RENAME_FAILED, ERROR_FILE_NOT_FOUND},
        {"folder target", dir.file("folder"), false, PLAT_RENAME_ACCESS_DENIED, 0},
        {"new target", target, false, PLAT_RENAMED, 0},
        {"existing target", target, false, PLAT_RENAMED, 0},
    };
    for (const Case& c : cases) {
        plat_temp t;
        ASSERT_EQ(plat_temp_create(&t, c.target.c_str()), 0) << c.what;
        EXPECT_EQ(std::string(t.temp_name).rfind(temp_name(c.target) + ".", 0), 0u) << t.temp_name;
        Bytes data = S(c.what);
        ASSERT_EQ(plat_temp_write(&t, data.data(), data.size()), 0) << c.what;
        ASSERT_EQ(plat_temp_sync(&t), 0) << c.what;
        ASSERT_EQ(plat_temp_close(&t), 0) << c.what;
        if (c.remove_temp) {
            ASSERT_TRUE(DeleteFileA(t.temp_name));
        }
        int renamed = plat_temp_rename(&t, nullptr);
        EXPECT_EQ(renamed, c.renamed) << c.what;
        if (renamed == PLAT_RENAME_FAILED) {
            EXPECT_EQ(t.code, c.code) << c.what;
        }
        if (renamed == PLAT_RENAMED) {
            EXPECT_EQ(read_file(target), data);
            EXPECT_EQ(plat_flush_folder(&t), 0);
            plat_temp_release(&t);
        } else {
            plat_temp_discard(&t);
        }
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"folder", "song.mp3"}));
}

// Committing to the disk: FlushFileBuffers needs a handle with write access. A descriptor open for
// reading is refused, and the failure is reported with errno set, never as success.
TEST(WinPlatform, FlushReportsFailure) {
    TempDir dir;
    std::string path = dir.file("f.bin");
    ASSERT_TRUE(write_file(path, S("data")));
    plat_temp t;
    t.fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
    ASSERT_GE(t.fd, 0);
    errno = 0;
    EXPECT_EQ(plat_temp_sync(&t), -1);
    EXPECT_EQ(errno, EACCES);
    _close(t.fd);
}

// Sizes and offsets beyond 4 GiB come through intact. SetEndOfFile extends the file without
// writing it, so this costs no disk space on NTFS or under Wine.
TEST(WinPlatform, SizeAndReadsBeyond4GiB) {
    TempDir dir;
    std::string path = dir.file("big.bin");
    const uint64_t size = (uint64_t(5) << 30) + 10;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)size;
    bool extended = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    ASSERT_TRUE(extended);
    plat_file f;
    ASSERT_EQ(plat_open_read(path.c_str(), &f), 0) << strerror(errno);
    EXPECT_EQ(f.size, size);
    uint8_t buf[20];
    // An offset cut to 32 bits would land 1 GiB into the file and read all 20 bytes.
    EXPECT_EQ(plat_pread(&f, buf, sizeof buf, uint64_t(5) << 30), 10);
    EXPECT_EQ(plat_pread(&f, buf, sizeof buf, size), 0);
    plat_close(&f);
    DeleteFileA(path.c_str());
}

// What identifies an open file: two names of one file give the same volume and index, and any
// change another program makes after the open (its size, its time, or the file at the path) reads
// as changed.
TEST(WinPlatform, ChangesSinceTheOpenAreSeen) {
    TempDir dir;
    std::string path = dir.file("song.mp3");
    std::string other = dir.file("other.mp3");
    std::string link = dir.file("link.mp3");
    enum Change { NONE, APPEND, TIME, MOVED_OVER, DELETED };
    const Change changes[] = {NONE, APPEND, TIME, MOVED_OVER, DELETED};
    for (Change change : changes) {
        ASSERT_TRUE(write_file(path, S("contents")));
        ASSERT_TRUE(write_file(other, S("contents")));
        plat_file f;
        ASSERT_EQ(plat_open_read(path.c_str(), &f), 0) << strerror(errno);
        EXPECT_EQ(f.size, 8u);
        plat_file g;
        ASSERT_EQ(plat_open_read(other.c_str(), &g), 0);
        EXPECT_TRUE(g.device == f.device && g.inode != f.inode) << change;
        plat_close(&g);
        // The handle shares everything: the file may be written, renamed or deleted while it is
        // open here.
        HANDLE h = INVALID_HANDLE_VALUE;
        if (change == APPEND || change == TIME) {
            h = CreateFileA(path.c_str(),
                            change == APPEND ? FILE_APPEND_DATA : FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
        }
        DWORD w = 0;
        const FILETIME old_time = {0x12345678, 0x01D00000};
        switch (change) {
        case NONE:
            break;
        case APPEND:
            EXPECT_TRUE(WriteFile(h, "x", 1, &w, nullptr));
            CloseHandle(h);
            break;
        case TIME:
            EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &old_time));
            CloseHandle(h);
            break;
        case MOVED_OVER:
            // Not over the open file itself: Wine refuses that while a handle is open, and so
            // does Windows without its POSIX-style renames.
            ASSERT_TRUE(MoveFileExA(path.c_str(), (path + ".old").c_str(), 0));
            ASSERT_TRUE(MoveFileExA(other.c_str(), path.c_str(), 0));
            break;
        case DELETED:
            ASSERT_TRUE(DeleteFileA(path.c_str()));
            break;
        }
        // Windows refuses to open a file deleted while open elsewhere, or has removed its name.
        // Wine keeps the name, and the file openable, until the last handle is closed.
        if (change != DELETED || !running_under_wine()) {
            EXPECT_EQ(plat_file_unchanged(&f, path.c_str()), change == NONE ? 1 : 0) << change;
        }
        if (change == NONE) {
            ASSERT_TRUE(CreateHardLinkA(link.c_str(), path.c_str(), nullptr));
            ASSERT_EQ(plat_open_read(link.c_str(), &g), 0);
            EXPECT_TRUE(g.device == f.device && g.inode == f.inode);
            plat_close(&g);
            DeleteFileA(link.c_str());
        }
        plat_close(&f);
        DeleteFileA((path + ".old").c_str());
    }
}

TEST(WinPlatform, StrnicmpComparesAsciiLettersOnly) {
    struct Case {
        const char* a;
        const char* b;
        size_t n;
        int sign; // -1, 0 or 1
    };
    const Case cases[] = {
        {"TITLE=x", "title", 5, 0},
        {"Title", "TITLE", 6, 0},
        {"TITLE", "TITLEX", 6, -1},
        {"tracknumber", "TRACK", 5, 0},
        {"tracknumber", "TRACK", 6, 1},
        {"abc", "xyz", 0, 0},
        {"ab\0x", "AB\0y", 4, 0}, // stops at the terminator
        {"[", "a", 1, -1},        // letters compare as lower case: '[' (0x5B) < 'a' (0x61)
        {"_", "A", 1, -1},        // '_' (0x5F) < 'a'
        {"\xC9", "\xE9", 1, -1},  // bytes above 0x7F are not letters
    };
    for (const Case& c : cases) {
        int got = plat_strnicmp(c.a, c.b, c.n);
        int sign = got < 0 ? -1 : got > 0 ? 1 : 0;
        EXPECT_EQ(sign, c.sign) << c.a << " / " << c.b << " / " << c.n;
    }
}

// Paths cross as narrow texts in the ANSI code page, exactly as fopen takes them; tag texts are
// UTF-8 whatever the code page.
TEST(WinPaths, AnsiCodePageNamesAreReadAndReplaced) {
    TempDir dir;
    std::wstring wide_name = L"caf\u00e9 \u00bd.mp3";
    std::string name = wide_to_acp(wide_name);
    if (name.empty())
        GTEST_SKIP() << "code page " << GetACP() << " has no form for the name";
    std::string path = dir.path + "\\" + name;
    ASSERT_TRUE(write_file(path, small_mp3()));
    ASSERT_EQ(wide_names(dir.path), std::vector<std::wstring>{wide_name});

    ASSERT_EQ(id3_write(path.c_str(), "{\"title\":\"Caf\\u00e9\"}"), 0) << id3_last_error();
    EXPECT_EQ(wide_names(dir.path), std::vector<std::wstring>{wide_name});
    char* json = id3_read(path.c_str());
    ASSERT_NE(json, nullptr) << id3_last_error();
    EXPECT_NE(std::string(json).find("\"title\":\"Caf\xC3\xA9\""), std::string::npos) << json;
    id3_free_string(json);

    // The same name in UTF-8 is another name for fopen, unless UTF-8 is the code page.
    if (GetACP() != CP_UTF8) {
        std::string utf8_path = dir.path + "\\caf\xC3\xA9 \xC2\xBD.mp3";
        EXPECT_EQ(id3_read(utf8_path.c_str()), nullptr);
        EXPECT_EQ(std::string(id3_last_error()),
                  "cannot open: " + utf8_path + " (" + strerror(ENOENT) + ")");
    }
}

// The error text is one per thread: a call on another thread leaves this thread's message as it
// was, and each thread reads its own.
TEST(WinErrorText, BelongsToTheThread) {
    std::string missing = "C:\\no-such-folder-qid3\\x.mp3";
    EXPECT_EQ(id3_write(nullptr, "{}"), -1);
    std::thread worker([&] {
        EXPECT_STREQ(id3_last_error(), "");
        EXPECT_EQ(id3_read(missing.c_str()), nullptr);
        EXPECT_EQ(std::string(id3_last_error()),
                  "cannot open: " + missing + " (" + strerror(ENOENT) + ")");
    });
    worker.join();
    EXPECT_STREQ(id3_last_error(), "NULL argument");
}
