/*
 * convert_row_test.cpp: convertRow over every pair of source and target
 * column types with their boundary values, arrays and placement, and the
 * conversion schema of the demo dictionary's reconfiguration tables
 * (widened, retyped, added and dropped columns), byte for byte.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "al_date.h"
#include "al_env.h"
#include "al_float.h"
#include "al_log.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_reconfig.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes be16(int v) { return {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)}; }
Bytes be32(int64_t value)
{
    auto v = static_cast<uint32_t>(value);
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}
Bytes flt(float f)
{
    Bytes b(4);
    float_in(f, b.data());
    return b;
}
Bytes dbl(double d)
{
    Bytes b(8);
    double_in(d, b.data());
    return b;
}
Bytes str(const std::string &text, size_t width)
{
    Bytes b(width, ' ');
    std::memcpy(b.data(), text.data(), std::min(text.size(), width));
    return b;
}
Bytes raw(const std::string &text) { return Bytes(text.begin(), text.end()); }
Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
std::string asText(const Bytes &b) { return std::string(b.begin(), b.end()); }

int typeWidth(int type)
{
    switch (type) {
    case TDB_BYTE: case TDB_ENUM: return 1;
    case TDB_INTEGER: return 2;
    case TDB_DOUBLE: return 8;
    default: return 4;
    }
}

/* A column: type, element width (strings and raw), element count and
 * the domain's alignment and case characters. */
struct Col {
    int type;
    int width = 0;
    int elements = 1;
    char align = 0;
    char caseAttr = 0;
};

/* One pair of columns in synthetic rows: the source column lies at
 * offset 3 of the source row, the target column at offset 5 of the
 * target row, so that a wrong offset shows. */
class Pair {
public:
    static constexpr int kSourceOffset = 3;
    static constexpr int kTargetOffset = 5;
    static constexpr unsigned char kFill = 0xEE;

    Pair(Col from, Col to)
    {
        setUp(from, sourceDomain_, source_, kSourceOffset, "aaaaa001.src");
        setUp(to, targetDomain_, target_, kTargetOffset, "aaaaa001.dst");
        pair_ = {&target_, &source_};
        schema_.pairs = &pair_;
        schema_.count = 1;
    }

    /* Converts source bytes (the whole column) into a target row full of
     * kFill; checks that nothing outside the target column was written and
     * returns the column's bytes. Bytes after the source column are digits,
     * so that reading past its end would show. */
    Bytes run(const Bytes &column)
    {
        Bytes sourceRow(DD_MAX_ROW, '7');
        std::memcpy(sourceRow.data() + kSourceOffset, column.data(),
                    std::min<size_t>(column.size(), source_.length));
        Bytes targetRow(DD_MAX_ROW, kFill);
        convertRow(sourceRow.data(), targetRow.data(), &schema_);
        for (int i = 0; i < DD_MAX_ROW; i++) {
            if (i < kTargetOffset || i >= kTargetOffset + target_.length) {
                EXPECT_EQ(targetRow[static_cast<size_t>(i)], kFill) << "byte " << i << " written";
            }
        }
        return Bytes(targetRow.begin() + kTargetOffset,
                     targetRow.begin() + kTargetOffset + target_.length);
    }

    ConversionSchema *schema() { return &schema_; }
    _dd_column *target() { return &target_; }

private:
    static void setUp(const Col &c, _dd_domain &domain, _dd_column &column, int offset,
                      const char *name)
    {
        domain = {};
        domain.type = static_cast<unsigned char>(c.type);
        bool sized = c.type == TDB_STRING || c.type == TDB_MBSTRING || c.type == TDB_RAW;
        int width = sized && c.width > 0 ? c.width : typeWidth(c.type);
        domain.width = static_cast<short>(width);
        domain.attr = c.align;
        domain.word.value = static_cast<unsigned char>(c.caseAttr);
        column = {};
        column.domain = &domain;
        column.offset = static_cast<unsigned short>(offset);
        column.elements = static_cast<unsigned char>(c.elements);
        column.length = static_cast<unsigned short>(width * c.elements);
        column.type = static_cast<unsigned char>(c.type);
        column.flags = c.elements > 1 ? DD_COL_ARRAY : 0;
        std::snprintf(column.name, sizeof column.name, "%s", name);
    }

    _dd_domain sourceDomain_{}, targetDomain_{};
    _dd_column source_{}, target_{};
    ConversionPair pair_{};
    ConversionSchema schema_{};
};

Bytes convert(Col from, Col to, const Bytes &value)
{
    Pair pair(from, to);
    return pair.run(value);
}

/* ---- integer targets ----------------------------------------------------- */

TEST(NumberToInteger, LowBitsOfTheValueAreKept)
{
    EXPECT_EQ(convert({TDB_LONG}, {TDB_BYTE}, be32(300)), Bytes{44});
    EXPECT_EQ(convert({TDB_LONG}, {TDB_ENUM}, be32(-1)), Bytes{0xFF});
    EXPECT_EQ(convert({TDB_LONG}, {TDB_INTEGER}, be32(-1)), be16(-1));
    EXPECT_EQ(convert({TDB_LONG}, {TDB_INTEGER}, be32(70000)), be16(70000 & 0xFFFF));
    EXPECT_EQ(convert({TDB_INTEGER}, {TDB_BYTE}, be16(-2)), Bytes{0xFE});
}

