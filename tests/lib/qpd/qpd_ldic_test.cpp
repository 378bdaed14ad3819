/*
 * qpd_ldic_test.cpp: reading dictionary files: the current and the new
 * dictionary side by side (each reconfiguration case of the demo), domain
 * fallback, domain-file attributes and warnings, the range-compiler hook,
 * and every structural error of a table file with its message, its error
 * number and an unchanged cache.
 */
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qpd_test_support.h"
#include "tss.h"

using namespace qpdtest;

namespace {

std::string attr(const std::string &tag, const std::string &value = "")
{
    std::string line = ":" + tag;
    line.resize(6, ' ');
    return line + value + "\n";
}

std::string column(const std::string &name, const std::string &domain, const std::string &extra = "")
{
    return "F\n" + attr("N", name) + (domain.empty() ? "" : attr("DO", domain)) + extra;
}

std::string key(int nr, const std::vector<std::string> &parts)
{
    std::string fields;
    for (const auto &p : parts) {
        std::string f = p;
        f.resize(17, ' ');
        fields += f;
    }
    return "I\n" + attr("I", std::to_string(nr)) + attr("A", "1") + attr("K  F", fields);
}

/* ---- current and new side by side ------------------------------------------ */

using SideBySide = DictTest;

TEST_F(SideBySide, WidenedColumnHasBothRecordsInTheCache)
{
    const _dd_table *current = ddtable("dbtst109");
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(dd_info.last_from_new, 0);
    ASSERT_EQ(init_dd_mode(3), 0);
    EXPECT_EQ(ddtable_local("dbtst109"), nullptr);
    const _dd_table *next = ddtable("dbtst109");
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, current);
    EXPECT_EQ(dd_info.last_from_new, 1);
    EXPECT_EQ(next->mode_bits, DD_NEW);
    EXPECT_EQ(current->mode_bits, DD_CURRENT);
    EXPECT_EQ(ddcolumn("dbtst109.descr")->length, 40);
    EXPECT_EQ(next->row_length, 4 + 40 + 6);
    ASSERT_EQ(init_dd_mode(1), 0);
    EXPECT_EQ(ddtable("dbtst109"), current);
    EXPECT_EQ(ddcolumn("dbtst109.descr")->length, 20);
    EXPECT_EQ(current->row_length, 4 + 20 + 6);
}

TEST_F(SideBySide, TableWithoutNewFileIsNullInTheNewDictionary)
{
    ASSERT_NE(ddtable("dbtst100"), nullptr);
    ASSERT_EQ(init_dd_mode(3), 0);
    Recorder rec;
    EXPECT_EQ(ddtable("dbtst100"), nullptr);
    EXPECT_EQ(qpd_get_errno(), E_DD_NOT_FOUND);
    EXPECT_EQ(ddtable_local("dbtst100"), nullptr);
    ASSERT_EQ(init_dd_mode(1), 0);
    EXPECT_NE(ddtable_local("dbtst100"), nullptr);
}

