/*
 * storage_sqlite.cpp: the SQLite storage of the driver: one database
 * file with the catalog (tdb_catalog) and one table per tdb table and
 * company, one connection whose single transaction belongs to one session
 * at a time, and the factory choosing the storage (SQLite or PostgreSQL)
 * by driver name.
 */
#include "storage.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "al_env.h"

namespace tdbdriver {

namespace {

constexpr const char *kCatalogSchema =
    "CREATE TABLE IF NOT EXISTS tdb_catalog ("
    " table_name TEXT NOT NULL,"
    " compnr INTEGER NOT NULL,"
    " columns INTEGER NOT NULL,"
    " indexes INTEGER NOT NULL,"
    " column_list TEXT NOT NULL,"
    " received TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%S', 'now')),"
    " description BLOB NOT NULL,"
    " PRIMARY KEY (table_name, compnr))";

/* A prepared statement, finalized on scope exit. */
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    sqlite3_stmt *get() const { return stmt_; }

private:
    sqlite3_stmt *stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

constexpr long kNoMemory = 501;    /* SQLite ran out of memory */
constexpr long kBadArgument = 102;  /* a key block of the wrong length */

/* The system error of the last failed write of the database file or
 * its journal (SQLite's own "system errno" is taken too late to keep it). */
int last_file_errno(sqlite3 *db)
{
    int e = 0;
    sqlite3_file *journal = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &journal) == SQLITE_OK &&
        journal != nullptr && journal->pMethods != nullptr &&
        journal->pMethods->xFileControl(journal, SQLITE_FCNTL_LAST_ERRNO, &e) == SQLITE_OK &&
        e != 0)
        return e;
    e = 0;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_LAST_ERRNO, &e) == SQLITE_OK && e != 0)
        return e;
    return sqlite3_system_errno(db);
}

/* A tdb return code and its text from an SQLite result. */
long map_sqlite(sqlite3 *db, int rc, std::string *error, const std::string &what)
{
    const char *msg = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    int ext = db != nullptr ? sqlite3_extended_errcode(db) : rc;
    *error = what + ": " + (msg ? msg : "") + " (SQLite " + std::to_string(ext) + ")";
    std::string_view m = msg ? msg : "";
    switch (rc & 0xFF) {
    case SQLITE_CONSTRAINT:
        if (ext == SQLITE_CONSTRAINT_UNIQUE || ext == SQLITE_CONSTRAINT_PRIMARYKEY)
            return kDuplicate;
        return kIllegalState;
    case SQLITE_FULL:
        return kDatabaseFull;
    case SQLITE_IOERR: {
        /* A file that may not grow (no space, size limit, quota) is a
         * full database, not a lost one. */
        int sys = db != nullptr ? last_file_errno(db) : 0;
        if (sys == ENOSPC || sys == EFBIG || sys == EDQUOT) {
            *error += std::string(" [") + std::strerror(sys) + "]";
            return kDatabaseFull;
        }
        if (sys != 0)
            *error += std::string(" [") + std::strerror(sys) + "]";
        return kLostConnection;
    }
    case SQLITE_CANTOPEN:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return kLostConnection;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return kDatabaseLocked;
    case SQLITE_READONLY:
        return kReadOnly;
    case SQLITE_NOMEM:
        return kNoMemory;
    default:
        if (m.substr(0, 13) == "no such table")
            return kNoTable;
        return kIllegalState;
    }
}

/* What SQLite keeps of floating-point values: a REAL column stores an
 * integral value as an integer (so -0.0 comes back as 0.0) and NaN as
 * NULL; infinities survive. */
BackendTraits sqlite_traits()
{
    BackendTraits t;
    t.keeps_negative_zero = false;
    t.keeps_nan = false;
    t.keeps_infinity = true;
    return t;
}

const char *sql_type(Kind k)
{
    switch (k) {
    case Kind::Integer:
        return "INTEGER";
    case Kind::Real:
        return "REAL";
    case Kind::Text:
        return "TEXT";
    default:
        return "BLOB";
    }
}

/* The column list of a table: every layout column, then tdb_row. */
const std::string &column_list(const TableLayout &t)
{
    return t.quoted_columns();
}

std::string index_sql(const TableLayout &t, const LayoutIndex &k, bool if_not_exists)
{
    std::string s = std::string("CREATE ") + (k.unique ? "UNIQUE " : "") + "INDEX " +
                    (if_not_exists ? "IF NOT EXISTS " : "") + TableLayout::quote(k.name) +
                    " ON " + TableLayout::quote(t.table_name()) + " (";
    for (size_t i = 0; i < k.columns.size(); i++)
        s += (i ? ", " : "") + TableLayout::quote(t.columns()[static_cast<size_t>(k.columns[i])].name);
    return s + ")";
}

/* The CREATE TABLE statement of a layout, under a given table name. */
std::string create_sql(const TableLayout &t, const std::string &name)
{
    std::string create = "CREATE TABLE " + TableLayout::quote(name) + " (";
    for (const LayoutColumn &c : t.columns())
        create += TableLayout::quote(c.name) + " " + sql_type(c.kind) + ", ";
    return create + TableLayout::quote(kRowImageColumn) + " BLOB)";
}

/* The counter columns (fields Refcntu and Refcntd) of a table. */
std::vector<const LayoutColumn *> counter_columns(const TableLayout &t)
{
    std::vector<const LayoutColumn *> out;
    for (const LayoutColumn &c : t.columns()) {
        std::string n = c.name;
        for (char &ch : n)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if ((n == "refcntu" || n == "refcntd") && c.kind == Kind::Integer)
            out.push_back(&c);
    }
    return out;
}

class SqliteStorage final : public Storage {
public:
    explicit SqliteStorage(std::string path) : path_(std::move(path)) {}
    ~SqliteStorage() override
    {
        for (auto &entry : cache_)
            sqlite3_finalize(entry.second);
        sqlite3_close(db_);
    }

