/*
 * qpd_cdic_test.cpp: the row layout and default rows of the demo tables
 * (expected offsets worked out by hand from the packing rules), lookups of
 * tables, columns, domains, enums and references, key extraction, filling
 * and comparison, default values and the dictionary mode.
 */
#include <cstring>
#include <string>
#include <vector>

#include "qpd_internal.h"
#include "qpd_test_support.h"

using namespace qpdtest;

namespace {

struct Expected {
    const char *field;
    int offset;
    int length;
    int elements;
    int type;
};

void expect_layout(const _dd_table *t, const std::vector<Expected> &columns)
{
    for (const auto &e : columns) {
        const _dd_column *c = ddcolumn_by_ddtable(t, e.field);
        ASSERT_NE(c, nullptr) << e.field;
        EXPECT_EQ(c->offset, e.offset) << e.field;
        EXPECT_EQ(c->length, e.length) << e.field;
        EXPECT_EQ(c->elements, e.elements) << e.field;
        EXPECT_EQ(c->type, e.type) << e.field;
    }
}

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += static_cast<char>(b);
    return s;
}

std::string row_of(const _dd_table *t)
{
    return std::string(reinterpret_cast<const char *>(t->default_row), t->row_length);
}

std::vector<std::string> field_names(const _dd_table *t)
{
    std::vector<std::string> names;
    for (int i = 0; i < t->nr_columns; i++)
        names.emplace_back(t->columns[i].name + 9);
    return names;
}

/* ---- layout and default rows --------------------------------------------- */

using Layout = DictTest;

TEST_F(Layout, EveryColumnTypePacksInFileOrderWithExtraColumnsBehind)
{
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    expect_layout(t, {{"code", 0, 6, 1, TDB_STRING},     {"bval", 6, 1, 1, TDB_BYTE},
                      {"flag", 7, 1, 1, TDB_BYTE},       {"ival", 8, 2, 1, TDB_INTEGER},
                      {"lval", 10, 4, 1, TDB_LONG},      {"fval", 14, 4, 1, TDB_FLOAT},
                      {"dval", 18, 8, 1, TDB_DOUBLE},    {"name", 26, 20, 1, TDB_STRING},
                      {"date", 46, 4, 1, TDB_DATE},      {"utc", 50, 4, 1, TDB_TIME},
                      {"txt", 54, 4, 1, TDB_TEXT},       {"lv", 58, 4, 1, TDB_LONG_V},
                      {"stat", 62, 1, 1, TDB_ENUM},      {"days", 63, 4, 1, TDB_SET},
                      {"mbname", 67, 30, 1, TDB_MBSTRING}, {"rawv", 97, 8, 1, TDB_RAW},
                      {"_dlock", 105, 4, 1, TDB_LONG},   {"_compnr", 109, 2, 1, TDB_INTEGER}});
    EXPECT_EQ(t->data_length, 105);
    EXPECT_EQ(t->row_length, 111);
    EXPECT_EQ(t->nr_columns, 16 + 2 + 3);
    EXPECT_EQ(t->nr_keys, 3);
    EXPECT_STREQ(t->code, "dbtst100");
    EXPECT_STREQ(t->u_text, "Articles");
    EXPECT_STREQ(t->d_text, "All column types");
    EXPECT_EQ(ddcolumn_by_ddtable(t, "_dlock")->flags, DD_COL_NOT_IN_DB);
    EXPECT_STREQ(ddcolumn_by_ddtable(t, "_dlock")->domain->name, "Dom.dlock");
    EXPECT_STREQ(ddcolumn_by_ddtable(t, "_compnr")->domain->package, "__");
    EXPECT_EQ(ddcolumn_by_ddtable(t, "code")->flags, DD_COL_MANDATORY);
}

TEST_F(Layout, DefaultRowOfEveryTypeIsByteExact)
{
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    std::string expected = "A     ";                             /* code */
    expected += bytes({0x07, 0x01, 0xff, 0xfe});                  /* bval flag ival */
    expected += bytes({0x00, 0x01, 0x86, 0xa0});                  /* lval 100000 */
    expected += bytes({0x00, 0x00, 0xc0, 0x3f});                  /* fval 1.5f */
    expected += bytes({0, 0, 0, 0, 0, 0, 0x02, 0x40});            /* dval 2.25 */
    expected += "Unknown" + std::string(13, ' ');                 /* name */
    expected += bytes({0x00, 0x0b, 0x42, 0xd0});                  /* date 738000 */
    expected += bytes({0, 0, 0, 0, 0, 0, 0, 0});                  /* utc, txt */
    expected += bytes({0, 0, 0, 7, 2, 0, 0, 0, 5});               /* lv stat days */
    expected += std::string(30, ' ');                             /* mbname */
    expected += bytes({0x0a, 0, 0, 0, 0, 0, 0, 0});               /* rawv "0A1" */
    expected += bytes({0, 0, 0, 0, 0xff, 0xff});                  /* _dlock _compnr -1 */
    ASSERT_EQ(expected.size(), 111u);
    EXPECT_EQ(hex(t->default_row, t->row_length),
              hex(reinterpret_cast<const unsigned char *>(expected.data()), expected.size()));
}

