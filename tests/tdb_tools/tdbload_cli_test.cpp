/*
 * tdbload_cli_test.cpp: end-to-end tests of the tdbload program: the real
 * program and the real tdb_driver in a private environment with the demo
 * dictionary, the rows checked in the database itself (SQLite, and
 * PostgreSQL for the every-type and duplicate cases); bad files with the
 * exact messages; and the demo environment's load step (demo/load).
 */
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "backend_support.h"
#include "run_program.h"

namespace {

using drivertest::Backend;
using drivertest::BackendDb;
using tdbtest::RunOptions;
using tdbtest::RunResult;
using tdbtest::TempDir;

const std::string kLoader = TDBLOAD_PATH;

/* A private environment (TSE) whose tabledef puts every dbtst table on
 * one database of one backend. */
class Loader : public testing::Test {
protected:
    void start(Backend backend, const std::string &compnr_map = "")
    {
        db_ = std::make_unique<BackendDb>(backend);
        dir_.write("lib/user/u/uloader", "usertype: S\npacc: test\ndomaincheck: 1\n");
        dir_.write("lib/fd6.2.test", std::string("tt tools/tt7.6_a\ndb ") + DEMO_TSE +
                                         "/appl/db6.2\n");
        dir_.write("tools/tt7.6_a/o6.2/ottiex1287", "");
        dir_.write("lib/ipc_info", std::string("sqlite p ") + TDB_DRIVER_PATH + "\npostgres p " +
                                       TDB_DRIVER_PATH + "\n");
        dir_.write("lib/tabledef6.2", "dbtst:*:" + db_->driver() + "(" + db_->args() + ")\n");
        if (!compnr_map.empty())
            dir_.write("lib/compnr6.2", compnr_map);
        dir_.write("log/.keep", "");
    }

    RunResult load(const std::vector<std::string> &args)
    {
        RunOptions options;
        options.env = {{"TSE", dir_.path()},
                       {"USER", "loader"},
                       {"TSE_LIB_PATH", TSS_CONVERT_DIR}};
        options.unset_env = {"PACKAGE_COMB", "USR_DBC_RES", "TSE_LOG", "TSE_TMP", "TDB_DEBUG"};
        options.cwd = dir_.path();
        return tdbtest::run_program(kLoader, args, options);
    }

    /* Writes a CSV file into the environment's directory; its name. */
    std::string csv(const std::string &name, const std::string &text)
    {
        dir_.write(name, text);
        return name;
    }

    std::string rows(const std::string &sql)
    {
        std::string out;
        for (const std::string &row : db_->query(sql))
            out += (out.empty() ? "" : ",") + row;
        return out;
    }

    bool has_table(const std::string &table)
    {
        if (db_->backend() == Backend::Sqlite) {
            if (!std::filesystem::exists(db_->where()))
                return false;
            return rows("select count(*) from sqlite_master where type = 'table' and name = '" +
                        table + "'") == "1";
        }
        return rows("select to_regclass('" + table + "') is not null") == "t";
    }

