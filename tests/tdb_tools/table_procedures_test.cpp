/*
 * table_procedures_test.cpp: the tool's check and in-place alter on real
 * tables: tdbreconfig runs as a user would, on the demo's reconfiguration
 * tables and small dictionaries of package "da", stored in an SQLite
 * database or a PostgreSQL schema served by the real driver; the screen
 * lines, the report codes
 * (C0, C1, C2, C4, R0, R1) and what the database holds afterwards. Tables
 * that must hold rows are made beforehand through the tdb API in a forked
 * child.
 */
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alter_dictionary.h"
#include "backend_support.h"
#include "qpd_dd.h"
#include "run_program.h"
#include "tdb_api.h"

namespace {

using drivertest::Backend;
using drivertest::BackendDb;
using tdbtest::RunOptions;
using tdbtest::RunResult;
using tdbtest::TempDir;

const std::string kHeader =
    "Table       D Old      New      Messages\n"
    "----------- - -------- -------- ----------------------\n";

std::string row(const std::string &tableAndCompany, const std::string &message)
{
    return tableAndCompany + std::string(32 - tableAndCompany.size(), ' ') + message + "\n";
}

std::string reportLine(const std::string &tableAndCompany, const std::string &status, int error,
                       const std::string &message)
{
    return tableAndCompany + " " + status + " " + std::to_string(error) + " " + message + "\n";
}

const std::vector<tdbtest::AlterKeySpec> kKeyOnId = {{1, 1, 0, {"id"}}};

class TableProcedures : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::Postgres)
            REQUIRE_PG_TEST_SERVER();
        db_ = std::make_unique<BackendDb>(GetParam());
        dir_.write("lib/user/u/utester", "usertype: S\npacc: std\n");
        dir_.write("lib/fd6.2.std", std::string("tt tools/tt7.6_a\ndb ") + TOOLS_DEMO_TSE +
                                        "/appl/db6.2\n" + tdbtest::alter_package_line());
        dir_.write("lib/ipc_info", std::string("sqlite p ") + TDB_DRIVER_PATH + "\npostgres p " +
                                       TDB_DRIVER_PATH + "\n");
        const std::string server = db_->driver() + "(" + db_->args() + ")";
        dir_.write("lib/tabledef6.2", "dbtst:*:" + server + "\ndapro:*:" + server + "\n");
        dir_.write("log/.keep", "");
        /* A long column turning into a float: rows must be converted. */
        tdbtest::write_alter_table(dir_.path(), "dapro001",
                                   {{"id", "daDom.long"}, {"v", "daDom.long"}}, kKeyOnId,
                                   {{"id", "daDom.long"}, {"v", "daDom.float"}}, kKeyOnId);
    }

    RunResult run(const std::vector<std::string> &args)
    {
        RunOptions options;
        options.cwd = dir_.path();
        options.unset_env = {"CONFIGSPEC", "USR_DBC_RES", "PACKAGE_COMB", "POSIXLY_CORRECT",
                             "TSE_LOG", "TSE_TMP", "TRELTZ"};
        options.env = {{"TSE", dir_.path()}, {"USER", "tester"}};
        return tdbtest::run_program(TDBRECONFIG_PATH, args, options);
    }

    /* Creates table in company 112 with rows through the tdb API, in a
     * forked child (the API keeps its state for the process). */
    void createTable(const char *table, int rows)
    {
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("TSE", dir_.path().c_str(), 1);
            setenv("USER", "tester", 1);
            unsetenv("PACKAGE_COMB");
            unsetenv("TSE_LOG");
            int ok = tdb_init_api("tablemaker", 0, 0, 0) == 0 && tdb_logon("tdbreconfig") == 0;
            const unsigned trans = ok ? tdb_start_session("make") : 0;
            std::vector<unsigned char> buffer(DD_MAX_ROW);
            tdb_handle *h = nullptr;
            ok = ok && trans != 0 && tdb_open(&h, table, 112, buffer.data(), 0, trans) == 0;
            int arg = 0;
            ok = ok && tdb_exec_table(h, 4, &arg, -1) == 0;
            const _dd_table *t = ok ? ddtable(table) : nullptr;
            for (int i = 0; ok && t != nullptr && i < rows; ++i) {
                std::memcpy(buffer.data(), t->default_row, t->row_length);
                unsigned char *id = buffer.data() + t->keys[0].parts[0]->offset;
                id[0] = 0;
                id[1] = 0;
                id[2] = 0;
                id[3] = static_cast<unsigned char>(i + 1);
                ok = tdb_exec_row(h, 22, 0, -1) == 0;
            }
            ok = ok && tdb_exec_db(1, trans) == 0;
            if (h != nullptr)
                tdb_close(h);
            tdb_logoff();
            std::fflush(nullptr);
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "creating " << table;
    }

    /* The stored columns of a database table, sorted. */
    std::vector<std::string> columnsOf(const std::string &table)
    {
        std::vector<std::string> names = db_->query(
            GetParam() == Backend::Sqlite
                ? "select name from pragma_table_info('" + table + "')"
                : "select column_name from information_schema.columns where table_schema = "
                  "current_schema() and table_name = '" + table + "'");
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir_;
    std::unique_ptr<BackendDb> db_;
};

