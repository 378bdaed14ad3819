/*
 * yy_regex_test.cpp: the regular-expression dialect: a table of patterns
 * and subjects with matches derived by hand, the numbered compilation
 * errors, a comparison of match offsets with glibc's POSIX basic regular
 * expressions for the constructs both share, and bounded work on hostile
 * patterns.
 */
#include <regex.h>

#include <chrono>

#include "expr_test_support.h"

using namespace exprtest;

namespace {

/* Compiles and searches; start and end byte offsets, or -1 and -1. */
std::pair<long, long> search(const std::string &pattern, const std::string &subject)
{
    std::vector<char> prog(yy::kMaxRegexProgram + 1);
    int n = yy_expr_re_compile(pattern.c_str(), prog.data(), prog.size());
    EXPECT_GT(n, 0) << pattern;
    if (n <= 0)
        return {-2, -2};
    if (!yy_expr_step(subject.c_str(), prog.data()))
        return {-1, -1};
    return {loc1 - subject.c_str(), loc2 - subject.c_str()};
}

class Regex : public ExprTest {};

TEST_F(Regex, HandDerivedMatches)
{
    const std::string mb = "\x9B\x81\x9C\xAD"; /* one four-byte character */
    struct {
        std::string pattern, subject;
        long start, end;
    } cases[] = {
        {"abc", "xabcx", 1, 4},
        {"^abc", "xabc", -1, -1},
        {"^abc", "abcd", 0, 3},
        {"abc$", "abcabc", 3, 6},
        {"a.c", "xxabcx", 2, 5},
        {"a*", "bbb", 0, 0},
        {"ba*", "xbaaay", 1, 5},
        {"[0-9][0-9]*", "ab123c", 2, 5},
        {"[^a-c]", "abcd", 3, 4},
        {"a{2}", "aaaa", 0, 2},
        {"a{2,}", "baaaa", 1, 5},
        {"a{1,3}", "aaaaa", 0, 3},
        {"a{0}b", "ab", 1, 2},
        {"a{255}", std::string(300, 'a'), 0, 300}, /* 255: no upper limit */
        {"a{254}", std::string(300, 'a'), 0, 254},
        {"(ab)\\1", "xabab", 1, 5},
        {"(a*)b\\1", "aabaa", 0, 5},
        {"(a*)b\\1", "aaba", 1, 4},
        {"((a)b)\\2", "aba", 0, 3},
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)\\9", "abcdefghii", 0, 10},
        {"(ab)*c", "ababc", 0, 5},
        {"(ab){2}c", "abababc", 2, 7},
        {"a\\nb", "a\nb", 0, 3},
        {"x\\.y", "x.y", 0, 3},
        {"x\\.y", "xzy", -1, -1},
        {"\\(a\\)", "(a)", 0, 3},
        {"\\*", "a*", 1, 2},
        {"[]a]", "b]", 1, 2},
        {"[a\\]]", "]", 0, 1},
        {"[a-]", "-", 0, 1},
        {"[-a]", "x-", 1, 2},
        {"[^]a]", "]ab", 2, 3},
        {"a|b", "xa|b", 1, 4},
        {"a+", "aa+", 1, 3},
        {"*a", "x*a", 1, 3},
        {"^*", "*x", 0, 1},
        {"a$b", "xa$b", 1, 4},
        {"x^", "ax^", 1, 3},
        {"$", "abc", 3, 3},
        {"^$", "", 0, 0},
        {"^$", "a", -1, -1},
        {"a**", "aaa", 0, 3},
        {".*b", "aabab", 0, 5},
        {"a.*b.*c", "xaxbxcxc", 1, 8},
        {".", mb + "z", 0, 4},
        {"a.b", "a" + mb + "b", 0, 6},
        {"[" + mb + "]", "x" + mb, 1, 5},
        {"[^a]", mb, 0, 4},
        {"[a-z]", mb + "q", 4, 5},
        {mb + "*x", mb + mb + "x", 0, 9},
        {"a{2}", "a" + mb + "aa", 5, 7},
    };
    for (const auto &c : cases) {
        auto got = search(c.pattern, c.subject);
        EXPECT_EQ(got.first, c.start) << c.pattern << " in " << c.subject;
        EXPECT_EQ(got.second, c.end) << c.pattern << " in " << c.subject;
    }
}

TEST_F(Regex, CompilationErrorsAreNumberedAndReported)
{
    struct {
        std::string pattern;
        int nr;
        const char *text;
    } cases[] = {
        {"a{256}", 11, "Overflow in {n,m}"},
        {"a{1,999}", 11, "Overflow in {n,m}"},
        {"a{x}", 16, "Non-digit in {n,m}"},
        {"a{1", 16, "Non-digit in {n,m}"},
        {"a{1,x}", 16, "Non-digit in {n,m}"},
        {"\\1", 25, "\\<nr> not found"},
        {"(a\\1)", 25, "\\<nr> not found"},
        {"(a)\\2", 25, "\\<nr> not found"},
        {"a\nb", 36, "Newline error"},
        {"ab\\", 41, "NUL (\\0) character"},
        {"a)", 42, "non-matching ')'"},
        {"(a", 42, "non-matching ')'"},
        {"(((((((((( a))))))))))", 43, "number of '(' larger than 9"},
        {"a{1,2,3}", 44, "{n,m} too much comma's"},
        {"a{3,2}", 46, "{n,m} range error n > m"},
        {"[a", 49, "\\0 or \\n in bracket RE"},
        {"[a\n]", 49, "\\0 or \\n in bracket RE"},
        {"[a\\", 49, "\\0 or \\n in bracket RE"},
        {"[z-a]", 60, "Range error in bracket (start>end)"},
    };
    std::vector<char> prog(yy::kMaxRegexProgram + 1);
    for (const auto &c : cases) {
        Recorder rec;
        EXPECT_EQ(yy_expr_re_compile(c.pattern.c_str(), prog.data(), prog.size()), -c.nr) << c.pattern;
        EXPECT_EQ(expr_err, c.nr);
        ASSERT_EQ(rec.messages.size(), 1u) << c.pattern;
        EXPECT_EQ(rec.messages[0],
                  "Regular expression error nr " + std::to_string(c.nr) + " (" + c.text + ") in '" + c.pattern + "'\n");
    }
    Recorder rec;
    char small[8];
    EXPECT_EQ(yy_expr_re_compile("abcdef", small, sizeof small), -50);
    EXPECT_EQ(rec.messages.at(0), "Regular expression error nr 50 (Buffer overflow) in 'abcdef'\n");
    std::string huge;
    for (int i = 0; i < 20000; ++i)
        huge += "[a]";
    EXPECT_EQ(yy_expr_re_compile(huge.c_str(), prog.data(), prog.size()), -50);
}

