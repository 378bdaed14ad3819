/*
 * The error table of the tdb API: its entries in order, the range markers,
 * and tdberrorstr for 0, native database errors, known and unknown codes.
 */
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tdb_api.h"

namespace {

std::vector<tdb_error_entry> entries()
{
    std::vector<tdb_error_entry> out;
    const tdb_error_entry *e = tdberrors;
    for (; e->code != 0; ++e)
        out.push_back(*e);
    out.push_back(*e); /* the terminator */
    return out;
}

TEST(TdbErrors, TableHoldsItsEntriesAndTheTerminator)
{
    const std::vector<tdb_error_entry> table = entries();
    /* 88 coded entries and the terminating one: 89 records in all. */
    ASSERT_EQ(table.size(), 89u);
    EXPECT_EQ(table.back().code, 0);
    EXPECT_EQ(table.back().text, nullptr);
    for (size_t i = 0; i + 1 < table.size(); ++i) {
        ASSERT_NE(table[i].text, nullptr) << i;
        EXPECT_NE(std::string(table[i].text), "") << i;
    }
}

TEST(TdbErrors, EntriesKeepTheirHistoricalOrder)
{
    const std::vector<tdb_error_entry> table = entries();
    std::vector<int> codes;
    for (const auto &e : table)
        codes.push_back(e.code);
    const std::vector<int> expected = {
        100, 101, 102, 103, 106, 107, 108, 110, 111, 112, 113, 201, 202, 203, 204,
        205, 206, 207, 208, 209, 210, 213, 214, 215, 251, 252, 253, 254, 301, 302,
        303, 304, 305, 401, 402, 306, 307, 308, 309, 317, 310, 311, 312, 313, 315,
        316, 319, 325, 501, 502, 503, 504, 505, 506, 507, 508, 509, 510, 511, 512,
        217, 513, 514, 525, 516, 517, 518, 519, 520, 521, 522, 523, 540, 600, 600,
        601, 602, 604, 605, 606, 607, 608, 609, 649, 700, 850, 850, 899, 0};
    EXPECT_EQ(codes, expected);
    EXPECT_STREQ(table.front().text, "Duplicate value");
    EXPECT_STREQ(table[table.size() - 2].text, "E_TDB_FATAL_END");
}

TEST(TdbErrors, RangeMarkersComeBeforeTheRealEntries)
{
    const std::vector<tdb_error_entry> table = entries();
    auto index_of = [&](const char *text) {
        for (size_t i = 0; i < table.size(); ++i)
            if (table[i].text != nullptr && std::string(table[i].text) == text)
                return static_cast<int>(i);
        return -1;
    };
    EXPECT_EQ(table[index_of("E_TDB_REFERENCE_START")].code, E_TDB_REFERENCE_START);
    EXPECT_EQ(table[index_of("E_TDB_REFERENCE_END")].code, E_TDB_REFERENCE_END);
    EXPECT_EQ(table[index_of("E_TDB_FATAL_START")].code, E_TDB_FATAL_START);
    EXPECT_EQ(table[index_of("E_TDB_FATAL_END")].code, E_TDB_FATAL_END);
    EXPECT_EQ(index_of("General reference error"), index_of("E_TDB_REFERENCE_START") + 1);
    EXPECT_EQ(index_of("Current transaction is aborted"), index_of("E_TDB_FATAL_START") + 1);
}

TEST(TdbErrorStr, ZeroIsTheEmptyText)
{
    EXPECT_STREQ(tdberrorstr(0), "");
}

TEST(TdbErrorStr, KnownCodesGiveTheirFirstEntry)
{
    EXPECT_STREQ(tdberrorstr(600), "E_TDB_REFERENCE_START");
    EXPECT_STREQ(tdberrorstr(850), "E_TDB_FATAL_START");
    EXPECT_STREQ(tdberrorstr(601), "Reference table is locked");
    EXPECT_STREQ(tdberrorstr(401), "A configuration file is corrupt");
    EXPECT_STREQ(tdberrorstr(509), "Bad memory cursor; bad table pointer specified");
    EXPECT_STREQ(tdberrorstr(523), "Database full, please contact your system administrator");
    EXPECT_STREQ(tdberrorstr(899), "E_TDB_FATAL_END");
    for (const auto &e : entries()) {
        if (e.code != 0 && e.code != 600 && e.code != 850) {
            EXPECT_STREQ(tdberrorstr(e.code), e.text) << e.code;
        }
    }
}

TEST(TdbErrorStr, CodesAbove1000AreNativeDatabaseErrors)
{
    EXPECT_EQ(std::string(tdberrorstr(1005)), "database error 5");
    EXPECT_EQ(std::string(tdberrorstr(1001)), "database error 1");
    EXPECT_EQ(std::string(tdberrorstr(2147483647)), "database error 2147482647");
}

TEST(TdbErrorStr, UnknownCodeShowsTheCurrentTdbErrno)
{
    const int saved = tdb_errno;
    tdb_errno = 77;
    EXPECT_EQ(std::string(tdberrorstr(999)), "tdb_errno 77")
        << "the current error, not the code asked for";
    EXPECT_EQ(std::string(tdberrorstr(1000)), "tdb_errno 77") << "1000 is no database error";
    tdb_errno = -3;
    EXPECT_EQ(std::string(tdberrorstr(-1)), "tdb_errno -3");
    EXPECT_EQ(std::string(tdberrorstr(104)), "tdb_errno -3");
    tdb_errno = saved;
}

} // namespace
