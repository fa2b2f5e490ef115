/* The "copy" command: the tags of one file into others, across containers: the property map,
 * without the keys that describe the source file rather than the music, and the front cover. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Keys that tell how the source file was made, not what it holds: they would be wrong in a file
 * of another encoding, so a copy leaves them out (and the target keeps its own). */
static const char* const SOURCE_ONLY_KEYS[] = {
    "ENCODING",         "ENCODEDBY",        "ENCODER",  "ENCODER_OPTIONS",  "ENCODERSETTINGS",
    "ENCODINGTIME",     "LENGTH",           "FILETYPE", "ITUNNORM",         "ITUNSMPB",
    "COMMENT:ITUNNORM", "COMMENT:ITUNSMPB", "ITUNPGAP", "COMMENT:ITUNPGAP",
};

static int is_source_only(const char* key) {
    for (size_t i = 0; i < sizeof SOURCE_ONLY_KEYS / sizeof SOURCE_ONLY_KEYS[0]; i++) {
        if (strcmp(key, SOURCE_ONLY_KEYS[i]) == 0)
            return 1;
    }
    return 0;
}

/* {"properties":{...}} of the source's keys that describe the music, as the read gave them. */
static int copy_object(const char* all_json, struct text_buf* out, int* has_front_cover) {
    struct json_member members[KEY_COUNT];
    struct property_list map;
    int failed = read_property_map(all_json, members, &map);
    *has_front_cover = holds_front_cover(members);
    buf_append_str(out, "{\"properties\":{");
    int count = 0;
    for (size_t k = 0; k < map.count && !failed; k++) {
        if (is_source_only(map.items[k].key))
            continue;
        buf_append_str(out, count++ ? ",\"" : "\"");
        buf_append(out, map.items[k].key_text, map.items[k].key_text_len);
        buf_append_str(out, "\":");
        buf_append(out, map.items[k].value, map.items[k].len);
    }
    buf_append_str(out, "}}");
    properties_free(&map);
    return failed || out->failed ? -1 : 0;
}

int cmd_copy(int argc, char** argv) {
    static const char* const FLAGS[] = {"--no-pictures", NULL};
    int flag_set[1] = {0};
    struct file_command cmd;
    int parsed = parse_file_command("copy", COPY_HELP, argc, argv, FLAGS, flag_set, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    int pictures = !flag_set[0];
    const char** files = cmd.files;
    size_t file_count = cmd.count;
    int recursive = cmd.recursive;
    if (file_count < 2) {
        free(files);
        return usage_error("copy", "copy: usage: copy SOURCE TARGET...");
    }
    const char* source = files[0];
    char* all = id3_read_all(source);
    if (!all) {
        free(files);
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, source, library_error());
        return EXIT_FAILED;
    }
    struct text_buf object = {0};
    int has_cover = 0;
    int status = copy_object(all, &object, &has_cover) == 0 ? EXIT_OK : out_of_memory();
    id3_free_string(all);
    char* cover = NULL;
    if (status == EXIT_OK && pictures && has_cover) {
        cover = make_temp_file();
        if (!cover)
            status = EXIT_FAILED;
        else if (id3_extract_cover(source, cover) != 0) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, source, library_error());
            status = EXIT_FAILED;
        }
    }
    struct path_list paths = {0};
    if (status == EXIT_OK)
        status = collect_paths(files + 1, file_count - 1, recursive, &paths);
    free(files);
    struct job_tally tally;
    tally_begin(&tally, paths.count);
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        tally_show(&tally, i);
        if (id3_write(paths.items[i], object.data) != 0)
            tally_failed(&tally, paths.items[i], library_error());
        else if (cover && id3_set_cover(paths.items[i], cover) != 0)
            tally_failed(&tally, paths.items[i], library_error());
        else
            tally.written++;
    }
    if (tally_end(&tally) != EXIT_OK)
        status = EXIT_FAILED;
    if (cover) {
        remove(cover);
        free(cover);
    }
    paths_free(&paths);
    free(object.data);
    return status;
}
