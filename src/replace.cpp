// The replacement of a file, the one place where the library writes files: the new file is
// filled beside the target from the head in memory and the old file's remaining bytes, committed
// to the disk and renamed over the target, alone or in a group committed together; and the
// writing of an extracted picture.
#include "replace.h"
#include "ogg_page.h"
#include "platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

// ---------------------------------------------------------------------------------------------
// Atomic replacement
//
// The new file is written beside the target: its head from memory, then the rest of the old file
// copied by the system. It is committed to the disk, named, and renamed over the target; then the
// folder is flushed. A failure at any step before the rename leaves the target as it was and
// removes the temporary file.

// The folder part of path for a message ("." when it has none), cut to fit out.
static const char* folder_part(const char* path, char* out, size_t cap) {
    const char* end = nullptr;
    for (const char* p = path; *p; p++) {
        if (*p == '/' || *p == '\\')
            end = p;
    }
    if (!end)
        return ".";
    size_t n = end == path ? 1 : (size_t)(end - path);
    snprintf(out, cap, "%.*s", (int)n, path);
    return out;
}

uint64_t id3_head_len(const id3_head* head) {
    uint64_t len = head->len;
    for (uint64_t i = 0; i < head->piece_count; i++)
        len += head->pieces[i].len;
    return len;
}

int id3_head_borrow(id3_head* head, uint64_t at, const uint8_t* bytes, uint64_t len) {
    if (head->piece_count >= SIZE_MAX / sizeof(id3_head_piece) - 1)
        return -1;
    void* grown = realloc(head->pieces, (size_t)(head->piece_count + 1) * sizeof(id3_head_piece));
    if (!grown)
        return -1;
    head->pieces = (id3_head_piece*)grown;
    head->pieces[head->piece_count++] = id3_head_piece{at, bytes, len};
    return 0;
}

void id3_head_release(id3_head* head) {
    free(head->data);
    free(head->pieces);
    free(head->lent);
    free(head->tail);
    head->data = nullptr;
    head->pieces = nullptr;
    head->lent = nullptr;
    head->tail = nullptr;
    head->len = head->piece_count = head->tail_len = head->tail_replaces = 0;
}

// Copies the old bytes a..b of src to the temporary file's end, at offset out of the new file.
// Where they start at the same offset in a block of block bytes as in src, their whole blocks are
// shared with src if the file system agrees (the last one only when it ends src), the rest
// copied. 0; -1 with errno and *read_side set when reading failed; 1 when src ended early.
static int copy_range(plat_temp* temp, const id3_file* src, uint64_t a, uint64_t b, uint64_t out,
                      uint64_t block, int* read_side) {
    uint64_t shared_at = block > 0 ? (a + block - 1) / block * block : b;
    uint64_t shared_end = block == 0 || b == src->size ? b : b / block * block;
    if (block == 0 || out % block != a % block || shared_at >= shared_end)
        return plat_temp_copy(temp, &src->pf, a, b - a, read_side);
    int rc = shared_at > a ? plat_temp_copy(temp, &src->pf, a, shared_at - a, read_side) : 0;
    if (rc != 0)
        return rc;
    rc = plat_temp_clone(temp, &src->pf, shared_at, shared_end - shared_at);
    if (rc < 0)
        return rc;
    // Refused (1): the copy takes over where the clone would have started.
    uint64_t copied_from = rc == 0 ? shared_end : shared_at;
    return copied_from < b ? plat_temp_copy(temp, &src->pf, copied_from, b - copied_from, read_side)
                           : 0;
}

// The bytes of a size field of kind, and the largest value it holds (0, 0: no such kind).
static uint64_t field_width(int kind) {
    return kind == ID3_FIELD_BE24                                   ? 3
           : kind >= ID3_FIELD_SYNCSAFE28 && kind <= ID3_FIELD_LE32 ? 4
                                                                    : 0;
}

static uint64_t field_max(int kind) {
    switch (kind) {
    case ID3_FIELD_SYNCSAFE28:
        return (1u << 28) - 1;
    case ID3_FIELD_BE24:
        return (1u << 24) - 1;
    case ID3_FIELD_BE32:
    case ID3_FIELD_LE32:
        return UINT32_MAX;
    default:
        return 0;
    }
}

