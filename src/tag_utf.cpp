// ID3v2 text payloads to NUL-terminated UTF-8: ISO-8859-1, UTF-16 (with or without a byte-order
// mark) and UTF-8. Malformed input is converted, never rejected; each result is one fresh
// allocation, NULL only when memory runs out.
#include "id3v2.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// Allocates bytes + 1 for a result, refusing counts whose size would not fit a size_t.
static char* alloc_text(uint64_t bytes) {
    if (bytes >= SIZE_MAX)
        return nullptr;
    return (char*)malloc((size_t)bytes + 1);
}

// Copies the bytes before the first 0x00 (at most n of them), without checking them as UTF-8.
static char* utf8_dup_n(const uint8_t* p, uint64_t n) {
    uint64_t len = 0;
    if (n > 0) {
        const void* nul = memchr(p, 0, (size_t)n);
        len = nul ? (uint64_t)((const uint8_t*)nul - p) : n;
    }
    char* out = alloc_text(len);
    if (!out)
        return nullptr;
    if (len > 0)
        memcpy(out, p, (size_t)len);
    out[len] = '\0';
    return out;
}

// ISO-8859-1 bytes are the code points U+0000 to U+00FF; the upper half takes two UTF-8 bytes.
static char* latin1_to_utf8(const uint8_t* p, uint64_t n) {
    if (n > (UINT64_MAX - 1) / 2)
        return nullptr;
    char* out = alloc_text(2 * n);
    if (!out)
        return nullptr;
    uint64_t o = 0;
    for (uint64_t i = 0; i < n && p[i] != 0; i++) {
        uint8_t b = p[i];
        if (b < 0x80) {
            out[o++] = (char)b;
        } else {
            out[o++] = (char)(0xC0 | (b >> 6));
            out[o++] = (char)(0x80 | (b & 0x3F));
        }
    }
    out[o] = '\0';
    return out;
}

static char* empty_text(void) {
    char* out = (char*)malloc(1);
    if (out)
        out[0] = '\0';
    return out;
}

char* id3_utf16_to_utf8(const uint8_t* p, uint64_t n, int big_endian) {
    if (!p || n < 2)
        return empty_text();
    uint64_t pos = 0;
    if (p[0] == 0xFE && p[1] == 0xFF) {
        big_endian = 1;
        pos = 2;
    } else if (p[0] == 0xFF && p[1] == 0xFE) {
        big_endian = 0;
        pos = 2;
    }
    if (pos == 2 && n < 4)
        return empty_text();
    if (n > (UINT64_MAX - 1) / 3)
        return nullptr;
    uint64_t cap = 3 * n; // room for the text, the final NUL comes on top
    char* out = alloc_text(cap);
    if (!out)
        return nullptr;

    uint64_t o = 0;
    while (n - pos >= 2) {
        uint32_t unit = big_endian ? id3_be16(p + pos) : (uint32_t)p[pos + 1] << 8 | p[pos];
        pos += 2;
        if (unit == 0)
            break;
        uint32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (n - pos < 2)
                break; // a high surrogate without a following unit ends the text
            uint32_t low = big_endian ? id3_be16(p + pos) : (uint32_t)p[pos + 1] << 8 | p[pos];
            pos += 2;
            if (low < 0xDC00 || low > 0xDFFF)
                continue; // a broken pair is dropped, both units, even a 0x0000 after it
            cp = 0x10000 + ((unit - 0xD800) << 10 | (low - 0xDC00));
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            continue; // a low surrogate on its own
        }
        uint64_t need = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (need > cap - o)
            break;
        if (need == 1) {
            out[o++] = (char)cp;
        } else if (need == 2) {
            out[o++] = (char)(0xC0 | (cp >> 6));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        } else if (need == 3) {
            out[o++] = (char)(0xE0 | (cp >> 12));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        } else {
            out[o++] = (char)(0xF0 | (cp >> 18));
            out[o++] = (char)(0x80 | ((cp >> 12) & 0x3F));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        }
    }
    out[o] = '\0';
    return out;
}

// Encoding byte: 0 ISO-8859-1, 1 UTF-16 with a byte-order mark, 2 UTF-16 big-endian, 3 UTF-8.
// Undefined encodings are taken as UTF-8.
char* id3_decode_id3_text(uint8_t encoding, const uint8_t* p, uint64_t n) {
    if (!p)
        return empty_text();
    switch (encoding) {
    case ID3_ENC_LATIN1:
        return latin1_to_utf8(p, n);
    case ID3_ENC_UTF16:
        // A text that lacks its mark is read little-endian, as mutagen and eyeD3 read it (the
        // writers that leave the mark out are Windows taggers); TagLib and ffmpeg show nothing.
        return id3_utf16_to_utf8(p, n, 0);
    case ID3_ENC_UTF16BE:
        return id3_utf16_to_utf8(p, n, 1);
    default:
        return utf8_dup_n(p, n);
    }
}
