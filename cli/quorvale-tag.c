/*
 * quorvale-tag: a command-line client of the quorvale-id3tag library. It reads and writes the tags
 * of MP3, FLAC and MP4/M4A files, moves cover pictures in and out, and writes one set of tags into
 * many files. It uses nothing but the library's public header.
 *
 * Exit status: 0 success, 1 a file operation failed, 2 the command line was wrong.
 */
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

#define PROGRAM "quorvale-tag"

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

/* The text tags the options can set, in the order they appear in the JSON object. */
#define TAG_COUNT 6
static const char* const TAG_KEYS[TAG_COUNT] = {"title", "artist", "album",
                                                "genre", "date",   "track"};

static const char MAIN_HELP[] =
    "Usage: " PROGRAM " COMMAND [ARGS...]\n"
    "Read and write the tags of MP3, FLAC and MP4/M4A files (MP4/M4A are read only).\n"
    "\n"
    "Commands:\n"
    "  read FILE...                      print the tags of each FILE as JSON\n"
    "  write FILE... TAGS                write tags into MP3 and FLAC files, one call per file\n"
    "  cover get FILE OUT                save the cover picture of FILE to OUT\n"
    "  cover set FILE IMAGE              make the PNG or JPEG picture IMAGE the cover of FILE\n"
    "  batch FILE... TAGS                write tags into all FILEs in one library call\n"
    "  help [COMMAND]                    show this help, or the help of COMMAND\n"
    "\n"
    "TAGS is --json OBJECT, or any of --title, --artist, --album, --genre, --date, --track VALUE.\n"
    "\n"
    "Options:\n"
    "  -h, --help      show help (also after a command: " PROGRAM " write --help)\n"
    "  --version       show the program version\n"
    "\n"
    "Exit status: 0 success, 1 an operation failed, 2 wrong command line.\n";

static const char READ_HELP[] =
    "Usage: " PROGRAM " read FILE...\n"
    "Print the tags of each FILE as the JSON object the library returns:\n"
    "  {\"title\":...,\"artist\":...,\"album\":...,\"genre\":...,\"date\":...,\"track\":...,\n"
    "   \"format\":\"mp3|flac|mp4\",\"has_cover\":true|false[,\"cover_mime\":...]}\n"
    "\n"
    "With one FILE the object is printed alone on one line (ready for jq). With several, each line "
    "is\n"
    "FILE, a tab, and the object. A file that cannot be read is reported on standard error and "
    "the\n"
    "others are still printed; the exit status is then 1.\n";

static const char WRITE_HELP[] =
    "Usage: " PROGRAM " write FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write tags into each MP3 or FLAC FILE. Tags that are not given keep the value the file has, "
    "and\n"
    "the cover picture is kept. MP4/M4A files are refused.\n"
    "\n"
    "Tag options (each at most once; an empty VALUE stores an empty tag):\n"
    "  --title VALUE   --artist VALUE   --album VALUE\n"
    "  --genre VALUE   --date VALUE     --track VALUE\n"
    "Values must be UTF-8; they are escaped into a JSON object for you.\n"
    "\n"
    "  --json OBJECT   the tags as a JSON object, passed unchanged to the library, for example\n"
    "                  '{\"title\":\"Song\",\"track\":\"3\"}' (\"year\" is accepted for "
    "\"date\").\n"
    "                  --json cannot be combined with the tag options.\n"
    "\n"
    "Options may also be written --title=VALUE; after \"--\" every argument is a FILE.\n"
    "Each file is written on its own; a failure is reported and the other files are still "
    "written.\n";

static const char COVER_HELP[] =
    "Usage: " PROGRAM " cover get FILE OUT\n"
    "       " PROGRAM " cover set FILE IMAGE\n"
    "\n"
    "get: save the cover picture embedded in the MP3, FLAC or MP4/M4A FILE to OUT, byte for byte\n"
    "     (OUT is created or overwritten).\n"
    "set: make the picture file IMAGE the cover of the MP3 or FLAC FILE, replacing any earlier "
    "one\n"
    "     and keeping the text tags. A picture starting with the PNG signature is labelled\n"
    "     image/png, any other image/jpeg. An empty IMAGE is refused.\n";

