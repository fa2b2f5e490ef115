// Peak memory of a write that carries one huge property value. The caller's JSON text holds the
// value once; the write may add at most one more copy of it plus 16 MiB: the library parses the
// text in place in one copy, the writers borrow the value from that copy (FLAC's comment block,
// at most 16 MiB, is built once), and MP3 and FLAC refuse a value too large for their frame or
// block before building anything.
// Each write runs in a forked child, whose resident high-water mark (ru_maxrss) is its own.
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// Sanitizers keep freed blocks in quarantine and add shadow memory: their resident sizes say
// nothing about the library's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QID3_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define QID3_UNDER_SANITIZER 1
#endif
#endif

#ifndef _WIN32
namespace {

const uint64_t MiB = 1024 * 1024;
// What a write may add to the peak beyond one copy of the value: code, buffers, the file's bytes.
const uint64_t kSlack = 16 * MiB;

// MPEG 1 layer III at 128 kbit/s and 44.1 kHz: a 417-byte frame, then the next frame's header.
const Bytes kMp3Audio =
    B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0x11, 413) + B({0xFF, 0xFB, 0x90, 0x64});

Bytes small_mp3() {
    return id3_tag(4, 0, id3_frame4("TIT2", id3_text("Small"))) + kMp3Audio;
}

Bytes small_flac() {
    return S("fLaC") + flac_block(0, repeat(0x10, 34)) +
           flac_block(4, vorbis_comment("tester", {"TITLE=Small"})) +
           flac_block(1, repeat(0, 64), true) + B({0xFF, 0xF8, 0x69, 0x08}) + repeat(0x22, 300);
}

Bytes small_m4a() {
    Bytes ilst = mp4_atom("\xA9nam", mp4_data(S("Small")));
    Bytes meta = be32(0) + mp4_atom("hdlr", repeat(0, 25)) + mp4_atom("ilst", ilst);
    return mp4_atom("ftyp", S("M4A ") + be32(0) + S("isomM4A ")) +
           mp4_atom("moov", mp4_atom("udta", mp4_atom("meta", meta))) +
           mp4_atom("mdat", repeat(0x33, 50));
}

// Identification page, the comment packet (and for Vorbis the setup packet) on the next page,
// then one page of audio.
Bytes small_ogg(bool opus) {
    uint32_t serial = 0x4D454D31, seq = 0;
    Bytes comments = opus ? S("OpusTags") + vorbis_comment("libopus 1.3.1", {"TITLE=Small"})
                          : S("\x03vorbis") +
                                vorbis_comment("Xiph.Org libVorbis I 20200704", {"TITLE=Small"}) +
                                B({1});
    std::vector<Bytes> headers = {comments};
    if (!opus)
        headers.push_back(S("\x05vorbis") + repeat(0x42, 300));
    Bytes out = ogg_packets(serial, &seq, {opus ? opus_head_packet() : vorbis_id_packet()});
    out += ogg_packets(serial, &seq, headers);
    return out +
           ogg_packets(serial, &seq, {repeat(0x80, 200), repeat(0x81, 300)}, 255, false, 4096);
}

long peak_kib() {
    struct rusage use;
    getrusage(RUSAGE_SELF, &use);
    return use.ru_maxrss; // KiB on Linux
}

// What the child saw: the write's result and message, and how far its peak grew during the call.
struct ChildWrite {
    int rc = -2;
    std::string error;
    uint64_t before_kib = 0, growth_kib = 0;
    bool reported = false;
};

