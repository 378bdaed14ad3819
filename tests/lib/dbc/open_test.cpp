/*
 * Table handles and company cursors: bind entries and descriptors, every
 * conversion between bound variables and the row buffer, tdb_open's
 * refusals, company cursors over the servers of the tabledef (audit
 * servers, which are never attached), duplication records, parking and
 * reuse of cursors with the 509 checks, mapping and closing.
 */
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "al_float.h"
#include "al_log.h"
#include "c_client.h"
#include "c_commu.h"
#include "c_open.h"
#include "c_state.h"
#include "commu_support.h"
#include "compnr.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "qpd_rdic.h"
#include "run_program.h"
#include "tdb_api.h"
#include "yy_expr.h"

using namespace commutest;

namespace {

std::string g_log;
void capture_log(const char *message) { g_log += message; }

using Bytes = std::vector<unsigned char>;

/* ---- conversions on bare descriptors ------------------------------------------------------ */

tdb_bind_desc desc(int col_class, int var_class, void *var, int length = 0, int elements = 1,
                   int digits = 0, int mode = 0)
{
    tdb_bind_desc d;
    d.address = var;
    d.col_class = static_cast<unsigned char>(col_class);
    d.var_class = static_cast<unsigned char>(var_class);
    d.length = static_cast<unsigned short>(length);
    d.offset = 2;
    d.elements = static_cast<unsigned char>(elements);
    d.digits = static_cast<unsigned char>(digits);
    d.round_mode = static_cast<unsigned char>(mode);
    return d;
}

/* The row bytes a variable gives (row offset 2, 0xEE around it). */
template <typename V> Bytes to_row(int col_class, int var_class, V value, int nbytes,
                                   int digits = 0, int mode = 0)
{
    unsigned char row[16];
    std::memset(row, 0xEE, sizeof row);
    tdb_bind_desc d = desc(col_class, var_class, &value, sizeof value, 1, digits, mode);
    system_to_independent(&d, row);
    EXPECT_EQ(row[1], 0xEE);
    EXPECT_EQ(row[2 + nbytes], 0xEE) << "wrote behind the column";
    return Bytes(row + 2, row + 2 + nbytes);
}

/* The variable that row bytes give. */
template <typename V> V from_row(int col_class, int var_class, const Bytes &bytes, int digits = 0,
                                 int mode = 0)
{
    unsigned char row[16];
    std::memset(row, 0xEE, sizeof row);
    std::memcpy(row + 2, bytes.data(), bytes.size());
    V value;
    std::memset(&value, 0xEE, sizeof value);
    tdb_bind_desc d = desc(col_class, var_class, &value, sizeof value, 1, digits, mode);
    independent_to_system(&d, row);
    return value;
}

Bytes float_bytes(float f)
{
    Bytes b(4);
    std::memcpy(b.data(), &f, 4);
    return b;
}

Bytes double_bytes(double d)
{
    Bytes b(8);
    std::memcpy(b.data(), &d, 8);
    return b;
}

} // namespace

TEST(BindEntry, Has32BytesWithTheFieldsInTheirPlaces)
{
    EXPECT_EQ(sizeof(tdb_bind_entry), 32u);
    EXPECT_EQ(offsetof(tdb_bind_entry, address), 0u);
    EXPECT_EQ(offsetof(tdb_bind_entry, length), 4u);
    EXPECT_EQ(offsetof(tdb_bind_entry, elements), 6u);
    EXPECT_EQ(offsetof(tdb_bind_entry, column), 8u);
    EXPECT_EQ(offsetof(tdb_bind_entry, type), 26u);
    EXPECT_EQ(offsetof(tdb_bind_entry, address_high), 28u);
    int var = 0;
    tdb_bind_entry e;
    tdb_set_bind_entry(&e, &var, 4, 1, "dbtst100.lval_and_more_than_17", TDB_LONG);
    EXPECT_EQ(tdb_bind_entry_address(&e), &var);
    EXPECT_STREQ(e.column, "dbtst100.lval_and");
    EXPECT_EQ(e.length, 4);
    EXPECT_EQ(e.elements, 1);
    EXPECT_EQ(e.type, TDB_LONG);
}

TEST(BindClasses, EnumIsAByteDatesAndSetsAre32BitAndOthersStay)
{
    EXPECT_EQ(tdb_type_class(TDB_ENUM), 1);
    for (int t : {TDB_DATE, TDB_TIME, TDB_TEXT, TDB_LONG_V, TDB_SET})
        EXPECT_EQ(tdb_type_class(t), 3) << t;
    for (int t : {TDB_BYTE, TDB_INTEGER, TDB_LONG, TDB_FLOAT, TDB_DOUBLE, TDB_STRING,
                  TDB_COMBINED, TDB_MBSTRING, TDB_RAW})
        EXPECT_EQ(tdb_type_class(t), t) << t;
}

TEST(BindConversion, IntoByteColumnsTheLowestByte)
{
    EXPECT_EQ(to_row(1, 1, static_cast<uint8_t>(0xAB), 1), (Bytes{0xAB}));
    EXPECT_EQ(to_row(1, 2, static_cast<int16_t>(0x1234), 1), (Bytes{0x34}));
    EXPECT_EQ(to_row(1, 3, static_cast<int32_t>(0x12345678), 1), (Bytes{0x78}));
}

TEST(BindConversion, Into16BitColumnsBigEndian)
{
    EXPECT_EQ(to_row(2, 2, static_cast<int16_t>(-2), 2), (Bytes{0xFF, 0xFE}));
    EXPECT_EQ(to_row(2, 1, static_cast<uint8_t>(0x80), 2), (Bytes{0x00, 0x80}));
    EXPECT_EQ(to_row(2, 3, static_cast<int32_t>(0x12345678), 2), (Bytes{0x56, 0x78}));
}

