/* The "cover" command: get, set and remove the front cover. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

/* ---- Temporary files, for "cover get FILE -" and "copy" ---- */

/* Creates an empty temporary file and returns its malloc'd name, or NULL (reported). */
char* make_temp_file(void) {
#ifdef _WIN32
    char dir[MAX_PATH + 1];
    char* name = (char*)malloc(MAX_PATH + 1);
    DWORD len = GetTempPathA(sizeof dir, dir);
    if (name && len > 0 && len < sizeof dir && GetTempFileNameA(dir, "qtg", 0, name) != 0)
        return name;
    fprintf(stderr, "%s: cannot create a temporary file (error %lu)\n", PROGRAM,
            (unsigned long)GetLastError());
    free(name);
    return NULL;
#else
    const char* dir = getenv("TMPDIR");
    if (!dir || !*dir)
        dir = "/tmp";
    struct text_buf name = {0};
    buf_append_str(&name, dir);
    buf_append_str(&name, "/quorvale-tag.XXXXXX");
    int fd = name.failed ? -1 : mkstemp(name.data);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot create a temporary file in %s (%s)\n", PROGRAM, dir,
                name.failed ? "out of memory" : strerror(errno));
        free(name.data);
        return NULL;
    }
    close(fd);
    return name.data;
#endif
}

/* Copies the rest of the open stream `in` (named `from`) to the open stream `to`. Returns 0, or -1
 * (reported). */
static int copy_stream(FILE* in, const char* from, FILE* to, const char* to_name) {
    char block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0) {
        if (fwrite(block, 1, n, to) != n) {
            fprintf(stderr, "%s: cannot write to %s\n", PROGRAM, to_name);
            return -1;
        }
    }
    if (ferror(in)) {
        fprintf(stderr, "%s: cannot read: %s\n", PROGRAM, from);
        return -1;
    }
    return 0;
}

/* 1 when the file at `path` can be opened and holds no byte; unreadable files are left to the
 * library, whose message names the path and the system's reason. */
static int is_empty_file(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file)
        return 0;
    int empty = fgetc(file) == EOF && !ferror(file);
    fclose(file);
    return empty;
}

/* The library labels PNG, GIF, WebP and BMP pictures by their first bytes and every other one
 * image/jpeg: say so when the picture is none of these nor a JPEG file. */
static void warn_unless_known_picture(const char* image) {
    static const unsigned char PNG[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    static const unsigned char JPEG[3] = {0xFF, 0xD8, 0xFF};
    unsigned char head[14];
    FILE* file = fopen(image, "rb");
    if (!file)
        return; /* the library reports it */
    size_t len = fread(head, 1, sizeof head, file);
    fclose(file);
    if ((len >= sizeof PNG && memcmp(head, PNG, sizeof PNG) == 0) ||
        (len >= sizeof JPEG && memcmp(head, JPEG, sizeof JPEG) == 0) ||
        (len >= 6 && (memcmp(head, "GIF87a", 6) == 0 || memcmp(head, "GIF89a", 6) == 0)) ||
        (len >= 12 && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0) ||
        (len >= 14 && memcmp(head, "BM", 2) == 0))
        return;
    fprintf(stderr,
            "%s: warning: %s is not a PNG, JPEG, GIF, WebP or BMP picture; it is stored labelled "
            "image/jpeg\n",
            PROGRAM, image);
}

/* Whether a failed extraction failed at writing the picture out, not at reading the audio file. */
static int failed_at_output(const char* message) {
    static const char* const WRITE_FAILURES[] = {
        "cannot create temp", "short write",         "disk flush failed",
        "close failed",       "cannot replace",      "rename failed",
        "path too long",      "folder flush failed", "cannot copy extended attributes"};
    for (size_t i = 0; i < sizeof WRITE_FAILURES / sizeof WRITE_FAILURES[0]; i++) {
        if (strncmp(message, WRITE_FAILURES[i], strlen(WRITE_FAILURES[i])) == 0)
            return 1;
    }
    return 0;
}

/* Saves the cover of `path` to `out` and reports a failure: one at writing the picture names
 * `out`. */
static int extract_cover(const char* path, const char* out, const char* out_name) {
    if (id3_extract_cover(path, out) == 0)
        return EXIT_OK;
    const char* message = library_error();
    if (failed_at_output(message))
        fprintf(stderr, "%s: cannot write cover: %s: %s\n", PROGRAM, out_name, message);
    else
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, message);
    return EXIT_FAILED;
}

/* cover get FILE OUT; OUT "-" is standard output, through a temporary file that is deleted as soon
 * as it is open, so that nothing is left behind when the reader goes away. */