static const char BATCH_HELP[] =
    "Usage: " PROGRAM " batch FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write the same tags into every FILE with one library call and report \"wrote N of M files\".\n"
    "The tags are given as for \"write\" (see " PROGRAM
    " help write). The exit status is 1 unless\n"
    "every file was written; the library then reports the message of the last file only, which\n"
    "is printed when there is one. The paths must be valid UTF-8.\n";

/* A growing text in one malloc'd block; `failed` is set when an allocation fails. */
struct text_buf {
    char* data;
    size_t len;
    size_t cap;
    int failed;
};

static void buf_append(struct text_buf* buf, const char* bytes, size_t n) {
    if (buf->failed)
        return;
    if (n >= buf->cap - buf->len) {
        size_t cap = buf->cap ? buf->cap : 64;
        while (n >= cap - buf->len) {
            if (cap > ((size_t)-1) / 2) {
                buf->failed = 1;
                return;
            }
            cap *= 2;
        }
        char* grown = (char*)realloc(buf->data, cap);
        if (!grown) {
            buf->failed = 1;
            return;
        }
        buf->data = grown;
        buf->cap = cap;
    }
    memcpy(buf->data + buf->len, bytes, n);
    buf->len += n;
    buf->data[buf->len] = '\0';
}

static void buf_append_str(struct text_buf* buf, const char* text) {
    buf_append(buf, text, strlen(text));
}

/* Appends `text` as a JSON string: the quotation mark, the reverse solidus and the control
 * characters are escaped, every other byte (UTF-8 included) is copied as it is. */
static void buf_append_json_string(struct text_buf* buf, const char* text) {
    /* characters with a two-letter escape, and the letter of each */
    static const char SHORT_ESCAPED[] = "\"\\\b\f\n\r\t";
    static const char SHORT_LETTERS[] = "\"\\bfnrt";
    static const char HEX[] = "0123456789abcdef";
    buf_append(buf, "\"", 1);
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        const char* short_escape = strchr(SHORT_ESCAPED, *p);
        if (short_escape) {
            char esc[2] = {'\\', SHORT_LETTERS[short_escape - SHORT_ESCAPED]};
            buf_append(buf, esc, sizeof esc);
        } else if (*p < 0x20) {
            char esc[6] = {'\\', 'u', '0', '0', HEX[*p >> 4], HEX[*p & 0x0F]};
            buf_append(buf, esc, sizeof esc);
        } else {
            buf_append(buf, (const char*)p, 1);
        }
    }
    buf_append(buf, "\"", 1);
}

/* 1 when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. */
static int is_valid_utf8(const char* text) {
    const unsigned char* p = (const unsigned char*)text;
    while (*p) {
        unsigned char lead = *p;
        size_t follow;
        unsigned char low = 0x80, high = 0xBF; /* allowed range of the first continuation byte */
        if (lead < 0x80) {
            p++;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            follow = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
            if (lead == 0xE0)
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            follow = 3;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        } else {
            return 0;
        }
        p++;
        for (size_t i = 0; i < follow; i++, p++) {
            unsigned char lo = i == 0 ? low : 0x80;
            unsigned char hi = i == 0 ? high : 0xBF;
            if (*p < lo || *p > hi)
                return 0; /* also stops at the terminating NUL */
        }
    }
    return 1;
}

static const char* library_error(void) {
    const char* text = id3_last_error();
    return text && *text ? text : "unknown error";
}

static int usage_error(const char* command, const char* message) {
    fprintf(stderr, "%s: %s\n", PROGRAM, message);
    if (command)
        fprintf(stderr, "Try '%s %s --help'.\n", PROGRAM, command);
    else
        fprintf(stderr, "Try '%s --help'.\n", PROGRAM);
    return EXIT_USAGE;
}

static int out_of_memory(void) {
    fprintf(stderr, "%s: out of memory\n", PROGRAM);
    return EXIT_FAILED;
}

static int is_help_option(const char* arg) {
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
}

