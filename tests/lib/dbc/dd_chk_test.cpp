/*
 * dd_chk_test.cpp: the domain-constraint checks: every reason code and
 * message format, mandatory values, the exempt columns, the checking
 * switch, combined and array columns, DIGV, multibyte values and their
 * display width, and the sample dictionary's compiled range expressions
 * (registered by the API start-up) checked for real.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "al_user.h"
#include "qpd_dd.h"
#include "qpd_internal.h"
#include "run_program.h"
#include "tdb_api.h"
#include "tdb_dd_chk.h"
#include "tss.h"
#include "yy_expr.h"

namespace {

/* ---- in-memory dictionary records ---------------------------------------- */

/* A domain record with its attribute block and compiled range. */
class Domain {
public:
    Domain(int type, int width)
    {
        d_.type = static_cast<unsigned char>(type);
        d_.width = static_cast<short>(width);
        d_.range_text = "";
        set_attrs();
    }
    ~Domain() { yy_free_express(static_cast<char *>(d_.range)); }
    Domain(const Domain &) = delete;
    Domain &operator=(const Domain &) = delete;

    Domain &range(const char *text)
    {
        int error = 0;
        d_.range = yy_compile_range(text, &error);
        EXPECT_NE(d_.range, nullptr) << text;
        return *this;
    }
    Domain &legal(const std::string &text) { l_ = text; set_attrs(); return *this; }
    Domain &illegal(const std::string &text) { il_ = text; set_attrs(); return *this; }
    Domain &co(char c) { d_.word.value = static_cast<unsigned char>(c); return *this; }
    Domain &digv(int n) { d_.digits_before = static_cast<unsigned char>(n); return *this; }
    Domain &display(int n) { d_.display_width = static_cast<short>(n); return *this; }
    _dd_domain *get() { return &d_; }

private:
    void set_attrs()
    {
        attrs_ = l_ + '\0' + il_ + '\0' + '\0' + '\0' + '\0';
        d_.attrs = attrs_.data();
    }
    _dd_domain d_{};
    std::string l_, il_, attrs_;
};

_dd_column column(const char *name, Domain &domain, int offset = 0, int flags = 0, int elements = 1)
{
    _dd_column c{};
    c.domain = domain.get();
    c.type = domain.get()->type;
    c.offset = static_cast<unsigned short>(offset);
    c.elements = static_cast<unsigned char>(elements);
    c.length = static_cast<unsigned short>(domain.get()->width * elements);
    c.flags = static_cast<unsigned char>(flags | (elements > 1 ? DD_COL_ARRAY : 0));
    snprintf(c.name, sizeof c.name, "%s", name);
    return c;
}

void put_be(unsigned char *p, long value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        p[i] = static_cast<unsigned char>(value & 0xFF);
}

std::vector<unsigned char> be(long value, int bytes)
{
    std::vector<unsigned char> out(static_cast<size_t>(bytes));
    put_be(out.data(), value, bytes);
    return out;
}

std::vector<unsigned char> dbl(double d)
{
    std::vector<unsigned char> out(sizeof d);
    std::memcpy(out.data(), &d, sizeof d);
    return out;
}

std::vector<unsigned char> flt(float f)
{
    std::vector<unsigned char> out(sizeof f);
    std::memcpy(out.data(), &f, sizeof f);
    return out;
}

/* A string value padded with blanks to width bytes. */
std::vector<unsigned char> str(const std::string &text, int width)
{
    std::string s = text;
    s.resize(static_cast<size_t>(width), ' ');
    return std::vector<unsigned char>(s.begin(), s.end());
}

/* The TSS form of a code point above 255 (Unicode layout of lib/mb). */
std::string tss(uint32_t cp)
{
    std::string s = "\x9b";
    s += static_cast<char>(0x80 | ((cp >> 14) & 0x7F));
    s += static_cast<char>(0x80 | ((cp >> 7) & 0x7F));
    s += static_cast<char>(0x80 | (cp & 0x7F));
    return s;
}

/* Runs one value through check_one_value: the message, or "" for a pass. */
std::string fails_with(const _dd_column &c, const std::vector<unsigned char> &value)
{
    int ok = check_one_value(&c, value.data());
    std::string message = tdb_dd_check_message();
    EXPECT_EQ(ok == 1, message.empty()) << message;
    return ok ? std::string() : message;
}

/* Records what the log receives while alive. */
std::vector<std::string> *log_sink = nullptr;
void record_log(const char *message)
{
    if (log_sink)
        log_sink->emplace_back(message);
}
struct LogRecorder {
    std::vector<std::string> messages;
    LogRecorder() { log_sink = &messages; log_set_log_hook(record_log); }
    ~LogRecorder() { log_sink = nullptr; log_set_log_hook(nullptr); }
};

void in_child(const std::function<void()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "checks in the child failed";
}

/* Character-set settings and the checking switch of every test. */
class DdCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_mode_ = TssSetMode(TSS_MODE_CLASSIC);
        TssSetHighAsciiToleranceMode(1);
        saved_switch_ = user_info.domaincheck;
        user_info.domaincheck = 1;
    }
    void TearDown() override
    {
        TssSetMode(saved_mode_);
        TssSetHighAsciiToleranceMode(-1);
        user_info.domaincheck = saved_switch_;
    }

private:
    int saved_mode_ = TSS_MODE_CLASSIC;
    short saved_switch_ = 0;
};

/* ---- reason texts ------------------------------------------------------------ */

using ReasonTexts = DdCheck;

TEST_F(ReasonTexts, EveryCodeHasItsText)
{
    const char *expected[] = {"No domain errors", "FILL", "RANG", "ILCH", "LECH",
                              "CONV:u", "CONV:l", "DIGV", "PLEN"};
    for (int i = 0; i <= 8; ++i)
        EXPECT_STREQ(tdb_dd_reason_text(i), expected[i]) << i;
    EXPECT_STREQ(tdb_dd_reason_text(9), "");
    EXPECT_STREQ(tdb_dd_reason_text(-1), "");
}

/* ---- integers ---------------------------------------------------------------- */

using IntegerChecks = DdCheck;

TEST_F(IntegerChecks, MandatoryLongZeroFailsWithFill)
{
    Domain d(TDB_LONG, 4);
    _dd_column c = column("qadd_100.qty", d, 0, DD_COL_MANDATORY);
    EXPECT_EQ(tdb_dd_check_integer(&c, 0), DD_CHK_FILL);
    EXPECT_EQ(fails_with(c, be(0, 4)), "qadd_100.qty not according to FILL (value 0)");
    EXPECT_EQ(tdb_dd_check_integer(&c, 1), DD_CHK_OK);
}

