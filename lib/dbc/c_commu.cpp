/*
 * c_commu.cpp: the client side of the driver exchange: the request block
 * and its function tables, client_commu, the action code tables, the
 * server and session attach and detach sequences, the table dictionary
 * description, and the repair loops for 513 (dictionary) and 519 (map).
 */
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_stream.h"
#include "c_commu.h"
#include "c_state.h"
#include "compnr.h"
#include "ipc.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_commu.h"
#include "tss.h"

#define SRC "lib/dbc/c_commu.cpp"

commu_block commu;

/* ---- request kinds and their debug names ------------------------------------------- */

const char *commu_kind_name(int kind)
{
    static const char *const names[COMMU_NR_KINDS] = {
        "ATT_SERVER",    "DET_SERVER",  "ATT_SESSION",   "DET_SESSION",
        "EXE_TBL_CNTR",  "EXE_DB_CNTR", "EXE_SESSION",   "EXE_SYSTEM",
        "DD_INFO_TABLE", "",            "SQL_MESSAGE",   "EXE_UPDATE",
        "EXE_ROW_CNTR",  "SEND_COMPNR", "",              "ALTER_TABLE",
        "",              "SQL_MESSAGE"};
    if (kind < 0 || kind >= COMMU_NR_KINDS)
        return "";
    return names[kind];
}

/* ---- action codes -------------------------------------------------------------------- */

namespace {

struct ActionDef {
    int number;
    const char *name;
    long flags;
};

const ActionDef row_actions[] = {
    {1, "db_first", 0x900},          {2, "db_first(locked)", 0x7900},
    {3, "db_last", 0x900},           {4, "db_last(locked)", 0x7900},
    {5, "db_next", 0x100900},        {6, "db_next(locked)", 0x107900},
    {7, "db_prev", 0x100900},        {8, "db_prev(locked)", 0x107900},
    {9, "db_gt", 0xb00},             {10, "db_gt(locked)", 0x7b00},
    {11, "db_ge", 0xb00},            {12, "db_ge(locked)", 0x7b00},
    {13, "db_eq", 0xb00},            {14, "db_eq(locked)", 0x7b00},
    {15, "db_curr", 0xd00},          {16, "db_curr(locked)", 0x7d00},
    {17, "db_lt", 0xb00},            {18, "db_lt(locked)", 0x7b00},
    {19, "db_le", 0xb00},            {20, "db_le(locked)", 0x7b00},
    {21, "db_delete", 0x86400},      {22, "db_insert", 0x36200},
    {23, "db_update", 0x57e00},      {24, "db_lock_ref", 0x6b00},
    {31, "db_first(delayed)", 0x6900}, {32, "db_last(delayed)", 0x6900},
    {33, "db_next(delayed)", 0x106900}, {34, "db_prev(delayed)", 0x106900},
    {35, "db_gt(delayed)", 0x6b00},  {36, "db_ge(delayed)", 0x6b00},
    {37, "db_eq(delayed)", 0x6b00},  {38, "db_curr(delayed)", 0x6500},
    {39, "db_lt(delayed)", 0x6b00},  {40, "db_le(delayed)", 0x6b00},
    {41, "db_delete(delayed)", 0x86400}, {42, "db_update(delayed)", 0x56e00},
    {43, "db_check_row_changed", 0x6e00},
    {51, "db_first(51)", 0x7900},    {52, "db_last(51)", 0x7900},
    {53, "db_next(51)", 0x107900},   {54, "db_prev(51)", 0x107900},
    {55, "db_gt(51)", 0x7b00},       {56, "db_ge(51)", 0x7b00},
    {57, "db_eq(51)", 0x7b00},       {58, "db_curr(51)", 0x7500},
    {59, "db_lt(51)", 0x7b00},       {60, "db_le(51)", 0x7b00},
    {61, "db_delete(51)", 0x86200},  {62, "db_insert(51)", 0x36200},
    {63, "db_update(51)", 0x56200},  {64, "db_refcnt(51)", 0x46200},
    {101, "insert(bfrd)", 0},        {102, "delete(bfrd)", 0},
    {103, "update(bfrd)", 0},        {104, "refcnt(bfrd)", 0},
    {105, "refresh(bfrd)", 0},       {106, "complex_del(bfrd)", 0},
    {107, "complex_upd(bfrd)", 0},   {108, "read(bfrd)", 0},
};

const ActionDef table_actions[] = {
    {1, "create_index", 0xc000}, {2, "drop_index", 0xc000},
    {3, "change_order", 0},      {4, "create_table", 0xc000},
    {5, "clear_table", 0x6000},  {6, "drop_table", 0xc000},
    {7, "lock_table", 0x6000},   {8, "nr_rows", 0},
    {9, "clr_ref_cnt", 0xe000},  {10, "alter_table", 0},
    {11, "start_import", 0x4000}, {12, "end_import", 0x4000},
    {13, "upd_statistics", 0},
};

const ActionDef db_actions[] = {
    {1, "commit_trans", 0},          {2, "set_readonly", 0x8000},
    {3, "abort_trans", 0},           {4, "ERROR_prepare_commit", 0},
    {5, "trans_not_active", 0x8000}, {6, "start_transaction", 0},
    {7, "audit_commit_table_action", 0}, {8, "audit_abort_table_action", 0},
    {9, "db_flush", 0},
};

template <size_t N>
const ActionDef *find_action(const ActionDef (&table)[N], int number)
{
    for (const ActionDef &a : table)
        if (a.number == number)
            return &a;
    return nullptr;
}

void wrong_command(int line, int number)
{
    fprintf(stderr, "Wrong command in %s: %d command %d\n", SRC, line, number);
}

} // namespace

