/*
 * Time zones against the real peer: glibc's localtime_r, mktime and
 * timegm with the system's zone files and the same POSIX TZ strings.
 * Also malformed zone data, the zone name functions, asctime and the
 * two-digit-year check of strftime.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "al_date.h"
#include "run_program.h"
#include "tz_zone.h"

namespace {

const std::string kZoneinfo = "/usr/share/zoneinfo/";

/* Points both glibc and our layer at the same zone. */
void useZone(const std::string &name)
{
    const bool isFile = name.find(',') == std::string::npos &&
                        std::ifstream(kZoneinfo + name).good();
    if (isFile) {
        setenv("TZ", (":" + kZoneinfo + name).c_str(), 1);
        trel_timezone_set((kZoneinfo + name).c_str());
    } else {
        setenv("TZ", name.c_str(), 1);
        trel_timezone_set(name.c_str());
    }
    tzset();
    trel_tzset();
}

std::string describe(const struct tm &tm)
{
    char text[128];
    std::snprintf(text, sizeof text,
                  "%04d-%02d-%02d %02d:%02d:%02d wday %d yday %d dst %d off %ld %s",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, tm.tm_wday, tm.tm_yday, tm.tm_isdst,
                  tm.tm_gmtoff, tm.tm_zone != nullptr ? tm.tm_zone : "(null)");
    return text;
}

/* Moments to compare: a spread over the 32-bit range and random ones. */
std::vector<time_t> sampleMoments()
{
    std::vector<time_t> moments;
    for (int64_t t = -2147483647LL + 86400; t < 2147483647LL; t += 3 * 86400 + 3607)
        moments.push_back(static_cast<time_t>(t));
    std::mt19937 rng(42);
    std::uniform_int_distribution<int64_t> any(-2147483647LL + 86400, 2147483646LL);
    for (int i = 0; i < 20000; ++i)
        moments.push_back(static_cast<time_t>(any(rng)));
    return moments;
}

class ZoneAgainstGlibc : public testing::TestWithParam<const char *> {
protected:
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
        trel_timezone_set(nullptr);
    }
};

TEST_P(ZoneAgainstGlibc, LocaltimeMatches)
{
    useZone(GetParam());
    for (time_t t : sampleMoments()) {
        struct tm expected {};
        localtime_r(&t, &expected);
        struct tm *ours = trel_localtime(&t);
        ASSERT_NE(ours, nullptr) << t;
        ASSERT_EQ(describe(*ours), describe(expected)) << "t = " << t;
    }
}

TEST_P(ZoneAgainstGlibc, MktimeMatchesOutsideRepeatedHours)
{
    useZone(GetParam());
    std::mt19937 rng(7);
    std::uniform_int_distribution<int64_t> any(-2000000000LL, 2100000000LL);
    int compared = 0;
    for (int i = 0; i < 20000; ++i) {
        time_t t = static_cast<time_t>(any(rng));
        struct tm local {};
        localtime_r(&t, &local);
        /* Skip local times that occur twice (an ambiguous wall clock). */
        time_t hourBefore = t - 3 * 3600, hourAfter = t + 3 * 3600;
        struct tm b {}, a {};
        localtime_r(&hourBefore, &b);
        localtime_r(&hourAfter, &a);
        if (b.tm_gmtoff != a.tm_gmtoff)
            continue;
        struct tm ours = local;
        ours.tm_isdst = -1;
        struct tm theirs = ours;
        ASSERT_EQ(trel_mktime(&ours), mktime(&theirs)) << describe(local);
        ASSERT_EQ(describe(ours), describe(theirs));
        ++compared;
    }
    EXPECT_GT(compared, 15000);
}

