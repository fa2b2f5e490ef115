#!/usr/bin/env python3
"""Counts the appends another program loses while id3_write rewrites the file.

An appender that takes no lock adds numbered 4 KB blocks to a 34 MB MP3 file (open with O_APPEND,
write, close, then a pause) while this process calls id3_write in a loop; at the end the numbers
missing from the file are counted, with the writes that succeeded and those refused with "file
changed while writing".

    python3 bench/append_loop.py LIBRARY FILE [SECONDS [PAUSE]]

e.g. python3 bench/append_loop.py build/src/libquorvale-id3tag.so /mnt/xfs/song.mp3 20 0.005
(FILE is created and overwritten; put it on the file system to measure).
"""
import ctypes
import os
import re
import sys
import time

BLOCK = 4096
FRAME = b"\xff\xfb\x90\x64"  # MPEG 1 layer III, 128 kbit/s, 44.1 kHz: 417-byte frames


def main():
    lib_path, path = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 20.0
    pause = float(sys.argv[4]) if len(sys.argv) > 4 else 0.005
    tag = b"ID3\x04\x00\x00\x00\x00\x08\x00" + bytes(1024)
    audio = (FRAME + os.urandom(413)) * (34 * 1024 * 1024 // 417)
    with open(path, "wb") as f:
        f.write(tag + audio)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        number = 0
        end = time.time() + seconds
        while time.time() < end:
            fd = os.open(path, os.O_WRONLY | os.O_APPEND)
            os.write(fd, (b"SEQ%08d" % number).ljust(BLOCK, b"\0"))
            os.close(fd)
            number += 1
            time.sleep(pause)
        os.write(write_end, str(number).encode())
        os._exit(0)
    os.close(write_end)
    lib = ctypes.CDLL(lib_path)
    lib.id3_last_error.restype = ctypes.c_char_p
    succeeded = refused = other = 0
    end = time.time() + seconds
    while time.time() < end:
        if lib.id3_write(path.encode(), b'{"title":"t%d"}' % succeeded) == 0:
            succeeded += 1
        elif b"file changed while writing" in lib.id3_last_error():
            refused += 1
        else:
            other += 1
    os.waitpid(pid, 0)
    appended = int(os.read(read_end, 100))
    with open(path, "rb") as f:
        present = {int(n) for n in re.findall(rb"SEQ(\d{8})", f.read())}
    lost = appended - len(present & set(range(appended)))
    print("appends %d, lost %d; writes: %d succeeded, %d refused (file changed), %d other failures"
          % (appended, lost, succeeded, refused, other))


if __name__ == "__main__":
    main()
