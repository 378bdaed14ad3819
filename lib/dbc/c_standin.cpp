/*
 * c_standin.cpp: stand-ins for the layers that the tdb API calls but that
 * are not linked in yet. Each does nothing or answers success, as its
 * comment says, and goes when its layer lands.
 */
#include "c_standin.h"

#include "c_state.h"

/* Runtime shared memory: replaced by the shared-memory layer. No segment
 * exists, so there is nothing to attach: success. */
int link_shm(void) { return 0; }
int link_shm_nolog(void) { return 0; }

/* Audit-column configuration: replaced by the audit-columns reader. No
 * configuration is read; success, as when there is no file. */
int audit_read_auditcols(void) { return 0; }

/* Role permissions: replaced by the permissions layer. No roles are
 * loaded; success, as for a user of type "S". */
int tdb_load_roles(void) { return 0; }

/* Activity tracing: replaced by the trace log. Tracing is never on, so
 * nothing is recorded. */
void tlat_initiate(void) {}
int tlat_get_state(int /*category*/) { return 0; }
void tlat_sess_start(const char * /*name*/, unsigned int /*trans_id*/) {}
void tlat_sess_rename(const char * /*name*/, unsigned int /*trans_id*/) {}
void tlat_sess_stop(unsigned int /*trans_id*/) {}

/* SQL engine: replaced by the SQL engine. It holds no statements and no
 * session, so closing does nothing and no session is in use. */
void SQLOnCloseSession(unsigned int /*trans_id*/) {}
int qpc_session_used(const tdb_session * /*session*/) { return 0; }
int SQLLoggerInitLogFlags(void) { return 0; }
void qp_init_debug_flags(void) {}
void tdb_init_unicode_wrappers(void) {}
void tdb_sql_agent_end(tdb_server * /*server*/) {}
void tdb_sql_agent_flush(tdb_session * /*session*/) {}
void tdb_sql2_session_detached(tdb_session * /*session*/) {}

/* Delayed locks: replaced by the delayed-lock store. No rows are ever
 * remembered, so there is nothing to end. */
void dlock_on_transaction_end(tdb_trans * /*trans*/, int /*action*/) {}

/* Delayed locks of a table record: replaced by the delayed-lock store,
 * which keeps none yet, so there is nothing to drop. */
void rm_dlock(tdb_table_use * /*table*/) {}

/* Permissions: replaced by the permissions layer (c_perm). No roles are
 * loaded, which is the superuser's case: every action is allowed. */
int tdb_action_allowed(tdb_cursor_use * /*cursor*/, int /*action*/,
                       const unsigned char * /*row*/)
{
    return 0;
}

/* Referential integrity: replaced by c_refer. Without it no reference is
 * checked or counted: every row action and table action may proceed, no
 * table has counted references, and the driver maintains no counters. */
int tdb_reference_before(tdb_cursor_use * /*cursor*/, const unsigned char * /*old_row*/,
                         const unsigned char * /*new_row*/, int /*operation*/, long /*flags*/)
{
    return 0;
}
int tdb_reference_after(tdb_cursor_use * /*cursor*/, const unsigned char * /*old_row*/,
                        const unsigned char * /*new_row*/, int /*operation*/, long /*flags*/)
{
    return 0;
}
int reference_for_table_oper(tdb_cursor_use * /*cursor*/, int /*action*/, int /*arg*/) { return 0; }
int restricted_references_exists(tdb_cursor_use * /*cursor*/, long /*flags*/) { return 0; }
int server_updates_refcnt(tdb_cursor_use * /*cursor*/) { return 0; }

/* Audit trail: replaced by the audit layer. Audit drivers are never
 * attached, so a transaction never carries audit entries and there are
 * no notification rows to write. */
int audit_write_tnr(tdb_trans * /*trans*/) { return 0; }
