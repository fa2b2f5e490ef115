#!/usr/bin/env python3
"""id3_write where the file system shares blocks, against TagLib's in-place save and fsync.

  clone_write.py LIBRARY FILE...
      three id3_write calls of a title into each FILE, timed in this process, with the bytes the
      process wrote (wchar, write_bytes of /proc/self/io) around each call.

  clone_write.py --compare [--size-mb 200] [--runs 7] [--batch 100] [--fs xfs,btrfs,ext4]
                 [--dir DIR] LIBRARY TAGLIB_SAVE
      As root: makes a 200 MB MP3 (an ID3v2.4 tag with 1 KiB of padding, then MPEG frame headers
      every 417 bytes with noise between them) and a 200 MB FLAC (STREAMINFO, VORBIS_COMMENT,
      4 KiB of PADDING, then frame-sync filler) in a fresh folder under DIR (default TMPDIR or
      /tmp), loop-mounts fresh XFS (reflink) and btrfs images there and, on each and on DIR's own
      file system ("ext4"), times RUNS id3_write calls of a title into each file against RUNS
      TagLib saves of the same change followed by fsync (TAGLIB_SAVE: qid3_taglib_save) on a copy,
      one after the other in turn. Where the file system shares blocks, one id3_batch call over
      BATCH copies (reflinks) of each file follows, against BATCH TagLib saves with fsync.
      Prints each figure, then a Markdown table of medians and ranges. The images and files are
      removed and the file systems unmounted on every way out.
"""
import ctypes
import os
import signal
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def io_counts():
    fields = dict(line.split(": ") for line in open("/proc/self/io").read().splitlines() if line)
    return int(fields["wchar"]), int(fields["write_bytes"])


def load(library):
    lib = ctypes.CDLL(library)
    lib.id3_write.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.id3_batch.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.id3_last_error.restype = ctypes.c_char_p
    return lib


def timed_write(lib, path, title):
    """One id3_write: (milliseconds, wchar, write_bytes)."""
    wchar0, bytes0 = io_counts()
    start = time.perf_counter()
    rc = lib.id3_write(path.encode(), ('{"title":"%s"}' % title).encode())
    took = time.perf_counter() - start
    wchar1, bytes1 = io_counts()
    if rc != 0:
        raise RuntimeError("id3_write %s: %s" % (path, lib.id3_last_error().decode()))
    return 1000 * took, wchar1 - wchar0, bytes1 - bytes0


def simple(library, paths):
    lib = load(library)
    for path in paths:
        for run in range(3):
            ms, wchar, written = timed_write(lib, path, "run%d" % run)
            print(f"{path}: {ms:.1f} ms wchar={wchar} write_bytes={written}")


# ---------------------------------------------------------------------------------------------
# Fixtures

def syncsafe(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])


