// The floor every source stands on: heap blocks released on every path, the growable buffer, the
// error text (record.cpp), and integer readers and writers for file formats.
#ifndef QID3_BASE_H
#define QID3_BASE_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

// Blocks from the standard heap released at the end of a scope, on every path.
struct id3_free_deleter {
    void operator()(void* p) const { free(p); }
};
using id3_owned_bytes = std::unique_ptr<uint8_t, id3_free_deleter>;
using id3_owned_text = std::unique_ptr<char, id3_free_deleter>;

// A growable byte buffer: all zero is empty; its holder releases it with id3_buf_release.
struct id3_buf {
    uint8_t* data;
    uint64_t len;
    uint64_t cap;
};
// Appends n bytes (with `bytes` NULL: room for them, for the caller to fill). -1 when memory runs
// out, the buffer left as it was.
int id3_buf_append(id3_buf* b, const void* bytes, uint64_t n);
// Makes room for n more bytes at once, so that appending them does not grow the buffer again.
int id3_buf_reserve(id3_buf* b, uint64_t n);
void id3_buf_release(id3_buf* b);
// Makes room for one more element of an array of elem_size bytes that holds count of its *cap.
// -1 when memory runs out, the array left as it was.
int id3_grow_for_one(void** array, uint64_t count, uint64_t* cap, size_t elem_size);

// Error text: one 512-byte text per thread.
#define ID3_ERROR_MAX 512
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void id3_set_error(const char* fmt, ...);
int id3_has_error(void);
void id3_clear_error(void);
const char* id3_error_text(void);

// Integer readers over a byte pointer. The caller has checked that the bytes are there.
static inline uint32_t id3_be16(const uint8_t* p) {
    return (uint32_t)p[0] << 8 | p[1];
}
static inline uint32_t id3_be24(const uint8_t* p) {
    return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
}
static inline uint32_t id3_be32(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
static inline uint64_t id3_be64(const uint8_t* p) {
    return (uint64_t)id3_be32(p) << 32 | id3_be32(p + 4);
}
static inline uint32_t id3_le32(const uint8_t* p) {
    return (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}
// ID3v2 syncsafe integer: four bytes of seven value bits each; bit 7 is masked off, not rejected.
static inline uint32_t id3_syncsafe32(const uint8_t* p) {
    return (uint32_t)(p[0] & 0x7F) << 21 | (uint32_t)(p[1] & 0x7F) << 14 |
           (uint32_t)(p[2] & 0x7F) << 7 | (uint32_t)(p[3] & 0x7F);
}

// Integer writers.
static inline void id3_put_be24(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 16);
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)v;
}
static inline void id3_put_be32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
static inline void id3_put_le32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
// v must be below 2^28.
static inline void id3_put_syncsafe32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)((v >> 21) & 0x7F);
    p[1] = (uint8_t)((v >> 14) & 0x7F);
    p[2] = (uint8_t)((v >> 7) & 0x7F);
    p[3] = (uint8_t)(v & 0x7F);
}

#endif
