/*
 * storage_postgres_test.cpp: the PostgreSQL storage's table data, called
 * directly and checked in the database with libpq: column types, indexes,
 * rows byte for byte (the exact image for values without a database form),
 * keys, transactions per session, locks, import, runs of inserts sent as
 * one COPY, error numbers and a connection lost under a transaction.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backend_support.h"
#include "driver_support.h"
#include "qpd_dd.h"
#include "storage.h"
#include "table_layout.h"

using namespace drivertest;
using namespace tdbdriver;

namespace {

commu_dd_column col(const char *name, int type, int offset, int length, int elements = 1)
{
    commu_dd_column c;
    c.name = name;
    c.type = type;
    c.offset = offset;
    c.length = length;
    c.elements = elements;
    c.flags = elements > 1 ? DD_COL_ARRAY : 0;
    c.digits_before = 0;
    c.digits_after = 0;
    return c;
}

/* pgtst100: key 1 unique on k, key 2 with duplicates on grp, key 3 unique
 * on name, key 4 not in the database (A attribute 0). */
commu_dd_desc accounts(bool with_counter = true)
{
    commu_dd_desc dd{};
    std::memset(dd.table, 0, sizeof dd.table);
    std::memcpy(dd.table, "pgtst100", 8);
    dd.columns = {col("k", TDB_LONG, 0, 4), col("name", TDB_STRING, 4, 10),
                  col("amount", TDB_DOUBLE, 14, 8), col("grp", TDB_INTEGER, 22, 2),
                  col(with_counter ? "Refcntu" : "other", TDB_LONG, 24, 4)};
    dd.indexes = {{1, 0, 1, {0}}, {2, 1, 1, {3}}, {3, 0, 1, {1}}, {4, 1, 0, {2}}};
    return dd;
}

/* Every stored type, arrays included. */
commu_dd_desc all_types()
{
    commu_dd_desc dd{};
    std::memset(dd.table, 0, sizeof dd.table);
    std::memcpy(dd.table, "pgtst101", 8);
    dd.columns = {
        col("b", TDB_BYTE, 0, 1),       col("e", TDB_ENUM, 1, 1),
        col("i", TDB_INTEGER, 2, 2),    col("l", TDB_LONG, 4, 4),
        col("f", TDB_FLOAT, 8, 4),      col("d", TDB_DOUBLE, 12, 8),
        col("s", TDB_STRING, 20, 10),   col("dt", TDB_DATE, 30, 4),
        col("tm", TDB_TIME, 34, 4),     col("tx", TDB_TEXT, 38, 4),
        col("lv", TDB_LONG_V, 42, 4),   col("st", TDB_SET, 46, 4),
        col("m", TDB_MBSTRING, 50, 12), col("r", TDB_RAW, 62, 6),
        col("a", TDB_INTEGER, 68, 6, 3),
    };
    dd.indexes = {{1, 0, 1, {3}}};
    return dd;
}