    bool open(std::string *error) override
    {
        if (db_ != nullptr)
            return true;
        make_parent_directory();
        /* One thread uses the connection (the request loop): no mutex of
         * its own. */
        if (sqlite3_open_v2(path_.c_str(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            *error = "cannot open SQLite database '" + path_ + "': " + message();
            sqlite3_close(db_);
            db_ = nullptr;
            return false;
        }
        sqlite3_busy_timeout(db_, 10000);
        sqlite3_extended_result_codes(db_, 1);
        /* Write-ahead log with a sync at checkpoints only: a commit is
         * one append to the log instead of two syncs of the journal and
         * the file. A crash of the driver loses nothing committed; a
         * power failure may lose the last commits but never the
         * database's consistency. Readers (sqlite3, other sessions) keep
         * reading while a transaction writes. */
        sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        char *text = nullptr;
        if (sqlite3_exec(db_, kCatalogSchema, nullptr, nullptr, &text) != SQLITE_OK) {
            *error = "cannot create the catalog in '" + path_ + "': " + (text ? text : message());
            sqlite3_free(text);
            sqlite3_close(db_);
            db_ = nullptr;
            return false;
        }
        return true;
    }

    std::string describe() const override
    {
        return std::string("SQLite ") + sqlite3_libversion() + " " + path_;
    }

    bool load_catalog(std::vector<CatalogEntry> *out, std::string *error) override
    {
        out->clear();
        Statement st(db_, "SELECT table_name, compnr, columns, indexes, column_list, description"
                          " FROM tdb_catalog ORDER BY table_name, compnr");
        if (!st.ok())
            return fail("cannot read the catalog", error);
        int rc;
        while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
            CatalogEntry e;
            const unsigned char *name = sqlite3_column_text(st.get(), 0);
            e.table = name ? reinterpret_cast<const char *>(name) : "";
            e.compnr = sqlite3_column_int(st.get(), 1);
            e.columns = sqlite3_column_int(st.get(), 2);
            e.indexes = sqlite3_column_int(st.get(), 3);
            const unsigned char *list = sqlite3_column_text(st.get(), 4);
            e.column_list = list ? reinterpret_cast<const char *>(list) : "";
            const auto *blob = static_cast<const unsigned char *>(sqlite3_column_blob(st.get(), 5));
            int n = sqlite3_column_bytes(st.get(), 5);
            if (blob != nullptr && n > 0)
                e.description.assign(blob, blob + n);
            out->push_back(std::move(e));
        }
        if (rc != SQLITE_DONE)
            return fail("cannot read the catalog", error);
        return true;
    }

    bool save_definition(const CatalogEntry &e, std::string *error) override
    {
        /* Inside a session's transaction the entry shares its fate; an
         * abort writes it again (the driver keeps it in memory). */
        if (owner_ != 0)
            redo_.push_back({e, ""});
        return write_definition(e, error);
    }

    bool forget_definitions(std::string_view table, std::string *error) override
    {
        if (owner_ != 0)
            redo_.push_back({CatalogEntry{}, std::string(table)});
        return erase_definitions(table, error);
    }

    /* ---- sessions and transactions ---- */

    void open_session(long) override {}

    void close_session(long session) override
    {
        std::string error;
        if (owner_ == session)
            abort(session, &error);
        readonly_.erase(session);
    }

    long begin(long session, std::string *error) override
    {
        return ensure_transaction(session, error);
    }

    long commit(long session, std::string *error) override
    {
        readonly_.erase(session);
        if (owner_ != session)
            return kOk;
        int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            long code = map_sqlite(db_, rc, error, "commit");
            /* A commit that cannot finish leaves nothing behind. */
            if (!sqlite3_get_autocommit(db_))
                rollback_now();
            else
                end_transaction();
            return code;
        }
        end_transaction();
        return kOk;
    }

    long abort(long session, std::string *error) override
    {
        readonly_.erase(session);
        if (owner_ != session)
            return kOk;
        (void)error;
        rollback_now();
        return kOk;
    }

    long set_readonly(long session, std::string *) override
    {
        readonly_.insert(session);
        return kOk;
    }

    TransactionState transaction_state(long session) const override
    {
        if (owner_ != session || owner_ == 0)
            return TransactionState::None;
        return updated_ ? TransactionState::Updated : TransactionState::Started;
    }

    /* ---- tables ---- */

    long create_table(long session, const TableLayout &t, std::string *error) override
    {
        long rc = definition_step(session, error);
        if (rc != kOk)
            return rc;
        int exists = table_exists(t);
        if (exists < 0)
            return map_sqlite(db_, SQLITE_ERROR, error, "create table " + t.table_name());
        if (exists > 0) {
            *error = "table " + t.table_name() + " exists";
            return kTableExists;
        }
        std::vector<std::string> sql;
        sql.push_back(create_sql(t, t.table_name()));
        for (const LayoutIndex &k : t.indexes())
            if (k.in_database)
                sql.push_back(index_sql(t, k, false));
        return run_definition(sql, error, "create table " + t.table_name());
    }

    long drop_table(long session, const TableLayout &t, std::string *error) override
    {
        long rc = definition_step(session, error);
        if (rc == kOk)
            rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        deferred_.erase(t.table_name());
        return run_definition({"DROP TABLE " + TableLayout::quote(t.table_name())}, error,
                              "drop table " + t.table_name());
    }