long type_commu_row_action(int action)
{
    if (action < 1) {
        wrong_command(__LINE__, action);
        return 0;
    }
    const ActionDef *a = find_action(row_actions, action);
    return a ? a->flags : 0;
}

long type_commu_table_action(int action)
{
    if (action < 1 || action > 26) {
        wrong_command(__LINE__, action);
        return 0;
    }
    const ActionDef *a = find_action(table_actions, action);
    return a ? a->flags : 0;
}

long type_commu_db_action(int action)
{
    if (action < 1 || action > 16) {
        wrong_command(__LINE__, action);
        return 0;
    }
    const ActionDef *a = find_action(db_actions, action);
    return a ? a->flags : 0;
}

const char *tdb_row_action(int action)
{
    const ActionDef *a = find_action(row_actions, action);
    return a ? a->name : "";
}

const char *tdb_table_action(int action)
{
    const ActionDef *a = find_action(table_actions, action);
    return a ? a->name : "";
}

const char *tdb_db_action(int action)
{
    const ActionDef *a = find_action(db_actions, action);
    return a ? a->name : "";
}

/* ---- function tables and client_commu --------------------------------------------------- */

namespace {

typedef int (*commu_fn)(STREAM *sp, commu_block *blk);

commu_fn send_functions[COMMU_NR_KINDS];
commu_fn read_functions[COMMU_NR_KINDS];

int send_request(STREAM *sp, commu_block *blk)
{
    return commu_write_request(sp, blk);
}

int read_reply(STREAM *sp, commu_block *blk)
{
    return commu_read_reply(sp, blk);
}

/* Request 10: the reply's packet goes to the SQL engine's handler. */
int read_sql_reply(STREAM *sp, commu_block *blk)
{
    if (commu_read_reply(sp, blk) != 0)
        return -1;
    blk->retval = 0;
    if (tdb_info.sql_packet_handler != nullptr &&
        tdb_info.sql_packet_handler(blk->answer, blk->answer_len) != 0)
        blk->retval = tdb_errno != 0 ? tdb_errno : E_COMMU_ILLEGAL_STATE;
    return 0;
}

/* The name of the request in debug lines (lock_table prints its own). */
const char *debug_name = nullptr;

bool debug_on()
{
    return (TDB_DEBUG & TDB_DEBUG_COMMU) != 0;
}

/* Requests sent, per kind. */
long request_counts[COMMU_NR_KINDS] = {};

} // namespace

long dbc_request_count(int kind)
{
    return kind >= 0 && kind < COMMU_NR_KINDS ? request_counts[kind] : 0;
}