TEST_F(SideBySide, EachReconfigurationCaseOfTheDemo)
{
    struct Pair {
        const _dd_table *now;
        const _dd_table *next;
    };
    auto both = [](const char *code) {
        init_dd_mode(1);
        const _dd_table *now = ddtable(code);
        init_dd_mode(3);
        const _dd_table *next = ddtable(code);
        init_dd_mode(1);
        return Pair{now, next};
    };
    /* Nothing changed: the same layout and default row. */
    Pair same = both("dbtst107");
    ASSERT_TRUE(same.now && same.next);
    EXPECT_EQ(same.now->row_length, same.next->row_length);
    EXPECT_EQ(memcmp(same.now->default_row, same.next->default_row, same.now->row_length), 0);
    /* A key's parts changed. */
    Pair keyed = both("dbtst108");
    ASSERT_TRUE(keyed.now && keyed.next);
    EXPECT_EQ(tdb_max_key_size_of_table(keyed.now), 6);
    EXPECT_STREQ(keyed.next->keys[0].parts[1]->name, "dbtst108.b");
    EXPECT_EQ(keyed.now->keys[0].parts[1], nullptr);
    /* A type changed: integer to long. */
    Pair typed = both("dbtst110");
    ASSERT_TRUE(typed.now && typed.next);
    EXPECT_EQ(ddcolumn_by_ddtable(typed.now, "cnt")->type, TDB_INTEGER);
    EXPECT_EQ(ddcolumn_by_ddtable(typed.next, "cnt")->type, TDB_LONG);
    EXPECT_EQ(typed.next->row_length, typed.now->row_length + 2);
    /* A column added with a default: enum value 1 at offset 24. */
    Pair added = both("dbtst111");
    ASSERT_TRUE(added.now && added.next);
    EXPECT_EQ(ddcolumn_by_ddtable(added.now, "status"), nullptr);
    const _dd_column *status = ddcolumn_by_ddtable(added.next, "status");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->offset, 24);
    EXPECT_EQ(added.next->default_row[24], 1);
    EXPECT_EQ(added.next->row_length, 31);
    /* A column dropped. */
    Pair dropped = both("dbtst112");
    ASSERT_TRUE(dropped.now && dropped.next);
    EXPECT_NE(ddcolumn_by_ddtable(dropped.now, "obsolete"), nullptr);
    EXPECT_EQ(ddcolumn_by_ddtable(dropped.next, "obsolete"), nullptr);
    EXPECT_EQ(dropped.now->row_length, 34);
    EXPECT_EQ(dropped.next->row_length, 30);
    /* A tighter domain from the new domain file. */
    Pair tight = both("dbtst113");
    ASSERT_TRUE(tight.now && tight.next);
    EXPECT_STREQ(ddcolumn_by_ddtable(tight.now, "qty")->domain->range_text, "$$ >= 0");
    EXPECT_STREQ(ddcolumn_by_ddtable(tight.next, "qty")->domain->range_text,
                 "$$ >= 0 and $$ <= 9999");
}

TEST_F(SideBySide, DomainsFallBackToTheCurrentFileWithoutANewOne)
{
    write_qa("dqatst215", column("qatst215.id", "qaDom.long"));
    write_qa("dqatst215.new", column("qatst215.id", "qaDom.long") + column("qatst215.nr", "qaDom.int"));
    ASSERT_EQ(init_dd_mode(3), 0);
    const _dd_table *next = ddtable("qatst215");
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->row_length, 4 + 2 + 6);
    const _dd_column *id = ddcolumn_by_ddtable(next, "id");
    EXPECT_EQ(id->domain, [] {
        init_dd_mode(1);
        return dddomain_with_read("qaDom.long");
    }());
}

/* ---- structural errors --------------------------------------------------------- */

class Malformed : public DictTest {
protected:
    /* Loads a table that must fail with 512 and the message; the cache
     * stays without it, and a second lookup fails the same way. */
    void expect_refused(const char *code, const std::string &message)
    {
        for (int attempt = 0; attempt < 2; attempt++) {
            Recorder rec;
            EXPECT_EQ(ddtable(code), nullptr) << code;
            EXPECT_EQ(qpd_get_errno(), E_DD_ERROR) << code;
            EXPECT_EQ(rec.errors, std::vector<int>{E_DD_ERROR}) << code;
            EXPECT_TRUE(rec.logged(message)) << code << " expected: " << message;
            EXPECT_EQ(ddtable_local(code), nullptr);
        }
    }
};

TEST_F(Malformed, FirstRecordMustBeAColumn)
{
    write_qa("dqatst200", attr("R  U", "x") + key(1, {"qatst200.id"}) + column("qatst200.id", "qaDom.long"));
    expect_refused("qatst200", "first record of table file is not F");
    write_qa("dqatst216", attr("R  U", "header only"));
    expect_refused("qatst216", "first record of table file is not F");
}

