// An LD_PRELOAD library for the tests: it stands between the library and the C library's file
// calls, so that paths which only run on other file systems or under rare conditions run here.
// Each call reads its settings from the environment, so a test changes them between calls:
//   QID3_IO_COPY_RANGE_ERRNO   copy_file_range fails with this errno (a number)
//   QID3_IO_TMPFILE_ERRNO      an open with O_TMPFILE fails with this errno
//   QID3_IO_LINKAT_ERRNO       linkat fails with this errno
//   QID3_IO_FSETXATTR_ERRNO    fsetxattr fails with this errno ...
//   QID3_IO_FSETXATTR_NAME     ... for attribute names starting with this text (all when unset)
//   QID3_IO_FSYNC_ERRNO        fsync fails with this errno
//   QID3_IO_FSYNC_DELAY_MS     fsync takes this many milliseconds more, as on a slow disk
//   QID3_IO_LOG                appends one line per call, in call order:
//                                fsync <dev>:<ino>, fdatasync <dev>:<ino>,
//                                sync_file_range <dev>:<ino>,
//                                rename <file dev>:<ino> <folder dev>:<ino> (renameat and rename),
//                                temp <folder dev>:<ino> (an O_TMPFILE or O_EXCL create)
//   QID3_IO_GROW_PATH          after the QID3_IO_GROW_AFTER-th read (pread or read) of the file
//   QID3_IO_GROW_AFTER         at this path, QID3_IO_GROW_BYTES is appended to it, once per
//   QID3_IO_GROW_BYTES         QID3_IO_GROW_PATH value; with QID3_IO_GROW_OFFSET they are written
//                              over the bytes at that offset instead (an edit in place)
//   QID3_IO_GROW_AT_CALL       with QID3_IO_GROW_PATH: the bytes are appended (or written at
//                              QID3_IO_GROW_OFFSET) when the library calls this function
//                              ("linkat" or "faccessat", before it runs), in place of
//                              after a read; once per QID3_IO_GROW_PATH value
//   QID3_IO_FROZEN_CTIME       stat, fstat and fstatat report a change time of 0, as file systems
//                              that keep no change times do
//   QID3_IO_LOCK_ERRNO         fcntl's record and open-file-description locks (F_SETLK, F_SETLKW,
//                              F_OFD_SETLK, F_OFD_SETLKW) fail with this errno, as on a file
//                              system without a lock manager
// The tests find the library loaded through qid3_io_interposer_loaded.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

extern "C" int qid3_io_interposer_loaded(void) {
    return 1;
}

