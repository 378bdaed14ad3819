/*
 * table_layout_test.cpp: the database form of a table definition: names,
 * column kinds, indexes, the byte-exact row and key conversions for every
 * column type (extremes, arrays, TSS multibyte strings, special floating-
 * point values) and the exact row image for values without a database form.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "driver_support.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "table_layout.h"

using namespace tdbdriver;

namespace {

commu_dd_column col(const char *name, int type, int offset, int length, int elements = 1)
{
    commu_dd_column c;
    c.name = name;
    c.type = type;
    c.offset = offset;
    c.length = length;
    c.elements = elements;
    c.flags = elements > 1 ? DD_COL_ARRAY : 0;
    c.digits_before = 0;
    c.digits_after = 0;
    return c;
}

/* A definition with every stored type, two arrays and three keys. */
commu_dd_desc all_types(const char *table = "tdtst100")
{
    commu_dd_desc dd{};
    std::memset(dd.table, 0, sizeof dd.table);
    std::strncpy(dd.table, table, 8);
    dd.columns = {
        col("b", TDB_BYTE, 0, 1),        col("e", TDB_ENUM, 1, 1),
        col("i", TDB_INTEGER, 2, 2),     col("l", TDB_LONG, 4, 4),
        col("f", TDB_FLOAT, 8, 4),       col("d", TDB_DOUBLE, 12, 8),
        col("s", TDB_STRING, 20, 10),    col("dt", TDB_DATE, 30, 4),
        col("tm", TDB_TIME, 34, 4),      col("tx", TDB_TEXT, 38, 4),
        col("lv", TDB_LONG_V, 42, 4),    col("st", TDB_SET, 46, 4),
        col("m", TDB_MBSTRING, 50, 12),  col("r", TDB_RAW, 62, 6),
        col("a", TDB_INTEGER, 68, 6, 3), col("sa", TDB_STRING, 74, 8, 2),
    };
    dd.indexes = {{1, 0, 1, {3, 6}}, {2, 1, 1, {2}}, {3, 0, 0, {14}}};
    return dd;
}

void be32(unsigned char *p, std::int64_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    p[0] = u >> 24;
    p[1] = (u >> 16) & 0xFF;
    p[2] = (u >> 8) & 0xFF;
    p[3] = u & 0xFF;
}

/* A row of all_types with extreme values and padded strings. */
std::vector<unsigned char> extreme_row()
{
    std::vector<unsigned char> row(88, 0);
    row[0] = 255;
    row[1] = 0;
    row[2] = 0x80; /* -32768 */
    row[3] = 0x00;
    be32(&row[4], INT32_MIN);
    float f = std::numeric_limits<float>::denorm_min();
    std::memcpy(&row[8], &f, 4);
    double d = std::numeric_limits<double>::denorm_min();
    std::memcpy(&row[12], &d, 8);
    std::memcpy(&row[20], "abc       ", 10);
    be32(&row[30], 1);
    be32(&row[34], INT32_MAX);
    be32(&row[38], -1);
    be32(&row[42], 3652059);
    be32(&row[46], static_cast<std::int32_t>(0x80000001u));
    /* U+4E2D as TSS, then Latin-1 e-acute, then blanks. */
    std::memcpy(&row[50], "\x9b\x81\x9c\xad" "\xe9" "x      ", 12);
    std::memcpy(&row[62], "\x00\x01\x00\x02\x00\x00", 6);
    row[68] = 0x7F; row[69] = 0xFF;  /* 32767 */
    row[70] = 0xFF; row[71] = 0xFF;  /* -1 */
    row[72] = 0; row[73] = 0;
    std::memcpy(&row[74], "ab  " "    ", 8);
    return row;
}

class TableLayoutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        drivertest::root(); /* the conversion library's search path */
        std::string error;
        ASSERT_TRUE(layout.build(all_types(), 7, &error)) << error;
    }
    TableLayout layout;
    BackendTraits traits;
};

