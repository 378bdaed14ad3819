/*
 * qp_rds_index_test.cpp: comparison of columns and rows, the index with its
 * binary search, descending columns and status blocks, positioned inserts
 * and deletes, unique and group inserts.
 */
#include <cstring>

#include "qp_test_support.h"

using namespace qptest;

namespace {

/* Rows of a long (offset 0) and a 4-byte string (offset 4). */
struct LS {
    unsigned char b[9] = {};
    LS(long l, const char *s, unsigned char status = 0)
    {
        put32(b, l);
        std::memset(b + 4, ' ', 4);
        std::memcpy(b + 4, s, std::strlen(s));
        b[8] = status;
    }
};

std::vector<rds_col> ls_cols() { return {col(RDS_LONG, 4, 0), col(RDS_SSTRING, 4, 4)}; }

/* Reads the whole set as "long:string" items. */
std::string contents(RDS *set)
{
    std::string out;
    unsigned char row[16];
    rds_start_get_seq(set);
    while (rds_get_seq(set, row) == 0) {
        if (!out.empty())
            out += ' ';
        std::string text(reinterpret_cast<char *>(row + 4), 4);
        text.erase(text.find_last_not_of(' ') + 1);
        out += std::to_string(get32(row)) + ":" + text;
    }
    return out;
}

using RdsIndex = RdsTest;

class RdsOrder : public RdsTest, public ::testing::WithParamInterface<int> {};

TEST_P(RdsOrder, NegativeColumnNumberSortsThatColumnDescending)
{
    auto cols = ls_cols();
    RDS *set = rds_open(8, 8, 2, cols.data(), 0, GetParam());
    ASSERT_NE(set, nullptr);
    const int order[] = {-2, 1, 0};
    for (auto r : {LS(1, "b"), LS(2, "a"), LS(3, "b"), LS(4, "c"), LS(5, "a"), LS(0, "b")})
        ASSERT_EQ(rds_put_order(set, r.b, order), 0);
    EXPECT_EQ(contents(set), "4:c 0:b 1:b 3:b 2:a 5:a");

    const int asc[] = {2, 1, 0};
    EXPECT_LT(rds_compare(set, LS(9, "a").b, LS(1, "b").b, asc, nullptr, nullptr), 0);
    EXPECT_GT(rds_compare(set, LS(9, "a").b, LS(1, "b").b, nullptr, nullptr, nullptr), 0)
        << "without a list every column counts, the first first";

    /* Binary search with the same list: first occurrence, or the place. */
    long pos = -1;
    const int by_string[] = {-2, 0};
    EXPECT_EQ(rds_srch(set, LS(0, "b").b, &pos, nullptr, by_string), 1);
    EXPECT_EQ(pos, 1);
    EXPECT_EQ(rds_srch(set, LS(0, "bb").b, &pos, nullptr, by_string), 0);
    EXPECT_EQ(pos, 1);
    EXPECT_EQ(rds_srch(set, LS(3, "b").b, &pos, nullptr, order), 1);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(rds_srch(set, LS(6, "a").b, &pos, nullptr, order), 0);
    EXPECT_EQ(pos, 6);
    EXPECT_EQ(rds_srch(set, LS(0, "z").b, &pos, nullptr, order), 0);
    EXPECT_EQ(pos, 0);
}

INSTANTIATE_TEST_SUITE_P(IndexedAndPlain, RdsOrder,
                         ::testing::Values(RDS_FIXED | RDS_INDEXED, RDS_FIXED));

TEST_F(RdsIndex, StatusBlocksOrderByStateBeforeValue)
{
    auto cols = ls_cols();
    RDS *set = rds_open(8, 8, 2, cols.data(), 0, RDS_FIXED | RDS_INDEXED | RDS_STATUS);
    ASSERT_NE(set, nullptr);
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.rec_size, 9) << "two columns take one status byte";
    const int by_long[] = {1, 0};
    /* Column 1's state sits in the two high bits of the status byte. */
    ASSERT_EQ(rds_put_order(set, LS(5, "a", 0x00).b, by_long), 0);
    ASSERT_EQ(rds_put_order(set, LS(9, "c", 0x80).b, by_long), 0);
    ASSERT_EQ(rds_put_order(set, LS(3, "b", 0x00).b, by_long), 0);
    ASSERT_EQ(rds_put_order(set, LS(1, "d", 0x40).b, by_long), 0);
    ASSERT_EQ(rds_put_order(set, LS(7, "e", 0x80).b, by_long), 0);
    ASSERT_EQ(rds_put_order(set, LS(2, "f", 0x30).b, by_long), 0);
    /* State 0 by value, then state 1, then state 2 (equal states that are
     * not 0 are equal whatever the values: arrival order). Column 2's
     * state of the last row does not matter for column 1. */
    EXPECT_EQ(contents(set), "2:f 3:b 5:a 1:d 9:c 7:e");
    unsigned char row[9];
    ASSERT_EQ(rds_get_idx(set, row, 3), 0);
    EXPECT_EQ(row[8], 0x40) << "the status block is read back with the row";