TEST_F(IntegerChecks, ZeroIsNotTestedAgainstTheRange)
{
    Domain d(TDB_LONG, 4);
    d.range("$$ > 5");
    _dd_column c = column("qadd_100.qty", d);
    EXPECT_EQ(tdb_dd_check_integer(&c, 0), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_integer(&c, 6), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_integer(&c, 5), DD_CHK_RANG);
    EXPECT_EQ(tdb_dd_check_integer(&c, -7), DD_CHK_RANG);
    EXPECT_EQ(fails_with(c, be(-7, 4)), "qadd_100.qty not according to RANG (value -7)");
}

TEST_F(IntegerChecks, EachIntegerTypeIsReadFromItsRowBytes)
{
    Domain byte(TDB_BYTE, 1), en(TDB_ENUM, 1), in(TDB_INTEGER, 2);
    byte.range("$$ < 200");
    en.range("$$ <> 3");
    in.range("$$ >= -100");
    _dd_column cb = column("qadd_100.bt", byte);
    _dd_column ce = column("qadd_100.en", en);
    _dd_column ci = column("qadd_100.in", in);
    /* Bytes are unsigned: 0xFA is 250, not -6. */
    EXPECT_EQ(fails_with(cb, {0xFA}), "qadd_100.bt not according to RANG (value 250)");
    EXPECT_EQ(fails_with(cb, {199}), "");
    EXPECT_EQ(fails_with(ce, {3}), "qadd_100.en not according to RANG (value 3)");
    EXPECT_EQ(fails_with(ce, {4}), "");
    /* Signed 16-bit big-endian: ff 9b is -101. */
    EXPECT_EQ(fails_with(ci, {0xFF, 0x9B}), "qadd_100.in not according to RANG (value -101)");
    EXPECT_EQ(fails_with(ci, {0xFF, 0x9C}), "");
    EXPECT_EQ(fails_with(ci, {0x7F, 0xFF}), "");
}

TEST_F(IntegerChecks, MandatoryByteAndShortZero)
{
    Domain byte(TDB_BYTE, 1), in(TDB_INTEGER, 2);
    _dd_column cb = column("qadd_100.bt", byte, 0, DD_COL_MANDATORY);
    _dd_column ci = column("qadd_100.in", in, 0, DD_COL_MANDATORY);
    EXPECT_EQ(fails_with(cb, {0}), "qadd_100.bt not according to FILL (value 0)");
    EXPECT_EQ(fails_with(ci, {0, 0}), "qadd_100.in not according to FILL (value 0)");
    EXPECT_EQ(fails_with(ci, {0, 1}), "");
}

/* ---- dates and times ----------------------------------------------------------- */

using DateChecks = DdCheck;

TEST_F(DateChecks, ZeroDateFailsOnlyWhenMandatory)
{
    Domain date(TDB_DATE, 4), utc(TDB_TIME, 4);
    _dd_column cm = column("qadd_100.dt", date, 0, DD_COL_MANDATORY);
    _dd_column co = column("qadd_100.do", date);
    _dd_column ct = column("qadd_100.tm", utc, 0, DD_COL_MANDATORY);
    EXPECT_EQ(tdb_dd_check_date(&cm, 0), DD_CHK_FILL);
    EXPECT_EQ(tdb_dd_check_date(&cm, 738000), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_date(&cm, -1), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_date(&co, 0), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_time(&ct, 0), DD_CHK_FILL);
    EXPECT_EQ(fails_with(cm, be(0, 4)), "qadd_100.dt not according to FILL (value 0)");
    EXPECT_EQ(fails_with(ct, be(0, 4)), "qadd_100.tm not according to FILL (value 0)");
    EXPECT_EQ(fails_with(ct, be(1700000000, 4)), "");
}

TEST_F(DateChecks, DatesIgnoreTheRangeExpression)
{
    Domain date(TDB_DATE, 4);
    date.range("$$ > 1000000");
    _dd_column c = column("qadd_100.dt", date);
    EXPECT_EQ(fails_with(c, be(5, 4)), "");
}

/* ---- reals and DIGV ------------------------------------------------------------- */

using RealChecks = DdCheck;

TEST_F(RealChecks, DoubleWithDigv3)
{
    Domain d(TDB_DOUBLE, 8);
    d.digv(3);
    _dd_column c = column("qadd_100.amnt", d);
    EXPECT_EQ(tdb_dd_check_real(&c, 999.99), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_real(&c, 1000.0), DD_CHK_DIGV);
    EXPECT_EQ(tdb_dd_check_real(&c, -5000.0), DD_CHK_OK);
    EXPECT_EQ(fails_with(c, dbl(1000.0)), "qadd_100.amnt not according to DIGV (value 1000.000000)");
}

TEST_F(RealChecks, DigvLimitsOfTheTable)
{
    Domain d(TDB_DOUBLE, 8);
    _dd_column c = column("qadd_100.amnt", d);
    d.digv(1);
    EXPECT_EQ(tdb_dd_check_real(&c, 9.5), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_real(&c, 10.0), DD_CHK_DIGV);
    d.digv(15);
    EXPECT_EQ(tdb_dd_check_real(&c, 999999999999999.0), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_real(&c, 1e15), DD_CHK_DIGV);
    d.digv(0);
    EXPECT_EQ(tdb_dd_check_real(&c, 1e300), DD_CHK_OK);
}

TEST_F(RealChecks, DigvAboveFifteenGoesOnAsPowerOfTen)
{
    Domain d(TDB_DOUBLE, 8);
    _dd_column c = column("qadd_100.amnt", d);
    d.digv(16);
    EXPECT_EQ(tdb_dd_check_real(&c, 9999999999999998.0), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_real(&c, 1e16), DD_CHK_DIGV);
    d.digv(20);
    EXPECT_EQ(tdb_dd_check_real(&c, 9e19), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_real(&c, 1e20), DD_CHK_DIGV);
    d.digv(255);
    EXPECT_EQ(tdb_dd_check_real(&c, 1e254), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_real(&c, 1e255), DD_CHK_DIGV);
    EXPECT_EQ(tdb_dd_check_real(&c, -1e300), DD_CHK_OK);
}

