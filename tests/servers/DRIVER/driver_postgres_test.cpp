/*
 * driver_postgres_test.cpp: what only the PostgreSQL storage of the real
 * tdb_driver does: the connection string of the argument string or libpq's
 * environment, the description of the server, the catalog's column types
 * as the database shows them, a server that cannot be reached (510), a
 * connection lost under the driver (522, then a fresh connection), two
 * drivers sharing one catalog, and the tdb API client starting the driver
 * for a "postgres" server.
 */
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "backend_support.h"
#include "c_client.h"
#include "c_state.h"
#include "driver_support.h"
#include "qpd_dd.h"
#include "storage.h"
#include "tdb_api.h"
#include "tdb_commu.h"

using namespace drivertest;

namespace {

class DriverPostgres : public ::testing::Test {
protected:
    void SetUp() override
    {
        root();
        REQUIRE_PG_TEST_SERVER();
        store = std::make_unique<BackendDb>(Backend::Postgres);
    }
    std::unique_ptr<BackendDb> store;
};

std::string answer_text(const commu_block &reply)
{
    return std::string(reinterpret_cast<const char *>(reply.answer),
                       static_cast<size_t>(reply.answer_len));
}

/* Sets environment variables for the scope of a test and restores them. */
class ScopedEnv {
public:
    void set(const char *name, const std::string &value)
    {
        const char *old = std::getenv(name);
        saved_.push_back({name, old != nullptr, old != nullptr ? old : ""});
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->had)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
    }

private:
    struct Saved {
        std::string name;
        bool had;
        std::string value;
    };
    std::vector<Saved> saved_;
};

} // namespace

TEST(DriverPostgresArguments, FirstArgumentIsTheConnectionStringWithTheRootExpanded)
{
    std::string r = get_tse();
    EXPECT_EQ(tdbdriver::expanded_first_argument(""), "");
    EXPECT_EQ(tdbdriver::expanded_first_argument("  host=/s dbname=x  \1second"),
              "host=/s dbname=x");
    EXPECT_EQ(tdbdriver::expanded_first_argument("sslrootcert=${TSE}/lib/ca.pem\1"),
              "sslrootcert=" + r + "/lib/ca.pem");
    EXPECT_EQ(tdbdriver::expanded_first_argument("\1dbname=x"), "");
}

TEST_F(DriverPostgres, AttachDescribesTheServerVersionAndDatabase)
{
    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    commu_block att = c.start("postgres", store->args());
    ASSERT_EQ(att.retval, 0);
    EXPECT_EQ(att.reply_sql_protocol, 8);
    EXPECT_EQ(att.driver_pid, c.pid());

    std::vector<std::string> facts =
        store->query("SELECT current_setting('server_version_num')::int, current_database()");
    ASSERT_EQ(facts.size(), 1u);
    int num = std::stoi(facts[0].substr(0, facts[0].find('|')));
    std::string database = facts[0].substr(facts[0].find('|') + 1);
    std::string expected = "PostgreSQL " + std::to_string(num / 10000) + "." +
                           std::to_string(num % 10000) + " " + database;

    commu_block reply;
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\1", 4)), &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(answer_text(reply), expected);
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\2", 4)), &reply));
    EXPECT_EQ(answer_text(reply), "postgres");
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverPostgres, CatalogTableHasTheDocumentedColumnTypes)
{
    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("postgres", store->args()).retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst100", 100), &reply));
    ASSERT_EQ(reply.retval, 0);
    EXPECT_EQ(c.detach(), 0);

    EXPECT_EQ(store->query("SELECT column_name, data_type FROM information_schema.columns"
                           " WHERE table_schema = '" + store->where() +
                           "' AND table_name = 'tdb_catalog' ORDER BY ordinal_position"),
              (std::vector<std::string>{"table_name|text", "compnr|integer", "columns|integer",
                                        "indexes|integer", "column_list|text", "received|text",
                                        "description|bytea"}));
    EXPECT_EQ(store->query("SELECT a.attname FROM pg_index i JOIN pg_attribute a"
                           " ON a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey)"
                           " WHERE i.indrelid = 'tdb_catalog'::regclass AND i.indisprimary"
                           " ORDER BY a.attnum"),
              (std::vector<std::string>{"table_name", "compnr"}));
    /* The delivery time is UTC, as "YYYY-MM-DD HH:MM:SS", within a minute of now. */
    std::vector<std::string> age = store->query(
        "SELECT abs(extract(epoch FROM (to_timestamp(received, 'YYYY-MM-DD HH24:MI:SS')"
        " AT TIME ZONE 'UTC')::timestamp - (now() AT TIME ZONE 'UTC'))) < 60,"
        " received ~ '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$'"
        " FROM tdb_catalog");
    EXPECT_EQ(age, std::vector<std::string>{"t|t"});
    /* The column list names the stored columns as name:type:length. */
    std::vector<std::string> list = store->query(
        "SELECT column_list, columns FROM tdb_catalog WHERE table_name = 'dbtst100'");
    ASSERT_EQ(list.size(), 1u);
    std::string columns = list[0].substr(0, list[0].find('|'));
    int count = std::stoi(list[0].substr(list[0].find('|') + 1));
    EXPECT_EQ(std::count(columns.begin(), columns.end(), ',') + 1, count) << columns;
}