static void put_field(uint8_t* at, int kind, uint64_t value) {
    if (kind == ID3_FIELD_SYNCSAFE28)
        id3_put_syncsafe32(at, (uint32_t)value);
    else if (kind == ID3_FIELD_BE24)
        id3_put_be24(at, (uint32_t)value);
    else if (kind == ID3_FIELD_BE32)
        id3_put_be32(at, (uint32_t)value);
    else
        id3_put_le32(at, (uint32_t)value);
}

static uint64_t splice_len(const id3_splice& splice) {
    uint64_t len = splice.len;
    for (uint64_t i = 0; i < splice.piece_count; i++)
        len += splice.pieces[i].len;
    return len;
}

// Whether the list describes a new file that src can give: every kept region inside src, every
// patch inside its splice, in order, and holding its value.
static bool splices_fit(const id3_file* src, const id3_splice_list* list) {
    for (uint64_t i = 0; i < list->count; i++) {
        const id3_splice& splice = list->splices[i];
        if (splice.kind == ID3_SPLICE_BYTES)
            continue;
        if ((splice.kind != ID3_SPLICE_KEEP && splice.kind != ID3_SPLICE_OGG_PAGES) || !src ||
            splice.from > src->size || splice.len > src->size - splice.from)
            return false;
    }
    if (list->grows >= 0 && ((uint64_t)list->grows >= list->count ||
                             list->splices[list->grows].kind != ID3_SPLICE_BYTES))
        return false;
    for (uint64_t i = 0; i < list->patch_count; i++) {
        const id3_size_patch& patch = list->patches[i];
        uint64_t width = field_width(patch.kind);
        if (width == 0 || patch.splice >= list->count || patch.value > field_max(patch.kind))
            return false;
        const id3_splice& splice = list->splices[patch.splice];
        if (splice.kind == ID3_SPLICE_OGG_PAGES || patch.at > splice.len ||
            width > splice.len - patch.at)
            return false;
        const id3_size_patch* before = i > 0 ? &list->patches[i - 1] : nullptr;
        if (before &&
            (before->splice > patch.splice ||
             (before->splice == patch.splice && before->at + field_width(before->kind) > patch.at)))
            return false;
    }
    return true;
}

// The zero bytes to add at the end of the growing splice so that the kept splice after it starts
// at the same offset in a block of the new file as in the old one (then its whole blocks can be
// shared instead of copied), when a whole block of the old file is left from there and every
// field that counts them can take them. 0 otherwise.
static uint64_t growth(const id3_file* src, const id3_splice_list* list, uint64_t block) {
    uint64_t grows = (uint64_t)list->grows;
    if (list->grows < 0 || block == 0 || grows + 1 >= list->count)
        return 0;
    const id3_splice& next = list->splices[grows + 1];
    if (next.kind != ID3_SPLICE_KEEP || src->size - next.from <= block)
        return 0;
    uint64_t end = 0;
    for (uint64_t i = 0; i <= grows; i++)
        end += splice_len(list->splices[i]);
    uint64_t extra = (next.from % block + block - end % block) % block;
    for (uint64_t i = 0; i < list->patch_count && extra > 0; i++) {
        const id3_size_patch& patch = list->patches[i];
        if (patch.counts_growth && patch.value + extra > field_max(patch.kind))
            extra = 0;
    }
    return extra;
}

