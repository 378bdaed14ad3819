/*
 * The run loop over tables and companies, in-process, with the table
 * procedures replaced by test hooks (the real procedures on real tables
 * are tested in table_procedures_test.cpp): screen lines, report lines and
 * status codes, company mapping, already processed pairs, and the list
 * files and error ignoring of compatibility mode.
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_mem.h"
#include "al_stream.h"
#include "compnr.h"
#include "ds_list.h"
#include "run_program.h"
#include "tdb_api.h"
#include "tdb_output.h"
#include "tdb_placeholder.h"
#include "tdb_reconfig.h"

namespace {

const std::string kHeader =
    "Table       D Old      New      Messages\n"
    "----------- - -------- -------- ----------------------\n";

/* What the stand-in procedure answers for a physical company. */
struct Answer {
    int result;
    int alter_kind;
    int error;
    std::string message;
};
std::map<int, Answer> answers;
std::vector<std::pair<std::string, int>> calls;

int answeringHook(int /*runMode*/, const char *table, int compnr, int *alterKind)
{
    calls.emplace_back(table, compnr);
    auto it = answers.find(compnr);
    if (it == answers.end())
        return 0;
    *alterKind = it->second.alter_kind;
    tdb_errno = it->second.error;
    if (!it->second.message.empty()) {
        setMessage("%s", it->second.message.c_str());
        tdb_mess(32, 0, "%s", getMessage());
    }
    return it->second.result;
}

/* What the procedures answered before any table was changed: a check
 * finds nothing to do, the other modes succeed silently. */
int noReconfigurationHook(int runMode, const char *table, int compnr, int * /*alterKind*/)
{
    calls.emplace_back(table, compnr);
    if (runMode == RUN_CHECK) {
        setMessage("No reconfiguration is required");
        tdb_mess(32, 0, "%s", getMessage());
    }
    return 0;
}

/*
 * Puts a company-number mapping file with this text into the root (an
 * empty text removes it) and lets the next lookup read it.
 */
void useMappingFile(const std::string &text)
{
    const std::string name = std::string("lib/compnr") + get_release();
    if (text.empty())
        std::filesystem::remove(std::string(get_tse()) + "/" + name);
    else
        tdbtest::TempDir::writeAt(get_tse(), name, text);
    compnrClientReset();
}

class RunLoop : public testing::Test {
protected:
    void SetUp() override
    {
        tdbreconfig_reset();
        tdb_output_reset();
        useMappingFile("");
        answers.clear();
        calls.clear();
        tdb_errno = 0;
        tables = dsListCreate();
        companies = dsListCreate();
        tdb_placeholder_set_hook(noReconfigurationHook);
    }
    void TearDown() override
    {
        destroyListAndElements(tables);
        destroyListAndElements(companies);
        tdb_placeholder_set_hook(nullptr);
        useMappingFile("");
        tdbreconfig_reset();
    }
    void addTables(std::initializer_list<const char *> names)
    {
        for (const char *name : names)
            dsListAppend(tables, mal_strsave(name));
    }
    void addCompanies(std::initializer_list<int> numbers)
    {
        for (int n : numbers) {
            auto *e = static_cast<int *>(mal_allocater(sizeof(int)));
            *e = n;
            dsListAppend(companies, e);
        }
    }
    /* Runs the loop; keeps the screen output and the report file text. */
    int run(int mode)
    {
        STREAM *report = sopen((dir.path() + "/report").c_str(), "wt+");
        testing::internal::CaptureStderr();
        int rc = reconfigureTables(report, tables, companies, 0, mode);
        screen = testing::internal::GetCapturedStderr();
        sclose(report);
        reportText = dir.read("report");
        return rc;
    }

    tdbtest::TempDir dir;
    DsList *tables = nullptr;
    DsList *companies = nullptr;
    std::string screen;
    std::string reportText;
};

const std::string col32 = std::string(21, ' '); /* after an 11-character name */

