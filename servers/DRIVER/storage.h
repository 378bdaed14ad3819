/*
 * storage.h: what the driver needs from the database system behind it:
 * an abstract storage class (catalog of received table definitions, table
 * data, the sessions' transactions), and the factory choosing an
 * implementation by driver name.
 */
#ifndef DRIVER_STORAGE_H
#define DRIVER_STORAGE_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "table_alter.h"
#include "table_layout.h"

namespace tdbdriver {

/* Return codes of the table-data operations (the tdb error numbers). */
constexpr long kOk = 0;
constexpr long kDuplicate = 100;        /* a unique index refuses the row */
constexpr long kIllegalKey = 103;       /* the key is not in the definition */
constexpr long kIndexExists = 108;      /* the index exists already */
constexpr long kNoRecord = 111;         /* no row with that key */
constexpr long kDatabaseLocked = 202;   /* another session holds the database */
constexpr long kInTransaction = 203;    /* the session's transaction holds updates */
constexpr long kReadOnly = 204;         /* the transaction is read only */
constexpr long kStartedNotUpdated = 213; /* transaction started, no updates */
constexpr long kIllegalState = 215;     /* stored data the layout cannot read */
constexpr long kNoTable = 506;          /* the table does not exist */
constexpr long kTableExists = 507;      /* the table exists already */
constexpr long kLostConnection = 522;   /* the database went away (I/O error) */
constexpr long kDatabaseFull = 523;     /* disk or database full */
constexpr long kNoReferenceCounter = 608; /* the table has no Refcnt column */

/* Argument of create_index meaning every index of the table. */
constexpr long kAllIndexes = 9999;

/* The state of a session's transaction. */
enum class TransactionState {
    None,     /* nothing started */
    Started,  /* started (lock, start transaction, read locked), no updates */
    Updated,  /* holds updates */
};

/*
 * One received table definition: the table name as the client sent it
 * (8 characters; a first letter in upper case is the new dictionary's
 * definition), the company number it was sent for, and the description
 * bytes of the dictionary request (the body after the session id).
 */
struct CatalogEntry {
    std::string table;
    int compnr = 0;
    std::vector<unsigned char> description;
    /* For people reading the catalog: the number of stored columns and
     * indexes, and the columns as "name:type:length" joined by ",". */
    int columns = 0;
    int indexes = 0;
    std::string column_list;
};

/*
 * A database system holding the driver's tables; one per driver process.
 * The catalog calls report failure with false and a text in *error (for
 * the driver's log). The table-data calls return a tdb return code (0 or
 * one of the codes above; a database error is mapped to the nearest code:
 * full disk 523, I/O error 522, busy 202, others 215) and, when it is not
 * 0, a text in *error. None throws.
 *
 * Sessions: the driver's session ids. Every table-data call names the
 * session it works for; the storage maps each session onto a transaction
 * of the database (the implementation documents how). A transaction
 * starts with the session's first update, lock or start_transaction and
 * ends with commit or abort; the definitions (DDL: create and drop of
 * tables and indexes) commit the session's open transaction first and are
 * committed at once.
 */
class Storage {
public:
    virtual ~Storage() = default;
    /* Opens (creating when missing) the database and its catalog. */
    virtual bool open(std::string *error) = 0;
    /* A short description: the database system, its version, the place. */
    virtual std::string describe() const = 0;
    /* Every definition in the catalog. */
    virtual bool load_catalog(std::vector<CatalogEntry> *out, std::string *error) = 0;
    /* Stores a definition, replacing one of the same table and company. */
    virtual bool save_definition(const CatalogEntry &entry, std::string *error) = 0;
    /* Removes the definitions of a table code in every company, in either
     * dictionary (the first letter compared without regard to case). */
    virtual bool forget_definitions(std::string_view table, std::string *error) = 0;

    /* ---- sessions and transactions ---- */
    /* A session attached / detached (the detach aborts its open work). */
    virtual void open_session(long session) = 0;
    virtual void close_session(long session) = 0;
    virtual long begin(long session, std::string *error) = 0;
    /* Commit and abort of the session's transaction; 0 when it has none. */
    virtual long commit(long session, std::string *error) = 0;
    virtual long abort(long session, std::string *error) = 0;
    /* The rest of the transaction is read only: updates answer 204. */
    virtual long set_readonly(long session, std::string *error) = 0;
    virtual TransactionState transaction_state(long session) const = 0;

