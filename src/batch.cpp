// Batch writing: the files of a batch are prepared one by one and committed in groups (see the
// group commit in the file-access source). A file that is already in the group (the same path, or
// another path to the same file) first commits the group, so that it is read with the earlier
// write applied, as when written in sequence. id3_batch and id3_batch_results are one run of the
// same routine; the second also keeps each path's outcome and returns them as a JSON array.
#include "error_code.h"
#include "json_form.h"
#include "operations.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// At most this many bytes written wait in one group (and at most ID3_GROUP_MAX files).
#define BATCH_GROUP_BYTES (256ull << 20)

// What became of one path, for id3_batch_results: written, or failed with the message its write
// left, kept at `message` bytes into the run's message text.
struct batch_result {
    bool written;
    uint64_t message;
};

struct batch_state {
    id3_pending group[ID3_GROUP_MAX];
    uint64_t index[ID3_GROUP_MAX];              // each waiting file's place in the path list
    char message[ID3_GROUP_MAX][ID3_ERROR_MAX]; // what each write left after its preparation
    int count;
    uint64_t bytes;
    int32_t written;
    uint64_t last_index; // the place of the array's last string member
    bool last_done;
    char last_message[ID3_ERROR_MAX]; // that member's outcome, once known
    // id3_batch_results only: one result per path, and the failures' messages, each ended by a
    // NUL. results_lost is set when memory for a message ran out.
    batch_result* results;
    id3_buf messages;
    bool results_lost;
};

// Keeps the outcome of the path at `index`: the error text it left, the message of the array's
// last string member (which the call leaves behind), and the path's result when they are kept.
static void batch_outcome(batch_state* b, uint64_t index, bool written) {
    if (index == b->last_index) {
        snprintf(b->last_message, sizeof b->last_message, "%s", id3_error_text());
        b->last_done = true;
    }
    if (!b->results)
        return;
    b->results[index].written = written;
    if (written)
        return;
    b->results[index].message = b->messages.len;
    const char* text = id3_error_text();
    if (id3_buf_append(&b->messages, text, strlen(text) + 1) != 0)
        b->results_lost = true;
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
        batch_outcome(b, b->index[i], rc[i] == 0);
    }
    b->count = 0;
    b->bytes = 0;
}

static void batch_add(batch_state* b, const id3_path* path, uint64_t index, const char* tags_json) {
    id3_clear_error();
    // Cut at its NUL, the path would name another file.
    if (memchr(path->text, 0, path->len)) {
        id3_set_error("NUL character in path");
        batch_outcome(b, index, false);
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
            batch_outcome(b, index, false);
            return;
        }
    }
    snprintf(b->message[b->count], sizeof b->message[b->count], "%s", id3_error_text());
    b->index[b->count] = index;
    id3_file_release_prefix(&w->src);
    b->bytes += w->src.size;
    b->count++;
    if (b->count == ID3_GROUP_MAX || b->bytes >= BATCH_GROUP_BYTES)
        batch_commit(b);
}

// Writes tags_json into the `count` paths. Every path is tried; what remains in the error buffer
// is the last write's outcome, as if each file had been written in turn. With `results`, each
// path's outcome is kept there and the failures' messages in *messages (handed to the caller).
// The number of files written, or -1 when memory runs out before the first write.
static int32_t batch_run(const id3_path* paths, uint64_t count, const char* tags_json,
                         batch_result* results, id3_buf* messages, bool* results_lost) {
    // The state is large (a message per waiting file); it lives on the heap.
    batch_state* b = (batch_state*)calloc(1, sizeof *b);
    if (!b) {
        id3_set_error("oom");
        return -1;
    }
    b->results = results;
    b->last_index = count > 0 ? count - 1 : 0;
    for (uint64_t i = 0; i < count; i++)
        batch_add(b, &paths[i], i, tags_json);
    batch_commit(b);
    int32_t written = b->written;
    if (b->last_done)
        id3_set_error("%s", b->last_message);
    else
        id3_clear_error();
    if (messages)
        *messages = b->messages;
    if (results_lost)
        *results_lost = b->results_lost;
    free(b);
    return written;
}

int32_t id3_write_batch(const char* dir_json, const char* tags_json) {
    uint64_t count = 0;
    id3_owned_paths paths(id3_paths_from_json(dir_json, &count));
    if (!paths)
        return -1;
    return batch_run(paths.get(), count, tags_json, nullptr, nullptr, nullptr);
}

