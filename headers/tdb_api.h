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

#endif
