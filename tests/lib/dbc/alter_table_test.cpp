/*
 * The comparison of the alter-table check: the change-record flags that
 * checkDDChanges and its steps set for the demo's reconfiguration tables
 * and for small dictionaries written per test (package "da"), the type
 * families and the character subsets, and the refusals of tdb_alter_table
 * that come before any driver is asked. The answers through the real
 * driver are tested in tests/servers/DRIVER/client_alter_test.cpp.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "al_log.h"
#include "al_user.h"
#include "alter_dictionary.h"
#include "c_state.h"
#include "commu_support.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_dd_chk.h"

using tdbtest::AlterColumnSpec;
using tdbtest::AlterKeySpec;

namespace {

/* The flags as one text, for readable failures. */
std::string flags(const tdb_alter_info &i)
{
    return "columns " + std::to_string(i.columns_changed) + " check " +
           std::to_string(i.data_check) + " conversion " + std::to_string(i.conversion) +
           " indexes " + std::to_string(i.indexes_changed) + " utc " +
           std::to_string(i.only_rcd_utc);
}

std::string expect(int columns, int check, int conversion, int indexes, int utc = 0)
{
    tdb_alter_info i{columns, check, conversion, indexes, utc};
    return flags(i);
}

const std::vector<AlterKeySpec> kKeyOnId = {{1, 1, 0, {"id"}}};

class AlterCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        /* Domains read from here on carry compiled ranges. */
        tdb_dd_chk_init();
        commutest::reset_state();
        saved_switch_ = user_info.domaincheck;
        user_info.domaincheck = 1;
        tdb_errno = 0;
    }
    void TearDown() override { user_info.domaincheck = saved_switch_; }

    /* Writes a table whose column "v" goes from one description to
     * another (besides the key column "id") and compares it. */
    int compare_column(const std::string &code, const AlterColumnSpec &before,
                       const AlterColumnSpec &after, int ignore = 0)
    {
        tdbtest::write_alter_table(commutest::root(), code,
                                   {{"id", "daDom.long"}, before}, kKeyOnId,
                                   {{"id", "daDom.long"}, after}, kKeyOnId);
        return run(code, ignore);
    }
    int run(const std::string &code, int ignore = 0)
    {
        info = tdb_alter_info{7, 7, 7, 7, 7};
        alterTableInfoInit(&info);
        return checkDDChanges(code.c_str(), ignore, &info);
    }

    tdb_alter_info info{};
    short saved_switch_ = 0;
};

/* ---- the demo's reconfiguration tables ------------------------------------------------------ */

