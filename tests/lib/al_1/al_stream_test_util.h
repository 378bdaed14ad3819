/*
 * al_stream_test_util.h: helpers shared by the stream tests: files, a
 * forked child with an exit code, a trace recorder and a packet socket
 * that shows each write call of a stream as one packet.
 */
#ifndef TESTS_AL_STREAM_TEST_UTIL_H
#define TESTS_AL_STREAM_TEST_UTIL_H

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "al_stream.h"
/* The stream record is private to the library; the tests look inside it
   to check buffer ownership and flags. */
#include "../../../lib/al_1/al_stream_int.h"

namespace streamtest {

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline long file_size(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

/* Bytes 0..n-1 of a recognisable pattern (not repeating every 256). */
inline std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

/* Runs body in a forked child; its exit code (or 128 + signal). */
inline int run_in_child(const std::function<int()> &body)
{
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int rc = body();
        std::fflush(nullptr);
        ::_exit(rc);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

/* Records every trace call as (level, formatted text) while alive. */
class TraceRecorder {
public:
    TraceRecorder() { previous_ = file_set_trace_fun_hook(&TraceRecorder::hook); }
    ~TraceRecorder() { file_set_trace_fun_hook(previous_); }
    TraceRecorder(const TraceRecorder &) = delete;
    TraceRecorder &operator=(const TraceRecorder &) = delete;

    static std::vector<std::pair<int, std::string>> &calls()
    {
        static std::vector<std::pair<int, std::string>> all;
        return all;
    }
    /* True when some call of that level holds text. */
    static bool has(int level, const std::string &text)
    {
        for (const auto &c : calls())
            if (c.first == level && c.second.find(text) != std::string::npos)
                return true;
        return false;
    }

private:
    static void hook(int level, const char *fmt, va_list args)
    {
        char buf[4096];
        std::vsnprintf(buf, sizeof buf, fmt, args);
        calls().emplace_back(level, buf);
    }
    FileTraceFun previous_;
};

/*
 * A pair of connected packet sockets: every write call on one end arrives
 * as one packet on the other, so the sizes of the stream's physical writes
 * can be seen.
 */
class PacketPair {
public:
    PacketPair() { ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_); }
    ~PacketPair()
    {
        for (int fd : fds_)
            if (fd >= 0)
                ::close(fd);
    }
    PacketPair(const PacketPair &) = delete;
    PacketPair &operator=(const PacketPair &) = delete;
    bool ok() const { return fds_[0] >= 0 && fds_[1] >= 0; }
    /* Hands the writing end over (to sdopen, which will close it). */
    int release_writer()
    {
        int fd = fds_[0];
        fds_[0] = -1;
        return fd;
    }
    /* The sizes of the packets waiting, and their bytes joined. */
    std::vector<long> drain(std::string *bytes = nullptr)
    {
        std::vector<long> sizes;
        std::vector<char> buf(1 << 17);
        for (;;) {
            ssize_t n = ::recv(fds_[1], buf.data(), buf.size(), MSG_DONTWAIT);
            if (n <= 0)
                break; /* nothing waiting, or the writer has gone */
            sizes.push_back(static_cast<long>(n));
            if (bytes != nullptr)
                bytes->append(buf.data(), static_cast<size_t>(n));
        }
        return sizes;
    }

private:
    int fds_[2] = {-1, -1};
};

} // namespace streamtest

#endif
