/*
 * c_open.cpp: table handles and company cursors of the tdb API: tdb_open
 * with its bind descriptors, the conversion between bound variables and
 * the row buffer, and the cursors of a company (mapping, servers, table
 * records and keys, instances, duplication records, parked cursors).
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "al_float.h"
#include "al_log.h"
#include "c_client.h"
#include "c_open.h"
#include "c_state.h"
#include "compnr.h"
#include "tdb_api.h"
#include "yy_expr.h"

static const char SRC[] = "lib/dbc/c_open.cpp";

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

/* Bytes of one element on the program side, by variable class, and on the
 * row side, by column class (strings are copied as one block). */
int class_size(int cls)
{
    switch (cls) {
    case 1: return 1;
    case 2: return 2;
    case 3: return 4;
    case 4: return 4;
    case 5: return 8;
    default: return 0;
    }
}

bool is_integer_class(int cls) { return cls >= 1 && cls <= 3; }
bool is_real_class(int cls) { return cls == 4 || cls == 5; }
bool is_string_class(int cls) { return cls == TDB_STRING || cls == TDB_MBSTRING || cls == TDB_RAW; }

/* Whether a column of class col accepts a variable of class var. */
bool class_accepts(int col, int var)
{
    return (is_integer_class(col) && is_integer_class(var)) ||
           (is_real_class(col) && is_real_class(var)) ||
           (is_string_class(col) && is_string_class(var));
}

