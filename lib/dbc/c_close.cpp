/*
 * c_close.cpp: closing table handles and company cursors: parking the
 * cursors of a table whose updates are still buffered, closing a primary
 * with its copies and audit cursors, releasing duplication records,
 * reference cursors and instances, and the closing done by a stopping
 * session.
 */
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "al_log.h"
#include "c_open.h"
#include "c_state.h"
#include "tdb_api.h"

static const char SRC[] = "lib/dbc/c_close.cpp";

namespace {

template <typename T> void free_record(T *record)
{
    std::unique_ptr<T> drop(record);
}

/* Unlinks cursor from list; false when it is not there. */
bool unlink_cursor(tdb_cursor_use **list, tdb_cursor_use *cursor)
{
    for (tdb_cursor_use **p = list; *p; p = &(*p)->next) {
        if (*p == cursor) {
            *p = cursor->next;
            cursor->next = nullptr;
            return true;
        }
    }
    return false;
}

/* The primary and every copy and audit cursor of its instance. */
std::vector<tdb_cursor_use *> chain_of(tdb_cursor_use *primary)
{
    std::vector<tdb_cursor_use *> all;
    for (tdb_cursor_use *c = primary; c; c = c->next_copy)
        all.push_back(c);
    if (primary->instance != nullptr)
        for (tdb_cursor_use *c = primary->instance->audit; c; c = c->next_audit)
            all.push_back(c);
    return all;
}

void release_dup(tdb_duplicate *dup)
{
    for (tdb_duplicate **p = &tdb_info.duplicates; *p; p = &(*p)->next) {
        if (*p == dup) {
            *p = dup->next;
            break;
        }
    }
    rds_close(dup->updates);
    rds_close(dup->refcnts);
    free_record(dup);
}

/* The primary leaves the list of its handle. */
void leave_handle(tdb_cursor_use *primary)
{
    if (tdb_handle *handle = primary->handle) {
        for (tdb_cursor_use **p = &handle->cursors; *p; p = &(*p)->next_of_handle) {
            if (*p == primary) {
                *p = primary->next_of_handle;
                break;
            }
        }
    }
    primary->handle = nullptr;
    primary->next_of_handle = nullptr;
}

/* Releases the reference cursors an instance used: each loses a user and
 * is closed with its own handle when it has none left. */
int release_ref_cursors(tdb_instance *instance, tdb_session *session)
{
    int rc = 0;
    for (tdb_ref_cursor *ref : instance->refs) {
        tdb_ref_cursor **link = session != nullptr ? &session->ref_cursors : nullptr;
        while (link != nullptr && *link != nullptr && *link != ref)
            link = &(*link)->next;
        if (link == nullptr || *link == nullptr) {
            log_mesg(SRC, __LINE__, "Undefined cursor", 0, "ref_cursor %p not found\n",
                     static_cast<void *>(ref));
            tdb_errno = 215;
            rc = -1;
            continue;
        }
        if (--ref->users > 0)
            continue;
        *link = ref->next;
        if (ref->handle != nullptr && tdb_close(ref->handle) != 0)
            rc = -1;
        free_record(ref);
    }
    instance->refs.clear();
    return rc;
}

/* Closes a primary with its copies and audit cursors, for good. */
int close_chain(tdb_cursor_use *primary)
{
    leave_handle(primary);
    tdb_instance *instance = primary->instance;
    tdb_session *session =
        primary->table != nullptr ? primary->table->session : nullptr;
    for (tdb_cursor_use *c : chain_of(primary)) {
        if (c->attached)
            tdb_detach_cursor(c);
        if (tdb_table_use *t = c->table)
            if (!unlink_cursor(&t->cursors, c))
                unlink_cursor(&t->parked, c);
        if (instance != nullptr && instance->dup != nullptr && --instance->dup->users <= 0) {
            release_dup(instance->dup);
            instance->dup = nullptr;
        }
        c->mark = 0;
        free_record(c);
    }
    int rc = 0;
    if (instance != nullptr) {
        rc = release_ref_cursors(instance, session);
        free_record(instance);
    }
    return rc;
}

/* The primary of a cursor found in a table record. */
tdb_cursor_use *primary_of(tdb_cursor_use *cursor)
{
    return cursor->primary != nullptr ? cursor->primary : cursor;
}

/* "%08p" as the trace line shows it: the pointer text, zero-filled on the
 * left to 8 characters. */
std::string pointer_text(const void *p)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    std::string text(buf);
    if (text.size() < 8)
        text.insert(0, 8 - text.size(), '0');
    return text;
}

} // namespace

int tdb_close_internal(tdb_cursor_use *cursor)
{
    /* 1. Logged on, a valid cursor. */
    if (tdb_start() != 0 || tdb_cursor_check(cursor) != 0)
        return -1;
    tdb_cursor_use *primary = primary_of(cursor);
    tdb_instance *instance = primary->instance;
    /* 2. Buffered rows: the cursors wait in their table records' parked
     * lists until the updates are sent. */
    if (instance != nullptr && tdb_dup_holds_rows(instance->dup)) {
        leave_handle(primary);
        for (tdb_cursor_use *c : chain_of(primary)) {
            if (tdb_table_use *t = c->table) {
                if (unlink_cursor(&t->cursors, c)) {
                    c->next = t->parked;
                    t->parked = c;
                }
            }
        }
        /* The handle's variables go with the handle. */
        instance->bound = nullptr;
        instance->nr_binds = 0;
        return 0;
    }
    /* 3. Closed for good. */
    return close_chain(primary);
}

int tdb_close_table_cursors(tdb_table_use *table)
{
    int rc = 0;
    if (table == nullptr)
        return 0;
    while (tdb_cursor_use *c = table->cursors != nullptr ? table->cursors : table->parked) {
        tdb_cursor_use *primary = primary_of(c);
        const bool in_chain = [&] {
            for (tdb_cursor_use *x : chain_of(primary))
                if (x == c)
                    return true;
            return false;
        }();
        if (!in_chain) {
            /* A cursor whose primary does not know it: close it alone. */
            c->primary = nullptr;
            c->next_copy = nullptr;
            c->instance = nullptr;
            primary = c;
        }
        if (close_chain(primary) != 0)
            rc = -1;
    }
    return rc;
}

int tdb_close_parked(tdb_table_use *table)
{
    int rc = 0;
    if (table == nullptr)
        return 0;
    while (tdb_cursor_use *c = table->parked)
        if (close_chain(primary_of(c)) != 0)
            rc = -1;
    return rc;
}

int tdb_close(struct tdb_handle *handle)
{
    if (handle == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    if (TDB_DEBUG & TDB_DEBUG_CLOSE)
        std::fprintf(stderr, "tdb_close      on %8s             (cursor %s)\n",
                     handle->table != nullptr ? handle->table->code : "",
                     pointer_text(handle->cursors).c_str());
    while (tdb_cursor_use *cursor = handle->cursors) {
        if (tdb_close_internal(cursor) != 0)
            return -1;
        if (handle->cursors == cursor) { /* not taken off the list: a bad cursor */
            tdb_errno = 509;
            return -1;
        }
    }
    if (tdb_trans *trans = handle->trans) {
        for (tdb_handle **p = &trans->handles; *p; p = &(*p)->next) {
            if (*p == handle) {
                *p = handle->next;
                break;
            }
        }
    }
    free_record(handle);
    return 0;
}
