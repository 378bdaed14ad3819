/*
 * driver_table_postgres_test.cpp: table data in a real tdb_driver on
 * PostgreSQL: table actions (request 4), database actions (5), buffered
 * updates built as the client builds them (request 11) and the key read
 * (12), each checked in the database with libpq.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backend_support.h"
#include "driver_support.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "table_rows.h"
#include "tdb_commu.h"

using namespace drivertest;

namespace {

class DriverTablesPostgres : public ::testing::Test, public DriverRequests {
protected:
    DriverTablesPostgres() : DriverRequests("postgres") {}

    void SetUp() override
    {
        root();
        REQUIRE_PG_TEST_SERVER();
        store = std::make_unique<BackendDb>(Backend::Postgres);
        /* A short wait for locks held by another session. */
        ASSERT_TRUE(c.ok());
        ASSERT_EQ(c.start("postgres", pg_test_server() + " options='-csearch_path=" +
                                          store->where() + " -clock_timeout=300'")
                      .retval,
                  0);
        session = c.attach_session();
        ASSERT_GT(session, 0);
    }
    void TearDown() override
    {
        if (store && c.ok() && !detached) {
            EXPECT_EQ(c.detach(), 0);
        }
    }

    /* One value of a query on the schema. */
    std::string one(const std::string &sql)
    {
        std::vector<std::string> rows = store->query(sql);
        return rows.size() == 1 ? rows[0] : "<" + std::to_string(rows.size()) + " rows>";
    }

    std::unique_ptr<BackendDb> store;
};

} // namespace

TEST_F(DriverTablesPostgres, CreateTableMakesTypedColumnsAndTheDatabaseIndexes)
{
    create100(7);
    EXPECT_EQ(store->query("SELECT string_agg(column_name || ':' || data_type, ' '"
                           " ORDER BY ordinal_position) FROM information_schema.columns"
                           " WHERE table_schema = '" + store->where() +
                           "' AND table_name = 'dbtst100_007'"),
              std::vector<std::string>{
                  "code:text bval:smallint flag:smallint ival:smallint lval:integer fval:real "
                  "dval:double precision name:text date:integer utc:integer txt:integer "
                  "lv:integer stat:smallint days:integer mbname:text rawv:bytea tdb_row:bytea"});
    std::string indexes = "SELECT indexname || ':' || (indexdef LIKE 'CREATE UNIQUE%') FROM "
                          "pg_indexes WHERE schemaname = '" + store->where() +
                          "' AND tablename = 'dbtst100_007' ORDER BY indexname";
    EXPECT_EQ(store->query(indexes),
              (std::vector<std::string>{"dbtst100_007_i1:true", "dbtst100_007_i2:false"}))
        << "key 3 has A attribute 0";
    EXPECT_EQ(one("SELECT indexdef FROM pg_indexes WHERE indexname = 'dbtst100_007_i2'"),
              "CREATE INDEX dbtst100_007_i2 ON " + store->where() +
                  ".dbtst100_007 USING btree (name, code)");

    EXPECT_EQ(table("dbtst100", 7, 4), 507);
    EXPECT_EQ(table("dbtst100", 7, 1, 1), 108);
    EXPECT_EQ(table("dbtst100", 7, 1, 3), 0);
    EXPECT_EQ(store->query(indexes).size(), 3u);
    EXPECT_EQ(table("dbtst100", 7, 1, 9999), 0) << "all: those present are skipped";
    EXPECT_EQ(table("dbtst100", 7, 1, 8), 103);
    EXPECT_EQ(table("dbtst100", 7, 2, 2), 0);
    EXPECT_EQ(store->query(indexes),
              (std::vector<std::string>{"dbtst100_007_i1:true", "dbtst100_007_i3:false"}));
    EXPECT_EQ(table("dbtst100", 7, 1, 9999), 0);
    EXPECT_EQ(store->query(indexes).size(), 3u);
}