/* A value of the program side, read by its class. */
int32_t read_integer(const unsigned char *p, int cls)
{
    switch (cls) {
    case 1:
        return p[0];
    case 2: {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    default: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    }
}

void write_integer(unsigned char *p, int cls, int32_t value)
{
    switch (cls) {
    case 1:
        p[0] = static_cast<unsigned char>(value & 0xff);
        break;
    case 2: {
        int16_t v = static_cast<int16_t>(value & 0xffff);
        std::memcpy(p, &v, sizeof v);
        break;
    }
    default:
        std::memcpy(p, &value, sizeof value);
        break;
    }
}

double rounded(double value, const tdb_bind_desc *bind)
{
    b_round(&value, bind->digits, bind->round_mode);
    return value;
}

/* One element from the variable (class var) into the row (class col). */
void element_to_row(const tdb_bind_desc *bind, const unsigned char *var, unsigned char *row)
{
    const int col = bind->col_class;
    const int vcl = bind->var_class;
    if (is_integer_class(col)) {
        const int32_t v = read_integer(var, vcl);
        /* A byte variable is unsigned; 16 and 32 bits carry their sign. */
        const uint32_t u = static_cast<uint32_t>(v);
        switch (col) {
        case 1:
            row[0] = static_cast<unsigned char>(u & 0xff);
            break;
        case 2:
            row[0] = static_cast<unsigned char>((u >> 8) & 0xff);
            row[1] = static_cast<unsigned char>(u & 0xff);
            break;
        default:
            row[0] = static_cast<unsigned char>((u >> 24) & 0xff);
            row[1] = static_cast<unsigned char>((u >> 16) & 0xff);
            row[2] = static_cast<unsigned char>((u >> 8) & 0xff);
            row[3] = static_cast<unsigned char>(u & 0xff);
            break;
        }
    } else if (col == 4) {
        if (vcl == 4)
            std::memcpy(row, var, 4);
        else
            float_in(static_cast<float>(rounded(double_out(var), bind)), row);
    } else if (col == 5) {
        if (vcl == 5)
            std::memcpy(row, var, 8);
        else
            double_in(rounded(static_cast<double>(float_out(var)), bind), row);
    }
}

/* One element from the row (class col) into the variable (class var). */
void element_to_var(const tdb_bind_desc *bind, const unsigned char *row, unsigned char *var)
{
    const int col = bind->col_class;
    const int vcl = bind->var_class;
    if (is_integer_class(vcl)) {
        int32_t v;
        switch (col) {
        case 1:
            v = row[0];
            break;
        case 2:
            v = static_cast<int16_t>(static_cast<uint16_t>((row[0] << 8) | row[1]));
            break;
        default:
            v = static_cast<int32_t>((static_cast<uint32_t>(row[0]) << 24) |
                                     (static_cast<uint32_t>(row[1]) << 16) |
                                     (static_cast<uint32_t>(row[2]) << 8) | row[3]);
            break;
        }
        write_integer(var, vcl, v);
    } else if (vcl == 4) {
        if (col == 4)
            std::memcpy(var, row, 4);
        else
            float_in(static_cast<float>(rounded(double_out(row), bind)), var);
    } else if (vcl == 5) {
        if (col == 5)
            std::memcpy(var, row, 8);
        else
            double_in(rounded(static_cast<double>(float_out(row)), bind), var);
    }
}

bool column_of_table(const _dd_table *table, const _dd_column *column)
{
    return column != nullptr && table->columns != nullptr && column >= table->columns &&
           column < table->columns + table->nr_columns;
}

/* The instance's company data for a table (the mapping set). */
CompnrData *compnr_data_of(const _dd_table *table)
{
    char code[9];
    std::memcpy(code, table->code, 8);
    code[8] = '\0';
    return compnrGetCompnrData(code);
}

/* The duplication record of another instance of key in the transaction;
 * *found tells whether such an instance exists. */
tdb_duplicate *dup_of_other_instance(tdb_trans *trans, const tdb_table_key *key, bool *found)
{
    *found = false;
    if (key == nullptr)
        return nullptr;
    for (tdb_session *s = trans->sessions; s; s = s->next_in_trans) {
        for (tdb_table_use *t = s->tables; t; t = t->next) {
            if (t->key != key)
                continue;
            for (tdb_cursor_use *list : {t->cursors, t->parked}) {
                for (tdb_cursor_use *c = list; c; c = c->next) {
                    if (c->instance != nullptr) {
                        *found = true;
                        return c->instance->dup;
                    }
                }
            }
        }
    }
    return nullptr;
}

tdb_duplicate *new_dup(tdb_table_key *key, tdb_trans *trans)
{
    tdb_duplicate *dup = new_record<tdb_duplicate>();
    if (dup == nullptr)
        return nullptr;
    dup->key = key;
    dup->trans = trans;
    dup->next = tdb_info.duplicates;
    tdb_info.duplicates = dup;
    return dup;
}

/* Frees a new cursor that never reached a list (an open that failed). */
void drop_new_cursor(tdb_cursor_use *cursor)
{
    tdb_table_use *table = cursor->table;
    if (table != nullptr) {
        for (tdb_cursor_use **p = &table->cursors; *p; p = &(*p)->next) {
            if (*p == cursor) {
                *p = cursor->next;
                break;
            }
        }
    }
    if (cursor->instance != nullptr && cursor->instance->dup != nullptr)
        --cursor->instance->dup->users;
    cursor->mark = 0;
    free_record(cursor);
}

/* Whether cursor is in list. */
bool in_list(const tdb_cursor_use *list, const tdb_cursor_use *cursor)
{
    for (const tdb_cursor_use *c = list; c; c = c->next)
        if (c == cursor)
            return true;
    return false;
}

void move_list(tdb_cursor_use **from, tdb_cursor_use **to, tdb_cursor_use *cursor)
{
    for (tdb_cursor_use **p = from; *p; p = &(*p)->next) {
        if (*p == cursor) {
            *p = cursor->next;
            cursor->next = *to;
            *to = cursor;
            return;
        }
    }
}

int server_type_of(const tdb_cursor_use *cursor)
{
    const tdb_table_use *t = cursor->table;
    if (t == nullptr || t->session == nullptr || t->session->server == nullptr)
        return 0;
    return t->session->server->driver_type;
}

/* The read cursor: the primary on a read driver, else the first copy on a
 * read driver, else the cursor (primary first) of the lowest server type. */
tdb_cursor_use *choose_read_cursor(tdb_cursor_use *primary)
{
    for (tdb_cursor_use *c = primary; c; c = c->next_copy)
        if (server_type_of(c) & DD_SRV_READ)
            return c;
    tdb_cursor_use *best = primary;
    for (tdb_cursor_use *c = primary->next_copy; c; c = c->next_copy)
        if (server_type_of(c) < server_type_of(best))
            best = c;
    return best;
}

/* Reuse of the parked cursors of the table records: the primary, or null
 * (509) when the chain is not parked as a whole. */
tdb_cursor_use *reuse_parked(tdb_table_use *const *records, int nr_server, int found_at)
{
    tdb_table_use *first = records[0];
    if (first == nullptr || first->parked == nullptr) {
        log_mesg(SRC, __LINE__, "Pending cursor", 0,
                 "Copy cursor of server %d is pending but cursor of server 0 is not pending",
                 found_at);
        tdb_errno = 509;
        return nullptr;
    }
    tdb_cursor_use *primary = first->parked;
    int count = 0;
    int k = 0;
    for (tdb_cursor_use *c = primary; c; c = c->next_copy, ++k) {
        if (c->table == nullptr || !in_list(c->table->parked, c)) {
            log_mesg(SRC, __LINE__, "Pending cursor", 0,
                     "Copy cursor of server %d is pending but cursor of server %d is not pending",
                     found_at, k);
            tdb_errno = 509;
            return nullptr;
        }
        ++count;
    }
    tdb_instance *instance = primary->instance;
    for (tdb_cursor_use *c = instance != nullptr ? instance->audit : nullptr; c; c = c->next_audit) {
        if (c->table == nullptr || !in_list(c->table->parked, c)) {
            log_mesg(SRC, __LINE__, "Pending cursor", 0,
                     "Copy cursor of server %d is pending but cursor of server %d is not pending",
                     found_at, count);
            tdb_errno = 509;
            return nullptr;
        }
        ++count;
    }
    if (count != nr_server) {
        log_mesg(SRC, __LINE__, "Pending cursor", 0,
                 "Number of copy cursors (%d) does not equal number of servers (%d)", count,
                 nr_server);
        tdb_errno = 509;
        return nullptr;
    }
    for (tdb_cursor_use *c = primary; c; c = c->next_copy)
        move_list(&c->table->parked, &c->table->cursors, c);
    for (tdb_cursor_use *c = instance != nullptr ? instance->audit : nullptr; c; c = c->next_audit)
        move_list(&c->table->parked, &c->table->cursors, c);
    return primary;
}

} // namespace

