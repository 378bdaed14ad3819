/*
 * al_date.h: dates and times. A date is a day number (day 1 = 0001-01-01
 * of the proleptic Gregorian calendar, 3652059 = 9999-12-31, 0 = no date);
 * a moment is a UTC time, signed 32-bit seconds since 1970-01-01 00:00:00
 * UTC. Local time follows the user's time zone, read from compiled zone
 * files (TZif) under ${TSE}/lib/zoneinfo or from POSIX TZ rule strings.
 * Implemented in lib/al_1 (dates) and lib/tz (time zones).
 */
#ifndef AL_DATE_H
#define AL_DATE_H

#include <ctime>
#include <cstddef>
#include <cstdint>

#define AL_MAX_DAYNUM 3652059 /* 9999-12-31 */
#define AL_DAYNUM_1970 719163 /* 1970-01-01 */

/* ---- day numbers and calendar dates ------------------------------------- */

/* The day number of a date; -1 when month or day is outside its range. */
int date_to_num(int year, int month, int day);
/* The date of a day number: 0, or -1 outside 1..AL_MAX_DAYNUM. */
int num_to_date(int daynum, int *year, int *month, int *day);
/* 1 for a leap year (divisible by 4 and not by 100, or by 400), else 0. */
int leap_year(int year);
/* Days from 0001-01-01 up to the end of year (year taken absolute). */
int days_in_year(int year);
/* Today's day number in local time and in UTC. */
int date_num(void);
int date_num_utc(void);

/*
 * Reads a date by a format of "DD", "MM", "YY"/"YYYY" and other characters.
 * 0 for an empty text or "0", -1 for an invalid date, else the day number.
 */
int str_to_date(const char *text, const char *format);
/* Writes a day number by a format; the output holds at least the format's
 * length plus 1 bytes. Returns the length written. */
int format_date(int daynum, const char *format, char *output);

/* ---- weeks -------------------------------------------------------------- */

/* Sets the weekday shift (0-6, default 6: 1 is Sunday, 7 is Saturday). */
void set_first_day_of_week(int base);
/* Day of the year on which week 1 of year ends, or -1. */
int last_day_of_first_week(int year);
/* The number of the last week of year: 52 or 53. */
int last_week_of_year(int year);
/*
 * Week of a day number: text (7 bytes, "DD01YY" of the end of week 1, may
 * be null), weekday, day of the year, week, and the week's year (may be
 * null: then weeks 0 and 53 are not moved to the neighbouring year).
 * Returns 0, or -1 for an invalid day number.
 */
int num_to_week(int daynum, char *text, int *weekday, int *yearday,
                int *week, int *year);
/* The day number of a weekday (1-7) of a week (1..) of year, or -1. */
int week_to_num(int week, int year, int weekday);
/* Week data of a "DDMMYY" text; 0, or -1 (outs zero) for an invalid date. */
int gregdate(const char *text, char *weektext, int *weekday, int *yearday,
             int *week);
/* Writes the date of a week day as "DDMMYY"; its length, or -1. */
int w_to_dat(int week, int year, int weekday, char *output);

/* ---- UTC ---------------------------------------------------------------- */

/* Packs a UTC date and time (1970-2038): 0, or -1 for a field out of range. */
int al_pack_utc(int year, int month, int day, int hour, int minute,
                int second, int32_t *utc);
/* Unpacks a UTC time (not negative): 0 or -1. */
int al_unpack_utc(int32_t utc, int *year, int *month, int *day, int *hour,
                  int *minute, int *second);
/* Local day number and seconds of the day to UTC, and back: 0, or 1. */
int al_local_to_utc(int *utc_day, int *utc_seconds, int day, int seconds);
int al_utc_to_local(int *local_day, int *local_seconds, int day, int seconds);
/* The current time broken down (month 1-12), local or UTC; one static
 * record. A clock that cannot be read aborts the process. */
struct tm *al_getdate(void);
struct tm *al_getdate_utc(void);

struct hal_clock {
    long seconds;
    long nanoseconds; /* microsecond resolution */
};
/* The system clock: 0 or -1. */
int HAL_getclock(struct hal_clock *clock);

/* ---- time zones ---------------------------------------------------------- */

/* Selects the user's zone (loading it when it changed). */
void trel_tzset(void);
/* Broken-down local and UTC time of a moment; one static record each. */
struct tm *trel_localtime(const time_t *t);
struct tm *trel_gmtime(const time_t *t);
/* The moment of a broken-down local or UTC time (fields are normalised in
 * place), or -1. */
time_t trel_mktime(struct tm *tm);
time_t trel_timegm(struct tm *tm);
/* "Www Mmm dd hh:mm:ss yyyy\n" of a moment or a broken-down time. */
char *trel_ctime(const time_t *t);
char *trel_asctime(const struct tm *tm);
/* Formats like strftime(3); with CHECK_STRFTIME_FORMATS_FOR_TWO_DIGIT_YEARS
 * set, formats with two-digit years are reported on standard error. */
size_t trel_strftime(char *s, size_t max, const char *format,
                     const struct tm *tm);
/* Imposes a zone name (at most 50 characters); null or "" clears it. */
void trel_timezone_set(const char *name);
/* Copies the zone name in force; the buffer. */
char *trel_timezone_get(char *buffer, size_t size);
/* 1 when name loads as a zone file or parses as a TZ rule string. */
int trel_timezone_is_valid(const char *name);

/* Seconds west of UTC of the zone's standard time, as the last trel_tzset
 * left it; whether the zone has daylight time; the two abbreviations. */
long al_tz_standard_offset(void);
int al_tz_daylight(void);
const char *al_tz_abbreviation(int daylight);

#endif