void tdb_init_commu(void)
{
    for (int kind = 0; kind < COMMU_NR_KINDS; kind++) {
        bool used = kind != 16;
        send_functions[kind] = used ? send_request : nullptr;
        read_functions[kind] = used ? read_reply : nullptr;
    }
    read_functions[COMMU_SQL_MESSAGE] = read_sql_reply;
}

int client_commu(tdb_server *server)
{
    const int kind = commu.kind;
    const char *name = debug_name ? debug_name : commu_kind_name(kind);
    debug_name = nullptr;
    if (server == nullptr || server->rd == nullptr || server->wr == nullptr) {
        tdb_errno = E_COMMU_NO_SERVER;
        return -1;
    }
    if (kind < 0 || kind >= COMMU_NR_KINDS || send_functions[kind] == nullptr ||
        read_functions[kind] == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (debug_on())
        fprintf(stderr, "-> %s\n", name);
    ++request_counts[kind];
    if (send_functions[kind](server->wr, &commu) != 0 || sflush(server->wr) != 0) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        if (debug_on())
            fprintf(stderr, "<- %s failed errno %d\n", name, tdb_errno);
        return -1;
    }
    if (read_functions[kind](server->rd, &commu) != 0) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        if (debug_on())
            fprintf(stderr, "<- %s failed errno %d\n", name, tdb_errno);
        return -1;
    }
    if (tdb_info.checkpoint != nullptr) {
        char cname[32];
        char text[64];
        snprintf(cname, sizeof cname, "db.%d", static_cast<int>(getpid()));
        snprintf(text, sizeof text, "DBC request type %2d: retval = %d", kind,
                 static_cast<int>(commu.retval));
        tdb_info.checkpoint(cname, text);
    }
    tdb_errno = static_cast<int>(commu.retval);
    if (commu.retval != 0) {
        if (debug_on())
            fprintf(stderr, "<- %s failed errno %d\n", name, tdb_errno);
        return -1;
    }
    if (debug_on())
        fprintf(stderr, "<- %s\n", name);
    return 0;
}

/* ---- the table dictionary description ---------------------------------------------------- */

namespace {

std::string field_name(const char *full)
{
    const char *dot = std::strchr(full, '.');
    return dot ? std::string(dot + 1) : std::string(full);
}

/* The position of the stored column at an offset in the by-offset list,
 * or -1 (logged, tdb_errno 512). */
int position_of(const std::vector<_dd_column *> &list, int offset)
{
    for (size_t i = 0; i < list.size(); i++)
        if (list[i]->offset == offset)
            return static_cast<int>(i);
    log_mesg(SRC, __LINE__, "DD corrupt", 0, "Cannot find column with offset %d", offset);
    tdb_errno = E_COMMU_DD_CORRUPT;
    return -1;
}

/* Positions of a flat list of stored columns. */
bool positions(const std::vector<_dd_column *> &list, _dd_column *const *cols, int n,
               std::vector<int> *out)
{
    for (int i = 0; i < n; i++) {
        int p = position_of(list, cols[i]->offset);
        if (p < 0)
            return false;
        out->push_back(p);
    }
    return true;
}

} // namespace

