// The replacement of a file (replace.cpp, over file access and the platform layer): the new
// file described as a head or a splice list, its filling beside the target and its atomic commit,
// alone or as a group, and the writing of an extracted picture.
#ifndef QID3_REPLACE_H
#define QID3_REPLACE_H

#include "file_access.h"
#include "platform.h"

// The new file is described in one of two ways. The head below is what the containers build: one
// replaced region, an optional replaced tail and one growable length field. The fill turns it into
// a splice list (further below), the general form: any number of kept or replaced regions and any
// number of size fields to patch.

// The new start of a file being rewritten: `data` replaces the old file's bytes from `keep_len`
// to `audio_off`, and the rest of the old file follows unchanged, except that its last
// `tail_replaces` bytes (an APE tag, an ID3v1 tag) are replaced by `tail`. The old file's first
// `keep_len` bytes (usually none) stay before `data`, so a region in the middle or at the end of a
// file can be replaced. A head that ends in padding names the length field that counts it
// (grow_kind, at grow_at): zero bytes appended to the head then count into that field, so that the
// audio can start at the offset a block clone needs.

// Bytes a head borrows instead of copying them in (a large picture of the old tag, the new
// cover): they are written `at` bytes into `data`, before the byte that stands there, and must
// live until the fill ends. Only bodies of ID3_BORROW_MIN bytes or more are borrowed.
struct id3_head_piece {
    uint64_t at;
    const uint8_t* bytes;
    uint64_t len;
};
#define ID3_BORROW_MIN 65536u
// The kinds of size field a splice list patches (a head's grow_kind is one of the first two).
#define ID3_FIELD_SYNCSAFE28 1 // an ID3v2 tag size: four syncsafe bytes
#define ID3_FIELD_BE24 2       // a FLAC block length: three big-endian bytes
#define ID3_FIELD_BE32 3       // an MP4 atom size
#define ID3_FIELD_LE32 4       // a RIFF chunk size
#define ID3_GROW_NONE 0
#define ID3_GROW_SYNCSAFE28 ID3_FIELD_SYNCSAFE28
#define ID3_GROW_BE24 ID3_FIELD_BE24
struct id3_head {
    uint8_t* data;
    uint64_t len;
    id3_head_piece* pieces; // malloc'd, in the order of their `at`
    uint64_t piece_count;
    uint64_t audio_off;
    uint64_t keep_len;
    uint8_t* lent; // NULL or a malloc'd block that pieces borrow from, released with the head
    uint8_t* tail; // malloc'd, tail_len bytes
    uint64_t tail_len;
    uint64_t tail_replaces;
    int grow_kind;
    uint64_t grow_at;
    // Ogg: with ogg_renumber set, every page of stream ogg_serial from audio_off on is copied with
    // its sequence number moved by ogg_seq_delta (modulo 2^32), and its checksum with it.
    bool ogg_renumber;
    uint32_t ogg_serial;
    uint32_t ogg_seq_delta;
};
// The head's length with its borrowed pieces; adding a piece at `at` bytes into the owned bytes
// built so far (-1 when memory runs out); releasing what the head owns.
uint64_t id3_head_len(const id3_head* head);
int id3_head_borrow(id3_head* head, uint64_t at, const uint8_t* bytes, uint64_t len);
void id3_head_release(id3_head* head);
// The new file as a splice list: its regions in order, each kept from the old file (KEEP: the old
// bytes from..from+len; OGG_PAGES: the same, as Ogg pages renumbered as the list asks) or replaced
// by the writer's own bytes with borrowed pieces between them (BYTES: bytes[0..len), pieces as in
// a head); and the size fields patched among them. The list owns nothing: what it names lives
// until the fill ends, and a BYTES splice's bytes take its patches in place.
#define ID3_SPLICE_KEEP 0
#define ID3_SPLICE_BYTES 1
#define ID3_SPLICE_OGG_PAGES 2
struct id3_splice {
    int kind;
    uint64_t from; // KEEP, OGG_PAGES: where the bytes start in the old file
    uint64_t len;  // the kept bytes, or the own bytes of BYTES (without its pieces)
    uint8_t* bytes;
    const id3_head_piece* pieces;
    uint64_t piece_count;
};
// A size field written into the new file: `value` in the form `kind` (ID3_FIELD_*), `at` bytes into
// splice `splice` (into its own bytes, for BYTES). With counts_growth, the zero bytes added to the
// growing splice count into the value too.
struct id3_size_patch {
    int kind;
    uint64_t splice;
    uint64_t at;
    uint64_t value;
    bool counts_growth;
};
// grows: the BYTES splice (one that ends in padding) whose end may take zero bytes so that the
// kept splice right after it starts at the same offset in a block as in the old file, where the
// file systems can then share its blocks; the patches with counts_growth must all take them.
// -1: none. Patches are listed in the order of their splice and offset, and do not overlap.
struct id3_splice_list {
    id3_splice* splices;
    uint64_t count;
    id3_size_patch* patches;
    uint64_t patch_count;
    int64_t grows;
    uint32_t ogg_serial;    // OGG_PAGES: the pages of this stream get their sequence number moved
    uint32_t ogg_seq_delta; // by this (modulo 2^32), and their checksum with it
};

// The steps of one replacement. Fill: creates the temporary file with the head and the bytes of
// src from audio_off on, its tail replaced (src NULL: nothing to copy); where the audio's blocks
// can be shared, the head's padding grows (with its length field). 0, or -1 with a message and
// nothing left behind. Commit: flushes it to the disk (unless `synced`: the caller did), checks
// that src is unchanged, names the temporary file and renames it over the target (src is closed
// first where the system requires it), then flushes the folder when `flush_folder`; otherwise
// the caller flushes the folder and releases the record. 0, or -1 with a message; before the
// rename a failure removes the temporary file and keeps the target.
int id3_replace_fill(plat_temp* temp, const char* path, const id3_file* src, id3_head* head);
// The same for a splice list. src NULL: the list may hold only BYTES splices. A list that does not
// fit src (a kept region past its end, a patch outside its splice or a value its field cannot
// hold) is refused with "bad splice list", with nothing created.
int id3_replace_fill_splices(plat_temp* temp, const char* path, const id3_file* src,
                             const id3_splice_list* list);
int id3_replace_commit(plat_temp* temp, const char* path, id3_file* src, bool synced,
                       bool flush_folder);
// Flushes the folder of a renamed temporary file: 0, or -1 with a message (the target already
// holds the new contents). The _finish form also releases the record.
int id3_replace_flush_folder(const plat_temp* temp);
int id3_replace_finish_folder(plat_temp* temp);

// One file's replacement waiting in a group: its source, held open against other writers, and
// its filled temporary file.
struct id3_pending {
    id3_file src;
    plat_temp temp;
    const char* path;
};
#define ID3_GROUP_MAX 32
// Commits a group of at most ID3_GROUP_MAX filled replacements together: each temporary file is
// flushed to the disk, then each renamed over its target in order, then each folder flushed once.
// Every source is closed and every record released. rc[i] and messages[i] get each file's
// outcome (0 or -1, and the error text it leaves).
void id3_replace_commit_group(id3_pending* group, int count, int* rc,
                              char (*messages)[ID3_ERROR_MAX]);
// Whether path names the source of one of the group's replacements (the same file by another path
// too).
bool id3_group_holds(const id3_pending* group, int count, const char* path);
// Writes an extracted picture to out_path, through a temporary file and a rename. The output must
// be a regular file or nothing, and not the source file src. 0, or -1 with a message.
int id3_write_cover_file(const char* out_path, const id3_file* src, const uint8_t* data,
                         uint64_t len);

#endif
