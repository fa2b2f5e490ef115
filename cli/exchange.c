/* "export" and "import": the property maps of many files as JSON Lines or CSV, keyed by path,
 * and back; and the text of "--json -" and "--json @FILE". */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int read_text_file(const char* name, struct text_buf* out) {
    FILE* in = strcmp(name, "-") == 0 ? stdin : fopen(name, "rb");
    if (!in) {
        fprintf(stderr, "%s: cannot open: %s (%s)\n", PROGRAM, name, strerror(errno));
        return -1;
    }
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
        buf_append(out, chunk, got);
    int failed = ferror(in);
    if (in != stdin)
        fclose(in);
    buf_append(out, "", 1);
    out->len--; /* the NUL ends the text without counting in it */
    if (failed || out->failed) {
        fprintf(stderr, "%s: cannot read: %s\n", PROGRAM, strcmp(name, "-") ? name : "stdin");
        return -1;
    }
    return 0;
}

/* ---- export ---- */

/* Appends `text` as one CSV field: quoted when it holds a comma, a quote or a line break. */
static void append_csv_field(struct text_buf* out, const char* text, size_t len) {
    if (strcspn(text, ",\"\r\n") >= len) {
        buf_append(out, text, len);
        return;
    }
    buf_append(out, "\"", 1);
    for (size_t i = 0; i < len; i++) {
        if (text[i] == '"')
            buf_append(out, "\"", 1); /* a quote is doubled */
        buf_append(out, text + i, 1);
    }
    buf_append(out, "\"", 1);
}

static int export_csv(const struct path_list* paths, char* const* texts) {
    struct property_list columns = {0}; /* every key, in the order of its first file */
    struct json_member members[KEY_COUNT];
    for (size_t i = 0; i < paths->count; i++) {
        struct property_list map;
        if (texts[i] && read_property_map(texts[i], members, &map) == 0) {
            for (size_t k = 0; k < map.count; k++) {
                if (!properties_find(&columns, map.items[k].key))
                    properties_add(&columns, map.items[k].key, strlen(map.items[k].key), "", 0);
            }
        }
        properties_free(&map);
    }
    struct text_buf out = {0};
    buf_append_str(&out, "path");
    for (size_t k = 0; k < columns.count; k++) {
        buf_append(&out, ",", 1);
        append_csv_field(&out, columns.items[k].key, strlen(columns.items[k].key));
    }
    buf_append(&out, "\n", 1);
    for (size_t i = 0; i < paths->count; i++) {
        struct property_list map;
        if (!texts[i] || read_property_map(texts[i], members, &map) != 0) {
            properties_free(&map);
            continue;
        }
        append_csv_field(&out, paths->items[i], strlen(paths->items[i]));
        for (size_t k = 0; k < columns.count; k++) {
            buf_append(&out, ",", 1);
            const struct property* item = properties_find(&map, columns.items[k].key);
            struct text_buf values = {0};
            if (item && property_values(item, &values) == 0) {
                /* several values: one a line within the field */
                for (size_t at = 0; at < values.len; at++) {
                    if (values.data[at] == '\0' && at + 1 < values.len)
                        values.data[at] = '\n';
                }
                append_csv_field(&out, values.data, values.len ? values.len - 1 : 0);
            }
            free(values.data);
        }
        buf_append(&out, "\n", 1);
        properties_free(&map);
    }
    properties_free(&columns);
    int status = out.failed ? out_of_memory() : EXIT_OK;
    if (!out.failed)
        fwrite(out.data, 1, out.len, stdout);
    free(out.data);
    return status;
}

/* One JSON line per file: {"path":...,"properties":{...}}; the path byte for byte. */
static int export_json(const struct path_list* paths, char* const* texts) {
    struct json_member members[KEY_COUNT];
    for (size_t i = 0; i < paths->count; i++) {
        const char* error;
        size_t where;
        if (!texts[i] || scan_tag_object(texts[i], members, 0, &error, &where) != 0)
            continue;
        struct text_buf line = {0};
        buf_append_str(&line, "{\"path\":");
        buf_append_json_bytes(&line, paths->items[i], 1);
        buf_append_str(&line, ",\"properties\":");
        if (members[KEY_PROPERTIES].type == 'o')
            buf_append(&line, members[KEY_PROPERTIES].value, members[KEY_PROPERTIES].len);
        else
            buf_append_str(&line, "{}");
        buf_append(&line, "}", 1);
        if (line.failed) {
            free(line.data);
            return out_of_memory();
        }
        buf_append(&line, "", 1);
        puts(line.data);
        free(line.data);
    }
    return EXIT_OK;
}