TEST_F(RealChecks, ZeroFailsOnlyWhenMandatory)
{
    Domain d(TDB_DOUBLE, 8);
    d.range("$$ > 5");
    _dd_column cm = column("qadd_100.amnt", d, 0, DD_COL_MANDATORY);
    _dd_column co = column("qadd_100.amno", d);
    EXPECT_EQ(fails_with(cm, dbl(0.0)), "qadd_100.amnt not according to FILL (value 0.000000)");
    EXPECT_EQ(fails_with(co, dbl(0.0)), "");
    /* A mandatory column without range or DIGV still refuses zero. */
    Domain plain(TDB_DOUBLE, 8);
    _dd_column cp = column("qadd_100.plain", plain, 0, DD_COL_MANDATORY);
    EXPECT_EQ(tdb_dd_check_real(&cp, 0.0), DD_CHK_FILL);
    EXPECT_EQ(tdb_dd_check_real(&cp, -0.5), DD_CHK_OK);
}

TEST_F(RealChecks, RangeComesBeforeDigv)
{
    Domain d(TDB_DOUBLE, 8);
    d.range("$$ in [1, 5000]").digv(3);
    _dd_column c = column("qadd_100.amnt", d);
    EXPECT_EQ(tdb_dd_check_real(&c, 4000.0), DD_CHK_DIGV);
    EXPECT_EQ(tdb_dd_check_real(&c, 6000.0), DD_CHK_RANG);
    EXPECT_EQ(tdb_dd_check_real(&c, 2.5), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_real(&c, 0.5), DD_CHK_RANG);
    EXPECT_EQ(fails_with(c, dbl(-2.25)), "qadd_100.amnt not according to RANG (value -2.250000)");
}

TEST_F(RealChecks, FloatValuesAreWidened)
{
    Domain d(TDB_FLOAT, 4);
    d.digv(2).range("$$ > -1");
    _dd_column c = column("qadd_100.fl", d);
    EXPECT_EQ(fails_with(c, flt(99.5f)), "");
    EXPECT_EQ(fails_with(c, flt(100.0f)), "qadd_100.fl not according to DIGV (value 100.000000)");
    EXPECT_EQ(fails_with(c, flt(-1.5f)), "qadd_100.fl not according to RANG (value -1.500000)");
}

/* ---- raw values ---------------------------------------------------------------- */

using RawChecks = DdCheck;

TEST_F(RawChecks, AllZeroBytesFailWhenMandatoryWithHexMessage)
{
    Domain d(TDB_RAW, 4);
    _dd_column cm = column("qadd_100.raw", d, 0, DD_COL_MANDATORY);
    _dd_column co = column("qadd_100.rao", d);
    EXPECT_EQ(fails_with(cm, {0, 0, 0, 0}), "qadd_100.raw not according to FILL (value '00000000')");
    EXPECT_EQ(fails_with(cm, {0, 0, 0, 1}), "");
    EXPECT_EQ(fails_with(co, {0, 0, 0, 0}), "");
    EXPECT_EQ(tdb_dd_check_raw(&cm, std::vector<unsigned char>{0xAB, 0, 0, 0}.data()), DD_CHK_OK);
}

TEST_F(RawChecks, MessageWritesEveryByteAsTwoHexDigits)
{
    /* Twice the byte width of hexadecimal digits. */
    Domain d(TDB_RAW, 8);
    _dd_column c = column("qadd_100.raw8", d, 0, DD_COL_MANDATORY);
    EXPECT_EQ(fails_with(c, std::vector<unsigned char>(8, 0)),
              "qadd_100.raw8 not according to FILL (value '0000000000000000')");
}

/* ---- single-byte strings -------------------------------------------------------- */

using StringChecks = DdCheck;

TEST_F(StringChecks, BlankValues)
{
    Domain d(TDB_STRING, 6);
    d.range("$$ = \"never\"").legal("X").co('u');
    _dd_column cm = column("qadd_100.code", d, 0, DD_COL_MANDATORY);
    _dd_column co = column("qadd_100.codo", d);
    EXPECT_EQ(fails_with(cm, str("", 6)), "qadd_100.code not according to FILL (value '      ')");
    /* Not mandatory: blanks pass without any further test. */
    EXPECT_EQ(fails_with(co, str("", 6)), "");
    /* A value that ends at a zero byte before any non-blank is empty. */
    EXPECT_EQ(tdb_dd_check_str(&cm, "  \0xyz"), DD_CHK_FILL);
    EXPECT_EQ(tdb_dd_check_str(&co, std::string("\0abcde", 6).c_str()), DD_CHK_OK);
}

TEST_F(StringChecks, RangeSeesAllWidthBytes)
{
    Domain d(TDB_STRING, 6);
    d.range("strip($$) = \"AB\" or $$ = \"ABCDEF\"");
    _dd_column c = column("qadd_100.code", d);
    EXPECT_EQ(fails_with(c, str("AB", 6)), "");
    EXPECT_EQ(fails_with(c, str("ABCDEF", 6)), "");
    EXPECT_EQ(fails_with(c, str("ABC", 6)), "qadd_100.code not according to RANG (value 'ABC   ')");
    /* Only W bytes: the bytes behind the field do not belong to the value. */
    std::vector<unsigned char> row = str("ABCDEFGH", 8);
    EXPECT_EQ(check_one_value(&c, row.data()), 1);
    Domain padded(TDB_STRING, 6);
    padded.range("$$ = \"AB\"");
    _dd_column cp = column("qadd_100.pad", padded);
    /* The trailing blanks are part of the value the range sees. */
    EXPECT_EQ(tdb_dd_check_str(&cp, "AB    "), DD_CHK_RANG);
}

TEST_F(StringChecks, UpperCaseDomainRejectsLowerCase)
{
    Domain d(TDB_STRING, 6);
    d.co('u');
    _dd_column c = column("qadd_100.code", d);
    EXPECT_EQ(fails_with(c, str("abc", 6)), "qadd_100.code not according to CONV:u (value 'abc   ')");
    EXPECT_EQ(fails_with(c, str("ABC-1", 6)), "");
}

TEST_F(StringChecks, AnyOtherCaseAttributeMeansLowerCase)
{
    for (char attribute : {'l', 'U', 'x'}) {
        Domain d(TDB_STRING, 4);
        d.co(attribute);
        _dd_column c = column("qadd_100.low", d);
        EXPECT_EQ(fails_with(c, str("abC", 4)), "qadd_100.low not according to CONV:l (value 'abC ')")
            << attribute;
        EXPECT_EQ(fails_with(c, str("ab1", 4)), "") << attribute;
    }
    Domain none(TDB_STRING, 4);
    _dd_column c = column("qadd_100.any", none);
    EXPECT_EQ(fails_with(c, str("aB", 4)), "");
}

