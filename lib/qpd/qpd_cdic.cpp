/*
 * qpd_cdic.cpp: the dictionary cache and everything that works on loaded
 * records: set-up and dictionary mode, the type table, table, column,
 * domain, enum and reference lookups, key extraction, filling and
 * comparison, default values. Loading the files is qpd_ldic.cpp.
 */
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "al_float.h"
#include "al_log.h"
#include "al_mem.h"
#include "qpd_internal.h"
#include "tss.h"

#define SRC "lib/qpd/qpd_cdic.cpp"

struct dd_info dd_info = {};

/* ---- types ----------------------------------------------------------------- */

const struct dd_type_def dd_type_table[16] = {
    {'b', TDB_BYTE, 1},    {'B', TDB_BYTE, 1},     {'i', TDB_INTEGER, 2},
    {'l', TDB_LONG, 4},    {'f', TDB_FLOAT, 4},    {'d', TDB_DOUBLE, 8},
    {'s', TDB_STRING, 0},  {'t', TDB_DATE, 4},     {'k', TDB_TIME, 4},
    {'u', TDB_TEXT, 4},    {'v', TDB_LONG_V, 4},   {'e', TDB_ENUM, 1},
    {'p', TDB_SET, 4},     {'c', TDB_COMBINED, 0}, {'m', TDB_MBSTRING, 4},
    {'r', TDB_RAW, 0},
};

const struct dd_type_def *dd_type_from_letter(char letter)
{
    for (const auto &row : dd_type_table)
        if (row.letter == letter)
            return &row;
    return nullptr;
}

int dd_base_type(int type)
{
    switch (type) {
    case TDB_TEXT:
    case TDB_LONG_V:
    case TDB_SET:
        return TDB_LONG;
    case TDB_ENUM:
        return TDB_BYTE;
    default:
        return type;
    }
}

const char *dd_domain_attr(const struct _dd_domain *domain, int index)
{
    if (!domain || !domain->attrs || index < 0 || index > DD_ATTR_DM)
        return "";
    const char *p = domain->attrs;
    for (int i = 0; i < index; i++)
        p += strlen(p) + 1;
    return p;
}

void extract_dom_attributes(const struct _dd_domain *domain, const char **legal,
                            const char **illegal, const char **output,
                            const char **input_format, const char **display_mask)
{
    const char **out[] = {legal, illegal, output, input_format, display_mask};
    for (int i = DD_ATTR_L; i <= DD_ATTR_DM; i++)
        if (out[i] != nullptr)
            *out[i] = dd_domain_attr(domain, i);
}

/* ---- error seam, memory ------------------------------------------------------ */

static int qpd_errno_value;
static void (*error_hook)(int);

void qpd_set_error_hook(void (*hook)(int code)) { error_hook = hook; }
int qpd_get_errno(void) { return qpd_errno_value; }
void qpd_clear_errno(void) { qpd::set_error(0); }

