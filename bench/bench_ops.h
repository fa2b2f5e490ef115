// What the library's calls are measured against: the floors (the least the same work can cost
// with whole-file reading and atomic replacement) and the same work done with TagLib.
#ifndef QID3_BENCH_OPS_H
#define QID3_BENCH_OPS_H

#include "bench_files.h"

#include <stdint.h>
#include <string>

// The floors know where the tags are (the fixture's layout) and do the least a call with that
// outcome must do.

// Floor of a read: open, fstat, the tag region into one fresh block with one pread, close.
// Returns the byte count, or -1 when the file cannot be read.
int64_t floor_read(const char* path, const bench_layout& layout);

// Floor of a rewrite that keeps the audio: the tag region read as above (and the picture file
// read, when `picture_path` is given), a temporary file beside the target, the region written to
// it between the bytes before and after it, both copied in the kernel (copy_file_range), fsync,
// rename over the target, fsync of the folder. The file keeps its bytes. Returns 0, or -1 on
// failure.
int floor_rewrite(const char* path, const bench_layout& layout, const char* picture_path);

// Floor of saving a cover: the read floor and then `cover_size` bytes of the region written to
// `out_path` (no flush, as a plain save of a picture file). Returns 0, or -1.
int floor_extract(const char* path, const bench_layout& layout, uint64_t cover_size,
                  const char* out_path);

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