TEST_F(StringChecks, IllegalCharacters)
{
    Domain d(TDB_STRING, 5);
    d.illegal("#;");
    _dd_column c = column("qadd_100.txt", d);
    EXPECT_EQ(fails_with(c, str("a;b", 5)), "qadd_100.txt not according to ILCH (value 'a;b  ')");
    EXPECT_EQ(fails_with(c, str("a b", 5)), "");
    /* Bytes behind a zero byte are not part of the value. */
    EXPECT_EQ(tdb_dd_check_str(&c, std::string("ab\0#;", 5).c_str()), DD_CHK_OK);
}

TEST_F(StringChecks, LegalCharactersAllowBlanks)
{
    Domain d(TDB_STRING, 6);
    d.legal("ABC0123");
    _dd_column c = column("qadd_100.code", d);
    EXPECT_EQ(fails_with(c, str("A B 01", 6)), "");
    EXPECT_EQ(fails_with(c, str("AB9", 6)), "qadd_100.code not according to LECH (value 'AB9   ')");
}

TEST_F(StringChecks, IllegalIsTestedBeforeLegalAndCase)
{
    Domain d(TDB_STRING, 4);
    d.illegal("x").legal("ab").co('u');
    _dd_column c = column("qadd_100.ord", d);
    EXPECT_EQ(tdb_dd_check_str(&c, "x   "), DD_CHK_ILCH);
    EXPECT_EQ(tdb_dd_check_str(&c, "c   "), DD_CHK_LECH);
    EXPECT_EQ(tdb_dd_check_str(&c, "ab  "), DD_CHK_CONV_U);
}

TEST_F(StringChecks, HighAsciiFailsWhenNotTolerated)
{
    Domain d(TDB_STRING, 4);
    _dd_column c = column("qadd_100.name", d);
    std::vector<unsigned char> value = {'c', 'a', 'f', 0xE9};
    EXPECT_EQ(fails_with(c, value), "");
    TssSetHighAsciiToleranceMode(0);
    EXPECT_EQ(fails_with(c, value), "qadd_100.name not according to ILCH (value 'caf\xe9')");
    /* Only bytes of the value count, not those behind a zero byte. */
    EXPECT_EQ(tdb_dd_check_str(&c, "ab\0\xe9"), DD_CHK_OK);
}

TEST_F(StringChecks, ExemptColumnsKeepHighAscii)
{
    TssSetHighAsciiToleranceMode(0);
    const char *exempt[] = {"ttadv304.layo", "ttadv335.layo", "ttadv364.layo", "ttscm304.layo",
                            "ttscm335.layo", "ttscm364.layo", "ttaad503.rcrd", "ttadv980.rcrd",
                            "ttadv990.rcrd", "ttdsk400.rcrd", "ttadv992.qbfc", "tttxt010.text"};
    Domain d(TDB_STRING, 4);
    std::vector<unsigned char> value = {'c', 'a', 'f', 0xE9};
    for (const char *name : exempt) {
        EXPECT_EQ(tdb_dd_exempt_from_high_ascii(name), 1) << name;
        _dd_column c = column(name, d);
        EXPECT_EQ(fails_with(c, value), "") << name;
    }
    for (const char *name : {"ttadv304.lay", "ttadv304.layout", "ttadv305.layo", "ttadv304", ""}) {
        EXPECT_EQ(tdb_dd_exempt_from_high_ascii(name), 0) << name;
    }
    _dd_column other = column("ttadv305.layo", d);
    EXPECT_EQ(fails_with(other, value), "ttadv305.layo not according to ILCH (value 'caf\xe9')");
    /* Exemption covers only the high-ASCII test. */
    Domain il(TDB_STRING, 4);
    il.illegal("\xe9");
    _dd_column layo = column("ttadv304.layo", il);
    EXPECT_EQ(tdb_dd_check_str(&layo, "caf\xe9"), DD_CHK_ILCH);
}

TEST_F(StringChecks, MessageUsesByteWidthEvenWithZeroByte)
{
    Domain d(TDB_STRING, 6);
    d.co('u');
    _dd_column c = column("qadd_100.code", d);
    std::vector<unsigned char> value = {'a', 'b', 0, 'Z', 'Z', 'Z'};
    EXPECT_EQ(fails_with(c, value), "qadd_100.code not according to CONV:u (value 'ab')");
}

/* ---- multibyte strings ------------------------------------------------------------ */

using MbStringChecks = DdCheck;

TEST_F(MbStringChecks, FourByteCharactersAreOneCharacterForLegalAndIllegal)
{
    std::string zhong = tss(0x4E2D), wen = tss(0x6587);
    Domain d(TDB_MBSTRING, 12);
    d.legal(zhong + "ab");
    _dd_column c = column("qadd_100.mbn", d);
    EXPECT_EQ(tdb_dd_check_mbstr(&c, (zhong + "a " + zhong + "b    ").c_str()), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_mbstr(&c, (zhong + wen + "    ").c_str()), DD_CHK_LECH);
    /* The legal text holds the lead byte 0x9B inside its character; a
     * different four-byte character is still refused. */
    std::string value = wen + "        ";
    EXPECT_EQ(fails_with(c, std::vector<unsigned char>(value.begin(), value.end())),
              "qadd_100.mbn not according to LECH (value '" + value + "')");

    Domain il(TDB_MBSTRING, 8);
    il.illegal(wen);
    _dd_column ci = column("qadd_100.mbi", il);
    EXPECT_EQ(tdb_dd_check_mbstr(&ci, (zhong + "    ").c_str()), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_mbstr(&ci, ("a" + wen + "   ").c_str()), DD_CHK_ILCH);
}

TEST_F(MbStringChecks, NoHighAsciiTest)
{
    TssSetHighAsciiToleranceMode(0);
    Domain d(TDB_MBSTRING, 4);
    _dd_column c = column("qadd_100.mbn", d);
    EXPECT_EQ(tdb_dd_check_mbstr(&c, "caf\xe9"), DD_CHK_OK);
}

TEST_F(MbStringChecks, BlankMandatoryAndRange)
{
    Domain d(TDB_MBSTRING, 8);
    d.range("strip($$) <> \"no\"");
    _dd_column cm = column("qadd_100.mbn", d, 0, DD_COL_MANDATORY);
    EXPECT_EQ(fails_with(cm, str("", 8)), "qadd_100.mbn not according to FILL (value '        ')");
    EXPECT_EQ(fails_with(cm, str("no", 8)), "qadd_100.mbn not according to RANG (value 'no      ')");
    EXPECT_EQ(fails_with(cm, str("yes", 8)), "");
}

