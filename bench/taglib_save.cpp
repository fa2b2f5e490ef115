// TagLib's in-place save of a title followed by fsync, timed per call: the peer figure for
// clone_write.py, built as qid3_taglib_save with the benchmarks (QID3_BUILD_BENCH).
// Usage: qid3_taglib_save [--runs N] [--title TEXT] FILE...   (MP3, or FLAC by the name's .flac; N
// saves each, 3 unless given). One line per save: the time, and the bytes the save wrote (wchar of
// /proc/self/io); then the total over every save.
#include <fcntl.h>
#include <unistd.h>

#include "bench_ops.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static unsigned long long bytes_written_so_far() {
    FILE* f = fopen("/proc/self/io", "r");
    if (!f)
        return 0;
    unsigned long long rchar = 0, wchar = 0;
    if (fscanf(f, "rchar: %llu wchar: %llu", &rchar, &wchar) != 2)
        wchar = 0;
    fclose(f);
    return wchar;
}

int main(int argc, char** argv) {
    int runs = 3;
    std::string title;
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first += 2) {
        if (first + 1 >= argc)
            return 2;
        if (strcmp(argv[first], "--runs") == 0)
            runs = atoi(argv[first + 1]);
        else if (strcmp(argv[first], "--title") == 0)
            title = argv[first + 1];
        else
            return 2;
    }
    double total = 0;
    int saves = 0;
    for (int i = first; i < argc; i++) {
        for (int run = 0; run < runs; run++) {
            unsigned long long wchar0 = bytes_written_so_far();
            auto start = std::chrono::steady_clock::now();
            // The save the benchmark program times: FLAC's comment block; for MP3 the ID3v2 tag
            // only, version 4, as the library writes it.
            size_t n = strlen(argv[i]);
            bench_kind kind =
                n >= 5 && strcmp(argv[i] + n - 5, ".flac") == 0 ? KIND_FLAC : KIND_MP3_V24;
            std::string text = title.empty() ? "run" + std::to_string(run) : title;
            bool saved = taglib_write_title(argv[i], kind, text.c_str());
            int fd = open(argv[i], O_RDONLY);
            bool synced = fd >= 0 && fsync(fd) == 0;
            if (fd >= 0)
                close(fd);
            double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            unsigned long long wchar = bytes_written_so_far() - wchar0;
            total += ms;
            saves++;
            printf("%s: saved=%d synced=%d %.2f ms wchar=%llu\n", argv[i], saved, synced, ms,
                   wchar);
            if (!saved || !synced)
                return 1;
        }
    }
    printf("total %.2f ms for %d saves\n", total, saves);
    return 0;
}
