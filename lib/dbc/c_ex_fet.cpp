/*
 * c_ex_fet.cpp: row actions of the tdb API (tdb_exec_row and its steps),
 * the buffering of inserts, updates and deletes in the tables' update
 * stores, direct key reads, and the sending of the buffered updates.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "al_log.h"
#include "c_client.h"
#include "c_commu.h"
#include "c_ex_fet.h"
#include "c_open.h"
#include "c_standin.h"
#include "c_state.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_commu.h"
#include "tdb_dd_chk.h"

static const char SRC[] = "lib/dbc/c_ex_fet.cpp";

namespace {

void put_be32(unsigned char *p, long value)
{
    const auto v = static_cast<uint32_t>(value);
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

tdb_trans *trans_of(const tdb_cursor_use *cursor)
{
    if (cursor == nullptr || cursor->table == nullptr || cursor->table->session == nullptr)
        return nullptr;
    return cursor->table->session->trans;
}

const _dd_table *table_of(const tdb_cursor_use *cursor)
{
    if (cursor == nullptr || cursor->table == nullptr)
        return nullptr;
    return static_cast<const _dd_table *>(cursor->table->dd_entry);
}

/* TDB_ALWAYS_FLUSH, read once per process: a non-zero number. */
bool always_flush()
{
    static const bool on = [] {
        const char *v = std::getenv("TDB_ALWAYS_FLUSH");
        return v != nullptr && std::strtol(v, nullptr, 10) != 0;
    }();
    return on;
}

/* The duplication record of a table record in a transaction. */
tdb_duplicate *dup_of(const tdb_table_use *table, const tdb_trans *trans)
{
    for (tdb_duplicate *d = tdb_info.duplicates; d; d = d->next)
        if (d->key == table->key && d->trans == trans)
            return d;
    return nullptr;
}

long store_rows(RDS *store)
{
    rds_stat st{};
    if (store == nullptr || rds_get_stat(store, &st) != 0)
        return 0;
    return st.rows;
}

bool is_audit_session(const tdb_session *s)
{
    return s->server != nullptr && (s->server->driver_type & DD_SRV_TYPE_MASK) == DD_SRV_AUDIT;
}

/* read_piece of an update store: the set's bytes as they are. */
int read_store_piece(void *ctx, long offset, unsigned char *buf, int max)
{
    if (rds_read_bytes(static_cast<RDS *>(ctx), offset, buf, max) != 0)
        return -1;
    return max;
}

/* The row of an action: the program's row buffer or the bound variables
 * into the instance's row. */
void bound_to_row(tdb_instance *inst, const _dd_table *table)
{
    if (inst->bound == nullptr)
        return;
    if (inst->nr_binds == 0) {
        std::memcpy(inst->row.data(), inst->bound, table->row_length);
        return;
    }
    const auto *binds = static_cast<const tdb_bind_desc *>(inst->bound);
    for (long i = 0; i < inst->nr_binds; ++i)
        system_to_independent(&binds[i], inst->row.data());
}

void row_to_bound(tdb_instance *inst, const _dd_table *table)
{
    if (inst->bound == nullptr)
        return;
    if (inst->nr_binds == 0) {
        std::memcpy(inst->bound, inst->row.data(), table->row_length);
        return;
    }
    const auto *binds = static_cast<const tdb_bind_desc *>(inst->bound);
    for (long i = 0; i < inst->nr_binds; ++i)
        independent_to_system(&binds[i], inst->row.data());
}

bool in_list(int action, std::initializer_list<int> list)
{
    for (int a : list)
        if (a == action)
            return true;
    return false;
}

/* Selection state after a row action (bits TDB_SEL_CURRENT and
 * TDB_SEL_POSITIONED; TDB_SEL_LOCKED after success). */
