/*
 * tdb_load_test.cpp: the pieces of tdbload that need no database: the CSV
 * reader (quoting, line breaks, line numbers, malformed files) and the
 * conversion of written values into row bytes for every column type of
 * the demo dictionary, with their boundary values, byte for byte.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "al_user.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_load.h"

namespace {

using tdbload::CsvRecord;
using Bytes = std::vector<unsigned char>;

std::vector<CsvRecord> csv(const std::string &text)
{
    std::vector<CsvRecord> records;
    std::string error;
    EXPECT_TRUE(tdbload::parse_csv(text, &records, &error)) << error;
    return records;
}

std::string csv_error(const std::string &text)
{
    std::vector<CsvRecord> records;
    std::string error;
    EXPECT_FALSE(tdbload::parse_csv(text, &records, &error));
    return error;
}

TEST(LoaderCsv, FieldsAreSplitAtCommasAndQuotedFieldsKeepCommasQuotesAndLineBreaks)
{
    const auto records = csv("id,descr\n1,\"a, b\"\n2,\"say \"\"hi\"\"\"\n3,\"two\nlines\"\n4,\n");
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].fields, (std::vector<std::string>{"id", "descr"}));
    EXPECT_EQ(records[1].fields, (std::vector<std::string>{"1", "a, b"}));
    EXPECT_EQ(records[2].fields, (std::vector<std::string>{"2", "say \"hi\""}));
    EXPECT_EQ(records[3].fields, (std::vector<std::string>{"3", "two\nlines"}));
    EXPECT_EQ(records[4].fields, (std::vector<std::string>{"4", ""}));
    /* A record is numbered by the line it starts on. */
    EXPECT_EQ(records[3].line, 4);
    EXPECT_EQ(records[4].line, 6);
}

TEST(LoaderCsv, CrLfEndsARecordEmptyLinesAreSkippedAndAByteOrderMarkIsDropped)
{
    const auto records = csv("\xEF\xBB\xBFid,x\r\n\r\n1,\"q\"\r\n\n2,y");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].fields[0], "id");
    EXPECT_EQ(records[1].line, 3);
    EXPECT_EQ(records[1].fields, (std::vector<std::string>{"1", "q"}));
    EXPECT_EQ(records[2].line, 5);
    EXPECT_EQ(records[2].fields, (std::vector<std::string>{"2", "y"}));
}

TEST(LoaderCsv, AnUnclosedQuoteAndTextAfterAClosingQuoteAreErrorsWithTheirLine)
{
    EXPECT_EQ(csv_error("id,x\n1,\"open\n2,b\n"), "line 2: a quoted field is not closed");
    EXPECT_EQ(csv_error("id,x\n1,\"a\"b\n"), "line 2: text after a closing quote");
    EXPECT_TRUE(csv("").empty());
}

/* The demo dictionary, loaded as the program loads it. */
class LoaderValues : public testing::Test {
protected:
    void SetUp() override
    {
        log_set_progname("tdbload", 1);
        ASSERT_EQ(init_user(), 0);
        qpd_set_error_hook(tdb_error);
        init_local_dd();
        init_dd_mode(1);
        tdb_errno = 0;
    }

    const _dd_column *column(const char *table, const char *field)
    {
        const _dd_table *t = ddtable(table);
        EXPECT_NE(t, nullptr) << table;
        const _dd_column *c = t != nullptr ? ddcolumn_by_ddtable(t, field) : nullptr;
        EXPECT_NE(c, nullptr) << field;
        return c;
    }

