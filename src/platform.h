// What differs between Windows and POSIX: opening a file for one call and reading it at offsets,
// the steps of replacing a file atomically, process id and ASCII case-insensitive comparison.
// platform_win32.cpp uses the C runtime's descriptors and Win32 calls; platform_posix.cpp gives the
// same guarantees with POSIX calls.
#ifndef QUORVALE_PLATFORM_H
#define QUORVALE_PLATFORM_H

#include <stdint.h>
#include <stddef.h>

// What the calls below return besides 0 (done) and -1 (failed, errno set): each outcome its own
// code, the same on every system; each side maps its system's errors to them.
// A path that names something other than a regular file or a folder (a FIFO, socket or device).
#define PLAT_NOT_REGULAR (-2)
// No temporary name fits the folder's limits.
#define PLAT_NAME_TOO_LONG (-3)
// The extended attributes of the replaced file cannot be copied to its replacement (errno set).
#define PLAT_XATTRS_FAILED (-4)
// Only the close of a written file failed (errno set).
#define PLAT_CLOSE_FAILED (-5)
// Another writer holds the file, and the caller asked not to wait.
#define PLAT_WOULD_BLOCK (-6)

// A regular file open for reading, with what identifies its contents at the time it was opened.
struct plat_file {
    int fd;
    uint64_t size;
    uint64_t device;
    uint64_t inode;
    int64_t mtime_ns;
    int64_t ctime_ns; // POSIX change time (an edit that restores the modification time moves it)
    void* lock;       // Windows: the named mutex held while the file is written
};

// Opens a regular file for reading without ever blocking (a FIFO is not waited on). 0; -1 with
// errno set (EISDIR for a folder); or PLAT_NOT_REGULAR.
#ifdef _WIN32
// Paths from now on as UTF-8 (on) or in the ANSI code page (off, the default), for the process.
void plat_set_utf8_paths(int on);
#endif

int plat_open_read(const char* path, plat_file* f);
// What stands at path, without opening it for reading: 0 for a regular file (device and inode
// set), PLAT_NOT_REGULAR for a FIFO, socket or device, -1 with errno (EISDIR for a folder,
// ENOENT for nothing).
int plat_identify(const char* path, plat_file* f);
// Reads up to n bytes at offset off; fewer only at the end of the file. The count, or -1 with
// errno.
int64_t plat_pread(const plat_file* f, void* out, uint64_t n, uint64_t off);
// Opens a regular file to be replaced, and waits until no other writer of the same file (another
// process or thread) holds it; the file stays held until plat_close. Readers never wait. A path
// replaced while we waited is opened again, so that what is read is the file now at the path.
// With wait 0, PLAT_WOULD_BLOCK (nothing open) when another writer holds it. Otherwise as
// plat_open_read.
int plat_open_write(const char* path, plat_file* f, int wait);
// Whether the open file still has the size, modification and change times it had when opened,
// and path still names it. 1 when unchanged, 0 when changed.
int plat_file_unchanged(const plat_file* f, const char* path);
// Closes the source before its replacement where the system requires that (Windows refuses to
// rename over an open file). On POSIX the file stays open and held through the rename.
void plat_close_before_replace(plat_file* f);
void plat_close(plat_file* f);

int plat_getpid(void);
// ASCII case-insensitive comparison of at most n bytes, like _strnicmp.
int plat_strnicmp(const char* a, const char* b, size_t n);

// The temporary file of one replacement. Where the file system allows, it has no name until just
// before the rename, so a killed process leaves nothing behind.
struct plat_temp {
    int fd;
    int named;          // has a name in the folder (always after plat_temp_link)
    char* target;       // the file to replace (a symbolic link's final target on POSIX)
    char* temp_name;    // "<target>.quorvale-tmp.<pid>.<random>", the name part shortened if needed
    char* folder;       // the target's folder, flushed after the rename
    int dir_fd;         // POSIX: the folder, opened once; every later step works relative to it
    int err;            // the errno of the last failed step
    unsigned long code; // a failed rename's system code in the numbering of Win32, which the
                        // messages show on every system
    unsigned create_mode;
};

// Creates the temporary file for replacing `path`, with the permission bits, owner and group of
// the file it replaces (on Linux also its extended attributes and ACLs). 0; -1 with errno set;
// PLAT_NAME_TOO_LONG when no temporary name fits; or PLAT_XATTRS_FAILED with errno set when the
// extended attributes cannot be copied (nothing created). On failure the record holds nothing to
// release.
int plat_temp_create(plat_temp* t, const char* path);
// Writes n bytes; 0, or -1 with errno.
int plat_temp_write(plat_temp* t, const void* data, uint64_t n);
// Copies n bytes of src from offset off to the end of the temporary file, in the kernel where it
// can. 0; -1 with errno and *read_side set when reading src failed; 1 when src ended early.
int plat_temp_copy(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n, int* read_side);
// The block size in which the temporary file can share src's blocks, when its file system can
// clone (asked once, with a clone of nothing); 0 when it cannot.
uint64_t plat_temp_clone_block(plat_temp* t, const plat_file* src);
// Shares n bytes of src from off with the end of the temporary file, which must start at the same
// offset in a block (n runs to the end of src or is a whole number of blocks). 0; 1 when the file
// system refuses (nothing written: copy instead); -1 with errno.
int plat_temp_clone(plat_temp* t, const plat_file* src, uint64_t off, uint64_t n);
// Commits the temporary file's data to the disk. 0, or -1 with errno.
int plat_temp_sync(plat_temp* t);
// Commits the data of count temporary files to the disk, each as plat_temp_sync does, in turn; on
// Linux the writeback of all of them is started first, so that the file system commits them
// together. errs[i]: 0, or the errno of file i's failed flush.
void plat_temp_sync_group(plat_temp* const* temps, int count, int* errs);
// Gives the temporary file its name (if it has none) and closes it. 0; -1 with errno, or
// PLAT_CLOSE_FAILED when only the close failed (errno set; the name exists and plat_temp_discard
// removes it).
int plat_temp_close(plat_temp* t);
// Moves the closed temporary file over the target. PLAT_RENAMED, or why not: the target is
// read-only, locked or a folder (PLAT_RENAME_ACCESS_DENIED), is another user's file in a sticky
// folder (PLAT_RENAME_STICKY_FOLDER), or is no longer src (PLAT_RENAME_TARGET_CHANGED); any other
// failure is PLAT_RENAME_FAILED, with t->code set. With src, the target must still be that file:
// nothing else is ever replaced; on POSIX, where src is still open, also with the size and times
// it had when opened, looked at last before the rename, so that an append by a program that takes
// no lock is lost only when it lands in the moment between that look and the rename (or later,
// through a descriptor of the old file).
#define PLAT_RENAMED 0
#define PLAT_RENAME_ACCESS_DENIED 1
#define PLAT_RENAME_TARGET_CHANGED 2
#define PLAT_RENAME_STICKY_FOLDER 3
#define PLAT_RENAME_FAILED 4
int plat_temp_rename(plat_temp* t, const plat_file* src);
// Flushes the target's folder so that the rename survives a power cut. 0, or -1 with errno.
int plat_flush_folder(const plat_temp* t);
// Closes and removes the temporary file, if any, and releases the record's texts.
void plat_temp_discard(plat_temp* t);
// Releases the record's texts after a successful rename.
void plat_temp_release(plat_temp* t);

#endif
