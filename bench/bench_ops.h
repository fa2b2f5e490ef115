// What the library's calls are measured against: the floors (the least the same work can cost
// with whole-file reading and atomic replacement) and the same work done with TagLib.
#ifndef QID3_BENCH_OPS_H
#define QID3_BENCH_OPS_H

#include "bench_files.h"

#include <stdint.h>
#include <string>

// Floor of a read: the whole file into one fresh block with one read call. Returns the byte count,
// or -1 when the file cannot be read.
int64_t floor_read(const char* path);

// Floor of an atomic rewrite: `reads` whole-file reads of `path` (after one read of
// `picture_path`, when it is given), one copy of the image into a fresh buffer grown by doubling,
// one write to a temporary file beside the target, the disk flush, and the rename over the target;
// with `flush_dir`, also the flush of the folder that makes the rename itself durable. The file
// keeps its bytes. Returns 0, or -1 on failure.
int floor_rewrite(const char* path, int reads, const char* picture_path, bool flush_dir);

// Floor of saving a cover: one whole-file read and `cover_size` bytes of it written to
// `out_path` (no flush, as a plain save of a picture file). Returns 0, or -1.
int floor_extract(const char* path, uint64_t cover_size, const char* out_path);

// What a TagLib read of the six text fields and the cover gives.
struct taglib_tags {
    std::string title, artist, album, genre;
    unsigned year;
    unsigned track;
    uint64_t cover_size;
};

// TagLib with audio properties off. Each returns true on success.
bool taglib_read(const char* path, bench_kind kind, taglib_tags* out);
bool taglib_write_title(const char* path, bench_kind kind, const char* title);
bool taglib_set_cover(const char* path, bench_kind kind, const char* picture_path);
bool taglib_extract_cover(const char* path, bench_kind kind, const char* out_path);

#endif