    TempDir dir_;
    std::unique_ptr<BackendDb> db_;
};

/* Every type of dbtst100 as a person writes it; two columns left out. */
const char kEveryType[] =
    "code,bval,flag,ival,lval,fval,dval,name,date,utc,txt,stat,days,mbname,rawv\n"
    "ABC,255,1,-32768,2147483647,1.25,-2.5e10,\"Müller, \"\"A\"\"\",2024-02-29,"
    "2024-02-29T12:34:56Z,70000,held,6,日本語,00ff10\n"
    "B1,0,0,32767,-2147483648,-0.5,0.125,Plain,0001-01-01,1970-01-01T00:00:00Z,0,1,0,x,\n";

/* The values as the database holds them, in a form both backends print
 * alike (the text columns as the driver stores them: UTF-8, trailing
 * blanks removed; raw bytes without their trailing zeros). */
std::string every_type_query(Backend backend)
{
    const std::string hex = backend == Backend::Postgres ? "upper(encode(rawv, 'hex'))" : "hex(rawv)";
    return "select code, bval, flag, ival, lval, fval, dval, name, date, utc, txt, lv, stat, days, "
           "mbname, " +
           hex + " from dbtst100_005 order by code";
}

void expect_every_type(const std::string &stored)
{
    EXPECT_EQ(stored,
              "ABC|255|1|-32768|2147483647|1.25|-25000000000|Müller, \"A\"|738945|1709210096|70000|7|"
              "3|6|日本語|00FF10,"
              "B1|0|0|32767|-2147483648|-0.5|0.125|Plain|1|0|0|7|1|0|x|");
}

TEST_F(Loader, EveryColumnTypeIsStoredAsWrittenAndUnnamedColumnsGetTheirDefault)
{
    start(Backend::Sqlite);
    const std::string file = csv("all.csv", kEveryType);
    RunResult r = load({"-C", "5", "dbtst100", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "tdbload: table dbtst100 of company 005 created\n"
                     "tdbload: 2 rows loaded into dbtst100 of company 005\n");
    EXPECT_EQ(r.err, "");
    /* SQLite keeps -2.5e10 as an integral REAL ("-25000000000.0"). */
    std::string stored = rows(every_type_query(Backend::Sqlite));
    const std::string real = "-25000000000.0";
    const auto at = stored.find(real);
    ASSERT_NE(at, std::string::npos) << stored;
    stored.replace(at, real.size(), "-25000000000");
    expect_every_type(stored);
    /* The column lv was not named: its default 7. The indexes of keys 1
     * and 2 exist (key 3 has A attribute 0: no index). */
    EXPECT_EQ(rows("select name from sqlite_master where type = 'index' and "
                   "tbl_name = 'dbtst100_005' order by name"),
              "dbtst100_005_i1,dbtst100_005_i2");
}

TEST_F(Loader, EveryColumnTypeIsStoredAsWrittenOnPostgres)
{
    REQUIRE_PG_TEST_SERVER();
    start(Backend::Postgres);
    const std::string file = csv("all.csv", kEveryType);
    RunResult r = load({"-C", "5", "dbtst100", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    db_->disconnect();
    expect_every_type(rows(every_type_query(Backend::Postgres)));
}

TEST_F(Loader, ArrayElementsAreNamedFieldUnderscoreNumber)
{
    start(Backend::Sqlite);
    const std::string file = csv("arr.csv",
                                 "seqnr,amount_3,amount_1,label_2,qty_1,qty_2,tag_2\n"
                                 "1,30.5,10.25,cd,-1,2,0a0b\n");
    RunResult r = load({"-C", "7", "dbtst101", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    /* amount_2, label_1, label_3 and tag_1 keep the defaults 0.5, "ab", "FF01". */
    EXPECT_EQ(rows("select amount_1, amount_2, amount_3, label_1, label_2, label_3, qty_1, qty_2, "
                   "hex(tag_1), hex(tag_2) from dbtst101_007"),
              "10.25|0.5|30.5|ab|cd|ab|-1|2|FF01|0A0B");
}

TEST_F(Loader, BadValuesOfEveryKindAreReportedWithLineAndColumnAndNothingIsLoaded)
{
    start(Backend::Sqlite);
    const std::string file = csv("bad.csv",
                                 "code,bval,ival,lval,fval,date,utc,stat,name,rawv\n"
                                 "A,256,0,0,0,,,1,a,\n"
                                 "B,0,40000,0,0,,,1,a,\n"
                                 "C,0,0,x1,0,,,1,a,\n"
                                 "D,0,0,0,abc,,,1,a,\n"
                                 "E,0,0,0,0,2023-02-30,,1,a,\n"
                                 "F,0,0,0,0,,2024-01-01 10:00:00,1,a,\n"
                                 "G,0,0,0,0,,,9,a,\n"
                                 "H,0,0,0,0,,,1,aaaaaaaaaaaaaaaaaaaaa,\n"
                                 "I,0,0,0,0,,,1,a,0G\n"
                                 "jj,0,0,0,0,,,1,a,\n"
                                 "K,0,0,0,0,,,1,a,\n");
    RunResult r = load({"-C", "5", "dbtst100", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "bad.csv: line 2, column bval: value 256 is outside 0..255\n"
              "bad.csv: line 3, column ival: value 40000 is outside -32768..32767\n"
              "bad.csv: line 4, column lval: value \"x1\" is not an integer\n"
              "bad.csv: line 5, column fval: value \"abc\" is not a finite number\n"
              "bad.csv: line 6, column date: value \"2023-02-30\" is not a valid date\n"
              "bad.csv: line 7, column utc: value \"2024-01-01 10:00:00\" is not a UTC time "
              "YYYY-MM-DDTHH:MM:SSZ\n"
              "bad.csv: line 8, column stat: value 9 is not a value of the enumeration\n"
              "bad.csv: line 9, column name: text of 21 bytes is longer than the column's 20\n"
              "bad.csv: line 10, column rawv: value \"0G\" is not hexadecimal bytes\n"
              "bad.csv: line 11, column code: dbtst100.code not according to LECH (value "
              "'jj    ')\n"
              "tdbload: 10 problems in bad.csv: nothing loaded\n");
    EXPECT_FALSE(has_table("dbtst100_005")) << "the table is made only for a good file";
}

TEST_F(Loader, ADomainRangeIsCheckedAsForAnyInsert)
{
    start(Backend::Sqlite);
    const std::string file = csv("q.csv", "id,qty\n1,5\n2,-1\n");
    RunResult r = load({"-C", "5", "dbtst113", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "q.csv: line 3, column qty: dbtst113.qty not according to RANG (value -1)\n"
                     "tdbload: 1 problem in q.csv: nothing loaded\n");
}

TEST_F(Loader, HeaderErrorsNameTheField)
{
    start(Backend::Sqlite);
    RunResult r = load({"-C", "5", "dbtst101", csv("h.csv", "seqnr,bogus,amount,qty_3,seqnr,\n")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "h.csv: line 1, column bogus: unknown field \"bogus\" in table dbtst101\n"
                     "h.csv: line 1, column amount: field amount is an array of 3 elements: name "
                     "them amount_1 to amount_3\n"
                     "h.csv: line 1, column qty_3: field qty has elements 1 to 2, not 3\n"
                     "h.csv: line 1, column seqnr: field named twice in the header\n"
                     "h.csv: line 1: field 6 of the header is empty\n"
                     "tdbload: the header is not usable: nothing loaded\n");

    /* A key field missing: every row would have the same key. */
    r = load({"-C", "5", "dbtst108", csv("k.csv", "b,c\n1,X\n")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "k.csv: line 1, column a: key field missing from the header (part of index 1)\n"
                     "tdbload: the header is not usable: nothing loaded\n");

    /* Combined columns are given through their parts. */
    r = load({"-C", "5", "dbtst102", csv("c.csv", "ordline,ordno,line\n")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "c.csv: line 1, column ordline: field ordline is a combined column: name its "
                     "parts\n"
                     "tdbload: the header is not usable: nothing loaded\n");
}

TEST_F(Loader, AWrongFieldCountAndABadQuoteAreReportedByLine)
{
    start(Backend::Sqlite);
    RunResult r = load({"-C", "5", "dbtst107", csv("n.csv", "id,descr\n1,a\n2\n3,b,c\n")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "n.csv: line 3: 1 field where the header names 2\n"
                     "n.csv: line 4: 3 fields where the header names 2\n"
                     "tdbload: 2 problems in n.csv: nothing loaded\n");
    r = load({"-C", "5", "dbtst107", csv("o.csv", "id,descr\n1,\"open\n2,b\n")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "o.csv: line 2: a quoted field is not closed\ntdbload: nothing loaded\n");
    EXPECT_FALSE(has_table("dbtst107_005"));
}

TEST_F(Loader, ADuplicateKeyMidwayKeepsTheCommittedBatchesAndNamesItsLine)
{
    start(Backend::Sqlite);
    const std::string file = csv("d.csv", "id,descr\n1,a\n2,b\n3,c\n4,d\n5,e\n2,again\n7,g\n");
    RunResult r = load({"-C", "5", "-r", "2", "dbtst107", file});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "tdbload: table dbtst107 of company 005 created\n");
    EXPECT_EQ(r.err, "d.csv: line 7: insert failed: Duplicate value (tdb_errno 100)\n"
                     "tdbload: 4 rows committed before line 6; the rows from line 6 on are not "
                     "loaded\n");
    EXPECT_EQ(rows("select id from dbtst107_005 order by id"), "1,2,3,4");
}

TEST_F(Loader, ADuplicateKeyMidwayOnPostgres)
{
    REQUIRE_PG_TEST_SERVER();
    start(Backend::Postgres);
    const std::string file = csv("d.csv", "id,descr\n1,a\n2,b\n3,c\n2,again\n");
    RunResult r = load({"-C", "5", "-r", "2", "dbtst107", file});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "d.csv: line 5: insert failed: Duplicate value (tdb_errno 100)\n"
                     "tdbload: 2 rows committed before line 4; the rows from line 4 on are not "
                     "loaded\n");
    db_->disconnect();
    EXPECT_EQ(rows("select id from dbtst107_005 order by id"), "1,2");
}

TEST_F(Loader, AnEmptyFileIsRefusedAndAHeaderAloneMakesAnEmptyTable)
{
    start(Backend::Sqlite);
    RunResult r = load({"-C", "5", "dbtst107", csv("e.csv", "")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "e.csv: the file is empty: no header line naming the fields\n"
                     "tdbload: nothing loaded\n");
    EXPECT_FALSE(has_table("dbtst107_005"));

    r = load({"-C", "5", "dbtst107", csv("h.csv", "id,descr\n")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "tdbload: table dbtst107 of company 005 created\n"
                     "tdbload: 0 rows loaded into dbtst107 of company 005\n");
    EXPECT_EQ(rows("select count(*) from dbtst107_005"), "0");
}

TEST_F(Loader, AnExistingTableGetsTheRowsAddedWithoutBeingMadeAgain)
{
    start(Backend::Sqlite);
    EXPECT_EQ(load({"-C", "5", "dbtst107", csv("a.csv", "id,descr\n1,a\n")}).exit_code, 0);
    RunResult r = load({"-C", "5", "dbtst107", csv("b.csv", "descr,id\nb,2\n")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "tdbload: 1 row loaded into dbtst107 of company 005\n");
    EXPECT_EQ(rows("select id, descr from dbtst107_005 order by id"), "1|a,2|b");
}

TEST_F(Loader, AMappedCompanyStoresItsRowsUnderThePhysicalOne)
{
    start(Backend::Sqlite, "db:100:200\n");
    RunResult r = load({"-C", "200", "dbtst107", csv("m.csv", "id,descr\n1,mapped\n")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "tdbload: table dbtst107 of company 200 (stored under 100) created\n"
                     "tdbload: 1 row loaded into dbtst107 of company 200 (stored under 100)\n");
    EXPECT_EQ(rows("select id, descr from dbtst107_100"), "1|mapped");
    EXPECT_FALSE(has_table("dbtst107_200"));
}

TEST_F(Loader, CommandLineErrorsAndUnknownTablesLoadNothing)
{
    start(Backend::Sqlite);
    const std::string file = csv("a.csv", "id,descr\n1,a\n");
    RunResult r = load({"dbtst107", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Usage: tdbload [-p package-combination] -C company [-r commit-rate] "
                         "table csv-file\n"),
              std::string::npos)
        << r.err;
    r = load({"-C", "1000", "dbtst107", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tdbload: illegal company number '1000' (0-999)\n");
    r = load({"-C", "1", "-r", "0", "dbtst107", file});
    EXPECT_EQ(r.err, "tdbload: illegal commit rate '0' (1-1000000)\n");
    r = load({"-C", "1", "dbtst999", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tdbload: table dbtst999: Data dictionary not found (tdb_errno 513)\n");
    r = load({"-C", "1", "-p", "nosuch", "dbtst107", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tdbload: Package combination \"nosuch\" does not exist.\n");
    r = load({"-C", "1", "dbtst107", "missing.csv"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tdbload: cannot open missing.csv: No such file or directory\n");
}

/* The number of data lines of a CSV file without quoted line breaks. */
int data_lines(const std::filesystem::path &file)
{
    std::ifstream in(file);
    std::string line;
    int n = -1;
    while (std::getline(in, line))
        n += line.empty() ? 0 : 1;
    return n;
}

TEST(DemoLoad, EveryDemoDataFileLoadsIntoItsTableAndCompany)
{
    TempDir run;
    RunOptions options;
    options.timeout_seconds = 300;
    RunResult r = tdbtest::run_program("/bin/bash", {std::string(SOURCE_DIR) + "/demo/load",
                                                     TDB_BIN_DIR, run.path()},
                                       options);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");

    /* Each file's rows are in its table: company 200 is stored under 100,
     * so its rows add to 100's. */
    std::map<std::string, int> expected;
    for (const auto &company : std::filesystem::directory_iterator(std::string(SOURCE_DIR) +
                                                                   "/demo/data")) {
        std::string physical = company.path().filename().string();
        if (physical == "200")
            physical = "100";
        for (const auto &file : std::filesystem::directory_iterator(company.path()))
            expected[file.path().stem().string() + "_" + physical] += data_lines(file.path());
    }
    ASSERT_FALSE(expected.empty());
    const std::string db = run.path() + "/tse/db/sqlite.db";
    sqlite3 *handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    for (const auto &[table, count] : expected) {
        sqlite3_stmt *st = nullptr;
        const std::string sql = "select count(*) from " + table;
        ASSERT_EQ(sqlite3_prepare_v2(handle, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << table;
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(st, 0), count) << table;
        sqlite3_finalize(st);
    }
    sqlite3_close(handle);
}

} // namespace