TEST(BindConversion, Into32BitColumnsSignExtendedFrom16BitsZeroExtendedFromBytes)
{
    EXPECT_EQ(to_row(3, 3, static_cast<int32_t>(0x12345678), 4), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(to_row(3, 2, static_cast<int16_t>(-2), 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(to_row(3, 1, static_cast<uint8_t>(0xFE), 4), (Bytes{0x00, 0x00, 0x00, 0xFE}));
}

TEST(BindConversion, FloatAndDoubleColumnsRoundWhatChangesWidth)
{
    EXPECT_EQ(to_row(4, 4, 1.2345678f, 4), float_bytes(1.2345678f)) << "as it is";
    EXPECT_EQ(to_row(4, 5, 1.23456, 4, 2, 0), float_bytes(1.23f));
    EXPECT_EQ(to_row(5, 5, 1.23456789, 8), double_bytes(1.23456789)) << "as it is";
    /* 0.1f widened is 0.100000001490116...; four digits make it 0.1. */
    EXPECT_EQ(to_row(5, 4, 0.1f, 8, 4, 0), double_bytes(0.1));
    EXPECT_NE(double_bytes(static_cast<double>(0.1f)), double_bytes(0.1));
}

TEST(BindConversion, RoundingFollowsTheDomainsMode)
{
    EXPECT_EQ(to_row(4, 5, 1.235, 4, 2, 1), float_bytes(1.24f)) << "half away from zero";
    EXPECT_EQ(to_row(4, 5, 1.239, 4, 2, 0), float_bytes(1.23f)) << "toward zero";
    EXPECT_EQ(to_row(4, 5, 1.231, 4, 2, 2), float_bytes(1.24f)) << "away from zero";
    EXPECT_EQ(to_row(4, 5, -1.231, 4, 2, 2), float_bytes(-1.24f));
    EXPECT_EQ(to_row(4, 5, 1.239, 4, 2, 7), float_bytes(1.23f)) << "other modes: toward zero";
    /* Too few significant digits for the decimals: the value is kept. */
    EXPECT_EQ(to_row(5, 5, 1e14, 8, 2, 1), double_bytes(1e14));
    double big = 1e14;
    EXPECT_EQ(b_round(&big, 2, 1), -1);
    EXPECT_EQ(big, 1e14);
}

TEST(BindConversion, StringClassesCopyTheTransferLength)
{
    char var[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    for (int cls : {TDB_STRING, TDB_MBSTRING, TDB_RAW}) {
        unsigned char row[16];
        std::memset(row, 0xEE, sizeof row);
        tdb_bind_desc d = desc(cls, cls, var, 3);
        system_to_independent(&d, row);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(row + 2), 3), "abc");
        EXPECT_EQ(row[5], 0xEE);
        char back[8];
        std::memset(back, '.', sizeof back);
        tdb_bind_desc b = desc(cls, cls, back, 3);
        independent_to_system(&b, row);
        EXPECT_EQ(std::string(back, 4), "abc.");
    }
}

TEST(BindConversion, FromByteColumns)
{
    EXPECT_EQ(from_row<uint8_t>(1, 1, {0xAB}), 0xAB);
    EXPECT_EQ(from_row<int16_t>(1, 2, {0xFE}), 254) << "zero-extended";
    EXPECT_EQ(from_row<int32_t>(1, 3, {0xFE}), 254) << "zero-extended";
}

TEST(BindConversion, From16BitColumns)
{
    EXPECT_EQ(from_row<uint8_t>(2, 1, {0x00, 0x80}), 0x80);
    EXPECT_EQ(from_row<int16_t>(2, 2, {0xFF, 0xFE}), -2);
    EXPECT_EQ(from_row<int32_t>(2, 3, {0xFF, 0xFE}), -2) << "sign-extended";
}

TEST(BindConversion, From32BitColumns)
{
    const Bytes v{0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(from_row<uint8_t>(3, 1, v), 0x78);
    EXPECT_EQ(from_row<int16_t>(3, 2, v), 0x5678);
    EXPECT_EQ(from_row<int32_t>(3, 3, v), 0x12345678);
    EXPECT_EQ(from_row<int32_t>(3, 3, {0xFF, 0xFF, 0xFF, 0xFE}), -2);
}

TEST(BindConversion, FromFloatAndDoubleColumns)
{
    EXPECT_EQ(from_row<float>(4, 4, float_bytes(1.2345678f)), 1.2345678f);
    EXPECT_EQ(from_row<float>(5, 4, double_bytes(1.23456), 2, 0), 1.23f) << "rounded, narrowed";
    EXPECT_EQ(from_row<double>(5, 5, double_bytes(1.23456789)), 1.23456789);
    EXPECT_EQ(from_row<double>(4, 5, float_bytes(0.1f), 4, 0), 0.1) << "widened, rounded";
}

TEST(BindConversion, ArraysConvertElementByElement)
{
    int16_t var[3] = {1, -2, 300};
    unsigned char row[16];
    std::memset(row, 0xEE, sizeof row);
    tdb_bind_desc d = desc(3, 2, var, sizeof var, 3);
    system_to_independent(&d, row);
    EXPECT_EQ(Bytes(row + 2, row + 14),
              (Bytes{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0x01, 0x2C}));
    int16_t back[3] = {0, 0, 0};
    tdb_bind_desc b = desc(3, 2, back, sizeof back, 3);
    independent_to_system(&b, row);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], -2);
    EXPECT_EQ(back[2], 300);
    /* Two elements of three: the third stays. */
    int16_t two[3] = {0, 0, 77};
    tdb_bind_desc t = desc(3, 2, two, sizeof two, 2);
    independent_to_system(&t, row);
    EXPECT_EQ(two[1], -2);
    EXPECT_EQ(two[2], 77);
}

TEST(BindConversion, ClassesThatDoNotFitAreNeverConverted)
{
    int32_t var = 5;
    unsigned char row[16];
    std::memset(row, 0xEE, sizeof row);
    tdb_bind_desc d = desc(TDB_STRING, 3, &var, 4);
    system_to_independent(&d, row);
    tdb_bind_desc f = desc(4, 3, &var, 4);
    system_to_independent(&f, row);
    for (unsigned char b : row)
        EXPECT_EQ(b, 0xEE);
    independent_to_system(&f, row);
    EXPECT_EQ(var, 5);
}

/* ---- handles and cursors ------------------------------------------------------------------ */

namespace {

class Open : public ::testing::Test {
protected:
    void SetUp() override
    {
        tdb_api_reset();
        reset_state();
        reset_tdb_msg();
        qpd::reset_server_lists();
        compnrClientReset();
        g_log.clear();
        log_set_log_hook(capture_log);
        tabledef("dbtst:*:audit(one)&audit(two)\n");
        tdb_info.logged_on = 1;
        trans_id = tdb_start_session("opentest");
        ASSERT_EQ(trans_id, 1u);
        trans = tdb_get_trans_by_id(trans_id);
        ASSERT_NE(trans, nullptr);
    }
    void TearDown() override
    {
        log_set_log_hook(nullptr);
        tdb_api_reset();
        reset_state();
        std::remove((root() + "/lib/compnr6.2").c_str());
        std::remove((root() + "/lib/tabledef6.2").c_str());
        compnrClientReset();
        qpd::reset_server_lists();
    }

    /* A new tabledef for the rest of the test. */
    void tabledef(const std::string &text)
    {
        tdbtest::TempDir::writeAt(root(), "lib/tabledef6.2", text);
        qpd::reset_server_lists();
    }

    tdb_handle *open_row(const char *table = "dbtst100", int compnr = 100)
    {
        tdb_handle *h = nullptr;
        EXPECT_EQ(tdb_open(&h, table, compnr, row, 0, trans_id), 0) << tdb_errno;
        return h;
    }

    /* Makes the update store of the cursor's table hold one row. */
    void buffer_one_row(tdb_cursor_use *cursor)
    {
        RDS *store = tdb_dup_store(cursor->instance->dup, false);
        ASSERT_NE(store, nullptr);
        std::vector<unsigned char> rec(static_cast<size_t>(rds_size_of_row(store)), 0);
        ASSERT_EQ(rds_put_seq(store, rec.data()), 0);
        ASSERT_TRUE(tdb_dup_holds_rows(cursor->instance->dup));
    }

    static int count(const tdb_cursor_use *list)
    {
        int n = 0;
        for (; list; list = list->next)
            ++n;
        return n;
    }

    static int count_dups()
    {
        int n = 0;
        for (const tdb_duplicate *d = tdb_info.duplicates; d; d = d->next)
            ++n;
        return n;
    }

    unsigned trans_id = 0;
    tdb_trans *trans = nullptr;
    unsigned char row[DD_MAX_ROW] = {};
};

} // namespace

TEST_F(Open, ARowBufferHandleIsLocalAndKeepsItsDefault)
{
    tdb_handle *h = open_row("dbtst100", 100);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(trans->handles, h);
    EXPECT_EQ(h->trans, trans);
    EXPECT_EQ(h->table, ddtable("dbtst100"));
    EXPECT_EQ(h->row, row);
    EXPECT_EQ(h->nr_binds, 0);
    EXPECT_EQ(h->default_compnr, 100);
    EXPECT_EQ(h->cursors, nullptr);
    EXPECT_EQ(tdb_get_nr_drivers(), 0) << "no driver at open";
    EXPECT_EQ(tdb_set_default_compnr(h, 5), 0);
    EXPECT_EQ(h->default_compnr, 5);
    EXPECT_EQ(tdb_set_default_compnr(h, 1000), -1);
    EXPECT_EQ(tdb_errno, 519);
    EXPECT_EQ(h->default_compnr, 5);
    EXPECT_EQ(tdb_set_default_compnr(h, -1), -1);
    EXPECT_EQ(h->default_compnr, 5);
    EXPECT_EQ(tdb_set_default_compnr(h, 999), 0);
    EXPECT_EQ(h->default_compnr, 999);
    EXPECT_EQ(tdb_close(h), 0);
    EXPECT_EQ(trans->handles, nullptr);
}

TEST_F(Open, RefusalsGiveTheirCodesAndMessages)
{
    tdb_handle *h = reinterpret_cast<tdb_handle *>(1);
    EXPECT_EQ(tdb_open(&h, nullptr, 100, row, 0, trans_id), -1);
    EXPECT_EQ(tdb_errno, 215);
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(g_log.find("No table-name specified"), std::string::npos) << g_log;
    g_log.clear();
    EXPECT_EQ(tdb_open(&h, "", 100, row, 0, trans_id), -1);
    EXPECT_EQ(tdb_errno, 215);
    EXPECT_NE(g_log.find("No table-name specified"), std::string::npos);
    EXPECT_EQ(tdb_open(&h, "dbtst999", 100, row, 0, trans_id), -1);
    EXPECT_EQ(tdb_errno, 513);
    EXPECT_NE(g_log.find("No DD found for dbtst999"), std::string::npos) << g_log;
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, row, 0, 7), -1);
    EXPECT_EQ(tdb_errno, 518);
    EXPECT_NE(g_log.find("Invalid transaction id 7 specified."), std::string::npos);
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, nullptr, 0, trans_id), -1);
    EXPECT_EQ(tdb_errno, 503);
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, row, -1, trans_id), -1);
    EXPECT_EQ(tdb_errno, 102);

    int32_t lval = 0;
    tdb_bind_entry e[2];
    tdb_set_bind_entry(&e[0], &lval, 4, 1, "dbtst100.lval", TDB_LONG);
    tdb_set_bind_entry(&e[1], nullptr, 4, 1, "dbtst100.ival", TDB_LONG);
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, e, 2, trans_id), -1);
    EXPECT_EQ(tdb_errno, 503);
    g_log.clear();
    tdb_set_bind_entry(&e[1], &lval, 4, 1, "dbtst100.nosuch", TDB_LONG);
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, e, 2, trans_id), -1);
    EXPECT_EQ(tdb_errno, 504);
    EXPECT_NE(g_log.find("Invalid column 'dbtst100.nosuch'"), std::string::npos) << g_log;
    /* A column of another table is no column of this one. */
    tdb_set_bind_entry(&e[1], &lval, 4, 1, "dbtst107.id", TDB_LONG);
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, e, 2, trans_id), -1);
    EXPECT_EQ(tdb_errno, 504);
    EXPECT_NE(g_log.find("Invalid column 'dbtst107.id'"), std::string::npos);
    /* Classes that do not fit. */
    for (int type : {TDB_STRING, TDB_FLOAT, 0, 16}) {
        tdb_set_bind_entry(&e[1], &lval, 4, 1, "dbtst100.lval", type);
        EXPECT_EQ(tdb_open(&h, "dbtst100", 100, e, 2, trans_id), -1) << type;
        EXPECT_EQ(tdb_errno, 504);
    }
    tdb_set_bind_entry(&e[1], &lval, 4, 1, "dbtst100.fval", TDB_LONG);
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, e, 2, trans_id), -1);
    EXPECT_EQ(tdb_errno, 504);
    EXPECT_EQ(trans->handles, nullptr) << "no handle after a refusal";

    tdb_info.logged_on = 0;
    EXPECT_EQ(tdb_open(&h, "dbtst100", 100, row, 0, trans_id), -1);
    EXPECT_EQ(tdb_errno, 508);
}

