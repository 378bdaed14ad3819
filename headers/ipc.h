/*
 * ipc.h: starting database drivers and the channels to them (client side),
 * and a started driver's side of the contract (init_server). Implemented
 * in lib/nw_1.
 */
/*
 * A driver is known by its logical name. attach_process finds in
 * "${TSE}/lib/ipc_info" how the name is started (a child process on two
 * pipes, a child process on a local socket pair, or a shared library run
 * inside this process) and hands back a channel: a read stream for the
 * driver's replies and a write stream for requests (al_stream.h). Names
 * holding "!" name drivers on other hosts; remote start-up is not
 * available yet and such names are refused.
 *
 * Errors: functions return -1 (or null) and log the reason through
 * log_mesg; the connection error flag (nw_geterror) tells what failed.
 */
#ifndef IPC_H
#define IPC_H

#include <sys/types.h>

#include "al_stream.h"

/* Protocol flags of a connection. */
#define IPC_CLIENT 0x1        /* the side that started the driver */
#define IPC_SERVER 0x2        /* the driver side */
#define IPC_SOCKET 0x20       /* socket protocol */
#define IPC_PIPE 0x40         /* pipe protocol */
#define IPC_HALF_CLOSED 0x80  /* one of the two streams has been closed */
#define IPC_LOCAL 0x100       /* local driver listed in ipc_info */
#define IPC_REMOTE 0x200      /* driver on another host */
#define IPC_SHLIB 0x1000      /* shared library run in the client's process */
/* The bits that choose the protocol: exactly one of 0x20, 0x40, 0x1000. */
#define IPC_PROTOCOL_MASK 0x1060

/* Values of the connection error flag (nw_seterror / nw_geterror). */
#define IPC_ERR_START 1       /* a name could not be resolved or started */
#define IPC_ERR_BOOT 4        /* the boot handshake of a remote driver failed */

/* ipc_control commands. */
#define IPC_SET_TERMINATION 1 /* arg: const struct IpcTermination * */
#define IPC_GET_REMOTE_HOST 16 /* arg: char[IPC_HOSTNAME_SIZE] */
#define IPC_SET_OWN_HOST 128  /* arg: const char *, cut at the first "." */
#define IPC_REMOTE_INFO 256   /* arg: const char * host (not available yet) */

/* Size of the host name buffers of ipc_control and get_hostname. */
#define IPC_HOSTNAME_SIZE 256

/*
 * Called when a channel breaks, with the read stream of the channel and
 * the argument given with it. It may end the process itself; when it
 * returns, the emergency handlers run and the process ends (status 1 on
 * the client side, 0 on the driver side).
 */
typedef void (*IpcTermHandler)(STREAM *read_stream, void *arg);

struct IpcTermination {
    IpcTermHandler handler;
    void *arg;
};

/*
 * The functions of a kind of channel. chan is the channel end the stream
 * layer passes (see stream_open_channel); read returns the bytes read,
 * write the bytes written; clean drops what the channel still holds.
 */
struct IpcChannelFunctions {
    long (*read)(void *chan, void *buf, long n);
    long (*write)(void *chan, const void *buf, long n);
    int (*close)(void *chan);
    void (*clean)(void *chan);
};

/* ---- client side -------------------------------------------------------- */

/*
 * Starts the driver with the logical name name and returns its channel:
 * channel[0] the read stream, channel[1] the write stream (owned by the
 * caller; sclose both: the second close ends the connection and, for a
 * child process, waits for it to end). client_flag is added to the
 * connection's flags (the tdb client passes IPC_CLIENT; protocol and
 * close bits are ignored). argc extra arguments (argv, may be null when
 * argc is 0) are passed to the driver after its standard ones. SIGPIPE is ignored from the first start on, so
 * that writing to a dead driver breaks the channel instead of killing the
 * process. Returns 0, or -1 with the reason logged (component "ipc") and
 * nw_geterror() set to IPC_ERR_START.
 */
int attach_process(const char *name, STREAM *channel[2], int client_flag,
                   int argc, char *const *argv);

/*
 * Manual start of a driver for testing it by hand (the variable
 * DB_MANUAL is set): creates the named pipes
 * "<TSE tmp>/dbs.to.client.<DB_MANUAL>" and
 * "<TSE tmp>/client.to.dbs.<DB_MANUAL>" (mode 0666; existing ones are
 * used), prints "Start database server '<driver>' manually" on standard
 * error, opens the first for reading and the second for writing (each
 * open waits for the driver to open the other end), removes both names
 * and returns the channel as attach_process does. -1 when DB_MANUAL is
 * not set (EINVAL) or a pipe cannot be made or opened (logged).
 */
int ipc_attach_manual(const char *driver, STREAM *channel[2]);

/*
 * Forgets the driver table read from lib/ipc_info, so that the next
 * attach reads the file again (for programs and tests that change it).
 */
void ipc_info_forget(void);

/*
 * Commands on a channel stream (either stream of a channel): see the
 * IPC_* commands above. 0 on success; -1 when the stream is not a channel
 * stream, the command is unknown or not available.
 */
int ipc_control(STREAM *sp, int command, void *arg);

/* Sets the termination handler of the stream's connection; 0 or -1. */
int IpcSetOnTermination(STREAM *sp, IpcTermHandler handler, void *arg);

/* The process id of the connection's creator (for a driver: its client);
 * -1 when the stream is not a channel stream. */
pid_t ipc_client_pid(STREAM *sp);

/* The process id of the started child process of a client connection;
 * 0 when there is none (shared library, manual start), -1 when the
 * stream is not a channel stream. */
pid_t ipc_child_pid(STREAM *sp);