TEST_F(DriverTablesPostgres, ActionsOnAMissingTableAnswer506)
{
    ASSERT_EQ(send_dd("dbtst100", 0), 0);
    long mark = driver_log_mark();
    for (int action : {1, 2, 5, 6, 7, 8, 11, 12, 13})
        EXPECT_EQ(table("dbtst100", 0, action, 1), 506) << action;
    std::vector<unsigned char> row;
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row), 506);
    Store updates(demo("dbtst100"));
    updates.add(1, 1, 0, article("A").bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({updates.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 506);
    EXPECT_EQ(reply.detail_text, "operation 1 (sequence 1): table dbtst100_000 does not exist");
    EXPECT_NE(driver_log_since(mark).find("Table action drop_table (6) on dbtst100_000: table "
                                          "dbtst100_000 does not exist (error 506)"),
              std::string::npos)
        << driver_log_since(mark);
}

TEST_F(DriverTablesPostgres, EveryTypeRoundTripsByteForByteThroughBufferedInsertAndKeyRead)
{
    create100(3);
    const _dd_table *t = demo("dbtst100");
    std::vector<Row> rows;
    rows.push_back(article("MAX")
                       .b("bval", 255).b("flag", 2).s("ival", 32767).l("lval", INT32_MAX)
                       .f("fval", std::numeric_limits<float>::max())
                       .d("dval", std::numeric_limits<double>::infinity())
                       .l("date", 3652059).l("utc", INT32_MAX).l("txt", INT32_MAX)
                       .l("lv", INT32_MAX).b("stat", 255).l("days", -1)
                       .str("mbname", "\x9b\x81\x9c\xad\xe9t\x9b\x87\xec\x80")
                       .raw("rawv", std::string("\xff\x00\x01\x00\x00\x00\x00\x02", 8)));
    rows.push_back(article("MIN")
                       .b("bval", 0).b("flag", 0).s("ival", -32768).l("lval", INT32_MIN)
                       .f("fval", std::numeric_limits<float>::denorm_min())
                       .d("dval", -std::numeric_limits<double>::denorm_min())
                       .l("date", 1).l("utc", INT32_MIN).l("txt", 0).l("lv", INT32_MIN)
                       .b("stat", 0).l("days", 0).str("mbname", "").raw("rawv", ""));
    /* -0 is kept by PostgreSQL; a NaN payload and a NUL in text are not. */
    rows.push_back(article("NEG").f("fval", -0.0f).d("dval", -0.0));
    rows.push_back(article("ODD").d("dval", std::nan("0x12345"))
                       .str("mbname", std::string("a\0b", 3)));
    Store updates(t);
    long seq = 10;
    for (const Row &r : rows)
        updates.add(seq++, 1, 0, r.bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 3)}), 0);
    ASSERT_EQ(dbaction(1), 0);

    for (const Row &r : rows) {
        std::vector<unsigned char> got;
        ASSERT_EQ(read("dbtst100", 3, r.key(), false, &got), 0);
        EXPECT_EQ(got, r.as_read(3));
    }
    EXPECT_EQ(one("SELECT concat_ws('|', bval, ival, lval, dval, date, days, mbname,"
                  " encode(rawv, 'hex'), name, tdb_row IS NULL) FROM dbtst100_003"
                  " WHERE code = 'MAX'"),
              "255|32767|2147483647|Infinity|3652059|-1|\xe4\xb8\xad\xc3\xa9t\xf0\x9f\x98\x80|"
              "ff00010000000002|Name MAX|t");
    EXPECT_EQ(one("SELECT concat_ws('/', date, length(mbname), length(rawv), tdb_row IS NULL)"
                  " FROM dbtst100_003 WHERE code = 'MIN'"),
              "1/0/0/t");
    EXPECT_EQ(one("SELECT concat_ws('/', fval, dval, tdb_row IS NULL) FROM dbtst100_003"
                  " WHERE code = 'NEG'"),
              "-0/-0/t");
    EXPECT_EQ(one("SELECT concat_ws('/', length(tdb_row), mbname, dval IS NULL) FROM dbtst100_003"
                  " WHERE code = 'ODD'"),
              std::to_string(t->data_length) + "/a?b/t");
    long count = 0;
    EXPECT_EQ(table("dbtst100", 3, 8, 0, &count), 0);
    EXPECT_EQ(count, 4);
}

