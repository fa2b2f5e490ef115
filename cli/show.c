/* What a person asks of a file: "get" prints the values of one key, "keys" the keys a file holds,
 * and the listing prints a file's tags as aligned "KEY  value" lines (what "read" prints on a
 * terminal). All three read the file's property map (id3_read_all). */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

int stdout_is_terminal(void) {
#ifdef _WIN32
    return _isatty(_fileno(stdout));
#else
    return isatty(fileno(stdout));
#endif
}

int read_property_map(const char* all_json, struct json_member* members,
                      struct property_list* map) {
    const char* error;
    size_t where;
    memset(map, 0, sizeof *map);
    if (scan_tag_object(all_json, members, 0, &error, &where) != 0)
        return -1;
    const char* object = members[KEY_PROPERTIES].type == 'o' ? members[KEY_PROPERTIES].value : "{}";
    return parse_properties(object, map) == 0 && !map->failed ? 0 : -1;
}

int holds_front_cover(const struct json_member* members) {
    return members[KEY_PICTURES].type == 'o' &&
           strstr(members[KEY_PICTURES].value, "{\"type\":3,") != NULL;
}

int property_values(const struct property* item, struct text_buf* out) {
    struct json_scan s = {item->value, 0, NULL, 0, 0};
    if (item->value[0] != '[')
        return -1;
    int next = scan_open(&s, ']');
    while (next == 0) {
        scan_space(&s);
        if (scan_string_text(&s, out) != 0)
            return -1;
        buf_append(out, "", 1);
        next = scan_next(&s, ']', "");
    }
    return next < 0 || out->failed ? -1 : 0;
}

/* The property key a person names: case does not matter, and the field names of "read" stand for
 * their keys (track for TRACKNUMBER). Returns a malloc'd upper-case key, or NULL. */
static char* key_asked_for(const char* name) {
    for (int i = 0; i < TAG_COUNT; i++) {
        if (strcmp(name, TAG_KEYS[i]) == 0)
            name = TAG_PROPERTY_KEYS[i];
    }
    char* key = (char*)malloc(strlen(name) + 1);
    if (!key)
        return NULL;
    for (size_t i = 0; (key[i] = name[i]) != '\0'; i++) {
        if (key[i] >= 'a' && key[i] <= 'z')
            key[i] = (char)(key[i] - 'a' + 'A');
    }
    return key;
}

/* Prints `text` (NUL-ended items one after another, `len` bytes) one item a line, each after
 * `prefix` and ":" when `prefix` is given. */
static void print_items(const char* prefix, const struct text_buf* items) {
    for (size_t at = 0; at < items->len; at += strlen(items->data + at) + 1) {
        if (prefix)
            printf("%s:", prefix);
        puts(items->data + at);
    }
}

/* "get" and "keys": FILE... then, for "get", the KEY. */
static int show_command(const char* command, const char* help, int argc, char** argv) {
    struct file_command cmd;
    int parsed = parse_file_command(command, help, argc, argv, NULL, NULL, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    const char** files = cmd.files;
    size_t file_count = cmd.count;
    int recursive = cmd.recursive;
    int is_get = strcmp(command, "get") == 0;
    char* key = NULL;
    if (is_get && file_count > 0)
        key = key_asked_for(files[--file_count]);
    if (file_count == 0) {
        free(files);
        free(key);
        char message[64];
        snprintf(message, sizeof message,
                 is_get ? "%s: usage: get FILE... KEY" : "%s: no FILE given", command);
        return usage_error(command, message);
    }
    struct path_list paths = {0};
    int status =
        (is_get && !key) ? out_of_memory() : collect_paths(files, file_count, recursive, &paths);
    free(files);
    /* Lines of several files start with the file's path, as metaflac does. */
    int several = paths.count != 1 || paths.from_walk;
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        char* all = id3_read_all(paths.items[i]);
        if (!all) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, paths.items[i], library_error());
            status = EXIT_FAILED;
            continue;
        }
        struct json_member members[KEY_COUNT];
        struct property_list map;
        struct text_buf items = {0};
        int failed = read_property_map(all, members, &map);
        for (size_t k = 0; k < map.count && !failed; k++) {
            if (!is_get) {
                buf_append_str(&items, map.items[k].key);
                buf_append(&items, "", 1);
            } else if (strcmp(map.items[k].key, key) == 0) {
                failed = property_values(&map.items[k], &items);
            }
        }
        if (failed || items.failed)
            status = out_of_memory();
        else
            print_items(several ? paths.items[i] : NULL, &items);
        free(items.data);
        properties_free(&map);
        id3_free_string(all);
    }
    free(key);
    paths_free(&paths);
    return status;
}

int cmd_get(int argc, char** argv) {
    return show_command("get", GET_HELP, argc, argv);
}

int cmd_keys(int argc, char** argv) {
    return show_command("keys", KEYS_HELP, argc, argv);
}

/* ---- The listing ---- */

int print_listing(const char* path, const char* all_json, int with_path) {
    struct json_member members[KEY_COUNT];
    struct property_list map;
    struct text_buf out = {0};
    int failed = read_property_map(all_json, members, &map);
    size_t width = strlen("FORMAT");
    for (size_t k = 0; k < map.count; k++) {
        if (strlen(map.items[k].key) > width)
            width = strlen(map.items[k].key);
    }
    if (with_path)
        printf("%s\n", path);
    struct text_buf format = {0};
    struct json_scan s = {members[KEY_FORMAT].value ? members[KEY_FORMAT].value : "\"?\"", 0, NULL,
                          0, 0};
    scan_string_text(&s, &format);
    buf_append(&format, "", 1);
    printf("%-*s  %s\n", (int)width, "FORMAT", format.failed ? "?" : format.data);
    free(format.data);
    for (size_t k = 0; k < map.count && !failed; k++) {
        out.len = 0;
        failed = property_values(&map.items[k], &out);
        for (size_t at = 0; !failed && at < out.len; at += strlen(out.data + at) + 1)
            printf("%-*s  %s\n", (int)width, map.items[k].key, out.data + at);
    }
    /* the pictures: how many the file holds */
    size_t pictures = 0;
    if (members[KEY_PICTURES].type == 'o' && members[KEY_PICTURES].value[0] == '[') {
        struct json_scan list = {members[KEY_PICTURES].value, 0, NULL, 0, 0};
        int next = scan_open(&list, ']');
        while (next == 0 && scan_value(&list, NULL) == 0) {
            pictures++;
            next = scan_next(&list, ']', "");
        }
    }
    if (pictures)
        printf("%-*s  %lu\n", (int)width, "PICTURES", (unsigned long)pictures);
    free(out.data);
    properties_free(&map);
    if (with_path)
        puts("");
    fflush(stdout);
    return failed ? out_of_memory() : EXIT_OK;
}