TEST_P(TableProcedures, CheckReportsEachKindFromRealTables)
{
    RunResult r = run({"-c", "-N", "dbtst107", "dbtst108", "dapro001", "dbtst100", "dbtst120",
                       "-C", "112", "-R", "report"});
    EXPECT_EQ(r.exit_code, 1) << "two checks failed";
    EXPECT_EQ(r.err, kHeader + row("dbtst107112", "No reconfiguration is required") +
                         row("dbtst108112", "Reconfiguration is required") +
                         row("dapro001112", "Reconfiguration with export/import is required.") +
                         row("dbtst100112", "Check for reconfiguration failed (error 513)") +
                         row("dbtst120112", "Cannot open table dbtst120 compnr 112 (error 513)"));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst107112", "C0", 0, "No reconfiguration is required") +
                  reportLine("dbtst108112", "C2", 0, "Reconfiguration is required") +
                  reportLine("dapro001112", "C4", 0,
                             "Reconfiguration with export/import is required.") +
                  reportLine("dbtst100112", "C1", 513,
                             "Check for reconfiguration failed (error 513)") +
                  reportLine("dbtst120112", "C1", 513,
                             "Cannot open table dbtst120 compnr 112 (error 513)"));
}

TEST_P(TableProcedures, CheckOfAColumnChangeAsksTheDriver)
{
    createTable("dbtst111", 3);
    RunResult r = run({"-c", "-N", "dbtst111", "dbtst112", "-C", "112", "-R", "report"});
    /* dbtst111 exists and gains a column; dbtst112 is not in the
     * database, which the driver reports. */
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst111112", "C2", 0, "Reconfiguration is required") +
                  reportLine("dbtst112112", "C1", 506,
                             "Check for reconfiguration failed (error 506)"));
}

TEST_P(TableProcedures, AlterChangesTablesInPlaceAndSkipsMissingOnes)
{
    createTable("dbtst108", 2);
    createTable("dbtst111", 3);
    RunResult r = run({"-N", "dbtst107", "dbtst108", "dbtst111", "dbtst110", "-C", "112", "-R",
                       "report"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    /* dbtst110 is not in the database: its message stays, the step
     * succeeds with error 0. */
    EXPECT_EQ(r.err, kHeader + "dbtst107112\ndbtst108112\ndbtst111112\n" +
                         row("dbtst110112", "Reconfiguration failed (error 506)"));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst107112", "R0", 0, "") + reportLine("dbtst108112", "R0", 0, "") +
                  reportLine("dbtst111112", "R0", 0, "") +
                  reportLine("dbtst110112", "R0", 0, "Reconfiguration failed (error 506)"));
    EXPECT_NE(dir_.read("log/log.tdbreconfig").find("Reconfiguration failed (error 506)"),
              std::string::npos)
        << "logged under Alter Table";
    /* In the database: dbtst111 has its new column with the default of
     * the new dictionary in every row. */
    EXPECT_EQ(columnsOf("dbtst111_112"),
              (std::vector<std::string>{"descr", "id", "status", "tdb_row"}));
    EXPECT_EQ(db_->query("select status from dbtst111_112"),
              (std::vector<std::string>{"1", "1", "1"}));
    /* The altered table has its new column now: a check of the same
     * definitions finds what the driver reports for a table in line. */
    r = run({"-c", "-N", "dbtst111", "-C", "112", "-R", "report"});
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst111112", "C0", 0, "No reconfiguration is required"));
}

TEST_P(TableProcedures, ConversionIsNotAvailableYetAndLeavesTheTable)
{
    createTable("dapro001", 2);
    RunResult r = run({"-N", "dapro001", "-C", "112", "-R", "report"});
    const std::string message =
        "Reconfiguration with export/import is not available yet (error 215)";
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + row("dapro001112", message));
    EXPECT_EQ(dir_.read("report"), reportLine("dapro001112", "R1", 215, message));
    /* Still in its old form: a check still wants a conversion. */
    r = run({"-c", "-N", "dapro001", "-C", "112", "-R", "report"});
    EXPECT_EQ(dir_.read("report"), reportLine("dapro001112", "C4", 0,
                                              "Reconfiguration with export/import is required."));
}

INSTANTIATE_TEST_SUITE_P(Backends, TableProcedures,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return std::string(drivertest::backend_name(info.param));
                         });

} // namespace
