#!/usr/bin/env python3
"""Reads of 1,000 small files (copies of the samples) with quorvale_id3tag.read_all from a pool of
1, 2 and 4 threads (concurrent.futures.ThreadPoolExecutor); the best wall time of a few runs per
pool size and the speed-up over one thread.

    PYTHONPATH=bindings/python QUORVALE_ID3TAG_LIB=build/src/libquorvale-id3tag.so.1 \\
        python3 bench/thread_reads.py samples [rounds]
"""
import concurrent.futures
import os
import shutil
import sys
import tempfile
import time

import quorvale_id3tag as tags

FILE_COUNT = 1000
RUNS = 5


def run(paths, threads, rounds):
    work = paths * rounds
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        # chunks of files per task keep the pool's own cost small beside the reads
        chunks = [work[i:i + 50] for i in range(0, len(work), 50)]
        for _ in pool.map(lambda chunk: [tags.read_all(p) for p in chunk], chunks):
            pass
    return time.perf_counter() - start


def main():
    samples = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    folder = tempfile.mkdtemp(prefix="qid3-thread-reads-")
    try:
        names = ["sample.mp3", "sample.flac", "sample.m4a"]
        paths = []
        for i in range(FILE_COUNT):
            path = os.path.join(folder, "%d-%s" % (i, names[i % 3]))
            shutil.copyfile(os.path.join(samples, names[i % 3]), path)
            paths.append(path)
        run(paths, 1, 1)
        one = None
        for threads in (1, 2, 4):
            best = min(run(paths, threads, rounds) for _ in range(RUNS))
            one = one or best
            print("Python, %d thread(s): %d reads in %.3f s, %.0f reads/s, %.2fx one thread"
                  % (threads, FILE_COUNT * rounds, best, FILE_COUNT * rounds / best, one / best))
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
