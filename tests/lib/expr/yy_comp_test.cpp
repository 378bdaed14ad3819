/*
 * yy_comp_test.cpp: the compiler (tokens of the lexical rules, constant
 * handles, the block layout with its pool), comparison of compiled blocks
 * and the range extremes.
 */
#include <cmath>

#include "al_mem.h"
#include "expr_test_support.h"

using namespace exprtest;

namespace {

std::vector<int32_t> codes(const char *h)
{
    std::vector<int32_t> out;
    if (reinterpret_cast<uintptr_t>(h) <= 2)
        return out;
    for (const char *t = h; yy::tok_code(t) != 0; t += yy::kTokenSize)
        out.push_back(yy::tok_code(t));
    return out;
}

class Compiler : public ExprTest {};

TEST_F(Compiler, LexicalRulesGiveTheseTokens)
{
    struct {
        const char *text;
        std::vector<int32_t> codes;
    } cases[] = {
        {"1e3", {259, 258}},
        {"5.", {259, '.'}},
        {".5", {260}},
        {"2147483647", {259}},
        {"2147483648", {260}},
        {"99999999999999999999999", {260}},
        {"1.5e+3 1.5E-2 1.5e", {260, 260, 260, 258}},
        {"$$ in \"a\" \"b\"", {262, 281, 261, 261}},
        {"\"a\" \"b\"", {257, 257}},
        {"$$ in \"a{\" \"b\"", {262, 281, 257, 257}},
        {"a := b", {258, 265, 258}},
        {"x :y", {258, 312, 258}},
        {"<> >< <= =< >= => < > =", {314, 314, 315, 315, 316, 316, 317, 318, 313}},
        {", ( ) [ ] ; ? : + - & * / \\ ^", {303, 304, 305, 306, 307, 308, 311, 312, 319, 320, 321, 322, 323, 324, 325}},
        {"abs ACOS And\tfmin fmax", {268, 269, 270, 309, 310}},
        {"@ # $ ! ~", {'@', '#', '$', '!', '~'}},
        {"$$$", {262, '$'}},
        {"a.b$c _x \xC0" "b 9a", {258, 258, 258, 259, 258}},
        {"\xD7 \xF7", {215, 247}},
        {"\x9B\x81\x9C\xAD" "x", {258}},
        {"\x9B", {0x9B}},
        {"1 + \"abc", {259, 319}},
        {"\"a\"\"b\"", {257}},
    };
    for (const auto &c : cases) {
        Recorder rec;
        Compiled h(c.text);
        EXPECT_EQ(codes(h.h), c.codes) << c.text;
    }
}

TEST_F(Compiler, KeywordTableIsComplete)
{
    struct {
        const char *name;
        int32_t code;
    } keywords[] = {
        {"abs", 268},  {"acos", 269}, {"and", 270},   {"asc", 271},  {"asin", 272},  {"atan", 273},
        {"chr", 274},  {"cos", 275},  {"cosh", 276},  {"date", 277}, {"edit", 279},  {"exp", 280},
        {"false", 264}, {"fmax", 310}, {"fmin", 309}, {"in", 281},   {"int", 282},   {"len", 283},
        {"log", 284},  {"log10", 285}, {"max", 286},  {"min", 287},  {"not", 288},   {"or", 289},
        {"pi", 290},   {"pos", 291},  {"pow", 292},   {"round", 293}, {"rpos", 294}, {"sin", 300},
        {"sinh", 301}, {"sqrt", 302}, {"str", 295},   {"strip", 296}, {"tan", 297},  {"tanh", 298},
        {"time", 299}, {"true", 263}, {"utc", 278},   {"val", 267},
    };
    EXPECT_EQ(sizeof keywords / sizeof keywords[0], 40u);
    for (const auto &k : keywords) {
        std::string upper(k.name);
        for (char &ch : upper)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        for (const std::string &text : {std::string(k.name), upper}) {
            Compiled h(text);
            EXPECT_EQ(codes(h.h), std::vector<int32_t>{k.code}) << text;
        }
        Compiled longer(std::string(k.name) + "x");
        EXPECT_EQ(codes(longer.h), std::vector<int32_t>{258}) << k.name;
    }
}

TEST_F(Compiler, LiteralValuesAndIdentifiersAreStored)
{
    Compiled h("2147483647 2147483648 1.5E-2 \"a\"\"b\" AbC.1 \xC0Z \x9B\x81\x9C\xAD");
    const char *t = h.h;
    EXPECT_EQ(yy::tok_int(t), 2147483647);
    EXPECT_EQ(yy::tok_real(t + 12), 2147483648.0);
    EXPECT_EQ(yy::tok_real(t + 24), 0.015);
    EXPECT_STREQ(yy::tok_ptr(t + 36), "a\"b");
    EXPECT_STREQ(yy::tok_ptr(t + 48), "abc.1");
    EXPECT_STREQ(yy::tok_ptr(t + 60), "\xE0z");
    EXPECT_STREQ(yy::tok_ptr(t + 72), "\x9B\x81\x9C\xAD");
}

TEST_F(Compiler, ConstantTextsGiveConstantHandles)
{
    struct {
        const char *text;
        char *handle;
    } cases[] = {
        {"", YY_FALSE_EXPR}, {"  \t ", YY_FALSE_EXPR}, {"0", YY_FALSE_EXPR}, {"00", YY_FALSE_EXPR},
        {" 1 ", YY_TRUE_EXPR}, {"1", YY_TRUE_EXPR},     {"\"abc", YY_FALSE_EXPR},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(yy_expr_compile(c.text, nullptr), c.handle) << c.text;
        EXPECT_EQ(expr_err, 0);
    }
    EXPECT_EQ(yy_expr_compile(nullptr, nullptr), YY_FALSE_EXPR);
    for (const char *text : {"1.0", "2", "(1)", "-1", "true"}) {
        Compiled h(text);
        EXPECT_GT(reinterpret_cast<uintptr_t>(h.h), 2u) << text;
    }
}

size_t last_size = 0;
void *recording_alloc(size_t size)
{
    last_size = size;
    return mal_allocater(size);
}
void *failing_alloc(size_t)
{
    return nullptr;
}

TEST_F(Compiler, BlockHoldsTokensAZeroByteAndThePool)
{
    struct {
        const char *text;
        size_t size;
    } cases[] = {
        {"x & \"ab\"", 4 * 12 + 5 + 2},
        {"7 + x", 4 * 12 + 2 + 2},
        {"$$ in \"a\"", 4 * 12 + 12 + 2},
        {"$$ in [1, 5]", 8 * 12 + 0 + 2},
    };
    for (const auto &c : cases) {
        char *h = yy_expr_compile(c.text, recording_alloc);
        ASSERT_GT(reinterpret_cast<uintptr_t>(h), 2u);
        EXPECT_EQ(last_size, c.size) << c.text;
        size_t ntok = codes(h).size() + 1;
        EXPECT_EQ(h[ntok * 12], '\0');
        for (const char *t = h; yy::tok_code(t) != 0; t += 12) {
            int32_t code = yy::tok_code(t);
            if (code == 257 || code == 258 || code == 261) {
                EXPECT_GT(yy::tok_ptr(t), h + ntok * 12) << c.text;
                EXPECT_LT(yy::tok_ptr(t), h + last_size) << c.text;
            }
        }
        /* The code is a host-order 32-bit integer at the start of each
         * 12-byte record; the integer value follows it. */
        if (std::string(c.text) == "7 + x") {
            int32_t code, value;
            std::memcpy(&code, h, 4);
            std::memcpy(&value, h + 4, 4);
            EXPECT_EQ(code, 259);
            EXPECT_EQ(value, 7);
            std::memcpy(&code, h + 12, 4);
            EXPECT_EQ(code, 319);
        }
        yy_free_express(h);
    }
    EXPECT_EQ(yy_expr_compile("1 + 2", failing_alloc), nullptr);
    EXPECT_EQ(expr_err, -1);
}

TEST_F(Compiler, FailedRegularExpressionIsReportedAndStaysAString)
{
    Recorder rec;
    char *h = yy_expr_compile("$$ in \"(a\"", nullptr);
    EXPECT_EQ(expr_err, 42);
    EXPECT_EQ(codes(h), (std::vector<int32_t>{262, 281, 257}));
    EXPECT_STREQ(yy::tok_ptr(h + 24), "(a");
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0], "Regular expression error nr 42 (non-matching ')') in '(a'\n");
    yy_free_express(h);
}