TEST_F(Layout, ArrayColumnsRepeatTheDefaultInEveryElement)
{
    const _dd_table *t = ddtable("dbtst101");
    ASSERT_NE(t, nullptr);
    expect_layout(t, {{"seqnr", 0, 4, 1, TDB_LONG},
                      {"amount", 4, 24, 3, TDB_DOUBLE},
                      {"label", 28, 12, 3, TDB_STRING},
                      {"qty", 40, 4, 2, TDB_INTEGER},
                      {"tag", 44, 16, 2, TDB_RAW},
                      {"_dlock", 60, 4, 1, TDB_LONG},
                      {"_compnr", 64, 2, 1, TDB_INTEGER}});
    EXPECT_EQ(t->row_length, 66);
    EXPECT_TRUE(ddcolumn_by_ddtable(t, "amount")->flags & DD_COL_ARRAY);
    EXPECT_FALSE(ddcolumn_by_ddtable(t, "seqnr")->flags & DD_COL_ARRAY);
    std::string half = bytes({0, 0, 0, 0, 0, 0, 0xe0, 0x3f});      /* 0.5 */
    std::string tag = bytes({0xff, 0x01, 0, 0, 0, 0, 0, 0});
    std::string expected = bytes({0, 0, 0, 1}) + half + half + half + "ab  ab  ab  " +
                           bytes({0, 3, 0, 3}) + tag + tag + bytes({0, 0, 0, 0, 0xff, 0xff});
    EXPECT_EQ(row_of(t), expected);
}

TEST_F(Layout, CombinedColumnTakesItsPartsPlaceAndIndexColumnsTheKeysParts)
{
    const _dd_table *t = ddtable("dbtst102");
    ASSERT_NE(t, nullptr);
    expect_layout(t, {{"ordno", 0, 4, 1, TDB_LONG},
                      {"line", 4, 2, 1, TDB_INTEGER},
                      {"ordline", 0, 6, 1, TDB_COMBINED},
                      {"item", 6, 6, 1, TDB_STRING},
                      {"dummy", 12, 0, 1, TDB_COMBINED},
                      {"qty", 12, 4, 1, TDB_LONG},
                      {"_index1", 0, 6, 1, TDB_COMBINED},
                      {"_index2", 6, 12, 1, TDB_COMBINED},
                      {"_index3", 0, 10, 1, TDB_COMBINED},
                      {"_dlock", 16, 4, 1, TDB_LONG}});
    EXPECT_EQ(t->row_length, 22);
    const _dd_column *ordline = ddcolumn_by_ddtable(t, "ordline");
    ASSERT_NE(ordline->parts, nullptr);
    EXPECT_EQ(ordline->parts[0], ddcolumn_by_ddtable(t, "ordno"));
    EXPECT_EQ(ordline->parts[1], ddcolumn_by_ddtable(t, "line"));
    EXPECT_EQ(ordline->parts[2], nullptr);
    EXPECT_EQ(ddcolumn_by_ddtable(t, "dummy")->parts, nullptr);
    EXPECT_EQ(ddcolumn_by_ddtable(t, "ordno")->flags, DD_COL_PART);
    EXPECT_EQ(ddcolumn_by_ddtable(t, "item")->flags, 0);
    const _dd_column *index2 = ddcolumn_by_ddtable(t, "_index2");
    EXPECT_EQ(index2->flags, DD_COL_INDEX);
    ASSERT_NE(index2->parts, nullptr);
    EXPECT_STREQ(index2->parts[0]->name, "dbtst102.item");
    EXPECT_STREQ(index2->parts[1]->name, "dbtst102.ordno");
    EXPECT_STREQ(index2->parts[2]->name, "dbtst102.line");
    EXPECT_EQ(index2->parts[3], nullptr);
    EXPECT_EQ(t->first_key_column, ddcolumn_by_ddtable(t, "ordno"));
    EXPECT_EQ(tdb_max_key_size_of_table(t), 12);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(t->default_row), 16),
              std::string(4, '\0') + std::string(2, '\0') + "      " + std::string(4, '\0'));
}

