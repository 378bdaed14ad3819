/*
 * table_alter_test.cpp: the comparison of a table's old and new layout
 * (plan_alter, stored_matches) and the conversion of row buffers from the
 * old layout to the new one (convert_row), byte for byte.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "qpd_dd.h"
#include "table_alter.h"
#include "table_layout.h"

using namespace tdbdriver;

namespace {

commu_dd_column col(const char *name, int type, int offset, int length, int elements = 1)
{
    return commu_dd_column{name, length, offset, type, elements > 1 ? DD_COL_ARRAY : 0,
                           elements, 0, 0};
}

TableLayout layout(const char *name, std::vector<commu_dd_column> columns,
                   std::vector<commu_dd_index> keys = {{1, 0, 1, {0}}})
{
    commu_dd_desc dd;
    std::memset(dd.table, 0, sizeof dd.table);
    std::memcpy(dd.table, name, std::strlen(name));
    dd.columns = std::move(columns);
    dd.indexes = std::move(keys);
    TableLayout t;
    std::string error;
    EXPECT_TRUE(t.build(dd, 2, &error)) << error;
    return t;
}

/* Database types as PostgreSQL names them (integers by width). */
std::string pg_type(const LayoutColumn &c)
{
    switch (c.tdb_type) {
    case TDB_BYTE:
    case TDB_ENUM:
    case TDB_INTEGER:
        return "smallint";
    case TDB_FLOAT:
        return "real";
    case TDB_DOUBLE:
        return "double precision";
    case TDB_STRING:
    case TDB_MBSTRING:
        return "text";
    case TDB_RAW:
        return "bytea";
    default:
        return "integer";
    }
}

std::vector<unsigned char> bytes(std::initializer_list<int> list)
{
    std::vector<unsigned char> v;
    for (int b : list)
        v.push_back(static_cast<unsigned char>(b));
    return v;
}

template <typename T> std::vector<unsigned char> native(T value)
{
    std::vector<unsigned char> v(sizeof value);
    std::memcpy(v.data(), &value, sizeof value);
    return v;
}

std::vector<unsigned char> slice(const std::vector<unsigned char> &row, int offset, int n)
{
    return std::vector<unsigned char>(row.begin() + offset, row.begin() + offset + n);
}

constexpr BackendTraits kPg{true, false, true};

} // namespace

