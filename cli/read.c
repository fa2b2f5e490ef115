/* Progress and output: the "file N of M" line, the result of one file, and the "read" command
 * with its warning about tags cut short. */
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

void progress_begin(struct progress* progress, size_t total) {
    progress->shown = 0;
    progress->total = total;
    progress->started = time(NULL);
#ifdef _WIN32
    progress->enabled = total > 1 && _isatty(_fileno(stderr));
#else
    progress->enabled = total > 1 && isatty(fileno(stderr));
#endif
}

void progress_clear(struct progress* progress) {
    if (progress->shown) {
        fprintf(stderr, "\r%*s\r", 60, "");
        progress->shown = 0;
    }
}

void progress_show(struct progress* progress, size_t done) {
    if (!progress->enabled)
        return;
    fprintf(stderr, "\r%s: file %lu of %lu", PROGRAM, (unsigned long)done + 1,
            (unsigned long)progress->total);
    double seconds = difftime(time(NULL), progress->started);
    if (seconds >= 1)
        fprintf(stderr, ", %.1f files/s", (double)done / seconds);
    fflush(stderr);
    progress->shown = 1;
}

/* Prints the result for one file: alone, the library's object as it is; in a list (JSON Lines),
 * the object with "path" as its first member, or {"path":...,"error":...} after a failure (the
 * message `error`, or the library's when that is NULL), which is also reported on standard error.
 * Each line is flushed, so an interrupted run keeps what it printed. Returns EXIT_OK, or
 * EXIT_FAILED when `json` is NULL. */
int print_result(struct progress* progress, const char* path, const char* json, const char* error,
                 int as_list) {
    progress_clear(progress);
    if (!error)
        error = library_error();
    if (!json)
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, error);
    if (as_list) {
        struct text_buf line = {0};
        buf_append_str(&line, "{\"path\":");
        buf_append_json_string(&line, path);
        if (json) {
            buf_append(&line, ",", 1);
            buf_append_str(&line, json + 1); /* the library's object after its "{" */
        } else {
            buf_append_str(&line, ",\"error\":");
            buf_append_json_string(&line, error);
            buf_append(&line, "}", 1);
        }
        if (line.failed) {
            free(line.data);
            return out_of_memory();
        }
        puts(line.data);
        free(line.data);
    } else if (json) {
        puts(json);
    }
    fflush(stdout);
    return json ? EXIT_OK : EXIT_FAILED;
}

/* ---- Tags cut short ---- */

#ifdef _WIN32
#define seek64 _fseeki64
#define tell64 _ftelli64
#else
#define seek64 fseeko
#define tell64 ftello
#endif

/* Where the tags of the file that `file` reads declare that they end (the ID3v2 tag with its
 * footer; after a FLAC stream's marker, its last metadata block), or 0 when there is nothing to
 * tell. The file's own bytes are the judge: the library reads what of a tag is there. */
static uint64_t declared_tag_end(FILE* file) {
    unsigned char head[10];
    uint64_t end = 0;
    if (fread(head, 1, sizeof head, file) == sizeof head && memcmp(head, "ID3", 3) == 0 &&
        (head[6] | head[7] | head[8] | head[9]) < 0x80) {
        uint64_t size = ((uint64_t)head[6] << 21) | (head[7] << 14) | (head[8] << 7) | head[9];
        end = 10 + size + ((head[5] & 0x10) ? 10 : 0); /* footer present flag */
    }
    unsigned char block[4];
    if (seek64(file, (long long)end, SEEK_SET) != 0 || fread(block, 1, 4, file) != 4 ||
        memcmp(block, "fLaC", 4) != 0)
        return end;
    /* FLAC metadata blocks: a last-block flag and type byte, then a 24-bit big-endian length. */
    uint64_t at = end + 4;
    for (int blocks = 0; blocks < 100000; blocks++) {
        if (seek64(file, (long long)at, SEEK_SET) != 0 || fread(block, 1, 4, file) != 4)
            return at + 4;
        at += 4 + (((uint64_t)block[1] << 16) | (block[2] << 8) | block[3]);
        if (block[0] & 0x80)
            break;
    }
    return at;
}

/* Warns when the tags of `path` end before what their headers declare: a read then gives only
 * what is there. */
static void warn_if_truncated(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file)
        return;
    uint64_t end = declared_tag_end(file);
    long long size = seek64(file, 0, SEEK_END) == 0 ? (long long)tell64(file) : -1;
    fclose(file);
    if (size >= 0 && end > (uint64_t)size)
        fprintf(stderr,
                "%s: warning: %s: the tags are cut short (their headers declare %llu bytes, the "
                "file holds %lld); only what is there was read\n",
                PROGRAM, path, (unsigned long long)end, size);
}

int cmd_read(int argc, char** argv) {
    static const char* const FLAGS[] = {"--all", "--text", "--json", NULL};
    int flag_set[3] = {0, 0, 0};
    struct file_command cmd;
    int parsed = parse_file_command("read", READ_HELP, argc, argv, FLAGS, flag_set, &cmd);
    if (parsed != EXIT_OK || cmd.help_shown) {
        free(cmd.files);
        return parsed;
    }
    int all = flag_set[0];
    /* --text 1, --json 0; else a listing on a terminal, JSON elsewhere */
    int listing = flag_set[1] ? 1 : flag_set[2] ? 0 : -1;
    const char* fault = cmd.count == 0               ? "read: no FILE given"
                        : flag_set[1] && flag_set[2] ? "read: --json and --text cannot be combined"
                                                     : NULL;
    if (fault) {
        free(cmd.files);
        return usage_error("read", fault);
    }
    struct path_list paths = {0};
    int status = collect_paths(cmd.files, cmd.count, cmd.recursive, &paths);
    free(cmd.files);
    /* One FILE named alone prints the bare object; anything else is a list. */
    int as_list = paths.count != 1 || paths.from_walk;
    if (listing < 0)
        listing = stdout_is_terminal();
    struct progress progress;
    progress_begin(&progress, paths.count);
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        progress_show(&progress, i);
        char* json = all || listing ? id3_read_all(paths.items[i]) : id3_read(paths.items[i]);
        if (json && listing) {
            progress_clear(&progress);
            if (print_listing(paths.items[i], json, as_list) != EXIT_OK)
                status = EXIT_FAILED;
        } else if (print_result(&progress, paths.items[i], json, NULL, as_list && !listing) !=
                   EXIT_OK) {
            status = EXIT_FAILED;
        }
        if (json)
            warn_if_truncated(paths.items[i]);
        id3_free_string(json);
    }
    progress_clear(&progress);
    paths_free(&paths);
    return status;
}
