// Windows side of the platform layer: the C runtime's 64-bit stream functions and the Win32 calls
// that replace a file. Paths are narrow texts in the ANSI code page, passed unchanged to the
// runtime's fopen and to the A functions of Win32.
//
// Replacing a file: the temporary file is written, flushed with fflush, committed to the disk with
// FlushFileBuffers, closed, and moved over the target with MoveFileExA(MOVEFILE_REPLACE_EXISTING).
// Windows refuses that move with ERROR_ACCESS_DENIED when the target is read-only, a folder, or
// open without FILE_SHARE_DELETE; the code is handed back unchanged to the caller.
#include "platform.h"

#include <errno.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int plat_seek_end(FILE* f) {
    return _fseeki64(f, 0, SEEK_END);
}

int64_t plat_tell(FILE* f) {
    return (int64_t)_ftelli64(f);
}

int plat_getpid(void) {
    return (int)_getpid();
}

int plat_strnicmp(const char* a, const char* b, size_t n) {
    return _strnicmp(a, b, n);
}

void plat_unlink(const char* path) {
    _unlink(path);
}

char* plat_replace_target(const char* path) {
    // MoveFileExA replaces a symbolic link itself, not the file it names; the path is used as
    // given.
    size_t n = strlen(path) + 1;
    char* out = (char*)malloc(n);
    if (out)
        memcpy(out, path, n);
    return out;
}

FILE* plat_create_temp(const char* temp_path, const char* target) {
    (void)target;
    return fopen(temp_path, "wb");
}

// The errno value closest to a Win32 error code of a failed flush, for the message's text.
static int errno_of_win32(DWORD code) {
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    default:
        return EIO;
    }
}

int plat_flush_to_disk(FILE* f) {
    int fd = _fileno(f);
    if (fd < 0)
        return 0;
    intptr_t handle = _get_osfhandle(fd);
    if (handle == -1) {
        errno = EBADF;
        return -1;
    }
    // The stream's buffer went to the system with fflush; this pushes the system's cache of the
    // file to the disk, so that the rename cannot reach the disk before the data does.
    if (!FlushFileBuffers((HANDLE)handle)) {
        errno = errno_of_win32(GetLastError());
        return -1;
    }
    return 0;
}

unsigned long plat_replace_file(const char* temp_path, const char* target) {
    if (MoveFileExA(temp_path, target, MOVEFILE_REPLACE_EXISTING))
        return 0;
    // Taken at once, before any other call can change it.
    DWORD code = GetLastError();
    // A failure must never read as success.
    return code != 0 ? (unsigned long)code : (unsigned long)ERROR_GEN_FAILURE;
}