TEST(NumberToInteger, BytesAreUnsignedAndShortsSigned)
{
    EXPECT_EQ(convert({TDB_BYTE}, {TDB_INTEGER}, Bytes{200}), be16(200));
    EXPECT_EQ(convert({TDB_ENUM}, {TDB_LONG}, Bytes{255}), be32(255));
    EXPECT_EQ(convert({TDB_INTEGER}, {TDB_LONG}, be16(-2)), be32(-2));
    EXPECT_EQ(convert({TDB_INTEGER}, {TDB_SET}, be16(-32768)), be32(-32768));
}

TEST(NumberToInteger, SubtypesOfLongAreThirtyTwoBitValues)
{
    for (int from : {TDB_LONG, TDB_TEXT, TDB_LONG_V, TDB_SET, TDB_DATE, TDB_TIME})
        for (int to : {TDB_LONG, TDB_TEXT, TDB_LONG_V, TDB_SET}) {
            EXPECT_EQ(convert({from}, {to}, be32(INT32_MIN + 1)), be32(INT32_MIN + 1)) << from << "->" << to;
            EXPECT_EQ(convert({from}, {to}, be32(0x01020304)), be32(0x01020304));
        }
    EXPECT_EQ(convert({TDB_LONG}, {TDB_DATE}, be32(719163)), be32(719163));
    EXPECT_EQ(convert({TDB_SET}, {TDB_TIME}, be32(-5)), be32(-5));
    EXPECT_EQ(convert({TDB_DATE}, {TDB_DATE}, be32(-9)), be32(-9)) << "no check of the date";
    EXPECT_EQ(convert({TDB_TIME}, {TDB_TIME}, be32(-9)), be32(-9));
}

TEST(DoubleToInteger, TruncatedTowardZero)
{
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_LONG}, dbl(-2.7)), be32(-2));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_LONG}, dbl(2.7)), be32(2));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_LONG}, dbl(2147483647.9)), be32(INT32_MAX));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_LONG}, dbl(-2147483648.9)), be32(INT32_MIN));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_INTEGER}, dbl(32767.9)), be16(32767));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_INTEGER}, dbl(-32768.9)), be16(-32768));
}

TEST(DoubleToInteger, OutOfRangeGivesTheMostNegativeValue)
{
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_INTEGER}, dbl(70000.0)), be16(-32768));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_INTEGER}, dbl(32768.0)), be16(-32768));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_LONG}, dbl(3e9)), be32(INT32_MIN));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_LONG}, dbl(2147483648.0)), be32(INT32_MIN));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_TEXT},
                      dbl(std::numeric_limits<double>::quiet_NaN())),
              be32(INT32_MIN));
}

TEST(DoubleToInteger, ByteTargetsGoThroughSixteenBits)
{
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_BYTE}, dbl(300.0)), Bytes{44});
    /* 70000 overflows 16 bits: -32768, whose low byte is 0. */
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_ENUM}, dbl(70000.0)), Bytes{0});
    /* A date target goes through 32 bits. */
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_DATE}, dbl(719163.9)), be32(719163));
}

TEST(FloatToInteger, AlwaysThroughThirtyTwoBits)
{
    EXPECT_EQ(convert({TDB_FLOAT}, {TDB_INTEGER}, flt(70000.0f)), be16(70000 & 0xFFFF));
    EXPECT_EQ(convert({TDB_FLOAT}, {TDB_BYTE}, flt(300.5f)), Bytes{44});
    EXPECT_EQ(convert({TDB_FLOAT}, {TDB_LONG}, flt(-2.7f)), be32(-2));
    EXPECT_EQ(convert({TDB_FLOAT}, {TDB_LONG}, flt(3e9f)), be32(INT32_MIN));
}

TEST(StringToInteger, LeadingBlanksThenDigitsUpToTheFirstOther)
{
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_LONG}, str("42", 8)), be32(42));
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_LONG}, str("   -17xy", 8)), be32(-17));
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_LONG}, str("", 8)), be32(0));
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_LONG}, str("abc", 8)), be32(0));
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_INTEGER}, str("12.9", 8)), be16(12));
    EXPECT_EQ(convert({TDB_STRING, 4}, {TDB_BYTE}, str("300", 4)), Bytes{44});
    EXPECT_EQ(convert({TDB_MBSTRING, 6}, {TDB_SET}, str("12", 6)), be32(12));
}

TEST(StringToInteger, DigitsStopAtTheColumnsEnd)
{
    /* The source row holds digits right behind the column. */
    EXPECT_EQ(convert({TDB_STRING, 4}, {TDB_LONG}, str("1234", 4)), be32(1234));
    EXPECT_EQ(convert({TDB_STRING, 1}, {TDB_BYTE}, str("9", 1)), Bytes{9});
}

TEST(StringToInteger, ValuesBeyondThirtyTwoBitsAreClamped)
{
    EXPECT_EQ(convert({TDB_STRING, 12}, {TDB_LONG}, str("99999999999", 12)), be32(INT32_MAX));
    EXPECT_EQ(convert({TDB_STRING, 12}, {TDB_LONG}, str("-99999999999", 12)), be32(INT32_MIN));
}

TEST(RawToNumber, IsZero)
{
    EXPECT_EQ(convert({TDB_RAW, 4}, {TDB_LONG}, raw("\x01\x02\x03\x04")), be32(0));
    EXPECT_EQ(convert({TDB_RAW, 4}, {TDB_DOUBLE}, raw("\x01\x02\x03\x04")), dbl(0.0));
    EXPECT_EQ(convert({TDB_RAW, 2}, {TDB_DATE}, raw("12")), be32(0));
}

