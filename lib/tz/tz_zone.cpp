/*
 * tz_zone.cpp: loading time zones. Compiled zone files are read in the
 * TZif format (the version 1 data block: 32-bit transition times); POSIX
 * TZ rule strings are parsed into a standard and a daylight type with the
 * rules of the switch, computed per year when a moment is looked up.
 *
 * TZif header (all integers big-endian):
 *   0  4  "TZif"           20 4 isutcnt   28 4 leapcnt   36 4 typecnt
 *   4  1  version          24 4 isstdcnt  32 4 timecnt   40 4 charcnt
 *   5 15  unused
 * then timecnt 4-byte transition times, timecnt 1-byte type indices,
 * typecnt 6-byte types (4-byte utoff, 1-byte isdst, 1-byte abbr index),
 * charcnt abbreviation bytes, leapcnt 8-byte leap records, isstdcnt and
 * isutcnt indicator bytes.
 */
#include "tz_zone.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "al_env.h"

namespace tz {

/* ---- lookups ------------------------------------------------------------- */

int64_t days_from_civil(int64_t year, int month, int day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

static bool is_leap(int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

void civil_from_days(int64_t days, int64_t &year, int &month, int &day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2);
}

int64_t floor_div(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

/* The year (proleptic Gregorian) of a day count since 1970. */
static int64_t year_of_days(int64_t days)
{
    int64_t year;
    int month, day;
    civil_from_days(days, year, month, day);
    return year;
}

/* Local seconds since 1970 (midnight of the year start) of a rule date. */
static int64_t rule_local_time(const RuleDate &rule, int64_t year)
{
    int64_t day; /* days since 1970 of the rule's date */
    const int64_t jan1 = days_from_civil(year, 1, 1);
    switch (rule.kind) {
    case RuleDate::Julian: {
        /* Jn counts 1-365 and never counts 29 February. */
        int64_t n = rule.day;
        if (is_leap(year) && n >= 60)
            ++n;
        day = jan1 + n - 1;
        break;
    }
    case RuleDate::ZeroBased:
        day = jan1 + rule.day;
        break;
    default: {
        const int64_t first = days_from_civil(year, rule.month, 1);
        /* 1970-01-01 was a Thursday (4). */
        const int64_t first_wday = ((first % 7) + 11) % 7;
        int64_t d = first + ((rule.day - first_wday) % 7 + 7) % 7;
        d += 7LL * (rule.week - 1);
        static const int lengths[12] = {31, 28, 31, 30, 31, 30,
                                        31, 31, 30, 31, 30, 31};
        int length = lengths[rule.month - 1] + (rule.month == 2 && is_leap(year));
        while (d >= first + length)
            d -= 7;
        day = d;
        break;
    }
    }
    return day * 86400 + rule.time;
}

const TimeType &Zone::standard_type() const
{
    if (has_rules)
        return std_type;
    for (auto it = types.rbegin(); it != types.rend(); ++it)
        if (!it->isdst)
            return *it;
    return types.front();
}

bool Zone::has_daylight() const
{
    if (has_rules)
        return true;
    return std::any_of(types.begin(), types.end(),
                       [](const TimeType &t) { return t.isdst; });
}

const TimeType &Zone::type_at(int64_t t) const
{
    if (has_rules) {
        /* The year as seen in standard time is close enough: the switch
         * dates lie months away from the turn of the year. Rules take
         * effect from 1970, where UTC times begin; earlier moments keep the
         * time that the 1970 rules give at the epoch. */
        int64_t year = year_of_days(floor_div(t + std_type.utoff, 86400));
        int64_t when = t;
        if (year < 1970) {
            year = 1970;
            when = 0;
        }
        const int64_t dst_begin = rule_local_time(start, year) - std_type.utoff;
        const int64_t dst_end = rule_local_time(end, year) - dst_type.utoff;
        const bool in_dst = dst_begin < dst_end
                                ? (when >= dst_begin && when < dst_end)
                                : !(when >= dst_end && when < dst_begin);
        return in_dst ? dst_type : std_type;
    }
    if (transitions.empty() || t < transitions.front()) {
        /* Before the first transition: the first standard type. */
        for (const TimeType &type : types)
            if (!type.isdst)
                return type;
        return types.front();
    }
    auto it = std::upper_bound(transitions.begin(), transitions.end(), t);
    const size_t index = static_cast<size_t>(it - transitions.begin()) - 1;
    return types[transition_types[index]];
}

int32_t Zone::leap_correction(int64_t t) const
{
    int32_t corr = 0;
    for (const LeapSecond &leap : leaps)
        if (t >= leap.time)
            corr = leap.corr;
    return corr;
}

Zone gmt_zone()
{
    Zone zone;
    zone.name = "GMT";
    zone.types.push_back(TimeType{0, false, "GMT"});
    return zone;
}

/* ---- TZif ---------------------------------------------------------------- */

static int32_t be32(const unsigned char *p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 |
                                static_cast<uint32_t>(p[1]) << 16 |
                                static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

bool parse_tzif(std::string_view data, Zone &zone)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data.data());
    if (data.size() < 44 || data.substr(0, 4) != "TZif")
        return false;
    const int32_t isutcnt = be32(p + 20), isstdcnt = be32(p + 24),
                  leapcnt = be32(p + 28), timecnt = be32(p + 32),
                  typecnt = be32(p + 36), charcnt = be32(p + 40);
    if (isutcnt < 0 || isstdcnt < 0 || leapcnt < 0 || timecnt < 0 ||
        typecnt < 1 || typecnt > 256 || charcnt < 0 ||
        (isutcnt != 0 && isutcnt != typecnt) ||
        (isstdcnt != 0 && isstdcnt != typecnt))
        return false;
    const uint64_t need = 44ULL + 5ULL * timecnt + 6ULL * typecnt + charcnt +
                          8ULL * leapcnt + isstdcnt + isutcnt;
    if (need > data.size())
        return false;

    Zone loaded;
    const unsigned char *q = p + 44;
    for (int32_t i = 0; i < timecnt; ++i, q += 4)
        loaded.transitions.push_back(be32(q));
    for (int32_t i = 0; i < timecnt; ++i, ++q) {
        if (*q >= typecnt)
            return false;
        loaded.transition_types.push_back(*q);
    }
    const unsigned char *types = q;
    const char *chars = reinterpret_cast<const char *>(q + 6 * typecnt);
    for (int32_t i = 0; i < typecnt; ++i, q += 6) {
        TimeType type;
        type.utoff = be32(q);
        if (q[4] > 1 || q[5] >= std::max(charcnt, 1))
            return false;
        type.isdst = q[4] == 1;
        if (charcnt > 0) {
            const char *a = chars + q[5];
            type.abbr.assign(a, strnlen(a, static_cast<size_t>(charcnt - q[5])));
        }
        loaded.types.push_back(type);
    }
    (void)types;
    q += charcnt;
    for (int32_t i = 0; i < leapcnt; ++i, q += 8)
        loaded.leaps.push_back(LeapSecond{be32(q), be32(q + 4)});
    if (!std::is_sorted(loaded.transitions.begin(), loaded.transitions.end()))
        return false;
    loaded.name = zone.name;
    zone = std::move(loaded);
    return true;
}

bool load_zone_file(std::string_view name, Zone &zone)
{
    if (!name.empty() && name.front() == ':')
        name.remove_prefix(1);
    if (name.empty())
        return false;
    std::string path;
    if (name.front() == '/') {
        path = std::string(name);
    } else {
        path = std::string(get_tse()) + "/lib/zoneinfo/" + std::string(name);
        if (path.size() >= 1024)
            return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string data;
    data.resize(kMaxZoneFile + 1);
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    const auto got = static_cast<size_t>(in.gcount());
    if (got > kMaxZoneFile)
        return false; /* too large to be read whole */
    data.resize(got);
    Zone loaded;
    loaded.name = std::string(name);
    if (!parse_tzif(data, loaded))
        return false;
    zone = std::move(loaded);
    return true;
}

/* ---- POSIX TZ rule strings ----------------------------------------------- */

namespace {

struct RuleParser {
    std::string_view s;
    size_t i = 0;

    bool done() const { return i >= s.size(); }
    char peek() const { return done() ? '\0' : s[i]; }

    /* A zone abbreviation: 3 or more letters, or <...> of [A-Za-z0-9+-]. */
    bool name(std::string &out)
    {
        out.clear();
        if (peek() == '<') {
            ++i;
            while (!done() && peek() != '>') {
                char c = peek();
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' &&
                    c != '-')
                    return false;
                out += c;
                ++i;
            }
            if (peek() != '>')
                return false;
            ++i;
        } else {
            while (std::isalpha(static_cast<unsigned char>(peek())))
                out += s[i++];
        }
        return out.size() >= 3;
    }

    bool number(int &value, int max)
    {
        if (!std::isdigit(static_cast<unsigned char>(peek())))
            return false;
        value = 0;
        while (std::isdigit(static_cast<unsigned char>(peek()))) {
            value = value * 10 + (s[i++] - '0');
            if (value > max)
                return false;
        }
        return true;
    }

    /* [+-]hh[:mm[:ss]] as seconds; max_hours bounds the hours. */
    bool time(int32_t &seconds, int max_hours)
    {
        int sign = 1;
        if (peek() == '+' || peek() == '-')
            sign = s[i++] == '-' ? -1 : 1;
        int h = 0, m = 0, sec = 0;
        if (!number(h, max_hours))
            return false;
        if (peek() == ':') {
            ++i;
            if (!number(m, 59))
                return false;
            if (peek() == ':') {
                ++i;
                if (!number(sec, 59))
                    return false;
            }
        }
        seconds = sign * (h * 3600 + m * 60 + sec);
        return true;
    }

    bool rule_date(RuleDate &date)
    {
        if (peek() == 'J') {
            ++i;
            date.kind = RuleDate::Julian;
            if (!number(date.day, 365) || date.day < 1)
                return false;
        } else if (peek() == 'M') {
            ++i;
            date.kind = RuleDate::MonthWeekDay;
            if (!number(date.month, 12) || date.month < 1 || peek() != '.')
                return false;
            ++i;
            if (!number(date.week, 5) || date.week < 1 || peek() != '.')
                return false;
            ++i;
            if (!number(date.day, 6))
                return false;
        } else {
            date.kind = RuleDate::ZeroBased;
            if (!number(date.day, 365))
                return false;
        }
        date.time = 7200;
        if (peek() == '/') {
            ++i;
            if (!time(date.time, 167))
                return false;
        }
        return true;
    }
};

/*
 * Moves the transitions of the "posixrules" zone to a zone with other
 * standard and daylight offsets: each switch happens at the same local
 * wall-clock time, read in the kind of time (standard or daylight) in
 * force before it.
 */
bool rules_from_posixrules(Zone &zone)
{
    Zone rules;
    if (!load_zone_file("posixrules", rules) || rules.transitions.empty())
        return false;
    std::vector<int64_t> moved;
    std::vector<uint8_t> kinds;
    bool before_dst = false;
    int32_t before_offset = rules.standard_type().utoff;
    for (size_t k = 0; k < rules.transitions.size(); ++k) {
        const TimeType &after = rules.types[rules.transition_types[k]];
        const int32_t new_before =
            before_dst ? zone.dst_type.utoff : zone.std_type.utoff;
        moved.push_back(rules.transitions[k] + before_offset - new_before);
        kinds.push_back(after.isdst ? 1 : 0);
        before_dst = after.isdst;
        before_offset = after.utoff;
    }
    zone.types = {zone.std_type, zone.dst_type};
    zone.transitions = std::move(moved);
    zone.transition_types = std::move(kinds);
    zone.has_rules = false;
    return std::is_sorted(zone.transitions.begin(), zone.transitions.end());
}

} // namespace

bool parse_rule_string(std::string_view text, Zone &zone)
{
    RuleParser p{text};
    Zone parsed;
    parsed.name = std::string(text);
    int32_t std_west = 0;
    if (!p.name(parsed.std_type.abbr) || !p.time(std_west, 24))
        return false;
    parsed.std_type.utoff = -std_west;
    parsed.std_type.isdst = false;

    if (p.done()) {
        parsed.types = {parsed.std_type};
        zone = std::move(parsed);
        return true;
    }
    if (!p.name(parsed.dst_type.abbr))
        return false;
    parsed.dst_type.isdst = true;
    parsed.dst_type.utoff = parsed.std_type.utoff + 3600;
    if (!p.done() && p.peek() != ',') {
        int32_t dst_west = 0;
        if (!p.time(dst_west, 24))
            return false;
        parsed.dst_type.utoff = -dst_west;
    }
    if (p.done()) {
        if (!rules_from_posixrules(parsed))
            return false;
        zone = std::move(parsed);
        return true;
    }
    if (p.peek() != ',')
        return false;
    ++p.i;
    if (!p.rule_date(parsed.start) || p.peek() != ',')
        return false;
    ++p.i;
    if (!p.rule_date(parsed.end) || !p.done())
        return false;
    parsed.has_rules = true;
    parsed.types = {parsed.std_type, parsed.dst_type};
    zone = std::move(parsed);
    return true;
}

} // namespace tz