TEST_F(MbStringChecks, CaseOfOneByteCharacters)
{
    Domain up(TDB_MBSTRING, 8), low(TDB_MBSTRING, 8);
    up.co('u');
    low.co('l');
    _dd_column cu = column("qadd_100.up", up);
    _dd_column cl = column("qadd_100.lo", low);
    std::string zhong = tss(0x4E2D);
    EXPECT_EQ(tdb_dd_check_mbstr(&cu, (zhong + "AB  ").c_str()), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_mbstr(&cu, (zhong + "aB  ").c_str()), DD_CHK_CONV_U);
    EXPECT_EQ(tdb_dd_check_mbstr(&cl, (zhong + "ab  ").c_str()), DD_CHK_OK);
    EXPECT_EQ(tdb_dd_check_mbstr(&cl, (zhong + "Ab  ").c_str()), DD_CHK_CONV_L);
    /* The multibyte forms of the ordinal indicators pass in upper case. */
    EXPECT_EQ(tdb_dd_check_mbstr(&cu, "\x9b\xbc\x81\xba\x9b\xbc\x81\xaa"), DD_CHK_OK);
}

TEST_F(MbStringChecks, CaseOfFourByteCharactersInUnicodeMode)
{
    in_child([] {
        TssSetMode(TSS_MODE_UNICODE);
        Domain up(TDB_MBSTRING, 8), low(TDB_MBSTRING, 8);
        up.co('u').display(8);
        low.co('l').display(8);
        _dd_column cu = column("qadd_100.up", up);
        _dd_column cl = column("qadd_100.lo", low);
        std::string a_macron = tss(0x0101), A_macron = tss(0x0100);
        EXPECT_EQ(tdb_dd_check_mbstr(&cu, (A_macron + "    ").c_str()), DD_CHK_OK);
        EXPECT_EQ(tdb_dd_check_mbstr(&cu, (a_macron + "    ").c_str()), DD_CHK_CONV_U);
        EXPECT_EQ(tdb_dd_check_mbstr(&cl, (a_macron + "    ").c_str()), DD_CHK_OK);
        EXPECT_EQ(tdb_dd_check_mbstr(&cl, (A_macron + "    ").c_str()), DD_CHK_CONV_L);
        /* A character without case passes both. */
        EXPECT_EQ(tdb_dd_check_mbstr(&cu, (tss(0x4E2D) + "    ").c_str()), DD_CHK_OK);
        EXPECT_EQ(tdb_dd_check_mbstr(&cl, (tss(0x4E2D) + "    ").c_str()), DD_CHK_OK);
    });
}

TEST_F(MbStringChecks, DisplayWidthOnlyFromLocaleLevelTwo)
{
    std::string zhong = tss(0x4E2D), wen = tss(0x6587);
    Domain d(TDB_MBSTRING, 16);
    d.display(4);
    _dd_column c = column("qadd_100.mbn", d);
    std::string three = zhong + wen + zhong + "    ";
    /* Classic mode: no display-width test. */
    EXPECT_EQ(tdb_dd_check_mbstr(&c, three.c_str()), DD_CHK_OK);
    TssSetMode(TSS_MODE_UNICODE);
    EXPECT_EQ(tdb_dd_check_mbstr(&c, (zhong + wen + "        ").c_str()), DD_CHK_OK);
    EXPECT_EQ(fails_with(c, std::vector<unsigned char>(three.begin(), three.end())),
              "qadd_100.mbn not according to PLEN (value '" + three + "')");
    /* Combining marks take no column. */
    std::string e_acute = "e" + tss(0x0301);
    EXPECT_EQ(tdb_dd_check_mbstr(&c, (e_acute + e_acute + e_acute + e_acute).c_str()), DD_CHK_OK);
}

TEST_F(MbStringChecks, MeasuredPartIsTheValueWithoutTrailingBlanks)
{
    TssSetMode(TSS_MODE_UNICODE);
    Domain d(TDB_MBSTRING, 8);
    d.display(3);
    _dd_column c = column("qadd_100.mbn", d);
    /* Trailing blanks are not measured. */
    EXPECT_EQ(tdb_dd_check_mbstr(&c, "abc     "), DD_CHK_OK);
    /* Inner blanks are: "a bc" takes four columns. */
    EXPECT_EQ(tdb_dd_check_mbstr(&c, "a bc    "), DD_CHK_PLEN);
    /* Leading blanks are part of the value too. */
    EXPECT_EQ(tdb_dd_check_mbstr(&c, "  ab    "), DD_CHK_PLEN);
    /* A value that fills its field is measured whole. */
    Domain full(TDB_MBSTRING, 4);
    full.display(4);
    _dd_column cf = column("qadd_100.full", full);
    EXPECT_EQ(tdb_dd_check_mbstr(&cf, "abcd"), DD_CHK_OK);
    full.display(3);
    EXPECT_EQ(tdb_dd_check_mbstr(&cf, "abcd"), DD_CHK_PLEN);
    /* Bytes behind the field are not read. */
    EXPECT_EQ(tdb_dd_check_mbstr(&cf, "abcdefgh"), DD_CHK_PLEN);
    full.display(4);
    EXPECT_EQ(tdb_dd_check_mbstr(&cf, "abcdefgh"), DD_CHK_OK);
}

/* ---- combined and array columns, tables, the switch -------------------------------- */

/* A table of four stored columns and a combined one over two of them:
 * id (long, mandatory) at 0, amnt (3 doubles, DIGV 3) at 4, code (string
 * 4, upper case) at 28, tag (raw 2, mandatory) at 32, and key (combined:
 * code, id). */
struct Table {
    Domain dlong{TDB_LONG, 4}, ddbl{TDB_DOUBLE, 8}, dcode{TDB_STRING, 4}, draw{TDB_RAW, 2};
    std::vector<_dd_column> cols;
    std::vector<_dd_column *> parts;
    _dd_table table{};
    std::vector<unsigned char> row;

