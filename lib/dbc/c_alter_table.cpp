/*
 * c_alter_table.cpp: the alter-table check of the tdb API: compares the
 * current and the new dictionary definition of a table, classifies the
 * differences and lets the database drivers change the table in place
 * (tdb_alter_table and its steps).
 */
#include "c_alter_table.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "al_log.h"
#include "c_commu.h"
#include "c_open.h"
#include "c_standin.h"
#include "c_state.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_commu.h"
#include "tdb_dd_chk.h"
#include "yy_expr.h"

static const char SRC[] = "lib/dbc/c_alter_table.cpp";

namespace {

constexpr int kActionCheck = TDB_ALTER_CHECK;
constexpr int kNrRows = 8;          /* table action nr_rows */
constexpr int kCommitNotActive = 5; /* database action trans_not_active */
constexpr int kAbortTrans = 3;      /* database action abort_trans */
constexpr long kForgetDefinition = 8; /* server request: forget a table's definitions */

/* The field name of a column: the part after the point of its full name. */
std::string_view field_of(const _dd_column *column)
{
    std::string_view name(column->name, strnlen(column->name, sizeof column->name));
    const size_t point = name.find('.');
    return point == std::string_view::npos ? name : name.substr(point + 1);
}

/* Whether a column takes part in the comparison: stored and not combined. */
bool compared(const _dd_column *column)
{
    return column != nullptr && column->type != TDB_COMBINED &&
           (column->flags & DD_COL_NOT_IN_DB) == 0;
}

/* The column of the same field name in table when it takes part in the
 * comparison there, else null (absent). */
const _dd_column *counterpart(const _dd_table *table, const _dd_column *column)
{
    const std::string field(field_of(column));
    const _dd_column *other = ddcolumn_by_ddtable(table, field.c_str());
    return compared(other) ? other : nullptr;
}

bool is_string_type(int base)
{
    return base == TDB_STRING || base == TDB_MBSTRING;
}

/* The CO attribute character of a string domain. */
char case_attribute(const _dd_domain *domain)
{
    return static_cast<char>(domain->word.value);
}

bool has_range(const _dd_domain *domain)
{
    return domain->range != nullptr ||
           (domain->range_text != nullptr && domain->range_text[0] != '\0');
}

/* Whether two domains have the same range expression: the compiled blocks
 * token by token when both are compiled, else the texts. */
bool same_range(const _dd_domain *a, const _dd_domain *b)
{
    if (a->range != nullptr && b->range != nullptr)
        return yy_expr_compare(static_cast<const char *>(a->range),
                               static_cast<const char *>(b->range)) == 0;
    const char *ta = a->range_text != nullptr ? a->range_text : "";
    const char *tb = b->range_text != nullptr ? b->range_text : "";
    return a->range == nullptr && b->range == nullptr && std::strcmp(ta, tb) == 0;
}

/* Marks a classified added or dropped column. */
void classify(const _dd_column *column, bool *utc_change, bool *other_change)
{
    if (field_of(column) == "rcd_utc")
        *utc_change = true;
    else
        *other_change = true;
}

/* The characters of a TSS text: one byte, or 0x9B with three more. */
size_t tss_char_length(const unsigned char *p)
{
    if (p[0] == 0x9B && p[1] != 0 && p[2] != 0 && p[3] != 0)
        return 4;
    return 1;
}

/* Whether the character at c (length n) occurs in the TSS text b. */
bool tss_contains(const unsigned char *b, const unsigned char *c, size_t n)
{
    while (*b != 0) {
        const size_t m = tss_char_length(b);
        if (m == n && std::memcmp(b, c, n) == 0)
            return true;
        b += m;
    }
    return false;
}

/* The flattened stored columns of a key into out (DD_MAX_KEY_PARTS + 1
 * entries); the count, or -1. */
int key_columns(const _dd_key *key, _dd_column **out)
{
    return list_columns(key->parts, out, DD_MAX_KEY_PARTS + 1);
}

bool same_key(const _dd_key *a, const _dd_key *b)
{
    if (a->keynr != b->keynr || a->attr_a != b->attr_a || a->attr_du != b->attr_du)
        return false;
    if (a->attr_a == 0)
        return true;
    std::vector<_dd_column *> ca(DD_MAX_KEY_PARTS + 1), cb(DD_MAX_KEY_PARTS + 1);
    const int na = key_columns(a, ca.data());
    const int nb = key_columns(b, cb.data());
    if (na < 0 || nb < 0 || na != nb)
        return false;
    for (int i = 0; i < na; ++i)
        if (std::strncmp(ca[i]->name, cb[i]->name, sizeof ca[i]->name) != 0)
            return false;
    return true;
}

tdb_trans *trans_of(const tdb_cursor_use *cursor)
{
    if (cursor == nullptr || cursor->table == nullptr || cursor->table->session == nullptr)
        return nullptr;
    return cursor->table->session->trans;
}

/*
 * Whether the stored table holds no rows or does not exist: the answer
 * that lets a default value outside its domain pass (nothing would
 * receive it). Runs trans_not_active on the transaction, nr_rows on the
 * table and ends the transaction again when it was opened here.
 */
bool table_is_empty(tdb_handle *handle, int compnr, tdb_cursor_use *cursor)
{
    tdb_trans *trans = trans_of(cursor);
    const unsigned int trans_id =
        static_cast<unsigned int>(trans != nullptr ? trans->id : handle->trans->id);
    const bool opened = tdb_exec_db(kCommitNotActive, trans_id) == 0;
    if (!opened)
        tdb_errno = 203;
    int rows = 0;
    const int rc = tdb_exec_table(handle, kNrRows, &rows, compnr);
    const int code = tdb_errno;
    const bool empty = (rc != 0 && code == E_TDB_NO_TABLE) || (rc == 0 && rows == 0);
    if (opened)
        tdb_exec_db(kAbortTrans, trans_id);
    tdb_errno = empty ? 0 : (rc != 0 ? code : E_TDB_OUT_OF_RANGE);
    return empty;
}

} // namespace