void be32(unsigned char *p, std::int64_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

std::vector<unsigned char> account(std::int32_t k, const char *name, double amount, int grp,
                                   std::int32_t counter = 0)
{
    std::vector<unsigned char> row(34, 0);
    be32(&row[0], k);
    std::memset(&row[4], ' ', 10);
    std::memcpy(&row[4], name, std::strlen(name));
    std::memcpy(&row[14], &amount, 8);
    row[22] = static_cast<unsigned char>((grp >> 8) & 0xFF);
    row[23] = static_cast<unsigned char>(grp & 0xFF);
    be32(&row[24], counter);
    return row;
}

std::string key_of(std::int32_t k)
{
    unsigned char key[4];
    be32(key, k);
    return std::string(reinterpret_cast<char *>(key), 4);
}

class PostgresStorage : public ::testing::Test {
protected:
    void SetUp() override
    {
        root();
        REQUIRE_PG_TEST_SERVER();
        db = std::make_unique<BackendDb>(Backend::Postgres);
        open_storage(db->args());
        std::string error;
        ASSERT_TRUE(layout.build(accounts(), 7, &error)) << error;
    }
    void open_storage(const std::string &conninfo)
    {
        std::string error;
        storage = make_storage("postgres", conninfo, &error);
        ASSERT_NE(storage, nullptr) << error;
        ASSERT_TRUE(storage->open(&error)) << error;
        storage->open_session(1);
        storage->open_session(2);
    }
    long create(const TableLayout &t, long session = 1)
    {
        std::string error;
        long rc = storage->create_table(session, t, &error);
        EXPECT_EQ(rc, 0) << error;
        return rc;
    }
    long insert(const std::vector<unsigned char> &row, long session = 1)
    {
        std::string error;
        return storage->insert_row(session, layout, row.data(), &error);
    }
    long read(std::int32_t k, std::vector<unsigned char> *row, bool locked = false,
              long session = 1)
    {
        std::string error;
        std::string key = key_of(k);
        row->assign(static_cast<size_t>(layout.row_length()), 0xEE);
        return storage->read_row(session, layout, reinterpret_cast<const unsigned char *>(key.data()),
                                 key.size(), locked, row->data(), &error);
    }
    long commit(long session = 1)
    {
        std::string error;
        long rc = storage->commit(session, &error);
        EXPECT_EQ(rc, 0) << error;
        return rc;
    }
    /* The rows seen by the test's own connection (committed data only). */
    std::vector<std::string> rows(const std::string &columns = "k, name, amount, grp")
    {
        return db->query("SELECT " + columns + " FROM pgtst100_007 ORDER BY k");
    }
    std::vector<std::string> rows_of_k() { return rows("k"); }
    std::vector<std::string> indexes()
    {
        return db->query("SELECT indexname, indexdef LIKE 'CREATE UNIQUE%' FROM pg_indexes"
                         " WHERE schemaname = '" + db->where() + "' AND tablename = '" +
                         layout.table_name() + "' ORDER BY indexname");
    }

    std::unique_ptr<BackendDb> db;
    std::unique_ptr<Storage> storage;
    TableLayout layout;
};

} // namespace

TEST_F(PostgresStorage, CreateTableMakesTypedColumnsTheImageColumnAndTheDatabaseIndexes)
{
    TableLayout t;
    std::string error;
    ASSERT_TRUE(t.build(all_types(), 0, &error)) << error;
    ASSERT_EQ(create(t), 0);
    EXPECT_EQ(db->query("SELECT column_name, data_type, is_nullable FROM information_schema.columns"
                        " WHERE table_schema = '" + db->where() +
                        "' AND table_name = 'pgtst101_000' ORDER BY ordinal_position"),
              (std::vector<std::string>{
                  "b|smallint|NO", "e|smallint|NO", "i|smallint|NO", "l|integer|NO",
                  "f|real|YES", "d|double precision|YES", "s|text|NO", "dt|integer|NO",
                  "tm|integer|NO", "tx|integer|NO", "lv|integer|NO", "st|integer|NO",
                  "m|text|NO", "r|bytea|NO", "a_1|smallint|NO", "a_2|smallint|NO",
                  "a_3|smallint|NO", "tdb_row|bytea|YES"}));

    ASSERT_EQ(create(layout), 0);
    /* Key 4 has A attribute 0: not in the database. */
    EXPECT_EQ(indexes(), (std::vector<std::string>{"pgtst100_007_i1|t", "pgtst100_007_i2|f",
                                                   "pgtst100_007_i3|t"}));
    EXPECT_EQ(storage->create_table(2, layout, &error), 507) << error;
    EXPECT_EQ(error, "table pgtst100_007 exists");
    EXPECT_EQ(storage->drop_table(1, layout, &error), 0) << error;
    EXPECT_TRUE(db->query("SELECT 1 FROM pg_tables WHERE tablename = 'pgtst100_007'").empty());
    EXPECT_EQ(storage->drop_table(1, layout, &error), 506);
    EXPECT_EQ(error, "table pgtst100_007 does not exist");
    EXPECT_EQ(storage->insert_row(1, layout, account(1, "x", 0, 0).data(), &error), 506);
    long count = -1;
    EXPECT_EQ(storage->count_rows(1, layout, &count, &error), 506);
}

