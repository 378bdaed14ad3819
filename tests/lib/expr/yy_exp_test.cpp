/*
 * yy_exp_test.cpp: the number text at the boundaries of its precision
 * rules, and round() in every mode at its thresholds.
 */
#include <cmath>

#include "expr_test_support.h"

using namespace exprtest;

namespace {

TEST(NumberText, FollowsThePrecisionRules)
{
    struct {
        double x;
        int p;
        const char *text;
    } cases[] = {
        {0, -1, "0"},
        {1.5, -1, "1.5"},
        {2.5, 6, "2.5"},
        {1.0 / 3, 6, "0.333333"},
        {2.0 / 3, 6, "0.666667"},
        {-2.5, 6, "-2.5"},
        {-0.0, 6, "0"},
        {-1e-12, 6, "0"},
        {1e-7, 6, "0"},
        {5e-7, 6, "0.000001"},
        {-5e-7, 6, "-0.000001"},
        /* below precision 7 the value is moved 1e-9 away from zero */
        {2.5, 0, "3"},
        {-2.5, 0, "-3"},
        {0.4999999995, 0, "1"},
        {0.125, 2, "0.13"},
        {100, 6, "100"},
        {123456789.125, 6, "123456789.125"},
        {999999999.9999999, 6, "1000000000"},
        /* from 1e9 on the significant precision limits the decimals */
        {1234567890.123456, 6, "1234567890.12346"},
        {-1234567890.123456, 6, "-1234567890.12346"},
        {123456789012.345, 6, "123456789012.345"},
        {1e15, 6, "1000000000000000"},
        {1e20, 6, "100000000000000000000"},
        /* precision 7 and above: no move, decimals capped by the
         * significant precision */
        {1.0 / 3, 7, "0.3333333"},
        {1.0 / 3, 16, "0.33333333333333"},
        {2.5, 16, "2.5"},
        {0.1 + 0.2, 16, "0.3"},
        {123.456, 16, "123.456"},
        {1e-7, 16, "0.0000001"},
        {1.5e-7, 16, "0.00000015"},
        {1e-8, 16, "0"},
        {12345678.87654321, 16, "12345678.8765432"},
        {-0.5, 7, "-0.5"},
        {INFINITY, 6, "0"},
        {NAN, 16, "0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(yy::number_text(c.x, c.p), c.text) << c.x << " at " << c.p;
}

TEST(NumberText, SignificantPrecision)
{
    struct {
        double x;
        int p;
    } cases[] = {{0, 14}, {0.999, 14}, {1, 14}, {2.5, 14}, {3.6, 13}, {10, 13}, {35.5, 12},
                 {1e9, 5},  {-1e9, 5},  {1e14, 0}, {3e14, -1}};
    for (const auto &c : cases)
        EXPECT_EQ(yy::significant_precision(c.x), c.p) << c.x;
}

/* The evaluators use the number text for real results. */
class NumberTextInExpressions : public ExprTest {};

TEST_F(NumberTextInExpressions, StrAndStringResultsUsePrecisionSix)
{
    EXPECT_EQ(eval("str(1234567890.123456)").text, "1234567890.12346");
    EXPECT_EQ(eval("1234567890.123456").text, "1234567890.12346");
    EXPECT_EQ(eval("0.0000005").text, "0.000001");
    EXPECT_EQ(eval("edit(1.0 / 3, \"9.99999999999999999\")").text, "0.33333333333333000");
}

TEST(Round, ModesAndThresholds)
{
    struct {
        double x;
        int d, mode;
        double expected;
    } cases[] = {
        /* mode 1: half away from zero; 2.345 * 100 is 234.49999999999997 */
        {2.345, 2, 1, 2.35},
        {2.344, 2, 1, 2.34},
        {-2.345, 2, 1, -2.35},
        {2.5, 0, 1, 3},
        {-2.5, 0, 1, -3},
        {1500000000000.4995, 0, 1, 1500000000001},
        {1500000000000.498, 0, 1, 1500000000000},
        {123456789012345.5, 0, 1, 123456789012346},
        /* mode 0: toward zero unless the remainder exceeds the threshold */
        {2.349, 2, 0, 2.34},
        {-2.349, 2, 0, -2.34},
        {1500000000000.9995, 0, 0, 1500000000001},
        {1500000000000.998, 0, 0, 1500000000000},
        /* mode 2: away from zero when the remainder exceeds the threshold */
        {2.341, 2, 2, 2.35},
        {2.34, 2, 2, 2.34},
        {-2.341, 2, 2, -2.35},
        {1500000000000.002, 0, 2, 1500000000001},
        {1500000000000.0005, 0, 2, 1500000000000},
        /* other modes: toward zero */
        {2.349, 2, 5, 2.34},
        {-2.349, 2, -1, -2.34},
        /* negative decimals round to tens, hundreds, ... */
        {1250, -2, 1, 1300},
        {1249, -2, 1, 1200},
        /* k below zero: unchanged */
        {1e15 + 0.5, 2, 1, 1e15 + 0.5},
        {1234.5678, 20, 1, 1234.5678},
    };
    for (const auto &c : cases)
        EXPECT_DOUBLE_EQ(yy::round_value(c.x, c.d, c.mode), c.expected)
            << c.x << " " << c.d << " " << c.mode;
}

class RoundInExpressions : public ExprTest {};

TEST_F(RoundInExpressions, RoundTakesARealAndTwoIntegers)
{
    Compiled a("round(2.345, 2, 1)"), b("round(7, 0, 1)"), c("round($$, 1, 2)");
    EXPECT_DOUBLE_EQ(yy_d_express(a.h, 0, 0, 0), 2.35);
    EXPECT_DOUBLE_EQ(yy_d_express(b.h, 0, 0, 0), 7);
    long lo, hi;
    split_double(-0.11, lo, hi);
    EXPECT_DOUBLE_EQ(yy_d_express(c.h, YY_VALUE_DOUBLE, lo, hi), -0.2);
    EXPECT_EQ(eval("round(2.345, 2, 1)").type, YY_REAL);
}

} // namespace
