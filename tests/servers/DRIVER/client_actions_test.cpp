/*
 * client_actions_test.cpp: row, table and database actions of the tdb API
 * end to end against the real tdb_driver: buffered and immediate inserts,
 * commit and abort, key reads, a failing flush, table actions, and what
 * the database holds afterwards; on each backend (an SQLite file, a
 * PostgreSQL schema), the database read directly with SQLite or libpq.
 */
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "al_log.h"
#include "backend_support.h"
#include "c_client.h"
#include "c_commu.h"
#include "c_ex_fet.h"
#include "c_open.h"
#include "c_state.h"
#include "driver_support.h"
#include "qpd_dd.h"
#include "run_program.h"
#include "tdb_api.h"
#include "tdb_commu.h"

namespace {

using drivertest::Backend;
using drivertest::BackendDb;

using drivertest::in_child;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

/* Writes the tabledef (every dbtst table on the given server list) and
 * the company map given (or none). */
void write_tabledef(const std::string &servers, const std::string &compnr = "")
{
    tdbtest::TempDir::writeAt(drivertest::root(), "lib/tabledef6.2", "dbtst:*:" + servers + "\n");
    const std::string map = drivertest::root() + "/lib/compnr6.2";
    if (compnr.empty())
        std::remove(map.c_str());
    else
        tdbtest::TempDir::writeAt(drivertest::root(), "lib/compnr6.2", compnr);
}

/* The server entry of the tabledef for a database: the backend's driver
 * with the database's argument string. */
std::string server_entry(const BackendDb &db, const std::string &driver)
{
    return driver + "(" + db.args() + ")";
}

/* A query's rows joined by ",", the columns of a row by "|" (the same
 * text from both backends for the SQL used here). */
std::string rows(BackendDb &db, const std::string &sql)
{
    std::string out;
    for (const std::string &row : db.query(sql))
        out += (out.empty() ? "" : ",") + row;
    return out;
}

/* Whether the database has the table (SQLite's schema table or
 * PostgreSQL's name resolution in the database's schema). */
bool has_table(BackendDb &db, const std::string &table)
{
    const std::string sql =
        db.backend() == Backend::Postgres
            ? "select to_regclass('" + table + "') is not null"
            : "select count(*) > 0 from sqlite_master where type = 'table' and name = '" + table +
                  "'";
    const std::string answer = rows(db, sql);
    EXPECT_TRUE(answer == "1" || answer == "0" || answer == "t" || answer == "f") << answer;
    return answer == "1" || answer == "t";
}

void start_api(const char *user = "drvuser")
{
    ASSERT_EQ(tdb_init_api(user, LOG_DEST_FILE, 0, 0), 0);
    ASSERT_EQ(tdb_logon("tdbreconfig"), 0) << tdb_errno;
}

/* Column access in a row buffer. */
const _dd_column *column(const tdb_handle *h, const char *field)
{
    const _dd_column *c = ddcolumn_by_ddtable(h->table, field);
    EXPECT_NE(c, nullptr) << field;
    return c;
}

void put_long(unsigned char *row, const _dd_column *c, long v)
{
    const auto u = static_cast<uint32_t>(v);
    unsigned char *p = row + c->offset;
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

long get_long(const unsigned char *row, const _dd_column *c)
{
    const unsigned char *p = row + c->offset;
    return static_cast<int32_t>((static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) |
                                p[3]);
}

void put_string(unsigned char *row, const _dd_column *c, const std::string &s)
{
    std::memset(row + c->offset, ' ', c->length);
    std::memcpy(row + c->offset, s.data(), std::min<size_t>(s.size(), c->length));
}

/* Each test on a private database of each backend. */
class ClientActions : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::Postgres)
            REQUIRE_PG_TEST_SERVER();
        store = std::make_unique<BackendDb>(GetParam());
    }

    /* The tabledef putting the dbtst tables on the test's database. */
    void setup_root(const std::string &compnr = "")
    {
        write_tabledef(server_entry(*store, store->driver()), compnr);
    }

    /* The API runs in a child; the test's own connection is not shared
     * with it. */
    void run_api(const std::function<void()> &body)
    {
        store->disconnect();
        in_child(body);
    }

    std::string rows_of(const std::string &sql) { return rows(*store, sql); }

    std::unique_ptr<BackendDb> store;
};

