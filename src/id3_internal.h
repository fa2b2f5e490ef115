// Internal declarations shared by the library's sources: the tag record, format codes, the error
// buffer, whole-file reading, atomic replacement, the container readers and writers, and small
// helpers for reading and writing integers in file formats.
#ifndef QUORVALE_ID3_INTERNAL_H
#define QUORVALE_ID3_INTERNAL_H

#include <stdint.h>
#include <stddef.h>

#include "platform.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

// Blocks from the standard heap released at the end of a scope, on every path.
struct id3_free_deleter {
    void operator()(void* p) const { free(p); }
};
using id3_owned_bytes = std::unique_ptr<uint8_t, id3_free_deleter>;
using id3_owned_text = std::unique_ptr<char, id3_free_deleter>;

// The MIME type a picture is taken for when nothing names its type.
#define ID3_DEFAULT_MIME "image/jpeg"

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

// Replaces *field with a NUL-terminated copy of n bytes (which may hold anything). -1 when memory
// runs out, with the old value kept.
int id3_tags_store_text(char** field, const char* bytes, uint64_t n);
// Stores a copy of the n picture bytes at data as the record's cover, with the MIME type's
// mime_len bytes (cut at a NUL and to 63 bytes; none leaves the type empty). Without copy_bytes
// only that there is a cover and its type are stored. The copy is made before the old cover goes:
// -1 when memory runs out, with the record's earlier cover whole.
int id3_tags_store_cover(id3_tags* t, const uint8_t* data, uint64_t n, const char* mime,
                         uint64_t mime_len, int copy_bytes);

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
// The same for the source of a replacement (ID3_OPEN_WRITE): the file is held against other
// writers of it, waiting for them, until id3_file_close (ID3_OPEN_WRITE_NOWAIT does not wait and
// returns ID3_WOULD_BLOCK, without a message and with nothing open, when another writer holds it).
#define ID3_OPEN_READ 0
#define ID3_OPEN_WRITE 1
#define ID3_OPEN_WRITE_NOWAIT 2
#define ID3_WOULD_BLOCK (-2)
int id3_file_open_mode(id3_file* f, const char* path, int mode);
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

// The new start of a file being rewritten: `data` replaces the old file's bytes from `keep_len`
// to `audio_off`, and the rest of the old file follows unchanged, except that its last `tail_len`
// bytes (an ID3v1 tag) are replaced by `tail`. The old file's first `keep_len` bytes (usually none)
// stay before `data`, so a region in the middle or at the end of a file can be replaced. A head
// that ends in padding names the length field that counts it (grow_kind, at grow_at): zero bytes
// appended to the head then count into that field, so that the audio can start at the offset a
// block clone needs.
#define ID3_TAIL_MAX 128
#define ID3_GROW_NONE 0
#define ID3_GROW_SYNCSAFE28 1 // an ID3v2 tag size: four syncsafe bytes
#define ID3_GROW_BE24 2       // a FLAC block length: three big-endian bytes
struct id3_head {
    uint8_t* data;
    uint64_t len;
    uint64_t audio_off;
    uint64_t keep_len;
    uint8_t tail[ID3_TAIL_MAX];
    uint64_t tail_len;
    int grow_kind;
    uint64_t grow_at;
};
// The steps of one replacement, for callers that commit several files together (id3_batch).
// Fill: creates the temporary file with the head and the bytes of src from audio_off on, its tail
// replaced (src NULL: nothing to copy); where the audio's blocks can be shared, the head's padding
// grows (with its length field). 0, or -1 with a message and nothing left behind. Commit:
// flushes it to the disk (unless `synced`: a flush of its volume did), checks that src is unchanged
// and closes it, names the temporary file and renames it over the target, then flushes the folder
// when `flush_folder`; otherwise the caller flushes the folder and releases the record. 0, or -1
// with a message; before the rename a failure removes the temporary file and keeps the target.
int id3_replace_fill(plat_temp* temp, const char* path, const id3_file* src, id3_head* head);
int id3_replace_commit(plat_temp* temp, const char* path, id3_file* src, bool synced,
                       bool flush_folder);