    /* ---- tables (all on the layout's physical table) ---- */
    /* The table with its database indexes; 507 when it exists. */
    virtual long create_table(long session, const TableLayout &t, std::string *error) = 0;
    /* 506 when it does not exist. */
    virtual long drop_table(long session, const TableLayout &t, std::string *error) = 0;
    /* One index by key number, or every database index (kAllIndexes,
     * skipping those that exist). 108 when the one index exists, 103 for
     * a key the definition lacks, 100 when rows refuse a unique index. */
    virtual long create_index(long session, const TableLayout &t, long keynr,
                              std::string *error) = 0;
    virtual long drop_index(long session, const TableLayout &t, long keynr,
                            std::string *error) = 0;
    /* Deletes every row, in the session's transaction. */
    virtual long clear_table(long session, const TableLayout &t, std::string *error) = 0;
    /* Locks the table for the session's transaction (started if needed). */
    virtual long lock_table(long session, const TableLayout &t, std::string *error) = 0;
    /* Bulk loading: start (transaction started, indexes that cannot refuse
     * a row deferred) and end (deferred indexes created). */
    virtual long start_import(long session, const TableLayout &t, std::string *error) = 0;
    virtual long end_import(long session, const TableLayout &t, std::string *error) = 0;
    virtual long update_statistics(long session, const TableLayout &t, std::string *error) = 0;
    virtual long count_rows(long session, const TableLayout &t, long *count,
                            std::string *error) = 0;
    /* Sets the reference counters (fields Refcntu, Refcntd) of every row
     * to 0; 608 when the table has neither. */
    virtual long clear_reference_counts(long session, const TableLayout &t,
                                        std::string *error) = 0;

    /* ---- rows (row buffers of t.row_length() bytes) ---- */
    /* 100 when a unique index has the key. */
    virtual long insert_row(long session, const TableLayout &t, const unsigned char *row,
                            std::string *error) = 0;
    /* The row with the key 1 of row: replaced / deleted; 111 when none. */
    virtual long update_row(long session, const TableLayout &t, const unsigned char *row,
                            std::string *error) = 0;
    virtual long delete_row(long session, const TableLayout &t, const unsigned char *row,
                            std::string *error) = 0;
    /* The row with a key-1 block (t.key_length(1) bytes) into row (whose
     * _compnr gets the company, _dlock 0); locked: for the session's
     * transaction (started if needed). 111 when none. */
    virtual long read_row(long session, const TableLayout &t, const unsigned char *key,
                          size_t key_length, bool locked, unsigned char *row,
                          std::string *error) = 0;

    /* ---- alter table (request 15) ---- */
    /* The database type of a layout column as describe_table names it. */
    virtual std::string column_type(const LayoutColumn &c) const = 0;
    /* What the database keeps of floating-point values exactly. */
    virtual BackendTraits traits() const = 0;
    /* The columns of the stored table as the database describes it; 506
     * when the table does not exist. */
    virtual long describe_table(long session, const TableLayout &t,
                                std::vector<StoredColumn> *out, std::string *error) = 0;
    /* Every row of the table read through the layout (only those kept as
     * exact images with images_only): fn gets the row buffer and whether
     * it came from the image; fn false stops the scan. */
    virtual long scan_rows(long session, const TableLayout &t, bool images_only,
                           const std::function<bool(const unsigned char *, bool)> &fn,
                           std::string *error) = 0;
    /*
     * Changes the stored table from the layout from to the layout to as
     * the plan says, in one database transaction (the session's open
     * transaction is committed first): columns dropped, renamed, retyped
     * and added (filled with the plan's values), indexes dropped and
     * made, rows kept as exact images converted (convert_row with
     * default_row) and the catalog entry stored. *answer 0 when done; 3
     * when a row does not fit the new layout (nothing changed). Other
     * failures roll back and return their code (100: rows refuse a new
     * unique index).
     */
    virtual long alter_table(long session, const TableLayout &from, const TableLayout &to,
                             const AlterPlan &plan, const unsigned char *default_row,
                             const CatalogEntry &entry, long *answer, std::string *error) = 0;

    /* The tdb error number of the last failed catalog call (open,
     * load_catalog, save_definition, forget_definitions) when it has one
     * of its own: 522 after the connection to a database server was lost;
     * 0 when the caller's code for the request applies. */
    virtual long failure_code() const { return 0; }
};

/*
 * The storage for a driver name and its argument string (arguments
 * separated by byte 1, as in the tabledef): names beginning with "sqlite"
 * get the SQLite storage, names beginning with "postgres" the PostgreSQL
 * storage; every other name gets null and a reason in *error.
 */
std::unique_ptr<Storage> make_storage(std::string_view driver, std::string_view args,
                                      std::string *error);

/* The SQLite database file for an argument string: the first argument,
 * "${TSE}" replaced by the root; a relative name lies under
 * "${TSE}/db"; without one "${TSE}/db/<driver>.db". */
std::string sqlite_database_path(std::string_view driver, std::string_view args);

/* The first argument of an argument string, blanks around it removed and
 * "${TSE}" replaced by the root. */
std::string expanded_first_argument(std::string_view args);

/* The PostgreSQL storage for a libpq connection string (key=value pairs or
 * a URI; empty: libpq's environment variables and defaults apply). */
std::unique_ptr<Storage> make_postgres_storage(std::string conninfo);

} // namespace tdbdriver

#endif