    long create_index(long session, const TableLayout &t, long keynr, std::string *error) override
    {
        long rc = definition_step(session, error);
        if (rc == kOk)
            rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        std::vector<std::string> sql;
        if (keynr == kAllIndexes) {
            for (const LayoutIndex &k : t.indexes())
                if (k.in_database)
                    sql.push_back(index_sql(t, k, true));
            deferred_.erase(t.table_name());
        } else {
            const LayoutIndex *k = t.index(static_cast<int>(keynr));
            if (k == nullptr) {
                *error = "table " + t.table_name() + " has no key " + std::to_string(keynr);
                return kIllegalKey;
            }
            if (object_exists("index", k->name) > 0) {
                *error = "index " + k->name + " exists";
                return kIndexExists;
            }
            sql.push_back(index_sql(t, *k, false));
            auto d = deferred_.find(t.table_name());
            if (d != deferred_.end())
                d->second.erase(k->keynr);
        }
        return run_definition(sql, error, "create index on " + t.table_name());
    }

    long drop_index(long session, const TableLayout &t, long keynr, std::string *error) override
    {
        long rc = definition_step(session, error);
        if (rc == kOk)
            rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        const LayoutIndex *k = t.index(static_cast<int>(keynr));
        if (k == nullptr) {
            *error = "table " + t.table_name() + " has no key " + std::to_string(keynr);
            return kIllegalKey;
        }
        auto d = deferred_.find(t.table_name());
        if (d != deferred_.end())
            d->second.erase(k->keynr);
        return run_definition({"DROP INDEX IF EXISTS " + TableLayout::quote(k->name)}, error,
                              "drop index " + k->name);
    }

    long clear_table(long session, const TableLayout &t, std::string *error) override
    {
        long rc = write_step(session, t, error);
        if (rc != kOk)
            return rc;
        rc = exec("DELETE FROM " + TableLayout::quote(t.table_name()), error,
                  "clear table " + t.table_name());
        if (rc == kOk)
            updated_ = true;
        return rc;
    }

    long lock_table(long session, const TableLayout &t, std::string *error) override
    {
        long rc = need_table(t, error);
        if (rc == kOk)
            rc = ensure_transaction(session, error);
        return rc;
    }

    long start_import(long session, const TableLayout &t, std::string *error) override
    {
        if (readonly_.count(session) != 0) {
            *error = "the transaction of session " + std::to_string(session) + " is read only";
            return kReadOnly;
        }
        long rc = definition_step(session, error);
        if (rc == kOk)
            rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        /* Indexes that cannot refuse a row wait for the end of the import
         * (dropped at once, as definitions are); unique ones stay to
         * report duplicates as the rows come. */
        std::vector<std::string> drops;
        for (const LayoutIndex &k : t.indexes()) {
            if (!k.in_database || k.unique || object_exists("index", k.name) <= 0)
                continue;
            drops.push_back("DROP INDEX " + TableLayout::quote(k.name));
            deferred_[t.table_name()].insert(k.keynr);
        }
        if (!drops.empty()) {
            rc = run_definition(drops, error, "start import of " + t.table_name());
            if (rc != kOk)
                return rc;
        }
        return ensure_transaction(session, error);
    }

    long end_import(long session, const TableLayout &t, std::string *error) override
    {
        if (owner_ != 0 && owner_ != session)
            return busy(error);
        long rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        auto d = deferred_.find(t.table_name());
        if (d == deferred_.end())
            return kOk;
        for (int keynr : d->second) {
            const LayoutIndex *k = t.index(keynr);
            if (k == nullptr)
                continue;
            rc = exec(index_sql(t, *k, true), error, "end import");
            if (rc != kOk)
                return rc;
        }
        deferred_.erase(d);
        return kOk;
    }

    long update_statistics(long session, const TableLayout &t, std::string *error) override
    {
        if (owner_ != 0 && owner_ != session)
            return busy(error);
        long rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        return exec("ANALYZE " + TableLayout::quote(t.table_name()), error,
                    "update statistics " + t.table_name());
    }

    long count_rows(long, const TableLayout &t, long *count, std::string *error) override
    {
        *count = 0;
        long rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        sqlite3_stmt *st = nullptr;
        rc = prepare("SELECT count(*) FROM " + TableLayout::quote(t.table_name()), &st,
                          error, "count rows of " + t.table_name());
        if (rc != kOk)
            return rc;
        int step = sqlite3_step(st);
        if (step != SQLITE_ROW) {
            rc = map_sqlite(db_, step, error, "count rows of " + t.table_name());
            sqlite3_reset(st);
            return rc;
        }
        *count = static_cast<long>(sqlite3_column_int64(st, 0));
        sqlite3_reset(st);
        return kOk;
    }

