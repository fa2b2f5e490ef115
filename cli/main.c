/*
 * quorvale-tag: a command-line client of the quorvale-id3tag library. It reads and writes the tags
 * of MP3, FLAC, MP4/M4A, Ogg Vorbis and Opus files, moves cover pictures in and out, and writes one
 * set of tags into many files. This source holds main, the command dispatch and the reports every
 * command shares; cli.h lists what the other sources give.
 */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#endif

#ifndef QUORVALE_TAG_VERSION
#define QUORVALE_TAG_VERSION "unknown"
#endif

const char* library_error(void) {
    const char* text = id3_last_error();
    return text && *text ? text : "unknown error";
}

int usage_error(const char* command, const char* message) {
    fprintf(stderr, "%s: %s\n", PROGRAM, message);
    if (command)
        fprintf(stderr, "Try '%s %s --help'.\n", PROGRAM, command);
    else
        fprintf(stderr, "Try '%s --help'.\n", PROGRAM);
    return EXIT_USAGE;
}

int out_of_memory(void) {
    fprintf(stderr, "%s: out of memory\n", PROGRAM);
    return EXIT_FAILED;
}

int is_help_option(const char* arg) {
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
}

int is_recursive_option(const char* arg) {
    return strcmp(arg, "-r") == 0 || strcmp(arg, "--recursive") == 0;
}

int parse_file_command(const char* command, const char* help, int argc, char** argv,
                       const char* const* flags, int* flag_set, struct file_command* out) {
    memset(out, 0, sizeof *out);
    out->files = (const char**)malloc(sizeof(const char*) * (size_t)(argc > 0 ? argc : 1));
    if (!out->files)
        return out_of_memory();
    int only_files = 0;
    for (int i = 2; i < argc; i++) {
        const char* arg = argv[i];
        if (only_files || arg[0] != '-' || arg[1] == '\0') {
            out->files[out->count++] = arg;
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            only_files = 1;
            continue;
        }
        if (is_help_option(arg)) {
            fputs(help, stdout);
            out->help_shown = 1;
            return EXIT_OK;
        }
        if (is_recursive_option(arg)) {
            out->recursive = 1;
            continue;
        }
        int known = 0;
        for (size_t f = 0; flags && flags[f] && !known; f++) {
            if (strcmp(arg, flags[f]) == 0)
                known = flag_set[f] = 1;
        }
        if (!known) {
            char message[256];
            snprintf(message, sizeof message, "%s: unknown option '%s'", command, arg);
            free(out->files);
            out->files = NULL;
            return usage_error(command, message);
        }
    }
    return EXIT_OK;
}

static int run(int argc, char** argv, char** value_argv) {
    if (argc < 2)
        return usage_error(NULL, "missing COMMAND");
    const char* command = argv[1];
    if (is_help_option(command)) {
        fputs(MAIN_HELP, stdout);
        return EXIT_OK;
    }
    if (strcmp(command, "--version") == 0) {
        printf("%s %s\n", PROGRAM, QUORVALE_TAG_VERSION);
        return EXIT_OK;
    }
    if (strcmp(command, "read") == 0)
        return cmd_read(argc, argv);
    if (strcmp(command, "write") == 0)
        return cmd_write(argc, argv, value_argv);
    if (strcmp(command, "cover") == 0)
        return cmd_cover(argc, argv);
    if (strcmp(command, "batch") == 0)
        return cmd_batch(argc, argv, value_argv);
    if (strcmp(command, "get") == 0)
        return cmd_get(argc, argv);
    if (strcmp(command, "keys") == 0)
        return cmd_keys(argc, argv);
    if (strcmp(command, "strip") == 0)
        return cmd_strip(argc, argv);
    if (strcmp(command, "copy") == 0)
        return cmd_copy(argc, argv);
    if (strcmp(command, "export") == 0)
        return cmd_export(argc, argv);
    if (strcmp(command, "import") == 0)
        return cmd_import(argc, argv);
    if (strcmp(command, "rename") == 0)
        return cmd_rename(argc, argv);
    if (strcmp(command, "totag") == 0)
        return cmd_totag(argc, argv);
    if (strcmp(command, "help") == 0)
        return cmd_help(argc, argv);
    char message[256];
    snprintf(message, sizeof message, "unknown command '%s'", command);
    return usage_error(NULL, message);
}

#ifdef _WIN32
/* argv holds the ANSI code page, which is what the library's fopen expects for paths; tag values
 * must reach the library as UTF-8, so they are taken from the wide command line. Returns argc
 * malloc'd texts in a malloc'd array, or NULL (the caller then uses argv). */
static char** utf8_arguments(int argc, char** argv) {
    int wide_count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
    if (!wide)
        return NULL;
    char** utf8 = wide_count == argc ? (char**)calloc((size_t)argc + 1, sizeof(char*)) : NULL;
    for (int i = 0; utf8 && i < argc; i++) {
        int size =
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide[i], -1, NULL, 0, NULL, NULL);
        if (size > 0 && (utf8[i] = (char*)malloc((size_t)size)) != NULL) {
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide[i], -1, utf8[i], size, NULL,
                                NULL);
        } else if (size <= 0 && (utf8[i] = (char*)malloc(strlen(argv[i]) + 1)) != NULL) {
            /* a lone surrogate has no UTF-8 form: keep the ANSI text, which the check refuses */
            strcpy(utf8[i], argv[i]);
        }
        if (!utf8[i]) {
            for (int j = 0; j < i; j++)
                free(utf8[j]);
            free(utf8);
            utf8 = NULL;
        }
    }
    LocalFree(wide);
    return utf8;
}
#endif

int main(int argc, char** argv) {
    char** value_argv = argv;
#ifdef _WIN32
    /* The JSON goes out byte for byte, without "\r" before each "\n". */
    _setmode(_fileno(stdout), _O_BINARY);
    char** utf8_argv = utf8_arguments(argc, argv);
    if (utf8_argv)
        value_argv = utf8_argv;
#endif
    int status = run(argc, argv, value_argv);
    /* A full disk or a closed pipe must not pass for success. */
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: cannot write to standard output\n", PROGRAM);
        if (status == EXIT_OK)
            status = EXIT_FAILED;
    }
#ifdef _WIN32
    for (int i = 0; utf8_argv && i < argc; i++)
        free(utf8_argv[i]);
    free(utf8_argv);
#endif
    return status;
}