TEST_F(Layout, ColumnsAreSortedByFieldNameAndKeysStayInFileOrder)
{
    const _dd_table *t = ddtable("dbtst103");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(field_names(t), (std::vector<std::string>{"_compnr", "_dlock", "_index1", "_index2",
                                                        "_index3", "cust", "name", "region", "seq"}));
    ASSERT_EQ(t->nr_keys, 3);
    EXPECT_EQ(t->keys[0].keynr, 1);
    EXPECT_EQ(t->keys[1].keynr, 3);
    EXPECT_EQ(t->keys[2].keynr, 2);
    EXPECT_EQ(t->keys[1].attr_a, 1);
    EXPECT_EQ(t->keys[1].attr_du, 1);
    EXPECT_EQ(t->keys[2].attr_a, 0);
    expect_layout(t, {{"_index3", 6, 6, 1, TDB_COMBINED}, {"_index2", 12, 20, 1, TDB_COMBINED}});
    EXPECT_EQ(key_desc(t, 3), &t->keys[1]);
    EXPECT_EQ(key_desc(t, 4), nullptr);
    EXPECT_EQ(t->first_key_column, ddcolumn_by_ddtable(t, "cust"));
}

TEST_F(Layout, NotStoredColumnKeepsItsPlaceButEndsNoData)
{
    const _dd_table *t = ddtable("dbtst106");
    ASSERT_NE(t, nullptr);
    expect_layout(t, {{"id", 0, 4, 1, TDB_LONG},
                      {"calc", 4, 4, 1, TDB_LONG},
                      {"rcd_utc", 8, 4, 1, TDB_TIME},
                      {"memo", 12, 30, 1, TDB_MBSTRING},
                      {"_dlock", 42, 4, 1, TDB_LONG},
                      {"_compnr", 46, 2, 1, TDB_INTEGER}});
    EXPECT_EQ(t->data_length, 42);
    EXPECT_EQ(t->row_length, 48);
    EXPECT_EQ(ddcolumn_by_ddtable(t, "calc")->flags, DD_COL_NOT_IN_DB);
    EXPECT_EQ(t->rcd_utc, ddcolumn_by_ddtable(t, "rcd_utc"));
    ASSERT_NE(t->sequence_columns, nullptr);
    EXPECT_EQ(t->sequence_columns[0], ddcolumn_by_ddtable(t, "id"));
    EXPECT_EQ(t->sequence_columns[1], nullptr);
    /* Without an A record every stored column is audited: id, then rcd_utc
     * and memo merged. */
    ASSERT_NE(t->audit_ranges, nullptr);
    EXPECT_EQ(t->audit_ranges[0].offset, 0);
    EXPECT_EQ(t->audit_ranges[0].length, 4);
    EXPECT_EQ(t->audit_ranges[1].offset, 8);
    EXPECT_EQ(t->audit_ranges[1].length, 34);
    EXPECT_EQ(t->audit_ranges[2].length, 0);
    _dd_column *by_offset[8];
    ASSERT_EQ(sort_columns_by_offset(t, by_offset), by_offset);
    EXPECT_STREQ(by_offset[0]->name, "dbtst106.id");
    EXPECT_STREQ(by_offset[1]->name, "dbtst106.rcd_utc");
    EXPECT_STREQ(by_offset[2]->name, "dbtst106.memo");
    EXPECT_EQ(by_offset[3], nullptr);
}

TEST_F(Layout, AuditRecordGroupsAndReferenceCounters)
{
    const _dd_table *t = ddtable("dbtst105");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->row_length, 70);
    EXPECT_EQ(t->refcnt_u, ddcolumn_by_ddtable(t, "Refcntu"));
    EXPECT_EQ(t->refcnt_d, ddcolumn_by_ddtable(t, "Refcntd"));
    EXPECT_TRUE(ddcolumn_by_ddtable(t, "name")->flags & DD_COL_AUDIT);
    EXPECT_TRUE(ddcolumn_by_ddtable(t, "price")->flags & DD_COL_AUDIT);
    EXPECT_FALSE(ddcolumn_by_ddtable(t, "note")->flags & DD_COL_AUDIT);
    /* name 4..24 and price 24..32 are adjacent: one range. */
    EXPECT_EQ(t->audit_ranges[0].offset, 4);
    EXPECT_EQ(t->audit_ranges[0].length, 28);
    EXPECT_EQ(t->audit_ranges[1].length, 0);
    /* Sorted: Refcntd 0, Refcntu 1, _compnr 2, _dlock 3, _index1 4, id 5,
     * name 6, note 7, ordno 8, price 9. Two listed groups, then the stored
     * columns in no group, one each. */
    ASSERT_NE(t->column_groups, nullptr);
    std::vector<unsigned short> groups(t->column_groups, t->column_groups + 12);
    EXPECT_EQ(groups, (std::vector<unsigned short>{5, 2, 5, 6, 2, 9, 7, 1, 0, 1, 1, 1}));
    EXPECT_EQ(t->column_groups[12], 8);
}

