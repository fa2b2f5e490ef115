// Benchmark fixtures: MP3 (ID3v2.3 or ID3v2.4 tag), FLAC and M4A files of a chosen total size, each
// with the six text tags and one front cover, plus the picture files used as new covers.
#ifndef QID3_BENCH_FILES_H
#define QID3_BENCH_FILES_H

#include <stdint.h>
#include <string>
#include <vector>

// The text tags every fixture carries. Track is written as "3/12" (MP4 stores it as numbers).
#define BENCH_TITLE "Benchmark Title"
#define BENCH_ARTIST "Benchmark Artist"
#define BENCH_ALBUM "Benchmark Album"
#define BENCH_GENRE "Electronic"
#define BENCH_DATE "2024-05-01"
#define BENCH_TRACK "3/12"

// KIND_M4A_HEAD puts the moov box (with the tags) before mdat, KIND_M4A_TAIL after it.
enum bench_kind { KIND_MP3_V23, KIND_MP3_V24, KIND_FLAC, KIND_M4A_HEAD, KIND_M4A_TAIL };

struct bench_file_spec {
    bench_kind kind;
    uint64_t total_size; // bytes of the whole file
    uint64_t cover_size; // bytes of the embedded cover
};

// A fake JPEG picture of exactly `size` bytes (SOI, APP0 "JFIF", noise, EOI).
std::vector<uint8_t> bench_picture(uint64_t size, uint32_t seed);

// Where the tags sit in a fixture: the ID3v2 tag (header to the end of the padding), the FLAC
// metadata blocks from "fLaC" to the end of the last block, or the MP4 moov box.
struct bench_layout {
    uint64_t tag_offset;
    uint64_t tag_length;
};

// The complete bytes of a fixture file. The audio part is filler of the right shape (MPEG frame
// headers, FLAC frame sync, an mdat box); no decoder ever reads it.
std::vector<uint8_t> bench_file_bytes(const bench_file_spec& spec, bench_layout* layout);

// A fixture whose audio is mostly a hole: the tags and 64 KB of audio filler are written, then the
// file is extended to spec.total_size with ftruncate, so it takes no disk space beyond its first
// blocks. MP3 and FLAC only (their tags come first). Returns false on failure.
bool bench_write_sparse(const std::string& path, const bench_file_spec& spec, bench_layout* layout);

// "mp3v23", "mp3v24", "flac", "m4a_moovfirst", "m4a_moovlast".
const char* bench_kind_name(bench_kind kind);
// "100KB", "10MB", "20KB", "1MB", "5GB": sizes are decimal-free binary multiples.
std::string bench_size_name(uint64_t bytes);
// Parses "100K", "10M", "1G" or a plain byte count; 0 when the text is not a size.
uint64_t bench_parse_size(const std::string& text);

// Whole files.
bool bench_write_file(const std::string& path, const std::vector<uint8_t>& data);
bool bench_copy_file(const std::string& from, const std::string& to);
// A fresh folder under base (or under TMPDIR, or /tmp); "" on failure.
std::string bench_make_temp_dir(const std::string& base);
// Removes a folder and everything in it.
void bench_remove_tree(const std::string& path);

#endif