    long pos = -1;
    EXPECT_EQ(rds_srch(set, LS(100, "x", 0x80).b, &pos, nullptr, by_long), 1);
    EXPECT_EQ(pos, 4);
    EXPECT_EQ(rds_srch(set, LS(4, "x", 0x00).b, &pos, nullptr, by_long), 0);
    EXPECT_EQ(pos, 2);

    EXPECT_LT(rds_compare_col(set, 1, LS(9, "").b, LS(1, "").b, "\x40", "\x80"), 0);
    EXPECT_EQ(rds_compare_col(set, 1, LS(9, "").b, LS(1, "").b, "\xc0", "\xc0"), 0);
    EXPECT_GT(rds_compare_col(set, 1, LS(9, "").b, LS(1, "").b, "\x00", "\x00"), 0);
    EXPECT_GT(rds_compare_col(set, 1, LS(9, "").b, LS(1, "").b, nullptr, "\x80"), 0)
        << "states count only when both blocks are given";
}

TEST_F(RdsIndex, EveryTypeComparesByItsOwnRules)
{
    std::vector<rds_col> cols = {col(RDS_BYTE, 1, 0),    col(RDS_SHORT, 2, 1),
                                 col(RDS_LONG, 4, 3),    col(RDS_FLOAT, 4, 7),
                                 col(RDS_DOUBLE, 8, 11), col(RDS_SSTRING, 4, 19),
                                 col(RDS_SRAW, 2, 23),   col(RDS_LSTRING, 10, 25),
                                 col(RDS_LRAW, 10, 35),  col(12, 4, 0),
                                 col(RDS_SHORT, 2, 45, 2)};
    RDS *set = rds_open(49, 49, static_cast<int>(cols.size()), cols.data(), 0, RDS_FIXED);
    ASSERT_NE(set, nullptr);
    unsigned char a[49], b[49];
    std::memset(a, 0, sizeof a);
    std::memset(b, 0, sizeof b);
    a[0] = 200;
    b[0] = 100;
    put16(a + 1, -1);
    put16(b + 1, 1);
    put32(a + 3, -70000);
    put32(b + 3, 5);
    float fa = -1.5f, fb = 0.25f;
    std::memcpy(a + 7, &fa, 4);
    std::memcpy(b + 7, &fb, 4);
    double da = 1e300, db = -1e300;
    std::memcpy(a + 11, &da, 8);
    std::memcpy(b + 11, &db, 8);
    std::memcpy(a + 19, "abc ", 4);
    std::memcpy(b + 19, "abd ", 4);
    a[23] = 0x80;
    b[23] = 0x7f;
    std::memcpy(a + 25, "x         ", 10);
    std::memcpy(b + 25, "x         ", 10);
    a[35] = 1;
    b[35] = 1;
    b[44] = 9;
    put16(a + 45, 3);
    put16(b + 45, 3);
    put16(a + 47, -4);
    put16(b + 47, 2);

    EXPECT_GT(rds_compare_col(set, 1, a, b, nullptr, nullptr), 0) << "bytes are unsigned";
    EXPECT_LT(rds_compare_col(set, 2, a, b, nullptr, nullptr), 0) << "shorts are signed";
    EXPECT_LT(rds_compare_col(set, 3, a, b, nullptr, nullptr), 0) << "longs are signed";
    EXPECT_LT(rds_compare_col(set, 4, a, b, nullptr, nullptr), 0);
    EXPECT_GT(rds_compare_col(set, 5, a, b, nullptr, nullptr), 0);
    EXPECT_LT(rds_compare_col(set, 6, a, b, nullptr, nullptr), 0);
    EXPECT_GT(rds_compare_col(set, 7, a, b, nullptr, nullptr), 0) << "raw bytes are unsigned";
    EXPECT_EQ(rds_compare_col(set, 8, a, b, nullptr, nullptr), 0);
    EXPECT_LT(rds_compare_col(set, 9, a, b, nullptr, nullptr), 0);
    EXPECT_LT(rds_compare_col(set, 11, a, b, nullptr, nullptr), 0)
        << "array elements compare in turn";
    EXPECT_EQ(rds_compare_col(set, 5, a, a, nullptr, nullptr), 0);

    Recorder rec;
    EXPECT_EQ(rds_compare_col(set, 10, a, b, nullptr, nullptr), 0);
    EXPECT_TRUE(rec.logged("Unknown type 12 in rds_compare_col"));
}

