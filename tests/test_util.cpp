#include "test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

Bytes B(std::initializer_list<int> bytes) {
    Bytes out;
    for (int b : bytes)
        out.push_back((uint8_t)b);
    return out;
}
Bytes S(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
Bytes be16(uint32_t v) {
    return B({(int)(v >> 8 & 0xFF), (int)(v & 0xFF)});
}
Bytes be24(uint32_t v) {
    return B({(int)(v >> 16 & 0xFF), (int)(v >> 8 & 0xFF), (int)(v & 0xFF)});
}
Bytes be32(uint32_t v) {
    return B({(int)(v >> 24), (int)(v >> 16 & 0xFF), (int)(v >> 8 & 0xFF), (int)(v & 0xFF)});
}
Bytes be64(uint64_t v) {
    return be32((uint32_t)(v >> 32)) + be32((uint32_t)v);
}
Bytes le32(uint32_t v) {
    return B({(int)(v & 0xFF), (int)(v >> 8 & 0xFF), (int)(v >> 16 & 0xFF), (int)(v >> 24)});
}
Bytes syncsafe(uint32_t v) {
    return B({(int)(v >> 21 & 0x7F), (int)(v >> 14 & 0x7F), (int)(v >> 7 & 0x7F), (int)(v & 0x7F)});
}
Bytes repeat(uint8_t byte, size_t count) {
    return Bytes(count, byte);
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes& operator+=(Bytes& a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TempDir::TempDir() {
    static std::mt19937_64 rng{std::random_device{}()};
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path p = base / ("qid3-test-" + std::to_string(rng() % 1000000000ull));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            // Forward slashes on Windows too, so that paths go into JSON texts unescaped.
            path = p.generic_string();
            break;
        }
    }
}
TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}
std::string TempDir::file(const std::string& name) const {
    return path + "/" + name;
}

bool write_file(const std::string& path, const Bytes& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    size_t n = data.empty() ? 0 : fwrite(data.data(), 1, data.size(), f);
    bool ok = n == data.size();
    return fclose(f) == 0 && ok;
}
Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}
std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(path, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
std::string hex(const Bytes& data) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
        out += buf;
    }
    return out;
}
