/*
 * al_user_test.cpp: tests of the OS and Trel user names, user
 * initialisation with real user files under a private root (statuses 0-4,
 * working hours around the current time), the environment it sets, the
 * conversion functions of the user record, the date patterns and the
 * date/currency table. Every test that initialises runs in a forked child.
 */
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "al_env.h"
#include "al_res.h"
#include "al_user.h"
#include "env_test_support.h"
#include "run_program.h"

using envtest::cleanEnvironment;
using envtest::inChild;
using envtest::logText;
using envtest::occurrences;
using envtest::startLogging;
using tdbtest::TempDir;

namespace {

const char kProg[] = "usertest";

/* The OS user of the test process. */
std::string osUser()
{
    struct passwd *pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : "";
}

/* A private root and working directory; children start from them. */
class UserTest : public ::testing::Test {
protected:
    TempDir cwd_, root_;

    /* Clean environment, USER (null: unset), logging and the program name. */
    void start(const char *user = "tester") const
    {
        cleanEnvironment(cwd_.path(), user);
        startLogging(root_, kProg);
        BaseInit(kProg);
    }

    void userFile(const std::string &user, const std::string &content) const
    {
        root_.write("lib/user/u/u" + user, content);
    }

    std::string log() const { return logText(root_, kProg); }
};

/* HHMM of the local time shifted by hours (wrapping at midnight). */
int hhmmShifted(int hours)
{
    time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return ((local.tm_hour + hours + 24) % 24) * 100 + local.tm_min;
}

} // namespace

/* ---- user names ------------------------------------------------------------- */

TEST_F(UserTest, TrelUserOfEightCharactersIsAcceptedNineIsRefused)
{
    inChild([&] {
        start();
        setenv("USER", "abcdefgh", 1);
        EXPECT_EQ(initUsernames(1), 1);
        EXPECT_STREQ(get_trel_user(), "abcdefgh");
        EXPECT_STREQ(user_info.trel_user, "abcdefgh");
        EXPECT_EQ(user_info.name_explicit, 1);
        setenv("USER", "abcdefghi", 1);
        EXPECT_EQ(initUsernames(1), 0);
        EXPECT_STREQ(get_trel_user(), "abcdefgh");
        EXPECT_EQ(occurrences(log(), "Current user 'abcdefghi' is not a valid Trel user: "
                                     "name is too long (exceeds 8 characters)"),
                  1);
        EXPECT_EQ(initUsernames(0), 0);
        EXPECT_EQ(occurrences(log(), "abcdefghi"), 1) << "no report without the flag";
    });
}

TEST_F(UserTest, WithoutUserAndMappingTheBootOrOsUserIsLowerCased)
{
    inChild([&] {
        start(nullptr);
        setenv("IPC_BOOT_USER", "JSmith", 1);
        EXPECT_EQ(initUsernames(1), 1);
        EXPECT_STREQ(get_trel_user(), "jsmith");
        EXPECT_EQ(user_info.name_explicit, 0);
        unsetenv("IPC_BOOT_USER");
        std::string expected = osUser();
        for (char &c : expected)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(initUsernames(1), 1);
        EXPECT_EQ(std::string(get_trel_user()), expected);
        EXPECT_EQ(std::string(get_os_user()), osUser());
    });
}

TEST_F(UserTest, MappingFileNamesTheTrelUserExplicitly)
{
    root_.write("lib/user/c/c" + osUser(), "# mapping\ntreluser: Mapped\n");
    inChild([&] {
        start(nullptr);
        EXPECT_EQ(initUsernames(1), 1);
        EXPECT_STREQ(get_trel_user(), "Mapped");
        EXPECT_EQ(user_info.name_explicit, 1);
        /* USER still comes first. */
        setenv("USER", "direct", 1);
        EXPECT_EQ(initUsernames(1), 1);
        EXPECT_STREQ(get_trel_user(), "direct");
    });
}

