/*
 * shlib_test.cpp: drivers built as shared libraries: loading and the four
 * entries, the round trip through the in-process queue, one library per
 * process with the fall-back to a program, unloading, and the queue
 * itself.
 */
#include <unistd.h>

#include <cerrno>
#include <string>

#include "al_user.h"
#include "nw1_test_support.h"

using namespace nw1test;

namespace {

const int kLibFlags = IPC_CLIENT | IPC_LOCAL | IPC_SHLIB;

class ShlibTest : public ChannelTest {
protected:
    std::string lib() const { return driver_lib_dir() + "/libnw1_echo.so"; }
};

TEST_F(ShlibTest, RoundTripThroughTheLibrary)
{
    write_ipc_info("echo d " + lib() + "\n");
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(ipc_flags(ch[0]), kLibFlags);
    EXPECT_EQ(ipc_child_pid(ch[0]), 0);
    EXPECT_EQ(echo_reverse(ch, "in process"), "ssecorp ni");
    EXPECT_EQ(ipc_dir_pending(), 0) << "every reply is read completely";
    DriverArgs a = driver_args(ch);
    ASSERT_EQ(a.argv.size(), 1u);
    EXPECT_EQ(a.argv[0], "echo_lib");
    /* The library's own copy of the channel layer is the driver side, on
     * the in-process channel; this copy stays the client. */
    EXPECT_EQ(a.own_pid, getpid());
    EXPECT_EQ(a.is_server, 1);
    EXPECT_EQ(a.flags, IPC_SHLIB | IPC_SERVER);
    EXPECT_EQ(a.client_pid, getpid());
    EXPECT_EQ(is_server(), 0);
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_F(ShlibTest, LibraryReceivesTheTwelveSharedMemoryOperations)
{
    write_ipc_info("echo D " + lib() + "\n");
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    w_long(ch[1], ECHO_SHM_OPS);
    ASSERT_EQ(sflush(ch[1]), 0);
    EXPECT_EQ(r_long(ch[0]), 12);
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_F(ShlibTest, LargeRequestsAndRepliesCrossChunkBoundaries)
{
    write_ipc_info("echo d " + lib() + "\n");
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    std::string big = expected_pattern(3 * IPC_DIR_CHUNK + 17);
    EXPECT_TRUE(echo_reverse(ch, big) == std::string(big.rbegin(), big.rend()));
    EXPECT_TRUE(pattern(ch, 100000) == expected_pattern(100000));
    EXPECT_EQ(ipc_dir_pending(), 0);
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_F(ShlibTest, NameWithoutSlashIsLoadedAsLibNameSoFromTheGivenDirectory)
{
    write_ipc_info("echo d nw1_echo!" + driver_lib_dir() + "\n");
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(echo_reverse(ch, "xy"), "yx");
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_F(ShlibTest, SecondLibraryFallsBackToAProgramWithTheSameName)
{
    write_ipc_info("echo d " + lib() + "\n" + "other d " + lib() + "\n" +
                   "echo p " + echo_driver() + "\n");
    STREAM *a[2], *b[2];
    ASSERT_EQ(attach_process("echo", a, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(ipc_flags(a[0]), kLibFlags);
    ASSERT_EQ(attach_process("echo", b, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(ipc_flags(b[0]), IPC_CLIENT | IPC_LOCAL | IPC_PIPE);
    EXPECT_EQ(echo_reverse(b, "program"), "margorp");
    EXPECT_EQ(echo_reverse(a, "library"), "yrarbil");

    /* Without a fall-back line the name counts as not listed. */
    Recorder rec;
    STREAM *c[2];
    EXPECT_EQ(attach_process("other", c, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged("Server 'other' not listed in ipc_info file.")) << rec.all();
    for (STREAM *sp : {a[0], a[1], b[0], b[1]})
        sclose(sp);
}

TEST_F(ShlibTest, FallBackIsAnnouncedWithDebugBit32)
{
    write_ipc_info("echo d " + lib() + "\n" + "echo p " + echo_driver() + "\n");
    STREAM *a[2], *b[2];
    ASSERT_EQ(attach_process("echo", a, IPC_CLIENT, 0, nullptr), 0);
    int saved = user_info.debug_level;
    user_info.debug_level = 32;
    ::testing::internal::CaptureStderr();
    int rc = attach_process("echo", b, IPC_CLIENT, 0, nullptr);
    std::string err = ::testing::internal::GetCapturedStderr();
    user_info.debug_level = saved;
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(err, "Attempt to start more than one shared library: echo. Fall back to "
                   "standalone driver with same logical name (see " +
                       root() + "/lib/ipc_info)");
    for (STREAM *sp : {a[0], a[1], b[0], b[1]})
        sclose(sp);
}

TEST_F(ShlibTest, WithoutDebugBitTheFallBackIsSilent)
{
    write_ipc_info("echo d " + lib() + "\n" + "echo p " + echo_driver() + "\n");
    STREAM *a[2], *b[2];
    ASSERT_EQ(attach_process("echo", a, IPC_CLIENT, 0, nullptr), 0);
    ::testing::internal::CaptureStderr();
    int rc = attach_process("echo", b, IPC_CLIENT, 0, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(rc, 0);
    for (STREAM *sp : {a[0], a[1], b[0], b[1]})
        sclose(sp);
}

TEST_F(ShlibTest, ClosingBothStreamsUnloadsAndAllowsAnotherLibrary)
{
    write_ipc_info("echo d " + lib() + "\n");
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(sclose(ch[0]), 0);
    /* One stream closed: the library is still the one started. */
    Recorder rec;
    STREAM *other[2];
    EXPECT_EQ(attach_process("echo", other, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged("Server 'echo' not listed in ipc_info file.")) << rec.all();
    EXPECT_EQ(sclose(ch[1]), 0);
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(echo_reverse(ch, "again"), "niaga");
    sclose(ch[1]);
    sclose(ch[0]);
}

TEST_F(ShlibTest, MissingLibraryIsReported)
{
    write_ipc_info("echo d nw1_no_such_driver!" + driver_lib_dir() + "\n");
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
    bool found = false;
    for (const auto &m : rec.messages)
        found |= m.rfind("Error ", 0) == 0 &&
                 m.find(": cannot link library 'nw1_no_such_driver!" + driver_lib_dir() +
                        "'") != std::string::npos;
    EXPECT_TRUE(found) << rec.all();
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
    /* Nothing was started: a library can still be started. */
    write_ipc_info("echo d " + lib() + "\n");
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), 0);
    sclose(ch[0]);
    sclose(ch[1]);
}

TEST_F(ShlibTest, MissingEntryIsReportedWithItsName)
{
    std::string partial = driver_lib_dir() + "/libnw1_partial.so";
    write_ipc_info("echo d " + partial + "\n");
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
    bool found = false;
    for (const auto &m : rec.messages)
        found |= m.rfind("Error ", 0) == 0 &&
                 m.find(": cannot find 'driver_main_loop' in '" + partial + "'") !=
                     std::string::npos;
    EXPECT_TRUE(found) << rec.all();
}

TEST_F(ShlibTest, LibraryThatDoesNotAnswerBreaksTheChannel)
{
    write_ipc_info("echo d " + lib() + "\n");
    EXPECT_EXIT(
        {
            STREAM *ch[2];
            if (attach_process("echo", ch, IPC_CLIENT, 0, nullptr) != 0)
                std::exit(50);
            IpcSetOnTermination(
                ch[0],
                [](STREAM *, void *) {
                    std::fputs("library channel broke\n", stderr);
                },
                nullptr);
            w_long(ch[1], ECHO_DIE);
            w_long(ch[1], 0);
            sflush(ch[1]);
            r_long(ch[0]);
            std::exit(60);
        },
        ::testing::ExitedWithCode(1), "library channel broke");
}

/* ---- the in-process queue ----------------------------------------------- */

TEST(InProcessQueueTest, BytesComeOutInOrderAcrossChunks)
{
    IpcDirReadFn rd = ipc_dir_read_fn();
    IpcDirWriteFn wr = ipc_dir_write_fn();
    ipc_dir_clean_fn()();
    std::string data = expected_pattern(2 * IPC_DIR_CHUNK + 100);
    EXPECT_EQ(wr(data.data(), 10), 10);
    EXPECT_EQ(wr(data.data() + 10, IPC_DIR_CHUNK), IPC_DIR_CHUNK);
    EXPECT_EQ(wr(data.data() + 10 + IPC_DIR_CHUNK, static_cast<long>(data.size()) - 10 - IPC_DIR_CHUNK),
              static_cast<long>(data.size()) - 10 - IPC_DIR_CHUNK);
    EXPECT_EQ(ipc_dir_pending(), static_cast<long>(data.size()));
    std::string out(data.size(), '\0');
    EXPECT_EQ(rd(out.data(), 5000), 5000);
    EXPECT_EQ(ipc_dir_pending(), static_cast<long>(data.size()) - 5000);
    long rest = rd(out.data() + 5000, 100000);
    EXPECT_EQ(rest, static_cast<long>(data.size()) - 5000);
    EXPECT_TRUE(out == data);
    EXPECT_EQ(ipc_dir_pending(), 0);
    EXPECT_EQ(rd(out.data(), 10), 0) << "an empty queue gives nothing";
}

TEST(InProcessQueueTest, ReadingEverythingResetsTheQueue)
{
    IpcDirReadFn rd = ipc_dir_read_fn();
    IpcDirWriteFn wr = ipc_dir_write_fn();
    ipc_dir_clean_fn()();
    /* Fill to the limit, empty it, and the whole room is there again. */
    std::string chunk(IPC_DIR_CHUNK, 'q');
    for (int i = 0; i < IPC_DIR_MAX_CHUNKS; ++i)
        ASSERT_EQ(wr(chunk.data(), IPC_DIR_CHUNK), IPC_DIR_CHUNK);
    std::string sink(IPC_DIR_CHUNK, '\0');
    for (int i = 0; i < IPC_DIR_MAX_CHUNKS; ++i)
        ASSERT_EQ(rd(sink.data(), IPC_DIR_CHUNK), IPC_DIR_CHUNK);
    EXPECT_EQ(ipc_dir_pending(), 0);
    for (int i = 0; i < IPC_DIR_MAX_CHUNKS; ++i)
        ASSERT_EQ(wr(chunk.data(), IPC_DIR_CHUNK), IPC_DIR_CHUNK);
    ipc_dir_clean_fn()();
    EXPECT_EQ(ipc_dir_pending(), 0);
}

TEST(InProcessQueueTest, OverflowIsReportedAndNothingIsQueued)
{
    IpcDirWriteFn wr = ipc_dir_write_fn();
    ipc_dir_clean_fn()();
    std::string big(static_cast<size_t>(IPC_DIR_CHUNK) * IPC_DIR_MAX_CHUNKS - 1, 'z');
    ASSERT_EQ(wr(big.data(), static_cast<long>(big.size())), static_cast<long>(big.size()));
    EXPECT_EQ(wr("a", 1), 1) << "exactly full";
    Recorder rec;
    errno = 0;
    EXPECT_EQ(wr("b", 1), -1);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_TRUE(rec.logged("Buffer overflow in combined Tshell/driver.")) << rec.all();
    EXPECT_EQ(ipc_dir_pending(), static_cast<long>(big.size()) + 1);
    ipc_dir_clean_fn()();
}

TEST(InProcessQueueTest, DriverSideNeedsTheInstalledFunctions)
{
    in_child([] {
        Recorder rec;
        STREAM *ch[2];
        EXPECT_EQ(init_server(0, nullptr, 0, ch), -1);
        EXPECT_TRUE(rec.logged("driver: no in-process channel installed (IpcDirSetCombo)"))
            << rec.all();
        IpcDirSetCombo(ipc_dir_read_fn(), ipc_dir_write_fn(), ipc_dir_close_fn(),
                       ipc_dir_clean_fn());
        ASSERT_EQ(init_server(0, nullptr, 0, ch), 0);
        EXPECT_EQ(ipc_flags(ch[0]), IPC_SHLIB | IPC_SERVER);
        /* This process is both ends here: what the driver writes, it reads. */
        w_long(ch[1], 0x01020304);
        EXPECT_EQ(sflush(ch[1]), 0);
        unsigned char b[4];
        EXPECT_EQ(sread_blok(b, 4, ch[0]), 4);
        EXPECT_EQ(b[0], 1);
        EXPECT_EQ(b[3], 4);
        sclose(ch[0]);
        sclose(ch[1]);
    });
}

} // namespace
