/*
 * yy_exec_test.cpp: the evaluators: every operator and function with its
 * result type, the type and syntax errors with their exact messages,
 * precedence, the candidate value, callbacks, the result conversions of
 * the four evaluators and the binary length.
 */
#include <cmath>
#include <ctime>
#include <map>

#include "al_date.h"
#include "al_user.h"
#include "expr_test_support.h"

using namespace exprtest;

namespace {

struct Case {
    const char *text;
    int type;
    const char *result;
};

void check_cases(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        Result r = eval(c.text);
        EXPECT_EQ(r.type, c.type) << c.text;
        EXPECT_EQ(r.text, c.result) << c.text;
        EXPECT_EQ(r.err, 0) << c.text;
        EXPECT_TRUE(r.messages.empty()) << c.text << ": " << (r.messages.empty() ? "" : r.messages[0]);
    }
}

class Operators : public ExprTest {};

TEST_F(Operators, ArithmeticWrapsIntegersAndWidensToReal)
{
    check_cases({
        {"1 + 2", 1, "3"},
        {"2147483647 + 1", 1, "-2147483648"},
        {"-2147483647 - 2", 1, "2147483647"},
        {"65536 * 65536", 1, "0"},
        {"65537 * 65537", 1, "131073"},
        {"10 - 2 - 3", 1, "5"},
        {"1.5 + 1", 2, "2.5"},
        {"3 - 0.5", 2, "2.5"},
        {"2 * 1.25", 2, "2.5"},
        {"7 / 2", 2, "3.5"},
        {"8 / 2", 2, "4"},
        {"7 / 0", 2, "0"},
        {"7.5 / 0.0", 2, "0"},
        {"7 \\ 2", 1, "1"},
        {"-7 \\ 2", 1, "-1"},
        {"7 \\ -2", 1, "1"},
        {"7 \\ 0", 1, "0"},
        {"-2147483647 - 1 \\ -1", 1, "-2147483647"},
        {"(-2147483647 - 1) \\ -1", 1, "0"},
        {"7.5 \\ 2", 2, "1.5"},
        {"-7.5 \\ 2", 2, "-1.5"},
        {"7.5 \\ 0", 2, "0"},
        {"2 ^ 3", 2, "8"},
        {"2 ^ -1", 2, "0.5"},
        {"pow(2, 10)", 2, "1024"},
        {"-(3)", 1, "-3"},
        {"+3", 1, "3"},
        {"- -3", 1, "3"},
        {"-2.5", 2, "-2.5"},
        {"-(-2147483647 - 1)", 1, "-2147483648"},
        {R"("ab" & "cd")", 3, "abcd"},
        {R"("" & "")", 3, ""},
    });
}

TEST_F(Operators, ComparisonsAreExactForIntegersTolerantForReals)
{
    check_cases({
        {"1 = 1", 1, "1"},
        {"1 = 2", 1, "0"},
        {"1 = 1.0000008", 1, "1"},
        {"1 = 1.000001", 1, "0"},
        {"1.0000008 = 1", 1, "1"},
        {"1 < 1.0000008", 1, "0"},
        {"1 <= 1.0000008", 1, "1"},
        {"1.0000009 > 1", 1, "1"},
        {"1 <> 2", 1, "1"},
        {"1 >< 1", 1, "0"},
        {"2 =< 2", 1, "1"},
        {"2 => 3", 1, "0"},
        {"2 >= 3", 1, "0"},
        {"-1 < 0", 1, "1"},
        {"2147483647 > -2147483647", 1, "1"},
        {R"("abc" < "abd")", 1, "1"},
        {R"("b" > "abc")", 1, "1"},
        {R"("ab" = "ab")", 1, "1"},
        {R"("ab" <> "ab ")", 1, "1"},
    });
}