TEST_F(PostgresStorage, RowsComeBackByteForByteAndAreReadableWithSql)
{
    ASSERT_EQ(create(layout), 0);
    std::vector<unsigned char> a = account(-5, "alpha", 12.5, -3, 7);
    std::vector<unsigned char> b = account(INT32_MAX, "b", -0.0, 32767);
    ASSERT_EQ(insert(a), 0);
    ASSERT_EQ(insert(b), 0);
    EXPECT_EQ(storage->transaction_state(1), TransactionState::Updated);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(storage->transaction_state(1), TransactionState::None);

    EXPECT_EQ(rows("k, name, amount, grp, \"Refcntu\", tdb_row IS NULL"),
              (std::vector<std::string>{"-5|alpha|12.5|-3|7|t", "2147483647|b|-0|32767|0|t"}));
    std::vector<unsigned char> got;
    ASSERT_EQ(read(-5, &got), 0);
    std::vector<unsigned char> expect = a;
    expect[33] = 7; /* _compnr 7, _dlock 0 */
    EXPECT_EQ(got, expect);
    ASSERT_EQ(read(INT32_MAX, &got), 0);
    expect = b;
    expect[33] = 7;
    EXPECT_EQ(got, expect) << "-0 keeps its sign";
    EXPECT_EQ(read(4, &got), 111);
}

TEST_F(PostgresStorage, EveryColumnTypeAtItsExtremesSurvivesTheDatabase)
{
    TableLayout t;
    std::string error;
    ASSERT_TRUE(t.build(all_types(), 3, &error)) << error;
    ASSERT_EQ(create(t), 0);
    std::vector<unsigned char> row(static_cast<size_t>(t.row_length()), 0);
    row[0] = 255;
    row[1] = 1;
    row[2] = 0x80; /* -32768 */
    be32(&row[4], INT32_MIN);
    float f = std::numeric_limits<float>::denorm_min();
    std::memcpy(&row[8], &f, 4);
    double d = std::numeric_limits<double>::max();
    std::memcpy(&row[12], &d, 8);
    std::memcpy(&row[20], "a'b\"c\\d   ", 10);
    be32(&row[30], 1);
    be32(&row[34], INT32_MAX);
    be32(&row[38], -1);
    be32(&row[42], 3652059);
    be32(&row[46], static_cast<std::int32_t>(0x80000001u));
    std::memcpy(&row[50], "plain text  ", 12);
    std::memcpy(&row[62], "\x00\x01\x00\x02\x00\x00", 6);
    row[68] = 0x7F;
    row[69] = 0xFF;
    row[70] = 0xFF;
    row[71] = 0xFF;
    row[t.row_length() - 1] = 3;
    ASSERT_EQ(storage->insert_row(1, t, row.data(), &error), 0) << error;
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(db->query("SELECT b, e, i, l, f = real '1e-45', d, s, r, a_1, a_2, a_3,"
                        " tdb_row IS NULL FROM pgtst101_003"),
              std::vector<std::string>{"255|1|-32768|-2147483648|t|1.7976931348623157e+308|"
                                       "a'b\"c\\d|\\x00010002|32767|-1|0|t"});
    std::vector<unsigned char> got(row.size(), 0xEE);
    std::string key(reinterpret_cast<char *>(&row[4]), 4);
    ASSERT_EQ(storage->read_row(1, t, reinterpret_cast<const unsigned char *>(key.data()), 4, false,
                                got.data(), &error),
              0)
        << error;
    EXPECT_EQ(got, row);
}

TEST_F(PostgresStorage, ValuesWithoutAnExactFormTravelInTheRowImage)
{
    ASSERT_EQ(create(layout), 0);
    /* A NaN with a payload, and a name with a byte that is no text. */
    std::vector<unsigned char> row = account(9, "caf\x01", 0, 1);
    std::uint64_t bits = 0x7FF8000000000123ull;
    std::memcpy(&row[14], &bits, 8);
    row[7] = static_cast<char>(0xFF);
    ASSERT_EQ(insert(row), 0);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows("k, amount IS NULL, length(tdb_row)"),
              std::vector<std::string>{"9|t|28"});
    std::vector<unsigned char> got;
    ASSERT_EQ(read(9, &got), 0);
    row[33] = 7;
    EXPECT_EQ(got, row);
}

