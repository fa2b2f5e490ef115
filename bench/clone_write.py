#!/usr/bin/env python3
"""Times id3_write of a title into each FILE three times, in this process, with the bytes the
process wrote (wchar, write_bytes of /proc/self/io) around each call.
Usage: clone_write.py LIBRARY FILE..."""
import ctypes
import sys
import time


def io_counts():
    fields = dict(line.split(": ") for line in open("/proc/self/io").read().splitlines() if line)
    return int(fields["wchar"]), int(fields["write_bytes"])


def main():
    lib = ctypes.CDLL(sys.argv[1])
    lib.id3_write.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    for path in sys.argv[2:]:
        for run in range(3):
            wchar0, bytes0 = io_counts()
            start = time.perf_counter()
            rc = lib.id3_write(path.encode(), ('{"title":"run%d"}' % run).encode())
            took = time.perf_counter() - start
            wchar1, bytes1 = io_counts()
            print(f"{path}: rc={rc} {1000 * took:.1f} ms wchar={wchar1 - wchar0} "
                  f"write_bytes={bytes1 - bytes0}")


if __name__ == "__main__":
    main()
