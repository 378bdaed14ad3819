/*
 * qp_rds_open_test.cpp: opening row data sets (limits, flags, memory
 * groups), descriptors from the dictionary and the update store of a
 * table, rds_full and its process-wide default, reset, close and dumps.
 */
#include <cstdlib>
#include <cstring>

#include "al_mem.h"
#include "al_res.h"
#include "al_stream.h"
#include "qp_test_support.h"
#include "qpd_dd.h"

using namespace qptest;

namespace {

using RdsOpen = RdsTest;

TEST_F(RdsOpen, SizesAboveTheInternalLimitAreRefused)
{
    rds_col c = col(RDS_SRAW, 100, 0);
    Recorder rec;
    EXPECT_EQ(rds_open(30961, 100, 1, &c, 0, RDS_FIXED), nullptr);
    EXPECT_TRUE(rec.logged("Rds size (30961,100) exceeds internal limit (30960)\n"));
    EXPECT_EQ(rds_open(100, 30961, 1, &c, 0, RDS_FIXED), nullptr);
    EXPECT_TRUE(rec.logged("Rds size (100,30961) exceeds internal limit (30960)\n"));
    RDS *big = rds_open(30960, 30960, 1, &c, 0, RDS_FIXED);
    EXPECT_NE(big, nullptr);
    EXPECT_EQ(rec.messages.size(), 2u);
    /* A column that reaches beyond the row. */
    rds_col wide = col(RDS_SRAW, 100, 1);
    EXPECT_EQ(rds_open(100, 100, 1, &wide, 0, RDS_FIXED), nullptr);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds.cpp:"), 1);
    EXPECT_EQ(rds_size_of_row(big), 30960);
    EXPECT_EQ(rds_size_of_row(nullptr), -1);
}

TEST_F(RdsOpen, IllegalFlagCombinationsAreLoggedInOctalAndOpenedAnyway)
{
    rds_col c = col(RDS_LONG, 4, 0);
    Recorder rec;
    for (int ok : {RDS_COMPRESSED, RDS_FIXED, RDS_FIXED | RDS_INDEXED,
                   RDS_FIXED | RDS_STATUS | RDS_CONST | RDS_GROW})
        EXPECT_NE(rds_open(4, 4, 1, &c, 0, ok), nullptr);
    EXPECT_TRUE(rec.messages.empty());

    RDS *none = rds_open(4, 4, 1, &c, 0, 0);
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(rec.logged("Illegal flag for RDS: 0 (0)\n"));
    RDS *idx = rds_open(4, 4, 1, &c, 0, RDS_INDEXED);
    ASSERT_NE(idx, nullptr);
    EXPECT_TRUE(rec.logged("Illegal flag for RDS: 10 (10)\n"));
    RDS *both = rds_open(4, 4, 1, &c, 0, RDS_COMPRESSED | RDS_INDEXED | RDS_STATUS);
    ASSERT_NE(both, nullptr);
    EXPECT_TRUE(rec.logged("Illegal flag for RDS: 12 (112)\n"));

    /* Opened all the same: a compressed set has no index. */
    rds_stat st{};
    rds_get_stat(both, &st);
    EXPECT_EQ(st.flags & (RDS_COMPRESSED | RDS_INDEXED), RDS_COMPRESSED);
    rds_get_stat(idx, &st);
    EXPECT_NE(st.flags & RDS_INDEXED, 0);
    unsigned char row[4] = {0, 0, 0, 9};
    for (RDS *s : {none, idx, both}) {
        ASSERT_EQ(rds_put_seq(s, row), 0);
        unsigned char back[4] = {};
        ASSERT_EQ(rds_get_seq(s, back), 0);
        EXPECT_EQ(back[3], 9);
    }
}

TEST_F(RdsOpen, StatusBlockAddsOneBytePerFourColumns)
{
    std::vector<rds_col> cols;
    for (int i = 0; i < 5; i++)
        cols.push_back(col(RDS_BYTE, 1, i));
    RDS *set = rds_open(5, 5, 5, cols.data(), 0, RDS_FIXED | RDS_STATUS);
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.rec_size, 7);
    unsigned char row[7] = {1, 2, 3, 4, 5, 0xe4, 0xc0};
    ASSERT_EQ(rds_put_seq(set, row), 0);
    ASSERT_EQ(rds_put_seq(set, row), 0);
    unsigned char stored[14];
    ASSERT_EQ(rds_read_bytes(set, 0, stored, 14), 0);
    EXPECT_EQ(hex(stored, 14), "01 02 03 04 05 e4 c0 01 02 03 04 05 e4 c0")
        << "row n and its status block at n times the record size";
    /* A larger record given by the caller is kept. */
    RDS *roomy = rds_open(64, 5, 5, cols.data(), 0, RDS_FIXED | RDS_STATUS);
    rds_get_stat(roomy, &st);
    EXPECT_EQ(st.rec_size, 64);
}