int commu_describe_table(const _dd_table *t, int compnr, int refs_disabled, commu_dd_desc *out)
{
    if (t == nullptr || out == nullptr) {
        tdb_errno = E_COMMU_DD_CORRUPT;
        return -1;
    }
    *out = commu_dd_desc{};
    const bool mode3 = (t->mode_bits & DD_NEW) != 0;
    std::memset(out->table, 0, sizeof out->table);
    std::memcpy(out->table, t->code, strnlen(t->code, 8));
    if (mode3)
        out->table[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out->table[0])));
    out->compnr = compnr;

    /* Step 5: the stored columns by offset. */
    std::vector<_dd_column *> list;
    {
        _dd_column **sorted = sort_columns_by_offset(t, nullptr);
        if (sorted == nullptr) {
            tdb_errno = 501;
            return -1;
        }
        for (_dd_column **c = sorted; *c; ++c)
            list.push_back(*c);
        mal_free(sorted);
    }
    for (_dd_column *c : list) {
        commu_dd_column d;
        d.name = field_name(c->name);
        d.length = c->length;
        d.offset = c->offset;
        d.type = c->type;
        d.flags = c->flags;
        d.elements = c->elements;
        d.digits_before = c->domain ? c->domain->digits_before : 0;
        d.digits_after = c->domain ? c->domain->digits_after : 0;
        out->columns.push_back(std::move(d));
    }

    std::vector<_dd_column *> flat(DD_MAX_KEY_PARTS + 1);
    const int max_flat = static_cast<int>(flat.size());

    /* Step 6: combined columns that have members, in dictionary order;
     * the members are their stored columns. */
    for (int i = 0; i < t->nr_columns; i++) {
        _dd_column *c = &t->columns[i];
        if (c->type != TDB_COMBINED || c->parts == nullptr || c->parts[0] == nullptr)
            continue;
        int n = list_column_columns(c, flat.data(), max_flat);
        if (n <= 0)
            continue;
        commu_dd_combined d;
        d.name = field_name(c->name);
        if (!positions(list, flat.data(), n, &d.members))
            return -1;
        out->combined.push_back(std::move(d));
    }

    /* Step 7: the keys, parts flattened to stored columns. */
    for (int i = 0; i < t->nr_keys; i++) {
        const _dd_key *k = &t->keys[i];
        commu_dd_index d;
        d.keynr = k->keynr;
        d.du = k->attr_du;
        d.a = k->attr_a;
        int n = list_index_columns(k, flat.data(), max_flat);
        if (n < 0) {
            tdb_errno = E_COMMU_DD_CORRUPT;
            return -1;
        }
        if (!positions(list, flat.data(), n, &d.parts))
            return -1;
        out->indexes.push_back(std::move(d));
    }

    /* Step 8: the column groups: count, then per group its size and its
     * columns, each column turned into its position. */
    if (t->column_groups != nullptr) {
        const unsigned short *g = t->column_groups;
        int groups = g[0];
        out->index_words.push_back(groups);
        size_t at = 1;
        for (int i = 0; i < groups; i++) {
            int size = g[at++];
            out->index_words.push_back(size);
            for (int j = 0; j < size; j++) {
                int index = g[at++];
                if (index >= t->nr_columns) {
                    log_mesg(SRC, __LINE__, "DD corrupt", 0, "Cannot find column with offset %d",
                             -1);
                    tdb_errno = E_COMMU_DD_CORRUPT;
                    return -1;
                }
                int p = position_of(list, t->columns[index].offset);
                if (p < 0)
                    return -1;
                out->index_words.push_back(p);
            }
        }
    }

    /* Steps 9 and 10: references, none when they are disabled. */
    if (!refs_disabled) {
        for (int i = 0; i < t->nr_refs; i++) {
            const _dd_ref &r = t->refs[i];
            commu_dd_ref d;
            d.name = r.to_name;
            if (mode3 && !d.name.empty())
                d.name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(d.name[0])));
            d.mode = r.mode;
            if ((r.mode & 3) == 1)
                out->ref_flags |= 1;
            out->refs.push_back(std::move(d));
        }
        for (int i = 0; i < t->nr_ref_by; i++) {
            const _dd_ref_by &r = t->ref_by[i];
            commu_dd_ref_by d;
            d.table.assign(r.name, strnlen(r.name, 8));
            d.column = field_name(r.name);
            d.mode = r.mode;
            if ((r.mode & 3) == 1)
                out->ref_flags |= 2;
            out->refs_by.push_back(std::move(d));
        }
    }
    return 0;
}

/* ---- requests on servers and sessions ---------------------------------------------------- */