TEST_F(DriverPostgres, RedeliveryReplacesTheRowOfTheSameTableAndCompany)
{
    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("postgres", store->args()).retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst100", 100), &reply));
    ASSERT_EQ(reply.retval, 0);
    /* Someone changed the row by hand: a new delivery overwrites it. */
    store->query("UPDATE tdb_catalog SET columns = 999, description = '\\x00'::bytea");
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst100", 100), &reply));
    ASSERT_EQ(reply.retval, 0);
    EXPECT_EQ(c.detach(), 0);
    std::vector<std::string> rows = store->catalog_rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].rfind("dbtst100/100/", 0), 0u);
    EXPECT_EQ(rows[0].find("/999/"), std::string::npos) << rows[0];
    EXPECT_GT(store->stored_description("dbtst100", 100).size(), 20u);
}

TEST_F(DriverPostgres, UnreachableServerAnswers510AndLogsWhyWithoutThePassword)
{
    tdbtest::TempDir nowhere;
    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    long mark = driver_log_mark();
    commu_block att = c.start("postgres", "host=" + nowhere.path() +
                                              " dbname=tdbtest password=sekrit1 connect_timeout=5");
    EXPECT_EQ(att.retval, 510);
    std::string log = driver_log_since(mark);
    EXPECT_NE(log.find("cannot connect to PostgreSQL"), std::string::npos) << log;
    EXPECT_NE(log.find(nowhere.path()), std::string::npos) << log;
    EXPECT_EQ(log.find("sekrit1"), std::string::npos) << log;
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverPostgres, CatalogThatCannotBeCreatedAnswers510)
{
    /* The test role may not create tables in the system catalog schema. */
    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    long mark = driver_log_mark();
    commu_block att = c.start("postgres", pg_test_server() + " options='-csearch_path=pg_catalog'");
    EXPECT_EQ(att.retval, 510);
    std::string log = driver_log_since(mark);
    EXPECT_NE(log.find("cannot create the catalog"), std::string::npos) << log;
    EXPECT_NE(log.find("permission denied"), std::string::npos) << log;
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverPostgres, LostConnectionAnswers522ThenTheNextRequestConnectsAgain)
{
    std::string app = store->where();
    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("postgres", store->args() + " application_name=" + app).retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst100", 100), &reply));
    ASSERT_EQ(reply.retval, 0);

    /* The server ends the driver's backend. */
    EXPECT_EQ(store->query("SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity"
                           " WHERE application_name = '" + app + "'"),
              std::vector<std::string>{"t"});
    long mark = driver_log_mark();
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst101", 100), &reply));
    EXPECT_EQ(reply.retval, 522);
    std::string log = driver_log_since(mark);
    EXPECT_NE(log.find("cannot store the definition of dbtst101"), std::string::npos) << log;
    /* Not stored, so still asked for. */
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst101", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 513);

    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst101", 100), &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(c.detach(), 0);
    EXPECT_EQ(store->catalog_rows().size(), 2u);
}

