/*
 * client_alter_test.cpp: tdb_alter_table end to end against the real
 * tdb_driver on each backend (an SQLite file, a PostgreSQL schema): the
 * answers for the demo's reconfiguration tables and for small
 * dictionaries (package "da"), what the driver was asked (request 15 or
 * only the forgetting of a definition), what the database holds
 * afterwards, the 205 path with and without rows, audit drivers and copy
 * cursors, and the refusals (519, 513, 506).
 */
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "al_log.h"
#include "al_user.h"
#include "alter_dictionary.h"
#include "backend_support.h"
#include "c_commu.h"
#include "c_state.h"
#include "driver_support.h"
#include "qpd_dd.h"
#include "run_program.h"
#include "tdb_api.h"
#include "tdb_commu.h"

namespace {

using drivertest::Backend;
using drivertest::BackendDb;
using tdbtest::AlterColumnSpec;
using tdbtest::AlterKeySpec;

constexpr int kCreateTable = 4;
constexpr int kNrRows = 8;
constexpr int kCommit = 1;
constexpr int kInsert = 22;   /* db_insert: sent at once */

using drivertest::in_child;

/* Log messages of the child, for the tests that look at them. */
std::vector<std::string> g_log;
void capture_log(const char *message) { g_log.emplace_back(message); }

void start_api()
{
    ASSERT_EQ(tdb_init_api("drvuser", LOG_DEST_FILE, 0, 0), 0);
    ASSERT_EQ(tdb_logon("tdbreconfig"), 0) << tdb_errno;
    /* The user record switches the domain checks on. */
    user_info.domaincheck = 1;
}

class ClientAlter : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::Postgres)
            REQUIRE_PG_TEST_SERVER();
        store = std::make_unique<BackendDb>(GetParam());
        servers();
    }
    void TearDown() override
    {
        std::remove((drivertest::root() + "/lib/tabledef6.2").c_str());
    }

    /* The server entry of the test's database. */
    std::string db() const { return store->driver() + "(" + store->args() + ")"; }

    /* The tabledef: every dbtst and dacli table on a server list whose
     * first entry is the test's database, followed by the entries in
     * more (for example "&audit"). */
    void servers(const std::string &more = "")
    {
        const std::string list = db() + more;
        tdbtest::TempDir::writeAt(drivertest::root(), "lib/tabledef6.2",
                                  "dbtst:*:" + list + "\ndacli:*:" + list + "\n");
    }

    void run_api(const std::function<void()> &body)
    {
        store->disconnect();
        in_child(body);
    }

    std::string rows_of(const std::string &sql)
    {
        std::string out;
        for (const std::string &row : store->query(sql))
            out += (out.empty() ? "" : ",") + row;
        return out;
    }

    /* The catalog rows of one table. */
    std::vector<std::string> catalog_of(const std::string &table)
    {
        std::vector<std::string> out;
        for (const std::string &row : store->catalog_rows())
            if (row.compare(0, table.size() + 1, table + "/") == 0)
                out.push_back(row);
        return out;
    }

    std::unique_ptr<BackendDb> store;
};

/* Opens table in company 5 with a row buffer in the transaction. */
tdb_handle *open_table(unsigned trans, unsigned char *row, const char *table, int compnr = 5)
{
    tdb_handle *h = nullptr;
    EXPECT_EQ(tdb_open(&h, table, compnr, row, 0, trans), 0) << table << " " << tdb_errno;
    return h;
}

/* Creates the table and inserts rows (the first key column of each row a
 * distinct number, the rest the default row), then commits. */
void create_with_rows(tdb_handle *h, unsigned trans, unsigned char *row, int rows)
{
    int arg = 0;
    ASSERT_EQ(tdb_exec_table(h, kCreateTable, &arg, -1), 0) << tdb_errno;
    const _dd_table *t = ddtable(h->table->code);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < rows; ++i) {
        std::memcpy(row, t->default_row, t->row_length);
        /* Every table here has a long "id" as its first key. */
        const _dd_column *first = t->keys[0].parts[0];
        ASSERT_EQ(first->type, TDB_LONG);
        unsigned char *p = row + first->offset;
        p[0] = 0;
        p[1] = 0;
        p[2] = static_cast<unsigned char>(i >> 8);
        p[3] = static_cast<unsigned char>(i + 1);
        ASSERT_EQ(tdb_exec_row(h, kInsert, 0, -1), 0) << tdb_errno;
    }
    ASSERT_EQ(tdb_exec_db(kCommit, trans), 0) << tdb_errno;
}