// Writes a BYTES splice, its patches written into its own bytes first, and `extra` zero bytes
// after it. 0, or -1 with errno.
static int write_bytes(plat_temp* temp, const id3_splice_list* list, uint64_t index,
                       uint64_t extra_after, uint64_t growth_bytes) {
    const id3_splice& splice = list->splices[index];
    for (uint64_t i = 0; i < list->patch_count; i++) {
        const id3_size_patch& patch = list->patches[i];
        if (patch.splice == index)
            put_field(splice.bytes + patch.at, patch.kind,
                      patch.value + (patch.counts_growth ? growth_bytes : 0));
    }
    // The own bytes with the borrowed pieces between them.
    uint64_t from = 0;
    for (uint64_t i = 0; i < splice.piece_count; i++) {
        const id3_head_piece& piece = splice.pieces[i];
        if (plat_temp_write(temp, splice.bytes + from, piece.at - from) != 0 ||
            plat_temp_write(temp, piece.bytes, piece.len) != 0)
            return -1;
        from = piece.at;
    }
    if (plat_temp_write(temp, splice.bytes + from, splice.len - from) != 0)
        return -1;
    if (extra_after > 0) {
        id3_owned_bytes zeros((uint8_t*)calloc(1, (size_t)extra_after));
        if (!zeros) {
            errno = ENOMEM;
            return -1;
        }
        if (plat_temp_write(temp, zeros.get(), extra_after) != 0)
            return -1;
    }
    return 0;
}

// Copies a KEEP splice at offset out of the new file, its patches written in place of the old
// bytes they cover. 0, or as copy_range.
static int copy_kept(plat_temp* temp, const id3_file* src, const id3_splice_list* list,
                     uint64_t index, uint64_t out, uint64_t block, uint64_t growth_bytes,
                     int* read_side) {
    const id3_splice& splice = list->splices[index];
    uint64_t at = splice.from;
    for (uint64_t i = 0; i < list->patch_count; i++) {
        const id3_size_patch& patch = list->patches[i];
        if (patch.splice != index)
            continue;
        int rc = copy_range(temp, src, at, splice.from + patch.at, out, block, read_side);
        if (rc != 0)
            return rc;
        out += splice.from + patch.at - at;
        uint8_t field[4];
        uint64_t width = field_width(patch.kind);
        put_field(field, patch.kind, patch.value + (patch.counts_growth ? growth_bytes : 0));
        if (plat_temp_write(temp, field, width) != 0) {
            *read_side = 0;
            return -1;
        }
        out += width;
        at = splice.from + patch.at + width;
    }
    return copy_range(temp, src, at, splice.from + splice.len, out, block, read_side);
}

// The chunk in which renumbered Ogg pages are read and written: large enough that the system
// calls cost little beside the copy, and more than a page (at most 65307 bytes).
#define OGG_COPY_CHUNK (1u << 18)

// Copies the bytes of src from off to end as Ogg pages, renumbered as list asks (each page of its
// stream gets its sequence number moved, and its checksum with it). Memory holds one chunk
// at a time. 0; -1 with errno and *read_side set when reading or writing failed; 1 when src ended
// early; 2 with a message when the bytes are not whole Ogg pages.
static int fill_renumbered(plat_temp* temp, const id3_file* src, uint64_t off, uint64_t end,
                           const id3_splice_list* list, int* read_side) {
    id3_owned_bytes chunk((uint8_t*)malloc(OGG_COPY_CHUNK));
    if (!chunk) {
        errno = ENOMEM;
        return -1;
    }
    uint64_t have = 0; // bytes in the chunk, the start of a page cut by its end among them
    while (off < end || have > 0) {
        uint64_t want = OGG_COPY_CHUNK - have < end - off ? OGG_COPY_CHUNK - have : end - off;
        if (want > 0) {
            int64_t got = plat_pread(&src->pf, chunk.get() + have, want, off);
            if (got < 0) {
                *read_side = 1;
                return -1;
            }
            if (got == 0)
                return 1;
            have += (uint64_t)got;
            off += (uint64_t)got;
        }
        uint64_t used = 0;
        if (id3_ogg_renumber_pages(chunk.get(), have, off == end, list->ogg_serial,
                                   list->ogg_seq_delta, &used) != 0)
            return 2;
        if (used == 0 && have == OGG_COPY_CHUNK) {
            id3_set_error("damaged Ogg page among the audio");
            return 2;
        }
        if (plat_temp_write(temp, chunk.get(), used) != 0)
            return -1;
        memmove(chunk.get(), chunk.get() + used, (size_t)(have - used));
        have -= used;
    }
    return 0;
}

