/*
 * tdb_convert.h: the number, date and text-placement routines that the row
 * conversion of the reconfiguration tool uses to move values between
 * column types (floating-point numbers as text, day numbers and UTC times,
 * texts placed into fixed-width fields).
 */
#ifndef TDB_CONVERT_H
#define TDB_CONVERT_H

#include <cstdint>

/*
 * Writes value as text of at most width characters where it can: the
 * decimal digits (rounded to digits significant digits, 1-17) decide
 * between a "0.000ddd" form for small magnitudes and the %g form with as
 * many significant digits as the field allows. When the value cannot be
 * shown in the field (too large, too small, or not finite), width "*"
 * characters are written instead. text receives a NUL-terminated text and
 * needs room for the larger of width + 1 and 32 bytes. Returns 0, or -1
 * when stars were written.
 */
int double_to_str(double value, int digits, char *text, int width);

/*
 * The UTC time of 00:00:00 UTC of a day number: 0 for no date, an invalid
 * day number or a year before 1970; 2147483647 for a date from 2038-01-20
 * on. A date that cannot be packed logs "UTC Conversion Error" (category
 * "Date to UTC Convert") and gives 0.
 */
int32_t convert_DATE_to_UTC(int32_t date);

/*
 * The day number of the UTC date of a UTC time. A time that cannot be
 * unpacked (negative) logs "UTC Conversion Error" (category
 * "UTC to Date Convert") and gives 1970-01-01 (day 719163).
 */
int32_t convert_UTC_to_DATE(int32_t utc);

/*
 * Placing a text into a fixed-width field of width bytes (no terminator is
 * written). source holds length bytes; only the space character counts as
 * a blank. Each returns target; a null target or source, or a negative
 * width or length, writes nothing beyond the field (a negative width
 * writes nothing).
 *
 * ncpystr copies n bytes.
 * lcpystr drops leading and trailing blanks of the source, copies what is
 *   left (cut to width) and fills the rest with blanks.
 * rcpystr trims the same way and places the text at the right end.
 * ccpystr trims the same way and centres the text; an odd blank goes to
 *   the right.
 */
char *ncpystr(char *target, const char *source, int n);
char *lcpystr(char *target, const char *source, int width, int length);
char *rcpystr(char *target, const char *source, int width, int length);
char *ccpystr(char *target, const char *source, int width, int length);

#endif