// In a forked child: {"properties":{"COMMENT":["aaa..."]}} with a value of value_len bytes in one
// malloc'd block (every page touched), then one id3_write of it into `path`.
ChildWrite write_in_child(const std::string& path, uint64_t value_len) {
    std::string report = output_of_child([&]() -> std::string {
        static const char head[] = "{\"properties\":{\"COMMENT\":[\"";
        static const char tail[] = "\"]}}";
        size_t head_len = sizeof head - 1, tail_len = sizeof tail - 1;
        char* json = (char*)malloc(head_len + value_len + tail_len + 1);
        if (!json)
            return "no memory for the JSON text";
        memcpy(json, head, head_len);
        memset(json + head_len, 'a', value_len);
        memcpy(json + head_len + value_len, tail, tail_len + 1);
        long before = peak_kib();
        int rc = id3_write(path.c_str(), json);
        long after = peak_kib();
        char figures[64];
        snprintf(figures, sizeof figures, "%d %ld %ld ", rc, before, after);
        return figures + std::string(id3_last_error());
    });
    ChildWrite w;
    long before = 0, after = 0;
    int used = 0;
    if (sscanf(report.c_str(), "%d %ld %ld %n", &w.rc, &before, &after, &used) != 3 || used == 0)
        return w;
    w.error = report.substr((size_t)used);
    w.before_kib = (uint64_t)before;
    w.growth_kib = after > before ? (uint64_t)(after - before) : 0;
    w.reported = true;
    return w;
}

// The length of the run of 'a' that starts the first value of COMMENT in id3_read_all's JSON
// of the file, when that value is only 'a's; -1 when it is missing or holds anything else.
int64_t comment_run_length(const std::string& path) {
    char* json = id3_read_all(path.c_str());
    if (!json)
        return -1;
    int64_t run = -1;
    const char key[] = "\"COMMENT\":[\"";
    const char* start = strstr(json, key);
    if (start) {
        start += sizeof key - 1;
        size_t n = strspn(start, "a");
        if (start[n] == '"')
            run = (int64_t)n;
    }
    id3_free_string(json);
    return run;
}

} // namespace

TEST(Memory, HugePropertyValueWritesWithinTwiceItsSize) {
#ifdef QID3_UNDER_SANITIZER
    GTEST_SKIP() << "resident sizes under a sanitizer are not the library's";
#endif
    struct Case {
        const char* name;
        Bytes file;
        uint64_t value_len;
        const char* error; // nullptr: written
    } cases[] = {
        {"a.m4a", small_m4a(), 64 * MiB, nullptr},
        {"a.ogg", small_ogg(false), 64 * MiB, nullptr},
        {"a.opus", small_ogg(true), 64 * MiB, nullptr},
        // A FLAC comment block holds at most 16 MiB - 1 bytes, an ID3v2.4 frame 256 MiB - 1.
        {"b.mp3", small_mp3(), 64 * MiB, nullptr},
        {"b.flac", small_flac(), 12 * MiB, nullptr},
        {"a.flac", small_flac(), 64 * MiB, "comments too large for FLAC comment block"},
        {"a.mp3", small_mp3(), 257 * MiB, "tag too large for ID3v2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file(c.name);
        ASSERT_TRUE(write_file(path, c.file));
        ChildWrite w = write_in_child(path, c.value_len);
        ASSERT_TRUE(w.reported) << "the child reported nothing";
        printf("%s: value %llu MiB, peak before the call %llu MiB, grew by %llu MiB\n", c.name,
               (unsigned long long)(c.value_len / MiB), (unsigned long long)(w.before_kib / 1024),
               (unsigned long long)(w.growth_kib / 1024));
        if (c.error) {
            EXPECT_EQ(w.rc, -1);
            EXPECT_EQ(w.error, c.error);
            EXPECT_EQ(read_file(path), c.file);
        } else {
            EXPECT_EQ(w.rc, 0) << w.error;
            EXPECT_EQ(w.error, "");
            EXPECT_EQ(comment_run_length(path), (int64_t)c.value_len);
        }
        // The JSON text (the first copy of the value) is resident before the call.
        EXPECT_GE(w.before_kib * 1024, c.value_len);
        EXPECT_LE(w.growth_kib * 1024, c.value_len + kSlack)
            << "peak grew by " << w.growth_kib / 1024 << " MiB for a value of " << c.value_len / MiB
            << " MiB";
    }
}
#endif
