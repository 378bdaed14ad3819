/*
 * driver_alter_test.cpp: alter table (request 15) in a real tdb_driver on
 * SQLite and PostgreSQL: the check answers, the changes made in place
 * (checked in the database with SQLite and libpq), the rows read back
 * byte for byte through request 12 in the new layout, and the catalog.
 */
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backend_support.h"
#include "driver_support.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "table_layout.h"
#include "table_rows.h"
#include "tdb_commu.h"

using namespace drivertest;

namespace {

constexpr int kCheck = 1;
constexpr int kAlter = 2;
constexpr int kAlterAfterExport = 3;

commu_dd_column col(const char *name, int type, int offset, int length, int elements = 1)
{
    return commu_dd_column{name, length, offset, type, elements > 1 ? DD_COL_ARRAY : 0,
                           elements, 0, 0};
}

/* A hand-made definition: name, columns, keys (number, du, a, parts). */
commu_dd_desc definition(const char *name, int compnr, std::vector<commu_dd_column> columns,
                         std::vector<commu_dd_index> keys)
{
    commu_dd_desc dd;
    std::memset(dd.table, 0, sizeof dd.table);
    std::memcpy(dd.table, name, strnlen(name, 8));
    dd.compnr = compnr;
    dd.columns = std::move(columns);
    dd.indexes = std::move(keys);
    return dd;
}

/* The row length of a definition (data and the 6 bytes after it). */
int row_length_of(const commu_dd_desc &dd)
{
    int n = 0;
    for (const commu_dd_column &c : dd.columns)
        n = std::max(n, c.offset + c.length);
    return n + 6;
}

/* A row of a definition: blanks in strings, zeros elsewhere. */
std::vector<unsigned char> blank_row(const commu_dd_desc &dd)
{
    std::vector<unsigned char> row(static_cast<size_t>(row_length_of(dd)), 0);
    for (const commu_dd_column &c : dd.columns)
        if (c.type == TDB_STRING || c.type == TDB_MBSTRING)
            std::memset(row.data() + c.offset, ' ', static_cast<size_t>(c.length));
    return row;
}

void put_string(std::vector<unsigned char> &row, int offset, int width, const std::string &s)
{
    std::memset(row.data() + offset, ' ', static_cast<size_t>(width));
    std::memcpy(row.data() + offset, s.data(), std::min<size_t>(s.size(), static_cast<size_t>(width)));
}

void put_double(std::vector<unsigned char> &row, int offset, double d)
{
    std::memcpy(row.data() + offset, &d, sizeof d);
}

/* The row as request 12 gives it back: _dlock 0, _compnr the company. */
std::vector<unsigned char> as_read(std::vector<unsigned char> row, int compnr)
{
    size_t n = row.size();
    std::memset(row.data() + n - 6, 0, 4);
    row[n - 2] = static_cast<unsigned char>(compnr >> 8);
    row[n - 1] = static_cast<unsigned char>(compnr & 0xFF);
    return row;
}

/* The catalog's column list of a definition: "name:type:length" by ",". */
std::string column_list(const commu_dd_desc &dd)
{
    std::string out;
    for (const commu_dd_column &c : dd.columns)
        out += (out.empty() ? "" : ",") + c.name + ":" + std::to_string(c.type) + ":" +
               std::to_string(c.length);
    return out;
}

/* The definition as the driver keeps it after an alter: the new one under
 * the current name. */
commu_dd_desc renamed(commu_dd_desc dd, const char *name)
{
    std::memset(dd.table, 0, sizeof dd.table);
    std::memcpy(dd.table, name, strnlen(name, 8));
    return dd;
}

class DriverAlter : public ::testing::TestWithParam<Backend>, public DriverRequests {
protected:
    DriverAlter() : DriverRequests(backend_name(GetParam())) {}

    void SetUp() override
    {
        root();
        if (GetParam() == Backend::Postgres)
            REQUIRE_PG_TEST_SERVER();
        store = std::make_unique<BackendDb>(GetParam());
        ASSERT_TRUE(c.ok());
        /* A short wait for locks held by another session. */
        std::string args = pg() ? pg_test_server() + " options='-csearch_path=" + store->where() +
                                      " -clock_timeout=300'"
                                : store->args();
        ASSERT_EQ(c.start(store->driver(), args).retval, 0);
        session = c.attach_session();
        ASSERT_GT(session, 0);
    }
    void TearDown() override
    {
        if (store && c.ok() && !detached) {
            EXPECT_EQ(c.detach(), 0);
        }
    }

    bool pg() const { return GetParam() == Backend::Postgres; }

    /* Request 15; the return code, the result in *result. */
    long alter(const char *table, int compnr, int action, const std::vector<unsigned char> &defaults,
               long *result, std::vector<std::string> *missing = nullptr)
    {
        commu_block req;
        req.kind = COMMU_ALTER_TABLE;
        req.session = session;
        req.table = table;
        req.compnr = compnr;
        req.action = action;
        req.msg = defaults.data();
        req.msg_len = static_cast<long>(defaults.size());
        commu_block reply;
        EXPECT_TRUE(c.exchange(req, &reply));
        *result = reply.result;
        if (missing != nullptr)
            *missing = missing_of(reply);
        return reply.retval;
    }

