/*
 * tz_time.cpp: conversions between UTC times and broken-down local or UTC
 * time under the user's time zone: zone selection (trel_tzset),
 * trel_localtime, trel_gmtime, trel_mktime, trel_timegm, trel_ctime,
 * trel_asctime, trel_strftime and the zone name functions.
 *
 * The zone in force is the one imposed with trel_timezone_set, else the
 * user's `timezone` setting; it is loaded again only when its name
 * changes. Without a name the zone file "localtime" is used, and "GMT"
 * when nothing loads.
 */
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "al_date.h"
#include "al_log.h"
#include "al_user.h"
#include "tz_zone.h"

namespace {

constexpr size_t kMaxZoneName = 50;

tz::Zone current_zone = tz::gmt_zone();
std::string loaded_name;     /* name of the zone loaded last */
bool loaded_any = false;     /* whether a zone was selected yet */
std::string imposed_name;    /* trel_timezone_set */

long standard_offset_west = 0;
int daylight_flag = 0;
std::string abbreviations[2] = {"WILDABBR", "WILDABBR"};

/* Loads a zone by name: zone file first, then a rule string, else GMT. */
tz::Zone load_named(const std::string &name)
{
    tz::Zone zone;
    if (tz::load_zone_file(name, zone))
        return zone;
    if (name.front() != ':' && tz::parse_rule_string(name, zone))
        return zone;
    return tz::gmt_zone();
}

void publish_zone_values(void)
{
    const tz::TimeType &standard = current_zone.standard_type();
    standard_offset_west = -static_cast<long>(standard.utoff);
    daylight_flag = current_zone.has_daylight() ? 1 : 0;
    abbreviations[0] = standard.abbr;
    abbreviations[1] = standard.abbr;
    for (const tz::TimeType &type : current_zone.types)
        if (type.isdst)
            abbreviations[1] = type.abbr;
    if (current_zone.has_rules)
        abbreviations[1] = current_zone.dst_type.abbr;
}

/* Years the broken-down functions accept: the system's date range. */
bool year_in_range(int64_t year)
{
    return year >= 1 && year <= 9999;
}

/* Breaks seconds since 1970 (already shifted to local time) down. */
bool breakdown(int64_t local, struct tm &tm)
{
    const int64_t days = tz::floor_div(local, 86400);
    const int64_t secs = local - days * 86400;
    int64_t year;
    int month, day;
    tz::civil_from_days(days, year, month, day);
    if (year - 1900 > INT_MAX || year - 1900 < INT_MIN)
        return false;
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = static_cast<int>(secs / 3600);
    tm.tm_min = static_cast<int>(secs % 3600 / 60);
    tm.tm_sec = static_cast<int>(secs % 60);
    tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);
    tm.tm_yday = static_cast<int>(days - tz::days_from_civil(year, 1, 1));
    return true;
}

/* Fields as seconds since 1970, normalising out-of-range fields. */
bool fields_to_seconds(const struct tm &tm, int64_t &seconds)
{
    const int64_t year =
        static_cast<int64_t>(tm.tm_year) + 1900 + tz::floor_div(tm.tm_mon, 12);
    const int month = static_cast<int>(tm.tm_mon - tz::floor_div(tm.tm_mon, 12) * 12) + 1;
    if (year < -10000 || year > 20000)
        return false;
    const int64_t days = tz::days_from_civil(year, month, 1) + tm.tm_mday - 1;
    seconds = days * 86400 + static_cast<int64_t>(tm.tm_hour) * 3600 +
              static_cast<int64_t>(tm.tm_min) * 60 + tm.tm_sec;
    return true;
}

void log_out_of_range(const struct tm &tm)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    log_mesg("lib/tz/tz_time.cpp", __LINE__, "trel_mktime", 0,
             "Bad or out-of-range, tmp=%s", text);
}

/* Abbreviation storage of the static results (tm_zone points into it). */
char local_abbr[16];
char gmt_abbr[] = "GMT";

} // namespace

