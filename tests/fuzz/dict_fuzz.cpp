/*
 * dict_fuzz.cpp: libFuzzer target of the table-file and domain-file
 * reader of the dictionary. An input is written as a dictionary file and
 * loaded; a table that loads must have a consistent layout (and its keys,
 * column lists, references and default row are exercised), a table that
 * does not must leave the cache as it was with the dictionary's error
 * number. The dictionary tests replay the regression inputs through
 * dict_fuzz_one.
 *
 * Input: the first byte selects. Bits 0-1: 0 a domain file of package
 * "qy" (then looked up and its enum lists walked), 1 a table file
 * "qzfuz100" of the current dictionary, 2 the same as a ".new" file in the
 * new dictionary, 3 a table file that may refer to the fixed table
 * "qzfix200"; bit 2 turns on the loading of referenced tables.
 */
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dict_fuzz_env.h"

namespace {

/* Every type letter, enum lists in two languages, strings, raw, a range. */
const char kDomains[] = "D\n:N    qzDom.byte\n:T    b\n"
                        "D\n:N    qzDom.int\n:T    i\n:RA   $$ > -5\n"
                        "D\n:N    qzDom.long\n:T    l\n:DIGV 9\n"
                        "D\n:N    qzDom.float\n:T    f\n"
                        "D\n:N    qzDom.double\n:T    d\n:DIGV 6\n"
                        "D\n:N    qzDom.str\n:T    s\n:CL   6\n:CO   u\n"
                        "D\n:N    qzDom.date\n:T    t\n"
                        "D\n:N    qzDom.utc\n:T    k\n"
                        "D\n:N    qzDom.text\n:T    u\n"
                        "D\n:N    qzDom.longv\n:T    v\n"
                        "D\n:N    qzDom.enum\n:T    e12\n:B    2\n 001a~A~Aa\n 002b~B~Bb\n"
                        "D\n:N    qzDom.set\n:T    p1\n:B    1\n 001x~X\n"
                        "D\n:N    qzDom.mb\n:T    m\n:CL   12\n:P    3\n"
                        "D\n:N    qzDom.raw\n:T    r\n:CL   3\n"
                        "D\n:N    qzDom.big\n:T    s\n:CL   3000\n";

/* A table that input tables may refer to (and that refers back). */
const char kFixedTable[] = "F\n:N    qzfix200.id\n:DO   qzDom.long\n"
                           "F\n:N    qzfix200.ref\n:DO   qzDom.long\n:RE   qzfuz100.num\n"
                           "I\n:I    1\n:A    1\n:K  F qzfix200.id\n"
                           "R\n:R    qzfuz100.num     1cc\n";

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

/* The columns of a combined column are part of the same array. */
bool in_array(const _dd_table *t, const _dd_column *c)
{
    return c >= t->columns && c < t->columns + t->nr_columns;
}

void exercise_table(const _dd_table *t)
{
    check(t->row_length == t->data_length + 6 && t->row_length <= DD_MAX_ROW);
    check(t->nr_columns >= 2 && t->columns != nullptr && t->default_row != nullptr);
    for (int i = 0; i < t->nr_columns; ++i) {
        const _dd_column &c = t->columns[i];
        check(c.name[sizeof c.name - 1] == '\0');
        if (i > 0)
            check(std::strcmp(qpd::field_of(t->columns[i - 1].name).data(), qpd::field_of(c.name).data()) <= 0);
        /* Columns not stored in the database may lie behind the data (and
         * the extra columns); every column lies within the longest row. */
        check(c.offset + c.length <= DD_MAX_ROW);
        if (c.type != TDB_COMBINED && (c.flags & DD_COL_NOT_IN_DB) == 0)
            check(c.offset + c.length <= t->data_length);
        if (c.type == TDB_COMBINED) {
            for (_dd_column *const *p = c.parts; p != nullptr && *p != nullptr; ++p)
                check(in_array(t, *p));
            /* A combined column starts where its first stored part does. */
            if ((c.flags & DD_COL_INDEX) == 0 && c.parts != nullptr && c.parts[0] != nullptr) {
                const _dd_column *first = c.parts[0];
                while (first->type == TDB_COMBINED && first->parts != nullptr && first->parts[0] != nullptr &&
                       (first->flags & DD_COL_INDEX) == 0)
                    first = first->parts[0];
                check(c.offset == first->offset);
            }
        } else {
            check(c.domain != nullptr);
        }
        check(ddcolumn_by_ddtable(t, c.name) != nullptr);
    }
    std::vector<_dd_column *> list(static_cast<size_t>(t->nr_columns) * 4 + 8);
    int n = list_all_columns(t, list.data(), static_cast<int>(list.size()));
    check(n >= -1);
    std::vector<_dd_column *> by_offset(static_cast<size_t>(t->nr_columns) + 1);
    sort_columns_by_offset(t, by_offset.data());
    int max_key = tdb_max_key_size_of_table(t);
    check(max_key >= 0 && max_key <= DD_MAX_KEY);
    /* Room for every column: the default row has it too. */
    std::vector<unsigned char> key(static_cast<size_t>(max_key) + 8), row(DD_MAX_ROW);
    std::memcpy(row.data(), t->default_row, t->row_length);
    for (int k = 0; k < t->nr_keys; ++k) {
        const _dd_key *kd = &t->keys[k];
        for (_dd_column *const *p = kd->parts; p != nullptr && *p != nullptr; ++p)
            check(in_array(t, *p));
        tdb_extract_key(key.data(), t->default_row, kd);
        tdb_fill_key(row.data(), key.data(), kd);
        check(tdb_compare_key_in_row(row.data(), t->default_row, kd) == 0);
        check(tdb_compare_key(key.data(), key.data(), kd) == 0);
        list_index_columns(kd, list.data(), static_cast<int>(list.size()));
        key_desc(t, kd->keynr);
    }
    for (int r = 0; r < t->nr_refs; ++r) {
        check(t->refs[r].column == nullptr || in_array(t, t->refs[r].column));
        ddfrom_ref(t->refs[r].column_name);
    }
    int count = 0;
    ddto_ref_list(t->code, &count);
    put_compnr_in_row(t, row.data(), 123);
    if (t->column_groups != nullptr) {
        unsigned short groups = t->column_groups[0];
        size_t at = 1;
        for (unsigned short g = 0; g < groups; ++g) {
            unsigned short size = t->column_groups[at++];
            for (unsigned short m = 0; m < size; ++m)
                check(t->column_groups[at++] < t->nr_columns);
        }
    }
    for (const dd_audit_range *a = t->audit_ranges; a != nullptr && a->length != 0; ++a)
        check(a->offset + a->length <= t->row_length);
    for (_dd_column *const *s = t->sequence_columns; s != nullptr && *s != nullptr; ++s)
        check(in_array(t, *s));
}

void load_table_file(const std::string &text, int mode)
{
    const std::string dir = dictfuzz::package_dir("qz");
    static bool fixed_files = false;
    if (!fixed_files) {
        dictfuzz::write_file(dir + "/dqz.pd", kDomains);
        dictfuzz::write_file(dir + "/dqzfix200", kFixedTable);
        fixed_files = true;
    }
    std::remove((dir + "/dqzfuz100").c_str());
    std::remove((dir + "/dqzfuz100.new").c_str());
    bool is_new = (mode & 3) == 2;
    dictfuzz::write_file(dir + (is_new ? "/dqzfuz100.new" : "/dqzfuz100"), text);
    if (is_new)
        dictfuzz::write_file(dir + "/dqzfuz100", "F\n:N    qzfuz100.num\n:DO   qzDom.long\n");
    if (mode & 4)
        init_dd_mode(4);
    if ((mode & 3) == 3)
        check(ddtable("qzfix200") != nullptr);
    if (is_new)
        init_dd_mode(3);
    qpd_clear_errno();
    const _dd_table *t = ddtable("qzfuz100");
    if (t == nullptr) {
        int e = qpd_get_errno();
        check(e == E_DD_ERROR || e == E_DD_NOT_FOUND || e == E_DD_NO_MEMORY);
        /* The cache is as it was: no record of the table. */
        check(ddtable_local("qzfuz100") == nullptr);
    } else {
        check(ddtable_local("qzfuz100") == t);
        exercise_table(t);
    }
}

void load_domain_file(const std::string &text)
{
    dictfuzz::write_file(dictfuzz::package_dir("qy") + "/dqy.pd", text);
    const _dd_domain_list *list = read_domain_list("qy");
    if (list == nullptr)
        return;
    char full[32];
    for (int i = 0; i < list->count; ++i) {
        const _dd_domain &d = list->domains[i];
        check(d.name[sizeof d.name - 1] == '\0' && d.package[2] == '\0');
        if (i > 0)
            check(std::strcmp(list->domains[i - 1].name, d.name) <= 0);
        for (int a = DD_ATTR_L; a <= DD_ATTR_DM; ++a)
            check(dd_domain_attr(&d, a) != nullptr);
        dddomainname_from_domain(&d, full);
        if (d.type == TDB_ENUM || d.type == TDB_SET) {
            for (const _dd_enum_list *e = d.word.enums; e != nullptr; e = e->next) {
                for (int k = 0; k < e->count; ++k) {
                    check(e->entries[k].keyword[16] == '\0');
                    check(e->entries[k].description != nullptr);
                    std::string keyw = std::string(full) + "." + e->entries[k].keyword;
                    int value = 0;
                    dddomain_from_enum_keyw(keyw.c_str(), &value);
                }
                get_enum_def(&d, e->language);
            }
        }
        if (d.name[0] != '\0') {
            /* The binary search finds a domain of that name. */
            std::string name = std::string("qy") + d.name;
            const _dd_domain *found = dddomain(name.c_str());
            check(found != nullptr && std::strcmp(found->name, d.name) == 0);
        }
    }
}

} // namespace

/* One input, as described above. Returns 0. */
int dict_fuzz_one(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    dictfuzz::prepare();
    dictfuzz::begin();
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    int mode = data[0];
    if ((mode & 3) == 0)
        load_domain_file(text);
    else
        load_table_file(text, mode);
    dictfuzz::end();
    return 0;
}

#ifdef DICT_FUZZ_MAIN
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return dict_fuzz_one(data, size);
}
#endif