TEST_F(Open, ADateColumnTakesA16BitVariableAStringColumnDoesNot)
{
    int16_t day = 3;
    tdb_bind_entry e;
    tdb_set_bind_entry(&e, &day, 2, 1, "dbtst100.date", TDB_INTEGER);
    tdb_handle *h = nullptr;
    ASSERT_EQ(tdb_open(&h, "dbtst100", 100, &e, 1, trans_id), 0) << tdb_errno;
    EXPECT_EQ(h->binds[0].col_class, 3);
    EXPECT_EQ(h->binds[0].var_class, 2);
    tdb_set_bind_entry(&e, &day, 2, 1, "dbtst100.name", TDB_INTEGER);
    tdb_handle *h2 = nullptr;
    EXPECT_EQ(tdb_open(&h2, "dbtst100", 100, &e, 1, trans_id), -1);
    EXPECT_EQ(tdb_errno, 504);
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, BoundVariablesPassThroughTheRowOfTheTable)
{
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    char code[10];
    std::memcpy(code, "ABCDEFGHIJ", 10);
    int16_t lval = -2;    /* into TDB_LONG */
    uint8_t ival = 0;     /* a byte variable for TDB_INTEGER */
    double fval = 1.23456; /* into the float column, 2 digits */
    float dval = 0.1f;     /* into the double column, 4 digits */
    int32_t stat = 2;      /* an enum column from a 32-bit variable */
    tdb_bind_entry e[6];
    tdb_set_bind_entry(&e[0], code, 10, 1, "dbtst100.code", TDB_STRING);
    tdb_set_bind_entry(&e[1], &lval, 2, 1, "dbtst100.lval", TDB_INTEGER);
    tdb_set_bind_entry(&e[2], &ival, 1, 1, "dbtst100.ival", TDB_BYTE);
    tdb_set_bind_entry(&e[3], &fval, 8, 1, "dbtst100.fval", TDB_DOUBLE);
    tdb_set_bind_entry(&e[4], &dval, 4, 1, "dbtst100.dval", TDB_FLOAT);
    tdb_set_bind_entry(&e[5], &stat, 4, 3, "dbtst100.stat", TDB_LONG);
    tdb_handle *h = nullptr;
    ASSERT_EQ(tdb_open(&h, "dbtst100", 100, e, 6, trans_id), 0) << tdb_errno;
    EXPECT_EQ(h->nr_binds, 6);
    const _dd_column *ccode = ddcolumn_by_ddtable(t, "code");
    const _dd_column *clval = ddcolumn_by_ddtable(t, "lval");
    const _dd_column *cival = ddcolumn_by_ddtable(t, "ival");
    const _dd_column *cfval = ddcolumn_by_ddtable(t, "fval");
    const _dd_column *cdval = ddcolumn_by_ddtable(t, "dval");
    const _dd_column *cstat = ddcolumn_by_ddtable(t, "stat");
    ASSERT_TRUE(ccode && clval && cival && cfval && cdval && cstat);
    /* Descriptors. */
    EXPECT_EQ(h->binds[0].length, ccode->length) << "a string longer than its column";
    EXPECT_EQ(h->binds[0].offset, ccode->offset);
    EXPECT_EQ(h->binds[1].length, 2);
    EXPECT_EQ(h->binds[3].digits, 2);
    EXPECT_EQ(h->binds[4].digits, 4);
    EXPECT_EQ(h->binds[5].col_class, 1);
    EXPECT_EQ(h->binds[5].elements, 1) << "the smaller of 3 and the column's elements";
    EXPECT_EQ(h->compnr_bind, nullptr);

    std::vector<unsigned char> buf(t->row_length, 0xEE);
    ival = 9;
    ASSERT_EQ(tdb_bind_to_buf(h, buf.data()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&buf[ccode->offset]), ccode->length), "ABCDEF");
    EXPECT_EQ(Bytes(&buf[clval->offset], &buf[clval->offset] + 4),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(Bytes(&buf[cival->offset], &buf[cival->offset] + 2), (Bytes{0x00, 0x09}));
    EXPECT_EQ(float_out(&buf[cfval->offset]), 1.23f);
    EXPECT_EQ(double_out(&buf[cdval->offset]), 0.1);
    EXPECT_EQ(buf[cstat->offset], 2);

    /* Back: 00 80 into the byte variable. */
    buf[cival->offset] = 0x00;
    buf[cival->offset + 1] = 0x80;
    std::memcpy(&buf[ccode->offset], "XYZXYZ", 6);
    std::memset(code, '.', sizeof code);
    ASSERT_EQ(tdb_buf_to_bind(h, buf.data()), 0);
    EXPECT_EQ(ival, 0x80);
    EXPECT_EQ(lval, -2);
    EXPECT_EQ(std::string(code, 10), "XYZXYZ....") << "the column's length only";
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, TheCompanyNumberPassesThroughItsBindOrTheRow)
{
    const _dd_table *t = ddtable("dbtst100");
    int32_t compnr = 0;
    tdb_bind_entry e;
    tdb_set_bind_entry(&e, &compnr, 4, 1, "dbtst100._compnr", TDB_LONG);
    tdb_handle *h = nullptr;
    ASSERT_EQ(tdb_open(&h, "dbtst100", 100, &e, 1, trans_id), 0) << tdb_errno;
    ASSERT_NE(h->compnr_bind, nullptr);
    EXPECT_EQ(h->compnr_bind->offset, t->data_length + 4);
    put_compnr_in_bind(h, nullptr, 321);
    EXPECT_EQ(compnr, 321);
    compnr = 654;
    EXPECT_EQ(get_compnr_from_bind(h, nullptr), 654);
    EXPECT_EQ(tdb_close(h), 0);

    tdb_handle *r = open_row();
    put_compnr_in_bind(r, nullptr, 0x123);
    EXPECT_EQ(row[t->data_length + 4], 0x01);
    EXPECT_EQ(row[t->data_length + 5], 0x23);
    EXPECT_EQ(get_compnr_from_bind(r, nullptr), 0x123);
    EXPECT_EQ(tdb_close(r), 0);
}

