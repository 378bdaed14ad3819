/*
 * The tool's main module in-process: extended table names, company
 * arguments, report status codes, and the settings that start-up derives
 * from the options (commit rate, counter step, dump size and directory).
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"
#include "tdb_api.h"
#include "tdb_dump.h"
#include "tdb_output.h"
#include "tdb_placeholder.h"
#include "tdb_reconfig.h"

namespace {

struct Decoded {
    int rc;
    std::string table;
    int compnr;
    int recover;
};

Decoded decode(const char *name)
{
    char table[9] = "";
    Decoded d{};
    d.rc = decodeExtendedTableName(name, table, &d.compnr, &d.recover);
    d.table = table;
    return d;
}

TEST(ExtendedTableName, PlainCodeHasNoCompany)
{
    Decoded d = decode("dbtst100");
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.table, "dbtst100");
    EXPECT_EQ(d.compnr, -1);
    EXPECT_EQ(d.recover, 0);
}

TEST(ExtendedTableName, CompanyAndRecoveryFlag)
{
    Decoded d = decode("dbtst100112");
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.compnr, 112);
    EXPECT_EQ(d.recover, 0);
    d = decode("dbtst100000+");
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.table, "dbtst100");
    EXPECT_EQ(d.compnr, 0);
    EXPECT_EQ(d.recover, 1);
}

TEST(ExtendedTableName, InvalidLengthsAndCharacters)
{
    for (const char *name : {"", "dbtst10", "dbtst1001", "dbtst10011",
                             "dbtst10011a", "dbtst1001 2", "dbtst100-12",
                             "dbtst100112-", "dbtst100112++", "dbtst100112+x"}) {
        Decoded d = decode(name);
        EXPECT_EQ(d.rc, -1) << '"' << name << '"';
        EXPECT_EQ(d.compnr, -1) << name;
        EXPECT_EQ(d.recover, 0) << name;
    }
}

TEST(CompanyArgument, DigitsUpTo999)
{
    int v = -1;
    EXPECT_TRUE(parse_compnr("0", &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(parse_compnr("999", &v));
    EXPECT_EQ(v, 999);
    EXPECT_TRUE(parse_compnr("007", &v));
    EXPECT_EQ(v, 7);
    for (const char *text : {"", "1000", "12a", "+1", " 1", "-1", "1.0",
                             "99999999999999999999"})
        EXPECT_FALSE(parse_compnr(text, &v)) << '"' << text << '"';
}

TEST(CompanyArgument, Ranges)
{
    int lo = -1, hi = -1;
    EXPECT_TRUE(parse_compnr_range("112-114", &lo, &hi));
    EXPECT_EQ(lo, 112);
    EXPECT_EQ(hi, 114);
    EXPECT_TRUE(parse_compnr_range("5-5", &lo, &hi));
    EXPECT_TRUE(parse_compnr_range("0-999", &lo, &hi));
    for (const char *text : {"114-112", "112-", "-114", "-", "1-2-3", "1 -2",
                             "1-1000", "1000-1001", "a-b", "1-2x"})
        EXPECT_FALSE(parse_compnr_range(text, &lo, &hi)) << '"' << text << '"';
}

TEST(ReportStatus, CheckModeCodesFollowTheAlterKind)
{
    EXPECT_STREQ(getStatus(RUN_CHECK, 0, ALTER_NONE), "C0");
    EXPECT_STREQ(getStatus(RUN_CHECK, 0, ALTER_IN_PLACE), "C2");
    EXPECT_STREQ(getStatus(RUN_CHECK, 0, ALTER_WITH_EXPORT), "C3");
    EXPECT_STREQ(getStatus(RUN_CHECK, 0, ALTER_CONVERT), "C4");
    EXPECT_STREQ(getStatus(RUN_CHECK, -1, ALTER_CONVERT), "C1");
}

TEST(ReportStatus, IndexFailureIsItsOwnCode)
{
    for (int mode : {RUN_RECONFIGURE, RUN_REORGANIZE}) {
        tdb_errno = 0;
        EXPECT_STREQ(getStatus(mode, 0, 0), "R0");
        EXPECT_STREQ(getStatus(mode, -1, 0), "R1");
        tdb_errno = E_TDB_CREATE_INDEX;
        EXPECT_STREQ(getStatus(mode, -1, 0), "R2");
        EXPECT_STREQ(getStatus(mode, 0, 0), "R0");
    }
    tdb_errno = 0;
}

/* The table step of these runs: they are about the settings of the run,
 * not about the tables (no driver serves this environment). */
