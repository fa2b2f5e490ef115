// File access, where the library reads files: opening a file once for a call and reading only
// the bytes asked for, and whole-file reading (for pictures). Writing files is replace.cpp's.
#include "file_access.h"
#include "platform.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

static int open_failed(const char* path, int rc) {
    if (rc == PLAT_NOT_REGULAR)
        id3_set_error("cannot open: %s (not a regular file)", path);
    else
        id3_set_error("cannot open: %s (%s)", path, strerror(errno));
    return -1;
}

// Reads exactly n bytes of an open file at off. A file that ends early has shrunk since it was
// opened: what was read of it no longer describes it.
static int read_exact(const id3_file* f, uint64_t off, void* out, uint64_t n) {
    int64_t got = plat_pread(&f->pf, out, n, off);
    if (got < 0) {
        id3_set_error("cannot read: %s (%s)", f->path, strerror(errno ? errno : EIO));
        return -1;
    }
    if ((uint64_t)got != n) {
        id3_set_error("file changed while reading: %s", f->path);
        return -1;
    }
    return 0;
}

// Opens path for reading (mode ID3_OPEN_READ), or as the source of its replacement, held against
// other writers until closed (ID3_OPEN_WRITE waits for them; ID3_OPEN_WRITE_NOWAIT returns
// ID3_WOULD_BLOCK with no message instead).
int id3_file_open_mode(id3_file* f, const char* path, int mode) {
    memset(f, 0, sizeof *f);
    f->pf.fd = -1;
    f->path = path;
    int rc = mode == ID3_OPEN_READ ? plat_open_read(path, &f->pf)
                                   : plat_open_write(path, &f->pf, mode == ID3_OPEN_WRITE);
    if (rc == PLAT_WOULD_BLOCK)
        return ID3_WOULD_BLOCK;
    if (rc != 0)
        return open_failed(path, rc);
    f->size = f->pf.size;
    f->prefix_len = f->size < ID3_PREFIX_BYTES ? f->size : ID3_PREFIX_BYTES;
    f->prefix_owned = (uint8_t*)malloc((size_t)f->prefix_len + 1);
    if (!f->prefix_owned) {
        id3_set_error("oom");
        return -1;
    }
    f->prefix = f->prefix_owned;
    return read_exact(f, 0, f->prefix_owned, f->prefix_len);
}

int id3_file_open(id3_file* f, const char* path) {
    return id3_file_open_mode(f, path, ID3_OPEN_READ);
}

void id3_file_from_image(id3_file* f, const uint8_t* data, uint64_t len) {
    memset(f, 0, sizeof *f);
    f->pf.fd = -1;
    f->path = "";
    f->size = len;
    f->prefix = data;
    f->prefix_len = len;
}

void id3_file_close(id3_file* f) {
    plat_close(&f->pf);
    free(f->prefix_owned);
    f->prefix_owned = nullptr;
    f->prefix = nullptr;
}

void id3_file_release_prefix(id3_file* f) {
    free(f->prefix_owned);
    f->prefix_owned = nullptr;
    f->prefix = nullptr;
    f->prefix_len = 0;
}

int id3_file_read(const id3_file* f, uint64_t off, void* out, uint64_t n) {
    if (off > f->size || n > f->size - off) {
        id3_set_error("file changed while reading: %s", f->path);
        return -1;
    }
    if (n == 0)
        return 0;
    // Most reads fall inside the bytes read at open; of one that starts there, only the rest is
    // read from the file.
    if (off < f->prefix_len) {
        uint64_t in_prefix = f->prefix_len - off < n ? f->prefix_len - off : n;
        memcpy(out, f->prefix + off, (size_t)in_prefix);
        out = (uint8_t*)out + in_prefix;
        off += in_prefix;
        n -= in_prefix;
        if (n == 0)
            return 0;
    }
    if (f->pf.fd < 0) {
        id3_set_error("file changed while reading: %s", f->path);
        return -1;
    }
    return read_exact(f, off, out, n);
}

uint8_t* id3_file_dup(const id3_file* f, uint64_t off, uint64_t n) {
    if (n >= SIZE_MAX) {
        id3_set_error("oom");
        return nullptr;
    }
    uint8_t* copy = (uint8_t*)malloc((size_t)n + 1);
    if (!copy) {
        id3_set_error("oom");
        return nullptr;
    }
    if (id3_file_read(f, off, copy, n) != 0) {
        free(copy);
        return nullptr;
    }
    copy[n] = 0;
    return copy;
}

uint8_t* id3_slurp(const char* path, uint64_t* len) {
    *len = 0;
    id3_file f;
    id3_file_guard guard{&f};
    if (id3_file_open(&f, path) != 0)
        return nullptr;
    uint8_t* data = id3_file_dup(&f, 0, f.size);
    if (!data)
        return nullptr;
    // A file that grew since it was opened would be read without its tail.
    uint8_t extra;
    if (plat_pread(&f.pf, &extra, 1, f.size) == 1) {
        free(data);
        id3_set_error("file changed while reading: %s", path);
        return nullptr;
    }
    *len = f.size;
    return data;
}