int count_rows(tdb_handle *h)
{
    int n = -1;
    EXPECT_EQ(tdb_exec_table(h, kNrRows, &n, -1), 0) << tdb_errno;
    return n;
}

/* ---- the demo's reconfiguration tables ------------------------------------------------------ */

TEST_P(ClientAlter, IdenticalDefinitionsCheckOneAndAlterMakesTheDriverForget)
{
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dbtst107");
        create_with_rows(h, trans, row, 2);
        const long before = dbc_request_count(COMMU_ALTER_TABLE);
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), TDB_ALTER_NOTHING);
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), before) << "the check asks no driver";
        tdb_close(h);
        tdb_logoff();
    });
    ASSERT_EQ(catalog_of("dbtst107").size(), 1u) << "the driver keeps the definition";
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dbtst107");
        EXPECT_EQ(tdb_alter_table(h, 5, 0, TDB_ALTER_ALTER), TDB_ALTER_NOTHING) << tdb_errno;
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), 0);
        EXPECT_GT(dbc_request_count(COMMU_EXE_SYSTEM), 0);
        tdb_close(h);
        tdb_logoff();
    });
    EXPECT_TRUE(catalog_of("dbtst107").empty()) << "the definition was forgotten";
    EXPECT_EQ(rows_of("select count(*) from dbtst107_005"), "2") << "the rows stay";
}

TEST_P(ClientAlter, KeyPartsOnlyCheckZeroAndAlterLetsTheDriverChangeTheIndex)
{
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dbtst108");
        create_with_rows(h, trans, row, 3);
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), TDB_ALTER_IN_PLACE);
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), 0) << "decided by the client";
        tdb_close(h);
        tdb_logoff();
    });
    const std::vector<unsigned char> before = store->stored_description("dbtst108", 5);
    ASSERT_FALSE(before.empty());
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dbtst108");
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_ALTER), TDB_ALTER_IN_PLACE) << tdb_errno;
        EXPECT_GT(dbc_request_count(COMMU_ALTER_TABLE), 0) << "the driver changed the index";
        EXPECT_EQ(count_rows(h), 3);
        tdb_close(h);
        tdb_logoff();
    });
    const std::vector<unsigned char> after = store->stored_description("dbtst108", 5);
    ASSERT_FALSE(after.empty());
    EXPECT_NE(after, before) << "the driver keeps the new key as the table's";
}

/* Tables whose columns change in a way the driver can make in place:
 * the check asks the driver (0), the alter changes the table (0) and the
 * rows stay. */
TEST_P(ClientAlter, ColumnChangesAreLeftToTheDriver)
{
    for (const char *table : {"dbtst109", "dbtst110", "dbtst111", "dbtst112"}) {
        SCOPED_TRACE(table);
        run_api([table] {
            start_api();
            unsigned trans = tdb_start_session("alter");
            unsigned char row[DD_MAX_ROW];
            tdb_handle *h = open_table(trans, row, table);
            create_with_rows(h, trans, row, 4);
            /* The driver's answer: 0, or 1 when its database stores the
             * column alike in both forms (a wider text in SQLite). */
            const int check = tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK);
            EXPECT_TRUE(check == TDB_ALTER_IN_PLACE || check == TDB_ALTER_NOTHING) << check;
            const long asked = dbc_request_count(COMMU_ALTER_TABLE);
            EXPECT_GT(asked, 0) << "the driver decides";
            EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_ALTER), check) << tdb_errno;
            EXPECT_GT(dbc_request_count(COMMU_ALTER_TABLE), asked);
            EXPECT_EQ(count_rows(h), 4);
            if (std::strcmp(table, "dbtst111") == 0 || std::strcmp(table, "dbtst112") == 0) {
                EXPECT_EQ(check, TDB_ALTER_IN_PLACE) << "a column came or went";
            }
            tdb_close(h);
            tdb_logoff();
        });
        EXPECT_EQ(rows_of(std::string("select count(*) from ") + table + "_005"), "4");
    }
    /* The added column holds its default, the dropped one is gone. */
    const std::string status = rows_of("select status from dbtst111_005 order by 1");
    EXPECT_EQ(status, "1,1,1,1");
}

TEST_P(ClientAlter, TableMissingInTheDatabaseIs506FromTheDriver)
{
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dbtst110");
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), -1);
        EXPECT_EQ(tdb_errno, E_TDB_NO_TABLE);
        tdb_close(h);
        tdb_logoff();
    });
}

/* ---- refusals -------------------------------------------------------------------------------- */