INSTANTIATE_TEST_SUITE_P(
    SystemZones, ZoneAgainstGlibc,
    testing::Values("Europe/Amsterdam", "America/New_York", "Asia/Kolkata",
                    "Australia/Lord_Howe", "America/Sao_Paulo", "Pacific/Chatham",
                    "Europe/Dublin", "Africa/Casablanca", "UTC", "Asia/Tehran",
                    "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                    "AEST-10AEDT,M10.1.0,M4.1.0/3", "<+0330>-3:30", "JST-9",
                    "<-03>3", "XXX3YYY,J60/0,J300/25", "ABC5DEF4,0/0,300/1:30"),
    [](const testing::TestParamInfo<const char *> &info) {
        std::string name;
        for (const char *p = info.param; *p != '\0'; ++p)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

TEST(ZoneGaps, LocalTimeInASpringGapMovesForwardLikeGlibc)
{
    useZone("Europe/Amsterdam");
    struct tm ours {};
    ours.tm_year = 2024 - 1900;
    ours.tm_mon = 2;
    ours.tm_mday = 31;
    ours.tm_hour = 2;
    ours.tm_min = 30;
    ours.tm_isdst = -1;
    struct tm theirs = ours;
    time_t t = trel_mktime(&ours);
    EXPECT_EQ(t, mktime(&theirs));
    EXPECT_EQ(ours.tm_hour, 3);
    EXPECT_EQ(ours.tm_isdst, 1);
    unsetenv("TZ");
    trel_timezone_set(nullptr);
}

TEST(ZoneGaps, RepeatedHourFollowsTheDaylightFlag)
{
    useZone("Europe/Amsterdam");
    for (int isdst : {0, 1}) {
        struct tm ours {};
        ours.tm_year = 2024 - 1900;
        ours.tm_mon = 9;
        ours.tm_mday = 27;
        ours.tm_hour = 2;
        ours.tm_min = 30;
        ours.tm_isdst = isdst;
        struct tm theirs = ours;
        EXPECT_EQ(trel_mktime(&ours), mktime(&theirs)) << isdst;
        EXPECT_EQ(ours.tm_isdst, isdst);
    }
    unsetenv("TZ");
    trel_timezone_set(nullptr);
}

TEST(Timegm, NormalisesOutOfRangeFieldsLikeGlibc)
{
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> field(-400, 400);
    for (int i = 0; i < 5000; ++i) {
        struct tm ours {};
        ours.tm_year = 70 + field(rng) / 8;
        ours.tm_mon = field(rng) / 10;
        ours.tm_mday = field(rng);
        ours.tm_hour = field(rng);
        ours.tm_min = field(rng);
        ours.tm_sec = field(rng);
        struct tm theirs = ours;
        ASSERT_EQ(trel_timegm(&ours), timegm(&theirs));
        ASSERT_EQ(describe(ours), describe(theirs));
    }
}

TEST(Timegm, YearsOutsideTheSystemRangeFail)
{
    struct tm tm {};
    tm.tm_year = 10000 - 1900;
    tm.tm_mday = 1;
    EXPECT_EQ(trel_timegm(&tm), -1);
    tm.tm_year = -1900;
    EXPECT_EQ(trel_timegm(&tm), -1);
}

TEST(Asctime, MatchesGlibcAndMarksBadFields)
{
    for (time_t t : {static_cast<time_t>(0), static_cast<time_t>(951782400),
                     static_cast<time_t>(2147483647)}) {
        struct tm tm {};
        gmtime_r(&t, &tm);
        char expected[64];
        asctime_r(&tm, expected);
        EXPECT_STREQ(trel_asctime(&tm), expected);
    }
    struct tm bad {};
    bad.tm_wday = 9;
    bad.tm_mon = -1;
    bad.tm_mday = 5;
    bad.tm_year = 100;
    EXPECT_STREQ(trel_asctime(&bad), "??? ???  5 00:00:00 2000\n");
}

TEST(ZoneNames, ValidityOfFilesAndRuleStrings)
{
    EXPECT_EQ(trel_timezone_is_valid((kZoneinfo + "Europe/Amsterdam").c_str()), 1);
    EXPECT_EQ(trel_timezone_is_valid("CET-1CEST,M3.5.0,M10.5.0/3"), 1);
    EXPECT_EQ(trel_timezone_is_valid("JST-9"), 1);
    EXPECT_EQ(trel_timezone_is_valid("Not/A_Zone"), 0);
    EXPECT_EQ(trel_timezone_is_valid(":JST-9"), 0) << "a colon name is a file only";
    EXPECT_EQ(trel_timezone_is_valid("AB-1"), 0) << "abbreviations have 3 letters";
    EXPECT_EQ(trel_timezone_is_valid("CET-1CEST,M13.5.0,M10.5.0"), 0);
    EXPECT_EQ(trel_timezone_is_valid("CET-1CEST,M3.5.0"), 0);
    EXPECT_EQ(trel_timezone_is_valid(""), 0);
}

TEST(ZoneNames, UnknownZoneFallsBackToGmt)
{
    trel_timezone_set("No/Such_Zone");
    trel_tzset();
    EXPECT_EQ(al_tz_standard_offset(), 0);
    EXPECT_STREQ(al_tz_abbreviation(0), "GMT");
    char name[64];
    EXPECT_STREQ(trel_timezone_get(name, sizeof name), "No/Such_Zone");
    time_t t = 1700000000;
    EXPECT_EQ(trel_localtime(&t)->tm_hour, trel_gmtime(&t)->tm_hour);
    trel_timezone_set(nullptr);
}

TEST(ZoneNames, StandardOffsetIsWestOfUtc)
{
    trel_timezone_set((kZoneinfo + "Europe/Amsterdam").c_str());
    EXPECT_EQ(al_tz_standard_offset(), -3600);
    EXPECT_EQ(al_tz_daylight(), 1);
    EXPECT_STREQ(al_tz_abbreviation(0), "CET");
    EXPECT_STREQ(al_tz_abbreviation(1), "CEST");
    trel_timezone_set("<-03>3");
    EXPECT_EQ(al_tz_standard_offset(), 3 * 3600);
    EXPECT_EQ(al_tz_daylight(), 0);
    trel_timezone_set(nullptr);
}

TEST(ZoneFiles, MalformedDataNeverLoads)
{
    std::ifstream in(kZoneinfo + "Europe/Amsterdam", std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(data.size(), 100u);
    tz::Zone zone;
    ASSERT_TRUE(tz::parse_tzif(data, zone));
    for (size_t cut = 0; cut < 44 + 13 * 5; ++cut)
        EXPECT_FALSE(tz::parse_tzif(data.substr(0, cut), zone)) << cut;
    std::mt19937 rng(11);
    for (int i = 0; i < 2000; ++i) {
        std::string broken = data;
        for (int k = 0; k < 4; ++k)
            broken[rng() % broken.size()] = static_cast<char>(rng());
        tz::Zone z;
        if (tz::parse_tzif(broken, z)) {
            time_t t = static_cast<time_t>(rng());
            (void)z.type_at(t); /* must stay in bounds */
        }
    }
    std::string wrongMagic = data;
    wrongMagic[0] = 'X';
    EXPECT_FALSE(tz::parse_tzif(wrongMagic, zone));
}

TEST(ZoneFiles, TooLargeFileIsRefused)
{
    tdbtest::TempDir dir;
    std::ifstream in(kZoneinfo + "UTC", std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string path = dir.write("big", data + std::string(tz::kMaxZoneFile, '\0'));
    tz::Zone zone;
    EXPECT_FALSE(tz::load_zone_file(path, zone));
    path = dir.write("fits", data);
    EXPECT_TRUE(tz::load_zone_file(path, zone));
}

TEST(Strftime, TwoDigitYearsAreReported)
{
    struct tm tm {};
    tm.tm_year = 124;
    tm.tm_mday = 1;
    char out[64];
    setenv("CHECK_STRFTIME_FORMATS_FOR_TWO_DIGIT_YEARS", "1", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(trel_strftime(out, sizeof out, "%d.%m.%y", &tm), 8u);
    trel_strftime(out, sizeof out, "%Y-%m-%d", &tm);
    trel_strftime(out, sizeof out, nullptr, &tm);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("CHECK_STRFTIME_FORMATS_FOR_TWO_DIGIT_YEARS");
    EXPECT_EQ(err, "strftime format \"%d.%m.%y\" yields only two digits of years in all locales\n"
                   "NULL strftime format \n");
    EXPECT_STREQ(out, "2024-01-01");
}

} // namespace

/* ---- zones under the root and the "posixrules" file ---------------------- */

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "al_env.h"
#include "al_user.h"

namespace {

/* Runs body in a child whose root holds lib/zoneinfo (a link to the
 * system's zone files); the result is the child's exit status. */
template <typename Body>
int withZoneinfoRoot(Body body)
{
    tdbtest::TempDir root;
    std::filesystem::create_directories(root.path() + "/lib");
    std::filesystem::create_directory_symlink("/usr/share/zoneinfo",
                                              root.path() + "/lib/zoneinfo");
    pid_t pid = fork();
    if (pid == 0) {
        set_tse(root.path().c_str());
        body();
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(ZoneFiles, NamesAreLookedUpBelowTheRoot)
{
    EXPECT_EQ(withZoneinfoRoot([] {
                  trel_timezone_set("Asia/Kolkata");
                  EXPECT_EQ(al_tz_standard_offset(), -19800);
                  EXPECT_STREQ(al_tz_abbreviation(0), "IST");
              }),
              0);
}

TEST(ZoneFiles, UsersTimezoneSettingSelectsTheZone)
{
    EXPECT_EQ(withZoneinfoRoot([] {
                  trel_timezone_set(nullptr);
                  std::snprintf(user_info.timezone, sizeof user_info.timezone, "%s",
                                "America/Sao_Paulo");
                  EXPECT_EQ(al_tz_standard_offset(), 3 * 3600);
                  /* A change of the setting loads the new zone. */
                  std::snprintf(user_info.timezone, sizeof user_info.timezone, "%s",
                                "Europe/Amsterdam");
                  EXPECT_EQ(al_tz_standard_offset(), -3600);
              }),
              0);
}

TEST(ZoneFiles, RuleStringWithoutRulesTakesThemFromPosixrules)
{
    /* posixrules is America/New_York: CST6CDT without rules must switch at
     * the same local wall-clock times, which is what America/Chicago did
     * from 1970 on. */
    EXPECT_EQ(withZoneinfoRoot([] {
                  setenv("TZ", ":/usr/share/zoneinfo/America/Chicago", 1);
                  tzset();
                  trel_timezone_set("CST6CDT");
                  /* Every half hour, so each switch is seen on both sides. */
                  for (int64_t step = 0; step < 2145000000LL; step += 1799) {
                      time_t t = static_cast<time_t>(step);
                      struct tm expected {};
                      localtime_r(&t, &expected);
                      struct tm *ours = trel_localtime(&t);
                      ASSERT_NE(ours, nullptr);
                      ASSERT_EQ(ours->tm_hour, expected.tm_hour) << t;
                      ASSERT_EQ(ours->tm_isdst, expected.tm_isdst) << t;
                      ASSERT_EQ(ours->tm_gmtoff, expected.tm_gmtoff) << t;
                  }
              }),
              0);
}

} // namespace
