/*
 * mb_error_test.cpp: the error table, tss_error with and without a
 * handler, the exit on flag 0x1 and the TSSABORT switch.
 */
#include <cstdlib>
#include <string>

#include "mb_test_support.h"

using mbtest::MbTest;
using mbtest::Recorder;

namespace {

class TssError : public MbTest {};

TEST_F(TssError, MessageTableHas54ExactTexts)
{
    EXPECT_STREQ(TSSerrorstr(0), "Error 0");
    EXPECT_STREQ(TSSerrorstr(1), "Set number 0 is reserved for ISO Latin 1.\n");
    EXPECT_STREQ(TSSerrorstr(4), "syntax error.\n");
    EXPECT_STREQ(TSSerrorstr(15), "%d : bad set number; must be between 0 and %d\n");
    EXPECT_STREQ(TSSerrorstr(19), "Range 0x%x-0x%x overlaps 0x%x-0x%x after conversion (%s)\n");
    EXPECT_STREQ(TSSerrorstr(24), "Can't open or read %s\n");
    EXPECT_STREQ(TSSerrorstr(33), "Can't open or read %s\n");
    EXPECT_STREQ(TSSerrorstr(41), "Target string (%d) not big enough (source %d)\n");
    EXPECT_STREQ(TSSerrorstr(50), "Characterset '%s' defined but empty (locale = '%s')\n");
    EXPECT_STREQ(TSSerrorstr(52), "IMPLEMENTATION ERROR (%s[%d])\n");
    EXPECT_STREQ(TSSerrorstr(53), "Database error %d while opening ttaad110 in company 000\n");
    EXPECT_STREQ(TSSerrorstr(54), "Unknown error code\n");
    EXPECT_STREQ(TSSerrorstr(-1), "Unknown error code\n");
    for (int code = 1; code <= 53; ++code) {
        std::string text = TSSerrorstr(code);
        EXPECT_EQ(text.back(), '\n') << code;
    }
}

TEST_F(TssError, WithoutHandlerThePrintedTextHasTheContextLine)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(tss_error("init_iso", 0, 18, 0x41, 0x5a, 0x50, 0x60, "latin"), -1);
    EXPECT_EQ(tss_error(nullptr, 0, 3, "@@"), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "*** Error in init_iso:\nRange 0x41-0x5a overlaps 0x50-0x60 (latin)\n"
                   "Bad token: @@.\n");
    EXPECT_EQ(tss_errno, 3);
}

TEST_F(TssError, HandlerGetsLocaleContextAndMessageAndItsResultIsReturned)
{
    Recorder rec;
    EXPECT_EQ(tss_error("ctx", 1, 15, 300, 255), 7);
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0], "(Unknown locale) *** Error in ctx:\n300 : bad set number; must be between 0 and 255\n");
    EXPECT_EQ(rec.flags[0], 1);
    tss_set_default_error_locale_name("fallback");
    tss_error(nullptr, 0, 35);
    EXPECT_EQ(rec.messages[1], "(fallback) Seek error\n");
    ASSERT_EQ(TSSsetlocale("ISO-8859-1", 0), 0);
    tss_error(nullptr, 0, 99);
    EXPECT_EQ(rec.messages[2], "(ISO-8859-1) Unknown error code\n");
    EXPECT_EQ(tss_errno, 99);
}

TEST_F(TssError, SaveAndRestoreTheHandler)
{
    EXPECT_EQ(tss_save_error_handler(), nullptr);
    TssErrorHandler saved;
    {
        Recorder rec;
        saved = tss_save_error_handler();
        EXPECT_NE(saved, nullptr);
        EXPECT_EQ(tss_set_error_handler(nullptr), saved);
        EXPECT_EQ(tss_set_error_handler(saved), nullptr);
    }
    EXPECT_EQ(tss_save_error_handler(), nullptr);
}

TEST_F(TssError, FlagOneWithoutHandlerExitsWithStatus1)
{
    EXPECT_EXIT(tss_error("ctx", 1, 40), ::testing::ExitedWithCode(1),
                "\\*\\*\\* Error in ctx:\nIncomplete multibyte character\n");
}

TEST_F(TssError, TssAbortAbortsAtTheNthError)
{
    EXPECT_DEATH(
        {
            mb::reset_errors_for_tests();
            setenv("TSSABORT", "2", 1);
            Recorder rec;
            tss_error(nullptr, 0, 4);
            std::fprintf(stderr, "survived the first\n");
            tss_error(nullptr, 0, 4);
            std::fprintf(stderr, "survived the second\n");
        },
        "survived the first\n.*: tss_error: aborting process...\n");
}

TEST_F(TssError, TssAbortIsReadOnlyOnTheFirstError)
{
    Recorder rec;
    tss_error(nullptr, 0, 4);
    setenv("TSSABORT", "1", 1);
    tss_error(nullptr, 0, 4);
    unsetenv("TSSABORT");
    EXPECT_EQ(rec.messages.size(), 2u);
}

} // namespace