TEST_F(DriverTablesPostgres, CommitShowsAndAbortDiscardsBufferedUpdates)
{
    create100();
    Store first(demo("dbtst100"));
    first.add(1, 1, 0, article("A").bytes());
    ASSERT_EQ(send_updates({first.table("dbtst100", 0)}), 0);
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), "0") << "not committed yet";
    std::vector<unsigned char> row;
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row), 0) << "the session sees it";
    long audit = 0;
    ASSERT_EQ(dbaction(1, 0, &audit), 0);
    EXPECT_EQ(audit, -1);
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), "1");

    Store second(demo("dbtst100"));
    second.add(2, 1, 0, article("B").bytes());
    ASSERT_EQ(send_updates({second.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(one("SELECT string_agg(code, ',') FROM dbtst100_000"), "A");
    EXPECT_EQ(read("dbtst100", 0, article("B").key(), false, &row), 111);
}

TEST_F(DriverTablesPostgres, DuplicateKeysAnswer520WithDetail100UnlessTolerated)
{
    create100(5);
    Store updates(demo("dbtst100"));
    updates.add(1, 1, 0, article("A").bytes());
    updates.add(2, 1, 0, article("A").str("name", "other").bytes());
    commu_block reply;
    ASSERT_EQ(send_updates({updates.table("dbtst100", 5)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100);
    EXPECT_EQ(reply.detail_number, 5);
    EXPECT_EQ(reply.detail_text,
              "operation 1 (sequence 2): insert into dbtst100_005: duplicate key value violates "
              "unique constraint \"dbtst100_005_i1\" (Key (code)=(A) already exists.)");
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_005"), "0");

    Store again(demo("dbtst100"));
    again.add(3, 1, 0, article("A").bytes());
    again.add(4, 1, 0x10, article("A").str("name", "other").bytes());
    ASSERT_EQ(send_updates({again.table("dbtst100", 5)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one("SELECT name FROM dbtst100_005"), "Name A");
}

TEST_F(DriverTablesPostgres, UpdatesAndDeletesFindTheRowByKeyOneInSequenceOrder)
{
    create100();
    Store updates(demo("dbtst100"));
    updates.add(3, 3, 0, article("A").str("name", "changed").l("lval", 42).bytes());
    updates.add(1, 1, 0, article("A").bytes());
    updates.add(2, 1, 0, article("B").bytes());
    updates.add(4, 2, 0, article("B").bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(store->query("SELECT code, name, lval FROM dbtst100_000"),
              std::vector<std::string>{"A|changed|42"});
    Store missing(demo("dbtst100"));
    missing.add(5, 2, 0, article("Z").bytes());
    commu_block reply;
    ASSERT_EQ(send_updates({missing.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 111);
}

TEST_F(DriverTablesPostgres, CountClearAndDrop)
{
    create100();
    Store updates(demo("dbtst100"));
    for (int i = 0; i < 5; i++)
        updates.add(i + 1, 1, 0, article(("K" + std::to_string(i)).c_str()).bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}), 0);
    long count = -1;
    ASSERT_EQ(table("dbtst100", 0, 8, 0, &count), 0);
    EXPECT_EQ(count, 5);
    ASSERT_EQ(dbaction(1), 0);
    /* Clearing is transactional (TRUNCATE: others wait until the end). */
    ASSERT_EQ(table("dbtst100", 0, 5, 1), 0);
    ASSERT_EQ(table("dbtst100", 0, 8, 0, &count), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), "5");
    ASSERT_EQ(table("dbtst100", 0, 5, 1), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), "0");
    ASSERT_EQ(table("dbtst100", 0, 6), 0);
    EXPECT_EQ(one("SELECT count(*) FROM pg_class WHERE relname LIKE 'dbtst100_000%'"
                  " AND relnamespace = '" + store->where() + "'::regnamespace"),
              "0");
    EXPECT_EQ(table("dbtst100", 0, 8, 0, &count), 506);
}

TEST_F(DriverTablesPostgres, AThousandBufferedInsertsInOneRequestThenStatistics)
{
    create100();
    Store updates(demo("dbtst100"));
    for (int i = 0; i < 1000; i++) {
        char code[16];
        std::snprintf(code, sizeof code, "%05d", i);
        updates.add(i + 1, 1, 0x800000, article(code).l("lval", i * 3).bytes());
    }
    ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one("SELECT concat_ws('/', count(*), sum(lval), min(code), max(code))"
                  " FROM dbtst100_000"),
              "1000/1498500/00000/00999");
    std::vector<unsigned char> row;
    ASSERT_EQ(read("dbtst100", 0, article("00777").key(), false, &row), 0);
    EXPECT_EQ(row, article("00777").l("lval", 2331).as_read(0));
    ASSERT_EQ(table("dbtst100", 0, 13), 0);
    EXPECT_EQ(one("SELECT reltuples::int FROM pg_class WHERE oid = 'dbtst100_000'::regclass"),
              "1000");
}

TEST_F(DriverTablesPostgres, ImportDefersNonUniqueIndexesUntilItsEnd)
{
    create100();
    std::string indexes = "SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes"
                          " WHERE schemaname = '" + store->where() +
                          "' AND tablename = 'dbtst100_000'";
    ASSERT_EQ(table("dbtst100", 0, 11), 0);
    EXPECT_EQ(one(indexes), "dbtst100_000_i1");
    Store updates(demo("dbtst100"));
    updates.add(1, 1, 0, article("A").bytes());
    updates.add(2, 1, 0, article("A").bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({updates.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100) << "the unique index stays during an import";
    ASSERT_EQ(dbaction(1), 0);
    ASSERT_EQ(table("dbtst100", 0, 12), 0);
    EXPECT_EQ(one(indexes), "dbtst100_000_i1,dbtst100_000_i2");
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), "1");
}

TEST_F(DriverTablesPostgres, ALockedTableOrRowMakesAnotherSessionWaitThenAnswer202)
{
    create100();
    Store updates(demo("dbtst100"));
    updates.add(1, 1, 0, article("A").bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    long other = c.attach_session();
    ASSERT_GT(other, 0);

    /* A locked row: the other session reads it plainly, not locked. */
    std::vector<unsigned char> row;
    ASSERT_EQ(read("dbtst100", 0, article("A").key(), true, &row), 0);
    EXPECT_EQ(row, article("A").as_read(0));
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row, other), 0);
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), true, &row, other), 202);
    Store change(demo("dbtst100"));
    change.add(2, 3, 0, article("A").str("name", "x").bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({change.table("dbtst100", 0)}, &reply, other), 520);
    EXPECT_EQ(reply.detail_code, 202);
    ASSERT_EQ(dbaction(3), 0);
    ASSERT_EQ(dbaction(3, other), 0);
    EXPECT_EQ(send_updates({change.table("dbtst100", 0)}, &reply, other), 0);
    ASSERT_EQ(dbaction(1, other), 0);
    EXPECT_EQ(one("SELECT name FROM dbtst100_000"), "x");

    /* A locked table: others may read, not write. */
    ASSERT_EQ(table("dbtst100", 0, 7), 0);
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row, other), 0);
    Store insert(demo("dbtst100"));
    insert.add(3, 1, 0, article("B").bytes());
    EXPECT_EQ(send_updates({insert.table("dbtst100", 0)}, &reply, other), 520);
    EXPECT_EQ(reply.detail_code, 202);
    ASSERT_EQ(dbaction(3, other), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(send_updates({insert.table("dbtst100", 0)}, nullptr, other), 0);
    /* Detaching a session aborts its open work. */
    commu_block det;
    det.kind = COMMU_DET_SESSION;
    det.session = other;
    ASSERT_TRUE(c.exchange(det, &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(one("SELECT count(*) FROM dbtst100_000"), "1");
}

TEST_F(DriverTablesPostgres, TransactionStatesOfDatabaseActions)
{
    create100();
    EXPECT_EQ(dbaction(5), 0) << "nothing started";
    ASSERT_EQ(dbaction(6), 0);
    EXPECT_EQ(dbaction(5), 213) << "started, no updates: ended";
    Store updates(demo("dbtst100"));
    updates.add(1, 1, 0, article("A").bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 0)}), 0);
    EXPECT_EQ(dbaction(5), 203);
    ASSERT_EQ(dbaction(1), 0);
    ASSERT_EQ(dbaction(2), 0);
    Store more(demo("dbtst100"));
    more.add(2, 1, 0, article("B").bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({more.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 204);
    EXPECT_EQ(dbaction(3), 0);
    EXPECT_EQ(send_updates({more.table("dbtst100", 0)}), 0) << "read only ends with the transaction";
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one("SELECT string_agg(code, ',' ORDER BY code) FROM dbtst100_000"), "A,B");
}

