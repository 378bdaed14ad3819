/*
 * tdb_api.h: the tdb API, the database-independent interface through which
 * programs reach the database drivers. Implemented in lib/dbc.
 *
 * Every operation returns 0 (or a non-negative value) on success and -1 on
 * failure with tdb_errno set, unless its comment says otherwise.
 */
#ifndef TDB_API_H
#define TDB_API_H

/* The last error of the tdb API; 0 for none. */
extern int tdb_errno;

/* Error numbers with a fixed meaning used across the system. */
#define E_TDB_DUPLICATE_KEY 108
#define E_TDB_END_OF_FILE 110
#define E_TDB_CREATE_INDEX 114 /* set by the tool: creating indexes failed */
#define E_TDB_OUT_OF_RANGE 205
#define E_TDB_NOT_LOGGED_ON 508
#define E_TDB_NO_TABLE 506
#define E_TDB_INVALID_SESSION 518
#define E_TDB_DB_FULL 523

/* Ranges of codes, marked by entries of their own in tdberrors. */
#define E_TDB_REFERENCE_START 600 /* referential integrity: 600-649 */
#define E_TDB_REFERENCE_END 649
#define E_TDB_FATAL_START 850 /* fatal errors: 850-899 */
#define E_TDB_FATAL_END 899

/* One entry of the error table. */
struct tdb_error_entry {
    int code;
    const char *text;
};

/*
 * The error table: the codes of the API with their texts, in a fixed
 * order (a code may appear twice: a range marker, then its real entry),
 * ended by an entry with code 0 and a null text.
 */
extern const struct tdb_error_entry tdberrors[];

/*
 * The text of a code: "" for 0; "database error <code - 1000>" above 1000
 * (a native database error passed on by a driver); else the text of the
 * first entry with that code; for a code not in the table "tdb_errno <n>"
 * with the current value of tdb_errno. The formatted texts live in a
 * static buffer, valid until the next call.
 */
const char *tdberrorstr(int code);

/* tdb_errno, and setting it. */
int tdb_get_tdb_errno(void);
void tdb_error(int code);

/*
 * Starts the API: registers the program name for logging (mode as for
 * log_set_progname), reads the user data (its non-zero status is
 * returned as it is), starts tracing, attaches shared memory when
 * attach_shm is not 0 (its non-zero result is returned), initialises the
 * dictionary (mode 4) and the character-set locale from the user's locale
 * (default "ISO-8859-1") with locale_mode. 0 on success.
 */
int tdb_init_api(const char *progname, int progname_mode, int attach_shm,
                 int locale_mode);

/*
 * Logs on with a client name (at most 8 characters are kept): loads the
 * client resources ("lib/defaults/db_resource", then the file named by
 * USR_DBC_RES), the audit columns, the server list of
 * tdb_driver and the roles. Once per process: a second call fails with
 * 502, also after tdb_logoff; 251 when the audit columns cannot be read.
 */
int tdb_logon(const char *client);

/*
 * Returns the API to the state before tdb_logon: stops nothing at the
 * drivers, frees every transaction, server and session record, clears
 * the logged-on and references-disabled flags, the message buffer and the
 * client resources (back to their defaults); hooks installed by other
 * layers stay. For programs that run the
 * API more than once in one process, such as tests.
 */
void tdb_api_reset(void);

/* 0 (tdb_errno 0) when logged on, else -1 with 508. */
int tdb_start(void);

/* Logs off: stops every transaction and every server (508 when not
 * logged on). The process stays logged on for tdb_logon. */
int tdb_logoff(void);

/* Runs the process without referential-integrity handling (for good). */
void tdb_disable_references(void);

/* Starts a transaction named name (at most 15 characters kept); a
 * stopped transaction of the same name is reused, else the lowest free
 * id is taken. Its id (1..255), or 0 with tdb_errno 501 or 525 (all ids
 * in use; the message is put into the message buffer and logged). */
unsigned int tdb_start_session(const char *name);

/* Stops a transaction; its record, sessions and servers stay. 518 for an
 * id that is not in use. */
int tdb_stop_session(unsigned int trans_id);

/* Idle clean-up: sessions without open cursors and servers without
 * sessions are stopped when their idle counts reach their limits. */
int tdb_schedule(void);

/* The default query timeout of a transaction; -1 (518) when the id is
 * not in use. */
int tdb_set_default_query_timeout(unsigned int trans_id, int timeout);
int tdb_get_default_query_timeout(unsigned int trans_id, int *timeout);

/* The transaction's start time (seconds since the epoch), taken now when
 * it is 0; -1 when the transaction has no record. */