TEST(ConvertRow, WidensEveryAllowedNumericPairExactly)
{
    /* b1..b4 bytes, i1..i3 integers, l long, f float */
    TableLayout from = layout("tdcvt100",
                              {col("id", TDB_LONG, 0, 4), col("b1", TDB_BYTE, 4, 1),
                               col("b2", TDB_ENUM, 5, 1), col("b3", TDB_BYTE, 6, 1),
                               col("b4", TDB_BYTE, 7, 1), col("i1", TDB_INTEGER, 8, 2),
                               col("i2", TDB_INTEGER, 10, 2), col("i3", TDB_INTEGER, 12, 2),
                               col("l", TDB_LONG, 14, 4), col("f", TDB_FLOAT, 18, 4),
                               col("t", TDB_TEXT, 22, 4)});
    TableLayout to = layout("Tdcvt100",
                            {col("id", TDB_LONG, 0, 4), col("b1", TDB_INTEGER, 4, 2),
                             col("b2", TDB_LONG, 6, 4), col("b3", TDB_FLOAT, 10, 4),
                             col("b4", TDB_DOUBLE, 14, 8), col("i1", TDB_LONG, 22, 4),
                             col("i2", TDB_FLOAT, 26, 4), col("i3", TDB_DOUBLE, 30, 8),
                             col("l", TDB_DOUBLE, 38, 8), col("f", TDB_DOUBLE, 46, 8),
                             col("t", TDB_LONG, 54, 4)});
    std::vector<unsigned char> defaults(static_cast<size_t>(to.row_length()), 0xEE);
    AlterPlan plan = plan_alter(from, to, defaults.data(), kPg, pg_type);
    ASSERT_FALSE(plan.needs_conversion) << plan.why;
    EXPECT_TRUE(plan.row_layout_changed);
    EXPECT_TRUE(plan.columns_changed);
    EXPECT_TRUE(plan.dropped.empty());

    std::vector<unsigned char> old_row(static_cast<size_t>(from.row_length()), 0);
    old_row[3] = 1;
    old_row[4] = 255;
    old_row[5] = 200;
    old_row[6] = 7;
    old_row[7] = 128;
    old_row[8] = 0x80; /* -32768 */
    old_row[10] = 0x7F; /* 32767 */
    old_row[11] = 0xFF;
    old_row[12] = 0xFF; /* -1 */
    old_row[13] = 0xFF;
    old_row[14] = 0x80; /* INT32_MIN */
    float f = 0.1f;
    std::memcpy(old_row.data() + 18, &f, 4);
    old_row[25] = 42;
    std::vector<unsigned char> new_row(static_cast<size_t>(to.row_length()));
    std::string why;
    ASSERT_TRUE(convert_row(from, to, plan, old_row.data(), defaults.data(), new_row.data(), &why))
        << why;
    EXPECT_EQ(slice(new_row, 0, 4), bytes({0, 0, 0, 1}));
    EXPECT_EQ(slice(new_row, 4, 2), bytes({0, 255}));
    EXPECT_EQ(slice(new_row, 6, 4), bytes({0, 0, 0, 200}));
    EXPECT_EQ(slice(new_row, 10, 4), native(7.0f));
    EXPECT_EQ(slice(new_row, 14, 8), native(128.0));
    EXPECT_EQ(slice(new_row, 22, 4), bytes({0xFF, 0xFF, 0x80, 0x00}));
    EXPECT_EQ(slice(new_row, 26, 4), native(32767.0f));
    EXPECT_EQ(slice(new_row, 30, 8), native(-1.0));
    EXPECT_EQ(slice(new_row, 38, 8), native(-2147483648.0));
    EXPECT_EQ(slice(new_row, 46, 8), native(static_cast<double>(0.1f)));
    EXPECT_EQ(slice(new_row, 54, 4), bytes({0, 0, 0, 42}));
    EXPECT_EQ(slice(new_row, to.data_length(), 6), bytes({0, 0, 0, 0, 0, 2}))
        << "_dlock 0, _compnr the company";
}

TEST(ConvertRow, StringsAndRawArePaddedOrCutOnlyWhenNothingIsLost)
{
    TableLayout from = layout("tdcvt101", {col("id", TDB_LONG, 0, 4), col("s", TDB_STRING, 4, 8),
                                           col("r", TDB_RAW, 12, 6)});
    TableLayout wide = layout("Tdcvt101", {col("id", TDB_LONG, 0, 4),
                                           col("s", TDB_MBSTRING, 4, 10), col("r", TDB_RAW, 14, 8)});
    TableLayout narrow = layout("Tdcvt101", {col("id", TDB_LONG, 0, 4),
                                             col("s", TDB_STRING, 4, 3), col("r", TDB_RAW, 7, 2)});
    std::vector<unsigned char> old_row(static_cast<size_t>(from.row_length()), 0);
    std::memcpy(old_row.data() + 4, "abc     ", 8);
    std::memcpy(old_row.data() + 12, "\x01\x02\x00\x00\x00\x00", 6);

    std::vector<unsigned char> defaults(64, 0x55);
    AlterPlan up = plan_alter(from, wide, defaults.data(), kPg, pg_type);
    EXPECT_FALSE(up.narrowing);
    EXPECT_FALSE(up.columns_changed) << "text and bytea have no width";
    EXPECT_TRUE(up.row_layout_changed);
    std::vector<unsigned char> row(static_cast<size_t>(wide.row_length()));
    std::string why;
    ASSERT_TRUE(convert_row(from, wide, up, old_row.data(), defaults.data(), row.data(), &why));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row.data()) + 4, 10), "abc       ");
    EXPECT_EQ(slice(row, 14, 8), bytes({1, 2, 0, 0, 0, 0, 0, 0}));

    AlterPlan down = plan_alter(from, narrow, defaults.data(), kPg, pg_type);
    EXPECT_TRUE(down.narrowing);
    EXPECT_TRUE(down.columns[1].narrowed);
    EXPECT_TRUE(down.columns[2].narrowed);
    std::vector<unsigned char> small(static_cast<size_t>(narrow.row_length()));
    ASSERT_TRUE(convert_row(from, narrow, down, old_row.data(), defaults.data(), small.data(), &why))
        << why;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(small.data()) + 4, 3), "abc");
    EXPECT_EQ(slice(small, 7, 2), bytes({1, 2}));

    std::memcpy(old_row.data() + 4, "abcd    ", 8);
    EXPECT_FALSE(convert_row(from, narrow, down, old_row.data(), defaults.data(), small.data(), &why));
    EXPECT_EQ(why, "the value of column s is longer than 3 bytes");
    std::memcpy(old_row.data() + 4, "abc     ", 8);
    old_row[14] = 3;
    EXPECT_FALSE(convert_row(from, narrow, down, old_row.data(), defaults.data(), small.data(), &why));
    EXPECT_EQ(why, "the value of column r is longer than 2 bytes");
}

