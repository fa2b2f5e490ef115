#!/usr/bin/env python3
"""One id3_batch over N copies of an MP3 against N id3_write calls, in one process.

    python3 bench/batch_time.py LIBRARY DIR [N] [SOURCE]

LIBRARY is a built libquorvale-id3tag.so, DIR a folder to make (on the file system to measure)
and remove again, N the file count (100), SOURCE the file copied (samples/sample.mp3). Five rounds;
prints the best time of each and their ratio.
"""
import ctypes
import json
import os
import shutil
import sys
import time


def main():
    lib = ctypes.CDLL(sys.argv[1])
    folder = sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    source = sys.argv[4] if len(sys.argv) > 4 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "samples", "sample.mp3")
    lib.id3_batch.argtypes = lib.id3_write.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    data = open(source, "rb").read()
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, "f%d.mp3" % i) for i in range(count)]

    def reset():
        for p in paths:
            with open(p, "wb") as f:
                f.write(data)

    batch, writes = [], []
    try:
        for r in range(5):
            reset()
            start = time.perf_counter()
            written = lib.id3_batch(json.dumps(paths).encode(), b'{"title":"b%d"}' % r)
            batch.append(time.perf_counter() - start)
            if written != count:
                sys.exit("batch wrote %d of %d files" % (written, count))
            reset()
            start = time.perf_counter()
            for p in paths:
                if lib.id3_write(p.encode(), b'{"title":"w%d"}' % r) != 0:
                    sys.exit("write failed: " + p)
            writes.append(time.perf_counter() - start)
    finally:
        shutil.rmtree(folder)
    b, w = min(batch), min(writes)
    print("%s: id3_batch %.1f ms, %d id3_write %.1f ms, ratio %.2f" % (folder, b * 1e3, count,
                                                                        w * 1e3, b / w))


if __name__ == "__main__":
    main()