/* ---- bind entries and classes ------------------------------------------------------------- */

void tdb_set_bind_entry(struct tdb_bind_entry *entry, void *address, int length, int elements,
                        const char *column, int type)
{
    if (entry == nullptr)
        return;
    std::memset(entry, 0, sizeof *entry);
    const auto a = reinterpret_cast<uintptr_t>(address);
    entry->address = static_cast<uint32_t>(a & 0xffffffffu);
    entry->address_high = static_cast<uint32_t>((static_cast<uint64_t>(a) >> 32) & 0xffffffffu);
    entry->length = static_cast<uint16_t>(length);
    entry->elements = static_cast<uint16_t>(elements);
    if (column != nullptr)
        std::strncpy(entry->column, column, sizeof entry->column - 1);
    entry->type = static_cast<uint16_t>(type);
}

void *tdb_bind_entry_address(const struct tdb_bind_entry *entry)
{
    if (entry == nullptr)
        return nullptr;
    const uint64_t a = (static_cast<uint64_t>(entry->address_high) << 32) | entry->address;
    return reinterpret_cast<void *>(static_cast<uintptr_t>(a));
}

int tdb_type_class(int type)
{
    if (type == TDB_ENUM)
        return 1;
    if ((type >= TDB_DATE && type <= TDB_LONG_V) || type == TDB_SET)
        return 3;
    return type;
}

/* ---- tdb_open ------------------------------------------------------------------------------- */