TEST_F(Layout, TableWithoutGroupRecordsHasNoGroups)
{
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->column_groups, nullptr);
    EXPECT_EQ(t->sequence_columns, nullptr);
    EXPECT_EQ(t->rcd_utc, nullptr);
}

/* ---- lookups ------------------------------------------------------------------ */

using Lookup = DictTest;

TEST_F(Lookup, TableCodesMustBeEightCharactersWithoutPoint)
{
    EXPECT_EQ(ddtable("dbtst10"), nullptr);
    EXPECT_EQ(ddtable(""), nullptr);
    EXPECT_EQ(ddtable(" dbtst10"), nullptr);
    EXPECT_EQ(ddtable("dbtst.00"), nullptr);
    EXPECT_EQ(ddtable("dbtst1000"), nullptr);
    EXPECT_EQ(ddtable(nullptr), nullptr);
    EXPECT_NE(ddtable("dbtst100"), nullptr);
    EXPECT_EQ(ddtable("dbtst100"), ddtable_local("dbtst100"));
    EXPECT_EQ(local_ddtable("dbtst100"), ddtable("dbtst100"));
}

TEST_F(Lookup, MissingTableFileGives513)
{
    Recorder rec;
    EXPECT_EQ(ddtable("dbtst999"), nullptr);
    EXPECT_EQ(qpd_get_errno(), E_DD_NOT_FOUND);
    EXPECT_EQ(rec.errors, std::vector<int>{513});
    EXPECT_EQ(ddtable_local("dbtst999"), nullptr);
}

TEST_F(Lookup, ColumnNamesAreCheckedBeforeTheTableIsLoaded)
{
    EXPECT_NE(ddcolumn("dbtst100.code"), nullptr);
    EXPECT_EQ(ddcolumn("dbtst100.c"), nullptr);          /* one-character field */
    EXPECT_EQ(ddcolumn("dbtst100.1x"), nullptr);         /* starts with a digit */
    EXPECT_EQ(ddcolumn("dbtst10.code"), nullptr);
    EXPECT_EQ(ddcolumn("db1st100.code"), nullptr);
    EXPECT_EQ(ddcolumn("dbtst100code"), nullptr);
    EXPECT_EQ(ddcolumn("dbtst100.nosuch"), nullptr);
    EXPECT_EQ(ddcolumn("dbtst100.abcdefghi"), nullptr);  /* 9-character field */
    EXPECT_NE(ddcolumn("dbtst100._dlock"), nullptr);
    EXPECT_EQ(ddtable_from_columnname("dbtst100.code"), ddtable("dbtst100"));
    char out[9];
    EXPECT_STREQ(ddtablename_from_columnname("dbtst101.seqnr", out), "dbtst101");
    EXPECT_STREQ(ddtablename_from_column(ddcolumn("dbtst102.qty"), nullptr), "dbtst102");
}

TEST_F(Lookup, DomainsByFullNameWithAttributesAndBuiltins)
{
    ASSERT_NE(ddtable("dbtst100"), nullptr);
    const _dd_domain *code = dddomain("dbDom.code");
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->type, TDB_STRING);
    EXPECT_EQ(code->width, 6);
    EXPECT_EQ(code->word.value, 'u');
    EXPECT_STREQ(dd_domain_attr(code, DD_ATTR_L), "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    EXPECT_STREQ(dd_domain_attr(code, DD_ATTR_DM), "article code");
    EXPECT_STREQ(dd_domain_attr(code, DD_ATTR_O), "");
    const _dd_domain *name = dddomain("dbDom.name");
    EXPECT_STREQ(dd_domain_attr(name, DD_ATTR_O), "name");
    EXPECT_STREQ(dd_domain_attr(name, DD_ATTR_IF), "name");
    const _dd_domain *lng = dddomain("dbDom.long");
    EXPECT_EQ(lng->attrs, dd_info.empty_attrs);
    EXPECT_EQ(lng->digits_before, 9);
    const _dd_domain *longv = dddomain("dbDom.longv");
    EXPECT_EQ(longv->word.value, 100);
    EXPECT_EQ(dd_base_type(longv->type), TDB_LONG);
    EXPECT_EQ(dddomain("dbDom.flag")->variant, 1);
    EXPECT_EQ(dddomain("dbDom.byte")->variant, 0);
    EXPECT_EQ(dddomain("dbDom.mbname")->width, 30);
    EXPECT_EQ(dddomain("dbDom.mbname")->display_width, 30);
    const _dd_domain *amount = dddomain("dbDom.amount");
    EXPECT_STREQ(amount->range_text, "$$ >= 0");
    EXPECT_NE(amount->range, nullptr);  /* compiled by the registered compiler */
    EXPECT_EQ(amount->digits_after, 2);
    EXPECT_EQ(dddomain("dbDom.qty")->rn, 1);
    EXPECT_EQ(dddomain("dbDom.nosuch"), nullptr);
    char full[16];
    EXPECT_STREQ(dddomainname_from_domain(code, full), "dbDom.code");
}

