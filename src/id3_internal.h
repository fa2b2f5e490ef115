// Internal declarations shared by the library's sources, layer by layer from the bottom: the tag
// record, error text and growable buffer (record.cpp); file access and replacement (id3_file.cpp,
// over the platform layer); the containers (tag_id3.cpp, tag_flac.cpp, tag_mp4.cpp, with
// tag_utf.cpp and the property table and record of properties.cpp); detection and dispatch
// (dispatch.cpp); the JSON form (json_form.cpp); reading, writing and batch writing (reading.cpp,
// writing.cpp, batch.cpp), which the exports (quorvale_id3.cpp) call. A source calls only what is
// declared for the layers below its own. Last, small helpers for reading and writing integers in
// file formats.
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
#define ID3_FMT_OGG 4  // Ogg Vorbis
#define ID3_FMT_OPUS 5 // Ogg Opus
// The format's name in JSON and messages: "mp3", "flac", "mp4", "ogg", "opus" or "unknown".
const char* id3_format_name(int32_t format);

// The tags of one file. Every pointer but cover_seen is NULL or a malloc'd block owned by the
// record. A NULL text is an absent tag; "" is a present, empty one. The all-zero record is the
// empty record.
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
    // Where the last cover stored lay in the bytes its reader walked, copied or not: not owned,
    // and valid only as long as those bytes are (see ID3_COVER_IN_TAG).
    const uint8_t* cover_seen;
    uint64_t cover_seen_len;
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

// Error text: one 512-byte text per process.
#define ID3_ERROR_MAX 512
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void id3_set_error(const char* fmt, ...);
int id3_has_error(void);
void id3_clear_error(void);
const char* id3_error_text(void);

// Releases a tag record at the end of a scope, on every path.
struct id3_tags_guard {
    id3_tags* t;
    ~id3_tags_guard() { id3_tags_free(t); }
};

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
#define ID3_GROW_NONE 0
#define ID3_GROW_SYNCSAFE28 1 // an ID3v2 tag size: four syncsafe bytes
#define ID3_GROW_BE24 2       // a FLAC block length: three big-endian bytes
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
// The steps of one replacement. Fill: creates the temporary file with the head and the bytes of
// src from audio_off on, its tail replaced (src NULL: nothing to copy); where the audio's blocks
// can be shared, the head's padding grows (with its length field). 0, or -1 with a message and
// nothing left behind. Commit: flushes it to the disk (unless `synced`: the caller did), checks
// that src is unchanged, names the temporary file and renames it over the target (src is closed
// first where the system requires it), then flushes the folder when `flush_folder`; otherwise
// the caller flushes the folder and releases the record. 0, or -1 with a message; before the
// rename a failure removes the temporary file and keeps the target.
int id3_replace_fill(plat_temp* temp, const char* path, const id3_file* src, id3_head* head);
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

// ID3v2 text payloads to UTF-8 (each result is malloc'd, NULL only when memory runs out). The
// encoding byte of a text frame:
#define ID3_ENC_LATIN1 0
#define ID3_ENC_UTF16 1   // with a byte-order mark
#define ID3_ENC_UTF16BE 2 // without one, big-endian
#define ID3_ENC_UTF8 3
char* id3_decode_id3_text(uint8_t encoding, const uint8_t* p, uint64_t n);
char* id3_utf16_to_utf8(const uint8_t* p, uint64_t n, int big_endian);

// The name of ID3v1 genre number n, or NULL past the table.
const char* id3_v1_genre_name(unsigned n);

// The picture type of a front cover, in ID3v2 APIC frames and FLAC PICTURE blocks alike.
#define ID3_PICTURE_FRONT_COVER 3