TEST_F(Operators, LogicAndConditionals)
{
    check_cases({
        {"1 and 0", 1, "0"},
        {"2 and 3", 1, "1"},
        {"1 or 0", 1, "1"},
        {"0 or 0", 1, "0"},
        {"not 0", 1, "1"},
        {"not 5", 1, "0"},
        {"not not 5", 1, "1"},
        {"1 ? 2 : 3", 1, "2"},
        {"0 ? 2 : 3", 1, "3"},
        {"0 ? 2 : 0 ? 3 : 4", 1, "4"},
        {"1 ? 0 ? 5 : 6 : 7", 1, "6"},
        {"1 ? 2.5 : \"x\"", 2, "2.5"},
        {"0 ? 2.5 : \"x\"", 3, "x"},
        {"true", 1, "1"},
        {"false", 1, "0"},
        {"TRUE and True", 1, "1"},
    });
}

TEST_F(Operators, InMatchesRegularExpressionsAndRanges)
{
    check_cases({
        {R"("abc" in "b")", 1, "65538"},
        {R"("abc" in "x" "c")", 1, "65539"},
        {R"("abc" in "x")", 1, "0"},
        {R"("aXbbc" in "b*c")", 1, "196611"},
        {R"("abc" in "^abc$")", 1, "196609"},
        {R"("abc" in "")", 1, "1"},
        {"3 in [1, 5]", 1, "1"},
        {"3 in [4, 5] [1, 2]", 1, "0"},
        {"3 in [4, 5] [1, 3]", 1, "1"},
        {"2.5 in [1, 2.4999995]", 1, "1"},
        {"2.5 in [1, 2.499999]", 1, "0"},
        {"3 in [1 + 1, 2 * 2]", 1, "1"},
    });
}