/* What the command line of "write" and "batch" holds: files and the tags to write. */
struct write_args {
    const char** files; /* malloc'd; points into argv */
    size_t file_count;
    const char* json;
    const char* values[TAG_COUNT];
    int help;
};

/* Returns the index of the tag option `name` (without its leading "--"), or -1. */
static int tag_option_index(const char* name, size_t len) {
    for (int i = 0; i < TAG_COUNT; i++) {
        if (strlen(TAG_KEYS[i]) == len && memcmp(TAG_KEYS[i], name, len) == 0)
            return i;
    }
    return -1;
}

/* Parses argv[first..argc) of "write" or "batch". Files are taken from `argv`, option values from
 * `value_argv`, the same arguments in UTF-8. Returns EXIT_OK, or the exit status after a usage
 * error (already reported). The caller frees `args->files` in either case. */
static int parse_write_args(const char* command, int argc, char** argv, char** value_argv,
                            int first, struct write_args* args) {
    char message[256];
    memset(args, 0, sizeof *args);
    args->files = (const char**)malloc(sizeof(const char*) * (size_t)(argc > 0 ? argc : 1));
    if (!args->files)
        return out_of_memory();
    int only_files = 0;
    for (int i = first; i < argc; i++) {
        const char* arg = argv[i];
        if (only_files || arg[0] != '-' || strcmp(arg, "-") == 0) {
            args->files[args->file_count++] = arg;
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            only_files = 1;
            continue;
        }
        if (is_help_option(arg)) {
            args->help = 1;
            return EXIT_OK;
        }
        /* --name VALUE or --name=VALUE */
        const char* name = arg + (arg[1] == '-' ? 2 : 1);
        const char* equals = strchr(name, '=');
        size_t name_len = equals ? (size_t)(equals - name) : strlen(name);
        int tag = tag_option_index(name, name_len);
        int is_json = name_len == 4 && memcmp(name, "json", 4) == 0;
        if (arg[1] != '-' || (tag < 0 && !is_json)) {
            snprintf(message, sizeof message, "%s: unknown option '%.*s'", command,
                     (int)(equals ? (size_t)(equals - arg) : strlen(arg)), arg);
            return usage_error(command, message);
        }
        const char* value;
        if (equals) {
            value = strchr(value_argv[i], '=') + 1; /* the option name is ASCII in both */
        } else if (i + 1 < argc) {
            value = value_argv[++i];
        } else {
            snprintf(message, sizeof message, "%s: option '--%s' needs a value", command, name);
            return usage_error(command, message);
        }
        const char** slot = is_json ? &args->json : &args->values[tag];
        if (*slot) {
            snprintf(message, sizeof message, "%s: option '--%.*s' given twice", command,
                     (int)name_len, name);
            return usage_error(command, message);
        }
        *slot = value;
    }
    return EXIT_OK;
}

/* Makes the tag JSON object of the parsed options into `json` (empty on entry). Returns EXIT_OK or
 * the exit status of a reported error. */
static int build_tags_json(const char* command, const struct write_args* args,
                           struct text_buf* json) {
    char message[256];
    int tag_options = 0;
    for (int i = 0; i < TAG_COUNT; i++)
        tag_options += args->values[i] != NULL;
    if (args->json && tag_options)
        return usage_error(command, "--json cannot be combined with --title, --artist, --album, "
                                    "--genre, --date or --track");
    if (args->json) {
        buf_append_str(json, args->json);
        return json->failed ? out_of_memory() : EXIT_OK;
    }
    if (!tag_options)
        return usage_error(command, "no tags given: use --json or --title, --artist, --album, "
                                    "--genre, --date, --track");
    buf_append(json, "{", 1);
    int members = 0;
    for (int i = 0; i < TAG_COUNT; i++) {
        if (!args->values[i])
            continue;
        if (!is_valid_utf8(args->values[i])) {
            snprintf(message, sizeof message, "--%s: the value is not valid UTF-8", TAG_KEYS[i]);
            return usage_error(command, message);
        }
        if (members++)
            buf_append(json, ",", 1);
        buf_append_json_string(json, TAG_KEYS[i]);
        buf_append(json, ":", 1);
        buf_append_json_string(json, args->values[i]);
    }
    buf_append(json, "}", 1);
    return json->failed ? out_of_memory() : EXIT_OK;
}

