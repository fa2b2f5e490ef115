/*
 * quorvale-tag: a command-line client of the quorvale-id3tag library. It reads and writes the tags
 * of MP3, FLAC and MP4/M4A files, moves cover pictures in and out, and writes one set of tags into
 * many files. It uses nothing but the library's public header.
 *
 * Exit status: 0 success, 1 a file operation failed, 2 the command line was wrong.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* lstat, fileno, mkstemp */
#endif

#include "quorvale_id3tag.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
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
    "  read [-r] FILE...                 print the tags of each FILE as JSON\n"
    "  write [-r] [--dry-run] FILE... TAGS\n"
    "                                    write tags into MP3 and FLAC files, one call per file\n"
    "  cover get FILE OUT|-              save the cover picture of FILE to OUT or stdout\n"
    "  cover set FILE IMAGE              make the PNG or JPEG picture IMAGE the cover of FILE\n"
    "  batch [-r] FILE... TAGS           write tags into all FILEs in one library call\n"
    "  help [COMMAND]                    show this help, or the help of COMMAND\n"
    "\n"
    "TAGS is --json OBJECT, or any of --title, --artist, --album, --genre, --date, --track VALUE.\n"
    "-r, --recursive: a FILE that is a folder stands for the MP3, FLAC and MP4 files under it.\n"
    "\n"
    "Options:\n"
    "  -h, --help      show help (also after a command: " PROGRAM " write --help)\n"
    "  --version       show the program version\n"
    "\n"
    "Exit status: 0 success, 1 an operation failed, 2 wrong command line.\n";

static const char READ_HELP[] =
    "Usage: " PROGRAM " read [-r] FILE...\n"
    "Print the tags of each FILE as the JSON object the library returns:\n"
    "  {\"title\":...,\"artist\":...,\"album\":...,\"genre\":...,\"date\":...,\"track\":...,\n"
    "   \"format\":\"mp3|flac|mp4\",\"has_cover\":true|false[,\"cover_mime\":...]}\n"
    "\n"
    "With one FILE the object is printed alone on one line (ready for jq). Otherwise the output\n"
    "is JSON Lines: one object per file with \"path\" as its first member, or\n"
    "{\"path\":...,\"error\":...} for a file that cannot be read (also reported on standard\n"
    "error; the exit status is then 1). Bytes of a path that are not UTF-8 are written \\udcXX.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the files under it, in name order;\n"
    "                   only MP3, FLAC and MP4 files (told by their content) are read, others\n"
    "                   are skipped with a note on standard error\n"
    "\n"
    "Each line is written out as soon as its file is done; on a terminal, standard error shows\n"
    "how many files are done.\n";

static const char WRITE_HELP[] =
    "Usage: " PROGRAM " write FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write tags into each MP3 or FLAC FILE. Tags that are not given keep the value the file has,\n"
    "and the cover picture is kept. MP4/M4A files are refused.\n"
    "\n"
    "Tag options (each at most once; an empty VALUE stores an empty tag):\n"
    "  --title VALUE   --artist VALUE   --album VALUE\n"
    "  --genre VALUE   --date VALUE     --track VALUE\n"
    "Values must be UTF-8; they are escaped into a JSON object for you.\n"
    "\n"
    "  --json OBJECT   the tags as a JSON object, passed unchanged to the library, for example\n"
    "                  '{\"title\":\"Song\",\"track\":\"3\"}'; \"year\" is accepted for \"date\".\n"
    "                  --json cannot be combined with the tag options.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the MP3, FLAC and MP4 files under it\n"
    "  --dry-run        write nothing: print, as \"read\" does, the tags each file would hold\n"
    "\n"
    "Options may also be written --title=VALUE; after \"--\" every argument is a FILE.\n"
    "Each file is written on its own; a failure is reported and the other files are still\n"
    "written.\n";