/* Failed regular expressions stay plain strings and never match. */
TEST_F(Operators, InWithAFailedRegularExpressionIsNoMatch)
{
    Result r = eval(R"("a{" in "a{" "b")");
    EXPECT_EQ(r.text, "0");
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "Regular expression error nr 16 (Non-digit in {n,m}) in 'a{'\n");
}

TEST_F(Operators, PrecedenceFollowsTheGrammar)
{
    check_cases({
        {"2 + 3 in [1, 5]", 1, "3"},
        {"-7 in [1, 10]", 1, "-1"},
        {"2 ^ 3 ^ 2", 2, "64"},
        {"-2 ^ 2", 2, "4"},
        {"1 + 2 * 3", 1, "7"},
        {"(1 + 2) * 3", 1, "9"},
        {"8 / 2 * 4", 2, "16"},
        {"2 * 3 ^ 2", 2, "18"},
        {"7 \\ 4 * 2", 1, "6"},
        {R"("x" & "y" = "xy" and 1 < 2)", 1, "1"},
        {"not 1 = 2", 1, "1"},
        {"1 or 0 and 0", 1, "1"},
        {"0 and 1 or 1", 1, "1"},
        {"1 < 2 ? 10 : 20", 1, "10"},
        {"1, 2, 3", 1, "3"},
        {"1 + 2 = 3", 1, "1"},
    });
}

class Functions : public ExprTest {};

TEST_F(Functions, EveryFunctionWithItsResultType)
{
    check_cases({
        {"abs(-3)", 1, "3"},
        {"abs(-2.5)", 2, "2.5"},
        {"int(2.99999995)", 1, "3"},
        {"int(2.9999998)", 1, "2"},
        {"int(-1.5)", 1, "-1"},
        {"int(-2.99999995)", 1, "-3"},
        {"int(7)", 1, "7"},
        {R"(int("42abc"))", 1, "42"},
        {R"(int("-12"))", 1, "-12"},
        {"int(1.0e20)", 1, "2147483647"},
        {R"(val("1,5"))", 2, "1.5"},
        {R"(val("x"))", 2, "0"},
        {"val(3)", 2, "3"},
        {"str(12)", 3, "12"},
        {"str(2.5)", 3, "2.5"},
        {"str(1.0 / 3)", 3, "0.333333"},
        {R"(str("x"))", 3, "x"},
        {R"(len("hello"))", 1, "5"},
        {R"(len(""))", 1, "0"},
        {R"(strip("ab  "))", 3, "ab"},
        {R"(strip(" a b "))", 3, " a b"},
        {R"(asc("A"))", 1, "65"},
        {R"(asc("AB"))", 1, "131"},
        {"chr(65)", 3, "A"},
        {"chr(321)", 3, "A"},
        {"chr(66.9)", 3, "B"},
        {R"(pos("abcabc", "bc"))", 1, "2"},
        {R"(rpos("abcabc", "bc"))", 1, "5"},
        {R"(pos("abc", ""))", 1, "0"},
        {R"(rpos("abc", "x"))", 1, "0"},
        {"min(3, 2.5)", 2, "2.5"},
        {"max(3, 2.5)", 1, "3"},
        {"min(2, 3)", 1, "2"},
        {R"(min("b", "a"))", 3, "a"},
        {R"(max("b", "a"))", 3, "b"},
        {"sqrt(16)", 2, "4"},
        {"log10(1000)", 2, "3"},
        {"log(exp(2))", 2, "2"},
        {"exp(0)", 2, "1"},
        {"sin(0)", 2, "0"},
        {"cos(0)", 2, "1"},
        {"tan(0)", 2, "0"},
        {"asin(1) * 2", 2, "3.141593"},
        {"acos(0) * 2", 2, "3.141593"},
        {"atan(1) * 4", 2, "3.141593"},
        {"sinh(0)", 2, "0"},
        {"cosh(0)", 2, "1"},
        {"tanh(0)", 2, "0"},
        {"pi", 2, "3.141593"},
        {"PI * 2", 2, "6.283185"},
    });
}

TEST_F(Functions, DateUtcAndTimeUseTheDateLayer)
{
    EXPECT_EQ(eval("date(2024, 2, 29)").text, "738945");
    EXPECT_EQ(eval("date(1, 1, 1)").text, "1");
    EXPECT_EQ(eval("date(2023, 2, 29)").text, "-1");
    EXPECT_EQ(eval("date(2024, 13, 1)").text, "-1");
    EXPECT_EQ(eval("date(-2147483647 - 1, 1, 1)").text, "-1");
    EXPECT_EQ(eval("date(5000001, 1, 1)").text, "-1");
    EXPECT_EQ(eval("utc(20001, 1, 1, 0, 0, 0)").text, "-1");
    EXPECT_EQ(eval("utc(2024, -2147483647 - 1, 1, 0, 0, 0)").text, "-1");
    for (const char *text : {"date", "date()"}) {
        Result r = eval(text);
        EXPECT_EQ(r.type, 1);
        EXPECT_EQ(r.text, std::to_string(date_num())) << text;
    }
    for (const char *text : {"utc", "utc()"}) {
        long now = static_cast<long>(std::time(nullptr));
        long got = std::stol(eval(text).text);
        EXPECT_GE(got, now);
        EXPECT_LE(got, now + 2);
    }
    struct tm tm {};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 6;
    tm.tm_mday = 15;
    tm.tm_hour = 12;
    tm.tm_min = 30;
    tm.tm_sec = 5;
    tm.tm_isdst = -1;
    EXPECT_EQ(eval("utc(2024, 7, 15, 12, 30, 5)").text, std::to_string(trel_mktime(&tm)));
    EXPECT_EQ(eval("utc(2024, 7, 16, 12, 30, 5) - utc(2024, 7, 15, 12, 30, 5)").text, "86400");
    for (const char *text : {"time", "time()"}) {
        struct tm *now = al_getdate();
        int before = now->tm_hour * 100 + now->tm_min;
        int got = std::stoi(eval(text).text);
        now = al_getdate();
        int after = now->tm_hour * 100 + now->tm_min;
        EXPECT_TRUE(got == before || got == after) << got;
    }
}

/* The edit-mask formatter (see yy_exp.cpp for the mask language). */
TEST_F(Functions, EditLaysValuesOutInMasks)
{
    check_cases({
        {R"(edit(1234, "Z,ZZ9"))", 3, "1,234"},
        {R"(edit(34, "Z,ZZ9"))", 3, "   34"},
        {R"(edit(5, "999"))", 3, "005"},
        {R"(edit(0, "ZZ9"))", 3, "  0"},
        {R"(edit(-12.5, "-ZZ9.99"))", 3, "- 12.50"},
        {R"(edit(12.5, "-ZZ9.99"))", 3, "  12.50"},
        {R"(edit(3.14159, "9.99"))", 3, "3.14"},
        {R"(edit(0.1 + 0.2, "9.9999999999999999"))", 3, "0.3000000000000000"},
        {R"(edit(7, "+99"))", 3, "+07"},
        {R"(edit(-7, "99+"))", 3, "07-"},
        {R"(edit(42, "**9"))", 3, "*42"},
        {R"(edit(5, "**,*9"))", 3, "****5"},
        {R"(edit(1234567, "ZZZ,ZZZ,ZZ9"))", 3, "  1,234,567"},
        {R"(edit(42, "EUR ZZ9\9"))", 3, "EUR  429"},
        {R"(edit("abc", "XX-X"))", 3, "ab-c"},
        {R"(edit("ab", "XXX"))", 3, "ab "},
        {R"(edit("a", "\XX"))", 3, "Xa"},
    });
}

TEST_F(Functions, EditReportsOverflowAndKeepsThePartialText)
{
    struct {
        const char *text;
        const char *partial;
        const char *message;
    } cases[] = {
        {R"(edit(-12.5, "ZZ9.99"))", " 12.50", "Overflow: format='ZZ9.99' value='-12.5'"},
        {R"(edit(12345, "ZZ9"))", "345", "Overflow: format='ZZ9' value='12345'"},
        {R"(edit("abcd", "XX"))", "ab", "Overflow: format='XX' value='abcd'"},
        {R"(edit(1.0 / 3, "9"))", "0", nullptr},
    };
    for (const auto &c : cases) {
        Result r = eval(c.text);
        EXPECT_EQ(r.text, c.partial) << c.text;
        if (c.message == nullptr) {
            EXPECT_TRUE(r.messages.empty()) << c.text;
            continue;
        }
        ASSERT_EQ(r.messages.size(), 1u) << c.text;
        EXPECT_EQ(r.messages[0], c.message);
        EXPECT_EQ(r.err, -1);
    }
}

class Errors : public ExprTest {};

TEST_F(Errors, IncompatibleTypesNameTheOperatorAndYieldZero)
{
    struct {
        const char *text;
        const char *op;
    } cases[] = {
        {"len(5)", "len()"},
        {R"(1 + "a")", "+"},
        {R"("a" - 1)", "-"},
        {R"("a" * 1)", "*"},
        {R"("a" / 1)", "/"},
        {R"("a" \ 1)", "\\"},
        {R"("a" ^ 1)", "^"},
        {R"(1 & "a")", "&"},
        {R"(1 = "a")", "=="},
        {R"(1 <> "a")", "!="},
        {R"(1 > "a")", ">"},
        {R"(1 >= "a")", ">="},
        {R"(1 < "a")", "<"},
        {R"(1 <= "a")", "<="},
        {"1.5 and 1", "and"},
        {R"("a" or 1)", "or"},
        {"not 1.5", "not"},
        {R"("a" ? 1 : 2)", " ? : "},
        {R"(-"a")", "-"},
        {R"(+"a")", "+"},
        {R"(abs("a"))", "abs()"},
        {R"(pow("a", 1))", "pow"},
        {R"(2 ^ "a")", "^"},
        {R"(sqrt("x"))", "sqrt()"},
        {R"(log10("x"))", "log10()"},
        {"strip(1)", "strip()"},
        {"asc(1)", "asc()"},
        {R"(chr("a"))", "chr()"},
        {R"(pos(1, "a"))", "pos()"},
        {R"(rpos("a", 1))", "rpos()"},
        {R"(min(1, "a"))", "min()"},
        {R"(max("a", 1))", "max()"},
        {"round(1.5, 1.5, 1)", "round()"},
        {R"(round("1", 1, 1))", "round()"},
        {"date(1, 2, 3.5)", "date()"},
        {R"(utc(1970, 1, 1, 0, 0, "a"))", "utc()"},
        {"edit(1, 2)", "edit()"},
    };
    for (const auto &c : cases) {
        Result r = eval(c.text);
        EXPECT_EQ(r.type, 1) << c.text;
        EXPECT_EQ(r.text, "0") << c.text;
        EXPECT_EQ(r.err, -1) << c.text;
        ASSERT_EQ(r.messages.size(), 1u) << c.text;
        EXPECT_EQ(r.messages[0], std::string("Incompatible types in expression with operator '") + c.op + "'");
    }
}

TEST_F(Errors, EvaluationGoesOnAfterATypeError)
{
    Result r = eval("len(5) + 3");
    EXPECT_EQ(r.text, "3");
    EXPECT_EQ(r.err, -1);
    EXPECT_EQ(r.messages.size(), 1u);
}

TEST_F(Errors, SyntaxErrorsYieldZero)
{
    for (const char *text : {"1 = 1 = 1", "(1", "1 +", "f(", "$", "1 2", "sin(1, 2)", "date(1, 2)",
                             R"("a" in 5)", "x := ", "1 ? 2", "fmin(3)", "f()", "sin(1; 2)", ")", "@",
                             "1 in [1, 2", "utc(1, 2, 3)", "time(1)", "[1, 2]", "1 :=  2", "min(1)",
                             R"("a" "b")"}) {
        Result r = eval(text);
        EXPECT_EQ(r.type, 1) << text;
        EXPECT_EQ(r.text, "0") << text;
        EXPECT_EQ(r.err, -1) << text;
        ASSERT_FALSE(r.messages.empty()) << text;
        EXPECT_EQ(r.messages.back(), "Syntax error in expression: value 0 assumed") << text;
    }
}

TEST_F(Errors, InReportsOperandTypes)
{
    struct {
        const char *text;
        const char *message;
    } cases[] = {
        {R"(5 in "a")", "Only strings expexted as regular expression"},
        {R"("a" in [1, 2])", "Only numerics expected in ranges"},
        {R"(1 in ["a", 2])", "Only numerics expected in ranges"},
        {R"(1 in [0, 2] [1, "b"])", "Only numerics expected in ranges"},
    };
    for (const auto &c : cases) {
        Result r = eval(c.text);
        EXPECT_EQ(r.text, "0") << c.text;
        EXPECT_EQ(r.err, -1);
        ASSERT_EQ(r.messages.size(), 1u) << c.text;
        EXPECT_EQ(r.messages[0], c.message);
    }
}

TEST_F(Errors, DeepNestingIsASyntaxErrorNotACrash)
{
    for (std::string piece : {"(", "-", "not ", "1 ? 1 : "}) {
        std::string text;
        for (int i = 0; i < 100000; ++i)
            text += piece;
        text += "1";
        Result r = eval(text);
        EXPECT_EQ(r.text, "0") << piece;
        EXPECT_EQ(r.messages.back(), "Syntax error in expression: value 0 assumed");
    }
    std::string ok(150, '(');
    ok += "1" + std::string(150, ')');
    EXPECT_EQ(eval(ok).text, "1");
}

TEST_F(Errors, ScratchOverflowYieldsZero)
{
    std::string big(70000, 'a');
    Result r = eval("\"" + big + "\" & \"" + big + "\"");
    EXPECT_EQ(r.text, "0");
    EXPECT_EQ(r.messages.at(0), "Overflow of expression evaluation buffer: value 0 assumed");
    r = eval("len(\"" + big + "\" & \"b\")");
    EXPECT_EQ(r.text, "70001");
}

class Candidate : public ExprTest {};

TEST_F(Candidate, IsSubstitutedByKind)
{
    long lo, hi;
    EXPECT_EQ(eval("$$ in [1, 5] [10, 20]", YY_VALUE_LONG, 12).text, "1");
    EXPECT_EQ(eval("$$ in [1, 5] [10, 20]", YY_VALUE_LONG, 7).text, "0");
    split_double(5.0000005, lo, hi);
    EXPECT_EQ(eval("$$ in [1, 5] [10, 20]", YY_VALUE_DOUBLE, lo, hi).text, "1");
    split_double(-2.25, lo, hi);
    Result r = eval("$$", YY_VALUE_DOUBLE, lo, hi);
    EXPECT_EQ(r.type, 2);
    EXPECT_EQ(r.text, "-2.25");
    const char *s = "abc";
    r = eval(R"($$ & "d")", YY_VALUE_STRING, reinterpret_cast<long>(s));
    EXPECT_EQ(r.type, 3);
    EXPECT_EQ(r.text, "abcd");
    EXPECT_EQ(eval("$$ * 2", YY_VALUE_LONG, -21).text, "-42");
}

TEST_F(Candidate, WithoutAValueIsZeroAndReported)
{
    for (int kind : {0, 4, -1}) {
        Result r = eval("$$ + 1", kind, 99);
        EXPECT_EQ(r.text, "1");
        EXPECT_EQ(r.err, -1);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], "Illegal use of '$$' in expression: value 0 assumed");
    }
}

