/* The command line of "write" and "batch" and the tag object made from it, checked before any
 * file is touched: the tag options, --set and --remove of properties, and --json. */
#include "cli.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The text tags the options can set, in the order they appear in the JSON object. */
const char* const TAG_KEYS[TAG_COUNT] = {"title", "artist", "album", "genre", "date", "track"};

/* ---- The property map: "properties":{"KEY":["value",...],...} ---- */

void properties_free(struct property_list* list) {
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
struct property* properties_add(struct property_list* list, const char* key, size_t key_len,
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
const struct property* properties_find(const struct property_list* list, const char* key) {
    for (size_t i = 0; i < list->count; i++) {
        if (strcmp(list->items[i].key, key) == 0)
            return &list->items[i];
    }
    return NULL;
}

/* Lists the members of the JSON object at `object` (its "{"; the text is known to be JSON), in
 * their order, noting whether each value is an array of strings. Returns 0, or -1 when memory ran
 * out. */
int parse_properties(const char* object, struct property_list* out) {
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

void write_args_free(struct write_args* args) {
    free(args->files);
    free(args->property_args);
    free(args->property_removes);
    free(args->property_custom);
    free(args->json_read.data);
}

const char* const TAG_PROPERTY_KEYS[TAG_COUNT] = {"TITLE", "ARTIST", "ALBUM",
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
    args->property_custom = (int*)malloc(sizeof(int) * slots);
    if (!args->files || !args->property_args || !args->property_removes || !args->property_custom)
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
        int is_custom = name_len == 10 && memcmp(name, "set-custom", 10) == 0;
        int is_set = is_custom || (name_len == 3 && memcmp(name, "set", 3) == 0);
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
            args->property_custom[args->property_count] = is_custom;
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
        /* --json - reads the object from standard input, --json @FILE from FILE */
        if (is_json && (strcmp(value, "-") == 0 || value[0] == '@')) {
            const char* narrow = equals ? strchr(argv[i], '=') + 1 : argv[i]; /* a path */
            if (read_text_file(value[0] == '@' ? narrow + 1 : "-", &args->json_read) != 0)
                return EXIT_USAGE;
            *slot = args->json_read.data;
        }
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
int parse_write_command(const char* command, const char* help, int argc, char** argv,
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