TEST_F(TableLayoutTest, NamesTableByLowerCaseCodeAndThreeDigitCompany)
{
    EXPECT_EQ(layout.table_name(), "tdtst100_007");
    TableLayout newdd;
    std::string error;
    ASSERT_TRUE(newdd.build(all_types("Tdtst100"), 0, &error));
    EXPECT_EQ(newdd.table_name(), "tdtst100_000");
    EXPECT_EQ(newdd.table_code(), "Tdtst100");
    EXPECT_EQ(layout.data_length(), 82);
    EXPECT_EQ(layout.row_length(), 88);
}

TEST_F(TableLayoutTest, OneColumnPerElementWithPortableKinds)
{
    std::vector<std::string> names;
    std::string kinds;
    for (const LayoutColumn &c : layout.columns()) {
        names.push_back(c.name);
        kinds += "IRTB"[static_cast<int>(c.kind)];
    }
    EXPECT_EQ(names, (std::vector<std::string>{"b", "e", "i", "l", "f", "d", "s", "dt", "tm",
                                               "tx", "lv", "st", "m", "r", "a_1", "a_2", "a_3",
                                               "sa_1", "sa_2"}));
    EXPECT_EQ(kinds, "IIIIRRTIIIIITBIIITT");
    EXPECT_EQ(layout.columns()[15].offset, 70);
    EXPECT_EQ(layout.columns()[15].width, 2);
    EXPECT_EQ(layout.columns()[18].offset, 78);
    EXPECT_EQ(layout.columns()[18].width, 4);
}

TEST_F(TableLayoutTest, IndexesKeepKeyNumbersUniquenessAndDatabasePresence)
{
    ASSERT_EQ(layout.indexes().size(), 3u);
    const LayoutIndex *k1 = layout.primary();
    ASSERT_NE(k1, nullptr);
    EXPECT_EQ(k1->name, "tdtst100_007_i1");
    EXPECT_TRUE(k1->unique);
    EXPECT_TRUE(k1->in_database);
    EXPECT_EQ(k1->columns, (std::vector<int>{3, 6}));
    EXPECT_FALSE(layout.index(2)->unique);
    EXPECT_FALSE(layout.index(3)->in_database);
    /* An array part brings all its elements. */
    EXPECT_EQ(layout.index(3)->columns, (std::vector<int>{14, 15, 16}));
    EXPECT_EQ(layout.key_length(1), 14);
    EXPECT_EQ(layout.key_length(3), 6);
    EXPECT_EQ(layout.key_length(4), -1);
    EXPECT_EQ(layout.index(4), nullptr);
}

TEST_F(TableLayoutTest, QuotesIdentifiersDoublingInnerQuotes)
{
    EXPECT_EQ(TableLayout::quote("a.b"), "\"a.b\"");
    EXPECT_EQ(TableLayout::quote("x\"y"), "\"x\"\"y\"");
}