TEST_F(UserTest, MappingFileWithoutTreluserIsReportedAndTheOsUserUsed)
{
    root_.write("lib/user/c/c" + osUser(), "other: value\n");
    inChild([&] {
        start(nullptr);
        setenv("IPC_BOOT_USER", "Boot", 1);
        EXPECT_EQ(initUsernames(1), 1);
        EXPECT_STREQ(get_trel_user(), "boot");
        EXPECT_EQ(user_info.name_explicit, 0);
        /* Reported at start-up (log_set_progname) and for this call. */
        EXPECT_EQ(occurrences(log(), "treluser resource not found in resource file '" +
                                         root_.path() + "/lib/user/c/c" + osUser() + "'"),
                  2);
    });
}

/* ---- user initialisation statuses ---------------------------------------------- */

TEST_F(UserTest, Status0ForAnExistingUserFileAndLaterCallsReturn0)
{
    userFile("tester", "usertype: S\nlog_size: 300\n");
    root_.write("lib/defaults/all", "log_size: 100\nuse_extra_logging: 0\n");
    root_.write(std::string("lib/defaults/") + kProg, "log_size: 200\ncompany: Own\n");
    inChild([&] {
        start();
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(user_info.log_size, 300) << "the user file comes last";
        EXPECT_EQ(user_info.use_extra_logging, 0);
        EXPECT_STREQ(user_info.company, "Own");
        EXPECT_STREQ(std::getenv("TREL_SCM_GRP"), "tester");
        EXPECT_EQ(std::string(std::getenv("USERNAME")), osUser());
        EXPECT_EQ(std::string(std::getenv("LOGNAME")), osUser());
        char cwd[512];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        EXPECT_STREQ(std::getenv("GETCWD"), cwd);
        EXPECT_EQ(init_user(), 0);
        EXPECT_EQ(init_tshell_user(), 0);
    });
}

TEST_F(UserTest, Status4WithoutAUserFileIsReported)
{
    inChild([&] {
        start();
        EXPECT_EQ(init_user(), USER_NOT_VALID);
        std::string text = log();
        EXPECT_EQ(occurrences(text, "User file for user 'tester' does not exist. Last searched "
                                    "location '" + root_.path() + "/lib/user/utester'"),
                  1);
        EXPECT_EQ(occurrences(text, "Current user is not a valid Trel user."), 1);
    });
}

TEST_F(UserTest, UserFileDirectlyUnderUserIsTheSecondChoice)
{
    root_.write("lib/user/utester", "company: Second\n");
    inChild([&] {
        start();
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_STREQ(user_info.company, "Second");
    });
}

TEST_F(UserTest, Status2WhenTheTerminalIsNotAuthorised)
{
    userFile("tester", "usertype: U\ntermauth: tty2  tty3\n");
    userFile("other", "usertype: U\ntermauth: tty2 tty1 \n");
    inChild([&] {
        start();
        setenv("T", "/dev/tty1", 1);
        EXPECT_EQ(init_user(), USER_BAD_TERMINAL);
        EXPECT_STREQ(get_tty_name(), "tty1");
        EXPECT_EQ(user_info.termauth, 0);
    });
    inChild([&] {
        start("other");
        setenv("T", "/dev/tty1", 1);
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(user_info.termauth, 1);
    });
}

TEST_F(UserTest, Status3OutsideTheWorkingHoursAround)
{
    /* A window one to two hours ahead never holds the present. */
    userFile("tester", "usertype: U\nstarttime: " + std::to_string(hhmmShifted(1)) +
                           "\nendtime: " + std::to_string(hhmmShifted(2)) + "\n");
    /* A window from an hour ago to an hour ahead always does. */
    userFile("inside", "usertype: U\nstarttime: " + std::to_string(hhmmShifted(-1)) +
                           "\nendtime: " + std::to_string(hhmmShifted(1)) + "\n");
    /* The superuser is not bound to hours. */
    userFile("super", "usertype: S\nstarttime: " + std::to_string(hhmmShifted(1)) +
                          "\nendtime: " + std::to_string(hhmmShifted(2)) + "\n");
    inChild([&] {
        start();
        EXPECT_EQ(init_user(), USER_BAD_HOURS);
    });
    inChild([&] {
        start("inside");
        EXPECT_EQ(init_user(), USER_OK);
    });
    inChild([&] {
        start("super");
        EXPECT_EQ(init_user(), USER_OK);
    });
}