namespace {

bool activated(const tdb_server *server)
{
    return server != nullptr && server->rd != nullptr && server->wr != nullptr;
}

void close_channel(tdb_server *server)
{
    if (server->rd)
        sclose(server->rd);
    if (server->wr && server->wr != server->rd)
        sclose(server->wr);
    server->rd = nullptr;
    server->wr = nullptr;
}

/* A fresh request block of a kind. */
void new_request(int kind)
{
    commu = commu_block{};
    commu.kind = kind;
}

/* Attaches a server that is not activated, with all its sessions. */
int activate_server(tdb_server *server)
{
    if (activated(server))
        return 0;
    if (tdb_attach_server(server) != 0) {
        tdb_errno = E_COMMU_NO_SERVER;
        return -1;
    }
    for (tdb_session *s = server->sessions; s; s = s->next_in_server) {
        if (tdb_attach_session(s) != 0) {
            tdb_errno = E_COMMU_NO_SERVER;
            return -1;
        }
    }
    return 0;
}

/* Sends the request in the block on a session, answering 513 with the
 * missing dictionaries and sending the request again, unchanged except
 * that buffered updates are not sent twice. A driver that keeps asking
 * is given up after this many rounds, with 513. */
constexpr int max_repairs = 64;

int commu_with_repair(tdb_session *session)
{
    commu_block saved = commu;
    saved.updates.clear();
    const char *name = debug_name;
    for (int round = 0;; round++) {
        debug_name = name;
        if (client_commu(session->server) == 0)
            return 0;
        if (tdb_errno != E_COMMU_DD_MISSING)
            return -1;
        std::vector<commu_missing_dd> missing = commu.missing;
        if (missing.empty() || round >= max_repairs) {
            tdb_errno = E_COMMU_DD_MISSING;
            return -1;
        }
        if (tdb_send_dd_to_server(session, static_cast<int>(missing.size()), missing.data(),
                                  -1) != 0)
            return -1;
        commu = saved;
    }
}

} // namespace

namespace {

/* A broken channel of a server: its death handler decides (server_death
 * logs and ends the process). */
void channel_broken(STREAM * /*read_stream*/, void *arg)
{
    auto *server = static_cast<tdb_server *>(arg);
    if (server != nullptr && server->death_handler != nullptr)
        server->death_handler();
}

} // namespace

int dbc_start_driver(tdb_server *server, STREAM **rd, STREAM **wr)
{
    STREAM *channel[2] = {nullptr, nullptr};
    const char *manual = std::getenv("DB_MANUAL");
    const int rc = manual != nullptr && manual[0] != '\0'
                       ? ipc_attach_manual(server->driver_name.c_str(), channel)
                       : attach_process(server->driver_name.c_str(), channel, IPC_CLIENT, 0,
                                        nullptr);
    if (rc != 0)
        return -1;
    IpcSetOnTermination(channel[0], channel_broken, server);
    IpcSetOnTermination(channel[1], channel_broken, server);
    *rd = channel[0];
    *wr = channel[1];
    return 0;
}