TEST_F(Candidate, OnlyTheChosenBranchOfAConditionalIsEvaluated)
{
    Result r = eval("1 ? 5 : len(5) + $$");
    EXPECT_EQ(r.text, "5");
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.err, 0);
}

class Evaluators : public ExprTest {};

TEST_F(Evaluators, ConstantHandlesNeedNoBlock)
{
    char buf[8];
    EXPECT_EQ(yy_b_express(YY_TRUE_EXPR, 0, 0, 0), 1);
    EXPECT_EQ(yy_b_express(YY_FALSE_EXPR, 0, 0, 0), 0);
    EXPECT_EQ(yy_l_express(YY_TRUE_EXPR, 0, 0, 0), 1);
    EXPECT_EQ(yy_d_express(YY_TRUE_EXPR, 0, 0, 0), 1.0);
    EXPECT_EQ(yy_d_express(YY_FALSE_EXPR, 0, 0, 0), 0.0);
    EXPECT_EQ(yy_s_express(YY_TRUE_EXPR, buf, 0, 0, 0), 1);
    EXPECT_STREQ(buf, "1");
    EXPECT_EQ(yy_s_express(YY_FALSE_EXPR, buf, 0, 0, 0), 1);
    EXPECT_STREQ(buf, "0");
    EXPECT_EQ(yy_l_express(YY_NO_EXPR, 0, 0, 0), 0);
    EXPECT_EQ(expr_err, -1);
}