constexpr int db_eq = 13;
constexpr int db_first = 1;
constexpr int db_insert = 22;
constexpr int db_insert_51 = 62;
constexpr int db_update_51 = 63;
constexpr int db_delete_51 = 61;
constexpr int create_table = 4;
constexpr int change_order = 3;
constexpr int drop_table = 6;
constexpr int nr_rows = 8;
constexpr int commit_trans = 1;
constexpr int abort_trans = 3;
constexpr int trans_not_active = 5;

/* Opens dbtst107 in company 5 with a row buffer and creates the table. */
tdb_handle *open_and_create(unsigned trans_id, unsigned char *row, const char *table = "dbtst107",
                            int compnr = 5)
{
    tdb_handle *h = nullptr;
    EXPECT_EQ(tdb_open(&h, table, compnr, row, 0, trans_id), 0) << tdb_errno;
    if (h == nullptr)
        return nullptr;
    int arg = 0;
    EXPECT_EQ(tdb_exec_table(h, create_table, &arg, -1), 0) << tdb_errno;
    return h;
}

int count_rows(tdb_handle *h)
{
    int arg = 0;
    if (tdb_exec_table(h, nr_rows, &arg, -1) != 0)
        return -1000 - tdb_errno;
    return arg;
}

} // namespace

TEST_P(ClientActions, BufferedInsertsWaitForTheCommitAndReadBackByteForByte)
{
    setup_root();
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("buffered");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        const _dd_column *id = column(h, "id");
        const _dd_column *descr = column(h, "descr");

        const long updates = dbc_request_count(COMMU_EXE_UPDATE);
        const long total = dbc_request_count(COMMU_EXE_UPDATE) + dbc_request_count(COMMU_EXE_ROW) +
                           dbc_request_count(COMMU_EXE_TABLE) + dbc_request_count(COMMU_EXE_DB);
        for (long i = 1; i <= 3; ++i) {
            put_long(row, id, i);
            put_string(row, descr, "row " + std::to_string(i));
            ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0) << tdb_errno;
        }
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE) + dbc_request_count(COMMU_EXE_ROW) +
                      dbc_request_count(COMMU_EXE_TABLE) + dbc_request_count(COMMU_EXE_DB),
                  total)
            << "action 62 sends nothing";
        EXPECT_TRUE(transaction_has_buffered_updates(tdb_get_trans_by_id(trans_id)));
        /* The company number is written back into the row. */
        EXPECT_EQ(get_compnr_from_bind(h, nullptr), 5);

        /* 22 goes at once (and takes the buffered rows with it). */
        put_long(row, id, 4);
        put_string(row, descr, "immediate");
        ASSERT_EQ(tdb_exec_row(h, db_insert, 0, -1), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + 2)
            << "the pending rows first, then the row itself";
        EXPECT_FALSE(transaction_has_buffered_updates(tdb_get_trans_by_id(trans_id)));

        put_long(row, id, 5);
        put_string(row, descr, "last");
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0) << tdb_errno;
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + 3);
        EXPECT_EQ(count_rows(h), 5);

        /* Read back by key: the row read replaces the row. */
        std::vector<unsigned char> expected(row, row + h->table->row_length);
        put_long(expected.data(), id, 2);
        put_string(expected.data(), descr, "row 2");
        std::memset(row, 0xee, h->table->row_length);
        put_long(row, id, 2);
        const long reads = dbc_request_count(COMMU_EXE_ROW);
        ASSERT_EQ(tdb_exec_row(h, db_eq, 0, -1), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_ROW), reads + 1);
        /* _dlock 0 and _compnr 5 behind the data. */
        std::memset(expected.data() + h->table->data_length, 0, 4);
        expected[h->table->data_length + 4] = 0;
        expected[h->table->data_length + 5] = 5;
        EXPECT_EQ(std::vector<unsigned char>(row, row + h->table->row_length), expected);

        /* A missing key: 111, and the row stays. */
        put_long(row, id, 99);
        EXPECT_EQ(tdb_exec_row(h, db_eq, 0, -1), -1);
        EXPECT_EQ(tdb_errno, 111);
        EXPECT_EQ(tdb_exec_row(h, db_eq, TDB_FLAG_NO_MORE_OK, -1), 0) << "0x4 forgives 111";

        EXPECT_EQ(tdb_close(h), 0);
        EXPECT_EQ(tdb_stop_session(trans_id), 0);
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select count(*) from dbtst107_005"), "5");
    EXPECT_EQ(rows_of("select descr from dbtst107_005 where id = 4"), "immediate");
    EXPECT_EQ(rows_of("select id from dbtst107_005 order by id"), "1,2,3,4,5");
}