TEST_F(RdsOpen, MemoryGroupIsTheSetsOwnUnlessGiven)
{
    rds_col c = col(RDS_LONG, 4, 0);
    RDS *own = rds_open(4, 4, 1, &c, 0, RDS_FIXED);
    rds_stat st{};
    rds_get_stat(own, &st);
    EXPECT_NE(st.flags & RDS_OWN_POOL, 0);
    long id = mal_reserve_id(0, 0);
    RDS *given = rds_open(4, 4, 1, &c, id, RDS_FIXED | RDS_OWN_POOL);
    rds_get_stat(given, &st);
    EXPECT_EQ(st.flags & RDS_OWN_POOL, 0) << "the flag is the set's to decide";
    EXPECT_EQ(rds_close(given), 0);
    EXPECT_EQ(mal_free_id(id), 0) << "closing left the caller's group alone";
    EXPECT_EQ(rds_open(4, 4, 1, &c, 987654, RDS_FIXED), nullptr) << "an unknown group";
    EXPECT_EQ(rds_close(nullptr), -1);
}

TEST_F(RdsOpen, ResetLeavesConstantSetsAloneUnlessForced)
{
    rds_col c = col(RDS_LONG, 4, 0);
    RDS *fixed = rds_open(4, 4, 1, &c, 0, RDS_FIXED | RDS_CONST);
    RDS *plain = rds_open(4, 4, 1, &c, 0, RDS_FIXED);
    unsigned char row[4] = {0, 0, 0, 1};
    ASSERT_EQ(rds_put_seq(fixed, row), 0);
    ASSERT_EQ(rds_put_seq(plain, row), 0);
    long open_before = rds_open_count();
    rds_reset_all(0);
    EXPECT_EQ(rds_full(fixed, 1), 1);
    EXPECT_EQ(rds_full(plain, 1), 0);
    EXPECT_EQ(rds_reset(fixed, 0), 0);
    EXPECT_EQ(rds_full(fixed, 1), 1);
    rds_close_all_non_const();
    EXPECT_EQ(rds_open_count(), open_before - 1);
    EXPECT_EQ(rds_reset(fixed, 1), 0);
    EXPECT_EQ(rds_full(fixed, 1), 0);
    rds_close_all();
    EXPECT_EQ(rds_open_count(), 0);
}