/* ---- type families ------------------------------------------------------------------------- */

int getBaseTDBType(int type)
{
    return dd_base_type(type);
}

int isSubTDBType(int old_base, int new_base)
{
    switch (old_base) {
    case TDB_BYTE:
        return new_base == TDB_INTEGER || new_base == TDB_LONG || new_base == TDB_FLOAT ||
               new_base == TDB_DOUBLE;
    case TDB_INTEGER:
        return new_base == TDB_LONG || new_base == TDB_FLOAT || new_base == TDB_DOUBLE;
    case TDB_LONG:
    case TDB_FLOAT:
        return new_base == TDB_DOUBLE;
    default:
        return 0;
    }
}

int isCharSubSet(const char *a, const char *b)
{
    if (a == nullptr || a[0] == '\0')
        return 1;
    if (b == nullptr || b[0] == '\0')
        return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(a);
    const auto *q = reinterpret_cast<const unsigned char *>(b);
    while (*p != 0) {
        const size_t n = tss_char_length(p);
        if (!tss_contains(q, p, n))
            return 0;
        p += n;
    }
    return 1;
}

/* ---- the comparison ------------------------------------------------------------------------ */

void alterTableInfoInit(struct tdb_alter_info *info)
{
    if (info != nullptr)
        *info = tdb_alter_info{};
}

int checkColumnChanges(const struct _dd_column *current, const struct _dd_column *new_column,
                       const unsigned char *default_row, int ignore_domain,
                       struct tdb_alter_info *info)
{
    bool check = false, conversion = false, changed = false;

    /* 1. A column that becomes mandatory. */
    if (!ignore_domain && (current->flags & DD_COL_MANDATORY) == 0 &&
        (new_column->flags & DD_COL_MANDATORY) != 0)
        check = true;

    /* 2. Element counts; added elements receive the default value. */
    if (current->elements != new_column->elements) {
        changed = true;
        if (!ignore_domain && new_column->elements > current->elements && default_row != nullptr &&
            !tdb_dd_check_column(new_column, default_row)) {
            tdb_errno = E_TDB_OUT_OF_RANGE;
            return -1;
        }
    }

