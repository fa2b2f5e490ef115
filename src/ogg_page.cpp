// Ogg pages: the page checksum, the length of a page, and the renumbering of the pages a write
// copies after header pages whose count changed. Below the file access, which renumbers while it
// copies, and the Ogg container.
#include "ogg_page.h"

#include <string.h>

// Page checksum: CRC-32 with polynomial 0x04C11DB7, most significant bit first, initial value 0
// and no final inversion. Eight tables let the loop take eight bytes at a time.

namespace {
struct crc_tables {
    uint32_t t[8][256];
};

constexpr crc_tables make_crc_tables() {
    crc_tables c{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; bit++)
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        c.t[0][i] = r;
    }
    for (int k = 1; k < 8; k++) {
        for (uint32_t i = 0; i < 256; i++)
            c.t[k][i] = (c.t[k - 1][i] << 8) ^ c.t[0][c.t[k - 1][i] >> 24];
    }
    return c;
}

constexpr crc_tables kCrc = make_crc_tables();
} // namespace

static uint32_t crc_update(uint32_t crc, const uint8_t* p, uint64_t n) {
    while (n >= 8) {
        uint32_t hi = crc ^ id3_be32(p);
        uint32_t lo = id3_be32(p + 4);
        crc = kCrc.t[7][hi >> 24] ^ kCrc.t[6][(hi >> 16) & 0xFF] ^ kCrc.t[5][(hi >> 8) & 0xFF] ^
              kCrc.t[4][hi & 0xFF] ^ kCrc.t[3][lo >> 24] ^ kCrc.t[2][(lo >> 16) & 0xFF] ^
              kCrc.t[1][(lo >> 8) & 0xFF] ^ kCrc.t[0][lo & 0xFF];
        p += 8;
        n -= 8;
    }
    for (; n > 0; n--, p++)
        crc = (crc << 8) ^ kCrc.t[0][(crc >> 24) ^ *p];
    return crc;
}

uint32_t id3_ogg_crc_update(uint32_t crc, const uint8_t* p, uint64_t n) {
    return crc_update(crc, p, n);
}

// The checksum of a whole page, its own field counted as zero.
uint32_t id3_ogg_page_crc(const uint8_t* page, uint64_t len) {
    static const uint8_t zero[4] = {0, 0, 0, 0};
    uint32_t crc = crc_update(0, page, OGG_CRC_AT);
    crc = crc_update(crc, zero, 4);
    return crc_update(crc, page + OGG_CRC_AT + 4, len - OGG_CRC_AT - 4);
}

// The checksum is linear: changing bytes of a page changes its checksum by the checksum of the
// change alone, a message of zeros but for the changed bytes. That one is the checksum of the
// changed bytes carried through the zero bytes after them, which multiplies it by x^(8n) modulo
// the polynomial. So a page whose sequence number moves gets its new checksum without its bytes
// being read again (and a page whose checksum was wrong stays as wrong as it was).
namespace {
// a * b modulo the polynomial, both of degree below 32 (bit 31: x^31).
constexpr uint32_t gf2_multiply(uint32_t a, uint32_t b) {
    uint32_t r = 0;
    for (int bit = 31; bit >= 0; bit--) {
        r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        if ((b >> bit) & 1)
            r ^= a;
    }
    return r;
}

// x^(8 * 2^k) modulo the polynomial: the effect of 2^k zero bytes.
struct zero_powers {
    uint32_t p[64];
};

constexpr zero_powers make_zero_powers() {
    zero_powers z{};
    z.p[0] = 1u << 8;
    for (int k = 1; k < 64; k++)
        z.p[k] = gf2_multiply(z.p[k - 1], z.p[k - 1]);
    return z;
}

constexpr zero_powers kZeroPowers = make_zero_powers();
} // namespace

// The checksum `crc` carried through n zero bytes.
static uint32_t crc_through_zeros(uint32_t crc, uint64_t n) {
    for (int k = 0; n > 0; k++, n >>= 1) {
        if (n & 1)
            crc = gf2_multiply(crc, kZeroPowers.p[k]);
    }
    return crc;
}

// Moves a whole page's sequence number by delta and its checksum with it.
static void renumber_page(uint8_t* page, uint64_t len, uint32_t delta) {
    uint32_t old_seq = id3_le32(page + OGG_SEQUENCE_AT);
    uint32_t new_seq = old_seq + delta;
    uint8_t change[4];
    id3_put_le32(change, old_seq ^ new_seq);
    uint32_t crc_change = crc_through_zeros(crc_update(0, change, 4), len - OGG_SEQUENCE_AT - 4);
    id3_put_le32(page + OGG_SEQUENCE_AT, new_seq);
    id3_put_le32(page + OGG_CRC_AT, id3_le32(page + OGG_CRC_AT) ^ crc_change);
}

// The length of the page at the start of data[0..len): 0 when the bytes end within its header,
// lacing or body; -1 when they do not begin a page (capture or version wrong).
int64_t id3_ogg_page_len(const uint8_t* data, uint64_t len) {
    if (len >= OGG_CAPTURE_LEN && memcmp(data, OGG_CAPTURE, OGG_CAPTURE_LEN) != 0)
        return -1;
    if (len > OGG_VERSION_AT && data[OGG_VERSION_AT] != 0)
        return -1;
    if (len < OGG_HEADER_LEN)
        return 0;
    uint64_t segments = data[OGG_SEGMENTS_AT];
    if (len - OGG_HEADER_LEN < segments)
        return 0;
    uint64_t n = OGG_HEADER_LEN + segments;
    for (uint64_t i = 0; i < segments; i++)
        n += data[OGG_HEADER_LEN + i];
    return n <= len ? (int64_t)n : 0;
}

int id3_ogg_renumber_pages(uint8_t* data, uint64_t len, bool at_end, uint32_t serial,
                           uint32_t seq_delta, uint64_t* used) {
    uint64_t pos = 0;
    while (pos < len) {
        int64_t n = id3_ogg_page_len(data + pos, len - pos);
        if (n == 0 && !at_end)
            break;
        if (n <= 0) {
            id3_set_error("damaged Ogg page among the audio");
            *used = pos;
            return -1;
        }
        uint8_t* page = data + pos;
        if (id3_le32(page + OGG_SERIAL_AT) == serial)
            renumber_page(page, (uint64_t)n, seq_delta);
        pos += (uint64_t)n;
    }
    *used = pos;
    return 0;
}
