// Paths on Windows through id3_use_utf8_paths, as a program without a UTF-8 manifest calls the
// library: names the ANSI code page cannot spell (Japanese, a character outside the BMP) and a
// path over 260 characters, each read, written, given a cover, its cover saved and written in a
// batch; with the switch off, the narrow calls as before.
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring wide_of(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], n);
    w.resize((size_t)n - 1);
    return w;
}

// The test's own files, made with the wide calls and the long-path prefix, whatever the library
// does.
std::wstring long_form(const std::string& utf8) {
    std::wstring w = wide_of(utf8);
    for (wchar_t& c : w)
        if (c == L'/')
            c = L'\\';
    return L"\\\\?\\" + w;
}

bool put_file(const std::string& utf8, const Bytes& data) {
    HANDLE h = CreateFileW(long_form(utf8).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD wrote = 0;
    BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &wrote, nullptr);
    CloseHandle(h);
    return ok && wrote == data.size();
}

Bytes get_file(const std::string& utf8) {
    HANDLE h = CreateFileW(long_form(utf8).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    Bytes data(1 << 20);
    DWORD got = 0;
    ReadFile(h, data.data(), (DWORD)data.size(), &got, nullptr);
    CloseHandle(h);
    data.resize(got);
    return data;
}

std::string take(char* json) {
    std::string text = json ? json : "NULL: " + std::string(id3_last_error());
    id3_free_string(json);
    return text;
}

// An absolute folder of the test's temporary folder, with forward slashes turned back.
std::string absolute(const std::string& path) {
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::string(full, n) : path;
}

struct Utf8Paths {
    Utf8Paths() { EXPECT_EQ(id3_use_utf8_paths(1), 0); }
    ~Utf8Paths() { id3_use_utf8_paths(0); }
};

TEST(Win32Paths, NamesTheCodePageCannotSpellAndLongPaths) {
    TempDir dir;
    std::string root = absolute(dir.path);
    std::string deep = root + "\\" + std::string(120, 'd');
    ASSERT_TRUE(CreateDirectoryW(long_form(deep).c_str(), nullptr));
    deep += "\\" + std::string(120, 'e');
    ASSERT_TRUE(CreateDirectoryW(long_form(deep).c_str(), nullptr));
    Bytes sample = read_file(std::string(QID3_SAMPLES_DIR) + "/sample.flac");
    Bytes png = read_file(std::string(QID3_SAMPLES_DIR) + "/cover.png");
    ASSERT_FALSE(sample.empty());
    struct Case {
        const char* what;
        std::string path;
    };
    std::vector<Case> cases = {
        {"Japanese", root + "\\\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.flac"}, // 日本語
        {"outside the BMP", root + "\\song-\xF0\x9F\x8E\xB5.flac"},         // U+1F3B5
        {"300 characters", deep + "\\" + std::string(300 - deep.size() - 6, 'f') + ".flac"},
        {"relative, forward slashes", ""},
    };
    ASSERT_GE(cases[2].path.size(), 300u);
    for (Case& c : cases) {
        if (c.path.empty())
            continue;
        ASSERT_TRUE(put_file(c.path, sample)) << c.what;
    }
    std::string picture = root + "\\\xF0\x9F\x96\xBC.png"; // U+1F5BC, the cover's own name
    ASSERT_TRUE(put_file(picture, png));
    // A relative path in forward slashes, from the Japanese name's folder.
    ASSERT_TRUE(SetCurrentDirectoryW(wide_of(root).c_str()));
    cases[3].path = "./\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.flac";

    Utf8Paths utf8;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string before = take(id3_read(c.path.c_str()));
        ASSERT_EQ(before.find("NULL"), std::string::npos) << before;
        ASSERT_EQ(id3_write(c.path.c_str(), "{\"title\":\"\xE6\x9B\xB2 \xF0\x9F\x8E\xB5\"}"), 0)
            << id3_last_error();
        EXPECT_NE(take(id3_read_all(c.path.c_str()))
                      .find("\"TITLE\":[\"\xE6\x9B\xB2 \xF0\x9F\x8E\xB5\"]"),
                  std::string::npos);
        ASSERT_EQ(id3_set_cover(c.path.c_str(), picture.c_str()), 0) << id3_last_error();
        std::string out = c.path + ".png";
        ASSERT_EQ(id3_extract_cover(c.path.c_str(), out.c_str()), 0) << id3_last_error();
        // The test reads it back by its absolute name (the prefix takes no relative path).
        EXPECT_EQ(get_file(c.path[0] == '.' ? root + c.path.substr(1) + ".png" : out), png);
        std::string list = "[\"" + c.path + "\"]";
        for (char& ch : list)
            if (ch == '\\')
                ch = '/'; // JSON needs no escapes then
        EXPECT_EQ(id3_batch(list.c_str(), "{\"album\":\"\xE3\x83\x90\"}"), 1) << id3_last_error();
        EXPECT_NE(take(id3_read(c.path.c_str())).find("\"album\":\"\xE3\x83\x90\""),
                  std::string::npos);
        EXPECT_STREQ(id3_last_error(), "");
    }
    // A missing file is named as given, with the system's reason and code.
    std::string missing = root + "\\\xF0\x9F\x8E\xB5-missing.flac";
    EXPECT_EQ(id3_read(missing.c_str()), nullptr);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: " + missing + " (", 0), 0u)
        << id3_last_error();
    EXPECT_EQ(id3_last_error_code(), ID3_ERROR_NOT_FOUND);
    // Bytes that are not UTF-8 name no file.
    EXPECT_EQ(id3_read((root + "\\\xFF.flac").c_str()), nullptr);
    EXPECT_EQ(std::string(id3_last_error()).rfind("cannot open: ", 0), 0u);
}

// With the switch off (the default), paths are the ANSI code page's, as before: the UTF-8 bytes
// of a Japanese name do not name the file.
TEST(Win32Paths, NarrowPathsByDefault) {
    TempDir dir;
    std::string root = absolute(dir.path);
    std::string name = root + "\\\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.flac";
    ASSERT_TRUE(put_file(name, read_file(std::string(QID3_SAMPLES_DIR) + "/sample.flac")));
    ASSERT_TRUE(
        put_file(root + "\\plain.flac", read_file(std::string(QID3_SAMPLES_DIR) + "/sample.flac")));
    if (GetACP() != CP_UTF8) {
        EXPECT_EQ(id3_read(name.c_str()), nullptr);
    }
    EXPECT_EQ(take(id3_read((root + "\\plain.flac").c_str())).find("NULL"), std::string::npos);
    {
        Utf8Paths utf8;
        EXPECT_EQ(take(id3_read(name.c_str())).find("NULL"), std::string::npos);
    }
    if (GetACP() != CP_UTF8) {
        EXPECT_EQ(id3_read(name.c_str()), nullptr);
    }
}

} // namespace
