/*
 * ipc_int.h: the connection record, the two connection lists and the
 * helpers shared by the sources of lib/nw_1; private to the library.
 */
#ifndef NW_1_IPC_INT_H
#define NW_1_IPC_INT_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "al_stream.h"
#include "ipc.h"

struct IpcConnection;

/* One of the two ends of a connection: what a channel stream holds. */
struct IpcEndpoint {
    IpcConnection *conn;
    int which;  /* 0 the read stream, 1 the write stream */
};

/* One started driver (client side) or this driver's channel (driver side). */
struct IpcConnection {
    IpcConnection *next;
    std::uint32_t flags;       /* IPC_* protocol flags */
    pid_t creator;             /* process id of the creator */
    STREAM *rs;                /* read stream (null once closed) */
    STREAM *ws;                /* write stream (null once closed) */
    int rfd;                   /* read descriptor, -1 for none */
    int wfd;                   /* write descriptor (equal for sockets) */
    IpcTermHandler on_term;    /* called when the channel breaks */
    void *term_arg;
    char *remote_host;         /* remote connections only (allocated) */
    void *lib;                 /* shared-library driver: its handle */
    DriverInitFn driver_init;
    DriverMainLoopFn driver_main_loop;
    pid_t child;               /* started child process, 0 for none */
    bool breaking;             /* the channel is being broken */
    char *name;                /* logical name (allocated), for messages */
    IpcEndpoint ends[2];
};

namespace nw1 {

/* Source paths for log_mesg. */
inline constexpr char kGlobFile[] = "lib/nw_1/ipc_glob.cpp";
inline constexpr char kPipeFile[] = "lib/nw_1/ipc_pipe.cpp";
inline constexpr char kSockFile[] = "lib/nw_1/ipc_sock.cpp";
inline constexpr char kDirFile[] = "lib/nw_1/ipc_dir.cpp";
inline constexpr char kFdioFile[] = "lib/nw_1/ipc_fdio.cpp";
inline constexpr char kSockIoFile[] = "lib/nw_1/sock_io.cpp";

/*
 * A new connection record with the flags and the logical name, put at
 * the head of the client list or at the end of the driver-side list
 * (IPC_SERVER in flags). Null when memory runs out.
 */
IpcConnection *new_connection(std::uint32_t flags, std::string_view name);

/* Unlinks the record from its list and frees it (nothing is closed). */
void free_connection(IpcConnection *conn);

/* The connection behind a channel stream, or null. */
IpcConnection *find_connection(STREAM *sp);

/* The first driver-side connection, for server_exit. */
IpcConnection *first_server_connection();

/*
 * Opens the two channel streams of conn over ops (chan arguments: the
 * connection's two ends) into channel. false (the record untouched
 * otherwise) when a stream cannot be made.
 */
bool make_channel(IpcConnection *conn, const StreamChannelOps *ops,
                  STREAM *channel[2]);

/*
 * The channel of conn broke: calls its termination handler with the read
 * stream, runs the emergency handlers and ends the process (status 1 on
 * the client side; on the driver side the streams are closed first and
 * the status is 0).
 */
[[noreturn]] void channel_broken(IpcConnection *conn);

/*
 * The close function of every kind of channel end: the first call marks
 * the connection (IPC_HALF_CLOSED); the second unlinks it, closes its
 * descriptors, unloads a shared library, waits for a local child and
 * frees the record. 0, or -1 when closing a descriptor failed.
 */
int close_endpoint(IpcEndpoint *ep);

/* The stream-layer functions of file-descriptor channels. */
extern const StreamChannelOps fd_stream_ops;

/* The arguments of a started driver (see attach_process). */
std::vector<std::string> driver_arguments(std::string_view name,
                                          std::uint32_t flags, int rfd,
                                          int wfd, int argc,
                                          char *const *argv);

/* "PROCESS_SET_INFO=<name> (<user>[<LOGNAME>]:<pid>/<kind><<set>>)". */
std::string process_set_info(std::string_view name, std::string_view kind);

/* Ignores SIGPIPE (from the first start on). */
void ignore_sigpipe();

/*
 * Forks and executes path with args in the child, after closing the
 * descriptors close_in_child and putting env_entry into the environment.
 * The child process id, or -1 (logged "Fork failed : %d").
 */
pid_t fork_driver(const std::string &path, const std::vector<std::string> &args,
                  const std::string &env_entry,
                  const std::vector<int> &close_in_child, const char *file);

/* Protocol starters: 0 and the channel, or -1 (logged). */
int pipe_start(IpcConnection *conn, const std::string &path, int argc,
               char *const *argv, STREAM *channel[2]);
int local_sock_start(IpcConnection *conn, const std::string &path, int argc,
                     char *const *argv, STREAM *channel[2]);
int dir_start(IpcConnection *conn, const std::string &path,
              STREAM *channel[2]);

/* Driver side: the channel of a shared-library driver; 0 or -1. */
int dir_server(IpcConnection *conn, STREAM *channel[2]);

/* Whether a shared-library driver has been started in this process. */
bool shlib_started();

/* Unloads the library of a shared-library client connection. */
void dir_release(IpcConnection *conn);

/* Socket helpers (sock_io.cpp). */
long sock_recv(int fd, void *buf, long n);
long sock_send(int fd, const void *buf, long n);
/* Keeps the descriptor open across exec (1) or closes it on exec (0). */
int SockInherit(int fd, int inherit);
/* Sets TCP_NODELAY; 0 or -1 (logged "setsockopt TCP_NODELAY: error %d"). */
int sock_nodelay(int fd);

} // namespace nw1

#endif