/* The command line of "write" and "batch": prints the help, or checks that files were given and
 * makes the tag JSON object. Returns EXIT_OK when the command should go on (`args->help` 0) or is
 * done (`args->help` 1), else the exit status of a reported error. The caller frees `args->files`
 * and `json->data` in every case. */
static int parse_write_command(const char* command, const char* help, int argc, char** argv,
                               char** value_argv, struct write_args* args, struct text_buf* json) {
    int status = parse_write_args(command, argc, argv, value_argv, 2, args);
    if (status != EXIT_OK)
        return status;
    if (args->help) {
        fputs(help, stdout);
        return EXIT_OK;
    }
    if (args->file_count == 0) {
        char message[64];
        snprintf(message, sizeof message, "%s: no FILE given", command);
        return usage_error(command, message);
    }
    return build_tags_json(command, args, json);
}

static int cmd_read(int argc, char** argv) {
    const char** files = (const char**)malloc(sizeof(const char*) * (size_t)argc);
    if (!files)
        return out_of_memory();
    size_t file_count = 0;
    int only_files = 0;
    for (int i = 2; i < argc; i++) {
        const char* arg = argv[i];
        if (!only_files && strcmp(arg, "--") == 0) {
            only_files = 1;
        } else if (!only_files && is_help_option(arg)) {
            free(files);
            fputs(READ_HELP, stdout);
            return EXIT_OK;
        } else if (!only_files && arg[0] == '-' && arg[1] != '\0') {
            char message[256];
            snprintf(message, sizeof message, "read: unknown option '%s'", arg);
            free(files);
            return usage_error("read", message);
        } else {
            files[file_count++] = arg;
        }
    }
    if (file_count == 0) {
        free(files);
        return usage_error("read", "read: no FILE given");
    }
    int status = EXIT_OK;
    for (size_t i = 0; i < file_count; i++) {
        char* json = id3_read(files[i]);
        if (!json) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, files[i], library_error());
            status = EXIT_FAILED;
            continue;
        }
        if (file_count == 1)
            printf("%s\n", json);
        else
            printf("%s\t%s\n", files[i], json);
        id3_free_string(json);
    }
    free(files);
    return status;
}

static int cmd_write(int argc, char** argv, char** value_argv) {
    struct write_args args;
    struct text_buf json = {0};
    int status = parse_write_command("write", WRITE_HELP, argc, argv, value_argv, &args, &json);
    if (status == EXIT_OK && !args.help) {
        /* A failure is reported and the remaining files are still written. */
        for (size_t i = 0; i < args.file_count; i++) {
            if (id3_write(args.files[i], json.data) != 0) {
                fprintf(stderr, "%s: %s: %s\n", PROGRAM, args.files[i], library_error());
                status = EXIT_FAILED;
            }
        }
    }
    free(json.data);
    free(args.files);
    return status;
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

static int cmd_cover(int argc, char** argv) {
    if (argc < 3)
        return usage_error("cover", "cover: missing 'get' or 'set'");
    const char* action = argv[2];
    if (is_help_option(action)) {
        fputs(COVER_HELP, stdout);
        return EXIT_OK;
    }
    int is_get = strcmp(action, "get") == 0;
    if (!is_get && strcmp(action, "set") != 0) {
        char message[256];
        snprintf(message, sizeof message, "cover: unknown action '%s' (use 'get' or 'set')",
                 action);
        return usage_error("cover", message);
    }
    const char* operands[2];
    int operand_count = 0;
    int only_files = 0;
    for (int i = 3; i < argc; i++) {
        const char* arg = argv[i];
        if (!only_files && strcmp(arg, "--") == 0) {
            only_files = 1;
        } else if (!only_files && is_help_option(arg)) {
            fputs(COVER_HELP, stdout);
            return EXIT_OK;
        } else if (!only_files && arg[0] == '-' && arg[1] != '\0') {
            char message[256];
            snprintf(message, sizeof message, "cover %s: unknown option '%s'", action, arg);
            return usage_error("cover", message);
        } else if (operand_count == 2) {
            return usage_error("cover", is_get
                                            ? "cover get: expects FILE OUT, too many arguments"
                                            : "cover set: expects FILE IMAGE, too many arguments");
        } else {
            operands[operand_count++] = arg;
        }
    }
    if (operand_count != 2)
        return usage_error("cover", is_get ? "cover get: expects FILE OUT"
                                           : "cover set: expects FILE IMAGE");
    if (is_get) {
        if (id3_extract_cover(operands[0], operands[1]) != 0) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, operands[0], library_error());
            return EXIT_FAILED;
        }
        return EXIT_OK;
    }
    /* An empty picture is never a cover: embedding it would silently drop the file's picture. */
    if (is_empty_file(operands[1])) {
        fprintf(stderr, "%s: %s: the image file is empty\n", PROGRAM, operands[1]);
        return EXIT_FAILED;
    }
    if (id3_set_cover(operands[0], operands[1]) != 0) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, operands[0], library_error());
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

