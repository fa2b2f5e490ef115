/* File names from tags and tags from file names: "rename PATTERN FILE..." moves each file to the
 * name its tags give, "totag PATTERN FILE..." sets tags from the parts of each file's name.
 * A PATTERN holds %{KEY} (any property key; the field names of "read" too) and, for rename,
 * %{KEY:0N}, the number padded with zeros to N digits. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#define make_folder(path) _mkdir(path)
#else
#define make_folder(path) mkdir(path, 0777)
#endif

/* One %{...} of a pattern: where it starts and ends, its key, and the width of %{KEY:0N}. */
struct pattern_field {
    size_t start, end; /* the "%{" and the byte after "}" */
    char key[64];      /* upper case */
    int width;
};

/* The next field of `pattern` at or after `from`: 1 found, 0 none, -1 malformed (`why` set). */
static int next_field(const char* pattern, size_t from, struct pattern_field* field,
                      const char** why) {
    const char* open = strstr(pattern + from, "%{");
    if (!open)
        return 0;
    const char* close = strchr(open, '}');
    if (!close) {
        *why = "a %{ is not closed";
        return -1;
    }
    const char* colon = memchr(open, ':', (size_t)(close - open));
    size_t key_len = (size_t)((colon ? colon : close) - open - 2);
    if (key_len == 0 || key_len >= sizeof field->key) {
        *why = "a %{KEY} names no key";
        return -1;
    }
    field->start = (size_t)(open - pattern);
    field->end = (size_t)(close - pattern) + 1;
    memcpy(field->key, open + 2, key_len);
    field->key[key_len] = '\0';
    for (int i = 0; i < TAG_COUNT; i++) {
        if (strcmp(field->key, TAG_KEYS[i]) == 0)
            strcpy(field->key, TAG_PROPERTY_KEYS[i]);
    }
    for (char* c = field->key; *c; c++) {
        if (*c >= 'a' && *c <= 'z')
            *c = (char)(*c - 'a' + 'A');
    }
    field->width = 0;
    if (colon) {
        char* end = NULL;
        long width = strtol(colon + 1, &end, 10);
        if (end != close || width < 1 || width > 9) {
            *why = "%{KEY:0N} takes a width N from 1 to 9";
            return -1;
        }
        field->width = (int)width;
    }
    return 1;
}

/* Checks every field of `pattern`: EXIT_OK, or the status of a reported error. */
static int check_pattern(const char* command, const char* pattern, int widths) {
    struct pattern_field field;
    const char* why = NULL;
    int found = 0, rc;
    char message[256];
    for (size_t at = 0; (rc = next_field(pattern, at, &field, &why)) == 1; at = field.end) {
        found = 1;
        if (!widths && field.width)
            why = "%{KEY:0N} is for rename";
        else if (strcmp(command, "totag") == 0 && !is_table_key(field.key))
            why = "a key of totag must be in the property table";
        else
            continue;
        snprintf(message, sizeof message, "%s: %s: %s", command, why, field.key);
        return usage_error(command, message);
    }
    if (rc < 0 || !found) {
        snprintf(message, sizeof message, "%s: PATTERN: %s", command,
                 rc < 0 ? why : "it holds no %{KEY}");
        return usage_error(command, message);
    }
    return EXIT_OK;
}

/* ---- rename ---- */

/* Appends a tag value as part of a file name: characters no file system takes (path separators,
 * \ : * ? " < > | and control characters) become "_". */
static void append_name_part(struct text_buf* out, const char* value, int width) {
    size_t start = out->len;
    if (width) {
        size_t digits = strspn(value, "0123456789");
        for (size_t n = digits; n < (size_t)width; n++)
            buf_append(out, "0", 1);
    }
    for (const unsigned char* c = (const unsigned char*)value; *c; c++) {
        int refused = *c < 0x20 || *c == 0x7F || strchr("/\\:*?\"<>|", *c) != NULL;
        buf_append(out, refused ? "_" : (const char*)c, 1);
        if (width && *c == '/')
            break; /* "3/12": the track alone */
    }
    if (width && out->len > start && out->data[out->len - 1] == '_')
        out->len--;
    /* "." and ".." would name a folder, not a file */
    size_t dots = 0;
    while (!out->failed && start + dots < out->len && out->data[start + dots] == '.')
        dots++;
    if (dots && start + dots == out->len)
        memset(out->data + start, '_', dots);
}

/* The new path of `path` from `pattern` and its property map: beside the file, with the file's
 * extension. Returns 0, or -1 when a key of the pattern has no value (`missing` names it). */