    /* The element bytes of a value, or the error (element bytes 0xEE
     * stay untouched on an error). */
    Bytes put(const char *table, const char *field, const std::string &text, std::string *error)
    {
        const _dd_column *c = column(table, field);
        if (c == nullptr)
            return {};
        Bytes element(static_cast<size_t>(c->length / c->elements), 0xEE);
        error->clear();
        if (!tdbload::put_value(c, text, element.data(), error)) {
            EXPECT_EQ(element, Bytes(element.size(), 0xEE)) << "a refused value changes nothing";
        }
        return element;
    }
    Bytes ok(const char *table, const char *field, const std::string &text)
    {
        std::string error;
        Bytes b = put(table, field, text, &error);
        EXPECT_EQ(error, "") << field << " " << text;
        return b;
    }
    std::string bad(const char *table, const char *field, const std::string &text)
    {
        std::string error;
        put(table, field, text, &error);
        EXPECT_NE(error, "") << field << " " << text;
        return error;
    }
};

Bytes be(int64_t v, int n)
{
    Bytes b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        b[static_cast<size_t>(i)] = static_cast<unsigned char>(static_cast<uint64_t>(v) >> (8 * (n - 1 - i)));
    return b;
}

TEST_F(LoaderValues, IntegersAreBigEndianAndRangeCheckedForTheirType)
{
    EXPECT_EQ(ok("dbtst100", "bval", "0"), Bytes{0});
    EXPECT_EQ(ok("dbtst100", "bval", "255"), Bytes{255});
    EXPECT_EQ(bad("dbtst100", "bval", "256"), "value 256 is outside 0..255");
    EXPECT_EQ(bad("dbtst100", "bval", "-1"), "value -1 is outside 0..255");
    EXPECT_EQ(ok("dbtst100", "ival", "-32768"), be(-32768, 2));
    EXPECT_EQ(ok("dbtst100", "ival", " 32767 "), be(32767, 2));
    EXPECT_EQ(bad("dbtst100", "ival", "32768"), "value 32768 is outside -32768..32767");
    EXPECT_EQ(ok("dbtst100", "lval", "-2147483648"), be(INT32_MIN, 4));
    EXPECT_EQ(ok("dbtst100", "lval", "+2147483647"), be(INT32_MAX, 4));
    EXPECT_EQ(bad("dbtst100", "lval", "2147483648"), "value 2147483648 is outside -2147483648..2147483647");
    EXPECT_EQ(bad("dbtst100", "lval", "12a"), "value \"12a\" is not an integer");
    EXPECT_EQ(bad("dbtst100", "lval", "1.0"), "value \"1.0\" is not an integer");
    EXPECT_EQ(bad("dbtst100", "lval", "99999999999999999999999"),
              "value \"99999999999999999999999\" is not an integer");
    /* Text numbers, long values and sets are 32-bit numbers too. */
    EXPECT_EQ(ok("dbtst100", "txt", "70000"), be(70000, 4));
    EXPECT_EQ(ok("dbtst100", "lv", "-3"), be(-3, 4));
    EXPECT_EQ(ok("dbtst100", "days", "6"), be(6, 4));
    /* An empty field is the empty value. */
    EXPECT_EQ(ok("dbtst100", "lval", ""), be(0, 4));
}

TEST_F(LoaderValues, FloatingPointValuesAreIeeeInHostOrderAndMustBeFiniteNumbers)
{
    float f = 1.25f;
    Bytes fb(4);
    std::memcpy(fb.data(), &f, 4);
    EXPECT_EQ(ok("dbtst100", "fval", "1.25"), fb);
    double d = -2.5e10;
    Bytes db(8);
    std::memcpy(db.data(), &d, 8);
    EXPECT_EQ(ok("dbtst100", "dval", "-2.5e10"), db);
    EXPECT_EQ(bad("dbtst100", "fval", "1e39"), "value 1e39 is too large for a float");
    EXPECT_EQ(bad("dbtst100", "dval", "nan"), "value \"nan\" is not a finite number");
    EXPECT_EQ(bad("dbtst100", "dval", "inf"), "value \"inf\" is not a finite number");
    EXPECT_EQ(bad("dbtst100", "dval", "1,5"), "value \"1,5\" is not a finite number");
}