// The message of a copy from the source that failed: rc and read_side as fill_audio gives them,
// err the errno of the failure.
static void replace_fill_failed(const char* path, int rc, int read_side, int err) {
    if (rc > 0)
        id3_set_error("file changed while writing: %s", path);
    else if (read_side)
        id3_set_error("cannot read: %s (%s)", path, strerror(err));
    else
        id3_set_error("short write: %s (%s)", path, strerror(err));
}

// Creates the temporary file and fills it with the head's splices: src's first keep_len bytes,
// the head and the bytes of src from audio_off on, its tail replaced. The head's padding may grow
// (head->data's length field with it).
int id3_replace_fill(plat_temp* temp, const char* path, const id3_file* src, id3_head* head) {
    // At most: the kept start, the head, the rest of the old file, the new tail.
    id3_splice splices[4];
    id3_size_patch grow = {};
    id3_splice_list list = {splices, 0, &grow, 0, -1, head->ogg_serial, head->ogg_seq_delta};
    if (src && head->keep_len > 0)
        splices[list.count++] = id3_splice{ID3_SPLICE_KEEP, 0, head->keep_len, nullptr, nullptr, 0};
    splices[list.count] =
        id3_splice{ID3_SPLICE_BYTES, 0, head->len, head->data, head->pieces, head->piece_count};
    uint64_t width = field_width(head->grow_kind);
    if (width > 0 && head->grow_at <= head->len && width <= head->len - head->grow_at) {
        const uint8_t* field = head->data + head->grow_at;
        uint64_t value =
            head->grow_kind == ID3_GROW_SYNCSAFE28 ? id3_syncsafe32(field) : id3_be24(field);
        grow = id3_size_patch{head->grow_kind, list.count, head->grow_at, value, true};
        list.patch_count = 1;
        list.grows = (int64_t)list.count;
    }
    list.count++;
    if (src && head->audio_off < src->size) {
        uint64_t audio_len = src->size - head->audio_off;
        uint64_t replaced = head->tail_replaces <= audio_len ? head->tail_replaces : 0;
        splices[list.count++] =
            id3_splice{head->ogg_renumber ? ID3_SPLICE_OGG_PAGES : ID3_SPLICE_KEEP,
                       head->audio_off,
                       audio_len - replaced,
                       nullptr,
                       nullptr,
                       0};
        if (replaced > 0 && head->tail_len > 0)
            splices[list.count++] =
                id3_splice{ID3_SPLICE_BYTES, 0, head->tail_len, head->tail, nullptr, 0};
    }
    return id3_replace_fill_splices(temp, path, src, &list);
}

int id3_replace_fill_splices(plat_temp* temp, const char* path, const id3_file* src,
                             const id3_splice_list* list) {
    if (!splices_fit(src, list)) {
        id3_set_error("bad splice list");
        return -1;
    }
    int rc = plat_temp_create(temp, path);
    if (rc == PLAT_NAME_TOO_LONG) {
        id3_set_error("path too long for a temporary file: %s", path);
        return -1;
    }
    if (rc == PLAT_XATTRS_FAILED) {
        id3_set_error("cannot copy extended attributes: %s (%s)", path, strerror(errno));
        return -1;
    }
    if (rc != 0) {
        char folder[400];
        int err = errno;
        id3_set_error("cannot create temp: %s (%s)", folder_part(path, folder, sizeof folder),
                      strerror(err));
        return -1;
    }
    // The block size in which the two files can share blocks, asked once when old bytes are kept.
    bool reads_src = false;
    bool clones = false;
    for (uint64_t i = 0; i < list->count; i++) {
        const id3_splice& splice = list->splices[i];
        reads_src = reads_src || splice.kind != ID3_SPLICE_BYTES;
        clones = clones || (splice.kind != ID3_SPLICE_BYTES && splice.from < src->size);
    }
    uint64_t block = clones ? plat_temp_clone_block(temp, &src->pf) : 0;
    uint64_t extra = reads_src ? growth(src, list, block) : 0;
    uint64_t out = 0;
    for (uint64_t i = 0; i < list->count; i++) {
        const id3_splice& splice = list->splices[i];
        int read_side = 0;
        uint64_t extra_after = list->grows == (int64_t)i ? extra : 0;
        if (splice.kind == ID3_SPLICE_BYTES) {
            rc = write_bytes(temp, list, i, extra_after, extra);
        } else if (splice.kind == ID3_SPLICE_OGG_PAGES) {
            rc =
                fill_renumbered(temp, src, splice.from, splice.from + splice.len, list, &read_side);
        } else {
            rc = copy_kept(temp, src, list, i, out, block, extra, &read_side);
        }
        if (rc != 0) {
            int err = errno;
            plat_temp_discard(temp);
            // Damaged Ogg pages (rc 2) have their message already.
            if (splice.kind == ID3_SPLICE_BYTES)
                id3_set_error("short write: %s (%s)", path, strerror(err));
            else if (rc != 2)
                replace_fill_failed(path, rc, read_side, err);
            return -1;
        }
        out += splice_len(splice) + extra_after;
    }
    // A file that grew since it was opened would lose its new tail with the old file.
    uint8_t past_end;
    if (reads_src && plat_pread(&src->pf, &past_end, 1, src->size) != 0) {
        plat_temp_discard(temp);
        id3_set_error("file changed while writing: %s", path);
        return -1;
    }
    return 0;
}

