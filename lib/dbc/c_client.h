/*
 * c_client.h: the API's bookkeeping of transactions, servers and sessions
 * (internal to the tdb API): lookups, creating and stopping records, the
 * tree printout and the resource change handlers.
 */
#ifndef C_CLIENT_H
#define C_CLIENT_H

#include <cstdio>

#include "c_state.h"
#include "qpd_dd.h"

/* The record of a transaction id: 0 and *out, 1 when the id is not in
 * use, 2 when it is in use but has no record. */
int tdb_get_trans(unsigned int trans_id, tdb_trans **out);
/* The record of an id in use, created when missing (501); for an id not
 * in use logs "Invalid transaction id %d specified." and gives 518. */
tdb_trans *tdb_get_trans_by_id(unsigned int trans_id);
/* The detail error of a transaction record (see tdb_get_detail_error). */
int tdb_get_detail_error_by_trans(char *table, int *number, const char **text,
                                  const tdb_trans *trans);

/*
 * The session of trans that serves a table with dictionary entry dd_entry
 * and server list choice: an existing one (with *table_out the
 * table record when it has one for dd_entry, else null), a new session on
 * a server with room, or a new server and session. Null on failure.
 */
tdb_session *TdbGetSession(tdb_trans *trans, const void *dd_entry, const dd_server_choice *choice,
                           tdb_table_use **table_out);
/* A new server for choice (trying its alternatives) and a session of
 * trans on it; null with the first failure's code, or 505. */
tdb_session *get_new_tdb_server_and_session(const dd_server_choice *choice, tdb_trans *trans,
                                            int flag);
/* A new session of trans on server; null on failure. */
tdb_session *get_new_tdb_session(tdb_server *server, tdb_trans *trans);

/* Stops every session of a transaction and closes its handles (0/-1). */
int tdb_stop_trans(tdb_trans *trans);
/* Stops every session of a server and detaches it (0/-1). */
int tdb_stop_server(tdb_server *server);
/* Closes the cursors of every table record of a session (open and
 * parked, copies with their primaries), frees the records and the
 * session's reference cursors; talks to no driver. 0, or -1 (215). */
int tdb_free_session_tables(tdb_session *session);
/* Frees records that are no longer in any list. */
void tdb_free_trans(tdb_trans *trans);
void tdb_free_server(tdb_server *server);

/* True when two server lists are equal, alternative by
 * alternative. */
bool tdb_same_choice(const dd_server_choice &a, const dd_server_choice &b);

/* The server/session tree under a label ("before schedule", ...). */
void tdb_print_tree(FILE *out, const char *label);

/* The change handler of tdb_debug and its registration on the client
 * resources table (before loading); 0, or -1 for an unknown name. */
int change_tdb_debug(void);
int dbc_set_resource_mutfun(const char *name, int (*hook)(void));
/* The client resources table. */
extern struct resource client_resources[];

#endif
