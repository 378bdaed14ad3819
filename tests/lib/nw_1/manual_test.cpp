/*
 * manual_test.cpp: the manual start of a driver on two named pipes
 * (DB_MANUAL), with a real driver program that opens them the way a
 * person starting it by hand would.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "al_env.h"
#include "nw1_test_support.h"

using namespace nw1test;

namespace {

class ManualTest : public ChannelTest {
protected:
    void TearDown() override { unsetenv("DB_MANUAL"); }
};

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

/*
 * Starts the echo driver as a person would: waits for the named pipes,
 * opens the client's reading end for writing and the other for reading,
 * and runs the driver on them (descriptors 20 and 21).
 */
pid_t start_by_hand(const std::string &tag)
{
    std::string tmp = get_tse_tmp();
    std::string to_client = tmp + "/dbs.to.client." + tag;
    std::string to_driver = tmp + "/client.to.dbs." + tag;
    std::string driver = echo_driver();
    std::string client = std::to_string(getpid());
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    while (!exists(to_driver))
        usleep(1000);
    int w = open(to_client.c_str(), O_WRONLY);
    int r = open(to_driver.c_str(), O_RDONLY);
    if (w < 0 || r < 0)
        _exit(20);
    if (dup2(r, 20) < 0 || dup2(w, 21) < 0)
        _exit(22);
    execl(driver.c_str(), "echo", client.c_str(), "64", "20", "21", static_cast<char *>(nullptr));
    _exit(21);
}

TEST_F(ManualTest, DriverStartedByHandServesTheChannel)
{
    setenv("DB_MANUAL", "t1", 1);
    pid_t driver = start_by_hand("t1");
    STREAM *ch[2];
    ::testing::internal::CaptureStderr();
    int rc = ipc_attach_manual("oracle", ch);
    std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(err, "Start database server 'oracle' manually\n");
    std::string tmp = get_tse_tmp();
    EXPECT_FALSE(exists(tmp + "/dbs.to.client.t1")) << "the names are removed";
    EXPECT_FALSE(exists(tmp + "/client.to.dbs.t1"));
    EXPECT_EQ(ipc_flags(ch[0]), IPC_CLIENT | IPC_PIPE);
    EXPECT_EQ(ipc_child_pid(ch[0]), 0) << "no child of ours to wait for";
    EXPECT_EQ(echo_reverse(ch, "manual"), "launam");
    DriverArgs a = driver_args(ch);
    EXPECT_EQ(a.own_pid, driver);
    EXPECT_EQ(a.flags, IPC_PIPE | IPC_SERVER);
    EXPECT_EQ(sclose(ch[0]), 0);
    EXPECT_EQ(sclose(ch[1]), 0);
    int status = 0;
    ASSERT_EQ(waitpid(driver, &status, 0), driver);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the driver ends when the channel closes";
}

TEST_F(ManualTest, ExistingNamedPipesAreUsed)
{
    setenv("DB_MANUAL", "t2", 1);
    std::string tmp = get_tse_tmp();
    ASSERT_EQ(mkfifo((tmp + "/dbs.to.client.t2").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((tmp + "/client.to.dbs.t2").c_str(), 0600), 0);
    pid_t driver = start_by_hand("t2");
    STREAM *ch[2];
    ::testing::internal::CaptureStderr();
    int rc = ipc_attach_manual("db", ch);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(echo_reverse(ch, "ab"), "ba");
    sclose(ch[0]);
    sclose(ch[1]);
    waitpid(driver, nullptr, 0);
}

TEST_F(ManualTest, NamedPipeThatCannotBeMadeIsReported)
{
    setenv("DB_MANUAL", "no_dir/t3", 1);
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(ipc_attach_manual("db", ch), -1);
    EXPECT_TRUE(rec.logged("Can't create stream " + std::string(get_tse_tmp()) +
                           "/dbs.to.client.no_dir/t3 (error 2)"))
        << rec.all();
}

TEST_F(ManualTest, WithoutDbManualNothingIsMade)
{
    unsetenv("DB_MANUAL");
    STREAM *ch[2];
    errno = 0;
    EXPECT_EQ(ipc_attach_manual("db", ch), -1);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