/* ---- zone selection ------------------------------------------------------ */

void trel_tzset(void)
{
    std::string name = imposed_name;
    if (name.empty())
        name = std::string(user_info.timezone,
                           strnlen(user_info.timezone, kMaxZoneName));
    if (name.empty()) {
        if (loaded_any && loaded_name.empty())
            return;
        tz::Zone zone;
        current_zone = tz::load_zone_file("localtime", zone) ? zone
                                                             : tz::gmt_zone();
    } else {
        if (loaded_any && name == loaded_name)
            return;
        current_zone = load_named(name);
    }
    loaded_name = name;
    loaded_any = true;
    publish_zone_values();
}

void trel_timezone_set(const char *name)
{
    imposed_name = name != nullptr ? std::string(name, strnlen(name, kMaxZoneName))
                                   : std::string();
}

char *trel_timezone_get(char *buffer, size_t size)
{
    trel_tzset();
    if (size > 0)
        std::snprintf(buffer, size, "%s",
                      loaded_name.empty() ? "localtime" : loaded_name.c_str());
    return buffer;
}

int trel_timezone_is_valid(const char *name)
{
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > kMaxZoneName)
        return 0;
    tz::Zone zone;
    if (tz::load_zone_file(name, zone))
        return 1;
    return name[0] != ':' && tz::parse_rule_string(name, zone) ? 1 : 0;
}

long al_tz_standard_offset(void)
{
    trel_tzset();
    return standard_offset_west;
}

int al_tz_daylight(void)
{
    trel_tzset();
    return daylight_flag;
}

const char *al_tz_abbreviation(int daylight)
{
    trel_tzset();
    return abbreviations[daylight ? 1 : 0].c_str();
}

/* ---- conversions --------------------------------------------------------- */

struct tm *trel_gmtime(const time_t *t)
{
    static struct tm result;
    struct tm tm {};
    if (t == nullptr || !breakdown(*t, tm))
        return nullptr;
    tm.tm_isdst = 0;
    tm.tm_gmtoff = 0;
    tm.tm_zone = gmt_abbr;
    result = tm;
    return &result;
}

struct tm *trel_localtime(const time_t *t)
{
    static struct tm result;
    if (t == nullptr)
        return nullptr;
    trel_tzset();
    const tz::TimeType &type = current_zone.type_at(*t);
    const int64_t local =
        static_cast<int64_t>(*t) + type.utoff - current_zone.leap_correction(*t);
    struct tm tm {};
    if (!breakdown(local, tm))
        return nullptr;
    tm.tm_isdst = type.isdst ? 1 : 0;
    tm.tm_gmtoff = type.utoff;
    std::snprintf(local_abbr, sizeof local_abbr, "%s", type.abbr.c_str());
    tm.tm_zone = local_abbr;
    result = tm;
    return &result;
}

time_t trel_timegm(struct tm *tm)
{
    int64_t seconds;
    struct tm normal {};
    if (tm == nullptr || !fields_to_seconds(*tm, seconds) ||
        !breakdown(seconds, normal) || !year_in_range(normal.tm_year + 1900LL)) {
        if (tm != nullptr)
            log_out_of_range(*tm);
        return -1;
    }
    normal.tm_isdst = 0;
    normal.tm_gmtoff = 0;
    normal.tm_zone = gmt_abbr;
    *tm = normal;
    return static_cast<time_t>(seconds);
}