TEST(WorkingHours, WindowAcrossMidnightAndNormalWindow)
{
    EXPECT_EQ(al_within_working_hours(2200, 600, 2300), 1);
    EXPECT_EQ(al_within_working_hours(2200, 600, 500), 1);
    EXPECT_EQ(al_within_working_hours(2200, 600, 1200), 0);
    EXPECT_EQ(al_within_working_hours(2200, 600, 600), 1);
    EXPECT_EQ(al_within_working_hours(2200, 600, 2200), 1);
    EXPECT_EQ(al_within_working_hours(2200, 600, 601), 0);
    EXPECT_EQ(al_within_working_hours(800, 1700, 800), 1);
    EXPECT_EQ(al_within_working_hours(800, 1700, 1700), 1);
    EXPECT_EQ(al_within_working_hours(800, 1700, 1701), 0);
    EXPECT_EQ(al_within_working_hours(800, 1700, 759), 0);
    EXPECT_EQ(al_within_working_hours(0, 2400, 0), 1);
    EXPECT_EQ(al_within_working_hours(900, 900, 1200), 1);
}

TEST_F(UserTest, Status1ForANegativeTseCompnrAndThreeCharactersAreTaken)
{
    userFile("tester", "usertype: S\n");
    inChild([&] {
        start();
        setenv("TSE_COMPNR", "-1", 1);
        EXPECT_EQ(init_user(), USER_BAD_PROGRAM);
        EXPECT_EQ(occurrences(log(), "Invalid TSE_COMPNR = -1"), 1);
    });
    inChild([&] {
        start();
        setenv("TSE_COMPNR", "1000", 1);
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(user_info.env_compnr, 100);
    });
}

TEST_F(UserTest, Status1WithoutAProgramName)
{
    userFile("tester", "usertype: S\n");
    inChild([&] {
        cleanEnvironment(cwd_.path());
        setenv("TSE", root_.path().c_str(), 1);
        EXPECT_EQ(read_user_info("tester"), USER_BAD_PROGRAM);
    });
}

TEST_F(UserTest, TshellUserMustBeAllowedByUnixuser)
{
    userFile("tester", "unixuser: nosuchuser1 ; " + osUser() + " ,x\n");
    userFile("stranger", "unixuser: nosuchuser1:nosuchuser2\n");
    userFile("nolist", "company: X\n");
    inChild([&] {
        start();
        EXPECT_EQ(init_tshell_user(), USER_OK);
        EXPECT_STREQ(std::getenv("USER"), "tester");
    });
    inChild([&] {
        start("stranger");
        EXPECT_EQ(init_tshell_user(), USER_NOT_VALID);
    });
    inChild([&] {
        start("nolist");
        EXPECT_EQ(init_tshell_user(), USER_NOT_VALID);
    });
    inChild([&] {
        /* A name that was not given explicitly is not checked. */
        start(nullptr);
        setenv("IPC_BOOT_USER", "nolist", 1);
        initUsernames(0);
        EXPECT_EQ(init_tshell_user(), USER_OK);
        EXPECT_STREQ(std::getenv("USER"), "nolist");
    });
}

TEST_F(UserTest, ServerUserKeepsAGivenGetcwd)
{
    userFile("tester", "usertype: S\n");
    inChild([&] {
        start();
        setenv("GETCWD", "/kept/dir", 1);
        EXPECT_EQ(init_server_user(), USER_OK);
        EXPECT_STREQ(std::getenv("GETCWD"), "/kept/dir");
    });
    inChild([&] {
        start();
        setenv("GETCWD", "/replaced/dir", 1);
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_STRNE(std::getenv("GETCWD"), "/replaced/dir");
    });
}

