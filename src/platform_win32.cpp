// Windows side of the platform layer: Win32 file handles, held as C runtime descriptors
// (_open_osfhandle) so that the records look as they do on POSIX. Paths are narrow texts in the
// ANSI code page, passed unchanged to the A functions of Win32, or UTF-8 texts once the process
// has switched to them (plat_set_utf8_paths), converted for the W functions.
//
// Reading: a file is opened once with every share mode, so that other programs may still read,
// write, rename or delete it while a call reads it; reads are positioned (ReadFile with an
// offset). Only disk files are read: pipes, consoles and devices such as NUL are refused before
// anything waits on them.
//
// Writers of one file take turns: each holds a named mutex, "Local\quorvale-id3-write-" with the
// file's volume serial number and file index, from before it reads the file until after its
// rename (a byte-range lock cannot serve, as it goes with the source handle, which must be closed
// before MoveFileExA). The mutex is owned by the thread, so threads of one process take turns as
// well; Windows releases it if its owner dies. It covers the writers of one session. Readers take
// none and never wait.
//
// Replacing a file: the temporary file "<target>.quorvale-tmp.<pid>.<random>" (created with
// CREATE_NEW: a name that is taken is passed over, never removed) is written, committed to the
// disk with FlushFileBuffers, closed, and moved over the target with
// MoveFileExA(MOVEFILE_REPLACE_EXISTING). Windows refuses that move with ERROR_ACCESS_DENIED when
// the target is read-only, a folder, or open without FILE_SHARE_DELETE (PLAT_RENAME_ACCESS_DENIED);
// any other failure's code is handed unchanged to the message. NTFS records the rename in its
// journal; Windows offers programs without administrator rights no flush of a folder or of a
// volume.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

// Bytes moved per ReadFile or WriteFile, and the copy buffer of plat_temp_copy.
static const uint64_t IO_STEP = 1u << 20;
// The longest temporary name, terminator included.
static const size_t TEMP_NAME_MAX = 4096;
static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Paths as UTF-8 (id3_use_utf8_paths): each path is converted to UTF-16 and made absolute with
// the long-path prefix "\\?\" before it reaches the W functions, so that a name the ANSI code page
// cannot spell, and a path longer than MAX_PATH, can be opened without a manifest in the host
// program. Off (the default) the A functions take the narrow path as before. One switch for the
// process: a host sets it once at start, before calls run in other threads.
static volatile LONG g_utf8_paths = 0;

void plat_set_utf8_paths(int on) {
    InterlockedExchange(&g_utf8_paths, on ? 1 : 0);
}

// The wide, absolute, prefixed form of a UTF-8 path ("\\?\C:\...", "\\?\UNC\server\..."), in a
// block the caller frees; NULL with the Win32 error set (a path that is not UTF-8:
// ERROR_NO_UNICODE_TRANSLATION).
static wchar_t* long_wide_path(const char* path) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0)
        return nullptr;
    wchar_t* wide = (wchar_t*)malloc((size_t)n * sizeof(wchar_t));
    if (!wide) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, n);
    // Already prefixed ("\\?\", "\\.\"): used as given, as Windows does.
    if (wcsncmp(wide, L"\\\\?\\", 4) == 0 || wcsncmp(wide, L"\\\\.\\", 4) == 0)
        return wide;
    // The full path: "/" becomes "\", "." and ".." go, a relative path joins the current folder
    // (the prefix turns all of that off).
    DWORD full_len = GetFullPathNameW(wide, 0, nullptr, nullptr);
    static const wchar_t UNC_PREFIX[] = L"\\\\?\\UNC";
    const size_t prefix_max = sizeof UNC_PREFIX / sizeof(wchar_t);
    wchar_t* full =
        full_len ? (wchar_t*)malloc((full_len + prefix_max) * sizeof(wchar_t)) : nullptr;
    if (!full) {
        free(wide);
        if (full_len)
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD got = GetFullPathNameW(wide, full_len, full + prefix_max, nullptr);
    free(wide);
    if (got == 0 || got >= full_len) {
        free(full);
        return nullptr;
    }
    wchar_t* body = full + prefix_max;
    if (wcsncmp(body, L"\\\\", 2) == 0) { // \\server\share\... -> \\?\UNC\server\share\...
        body += 1;
        wmemcpy(body - (prefix_max - 1), UNC_PREFIX, prefix_max - 1);
        body -= prefix_max - 1;
    } else {
        body -= 4;
        wmemcpy(body, L"\\\\?\\", 4);
    }
    memmove(full, body, (wcslen(body) + 1) * sizeof(wchar_t));
    return full;
}