TEST_P(ClientActions, AnAbortDiscardsTheBufferedRowsWithoutSendingThem)
{
    setup_root();
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("discard");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        put_long(row, column(h, "id"), 1);
        put_string(row, column(h, "descr"), "never");
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0) << tdb_errno;
        const long updates = dbc_request_count(COMMU_EXE_UPDATE);
        /* Not active while rows wait: 203. */
        EXPECT_EQ(tdb_exec_db(trans_not_active, trans_id), -1);
        EXPECT_EQ(tdb_errno, 203);
        ASSERT_EQ(tdb_exec_db(abort_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates);
        EXPECT_FALSE(transaction_has_buffered_updates(tdb_get_trans_by_id(trans_id)));
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates) << "nothing left to send";
        EXPECT_EQ(count_rows(h), 0);
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select count(*) from dbtst107_005"), "0");
}

TEST_P(ClientActions, AFailedFlushTurnsTheCommitIntoAnAbortWithTheDriversDetailCode)
{
    setup_root();
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("duplicate");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        const _dd_column *id = column(h, "id");
        put_long(row, id, 1);
        put_string(row, column(h, "descr"), "first");
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0);
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;

        put_long(row, id, 2);
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0);
        put_long(row, id, 1);
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0) << "buffered: no check yet";
        EXPECT_EQ(tdb_exec_db(commit_trans, trans_id), -1);
        EXPECT_EQ(tdb_errno, 100) << "the driver's detail code";
        char table[9];
        int number = 0;
        const char *text = nullptr;
        EXPECT_EQ(tdb_get_detail_error(table, &number, &text, trans_id), 520);
        EXPECT_STREQ(table, "dbtst107");
        EXPECT_EQ(number, 5);
        ASSERT_NE(text, nullptr);
        EXPECT_NE(std::string(text).find("operation 1"), std::string::npos) << text;
        EXPECT_FALSE(transaction_has_buffered_updates(tdb_get_trans_by_id(trans_id)));
        /* The abort took the row 2 that went before the duplicate. */
        EXPECT_EQ(count_rows(h), 1);

        /* With 0x10 a buffered duplicate is skipped by the driver. */
        put_long(row, id, 3);
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0);
        put_long(row, id, 1);
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, TDB_FLAG_DUPLICATE_OK, -1), 0);
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(count_rows(h), 2);

        /* An immediate duplicate fails at the row action itself. */
        EXPECT_EQ(tdb_exec_row(h, db_insert, 0, -1), -1);
        EXPECT_EQ(tdb_errno, 100);
        EXPECT_EQ(tdb_get_detail_error(nullptr, nullptr, nullptr, trans_id), 520);
        EXPECT_EQ(tdb_exec_db(abort_trans, trans_id), 0);
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select id from dbtst107_005 order by id"), "1,3");
}

