/*
 * sock_io.cpp: socket input and output for the channels: receiving,
 * sending without a SIGPIPE, descriptor inheritance across exec and
 * TCP_NODELAY.
 */
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "al_log.h"
#include "ipc_int.h"

namespace nw1 {

long sock_recv(int fd, void *buf, long n)
{
    return static_cast<long>(::recv(fd, buf, static_cast<size_t>(n), 0));
}

long sock_send(int fd, const void *buf, long n)
{
    return static_cast<long>(::send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL));
}

int SockInherit(int fd, int inherit)
{
    int fl = ::fcntl(fd, F_GETFD);
    if (fl < 0)
        return -1;
    fl = inherit ? (fl & ~FD_CLOEXEC) : (fl | FD_CLOEXEC);
    return ::fcntl(fd, F_SETFD, fl) < 0 ? -1 : 0;
}

int sock_nodelay(int fd)
{
    int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) {
        int e = errno;
        log_mesg(kSockIoFile, __LINE__, "ipc", 0, "setsockopt TCP_NODELAY: error %d", e);
        errno = e;
        return -1;
    }
    return 0;
}

} // namespace nw1