// Commits a filled temporary file: its data to the disk (unless a flush of its whole volume has
// done that), then its name and the rename over the target, then the folder. 0, or -1 with a
// message; before the rename a failure removes the temporary file and keeps the target.
int id3_replace_commit(plat_temp* temp, const char* path, id3_file* src, bool synced,
                       bool flush_folder) {
    // The data must be on the disk before the rename makes it the target: after a power cut the
    // target is then either the old file or the complete new one. A failed flush means the data
    // may not be there, so the old file is kept.
    if (!synced && plat_temp_sync(temp) != 0) {
        int err = errno;
        plat_temp_discard(temp);
        id3_set_error("disk flush failed: %s (%s)", path, strerror(err));
        return -1;
    }
    // Bytes that another program appended or changed since the file was read would be lost with
    // the old file: such a file is left as it is.
    if (src && !plat_file_unchanged(&src->pf, path)) {
        plat_temp_discard(temp);
        id3_set_error("file changed while writing: %s", path);
        return -1;
    }
    // Windows refuses to rename over a file that is open: there the source is closed before it is
    // replaced. Elsewhere it stays open, and the other writers of the file wait until the rename.
    if (src)
        plat_close_before_replace(&src->pf);
    int rc = plat_temp_close(temp);
    if (rc != 0) {
        int err = errno;
        plat_temp_discard(temp);
        if (rc == PLAT_CLOSE_FAILED)
            id3_set_error("close failed: %s (%s)", path, strerror(err));
        else
            id3_set_error("cannot create temp: %s", strerror(err));
        return -1;
    }
    int renamed = plat_temp_rename(temp, src ? &src->pf : nullptr);
    if (renamed != PLAT_RENAMED) {
        unsigned long code = temp->code;
        plat_temp_discard(temp);
        if (renamed == PLAT_RENAME_TARGET_CHANGED)
            id3_set_error("file changed while writing: %s", path);
        else if (renamed == PLAT_RENAME_STICKY_FOLDER)
            id3_set_error("cannot replace target (another user's file in a sticky folder): %s",
                          path);
        else if (renamed == PLAT_RENAME_ACCESS_DENIED)
            id3_set_error("cannot replace target (read-only or locked): %s", path);
        else
            id3_set_error("rename failed (win32 %lu): %s", code, path);
        return -1;
    }
    // The target holds the new contents from here on; what remains is making the rename durable.
    // A batch flushes each folder once, after all its renames, and releases the record itself.
    if (!flush_folder)
        return 0;
    return id3_replace_finish_folder(temp);
}

// Flushes the folder of a renamed temporary file. 0, or -1 with a message: the target holds the
// new contents either way, but the rename may not survive a power cut.
int id3_replace_flush_folder(const plat_temp* temp) {
    if (plat_flush_folder(temp) != 0) {
        id3_set_error("folder flush failed: %s (%s)", temp->folder, strerror(errno));
        return -1;
    }
    return 0;
}

