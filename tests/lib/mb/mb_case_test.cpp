/*
 * mb_case_test.cpp: case tables and their file, byte-wise conversion, and
 * TssStringConvertCase in classic mode and in Unicode mode, where ICU's
 * own full case mapping (linked into this test) gives the expected text.
 */
#include <cstring>
#include <string>

#include <unicode/ustring.h>

#include "mb_test_support.h"

using mbtest::MbTest;
using mbtest::Recorder;
using mbtest::tss_unicode;

namespace {

class TssCase : public MbTest {
protected:
    void write_table(const std::string &name, const std::string &content)
    {
        std::string path = mbtest::root() + "/lib/nlsinf";
        std::string cmd = "mkdir -p '" + path + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        FILE *fp = std::fopen((path + "/" + name).c_str(), "w");
        ASSERT_NE(fp, nullptr);
        std::fputs(content.c_str(), fp);
        std::fclose(fp);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + mbtest::root() + "/lib/nlsinf'";
        (void)std::system(cmd.c_str());
        unsetenv("SH_TABLE");
        TssResetCaseTables();
        MbTest::TearDown();
    }
};

/* ICU's full case mapping with the root locale. */
std::u32string icu_case(const std::u32string &in, bool upper)
{
    std::u16string u16;
    for (char32_t cp : in) {
        if (cp > 0xFFFF) {
            u16 += static_cast<char16_t>(0xD7C0 + (cp >> 10));
            u16 += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        } else {
            u16 += static_cast<char16_t>(cp);
        }
    }
    UChar out[256];
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = upper ? u_strToUpper(out, 256, reinterpret_cast<const UChar *>(u16.data()),
                                     static_cast<int32_t>(u16.size()), "", &err)
                      : u_strToLower(out, 256, reinterpret_cast<const UChar *>(u16.data()),
                                     static_cast<int32_t>(u16.size()), "", &err);
    EXPECT_TRUE(U_SUCCESS(err));
    std::u32string result;
    for (int32_t i = 0; i < n; ++i) {
        char32_t cp = out[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (out[i + 1] - 0xDC00);
            ++i;
        }
        result += cp;
    }
    return result;
}

TEST_F(TssCase, DefaultTablesHoldIso88591Pairs)
{
    EXPECT_EQ(TssIsoToLower('A'), 'a');
    EXPECT_EQ(TssIsoToUpper('z'), 'Z');
    EXPECT_EQ(TssIsoToLower(0xC0), 0xE0);
    EXPECT_EQ(TssIsoToUpper(0xFE), 0xDE);
    EXPECT_EQ(TssIsoToLower(0xD7), 0xD7);
    EXPECT_EQ(TssIsoToUpper(0xF7), 0xF7);
    EXPECT_EQ(TssIsoToUpper(0xDF), 0xDF);
    EXPECT_EQ(TssIsoToUpper(0xFF), 0xFF);
    EXPECT_EQ(TssIsoToLower('1'), '1');
    EXPECT_EQ(TssIsLower(0xE9), 1);
    EXPECT_EQ(TssIsUpper(0xE9), 0);
    EXPECT_EQ(TssIsUpper('Q'), 1);
    EXPECT_EQ(TssIsLower(0xDF), 0) << "no partner";
    for (int c : {' ', '\t', '\r', '\n', '\v', '\f'})
        EXPECT_EQ(TssIsSpace(c), 1) << c;
    EXPECT_EQ(TssIsSpace(0xA0), 0);
    EXPECT_EQ(TssIsDigit('7'), 1);
    EXPECT_EQ(TssIsDigit('a'), 0);
}

TEST_F(TssCase, StrasseWithLimitSixKeepsTheSharpS)
{
    char s[] = "stra\xdf" "e";
    TssAsciiStringNToUpper(s, 6);
    EXPECT_STREQ(s, "STRA\xdf" "E");
}

TEST_F(TssCase, ByteWiseConversionStopsAtTheLimitOrTerminator)
{
    char s[] = "abc\xe9XYZ";
    TssAsciiStringNToUpper(s, 4);
    EXPECT_STREQ(s, "ABC\xc9XYZ");
    TssAsciiStringNToLower(s, 100);
    EXPECT_STREQ(s, "abc\xe9xyz");
    TssAsciiStringToUpper(s);
    EXPECT_STREQ(s, "ABC\xc9XYZ");
    TssAsciiStringToLower(s);
    EXPECT_STREQ(s, "abc\xe9xyz");
}

TEST_F(TssCase, ClassicModeConvertsOneByteCharactersAndLeavesSequences)
{
    TssSetMode(TSS_MODE_CLASSIC);
    char s[] = "ab\x9b\x81\x82\x83\xe9z";
    ASSERT_EQ(TssStringConvertCase(s, sizeof s - 1, 1), 0);
    EXPECT_STREQ(s, "AB\x9b\x81\x82\x83\xc9Z");
    ASSERT_EQ(TssStringConvertCase(s, 2, 0), 0);
    EXPECT_STREQ(s, "ab\x9b\x81\x82\x83\xc9Z") << "only within the length";
    /* A sequence crossing the length is incomplete. */
    Recorder rec;
    EXPECT_EQ(TssStringConvertCase(s, 3, 0), -1);
    EXPECT_EQ(tss_errno, 40);
    EXPECT_EQ(TssStringConvertCase(s, 0, 1), 0);
    char empty[] = "";
    EXPECT_EQ(TssStringConvertCase(empty, 5, 1), 0);
}

TEST_F(TssCase, ClassicModeStopsAtAnIncompleteSequence)
{
    TssSetMode(TSS_MODE_CLASSIC);
    Recorder rec;
    char s[] = "ab\x9b\x81";
    EXPECT_EQ(TssStringConvertCase(s, 6, 1), -1);
    EXPECT_EQ(tss_errno, 40);
    EXPECT_EQ(std::string(s, 2), "AB");
}

TEST_F(TssCase, UnicodeModeMatchesIcuFullCaseMapping)
{
    TssSetMode(TSS_MODE_UNICODE);
    const std::u32string samples[] = {
        U"hello world", U"stra\u00dfe", U"\u0101\u0103 \u03c3\u03bf\u03c6\u03af\u03b1",
        U"\u0434\u043e\u0431\u0440\u043e", U"\U00010428\U00010429", U"\u00ff\u0131i",
        U"MIXED \u00c9t\u00e9 \u0130",
    };
    for (const auto &sample : samples) {
        for (bool upper : {true, false}) {
            std::string expected = tss_unicode(icu_case(sample, upper));
            std::string field = tss_unicode(sample);
            int len = static_cast<int>(field.size()) + 8;
            std::string buf = field;
            buf.resize(static_cast<size_t>(len) + 1, '\0');
            ASSERT_EQ(TssStringConvertCase(buf.data(), len, upper ? 1 : 0), 0);
            EXPECT_EQ(std::string(buf.c_str()), expected) << (upper ? "upper " : "lower ")
                                                          << field;
        }
    }
}

TEST_F(TssCase, UnicodeModeFixedFieldIsBlankPaddedAndOverflowIsRefused)
{
    TssSetMode(TSS_MODE_UNICODE);
    /* A field of 8 bytes, not terminated: the result keeps its width. */
    std::string field = tss_unicode(U"\u0101bcd");
    ASSERT_EQ(field.size(), 7u);
    field += ' ';
    ASSERT_EQ(TssStringConvertCase(field.data(), 8, 1), 0);
    EXPECT_EQ(field, tss_unicode(U"\u0100BCD") + " ");

    /* ß becomes SS: one byte more, which a trailing blank makes room for. */
    std::string padded = "\x9b\x80\x82\x81" "\xdf ";
    ASSERT_EQ(TssStringConvertCase(padded.data(), 6, 1), 0);
    EXPECT_EQ(padded, "\x9b\x80\x82\x80" "SS");

    /* Without the blank the result does not fit. */
    std::string full = "\x9b\x80\x82\x81" "a\xdf";
    EXPECT_EQ(TssStringConvertCase(full.data(), 6, 1), -1);
}

TEST_F(TssCase, UnicodeModeTerminatedTextKeepsItsTerminatorInTheField)
{
    TssSetMode(TSS_MODE_UNICODE);
    char s[8] = "a\xdf";
    std::memset(s + 3, '#', 5);
    ASSERT_EQ(TssStringConvertCase(s, 8, 1), 0);
    EXPECT_STREQ(s, "ASS");
    /* "aaaa\xdf" in a 6-byte field: "AAAASS" would fill it; its last
     * character is cut to make room for the terminator. */
    char t[7] = "aaaa\xdf";
    EXPECT_EQ(TssStringConvertCase(t, 6, 1), -1);
    EXPECT_STREQ(t, "AAAAS");
}

TEST_F(TssCase, HighAsciiGoesThroughTablesWhenExpected)
{
    TssSetMode(TSS_MODE_UNICODE);
    TssSetHighAsciiToleranceMode(1);
    char s[] = "\xe9t\xe9";
    ASSERT_EQ(TssStringConvertCase(s, 3, 1), 0);
    EXPECT_STREQ(s, "\xc9T\xc9");
}

TEST_F(TssCase, TableFileModifiesTheDefaults)
{
    write_table("custom.tab",
                "# case table\n"
                "[shift]\n"
                "0xDF 0xFF   # a pair of our own\n"
                "0xC0 (clear)\n"
                "[space]\n"
                "(clear)\n"
                "0x20 _\n"
                "[digit]\n"
                "0 (clear)\n"
                "0xB2\n");
    ASSERT_EQ(init_iso("custom.tab"), 0);
    EXPECT_EQ(TssIsoToLower(0xDF), 0xFF);
    EXPECT_EQ(TssIsoToUpper(0xFF), 0xDF);
    EXPECT_EQ(TssIsoToLower(0xC0), 0xC0);
    EXPECT_EQ(TssIsoToUpper(0xE0), 0xE0) << "the reverse link is cleared too";
    EXPECT_EQ(TssIsoToLower('A'), 'a');
    EXPECT_EQ(TssIsSpace(' '), 1);
    EXPECT_EQ(TssIsSpace('_'), 1);
    EXPECT_EQ(TssIsSpace('\t'), 0);
    EXPECT_EQ(TssIsDigit('0'), 0);
    EXPECT_EQ(TssIsDigit('1'), 1);
    EXPECT_EQ(TssIsDigit(0xB2), 1);
}

TEST_F(TssCase, BadLinesAreReportedWithTheirNumberAndSkipped)
{
    write_table("bad.tab", "A a\n[shift]\nA\n0x9B a\nB b\n[colours]\n");
    Recorder rec;
    EXPECT_EQ(init_iso("bad.tab"), -1);
    ASSERT_EQ(rec.messages.size(), 4u);
    EXPECT_EQ(rec.messages[0], "(Unknown locale) Error at line 1 of lib/nlsinf/bad.tab\n");
    EXPECT_EQ(rec.messages[1], "(Unknown locale) Error at line 3 of lib/nlsinf/bad.tab\n");
    EXPECT_EQ(rec.messages[3], "(Unknown locale) Error at line 6 of lib/nlsinf/bad.tab\n");
    EXPECT_EQ(tss_errno, 34);
    EXPECT_EQ(TssIsoToLower('B'), 'b');
}

TEST_F(TssCase, FallsBackToShTableThenShiftTab)
{
    write_table("shift.tab", "[shift]\n0xB5 (clear)\n0xAA 0xBA\n");
    EXPECT_EQ(init_iso("missing.tab"), 0);
    EXPECT_EQ(TssIsoToLower(0xAA), 0xBA);
    write_table("env.tab", "[shift]\n0xAA 0xB5\n");
    setenv("SH_TABLE", "env.tab", 1);
    EXPECT_EQ(init_iso(nullptr), 0);
    EXPECT_EQ(TssIsoToLower(0xAA), 0xB5);
}

TEST_F(TssCase, WithoutAFileTheDefaultsStay)
{
    EXPECT_EQ(init_iso("none.tab"), -1);
    EXPECT_EQ(TssIsoToLower('A'), 'a');
    EXPECT_EQ(TssIsoToLower(0xDE), 0xFE);
}

} // namespace
