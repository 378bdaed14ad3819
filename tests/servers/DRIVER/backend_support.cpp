/*
 * backend_support.cpp: private SQLite files and PostgreSQL schemas for the
 * driver tests, and direct queries on them (see backend_support.h).
 */
#include "backend_support.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>

namespace drivertest {

namespace {

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

/* A connection for one statement or a few: closed on scope exit. */
struct Conn {
    PGconn *conn;
    explicit Conn(const std::string &conninfo) : conn(PQconnectdb(conninfo.c_str())) {}
    ~Conn() { PQfinish(conn); }
    bool ok() const { return conn != nullptr && PQstatus(conn) == CONNECTION_OK; }
};

std::vector<std::string> rows_of(PGresult *res)
{
    std::vector<std::string> rows;
    for (int r = 0; r < PQntuples(res); ++r) {
        std::string row;
        for (int c = 0; c < PQnfields(res); ++c) {
            if (c > 0)
                row += "|";
            row += PQgetisnull(res, r, c) ? "NULL" : PQgetvalue(res, r, c);
        }
        rows.push_back(row);
    }
    return rows;
}

} // namespace

const char *backend_name(Backend backend)
{
    return backend == Backend::Postgres ? "postgres" : "sqlite";
}

void PrintTo(Backend backend, std::ostream *os) { *os << backend_name(backend); }

std::string pg_test_server() { return env("TDB_TEST_PG"); }

bool pg_test_server_required()
{
    return !env("TDB_TEST_PG_REQUIRED").empty() || !env("CI").empty() ||
           !pg_test_server().empty();
}

std::string pg_unavailable_reason()
{
    static const std::string reason = [] {
        std::string conninfo = pg_test_server();
        if (conninfo.empty())
            return std::string("TDB_TEST_PG is not set (scripts/test starts a private PostgreSQL "
                               "server and sets it; by hand: eval \"$(scripts/pg-test-server "
                               "start)\")");
        Conn c(conninfo);
        if (!c.ok())
            return "cannot connect to the PostgreSQL test server (TDB_TEST_PG='" + conninfo +
                   "'): " + trimmed(c.conn ? PQerrorMessage(c.conn) : "out of memory");
        return std::string();
    }();
    return reason;
}

PgSession::PgSession(const std::string &conninfo) : conn_(PQconnectdb(conninfo.c_str()))
{
    EXPECT_TRUE(ok()) << (conn_ ? PQerrorMessage(conn_) : "out of memory");
    /* A lock held by a driver must fail the test's query, not hang it. */
    if (ok())
        PQclear(PQexec(conn_, "SET client_min_messages = warning; SET lock_timeout = '20s'"));
}

PgSession::~PgSession() { PQfinish(conn_); }

bool PgSession::ok() const { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK; }

std::vector<std::string> PgSession::query(const std::string &sql)
{
    PGresult *res = PQexec(conn_, sql.c_str());
    ExecStatusType st = PQresultStatus(res);
    EXPECT_TRUE(st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK)
        << sql << ": " << PQresultErrorMessage(res);
    std::vector<std::string> rows = rows_of(res);
    PQclear(res);
    return rows;
}

bool PgSession::try_exec(const std::string &sql, std::string *error)
{
    PGresult *res = PQexec(conn_, sql.c_str());
    ExecStatusType st = PQresultStatus(res);
    bool ok = st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK;
    if (!ok && error != nullptr)
        *error = trimmed(PQresultErrorMessage(res));
    PQclear(res);
    return ok;
}

BackendDb::BackendDb(Backend backend) : backend_(backend), owner_pid_(::getpid())
{
    if (backend_ == Backend::Sqlite) {
        where_ = dir_.path() + "/drv.db";
        args_ = where_;
        return;
    }
    if (!pg_unavailable_reason().empty())
        return;
    static int counter = 0;
    where_ = "tdbt_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    PgSession admin(pg_test_server());
    std::string error;
    EXPECT_TRUE(admin.try_exec("DROP SCHEMA IF EXISTS " + where_ + " CASCADE", &error)) << error;
    EXPECT_TRUE(admin.try_exec("CREATE SCHEMA " + where_, &error)) << error;
    args_ = pg_test_server() + " options='-csearch_path=" + where_ + "'";
}

BackendDb::~BackendDb()
{
    if (backend_ != Backend::Postgres || where_.empty() || ::getpid() != owner_pid_)
        return;
    pg_.reset();
    PGconn *admin = PQconnectdb(pg_test_server().c_str());
    if (PQstatus(admin) == CONNECTION_OK) {
        /* A driver still holding locks must not hang the test's end: the
         * schema then stays behind in the private server. */
        PQclear(PQexec(admin, "SET lock_timeout = '10s'"));
        PQclear(PQexec(admin, "SET client_min_messages = warning"));
        PQclear(PQexec(admin, ("DROP SCHEMA IF EXISTS " + where_ + " CASCADE").c_str()));
    }
    PQfinish(admin);
}

std::vector<std::string> BackendDb::query(const std::string &sql)
{
    if (backend_ == Backend::Postgres) {
        EXPECT_FALSE(args_.empty()) << "no PostgreSQL test server";
        if (args_.empty())
            return {};
        if (pg_ == nullptr)
            pg_ = std::make_unique<PgSession>(args_);
        return pg_->query(sql);
    }
    std::vector<std::string> rows;
    sqlite3 *handle = nullptr;
    EXPECT_EQ(sqlite3_open_v2(where_.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK)
        << where_;
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(handle, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(handle);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            if (c > 0)
                row += "|";
            const unsigned char *text = sqlite3_column_text(st, c);
            row += text != nullptr ? reinterpret_cast<const char *>(text) : "NULL";
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(handle);
    return rows;
}

void BackendDb::disconnect() { pg_.reset(); }

std::vector<std::string> BackendDb::catalog_rows()
{
    std::vector<std::string> rows;
    for (std::string row : query("SELECT table_name, compnr, columns, indexes FROM tdb_catalog"
                                 " ORDER BY table_name, compnr")) {
        for (char &ch : row)
            if (ch == '|')
                ch = '/';
        rows.push_back(row);
    }
    return rows;
}

std::vector<unsigned char> BackendDb::stored_description(const std::string &table, int compnr)
{
    /* Hexadecimal in both systems (SQLite upper, PostgreSQL lower case). */
    std::string hex_of = backend_ == Backend::Postgres ? "encode(description, 'hex')"
                                                       : "hex(description)";
    std::vector<std::string> rows =
        query("SELECT " + hex_of + " FROM tdb_catalog WHERE table_name = '" + table +
              "' AND compnr = " + std::to_string(compnr));
    std::vector<unsigned char> bytes;
    if (rows.size() != 1)
        return bytes;
    const std::string &hex = rows[0];
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace drivertest