TEST_F(UserTest, MaskIsWidenedByBmaskOrSetAbsolutely)
{
    userFile("tester", "usertype: S\n");
    inChild([&] {
        start();
        umask(0);
        setenv("BMASK", "020", 1);
        init_user();
        mode_t mask = umask(0);
        EXPECT_EQ(mask, 026u);
    });
    inChild([&] {
        start();
        umask(0);
        init_user();
        EXPECT_EQ(umask(0), 06u) << "BMASK defaults to 06";
    });
    inChild([&] {
        start();
        umask(022);
        setenv("BMASK", "027", 1);
        setenv("USE_BMASK_AS_ABSOLUTE", "1", 1);
        init_user();
        EXPECT_EQ(umask(0), 027u);
    });
}

TEST_F(UserTest, PackageCombinationTreluserGroupAndTerminalDigits)
{
    userFile("tester", "usertype: S\npacc: mine\n");
    inChild([&] {
        start();
        setenv("PACKAGE_COMB", "abcdefghijk", 1);
        setenv("TREL_SCM_GRP", "group", 1);
        setenv("T", "/dev/pts/4711", 1);
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_STREQ(user_info.package_comb, "abcdefgh");
        EXPECT_EQ(IsPackageCombinationRedefined(), 1);
        EXPECT_STREQ(user_info.pacc, "mine");
        EXPECT_STREQ(std::getenv("TREL_SCM_GRP"), "group");
        EXPECT_STREQ(get_tty_name(), "4711");
    });
    inChild([&] {
        start();
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(IsPackageCombinationRedefined(), 0);
        EXPECT_STREQ(user_info.package_comb, "");
    });
}

TEST_F(UserTest, EnvironmentOverrideBeatsTheUserFile)
{
    userFile("tester", "timezone: Asia/Tokyo\nlanguage: 3\n");
    inChild([&] {
        start();
        setenv("TRELTZ", "America/Chicago", 1);
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_STREQ(user_info.timezone, "America/Chicago");
        EXPECT_EQ(user_info.language, '3');
    });
}

/* ---- conversions of the user record ------------------------------------------------ */

TEST_F(UserTest, ExecPermsAndCompauthConversions)
{
    userFile("tester", "usertype: U\nexec_perms: 211\ncompauth: 000001123\ncompauth: 99\n");
    userFile("other", "exec_perms: x1\n");
    inChild([&] {
        start();
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(user_info.exec_perms, 2 | 4 | 8);
        EXPECT_EQ(compnr_change_allowed(0), 1);
        EXPECT_EQ(compnr_change_allowed(1), 1);
        EXPECT_EQ(compnr_change_allowed(123), 1);
        EXPECT_EQ(compnr_change_allowed(2), 0);
        EXPECT_EQ(compnr_change_allowed(99), 0) << "an incomplete number sets nothing";
        EXPECT_EQ(compnr_change_allowed(-1), 0);
        EXPECT_EQ(compnr_change_allowed(1000), 0);
        user_info.usertype = 'S';
        EXPECT_EQ(compnr_change_allowed(2), 1);
    });
    inChild([&] {
        start("other");
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(user_info.exec_perms, 4);
    });
}

TEST_F(UserTest, VersionPathsNeedTheirCountFirst)
{
    userFile("tester", "n_vrc_path: 2\nvrc_path: /a\nvrc_path: /a\nvrc_path: /b\nvrc_path: /c\n");
    userFile("early", "vrc_path: /x\nn_vrc_path: 2\n");
    inChild([&] {
        start();
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(user_info.n_vrc_path, 2);
        ASSERT_EQ(get_vrc_path_count(), 2);
        EXPECT_STREQ(get_vrc_path(0), "/a");
        EXPECT_STREQ(get_vrc_path(1), "/b");
        EXPECT_EQ(get_vrc_path(2), nullptr);
        EXPECT_EQ(occurrences(log(), "Too many or changed vrc_path entries, maximum 2 "
                                     "according to n_vrc_path"),
                  1);
    });
    inChild([&] {
        start("early");
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(get_vrc_path_count(), 1);
        EXPECT_EQ(occurrences(log(), "resource n_vrc_path should be defined before vrc_path"), 1);
    });
    inChild([&] {
        start();
        setenv("PACKAGE_COMB", "comb", 1);
        EXPECT_EQ(init_user(), USER_OK);
        EXPECT_EQ(get_vrc_path_count(), 0);
        EXPECT_EQ(user_info.n_vrc_path, 0);
    });
}