TEST_F(TableLayoutTest, ExtremesOfEveryTypeRoundTripByteForByte)
{
    std::vector<unsigned char> row = extreme_row();
    std::vector<Value> values;
    std::string image;
    layout.row_to_values(row.data(), traits, &values, &image);
    EXPECT_TRUE(image.empty());
    ASSERT_EQ(values.size(), 19u);
    EXPECT_EQ(values[0], Value::of_integer(255));
    EXPECT_EQ(values[2], Value::of_integer(-32768));
    EXPECT_EQ(values[3], Value::of_integer(INT32_MIN));
    EXPECT_EQ(values[4].real, static_cast<double>(std::numeric_limits<float>::denorm_min()));
    EXPECT_EQ(values[5].real, std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(values[6], Value::of_text("abc"));
    EXPECT_EQ(values[7], Value::of_integer(1));
    EXPECT_EQ(values[8], Value::of_integer(INT32_MAX));
    EXPECT_EQ(values[10], Value::of_integer(3652059));
    EXPECT_EQ(values[11], Value::of_integer(static_cast<std::int32_t>(0x80000001u)));
    EXPECT_EQ(values[12], Value::of_text("\xe4\xb8\xad\xc3\xa9x"));
    EXPECT_EQ(values[13], Value::of_bytes(std::string("\x00\x01\x00\x02", 4)));
    EXPECT_EQ(values[14], Value::of_integer(32767));
    EXPECT_EQ(values[15], Value::of_integer(-1));
    EXPECT_EQ(values[17], Value::of_text("ab"));
    EXPECT_EQ(values[18], Value::of_text(""));

    std::vector<unsigned char> back(88, 0xEE);
    std::string error;
    ASSERT_TRUE(layout.values_to_row(values, "", back.data(), &error)) << error;
    std::vector<unsigned char> expect = row;
    expect[86] = 0; /* company 7 */
    expect[87] = 7;
    EXPECT_EQ(back, expect);
}

TEST_F(TableLayoutTest, InfinityAndZeroAreExactNegativeZeroIsNot)
{
    std::vector<unsigned char> row = extreme_row();
    float inf = -std::numeric_limits<float>::infinity();
    std::memcpy(&row[8], &inf, 4);
    double zero = 0.0;
    std::memcpy(&row[12], &zero, 8);
    std::vector<Value> values;
    std::string image;
    layout.row_to_values(row.data(), traits, &values, &image);
    EXPECT_TRUE(image.empty());
    EXPECT_TRUE(std::isinf(values[4].real));

    double negzero = -0.0;
    std::memcpy(&row[12], &negzero, 8);
    layout.row_to_values(row.data(), traits, &values, &image);
    ASSERT_EQ(image.size(), 82u);
    EXPECT_EQ(0, std::memcmp(image.data(), row.data(), 82));
    /* The nearest form still goes into the column. */
    EXPECT_EQ(values[5].real, 0.0);

    BackendTraits keeping;
    keeping.keeps_negative_zero = true;
    layout.row_to_values(row.data(), keeping, &values, &image);
    EXPECT_TRUE(image.empty());
    std::vector<unsigned char> back(88);
    std::string error;
    ASSERT_TRUE(layout.values_to_row(values, "", back.data(), &error)) << error;
    EXPECT_EQ(0, std::memcmp(back.data(), row.data(), 82));
}

TEST_F(TableLayoutTest, NanPayloadsTravelInTheRowImage)
{
    std::vector<unsigned char> row = extreme_row();
    const unsigned char nan_bytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xF8, 0x7F};
    std::memcpy(&row[12], nan_bytes, 8);
    const unsigned char fnan[4] = {0x01, 0x00, 0x80, 0xFF}; /* signalling, negative */
    std::memcpy(&row[8], fnan, 4);
    std::vector<Value> values;
    std::string image;
    layout.row_to_values(row.data(), traits, &values, &image);
    ASSERT_EQ(image.size(), 82u);
    EXPECT_TRUE(values[4].null);
    EXPECT_TRUE(values[5].null);
    /* The image wins over the values on the way back. */
    std::vector<unsigned char> back(88, 0xEE);
    std::string error;
    ASSERT_TRUE(layout.values_to_row(values, image, back.data(), &error)) << error;
    EXPECT_EQ(0, std::memcmp(back.data(), row.data(), 82));
    EXPECT_EQ(back[82], 0);
    EXPECT_EQ(back[87], 7);
    /* A backend keeping double NaNs still cannot keep a float's payload. */
    BackendTraits keeping;
    keeping.keeps_nan = true;
    layout.row_to_values(row.data(), keeping, &values, &image);
    EXPECT_FALSE(image.empty());
}

TEST_F(TableLayoutTest, StringsWithoutExactTextGoToTheImage)
{
    const char *cases[] = {
        "a\0b       ",            /* NUL inside */
        "x\x9b\x01\x02\x03     ", /* a TSS character without a code point */
        "abcdefghi\x9b",          /* a TSS character cut by the width */
    };
    for (const char *c : cases) {
        std::vector<unsigned char> row = extreme_row();
        std::memcpy(&row[20], c, 10);
        std::vector<Value> values;
        std::string image;
        layout.row_to_values(row.data(), traits, &values, &image);
        ASSERT_EQ(image.size(), 82u) << c;
        EXPECT_EQ(values[6].kind, Kind::Text);
        for (char ch : values[6].text)
            EXPECT_TRUE(ch != 0 && static_cast<unsigned char>(ch) < 0x80);
        std::vector<unsigned char> back(88);
        std::string error;
        ASSERT_TRUE(layout.values_to_row(values, image, back.data(), &error)) << error;
        EXPECT_EQ(0, std::memcmp(back.data(), row.data(), 82)) << c;
    }
}