TEST_F(RunLoop, CheckModeScreenAndReport)
{
    addTables({"dbtst100", "dbtst120"});
    addCompanies({112, 113});
    EXPECT_EQ(run(RUN_CHECK), 0);
    const std::string msg = "No reconfiguration is required";
    EXPECT_EQ(screen, kHeader + "dbtst100112" + col32 + msg + "\n" +
                          "dbtst100113" + col32 + msg + "\n" +
                          "dbtst120112" + col32 + msg + "\n" +
                          "dbtst120113" + col32 + msg + "\n");
    EXPECT_EQ(reportText, "dbtst100112 C0 0 " + msg + "\n" +
                              "dbtst100113 C0 0 " + msg + "\n" +
                              "dbtst120112 C0 0 " + msg + "\n" +
                              "dbtst120113 C0 0 " + msg + "\n");
}

TEST_F(RunLoop, CheckStatusFollowsTheAnswer)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[1] = {0, ALTER_IN_PLACE, 0, "Reconfiguration is required"};
    answers[2] = {0, ALTER_WITH_EXPORT, 0, "Reconfiguration with export is required"};
    answers[3] = {0, ALTER_CONVERT, 0, "Reconfiguration with export/import is required."};
    answers[4] = {-1, ALTER_NONE, 506, "Cannot open table dbtst100 compnr 4 (error 506)"};
    addTables({"dbtst100"});
    addCompanies({0, 1, 2, 3, 4});
    EXPECT_EQ(run(RUN_CHECK), -1) << "one failed step fails the run";
    EXPECT_EQ(reportText,
              "dbtst100000 C0 0 \n"
              "dbtst100001 C2 0 Reconfiguration is required\n"
              "dbtst100002 C3 0 Reconfiguration with export is required\n"
              "dbtst100003 C4 0 Reconfiguration with export/import is required.\n"
              "dbtst100004 C1 506 Cannot open table dbtst100 compnr 4 (error 506)\n");
}

TEST_F(RunLoop, ReconfigureStatusSeparatesIndexFailures)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[2] = {-1, 0, E_TDB_CREATE_INDEX, "Create indexes failed (errno 7)"};
    answers[3] = {-1, 0, 500, "Reconfiguration failed (error 500)"};
    addTables({"dbtst100"});
    addCompanies({1, 2, 3});
    EXPECT_EQ(run(RUN_RECONFIGURE), -1);
    EXPECT_EQ(reportText,
              "dbtst100001 R0 0 \n"
              "dbtst100002 R2 114 Create indexes failed (errno 7)\n"
              "dbtst100003 R1 500 Reconfiguration failed (error 500)\n");
}

TEST_F(RunLoop, MessageDoesNotLeakIntoTheNextStep)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[1] = {-1, 0, 500, "Reconfiguration failed (error 500)"};
    addTables({"dbtst100"});
    addCompanies({1, 2});
    run(RUN_REORGANIZE);
    EXPECT_EQ(reportText,
              "dbtst100001 R1 500 Reconfiguration failed (error 500)\n"
              "dbtst100002 R0 0 \n");
}

TEST_F(RunLoop, InvalidNamesAreReportedWithBlanksAndDoNotStopTheRun)
{
    addTables({"dbtst10", "dbtst100", "dbtst100x12"});
    addCompanies({5});
    EXPECT_EQ(run(RUN_RECONFIGURE), -1);
    EXPECT_EQ(screen, kHeader + std::string(32, ' ') + "Invalid table name 'dbtst10'\n" +
                          "dbtst100005\n" + std::string(32, ' ') +
                          "Invalid table name 'dbtst100x12'\n");
    EXPECT_EQ(reportText, "            R1 0 Invalid table name 'dbtst10'\n"
                          "dbtst100005 R0 0 \n"
                          "            R1 0 Invalid table name 'dbtst100x12'\n");
    EXPECT_EQ(std::string(11, ' ').size(), 11u);
}

TEST_F(RunLoop, InvalidNameStatusInCheckModeAndAfterAnIndexError)
{
    addTables({"bad"});
    addCompanies({1});
    EXPECT_EQ(run(RUN_CHECK), -1);
    EXPECT_EQ(reportText, "            C1 0 Invalid table name 'bad'\n");
    tdb_errno = E_TDB_CREATE_INDEX;
    EXPECT_EQ(run(RUN_RECONFIGURE), -1);
    EXPECT_EQ(reportText, "            R2 114 Invalid table name 'bad'\n");
}

