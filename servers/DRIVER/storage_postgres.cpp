/*
 * storage_postgres.cpp: the PostgreSQL storage of the driver, over libpq:
 * one connection to a database whose table tdb_catalog keeps every
 * received table definition, like the SQLite catalog.
 */
#include "storage.h"

#include <libpq-fe.h>

#include <cstdint>
#include <cstring>

namespace tdbdriver {

namespace {

/* The catalog. The lock keeps two drivers that meet a new database at
 * the same moment from racing on the creation of the table. */
constexpr const char *kCatalogSchema =
    "CREATE TABLE IF NOT EXISTS tdb_catalog ("
    " table_name text NOT NULL,"
    " compnr integer NOT NULL,"
    " columns integer NOT NULL,"
    " indexes integer NOT NULL,"
    " column_list text NOT NULL,"
    " received text NOT NULL"
    "  DEFAULT to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'),"
    " description bytea NOT NULL,"
    " PRIMARY KEY (table_name, compnr))";
constexpr const char *kCatalogLock = "SELECT pg_advisory_xact_lock(hashtext('tdb_catalog'))";

/* A result, cleared on scope exit. */
class Result {
public:
    explicit Result(PGresult *res) : res_(res) {}
    ~Result() { PQclear(res_); }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
    PGresult *get() const { return res_; }
    ExecStatusType status() const { return PQresultStatus(res_); }
    bool command_ok() const { return status() == PGRES_COMMAND_OK; }
    bool tuples_ok() const { return status() == PGRES_TUPLES_OK; }

private:
    PGresult *res_;
};

/* Notices (such as "relation already exists, skipping") are not for the
 * client's channel or the driver's standard error. */
void ignore_notice(void *, const char *) {}

/* A 32-bit integer of a binary result (network byte order). */
long binary_int(const PGresult *res, int row, int column)
{
    if (PQgetlength(res, row, column) != 4)
        return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(PQgetvalue(res, row, column));
    uint32_t v = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    return static_cast<long>(static_cast<int32_t>(v));
}

class PostgresStorage final : public Storage {
public:
    explicit PostgresStorage(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~PostgresStorage() override { PQfinish(conn_); }

    bool open(std::string *error) override
    {
        failure_ = 0;
        if (conn_ != nullptr)
            return true;
        /* The argument string is the connection string (expanded as the
         * database name); the program names itself unless it says else. */
        const char *keywords[] = {"fallback_application_name", "dbname", nullptr};
        const char *values[] = {"tdb_driver", conninfo_.c_str(), nullptr};
        conn_ = PQconnectdbParams(keywords, values, 1);
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
            *error = "cannot connect to PostgreSQL" + place() + ": " + message();
            PQfinish(conn_);
            conn_ = nullptr;
            return false;
        }
        PQsetNoticeProcessor(conn_, ignore_notice, nullptr);
        if (!exec_command("BEGIN", error) || !exec_tuples(kCatalogLock, error) ||
            !exec_command(kCatalogSchema, error) || !exec_command("COMMIT", error)) {
            *error = "cannot create the catalog: " + *error;
            PQfinish(conn_);
            conn_ = nullptr;
            return false;
        }
        return true;
    }

    std::string describe() const override
    {
        int v = conn_ != nullptr ? PQserverVersion(conn_) : 0;
        std::string version;
        if (v >= 100000) /* 15.4 is 150004 */
            version = std::to_string(v / 10000) + "." + std::to_string(v % 10000);
        else /* 9.6.24 is 90624 */
            version = std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." +
                      std::to_string(v % 100);
        return "PostgreSQL " + version + " " + (conn_ != nullptr ? PQdb(conn_) : "");
    }

    bool load_catalog(std::vector<CatalogEntry> *out, std::string *error) override
    {
        out->clear();
        if (!usable(error))
            return false;
        Result res(PQexecParams(conn_,
                                "SELECT table_name, compnr, columns, indexes, column_list,"
                                " description FROM tdb_catalog ORDER BY table_name, compnr",
                                0, nullptr, nullptr, nullptr, nullptr, 1));
        if (!res.tuples_ok())
            return fail("cannot read the catalog", res.get(), error);
        for (int row = 0; row < PQntuples(res.get()); ++row) {
            CatalogEntry e;
            e.table.assign(PQgetvalue(res.get(), row, 0),
                           static_cast<size_t>(PQgetlength(res.get(), row, 0)));
            e.compnr = static_cast<int>(binary_int(res.get(), row, 1));
            e.columns = static_cast<int>(binary_int(res.get(), row, 2));
            e.indexes = static_cast<int>(binary_int(res.get(), row, 3));
            e.column_list.assign(PQgetvalue(res.get(), row, 4),
                                 static_cast<size_t>(PQgetlength(res.get(), row, 4)));
            const auto *blob = reinterpret_cast<const unsigned char *>(PQgetvalue(res.get(), row, 5));
            e.description.assign(blob, blob + PQgetlength(res.get(), row, 5));
            out->push_back(std::move(e));
        }
        return true;
    }