TEST_F(Lookup, DomainLookupWithoutReadSeesOnlyTheCache)
{
    /* Package qb is read by this test only. */
    in_child([] {
        EXPECT_EQ(dddomain("qbDom.only"), nullptr);
        EXPECT_NE(dddomain_with_read("qbDom.only"), nullptr);
        EXPECT_NE(dddomain("qbDom.only"), nullptr);
    });
}

TEST_F(Lookup, EnumListsPerLanguageWithValuesAndSharedDescriptions)
{
    const _dd_domain *status = dddomain_with_read("dbDom.status");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->type, TDB_ENUM);
    const _dd_enum_list *en = get_enum_def(status, '1');
    const _dd_enum_list *de = get_enum_def(status, '2');
    ASSERT_NE(en, nullptr);
    ASSERT_NE(de, nullptr);
    EXPECT_EQ(en->count, 3);
    EXPECT_STREQ(en->entries[2].keyword, "held");
    EXPECT_STREQ(en->entries[2].description, "On hold ~ waiting");
    EXPECT_EQ(en->entries[2].value, 3);
    EXPECT_STREQ(de->entries[1].description, "Geschlossen");
    EXPECT_EQ(en->max_desc_length, 17);
    EXPECT_EQ(de->max_desc_length, 11);
    /* "Open" appears twice in the domain: one string. */
    EXPECT_EQ(de->entries[2].description, en->entries[0].description);
    Recorder rec;
    EXPECT_EQ(get_enum_def(status, '3'), nullptr);
    EXPECT_TRUE(rec.logged("Language 3 error in domain 'Dom.status'"));
    const _dd_domain *days = dddomain_with_read("dbDom.days");
    ASSERT_NE(days, nullptr);
    const _dd_enum_list *d = get_enum_def(days, '1');
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->entries[0].value, 1);
    EXPECT_EQ(d->entries[1].value, 2);
    EXPECT_EQ(d->entries[2].value, 4);
}

TEST_F(Lookup, EnumKeywordSplitsAtTheLastPointThatNamesAnEnumDomain)
{
    int value = -1;
    EXPECT_EQ(dddomain_from_enum_keyw("dbDom.status.closed", &value), dddomain_with_read("dbDom.status"));
    EXPECT_EQ(value, 2);
    EXPECT_EQ(dddomain_from_enum_keyw("dbDom.days.wed", &value), dddomain_with_read("dbDom.days"));
    EXPECT_EQ(value, 4);
    EXPECT_EQ(dddomain_from_enum_keyw("dbDom.status.nosuch", &value), nullptr);
    EXPECT_EQ(dddomain_from_enum_keyw("dbDom.long.x", &value), nullptr);
}