TEST_F(Evaluators, ConvertTheResultToTheirType)
{
    Recorder rec;
    Compiled wrapsum("2147483647 + 1"), half("7 / 2"), text("\"12abc\""), comma("\"1,5\""), small("0.5"),
        zero("\"0\""), big("1.0e10"), negbig("-1.0e10"), words("\"x\"");
    EXPECT_EQ(yy_l_express(wrapsum.h, 0, 0, 0), INT32_MIN);
    EXPECT_EQ(yy_d_express(wrapsum.h, 0, 0, 0), 2147483648.0);
    EXPECT_EQ(Convert2Double, 0);
    EXPECT_EQ(yy_l_express(half.h, 0, 0, 0), 3);
    EXPECT_EQ(yy_l_express(text.h, 0, 0, 0), 12);
    EXPECT_EQ(yy_d_express(comma.h, 0, 0, 0), 1.5);
    EXPECT_EQ(yy_b_express(small.h, 0, 0, 0), 1);
    EXPECT_EQ(yy_l_express(small.h, 0, 0, 0), 0);
    EXPECT_EQ(yy_b_express(zero.h, 0, 0, 0), 0);
    EXPECT_EQ(yy_b_express(text.h, 0, 0, 0), 1);
    EXPECT_EQ(yy_b_express(words.h, 0, 0, 0), 0);
    EXPECT_EQ(yy_l_express(big.h, 0, 0, 0), INT32_MAX);
    EXPECT_EQ(yy_l_express(negbig.h, 0, 0, 0), INT32_MIN);
    EXPECT_TRUE(rec.messages.empty());
}

