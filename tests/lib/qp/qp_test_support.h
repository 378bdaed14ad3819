/*
 * qp_test_support.h: common ground of the row data set tests: a private
 * root (TSE) whose package "db" is the demo dictionary, a private
 * temporary directory per test for overflow files, a recorder of log
 * messages, and helpers for rows and bytes.
 */
#ifndef QP_TEST_SUPPORT_H
#define QP_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qp_rds.h"
#include "run_program.h"

namespace qptest {

/* The private root of this test process. */
const std::string &root();

/* The log messages while it is alive. */
struct Recorder {
    Recorder();
    ~Recorder();
    std::vector<std::string> messages;
    bool logged(const std::string &text) const;
    /* Messages that start with prefix. */
    int count_prefix(const std::string &prefix) const;
};

/* Bytes as "0a ff ..." for readable comparisons. */
std::string hex(const unsigned char *bytes, size_t n);
std::string hex(const std::vector<unsigned char> &bytes);

/* A descriptor. */
rds_col col(int type, int length, int offset, int elements = 1, int state = RDS_STATE_VALUE);

/* Writes a big-endian 16/32-bit number into a row. */
void put16(unsigned char *p, int v);
void put32(unsigned char *p, long v);
long get32(const unsigned char *p);

/* Every test gets its own temporary directory (set as the TSE temporary
 * directory) and closes every set it left open. */
class RdsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<tdbtest::TempDir> tmp;
    /* Files in the temporary directory. */
    std::vector<std::string> tmp_files() const;
};

} // namespace qptest

#endif