TEST_F(PostgresStorage, DuplicateKeyAnswers100AndTheTransactionGoesOn)
{
    ASSERT_EQ(create(layout), 0);
    std::string error;
    ASSERT_EQ(storage->begin(1, &error), 0) << error;
    EXPECT_EQ(storage->transaction_state(1), TransactionState::Started);
    ASSERT_EQ(insert(account(1, "one", 1, 1)), 0);
    EXPECT_EQ(insert(account(1, "other", 1, 1)), 100) << "key 1";
    EXPECT_EQ(insert(account(2, "one", 1, 1)), 100) << "key 3 is unique too";
    EXPECT_EQ(insert(account(3, "three", 1, 1)), 0) << "key 2 allows duplicates";
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows("k, name"), (std::vector<std::string>{"1|one", "3|three"}));
}

TEST_F(PostgresStorage, UpdateAndDeleteFindTheRowByKeyOneOr111)
{
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(1, "one", 1, 1)), 0);
    ASSERT_EQ(insert(account(2, "two", 2, 2)), 0);
    std::string error;
    EXPECT_EQ(storage->update_row(1, layout, account(2, "TWO", 22, 5).data(), &error), 0) << error;
    EXPECT_EQ(storage->update_row(1, layout, account(3, "x", 0, 0).data(), &error), 111);
    EXPECT_EQ(storage->update_row(1, layout, account(1, "TWO", 0, 0).data(), &error), 100)
        << "the new name is taken";
    EXPECT_EQ(storage->delete_row(1, layout, account(1, "", 0, 0).data(), &error), 0) << error;
    EXPECT_EQ(storage->delete_row(1, layout, account(1, "", 0, 0).data(), &error), 111);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows(), std::vector<std::string>{"2|TWO|22|5"});
}

TEST_F(PostgresStorage, SessionsHaveTransactionsOfTheirOwn)
{
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(1, "one", 1, 1), 1), 0);
    std::vector<unsigned char> got;
    EXPECT_EQ(read(1, &got, false, 2), 111) << "not committed yet";
    EXPECT_TRUE(rows().empty());
    ASSERT_EQ(commit(1), 0);
    EXPECT_EQ(read(1, &got, false, 2), 0);

    ASSERT_EQ(insert(account(2, "two", 2, 2), 2), 0);
    std::string error;
    EXPECT_EQ(storage->abort(2, &error), 0) << error;
    EXPECT_EQ(storage->transaction_state(2), TransactionState::None);
    EXPECT_EQ(rows("k"), std::vector<std::string>{"1"});
    EXPECT_EQ(storage->commit(2, &error), 0) << "no transaction: nothing to do";

    /* Closing a session rolls its work back. */
    ASSERT_EQ(insert(account(3, "three", 3, 3), 2), 0);
    storage->close_session(2);
    EXPECT_EQ(rows("k"), std::vector<std::string>{"1"});
}

TEST_F(PostgresStorage, LockedReadHoldsTheRowAndAnotherSessionGets202)
{
    /* A short lock wait, set in the connection string (the driver keeps it). */
    storage.reset();
    open_storage(pg_test_server() + " options='-csearch_path=" + db->where() +
                 " -clock_timeout=300'");
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(1, "one", 1, 1)), 0);
    ASSERT_EQ(commit(), 0);
    std::vector<unsigned char> got;
    ASSERT_EQ(read(1, &got, true, 1), 0);
    EXPECT_EQ(storage->transaction_state(1), TransactionState::Started);
    EXPECT_EQ(read(1, &got, false, 2), 0) << "plain reads do not wait";
    EXPECT_EQ(read(1, &got, true, 2), 202);
    std::string error;
    EXPECT_EQ(storage->update_row(2, layout, account(1, "x", 0, 0).data(), &error), 202);
    ASSERT_EQ(commit(1), 0);
    EXPECT_EQ(read(1, &got, true, 2), 0) << "after the commit the row is free";
    EXPECT_EQ(storage->update_row(2, layout, account(1, "uno", 0, 0).data(), &error), 0) << error;
    ASSERT_EQ(commit(2), 0);
    EXPECT_EQ(rows("name"), std::vector<std::string>{"uno"});
}