void update_selection(tdb_instance *inst, int action, long f, int rc, int code)
{
    constexpr int both = TDB_SEL_CURRENT | TDB_SEL_POSITIONED;
    const bool positioning = in_list(action, {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 17, 18, 19, 20,
                                              31, 32, 35, 36, 37, 39, 40, 51, 52, 55, 56, 57,
                                              59, 60});
    const bool stepping = in_list(action, {5, 6, 7, 8, 15, 16, 33, 34, 38, 53, 54, 58});
    if (positioning || stepping) {
        if (rc == 0 || code == 208)
            inst->sel_state |= both;
        else if (!(stepping && code == 107))
            inst->sel_state &= ~both;
    } else if (in_list(action, {21, 41, 61})) {
        if (rc == 0)
            inst->sel_state &= ~TDB_SEL_CURRENT;
    } else if (in_list(action, {23, 42, 63, 64})) {
        if (rc == 0)
            inst->sel_state |= both;
    }
    if (rc == 0 && action != 22 && action != 43) {
        if (f & 0x1000)
            inst->sel_state |= TDB_SEL_LOCKED;
        else
            inst->sel_state &= ~TDB_SEL_LOCKED;
    }
}

/* Insert, delete, update and reference count: permission, rcd_utc,
 * header, references, buffering. */
int do_row_operation(tdb_cursor_use *cursor, long operation, long flags, unsigned char *row)
{
    const _dd_table *table = table_of(cursor);
    tdb_trans *trans = trans_of(cursor);
    if (table == nullptr || trans == nullptr) {
        tdb_errno = 215;
        return -1;
    }
    /* 1. Who maintains the reference counters; the lock bits never travel. */
    if (server_updates_refcnt(cursor))
        flags |= 0x200000;
    else
        flags &= ~0x200000L;
    flags &= ~0x5000L;
    /* 2. Permission. */
    if (operation != TDB_OP_REFCNT &&
        tdb_action_allowed(cursor, static_cast<int>(100 + operation), row) != 0) {
        if (tdb_errno == 0)
            tdb_errno = 208;
        return -1;
    }
    /* 3. The transaction's start time into rcd_utc. */
    if (operation == TDB_OP_INSERT && !(flags & TDB_FLAG_KEEP_RCD_UTC) && table->rcd_utc != nullptr)
        put_be32(row + table->rcd_utc->offset, tdb_get_trans_start_time(trans->id));
    /* 4. References before. */
    if (operation != TDB_OP_REFCNT &&
        tdb_reference_before(cursor, nullptr, row, static_cast<int>(100 + operation), flags) != 0)
        return -1;
    /* 5. Buffer it. With 0x10 and counted references the insert goes at
     * once without 0x10, and a duplicate then counts as success. */
    bool swallowed = false;
    if (operation == TDB_OP_INSERT && (flags & TDB_FLAG_DUPLICATE_OK) && !(flags & 0x200000) &&
        restricted_references_exists(cursor, flags)) {
        if (tdb_do_exec_row(cursor, operation, flags & ~static_cast<long>(TDB_FLAG_DUPLICATE_OK),
                            row, true) != 0) {
            if (tdb_errno == E_COMMU_BUFFERED && trans->detail.code == 100) {
                tdb_errno = 0;
                trans->detail = tdb_detail_error{};
                swallowed = true;
            } else {
                return -1;
            }
        }
    } else if (tdb_do_exec_row(cursor, operation, flags, row, false) != 0) {
        return -1;
    }
    /* 6. References after. */
    if (!swallowed && operation != TDB_OP_REFCNT &&
        tdb_reference_after(cursor, nullptr, row, static_cast<int>(100 + operation), flags) != 0)
        return -1;
    return 0;
}

/* The SQL path of reads: the engine is not linked in yet. */
int read_through_sql(tdb_cursor_use *cursor, int action)
{
    const _dd_table *table = table_of(cursor);
    log_mesg(SRC, __LINE__, "ssts", 0,
             "Row action %s on '%s' needs the SQL engine, which is not available",
             tdb_row_action(action), table != nullptr ? table->code : "");
    tdb_errno = 215;
    return -1;
}

