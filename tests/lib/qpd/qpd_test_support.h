/*
 * qpd_test_support.h: common ground of the dictionary tests: a private
 * root (TSE) whose package combination "test" maps package "db" to the
 * demo dictionary and package "qa" to a scratch dictionary (with the
 * expression compiler registered as the range compiler), recorders of
 * log messages and dictionary errors, and a helper that runs checks in a
 * forked child when they need a fresh process.
 */
#ifndef QPD_TEST_SUPPORT_H
#define QPD_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "qpd_dd.h"
#include "run_program.h"

namespace qpdtest {

/* The private root of this test process. */
const std::string &root();
/* The directory of the scratch package "qa" (its d6.2 directory). */
std::string qa_dir();
/* Writes a file of the scratch dictionary (name as "dqaxxx100"). */
void write_qa(const std::string &name, const std::string &content);
/* Writes a file under the root. */
void write_root(const std::string &relative, const std::string &content);

/* The log messages and dictionary errors while it is alive. */
struct Recorder {
    Recorder();
    ~Recorder();
    std::vector<std::string> messages;
    std::vector<int> errors;
    bool logged(const std::string &text) const;
};

/* Runs body in a forked child; the test fails when any check there failed. */
void in_child(const std::function<void()> &body);

/* Bytes as "0a ff ..." for readable comparisons. */
std::string hex(const unsigned char *bytes, size_t n);

/* Sets up the dictionary before every test and selects the current one. */
class DictTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace qpdtest

#endif
