// Batch writing: the files of a batch are prepared one by one and committed in groups (see the
// group commit in the file-access source). A file that is already in the group (the same path, or
// another path to the same file) first commits the group, so that it is read with the earlier
// write applied, as when written in sequence.
#include "json_form.h"
#include "operations.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// At most this many bytes written wait in one group (and at most ID3_GROUP_MAX files).
#define BATCH_GROUP_BYTES (256ull << 20)

struct batch_state {
    id3_pending group[ID3_GROUP_MAX];
    char message[ID3_GROUP_MAX][ID3_ERROR_MAX]; // what each write left after its preparation
    int count;
    uint64_t bytes;
    int32_t written;
    const char* last_path; // the array's last string member
    bool last_done;
    char last_message[ID3_ERROR_MAX]; // that member's outcome, once known
};

// Keeps the outcome of the array's last string member, which the call leaves behind.
static void batch_outcome(batch_state* b, bool is_last) {
    if (is_last) {
        snprintf(b->last_message, sizeof b->last_message, "%s", id3_error_text());
        b->last_done = true;
    }
}

// Commits the group and records each file's outcome.
static void batch_commit(batch_state* b) {
    int rc[ID3_GROUP_MAX];
    char message[ID3_GROUP_MAX][ID3_ERROR_MAX];
    id3_replace_commit_group(b->group, b->count, rc, message);
    for (int i = 0; i < b->count; i++) {
        if (rc[i] == 0) {
            b->written++;
            // A success keeps what its preparation left (the message of a harmless failed load).
            id3_set_error("%s", b->message[i]);
        } else {
            id3_set_error("%s", message[i]);
        }
        batch_outcome(b, b->group[i].path == b->last_path);
    }
    b->count = 0;
    b->bytes = 0;
}

static void batch_add(batch_state* b, const id3_path* path, const char* tags_json) {
    id3_clear_error();
    bool is_last = path->text == b->last_path;
    // Cut at its NUL, the path would name another file.
    if (memchr(path->text, 0, path->len)) {
        id3_set_error("NUL character in path");
        batch_outcome(b, is_last);
        return;
    }
    // A file already in the group is written after the group, as in sequence.
    if (id3_group_holds(b->group, b->count, path->text))
        batch_commit(b);
    id3_clear_error();
    id3_pending* w = &b->group[b->count];
    // While the group holds other files, another writer's file is not waited for (two batches
    // waiting for each other's files would wait for ever), and a group that cannot grow (a full
    // disk, no descriptors left) commits what it has: the file is then tried again alone, as it
    // would be when written in turn.
    bool added =
        b->count > 0 && id3_prepare_write(path->text, tags_json, w, ID3_OPEN_WRITE_NOWAIT) == 0;
    if (!added) {
        if (b->count > 0)
            batch_commit(b);
        id3_clear_error();
        w = &b->group[0];
        if (id3_prepare_write(path->text, tags_json, w, ID3_OPEN_WRITE) != 0) {
            batch_outcome(b, is_last);
            return;
        }
    }
    snprintf(b->message[b->count], sizeof b->message[b->count], "%s", id3_error_text());
    id3_file_release_prefix(&w->src);
    b->bytes += w->src.size;
    b->count++;
    if (b->count == ID3_GROUP_MAX || b->bytes >= BATCH_GROUP_BYTES)
        batch_commit(b);
}

int32_t id3_write_batch(const char* dir_json, const char* tags_json) {
    uint64_t count = 0;
    id3_owned_paths paths(id3_paths_from_json(dir_json, &count));
    if (!paths)
        return -1;
    // The state is large (a message per waiting file); it lives on the heap.
    batch_state* b = (batch_state*)calloc(1, sizeof *b);
    if (!b) {
        id3_set_error("oom");
        return -1;
    }
    if (count > 0)
        b->last_path = paths.get()[count - 1].text;
    // Every string member is tried; others are skipped without a message. What remains in the
    // error buffer is the last write's outcome, as if each file had been written in turn.
    for (uint64_t i = 0; i < count; i++)
        batch_add(b, &paths.get()[i], tags_json);
    batch_commit(b);
    int32_t written = b->written;
    if (b->last_done)
        id3_set_error("%s", b->last_message);
    else
        id3_clear_error();
    free(b);
    return written;
}