/* Dispatch of a row action on a cursor. */
int tdb_exec_row_1(tdb_cursor_use *cursor, int action, long flags, long f)
{
    tdb_instance *inst = cursor->instance;
    const _dd_table *table = table_of(cursor);
    unsigned char *row = inst->row.data();
    /* 1. The company number of a cursor not attached yet. */
    if (!cursor->attached && tdb_attach_cursor(cursor) != 0)
        return -1;
    /* 2. Domains of inserted and updated rows. */
    if ((f & 0x10000) && tdb_dd_check(table, row) == 0) {
        tdb_errno = E_TDB_OUT_OF_RANGE;
        return -1;
    }
    /* 3. The buffered operation. */
    long operation = 0;
    long op_flags = flags;
    bool lock_id = false;
    switch (action) {
    case 21: case 41: operation = TDB_OP_DELETE; op_flags |= 1; lock_id = true; break;
    case 22: operation = TDB_OP_INSERT; op_flags |= 1; break;
    case 23: case 42: operation = TDB_OP_UPDATE; op_flags |= 1; lock_id = true; break;
    case 43: operation = TDB_OP_UPDATE; op_flags = 0x20001; lock_id = true; break;
    case 61: operation = TDB_OP_DELETE; break;
    case 62: operation = TDB_OP_INSERT; break;
    case 63: operation = TDB_OP_UPDATE; break;
    case 64: operation = TDB_OP_REFCNT; break;
    default: break;
    }
    if (operation != 0) {
        if (lock_id)
            put_be32(row + table->data_length, inst->dlock_id);
        return do_row_operation(cursor, operation, op_flags, row);
    }
    /* 5. A read. */
    if (tdb_reference_before(cursor, nullptr, row, action, flags) != 0)
        return -1;
    if (inst->cur_index == 1 && (action == 13 || action == 14 || action == 37))
        return tdb_exec_read_eq(cursor, action == 14, row);
    return read_through_sql(cursor, action);
}

} // namespace

int tdb_take_detail_error(tdb_trans *trans)
{
    if (tdb_errno == E_COMMU_BUFFERED && trans != nullptr && trans->detail.code != 0 &&
        trans->detail.code != E_COMMU_BUFFERED) {
        tdb_errno = trans->detail.code;
        trans->detail.code = E_COMMU_BUFFERED;
    }
    return tdb_errno;
}

int tdb_exec_row_internal(tdb_cursor_use *cursor, int action, long flags)
{
    if (tdb_start() != 0 || tdb_cursor_check(cursor) != 0)
        return -1;
    tdb_instance *inst = cursor->instance;
    const _dd_table *table = table_of(cursor);
    if (inst == nullptr || table == nullptr || inst->row.size() < table->row_length) {
        tdb_errno = 215;
        return -1;
    }
    const long f = type_commu_row_action(action) | action;
    /* 2. A current row, a position. */
    if (((f & 0x400) && !(inst->sel_state & TDB_SEL_CURRENT)) ||
        ((f & 0x100000) && !(inst->sel_state & TDB_SEL_POSITIONED))) {
        tdb_errno = 112;
        return -1;
    }
    /* 3. The row. */
    bound_to_row(inst, table);
    /* 6. The action. */
    inst->ref_error.clear();
    int rc = tdb_exec_row_1(cursor, action, flags, f);
    int code = rc == 0 ? 0 : tdb_errno;
    /* 7. Forgiven codes. */
    if (rc != 0 && ((code == 111 && (flags & TDB_FLAG_NO_MORE_OK)) ||
                    (code == 100 && (flags & TDB_FLAG_DUPLICATE_OK)) ||
                    (code == 201 && (flags & TDB_FLAG_LOCKED_OK)))) {
        rc = 0;
        tdb_errno = 0;
    }
    /* 8. A read row to the program. */
    if (rc == 0 && (f & 0x100) && code == 0)
        row_to_bound(inst, table);
    /* 9. Selection state. */
    update_selection(inst, action, f, rc, code);
    if (rc != 0)
        tdb_errno = code;
    return rc;
}