TEST_F(Malformed, RowLengthLimitIsSixThousandOneHundredThirtyEight)
{
    write_qa("dqatst211", column("qatst211.a", "qaDom.big") + column("qatst211.b", "qaDom.rest"));
    const _dd_table *t = ddtable("qatst211");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->data_length, 6138);
    EXPECT_EQ(t->row_length, 6144);
    write_qa("dqatst212", column("qatst212.a", "qaDom.big") + column("qatst212.b", "qaDom.rest1"));
    expect_refused("qatst212", "table qatst212 exceeds max rowlength (=6144)");
    write_qa("dqatst201", column("qatst201.a", "qaDom.big") + column("qatst201.b", "qaDom.big"));
    expect_refused("qatst201", "table qatst201 exceeds max rowlength (=6144)");
}

TEST_F(Malformed, KeyLengthLimitIsFiveHundred)
{
    write_qa("dqatst213", column("qatst213.a", "qaDom.s300") + column("qatst213.b", "qaDom.s200") +
                              key(1, {"qatst213.a", "qatst213.b"}));
    const _dd_table *t = ddtable("qatst213");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(tdb_max_key_size_of_table(t), 500);
    write_qa("dqatst202", column("qatst202.a", "qaDom.s300") + column("qatst202.b", "qaDom.s300") +
                              key(1, {"qatst202.a"}) + key(2, {"qatst202.a", "qatst202.b"}));
    expect_refused("qatst202", "table qatst202 exceeds max indexlength (=500) for index 2");
}

TEST_F(Malformed, UnknownKeyPartCombinedPartAndDomain)
{
    write_qa("dqatst203", column("qatst203.id", "qaDom.long") + key(1, {"qatst203.nosuch"}));
    expect_refused("qatst203", "column qatst203.nosuch not found in DD");
    write_qa("dqatst204", column("qatst204.id", "qaDom.long") +
                              column("qatst204.both", "", attr("C", "qatst204.id      qatst204.gone")));
    expect_refused("qatst204", "Can't find child column - dictionary may contain conflicting "
                               "versions or could be corrupted");
    write_qa("dqatst205", column("qatst205.id", "qaDom.nosuch"));
    expect_refused("qatst205", "search domain 'qaDom.nosuch' failed\n");
}

TEST_F(Malformed, RcdUtcMustBeAPlainStoredTimeColumn)
{
    write_qa("dqatst206", column("qatst206.rcd_utc", "qaDom.long"));
    expect_refused("qatst206", "rcd_utc column must be of type TDB_TIME");
    write_qa("dqatst207", column("qatst207.rcd_utc", "qaDom.utc", attr("DEP", "2")));
    expect_refused("qatst207", "rcd_utc column cannot be an array column");
    write_qa("dqatst208", column("qatst208.rcd_utc", "qaDom.utc", attr("DB")));
    expect_refused("qatst208", "rcd_utc column must be active in the database");
}

TEST_F(Malformed, GroupNamingAnotherTablesColumn)
{
    write_qa("dqatst209", column("qatst209.id", "qaDom.long") + "L\n" + attr("L", "qatst100.id"));
    expect_refused("qatst209", "Column offset too large or too small.\n");
    /* A name that is no column is ignored. */
    write_qa("dqatst217", column("qatst217.id", "qaDom.long") + column("qatst217.nr", "qaDom.int") +
                              "L\n" + attr("L", "qatst217.nosuch    qatst217.nr"));
    const _dd_table *t = ddtable("qatst217");
    ASSERT_NE(t, nullptr);
    /* Sorted: _compnr 0, _dlock 1, id 2, nr 3. */
    std::vector<unsigned short> groups(t->column_groups, t->column_groups + 5);
    EXPECT_EQ(groups, (std::vector<unsigned short>{2, 1, 3, 1, 2}));
}

TEST_F(Malformed, KeyNumberZeroIsReportedOnStandardError)
{
    write_qa("dqatst210", column("qatst210.id", "qaDom.long") + key(0, {"qatst210.id"}));
    testing::internal::CaptureStderr();
    const _dd_table *t = ddtable("qatst210");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Illegal key 1 nr 0\n");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->nr_keys, 1);
}