/* Writes `tags_json` into the files of `args` with one id3_batch call and reports the count. */
static int run_batch(const struct write_args* args, const char* tags_json) {
    /* The paths travel inside a JSON array, which holds UTF-8 text only. */
    for (size_t i = 0; i < args->file_count; i++) {
        if (!is_valid_utf8(args->files[i])) {
            fprintf(stderr,
                    "%s: %s: the path is not valid UTF-8 and cannot be passed to batch "
                    "(use write); no file was written\n",
                    PROGRAM, args->files[i]);
            return EXIT_FAILED;
        }
    }
    struct text_buf paths = {0};
    buf_append(&paths, "[", 1);
    for (size_t i = 0; i < args->file_count; i++) {
        if (i)
            buf_append(&paths, ",", 1);
        buf_append_json_string(&paths, args->files[i]);
    }
    buf_append(&paths, "]", 1);
    if (paths.failed) {
        free(paths.data);
        return out_of_memory();
    }
    int32_t written = id3_batch(paths.data, tags_json);
    free(paths.data);
    if (written < 0) {
        fprintf(stderr, "%s: batch: %s\n", PROGRAM, library_error());
        return EXIT_FAILED;
    }
    printf("wrote %ld of %lu files\n", (long)written, (unsigned long)args->file_count);
    if ((size_t)written == args->file_count)
        return EXIT_OK;
    /* The library keeps the message of the last file only; it is empty when that one succeeded. */
    unsigned long failed = (unsigned long)(args->file_count - (size_t)written);
    const char* last = id3_last_error();
    if (last && *last)
        fprintf(stderr, "%s: batch: %lu file(s) not written; last message: %s\n", PROGRAM, failed,
                last);
    else
        fprintf(stderr, "%s: batch: %lu file(s) not written\n", PROGRAM, failed);
    return EXIT_FAILED;
}

static int cmd_batch(int argc, char** argv, char** value_argv) {
    struct write_args args;
    struct text_buf json = {0};
    int status = parse_write_command("batch", BATCH_HELP, argc, argv, value_argv, &args, &json);
    if (status == EXIT_OK && !args.help)
        status = run_batch(&args, json.data);
    free(json.data);
    free(args.files);
    return status;
}

static int cmd_help(int argc, char** argv) {
    if (argc < 3) {
        fputs(MAIN_HELP, stdout);
        return EXIT_OK;
    }
    if (argc > 3)
        return usage_error("help", "help: expects at most one COMMAND");
    const char* topic = argv[2];
    if (strcmp(topic, "read") == 0)
        fputs(READ_HELP, stdout);
    else if (strcmp(topic, "write") == 0)
        fputs(WRITE_HELP, stdout);
    else if (strcmp(topic, "cover") == 0)
        fputs(COVER_HELP, stdout);
    else if (strcmp(topic, "batch") == 0)
        fputs(BATCH_HELP, stdout);
    else if (strcmp(topic, "help") == 0)
        fputs(MAIN_HELP, stdout);
    else {
        char message[256];
        snprintf(message, sizeof message, "help: unknown command '%s'", topic);
        return usage_error(NULL, message);
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