int settingsOnlyStep(int, const char *, int, int *) { return 0; }

/* Runs the whole program in this process with the given arguments. */
int runMain(std::vector<std::string> args)
{
    tdb_placeholder_set_hook(settingsOnlyStep);
    tdbreconfig_reset();
    tdb_output_reset();
    tdb_api_reset(); /* logon is once per process */
    optind = 0; /* a full restart of getopt */
    args.insert(args.begin(), "tdbreconfig");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int rc = tdbreconfig_main(static_cast<int>(args.size()), argv.data());
    tdb_placeholder_set_hook(nullptr);
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    if (rc != 0) {
        std::ifstream log(std::string(std::getenv("TSE")) + "/log/log.tdbreconfig");
        std::stringstream text;
        text << log.rdbuf();
        ADD_FAILURE() << "tdbreconfig failed:\n" << err << "log:\n" << text.str();
    }
    return rc;
}

TEST(StartUpSettings, CommitRateNeverBelow100)
{
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-r", "5"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 100);
    EXPECT_EQ(tdbreconfig_counter_rate(), 100);
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-r", "99"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 100);
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-r", "junk"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 100);
}

TEST(StartUpSettings, CounterStepIsATwentiethOfTheCommitRate)
{
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-r", "4000"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 4000);
    EXPECT_EQ(tdbreconfig_counter_rate(), 200);
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-r", "2019"}), 0);
    EXPECT_EQ(tdbreconfig_counter_rate(), 100);
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-r", "2020"}), 0);
    EXPECT_EQ(tdbreconfig_counter_rate(), 101);
}

TEST(StartUpSettings, CommitRateDefaultsToTheResource)
{
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 100);
}

/* A file below the test environment's root. */
void writeUnderRoot(const std::string &relative, const std::string &content)
{
    tdbtest::TempDir::writeAt(std::getenv("TSE"), relative, content);
}

TEST(StartUpSettings, CommitRateFromTheResourceFiles)
{
    writeUnderRoot("lib/defaults/db_resource", "tdbtool_commit_rate: 500\n");
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 500);

    /* The user's own file, named by USR_DBC_RES, overrides the shared one. */
    writeUnderRoot("lib/user_resources", "# mine\ntdbreconfig.tdbtool_commit_rate: 2500\n");
    setenv("USR_DBC_RES", "lib/user_resources", 1);
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 2500);
    EXPECT_EQ(tdbreconfig_counter_rate(), 125);

    /* A setting for another program's class does not apply. */
    writeUnderRoot("lib/user_resources", "otherprog.tdbtool_commit_rate: 9000\n");
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 500);

    /* -r beats both files. */
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-r", "300"}), 0);
    EXPECT_EQ(tdbreconfig_commit_rate(), 300);
    unsetenv("USR_DBC_RES");
    writeUnderRoot("lib/defaults/db_resource", "");
}

TEST(StartUpSettings, DumpSizeAndDirectory)
{
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1", "-M", "1G", "-t", "/var/dumps"}), 0);
    EXPECT_EQ(tdbreconfig_max_dump_size(), 1073741824);
    EXPECT_STREQ(tdbreconfig_dump_dir(), "/var/dumps");
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1"}), 0);
    EXPECT_EQ(tdbreconfig_max_dump_size(), DUMP_MAX_SIZE);
    EXPECT_STREQ(tdbreconfig_dump_dir(), ".");
}

TEST(StartUpSettings, OneSessionPerRunAndItIsStopped)
{
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1"}), 0);
    unsigned first = tdbreconfig_session_id();
    EXPECT_GE(first, 1u);
    ASSERT_EQ(runMain({"-N", "dbtst100", "-C", "1"}), 0);
    EXPECT_EQ(tdbreconfig_session_id(), first)
        << "the previous run stopped its session, so its id is free again";
}

} // namespace