    Table()
    {
        ddbl.digv(3);
        dcode.co('u');
        cols.push_back(column("qadd_200.amnt", ddbl, 4, 0, 3));
        cols.push_back(column("qadd_200.code", dcode, 28));
        cols.push_back(column("qadd_200.id", dlong, 0, DD_COL_MANDATORY));
        _dd_column key{};
        key.type = TDB_COMBINED;
        snprintf(key.name, sizeof key.name, "qadd_200.key");
        cols.push_back(key);
        cols.push_back(column("qadd_200.tag", draw, 32, DD_COL_MANDATORY));
        /* Parts in their own order: code first, then id. */
        parts = {&cols[1], &cols[2], nullptr};
        cols[3].parts = parts.data();
        cols[3].offset = 28;
        table.columns = cols.data();
        table.nr_columns = static_cast<short>(cols.size());
        snprintf(table.code, sizeof table.code, "qadd_200");
        table.data_length = 34;
        table.row_length = 40;
        row.assign(40, 0);
        put_be(row.data(), 17, 4);
        for (int e = 0; e < 3; ++e)
            std::memcpy(row.data() + 4 + 8 * e, dbl(1.5 * e).data(), 8);
        std::memcpy(row.data() + 28, "AB  ", 4);
        row[33] = 0x01;
    }
};

using RowChecks = DdCheck;

TEST_F(RowChecks, ValidRowPasses)
{
    Table t;
    LogRecorder log;
    EXPECT_EQ(tdb_dd_check(&t.table, t.row.data()), 1);
    EXPECT_EQ(tdb_domain_check(&t.table, t.row.data()), nullptr);
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(RowChecks, ArrayElementsAreCheckedOneByOne)
{
    Table t;
    std::memcpy(t.row.data() + 4 + 16, dbl(2500.0).data(), 8);
    EXPECT_EQ(check_column_in_rowbuf(&t.cols[0], t.row.data()), 0);
    EXPECT_STREQ(tdb_dd_check_message(), "qadd_200.amnt not according to DIGV (value 2500.000000)");
    EXPECT_STREQ(tdb_domain_check(&t.table, t.row.data()), "qadd_200.amnt");
    /* The first failing element decides. */
    std::memcpy(t.row.data() + 4 + 8, dbl(1000.0).data(), 8);
    EXPECT_EQ(check_column_in_rowbuf(&t.cols[0], t.row.data()), 0);
    EXPECT_STREQ(tdb_dd_check_message(), "qadd_200.amnt not according to DIGV (value 1000.000000)");
}

TEST_F(RowChecks, CombinedColumnChecksItsPartsInPartOrder)
{
    Table t;
    put_be(t.row.data(), 0, 4);
    std::memcpy(t.row.data() + 28, "ab  ", 4);
    EXPECT_EQ(check_column_in_rowbuf(&t.cols[3], t.row.data()), 0);
    /* code is the first part: its failure is reported, not id's. */
    EXPECT_STREQ(tdb_dd_check_message(), "qadd_200.code not according to CONV:u (value 'ab  ')");
    std::memcpy(t.row.data() + 28, "AB  ", 4);
    EXPECT_EQ(check_column_in_rowbuf(&t.cols[3], t.row.data()), 0);
    EXPECT_STREQ(tdb_dd_check_message(), "qadd_200.id not according to FILL (value 0)");
    /* Array order of the table: amnt, code, id, key, tag; id fails first
     * as itself. */
    EXPECT_STREQ(tdb_domain_check(&t.table, t.row.data()), "qadd_200.id");
}

TEST_F(RowChecks, CombinedColumnWithoutPartsPasses)
{
    _dd_column empty{};
    empty.type = TDB_COMBINED;
    snprintf(empty.name, sizeof empty.name, "qadd_200.none");
    unsigned char row[8] = {};
    EXPECT_EQ(check_column_in_rowbuf(&empty, row), 1);
    EXPECT_EQ(check_one_value(&empty, row), 1);
    EXPECT_EQ(tdb_dd_column_has_domain_constraints(&empty), 0);
}

TEST_F(RowChecks, FailingRowIsLoggedOnce)
{
    Table t;
    t.row[33] = 0;
    LogRecorder log;
    EXPECT_EQ(tdb_dd_check(&t.table, t.row.data()), 0);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0], "qadd_200.tag not according to FILL (value '0000')");
    EXPECT_EQ(tdb_dd_check_column(&t.cols[4], t.row.data()), 0);
    EXPECT_EQ(log.messages.size(), 2u);
    EXPECT_EQ(tdb_dd_check_column(&t.cols[1], t.row.data()), 1);
    EXPECT_EQ(log.messages.size(), 2u);
    /* tdb_domain_check logs nothing. */
    EXPECT_STREQ(tdb_domain_check(&t.table, t.row.data()), "qadd_200.tag");
    EXPECT_EQ(log.messages.size(), 2u);
}

TEST_F(RowChecks, CombinedFailureInATableIsLoggedOnce)
{
    Table t;
    std::memcpy(t.row.data() + 28, "ab  ", 4);
    /* Put the combined column before its parts' own entries. */
    std::swap(t.cols[0], t.cols[3]);
    t.parts = {&t.cols[1], &t.cols[2], nullptr};
    t.cols[0].parts = t.parts.data();
    LogRecorder log;
    EXPECT_EQ(tdb_dd_check(&t.table, t.row.data()), 0);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0], "qadd_200.code not according to CONV:u (value 'ab  ')");
    EXPECT_STREQ(tdb_domain_check(&t.table, t.row.data()), "qadd_200.key");
}

TEST_F(RowChecks, SwitchOffPassesEveryRow)
{
    Table t;
    put_be(t.row.data(), 0, 4);
    user_info.domaincheck = 0;
    EXPECT_EQ(tdb_dd_check_enabled(), 0);
    LogRecorder log;
    EXPECT_EQ(tdb_dd_check(&t.table, t.row.data()), 1);
    EXPECT_EQ(tdb_dd_check_column(&t.cols[2], t.row.data()), 1);
    EXPECT_TRUE(log.messages.empty());
    /* The checks themselves still see the fault. */
    EXPECT_STREQ(tdb_domain_check(&t.table, t.row.data()), "qadd_200.id");
    EXPECT_EQ(check_column_in_rowbuf(&t.cols[2], t.row.data()), 0);
    user_info.domaincheck = 7;
    EXPECT_EQ(tdb_dd_check_enabled(), 7);
    EXPECT_EQ(tdb_dd_check(&t.table, t.row.data()), 0);
}

