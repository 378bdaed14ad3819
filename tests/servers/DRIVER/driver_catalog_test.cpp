/*
 * driver_catalog_test.cpp: the dictionaries a real tdb_driver receives:
 * 513 with the missing tables, delivery with request 8, the catalog in
 * the database (an SQLite file or a PostgreSQL schema, read with SQLite
 * or libpq themselves), its survival across a restart, forgetting a
 * table, and the database path rules.
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "al_env.h"
#include "backend_support.h"
#include "driver_support.h"
#include "ipc.h"
#include "run_program.h"
#include "storage.h"
#include "tdb_commu.h"

using namespace drivertest;

namespace {

/* Every catalog case runs on both storages: an SQLite file and a schema
 * of the PostgreSQL test server. */
class DriverCatalog : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        root();
        if (GetParam() == Backend::Postgres)
            REQUIRE_PG_TEST_SERVER();
        store = std::make_unique<BackendDb>(GetParam());
    }
    /* The driver's logical name in ipc_info: the program of the backend. */
    const char *program() const { return backend_name(GetParam()); }
    commu_block start(Connection &c) { return c.start(store->driver(), store->args()); }
    std::vector<std::string> catalog_rows() { return store->catalog_rows(); }

    std::unique_ptr<BackendDb> store;
};

std::vector<unsigned char> description_bytes(const commu_dd_desc &dd)
{
    STREAM *sp = sopenVariableByteArray("w", 0, 0);
    EXPECT_EQ(commu_write_dd_desc(sp, &dd), 0);
    void *base = nullptr;
    long length = 0;
    getByteArrayProperties(sp, &base, &length);
    std::vector<unsigned char> out(static_cast<unsigned char *>(base),
                                   static_cast<unsigned char *>(base) + length);
    sclose(sp);
    return out;
}

} // namespace

TEST_P(DriverCatalog, UnknownTableAnswers513ListingItThenDeliveryEndsTheComplaint)
{
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 513);
    EXPECT_EQ(missing_of(reply), std::vector<std::string>{"dbtst100/100"});

    commu_block dd = dictionary_of(session, "dbtst100", 100);
    ASSERT_TRUE(c.exchange(dd, &reply));
    EXPECT_EQ(reply.retval, 0);

    /* Known now: the table itself has not been created. */
    long mark = driver_log_mark();
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 506);
    EXPECT_TRUE(reply.missing.empty());
    EXPECT_NE(driver_log_since(mark).find("Table action nr_rows (8) on dbtst100_100: table "
                                          "dbtst100_100 does not exist (error 506)"),
              std::string::npos)
        << driver_log_since(mark);
    /* The definition was sent for company 100 only. */
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 101, 8), &reply));
    EXPECT_EQ(reply.retval, 513);
    EXPECT_EQ(missing_of(reply), std::vector<std::string>{"dbtst100/101"});
    EXPECT_EQ(c.detach(), 0);
}

TEST_P(DriverCatalog, RowActionAndAlterTableAskForTheirDictionaries)
{
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    long session = c.attach_session();

    commu_block row;
    row.kind = COMMU_EXE_ROW;
    row.session = session;
    row.table = "dbtst107";
    row.compnr = 5;
    row.action = 13 | type_commu_row_action(13);
    static const unsigned char key[] = {0, 1};
    row.msg = key;
    row.msg_len = 2;
    unsigned char buffer[64];
    row.row_out = buffer;
    row.row_size = sizeof buffer;
    commu_block reply;
    ASSERT_TRUE(c.exchange(row, &reply));
    EXPECT_EQ(reply.retval, 513);
    EXPECT_EQ(missing_of(reply), std::vector<std::string>{"dbtst107/5"});

    commu_block alter;
    alter.kind = COMMU_ALTER_TABLE;
    alter.session = session;
    alter.table = "dbtst107";
    alter.compnr = 5;
    alter.action = 1;
    alter.msg = key;
    alter.msg_len = 2;
    ASSERT_TRUE(c.exchange(alter, &reply));
    EXPECT_EQ(reply.retval, 513);
    EXPECT_EQ(missing_of(reply), (std::vector<std::string>{"dbtst107/5", "Dbtst107/5"}));

    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst107", 5, 1), &reply));
    EXPECT_EQ(reply.retval, 0);
    ASSERT_TRUE(c.exchange(alter, &reply));
    EXPECT_EQ(reply.retval, 513);
    EXPECT_EQ(missing_of(reply), std::vector<std::string>{"Dbtst107/5"});
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst107", 5, 3), &reply));
    EXPECT_EQ(reply.retval, 0);
    ASSERT_TRUE(c.exchange(alter, &reply));
    EXPECT_EQ(reply.retval, 102) << "a default row shorter than the new definition's row";
    EXPECT_EQ(reply.missing_count, 0);
    std::vector<unsigned char> defaults(64, 0);
    alter.msg = defaults.data();
    alter.msg_len = static_cast<long>(defaults.size());
    ASSERT_TRUE(c.exchange(alter, &reply));
    EXPECT_EQ(reply.retval, 506) << "the table was never created";
    EXPECT_EQ(reply.missing_count, 0);
    EXPECT_EQ(c.detach(), 0);

    EXPECT_EQ(catalog_rows().size(), 2u);
}

