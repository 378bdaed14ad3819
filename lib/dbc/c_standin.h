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
struct tdb_cursor_use;

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

/* Permissions (c_perm): 0 when the cursor may run the action (101..103,
 * table actions 4..7, 10) on row (may be null), else -1 with 208. */
int tdb_action_allowed(tdb_cursor_use *cursor, int action, const unsigned char *row);

/* Referential integrity (c_refer): the checks before and after a row
 * action (0, or -1 with tdb_errno), the reference handling of clear_table
 * and drop_table (0: go on, 1: done, -1: failed), whether the table has
 * counted outgoing references, and whether the driver maintains the
 * reference counters. */
int tdb_reference_before(tdb_cursor_use *cursor, const unsigned char *old_row,
                         const unsigned char *new_row, int operation, long flags);
int tdb_reference_after(tdb_cursor_use *cursor, const unsigned char *old_row,
                        const unsigned char *new_row, int operation, long flags);
int reference_for_table_oper(tdb_cursor_use *cursor, int action, int arg);
int restricted_references_exists(tdb_cursor_use *cursor, long flags);
int server_updates_refcnt(tdb_cursor_use *cursor);

/* Audit trail: the transaction notification rows (ttaud110) of a commit
 * with audit entries; 0, or -1 with tdb_errno 254. */
int audit_write_tnr(tdb_trans *trans);

#endif
