#include "test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

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

Bytes id3_tag(int major, int flags, const Bytes& rest) {
    return S("ID3") + B({major, 0, flags}) + syncsafe((uint32_t)rest.size()) + rest;
}
Bytes id3_frame2(const std::string& id, const Bytes& body) {
    return S(id) + be24((uint32_t)body.size()) + body;
}
Bytes id3_frame3(const std::string& id, const Bytes& body, int format_flags) {
    return S(id) + be32((uint32_t)body.size()) + B({0, format_flags}) + body;
}
Bytes id3_frame4(const std::string& id, const Bytes& body, int format_flags) {
    return S(id) + syncsafe((uint32_t)body.size()) + B({0, format_flags}) + body;
}
Bytes id3_text(const std::string& value, int encoding) {
    return B({encoding}) + S(value);
}

Bytes flac_block(int type, const Bytes& body, bool last) {
    return B({type | (last ? 0x80 : 0)}) + be24((uint32_t)body.size()) + body;
}
Bytes flac_audio(size_t n) {
    Bytes out = B({0xFF, 0xF8, 0x69, 0x08});
    for (size_t i = 0; out.size() < n; i++)
        out.push_back((uint8_t)(i * 131 + 7));
    out.resize(n);
    return out;
}
Bytes vorbis_entry(const std::string& text) {
    return le32((uint32_t)text.size()) + S(text);
}
Bytes vorbis_comment(const std::string& vendor, const std::vector<std::string>& comments,
                     std::optional<uint32_t> count) {
    Bytes body = vorbis_entry(vendor) + le32(count ? *count : (uint32_t)comments.size());
    for (const std::string& c : comments)
        body += vorbis_entry(c);
    return body;
}
Bytes flac_picture(uint32_t type, const std::string& mime, const std::string& desc,
                   const Bytes& data, uint32_t width, uint32_t height, uint32_t depth,
                   std::optional<uint32_t> data_len) {
    return be32(type) + be32((uint32_t)mime.size()) + S(mime) + be32((uint32_t)desc.size()) +
           S(desc) + be32(width) + be32(height) + be32(depth) + be32(0) +
           be32(data_len ? *data_len : (uint32_t)data.size()) + data;
}

Bytes ogg_page(uint8_t flags, uint64_t granule, uint32_t serial, uint32_t seq, const Bytes& lacing,
               const Bytes& body) {
    Bytes granule_bytes;
    for (int i = 0; i < 8; i++)
        granule_bytes.push_back((uint8_t)(granule >> (8 * i)));
    Bytes page = S("OggS") + B({0, flags}) + granule_bytes + le32(serial) + le32(seq) + le32(0) +
                 B({(int)lacing.size()}) + lacing + body;
    uint32_t crc = 0;
    for (uint8_t byte : page) {
        crc ^= (uint32_t)byte << 24;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    Bytes field = le32(crc);
    std::copy(field.begin(), field.end(), page.begin() + 22);
    return page;
}
Bytes ogg_packets(uint32_t serial, uint32_t* seq, const std::vector<Bytes>& packets,
                  size_t max_segments, bool own_pages, uint64_t granule) {
    Bytes out, lacing, body;
    bool continued = false, ended = false;
    auto flush = [&](bool still_open) {
        uint8_t flags = (uint8_t)((continued ? 1 : 0) | (*seq == 0 ? 2 : 0));
        out += ogg_page(flags, ended ? granule : UINT64_MAX, serial, (*seq)++, lacing, body);
        lacing.clear();
        body.clear();
        continued = still_open;
        ended = false;
    };
    for (const Bytes& packet : packets) {
        if (own_pages && !lacing.empty())
            flush(false);
        size_t pos = 0;
        for (;;) {
            if (lacing.size() == max_segments)
                flush(true);
            size_t take = std::min<size_t>(255, packet.size() - pos);
            lacing.push_back((uint8_t)take);
            body.insert(body.end(), packet.begin() + pos, packet.begin() + pos + take);
            pos += take;
            if (take < 255)
                break;
        }
        ended = true;
    }
    if (!lacing.empty())
        flush(false);
    return out;
}
std::string base64_text(const Bytes& data) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = (uint32_t)data[i] << 16;
        v |= i + 1 < data.size() ? (uint32_t)data[i + 1] << 8 : 0;
        v |= i + 2 < data.size() ? data[i + 2] : 0;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += i + 1 < data.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? abc[v & 63] : '=';
    }
    return out;
}
Bytes vorbis_id_packet() {
    return S("\x01vorbis") + le32(0) + B({2}) + le32(44100) + le32(0) + le32(128000) + le32(0) +
           B({0xB8, 1});
}
Bytes opus_head_packet() {
    return S("OpusHead") + B({1, 2, 0x38, 1}) + le32(48000) + B({0, 0, 0});
}

Bytes mp4_atom(const std::string& type, const Bytes& payload) {
    return be32((uint32_t)(8 + payload.size())) + S(type) + payload;
}
Bytes mp4_data(const Bytes& value, uint32_t type_code) {
    return mp4_atom("data", be32(type_code) + be32(0) + value);
}

HeapBytes exact_copy(const Bytes& data) {
    HeapBytes copy((uint8_t*)malloc(data.empty() ? 1 : data.size()));
    if (copy && !data.empty())
        memcpy(copy.get(), data.data(), data.size());
    return copy;
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

#ifndef _WIN32
std::string output_of_child(const std::function<std::string()>& fn) {
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out = fn();
        ssize_t ignored = write(fds[1], out.data(), out.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
    return out;
}
#endif