TEST_F(Malformed, ZeroElementsCountAsOneAndHeaderTextsAreCut)
{
    write_qa("dqatst218", attr("R  U", "a U text longer than fourteen") +
                              attr("R  D", "a D text that is longer than twenty-six") +
                              column("qatst218.id", "qaDom.long", attr("DEP", "0")) +
                              column("qatst218.nr", "qaDom.int", attr("DEP", "1")));
    const _dd_table *t = ddtable("qatst218");
    ASSERT_NE(t, nullptr);
    const _dd_column *id = ddcolumn_by_ddtable(t, "id");
    EXPECT_EQ(id->elements, 1);
    EXPECT_EQ(id->length, 4);
    EXPECT_EQ(id->flags, 0);
    EXPECT_EQ(ddcolumn_by_ddtable(t, "nr")->offset, 4);
    EXPECT_STREQ(t->u_text, "a U text longe");
    EXPECT_STREQ(t->d_text, "a D text that is longer th");
}

TEST_F(Malformed, FirstKeyColumnComesFromKeyNumberOne)
{
    write_qa("dqatst219", column("qatst219.a", "qaDom.long") + column("qatst219.b", "qaDom.int") +
                              key(2, {"qatst219.a"}) + key(1, {"qatst219.b", "qatst219.a"}));
    const _dd_table *t = ddtable("qatst219");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->first_key_column, ddcolumn_by_ddtable(t, "b"));
    EXPECT_EQ(t->keys[0].keynr, 2);
}

TEST_F(Malformed, MissingFileIs513AndNotCached)
{
    Recorder rec;
    EXPECT_EQ(ddtable("qatst299"), nullptr);
    EXPECT_EQ(rec.errors, std::vector<int>{E_DD_NOT_FOUND});
    write_qa("dqatst299", column("qatst299.id", "qaDom.long"));
    EXPECT_NE(ddtable("qatst299"), nullptr);
}

/* ---- domain files -------------------------------------------------------------------- */

int compile_calls;

void *fake_compiler(const char *text, int *error)
{
    compile_calls++;
    if (strcmp(text, "bad") == 0) {
        *error = 7;
        return nullptr;
    }
    static int handle;
    return &handle;
}

TEST(DomainFile, WarningsRangeCompilerAndDefaultsOfTheSyntax)
{
    write_root("appl/qc6.2/d6.2/dqc.pd",
               "# not a record\n"
               ":N    ignored before the first record\n"
               "D\n:N    qcDom.zero\n:T    s\n:CL   0\n"
               "D\n:N    qcDom.rng\n:T    l\n:RA   bad\n"
               "D\n:N    qcDom.ok\n:T    l\n:RA   $$ > 1\n"
               "D\n:N    qcDom.odd\n:T    x\n"
               "D\n:N    qcDom.esc\n:T    e1\n:B    2\n 001a~x\\\\y\n 007b~ \x9b\x81\x82\x83 ~\n"
               "D\n:N    qcDom.short\n:T    e12\n:B    3\n\n 0\n 002k\n");
    in_child([] {
        init_local_dd();
        qpd_set_range_compiler(fake_compiler);
        Recorder rec;
        qpd_clear_errno();
        rec.errors.clear();
        const _dd_domain_list *list = read_domain_list("qc");
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->count, 6);
        EXPECT_STREQ(list->domains[0].name, "Dom.esc");  /* sorted */
        EXPECT_TRUE(rec.logged("WARNING: invalid string len for qcDom.zero (CLEN): 0"));
        EXPECT_TRUE(rec.logged("domain: qcDom.rng, range expression: bad, error 7"));
        EXPECT_EQ(compile_calls, 2);
        EXPECT_EQ(qpd_get_errno(), 0);
        EXPECT_TRUE(rec.errors.empty());
        EXPECT_EQ(dddomain("qcDom.rng")->range, nullptr);
        EXPECT_NE(dddomain("qcDom.ok")->range, nullptr);
        EXPECT_EQ(dddomain("qcDom.zero")->width, 0);
        EXPECT_EQ(dddomain("qcDom.odd")->type, 0);
        const _dd_enum_list *e = get_enum_def(dddomain("qcDom.esc"), '1');
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e->entries[0].description, "x\\y");
        EXPECT_EQ(e->entries[1].value, 7);
        EXPECT_STREQ(e->entries[1].description, "\x9b\x81\x82\x83");
        /* Short and empty entry lines give entries without texts. */
        const _dd_enum_list *s2 = get_enum_def(dddomain("qcDom.short"), '2');
        ASSERT_NE(s2, nullptr);
        EXPECT_EQ(s2->count, 3);
        EXPECT_EQ(s2->entries[0].value, 0);
        EXPECT_STREQ(s2->entries[2].keyword, "k");
        EXPECT_STREQ(s2->entries[2].description, "");
        EXPECT_EQ(s2->entries[2].value, 2);
    });
}

