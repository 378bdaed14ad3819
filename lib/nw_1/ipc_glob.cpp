/*
 * ipc_glob.cpp: connection records and their lists, the driver table
 * lib/ipc_info, attach_process, the refusal of remote names, channel
 * control, broken and closed channels, and the driver side (init_server).
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_shm.h"
#include "al_user.h"
#include "ipc.h"
#include "ipc_int.h"

using namespace nw1;

namespace {

constexpr const char *kFile = kGlobFile;

IpcConnection *g_clients = nullptr;  /* client connections, newest first */
IpcConnection *g_servers = nullptr;  /* driver-side connections, in order */
int g_error = 0;                      /* the connection error flag */
bool g_is_server = false;
bool g_no_disassociate = false;
bool g_exit_registered = false;
char g_own_host[IPC_HOSTNAME_SIZE] = "";

/* The driver table: the file's text, read once, or nothing yet. */
std::optional<std::string> g_ipc_info;

/* ---- the driver table --------------------------------------------------- */

/* Reads lib/ipc_info once; false (logged) when it cannot be opened. */
bool load_ipc_info()
{
    if (g_ipc_info)
        return true;
    std::string path = std::string("{nolog}") + get_tse() + "/lib/ipc_info";
    STREAM *sp = sopen(path.c_str(), "r");
    if (sp == nullptr) {
        int e = errno;
        log_mesg(kFile, __LINE__, "ipc", 0, "Error %d: cannot open ipc_info", e);
        errno = e;
        return false;
    }
    std::string text;
    char buf[4096];
    int n;
    while ((n = sread_blok(buf, sizeof buf, sp)) > 0)
        text.append(buf, static_cast<size_t>(n));
    sclose(sp);
    /* Kept with two terminating NUL bytes, as the table always was. */
    text.push_back('\0');
    text.push_back('\0');
    g_ipc_info = std::move(text);
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string_view> split_fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i]))
            ++i;
        if (i >= line.size())
            break;
        size_t start = i;
        while (i < line.size() && !is_blank(line[i]))
            ++i;
        fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

/* Replaces every occurrence of token by value, left to right. */
void replace_all(std::string &s, std::string_view token, std::string_view value)
{
    size_t pos = 0;
    while ((pos = s.find(token, pos)) != std::string::npos) {
        s.replace(pos, token.size(), value);
        pos += value.size();
    }
}

enum class Lookup { found, not_listed, failed };

/*
 * Finds how name is started: its protocol flag (IPC_SOCKET, IPC_PIPE or
 * IPC_SHLIB) and its path with ${TSE} and ${TSE_BIN} replaced.
 */
Lookup lookup_ipc_info(std::string_view name, std::uint32_t *protocol,
                       std::string *path)
{
    if (!load_ipc_info())
        return Lookup::failed;
    std::string_view text(*g_ipc_info);
    /* The text ends in two NUL bytes: look only at what precedes them. */
    text = text.substr(0, text.size() - 2);
    const char *tse = get_tse();
    int lineno = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineno;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        size_t first = 0;
        while (first < line.size() &&
               (is_blank(line[first]) || line[first] == '\n'))
            ++first;
        line.remove_prefix(first);
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string_view> f = split_fields(line);
        if (f.empty() || f[0] != name)
            continue;
        std::string_view proto;
        std::string_view p;
        if (f.size() == 3) {
            proto = f[1];
            p = f[2];
        } else if (f.size() == 6) {
            proto = f[4];
            p = f[5];
        } else {
            std::string n(name);
            log_mesg(kFile, __LINE__, "ipc_info", 0,
                     "File %s/lib/ipc_info, line %d, tag \"%s\" - Unexpected "
                     "number of entries (%d).\n",
                     tse, lineno, n.c_str(), static_cast<int>(f.size()));
            continue;
        }
        switch (proto[0]) {
        case 's':
        case 'S':
            *protocol = IPC_SOCKET;
            break;
        case 'p':
        case 'P':
        case 'm':
        case 'M':
            *protocol = IPC_PIPE;
            break;
        case 'd':
        case 'D':
            *protocol = IPC_SHLIB;
            break;
        default:
            log_mesg(kFile, __LINE__, "ipc", 0, "Unknown protocol '%c'.",
                     proto[0]);
            return Lookup::failed;
        }
        if (*protocol == IPC_SHLIB && shlib_started()) {
            if (user_info.debug_level & 32) {
                std::string n(name);
                std::fprintf(stderr,
                             "Attempt to start more than one shared library: "
                             "%s. Fall back to standalone driver with same "
                             "logical name (see %s/lib/ipc_info)",
                             n.c_str(), tse);
                std::fflush(stderr);
            }
            continue;
        }
        path->assign(p);
        replace_all(*path, "${TSE}", tse);
        const char *bin = getvar("TSE_BIN");
        replace_all(*path, "${TSE_BIN}", bin != nullptr ? bin : "");
        return Lookup::found;
    }
    std::string n(name);
    log_mesg(kFile, __LINE__, "ipc", 0, "Server '%s' not listed in ipc_info file.",
             n.c_str());
    return Lookup::not_listed;
}

