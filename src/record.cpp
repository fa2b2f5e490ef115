// The tag record (and the old tag a write keeps beside it), each thread's error text and the
// growable byte buffer: the bottom layer, which every other source may call and which calls
// nothing of the library.
#include "record.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------------------------
// Tag record

void id3_record_init(id3_record* t) {
    memset(t, 0, sizeof *t);
}

void id3_record_free(id3_record* t) {
    if (!t)
        return;
    free(t->title);
    free(t->artist);
    free(t->album);
    free(t->genre);
    free(t->date);
    free(t->track);
    free(t->cover_data);
    memset(t, 0, sizeof *t);
}

int id3_record_set_str(char** field, const char* text) {
    if (!text)
        text = "";
    size_t n = strlen(text);
    // The copy is made before the old block goes, so a field may be set from its own text.
    char* copy = (char*)malloc(n + 1);
    if (!copy)
        return -1;
    memcpy(copy, text, n + 1);
    free(*field);
    *field = copy;
    return 0;
}

int id3_record_store_text(char** field, const char* bytes, uint64_t n) {
    if (n >= SIZE_MAX)
        return -1;
    char* copy = (char*)malloc((size_t)n + 1);
    if (!copy)
        return -1;
    if (n > 0)
        memcpy(copy, bytes, (size_t)n);
    copy[n] = '\0';
    free(*field);
    *field = copy;
    return 0;
}

int id3_record_store_cover(id3_record* t, const uint8_t* data, uint64_t n, const char* mime,
                           uint64_t mime_len, int copy_bytes) {
    if (copy_bytes) {
        // An empty picture is still a cover, with a block of its own.
        if (n > SIZE_MAX)
            return -1;
        uint8_t* copy = (uint8_t*)malloc(n > 0 ? (size_t)n : 1);
        if (!copy)
            return -1;
        if (n > 0)
            memcpy(copy, data, (size_t)n);
        free(t->cover_data);
        t->cover_data = copy;
        t->cover_size = n;
    }
    t->has_cover = 1;
    t->cover_seen = data;
    t->cover_seen_len = n;
    if (mime_len > sizeof t->cover_mime - 1)
        mime_len = sizeof t->cover_mime - 1;
    const void* nul = mime_len > 0 ? memchr(mime, '\0', (size_t)mime_len) : nullptr;
    if (nul)
        mime_len = (uint64_t)((const char*)nul - mime);
    if (mime_len > 0)
        memcpy(t->cover_mime, mime, (size_t)mime_len);
    t->cover_mime[mime_len] = '\0';
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Error text

// One text per thread, so that a thread's id3_last_error describes its own last call; a program
// of one thread sees what it saw when the text was one per process.
static thread_local char g_err[ID3_ERROR_MAX];

void id3_set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

int id3_has_error(void) {
    return g_err[0] != '\0';
}

void id3_clear_error(void) {
    g_err[0] = '\0';
}

const char* id3_error_text(void) {
    return g_err;
}

// ---------------------------------------------------------------------------------------------
// Growable buffer

int id3_buf_reserve(id3_buf* b, uint64_t n) {
    if (n > UINT64_MAX - b->len || b->len + n > SIZE_MAX)
        return -1;
    if (b->len + n <= b->cap)
        return 0;
    uint8_t* grown = (uint8_t*)realloc(b->data, (size_t)(b->len + n));
    if (!grown)
        return -1;
    b->data = grown;
    b->cap = b->len + n;
    return 0;
}

int id3_buf_append(id3_buf* b, const void* bytes, uint64_t n) {
    if (n > UINT64_MAX - b->len)
        return -1;
    uint64_t need = b->len + n;
    if (need > b->cap) {
        // Doubling from 4 KiB keeps the copies of a growing buffer linear in its final size.
        uint64_t cap = b->cap ? b->cap : 4096;
        while (cap < need) {
            if (cap > UINT64_MAX / 2)
                return -1;
            cap *= 2;
        }
        if (cap > SIZE_MAX)
            return -1;
        uint8_t* grown = (uint8_t*)realloc(b->data, (size_t)cap);
        if (!grown)
            return -1;
        b->data = grown;
        b->cap = cap;
    }
    // NULL bytes reserve the room, for a caller that fills it in place.
    if (n > 0 && bytes)
        memcpy(b->data + b->len, bytes, (size_t)n);
    b->len = need;
    return 0;
}

void id3_buf_release(id3_buf* b) {
    free(b->data);
    b->data = nullptr;
    b->len = b->cap = 0;
}

// Makes room for one more element of an array of elem_size bytes. -1 when memory runs out.
int id3_grow_for_one(void** array, uint64_t count, uint64_t* cap, size_t elem_size) {
    if (count < *cap)
        return 0;
    uint64_t new_cap = *cap ? *cap * 2 : 16;
    if (new_cap > SIZE_MAX / elem_size)
        return -1;
    void* grown = realloc(*array, (size_t)new_cap * elem_size);
    if (!grown)
        return -1;
    *array = grown;
    *cap = new_cap;
    return 0;
}