int tdb_open(struct tdb_handle **out, const char *name, int compnr, void *binds, int nr_binds,
             unsigned int trans_id)
{
    if (out != nullptr)
        *out = nullptr;
    if (tdb_start() != 0)
        return -1;
    if (name == nullptr || *name == '\0') {
        log_mesg(SRC, __LINE__, "No table-name", 0, "No table-name specified");
        tdb_errno = 215;
        return -1;
    }
    const _dd_table *table = ddtable(name);
    if (table == nullptr) {
        log_mesg(SRC, __LINE__, "No DD", 0, "No DD found for %s", name);
        tdb_errno = 513;
        return -1;
    }
    tdb_trans *trans = tdb_get_trans_by_id(trans_id);
    if (trans == nullptr)
        return -1;
    if (out == nullptr || (nr_binds == 0 && binds == nullptr)) {
        tdb_errno = 503;
        return -1;
    }
    if (nr_binds < 0) {
        tdb_errno = 102;
        return -1;
    }
    std::unique_ptr<tdb_handle> handle;
    try {
        handle = std::make_unique<tdb_handle>();
        handle->binds.resize(static_cast<size_t>(nr_binds));
    } catch (const std::bad_alloc &) {
        tdb_errno = 501;
        return -1;
    }
    handle->table = table;
    handle->trans = trans;
    handle->nr_binds = nr_binds;
    handle->default_compnr = static_cast<unsigned short>(compnr);
    if (nr_binds == 0)
        handle->row = binds;
    const auto *entries = static_cast<const tdb_bind_entry *>(binds);
    for (int i = 0; i < nr_binds; ++i) {
        const tdb_bind_entry &entry = entries[i];
        tdb_bind_desc &desc = handle->binds[static_cast<size_t>(i)];
        desc.address = tdb_bind_entry_address(&entry);
        if (desc.address == nullptr) {
            tdb_errno = 503;
            return -1;
        }
        char colname[sizeof entry.column + 1];
        std::memcpy(colname, entry.column, sizeof entry.column);
        colname[sizeof entry.column] = '\0';
        const _dd_column *column = ddcolumn(colname);
        if (!column_of_table(table, column)) {
            log_mesg(SRC, __LINE__, "Invalid dd column", 0, "Invalid column '%s'", colname);
            tdb_errno = 504;
            return -1;
        }
        const int col_class = tdb_type_class(column->type);
        const int var_class = entry.type >= 1 && entry.type <= TDB_MAX_TYPE
                                  ? tdb_type_class(entry.type)
                                  : 0;
        if (column->type == TDB_COMBINED || !class_accepts(col_class, var_class)) {
            tdb_errno = 504;
            return -1;
        }
        desc.col_class = static_cast<unsigned char>(col_class);
        desc.var_class = static_cast<unsigned char>(var_class);
        desc.offset = column->offset;
        desc.length = is_string_class(col_class) ? std::min(entry.length, column->length)
                                                 : entry.length;
        const int count = entry.elements == 0 ? 1 : entry.elements;
        desc.elements = static_cast<unsigned char>(std::min<int>(count, column->elements));
        if (is_real_class(col_class) && column->domain != nullptr) {
            desc.digits = column->domain->digits_after;
            desc.round_mode = static_cast<unsigned char>(column->domain->rn);
        }
        if (desc.offset == table->data_length + 4)
            handle->compnr_bind = &desc;
    }
    handle->next = trans->handles;
    trans->handles = handle.get();
    *out = handle.release();
    return 0;
}