/* ---- remote names ------------------------------------------------------- */

/* A remote name taken apart. */
struct RemoteName {
    std::string user, password, tse, host, driver;
    bool credentials = false;
};

/*
 * Parses "host!driver" or ":user:password:tse@host!driver" (the password
 * exactly 32 characters). false when the name does not have that form.
 */
bool parse_remote_name(std::string_view name, RemoteName *out)
{
    std::string_view rest = name;
    if (!rest.empty() && rest[0] == ':') {
        out->credentials = true;
        rest.remove_prefix(1);
        size_t c1 = rest.find(':');
        if (c1 == std::string_view::npos)
            return false;
        out->user.assign(rest.substr(0, c1));
        rest.remove_prefix(c1 + 1);
        if (rest.size() < 33 || rest[32] != ':')
            return false;
        out->password.assign(rest.substr(0, 32));
        rest.remove_prefix(33);
        size_t at = rest.rfind('@', rest.find('!'));
        if (at == std::string_view::npos)
            return false;
        out->tse.assign(rest.substr(0, at));
        rest.remove_prefix(at + 1);
        if (out->user.empty() || out->tse.empty())
            return false;
    }
    size_t bang = rest.find('!');
    if (bang == std::string_view::npos)
        return false;
    out->host.assign(rest.substr(0, bang));
    out->driver.assign(rest.substr(bang + 1));
    return !out->host.empty() && !out->driver.empty() &&
           out->driver.find('!') == std::string::npos;
}

/* Remote start-up (boot program, login) is not part of this build. */
int refuse_remote(const char *name)
{
    RemoteName rn;
    if (!parse_remote_name(name, &rn)) {
        log_mesg(kFile, __LINE__, "ipc", 0,
                 "Malformed remote server name '%s'", name);
        log_mesg(kFile, __LINE__, "ipc", 0,
                 "cannot get the hostname of the server");
        nw_seterror(IPC_ERR_START);
        errno = EINVAL;
        return -1;
    }
    log_mesg(kFile, __LINE__, "ipc", 0,
             "Server '%s' on host '%s': starting drivers on other hosts is "
             "not available",
             rn.driver.c_str(), rn.host.c_str());
    nw_seterror(IPC_ERR_START);
    errno = ENOSYS;
    return -1;
}

/* ---- small helpers ------------------------------------------------------ */

/* A decimal argument; false when it is not entirely a number. */
bool parse_int(const char *text, long *value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool open_fd(long fd)
{
    return fd >= 0 && fd <= 0x7fffffff && ::fcntl(static_cast<int>(fd), F_GETFD) >= 0;
}

void at_exit_server() { server_exit(); }

} // namespace

/* ---- records and lists -------------------------------------------------- */