TEST(SameType, BoundaryValuesPassUnchanged)
{
    for (int v : {0, 1, 127, 128, 255})
        EXPECT_EQ(convert({TDB_BYTE}, {TDB_BYTE}, Bytes{static_cast<unsigned char>(v)}),
                  Bytes{static_cast<unsigned char>(v)});
    EXPECT_EQ(convert({TDB_ENUM}, {TDB_BYTE}, Bytes{255}), Bytes{255});
    for (int v : {-32768, -1, 0, 32767})
        EXPECT_EQ(convert({TDB_INTEGER}, {TDB_INTEGER}, be16(v)), be16(v));
    for (int64_t v : {int64_t{INT32_MIN}, int64_t{-1}, int64_t{0}, int64_t{INT32_MAX}})
        EXPECT_EQ(convert({TDB_LONG}, {TDB_LONG}, be32(v)), be32(v));
    for (float v : {0.0f, -1.5f, std::numeric_limits<float>::max(),
                    std::numeric_limits<float>::denorm_min()})
        EXPECT_EQ(convert({TDB_FLOAT}, {TDB_FLOAT}, flt(v)), flt(v));
    for (double v : {-0.0, 1e-310, std::numeric_limits<double>::max()})
        EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_DOUBLE}, dbl(v)), dbl(v));
}

TEST(SameType, NarrowerIntegerTargetsKeepTheLowBitsAtTheLimits)
{
    EXPECT_EQ(convert({TDB_INTEGER}, {TDB_BYTE}, be16(-32768)), Bytes{0});
    EXPECT_EQ(convert({TDB_INTEGER}, {TDB_BYTE}, be16(32767)), Bytes{0xFF});
    EXPECT_EQ(convert({TDB_LONG}, {TDB_INTEGER}, be32(INT32_MIN)), be16(0));
    EXPECT_EQ(convert({TDB_LONG}, {TDB_INTEGER}, be32(INT32_MAX)), be16(-1));
    EXPECT_EQ(convert({TDB_LONG}, {TDB_INTEGER}, be32(32768)), be16(-32768));
}

/* ---- floating-point targets ---------------------------------------------- */

TEST(NumberToFloatingPoint, IntegersAndFloatsAsTheirValue)
{
    EXPECT_EQ(convert({TDB_INTEGER}, {TDB_DOUBLE}, be16(-5)), dbl(-5.0));
    EXPECT_EQ(convert({TDB_BYTE}, {TDB_FLOAT}, Bytes{250}), flt(250.0f));
    EXPECT_EQ(convert({TDB_LONG}, {TDB_DOUBLE}, be32(INT32_MIN)), dbl(-2147483648.0));
    EXPECT_EQ(convert({TDB_LONG}, {TDB_FLOAT}, be32(16777217)), flt(16777216.0f));
    EXPECT_EQ(convert({TDB_FLOAT}, {TDB_DOUBLE}, flt(1.1f)), dbl(static_cast<double>(1.1f)));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_FLOAT}, dbl(0.1)), flt(0.1f));
    EXPECT_EQ(convert({TDB_DOUBLE}, {TDB_DOUBLE}, dbl(-1e300)), dbl(-1e300));
    EXPECT_EQ(convert({TDB_DATE}, {TDB_DOUBLE}, be32(719163)), dbl(719163.0));
}

TEST(NumberToFloatingPoint, DoubleBeyondFloatRangeBecomesInfinity)
{
    Bytes b = convert({TDB_DOUBLE}, {TDB_FLOAT}, dbl(1e300));
    EXPECT_TRUE(std::isinf(float_out(b.data())));
}

TEST(StringToFloatingPoint, ReadWithStrtod)
{
    EXPECT_EQ(convert({TDB_STRING, 10}, {TDB_DOUBLE}, str(" 2.5e3", 10)), dbl(2500.0));
    EXPECT_EQ(convert({TDB_STRING, 10}, {TDB_DOUBLE}, str("1,5", 10)), dbl(1.0));
    EXPECT_EQ(convert({TDB_STRING, 4}, {TDB_FLOAT}, str("0.1", 4)), flt(0.1f));
    EXPECT_EQ(convert({TDB_STRING, 4}, {TDB_DOUBLE}, str("", 4)), dbl(0.0));
    /* Stops at the column's end: "1.25" and not "1.25777...". */
    EXPECT_EQ(convert({TDB_MBSTRING, 4}, {TDB_DOUBLE}, str("1.25", 4)), dbl(1.25));
}

/* ---- dates and times ----------------------------------------------------- */

TEST(DateAndTime, DateToTimeIsUtcMidnight)
{
    time_t expected;
    {
        struct tm tm {};
        tm.tm_year = 2024 - 1900;
        tm.tm_mon = 6;
        tm.tm_mday = 1;
        expected = timegm(&tm);
    }
    EXPECT_EQ(convert({TDB_DATE}, {TDB_TIME}, be32(date_to_num(2024, 7, 1))), be32(expected));
    EXPECT_EQ(convert({TDB_DATE}, {TDB_TIME}, be32(date_to_num(2038, 3, 1))), be32(INT32_MAX));
    EXPECT_EQ(convert({TDB_DATE}, {TDB_TIME}, be32(0)), be32(0));
    EXPECT_EQ(convert({TDB_DATE}, {TDB_TIME}, be32(date_to_num(1969, 12, 31))), be32(0));
}