int cmd_export(int argc, char** argv) {
    static const char* const FLAGS[] = {"--csv", "--json", NULL};
    int flag_set[2] = {0, 0};
    struct file_command cmd;
    int parsed = parse_file_command("export", EXPORT_HELP, argc, argv, FLAGS, flag_set, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    const char* fault = cmd.count == 0               ? "export: no FILE given"
                        : flag_set[0] && flag_set[1] ? "export: --csv and --json cannot be combined"
                                                     : NULL;
    if (fault) {
        free(cmd.files);
        return usage_error("export", fault);
    }
    struct path_list paths = {0};
    int status = collect_paths(cmd.files, cmd.count, cmd.recursive, &paths);
    free(cmd.files);
    char** texts = (char**)calloc(paths.count ? paths.count : 1, sizeof(char*));
    if (!texts || paths.failed) {
        free(texts);
        paths_free(&paths);
        return out_of_memory();
    }
    for (size_t i = 0; i < paths.count; i++) {
        texts[i] = id3_read_all(paths.items[i]);
        if (!texts[i]) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, paths.items[i], library_error());
            status = EXIT_FAILED;
        }
    }
    int written = flag_set[0] ? export_csv(&paths, texts) : export_json(&paths, texts);
    if (written != EXIT_OK)
        status = written;
    for (size_t i = 0; i < paths.count; i++)
        id3_free_string(texts[i]);
    free(texts);
    paths_free(&paths);
    return status;
}

/* ---- import ---- */

/* Writes {"properties":PROPERTIES} into `path`, counted in `tally`. */
static void import_one(struct job_tally* tally, const char* path, const char* properties,
                       size_t len) {
    struct text_buf object = {0};
    buf_append_str(&object, "{\"properties\":");
    buf_append(&object, properties, len);
    buf_append_str(&object, "}");
    if (object.failed)
        tally_failed(tally, path, "out of memory");
    else if (id3_write(path, object.data) != 0)
        tally_failed(tally, path, library_error());
    else
        tally->written++;
    free(object.data);
}

/* The "path" member of the JSON object `line` (its text, escapes resolved), into `path`. */
static int line_path(const char* line, struct text_buf* path) {
    struct json_scan s = {line, 0, NULL, 0, 0};
    scan_space(&s);
    if (line[s.pos] != '{')
        return -1;
    int next = scan_open(&s, '}');
    while (next == 0) {
        scan_space(&s);
        char key[8];
        if (line[s.pos] != '"' || scan_string(&s, NULL, key, sizeof key) != 0)
            return -1;
        scan_space(&s);
        if (line[s.pos++] != ':')
            return -1;
        scan_space(&s);
        if (strcmp(key, "path") == 0 && line[s.pos] == '"') {
            if (scan_string_text(&s, path) != 0)
                return -1;
            buf_append(path, "", 1);
            return path->failed ? -1 : 0;
        }
        if (scan_value(&s, NULL) != 0)
            return -1;
        next = scan_next(&s, '}', "");
    }
    return -1;
}

/* JSON Lines as "export" prints them (or "read --all" of several files), `len` bytes: all
 * checked first, then written. */
static int import_json(struct job_tally* tally, char* text, size_t len) {
    size_t line_number = 0;
    for (size_t at = 0; at < len; at += strlen(text + at) + 1) {
        char* end = strchr(text + at, '\n');
        if (end)
            *end = '\0';
        const char* line = text + at;
        line_number++;
        struct json_member members[KEY_COUNT];
        const char* error;
        size_t where;
        struct text_buf path = {0};
        int blank = strspn(line, " \t\r") == strlen(line);
        int bad = !blank && (scan_tag_object(line, members, 0, &error, &where) != 0 ||
                             line_path(line, &path) != 0 || members[KEY_PROPERTIES].type != 'o');
        free(path.data);
        if (bad) {
            char message[128];
            snprintf(message, sizeof message,
                     "import: line %lu: not an object with \"path\" and \"properties\"",
                     (unsigned long)line_number);
            return usage_error("import", message);
        }
        tally->total += !blank;
    }
    for (size_t at = 0; at < len; at += strlen(text + at) + 1) {
        const char* line = text + at;
        struct json_member members[KEY_COUNT];
        const char* error;
        size_t where;
        struct text_buf path = {0};
        if (strspn(line, " \t\r") != strlen(line) &&
            scan_tag_object(line, members, 0, &error, &where) == 0 && line_path(line, &path) == 0) {
            tally_show(tally, tally->written + tally->failed);
            import_one(tally, path.data, members[KEY_PROPERTIES].value,
                       members[KEY_PROPERTIES].len);
        }
        free(path.data);
    }
    return EXIT_OK;
}

/* The next field of CSV text at *pos into `field` (NUL-ended); *row_end is set when it ends its
 * row. Returns 0, or -1 at a quote left open. */