// Appends the len bytes at text as a JSON string: the quotation mark, the reverse solidus and the
// control characters (U+0000 among them) escaped, every other byte as it stands (a path or a
// message may hold bytes that are not UTF-8; they pass through, as in the tags id3_read returns).
static void append_json_string(id3_buf* out, const char* text, uint64_t len, bool* failed) {
    static const char HEX[] = "0123456789abcdef";
    *failed |= id3_buf_append(out, "\"", 1) != 0;
    uint64_t plain = 0; // bytes copied as they stand, waiting to be appended
    for (uint64_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x20 && c != '"' && c != '\\') {
            plain++;
            continue;
        }
        char escape[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0x0F]};
        bool short_form = c == '"' || c == '\\';
        if (short_form)
            escape[1] = (char)c;
        *failed |= id3_buf_append(out, text + i - plain, plain) != 0;
        *failed |= id3_buf_append(out, escape, short_form ? 2 : sizeof escape) != 0;
        plain = 0;
    }
    *failed |= id3_buf_append(out, text + len - plain, plain) != 0;
    *failed |= id3_buf_append(out, "\"", 1) != 0;
}

// [{"path":"...","result":"written"},{"path":"...","result":"failed","error":"...","code":N},...]
static char* batch_results_json(const id3_path* paths, uint64_t count, const batch_result* results,
                                const id3_buf* messages) {
    id3_buf out = {};
    bool failed = id3_buf_append(&out, "[", 1) != 0;
    for (uint64_t i = 0; i < count && !failed; i++) {
        static const char PATH[] = ",{\"path\":";
        failed |= id3_buf_append(&out, i ? PATH : PATH + 1, sizeof PATH - (i ? 1 : 2)) != 0;
        append_json_string(&out, paths[i].text, paths[i].len, &failed);
        if (results[i].written) {
            static const char WRITTEN[] = ",\"result\":\"written\"}";
            failed |= id3_buf_append(&out, WRITTEN, sizeof WRITTEN - 1) != 0;
            continue;
        }
        static const char FAILED[] = ",\"result\":\"failed\",\"error\":";
        failed |= id3_buf_append(&out, FAILED, sizeof FAILED - 1) != 0;
        const char* message = (const char*)messages->data + results[i].message;
        append_json_string(&out, message, strlen(message), &failed);
        char code[32]; // ,"code":N}
        int code_len =
            snprintf(code, sizeof code, ",\"code\":%d}", (int)id3_error_code_of(message));
        failed |= id3_buf_append(&out, code, (uint64_t)code_len) != 0;
    }
    failed |= id3_buf_append(&out, "]", 2) != 0; // with the terminating NUL
    if (failed) {
        id3_buf_release(&out);
        id3_set_error("oom");
        return nullptr;
    }
    return (char*)out.data;
}

// Whether the tags object would be refused by every write, whatever the file: such a text is
// refused as a whole, before any path is looked at. 0, or -1 with the write's message.
static int batch_check_tags(const char* tags_json) {
    id3_record update;
    id3_record_init(&update);
    id3_record_guard update_guard{&update};
    id3_removals removed;
    id3_prop_edits edits = {};
    id3_prop_edits_guard edits_guard{&edits};
    return id3_record_from_json(&update, tags_json, &removed, &edits);
}

char* id3_write_batch_results(const char* dir_json, const char* tags_json) {
    uint64_t count = 0;
    id3_owned_paths paths(id3_paths_from_json(dir_json, &count));
    if (!paths || batch_check_tags(tags_json) != 0)
        return nullptr;
    batch_result* results = (batch_result*)calloc(count > 0 ? count : 1, sizeof *results);
    if (!results) {
        id3_set_error("oom");
        return nullptr;
    }
    id3_buf messages = {};
    bool results_lost = false;
    char* json = nullptr;
    if (batch_run(paths.get(), count, tags_json, results, &messages, &results_lost) >= 0) {
        if (results_lost)
            id3_set_error("oom");
        else if ((json = batch_results_json(paths.get(), count, results, &messages)))
            id3_clear_error();
    }
    id3_buf_release(&messages);
    free(results);
    return json;
}
