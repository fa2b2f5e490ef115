// qid3_faultfs: a small FUSE file system for the I/O fault tests. It mirrors a backing folder and
// fails the operations its rules name, so that a test can make one step of a file replacement fail
// the way a full disk, a bad sector or a broken network share makes it fail.
//
//   qid3_faultfs BACKING MOUNTPOINT [RULE...]
//
// A rule is OP:MATCH[:ERRNO[:ARG]]; MATCH is a text the file's path must contain ("*" matches
// every path). Rules:
//   read:MATCH:ERR:OFFSET    a read that reaches beyond OFFSET fails
//   write:MATCH:ERR:OFFSET   a write that reaches beyond OFFSET fails (ENOSPC: a full disk)
//   fsync:MATCH:ERR          committing the file to the disk fails
//   flush:MATCH:ERR          closing the file fails
//   create:MATCH:ERR         creating the file fails
//   rename:MATCH:ERR         a rename from or to the path fails
//   fsyncdir:MATCH:ERR       committing a folder to the disk fails
//   open:MATCH:ERR:N         opening for reading (or reading and writing) fails from the (N+1)-th
//   time on size:MATCH:-:DELTA       the size reported for the file is off by DELTA bytes (a file
//   that
//                            shrank or grew since its size was taken)
//   versions:MATCH           the k-th opening for reading serves the backing file PATH.v<k> (the
//                            last one there is, once k runs past them): a file that changes
//                            between two reads
//   log:FILE                 every rename and folder flush is appended to FILE as it happens,
//                            one a line: "rename FROM TO" or "fsyncdir FOLDER" (paths as seen
//                            from the mount point; a failing operation is logged too)
// Data are never cached (direct I/O, no attribute caching), so every operation reaches us.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct fault_rule {
    std::string op;
    std::string match;
    int error = EIO;
    long long arg = 0;
};

std::string g_backing;
std::vector<fault_rule> g_rules;
std::map<std::string, int> g_read_opens; // per path, for "open" and "versions"
std::string g_log;                       // the "log" rule's file, or empty

void log_operation(const std::string& line) {
    if (g_log.empty())
        return;
    FILE* f = fopen(g_log.c_str(), "a");
    if (!f)
        return;
    fprintf(f, "%s\n", line.c_str());
    fclose(f);
}

bool path_matches(const fault_rule& r, const char* path) {
    return r.match == "*" || strstr(path, r.match.c_str()) != nullptr;
}

const fault_rule* find_rule(const char* op, const char* path) {
    for (const fault_rule& r : g_rules) {
        if (r.op == op && path_matches(r, path))
            return &r;
    }
    return nullptr;
}

std::string real(const char* path) {
    return g_backing + path;
}

int error_number(const std::string& name) {
    static const std::map<std::string, int> names = {
        {"EIO", EIO},     {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EPERM", EPERM},
        {"EROFS", EROFS}, {"EDQUOT", EDQUOT}, {"ENOENT", ENOENT}, {"-", 0}};
    auto it = names.find(name);
    if (it == names.end()) {
        fprintf(stderr, "qid3_faultfs: unknown error name %s\n", name.c_str());
        exit(2);
    }
    return it->second;
}

fault_rule parse_rule(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() < 2) {
        fprintf(stderr, "qid3_faultfs: bad rule %s\n", text.c_str());
        exit(2);
    }
    fault_rule r;
    r.op = parts[0];
    r.match = parts[1];
    if (parts.size() > 2)
        r.error = error_number(parts[2]);
    if (parts.size() > 3)
        r.arg = atoll(parts[3].c_str());
    return r;
}

int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    int rc = fi ? fstat((int)fi->fh, st) : lstat(real(path).c_str(), st);
    if (rc != 0)
        return -errno;
    if (const fault_rule* r = find_rule("size", path)) {
        if (S_ISREG(st->st_mode))
            st->st_size = st->st_size + r->arg < 0 ? 0 : st->st_size + r->arg;
    }
    return 0;
}

int fs_access(const char* path, int mask) {
    return access(real(path).c_str(), mask) == 0 ? 0 : -errno;
}

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
               enum fuse_readdir_flags) {
    DIR* d = opendir(real(path).c_str());
    if (!d)
        return -errno;
    while (struct dirent* e = readdir(d))
        fill(buf, e->d_name, nullptr, 0, (enum fuse_fill_dir_flags)0);
    closedir(d);
    return 0;
}

int fs_open(const char* path, struct fuse_file_info* fi) {
    std::string file = real(path);
    // A writer opens its source for reading and writing (to lock it): that counts as reading.
    if ((fi->flags & O_ACCMODE) != O_WRONLY) {
        int opened = ++g_read_opens[path];
        const fault_rule* r = find_rule("open", path);
        if (r && opened > r->arg)
            return -r->error;
        if (find_rule("versions", path)) {
            // The k-th version, or the last one there is.
            for (int k = opened; k >= 1; k--) {
                std::string version = file + ".v" + std::to_string(k);
                if (access(version.c_str(), F_OK) == 0) {
                    file = version;
                    break;
                }
            }
        }
    }
    int fd = open(file.c_str(), fi->flags & ~O_CREAT);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    fi->direct_io = 1;
    return 0;
}

