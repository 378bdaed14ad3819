/*
 * c_standin.h: the calls of the tdb API into layers that are not linked
 * in yet (audit columns, roles, SQL engine, tracing, delayed locks, shared
 * memory). Each is a stand-in in c_standin.cpp.
 */
#ifndef C_STANDIN_H
#define C_STANDIN_H

struct tdb_trans;
struct tdb_session;
struct tdb_server;
struct tdb_handle;
struct tdb_table_use;

/* Shared memory (runtime layer): attach, and attach without logging. */
int link_shm(void);
int link_shm_nolog(void);

/* Audit-column configuration: 0, or -1 when it cannot be read. */
int audit_read_auditcols(void);
/* The role permissions of the user: 0, or -1. */
int tdb_load_roles(void);

/* Activity tracing. */
void tlat_initiate(void);
int tlat_get_state(int category);
void tlat_sess_start(const char *name, unsigned int trans_id);
void tlat_sess_rename(const char *name, unsigned int trans_id);
void tlat_sess_stop(unsigned int trans_id);

/* SQL engine: a transaction's statements are closed; whether a session
 * is still used; the log flags; the query processor's debug flags; the
 * Unicode wrappers. */
void SQLOnCloseSession(unsigned int trans_id);
int qpc_session_used(const tdb_session *session);
int SQLLoggerInitLogFlags(void);
void qp_init_debug_flags(void);
void tdb_init_unicode_wrappers(void);
/* The SQL agent of a server ends, of a session is flushed; the second SQL
 * interface learns that a session was detached. */
void tdb_sql_agent_end(tdb_server *server);
void tdb_sql_agent_flush(tdb_session *session);
void tdb_sql2_session_detached(tdb_session *session);

/* Delayed locks: the transaction ends without commit (action 0). */
void dlock_on_transaction_end(tdb_trans *trans, int action);

/* Drops the delayed-lock store of a table record. */
void rm_dlock(tdb_table_use *table);

#endif