TEST_F(RunLoop, TableWithItsOwnCompanyIgnoresTheList)
{
    tdb_placeholder_set_hook(answeringHook);
    addTables({"dbtst100007", "dbtst200"});
    addCompanies({1, 2});
    EXPECT_EQ(run(RUN_RECONFIGURE), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<std::string, int>>{
                         {"dbtst100", 7}, {"dbtst200", 1}, {"dbtst200", 2}}));
}

TEST_F(RunLoop, RepeatedPairIsSkippedNotFailed)
{
    addTables({"dbtst100", "dbtst100112"});
    addCompanies({112, 112});
    EXPECT_EQ(run(RUN_RECONFIGURE), 0);
    EXPECT_EQ(reportText, "dbtst100112 R0 0 \n"
                          "dbtst100112 R0 0 Already Processed!\n"
                          "dbtst100112 R0 0 Already Processed!\n");
    EXPECT_EQ(screen, kHeader + "dbtst100112\n" + "dbtst100112" + col32 +
                          "Already Processed!\n" + "dbtst100112" + col32 +
                          "Already Processed!\n");
}

TEST_F(RunLoop, FailedPairStillCountsAsProcessed)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[9] = {-1, 0, 500, "Reconfiguration failed (error 500)"};
    addTables({"dbtst100"});
    addCompanies({9, 9});
    EXPECT_EQ(run(RUN_RECONFIGURE), -1);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(reportText, "dbtst100009 R1 500 Reconfiguration failed (error 500)\n"
                          "dbtst100009 R0 0 Already Processed!\n");
}

TEST_F(RunLoop, MappedCompaniesShareOnePhysicalTable)
{
    tdb_placeholder_set_hook(answeringHook);
    useMappingFile("db:112:113\n");
    addTables({"dbtst100"});
    addCompanies({113, 112});
    EXPECT_EQ(run(RUN_CHECK), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<std::string, int>>{{"dbtst100", 112}}));
    EXPECT_EQ(screen, kHeader + "dbtst100113" + col32 +
                          "Compnr 113 mapped to 112. Processing 112...\n" +
                          "dbtst100112" + col32 + "Already Processed!\n");
    EXPECT_EQ(reportText,
              "dbtst100113 C0 0 Compnr 113 mapped to 112. Processing 112...\n"
              "dbtst100112 C0 0 Already Processed!\n");
}

TEST_F(RunLoop, MappingNoteIsFollowedByTheStepMessage)
{
    useMappingFile("db:112:113\n");
    addTables({"dbtst100"});
    addCompanies({112, 113});
    EXPECT_EQ(run(RUN_CHECK), 0);
    EXPECT_EQ(reportText,
              "dbtst100112 C0 0 No reconfiguration is required\n"
              "dbtst100113 C0 0 Compnr 113 mapped to 112. 112 Already Processed!\n");
    useMappingFile("db:112:114\n");
    destroyListAndElements(companies);
    companies = dsListCreate();
    addCompanies({114});
    EXPECT_EQ(run(RUN_CHECK), 0);
    EXPECT_EQ(reportText, "dbtst100114 C0 0 Compnr 114 mapped to 112. Processing "
                          "112...No reconfiguration is required\n");
    EXPECT_EQ(screen, kHeader + "dbtst100114" + col32 +
                          "Compnr 114 mapped to 112. Processing 112..."
                          "No reconfiguration is required\n");
}

TEST_F(RunLoop, NoReportFileIsFine)
{
    addTables({"dbtst100"});
    addCompanies({1});
    testing::internal::CaptureStderr();
    EXPECT_EQ(reconfigureTables(nullptr, tables, companies, 0, RUN_CHECK), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("dbtst100001"),
              std::string::npos);
}

/* ---- compatibility mode ------------------------------------------------- */

class CompatRunLoop : public RunLoop {
protected:
    void SetUp() override
    {
        RunLoop::SetUp();
        pellano_compatibility = 1;
        okList = dir.path() + "/ok";
        failList = dir.path() + "/failed";
        gFileName[0] = okList.c_str();
        gFileName[1] = failList.c_str();
    }
    /* Closes the list files so that their text can be read. */
    void closeLists() { tdbreconfig_reset(); }
    std::string okList, failList;
};