static const char COVER_HELP[] =
    "Usage: " PROGRAM " cover get FILE OUT\n"
    "       " PROGRAM " cover set FILE IMAGE\n"
    "\n"
    "get: save the cover picture embedded in the MP3, FLAC or MP4/M4A FILE to OUT, byte for byte\n"
    "     (OUT is created or overwritten); OUT \"-\" writes it to standard output.\n"
    "set: make the picture file IMAGE the cover of the MP3 or FLAC FILE, replacing any\n"
    "     earlier one and keeping the text tags. A picture starting with the PNG signature is\n"
    "     labelled image/png, any other image/jpeg (with a warning when it is not a JPEG\n"
    "     either). An empty IMAGE is refused.\n";

static const char BATCH_HELP[] =
    "Usage: " PROGRAM " batch [-r] FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write the same tags into every FILE with one library call and report \"wrote N of M files\".\n"
    "The tags are given as for \"write\" (see " PROGRAM " help write). The exit status is 1\n"
    "unless every file was written; the library then reports the message of the last file\n"
    "only, which is printed when there is one. The paths must be valid UTF-8. With -r\n"
    "(--recursive), a FILE that is a folder stands for the MP3, FLAC and MP4 files under it.\n";

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

/* The length of the well-formed UTF-8 sequence at `p` (no overlong forms, no surrogates, nothing
 * above U+10FFFF), or 0 when the bytes there are not one. */