/* Our dialect written as a POSIX basic regular expression. */
std::string to_bre(const std::string &p)
{
    std::string out;
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\' && i + 1 < p.size()) {
            char e = p[++i];
            if (e == '(' || e == ')' || e == '{' || e == '}')
                out += e;
            else
                out += std::string("\\") + e;
        } else if (c == '(' || c == ')' || c == '{' || c == '}') {
            out += std::string("\\") + c;
        } else {
            out += c;
        }
    }
    return out;
}

TEST_F(Regex, OffsetsAgreeWithPosixBasicRegularExpressions)
{
    const char *patterns[] = {
        "abc", "^ab", "b$", "a.c", "ba*", "[0-9][0-9]*", "[^a-c]", "x{2}", "x{2,}", "x{1,3}", "x{0,1}y",
        "(ab)\\1", "(a*)b\\1", "(ab)*c", "a{0}b", "[]a]", "*a", "a$b", "x^", "(a)(b)\\2\\1", ".*", "[a-z]*[0-9]",
        "^$", "\\.", "(x)(y)*", "a*a", "[[]", "(a(b)c)\\2", "\\(a", "^(ab)*$", "[^ ]* ", "b*", "(ba)*b",
    };
    const char *subjects[] = {
        "", "abc", "xabcx", "aaab", "abab", "ab12", "xx", "xxx x", "baab", "abba", "a$b", "x^", "]a", "*a",
        "zzzz9", "xyyy", "ab.c", "abcbc", "baba", "(ab", "x y z", "ababab", "bbb", "xxxxy",
    };
    int compared = 0;
    for (const char *p : patterns) {
        regex_t re;
        std::string bre = to_bre(p);
        ASSERT_EQ(regcomp(&re, bre.c_str(), 0), 0) << bre;
        for (const char *s : subjects) {
            regmatch_t m[1];
            std::pair<long, long> want{-1, -1};
            if (regexec(&re, s, 1, m, 0) == 0)
                want = {m[0].rm_so, m[0].rm_eo};
            EXPECT_EQ(search(p, s), want) << "pattern " << p << " (" << bre << ") subject '" << s << "'";
            ++compared;
        }
        regfree(&re);
    }
    EXPECT_EQ(compared, static_cast<int>(std::size(patterns) * std::size(subjects)));
}

TEST_F(Regex, HostilePatternsEndQuickly)
{
    struct {
        std::string pattern, subject;
    } cases[] = {
        {"(a*)*b", std::string(40, 'a')},
        {"(((a*)*)*)*c", std::string(5000, 'a')},
        {"(.*)(.*)(.*)(.*)(.*)x", std::string(2000, 'y')},
        {"(a{0,255}){0,255}{0,255}b", std::string(3000, 'a')},
        {"(a*)*\\1b", std::string(500, 'a')},
        {".*.*.*.*.*.*.*.*x", std::string(3000, 'z')},
    };
    for (const auto &c : cases) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(search(c.pattern, c.subject).first, -1) << c.pattern;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(seconds, 20.0) << c.pattern;
    }
    /* Long subjects and deep repetition of groups do not exhaust the stack;
     * a group repeated beyond the depth limit matches a shorter run. */
    std::string ab;
    for (int i = 0; i < 50000; ++i)
        ab += "ab";
    auto got = search("(ab)*", ab);
    EXPECT_EQ(got.first, 0);
    EXPECT_GT(got.second, 100);
    EXPECT_EQ(search("a*b", std::string(200000, 'a') + "b"), (std::pair<long, long>{0, 200001}));
}

class RegexInExpressions : public ExprTest {};

TEST_F(RegexInExpressions, MatchLengthAndPositionAreEncoded)
{
    struct {
        const char *text;
        long value;
    } cases[] = {
        {R"($$ in "b")", 2 * 1 + 65536 * 1},
        {R"($$ in "^a")", 1 + 65536},
        {R"($$ in "x" "c.*")", 3 + 65536 * 3},
        {R"($$ in "q")", 0},
        {R"($$ in "(b)\1*")", 2 + 65536},
    };
    const char *s = "abcde";
    for (const auto &c : cases) {
        Compiled h(c.text);
        EXPECT_EQ(yy_l_express(h.h, YY_VALUE_STRING, reinterpret_cast<long>(s), 0), c.value) << c.text;
    }
}

} // namespace
