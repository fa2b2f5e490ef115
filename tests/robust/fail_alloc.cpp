// Replaces the C allocator with one that forwards to glibc's own entry points and can fail the Nth
// call, or the calls of one size. Blocks allocated while counting are kept in a fixed
// open-addressing table (the table itself must not allocate), keyed by address.
#include "fail_alloc.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <errno.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
}

namespace {

const size_t SLOTS = 1u << 16;
const uintptr_t EMPTY = 0;
const uintptr_t REMOVED = 1;

struct watch_state {
    bool counting;
    bool matching_frees;
    long calls;
    long fail_at;
    size_t fail_size; // 0: no size is failed
    bool failed;
    long live;
    uintptr_t slots[SLOTS];
};

watch_state g_watch;

size_t slot_of(uintptr_t p) {
    return (size_t)((p >> 4) * 0x9E3779B97F4A7C15ull >> 48) & (SLOTS - 1);
}

void die(const char* why) {
    // No stdio: it may allocate.
    ssize_t ignored = write(2, why, __builtin_strlen(why));
    (void)ignored;
    abort();
}

void remember(void* block) {
    if (!block)
        return;
    uintptr_t p = (uintptr_t)block;
    for (size_t i = slot_of(p), n = 0; n < SLOTS; i = (i + 1) & (SLOTS - 1), n++) {
        if (g_watch.slots[i] == EMPTY || g_watch.slots[i] == REMOVED) {
            g_watch.slots[i] = p;
            g_watch.live++;
            return;
        }
    }
    die("fail_alloc: block table full\n");
}

// Drops a remembered block; true when it was one.
bool forget(void* block) {
    if (!block || !g_watch.matching_frees)
        return false;
    uintptr_t p = (uintptr_t)block;
    for (size_t i = slot_of(p), n = 0; n < SLOTS; i = (i + 1) & (SLOTS - 1), n++) {
        if (g_watch.slots[i] == EMPTY)
            return false;
        if (g_watch.slots[i] == p) {
            g_watch.slots[i] = REMOVED;
            g_watch.live--;
            return true;
        }
    }
    return false;
}

// Counts one allocation call of `size` bytes; true (with errno set as glibc sets it) when this one
// is to fail.
bool count_call(size_t size) {
    if (!g_watch.counting)
        return false;
    g_watch.calls++;
    if ((g_watch.fail_at > 0 && g_watch.calls == g_watch.fail_at) ||
        (g_watch.fail_size > 0 && size == g_watch.fail_size)) {
        g_watch.failed = true;
        errno = ENOMEM;
        return true;
    }
    return false;
}

} // namespace

extern "C" void* malloc(size_t size) {
    if (count_call(size))
        return nullptr;
    void* p = __libc_malloc(size);
    if (g_watch.counting)
        remember(p);
    return p;
}

extern "C" void* calloc(size_t count, size_t size) {
    if (count_call(count * size))
        return nullptr;
    void* p = __libc_calloc(count, size);
    if (g_watch.counting)
        remember(p);
    return p;
}

extern "C" void* realloc(void* block, size_t size) {
    if (!block)
        return malloc(size);
    if (size == 0) {
        forget(block);
        return __libc_realloc(block, 0);
    }
    if (count_call(size))
        return nullptr; // the old block stays valid and owned by the caller
    void* p = __libc_realloc(block, size);
    // A block from before the count that merely moves is not a new one.
    if (p && forget(block))
        remember(p);
    return p;
}

extern "C" void free(void* block) {
    forget(block);
    __libc_free(block);
}

void fail_alloc_begin(long fail_at) {
    for (size_t i = 0; i < SLOTS; i++)
        g_watch.slots[i] = EMPTY;
    g_watch.calls = 0;
    g_watch.live = 0;
    g_watch.failed = false;
    g_watch.fail_at = fail_at;
    g_watch.fail_size = 0;
    g_watch.matching_frees = true;
    g_watch.counting = true;
}

void fail_alloc_begin_size(size_t size) {
    fail_alloc_begin(0);
    g_watch.fail_size = size;
}

void fail_alloc_disarm(void) {
    g_watch.counting = false;
    g_watch.fail_at = 0;
    g_watch.fail_size = 0;
}

long fail_alloc_calls(void) {
    return g_watch.calls;
}

bool fail_alloc_failed(void) {
    return g_watch.failed;
}

long fail_alloc_live(void) {
    return g_watch.live;
}

void fail_alloc_end(void) {
    g_watch.counting = false;
    g_watch.matching_frees = false;
    g_watch.fail_at = 0;
    g_watch.fail_size = 0;
}