/* The protocol flags of the stream's connection, -1 for other streams. */
int ipc_flags(STREAM *sp);

/* The own host name (set with IPC_SET_OWN_HOST, else the system's host
 * name), cut at the first "."; owned by the channel layer. */
const char *get_hostname(void);

/* 1 once init_server has made this process a driver, else 0. */
int is_server(void);

/* Sets and reads the connection error flag. */
void nw_seterror(int error);
int nw_geterror(void);

/* Keeps init_server from starting a new session. */
void disable_disassociate(void);

/* The functions of file-descriptor channels (fd_read, fd_write,
 * fd_close); static data, not owned by the caller. */
const struct IpcChannelFunctions *ipc_get_fd_functions(void);

/*
 * File-descriptor channel functions: chan is a channel end made by this
 * layer. fd_read returns the bytes that arrived (recv on sockets, read on
 * pipes); fd_write writes all bytes in one call. Both retry on EINTR;
 * any other failure, end of input or a short write breaks the channel
 * (see IpcTermHandler) and does not return.
 */
long fd_read(void *chan, void *buf, long n);
long fd_write(void *chan, const void *buf, long n);
int fd_close(void *chan);

/* ---- driver side -------------------------------------------------------- */

/*
 * Makes this process a started driver and returns its channel to the
 * client in channel[0] (read) and channel[1] (write). argv[2], when
 * given, holds the protocol flags in decimal (bit 0x1 is cleared, 0x2
 * set); without it the driver is a shared library (0x1002) on the
 * in-process channel installed with IpcDirSetCombo. Pipe and socket
 * drivers read on the descriptor of argv[3] and write on that of argv[4];
 * argv[1] is the client's process id. flags are added to the
 * connection's flags (pass 0). Unless the parent is process 1, SIGTTOU,
 * SIGTTIN, SIGTSTP and SIGHUP are ignored and (unless
 * disable_disassociate was called) a new session is started; the
 * file-creation mask becomes 0. 0, or -1 with the reason logged.
 */
int init_server(int argc, char **argv, int flags, STREAM *channel[2]);

/* Calls the termination handler of every driver-side connection and
 * closes its streams (registered with atexit by init_server for pipe and
 * socket drivers). */
void server_exit(void);

/* ---- shared-library drivers --------------------------------------------- */

/*
 * A driver built as a shared library exports, with C linkage,
 * driver_init, driver_main_loop, AlShmSetCombo and IpcDirSetCombo. The
 * client calls AlShmSetCombo with its twelve shared-memory operations
 * (shm_brk, alloc_m_seg, print_m_seg, clean_shm, unlink_shm, shm_linked,
 * link_shm, lock_shm, unlock_shm, reset_shm, SetShmBrkErrHandler,
 * ShmGetNode, as generic function pointers the library casts back),
 * IpcDirSetCombo with the in-process channel functions, and
 * driver_init(0, 0, 0, 0); after every flush of a request it calls
 * driver_main_loop once, which reads the request and writes the reply.
 */
typedef void (*AlShmOp)(void);
typedef long (*IpcDirReadFn)(void *buf, long n);
typedef long (*IpcDirWriteFn)(const void *buf, long n);
typedef int (*IpcDirCloseFn)(void);
typedef void (*IpcDirCleanFn)(void);
typedef int (*DriverInitFn)(int argc, char **argv, int flags, void *reserved);
typedef int (*DriverMainLoopFn)(void);
typedef void (*AlShmSetComboFn)(AlShmOp, AlShmOp, AlShmOp, AlShmOp, AlShmOp,
                                AlShmOp, AlShmOp, AlShmOp, AlShmOp, AlShmOp,
                                AlShmOp, AlShmOp);
typedef void (*IpcDirSetComboFn)(IpcDirReadFn, IpcDirWriteFn, IpcDirCloseFn,
                                 IpcDirCleanFn);

/* Size of a chunk of the in-process queue and the most chunks it holds. */
#define IPC_DIR_CHUNK 4096
#define IPC_DIR_MAX_CHUNKS 1024

#ifdef __cplusplus
extern "C" {
#endif
/*
 * Installs the in-process channel functions this copy of the channel
 * layer uses for a shared-library driver's init_server (called by the
 * client through the library's export).
 */
void IpcDirSetCombo(IpcDirReadFn read, IpcDirWriteFn write,
                    IpcDirCloseFn close, IpcDirCleanFn clean);

/*
 * Records the client's twelve shared-memory operations for this copy of
 * the runtime (stand-in until the shared-memory module lands: they are
 * only recorded; AlShmGetCombo gives them back).
 */
void AlShmSetCombo(AlShmOp shm_brk, AlShmOp alloc_m_seg, AlShmOp print_m_seg,
                   AlShmOp clean_shm, AlShmOp unlink_shm, AlShmOp shm_linked,
                   AlShmOp link_shm, AlShmOp lock_shm, AlShmOp unlock_shm,
                   AlShmOp reset_shm, AlShmOp SetShmBrkErrHandler,
                   AlShmOp ShmGetNode);
#ifdef __cplusplus
}
#endif

/* The twelve operations recorded by AlShmSetCombo (null when none). */
const AlShmOp *AlShmGetCombo(void);

/* The in-process channel functions of this process (its own queue), in
 * the order IpcDirSetCombo takes them. */
IpcDirReadFn ipc_dir_read_fn(void);
IpcDirWriteFn ipc_dir_write_fn(void);
IpcDirCloseFn ipc_dir_close_fn(void);
IpcDirCleanFn ipc_dir_clean_fn(void);

/* Bytes waiting in this process's in-process queue. */
long ipc_dir_pending(void);

#endif