TEST_F(Lookup, ReferencesBothWaysAndRoutes)
{
    const _dd_table *t104 = ddtable("dbtst104");
    ASSERT_NE(t104, nullptr);
    ASSERT_EQ(t104->nr_refs, 2);
    EXPECT_STREQ(t104->refs[0].column_name, "dbtst104.item");
    EXPECT_STREQ(t104->refs[1].column_name, "dbtst104.ordno");
    const _dd_ref *item = ddfrom_ref("dbtst104.item");
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(item->to_name, "dbtst100.code");
    EXPECT_STREQ(item->text, "item ref");
    EXPECT_EQ(item->mode, 1 + 12);              /* "0n" */
    EXPECT_EQ(item->column, ddcolumn("dbtst104.item"));
    EXPECT_EQ(item->table, t104);
    EXPECT_EQ(ddfrom_ref("dbtst104.ordno")->mode, 2 + 8 + 32);  /* "1cr" */
    EXPECT_EQ(ddfrom_ref("dbtst104.qty"), nullptr);
    EXPECT_TRUE(ddcolumn("dbtst104.item")->flags & DD_COL_REF);
    int count = 0;
    const _dd_ref_by *in = ddto_ref_list("dbtst100", &count);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(in[0].name, "dbtst104.item");
    EXPECT_EQ(in[0].mode, 13);
    EXPECT_EQ(in[0].ref, item);
    _dd_ref *route[4];
    EXPECT_EQ(ref_route("dbtst105", "dbtst100", route, 4), 2);
    EXPECT_STREQ(route[0]->column_name, "dbtst105.ordno");
    EXPECT_STREQ(route[1]->column_name, "dbtst104.item");
    EXPECT_EQ(ref_route("dbtst105", "dbtst100", route, 1), -1);
    EXPECT_EQ(ref_route("dbtst100", "dbtst104", route, 4), -1);
}

TEST_F(Lookup, ReferenceModeCodes)
{
    EXPECT_EQ(qpd::ref_mode_from_code("0"), 1);
    EXPECT_EQ(qpd::ref_mode_from_code("x"), 3);
    EXPECT_EQ(qpd::ref_mode_from_code("1t"), 2 + 16);
    EXPECT_EQ(qpd::ref_mode_from_code("1q"), 2 + 20);
    EXPECT_EQ(qpd::ref_mode_from_code("0cn"), 1 + 8 + 96);
    EXPECT_EQ(qpd::ref_mode_from_code("0ct"), 1 + 8 + 128);
    EXPECT_EQ(qpd::ref_mode_from_code("0cz"), 1 + 8 + 160);
    EXPECT_EQ(qpd::ref_mode_from_code("0cc0"), 1 + 8 + 64 + 0x100);
    EXPECT_EQ(qpd::ref_mode_from_code("0cc11"), 1 + 8 + 64 + 0x1000);
}

TEST_F(Lookup, KeyPartsAndFlatColumnLists)
{
    const _dd_table *t = ddtable("dbtst102");
    ASSERT_NE(t, nullptr);
    _dd_column **parts = search_key_parts(t, 2);
    ASSERT_NE(parts, nullptr);
    EXPECT_TRUE(is_key_part(parts, ddcolumn_by_ddtable(t, "line")));
    EXPECT_TRUE(is_key_part(parts, ddcolumn_by_ddtable(t, "ordline")));
    EXPECT_FALSE(is_key_part(parts, ddcolumn_by_ddtable(t, "qty")));
    _dd_column *flat[8];
    EXPECT_EQ(list_index_columns(key_desc(t, 2), flat, 8), 3);
    EXPECT_STREQ(flat[0]->name, "dbtst102.item");
    EXPECT_STREQ(flat[2]->name, "dbtst102.line");
    EXPECT_EQ(flat[3], nullptr);
    EXPECT_EQ(list_index_columns(key_desc(t, 2), flat, 3), -1);  /* no room for the end */
    EXPECT_EQ(list_column_columns(ddcolumn_by_ddtable(t, "ordline"), flat, 8), 2);
    EXPECT_EQ(list_all_columns(t, flat, 8), 4);
    EXPECT_STREQ(flat[3]->name, "dbtst102.qty");
    const _dd_table *t106 = ddtable("dbtst106");
    _dd_column *one[2];
    EXPECT_EQ(list_column_columns(ddcolumn_by_ddtable(t106, "calc"), one, 2), 0);
}

/* ---- keys ------------------------------------------------------------------------ */

using Keys = DictTest;

TEST_F(Keys, ExtractFillAndCompareThroughCombinedParts)
{
    const _dd_table *t = ddtable("dbtst102");
    ASSERT_NE(t, nullptr);
    std::vector<unsigned char> row(t->default_row, t->default_row + t->row_length);
    const unsigned char values[] = {1, 2, 3, 4, 5, 6, 'X', 'Y', ' ', ' ', ' ', ' ', 0, 0, 0, 9};
    memcpy(row.data(), values, sizeof values);
    unsigned char key[32] = {};
    const _dd_key *k2 = key_desc(t, 2);
    tdb_extract_key(key, row.data(), k2);
    EXPECT_EQ(hex(key, 12), "58 59 20 20 20 20 01 02 03 04 05 06");
    unsigned char *end = tdb_extract_n_cols(key, row.data(), k2->parts, 1);
    EXPECT_EQ(end - key, 6);
    EXPECT_EQ(tdb_extract_cols(key, row.data(), k2->parts) - key, 12);

    std::vector<unsigned char> other(t->row_length, 0);
    tdb_fill_key(other.data(), key, k2);
    EXPECT_EQ(hex(other.data(), 12), hex(row.data(), 12));
    EXPECT_EQ(other[12], 0);  /* qty untouched */

    unsigned char key_b[32];
    memcpy(key_b, key, 12);
    key_b[11] = 0x07;  /* line 0x0507 > 0x0506 */
    EXPECT_LT(tdb_compare_key(key, key_b, k2), 0);
    EXPECT_GT(tdb_compare_key(key_b, key, k2), 0);
    EXPECT_EQ(tdb_compare_key(key, key, k2), 0);
}

