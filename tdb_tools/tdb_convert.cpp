/*
 * tdb_convert.cpp: number, date and text-placement routines of the row
 * conversion: floating-point values as text, day numbers to UTC times and
 * back, and texts placed left, right or centred into fixed-width fields.
 */
#include "tdb_convert.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "al_date.h"
#include "al_log.h"

namespace {

constexpr const char *kSource = "tdb_tools/tdb_convert.cpp";

/* The most significant digits %g and ecvt can produce for a double. */
constexpr int kMaxDigits = 17;

void fillStars(char *text, int width)
{
    int n = std::max(width, 0);
    std::memset(text, '*', static_cast<size_t>(n));
    text[n] = '\0';
}

/* The part of source[0, length) without leading and trailing blanks. */
void trimBlanks(const char *source, int length, const char **begin, int *size)
{
    int lo = 0;
    int hi = std::max(length, 0);
    while (lo < hi && source[lo] == ' ')
        ++lo;
    while (hi > lo && source[hi - 1] == ' ')
        --hi;
    *begin = source + lo;
    *size = hi - lo;
}

/* Writes left blanks, m characters of text, then blanks up to width. */
char *place(char *target, const char *source, int width, int length,
            int (*leftBlanks)(int room))
{
    if (target == nullptr || width <= 0)
        return target;
    if (source == nullptr) {
        std::memset(target, ' ', static_cast<size_t>(width));
        return target;
    }
    const char *text;
    int size;
    trimBlanks(source, length, &text, &size);
    int m = std::min(size, width);
    int left = leftBlanks(width - m);
    std::memset(target, ' ', static_cast<size_t>(left));
    std::memcpy(target + left, text, static_cast<size_t>(m));
    std::memset(target + left + m, ' ', static_cast<size_t>(width - left - m));
    return target;
}

} // namespace

int double_to_str(double value, int digits, char *text, int width)
{
    if (text == nullptr)
        return -1;
    if (!std::isfinite(value)) {
        fillStars(text, width);
        return -1;
    }
    int d = std::clamp(digits, 1, kMaxDigits);

    /* 1. The decimal digits, without trailing zeros. */
    char ecvtDigits[kMaxDigits + 16];
    int p = 0;
    int negative = 0;
    if (ecvt_r(value, d, &p, &negative, ecvtDigits, sizeof ecvtDigits) != 0) {
        fillStars(text, width);
        return -1;
    }
    int n = static_cast<int>(std::strlen(ecvtDigits));
    while (n > 0 && ecvtDigits[n - 1] == '0')
        --n;

    /* 2. Room for the digits. */
    int r = negative ? width - 1 : width;
    int q;
    bool mayOverflow = false;
    if (p < 0) {
        /* 3. Below 0.1: "0." and -p zeros before the digits when they fit. */
        if (n - p < r - 1) {
            char *out = text;
            if (negative)
                *out++ = '-';
            *out++ = '0';
            *out++ = '.';
            std::memset(out, '0', static_cast<size_t>(-p));
            out += -p;
            std::memcpy(out, ecvtDigits, static_cast<size_t>(n));
            out[n] = '\0';
            return 0;
        }
        q = r - 5;
        mayOverflow = true;
    } else if (p > r) {
        /* 4. More integer digits than room: exponent form. */
        q = r - 5;
        mayOverflow = true;
    } else {
        /* 5. One place goes to the decimal point when there are decimals. */
        q = (p < n && p < r) ? r - 1 : r;
    }

    /* 6. No room for even one digit with its exponent. */
    if (mayOverflow && q <= 1) {
        fillStars(text, width);
        return -1;
    }

    /* 7. gcvt with the digits that fit (%g with that precision). */
    int precision = std::max(std::min(q, d), 1);
    char out[64];
    std::snprintf(out, sizeof out, "%.*g", precision, value);
    std::strcpy(text, out);
    return 0;
}

int32_t convert_DATE_to_UTC(int32_t date)
{
    int year = 0, month = 0, day = 0;
    if (num_to_date(date, &year, &month, &day) != 0 || year < 1970)
        return 0;
    /* 2038-01-19 03:14:07 is the last second of a 32-bit UTC time; a day
     * after it starts beyond the range. */
    if (year > 2038 || (year == 2038 && (month > 1 || day >= 20)))
        return INT32_MAX;
    int32_t utc = 0;
    if (al_pack_utc(year, month, day, 0, 0, 0, &utc) != 0) {
        log_mesg(kSource, __LINE__, "Date to UTC Convert", 0,
                 "UTC Conversion Error");
        return 0;
    }
    return utc;
}

int32_t convert_UTC_to_DATE(int32_t utc)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (al_unpack_utc(utc, &year, &month, &day, &hour, &minute, &second) != 0) {
        log_mesg(kSource, __LINE__, "UTC to Date Convert", 0,
                 "UTC Conversion Error");
        year = 1970;
        month = 1;
        day = 1;
    }
    return date_to_num(year, month, day);
}

char *ncpystr(char *target, const char *source, int n)
{
    if (target != nullptr && source != nullptr && n > 0)
        std::memmove(target, source, static_cast<size_t>(n));
    return target;
}

char *lcpystr(char *target, const char *source, int width, int length)
{
    return place(target, source, width, length, [](int) { return 0; });
}

char *rcpystr(char *target, const char *source, int width, int length)
{
    return place(target, source, width, length, [](int room) { return room; });
}

char *ccpystr(char *target, const char *source, int width, int length)
{
    return place(target, source, width, length,
                 [](int room) { return room / 2; });
}