// A FLAC PICTURE body (big-endian), also the content of an Ogg METADATA_BLOCK_PICTURE comment:
// picture type (4), MIME length M (4), MIME, description length D (4), description, width,
// height, depth, colours (4 each), data length (4), data. Offsets of the fields after the MIME
// type count from its end, and those after the description from its end.
#define PICTURE_MIME_LEN_AT 4
#define PICTURE_MIME_AT 8
#define PICTURE_DESC_LEN_AFTER_MIME 0
#define PICTURE_DATA_LEN_LEN 4         // the data length field
#define PICTURE_DATA_LEN_AFTER_DESC 16 // width, height, depth and colours come first
#define PICTURE_FIXED_LEN 32           // every field but the MIME type, description and data

// What a reader keeps of the picture bytes: none (a picture is noted with has_cover and
// cover_mime), the front cover's, or, for a write, only where the writer does not carry the old
// pictures as they stand (an MP3 tag of a version other than 2.2 to 2.4).
#define ID3_COVER_NONE 0
#define ID3_COVER_BYTES 1
#define ID3_COVER_UNLESS_CARRIED 2
// The front cover's bytes where they stand in the tag as read, for a caller that only writes them
// out: the MP3, FLAC and MP4 readers leave them in the bytes they read (the tag, the PICTURE
// block's body, the item list), which `keep` holds (keep->cover), and the MP3 reader copies them
// into the record only where they had to be decoded; the Ogg reader copies them as for
// ID3_COVER_BYTES.
#define ID3_COVER_IN_TAG 3

// A FLAC metadata block as the load walked it: its flag-and-type byte and its body (a
// VORBIS_COMMENT body runs to the end of its comments where the declared length falls short of
// them). The body bytes are kept for the comment blocks only: in the file's prefix or in
// body_copy.
struct id3_old_block {
    uint8_t flag_type;
    uint64_t body_at;
    uint64_t body_len;
    const uint8_t* body;
    uint8_t* body_copy;
};

// What a write's load keeps of the old tags for the writer, so that they are fetched and decoded
// once. MP3: the frame area of a tag whose frames are carried, the texts the ID3v2 tag gives on
// its own (before ID3v1 fills what it lacks), and the ID3v1 tag. FLAC: the metadata blocks in
// order and how the walk over them ended. All zero is empty; id3_old_tag_free releases it.
#define ID3_V1_TAG_LEN 128
struct id3_old_tag {
    uint8_t* tag_copy;   // the tag's bytes, when they reach past the file's prefix (with
                         // ID3_COVER_IN_TAG: the bytes `cover` lies in)
    uint8_t* area_copy;  // the frame area, when it had to be decoded
    const uint8_t* area; // the frames: in the prefix or in one of the copies
    uint64_t area_len;
    uint8_t major; // the version of a tag whose frames are carried; 0 when none are
    int v2_read;   // the ID3v2 tag (or its absence) was read: v2 holds its texts
    id3_tags v2;
    int has_v1;
    uint8_t v1[ID3_V1_TAG_LEN];
    id3_old_block* blocks;
    uint64_t block_count;
    uint64_t metadata_end; // where the walk stopped: the first byte after the metadata
    int metadata_overrun;  // the walk stopped at a block whose body runs past the end of the file
    // With ID3_COVER_IN_TAG: the front cover in the prefix or in tag_copy (NULL when the record
    // holds a copy, or there is none).
    const uint8_t* cover;
    uint64_t cover_len;
};
void id3_old_tag_free(id3_old_tag* old);
struct id3_old_tag_guard {
    id3_old_tag* old;
    ~id3_old_tag_guard() { id3_old_tag_free(old); }
};