    long clear_reference_counts(long session, const TableLayout &t, std::string *error) override
    {
        std::vector<const LayoutColumn *> counters = counter_columns(t);
        long rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        if (counters.empty()) {
            *error = "table " + t.table_name() + " has no reference counters";
            return kNoReferenceCounter;
        }
        rc = write_step(session, t, error);
        if (rc != kOk)
            return rc;
        std::string what = "clear reference counters of " + t.table_name();
        std::string set;
        for (const LayoutColumn *c : counters)
            set += (set.empty() ? "" : ", ") + TableLayout::quote(c->name) + " = 0";
        rc = exec("UPDATE " + TableLayout::quote(t.table_name()) + " SET " + set, error, what);
        if (rc != kOk)
            return rc;
        /* Rows kept as exact images get the zeros in the image too. */
        std::vector<std::pair<sqlite3_int64, std::string>> images;
        sqlite3_stmt *st = nullptr;
        rc = prepare("SELECT rowid, " + TableLayout::quote(kRowImageColumn) + " FROM " +
                         TableLayout::quote(t.table_name()) + " WHERE " +
                         TableLayout::quote(kRowImageColumn) + " IS NOT NULL",
                     &st, error, what);
        if (rc != kOk)
            return rc;
        int step;
        while ((step = sqlite3_step(st)) == SQLITE_ROW) {
            const char *p = static_cast<const char *>(sqlite3_column_blob(st, 1));
            std::string image(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, 1)));
            for (const LayoutColumn *c : counters)
                if (c->offset + c->width <= static_cast<int>(image.size()))
                    std::memset(image.data() + c->offset, 0, static_cast<size_t>(c->width));
            images.emplace_back(sqlite3_column_int64(st, 0), std::move(image));
        }
        sqlite3_reset(st);
        if (step != SQLITE_DONE)
            return map_sqlite(db_, step, error, what);
        for (const auto &[rowid, image] : images) {
            rc = prepare("UPDATE " + TableLayout::quote(t.table_name()) + " SET " +
                             TableLayout::quote(kRowImageColumn) + " = ? WHERE rowid = ?",
                         &st, error, what);
            if (rc != kOk)
                return rc;
            sqlite3_bind_blob(st, 1, image.data(), static_cast<int>(image.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 2, rowid);
            rc = step_done(st, error, what);
            if (rc != kOk)
                return rc;
        }
        updated_ = true;
        return kOk;
    }

    /* ---- rows ---- */

    long insert_row(long session, const TableLayout &t, const unsigned char *row,
                    std::string *error) override
    {
        long rc = write_step(session, t, error);
        if (rc != kOk)
            return rc;
        const RowStatements &texts = row_statements(t);
        sqlite3_stmt *st = nullptr;
        rc = prepare(texts.insert, &st, error, texts.insert_what);
        if (rc != kOk)
            return rc;
        bind_row(st, 1, t, row);
        rc = step_done(st, error, texts.insert_what);
        if (rc == kOk)
            updated_ = true;
        return rc;
    }

    /* Starts the session's write and finds the row with the key 1 of a
     * row buffer: its rowid, or 111 when there is none. */
    long locate_for_write(long session, const TableLayout &t, const unsigned char *row,
                          sqlite3_int64 *rowid, std::string *error)
    {
        long rc = write_step(session, t, error);
        if (rc != kOk)
            return rc;
        std::string key = t.key_of_row(1, row);
        return find(t, reinterpret_cast<const unsigned char *>(key.data()), key.size(), rowid,
                    nullptr, error);
    }

    long update_row(long session, const TableLayout &t, const unsigned char *row,
                    std::string *error) override
    {
        sqlite3_int64 rowid = 0;
        long rc = locate_for_write(session, t, row, &rowid, error);
        if (rc != kOk)
            return rc;
        const RowStatements &texts = row_statements(t);
        sqlite3_stmt *st = nullptr;
        rc = prepare(texts.update, &st, error, texts.update_what);
        if (rc != kOk)
            return rc;
        int next = bind_row(st, 1, t, row);
        sqlite3_bind_int64(st, next, rowid);
        rc = step_done(st, error, texts.update_what);
        if (rc == kOk)
            updated_ = true;
        return rc;
    }

    long delete_row(long session, const TableLayout &t, const unsigned char *row,
                    std::string *error) override
    {
        sqlite3_int64 rowid = 0;
        long rc = locate_for_write(session, t, row, &rowid, error);
        if (rc != kOk)
            return rc;
        std::string what = "delete from " + t.table_name();
        sqlite3_stmt *st = nullptr;
        rc = prepare("DELETE FROM " + TableLayout::quote(t.table_name()) + " WHERE rowid = ?",
                     &st, error, what);
        if (rc != kOk)
            return rc;
        sqlite3_bind_int64(st, 1, rowid);
        rc = step_done(st, error, what);
        if (rc == kOk)
            updated_ = true;
        return rc;
    }

    long read_row(long session, const TableLayout &t, const unsigned char *key,
                  size_t key_length, bool locked, unsigned char *row, std::string *error) override
    {
        long rc = locked ? write_step(session, t, error) : need_table(t, error);
        if (rc != kOk)
            return rc;
        sqlite3_int64 rowid = 0;
        return find(t, key, key_length, &rowid, row, error);
    }

    /* ---- alter table ---- */

    std::string column_type(const LayoutColumn &c) const override { return sql_type(c.kind); }
    BackendTraits traits() const override { return traits_; }

    long describe_table(long, const TableLayout &t, std::vector<StoredColumn> *out,
                        std::string *error) override
    {
        out->clear();
        long rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        std::string what = "describe " + t.table_name();
        Statement st(db_, ("PRAGMA table_info(" + TableLayout::quote(t.table_name()) + ")").c_str());
        if (!st.ok())
            return map_sqlite(db_, sqlite3_errcode(db_), error, what);
        int step;
        while ((step = sqlite3_step(st.get())) == SQLITE_ROW) {
            const auto *name = reinterpret_cast<const char *>(sqlite3_column_text(st.get(), 1));
            const auto *type = reinterpret_cast<const char *>(sqlite3_column_text(st.get(), 2));
            out->push_back({name ? name : "", type ? type : ""});
        }
        if (step != SQLITE_DONE)
            return map_sqlite(db_, step, error, what);
        return kOk;
    }

    long scan_rows(long, const TableLayout &t, bool images_only,
                   const std::function<bool(const unsigned char *, bool)> &fn,
                   std::string *error) override
    {
        long rc = need_table(t, error);
        if (rc != kOk)
            return rc;
        return scan(t, images_only,
                    [&fn](sqlite3_int64, const unsigned char *row, bool image) {
                        return fn(row, image);
                    },
                    nullptr, error);
    }

    long alter_table(long session, const TableLayout &from, const TableLayout &to,
                     const AlterPlan &plan, const unsigned char *default_row,
                     const CatalogEntry &entry, long *answer, std::string *error) override
    {
        *answer = 0;
        long rc = definition_step(session, error);
        if (rc == kOk)
            rc = need_table(from, error);
        if (rc != kOk)
            return rc;
        std::string what = "alter table " + from.table_name();
        rc = exec("BEGIN IMMEDIATE", error, what);
        if (rc != kOk)
            return rc;
        rc = alter_steps(from, to, plan, default_row, entry, answer, error, what);
        if (rc == kOk && *answer == 0)
            rc = exec("COMMIT", error, what);
        if (rc != kOk || *answer != 0)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return rc;
    }