static int new_name(const char* path, const char* pattern, const struct property_list* map,
                    struct text_buf* out, const char** missing) {
    const char* slash = strrchr(path, '/');
#ifdef _WIN32
    const char* backslash = strrchr(path, '\\');
    if (backslash && (!slash || backslash > slash))
        slash = backslash;
#endif
    if (slash)
        buf_append(out, path, (size_t)(slash - path) + 1);
    struct pattern_field field;
    const char* why;
    size_t at = 0;
    while (next_field(pattern, at, &field, &why) == 1) {
        buf_append(out, pattern + at, field.start - at);
        const struct property* item = properties_find(map, field.key);
        struct text_buf values = {0};
        if (!item || property_values(item, &values) != 0 || values.len < 2) {
            free(values.data);
            *missing = item ? "empty" : "missing";
            return -1;
        }
        append_name_part(out, values.data, field.width);
        free(values.data);
        at = field.end;
    }
    buf_append_str(out, pattern + at);
    const char* base = slash ? slash + 1 : path;
    const char* dot = strrchr(base, '.');
    if (dot && dot != base)
        buf_append_str(out, dot);
    buf_append(out, "", 1);
    return out->failed ? -1 : 0;
}

static int path_exists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

/* Makes the folders of `path` that are missing. */
static void make_parent_folders(char* path) {
    for (char* p = path + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        if (!path_exists(path))
            make_folder(path);
        *p = '/';
    }
}

int cmd_rename(int argc, char** argv) {
    static const char* const FLAGS[] = {"--dry-run", NULL};
    int flag_set[1] = {0};
    struct file_command cmd;
    int parsed = parse_file_command("rename", RENAME_HELP, argc, argv, FLAGS, flag_set, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    if (cmd.count < 2) {
        free(cmd.files);
        return usage_error("rename", "rename: usage: rename PATTERN FILE...");
    }
    const char* pattern = cmd.files[0];
    int status = check_pattern("rename", pattern, 1);
    struct path_list paths = {0};
    if (status == EXIT_OK)
        status = collect_paths(cmd.files + 1, cmd.count - 1, cmd.recursive, &paths);
    free(cmd.files);
    /* Every new name is made and checked before any file moves. */
    char** targets = (char**)calloc(paths.count ? paths.count : 1, sizeof(char*));
    int refused = !targets || paths.failed;
    for (size_t i = 0; i < paths.count && targets; i++) {
        char* all = id3_read_all(paths.items[i]);
        struct json_member members[KEY_COUNT];
        struct property_list map = {0};
        struct text_buf name = {0};
        const char* missing = NULL;
        if (!all) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, paths.items[i], library_error());
            refused = 1;
        } else if (read_property_map(all, members, &map) != 0 ||
                   new_name(paths.items[i], pattern, &map, &name, &missing) != 0) {
            fprintf(stderr, "%s: %s: a key of the pattern is %s\n", PROGRAM, paths.items[i],
                    missing ? missing : "out of memory");
            refused = 1;
        }
        targets[i] = name.data;
        for (size_t j = 0; j < i && targets[i]; j++) {
            if (targets[j] && strcmp(targets[j], targets[i]) == 0) {
                fprintf(stderr, "%s: %s and %s would both be %s\n", PROGRAM, paths.items[j],
                        paths.items[i], targets[i]);
                refused = 1;
            }
        }
        if (targets[i] && strcmp(targets[i], paths.items[i]) != 0 && path_exists(targets[i])) {
            fprintf(stderr, "%s: %s: %s exists already\n", PROGRAM, paths.items[i], targets[i]);
            refused = 1;
        }
        properties_free(&map);
        id3_free_string(all);
    }
    if (refused) {
        fprintf(stderr, "%s: rename: nothing renamed\n", PROGRAM);
        status = EXIT_FAILED;
    }
    struct job_tally tally;
    tally_begin(&tally, refused ? 0 : paths.count);
    for (size_t i = 0; i < paths.count && !refused; i++) {
        tally_show(&tally, i);
        if (strcmp(targets[i], paths.items[i]) == 0) {
            tally_unchanged(&tally, paths.items[i]);
        } else if (flag_set[0]) {
            tally_clear(&tally);
            printf("%s -> %s\n", paths.items[i], targets[i]);
            tally.written++;
        } else {
            make_parent_folders(targets[i]);
            if (path_exists(targets[i]) || rename(paths.items[i], targets[i]) != 0)
                tally_failed(&tally, paths.items[i],
                             path_exists(targets[i]) ? "the new name exists" : strerror(errno));
            else
                tally.written++;
        }
    }
    if (tally_end(&tally) != EXIT_OK)
        status = EXIT_FAILED;
    for (size_t i = 0; targets && i < paths.count; i++)
        free(targets[i]);
    free(targets);
    paths_free(&paths);
    return status;
}