namespace qpd {

void set_error(int code)
{
    qpd_errno_value = code;
    if (error_hook)
        error_hook(code);
}

static std::vector<void *> *tracked_allocations;

/* The runtime allocator with its default flags, as a plain allocation
 * function for the dictionary's allocator slot. */
static void *runtime_alloc(size_t size)
{
    return mal_allocater(size);
}

void *alloc_zeroed(size_t size)
{
    void *(*alloc)(size_t) = dd_info.alloc ? dd_info.alloc : runtime_alloc;
    void *p = alloc(size ? size : 1);
    if (p) {
        memset(p, 0, size ? size : 1);
        if (tracked_allocations)
            tracked_allocations->push_back(p);
    }
    return p;
}

std::vector<void *> *track_allocations(std::vector<void *> *list)
{
    std::vector<void *> *previous = tracked_allocations;
    tracked_allocations = list;
    return previous;
}

char *save_string(std::string_view text)
{
    char *p = static_cast<char *>(alloc_zeroed(text.size() + 1));
    if (p)
        memcpy(p, text.data(), text.size());
    return p;
}

std::string_view field_of(std::string_view name)
{
    size_t dot = name.find('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

std::string_view strip(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' ||
                             text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

unsigned short ref_mode_from_code(std::string_view code)
{
    unsigned short mode = 0;
    if (code.empty())
        return 3;
    mode = code[0] == '0' ? 1 : code[0] == '1' ? 2 : 3;
    if (code.size() > 1) {
        switch (code[1]) {
        case 'c': mode += 8; break;
        case 'n': mode += 12; break;
        case 'r': mode += 4; break;
        case 't': mode += 16; break;
        default: mode += 20; break;
        }
    }
    if (code.size() > 2) {
        switch (code[2]) {
        case 'c': mode += 64; break;
        case 'n': mode += 96; break;
        case 'r': mode += 32; break;
        case 't': mode += 128; break;
        default: mode += 160; break;
        }
    }
    if (code.size() > 3 && code[3] == '0')
        mode += 0x100;
    if (code.size() > 4 && code[4] == '1')
        mode += 0x1000;
    return mode;
}

/* ---- caches ------------------------------------------------------------------- */

/* Both caches hold, per code, every record loaded (one per dictionary mode). */
using TableCache = std::unordered_map<std::string, std::vector<_dd_table *>>;
using DomainCache = std::unordered_map<std::string, std::vector<_dd_domain_list *>>;

/* Dictionary records live for the whole process, so the caches are never
 * destroyed (not even at exit, where records may still be in use). */
static TableCache &tables()
{
    static auto *cache = new TableCache;
    return *cache;
}
static DomainCache &domain_lists()
{
    static auto *cache = new DomainCache;
    return *cache;
}

static _dd_table *memo_table;
static _dd_domain_list *memo_domain_list;

void forget_memos()
{
    memo_table = nullptr;
    memo_domain_list = nullptr;
}

int selected_bits() { return (dd_info.flags & DD_NEW) ? DD_NEW : DD_CURRENT; }

void reset_caches()
{
    tables().clear();
    domain_lists().clear();
    forget_memos();
    forget_spare_table();
}

/*
 * The record of a key in one dictionary (mode bits), remembering the last
 * one found: lookups of the same table or package follow each other.
 */
template <typename Record, typename Cache>
static Record *cache_find(Cache &cache, Record *&memo, std::string_view key,
                          const char *memo_key, int mode_bits)
{
    if (memo && memo->mode_bits == mode_bits && key == std::string_view(memo_key))
        return memo;
    auto it = cache.find(std::string(key));
    if (it == cache.end())
        return nullptr;
    for (Record *r : it->second)
        if (r->mode_bits == mode_bits) {
            memo = r;
            return r;
        }
    return nullptr;
}

_dd_table *cache_find_table(std::string_view code, int mode_bits)
{
    return cache_find(tables(), memo_table, code,
                      memo_table ? memo_table->code : "", mode_bits);
}

void cache_link_table(_dd_table *table) { tables()[table->code].push_back(table); }

void cache_unlink_table(_dd_table *table)
{
    auto it = tables().find(table->code);
    if (it != tables().end())
        std::erase(it->second, table);
    if (memo_table == table)
        memo_table = nullptr;
}

_dd_domain_list *cache_find_domain_list(std::string_view package, int mode_bits)
{
    return cache_find(domain_lists(), memo_domain_list, package,
                      memo_domain_list ? memo_domain_list->package : "", mode_bits);
}

void cache_link_domain_list(_dd_domain_list *list)
{
    domain_lists()[list->package].push_back(list);
}

/* ---- built-in domains ----------------------------------------------------------- */

static _dd_domain *make_builtin(const char *name, int type, int width, int digits)
{
    /* Made once for the process: never part of one table's load. */
    std::vector<void *> *outer = track_allocations(nullptr);
    auto *d = static_cast<_dd_domain *>(alloc_zeroed(sizeof(_dd_domain)));
    track_allocations(outer);
    snprintf(d->name, sizeof d->name, "%s", name);
    d->type = static_cast<unsigned char>(type);
    d->width = static_cast<short>(width);
    d->digits_before = static_cast<unsigned char>(digits);
    d->display_width = static_cast<short>(digits);
    d->attrs = dd_info.empty_attrs;
    d->range_text = "";
    strcpy(d->package, "__");
    return d;
}

_dd_domain *builtin_dlock()
{
    static _dd_domain *d = make_builtin("Dom.dlock", TDB_LONG, 4, 11);
    return d;
}

_dd_domain *builtin_compnr()
{
    static _dd_domain *d = make_builtin("Dom.compnr", TDB_INTEGER, 2, 6);
    return d;
}

void make_extra_columns(_dd_table *table, _dd_column *columns)
{
    _dd_column &dlock = columns[0];
    dlock.domain = builtin_dlock();
    dlock.offset = table->data_length;
    dlock.length = 4;
    dlock.elements = 1;
    dlock.type = TDB_LONG;
    dlock.flags = DD_COL_NOT_IN_DB;
    snprintf(dlock.name, sizeof dlock.name, "%s._dlock", table->code);
    _dd_column &compnr = columns[1];
    compnr.domain = builtin_compnr();
    compnr.offset = static_cast<unsigned short>(table->data_length + 4);
    compnr.length = 2;
    compnr.elements = 1;
    compnr.type = TDB_INTEGER;
    compnr.flags = DD_COL_NOT_IN_DB;
    snprintf(compnr.name, sizeof compnr.name, "%s._compnr", table->code);
}

} // namespace qpd

using namespace qpd;

/* ---- set-up and mode ------------------------------------------------------------ */

static const char empty_attr_block[5] = {0, 0, 0, 0, 0};

int init_local_dd(void)
{
    dd_info.flags = DD_LOCAL | DD_CURRENT;
    dd_info.alloc = runtime_alloc;
    dd_info.empty_attrs = empty_attr_block;
    dd_info.last_from_new = 0;
    dd_info.table_hash = &tables();
    dd_info.domain_hash = &domain_lists();
    tables().reserve(911);
    domain_lists().reserve(19);
    forget_memos();
    return 0;
}

int init_global_dd(void *(*alloc)(size_t))
{
    if (!alloc)
        return -1;
    if (!alloc(sizeof(struct dd_info)))
        return -1;
    dd_info.flags = DD_GLOBAL | DD_CURRENT;
    dd_info.alloc = alloc;
    dd_info.empty_attrs = empty_attr_block;
    dd_info.table_hash = &tables();
    dd_info.domain_hash = &domain_lists();
    tables().reserve(32);
    domain_lists().reserve(8);
    forget_memos();
    return 0;
}

int init_dd_mode(int mode)
{
    forget_memos();
    switch (mode) {
    case 1:
        dd_info.flags = (dd_info.flags & ~DD_NEW) | DD_CURRENT;
        return 0;
    case 3:
        dd_info.flags = (dd_info.flags & ~DD_CURRENT) | DD_NEW;
        return 0;
    case 4:
        dd_info.flags |= DD_LOAD_REFS;
        return 0;
    default:
        log_mesg(SRC, __LINE__, "Illegal DD mode", 0, "\nIllegal dd_mode %d set.", mode);
        return -1;
    }
}

int get_dd_mode(void)
{
    if (dd_info.flags & DD_NEW)
        return 3;
    if (dd_info.flags & DD_CURRENT)
        return 1;
    return 0;
}

/* ---- table and column lookups ---------------------------------------------------- */

static bool valid_table_code(const char *code)
{
    if (!code || !*code || *code == ' ')
        return false;
    size_t n = strnlen(code, 9);
    return n == 8 && !memchr(code, '.', 8);
}

struct _dd_table *ddtable_local(const char *code)
{
    if (!valid_table_code(code) || !dd_info.flags)
        return nullptr;
    return cache_find_table(std::string_view(code, 8), selected_bits());
}

struct _dd_table *local_ddtable(const char *code) { return ddtable_local(code); }

struct _dd_table *ddtable(const char *code)
{
    if (!(dd_info.flags & (DD_LOCAL | DD_GLOBAL))) {
        fputs("local_DD uninitialized (call init_local_dd)\n", stderr);
        return nullptr;
    }
    if (!valid_table_code(code))
        return nullptr;
    if (_dd_table *t = ddtable_local(code))
        return t;
    return load_table(code);
}

/* 5 letters, 3 digits, a point, a letter or underscore, 1-7 of letters,
 * digits, points or underscores. */
static bool valid_column_name(const char *name)
{
    if (!name)
        return false;
    size_t n = strnlen(name, 18);
    if (n < 11 || n > 17)
        return false;
    for (int i = 0; i < 5; i++)
        if (!isalpha(static_cast<unsigned char>(name[i])))
            return false;
    for (int i = 5; i < 8; i++)
        if (!isdigit(static_cast<unsigned char>(name[i])))
            return false;
    if (name[8] != '.')
        return false;
    if (!isalpha(static_cast<unsigned char>(name[9])) && name[9] != '_')
        return false;
    for (size_t i = 10; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (!isalnum(c) && c != '.' && c != '_')
            return false;
    }
    return true;
}

/* Binary search of an array sorted by the field part of its names (a
 * table's columns, its references); null when absent. */
namespace {
template <typename T, typename NameOf>
T *find_by_field(T *items, int count, std::string_view want, NameOf name_of)
{
    int lo = 0, hi = count - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const int c = want.compare(field_of(name_of(items[mid])));
        if (c == 0)
            return &items[mid];
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return nullptr;
}
} // namespace

struct _dd_column *ddcolumn_by_ddtable(const struct _dd_table *table, const char *field)
{
    if (!table || !field || !table->columns)
        return nullptr;
    return find_by_field(table->columns, table->nr_columns, field_of(field),
                         [](const _dd_column &c) { return c.name; });
}

struct _dd_column *ddcolumn(const char *name)
{
    if (!valid_column_name(name))
        return nullptr;
    char code[9];
    memcpy(code, name, 8);
    code[8] = 0;
    _dd_table *t = ddtable(code);
    return t ? ddcolumn_by_ddtable(t, name + 9) : nullptr;
}

struct _dd_table *ddtable_from_columnname(const char *name)
{
    if (!name || strnlen(name, 9) < 8)
        return nullptr;
    char code[9];
    memcpy(code, name, 8);
    code[8] = 0;
    return ddtable(code);
}

char *ddtablename_from_columnname(const char *name, char *out)
{
    static char buffer[9];
    if (!out)
        out = buffer;
    out[0] = 0;
    if (name) {
        size_t n = strnlen(name, 8);
        memcpy(out, name, n);
        out[n] = 0;
    }
    return out;
}

char *ddtablename_from_column(const struct _dd_column *column, char *out)
{
    return ddtablename_from_columnname(column ? column->name : nullptr, out);
}

/* ---- domains ------------------------------------------------------------------------ */

static _dd_domain *search_domain(const _dd_domain_list *list, std::string_view name)
{
    if (!list)
        return nullptr;
    int lo = 0, hi = list->count - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = name.compare(list->domains[mid].name);
        if (c == 0)
            return &list->domains[mid];
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return nullptr;
}

struct _dd_domain *dddomain(const char *name)
{
    if (!name || strnlen(name, 3) < 3)
        return nullptr;
    return search_domain(cache_find_domain_list(std::string_view(name, 2), selected_bits()),
                         name + 2);
}

struct _dd_domain *dddomain_with_read(const char *name)
{
    if (!name || strnlen(name, 3) < 3)
        return nullptr;
    _dd_domain_list *list = cache_find_domain_list(std::string_view(name, 2), selected_bits());
    if (!list)
        list = read_domain_list(name);
    return search_domain(list, name + 2);
}

static const _dd_enum_entry *find_keyword(const _dd_domain *d, std::string_view keyword)
{
    if (!d->word.enums)
        return nullptr;
    const _dd_enum_list *l = d->word.enums;
    for (int i = 0; i < l->count; i++)
        if (keyword == l->entries[i].keyword)
            return &l->entries[i];
    return nullptr;
}

struct _dd_domain *dddomain_from_enum_keyw(const char *text, int *value)
{
    if (!text)
        return nullptr;
    std::string s(text);
    for (size_t dot = s.rfind('.'); dot != std::string::npos && dot > 0;
         dot = s.rfind('.', dot - 1)) {
        std::string domain_name = s.substr(0, dot);
        _dd_domain *d = dddomain_with_read(domain_name.c_str());
        if (!d || (d->type != TDB_ENUM && d->type != TDB_SET))
            continue;
        const _dd_enum_entry *e = find_keyword(d, std::string_view(s).substr(dot + 1));
        if (!e)
            return nullptr;
        if (value)
            *value = e->value;
        return d;
    }
    return nullptr;
}

struct _dd_enum_list *get_enum_def(const struct _dd_domain *domain, char language)
{
    if (!domain)
        return nullptr;
    if (domain->type == TDB_ENUM || domain->type == TDB_SET)
        for (_dd_enum_list *l = domain->word.enums; l; l = l->next)
            if (l->language == language)
                return l;
    log_mesg(SRC, __LINE__, "get_enum_def", 0, "Language %c error in domain '%s'",
             language, domain->name);
    return nullptr;
}

char *dddomainname_from_domain(const struct _dd_domain *domain, char *out)
{
    static char buffer[16];
    if (!out)
        out = buffer;
    out[0] = 0;
    if (domain)
        snprintf(out, 15, "%.2s%s", domain->package, domain->name);
    return out;
}

/* ---- references ------------------------------------------------------------------------ */

struct _dd_ref *ddfrom_ref(const char *name)
{
    _dd_table *t = ddtable_from_columnname(name);
    if (!t)
        return nullptr;
    return find_by_field(t->refs, t->nr_refs, field_of(name),
                         [](const _dd_ref &r) { return r.column_name; });
}

struct _dd_ref_by *ddto_ref_list(const char *name, int *count)
{
    if (count)
        *count = 0;
    _dd_table *t = ddtable_from_columnname(name);
    if (!t || t->nr_ref_by == 0)
        return nullptr;
    if (count)
        *count = t->nr_ref_by;
    return t->ref_by;
}

static int route_from(_dd_table *from, std::string_view to, _dd_ref **route, int depth,
                      int max_depth, std::vector<std::string> &chain)
{
    if (depth >= max_depth)
        return -1;
    for (int i = 0; i < from->nr_refs; i++) {
        _dd_ref *r = &from->refs[i];
        std::string target(r->to_name, strnlen(r->to_name, 8));
        if (std::find(chain.begin(), chain.end(), target) != chain.end())
            continue;
        route[depth] = r;
        if (target == to)
            return depth + 1;
        _dd_table *next = ddtable(target.c_str());
        if (!next)
            continue;
        chain.push_back(target);
        int n = route_from(next, to, route, depth + 1, max_depth, chain);
        chain.pop_back();
        if (n > 0)
            return n;
    }
    return -1;
}

int ref_route(const char *from, const char *to, struct _dd_ref **route, int max_depth)
{
    if (!from || !to || !route || max_depth <= 0)
        return -1;
    _dd_table *t = ddtable(from);
    if (!t || strnlen(to, 9) != 8)
        return -1;
    std::vector<std::string> chain{std::string(t->code)};
    return route_from(t, std::string_view(to, 8), route, 0, max_depth, chain);
}

/* ---- keys and column lists ------------------------------------------------------------ */

struct _dd_key *key_desc(const struct _dd_table *table, int keynr)
{
    if (!table)
        return nullptr;
    for (int i = 0; i < table->nr_keys; i++)
        if (table->keys[i].keynr == keynr)
            return &table->keys[i];
    return nullptr;
}

struct _dd_column **search_key_parts(const struct _dd_table *table, int keynr)
{
    _dd_key *k = key_desc(table, keynr);
    return k ? k->parts : nullptr;
}

int is_key_part(struct _dd_column *const *parts, const struct _dd_column *column)
{
    if (!parts || !column)
        return 0;
    for (; *parts; parts++) {
        if (*parts == column)
            return 1;
        if ((*parts)->type == TDB_COMBINED && (*parts)->parts &&
            is_key_part((*parts)->parts, column))
            return 1;
    }
    return 0;
}

static bool add_stored(_dd_column *c, _dd_column **out, int max, int &n)
{
    if (c->type == TDB_COMBINED) {
        if (c->parts)
            for (_dd_column **p = c->parts; *p; p++)
                if (!add_stored(*p, out, max, n))
                    return false;
        return true;
    }
    if (c->flags & DD_COL_NOT_IN_DB)
        return true;
    if (n + 1 >= max)
        return false;
    out[n++] = c;
    return true;
}

int list_columns(struct _dd_column *const *parts, struct _dd_column **out, int max)
{
    if (!out || max < 1)
        return -1;
    int n = 0;
    if (parts)
        for (; *parts; parts++)
            if (!add_stored(*parts, out, max, n))
                return -1;
    out[n] = nullptr;
    return n;
}

static std::vector<_dd_column *> stored_by_offset(const _dd_table *table)
{
    std::vector<_dd_column *> v;
    for (int i = 0; i < table->nr_columns; i++) {
        _dd_column *c = &table->columns[i];
        if (c->type != TDB_COMBINED && !(c->flags & DD_COL_NOT_IN_DB))
            v.push_back(c);
    }
    std::stable_sort(v.begin(), v.end(),
                     [](const _dd_column *a, const _dd_column *b) { return a->offset < b->offset; });
    return v;
}

int list_all_columns(const struct _dd_table *table, struct _dd_column **out, int max)
{
    if (!out || max < 1 || !table)
        return -1;
    std::vector<_dd_column *> v = stored_by_offset(table);
    if (static_cast<int>(v.size()) + 1 > max)
        return -1;
    std::copy(v.begin(), v.end(), out);
    out[v.size()] = nullptr;
    return static_cast<int>(v.size());
}

int list_column_columns(struct _dd_column *column, struct _dd_column **out, int max)
{
    if (!out || max < 1 || !column)
        return -1;
    int n = 0;
    if (!add_stored(column, out, max, n))
        return -1;
    out[n] = nullptr;
    return n;
}

int list_index_columns(const struct _dd_key *key, struct _dd_column **out, int max)
{
    return key ? list_columns(key->parts, out, max) : -1;
}

struct _dd_column **sort_columns_by_offset(const struct _dd_table *table,
                                           struct _dd_column **out)
{
    if (!table)
        return nullptr;
    std::vector<_dd_column *> v = stored_by_offset(table);
    if (!out) {
        out = static_cast<_dd_column **>(mal_allocater((v.size() + 1) * sizeof *out));
        if (!out)
            return nullptr;
    }
    std::copy(v.begin(), v.end(), out);
    out[v.size()] = nullptr;
    return out;
}

/* ---- key extraction, filling ------------------------------------------------------------- */

static int part_length(const _dd_column *c)
{
    if (c->type == TDB_COMBINED && c->parts) {
        int n = 0;
        for (_dd_column **p = c->parts; *p; p++)
            n += part_length(*p);
        return n;
    }
    return c->length;
}

int tdb_max_key_size_of_table(const struct _dd_table *table)
{
    int largest = 0;
    if (!table)
        return 0;
    for (int k = 0; k < table->nr_keys; k++) {
        int n = 0;
        if (table->keys[k].parts)
            for (_dd_column **p = table->keys[k].parts; *p; p++)
                n += part_length(*p);
        largest = std::max(largest, n);
    }
    return largest;
}

unsigned char *tdb_extract_n_cols(unsigned char *keybuf, const unsigned char *row,
                                  struct _dd_column *const *parts, int n)
{
    if (!parts)
        return keybuf;
    for (int i = 0; i < n && i < DD_MAX_KEY_PARTS && parts[i]; i++) {
        const _dd_column *c = parts[i];
        if (c->type == TDB_COMBINED && c->parts) {
            keybuf = tdb_extract_cols(keybuf, row, c->parts);
            continue;
        }
        memcpy(keybuf, row + c->offset, c->length);
        keybuf += c->length;
    }
    return keybuf;
}

unsigned char *tdb_extract_cols(unsigned char *keybuf, const unsigned char *row,
                                struct _dd_column *const *parts)
{
    return tdb_extract_n_cols(keybuf, row, parts, DD_MAX_KEY_PARTS);
}

void tdb_extract_key(unsigned char *keybuf, const unsigned char *row, const struct _dd_key *key)
{
    if (key)
        tdb_extract_cols(keybuf, row, key->parts);
}

const unsigned char *tdb_fill_n_cols(unsigned char *row, const unsigned char *keybuf,
                                     struct _dd_column *const *parts, int n)
{
    if (!parts)
        return keybuf;
    for (int i = 0; i < n && i < DD_MAX_KEY_PARTS && parts[i]; i++) {
        const _dd_column *c = parts[i];
        if (c->type == TDB_COMBINED && c->parts) {
            keybuf = tdb_fill_cols(row, keybuf, c->parts);
            continue;
        }
        memcpy(row + c->offset, keybuf, c->length);
        keybuf += c->length;
    }
    return keybuf;
}

const unsigned char *tdb_fill_cols(unsigned char *row, const unsigned char *keybuf,
                                   struct _dd_column *const *parts)
{
    return tdb_fill_n_cols(row, keybuf, parts, DD_MAX_KEY_PARTS);
}

void tdb_fill_key(unsigned char *row, const unsigned char *keybuf, const struct _dd_key *key)
{
    if (key)
        tdb_fill_cols(row, keybuf, key->parts);
}

/* ---- comparison ----------------------------------------------------------------------------- */

static long be_value(const unsigned char *p, int width)
{
    if (width == 2)
        return static_cast<int16_t>((p[0] << 8) | p[1]);
    uint32_t v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    return static_cast<int32_t>(v);
}

template <typename T> static int sign_of(T a, T b) { return a < b ? -1 : a > b ? 1 : 0; }

/* Compares one element-run of a column of the given type and length. Sets
 * *step to the bytes advanced in a key buffer; -2 as *step: invalid type. */
static int compare_value(int type, const unsigned char *a, const unsigned char *b, int length,
                         int *step)
{
    switch (type) {
    case TDB_BYTE:
    case TDB_ENUM:
        *step = 1;
        return sign_of(a[0], b[0]);
    case TDB_INTEGER:
        *step = 2;
        return sign_of(be_value(a, 2), be_value(b, 2));
    case TDB_LONG: case TDB_DATE: case TDB_TIME: case TDB_TEXT: case TDB_LONG_V: case TDB_SET:
        *step = 4;
        return sign_of(be_value(a, 4), be_value(b, 4));
    case TDB_FLOAT: {
        float x, y;
        memcpy(&x, a, 4);
        memcpy(&y, b, 4);
        *step = 4;
        return sign_of(x, y);
    }
    case TDB_DOUBLE: {
        double x, y;
        memcpy(&x, a, 8);
        memcpy(&y, b, 8);
        *step = 8;
        return sign_of(x, y);
    }
    case TDB_STRING:
    case TDB_MBSTRING:
        *step = length;
        return TssStringNCmp(reinterpret_cast<const char *>(a),
                             reinterpret_cast<const char *>(b), length);
    case TDB_RAW: {
        *step = length;
        int c = memcmp(a, b, static_cast<size_t>(length));
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    default:
        *step = -2;
        return 0;
    }
}

/* Key buffers: a and b advance over each part (combined parts expanded). */
static int compare_key_parts(const unsigned char *&a, const unsigned char *&b,
                             struct _dd_column *const *parts)
{
    for (int i = 0; parts && parts[i] && i < DD_MAX_KEY_PARTS; i++) {
        const _dd_column *c = parts[i];
        if (c->type == TDB_COMBINED) {
            if (c->parts)
                if (int r = compare_key_parts(a, b, c->parts))
                    return r;
            continue;
        }
        int step = 0;
        int r = compare_value(c->type, a, b, c->length, &step);
        if (step == -2) {
            log_mesg(SRC, __LINE__, "tdb_compare_cols", 0, "unknown type in compare cols 0%o\n",
                     c->type);
            step = c->length;
        } else if (c->type != TDB_STRING && c->type != TDB_MBSTRING && c->type != TDB_RAW &&
                   r == 0 && c->elements > 1) {
            /* remaining array elements of a numeric column */
            for (int e = 1; e < c->elements && r == 0; e++)
                r = compare_value(c->type, a + e * step, b + e * step, c->length, &step);
            step = c->length;
        } else if (c->elements > 1) {
            step = c->length;
        }
        if (r)
            return r;
        a += step;
        b += step;
    }
    return 0;
}

int tdb_compare_cols(const unsigned char *a, const unsigned char *b,
                     struct _dd_column *const *parts)
{
    return compare_key_parts(a, b, parts);
}

int tdb_compare_key(const unsigned char *a, const unsigned char *b, const struct _dd_key *key)
{
    return key ? tdb_compare_cols(a, b, key->parts) : 0;
}

static int compare_column(const unsigned char *rowa, const unsigned char *rowb,
                          const _dd_column *c)
{
    if (c->type == TDB_COMBINED) {
        if (c->parts)
            for (_dd_column **p = c->parts; *p; p++)
                if (int r = compare_column(rowa, rowb, *p))
                    return r;
        return 0;
    }
    int step = 0;
    int elements = c->elements ? c->elements : 1;
    int width = c->length / elements;
    bool whole = c->type == TDB_STRING || c->type == TDB_MBSTRING || c->type == TDB_RAW;
    for (int e = 0; e < (whole ? 1 : elements); e++) {
        int r = compare_value(c->type, rowa + c->offset + e * width, rowb + c->offset + e * width,
                              c->length, &step);
        if (step == -2) {
            log_mesg(SRC, __LINE__, "compare_column", 0, "Unknown type in compare_column %s : 0%o\n",
                     c->name, c->type);
            return 0;
        }
        if (r)
            return r;
    }
    return 0;
}

int tdb_compare_key_in_row(const unsigned char *rowa, const unsigned char *rowb,
                           const struct _dd_key *key)
{
    if (!key || !key->parts)
        return 0;
    for (_dd_column **p = key->parts; *p; p++)
        if (int r = compare_column(rowa, rowb, *p))
            return r;
    return 0;
}

/* ---- defaults --------------------------------------------------------------------------------- */

static void put_be(unsigned char *p, long value, int width)
{
    for (int i = width - 1; i >= 0; i--) {
        p[i] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void fill_default(const struct _dd_column *column, unsigned char *row, const char *text)
{
    if (!column || !row)
        return;
    if (!text)
        text = "";
    int elements = column->elements ? column->elements : 1;
    int width = column->length / elements;
    unsigned char *base = row + column->offset;
    switch (column->type) {
    case TDB_STRING:
    case TDB_MBSTRING: {
        size_t n = std::min(strlen(text), static_cast<size_t>(width));
        for (int e = 0; e < elements; e++) {
            memset(base + e * width, ' ', static_cast<size_t>(width));
            memcpy(base + e * width, text, n);
        }
        return;
    }
    case TDB_RAW: {
        std::vector<unsigned char> bytes(static_cast<size_t>(width), 0);
        for (int i = 0; i < width && text[2 * i] && text[2 * i + 1]; i++) {
            int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
            if (hi < 0 || lo < 0)
                break;
            bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(hi * 16 + lo);
        }
        for (int e = 0; e < elements; e++)
            memcpy(base + e * width, bytes.data(), static_cast<size_t>(width));
        return;
    }
    case TDB_COMBINED:
        return;
    default:
        break;
    }
    unsigned char value[8] = {};
    int vwidth;
    switch (column->type) {
    case TDB_BYTE:
    case TDB_ENUM:
        vwidth = 1;
        value[0] = static_cast<unsigned char>(strtol(text, nullptr, 10) & 0xff);
        break;
    case TDB_INTEGER:
        vwidth = 2;
        put_be(value, strtol(text, nullptr, 10), 2);
        break;
    case TDB_LONG: case TDB_DATE: case TDB_TIME: case TDB_TEXT: case TDB_LONG_V: case TDB_SET:
        vwidth = 4;
        put_be(value, strtol(text, nullptr, 10), 4);
        break;
    case TDB_FLOAT: {
        vwidth = 4;
        float f = static_cast<float>(*text ? trel_atof(text) : 0.0);
        memcpy(value, &f, 4);
        break;
    }
    case TDB_DOUBLE: {
        vwidth = 8;
        double d = *text ? trel_atof(text) : 0.0;
        memcpy(value, &d, 8);
        break;
    }
    default:
        if (elements > 1)
            log_mesg(SRC, __LINE__, "fill_default", 0, "(1) unknown type in fill_default 0%o\n",
                     column->type);
        else
            log_mesg(SRC, __LINE__, "fill_default", 0, "(2) unknown type in fill_default 0%o\n",
                     column->type);
        return;
    }
    for (int e = 0; e < elements; e++)
        memcpy(base + e * vwidth, value, static_cast<size_t>(vwidth));
}

void put_compnr_in_row(const struct _dd_table *table, unsigned char *row, int compnr)
{
    if (!table || !row)
        return;
    _dd_column *c = ddcolumn_by_ddtable(table, "_compnr");
    if (c)
        put_be(row + c->offset, compnr, 2);
}

/* ---- range expressions --------------------------------------------------------------------- */

static qpd_range_compiler range_compiler;

void qpd_set_range_compiler(qpd_range_compiler compiler) { range_compiler = compiler; }

void qpd::qpd_compile_range(_dd_domain *domain)
{
    if (!range_compiler || !domain->range_text || !*domain->range_text)
        return;
    int saved = qpd_errno_value;
    int error = 0;
    domain->range = range_compiler(domain->range_text, &error);
    if (!domain->range)
        log_mesg(SRC, __LINE__, "read_domain_list", 0, "domain: %c%c%s, range expression: %s, error %d",
                 domain->package[0], domain->package[1], domain->name, domain->range_text, error);
    qpd_errno_value = saved;
}