int id3_replace_finish_folder(plat_temp* temp) {
    int rc = id3_replace_flush_folder(temp);
    plat_temp_release(temp);
    return rc;
}

int id3_write_cover_file(const char* out_path, const id3_file* src, const uint8_t* data,
                         uint64_t len) {
    // A FIFO or device would be waited on or written in part; the source itself would be
    // replaced by its picture.
    plat_file out;
    int kind = plat_identify(out_path, &out);
    if (kind == PLAT_NOT_REGULAR || (kind != 0 && errno == EISDIR)) {
        id3_set_error("cannot write cover: %s (not a regular file)", out_path);
        return -1;
    }
    if (kind == 0 && out.device == src->pf.device && out.inode == src->pf.inode) {
        id3_set_error("cannot write cover: %s (the output is the source file)", out_path);
        return -1;
    }
    // The picture replaces the output atomically: a failure leaves an existing one as it was.
    plat_temp temp;
    id3_head image = {};
    image.data = const_cast<uint8_t*>(data);
    image.len = len;
    if (id3_replace_fill(&temp, out_path, nullptr, &image) != 0)
        return -1;
    return id3_replace_commit(&temp, out_path, nullptr, false, true);
}

// ---------------------------------------------------------------------------------------------
// Group commit
//
// The files of a group were each filled; each is now committed to the disk (its own data only,
// not other programs'), then they are renamed one by one and each folder is flushed once. Every
// file is still either old or new after a crash at any point. The writeback of all the files is
// started before the first is flushed, so that the file system commits them together.

void id3_replace_commit_group(id3_pending* group, int count, int* rc,
                              char (*messages)[ID3_ERROR_MAX]) {
    plat_temp* temps[ID3_GROUP_MAX] = {};
    int sync_errs[ID3_GROUP_MAX];
    for (int i = 0; i < count; i++)
        temps[i] = &group[i].temp;
    plat_temp_sync_group(temps, count, sync_errs);
    // The renames, in order; each folder is flushed once after them.
    for (int i = 0; i < count; i++) {
        id3_pending* p = &group[i];
        id3_clear_error();
        if (sync_errs[i] != 0) {
            plat_temp_discard(&p->temp);
            id3_set_error("disk flush failed: %s (%s)", p->path, strerror(sync_errs[i]));
            rc[i] = -1;
        } else {
            rc[i] = id3_replace_commit(&p->temp, p->path, &p->src, true, false);
        }
        id3_file_close(&p->src);
        snprintf(messages[i], ID3_ERROR_MAX, "%s", id3_error_text());
    }
    bool renamed[ID3_GROUP_MAX];
    for (int i = 0; i < count; i++)
        renamed[i] = rc[i] == 0;
    for (int i = 0; i < count; i++) {
        if (!renamed[i])
            continue;
        const char* folder = group[i].temp.folder;
        // A folder already flushed for an earlier file of the group shares that outcome.
        int earlier = -1;
        for (int j = 0; j < i && earlier < 0; j++) {
            if (renamed[j] && strcmp(group[j].temp.folder, folder) == 0)
                earlier = j;
        }
        if (earlier >= 0) {
            rc[i] = rc[earlier];
            snprintf(messages[i], ID3_ERROR_MAX, "%s", messages[earlier]);
            continue;
        }
        id3_clear_error();
        rc[i] = id3_replace_flush_folder(&group[i].temp);
        snprintf(messages[i], ID3_ERROR_MAX, "%s", id3_error_text());
    }
    for (int i = 0; i < count; i++)
        plat_temp_release(&group[i].temp);
}

bool id3_group_holds(const id3_pending* group, int count, const char* path) {
    // The file's identity is enough: it is looked at, not opened.
    plat_file probe;
    if (plat_identify(path, &probe) != 0)
        return false;
    bool held = false;
    for (int i = 0; i < count && !held; i++)
        held = group[i].src.pf.device == probe.device && group[i].src.pf.inode == probe.inode;
    return held;
}
