/*
 * ipc_dir.cpp: drivers built as shared libraries, run inside the client's
 * process: loading the library and its four entries, the in-process byte
 * queue both directions share, and both sides' channels over it.
 */
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "al_log.h"
#include "al_shlib.h"
#include "ipc.h"
#include "ipc_int.h"

using namespace nw1;

namespace {

constexpr const char *kFile = kDirFile;

/* ---- the in-process queue ----------------------------------------------- */

/*
 * One byte queue for both directions: writes append to chunks of
 * IPC_DIR_CHUNK bytes, reads take the oldest bytes; a read that takes
 * everything resets the queue to empty.
 */
struct Queue {
    std::vector<std::unique_ptr<unsigned char[]>> chunks;
    long head = 0;  /* read offset in chunks.front() */
    long tail = 0;  /* bytes in chunks.back() */

    long pending() const
    {
        if (chunks.empty())
            return 0;
        return static_cast<long>(chunks.size() - 1) * IPC_DIR_CHUNK + tail - head;
    }
    void reset()
    {
        chunks.clear();
        head = tail = 0;
    }
};

Queue g_queue;

long dir_fd_read(void *buf, long n)
{
    if (buf == nullptr || n <= 0)
        return 0;
    long avail = g_queue.pending();
    long take = n < avail ? n : avail;
    auto *out = static_cast<unsigned char *>(buf);
    long done = 0;
    while (done < take) {
        long in_front = (g_queue.chunks.size() == 1 ? g_queue.tail : IPC_DIR_CHUNK) -
                        g_queue.head;
        long part = take - done < in_front ? take - done : in_front;
        std::memcpy(out + done, g_queue.chunks.front().get() + g_queue.head,
                    static_cast<size_t>(part));
        done += part;
        g_queue.head += part;
        if (g_queue.head == IPC_DIR_CHUNK && g_queue.chunks.size() > 1) {
            g_queue.chunks.erase(g_queue.chunks.begin());
            g_queue.head = 0;
        }
    }
    if (take == avail)
        g_queue.reset();
    return take;
}

long dir_fd_write(const void *buf, long n)
{
    if (n <= 0)
        return 0;
    if (buf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    long room_in_last = g_queue.chunks.empty() ? 0 : IPC_DIR_CHUNK - g_queue.tail;
    long extra = n > room_in_last ? (n - room_in_last + IPC_DIR_CHUNK - 1) / IPC_DIR_CHUNK
                                  : 0;
    if (static_cast<long>(g_queue.chunks.size()) + extra > IPC_DIR_MAX_CHUNKS) {
        /* Nothing is queued: the request or reply would arrive cut. */
        log_mesg(kFile, __LINE__, "dir_fd_write", 0,
                 "Buffer overflow in combined Tshell/driver.");
        errno = ENOBUFS;
        return -1;
    }
    const auto *in = static_cast<const unsigned char *>(buf);
    long done = 0;
    while (done < n) {
        if (g_queue.chunks.empty() || g_queue.tail == IPC_DIR_CHUNK) {
            g_queue.chunks.push_back(std::make_unique<unsigned char[]>(IPC_DIR_CHUNK));
            g_queue.tail = 0;
        }
        long room = IPC_DIR_CHUNK - g_queue.tail;
        long part = n - done < room ? n - done : room;
        std::memcpy(g_queue.chunks.back().get() + g_queue.tail, in + done,
                    static_cast<size_t>(part));
        g_queue.tail += part;
        done += part;
    }
    return n;
}

int dir_fd_close(void) { return 0; }

void dir_fd_clean(void) { g_queue.reset(); }

/* The in-process functions this copy of the layer uses as a driver. */
struct DirCombo {
    IpcDirReadFn read = nullptr;
    IpcDirWriteFn write = nullptr;
    IpcDirCloseFn close = nullptr;
    IpcDirCleanFn clean = nullptr;
};
DirCombo g_combo;

bool g_shlib_started = false;

/* ---- the client's channel ----------------------------------------------- */

long client_read(void *chan, void *buf, long n)
{
    IpcConnection *conn = static_cast<IpcEndpoint *>(chan)->conn;
    long r = dir_fd_read(buf, n);
    if (r > 0 || n <= 0 || conn->breaking)
        return r;
    /* Nothing queued: the library did not answer, and never will. */
    log_mesg(kFile, __LINE__, "IPC", 0,
             "Connection to server lost: dir_fd_read: num_bytes %d, no reply from '%s'\n",
             -1, conn->name);
    channel_broken(conn);
}

long client_write(void *, const void *buf, long n)
{
    return dir_fd_write(buf, n);
}

int dir_close(void *chan)
{
    return close_endpoint(static_cast<IpcEndpoint *>(chan));
}

/* After a flushed request the library serves it, once. */
void client_flushed(void *chan)
{
    IpcConnection *conn = static_cast<IpcEndpoint *>(chan)->conn;
    if (conn->driver_main_loop != nullptr && static_cast<IpcEndpoint *>(chan)->which == 1)
        conn->driver_main_loop();
}

const StreamChannelOps dir_client_ops = {client_read, client_write, dir_close,
                                         client_flushed};

/* ---- the driver's channel (this layer copied into the library) ---------- */

long server_read(void *, void *buf, long n)
{
    return g_combo.read != nullptr ? g_combo.read(buf, n) : -1;
}

long server_write(void *, const void *buf, long n)
{
    return g_combo.write != nullptr ? g_combo.write(buf, n) : -1;
}

const StreamChannelOps dir_server_ops = {server_read, server_write, dir_close,
                                         nullptr};

/* ---- stand-in: the client's shared-memory operations -------------------- */
/*
 * Stand-ins with the real names, until the shared-memory module of the
 * runtime lands: no shared memory can be linked, so every operation
 * reports failure. They exist so that a shared-library driver receives the
 * twelve operations in their order.
 */
namespace shm_standin {
void *shm_brk(long) { errno = ENOSYS; return nullptr; }
int alloc_m_seg(void) { return -1; }
void print_m_seg(void) {}
void clean_shm(void) {}
void unlink_shm(void) {}
int shm_linked(void) { return 0; }
int link_shm(void) { return 1; }
void lock_shm(void) {}
void unlock_shm(void) {}
void reset_shm(void) {}
void SetShmBrkErrHandler(int (*)(void)) {}
void *ShmGetNode(int) { return nullptr; }
} // namespace shm_standin

AlShmOp g_shm_ops[12];
bool g_shm_ops_set = false;

template <typename F> AlShmOp op(F f) { return reinterpret_cast<AlShmOp>(f); }

/* Reports a missing entry of the library. */
void *entry(void *lib, const char *symbol, const std::string &path)
{
    void *p = al_shlib_symbol(lib, symbol);
    if (p == nullptr) {
        int e = errno;
        log_mesg(kFile, __LINE__, "ipc", 0, "Error %d: cannot find '%s' in '%s'", e,
                 symbol, path.c_str());
    }
    return p;
}

} // namespace

/* ---- public ------------------------------------------------------------- */

extern "C" void IpcDirSetCombo(IpcDirReadFn read, IpcDirWriteFn write,
                               IpcDirCloseFn close, IpcDirCleanFn clean)
{
    g_combo = {read, write, close, clean};
}

extern "C" void AlShmSetCombo(AlShmOp a, AlShmOp b, AlShmOp c, AlShmOp d, AlShmOp e,
                              AlShmOp f, AlShmOp g, AlShmOp h, AlShmOp i, AlShmOp j,
                              AlShmOp k, AlShmOp l)
{
    AlShmOp ops[12] = {a, b, c, d, e, f, g, h, i, j, k, l};
    std::memcpy(g_shm_ops, ops, sizeof ops);
    g_shm_ops_set = true;
}

const AlShmOp *AlShmGetCombo(void) { return g_shm_ops_set ? g_shm_ops : nullptr; }

IpcDirReadFn ipc_dir_read_fn(void) { return dir_fd_read; }
IpcDirWriteFn ipc_dir_write_fn(void) { return dir_fd_write; }
IpcDirCloseFn ipc_dir_close_fn(void) { return dir_fd_close; }
IpcDirCleanFn ipc_dir_clean_fn(void) { return dir_fd_clean; }
long ipc_dir_pending(void) { return g_queue.pending(); }

namespace nw1 {

bool shlib_started() { return g_shlib_started; }

int dir_start(IpcConnection *conn, const std::string &path, STREAM *channel[2])
{
    /* "name!directory": the directory is searched first. */
    std::string lib_name = path;
    std::string extra;
    if (size_t bang = path.find('!'); bang != std::string::npos) {
        lib_name = path.substr(0, bang);
        extra = path.substr(bang + 1);
    }
    const char *extra_dir = extra.empty() ? nullptr : extra.c_str();
    void *lib = al_shlib_load(lib_name.c_str(), extra_dir);
    if (lib == nullptr && lib_name.find('/') == std::string::npos)
        lib = al_shlib_load_file(("lib" + lib_name + ".a").c_str(), extra_dir);
    if (lib == nullptr) {
        int e = errno;
        log_mesg(kFile, __LINE__, "ipc", 0, "Error %d: cannot link library '%s'", e,
                 path.c_str());
        return -1;
    }
    auto init = reinterpret_cast<DriverInitFn>(entry(lib, "driver_init", path));
    auto main_loop = init != nullptr
        ? reinterpret_cast<DriverMainLoopFn>(entry(lib, "driver_main_loop", path))
        : nullptr;
    auto shm_combo = main_loop != nullptr
        ? reinterpret_cast<AlShmSetComboFn>(entry(lib, "AlShmSetCombo", path))
        : nullptr;
    auto dir_combo = shm_combo != nullptr
        ? reinterpret_cast<IpcDirSetComboFn>(entry(lib, "IpcDirSetCombo", path))
        : nullptr;
    if (dir_combo == nullptr) {
        al_shlib_close(lib);
        return -1;
    }
    using namespace shm_standin;
    shm_combo(op(shm_brk), op(alloc_m_seg), op(print_m_seg), op(clean_shm),
              op(unlink_shm), op(shm_linked), op(link_shm), op(lock_shm),
              op(unlock_shm), op(reset_shm), op(SetShmBrkErrHandler), op(ShmGetNode));
    dir_combo(dir_fd_read, dir_fd_write, dir_fd_close, dir_fd_clean);
    g_queue.reset();
    if (init(0, nullptr, 0, nullptr) < 0) {
        log_mesg(kFile, __LINE__, "ipc", 0, "driver_init failed in '%s'", path.c_str());
        g_queue.reset();
        al_shlib_close(lib);
        return -1;
    }
    g_shlib_started = true;
    conn->lib = lib;
    conn->driver_init = init;
    conn->driver_main_loop = main_loop;
    if (!make_channel(conn, &dir_client_ops, channel)) {
        dir_release(conn);
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

int dir_server(IpcConnection *conn, STREAM *channel[2])
{
    if (g_combo.read == nullptr || g_combo.write == nullptr) {
        log_mesg(kFile, __LINE__, "ipc", 0,
                 "%s: no in-process channel installed (IpcDirSetCombo)", conn->name);
        errno = ENXIO;
        return -1;
    }
    if (!make_channel(conn, &dir_server_ops, channel)) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

void dir_release(IpcConnection *conn)
{
    if (conn->lib == nullptr) {
        if (g_combo.close != nullptr)
            g_combo.close();
        return;
    }
    g_queue.reset();
    if (al_shlib_close(conn->lib) != 0) {
        int e = errno;
        log_mesg(kFile, __LINE__, "ipc", 0, "Error %d in close of db-driver handle", e);
    }
    conn->lib = nullptr;
    conn->driver_init = nullptr;
    conn->driver_main_loop = nullptr;
    g_shlib_started = false;
}

} // namespace nw1
