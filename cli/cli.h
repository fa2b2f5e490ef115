/*
 * quorvale-tag, the command-line client: what each of its sources gives the others. The program
 * uses nothing of the library but its public header. Exit status: 0 success, 1 a file operation
 * failed, 2 the command line was wrong.
 */
#ifndef QUORVALE_TAG_CLI_H
#define QUORVALE_TAG_CLI_H

#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* lstat, fileno, mkstemp */
#endif

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#define PROGRAM "quorvale-tag"

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

/* ---- main.c: the command dispatch, and the reports every command shares ---- */

/* The library's last message, or "unknown error" when it left none. */
const char* library_error(void);
/* Reports a wrong command line (with a pointer to the help of `command`, NULL for the program's):
 * EXIT_USAGE. */
int usage_error(const char* command, const char* message);
/* Reports that memory ran out: EXIT_FAILED. */
int out_of_memory(void);
int is_help_option(const char* arg);
int is_recursive_option(const char* arg);

/* The command line of a command that takes FILE operands, -r and the flags named in `flags` (a
 * NULL-ended list; flag_set[i] becomes 1 when flags[i] is given): the operands into `files`
 * (malloc'd, pointing into argv). Prints the help and sets *help_shown for --help. Returns EXIT_OK,
 * or the status of a reported error (`files` is then freed). */
struct file_command {
    const char** files;
    size_t count;
    int recursive;
    int help_shown;
};
int parse_file_command(const char* command, const char* help, int argc, char** argv,
                       const char* const* flags, int* flag_set, struct file_command* out);

/* ---- help.c: the help texts, and the "help" command ---- */

extern const char MAIN_HELP[];
extern const char READ_HELP[];
extern const char WRITE_HELP[];
extern const char COVER_HELP[];
extern const char BATCH_HELP[];
extern const char GET_HELP[];
extern const char KEYS_HELP[];
extern const char STRIP_HELP[];
extern const char COPY_HELP[];
extern const char EXPORT_HELP[];
extern const char IMPORT_HELP[];
extern const char RENAME_HELP[];
extern const char TOTAG_HELP[];
int cmd_help(int argc, char** argv);

/* ---- json.c: the text buffer, JSON strings, and the scanner of the tag object ---- */

/* A growing text in one malloc'd block; `failed` is set when an allocation fails. */
struct text_buf {
    char* data;
    size_t len;
    size_t cap;
    int failed;
};

void buf_append(struct text_buf* buf, const char* bytes, size_t n);
void buf_append_str(struct text_buf* buf, const char* text);
/* 1 when `text` is well-formed UTF-8. */
int is_valid_utf8(const char* text);
/* `text` as a JSON string; with `raw`, bytes that are not UTF-8 are copied as they are, else they
 * become \udcXX. */
void buf_append_json_bytes(struct text_buf* buf, const char* text, int raw);
void buf_append_json_string(struct text_buf* buf, const char* text);

/* The text tags the options can set, in the order they appear in the JSON object. */
#define TAG_COUNT 6

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
extern const char* const KNOWN_KEYS[KEY_COUNT];

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

/* The steps of the scanner over the text at s->pos; each returns 0, or -1 with s->error set. */
void scan_space(struct json_scan* s);
int scan_string(struct json_scan* s, int* has_nul, char* key, size_t key_size);
/* The string's text with its escapes resolved, appended to `out` (\uXXXX as UTF-8; other bytes as
 * they stand). */
int scan_string_text(struct json_scan* s, struct text_buf* out);
int scan_value(struct json_scan* s, struct json_member* members);
int scan_open(struct json_scan* s, char close);
int scan_next(struct json_scan* s, char close, const char* error);
/* Reads the tag object `text` and notes its known members (members[KEY_COUNT]): 0; -1 with *error
 * and *where at a fault; 1 when the text is JSON but not an object. */
int scan_tag_object(const char* text, struct json_member* members, int warn, const char** error,
                    size_t* where);

/* ---- paths.c: the FILE operands, with folders walked under -r ---- */

/* Paths in malloc'd copies, in the order they are worked on. */
struct path_list {
    char** items;
    size_t count;
    size_t cap;
    int failed;    /* an allocation failed */
    int from_walk; /* some paths were found inside a folder */
};

void paths_free(struct path_list* list);
/* The paths to work on, folders walked when `recursive`: EXIT_OK, or EXIT_FAILED (reported). */
int collect_paths(const char* const* operands, size_t count, int recursive, struct path_list* out);

/* ---- read.c: the progress line, the result of one file, and the "read" command ---- */

/* A "file N of M" line on standard error (with files per second once a second has passed),
 * shown only when that is a terminal and there is more than one file; it is cleared before
 * anything else is printed. */
struct progress {
    int shown;
    int enabled;
    size_t total;
    time_t started; /* for the rate, files per second */
};

void progress_begin(struct progress* progress, size_t total);
void progress_clear(struct progress* progress);
void progress_show(struct progress* progress, size_t done);
/* Prints one file's object (or its failure, with `error` or the library's message): EXIT_OK, or
 * EXIT_FAILED when `json` is NULL. */
int print_result(struct progress* progress, const char* path, const char* json, const char* error,
                 int as_list);
int cmd_read(int argc, char** argv);