int tdb_attach_server(tdb_server *server)
{
    if (server == nullptr) {
        tdb_errno = E_COMMU_NO_SERVER;
        return -1;
    }
    /* 1. The channel. */
    if (!activated(server)) {
        STREAM *rd = nullptr;
        STREAM *wr = nullptr;
        tdb_driver_starter start =
            tdb_info.start_driver != nullptr ? tdb_info.start_driver : dbc_start_driver;
        if (start(server, &rd, &wr) != 0 ||
            rd == nullptr || wr == nullptr) {
            if (debug_on())
                fprintf(stderr, "Client %s failed to connect %d\n", server->driver_name.c_str(),
                        E_COMMU_NO_SERVER);
            tdb_errno = E_COMMU_NO_SERVER;
            return -1;
        }
        server->rd = rd;
        server->wr = wr;
    }
    /* 2. Initialise the driver. */
    static const unsigned char init_msg[4] = {0x00, 0x00, 0x04, 0x00};
    if (tdb_do_exec_server(server, 5, init_msg, 4) != 0) {
        int code = tdb_errno;
        tdb_detach_server(server);
        tdb_errno = code;
        return -1;
    }
    {
        std::string msg;
        msg.push_back(static_cast<char>(server->driver_name.size() & 0xff));
        msg += server->driver_name;
        msg += server->driver_args;
        tdb_do_exec_server(server, 6, reinterpret_cast<const unsigned char *>(msg.data()),
                           static_cast<long>(msg.size()));
    }
    /* 3. The attach request. */
    new_request(COMMU_ATT_SERVER);
    commu.server_id = server->server_id;
    commu.client_name = tdb_info.client;
    commu.dt_version = get_DT_version();
    commu.compnr_env = compnrGetEnv();
    commu.no_refs = tdb_info.references_disabled != 0;
    {
        std::string args = server->driver_args;
        commu.server_desc = std::string(qpdDDGetEnv()) + " " + server->driver_name + " " + args;
    }
    if (client_commu(server) != 0 && tdb_errno != E_COMMU_COMPNR) {
        int code = tdb_errno;
        if (debug_on())
            fprintf(stderr, "<- ATT_SERVER failed error %d => do detach\n", code);
        tdb_detach_server(server);
        tdb_errno = code;
        return -1;
    }
    /* 4. What the driver tells. */
    server->max_sessions = commu.max_sessions;
    server->driver_pid = commu.driver_pid;
    server->level_flags = commu.level_flags;
    server->idle_limit = static_cast<unsigned char>(commu.idle_limit);
    server->sql_protocol = commu.reply_sql_protocol;
    const int attach_code = tdb_errno;
    /* 5. The SQL protocol. */
    if (server->sql_protocol != COMMU_SQL_PROTOCOL) {
        tdb_detach_server(server);
        tdb_errno = E_COMMU_VERSION;
        return -1;
    }
    /* 6. The character-set mode must be the client's. */
    int driver_mode = (server->level_flags & COMMU_LEVEL_UNICODE) ? TSS_MODE_UNICODE
                                                                   : TSS_MODE_CLASSIC;
    if (driver_mode != TssGetMode()) {
        log_mesg(SRC, __LINE__, "TssMode configuration", 0,
                 "Incompatible TssMode for server %s\n", server->driver_name.c_str());
        tdb_detach_server(server);
        tdb_errno = E_COMMU_CONFIG;
        return -1;
    }
    tdb_errno = attach_code;
    /* 7. Permissions and audit columns; each reply sets tdb_errno. */
    tdb_send_permission(server);
    if (tdb_info.auditcols_in_use)
        tdb_send_auditcols(server);
    /* 8. The company map when the last reply asked for it. */
    if (tdb_errno == E_COMMU_COMPNR)
        return tdb_send_compnr_info(server);
    tdb_errno = 0;
    return 0;
}

int tdb_detach_server(tdb_server *server)
{
    if (!activated(server))
        return 0;
    new_request(COMMU_DET_SERVER);
    int rc = client_commu(server);
    close_channel(server);
    return rc;
}

