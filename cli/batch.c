/* The "batch" command: one library call writes the tags into every file, and the library's
 * per-file results name each file not written with the reason its write gave. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* What became of each file, from id3_batch_results: whether it was written, and for a file that
 * was not, where its reason starts in `reasons` (the texts one after another, each ended by a
 * NUL). */
struct batch_outcomes {
    int* written;
    size_t* reason_at;
    size_t count;
    struct text_buf reasons;
};

/* Reads one object of the results array at s->pos (its "{"): its "result" and "error" members;
 * others are for later and are stepped over. Returns 0, or -1 when the text is not that. */
static int read_outcome(struct json_scan* s, struct batch_outcomes* out) {
    static const char WRITTEN[] = "\"written\"";
    size_t index = out->count;
    out->written[index] = 0;
    out->reason_at[index] = out->reasons.len;
    int has_reason = 0;
    if (s->text[s->pos] != '{')
        return -1;
    int next = scan_open(s, '}');
    while (next == 0) {
        scan_space(s);
        char key[16];
        if (s->text[s->pos] != '"' || scan_string(s, NULL, key, sizeof key) != 0)
            return -1;
        scan_space(s);
        if (s->text[s->pos++] != ':')
            return -1;
        scan_space(s);
        int rc;
        if (strcmp(key, "error") == 0 && s->text[s->pos] == '"') {
            rc = scan_string_text(s, &out->reasons);
            has_reason = 1;
        } else {
            if (strcmp(key, "result") == 0)
                out->written[index] = strncmp(s->text + s->pos, WRITTEN, sizeof WRITTEN - 1) == 0;
            rc = scan_value(s, NULL);
        }
        if (rc != 0)
            return -1;
        next = scan_next(s, '}', "");
    }
    if (next < 0)
        return -1;
    if (!has_reason)
        buf_append_str(&out->reasons, "unknown error");
    buf_append(&out->reasons, "", 1); /* the reason's end */
    out->count++;
    return 0;
}

/* Reads the array id3_batch_results returned for `count` files. Returns 0, or -1 when memory ran
 * out or the text does not hold one object per file. */
static int read_outcomes(const char* results, size_t count, struct batch_outcomes* out) {
    memset(out, 0, sizeof *out);
    out->written = (int*)calloc(count ? count : 1, sizeof *out->written);
    out->reason_at = (size_t*)calloc(count ? count : 1, sizeof *out->reason_at);
    if (!out->written || !out->reason_at)
        return -1;
    struct json_scan s = {results, 0, NULL, 0, 0};
    scan_space(&s);
    if (results[s.pos] != '[')
        return -1;
    int next = scan_open(&s, ']');
    while (next == 0 && out->count < count) {
        scan_space(&s);
        if (read_outcome(&s, out) != 0)
            return -1;
        next = scan_next(&s, ']', "");
    }
    return next > 0 && out->count == count && !out->reasons.failed ? 0 : -1;
}

static void outcomes_free(struct batch_outcomes* outcomes) {
    free(outcomes->written);
    free(outcomes->reason_at);
    free(outcomes->reasons.data);
}

/* Writes `tags_json` into the files with one id3_batch_results call and reports the count, then
 * each file not written with its own reason, and the message of the last file when that one was
 * not written. */
static int run_batch(const struct path_list* files, const char* tags_json) {
    struct text_buf paths = {0};
    buf_append(&paths, "[", 1);
    for (size_t i = 0; i < files->count; i++) {
        if (i)
            buf_append(&paths, ",", 1);
        buf_append_json_bytes(&paths, files->items[i], 1);
    }
    buf_append(&paths, "]", 1);
    if (paths.failed) {
        free(paths.data);
        return out_of_memory();
    }
    char* results = id3_batch_results(paths.data, tags_json);
    free(paths.data);
    if (!results) {
        fprintf(stderr, "%s: batch: %s\n", PROGRAM, library_error());
        return EXIT_FAILED;
    }
    struct batch_outcomes outcomes;
    int read = read_outcomes(results, files->count, &outcomes);
    id3_free_string(results);
    if (read != 0) {
        outcomes_free(&outcomes);
        return out_of_memory();
    }
    size_t written = 0;
    for (size_t i = 0; i < files->count; i++)
        written += outcomes.written[i] != 0;
    printf("wrote %lu of %lu files\n", (unsigned long)written, (unsigned long)files->count);
    if (written == files->count) {
        outcomes_free(&outcomes);
        return EXIT_OK;
    }
    for (size_t i = 0; i < files->count; i++) {
        if (outcomes.written[i])
            continue;
        fprintf(stderr, "%s: batch: not written: %s\n", PROGRAM, files->items[i]);
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, files->items[i],
                outcomes.reasons.data + outcomes.reason_at[i]);
    }
    unsigned long failed = (unsigned long)(files->count - written);
    size_t last = files->count - 1;
    if (!outcomes.written[last])
        fprintf(stderr, "%s: batch: %lu file(s) not written; last message: %s\n", PROGRAM, failed,
                outcomes.reasons.data + outcomes.reason_at[last]);
    else
        fprintf(stderr, "%s: batch: %lu file(s) not written\n", PROGRAM, failed);
    outcomes_free(&outcomes);
    return EXIT_FAILED;
}

int cmd_batch(int argc, char** argv, char** value_argv) {
    struct write_args args;
    struct text_buf json = {0};
    struct json_member members[KEY_COUNT];
    int status =
        parse_write_command("batch", BATCH_HELP, argc, argv, value_argv, &args, &json, members);
    struct path_list paths = {0};
    if (status == EXIT_OK && !args.help)
        status = collect_paths(args.files, args.file_count, args.recursive, &paths);
    /* a key taken for a typo writes nothing */
    int keys_refused = 0;
    if (status == EXIT_OK && !args.help && !paths.failed) {
        status = check_property_keys("batch", &args, &paths);
        keys_refused = status != EXIT_OK;
    }
    if (!args.help && !paths.failed && !keys_refused && (status == EXIT_OK || paths.count > 0)) {
        /* a folder that could not be listed still fails the run */
        int batch_status = run_batch(&paths, json.data);
        if (status == EXIT_OK)
            status = batch_status;
    }
    paths_free(&paths);
    free(json.data);
    write_args_free(&args);
    return status;
}
