/*
 * expr_test_support.h: common ground of the expression-language tests: a
 * fixture that puts the process-wide state back, a recorder of the
 * messages sent to the sink, and a one-call compile-and-evaluate helper.
 */
#ifndef EXPR_TEST_SUPPORT_H
#define EXPR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "yy_expr.h"
#include "yy_internal.h"

namespace exprtest {

/* The messages reported while a Recorder is alive. */
struct Recorder {
    Recorder();
    ~Recorder();
    std::vector<std::string> messages;
    yy_message_fun previous;
};

/* One evaluation through yy_s_express_n: result type and text, messages
 * and expr_err. */
struct Result {
    int type = 0;
    std::string text;
    std::vector<std::string> messages;
    int err = 0;
};
Result eval(const std::string &text, int kind = 0, long a = 0, long b = 0);

/* A compiled handle that frees itself. */
struct Compiled {
    explicit Compiled(const std::string &text);
    ~Compiled();
    Compiled(const Compiled &) = delete;
    Compiled &operator=(const Compiled &) = delete;
    char *h;
};

/* The halves of a double as the evaluators take them. */
void split_double(double d, long &low, long &high);

class ExprTest : public ::testing::Test {
protected:
    void SetUp() override { yy::reset_state(); }
    void TearDown() override { yy::reset_state(); }
};

} // namespace exprtest

#endif