// The Win32 calls that take a path, by the process's choice of paths.
static HANDLE create_file(const char* path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags) {
    if (!g_utf8_paths)
        return CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    wchar_t* wide = long_wide_path(path);
    if (!wide)
        return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
    DWORD code = GetLastError();
    free(wide);
    SetLastError(code);
    return h;
}

static DWORD file_attributes(const char* path) {
    if (!g_utf8_paths)
        return GetFileAttributesA(path);
    wchar_t* wide = long_wide_path(path);
    DWORD attrs = wide ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    free(wide);
    return attrs;
}

static BOOL move_file(const char* from, const char* to, DWORD flags) {
    if (!g_utf8_paths)
        return MoveFileExA(from, to, flags);
    wchar_t* wide_from = long_wide_path(from);
    wchar_t* wide_to = wide_from ? long_wide_path(to) : nullptr;
    BOOL moved = wide_to ? MoveFileExW(wide_from, wide_to, flags) : FALSE;
    DWORD code = GetLastError();
    free(wide_from);
    free(wide_to);
    SetLastError(code);
    return moved;
}

static BOOL delete_file(const char* path) {
    if (!g_utf8_paths)
        return DeleteFileA(path);
    wchar_t* wide = long_wide_path(path);
    BOOL deleted = wide ? DeleteFileW(wide) : FALSE;
    DWORD code = GetLastError();
    free(wide);
    SetLastError(code);
    return deleted;
}

// The errno value closest to a Win32 error code, for the text of a message.
static int errno_of_win32(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_PATHNAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_DRIVE_LOCKED:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_QUOTA:
        return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_INVALID_NAME: // a character that no name may hold, such as '?' (as fopen says)
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
        return EINVAL;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    default:
        return EIO;
    }
}

static int fail_with(DWORD code) {
    errno = errno_of_win32(code);
    return -1;
}

static HANDLE handle_of(int fd) {
    return (HANDLE)_get_osfhandle(fd);
}

// What identifies a file's contents: 0, or -1 with errno.
static int info_of(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    return GetFileInformationByHandle(h, info) ? 0 : fail_with(GetLastError());
}

static uint64_t size_of(const BY_HANDLE_FILE_INFORMATION* info) {
    return ((uint64_t)info->nFileSizeHigh << 32) | info->nFileSizeLow;
}

static uint64_t index_of(const BY_HANDLE_FILE_INFORMATION* info) {
    return ((uint64_t)info->nFileIndexHigh << 32) | info->nFileIndexLow;
}

// The last write time in nanoseconds since 1970. A FILETIME counts 100 ns steps since 1601; the
// arithmetic is unsigned, so a time past 2262 wraps instead of overflowing (the value is only
// compared).
static int64_t mtime_ns_of(const BY_HANDLE_FILE_INFORMATION* info) {
    uint64_t ticks = ((uint64_t)info->ftLastWriteTime.dwHighDateTime << 32) |
                     info->ftLastWriteTime.dwLowDateTime;
    return (int64_t)((ticks - 116444736000000000ull) * 100u);
}

