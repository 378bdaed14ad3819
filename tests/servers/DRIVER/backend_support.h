/*
 * backend_support.h: the driver tests' view of the two storage backends:
 * a private database per test (an SQLite file, or a schema of its own in
 * the PostgreSQL test server named by TDB_TEST_PG), the driver name and
 * argument string that select it, and queries run on it directly with
 * SQLite or libpq.
 */
#ifndef DRIVER_BACKEND_SUPPORT_H
#define DRIVER_BACKEND_SUPPORT_H

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "run_program.h"

struct pg_conn; /* libpq's PGconn */

namespace drivertest {

enum class Backend { Sqlite, Postgres };

/* "sqlite" or "postgres": the driver name (and ipc_info entry) of a
 * backend, also the name of the parameterized tests' instances. */
const char *backend_name(Backend backend);
/* Test names print the backend by its name. */
void PrintTo(Backend backend, std::ostream *os);

/*
 * The PostgreSQL test server: the libpq connection string in the
 * environment variable TDB_TEST_PG (key=value form; scripts/test starts
 * a private server and sets it). When it is missing, tests that need the
 * server fail under scripts/test and CI (TDB_TEST_PG_REQUIRED or CI set)
 * and are skipped with a message elsewhere.
 */
std::string pg_test_server();
bool pg_test_server_required();
/* Why PostgreSQL tests cannot run; empty when they can. */
std::string pg_unavailable_reason();

/* Skips or fails (see pg_test_server) the calling test or SetUp when the
 * PostgreSQL test server is not there. */
#define REQUIRE_PG_TEST_SERVER()                                                   \
    do {                                                                           \
        std::string why_ = ::drivertest::pg_unavailable_reason();                  \
        if (!why_.empty()) {                                                       \
            if (::drivertest::pg_test_server_required())                           \
                FAIL() << why_;                                                    \
            GTEST_SKIP() << "*** PostgreSQL tests NOT RUN: " << why_;              \
        }                                                                          \
    } while (0)

/* One libpq connection of the test itself; every call fails the test on
 * an error. */
class PgSession {
public:
    explicit PgSession(const std::string &conninfo);
    ~PgSession();
    PgSession(const PgSession &) = delete;
    PgSession &operator=(const PgSession &) = delete;
    bool ok() const;
    /* Runs a statement; its rows, the columns as text joined by "|". */
    std::vector<std::string> query(const std::string &sql);
    /* Runs a statement; false (and the message in *error) when it failed. */
    bool try_exec(const std::string &sql, std::string *error = nullptr);

private:
    ::pg_conn *conn_ = nullptr;
};

/*
 * A private database of one backend for one test: a file in a temporary
 * directory, or a fresh PostgreSQL schema (dropped with everything in it
 * at the end) reached through the search path in the connection string.
 */
class BackendDb {
public:
    explicit BackendDb(Backend backend);
    ~BackendDb();
    BackendDb(const BackendDb &) = delete;
    BackendDb &operator=(const BackendDb &) = delete;

    Backend backend() const { return backend_; }
    /* The driver name and argument string of request 6. */
    std::string driver() const { return backend_name(backend_); }
    const std::string &args() const { return args_; }
    /* SQLite: the file; PostgreSQL: the schema. */
    const std::string &where() const { return where_; }

    /* Runs a query on the database (the test's own connection, opened at
     * the first query); its rows, the columns as text joined by "|" (NULL
     * as "NULL"). */
    std::vector<std::string> query(const std::string &sql);
    /* Closes the test's own connection (the next query opens a new one):
     * before a fork, so that no connection is shared with a child. */
    void disconnect();
    /* The catalog as "table/compnr/columns/indexes", ordered. */
    std::vector<std::string> catalog_rows();
    /* The description bytes stored for a table and company (empty when
     * there is no such row). */
    std::vector<unsigned char> stored_description(const std::string &table, int compnr);

private:
    Backend backend_;
    tdbtest::TempDir dir_;
    std::string args_;
    std::string where_;
    std::unique_ptr<PgSession> pg_;
    int owner_pid_;
};

} // namespace drivertest

#endif
