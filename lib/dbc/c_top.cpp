/*
 * c_top.cpp: the API lifecycle (init, logon, logoff), transactions and
 * their records, the client resources and the error state: tdb_errno, the
 * error table tdberrors with tdberrorstr, the message buffer and the
 * detail errors of transactions.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "al_env.h"
#include "al_log.h"
#include "al_res.h"
#include "al_user.h"
#include "c_client.h"
#include "c_open.h"
#include "c_commu.h"
#include "c_standin.h"
#include "c_state.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_dd_chk.h"
#include "tss.h"

static const char SRC[] = "lib/dbc/c_top.cpp";

int tdb_errno = 0;

int tdb_get_tdb_errno(void)
{
    return tdb_errno;
}

void tdb_error(int code)
{
    tdb_errno = code;
}

/* The codes and texts, in their historical order; the range markers
 * (E_TDB_REFERENCE_START ... E_TDB_FATAL_END) are entries of their own and
 * come before the first real entry of their code. */
const struct tdb_error_entry tdberrors[] = {
    {100, "Duplicate value"},
    {101, "Table is not open"},
    {102, "Illegal argument"},
    {103, "Illegal key description"},
    {106, "Table is not exclusively locked"},
    {107, "Record is locked"},
    {108, "Key already exists"},
    {110, "End of file reached"},
    {111, "No record found"},
    {112, "No current record"},
    {113, "Table is locked"},
    {201, "Record changed after delayed lock"},
    {202, "Database is locked"},
    {203, "Action not allowed within transaction"},
    {204, "Transaction is read only"},
    {205, "Out of range"},
    {206, "Record is not locked"},
    {207, "Error of audit trailer"},
    {208, "Permission denied"},
    {209, "Error on mirroring databases"},
    {210, "Record is locked in mirrored database"},
    {213, "Transaction is started but not updated"},
    {214, "Unallowed operation for mapping company numbers"},
    {215, "Illegal state"},
    {251, "The audit server setup is not correct"},
    {252, "An audit file is corrupt"},
    {253, "Audit file is locked by another user"},
    {254, "Commit transaction has failed in the audit server"},
    {301, "Query not correct"},
    {302, "SQL syntax not correct"},
    {303, "Reference in query not found"},
    {304, "General SQL error"},
    {305, "Wrong row returned"},
    {401, "A configuration file is corrupt"},
    {402, "Configuration error detected"},
    {306, "SQL: Division by zero"},
    {307, "SQL: String truncation"},
    {308, "SQL: Index outside dimensions of array"},
    {309, "SQL: Substring error"},
    {317, "SQL: Trim error"},
    {310, "SQL: Cardinality violation"},
    {311, "SQL: File IO error"},
    {312, "SQL: Invalid parameter type"},
    {313, "Query time out error"},
    {315, "String data, length mismatch"},
    {316, "Bound RAW value of zero length"},
    {319, "SQL: Invalid escape character"},
    {325, "SQL: Invalid escape sequence"},
    {501, "Memory error"},
    {502, "Already logged on"},
    {503, "Illegal address"},
    {504, "Undefined column"},
    {505, "No server specified in tabledef or server cannot be started"},
    {506, "Table does not exist"},
    {507, "Table already exists"},
    {508, "Not logged on to a database"},
    {509, "Bad memory cursor; bad table pointer specified"},
    {510, "Database not on"},
    {511, "Version of client versus server not correct"},
    {512, "Corrupted data dictionary"},
    {217, "Role file corrupt"},
    {513, "Data dictionary not found"},
    {514, "Security error; probably no permission"},
    {525, "No resource available"},
    {516, "Error during making/filling rollback segments; probably disk full"},
    {517, "General error for delayed locking"},
    {518, "Invalid session code specified"},
    {519, "No company number specified or illegal company number"},
    {520, "Error during buffered updates"},
    {521, "Shared memory not loaded"},
    {522, "Database driver lost connection to the database"},
    {523, "Database full, please contact your system administrator"},
    {540, "Database logon denied, please contact your system administrator"},
    {600, "E_TDB_REFERENCE_START"},
    {600, "General reference error"},
    {601, "Reference table is locked"},
    {602, "Reference is not defined"},
    {604, "Cannot update reference"},
    {605, "Cannot delete record, because reference exists"},
    {606, "Reference does not exist"},
    {607, "Reference table not found"},
    {608, "No reference counter present"},
    {609, "Error when updating reference counter"},
    {649, "E_TDB_REFERENCE_END"},
    {700, "Error when setting locale"},
    {850, "E_TDB_FATAL_START"},
    {850, "Current transaction is aborted"},
    {899, "E_TDB_FATAL_END"},
    {0, nullptr},
};