TEST_F(RdsIndex, PositionedInsertsAndDeletesKeepReadOrder)
{
    for (int flags : {RDS_FIXED | RDS_INDEXED, RDS_FIXED}) {
        SCOPED_TRACE(flags);
        auto cols = ls_cols();
        RDS *set = rds_open(8, 8, 2, cols.data(), 0, flags);
        for (long v : {10, 20, 30, 40})
            ASSERT_EQ(rds_put_seq(set, LS(v, "r").b), 0);
        unsigned char row[8];
        ASSERT_EQ(rds_get_seq(set, row), 0);
        ASSERT_EQ(rds_get_seq(set, row), 0);
        EXPECT_EQ(get32(row), 20);
        ASSERT_EQ(rds_del_curr(set), 0);
        ASSERT_EQ(rds_get_seq(set, row), 0);
        EXPECT_EQ(get32(row), 30);
        ASSERT_EQ(rds_put_back(set, LS(35, "p").b), 0);
        ASSERT_EQ(rds_put_first(set, LS(5, "f").b), 0);
        EXPECT_EQ(contents(set), "5:f 10:r 35:p 40:r");
        ASSERT_EQ(rds_put_idx(set, LS(38, "i").b, 3, 0), 0);
        ASSERT_EQ(rds_put_idx(set, LS(50, "e").b, 5, 0), 0);
        EXPECT_EQ(contents(set), "5:f 10:r 35:p 38:i 40:r 50:e");
        ASSERT_EQ(rds_del_idx(set, 0), 0);
        ASSERT_EQ(rds_get_idx(set, row, 2), 0);
        EXPECT_EQ(get32(row), 38);
        ASSERT_EQ(rds_get_seq(set, row), 0);
        EXPECT_EQ(get32(row), 40);
        EXPECT_EQ(rds_get_idx(set, row, 5), RDS_EOS);
        rds_stat st{};
        rds_get_stat(set, &st);
        EXPECT_EQ(st.rows, 5);
        /* An indexed set keeps the slots of deleted rows. */
        EXPECT_EQ(st.stored_rows, flags & RDS_INDEXED ? 7 : 5);

        Recorder rec;
        EXPECT_EQ(rds_put_idx(set, row, 7, 0), -1);
        EXPECT_TRUE(rec.logged("InsIdx too large (rds->tot_entry 5 ins_idx 7)\n"));
        EXPECT_EQ(rds_put_idx(set, row, -1, 1), -1);
        EXPECT_EQ(rds_del_idx(set, 5), -1);
        rds_start_get_seq(set);
        EXPECT_EQ(rds_del_curr(set), -1) << "nothing read yet";
        EXPECT_EQ(rds_put_back(set, row), -1);
        ASSERT_EQ(rds_get_seq(set, row), 0);
        EXPECT_EQ(rds_skip_seq(set, 4), 0);
        EXPECT_EQ(rds_get_eos(set), 1);
        rds_start_get_seq(set);
        ASSERT_EQ(rds_skip_seq(set, 1), 0);
        EXPECT_EQ(rds_skip_seq(set, 5), -1);
        EXPECT_TRUE(rec.logged("Skip to high (skip 5 total 5 cur 1)\n"));
        EXPECT_EQ(rds_get_eos(set), 0);
        rds_close(set);
    }
}

