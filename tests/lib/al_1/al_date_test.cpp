/*
 * Day numbers, date texts, weeks and UTC packing, checked against the C++
 * calendar (std::chrono) and glibc's ISO week numbers (strftime %V/%G).
 */
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

#include "al_date.h"

namespace {

using namespace std::chrono;

int chronoDayNumber(int y, unsigned m, unsigned d)
{
    return static_cast<int>(
               sys_days(year_month_day(year(y), month(m), day(d)))
                   .time_since_epoch()
                   .count()) +
           AL_DAYNUM_1970;
}

TEST(DayNumber, KnownDays)
{
    EXPECT_EQ(date_to_num(1, 1, 1), 1);
    EXPECT_EQ(date_to_num(1970, 1, 1), 719163);
    EXPECT_EQ(date_to_num(9999, 12, 31), 3652059);
    EXPECT_EQ(date_to_num(2000, 2, 29), chronoDayNumber(2000, 2, 29));
    EXPECT_EQ(date_to_num(1900, 2, 29), -1);
    EXPECT_EQ(date_to_num(2023, 13, 1), -1);
    EXPECT_EQ(date_to_num(2023, 0, 1), -1);
    EXPECT_EQ(date_to_num(2023, 4, 31), -1);
    EXPECT_EQ(date_to_num(2023, 4, 0), -1);
}

TEST(DayNumber, EveryDayRoundTripsAndMatchesTheChronoCalendar)
{
    int y = 0, m = 0, d = 0;
    for (int n = 1; n <= AL_MAX_DAYNUM; ++n) {
        ASSERT_EQ(num_to_date(n, &y, &m, &d), 0) << n;
        ASSERT_EQ(date_to_num(y, m, d), n) << y << '-' << m << '-' << d;
        if (n % 997 == 0) {
            ASSERT_EQ(chronoDayNumber(y, m, d), n) << y << '-' << m << '-' << d;
        }
    }
}

TEST(DayNumber, OutsideTheRangeFails)
{
    int y, m, d;
    EXPECT_EQ(num_to_date(0, &y, &m, &d), -1);
    EXPECT_EQ(num_to_date(3652060, &y, &m, &d), -1);
    EXPECT_EQ(num_to_date(-5, &y, &m, &d), -1);
}

TEST(DayNumber, LeapYearsAndYearLengths)
{
    EXPECT_EQ(leap_year(2000), 1);
    EXPECT_EQ(leap_year(1900), 0);
    EXPECT_EQ(leap_year(2024), 1);
    EXPECT_EQ(leap_year(2023), 0);
    EXPECT_EQ(days_in_year(0), 0);
    EXPECT_EQ(days_in_year(1), 365);
    EXPECT_EQ(days_in_year(4), 1461);
    EXPECT_EQ(days_in_year(-4), 1461) << "the year is taken as its absolute value";
}

TEST(DayNumber, TodayIsTodayInUtc)
{
    time_t now = time(nullptr);
    EXPECT_EQ(date_num_utc(), static_cast<int>(now / 86400) + AL_DAYNUM_1970);
}

TEST(DateText, ReadsByFormat)
{
    int y, m, d;
    ASSERT_GT(str_to_date("311299", "DDMMYY"), 0);
    num_to_date(str_to_date("311299", "DDMMYY"), &y, &m, &d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 19991231);
    num_to_date(str_to_date("31122099", "DDMMYYYY"), &y, &m, &d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20991231);
    EXPECT_EQ(str_to_date("2024-02-29", "YYYY-MM-DD"), date_to_num(2024, 2, 29));
    EXPECT_EQ(str_to_date("12/31/1999", "MM/DD/YYYY"), date_to_num(1999, 12, 31));
    EXPECT_EQ(str_to_date("991231", "YYMMDD"), date_to_num(1999, 12, 31));
}

TEST(DateText, EmptyZeroAndInvalid)
{
    EXPECT_EQ(str_to_date("", "DDMMYY"), 0);
    EXPECT_EQ(str_to_date("0", "DDMMYY"), 0);
    EXPECT_EQ(str_to_date("320199", "DDMMYY"), -1);
    EXPECT_EQ(str_to_date("311399", "DDMMYY"), -1);
    EXPECT_EQ(str_to_date("290223", "DDMMYY"), -1) << "1923 is no leap year";
}

TEST(DateText, MissingFieldsTakeToday)
{
    time_t now = time(nullptr);
    struct tm today {};
    localtime_r(&now, &today);
    int n = str_to_date("15", "DDMMYYYY");
    int y, m, d;
    ASSERT_GT(n, 0);
    num_to_date(n, &y, &m, &d);
    EXPECT_EQ(d, 15);
    EXPECT_EQ(m, today.tm_mon + 1);
    EXPECT_EQ(y, today.tm_year + 1900);
}

TEST(DateText, WritesByFormat)
{
    char out[32];
    EXPECT_EQ(format_date(date_to_num(2005, 1, 9), "DD-MM-YYYY", out), 10);
    EXPECT_STREQ(out, "09-01-2005");
    format_date(date_to_num(2005, 1, 9), "YYMMDD", out);
    EXPECT_STREQ(out, "050109");
    format_date(date_to_num(1, 2, 3), "YYYY/MM/DD", out);
    EXPECT_STREQ(out, "0001/02/03");
    EXPECT_EQ(format_date(0, "DD-MM-YYYY", out), 10);
    EXPECT_STREQ(out, "  -  -    ");
}

TEST(DateText, WrittenDatesReadBack)
{
    char out[32];
    for (int n = date_to_num(1990, 1, 1); n < date_to_num(2030, 1, 1); n += 37) {
        format_date(n, "DD.MM.YYYY", out);
        ASSERT_EQ(str_to_date(out, "DD.MM.YYYY"), n) << out;
    }
}

/* ---- weeks against glibc's ISO 8601 week numbers ------------------------ */

TEST(Weeks, FirstOfJanuary2005IsInWeek53Of2004)
{
    set_first_day_of_week(6);
    int weekday, yday, week, wyear;
    char text[8];
    ASSERT_EQ(num_to_week(date_to_num(2005, 1, 1), text, &weekday, &yday, &week, &wyear), 0);
    EXPECT_EQ(week, 53);
    EXPECT_EQ(wyear, 2004);
    EXPECT_EQ(yday, 1);
    EXPECT_EQ(weekday, 7) << "Saturday with the default base";
}

TEST(Weeks, MatchGlibcIsoWeeksEveryDay1970To2037)
{
    set_first_day_of_week(6);
    for (time_t t = 12 * 3600; t < 2145916800; t += 86400) {
        struct tm tm {};
        gmtime_r(&t, &tm);
        char iso[16];
        strftime(iso, sizeof iso, "%G %V", &tm);
        int n = date_to_num(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        int weekday, yday, week, wyear;
        ASSERT_EQ(num_to_week(n, nullptr, &weekday, &yday, &week, &wyear), 0);
        char ours[16];
        std::snprintf(ours, sizeof ours, "%04d %02d", wyear, week);
        ASSERT_STREQ(ours, iso) << tm.tm_year + 1900 << '-' << tm.tm_mon + 1 << '-' << tm.tm_mday;
        ASSERT_EQ(weekday, tm.tm_wday + 1) << "1 is Sunday";
        ASSERT_EQ(yday, tm.tm_yday + 1);
        ASSERT_EQ(week_to_num(week, wyear, weekday), n) << ours;
    }
}

TEST(Weeks, LastWeekOfYearMatchesTheWeekOf28December)
{
    for (int y = 1971; y < 2037; ++y) {
        struct tm tm {};
        tm.tm_year = y - 1900;
        tm.tm_mon = 11;
        tm.tm_mday = 28;
        timegm(&tm);
        char iso[8];
        strftime(iso, sizeof iso, "%V", &tm);
        EXPECT_EQ(last_week_of_year(y), std::atoi(iso)) << y;
    }
}

TEST(Weeks, InvalidArguments)
{
    EXPECT_EQ(week_to_num(0, 2020, 1), -1);
    EXPECT_EQ(week_to_num(1, 2020, 0), -1);
    EXPECT_EQ(week_to_num(1, 2020, 8), -1);
    EXPECT_EQ(week_to_num(60, 9999, 7), AL_MAX_DAYNUM) << "capped at the last day";
    int a, b, c;
    EXPECT_EQ(num_to_week(0, nullptr, &a, &b, &c, nullptr), -1);
}

TEST(Weeks, WeekTextAndGregdate)
{
    set_first_day_of_week(6);
    char text[8], weektext[8];
    int weekday, yday, week;
    ASSERT_EQ(num_to_week(date_to_num(2020, 6, 15), text, &weekday, &yday, &week, nullptr), 0);
    EXPECT_STREQ(text, "050120") << "week 1 of 2020 ends on 5 January";
    ASSERT_EQ(gregdate("150620", weektext, &weekday, &yday, &week), 0);
    EXPECT_STREQ(weektext, "050120");
    EXPECT_EQ(week, 25);
    EXPECT_EQ(gregdate("310299", weektext, &weekday, &yday, &week), -1);
    EXPECT_EQ(week, 0);
    char out[8];
    EXPECT_EQ(w_to_dat(25, 2020, 2, out), 6);
    EXPECT_STREQ(out, "150620") << "Monday of week 25";
}

/* ---- UTC ---------------------------------------------------------------- */

TEST(Utc, PackAndUnpack)
{
    int32_t utc = -1;
    EXPECT_EQ(al_pack_utc(1970, 1, 1, 0, 0, 0, &utc), 0);
    EXPECT_EQ(utc, 0);
    EXPECT_EQ(al_pack_utc(2039, 1, 1, 0, 0, 0, &utc), -1);
    EXPECT_EQ(al_pack_utc(1969, 12, 31, 0, 0, 0, &utc), -1);
    EXPECT_EQ(al_pack_utc(2000, 1, 1, 24, 0, 0, &utc), -1);
    EXPECT_EQ(al_pack_utc(2038, 1, 19, 3, 14, 8, &utc), -1) << "past 32 bits";
    ASSERT_EQ(al_pack_utc(2038, 1, 19, 3, 14, 7, &utc), 0);
    EXPECT_EQ(utc, INT32_MAX);
    for (int32_t t : {0, 1, 86399, 951782400, 1700000000, INT32_MAX}) {
        int y, mo, d, h, mi, s;
        ASSERT_EQ(al_unpack_utc(t, &y, &mo, &d, &h, &mi, &s), 0);
        struct tm tm {};
        time_t tt = t;
        gmtime_r(&tt, &tm);
        EXPECT_EQ(y, tm.tm_year + 1900);
        EXPECT_EQ(mo, tm.tm_mon + 1);
        EXPECT_EQ(d, tm.tm_mday);
        EXPECT_EQ(h * 3600 + mi * 60 + s, tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
        int32_t back;
        ASSERT_EQ(al_pack_utc(y, mo, d, h, mi, s, &back), 0);
        EXPECT_EQ(back, t);
    }
    int y, mo, d, h, mi, s;
    EXPECT_EQ(al_unpack_utc(-1, &y, &mo, &d, &h, &mi, &s), -1);
}

TEST(Utc, ClockAndCurrentDate)
{
    hal_clock clock{};
    ASSERT_EQ(HAL_getclock(&clock), 0);
    EXPECT_NEAR(static_cast<double>(clock.seconds), static_cast<double>(time(nullptr)), 2.0);
    EXPECT_EQ(clock.nanoseconds % 1000, 0);
    EXPECT_LT(clock.nanoseconds, 1000000000L);
    struct tm *utc = al_getdate_utc();
    EXPECT_GE(utc->tm_mon, 1) << "months count 1-12";
    EXPECT_LE(utc->tm_mon, 12);
}

} // namespace
