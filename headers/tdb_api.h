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
 * log_set_progname), reads the user data, optionally attaches shared
 * memory, initialises the dictionary and the character-set locale.
 */
int tdb_init_api(const char *progname, int progname_mode, int attach_shm,
                 int locale_mode);

/* Logs on with a client name (at most 8 characters are kept). */
int tdb_logon(const char *client);

/* Logs off: detaches all servers and sessions. */
int tdb_logoff(void);

/* Runs the process without referential-integrity handling. */
void tdb_disable_references(void);

/* Starts a transaction; its id (1..255), or 0 on failure. */
unsigned int tdb_start_session(const char *name);

/* Stops a transaction. */
int tdb_stop_session(unsigned int trans_id);

#endif