TEST_F(PostgresStorage, LockTableHoldsAnExclusiveLockUntilTheCommit)
{
    ASSERT_EQ(create(layout), 0);
    std::string error;
    ASSERT_EQ(storage->lock_table(1, layout, &error), 0) << error;
    EXPECT_EQ(storage->transaction_state(1), TransactionState::Started);
    std::string locks = "SELECT mode FROM pg_locks WHERE relation = '" + db->where() +
                        ".pgtst100_007'::regclass AND granted ORDER BY mode";
    EXPECT_EQ(db->query(locks), std::vector<std::string>{"ExclusiveLock"});
    ASSERT_EQ(commit(), 0);
    EXPECT_TRUE(db->query(locks).empty());
    TableLayout missing;
    ASSERT_TRUE(missing.build(all_types(), 9, &error));
    EXPECT_EQ(storage->lock_table(1, missing, &error), 506);
    EXPECT_EQ(storage->transaction_state(1), TransactionState::Started)
        << "the failed statement leaves the transaction usable";
    EXPECT_EQ(insert(account(5, "five", 5, 5)), 0);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows("k"), std::vector<std::string>{"5"});
}

TEST_F(PostgresStorage, ClearTableTruncatesInTheTransaction)
{
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(1, "one", 1, 1)), 0);
    ASSERT_EQ(insert(account(2, "two", 2, 2)), 0);
    ASSERT_EQ(commit(), 0);
    std::string error;
    ASSERT_EQ(storage->clear_table(1, layout, &error), 0) << error;
    long count = -1;
    ASSERT_EQ(storage->count_rows(1, layout, &count, &error), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(storage->abort(1, &error), 0);
    ASSERT_EQ(storage->count_rows(1, layout, &count, &error), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(storage->clear_table(1, layout, &error), 0);
    ASSERT_EQ(commit(), 0);
    EXPECT_TRUE(rows().empty());
}

TEST_F(PostgresStorage, ImportDefersTheIndexesThatCannotRefuseARow)
{
    ASSERT_EQ(create(layout), 0);
    std::string error;
    ASSERT_EQ(storage->start_import(1, layout, &error), 0) << error;
    EXPECT_EQ(indexes(), (std::vector<std::string>{"pgtst100_007_i1|t", "pgtst100_007_i3|t"}));
    for (int k = 1; k <= 50; k++)
        ASSERT_EQ(insert(account(k, ("n" + std::to_string(k)).c_str(), k, k % 3)), 0);
    EXPECT_EQ(insert(account(7, "dup", 0, 0)), 100) << "unique indexes stay";
    EXPECT_TRUE(rows().empty()) << "not committed during the import";
    ASSERT_EQ(storage->end_import(1, layout, &error), 0) << error;
    EXPECT_EQ(indexes(), (std::vector<std::string>{"pgtst100_007_i1|t", "pgtst100_007_i2|f",
                                                   "pgtst100_007_i3|t"}));
    EXPECT_EQ(db->query("SELECT count(*) FROM pgtst100_007"), std::vector<std::string>{"50"});
    ASSERT_EQ(storage->update_statistics(1, layout, &error), 0) << error;
    EXPECT_EQ(db->query("SELECT reltuples::int FROM pg_class WHERE oid = '" + db->where() +
                        ".pgtst100_007'::regclass"),
              std::vector<std::string>{"50"});
}

TEST_F(PostgresStorage, CreateIndexAnswers108103And100)
{
    ASSERT_EQ(create(layout), 0);
    std::string error;
    EXPECT_EQ(storage->create_index(1, layout, 1, &error), 108);
    EXPECT_EQ(error, "index pgtst100_007_i1 exists");
    EXPECT_EQ(storage->create_index(1, layout, 9, &error), 103);
    EXPECT_EQ(storage->drop_index(1, layout, 9, &error), 103);
    ASSERT_EQ(storage->drop_index(1, layout, 3, &error), 0) << error;
    ASSERT_EQ(insert(account(1, "same", 1, 1)), 0);
    ASSERT_EQ(insert(account(2, "same", 1, 1)), 0);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(storage->create_index(1, layout, 3, &error), 100) << "rows refuse the unique index";
    EXPECT_EQ(storage->create_index(1, layout, kAllIndexes, &error), 100);
    ASSERT_EQ(storage->delete_row(1, layout, account(2, "", 0, 0).data(), &error), 0);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(storage->create_index(1, layout, kAllIndexes, &error), 0) << error;
    EXPECT_EQ(indexes().size(), 3u);
    EXPECT_EQ(storage->create_index(1, layout, 4, &error), 0) << "asked for by number";
    EXPECT_EQ(indexes().size(), 4u);
}

TEST_F(PostgresStorage, ReferenceCountersAreZeroedAlsoInTheRowImage)
{
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(1, "one", 1, 1, 5)), 0);
    std::vector<unsigned char> odd = account(2, "two", 0, 1, 9);
    std::uint64_t nan = 0x7FF8000000000001ull;
    std::memcpy(&odd[14], &nan, 8);
    ASSERT_EQ(insert(odd), 0);
    std::string error;
    ASSERT_EQ(storage->clear_reference_counts(1, layout, &error), 0) << error;
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows("k, \"Refcntu\""), (std::vector<std::string>{"1|0", "2|0"}));
    std::vector<unsigned char> got;
    ASSERT_EQ(read(2, &got), 0);
    odd[24] = odd[25] = odd[26] = odd[27] = 0;
    odd[33] = 7;
    EXPECT_EQ(got, odd);

    TableLayout plain;
    ASSERT_TRUE(plain.build(accounts(false), 8, &error));
    ASSERT_EQ(create(plain), 0);
    EXPECT_EQ(storage->clear_reference_counts(1, plain, &error), 608);
}