// Container readers: fill an emptied record from an open file, reading only the bytes that hold
// tags; `cover` is one of ID3_COVER_*. With `keep`, the MP3 and FLAC readers also keep the old
// tags for a writer. 0, or -1 with a message.
int id3_mp3_load(const id3_file* f, id3_tags* t, int cover, id3_old_tag* keep);
int id3_flac_load(const id3_file* f, id3_tags* t, int want_cover, id3_old_tag* keep);
int id3_mp4_load(const id3_file* f, id3_tags* t, int want_cover, id3_old_tag* keep = nullptr);
// The same readers over a whole file image in memory, cover included.
int id3_mp3_read(const uint8_t* data, uint64_t len, id3_tags* t);
int id3_flac_read(const uint8_t* data, uint64_t len, id3_tags* t);
int id3_mp4_read(const uint8_t* data, uint64_t len, id3_tags* t);
int id3_ogg_load(const id3_file* f, id3_tags* t, int want_cover);
int id3_ogg_read(const uint8_t* data, uint64_t len, id3_tags* t);
// Ogg Vorbis or Opus (ID3_FMT_OGG, ID3_FMT_OPUS) when the bytes begin an Ogg page whose first
// packet is a Vorbis or Opus identification header, else ID3_FMT_UNKNOWN.
int32_t id3_ogg_detect(const uint8_t* data, uint64_t len);

// Ogg pages (ogg_page.cpp). Page header (little-endian): "OggS", version 0, flags, granule
// position (8), stream serial number (4), page sequence number (4), CRC-32 of the whole page with
// this field zero (4), segment count S (1), then S lacing values and the body, whose length is
// their sum.
#define OGG_CAPTURE "OggS"
#define OGG_CAPTURE_LEN 4
#define OGG_HEADER_LEN 27
#define OGG_VERSION_AT 4
#define OGG_FLAGS_AT 5
#define OGG_GRANULE_AT 6
#define OGG_SERIAL_AT 14
#define OGG_SEQUENCE_AT 18
#define OGG_CRC_AT 22
#define OGG_SEGMENTS_AT 26
#define OGG_FLAG_CONTINUED 0x01
#define OGG_FLAG_FIRST 0x02
#define OGG_FLAG_LAST 0x04
#define OGG_MAX_SEGMENTS 255
#define OGG_SEGMENT_MAX 255
#define OGG_MAX_PAGE (OGG_HEADER_LEN + OGG_MAX_SEGMENTS + OGG_MAX_SEGMENTS * OGG_SEGMENT_MAX)
// The checksum of a whole page of len bytes, its own field counted as zero.
uint32_t id3_ogg_page_crc(const uint8_t* page, uint64_t len);
// The checksum carried on over n more bytes (from 0 for the first): a page whose body lies apart
// from its header is summed as its header, its own field zero, then its body.
uint32_t id3_ogg_crc_update(uint32_t crc, const uint8_t* p, uint64_t n);
// The length of the whole page at data: -1 when the bytes are not an Ogg page, 0 when len cuts it.
int64_t id3_ogg_page_len(const uint8_t* data, uint64_t len);
// Renumbers the whole Ogg pages at the start of data[0..len) as head->ogg_renumber asks, in place;
// *used gets the bytes of those pages. A page cut by len is left for the next call, unless
// at_end. -1 with a message when the bytes are not Ogg pages.
int id3_ogg_renumber_pages(uint8_t* data, uint64_t len, bool at_end, const id3_head* head,
                           uint64_t* used);

