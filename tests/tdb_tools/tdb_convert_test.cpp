/*
 * tdb_convert_test.cpp: the routines of the row conversion: numbers as
 * text (against the C library's gcvt), day numbers and UTC times (against
 * glibc's timegm, gmtime_r and, under a real zone, localtime/mktime), UTC
 * texts, text placement into fixed fields and the TSS lead-byte search.
 */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "al_date.h"
#include "al_log.h"
#include "tdb_convert.h"
#include "tdb_reconfig.h"
#include "tdb_util.h"

namespace {

/* ---- helpers ----------------------------------------------------------- */

struct Text {
    int result;
    std::string text;
};

Text toStr(double value, int digits, int width)
{
    std::vector<char> buffer(static_cast<size_t>(std::max(width + 1, 32)) + 8, '#');
    int result = double_to_str(value, digits, buffer.data(), width);
    return {result, buffer.data()};
}

/* What the C library's gcvt writes for a value and a precision. */
std::string gcvtText(double value, int precision)
{
    char buffer[64];
    return gcvt(value, precision, buffer);
}

/* Seconds of a UTC date and time by glibc. */
int32_t glibcTimegm(int year, int month, int day, int hour = 0, int minute = 0,
                    int second = 0)
{
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<int32_t>(timegm(&tm));
}

/* Collects the messages passed to the log hook while alive. */
class LogRecorder {
public:
    LogRecorder()
    {
        active_ = this;
        previous_ = log_set_log_hook(&LogRecorder::record);
    }
    ~LogRecorder()
    {
        log_set_log_hook(previous_);
        active_ = nullptr;
    }
    LogRecorder(const LogRecorder &) = delete;
    LogRecorder &operator=(const LogRecorder &) = delete;
    int count(const std::string &text) const
    {
        int n = 0;
        for (const auto &m : messages_)
            n += m == text;
        return n;
    }
    size_t size() const { return messages_.size(); }

private:
    static void record(const char *message)
    {
        if (active_ != nullptr)
            active_->messages_.emplace_back(message);
    }
    static inline LogRecorder *active_ = nullptr;
    log_hook_fn previous_ = nullptr;
    std::vector<std::string> messages_;
};

/* A field of width bytes between guard bytes, filled by a placement. */
std::string placed(char *(*routine)(char *, const char *, int, int),
                   const std::string &source, int width, int length = -1)
{
    std::string field(static_cast<size_t>(width) + 4, '#');
    routine(field.data() + 2, source.data(), width,
            length < 0 ? static_cast<int>(source.size()) : length);
    EXPECT_EQ(field.substr(0, 2), "##") << "wrote before the field";
    EXPECT_EQ(field.substr(static_cast<size_t>(width) + 2), "##") << "wrote past the field";
    return field.substr(2, static_cast<size_t>(width));
}

/* ---- double_to_str ------------------------------------------------------ */

TEST(DoubleToStr, SmallMagnitudesAreWrittenWithLeadingZeros)
{
    EXPECT_EQ(toStr(0.001, 15, 8).text, "0.001");
    EXPECT_EQ(toStr(0.001, 15, 8).result, 0);
    EXPECT_EQ(toStr(-0.001, 15, 8).text, "-0.001");
    EXPECT_EQ(toStr(0.0125, 6, 8).text, "0.0125");
}

TEST(DoubleToStr, ZeroForm_FitsExactlyOrFallsBackToExponent)
{
    /* 0.0012: two digits, p = -2; "0.0012" needs 6 characters. */
    EXPECT_EQ(toStr(0.0012, 15, 6).text, "0.0012");
    /* One less: precision 5 - 5 = 0 leaves no digit: stars. */
    Text narrow = toStr(0.0012, 15, 5);
    EXPECT_EQ(narrow.result, -1);
    EXPECT_EQ(narrow.text, "*****");
    /* 0.00001234 in 8: too long as 0.0000..., so %g with 3 digits. */
    Text exp = toStr(0.00001234, 15, 8);
    EXPECT_EQ(exp.result, 0);
    EXPECT_EQ(exp.text, gcvtText(0.00001234, 3));
    EXPECT_EQ(exp.text, "1.23e-05");
}

TEST(DoubleToStr, LargeValuesUseTheExponentFormWithTheDigitsThatFit)
{
    Text t = toStr(1e20, 15, 10);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.text, gcvtText(1e20, 5));
    EXPECT_EQ(t.text, "1e+20");
    EXPECT_EQ(toStr(-1.5e20, 15, 12).text, gcvtText(-1.5e20, 6));
}