static size_t utf8_sequence_length(const unsigned char* p) {
    unsigned char lead = *p;
    size_t follow;
    unsigned char low = 0x80, high = 0xBF; /* allowed range of the first continuation byte */
    if (lead < 0x80) {
        return 1;
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
    for (size_t i = 1; i <= follow; i++) {
        unsigned char lo = i == 1 ? low : 0x80;
        unsigned char hi = i == 1 ? high : 0xBF;
        if (p[i] < lo || p[i] > hi)
            return 0; /* also stops at the terminating NUL */
    }
    return follow + 1;
}

/* 1 when `text` is well-formed UTF-8. */
static int is_valid_utf8(const char* text) {
    const unsigned char* p = (const unsigned char*)text;
    size_t n;
    while (*p && (n = utf8_sequence_length(p)) != 0)
        p += n;
    return *p == '\0';
}

/* Appends `text` as a JSON string: the quotation mark, the reverse solidus and the control
 * characters are escaped and UTF-8 is copied as it is. A byte that is not part of well-formed UTF-8
 * (a file name can hold any) becomes the escape \udcXX of a lone surrogate, the form Python's
 * os.fsencode() turns back into that byte. */
static void buf_append_json_string(struct text_buf* buf, const char* text) {
    /* characters with a two-letter escape, and the letter of each */
    static const char SHORT_ESCAPED[] = "\"\\\b\f\n\r\t";
    static const char SHORT_LETTERS[] = "\"\\bfnrt";
    static const char HEX[] = "0123456789abcdef";
    buf_append(buf, "\"", 1);
    const unsigned char* p = (const unsigned char*)text;
    while (*p) {
        const char* short_escape = strchr(SHORT_ESCAPED, *p);
        size_t n = utf8_sequence_length(p);
        if (short_escape) {
            char esc[2] = {'\\', SHORT_LETTERS[short_escape - SHORT_ESCAPED]};
            buf_append(buf, esc, sizeof esc);
        } else if (*p < 0x20) {
            char esc[6] = {'\\', 'u', '0', '0', HEX[*p >> 4], HEX[*p & 0x0F]};
            buf_append(buf, esc, sizeof esc);
        } else if (n == 0) {
            char esc[6] = {'\\', 'u', 'd', 'c', HEX[*p >> 4], HEX[*p & 0x0F]};
            buf_append(buf, esc, sizeof esc);
        } else {
            buf_append(buf, (const char*)p, n);
            p += n;
            continue;
        }
        p++;
    }
    buf_append(buf, "\"", 1);
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

static int is_recursive_option(const char* arg) {
    return strcmp(arg, "-r") == 0 || strcmp(arg, "--recursive") == 0;
}

/* ---- The files a command works on: the FILE operands, with folders walked under -r. ---- */

/* Paths in malloc'd copies, in the order they are worked on. */
struct path_list {
    char** items;
    size_t count;
    size_t cap;
    int failed;    /* an allocation failed */
    int from_walk; /* some paths were found inside a folder */
};

static void paths_add(struct path_list* list, const char* path, size_t len) {
    if (list->failed)
        return;
    if (list->count == list->cap) {
        size_t cap = list->cap ? list->cap * 2 : 16;
        char** grown = (char**)realloc(list->items, cap * sizeof(char*));
        if (!grown) {
            list->failed = 1;
            return;
        }
        list->items = grown;
        list->cap = cap;
    }
    char* copy = (char*)malloc(len + 1);
    if (!copy) {
        list->failed = 1;
        return;
    }
    memcpy(copy, path, len);
    copy[len] = '\0';
    list->items[list->count++] = copy;
}

static void paths_free(struct path_list* list) {
    for (size_t i = 0; i < list->count; i++)
        free(list->items[i]);
    free(list->items);
    memset(list, 0, sizeof *list);
}

static int compare_names(const void* a, const void* b) {
    return strcmp(*(char* const*)a, *(char* const*)b);
}

/* 1 when the start of the regular file at `path` is that of a file the library reads: an ID3v2 tag
 * or an MPEG audio frame, "fLaC", or an MP4 file-type box near the start. A file that cannot be
 * opened counts as one, so that the command reports why. */
static int looks_like_audio(const char* path) {
    unsigned char head[72];
    FILE* file = fopen(path, "rb");
    if (!file)
        return 1;
    size_t len = fread(head, 1, sizeof head, file);
    fclose(file);
    if (len < 4)
        return 0;
    if (memcmp(head, "ID3", 3) == 0 || memcmp(head, "fLaC", 4) == 0 ||
        (head[0] == 0xFF && head[1] >= 0xE0))
        return 1;
    for (size_t p = 4; p + 5 <= len; p++) {
        if (memcmp(head + p, "ftyp", 4) == 0)
            return 1;
    }
    return 0;
}

enum entry_kind { ENTRY_OTHER, ENTRY_FILE, ENTRY_FOLDER };

/* What is at `path`, following a symbolic link only when `follow_links`. */
static enum entry_kind entry_kind(const char* path, int follow_links) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ENTRY_OTHER;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return !follow_links && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ENTRY_OTHER
                                                                            : ENTRY_FOLDER;
    return ENTRY_FILE;
#else
    struct stat st;
    if ((follow_links ? stat(path, &st) : lstat(path, &st)) != 0)
        return ENTRY_OTHER;
    if (S_ISLNK(st.st_mode))
        return stat(path, &st) == 0 && S_ISREG(st.st_mode) ? ENTRY_FILE : ENTRY_OTHER;
    return S_ISDIR(st.st_mode) ? ENTRY_FOLDER : S_ISREG(st.st_mode) ? ENTRY_FILE : ENTRY_OTHER;
#endif
}

/* The names in the folder `dir` (without "." and ".."), sorted bytewise, into `names`. Returns 0,
 * or -1 when the folder cannot be listed (reported). */
static int list_folder(const char* dir, struct path_list* names) {
#ifdef _WIN32
    struct text_buf pattern = {0};
    buf_append_str(&pattern, dir);
    buf_append_str(&pattern, "\\*");
    WIN32_FIND_DATAA found;
    HANDLE find = pattern.failed ? INVALID_HANDLE_VALUE : FindFirstFileA(pattern.data, &found);
    free(pattern.data);
    if (find == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "%s: %s: cannot list the folder (error %lu)\n", PROGRAM, dir,
                (unsigned long)GetLastError());
        return -1;
    }
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
            paths_add(names, found.cFileName, strlen(found.cFileName));
    } while (FindNextFileA(find, &found));
    FindClose(find);