TEST(DateAndTime, TimeToDateIsTheUtcDate)
{
    EXPECT_EQ(convert({TDB_TIME}, {TDB_DATE}, be32(86400 * 2 - 1)), be32(AL_DAYNUM_1970 + 1));
    EXPECT_EQ(convert({TDB_TIME}, {TDB_DATE}, be32(INT32_MAX)), be32(date_to_num(2038, 1, 19)));
    /* A negative time cannot be unpacked: 1970-01-01. */
    EXPECT_EQ(convert({TDB_TIME}, {TDB_DATE}, be32(-1)), be32(AL_DAYNUM_1970));
}

TEST(DateAndTime, StringToDateReadsDDMMYYYY)
{
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_DATE}, str("31122099", 8)), be32(date_to_num(2099, 12, 31)));
    EXPECT_EQ(convert({TDB_STRING, 10}, {TDB_DATE}, str("01032038", 10)), be32(date_to_num(2038, 3, 1)));
    /* Six characters before the padding: a year of the 1900s. */
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_DATE}, str("311299", 8)), be32(date_to_num(1999, 12, 31)));
}

TEST(DateAndTime, InvalidOrBlankStringGivesNoDate)
{
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_DATE}, str("32132020", 8)), be32(0));
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_DATE}, str("29021900", 8)), be32(0));
    EXPECT_EQ(convert({TDB_STRING, 8}, {TDB_DATE}, str("", 8)), be32(0));
    EXPECT_EQ(convert({TDB_MBSTRING, 8}, {TDB_DATE}, str("0", 8)), be32(0));
}

TEST(DateAndTime, StringToTimeReadsHhmmssDDMMYYYY)
{
    struct tm tm {};
    tm.tm_year = 2037 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 31;
    tm.tm_hour = 12;
    tm.tm_min = 34;
    tm.tm_sec = 56;
    EXPECT_EQ(convert({TDB_STRING, 14}, {TDB_TIME}, str("12345631122037", 14)), be32(timegm(&tm)));
    EXPECT_EQ(convert({TDB_STRING, 20}, {TDB_TIME}, str("12345631122037", 20)), be32(timegm(&tm)));
}

TEST(DateAndTime, UnreadableStringGivesTimeZero)
{
    EXPECT_EQ(convert({TDB_STRING, 14}, {TDB_TIME}, str("", 14)), be32(0));
    EXPECT_EQ(convert({TDB_STRING, 14}, {TDB_TIME}, str("99999999999999", 14)), be32(0));
    /* A column of 12 characters ends before the year's last digits (the
     * source row holds digits behind it, which must not be read). */
    EXPECT_EQ(convert({TDB_STRING, 12}, {TDB_TIME}, str("000000010119", 12)), be32(0));
}

/* ---- text targets -------------------------------------------------------- */

TEST(NumberToText, PlacedByTheAlignmentAttribute)
{
    EXPECT_EQ(asText(convert({TDB_INTEGER}, {TDB_STRING, 4}, be16(-5))), "-5  ");
    EXPECT_EQ(asText(convert({TDB_INTEGER}, {TDB_STRING, 4, 1, 'l'}, be16(-5))), "-5  ");
    EXPECT_EQ(asText(convert({TDB_INTEGER}, {TDB_STRING, 4, 1, 'r'}, be16(-5))), "  -5");
    EXPECT_EQ(asText(convert({TDB_INTEGER}, {TDB_STRING, 4, 1, 'c'}, be16(-5))), " -5 ");
    EXPECT_EQ(asText(convert({TDB_INTEGER}, {TDB_STRING, 4, 1, 'x'}, be16(-5))), "-5  ");
}

TEST(NumberToText, DecimalTextOfEachIntegerType)
{
    EXPECT_EQ(asText(convert({TDB_BYTE}, {TDB_STRING, 4}, Bytes{255})), "255 ");
    EXPECT_EQ(asText(convert({TDB_ENUM}, {TDB_MBSTRING, 3}, Bytes{7})), "7  ");
    EXPECT_EQ(asText(convert({TDB_LONG}, {TDB_STRING, 11}, be32(INT32_MIN))), "-2147483648");
    EXPECT_EQ(asText(convert({TDB_SET}, {TDB_STRING, 6}, be32(6))), "6     ");
    EXPECT_EQ(asText(convert({TDB_TEXT}, {TDB_STRING, 3}, be32(12345))), "123") << "cut at the width";
    EXPECT_EQ(asText(convert({TDB_LONG_V}, {TDB_STRING, 5, 1, 'r'}, be32(-42))), "  -42");
}

TEST(NumberToText, FloatingPointThroughDoubleToStr)
{
    EXPECT_EQ(asText(convert({TDB_DOUBLE}, {TDB_STRING, 8}, dbl(0.001))), "0.001   ");
    EXPECT_EQ(asText(convert({TDB_DOUBLE}, {TDB_STRING, 10}, dbl(1e20))), "1e+20     ");
    EXPECT_EQ(asText(convert({TDB_DOUBLE}, {TDB_STRING, 5}, dbl(123456))), "*****");
    EXPECT_EQ(asText(convert({TDB_FLOAT}, {TDB_STRING, 6}, flt(1.1f))), "1.1   ");
    EXPECT_EQ(asText(convert({TDB_FLOAT}, {TDB_STRING, 6, 1, 'r'}, flt(-2.5f))), "  -2.5");
    EXPECT_EQ(asText(convert({TDB_DOUBLE}, {TDB_STRING, 20}, dbl(2.0 / 3.0))), "0.666666666666667   ");
}