TEST_P(ClientAlter, CompanyAbove999Is519AndMissingNewDefinitionIs513)
{
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dbtst107");
        EXPECT_EQ(tdb_alter_table(h, 1000, 0, TDB_ALTER_CHECK), -1);
        EXPECT_EQ(tdb_errno, 519);
        EXPECT_EQ(tdb_alter_table(h, -2, 0, TDB_ALTER_ALTER), -1);
        EXPECT_EQ(tdb_errno, 519);
        tdb_close(h);
        /* A handle without a default company. */
        tdb_handle *none = open_table(trans, row, "dbtst107", -1);
        EXPECT_EQ(tdb_alter_table(none, -1, 0, TDB_ALTER_CHECK), -1);
        EXPECT_EQ(tdb_errno, 519);
        tdb_close(none);
        /* dbtst100 has no new definition. */
        tdb_handle *old = open_table(trans, row, "dbtst100");
        EXPECT_EQ(tdb_alter_table(old, -1, 0, TDB_ALTER_CHECK), -1);
        EXPECT_EQ(tdb_errno, 513);
        EXPECT_EQ(get_dd_mode(), 1);
        tdb_close(old);
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), 0);
        tdb_logoff();
    });
}

/* ---- small dictionaries ---------------------------------------------------------------------- */

const std::vector<AlterKeySpec> kKeyOnId = {{1, 1, 0, {"id"}}};

TEST_P(ClientAlter, ConversionIsDecidedWithoutTheDriver)
{
    tdbtest::write_alter_table(drivertest::root(), "dacli001",
                               {{"id", "daDom.long"}, {"v", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"v", "daDom.float"}}, kKeyOnId);
    tdbtest::write_alter_table(drivertest::root(), "dacli002",
                               {{"id", "daDom.long"}, {"v", "daDom.s10"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"v", "daDom.long"}}, kKeyOnId);
    tdbtest::write_alter_table(drivertest::root(), "dacli003",
                               {{"id", "daDom.long"}, {"v", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"v", "daDom.longr"}}, kKeyOnId);
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        for (const char *table : {"dacli001", "dacli002", "dacli003"}) {
            tdb_handle *h = open_table(trans, row, table);
            EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), TDB_ALTER_CONVERT) << table;
            EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_ALTER), TDB_ALTER_CONVERT) << table;
            tdb_close(h);
        }
        /* With ignore-domain the new range is no reason to convert. */
        tdb_handle *h = open_table(trans, row, "dacli003");
        EXPECT_EQ(tdb_alter_table(h, -1, 1, TDB_ALTER_CHECK), TDB_ALTER_NOTHING);
        tdb_close(h);
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), 0);
        tdb_logoff();
    });
}

TEST_P(ClientAlter, StringBecomingMultibyteStringIsLeftToTheDriver)
{
    tdbtest::write_alter_table(drivertest::root(), "dacli004",
                               {{"id", "daDom.long"}, {"v", "daDom.s10"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"v", "daDom.m10"}}, kKeyOnId);
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dacli004");
        create_with_rows(h, trans, row, 2);
        const int answer = tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK);
        EXPECT_NE(answer, -1) << tdb_errno;
        EXPECT_NE(answer, TDB_ALTER_CONVERT) << "no conversion by the client";
        EXPECT_GT(dbc_request_count(COMMU_ALTER_TABLE), 0) << "the driver decides";
        tdb_close(h);
        tdb_logoff();
    });
}

/* A new column whose default (-5) lies outside its domain ($$ >= 0). */
void write_bad_default(const std::string &code)
{
    tdbtest::write_alter_table(drivertest::root(), code, {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"v", "daDom.longr", ":DEF  -5\n"}},
                               kKeyOnId);
}

TEST_P(ClientAlter, DefaultOutsideItsDomainIs205WhenTheTableHasRows)
{
    write_bad_default("dacli005");
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dacli005");
        create_with_rows(h, trans, row, 1);
        g_log.clear();
        log_set_log_hook(capture_log);
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), -1);
        EXPECT_EQ(tdb_errno, E_TDB_OUT_OF_RANGE);
        log_set_log_hook(nullptr);
        /* Only the second comparison logs: one domain message. */
        int domain_messages = 0;
        for (const std::string &m : g_log)
            if (m.find("dacli005.v") != std::string::npos)
                ++domain_messages;
        EXPECT_EQ(domain_messages, 1) << (g_log.empty() ? "" : g_log[0]);
        /* Ignoring the domain, the driver decides. */
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), 0);
        EXPECT_EQ(tdb_alter_table(h, -1, 1, TDB_ALTER_CHECK), TDB_ALTER_IN_PLACE) << tdb_errno;
        EXPECT_GT(dbc_request_count(COMMU_ALTER_TABLE), 0);
        tdb_close(h);
        tdb_logoff();
    });
}