time_t trel_mktime(struct tm *tm)
{
    int64_t local;
    if (tm == nullptr || !fields_to_seconds(*tm, local)) {
        if (tm != nullptr)
            log_out_of_range(*tm);
        return -1;
    }
    trel_tzset();

    /* Find t with t + offset(t) = local: iterate on the offset. A fixed
     * point is a valid time; an oscillation means the local time falls in
     * a gap, and the offset in force before the gap is taken (the time
     * moves forward by the gap). */
    int64_t t = local - current_zone.standard_type().utoff;
    for (int round = 0; round < 8; ++round) {
        const int64_t next = local - current_zone.type_at(t).utoff;
        if (next == t)
            break;
        const int64_t after = local - current_zone.type_at(next).utoff;
        if (after == next) {
            t = next;
            break;
        }
        if (after == t) {
            const int64_t earlier = t < next ? t : next;
            t = local - current_zone.type_at(earlier).utoff;
            break;
        }
        t = after;
    }
    /* In a repeated hour, honour an explicit daylight flag. */
    if (tm->tm_isdst >= 0 && current_zone.type_at(t).isdst != (tm->tm_isdst > 0)) {
        for (const tz::TimeType &type : current_zone.types) {
            if (type.isdst != (tm->tm_isdst > 0))
                continue;
            const int64_t candidate = local - type.utoff;
            if (current_zone.type_at(candidate).utoff == type.utoff) {
                t = candidate;
                break;
            }
        }
    }
    const time_t result = static_cast<time_t>(t);
    struct tm *normal = trel_localtime(&result);
    if (normal == nullptr || !year_in_range(normal->tm_year + 1900LL)) {
        log_out_of_range(*tm);
        return -1;
    }
    *tm = *normal;
    return result;
}

char *trel_asctime(const struct tm *tm)
{
    static const char weekdays[7][4] = {"Sun", "Mon", "Tue", "Wed",
                                        "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr",
                                       "May", "Jun", "Jul", "Aug",
                                       "Sep", "Oct", "Nov", "Dec"};
    static char text[80];
    const char *wday = tm->tm_wday >= 0 && tm->tm_wday < 7 ? weekdays[tm->tm_wday] : "???";
    const char *mon = tm->tm_mon >= 0 && tm->tm_mon < 12 ? months[tm->tm_mon] : "???";
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %02d:%02d:%02d %d\n", wday,
                  mon, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec,
                  1900 + tm->tm_year);
    return text;
}

char *trel_ctime(const time_t *t)
{
    struct tm *tm = trel_localtime(t);
    return tm != nullptr ? trel_asctime(tm) : nullptr;
}

/* ---- strftime ------------------------------------------------------------ */

namespace {

/* Whether a locale-dependent conversion shows a four-digit year here. */
bool shows_full_year(const char *conversion)
{
    struct tm probe {};
    probe.tm_year = 2087 - 1900;
    probe.tm_mon = 6;
    probe.tm_mday = 15;
    char out[128];
    if (std::strftime(out, sizeof out, conversion, &probe) == 0)
        return false;
    return std::strstr(out, "2087") != nullptr;
}

/* Reports a format whose output holds a two-digit year. */
void check_two_digit_years(const char *format)
{
    if (format == nullptr) {
        std::fprintf(stderr, "NULL strftime format \n");
        return;
    }
    const char *scope = nullptr;
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%' || p[1] == '\0')
            continue;
        ++p;
        while (*p == 'E' || *p == 'O' || *p == '_' || *p == '-' || *p == '0' ||
               *p == '^' || *p == '#')
            ++p;
        if (*p == 'y' || *p == 'g' || *p == 'D') {
            scope = "all locales";
            break;
        }
        if (*p == 'x' || *p == 'c') {
            const char conversion[3] = {'%', *p, '\0'};
            scope = shows_full_year(conversion) ? "some locales"
                                                : "the current locale";
        }
    }
    if (scope != nullptr)
        std::fprintf(stderr, "strftime format \"%s\" yields only two digits of years in %s\n",
                     format, scope);
}

} // namespace

size_t trel_strftime(char *s, size_t max, const char *format,
                     const struct tm *tm)
{
    if (std::getenv("CHECK_STRFTIME_FORMATS_FOR_TWO_DIGIT_YEARS") != nullptr)
        check_two_digit_years(format);
    if (format == nullptr || s == nullptr || tm == nullptr)
        return 0;
    return std::strftime(s, max, format, tm);
}
