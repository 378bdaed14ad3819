/*
 * qpd_malformed_test.cpp: malformed dictionary files that the fuzzers
 * found mishandled, each read into a defined state: the dictionary's
 * messages and error numbers, records that hold no stray values, and a
 * cache as it was before a failed load; and a layout they showed up:
 * columns not stored in the database behind the row length.
 */
#include <string>

#include "qpd_test_support.h"

using namespace qpdtest;

namespace {

using MalformedDomains = DictTest;

/* A DIV line read while the type was a number type stored 100 in the
 * domain's word; a later T line made it an enum domain, whose word is the
 * head of its enum lists. */
TEST_F(MalformedDomains, TypeChangedToEnumAfterDivHasOnlyItsLists)
{
    write_root("appl/qr6.2/d6.2/dqr.pd", "D\n:N    qrDom.nolang\n:T    l\n:DIV  100\n:T    e\n"
                                         "D\n:N    qrDom.onelang\n:T    v\n:DIV  100\n:T    p1\n:B    1\n 001x~X\n"
                                         "D\n:N    qrDom.string\n:T    s\n:CO   u\n:T    e\n");
    in_child([] {
        ASSERT_NE(read_domain_list("qr"), nullptr);
        const _dd_domain *nolang = dddomain("qrDom.nolang");
        ASSERT_NE(nolang, nullptr);
        EXPECT_EQ(nolang->type, TDB_ENUM);
        EXPECT_EQ(nolang->word.enums, nullptr);
        const _dd_domain *onelang = dddomain("qrDom.onelang");
        ASSERT_NE(onelang, nullptr);
        const _dd_enum_list *list = get_enum_def(onelang, '1');
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list, onelang->word.enums);
        EXPECT_EQ(list->next, nullptr);
        ASSERT_EQ(list->count, 1);
        EXPECT_EQ(list->entries[0].value, 1);
        EXPECT_EQ(dddomain("qrDom.string")->word.enums, nullptr);
    });
}

using MalformedTables = DictTest;

std::string field17(const std::string &name)
{
    std::string f = name;
    f.resize(17, ' ');
    return f;
}

/* A table whose combined column "a" is made of "b", and "b" of "a". */
TEST_F(MalformedTables, CombinedColumnThatIsItsOwnPartIsRefused)
{
    write_qa("dqaxxx191", "F\n:N    qaxxx191.id\n:DO   qaDom.long\n"
                          "F\n:N    qaxxx191.aa\n:C    " + field17("qaxxx191.bb") + "qaxxx191.id\n"
                          "F\n:N    qaxxx191.bb\n:C    " + field17("qaxxx191.id") + "qaxxx191.aa\n");
    write_qa("dqaxxx192", "F\n:N    qaxxx192.id\n:DO   qaDom.long\n"
                          "F\n:N    qaxxx192.self\n:C    qaxxx192.self\n");
    Recorder rec;
    qpd_clear_errno();
    rec.errors.clear();
    EXPECT_EQ(ddtable("qaxxx191"), nullptr);
    EXPECT_EQ(qpd_get_errno(), E_DD_ERROR);
    EXPECT_TRUE(rec.logged("combined column qaxxx191.aa is part of itself or nested deeper than 32 levels"));
    EXPECT_EQ(ddtable_local("qaxxx191"), nullptr);
    EXPECT_EQ(ddtable("qaxxx192"), nullptr);
    EXPECT_EQ(qpd_get_errno(), E_DD_ERROR);
    EXPECT_TRUE(rec.logged("combined column qaxxx192.self is part of itself or nested deeper than 32 levels"));
    EXPECT_EQ(ddtable_local("qaxxx192"), nullptr);
}

/* A chain of 32 combined columns over one stored column loads; a chain
 * of 33 does not. */
TEST_F(MalformedTables, CombinedNestingIsBounded)
{
    auto chain = [](const std::string &code, int levels) {
        std::string text = "F\n:N    " + code + ".c0\n:DO   qaDom.long\n";
        for (int i = 1; i < levels; ++i)
            text += "F\n:N    " + code + ".c" + std::to_string(i) + "\n:C    " + code + ".c" +
                    std::to_string(i - 1) + "\n";
        return text;
    };
    write_qa("dqaxxx193", chain("qaxxx193", 33));
    write_qa("dqaxxx194", chain("qaxxx194", 34));
    const _dd_table *ok = ddtable("qaxxx193");
    ASSERT_NE(ok, nullptr);
    const _dd_column *top = ddcolumn_by_ddtable(ok, "c32");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->type, TDB_COMBINED);
    EXPECT_EQ(top->length, 4);
    EXPECT_EQ(top->offset, 0);
    Recorder rec;
    EXPECT_EQ(ddtable("qaxxx194"), nullptr);
    EXPECT_EQ(qpd_get_errno(), E_DD_ERROR);
    EXPECT_EQ(ddtable_local("qaxxx194"), nullptr);
}

using RowLayout = DictTest;

/* Columns not stored in the database take their place in the row, but the
 * row length ends 6 bytes behind the last stored column: a column behind
 * it is still read from (and written into) the default row. */
TEST_F(RowLayout, DefaultRowHasRoomForColumnsBehindTheRowLength)
{
    write_qa("dqaxxx190", "F\n:N    qaxxx190.id\n:DO   qaDom.long\n:DEF  7\n"
                          "F\n:N    qaxxx190.calc\n:DO   qaDom.long\n:DB\n:DEF  258\n"
                          "F\n:N    qaxxx190.more\n:DO   qaDom.long\n:DB\n:DEF  -1\n"
                          "F\n:N    qaxxx190.last\n:DO   qaDom.long\n:DB\n:DEF  258\n"
                          "I\n:I    1\n:A    1\n:K  F qaxxx190.last\n");
    const _dd_table *t = ddtable("qaxxx190");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->data_length, 4);
    EXPECT_EQ(t->row_length, 10);
    const _dd_column *last = ddcolumn_by_ddtable(t, "last");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->offset, 12);
    /* Wholly behind the row length, yet in the default row. */
    EXPECT_EQ(hex(t->default_row + last->offset, 4), "00 00 01 02");
    EXPECT_EQ(hex(t->default_row, 4), "00 00 00 07");
    unsigned char key[4] = {};
    tdb_extract_key(key, t->default_row, key_desc(t, 1));
    EXPECT_EQ(hex(key, 4), "00 00 01 02");
}

} // namespace
