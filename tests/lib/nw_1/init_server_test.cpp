/*
 * init_server_test.cpp: the driver side of the start-up, in forked
 * children (it changes the process): flags from argument 2, the channel
 * descriptors and client pid, signals, session and file-creation mask,
 * refusals of bad arguments, and server_exit.
 */
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nw1_test_support.h"

using namespace nw1test;

namespace {

struct Args {
    std::vector<std::string> text;
    std::vector<char *> ptrs;
    explicit Args(std::vector<std::string> a) : text(std::move(a))
    {
        for (auto &s : text)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(text.size()); }
    char **argv() { return ptrs.data(); }
};

TEST(InitServerTest, PipeDriverTakesFlagsDescriptorsAndClientPid)
{
    in_child([] {
        int to_driver[2], to_client[2];
        ASSERT_EQ(pipe(to_driver), 0);
        ASSERT_EQ(pipe(to_client), 0);
        Args a({"mydrv", "4242", std::to_string(IPC_CLIENT | IPC_PIPE | IPC_LOCAL),
                std::to_string(to_driver[0]), std::to_string(to_client[1])});
        STREAM *ch[2];
        ASSERT_EQ(init_server(a.argc(), a.argv(), 0, ch), 0);
        EXPECT_EQ(is_server(), 1);
        EXPECT_EQ(ipc_flags(ch[0]), IPC_SERVER | IPC_PIPE | IPC_LOCAL);
        EXPECT_EQ(ipc_client_pid(ch[1]), 4242);
        w_long(ch[1], 16909060);
        EXPECT_EQ(sflush(ch[1]), 0);
        unsigned char b[4] = {0, 0, 0, 0};
        EXPECT_EQ(read(to_client[0], b, 4), 4);
        EXPECT_EQ(b[0], 1);
        EXPECT_EQ(b[1], 2);
        EXPECT_EQ(b[2], 3);
        EXPECT_EQ(b[3], 4);
        EXPECT_EQ(write(to_driver[1], "\0\0\0\x2a", 4), 4);
        EXPECT_EQ(r_long(ch[0]), 42);
        sclose(ch[0]);
        sclose(ch[1]);
    });
}

TEST(InitServerTest, ProcessIsPreparedAsADriver)
{
    in_child([] {
        signal(SIGHUP, SIG_DFL);
        umask(022);
        /* A forked test child shares the test's process group. */
        ASSERT_NE(getpid(), getpgrp());
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        Args a({"d", "1", std::to_string(IPC_CLIENT | IPC_SOCKET | IPC_LOCAL),
                std::to_string(sv[1]), std::to_string(sv[1])});
        STREAM *ch[2];
        ASSERT_EQ(init_server(a.argc(), a.argv(), 0, ch), 0);
        EXPECT_EQ(umask(0), 0);
        struct sigaction sa;
        for (int sig : {SIGHUP, SIGTTOU, SIGTTIN, SIGTSTP}) {
            sigaction(sig, nullptr, &sa);
            EXPECT_EQ(sa.sa_handler, SIG_IGN) << sig;
        }
        EXPECT_EQ(getsid(0), getpid()) << "a session of its own";
        EXPECT_EQ(fcntl(sv[1], F_GETFD) & FD_CLOEXEC, 0)
            << "a socket driver keeps its descriptor across exec";
        sclose(ch[0]);
        sclose(ch[1]);
    });
}

TEST(InitServerTest, DisableDisassociateKeepsTheSession)
{
    in_child([] {
        pid_t session = getsid(0);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        Args a({"d", "1", "288", std::to_string(sv[1]), std::to_string(sv[1])});
        disable_disassociate();
        STREAM *ch[2];
        ASSERT_EQ(init_server(a.argc(), a.argv(), 0, ch), 0);
        EXPECT_EQ(getsid(0), session);
        sclose(ch[0]);
        sclose(ch[1]);
    });
}

TEST(InitServerTest, FlagsWithoutAProtocolAreRefused)
{
    in_child([] {
        Recorder rec;
        Args a({"mydrv", "1", "2", "0", "1"});
        STREAM *ch[2];
        EXPECT_EQ(init_server(a.argc(), a.argv(), 0, ch), -1);
        EXPECT_TRUE(rec.logged("mydrv: Protocol -2- not supported")) << rec.all();
        Args b({"mydrv", "1", std::to_string(IPC_PIPE | IPC_SOCKET), "0", "1"});
        EXPECT_EQ(init_server(b.argc(), b.argv(), 0, ch), -1);
        EXPECT_TRUE(rec.logged("mydrv: Protocol -142- not supported")) << rec.all();
    });
}

TEST(InitServerTest, BadChannelArgumentsAreRefused)
{
    in_child([] {
        Recorder rec;
        STREAM *ch[2];
        for (std::vector<std::string> v :
             {std::vector<std::string>{"d", "1", "64"},
              std::vector<std::string>{"d", "1", "64", "3"},
              std::vector<std::string>{"d", "x", "64", "0", "1"},
              std::vector<std::string>{"d", "1", "64", "0", "999"},
              std::vector<std::string>{"d", "1", "64", "-1", "1"},
              std::vector<std::string>{"d", "1", "64", "0", "1x"}}) {
            Args a(v);
            rec.messages.clear();
            EXPECT_EQ(init_server(a.argc(), a.argv(), 0, ch), -1) << v.size();
            EXPECT_TRUE(rec.logged("d: missing or invalid channel arguments")) << rec.all();
        }
        Args bad({"d", "1", "sixty", "0", "1"});
        EXPECT_EQ(init_server(bad.argc(), bad.argv(), 0, ch), -1);
        EXPECT_TRUE(rec.logged("d: invalid protocol flags argument 'sixty'")) << rec.all();
    });
}

int g_handler_calls = 0;
STREAM *g_seen = nullptr;

TEST(InitServerTest, ServerExitCallsTheHandlerAndClosesTheStreams)
{
    in_child([] {
        int to_driver[2], to_client[2];
        ASSERT_EQ(pipe(to_driver), 0);
        ASSERT_EQ(pipe(to_client), 0);
        Args a({"d", "1", "64", std::to_string(to_driver[0]), std::to_string(to_client[1])});
        STREAM *ch[2];
        ASSERT_EQ(init_server(a.argc(), a.argv(), 0, ch), 0);
        IpcSetOnTermination(ch[0], [](STREAM *sp, void *) { ++g_handler_calls; g_seen = sp; },
                            nullptr);
        sputs("tail", ch[1]);
        STREAM *rs = ch[0];
        server_exit();
        EXPECT_EQ(g_handler_calls, 1);
        EXPECT_EQ(g_seen, rs);
        EXPECT_EQ(ipc_flags(ch[0]), -1);
        EXPECT_EQ(ipc_flags(ch[1]), -1);
        char buf[8] = {};
        EXPECT_EQ(read(to_client[0], buf, sizeof buf), 4) << "the write stream was flushed";
        EXPECT_EQ(std::string(buf), "tail");
        EXPECT_EQ(read(to_client[0], buf, sizeof buf), 0) << "and its descriptor closed";
    });
}

void driver_until_the_client_goes()
{
    int to_driver[2], to_client[2];
    if (pipe(to_driver) != 0 || pipe(to_client) != 0)
        std::exit(50);
    Args a({"d", "1", "64", std::to_string(to_driver[0]), std::to_string(to_client[1])});
    STREAM *ch[2];
    if (init_server(a.argc(), a.argv(), 0, ch) != 0)
        std::exit(51);
    IpcSetOnTermination(
        ch[0], [](STREAM *, void *) { std::fputs("driver saw the end\n", stderr); }, nullptr);
    close(to_driver[1]);
    r_long(ch[0]);
    std::exit(60);
}

TEST(InitServerTest, DriverSideEndsWithStatusZeroWhenTheClientGoes)
{
    EXPECT_EXIT(driver_until_the_client_goes(), ::testing::ExitedWithCode(0),
                "driver saw the end");
}

} // namespace
