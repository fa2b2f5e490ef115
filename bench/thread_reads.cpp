// Reads of 1,000 small files (copies of the samples) from a pool of 1, 2 and 4 threads, each
// thread taking the next file from a shared counter; the library is called with no lock. Prints
// the best wall time of a few runs per pool size, the CPU time of a run and the speed-up over
// one thread.
//
//   qid3_thread_reads SAMPLES_DIR [rounds per run, default 5]
#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

const int FILE_COUNT = 1000;
const int RUNS = 5;

std::vector<std::string> make_files(const std::string& samples, const std::string& dir) {
    const char* names[] = {"sample.mp3", "sample.flac", "sample.m4a"};
    std::vector<std::string> paths;
    for (int i = 0; i < FILE_COUNT; i++) {
        const char* name = names[i % 3];
        std::ifstream in(samples + "/" + name, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string path = dir + "/" + std::to_string(i) + "-" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        paths.push_back(path);
    }
    return paths;
}

// Seconds for `rounds` passes over the files by `threads` threads; -1 when a read failed.
double run(const std::vector<std::string>& paths, int threads, int rounds) {
    std::atomic<long> next{0};
    std::atomic<int> failures{0};
    long total = (long)paths.size() * rounds;
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&] {
            for (long i; (i = next++) < total;) {
                char* json = id3_read_all(paths[i % paths.size()].c_str());
                if (!json)
                    failures++;
                id3_free_string(json);
            }
        });
    for (std::thread& th : pool)
        th.join();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return failures ? -1 : took.count();
}

// The process's CPU seconds so far (user and system): beside the wall time it shows whether
// threads waited for each other or for a core the machine's other work held.
double cpu_seconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s SAMPLES_DIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    char dir[] = "/tmp/qid3-thread-reads-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::vector<std::string> paths = make_files(argv[1], dir);
    run(paths, 1, 1); // the files in the page cache
    double one = 0;
    for (int threads : {1, 2, 4}) {
        double best = 1e9;
        double cpu_before = cpu_seconds();
        for (int r = 0; r < RUNS; r++) {
            double s = run(paths, threads, rounds);
            if (s < 0) {
                fprintf(stderr, "a read failed\n");
                return 1;
            }
            best = s < best ? s : best;
        }
        double cpu = (cpu_seconds() - cpu_before) / RUNS;
        if (threads == 1)
            one = best;
        printf("C, %d thread(s): %d reads in %.3f s (%.3f CPU s a run), %.0f reads/s, %.2fx one "
               "thread\n",
               threads, FILE_COUNT * rounds, best, cpu, FILE_COUNT * rounds / best, one / best);
    }
    for (const std::string& p : paths)
        unlink(p.c_str());
    rmdir(dir);
    return 0;
}