def noise(size):
    # Random blocks repeated: enough to defeat compression, cheap to make at 200 MB.
    block = os.urandom(1 << 20)
    out = bytearray(block * (size // len(block) + 1))
    del out[size:]
    return out


def make_mp3(path, size):
    frames = b""
    for fid, text in ((b"TIT2", b"Title"), (b"TPE1", b"Artist"), (b"TALB", b"Album")):
        body = b"\x03" + text
        frames += fid + syncsafe(len(body)) + b"\0\0" + body
    tag = b"ID3\x04\x00\x00" + syncsafe(len(frames) + 1024) + frames + bytes(1024)
    audio = noise(size - len(tag))
    for at in range(0, len(audio) - 4, 417):  # MPEG-1 Layer III, 128 kbit/s, 44.1 kHz
        audio[at:at + 4] = b"\xFF\xFB\x90\x64"
    with open(path, "wb") as f:
        f.write(tag)
        f.write(audio)


def make_flac(path, size):
    def block(kind, body, last=False):
        return bytes([kind | (0x80 if last else 0)]) + len(body).to_bytes(3, "big") + body

    samples = 44100 * 600
    info = (4096).to_bytes(2, "big") * 2 + bytes(6)
    info += (44100 << 44 | 1 << 41 | 15 << 36 | samples).to_bytes(8, "big") + bytes(16)
    vendor = b"reference libFLAC 1.4.2 20221022"
    comments = [b"TITLE=Title", b"ARTIST=Artist", b"ALBUM=Album"]
    vc = len(vendor).to_bytes(4, "little") + vendor + len(comments).to_bytes(4, "little")
    for c in comments:
        vc += len(c).to_bytes(4, "little") + c
    head = b"fLaC" + block(0, info) + block(4, vc) + block(1, bytes(4096), True)
    audio = noise(size - len(head))
    for at in range(0, len(audio) - 2, 4096):
        audio[at:at + 2] = b"\xFF\xF8"
    with open(path, "wb") as f:
        f.write(head)
        f.write(audio)


# ---------------------------------------------------------------------------------------------
# File systems

class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    raise Interrupted("signal %d" % signum)


def run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def mount_image(work, kind, size_mb, mounted):
    image = os.path.join(work, kind + ".img")
    point = os.path.join(work, kind)
    os.mkdir(point)
    with open(image, "wb") as f:
        f.truncate(size_mb << 20)
    if kind == "xfs":
        run("mkfs.xfs", "-q", "-m", "reflink=1", image)
    else:
        run("mkfs.btrfs", "-q", image)
    run("mount", "-o", "loop", image, point)
    mounted.append(point)
    return point


def copy(src, dst, reflink):
    if reflink:
        run("cp", "--reflink=always", src, dst)
    else:
        shutil.copyfile(src, dst)


def taglib_saves(taglib, paths, runs, title=None):
    """TagLib saves with fsync: per save (milliseconds, wchar)."""
    cmd = [taglib, "--runs", str(runs)] + (["--title", title] if title else []) + paths
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    saves = []
    for line in out.splitlines():
        if " ms wchar=" in line:
            ms = float(line.split(" ms wchar=")[0].rsplit(" ", 1)[1])
            saves.append((ms, int(line.rsplit("=", 1)[1])))
    return saves


def head_length(path):
    """Bytes before the audio: the ID3v2 tag, or FLAC's marker and metadata blocks."""
    with open(path, "rb") as f:
        data = f.read(1 << 20)
    if data[:3] == b"ID3":
        s = data[6:10]
        return 10 + (s[0] << 21 | s[1] << 14 | s[2] << 7 | s[3])
    at = 4
    while True:
        last = data[at] & 0x80
        at += 4 + int.from_bytes(data[at + 1:at + 4], "big")
        if last:
            return at


def spread(values, unit):
    return "%s (%s-%s)" % (unit(statistics.median(values)), unit(min(values)), unit(max(values)))


def ms_text(v):
    return "%.1f ms" % v if v < 1000 else "%.2f s" % (v / 1000)


def compare(args):
    opts = {"--size-mb": "200", "--runs": "7", "--batch": "100", "--fs": "xfs,btrfs,ext4",
            "--dir": os.environ.get("TMPDIR", "/tmp")}
    rest = []
    while args:
        if args[0] in opts:
            opts[args[0]] = args[1]
            args = args[2:]
        else:
            rest.append(args.pop(0))
    library, taglib = rest
    size = int(opts["--size-mb"]) << 20
    runs, batch = int(opts["--runs"]), int(opts["--batch"])
    kinds = opts["--fs"].split(",")
    lib = load(library)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)
    work = tempfile.mkdtemp(prefix="qid3-clone-bench.", dir=opts["--dir"])
    mounted = []
    rows = []
    try:
        sources = {"mp3": os.path.join(work, "src.mp3"), "flac": os.path.join(work, "src.flac")}
        make_mp3(sources["mp3"], size)
        make_flac(sources["flac"], size)
        for kind in kinds:
            if kind == "ext4":
                where = os.path.join(work, "own")
                os.mkdir(where)
            else:
                # Room for the two files, TagLib's copies and a new file while one is written.
                where = mount_image(work, kind, 6 * (size >> 20) + 1024, mounted)
            shares = kind != "ext4"
            for name, src in sources.items():
                ours = os.path.join(where, "ours." + name)
                theirs = os.path.join(where, "theirs." + name)
                copy(src, ours, False)
                copy(src, theirs, False)
                run("sync")
                times, wchars, taglib_times, taglib_wchars = [], [], [], []
                for r in range(runs):
                    ms, wchar, written = timed_write(lib, ours, "run%d" % (r % 2))
                    times.append(ms)
                    wchars.append(wchar)
                    (tms, twchar), = taglib_saves(taglib, [theirs], 1, "run%d" % (r % 2))
                    taglib_times.append(tms)
                    taglib_wchars.append(twchar)
                    print(f"{kind} {name} run {r}: id3_write {ms:.1f} ms wchar={wchar} "
                          f"write_bytes={written}; TagLib {tms:.1f} ms wchar={twchar}", flush=True)
                limit = head_length(ours) + 2 * os.statvfs(where).f_bsize
                rows.append((kind, name, "id3_write", times, wchars, taglib_times, taglib_wchars,
                             limit))
                os.unlink(theirs)
                if shares and batch > 0:
                    folder = os.path.join(where, "batch-" + name)
                    os.mkdir(folder)
                    ours_all = [os.path.join(folder, "ours%03d.%s" % (i, name)) for i in range(batch)]
                    theirs_all = [os.path.join(folder, "theirs%03d.%s" % (i, name))
                                  for i in range(batch)]
                    for path in ours_all + theirs_all:
                        copy(ours, path, True)
                    run("sync")
                    wchar0, _ = io_counts()
                    start = time.perf_counter()
                    count = lib.id3_batch(("[%s]" % ",".join('"%s"' % p for p in ours_all)).encode(),
                                          b'{"title":"batch"}')
                    took = 1000 * (time.perf_counter() - start)
                    wchar = io_counts()[0] - wchar0
                    if count != batch:
                        raise RuntimeError("id3_batch wrote %d of %d: %s" %
                                           (count, batch, lib.id3_last_error().decode()))
                    saves = taglib_saves(taglib, theirs_all, 1, "batch")
                    taglib_ms = sum(s[0] for s in saves)
                    taglib_wchar = sum(s[1] for s in saves)
                    print(f"{kind} {name} batch of {batch}: id3_batch {took:.1f} ms wchar={wchar}; "
                          f"TagLib {taglib_ms:.1f} ms wchar={taglib_wchar}", flush=True)
                    rows.append((kind, name, "id3_batch x%d" % batch, [took], [wchar],
                                 [taglib_ms], [taglib_wchar], limit * batch))
                    shutil.rmtree(folder)
                os.unlink(ours)
            if kind != "ext4":
                run("umount", where)
                mounted.remove(where)
                os.unlink(os.path.join(work, kind + ".img"))
    finally:
        for point in mounted:
            if subprocess.run(["umount", point]).returncode != 0:
                subprocess.run(["umount", "-l", point])
        shutil.rmtree(work, ignore_errors=True)

    print()
    # wchar's limit: the new head (as the last write left it) and two blocks of the file system,
    # per file.
    print("| file system | file | call | library: median (range) | library wchar | wchar limit | "
          "TagLib save + fsync | TagLib wchar | library/TagLib |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|")
    for kind, name, call, times, wchars, ttimes, twchars, limit in rows:
        ratio = statistics.median(times) / statistics.median(ttimes)
        print(f"| {kind} | {name} | {call} | {spread(times, ms_text)} | "
              f"{spread(wchars, lambda v: '%d' % v)} | {limit} | {spread(ttimes, ms_text)} | "
              f"{spread(twchars, lambda v: '%d' % v)} | {ratio:.2f}x |")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--compare":
        compare(sys.argv[2:])
    elif len(sys.argv) > 2:
        simple(sys.argv[1], sys.argv[2:])
    else:
        sys.exit(__doc__)