TEST(PlanAlter, ArrayElementsAreMatchedByFieldAndElement)
{
    TableLayout from = layout("tdcvt102", {col("id", TDB_LONG, 0, 4), col("f", TDB_LONG, 4, 4),
                                           col("gone", TDB_STRING, 8, 3)});
    TableLayout to = layout("Tdcvt102", {col("id", TDB_LONG, 0, 4), col("f", TDB_LONG, 4, 12, 3),
                                         col("new", TDB_STRING, 16, 2)});
    std::vector<unsigned char> defaults(static_cast<size_t>(to.row_length()), 0);
    std::memcpy(defaults.data() + 12, "\x00\x00\x00\x09", 4);
    std::memcpy(defaults.data() + 16, "xy", 2);
    AlterPlan plan = plan_alter(from, to, defaults.data(), kPg, pg_type);
    ASSERT_FALSE(plan.needs_conversion) << plan.why;
    ASSERT_EQ(plan.columns.size(), 5u); /* id f_1 f_2 f_3 new */
    EXPECT_EQ(plan.columns[1].from, 1);
    EXPECT_TRUE(plan.columns[1].renamed) << "f became f_1";
    EXPECT_EQ(plan.columns[2].from, -1);
    EXPECT_EQ(plan.columns[3].from, -1);
    EXPECT_EQ(plan.columns[3].fill, Value::of_integer(9));
    EXPECT_EQ(plan.columns[4].fill, Value::of_text("xy"));
    EXPECT_EQ(plan.dropped, std::vector<int>{2});
    EXPECT_TRUE(plan.drop_indexes.empty());
    EXPECT_TRUE(plan.create_indexes.empty());

    std::vector<unsigned char> old_row(static_cast<size_t>(from.row_length()), 0);
    old_row[7] = 5;
    std::memcpy(old_row.data() + 8, "zzz", 3);
    std::vector<unsigned char> row(static_cast<size_t>(to.row_length()));
    std::string why;
    ASSERT_TRUE(convert_row(from, to, plan, old_row.data(), defaults.data(), row.data(), &why));
    EXPECT_EQ(slice(row, 4, 14), bytes({0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 9, 'x', 'y'}));
}

TEST(PlanAlter, TypeChangesOutsideTheWideningRulesNeedConversion)
{
    struct Case {
        int from, to, from_len, to_len;
        bool conversion;
    };
    for (Case c : {Case{TDB_LONG, TDB_FLOAT, 4, 4, true}, Case{TDB_STRING, TDB_LONG, 4, 4, true},
                   Case{TDB_DATE, TDB_LONG, 4, 4, true}, Case{TDB_LONG, TDB_INTEGER, 4, 2, true},
                   Case{TDB_DOUBLE, TDB_FLOAT, 8, 4, true}, Case{TDB_RAW, TDB_STRING, 4, 4, true},
                   Case{TDB_LONG, TDB_TEXT, 4, 4, false}, Case{TDB_ENUM, TDB_BYTE, 1, 1, false},
                   Case{TDB_BYTE, TDB_INTEGER, 1, 2, false},
                   Case{TDB_STRING, TDB_MBSTRING, 4, 4, false}}) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        TableLayout from = layout("tdcvt103", {col("id", TDB_LONG, 0, 4), col("v", c.from, 4, c.from_len)});
        TableLayout to = layout("Tdcvt103", {col("id", TDB_LONG, 0, 4), col("v", c.to, 4, c.to_len)});
        std::vector<unsigned char> defaults(static_cast<size_t>(to.row_length()), 0);
        AlterPlan plan = plan_alter(from, to, defaults.data(), kPg, pg_type);
        EXPECT_EQ(plan.needs_conversion, c.conversion);
        if (c.conversion) {
            EXPECT_EQ(plan.why, "column v changes from type " + std::to_string(c.from) +
                                    " to type " + std::to_string(c.to));
        }
    }
}