TEST_F(Evaluators, DoubleEvaluatorComputesIntegerArithmeticInDouble)
{
    Compiled mul("65536 * 65536"), sub("-2147483647 - 10"), mod("7 \\ 2");
    EXPECT_EQ(yy_d_express(mul.h, 0, 0, 0), 4294967296.0);
    EXPECT_EQ(yy_l_express(mul.h, 0, 0, 0), 0);
    EXPECT_EQ(yy_d_express(sub.h, 0, 0, 0), -2147483657.0);
    EXPECT_EQ(yy_d_express(mod.h, 0, 0, 0), 1.0);
}

TEST_F(Evaluators, BinaryLengthCopiesExactBytes)
{
    Recorder rec;
    Compiled value("$$"), literal("\"ab\""), number("12");
    const char input[] = {'a', 'b', '\0', 'c', 'd', 'e'};
    char buf[16];
    std::memset(buf, 'z', sizeof buf);
    yy_set_binary_length(5);
    EXPECT_EQ(yy_s_express(value.h, buf, YY_VALUE_STRING, reinterpret_cast<long>(input), 0), 3);
    EXPECT_EQ(std::string(buf, 6), std::string("ab\0cdz", 6));
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(yy_s_express(literal.h, buf, 0, 0, 0), 3);
    EXPECT_EQ(std::string(buf, 6), std::string("ab\0\0\0z", 6));
    EXPECT_EQ(yy_s_express(number.h, buf, 0, 0, 0), 1);
    EXPECT_STREQ(buf, "12");
    yy_set_binary_length(-3);
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0], "negative length in yy_set_binary_length()");
    std::memset(buf, 'z', sizeof buf);
    yy_s_express(value.h, buf, YY_VALUE_STRING, reinterpret_cast<long>(input), 0);
    EXPECT_STREQ(buf, "ab");
    yy_set_binary_length(4);
    yy_free_express(nullptr);
    yy_s_express(literal.h, buf, 0, 0, 0);
    EXPECT_STREQ(buf, "ab");
}