TEST(DoubleToStr, IntegersUpToTheWidthFitAndOneMoreDigitGivesStars)
{
    EXPECT_EQ(toStr(12345, 15, 5).text, "12345");
    EXPECT_EQ(toStr(-1234, 15, 5).text, "-1234");
    Text wide = toStr(123456, 15, 5);
    EXPECT_EQ(wide.result, -1);
    EXPECT_EQ(wide.text, "*****");
    Text negative = toStr(-12345, 15, 5);
    EXPECT_EQ(negative.result, -1);
    EXPECT_EQ(negative.text, "*****");
    EXPECT_EQ(toStr(123456, 15, 6).text, "123456");
}

TEST(DoubleToStr, DecimalsTakeTheRoomLessThePoint)
{
    /* 3.14159 in 4 characters: 3 digits and the point. */
    EXPECT_EQ(toStr(3.14159, 6, 4).text, "3.14");
    EXPECT_EQ(toStr(-3.14159, 6, 5).text, "-3.14");
    EXPECT_EQ(toStr(3.14159, 15, 20).text, gcvtText(3.14159, 15));
}

TEST(DoubleToStr, DigitsBoundThePrecision)
{
    /* A float widened to double shows its 6 digits, not the binary noise. */
    EXPECT_EQ(toStr(static_cast<double>(1.1f), 6, 10).text, "1.1");
    EXPECT_EQ(toStr(static_cast<double>(1.1f), 15, 20).text,
              gcvtText(static_cast<double>(1.1f), 15));
    EXPECT_EQ(toStr(2.0 / 3.0, 15, 30).text, "0.666666666666667");
}

TEST(DoubleToStr, ZeroIsOneDigit)
{
    EXPECT_EQ(toStr(0.0, 15, 5).text, "0");
    EXPECT_EQ(toStr(0.0, 6, 1).text, "0");
}

TEST(DoubleToStr, StarsFillTheWholeFieldAndAreTerminated)
{
    for (int width : {1, 2, 3, 7}) {
        char buffer[40];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(double_to_str(-1e30, 15, buffer, width), -1) << width;
        EXPECT_EQ(std::string(buffer), std::string(static_cast<size_t>(width), '*'));
        EXPECT_EQ(buffer[width + 1], '#') << "nothing written past the terminator";
    }
}

TEST(DoubleToStr, NonFiniteValuesGiveStars)
{
    EXPECT_EQ(toStr(std::numeric_limits<double>::infinity(), 15, 6).text, "******");
    EXPECT_EQ(toStr(std::numeric_limits<double>::quiet_NaN(), 6, 4).result, -1);
}

/* ---- day numbers and UTC times ------------------------------------------ */

TEST(ConvertDateToUtc, BeforeTheEpochAndNoDateGiveZero)
{
    EXPECT_EQ(convert_DATE_to_UTC(0), 0);
    EXPECT_EQ(convert_DATE_to_UTC(-5), 0);
    EXPECT_EQ(convert_DATE_to_UTC(date_to_num(1969, 12, 31)), 0);
    EXPECT_EQ(convert_DATE_to_UTC(1), 0);
    EXPECT_EQ(convert_DATE_to_UTC(AL_MAX_DAYNUM + 1), 0);
}

TEST(ConvertDateToUtc, TheEpochAndTheDaysAfter)
{
    EXPECT_EQ(convert_DATE_to_UTC(AL_DAYNUM_1970), 0);
    EXPECT_EQ(convert_DATE_to_UTC(AL_DAYNUM_1970 + 1), 86400);
}