const char *tdberrorstr(int code)
{
    static char text[40];
    if (code == 0)
        return "";
    if (code > 1000) {
        /* A native database error passed on by a driver. */
        std::snprintf(text, sizeof text, "database error %d", code - 1000);
        return text;
    }
    for (const tdb_error_entry *entry = tdberrors; entry->code != 0; ++entry)
        if (entry->code == code)
            return entry->text;
    std::snprintf(text, sizeof text, "tdb_errno %d", tdb_errno);
    return text;
}

/* ---- the message buffer ------------------------------------------------------------------- */

namespace {
std::string &msg_buffer()
{
    static std::string text;
    return text;
}
} // namespace

void set_tdb_msg(int log, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) {
        va_end(ap);
        return;
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), fmt, ap);
    va_end(ap);
    text.resize(static_cast<size_t>(n));
    try {
        msg_buffer() += text;
    } catch (const std::bad_alloc &) {
        /* The buffer cannot grow: the text is dropped. */
    }
    if (log != 0)
        log_mesg(SRC, __LINE__, "domain_check", 0, "%s", text.c_str());
}

const char *get_tdb_msg(void)
{
    return msg_buffer().c_str();
}

void reset_tdb_msg(void)
{
    msg_buffer().clear();
}

/* ---- client resources --------------------------------------------------------------------- */

#define CR(field) static_cast<void *>(&tdb_res.field)