int tdb_exec_row(struct tdb_handle *handle, int action, long flags, int compnr)
{
    reset_tdb_msg();
    if (handle == nullptr || handle->table == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    if (compnr == -1)
        compnr = handle->default_compnr;
    if (compnr > 999) {
        set_tdb_msg(0, "Unknown compnr %d for %s on '%s'.", compnr, tdb_row_action(action),
                    handle->table->code);
        log_mesg(SRC, __LINE__, "No Compnr", 0, "Unknown compnr %d for %s on '%s'.", compnr,
                 tdb_row_action(action), handle->table->code);
        tdb_errno = 519;
        return -1;
    }
    tdb_cursor_use *cursor = nullptr;
    if (tdb_get_internal_cursor(&cursor, handle, compnr) != 0)
        return -1;
    tdb_trans *trans = trans_of(cursor);
    if (trans != nullptr)
        trans->detail = tdb_detail_error{};
    int rc = tdb_exec_row_internal(cursor, action, flags);
    if (rc != 0) {
        tdb_take_detail_error(trans);
        if (tdb_errno == 111 && (type_commu_row_action(action) & 0x400))
            tdb_errno = 112;
    }
    const int code = tdb_errno;
    put_compnr_in_bind(handle, nullptr, compnr);
    tdb_errno = code;
    return rc;
}

/* ---- buffering ------------------------------------------------------------------------------ */

int tdb_do_exec_row(tdb_cursor_use *cursor, long operation, long flags, const unsigned char *row,
                    bool flush)
{
    tdb_trans *trans = trans_of(cursor);
    const _dd_table *table = table_of(cursor);
    if (trans == nullptr || table == nullptr || cursor->instance == nullptr || row == nullptr) {
        tdb_errno = 215;
        return -1;
    }
    /* 1. Send what is buffered first. */
    const bool at_once = flush || (flags & TDB_FLAG_FLUSH_MASK) != 0;
    if (at_once && flush_updates(trans) != 0)
        return -1;
    /* 2. The update store. */
    RDS *store = tdb_dup_store(cursor->instance->dup, false);
    if (store == nullptr) {
        log_mesg(SRC, __LINE__, "Update store", 0, "Cannot open the update store of '%s'",
                 table->code);
        tdb_errno = 215;
        return -1;
    }
    /* 3. Pending reference-count changes of the key would be merged here;
     * the reference layer buffers none yet. */
    /* 4. Sequence number, header, row. */
    std::vector<unsigned char> record(12 + static_cast<size_t>(table->row_length), 0);
    put_be32(record.data(), ++trans->upd_seq);
    put_be32(record.data() + 4, operation);
    put_be32(record.data() + 8, flags);
    std::memcpy(record.data() + 12, row, table->row_length);
    if (rds_put_seq(store, record.data()) != 0) {
        log_mesg(SRC, __LINE__, "Update store", 0, "Cannot buffer %s for '%s'",
                 tdb_row_action(static_cast<int>(100 + operation)), table->code);
        tdb_errno = 215;
        return -1;
    }
    /* 5. And send it now when asked to. */
    if (at_once || always_flush())
        return flush_updates(trans);
    return 0;
}

int tdb_exec_read_eq(tdb_cursor_use *cursor, int locked, unsigned char *row)
{
    tdb_trans *trans = trans_of(cursor);
    const _dd_table *table = table_of(cursor);
    if (trans == nullptr || table == nullptr || row == nullptr) {
        tdb_errno = 215;
        return -1;
    }
    if (flush_updates(trans) != 0)
        return -1;
    const _dd_key *key = key_desc(table, 1);
    if (key == nullptr) {
        log_mesg(SRC, __LINE__, "Key desc", 0, "Get key desription failed");
        tdb_errno = 215;
        return -1;
    }
    std::vector<unsigned char> keybuf(static_cast<size_t>(DD_MAX_ROW), 0);
    const unsigned char *end = tdb_extract_cols(keybuf.data(), row, key->parts);
    const long key_len = end - keybuf.data();
    const int action = locked ? 14 : 13;
    tdb_cursor_use *reader = cursor->instance != nullptr && cursor->instance->read_cursor != nullptr
                                 ? cursor->instance->read_cursor
                                 : cursor;
    if (reader->table == nullptr || reader->table->session == nullptr) {
        tdb_errno = 215;
        return -1;
    }
    std::vector<unsigned char> got(table->row_length, 0);
    if (tdb_session_read_eq(reader->table->session, table->code, reader->compnr,
                            type_commu_row_action(action) | action, keybuf.data(), key_len,
                            got.data(), table->row_length) != 0)
        return -1;
    std::memcpy(row, got.data(), table->row_length);
    return 0;
}

/* ---- sending the buffered updates ----------------------------------------------------------- */

bool transaction_has_buffered_updates(const tdb_trans *trans)
{
    for (tdb_duplicate *d = tdb_info.duplicates; d; d = d->next)
        if (d->trans == trans && tdb_dup_holds_rows(d))
            return true;
    return false;
}

void reset_all_buffers(tdb_trans *trans)
{
    if (trans == nullptr)
        return;
    for (tdb_duplicate *d = tdb_info.duplicates; d; d = d->next) {
        if (d->trans != trans)
            continue;
        if (d->updates != nullptr)
            rds_reset(d->updates, 1);
        if (d->refcnts != nullptr)
            rds_reset(d->refcnts, 1);
    }
    /* Cursors parked only for the discarded rows are closed now. */
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans)
        for (tdb_table_use *t = s->tables; t; t = t->next) {
            t->flags &= ~TDB_TABLE_PENDING;
            if (t->parked != nullptr)
                tdb_close_parked(t);
        }
}