/* ---- totag ---- */

/* Matches the file name `name` (without folder and extension) against `pattern`: the text
 * between fields must stand as it is, and each field takes the text up to the next such text
 * (the last one, the rest). Appends "KEY":["value"] members to `object`. Returns 0, or -1 when
 * the name does not fit. */
static int match_name(const char* name, const char* pattern, struct text_buf* object) {
    struct pattern_field field, next;
    const char* why;
    size_t at = 0, pos = 0;
    int members = 0;
    size_t name_len = strlen(name);
    while (next_field(pattern, at, &field, &why) == 1) {
        size_t literal = field.start - at;
        if (strncmp(name + pos, pattern + at, literal) != 0)
            return -1;
        pos += literal;
        int more = next_field(pattern, field.end, &next, &why) == 1;
        size_t follow_len = more ? next.start - field.end : strlen(pattern + field.end);
        size_t value_end;
        if (follow_len == 0) {
            if (more)
                return -1; /* two fields side by side cannot be told apart */
            value_end = name_len;
        } else {
            struct text_buf follow = {0};
            buf_append(&follow, pattern + field.end, follow_len);
            buf_append(&follow, "", 1);
            const char* found = follow.failed ? NULL : strstr(name + pos, follow.data);
            /* the text after the last field ends the name */
            if (found && !more) {
                const char* last = found;
                while ((last = strstr(last + 1, follow.data)) != NULL)
                    found = last;
            }
            free(follow.data);
            if (!found)
                return -1;
            value_end = (size_t)(found - name);
        }
        struct text_buf value = {0};
        buf_append(&value, name + pos, value_end - pos);
        buf_append(&value, "", 1);
        buf_append_str(object, members++ ? "," : "");
        buf_append_json_string(object, field.key);
        buf_append_str(object, ":[");
        buf_append_json_string(object, value.failed ? "" : value.data);
        buf_append_str(object, "]");
        free(value.data);
        pos = value_end;
        at = field.end;
    }
    return strcmp(name + pos, pattern + at) == 0 ? 0 : -1;
}

int cmd_totag(int argc, char** argv) {
    static const char* const FLAGS[] = {"--dry-run", NULL};
    int flag_set[1] = {0};
    struct file_command cmd;
    int parsed = parse_file_command("totag", TOTAG_HELP, argc, argv, FLAGS, flag_set, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    if (cmd.count < 2) {
        free(cmd.files);
        return usage_error("totag", "totag: usage: totag PATTERN FILE...");
    }
    const char* pattern = cmd.files[0];
    int status = check_pattern("totag", pattern, 0);
    struct path_list paths = {0};
    if (status == EXIT_OK)
        status = collect_paths(cmd.files + 1, cmd.count - 1, cmd.recursive, &paths);
    free(cmd.files);
    struct job_tally tally;
    tally_begin(&tally, status == EXIT_OK ? paths.count : 0);
    for (size_t i = 0; i < paths.count && !paths.failed && status == EXIT_OK; i++) {
        tally_show(&tally, i);
        const char* slash = strrchr(paths.items[i], '/');
        struct text_buf name = {0}, object = {0};
        buf_append_str(&name, slash ? slash + 1 : paths.items[i]);
        char* dot = name.failed ? NULL : strrchr(name.data, '.');
        if (dot && dot != name.data)
            *dot = '\0';
        buf_append_str(&object, "{\"properties\":{");
        if (name.failed || match_name(name.data, pattern, &object) != 0) {
            tally_failed(&tally, paths.items[i], "the name does not fit the pattern");
        } else {
            buf_append_str(&object, "}}");
            if (flag_set[0]) {
                tally_clear(&tally);
                printf("%s: %s\n", paths.items[i], object.data);
                tally.written++;
            } else if (id3_write(paths.items[i], object.data) != 0) {
                tally_failed(&tally, paths.items[i], library_error());
            } else {
                tally.written++;
            }
        }
        free(name.data);
        free(object.data);
    }
    if (tally_end(&tally) != EXIT_OK)
        status = EXIT_FAILED;
    paths_free(&paths);
    return status;
}
