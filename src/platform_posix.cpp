// POSIX side of the platform layer. The replacement steps give what a Windows caller gets from
// MoveFileExA and FlushFileBuffers, and no weaker guarantees:
//   - a target whose permission bits grant write to nobody is refused like a read-only file, also
//     when the process runs as root;
//   - the new file keeps the target's permission bits, owner and group (where allowed), and on
//     Linux its extended attributes: user.*, POSIX ACLs, and security.* and trusted.* where the
//     process may set them;
//   - the temporary file is unnamed (O_TMPFILE) until it is complete and on the disk, so a killed
//     process leaves no file behind; where the file system refuses that, it is a named file that is
//     never opened through a symbolic link planted at its name;
//   - after the rename the folder is flushed too, so the rename itself survives a power cut;
//   - a target that is a symbolic link stays one: the file it names is replaced;
//   - writers of one file take turns: each holds an exclusive open-file-description lock on the
//     source from before its read until after its rename (readers take none and never wait);
//   - every step after the folder is opened works relative to that folder's descriptor, so a
//     folder swapped for a symbolic link meanwhile cannot redirect the replacement, and only the
//     file that was read is ever replaced;
//   - temporary names are unique (pid, a random part, O_EXCL), and only a file this call created
//     is ever removed.
//
// A refused rename (EACCES EPERM EROFS EBUSY ETXTBSY EISDIR) is PLAT_RENAME_ACCESS_DENIED, as
// Windows's ERROR_ACCESS_DENIED is. Any other failure's errno is given to the message in the
// numbering of Win32 error codes, so that a message names a failure alike on every system:
//   ENOENT                                  -> 2   ERROR_FILE_NOT_FOUND
//   ENOTDIR                                 -> 3   ERROR_PATH_NOT_FOUND
//   EXDEV                                   -> 17  ERROR_NOT_SAME_DEVICE
//   ENOSPC EDQUOT                           -> 112 ERROR_DISK_FULL
//   ENAMETOOLONG                            -> 206 ERROR_FILENAME_EXCED_RANGE
//   EIO                                     -> 1117 ERROR_IO_DEVICE
//   ELOOP                                   -> 1921 ERROR_CANT_RESOLVE_FILENAME
//   anything else                           -> 31  ERROR_GEN_FAILURE
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
// statfs's f_type of a FUSE file system.
#define FUSE_SUPER_MAGIC 0x65735546
#endif

// Bytes moved per step when the kernel cannot copy between the two files itself.
static const uint64_t COPY_BUFFER = 1u << 20;

static int64_t ns_of(const struct timespec& ts) {
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void take_identity(plat_file* f, const struct stat* st) {
    f->size = (uint64_t)st->st_size;
    f->device = (uint64_t)st->st_dev;
    f->inode = (uint64_t)st->st_ino;
    f->mtime_ns = ns_of(st->st_mtim);
    f->ctime_ns = ns_of(st->st_ctim);
}

static int open_regular(const char* path, int access, plat_file* f) {
    f->fd = -1;
    f->lock = nullptr;
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It changes nothing for regular files.
    int fd = open(path, access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return -1;
        }
        return PLAT_NOT_REGULAR;
    }
    f->fd = fd;
    take_identity(f, &st);
    return 0;
}

int plat_open_read(const char* path, plat_file* f) {
    return open_regular(path, O_RDONLY, f);
}

int plat_identify(const char* path, plat_file* f) {
    f->fd = -1;
    f->lock = nullptr;
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (!S_ISREG(st.st_mode))
        return PLAT_NOT_REGULAR;
    take_identity(f, &st);
    return 0;
}