namespace {

template <typename F> F next_fn(const char* name) {
    return (F)dlsym(RTLD_NEXT, name);
}

// The errno named by an environment variable, or 0 when it is unset.
int injected(const char* var) {
    const char* v = getenv(var);
    return v && *v ? atoi(v) : 0;
}

// Appends a line to the log with plain system calls, so that no call of ours is interposed.
void log_line(const char* what, int fd_for_id, const struct stat* folder) {
    const char* path = getenv("QID3_IO_LOG");
    if (!path || !*path)
        return;
    struct stat st;
    char line[160];
    int n;
    if (fd_for_id >= 0 && fstat(fd_for_id, &st) == 0)
        n = snprintf(line, sizeof line, "%s %llu:%llu", what, (unsigned long long)st.st_dev,
                     (unsigned long long)st.st_ino);
    else
        n = snprintf(line, sizeof line, "%s ?", what);
    if (folder)
        n += snprintf(line + n, sizeof line - (size_t)n, " %llu:%llu",
                      (unsigned long long)folder->st_dev, (unsigned long long)folder->st_ino);
    line[n++] = '\n';
    int out =
        (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out >= 0) {
        ssize_t w = syscall(SYS_write, out, line, (size_t)n);
        (void)w;
        syscall(SYS_close, out);
    }
}

// Logs a rename: the file being renamed (looked at before the rename) and the folder it goes to.
void log_rename(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    if (!getenv("QID3_IO_LOG"))
        return;
    struct stat folder;
    int file = (int)syscall(SYS_openat, olddirfd, oldpath, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    int dir;
    const char* slash = strrchr(newpath, '/');
    if (slash) {
        char buf[4096];
        snprintf(buf, sizeof buf, "%.*s", slash == newpath ? 1 : (int)(slash - newpath), newpath);
        dir = (int)syscall(SYS_openat, newdirfd, buf, O_PATH | O_DIRECTORY | O_CLOEXEC);
    } else {
        dir = (int)syscall(SYS_openat, newdirfd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    bool have_folder = dir >= 0 && fstat(dir, &folder) == 0;
    log_line("rename", file, have_folder ? &folder : nullptr);
    if (file >= 0)
        syscall(SYS_close, file);
    if (dir >= 0)
        syscall(SYS_close, dir);
}

// Appends QID3_IO_GROW_BYTES to the file at path, or writes them at QID3_IO_GROW_OFFSET.
void grow_file(const char* path) {
    const char* bytes = getenv("QID3_IO_GROW_BYTES");
    if (!bytes)
        bytes = "grown";
    const char* at = getenv("QID3_IO_GROW_OFFSET");
    int out = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | (at ? 0 : O_APPEND) | O_CLOEXEC);
    if (out >= 0) {
        ssize_t w = at ? syscall(SYS_pwrite64, out, bytes, strlen(bytes), (off_t)atoll(at))
                       : syscall(SYS_write, out, bytes, strlen(bytes));
        (void)w;
        syscall(SYS_close, out);
    }
}

// Grows the file at QID3_IO_GROW_PATH when the call named by QID3_IO_GROW_AT_CALL is made.
void at_call(const char* call) {
    const char* path = getenv("QID3_IO_GROW_PATH");
    const char* wanted = getenv("QID3_IO_GROW_AT_CALL");
    if (!path || !*path || !wanted || strcmp(wanted, call) != 0)
        return;
    static char done_for[4096];
    if (strcmp(done_for, path) == 0)
        return;
    snprintf(done_for, sizeof done_for, "%s", path);
    grow_file(path);
}

// Counts reads of the file at QID3_IO_GROW_PATH and grows it after the chosen one.
void after_read(int fd) {
    const char* path = getenv("QID3_IO_GROW_PATH");
    if (!path || !*path || getenv("QID3_IO_GROW_AT_CALL"))
        return;
    static char armed_for[4096];
    static int reads;
    if (strcmp(armed_for, path) != 0) {
        snprintf(armed_for, sizeof armed_for, "%s", path);
        reads = 0;
    }
    struct stat by_fd, by_path;
    if (fstat(fd, &by_fd) != 0 || stat(path, &by_path) != 0 || by_fd.st_dev != by_path.st_dev ||
        by_fd.st_ino != by_path.st_ino)
        return;
    reads++;
    if (reads == injected("QID3_IO_GROW_AFTER"))
        grow_file(path);
}

bool is_lock_command(int cmd) {
    return cmd == F_SETLK || cmd == F_SETLKW
#ifdef F_OFD_SETLK
           || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW
#endif
        ;
}

// fcntl and fcntl64: a refused lock as QID3_IO_LOCK_ERRNO asks, anything else passed on. Every
// command that takes an argument takes one int or one pointer, which travels as a pointer.
int fcntl_common(const char* name, int fd, int cmd, void* arg) {
    if (is_lock_command(cmd)) {
        if (int err = injected("QID3_IO_LOCK_ERRNO")) {
            errno = err;
            return -1;
        }
    }
    return next_fn<int (*)(int, int, ...)>(name)(fd, cmd, arg);
}

int open_common(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        if (int err = injected("QID3_IO_TMPFILE_ERRNO")) {
            errno = err;
            return -1;
        }
    }
#endif
    int fd = next_fn<int (*)(int, const char*, int, ...)>(name)(dirfd, path, flags, mode);
    bool creates_temp = (flags & O_CREAT) && (flags & O_EXCL) && strstr(path, ".quorvale-tmp.");
#ifdef O_TMPFILE
    creates_temp = creates_temp || (flags & O_TMPFILE) == O_TMPFILE;
#endif
    if (fd >= 0 && creates_temp) {
        struct stat folder;
        int have = dirfd >= 0 && fstat(dirfd, &folder) == 0;
        log_line("temp", fd, have ? &folder : nullptr);
    }
    return fd;
}

int frozen_ctime(int rc, struct stat* st) {
    if (rc == 0 && injected("QID3_IO_FROZEN_CTIME")) {
        st->st_ctim.tv_sec = 0;
        st->st_ctim.tv_nsec = 0;
    }
    return rc;
}

} // namespace

extern "C" {

int stat(const char* path, struct stat* st) {
    return frozen_ctime(next_fn<int (*)(const char*, struct stat*)>("stat")(path, st), st);
}

int fstat(int fd, struct stat* st) {
    return frozen_ctime(next_fn<int (*)(int, struct stat*)>("fstat")(fd, st), st);
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    return frozen_ctime(
        next_fn<int (*)(int, const char*, struct stat*, int)>("fstatat")(dirfd, path, st, flags),
        st);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (mode_t)va_arg(ap, int);
    va_end(ap);
    return open_common("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (mode_t)va_arg(ap, int);
    va_end(ap);
    return open_common("openat64", dirfd, path, flags, mode);
}

ssize_t copy_file_range(int in_fd, off64_t* in_off, int out_fd, off64_t* out_off, size_t len,
                        unsigned flags) {
    if (int err = injected("QID3_IO_COPY_RANGE_ERRNO")) {
        errno = err;
        return -1;
    }
    return next_fn<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range")(
        in_fd, in_off, out_fd, out_off, len, flags);
}

int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common("fcntl", fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common("fcntl64", fd, cmd, arg);
}

int faccessat(int dirfd, const char* path, int mode, int flags) {
    at_call("faccessat");
    return next_fn<int (*)(int, const char*, int, int)>("faccessat")(dirfd, path, mode, flags);
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    at_call("linkat");
    if (int err = injected("QID3_IO_LINKAT_ERRNO")) {
        errno = err;
        return -1;
    }
    return next_fn<int (*)(int, const char*, int, const char*, int)>("linkat")(
        olddirfd, oldpath, newdirfd, newpath, flags);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    if (int err = injected("QID3_IO_FSETXATTR_ERRNO")) {
        const char* prefix = getenv("QID3_IO_FSETXATTR_NAME");
        if (!prefix || strncmp(name, prefix, strlen(prefix)) == 0) {
            errno = err;
            return -1;
        }
    }
    return next_fn<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(
        fd, name, value, size, flags);
}

int fsync(int fd) {
    log_line("fsync", fd, nullptr);
    if (int ms = injected("QID3_IO_FSYNC_DELAY_MS"))
        usleep((useconds_t)ms * 1000);
    if (int err = injected("QID3_IO_FSYNC_ERRNO")) {
        errno = err;
        return -1;
    }
    return next_fn<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd) {
    log_line("fdatasync", fd, nullptr);
    return next_fn<int (*)(int)>("fdatasync")(fd);
}

int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags) {
    log_line("sync_file_range", fd, nullptr);
    return next_fn<int (*)(int, off64_t, off64_t, unsigned int)>("sync_file_range")(fd, offset,
                                                                                    nbytes, flags);
}

int syncfs(int fd) {
    log_line("syncfs", fd, nullptr);
    return next_fn<int (*)(int)>("syncfs")(fd);
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    log_rename(olddirfd, oldpath, newdirfd, newpath);
    return next_fn<int (*)(int, const char*, int, const char*)>("renameat")(olddirfd, oldpath,
                                                                            newdirfd, newpath);
}

int rename(const char* oldpath, const char* newpath) {
    log_rename(AT_FDCWD, oldpath, AT_FDCWD, newpath);
    return next_fn<int (*)(const char*, const char*)>("rename")(oldpath, newpath);
}

ssize_t pread(int fd, void* buf, size_t n, off_t off) {
    ssize_t r = next_fn<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, buf, n, off);
    if (r > 0)
        after_read(fd);
    return r;
}

ssize_t pread64(int fd, void* buf, size_t n, off64_t off) {
    ssize_t r = next_fn<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(fd, buf, n, off);
    if (r > 0)
        after_read(fd);
    return r;
}

ssize_t read(int fd, void* buf, size_t n) {
    ssize_t r = next_fn<ssize_t (*)(int, void*, size_t)>("read")(fd, buf, n);
    if (r > 0)
        after_read(fd);
    return r;
}

} // extern "C"
