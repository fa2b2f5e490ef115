// POSIX side of the platform layer. The replacement steps give what a Windows caller gets from
// MoveFileExA and FlushFileBuffers, and no weaker guarantees:
//   - a target whose permission bits grant write to nobody is refused like a read-only file, also
//     when the process runs as root;
//   - the new file keeps the target's permission bits, owner and group (where allowed);
//   - the temporary file is never opened through a symbolic link planted at its name;
//   - after the rename the directory is flushed too, so the rename itself survives a power cut;
//   - a target that is a symbolic link stays one: the file it names is replaced.
//
// Rename failures map to Windows system error codes:
//   EACCES EPERM EROFS EBUSY ETXTBSY EISDIR -> 5   ERROR_ACCESS_DENIED
//   ENOENT                                  -> 2   ERROR_FILE_NOT_FOUND
//   ENOTDIR                                 -> 3   ERROR_PATH_NOT_FOUND
//   EXDEV                                   -> 17  ERROR_NOT_SAME_DEVICE
//   ENOSPC EDQUOT                           -> 112 ERROR_DISK_FULL
//   ENAMETOOLONG                            -> 206 ERROR_FILENAME_EXCED_RANGE
//   EIO                                     -> 1117 ERROR_IO_DEVICE
//   ELOOP                                   -> 1921 ERROR_CANT_RESOLVE_FILENAME
//   anything else                           -> 31  ERROR_GEN_FAILURE
#include "platform.h"

#include "id3_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

int plat_seek_end(FILE* f) {
    return fseeko(f, 0, SEEK_END);
}

int64_t plat_tell(FILE* f) {
    return (int64_t)ftello(f);
}

int plat_getpid(void) {
    return (int)getpid();
}

int plat_strnicmp(const char* a, const char* b, size_t n) {
    return strncasecmp(a, b, n);
}

void plat_unlink(const char* path) {
    unlink(path);
}

// A malloc'd copy of the folder part of path ("." when there is none), or NULL when memory runs
// out. Plain buffers, not std::string: nothing here may throw through the C interface.
static char* dir_of(const char* path) {
    const char* slash = strrchr(path, '/');
    if (!slash)
        return strdup(".");
    if (slash == path)
        return strdup("/");
    return strndup(path, (size_t)(slash - path));
}

char* plat_replace_target(const char* path) {
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

FILE* plat_create_temp(const char* temp_path, const char* target) {
    // A file left at the temporary name (by a killed process, or planted) is removed rather than
    // reused: O_EXCL and O_NOFOLLOW then make sure we write into a file we created ourselves, never
    // through a link into another file.
    unlink(temp_path);
    struct stat target_st;
    bool have_target = stat(target, &target_st) == 0 && S_ISREG(target_st.st_mode);
    int fd = open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  have_target ? 0600 : 0666);
    if (fd < 0)
        return nullptr;
    if (have_target) {
        // The replacement must not widen access to a private file: owner and group first (which
        // clears set-id bits), then the exact permission bits.
        if (fchown(fd, target_st.st_uid, target_st.st_gid) != 0) {
            // Not allowed for an unprivileged process on another user's file: the new file is
            // then ours, with the target's permission bits.
        }
        if (fchmod(fd, target_st.st_mode & 07777) != 0) {
            int err = errno;
            close(fd);
            unlink(temp_path);
            errno = err;
            return nullptr;
        }
    }
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        int err = errno;
        close(fd);
        unlink(temp_path);
        errno = err;
    }
    return f;
}

int plat_flush_to_disk(FILE* f) {
    int fd = fileno(f);
    if (fd < 0)
        return 0;
    return fsync(fd) == 0 ? 0 : -1;
}

static unsigned long windows_code(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY:
    case EISDIR:
        return 5;
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

unsigned long plat_replace_file(const char* temp_path, const char* target) {
    struct stat st;
    if (stat(target, &st) == 0 && S_ISREG(st.st_mode)) {
        // Windows refuses to replace a read-only file. POSIX rename only asks the directory, and
        // root may write anything, so the target's own permission bits are checked here.
        if ((st.st_mode & 0222) == 0)
            return 5;
        if (access(target, W_OK) != 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
            return 5;
    }
    if (rename(temp_path, target) != 0)
        return windows_code(errno);
    // The rename is an update of the directory: flush the directory so that the new name survives
    // a power cut. The target already holds the new contents; a failure here cannot be undone, but
    // the caller learns that the new name may not survive.
    char* dir = dir_of(target);
    int dir_fd = dir ? open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    unsigned long result = 0;
    if (dir_fd >= 0) {
        if (fsync(dir_fd) != 0) {
            id3_set_error("folder flush failed: %s (%s)", dir, strerror(errno));
            result = PLAT_FOLDER_FLUSH_FAILED;
        }
        close(dir_fd);
    }
    free(dir);
    return result;
}
