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
        ASSERT_EQ(c.start(store->driver(), store->args()).retval, 0);
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

INSTANTIATE_TEST_SUITE_P(Backends, DriverAlter,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(backend_name(info.param));
                         });