TEST_F(RowChecks, ColumnsBehindTheRowLengthAreNotInTheRow)
{
    /* id (long, mandatory) at 0 is stored; calc (long, mandatory, not in
     * the database) at 8 reaches behind the row length of 10: it is not
     * part of the table's row buffers. */
    Domain dlong(TDB_LONG, 4);
    std::vector<_dd_column> cols;
    cols.push_back(column("qadd_300.calc", dlong, 8, DD_COL_MANDATORY | DD_COL_NOT_IN_DB));
    cols.push_back(column("qadd_300.id", dlong, 0, DD_COL_MANDATORY));
    _dd_table table{};
    table.columns = cols.data();
    table.nr_columns = 2;
    table.data_length = 4;
    table.row_length = 10;
    /* Exactly the row length: a read behind it would be caught. */
    std::vector<unsigned char> row(10, 0);
    put_be(row.data(), 5, 4);
    EXPECT_EQ(tdb_dd_check(&table, row.data()), 1);
    EXPECT_EQ(tdb_domain_check(&table, row.data()), nullptr);
    /* A column within the row is checked as usual. */
    cols[0].offset = 4;
    EXPECT_STREQ(tdb_domain_check(&table, row.data()), "qadd_300.calc");
    /* A double whose damaged domain says 2 bytes still reads 8: at offset
     * 4 of a 10-byte row it would read past the row, so it is skipped. */
    Domain shortd(TDB_DOUBLE, 2);
    cols[0] = column("qadd_300.calc", shortd, 4, DD_COL_MANDATORY);
    EXPECT_EQ(tdb_domain_check(&table, row.data()), nullptr);
    cols[0].offset = 2;
    row.assign(10, 0);
    EXPECT_STREQ(tdb_domain_check(&table, row.data()), "qadd_300.calc");
}

TEST_F(RowChecks, TypesWithoutChecksPass)
{
    for (int type : {TDB_TEXT, TDB_LONG_V, TDB_SET, 0, 16, 200}) {
        Domain d(type, 4);
        _dd_column c = column("qadd_100.other", d, 0, DD_COL_MANDATORY);
        c.type = static_cast<unsigned char>(type);
        EXPECT_EQ(fails_with(c, be(0, 4)), "") << type;
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&c), 0) << type;
    }
}

TEST_F(RowChecks, PassingValueClearsTheMessage)
{
    Domain d(TDB_LONG, 4);
    _dd_column c = column("qadd_100.qty", d, 0, DD_COL_MANDATORY);
    EXPECT_EQ(check_one_value(&c, be(0, 4).data()), 0);
    EXPECT_STRNE(tdb_dd_check_message(), "");
    EXPECT_EQ(check_one_value(&c, be(3, 4).data()), 1);
    EXPECT_STREQ(tdb_dd_check_message(), "");
}

/* ---- has domain constraints --------------------------------------------------------- */

using Constraints = DdCheck;

TEST_F(Constraints, IntegerTypesNeedARange)
{
    for (int type : {TDB_BYTE, TDB_INTEGER, TDB_LONG, TDB_ENUM}) {
        Domain plain(type, 4), ranged(type, 4);
        ranged.range("$$ > 0");
        plain.digv(3);
        _dd_column cp = column("qadd_100.a", plain, 0, DD_COL_MANDATORY);
        _dd_column cr = column("qadd_100.b", ranged);
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cp), 0) << type;
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cr), 1) << type;
    }
}

TEST_F(Constraints, RealsNeedARangeOrDigv)
{
    for (int type : {TDB_FLOAT, TDB_DOUBLE}) {
        Domain plain(type, 8), ranged(type, 8), digits(type, 8);
        ranged.range("$$ > 0");
        digits.digv(4);
        _dd_column cp = column("qadd_100.a", plain, 0, DD_COL_MANDATORY);
        _dd_column cr = column("qadd_100.b", ranged);
        _dd_column cd = column("qadd_100.c", digits);
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cp), 0) << type;
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cr), 1) << type;
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cd), 1) << type;
    }
}

TEST_F(Constraints, StringsByAttributeToleranceAndLocaleLevel)
{
    for (int type : {TDB_STRING, TDB_MBSTRING}) {
        Domain plain(type, 4), ranged(type, 4), cased(type, 4), legal(type, 4), illegal(type, 4);
        ranged.range("$$ <> \"x\"");
        cased.co('l');
        legal.legal("ab");
        illegal.illegal("#");
        _dd_column cp = column("qadd_100.a", plain, 0, DD_COL_MANDATORY);
        for (Domain *d : {&ranged, &cased, &legal, &illegal}) {
            _dd_column c = column("qadd_100.b", *d);
            EXPECT_EQ(tdb_dd_column_has_domain_constraints(&c), 1) << type;
        }
        TssSetMode(TSS_MODE_CLASSIC);
        TssSetHighAsciiToleranceMode(1);
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cp), 0) << type;
        TssSetHighAsciiToleranceMode(0);
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cp), type == TDB_STRING ? 1 : 0) << type;
        TssSetHighAsciiToleranceMode(1);
        TssSetMode(TSS_MODE_UNICODE);
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cp), type == TDB_MBSTRING ? 1 : 0) << type;
        TssSetMode(TSS_MODE_CLASSIC);
    }
}

TEST_F(Constraints, RawAndDatesHaveNone)
{
    Domain raw(TDB_RAW, 4), date(TDB_DATE, 4);
    date.range("$$ > 0");
    _dd_column cr = column("qadd_100.r", raw, 0, DD_COL_MANDATORY);
    _dd_column cd = column("qadd_100.d", date, 0, DD_COL_MANDATORY);
    EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cr), 0);
    EXPECT_EQ(tdb_dd_column_has_domain_constraints(&cd), 0);
    EXPECT_EQ(tdb_dd_column_has_domain_constraints(nullptr), 0);
}

/* ---- the sample dictionary, through the API start-up --------------------------------- */

/* In a fresh process: a private root whose package combination maps the
 * package db to the demo dictionary, a user whose record switches domain
 * checking on, and the API started (which registers the range compiler).
 * Tables that earlier tests of this program loaded without the compiler
 * are forgotten first, so that every domain is read afresh. */
void start_api_on_demo(const tdbtest::TempDir &dir, const std::string &user_file)
{
    qpd::reset_caches();
    dir.write("lib/user/u/uddtester", user_file);
    dir.write("lib/fd6.2.std", std::string("db ") + DBC_DEMO_TSE + "/appl/db6.2\n");
    dir.write("log/.keep", "");
    setenv("TSE", dir.path().c_str(), 1);
    set_tse(dir.path().c_str());
    setenv("USER", "ddtester", 1);
    setenv("PACKAGE_COMB", "std", 1);
    unsetenv("TSE_LOG");
    ASSERT_EQ(tdb_init_api("dd_chk_test", 0, 0, 0), 0);
    ASSERT_EQ(init_dd_mode(1), 0);
}

using SampleDictionary = DdCheck;

