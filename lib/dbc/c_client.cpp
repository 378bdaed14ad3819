/*
 * c_client.cpp: servers and sessions of the tdb API: finding or making the
 * session that serves a table, trying a server list's
 * alternatives, stopping sessions, transactions and servers, the idle
 * clean-up tdb_schedule with its tree printout, and the server queries.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "al_log.h"
#include "al_user.h"
#include "c_client.h"
#include "c_commu.h"
#include "c_open.h"
#include "c_standin.h"
#include "c_state.h"
#include "compnr.h"
#include "tdb_api.h"

static const char SRC[] = "lib/dbc/c_client.cpp";

namespace {

template <typename T> T *new_record()
{
    try {
        return std::make_unique<T>().release();
    } catch (const std::bad_alloc &) {
        tdb_errno = 501;
        return nullptr;
    }
}

template <typename T> void free_record(T *record)
{
    std::unique_ptr<T> drop(record);
}

/* Unlinks a session from its server's list; false when it is not there. */
bool unlink_from_server(tdb_session *session)
{
    tdb_server *server = session->server;
    if (server == nullptr)
        return false;
    for (tdb_session **p = &server->sessions; *p; p = &(*p)->next_in_server) {
        if (*p == session) {
            *p = session->next_in_server;
            session->next_in_server = nullptr;
            return true;
        }
    }
    return false;
}

/* Unlinks a session from its transaction's list; false when not there. */
bool unlink_from_trans(tdb_session *session)
{
    tdb_trans *trans = session->trans;
    if (trans == nullptr)
        return false;
    for (tdb_session **p = &trans->sessions; *p; p = &(*p)->next_in_trans) {
        if (*p == session) {
            *p = session->next_in_trans;
            session->next_in_trans = nullptr;
            return true;
        }
    }
    return false;
}

/* Stops a session that is already out of both lists: closes the cursors
 * and table records, detaches it at the driver and frees it. */
int stop_session(tdb_session *session)
{
    int refs_rc = tdb_free_session_tables(session);
    tdb_sql_agent_flush(session);
    tdb_sql2_session_detached(session);
    int rc = tdb_detach_session(session);
    if (session->server != nullptr)
        --session->server->nr_sessions;
    free_record(session);
    return rc == 0 && refs_rc == 0 ? 0 : -1;
}

bool same_server(const dd_server *a, const dd_server *b)
{
    if (a == b)
        return true;
    if (a == nullptr || b == nullptr)
        return false;
    auto same_text = [](const char *x, const char *y) {
        return std::strcmp(x ? x : "", y ? y : "") == 0;
    };
    return a->type == b->type && same_text(a->name, b->name) && same_text(a->args, b->args);
}

bool session_busy(const tdb_session *session)
{
    for (const tdb_table_use *t = session->tables; t; t = t->next)
        if (t->cursors != nullptr)
            return true;
    return qpc_session_used(session) != 0;
}

bool tree_wanted()
{
    return (TDB_DEBUG & TDB_DEBUG_TREE) != 0 || (user_info.debug_level & 32) != 0;
}

} // namespace

int tdb_free_session_tables(tdb_session *session)
{
    int rc = 0;
    while (tdb_table_use *table = session->tables) {
        /* Every cursor goes, open or parked, copies with their primary. */
        if (tdb_close_table_cursors(table) != 0)
            rc = -1;
        session->tables = table->next;
        rm_dlock(table);
        free_record(table);
    }
    /* Reference cursors that no cursor uses any more. */
    while (tdb_ref_cursor *ref = session->ref_cursors) {
        session->ref_cursors = ref->next;
        if (ref->handle != nullptr && tdb_close(ref->handle) != 0)
            rc = -1;
        free_record(ref);
    }
    return rc;
}

bool tdb_same_choice(const dd_server_choice &a, const dd_server_choice &b)
{
    if (a.nr_alt != b.nr_alt)
        return false;
    for (int i = 0; i < a.nr_alt && i < DD_MAX_ALTERNATIVES; ++i)
        if (!same_server(a.alt[i], b.alt[i]))
            return false;
    return true;
}

void tdb_free_trans(tdb_trans *trans)
{
    free_record(trans);
}

void tdb_free_server(tdb_server *server)
{
    free_record(server);
}

int tdb_stop_trans(tdb_trans *trans)
{
    SQLOnCloseSession(static_cast<unsigned int>(trans->id));
    while (tdb_session *session = trans->sessions) {
        trans->sessions = session->next_in_trans;
        session->next_in_trans = nullptr;
        if (!unlink_from_server(session)) {
            log_mesg(SRC, __LINE__, "Remove session", 0, "Warning: Session not in server's list.");
            tdb_errno = 215;
            return -1;
        }
        if (stop_session(session) != 0)
            return -1;
    }
    while (tdb_handle *handle = trans->handles) {
        handle->trans = trans;
        if (tdb_close(handle) != 0)
            return -1;
        if (trans->handles == handle) /* a close that left it in the list */
            trans->handles = handle->next;
    }
    return 0;
}