TEST_F(Open, TheFirstUseMakesOneCursorPerServerSharingAnInstance)
{
    const _dd_table *t = ddtable("dbtst100");
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0) << tdb_errno;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->mark, TDB_CURSOR_VALID);
    EXPECT_EQ(c->copy, 0);
    EXPECT_EQ(c->compnr, 100);
    EXPECT_EQ(h->cursors, c);
    EXPECT_EQ(c->handle, h);
    EXPECT_EQ(tdb_get_nr_drivers(), 2);
    tdb_instance *in = c->instance;
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->logical, 100);
    EXPECT_EQ(in->physical, 100);
    EXPECT_EQ(in->row.size(), static_cast<size_t>(t->row_length) + 2);
    EXPECT_EQ(in->keys.size(), static_cast<size_t>(2 * tdb_max_key_size_of_table(t) + 244));
    EXPECT_EQ(in->bound, row);
    EXPECT_EQ(in->cur_index, 1);
    /* The second server is an audit driver: its cursor is on the audit
     * list, not in the copy chain. */
    EXPECT_EQ(c->next_copy, nullptr);
    ASSERT_NE(in->audit, nullptr);
    EXPECT_EQ(in->audit->copy, 1);
    EXPECT_EQ(in->audit->instance, in);
    EXPECT_EQ(in->audit->primary, c);
    EXPECT_NE(in->audit->table, c->table);
    EXPECT_EQ(in->read_cursor, c);
    ASSERT_NE(in->dup, nullptr);
    EXPECT_EQ(in->dup->users, 2);
    EXPECT_EQ(in->dup->key, tdb_get_table_key(t, 100, false));
    EXPECT_EQ(c->table->key, in->dup->key);
    EXPECT_EQ(std::string(c->table->name), "dbtst100");

    /* The same company again: the same cursor. */
    tdb_cursor_use *again = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&again, h, 100), 0);
    EXPECT_EQ(again, c);
    /* Another company: its own cursors, table records and duplication. */
    tdb_cursor_use *other = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&other, h, 200), 0);
    EXPECT_NE(other, c);
    EXPECT_NE(other->table, c->table);
    EXPECT_EQ(other->table->session, c->table->session) << "same session, another record";
    EXPECT_NE(other->instance->dup, in->dup);
    EXPECT_EQ(h->cursors, other);
    EXPECT_EQ(count_dups(), 2);
    EXPECT_EQ(tdb_get_internal_cursor(&other, h, -1), -1);
    EXPECT_EQ(tdb_errno, 519);

    /* A second handle in the same transaction shares the duplication
     * record; another transaction has its own. */
    tdb_handle *h2 = open_row();
    tdb_cursor_use *c2 = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c2, h2, 100), 0);
    EXPECT_NE(c2, c);
    EXPECT_EQ(c2->instance->dup, in->dup);
    EXPECT_EQ(in->dup->users, 4);
    EXPECT_EQ(c2->table, c->table) << "one table record per session and key";
    const unsigned other_id = tdb_start_session("other");
    tdb_handle *h3 = nullptr;
    ASSERT_EQ(tdb_open(&h3, "dbtst100", 100, row, 0, other_id), 0);
    tdb_cursor_use *c3 = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c3, h3, 100), 0);
    EXPECT_NE(c3->instance->dup, in->dup);
    EXPECT_NE(c3->table, c->table);
    EXPECT_EQ(c3->table->key, c->table->key) << "the key is process-wide";

    tdb_duplicate *dup = in->dup;
    EXPECT_EQ(tdb_close(h2), 0);
    EXPECT_EQ(dup->users, 2);
    EXPECT_EQ(tdb_close(h), 0);
    EXPECT_EQ(count_dups(), 1) << "released with their last cursor";
    EXPECT_EQ(count(c3->table->cursors), 1);
    EXPECT_EQ(tdb_close(h3), 0);
    EXPECT_EQ(count_dups(), 0);
}