TEST_F(TableLayoutTest, ImageBytesOfUnstoredGapsAreZero)
{
    commu_dd_desc dd = all_types();
    dd.columns.erase(dd.columns.begin() + 1); /* leaves byte 1 unstored */
    dd.indexes = {{1, 0, 1, {0}}};
    TableLayout gap;
    std::string error;
    ASSERT_TRUE(gap.build(dd, 0, &error)) << error;
    std::vector<unsigned char> row = extreme_row();
    row[1] = 0x55;
    double negzero = -0.0;
    std::memcpy(&row[12], &negzero, 8);
    std::vector<Value> values;
    std::string image;
    gap.row_to_values(row.data(), traits, &values, &image);
    ASSERT_EQ(image.size(), 82u);
    EXPECT_EQ(image[1], '\0');
    EXPECT_EQ(image[0], '\xff');
}

TEST_F(TableLayoutTest, ValuesThatDoNotFitAreRefusedWithTheColumnName)
{
    std::vector<unsigned char> row = extreme_row();
    std::vector<Value> values;
    std::string image;
    layout.row_to_values(row.data(), traits, &values, &image);
    std::vector<unsigned char> back(88);
    struct Case {
        size_t column;
        Value value;
        const char *message;
    } cases[] = {
        {0, Value::of_integer(256), "column b: value 256 out of range"},
        {2, Value::of_integer(32768), "column i: value 32768 out of range"},
        {3, Value::of_integer(std::int64_t(INT32_MAX) + 1), "column l: value 2147483648 out of range"},
        {4, Value::of_real(0.1), "column f: value not a single-precision number"},
        {6, Value::of_text("abcdefghijk"), "column s: text longer than the column"},
        {6, Value::of_text("\xff\xfe"), "column s: text that is not UTF-8"},
        {13, Value::of_bytes("1234567"), "column r: bytes longer than the column"},
        {7, Value::of_text("1"), "column dt: value of another kind"},
        {5, Value::null_of(Kind::Real), "column d: no value"},
    };
    for (const Case &c : cases) {
        std::vector<Value> v = values;
        v[c.column] = c.value;
        std::string error;
        EXPECT_FALSE(layout.values_to_row(v, "", back.data(), &error));
        EXPECT_EQ(error, c.message);
    }
    std::string error;
    EXPECT_FALSE(layout.values_to_row(values, std::string(81, 'x'), back.data(), &error));
    EXPECT_EQ(error, "row image of 81 bytes, the row has 82");
    values.pop_back();
    EXPECT_FALSE(layout.values_to_row(values, "", back.data(), &error));
    EXPECT_EQ(error, "18 values for 19 columns");
}

TEST_F(TableLayoutTest, KeyBlocksBecomeTheKeyColumnsValues)
{
    std::vector<unsigned char> row = extreme_row();
    std::string key = layout.key_of_row(1, row.data());
    ASSERT_EQ(key.size(), 14u);
    EXPECT_EQ(0, std::memcmp(key.data(), &row[4], 4));
    EXPECT_EQ(0, std::memcmp(key.data() + 4, &row[20], 10));
    std::vector<Value> values;
    bool exact = false;
    ASSERT_TRUE(layout.key_to_values(1, reinterpret_cast<const unsigned char *>(key.data()),
                                     key.size(), traits, &values, &exact));
    EXPECT_TRUE(exact);
    EXPECT_EQ(values, (std::vector<Value>{Value::of_integer(INT32_MIN), Value::of_text("abc")}));
    EXPECT_FALSE(layout.key_to_values(1, reinterpret_cast<const unsigned char *>(key.data()),
                                      13, traits, &values, &exact));
    EXPECT_FALSE(layout.key_to_values(9, reinterpret_cast<const unsigned char *>(key.data()),
                                      14, traits, &values, &exact));
    key[5] = '\0'; /* a NUL in the string part */
    ASSERT_TRUE(layout.key_to_values(1, reinterpret_cast<const unsigned char *>(key.data()),
                                     key.size(), traits, &values, &exact));
    EXPECT_FALSE(exact);
    std::string arr = layout.key_of_row(3, row.data());
    ASSERT_TRUE(layout.key_to_values(3, reinterpret_cast<const unsigned char *>(arr.data()),
                                     arr.size(), traits, &values, &exact));
    EXPECT_EQ(values, (std::vector<Value>{Value::of_integer(32767), Value::of_integer(-1),
                                          Value::of_integer(0)}));
}