int tdb_stop_server(tdb_server *server)
{
    while (tdb_session *session = server->sessions) {
        server->sessions = session->next_in_server;
        session->next_in_server = nullptr;
        if (!unlink_from_trans(session)) {
            log_mesg(SRC, __LINE__, "Remove session", 0,
                     "Warning: Session not in transaction's list.");
            tdb_errno = 215;
            return -1;
        }
        if (stop_session(session) != 0)
            return -1;
    }
    tdb_sql_agent_end(server);
    return tdb_detach_server(server) == 0 ? 0 : -1;
}

tdb_session *get_new_tdb_session(tdb_server *server, tdb_trans *trans)
{
    tdb_session *session = new_record<tdb_session>();
    if (session == nullptr)
        return nullptr;
    session->server = server;
    session->trans = trans;
    session->session_id = ++tdb_info.last_session_id;
    if (server->rd != nullptr && server->wr != nullptr && tdb_attach_session(session) != 0) {
        free_record(session);
        return nullptr;
    }
    ++server->nr_sessions;
    session->next_in_server = server->sessions;
    server->sessions = session;
    session->next_in_trans = trans->sessions;
    trans->sessions = session;
    return session;
}

tdb_session *get_new_tdb_server_and_session(const dd_server_choice *choice, tdb_trans *trans,
                                            int /*flag*/)
{
    tdb_server *server = new_record<tdb_server>();
    if (server == nullptr)
        return nullptr;
    server->server_id = ++tdb_info.last_server_id;
    if (choice != nullptr)
        server->choice = *choice;
    server->death_handler =
        tdb_info.server_death_handler != nullptr ? tdb_info.server_death_handler : server_death;
    int first_error = 0;
    const int count = choice != nullptr ? std::min(choice->nr_alt, DD_MAX_ALTERNATIVES) : 0;
    for (int i = 0; i < count; ++i) {
        const dd_server *alt = choice->alt[i];
        if (alt == nullptr)
            continue;
        server->driver = alt;
        server->driver_type = alt->type;
        server->driver_name = alt->name ? alt->name : "";
        server->driver_args = alt->args ? alt->args : "";
        if ((alt->type & DD_SRV_TYPE_MASK) == DD_SRV_AUDIT) {
            /* The audit driver is never attached. */
            server->max_sessions = 255;
            server->idle_limit = 255;
        } else if (tdb_attach_server(server) != 0) {
            if (first_error == 0)
                first_error = tdb_errno;
            continue;
        }
        if (tdb_session *session = get_new_tdb_session(server, trans)) {
            server->next = tdb_info.servers;
            tdb_info.servers = server;
            if (tree_wanted() && server->rd != nullptr)
                tdb_print_tree(stderr, "attach server");
            return session;
        }
        if (first_error == 0)
            first_error = tdb_errno;
        if (tdb_detach_server(server) != 0) {
            int code = tdb_errno;
            free_record(server);
            tdb_errno = code;
            return nullptr;
        }
    }
    free_record(server);
    tdb_errno = first_error != 0 ? first_error : 505;
    return nullptr;
}

tdb_session *TdbGetSession(tdb_trans *trans, const void *dd_entry, const dd_server_choice *choice,
                           tdb_table_use **table_out)
{
    if (table_out != nullptr)
        *table_out = nullptr;
    if (trans == nullptr || choice == nullptr) {
        tdb_errno = 505;
        return nullptr;
    }
    /* 1. A session of the transaction on an equal server list, one that
     * already has the table first. */
    tdb_session *first = nullptr;
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans) {
        if (s->server == nullptr || !tdb_same_choice(s->server->choice, *choice))
            continue;
        for (tdb_table_use *t = s->tables; t; t = t->next) {
            if (t->dd_entry == dd_entry) {
                if (table_out != nullptr)
                    *table_out = t;
                return s;
            }
        }
        if (first == nullptr)
            first = s;
    }
    if (first != nullptr)
        return first;
    /* 2. A server with room. */
    for (tdb_server *server = tdb_info.servers; server; server = server->next)
        if (tdb_same_choice(server->choice, *choice) && server->nr_sessions < server->max_sessions)
            return get_new_tdb_session(server, trans);
    /* 3. A new server. */
    return get_new_tdb_server_and_session(choice, trans, 0);
}

/* ---- idle clean-up ------------------------------------------------------------------------ */