TEST_F(Keys, RowComparisonComparesACombinedFirstPartBeforeTheNextPart)
{
    const _dd_table *t = ddtable("dbtst102");
    ASSERT_NE(t, nullptr);
    const _dd_key *k3 = key_desc(t, 3);  /* ordline, qty */
    std::vector<unsigned char> a(t->row_length, 0), b(t->row_length, 0);
    a[5] = 1;   /* line 1 */
    b[5] = 2;   /* line 2 */
    a[15] = 9;  /* qty 9 */
    b[15] = 1;  /* qty 1 */
    EXPECT_LT(tdb_compare_key_in_row(a.data(), b.data(), k3), 0);
    b[5] = 1;
    EXPECT_GT(tdb_compare_key_in_row(a.data(), b.data(), k3), 0);
    a[3] = 0xff; /* ordno 255 vs 0 decides first */
    EXPECT_GT(tdb_compare_key_in_row(a.data(), b.data(), k3), 0);
}

TEST_F(Keys, NumericValuesCompareSignedAndStringsPadded)
{
    const _dd_table *t = ddtable("dbtst100");
    ASSERT_NE(t, nullptr);
    _dd_column *ival[] = {ddcolumn_by_ddtable(t, "ival"), nullptr};
    const unsigned char minus1[] = {0xff, 0xff}, plus1[] = {0x00, 0x01};
    EXPECT_LT(tdb_compare_cols(minus1, plus1, ival), 0);
    _dd_column *bval[] = {ddcolumn_by_ddtable(t, "bval"), nullptr};
    const unsigned char b200[] = {200}, b1[] = {1};
    EXPECT_GT(tdb_compare_cols(b200, b1, bval), 0);
    _dd_column *dval[] = {ddcolumn_by_ddtable(t, "dval"), nullptr};
    double x = -2.5, y = 1.0;
    unsigned char dx[8], dy[8];
    memcpy(dx, &x, 8);
    memcpy(dy, &y, 8);
    EXPECT_LT(tdb_compare_cols(dx, dy, dval), 0);
    _dd_column *code[] = {ddcolumn_by_ddtable(t, "code"), nullptr};
    EXPECT_EQ(tdb_compare_cols(reinterpret_cast<const unsigned char *>("AB    "),
                               reinterpret_cast<const unsigned char *>("AB\0\0\0\0"), code),
              0);
    EXPECT_LT(tdb_compare_cols(reinterpret_cast<const unsigned char *>("AB    "),
                               reinterpret_cast<const unsigned char *>("AC    "), code),
              0);
    _dd_column *raw[] = {ddcolumn_by_ddtable(t, "rawv"), nullptr};
    const unsigned char r1[8] = {0x80}, r2[8] = {0x7f};
    EXPECT_GT(tdb_compare_cols(r1, r2, raw), 0);
}

TEST_F(Keys, InvalidTypeIsLoggedAndCountsAsEqual)
{
    _dd_column bad{};
    bad.type = 17;
    bad.length = 2;
    bad.elements = 1;
    snprintf(bad.name, sizeof bad.name, "dbtst100.bad");
    _dd_column *parts[] = {&bad, nullptr};
    const unsigned char a[] = {1, 2}, b[] = {3, 4};
    Recorder rec;
    EXPECT_EQ(tdb_compare_cols(a, b, parts), 0);
    EXPECT_TRUE(rec.logged("unknown type in compare cols 021\n"));
    _dd_key key{parts, 1, 0, 0};
    EXPECT_EQ(tdb_compare_key_in_row(a, b, &key), 0);
    EXPECT_TRUE(rec.logged("Unknown type in compare_column dbtst100.bad : 021\n"));
}

/* ---- defaults ---------------------------------------------------------------------- */

using Defaults = DictTest;

_dd_column plain(int type, int width, int elements = 1)
{
    _dd_column c{};
    c.type = static_cast<unsigned char>(type);
    c.elements = static_cast<unsigned char>(elements);
    c.length = static_cast<unsigned short>(width * elements);
    return c;
}