// Vorbis comments (vorbis_comment.cpp), as FLAC's VORBIS_COMMENT block and Ogg's comment packet
// hold them (little-endian): vendor length, vendor, comment count, then each comment as a 4-byte
// length and "KEY=value". A walk yields the comments one at a time; the count is only an upper
// bound, and a comment that does not fit the body ends the walk.
struct id3_vc_walk {
    const uint8_t* body;
    uint64_t body_len;
    uint64_t pos;
    uint32_t left;
};
void id3_vc_walk_start(id3_vc_walk* w, const uint8_t* body, uint64_t body_len);
bool id3_vc_walk_next(id3_vc_walk* w, const char** text, uint64_t* text_len);
// The record field (0 title ... 5 track) that a comment key names (ASCII case ignored), or -1.
int id3_vc_field_of_key(const char* key, uint64_t key_len);
// Whether a write replaces a comment: its key, the bytes before the first "=", is a named field's
// or a named property's. A comment without "=" has no key, even when it spells a field's key.
struct id3_change;
bool id3_vc_replaced(const char* text, uint64_t text_len, const id3_change* change);
// Appends one comment: its 4-byte length and its text. -1 when memory runs out.
int id3_vc_append(id3_buf* b, const void* text, uint64_t text_len);
// Bytes that the vendor, the count and every counted comment take from the body's start; 0 when
// they do not all fit its n bytes.
uint64_t id3_vc_extent(const uint8_t* body, uint64_t n);
// The six text tags of a comment body into the record or, with p, every comment as a property
// whose key is its name, upper-cased (a comment without "=" is passed over). -1 when memory runs
// out.
struct id3_props;
int id3_vc_read(const uint8_t* body, uint64_t body_len, id3_tags* t, id3_props* p = nullptr);
// The fields of a PICTURE body. False for a body too short for its fields; a data length that
// overruns the body yields what the body holds, and an empty MIME type reads as image/jpeg.
struct id3_picture_fields {
    uint32_t type;
    const uint8_t* mime;
    uint64_t mime_len;
    const uint8_t* description;
    uint64_t description_len;
    const uint8_t* data;
    uint64_t data_len;
};
bool id3_picture_parse(const uint8_t* body, uint64_t body_len, id3_picture_fields* pic);
// A new comment body: the vendor, the named fields' comments ("KEY=value", whole) in the record's
// order, the named properties' comments (one per value, whole), then the carried comments (each
// already a length and its text). With `lend`, the values of ID3_BORROW_MIN bytes or more are not
// copied: `lend` gets pieces that borrow them, between the body's own bytes. -1 when a comment
// passes its 32-bit length or memory runs out.
int id3_vc_build(id3_buf* body, const uint8_t* vendor, uint64_t vendor_len, const id3_tags* t,
                 const id3_change* change, const id3_buf* carried, uint32_t carried_count,
                 id3_head* lend = nullptr);
// A FLAC PICTURE block body: its cover into the record (the bytes only with want_cover); a body
// too short for its fields is skipped. -1 when memory runs out.
int id3_flac_picture_read(const uint8_t* body, uint64_t body_len, id3_tags* t, int want_cover);
// A malloc'd PICTURE body of body_len bytes (32 + mime_len + the cover's size) holding the
// record's cover as a front cover. NULL when memory runs out.
uint8_t* id3_flac_picture_build(const id3_tags* t, const char* mime, uint64_t mime_len,
                                uint64_t body_len);

// The fields a write names: those the caller changed. Their old frames or comments are replaced
// by the record's values; everything else of the old tags is carried over as it stands.
#define ID3_FIELD_COUNT 6
#define ID3_NAMED_TITLE 0x01u
#define ID3_NAMED_ARTIST 0x02u
#define ID3_NAMED_ALBUM 0x04u
#define ID3_NAMED_GENRE 0x08u
#define ID3_NAMED_DATE 0x10u
#define ID3_NAMED_TRACK 0x20u

// A write's property changes (the "properties" member): each key named, upper-cased, with the
// values it gets in the caller's order (texts without U+0000); a key without values is removed.
// The values lie in `texts`, the JSON text as it was parsed in place, so that a large value is
// not held twice. All zero is none; id3_prop_edits_free releases it.
struct id3_prop_edit {
    char* key;
    char** values; // the array is malloc'd; the texts are in the changes' `texts`
    uint64_t count;
};
struct id3_prop_edits {
    id3_prop_edit* items;
    uint64_t count;
    char* texts; // malloc'd
    // The items' positions in the order of their keys, for lookups in logarithmic time; NULL
    // until id3_prop_edits_index builds it (lookups then walk the items).
    uint64_t* by_key;
};