int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
    if (const fault_rule* r = find_rule("create", path))
        return -r->error;
    int fd = open(real(path).c_str(), fi->flags, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    fi->direct_io = 1;
    return 0;
}

int fs_read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    const fault_rule* r = find_rule("read", path);
    if (r && (long long)(offset + (off_t)size) > r->arg)
        return -r->error;
    ssize_t n = pread((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

int fs_write(const char* path, const char* buf, size_t size, off_t offset,
             struct fuse_file_info* fi) {
    const fault_rule* r = find_rule("write", path);
    if (r && (long long)(offset + (off_t)size) > r->arg)
        return -r->error;
    ssize_t n = pwrite((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

int fs_flush(const char* path, struct fuse_file_info*) {
    if (const fault_rule* r = find_rule("flush", path))
        return -r->error;
    return 0;
}

int fs_release(const char*, struct fuse_file_info* fi) {
    close((int)fi->fh);
    return 0;
}

int fs_fsync(const char* path, int, struct fuse_file_info* fi) {
    if (const fault_rule* r = find_rule("fsync", path))
        return -r->error;
    return fsync((int)fi->fh) == 0 ? 0 : -errno;
}

int fs_fsyncdir(const char* path, int, struct fuse_file_info*) {
    log_operation(std::string("fsyncdir ") + path);
    if (const fault_rule* r = find_rule("fsyncdir", path))
        return -r->error;
    int fd = open(real(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -errno;
    int rc = fsync(fd) == 0 ? 0 : -errno;
    close(fd);
    return rc;
}

int fs_rename(const char* from, const char* to, unsigned int flags) {
    if (flags != 0)
        return -EINVAL;
    log_operation(std::string("rename ") + from + " " + to);
    for (const char* path : {from, to}) {
        if (const fault_rule* r = find_rule("rename", path))
            return -r->error;
    }
    return rename(real(from).c_str(), real(to).c_str()) == 0 ? 0 : -errno;
}

int fs_unlink(const char* path) {
    return unlink(real(path).c_str()) == 0 ? 0 : -errno;
}

int fs_mkdir(const char* path, mode_t mode) {
    return mkdir(real(path).c_str(), mode) == 0 ? 0 : -errno;
}

int fs_rmdir(const char* path) {
    return rmdir(real(path).c_str()) == 0 ? 0 : -errno;
}

int fs_symlink(const char* target, const char* path) {
    return symlink(target, real(path).c_str()) == 0 ? 0 : -errno;
}

int fs_readlink(const char* path, char* buf, size_t size) {
    ssize_t n = readlink(real(path).c_str(), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

int fs_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    int rc = fi ? fchmod((int)fi->fh, mode) : chmod(real(path).c_str(), mode);
    return rc == 0 ? 0 : -errno;
}

int fs_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    int rc = fi ? fchown((int)fi->fh, uid, gid) : lchown(real(path).c_str(), uid, gid);
    return rc == 0 ? 0 : -errno;
}

int fs_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    int rc = fi ? ftruncate((int)fi->fh, size) : truncate(real(path).c_str(), size);
    return rc == 0 ? 0 : -errno;
}

int fs_utimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
    int rc = fi ? futimens((int)fi->fh, tv) : utimensat(AT_FDCWD, real(path).c_str(), tv, 0);
    return rc == 0 ? 0 : -errno;
}

int fs_statfs(const char* path, struct statvfs* st) {
    return statvfs(real(path).c_str(), st) == 0 ? 0 : -errno;
}

void* fs_init(struct fuse_conn_info*, struct fuse_config* cfg) {
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    cfg->use_ino = 1;
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: qid3_faultfs BACKING MOUNTPOINT [RULE...]\n");
        return 2;
    }
    char* backing = realpath(argv[1], nullptr);
    if (!backing) {
        perror("qid3_faultfs: backing folder");
        return 2;
    }
    g_backing = backing;
    free(backing);
    for (int i = 3; i < argc; i++) {
        fault_rule r = parse_rule(argv[i]);
        if (r.op == "log")
            g_log = r.match;
        else
            g_rules.push_back(r);
    }

    struct fuse_operations ops;
    memset(&ops, 0, sizeof ops);
    ops.init = fs_init;
    ops.getattr = fs_getattr;
    ops.access = fs_access;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.create = fs_create;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.flush = fs_flush;
    ops.release = fs_release;
    ops.fsync = fs_fsync;
    ops.fsyncdir = fs_fsyncdir;
    ops.rename = fs_rename;
    ops.unlink = fs_unlink;
    ops.mkdir = fs_mkdir;
    ops.rmdir = fs_rmdir;
    ops.symlink = fs_symlink;
    ops.readlink = fs_readlink;
    ops.chmod = fs_chmod;
    ops.chown = fs_chown;
    ops.truncate = fs_truncate;
    ops.utimens = fs_utimens;
    ops.statfs = fs_statfs;

    // Foreground, one thread, and the same permission checks as a local file system.
    std::vector<char*> fuse_args = {argv[0],     argv[2],
                                    (char*)"-f", (char*)"-s",
                                    (char*)"-o", (char*)"default_permissions,fsname=qid3_faultfs"};
    umask(0);
    return fuse_main((int)fuse_args.size(), fuse_args.data(), &ops, nullptr);
}