int tdb_set_default_compnr(struct tdb_handle *handle, int compnr)
{
    if (handle == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    if (compnr < 0 || compnr > 999) {
        tdb_errno = 519;
        return -1;
    }
    handle->default_compnr = static_cast<unsigned short>(compnr);
    return 0;
}

/* ---- conversions ---------------------------------------------------------------------------- */

void system_to_independent(const tdb_bind_desc *bind, unsigned char *row)
{
    auto *var = static_cast<const unsigned char *>(bind->address);
    unsigned char *dst = row + bind->offset;
    if (is_string_class(bind->col_class)) {
        if (is_string_class(bind->var_class))
            std::memcpy(dst, var, bind->length);
        return;
    }
    const int vsize = class_size(bind->var_class);
    const int csize = class_size(bind->col_class);
    if (vsize == 0 || csize == 0 || !class_accepts(bind->col_class, bind->var_class))
        return;
    for (int i = 0; i < bind->elements; ++i)
        element_to_row(bind, var + i * vsize, dst + i * csize);
}

void independent_to_system(const tdb_bind_desc *bind, const unsigned char *row)
{
    auto *var = static_cast<unsigned char *>(bind->address);
    const unsigned char *src = row + bind->offset;
    if (is_string_class(bind->var_class)) {
        if (is_string_class(bind->col_class))
            std::memcpy(var, src, bind->length);
        return;
    }
    const int vsize = class_size(bind->var_class);
    const int csize = class_size(bind->col_class);
    if (vsize == 0 || csize == 0 || !class_accepts(bind->col_class, bind->var_class))
        return;
    for (int i = 0; i < bind->elements; ++i)
        element_to_var(bind, src + i * csize, var + i * vsize);
}

int tdb_bind_to_buf(struct tdb_handle *handle, void *row)
{
    if (handle == nullptr || row == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    if (handle->nr_binds == 0) {
        if (handle->row != nullptr && handle->row != row)
            std::memmove(row, handle->row, handle->table->row_length);
        return 0;
    }
    for (const tdb_bind_desc &bind : handle->binds)
        system_to_independent(&bind, static_cast<unsigned char *>(row));
    return 0;
}

int tdb_buf_to_bind(struct tdb_handle *handle, const void *row)
{
    if (handle == nullptr || row == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    if (handle->nr_binds == 0) {
        if (handle->row != nullptr && handle->row != row)
            std::memmove(handle->row, row, handle->table->row_length);
        return 0;
    }
    for (const tdb_bind_desc &bind : handle->binds)
        independent_to_system(&bind, static_cast<const unsigned char *>(row));
    return 0;
}

int get_compnr_from_bind(const struct tdb_handle *handle, const void *row)
{
    if (handle == nullptr)
        return -1;
    const _dd_table *table = handle->table;
    if (const tdb_bind_desc *bind = handle->compnr_bind) {
        /* Through a row image of the bound variable. */
        unsigned char image[4] = {0, 0, 0, 0};
        tdb_bind_desc at0 = *bind;
        at0.offset = 0;
        at0.elements = 1;
        system_to_independent(&at0, image);
        if (bind->col_class == 2)
            return static_cast<int16_t>(static_cast<uint16_t>((image[0] << 8) | image[1]));
        if (bind->col_class == 1)
            return image[0];
        return static_cast<int32_t>((static_cast<uint32_t>(image[0]) << 24) |
                                    (static_cast<uint32_t>(image[1]) << 16) |
                                    (static_cast<uint32_t>(image[2]) << 8) | image[3]);
    }
    const auto *bytes = static_cast<const unsigned char *>(row != nullptr ? row : handle->row);
    if (bytes == nullptr || (row == nullptr && handle->nr_binds != 0))
        return -1;
    const int at = table->data_length + 4;
    return static_cast<int16_t>(static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]));
}

void put_compnr_in_bind(struct tdb_handle *handle, void *row, int compnr)
{
    if (handle == nullptr)
        return;
    if (const tdb_bind_desc *bind = handle->compnr_bind) {
        unsigned char image[2] = {static_cast<unsigned char>((compnr >> 8) & 0xff),
                                  static_cast<unsigned char>(compnr & 0xff)};
        tdb_bind_desc at0 = *bind;
        at0.offset = 0;
        at0.elements = 1;
        at0.col_class = 2;
        independent_to_system(&at0, image);
        return;
    }
    void *target = row != nullptr ? row : (handle->nr_binds == 0 ? handle->row : nullptr);
    if (target != nullptr)
        put_compnr_in_row(handle->table, static_cast<unsigned char *>(target), compnr);
}

/* ---- table keys, records, duplication records ----------------------------------------------- */

tdb_table_key *tdb_get_table_key(const _dd_table *table, int physical, bool make)
{
    for (tdb_table_key *k = tdb_info.table_keys; k; k = k->next)
        if (k->table == table && k->physical == physical)
            return k;
    if (!make)
        return nullptr;
    tdb_table_key *key = new_record<tdb_table_key>();
    if (key == nullptr)
        return nullptr;
    key->table = table;
    key->physical = physical;
    key->next = tdb_info.table_keys;
    tdb_info.table_keys = key;
    return key;
}

void tdb_free_table_keys(void)
{
    while (tdb_table_key *k = tdb_info.table_keys) {
        tdb_info.table_keys = k->next;
        free_record(k);
    }
}

RDS *tdb_dup_store(tdb_duplicate *dup, bool refcnt)
{
    if (dup == nullptr || dup->key == nullptr)
        return nullptr;
    RDS *&store = refcnt ? dup->refcnts : dup->updates;
    if (store == nullptr)
        store = rds_open_update_actions(dup->key->table, 0);
    return store;
}

bool tdb_dup_holds_rows(const tdb_duplicate *dup)
{
    if (dup == nullptr)
        return false;
    for (RDS *store : {dup->updates, dup->refcnts}) {
        rds_stat st{};
        if (store != nullptr && rds_get_stat(store, &st) == 0 && st.rows > 0)
            return true;
    }
    return false;
}

tdb_table_use *tdb_get_table(const _dd_table *table, int physical, tdb_trans *trans,
                             const dd_tabledef *servers, int index)
{
    if (table == nullptr || trans == nullptr || servers == nullptr || index < 0 ||
        index >= servers->nr_server) {
        tdb_errno = 505;
        return nullptr;
    }
    tdb_table_key *key = tdb_get_table_key(table, physical, true);
    if (key == nullptr)
        return nullptr;
    tdb_table_use *record = nullptr;
    tdb_session *session = TdbGetSession(trans, table, &servers->server[index], &record);
    if (session == nullptr) {
        tdb_errno = 505;
        return nullptr;
    }
    for (tdb_table_use *t = session->tables; t; t = t->next)
        if (t->key == key)
            return t;
    record = new_record<tdb_table_use>();
    if (record == nullptr)
        return nullptr;
    std::memcpy(record->name, table->code, 8);
    record->name[8] = '\0';
    record->dd_entry = table;
    record->session = session;
    record->key = key;
    record->next = session->tables;
    session->tables = record;
    return record;
}

/* ---- cursors -------------------------------------------------------------------------------- */

int tdb_open_internal(tdb_cursor_use **out, const _dd_table *table, int compnr, void *binds,
                      long nr_binds, tdb_trans *trans)
{
    if (out != nullptr)
        *out = nullptr;
    /* 1. The table's company data; logged on. */
    CompnrData *data = compnr_data_of(table);
    if (tdb_start() != 0)
        return -1;
    if (out == nullptr || trans == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    /* 2. Logical to physical. */
    const int physical = compnrLogicToPhysic(data, compnr);
    if (physical != compnr && (TDB_DEBUG & TDB_DEBUG_TREE))
        std::fprintf(stderr, "Warning: compnr %03d mapped to %03d for %s\n", compnr, physical,
                     table->code);
    /* 3. The servers of the table and company. */
    dd_tabledef servers{};
    if (client_get_tabledef(table->code, physical, &servers) != 0) {
        tdb_errno = 505;
        return -1;
    }
    if (servers.nr_server <= 0) {
        log_mesg(SRC, __LINE__, "No server", 0, "No server, server_nr: %d, tabledef.nr_server: %d",
                 0, servers.nr_server);
        tdb_errno = 505;
        return -1;
    }
    const int nr_server = std::min(servers.nr_server, DD_MAX_SERVERS);
    /* 4. The instance, its key buffers and the duplication record. */
    std::unique_ptr<tdb_instance> instance;
    try {
        instance = std::make_unique<tdb_instance>();
        instance->keys.assign(
            static_cast<size_t>(2 * std::max(0, tdb_max_key_size_of_table(table)) + 244), 0);
    } catch (const std::bad_alloc &) {
        tdb_errno = 501;
        return -1;
    }
    bool other = false;
    tdb_duplicate *dup =
        dup_of_other_instance(trans, tdb_get_table_key(table, physical, false), &other);
    if (other && dup == nullptr)
        log_mesg(SRC, __LINE__, "DubInfo", 0, "Warning: No dub-info table %s%03d", table->code,
                 physical);
    bool new_dup_made = false;
    if (dup == nullptr) {
        tdb_table_key *key = tdb_get_table_key(table, physical, true);
        if (key == nullptr || (dup = new_dup(key, trans)) == nullptr)
            return -1;
        new_dup_made = true;
    }
    instance->dup = dup;
    auto undo_dup = [&] {
        if (new_dup_made && dup->users == 0) {
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
    };
    /* 5. One cursor per server, from the last to the first. */
    tdb_table_use *records[DD_MAX_SERVERS] = {};
    std::vector<tdb_cursor_use *> made;
    tdb_cursor_use *chain = nullptr;
    auto undo_made = [&] {
        for (tdb_cursor_use *c : made)
            drop_new_cursor(c);
        made.clear();
    };
    int parked_at = -1;
    for (int i = nr_server - 1; i >= 0; --i) {
        tdb_table_use *record = tdb_get_table(table, physical, trans, &servers, i);
        if (record == nullptr) {
            const int code = tdb_errno;
            undo_made();
            undo_dup();
            tdb_errno = code;
            return -1;
        }
        records[i] = record;
        if (record->parked != nullptr) {
            parked_at = i;
            break;
        }
        tdb_cursor_use *cursor = new_record<tdb_cursor_use>();
        if (cursor == nullptr) {
            undo_made();
            undo_dup();
            tdb_errno = 501;
            return -1;
        }
        made.push_back(cursor);
        cursor->mark = TDB_CURSOR_VALID;
        cursor->copy = i != 0 ? 1 : 0;
        cursor->table = record;
        cursor->instance = instance.get();
        cursor->compnr = physical;
        cursor->next = record->cursors;
        record->cursors = cursor;
        ++dup->users;
        instance->logical = compnr;
        instance->physical = physical;
        const tdb_server *server = record->session != nullptr ? record->session->server : nullptr;
        if (i != 0 && server != nullptr &&
            (server->driver_type & DD_SRV_TYPE_MASK) == DD_SRV_AUDIT) {
            cursor->next_audit = instance->audit;
            instance->audit = cursor;
        } else {
            cursor->next_copy = chain;
            chain = cursor;
        }
    }
    if (parked_at >= 0) {
        /* 7. The parked cursors come back. */
        undo_made();
        if (records[0] == nullptr &&
            (records[0] = tdb_get_table(table, physical, trans, &servers, 0)) == nullptr) {
            const int code = tdb_errno;
            undo_dup();
            tdb_errno = code;
            return -1;
        }
        tdb_cursor_use *primary = reuse_parked(records, nr_server, parked_at);
        undo_dup();
        if (primary == nullptr)
            return -1;
        tdb_instance *kept = primary->instance;
        if (kept != nullptr) {
            kept->bound = binds;
            kept->nr_binds = nr_binds;
            kept->logical = compnr;
        }
        *out = primary;
        return 0;
    }
    /* 6. All new. */
    tdb_cursor_use *primary = chain;
    if (std::strncmp(records[0]->name, table->code, 8) != 0)
        log_mesg(SRC, __LINE__, "Wrong table", 0, "Wrong table attached: srch %s found %s\n",
                 table->code, records[0]->name);
    try {
        instance->row.assign(static_cast<size_t>(table->row_length) + 2, 0);
    } catch (const std::bad_alloc &) {
        undo_made();
        undo_dup();
        tdb_errno = 501;
        return -1;
    }
    for (tdb_cursor_use *c = primary->next_copy; c; c = c->next_copy)
        c->primary = primary;
    for (tdb_cursor_use *c = instance->audit; c; c = c->next_audit)
        c->primary = primary;
    instance->read_cursor = choose_read_cursor(primary);
    instance->bound = binds;
    instance->nr_binds = nr_binds;
    instance.release();
    *out = primary;
    return 0;
}

int tdb_get_internal_cursor(tdb_cursor_use **out, tdb_handle *handle, int compnr)
{
    if (out != nullptr)
        *out = nullptr;
    if (out == nullptr || handle == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    for (tdb_cursor_use *c = handle->cursors; c; c = c->next_of_handle) {
        if (c->instance != nullptr && c->instance->logical == compnr) {
            *out = c;
            return 0;
        }
    }
    if (compnr < 0) {
        tdb_errno = 519;
        return -1;
    }
    void *binds = handle->nr_binds == 0 ? handle->row : static_cast<void *>(handle->binds.data());
    tdb_cursor_use *cursor = nullptr;
    if (tdb_open_internal(&cursor, handle->table, compnr, binds, handle->nr_binds,
                          handle->trans) != 0)
        return -1;
    if (tdb_info.references_disabled && cursor->instance != nullptr)
        cursor->instance->ref_progress = -1;
    cursor->handle = handle;
    cursor->next_of_handle = handle->cursors;
    handle->cursors = cursor;
    *out = cursor;
    return 0;
}

int tdb_start_drivers_for_table(const char *name, int compnr, unsigned int trans_id)
{
    if (tdb_start() != 0)
        return -1;
    tdb_trans *trans = tdb_get_trans_by_id(trans_id);
    if (trans == nullptr)
        return -1;
    const _dd_table *table = name != nullptr ? ddtable(name) : nullptr;
    if (table == nullptr) {
        log_mesg(SRC, __LINE__, "No DD", 0, "No DD found for %s", name != nullptr ? name : "");
        tdb_errno = 513;
        return -1;
    }
    if (compnr < 0 || compnr > 999) {
        tdb_errno = 519;
        return -1;
    }
    const int physical = compnrLogicToPhysic(compnr_data_of(table), compnr);
    dd_tabledef servers{};
    if (client_get_tabledef(table->code, physical, &servers) != 0 || servers.nr_server <= 0) {
        tdb_errno = 505;
        return -1;
    }
    for (int i = 0; i < servers.nr_server && i < DD_MAX_SERVERS; ++i)
        if (tdb_get_table(table, physical, trans, &servers, i) == nullptr) {
            tdb_errno = 505;
            return -1;
        }
    return 0;
}

int tdb_attach_cursor(tdb_cursor_use *cursor)
{
    if (tdb_cursor_check(cursor) != 0)
        return -1;
    if (cursor->compnr > 999 || cursor->compnr < 0) {
        log_mesg(SRC, __LINE__, "Wrong Compnr", 0, "Wrong compnr %d for '%s'.", cursor->compnr,
                 cursor->table != nullptr ? cursor->table->name : "");
        tdb_errno = 519;
        return -1;
    }
    cursor->attached = 1;
    return 0;
}

int tdb_detach_cursor(tdb_cursor_use *cursor)
{
    if (cursor == nullptr)
        return 0;
    if (cursor->instance != nullptr && cursor->instance->dup != nullptr) {
        tdb_duplicate *dup = cursor->instance->dup;
        if (dup->updates != nullptr)
            rds_reset(dup->updates, 1);
        if (dup->refcnts != nullptr)
            rds_reset(dup->refcnts, 1);
    }
    cursor->attached = 0;
    return 0;
}

int tdb_cursor_check(const tdb_cursor_use *cursor)
{
    if (cursor == nullptr || cursor->mark != TDB_CURSOR_VALID) {
        tdb_errno = 509;
        return -1;
    }
    return 0;
}