    long send_def(const commu_dd_desc &dd)
    {
        commu_block blk;
        blk.kind = COMMU_DD_INFO_TABLE;
        blk.session = session;
        blk.dd = dd;
        commu_block reply;
        EXPECT_TRUE(c.exchange(blk, &reply));
        return reply.retval;
    }

    /* Current and new definition sent, the table made with rows of the
     * current one (inserted and committed through request 11). */
    void prepare(const commu_dd_desc &old_dd, const commu_dd_desc &new_dd,
                 const std::vector<std::vector<unsigned char>> &rows)
    {
        ASSERT_EQ(send_def(old_dd), 0);
        ASSERT_EQ(send_def(new_dd), 0);
        std::string name(old_dd.table);
        ASSERT_EQ(table(name.c_str(), old_dd.compnr, 4), 0);
        if (rows.empty())
            return;
        tdbdriver::TableLayout layout;
        std::string error;
        ASSERT_TRUE(layout.build(old_dd, old_dd.compnr, &error)) << error;
        Store updates(layout.update_store_columns(), layout.row_length());
        long seq = 1;
        for (const auto &row : rows)
            updates.add(seq++, 1, 0, row);
        ASSERT_EQ(send_updates({updates.table(name.c_str(), old_dd.compnr)}), 0);
        ASSERT_EQ(dbaction(1), 0);
    }

    /* The row with a key block, read through request 12. */
    std::vector<unsigned char> read_key(const char *table_name, int compnr, const std::string &key,
                                        long *rc = nullptr)
    {
        std::vector<unsigned char> row;
        long r = read(table_name, compnr, key, false, &row);
        if (rc != nullptr)
            *rc = r;
        else
            EXPECT_EQ(r, 0);
        return row;
    }

    /* One value of a query. */
    std::string one(const std::string &sql)
    {
        std::vector<std::string> rows = store->query(sql);
        return rows.size() == 1 ? rows[0] : "<" + std::to_string(rows.size()) + " rows>";
    }

    /* The stored table's columns as "name:type", sorted. */
    std::vector<std::string> columns(const std::string &t)
    {
        std::vector<std::string> out =
            pg() ? store->query("SELECT attname || ':' || format_type(atttypid, atttypmod) FROM "
                                "pg_attribute WHERE attrelid = to_regclass('" + t +
                                "') AND attnum > 0 AND NOT attisdropped")
                 : store->query("SELECT name || ':' || type FROM pragma_table_info('" + t + "')");
        std::sort(out.begin(), out.end());
        return out;
    }

    /* The table's indexes as "name:unique:col,col", sorted. */
    std::vector<std::string> indexes(const std::string &t)
    {
        std::vector<std::string> out =
            pg() ? store->query(
                       "SELECT i.relname || ':' || (CASE WHEN x.indisunique THEN 1 ELSE 0 END) ||"
                       " ':' || (SELECT string_agg(a.attname, ',' ORDER BY k.n) FROM"
                       " unnest(x.indkey) WITH ORDINALITY k(attnum, n) JOIN pg_attribute a ON"
                       " a.attrelid = x.indrelid AND a.attnum = k.attnum) FROM pg_index x JOIN"
                       " pg_class i ON i.oid = x.indexrelid WHERE x.indrelid = to_regclass('" +
                       t + "')")
                 : store->query("SELECT il.name || ':' || il.\"unique\" || ':' || (SELECT"
                                " group_concat(name) FROM (SELECT name FROM pragma_index_info("
                                "il.name) ORDER BY seqno)) FROM pragma_index_list('" + t +
                                "') il");
        std::sort(out.begin(), out.end());
        return out;
    }

    /* The catalog's entry of a table and company: "columns|indexes|list". */
    std::string catalog(const char *table_name, int compnr)
    {
        return one(std::string("SELECT columns || '|' || indexes || '|' || column_list FROM "
                               "tdb_catalog WHERE table_name = '") +
                   table_name + "' AND compnr = " + std::to_string(compnr));
    }
    std::string catalog_of(const commu_dd_desc &dd)
    {
        return std::to_string(dd.columns.size()) + "|" + std::to_string(dd.indexes.size()) + "|" +
               column_list(dd);
    }

    /* Runs a statement that changes the database behind the driver. */
    void modify(const std::string &sql)
    {
        if (pg()) {
            store->query(sql);
            return;
        }
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(store->where().c_str(), &db), SQLITE_OK);
        char *msg = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg), SQLITE_OK) << msg;
        sqlite3_free(msg);
        sqlite3_close(db);
    }

    std::unique_ptr<BackendDb> store;
};

/* The default row of a demo table in the new dictionary. */
std::vector<unsigned char> new_default_row(const char *code)
{
    (void)dictionary_of(0, code, 0, 3);
    init_dd_mode(3);
    const _dd_table *t = ddtable(code);
    EXPECT_NE(t, nullptr) << code;
    std::vector<unsigned char> row;
    if (t != nullptr)
        row.assign(t->default_row, t->default_row + t->row_length);
    init_dd_mode(1);
    return row;
}

} // namespace

/* ---- answers without change ------------------------------------------------- */

