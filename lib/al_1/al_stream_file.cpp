/*
 * al_stream_file.cpp: the file functions by name (status, access, modes,
 * owners, directories, removal, copy, rename, disk space), directory
 * listings, record locks on open streams and the remote-server shutdown.
 */
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "al_stream.h"
#include "al_stream_int.h"

/* A directory listing: the names read, and where the reader stands. */
struct STREAM_DIR {
    std::string path;                /* the expanded directory name */
    bool tree = false;               /* everything below, not one level */
    std::vector<std::string> names;  /* in listing order */
    size_t next = 0;
    std::string current;             /* the name last handed out */
};

namespace {

/* The entries of one directory without "." and "..", sorted; false with
 * errno when it cannot be read. */
bool read_entries(const std::string &dir, std::vector<std::string> *out)
{
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    std::vector<std::string> names;
    errno = 0;
    while (const dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    int err = errno;
    ::closedir(d);
    if (err != 0) {
        errno = err;
        return false;
    }
    std::sort(names.begin(), names.end());
    *out = std::move(names);
    return true;
}

bool is_real_directory(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/* Adds the tree below dir, depth first, each directory before its
 * contents; subdirectories that cannot be read are listed but not entered. */
void read_tree(const std::string &dir, const std::string &prefix,
               std::vector<std::string> *out)
{
    std::vector<std::string> names;
    if (!read_entries(dir, &names))
        return;
    for (const std::string &name : names) {
        out->push_back(prefix + name);
        std::string full = dir + "/" + name;
        if (is_real_directory(full))
            read_tree(full, prefix + name + "/", out);
    }
}

bool load_listing(STREAM_DIR *dp)
{
    std::vector<std::string> names;
    if (dp->tree) {
        if (!read_entries(dp->path, &names))
            return false;
        names.clear();
        read_tree(dp->path, "", &names);
    } else if (!read_entries(dp->path, &names)) {
        return false;
    }
    dp->names = std::move(names);
    dp->next = 0;
    return true;
}

STREAM_DIR *open_listing(const char *name, bool tree, const char *op)
{
    std::string path;
    if (!stream_local_path(name, op, &path))
        return nullptr;
    auto dp = std::make_unique<STREAM_DIR>();
    dp->path = path;
    dp->tree = tree;
    if (!load_listing(dp.get()))
        return nullptr;
    return dp.release();
}

/* Removes path and, for a directory (not a link to one), all below it. */
int remove_path(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.c_str());
    std::vector<std::string> names;
    if (!read_entries(path, &names))
        return -1;
    for (const std::string &name : names)
        if (remove_path(path + "/" + name) != 0)
            return -1;
    return ::rmdir(path.c_str());
}

/* Copies a regular file between two expanded paths. */
int copy_path(const std::string &from, const std::string &to)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    struct stat src {};
    if (::fstat(in, &src) != 0) {
        int e = errno;
        ::close(in);
        errno = e;
        return -1;
    }
    if (S_ISDIR(src.st_mode)) {
        ::close(in);
        errno = EISDIR;
        return -1;
    }
    struct stat dst {};
    if (::stat(to.c_str(), &dst) == 0 && dst.st_dev == src.st_dev &&
        dst.st_ino == src.st_ino) {
        ::close(in);
        errno = EINVAL; /* copying a file onto itself would empty it */
        return -1;
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                     src.st_mode & 0777);
    if (out < 0) {
        int e = errno;
        ::close(in);
        errno = e;
        return -1;
    }
    std::vector<char> buf(65536);
    int rc = 0;
    for (;;) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            rc = n < 0 ? -1 : 0;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                if (w == 0)
                    errno = EIO;
                rc = -1;
                break;
            }
            done += w;
        }
        if (rc != 0)
            break;
    }
    int e = errno;
    ::close(in);
    if (::close(out) != 0 && rc == 0) {
        rc = -1;
        e = errno;
    }
    errno = e;
    return rc;
}

/* A local stream's descriptor for locking; -1 with EBADF otherwise. */
int lock_fd(STREAM *sp)
{
    if (sp == nullptr || (sp->flags & (SF_MEMORY | SF_REMOTE))) {
        errno = EBADF;
        return -1;
    }
    return sp->handle.fd;
}

struct flock lock_record(short type, long offset, long length)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    return fl;
}

} // namespace