// What one write changes: the named fields, whether the record's cover replaces the old front
// covers (otherwise the old pictures are all kept), and the properties named. Named fields in
// `by_props` take their values from the property of their key, not from the record: their old
// frames or comments go, and the writer writes the property's values in their place.
struct id3_change {
    uint32_t named;
    int cover_replaced;
    const id3_prop_edits* props; // NULL or none: no property named
    uint32_t by_props;
};

// Container writers: the new head of the open file f from the record and the old tags, as the
// load kept them in `old`. head->data is malloc'd and owned by the caller. 0, or -1 with a
// message.
int id3_mp3_build_head(const id3_file* f, const id3_tags* t, const id3_old_tag* old,
                       id3_change change, id3_head* head);
int id3_flac_build_head(const id3_file* f, const id3_tags* t, const id3_old_tag* old,
                        id3_change change, id3_head* head);
// MP4 atoms, for the reader and the writer. Atom header: 32-bit size (the whole atom) and type;
// size 0 runs to the end of the container, size 1 puts a 64-bit size after the type. A full box
// (meta, stco, co64, dref, hdlr, and a freeform item's mean and name) starts its payload with a
// version-and-flags word. A "data" atom's payload is a type word (version byte, 24-bit type), a
// locale word, then the value; a "trkn" or "disk" value is two reserved bytes, the number and the
// total (16-bit each), and for trkn two more. iTunes names its freeform items under one mean.
#define ATOM_HEADER_LEN 8
#define ATOM_LARGE_HEADER_LEN 16
#define ATOM_SIZE_TO_END 0
#define ATOM_SIZE_LARGE 1
#define FULL_BOX_HEADER_LEN 4
#define DATA_VALUE_AT 8
#define DATA_TYPE_IMPLICIT 0
#define DATA_TYPE_UTF8 1
#define DATA_TYPE_SIGNED 21
#define DATA_TYPE_UNSIGNED 22
#define TRKN_TRACK_AT 2
#define TRKN_TOTAL_AT 4
#define TRKN_VALUE_LEN 8
// A "gnre" value: the ID3v1 genre number plus one, big-endian 16-bit.
#define GNRE_VALUE_LEN 2
#define MP4_ITUNES_MEAN "com.apple.iTunes"
#define MP4_ITUNES_FREEFORM "----:" MP4_ITUNES_MEAN ":"
// For MP4 the head is the new moov (with a free atom after it that gave or took its room), and
// keep_len the bytes before the old moov.
int id3_mp4_build_head(const id3_file* f, const id3_tags* t, id3_change change, id3_head* head);
// The property key of an item of the item list (its type and payload) into key, NUL-terminated:
// 1, 0 when the item holds no property, -1 with a message when an atom is damaged or memory runs
// out.
int id3_mp4_item_key(const char* type, const uint8_t* payload, uint64_t len, id3_buf* key);
// The extent of the MP4 atom whose header starts at p, with `remaining` bytes of its region left
// (at least 8; 16 readable when remaining allows): 1 with the whole atom's *size and its
// *header_size, 0 when it does not fit, -1 (message recorded) when its size is below its header.
int id3_mp4_atom_extent(const uint8_t* p, uint64_t remaining, uint64_t* size,
                        uint64_t* header_size);
int id3_ogg_build_head(const id3_file* f, const id3_tags* t, id3_change change, id3_head* head);

// The property map (properties.cpp): every text a tag holds, under the property names taggers
// share, and every picture. The mapping of keys to ID3v2 frames and MP4 items is one table;
// Vorbis comments are named by the key itself.
struct id3_property_row {
    const char* key;
    const char* id3v24; // "TPE2", "TXXX:Description", "UFID:owner", "TIPL:role", or NULL
    const char* id3v23; // the same for version 2.3 (and 2.2, whose frames are read as 2.3's)
    const char* mp4;    // "aART", "----:mean:name", or NULL
};
extern const id3_property_row id3_property_table[];
extern const size_t id3_property_table_len;
// The key of an ID3v2 frame of version `major` (4-character id, with the TXXX description, UFID
// owner or TIPL/IPLS role as `qualifier`; empty for the others): the table's key, or NULL.
const char* id3_property_of_id3(const char* id, const char* qualifier, uint64_t qualifier_len,
                                int major);