TEST_F(Open, ReferencesDisabledSwitchesThemOffOnNewCursors)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    EXPECT_EQ(c->instance->ref_progress, 0);
    tdb_disable_references();
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 101), 0);
    EXPECT_EQ(c->instance->ref_progress, -1);
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, AMappedCompanyOpensThePhysicalCompanysCursor)
{
    tdbtest::TempDir::writeAt(root(), "lib/compnr6.2", "db:100:200,300\n");
    compnrClientReset();
    tdb_handle *h = open_row("dbtst100", 200);
    tdb_cursor_use *c = nullptr;
    TDB_DEBUG = TDB_DEBUG_TREE;
    testing::internal::CaptureStderr();
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 200), 0) << tdb_errno;
    const std::string err = testing::internal::GetCapturedStderr();
    TDB_DEBUG = 0;
    EXPECT_NE(err.find("Warning: compnr 200 mapped to 100 for dbtst100\n"), std::string::npos)
        << err;
    EXPECT_EQ(c->compnr, 100);
    EXPECT_EQ(c->instance->logical, 200);
    EXPECT_EQ(c->instance->physical, 100);
    /* 300 maps to the same physical company: same key and table record,
     * and in this transaction the same duplication record. */
    tdb_cursor_use *c300 = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c300, h, 300), 0);
    EXPECT_NE(c300, c);
    EXPECT_EQ(c300->table, c->table);
    EXPECT_EQ(c300->instance->dup, c->instance->dup);
    /* An unmapped company keeps its number, without the warning. */
    testing::internal::CaptureStderr();
    TDB_DEBUG = TDB_DEBUG_TREE;
    tdb_cursor_use *c7 = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c7, h, 7), 0);
    TDB_DEBUG = 0;
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("mapped"), std::string::npos);
    EXPECT_EQ(c7->compnr, 7);
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, ClosingWithBufferedUpdatesParksAndTheNextOpenTakesThemBack)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    tdb_cursor_use *audit = c->instance->audit;
    tdb_table_use *first = c->table;
    tdb_table_use *second = audit->table;
    tdb_duplicate *dup = c->instance->dup;
    buffer_one_row(c);

    ASSERT_EQ(tdb_close(h), 0);
    EXPECT_EQ(trans->handles, nullptr);
    EXPECT_EQ(first->cursors, nullptr);
    EXPECT_EQ(first->parked, c);
    EXPECT_EQ(second->parked, audit);
    EXPECT_EQ(c->mark, TDB_CURSOR_VALID) << "parked, not closed";
    EXPECT_EQ(c->instance->bound, nullptr);
    EXPECT_EQ(dup->users, 2);

    /* A reopen in the same session takes the parked cursors back. */
    unsigned char row2[DD_MAX_ROW];
    tdb_handle *h2 = nullptr;
    ASSERT_EQ(tdb_open(&h2, "dbtst100", 100, row2, 0, trans_id), 0);
    tdb_cursor_use *again = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&again, h2, 100), 0) << tdb_errno;
    EXPECT_EQ(again, c);
    EXPECT_EQ(first->cursors, c);
    EXPECT_EQ(first->parked, nullptr);
    EXPECT_EQ(second->cursors, audit);
    EXPECT_EQ(second->parked, nullptr);
    EXPECT_EQ(c->instance->bound, row2);
    EXPECT_EQ(c->handle, h2);
    EXPECT_EQ(dup->users, 2);
    EXPECT_EQ(count_dups(), 1);

    /* Parked again; once the updates went the parked cursors close. */
    ASSERT_EQ(tdb_close(h2), 0);
    EXPECT_EQ(first->parked, c);
    rds_reset(dup->updates, 1);
    EXPECT_EQ(tdb_close_parked(first), 0);
    EXPECT_EQ(first->parked, nullptr);
    EXPECT_EQ(second->parked, nullptr);
    EXPECT_EQ(count_dups(), 0);

    /* Without buffered rows a close closes. */
    tdb_handle *h3 = open_row();
    ASSERT_EQ(tdb_get_internal_cursor(&c, h3, 100), 0);
    ASSERT_EQ(tdb_close(h3), 0);
    EXPECT_EQ(first->parked, nullptr);
    EXPECT_EQ(first->cursors, nullptr);
    EXPECT_EQ(count_dups(), 0);
}