TEST(ConvertDateToUtc, FromJanuary20Of2038TheLargestTime)
{
    EXPECT_EQ(convert_DATE_to_UTC(date_to_num(2038, 1, 19)), glibcTimegm(2038, 1, 19));
    EXPECT_EQ(convert_DATE_to_UTC(date_to_num(2038, 1, 20)), INT32_MAX);
    EXPECT_EQ(convert_DATE_to_UTC(date_to_num(2038, 3, 1)), INT32_MAX);
    EXPECT_EQ(convert_DATE_to_UTC(date_to_num(2039, 1, 1)), INT32_MAX);
    EXPECT_EQ(convert_DATE_to_UTC(AL_MAX_DAYNUM), INT32_MAX);
}

TEST(ConvertDateToUtc, AgreesWithGlibcTimegmOverTheWholeRange)
{
    for (int n = AL_DAYNUM_1970; n <= date_to_num(2038, 1, 19); n += 13) {
        int y, m, d;
        ASSERT_EQ(num_to_date(n, &y, &m, &d), 0);
        ASSERT_EQ(convert_DATE_to_UTC(n), glibcTimegm(y, m, d)) << y << "-" << m << "-" << d;
    }
}

TEST(ConvertUtcToDate, TheDayOfTheUtcDate)
{
    EXPECT_EQ(convert_UTC_to_DATE(0), AL_DAYNUM_1970);
    EXPECT_EQ(convert_UTC_to_DATE(86399), AL_DAYNUM_1970);
    EXPECT_EQ(convert_UTC_to_DATE(86400), AL_DAYNUM_1970 + 1);
    EXPECT_EQ(convert_UTC_to_DATE(INT32_MAX), date_to_num(2038, 1, 19));
}

TEST(ConvertUtcToDate, NegativeTimeIsLoggedAndGivesTheEpochDate)
{
    LogRecorder log;
    EXPECT_EQ(convert_UTC_to_DATE(-1), AL_DAYNUM_1970);
    EXPECT_EQ(convert_UTC_to_DATE(INT32_MIN), AL_DAYNUM_1970);
    EXPECT_EQ(log.count("UTC Conversion Error"), 2);
}

TEST(ConvertUtcToDate, AgreesWithGlibcGmtimeOverTheWholeRange)
{
    for (int64_t t = 0; t <= INT32_MAX; t += 86400 * 7 + 3607) {
        time_t tt = static_cast<time_t>(t);
        struct tm tm {};
        gmtime_r(&tt, &tm);
        ASSERT_EQ(convert_UTC_to_DATE(static_cast<int32_t>(t)),
                  date_to_num(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday))
            << t;
    }
}

TEST(ConvertUtcToDate, RoundTripOfEveryDateIsExact)
{
    for (int n = AL_DAYNUM_1970; n <= date_to_num(2038, 1, 19); n += 1)
        ASSERT_EQ(convert_UTC_to_DATE(convert_DATE_to_UTC(n)), n);
}

/*
 * With a user time zone in force (a real zone file, two hours ahead of UTC
 * in summer), the conversions stay in UTC: glibc's mktime under the same
 * zone gives a different moment for local midnight.
 */