TEST_F(Evaluators, BoundedResultBufferIsCutAndTerminated)
{
    Compiled c("\"abcdef\"");
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(yy_s_express_n(c.h, buf, sizeof buf, 0, 0, 0), 3);
    EXPECT_STREQ(buf, "abc");
}

/* Callbacks of identifiers, assignments and fmin/fmax. */
struct Store {
    std::map<std::string, YY_VALUE> vars;
    std::string last_set;
    int last_count = -1, last_semicolon = -1;
    std::vector<int32_t> last_args;
};
Store *store = nullptr;

int test_setid(const char *name, const YY_ARGS *args, const YY_VALUE *value)
{
    if (std::string(name) == "readonly")
        return -1;
    store->last_set = name;
    store->last_count = args != nullptr ? args->count : -1;
    store->last_semicolon = args != nullptr ? args->semicolon : -1;
    store->last_args.clear();
    for (int i = 0; args != nullptr && i < args->count; ++i)
        store->last_args.push_back(args->values[i].l);
    store->vars[name] = *value;
    return 0;
}

int test_getid(const char *name, const YY_ARGS *args, YY_VALUE *result)
{
    std::string n(name);
    if (n == "sum" && args != nullptr) {
        int32_t s = 0;
        for (int i = 0; i < args->count; ++i)
            s += args->values[i].l;
        *result = YY_VALUE{YY_INTEGER, nullptr, s, 0};
        return 0;
    }
    if (n == "greeting") {
        static char text[] = "hello";
        *result = YY_VALUE{YY_STRING, text, 0, 0};
        return 0;
    }
    auto it = store->vars.find(n);
    if (it == store->vars.end())
        return -1;
    *result = it->second;
    return 0;
}

