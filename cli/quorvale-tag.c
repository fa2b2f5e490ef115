/*
 * quorvale-tag: a command-line client of the quorvale-id3tag library. It reads and writes the tags
 * of MP3, FLAC, MP4/M4A, Ogg Vorbis and Opus files, moves cover pictures in and out, and writes one
 * set of tags into many files. It uses nothing but the library's public header.
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
    "Read and write the tags of MP3, FLAC, MP4/M4A, Ogg Vorbis and Opus files.\n"
    "\n"
    "Commands:\n"
    "  read [-r] [--all] FILE...         print the tags of each FILE as JSON\n"
    "  write [-r] [--dry-run] FILE... TAGS\n"
    "                                    write tags into MP3, FLAC, MP4, Ogg and Opus files, one\n"
    "                                    call per file\n"
    "  cover get FILE OUT|-              save the cover picture of FILE to OUT or stdout\n"
    "  cover set [-r] FILE... IMAGE      make the PNG or JPEG picture IMAGE the cover of FILEs\n"
    "  cover remove [-r] FILE...         remove the front cover pictures of FILEs\n"
    "  batch [-r] FILE... TAGS           write tags into all FILEs in one library call\n"
    "  help [COMMAND]                    show this help, or the help of COMMAND\n"
    "\n"
    "TAGS is --json OBJECT, or any of --title, --artist, --album, --genre, --date, --track VALUE,\n"
    "--set KEY=VALUE and --remove FIELD|KEY.\n"
    "-r, --recursive: a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus files\n"
    "under it.\n"
    "\n"
    "Options:\n"
    "  -h, --help      show help (also after a command: " PROGRAM " write --help)\n"
    "  --version       show the program version\n"
    "\n"
    "Exit status: 0 success, 1 an operation failed, 2 wrong command line.\n";

static const char READ_HELP[] =
    "Usage: " PROGRAM " read [-r] [--all] FILE...\n"
    "Print the tags of each FILE as the JSON object the library returns:\n"
    "  {\"title\":...,\"artist\":...,\"album\":...,\"genre\":...,\"date\":...,\"track\":...,\n"
    "   \"format\":\"mp3|flac|mp4|ogg|opus\",\"has_cover\":true|false[,\"cover_mime\":...]}\n"
    "or, with --all, every property (several values per key) and every picture:\n"
    "  {\"format\":...,\"properties\":{\"ARTIST\":[\"A\",\"B\"],...},\n"
    "   \"pictures\":[{\"type\":3,\"mime\":...,\"description\":...,\"size\":N},...]}\n"
    "\n"
    "With one FILE the object is printed alone on one line (ready for jq). Otherwise the output\n"
    "is JSON Lines: one object per file with \"path\" as its first member, or\n"
    "{\"path\":...,\"error\":...} for a file that cannot be read (also reported on standard\n"
    "error; the exit status is then 1). Bytes of a path that are not UTF-8 are written \\udcXX.\n"
    "A file whose tags end before what their headers declare (a cut-off file) is read as far as\n"
    "it goes, with a warning on standard error.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the files under it, in name order;\n"
    "                   only MP3, FLAC, MP4, Ogg Vorbis and Opus files (told by their content)\n"
    "                   are read, others are skipped with a note on standard error\n"
    "  --all            every property and picture (the library's id3_read_all)\n"
    "\n"
    "Each line is written out as soon as its file is done; on a terminal, standard error shows\n"
    "how many files are done.\n";

static const char WRITE_HELP[] =
    "Usage: " PROGRAM " write FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write tags into each MP3, FLAC, MP4/M4A, Ogg Vorbis or Opus FILE. Tags that are not given\n"
    "keep the value the file has, and the cover picture is kept.\n"
    "\n"
    "Tag options (each at most once; an empty VALUE stores an empty tag):\n"
    "  --title VALUE   --artist VALUE   --album VALUE\n"
    "  --genre VALUE   --date VALUE     --track VALUE\n"
    "Values must be UTF-8; they are escaped into a JSON object for you.\n"
    "  --remove FIELD  remove the tag FIELD (title, artist, album, genre, date or track): all its\n"
    "                  frames or comments go; may be given for several fields\n"
    "\n"
    "Properties (any key of \"read --all\", without regard to case; see " PROGRAM " read --all):\n"
    "  --set KEY=VALUE  give KEY the value VALUE; repeat the option for several values, which\n"
    "                   are stored in the order given, replacing every value KEY had\n"
    "  --remove KEY     remove every value of KEY (a KEY other than the six FIELD names)\n"
    "A key may not be both set and removed, nor named by a tag option as well (--title and\n"
    "TITLE, --date and DATE, --track and TRACKNUMBER, ...). Keys not named keep their values.\n"
    "\n"
    "  --json OBJECT   the tags as a JSON object, passed unchanged to the library, for example\n"
    "                  '{\"title\":\"Song\",\"track\":\"3\"}'; \"year\" is accepted for \"date\",\n"
    "                  null removes a tag, and \"cover\":null the front covers. The object is\n"
    "                  checked before any file (exit 2, with the place of a fault); members the\n"
    "                  library ignores are warned about; \"properties\":{\"KEY\":[\"v\",...]}\n"
    "                  sets properties as --set and --remove do. It cannot be combined with\n"
    "                  the tag options, --set or --remove.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus\n"
    "                   files under it\n"
    "  --dry-run        write nothing: print, as \"read\" does, the tags each file would hold\n"
    "                   (the file is read, never copied; a file a write would refuse gets the\n"
    "                   write's message). When properties are set, it prints as \"read --all\"\n"
    "                   does: the named keys first with the values given, then the file's\n"
    "                   other keys. The values are shown as given, not as the container would\n"
    "                   store them (an MP4 number, an ID3 genre number), and a value only the\n"
    "                   file's format refuses (a second DISCNUMBER in MP4) is reported by the\n"
    "                   write alone\n"
    "\n"
    "Options may also be written --title=VALUE; after \"--\" every argument is a FILE.\n"
    "Each file is written on its own; a failure is reported and the other files are still\n"
    "written.\n";

static const char COVER_HELP[] =
    "Usage: " PROGRAM " cover get FILE OUT\n"
    "       " PROGRAM " cover set [-r] FILE... IMAGE\n"
    "       " PROGRAM " cover remove [-r] FILE...\n"
    "\n"
    "get: save the cover picture embedded in the MP3, FLAC, MP4/M4A, Ogg Vorbis or Opus FILE to\n"
    "     OUT, byte for byte\n"
    "     (OUT is created or overwritten); OUT \"-\" writes it to standard output, which must\n"
    "     not be a terminal.\n"
    "set: make the picture file IMAGE the front cover of each MP3, FLAC, MP4, Ogg or Opus FILE,\n"
    "     replacing any earlier one and keeping the text tags and other pictures. A picture\n"
    "     starting with the PNG signature is labelled image/png, any other image/jpeg (with a\n"
    "     warning when it is not a JPEG either). An empty IMAGE is refused.\n"
    "remove: remove the front cover pictures of each MP3, FLAC, MP4, Ogg or Opus FILE; other\n"
    "        pictures stay.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus\n"
    "                   files under it\n"
    "Each file is written on its own; a failure is reported and the other files are still\n"
    "written.\n";

static const char BATCH_HELP[] =
    "Usage: " PROGRAM " batch [-r] FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write the same tags into every FILE with one library call and report \"wrote N of M files\".\n"
    "The tags are given as for \"write\" (see " PROGRAM " help write). The exit status is 1\n"
    "unless every file was written; the library then reports the message of the last file\n"
    "only, which is printed when there is one. Paths are passed byte for byte. With -r\n"
    "(--recursive), a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus files\n"
    "under it.\n";

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
 * (a file name can hold any) is copied as it is with `raw`, which the library's parser takes
 * (id3_batch's paths), or else becomes the escape \udcXX of a lone surrogate, the form Python's
 * os.fsencode() turns back into that byte (the "path" of read's output). */