int plat_open_read(const char* path, plat_file* f) {
    f->fd = -1;
    f->lock = nullptr;
    f->ctime_ns = 0;
    // Every share mode: other programs may go on writing, renaming or deleting the file.
    HANDLE h = create_file(path, GENERIC_READ, SHARE_ALL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // A folder cannot be opened as a file, and CreateFileA says only "access denied".
        DWORD attrs = code == ERROR_ACCESS_DENIED ? file_attributes(path) : 0;
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            errno = EISDIR;
            return -1;
        }
        return fail_with(code);
    }
    // Pipes, consoles and devices: a read could wait for ever, and there is no size to trust.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return PLAT_NOT_REGULAR;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int rc = info_of(h, &info);
    if (rc == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        rc = -1;
    }
    int fd = rc == 0 ? _open_osfhandle((intptr_t)h, _O_RDONLY) : -1;
    if (fd < 0) {
        int err = errno;
        CloseHandle(h);
        errno = err;
        return -1;
    }
    f->fd = fd;
    f->size = size_of(&info);
    f->device = info.dwVolumeSerialNumber;
    f->inode = index_of(&info);
    f->mtime_ns = mtime_ns_of(&info);
    return 0;
}

int64_t plat_pread(const plat_file* f, void* out, uint64_t n, uint64_t off) {
    HANDLE h = handle_of(f->fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    uint64_t got = 0;
    while (got < n) {
        DWORD want = (DWORD)(n - got < IO_STEP ? n - got : IO_STEP);
        uint64_t at = off + got;
        OVERLAPPED where = {};
        where.Offset = (DWORD)at;
        where.OffsetHigh = (DWORD)(at >> 32);
        DWORD r = 0;
        if (!ReadFile(h, (uint8_t*)out + got, want, &r, &where)) {
            DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF)
                break;
            return fail_with(code);
        }
        if (r == 0)
            break;
        got += r;
    }
    return (int64_t)got;
}

int plat_file_unchanged(const plat_file* f, const char* path) {
    BY_HANDLE_FILE_INFORMATION now;
    if (info_of(handle_of(f->fd), &now) != 0 || size_of(&now) != f->size ||
        mtime_ns_of(&now) != f->mtime_ns)
        return 0;
    // Another program may have moved a different file to the path. Opening for the attributes
    // alone is allowed whatever share modes the file's other handles have.
    HANDLE h = create_file(path, FILE_READ_ATTRIBUTES, SHARE_ALL, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION there;
    int rc = info_of(h, &there);
    CloseHandle(h);
    return rc == 0 && there.dwVolumeSerialNumber == f->device && index_of(&there) == f->inode;
}

void plat_close_before_replace(plat_file* f) {
    if (f->fd >= 0)
        _close(f->fd);
    f->fd = -1;
}

void plat_close(plat_file* f) {
    plat_close_before_replace(f);
    if (f->lock) {
        ReleaseMutex((HANDLE)f->lock);
        CloseHandle((HANDLE)f->lock);
        f->lock = nullptr;
    }
}

// Identifies the file at path without opening its contents. 0, or -1 with errno.
static int identify_at(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = create_file(path, FILE_READ_ATTRIBUTES, SHARE_ALL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE)
        return fail_with(GetLastError());
    int rc = info_of(h, info);
    DWORD type = GetFileType(h);
    CloseHandle(h);
    if (rc == 0 && type != FILE_TYPE_DISK)
        return PLAT_NOT_REGULAR;
    return rc;
}

int plat_identify(const char* path, plat_file* f) {
    f->fd = -1;
    f->lock = nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    int rc = identify_at(path, &info);
    if (rc != 0)
        return rc;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return -1;
    }
    f->size = size_of(&info);
    f->device = info.dwVolumeSerialNumber;
    f->inode = index_of(&info);
    f->mtime_ns = mtime_ns_of(&info);
    f->ctime_ns = 0;
    return 0;
}