int plat_open_write(const char* path, plat_file* f, int wait) {
    // Each round follows a rename by another writer; a path that changes at every look (a file
    // system whose identities do not hold) is given up on.
    for (int round = 0; round < 1000; round++) {
        // An exclusive lock needs a descriptor open for writing. A file we may not write is
        // written unheld: its replacement is refused as read-only anyway. One open only: the
        // file read is the file held.
        int rc = open_regular(path, O_RDWR, f);
        if (rc == -1 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY))
            return open_regular(path, O_RDONLY, f);
        if (rc != 0)
            return rc;
        int rw = f->fd;
        struct stat st;
        struct flock lock;
        memset(&lock, 0, sizeof lock);
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET; // l_start 0, l_len 0: the whole file
        while (fcntl(rw, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
            int err = errno;
            if (err == EINTR)
                continue;
            if (!wait && (err == EAGAIN || err == EACCES)) {
                plat_close(f);
                return PLAT_WOULD_BLOCK;
            }
            // A file system without locks (some FUSE and network ones): written unheld.
            if (err == EINVAL || err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS)
                break;
            plat_close(f);
            errno = err;
            return -1;
        }
        // The writer we waited for may have renamed its new file over this one: that file, now at
        // the path, is the one to read and update.
        if (stat(path, &st) == 0 && (uint64_t)st.st_dev == f->device &&
            (uint64_t)st.st_ino == f->inode && fstat(rw, &st) == 0) {
            take_identity(f, &st);
            return 0;
        }
        plat_close(f);
    }
    errno = EAGAIN;
    return -1;
}

int64_t plat_pread(const plat_file* f, void* out, uint64_t n, uint64_t off) {
    uint64_t got = 0;
    while (got < n) {
        uint64_t want = n - got;
        if (want > (uint64_t)SSIZE_MAX)
            want = (uint64_t)SSIZE_MAX;
        ssize_t r = pread(f->fd, (uint8_t*)out + got, (size_t)want, (off_t)(off + got));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        got += (uint64_t)r;
    }
    return (int64_t)got;
}

// Whether the open file still has the size, modification and change times it had when opened.
static bool contents_unchanged(const plat_file* f) {
    struct stat st;
    return fstat(f->fd, &st) == 0 && (uint64_t)st.st_size == f->size &&
           ns_of(st.st_mtim) == f->mtime_ns && ns_of(st.st_ctim) == f->ctime_ns;
}

int plat_file_unchanged(const plat_file* f, const char* path) {
    struct stat st;
    if (!contents_unchanged(f))
        return 0;
    // Another program may have put a different file at the path (a rename over it).
    if (stat(path, &st) != 0 || (uint64_t)st.st_dev != f->device || (uint64_t)st.st_ino != f->inode)
        return 0;
    return 1;
}

void plat_close_before_replace(plat_file* f) {
    // The lock goes with the descriptor: it is held through the rename. Except on FUSE: libfuse
    // moves a file that is open aside (".fuse_hidden...") before renaming over it, and a rename
    // that then fails would leave the path empty; there the source is closed first, as on
    // Windows, and the lock ends there.
#if defined(__linux__)
    struct statfs fs;
    if (f->fd >= 0 && fstatfs(f->fd, &fs) == 0 && fs.f_type == FUSE_SUPER_MAGIC)
        plat_close(f);
#else
    (void)f;
#endif
}

void plat_close(plat_file* f) {
    if (f->fd >= 0)
        close(f->fd);
    f->fd = -1;
}

int plat_getpid(void) {
    return (int)getpid();
}

int plat_strnicmp(const char* a, const char* b, size_t n) {
    return strncasecmp(a, b, n);
}

// The folder part of a path ("." when there is none), malloc'd; NULL when memory runs out. Plain
// buffers, not std::string: nothing here may throw through the C interface.
static char* dir_of(const char* path) {
    const char* slash = strrchr(path, '/');
    if (!slash)
        return strdup(".");
    if (slash == path)
        return strdup("/");
    return strndup(path, (size_t)(slash - path));
}