TEST_F(DriverPostgres, WithoutArgumentLibpqEnvironmentChoosesTheDatabase)
{
    /* The test server's connection string, spread over libpq's variables. */
    char *err = nullptr;
    PQconninfoOption *opts = PQconninfoParse(pg_test_server().c_str(), &err);
    ASSERT_NE(opts, nullptr) << (err ? err : "");
    ScopedEnv env;
    for (PQconninfoOption *o = opts; o->keyword != nullptr; ++o) {
        if (o->val == nullptr || o->envvar == nullptr || *o->val == '\0')
            continue;
        env.set(o->envvar, o->val);
    }
    PQconninfoFree(opts);
    env.set("PGOPTIONS", "-csearch_path=" + store->where());

    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("postgres", "").retval, 0);
    long session = c.attach_session();
    commu_block reply;
    ASSERT_TRUE(c.exchange(dictionary_of(session, "dbtst102", 4), &reply));
    ASSERT_EQ(reply.retval, 0);
    EXPECT_EQ(c.detach(), 0);
    ASSERT_EQ(store->catalog_rows().size(), 1u);
    EXPECT_EQ(store->catalog_rows()[0].rfind("dbtst102/4/", 0), 0u);
}

TEST_F(DriverPostgres, ProgramAndLibraryDriversShareOneCatalog)
{
    Connection a("postgres");
    Connection b("postgres_lib");
    ASSERT_TRUE(a.ok());
    ASSERT_TRUE(b.ok());
    /* The program starts first; the library form answers in this process. */
    ASSERT_EQ(a.start("postgres", store->args()).retval, 0);
    ASSERT_EQ(b.start("postgres", store->args()).retval, 0);
    long sa = a.attach_session();
    long sb = b.attach_session();
    commu_block reply;
    ASSERT_TRUE(a.exchange(dictionary_of(sa, "dbtst100", 1), &reply));
    EXPECT_EQ(reply.retval, 0);
    ASSERT_TRUE(b.exchange(dictionary_of(sb, "dbtst100", 2), &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(a.detach(), 0);
    EXPECT_EQ(b.detach(), 0);
    std::vector<std::string> rows = store->catalog_rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("dbtst100/1/", 0), 0u);
    EXPECT_EQ(rows[1].rfind("dbtst100/2/", 0), 0u);
}

TEST_F(DriverPostgres, ClientApiStartsThePostgresDriverForATransactionAndLogoffEndsIt)
{
    const std::string conninfo = store->args();
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        /* Logon is once per process: the client runs in a child, whose
         * expectations are reported through its exit status. */
        int code = 0;
        if (tdb_init_api("drvuser", LOG_DEST_FILE, 0, 0) != 0 || tdb_logon("tdbreconfig") != 0)
            _exit(10);
        tdb_disable_references();
        const unsigned trans_id = tdb_start_session("pg-e2e");
        dd_server postgres{};
        postgres.type = 16;
        postgres.name = const_cast<char *>("postgres");
        postgres.args = const_cast<char *>(conninfo.c_str());
        dd_server_choice choice{};
        choice.alt[choice.nr_alt++] = &postgres;
        tdb_session *session = get_new_tdb_server_and_session(
            &choice, tdb_get_trans_by_id(static_cast<int>(trans_id)), 0);
        if (session == nullptr)
            _exit(11);
        const pid_t driver = static_cast<pid_t>(session->server->driver_pid);
        char answer[128] = {0};
        if (tdb_get_db_system_info(1, 1, answer, sizeof answer) != 0)
            code = 12;
        else if (std::string(answer).rfind("PostgreSQL ", 0) != 0)
            code = 13;
        else if (tdb_get_db_system_info(1, 2, answer, sizeof answer) != 0 ||
                 std::string(answer) != "postgres")
            code = 14;
        if (tdb_stop_session(trans_id) != 0 || tdb_logoff() != 0)
            code = code ? code : 15;
        else if (kill(driver, 0) == 0)
            code = code ? code : 16; /* logoff waited for the driver */
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10 logon, 11 no session, 12/13 system information, 14 driver name, 15 logoff, "
           "16 driver still running";
    /* The driver made its catalog in the test's schema. */
    EXPECT_EQ(store->query("SELECT to_regclass('tdb_catalog') IS NOT NULL"),
              std::vector<std::string>{"t"});
}