TEST_F(TableLayoutTest, RefusesDefinitionsItCannotStore)
{
    std::string error;
    TableLayout t;
    commu_dd_desc dd = all_types();
    dd.columns[3].type = TDB_COMBINED;
    EXPECT_FALSE(t.build(dd, 0, &error));
    EXPECT_EQ(error, "column 'l' of tdtst100 cannot be stored (type 13, offset 4, length 4)");
    dd = all_types();
    dd.columns[2].length = 3; /* not the width of a short */
    EXPECT_FALSE(t.build(dd, 0, &error));
    dd = all_types();
    dd.columns.push_back(col("a_1", TDB_BYTE, 82, 1));
    EXPECT_FALSE(t.build(dd, 0, &error));
    EXPECT_EQ(error, "column name 'a_1' of tdtst100 occurs twice");
    dd = all_types();
    dd.columns.push_back(col("TDB_ROW", TDB_BYTE, 82, 1));
    EXPECT_FALSE(t.build(dd, 0, &error));
    dd = all_types();
    dd.indexes[1].parts = {16};
    EXPECT_FALSE(t.build(dd, 0, &error));
    EXPECT_EQ(error, "key 2 of tdtst100 names column position 16");
    EXPECT_FALSE(t.build(all_types(), 1000, &error));
    EXPECT_FALSE(t.build(all_types("td.st100"), 0, &error));
}

TEST_F(TableLayoutTest, TextConversionIsExactOrRefused)
{
    std::string out;
    EXPECT_TRUE(tss_to_utf8_exact("\x9b\x87\xec\x80", 4, &out));
    EXPECT_EQ(out, "\xf0\x9f\x98\x80"); /* U+1F600 */
    std::string back;
    EXPECT_TRUE(utf8_to_tss(out, &back));
    EXPECT_EQ(back, "\x9b\x87\xec\x80");
    EXPECT_FALSE(tss_to_utf8_exact("\x9b\x81", 2, &out));
    EXPECT_FALSE(utf8_to_tss("\xc3", &back));
    EXPECT_FALSE(utf8_to_tss(std::string_view("a\0b", 3), &back));
}

/* The update-store columns equal those the client's sets are made with. */
TEST_F(TableLayoutTest, UpdateStoreColumnsMatchTheClientsDescriptors)
{
    commu_block blk = drivertest::dictionary_of(1, "dbtst100", 0);
    TableLayout demo;
    std::string error;
    ASSERT_TRUE(demo.build(blk.dd, 0, &error)) << error;
    std::vector<rds_col> mine = demo.update_store_columns();
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    std::vector<rds_col> theirs(static_cast<size_t>(t->nr_columns) + 3);
    int n = rds_update_action_cols(t, theirs.data(), static_cast<int>(theirs.size()));
    ASSERT_EQ(n, static_cast<int>(mine.size()));
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(mine[i].type, theirs[i].type) << i;
        EXPECT_EQ(mine[i].length, theirs[i].length) << i;
        EXPECT_EQ(mine[i].offset, theirs[i].offset) << i;
        EXPECT_EQ(mine[i].elements, theirs[i].elements) << i;
    }
    EXPECT_EQ(demo.row_length(), t->row_length);
}

} // namespace
