// Helpers shared by the tests: byte builders for fixtures, and files in a per-test temporary
// folder.
#ifndef QID3_TEST_UTIL_H
#define QID3_TEST_UTIL_H

#include <stdint.h>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Byte builders: B({0x49, 0x44}) + S("ID3") + be32(5) ...
Bytes B(std::initializer_list<int> bytes);
Bytes S(const std::string& text); // the text's bytes, no terminator
Bytes be16(uint32_t v);
Bytes be24(uint32_t v);
Bytes be32(uint32_t v);
Bytes be64(uint64_t v);
Bytes le32(uint32_t v);
Bytes syncsafe(uint32_t v);
Bytes repeat(uint8_t byte, size_t count);
Bytes operator+(Bytes a, const Bytes& b);
Bytes& operator+=(Bytes& a, const Bytes& b);

// A fresh folder for one test, removed (with its contents) when the object goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const; // path + "/" + name
};

bool write_file(const std::string& path, const Bytes& data);
Bytes read_file(const std::string& path); // empty when the file cannot be read
bool file_exists(const std::string& path);
// Names in a folder (without "." and ".."), sorted.
std::vector<std::string> list_dir(const std::string& path);
std::string hex(const Bytes& data); // "49 44 33" for diagnostics

#endif
