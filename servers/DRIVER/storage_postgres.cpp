/*
 * storage_postgres.cpp: the PostgreSQL storage of the driver, over libpq:
 * the catalog tdb_catalog of received table definitions, and the tables,
 * indexes and rows of the table layout, each driver session working on a
 * connection (and so a database transaction) of its own.
 */
#include "storage.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "qpd_dd.h"

namespace tdbdriver {

namespace {

/* Stores a catalog entry, replacing the one of the same table and company. */
constexpr const char *kCatalogUpsert =
    "INSERT INTO tdb_catalog"
    " (table_name, compnr, columns, indexes, column_list, description)"
    " VALUES ($1, $2, $3, $4, $5, $6)"
    " ON CONFLICT (table_name, compnr) DO UPDATE SET columns = EXCLUDED.columns,"
    " indexes = EXCLUDED.indexes, column_list = EXCLUDED.column_list,"
    " received = DEFAULT, description = EXCLUDED.description";

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

/* How long a statement waits for a lock held by someone else before it
 * answers 202, unless the connection string sets lock_timeout itself. The
 * driver serves its sessions one request at a time, so a lock held by
 * another session of the same driver would otherwise never be released. */
constexpr const char *kDefaultLockTimeout = "5s";

/* What PostgreSQL keeps of floating-point values: -0 and the infinities
 * come back as they went in; NaN payloads are not promised. */
constexpr BackendTraits kTraits{true, false, true};

/* A result, cleared on scope exit. */
class Result {
public:
    explicit Result(PGresult *res = nullptr) : res_(res) {}
    ~Result() { PQclear(res_); }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
    void reset(PGresult *res)
    {
        PQclear(res_);
        res_ = res;
    }
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

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

/* The database and server of a connection, for messages (never the
 * connection string, which may hold a password). */
std::string place_of(PGconn *conn)
{
    if (conn == nullptr)
        return "";
    std::string where = " (database '";
    where += PQdb(conn) != nullptr ? PQdb(conn) : "";
    where += "'";
    const char *host = PQhost(conn);
    if (host != nullptr && *host != '\0')
        where += std::string(" at '") + host + "'";
    return where + ")";
}

std::string message_of(PGconn *conn)
{
    return conn == nullptr ? "out of memory" : trimmed(PQerrorMessage(conn));
}

/* Opens a connection: the connection string expanded as the database name,
 * the program naming itself unless the string says else, UTF-8 text. */
PGconn *connect_to(const std::string &conninfo)
{
    const char *keywords[] = {"fallback_application_name", "dbname", "client_encoding", nullptr};
    const char *values[] = {"tdb_driver", conninfo.c_str(), "UTF8", nullptr};
    PGconn *conn = PQconnectdbParams(keywords, values, 1);
    if (conn != nullptr && PQstatus(conn) == CONNECTION_OK)
        PQsetNoticeProcessor(conn, ignore_notice, nullptr);
    return conn;
}

/* The database type of a layout column (the binary COPY of insert_rows
 * writes the same widths: smallint 2 bytes, integer 4, real 4, double 8). */
const char *sql_type(const LayoutColumn &c)
{
    switch (c.tdb_type) {
    case TDB_BYTE:
    case TDB_ENUM:
    case TDB_INTEGER:
        return "smallint";
    case TDB_FLOAT:
        return "real";
    case TDB_DOUBLE:
        return "double precision";
    case TDB_STRING:
    case TDB_MBSTRING:
        return "text";
    case TDB_RAW:
        return "bytea";
    default: /* long, date, time, text number, long_v, set */
        return "integer";
    }
}

/* One statement parameter: text, or bytes sent in binary; or NULL. */
struct Param {
    std::string data;
    bool binary = false;
    bool null = false;
};

Param param_of(const Value &v)
{
    Param p;
    if (v.null) {
        p.null = true;
        return p;
    }
    switch (v.kind) {
    case Kind::Integer:
        p.data = std::to_string(v.integer);
        break;
    case Kind::Real:
        if (std::isnan(v.real))
            p.data = "NaN";
        else if (std::isinf(v.real))
            p.data = v.real > 0 ? "Infinity" : "-Infinity";
        else {
            char text[40];
            std::snprintf(text, sizeof text, "%.17g", v.real);
            p.data = text;
        }
        break;
    case Kind::Text:
        p.data = v.text;
        break;
    case Kind::Bytes:
        p.data = v.text;
        p.binary = true;
        break;
    }
    return p;
}

/* A value of a text-format result field for a column. */
Value value_of(const LayoutColumn &c, const PGresult *res, int row, int field)
{
    if (PQgetisnull(res, row, field))
        return Value::null_of(c.kind);
    const char *text = PQgetvalue(res, row, field);
    switch (c.kind) {
    case Kind::Integer:
        return Value::of_integer(std::strtoll(text, nullptr, 10));
    case Kind::Real:
        /* A real column prints the shortest text of its single-precision
         * value: read it back as single precision. */
        if (c.tdb_type == TDB_FLOAT)
            return Value::of_real(static_cast<double>(std::strtof(text, nullptr)));
        return Value::of_real(std::strtod(text, nullptr));
    case Kind::Text:
        return Value::of_text(std::string(text, static_cast<size_t>(PQgetlength(res, row, field))));
    case Kind::Bytes:
        break;
    }
    size_t n = 0;
    unsigned char *bytes = PQunescapeBytea(reinterpret_cast<const unsigned char *>(text), &n);
    Value v = Value::of_bytes(bytes != nullptr ? std::string(reinterpret_cast<char *>(bytes), n) : "");
    PQfreemem(bytes);
    return v;
}

/* The bytes of a bytea field of a text-format result. */
std::string bytes_of(const PGresult *res, int row, int field)
{
    size_t n = 0;
    unsigned char *bytes = PQunescapeBytea(
        reinterpret_cast<const unsigned char *>(PQgetvalue(res, row, field)), &n);
    std::string out = bytes != nullptr ? std::string(reinterpret_cast<char *>(bytes), n) : "";
    PQfreemem(bytes);
    return out;
}

/* The tdb return code of a failed statement, by its SQLSTATE. */
long code_of(const PGresult *res, PGconn *conn)
{
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK)
        return kLostConnection;
    const char *state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    if (state == nullptr)
        return kLostConnection; /* no answer from the server at all */
    std::string s(state);
    if (s == "23505")
        return kDuplicate;
    if (s == "42P01")
        return kNoTable;
    if (s == "42P07")
        return kTableExists;
    if (s == "53100" || s == "53000" || s == "54000")
        return kDatabaseFull;
    if (s == "55P03" || s == "40P01" || s == "57014")
        return kDatabaseLocked;
    if (s == "25006")
        return kReadOnly;
    if (s.compare(0, 2, "08") == 0 || s == "57P01" || s == "57P02" || s == "57P03")
        return kLostConnection;
    return kIllegalState;
}

/* "a, b, c" of quoted names. */
std::string name_list(const TableLayout &t, const std::vector<int> &columns)
{
    std::string out;
    for (int i : columns) {
        if (!out.empty())
            out += ", ";
        out += TableLayout::quote(t.columns()[static_cast<size_t>(i)].name);
    }
    return out;
}

/* Every column of the layout and the image column, for SELECT and INSERT. */
std::string all_columns(const TableLayout &t)
{
    std::string out;
    for (const LayoutColumn &c : t.columns())
        out += TableLayout::quote(c.name) + ", ";
    return out + kRowImageColumn;
}

class PostgresStorage final : public Storage {
public:
    explicit PostgresStorage(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~PostgresStorage() override
    {
        for (auto &entry : sessions_)
            PQfinish(entry.second.conn);
        PQfinish(conn_);
    }

    /* ---- catalog (autocommit, on a connection of its own) ---- */

    bool open(std::string *error) override
    {
        failure_ = 0;
        if (conn_ != nullptr)
            return true;
        conn_ = connect_to(conninfo_);
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
            *error = "cannot connect to PostgreSQL" + place_of(conn_) + ": " + message_of(conn_);
            PQfinish(conn_);
            conn_ = nullptr;
            return false;
        }
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
        Result res(
            PQexecParams(conn_, kCatalogUpsert, 6, nullptr, values, lengths, formats, 0));
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

    /* ---- sessions and transactions ---- */

    void open_session(long session) override { sessions_[session]; }

    void close_session(long session) override
    {
        auto it = sessions_.find(session);
        if (it == sessions_.end())
            return;
        /* Closing the connection rolls its open transaction back. */
        PQfinish(it->second.conn);
        sessions_.erase(it);
    }

    long begin(long session, std::string *error) override
    {
        Session &s = sessions_[session];
        if (s.state != TransactionState::None)
            return kOk;
        return start(s, error);
    }

    long commit(long session, std::string *error) override
    {
        return finish(sessions_[session], "COMMIT", error);
    }

    long abort(long session, std::string *error) override
    {
        return finish(sessions_[session], "ROLLBACK", error);
    }

    long set_readonly(long session, std::string *error) override
    {
        Session &s = sessions_[session];
        if (s.state == TransactionState::None) {
            long rc = start(s, error);
            if (rc != kOk)
                return rc;
        }
        s.readonly = true;
        return kOk;
    }

    TransactionState transaction_state(long session) const override
    {
        auto it = sessions_.find(session);
        return it == sessions_.end() ? TransactionState::None : it->second.state;
    }

    /* ---- tables ---- */

    long create_table(long session, const TableLayout &t, std::string *error) override
    {
        Session &s = sessions_[session];
        long rc = definition_start(s, error);
        if (rc != kOk)
            return rc;
        std::string sql = "CREATE TABLE " + TableLayout::quote(t.table_name()) + " (";
        for (const LayoutColumn &c : t.columns()) {
            sql += TableLayout::quote(c.name) + " " + sql_type(c);
            /* A real may hold NULL: the nearest form of a NaN. */
            if (c.kind != Kind::Real)
                sql += " NOT NULL";
            sql += ", ";
        }
        sql += std::string(kRowImageColumn) + " bytea)";
        /* The table and its indexes appear together or not at all. */
        rc = exec(s, "BEGIN", {}, nullptr, error);
        if (rc != kOk)
            return rc;
        rc = exec(s, sql, {}, nullptr, error);
        for (const LayoutIndex &i : t.indexes())
            if (rc == kOk && i.in_database)
                rc = exec(s, index_sql(t, i, false), {}, nullptr, error);
        if (rc != kOk) {
            rollback_quietly(s);
            return rc;
        }
        return exec(s, "COMMIT", {}, nullptr, error);
    }

    long drop_table(long session, const TableLayout &t, std::string *error) override
    {
        Session &s = sessions_[session];
        long rc = definition_start(s, error);
        if (rc != kOk)
            return rc;
        return exec(s, "DROP TABLE " + TableLayout::quote(t.table_name()), {}, nullptr, error);
    }

    long create_index(long session, const TableLayout &t, long keynr, std::string *error) override
    {
        Session &s = sessions_[session];
        if (keynr != kAllIndexes && t.index(static_cast<int>(keynr)) == nullptr) {
            *error = "table " + t.table_name() + " has no key " + std::to_string(keynr);
            return kIllegalKey;
        }
        long rc = definition_start(s, error);
        if (rc != kOk)
            return rc;
        if (keynr != kAllIndexes) {
            rc = exec(s, index_sql(t, *t.index(static_cast<int>(keynr)), false), {}, nullptr, error);
            /* The name is taken: by this index (or, unlikely, another relation). */
            if (rc == kTableExists) {
                *error = "index " + t.index(static_cast<int>(keynr))->name + " exists";
                return kIndexExists;
            }
            return rc;
        }
        rc = table_exists(s, t, error);
        for (const LayoutIndex &i : t.indexes())
            if (rc == kOk && i.in_database)
                rc = exec(s, index_sql(t, i, true), {}, nullptr, error);
        return rc;
    }

    long drop_index(long session, const TableLayout &t, long keynr, std::string *error) override
    {
        Session &s = sessions_[session];
        const LayoutIndex *i = t.index(static_cast<int>(keynr));
        if (i == nullptr) {
            *error = "table " + t.table_name() + " has no key " + std::to_string(keynr);
            return kIllegalKey;
        }
        long rc = definition_start(s, error);
        if (rc == kOk)
            rc = table_exists(s, t, error);
        if (rc != kOk)
            return rc;
        return exec(s, "DROP INDEX IF EXISTS " + TableLayout::quote(i->name), {}, nullptr, error);
    }

    long clear_table(long session, const TableLayout &t, std::string *error) override
    {
        return update(sessions_[session], "TRUNCATE TABLE " + TableLayout::quote(t.table_name()),
                      {}, nullptr, error);
    }

    long lock_table(long session, const TableLayout &t, std::string *error) override
    {
        Session &s = sessions_[session];
        long rc = in_transaction(s, error);
        if (rc != kOk)
            return rc;
        /* Others may still read; nobody else writes or locks rows. */
        return exec(s, "LOCK TABLE " + TableLayout::quote(t.table_name()) + " IN EXCLUSIVE MODE",
                    {}, nullptr, error);
    }

    long start_import(long session, const TableLayout &t, std::string *error) override
    {
        /* The indexes that cannot refuse a row wait for the end of the
         * import; the unique ones stay, so that duplicates are refused
         * row by row. */
        Session &s = sessions_[session];
        long rc = definition_start(s, error);
        if (rc == kOk)
            rc = table_exists(s, t, error);
        for (const LayoutIndex &i : t.indexes())
            if (rc == kOk && i.in_database && !i.unique)
                rc = exec(s, "DROP INDEX IF EXISTS " + TableLayout::quote(i.name), {}, nullptr,
                          error);
        if (rc != kOk)
            return rc;
        return start(s, error);
    }

    long end_import(long session, const TableLayout &t, std::string *error) override
    {
        /* Every database index that is missing, whoever dropped it. */
        return create_index(session, t, kAllIndexes, error);
    }

    long update_statistics(long session, const TableLayout &t, std::string *error) override
    {
        return exec(sessions_[session], "ANALYZE " + TableLayout::quote(t.table_name()), {}, nullptr,
                    error);
    }

    long count_rows(long session, const TableLayout &t, long *count, std::string *error) override
    {
        Result res;
        long rc = exec(sessions_[session], "SELECT count(*) FROM " + TableLayout::quote(t.table_name()),
                       {}, &res, error);
        *count = rc == kOk ? std::atol(PQgetvalue(res.get(), 0, 0)) : 0;
        return rc;
    }

    long clear_reference_counts(long session, const TableLayout &t, std::string *error) override
    {
        std::string set;
        /* The exact image of a row holds the counters too: zero bytes are
         * 0 in every numeric type. */
        std::string image = kRowImageColumn;
        for (const LayoutColumn &c : t.columns()) {
            std::string lower;
            for (char ch : c.name)
                lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (lower != "refcntu" && lower != "refcntd")
                continue;
            set += (set.empty() ? "" : ", ") + TableLayout::quote(c.name) + " = 0";
            image = "overlay(" + image + " placing '\\x" +
                    std::string(2 * static_cast<size_t>(c.width), '0') + "'::bytea from " +
                    std::to_string(c.offset + 1) + " for " + std::to_string(c.width) + ")";
        }
        if (set.empty()) {
            *error = "table " + t.table_name() + " has no reference counter";
            return kNoReferenceCounter;
        }
        return update(sessions_[session],
                      "UPDATE " + TableLayout::quote(t.table_name()) + " SET " + set + ", " +
                          kRowImageColumn + " = " + image,
                      {}, nullptr, error);
    }

    /* ---- rows ---- */

    long insert_row(long session, const TableLayout &t, const unsigned char *row,
                    std::string *error) override
    {
        std::vector<Param> params = row_params(t, row);
        std::string sql = "INSERT INTO " + TableLayout::quote(t.table_name()) + " (" +
                          all_columns(t) + ") VALUES (";
        for (size_t i = 0; i < params.size(); i++)
            sql += (i == 0 ? "$" : ", $") + std::to_string(i + 1);
        return update(sessions_[session], sql + ")", params, nullptr, error);
    }

    /*
     * A run of rows: one COPY in binary format under one savepoint (binary
     * keeps every float exactly). When the COPY fails, the savepoint takes
     * the run back and the rows go in one by one, so that the first row
     * that fails answers exactly as a single insert does and the rows
     * before it stay.
     */
    long insert_rows(long session, const TableLayout &t,
                     const std::vector<const unsigned char *> &rows, size_t *done,
                     std::string *error) override
    {
        *done = 0;
        Session &s = sessions_[session];
        if (rows.size() < 2)
            return Storage::insert_rows(session, t, rows, done, error);
        long rc = writable(s, error);
        if (rc == kOk)
            rc = connection(s, error);
        if (rc != kOk)
            return rc;
        const std::string sql = "COPY " + TableLayout::quote(t.table_name()) + " (" +
                                t.quoted_columns() + ") FROM STDIN (FORMAT binary)";
        Result res(PQexec(s.conn, "SAVEPOINT tdb_statement"));
        bool copied = false;
        if (res.command_ok()) {
            res.reset(PQexec(s.conn, sql.c_str()));
            if (res.status() == PGRES_COPY_IN) {
                bool sent = send_copy(s, t, rows);
                sent = PQputCopyEnd(s.conn, sent ? nullptr : "the rows could not be sent") == 1 &&
                       sent;
                res.reset(PQgetResult(s.conn));
                copied = sent && res.command_ok();
                /* The end of the COPY's results. */
                for (PGresult *r; (r = PQgetResult(s.conn)) != nullptr;)
                    PQclear(r);
            }
            if (copied) {
                res.reset(PQexec(s.conn, "RELEASE SAVEPOINT tdb_statement"));
                copied = res.command_ok();
            } else if (PQstatus(s.conn) == CONNECTION_OK) {
                Result back(PQexec(s.conn, "ROLLBACK TO SAVEPOINT tdb_statement"));
                Result release(PQexec(s.conn, "RELEASE SAVEPOINT tdb_statement"));
            }
        }
        if (PQstatus(s.conn) != CONNECTION_OK) {
            failed(s, sql, res.get(), error);
            *error += " (the connection is closed)";
            drop_connection(s);
            return kLostConnection;
        }
        if (copied) {
            s.state = TransactionState::Updated;
            *done = rows.size();
            return kOk;
        }
        /* Row by row: the failing row answers for itself. */
        return Storage::insert_rows(session, t, rows, done, error);
    }

    long update_row(long session, const TableLayout &t, const unsigned char *row,
                    std::string *error) override
    {
        Session &s = sessions_[session];
        std::string ctid;
        long rc = writable(s, error);
        if (rc == kOk)
            rc = find_row(s, t, key_of(t, row), true, &ctid, nullptr, error);
        if (rc != kOk)
            return rc;
        std::vector<Param> params = row_params(t, row);
        std::string sql = "UPDATE " + TableLayout::quote(t.table_name()) + " SET ";
        size_t n = 0;
        for (const LayoutColumn &c : t.columns())
            sql += TableLayout::quote(c.name) + " = $" + std::to_string(++n) + ", ";
        sql += std::string(kRowImageColumn) + " = $" + std::to_string(++n);
        sql += " WHERE ctid = $" + std::to_string(++n) + "::tid";
        Param where;
        where.data = ctid;
        params.push_back(where);
        return update(s, sql, params, nullptr, error);
    }

    long delete_row(long session, const TableLayout &t, const unsigned char *row,
                    std::string *error) override
    {
        Session &s = sessions_[session];
        std::string ctid;
        long rc = writable(s, error);
        if (rc == kOk)
            rc = find_row(s, t, key_of(t, row), true, &ctid, nullptr, error);
        if (rc != kOk)
            return rc;
        Param where;
        where.data = ctid;
        return update(s, "DELETE FROM " + TableLayout::quote(t.table_name()) + " WHERE ctid = $1::tid",
                      {where}, nullptr, error);
    }

    long read_row(long session, const TableLayout &t, const unsigned char *key, size_t key_length,
                  bool locked, unsigned char *row, std::string *error) override
    {
        Session &s = sessions_[session];
        if (t.primary() == nullptr || key_length != static_cast<size_t>(t.key_length(1))) {
            *error = "key block of " + std::to_string(key_length) + " bytes for table " +
                     t.table_name();
            return kIllegalKey;
        }
        if (locked) {
            long rc = in_transaction(s, error);
            if (rc != kOk)
                return rc;
        }
        std::string ctid;
        return find_row(s, t, std::string(reinterpret_cast<const char *>(key), key_length), locked,
                        &ctid, row, error);
    }

    /* ---- alter table ---- */

    std::string column_type(const LayoutColumn &c) const override
    {
        return c.name == kRowImageColumn ? "bytea" : sql_type(c);
    }
    BackendTraits traits() const override { return kTraits; }

    long describe_table(long session, const TableLayout &t, std::vector<StoredColumn> *out,
                        std::string *error) override
    {
        out->clear();
        Session &s = sessions_[session];
        long rc = table_exists(s, t, error);
        if (rc != kOk)
            return rc;
        Param name;
        name.data = TableLayout::quote(t.table_name());
        Result res;
        rc = exec(s,
                  "SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute"
                  " WHERE attrelid = to_regclass($1) AND attnum > 0 AND NOT attisdropped"
                  " ORDER BY attnum",
                  {name}, &res, error);
        if (rc != kOk)
            return rc;
        for (int r = 0; r < PQntuples(res.get()); r++)
            out->push_back({PQgetvalue(res.get(), r, 0), PQgetvalue(res.get(), r, 1)});
        return kOk;
    }

    long scan_rows(long session, const TableLayout &t, bool images_only,
                   const std::function<bool(const unsigned char *, bool)> &fn,
                   std::string *error) override
    {
        Session &s = sessions_[session];
        long rc = table_exists(s, t, error);
        if (rc != kOk)
            return rc;
        return scan(s, t, images_only, fn, nullptr, error);
    }

    long alter_table(long session, const TableLayout &from, const TableLayout &to,
                     const AlterPlan &plan, const unsigned char *default_row,
                     const CatalogEntry &entry, long *answer, std::string *error) override
    {
        *answer = 0;
        Session &s = sessions_[session];
        long rc = definition_start(s, error);
        if (rc == kOk)
            rc = table_exists(s, from, error);
        if (rc != kOk)
            return rc;
        rc = exec(s, "BEGIN", {}, nullptr, error);
        if (rc != kOk)
            return rc;
        rc = alter_steps(s, from, to, plan, default_row, entry, answer, error);
        if (rc == kOk && *answer == 0)
            return exec(s, "COMMIT", {}, nullptr, error);
        rollback_quietly(s);
        return rc;
    }

private:
    struct Session;

    /* A constant for a DEFAULT clause (no parameters there): numbers as
     * text, texts and bytes through their hexadecimal form. */
    static std::string literal_of(const LayoutColumn &c, const Value &v)
    {
        auto hex = [](const std::string &bytes) {
            static const char digits[] = "0123456789abcdef";
            std::string h;
            for (unsigned char b : bytes) {
                h += digits[b >> 4];
                h += digits[b & 15];
            }
            return "decode('" + h + "', 'hex')";
        };
        switch (v.kind) {
        case Kind::Integer:
            return std::to_string(v.integer);
        case Kind::Real:
            return "'" + param_of(v).data + "'::" + sql_type(c);
        case Kind::Text:
            return "convert_from(" + hex(v.text) + ", 'UTF8')";
        case Kind::Bytes:
            break;
        }
        return hex(v.text);
    }

    /*
     * The steps of an alter inside its transaction: columns dropped,
     * renamed, retyped (ALTER COLUMN TYPE) and added (NOT NULL with the
     * default row's value, the default removed again), changed indexes
     * dropped and made, rows kept as exact images converted, rows of a
     * narrowed column read through the new layout, the catalog entry.
     */
    long alter_steps(Session &s, const TableLayout &from, const TableLayout &to,
                     const AlterPlan &plan, const unsigned char *default_row,
                     const CatalogEntry &entry, long *answer, std::string *error)
    {
        const std::string table = "ALTER TABLE " + TableLayout::quote(to.table_name()) + " ";
        std::vector<std::string> sql;
        std::string drops;
        for (int i : plan.dropped)
            drops += (drops.empty() ? "" : ", ") + std::string("DROP COLUMN ") +
                     TableLayout::quote(from.columns()[static_cast<size_t>(i)].name);
        if (!drops.empty())
            sql.push_back(table + drops);
        std::string changes;
        std::string defaults;
        for (size_t i = 0; i < plan.columns.size(); i++) {
            const AlterColumn &ac = plan.columns[i];
            const LayoutColumn &nc = to.columns()[i];
            const std::string name = TableLayout::quote(nc.name);
            auto add = [&changes](const std::string &what) {
                changes += (changes.empty() ? "" : ", ") + what;
            };
            if (ac.from < 0) {
                add("ADD COLUMN " + name + " " + sql_type(nc) +
                    (nc.kind == Kind::Real ? "" : " NOT NULL") + " DEFAULT " +
                    literal_of(nc, ac.fill));
                defaults += (defaults.empty() ? "" : ", ") + std::string("ALTER COLUMN ") + name +
                            " DROP DEFAULT";
                continue;
            }
            const LayoutColumn &oc = from.columns()[static_cast<size_t>(ac.from)];
            if (ac.renamed)
                sql.push_back(table + "RENAME COLUMN " + TableLayout::quote(oc.name) + " TO " +
                              name);
            if (ac.retyped) {
                add("ALTER COLUMN " + name + " TYPE " + sql_type(nc) + " USING " + name +
                    "::" + sql_type(nc));
                if (nc.kind == Kind::Real && oc.kind != Kind::Real)
                    add("ALTER COLUMN " + name + " DROP NOT NULL");
            }
        }
        if (!changes.empty())
            sql.push_back(table + changes);
        if (!defaults.empty())
            sql.push_back(table + defaults);
        for (const std::string &name : plan.drop_indexes)
            sql.push_back("DROP INDEX IF EXISTS " + TableLayout::quote(name));
        for (int keynr : plan.create_indexes) {
            const LayoutIndex *k = to.index(keynr);
            if (k == nullptr)
                continue;
            sql.push_back("DROP INDEX IF EXISTS " + TableLayout::quote(k->name));
            sql.push_back(index_sql(to, *k, false));
        }
        for (const std::string &statement : sql) {
            long rc = exec(s, statement, {}, nullptr, error);
            if (rc != kOk)
                return rc;
        }
        if (plan.row_layout_changed) {
            long rc = convert_images(s, from, to, plan, default_row, answer, error);
            if (rc != kOk || *answer != 0)
                return rc;
        }
        if (plan.narrowing) {
            bool unfit = false;
            long rc = scan(s, to, false, [](const unsigned char *, bool) { return true; }, &unfit,
                           error);
            if (rc != kOk)
                return rc;
            if (unfit) {
                *answer = 3;
                return kOk;
            }
        }
        std::vector<Param> params(6);
        params[0].data = entry.table;
        params[1].data = std::to_string(entry.compnr);
        params[2].data = std::to_string(entry.columns);
        params[3].data = std::to_string(entry.indexes);
        params[4].data = entry.column_list;
        params[5].data.assign(entry.description.begin(), entry.description.end());
        params[5].binary = true;
        return exec(s, kCatalogUpsert, params, nullptr, error);
    }

    /* Rows kept as exact images (still in the old layout) get the image
     * of the new layout, or none, and every column from it. */
    long convert_images(Session &s, const TableLayout &from, const TableLayout &to,
                        const AlterPlan &plan, const unsigned char *default_row, long *answer,
                        std::string *error)
    {
        Result res;
        long rc = exec(s,
                       "SELECT ctid, " + std::string(kRowImageColumn) + " FROM " +
                           TableLayout::quote(to.table_name()) + " WHERE " + kRowImageColumn +
                           " IS NOT NULL",
                       {}, &res, error);
        if (rc != kOk)
            return rc;
        std::string sql = "UPDATE " + TableLayout::quote(to.table_name()) + " SET ";
        size_t n = 0;
        for (const LayoutColumn &c : to.columns())
            sql += TableLayout::quote(c.name) + " = $" + std::to_string(++n) + ", ";
        sql += std::string(kRowImageColumn) + " = $" + std::to_string(++n);
        sql += " WHERE ctid = $" + std::to_string(++n) + "::tid";
        std::vector<unsigned char> new_row(static_cast<size_t>(to.row_length()));
        for (int r = 0; r < PQntuples(res.get()); r++) {
            std::string why;
            const ImageConversion done = convert_image(from, to, plan, bytes_of(res.get(), r, 1),
                                                       default_row, new_row.data(), &why);
            if (done != ImageConversion::Converted) {
                *error = "alter table " + to.table_name() + ": " + why;
                if (done == ImageConversion::WrongSize)
                    return kIllegalState;
                *answer = 3;
                return kOk;
            }
            std::vector<Param> params = row_params(to, new_row.data());
            Param where;
            where.data = PQgetvalue(res.get(), r, 0);
            params.push_back(where);
            rc = exec(s, sql, params, nullptr, error);
            if (rc != kOk)
                return rc;
        }
        return kOk;
    }

    /* Reads every row (or every row kept as an image) through a layout;
     * a row the layout cannot hold sets *unfit (when given) and stops, or
     * answers 215. */
    long scan(Session &s, const TableLayout &t, bool images_only,
              const std::function<bool(const unsigned char *, bool)> &fn, bool *unfit,
              std::string *error)
    {
        std::string sql = "SELECT ctid, " + all_columns(t) + " FROM " +
                          TableLayout::quote(t.table_name());
        if (images_only)
            sql += std::string(" WHERE ") + kRowImageColumn + " IS NOT NULL";
        Result res;
        long rc = exec(s, sql, {}, &res, error);
        if (rc != kOk)
            return rc;
        std::vector<unsigned char> buffer(static_cast<size_t>(t.row_length()));
        int image_field = static_cast<int>(t.columns().size()) + 1;
        for (int r = 0; r < PQntuples(res.get()); r++) {
            std::vector<Value> got;
            for (size_t c = 0; c < t.columns().size(); c++)
                got.push_back(value_of(t.columns()[c], res.get(), r, static_cast<int>(c) + 1));
            std::string image =
                PQgetisnull(res.get(), r, image_field) ? "" : bytes_of(res.get(), r, image_field);
            std::string why;
            if (!t.values_to_row(got, image, buffer.data(), &why)) {
                *error = "row of " + t.table_name() + " not readable: " + why;
                if (unfit == nullptr)
                    return kIllegalState;
                *unfit = true;
                return kOk;
            }
            if (!fn(buffer.data(), !image.empty()))
                return kOk;
        }
        return kOk;
    }

    struct Session {
        PGconn *conn = nullptr;
        TransactionState state = TransactionState::None;
        bool readonly = false;
    };

    /* ---- statements on a session's connection ---- */

    /* The session's connection, made on first use; a broken one is made
     * again (its transaction is gone then: 522). */
    long connection(Session &s, std::string *error)
    {
        if (s.conn != nullptr && PQstatus(s.conn) == CONNECTION_OK)
            return kOk;
        bool had = s.conn != nullptr;
        if (had)
            PQreset(s.conn);
        else
            s.conn = connect_to(conninfo_);
        if (s.conn == nullptr || PQstatus(s.conn) != CONNECTION_OK) {
            *error = "no connection to PostgreSQL" + place_of(s.conn) + ": " + message_of(s.conn);
            PQfinish(s.conn);
            s.conn = nullptr;
            s.state = TransactionState::None;
            s.readonly = false;
            return kLostConnection;
        }
        Result res(PQexec(s.conn, "SELECT current_setting('lock_timeout')"));
        if (res.tuples_ok() && std::strcmp(PQgetvalue(res.get(), 0, 0), "0") == 0)
            res.reset(PQexec(s.conn, (std::string("SET lock_timeout = '") + kDefaultLockTimeout +
                                      "'").c_str()));
        return kOk;
    }

    /*
     * Runs one statement. Inside a transaction a savepoint around it keeps
     * a failing statement from ending the whole transaction (PostgreSQL
     * refuses everything after an error until the rollback); the
     * savepoint, the statement and the release go to the server together
     * (libpq's pipeline mode), so that the guard costs no extra round trip
     * unless the statement fails. The result goes to *out when given.
     */
    long exec(Session &s, const std::string &sql, const std::vector<Param> &params, Result *out,
              std::string *error)
    {
        long rc = connection(s, error);
        if (rc != kOk)
            return rc;
        std::vector<const char *> values;
        std::vector<int> lengths;
        std::vector<int> formats;
        for (const Param &p : params) {
            values.push_back(p.null ? nullptr : p.data.data());
            lengths.push_back(static_cast<int>(p.data.size()));
            formats.push_back(p.binary ? 1 : 0);
        }
        if (s.state == TransactionState::None) {
            Result res(PQexecParams(s.conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                    values.data(), lengths.data(), formats.data(), 0));
            if (res.status() != PGRES_COMMAND_OK && res.status() != PGRES_TUPLES_OK)
                return failed(s, sql, res.get(), error);
            if (out != nullptr)
                out->reset(PQcopyResult(res.get(), PG_COPYRES_ATTRS | PG_COPYRES_TUPLES));
            return kOk;
        }

        bool sent = PQenterPipelineMode(s.conn) == 1 &&
                    PQsendQueryParams(s.conn, "SAVEPOINT tdb_statement", 0, nullptr, nullptr,
                                      nullptr, nullptr, 0) == 1 &&
                    PQsendQueryParams(s.conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                      values.data(), lengths.data(), formats.data(), 0) == 1 &&
                    PQsendQueryParams(s.conn, "RELEASE SAVEPOINT tdb_statement", 0, nullptr,
                                      nullptr, nullptr, nullptr, 0) == 1 &&
                    PQpipelineSync(s.conn) == 1;
        /* The first result of each of the three statements, then the sync. */
        Result results[3];
        bool synced = false;
        for (int i = 0; sent && i < 3; i++) {
            PGresult *r = PQgetResult(s.conn);
            if (r == nullptr) {
                sent = false;
                break;
            }
            results[i].reset(r);
            while ((r = PQgetResult(s.conn)) != nullptr) /* the end of this statement */
                PQclear(r);
        }
        if (sent) {
            Result sync(PQgetResult(s.conn));
            synced = sync.status() == PGRES_PIPELINE_SYNC;
        }
        if (!synced || PQexitPipelineMode(s.conn) != 1 || PQstatus(s.conn) != CONNECTION_OK) {
            /* The connection is in no state to go on: make a new one next time. */
            rc = failed(s, sql, results[1].get() ? results[1].get() : results[0].get(), error);
            if (rc != kLostConnection)
                *error += " (the connection is closed)";
            drop_connection(s);
            return kLostConnection;
        }
        if (results[0].status() != PGRES_COMMAND_OK)
            return failed(s, "SAVEPOINT", results[0].get(), error);
        if (results[1].status() != PGRES_COMMAND_OK && results[1].status() != PGRES_TUPLES_OK) {
            rc = failed(s, sql, results[1].get(), error);
            if (rc != kLostConnection) {
                Result back(PQexec(s.conn, "ROLLBACK TO SAVEPOINT tdb_statement"));
                Result release(PQexec(s.conn, "RELEASE SAVEPOINT tdb_statement"));
            }
            return rc;
        }
        if (results[2].status() != PGRES_COMMAND_OK)
            return failed(s, "RELEASE SAVEPOINT", results[2].get(), error);
        if (out != nullptr)
            out->reset(PQcopyResult(results[1].get(), PG_COPYRES_ATTRS | PG_COPYRES_TUPLES));
        return kOk;
    }

    /* The rows of a binary COPY: the header, one tuple per row (the
     * layout's columns and tdb_row), the trailer; sent in pieces of about
     * a megabyte. False when the connection refuses the data. */
    bool send_copy(Session &s, const TableLayout &t, const std::vector<const unsigned char *> &rows)
    {
        static const char header[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
        std::string buf(header, sizeof header - 1);
        std::vector<Value> values;
        std::string image;
        const size_t fields = t.columns().size() + 1;
        for (const unsigned char *row : rows) {
            t.row_to_values(row, kTraits, &values, &image);
            put_binary(&buf, 2, fields);
            for (size_t c = 0; c < values.size(); c++)
                copy_field(&buf, t.columns()[c], values[c]);
            if (image.empty()) {
                put_binary(&buf, 4, 0xFFFFFFFFu);
            } else {
                put_binary(&buf, 4, image.size());
                buf += image;
            }
            if (buf.size() >= (1u << 20)) {
                if (PQputCopyData(s.conn, buf.data(), static_cast<int>(buf.size())) != 1)
                    return false;
                buf.clear();
            }
        }
        put_binary(&buf, 2, 0xFFFFu);
        return PQputCopyData(s.conn, buf.data(), static_cast<int>(buf.size())) == 1;
    }

    /* An unsigned number of width bytes in network byte order. */
    static void put_binary(std::string *buf, int width, uint64_t v)
    {
        char bytes[8];
        for (int i = width - 1; i >= 0; i--, v >>= 8)
            bytes[i] = static_cast<char>(v & 0xFF);
        buf->append(bytes, static_cast<size_t>(width));
    }

    /* One field of a binary COPY tuple: its length (-1 for NULL) and the
     * value in the binary form of the column's database type. */
    static void copy_field(std::string *buf, const LayoutColumn &c, const Value &v)
    {
        if (v.null) {
            put_binary(buf, 4, 0xFFFFFFFFu);
            return;
        }
        switch (v.kind) {
        case Kind::Integer:
            if (c.tdb_type == TDB_BYTE || c.tdb_type == TDB_ENUM || c.tdb_type == TDB_INTEGER) {
                put_binary(buf, 4, 2);
                put_binary(buf, 2, static_cast<uint16_t>(v.integer));
            } else {
                put_binary(buf, 4, 4);
                put_binary(buf, 4, static_cast<uint32_t>(v.integer));
            }
            return;
        case Kind::Real:
            if (c.tdb_type == TDB_FLOAT) {
                const float f = static_cast<float>(v.real);
                uint32_t bits;
                std::memcpy(&bits, &f, sizeof bits);
                put_binary(buf, 4, 4);
                put_binary(buf, 4, bits);
            } else {
                uint64_t bits;
                std::memcpy(&bits, &v.real, sizeof bits);
                put_binary(buf, 4, 8);
                put_binary(buf, 8, bits);
            }
            return;
        case Kind::Text:
        case Kind::Bytes:
            put_binary(buf, 4, v.text.size());
            *buf += v.text;
            return;
        }
    }

    void drop_connection(Session &s)
    {
        PQfinish(s.conn);
        s.conn = nullptr;
        s.state = TransactionState::None;
        s.readonly = false;
    }

    /* The code and text of a failed statement ("insert into t: <the
     * server's message> (<its detail>)"); a lost connection takes the
     * transaction with it. */
    long failed(Session &s, const std::string &sql, const PGresult *res, std::string *error)
    {
        long rc = code_of(res, s.conn);
        const char *primary = res != nullptr ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        const char *detail = res != nullptr ? PQresultErrorField(res, PG_DIAG_MESSAGE_DETAIL) : nullptr;
        std::string text;
        if (primary != nullptr) {
            text = primary;
            if (detail != nullptr && *detail != '\0')
                text += std::string(" (") + detail + ")";
        } else {
            text = message_of(s.conn);
            std::string::size_type nl = text.find('\n');
            if (nl != std::string::npos)
                text.erase(nl);
            text += place_of(s.conn);
        }
        *error = statement_of(sql) + ": " + text;
        /* A missing or existing table says so in the words of every storage. */
        if ((rc == kNoTable || rc == kTableExists) && primary != nullptr) {
            std::string p(primary);
            std::string::size_type open = p.find('"');
            std::string::size_type close = open == std::string::npos ? open : p.find('"', open + 1);
            if (close != std::string::npos)
                *error = "table " + p.substr(open + 1, close - open - 1) +
                         (rc == kNoTable ? " does not exist" : " exists");
        }
        if (rc == kLostConnection) {
            s.state = TransactionState::None;
            s.readonly = false;
        }
        return rc;
    }

    /* What a statement does, for messages: "insert into t", "select from t". */
    static std::string statement_of(const std::string &sql)
    {
        std::string::size_type q = sql.find('"');
        std::string head = sql.substr(0, q);
        if (sql.compare(0, 7, "SELECT ") == 0 && sql.find(" FROM \"") != std::string::npos) {
            q = sql.find(" FROM \"") + 6;
            head = "select from ";
        }
        for (char &ch : head)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        while (!head.empty() && head.back() == ' ')
            head.pop_back();
        if (q == std::string::npos)
            return head;
        std::string::size_type end = sql.find('"', q + 1);
        return head + " " + sql.substr(q + 1, end == std::string::npos ? end : end - q - 1);
    }

    long start(Session &s, std::string *error)
    {
        long rc = exec(s, "BEGIN", {}, nullptr, error);
        if (rc == kOk)
            s.state = TransactionState::Started;
        return rc;
    }

    long in_transaction(Session &s, std::string *error)
    {
        return s.state == TransactionState::None ? start(s, error) : kOk;
    }

    long finish(Session &s, const char *how, std::string *error)
    {
        if (s.state == TransactionState::None)
            return kOk;
        /* The transaction ends however the statement goes. */
        s.state = TransactionState::None;
        s.readonly = false;
        return exec(s, how, {}, nullptr, error);
    }

    void rollback_quietly(Session &s)
    {
        if (s.conn != nullptr && PQstatus(s.conn) == CONNECTION_OK)
            PQclear(PQexec(s.conn, "ROLLBACK"));
    }

    /* Definitions commit the session's open transaction first and are
     * committed at once. */
    long definition_start(Session &s, std::string *error)
    {
        return finish(s, "COMMIT", error);
    }

    /* A statement that changes rows: refused in a read-only transaction,
     * starts the transaction when there is none, marks it updated. */
    long update(Session &s, const std::string &sql, const std::vector<Param> &params, Result *out,
                std::string *error)
    {
        long rc = writable(s, error);
        if (rc != kOk)
            return rc;
        rc = exec(s, sql, params, out, error);
        if (rc == kOk)
            s.state = TransactionState::Updated;
        return rc;
    }

    /* The transaction of an update: 204 when read only, else started. */
    long writable(Session &s, std::string *error)
    {
        if (s.readonly) {
            *error = "the transaction is read only";
            return kReadOnly;
        }
        return in_transaction(s, error);
    }

    long table_exists(Session &s, const TableLayout &t, std::string *error)
    {
        Result res;
        Param name;
        name.data = TableLayout::quote(t.table_name());
        long rc = exec(s, "SELECT to_regclass($1) IS NOT NULL", {name}, &res, error);
        if (rc != kOk)
            return rc;
        if (std::strcmp(PQgetvalue(res.get(), 0, 0), "t") != 0) {
            *error = "table " + t.table_name() + " does not exist";
            return kNoTable;
        }
        return kOk;
    }

    static std::string index_sql(const TableLayout &t, const LayoutIndex &i, bool if_missing)
    {
        return std::string(i.unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") +
               (if_missing ? "IF NOT EXISTS " : "") + TableLayout::quote(i.name) + " ON " +
               TableLayout::quote(t.table_name()) + " (" + name_list(t, i.columns) + ")";
    }

    /* The values of a row and its image (NULL when every value is exact). */
    static std::vector<Param> row_params(const TableLayout &t, const unsigned char *row)
    {
        std::vector<Value> values;
        std::string image;
        t.row_to_values(row, kTraits, &values, &image);
        std::vector<Param> params;
        params.reserve(values.size() + 1);
        for (const Value &v : values)
            params.push_back(param_of(v));
        Param img;
        img.binary = true;
        img.null = image.empty();
        img.data = image;
        params.push_back(img);
        return params;
    }

    static std::string key_of(const TableLayout &t, const unsigned char *row)
    {
        return t.key_of_row(1, row);
    }

    /*
     * The row whose key 1 is the key block: its ctid and (when row is not
     * null) the row buffer. The key's values select candidates (equal in
     * the database); the one whose own key block is byte for byte the
     * searched one is the row, so that values without an exact database
     * form are told apart. locked: FOR UPDATE. 111 when none.
     */
    long find_row(Session &s, const TableLayout &t, const std::string &key, bool locked,
                  std::string *ctid, unsigned char *row, std::string *error)
    {
        const LayoutIndex *primary = t.primary();
        if (primary == nullptr) {
            *error = "table " + t.table_name() + " has no key 1";
            return kIllegalKey;
        }
        std::vector<Value> values;
        bool exact = true;
        if (!t.key_to_values(1, reinterpret_cast<const unsigned char *>(key.data()), key.size(),
                             kTraits, &values, &exact)) {
            *error = "key block of " + std::to_string(key.size()) + " bytes for table " +
                     t.table_name();
            return kIllegalKey;
        }
        std::string sql = "SELECT ctid, " + all_columns(t) + " FROM " +
                          TableLayout::quote(t.table_name()) + " WHERE ";
        std::vector<Param> params;
        for (size_t i = 0; i < values.size(); i++) {
            const LayoutColumn &c = t.columns()[static_cast<size_t>(primary->columns[i])];
            if (i > 0)
                sql += " AND ";
            if (values[i].null) {
                sql += TableLayout::quote(c.name) + " IS NULL";
                continue;
            }
            params.push_back(param_of(values[i]));
            sql += TableLayout::quote(c.name) + " = $" + std::to_string(params.size());
        }
        if (locked)
            sql += " FOR UPDATE";
        Result res;
        long rc = exec(s, sql, params, &res, error);
        if (rc != kOk)
            return rc;
        std::vector<unsigned char> buffer(static_cast<size_t>(t.row_length()));
        for (int r = 0; r < PQntuples(res.get()); r++) {
            std::vector<Value> got;
            for (size_t c = 0; c < t.columns().size(); c++)
                got.push_back(value_of(t.columns()[c], res.get(), r, static_cast<int>(c) + 1));
            int image_field = static_cast<int>(t.columns().size()) + 1;
            std::string image =
                PQgetisnull(res.get(), r, image_field) ? "" : bytes_of(res.get(), r, image_field);
            if (!t.values_to_row(got, image, buffer.data(), error)) {
                *error = "row of " + t.table_name() + " not readable: " + *error;
                return kIllegalState;
            }
            if (t.key_of_row(1, buffer.data()) != key)
                continue;
            *ctid = PQgetvalue(res.get(), r, 0);
            if (row != nullptr)
                std::memcpy(row, buffer.data(), buffer.size());
            return kOk;
        }
        *error = "no row of " + t.table_name() + " with that key";
        return kNoRecord;
    }

    /* ---- the catalog connection ---- */

    /* A connection found broken is made again once; the request that
     * finds it still broken answers as a lost connection. */
    bool usable(std::string *error)
    {
        failure_ = 0;
        if (conn_ == nullptr) {
            failure_ = kLostConnection;
            *error = "no connection to PostgreSQL";
            return false;
        }
        if (PQstatus(conn_) == CONNECTION_OK)
            return true;
        PQreset(conn_);
        if (PQstatus(conn_) == CONNECTION_OK)
            return true;
        failure_ = kLostConnection;
        *error = "connection to PostgreSQL lost" + place_of(conn_) + ": " + message_of(conn_);
        return false;
    }
    bool fail(const std::string &what, const PGresult *res, std::string *error)
    {
        if (PQstatus(conn_) != CONNECTION_OK)
            failure_ = kLostConnection;
        const char *text = res != nullptr ? PQresultErrorMessage(res) : "";
        std::string detail = trimmed(text != nullptr && *text != '\0' ? text : message_of(conn_));
        *error = what + place_of(conn_) + ": " + detail;
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
    std::map<long, Session> sessions_;
};

} // namespace

std::unique_ptr<Storage> make_postgres_storage(std::string conninfo)
{
    return std::make_unique<PostgresStorage>(std::move(conninfo));
}

} // namespace tdbdriver