int plat_open_write(const char* path, plat_file* f, int wait) {
    for (;;) {
        int rc = plat_open_read(path, f);
        if (rc != 0)
            return rc;
        char name[96];
        snprintf(name, sizeof name, "Local\\quorvale-id3-write-%08llx-%016llx",
                 (unsigned long long)f->device, (unsigned long long)f->inode);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        if (!mutex) {
            DWORD code = GetLastError();
            plat_close(f);
            return fail_with(code);
        }
        DWORD got = WaitForSingleObject(mutex, wait ? INFINITE : 0);
        if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
            DWORD code = GetLastError();
            CloseHandle(mutex);
            plat_close(f);
            if (got == WAIT_TIMEOUT)
                return PLAT_WOULD_BLOCK;
            return fail_with(code);
        }
        f->lock = mutex;
        // The writer we waited for may have moved its new file over this one: that file, now at
        // the path, is the one to read and update.
        BY_HANDLE_FILE_INFORMATION info, there;
        if (info_of(handle_of(f->fd), &info) == 0 && identify_at(path, &there) == 0 &&
            there.dwVolumeSerialNumber == f->device && index_of(&there) == f->inode) {
            f->size = size_of(&info);
            f->mtime_ns = mtime_ns_of(&info);
            return 0;
        }
        plat_close(f);
    }
}

int plat_getpid(void) {
    return (int)_getpid();
}

int plat_strnicmp(const char* a, const char* b, size_t n) {
    return _strnicmp(a, b, n);
}

// The folder part of a path, for messages: up to the last separator ("C:\" and "\" keep theirs),
// "." when there is none. A separator byte inside a double-byte character of the code page does
// not count. malloc'd; NULL when memory runs out.
static char* folder_of(const char* path) {
    size_t drive = path[0] && path[1] == ':' ? 2 : 0;
    const char* cut = nullptr;
    for (const char* p = path + drive; *p; p++) {
        if (IsDBCSLeadByte((BYTE)*p) && p[1])
            p++;
        else if (*p == '\\' || *p == '/')
            cut = p;
    }
    size_t len = cut ? (size_t)(cut - path) : drive;
    if (cut && len == drive)
        len++;
    const char* text = len > 0 ? path : ".";
    if (len == 0)
        len = 1;
    char* out = (char*)malloc(len + 1);
    if (out) {
        memcpy(out, text, len);
        out[len] = '\0';
    }
    return out;
}

static char* copy_of(const char* text) {
    size_t n = strlen(text) + 1;
    char* out = (char*)malloc(n);
    if (out)
        memcpy(out, text, n);
    return out;
}

int plat_temp_create(plat_temp* t, const char* path) {
    t->fd = -1;
    t->named = 0;
    t->err = 0;
    t->code = 0;
    t->temp_name = nullptr;
    // MoveFileExA replaces a symbolic link itself, not the file it names; the path is used as
    // given.
    t->target = copy_of(path);
    t->folder = t->target ? folder_of(path) : nullptr;
    size_t path_len = strlen(path);
    // ".quorvale-tmp.<pid>.<random>": CREATE_NEW makes sure that we write into a file we created,
    // never through a link planted at the name; a name that is taken is passed over for another,
    // and whatever stands there is left alone.
    const size_t suffix_max = 48;
    if (path_len + suffix_max >= TEMP_NAME_MAX) {
        plat_temp_release(t);
        errno = ENAMETOOLONG;
        return PLAT_NAME_TOO_LONG;
    }
    t->temp_name = t->folder ? (char*)malloc(path_len + suffix_max + 1) : nullptr;
    if (!t->temp_name) {
        plat_temp_release(t);
        errno = ENOMEM;
        return -1;
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD code = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; attempt++) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        uint64_t x = (uint64_t)now.QuadPart ^ ((uint64_t)GetCurrentThreadId() << 32) ^
                     (uint64_t)attempt * 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        snprintf(t->temp_name, path_len + suffix_max + 1, "%s.quorvale-tmp.%d.%08x", path,
                 plat_getpid(), (unsigned)(x ^ (x >> 31)));
        h = create_file(t->temp_name, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL);
        if (h == INVALID_HANDLE_VALUE)
            code = GetLastError();
        if (h == INVALID_HANDLE_VALUE && code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        plat_temp_release(t);
        return fail_with(code);
    }
    t->named = 1;
    t->fd = _open_osfhandle((intptr_t)h, 0);
    if (t->fd < 0) {
        int err = errno;
        CloseHandle(h);
        plat_temp_discard(t);
        errno = err;
        return -1;
    }
    return 0;
}