/* A block copied elsewhere works once its pool pointers are rebased. */
TEST_F(Compiler, RebasedCopyOfABlockIsEqualAndEvaluatesAlike)
{
    char *h = yy_expr_compile("(x & $$ & \"ab\") in \"b\" ", recording_alloc);
    size_t size = last_size;
    std::vector<char> copy(h, h + size);
    for (char *t = copy.data(); yy::tok_code(t) != 0; t += 12) {
        int32_t code = yy::tok_code(t);
        if (code == 257 || code == 258 || code == 261) {
            const char *p = copy.data() + (yy::tok_ptr(t) - h);
            std::memcpy(t + 4, &p, sizeof p);
        }
    }
    EXPECT_EQ(yy_expr_compare(h, copy.data()), 0);
    const char *s = "z";
    auto getx = [](const char *, const YY_ARGS *, YY_VALUE *r) {
        static char text[] = "x";
        *r = YY_VALUE{YY_STRING, text, 0, 0};
        return 0;
    };
    yy_set_setid_getid(nullptr, getx, nullptr, nullptr);
    EXPECT_EQ(yy_l_express(h, YY_VALUE_STRING, reinterpret_cast<long>(s), 0), 65540);
    std::memset(h, 0, size); /* the copy no longer depends on the original */
    EXPECT_EQ(yy_l_express(copy.data(), YY_VALUE_STRING, reinterpret_cast<long>(s), 0), 65540);
    yy_free_express(h);
}

