/*
 * driver_table_test.cpp: table data in a real tdb_driver on SQLite: table
 * actions (request 4), database actions (5), buffered updates built as the
 * client builds them (compressed row data sets, request 11) and the key
 * read (12), each checked in the database file with SQLite itself.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "al_env.h"
#include "driver_support.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "run_program.h"
#include "table_rows.h"
#include "tdb_commu.h"

using namespace drivertest;

namespace {

/* Rows of a query on the database file, opened read-only; each value as
 * text ("NULL" for null). */
std::vector<std::vector<std::string>> query(const std::string &path, const std::string &sql)
{
    std::vector<std::vector<std::string>> rows;
    sqlite3 *db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(st); i++) {
            const unsigned char *p = sqlite3_column_text(st, i);
            row.push_back(p ? std::string(reinterpret_cast<const char *>(p),
                                          static_cast<size_t>(sqlite3_column_bytes(st, i)))
                            : "NULL");
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

std::string one(const std::string &path, const std::string &sql)
{
    auto rows = query(path, sql);
    return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<" + std::to_string(rows.size()) + " rows>";
}

class DriverTables : public ::testing::Test, public DriverRequests {
protected:
    void SetUp() override
    {
        root();
        db = dir.path() + "/data.db";
        ASSERT_TRUE(c.ok());
        ASSERT_EQ(c.start("sqlite", db).retval, 0);
        session = c.attach_session();
        ASSERT_GT(session, 0);
    }
    void TearDown() override
    {
        if (c.ok() && !detached) {
            EXPECT_EQ(c.detach(), 0);
        }
    }

    tdbtest::TempDir dir;
    std::string db;
};

TEST_F(DriverTables, CreateTableMakesColumnsAndTheIndexesThatExistInTheDatabase)
{
    create100(7);
    auto cols = query(db, "SELECT name, type FROM pragma_table_info('dbtst100_007') ORDER BY cid");
    std::string list;
    for (auto &r : cols)
        list += r[0] + ":" + r[1] + " ";
    EXPECT_EQ(list, "code:TEXT bval:INTEGER flag:INTEGER ival:INTEGER lval:INTEGER fval:REAL "
                    "dval:REAL name:TEXT date:INTEGER utc:INTEGER txt:INTEGER lv:INTEGER "
                    "stat:INTEGER days:INTEGER mbname:TEXT rawv:BLOB tdb_row:BLOB ");
    auto idx = query(db, "SELECT name, \"unique\" FROM pragma_index_list('dbtst100_007') ORDER BY name");
    ASSERT_EQ(idx.size(), 2u) << "key 3 has A attribute 0";
    EXPECT_EQ(idx[0], (std::vector<std::string>{"dbtst100_007_i1", "1"}));
    EXPECT_EQ(idx[1], (std::vector<std::string>{"dbtst100_007_i2", "0"}));
    EXPECT_EQ(one(db, "SELECT group_concat(name) FROM pragma_index_info('dbtst100_007_i2')"),
              "name,code");

    EXPECT_EQ(table("dbtst100", 7, 4), 507);
    EXPECT_EQ(table("dbtst100", 7, 1, 1), 108);
    EXPECT_EQ(table("dbtst100", 7, 1, 3), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM pragma_index_list('dbtst100_007')"), "3");
    EXPECT_EQ(table("dbtst100", 7, 1, 9999), 0) << "all: those present are skipped";
    EXPECT_EQ(table("dbtst100", 7, 1, 8), 103);
    EXPECT_EQ(table("dbtst100", 7, 2, 2), 0);
    EXPECT_EQ(one(db, "SELECT group_concat(name) FROM pragma_index_list('dbtst100_007')"),
              "dbtst100_007_i3,dbtst100_007_i1");
    EXPECT_EQ(table("dbtst100", 7, 1, 9999), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM pragma_index_list('dbtst100_007')"), "3");
}

TEST_F(DriverTables, ActionsOnAMissingTableAnswer506)
{
    ASSERT_EQ(send_dd("dbtst100", 0), 0);
    long mark = driver_log_mark();
    for (int action : {1, 2, 5, 6, 7, 8, 11, 12, 13})
        EXPECT_EQ(table("dbtst100", 0, action, 1), 506) << action;
    std::vector<unsigned char> row;
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row), 506);
    EXPECT_TRUE(row.empty());
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({store.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 506);
    EXPECT_EQ(std::string(reply.detail_table, 8), "dbtst100");
    EXPECT_EQ(reply.detail_number, 0);
    EXPECT_EQ(reply.detail_text, "operation 1 (sequence 1): table dbtst100_000 does not exist");
    EXPECT_NE(driver_log_since(mark).find("Table action drop_table (6) on dbtst100_000: table "
                                          "dbtst100_000 does not exist (error 506)"),
              std::string::npos);
}

TEST_F(DriverTables, EveryTypeRoundTripsByteForByteThroughBufferedInsertAndKeyRead)
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
    /* Values SQLite cannot keep: the row's image keeps them. */
    rows.push_back(article("ODD").f("fval", -0.0f).d("dval", std::nan("0x12345"))
                       .str("mbname", std::string("a\0b", 3)));
    Store store(t);
    long seq = 10;
    for (const Row &r : rows)
        store.add(seq++, 1, 0, r.bytes());
    ASSERT_EQ(send_updates({store.table("dbtst100", 3)}), 0);
    ASSERT_EQ(dbaction(1), 0);

    for (const Row &r : rows) {
        std::vector<unsigned char> got;
        ASSERT_EQ(read("dbtst100", 3, r.key(), false, &got), 0);
        EXPECT_EQ(got, r.as_read(3));
    }
    /* In the database: plain values, UTF-8 text, trimmed padding. */
    auto max = query(db, "SELECT bval, ival, lval, dval, date, days, mbname, hex(rawv), name, "
                         "tdb_row IS NULL FROM dbtst100_003 WHERE code = 'MAX'");
    ASSERT_EQ(max.size(), 1u);
    EXPECT_EQ(max[0], (std::vector<std::string>{"255", "32767", "2147483647", "Inf", "3652059",
                                                "-1", "\xe4\xb8\xad\xc3\xa9t\xf0\x9f\x98\x80",
                                                "FF00010000000002", "Name MAX", "1"}));
    EXPECT_EQ(one(db, "SELECT date || '/' || length(mbname) || '/' || length(rawv) || '/' || "
                      "(tdb_row IS NULL) FROM dbtst100_003 WHERE code = 'MIN'"),
              "1/0/0/1");
    EXPECT_EQ(one(db, "SELECT length(tdb_row) || '/' || mbname FROM dbtst100_003 WHERE code = 'ODD'"),
              std::to_string(t->data_length) + "/a?b");
    long count = 0;
    EXPECT_EQ(table("dbtst100", 3, 8, 0, &count), 0);
    EXPECT_EQ(count, 3);
}

TEST_F(DriverTables, ArraysAndMultibyteStringsOfAHandMadeDefinition)
{
    /* code s6 (key), arr l x3, names s5 x2, mb m16, raw r12 (stripped). */
    commu_block dd;
    dd.kind = COMMU_DD_INFO_TABLE;
    dd.session = session;
    std::memset(dd.dd.table, 0, sizeof dd.dd.table);
    std::memcpy(dd.dd.table, "tdarr100", 8);
    dd.dd.compnr = 1;
    auto col = [](const char *name, int type, int offset, int length, int elements) {
        commu_dd_column c{name, length, offset, type, elements > 1 ? 1 : 0, elements, 0, 0};
        return c;
    };
    dd.dd.columns = {col("code", TDB_STRING, 0, 6, 1), col("arr", TDB_LONG, 6, 12, 3),
                     col("names", TDB_STRING, 18, 10, 2), col("mb", TDB_MBSTRING, 28, 16, 1),
                     col("raw", TDB_RAW, 44, 12, 1)};
    dd.dd.indexes = {{1, 0, 1, {0}}};
    commu_block reply;
    ASSERT_TRUE(c.exchange(dd, &reply));
    ASSERT_EQ(reply.retval, 0);
    ASSERT_EQ(table("tdarr100", 1, 4), 0);
    EXPECT_EQ(one(db, "SELECT group_concat(name) FROM pragma_table_info('tdarr100_001')"),
              "code,arr_1,arr_2,arr_3,names_1,names_2,mb,raw,tdb_row");

    auto desc = [](int type, int length, int offset, int elements) {
        rds_col d{};
        d.type = static_cast<unsigned char>(type);
        d.state = RDS_STATE_VALUE;
        d.length = static_cast<unsigned short>(length);
        d.offset = static_cast<unsigned short>(offset);
        d.elements = static_cast<unsigned short>(elements);
        return d;
    };
    std::vector<rds_col> cols = {desc(RDS_LONG, 4, 0, 1),      desc(RDS_LONG, 4, 4, 1),
                                 desc(RDS_LONG, 4, 8, 1),      desc(RDS_SSTRING, 6, 12, 1),
                                 desc(RDS_LONG, 4, 18, 3),     desc(RDS_SSTRING, 5, 30, 2),
                                 desc(RDS_LSTRING, 16, 40, 1), desc(RDS_LRAW, 12, 56, 1)};
    const int row_length = 62;
    std::vector<unsigned char> row(row_length, 0);
    std::memcpy(&row[0], "K1    ", 6);
    be32(&row[6], -5);
    be32(&row[10], 0);
    be32(&row[14], 1234567);
    std::memcpy(&row[18], "ab   cd   ", 10);
    std::memcpy(&row[28], "\x9b\x81\x9c\xad" "\x9b\x81\x9c\xad" "x       ", 16);
    std::memcpy(&row[44], "\x01\x02\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
    Store store(cols, row_length);
    store.add(1, 1, 0, row);
    ASSERT_EQ(send_updates({store.table("tdarr100", 1)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    auto r = query(db, "SELECT arr_1, arr_2, arr_3, names_1, names_2, mb, hex(raw) FROM tdarr100_001");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (std::vector<std::string>{"-5", "0", "1234567", "ab", "cd",
                                              "\xe4\xb8\xad\xe4\xb8\xadx", "010203"}));
    std::vector<unsigned char> got;
    ASSERT_EQ(read("tdarr100", 1, "K1    ", false, &got), 0);
    std::vector<unsigned char> expect = row;
    expect[61] = 1;
    EXPECT_EQ(got, expect);
}

TEST_F(DriverTables, CommitShowsAndAbortDiscardsBufferedUpdates)
{
    create100();
    Store first(demo("dbtst100"));
    first.add(1, 1, 0, article("A").bytes());
    ASSERT_EQ(send_updates({first.table("dbtst100", 0)}), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "0") << "not committed yet";
    std::vector<unsigned char> row;
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row), 0) << "the session sees it";
    long audit = 0;
    ASSERT_EQ(dbaction(1, 0, &audit), 0);
    EXPECT_EQ(audit, -1);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "1");

    Store second(demo("dbtst100"));
    second.add(2, 1, 0, article("B").bytes());
    ASSERT_EQ(send_updates({second.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(one(db, "SELECT group_concat(code) FROM dbtst100_000"), "A");
    EXPECT_EQ(read("dbtst100", 0, article("B").key(), false, &row), 111);
    EXPECT_TRUE(row.empty());
    EXPECT_EQ(dbaction(1), 0) << "nothing to commit";
}

TEST_F(DriverTables, DuplicateKeysAnswer520WithDetail100UnlessTolerated)
{
    create100(5);
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    store.add(2, 1, 0, article("A").str("name", "other").bytes());
    commu_block reply;
    long mark = driver_log_mark();
    ASSERT_EQ(send_updates({store.table("dbtst100", 5)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100);
    EXPECT_EQ(std::string(reply.detail_table, 8), "dbtst100");
    EXPECT_EQ(reply.detail_number, 5);
    EXPECT_NE(reply.detail_text.find("operation 1 (sequence 2): insert into dbtst100_005: UNIQUE "
                                     "constraint failed"),
              std::string::npos)
        << reply.detail_text;
    EXPECT_NE(driver_log_since(mark).find("Buffered updates of session"), std::string::npos);
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_005"), "0");

    /* Flag 0x10: rows already present are tolerated. */
    Store again(demo("dbtst100"));
    again.add(3, 1, 0, article("A").bytes());
    again.add(4, 1, 0x10, article("A").str("name", "other").bytes());
    ASSERT_EQ(send_updates({again.table("dbtst100", 5)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one(db, "SELECT name FROM dbtst100_005"), "Name A");
}

TEST_F(DriverTables, UpdatesAndDeletesFindTheRowByKeyOneInSequenceOrder)
{
    create100();
    Store store(demo("dbtst100"));
    /* Put out of order: the sequence numbers decide. */
    store.add(3, 3, 0, article("A").str("name", "changed").l("lval", 42).bytes());
    store.add(1, 1, 0, article("A").bytes());
    store.add(2, 1, 0, article("B").bytes());
    store.add(4, 2, 0, article("B").bytes());
    ASSERT_EQ(send_updates({store.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(query(db, "SELECT code, name, lval FROM dbtst100_000"),
              (std::vector<std::vector<std::string>>{{"A", "changed", "42"}}));

    Store missing(demo("dbtst100"));
    missing.add(5, 2, 0, article("Z").bytes());
    commu_block reply;
    ASSERT_EQ(send_updates({missing.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 111);
    Store tolerated(demo("dbtst100"));
    tolerated.add(6, 3, 0x4, article("Z").bytes());
    EXPECT_EQ(send_updates({tolerated.table("dbtst100", 0)}), 0);
}

TEST_F(DriverTables, CountClearAndDrop)
{
    create100();
    Store store(demo("dbtst100"));
    for (int i = 0; i < 5; i++)
        store.add(i + 1, 1, 0, article(("K" + std::to_string(i)).c_str()).bytes());
    ASSERT_EQ(send_updates({store.table("dbtst100", 0)}), 0);
    long count = -1;
    ASSERT_EQ(table("dbtst100", 0, 8, 0, &count), 0);
    EXPECT_EQ(count, 5);
    ASSERT_EQ(dbaction(1), 0);
    ASSERT_EQ(table("dbtst100", 0, 5, 1), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "5") << "clear is transactional";
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "0");
    ASSERT_EQ(table("dbtst100", 0, 6), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'dbtst100_000%'"), "0");
    EXPECT_EQ(table("dbtst100", 0, 8, 0, &count), 506);
    EXPECT_EQ(table("dbtst100", 0, 6), 506);
}

TEST_F(DriverTables, AThousandBufferedInsertsInOneRequest)
{
    create100();
    Store store(demo("dbtst100"));
    for (int i = 0; i < 1000; i++) {
        char code[16];
        std::snprintf(code, sizeof code, "%05d", i);
        store.add(i + 1, 1, 0x800000, article(code).l("lval", i * 3).bytes());
    }
    commu_update_table u = store.table("dbtst100", 0);
    EXPECT_EQ(u.record_count, 1000);
    ASSERT_EQ(send_updates({u}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one(db, "SELECT count(*) || '/' || sum(lval) || '/' || min(code) || '/' || max(code) "
                      "FROM dbtst100_000"),
              "1000/1498500/00000/00999");
    std::vector<unsigned char> row;
    ASSERT_EQ(read("dbtst100", 0, article("00777").key(), false, &row), 0);
    EXPECT_EQ(row, article("00777").l("lval", 2331).as_read(0));
}

TEST_F(DriverTables, ImportDefersNonUniqueIndexesUntilItsEnd)
{
    create100();
    ASSERT_EQ(table("dbtst100", 0, 11), 0);
    EXPECT_EQ(one(db, "SELECT group_concat(name) FROM pragma_index_list('dbtst100_000')"),
              "dbtst100_000_i1");
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    store.add(2, 1, 0, article("A").bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({store.table("dbtst100", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 100) << "the unique index stays during an import";
    ASSERT_EQ(dbaction(1), 0);
    ASSERT_EQ(table("dbtst100", 0, 12), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM pragma_index_list('dbtst100_000')"), "2");
    EXPECT_EQ(table("dbtst100", 0, 13), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "1");
}

TEST_F(DriverTables, AnotherSessionsTransactionHoldsTheDatabase)
{
    create100();
    long other = c.attach_session();
    ASSERT_GT(other, 0);
    std::vector<unsigned char> row;
    ASSERT_EQ(table("dbtst100", 0, 7), 0) << "lock_table starts the transaction";
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    commu_block reply;
    ASSERT_EQ(send_updates({store.table("dbtst100", 0)}, &reply, other), 520);
    EXPECT_EQ(reply.detail_code, 202);
    EXPECT_EQ(table("dbtst100", 0, 4, 0, nullptr, other), 202);
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), true, &row, other), 202);
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row, other), 111);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(send_updates({store.table("dbtst100", 0)}, nullptr, other), 0);
    /* Detaching a session aborts its open work. */
    commu_block det;
    det.kind = COMMU_DET_SESSION;
    det.session = other;
    ASSERT_TRUE(c.exchange(det, &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "0");
    EXPECT_EQ(read("dbtst100", 0, article("A").key(), false, &row), 111);
}

TEST_F(DriverTables, TransactionStatesOfDatabaseActions)
{
    create100();
    EXPECT_EQ(dbaction(5), 0) << "nothing started";
    ASSERT_EQ(dbaction(6), 0);
    EXPECT_EQ(dbaction(5), 213) << "started, no updates: ended";
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    ASSERT_EQ(send_updates({store.table("dbtst100", 0)}), 0);
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
    EXPECT_EQ(dbaction(4), 0);
    EXPECT_EQ(dbaction(9), 0);
    EXPECT_EQ(dbaction(12), 102);
    long audit = 0;
    EXPECT_EQ(dbaction(7, 0, &audit), 0);
    EXPECT_EQ(audit, -1);
    EXPECT_EQ(one(db, "SELECT group_concat(code) FROM dbtst100_000 ORDER BY code"), "A,B");
}

TEST_F(DriverTables, ReferenceCountsAreAddedSubtractedAndChecked)
{
    ASSERT_EQ(send_dd("dbtst105", 0), 0);
    ASSERT_EQ(table("dbtst105", 0, 4), 0);
    const _dd_table *t = demo("dbtst105");
    Store store(t);
    store.add(1, 1, 0, Row(t).l("id", 9).l("Refcntu", 0).l("Refcntd", 0).bytes());
    store.add(2, 4, 0x100 | 0x800, Row(t).l("id", 9).l("Refcntu", 1).l("Refcntd", 3).bytes());
    store.add(3, 4, 0x100 | 0x400 | 0x800, Row(t).l("id", 9).l("Refcntu", 1).l("Refcntd", 1).bytes());
    store.add(4, 4, 0x200 | 0x400, Row(t).l("id", 9).l("Refcntu", 1).l("Refcntd", 1).bytes());
    ASSERT_EQ(send_updates({store.table("dbtst105", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one(db, "SELECT Refcntu || '/' || Refcntd FROM dbtst105_000"), "0/4");

    /* A counter change on a missing parent: 111 in the detail. */
    Store gone(t);
    gone.add(5, 4, 0, Row(t).l("id", 10).bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({gone.table("dbtst105", 0)}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 111);
    ASSERT_EQ(dbaction(3), 0);

    /* Request 12 with argument 3 (may it be deleted?) and 4 (key update). */
    unsigned char key[4];
    be32(key, 9);
    commu_block req;
    req.kind = COMMU_EXE_ROW;
    req.session = session;
    req.table = "dbtst105";
    req.compnr = 0;
    req.msg = key;
    req.msg_len = 4;
    req.action = 3;
    ASSERT_TRUE(c.exchange(req, &reply));
    EXPECT_EQ(reply.retval, 605);
    req.action = 4;
    ASSERT_TRUE(c.exchange(req, &reply));
    EXPECT_EQ(reply.retval, 0);

    ASSERT_EQ(table("dbtst105", 0, 9), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(one(db, "SELECT Refcntu || '/' || Refcntd FROM dbtst105_000"), "0/0");
    create100();
    EXPECT_EQ(table("dbtst100", 0, 9), 608);
    EXPECT_EQ(dbaction(5), 0) << "the refusal started no transaction";
}

TEST_F(DriverTables, KeyReadsOfTheWrongLengthOrUnknownTablesAreRefused)
{
    create100();
    std::vector<unsigned char> row;
    EXPECT_EQ(read("dbtst100", 0, "AB", false, &row), 102);
    EXPECT_EQ(read("dbtst101", 0, "AB", false, &row), 513);
    EXPECT_EQ(table("dbtst100", 0, 3), 102) << "change_order is the client's";
}

TEST_F(DriverTables, ALockedReadHoldsTheRowForTheSession)
{
    create100();
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    ASSERT_EQ(send_updates({store.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    std::vector<unsigned char> row;
    ASSERT_EQ(read("dbtst100", 0, article("A").key(), true, &row), 0);
    EXPECT_EQ(row, article("A").as_read(0));
    long other = c.attach_session();
    Store upd(demo("dbtst100"));
    upd.add(2, 3, 0, article("A").str("name", "x").bytes());
    commu_block reply;
    EXPECT_EQ(send_updates({upd.table("dbtst100", 0)}, &reply, other), 520);
    EXPECT_EQ(reply.detail_code, 202);
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(send_updates({upd.table("dbtst100", 0)}, &reply, other), 0);
    ASSERT_EQ(dbaction(1, other), 0);
    EXPECT_EQ(one(db, "SELECT name FROM dbtst100_000"), "x");
}

} // namespace

namespace {

/* A driver whose files may not grow beyond a limit: the commit that
 * needs more room answers 523 and leaves nothing behind. */
TEST_F(DriverTables, ADatabaseThatCannotGrowAnswers523AtCommit)
{
    EXPECT_EQ(c.detach(), 0);
    detached = true;
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 128 * 1024 + 100; /* a page written across it is cut short */
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Connection limited; /* the child inherits the limit and the ignored signal */
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
    ASSERT_TRUE(limited.ok());
    ASSERT_EQ(limited.start("sqlite", db).retval, 0);
    long s = limited.attach_session();
    commu_block reply;
    ASSERT_TRUE(limited.exchange(dictionary_of(s, "dbtst100", 0), &reply));
    ASSERT_EQ(reply.retval, 0);
    commu_block create = table_action(s, "dbtst100", 0, 4);
    create.action = type_commu_table_action(4) | 4;
    ASSERT_TRUE(limited.exchange(create, &reply));
    ASSERT_EQ(reply.retval, 0);

    Store store(demo("dbtst100"));
    for (int i = 0; i < 3000; i++) {
        char code[16];
        std::snprintf(code, sizeof code, "%06d", i);
        store.add(i + 1, 1, 0, article(code).str("mbname", std::string(30, 'm')).bytes());
    }
    commu_block upd;
    upd.kind = COMMU_EXE_UPDATE;
    upd.session = s;
    upd.updates = {store.table("dbtst100", 0)};
    ASSERT_TRUE(limited.exchange(upd, &reply));
    ASSERT_EQ(reply.retval, 0) << "the rows wait in the page cache";
    long mark = driver_log_mark();
    commu_block commit;
    commit.kind = COMMU_EXE_DB;
    commit.session = s;
    commit.action = 1;
    ASSERT_TRUE(limited.exchange(commit, &reply));
    EXPECT_EQ(reply.retval, 523);
    EXPECT_NE(driver_log_since(mark).find("Database action 1 of session 1: commit: "),
              std::string::npos)
        << driver_log_since(mark);
    EXPECT_NE(driver_log_since(mark).find("[File too large]"), std::string::npos)
        << driver_log_since(mark);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "0");
    commu_block count = table_action(s, "dbtst100", 0, 8);
    count.action = 8;
    ASSERT_TRUE(limited.exchange(count, &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(reply.result, 0);
    EXPECT_EQ(limited.detach(), 0);
}

} // namespace

namespace {

/* The same driver as a shared library in this process: rows in and out. */
TEST(DriverTablesLibrary, SharedLibraryDriverStoresAndReadsRows)
{
    root();
    tdbtest::TempDir dir;
    std::string db = dir.path() + "/lib.db";
    Connection c("sqlite_lib");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    long s = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(dictionary_of(s, "dbtst100", 9), &reply));
    ASSERT_EQ(reply.retval, 0);
    commu_block create = table_action(s, "dbtst100", 9, 4);
    create.action = type_commu_table_action(4) | 4;
    ASSERT_TRUE(c.exchange(create, &reply));
    ASSERT_EQ(reply.retval, 0);

    const _dd_table *t = demo("dbtst100");
    Row row = Row(t).str("code", "LIB").str("mbname", "\x9b\x81\x9c\xad").l("date", 738000);
    Store store(t);
    store.add(1, 1, 0, row.bytes());
    commu_block upd;
    upd.kind = COMMU_EXE_UPDATE;
    upd.session = s;
    upd.updates = {store.table("dbtst100", 9)};
    ASSERT_TRUE(c.exchange(upd, &reply));
    ASSERT_EQ(reply.retval, 0);
    commu_block commit;
    commit.kind = COMMU_EXE_DB;
    commit.session = s;
    commit.action = 1;
    ASSERT_TRUE(c.exchange(commit, &reply));
    ASSERT_EQ(reply.retval, 0);
    EXPECT_EQ(one(db, "SELECT mbname || '/' || date FROM dbtst100_009"), "\xe4\xb8\xad/738000");

    std::string key = row.key();
    commu_block read;
    read.kind = COMMU_EXE_ROW;
    read.session = s;
    read.table = "dbtst100";
    read.compnr = 9;
    read.action = 13 | type_commu_row_action(13);
    read.msg = reinterpret_cast<const unsigned char *>(key.data());
    read.msg_len = static_cast<long>(key.size());
    ASSERT_TRUE(c.exchange(read, &reply));
    ASSERT_EQ(reply.retval, 0);
    EXPECT_EQ(std::vector<unsigned char>(reply.answer, reply.answer + reply.answer_len),
              row.as_read(9));
    EXPECT_EQ(c.detach(), 0);
}

} // namespace

namespace {

TEST_F(DriverTables, ADamagedUpdateStoreAnswers520WithDetail215AndAppliesNothing)
{
    create100();
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    store.add(2, 1, 0, article("B").bytes());
    commu_update_table u = store.table("dbtst100", 0);
    /* Cut inside the second row. */
    u.bytes.resize(u.bytes.size() - 3);
    u.byte_count = static_cast<long>(u.bytes.size());
    commu_block reply;
    ASSERT_EQ(send_updates({u}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 215);
    EXPECT_EQ(reply.detail_text, "the update store is damaged after 1 rows");
    EXPECT_EQ(dbaction(5), 0) << "nothing was applied, no transaction started";
    /* A column number beyond the table's columns. */
    u = store.table("dbtst100", 0);
    u.bytes[4] = 0x7F;
    ASSERT_EQ(send_updates({u}, &reply), 520);
    EXPECT_EQ(reply.detail_code, 215);
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "0");
}

TEST_F(DriverTables, ADefinitionReceivedInAnAbortedTransactionStaysInTheCatalog)
{
    create100();
    Store store(demo("dbtst100"));
    store.add(1, 1, 0, article("A").bytes());
    ASSERT_EQ(send_updates({store.table("dbtst100", 0)}), 0);
    ASSERT_EQ(send_dd("dbtst101", 4), 0) << "written inside the open transaction";
    ASSERT_EQ(dbaction(3), 0);
    EXPECT_EQ(one(db, "SELECT count(*) FROM tdb_catalog WHERE table_name = 'dbtst101'"), "1");
    EXPECT_EQ(one(db, "SELECT count(*) FROM dbtst100_000"), "0");
}

} // namespace

namespace {

/* A driver killed with an open transaction: the next one finds the
 * committed rows and not the others (SQLite rolls the journal back). */
TEST_F(DriverTables, AKilledDriverLosesOnlyItsOpenTransaction)
{
    create100();
    Store committed(demo("dbtst100"));
    committed.add(1, 1, 0, article("KEEP").bytes());
    ASSERT_EQ(send_updates({committed.table("dbtst100", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    Store open(demo("dbtst100"));
    open.add(2, 1, 0, article("LOST").bytes());
    ASSERT_EQ(send_updates({open.table("dbtst100", 0)}), 0);
    ASSERT_GT(c.pid(), 0);
    ASSERT_EQ(::kill(c.pid(), SIGKILL), 0);
    EXPECT_EQ(c.wait_exit(), -1);
    detached = true;

    Connection next;
    ASSERT_TRUE(next.ok());
    ASSERT_EQ(next.start("sqlite", db).retval, 0);
    long s = next.attach_session();
    std::string key = article("KEEP").key();
    commu_block read;
    read.kind = COMMU_EXE_ROW;
    read.session = s;
    read.table = "dbtst100";
    read.compnr = 0;
    read.action = 13 | type_commu_row_action(13);
    read.msg = reinterpret_cast<const unsigned char *>(key.data());
    read.msg_len = static_cast<long>(key.size());
    commu_block reply;
    ASSERT_TRUE(next.exchange(read, &reply));
    EXPECT_EQ(reply.retval, 0) << "no 513: the definition is in the catalog";
    key = article("LOST").key();
    read.msg = reinterpret_cast<const unsigned char *>(key.data());
    ASSERT_TRUE(next.exchange(read, &reply));
    EXPECT_EQ(reply.retval, 111);
    EXPECT_EQ(one(db, "SELECT group_concat(code) FROM dbtst100_000"), "KEEP");
    EXPECT_EQ(next.detach(), 0);
}

} // namespace

namespace {

/* A driver in Unicode mode (its own root has the mode file): one-byte
 * characters are their code points, four-byte ones too. */
TEST(DriverTablesUnicode, MultibyteStringsOfAUnicodeModeDriverAreUtf8)
{
    root();
    get_tse(); /* the client's root stays cached */
    tdbtest::TempDir unicode_root;
    unicode_root.write("lib/tss_mbstore6.2", "UTF-T:0:ISO-8859-1\n");
    unicode_root.write("log/.keep", "");
    std::string db = unicode_root.path() + "/u.db";
    setenv("TSE", unicode_root.path().c_str(), 1);
    Connection c;
    setenv("TSE", root().c_str(), 1);
    ASSERT_TRUE(c.ok());
    commu_block att = c.start("sqlite", db);
    ASSERT_EQ(att.retval, 0);
    ASSERT_EQ(att.level_flags, COMMU_LEVEL_UNICODE);
    long s = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(dictionary_of(s, "dbtst100", 0), &reply));
    ASSERT_EQ(reply.retval, 0);
    commu_block create = table_action(s, "dbtst100", 0, 4);
    create.action = type_commu_table_action(4) | 4;
    ASSERT_TRUE(c.exchange(create, &reply));
    ASSERT_EQ(reply.retval, 0);
    const _dd_table *t = demo("dbtst100");
    Row row = Row(t).str("code", "U").str("mbname", "\xe9\x9b\x80\x81\x9b\x9b\x81\x9c\xad");
    Store store(t);
    store.add(1, 1, 0, row.bytes());
    commu_block upd;
    upd.kind = COMMU_EXE_UPDATE;
    upd.session = s;
    upd.updates = {store.table("dbtst100", 0)};
    ASSERT_TRUE(c.exchange(upd, &reply));
    ASSERT_EQ(reply.retval, 0);
    commu_block commit;
    commit.kind = COMMU_EXE_DB;
    commit.session = s;
    commit.action = 1;
    ASSERT_TRUE(c.exchange(commit, &reply));
    ASSERT_EQ(reply.retval, 0);
    EXPECT_EQ(one(db, "SELECT hex(mbname) || '/' || (tdb_row IS NULL) FROM dbtst100_000"),
              "C3A9C29BE4B8AD/1"); /* U+00E9 U+009B U+4E2D */
    EXPECT_EQ(c.detach(), 0);
}

} // namespace