TEST(DateToText, DDMMYYYY)
{
    EXPECT_EQ(asText(convert({TDB_DATE}, {TDB_STRING, 8}, be32(date_to_num(2024, 7, 1)))), "01072024");
    EXPECT_EQ(asText(convert({TDB_DATE}, {TDB_STRING, 10, 1, 'r'}, be32(date_to_num(2024, 7, 1)))),
              "  01072024");
    EXPECT_EQ(asText(convert({TDB_DATE}, {TDB_STRING, 6}, be32(date_to_num(2024, 7, 1)))), "010720");
    EXPECT_EQ(asText(convert({TDB_DATE}, {TDB_STRING, 8}, be32(0))), "        ");
}

TEST(TimeToText, FourteenCharactersHhmmssDDMMYYYY)
{
    struct tm tm {};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 1;
    tm.tm_mday = 29;
    tm.tm_hour = 7;
    tm.tm_min = 5;
    tm.tm_sec = 3;
    Bytes utc = be32(timegm(&tm));
    EXPECT_EQ(asText(convert({TDB_TIME}, {TDB_STRING, 14}, utc)), "07050329022024");
    EXPECT_EQ(asText(convert({TDB_TIME}, {TDB_STRING, 16}, utc)), "07050329022024  ");
    EXPECT_EQ(asText(convert({TDB_TIME}, {TDB_STRING, 6}, utc)), "070503");
    EXPECT_EQ(asText(convert({TDB_TIME}, {TDB_STRING, 14}, be32(0))), "00000001011970");
    EXPECT_EQ(asText(convert({TDB_TIME}, {TDB_STRING, 14}, be32(-1))), std::string(14, ' '));
}

TEST(RawToText, Blanks)
{
    EXPECT_EQ(asText(convert({TDB_RAW, 4}, {TDB_STRING, 6}, raw("abcd"))), "      ");
    EXPECT_EQ(asText(convert({TDB_RAW, 4}, {TDB_STRING, 6, 1, 'c'}, raw("abcd"))), "      ");
}

TEST(TextToText, WidenedAndNarrowed)
{
    EXPECT_EQ(asText(convert({TDB_STRING, 4}, {TDB_STRING, 8}, str("abc", 4))), "abc     ");
    EXPECT_EQ(asText(convert({TDB_STRING, 8}, {TDB_STRING, 4}, str("abcdefgh", 8))), "abcd");
    EXPECT_EQ(asText(convert({TDB_STRING, 8}, {TDB_STRING, 4, 1, 'l'}, str("  ab", 8))), "ab  ");
    EXPECT_EQ(asText(convert({TDB_STRING, 8}, {TDB_STRING, 6, 1, 'r'}, str("  ab", 8))), "    ab");
    EXPECT_EQ(asText(convert({TDB_STRING, 8}, {TDB_STRING, 6, 1, 'c'}, str("ab", 8))), "  ab  ");
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 4}, {TDB_STRING, 4}, str("xy", 4))), "xy  ");
}

TEST(TextToText, CaseAttribute)
{
    EXPECT_EQ(asText(convert({TDB_STRING, 4}, {TDB_STRING, 5, 1, 0, 'u'}, str("abC", 4))), "ABC  ");
    EXPECT_EQ(asText(convert({TDB_STRING, 4}, {TDB_STRING, 5, 1, 0, 'l'}, str("AbC", 4))), "abc  ");
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 4}, {TDB_MBSTRING, 4, 1, 0, 'u'}, str("ab1", 4))), "AB1 ");
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 4}, {TDB_MBSTRING, 4, 1, 0, 'l'}, str("XY", 4))), "xy  ");
    /* Only the lower-case letters name a case. */
    EXPECT_EQ(asText(convert({TDB_STRING, 4}, {TDB_STRING, 4, 1, 0, 'U'}, str("abc", 4))), "abc ");
    /* Case after placement, over numbers too. */
    EXPECT_EQ(asText(convert({TDB_STRING, 4}, {TDB_STRING, 6, 1, 'r', 'u'}, str("ab", 4))), "    AB");
}

/* Source "abcd" followed by a four-byte character at offset 4. */
const std::string kMultibyte = std::string("abcd") + "\x9b" "ABC" + "ef";

TEST(MultibyteCut, CharacterThatWouldBeSplitIsLeftOut)
{
    /* The character starts 2 bytes before the new width 6. */
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_MBSTRING, 6}, raw(kMultibyte))), "abcd  ");
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_MBSTRING, 7}, raw(kMultibyte))), "abcd   ");
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_MBSTRING, 5}, raw(kMultibyte))), "abcd ");
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_MBSTRING, 6, 1, 'r'}, raw(kMultibyte))), "  abcd");
}

TEST(MultibyteCut, WholeCharactersStay)
{
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_MBSTRING, 8}, raw(kMultibyte))), "abcd\x9b" "ABC");
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_MBSTRING, 9}, raw(kMultibyte))), "abcd\x9b" "ABCe");
    /* Nothing to cut when the text fits. */
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_MBSTRING, 12}, raw(kMultibyte))),
              kMultibyte + "  ");
}