TEST_P(ClientActions, AThousandBufferedInsertsGoAsOneRequestAndKeepTheirRcdUtc)
{
    setup_root();
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("thousand");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row, "dbtst106");
        ASSERT_NE(h, nullptr);
        const _dd_column *id = column(h, "id");
        const _dd_column *utc = column(h, "rcd_utc");
        const long updates = dbc_request_count(COMMU_EXE_UPDATE);
        for (long i = 1; i <= 1000; ++i) {
            put_long(row, id, i);
            put_long(row, utc, 1000000 + i);
            ASSERT_EQ(tdb_exec_row(h, db_insert_51, TDB_FLAG_KEEP_RCD_UTC, -1), 0) << tdb_errno;
        }
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates);
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + 1) << "one per session";
        EXPECT_EQ(count_rows(h), 1000);

        /* Without 0x800000 the transaction's start time is stamped. */
        const long before = static_cast<long>(std::time(nullptr));
        put_long(row, id, 1001);
        put_long(row, utc, 7);
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0);
        const long start = tdb_get_trans_start_time(trans_id);
        EXPECT_GE(start, before);
        EXPECT_EQ(get_long(row, utc), 7) << "the program's row stays as it was";
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;

        put_long(row, id, 1001);
        ASSERT_EQ(tdb_exec_row(h, db_eq, 0, -1), 0) << tdb_errno;
        EXPECT_EQ(get_long(row, utc), start);
        put_long(row, id, 500);
        ASSERT_EQ(tdb_exec_row(h, db_eq, 0, -1), 0) << tdb_errno;
        EXPECT_EQ(get_long(row, utc), 1000500);
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select count(*) from dbtst106_005 where rcd_utc = 1000000 + id"), "1000");
}

TEST_P(ClientActions, UpdatesAndDeletesAreBufferedByKey)
{
    setup_root();
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("upddel");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        const _dd_column *id = column(h, "id");
        const _dd_column *descr = column(h, "descr");
        for (long i = 1; i <= 3; ++i) {
            put_long(row, id, i);
            put_string(row, descr, "old");
            ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0);
        }
        put_long(row, id, 2);
        put_string(row, descr, "new");
        ASSERT_EQ(tdb_exec_row(h, db_update_51, 0, -1), 0);
        put_long(row, id, 3);
        ASSERT_EQ(tdb_exec_row(h, db_delete_51, 0, -1), 0);
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select id, descr from dbtst107_005 order by id"), "1|old,2|new");
}

TEST_P(ClientActions, CompanyAndOrderErrorsAreRefusedWithTheirMessages)
{
    setup_root("db:100:200\n");
    run_api([&] {
        start_api("drvact");
        const unsigned trans_id = tdb_start_session("errors");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = nullptr;
        ASSERT_EQ(tdb_open(&h, "dbtst107", 5, row, 0, trans_id), 0);
        const long requests = dbc_request_count(COMMU_EXE_UPDATE);

        EXPECT_EQ(tdb_exec_row(h, db_insert_51, 0, 1000), -1);
        EXPECT_EQ(tdb_errno, 519);
        EXPECT_STREQ(get_tdb_msg(), "Unknown compnr 1000 for db_insert(51) on 'dbtst107'.");
        const std::string log = read_file(drivertest::root() + "/log/log.drvact");
        EXPECT_NE(log.find("Unknown compnr 1000 for db_insert(51) on 'dbtst107'."),
                  std::string::npos)
            << log;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), requests);

        /* change_order: a missing index keeps the current one. */
        int arg = 7;
        EXPECT_EQ(tdb_exec_table(h, change_order, &arg, -1), -1);
        EXPECT_EQ(tdb_errno, 103);
        tdb_cursor_use *cursor = nullptr;
        ASSERT_EQ(tdb_get_internal_cursor(&cursor, h, 5), 0);
        EXPECT_EQ(cursor->instance->cur_index, 1);
        const std::string log2 = read_file(drivertest::root() + "/log/log.drvact");
        EXPECT_NE(log2.find("Illegal key 7 specified for table 'dbtst107'."), std::string::npos);
        arg = 1;
        EXPECT_EQ(tdb_exec_table(h, change_order, &arg, -1), 0);

        /* drop_table in a mapped company. */
        arg = 0;
        EXPECT_EQ(tdb_exec_table(h, drop_table, &arg, 200), -1);
        EXPECT_EQ(tdb_errno, 214);
        const std::string log3 = read_file(drivertest::root() + "/log/log.drvact");
        EXPECT_NE(log3.find("Unallowed operation (drop_table) for mapped compnr (200 mapped to "
                            "100)"),
                  std::string::npos)
            << log3;

        /* A handle without default company. */
        tdb_handle *nodefault = nullptr;
        ASSERT_EQ(tdb_open(&nodefault, "dbtst107", -1, row, 0, trans_id), 0);
        EXPECT_EQ(tdb_exec_table(nodefault, nr_rows, &arg, -1), -1);
        EXPECT_EQ(tdb_errno, 519);
        EXPECT_STREQ(get_tdb_msg(), "Unknown compnr for nr_rows on 'dbtst107'.");

        /* Reads other than by key need the SQL engine. */
        EXPECT_EQ(tdb_exec_row(h, db_first, 0, -1), -1);
        EXPECT_EQ(tdb_errno, 215);

        /* Transaction ids. */
        EXPECT_EQ(tdb_exec_db(commit_trans, 77), -1);
        EXPECT_EQ(tdb_errno, 518);
        EXPECT_EQ(tdb_flush(77), -1);
        EXPECT_EQ(tdb_errno, 518);
        EXPECT_EQ(tdb_logoff(), 0);
    });
}

