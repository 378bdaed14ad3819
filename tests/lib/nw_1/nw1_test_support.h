/*
 * nw1_test_support.h: common ground of the channel tests: a private root
 * (TSE) with its tmp directory, the driver table written per test, a
 * recorder of log messages, a helper running checks in a forked child, and
 * the client side of the test drivers' request language.
 */
#ifndef NW1_TEST_SUPPORT_H
#define NW1_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "al_stream.h"
#include "echo_protocol.h"
#include "ipc.h"
#include "run_program.h"

namespace nw1test {

/* The private root of this test process and the test drivers. */
const std::string &root();
std::string echo_driver();
std::string driver_lib_dir();

/* Writes lib/ipc_info under the root and makes the next attach read it. */
void write_ipc_info(const std::string &text);
/* Writes a file under the root; its path. */
std::string write_root(const std::string &relative, const std::string &content);

/* The log messages while it is alive (final line feeds dropped). */
struct Recorder {
    Recorder();
    ~Recorder();
    std::vector<std::string> messages;
    bool logged(const std::string &text) const;
    std::string all() const;
};

/* Runs body in a forked child; the test fails when a check there failed. */
void in_child(const std::function<void()> &body);

/* What a driver answered to ECHO_ARGS. */
struct DriverArgs {
    std::vector<std::string> argv;
    std::string process_set_info;
    long client_pid = 0, own_pid = 0, is_server = 0, flags = 0;
};

/* One request of each kind; the answer. */
std::string echo_reverse(STREAM *channel[2], const std::string &data);
DriverArgs driver_args(STREAM *channel[2]);
std::string pattern(STREAM *channel[2], long n);
/* The bytes ECHO_PATTERN sends for n. */
std::string expected_pattern(long n);

/* True when pid is neither running nor a zombie child of this process. */
bool process_gone(pid_t pid);

/* Base class: clears the driver table and the connection error flag. */
class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override;
};

} // namespace nw1test

#endif
