/* The "write" command, and its dry run: what a write would leave, told without writing. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include <unistd.h>
#endif

/* Why a write would be refused for want of a place to write its temporary file beside `path`, or
 * NULL. */
static const char* unwritable_folder(const char* path) {
#ifdef _WIN32
    (void)path;
    return NULL;
#else
    struct text_buf dir = {0};
    const char* slash = strrchr(path, '/');
    if (slash)
        buf_append(&dir, path, slash == path ? 1 : (size_t)(slash - path));
    else
        buf_append_str(&dir, ".");
    int ok = dir.failed || access(dir.data, W_OK | X_OK) == 0;
    int reason = errno;
    free(dir.data);
    if (ok)
        return NULL;
    static char message[256];
    snprintf(message, sizeof message, "cannot create temp: %s", strerror(reason));
    return message;
#endif
}

/* Appends the JSON text of one member's value, or `otherwise` when it is absent. */
static void append_value(struct text_buf* out, const struct json_member* m, const char* otherwise) {
    if (m->value)
        buf_append(out, m->value, m->len);
    else
        buf_append_str(out, otherwise);
}

/* What a write of the tag object (its members `update`) would leave in `path`, told without
 * writing anything: the file is read, the object is laid over what the read gives as the library
 * lays it over the file's tags, and a file that a write would refuse gets the write's message.
 * Prints the result as "read" does. */
static int dry_run_one(struct progress* progress, const char* path,
                       const struct json_member* update, int as_list) {
    char* current = id3_read(path); /* the file's own messages come first */
    if (!current)
        return print_result(progress, path, NULL, NULL, as_list);
    struct json_member had[KEY_COUNT];
    const char* error;
    size_t where;
    scan_tag_object(current, had, 0, &error, &where);
    const char* refusal = unwritable_folder(path);
    if (refusal) {
        id3_free_string(current);
        return print_result(progress, path, NULL, refusal, as_list);
    }
    struct text_buf out = {0};
    buf_append(&out, "{", 1);
    for (int i = 0; i < TAG_COUNT; i++) {
        const struct json_member* given = &update[i];
        if (i == TAG_DATE && given->type != 's' && given->type != 'n')
            given = &update[KEY_YEAR];
        buf_append_str(&out, i ? ",\"" : "\"");
        buf_append_str(&out, TAG_KEYS[i]);
        buf_append_str(&out, "\":");
        if (given->type == 's')
            append_value(&out, given, "\"\"");
        else if (given->type == 'n')
            buf_append_str(&out, "\"\"");
        else
            append_value(&out, &had[i], "\"\"");
    }
    int cover_removed = update[KEY_COVER].type == 'n';
    buf_append_str(&out, ",\"format\":");
    append_value(&out, &had[KEY_FORMAT], "\"unknown\"");
    buf_append_str(&out, ",\"has_cover\":");
    if (cover_removed)
        buf_append_str(&out, "false");
    else
        append_value(&out, &had[KEY_HAS_COVER], "false");
    if (!cover_removed && had[KEY_COVER_MIME].value) {
        buf_append_str(&out, ",\"cover_mime\":");
        append_value(&out, &had[KEY_COVER_MIME], "\"\"");
    }
    buf_append(&out, "}", 1);
    id3_free_string(current);
    if (out.failed) {
        free(out.data);
        return out_of_memory();
    }
    int status = print_result(progress, path, out.data, NULL, as_list);
    free(out.data);
    return status;
}

/* 1 when the JSON array `value` holds an item. */
static int has_items(const char* value) {
    struct json_scan s = {value, 0, NULL, 0, 0};
    return *value == '[' && !scan_open(&s, ']');
}

/* Appends "KEY":value, after a comma unless it is the first member (`*count` 0). */
static void append_property(struct text_buf* out, int* count, const char* key, const char* value,
                            size_t len) {
    buf_append_str(out, (*count)++ ? "," : "");
    buf_append_json_string(out, key);
    buf_append(out, ":", 1);
    buf_append(out, value, len);
}

/* Appends the property map a write of `update` would leave over the map `had` of the file: first
 * the keys the update names (the six tags as their keys, then "properties", whose value decides
 * for a key named in both), each with the values given; then the file's other keys as they are.
 * An empty list or a null tag removes its key. */
static void append_changed_properties(struct text_buf* out, const struct json_member* update,
                                      const struct property_list* given,
                                      const struct property_list* had) {
    int count = 0;
    int named[TAG_COUNT] = {0};
    buf_append(out, "{", 1);
    for (int i = 0; i < TAG_COUNT; i++) {
        const struct json_member* tag = &update[i];
        if (i == TAG_DATE && tag->type != 's' && tag->type != 'n')
            tag = &update[KEY_YEAR];
        named[i] = tag->type == 's' || tag->type == 'n';
        if (tag->type != 's' || properties_find(given, TAG_PROPERTY_KEYS[i]))
            continue;
        buf_append_str(out, count++ ? "," : "");
        buf_append_json_string(out, TAG_PROPERTY_KEYS[i]);
        buf_append_str(out, ":[");
        buf_append(out, tag->value, tag->len);
        buf_append_str(out, "]");
    }
    for (size_t i = 0; i < given->count; i++) {
        const struct property* item = &given->items[i];
        if (has_items(item->value))
            append_property(out, &count, item->key, item->value, item->len);
    }
    for (size_t i = 0; i < had->count; i++) {
        const struct property* item = &had->items[i];
        int replaced = properties_find(given, item->key) != NULL;
        for (int t = 0; t < TAG_COUNT && !replaced; t++)
            replaced = named[t] && strcmp(item->key, TAG_PROPERTY_KEYS[t]) == 0;
        if (!replaced)
            append_property(out, &count, item->key, item->value, item->len);
    }
    buf_append(out, "}", 1);
}