TEST(PlanAlter, AnAddedColumnWhoseDefaultHasNoExactFormNeedsConversion)
{
    TableLayout from = layout("tdcvt104", {col("id", TDB_LONG, 0, 4)});
    TableLayout to = layout("Tdcvt104", {col("id", TDB_LONG, 0, 4), col("d", TDB_DOUBLE, 4, 8)});
    std::vector<unsigned char> defaults(static_cast<size_t>(to.row_length()), 0);
    double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(defaults.data() + 4, &nan, 8);
    AlterPlan plan = plan_alter(from, to, defaults.data(), kPg, pg_type);
    EXPECT_TRUE(plan.needs_conversion);
    EXPECT_EQ(plan.why, "the default value of the added column d has no exact database form");
    double zero = -0.0;
    std::memcpy(defaults.data() + 4, &zero, 8);
    EXPECT_FALSE(plan_alter(from, to, defaults.data(), kPg, pg_type).needs_conversion)
        << "PostgreSQL keeps -0.0";
    EXPECT_TRUE(plan_alter(from, to, defaults.data(), BackendTraits{}, pg_type).needs_conversion)
        << "SQLite does not";
}

TEST(PlanAlter, IndexesAreComparedByNameUniquenessAndColumns)
{
    std::vector<commu_dd_column> cols = {col("id", TDB_LONG, 0, 4), col("a", TDB_LONG, 4, 4),
                                         col("b", TDB_LONG, 8, 4)};
    TableLayout from = layout("tdcvt105", cols,
                              {{1, 0, 1, {0}}, {2, 1, 1, {1}}, {3, 1, 1, {2}}, {4, 1, 0, {1}}});
    TableLayout to = layout("Tdcvt105", cols,
                            {{1, 0, 1, {0}}, {2, 0, 1, {1}}, {3, 1, 1, {2, 1}}, {5, 1, 1, {1}},
                             {6, 1, 0, {2}}});
    std::vector<unsigned char> defaults(static_cast<size_t>(to.row_length()), 0);
    AlterPlan plan = plan_alter(from, to, defaults.data(), kPg, pg_type);
    EXPECT_FALSE(plan.columns_changed);
    EXPECT_FALSE(plan.row_layout_changed);
    EXPECT_EQ(plan.drop_indexes, (std::vector<std::string>{"tdcvt105_002_i2", "tdcvt105_002_i3"}));
    EXPECT_EQ(plan.create_indexes, (std::vector<int>{2, 3, 5}));
}

TEST(StoredMatches, ComparesNamesAndTypesInAnyOrderWithoutCase)
{
    TableLayout t = layout("tdcvt106", {col("id", TDB_LONG, 0, 4), col("Name", TDB_STRING, 4, 8)});
    EXPECT_TRUE(stored_matches({{"tdb_row", "bytea"}, {"name", "TEXT"}, {"id", "integer"}}, t, pg_type));
    EXPECT_FALSE(stored_matches({{"name", "text"}, {"id", "integer"}}, t, pg_type))
        << "tdb_row missing";
    EXPECT_FALSE(stored_matches({{"tdb_row", "bytea"}, {"name", "text"}, {"id", "smallint"}}, t,
                                pg_type));
    EXPECT_FALSE(stored_matches({{"tdb_row", "bytea"}, {"name", "text"}, {"id", "integer"},
                                 {"extra", "integer"}},
                                t, pg_type));
}