    const _dd_domain *od = current->domain;
    const _dd_domain *nd = new_column->domain;
    /* 3. The same domain record: nothing more to compare. */
    if (od != nd && od != nullptr && nd != nullptr) {
        const int ob = getBaseTDBType(current->type);
        const int nb = getBaseTDBType(new_column->type);
        /* 4. Base types. */
        if (ob != nb) {
            changed = true;
            if (!isSubTDBType(ob, nb) && !(is_string_type(ob) && is_string_type(nb)))
                conversion = true;
        }
        if (is_string_type(nb) && is_string_type(ob)) {
            /* 5. String to string: width, case and alignment, characters. */
            if (od->width != nd->width)
                changed = true;
            if ((case_attribute(nd) != 0 && case_attribute(nd) != case_attribute(od)) ||
                (nd->attr != 0 && nd->attr != od->attr))
                conversion = true;
            if (!ignore_domain) {
                const char *old_legal = "", *old_illegal = "";
                const char *new_legal = "", *new_illegal = "";
                extract_dom_attributes(od, &old_legal, &old_illegal, nullptr, nullptr, nullptr);
                extract_dom_attributes(nd, &new_legal, &new_illegal, nullptr, nullptr, nullptr);
                if (new_legal[0] != '\0' && !isCharSubSet(old_legal, new_legal))
                    check = true;
                if (new_illegal[0] != '\0' && !isCharSubSet(new_illegal, old_illegal))
                    check = true;
            }
        } else if (is_string_type(nb)) {
            /* 6. Something else becomes a string. */
            if (case_attribute(nd) != 0 || nd->attr != 0)
                conversion = true;
            if (!ignore_domain) {
                const char *new_legal = "", *new_illegal = "";
                extract_dom_attributes(nd, &new_legal, &new_illegal, nullptr, nullptr, nullptr);
                if (new_legal[0] != '\0' || new_illegal[0] != '\0')
                    check = true;
            }
        } else if (ob == TDB_RAW && nb == TDB_RAW) {
            /* 7. Raw widths. */
            if (od->width != nd->width)
                changed = true;
        }
        /* 8. Range expressions. */
        if (!ignore_domain && has_range(nd)) {
            if (!(has_range(od) && !conversion && same_range(od, nd)))
                check = true;
        }
    }

    /* 9. Into the change record. */
    if (changed)
        info->columns_changed = 1;
    if (check)
        info->data_check = 1;
    if (conversion)
        info->conversion = 1;
    return 0;
}

int checkSchemaChanges(const struct _dd_table *current, const struct _dd_table *new_table,
                       int ignore_domain, struct tdb_alter_info *info)
{
    bool utc_change = false, other_change = false;

    /* 1. The first dropped column. */
    if (!info->columns_changed) {
        for (int i = 0; i < current->nr_columns; ++i) {
            const _dd_column *c = &current->columns[i];
            if (!compared(c) || counterpart(new_table, c) != nullptr)
                continue;
            info->columns_changed = 1;
            classify(c, &utc_change, &other_change);
            break;
        }
    }

    /* 2. Added and kept columns. */
    for (int i = 0; i < new_table->nr_columns; ++i) {
        const _dd_column *n = &new_table->columns[i];
        if (!compared(n))
            continue;
        const _dd_column *c = counterpart(current, n);
        if (c != nullptr) {
            if (checkColumnChanges(c, n, new_table->default_row, ignore_domain, info) != 0)
                return -1;
            continue;
        }
        if (!ignore_domain && new_table->default_row != nullptr &&
            !tdb_dd_check_column(n, new_table->default_row)) {
            tdb_errno = E_TDB_OUT_OF_RANGE;
            return -1;
        }
        info->columns_changed = 1;
        classify(n, &utc_change, &other_change);
    }

    /* 3. Only rcd_utc came or went. */
    if (utc_change && !other_change)
        info->only_rcd_utc = 1;
    return 0;
}

int checkIndexChanges(const struct _dd_key *current, int current_count,
                      const struct _dd_key *new_keys, int new_count,
                      struct tdb_alter_info *info)
{
    if (current_count != new_count) {
        info->indexes_changed = 1;
        return 0;
    }
    for (int i = 0; i < current_count; ++i) {
        if (!same_key(&current[i], &new_keys[i])) {
            info->indexes_changed = 1;
            break;
        }
    }
    return 0;
}

