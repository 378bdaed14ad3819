/*
 * c_func.cpp: table and database actions of the tdb API (tdb_exec_table,
 * tdb_exec_db) and tdb_flush, the sending of a transaction's buffered
 * updates on demand.
 */
#include <cstdio>
#include <cstring>
#include <vector>

#include "al_log.h"
#include "c_client.h"
#include "c_commu.h"
#include "c_ex_fet.h"
#include "c_open.h"
#include "c_standin.h"
#include "c_state.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_commu.h"

static const char SRC[] = "lib/dbc/c_func.cpp";

namespace {

/* Table actions by number. */
constexpr int create_index = 1;
constexpr int drop_index = 2;
constexpr int change_order = 3;
constexpr int create_table = 4;
constexpr int clear_table = 5;
constexpr int drop_table = 6;
constexpr int lock_table = 7;
constexpr int clr_ref_cnt = 9;
constexpr int start_import = 11;
constexpr int end_import = 12;

/* Database actions by number. */
constexpr int commit_trans = 1;
constexpr int abort_trans = 3;
constexpr int trans_not_active = 5;
constexpr int audit_commit = 7;
constexpr int audit_abort = 8;

tdb_trans *trans_of(const tdb_cursor_use *cursor)
{
    if (cursor == nullptr || cursor->table == nullptr || cursor->table->session == nullptr)
        return nullptr;
    return cursor->table->session->trans;
}

const _dd_table *table_of(const tdb_cursor_use *cursor)
{
    return cursor != nullptr && cursor->table != nullptr
               ? static_cast<const _dd_table *>(cursor->table->dd_entry)
               : nullptr;
}

bool is_audit(const tdb_session *s)
{
    return s->server != nullptr && (s->server->driver_type & DD_SRV_TYPE_MASK) == DD_SRV_AUDIT;
}

bool activated(const tdb_session *s)
{
    return s->server != nullptr && s->server->rd != nullptr && s->server->wr != nullptr;
}

/* The action that undoes a table action done on some cursors when a copy
 * failed; 0 when it cannot be undone. */
int undo_of(int action)
{
    switch (action) {
    case create_table: return drop_table;
    case create_index: return drop_index;
    case start_import: return end_import;
    default: return 0;
    }
}

/* Request 4 on each cursor of the company. */
int send_table_action(tdb_cursor_use *primary, int action, int *arg)
{
    const _dd_table *table = table_of(primary);
    tdb_trans *trans = trans_of(primary);
    std::vector<tdb_cursor_use *> chain;
    for (tdb_cursor_use *c = primary; c; c = c->next_copy)
        chain.push_back(c);
    /* Audit drivers are never attached: their cursors take no table
     * actions here (they would get only 4, 5 and 6). */
    long flags = type_commu_table_action(action) | action;
    if (action == drop_table || action == clr_ref_cnt)
        flags &= ~0x2000L;
    const long upd_seq = action == clear_table && *arg == 0 ? ++trans->upd_seq : 1;
    if (chain.size() > 1 && (action == drop_table || action == clear_table ||
                             action == lock_table || action == clr_ref_cnt)) {
        for (size_t i = 1; i < chain.size(); ++i) {
            tdb_cursor_use *c = chain[i];
            if (dbcSessionLockTable(c->table->session, table->code, c->compnr, 0) != 0)
                return -1;
        }
    }
    long result = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        tdb_cursor_use *c = chain[i];
        tdb_session *session = c->table->session;
        tdb_sql_agent_flush(session);
        long r = 0;
        if (tdb_session_exec_table(session, table->code, c->compnr, flags, *arg, upd_seq, &r) !=
            0) {
            const int code = tdb_errno;
            const int undo = undo_of(action);
            for (size_t j = 0; undo != 0 && j < i; ++j) {
                long ignored = 0;
                tdb_session_exec_table(chain[j]->table->session, table->code, chain[j]->compnr,
                                       type_commu_table_action(undo) | undo, *arg, 1, &ignored);
            }
            tdb_errno = code;
            return -1;
        }
        if (i == 0)
            result = r;
    }
    *arg = static_cast<int>(result);
    return 0;
}