TEST(MultibyteCut, LeadByteValuesInsideACharacterDoNotCut)
{
    /* 0x9B as the last bytes of the character at offset 1. */
    std::string text = std::string("a") + "\x9b\x9b\x9b\x9b" + "xyz";
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 8}, {TDB_MBSTRING, 5}, raw(text))), text.substr(0, 5));
}

TEST(MultibyteCut, OnlyBetweenMultibyteColumns)
{
    EXPECT_EQ(asText(convert({TDB_MBSTRING, 10}, {TDB_STRING, 6}, raw(kMultibyte))), "abcd\x9b" "A");
    EXPECT_EQ(asText(convert({TDB_STRING, 10}, {TDB_MBSTRING, 6}, raw(kMultibyte))), "abcd\x9b" "A");
}

/* A user time zone (a real zone file, two hours ahead of UTC in summer)
 * changes nothing: times are shown and dated in UTC. */
TEST(TimeToText, UtcWhateverTheUserZone)
{
    const char *zone = "/usr/share/zoneinfo/Europe/Amsterdam";
    if (access(zone, R_OK) != 0)
        GTEST_SKIP() << "no zone file " << zone;
    trel_timezone_set(zone);
    struct tm tm {};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 5;
    tm.tm_mday = 30;
    tm.tm_hour = 23;
    tm.tm_min = 30;
    time_t t = timegm(&tm);
    const char *oldTz = std::getenv("TZ");
    std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", zone, 1);
    tzset();
    struct tm local {};
    localtime_r(&t, &local); /* glibc under the same zone */
    EXPECT_EQ(local.tm_mday, 1) << "already July 1 in that zone";
    EXPECT_EQ(trel_localtime(&t)->tm_mday, 1);
    EXPECT_EQ(asText(convert({TDB_TIME}, {TDB_STRING, 14}, be32(t))), "23300030062024");
    EXPECT_EQ(convert({TDB_TIME}, {TDB_DATE}, be32(t)), be32(date_to_num(2024, 6, 30)));
    EXPECT_EQ(convert({TDB_STRING, 14}, {TDB_TIME}, str("23300030062024", 14)), be32(t));
    EXPECT_EQ(convert({TDB_DATE}, {TDB_TIME}, be32(date_to_num(2024, 6, 30))), be32(t - 23 * 3600 - 1800));
    if (oldTz != nullptr)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    trel_timezone_set(nullptr);
}

/* ---- raw targets --------------------------------------------------------- */

TEST(RawTarget, TextAndRawBytesAreCopiedAndZeroPadded)
{
    EXPECT_EQ(convert({TDB_STRING, 4}, {TDB_RAW, 6}, str("ab", 4)), raw(std::string("ab  \0\0", 6)));
    EXPECT_EQ(convert({TDB_RAW, 8}, {TDB_RAW, 4}, raw("\x01\x02\x03\x04\x05\x06\x07\x08")),
              raw("\x01\x02\x03\x04"));
    EXPECT_EQ(convert({TDB_RAW, 2}, {TDB_RAW, 4}, raw("\xff\xfe")), raw(std::string("\xff\xfe\0\0", 4)));
    EXPECT_EQ(convert({TDB_MBSTRING, 6}, {TDB_RAW, 3}, raw(kMultibyte)), raw("abc"));
}

TEST(RawTarget, OtherTypesGiveZeroBytes)
{
    for (int from : {TDB_BYTE, TDB_INTEGER, TDB_LONG, TDB_FLOAT, TDB_DOUBLE, TDB_DATE, TDB_TIME,
                     TDB_TEXT, TDB_LONG_V, TDB_ENUM, TDB_SET})
        EXPECT_EQ(convert({from}, {TDB_RAW, 5}, Bytes(8, 0x5A)), Bytes(5, 0)) << from;
}

/* ---- every pair ---------------------------------------------------------- */

TEST(EveryPair, StaysWithinTheTargetColumn)
{
    const int types[] = {TDB_BYTE, TDB_INTEGER, TDB_LONG, TDB_FLOAT, TDB_DOUBLE,
                         TDB_STRING, TDB_DATE, TDB_TIME, TDB_TEXT, TDB_LONG_V,
                         TDB_ENUM, TDB_SET, TDB_MBSTRING, TDB_RAW};
    for (int from : types)
        for (int to : types) {
            Pair pair({from, 9, 2}, {to, 3, 3});
            Bytes out = pair.run(Bytes(64, 0x9B));
            /* Two converted elements; the third keeps the row's byte. */
            int width = (to == TDB_STRING || to == TDB_MBSTRING || to == TDB_RAW) ? 3 : typeWidth(to);
            for (size_t i = static_cast<size_t>(2 * width); i < out.size(); i++)
                EXPECT_EQ(out[i], Pair::kFill) << from << "->" << to;
        }
}

/* ---- arrays and schemas -------------------------------------------------- */

TEST(Arrays, FiveElementsBecomeThree)
{
    Bytes source = cat({be32(1), be32(-2), be32(300), be32(4), be32(5)});
    EXPECT_EQ(convert({TDB_LONG, 0, 5}, {TDB_INTEGER, 0, 3}, source),
              cat({be16(1), be16(-2), be16(300)}));
}

TEST(Arrays, ThreeElementsBecomeFiveAndTheRestKeepTheRow)
{
    Pair pair({TDB_INTEGER, 0, 3}, {TDB_LONG, 0, 5});
    Bytes out = pair.run(cat({be16(7), be16(-8), be16(9)}));
    EXPECT_EQ(out, cat({be32(7), be32(-8), be32(9), Bytes(8, Pair::kFill)}));
}