TEST_F(PostgresStorage, ReadOnlyTransactionRefusesUpdatesWith204)
{
    ASSERT_EQ(create(layout), 0);
    std::string error;
    ASSERT_EQ(storage->set_readonly(1, &error), 0);
    EXPECT_EQ(insert(account(1, "one", 1, 1)), 204);
    EXPECT_EQ(storage->clear_table(1, layout, &error), 204);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(insert(account(1, "one", 1, 1)), 0) << "the next transaction may write";
}

TEST_F(PostgresStorage, LostConnectionEndsTheTransactionWith522AndTheNextCallReconnects)
{
    storage.reset();
    std::string app = db->where() + "_s";
    open_storage(db->args() + " application_name=" + app);
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(1, "one", 1, 1)), 0);
    EXPECT_EQ(db->query("SELECT count(pg_terminate_backend(pid, 10000)) FROM pg_stat_activity"
                        " WHERE application_name = '" + app + "'"),
              std::vector<std::string>{"2"}) << "the catalog's and the session's connections";
    EXPECT_EQ(insert(account(2, "two", 2, 2)), 522);
    EXPECT_EQ(storage->transaction_state(1), TransactionState::None);
    EXPECT_EQ(insert(account(3, "three", 3, 3)), 0);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows("k"), std::vector<std::string>{"3"}) << "row 1 went with the transaction";
}

TEST_F(PostgresStorage, ARunOfRowsGoesInAsOneStatementWithEveryTypeExact)
{
    TableLayout t;
    std::string error;
    ASSERT_TRUE(t.build(all_types(), 3, &error)) << error;
    ASSERT_EQ(create(t), 0);
    std::vector<std::vector<unsigned char>> rows;
    const float floats[] = {-0.0f, std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(), 1.0f / 3.0f};
    const double doubles[] = {-0.0, -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::lowest(), 0.1};
    for (int i = 0; i < 4; i++) {
        std::vector<unsigned char> row(static_cast<size_t>(t.row_length()), 0);
        row[0] = static_cast<unsigned char>(250 + i);
        row[2] = static_cast<unsigned char>(i == 0 ? 0x80 : 0x7F); /* -32768, 32767 */
        row[3] = static_cast<unsigned char>(i == 0 ? 0x00 : 0xFF);
        be32(&row[4], i == 0 ? INT32_MIN : INT32_MAX - i);
        std::memcpy(&row[8], &floats[i], 4);
        std::memcpy(&row[12], &doubles[i], 8);
        std::memcpy(&row[20], i == 3 ? "a\0b       " : "a'b\"c\\d   ", 10);
        be32(&row[46], static_cast<std::int32_t>(0x80000001u));
        std::memcpy(&row[50], "plain text  ", 12);
        std::memcpy(&row[62], "\x00\x01\x00\x02\x00\x00", 6);
        row[68] = 0xFF;
        row[69] = 0xFE;
        row[t.row_length() - 1] = 3;
        rows.push_back(row);
    }
    std::vector<const unsigned char *> run;
    for (const auto &r : rows)
        run.push_back(r.data());
    size_t done = 99;
    ASSERT_EQ(storage->insert_rows(1, t, run, &done, &error), 0) << error;
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(storage->transaction_state(1), TransactionState::Updated);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(db->query("SELECT b, i, l, f, d, s, r, a_1, tdb_row IS NULL FROM pgtst101_003"
                        " ORDER BY b"),
              (std::vector<std::string>{
                  "250|-32768|-2147483648|-0|-0|a'b\"c\\d|\\x00010002|-2|t",
                  "251|32767|2147483646|Infinity|-Infinity|a'b\"c\\d|\\x00010002|-2|t",
                  "252|32767|2147483645|1e-45|-1.7976931348623157e+308|a'b\"c\\d|\\x00010002|-2|t",
                  "253|32767|2147483644|0.33333334|0.1|a?b|\\x00010002|-2|f"}));
    EXPECT_EQ(db->query("SELECT count(DISTINCT xmin::text) FROM pgtst101_003"),
              std::vector<std::string>{"1"});
    for (const auto &r : rows) {
        std::vector<unsigned char> got(r.size(), 0xEE);
        ASSERT_EQ(storage->read_row(1, t, &r[4], 4, false, got.data(), &error), 0) << error;
        EXPECT_EQ(got, r);
    }
}

