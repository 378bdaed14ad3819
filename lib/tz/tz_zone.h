/*
 * tz_zone.h: the in-memory form of a time zone, loaded from a compiled zone
 * file (TZif, version 1 data) or parsed from a POSIX TZ rule string, and
 * the lookup of the local time type in force at a moment.
 */
#ifndef TZ_ZONE_H
#define TZ_ZONE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tz {

/* A local time type: offset east of UTC, daylight flag, abbreviation. */
struct TimeType {
    int32_t utoff = 0;
    bool isdst = false;
    std::string abbr;
};

/* A leap second record: from this moment on, corr seconds are inserted. */
struct LeapSecond {
    int64_t time = 0;
    int32_t corr = 0;
};

/* A rule date of a POSIX TZ string: Jn, n or Mm.w.d, and a time of day. */
struct RuleDate {
    enum Kind { Julian, ZeroBased, MonthWeekDay } kind = MonthWeekDay;
    int day = 0;    /* Jn: 1-365; n: 0-365; Mm.w.d: d (0 Sunday) */
    int week = 0;   /* Mm.w.d: 1-5 (5 = last) */
    int month = 0;  /* Mm.w.d: 1-12 */
    int32_t time = 7200; /* seconds after local midnight, default 02:00 */
};

struct Zone {
    std::string name;
    /* Transitions: moment and the type in force from it on. */
    std::vector<int64_t> transitions;
    std::vector<uint8_t> transition_types;
    std::vector<TimeType> types;
    std::vector<LeapSecond> leaps;
    /* Rule-string zones with explicit rules compute transitions per year. */
    bool has_rules = false;
    TimeType std_type;
    TimeType dst_type;
    RuleDate start; /* daylight time starts (local standard time) */
    RuleDate end;   /* daylight time ends (local daylight time) */

    /* The type in force at moment t (seconds since 1970 UTC). */
    const TimeType &type_at(int64_t t) const;
    /* The standard type used for offsets and for moments before the first
     * transition: the last non-daylight type, else type 0. */
    const TimeType &standard_type() const;
    bool has_daylight() const;
    /* Total leap-second correction in force at t. */
    int32_t leap_correction(int64_t t) const;
};

/* Largest zone file read. */
constexpr std::size_t kMaxZoneFile = 7484;

/*
 * Loads a zone file: a name beginning with "/" is a path, any other is
 * looked up below ${TSE}/lib/zoneinfo; a leading ":" is dropped. Returns
 * false when the file is missing, too large or not valid TZif data.
 */
bool load_zone_file(std::string_view name, Zone &zone);

/* Parses TZif data (version 1 part) already in memory. */
bool parse_tzif(std::string_view data, Zone &zone);

/*
 * Parses a POSIX TZ rule string ("CET-1CEST,M3.5.0,M10.5.0/3",
 * "<+0330>-3:30", "EST5EDT"). A daylight zone without explicit rules
 * takes its transitions from the zone file "posixrules". Returns false
 * for a malformed string.
 */
bool parse_rule_string(std::string_view text, Zone &zone);

/* The zone used when nothing else loads: UTC named "GMT". */
Zone gmt_zone();

/* Days since 1970-01-01 of a proleptic Gregorian date (month 1-12), and
 * back. */
int64_t days_from_civil(int64_t year, int month, int day);
void civil_from_days(int64_t days, int64_t &year, int &month, int &day);

/* Division rounding towards minus infinity. */
int64_t floor_div(int64_t a, int64_t b);

} // namespace tz

#endif