int flush_updates(tdb_trans *trans)
{
    if (trans == nullptr) {
        tdb_errno = 215;
        return -1;
    }
    /* Reference-count buffers would be emptied first; the reference layer
     * keeps none yet. Mark the tables with pending actions. */
    bool any = false;
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans)
        for (tdb_table_use *t = s->tables; t; t = t->next) {
            tdb_duplicate *d = dup_of(t, trans);
            if (d != nullptr && store_rows(d->updates) > 0) {
                t->flags |= TDB_TABLE_PENDING;
                any = true;
            }
        }
    if (!any)
        return 0;
    if (tdb_info.profile_callback != nullptr)
        tdb_info.profile_callback();
    int rc = 0;
    /* Ordinary sessions first, audit sessions last. */
    for (int pass = 0; pass < 2 && rc == 0; ++pass) {
        for (tdb_session *s = trans->sessions; s && rc == 0; s = s->next_in_trans) {
            if (is_audit_session(s) != (pass == 1))
                continue;
            /* Audit drivers are never attached: nothing goes to them. */
            if (pass == 1 && (s->server == nullptr || s->server->rd == nullptr))
                continue;
            std::vector<commu_update_table> tables;
            for (tdb_table_use *t = s->tables; t; t = t->next) {
                if (!(t->flags & TDB_TABLE_PENDING))
                    continue;
                tdb_duplicate *d = dup_of(t, trans);
                rds_stat st{};
                if (d == nullptr || d->updates == nullptr || rds_get_stat(d->updates, &st) != 0)
                    continue;
                commu_update_table u{};
                std::memcpy(u.table, t->name, 8);
                u.table[8] = '\0';
                u.compnr = t->key != nullptr ? t->key->physical : 0;
                u.byte_count = st.bytes;
                u.record_count = st.rows;
                u.read_piece = read_store_piece;
                u.ctx = d->updates;
                tables.push_back(std::move(u));
            }
            if (!tables.empty() && send_upd_buffer(s, &tables) != 0)
                rc = -1;
        }
    }
    const int code = tdb_errno;
    /* The stores are emptied (sent, or lost with the transaction the
     * caller now aborts), parked cursors closed, marks cleared. */
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans)
        for (tdb_table_use *t = s->tables; t; t = t->next)
            if (t->flags & TDB_TABLE_PENDING)
                if (tdb_duplicate *d = dup_of(t, trans); d != nullptr && d->updates != nullptr)
                    rds_reset(d->updates, 1);
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans)
        for (tdb_table_use *t = s->tables; t; t = t->next)
            if (t->flags & TDB_TABLE_PENDING) {
                t->flags &= ~TDB_TABLE_PENDING;
                if (t->parked != nullptr)
                    tdb_close_parked(t);
            }
    if (tdb_info.profile_callback != nullptr)
        tdb_info.profile_callback();
    tdb_errno = rc == 0 ? 0 : code;
    return rc;
}