long tdb_get_trans_start_time(unsigned int trans_id);

/*
 * The detail error of a transaction (from a driver's 520 reply): returns
 * its code (0 when none, or when the id is not in use). table (9 bytes)
 * receives the 8-character table name terminated, number the number,
 * text the stored text (owned by the API, may be null). Without a detail
 * error: table "", number 65535, text null. Every out pointer may be null.
 */
int tdb_get_detail_error(char *table, int *number, const char **text, unsigned int trans_id);

/* The physical company number of a table (8 characters, else 102) in a
 * company (0..999, else 519). */
int tdb_get_physical_compnr(const char *table, int compnr);

/* The number of servers. */
int tdb_get_nr_drivers(void);

/*
 * Information on server number server_nr (from 1 in list order; 505 when
 * there is none): item 103 the driver name, 104 its arguments separated
 * by ",", any other item asked from the driver (system request 9). At
 * most size - 1 bytes and a NUL are written into out.
 */
int tdb_get_db_system_info(int server_nr, int item, char *out, int size);

/* The function each new server's channels call when its driver dies
 * (null: server_death). */
void tdb_set_server_death_handler(void (*handler)(void));
/* The default: logs "Detected server disconnection" and exits with 1. */
void server_death(void);

/* A profiling callback (null for none); logon clears it. */
void tdb_set_profile_callback(void (*callback)(void));

/* The message buffer: set_tdb_msg appends the formatted text (and logs it
 * under "domain_check" when log is not 0); get_tdb_msg gives the text
 * (never null, owned by the API); reset_tdb_msg empties it. */
