// What differs between Windows and POSIX: 64-bit seeking, process id, ASCII case-insensitive
// comparison, and the steps of replacing a file atomically. platform_win32.cpp calls the C runtime
// and Win32 functions directly; platform_posix.cpp gives the same guarantees with POSIX calls.
#ifndef QUORVALE_PLATFORM_H
#define QUORVALE_PLATFORM_H

#include <stdint.h>
#include <stddef.h>
#include <stdio.h>

// Seeks to the end (0 from SEEK_END) with a 64-bit offset; 0 on success.
int plat_seek_end(FILE* f);
// The 64-bit position, or a negative value on failure.
int64_t plat_tell(FILE* f);
int plat_getpid(void);
// ASCII case-insensitive comparison of at most n bytes, like _strnicmp.
int plat_strnicmp(const char* a, const char* b, size_t n);
// Deletes a file; the outcome is not reported.
void plat_unlink(const char* path);

// The file that a write to `path` must replace: on POSIX a symbolic link is followed to the file it
// names, so the link stays a link. Returns a malloc'd path, or NULL when memory runs out.
char* plat_replace_target(const char* path);
// Creates (or empties) the temporary file for writing in binary mode, never following a symbolic
// link at its name, with the permission bits of `target` when it exists. NULL with errno set.
FILE* plat_create_temp(const char* temp_path, const char* target);
// Commits a stream's data to the disk after fflush. 0 on success, -1 with errno set.
int plat_flush_to_disk(FILE* f);
// Moves `temp_path` over `target`, replacing it. 0 on success, else a Windows system error code
// (5 is ERROR_ACCESS_DENIED: a read-only or locked target), or PLAT_FOLDER_FLUSH_FAILED when the
// target was replaced but its folder could not be flushed (the message is then recorded).
#define PLAT_FOLDER_FLUSH_FAILED 0xFFFFFFFFul
unsigned long plat_replace_file(const char* temp_path, const char* target);

#endif