TEST_P(DriverCatalog, BufferedUpdatesResentWithoutTablesStillNameTheMissingOnes)
{
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    long session = c.attach_session();
    commu_block upd;
    upd.kind = COMMU_EXE_UPDATE;
    upd.session = session;
    commu_update_table t;
    std::memset(t.table, 0, sizeof t.table);
    std::memcpy(t.table, "dbtst101", 8);
    t.compnr = 7;
    t.byte_count = 0;
    t.record_count = 0;
    upd.updates.push_back(t);
    commu_block reply;
    ASSERT_TRUE(c.exchange(upd, &reply));
    EXPECT_EQ(reply.retval, 513);
    EXPECT_EQ(missing_of(reply), std::vector<std::string>{"dbtst101/7"});

    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst101", 7), &reply));
    EXPECT_EQ(reply.retval, 0);
    upd.updates.clear(); /* the resend carries N = 0 */
    ASSERT_TRUE(c.exchange(upd, &reply));
    EXPECT_EQ(reply.retval, 0) << "the kept (empty) store was applied";
    EXPECT_EQ(c.detach(), 0);
}

TEST_P(DriverCatalog, RequestsOfUnknownSessionsAnswer518)
{
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    commu_block reply;
    ASSERT_TRUE(c.exchange(table_action(77, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 518);
    ASSERT_TRUE(c.exchange(dictionary_of(77, "dbtst100", 100), &reply));
    EXPECT_EQ(reply.retval, 518);
    commu_block dbact;
    dbact.kind = COMMU_EXE_DB;
    dbact.session = 77;
    dbact.action = 1;
    ASSERT_TRUE(c.exchange(dbact, &reply));
    EXPECT_EQ(reply.retval, 518);
    EXPECT_EQ(reply.audit_a, -1);
    EXPECT_EQ(c.detach(), 0);
    EXPECT_TRUE(catalog_rows().empty());
}

TEST_P(DriverCatalog, CatalogHoldsTheReceivedDescriptionReadableWithTheDatabaseItself)
{
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    long session = c.attach_session();
    commu_block dd = dictionary_of(session, "dbtst100", 100);
    commu_block reply;
    ASSERT_TRUE(c.exchange(dd, &reply));
    ASSERT_EQ(reply.retval, 0);
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst102", 3), &reply));
    ASSERT_EQ(reply.retval, 0);

    std::vector<std::string> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], "dbtst100/100/" + std::to_string(dd.dd.columns.size()) + "/" +
                           std::to_string(dd.dd.indexes.size()));
    EXPECT_EQ(rows[1].rfind("dbtst102/3/", 0), 0u) << rows[1];
    EXPECT_EQ(store->stored_description("dbtst100", 100), description_bytes(dd.dd));
    EXPECT_EQ(c.detach(), 0);
}

TEST_P(DriverCatalog, RestartedDriverKnowsTheCatalog)
{
    {
        Connection c(program());
        ASSERT_TRUE(c.ok());
        ASSERT_EQ(start(c).retval, 0);
        long session = c.attach_session();
        commu_block reply;
        ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst100", 100), &reply));
        ASSERT_EQ(reply.retval, 0);
        EXPECT_EQ(c.detach(), 0);
    }
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 506) << "no 513: the definition came from the catalog";
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\3", 4)), &reply));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(reply.answer),
                          static_cast<size_t>(reply.answer_len)),
              "1");
    EXPECT_EQ(c.detach(), 0);
}

TEST_P(DriverCatalog, ForgettingATableDropsBothDictionariesFromTheCatalog)
{
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst107", 1, 1), &reply));
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst107", 1, 3), &reply));
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst108", 1, 1), &reply));
    ASSERT_EQ(catalog_rows().size(), 3u);

    ASSERT_TRUE(c.exchange(system_request(8, "dbtst107"), &reply));
    EXPECT_EQ(reply.retval, 0);
    std::vector<std::string> rows = catalog_rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].rfind("dbtst108/1/", 0), 0u);
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst107", 1, 8), &reply));
    EXPECT_EQ(reply.retval, 513);
    EXPECT_EQ(c.detach(), 0);
}

TEST(DriverDatabasePath, FirstArgumentRelativeAbsoluteAndDefault)
{
    std::string r = get_tse();
    EXPECT_EQ(tdbdriver::sqlite_database_path("sqlite", ""), r + "/db/sqlite.db");
    EXPECT_EQ(tdbdriver::sqlite_database_path("sqlite3", "shop.db\1x"), r + "/db/shop.db");
    EXPECT_EQ(tdbdriver::sqlite_database_path("sqlite", "/tmp/a.db"), "/tmp/a.db");
    EXPECT_EQ(tdbdriver::sqlite_database_path("sqlite", " ${TSE}/x/${TSE}.db \1y"),
              r + "/x/" + r + ".db");
}

TEST_P(DriverCatalog, SharedLibraryDriverServesInThisProcessWithTheSameCatalog)
{
    {
        Connection c((std::string(program()) + "_lib").c_str());
        ASSERT_TRUE(c.ok());
        EXPECT_NE(ipc_flags(c.rd()) & IPC_SHLIB, 0);
        commu_block att = start(c);
        EXPECT_EQ(att.retval, 0);
        EXPECT_EQ(att.driver_pid, ::getpid());
        EXPECT_EQ(att.reply_sql_protocol, 8);
        long session = c.attach_session();
        commu_block reply;
        ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
        EXPECT_EQ(reply.retval, 513);
        EXPECT_EQ(missing_of(reply), std::vector<std::string>{"dbtst100/100"});
        ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst100", 100), &reply));
        EXPECT_EQ(reply.retval, 0);
        ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
        EXPECT_EQ(reply.retval, 506);
        EXPECT_EQ(c.detach(), 0);
    }
    EXPECT_EQ(catalog_rows().size(), 1u);
    /* The program form finds what the library stored. */
    Connection c(program());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(start(c).retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 506);
    EXPECT_EQ(c.detach(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, DriverCatalog,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(backend_name(info.param));
                         });