static int cover_get(const char* path, const char* out) {
    if (strcmp(out, "-") != 0)
        return extract_cover(path, out, out);
#ifdef _WIN32
    int to_terminal = _isatty(_fileno(stdout));
#else
    int to_terminal = isatty(fileno(stdout));
#endif
    if (to_terminal) {
        fprintf(stderr,
                "%s: cover get: standard output is a terminal; the picture is not written there "
                "(redirect it, or give OUT)\n",
                PROGRAM);
        return EXIT_FAILED;
    }
    char* temp = make_temp_file();
    if (!temp)
        return EXIT_FAILED;
    int status = extract_cover(path, temp, "a temporary file");
    FILE* in = status == EXIT_OK ? fopen(temp, "rb") : NULL;
    if (status == EXIT_OK && !in) {
        fprintf(stderr, "%s: cannot open: %s (%s)\n", PROGRAM, temp, strerror(errno));
        status = EXIT_FAILED;
    }
#ifndef _WIN32
    remove(temp); /* the open stream keeps the contents */
#endif
    if (in && copy_stream(in, temp, stdout, "standard output") != 0)
        status = EXIT_FAILED;
    if (in)
        fclose(in);
#ifdef _WIN32
    remove(temp);
#endif
    free(temp);
    return status;
}

/* cover set FILE... IMAGE and cover remove FILE...: each file is written on its own, and a failure
 * is reported while the other files are still written. */
static int cover_change(const char* const* files, size_t file_count, const char* image,
                        int recursive) {
    /* An empty picture is never a cover: embedding it would silently drop the file's picture. */
    if (image && is_empty_file(image)) {
        fprintf(stderr, "%s: %s: the image file is empty (use 'cover remove')\n", PROGRAM, image);
        return EXIT_FAILED;
    }
    struct path_list paths = {0};
    int status = collect_paths(files, file_count, recursive, &paths);
    int warned = 0;
    struct progress progress;
    progress_begin(&progress, paths.count);
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        progress_show(&progress, i);
        const char* path = paths.items[i];
        int rc = image ? id3_set_cover(path, image) : id3_write(path, "{\"cover\":null}");
        progress_clear(&progress);
        if (rc != 0) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, library_error());
            status = EXIT_FAILED;
        } else if (image && !warned) {
            /* told once, and only when the picture was stored */
            warn_unless_known_picture(image);
            warned = 1;
        }
    }
    progress_clear(&progress);
    paths_free(&paths);
    return status;
}

int cmd_cover(int argc, char** argv) {
    if (argc < 3)
        return usage_error("cover", "cover: missing 'get', 'set' or 'remove'");
    const char* action = argv[2];
    if (is_help_option(action)) {
        fputs(COVER_HELP, stdout);
        return EXIT_OK;
    }
    int is_get = strcmp(action, "get") == 0;
    int is_set = strcmp(action, "set") == 0;
    if (!is_get && !is_set && strcmp(action, "remove") != 0) {
        char message[256];
        snprintf(message, sizeof message,
                 "cover: unknown action '%s' (use 'get', 'set' or 'remove')", action);
        return usage_error("cover", message);
    }
    const char** operands = (const char**)malloc(sizeof(const char*) * (size_t)argc);
    if (!operands)
        return out_of_memory();
    size_t operand_count = 0;
    int only_files = 0, recursive = 0;
    const char* wrong = NULL;
    char message[256];
    for (int i = 3; i < argc && !wrong; i++) {
        const char* arg = argv[i];
        if (!only_files && strcmp(arg, "--") == 0) {
            only_files = 1;
        } else if (!only_files && is_help_option(arg)) {
            free(operands);
            fputs(COVER_HELP, stdout);
            return EXIT_OK;
        } else if (!only_files && !is_get && is_recursive_option(arg)) {
            recursive = 1;
        } else if (!only_files && arg[0] == '-' && arg[1] != '\0') {
            snprintf(message, sizeof message, "cover %s: unknown option '%s'", action, arg);
            wrong = message;
        } else {
            operands[operand_count++] = arg;
        }
    }
    if (!wrong && is_get && operand_count != 2)
        wrong = operand_count > 2 ? "cover get: expects FILE OUT, too many arguments"
                                  : "cover get: expects FILE OUT";
    else if (!wrong && is_set && operand_count < 2)
        wrong = "cover set: expects FILE... IMAGE";
    else if (!wrong && !is_get && !is_set && operand_count == 0)
        wrong = "cover remove: expects FILE...";
    int status;
    if (wrong)
        status = usage_error("cover", wrong);
    else if (is_get)
        status = cover_get(operands[0], operands[1]);
    else if (is_set)
        status = cover_change(operands, operand_count - 1, operands[operand_count - 1], recursive);
    else
        status = cover_change(operands, operand_count, NULL, recursive);
    free(operands);
    return status;
}