// The key of an MP4 item ("aART", or "----:mean:name" for a freeform one), or NULL.
const char* id3_property_of_mp4(const char* name, uint64_t name_len);

// One value of one property, and one picture, in the file's order. All zero is empty;
// id3_props_free releases it.
struct id3_prop {
    char* key;
    char* value; // value_len bytes, NUL after them
    uint64_t value_len;
};
struct id3_picture_info {
    int32_t type;
    char mime[64];
    char* description;
    uint64_t size;
};
struct id3_props {
    id3_prop* items;
    uint64_t count;
    uint64_t cap;
    id3_picture_info* pictures;
    uint64_t picture_count;
    uint64_t picture_cap;
    int32_t format;
};
void id3_props_free(id3_props* p);
struct id3_props_guard {
    id3_props* p;
    ~id3_props_guard() { id3_props_free(p); }
};
// Adds one value under key (key_len bytes; upper-cased in ASCII when `upper`). -1 when memory
// runs out.
int id3_props_add(id3_props* p, const char* key, uint64_t key_len, bool upper, const char* value,
                  uint64_t value_len);
// Adds one picture: its type, MIME type (cut to 63 bytes), description and byte count. -1 when
// memory runs out.
int id3_props_add_picture(id3_props* p, int32_t type, const char* mime, uint64_t mime_len,
                          const char* description, uint64_t description_len, uint64_t size);
// Whether a value under key has been added.
bool id3_props_has(const id3_props* p, const char* key);

// Property changes. The keys of the record's fields, in its order (TITLE ... TRACKNUMBER).
extern const char* const id3_field_keys[ID3_FIELD_COUNT];
void id3_prop_edits_free(id3_prop_edits* e);
struct id3_prop_edits_guard {
    id3_prop_edits* e;
    ~id3_prop_edits_guard() { id3_prop_edits_free(e); }
};
// Orders the changes' keys for id3_prop_edits_find (which finds either of two changes of one
// key). -1 when memory runs out (the changes are kept).
int id3_prop_edits_index(id3_prop_edits* e);
// With the index built: the position of the first change whose key an earlier change named too,
// or e->count when every key is named once.
uint64_t id3_prop_edits_first_repeat(const id3_prop_edits* e);
// The change of the key of key_len bytes (ASCII case ignored), or NULL when it is not named.
const id3_prop_edit* id3_prop_edits_find(const id3_prop_edits* e, const char* key,
                                         uint64_t key_len);
// Leaves out the changes that give a key the values the file reads now (`now`, the file's
// property map): they are no change, and the old frames stay as they are. -1 when memory runs
// out.
int id3_prop_edits_drop_unchanged(id3_prop_edits* e, const id3_props* now);
// Checks that the container of `format` can hold every change. 0, or -1 with a message naming
// the key.
int id3_prop_edits_check(const id3_prop_edits* e, int32_t format);
// Parses "N", or with `pair` also "N/M", decimal, each at most max, into *number and *total (-1
// when there is none). False for any other text.
bool id3_parse_number(const char* text, unsigned long max, bool pair, long* number, long* total);
// The property table's row of key (exact), or NULL.
const id3_property_row* id3_property_row_of(const char* key);

// Container property readers: add every text and picture of the open file's tags, reading only
// the bytes that hold them. 0, or -1 with a message.
// With `held`, the MP3 reader takes the tag's bytes from what a write's load kept instead of
// reading them again.
int id3_mp3_load_props(const id3_file* f, id3_props* p, const id3_old_tag* held = nullptr);
int id3_flac_load_props(const id3_file* f, id3_props* p);
int id3_mp4_load_props(const id3_file* f, id3_props* p);
int id3_ogg_load_props(const id3_file* f, id3_props* p);