TEST_F(RdsOpen, DumpsDescribeTheSetAndItsRows)
{
    std::vector<rds_col> cols = {col(RDS_LONG, 4, 0), col(RDS_SSTRING, 3, 4), col(RDS_SRAW, 2, 7)};
    RDS *set = rds_open(9, 9, 3, cols.data(), 0, RDS_COMPRESSED);
    unsigned char row[9] = {0xff, 0xff, 0xff, 0xfe, 'a', 'b', ' ', 0x0a, 0xff};
    ASSERT_EQ(rds_put_seq(set, row), 0);
    rds_get_cols(set)[1].state = 2;
    std::memcpy(row, "\0\0\0\7", 4);
    ASSERT_EQ(rds_put_seq(set, row), 0);
    unsigned char first[9];
    ASSERT_EQ(rds_get_seq(set, first), 0);

    STREAM *sp = sopenVariableByteArray("w+", 0, 0);
    ASSERT_NE(sp, nullptr);
    ASSERT_EQ(dump_rds_info(set, sp), 0);
    ASSERT_EQ(dump_rds_cols(set, sp), 0);
    ASSERT_EQ(dump_rds_rows(set, sp), 0);
    void *base = nullptr;
    long length = 0;
    ASSERT_EQ(getByteArrayProperties(sp, &base, &length), 0);
    std::string text(static_cast<char *>(base), static_cast<size_t>(length));
    sclose(sp);
    EXPECT_NE(text.find("flags 042 rec_size 9 row_len 9 columns 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  rows 2 stored 2 read 1 "), std::string::npos) << text;
    EXPECT_NE(text.find("  col 2: string state 2 prev 2 length 3 offset 4 elements 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  row 0: -2 \"ab \" 0aff\n  row 1: 7 <state 2> 0aff\n"), std::string::npos)
        << text;
    /* The caller's read position survives the dump. */
    unsigned char second[9];
    ASSERT_EQ(rds_get_seq(set, second), 0);
    EXPECT_EQ(second[3], 7);
    EXPECT_EQ(dump_rds_info(nullptr, nullptr), -1);
}

/* ---- descriptors from the dictionary ------------------------------------------ */

class RdsDictionary : public RdsTest {
protected:
    void SetUp() override
    {
        RdsTest::SetUp();
        init_local_dd();
        init_dd_mode(1);
    }
};

TEST_F(RdsDictionary, ColumnTypesMapToRowDataTypes)
{
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    struct Want {
        const char *field;
        int type;
        int length;
    };
    const Want wants[] = {{"code", RDS_SSTRING, 6},  {"bval", RDS_BYTE, 1},   {"flag", RDS_BYTE, 1},
                          {"ival", RDS_SHORT, 2},    {"lval", RDS_LONG, 4},   {"fval", RDS_FLOAT, 4},
                          {"dval", RDS_DOUBLE, 8},   {"name", RDS_LSTRING, 20},
                          {"date", RDS_LONG, 4},     {"utc", RDS_LONG, 4},    {"txt", RDS_LONG, 4},
                          {"lv", RDS_LONG, 4},       {"stat", RDS_BYTE, 1},   {"days", RDS_LONG, 4},
                          {"mbname", RDS_LSTRING, 30}, {"rawv", RDS_SRAW, 8}};
    for (const Want &w : wants) {
        SCOPED_TRACE(w.field);
        _dd_column *c = ddcolumn_by_ddtable(t, w.field);
        ASSERT_NE(c, nullptr);
        rds_col d{};
        ASSERT_EQ(make_rds_from_dd(&d, c, 100 + c->offset, 0), 0);
        EXPECT_EQ(d.type, w.type);
        EXPECT_EQ(d.length, w.length);
        EXPECT_EQ(d.offset, 100 + c->offset);
        EXPECT_EQ(d.elements, 1);
        EXPECT_EQ(d.state, RDS_STATE_VALUE);
    }
    rds_col d{};
    ASSERT_EQ(make_rds_from_dd(&d, ddcolumn_by_ddtable(t, "name"), 0, RDS_SSTRING), 0);
    EXPECT_EQ(d.type, RDS_SSTRING) << "the override wins";
    EXPECT_EQ(d.length, 20);

    Recorder rec;
    _dd_column *index = ddcolumn_by_ddtable(t, "_index1");
    ASSERT_NE(index, nullptr);
    ASSERT_EQ(index->type, TDB_COMBINED);
    EXPECT_EQ(make_rds_from_dd(&d, index, 0, 0), -1);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds_dd.cpp:"), 1);
}