static void buf_append_json_bytes(struct text_buf* buf, const char* text, int raw) {
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
        } else if (n == 0 && raw) {
            buf_append(buf, (const char*)p, 1);
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

static void buf_append_json_string(struct text_buf* buf, const char* text) {
    buf_append_json_bytes(buf, text, 0);
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
 * or an MPEG audio frame, "fLaC", an MP4 file-type box near the start, or an Ogg page whose first
 * packet is a Vorbis or Opus identification header (.ogg, .oga and .opus files are told this way,
 * whatever their name). A file that cannot be opened counts as one, so that the command reports
 * why. */
static int looks_like_audio(const char* path) {
    /* An Ogg page: 27 header bytes, as many lacing values as byte 26 says, then the packet. */
    unsigned char head[27 + 255 + 8];
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
    for (size_t p = 4; p + 5 <= len && p + 5 <= 72; p++) {
        if (memcmp(head + p, "ftyp", 4) == 0)
            return 1;
    }
    if (len >= 27 && memcmp(head, "OggS", 4) == 0) {
        size_t packet = 27 + (size_t)head[26];
        if (len >= packet + 8 && (memcmp(head + packet, "\x01vorbis", 7) == 0 ||
                                  memcmp(head + packet, "OpusHead", 8) == 0))
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

/* Adds the MP3, FLAC, MP4, Ogg Vorbis and Opus files under the folder `dir` to `out`, folder by
 * folder in name order; other files are skipped with a note. Symbolic links to folders are not
 * followed (no loops). Returns 0, or -1 when a folder could not be listed (the walk goes on). */
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
                    fprintf(stderr,
                            "%s: %s: skipped (not an MP3, FLAC, MP4, Ogg Vorbis or Opus file)\n",
                            PROGRAM, path.data);
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
 * the object with "path" as its first member, or {"path":...,"error":...} after a failure (the
 * message `error`, or the library's when that is NULL), which is also reported on standard error.
 * Each line is flushed, so an interrupted run keeps what it printed. Returns EXIT_OK, or
 * EXIT_FAILED when `json` is NULL. */
static int print_result(struct progress* progress, const char* path, const char* json,
                        const char* error, int as_list) {
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

/* ---- Temporary files, for "cover get FILE -" ---- */

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

/* ---- The tag object, checked before any file is touched ---- */

/* The members of a tag object the program knows: the six tags, "year" (read for "date" when that
 * is neither a string nor null), "cover" (null removes the front covers), "properties" (keys and
 * their lists of values) and the members a read adds, which a write ignores. */
enum {
    TAG_DATE = 4,
    KEY_YEAR = TAG_COUNT,
    KEY_COVER,
    KEY_FORMAT,
    KEY_HAS_COVER,
    KEY_COVER_MIME,
    KEY_PROPERTIES,
    KEY_PICTURES,
    KEY_COUNT
};
static const char* const KNOWN_KEYS[KEY_COUNT] = {
    "title", "artist", "album",     "genre",      "date",       "track",   "year",
    "cover", "format", "has_cover", "cover_mime", "properties", "pictures"};

/* The first member of a known key, as its JSON text: `value` points at the value's first byte. */
struct json_member {
    const char* value; /* NULL when the key is absent */
    size_t len;
    char type;   /* 's' string, 'n' null, 'o' any other value */
    int has_nul; /* a string holding \u0000 */
};

struct json_scan {
    const char* text;
    size_t pos;
    const char* error; /* what is wrong at `pos`, or NULL */
    int depth;
    int warn; /* warn about the members of the tag object that the library ignores */
};

static int scan_fail(struct json_scan* s, const char* error) {
    if (!s->error)
        s->error = error;
    return -1;
}

static void scan_space(struct json_scan* s) {
    while (strchr(" \t\r\n", s->text[s->pos]) && s->text[s->pos])
        s->pos++;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
        return (c | 0x20) - 'a' + 10;
    return -1;
}

/* The four hex digits of a \u escape at s->pos (just after the "u"), or -1. */
static long scan_hex4(struct json_scan* s) {
    long code = 0;
    for (int i = 0; i < 4; i++) {
        int digit = hex_value(s->text[s->pos + i]);
        if (digit < 0)
            return scan_fail(s, "a \\u escape needs four hex digits");
        code = code * 16 + digit;
    }
    s->pos += 4;
    return code;
}

/* A string at s->pos (its opening quote). Bytes that are not UTF-8 are allowed inside it, as the
 * library allows them; control characters and lone surrogate escapes are not. When `key` is given,
 * the string's text with its escapes resolved (ASCII ones only; others as DEL, 0x7F, which no key
 * holds) is put there, cut to key_size - 1 bytes. */
static int scan_string(struct json_scan* s, int* has_nul, char* key, size_t key_size) {
    size_t key_len = 0;
    s->pos++;
    for (;;) {
        unsigned char c = (unsigned char)s->text[s->pos];
        long code = c;
        if (c == '\0')
            return scan_fail(s, "the text ends inside a string");
        if (c < 0x20)
            return scan_fail(s, "a control character inside a string must be escaped");
        s->pos++;
        if (c == '"')
            break;
        if (c == '\\') {
            char e = s->text[s->pos++];
            const char* escapes = "\"\\/bfnrt";
            if (e == 'u') {
                code = scan_hex4(s);
                if (code < 0)
                    return -1;
                if (code >= 0xDC00 && code <= 0xDFFF)
                    return scan_fail(s, "a lone low surrogate escape");
                if (code >= 0xD800 && code <= 0xDBFF) {
                    long low = -1;
                    if (s->text[s->pos] == '\\' && s->text[s->pos + 1] == 'u') {
                        s->pos += 2;
                        low = scan_hex4(s);
                    }
                    if (low < 0xDC00 || low > 0xDFFF)
                        return scan_fail(s, "a high surrogate escape without its low half");
                }
                if (code == 0 && has_nul)
                    *has_nul = 1;
            } else if (e == '\0' || !strchr(escapes, e)) {
                s->pos--;
                return scan_fail(s, "an unknown escape in a string");
            } else {
                code = strchr("\"\\/", e) ? e : 0x7F; /* a control character */
            }
        }
        if (key && key_len + 1 < key_size)
            key[key_len++] = code < 0x80 ? (char)code : 0x7F;
    }
    if (key)
        key[key_len] = '\0';
    return 0;
}

static int scan_number(struct json_scan* s) {
    const char* t = s->text;
    if (t[s->pos] == '-')
        s->pos++;
    if (t[s->pos] == '0') {
        s->pos++;
    } else if (t[s->pos] >= '1' && t[s->pos] <= '9') {
        while (t[s->pos] >= '0' && t[s->pos] <= '9')
            s->pos++;
    } else {
        return scan_fail(s, "a number needs a digit here");
    }
    if (t[s->pos] == '.') {
        s->pos++;
        if (t[s->pos] < '0' || t[s->pos] > '9')
            return scan_fail(s, "a digit must follow the decimal point");
        while (t[s->pos] >= '0' && t[s->pos] <= '9')
            s->pos++;
    }
    if ((t[s->pos] | 0x20) == 'e') {
        s->pos++;
        if (t[s->pos] == '+' || t[s->pos] == '-')
            s->pos++;
        if (t[s->pos] < '0' || t[s->pos] > '9')
            return scan_fail(s, "an exponent needs a digit");
        while (t[s->pos] >= '0' && t[s->pos] <= '9')
            s->pos++;
    }
    return 0;
}

static int scan_value(struct json_scan* s, struct json_member* members);

/* Steps over the "{" or "[" at s->pos and the space after it: 1 when `close` follows at once (and
 * is stepped over too), else 0. */
static int scan_open(struct json_scan* s, char close) {
    s->pos++;
    scan_space(s);
    if (s->text[s->pos] != close)
        return 0;
    s->pos++;
    return 1;
}

/* After an item of an object or array: 1 at `close` (stepped over), 0 after a ",", -1 otherwise
 * with `error`. */
static int scan_next(struct json_scan* s, char close, const char* error) {
    scan_space(s);
    char c = s->text[s->pos];
    if (c != close && c != ',')
        return scan_fail(s, error);
    s->pos++;
    return c == close;
}

/* An object at s->pos (its "{"). With `members`, the first member of each known key is noted. */
static int scan_object(struct json_scan* s, struct json_member* members) {
    if (scan_open(s, '}'))
        return 0;
    for (;;) {
        scan_space(s);
        if (s->text[s->pos] != '"')
            return scan_fail(s, "a member name (a string) was expected");
        char key[16];
        size_t key_start = s->pos + 1;
        if (scan_string(s, NULL, key, sizeof key) != 0)
            return -1;
        int key_len = (int)(s->pos - 1 - key_start);
        scan_space(s);
        if (s->text[s->pos] != ':')
            return scan_fail(s, "':' was expected after the member name");
        s->pos++;
        scan_space(s);
        struct json_member* known = NULL;
        int key_index = -1;
        for (int i = 0; members && i < KEY_COUNT; i++) {
            if (strcmp(key, KNOWN_KEYS[i]) == 0) {
                key_index = i;
                known = members[i].value ? NULL : &members[i];
            }
        }
        char first = s->text[s->pos];
        if (s->warn && members && key_index < 0)
            fprintf(stderr, "%s: warning: --json member \"%.*s\" is not a tag; it is ignored\n",
                    PROGRAM, key_len, s->text + key_start);
        else if (s->warn && known && key_index <= KEY_YEAR && first != '"' && first != 'n')
            fprintf(stderr,
                    "%s: warning: --json member \"%s\" is ignored: its value must be a string "
                    "or null\n",
                    PROGRAM, key);
        else if (s->warn && known && key_index == KEY_COVER && first != 'n')
            fprintf(stderr,
                    "%s: warning: --json member \"cover\" is ignored: only null (remove the "
                    "cover) is understood\n",
                    PROGRAM);
        size_t start = s->pos;
        int has_nul = 0;
        int rc = first == '"' ? scan_string(s, &has_nul, NULL, 0) : scan_value(s, NULL);
        if (rc != 0)
            return -1;
        if (known) {
            known->value = s->text + start;
            known->len = s->pos - start;
            known->type = first == '"' ? 's' : first == 'n' ? 'n' : 'o';
            known->has_nul = has_nul;
        }
        int next = scan_next(s, '}', "',' or '}' was expected");
        if (next != 0)
            return next > 0 ? 0 : -1;
    }
}

static int scan_array(struct json_scan* s) {
    if (scan_open(s, ']'))
        return 0;
    for (;;) {
        scan_space(s);
        if (scan_value(s, NULL) != 0)
            return -1;
        int next = scan_next(s, ']', "',' or ']' was expected");
        if (next != 0)
            return next > 0 ? 0 : -1;
    }
}

static int scan_value(struct json_scan* s, struct json_member* members) {
    static const char* const WORDS[] = {"true", "false", "null"};
    char c = s->text[s->pos];
    if (c == '"')
        return scan_string(s, NULL, NULL, 0);
    if (c == '-' || (c >= '0' && c <= '9'))
        return scan_number(s);
    if (c == '{' || c == '[') {
        if (++s->depth > 512)
            return scan_fail(s, "nested too deeply");
        int rc = c == '{' ? scan_object(s, members) : scan_array(s);
        s->depth--;
        return rc;
    }
    for (size_t i = 0; i < sizeof WORDS / sizeof WORDS[0]; i++) {
        size_t n = strlen(WORDS[i]);
        if (strncmp(s->text + s->pos, WORDS[i], n) == 0) {
            s->pos += n;
            return 0;
        }
    }
    return scan_fail(s, c ? "a value was expected" : "the text ends where a value was expected");
}

/* Reads the tag object `text` as strict JSON and notes its known members (members[KEY_COUNT]).
 * Returns 0; or -1 with *error and *where (the byte offset of the fault) set; or 1 when the text is
 * JSON but not an object. */
static int scan_tag_object(const char* text, struct json_member* members, int warn,
                           const char** error, size_t* where) {
    struct json_scan s = {text, 0, NULL, 0, warn};
    memset(members, 0, sizeof(struct json_member) * KEY_COUNT);
    scan_space(&s);
    int is_object = text[s.pos] == '{';
    if (scan_value(&s, is_object ? members : NULL) == 0) {
        scan_space(&s);
        if (text[s.pos] != '\0')
            scan_fail(&s, "only one value may stand in the text");
    }
    *error = s.error;
    *where = s.pos;
    return s.error ? -1 : is_object ? 0 : 1;
}

/* ---- The property map: "properties":{"KEY":["value",...],...} ---- */

/* One key of a property map: its name upper-cased (escapes resolved; a character outside ASCII as
 * DEL) and its value as JSON text. */
struct property {
    char* key;            /* malloc'd */
    const char* key_text; /* the key as the JSON text writes it, without its quotes */
    size_t key_text_len;
    const char* value;
    size_t len;
    int strings_only; /* the value is an array of strings */
    int has_nul;      /* one of them holds \u0000 */
};

struct property_list {
    struct property* items;
    size_t count;
    size_t cap;
    int failed; /* an allocation failed */
};

static void properties_free(struct property_list* list) {
    for (size_t i = 0; i < list->count; i++)
        free(list->items[i].key);
    free(list->items);
    memset(list, 0, sizeof *list);
}

static void ascii_upper(char* text) {
    for (; *text; text++) {
        if (*text >= 'a' && *text <= 'z')
            *text = (char)(*text - 'a' + 'A');
    }
}

/* Adds a key (copied and upper-cased) with its value's JSON text. */
static struct property* properties_add(struct property_list* list, const char* key, size_t key_len,
                                       const char* value, size_t len) {
    if (list->failed)
        return NULL;
    if (list->count == list->cap) {
        size_t cap = list->cap ? list->cap * 2 : 16;
        struct property* grown =
            (struct property*)realloc(list->items, cap * sizeof(struct property));
        if (!grown) {
            list->failed = 1;
            return NULL;
        }
        list->items = grown;
        list->cap = cap;
    }
    char* copy = (char*)malloc(key_len + 1);
    if (!copy) {
        list->failed = 1;
        return NULL;
    }
    memcpy(copy, key, key_len);
    copy[key_len] = '\0';
    ascii_upper(copy);
    struct property* added = &list->items[list->count++];
    added->key = copy;
    added->key_text = key;
    added->key_text_len = key_len;
    added->value = value;
    added->len = len;
    added->strings_only = 1;
    added->has_nul = 0;
    return added;
}

/* The first property of `key` (upper case) in `list`, or NULL. */
static const struct property* properties_find(const struct property_list* list, const char* key) {
    for (size_t i = 0; i < list->count; i++) {
        if (strcmp(list->items[i].key, key) == 0)
            return &list->items[i];
    }
    return NULL;
}

/* Lists the members of the JSON object at `object` (its "{"; the text is known to be JSON), in
 * their order, noting whether each value is an array of strings. Returns 0, or -1 when memory ran
 * out. */
static int parse_properties(const char* object, struct property_list* out) {
    struct json_scan s = {object, 0, NULL, 0, 0};
    if (scan_open(&s, '}'))
        return 0;
    for (;;) {
        scan_space(&s);
        size_t key_start = s.pos + 1;
        size_t key_raw = 0;
        while (object[key_start + key_raw] != '"')
            key_raw += object[key_start + key_raw] == '\\' ? 2 : 1;
        char* key = (char*)malloc(key_raw + 1);
        if (!key)
            return -1;
        int key_nul = 0;
        scan_string(&s, &key_nul, key, key_raw + 1);
        if (key_nul)
            strcpy(key, "\x7F"); /* U+0000 in a key: no key holds it */
        scan_space(&s);
        s.pos++; /* the ':' */
        scan_space(&s);
        size_t start = s.pos;
        struct property* item = properties_add(out, key, strlen(key), object + start, 0);
        free(key);
        if (!item)
            return -1;
        item->key_text = object + key_start;
        item->key_text_len = key_raw;
        if (object[s.pos] == '[') {
            int empty = scan_open(&s, ']');
            while (!empty) {
                scan_space(&s);
                if (object[s.pos] == '"')
                    scan_string(&s, &item->has_nul, NULL, 0);
                else {
                    item->strings_only = 0;
                    scan_value(&s, NULL);
                }
                if (scan_next(&s, ']', "") != 0)
                    break;
            }
        } else {
            item->strings_only = 0;
            scan_value(&s, NULL);
        }
        item->len = s.pos - start;
        if (scan_next(&s, '}', "") != 0)
            return 0;
    }
}

/* Why `key` cannot name a property, as the library says it, or NULL. */
static const char* property_key_fault(const char* key) {
    static const char* const PICTURE_KEYS[] = {"METADATA_BLOCK_PICTURE", "COVERART",
                                               "COVERARTMIME"};
    if (!*key)
        return "invalid property key";
    for (const unsigned char* p = (const unsigned char*)key; *p; p++) {
        if (*p < 0x20 || *p == 0x7F || *p == '=')
            return "invalid property key";
    }
    char upper[32];
    snprintf(upper, sizeof upper, "%s", key);
    ascii_upper(upper);
    for (size_t i = 0; i < sizeof PICTURE_KEYS / sizeof PICTURE_KEYS[0]; i++) {
        if (strcmp(upper, PICTURE_KEYS[i]) == 0)
            return "pictures are not properties";
    }
    return NULL;
}

/* Checks the "properties" member at `value` (known to be JSON): what the library would refuse
 * whatever the file. Returns NULL, or the fault written into `message`. */
static const char* property_map_fault(const char* value, char* message, size_t size) {
    if (*value == 'n')
        return NULL; /* null: no change */
    if (*value != '{')
        return "properties must be an object";
    struct property_list list = {0};
    int rc = parse_properties(value, &list);
    const char* fault = rc != 0 || list.failed ? "out of memory" : NULL;
    for (size_t i = 0; i < list.count && !fault; i++) {
        const struct property* item = &list.items[i];
        const char* why = property_key_fault(item->key);
        if (!why && properties_find(&list, item->key) != item)
            why = "property named twice";
        if (!why && !item->strings_only)
            why = "property values must be a list of strings";
        if (!why && item->has_nul)
            why = "NUL character in tag value";
        if (why) {
            snprintf(message, size, "%s: %.*s", why, (int)item->key_text_len, item->key_text);
            fault = message;
        }
    }
    properties_free(&list);
    return fault;
}

/* Checks the tag object of "write" and "batch" once, before any file: a text that is not one JSON
 * object, or a tag holding U+0000, is a usage error. Members the library ignores are warned
 * about. Returns EXIT_OK or the exit status of a reported error. */
static int check_tag_object(const char* command, const char* text, struct json_member* members) {
    char message[512];
    const char* error;
    size_t where;
    int rc = scan_tag_object(text, members, 0, &error, &where);
    if (rc < 0) {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < where; i++) {
            column = text[i] == '\n' ? 1 : column + 1;
            line += text[i] == '\n';
        }
        snprintf(message, sizeof message,
                 "%s: --json is not valid JSON at byte %lu (line %lu, column %lu): %s", command,
                 (unsigned long)where, (unsigned long)line, (unsigned long)column, error);
        return usage_error(command, message);
    }
    if (rc > 0) {
        snprintf(message, sizeof message, "%s: --json must be a JSON object", command);
        return usage_error(command, message);
    }
    int date_decides = members[TAG_DATE].type == 's' || members[TAG_DATE].type == 'n';
    for (int i = 0; i <= KEY_YEAR; i++) {
        if (members[i].has_nul && !(i == KEY_YEAR && date_decides)) {
            snprintf(message, sizeof message, "%s: --json: the value of \"%s\" holds U+0000",
                     command, KNOWN_KEYS[i]);
            return usage_error(command, message);
        }
    }
    if (members[KEY_PROPERTIES].value) {
        char fault[256];
        const char* why = property_map_fault(members[KEY_PROPERTIES].value, fault, sizeof fault);
        if (why) {
            snprintf(message, sizeof message, "%s: --json: %s", command, why);
            return usage_error(command, message);
        }
    }
    /* Once the text is known to be good, a second pass tells of the members that do nothing. */
    scan_tag_object(text, members, 1, &error, &where);
    return EXIT_OK;
}

/* What the command line of "write" and "batch" holds: files and the tags to write. */
struct write_args {
    const char** files; /* malloc'd; points into argv */
    size_t file_count;
    const char* json;
    const char* values[TAG_COUNT];
    int removes[TAG_COUNT]; /* --remove FIELD */
    /* --set KEY=VALUE and --remove KEY, in their order: the argument after the option ("KEY=VALUE"
     * or "KEY") and whether it is a removal. Both arrays are malloc'd and point into value_argv. */
    const char** property_args;
    int* property_removes;
    size_t property_count;
    int help;
    int recursive; /* -r: folders stand for the audio files under them */
    int dry_run;   /* write --dry-run: print what would be stored, change nothing */
};

static void write_args_free(struct write_args* args) {
    free(args->files);
    free(args->property_args);
    free(args->property_removes);
}

/* The property key each tag option stands for. */
static const char* const TAG_PROPERTY_KEYS[TAG_COUNT] = {"TITLE", "ARTIST", "ALBUM",
                                                         "GENRE", "DATE",   "TRACKNUMBER"};

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
    size_t slots = (size_t)(argc > 0 ? argc : 1);
    args->files = (const char**)malloc(sizeof(const char*) * slots);
    args->property_args = (const char**)malloc(sizeof(const char*) * slots);
    args->property_removes = (int*)malloc(sizeof(int) * slots);
    if (!args->files || !args->property_args || !args->property_removes)
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
        int is_remove = name_len == 6 && memcmp(name, "remove", 6) == 0;
        int is_set = name_len == 3 && memcmp(name, "set", 3) == 0;
        if (arg[1] != '-' || (tag < 0 && !is_json && !is_remove && !is_set)) {
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
        int field = is_remove ? tag_option_index(value, strlen(value)) : -1;
        if (field >= 0) {
            args->removes[field] = 1;
            continue;
        }
        if (is_remove && strcmp(value, "cover") == 0) {
            snprintf(message, sizeof message,
                     "%s: --remove takes title, artist, album, genre, date, track or a property "
                     "KEY; the cover goes with 'cover remove'",
                     command);
            return usage_error(command, message);
        }
        if (is_remove || is_set) {
            args->property_args[args->property_count] = value;
            args->property_removes[args->property_count++] = is_remove;
            continue;
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

/* The keys of --set and --remove, upper-cased, each once in the order of its first option, into
 * `keys` (each item's value: the argument of that first option). Checks each key and that no key
 * is both set and removed. Returns EXIT_OK or the exit status of a reported error. */
static int collect_property_keys(const char* command, const struct write_args* args,
                                 struct property_list* keys) {
    char message[512];
    for (size_t i = 0; i < args->property_count; i++) {
        const char* arg = args->property_args[i];
        int removal = args->property_removes[i];
        const char* equals = strchr(arg, '=');
        if (!removal && !equals) {
            snprintf(message, sizeof message, "%s: --set takes KEY=VALUE", command);
            return usage_error(command, message);
        }
        size_t key_len = removal ? strlen(arg) : (size_t)(equals - arg);
        struct property_list one = {0};
        properties_add(&one, arg, key_len, arg, 0);
        if (one.failed)
            return out_of_memory();
        const char* fault = property_key_fault(one.items[0].key);
        const struct property* seen = properties_find(keys, one.items[0].key);
        if (fault) {
            snprintf(message, sizeof message, "%s: %s: %.*s", command, fault, (int)key_len, arg);
        } else if (!removal && !is_valid_utf8(equals + 1)) {
            snprintf(message, sizeof message, "--set %.*s: the value is not valid UTF-8",
                     (int)key_len, arg);
            fault = message;
        } else if (seen && args->property_removes[seen->len] != removal) {
            snprintf(message, sizeof message, "%s: --set %s cannot be combined with --remove %s",
                     command, seen->key, seen->key);
            fault = message;
        } else if (!seen) {
            properties_add(keys, arg, key_len, arg, i); /* len: the index of its first option */
        }
        properties_free(&one);
        if (fault)
            return usage_error(command, message);
    }
    return keys->failed ? out_of_memory() : EXIT_OK;
}

/* Appends "properties":{"KEY":["value",...],...} for the keys of --set and --remove. */
static void append_property_options(struct text_buf* json, const struct write_args* args,
                                    const struct property_list* keys) {
    buf_append_str(json, "\"properties\":{");
    for (size_t k = 0; k < keys->count; k++) {
        const struct property* key = &keys->items[k];
        buf_append_str(json, k ? "," : "");
        buf_append_json_string(json, key->key);
        buf_append_str(json, ":[");
        int values = 0;
        for (size_t i = key->len; i < args->property_count; i++) {
            const char* arg = args->property_args[i];
            if (args->property_removes[i])
                continue;
            const char* equals = strchr(arg, '=');
            struct property_list one = {0};
            properties_add(&one, arg, (size_t)(equals - arg), arg, 0);
            if (one.failed)
                json->failed = 1;
            else if (strcmp(one.items[0].key, key->key) == 0) {
                buf_append_str(json, values++ ? "," : "");
                buf_append_json_string(json, equals + 1);
            }
            properties_free(&one);
        }
        buf_append_str(json, "]");
    }
    buf_append_str(json, "}");
}

/* build_tags_json once the property keys are known and checked. */
static int build_tags_object(const char* command, const struct write_args* args,
                             const struct property_list* keys, struct text_buf* json) {
    char message[256];
    int tag_options = keys->count > 0;
    for (int i = 0; i < TAG_COUNT; i++) {
        tag_options += args->values[i] != NULL || args->removes[i];
        if (args->values[i] && args->removes[i]) {
            snprintf(message, sizeof message, "%s: --%s cannot be combined with --remove %s",
                     command, TAG_KEYS[i], TAG_KEYS[i]);
            return usage_error(command, message);
        }
    }
    if (args->json && tag_options)
        return usage_error(command, "--json cannot be combined with --title, --artist, --album, "
                                    "--genre, --date, --track, --set or --remove");
    if (args->json) {
        buf_append_str(json, args->json);
        return json->failed ? out_of_memory() : EXIT_OK;
    }
    if (!tag_options)
        return usage_error(command, "no tags given: use --json or --title, --artist, --album, "
                                    "--genre, --date, --track, --set, --remove");
    buf_append(json, "{", 1);
    int members = 0;
    for (int i = 0; i < TAG_COUNT; i++) {
        if (args->removes[i]) {
            buf_append_str(json, members++ ? "," : "");
            buf_append_json_string(json, TAG_KEYS[i]);
            buf_append_str(json, ":null");
        }
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
    if (keys->count) {
        buf_append_str(json, members++ ? "," : "");
        append_property_options(json, args, keys);
    }
    buf_append(json, "}", 1);
    return json->failed ? out_of_memory() : EXIT_OK;
}

/* Makes the tag JSON object of the parsed options into `json` (empty on entry). Returns EXIT_OK or
 * the exit status of a reported error. */
static int build_tags_json(const char* command, const struct write_args* args,
                           struct text_buf* json) {
    char message[256];
    struct property_list keys = {0};
    int status = collect_property_keys(command, args, &keys);
    for (int i = 0; i < TAG_COUNT && status == EXIT_OK; i++) {
        if ((args->values[i] || args->removes[i]) && properties_find(&keys, TAG_PROPERTY_KEYS[i])) {
            snprintf(message, sizeof message,
                     "%s: %s%s cannot be combined with --set or --remove of %s", command,
                     args->values[i] ? "--" : "--remove ", TAG_KEYS[i], TAG_PROPERTY_KEYS[i]);
            status = usage_error(command, message);
        }
    }
    if (status == EXIT_OK)
        status = build_tags_object(command, args, &keys, json);
    properties_free(&keys);
    return status;
}

/* The command line of "write" and "batch": prints the help, or checks that files were given and
 * makes the tag JSON object. Returns EXIT_OK when the command should go on (`args->help` 0) or is
 * done (`args->help` 1), else the exit status of a reported error. The caller frees `args->files`
 * and `json->data` in every case. */
static int parse_write_command(const char* command, const char* help, int argc, char** argv,
                               char** value_argv, struct write_args* args, struct text_buf* json,
                               struct json_member* members) {
    int parsed = parse_write_args(command, argc, argv, value_argv, 2, args);
    if (parsed != EXIT_OK)
        return parsed;
    if (args->help) {
        fputs(help, stdout);
        return EXIT_OK;
    }
    if (args->file_count == 0) {
        char message[64];
        snprintf(message, sizeof message, "%s: no FILE given", command);
        return usage_error(command, message);
    }
    int status = build_tags_json(command, args, json);
    return status == EXIT_OK ? check_tag_object(command, json->data, members) : status;
}

static int cmd_read(int argc, char** argv) {
    const char** files = (const char**)malloc(sizeof(const char*) * (size_t)argc);
    if (!files)
        return out_of_memory();
    size_t file_count = 0;
    int only_files = 0;
    int recursive = 0;
    int all = 0;
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
        } else if (!only_files && strcmp(arg, "--all") == 0) {
            all = 1;
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
        char* json = all ? id3_read_all(paths.items[i]) : id3_read(paths.items[i]);
        if (print_result(&progress, paths.items[i], json, NULL, as_list) != EXIT_OK)
            status = EXIT_FAILED;
        if (json)
            warn_if_truncated(paths.items[i]);
        id3_free_string(json);
    }
    progress_clear(&progress);
    paths_free(&paths);
    return status;
}

/* Why a write would be refused for want of a place to write its temporary file beside `path`, or
 * NULL. */
static const char* unwritable_folder(const char* path) {
#ifdef _WIN32
    (void)path;
    return NULL;
#else
    struct text_buf dir = {0};
    const char* slash = strrchr(path, '/');
    if (slash)
        buf_append(&dir, path, slash == path ? 1 : (size_t)(slash - path));
    else
        buf_append_str(&dir, ".");
    int ok = dir.failed || access(dir.data, W_OK | X_OK) == 0;
    int reason = errno;
    free(dir.data);
    if (ok)
        return NULL;
    static char message[256];
    snprintf(message, sizeof message, "cannot create temp: %s", strerror(reason));
    return message;
#endif
}

/* Appends the JSON text of one member's value, or `otherwise` when it is absent. */
static void append_value(struct text_buf* out, const struct json_member* m, const char* otherwise) {
    if (m->value)
        buf_append(out, m->value, m->len);
    else
        buf_append_str(out, otherwise);
}

/* What a write of the tag object (its members `update`) would leave in `path`, told without
 * writing anything: the file is read, the object is laid over what the read gives as the library
 * lays it over the file's tags, and a file that a write would refuse gets the write's message.
 * Prints the result as "read" does. */
static int dry_run_one(struct progress* progress, const char* path,
                       const struct json_member* update, int as_list) {
    char* current = id3_read(path); /* the file's own messages come first */
    if (!current)
        return print_result(progress, path, NULL, NULL, as_list);
    struct json_member had[KEY_COUNT];
    const char* error;
    size_t where;
    scan_tag_object(current, had, 0, &error, &where);
    const char* refusal = unwritable_folder(path);
    if (refusal) {
        id3_free_string(current);
        return print_result(progress, path, NULL, refusal, as_list);
    }
    struct text_buf out = {0};
    buf_append(&out, "{", 1);
    for (int i = 0; i < TAG_COUNT; i++) {
        const struct json_member* given = &update[i];
        if (i == TAG_DATE && given->type != 's' && given->type != 'n')
            given = &update[KEY_YEAR];
        buf_append_str(&out, i ? ",\"" : "\"");
        buf_append_str(&out, TAG_KEYS[i]);
        buf_append_str(&out, "\":");
        if (given->type == 's')
            append_value(&out, given, "\"\"");
        else if (given->type == 'n')
            buf_append_str(&out, "\"\"");
        else
            append_value(&out, &had[i], "\"\"");
    }
    int cover_removed = update[KEY_COVER].type == 'n';
    buf_append_str(&out, ",\"format\":");
    append_value(&out, &had[KEY_FORMAT], "\"unknown\"");
    buf_append_str(&out, ",\"has_cover\":");
    if (cover_removed)
        buf_append_str(&out, "false");
    else
        append_value(&out, &had[KEY_HAS_COVER], "false");
    if (!cover_removed && had[KEY_COVER_MIME].value) {
        buf_append_str(&out, ",\"cover_mime\":");
        append_value(&out, &had[KEY_COVER_MIME], "\"\"");
    }
    buf_append(&out, "}", 1);
    id3_free_string(current);
    if (out.failed) {
        free(out.data);
        return out_of_memory();
    }
    int status = print_result(progress, path, out.data, NULL, as_list);
    free(out.data);
    return status;
}

/* 1 when the JSON array `value` holds an item. */
static int has_items(const char* value) {
    struct json_scan s = {value, 0, NULL, 0, 0};
    return *value == '[' && !scan_open(&s, ']');
}

/* Appends "KEY":value, after a comma unless it is the first member (`*count` 0). */
static void append_property(struct text_buf* out, int* count, const char* key, const char* value,
                            size_t len) {
    buf_append_str(out, (*count)++ ? "," : "");
    buf_append_json_string(out, key);
    buf_append(out, ":", 1);
    buf_append(out, value, len);
}

/* Appends the property map a write of `update` would leave over the map `had` of the file: first
 * the keys the update names (the six tags as their keys, then "properties", whose value decides
 * for a key named in both), each with the values given; then the file's other keys as they are.
 * An empty list or a null tag removes its key. */
static void append_changed_properties(struct text_buf* out, const struct json_member* update,
                                      const struct property_list* given,
                                      const struct property_list* had) {
    int count = 0;
    int named[TAG_COUNT] = {0};
    buf_append(out, "{", 1);
    for (int i = 0; i < TAG_COUNT; i++) {
        const struct json_member* tag = &update[i];
        if (i == TAG_DATE && tag->type != 's' && tag->type != 'n')
            tag = &update[KEY_YEAR];
        named[i] = tag->type == 's' || tag->type == 'n';
        if (tag->type != 's' || properties_find(given, TAG_PROPERTY_KEYS[i]))
            continue;
        buf_append_str(out, count++ ? "," : "");
        buf_append_json_string(out, TAG_PROPERTY_KEYS[i]);
        buf_append_str(out, ":[");
        buf_append(out, tag->value, tag->len);
        buf_append_str(out, "]");
    }
    for (size_t i = 0; i < given->count; i++) {
        const struct property* item = &given->items[i];
        if (has_items(item->value))
            append_property(out, &count, item->key, item->value, item->len);
    }
    for (size_t i = 0; i < had->count; i++) {
        const struct property* item = &had->items[i];
        int replaced = properties_find(given, item->key) != NULL;
        for (int t = 0; t < TAG_COUNT && !replaced; t++)
            replaced = named[t] && strcmp(item->key, TAG_PROPERTY_KEYS[t]) == 0;
        if (!replaced)
            append_property(out, &count, item->key, item->value, item->len);
    }
    buf_append(out, "}", 1);
}

/* Appends the pictures array `pictures` of id3_read_all, without the front covers (type 3) when
 * `drop_covers`. */
static void append_pictures(struct text_buf* out, const char* pictures, int drop_covers) {
    static const char FRONT_COVER[] = "{\"type\":3,";
    struct json_scan s = {pictures, 0, NULL, 0, 0};
    int count = 0;
    buf_append(out, "[", 1);
    int empty = scan_open(&s, ']');
    while (!empty) {
        scan_space(&s);
        size_t start = s.pos;
        scan_value(&s, NULL);
        if (!drop_covers || strncmp(pictures + start, FRONT_COVER, sizeof FRONT_COVER - 1) != 0) {
            buf_append_str(out, count++ ? "," : "");
            buf_append(out, pictures + start, s.pos - start);
        }
        if (scan_next(&s, ']', "") != 0)
            break;
    }
    buf_append(out, "]", 1);
}

/* The dry run of a write that names properties: as dry_run_one, but it prints id3_read_all's
 * object, the properties and pictures the write would leave. The values are shown as given; how a
 * container stores them (an MP4 number, an ID3 genre number read as its name) and what it refuses
 * only for its format (a second DISCNUMBER in MP4) is told by the write itself. */
static int dry_run_all_one(struct progress* progress, const char* path,
                           const struct json_member* update, int as_list) {
    char* current = id3_read_all(path);
    if (!current)
        return print_result(progress, path, NULL, NULL, as_list);
    const char* refusal = unwritable_folder(path);
    if (refusal) {
        id3_free_string(current);
        return print_result(progress, path, NULL, refusal, as_list);
    }
    struct json_member had[KEY_COUNT];
    const char* error;
    size_t where;
    scan_tag_object(current, had, 0, &error, &where);
    struct property_list had_map = {0}, given = {0};
    struct text_buf out = {0};
    if (parse_properties(had[KEY_PROPERTIES].value ? had[KEY_PROPERTIES].value : "{}", &had_map) !=
            0 ||
        parse_properties(update[KEY_PROPERTIES].value, &given) != 0)
        out.failed = 1;
    buf_append_str(&out, "{\"format\":");
    append_value(&out, &had[KEY_FORMAT], "\"unknown\"");
    buf_append_str(&out, ",\"properties\":");
    append_changed_properties(&out, update, &given, &had_map);
    buf_append_str(&out, ",\"pictures\":");
    append_pictures(&out, had[KEY_PICTURES].value ? had[KEY_PICTURES].value : "[]",
                    update[KEY_COVER].type == 'n');
    buf_append(&out, "}", 1);
    properties_free(&had_map);
    properties_free(&given);
    id3_free_string(current);
    int status =
        out.failed ? out_of_memory() : print_result(progress, path, out.data, NULL, as_list);
    free(out.data);
    return status;
}

static int cmd_write(int argc, char** argv, char** value_argv) {
    struct write_args args;
    struct text_buf json = {0};
    struct json_member members[KEY_COUNT];
    int status =
        parse_write_command("write", WRITE_HELP, argc, argv, value_argv, &args, &json, members);
    struct path_list paths = {0};
    if (status == EXIT_OK && !args.help)
        status = collect_paths(args.files, args.file_count, args.recursive, &paths);
    int as_list = paths.count != 1 || paths.from_walk;
    struct progress progress;
    progress_begin(&progress, paths.count);
    /* A failure is reported and the remaining files are still written. */
    for (size_t i = 0; i < paths.count && !paths.failed; i++) {
        progress_show(&progress, i);
        if (args.dry_run && members[KEY_PROPERTIES].type == 'o') {
            if (dry_run_all_one(&progress, paths.items[i], members, as_list) != EXIT_OK)
                status = EXIT_FAILED;
        } else if (args.dry_run) {
            if (dry_run_one(&progress, paths.items[i], members, as_list) != EXIT_OK)
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
    write_args_free(&args);
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

static int cmd_cover(int argc, char** argv) {
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

static int cmd_batch(int argc, char** argv, char** value_argv) {
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
