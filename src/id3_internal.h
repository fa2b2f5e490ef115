// Internal declarations shared by the library's sources: the tag record, format codes, the error
// buffer, whole-file reading, atomic replacement, the container readers and writers, and small
// helpers for reading and writing integers in file formats.
#ifndef QUORVALE_ID3_INTERNAL_H
#define QUORVALE_ID3_INTERNAL_H

#include <stdint.h>
#include <stddef.h>

#include "platform.h"

#define ID3_FMT_UNKNOWN 0
#define ID3_FMT_MP3 1
#define ID3_FMT_FLAC 2
#define ID3_FMT_MP4 3

// The tags of one file. Every pointer is NULL or a malloc'd block owned by the record. A NULL text
// is an absent tag; "" is a present, empty one. The all-zero record is the empty record.
struct id3_tags {
    char* title;
    char* artist;
    char* album;
    char* genre;
    char* date;
    char* track;
    uint8_t* cover_data;
    uint64_t cover_size;
    char cover_mime[64];
    int32_t format;
    int32_t has_cover;
};

// Tag record operations.
void id3_tags_init(id3_tags* t);
void id3_tags_free(id3_tags* t);
// Replaces *field with a copy of text (NULL stores ""). Returns -1 on allocation failure, keeping
// the old value.
int id3_tags_set_str(char** field, const char* text);

// Error buffer: one 512-byte text per process.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void id3_set_error(const char* fmt, ...);
int id3_has_error(void);
void id3_clear_error(void);

// A file opened for one call: the platform handle, the size taken when it was opened, and its
// first bytes, read once, from which the container is detected and most tags are read. A file image
// already in memory can stand in for an open file: every read is then served from the image.
#define ID3_HEAD_BYTES 65536u
struct id3_file {
    plat_file pf;     // fd -1 for an image in memory
    const char* path; // for messages
    uint64_t size;
    const uint8_t* head;
    uint64_t head_len; // min(size, ID3_HEAD_BYTES) for an open file; the whole image otherwise
    uint8_t* head_owned;
    uint64_t base; // where a FLAC stream starts: after an ID3v2 tag in front of it, else 0
};

// Opens a regular file and reads its first bytes. 0, or -1 with a message ("cannot open: ...",
// "cannot read: ...", "oom"). The record needs id3_file_close on every path after a call.
int id3_file_open(id3_file* f, const char* path);
void id3_file_from_image(id3_file* f, const uint8_t* data, uint64_t len);
void id3_file_close(id3_file* f);
// Reads exactly n bytes at off, which the caller has checked against f->size. 0, or -1 with a
// message.
int id3_file_read(const id3_file* f, uint64_t off, void* out, uint64_t n);
// A malloc'd copy of n bytes at off with a NUL after them. NULL with a message.
uint8_t* id3_file_dup(const id3_file* f, uint64_t off, uint64_t n);

// Reads a whole file into a malloc'd block with a NUL after the last byte; *len gets the byte
// count. Returns NULL with a message recorded on failure.
uint8_t* id3_slurp(const char* path, uint64_t* len);
// Container of a file image from its first bytes (at most 71 are looked at).
int32_t id3_detect_fmt(const uint8_t* data, uint64_t len);
// Container of an open file. A FLAC stream right after an ID3v2 tag is FLAC, and f->base is set to
// its start. The format, or -1 with a message when the file cannot be read.
int32_t id3_file_format(id3_file* f);
// Replaces the file at path with exactly len bytes of data through a temporary file and a rename.
int id3_atomic_write(const char* path, const uint8_t* data, uint64_t len);

// The new start of a file being rewritten: `data` replaces the old file's bytes before
// `audio_off`, and the rest of the old file follows unchanged.
struct id3_head {
    uint8_t* data;
    uint64_t len;
    uint64_t audio_off;
};
// Replaces the file at path with head followed by the bytes of src from head->audio_off on,
// copied without passing through memory where the system allows. src is closed before the
// rename. 0, or -1 with a message.
int id3_replace_with_head(const char* path, id3_file* src, const id3_head* head);

// JSON mapping of a tag record.
char* id3_tags_to_json(const id3_tags* t);
int32_t id3_tags_from_json(id3_tags* t, const char* text);

// ID3v2 text payloads to UTF-8 (each result is malloc'd, NULL only when memory runs out).
char* id3_decode_id3_text(uint8_t encoding, const uint8_t* p, uint64_t n);
char* id3_utf16_to_utf8(const uint8_t* p, uint64_t n, int big_endian);

// Container readers: fill an emptied record from an open file, reading only the bytes that hold
// tags. Without want_cover a picture is noted (has_cover, cover_mime) but its bytes are not kept.
// 0, or -1 with a message.
int id3_mp3_load(const id3_file* f, id3_tags* t, int want_cover);
int id3_flac_load(const id3_file* f, id3_tags* t, int want_cover);
int id3_mp4_load(const id3_file* f, id3_tags* t, int want_cover);
// The same readers over a whole file image in memory, cover included.
int id3_mp3_read(const uint8_t* data, uint64_t len, id3_tags* t);
int id3_flac_read(const uint8_t* data, uint64_t len, id3_tags* t);
int id3_mp4_read(const uint8_t* data, uint64_t len, id3_tags* t);

// The fields a write names: those the caller supplied. Their old frames or comments are replaced
// by the record's values; everything else of the old tags is carried over as it stands.
#define ID3_NAMED_TITLE 0x01u
#define ID3_NAMED_ARTIST 0x02u
#define ID3_NAMED_ALBUM 0x04u
#define ID3_NAMED_GENRE 0x08u
#define ID3_NAMED_DATE 0x10u
#define ID3_NAMED_TRACK 0x20u
// The fields of the record that are not NULL.
uint32_t id3_tags_present(const id3_tags* t);

// What one write changes: the named fields, and whether the record's cover replaces the old front
// covers (otherwise the old pictures are all kept).
struct id3_change {
    uint32_t named;
    int cover_replaced;
};

// Container writers: the new head of the open file f from the record and the old tags. head->data
// is malloc'd and owned by the caller. 0, or -1 with a message.
int id3_mp3_build_head(const id3_file* f, const id3_tags* t, id3_change change, id3_head* head);
// Whether the MP3 file's tag is one whose frames a write carries over (version 2.3 or 2.4), its
// pictures included.
int id3_mp3_carries_pictures(const id3_file* f);
int id3_flac_build_head(const id3_file* f, const id3_tags* t, id3_change change, id3_head* head);
// Open, build and replace in one step: rebuild the file at path from the record and its audio.
// Every non-NULL field is named; the cover is replaced when the record holds cover bytes (for
// FLAC, also zero of them when force_picture is set). 0, or -1 with a message.
int id3_mp3_write(const char* path, const id3_tags* t);
int id3_flac_write(const char* path, const id3_tags* t, int force_picture);

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