int checkDDChanges(const char *table, int ignore_domain, struct tdb_alter_info *info)
{
    if (table == nullptr || info == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    init_dd_mode(3);
    const _dd_table *new_table = ddtable(table);
    init_dd_mode(1);
    const _dd_table *current = ddtable(table);
    if (new_table == nullptr || current == nullptr) {
        tdb_errno = E_DD_NOT_FOUND;
        return -1;
    }
    if (checkSchemaChanges(current, new_table, ignore_domain, info) != 0)
        return -1;
    return checkIndexChanges(current->keys, current->nr_keys, new_table->keys, new_table->nr_keys,
                             info);
}

/* ---- the drivers --------------------------------------------------------------------------- */

long executeAlterTable(tdb_cursor_use *cursor, int action)
{
    if (cursor == nullptr || cursor->table == nullptr || cursor->table->dd_entry == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    const auto *table = static_cast<const _dd_table *>(cursor->table->dd_entry);
    long answer = 0;
    for (tdb_cursor_use *c = cursor; c != nullptr; c = c->next_copy) {
        if (!c->attached && tdb_attach_cursor(c) != 0)
            return -1;
        answer = dbcSessionAlterTable(c->table->session, table->code, c->compnr, action);
        if (answer != 0)
            break;
    }
    return answer;
}

int invalidateServerDD(const struct _dd_table *table, int compnr, unsigned int trans_id)
{
    if (table == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    if (tdb_start_drivers_for_table(table->code, compnr, trans_id) != 0)
        return -1;
    const long length = static_cast<long>(strnlen(table->code, sizeof table->code));
    if (tdb_exec_server(kForgetDefinition, table->code, length, trans_id) == -1)
        return -1;
    return 0;
}

int tdb_alter_table(struct tdb_handle *handle, short compnr, int ignore_domain, int action)
{
    /* 1. The API. */
    if (tdb_start() != 0)
        return -1;
    if (handle == nullptr || handle->table == nullptr || handle->trans == nullptr) {
        tdb_errno = 102;
        return -1;
    }
    const _dd_table *table = handle->table;

    /* 2. The company. */
    int company = compnr == -1 ? static_cast<int>(handle->default_compnr) : compnr;
    if (static_cast<unsigned short>(company) > 999) {
        log_mesg(SRC, __LINE__, "Wrong Compnr", 0, "Wrong compnr %d for '%s'.",
                 static_cast<int>(static_cast<unsigned short>(company)), table->code);
        tdb_errno = 519;
        return -1;
    }
    company = static_cast<unsigned short>(company);

    /* 3. The company cursor. */
    tdb_cursor_use *cursor = nullptr;
    if (tdb_get_internal_cursor(&cursor, handle, company) != 0)
        return -1;

    /* 4. Permission to alter. */
    if (action != kActionCheck && tdb_action_allowed(cursor, TDB_ALTER_TABLE, nullptr) != 0) {
        set_tdb_msg(0, "Unallowed operation (%s) on '%s'", "alter_table", table->code);
        log_mesg(SRC, __LINE__, "check_perm", 0, "Unallowed operation (%s) on '%s'",
                 "alter_table", table->code);
        if (tdb_errno == 0)
            tdb_errno = 208;
        return -1;
    }

    /* 5. The comparison, quietly: an expected 205 leaves no log entry. */
    tdb_alter_info info;
    alterTableInfoInit(&info);
    al_disable_log_mesg();
    int rc = checkDDChanges(table->code, ignore_domain, &info);
    al_enable_log_mesg();

    /* 6. A default value outside its domain matters only when rows would
     * receive it. */
    if (rc != 0 && tdb_errno == E_TDB_OUT_OF_RANGE) {
        if (table_is_empty(handle, company, cursor))
            ignore_domain = 1;
        alterTableInfoInit(&info);
    }

    /* 7. Once more with logging on. */
    if (rc != 0) {
        alterTableInfoInit(&info);
        if (checkDDChanges(table->code, ignore_domain, &info) != 0)
            return -1;
    }

    /* 8. The decision. */
    if (info.data_check || info.conversion)
        return TDB_ALTER_CONVERT;
    if (info.columns_changed) {
        const bool audited = cursor->instance != nullptr && cursor->instance->audit != nullptr;
        if ((audited && !info.only_rcd_utc) || cursor->next_copy != nullptr)
            return TDB_ALTER_CONVERT;
        return static_cast<int>(executeAlterTable(cursor, action));
    }
    if (info.indexes_changed) {
        if (action == kActionCheck)
            return TDB_ALTER_IN_PLACE;
        return static_cast<int>(executeAlterTable(cursor, action));
    }
    if (action == kActionCheck)
        return TDB_ALTER_NOTHING;
    if (invalidateServerDD(table, company, static_cast<unsigned int>(handle->trans->id)) != 0)
        return -1;
    return TDB_ALTER_NOTHING;
}