int stream_stat(const char *name, struct stat *st)
{
    std::string path;
    if (st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (!stream_local_path(name, "stream_stat", &path))
        return -1;
    return ::stat(path.c_str(), st);
}

int stream_fstat(STREAM *sp, struct stat *st)
{
    if (st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int fd = lock_fd(sp);
    if (fd < 0)
        return -1;
    return ::fstat(fd, st);
}

int stream_access(const char *name, int mode)
{
    std::string path;
    if (!stream_local_path(name, "stream_access", &path))
        return -1;
    return ::access(path.c_str(), mode);
}

int stream_chmod(const char *name, mode_t mode)
{
    std::string path;
    if (!stream_local_path(name, "stream_chmod", &path))
        return -1;
    return ::chmod(path.c_str(), mode);
}

int stream_chown(const char *name, uid_t owner, gid_t group)
{
    std::string path;
    if (!stream_local_path(name, "stream_chown", &path))
        return -1;
    return ::chown(path.c_str(), owner, group);
}

int stream_mkdir(const char *name, mode_t mode)
{
    std::string path;
    if (!stream_local_path(name, "stream_mkdir", &path))
        return -1;
    return ::mkdir(path.c_str(), mode);
}

int stream_rmdir(const char *name)
{
    std::string path;
    if (!stream_local_path(name, "stream_rmdir", &path))
        return -1;
    return ::rmdir(path.c_str());
}

int stream_unlink(const char *name)
{
    std::string path;
    if (!stream_local_path(name, "stream_unlink", &path))
        return -1;
    return ::unlink(path.c_str());
}

int stream_rm(const char *name)
{
    std::string path;
    if (!stream_local_path(name, "stream_rm", &path))
        return -1;
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    return remove_path(path);
}

int stream_cp(const char *from, const char *to)
{
    std::string src, dst;
    if (!stream_local_path(from, "stream_cp", &src) ||
        !stream_local_path(to, "stream_cp", &dst))
        return -1;
    return copy_path(src, dst);
}

int stream_mv(const char *from, const char *to)
{
    std::string src, dst;
    if (!stream_local_path(from, "stream_mv", &src) ||
        !stream_local_path(to, "stream_mv", &dst))
        return -1;
    if (::rename(src.c_str(), dst.c_str()) == 0)
        return 0;
    if (errno != EXDEV)
        return -1;
    if (copy_path(src, dst) != 0)
        return -1;
    return ::unlink(src.c_str());
}

STREAM_DIR *stream_opendir(const char *name)
{
    return open_listing(name, false, "stream_opendir");
}

STREAM_DIR *stream_opentree(const char *name)
{
    return open_listing(name, true, "stream_opentree");
}

const char *stream_readdir(STREAM_DIR *dp)
{
    if (dp == nullptr) {
        errno = EBADF;
        return nullptr;
    }
    if (dp->next >= dp->names.size())
        return nullptr;
    dp->current = dp->names[dp->next++];
    return dp->current.c_str();
}

int stream_rewinddir(STREAM_DIR *dp)
{
    if (dp == nullptr) {
        errno = EBADF;
        return -1;
    }
    return load_listing(dp) ? 0 : -1;
}

int stream_closedir(STREAM_DIR *dp)
{
    if (dp == nullptr) {
        errno = EBADF;
        return -1;
    }
    std::unique_ptr<STREAM_DIR> owned(dp);
    return 0;
}

int stream_diskinfo(const char *name, long long *total_bytes,
                    long long *avail_bytes)
{
    std::string path;
    if (!stream_local_path(name, "stream_diskinfo", &path))
        return -1;
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0)
        return -1;
    auto unit = static_cast<long long>(vfs.f_frsize != 0 ? vfs.f_frsize
                                                         : vfs.f_bsize);
    if (total_bytes != nullptr)
        *total_bytes = static_cast<long long>(vfs.f_blocks) * unit;
    if (avail_bytes != nullptr)
        *avail_bytes = static_cast<long long>(vfs.f_bavail) * unit;
    return 0;
}

int stream_lock(STREAM *sp, long offset, long length, int wait)
{
    int fd = lock_fd(sp);
    if (fd < 0)
        return -1;
    struct flock fl = lock_record(
        (sp->flags & SF_WRITE) ? F_WRLCK : F_RDLCK, offset, length);
    int rc;
    do
        rc = ::fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl);
    while (rc < 0 && errno == EINTR && wait);
    return rc < 0 ? -1 : 0;
}

int stream_unlock(STREAM *sp, long offset, long length)
{
    int fd = lock_fd(sp);
    if (fd < 0)
        return -1;
    struct flock fl = lock_record(F_UNLCK, offset, length);
    return ::fcntl(fd, F_SETLK, &fl) < 0 ? -1 : 0;
}

int stream_islocked(STREAM *sp, long offset, long length)
{
    int fd = lock_fd(sp);
    if (fd < 0)
        return -1;
    struct flock fl = lock_record(
        (sp->flags & SF_WRITE) ? F_WRLCK : F_RDLCK, offset, length);
    if (::fcntl(fd, F_GETLK, &fl) < 0)
        return -1;
    return fl.l_type == F_UNLCK ? 0 : 1;
}

void close_stream_servers(void)
{
    /* No remote file server connections exist yet. */
}