TEST_F(CompatRunLoop, MappedCompanyIsRefusedButNotFailed)
{
    tdb_placeholder_set_hook(answeringHook);
    useMappingFile("db:112:113\n");
    addTables({"dbtst100"});
    addCompanies({113});
    EXPECT_EQ(run(RUN_RECONFIGURE), 0);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(screen, kHeader + "dbtst100113" + col32 +
                          "Unallowed (logical) compnr 113 (physical 112) for reconfig\n");
    EXPECT_EQ(reportText, "dbtst100113 R0 0 Unallowed (logical) compnr 113 "
                          "(physical 112) for reconfig\n");
    closeLists();
    EXPECT_EQ(dir.read("ok"), "dbtst100113\n");
    EXPECT_FALSE(dir.exists("failed"));
}

TEST_F(CompatRunLoop, ListFilesSplitSucceededAndFailedSteps)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[2] = {-1, 0, 500, "Reconfiguration failed (error 500)"};
    addTables({"dbtst100", "dbtst200"});
    addCompanies({1, 2});
    EXPECT_EQ(run(RUN_RECONFIGURE), -1);
    closeLists();
    EXPECT_EQ(dir.read("ok"), "dbtst100001\ndbtst200001\n");
    EXPECT_EQ(dir.read("failed"), "dbtst100002\ndbtst200002\n");
}

TEST_F(CompatRunLoop, CheckModeChecksOnlyTheFirstCompanyAndListsNames)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[5] = {0, ALTER_CONVERT, 0, "Reconfiguration with export/import is required."};
    addTables({"dbtst100", "dbtst200"});
    addCompanies({7, 5});
    EXPECT_EQ(run(RUN_CHECK), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<std::string, int>>{
                         {"dbtst100", 7}, {"dbtst200", 7}}));
    closeLists();
    EXPECT_EQ(dir.read("ok"), "dbtst100\ndbtst200\n");
    EXPECT_FALSE(dir.exists("failed"));
}

TEST_F(CompatRunLoop, CheckModeListsTablesNeedingWorkAsFailed)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[5] = {0, ALTER_IN_PLACE, 0, "Reconfiguration is required"};
    addTables({"dbtst100"});
    addCompanies({5});
    EXPECT_EQ(run(RUN_CHECK), 0);
    closeLists();
    EXPECT_EQ(dir.read("failed"), "dbtst100\n");
}

TEST_F(CompatRunLoop, IgnoredErrorsBecomeSuccessExceptAFullDatabase)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[1] = {-1, 0, 108, "Insert failed (error 108)"};
    answers[2] = {-1, 0, E_TDB_DB_FULL, "Insert failed (error 523)"};
    gIgnoreErrors = 1;
    addTables({"dbtst100"});
    addCompanies({1, 2});
    EXPECT_EQ(run(RUN_RECONFIGURE), -1);
    EXPECT_EQ(reportText, "dbtst100001 R0 108 \n"
                          "dbtst100002 R1 523 Insert failed (error 523)\n");
}

TEST_F(CompatRunLoop, WithoutIgnoreFlagErrorsFail)
{
    tdb_placeholder_set_hook(answeringHook);
    answers[1] = {-1, 0, 108, "Insert failed (error 108)"};
    addTables({"dbtst100"});
    addCompanies({1});
    EXPECT_EQ(run(RUN_RECONFIGURE), -1);
    EXPECT_EQ(reportText, "dbtst100001 R1 108 Insert failed (error 108)\n");
}

TEST_F(CompatRunLoop, ListFileThatCannotBeCreatedIsReportedOnce)
{
    std::string bad = dir.path() + "/missing/dir/ok";
    gFileName[0] = bad.c_str();
    addTables({"dbtst100", "dbtst200"});
    addCompanies({1});
    EXPECT_EQ(run(RUN_RECONFIGURE), 0);
    const std::string msg = "Cannot create file '" + bad + "' (errno 2)\n";
    size_t first = screen.find(msg);
    ASSERT_NE(first, std::string::npos) << screen;
    EXPECT_EQ(screen.find(msg, first + 1), std::string::npos);
}

} // namespace
