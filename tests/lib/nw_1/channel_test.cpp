/*
 * channel_test.cpp: real driver children on pipes and on local socket
 * pairs: bytes both ways, the driver's argument vector and environment,
 * closing with the two-call rule and waiting for the child, and channels
 * that break when the driver dies.
 */
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "al_env.h"
#include "al_log.h"
#include "ipc_int.h"
#include "nw1_test_support.h"

using namespace nw1test;

namespace {

struct Kind {
    const char *letter;
    int protocol;
    const char *tag;  /* in PROCESS_SET_INFO */
};

void PrintTo(const Kind &k, std::ostream *os)
{
    *os << k.tag;
}

class ChannelKindTest : public ChannelTest, public ::testing::WithParamInterface<Kind> {
protected:
    void SetUp() override
    {
        ChannelTest::SetUp();
        write_ipc_info(std::string("echo ") + GetParam().letter + " " + echo_driver() +
                       "\n");
    }
    int flags() const { return IPC_CLIENT | IPC_LOCAL | GetParam().protocol; }
};

INSTANTIATE_TEST_SUITE_P(Protocols, ChannelKindTest,
                         ::testing::Values(Kind{"p", IPC_PIPE, "PIPE"},
                                           Kind{"s", IPC_SOCKET, "LSOCKET"}),
                         [](const auto &info) { return std::string(info.param.tag); });

TEST_P(ChannelKindTest, BytesTravelBothWays)
{
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(echo_reverse(ch, "hello"), "olleh");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    std::string rev(all.rbegin(), all.rend());
    EXPECT_EQ(echo_reverse(ch, all), rev);
    EXPECT_EQ(echo_reverse(ch, ""), "");
    EXPECT_EQ(sclose(ch[0]), 0);
    EXPECT_EQ(sclose(ch[1]), 0);
}

TEST_P(ChannelKindTest, LargeMessagesPassInBothDirections)
{
    /* Far more than a stream buffer and a pipe's capacity. */
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    std::string big = expected_pattern(300001);
    std::string back = echo_reverse(ch, big);
    EXPECT_TRUE(back == std::string(big.rbegin(), big.rend()));
    EXPECT_TRUE(pattern(ch, 500000) == expected_pattern(500000));
    EXPECT_EQ(echo_reverse(ch, "ok"), "ko");
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_P(ChannelKindTest, DriverReceivesItsArgumentsAndProcessSetInfo)
{
    STREAM *ch[2];
    char extra1[] = "-set";
    char extra2[] = "TREL_SCM_GRP=grp";
    char extra3[] = "";
    char *extra[] = {extra1, extra2, extra3};
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 3, extra), 0);
    DriverArgs a = driver_args(ch);
    ASSERT_EQ(a.argv.size(), 8u);
    EXPECT_EQ(a.argv[0], "echo");
    EXPECT_EQ(a.argv[1], std::to_string(getpid()));
    EXPECT_EQ(a.argv[2], std::to_string(flags()));
    if (GetParam().protocol == IPC_SOCKET)
        EXPECT_EQ(a.argv[3], a.argv[4]) << "one socket for both directions";
    else
        EXPECT_NE(a.argv[3], a.argv[4]);
    EXPECT_EQ(a.argv[5], "-set");
    EXPECT_EQ(a.argv[6], "TREL_SCM_GRP=grp");
    EXPECT_EQ(a.argv[7], "");
    std::string set = log_get_process_set();
    std::string expected = std::string("echo (nwtester[nwlogin]:") +
                           std::to_string(getpid()) + "/" + GetParam().tag +
                           (set.empty() ? "" : "<" + set + ">") + ")";
    EXPECT_EQ(a.process_set_info, expected);
    /* The driver's side of the same connection. */
    EXPECT_EQ(a.client_pid, getpid());
    EXPECT_EQ(a.is_server, 1);
    EXPECT_EQ(a.flags, (flags() & ~IPC_CLIENT) | IPC_SERVER);
    EXPECT_EQ(ipc_child_pid(ch[0]), a.own_pid);
    EXPECT_EQ(ipc_client_pid(ch[0]), getpid());
    EXPECT_EQ(is_server(), 0);
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_P(ChannelKindTest, LognameEqualToTheUserIsNotRepeated)
{
    setenv("LOGNAME", "nwtester", 1);
    STREAM *ch[2];
    int rc = attach_process("echo", ch, IPC_CLIENT, 0, nullptr);
    setenv("LOGNAME", "nwlogin", 1);
    ASSERT_EQ(rc, 0);
    DriverArgs a = driver_args(ch);
    EXPECT_EQ(a.process_set_info.rfind(std::string("echo (nwtester:") +
                                           std::to_string(getpid()) + "/" +
                                           GetParam().tag,
                                       0),
              0u)
        << a.process_set_info;
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_P(ChannelKindTest, ProcessSetOfTheLoggingLayerIsAppended)
{
    const std::string tag = GetParam().tag;
    in_child([tag] {
        BaseProcessSetSet("tool <ops@central:4711> extra");
        ASSERT_STREQ(log_get_process_set(), "ops@central:4711");
        STREAM *ch[2];
        ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
        EXPECT_EQ(driver_args(ch).process_set_info,
                  "echo (nwtester[nwlogin]:" + std::to_string(getpid()) + "/" + tag +
                      "<ops@central:4711>)");
        sclose(ch[0]);
        sclose(ch[1]);
    });
}

TEST_P(ChannelKindTest, ClosingBothStreamsWaitsForTheChild)
{
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    pid_t child = ipc_child_pid(ch[0]);
    ASSERT_GT(child, 0);
    EXPECT_EQ(driver_args(ch).own_pid, child);
    EXPECT_EQ(sclose(ch[1]), 0);
    EXPECT_EQ(sclose(ch[0]), 0);
    /* Reaped by the second close: no zombie is left behind. */
    EXPECT_TRUE(process_gone(child));
    EXPECT_EQ(ipc_flags(ch[0]), -1);
}

TEST_P(ChannelKindTest, ClosingOneStreamLeavesTheConnectionOpen)
{
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    pid_t child = ipc_child_pid(ch[0]);
    EXPECT_EQ(sclose(ch[0]), 0);
    EXPECT_EQ(ipc_flags(ch[0]), -1) << "the closed stream is no channel stream";
    EXPECT_EQ(ipc_flags(ch[1]), flags() | IPC_HALF_CLOSED);
    EXPECT_EQ(ipc_child_pid(ch[1]), child);
    /* The driver is still there and still reads what is written. */
    EXPECT_EQ(kill(child, 0), 0);
    w_long(ch[1], ECHO_PATTERN);
    w_long(ch[1], 1);
    EXPECT_EQ(sflush(ch[1]), 0);
    EXPECT_EQ(sclose(ch[1]), 0);
    EXPECT_TRUE(process_gone(child));
}

TEST_P(ChannelKindTest, TwoDriversRunSideBySide)
{
    STREAM *a[2], *b[2];
    ASSERT_EQ(attach_process("echo", a, IPC_CLIENT, 0, nullptr), 0);
    ASSERT_EQ(attach_process("echo", b, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_NE(ipc_child_pid(a[0]), ipc_child_pid(b[0]));
    EXPECT_EQ(echo_reverse(b, "second"), "dnoces");
    EXPECT_EQ(echo_reverse(a, "first"), "tsrif");
    pid_t pa = ipc_child_pid(a[0]);
    sclose(a[0]);
    sclose(a[1]);
    EXPECT_TRUE(process_gone(pa));
    EXPECT_EQ(echo_reverse(b, "still"), "llits");
    sclose(b[0]);
    sclose(b[1]);
}

TEST_P(ChannelKindTest, SigpipeIsIgnoredOnceADriverIsStarted)
{
    in_child([] {
        signal(SIGPIPE, SIG_DFL);
        STREAM *ch[2];
        ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
        struct sigaction sa;
        sigaction(SIGPIPE, nullptr, &sa);
        EXPECT_EQ(sa.sa_handler, SIG_IGN);
        sclose(ch[0]);
        sclose(ch[1]);
    });
}

/* What the descriptor fd of process pid refers to ("pipe:[123]"). */
std::string fd_target(pid_t pid, int fd)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/fd/%d", static_cast<int>(pid), fd);
    char buf[256];
    ssize_t n = readlink(path, buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

TEST_P(ChannelKindTest, ClientDescriptorsAreNotInheritedByLaterChildren)
{
    STREAM *a[2], *b[2];
    ASSERT_EQ(attach_process("echo", a, IPC_CLIENT, 0, nullptr), 0);
    ASSERT_EQ(attach_process("echo", b, IPC_CLIENT, 0, nullptr), 0);
    /* The second driver runs already: it has answered. */
    pid_t pb = driver_args(b).own_pid;
    IpcConnection *first = nw1::find_connection(a[0]);
    ASSERT_NE(first, nullptr);
    std::string ours_r = fd_target(getpid(), first->rfd);
    std::string ours_w = fd_target(getpid(), first->wfd);
    ASSERT_FALSE(ours_r.empty());
    int seen = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        std::string t = fd_target(pb, fd);
        if (t.empty())
            continue;
        ++seen;
        EXPECT_NE(t, ours_r) << "descriptor " << fd << " of the second driver";
        EXPECT_NE(t, ours_w) << "descriptor " << fd << " of the second driver";
    }
    EXPECT_GE(seen, 3) << "the second driver's descriptors were listed";
    for (STREAM *sp : {a[1], a[0], b[1], b[0]})
        sclose(sp);
}

TEST_P(ChannelKindTest, ChannelThatCannotBeMadeIsReported)
{
    const int protocol = GetParam().protocol;
    in_child([protocol] {
        /* The table is read first: it needs a descriptor too. */
        STREAM *ch[2];
        EXPECT_EQ(attach_process("not_there", ch, IPC_CLIENT, 0, nullptr), -1);
        rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
        while (dup(2) >= 0) {
        }
        Recorder rec;
        EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
        EXPECT_EQ(nw_geterror(), IPC_ERR_START);
        std::string expected = protocol == IPC_PIPE
            ? "Create pipe failed on " + echo_driver() + " : " + std::to_string(EMFILE)
            : "Local sock on ls_attach to " + echo_driver() + ": error " +
                  std::to_string(EMFILE);
        EXPECT_TRUE(rec.logged(expected)) << rec.all();
    });
}

/* ---- broken channels ---------------------------------------------------- */

void death_handler(STREAM *sp, void *arg)
{
    std::fprintf(stderr, "death handler: %s read stream %s\n", static_cast<const char *>(arg),
                 sp == static_cast<STREAM *>(nullptr) ? "null" : "given");
    std::fflush(stderr);
}

STREAM *g_read_stream = nullptr;

void checking_handler(STREAM *sp, void *)
{
    std::fprintf(stderr, "handler got %s\n", sp == g_read_stream ? "its read stream" : "?");
    std::fflush(stderr);
    std::exit(7);
}

void handler_through_write_stream()
{
    STREAM *ch[2];
    if (attach_process("echo", ch, IPC_CLIENT, 0, nullptr) != 0)
        std::exit(50);
    g_read_stream = ch[0];
    /* Installed through the write stream: one handler per connection. */
    IpcTermination t{checking_handler, nullptr};
    ipc_control(ch[1], IPC_SET_TERMINATION, &t);
    w_long(ch[1], ECHO_DIE);
    w_long(ch[1], 0);
    sflush(ch[1]);
    r_long(ch[0]);
    std::exit(60);
}

using ChannelKindDeathTest = ChannelKindTest;

TEST_P(ChannelKindDeathTest, DriverDyingBreaksTheChannelAtTheNextRead)
{
    EXPECT_EXIT(
        {
            Recorder rec;
            STREAM *ch[2];
            if (attach_process("echo", ch, IPC_CLIENT, 0, nullptr) != 0)
                std::exit(50);
            char tag[] = "echo";
            IpcSetOnTermination(ch[0], death_handler, tag);
            w_long(ch[1], ECHO_DIE);
            w_long(ch[1], 9);
            sflush(ch[1]);
            r_long(ch[0]);
            std::exit(60); /* not reached */
        },
        ::testing::ExitedWithCode(1), "death handler: echo read stream given");
}

TEST_P(ChannelKindDeathTest, HandlerReceivesTheReadStreamAndMayEndTheProcess)
{
    EXPECT_EXIT(handler_through_write_stream(), ::testing::ExitedWithCode(7),
                "handler got its read stream");
}

TEST_P(ChannelKindDeathTest, LostConnectionIsLoggedOnTheClientSide)
{
    EXPECT_EXIT(
        {
            log_set_dest(LOG_DEST_STDERR);
            STREAM *ch[2];
            if (attach_process("echo", ch, IPC_CLIENT, 0, nullptr) != 0)
                std::exit(50);
            w_long(ch[1], ECHO_DIE);
            w_long(ch[1], 3);
            sflush(ch[1]);
            r_long(ch[0]);
            std::exit(60);
        },
        ::testing::ExitedWithCode(1),
        "Connection to server lost: fd_read [0-9]+: num_bytes -1 errno 0");
}

TEST_P(ChannelKindDeathTest, WritingToADeadDriverBreaksTheChannelInsteadOfSigpipe)
{
    EXPECT_EXIT(
        {
            log_set_dest(LOG_DEST_STDERR);
            signal(SIGPIPE, SIG_DFL);
            STREAM *ch[2];
            if (attach_process("echo", ch, IPC_CLIENT, 0, nullptr) != 0)
                std::exit(50);
            pid_t child = ipc_child_pid(ch[0]);
            w_long(ch[1], ECHO_DIE);
            w_long(ch[1], 0);
            sflush(ch[1]);
            int status;
            waitpid(child, &status, 0);
            char tag[] = "echo";
            IpcSetOnTermination(ch[0], death_handler, tag);
            for (int i = 0; i < 100; ++i) {
                w_long(ch[1], ECHO_PATTERN);
                sflush(ch[1]);
            }
            std::exit(60);
        },
        ::testing::ExitedWithCode(1),
        "Connection to server lost: fd_write [0-9]+: num_bytes -1 errno 32");
}

TEST_P(ChannelKindDeathTest, ProgramThatCannotBeExecutedEndsWithStatusOne)
{
    /* Executable, but not a program: the child's exec fails, it ends with
     * status 1, and the client notices at its first read. */
    std::string path = write_root("bin/broken", "\x7f" "ELF garbage");
    chmod(path.c_str(), 0755);
    write_ipc_info(std::string("broken ") + GetParam().letter + " ${TSE}/bin/broken\n");
    EXPECT_EXIT(
        {
            log_set_dest(LOG_DEST_STDERR);
            STREAM *ch[2];
            if (attach_process("broken", ch, IPC_CLIENT, 0, nullptr) != 0)
                std::exit(50);
            pid_t child = ipc_child_pid(ch[0]);
            int status = 0;
            waitpid(child, &status, 0);
            std::fprintf(stderr, "child status %d\n",
                         WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            char tag[] = "broken";
            IpcSetOnTermination(ch[0], death_handler, tag);
            r_long(ch[0]);
            std::exit(60);
        },
        ::testing::ExitedWithCode(1),
        "Exec failed on [^ ]*/bin/broken : 8(.|\n)*child status 1\n(.|\n)*death handler: broken");
}

INSTANTIATE_TEST_SUITE_P(Protocols, ChannelKindDeathTest,
                         ::testing::Values(Kind{"p", IPC_PIPE, "PIPE"},
                                           Kind{"s", IPC_SOCKET, "LSOCKET"}),
                         [](const auto &info) { return std::string(info.param.tag); });

TEST(ChannelControlTest, StreamsThatAreNoChannelsAreRefused)
{
    STREAM *sp = sopenVariableByteArray("w+", 0, 0);
    ASSERT_NE(sp, nullptr);
    char host[IPC_HOSTNAME_SIZE];
    EXPECT_EQ(ipc_control(sp, IPC_GET_REMOTE_HOST, host), -1);
    EXPECT_EQ(IpcSetOnTermination(sp, nullptr, nullptr), -1);
    EXPECT_EQ(ipc_client_pid(sp), -1);
    EXPECT_EQ(ipc_flags(sp), -1);
    EXPECT_EQ(ipc_control(nullptr, IPC_SET_TERMINATION, nullptr), -1);
    sclose(sp);
}

TEST_F(ChannelTest, ControlCommandsOnALocalChannel)
{
    write_ipc_info("echo p " + echo_driver() + "\n");
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    char host[IPC_HOSTNAME_SIZE] = "garbage";
    EXPECT_EQ(ipc_control(ch[0], IPC_GET_REMOTE_HOST, host), 0);
    EXPECT_STREQ(host, "") << "a local driver runs on the own host";
    char own[] = "alpha.example.com";
    EXPECT_EQ(ipc_control(ch[1], IPC_SET_OWN_HOST, own), 0);
    EXPECT_STREQ(get_hostname(), "alpha");
    char remote[] = "dbhost";
    EXPECT_EQ(ipc_control(ch[0], IPC_REMOTE_INFO, remote), -1);
    EXPECT_EQ(ipc_control(ch[0], 4711, nullptr), -1);
    EXPECT_EQ(sfileno(ch[0]), -1);
    EXPECT_EQ(ipc_get_fd_functions()->read, &fd_read);
    EXPECT_EQ(ipc_get_fd_functions()->write, &fd_write);
    EXPECT_EQ(ipc_get_fd_functions()->close, &fd_close);
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST(ChannelErrorFlagTest, KeepsTheLastValue)
{
    nw_seterror(4);
    EXPECT_EQ(nw_geterror(), 4);
    nw_seterror(0);
    EXPECT_EQ(nw_geterror(), 0);
}

} // namespace
