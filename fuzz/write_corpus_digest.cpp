// The bytes the write round-trip target leaves, one line per input file, so that two builds of the
// library can be compared by diffing their output:
//
//   write_corpus_digest FILE...
//
// Each file is copied to a temporary folder (on tmpfs when there is one) under the name the fuzz
// target uses, read (id3_read and id3_read_all), then written as that target writes it: {} twice,
// its fixed tag object and its properties object; then, with --cover IMAGE, the picture is set and
// the front cover extracted. Every call is made, refused or not. A line holds the input's path as
// given and, for each call, its result, id3_last_error()'s text after a refusal, and the SHA-256 of
// what it gave (the JSON text, the file's bytes after a write, the extracted picture's bytes), and
// the JSON of both reads after the last write. Only the public interface is used, so the program
// links against any build of the library.
//
//   write_corpus_digest [--cover IMAGE] FILE...
#include "fuzz_write_tags.h"
#include "quorvale_id3tag.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

static bool read_all(const char* path, Bytes* out) {
    FILE* f = fopen(path, "rb");
    if (!f)
        return false;
    uint8_t chunk[65536];
    size_t n;
    out->clear();
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out->insert(out->end(), chunk, chunk + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

static bool write_all(const char* path, const Bytes& b) {
    FILE* f = fopen(path, "wb");
    if (!f)
        return false;
    bool ok = (b.empty() || fwrite(b.data(), 1, b.size(), f) == b.size());
    return fclose(f) == 0 && ok;
}

// SHA-256 (FIPS 180-4): 64-byte blocks, the message padded with 0x80, zeros and its bit length.
static uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

static void sha256_block(uint32_t h[8], const uint8_t* p) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 |
               (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 =
            hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
}

static std::string sha256_hex(const Bytes& msg) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t whole = msg.size() / 64 * 64;
    for (size_t at = 0; at < whole; at += 64)
        sha256_block(h, msg.data() + at);
    uint8_t tail[128] = {0};
    size_t rest = msg.size() - whole;
    if (rest > 0)
        memcpy(tail, msg.data() + whole, rest);
    tail[rest] = 0x80;
    size_t tail_len = rest + 9 <= 64 ? 64 : 128;
    uint64_t bits = (uint64_t)msg.size() * 8;
    for (int i = 0; i < 8; i++)
        tail[tail_len - 1 - i] = (uint8_t)(bits >> (8 * i));
    for (size_t at = 0; at < tail_len; at += 64)
        sha256_block(h, tail + at);
    char hex[65];
    for (int i = 0; i < 8; i++)
        snprintf(hex + 8 * i, 9, "%08x", h[i]);
    return hex;
}

// A message with the temporary folder's name, which differs from run to run, replaced by "TMP".
static std::string masked(std::string msg, const std::string& folder) {
    for (size_t at; (at = msg.find(folder)) != std::string::npos;)
        msg.replace(at, folder.size(), "TMP");
    return msg;
}

// A read's result: "-" and the error text when it fails, else the SHA-256 of its JSON text.
static std::string read_digest(char* json, const std::string& folder) {
    if (!json)
        return "- \"" + masked(id3_last_error(), folder) + "\"";
    std::string text = json;
    id3_free_string(json);
    return sha256_hex(Bytes(text.begin(), text.end()));
}

int main(int argc, char** argv) {
    const char* cover = nullptr;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "--cover") == 0) {
        cover = argv[2];
        first = 3;
    }
    if (argc <= first) {
        fprintf(stderr, "usage: write_corpus_digest [--cover IMAGE] FILE...\n");
        return 2;
    }
    struct stat st;
    const char* base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    char folder[64];
    snprintf(folder, sizeof folder, "%s/qid3-write-digest-XXXXXX", base);
    if (!mkdtemp(folder)) {
        perror("write_corpus_digest: temporary folder");
        return 1;
    }
    std::string song = std::string(folder) + "/song";
    std::string picture = std::string(folder) + "/picture";
    int status = 0;
    for (int i = first; i < argc && status == 0; i++) {
        Bytes input, after;
        if (!read_all(argv[i], &input) || !write_all(song.c_str(), input)) {
            fprintf(stderr, "write_corpus_digest: cannot copy %s\n", argv[i]);
            status = 1;
            break;
        }
        printf("%s in=%s", argv[i], sha256_hex(input).c_str());
        printf(" | read %s", read_digest(id3_read(song.c_str()), folder).c_str());
        printf(" | all %s", read_digest(id3_read_all(song.c_str()), folder).c_str());
        for (const char* tags :
             {"{}", "{}", FUZZ_WRITE_TAGS, FUZZ_WRITE_PROPS, (const char*)nullptr}) {
            if (!tags && !cover)
                break;
            int32_t rc = tags ? id3_write(song.c_str(), tags) : id3_set_cover(song.c_str(), cover);
            std::string msg = rc == 0 ? "" : masked(id3_last_error(), folder);
            if (!read_all(song.c_str(), &after)) {
                fprintf(stderr, "write_corpus_digest: %s is gone after a write\n", argv[i]);
                status = 1;
                break;
            }
            printf(" | %d \"%s\" %s", (int)rc, msg.c_str(), sha256_hex(after).c_str());
        }
        if (status != 0)
            break;
        if (cover) {
            Bytes extracted;
            unlink(picture.c_str());
            int32_t rc = id3_extract_cover(song.c_str(), picture.c_str());
            std::string msg = rc == 0 ? "" : masked(id3_last_error(), folder);
            if (rc == 0 && !read_all(picture.c_str(), &extracted))
                extracted.clear();
            printf(" | cover %d \"%s\" %s", (int)rc, msg.c_str(), sha256_hex(extracted).c_str());
            unlink(picture.c_str());
        }
        printf(" | read %s", read_digest(id3_read(song.c_str()), folder).c_str());
        printf(" | all %s", read_digest(id3_read_all(song.c_str()), folder).c_str());
        printf("\n");
    }
    unlink(song.c_str());
    rmdir(folder);
    return status;
}
