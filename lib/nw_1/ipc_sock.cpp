/*
 * ipc_sock.cpp: drivers as child processes on a local (Unix-domain)
 * socket pair. Drivers on other hosts are refused in attach_process.
 */
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "al_log.h"
#include "ipc.h"
#include "ipc_int.h"

using namespace nw1;

namespace nw1 {

int local_sock_start(IpcConnection *conn, const std::string &path, int argc,
                     char *const *argv, STREAM *channel[2])
{
    ignore_sigpipe();
    int sv[2] = {-1, -1};  /* sv[0] the client's end, sv[1] the driver's */
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) < 0) {
        int e = errno;
        log_mesg(kSockFile, __LINE__, "ipc", 0, "Local sock on ls_attach to %s: error %d",
                 path.c_str(), e);
        errno = e;
        return -1;
    }
    std::vector<std::string> args =
        driver_arguments(conn->name, conn->flags, sv[1], sv[1], argc, argv);
    pid_t pid = fork_driver(path, args, process_set_info(conn->name, "LSOCKET"),
                            {sv[0]}, kSockFile);
    ::close(sv[1]);
    if (pid < 0) {
        ::close(sv[0]);
        return -1;
    }
    SockInherit(sv[0], 0);
    conn->child = pid;
    conn->rfd = conn->wfd = sv[0];
    if (!make_channel(conn, &fd_stream_ops, channel)) {
        ::close(sv[0]);
        conn->rfd = conn->wfd = -1;
        ::waitpid(pid, nullptr, 0);
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

} // namespace nw1
