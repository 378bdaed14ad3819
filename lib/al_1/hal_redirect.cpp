/*
 * hal_redirect.cpp: redirection of standard input, output and error to
 * files (HAL_redirect, HAL_redir).
 */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "al_stream.h"
#include "al_stream_int.h"

namespace {

/* Makes fd the descriptor target (kept across exec) and closes fd. */
int install(int fd, int target)
{
    if (fd == target)
        return ::fcntl(fd, F_SETFD, 0) < 0 ? -1 : 0;
    int rc = ::dup2(fd, target) < 0 ? -1 : 0;
    int e = errno;
    ::close(fd);
    errno = e;
    return rc;
}

int create_0644(const std::string &path)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace

int HAL_redirect(int which, const char *path)
{
    if (which != 'i' && which != 'e' && which != 'o') {
        errno = EINVAL;
        return -1;
    }
    std::string full;
    if (!stream_local_path(path, "HAL_redirect", &full))
        return -1;
    int fd;
    int target;
    if (which == 'i') {
        fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
        target = STDIN_FILENO;
    } else {
        std::fflush(which == 'e' ? stderr : stdout);
        fd = create_0644(full);
        target = which == 'e' ? STDERR_FILENO : STDOUT_FILENO;
    }
    if (fd < 0)
        return -1;
    if (install(fd, target) != 0)
        return -1;
    if (which == 'i')
        std::clearerr(stdin);
    return 0;
}

int HAL_redir(const char *path)
{
    std::string full;
    if (!stream_local_path(path, "HAL_redir", &full))
        return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    int fd = create_0644(full);
    if (fd < 0)
        return -1;
    int rc = 0;
    for (int target : {STDOUT_FILENO, STDERR_FILENO}) {
        int r = fd == target ? ::fcntl(fd, F_SETFD, 0) : ::dup2(fd, target);
        if (r < 0)
            rc = -1;
    }
    int e = errno;
    if (fd != STDOUT_FILENO && fd != STDERR_FILENO)
        ::close(fd);
    errno = e;
    return rc;
}