TEST_F(Open, ReferenceCountUpdatesAlsoKeepCursorsParked)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    RDS *store = tdb_dup_store(c->instance->dup, true);
    ASSERT_NE(store, nullptr);
    std::vector<unsigned char> rec(static_cast<size_t>(rds_size_of_row(store)), 0);
    ASSERT_EQ(rds_put_seq(store, rec.data()), 0);
    tdb_table_use *first = c->table;
    ASSERT_EQ(tdb_close(h), 0);
    EXPECT_EQ(first->parked, c);
    /* A stopping session closes parked cursors too. */
    ASSERT_EQ(tdb_logoff(), 0) << tdb_errno;
    EXPECT_EQ(count_dups(), 0);
}

TEST_F(Open, ParkedCursorsThatDoNotFormAWholeChainGive509)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    tdb_cursor_use *audit = c->instance->audit;
    tdb_table_use *first = c->table;
    tdb_table_use *second = audit->table;
    buffer_one_row(c);
    ASSERT_EQ(tdb_close(h), 0);

    /* The primary is not parked (moved back by hand). */
    first->parked = nullptr;
    c->next = first->cursors;
    first->cursors = c;
    tdb_handle *h2 = open_row();
    tdb_cursor_use *x = nullptr;
    EXPECT_EQ(tdb_get_internal_cursor(&x, h2, 100), -1);
    EXPECT_EQ(tdb_errno, 509);
    EXPECT_NE(g_log.find("Copy cursor of server 1 is pending but cursor of server 0 is not "
                         "pending"),
              std::string::npos)
        << g_log;
    EXPECT_EQ(h2->cursors, nullptr);
    EXPECT_EQ(count(first->cursors), 1) << "nothing left behind";
    EXPECT_EQ(count(second->cursors), 0);

    /* The primary parked, its audit cursor not. */
    first->cursors = nullptr;
    c->next = nullptr;
    first->parked = c;
    second->parked = nullptr;
    second->cursors = audit;
    audit->next = nullptr;
    g_log.clear();
    EXPECT_EQ(tdb_get_internal_cursor(&x, h2, 100), -1);
    EXPECT_EQ(tdb_errno, 509);
    EXPECT_NE(g_log.find("Copy cursor of server 0 is pending but cursor of server 1 is not "
                         "pending"),
              std::string::npos)
        << g_log;
    EXPECT_EQ(count(second->cursors), 1) << "the cursor made for server 1 went again";

    /* Both parked, but the table now has three servers. */
    second->cursors = nullptr;
    second->parked = audit;
    tabledef("dbtst:*:audit(one)&audit(two)&audit(three)\n");
    g_log.clear();
    EXPECT_EQ(tdb_get_internal_cursor(&x, h2, 100), -1);
    EXPECT_EQ(tdb_errno, 509);
    EXPECT_NE(g_log.find("Number of copy cursors (2) does not equal number of servers (3)"),
              std::string::npos)
        << g_log;
    EXPECT_EQ(first->parked, c);
    EXPECT_EQ(second->parked, audit);
    EXPECT_EQ(tdb_close(h2), 0);
}

