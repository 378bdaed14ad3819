/*
 * ipc_fdio.cpp: the functions of file-descriptor channels (pipes and
 * sockets): reading, writing all bytes in one call, closing, and breaking
 * the channel when the other side is gone.
 */
#include <unistd.h>

#include <cerrno>

#include "al_log.h"
#include "ipc.h"
#include "ipc_int.h"

using namespace nw1;

namespace {

constexpr const char *kFile = kFdioFile;

long stream_read(void *chan, void *buf, long n) { return fd_read(chan, buf, n); }
long stream_write(void *chan, const void *buf, long n) { return fd_write(chan, buf, n); }
int stream_close(void *chan) { return fd_close(chan); }
void fd_clean(void *) {}

const IpcChannelFunctions g_fd_functions = {fd_read, fd_write, fd_close, fd_clean};

} // namespace

namespace nw1 {
const StreamChannelOps fd_stream_ops = {stream_read, stream_write, stream_close,
                                        nullptr};
} // namespace nw1

long fd_read(void *chan, void *buf, long n)
{
    IpcConnection *conn = static_cast<IpcEndpoint *>(chan)->conn;
    long r;
    do {
        if (conn->flags & IPC_SOCKET)
            r = sock_recv(conn->rfd, buf, n);
        else
            r = static_cast<long>(::read(conn->rfd, buf, static_cast<size_t>(n)));
    } while (r < 0 && errno == EINTR);
    if (r > 0 || n == 0)
        return r;
    if (r == 0)
        errno = 0;
    if (conn->breaking)
        return -1;
    if (conn->flags & IPC_CLIENT)
        log_mesg(kFile, __LINE__, "IPC", 0,
                 "Connection to server lost: fd_read %d: num_bytes %d errno %d\n",
                 conn->rfd, -1, errno);
    channel_broken(conn);
}

long fd_write(void *chan, const void *buf, long n)
{
    IpcConnection *conn = static_cast<IpcEndpoint *>(chan)->conn;
    long w;
    do {
        if (conn->flags & IPC_SOCKET)
            w = sock_send(conn->wfd, buf, n);
        else
            w = static_cast<long>(::write(conn->wfd, buf, static_cast<size_t>(n)));
    } while (w < 0 && errno == EINTR);
    if (w == n)
        return w;
    if (w >= 0)
        errno = EIO;
    if (conn->breaking)
        return -1;
    if (conn->flags & IPC_CLIENT)
        log_mesg(kFile, __LINE__, "IPC", 0,
                 "Connection to server lost: fd_write %d: num_bytes %d errno %d\n",
                 conn->wfd, -1, errno);
    channel_broken(conn);
}

int fd_close(void *chan)
{
    return close_endpoint(static_cast<IpcEndpoint *>(chan));
}

const IpcChannelFunctions *ipc_get_fd_functions(void)
{
    return &g_fd_functions;
}
