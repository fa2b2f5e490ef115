/* The "batch" command: one library call writes the tags into every file. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

/* Which file a path names: a write replaces the file through a rename, so a path whose file is
 * the same after a batch was not written. */
struct file_identity {
    int known;
    unsigned long long volume;
    unsigned long long index;
};

static struct file_identity identify_file(const char* path) {
    struct file_identity id = {0, 0, 0};
#ifdef _WIN32
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        id.known = 1;
        id.volume = info.dwVolumeSerialNumber;
        id.index = (unsigned long long)info.nFileIndexHigh << 32 | info.nFileIndexLow;
    }
    CloseHandle(h);
#else
    struct stat st;
    if (stat(path, &st) == 0) {
        id.known = 1;
        id.volume = (unsigned long long)st.st_dev;
        id.index = (unsigned long long)st.st_ino;
    }
#endif
    return id;
}

/* Names the files of a batch that were not written: those whose path names the same file as
 * before it, or no file. The library reports a count and the last file's message only. */
static void report_unwritten(const struct path_list* files, const struct file_identity* before) {
    for (size_t i = 0; i < files->count; i++) {
        struct file_identity now = identify_file(files->items[i]);
        if (!now.known ||
            (before[i].known && before[i].volume == now.volume && before[i].index == now.index))
            fprintf(stderr, "%s: batch: not written: %s\n", PROGRAM, files->items[i]);
    }
}

/* Writes `tags_json` into the files of `args` with one id3_batch call and reports the count. */
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
    struct file_identity* before =
        (struct file_identity*)calloc(files->count ? files->count : 1, sizeof *before);
    if (!before) {
        free(paths.data);
        return out_of_memory();
    }
    for (size_t i = 0; i < files->count; i++)
        before[i] = identify_file(files->items[i]);
    int32_t written = id3_batch(paths.data, tags_json);
    free(paths.data);
    if (written < 0) {
        free(before);
        fprintf(stderr, "%s: batch: %s\n", PROGRAM, library_error());
        return EXIT_FAILED;
    }
    printf("wrote %ld of %lu files\n", (long)written, (unsigned long)files->count);
    if ((size_t)written == files->count) {
        free(before);
        return EXIT_OK;
    }
    /* The library's message is read before anything else can change it. */
    char last_copy[512];
    snprintf(last_copy, sizeof last_copy, "%s", id3_last_error());
    report_unwritten(files, before);
    free(before);
    /* The library keeps the message of the last file only; it is empty when that one succeeded. */
    unsigned long failed = (unsigned long)(files->count - (size_t)written);
    const char* last = last_copy;
    if (*last)
        fprintf(stderr, "%s: batch: %lu file(s) not written; last message: %s\n", PROGRAM, failed,
                last);
    else
        fprintf(stderr, "%s: batch: %lu file(s) not written\n", PROGRAM, failed);
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
    if (!args.help && !paths.failed && (status == EXIT_OK || paths.count > 0)) {
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