namespace nw1 {

IpcConnection *new_connection(std::uint32_t flags, std::string_view name)
{
    void *mem = mal_allocater(sizeof(IpcConnection));
    if (mem == nullptr)
        return nullptr;
    auto *c = new (mem) IpcConnection{};
    c->flags = flags;
    c->creator = ::getpid();
    c->rfd = -1;
    c->wfd = -1;
    std::string n(name);
    c->name = mal_strsave(n.c_str());
    c->ends[0] = {c, 0};
    c->ends[1] = {c, 1};
    if (flags & IPC_SERVER) {
        IpcConnection **link = &g_servers;
        while (*link != nullptr)
            link = &(*link)->next;
        *link = c;
    } else {
        c->next = g_clients;
        g_clients = c;
    }
    return c;
}

void free_connection(IpcConnection *conn)
{
    for (IpcConnection **head : {&g_clients, &g_servers}) {
        for (IpcConnection **link = head; *link != nullptr; link = &(*link)->next) {
            if (*link == conn) {
                *link = conn->next;
                break;
            }
        }
    }
    mal_free(conn->name);
    mal_free(conn->remote_host);
    conn->~IpcConnection();
    mal_free(conn);
}

IpcConnection *find_connection(STREAM *sp)
{
    if (sp == nullptr)
        return nullptr;
    for (IpcConnection *head : {g_clients, g_servers})
        for (IpcConnection *c = head; c != nullptr; c = c->next)
            if (c->rs == sp || c->ws == sp)
                return c;
    return nullptr;
}

IpcConnection *first_server_connection() { return g_servers; }

bool make_channel(IpcConnection *conn, const StreamChannelOps *ops,
                  STREAM *channel[2])
{
    STREAM *rs = stream_open_channel(&conn->ends[0], ops, "r", -1);
    if (rs == nullptr)
        return false;
    STREAM *ws = stream_open_channel(&conn->ends[1], ops, "w", -1);
    if (ws == nullptr) {
        /* Its close only marks the connection; undo the mark. */
        sclose(rs);
        conn->flags &= ~static_cast<std::uint32_t>(IPC_HALF_CLOSED);
        return false;
    }
    conn->rs = rs;
    conn->ws = ws;
    channel[0] = rs;
    channel[1] = ws;
    return true;
}

[[noreturn]] void channel_broken(IpcConnection *conn)
{
    conn->breaking = true;
    if (conn->on_term != nullptr)
        conn->on_term(conn->rs, conn->term_arg);
    do_emergency();
    if (conn->flags & IPC_SERVER) {
        STREAM *rs = conn->rs;
        STREAM *ws = conn->ws;
        if (ws != nullptr)
            sclose(ws);
        if (rs != nullptr)
            sclose(rs);
        std::exit(0);
    }
    std::exit(1);
}

int close_endpoint(IpcEndpoint *ep)
{
    IpcConnection *conn = ep->conn;
    if (ep->which == 0)
        conn->rs = nullptr;
    else
        conn->ws = nullptr;
    if ((conn->flags & IPC_HALF_CLOSED) == 0) {
        conn->flags |= IPC_HALF_CLOSED;
        return 0;
    }
    int rc = 0;
    int saved = 0;
    if (conn->rfd >= 0 && ::close(conn->rfd) < 0) {
        rc = -1;
        saved = errno;
    }
    if (conn->wfd >= 0 && conn->wfd != conn->rfd && ::close(conn->wfd) < 0) {
        rc = -1;
        saved = errno;
    }
    conn->rfd = conn->wfd = -1;
    if (conn->flags & IPC_SHLIB)
        dir_release(conn);
    if ((conn->flags & IPC_CLIENT) && (conn->flags & IPC_LOCAL) &&
        (conn->flags & (IPC_PIPE | IPC_SOCKET)) && conn->child > 0) {
        int status = 0;
        while (::waitpid(conn->child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    free_connection(conn);
    if (rc != 0)
        errno = saved;
    return rc;
}

std::vector<std::string> driver_arguments(std::string_view name,
                                          std::uint32_t flags, int rfd,
                                          int wfd, int argc,
                                          char *const *argv)
{
    std::vector<std::string> args;
    args.emplace_back(name);
    args.push_back(std::to_string(::getpid()));
    args.push_back(std::to_string(flags));
    args.push_back(std::to_string(rfd));
    args.push_back(std::to_string(wfd));
    for (int i = 0; i < argc && argv != nullptr; ++i)
        args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    return args;
}

std::string process_set_info(std::string_view name, std::string_view kind)
{
    std::string user = get_trel_user();
    std::string text = "PROCESS_SET_INFO=";
    text.append(name);
    text += " (";
    text += user;
    const char *logname = std::getenv("LOGNAME");
    if (logname != nullptr && user != logname) {
        text += '[';
        text += logname;
        text += ']';
    }
    text += ':';
    text += std::to_string(::getpid());
    text += '/';
    text.append(kind);
    const char *set = log_get_process_set();
    if (set != nullptr && *set != '\0') {
        text += '<';
        text += set;
        text += '>';
    }
    text += ')';
    return text;
}

void ignore_sigpipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace nw1

/* ---- public interface --------------------------------------------------- */

void ipc_info_forget(void)
{
    g_ipc_info.reset();
}

int attach_process(const char *name, STREAM *channel[2], int client_flag,
                   int argc, char *const *argv)
{
    if (name == nullptr || *name == '\0' || channel == nullptr || argc < 0 ||
        (argc > 0 && argv == nullptr)) {
        errno = EINVAL;
        nw_seterror(IPC_ERR_START);
        return -1;
    }
    if (std::strchr(name, '!') != nullptr)
        return refuse_remote(name);

    std::uint32_t protocol = 0;
    std::string path;
    if (lookup_ipc_info(name, &protocol, &path) != Lookup::found) {
        log_mesg(kFile, __LINE__, "ipc", 0, "cannot get the hostname of the server");
        nw_seterror(IPC_ERR_START);
        return -1;
    }
    /* The caller's flag cannot choose the protocol or the close state. */
    std::uint32_t flags = protocol | IPC_LOCAL | IPC_CLIENT |
                          (static_cast<std::uint32_t>(client_flag) &
                           ~static_cast<std::uint32_t>(IPC_PROTOCOL_MASK | IPC_HALF_CLOSED));
    if (protocol != IPC_SHLIB) {
        if (::access(path.c_str(), X_OK) != 0) {
            log_mesg(kFile, __LINE__, "ipc", 0, "%s path '%s' not executable",
                     name, path.c_str());
            nw_seterror(IPC_ERR_START);
            return -1;
        }
        setSystemVars(nullptr);
    }
    IpcConnection *conn = new_connection(flags, name);
    if (conn == nullptr) {
        nw_seterror(IPC_ERR_START);
        errno = ENOMEM;
        return -1;
    }
    int rc;
    switch (flags & IPC_PROTOCOL_MASK) {
    case IPC_PIPE:
        rc = pipe_start(conn, path, argc, argv, channel);
        break;
    case IPC_SOCKET:
        rc = local_sock_start(conn, path, argc, argv, channel);
        break;
    case IPC_SHLIB:
        rc = dir_start(conn, path, channel);
        break;
    default:
        log_mesg(kFile, __LINE__, "ipc", 0, "%s: Protocol -%o- not supported",
                 name, static_cast<unsigned>(flags));
        rc = -1;
        break;
    }
    if (rc != 0) {
        free_connection(conn);
        nw_seterror(IPC_ERR_START);
        return -1;
    }
    return 0;
}

int ipc_control(STREAM *sp, int command, void *arg)
{
    IpcConnection *conn = find_connection(sp);
    if (conn == nullptr) {
        errno = EBADF;
        return -1;
    }
    switch (command) {
    case IPC_SET_TERMINATION: {
        const auto *t = static_cast<const IpcTermination *>(arg);
        conn->on_term = t != nullptr ? t->handler : nullptr;
        conn->term_arg = t != nullptr ? t->arg : nullptr;
        return 0;
    }
    case IPC_GET_REMOTE_HOST: {
        if (arg == nullptr)
            break;
        auto *buf = static_cast<char *>(arg);
        std::snprintf(buf, IPC_HOSTNAME_SIZE, "%s",
                      conn->remote_host != nullptr ? conn->remote_host : "");
        return 0;
    }
    case IPC_SET_OWN_HOST: {
        if (arg == nullptr)
            break;
        std::string_view h(static_cast<const char *>(arg));
        h = h.substr(0, h.find('.'));
        std::snprintf(g_own_host, sizeof g_own_host, "%.*s",
                      static_cast<int>(h.size()), h.data());
        return 0;
    }
    case IPC_REMOTE_INFO:
        log_mesg(kFile, __LINE__, "ipc", 0,
                 "remote info: drivers on other hosts are not available");
        errno = ENOSYS;
        return -1;
    default:
        break;
    }
    errno = EINVAL;
    return -1;
}

int IpcSetOnTermination(STREAM *sp, IpcTermHandler handler, void *arg)
{
    IpcTermination t{handler, arg};
    return ipc_control(sp, IPC_SET_TERMINATION, &t);
}

pid_t ipc_client_pid(STREAM *sp)
{
    IpcConnection *conn = find_connection(sp);
    return conn != nullptr ? conn->creator : -1;
}

pid_t ipc_child_pid(STREAM *sp)
{
    IpcConnection *conn = find_connection(sp);
    return conn != nullptr ? conn->child : -1;
}

int ipc_flags(STREAM *sp)
{
    IpcConnection *conn = find_connection(sp);
    return conn != nullptr ? static_cast<int>(conn->flags) : -1;
}

const char *get_hostname(void)
{
    if (g_own_host[0] == '\0') {
        std::string_view h(getsyshostname());
        h = h.substr(0, h.find('.'));
        std::snprintf(g_own_host, sizeof g_own_host, "%.*s",
                      static_cast<int>(h.size()), h.data());
    }
    return g_own_host;
}

int is_server(void) { return g_is_server ? 1 : 0; }

void nw_seterror(int error) { g_error = error; }

int nw_geterror(void) { return g_error; }

void disable_disassociate(void) { g_no_disassociate = true; }

/* ---- driver side -------------------------------------------------------- */

int init_server(int argc, char **argv, int flags, STREAM *channel[2])
{
    const char *name = argc > 0 && argv != nullptr && argv[0] != nullptr
                           ? argv[0] : "driver";
    if (channel == nullptr) {
        errno = EINVAL;
        return -1;
    }
    g_is_server = true;
    if (::getppid() != 1) {
        std::signal(SIGTTOU, SIG_IGN);
        std::signal(SIGTTIN, SIG_IGN);
        std::signal(SIGTSTP, SIG_IGN);
        std::signal(SIGHUP, SIG_IGN);
        if (!g_no_disassociate && ::getpid() != ::getpgrp())
            ::setsid();
    }
    ::umask(0);

    std::uint32_t cflags;
    long value = 0;
    if (argc > 2 && argv != nullptr) {
        if (!parse_int(argv[2], &value) || value < 0) {
            log_mesg(kFile, __LINE__, "ipc", 0,
                     "%s: invalid protocol flags argument '%s'", name,
                     argv[2] != nullptr ? argv[2] : "");
            errno = EINVAL;
            return -1;
        }
        cflags = (static_cast<std::uint32_t>(value) & ~static_cast<std::uint32_t>(IPC_CLIENT)) |
                 IPC_SERVER;
    } else {
        cflags = IPC_SHLIB | IPC_SERVER;
    }
    cflags |= static_cast<std::uint32_t>(flags);
    /* A new connection never starts half closed. */
    cflags &= ~static_cast<std::uint32_t>(IPC_HALF_CLOSED);

    std::uint32_t proto = cflags & IPC_PROTOCOL_MASK;
    if (proto != IPC_PIPE && proto != IPC_SOCKET && proto != IPC_SHLIB) {
        log_mesg(kFile, __LINE__, "ipc", 0, "%s: Protocol -%o- not supported",
                 name, static_cast<unsigned>(cflags));
        errno = EINVAL;
        return -1;
    }

    long client = 0, rfd = -1, wfd = -1;
    if (proto != IPC_SHLIB) {
        if (argc < 5 || !parse_int(argv[1], &client) || !parse_int(argv[3], &rfd) ||
            !parse_int(argv[4], &wfd) || !open_fd(rfd) || !open_fd(wfd)) {
            log_mesg(kFile, __LINE__, "ipc", 0,
                     "%s: missing or invalid channel arguments", name);
            errno = EBADF;
            return -1;
        }
    }

    IpcConnection *conn = new_connection(cflags, name);
    if (conn == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    if (proto == IPC_SHLIB) {
        if (dir_server(conn, channel) != 0) {
            free_connection(conn);
            return -1;
        }
        return 0;
    }
    conn->creator = static_cast<pid_t>(client);
    conn->rfd = static_cast<int>(rfd);
    conn->wfd = static_cast<int>(wfd);
    if (proto == IPC_SOCKET) {
        if (cflags & IPC_REMOTE)
            sock_nodelay(conn->rfd);
        SockInherit(conn->rfd, 1);
    }
    if (!make_channel(conn, &fd_stream_ops, channel)) {
        free_connection(conn);
        errno = ENOMEM;
        return -1;
    }
    if (proto == IPC_SOCKET && (cflags & IPC_REMOTE)) {
        /* The boot program waits for this before it hands over. */
        char path[1024];
        if (swrite_blok("server oke", 11, channel[1]) != 11 || sflush(channel[1]) != 0 ||
            r_string_n(channel[0], path, sizeof path) < 0) {
            log_mesg(kFile, __LINE__, "ipc", 0, "%s: boot handshake failed", name);
            return -1;
        }
    }
    if (!g_exit_registered) {
        g_exit_registered = true;
        std::atexit(at_exit_server);
    }
    return 0;
}

void server_exit(void)
{
    while (IpcConnection *conn = first_server_connection()) {
        if (conn->on_term != nullptr && !conn->breaking) {
            conn->breaking = true;
            conn->on_term(conn->rs, conn->term_arg);
        }
        conn->breaking = true;
        STREAM *rs = conn->rs;
        STREAM *ws = conn->ws;
        if (rs == nullptr && ws == nullptr) {
            free_connection(conn);
            continue;
        }
        /* The second close frees the record. */
        if (ws != nullptr)
            sclose(ws);
        if (rs != nullptr)
            sclose(rs);
        if (first_server_connection() == conn)
            free_connection(conn);
    }
}