TEST_F(PostgresStorage, AFailingRunIsInsertedRowByRowUpToTheRowThatFails)
{
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(5, "five", 5, 1)), 0);
    ASSERT_EQ(commit(), 0);
    std::string single;
    EXPECT_EQ(storage->insert_row(1, layout, account(5, "again", 0, 1).data(), &single), 100);
    std::string error;
    ASSERT_EQ(storage->abort(1, &error), 0) << error;

    std::vector<std::vector<unsigned char>> rows = {account(1, "one", 1, 1), account(2, "two", 2, 1),
                                                    account(5, "again", 0, 1),
                                                    account(6, "six", 6, 1)};
    std::vector<const unsigned char *> run;
    for (const auto &r : rows)
        run.push_back(r.data());
    size_t done = 99;
    EXPECT_EQ(storage->insert_rows(1, layout, run, &done, &error), 100);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(error, single);
    EXPECT_EQ(error, "insert into pgtst100_007: duplicate key value violates unique constraint "
                     "\"pgtst100_007_i1\" (Key (k)=(5) already exists.)");
    /* The transaction goes on with the two rows before. */
    ASSERT_EQ(insert(account(7, "seven", 7, 1)), 0);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows_of_k(), (std::vector<std::string>{"1", "2", "5", "7"}));
}

TEST_F(PostgresStorage, AReadOnlyTransactionRefusesARunWith204)
{
    ASSERT_EQ(create(layout), 0);
    std::string error;
    ASSERT_EQ(storage->set_readonly(1, &error), 0) << error;
    std::vector<unsigned char> a = account(1, "one", 1, 1), b = account(2, "two", 2, 1);
    size_t done = 99;
    EXPECT_EQ(storage->insert_rows(1, layout, {a.data(), b.data()}, &done, &error), 204);
    EXPECT_EQ(done, 0u);
}

TEST_F(PostgresStorage, ALostConnectionDuringARunAnswers522ForItsFirstRow)
{
    storage.reset();
    std::string app = db->where() + "_r";
    open_storage(db->args() + " application_name=" + app);
    ASSERT_EQ(create(layout), 0);
    ASSERT_EQ(insert(account(1, "one", 1, 1)), 0);
    EXPECT_EQ(db->query("SELECT count(pg_terminate_backend(pid, 10000)) FROM pg_stat_activity"
                        " WHERE application_name = '" + app + "'"),
              std::vector<std::string>{"2"});
    std::vector<unsigned char> a = account(2, "two", 2, 1), b = account(3, "three", 3, 1);
    std::string error;
    size_t done = 99;
    EXPECT_EQ(storage->insert_rows(1, layout, {a.data(), b.data()}, &done, &error), 522);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(storage->transaction_state(1), TransactionState::None);
    EXPECT_EQ(storage->insert_rows(1, layout, {a.data(), b.data()}, &done, &error), 0) << error;
    EXPECT_EQ(done, 2u);
    ASSERT_EQ(commit(), 0);
    EXPECT_EQ(rows_of_k(), (std::vector<std::string>{"2", "3"}));
}