TEST_F(RdsIndex, IndexGrowsPast256Entries)
{
    auto cols = ls_cols();
    RDS *set = rds_open(8, 8, 2, cols.data(), 0, RDS_FIXED | RDS_INDEXED);
    for (long v = 0; v < 1000; v++)
        ASSERT_EQ(rds_put_first(set, LS(v, "x").b), 0);
    unsigned char row[8];
    for (long v = 999; v >= 0; v--) {
        ASSERT_EQ(rds_get_seq(set, row), 0);
        ASSERT_EQ(get32(row), v);
    }
    /* The rows themselves lie in arrival order behind the index. */
    unsigned char raw[8];
    ASSERT_EQ(rds_read_bytes(set, 8 * 10, raw, 8), 0);
    EXPECT_EQ(get32(raw), 10);
}

TEST_F(RdsIndex, UniqueInsertsKeepOneOfEach)
{
    auto cols = ls_cols();
    RDS *set = rds_open(8, 8, 2, cols.data(), 0, RDS_FIXED | RDS_INDEXED);
    const int key[] = {2, 0};
    EXPECT_EQ(rds_put_unique(set, LS(1, "m").b, key), 1);
    EXPECT_EQ(rds_put_unique(set, LS(2, "a").b, key), 1);
    EXPECT_EQ(rds_put_unique(set, LS(3, "m").b, key), 0);
    EXPECT_EQ(rds_put_unique(set, LS(4, "z").b, key), 1);
    EXPECT_EQ(contents(set), "2:a 1:m 4:z");

    RDS *strings = rds_open_set(10, QP_TYPE_STRING, 0);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(rds_get_cols(strings)[0].type, RDS_LSTRING);
    EXPECT_EQ(rds_put_unique_value(strings, "pear"), 1);
    EXPECT_EQ(rds_put_unique_value(strings, "apple"), 1);
    EXPECT_EQ(rds_put_unique_value(strings, "pear"), 0);
    EXPECT_EQ(rds_put_unique_value(strings, "fig"), 1);
    unsigned char s[10];
    ASSERT_EQ(rds_get_seq(strings, s), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s), 10), "apple     ");
    ASSERT_EQ(rds_get_seq(strings, s), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s), 10), "fig       ");
    ASSERT_EQ(rds_get_seq(strings, s), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s), 10), "pear      ");
    EXPECT_EQ(rds_get_seq(strings, s), RDS_EOS);

    RDS *shorts = rds_open_set(8, QP_TYPE_STRING, 0);
    EXPECT_EQ(rds_get_cols(shorts)[0].type, RDS_SSTRING);

    RDS *ints = rds_open_set(0, QP_TYPE_INTEGER, 0);
    long v = 5;
    EXPECT_EQ(rds_put_unique_value(ints, &v), 1);
    v = -3;
    EXPECT_EQ(rds_put_unique_value(ints, &v), 1);
    v = 5;
    EXPECT_EQ(rds_put_unique_value(ints, &v), 0);
    unsigned char l[4];
    ASSERT_EQ(rds_get_seq(ints, l), 0);
    EXPECT_EQ(hex(l, 4), "ff ff ff fd");
    ASSERT_EQ(rds_get_seq(ints, l), 0);
    EXPECT_EQ(get32(l), 5);

    RDS *doubles = rds_open_set(0, QP_TYPE_DOUBLE, 0);
    for (double d : {2.5, -1.0, 2.5, 0.125})
        rds_put_unique_value(doubles, &d);
    double d = 0;
    ASSERT_EQ(rds_get_seq(doubles, &d), 0);
    EXPECT_EQ(d, -1.0);
    ASSERT_EQ(rds_get_seq(doubles, &d), 0);
    EXPECT_EQ(d, 0.125);
    ASSERT_EQ(rds_get_seq(doubles, &d), 0);
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(rds_get_seq(doubles, &d), RDS_EOS);

    Recorder rec;
    EXPECT_EQ(rds_open_set(4, 36, 0), nullptr);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds.cpp:"), 1);
    EXPECT_EQ(rds_put_unique_value(set, "x"), -1) << "not a set of rds_open_set";
}

/* Group rows: key (4-byte string), long sum, long count, short min, short
 * max, double sum. */