TEST_F(SampleDictionary, ApiStartRegistersTheRangeCompiler)
{
    tdbtest::TempDir dir;
    in_child([&] {
        start_api_on_demo(dir, "usertype: S\npacc: std\ndomaincheck: 1\n");
        EXPECT_EQ(tdb_dd_check_enabled(), 1);
        const _dd_table *t = ddtable("dbtst113");
        ASSERT_NE(t, nullptr);
        const _dd_column *qty = ddcolumn_by_ddtable(t, "qty");
        ASSERT_NE(qty, nullptr);
        ASSERT_NE(qty->domain->range, nullptr);
        EXPECT_STREQ(qty->domain->range_text, "$$ >= 0");
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(qty), 1);
        /* Domains without a range line have none. */
        const _dd_column *id = ddcolumn_by_ddtable(t, "id");
        ASSERT_NE(id, nullptr);
        EXPECT_EQ(id->domain->range, nullptr);
        EXPECT_EQ(tdb_dd_column_has_domain_constraints(id), 0);
    });
}

TEST_F(SampleDictionary, TighterNewDomainRefusesWhatTheCurrentOneAdmits)
{
    tdbtest::TempDir dir;
    in_child([&] {
        start_api_on_demo(dir, "usertype: S\npacc: std\ndomaincheck: 1\n");
        const _dd_table *now = ddtable("dbtst113");
        ASSERT_NE(now, nullptr);
        ASSERT_EQ(init_dd_mode(3), 0);
        const _dd_table *next = ddtable("dbtst113");
        ASSERT_NE(next, nullptr);
        ASSERT_NE(next, now);
        const _dd_column *qty_now = ddcolumn_by_ddtable(now, "qty");
        const _dd_column *qty_next = ddcolumn_by_ddtable(next, "qty");
        ASSERT_NE(qty_next, nullptr);
        EXPECT_STREQ(qty_next->domain->range_text, "$$ >= 0 and $$ <= 9999");

        std::vector<unsigned char> row(now->default_row, now->default_row + now->row_length);
        put_be(row.data() + qty_now->offset, 10000, 4);
        put_be(row.data() + ddcolumn_by_ddtable(now, "id")->offset, 1, 4);
        LogRecorder log;
        EXPECT_EQ(tdb_dd_check(now, row.data()), 1);
        EXPECT_EQ(tdb_dd_check(next, row.data()), 0);
        ASSERT_EQ(log.messages.size(), 1u);
        EXPECT_EQ(log.messages[0], "dbtst113.qty not according to RANG (value 10000)");
        EXPECT_STREQ(tdb_domain_check(next, row.data()), "dbtst113.qty");
        put_be(row.data() + qty_now->offset, 9999, 4);
        EXPECT_EQ(tdb_dd_check(next, row.data()), 1);
        put_be(row.data() + qty_now->offset, -1, 4);
        EXPECT_STREQ(tdb_domain_check(now, row.data()), "dbtst113.qty");
        EXPECT_STREQ(tdb_domain_check(next, row.data()), "dbtst113.qty");
        ASSERT_EQ(init_dd_mode(1), 0);
    });
}

TEST_F(SampleDictionary, ArrayOfAmountsAgainstItsRange)
{
    tdbtest::TempDir dir;
    in_child([&] {
        start_api_on_demo(dir, "usertype: S\npacc: std\ndomaincheck: 1\n");
        const _dd_table *t = ddtable("dbtst101");
        ASSERT_NE(t, nullptr);
        const _dd_column *amount = ddcolumn_by_ddtable(t, "amount");
        ASSERT_NE(amount, nullptr);
        EXPECT_EQ(amount->elements, 3);
        std::vector<unsigned char> row(t->default_row, t->default_row + t->row_length);
        EXPECT_EQ(tdb_domain_check(t, row.data()), nullptr);
        std::memcpy(row.data() + amount->offset + 16, dbl(-1.5).data(), 8);
        EXPECT_STREQ(tdb_domain_check(t, row.data()), "dbtst101.amount");
        EXPECT_EQ(check_column_in_rowbuf(amount, row.data()), 0);
        EXPECT_STREQ(tdb_dd_check_message(), "dbtst101.amount not according to RANG (value -1.500000)");
        /* DIGV 13 of the same domain. */
        std::memcpy(row.data() + amount->offset + 16, dbl(1e13).data(), 8);
        EXPECT_EQ(check_column_in_rowbuf(amount, row.data()), 0);
        EXPECT_STREQ(tdb_dd_check_message(),
                     "dbtst101.amount not according to DIGV (value 10000000000000.000000)");
    });
}

TEST_F(SampleDictionary, UserRecordWithoutCheckingSwitchesChecksOff)
{
    tdbtest::TempDir dir;
    in_child([&] {
        start_api_on_demo(dir, "usertype: S\npacc: std\n");
        EXPECT_EQ(tdb_dd_check_enabled(), 0);
        const _dd_table *t = ddtable("dbtst113");
        ASSERT_NE(t, nullptr);
        std::vector<unsigned char> row(t->default_row, t->default_row + t->row_length);
        put_be(row.data() + ddcolumn_by_ddtable(t, "qty")->offset, -5, 4);
        EXPECT_EQ(tdb_dd_check(t, row.data()), 1);
        EXPECT_STREQ(tdb_domain_check(t, row.data()), "dbtst113.qty");
    });
}

TEST_F(SampleDictionary, FailureGoesToTheLogUnderCheckDd)
{
    tdbtest::TempDir dir;
    in_child([&] {
        /* The log's error hook runs a program for every message with the
         * source file, line and category among its arguments. */
        std::string hook = dir.write("bin/hook", "#!/bin/sh\nfor last; do :; done\necho \"$2|$4|$last\" >> \"$(dirname \"$0\")/seen\"\n");
        ASSERT_EQ(chmod(hook.c_str(), 0755), 0);
        start_api_on_demo(dir, "usertype: S\npacc: std\ndomaincheck: 1\n");
        user_info.log_errorhook = const_cast<char *>(hook.c_str());
        const _dd_table *t = ddtable("dbtst113");
        ASSERT_NE(t, nullptr);
        std::vector<unsigned char> row(t->default_row, t->default_row + t->row_length);
        put_be(row.data() + ddcolumn_by_ddtable(t, "qty")->offset, -3, 4);
        EXPECT_EQ(tdb_dd_check(t, row.data()), 0);
        user_info.log_errorhook = nullptr;
        EXPECT_EQ(dir.read("bin/seen"),
                  "lib/dbc/c_dd_chk.cpp|Check dd|dbtst113.qty not according to RANG (value -3)\n");
    });
}

} // namespace