#else
    DIR* folder = opendir(dir);
    if (!folder) {
        fprintf(stderr, "%s: %s: cannot list the folder (%s)\n", PROGRAM, dir, strerror(errno));
        return -1;
    }
    struct dirent* entry;
    while ((entry = readdir(folder)) != NULL) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            paths_add(names, entry->d_name, strlen(entry->d_name));
    }
    closedir(folder);
#endif
    if (names->count > 1)
        qsort(names->items, names->count, sizeof(char*), compare_names);
    return 0;
}

/* Adds the MP3, FLAC and MP4 files under the folder `dir` to `out`, folder by folder in name order;
 * other files are skipped with a note. Symbolic links to folders are not followed (no loops).
 * Returns 0, or -1 when a folder could not be listed (the walk goes on). */
static int walk_folder(const char* dir, struct path_list* out) {
    struct path_list names = {0};
    int status = list_folder(dir, &names);
    size_t dir_len = strlen(dir);
    while (dir_len > 1 && (dir[dir_len - 1] == '/' || dir[dir_len - 1] == '\\'))
        dir_len--;
    for (size_t i = 0; i < names.count && !names.failed && !out->failed; i++) {
        struct text_buf path = {0};
        buf_append(&path, dir, dir_len);
        buf_append(&path, "/", 1);
        buf_append_str(&path, names.items[i]);
        if (path.failed) {
            out->failed = 1;
        } else {
            switch (entry_kind(path.data, 0)) {
            case ENTRY_FOLDER:
                if (walk_folder(path.data, out) != 0)
                    status = -1;
                break;
            case ENTRY_FILE:
                if (looks_like_audio(path.data))
                    paths_add(out, path.data, path.len);
                else
                    fprintf(stderr, "%s: %s: skipped (not an MP3, FLAC or MP4 file)\n", PROGRAM,
                            path.data);
                break;
            case ENTRY_OTHER:
                fprintf(stderr, "%s: %s: skipped (not a regular file)\n", PROGRAM, path.data);
                break;
            }
        }
        free(path.data);
    }
    if (names.failed)
        out->failed = 1;
    paths_free(&names);
    out->from_walk = 1;
    return status;
}

/* Turns the FILE operands into the list of paths to work on: with `recursive`, a folder stands for
 * the audio files under it; without, a folder is reported and left out. Returns EXIT_OK, or
 * EXIT_FAILED when a folder was left out or could not be listed (the other paths are still listed)
 * or memory ran out (reported). */
static int collect_paths(const char* const* operands, size_t count, int recursive,
                         struct path_list* out) {
    int status = EXIT_OK;
    for (size_t i = 0; i < count && !out->failed; i++) {
        int is_folder = entry_kind(operands[i], 1) == ENTRY_FOLDER;
        if (is_folder && !recursive) {
            fprintf(stderr, "%s: %s: is a folder (-r works on the files under it)\n", PROGRAM,
                    operands[i]);
            status = EXIT_FAILED;
        } else if (is_folder) {
            if (walk_folder(operands[i], out) != 0)
                status = EXIT_FAILED;
        } else {
            paths_add(out, operands[i], strlen(operands[i]));
        }
    }
    return out->failed ? out_of_memory() : status;
}

/* ---- Progress and output ---- */

/* A "file N of M" line on standard error, shown only when that is a terminal and there is more
 * than one file; it is cleared before anything else is printed. */
struct progress {
    int shown;
    int enabled;
    size_t total;
};

static void progress_begin(struct progress* progress, size_t total) {
    progress->shown = 0;
    progress->total = total;
#ifdef _WIN32
    progress->enabled = total > 1 && _isatty(_fileno(stderr));
#else
    progress->enabled = total > 1 && isatty(fileno(stderr));
#endif
}

static void progress_clear(struct progress* progress) {
    if (progress->shown) {
        fprintf(stderr, "\r%*s\r", 60, "");
        progress->shown = 0;
    }
}

static void progress_show(struct progress* progress, size_t done) {
    if (!progress->enabled)
        return;
    fprintf(stderr, "\r%s: file %lu of %lu", PROGRAM, (unsigned long)done + 1,
            (unsigned long)progress->total);
    fflush(stderr);
    progress->shown = 1;
}