/* Appends the pictures array `pictures` of id3_read_all, without the front covers (type 3) when
 * `drop_covers`. */
static void append_pictures(struct text_buf* out, const char* pictures, int drop_covers) {
    static const char FRONT_COVER[] = "{\"type\":3,";
    struct json_scan s = {pictures, 0, NULL, 0, 0};
    int count = 0;
    buf_append(out, "[", 1);
    int empty = scan_open(&s, ']');
    while (!empty) {
        scan_space(&s);
        size_t start = s.pos;
        scan_value(&s, NULL);
        if (!drop_covers || strncmp(pictures + start, FRONT_COVER, sizeof FRONT_COVER - 1) != 0) {
            buf_append_str(out, count++ ? "," : "");
            buf_append(out, pictures + start, s.pos - start);
        }
        if (scan_next(&s, ']', "") != 0)
            break;
    }
    buf_append(out, "]", 1);
}

/* The dry run of a write that names properties: as dry_run_one, but it prints id3_read_all's
 * object, the properties and pictures the write would leave. The values are shown as given; how a
 * container stores them (an MP4 number, an ID3 genre number read as its name) and what it refuses
 * only for its format (a second DISCNUMBER in MP4) is told by the write itself. */
static int dry_run_all_one(struct progress* progress, const char* path,
                           const struct json_member* update, int as_list) {
    char* current = id3_read_all(path);
    if (!current)
        return print_result(progress, path, NULL, NULL, as_list);
    const char* refusal = unwritable_folder(path);
    if (refusal) {
        id3_free_string(current);
        return print_result(progress, path, NULL, refusal, as_list);
    }
    struct json_member had[KEY_COUNT];
    const char* error;
    size_t where;
    scan_tag_object(current, had, 0, &error, &where);
    struct property_list had_map = {0}, given = {0};
    struct text_buf out = {0};
    if (parse_properties(had[KEY_PROPERTIES].value ? had[KEY_PROPERTIES].value : "{}", &had_map) !=
            0 ||
        parse_properties(update[KEY_PROPERTIES].value, &given) != 0)
        out.failed = 1;
    buf_append_str(&out, "{\"format\":");
    append_value(&out, &had[KEY_FORMAT], "\"unknown\"");
    buf_append_str(&out, ",\"properties\":");
    append_changed_properties(&out, update, &given, &had_map);
    buf_append_str(&out, ",\"pictures\":");
    append_pictures(&out, had[KEY_PICTURES].value ? had[KEY_PICTURES].value : "[]",
                    update[KEY_COVER].type == 'n');
    buf_append(&out, "}", 1);
    properties_free(&had_map);
    properties_free(&given);
    id3_free_string(current);
    int status =
        out.failed ? out_of_memory() : print_result(progress, path, out.data, NULL, as_list);
    free(out.data);
    return status;
}

int cmd_write(int argc, char** argv, char** value_argv) {
    struct write_args args;
    struct text_buf json = {0};
    struct json_member members[KEY_COUNT];
    int status =
        parse_write_command("write", WRITE_HELP, argc, argv, value_argv, &args, &json, members);
    struct path_list paths = {0};
    if (status == EXIT_OK && !args.help)
        status = collect_paths(args.files, args.file_count, args.recursive, &paths);
    /* a key taken for a typo writes nothing */
    int keys_refused = 0;
    if (status == EXIT_OK && !args.help && !paths.failed) {
        status = check_property_keys("write", &args, &paths);
        keys_refused = status != EXIT_OK;
    }
    int as_list = paths.count != 1 || paths.from_walk;
    struct progress progress;
    progress_begin(&progress, args.dry_run ? paths.count : 0);
    struct job_tally tally;
    tally_begin(&tally, args.dry_run || keys_refused ? 0 : paths.count);
    /* A failure is reported and the remaining files are still written. */
    for (size_t i = 0; i < paths.count && !paths.failed && !keys_refused; i++) {
        progress_show(&progress, i);
        tally_show(&tally, i);
        if (args.dry_run && members[KEY_PROPERTIES].type == 'o') {
            if (dry_run_all_one(&progress, paths.items[i], members, as_list) != EXIT_OK)
                status = EXIT_FAILED;
        } else if (args.dry_run) {
            if (dry_run_one(&progress, paths.items[i], members, as_list) != EXIT_OK)
                status = EXIT_FAILED;
        } else if (id3_write(paths.items[i], json.data) != 0) {
            tally_failed(&tally, paths.items[i], library_error());
        } else {
            tally.written++;
        }
    }
    progress_clear(&progress);
    if (tally_end(&tally) != EXIT_OK)
        status = EXIT_FAILED;
    paths_free(&paths);
    free(json.data);
    write_args_free(&args);
    return status;
}