TEST(DomainFile, MissingFileIsRememberedAsAnEmptyList)
{
    in_child([] {
        init_local_dd();
        EXPECT_EQ(read_domain_list("qd"), nullptr);
        EXPECT_EQ(dddomain_with_read("qdDom.any"), nullptr);
    });
}

} // namespace

namespace {

TEST(DomainFile, MultibyteWidthBelowTheDisplayNeedIsWarnedInUnicodeMode)
{
    write_root("appl/qe6.2/d6.2/dqe.pd", "D\n:N    qeDom.mb\n:T    m\n:CL   8\n:P    4\n"
                                         "D\n:N    qeDom.wide\n:T    m\n:CL   120\n:P    4\n");
    in_child([] {
        init_local_dd();
        TssSetMode(2);
        Recorder rec;
        ASSERT_NE(read_domain_list("qe"), nullptr);
        EXPECT_TRUE(rec.logged("WARNING: invalid string len for Dom.mb (CLEN): 8"));
        EXPECT_EQ(rec.messages.size(), 1u);
        EXPECT_EQ(dddomain("qeDom.mb")->width, 8);
    });
}

TEST(ReferencedTables, ModeFourLoadsTheReferringTablesAndBindsBothSides)
{
    in_child([] {
        init_local_dd();
        ASSERT_EQ(init_dd_mode(4), 0);
        EXPECT_EQ(get_dd_mode(), 1);
        const _dd_table *t = ddtable("dbtst100");
        ASSERT_NE(t, nullptr);
        const _dd_table *referring = ddtable_local("dbtst104");
        ASSERT_NE(referring, nullptr);
        ASSERT_EQ(t->nr_ref_by, 1);
        EXPECT_EQ(t->ref_by[0].ref, ddfrom_ref("dbtst104.item"));
        /* dbtst104 in turn is referred to by dbtst105. */
        EXPECT_NE(ddtable_local("dbtst105"), nullptr);
    });
}

TEST(ReferencedTables, MissingReferringTableIsLoggedAndTheErrorCleared)
{
    write_qa("dqatst230", column("qatst230.id", "qaDom.long") + "R\n" + attr("R", "qatst998.id      0"));
    in_child([] {
        init_local_dd();
        init_dd_mode(4);
        Recorder rec;
        const _dd_table *t = ddtable("qatst230");
        ASSERT_NE(t, nullptr);
        EXPECT_TRUE(rec.logged("DD for qatst998 not found"));
        EXPECT_EQ(rec.errors, (std::vector<int>{E_DD_NOT_FOUND, 0}));
        EXPECT_EQ(qpd_get_errno(), 0);
        EXPECT_EQ(t->ref_by[0].ref, nullptr);
        EXPECT_EQ(t->ref_by[0].mode, 1);
    });
}

int global_allocations;

void *counting_alloc(size_t size)
{
    global_allocations++;
    return malloc(size);
}

TEST(GlobalDictionary, UsesTheCallersAllocatorForEveryRecord)
{
    write_qa("dqatst231", column("qatst231.id", "qaDom.long"));
    in_child([] {
        ASSERT_EQ(init_global_dd(counting_alloc), 0);
        EXPECT_EQ(global_allocations, 1);  /* the base */
        EXPECT_TRUE(dd_info.flags & DD_GLOBAL);
        EXPECT_EQ(get_dd_mode(), 1);
        ASSERT_NE(ddtable("qatst231"), nullptr);
        EXPECT_GT(global_allocations, 3);
        EXPECT_EQ(init_global_dd(nullptr), -1);
    });
}

} // namespace
