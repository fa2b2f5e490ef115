// Allocation-failure injection for tests linked with fail_alloc.cpp, which replaces malloc, calloc,
// realloc and free for the whole process (the C library's own allocations, stdio's included, and
// every C++ allocation go through them). Not for sanitizer builds: the sanitizers bring their own
// allocator.
//
// Between fail_alloc_begin and fail_alloc_end every allocation call is counted, the chosen one
// (or each one of a chosen size) fails, and every block allocated is remembered until it is freed,
// so that fail_alloc_live tells how many blocks the code under test left behind.
#ifndef QID3_FAIL_ALLOC_H
#define QID3_FAIL_ALLOC_H

#include <stddef.h>

// Starts counting: the fail_at-th allocation call from now (1 for the first) returns NULL; 0 lets
// every call succeed.
void fail_alloc_begin(long fail_at);
// Starts counting as fail_alloc_begin(0) does, and fails every allocation call of exactly `size`
// bytes (calloc: count times size) until fail_alloc_disarm.
void fail_alloc_begin_size(size_t size);
// Stops counting and failing new allocations; frees of blocks counted so far are still matched.
void fail_alloc_disarm(void);
// Allocation calls (malloc, calloc, realloc) counted since fail_alloc_begin.
long fail_alloc_calls(void);
// Whether the chosen call has come and failed.
bool fail_alloc_failed(void);
// Blocks allocated since fail_alloc_begin and not freed yet.
long fail_alloc_live(void);
// Stops watching altogether.
void fail_alloc_end(void);

#endif
