/*
 * driver_bulk_test.cpp: runs of buffered inserts (request 11) in a real
 * tdb_driver on SQLite and PostgreSQL: the failing row of a run answers as
 * a single insert does, runs mixed with updates and deletes keep the
 * sequence order, awkward rows round-trip byte for byte, tolerated
 * duplicates, and an import of some thousand rows.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backend_support.h"
#include "driver_support.h"
#include "qpd_dd.h"
#include "table_rows.h"
#include "tdb_commu.h"

using namespace drivertest;

namespace {

class DriverBulk : public ::testing::TestWithParam<Backend>, public DriverRequests {
protected:
    DriverBulk() : DriverRequests(backend_name(GetParam())) {}

    void SetUp() override
    {
        root();
        if (GetParam() == Backend::Postgres)
            REQUIRE_PG_TEST_SERVER();
        store = std::make_unique<BackendDb>(GetParam());
        ASSERT_TRUE(c.ok());
        ASSERT_EQ(c.start(store->driver(), store->args()).retval, 0);
        session = c.attach_session();
        ASSERT_GT(session, 0);
    }
    void TearDown() override
    {
        if (store && c.ok() && !detached) {
            EXPECT_EQ(c.detach(), 0);
        }
    }

    bool postgres() const { return GetParam() == Backend::Postgres; }

    /* One value of a query on the test's database. */
    std::string one(const std::string &sql)
    {
        std::vector<std::string> rows = store->query(sql);
        return rows.size() == 1 ? rows[0] : "<" + std::to_string(rows.size()) + " rows>";
    }

    /* The rows the session sees (its open transaction included). */
    long session_count(const char *code, int compnr)
    {
        long count = -1;
        EXPECT_EQ(table(code, compnr, 8, 0, &count), 0);
        return count;
    }

    static std::string code_of(int i)
    {
        char code[16];
        std::snprintf(code, sizeof code, "R%05d", i);
        return code;
    }

    /* The detail text of the duplicate of article A when inserted alone
     * (a single insert never goes in a run). */
    std::string single_insert_detail(int compnr, long seq)
    {
        Store first(demo("dbtst100"));
        first.add(1, 1, 0, article("A").bytes());
        EXPECT_EQ(send_updates({first.table("dbtst100", compnr)}), 0);
        EXPECT_EQ(dbaction(1), 0);
        Store dup(demo("dbtst100"));
        dup.add(seq, 1, 0, article("A").str("name", "again").bytes());
        commu_block reply;
        EXPECT_EQ(send_updates({dup.table("dbtst100", compnr)}, &reply), 520);
        EXPECT_EQ(reply.detail_code, 100);
        EXPECT_EQ(dbaction(3), 0);
        EXPECT_EQ(table("dbtst100", compnr, 5), 0);
        EXPECT_EQ(dbaction(1), 0);
        return reply.detail_text;
    }

    std::unique_ptr<BackendDb> store;
};

} // namespace

