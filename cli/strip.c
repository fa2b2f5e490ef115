/* The "strip" command: every tag of a file goes (the six fields, ID3v1 included, and every
 * property), with --pictures the front covers too; the audio stays byte for byte, as every write
 * keeps it. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The tag object that empties the file whose id3_read_all object is `all_json`: every field null
 * and every property an empty list. *empty is set when the file holds nothing to remove. */
static int stripping_object(const char* all_json, int pictures, struct text_buf* out, int* empty) {
    struct json_member members[KEY_COUNT];
    struct property_list map;
    if (read_property_map(all_json, members, &map) != 0) {
        properties_free(&map);
        return -1;
    }
    int has_front_cover = holds_front_cover(members);
    *empty = map.count == 0 && !(pictures && has_front_cover);
    buf_append_str(out, "{\"title\":null,\"artist\":null,\"album\":null,\"genre\":null,"
                        "\"date\":null,\"track\":null");
    if (pictures)
        buf_append_str(out, ",\"cover\":null");
    buf_append_str(out, ",\"properties\":{");
    for (size_t k = 0; k < map.count; k++) {
        buf_append_str(out, k ? "," : "");
        buf_append(out, "\"", 1);
        buf_append(out, map.items[k].key_text, map.items[k].key_text_len);
        buf_append_str(out, "\":[]");
    }
    buf_append_str(out, "}}");
    properties_free(&map);
    return out->failed ? -1 : 0;
}

int cmd_strip(int argc, char** argv) {
    static const char* const FLAGS[] = {"--pictures", "--dry-run", NULL};
    int flag_set[2] = {0, 0};
    struct file_command cmd;
    int parsed = parse_file_command("strip", STRIP_HELP, argc, argv, FLAGS, flag_set, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    int pictures = flag_set[0], dry_run = flag_set[1];
    if (cmd.count == 0) {
        free(cmd.files);
        return usage_error("strip", "strip: no FILE given");
    }
    struct path_list paths = {0};
    int status = collect_paths(cmd.files, cmd.count, cmd.recursive, &paths);
    free(cmd.files);
    struct job_tally tally;
    tally_begin(&tally, paths.count);
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        tally_show(&tally, i);
        char* all = id3_read_all(paths.items[i]);
        struct text_buf object = {0};
        int empty = 0;
        if (!all) {
            tally_failed(&tally, paths.items[i], library_error());
        } else if (stripping_object(all, pictures, &object, &empty) != 0) {
            status = out_of_memory();
        } else if (empty) {
            tally_unchanged(&tally, paths.items[i]);
        } else if (dry_run) {
            tally_clear(&tally);
            printf("would strip: %s\n", paths.items[i]);
            tally.written++;
        } else if (id3_write(paths.items[i], object.data) != 0) {
            tally_failed(&tally, paths.items[i], library_error());
        } else {
            tally.written++;
        }
        free(object.data);
        id3_free_string(all);
    }
    if (tally_end(&tally) != EXIT_OK)
        status = EXIT_FAILED;
    paths_free(&paths);
    return status;
}