TEST(Arrays, TextElementsAdvanceByTheirOwnWidths)
{
    Bytes source = cat({str("ab", 4), str("cdef", 4), str("g", 4)});
    EXPECT_EQ(asText(convert({TDB_STRING, 4, 3}, {TDB_STRING, 6, 3, 'r'}, source)),
              "    ab  cdef     g");
    EXPECT_EQ(asText(convert({TDB_STRING, 4, 3}, {TDB_STRING, 2, 2}, source)), "abcd");
}

TEST(Schema, CombinedAndInvalidTargetsAreSkipped)
{
    for (int type : {TDB_COMBINED, 0, 16}) {
        Pair pair({TDB_LONG}, {TDB_LONG});
        pair.target()->type = static_cast<unsigned char>(type);
        EXPECT_EQ(pair.run(be32(5)), Bytes(4, Pair::kFill)) << type;
    }
}

TEST(Schema, EveryPairIsConvertedInOrder)
{
    _dd_domain lng{}, s4{};
    lng.type = TDB_LONG;
    lng.width = 4;
    s4.type = TDB_STRING;
    s4.width = 4;
    _dd_column src[2]{}, dst[2]{};
    src[0] = {};
    src[0].domain = &lng;
    src[0].offset = 0;
    src[0].length = 4;
    src[0].elements = 1;
    src[0].type = TDB_LONG;
    src[1] = src[0];
    src[1].offset = 4;
    dst[0] = src[0];
    dst[0].domain = &s4;
    dst[0].type = TDB_STRING;
    dst[0].offset = 4;
    dst[1] = src[0];
    dst[1].offset = 0;
    ConversionPair pairs[2] = {{&dst[0], &src[0]}, {&dst[1], &src[1]}};
    ConversionSchema schema{};
    schema.pairs = pairs;
    schema.count = 2;
    Bytes source = cat({be32(42), be32(-1)});
    Bytes target(12, 0xAA);
    convertRow(source.data(), target.data(), &schema);
    EXPECT_EQ(target, cat({be32(-1), str("42", 4), Bytes(4, 0xAA)}));
}

TEST(Schema, NullArgumentsDoNothing)
{
    Bytes row(16, 1);
    convertRow(nullptr, row.data(), nullptr);
    ConversionSchema empty{};
    convertRow(row.data(), row.data(), &empty);
    EXPECT_EQ(row, Bytes(16, 1));
}

/* ---- the demo dictionary ---------------------------------------------- */

class DemoDictionary : public testing::Test {
protected:
    void SetUp() override
    {
        /* As the tool starts: the runtime layer and the user, whose
         * package combination names the demo dictionary's package. */
        log_set_progname("tdbreconfig", 1);
        ASSERT_EQ(init_user(), 0);
        qpd_set_error_hook(tdb_error);
        init_local_dd();
        tdb_errno = 0;
    }
    void TearDown() override
    {
        init_dd_mode(1);
        tdb_errno = 0;
    }

    /* The schema of a table, freed with the fixture. */
    ConversionSchema *schema(const char *table)
    {
        schema_.reset(createConversionSchema(table));
        return schema_.get();
    }

    /* A target row as an import prepares it: the company stored in its
     * _compnr column, then the new default row over the data length. */
    Bytes targetRow(const ConversionSchema *s, int compnr)
    {
        Bytes row(DD_MAX_ROW, 0xEE);
        put_compnr_in_row(s->newTable, row.data(), compnr);
        std::memcpy(row.data(), s->defaultRow, s->dataLength);
        return row;
    }

    static std::string field(const _dd_column *c) { return std::strchr(c->name, '.') + 1; }

    struct Free {
        void operator()(ConversionSchema *s) const { destroyConversionSchema(s); }
    };
    std::unique_ptr<ConversionSchema, Free> schema_;
};

TEST_F(DemoDictionary, WidenedColumn_Dbtst109)
{
    ConversionSchema *s = schema("dbtst109");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->count, 2);
    EXPECT_EQ(field(s->pairs[0].newColumn), "descr");
    EXPECT_EQ(field(s->pairs[1].newColumn), "id");
    EXPECT_EQ(s->pairs[0].currentColumn->length, 20);
    EXPECT_EQ(s->pairs[0].newColumn->length, 40);
    EXPECT_EQ(s->dataLength, 44);
    EXPECT_EQ(s->currentTable->data_length, 24);
    /* Default row: id 0, descr blank, _dlock 0, _compnr -1. */
    EXPECT_EQ(Bytes(s->defaultRow, s->defaultRow + 50),
              cat({be32(0), Bytes(40, ' '), be32(0), be16(-1)}));

    Bytes current = cat({be32(109001), str("Widened column", 20)});
    Bytes row = targetRow(s, 112);
    convertRow(current.data(), row.data(), s);
    EXPECT_EQ(Bytes(row.begin(), row.begin() + 50),
              cat({be32(109001), str("Widened column", 40), Bytes(4, 0xEE), be16(112)}));
    EXPECT_EQ(row[50], 0xEE);
}

