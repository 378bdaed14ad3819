/*
 * The screen output module: column bookkeeping, padding, the counter
 * bytes, fatal errors and warnings, silence, and the step message.
 */
#include <gtest/gtest.h>

#include <string>

#include "al_log.h"
#include "tdb_output.h"

namespace {

class ScreenOutput : public testing::Test {
protected:
    void SetUp() override
    {
        tdb_output_reset();
        log_set_progname("tdbreconfig", 1);
        testing::internal::CaptureStderr();
    }
    std::string captured() { return testing::internal::GetCapturedStderr(); }
};

TEST_F(ScreenOutput, TextAtAColumnIsPaddedWithBlanks)
{
    tdb_mess(32, 1, "%s", "Message");
    EXPECT_EQ(captured(), std::string(32, ' ') + "Message\n");
    EXPECT_EQ(tdb_output_curr_pos(), 0);
}

TEST_F(ScreenOutput, TextsOnOneLineFollowEachOtherWithoutPadding)
{
    tdb_mess(0, 0, "%s%03d", "dbtst100", 7);
    tdb_mess(32, 0, "first");
    tdb_mess(32, 0, "second");
    EXPECT_EQ(tdb_output_curr_pos(), 32 + 11);
    tdb_mess(0, 1, "%s", "");
    EXPECT_EQ(captured(), "dbtst100007" + std::string(21, ' ') + "firstsecond\n");
}

TEST_F(ScreenOutput, TextIsNeverMovedLeft)
{
    tdb_mess(0, 0, "%s", std::string(40, 'x').c_str());
    tdb_mess(0, 1, "y");
    EXPECT_EQ(captured(), std::string(40, 'x') + "y\n");
}

TEST_F(ScreenOutput, PaddingIsAtMost46BlanksButTheColumnIsKept)
{
    tdb_mess(60, 0, "a");
    EXPECT_EQ(tdb_output_curr_pos(), 61);
    tdb_mess(0, 1, "%s", "");
    EXPECT_EQ(captured(), std::string(46, ' ') + "a\n");
}

TEST_F(ScreenOutput, CounterOverwritesEightColumnsInPlace)
{
    tdb_mess(12, 0, "*         ");
    counter(12345);
    EXPECT_EQ(tdb_output_curr_pos(), 22) << "the counter does not move the line";
    tdb_mess(23, 0, "        ");
    counter(7);
    counter(123456789);
    EXPECT_EQ(captured(), std::string(12, ' ') + "*         " +
                              "\b\b\b\b\b\b\b\b   12345" + " " +
                              "        " + "\b\b\b\b\b\b\b\b       7" +
                              "\b\b\b\b\b\b\b\b123456789");
}

TEST_F(ScreenOutput, WarningNamesTheProgram)
{
    warning("disk %d%% full", 93);
    EXPECT_EQ(captured(), "tdbreconfig: WARNING: 'disk 93% full'\n");
}

TEST_F(ScreenOutput, SuppressSilencesEverything)
{
    tdb_mess_suppress();
    tdb_mess(0, 1, "Table");
    counter(5);
    warning("w");
    std_err("e\n");
    EXPECT_EQ(captured(), "");
    EXPECT_EQ(tdb_output_curr_pos(), 0);
}

TEST_F(ScreenOutput, StdErrPrintsAsGiven)
{
    EXPECT_EQ(std_err("Error: %s\n", "x"), 9);
    EXPECT_EQ(captured(), "Error: x\n");
}

TEST_F(ScreenOutput, LongTextIsCutNotOverrun)
{
    std::string text(5000, 'z');
    tdb_mess(0, 1, "%s", text.c_str());
    EXPECT_EQ(captured(), std::string(1023, 'z') + "\n");
}

/* Death tests run in a child; the parent does not capture standard error. */
class ScreenOutputDeathTest : public testing::Test {
protected:
    void SetUp() override
    {
        tdb_output_reset();
        log_set_progname("tdbreconfig", 1);
    }
};

TEST_F(ScreenOutputDeathTest, FatalPrintsAndExitsWithOne)
{
    EXPECT_EXIT(fatal("Cannot set %s", "package combination"),
                testing::ExitedWithCode(1),
                "^tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n$");
}

TEST_F(ScreenOutputDeathTest, FatalWhenSuppressedExitsSilently)
{
    EXPECT_EXIT((tdb_mess_suppress(), fatal("boom")), testing::ExitedWithCode(1),
                "^$");
}

TEST_F(ScreenOutputDeathTest, TssErrorHandlerExitsOnlyAtLevelOne)
{
    EXPECT_EXIT(TSS_err_handler(1, "bad string"), testing::ExitedWithCode(1), "");
    TSS_err_handler(2, "recoverable");
}

TEST(StepMessage, SetResetAndLimit)
{
    setMessage("Cannot open table %s compnr %d (error %d)", "dbtst100", 112, 506);
    EXPECT_STREQ(getMessage(), "Cannot open table dbtst100 compnr 112 (error 506)");
    resetMessage();
    EXPECT_STREQ(getMessage(), "");
    std::string longText(800, 'm');
    setMessage("%s", longText.c_str());
    EXPECT_EQ(std::string(getMessage()), std::string(500, 'm'));
}

TEST(DriverHelp, FiveLinesOnStandardOutput)
{
    tdb_output_reset();
    testing::internal::CaptureStdout();
    print_db();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " -d : Database Driver type \n"
              "      O(racle) I(nformix)\n"
              "      S(ybase) D(B2) M(SQL-Server) N(onStop SQL)\n"
              "      <host>  - remote system (name is <host>)\n"
              "      <driver>[<spec>]  - driver name [ specification ]\n");
}

} // namespace
