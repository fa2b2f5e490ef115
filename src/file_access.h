// File access (file_access.cpp, over the platform layer): a file opened once per call and read in
// bounded pieces. Its replacement is replace.h's.
#ifndef QID3_FILE_ACCESS_H
#define QID3_FILE_ACCESS_H

#include "base.h"
#include "platform.h"

// A file opened for one call: the platform handle, the size taken when it was opened, and its
// prefix, the first bytes read once at open, from which the container is detected and most tags
// are read. A file image already in memory can stand in for an open file: every read is then
// served from the image.
#define ID3_PREFIX_BYTES 65536u
struct id3_file {
    plat_file pf;     // fd -1 for an image in memory
    const char* path; // for messages
    uint64_t size;
    const uint8_t* prefix; // prefix_owned for an open file; the image itself otherwise
    uint64_t prefix_len; // min(size, ID3_PREFIX_BYTES) for an open file; the whole image otherwise
    uint8_t* prefix_owned; // malloc'd by id3_file_open_mode, released by id3_file_close
    uint64_t base;         // where a FLAC stream starts: after an ID3v2 tag in front of it, else 0
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
// Frees the bytes read at open and keeps the file open (and held): for the source of a filled
// replacement that waits in a group, which reads nothing more. Memory then holds one file's
// first bytes at a time, not a group's.
void id3_file_release_prefix(id3_file* f);

// Closes an opened file at the end of a scope, on every path.
struct id3_file_guard {
    id3_file* f;
    ~id3_file_guard() { id3_file_close(f); }
};
// Reads exactly n bytes at off, which the caller has checked against f->size. 0, or -1 with a
// message.
int id3_file_read(const id3_file* f, uint64_t off, void* out, uint64_t n);
// A malloc'd copy of n bytes at off with a NUL after them. NULL with a message.
uint8_t* id3_file_dup(const id3_file* f, uint64_t off, uint64_t n);

// Reads a whole file into a malloc'd block with a NUL after the last byte; *len gets the byte
// count. Returns NULL with a message recorded on failure.
uint8_t* id3_slurp(const char* path, uint64_t* len);

#endif