private:
    /*
     * The steps of an alter inside its transaction. Changed columns: the
     * table is made again in the new layout (CREATE, INSERT ... SELECT,
     * DROP, RENAME: SQLite alters no column types) with every index;
     * otherwise only the changed indexes are dropped and made. Then rows
     * kept as exact images are converted and every row of a narrowed
     * column is read through the new layout.
     */
    long alter_steps(const TableLayout &from, const TableLayout &to, const AlterPlan &plan,
                     const unsigned char *default_row, const CatalogEntry &entry, long *answer,
                     std::string *error, const std::string &what)
    {
        const std::string table = TableLayout::quote(to.table_name());
        long rc = kOk;
        if (plan.columns_changed) {
            const std::string temp = to.table_name() + "_alter";
            rc = exec("DROP TABLE IF EXISTS " + TableLayout::quote(temp), error, what);
            if (rc == kOk)
                rc = exec(create_sql(to, temp), error, what);
            if (rc != kOk)
                return rc;
            std::string select;
            std::vector<const Value *> fills;
            for (size_t i = 0; i < plan.columns.size(); i++) {
                const AlterColumn &ac = plan.columns[i];
                if (ac.from < 0) {
                    fills.push_back(&ac.fill);
                    select += "?" + std::to_string(fills.size());
                } else {
                    std::string old =
                        TableLayout::quote(from.columns()[static_cast<size_t>(ac.from)].name);
                    select += ac.retyped ? "CAST(" + old + " AS " +
                                               sql_type(to.columns()[i].kind) + ")"
                                         : old;
                }
                select += ", ";
            }
            select += TableLayout::quote(kRowImageColumn);
            std::string sql = "INSERT INTO " + TableLayout::quote(temp) + " (" +
                              to.quoted_columns() + ") SELECT " + select + " FROM " + table;
            Statement st(db_, sql.c_str());
            if (!st.ok())
                return map_sqlite(db_, sqlite3_errcode(db_), error, what);
            for (size_t i = 0; i < fills.size(); i++)
                bind_value(st.get(), static_cast<int>(i + 1), *fills[i]);
            int step = sqlite3_step(st.get());
            if (step != SQLITE_DONE)
                return map_sqlite(db_, step, error, what);
            rc = exec("DROP TABLE " + table, error, what);
            if (rc == kOk)
                rc = exec("ALTER TABLE " + TableLayout::quote(temp) + " RENAME TO " + table, error,
                          what);
            for (const LayoutIndex &k : to.indexes())
                if (rc == kOk && k.in_database)
                    rc = exec(index_sql(to, k, false), error, what);
        } else {
            for (const std::string &name : plan.drop_indexes)
                if (rc == kOk)
                    rc = exec("DROP INDEX IF EXISTS " + TableLayout::quote(name), error, what);
            for (int keynr : plan.create_indexes) {
                const LayoutIndex *k = to.index(keynr);
                if (rc == kOk && k != nullptr)
                    rc = exec("DROP INDEX IF EXISTS " + TableLayout::quote(k->name), error, what);
                if (rc == kOk && k != nullptr)
                    rc = exec(index_sql(to, *k, false), error, what);
            }
        }
        if (rc != kOk)
            return rc;
        deferred_.erase(to.table_name());

        if (plan.row_layout_changed) {
            rc = convert_images(from, to, plan, default_row, answer, error, what);
            if (rc != kOk || *answer != 0)
                return rc;
        }
        if (plan.narrowing) {
            bool unfit = false;
            rc = scan(to, false, [](sqlite3_int64, const unsigned char *, bool) { return true; },
                      &unfit, error);
            if (rc != kOk)
                return rc;
            if (unfit) {
                *answer = 3;
                return kOk;
            }
        }
        if (!write_definition(entry, error))
            return kIllegalState;
        return kOk;
    }

    /* Rows kept as exact images (still in the old layout) get the image
     * of the new layout, or none, and every column from it. */
    long convert_images(const TableLayout &from, const TableLayout &to, const AlterPlan &plan,
                        const unsigned char *default_row, long *answer, std::string *error,
                        const std::string &what)
    {
        std::vector<std::pair<sqlite3_int64, std::string>> images;
        {
            Statement st(db_, ("SELECT rowid, " + TableLayout::quote(kRowImageColumn) + " FROM " +
                               TableLayout::quote(to.table_name()) + " WHERE " +
                               TableLayout::quote(kRowImageColumn) + " IS NOT NULL")
                                  .c_str());
            if (!st.ok())
                return map_sqlite(db_, sqlite3_errcode(db_), error, what);
            int step;
            while ((step = sqlite3_step(st.get())) == SQLITE_ROW) {
                const char *p = static_cast<const char *>(sqlite3_column_blob(st.get(), 1));
                images.emplace_back(sqlite3_column_int64(st.get(), 0),
                                    std::string(p ? p : "", static_cast<size_t>(
                                                                sqlite3_column_bytes(st.get(), 1))));
            }
            if (step != SQLITE_DONE)
                return map_sqlite(db_, step, error, what);
        }
        std::string set;
        for (const LayoutColumn &c : to.columns())
            set += TableLayout::quote(c.name) + " = ?, ";
        set += TableLayout::quote(kRowImageColumn) + " = ?";
        Statement update(db_, ("UPDATE " + TableLayout::quote(to.table_name()) + " SET " + set +
                               " WHERE rowid = ?")
                                  .c_str());
        if (!update.ok())
            return map_sqlite(db_, sqlite3_errcode(db_), error, what);
        std::vector<unsigned char> new_row(static_cast<size_t>(to.row_length()));
        for (const auto &[rowid, image] : images) {
            std::string why;
            const ImageConversion done =
                convert_image(from, to, plan, image, default_row, new_row.data(), &why);
            if (done != ImageConversion::Converted) {
                *error = what + ": " + why;
                if (done == ImageConversion::WrongSize)
                    return kIllegalState;
                *answer = 3;
                return kOk;
            }
            sqlite3_reset(update.get());
            sqlite3_clear_bindings(update.get());
            int n = bind_row(update.get(), 1, to, new_row.data());
            sqlite3_bind_int64(update.get(), n, rowid);
            int step = sqlite3_step(update.get());
            if (step != SQLITE_DONE)
                return map_sqlite(db_, step, error, what);
        }
        return kOk;
    }

    /* Reads every row (or every row kept as an image) through a layout;
     * a row the layout cannot hold sets *unfit (when given) and stops, or
     * answers 215. */
    long scan(const TableLayout &t, bool images_only,
              const std::function<bool(sqlite3_int64, const unsigned char *, bool)> &fn,
              bool *unfit, std::string *error)
    {
        std::string what = "read " + t.table_name();
        std::string sql = "SELECT rowid, " + column_list(t) + " FROM " +
                          TableLayout::quote(t.table_name());
        if (images_only)
            sql += " WHERE " + TableLayout::quote(kRowImageColumn) + " IS NOT NULL";
        Statement st(db_, sql.c_str());
        if (!st.ok())
            return map_sqlite(db_, sqlite3_errcode(db_), error, what);
        std::vector<unsigned char> buffer(static_cast<size_t>(t.row_length()));
        int image_col = static_cast<int>(t.columns().size() + 1);
        int step;
        while ((step = sqlite3_step(st.get())) == SQLITE_ROW) {
            std::vector<Value> values;
            for (size_t i = 0; i < t.columns().size(); i++)
                values.push_back(column_value(st.get(), static_cast<int>(i + 1), t.columns()[i].kind));
            std::string image;
            if (sqlite3_column_type(st.get(), image_col) != SQLITE_NULL) {
                const auto *p = static_cast<const char *>(sqlite3_column_blob(st.get(), image_col));
                image.assign(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st.get(), image_col)));
            }
            std::string why;
            if (!t.values_to_row(values, image, buffer.data(), &why)) {
                *error = "stored row of " + t.table_name() + " cannot be read: " + why;
                if (unfit == nullptr)
                    return kIllegalState;
                *unfit = true;
                return kOk;
            }
            if (!fn(sqlite3_column_int64(st.get(), 0), buffer.data(), !image.empty()))
                return kOk;
        }
        if (step != SQLITE_DONE)
            return map_sqlite(db_, step, error, what);
        return kOk;
    }

    struct Redo {
        CatalogEntry entry; /* a definition to write again */
        std::string forget; /* or a table code to forget again */
    };

    std::string message() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }
    bool fail(const std::string &what, std::string *error) const
    {
        *error = what + " in '" + path_ + "': " + message();
        return false;
    }
    /* The database's directory, when it is missing (one level). */
    void make_parent_directory() const
    {
        std::string::size_type slash = path_.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return;
        std::string dir = path_.substr(0, slash);
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0 && errno == ENOENT)
            ::mkdir(dir.c_str(), 0777);
    }

    bool write_definition(const CatalogEntry &e, std::string *error)
    {
        Statement st(db_, "INSERT OR REPLACE INTO tdb_catalog"
                          " (table_name, compnr, columns, indexes, column_list, description)"
                          " VALUES (?, ?, ?, ?, ?, ?)");
        if (!st.ok())
            return fail("cannot store a definition", error);
        sqlite3_bind_text(st.get(), 1, e.table.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st.get(), 2, e.compnr);
        sqlite3_bind_int(st.get(), 3, e.columns);
        sqlite3_bind_int(st.get(), 4, e.indexes);
        sqlite3_bind_text(st.get(), 5, e.column_list.c_str(), -1, SQLITE_TRANSIENT);
        /* A zero-length blob would bind as NULL with a null pointer. */
        static const unsigned char empty = 0;
        sqlite3_bind_blob(st.get(), 6, e.description.empty() ? &empty : e.description.data(),
                          static_cast<int>(e.description.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(st.get()) != SQLITE_DONE)
            return fail("cannot store the definition of " + e.table, error);
        return true;
    }

    bool erase_definitions(std::string_view table, std::string *error)
    {
        /* The first letter in either case: both dictionaries' definitions. */
        Statement st(db_, "DELETE FROM tdb_catalog WHERE lower(substr(table_name, 1, 1)) ="
                          " lower(substr(?1, 1, 1)) AND substr(table_name, 2) = substr(?1, 2)");
        if (!st.ok())
            return fail("cannot forget a definition", error);
        std::string name(table);
        sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st.get()) != SQLITE_DONE)
            return fail("cannot forget the definitions of " + name, error);
        return true;
    }

    long busy(std::string *error) const
    {
        *error = "the database is held by the transaction of session " + std::to_string(owner_);
        return kDatabaseLocked;
    }

    /* The session's transaction, started (BEGIN IMMEDIATE: the database's
     * write lock) when it has none. */
    long ensure_transaction(long session, std::string *error)
    {
        if (owner_ == session)
            return kOk;
        if (owner_ != 0)
            return busy(error);
        int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            return map_sqlite(db_, rc, error, "start transaction");
        owner_ = session;
        updated_ = false;
        return kOk;
    }

    /* Before an update: read-only check, the table, the transaction. */
    long write_step(long session, const TableLayout &t, std::string *error)
    {
        if (readonly_.count(session) != 0) {
            *error = "the transaction of session " + std::to_string(session) + " is read only";
            return kReadOnly;
        }
        long rc = ensure_transaction(session, error);
        if (rc == kOk)
            rc = need_table(t, error);
        return rc;
    }

    /* Before a definition: the session's own transaction is committed;
     * another session's blocks it. */
    long definition_step(long session, std::string *error)
    {
        if (owner_ != 0 && owner_ != session)
            return busy(error);
        if (owner_ == session)
            return commit(session, error);
        return kOk;
    }

    /* Definition statements as one transaction of their own. */
    long run_definition(const std::vector<std::string> &sql, std::string *error,
                        const std::string &what)
    {
        int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            return map_sqlite(db_, rc, error, what);
        for (const std::string &s : sql) {
            rc = sqlite3_exec(db_, s.c_str(), nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) {
                long code = map_sqlite(db_, rc, error, what);
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                return code;
            }
        }
        rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            long code = map_sqlite(db_, rc, error, what);
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            return code;
        }
        return kOk;
    }

    void end_transaction()
    {
        owner_ = 0;
        updated_ = false;
        redo_.clear();
    }

    void rollback_now()
    {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        std::vector<Redo> redo = std::move(redo_);
        end_transaction();
        std::string error;
        for (const Redo &r : redo) {
            if (r.forget.empty())
                write_definition(r.entry, &error);
            else
                erase_definitions(r.forget, &error);
        }
    }

    long exec(const std::string &sql, std::string *error, const std::string &what)
    {
        int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
        return rc == SQLITE_OK ? kOk : map_sqlite(db_, rc, error, what);
    }

    int object_exists(const char *type, const std::string &name)
    {
        sqlite3_stmt *st = nullptr;
        std::string error;
        if (prepare("SELECT 1 FROM sqlite_master WHERE type = ? AND name = ?", &st, &error, "") !=
            kOk)
            return -1;
        sqlite3_bind_text(st, 1, type, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(st);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        if (rc == SQLITE_ROW)
            return 1;
        return rc == SQLITE_DONE ? 0 : -1;
    }

    int table_exists(const TableLayout &t) { return object_exists("table", t.table_name()); }

    long need_table(const TableLayout &t, std::string *error)
    {
        int exists = table_exists(t);
        if (exists < 0)
            return map_sqlite(db_, SQLITE_ERROR, error, "look up table " + t.table_name());
        if (exists == 0) {
            *error = "table " + t.table_name() + " does not exist";
            return kNoTable;
        }
        return kOk;
    }

    /* The statement texts that write a row of a table, made once per
     * table and column list (a new definition of the same table with
     * other columns gets new texts). */
    struct RowStatements {
        std::string columns; /* the quoted column list they were made for */
        std::string insert, insert_what;
        std::string update, update_what;
    };
    const RowStatements &row_statements(const TableLayout &t)
    {
        RowStatements &r = row_statements_[t.table_name()];
        if (!r.insert.empty() && r.columns == column_list(t))
            return r;
        r.columns = column_list(t);
        r.insert = "INSERT INTO " + TableLayout::quote(t.table_name()) + " (" + r.columns +
                   ") VALUES (";
        for (size_t i = 0; i <= t.columns().size(); i++)
            r.insert += i ? ", ?" : "?";
        r.insert += ")";
        r.insert_what = "insert into " + t.table_name();
        r.update = "UPDATE " + TableLayout::quote(t.table_name()) + " SET ";
        for (const LayoutColumn &c : t.columns())
            r.update += TableLayout::quote(c.name) + " = ?, ";
        r.update += TableLayout::quote(kRowImageColumn) + " = ? WHERE rowid = ?";
        r.update_what = "update " + t.table_name();
        return r;
    }

    /* A cached prepared statement, reset and without bindings. */
    long prepare(const std::string &sql, sqlite3_stmt **out, std::string *error,
                 const std::string &what)
    {
        auto it = cache_.find(sql);
        if (it != cache_.end()) {
            sqlite3_reset(it->second);
            sqlite3_clear_bindings(it->second);
            *out = it->second;
            return kOk;
        }
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(st);
            return map_sqlite(db_, rc, error, what);
        }
        cache_.emplace(sql, st);
        *out = st;
        return kOk;
    }

    long step_done(sqlite3_stmt *st, std::string *error, const std::string &what)
    {
        int rc = sqlite3_step(st);
        sqlite3_reset(st);
        if (rc == SQLITE_DONE)
            return kOk;
        /* The step's own code: reset repeats it. */
        return map_sqlite(db_, rc, error, what);
    }

    /* Binds the row's values and image from parameter first; returns the
     * next parameter number. */
    int bind_row(sqlite3_stmt *st, int first, const TableLayout &t, const unsigned char *row)
    {
        std::vector<Value> values;
        std::string image;
        t.row_to_values(row, traits_, &values, &image);
        int n = first;
        for (const Value &v : values)
            bind_value(st, n++, v);
        if (image.empty())
            sqlite3_bind_null(st, n++);
        else
            sqlite3_bind_blob(st, n++, image.data(), static_cast<int>(image.size()),
                              SQLITE_TRANSIENT);
        return n;
    }

    static void bind_value(sqlite3_stmt *st, int n, const Value &v)
    {
        static const char empty = 0;
        if (v.null) {
            sqlite3_bind_null(st, n);
            return;
        }
        switch (v.kind) {
        case Kind::Integer:
            sqlite3_bind_int64(st, n, v.integer);
            break;
        case Kind::Real:
            sqlite3_bind_double(st, n, v.real);
            break;
        case Kind::Text:
            sqlite3_bind_text(st, n, v.text.empty() ? &empty : v.text.data(),
                              static_cast<int>(v.text.size()), SQLITE_TRANSIENT);
            break;
        case Kind::Bytes:
            sqlite3_bind_blob(st, n, v.text.empty() ? &empty : v.text.data(),
                              static_cast<int>(v.text.size()), SQLITE_TRANSIENT);
            break;
        }
    }

    static Value column_value(sqlite3_stmt *st, int n, Kind kind)
    {
        switch (sqlite3_column_type(st, n)) {
        case SQLITE_NULL:
            return Value::null_of(kind);
        case SQLITE_INTEGER:
            if (kind == Kind::Real)
                return Value::of_real(static_cast<double>(sqlite3_column_int64(st, n)));
            return Value::of_integer(sqlite3_column_int64(st, n));
        case SQLITE_FLOAT:
            return Value::of_real(sqlite3_column_double(st, n));
        case SQLITE_TEXT: {
            const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(st, n));
            std::string s(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, n)));
            return kind == Kind::Bytes ? Value::of_bytes(std::move(s)) : Value::of_text(std::move(s));
        }
        default: {
            const auto *p = static_cast<const char *>(sqlite3_column_blob(st, n));
            std::string s(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, n)));
            return kind == Kind::Text ? Value::of_text(std::move(s)) : Value::of_bytes(std::move(s));
        }
        }
    }

    /*
     * The row with a key-1 block: its rowid, and the row buffer when row
     * is not null. Candidates are found by the key's values; when a part
     * has no exact form the candidates' key bytes decide.
     */
    long find(const TableLayout &t, const unsigned char *key, size_t key_length,
              sqlite3_int64 *rowid, unsigned char *row, std::string *error)
    {
        const LayoutIndex *k = t.primary();
        if (k == nullptr) {
            *error = "table " + t.table_name() + " has no key 1";
            return kIllegalKey;
        }
        std::vector<Value> keyvals;
        bool exact = true;
        if (!t.key_to_values(1, key, key_length, traits_, &keyvals, &exact)) {
            *error = "key of " + std::to_string(key_length) + " bytes for " + t.table_name() +
                     ", key 1 has " + std::to_string(t.key_length(1));
            return kBadArgument;
        }
        std::string what = "read " + t.table_name();
        std::string sql = "SELECT rowid, " + column_list(t) + " FROM " +
                          TableLayout::quote(t.table_name()) + " WHERE ";
        for (size_t i = 0; i < k->columns.size(); i++)
            sql += (i ? " AND " : "") +
                   TableLayout::quote(t.columns()[static_cast<size_t>(k->columns[i])].name) +
                   " IS ?";
        sqlite3_stmt *st = nullptr;
        long rc = prepare(sql, &st, error, what);
        if (rc != kOk)
            return rc;
        for (size_t i = 0; i < keyvals.size(); i++)
            bind_value(st, static_cast<int>(i + 1), keyvals[i]);
        std::vector<unsigned char> buffer(static_cast<size_t>(t.row_length()));
        int step;
        rc = kNoRecord;
        while ((step = sqlite3_step(st)) == SQLITE_ROW) {
            std::vector<Value> values;
            for (size_t i = 0; i < t.columns().size(); i++)
                values.push_back(column_value(st, static_cast<int>(i + 1), t.columns()[i].kind));
            int image_col = static_cast<int>(t.columns().size() + 1);
            std::string image;
            if (sqlite3_column_type(st, image_col) != SQLITE_NULL) {
                const auto *p = static_cast<const char *>(sqlite3_column_blob(st, image_col));
                image.assign(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, image_col)));
            }
            std::string why;
            if (!t.values_to_row(values, image, buffer.data(), &why)) {
                *error = "stored row of " + t.table_name() + " cannot be read: " + why;
                rc = kIllegalState;
                break;
            }
            if (!exact && t.key_of_row(1, buffer.data()) !=
                              std::string_view(reinterpret_cast<const char *>(key), key_length))
                continue;
            *rowid = sqlite3_column_int64(st, 0);
            if (row != nullptr)
                std::memcpy(row, buffer.data(), buffer.size());
            rc = kOk;
            break;
        }
        if (rc == kNoRecord && step != SQLITE_DONE)
            rc = map_sqlite(db_, step, error, what);
        else if (rc == kNoRecord)
            *error = "no row of " + t.table_name() + " with that key";
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        return rc;
    }

    std::string path_;
    sqlite3 *db_ = nullptr;
    BackendTraits traits_ = sqlite_traits();
    std::map<std::string, sqlite3_stmt *> cache_;
    std::map<std::string, RowStatements> row_statements_;
    long owner_ = 0;        /* session whose transaction is open, 0 none */
    bool updated_ = false;  /* it holds updates */
    std::set<long> readonly_;
    std::vector<Redo> redo_;
    /* Indexes dropped for an import, by table, to be made at its end. */
    std::map<std::string, std::set<int>> deferred_;
};

} // namespace