TEST_F(RdsDictionary, HandMadeColumnsArraysAndTheWidthBoundary)
{
    _dd_domain dom{};
    dom.width = 9;
    dom.type = TDB_RAW;
    _dd_column c{};
    c.domain = &dom;
    c.type = TDB_RAW;
    c.elements = 1;
    c.length = 9;
    rds_col d{};
    ASSERT_EQ(make_rds_from_dd(&d, &c, 0, 0), 0);
    EXPECT_EQ(d.type, RDS_LRAW);
    /* An array of wide strings stays a short string: each element whole. */
    dom.type = TDB_STRING;
    c.type = TDB_STRING;
    c.elements = 3;
    c.length = 27;
    c.flags = DD_COL_ARRAY;
    ASSERT_EQ(make_rds_from_dd(&d, &c, 4, 0), 0);
    EXPECT_EQ(d.type, RDS_SSTRING);
    EXPECT_EQ(d.length, 9);
    EXPECT_EQ(d.elements, 3);
    c.type = 16;
    Recorder rec;
    EXPECT_EQ(make_rds_from_dd(&d, &c, 0, 0), -1);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds_dd.cpp:"), 1);
}

TEST_F(RdsDictionary, UpdateStoreCarriesHeaderAndStoredColumnsToTheReader)
{
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    RDS *store = rds_open_update_actions(t, 0);
    ASSERT_NE(store, nullptr);
    const int size = 12 + t->row_length;
    EXPECT_EQ(rds_size_of_row(store), size);
    /* Three longs, then the 16 stored columns in offset order (not
     * _dlock, _compnr or the index columns). */
    ASSERT_EQ(rds_get_ncols(store), 3 + 16);
    const rds_col *cols = rds_get_cols(store);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(cols[i].type, RDS_LONG);
        EXPECT_EQ(cols[i].offset, 4 * i);
    }
    EXPECT_EQ(cols[3].offset, 12 + ddcolumn_by_ddtable(t, "code")->offset);
    EXPECT_EQ(cols[18].offset, 12 + ddcolumn_by_ddtable(t, "rawv")->offset);
    for (int i = 4; i < 19; i++)
        EXPECT_GT(cols[i].offset, cols[i - 1].offset);

    /* Three actions on default rows, as the buffering would append them. */
    std::vector<unsigned char> rec(static_cast<size_t>(size));
    std::vector<std::vector<unsigned char>> put;
    for (int n = 0; n < 3; n++) {
        put32(rec.data(), 100 + n);
        put32(rec.data() + 4, 1);
        put32(rec.data() + 8, 0x800000);
        std::memcpy(rec.data() + 12, t->default_row, t->row_length);
        std::memcpy(rec.data() + 12 + ddcolumn_by_ddtable(t, "code")->offset, n == 1 ? "B2    " : "A1    ", 6);
        ASSERT_EQ(rds_put_seq(store, rec.data()), 0);
        put.push_back(rec);
    }
    rds_stat st{};
    rds_get_stat(store, &st);
    std::vector<unsigned char> bytes(static_cast<size_t>(st.bytes));
    ASSERT_EQ(rds_read_bytes(store, 0, bytes.data(), st.bytes), 0);
    /* The second row lists the sequence number and the code only. */
    EXPECT_NE(hex(bytes).find("00 00 00 02 00 01 01 00 00 00 65 00 04 11 42 32 20 20 20 20"),
              std::string::npos)
        << hex(bytes);

    /* The driver side makes the same descriptors from its own dictionary
     * and reads the rows back; _dlock and _compnr do not travel. */
    std::vector<rds_col> theirs(40);
    int n = rds_update_action_cols(t, theirs.data(), 40);
    ASSERT_EQ(n, 19);
    EXPECT_EQ(rds_update_action_cols(t, theirs.data(), 18), -1);
    RDS_READER *r = rds_reader_open(theirs.data(), n, size, bytes.data(), bytes.size());
    ASSERT_NE(r, nullptr);
    std::vector<unsigned char> row(static_cast<size_t>(size));
    const int data = 12 + t->data_length;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(rds_reader_next(r, row.data()), 0);
        EXPECT_EQ(hex(row.data(), static_cast<size_t>(data)), hex(put[i].data(), static_cast<size_t>(data)));
    }
    EXPECT_EQ(rds_reader_next(r, row.data()), RDS_EOS);
    rds_reader_close(r);
}