// Detection and dispatch (dispatch.cpp).
// Container of a file image from its first bytes (at most 290 are looked at: an Ogg first page
// with its lacing).
int32_t id3_detect_fmt(const uint8_t* data, uint64_t len);
// Container of an open file. A FLAC stream right after an ID3v2 tag is FLAC, and f->base is set to
// its start. The format, or -1 with a message when the file cannot be read.
int32_t id3_file_format(id3_file* f);
// Fills an emptied record (its format set) from the open file by its container's reader; `cover`
// and `keep` as for the readers. 0, or -1 with a message.
int id3_load_tags(id3_file* f, id3_tags* t, int cover, id3_old_tag* keep);
// Whether a write may go on after a failed load: only for an "ID3" file too short to hold a tag,
// which has no tags to lose. A reader that ran out of memory or could not read the file must not
// lead to a rewrite from an empty record.
bool id3_load_failure_is_harmless(const id3_file* f, const id3_tags* loaded);
// Whether this library writes the container.
bool id3_format_writable(int32_t format);
// Fills an emptied property map from the open file by its container's reader. 0, or -1 with a
// message.
int id3_load_props(id3_file* f, id3_props* p, const id3_old_tag* held = nullptr);
// The container writer of t->format.
int id3_build_head(const id3_file* f, const id3_tags* t, const id3_old_tag* old, id3_change change,
                   id3_head* head);

// The JSON form (json_form.cpp).
// What a tags object removes: the fields given as null (ID3_NAMED_* bits), and the front covers
// when "cover" is null.
struct id3_removals {
    uint32_t fields;
    int cover;
};
// JSON mapping of a tag record. from_json fills *removed, when given, with what the object removes,
// and *props, when given, with its "properties" member.
char* id3_tags_to_json(const id3_tags* t);
int32_t id3_tags_from_json(id3_tags* t, const char* text, id3_removals* removed = nullptr,
                           id3_prop_edits* props = nullptr);
// {"format":...,"properties":{"KEY":["value",...]},"pictures":[...]}: keys in the order of their
// first value, values and pictures in the map's order. NULL with a message.
char* id3_props_to_json(const id3_props* p);
// The string members of a JSON array of paths, in order, each with its byte count (a member may
// hold U+0000). One malloc'd block holds the entries and their texts. NULL with a message
// ("invalid dir_json", "dir_json must be array of paths", "oom").
struct id3_path {
    const char* text;
    uint64_t len;
};
id3_path* id3_paths_from_json(const char* text, uint64_t* count);
using id3_owned_paths = std::unique_ptr<id3_path, id3_free_deleter>;

// Reading (reading.cpp): the JSON object of the file's tags (NULL with a message), and its front
// cover written to out_path (0, or -1 with a message).
char* id3_read_json(const char* path);
int id3_extract_front_cover(const char* path, const char* out_path);
// The JSON object of every property and picture of the file (NULL with a message).
char* id3_read_all_json(const char* path);

// Writing (writing.cpp). Prepare: everything of one write up to the commit: the file opened once
// (open_mode ID3_OPEN_WRITE or ID3_OPEN_WRITE_NOWAIT), its tags loaded and merged with the
// update, the new head built and the temporary file filled. 0, or -1 with a message and nothing
// left open; ID3_WOULD_BLOCK, without a message, when open_mode does not wait and another writer
// holds the file. The others write one file: 0, or -1 with a message.
int id3_prepare_write(const char* path, const char* tags_json, id3_pending* w, int open_mode);
int id3_write_tags(const char* path, const char* tags_json);
int id3_write_cover(const char* path, const char* image_path);

// Batch writing (batch.cpp): the number of files written, or -1 with a message when dir_json is
// refused. The _results form returns each path's outcome as JSON, or NULL with a message when
// dir_json or tags_json is refused.
int32_t id3_write_batch(const char* dir_json, const char* tags_json);
char* id3_write_batch_results(const char* dir_json, const char* tags_json);

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