TEST_F(Defaults, ValuesByTypeAsStored)
{
    unsigned char row[32];
    memset(row, 0xee, sizeof row);
    _dd_column lv = plain(TDB_LONG_V, 4);
    fill_default(&lv, row, "7");
    EXPECT_EQ(hex(row, 4), "00 00 00 07");
    _dd_column s = plain(TDB_STRING, 4, 3);
    fill_default(&s, row, "ab");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row), 12), "ab  ab  ab  ");
    _dd_column r = plain(TDB_RAW, 4);
    fill_default(&r, row, "0A1");
    EXPECT_EQ(hex(row, 4), "0a 00 00 00");
    _dd_column longer = plain(TDB_STRING, 3);
    fill_default(&longer, row, "abcdef");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row), 3), "abc");
    _dd_column i = plain(TDB_INTEGER, 2, 2);
    fill_default(&i, row, "-300");
    EXPECT_EQ(hex(row, 4), "fe d4 fe d4");
    _dd_column e = plain(TDB_ENUM, 1);
    fill_default(&e, row, "258");
    EXPECT_EQ(row[0], 2);
    _dd_column f = plain(TDB_FLOAT, 4);
    fill_default(&f, row, "-0.25");
    float fv;
    memcpy(&fv, row, 4);
    EXPECT_EQ(fv, -0.25f);
    _dd_column k = plain(TDB_TIME, 4);
    fill_default(&k, row, "");
    EXPECT_EQ(hex(row, 4), "00 00 00 00");
}

TEST_F(Defaults, CombinedGetsNothingAndUnknownTypesAreLogged)
{
    unsigned char row[8];
    memset(row, 0xee, sizeof row);
    _dd_column c = plain(TDB_COMBINED, 0);
    fill_default(&c, row, "1");
    EXPECT_EQ(row[0], 0xee);
    Recorder rec;
    _dd_column bad = plain(0, 4);
    fill_default(&bad, row, "1");
    _dd_column bad_array = plain(16, 2, 2);
    fill_default(&bad_array, row, "1");
    EXPECT_TRUE(rec.logged("(2) unknown type in fill_default 00\n"));
    EXPECT_TRUE(rec.logged("(1) unknown type in fill_default 020\n"));
    EXPECT_EQ(row[0], 0xee);
}

TEST_F(Defaults, CompanyNumberGoesBigEndianIntoCompnr)
{
    const _dd_table *t = ddtable("dbtst101");
    ASSERT_NE(t, nullptr);
    std::vector<unsigned char> row(t->default_row, t->default_row + t->row_length);
    put_compnr_in_row(t, row.data(), 812);
    EXPECT_EQ(hex(row.data() + 64, 2), "03 2c");
}

/* ---- set-up and mode ----------------------------------------------------------------- */

using Mode = DictTest;

TEST_F(Mode, OnlyOneThreeAndFourAreAccepted)
{
    EXPECT_EQ(get_dd_mode(), 1);
    EXPECT_EQ(init_dd_mode(3), 0);
    EXPECT_EQ(get_dd_mode(), 3);
    Recorder rec;
    EXPECT_EQ(init_dd_mode(2), -1);
    EXPECT_EQ(get_dd_mode(), 3);
    EXPECT_TRUE(rec.logged("\nIllegal dd_mode 2 set."));
    EXPECT_EQ(init_dd_mode(1), 0);
    EXPECT_EQ(get_dd_mode(), 1);
}

TEST_F(Mode, LookupBeforeInitialisationIsRefused)
{
    in_child([] {
        dd_info.flags = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ddtable("dbtst100"), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "local_DD uninitialized (call init_local_dd)\n");
    });
}

TEST_F(Mode, TypeTableMapsLettersToCodesAndWidths)
{
    EXPECT_EQ(dd_type_from_letter('B')->type, TDB_BYTE);
    EXPECT_EQ(dd_type_from_letter('m')->width, 4);
    EXPECT_EQ(dd_type_from_letter('d')->width, 8);
    EXPECT_EQ(dd_type_from_letter('s')->width, 0);
    EXPECT_EQ(dd_type_from_letter('r')->type, TDB_RAW);
    EXPECT_EQ(dd_type_from_letter('x'), nullptr);
    EXPECT_EQ(dd_base_type(TDB_SET), TDB_LONG);
    EXPECT_EQ(dd_base_type(TDB_ENUM), TDB_BYTE);
    EXPECT_EQ(dd_base_type(TDB_DATE), TDB_DATE);
}

} // namespace
