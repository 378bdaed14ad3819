/*
 * ipc_pipe.cpp: drivers as child processes on two pipes, the fork and
 * exec shared with the socket-pair start, and the manual start of a
 * driver on two named pipes (DB_MANUAL).
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "ipc.h"
#include "ipc_int.h"

using namespace nw1;

namespace {

constexpr const char *kFile = kPipeFile;

void close_all(std::initializer_list<int> fds)
{
    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
}

} // namespace

namespace nw1 {

pid_t fork_driver(const std::string &path, const std::vector<std::string> &args,
                  const std::string &env_entry,
                  const std::vector<int> &close_in_child, const char *file)
{
    /* Everything the child needs is prepared before the fork. */
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char> env(env_entry.begin(), env_entry.end());
    env.push_back('\0');

    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        int e = errno;
        log_mesg(file, __LINE__, "ipc", 0, "Fork failed : %d", e);
        errno = e;
        return -1;
    }
    if (pid == 0) {
        for (int fd : close_in_child)
            ::close(fd);
        ::putenv(env.data());
        ::execv(path.c_str(), argv.data());
        log_mesg(file, __LINE__, "ipc", 0, "Exec failed on %s : %d", path.c_str(),
                 errno);
        ::_exit(1);
    }
    return pid;
}

int pipe_start(IpcConnection *conn, const std::string &path, int argc,
               char *const *argv, STREAM *channel[2])
{
    ignore_sigpipe();
    int to_client[2] = {-1, -1};  /* the driver writes, the client reads */
    int to_driver[2] = {-1, -1};  /* the client writes, the driver reads */
    if (::pipe(to_client) < 0 || ::pipe(to_driver) < 0) {
        int e = errno;
        log_mesg(kFile, __LINE__, "ipc", 0, "Create pipe failed on %s : %d",
                 path.c_str(), e);
        close_all({to_client[0], to_client[1], to_driver[0], to_driver[1]});
        errno = e;
        return -1;
    }
    std::vector<std::string> args = driver_arguments(
        conn->name, conn->flags, to_driver[0], to_client[1], argc, argv);
    pid_t pid = fork_driver(path, args, process_set_info(conn->name, "PIPE"),
                            {to_client[0], to_driver[1]}, kFile);
    ::close(to_driver[0]);
    ::close(to_client[1]);
    if (pid < 0) {
        close_all({to_client[0], to_driver[1]});
        return -1;
    }
    ::fcntl(to_client[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(to_driver[1], F_SETFD, FD_CLOEXEC);
    conn->child = pid;
    conn->rfd = to_client[0];
    conn->wfd = to_driver[1];
    if (!make_channel(conn, &fd_stream_ops, channel)) {
        /* Closing our ends lets the child see the end of its input. */
        close_all({conn->rfd, conn->wfd});
        conn->rfd = conn->wfd = -1;
        ::waitpid(pid, nullptr, 0);
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

} // namespace nw1

int ipc_attach_manual(const char *driver, STREAM *channel[2])
{
    const char *tag = getvar("DB_MANUAL");
    if (tag == nullptr || driver == nullptr || channel == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const char *tmp = get_tse_tmp();
    std::string to_client = std::string(tmp) + "/dbs.to.client." + tag;
    std::string to_driver = std::string(tmp) + "/client.to.dbs." + tag;
    for (const std::string &p : {to_client, to_driver}) {
        if (::mkfifo(p.c_str(), 0666) < 0 && errno != EEXIST) {
            int e = errno;
            log_mesg(kFile, __LINE__, "ipc", 0, "Can't create stream %s (error %d)\n",
                     p.c_str(), e);
            errno = e;
            return -1;
        }
    }
    std::fprintf(stderr, "Start database server '%s' manually\n", driver);
    std::fflush(stderr);
    int rfd = ::open(to_client.c_str(), O_RDONLY | O_CLOEXEC);
    if (rfd < 0) {
        int e = errno;
        log_mesg(kFile, __LINE__, "ipc", 0, "Can't open stream %s error %d\n",
                 to_client.c_str(), e);
        errno = e;
        return -1;
    }
    int wfd = ::open(to_driver.c_str(), O_WRONLY | O_CLOEXEC);
    if (wfd < 0) {
        int e = errno;
        log_mesg(kFile, __LINE__, "ipc", 0, "Can't open stream %s error %d\n",
                 to_driver.c_str(), e);
        ::close(rfd);
        errno = e;
        return -1;
    }
    ::unlink(to_client.c_str());
    ::unlink(to_driver.c_str());
    ignore_sigpipe();
    IpcConnection *conn = new_connection(IPC_CLIENT | IPC_PIPE, driver);
    if (conn == nullptr) {
        close_all({rfd, wfd});
        errno = ENOMEM;
        return -1;
    }
    conn->rfd = rfd;
    conn->wfd = wfd;
    if (!make_channel(conn, &fd_stream_ops, channel)) {
        close_all({rfd, wfd});
        free_connection(conn);
        errno = ENOMEM;
        return -1;
    }
    return 0;
}