/* ---- rds_full ----------------------------------------------------------------- */

TEST_F(RdsOpen, FullComparesTheRowsWithTheLimit)
{
    rds_col c = col(RDS_LONG, 4, 0);
    RDS *set = rds_open(4, 4, 1, &c, 0, RDS_COMPRESSED);
    unsigned char row[4] = {};
    EXPECT_EQ(rds_full(set, 1), 0);
    ASSERT_EQ(rds_put_seq(set, row), 0);
    ASSERT_EQ(rds_put_seq(set, row), 0);
    EXPECT_EQ(rds_full(set, 3), 0);
    ASSERT_EQ(rds_put_seq(set, row), 0);
    EXPECT_EQ(rds_full(set, 3), 1);
    EXPECT_EQ(rds_full(set, 2), 1);
    EXPECT_EQ(rds_full(nullptr, 3), 0);
}

/* The default is computed once per process: each case runs in a fresh
 * process (the death-test child re-executes the test program). */
class RdsFullDefault : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

/* Exit code 0 when the default is want and logged exactly once. */
[[noreturn]] void check_default(long want)
{
    Recorder rec;
    long first = rds_full_default();
    long second = rds_full_default();
    rds_col c = col(RDS_LONG, 4, 0);
    RDS *set = rds_open(4, 4, 1, &c, 0, RDS_FIXED);
    unsigned char row[4] = {};
    for (long i = 0; i + 1 < want; i++)
        rds_put_seq(set, row);
    int below = rds_full(set, 0);
    rds_put_seq(set, row);
    int at = rds_full(set, 0);
    bool ok = first == want && second == want && below == 0 && at == 1 &&
              rec.count_prefix("RDS_FULL:") == 1 &&
              rec.logged("RDS_FULL: " + std::to_string(want) + "\n");
    if (!ok)
        std::fprintf(stderr, "default %ld/%ld below %d at %d messages %zu\n", first, second, below,
                     at, rec.messages.size());
    std::exit(ok ? 0 : 1);
}

TEST_F(RdsFullDefault, EnvironmentVariableGivesTheDefault)
{
    EXPECT_EXIT(
        {
            setenv("RDS_FULL", "7", 1);
            check_default(7);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(RdsFullDefault, WithoutVariableOrResourceTheDefaultIsFive)
{
    EXPECT_EXIT(
        {
            unsetenv("RDS_FULL");
            check_default(5);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(RdsFullDefault, VariablesThatAreNoPositiveNumberAreIgnored)
{
    for (const char *bad : {"0", "-3", "abc", "12x", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_EXIT(
            {
                setenv("RDS_FULL", bad, 1);
                check_default(5);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

int g_rds_full_resource = 0;
struct resource g_client_table[] = {
    {"rds_full", &g_rds_full_resource, RES_INT, 0, "9", nullptr, "QP_TEST_RDS_FULL", nullptr},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr}};

TEST_F(RdsFullDefault, ResourceGivesTheDefaultWhenTheVariableDoesNot)
{
    EXPECT_EXIT(
        {
            setenv("RDS_FULL", "abc", 1);
            al_add_resources(g_client_table);
            check_default(9);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("RDS_FULL", "3", 1);
            al_add_resources(g_client_table);
            check_default(3);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
