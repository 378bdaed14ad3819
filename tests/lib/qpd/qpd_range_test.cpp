/*
 * qpd_range_test.cpp: domains read from files with the expression
 * language's compiler registered as the range compiler (as the test
 * support does for the whole program): the sample dictionary's range
 * expressions are compiled and evaluate for real, the new dictionary has
 * its tighter range, constant ranges are handles, and an expression that
 * fails to compile leaves the domain without a range and logs the error.
 */
#include <cstdint>
#include <cstring>
#include <string>

#include "qpd_test_support.h"
#include "yy_expr.h"

using namespace qpdtest;

namespace {

int holds_long(const void *range, long value)
{
    return yy_b_express(static_cast<char *>(const_cast<void *>(range)), YY_VALUE_LONG, value, 0);
}

int holds_double(const void *range, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return yy_b_express(static_cast<char *>(const_cast<void *>(range)), YY_VALUE_DOUBLE,
                        static_cast<long>(bits & 0xFFFFFFFFu), static_cast<long>(bits >> 32));
}

using RangeCompiler = DictTest;

TEST_F(RangeCompiler, SampleDomainsCarryCompiledRanges)
{
    const _dd_domain *qty = dddomain_with_read("dbDom.qty");
    ASSERT_NE(qty, nullptr);
    ASSERT_NE(qty->range, nullptr);
    EXPECT_EQ(holds_long(qty->range, 0), 1);
    EXPECT_EQ(holds_long(qty->range, 10000), 1);
    EXPECT_EQ(holds_long(qty->range, -1), 0);
    /* A domain without a range line has none. */
    EXPECT_EQ(dddomain("dbDom.long")->range, nullptr);
    const _dd_domain *amount = dddomain("dbDom.amount");
    ASSERT_NE(amount, nullptr);
    EXPECT_EQ(holds_double(amount->range, 0.25), 1);
    EXPECT_EQ(holds_double(amount->range, -0.25), 0);
}

TEST_F(RangeCompiler, NewDictionaryHasTheTighterRange)
{
    ASSERT_EQ(init_dd_mode(3), 0);
    const _dd_table *next = ddtable("dbtst113");
    ASSERT_NE(next, nullptr);
    const _dd_column *qty = ddcolumn_by_ddtable(next, "qty");
    ASSERT_NE(qty, nullptr);
    ASSERT_NE(qty->domain->range, nullptr);
    EXPECT_EQ(holds_long(qty->domain->range, 9999), 1);
    EXPECT_EQ(holds_long(qty->domain->range, 10000), 0);
    EXPECT_EQ(holds_long(qty->domain->range, -1), 0);
    ASSERT_EQ(init_dd_mode(1), 0);
    const _dd_table *now = ddtable("dbtst113");
    ASSERT_NE(now, nullptr);
    const _dd_domain *current = ddcolumn_by_ddtable(now, "qty")->domain;
    EXPECT_EQ(holds_long(current->range, 10000), 1);
    EXPECT_EQ(yy_expr_compare(static_cast<char *>(current->range), static_cast<char *>(qty->domain->range)), 1);
}

/* The scratch package "qr" is read in a child each time, so that every
 * test sees its own file. */
TEST_F(RangeCompiler, ConstantRangesAreHandles)
{
    write_root("appl/qr6.2/d6.2/dqr.pd", "D\n:N    qrDom.never\n:T    l\n:RA   0\n"
                                         "D\n:N    qrDom.always\n:T    l\n:RA   1\n");
    in_child([] {
        const _dd_domain *never = dddomain_with_read("qrDom.never");
        ASSERT_NE(never, nullptr);
        EXPECT_EQ(never->range, static_cast<void *>(YY_FALSE_EXPR));
        EXPECT_EQ(holds_long(never->range, 5), 0);
        EXPECT_EQ(dddomain("qrDom.always")->range, static_cast<void *>(YY_TRUE_EXPR));
    });
}

TEST_F(RangeCompiler, ExpressionThatFailsToCompileLeavesNoRange)
{
    /* An unclosed bracket class in a regular expression is error 49. */
    write_root("appl/qr6.2/d6.2/dqr.pd", "D\n:N    qrDom.bad\n:T    s\n:CL   4\n:RA   $$ in \"[a\"\n"
                                         "D\n:N    qrDom.good\n:T    l\n:RA   $$ > 1\n");
    in_child([] {
        yy_set_message_func([](const char *) {});
        Recorder rec;
        qpd_clear_errno();
        rec.errors.clear();
        ASSERT_NE(read_domain_list("qr"), nullptr);
        const _dd_domain *bad = dddomain("qrDom.bad");
        ASSERT_NE(bad, nullptr);
        EXPECT_EQ(bad->range, nullptr);
        EXPECT_STREQ(bad->range_text, "$$ in \"[a\"");
        EXPECT_TRUE(rec.logged("domain: qrDom.bad, range expression: $$ in \"[a\", error 49"));
        EXPECT_EQ(qpd_get_errno(), 0);
        EXPECT_TRUE(rec.errors.empty());
        EXPECT_EQ(holds_long(dddomain("qrDom.good")->range, 2), 1);
        yy_set_message_func(nullptr);
    });
}

} // namespace
