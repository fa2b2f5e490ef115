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

// The zero bytes to add to a head of head->len bytes so that the audio at audio_off starts at the
// same offset in a block of the new file as in the old one, when the head's padding can take them:
// then the audio's whole blocks can be shared instead of copied. The length field is enlarged to
// count them. 0 when no bytes are needed or the field cannot take them.
static uint64_t align_padding(id3_head* head, uint64_t block) {
    uint64_t extra = (head->audio_off % block + block - id3_head_len(head) % block) % block;
    if (extra == 0 || head->grow_kind == ID3_GROW_NONE)
        return 0;
    uint8_t* field = head->data + head->grow_at;
    if (head->grow_kind == ID3_GROW_SYNCSAFE28) {
        if (head->grow_at + 4 > head->len)
            return 0;
        uint64_t size = id3_syncsafe32(field);
        if (size + extra >= (1u << 28))
            return 0;
        id3_put_syncsafe32(field, (uint32_t)(size + extra));
    } else {
        if (head->grow_at + 3 > head->len)
            return 0;
        uint64_t size = (uint64_t)id3_be24(field) + extra;
        if (size >= (1u << 24))
            return 0;
        id3_put_be24(field, (uint32_t)size);
    }
    return extra;
}

// Writes the head, and where the temporary file's file system can share blocks, the padding that
// aligns the audio with the old file's blocks. *block: the block size to clone in, or 0.
static int write_head(plat_temp* temp, const id3_file* src, id3_head* head, uint64_t* block) {
    *block = 0;
    // Aligning pays only when a whole block of audio is left to share.
    uint64_t audio_len = src && head->audio_off < src->size ? src->size - head->audio_off : 0;
    uint64_t size = audio_len > 0 ? plat_temp_clone_block(temp, &src->pf) : 0;
    uint64_t extra = size > 0 && audio_len > size ? align_padding(head, size) : 0;
    // The owned bytes with the borrowed pieces between them.
    uint64_t from = 0;
    for (uint64_t i = 0; i < head->piece_count; i++) {
        const id3_head_piece& piece = head->pieces[i];
        if (plat_temp_write(temp, head->data + from, piece.at - from) != 0 ||
            plat_temp_write(temp, piece.bytes, piece.len) != 0)
            return -1;
        from = piece.at;
    }
    if (plat_temp_write(temp, head->data + from, head->len - from) != 0)
        return -1;
    if (extra > 0) {
        std::unique_ptr<uint8_t, decltype(&free)> zeros((uint8_t*)calloc(1, (size_t)extra), free);
        if (!zeros) {
            errno = ENOMEM;
            return -1;
        }
        if (plat_temp_write(temp, zeros.get(), extra) != 0)
            return -1;
    }
    if (size > 0 && (head->keep_len + id3_head_len(head) + extra) % size == head->audio_off % size)
        *block = size;
    return 0;
}

// Copies the bytes of src from off to end to the temporary file's end: the part before the first
// whole block by a copy, the rest shared with src when block is non-zero and the file system
// agrees. 0; -1 with errno and *read_side set when reading failed; 1 when src ended early.
static int fill_audio(plat_temp* temp, const id3_file* src, uint64_t off, uint64_t end,
                      uint64_t block, int* read_side) {
    if (block > 0) {
        uint64_t shared_at = (off + block - 1) / block * block;
        if (shared_at < end) {
            int rc = shared_at > off
                         ? plat_temp_copy(temp, &src->pf, off, shared_at - off, read_side)
                         : 0;
            if (rc != 0)
                return rc;
            off = shared_at;
            rc = plat_temp_clone(temp, &src->pf, off, end - off);
            if (rc <= 0)
                return rc;
            // Refused: the copy takes over where the clone would have started.
        }
    }
    return plat_temp_copy(temp, &src->pf, off, end - off, read_side);
}

// The chunk in which renumbered Ogg pages are read and written: large enough that the system
// calls cost little beside the copy, and more than a page (at most 65307 bytes).
#define OGG_COPY_CHUNK (1u << 18)

// Copies the bytes of src from off to end as Ogg pages, renumbered as head asks (each page of its
// stream gets its sequence number moved, and its checksum with it). Memory holds one chunk
// at a time. 0; -1 with errno and *read_side set when reading or writing failed; 1 when src ended
// early; 2 with a message when the bytes are not whole Ogg pages.
static int fill_renumbered(plat_temp* temp, const id3_file* src, uint64_t off, uint64_t end,
                           const id3_head* head, int* read_side) {
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
        if (id3_ogg_renumber_pages(chunk.get(), have, off == end, head, &used) != 0)
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

// Copies the first keep_len bytes of src, which stay before the head: their whole blocks shared
// with src where the file system allows (they start at offset 0 in both files), the rest copied.
// 0, or as fill_audio.
static int copy_kept(plat_temp* temp, const id3_file* src, uint64_t keep_len, int* read_side) {
    uint64_t block = plat_temp_clone_block(temp, &src->pf);
    uint64_t whole = block > 0 ? keep_len / block * block : 0;
    int rc = whole > 0 ? fill_audio(temp, src, 0, whole, block, read_side) : 0;
    if (rc == 0 && keep_len > whole)
        rc = plat_temp_copy(temp, &src->pf, whole, keep_len - whole, read_side);
    return rc;
}

// Creates the temporary file and fills it with src's first keep_len bytes, the head and the bytes
// of src from audio_off on. src may be NULL when there is nothing to copy. Where the audio's blocks
// can be shared, the head's padding grows (head->data's length field with it). 0, or -1 with a
// message and nothing left behind.
int id3_replace_fill(plat_temp* temp, const char* path, const id3_file* src, id3_head* head) {
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
    uint64_t block = 0;
    int read_side = 0;
    rc = src && head->keep_len > 0 ? copy_kept(temp, src, head->keep_len, &read_side) : 0;
    if (rc != 0) {
        int err = errno;
        plat_temp_discard(temp);
        replace_fill_failed(path, rc, read_side, err);
        return -1;
    }
    if (write_head(temp, src, head, &block) != 0) {
        int err = errno;
        plat_temp_discard(temp);
        id3_set_error("short write: %s (%s)", path, strerror(err));
        return -1;
    }
    if (src && (head->audio_off < src->size || head->keep_len > 0)) {
        uint64_t audio_len = head->audio_off < src->size ? src->size - head->audio_off : 0;
        uint64_t replaced = head->tail_replaces <= audio_len ? head->tail_replaces : 0;
        rc = audio_len == 0 ? 0
             : head->ogg_renumber
                 ? fill_renumbered(temp, src, head->audio_off, src->size - replaced, head,
                                   &read_side)
                 : fill_audio(temp, src, head->audio_off, src->size - replaced, block, &read_side);
        if (rc == 0 && replaced > 0 && head->tail_len > 0 &&
            plat_temp_write(temp, head->tail, head->tail_len) != 0)
            rc = -1;
        if (rc != 0) {
            int err = errno;
            plat_temp_discard(temp);
            // Damaged Ogg pages (rc 2) have their message already.
            if (rc != 2)
                replace_fill_failed(path, rc, read_side, err);
            return -1;
        }
        // A file that grew since it was opened would lose its new tail with the old file.
        uint8_t extra;
        if (plat_pread(&src->pf, &extra, 1, src->size) != 0) {
            plat_temp_discard(temp);
            id3_set_error("file changed while writing: %s", path);
            return -1;
        }
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