int plat_temp_write(plat_temp* t, const void* data, uint64_t n) {
    HANDLE h = handle_of(t->fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    const uint8_t* p = (const uint8_t*)data;
    while (n > 0) {
        DWORD step = (DWORD)(n < IO_STEP ? n : IO_STEP);
        DWORD w = 0;
        if (!WriteFile(h, p, step, &w, nullptr))
            return fail_with(GetLastError());
        if (w == 0) {
            errno = ENOSPC;
            return -1;
        }
        p += w;
        n -= w;
    }
    return 0;
}

int plat_temp_copy(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n, int* read_side) {
    *read_side = 0;
    uint64_t cap = n < IO_STEP ? n : IO_STEP;
    uint8_t* buf = (uint8_t*)malloc((size_t)cap + 1);
    if (!buf) {
        errno = ENOMEM;
        return -1;
    }
    int rc = 0;
    while (n > 0 && rc == 0) {
        int64_t got = plat_pread(src, buf, n < cap ? n : cap, off);
        if (got < 0) {
            *read_side = 1;
            rc = -1;
        } else if (got == 0) {
            rc = 1; // the source is shorter than when it was opened
        } else if (plat_temp_write(t, buf, (uint64_t)got) != 0) {
            rc = -1;
        } else {
            off += (uint64_t)got;
            n -= (uint64_t)got;
        }
    }
    int err = errno;
    free(buf);
    errno = err;
    return rc;
}

// Block cloning (FSCTL_DUPLICATE_EXTENTS_TO_FILE on ReFS and Dev Drive) is not used yet: every
// replacement copies.
uint64_t plat_temp_clone_block(plat_temp* t, const plat_file* src) {
    (void)t;
    (void)src;
    return 0;
}

int plat_temp_clone(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n) {
    (void)t;
    (void)src;
    (void)off;
    (void)n;
    return 1;
}

int plat_temp_sync(plat_temp* t) {
    HANDLE h = handle_of(t->fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    // Pushes the system's cache of the file to the disk, so that the rename cannot reach the disk
    // before the data does.
    return FlushFileBuffers(h) ? 0 : fail_with(GetLastError());
}

void plat_temp_sync_group(plat_temp* const* temps, int count, int* errs) {
    for (int i = 0; i < count; i++)
        errs[i] = plat_temp_sync(temps[i]) == 0 ? 0 : errno;
}

int plat_temp_close(plat_temp* t) {
    int fd = t->fd;
    t->fd = -1;
    return _close(fd) == 0 ? 0 : PLAT_CLOSE_FAILED;
}

int plat_temp_rename(plat_temp* t, const plat_file* src) {
    // The source, closed by now, was checked against the path just before; the mutex keeps other
    // writers of it from moving a file there since.
    (void)src;
    if (move_file(t->temp_name, t->target, MOVEFILE_REPLACE_EXISTING)) {
        t->named = 0;
        return PLAT_RENAMED;
    }
    // Taken at once, before any other call can change it.
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED)
        return PLAT_RENAME_ACCESS_DENIED;
    // A failure must never read as success.
    t->code = code != 0 ? (unsigned long)code : (unsigned long)ERROR_GEN_FAILURE;
    return PLAT_RENAME_FAILED;
}

int plat_flush_folder(const plat_temp* t) {
    (void)t;
    return 0;
}

void plat_temp_discard(plat_temp* t) {
    if (t->fd >= 0)
        _close(t->fd);
    t->fd = -1;
    if (t->named && t->temp_name)
        delete_file(t->temp_name);
    t->named = 0;
    plat_temp_release(t);
}

void plat_temp_release(plat_temp* t) {
    free(t->target);
    free(t->temp_name);
    free(t->folder);
    t->target = nullptr;
    t->temp_name = nullptr;
    t->folder = nullptr;
}