TEST_P(ClientActions, ParkedCursorsAreReusedAndClosedAfterTheFlush)
{
    setup_root();
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("parking");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        put_long(row, column(h, "id"), 1);
        put_string(row, column(h, "descr"), "parked");
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0);
        tdb_cursor_use *cursor = h->cursors;
        tdb_table_use *record = cursor->table;
        tdb_instance *instance = cursor->instance;
        ASSERT_EQ(tdb_close(h), 0);
        EXPECT_EQ(record->parked, cursor) << "its rows are still buffered";

        /* A new handle takes the parked cursor back. */
        tdb_handle *again = nullptr;
        ASSERT_EQ(tdb_open(&again, "dbtst107", 5, row, 0, trans_id), 0);
        put_long(row, column(again, "id"), 2);
        ASSERT_EQ(tdb_exec_row(again, db_insert_51, 0, -1), 0);
        EXPECT_EQ(again->cursors, cursor);
        EXPECT_EQ(cursor->instance, instance);
        EXPECT_EQ(record->parked, nullptr);
        ASSERT_EQ(tdb_close(again), 0);
        EXPECT_EQ(record->parked, cursor);

        /* The flush sends both rows and closes the parked cursor. */
        ASSERT_EQ(tdb_flush(trans_id), 0) << tdb_errno;
        EXPECT_EQ(record->parked, nullptr);
        EXPECT_EQ(tdb_info.duplicates, nullptr);
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select count(*) from dbtst107_005"), "2");
}

TEST_P(ClientActions, WithTdbAlwaysFlushEveryBufferedRowIsSentAtOnce)
{
    setup_root();
    run_api([&] {
        /* Read once per process, at the first buffered action. */
        setenv("TDB_ALWAYS_FLUSH", "1", 1);
        start_api();
        const unsigned trans_id = tdb_start_session("always");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        const long updates = dbc_request_count(COMMU_EXE_UPDATE);
        for (long i = 1; i <= 3; ++i) {
            put_long(row, column(h, "id"), i);
            ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0) << tdb_errno;
            EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + i);
        }
        setenv("TDB_ALWAYS_FLUSH", "0", 1);
        put_long(row, column(h, "id"), 4);
        ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + 4) << "the first reading stays";
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + 4) << "nothing left for the commit";
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select count(*) from dbtst107_005"), "4");
}