TEST_P(DriverBulk, ADuplicateInTheMiddleOfARunAnswersAsASingleInsertAndKeepsTheRowsBefore)
{
    create100(4);
    const std::string alone = single_insert_detail(4, 1234);
    if (postgres()) {
        EXPECT_EQ(alone, "operation 1 (sequence 1234): insert into dbtst100_004: duplicate key "
                         "value violates unique constraint \"dbtst100_004_i1\" (Key (code)=(A) "
                         "already exists.)");
    }

    /* 500 rows, the 235th a duplicate of the 100th. */
    Store updates(demo("dbtst100"));
    for (int i = 1; i <= 500; i++) {
        std::string code = i == 235 ? std::string("A") : code_of(i);
        if (i == 100)
            code = "A";
        updates.add(1000 + i, 1, 0, article(code.c_str()).l("lval", i).bytes());
    }
    commu_block reply;
    ASSERT_EQ(send_updates({updates.table("dbtst100", 4)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100);
    EXPECT_EQ(std::string(reply.detail_table, strnlen(reply.detail_table, 8)), "dbtst100");
    EXPECT_EQ(reply.detail_number, 4);
    std::string expected = alone;
    expected.replace(expected.find("1234"), 4, "1235");
    EXPECT_EQ(reply.detail_text, expected);

    /* The 234 rows before it are in the session's transaction. */
    EXPECT_EQ(session_count("dbtst100", 4), 234);
    std::vector<unsigned char> row;
    EXPECT_EQ(read("dbtst100", 4, article("A").key(), false, &row), 0);
    EXPECT_EQ(row, article("A").l("lval", 100).as_read(4));
    EXPECT_EQ(read("dbtst100", 4, article(code_of(234).c_str()).key(), false, &row), 0);
    EXPECT_EQ(read("dbtst100", 4, article(code_of(236).c_str()).key(), false, &row), 111);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one("SELECT count(*) || '/' || min(lval) || '/' || max(lval) FROM dbtst100_004"),
              "234/1/234");
    if (postgres()) {
        EXPECT_EQ(one("SELECT count(DISTINCT xmin::text) FROM dbtst100_004"), "234")
            << "after the failed run the rows went in one by one";
    }
}

TEST_P(DriverBulk, AFailingFirstOrLastRowOfARunIsNamedWithItsSequence)
{
    create100();
    Store first(demo("dbtst100"));
    first.add(1, 1, 0, article("A").bytes());
    first.add(2, 1, 0, article("Z").bytes());
    ASSERT_EQ(send_updates({first.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);

    Store head(demo("dbtst100"));
    head.add(10, 1, 0, article("A").bytes());
    for (int i = 1; i <= 20; i++)
        head.add(10 + i, 1, 0, article(code_of(i).c_str()).bytes());
    commu_block reply;
    ASSERT_EQ(send_updates({head.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100);
    EXPECT_EQ(reply.detail_text.rfind("operation 1 (sequence 10): insert into dbtst100_000: ", 0), 0u)
        << reply.detail_text;
    EXPECT_EQ(session_count("dbtst100", 0), 2);
    ASSERT_EQ(dbaction(3), 0);

    Store tail(demo("dbtst100"));
    for (int i = 1; i <= 20; i++)
        tail.add(100 + i, 1, 0, article(code_of(i).c_str()).bytes());
    tail.add(121, 1, 0, article("Z").bytes());
    ASSERT_EQ(send_updates({tail.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100);
    EXPECT_EQ(reply.detail_text.rfind("operation 1 (sequence 121): insert into dbtst100_000: ", 0), 0u)
        << reply.detail_text;
    EXPECT_EQ(session_count("dbtst100", 0), 22);
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), "2");
}

TEST_P(DriverBulk, RunsMixedWithUpdatesAndDeletesOfTwoTablesKeepTheSequenceOrder)
{
    create100(0);
    create100(1);
    Store zero(demo("dbtst100"));
    Store one_(demo("dbtst100"));
    /* Company 0: five inserts, an update and a delete of rows just
     * inserted, more inserts, a delete then a new insert of the same key. */
    for (int i = 1; i <= 5; i++)
        zero.add(i, 1, 0, article(code_of(i).c_str()).l("lval", i).bytes());
    zero.add(6, 3, 0, article(code_of(3).c_str()).l("lval", 300).bytes());
    zero.add(7, 2, 0, article(code_of(2).c_str()).bytes());
    /* Company 1's inserts come between company 0's by sequence. */
    for (int i = 8; i <= 10; i++)
        one_.add(i, 1, 0, article(code_of(i).c_str()).l("lval", i).bytes());
    for (int i = 11; i <= 14; i++)
        zero.add(i, 1, 0, article(code_of(i).c_str()).l("lval", i).bytes());
    one_.add(15, 3, 0, article(code_of(9).c_str()).l("lval", 900).bytes());
    zero.add(16, 2, 0, article(code_of(12).c_str()).bytes());
    zero.add(17, 1, 0, article(code_of(12).c_str()).l("lval", 1200).bytes());
    zero.add(18, 1, 0, article(code_of(2).c_str()).l("lval", 200).bytes());
    one_.add(19, 1, 0, article(code_of(19).c_str()).l("lval", 19).bytes());
    one_.add(20, 1, 0, article(code_of(20).c_str()).l("lval", 20).bytes());
    ASSERT_EQ(send_updates({zero.table("dbtst100", 0), one_.table("dbtst100", 1)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(store->query("SELECT code, lval FROM dbtst100_000 ORDER BY code"),
              (std::vector<std::string>{"R00001|1", "R00002|200", "R00003|300", "R00004|4",
                                        "R00005|5", "R00011|11", "R00012|1200", "R00013|13",
                                        "R00014|14"}));
    EXPECT_EQ(store->query("SELECT code, lval FROM dbtst100_001 ORDER BY code"),
              (std::vector<std::string>{"R00008|8", "R00009|900", "R00010|10", "R00019|19",
                                        "R00020|20"}));
}

TEST_P(DriverBulk, AnUpdateOfARowMissingAfterARunStopsThereWithTheRunApplied)
{
    create100();
    Store updates(demo("dbtst100"));
    for (int i = 1; i <= 10; i++)
        updates.add(i, 1, 0, article(code_of(i).c_str()).bytes());
    updates.add(11, 3, 0, article("NOPE").bytes());
    for (int i = 12; i <= 20; i++)
        updates.add(i, 1, 0, article(code_of(i).c_str()).bytes());
    commu_block reply;
    ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 111);
    EXPECT_EQ(reply.detail_text.rfind("operation 3 (sequence 11): ", 0), 0u) << reply.detail_text;
    EXPECT_EQ(session_count("dbtst100", 0), 10);
}

TEST_P(DriverBulk, AwkwardRowsOfARunRoundTripByteForByte)
{
    create100(7);
    const _dd_table *t = demo("dbtst100");
    std::vector<Row> rows;
    rows.push_back(article("MAX")
                       .b("bval", 255).b("flag", 2).s("ival", 32767).l("lval", INT32_MAX)
                       .f("fval", std::numeric_limits<float>::max())
                       .d("dval", std::numeric_limits<double>::max())
                       .l("date", 3652059).l("utc", INT32_MAX).l("txt", INT32_MAX)
                       .l("lv", INT32_MAX).b("stat", 255).l("days", -1)
                       .str("mbname", "\x9b\x81\x9c\xad\xe9t\x9b\x87\xec\x80")
                       .raw("rawv", std::string("\xff\x00\x01\x00\x00\x00\x00\x02", 8)));
    rows.push_back(article("MIN")
                       .b("bval", 0).s("ival", -32768).l("lval", INT32_MIN)
                       .f("fval", -std::numeric_limits<float>::max())
                       .d("dval", -std::numeric_limits<double>::denorm_min())
                       .l("utc", INT32_MIN).l("lv", INT32_MIN).str("mbname", "").raw("rawv", ""));
    rows.push_back(article("TINY")
                       .f("fval", std::numeric_limits<float>::denorm_min())
                       .d("dval", std::numeric_limits<double>::min())
                       .raw("rawv", std::string("\x00\x00\x7f", 3)));
    rows.push_back(article("INF").f("fval", -std::numeric_limits<float>::infinity())
                       .d("dval", std::numeric_limits<double>::infinity()));
    rows.push_back(article("NEG").f("fval", -0.0f).d("dval", -0.0));
    rows.push_back(article("NAN").f("fval", std::nanf("")).d("dval", std::nan("0x12345")));
    rows.push_back(article("NUL").str("mbname", std::string("a\0b", 3)));
    rows.push_back(article("THIRD").f("fval", 1.0f / 3.0f).d("dval", 0.1));
    Store updates(t);
    long seq = 10;
    for (const Row &r : rows)
        updates.add(seq++, 1, 0, r.bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 7)}), 0);
    ASSERT_EQ(dbaction(1), 0);

    for (const Row &r : rows) {
        std::vector<unsigned char> got;
        ASSERT_EQ(read("dbtst100", 7, r.key(), false, &got), 0);
        EXPECT_EQ(got, r.as_read(7)) << std::string(reinterpret_cast<const char *>(r.key().data()), 5);
    }
    EXPECT_EQ(session_count("dbtst100", 7), static_cast<long>(rows.size()));
    if (!postgres())
        return;
    /* The run went in as one statement: every row has the transaction id
     * of its savepoint (row by row each gets its own). */
    EXPECT_EQ(one("SELECT count(DISTINCT xmin::text) FROM dbtst100_007"), "1");
    /* What PostgreSQL holds: the exact values where it keeps them, the
     * nearest forms and the row image where not. */
    EXPECT_EQ(one("SELECT concat_ws('|', bval, ival, lval, fval, dval, date, days, mbname,"
                  " encode(rawv, 'hex'), tdb_row IS NULL) FROM dbtst100_007 WHERE code = 'MAX'"),
              "255|32767|2147483647|3.4028235e+38|1.7976931348623157e+308|3652059|-1|"
              "\xe4\xb8\xad\xc3\xa9t\xf0\x9f\x98\x80|ff00010000000002|t");
    EXPECT_EQ(one("SELECT concat_ws('|', ival, lval, fval, dval, length(mbname), length(rawv),"
                  " tdb_row IS NULL) FROM dbtst100_007 WHERE code = 'MIN'"),
              "-32768|-2147483648|-3.4028235e+38|-5e-324|0|0|t");
    EXPECT_EQ(one("SELECT concat_ws('|', fval, dval, encode(rawv, 'hex'), tdb_row IS NULL)"
                  " FROM dbtst100_007 WHERE code = 'TINY'"),
              "1e-45|2.2250738585072014e-308|00007f|t");
    EXPECT_EQ(one("SELECT concat_ws('|', fval, dval, tdb_row IS NULL) FROM dbtst100_007"
                  " WHERE code = 'INF'"),
              "-Infinity|Infinity|t");
    EXPECT_EQ(one("SELECT concat_ws('|', fval, dval, tdb_row IS NULL) FROM dbtst100_007"
                  " WHERE code = 'NEG'"),
              "-0|-0|t");
    EXPECT_EQ(one("SELECT concat_ws('|', fval IS NULL, dval IS NULL, length(tdb_row))"
                  " FROM dbtst100_007 WHERE code = 'NAN'"),
              "t|t|" + std::to_string(t->data_length));
    EXPECT_EQ(one("SELECT concat_ws('|', mbname, length(tdb_row)) FROM dbtst100_007"
                  " WHERE code = 'NUL'"),
              "a?b|" + std::to_string(t->data_length));
    EXPECT_EQ(one("SELECT concat_ws('|', fval, dval, tdb_row IS NULL) FROM dbtst100_007"
                  " WHERE code = 'THIRD'"),
              "0.33333334|0.1|t");
}

TEST_P(DriverBulk, TolerantInsertsSkipDuplicatesInsideALongRun)
{
    create100();
    Store updates(demo("dbtst100"));
    for (int i = 1; i <= 10; i++)
        updates.add(i, 1, 0, article(code_of(i).c_str()).l("lval", i).bytes());
    updates.add(11, 1, 0x10, article(code_of(3).c_str()).l("lval", 333).bytes());
    updates.add(12, 1, 0x10, article(code_of(12).c_str()).l("lval", 12).bytes());
    for (int i = 13; i <= 20; i++)
        updates.add(i, 1, 0, article(code_of(i).c_str()).l("lval", i).bytes());
    updates.add(21, 1, 0x10, article(code_of(20).c_str()).l("lval", 2000).bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    /* Rows 1-10, 12 and 13-20, those of 3 and 20 as first inserted. */
    EXPECT_EQ(one("SELECT count(*) || '/' || sum(lval) FROM dbtst100_000"), "19/199");
}

TEST_P(DriverBulk, AnImportOfThousandsOfRowsWithCommitsThenEndImportRestoresTheIndexes)
{
    create100();
    const std::string indexes =
        postgres() ? "SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes"
                     " WHERE schemaname = '" + store->where() + "' AND tablename = 'dbtst100_000'"
                   : "SELECT group_concat(name, ',') FROM (SELECT name FROM"
                     " pragma_index_list('dbtst100_000') ORDER BY name)";
    EXPECT_EQ(one(indexes), "dbtst100_000_i1,dbtst100_000_i2");
    ASSERT_EQ(table("dbtst100", 0, 11), 0);
    EXPECT_EQ(one(indexes), "dbtst100_000_i1");
    long seq = 1;
    for (int chunk = 0; chunk < 3; chunk++) {
        Store updates(demo("dbtst100"));
        for (int i = 0; i < 1000; i++, seq++)
            updates.add(seq, 1, 0x800000,
                        article(code_of(static_cast<int>(seq)).c_str())
                            .l("lval", seq * 7).d("dval", static_cast<double>(seq) / 3)
                            .bytes());
        ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}), 0);
        ASSERT_EQ(dbaction(1), 0);
        EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), std::to_string(1000 * (chunk + 1)));
    }
    if (postgres()) {
        EXPECT_EQ(one("SELECT count(DISTINCT xmin::text) FROM dbtst100_000"), "3")
            << "one COPY per request";
    }
    /* A duplicate during the import still answers for its row. */
    Store dup(demo("dbtst100"));
    dup.add(seq, 1, 0, article("NEW").bytes());
    dup.add(seq + 1, 1, 0, article(code_of(1500).c_str()).bytes());
    commu_block reply;
    ASSERT_EQ(send_updates({dup.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100);
    EXPECT_EQ(reply.detail_text.rfind("operation 1 (sequence " + std::to_string(seq + 1) + "): ", 0),
              0u)
        << reply.detail_text;
    ASSERT_EQ(dbaction(3), 0);
    ASSERT_EQ(table("dbtst100", 0, 12), 0);
    EXPECT_EQ(one(indexes), "dbtst100_000_i1,dbtst100_000_i2");
    EXPECT_EQ(one("SELECT count(*) || '/' || sum(lval) FROM dbtst100_000"), "3000/31510500");
    std::vector<unsigned char> row;
    ASSERT_EQ(read("dbtst100", 0, article(code_of(2345).c_str()).key(), false, &row), 0);
    EXPECT_EQ(row, article(code_of(2345).c_str()).l("lval", 2345 * 7).d("dval", 2345.0 / 3)
                       .as_read(0));
}

INSTANTIATE_TEST_SUITE_P(Backends, DriverBulk,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(backend_name(info.param));
                         });