/* ---- date patterns and the date/currency table ------------------------------------- */

TEST(DatePatterns, PairsSeparatorsAndWideYears)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        std::strcpy(user_info.dateformat, "YYMMDD");
        user_info.datesep = '/';
        set_formatted_date();
        EXPECT_STREQ(user_info.date_pattern[0], "YY/MM/DD");
        EXPECT_STREQ(user_info.date_pattern[1], "YYYYMMDD");
        EXPECT_STREQ(user_info.date_pattern[2], "YYYY/MM/DD");
        EXPECT_STREQ(user_info.date_pattern[3], "YYMMDD");
        std::strcpy(user_info.dateformat, "DDMMYY");
        user_info.datesep = '-';
        set_formatted_date();
        EXPECT_STREQ(user_info.date_pattern[0], "DD-MM-YY");
        EXPECT_STREQ(user_info.date_pattern[1], "DDMMYYYY");
        EXPECT_STREQ(user_info.date_pattern[2], "DD-MM-YYYY");
        EXPECT_STREQ(user_info.date_pattern[3], "DDMMYY");
        std::strcpy(user_info.dateformat, "DM");
        set_formatted_date();
        EXPECT_STREQ(user_info.date_pattern[3], "YYMMDD") << "not six characters";
    });
}

TEST_F(UserTest, DatecurrKeepsTheFirstLineOfEachTagAndReportsBadTags)
{
    root_.write("lib/datecurr", "  C|E euro\n"
                                "D|1 day\n"
                                "X|bad\n"
                                "\n"
                                "A|amount\n"
                                "C|second currency\n"
                                "T|2 time\n"
                                "D no bar\n"
                                "U|3 utc");
    inChild([&] {
        start();
        EXPECT_EQ(read_datecurr_info(), 0);
        char line[64];
        ASSERT_EQ(get_datecurr_line('C', line, sizeof line), 1);
        EXPECT_STREQ(line, "C|E euro");
        ASSERT_EQ(get_datecurr_line('D', line, sizeof line), 1);
        EXPECT_STREQ(line, "D|1 day");
        ASSERT_EQ(get_datecurr_line('A', line, sizeof line), 1);
        EXPECT_STREQ(line, "A|amount");
        ASSERT_EQ(get_datecurr_line('U', line, sizeof line), 1);
        EXPECT_STREQ(line, "U|3 utc");
        ASSERT_EQ(get_datecurr_line('T', line, 4), 1);
        EXPECT_STREQ(line, "T|2");
        EXPECT_EQ(get_datecurr_line('X', line, sizeof line), 0);
        EXPECT_EQ(user_info.currency_code, 'E');
        EXPECT_EQ(user_info.date_code, '1');
        EXPECT_EQ(user_info.time_code, '2');
        EXPECT_EQ(user_info.utc_code, '3');
        std::string text = log();
        EXPECT_EQ(occurrences(text, "Invalid tag in datecurr (X)"), 1);
        /* The log starts a new line header after the line feed. */
        EXPECT_EQ(occurrences(text, "Invalid tag in datecurr (\n"), 1);
        EXPECT_EQ(occurrences(text, "Invalid tag in datecurr"), 2);
    });
}

TEST_F(UserTest, MissingOrBinaryDatecurrIsHarmless)
{
    inChild([&] {
        start();
        EXPECT_EQ(read_datecurr_info(), -1);
        char line[16];
        EXPECT_EQ(get_datecurr_line('C', line, sizeof line), 0);
    });
    std::string garbage;
    for (int i = 0; i < 4000; ++i)
        garbage += static_cast<char>((i * 29 + 3) % 256);
    root_.write("lib/datecurr", garbage);
    inChild([&] {
        start();
        EXPECT_EQ(read_datecurr_info(), 0);
        char line[16];
        for (char tag : std::string("ACDTU"))
            get_datecurr_line(tag, line, sizeof line);
    });
}