    bool save_definition(const CatalogEntry &e, std::string *error) override
    {
        if (!usable(error))
            return false;
        std::string compnr = std::to_string(e.compnr);
        std::string columns = std::to_string(e.columns);
        std::string indexes = std::to_string(e.indexes);
        static const char empty = 0;
        const char *values[] = {e.table.c_str(), compnr.c_str(), columns.c_str(), indexes.c_str(),
                                e.column_list.c_str(),
                                e.description.empty()
                                    ? &empty
                                    : reinterpret_cast<const char *>(e.description.data())};
        const int lengths[] = {0, 0, 0, 0, 0, static_cast<int>(e.description.size())};
        const int formats[] = {0, 0, 0, 0, 0, 1};
        Result res(PQexecParams(
            conn_,
            "INSERT INTO tdb_catalog"
            " (table_name, compnr, columns, indexes, column_list, description)"
            " VALUES ($1, $2, $3, $4, $5, $6)"
            " ON CONFLICT (table_name, compnr) DO UPDATE SET columns = EXCLUDED.columns,"
            " indexes = EXCLUDED.indexes, column_list = EXCLUDED.column_list,"
            " received = DEFAULT, description = EXCLUDED.description",
            6, nullptr, values, lengths, formats, 0));
        if (!res.command_ok())
            return fail("cannot store the definition of " + e.table, res.get(), error);
        return true;
    }

    bool forget_definitions(std::string_view table, std::string *error) override
    {
        if (!usable(error))
            return false;
        std::string name(table);
        const char *values[] = {name.c_str()};
        /* The first letter in either case: both dictionaries' definitions. */
        Result res(PQexecParams(conn_,
                                "DELETE FROM tdb_catalog WHERE lower(substr(table_name, 1, 1)) ="
                                " lower(substr($1, 1, 1)) AND substr(table_name, 2) ="
                                " substr($1, 2)",
                                1, nullptr, values, nullptr, nullptr, 0));
        if (!res.command_ok())
            return fail("cannot forget the definitions of " + name, res.get(), error);
        return true;
    }

    long failure_code() const override { return failure_; }

private:
    /* The database and server, for messages (never the connection string,
     * which may hold a password). */
    std::string place() const
    {
        if (conn_ == nullptr)
            return "";
        std::string where = " (database '";
        where += PQdb(conn_) != nullptr ? PQdb(conn_) : "";
        where += "'";
        const char *host = PQhost(conn_);
        if (host != nullptr && *host != '\0')
            where += std::string(" at '") + host + "'";
        return where + ")";
    }
    std::string message() const
    {
        if (conn_ == nullptr)
            return "out of memory";
        std::string text = PQerrorMessage(conn_);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        return text;
    }
    /* A connection found broken is made again once; the request that
     * finds it still broken answers as a lost connection. */
    bool usable(std::string *error)
    {
        failure_ = 0;
        if (conn_ == nullptr) {
            failure_ = kConnectionLost;
            *error = "no connection to PostgreSQL";
            return false;
        }
        if (PQstatus(conn_) == CONNECTION_OK)
            return true;
        PQreset(conn_);
        if (PQstatus(conn_) == CONNECTION_OK)
            return true;
        failure_ = kConnectionLost;
        *error = "connection to PostgreSQL lost" + place() + ": " + message();
        return false;
    }
    bool fail(const std::string &what, const PGresult *res, std::string *error)
    {
        if (PQstatus(conn_) != CONNECTION_OK)
            failure_ = kConnectionLost;
        const char *text = res != nullptr ? PQresultErrorMessage(res) : "";
        std::string detail = text != nullptr && *text != '\0' ? text : message();
        while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' '))
            detail.pop_back();
        *error = what + place() + ": " + detail;
        return false;
    }
    bool exec_command(const char *sql, std::string *error)
    {
        Result res(PQexec(conn_, sql));
        if (res.command_ok())
            return true;
        return fail(sql, res.get(), error);
    }
    bool exec_tuples(const char *sql, std::string *error)
    {
        Result res(PQexec(conn_, sql));
        if (res.tuples_ok())
            return true;
        return fail(sql, res.get(), error);
    }

    std::string conninfo_;
    PGconn *conn_ = nullptr;
    long failure_ = 0;
};

} // namespace

std::unique_ptr<Storage> make_postgres_storage(std::string conninfo)
{
    return std::make_unique<PostgresStorage>(std::move(conninfo));
}

} // namespace tdbdriver