int test_min(const char *name, YY_VALUE *result)
{
    *result = YY_VALUE{YY_INTEGER, nullptr, std::string(name) == "qty" ? 10 : 0, 0};
    return 0;
}

int test_max(const char *name, YY_VALUE *result)
{
    *result = YY_VALUE{YY_REAL, nullptr, 0, std::string(name) == "qty" ? 99.5 : 0};
    return 0;
}

class Callbacks : public ExprTest {
protected:
    void SetUp() override
    {
        ExprTest::SetUp();
        store = &s;
    }
    Store s;
};

TEST_F(Callbacks, WithoutCallbacksIdentifiersAreZeroAndAssignmentsKeepTheirValue)
{
    EXPECT_EQ(eval("x + 1").text, "1");
    EXPECT_EQ(eval("x(1, 2) * 5").text, "0");
    EXPECT_EQ(eval("x := 5").text, "5");
    EXPECT_EQ(eval("fmin(qty)").text, "0");
    EXPECT_EQ(eval("x").err, 0);
}

TEST_F(Callbacks, AssignmentsAndValuesGoThroughTheCallbacks)
{
    yy_set_setid_getid(test_setid, test_getid, test_min, test_max);
    yy_setid_fun set = nullptr;
    yy_getid_fun get = nullptr;
    yy_get_setid_getid(&set, &get);
    EXPECT_EQ(set, test_setid);
    EXPECT_EQ(get, test_getid);

    EXPECT_EQ(eval("Total := 5, total + 1").text, "6");
    EXPECT_EQ(s.last_set, "total");
    EXPECT_EQ(s.last_count, -1);
    EXPECT_EQ(eval("f(1, 2; 3) := 4").text, "4");
    EXPECT_EQ(s.last_set, "f");
    EXPECT_EQ(s.last_count, 3);
    EXPECT_EQ(s.last_semicolon, 1);
    EXPECT_EQ(s.last_args, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(eval("sum(2, 3, 4)").text, "9");
    EXPECT_EQ(eval("greeting & \"!\"").text, "hello!");
    EXPECT_EQ(eval("fmin(qty)").text, "10");
    EXPECT_EQ(eval("fmax(QTY)").text, "99.5");

    Result r = eval("unknown + 1");
    EXPECT_EQ(r.text, "1");
    EXPECT_EQ(r.err, -1);
    r = eval("readonly := 3");
    EXPECT_EQ(r.text, "0");
    EXPECT_EQ(r.err, -1);

    /* A null argument leaves a callback alone. */
    yy_set_setid_getid(nullptr, nullptr, nullptr, nullptr);
    yy_get_setid_getid(&set, &get);
    EXPECT_EQ(set, test_setid);
    EXPECT_EQ(get, test_getid);
}

TEST_F(Callbacks, MessageSinkIsReplaceable)
{
    yy_message_fun first = yy_set_message_func(nullptr);
    EXPECT_EQ(first, nullptr);
    Recorder rec;
    EXPECT_NE(yy_set_message_func(rec.previous), nullptr);
    yy_set_message_func([](const char *) {});
    EXPECT_EQ(eval("len(1)").messages.size(), 1u);
}

TEST_F(Callbacks, WithoutASinkMessagesGoToStandardErrorAndDebugEchoes)
{
    EXPECT_EXIT(
        {
            Compiled c("len(1)");
            yy_l_express(c.h, 0, 0, 0);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^Incompatible types in expression with operator 'len\\(\\)'\n$");
    EXPECT_EXIT(
        {
            user_info.debug_level = 0x8;
            Compiled c("len(1)");
            yy_l_express(c.h, 0, 0, 0);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^YY: before compile: expr_len = 6 expr = 'len\\(1\\)'\n"
        "YY: after  compile: nr of tokens 4\n"
        "YY: Incompatible types in expression with operator 'len\\(\\)'\n"
        "Incompatible types in expression with operator 'len\\(\\)'\n$");
}

} // namespace