/* ---- tags.c: the command line of "write" and "batch", and the tag object made from it ---- */

extern const char* const TAG_KEYS[TAG_COUNT];
/* The property key each tag option stands for. */
extern const char* const TAG_PROPERTY_KEYS[TAG_COUNT];

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

void properties_free(struct property_list* list);
/* Adds a key (copied and upper-cased) with its value's JSON text: the item, or NULL when memory
 * ran out. */
struct property* properties_add(struct property_list* list, const char* key, size_t key_len,
                                const char* value, size_t len);
const struct property* properties_find(const struct property_list* list, const char* key);
/* The members of the JSON object at `object`, in order: 0, or -1 when memory ran out. */
int parse_properties(const char* object, struct property_list* out);

/* What the command line of "write" and "batch" holds: files and the tags to write. */
struct write_args {
    const char** files; /* malloc'd; points into argv */
    size_t file_count;
    const char* json;
    struct text_buf json_read; /* the text of --json - or --json @FILE */
    const char* values[TAG_COUNT];
    int removes[TAG_COUNT]; /* --remove FIELD */
    /* --set KEY=VALUE and --remove KEY, in their order: the argument after the option ("KEY=VALUE"
     * or "KEY") and whether it is a removal. Both arrays are malloc'd and point into value_argv. */
    const char** property_args;
    int* property_removes;
    int* property_custom; /* --set-custom: the key is meant as it is, known or not */
    size_t property_count;
    int help;
    int recursive; /* -r: folders stand for the audio files under them */
    int dry_run;   /* write --dry-run: print what would be stored, change nothing */
};

void write_args_free(struct write_args* args);
/* Parses the command line of "write" or "batch", prints its help or makes and checks the tag
 * object: EXIT_OK (the command goes on unless `args->help`), or the status of a reported error. */
int parse_write_command(const char* command, const char* help, int argc, char** argv,
                        char** value_argv, struct write_args* args, struct text_buf* json,
                        struct json_member* members);

/* ---- keys.c: property keys checked against the table and the files ---- */

/* 1 when the upper-case `key` is a key of the property table (a "KEY:D" key by its KEY). */
int is_table_key(const char* key);
/* Refuses a key of --set or --remove that is neither in the property table nor held by one of
 * `paths` (unless given by --set-custom), naming the nearest table keys: EXIT_OK, or the status
 * of the reported error. */
int check_property_keys(const char* command, const struct write_args* args,
                        const struct path_list* paths);

/* ---- write.c, cover.c, batch.c: the commands that change files ---- */

int cmd_write(int argc, char** argv, char** value_argv);
int cmd_cover(int argc, char** argv);
/* cover.c: creates an empty temporary file and returns its malloc'd name, or NULL (reported). */
char* make_temp_file(void);
int cmd_batch(int argc, char** argv, char** value_argv);
int cmd_strip(int argc, char** argv);
int cmd_copy(int argc, char** argv);

/* ---- exchange.c: "export", "import", and texts read from a file or standard input ---- */

/* The whole text of the file `name` ("-": standard input) into `out`, NUL-ended: 0, or -1
 * (reported). */
int read_text_file(const char* name, struct text_buf* out);
int cmd_export(int argc, char** argv);
int cmd_import(int argc, char** argv);

/* ---- names.c: "rename" (names from tags) and "totag" (tags from names) ---- */

int cmd_rename(int argc, char** argv);
int cmd_totag(int argc, char** argv);

/* ---- show.c: "get", "keys" and the readable listing ---- */

int stdout_is_terminal(void);
/* The members of an id3_read_all object and its property map: 0, or -1 (the map is then to be
 * freed all the same). */
int read_property_map(const char* all_json, struct json_member* members, struct property_list* map);
/* 1 when the pictures of an id3_read_all object hold a front cover (type 3). */
int holds_front_cover(const struct json_member* members);
/* The values of one property (its value a JSON array of strings), each ended by a NUL, appended
 * to `out`: 0, or -1. */
int property_values(const struct property* item, struct text_buf* out);
/* Prints the id3_read_all object of `path` as aligned "KEY  value" lines, headed by the path
 * when `with_path`: EXIT_OK, or EXIT_FAILED when memory ran out. */
int print_listing(const char* path, const char* all_json, int with_path);
int cmd_get(int argc, char** argv);
int cmd_keys(int argc, char** argv);

/* ---- tally.c: progress and the summary of a job over many files ---- */

struct job_tally {
    size_t total, written, unchanged, failed;
    int terminal; /* standard error is a terminal */
    int shown;    /* a progress line stands on it */
    time_t started;
    struct text_buf failures; /* "PATH: reason" texts, each ended by a NUL */
};

void tally_begin(struct job_tally* tally, size_t total);
void tally_clear(struct job_tally* tally);
/* Shows "N of M files done, R files/s" on a terminal. */
void tally_show(struct job_tally* tally, size_t done);
/* Reports a failed file at once on standard error, and keeps it for the summary. */
void tally_failed(struct job_tally* tally, const char* path, const char* reason);
void tally_unchanged(struct job_tally* tally, const char* path);
/* Prints the summary of a job over several files (on a terminal, or when a file failed):
 * EXIT_FAILED when a file failed. */
int tally_end(struct job_tally* tally);

#endif /* QUORVALE_TAG_CLI_H */