TEST_P(ClientAlter, DefaultOutsideItsDomainPassesOnAnEmptyOrMissingTable)
{
    write_bad_default("dacli006");
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dacli006");
        /* Missing: the comparison passes, the driver then finds no table. */
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), -1);
        EXPECT_EQ(tdb_errno, E_TDB_NO_TABLE);
        EXPECT_GT(dbc_request_count(COMMU_ALTER_TABLE), 0);
        /* Empty: the driver adds the column. */
        create_with_rows(h, trans, row, 0);
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), TDB_ALTER_IN_PLACE) << tdb_errno;
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_ALTER), TDB_ALTER_IN_PLACE) << tdb_errno;
        tdb_close(h);
        tdb_logoff();
    });
    EXPECT_EQ(rows_of("select count(*) from dacli006_005"), "0");
}

/* ---- audit drivers and copy cursors ---------------------------------------------------------- */

TEST_P(ClientAlter, AuditedTableGainingOnlyRcdUtcIsLeftToTheDriver)
{
    servers("&audit");
    tdbtest::write_alter_table(drivertest::root(), "dacli007", {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"rcd_utc", "daDom.utc"}}, kKeyOnId);
    tdbtest::write_alter_table(drivertest::root(), "dacli008", {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"x", "daDom.long"}}, kKeyOnId);
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dacli007");
        create_with_rows(h, trans, row, 1);
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), TDB_ALTER_IN_PLACE) << tdb_errno;
        const long asked = dbc_request_count(COMMU_ALTER_TABLE);
        EXPECT_GT(asked, 0);
        tdb_close(h);
        tdb_handle *other = open_table(trans, row, "dacli008");
        create_with_rows(other, trans, row, 1);
        EXPECT_EQ(tdb_alter_table(other, -1, 0, TDB_ALTER_CHECK), TDB_ALTER_CONVERT);
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), asked) << "decided by the client";
        tdb_close(other);
        tdb_logoff();
    });
}

TEST_P(ClientAlter, TableOnTwoDatabaseDriversNeedsConversionForColumns)
{
    /* A second database of the same backend serves every table too. */
    BackendDb second(GetParam());
    const std::string other = second.driver() + "(" + second.args() + ")";
    second.disconnect();
    servers("&" + other);
    tdbtest::write_alter_table(drivertest::root(), "dacli009", {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"x", "daDom.long"}}, kKeyOnId);
    tdbtest::write_alter_table(drivertest::root(), "dacli010",
                               {{"id", "daDom.long"}, {"a", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"a", "daDom.long"}},
                               {{1, 1, 0, {"id"}}, {2, 1, 1, {"a"}}});
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *k = open_table(trans, row, "dacli010");
        create_with_rows(k, trans, row, 2);
        tdb_close(k);
        tdb_logoff();
    });
    const std::vector<unsigned char> created = store->stored_description("dacli010", 5);
    run_api([] {
        start_api();
        unsigned trans = tdb_start_session("alter");
        unsigned char row[DD_MAX_ROW];
        tdb_handle *h = open_table(trans, row, "dacli009");
        create_with_rows(h, trans, row, 1);
        EXPECT_EQ(tdb_alter_table(h, -1, 0, TDB_ALTER_CHECK), TDB_ALTER_CONVERT);
        EXPECT_EQ(dbc_request_count(COMMU_ALTER_TABLE), 0);
        tdb_close(h);
        /* A new index: both drivers are asked, each creates it. */
        tdb_handle *k = open_table(trans, row, "dacli010");
        EXPECT_EQ(tdb_alter_table(k, -1, 0, TDB_ALTER_ALTER), TDB_ALTER_IN_PLACE) << tdb_errno;
        EXPECT_GE(dbc_request_count(COMMU_ALTER_TABLE), 2) << "one request per driver at least";
        tdb_close(k);
        tdb_logoff();
    });
    /* Both databases hold the table with its new key. */
    const std::vector<unsigned char> first_after = store->stored_description("dacli010", 5);
    EXPECT_NE(first_after, created);
    EXPECT_EQ(second.stored_description("dacli010", 5), first_after);
}

INSTANTIATE_TEST_SUITE_P(Backends, ClientAlter,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(drivertest::backend_name(info.param));
                         });

} // namespace
