// MPEG audio frame headers: telling audio from other bytes at the start of a file.
#include "mpeg_audio.h"

// An MPEG audio frame starts with eleven set bits.
bool id3_is_mpeg_sync(const uint8_t* data, uint64_t len) {
    return len >= 2 && data[0] == 0xFF && data[1] >= 0xE0;
}

// MPEG audio frame header, 4 bytes: 11 sync bits, version (2 bits: 0 = 2.5, 1 reserved, 2 = 2,
// 3 = 1), layer (2 bits: 0 reserved, 1 = III, 2 = II, 3 = I), protection bit; bitrate index (4
// bits; 0 free format, 15 invalid), sample-rate index (2 bits; 3 reserved), padding bit, private
// bit; mode and the rest.
#define MPEG_HEADER_LEN 4
#define MPEG_VERSION_1 3
#define MPEG_VERSION_RESERVED 1
#define MPEG_LAYER_I 3
#define MPEG_LAYER_III 1

// Bytes of the MPEG audio frame whose header is at h; 0 when the header is not valid.
static uint64_t mpeg_frame_len(const uint8_t* h) {
    // Bitrates in kbit/s by index: MPEG 1 layers I, II, III; MPEG 2 and 2.5 layer I, layers II
    // and III.
    static const uint16_t kBitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
    static const uint32_t kRatesV1[3] = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    unsigned version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
    unsigned bitrate_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (version == MPEG_VERSION_RESERVED || layer == 0 || bitrate_index == 0 ||
        bitrate_index == 15 || rate_index == 3)
        return 0;
    bool v1 = version == MPEG_VERSION_1;
    unsigned table = v1 ? 3 - layer : (layer == MPEG_LAYER_I ? 3 : 4);
    uint64_t bitrate = (uint64_t)kBitrates[table][bitrate_index] * 1000;
    // MPEG 2 halves the MPEG 1 sample rates, MPEG 2.5 quarters them.
    uint64_t rate = kRatesV1[rate_index] >> (v1 ? 0 : version == 2 ? 1 : 2);
    if (layer == MPEG_LAYER_I)
        return (12 * bitrate / rate + padding) * 4;
    // Layer III of MPEG 2 and 2.5 has half as many samples per frame.
    uint64_t factor = (layer == MPEG_LAYER_III && !v1) ? 72 : 144;
    return factor * bitrate / rate + padding;
}

bool id3_is_mpeg_audio(const uint8_t* data, uint64_t len) {
    if (!data || len < MPEG_HEADER_LEN)
        return false;
    uint64_t first = mpeg_frame_len(data);
    if (first == 0 || first > len)
        return false;
    if (first == len)
        return true;
    return len - first >= MPEG_HEADER_LEN && mpeg_frame_len(data + first) != 0;
}