TEST_F(Open, CursorChecksAttachAndDetach)
{
    EXPECT_EQ(tdb_cursor_check(nullptr), -1);
    EXPECT_EQ(tdb_errno, 509);
    EXPECT_STREQ(tdberrorstr(509), "Bad memory cursor; bad table pointer specified");
    tdb_cursor_use closed;
    EXPECT_EQ(tdb_cursor_check(&closed), -1);
    EXPECT_EQ(tdb_close_internal(&closed), -1);
    EXPECT_EQ(tdb_errno, 509);

    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    EXPECT_EQ(tdb_cursor_check(c), 0);
    EXPECT_EQ(tdb_attach_cursor(c), 0);
    EXPECT_EQ(c->attached, 1);
    buffer_one_row(c);
    EXPECT_EQ(tdb_detach_cursor(c), 0);
    EXPECT_EQ(c->attached, 0);
    EXPECT_FALSE(tdb_dup_holds_rows(c->instance->dup)) << "detach resets the stores";

    tdb_cursor_use *big = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&big, h, 1000), 0);
    EXPECT_EQ(tdb_attach_cursor(big), -1);
    EXPECT_EQ(tdb_errno, 519);
    EXPECT_NE(g_log.find("Wrong compnr 1000 for 'dbtst100'."), std::string::npos) << g_log;
    EXPECT_EQ(big->attached, 0);
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, ATableWhoseDriverCannotStartOpensAndItsFirstCursorFailsWith505)
{
    tabledef("dbtst:*:sqlite(nowhere)\n");
    tdb_info.start_driver = [](tdb_server *, STREAM **, STREAM **) { return -1; };
    tdb_handle *h = open_row();
    ASSERT_NE(h, nullptr);
    tdb_cursor_use *c = nullptr;
    EXPECT_EQ(tdb_get_internal_cursor(&c, h, 100), -1);
    EXPECT_EQ(tdb_errno, 505);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(h->cursors, nullptr);
    EXPECT_EQ(count_dups(), 0);
    EXPECT_EQ(tdb_get_nr_drivers(), 0);
    EXPECT_EQ(tdb_start_drivers_for_table("dbtst100", 100, trans_id), -1);
    EXPECT_EQ(tdb_errno, 505);
    EXPECT_EQ(tdb_close(h), 0);
    tdb_info.start_driver = nullptr;
}

TEST_F(Open, ATableWithoutServersGives505)
{
    tabledef("other:*:audit\n");
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    EXPECT_EQ(tdb_get_internal_cursor(&c, h, 100), -1);
    EXPECT_EQ(tdb_errno, 505);
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, StartingDriversInAdvanceMakesTheSessionsAndTableRecords)
{
    EXPECT_EQ(tdb_start_drivers_for_table("dbtst100", 100, trans_id), 0) << tdb_errno;
    EXPECT_EQ(tdb_get_nr_drivers(), 2);
    std::vector<tdb_table_use *> records;
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans) {
        ASSERT_NE(s->tables, nullptr);
        EXPECT_EQ(std::string(s->tables->name), "dbtst100");
        EXPECT_EQ(s->tables->cursors, nullptr);
        EXPECT_EQ(s->tables->next, nullptr);
        records.push_back(s->tables);
    }
    ASSERT_EQ(records.size(), 2u);
    /* A cursor later uses those records. */
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    EXPECT_TRUE(c->table == records[0] || c->table == records[1]);
    EXPECT_TRUE(c->instance->audit->table == records[0] ||
                c->instance->audit->table == records[1]);
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans)
        EXPECT_EQ(s->tables->next, nullptr) << "no second record";
    EXPECT_EQ(tdb_get_nr_drivers(), 2);
    EXPECT_EQ(tdb_start_drivers_for_table("dbtst999", 100, trans_id), -1);
    EXPECT_EQ(tdb_errno, 513);
    EXPECT_EQ(tdb_start_drivers_for_table("dbtst100", 1000, trans_id), -1);
    EXPECT_EQ(tdb_errno, 519);
    EXPECT_EQ(tdb_start_drivers_for_table("dbtst100", 100, 9), -1);
    EXPECT_EQ(tdb_errno, 518);
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, AnotherInstanceWithoutDuplicationRecordIsReported)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    tdb_duplicate *lost = c->instance->dup;
    c->instance->dup = nullptr;
    tdb_handle *h2 = open_row();
    tdb_cursor_use *c2 = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c2, h2, 100), 0);
    EXPECT_NE(g_log.find("Warning: No dub-info table dbtst100100"), std::string::npos) << g_log;
    EXPECT_NE(c2->instance->dup, nullptr);
    EXPECT_NE(c2->instance->dup, lost);
    c->instance->dup = lost;
    EXPECT_EQ(tdb_close(h2), 0);
    EXPECT_EQ(tdb_close(h), 0);
    EXPECT_EQ(count_dups(), 0);
}

TEST_F(Open, CloseTraceAndLogoffClosingTheHandles)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    TDB_DEBUG = TDB_DEBUG_CLOSE;
    char expected[128];
    std::snprintf(expected, sizeof expected, "tdb_close      on %8s             (cursor %p)\n",
                  "dbtst100", static_cast<void *>(c));
    testing::internal::CaptureStderr();
    EXPECT_EQ(tdb_close(h), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    TDB_DEBUG = 0;

    /* Logoff closes the handles still open and their cursors. */
    tdb_handle *h2 = open_row();
    ASSERT_EQ(tdb_get_internal_cursor(&c, h2, 100), 0);
    tdb_handle *h3 = open_row("dbtst107", 5);
    ASSERT_EQ(tdb_get_internal_cursor(&c, h3, 5), 0);
    EXPECT_EQ(tdb_logoff(), 0) << tdb_errno;
    EXPECT_EQ(tdb_info.transactions, nullptr);
    EXPECT_EQ(tdb_get_nr_drivers(), 0);
    EXPECT_EQ(count_dups(), 0);
}

