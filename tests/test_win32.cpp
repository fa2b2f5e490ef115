// What a Windows caller sees: the replacement of a file through MoveFileExA and the codes it
// refuses with, paths in the ANSI code page, 64-bit seeking, _strnicmp, and the one error text per
// process.
#include "id3_internal.h"
#include "platform.h"
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <process.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string temp_name(const std::string& target) {
    return target + ".quorvale-tmp." + std::to_string(_getpid());
}

int write_bytes(const std::string& path, const Bytes& data) {
    return id3_atomic_write(path.c_str(), data.data(), data.size());
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
    Bytes frame = S("TIT2") + be32(4) + B({0, 0}) + B({0}) + S("old");
    return S("ID3") + B({3, 0, 0}) + syncsafe((uint32_t)frame.size()) + frame +
           B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0, 413);
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
            ASSERT_TRUE(write_file(temp_name(target), repeat('x', 5000)));
        }
        ASSERT_EQ(id3_atomic_write(target.c_str(), c.image.data(), c.image.size()), 0)
            << c.name << ": " << id3_last_error();
        EXPECT_EQ(read_file(target), c.image) << c.name;
        names.push_back(c.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list_dir(dir.path), names);
}

// A folder occupying "<target>.quorvale-tmp.<pid>" shows that this is the name the temporary file
// gets: its creation fails, and neither the target nor the folder is touched.
TEST(WinReplace, TemporaryNameCarriesTheProcessId) {
    TempDir dir;
    std::string target = dir.file("song.mp3");
    ASSERT_TRUE(write_file(target, S("old")));
    ASSERT_TRUE(CreateDirectoryA(temp_name(target).c_str(), nullptr));
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              std::string("cannot create temp: ") + strerror(EACCES));
    EXPECT_EQ(read_file(target), S("old"));
    EXPECT_EQ(GetFileAttributesA(temp_name(target).c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              (DWORD)FILE_ATTRIBUTE_DIRECTORY);
}

TEST(WinReplace, MissingFolderFailsAtTheTemporaryFile) {
    TempDir dir;
    std::string target = dir.file("no-such-folder/song.mp3");
    EXPECT_EQ(write_bytes(target, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()),
              std::string("cannot create temp: ") + strerror(ENOENT));
    EXPECT_TRUE(list_dir(dir.path).empty());
}

// MoveFileExA refuses with ERROR_ACCESS_DENIED a target that is a folder, and a target that another
// handle holds open without FILE_SHARE_DELETE (as fopen and many programs open files).
// Either way the target stays as it was and the temporary file is gone.
TEST(WinReplace, RefusedTargetsGiveTheAccessDeniedMessage) {
    TempDir dir;
    std::string folder = dir.file("d.mp3");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(write_file(folder + "/inside", S("x")));
    EXPECT_EQ(write_bytes(folder, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()), refused(folder));
    EXPECT_EQ(read_file(folder + "/inside"), S("x"));

    std::string held = dir.file("held.mp3");
    ASSERT_TRUE(write_file(held, S("old")));
    const DWORD shares[] = {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE};
    for (DWORD share : shares) {
        HANDLE h = CreateFileA(held.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(write_bytes(held, S("new")), -1) << "share " << share;
        EXPECT_EQ(std::string(id3_last_error()), refused(held));
        CloseHandle(h);
        EXPECT_EQ(read_file(held), S("old"));
    }
    FILE* open_for_reading = fopen(held.c_str(), "rb");
    ASSERT_NE(open_for_reading, nullptr);
    EXPECT_EQ(write_bytes(held, S("new")), -1);
    EXPECT_EQ(std::string(id3_last_error()), refused(held));
    fclose(open_for_reading);

    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"d.mp3", "held.mp3"}));
    // Once the handles are closed the same write goes through.
    ASSERT_EQ(write_bytes(held, S("new")), 0) << id3_last_error();
    EXPECT_EQ(read_file(held), S("new"));
}

