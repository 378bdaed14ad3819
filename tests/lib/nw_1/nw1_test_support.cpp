/*
 * nw1_test_support.cpp: the private root, recorder and client helpers of
 * the channel tests (see nw1_test_support.h).
 */
#include "nw1_test_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "al_env.h"
#include "al_log.h"

namespace nw1test {

namespace {

/* Set before main, so that every cache of the root sees this directory. */
struct ProcessEnvironment {
    tdbtest::TempDir dir;
    ProcessEnvironment()
    {
        setenv("TSE", dir.path().c_str(), 1);
        setenv("TSE_TMP", (dir.path() + "/tmp").c_str(), 1);
        setenv("USER", "nwtester", 1);
        setenv("LOGNAME", "nwlogin", 1);
        unsetenv("TSE_REM");
        unsetenv("TSE_BIN");
        unsetenv("DB_MANUAL");
        unsetenv("PROCESS_SET_INFO");
        dir.write("log/.keep", "");
        dir.write("tmp/.keep", "");
        initUsernames(0);
    }
};

ProcessEnvironment &environment()
{
    static ProcessEnvironment env;
    return env;
}

const bool environment_ready = (environment(), true);

Recorder *active = nullptr;

void record_message(const char *message)
{
    if (active)
        active->messages.emplace_back(message);
}

} // namespace

const std::string &root() { return environment().dir.path(); }
std::string echo_driver() { return NW1_ECHO_DRIVER; }
std::string driver_lib_dir() { return NW1_DRIVER_LIB_DIR; }

void write_ipc_info(const std::string &text)
{
    environment().dir.write("lib/ipc_info", text);
    ipc_info_forget();
}

std::string write_root(const std::string &relative, const std::string &content)
{
    return environment().dir.write(relative, content);
}

Recorder::Recorder()
{
    active = this;
    log_set_log_hook(record_message);
}

Recorder::~Recorder()
{
    active = nullptr;
    log_set_log_hook(nullptr);
}

bool Recorder::logged(const std::string &expected) const
{
    std::string text = expected;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    for (const auto &m : messages)
        if (m == text)
            return true;
    return false;
}

std::string Recorder::all() const
{
    std::string out;
    for (const auto &m : messages)
        out += "[" + m + "]\n";
    return out;
}

void in_child(const std::function<void()> &body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "checks in the child failed";
}

std::string echo_reverse(STREAM *channel[2], const std::string &data)
{
    w_long(channel[1], ECHO_REVERSE);
    w_long(channel[1], static_cast<long>(data.size()));
    swrite_blok(data.data(), static_cast<int>(data.size()), channel[1]);
    EXPECT_EQ(sflush(channel[1]), 0);
    long n = r_long(channel[0]);
    EXPECT_EQ(n, static_cast<long>(data.size()));
    if (n < 0)
        return {};
    std::string back(static_cast<size_t>(n), '\0');
    EXPECT_EQ(sread_blok(back.data(), static_cast<int>(n), channel[0]), n);
    return back;
}

static std::string read_string(STREAM *sp)
{
    std::string s;
    int c;
    while ((c = sgetc(sp)) > 0)
        s.push_back(static_cast<char>(c));
    return s;
}

DriverArgs driver_args(STREAM *channel[2])
{
    w_long(channel[1], ECHO_ARGS);
    EXPECT_EQ(sflush(channel[1]), 0);
    DriverArgs a;
    long argc = r_long(channel[0]);
    for (long i = 0; i < argc && i < 100; ++i)
        a.argv.push_back(read_string(channel[0]));
    a.process_set_info = read_string(channel[0]);
    a.client_pid = r_long(channel[0]);
    a.own_pid = r_long(channel[0]);
    a.is_server = r_long(channel[0]);
    a.flags = r_long(channel[0]);
    return a;
}

std::string pattern(STREAM *channel[2], long n)
{
    w_long(channel[1], ECHO_PATTERN);
    w_long(channel[1], n);
    EXPECT_EQ(sflush(channel[1]), 0);
    long got = r_long(channel[0]);
    EXPECT_EQ(got, n);
    std::string data(static_cast<size_t>(n), '\0');
    EXPECT_EQ(sread_blok(data.data(), static_cast<int>(n), channel[0]), n);
    return data;
}

std::string expected_pattern(long n)
{
    std::string s(static_cast<size_t>(n), '\0');
    for (long i = 0; i < n; ++i)
        s[static_cast<size_t>(i)] = static_cast<char>((i * 7) & 0xff);
    return s;
}

bool process_gone(pid_t pid)
{
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (!(r < 0 && errno == ECHILD))
        return false;
    return kill(pid, 0) < 0 && errno == ESRCH;
}

void ChannelTest::SetUp()
{
    ipc_info_forget();
    nw_seterror(0);
}

} // namespace nw1test