int exec_table_internal(tdb_cursor_use *cursor, int action, int *arg)
{
    if (tdb_start() != 0 || tdb_cursor_check(cursor) != 0)
        return -1;
    if (!cursor->attached && tdb_attach_cursor(cursor) != 0)
        return -1;
    const _dd_table *table = table_of(cursor);
    tdb_instance *inst = cursor->instance;
    if (table == nullptr || inst == nullptr || trans_of(cursor) == nullptr) {
        tdb_errno = 215;
        return -1;
    }
    /* 2. Permission. */
    if (action >= create_table && action <= lock_table &&
        tdb_action_allowed(cursor, action, nullptr) != 0) {
        set_tdb_msg(0, "Unallowed operation (%s) on '%s'", tdb_table_action(action), table->code);
        log_mesg(SRC, __LINE__, "check_perm", 0, "Unallowed operation (%s) on '%s'",
                 tdb_table_action(action), table->code);
        if (tdb_errno == 0)
            tdb_errno = 208;
        return -1;
    }
    /* 3. No drop under a mapped company number. */
    if (action == drop_table && inst->logical != inst->physical) {
        log_mesg(SRC, __LINE__, "compnr", 0,
                 "Unallowed operation (%s) for mapped compnr (%03d mapped to %03d)",
                 tdb_table_action(action), inst->logical, inst->physical);
        tdb_errno = 214;
        return -1;
    }
    /* 4. References of whole tables. */
    if (action == clear_table || action == drop_table) {
        const int r = reference_for_table_oper(cursor, action, *arg);
        if (r != 0)
            return r > 0 ? 0 : -1;
    }
    /* 5. change_order is the client's. */
    if (action == change_order) {
        if (key_desc(table, *arg) == nullptr) {
            log_mesg(SRC, __LINE__, "Wrong order", 0, "Illegal key %d specified for table '%s'.",
                     *arg, table->code);
            tdb_errno = 103;
            return -1;
        }
        inst->cur_index = *arg;
        inst->sel_state &= ~TDB_SEL_CURRENT;
        return 0;
    }
    /* 6. Everything else goes to the drivers. */
    if (send_table_action(cursor, action, arg) != 0)
        return -1;
    /* 7. Locked state. */
    if (action == lock_table)
        inst->sel_state |= TDB_SEL_TABLE_LOCKED;
    return 0;
}

/* Database action to the sessions of a transaction on audit drivers
 * (audit set) or on the others; the rules of a failure as for the
 * ordinary sessions. first_error receives the first failure. */
int send_db_action(tdb_trans *trans, int *action, bool audit, int *first_error)
{
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans) {
        if (is_audit(s) != audit || !activated(s))
            continue;
        if (tdb_session_exec_db(s, type_commu_db_action(*action) | *action) == 0)
            continue;
        const int code = tdb_errno;
        if (*first_error == 0)
            *first_error = code;
        if (*action == trans_not_active && code == 213)
            continue;
        if (*action == commit_trans) {
            *action = abort_trans;
            continue;
        }
        if (*action == abort_trans)
            continue;
        return -1;
    }
    return 0;
}

} // namespace