/* Prints the result for one file: alone, the library's object as it is; in a list (JSON Lines),
 * the object with "path" as its first member, or {"path":...,"error":...} after a failure, which is
 * also reported on standard error. Each line is flushed, so an interrupted run keeps what it
 * printed. Returns EXIT_OK, or EXIT_FAILED when `json` is NULL. */
static int print_result(struct progress* progress, const char* path, const char* json,
                        int as_list) {
    progress_clear(progress);
    if (!json)
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, library_error());
    if (as_list) {
        struct text_buf line = {0};
        buf_append_str(&line, "{\"path\":");
        buf_append_json_string(&line, path);
        if (json) {
            buf_append(&line, ",", 1);
            buf_append_str(&line, json + 1); /* the library's object after its "{" */
        } else {
            buf_append_str(&line, ",\"error\":");
            buf_append_json_string(&line, library_error());
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

/* ---- Temporary files, for "cover get FILE -" and "write --dry-run" ---- */

/* Creates an empty temporary file and returns its malloc'd name, or NULL (reported). */
static char* make_temp_file(void) {
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

/* Copies the whole of `from` to the open stream `to`. Returns 0, or -1 (reported). */
static int copy_file_to(const char* from, FILE* to, const char* to_name) {
    FILE* in = fopen(from, "rb");
    if (!in) {
        fprintf(stderr, "%s: cannot open: %s (%s)\n", PROGRAM, from, strerror(errno));
        return -1;
    }
    char block[65536];
    size_t n;
    int status = 0;
    while (status == 0 && (n = fread(block, 1, sizeof block, in)) > 0) {
        if (fwrite(block, 1, n, to) != n) {
            fprintf(stderr, "%s: cannot write to %s\n", PROGRAM, to_name);
            status = -1;
        }
    }
    if (status == 0 && ferror(in)) {
        fprintf(stderr, "%s: cannot read: %s\n", PROGRAM, from);
        status = -1;
    }
    fclose(in);
    return status;
}

/* What the command line of "write" and "batch" holds: files and the tags to write. */
struct write_args {
    const char** files; /* malloc'd; points into argv */
    size_t file_count;
    const char* json;
    const char* values[TAG_COUNT];
    int help;
    int recursive; /* -r: folders stand for the audio files under them */
    int dry_run;   /* write --dry-run: print what would be stored, change nothing */
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
        if (is_recursive_option(arg)) {
            args->recursive = 1;
            continue;
        }
        if (strcmp(arg, "--dry-run") == 0 && strcmp(command, "write") == 0) {
            args->dry_run = 1;
            continue;
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
    int recursive = 0;
    for (int i = 2; i < argc; i++) {
        const char* arg = argv[i];
        if (!only_files && strcmp(arg, "--") == 0) {
            only_files = 1;
        } else if (!only_files && is_help_option(arg)) {
            free(files);
            fputs(READ_HELP, stdout);
            return EXIT_OK;
        } else if (!only_files && is_recursive_option(arg)) {
            recursive = 1;
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
    struct path_list paths = {0};
    int status = collect_paths(files, file_count, recursive, &paths);
    free(files);
    /* One FILE named alone prints the bare object; anything else is a list. */
    int as_list = paths.count != 1 || paths.from_walk;
    struct progress progress;
    progress_begin(&progress, paths.count);
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        progress_show(&progress, i);
        char* json = id3_read(paths.items[i]);
        if (print_result(&progress, paths.items[i], json, as_list) != EXIT_OK)
            status = EXIT_FAILED;
        id3_free_string(json);
    }
    progress_clear(&progress);
    paths_free(&paths);
    return status;
}

/* What `write` would store in `path`: the tags are written into a temporary copy, which is read
 * back and deleted; `path` itself is only read. Prints the result as `read` does. */
static int dry_run_one(struct progress* progress, const char* path, const char* tags_json,
                       int as_list) {
    char* current = id3_read(path); /* the file's own messages come first */
    if (!current)
        return print_result(progress, path, NULL, as_list);
    id3_free_string(current);
    char* json = NULL;
    char* copy = make_temp_file();
    if (!copy)
        return EXIT_FAILED;
    FILE* out = fopen(copy, "wb");
    int copied = out && copy_file_to(path, out, copy) == 0;
    if (out && fclose(out) != 0)
        copied = 0;
    if (copied)
        json = id3_write(copy, tags_json) == 0 ? id3_read(copy) : NULL;
    remove(copy);
    free(copy);
    if (!copied)
        return EXIT_FAILED;
    int status = print_result(progress, path, json, as_list);
    id3_free_string(json);
    return status;
}

static int cmd_write(int argc, char** argv, char** value_argv) {
    struct write_args args;
    struct text_buf json = {0};
    int status = parse_write_command("write", WRITE_HELP, argc, argv, value_argv, &args, &json);
    struct path_list paths = {0};
    if (status == EXIT_OK && !args.help)
        status = collect_paths(args.files, args.file_count, args.recursive, &paths);
    int as_list = paths.count != 1 || paths.from_walk;
    struct progress progress;
    progress_begin(&progress, paths.count);
    /* A failure is reported and the remaining files are still written. */
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        progress_show(&progress, i);
        if (args.dry_run) {
            if (dry_run_one(&progress, paths.items[i], json.data, as_list) != EXIT_OK)
                status = EXIT_FAILED;
        } else if (id3_write(paths.items[i], json.data) != 0) {
            progress_clear(&progress);
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, paths.items[i], library_error());
            status = EXIT_FAILED;
        }
    }
    progress_clear(&progress);
    paths_free(&paths);
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

/* cover get FILE OUT; OUT "-" is standard output, through a temporary file. */
static int cover_get(const char* path, const char* out) {
    if (strcmp(out, "-") != 0) {
        if (id3_extract_cover(path, out) != 0) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, library_error());
            return EXIT_FAILED;
        }
        return EXIT_OK;
    }
    char* temp = make_temp_file();
    if (!temp)
        return EXIT_FAILED;
    int status = EXIT_OK;
    if (id3_extract_cover(path, temp) != 0) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, library_error());
        status = EXIT_FAILED;
    } else if (copy_file_to(temp, stdout, "standard output") != 0) {
        status = EXIT_FAILED;
    }
    remove(temp);
    free(temp);
    return status;
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
    if (is_get)
        return cover_get(operands[0], operands[1]);
    /* An empty picture is never a cover: embedding it would silently drop the file's picture. */
    if (is_empty_file(operands[1])) {
        fprintf(stderr, "%s: %s: the image file is empty\n", PROGRAM, operands[1]);
        return EXIT_FAILED;
    }
    warn_unless_known_picture(operands[1]);
    if (id3_set_cover(operands[0], operands[1]) != 0) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, operands[0], library_error());
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

/* Writes `tags_json` into the files of `args` with one id3_batch call and reports the count. */
static int run_batch(const struct path_list* files, const char* tags_json) {
    /* The paths travel inside a JSON array, which holds UTF-8 text only. */
    for (size_t i = 0; i < files->count; i++) {
        if (!is_valid_utf8(files->items[i])) {
            fprintf(stderr,
                    "%s: %s: the path is not valid UTF-8 and cannot be passed to batch "
                    "(use write); no file was written\n",
                    PROGRAM, files->items[i]);
            return EXIT_FAILED;
        }
    }
    struct text_buf paths = {0};
    buf_append(&paths, "[", 1);
    for (size_t i = 0; i < files->count; i++) {
        if (i)
            buf_append(&paths, ",", 1);
        buf_append_json_string(&paths, files->items[i]);
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
    printf("wrote %ld of %lu files\n", (long)written, (unsigned long)files->count);
    if ((size_t)written == files->count)
        return EXIT_OK;
    /* The library keeps the message of the last file only; it is empty when that one succeeded. */
    unsigned long failed = (unsigned long)(files->count - (size_t)written);
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