struct resource client_resources[] = {
    {"ssts_set_rows", CR(ssts_set_rows), RES_INT | RES_ENV, 0, "-1", nullptr, nullptr, nullptr},
    {"tdb_max_server_schedule", CR(tdb_max_server_schedule), RES_INT | RES_ENV, 0, "-1", nullptr,
     nullptr, nullptr},
    {"rds_full", CR(rds_full), RES_INT | RES_ENV, 0, "5", nullptr, nullptr, nullptr},
    {"tt_sql_trace", CR(tt_sql_trace), RES_INT | RES_OCT | RES_ENV, 0, "0", nullptr, nullptr,
     nullptr},
    {"use_shm_info", CR(use_shm_info), RES_INT | RES_ENV, 0, "1", nullptr, nullptr, nullptr},
    {"tdb_debug", CR(tdb_debug), RES_INT | RES_OCT | RES_ENV, 0, "0", nullptr, nullptr, nullptr},
    {"tdb_driver", CR(tdb_driver), RES_STRING | RES_ENV, 0, "", nullptr, nullptr, nullptr},
    {"dbcinit", CR(dbcinit), RES_INT | RES_OCT | RES_ENV, 0, "-1", nullptr, nullptr, nullptr},
    {"audit_per_compnr", CR(audit_per_compnr), RES_INT | RES_ENV, 0, "0", nullptr, nullptr,
     nullptr},
    {"trel_sql_trace", CR(trel_sql_trace), RES_INT | RES_OCT | RES_ENV, 0, "0", nullptr, nullptr,
     nullptr},
    {"trel_sql_stmt_cache_size", CR(trel_sql_stmt_cache_size), RES_INT | RES_ENV, 0, "-1",
     nullptr, nullptr, nullptr},
    {"trel_sql_cacherows", CR(trel_sql_cacherows), RES_INT | RES_ENV, 0, "-1", nullptr, nullptr,
     nullptr},
    {"trel_sql_soft_close_delay", CR(trel_sql_soft_close_delay), RES_INT | RES_ENV, 0, "-1",
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

#undef CR

int dbc_set_resource_mutfun(const char *name, int (*hook)(void))
{
    for (struct resource *res = client_resources; res->name != nullptr; ++res) {
        if (std::strcmp(res->name, name) == 0) {
            res->hook = hook;
            res->flags |= RES_RUNTIME;
            return 0;
        }
    }
    return -1;
}

int change_tdb_debug(void)
{
    TDB_DEBUG = tdb_res.tdb_debug;
    char value[32];
    std::snprintf(value, sizeof value, "%#o", static_cast<unsigned int>(TDB_DEBUG));
    setenv("TDB_DEBUG", value, 1);
    std::fprintf(stderr, "---- TDB_DEBUG set to %#o\n", static_cast<unsigned int>(TDB_DEBUG));
    return 0;
}

/* ---- start-up, logon, logoff ------------------------------------------------------------- */

int tdb_init_api(const char *progname, int progname_mode, int attach_shm, int locale_mode)
{
    TssRegisterLogHooks();
    log_set_progname(progname, progname_mode);
    /* Framed log blocks show the API's last error. */
    log_set_tdb_errno_source(tdb_get_tdb_errno, nullptr);
    int status = init_user();
    if (status != 0)
        return status;
    tlat_initiate();
    if (attach_shm != 0) {
        status = link_shm();
        if (status != 0)
            return status;
    }
    /* The dictionary: its errors become tdb_errno. */
    qpd_set_error_hook(tdb_error);
    /* Domains read from now on carry a compiled range expression. */
    tdb_dd_chk_init();
    init_local_dd();
    TSSsetlocale(user_info.locale[0] != '\0' ? user_info.locale : "ISO-8859-1", locale_mode);
    init_dd_mode(4);
    if (attach_shm == 0)
        link_shm_nolog();
    return 0;
}

namespace {

/* Loads the client resources: the installation's file, then the user's
 * (USR_DBC_RES), then registers the table with the process. */
void load_client_resources()
{
    dbc_set_resource_mutfun("tdb_debug", change_tdb_debug);
    dbc_set_resource_mutfun("trel_sql_trace", SQLLoggerInitLogFlags);
    al_load_specified_res("lib/defaults/db_resource", client_resources);
    const char *user_file = std::getenv("USR_DBC_RES");
    if (user_file != nullptr && user_file[0] != '\0')
        al_load_specified_res(user_file, client_resources);
    al_add_resources(client_resources);
}

} // namespace

int tdb_logon(const char *client)
{
    /* 1. Once per process. */
    if (tdb_info.logged_on) {
        tdb_errno = 502;
        return -1;
    }
    /* 2. The client name; no transaction in use. */
    std::snprintf(tdb_info.client, sizeof tdb_info.client, "%s", client ? client : "");
    tdb_info.trans_in_use.reset();
    /* 3. The development tools version. */
    if (determine_DT_version() != 0) {
        log_mesg(SRC, __LINE__, "tdb_logon", 0, "Could not determine development tools version");
        return -1;
    }
    /* 4. The request and reply tables. */
    tdb_init_commu();
    /* 5. The client resources. */
    load_client_resources();
    /* 6. The audit columns. */
    if (audit_read_auditcols() != 0) {
        tdb_errno = 251;
        return -1;
    }
    /* 7. A server list for every table. */
    if (tdb_res.tdb_driver != nullptr && tdb_res.tdb_driver[0] != '\0')
        specify_server(tdb_res.tdb_driver);
    /* 8. The debug switches. */
    if (tdb_res.tdb_debug > 0)
        TDB_DEBUG = tdb_res.tdb_debug;
    /* 9. Idle limit of servers. */
    tdb_info.server_idle_limit = tdb_res.tdb_max_server_schedule >= 0
                                     ? static_cast<unsigned char>(tdb_res.tdb_max_server_schedule & 0xff)
                                     : 3;
    if (tdb_res.dbcinit < 0)
        tdb_res.dbcinit = 0;
    /* 10. The roles. */
    if (tdb_load_roles() != 0)
        return -1;
    /* 11. Debug and log flags of the query layers. */
    qp_init_debug_flags();
    SQLLoggerInitLogFlags();
    if (TssGetMode() == TSS_MODE_UNICODE)
        tdb_init_unicode_wrappers();
    /* 12. Logged on. */
    tdb_info.logged_on = 1;
    tdb_info.profile_callback = nullptr;
    return 0;
}

namespace {

void free_sessions_of(tdb_server *server)
{
    while (tdb_session *session = server->sessions) {
        server->sessions = session->next_in_server;
        tdb_free_session_tables(session);
        std::unique_ptr<tdb_session> drop(session);
    }
}

} // namespace

void tdb_api_reset(void)
{
    /* The cursors first: a cursor chain spans sessions of several servers. */
    for (tdb_server *server = tdb_info.servers; server; server = server->next)
        for (tdb_session *s = server->sessions; s; s = s->next_in_server)
            tdb_free_session_tables(s);
    while (tdb_server *server = tdb_info.servers) {
        tdb_info.servers = server->next;
        free_sessions_of(server);
        tdb_free_server(server);
    }
    while (tdb_trans *trans = tdb_info.transactions) {
        tdb_info.transactions = trans->next;
        while (tdb_handle *handle = trans->handles) {
            trans->handles = handle->next;
            std::unique_ptr<tdb_handle> drop(handle);
        }
        tdb_free_trans(trans);
    }
    while (tdb_duplicate *dup = tdb_info.duplicates) {
        tdb_info.duplicates = dup->next;
        rds_close(dup->updates);
        rds_close(dup->refcnts);
        std::unique_ptr<tdb_duplicate> drop(dup);
    }
    tdb_free_table_keys();
    /* The hooks of other layers stay installed. */
    tdb_info_rec fresh;
    fresh.start_driver = tdb_info.start_driver;
    fresh.sql_packet_handler = tdb_info.sql_packet_handler;
    fresh.checkpoint = tdb_info.checkpoint;
    tdb_info = std::move(fresh);
    tdb_res = tdb_client_res{};
    for (struct resource *res = client_resources; res->name != nullptr; ++res)
        res->flags &= ~static_cast<unsigned int>(RES_CHANGED | RES_EXPORTED);
    TDB_DEBUG = 0;
    reset_tdb_msg();
}

int tdb_start(void)
{
    if (!tdb_info.logged_on) {
        tdb_errno = E_TDB_NOT_LOGGED_ON;
        return -1;
    }
    tdb_errno = 0;
    return 0;
}

int tdb_logoff(void)
{
    if (!tdb_info.logged_on) {
        tdb_errno = E_TDB_NOT_LOGGED_ON;
        return -1;
    }
    while (tdb_trans *trans = tdb_info.transactions) {
        if (tdb_stop_trans(trans) != 0)
            return -1;
        tdb_info.transactions = trans->next;
        tdb_free_trans(trans);
    }
    while (tdb_server *server = tdb_info.servers) {
        if (tdb_stop_server(server) != 0)
            return -1;
        tdb_info.servers = server->next;
        tdb_free_server(server);
    }
    return 0;
}

void tdb_disable_references(void)
{
    tdb_info.references_disabled = 1;
}

void tdb_set_profile_callback(void (*callback)(void))
{
    tdb_info.profile_callback = callback;
}

/* ---- transactions ------------------------------------------------------------------------- */

namespace {

bool id_in_use(unsigned int id)
{
    return id >= 1 && id <= TDB_MAX_TRANS && tdb_info.trans_in_use.test(id);
}

tdb_trans *find_record(unsigned int id)
{
    for (tdb_trans *t = tdb_info.transactions; t; t = t->next)
        if (t->id == static_cast<int>(id))
            return t;
    return nullptr;
}

/* A new record with that id at the head of the list; null (501) when
 * memory runs out. */
tdb_trans *new_record(unsigned int id)
{
    tdb_trans *trans = nullptr;
    try {
        trans = std::make_unique<tdb_trans>().release();
    } catch (const std::bad_alloc &) {
        tdb_errno = 501;
        return nullptr;
    }
    trans->id = static_cast<int>(id);
    trans->next = tdb_info.transactions;
    tdb_info.transactions = trans;
    return trans;
}

void invalid_id(unsigned int id)
{
    log_mesg(SRC, __LINE__, "Invalid transaction", 0, "Invalid transaction id %d specified.",
             static_cast<int>(id));
    tdb_errno = E_TDB_INVALID_SESSION;
}

} // namespace

unsigned int tdb_start_session(const char *name)
{
    if (name == nullptr)
        name = "";
    tdb_trans *trans = nullptr;
    /* 1. A stopped transaction of the same name. */
    for (tdb_trans *t = tdb_info.transactions; t; t = t->next) {
        if (std::strncmp(t->name, name, sizeof t->name - 1) == 0 &&
            !id_in_use(static_cast<unsigned int>(t->id))) {
            trans = t;
            tdb_info.trans_in_use.set(static_cast<size_t>(t->id));
            if (TDB_DEBUG & TDB_DEBUG_COMMU)
                std::fprintf(stderr, "START_SESSION trans_id %d  matching reuse for %s\n", t->id,
                             name);
            break;
        }
    }
    /* 2. Else the lowest free id. */
    if (trans == nullptr) {
        unsigned int id = 1;
        while (id <= TDB_MAX_TRANS && tdb_info.trans_in_use.test(id))
            ++id;
        if (id > TDB_MAX_TRANS) {
            tdb_errno = 525;
            set_tdb_msg(1, "Maximum number of TDB sessions (%d) reached", TDB_MAX_TRANS);
            return 0;
        }
        trans = find_record(id);
        if (trans == nullptr && (trans = new_record(id)) == nullptr)
            return 0;
        tdb_info.trans_in_use.set(id);
    }
    const unsigned int id = static_cast<unsigned int>(trans->id);
    /* 3. Its sessions start afresh. */
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans)
        s->idle = 0;
    /* 4. Tracing. */
    if (tlat_get_state(1) != 0) {
        if (trans->name[0] != '\0')
            tlat_sess_rename(name, id);
        else
            tlat_sess_start(name, id);
    }
    /* 5./6. The name; the drivers learn a new one. */
    if (std::strncmp(trans->name, name, sizeof trans->name - 1) != 0) {
        std::snprintf(trans->name, sizeof trans->name, "%s", name);
        for (tdb_session *s = trans->sessions; s; s = s->next_in_trans)
            tdb_do_exec_session(s, 2, reinterpret_cast<const unsigned char *>(trans->name),
                                static_cast<long>(std::strlen(trans->name)));
    }
    trans->active = 1;
    trans->query_timeout = 0;
    return id;
}

int tdb_stop_session(unsigned int trans_id)
{
    if (!id_in_use(trans_id)) {
        invalid_id(trans_id);
        return -1;
    }
    if (tdb_trans *trans = find_record(trans_id))
        dlock_on_transaction_end(trans, 0);
    tdb_info.trans_in_use.reset(trans_id);
    SQLOnCloseSession(trans_id);
    if (tlat_get_state(1) != 0)
        tlat_sess_stop(trans_id);
    return 0;
}

int tdb_get_trans(unsigned int trans_id, tdb_trans **out)
{
    if (!id_in_use(trans_id))
        return 1;
    tdb_trans *trans = find_record(trans_id);
    if (trans == nullptr)
        return 2;
    if (out != nullptr)
        *out = trans;
    return 0;
}

tdb_trans *tdb_get_trans_by_id(unsigned int trans_id)
{
    if (!id_in_use(trans_id)) {
        invalid_id(trans_id);
        return nullptr;
    }
    tdb_trans *trans = find_record(trans_id);
    return trans != nullptr ? trans : new_record(trans_id);
}

int tdb_set_default_query_timeout(unsigned int trans_id, int timeout)
{
    tdb_trans *trans = tdb_get_trans_by_id(trans_id);
    if (trans == nullptr)
        return -1;
    trans->query_timeout = timeout;
    return 0;
}

int tdb_get_default_query_timeout(unsigned int trans_id, int *timeout)
{
    tdb_trans *trans = tdb_get_trans_by_id(trans_id);
    if (trans == nullptr)
        return -1;
    if (timeout != nullptr)
        *timeout = trans->query_timeout;
    return 0;
}

long tdb_get_trans_start_time(unsigned int trans_id)
{
    tdb_trans *trans = nullptr;
    if (tdb_get_trans(trans_id, &trans) != 0)
        return -1;
    if (trans->start_time == 0)
        trans->start_time = static_cast<int>(std::time(nullptr));
    return trans->start_time;
}

int tdb_get_detail_error_by_trans(char *table, int *number, const char **text,
                                  const tdb_trans *trans)
{
    const int code = trans != nullptr ? trans->detail.code : 0;
    if (code == 0) {
        if (table != nullptr)
            table[0] = '\0';
        if (number != nullptr)
            *number = 65535;
        if (text != nullptr)
            *text = nullptr;
        return 0;
    }
    if (table != nullptr) {
        std::memcpy(table, trans->detail.table, sizeof trans->detail.table);
        table[sizeof trans->detail.table] = '\0';
    }
    if (number != nullptr)
        *number = trans->detail.number;
    if (text != nullptr)
        *text = trans->detail.text.empty() ? nullptr : trans->detail.text.c_str();
    return code;
}

int tdb_get_detail_error(char *table, int *number, const char **text, unsigned int trans_id)
{
    tdb_trans *trans = nullptr;
    tdb_get_trans(trans_id, &trans);
    return tdb_get_detail_error_by_trans(table, number, text, trans);
}
