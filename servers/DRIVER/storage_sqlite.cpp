/*
 * storage_sqlite.cpp: the SQLite storage of the driver: one database
 * file, whose table tdb_catalog keeps every received table definition, and
 * the factory choosing the storage (SQLite or PostgreSQL) by driver name.
 */
#include "storage.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

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

class SqliteStorage final : public Storage {
public:
    explicit SqliteStorage(std::string path) : path_(std::move(path)) {}
    ~SqliteStorage() override { sqlite3_close(db_); }

    bool open(std::string *error) override
    {
        if (db_ != nullptr)
            return true;
        make_parent_directory();
        if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            *error = "cannot open SQLite database '" + path_ + "': " + message();
            sqlite3_close(db_);
            db_ = nullptr;
            return false;
        }
        sqlite3_busy_timeout(db_, 10000);
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

    bool forget_definitions(std::string_view table, std::string *error) override
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

    /* Table data is answered by the next step of this file; until then
     * every operation answers "Illegal state". */
    void open_session(long) override {}
    void close_session(long) override {}
    long begin(long, std::string *e) override { return later(e); }
    long commit(long, std::string *e) override { return later(e); }
    long abort(long, std::string *e) override { return later(e); }
    long set_readonly(long, std::string *e) override { return later(e); }
    TransactionState transaction_state(long) const override { return TransactionState::None; }
    long create_table(long, const TableLayout &, std::string *e) override { return later(e); }
    long drop_table(long, const TableLayout &, std::string *e) override { return later(e); }
    long create_index(long, const TableLayout &, long, std::string *e) override { return later(e); }
    long drop_index(long, const TableLayout &, long, std::string *e) override { return later(e); }
    long clear_table(long, const TableLayout &, std::string *e) override { return later(e); }
    long lock_table(long, const TableLayout &, std::string *e) override { return later(e); }
    long start_import(long, const TableLayout &, std::string *e) override { return later(e); }
    long end_import(long, const TableLayout &, std::string *e) override { return later(e); }
    long update_statistics(long, const TableLayout &, std::string *e) override { return later(e); }
    long count_rows(long, const TableLayout &, long *, std::string *e) override { return later(e); }
    long clear_reference_counts(long, const TableLayout &, std::string *e) override { return later(e); }
    long insert_row(long, const TableLayout &, const unsigned char *, std::string *e) override { return later(e); }
    long update_row(long, const TableLayout &, const unsigned char *, std::string *e) override { return later(e); }
    long delete_row(long, const TableLayout &, const unsigned char *, std::string *e) override { return later(e); }
    long read_row(long, const TableLayout &, const unsigned char *, size_t, bool, unsigned char *,
                  std::string *e) override { return later(e); }

private:
    static long later(std::string *e)
    {
        *e = "table data is not stored yet";
        return kIllegalState;
    }
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

    std::string path_;
    sqlite3 *db_ = nullptr;
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