TEST_F(AlterCheck, IdenticalDefinitionsSetNothing)
{
    ASSERT_EQ(run("dbtst107"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    EXPECT_EQ(get_dd_mode(), 1) << "the current dictionary stays selected";
}

TEST_F(AlterCheck, ChangedKeyPartsChangeOnlyTheIndexes)
{
    ASSERT_EQ(run("dbtst108"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 1));
}

TEST_F(AlterCheck, WiderStringChangesTheColumnsWithoutConversion)
{
    ASSERT_EQ(run("dbtst109"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

TEST_F(AlterCheck, IntegerToLongWidensWithoutConversion)
{
    ASSERT_EQ(run("dbtst110"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

TEST_F(AlterCheck, AddedAndDroppedColumnsChangeTheColumns)
{
    ASSERT_EQ(run("dbtst111"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
    ASSERT_EQ(run("dbtst112"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

TEST_F(AlterCheck, NarrowerRangeOfTheNewDomainFileNeedsADataCheck)
{
    /* dbDom.qty gains "and $$ <= 9999" in ddb.pd.new. */
    ASSERT_EQ(run("dbtst113"), 0);
    EXPECT_EQ(flags(info), expect(0, 1, 0, 0));
    ASSERT_EQ(run("dbtst113", 1), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0)) << "ignore-domain skips the range";
}

TEST_F(AlterCheck, TableWithoutNewDefinitionIs513)
{
    EXPECT_EQ(run("dbtst100"), -1);
    EXPECT_EQ(tdb_errno, 513);
    EXPECT_EQ(get_dd_mode(), 1);
    EXPECT_EQ(run("dbtst999"), -1);
    EXPECT_EQ(tdb_errno, 513);
}

/* ---- types ------------------------------------------------------------------------------------ */

TEST_F(AlterCheck, LongToFloatAndStringToLongNeedConversion)
{
    ASSERT_EQ(compare_column("daalt001", {"v", "daDom.long"}, {"v", "daDom.float"}), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 1, 0));
    ASSERT_EQ(compare_column("daalt002", {"v", "daDom.s10"}, {"v", "daDom.long"}), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 1, 0));
}

TEST_F(AlterCheck, WideningTypesNeedNoConversion)
{
    ASSERT_EQ(compare_column("daalt003", {"v", "daDom.int"}, {"v", "daDom.double"}), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
    ASSERT_EQ(compare_column("daalt004", {"v", "daDom.byte"}, {"v", "daDom.float"}), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
    /* TDB_TEXT has base TDB_LONG: the same base, a kept width. */
    ASSERT_EQ(compare_column("daalt005", {"v", "daDom.long"}, {"v", "daDom.text"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
}

TEST_F(AlterCheck, StringToMultibyteStringOfTheSameWidthIsNoConversion)
{
    ASSERT_EQ(compare_column("daalt006", {"v", "daDom.s10"}, {"v", "daDom.m10"}), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

TEST_F(AlterCheck, SameStringUnderAnotherDomainChangesNothing)
{
    ASSERT_EQ(compare_column("daalt007", {"v", "daDom.s10"}, {"v", "daDom.s10b"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
}

TEST_F(AlterCheck, NewCaseOrAlignmentAttributeNeedsConversion)
{
    ASSERT_EQ(compare_column("daalt008", {"v", "daDom.s10"}, {"v", "daDom.s10u"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 1, 0));
    ASSERT_EQ(compare_column("daalt009", {"v", "daDom.s10"}, {"v", "daDom.s10r"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 1, 0));
    /* Losing the attribute rewrites nothing. */
    ASSERT_EQ(compare_column("daalt010", {"v", "daDom.s10u"}, {"v", "daDom.s10"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
}

TEST_F(AlterCheck, FewerLegalCharactersNeedADataCheck)
{
    ASSERT_EQ(compare_column("daalt011", {"v", "daDom.s10abc"}, {"v", "daDom.s10ab"}), 0);
    EXPECT_EQ(flags(info), expect(0, 1, 0, 0));
    ASSERT_EQ(compare_column("daalt012", {"v", "daDom.s10ab"}, {"v", "daDom.s10abc"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    /* An old domain without an L text counts as a subset of any. */
    ASSERT_EQ(compare_column("daalt013", {"v", "daDom.s10"}, {"v", "daDom.s10ab"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    ASSERT_EQ(compare_column("daalt014", {"v", "daDom.s10abc"}, {"v", "daDom.s10ab"}, 1), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
}

TEST_F(AlterCheck, MoreIllegalCharactersNeedADataCheck)
{
    ASSERT_EQ(compare_column("daalt015", {"v", "daDom.s10nox2"}, {"v", "daDom.s10nox"}), 0);
    EXPECT_EQ(flags(info), expect(0, 1, 0, 0));
    ASSERT_EQ(compare_column("daalt016", {"v", "daDom.s10nox"}, {"v", "daDom.s10nox2"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    ASSERT_EQ(compare_column("daalt017", {"v", "daDom.s10"}, {"v", "daDom.s10nox"}), 0);
    EXPECT_EQ(flags(info), expect(0, 1, 0, 0));
}

TEST_F(AlterCheck, NumberBecomingAConstrainedStringNeedsCheckAndConversion)
{
    ASSERT_EQ(compare_column("daalt018", {"v", "daDom.long"}, {"v", "daDom.s10abc"}), 0);
    EXPECT_EQ(flags(info), expect(1, 1, 1, 0));
    ASSERT_EQ(compare_column("daalt019", {"v", "daDom.long"}, {"v", "daDom.s10abc"}, 1), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 1, 0));
}

TEST_F(AlterCheck, RawWidthChangeIsAColumnChange)
{
    ASSERT_EQ(compare_column("daalt020", {"v", "daDom.raw8"}, {"v", "daDom.raw4"}), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

/* ---- domains ---------------------------------------------------------------------------------- */

TEST_F(AlterCheck, NewRangeExpressionNeedsADataCheckUnlessIgnored)
{
    ASSERT_EQ(compare_column("daalt021", {"v", "daDom.long"}, {"v", "daDom.longr"}), 0);
    EXPECT_EQ(flags(info), expect(0, 1, 0, 0));
    ASSERT_EQ(compare_column("daalt022", {"v", "daDom.long"}, {"v", "daDom.longr"}, 1), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
}

TEST_F(AlterCheck, EqualRangeOfAnotherDomainIsNoDataCheck)
{
    ASSERT_EQ(compare_column("daalt023", {"v", "daDom.longr"}, {"v", "daDom.longr2"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    ASSERT_EQ(compare_column("daalt024", {"v", "daDom.longr"}, {"v", "daDom.longr3"}), 0);
    EXPECT_EQ(flags(info), expect(0, 1, 0, 0));
}

TEST_F(AlterCheck, ConversionMakesAnyNewRangeADataCheck)
{
    /* The values are rewritten: even the same range must be tested. */
    ASSERT_EQ(compare_column("daalt025", {"v", "daDom.s10"}, {"v", "daDom.longr"}), 0);
    EXPECT_EQ(flags(info), expect(1, 1, 1, 0));
}

TEST_F(AlterCheck, ColumnBecomingMandatoryNeedsADataCheck)
{
    ASSERT_EQ(compare_column("daalt026", {"v", "daDom.long"}, {"v", "daDom.long", ":F\n"}), 0);
    EXPECT_EQ(flags(info), expect(0, 1, 0, 0));
    ASSERT_EQ(compare_column("daalt027", {"v", "daDom.long", ":F\n"}, {"v", "daDom.long"}), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    ASSERT_EQ(compare_column("daalt028", {"v", "daDom.long"}, {"v", "daDom.long", ":F\n"}, 1),
              0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
}

TEST_F(AlterCheck, MoreElementsWithADefaultOutsideTheDomainIs205)
{
    ASSERT_EQ(compare_column("daalt029", {"v", "daDom.longr", ":DEP  2\n"},
                             {"v", "daDom.longr", ":DEP  3\n:DEF  -5\n"}),
              -1);
    EXPECT_EQ(tdb_errno, 205);
    ASSERT_EQ(run("daalt029", 1), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
    /* A default inside the domain is fine; fewer elements test nothing. */
    ASSERT_EQ(compare_column("daalt030", {"v", "daDom.longr", ":DEP  2\n"},
                             {"v", "daDom.longr", ":DEP  3\n:DEF  5\n"}),
              0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
    ASSERT_EQ(compare_column("daalt031", {"v", "daDom.longr", ":DEP  3\n"},
                             {"v", "daDom.longr", ":DEP  2\n:DEF  -5\n"}),
              0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

TEST_F(AlterCheck, DomainCheckSwitchedOffLetsADefaultOutsideTheDomainPass)
{
    user_info.domaincheck = 0;
    tdbtest::write_alter_table(commutest::root(), "daalt032", {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"v", "daDom.longr", ":DEF  -5\n"}},
                               kKeyOnId);
    ASSERT_EQ(run("daalt032"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

/* ---- added and dropped columns ---------------------------------------------------------------- */

TEST_F(AlterCheck, AddedColumnWithADefaultOutsideItsDomainIs205)
{
    tdbtest::write_alter_table(commutest::root(), "daalt033", {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"v", "daDom.longr", ":DEF  -5\n"}},
                               kKeyOnId);
    EXPECT_EQ(run("daalt033"), -1);
    EXPECT_EQ(tdb_errno, 205);
    ASSERT_EQ(run("daalt033", 1), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0));
}

TEST_F(AlterCheck, OnlyRcdUtcComingOrGoingIsMarked)
{
    tdbtest::write_alter_table(commutest::root(), "daalt034", {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"rcd_utc", "daDom.utc"}}, kKeyOnId);
    ASSERT_EQ(run("daalt034"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0, 1));
    tdbtest::write_alter_table(commutest::root(), "daalt035",
                               {{"id", "daDom.long"}, {"rcd_utc", "daDom.utc"}}, kKeyOnId,
                               {{"id", "daDom.long"}}, kKeyOnId);
    ASSERT_EQ(run("daalt035"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0, 1));
    tdbtest::write_alter_table(
        commutest::root(), "daalt036", {{"id", "daDom.long"}}, kKeyOnId,
        {{"id", "daDom.long"}, {"rcd_utc", "daDom.utc"}, {"x", "daDom.long"}}, kKeyOnId);
    ASSERT_EQ(run("daalt036"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0, 0));
}

TEST_F(AlterCheck, ColumnsNotStoredInTheDatabaseTakeNoPart)
{
    tdbtest::write_alter_table(commutest::root(), "daalt037", {{"id", "daDom.long"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"memo", "daDom.s10", ":DB\n"}}, kKeyOnId);
    ASSERT_EQ(run("daalt037"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    /* A stored column that leaves the database counts as dropped. */
    tdbtest::write_alter_table(commutest::root(), "daalt038",
                               {{"id", "daDom.long"}, {"memo", "daDom.s10"}}, kKeyOnId,
                               {{"id", "daDom.long"}, {"memo", "daDom.s10", ":DB\n"}}, kKeyOnId);
    ASSERT_EQ(run("daalt038"), 0);
    EXPECT_EQ(flags(info), expect(1, 0, 0, 0, 0));
}

/* ---- keys ------------------------------------------------------------------------------------- */

TEST_F(AlterCheck, KeyWithoutIndexInTheDatabaseMayChangeItsParts)
{
    const std::vector<AlterColumnSpec> cols = {{"id", "daDom.long"}, {"a", "daDom.long"},
                                               {"b", "daDom.long"}};
    tdbtest::write_alter_table(commutest::root(), "daalt039", cols,
                               {{1, 1, 0, {"id"}}, {2, 0, 1, {"a"}}}, cols,
                               {{1, 1, 0, {"id"}}, {2, 0, 1, {"a", "b"}}});
    ASSERT_EQ(run("daalt039"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 0));
    tdbtest::write_alter_table(commutest::root(), "daalt040", cols,
                               {{1, 1, 0, {"id"}}, {2, 1, 1, {"a"}}}, cols,
                               {{1, 1, 0, {"id"}}, {2, 1, 1, {"b"}}});
    ASSERT_EQ(run("daalt040"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 1));
}

TEST_F(AlterCheck, KeyCountAndAttributesChangeTheIndexes)
{
    const std::vector<AlterColumnSpec> cols = {{"id", "daDom.long"}, {"a", "daDom.long"}};
    tdbtest::write_alter_table(commutest::root(), "daalt041", cols, {{1, 1, 0, {"id"}}}, cols,
                               {{1, 1, 0, {"id"}}, {2, 1, 1, {"a"}}});
    ASSERT_EQ(run("daalt041"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 1));
    tdbtest::write_alter_table(commutest::root(), "daalt042", cols,
                               {{1, 1, 0, {"id"}}, {2, 1, 1, {"a"}}}, cols,
                               {{1, 1, 0, {"id"}}, {2, 1, 0, {"a"}}});
    ASSERT_EQ(run("daalt042"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 1));
    tdbtest::write_alter_table(commutest::root(), "daalt043", cols,
                               {{1, 1, 0, {"id"}}, {2, 0, 1, {"a"}}}, cols,
                               {{1, 1, 0, {"id"}}, {2, 1, 1, {"a"}}});
    ASSERT_EQ(run("daalt043"), 0);
    EXPECT_EQ(flags(info), expect(0, 0, 0, 1));
}

TEST_F(AlterCheck, KeyArraysComparedDirectly)
{
    tdbtest::write_alter_table(commutest::root(), "daalt044",
                               {{"id", "daDom.long"}, {"a", "daDom.long"}}, {{1, 1, 0, {"id"}}},
                               {{"id", "daDom.long"}, {"a", "daDom.long"}}, {{1, 1, 0, {"a"}}});
    init_dd_mode(3);
    const _dd_table *next = ddtable("daalt044");
    init_dd_mode(1);
    const _dd_table *current = ddtable("daalt044");
    ASSERT_NE(next, nullptr);
    ASSERT_NE(current, nullptr);
    tdb_alter_info i{};
    EXPECT_EQ(checkIndexChanges(current->keys, current->nr_keys, current->keys, current->nr_keys,
                                &i),
              0);
    EXPECT_EQ(i.indexes_changed, 0);
    EXPECT_EQ(checkIndexChanges(current->keys, 0, next->keys, 0, &i), 0);
    EXPECT_EQ(i.indexes_changed, 0);
    EXPECT_EQ(checkIndexChanges(current->keys, current->nr_keys, next->keys, next->nr_keys, &i),
              0);
    EXPECT_EQ(i.indexes_changed, 1);
    tdb_alter_info j{};
    EXPECT_EQ(checkIndexChanges(current->keys, 1, next->keys, 0, &j), 0);
    EXPECT_EQ(j.indexes_changed, 1);
}

TEST_F(AlterCheck, DomainAttributeTextsComeOutTogether)
{
    tdbtest::write_alter_domains(commutest::root());
    const _dd_domain *legal = dddomain_with_read("daDom.s10abc");
    const _dd_domain *illegal = dddomain_with_read("daDom.s10nox");
    ASSERT_NE(legal, nullptr);
    ASSERT_NE(illegal, nullptr);
    const char *l = nullptr, *il = nullptr, *o = nullptr, *in = nullptr, *dm = nullptr;
    extract_dom_attributes(legal, &l, &il, &o, &in, &dm);
    EXPECT_STREQ(l, "ABC");
    EXPECT_STREQ(il, "");
    EXPECT_STREQ(o, "");
    EXPECT_STREQ(in, "");
    EXPECT_STREQ(dm, "");
    extract_dom_attributes(illegal, nullptr, &il, nullptr, nullptr, nullptr);
    EXPECT_STREQ(il, "XY");
    extract_dom_attributes(nullptr, &l, &il, nullptr, nullptr, nullptr);
    EXPECT_STREQ(l, "");
    EXPECT_STREQ(il, "");
}

/* ---- type families and character subsets ------------------------------------------------------ */

TEST(AlterTypes, BaseTypes)
{
    EXPECT_EQ(getBaseTDBType(TDB_TEXT), TDB_LONG);
    EXPECT_EQ(getBaseTDBType(TDB_LONG_V), TDB_LONG);
    EXPECT_EQ(getBaseTDBType(TDB_SET), TDB_LONG);
    EXPECT_EQ(getBaseTDBType(TDB_ENUM), TDB_BYTE);
    for (int t : {TDB_BYTE, TDB_INTEGER, TDB_LONG, TDB_FLOAT, TDB_DOUBLE, TDB_STRING, TDB_DATE,
                  TDB_TIME, TDB_COMBINED, TDB_MBSTRING, TDB_RAW, 0, 99})
        EXPECT_EQ(getBaseTDBType(t), t) << t;
}

TEST(AlterTypes, WideningIsExactlyTheListedPairs)
{
    std::vector<std::pair<int, int>> widening;
    for (int from = 0; from <= TDB_MAX_TYPE; ++from)
        for (int to = 0; to <= TDB_MAX_TYPE; ++to)
            if (isSubTDBType(from, to))
                widening.emplace_back(from, to);
    const std::vector<std::pair<int, int>> expected = {
        {TDB_BYTE, TDB_INTEGER},  {TDB_BYTE, TDB_LONG},     {TDB_BYTE, TDB_FLOAT},
        {TDB_BYTE, TDB_DOUBLE},   {TDB_INTEGER, TDB_LONG},  {TDB_INTEGER, TDB_FLOAT},
        {TDB_INTEGER, TDB_DOUBLE}, {TDB_LONG, TDB_DOUBLE},  {TDB_FLOAT, TDB_DOUBLE}};
    EXPECT_EQ(widening, expected);
}

TEST(AlterTypes, CharacterSubsets)
{
    EXPECT_EQ(isCharSubSet("", ""), 1);
    EXPECT_EQ(isCharSubSet(nullptr, "A"), 1);
    EXPECT_EQ(isCharSubSet("", "ABC"), 1);
    EXPECT_EQ(isCharSubSet("A", ""), 0);
    EXPECT_EQ(isCharSubSet("A", nullptr), 0);
    EXPECT_EQ(isCharSubSet("CAB", "ABC"), 1);
    EXPECT_EQ(isCharSubSet("AAB", "AB"), 1);
    EXPECT_EQ(isCharSubSet("ABD", "ABC"), 0);
    /* A four-byte TSS character is one character, not its bytes. */
    const char wide1[] = "\x9b\x01\x02\x03";
    const char wide2[] = "\x9b\x01\x02\x04";
    const char both[] = "A\x9b\x01\x02\x03" "B";
    EXPECT_EQ(isCharSubSet(wide1, both), 1);
    EXPECT_EQ(isCharSubSet(wide2, both), 0);
    EXPECT_EQ(isCharSubSet("\x01", both), 0) << "a byte inside a wide character is no character";
}

/* ---- tdb_alter_table before any driver -------------------------------------------------------- */

TEST(AlterRefusals, NotLoggedOnIs508)
{
    commutest::reset_state();
    tdb_api_reset();
    EXPECT_EQ(tdb_alter_table(nullptr, 100, 0, TDB_ALTER_CHECK), -1);
    EXPECT_EQ(tdb_errno, 508);
}

} // namespace