TEST_F(DriverTablesPostgres, ReferenceCountsAreAddedSubtractedAndCleared)
{
    ASSERT_EQ(send_dd("dbtst105", 0), 0);
    ASSERT_EQ(table("dbtst105", 0, 4), 0);
    const _dd_table *t = demo("dbtst105");
    Store updates(t);
    updates.add(1, 1, 0, Row(t).l("id", 9).l("Refcntu", 0).l("Refcntd", 0).bytes());
    updates.add(2, 4, 0x100 | 0x800, Row(t).l("id", 9).l("Refcntu", 1).l("Refcntd", 3).bytes());
    updates.add(3, 4, 0x100 | 0x400 | 0x800, Row(t).l("id", 9).l("Refcntu", 1).l("Refcntd", 1).bytes());
    updates.add(4, 4, 0x200 | 0x400, Row(t).l("id", 9).l("Refcntu", 1).l("Refcntd", 1).bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst105", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one("SELECT \"Refcntu\" || '/' || \"Refcntd\" FROM dbtst105_000"), "0/4");
    ASSERT_EQ(table("dbtst105", 0, 9), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one("SELECT \"Refcntu\" || '/' || \"Refcntd\" FROM dbtst105_000"), "0/0");
    create100();
    EXPECT_EQ(table("dbtst100", 0, 9), 608);
}

TEST_F(DriverTablesPostgres, ADriverRestartFindsTablesRowsAndDefinitions)
{
    create100(2);
    Store updates(demo("dbtst100"));
    updates.add(1, 1, 0, article("A").l("lval", 77).bytes());
    ASSERT_EQ(send_updates({updates.table("dbtst100", 2)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(c.detach(), 0);
    detached = true;

    Connection again("postgres");
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(again.start("postgres", store->args()).retval, 0);
    long s = again.attach_session();
    commu_block req;
    req.kind = COMMU_EXE_ROW;
    req.session = s;
    req.table = "dbtst100";
    req.compnr = 2;
    req.action = type_commu_row_action(13) | 13;
    std::string key = article("A").key();
    req.msg = reinterpret_cast<const unsigned char *>(key.data());
    req.msg_len = static_cast<long>(key.size());
    commu_block reply;
    ASSERT_TRUE(again.exchange(req, &reply));
    EXPECT_EQ(reply.retval, 0) << "no 513: the definition is in the catalog";
    EXPECT_EQ(std::vector<unsigned char>(reply.answer, reply.answer + reply.answer_len),
              article("A").l("lval", 77).as_read(2));
    EXPECT_EQ(again.detach(), 0);
}