TEST_F(DemoDictionary, TypeChange_Dbtst110)
{
    ConversionSchema *s = schema("dbtst110");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->count, 2);
    EXPECT_EQ(field(s->pairs[0].newColumn), "cnt");
    EXPECT_EQ(s->pairs[0].currentColumn->type, TDB_INTEGER);
    EXPECT_EQ(s->pairs[0].newColumn->type, TDB_LONG);
    EXPECT_EQ(s->dataLength, 8);
    EXPECT_EQ(Bytes(s->defaultRow, s->defaultRow + 14), cat({be32(0), be32(0), be32(0), be16(-1)}));

    for (int cnt : {-3, 32767, -32768}) {
        Bytes current = cat({be32(110001), be16(cnt)});
        Bytes row = targetRow(s, 7);
        convertRow(current.data(), row.data(), s);
        EXPECT_EQ(Bytes(row.begin(), row.begin() + 14),
                  cat({be32(110001), be32(cnt), Bytes(4, 0xEE), be16(7)}))
            << cnt;
    }
}

TEST_F(DemoDictionary, AddedColumnKeepsItsDefault_Dbtst111)
{
    ConversionSchema *s = schema("dbtst111");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->count, 2);
    EXPECT_EQ(field(s->pairs[0].newColumn), "descr");
    EXPECT_EQ(field(s->pairs[1].newColumn), "id");
    EXPECT_EQ(s->dataLength, 25);
    const _dd_column *status = ddcolumn_by_ddtable(s->newTable, "status");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->offset, 24);
    EXPECT_EQ(s->defaultRow[24], 1) << "the status default";

    Bytes current = cat({be32(111001), str("Added column", 20)});
    Bytes row = targetRow(s, 0);
    convertRow(current.data(), row.data(), s);
    EXPECT_EQ(Bytes(row.begin(), row.begin() + 31),
              cat({be32(111001), str("Added column", 20), Bytes{1}, Bytes(4, 0xEE), be16(0)}));
    /* The next row starts from the converted one: the default survives. */
    Bytes second = cat({be32(111002), str("Second", 20)});
    convertRow(second.data(), row.data(), s);
    EXPECT_EQ(row[24], 1);
    EXPECT_EQ(Bytes(row.begin(), row.begin() + 24), cat({be32(111002), str("Second", 20)}));
}

TEST_F(DemoDictionary, DroppedColumnIsLeftBehind_Dbtst112)
{
    ConversionSchema *s = schema("dbtst112");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->count, 2);
    EXPECT_EQ(field(s->pairs[0].newColumn), "descr");
    EXPECT_EQ(field(s->pairs[1].newColumn), "id");
    EXPECT_EQ(s->currentTable->data_length, 28);
    EXPECT_EQ(s->dataLength, 24);

    Bytes current = cat({be32(112001), str("Dropped column", 20), be32(987654)});
    Bytes row = targetRow(s, 999);
    convertRow(current.data(), row.data(), s);
    EXPECT_EQ(Bytes(row.begin(), row.begin() + 31),
              cat({be32(112001), str("Dropped column", 20), Bytes(4, 0xEE), be16(999), Bytes{0xEE}}));
}

TEST_F(DemoDictionary, PairsSkipExtraAndIndexColumns)
{
    ConversionSchema *s = schema("dbtst112");
    ASSERT_NE(s, nullptr);
    /* The new table has _compnr, _dlock and _index1 besides its fields. */
    EXPECT_GT(s->newTable->nr_columns, 2);
    for (int i = 0; i < s->count; i++) {
        EXPECT_EQ(s->pairs[i].newColumn->flags & (DD_COL_NOT_IN_DB | DD_COL_INDEX), 0);
        EXPECT_NE(s->pairs[i].newColumn->type, TDB_COMBINED);
        EXPECT_EQ(s->pairs[i].newColumn->domain != nullptr, true);
    }
    EXPECT_EQ(s->newTable->mode_bits, DD_NEW);
    EXPECT_EQ(s->currentTable->mode_bits, DD_CURRENT);
}

TEST_F(DemoDictionary, TheDictionaryModeIsRestored)
{
    ASSERT_NE(schema("dbtst110"), nullptr);
    EXPECT_EQ(get_dd_mode(), 1);
    init_dd_mode(3);
    ASSERT_NE(schema("dbtst111"), nullptr);
    EXPECT_EQ(get_dd_mode(), 3);
}

TEST_F(DemoDictionary, MissingDefinitionsGiveNoSchema)
{
    /* dbtst100 has no new definition; dbtst999 none at all. */
    EXPECT_EQ(schema("dbtst100"), nullptr);
    EXPECT_EQ(tdb_errno, E_DD_NOT_FOUND);
    EXPECT_EQ(get_dd_mode(), 1);
    tdb_errno = 0;
    EXPECT_EQ(schema("dbtst999"), nullptr);
    EXPECT_EQ(tdb_errno, E_DD_NOT_FOUND);
    EXPECT_EQ(schema(nullptr), nullptr);
    EXPECT_EQ(schema("short"), nullptr);
}

TEST_F(DemoDictionary, UnchangedTableConvertsRowsIdentically_Dbtst107)
{
    ConversionSchema *s = schema("dbtst107");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->count, 2);
    ASSERT_EQ(s->dataLength, 24);
    ASSERT_EQ(s->currentTable->data_length, 24);
    /* Every stored byte set, including bytes a text would not hold. */
    Bytes current(24);
    for (size_t i = 0; i < current.size(); i++)
        current[i] = static_cast<unsigned char>(0x80 + i * 5);
    Bytes row = targetRow(s, 1);
    convertRow(current.data(), row.data(), s);
    EXPECT_EQ(Bytes(row.begin(), row.begin() + 30), cat({current, Bytes(4, 0xEE), be16(1)}));
}

} // namespace