class Compare : public ExprTest {};

TEST_F(Compare, RoundTripsCompareEqualAndChangesDiffer)
{
    struct {
        const char *a;
        const char *b;
        int expected;
    } cases[] = {
        {"$$ in [1, 5]", "$$  in [1,5]", 0},
        {"$$ in [1, 5]", "$$ in [1, 6]", 1},
        {"$$ in [1, 5]", "$$ in [1, 5.0]", 1},
        {"1.5 + x", "1.5+x", 0},
        {"1.5 + x", "1.25 + x", 1},
        {"X", "x", 0},
        {"x", "y", 1},
        {"\"a\" in \"b*\"", "\"a\" in  \"b*\"", 0},
        {"\"a\" in \"b*\"", "\"a\" in \"b{0,}\"", 0},
        {"\"a\" in \"b*\"", "\"a\" in \"c*\"", 1},
        {"\"a\" in \"b\"", "\"a\" in \"b\" \"c\"", 1},
        {"1 + 2", "1 + 2 + 3", 1},
        {"1 + 2 + 3", "1 + 2", 1},
        {"1 <> 2", "1 >< 2", 0},
        {"1", "1", 0},
        {"0", "", 0},
        {"1", "0", 1},
        {"1", "2", 1},
        {"\"ab\"", "\"ab \"", 1},
    };
    for (const auto &c : cases) {
        Recorder rec;
        Compiled a(c.a), b(c.b);
        EXPECT_EQ(yy_expr_compare(a.h, b.h), c.expected) << c.a << " | " << c.b;
        EXPECT_EQ(yy_expr_compare(b.h, a.h), c.expected) << c.b << " | " << c.a;
        EXPECT_EQ(yy_expr_compare(a.h, a.h), 0);
    }
    EXPECT_EQ(yy_expr_compare(nullptr, nullptr), 0);
    Compiled x("x");
    EXPECT_EQ(yy_expr_compare(nullptr, x.h), 1);
}

