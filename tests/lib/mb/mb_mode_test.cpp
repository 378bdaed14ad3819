/*
 * mb_mode_test.cpp: the mode file, the zero-width factor, the install
 * locale and its converter, the high-ASCII tolerance, the locale of the
 * process and the external codes.
 */
#include <string>

#include "mb_test_support.h"

using mbtest::MbTest;
using mbtest::Recorder;

namespace {

class TssMode : public MbTest {};

TEST_F(TssMode, UtftLineGivesUnicodeModeFactorAndInstallLocale)
{
    write_mode_file("UTF-T:2:UTF-8\nignored\n");
    EXPECT_EQ(TssGetMode(), TSS_MODE_UNICODE);
    EXPECT_EQ(TssGetZeroWidthFactor(), 2);
    EXPECT_STREQ(TssGetInstallLocale(), "UTF-8");
}

TEST_F(TssMode, StarLineKeepsClassicModeAndClampsTheFactor)
{
    write_mode_file("*:9\n");
    EXPECT_EQ(TssGetMode(), TSS_MODE_CLASSIC);
    EXPECT_EQ(TssGetZeroWidthFactor(), 6);
    EXPECT_STREQ(TssGetInstallLocale(), "ISO-8859-1");
    write_mode_file("*:-3\n");
    EXPECT_EQ(TssGetZeroWidthFactor(), 0);
}

TEST_F(TssMode, OtherLinesAndMissingFileGiveClassicMode)
{
    EXPECT_EQ(TssGetMode(), TSS_MODE_CLASSIC);
    write_mode_file("UTF-8\n");
    EXPECT_EQ(TssGetMode(), TSS_MODE_CLASSIC);
    EXPECT_EQ(TssGetZeroWidthFactor(), 0);
    write_mode_file("");
    EXPECT_EQ(TssGetMode(), TSS_MODE_CLASSIC);
}

TEST_F(TssMode, UtftVariants)
{
    write_mode_file("UTF-T\n");
    EXPECT_EQ(TssGetMode(), TSS_MODE_UNICODE);
    EXPECT_EQ(TssGetZeroWidthFactor(), 0);
    write_mode_file("UTF-T:4\n");
    EXPECT_EQ(TssGetZeroWidthFactor(), 4);
    EXPECT_STREQ(TssGetInstallLocale(), "ISO-8859-1");
    /* Two digits: no install locale is taken. */
    write_mode_file("UTF-T:12:Shift_JIS\n");
    EXPECT_EQ(TssGetZeroWidthFactor(), 6);
    EXPECT_STREQ(TssGetInstallLocale(), "ISO-8859-1");
    write_mode_file("UTF-T:3:windows-1252\r\n");
    EXPECT_EQ(TssGetZeroWidthFactor(), 3);
    EXPECT_STREQ(TssGetInstallLocale(), "windows-1252");
}

TEST_F(TssMode, OnlyTheFirst254CharactersOfTheLineCount)
{
    write_mode_file("UTF-T:1:" + std::string(300, 'x') + "\n");
    EXPECT_EQ(std::string(TssGetInstallLocale()).size(), 254u - 8u);
}

TEST_F(TssMode, SetModeOverridesAndReturnsThePrevious)
{
    write_mode_file("UTF-T:1\n");
    EXPECT_EQ(TssGetMode(), TSS_MODE_UNICODE);
    EXPECT_EQ(TssSetMode(TSS_MODE_CLASSIC), TSS_MODE_UNICODE);
    EXPECT_EQ(TssGetMode(), TSS_MODE_CLASSIC);
}

TEST_F(TssMode, ChangingTheInstallLocaleForgetsTheConverter)
{
    int latin1 = TssGetInstallConverter();
    EXPECT_EQ(latin1, TssFindConverter("ISO-8859-1"));
    EXPECT_STREQ(TssSetInstallLocale("Shift_JIS"), "ISO-8859-1");
    EXPECT_EQ(TssGetInstallConverter(), TssFindConverter("Shift_JIS"));
    EXPECT_STREQ(TssSetInstallLocale(nullptr), "Shift_JIS");
    EXPECT_STREQ(TssGetInstallLocale(), "ISO-8859-1");
    TssSetInstallLocale("no-such-set");
    EXPECT_EQ(TssGetInstallConverter(), -1);
}

TEST_F(TssMode, ToleranceComesFromTheUserRecordOrTheMode)
{
    user_info.high_ascii_tolerance = 0;
    EXPECT_EQ(TssGetHighAsciiToleranceMode(), 0);
    TssSetHighAsciiToleranceMode(-1);
    user_info.high_ascii_tolerance = 1;
    EXPECT_EQ(TssGetHighAsciiToleranceMode(), 1);
    user_info.high_ascii_tolerance = 0;
    EXPECT_EQ(TssGetHighAsciiToleranceMode(), 1) << "cached";
    TssSetHighAsciiToleranceMode(-1);
    user_info.high_ascii_tolerance = -1;
    TssSetMode(TSS_MODE_CLASSIC);
    EXPECT_EQ(TssGetHighAsciiToleranceMode(), 1);
    TssSetHighAsciiToleranceMode(-1);
    TssSetMode(TSS_MODE_UNICODE);
    EXPECT_EQ(TssGetHighAsciiToleranceMode(), 0);
    TssSetHighAsciiToleranceMode(-1);
    user_info.high_ascii_tolerance = 7;
    EXPECT_EQ(TssGetHighAsciiToleranceMode(), 0);
}

TEST_F(TssMode, HighAsciiExpectedByModeToleranceAndConverter)
{
    TssSetMode(TSS_MODE_CLASSIC);
    EXPECT_EQ(TssIsHighAsciiExpected(), 1);
    ASSERT_EQ(TSSsetlocale("Shift_JIS", 0), 0);
    EXPECT_EQ(TssIsHighAsciiExpected(), 0);

    TssSetMode(TSS_MODE_UNICODE);
    TssSetHighAsciiToleranceMode(0);
    EXPECT_EQ(TssIsHighAsciiExpected(), 0);
    TssSetHighAsciiToleranceMode(1);
    EXPECT_EQ(TssIsHighAsciiExpected(), 1) << "install locale ISO-8859-1";
    TssSetInstallLocale("UTF-8");
    EXPECT_EQ(TssIsHighAsciiExpected(), 0);
    TssSetInstallLocale("windows-1251");
    EXPECT_EQ(TssIsHighAsciiExpected(), 1);
}

TEST_F(TssMode, SetLocaleSelectsTheConverterOrReportsError25)
{
    EXPECT_STREQ(TSSgetlocale(), "");
    ASSERT_EQ(TSSsetlocale("ISO-8859-1", 0), 0);
    EXPECT_STREQ(TSSgetlocale(), "ISO-8859-1");
    ASSERT_EQ(TSSsetlocale("latin1", 0), 0);
    EXPECT_STREQ(TSSgetcharset(), "ISO-8859-1");
    EXPECT_EQ(TssGetCurrentConverterIndex(), TssFindConverter("ISO-8859-1"));
    ASSERT_EQ(TSSsetlocale("windows-1251", 0), 0);
    EXPECT_EQ(TssGetCurrentConverterIndex(), TssFindConverter("windows-1251"));
    Recorder rec;
    EXPECT_EQ(TSSsetlocale("Klingon", 0), -1);
    EXPECT_EQ(tss_errno, 25);
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0], "(Klingon) Can't find TSS characterset 'Klingon' for locale 'Klingon'\n");
    EXPECT_EQ(TssGetCurrentConverterIndex(), TssFindConverter("windows-1251"));
    /* An empty name stands for the install locale. */
    ASSERT_EQ(TSSsetlocale("", 0), 0);
    EXPECT_STREQ(TSSgetlocale(), "ISO-8859-1");
}

TEST_F(TssMode, ExternalCodesThroughTheNativeSet)
{
    TssSetMode(TSS_MODE_CLASSIC);
    EXPECT_EQ(TSStsswc2extwc('a'), static_cast<unsigned>('a'));
    EXPECT_EQ(TSSextwc2tsswc(0xE9), 0xE9u);
    ASSERT_EQ(TSSsetlocale("Shift_JIS", 0), 0);
    EXPECT_EQ(TSStsswc2extwc(0x9B819CAD), 0x9286u);
    EXPECT_EQ(TSSextwc2tsswc(0x9286), 0x9B819CADu);
    Recorder rec;
    ASSERT_EQ(TSSsetlocale("ISO-8859-1", 0), 0);
    EXPECT_EQ(TSStsswc2extwc(0x9B819CAD), 0u);
    EXPECT_EQ(tss_errno, 30);
    EXPECT_EQ(TSSextwc2tsswc(0), 0u);
    EXPECT_EQ(tss_errno, 29);
    EXPECT_EQ(rec.messages.back(), "(ISO-8859-1) Can't convert EXT character 0x0\n");
}

} // namespace
