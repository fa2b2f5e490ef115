/* The text buffer, JSON strings made from command-line texts, and the strict scanner of the tag
 * object (which also reads the library's JSON back). */
#include "cli.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void buf_append(struct text_buf* buf, const char* bytes, size_t n) {
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

void buf_append_str(struct text_buf* buf, const char* text) {
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
int is_valid_utf8(const char* text) {
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
void buf_append_json_bytes(struct text_buf* buf, const char* text, int raw) {
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

void buf_append_json_string(struct text_buf* buf, const char* text) {
    buf_append_json_bytes(buf, text, 0);
}

const char* const KNOWN_KEYS[KEY_COUNT] = {
    "title", "artist", "album",     "genre",      "date",       "track",   "year",
    "cover", "format", "has_cover", "cover_mime", "properties", "pictures"};

static int scan_fail(struct json_scan* s, const char* error) {
    if (!s->error)
        s->error = error;
    return -1;
}

void scan_space(struct json_scan* s) {
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
int scan_string(struct json_scan* s, int* has_nul, char* key, size_t key_size) {
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

/* The value of the four hex digits at `p`, known to be there. */
static unsigned long hex4_at(const char* p) {
    unsigned long code = 0;
    for (int i = 0; i < 4; i++)
        code = code * 16 + (unsigned long)hex_value(p[i]);
    return code;
}

int scan_string_text(struct json_scan* s, struct text_buf* out) {
    static const char ESCAPES[] = "\"\\/bfnrt";
    static const char MEANINGS[] = "\"\\/\b\f\n\r\t";
    size_t start = s->pos;
    if (scan_string(s, NULL, NULL, 0) != 0)
        return -1;
    size_t end = s->pos - 1; /* the closing quote */
    for (size_t i = start + 1; i < end; i++) {
        char c = s->text[i];
        if (c != '\\') {
            buf_append(out, &c, 1);
            continue;
        }
        char e = s->text[++i];
        if (e != 'u') {
            buf_append(out, &MEANINGS[strchr(ESCAPES, e) - ESCAPES], 1);
            continue;
        }
        unsigned long code = hex4_at(s->text + i + 1);
        i += 4;
        if (code >= 0xD800 && code <= 0xDBFF) { /* and the low half, "\uDC00" to "\uDFFF" */
            code = 0x10000 + ((code - 0xD800) << 10) + (hex4_at(s->text + i + 3) - 0xDC00);
            i += 6;
        }
        /* UTF-8: 1 to 4 bytes, the lead byte marking the length */
        char bytes[4];
        size_t n = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        static const unsigned char LEAD[5] = {0, 0x00, 0xC0, 0xE0, 0xF0};
        for (size_t k = n - 1; k > 0; k--, code >>= 6)
            bytes[k] = (char)(0x80 | (code & 0x3F));
        bytes[0] = (char)(LEAD[n] | code);
        buf_append(out, bytes, n);
    }
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

/* Steps over the "{" or "[" at s->pos and the space after it: 1 when `close` follows at once (and
 * is stepped over too), else 0. */
int scan_open(struct json_scan* s, char close) {
    s->pos++;
    scan_space(s);
    if (s->text[s->pos] != close)
        return 0;
    s->pos++;
    return 1;
}

/* After an item of an object or array: 1 at `close` (stepped over), 0 after a ",", -1 otherwise
 * with `error`. */
int scan_next(struct json_scan* s, char close, const char* error) {
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

int scan_value(struct json_scan* s, struct json_member* members) {
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
int scan_tag_object(const char* text, struct json_member* members, int warn, const char** error,
                    size_t* where) {
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