// Windows refuses to replace a file with the read-only attribute (ERROR_ACCESS_DENIED). Wine does
// not: its MoveFileExA replaces the file, and the attribute goes with the old file.
TEST(WinReplace, ReadOnlyAttribute) {
    TempDir dir;
    std::string target = dir.file("ro.mp3");
    ASSERT_TRUE(write_file(target, S("keep me")));
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    int rc = write_bytes(target, S("new"));
    if (running_under_wine()) {
        EXPECT_EQ(rc, 0) << id3_last_error();
        EXPECT_EQ(read_file(target), S("new"));
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(std::string(id3_last_error()), refused(target));
        EXPECT_EQ(read_file(target), S("keep me"));
        EXPECT_TRUE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
    }
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"ro.mp3"});
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The rename's failure code is passed on unchanged: the caller words its message from it.
TEST(WinPlatform, ReplaceFileReturnsTheSystemCode) {
    TempDir dir;
    std::string temp = dir.file("t.tmp");
    std::string target = dir.file("song.mp3");
    ASSERT_TRUE(CreateDirectoryA(dir.file("folder").c_str(), nullptr));
    struct Case {
        const char* what;
        bool make_temp;
        std::string target;
        unsigned long code;
    };
    const Case cases[] = {
        {"no temporary file", false, target, ERROR_FILE_NOT_FOUND},
        {"missing folder", true, dir.file("none/song.mp3"), ERROR_PATH_NOT_FOUND},
        {"folder target", true, dir.file("folder"), ERROR_ACCESS_DENIED},
        {"new target", true, target, 0},
        {"existing target", true, target, 0},
    };
    for (const Case& c : cases) {
        if (c.make_temp) {
            ASSERT_TRUE(write_file(temp, S(c.what)));
        }
        EXPECT_EQ(plat_replace_file(temp.c_str(), c.target.c_str()), c.code) << c.what;
        if (c.code == 0) {
            EXPECT_EQ(read_file(target), S(c.what));
        }
        plat_unlink(temp.c_str());
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"folder", "song.mp3"}));
}

// Committing to the disk: FlushFileBuffers needs a handle with write access. A stream opened for
// reading is refused, and the failure is reported with errno set, never as success.
TEST(WinPlatform, FlushToDiskReportsFailure) {
    TempDir dir;
    std::string path = dir.file("f.bin");
    ASSERT_TRUE(write_file(path, S("data")));
    FILE* w = fopen(path.c_str(), "ab");
    ASSERT_NE(w, nullptr);
    ASSERT_GE(fputs("more", w), 0);
    EXPECT_EQ(fflush(w), 0);
    EXPECT_EQ(plat_flush_to_disk(w), 0);
    fclose(w);

    FILE* r = fopen(path.c_str(), "rb");
    ASSERT_NE(r, nullptr);
    errno = 0;
    EXPECT_EQ(plat_flush_to_disk(r), -1);
    EXPECT_EQ(errno, EACCES);
    fclose(r);
}

// Sizes beyond 4 GiB come through the 64-bit seek and tell intact. SetEndOfFile extends the file
// without writing it, so this costs no disk space on NTFS or under Wine.
TEST(WinPlatform, SeekAndTellBeyond4GiB) {
    TempDir dir;
    std::string path = dir.file("big.bin");
    const int64_t size = (int64_t(5) << 30) + 10;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = size;
    bool extended = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    ASSERT_TRUE(extended);
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat_seek_end(f), 0);
    EXPECT_EQ(plat_tell(f), size);
    fclose(f);
    DeleteFileA(path.c_str());
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

// The error text is one per process: a message left by a call on one thread is what another
// thread reads next.
TEST(WinErrorText, BelongsToTheProcessNotTheThread) {
    std::string missing = "C:\\no-such-folder-qid3\\x.mp3";
    std::thread worker([&] { EXPECT_EQ(id3_read(missing.c_str()), nullptr); });
    worker.join();
    EXPECT_EQ(std::string(id3_last_error()),
              "cannot open: " + missing + " (" + strerror(ENOENT) + ")");
    std::thread clearer([] { EXPECT_EQ(id3_write(nullptr, "{}"), -1); });
    clearer.join();
    EXPECT_STREQ(id3_last_error(), "NULL argument");
}