TEST_P(ClientActions, ADriverThatForgotTheTableGetsItsDictionaryAndKeepsTheUpdates)
{
    setup_root();
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("repair");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        for (long i = 1; i <= 2; ++i) {
            put_long(row, column(h, "id"), i);
            ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0) << tdb_errno;
        }
        /* The driver forgets the definition (system request 8). */
        ASSERT_EQ(tdb_exec_server(8, "dbtst107", 8, trans_id), 0) << tdb_errno;
        const long updates = dbc_request_count(COMMU_EXE_UPDATE);
        const long dictionaries = dbc_request_count(COMMU_DD_INFO_TABLE);
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_DD_INFO_TABLE), dictionaries + 1);
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + 2)
            << "the request, then its resend without tables";
        EXPECT_EQ(count_rows(h), 2);
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows_of("select count(*) from dbtst107_005"), "2");
}

/* A table on two drivers of one backend, each with a database of its own:
 * the pipe driver and the socket driver of the backend. */
class ClientActionsCopies : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::Postgres)
            REQUIRE_PG_TEST_SERVER();
        primary = std::make_unique<BackendDb>(GetParam());
        copy = std::make_unique<BackendDb>(GetParam());
    }

    std::string primary_entry() const { return server_entry(*primary, primary->driver()); }
    std::string copy_entry() const { return server_entry(*copy, copy->driver() + "_sock"); }

    void run_api(const std::function<void()> &body)
    {
        primary->disconnect();
        copy->disconnect();
        in_child(body);
    }

    std::unique_ptr<BackendDb> primary;
    std::unique_ptr<BackendDb> copy;
};

TEST_P(ClientActionsCopies, ATableOnTwoDriversGetsOneUpdateRequestPerSession)
{
    write_tabledef(primary_entry() + "&" + copy_entry());
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("copies");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = open_and_create(trans_id, row);
        ASSERT_NE(h, nullptr);
        const long updates = dbc_request_count(COMMU_EXE_UPDATE);
        for (long i = 1; i <= 10; ++i) {
            put_long(row, column(h, "id"), i);
            put_string(row, column(h, "descr"), "copy");
            ASSERT_EQ(tdb_exec_row(h, db_insert_51, 0, -1), 0);
        }
        ASSERT_EQ(tdb_exec_db(commit_trans, trans_id), 0) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_EXE_UPDATE), updates + 2);
        EXPECT_EQ(count_rows(h), 10);
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_EQ(rows(*primary, "select count(*) from dbtst107_005"), "10");
    EXPECT_EQ(rows(*copy, "select count(*) from dbtst107_005"), "10");
}

TEST_P(ClientActionsCopies, ACreateThatFailsOnACopyIsUndoneOnThePrimary)
{
    /* The copy's database has the table already. */
    write_tabledef(copy_entry());
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("before");
        unsigned char row[DD_MAX_ROW] = {};
        ASSERT_NE(open_and_create(trans_id, row), nullptr);
        EXPECT_EQ(tdb_logoff(), 0);
    });
    write_tabledef(primary_entry() + "&" + copy_entry());
    run_api([&] {
        start_api();
        const unsigned trans_id = tdb_start_session("undo");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *h = nullptr;
        ASSERT_EQ(tdb_open(&h, "dbtst107", 5, row, 0, trans_id), 0);
        int arg = 0;
        EXPECT_EQ(tdb_exec_table(h, create_table, &arg, -1), -1);
        EXPECT_EQ(tdb_errno, 507) << "the copy's answer";
        EXPECT_EQ(tdb_logoff(), 0);
    });
    EXPECT_FALSE(has_table(*primary, "dbtst107_005")) << "dropped again on the primary";
    EXPECT_TRUE(has_table(*copy, "dbtst107_005"));
}

INSTANTIATE_TEST_SUITE_P(Backends, ClientActions,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(drivertest::backend_name(info.param));
                         });

INSTANTIATE_TEST_SUITE_P(Backends, ClientActionsCopies,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(drivertest::backend_name(info.param));
                         });