void tdb_print_tree(FILE *out, const char *label)
{
    std::fprintf(out, "***************** %s %d **************\n", label, 0);
    for (const tdb_server *server = tdb_info.servers; server; server = server->next) {
        std::fprintf(out, "--- server %p, type %d, sessions %d ---\n",
                     static_cast<const void *>(server), server->driver_type,
                     static_cast<int>(server->nr_sessions));
        for (const tdb_session *s = server->sessions; s; s = s->next_in_server) {
            std::fprintf(out, "{[%d] ", s->trans != nullptr ? s->trans->id : 0);
            for (const tdb_table_use *t = s->tables; t; t = t->next) {
                std::fprintf(out, "%s(", t->name);
                for (const tdb_cursor_use *c = t->cursors; c; c = c->next)
                    std::fprintf(out, "%03d%s", c->compnr, c->next != nullptr ? "," : "");
                std::fprintf(out, ") ");
            }
            std::fprintf(out, "}\n");
        }
    }
    std::fprintf(out, "*******************************************\n");
}

int tdb_schedule(void)
{
    const bool tree = tree_wanted();
    if (tree)
        tdb_print_tree(stderr, "before schedule");
    /* 1. Sessions. */
    for (tdb_server *server = tdb_info.servers; server; server = server->next) {
        tdb_session **link = &server->sessions;
        while (tdb_session *session = *link) {
            if (session_busy(session)) {
                session->idle = 0;
            } else if (++session->idle >= server->idle_limit) {
                *link = session->next_in_server;
                session->next_in_server = nullptr;
                if (!unlink_from_trans(session)) {
                    log_mesg(SRC, __LINE__, "Remove session", 0,
                             "Warning: Session not in trans's list");
                    tdb_errno = 215;
                    return -1;
                }
                if (stop_session(session) != 0)
                    return -1;
                continue;
            }
            link = &session->next_in_server;
        }
    }
    /* 2. Servers. */
    tdb_server **link = &tdb_info.servers;
    while (tdb_server *server = *link) {
        if (server->sessions != nullptr) {
            server->idle = 0;
        } else if (++server->idle >= tdb_info.server_idle_limit) {
            *link = server->next;
            int rc = tdb_stop_server(server);
            free_record(server);
            if (rc != 0)
                return -1;
            continue;
        }
        link = &server->next;
    }
    if (tree)
        tdb_print_tree(stderr, "after schedule");
    return 0;
}

/* ---- server queries and handlers ---------------------------------------------------------- */

int tdb_get_nr_drivers(void)
{
    int count = 0;
    for (const tdb_server *s = tdb_info.servers; s; s = s->next)
        ++count;
    return count;
}

int tdb_get_db_system_info(int server_nr, int item, char *out, int size)
{
    tdb_server *server = tdb_info.servers;
    for (int n = 1; server != nullptr && n < server_nr; ++n)
        server = server->next;
    if (server_nr < 1 || server == nullptr) {
        tdb_errno = 505;
        return -1;
    }
    std::string text;
    if (item == 103) {
        text = server->driver_name;
    } else if (item == 104) {
        text = server->driver_args;
        for (char &c : text)
            if (c == '\1')
                c = ',';
    } else {
        const unsigned char msg[4] = {
            static_cast<unsigned char>((item >> 24) & 0xff),
            static_cast<unsigned char>((item >> 16) & 0xff),
            static_cast<unsigned char>((item >> 8) & 0xff),
            static_cast<unsigned char>(item & 0xff)};
        if (tdb_do_exec_server(server, 9, msg, 4) != 0)
            return -1;
        if (commu.answer != nullptr && commu.answer_len > 0)
            text.assign(reinterpret_cast<const char *>(commu.answer),
                        static_cast<size_t>(commu.answer_len));
    }
    if (out != nullptr && size > 0) {
        size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return 0;
}

int tdb_exec_server(long code, const void *msg, long length, unsigned int trans_id)
{
    tdb_trans *trans = nullptr;
    if (tdb_get_trans(trans_id, &trans) == 1) {
        log_mesg(SRC, __LINE__, "Invalid transaction", 0, "Invalid transaction id %d specified.",
                 static_cast<int>(trans_id));
        tdb_errno = 518;
        return -1;
    }
    if (trans == nullptr)
        return 0;
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans) {
        /* The audit driver is never attached: it takes no requests. */
        if (s->server == nullptr ||
            (s->server->driver_type & DD_SRV_TYPE_MASK) == DD_SRV_AUDIT)
            continue;
        if (tdb_do_exec_server(s->server, code, static_cast<const unsigned char *>(msg),
                               length) != 0)
            return -1;
    }
    return 0;
}

void server_death(void)
{
    log_mesg(SRC, __LINE__, "server_death", 0, "Detected server disconnection");
    std::exit(1);
}

void tdb_set_server_death_handler(void (*handler)(void))
{
    tdb_info.server_death_handler = handler;
}

int tdb_get_physical_compnr(const char *table, int compnr)
{
    if (table == nullptr || std::strlen(table) != 8) {
        tdb_errno = 102;
        return -1;
    }
    if (compnr < 0 || compnr > 999) {
        tdb_errno = 519;
        return -1;
    }
    return compnrLogicToPhysic(compnrGetCompnrData(table), compnr);
}
