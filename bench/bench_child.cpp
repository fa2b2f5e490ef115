// One write in a fresh process, for the peak-memory figures of qid3_bench:
//
//   qid3_bench_child idle
//   qid3_bench_child [--as-limit=BYTES] OP PATH KIND PICTURE TAG_LENGTH
//
// OP is lib_write, lib_set_cover, floor_write, taglib_write (PICTURE: the new cover of
// lib_set_cover), or lib_extract, taglib_extract (PICTURE: the file the cover is saved to); the
// last two serve to profile one extraction (perf stat, strace). TAG_LENGTH is the size of the tag
// region at the start of the file (the floor needs it).
// --as-limit sets RLIMIT_AS (the address-space limit of `ulimit -v`) just before the call.
//
// The peak resident set is the process's own high-water mark (VmHWM in /proc/self/status). The
// parent's wait4 figure cannot serve: Linux carries the spawning process's high-water mark over
// into the child's ru_maxrss across the exec. This program also counts the heap calls itself:
// malloc, calloc, realloc and free are defined here and forward to glibc's allocator, so the calls
// of the library (and of TagLib) are counted too. It prints one line:
//   hwm_kb=N start_rss_kb=N allocs=N requested=BYTES peak_live=BYTES
// then " ns=N" (the call's wall-clock time), and exits with 0 when the operation succeeded.
#include "bench_files.h"
#include "bench_ops.h"
#include "quorvale_id3tag.h"

#include <malloc.h>
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
}

namespace {
// Counting only; the process is single-threaded.
unsigned long long g_allocs, g_requested;
long long g_live, g_peak_live;

void note_live(long long delta) {
    g_live += delta;
    if (g_live > g_peak_live)
        g_peak_live = g_live;
}

// A "Vm...:" line of /proc/self/status, in kB; 0 when it cannot be read.
unsigned long long status_kb(const char* key) {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    unsigned long long value = 0;
    size_t key_len = strlen(key);
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, key_len) == 0 && line[key_len] == ':') {
            value = strtoull(line + key_len + 1, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return value;
}

bool kind_from_name(const char* name, bench_kind* kind) {
    const bench_kind kinds[] = {KIND_MP3_V23, KIND_MP3_V24, KIND_FLAC, KIND_M4A_HEAD,
                                KIND_M4A_TAIL};
    for (bench_kind k : kinds) {
        if (strcmp(name, bench_kind_name(k)) == 0) {
            *kind = k;
            return true;
        }
    }
    return false;
}
} // namespace

extern "C" void* malloc(size_t size) {
    void* p = __libc_malloc(size);
    if (p) {
        g_allocs++;
        g_requested += size;
        note_live((long long)malloc_usable_size(p));
    }
    return p;
}

extern "C" void* calloc(size_t count, size_t size) {
    void* p = __libc_calloc(count, size);
    if (p) {
        g_allocs++;
        g_requested += count * size;
        note_live((long long)malloc_usable_size(p));
    }
    return p;
}

extern "C" void* realloc(void* old, size_t size) {
    long long old_size = old ? (long long)malloc_usable_size(old) : 0;
    void* p = __libc_realloc(old, size);
    if (p) {
        g_allocs++;
        g_requested += size;
        note_live((long long)malloc_usable_size(p) - old_size);
    } else if (size == 0 && old) {
        note_live(-old_size);
    }
    return p;
}

extern "C" void free(void* p) {
    if (p)
        note_live(-(long long)malloc_usable_size(p));
    __libc_free(p);
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "idle") == 0) {
        printf("hwm_kb=%llu start_rss_kb=%llu allocs=0 requested=0 peak_live=0\n",
               status_kb("VmHWM"), status_kb("VmRSS"));
        return 0;
    }
    unsigned long long as_limit = 0;
    static const char AS_LIMIT[] = "--as-limit=";
    if (argc > 1 && strncmp(argv[1], AS_LIMIT, strlen(AS_LIMIT)) == 0) {
        as_limit = strtoull(argv[1] + strlen(AS_LIMIT), nullptr, 10);
        argv++;
        argc--;
    }
    bench_kind kind;
    if (argc != 6 || !kind_from_name(argv[3], &kind)) {
        fprintf(stderr, "usage: qid3_bench_child idle | [--as-limit=BYTES] OP PATH KIND PICTURE "
                        "TAG_LENGTH\n");
        return 2;
    }
    const char* op = argv[1];
    const char* path = argv[2];
    const char* picture = argv[4];
    bench_layout layout = {0, strtoull(argv[5], nullptr, 10)};
    if (as_limit) {
        struct rlimit lim = {(rlim_t)as_limit, (rlim_t)as_limit};
        if (setrlimit(RLIMIT_AS, &lim) != 0) {
            perror("qid3_bench_child: setrlimit");
            return 2;
        }
    }
    unsigned long long start_rss = status_kb("VmRSS");
    // Counting starts here: what the process needed before the call does not count.
    g_allocs = 0;
    g_requested = 0;
    g_live = 0;
    g_peak_live = 0;
    bool ok;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    if (strcmp(op, "lib_write") == 0)
        ok = id3_write(path, "{\"title\":\"Peak memory\"}") == 0;
    else if (strcmp(op, "lib_set_cover") == 0)
        ok = id3_set_cover(path, picture) == 0;
    else if (strcmp(op, "floor_write") == 0)
        ok = floor_rewrite(path, layout, nullptr) == 0;
    else if (strcmp(op, "taglib_write") == 0)
        ok = taglib_write_title(path, kind, "Peak memory");
    else if (strcmp(op, "lib_extract") == 0)
        ok = id3_extract_cover(path, picture) == 0;
    else if (strcmp(op, "taglib_extract") == 0)
        ok = taglib_extract_cover(path, kind, picture);
    else {
        fprintf(stderr, "qid3_bench_child: unknown operation %s\n", op);
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    unsigned long long allocs = g_allocs, requested = g_requested;
    long long peak = g_peak_live;
    long long ns = (long long)(t1.tv_sec - t0.tv_sec) * 1000000000 + (t1.tv_nsec - t0.tv_nsec);
    printf("hwm_kb=%llu start_rss_kb=%llu allocs=%llu requested=%llu peak_live=%lld ns=%lld\n",
           status_kb("VmHWM"), start_rss, allocs, requested, peak, ns);
    if (!ok)
        fprintf(stderr, "qid3_bench_child: %s failed: %s\n", op, id3_last_error());
    return ok ? 0 : 1;
}