struct G {
    unsigned char b[24] = {};
    G(const char *k, long sum, int lo, int hi, double d)
    {
        std::memset(b, ' ', 4);
        std::memcpy(b, k, std::strlen(k));
        put32(b + 4, sum);
        put32(b + 8, 77);
        put16(b + 12, lo);
        put16(b + 14, hi);
        std::memcpy(b + 16, &d, 8);
    }
};

TEST_F(RdsIndex, GroupInsertsApplyTheirFunctionsPerColumn)
{
    std::vector<rds_col> cols = {col(RDS_SSTRING, 4, 0), col(RDS_LONG, 4, 4),
                                 col(RDS_LONG, 4, 8),    col(RDS_SHORT, 2, 12),
                                 col(RDS_SHORT, 2, 14),  col(RDS_DOUBLE, 8, 16)};
    RDS *set = rds_open(24, 24, 6, cols.data(), 0, RDS_FIXED | RDS_INDEXED);
    const int funcs[] = {RDS_FN_KEY, RDS_FN_SUM, RDS_FN_COUNT, RDS_FN_MIN, RDS_FN_MAX, RDS_FN_SUM};
    EXPECT_EQ(rds_put_group(set, G("b", 1, 7, 7, 0.25).b, funcs), 1);
    EXPECT_EQ(rds_put_group(set, G("a", 10, 5, 5, 1.5).b, funcs), 1);
    EXPECT_EQ(rds_put_group(set, G("a", 5, -2, 9, 1.0).b, funcs), 0);
    EXPECT_EQ(rds_put_group(set, G("a", -20, 3, 3, 0.5).b, funcs), 0);
    unsigned char row[24];
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row), 4), "a   ");
    EXPECT_EQ(get32(row + 4), -5);
    EXPECT_EQ(get32(row + 8), 3);
    EXPECT_EQ(hex(row + 12, 4), "ff fe 00 09");
    double d;
    std::memcpy(&d, row + 16, 8);
    EXPECT_EQ(d, 3.0);
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row), 4), "b   ");
    EXPECT_EQ(get32(row + 8), 1) << "a new group counts one row";

    /* rds_upd_group on a position. */
    const int set_first[] = {RDS_FN_KEEP, RDS_FN_SET, RDS_FN_KEEP, RDS_FN_KEEP, RDS_FN_KEEP,
                             RDS_FN_KEEP};
    ASSERT_EQ(rds_upd_group(set, 1, G("zz", 99, 0, 0, 0).b, set_first), 0);
    ASSERT_EQ(rds_get_idx(set, row, 1), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row), 4), "b   ");
    EXPECT_EQ(get32(row + 4), 99);

    /* Arithmetic on strings is refused before anything changes. */
    Recorder rec;
    const int bad[] = {RDS_FN_SUM, RDS_FN_SET, RDS_FN_SET, RDS_FN_SET, RDS_FN_SET, RDS_FN_SET};
    EXPECT_EQ(rds_upd_group(set, 0, G("q", 1, 1, 1, 1).b, bad), -1);
    EXPECT_TRUE(rec.logged("Illegal function for strings\n"));
    std::vector<rds_col> scols = {col(RDS_LSTRING, 12, 0), col(RDS_LONG, 4, 12)};
    RDS *s2 = rds_open(16, 16, 2, scols.data(), 0, RDS_FIXED);
    const int count_string[] = {RDS_FN_COUNT, RDS_FN_KEY};
    EXPECT_EQ(rds_put_group(s2, G("a", 1, 1, 1, 1).b, count_string), -1);
    EXPECT_EQ(rec.count_prefix("Illegal function for strings"), 2);
    ASSERT_EQ(rds_get_idx(set, row, 0), 0);
    EXPECT_EQ(get32(row + 4), -5);

    /* Without group columns the whole set is one group. */
    std::vector<rds_col> one = {col(RDS_LONG, 4, 0)};
    RDS *total = rds_open(4, 4, 1, one.data(), 0, RDS_FIXED);
    const int sum[] = {RDS_FN_SUM};
    unsigned char v[4];
    for (long x : {3, 4, 5}) {
        put32(v, x);
        ASSERT_GE(rds_put_group(total, v, sum), 0);
    }
    ASSERT_EQ(rds_get_seq(total, v), 0);
    EXPECT_EQ(get32(v), 12);
    EXPECT_EQ(rds_get_seq(total, v), RDS_EOS);
}

} // namespace
