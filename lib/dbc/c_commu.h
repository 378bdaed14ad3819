/*
 * c_commu.h: the client's requests to the drivers over the server and
 * session records of c_state.h (internal to the tdb API). Every function
 * fills the request block `commu`, calls client_commu and reads the reply;
 * 0 (or the value said) on success, -1 with tdb_errno set on failure.
 */
#ifndef C_COMMU_H
#define C_COMMU_H

#include <vector>

#include "tdb_commu.h"

struct STREAM;
struct tdb_server;
struct tdb_session;

/* The number of requests of a kind sent by this process (every kind
 * counted by client_commu, 0 for a kind out of range). */
long dbc_request_count(int kind);

/* Installs the send and read function tables (at logon). */
void tdb_init_commu(void);

/*
 * Sends the request in `commu` on the server's write stream, flushes it,
 * reads the reply from the read stream into `commu` and sets tdb_errno to
 * the reply's return code: 0 when it is 0, else -1. A server without a
 * channel gives 505; a stream that fails or a reply that cannot be read
 * gives 215 (no return code is taken then).
 */
int client_commu(tdb_server *server);

/*
 * Starts the driver of a server as the channel layer says: through the
 * named pipes of DB_MANUAL when that variable is set, else attach_process
 * with the driver's logical name (lib/ipc_info). Both streams of the
 * channel call the server's death handler when the channel breaks.
 * 0 with *rd and *wr set, or -1 (the reason is logged).
 */
int dbc_start_driver(tdb_server *server, STREAM **rd, STREAM **wr);

/*
 * The server attach: starts the driver through tdb_info.start_driver
 * (dbc_start_driver when no other starter is installed) when
 * the server has no channel (505 when that fails), initialises it (system
 * requests 5 and 6), sends request 0 and takes the reply's values; 511 for
 * another SQL protocol, 402 for another character-set mode (both after a
 * detach); then sends the roles, the audit columns when in use, and the
 * company map when the last reply asked for it (519).
 */
int tdb_attach_server(tdb_server *server);
/* Request 1 and closing both streams, when the server is activated. */
int tdb_detach_server(tdb_server *server);
/* Request 2 with the transaction's name; takes the driver session id;
 * answers 519 with the company map. */
int tdb_attach_session(tdb_session *session);
/* Request 3, when the server is activated. */
int tdb_detach_session(tdb_session *session);

/* Request 13 (the company map), 9 (the roles of tdb_info), 14 (the audit
 * columns of tdb_info). */
int tdb_send_compnr_info(tdb_server *server);
int tdb_send_permission(tdb_server *server);
int tdb_send_auditcols(tdb_server *server);
/* Writes the roles message of tdb_info's roles; 0 or -1. */
int dbc_send_roles(STREAM *sp);

/* System request (7) and session request (6); a server that is not
 * activated is attached first with its sessions (505 when that fails),
 * except that a session request of code 2 then succeeds locally. The
 * answer is in commu.answer / commu.answer_len until the next request. */
int tdb_do_exec_server(tdb_server *server, long code, const unsigned char *msg, long length);
int tdb_do_exec_session(tdb_session *session, long code, const unsigned char *msg, long length);

/*
 * Sends the table dictionary (request 8) for each entry whose table the
 * session's driver serves (an upper-case first letter: the new
 * dictionary's table), under compnr, or the entry's own number when
 * compnr is -1. A table not in the dictionary: 513 ("Tname '%s' not
 * found" under "NO DD"); a failed send: "Sending DD '%s' failed" under
 * "Sending DD".
 */
int tdb_send_dd_to_server(tdb_session *session, int count, const commu_missing_dd *entries,
                          int compnr);
/* The dictionary of one table (8 characters) to the session's driver. */
int tdb_exec_map_dd(tdb_session *session, const char *table, int compnr);

/*
 * Requests that a driver may answer with 513; each is repeated after the
 * missing dictionaries have been sent, for as long as the reply is 513
 * (at most 64 rounds, then 513).
 */
/* Table action (request 4); *result receives the reply's result. */
int tdb_session_exec_table(tdb_session *session, const char *table, int compnr, long action,
                           long arg, long upd_seq, long *result);
/* lock_table with flags 0x4000 (lock type not 0) or 0x6000, sequence 1. */
int dbcSessionLockTable(tdb_session *session, const char *table, int compnr, int lock_type);
/* Request 15 with the new dictionary's default row; the reply's result,
 * or -1. */
long dbcSessionAlterTable(tdb_session *session, const char *table, int compnr, int flag);
/* Request 12: reads one row by its key block into row (row_size bytes; a
 * longer row from the driver gives 215). */
int tdb_session_read_eq(tdb_session *session, const char *table, int compnr, long action,
                        const unsigned char *key, long key_len, unsigned char *row,
                        long row_size);
/* Request 11 with the tables' update stores (taken from *tables); a resend
 * after 513 carries no tables. A 520 reply's detail error is stored in the
 * session's transaction. */
int send_upd_buffer(tdb_session *session, std::vector<commu_update_table> *tables);

/* Database action (request 5); a commit's audit number and entries are
 * stored in the session's transaction. */
int tdb_session_exec_db(tdb_session *session, long action);
/* Request 10: a packet buffer to the driver, its answer to
 * tdb_info.sql_packet_handler. */
int tdb_sql_commu_packets(tdb_server *server, const unsigned char *bytes, long length);
/* Request 17 with the SQL engine's callbacks; *result the reply's result. */
int tdb_sql2_commu(tdb_session *session, long code, const commu_sql2_io *io, long *result);

#endif