TEST_P(DriverAlter, MissingDefinitionsAreAskedForWith513)
{
    long result = -1;
    std::vector<std::string> missing;
    std::vector<unsigned char> defaults = new_default_row("dbtst107");
    EXPECT_EQ(alter("dbtst107", 4, kCheck, defaults, &result, &missing), 513);
    EXPECT_EQ(missing, (std::vector<std::string>{"dbtst107/4", "Dbtst107/4"}));
    ASSERT_EQ(send_dd("dbtst107", 4), 0);
    EXPECT_EQ(alter("dbtst107", 4, kCheck, defaults, &result, &missing), 513);
    EXPECT_EQ(missing, (std::vector<std::string>{"Dbtst107/4"}));
}

TEST_P(DriverAlter, AMissingTableAnswers506)
{
    ASSERT_EQ(send_dd("dbtst107", 4), 0);
    ASSERT_EQ(send_def(dictionary_of(session, "dbtst107", 4, 3).dd), 0);
    long result = -1;
    for (int action : {kCheck, kAlter, kAlterAfterExport})
        EXPECT_EQ(alter("dbtst107", 4, action, new_default_row("dbtst107"), &result), 506)
            << action;
}

TEST_P(DriverAlter, IdenticalDefinitionsAnswerOneAndChangeNothing)
{
    ASSERT_EQ(send_dd("dbtst107", 4), 0);
    ASSERT_EQ(send_def(dictionary_of(session, "dbtst107", 4, 3).dd), 0);
    ASSERT_EQ(table("dbtst107", 4, 4), 0);
    std::vector<std::string> before = columns("dbtst107_004");
    long result = -1;
    EXPECT_EQ(alter("dbtst107", 4, kCheck, new_default_row("dbtst107"), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(alter("dbtst107", 4, kAlter, new_default_row("dbtst107"), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(columns("dbtst107_004"), before);
    EXPECT_EQ(indexes("dbtst107_004"), std::vector<std::string>{"dbtst107_004_i1:1:id"});
}

TEST_P(DriverAlter, AShortDefaultRowOrAnUnknownActionIsRefused)
{
    ASSERT_EQ(send_dd("dbtst111", 0), 0);
    ASSERT_EQ(send_def(dictionary_of(session, "dbtst111", 0, 3).dd), 0);
    ASSERT_EQ(table("dbtst111", 0, 4), 0);
    long result = -1;
    std::vector<unsigned char> defaults = new_default_row("dbtst111");
    EXPECT_EQ(alter("dbtst111", 0, 4, defaults, &result), 102);
    defaults.resize(defaults.size() - 7);
    EXPECT_EQ(alter("dbtst111", 0, kAlter, defaults, &result), 102);
    EXPECT_EQ(columns("dbtst111_000").size(), 3u) << "id, descr, tdb_row";
}

/* ---- the demo's reconfiguration cases ---------------------------------------- */

TEST_P(DriverAlter, KeyPartsChangedRemakeTheIndex)
{
    ASSERT_EQ(send_dd("dbtst108", 2), 0);
    ASSERT_EQ(send_def(dictionary_of(session, "dbtst108", 2, 3).dd), 0);
    ASSERT_EQ(table("dbtst108", 2, 4), 0);
    Row r(demo("dbtst108"));
    r.l("a", 5).s("b", 1).str("c", "X");
    Store s(demo("dbtst108"));
    s.add(1, 1, 0, r.bytes());
    ASSERT_EQ(send_updates({s.table("dbtst108", 2)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(indexes("dbtst108_002"),
              (std::vector<std::string>{"dbtst108_002_i1:1:a", "dbtst108_002_i2:0:c"}));
    long result = -1;
    std::vector<unsigned char> defaults = new_default_row("dbtst108");
    EXPECT_EQ(alter("dbtst108", 2, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(indexes("dbtst108_002"),
              (std::vector<std::string>{"dbtst108_002_i1:1:a", "dbtst108_002_i2:0:c"}))
        << "a check changes nothing";
    EXPECT_EQ(alter("dbtst108", 2, kAlter, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(indexes("dbtst108_002"),
              (std::vector<std::string>{"dbtst108_002_i1:1:a,b", "dbtst108_002_i2:0:c"}));
    /* Key 1 is now a and b. */
    std::string key = r.key() + std::string("\x00\x01", 2);
    EXPECT_EQ(read_key("dbtst108", 2, key), r.as_read(2));
    EXPECT_EQ(alter("dbtst108", 2, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, 1) << "done: nothing differs any more";
}

TEST_P(DriverAlter, AWiderStringKeepsTheRowsAndTheCatalogGetsTheNewDefinition)
{
    ASSERT_EQ(send_dd("dbtst109", 0), 0);
    commu_dd_desc new_dd = dictionary_of(session, "dbtst109", 0, 3).dd;
    ASSERT_EQ(send_def(new_dd), 0);
    ASSERT_EQ(table("dbtst109", 0, 4), 0);
    Row r(demo("dbtst109"));
    r.l("id", 1).str("descr", "twenty characters ok");
    Store s(demo("dbtst109"));
    s.add(1, 1, 0, r.bytes());
    ASSERT_EQ(send_updates({s.table("dbtst109", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    long result = -1;
    std::vector<unsigned char> defaults = new_default_row("dbtst109");
    EXPECT_EQ(alter("dbtst109", 0, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, 1) << "text columns have no width in the database";
    EXPECT_EQ(alter("dbtst109", 0, kAlter, defaults, &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(catalog("dbtst109", 0), catalog_of(new_dd));
    std::vector<unsigned char> expect = defaults;
    unsigned char id[4];
    be32(id, 1);
    std::memcpy(expect.data(), id, 4);
    put_string(expect, 4, 40, "twenty characters ok");
    EXPECT_EQ(read_key("dbtst109", 0, std::string(reinterpret_cast<char *>(id), 4)),
              as_read(expect, 0));
}

TEST_P(DriverAlter, IntegerWidenedToLongKeepsTheExtremes)
{
    ASSERT_EQ(send_dd("dbtst110", 0), 0);
    commu_dd_desc new_dd = dictionary_of(session, "dbtst110", 0, 3).dd;
    ASSERT_EQ(send_def(new_dd), 0);
    ASSERT_EQ(table("dbtst110", 0, 4), 0);
    Store s(demo("dbtst110"));
    std::vector<int> values = {-32768, 32767, 0, -1};
    for (size_t i = 0; i < values.size(); i++)
        s.add(static_cast<long>(i + 1), 1, 0,
              Row(demo("dbtst110")).l("id", static_cast<long>(i)).s("cnt", values[i]).bytes());
    ASSERT_EQ(send_updates({s.table("dbtst110", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    long result = -1;
    std::vector<unsigned char> defaults = new_default_row("dbtst110");
    EXPECT_EQ(alter("dbtst110", 0, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, pg() ? 0 : 1) << "SQLite keeps every integer as INTEGER";
    EXPECT_EQ(alter("dbtst110", 0, kAlter, defaults, &result), 0);
    EXPECT_EQ(result, pg() ? 0 : 1);
    if (pg()) {
        EXPECT_EQ(columns("dbtst110_000"),
                  (std::vector<std::string>{"cnt:integer", "id:integer", "tdb_row:bytea"}));
    }
    EXPECT_EQ(catalog("dbtst110", 0), catalog_of(new_dd));
    for (size_t i = 0; i < values.size(); i++) {
        std::vector<unsigned char> expect = defaults;
        unsigned char id[4];
        be32(id, static_cast<long>(i));
        std::memcpy(expect.data(), id, 4);
        be32(expect.data() + 4, values[i]);
        EXPECT_EQ(read_key("dbtst110", 0, std::string(reinterpret_cast<char *>(id), 4)),
                  as_read(expect, 0))
            << values[i];
    }
    EXPECT_EQ(one("SELECT min(cnt) || ' ' || max(cnt) FROM dbtst110_000"), "-32768 32767");
}

TEST_P(DriverAlter, AnAddedColumnGetsTheDefaultOnEmptyAndFilledTables)
{
    for (int compnr : {0, 1}) {
        SCOPED_TRACE(compnr);
        ASSERT_EQ(send_dd("dbtst111", compnr), 0);
        commu_dd_desc new_dd = dictionary_of(session, "dbtst111", compnr, 3).dd;
        ASSERT_EQ(send_def(new_dd), 0);
        ASSERT_EQ(table("dbtst111", compnr, 4), 0);
        if (compnr == 1) {
            Store s(demo("dbtst111"));
            s.add(1, 1, 0, Row(demo("dbtst111")).l("id", 7).str("descr", "seven").bytes());
            s.add(2, 1, 0, Row(demo("dbtst111")).l("id", 8).str("descr", "eight").bytes());
            ASSERT_EQ(send_updates({s.table("dbtst111", compnr)}), 0);
            ASSERT_EQ(dbaction(1), 0);
        }
        long result = -1;
        std::vector<unsigned char> defaults = new_default_row("dbtst111");
        EXPECT_EQ(alter("dbtst111", compnr, kCheck, defaults, &result), 0);
        EXPECT_EQ(result, 0);
        std::string t = "dbtst111_00" + std::to_string(compnr);
        EXPECT_EQ(columns(t).size(), 3u) << "a check changes nothing";
        EXPECT_EQ(alter("dbtst111", compnr, kAlter, defaults, &result), 0);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(columns(t), pg() ? (std::vector<std::string>{"descr:text", "id:integer",
                                                                "status:smallint", "tdb_row:bytea"})
                                   : (std::vector<std::string>{"descr:TEXT", "id:INTEGER",
                                                                "status:INTEGER", "tdb_row:BLOB"}));
        EXPECT_EQ(catalog("dbtst111", compnr), catalog_of(new_dd));
        if (compnr == 0) {
            EXPECT_EQ(one("SELECT count(*) FROM " + t), "0");
            continue;
        }
        EXPECT_EQ(one(std::string("SELECT ") +
                      (pg() ? "string_agg(CAST(status AS text), ',')" : "group_concat(status, ',')") +
                      " FROM " + t),
                  "1,1") << "the default of the new dictionary";
        for (auto [id, descr] : {std::pair<int, const char *>{7, "seven"}, {8, "eight"}}) {
            std::vector<unsigned char> expect = defaults;
            be32(expect.data(), id);
            put_string(expect, 4, 20, descr);
            EXPECT_EQ(read_key("dbtst111", compnr, std::string(reinterpret_cast<char *>(expect.data()), 4)),
                      as_read(expect, compnr));
        }
    }
}

TEST_P(DriverAlter, ADroppedColumnLeavesTheTable)
{
    ASSERT_EQ(send_dd("dbtst112", 0), 0);
    commu_dd_desc new_dd = dictionary_of(session, "dbtst112", 0, 3).dd;
    ASSERT_EQ(send_def(new_dd), 0);
    ASSERT_EQ(table("dbtst112", 0, 4), 0);
    Store s(demo("dbtst112"));
    s.add(1, 1, 0,
          Row(demo("dbtst112")).l("id", 3).str("descr", "three").l("obsolete", 99).bytes());
    ASSERT_EQ(send_updates({s.table("dbtst112", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    long result = -1;
    std::vector<unsigned char> defaults = new_default_row("dbtst112");
    EXPECT_EQ(alter("dbtst112", 0, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(alter("dbtst112", 0, kAlterAfterExport, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    std::vector<std::string> cols = columns("dbtst112_000");
    ASSERT_EQ(cols.size(), 3u);
    EXPECT_EQ(cols[0].substr(0, 6), "descr:");
    EXPECT_EQ(cols[1].substr(0, 3), "id:");
    EXPECT_EQ(catalog("dbtst112", 0), catalog_of(new_dd));
    std::vector<unsigned char> expect = defaults;
    be32(expect.data(), 3);
    put_string(expect, 4, 20, "three");
    EXPECT_EQ(read_key("dbtst112", 0, std::string(reinterpret_cast<char *>(expect.data()), 4)),
              as_read(expect, 0));
}

TEST_P(DriverAlter, ATableHeldByAnotherSessionAnswers202AndStaysAsItWas)
{
    ASSERT_EQ(send_dd("dbtst111", 0), 0);
    ASSERT_EQ(send_def(dictionary_of(session, "dbtst111", 0, 3).dd), 0);
    ASSERT_EQ(table("dbtst111", 0, 4), 0);
    long other = c.attach_session();
    ASSERT_GT(other, 0);
    ASSERT_EQ(table("dbtst111", 0, 7, 0, nullptr, other), 0) << "lock_table";
    long result = -1;
    std::vector<unsigned char> defaults = new_default_row("dbtst111");
    EXPECT_EQ(alter("dbtst111", 0, kAlter, defaults, &result), 202);
    EXPECT_EQ(columns("dbtst111_000").size(), 3u);
    ASSERT_EQ(dbaction(3, other), 0) << "abort ends the lock";
    EXPECT_EQ(alter("dbtst111", 0, kAlter, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(columns("dbtst111_000").size(), 4u);
}

/* ---- hand-made definitions --------------------------------------------------- */

namespace {

std::string key_of(std::int64_t id)
{
    unsigned char k[4];
    be32(k, id);
    return std::string(reinterpret_cast<char *>(k), 4);
}

float float_at(const std::vector<unsigned char> &row, int offset)
{
    float f;
    std::memcpy(&f, row.data() + offset, sizeof f);
    return f;
}

} // namespace

TEST_P(DriverAlter, NumbersWidenedToLongFloatAndDoubleKeepTheirValues)
{
    /* id, w long -> double, b byte -> long, i integer -> float, f float -> double */
    commu_dd_desc old_dd = definition("tdalt100", 3,
                                      {col("id", TDB_LONG, 0, 4), col("w", TDB_LONG, 4, 4),
                                       col("b", TDB_BYTE, 8, 1), col("i", TDB_INTEGER, 9, 2),
                                       col("f", TDB_FLOAT, 11, 4)},
                                      {{1, 0, 1, {0}}, {2, 1, 1, {1}}});
    commu_dd_desc new_dd = definition("Tdalt100", 3,
                                      {col("id", TDB_LONG, 0, 4), col("w", TDB_DOUBLE, 4, 8),
                                       col("b", TDB_LONG, 12, 4), col("i", TDB_FLOAT, 16, 4),
                                       col("f", TDB_DOUBLE, 20, 8)},
                                      {{1, 0, 1, {0}}, {2, 1, 1, {1}}});
    struct Values {
        std::int32_t w;
        int b;
        int i;
        float f;
    };
    std::vector<Values> values = {{std::numeric_limits<std::int32_t>::min(), 255, -32768, 0.1f},
                                  {std::numeric_limits<std::int32_t>::max(), 0, 32767, -3.4e38f},
                                  {-1, 1, -1, 1e-45f}};
    std::vector<std::vector<unsigned char>> rows;
    for (size_t n = 0; n < values.size(); n++) {
        std::vector<unsigned char> row = blank_row(old_dd);
        be32(row.data(), static_cast<std::int64_t>(n));
        be32(row.data() + 4, values[n].w);
        row[8] = static_cast<unsigned char>(values[n].b);
        row[9] = static_cast<unsigned char>((values[n].i >> 8) & 0xFF);
        row[10] = static_cast<unsigned char>(values[n].i & 0xFF);
        std::memcpy(row.data() + 11, &values[n].f, 4);
        rows.push_back(row);
    }
    prepare(old_dd, new_dd, rows);
    std::vector<unsigned char> defaults = blank_row(new_dd);
    long result = -1;
    EXPECT_EQ(alter("tdalt100", 3, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(alter("tdalt100", 3, kAlter, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(columns("tdalt100_003"),
              pg() ? (std::vector<std::string>{"b:integer", "f:double precision", "i:real",
                                               "id:integer", "tdb_row:bytea",
                                               "w:double precision"})
                   : (std::vector<std::string>{"b:INTEGER", "f:REAL", "i:REAL", "id:INTEGER",
                                               "tdb_row:BLOB", "w:REAL"}));
    EXPECT_EQ(indexes("tdalt100_003"),
              (std::vector<std::string>{"tdalt100_003_i1:1:id", "tdalt100_003_i2:0:w"}));
    EXPECT_EQ(catalog("tdalt100", 3), catalog_of(new_dd));
    EXPECT_EQ(one("SELECT count(*) FROM tdalt100_003 WHERE tdb_row IS NOT NULL"), "0");
    for (size_t n = 0; n < values.size(); n++) {
        SCOPED_TRACE(n);
        std::vector<unsigned char> expect = blank_row(new_dd);
        be32(expect.data(), static_cast<std::int64_t>(n));
        put_double(expect, 4, values[n].w);
        be32(expect.data() + 12, values[n].b);
        float i = static_cast<float>(values[n].i);
        std::memcpy(expect.data() + 16, &i, 4);
        put_double(expect, 20, static_cast<double>(values[n].f));
        std::vector<unsigned char> got = read_key("tdalt100", 3, key_of(static_cast<long>(n)));
        EXPECT_EQ(got, as_read(expect, 3));
        EXPECT_EQ(float_at(got, 16), static_cast<float>(values[n].i));
    }
    EXPECT_EQ(one("SELECT count(*) FROM tdalt100_003 WHERE w = -2147483648.0 AND id = 0"), "1");
}

TEST_P(DriverAlter, StringToMultibyteStringChangesNothingInTheDatabase)
{
    commu_dd_desc old_dd = definition("tdalt101", 0,
                                      {col("id", TDB_LONG, 0, 4), col("name", TDB_STRING, 4, 16)},
                                      {{1, 0, 1, {0}}});
    commu_dd_desc new_dd = old_dd;
    new_dd.table[0] = 'T';
    new_dd.columns[1].type = TDB_MBSTRING;
    std::vector<unsigned char> row = blank_row(old_dd);
    be32(row.data(), 1);
    std::memcpy(row.data() + 4, "\x9b\x81\x9c\xad" "x", 5);
    prepare(old_dd, new_dd, {row});
    long result = -1;
    EXPECT_EQ(alter("tdalt101", 0, kCheck, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(alter("tdalt101", 0, kAlter, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(catalog("tdalt101", 0), catalog_of(new_dd));
    EXPECT_EQ(read_key("tdalt101", 0, key_of(1)), as_read(row, 0));
    EXPECT_EQ(one("SELECT name FROM tdalt101_000"), "\xe4\xb8\xadx");
}

TEST_P(DriverAlter, ArraysGrowWithTheDefaultAndShrink)
{
    commu_dd_desc two = definition("tdalt102", 1,
                                   {col("id", TDB_LONG, 0, 4), col("arr", TDB_LONG, 4, 8, 2)},
                                   {{1, 0, 1, {0}}});
    commu_dd_desc three = definition("Tdalt102", 1,
                                     {col("id", TDB_LONG, 0, 4), col("arr", TDB_LONG, 4, 12, 3)},
                                     {{1, 0, 1, {0}}});
    std::vector<unsigned char> row = blank_row(two);
    be32(row.data(), 9);
    be32(row.data() + 4, -7);
    be32(row.data() + 8, 70000);
    prepare(two, three, {row});
    std::vector<unsigned char> defaults = blank_row(three);
    be32(defaults.data() + 12, 77);
    long result = -1;
    EXPECT_EQ(alter("tdalt102", 1, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(alter("tdalt102", 1, kAlter, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(one("SELECT arr_1 || ',' || arr_2 || ',' || arr_3 FROM tdalt102_001"), "-7,70000,77");
    std::vector<unsigned char> grown = defaults;
    std::memcpy(grown.data(), row.data(), 12);
    EXPECT_EQ(read_key("tdalt102", 1, key_of(9)), as_read(grown, 1));

    /* Back to two elements: the third column goes. */
    commu_dd_desc shrunk = renamed(two, "Tdalt102");
    ASSERT_EQ(send_def(shrunk), 0);
    EXPECT_EQ(alter("tdalt102", 1, kCheck, blank_row(two), &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(alter("tdalt102", 1, kAlter, blank_row(two), &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(columns("tdalt102_001").size(), 4u) << "id, arr_1, arr_2, tdb_row";
    EXPECT_EQ(read_key("tdalt102", 1, key_of(9)), as_read(row, 1));
    EXPECT_EQ(catalog("tdalt102", 1), catalog_of(two));
}

TEST_P(DriverAlter, KeysAddedAndRemovedChangeOnlyTheIndexes)
{
    commu_dd_desc old_dd = definition("tdalt103", 0,
                                      {col("id", TDB_LONG, 0, 4), col("code", TDB_STRING, 4, 6),
                                       col("grp", TDB_INTEGER, 10, 2)},
                                      {{1, 0, 1, {0}}, {2, 1, 1, {2, 1}}});
    commu_dd_desc new_dd = definition("Tdalt103", 0, old_dd.columns,
                                      {{1, 0, 1, {0}}, {3, 0, 1, {1}}, {4, 1, 0, {2}}});
    std::vector<std::vector<unsigned char>> rows;
    for (int id : {1, 2}) {
        std::vector<unsigned char> row = blank_row(old_dd);
        be32(row.data(), id);
        put_string(row, 4, 6, "C" + std::to_string(id));
        row[11] = 5;
        rows.push_back(row);
    }
    prepare(old_dd, new_dd, rows);
    EXPECT_EQ(indexes("tdalt103_000"),
              (std::vector<std::string>{"tdalt103_000_i1:1:id", "tdalt103_000_i2:0:grp,code"}));
    long result = -1;
    EXPECT_EQ(alter("tdalt103", 0, kCheck, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(alter("tdalt103", 0, kAlter, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(indexes("tdalt103_000"),
              (std::vector<std::string>{"tdalt103_000_i1:1:id", "tdalt103_000_i3:1:code"}))
        << "key 4 has A attribute 0";
    EXPECT_EQ(catalog("tdalt103", 0), "3|3|" + column_list(new_dd));
    EXPECT_EQ(read_key("tdalt103", 0, key_of(2)), as_read(rows[1], 0));
}

TEST_P(DriverAlter, AUniqueIndexTheRowsRefuseAnswers100AndChangesNothing)
{
    commu_dd_desc old_dd = definition("tdalt104", 0,
                                      {col("id", TDB_LONG, 0, 4), col("grp", TDB_INTEGER, 4, 2)},
                                      {{1, 0, 1, {0}}});
    commu_dd_desc new_dd = definition("Tdalt104", 0,
                                      {col("id", TDB_LONG, 0, 4), col("grp", TDB_INTEGER, 4, 2),
                                       col("extra", TDB_LONG, 6, 4)},
                                      {{1, 0, 1, {0}}, {2, 0, 1, {1}}});
    std::vector<std::vector<unsigned char>> rows;
    for (int id : {1, 2}) {
        std::vector<unsigned char> row = blank_row(old_dd);
        be32(row.data(), id);
        row[5] = 3; /* the same grp in both rows */
        rows.push_back(row);
    }
    prepare(old_dd, new_dd, rows);
    std::vector<std::string> before = columns("tdalt104_000");
    long result = -1;
    EXPECT_EQ(alter("tdalt104", 0, kCheck, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 0) << "the check does not try the index";
    long mark = driver_log_mark();
    EXPECT_EQ(alter("tdalt104", 0, kAlter, blank_row(new_dd), &result), 100);
    EXPECT_NE(driver_log_since(mark).find("Alter table tdalt104_000 (action 2): "),
              std::string::npos)
        << driver_log_since(mark);
    EXPECT_EQ(columns("tdalt104_000"), before);
    EXPECT_EQ(indexes("tdalt104_000"), std::vector<std::string>{"tdalt104_000_i1:1:id"});
    EXPECT_EQ(catalog("tdalt104", 0), catalog_of(old_dd));
    EXPECT_EQ(read_key("tdalt104", 0, key_of(2)), as_read(rows[1], 0)) << "old layout still";
}

TEST_P(DriverAlter, ANarrowerStringAnswersThreeWhileRowsHoldLongerValues)
{
    commu_dd_desc old_dd = definition("tdalt105", 0,
                                      {col("id", TDB_LONG, 0, 4), col("name", TDB_STRING, 4, 20)},
                                      {{1, 0, 1, {0}}});
    commu_dd_desc new_dd = definition("Tdalt105", 0,
                                      {col("id", TDB_LONG, 0, 4), col("name", TDB_STRING, 4, 5)},
                                      {{1, 0, 1, {0}}});
    std::vector<std::vector<unsigned char>> rows;
    for (auto [id, name] : {std::pair<int, const char *>{1, "short"}, {2, "much longer"}}) {
        std::vector<unsigned char> row = blank_row(old_dd);
        be32(row.data(), id);
        put_string(row, 4, 20, name);
        rows.push_back(row);
    }
    prepare(old_dd, new_dd, rows);
    long result = -1;
    for (int action : {kCheck, kAlter, kAlterAfterExport}) {
        EXPECT_EQ(alter("tdalt105", 0, action, blank_row(new_dd), &result), 0) << action;
        EXPECT_EQ(result, 3) << action;
    }
    EXPECT_EQ(catalog("tdalt105", 0), catalog_of(old_dd));
    EXPECT_EQ(read_key("tdalt105", 0, key_of(2)), as_read(rows[1], 0));

    /* Without the long value the database has nothing to change. */
    Store del([&] {
        tdbdriver::TableLayout l;
        std::string e;
        EXPECT_TRUE(l.build(old_dd, 0, &e));
        return l.update_store_columns();
    }(), row_length_of(old_dd));
    del.add(1, 2, 0, rows[1]);
    ASSERT_EQ(send_updates({del.table("tdalt105", 0)}), 0);
    ASSERT_EQ(dbaction(1), 0);
    EXPECT_EQ(alter("tdalt105", 0, kCheck, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(alter("tdalt105", 0, kAlter, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(catalog("tdalt105", 0), catalog_of(new_dd));
    std::vector<unsigned char> expect = blank_row(new_dd);
    be32(expect.data(), 1);
    put_string(expect, 4, 5, "short");
    EXPECT_EQ(read_key("tdalt105", 0, key_of(1)), as_read(expect, 0));
}

TEST_P(DriverAlter, RowsKeptAsExactImagesAreConverted)
{
    commu_dd_desc old_dd = definition("tdalt106", 0,
                                      {col("id", TDB_LONG, 0, 4), col("d", TDB_DOUBLE, 4, 8),
                                       col("n", TDB_INTEGER, 12, 2)},
                                      {{1, 0, 1, {0}}});
    commu_dd_desc new_dd = definition("Tdalt106", 0,
                                      {col("id", TDB_LONG, 0, 4), col("d", TDB_DOUBLE, 4, 8),
                                       col("n", TDB_LONG, 12, 4), col("extra", TDB_STRING, 16, 4)},
                                      {{1, 0, 1, {0}}});
    std::uint64_t nan_bits = 0x7ff8000000000123ULL;
    double nan;
    std::memcpy(&nan, &nan_bits, sizeof nan);
    std::vector<std::vector<unsigned char>> rows;
    for (auto [id, d] : {std::pair<int, double>{1, nan}, {2, 1.5}}) {
        std::vector<unsigned char> row = blank_row(old_dd);
        be32(row.data(), id);
        put_double(row, 4, d);
        row[12] = 0x80; /* -32768 */
        rows.push_back(row);
    }
    prepare(old_dd, new_dd, rows);
    std::string length = pg() ? "octet_length" : "length";
    EXPECT_EQ(one("SELECT " + length + "(tdb_row) FROM tdalt106_000 WHERE id = 1"), "14");
    std::vector<unsigned char> defaults = blank_row(new_dd);
    put_string(defaults, 16, 4, "ab");
    long result = -1;
    EXPECT_EQ(alter("tdalt106", 0, kCheck, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(alter("tdalt106", 0, kAlter, defaults, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(one("SELECT " + length + "(tdb_row) FROM tdalt106_000 WHERE id = 1"), "20");
    EXPECT_EQ(one("SELECT count(*) FROM tdalt106_000 WHERE tdb_row IS NULL"), "1");
    EXPECT_EQ(one("SELECT n || ':' || extra FROM tdalt106_000 WHERE id = 1"), "-32768:ab");
    for (size_t i = 0; i < rows.size(); i++) {
        std::vector<unsigned char> expect = defaults;
        std::memcpy(expect.data(), rows[i].data(), 12);
        be32(expect.data() + 12, -32768);
        EXPECT_EQ(read_key("tdalt106", 0, key_of(static_cast<long>(i + 1))), as_read(expect, 0))
            << i;
    }
}

TEST_P(DriverAlter, ATypeChangeThatNeedsConvertingAnswersThree)
{
    commu_dd_desc old_dd = definition("tdalt107", 0,
                                      {col("id", TDB_LONG, 0, 4), col("w", TDB_LONG, 4, 4)},
                                      {{1, 0, 1, {0}}});
    commu_dd_desc new_dd = definition("Tdalt107", 0,
                                      {col("id", TDB_LONG, 0, 4), col("w", TDB_FLOAT, 4, 4)},
                                      {{1, 0, 1, {0}}});
    prepare(old_dd, new_dd, {});
    std::vector<std::string> before = columns("tdalt107_000");
    long result = -1;
    for (int action : {kCheck, kAlter}) {
        EXPECT_EQ(alter("tdalt107", 0, action, blank_row(new_dd), &result), 0);
        EXPECT_EQ(result, 3);
    }
    EXPECT_EQ(columns("tdalt107_000"), before);
    EXPECT_EQ(catalog("tdalt107", 0), catalog_of(old_dd));
}

TEST_P(DriverAlter, AStoredTableThatDoesNotMatchItsDefinitionIsRefused)
{
    commu_dd_desc old_dd = definition("tdalt108", 0, {col("id", TDB_LONG, 0, 4)}, {{1, 0, 1, {0}}});
    commu_dd_desc new_dd = definition("Tdalt108", 0,
                                      {col("id", TDB_LONG, 0, 4), col("w", TDB_LONG, 4, 4)},
                                      {{1, 0, 1, {0}}});
    prepare(old_dd, new_dd, {});
    modify("ALTER TABLE tdalt108_000 ADD COLUMN stray INTEGER");
    long result = -1;
    long mark = driver_log_mark();
    EXPECT_EQ(alter("tdalt108", 0, kCheck, blank_row(new_dd), &result), 215);
    EXPECT_NE(driver_log_since(mark).find("the stored table tdalt108_000 does not have the "
                                          "columns of its definition"),
              std::string::npos);
}

TEST_P(DriverAlter, ATableAlreadyInTheNewFormOnlyGetsTheCatalogEntry)
{
    commu_dd_desc old_dd = definition("tdalt109", 0, {col("id", TDB_LONG, 0, 4)}, {{1, 0, 1, {0}}});
    commu_dd_desc new_dd = definition("Tdalt109", 0,
                                      {col("id", TDB_LONG, 0, 4), col("w", TDB_LONG, 4, 4)},
                                      {{1, 0, 1, {0}}});
    prepare(old_dd, new_dd, {});
    modify(std::string("ALTER TABLE tdalt109_000 ADD COLUMN w ") + (pg() ? "integer" : "INTEGER"));
    long result = -1;
    EXPECT_EQ(alter("tdalt109", 0, kCheck, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(catalog("tdalt109", 0), catalog_of(old_dd));
    EXPECT_EQ(alter("tdalt109", 0, kAlter, blank_row(new_dd), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(catalog("tdalt109", 0), catalog_of(new_dd));
}

INSTANTIATE_TEST_SUITE_P(Backends, DriverAlter,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(backend_name(info.param));
                         });