// The file that a write to `path` must replace: a symbolic link is followed to the file it names,
// so the link stays a link. A malloc'd path, or NULL when memory runs out.
static char* replace_target(const char* path) {
    char* current = strdup(path);
    // Follow a chain of links (bounded, as the kernel bounds it) to the file they name.
    for (int hops = 0; current && hops < 40; hops++) {
        struct stat st;
        if (lstat(current, &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        size_t cap = st.st_size > 0 ? (size_t)st.st_size + 1 : 4096;
        char* link = (char*)malloc(cap);
        if (!link) {
            free(current);
            return nullptr;
        }
        ssize_t n = readlink(current, link, cap);
        if (n < 0 || (size_t)n >= cap) {
            free(link);
            break;
        }
        link[n] = '\0';
        char* next;
        if (link[0] == '/') {
            next = link;
        } else {
            // A relative link is read from the folder that holds it.
            char* dir = dir_of(current);
            next = dir ? (char*)malloc(strlen(dir) + 1 + (size_t)n + 1) : nullptr;
            if (next)
                sprintf(next, "%s/%s", dir, link);
            free(dir);
            free(link);
        }
        free(current);
        current = next;
    }
    return current;
}

// A random 32-bit value, different in every thread and call: the clock, the thread's own
// address and a per-thread counter, mixed (splitmix64).
static uint32_t random_part(void) {
    static thread_local uint64_t counter;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t x = (uint64_t)ns_of(now) ^ ((uint64_t)(uintptr_t)&counter << 16) ^
                 ++counter * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return (uint32_t)(x ^ (x >> 31));
}

// The name part of a path.
static const char* base_of(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// "<target>.quorvale-tmp.<pid>.<random>". When that name would pass the folder's limit on one
// name, the part taken from the target's name is shortened on a UTF-8 character boundary (the
// random part and O_EXCL keep shortened names of different targets apart). NULL with errno
// ENAMETOOLONG when no name fits, ENOMEM when memory runs out.
static char* temp_name_for(const char* target, const char* folder) {
    char suffix[48];
    int suffix_len = snprintf(suffix, sizeof suffix, ".quorvale-tmp.%d.%08x", plat_getpid(),
                              (unsigned)random_part());
    const char* slash = strrchr(target, '/');
    size_t dir_len = slash ? (size_t)(slash - target) + 1 : 0;
    size_t base_len = strlen(target) - dir_len;

    long name_max = NAME_MAX;
    long limit = pathconf(folder, _PC_NAME_MAX);
    if (limit > 0)
        name_max = limit;
    // A target whose own name passes the limit cannot be renamed onto either.
    if ((size_t)name_max <= (size_t)suffix_len || base_len > (size_t)name_max) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    size_t keep = base_len;
    if (keep + (size_t)suffix_len > (size_t)name_max) {
        keep = (size_t)name_max - (size_t)suffix_len;
        // Step back over continuation bytes so that no character is cut in two.
        while (keep > 0 && ((uint8_t)target[dir_len + keep] & 0xC0) == 0x80)
            keep--;
    }
    size_t total = dir_len + keep + (size_t)suffix_len;
    if (total >= 4096) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    char* name = (char*)malloc(total + 1);
    if (!name) {
        errno = ENOMEM;
        return nullptr;
    }
    memcpy(name, target, dir_len + keep);
    memcpy(name + dir_len + keep, suffix, (size_t)suffix_len + 1);
    return name;
}

#if defined(__linux__)
// Copies one extended attribute of the file at src to fd. A value that went away meanwhile is
// passed over. 0, or -1 with errno.
static int copy_xattr(const char* src, int fd, const char* name) {
    for (int attempt = 0; attempt < 4; attempt++) {
        ssize_t n = getxattr(src, name, nullptr, 0);
        if (n < 0)
            return errno == ENODATA ? 0 : -1;
        char* value = (char*)malloc(n > 0 ? (size_t)n : 1);
        if (!value) {
            errno = ENOMEM;
            return -1;
        }
        ssize_t got = getxattr(src, name, value, (size_t)n);
        int rc = got < 0 ? -1 : fsetxattr(fd, name, value, (size_t)got, 0);
        int err = errno;
        free(value);
        if (got < 0 && err == ERANGE)
            continue; // the value grew between the two calls
        if (got < 0 && err == ENODATA)
            return 0;
        errno = err;
        return rc;
    }
    errno = ERANGE;
    return -1;
}

// Gives fd the extended attributes of the file at src: user.* and the POSIX ACLs always (a
// failure fails the copy: the replacement must not lose them or widen access), security.* and
// trusted.* where the process may set them. Other namespaces belong to their file systems and are
// left alone. A file system without extended attributes has none to copy. 0, or -1 with errno.
static int copy_xattrs(const char* src, int fd) {
    char* names = nullptr;
    ssize_t len = -1;
    for (int attempt = 0; attempt < 4 && len < 0; attempt++) {
        ssize_t n = listxattr(src, nullptr, 0);
        if (n <= 0) {
            int err = errno;
            free(names);
            errno = err;
            return n == 0 || err == ENOTSUP ? 0 : -1;
        }
        free(names);
        names = (char*)malloc((size_t)n);
        if (!names) {
            errno = ENOMEM;
            return -1;
        }
        len = listxattr(src, names, (size_t)n);
        if (len < 0 && errno != ERANGE) {
            free(names);
            return -1;
        }
    }
    if (len < 0) {
        free(names);
        errno = ERANGE;
        return -1;
    }
    int rc = 0;
    for (ssize_t at = 0; at < len && rc == 0; at += (ssize_t)strlen(names + at) + 1) {
        const char* name = names + at;
        bool privileged = strncmp(name, "security.", 9) == 0 || strncmp(name, "trusted.", 8) == 0;
        bool required = strncmp(name, "user.", 5) == 0 ||
                        strcmp(name, "system.posix_acl_access") == 0 ||
                        strcmp(name, "system.posix_acl_default") == 0;
        if (!privileged && !required)
            continue;
        rc = copy_xattr(src, fd, name);
        if (rc != 0 && privileged && (errno == EPERM || errno == EACCES || errno == ENOTSUP))
            rc = 0;
    }
    int err = errno;
    free(names);
    errno = err;
    return rc;
}
#endif

// Gives the new file the owner, group, extended attributes and permission bits of the file it
// replaces. The owner and group go first (changing them clears set-id bits), the exact bits last,
// so that the replacement never widens access to a private file. 0; -1 with errno when the bits
// cannot be set; PLAT_XATTRS_FAILED with errno when the extended attributes cannot be copied.
static int copy_ownership(int fd, const char* target, const struct stat* target_st) {
    // Another user's file may not be given away by an unprivileged process: the new file is then
    // ours, with the target's permission bits, and keeps the group where we are a member of it.
    bool owned = fchown(fd, target_st->st_uid, target_st->st_gid) == 0 ||
                 fchown(fd, (uid_t)-1, target_st->st_gid) == 0;
    (void)owned; // neither: the new file is ours and in our group
#if defined(__linux__)
    if (copy_xattrs(target, fd) != 0)
        return PLAT_XATTRS_FAILED;
#else
    (void)target;
#endif
    return fchmod(fd, target_st->st_mode & 07777);
}

// Tries fresh temporary names until one is free. make(t) creates the file at t->temp_name
// relative to the folder: 0, or -1 with errno (EEXIST: the name is taken, try another).
static int at_fresh_name(plat_temp* t, int (*make)(plat_temp*)) {
    for (int attempt = 0; attempt < 16; attempt++) {
        if (attempt > 0) {
            char* next = temp_name_for(t->target, t->folder);
            if (!next)
                return -1;
            free(t->temp_name);
            t->temp_name = next;
        }
        if (make(t) == 0)
            return 0;
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

static int create_named(plat_temp* t) {
    // O_EXCL and O_NOFOLLOW: a file we created ourselves, never one planted at the name or a
    // link into another file.
    t->fd = openat(t->dir_fd, base_of(t->temp_name),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, (mode_t)t->create_mode);
    return t->fd >= 0 ? 0 : -1;
}

int plat_temp_create(plat_temp* t, const char* path) {
    t->fd = -1;
    t->dir_fd = -1;
    t->named = 0;
    t->err = 0;
    t->code = 0;
    t->temp_name = nullptr;
    t->folder = nullptr;
    t->target = replace_target(path);
    // The folder is taken now, so that nothing after the rename can fail for want of memory.
    t->folder = t->target ? dir_of(t->target) : nullptr;
    t->temp_name = t->folder ? temp_name_for(t->target, t->folder) : nullptr;
    if (!t->temp_name) {
        int err = t->folder ? errno : ENOMEM;
        plat_temp_release(t);
        errno = err;
        return err == ENAMETOOLONG ? PLAT_NAME_TOO_LONG : -1;
    }
    // The folder is opened once; a folder we may search but not read is held by its path only,
    // and cannot be flushed by us.
    t->dir_fd = open(t->folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    if (t->dir_fd < 0 && errno == EACCES)
        t->dir_fd = open(t->folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    if (t->dir_fd < 0) {
        int err = errno;
        plat_temp_release(t);
        errno = err;
        return -1;
    }
    struct stat target_st;
    bool have_target =
        fstatat(t->dir_fd, base_of(t->target), &target_st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(target_st.st_mode);
    t->create_mode = have_target ? 0600 : 0666;

#ifdef O_TMPFILE
    int fd = openat(t->dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, (mode_t)t->create_mode);
    int err = errno;
    if (fd < 0 && err != EOPNOTSUPP && err != EISDIR && err != EINVAL) {
        plat_temp_discard(t);
        errno = err;
        return -1;
    }
    if (fd >= 0) {
        int copied = have_target ? copy_ownership(fd, t->target, &target_st) : 0;
        if (copied != 0) {
            err = errno;
            close(fd);
            plat_temp_discard(t);
            errno = err;
            return copied;
        }
        t->fd = fd;
        return 0;
    }
#endif
    // The file system has no unnamed files: a named one, at a name nobody else holds.
    if (at_fresh_name(t, create_named) != 0) {
        int open_err = errno;
        plat_temp_discard(t);
        errno = open_err;
        return -1;
    }
    t->named = 1;
    int copied = have_target ? copy_ownership(t->fd, t->target, &target_st) : 0;
    if (copied != 0) {
        int copy_err = errno;
        plat_temp_discard(t);
        errno = copy_err;
        return copied;
    }
    return 0;
}

int plat_temp_write(plat_temp* t, const void* data, uint64_t n) {
    const uint8_t* p = (const uint8_t*)data;
    while (n > 0) {
        size_t step = n > (uint64_t)SSIZE_MAX ? (size_t)SSIZE_MAX : (size_t)n;
        ssize_t w = write(t->fd, p, step);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (w == 0) {
            errno = ENOSPC;
            return -1;
        }
        p += w;
        n -= (uint64_t)w;
    }
    return 0;
}

// The copy through a buffer of our own, for what the kernel would not copy.
static int copy_through_buffer(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n,
                               int* read_side) {
    uint64_t cap = n < COPY_BUFFER ? n : COPY_BUFFER;
    uint8_t* buf = (uint8_t*)malloc((size_t)cap);
    if (!buf) {
        *read_side = 0;
        errno = ENOMEM;
        return -1;
    }
    while (n > 0) {
        uint64_t step = n < cap ? n : cap;
        int64_t got = plat_pread(src, buf, step, off);
        if (got < 0) {
            int err = errno;
            free(buf);
            *read_side = 1;
            errno = err;
            return -1;
        }
        if (got == 0) {
            free(buf);
            return 1;
        }
        if (plat_temp_write(t, buf, (uint64_t)got) != 0) {
            int err = errno;
            free(buf);
            *read_side = 0;
            errno = err;
            return -1;
        }
        off += (uint64_t)got;
        n -= (uint64_t)got;
    }
    free(buf);
    return 0;
}

// Copies n bytes of src from off, holes included as data.
static int copy_bytes(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n,
                      int* read_side) {
#if defined(__linux__)
    // copy_file_range moves the bytes inside the kernel (or shares extents, on file systems that
    // can), without passing them through this process.
    while (n > 0) {
        loff_t in_off = (loff_t)off;
        size_t step = n > (uint64_t)(1u << 30) ? (size_t)(1u << 30) : (size_t)n;
        ssize_t r = copy_file_range(src->fd, &in_off, t->fd, nullptr, step, 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            // Not offered between these two files, or a failure whose side we want to know: the
            // buffer copy goes on from here and reports it precisely.
            break;
        }
        if (r == 0)
            return 1; // the source is shorter than when it was opened
        off += (uint64_t)r;
        n -= (uint64_t)r;
    }
    if (n == 0)
        return 0;
#endif
    return copy_through_buffer(t, src, off, n, read_side);
}

int plat_temp_copy(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n, int* read_side) {
    *read_side = 0;
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    // The holes of a sparse file stay holes: only its data is copied, and the new file skips
    // ahead over the rest. A file system that does not know holes reports all of it as data.
    uint64_t end = off + n;
    bool skipped = false;
    while (off < end) {
        off_t data = lseek(src->fd, (off_t)off, SEEK_DATA);
        if (data < 0 && errno != ENXIO)
            break; // not offered: a plain copy of the rest
        uint64_t data_at = data < 0 || (uint64_t)data > end ? end : (uint64_t)data;
        if (data_at > off) {
            if (lseek(t->fd, (off_t)(data_at - off), SEEK_CUR) < 0)
                return -1;
            skipped = true;
            off = data_at;
            continue;
        }
        off_t hole = lseek(src->fd, (off_t)off, SEEK_HOLE);
        uint64_t hole_at = hole < 0 || (uint64_t)hole > end ? end : (uint64_t)hole;
        if (hole_at <= off)
            hole_at = end;
        int rc = copy_bytes(t, src, off, hole_at - off, read_side);
        if (rc != 0)
            return rc;
        off = hole_at;
    }
    // A file that ends in a hole gets its length.
    if (skipped) {
        off_t at = lseek(t->fd, 0, SEEK_CUR);
        if (at < 0 || ftruncate(t->fd, at) != 0)
            return -1;
    }
    n = end - off;
    if (n == 0)
        return 0;
#endif
    return copy_bytes(t, src, off, n, read_side);
}

#if defined(__linux__) && defined(FICLONERANGE)
// Block sizes a clone is tried with; outside them the file system's answer is not trusted.
static const uint64_t CLONE_BLOCK_MIN = 512;
static const uint64_t CLONE_BLOCK_MAX = 1u << 16;

// What a file system says when it cannot share these blocks: no clone support at all, another
// volume, offsets it will not take, a file in use as a swap file or program, or an unknown ioctl.
static bool clone_refused(int err) {
    return err == EOPNOTSUPP || err == EXDEV || err == EINVAL || err == ETXTBSY || err == ENOTTY ||
           err == ENOSYS;
}

static int clone_range(int dst_fd, uint64_t dst_off, int src_fd, uint64_t src_off, uint64_t n) {
    struct file_clone_range range;
    range.src_fd = src_fd;
    range.src_offset = src_off;
    range.src_length = n;
    range.dest_offset = dst_off;
    int rc;
    do {
        rc = ioctl(dst_fd, FICLONERANGE, &range);
    } while (rc != 0 && errno == EINTR);
    return rc;
}
#endif

uint64_t plat_temp_clone_block(plat_temp* t, const plat_file* src) {
#if defined(__linux__) && defined(FICLONERANGE)
    struct statfs fs;
    if (fstatfs(t->fd, &fs) != 0)
        return 0;
    uint64_t block = (uint64_t)fs.f_bsize;
    if (block < CLONE_BLOCK_MIN || block > CLONE_BLOCK_MAX || (block & (block - 1)) != 0)
        return 0;
    // A clone from the end of src shares nothing, but a file system without clones refuses it
    // before it looks at the range.
    if (clone_range(t->fd, 0, src->fd, src->size, 0) != 0)
        return 0;
    return block;
#else
    (void)t;
    (void)src;
    return 0;
#endif
}

int plat_temp_clone(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n) {
#if defined(__linux__) && defined(FICLONERANGE)
    off_t at = lseek(t->fd, 0, SEEK_CUR);
    if (at < 0)
        return -1;
    if (clone_range(t->fd, (uint64_t)at, src->fd, off, n) != 0)
        return clone_refused(errno) ? 1 : -1;
    // The clone leaves the file position where it was; later steps expect it at the end.
    return lseek(t->fd, (off_t)n, SEEK_CUR) < 0 ? -1 : 0;
#else
    (void)t;
    (void)src;
    (void)off;
    (void)n;
    return 1;
#endif
}

int plat_temp_sync(plat_temp* t) {
    return fsync(t->fd) == 0 ? 0 : -1;
}

void plat_temp_sync_group(plat_temp* const* temps, int count, int* errs) {
    // Each file gets its own fsync, as when written alone. Their data are handed to the disk
    // first, all of them (Linux: sync_file_range starts the writeback and places the blocks), so
    // that the first fsync's journal commit takes in every file's allocation and the later ones
    // find theirs committed: one after another, each would wait for a commit of its own. The call
    // is a hint (a file system may refuse it); fsync is what decides.
#if defined(__linux__)
    for (int i = 0; i < count; i++)
        sync_file_range(temps[i]->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    for (int i = 0; i < count; i++)
        errs[i] = plat_temp_sync(temps[i]) == 0 ? 0 : errno;
}

// Links an unnamed temporary file at its temporary name, which linkat never takes from another
// file. 0, or -1 with errno (EEXIST: the name is taken).
static int link_at_name(plat_temp* t) {
#ifdef O_TMPFILE
    char proc_path[64];
    snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", t->fd);
    const char* name = base_of(t->temp_name);
    int rc = linkat(AT_FDCWD, proc_path, t->dir_fd, name, AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT)
        rc = linkat(t->fd, "", t->dir_fd, name, AT_EMPTY_PATH); // no /proc
    return rc;
#else
    (void)t;
    errno = EINVAL;
    return -1;
#endif
}

// A taken name is passed over for a fresh one, never removed.
static int link_temp(plat_temp* t) {
    if (at_fresh_name(t, link_at_name) != 0)
        return -1;
    t->named = 1;
    return 0;
}

int plat_temp_close(plat_temp* t) {
    if (!t->named && link_temp(t) != 0)
        return -1;
    int fd = t->fd;
    t->fd = -1;
    // Some file systems report write errors only at close.
    return close(fd) == 0 ? 0 : PLAT_CLOSE_FAILED;
}

static bool rename_refused(int err) {
    return err == EACCES || err == EPERM || err == EROFS || err == EBUSY || err == ETXTBSY ||
           err == EISDIR;
}

// A failed rename's errno in the numbering of Win32 error codes, for its message.
static unsigned long win32_numbering(int err) {
    switch (err) {
    case ENOENT:
        return 2;
    case ENOTDIR:
        return 3;
    case EXDEV:
        return 17;
    case ENOSPC:
    case EDQUOT:
        return 112;
    case ENAMETOOLONG:
        return 206;
    case EIO:
        return 1117;
    case ELOOP:
        return 1921;
    default:
        return 31;
    }
}

int plat_temp_rename(plat_temp* t, const plat_file* src) {
    const char* target_name = base_of(t->target);
    struct stat st;
    bool exists = fstatat(t->dir_fd, target_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    // Only the file that was read is replaced: in the folder we hold, under the same name.
    if (src && (!exists || (uint64_t)st.st_dev != src->device || (uint64_t)st.st_ino != src->inode))
        return PLAT_RENAME_TARGET_CHANGED;
    // A device, FIFO or socket is never replaced by a file.
    if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return PLAT_RENAME_ACCESS_DENIED;
    if (exists && S_ISREG(st.st_mode)) {
        // Windows refuses to replace a read-only file. POSIX rename only asks the folder, and root
        // may write anything, so the target's own permission bits are checked here.
        if ((st.st_mode & 0222) == 0)
            return PLAT_RENAME_ACCESS_DENIED;
        if (faccessat(t->dir_fd, target_name, W_OK, 0) != 0 &&
            (errno == EACCES || errno == EROFS || errno == EPERM)) {
            t->err = errno;
            return PLAT_RENAME_ACCESS_DENIED;
        }
    }
    // The last look at the source, as close to the rename as it can be: bytes appended or written
    // by a program that does not take the writers' lock would be lost with the old file. (A source
    // closed before the rename, on FUSE, was looked at by its path just before.)
    if (src && src->fd >= 0 && !contents_unchanged(src))
        return PLAT_RENAME_TARGET_CHANGED;
    if (renameat(t->dir_fd, base_of(t->temp_name), t->dir_fd, target_name) != 0) {
        t->err = errno;
        // A sticky folder lets only a file's owner (or the folder's) replace it.
        struct stat dir_st;
        if ((t->err == EPERM || t->err == EACCES) && exists && fstat(t->dir_fd, &dir_st) == 0 &&
            (dir_st.st_mode & S_ISVTX) && st.st_uid != geteuid() && dir_st.st_uid != geteuid())
            return PLAT_RENAME_STICKY_FOLDER;
        if (rename_refused(t->err))
            return PLAT_RENAME_ACCESS_DENIED;
        t->code = win32_numbering(t->err);
        return PLAT_RENAME_FAILED;
    }
    t->named = 0;
    return PLAT_RENAMED;
}

int plat_flush_folder(const plat_temp* t) {
    // The rename is an update of the folder: flush the folder so that the new name survives a
    // power cut. A folder held by its path only (not readable) cannot be flushed by us at all.
    if (fsync(t->dir_fd) == 0 || errno == EBADF)
        return 0;
    return -1;
}

void plat_temp_discard(plat_temp* t) {
    if (t->fd >= 0)
        close(t->fd);
    t->fd = -1;
    // Only the name this call created.
    if (t->named && t->temp_name)
        unlinkat(t->dir_fd, base_of(t->temp_name), 0);
    t->named = 0;
    plat_temp_release(t);
}

void plat_temp_release(plat_temp* t) {
    if (t->dir_fd >= 0)
        close(t->dir_fd);
    t->dir_fd = -1;
    free(t->target);
    free(t->temp_name);
    free(t->folder);
    t->target = nullptr;
    t->temp_name = nullptr;
    t->folder = nullptr;
}