static int csv_field(const char* text, size_t len, size_t* pos, struct text_buf* field,
                     int* row_end) {
    field->len = 0;
    size_t i = *pos;
    if (i < len && text[i] == '"') {
        for (i++;; i++) {
            if (i >= len)
                return -1;
            if (text[i] == '"' && i + 1 < len && text[i + 1] == '"')
                buf_append(field, text + i++, 1);
            else if (text[i] == '"')
                break;
            else
                buf_append(field, text + i, 1);
        }
        i++;
    }
    while (i < len && text[i] != ',' && text[i] != '\n')
        i++;
    if (*pos < len && text[*pos] != '"') {
        size_t end = i > *pos && text[i - 1] == '\r' ? i - 1 : i;
        buf_append(field, text + *pos, end - *pos);
    }
    buf_append(field, "", 1);
    *row_end = i >= len || text[i] == '\n';
    *pos = i + 1;
    return field->failed ? -1 : 0;
}

/* Appends the cell `value` of column `key` as "KEY":["v1","v2"] (a line per value); an empty
 * cell leaves the key as it is. */
static void append_cell(struct text_buf* object, int* members, const char* key, const char* value) {
    if (!*value)
        return;
    buf_append_str(object, (*members)++ ? "," : "");
    buf_append_json_string(object, key);
    buf_append_str(object, ":[");
    for (const char* start = value;;) {
        const char* end = strchr(start, '\n');
        size_t n = end ? (size_t)(end - start) : strlen(start);
        struct text_buf one = {0};
        buf_append(&one, start, n);
        buf_append(&one, "", 1);
        buf_append_str(object, start == value ? "" : ",");
        buf_append_json_string(object, one.failed ? "" : one.data);
        object->failed |= one.failed;
        free(one.data);
        if (!end)
            break;
        start = end + 1;
    }
    buf_append_str(object, "]");
}

/* CSV as "export --csv" prints it: a header "path,KEY,...", then a row per file. Only checked
 * unless `write`. */
static int import_csv(struct job_tally* tally, const char* text, size_t len, int write) {
    struct property_list header = {0};
    struct text_buf field = {0};
    size_t pos = 0;
    int row_end = 0, status = EXIT_OK;
    while (!row_end && pos < len && status == EXIT_OK) {
        if (csv_field(text, len, &pos, &field, &row_end) != 0)
            status = usage_error("import", "import: the CSV header is cut short");
        else
            properties_add(&header, field.data, strlen(field.data), "", 0);
    }
    if (status == EXIT_OK && (header.count == 0 || strcmp(header.items[0].key, "PATH") != 0))
        status = usage_error("import", "import: the CSV header must start with \"path\"");
    for (size_t row = 2; status == EXIT_OK && pos < len; row++) {
        struct text_buf path = {0}, object = {0};
        int members = 0;
        buf_append_str(&object, "{");
        row_end = 0;
        for (size_t column = 0; !row_end; column++) {
            if (csv_field(text, len, &pos, &field, &row_end) != 0) {
                char message[96];
                snprintf(message, sizeof message, "import: row %lu: a quote is left open",
                         (unsigned long)row);
                status = usage_error("import", message);
                break;
            }
            if (column == 0)
                buf_append(&path, field.data, strlen(field.data) + 1);
            else if (column < header.count)
                append_cell(&object, &members, header.items[column].key, field.data);
        }
        buf_append_str(&object, "}");
        if (status == EXIT_OK && path.data && path.data[0] && !write) {
            tally->total++;
        } else if (status == EXIT_OK && path.data && path.data[0]) {
            tally_show(tally, tally->written + tally->failed);
            import_one(tally, path.data, object.data, object.len);
        }
        free(path.data);
        free(object.data);
    }
    free(field.data);
    properties_free(&header);
    return status;
}

int cmd_import(int argc, char** argv) {
    static const char* const FLAGS[] = {"--csv", "--json", NULL};
    int flag_set[2] = {0, 0};
    struct file_command cmd;
    int parsed = parse_file_command("import", IMPORT_HELP, argc, argv, FLAGS, flag_set, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    const char* source = cmd.count == 1 ? cmd.files[0] : NULL;
    free(cmd.files);
    if (!source)
        return usage_error("import", "import: usage: import [--csv|--json] TABLE|-");
    if (cmd.recursive || (flag_set[0] && flag_set[1]))
        return usage_error("import", "import: takes --csv or --json, and no -r");
    struct text_buf text = {0};
    if (read_text_file(source, &text) != 0) {
        free(text.data);
        return EXIT_FAILED;
    }
    /* told by its first character when not named: "{" JSON Lines, else CSV */
    int json = flag_set[1] || (!flag_set[0] && text.data[strspn(text.data, " \t\r\n")] == '{');
    struct job_tally tally;
    tally_begin(&tally, 0);
    /* the whole table is checked before any file is written */
    int status;
    if (json)
        status = import_json(&tally, text.data, text.len);
    else if ((status = import_csv(&tally, text.data, text.len, 0)) == EXIT_OK)
        status = import_csv(&tally, text.data, text.len, 1);
    if (tally_end(&tally) != EXIT_OK && status == EXIT_OK)
        status = EXIT_FAILED;
    free(text.data);
    return status;
}