int tdb_attach_session(tdb_session *session)
{
    if (session == nullptr || session->server == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    new_request(COMMU_ATT_SESSION);
    commu.trans_name = session->trans ? session->trans->name : "";
    if (client_commu(session->server) != 0 && tdb_errno != E_COMMU_COMPNR)
        return -1;
    session->driver_session = commu.session;
    if (tdb_errno == E_COMMU_COMPNR)
        return tdb_send_compnr_info(session->server);
    return 0;
}

int tdb_detach_session(tdb_session *session)
{
    if (session == nullptr || !activated(session->server))
        return 0;
    new_request(COMMU_DET_SESSION);
    commu.session = session->driver_session;
    commu.det_flag = 2;
    return client_commu(session->server);
}

int tdb_send_compnr_info(tdb_server *server)
{
    new_request(COMMU_SEND_COMPNR);
    return client_commu(server);
}

int tdb_send_permission(tdb_server *server)
{
    new_request(COMMU_PERMISSION);
    commu.roles = tdb_info.roles;
    return client_commu(server);
}

int tdb_send_auditcols(tdb_server *server)
{
    new_request(COMMU_AUDITCOLS);
    commu.auditcols_id = tdb_info.auditcols_id;
    commu.auditcols = tdb_info.auditcols;
    return client_commu(server);
}

int dbc_send_roles(STREAM *sp)
{
    return commu_write_roles(sp, tdb_info.roles);
}

int tdb_do_exec_server(tdb_server *server, long code, const unsigned char *msg, long length)
{
    if (server == nullptr || length < 0 || length > 0xffff) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (activate_server(server) != 0)
        return -1;
    new_request(COMMU_EXE_SYSTEM);
    commu.code = code;
    commu.msg = msg;
    commu.msg_len = length;
    return client_commu(server);
}

int tdb_do_exec_session(tdb_session *session, long code, const unsigned char *msg, long length)
{
    if (session == nullptr || session->server == nullptr || length < 0 || length > 0xffff) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (!activated(session->server)) {
        /* A new transaction name needs no driver yet. */
        if (code == 2) {
            tdb_errno = 0;
            return 0;
        }
        if (activate_server(session->server) != 0)
            return -1;
    }
    new_request(COMMU_EXE_SESSION);
    commu.session = session->driver_session;
    commu.code = code;
    commu.msg = msg;
    commu.msg_len = length;
    return client_commu(session->server);
}

int tdb_send_dd_to_server(tdb_session *session, int count, const commu_missing_dd *entries,
                          int compnr)
{
    if (session == nullptr || session->server == nullptr || count < 0 ||
        (count > 0 && entries == nullptr)) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    const int saved_mode = get_dd_mode();
    for (int i = 0; i < count; i++) {
        char name[9];
        std::memset(name, 0, sizeof name);
        std::memcpy(name, entries[i].table, strnlen(entries[i].table, 8));
        /* An upper-case first letter names the new dictionary's table. */
        const bool mode3 = std::isupper(static_cast<unsigned char>(name[0])) != 0;
        name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
        if (session->server->driver != nullptr && !table_in_driver(name, session->server->driver))
            continue;
        init_dd_mode(mode3 ? 3 : 1);
        const _dd_table *t = ddtable(name);
        commu_dd_desc desc;
        int rc = t ? commu_describe_table(t, compnr == -1 ? entries[i].compnr : compnr,
                                          tdb_info.references_disabled, &desc)
                   : -1;
        if (saved_mode == 1 || saved_mode == 3)
            init_dd_mode(saved_mode);
        if (t == nullptr) {
            log_mesg(SRC, __LINE__, "NO DD", 0, "Tname '%s' not found\n", entries[i].table);
            tdb_errno = E_COMMU_DD_MISSING;
            return -1;
        }
        if (rc != 0)
            return -1;
        new_request(COMMU_DD_INFO_TABLE);
        commu.session = session->driver_session;
        commu.dd = std::move(desc);
        if (client_commu(session->server) != 0) {
            log_mesg(SRC, __LINE__, "Sending DD", 0, "Sending DD '%s' failed\n", entries[i].table);
            return -1;
        }
    }
    return 0;
}

int tdb_exec_map_dd(tdb_session *session, const char *table, int compnr)
{
    if (table == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    commu_missing_dd entry{};
    std::memcpy(entry.table, table, strnlen(table, 8));
    entry.compnr = compnr;
    return tdb_send_dd_to_server(session, 1, &entry, compnr);
}

int tdb_session_exec_table(tdb_session *session, const char *table, int compnr, long action,
                           long arg, long upd_seq, long *result)
{
    if (session == nullptr || session->server == nullptr || table == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (activate_server(session->server) != 0)
        return -1;
    new_request(COMMU_EXE_TABLE);
    commu.session = session->driver_session;
    commu.table = table;
    commu.compnr = compnr;
    commu.action = action;
    commu.arg = arg;
    commu.upd_seq = upd_seq;
    int rc = commu_with_repair(session);
    if (result != nullptr && rc == 0)
        *result = commu.result;
    return rc;
}

int dbcSessionLockTable(tdb_session *session, const char *table, int compnr, int lock_type)
{
    long action = TDB_LOCK_TABLE | (lock_type != 0 ? 0x4000 : 0x6000);
    debug_name = "LOCK_TABLE";
    int rc = tdb_session_exec_table(session, table, compnr, action, lock_type, 1, nullptr);
    debug_name = nullptr;
    return rc;
}

long dbcSessionAlterTable(tdb_session *session, const char *table, int compnr, int flag)
{
    if (session == nullptr || session->server == nullptr || table == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    /* The new definition's default row. */
    const int saved_mode = get_dd_mode();
    init_dd_mode(3);
    const _dd_table *t = ddtable(table);
    if (saved_mode == 1 || saved_mode == 3)
        init_dd_mode(saved_mode);
    if (t == nullptr) {
        log_mesg(SRC, __LINE__, "NO DD", 0, "Tname '%s' not found\n", table);
        tdb_errno = E_COMMU_DD_MISSING;
        return -1;
    }
    if (activate_server(session->server) != 0)
        return -1;
    new_request(COMMU_ALTER_TABLE);
    commu.table = table;
    commu.compnr = compnr;
    commu.action = flag;
    commu.session = session->driver_session;
    commu.msg = t->default_row;
    commu.msg_len = t->default_row ? t->row_length : 0;
    if (commu_with_repair(session) != 0)
        return -1;
    return commu.result;
}

int tdb_session_read_eq(tdb_session *session, const char *table, int compnr, long action,
                        const unsigned char *key, long key_len, unsigned char *row, long row_size)
{
    if (session == nullptr || session->server == nullptr || table == nullptr || key_len < 0 ||
        key_len > 0xffff) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (activate_server(session->server) != 0)
        return -1;
    new_request(COMMU_EXE_ROW);
    commu.session = session->driver_session;
    commu.table = table;
    commu.compnr = compnr;
    commu.action = action;
    commu.msg = key;
    commu.msg_len = key_len;
    commu.row_out = row;
    commu.row_size = row_size;
    return commu_with_repair(session);
}

int tdb_session_exec_db(tdb_session *session, long action)
{
    if (session == nullptr || session->server == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (activate_server(session->server) != 0)
        return -1;
    tdb_trans *trans = session->trans;
    new_request(COMMU_EXE_DB);
    commu.session = session->driver_session;
    commu.action = action;
    if (trans != nullptr && !trans->audit_entries.empty())
        for (int i = 0; i < 3; i++)
            commu.audit_trans[i] = trans->audit_trans[i];
    int rc = client_commu(session->server);
    /* A commit reply with an audit number gives the transaction's audit
     * transaction number and entries. */
    const long number = action & 0xff;
    if (rc == 0 && trans != nullptr &&
        (number == TDB_COMMIT_TRANS || number == TDB_AUDIT_COMMIT) && commu.audit_a != -1) {
        trans->audit_trans[0] = commu.audit_a;
        trans->audit_trans[1] = commu.audit_b;
        trans->audit_trans[2] = commu.audit_c;
        trans->audit_entries = commu.audit_entries;
    }
    return rc;
}

int send_upd_buffer(tdb_session *session, std::vector<commu_update_table> *tables)
{
    if (session == nullptr || session->server == nullptr || tables == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (activate_server(session->server) != 0)
        return -1;
    new_request(COMMU_EXE_UPDATE);
    commu.session = session->driver_session;
    commu.updates = std::move(*tables);
    tables->clear();
    int rc = commu_with_repair(session);
    if (rc != 0 && tdb_errno == E_COMMU_BUFFERED && session->trans != nullptr) {
        tdb_detail_error &d = session->trans->detail;
        d.code = commu.detail_code;
        std::memcpy(d.table, commu.detail_table, 8);
        d.number = static_cast<unsigned short>(commu.detail_number);
        d.text = commu.detail_text;
    }
    return rc;
}

int tdb_sql_commu_packets(tdb_server *server, const unsigned char *bytes, long length)
{
    if (server == nullptr || length < 0 || (length > 0 && bytes == nullptr)) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (activate_server(server) != 0)
        return -1;
    new_request(COMMU_SQL_MESSAGE);
    commu.msg = bytes;
    commu.msg_len = length;
    return client_commu(server);
}

int tdb_sql2_commu(tdb_session *session, long code, const commu_sql2_io *io, long *result)
{
    if (session == nullptr || session->server == nullptr || io == nullptr) {
        tdb_errno = E_COMMU_ILLEGAL_STATE;
        return -1;
    }
    if (activate_server(session->server) != 0)
        return -1;
    new_request(COMMU_SQL2_MESSAGE);
    commu.code = code;
    commu.session = session->driver_session;
    commu.sql2 = *io;
    int rc = client_commu(session->server);
    if (result != nullptr && rc == 0)
        *result = commu.result;
    return rc;
}