TEST_F(LoaderValues, DatesAreDayNumbersAndTimesUtcSecondsAtTheirLimits)
{
    EXPECT_EQ(ok("dbtst100", "date", "0001-01-01"), be(1, 4));
    EXPECT_EQ(ok("dbtst100", "date", "9999-12-31"), be(3652059, 4));
    EXPECT_EQ(ok("dbtst100", "date", "2024-02-29"), be(738945, 4));
    EXPECT_EQ(ok("dbtst100", "date", ""), be(0, 4));
    EXPECT_EQ(bad("dbtst100", "date", "2023-02-29"), "value \"2023-02-29\" is not a valid date");
    EXPECT_EQ(bad("dbtst100", "date", "0000-01-01"), "value \"0000-01-01\" is not a valid date");
    EXPECT_EQ(bad("dbtst100", "date", "29-02-2024"), "value \"29-02-2024\" is not a date YYYY-MM-DD");
    EXPECT_EQ(ok("dbtst100", "utc", "1970-01-01T00:00:00Z"), be(0, 4));
    EXPECT_EQ(ok("dbtst100", "utc", "2038-01-19T03:14:07Z"), be(INT32_MAX, 4));
    EXPECT_EQ(ok("dbtst100", "utc", "2024-02-29T12:34:56Z"), be(1709210096, 4));
    EXPECT_EQ(bad("dbtst100", "utc", "2038-01-19T03:14:08Z"),
              "value \"2038-01-19T03:14:08Z\" is not a valid UTC time (1970-2038)");
    EXPECT_EQ(bad("dbtst100", "utc", "2024-01-01 10:00:00"),
              "value \"2024-01-01 10:00:00\" is not a UTC time YYYY-MM-DDTHH:MM:SSZ");
    EXPECT_EQ(bad("dbtst100", "utc", "2024-01-01T24:00:00Z"),
              "value \"2024-01-01T24:00:00Z\" is not a valid UTC time (1970-2038)");
}

TEST_F(LoaderValues, EnumerationsTakeTheirNumbersOrKeywordsAndOnlyListedValues)
{
    EXPECT_EQ(ok("dbtst100", "stat", "2"), Bytes{2});
    EXPECT_EQ(ok("dbtst100", "stat", "held"), Bytes{3});
    EXPECT_EQ(ok("dbtst100", "stat", ""), Bytes{0});
    EXPECT_EQ(bad("dbtst100", "stat", "4"), "value 4 is not a value of the enumeration");
    EXPECT_EQ(bad("dbtst100", "stat", "shut"),
              "value \"shut\" is neither a number nor a keyword of the domain");
    EXPECT_EQ(bad("dbtst100", "stat", "300"), "value 300 is outside 0..255");
}

TEST_F(LoaderValues, TextsArePaddedWithBlanksAndRawBytesWithZerosWithinTheColumnWidth)
{
    Bytes name = ok("dbtst100", "name", "Anna");
    EXPECT_EQ(std::string(name.begin(), name.end()), "Anna" + std::string(16, ' '));
    EXPECT_EQ(ok("dbtst100", "name", std::string(20, 'x') + "   "), Bytes(20, 'x'))
        << "trailing blanks do not count";
    EXPECT_EQ(bad("dbtst100", "name", std::string(21, 'x')),
              "text of 21 bytes is longer than the column's 20");
    EXPECT_EQ(ok("dbtst100", "rawv", "00ff10"), (Bytes{0x00, 0xff, 0x10, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ok("dbtst100", "rawv", "0102030405060708"), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(bad("dbtst100", "rawv", "010203040506070809"),
              "value of 9 bytes is longer than the column's 8");
    EXPECT_EQ(bad("dbtst100", "rawv", "0G"), "value \"0G\" is not hexadecimal bytes");
    EXPECT_EQ(bad("dbtst100", "rawv", "abc"),
              "value \"abc\" is not hexadecimal bytes (an odd number of digits)");
}

} // namespace