// Flushes the folder of a renamed temporary file: 0, or -1 with a message (the target already
// holds the new contents). The _finish form also releases the record.
int id3_replace_flush_folder(const plat_temp* temp);
int id3_replace_finish_folder(plat_temp* temp);
// Replaces the file at path with head followed by the bytes of src from head->audio_off on,
// copied without passing through memory where the system allows. src is closed before the
// rename. 0, or -1 with a message.
int id3_replace_with_head(const char* path, id3_file* src, id3_head* head);

// What a tags object removes: the fields given as null (ID3_NAMED_* bits), and the front covers
// when "cover" is null.
struct id3_removals {
    uint32_t fields;
    int cover;
};

// JSON mapping of a tag record. from_json fills *removed, when given, with what the object removes.
char* id3_tags_to_json(const id3_tags* t);
int32_t id3_tags_from_json(id3_tags* t, const char* text, id3_removals* removed = nullptr);

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
// For MP4 the head is the new moov (with a free atom after it that gave or took its room), and
// keep_len the bytes before the old moov.
int id3_mp4_build_head(const id3_file* f, const id3_tags* t, id3_change change, id3_head* head);
// The extent of the MP4 atom whose header starts at p, with `remaining` bytes of its region left
// (at least 8; 16 readable when remaining allows): 1 with the whole atom's *size and its
// *header_size, 0 when it does not fit, -1 (message recorded) when its size is below its header.
int id3_mp4_atom_extent(const uint8_t* p, uint64_t remaining, uint64_t* size,
                        uint64_t* header_size);
// Open, build and replace in one step: rebuild the file at path from the record and its audio.
// Every non-NULL field is named; the cover is replaced when the record holds cover bytes (for
// FLAC, also zero of them when force_picture is set). 0, or -1 with a message.
int id3_mp3_write(const char* path, const id3_tags* t);
int id3_flac_write(const char* path, const id3_tags* t, int force_picture);

// The ID3v2 tag header, at the start of an MP3 file: "ID3", major version, revision, flags, and
// the syncsafe size of what follows it (extended header, frames, padding; not the footer).
#define ID3_HEADER_LEN 10
#define ID3_VERSION_AT 3
#define ID3_FLAGS_AT 5
#define ID3_SIZE_AT 6
#define ID3_FOOTER_LEN 10
#define ID3_FLAG_UNSYNC 0x80   // versions 2.2 and 2.3: the whole tag is unsynchronised
#define ID3_FLAG_EXTENDED 0x40 // an extended header follows (version 2.2: the tag is compressed)
#define ID3_FLAG_FOOTER 0x10   // version 2.4: a 10-byte footer follows the tag

// Bytes from the start of the file to the end of the ID3v2 tag whose header `hdr` is, footer
// included. The caller checks it against the file's size.
static inline uint64_t id3_tag_end(const uint8_t* hdr);

// Whether the len bytes at data begin an ID3v2 tag header: "ID3", major version 2, 3 or 4, and a
// syncsafe size (bit 7 clear in all four size bytes). Bytes short of the full header are checked
// as far as they go. Other files that begin with "ID3" (text among them) hold no tag.
static inline bool id3_is_tag_header(const uint8_t* data, uint64_t len);

// Whether the len bytes at data, the start of a file without an ID3v2 tag (or all of a shorter
// file), begin MPEG audio: a valid frame header (version, layer, bitrate and sample rate), and a
// second one where the first frame ends, unless the file ends exactly there.
bool id3_is_mpeg_audio(const uint8_t* data, uint64_t len);

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

static inline bool id3_is_tag_header(const uint8_t* data, uint64_t len) {
    if (len < 3 || memcmp(data, "ID3", 3) != 0)
        return false;
    if (len > ID3_VERSION_AT && (data[ID3_VERSION_AT] < 2 || data[ID3_VERSION_AT] > 4))
        return false;
    for (uint64_t i = ID3_SIZE_AT; i < ID3_HEADER_LEN && i < len; i++) {
        if (data[i] & 0x80)
            return false;
    }
    return true;
}

static inline uint64_t id3_tag_end(const uint8_t* hdr) {
    return ID3_HEADER_LEN + (uint64_t)id3_syncsafe32(hdr + ID3_SIZE_AT) +
           ((hdr[ID3_FLAGS_AT] & ID3_FLAG_FOOTER) ? ID3_FOOTER_LEN : 0);
}

#endif