TEST_F(Open, ScheduleKeepsSessionsWithOpenCursors)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(tdb_schedule(), 0);
    EXPECT_EQ(tdb_get_nr_drivers(), 2);
    EXPECT_EQ(tdb_close(h), 0);
}

namespace {

FakeDriver *g_old_driver = nullptr;

int start_old_driver(tdb_server *server, STREAM **rd, STREAM **wr)
{
    if (g_old_driver == nullptr)
        return -1;
    g_old_driver->connect(server);
    *rd = server->rd;
    *wr = server->wr;
    server->rd = server->wr = nullptr;
    return 0;
}

/* A driver that speaks SQL protocol 7: it answers the attach and expects
 * to be detached at once. */
bool old_protocol_driver(STREAM *rd, STREAM *wr)
{
    commu_block req;
    for (int code : {5, 6}) {
        if (!read_request(rd, &req, COMMU_EXE_SYSTEM))
            return false;
        EXPECT_EQ(req.code, code);
        commu_block ok;
        ok.kind = COMMU_EXE_SYSTEM;
        if (!write_reply(wr, ok))
            return false;
    }
    if (!read_request(rd, &req, COMMU_ATT_SERVER))
        return false;
    commu_block att;
    att.kind = COMMU_ATT_SERVER;
    att.max_sessions = 4;
    att.driver_pid = 4242;
    att.reply_sql_protocol = 7;
    if (!write_reply(wr, att))
        return false;
    if (!read_request(rd, &req, COMMU_DET_SERVER))
        return false;
    commu_block det;
    det.kind = COMMU_DET_SERVER;
    return write_reply(wr, det);
}

} // namespace

TEST_F(Open, ADriverOfSqlProtocol7IsDetachedAndItsTableCannotBeServed)
{
    tabledef("dbtst:*:sqlite(old)\n");
    tdb_info.start_driver = start_old_driver;
    dd_tabledef servers{};
    ASSERT_EQ(client_get_tabledef("dbtst100", 100, &servers), 0);
    {
        /* The server and session for the table's servers: 511. */
        FakeDriver driver(old_protocol_driver);
        g_old_driver = &driver;
        EXPECT_EQ(get_new_tdb_server_and_session(&servers.server[0], trans, 0), nullptr);
        EXPECT_EQ(tdb_errno, 511);
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
        EXPECT_TRUE(driver.finish(nullptr)) << "the driver saw its detach";
    }
    {
        /* Through a handle: the company's cursor cannot be had. */
        FakeDriver driver(old_protocol_driver);
        g_old_driver = &driver;
        tdb_handle *h = open_row();
        tdb_cursor_use *c = nullptr;
        EXPECT_EQ(tdb_get_internal_cursor(&c, h, 100), -1);
        EXPECT_EQ(tdb_errno, 505);
        EXPECT_EQ(h->cursors, nullptr);
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
        EXPECT_TRUE(driver.finish(nullptr));
        EXPECT_EQ(tdb_close(h), 0);
    }
    g_old_driver = nullptr;
    tdb_info.start_driver = nullptr;
}

TEST_F(Open, ExecServerPassesOverAuditDriversAndChecksTheTransaction)
{
    /* Audit servers only: nothing to send, success. */
    EXPECT_EQ(tdb_start_drivers_for_table("dbtst100", 100, trans_id), 0) << tdb_errno;
    ASSERT_EQ(tdb_get_nr_drivers(), 2);
    const unsigned char item[4] = {0, 0, 0, 1};
    EXPECT_EQ(tdb_exec_server(9, item, 4, trans_id), 0) << tdb_errno;
    for (tdb_server *s = tdb_info.servers; s; s = s->next)
        EXPECT_EQ(s->rd, nullptr) << "never attached";
    g_log.clear();
    EXPECT_EQ(tdb_exec_server(9, item, 4, 77), -1);
    EXPECT_EQ(tdb_errno, 518);
    EXPECT_NE(g_log.find("Invalid transaction id 77 specified."), std::string::npos) << g_log;
}

TEST_F(Open, ASessionThatStopsClosesCopiesTogetherWithTheirPrimary)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    tdb_table_use *first = c->table;
    tdb_session *second = c->instance->audit->table->session;
    ASSERT_NE(second, first->session);
    /* The second server's session goes: its audit cursor takes the
     * primary (in the first session) with it, and the handle loses it. */
    EXPECT_EQ(tdb_free_session_tables(second), 0);
    EXPECT_EQ(second->tables, nullptr);
    EXPECT_EQ(first->cursors, nullptr);
    EXPECT_EQ(h->cursors, nullptr);
    EXPECT_EQ(count_dups(), 0);
    /* The handle makes a new cursor at its next use. */
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    EXPECT_EQ(c->mark, TDB_CURSOR_VALID);
    EXPECT_EQ(tdb_close(h), 0);
}

TEST_F(Open, TheTreePrintoutShowsTheCompanyCursorsOfTheTableRecords)
{
    tdb_handle *h = open_row();
    tdb_cursor_use *c = nullptr;
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 100), 0);
    ASSERT_EQ(tdb_get_internal_cursor(&c, h, 7), 0);
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    ASSERT_NE(out, nullptr);
    tdb_print_tree(out, "attach server");
    std::fclose(out);
    const std::string text(buf, len);
    std::free(buf);
    /* Each session has a record per company, newest first. */
    size_t at = 0;
    int sessions = 0;
    while ((at = text.find("{[1] dbtst100(007) dbtst100(100) }\n", at)) != std::string::npos) {
        ++sessions;
        ++at;
    }
    EXPECT_EQ(sessions, 2) << text;
    EXPECT_EQ(tdb_close(h), 0);
}