int tdb_exec_table(struct tdb_handle *handle, int action, int *arg, int compnr)
{
    reset_tdb_msg();
    if (handle == nullptr || handle->table == nullptr || arg == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    if (compnr == -1) {
        compnr = handle->default_compnr;
        if (compnr == 65535) {
            set_tdb_msg(0, "Unknown compnr for %s on '%s'.", tdb_table_action(action),
                        handle->table->code);
            log_mesg(SRC, __LINE__, "No Compnr", 0, "Unknown compnr for %s on '%s'.",
                     tdb_table_action(action), handle->table->code);
            tdb_errno = 519;
            return -1;
        }
    }
    tdb_cursor_use *cursor = nullptr;
    if (tdb_get_internal_cursor(&cursor, handle, compnr) != 0)
        return -1;
    tdb_trans *trans = trans_of(cursor);
    if (trans != nullptr)
        trans->detail = tdb_detail_error{};
    int rc = exec_table_internal(cursor, action, arg);
    if (rc != 0)
        tdb_take_detail_error(trans);
    const int code = rc == 0 ? 0 : tdb_errno;
    /* 3. Follow-ups. */
    int follow = 0;
    if (trans != nullptr) {
        if ((action == create_table || action == drop_table) && cursor->instance != nullptr &&
            cursor->instance->audit != nullptr)
            follow = tdb_exec_db(rc == 0 ? audit_commit : audit_abort,
                                 static_cast<unsigned int>(trans->id));
        else if ((action == clear_table && *arg != 0) || action == clr_ref_cnt)
            follow = tdb_exec_db(rc == 0 ? commit_trans : abort_trans,
                                 static_cast<unsigned int>(trans->id));
        else if (action == clear_table && rc == 0)
            follow = tdb_flush(static_cast<unsigned int>(trans->id));
    }
    if (rc != 0) {
        tdb_errno = code;
        return -1;
    }
    return follow == 0 ? 0 : -1;
}

int tdb_flush(unsigned int trans_id)
{
    tdb_trans *trans = nullptr;
    const int found = tdb_get_trans(trans_id, &trans);
    if (found == 1) {
        log_mesg(SRC, __LINE__, "Invalid transaction", 0, "Invalid transaction id %d specified.",
                 static_cast<int>(trans_id));
        tdb_errno = E_TDB_INVALID_SESSION;
        return -1;
    }
    if (found != 0)
        return 0;
    trans->detail = tdb_detail_error{};
    if (flush_updates(trans) != 0) {
        tdb_take_detail_error(trans);
        return -1;
    }
    return 0;
}

int tdb_exec_db(int action, unsigned int trans_id)
{
    reset_tdb_msg();
    if (tdb_start() != 0)
        return -1;
    tdb_trans *trans = nullptr;
    const int found = tdb_get_trans(trans_id, &trans);
    if (found == 1) {
        set_tdb_msg(0, "Invalid transaction id %d specified.", static_cast<int>(trans_id));
        log_mesg(SRC, __LINE__, "Invalid transaction", 0, "Invalid transaction id %d specified.",
                 static_cast<int>(trans_id));
        tdb_errno = E_TDB_INVALID_SESSION;
        return -1;
    }
    tdb_errno = 0;
    if (found != 0)
        return 0;
    int first_error = 0;
    /* 2. Commit and abort of the audit drivers only. */
    if (action == audit_commit || action == audit_abort) {
        if (send_db_action(trans, &action, true, &first_error) != 0)
            return -1;
        tdb_errno = first_error;
        return first_error == 0 ? 0 : -1;
    }
    /* 3. A commit sends the buffered updates; a failure makes it an abort. */
    if (action == commit_trans) {
        trans->detail = tdb_detail_error{};
        if (flush_updates(trans) != 0) {
            first_error = tdb_take_detail_error(trans);
            action = abort_trans;
        }
    }
    /* 4. An abort discards them. */
    if (action == abort_trans)
        reset_all_buffers(trans);
    /* 5. Not active, yet with buffered updates. */
    if (action == trans_not_active && transaction_has_buffered_updates(trans)) {
        tdb_errno = 203;
        return -1;
    }
    /* 6. Audit sessions first; a failure aborts. */
    {
        int audit_error = 0;
        const int before = action;
        if (send_db_action(trans, &action, true, &audit_error) != 0 || audit_error != 0) {
            if (first_error == 0)
                first_error = audit_error != 0 ? audit_error : tdb_errno;
            if (before != abort_trans) {
                action = abort_trans;
                reset_all_buffers(trans);
            }
        }
    }
    /* 7. Transaction notification rows of a commit with audit entries. */
    if (action == commit_trans && !trans->audit_entries.empty()) {
        if (audit_write_tnr(trans) != 0) {
            if (first_error == 0)
                first_error = tdb_errno;
            action = abort_trans;
            reset_all_buffers(trans);
        } else if (flush_updates(trans) != 0) {
            if (first_error == 0)
                first_error = tdb_take_detail_error(trans);
            action = abort_trans;
            reset_all_buffers(trans);
        }
    }
    /* 8. Every other session. */
    const int before = action;
    if (send_db_action(trans, &action, false, &first_error) != 0) {
        tdb_errno = first_error;
        return -1;
    }
    /* 9. End of the transaction: delayed locks, and the start time goes. */
    if (before == commit_trans || before == abort_trans) {
        dlock_on_transaction_end(trans, action == commit_trans ? 1 : 0);
        trans->start_time = 0;
    }
    /* 10. The first error decides. */
    tdb_errno = first_error;
    return first_error == 0 ? 0 : -1;
}