TEST(UtcConversionsUnderAZone, DatesAreUtcMidnightNotLocalMidnight)
{
    const char *zone = "/usr/share/zoneinfo/Europe/Amsterdam";
    if (access(zone, R_OK) != 0)
        GTEST_SKIP() << "no zone file " << zone;
    trel_timezone_set(zone);
    const char *oldTz = std::getenv("TZ");
    std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", zone, 1);
    tzset();

    struct tm local {};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 6;
    local.tm_mday = 1;
    local.tm_isdst = -1;
    time_t localMidnight = mktime(&local);
    int32_t utc = convert_DATE_to_UTC(date_to_num(2024, 7, 1));
    EXPECT_EQ(utc, glibcTimegm(2024, 7, 1));
    EXPECT_EQ(utc - localMidnight, 7200) << "local midnight is two hours earlier";

    /* 23:30 UTC on June 30 is already July 1 in that zone. */
    time_t lateJune = glibcTimegm(2024, 6, 30, 23, 30);
    struct tm there {};
    localtime_r(&lateJune, &there);
    EXPECT_EQ(there.tm_mday, 1);
    EXPECT_EQ(trel_localtime(&lateJune)->tm_mday, 1) << "the zone is in force";
    EXPECT_EQ(convert_UTC_to_DATE(static_cast<int32_t>(lateJune)), date_to_num(2024, 6, 30));
    EXPECT_EQ(str_to_utctime("23300030062024"), lateJune);

    trel_timezone_set(nullptr);
    if (oldTz != nullptr)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

/* ---- str_to_utctime ----------------------------------------------------- */

TEST(StrToUtctime, ReadsHhmmssDDMMYYYY)
{
    EXPECT_EQ(str_to_utctime("00000001011970"), 0);
    EXPECT_EQ(str_to_utctime("12345631122037"), glibcTimegm(2037, 12, 31, 12, 34, 56));
    EXPECT_EQ(str_to_utctime("03140719012038"), INT32_MAX);
}

TEST(StrToUtctime, CharactersBeyondFourteenAreIgnored)
{
    EXPECT_EQ(str_to_utctime("00000101011970xyz"), 1);
}

TEST(StrToUtctime, CharactersAreNotCheckedToBeDigits)
{
    /* ":" is the digit after "9": hour 0*10+10. */
    EXPECT_EQ(str_to_utctime("0:000001011970"), 10 * 3600);
}

TEST(StrToUtctime, DaysBeyondTheMonthRollOver)
{
    EXPECT_EQ(str_to_utctime("00000031022000"), glibcTimegm(2000, 3, 2));
}

TEST(StrToUtctime, OutOfRangeTimesAreLoggedAndGiveMinusOne)
{
    LogRecorder log;
    EXPECT_EQ(str_to_utctime("00000031121969"), -1);
    EXPECT_EQ(str_to_utctime("00000001012039"), -1);
    EXPECT_EQ(str_to_utctime("03140819012038"), -1) << "one second past 32 bits";
    EXPECT_EQ(str_to_utctime("24000001012000"), -1);
    EXPECT_EQ(str_to_utctime("00000032012000"), -1);
    EXPECT_EQ(str_to_utctime("00000001132000"), -1);
    EXPECT_EQ(str_to_utctime("              "), -1);
    EXPECT_EQ(log.count("UTC Conversion Error"), 7);
}

TEST(StrToUtctime, ShortTextAndNullFail)
{
    LogRecorder log;
    EXPECT_EQ(str_to_utctime("000000010119"), -1);
    EXPECT_EQ(str_to_utctime(""), -1);
    EXPECT_EQ(str_to_utctime(nullptr), -1);
    EXPECT_EQ(log.count("UTC Conversion Error"), 3);
}

/* The log file names the category and the source file. */
TEST(UtcConversionLog, CategoriesAndSourcesInTheLogFile)
{
    std::string dir = std::string(std::getenv("TSE")) + "/log";
    std::string path = dir + "/log.convtest";
    std::remove(path.c_str());
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        log_set_path(path.c_str());
        log_set_progname("convtest", LOG_DEST_FILE);
        convert_UTC_to_DATE(-7);
        str_to_utctime("99999999999999");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string log = text.str();
    /* One header line per message names the source file and category. */
    auto lineWith = [&log](const std::string &a, const std::string &b) {
        std::istringstream lines(log);
        std::string line;
        while (std::getline(lines, line))
            if (line.find(a) != std::string::npos && line.size() >= b.size() &&
                line.compare(line.size() - b.size(), b.size(), b) == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(lineWith("from tdb_tools/tdb_convert.cpp: #", "keyword: UTC to Date Convert")) << log;
    EXPECT_TRUE(lineWith("from tdb_tools/tdb_util.cpp: #", "keyword: UTC Conversion")) << log;
    size_t first = log.find("Log_mesg: UTC Conversion Error");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("Log_mesg: UTC Conversion Error", first + 1), std::string::npos) << log;
    std::remove(path.c_str());
}

/* ---- placement ---------------------------------------------------------- */

TEST(Placement, LeftTrimsBothEndsAndPadsRight)
{
    EXPECT_EQ(placed(lcpystr, "  ab  ", 5), "ab   ");
    EXPECT_EQ(placed(lcpystr, "ab", 2), "ab");
}

TEST(Placement, RightPadsLeft)
{
    EXPECT_EQ(placed(rcpystr, "  ab  ", 5), "   ab");
    EXPECT_EQ(placed(rcpystr, "-5", 4), "  -5");
}

TEST(Placement, CentredPutsTheOddBlankRight)
{
    EXPECT_EQ(placed(ccpystr, "-5", 4), " -5 ");
    EXPECT_EQ(placed(ccpystr, "  ab ", 5), " ab  ");
    EXPECT_EQ(placed(ccpystr, "ab", 6), "  ab  ");
    EXPECT_EQ(placed(ccpystr, "a", 4), " a  ");
}

TEST(Placement, LongTextIsCutAtTheWidth)
{
    EXPECT_EQ(placed(lcpystr, "abcdef", 4), "abcd");
    EXPECT_EQ(placed(rcpystr, "abcdef", 4), "abcd");
    EXPECT_EQ(placed(ccpystr, "abcdef", 4), "abcd");
    EXPECT_EQ(placed(rcpystr, "   abcdef", 4), "abcd");
}

TEST(Placement, BlanksOnlyAndEmptyGiveBlanks)
{
    for (auto routine : {lcpystr, rcpystr, ccpystr}) {
        EXPECT_EQ(placed(routine, "    ", 3), "   ");
        EXPECT_EQ(placed(routine, "", 3), "   ");
    }
}

TEST(Placement, OnlyTheLengthIsRead)
{
    EXPECT_EQ(placed(lcpystr, "ab  cd", 6, 4), "ab    ");
    EXPECT_EQ(placed(rcpystr, "xyz", 3, 1), "  x");
}

TEST(Placement, OnlyTheSpaceIsABlank)
{
    EXPECT_EQ(placed(lcpystr, "\tab", 5), "\tab  ");
    EXPECT_EQ(placed(rcpystr, "ab\n", 5), "  ab\n");
}

TEST(Placement, NcpystrCopiesExactlyN)
{
    char field[8];
    std::memset(field, '#', sizeof field);
    ncpystr(field, "abcdefgh", 3);
    EXPECT_EQ(std::string(field, 8), "abc#####");
    ncpystr(field, "zz", 0);
    EXPECT_EQ(std::string(field, 8), "abc#####");
}

/* ---- findLastLeadTSSchar ------------------------------------------------ */

TEST(FindLastLeadTSSchar, WithoutFourByteCharacters)
{
    EXPECT_EQ(findLastLeadTSSchar("abc", 3), -1);
    EXPECT_EQ(findLastLeadTSSchar("", 0), -1);
}

TEST(FindLastLeadTSSchar, TheLastLeadBeforeTheLength)
{
    const char text[] = "a\x9b" "ABC\x9b" "DEFx";
    EXPECT_EQ(findLastLeadTSSchar(text, 10), 5);
    EXPECT_EQ(findLastLeadTSSchar(text, 6), 5) << "begins before the length";
    EXPECT_EQ(findLastLeadTSSchar(text, 5), 1);
    EXPECT_EQ(findLastLeadTSSchar(text, 1), -1);
}

TEST(FindLastLeadTSSchar, LeadBytesInsideACharacterAreSkipped)
{
    const char text[] = "\x9b\x9b\x9b\x9bx";
    EXPECT_EQ(findLastLeadTSSchar(text, 5), 0);
    const char two[] = "\x9b\x9b\x9b\x9b\x9b\x9b\x9b\x9b";
    EXPECT_EQ(findLastLeadTSSchar(two, 8), 4);
}

} // namespace