void set_tdb_msg(int log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
const char *get_tdb_msg(void);
void reset_tdb_msg(void);

/* ---- table handles and bound variables ------------------------------------------------------ */

#include <stdint.h>

/* An open table handle (tdb_open); owned by the API until tdb_close. */
struct tdb_handle;

/* Dictionary records (headers/qpd_dd.h). */
struct _dd_table;
struct _dd_column;
struct _dd_key;

/*
 * A bind entry, 32 bytes, supplied by the program in an array: the
 * variable's address (bytes 0-3), its length in bytes (4-5), its number of
 * elements (6-7), the full column name (8-25, NUL-terminated, such as
 * "dbtst100.ival"), and the type code telling how the variable is held in
 * memory (26-27, TDB_BYTE .. TDB_RAW). Bytes 28-31 are unused on a 32-bit
 * host; on a 64-bit host they hold the upper half of the address, so that
 * the entry keeps its size and its fields their places. Fill entries with
 * tdb_set_bind_entry.
 */
struct tdb_bind_entry {
    uint32_t address;       /* bytes 0-3 */
    uint16_t length;        /* bytes 4-5 */
    uint16_t elements;      /* bytes 6-7 */
    char column[18];        /* bytes 8-25 */
    uint16_t type;          /* bytes 26-27 */
    uint32_t address_high;  /* bytes 28-31 */
};

/* Fills a bind entry (the column name is cut to 17 characters). */
void tdb_set_bind_entry(struct tdb_bind_entry *entry, void *address, int length, int elements,
                        const char *column, int type);
/* The variable's address of a bind entry. */
void *tdb_bind_entry_address(const struct tdb_bind_entry *entry);

/*
 * Opens a table handle in a transaction, locally: no driver is contacted.
 * With nr_binds 0, binds is the program's row buffer (the table's row
 * layout) through which rows pass; otherwise an array of nr_binds bind
 * entries (struct tdb_bind_entry). compnr is the default company number
 * (-1: none). On success *handle receives the handle and 0 is returned;
 * else -1 with 508 (not logged on), 215 ("No table-name specified"), 513
 * ("No DD found for %s"), 518 (transaction id), 503 (an entry without
 * address, or no row buffer), 504 (an unknown column, "Invalid column
 * '%s'", or a column whose class does not accept the variable's type), 102
 * (a negative count) or 501.
 */
int tdb_open(struct tdb_handle **handle, const char *table, int compnr, void *binds,
             int nr_binds, unsigned int trans_id);

/*
 * Closes a handle: every company cursor (parked instead when its table
 * still has buffered updates), then the handle leaves its transaction and
 * is freed. TDB_DEBUG bit 128 traces the call. 0, or -1 with tdb_errno
 * (the handle then stays open).
 */
int tdb_close(struct tdb_handle *handle);

/* Sets the handle's default company number: 0, or -1 (519) when compnr
 * is not 0..999 (the old default stays). */
int tdb_set_default_compnr(struct tdb_handle *handle, int compnr);

/*
 * Converts every bound variable of the handle into row (the table's row
 * layout), and back. A handle without binds copies its program row buffer
 * into row, and back. 0, or -1 (102) for a null argument.
 */
int tdb_bind_to_buf(struct tdb_handle *handle, void *row);
int tdb_buf_to_bind(struct tdb_handle *handle, const void *row);

/*
 * The company number of a row: through the handle's company-number bind
 * (a bind of the _compnr column) when there is one, else from the row's
 * _compnr column (row null: the program's row buffer). -1 when there is
 * neither.
 */
int get_compnr_from_bind(const struct tdb_handle *handle, const void *row);
/* Writes compnr the same way (into the bound variable, or the row's
 * _compnr column; row null: the program's row buffer). */
void put_compnr_in_bind(struct tdb_handle *handle, void *row, int compnr);

/*
 * Makes the sessions of a transaction for every server of a table (8
 * characters) in a logical company, and so starts their drivers in
 * advance. 0, or -1 with 508, 518, 513 (no such table), 519 (company not
 * 0..999) or 505 (the servers cannot be had).
 */
int tdb_start_drivers_for_table(const char *table, int compnr, unsigned int trans_id);

/*
 * Sends a system request (code, message of length bytes) to every server
 * that has a session of the transaction, each with the same message; a
 * driver not yet activated is attached first. 0, or -1 at the first
 * failure (518 for an id not in use). The last answer stays readable in
 * the request block until the next request.
 */
int tdb_exec_server(long code, const void *msg, long length, unsigned int trans_id);

/* ---- row, table and database actions --------------------------------------------------------- */

/* Action flags of tdb_exec_row that the API interprets. */
#define TDB_FLAG_NO_MORE_OK 0x4      /* 111 (no more rows) is not an error */
#define TDB_FLAG_DUPLICATE_OK 0x10   /* 100 (duplicate) is not an error */
#define TDB_FLAG_LOCKED_OK 0x40      /* 201 (locked table) is not an error */
#define TDB_FLAG_KEEP_RCD_UTC 0x800000 /* do not stamp rcd_utc */
#define TDB_FLAG_FLUSH_MASK 0x40f001 /* send buffered updates before and after */

/*
 * Runs row action `action` (1..64, the row actions of the driver exchange)
 * with the caller's flags on the handle's cursor of company compnr (-1:
 * the handle's default). Rows pass through the handle's bound variables
 * or program row buffer. Inserts, updates and deletes 61..64 are buffered
 * until something sends them (a flushing action, tdb_flush, a commit);
 * 21..23 are sent at once. Direct reads by key (13, 14, 37 on index 1) go
 * to the driver; other reads need the SQL engine (215 until it exists).
 * The company number is written back through the handle. 0, or -1 with
 * tdb_errno: 519 (company), 112, 205 (domain), the driver's code (a 520
 * reply gives the driver's detail code, readable with
 * tdb_get_detail_error, which then answers 520).
 */
int tdb_exec_row(struct tdb_handle *handle, int action, long flags, int compnr);

/*
 * Runs table action `action` (1..13) on the handle's table in company
 * compnr (-1: the default; none set: 519). *arg is the input (index,
 * import or clear mode) and receives the driver's result (the row count
 * of nr_rows). 0, or -1 with tdb_errno (103 an unknown index for
 * change_order, 214 drop_table on a mapped company, the driver's code).
 */
int tdb_exec_table(struct tdb_handle *handle, int action, int *arg, int compnr);

/*
 * Runs database action `action` (1 commit_trans, 3 abort_trans, 5
 * trans_not_active, ...) on the transaction. A commit first sends the
 * buffered updates and becomes an abort when that fails (the failure's
 * code is kept); an abort discards them. 0, or -1 with tdb_errno (518
 * for an id not in use, 203 trans_not_active with buffered updates, the
 * first failure of a driver).
 */
int tdb_exec_db(int action, unsigned int trans_id);

/* Sends the buffered updates of the transaction (request 11 per session).
 * 0, or -1 with tdb_errno (518, the driver's code; 520 as for tdb_exec_row). */
int tdb_flush(unsigned int trans_id);

/* ---- alter-table check ---------------------------------------------------------------------- */

/* Actions of tdb_alter_table, passed on to the driver unchanged. */
#define TDB_ALTER_CHECK 1        /* check only */
#define TDB_ALTER_ALTER 2        /* alter in place */
#define TDB_ALTER_AFTER_EXPORT 3 /* alter after the rows were exported */

/* Results of tdb_alter_table (besides -1). */
#define TDB_ALTER_IN_PLACE 0     /* the table must be changed in place */
#define TDB_ALTER_NOTHING 1      /* the definitions match / nothing had to change */
#define TDB_ALTER_EXPORT 2       /* the driver can change it after an export */
#define TDB_ALTER_CONVERT 3      /* export, recreate, import with conversion */

/*
 * The differences between the current and the new definition of a table,
 * filled by checkDDChanges (cleared by alterTableInfoInit first).
 */
struct tdb_alter_info {
    int columns_changed; /* a column added or dropped, or a kept one changed
                            its element count, base type or width */
    int data_check;      /* stored values must be tested against a tighter domain */
    int conversion;      /* every stored value of a kept column must be rewritten */
    int indexes_changed; /* the keys differ */
    int only_rcd_utc;    /* the added or dropped columns classified are all rcd_utc */
};

/*
 * Decides how the table of handle must be brought from its current
 * dictionary definition (mode 1) to the new one (mode 3) in company
 * compnr (-1: the handle's default), and with action 2 or 3 lets the
 * database driver make the changes it can make in place (request 15).
 * ignore_domain not 0 skips every domain test of the comparison. Returns
 * 0 (change in place needed), 1 (nothing to do / nothing had to change),
 * 2 (the driver can change it after an export), 3 (export, recreate and
 * import with conversion), or -1 with tdb_errno: 508, 519 (company above
 * 999), 208 (alter_table not allowed), 513 (a definition is missing), 205
 * (a default value that added elements receive violates its domain and
 * the table holds rows), or what the cursor or the driver reported. The
 * dictionary is left in mode 1.
 */
int tdb_alter_table(struct tdb_handle *handle, short compnr, int ignore_domain, int action);

/* Clears a change record. */
void alterTableInfoInit(struct tdb_alter_info *info);

/*
 * Compares the current and the new definition of table (8-character code)
 * and fills info (ORing into it). 0, or -1 with tdb_errno 513 (either
 * definition missing) or 205 (see checkSchemaChanges). Leaves the current
 * dictionary selected.
 */
int checkDDChanges(const char *table, int ignore_domain, struct tdb_alter_info *info);

/*
 * The column steps of checkDDChanges: dropped, added and kept stored
 * columns (combined and not-in-database columns take no part). An added
 * column whose value in the new default row fails its domain gives 205
 * and -1 unless ignore_domain is set. 0 or -1.
 */
int checkSchemaChanges(const struct _dd_table *current, const struct _dd_table *new_table,
                       int ignore_domain, struct tdb_alter_info *info);

/*
 * Compares one kept column (current and new definition) and ORs the
 * columns-changed, data-check and conversion flags into info. default_row
 * is the new table's default row: when the column gains elements, the
 * new column's value there must pass its domain (else 205 and -1) unless
 * ignore_domain is set. 0 or -1.
 */
int checkColumnChanges(const struct _dd_column *current, const struct _dd_column *new_column,
                       const unsigned char *default_row, int ignore_domain,
                       struct tdb_alter_info *info);

/*
 * Compares two key arrays (in array order) and sets indexes_changed on
 * the first difference: count, key number, A or DU attribute, or, for a
 * key whose A attribute is not 0, its flattened stored columns. Returns 0.
 */
int checkIndexChanges(const struct _dd_key *current, int current_count,
                      const struct _dd_key *new_keys, int new_count,
                      struct tdb_alter_info *info);

/*
 * Makes the drivers of the transaction trans_id forget their copy of the
 * definition of table (starting the table's drivers for the logical
 * company compnr first, server request 8). 0, or -1 with tdb_errno.
 */
int invalidateServerDD(const struct _dd_table *table, int compnr, unsigned int trans_id);

/* The base of a type code: TDB_TEXT, TDB_LONG_V, TDB_SET -> TDB_LONG;
 * TDB_ENUM -> TDB_BYTE; every other code itself. */
int getBaseTDBType(int type);
/* 1 when the base type new_base holds every value of old_base (BYTE ->
 * INTEGER, LONG, FLOAT, DOUBLE; INTEGER -> LONG, FLOAT, DOUBLE; LONG ->
 * DOUBLE; FLOAT -> DOUBLE), else 0. */
int isSubTDBType(int old_base, int new_base);
/* 1 when every character of a (TSS text) occurs in b (an empty or null a
 * always), else 0 (a not empty and b empty: 0). */
int isCharSubSet(const char *a, const char *b);

/* Sets the rows fetched per SQL query (taken from the resource
 * ssts_set_rows at first use, 3 when that is below 1); returns the old
 * value. */
int ssts_set_rows(int rows);

#endif