TEST_F(Compare, NotANumberIsNeverEqual)
{
    Compiled a("1.5 + x"), b("1.5 + x");
    double nan = std::nan("");
    std::memcpy(a.h + 4, &nan, 8);
    std::memcpy(b.h + 4, &nan, 8);
    EXPECT_EQ(yy_expr_compare(a.h, b.h), 1);
}

class Extremes : public ExprTest {};

TEST_F(Extremes, IntegerRangeBoundsAreClippedAndNarrowed)
{
    struct {
        const char *text;
        int32_t lo, hi;
        int digits;
        int32_t min, max;
    } cases[] = {
        {"$$ in [-50, 50]", 0, 1000, 0, 0, 50},
        {"$$ in [-50, 50]", 0, 1000, 1, 0, 9},
        {"$$ in [-50, 50]", -1000, 1000, 1, -9, 9},
        {"$$ in [-50, 50]", -1000, 1000, 10, -50, 50},
        {"$$ in [1, 5] [10, 20]", 0, 100, 0, 1, 20},
        {"$$ in [1, 5] [10, 20]", 3, 12, 0, 3, 12},
        {"$$ in [1, 5] [10, 20]", 6, 9, 0, 6, 9},
        {"$$ in [10, 20] [1, 5]", 0, 100, 0, 1, 20},
        {"$$ in [+1, 5]", 0, 100, 0, 1, 5},
        {"$$ in [1, 5] and 1", 0, 100, 0, 0, 100},
        {"$$ in [1.5, 5]", 0, 100, 0, 0, 100},
        {"$$ in [1, x]", 0, 100, 0, 0, 100},
        {"$$ in \"a\"", 0, 100, 0, 0, 100},
        {"x in [1, 5]", 0, 100, 0, 0, 100},
        {"1", 0, 100, 2, 0, 99},
        {"", -5, 5, 0, -5, 5},
    };
    for (const auto &c : cases) {
        Compiled h(c.text);
        EXPECT_EQ(yy_get_l_extreme(h.h, 1, c.lo, c.hi, c.digits), c.min) << c.text;
        EXPECT_EQ(yy_get_l_extreme(h.h, 0, c.lo, c.hi, c.digits), c.max) << c.text;
    }
    EXPECT_EQ(yy_get_l_extreme(nullptr, 0, 1, 7, 0), 7);
}

TEST_F(Extremes, RealRangeBoundsAreClippedAndNarrowed)
{
    struct {
        const char *text;
        double lo, hi;
        int idigits, fdigits;
        double min, max;
    } cases[] = {
        {"$$ in [1.5, 5]", 0, 100, 0, 0, 1.5, 5},
        {"$$ in [-2.5, 2.5] [7, 8.25]", -100, 100, 0, 0, -2.5, 8.25},
        {"$$ in [-1000, 1000]", -1e6, 1e6, 2, 1, -99.9, 99.9},
        {"$$ in [-1000, 1000]", -1e6, 1e6, 0, 2, -0.99, 0.99},
        {"$$ in [1, 2]", 5, 6, 0, 0, 5, 6},
        {"$$ in [1, 2] or 1", 5, 6, 0, 0, 5, 6},
    };
    for (const auto &c : cases) {
        Compiled h(c.text);
        EXPECT_DOUBLE_EQ(yy_get_d_extreme(h.h, 1, c.lo, c.hi, c.idigits, c.fdigits), c.min) << c.text;
        EXPECT_DOUBLE_EQ(yy_get_d_extreme(h.h, 0, c.lo, c.hi, c.idigits, c.fdigits), c.max) << c.text;
    }
}

} // namespace