std::string expanded_first_argument(std::string_view args)
{
    std::string_view first = args.substr(0, args.find('\1'));
    while (!first.empty() && (first.front() == ' ' || first.front() == '\t'))
        first.remove_prefix(1);
    while (!first.empty() && (first.back() == ' ' || first.back() == '\t'))
        first.remove_suffix(1);
    std::string text(first);
    std::string root = get_tse();
    for (std::string::size_type at = 0; (at = text.find("${TSE}", at)) != std::string::npos;
         at += root.size())
        text.replace(at, 6, root);
    return text;
}

std::string sqlite_database_path(std::string_view driver, std::string_view args)
{
    std::string root = get_tse();
    std::string file = expanded_first_argument(args);
    if (file.empty())
        file = std::string(driver) + ".db";
    if (file.front() != '/')
        file = root + "/db/" + file;
    return file;
}

std::unique_ptr<Storage> make_storage(std::string_view driver, std::string_view args,
                                      std::string *error)
{
    if (driver.substr(0, 6) == "sqlite")
        return std::make_unique<SqliteStorage>(sqlite_database_path(driver, args));
    if (driver.substr(0, 8) == "postgres")
        return make_postgres_storage(expanded_first_argument(args));
    *error = "driver '" + std::string(driver) + "' is not served by this program";
    return nullptr;
}

} // namespace tdbdriver
