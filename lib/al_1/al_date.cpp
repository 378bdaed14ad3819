/*
 * al_date.cpp: day numbers and calendar dates, date texts by format, week
 * numbers, UTC packing and the local/UTC day-time pairs, and the clock.
 * Time-zone conversions themselves live in lib/tz.
 */
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "al_date.h"
#include "al_log.h"

/* ---- calendar tables ----------------------------------------------------- */

static const int month_length[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};
static const int days_before_month[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

/* Weekday shift of the week functions and the first weekday number. */
static int week_base = 6;
static int first_weekday = 1;

int leap_year(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 1 : 0;
}

int days_in_year(int year)
{
    long long y = year < 0 ? -static_cast<long long>(year) : year;
    return static_cast<int>(365 * y + y / 4 - y / 100 + y / 400);
}

int date_to_num(int year, int month, int day)
{
    if (month < 1 || month > 12)
        return -1;
    int leap = leap_year(year);
    if (day < 1 || day > month_length[leap][month - 1])
        return -1;
    return days_in_year(year - 1) + days_before_month[leap][month - 1] + day;
}

int num_to_date(int daynum, int *year, int *month, int *day)
{
    if (daynum < 1 || daynum > AL_MAX_DAYNUM)
        return -1;
    int y = (daynum - 1) / 365 + 1;
    while (daynum <= days_in_year(y - 1))
        --y;
    int yday = daynum - days_in_year(y - 1);
    const int *before = days_before_month[leap_year(y)];
    /* The month is the first whose cumulative end reaches the day; it is
     * never before (day of the year) / 31. */
    int m = yday / 31;
    while (before[m] < yday)
        ++m;
    *year = y;
    *month = m;
    *day = yday - before[m - 1];
    return 0;
}

/* The day number of a moment in the broken-down form of trel_* results. */
static int daynum_of_tm(const struct tm *tm)
{
    return date_to_num(tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
}

int date_num(void)
{
    time_t now = time(nullptr);
    struct tm *tm = trel_localtime(&now);
    return tm != nullptr ? daynum_of_tm(tm) : 0;
}

int date_num_utc(void)
{
    return static_cast<int>(time(nullptr) / 86400) + AL_DAYNUM_1970;
}

/* ---- date texts ---------------------------------------------------------- */

/* Reads up to two digits from *p (skipping non-digits first); -1 if none. */
static int next_pair(const char *&p)
{
    while (*p != '\0' && (*p < '0' || *p > '9'))
        ++p;
    if (*p == '\0')
        return -1;
    int value = *p++ - '0';
    if (*p >= '0' && *p <= '9')
        value = value * 10 + (*p++ - '0');
    return value;
}

int str_to_date(const char *text, const char *format)
{
    if (text == nullptr || text[0] == '\0' || std::strcmp(text, "0") == 0)
        return 0;
    if (format == nullptr)
        return -1;

    time_t now = time(nullptr);
    struct tm today {};
    localtime_r(&now, &today);
    int day = today.tm_mday;
    int month = today.tm_mon + 1;
    int year = today.tm_year + 1900;
    const bool six_characters = std::strlen(text) == 6;

    const char *p = text;
    for (const char *f = format; *f != '\0';) {
        char field = *f;
        if (field != 'D' && field != 'M' && field != 'Y') {
            ++f;
            continue;
        }
        while (*f == field)
            ++f;
        int pair = next_pair(p);
        if (pair < 0)
            continue; /* no more digits: today's value stays */
        if (field == 'D') {
            day = pair;
        } else if (field == 'M') {
            month = pair;
        } else if (six_characters) {
            year = 1900 + pair;
        } else {
            /* A year takes a second pair; a lone pair is read as 19xx. */
            int low = next_pair(p);
            year = low < 0 ? 1900 + pair : pair * 100 + low;
        }
    }
    if (year < 1 || year > 9999)
        return -1;
    return date_to_num(year, month, day);
}

int format_date(int daynum, const char *format, char *output)
{
    size_t len = std::strlen(format);
    std::memset(output, ' ', len);
    output[len] = '\0';
    int year = 0, month = 0, day = 0;
    bool valid = num_to_date(daynum, &year, &month, &day) == 0;
    char digits[8];

    for (size_t i = 0; i < len;) {
        const char *f = format + i;
        size_t width = 0;
        int value = 0;
        const char *fmt = "%02d";
        if (std::strncmp(f, "YYYY", 4) == 0) {
            width = 4;
            value = year;
            fmt = "%04d";
        } else if (std::strncmp(f, "YY", 2) == 0) {
            width = 2;
            value = year % 100;
        } else if (std::strncmp(f, "DD", 2) == 0) {
            width = 2;
            value = day;
        } else if (std::strncmp(f, "MM", 2) == 0) {
            width = 2;
            value = month;
        }
        if (width == 0) {
            output[i] = *f;
            ++i;
            continue;
        }
        if (valid) {
            std::snprintf(digits, sizeof digits, fmt, value);
            std::memcpy(output + i, digits, width);
        }
        i += width;
    }
    return static_cast<int>(len);
}

/* ---- weeks --------------------------------------------------------------- */

/*
 * Only the weekday numbering follows the base; the derived first weekday
 * number stays 1, so weeks are always counted Monday to Sunday (ISO 8601).
 */
void set_first_day_of_week(int base)
{
    week_base = ((base % 7) + 7) % 7;
    first_weekday = 1;
}

int last_day_of_first_week(int year)
{
    if (year < 1 || year > 9999)
        return -1;
    int w = (date_to_num(year, 1, 1) - 1) % 7; /* 0 for Monday */
    return 7 - w >= 4 ? 7 - w : 14 - w;
}

int last_week_of_year(int year)
{
    int last = last_day_of_first_week(year);
    if (last < 0)
        return -1;
    int r = 365 + leap_year(year) - last;
    return r % 7 < 4 ? r / 7 + 1 : r / 7 + 2;
}

/* The ISO weekday (1 Monday .. 7 Sunday) shifted by the base into 1-7. */
static int shifted_weekday(int iso)
{
    int w = iso - week_base;
    while (w < 1)
        w += 7;
    while (w > 7)
        w -= 7;
    return w;
}

int num_to_week(int daynum, char *text, int *weekday, int *yearday,
                int *week, int *year)
{
    int y, m, d;
    if (num_to_date(daynum, &y, &m, &d) != 0)
        return -1;
    int yday = daynum - days_in_year(y - 1);
    int last = last_day_of_first_week(y);
    int iso = ((yday - last + 13) % 7 + 7) % 7 + 1;
    int wk = (yday - last + 13) / 7;
    int wyear = y;

    if (year != nullptr) {
        if (wk == 53) {
            int dec31 = ((days_before_month[leap_year(y)][11] - last + 44) % 7) + 1;
            if (dec31 < 4) {
                wk = 1;
                wyear = y + 1;
            }
        } else if (wk == 0) {
            wyear = y - 1;
            wk = last_week_of_year(wyear);
        }
        *year = wyear;
    }
    if (weekday != nullptr)
        *weekday = shifted_weekday(iso);
    if (yearday != nullptr)
        *yearday = yday;
    if (week != nullptr)
        *week = wk;
    if (text != nullptr) {
        int text_last = wyear == y ? last : last_day_of_first_week(wyear);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d01%02d",
                      text_last < 0 ? 0 : text_last % 100, wyear % 100);
        std::memcpy(text, buf, 7);
        text[6] = '\0';
    }
    return 0;
}

int week_to_num(int week, int year, int weekday)
{
    if (week < 1 || weekday < 1 || weekday > 7)
        return -1;
    int last = last_day_of_first_week(year);
    if (last < 0)
        return -1;
    int iso = weekday + week_base;
    while (iso > 7)
        iso -= 7;
    if (first_weekday != 1 && iso >= first_weekday)
        --week;
    long long n = static_cast<long long>(days_in_year(year - 1)) + last + iso -
                  7 + 7LL * (week - 1);
    if (n > AL_MAX_DAYNUM)
        n = AL_MAX_DAYNUM;
    return n < 1 ? -1 : static_cast<int>(n);
}

int gregdate(const char *text, char *weektext, int *weekday, int *yearday,
             int *week)
{
    int d = 0, m = 0, yy = 0;
    int n = -1;
    if (text != nullptr && std::sscanf(text, "%2d%2d%2d", &d, &m, &yy) == 3)
        n = date_to_num(yy < 80 ? 2000 + yy : 1900 + yy, m, d);
    if (n < 1) {
        if (weektext != nullptr)
            weektext[0] = '\0';
        *weekday = *yearday = *week = 0;
        return -1;
    }
    return num_to_week(n, weektext, weekday, yearday, week, nullptr);
}

int w_to_dat(int week, int year, int weekday, char *output)
{
    int n = week_to_num(week, year, weekday);
    if (n < 1)
        return -1;
    return format_date(n, "DDMMYY", output);
}

/* ---- UTC ------------------------------------------------------------------ */

int al_pack_utc(int year, int month, int day, int hour, int minute,
                int second, int32_t *utc)
{
    if (year < 1970 || year > 2038 || month < 1 || month > 12 || day < 1 ||
        day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 61)
        return -1;
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    time_t t = trel_timegm(&tm);
    if (t == -1 || t > INT32_MAX)
        return -1;
    *utc = static_cast<int32_t>(t);
    return 0;
}

int al_unpack_utc(int32_t utc, int *year, int *month, int *day, int *hour,
                  int *minute, int *second)
{
    if (utc < 0)
        return -1;
    time_t t = utc;
    struct tm *tm = trel_gmtime(&t);
    if (tm == nullptr)
        return -1;
    *year = tm->tm_year + 1900;
    *month = tm->tm_mon + 1;
    *day = tm->tm_mday;
    *hour = tm->tm_hour;
    *minute = tm->tm_min;
    *second = tm->tm_sec;
    return 0;
}

/* Fills a broken-down time from a day number and seconds of the day. */
static bool tm_of_day(struct tm *tm, int day, int seconds)
{
    int y, m, d;
    if (num_to_date(day, &y, &m, &d) != 0 || seconds < 0)
        return false;
    *tm = {};
    tm->tm_year = y - 1900;
    tm->tm_mon = m - 1;
    tm->tm_mday = d;
    tm->tm_hour = seconds / 3600;
    tm->tm_min = (seconds % 3600) / 60;
    tm->tm_sec = seconds % 60;
    return true;
}

static bool day_of_tm(const struct tm *tm, int *day, int *seconds)
{
    if (tm == nullptr)
        return false;
    int n = daynum_of_tm(tm);
    if (n < 1)
        return false;
    *day = n;
    *seconds = tm->tm_hour * 3600 + tm->tm_min * 60 + tm->tm_sec;
    return true;
}

int al_local_to_utc(int *utc_day, int *utc_seconds, int day, int seconds)
{
    struct tm tm;
    if (!tm_of_day(&tm, day, seconds))
        return 1;
    tm.tm_isdst = -1;
    time_t t = trel_mktime(&tm);
    if (t == -1)
        return 1;
    return day_of_tm(trel_gmtime(&t), utc_day, utc_seconds) ? 0 : 1;
}

int al_utc_to_local(int *local_day, int *local_seconds, int day, int seconds)
{
    struct tm tm;
    if (!tm_of_day(&tm, day, seconds))
        return 1;
    time_t t = trel_timegm(&tm);
    if (t == -1)
        return 1;
    return day_of_tm(trel_localtime(&t), local_day, local_seconds) ? 0 : 1;
}

/* Reads the clock or ends the process: nothing works without it. */
static time_t current_time(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) {
        log_mesg("lib/al_1/al_date.cpp", __LINE__, "al_getdate", 0,
                 "Fatal error getting current time (error %d)", errno);
        std::abort();
    }
    return tv.tv_sec;
}

struct tm *al_getdate(void)
{
    static struct tm result;
    time_t now = current_time();
    struct tm *tm = trel_localtime(&now);
    result = *tm;
    result.tm_mon += 1;
    return &result;
}

struct tm *al_getdate_utc(void)
{
    static struct tm result;
    time_t now = current_time();
    struct tm *tm = trel_gmtime(&now);
    result = *tm;
    result.tm_mon += 1;
    return &result;
}

int HAL_getclock(struct hal_clock *clock)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return -1;
    clock->seconds = tv.tv_sec;
    clock->nanoseconds = tv.tv_usec * 1000L;
    return 0;
}
