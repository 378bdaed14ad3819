/*
 * Logging: start-up and log paths, destinations and level bits, the framed
 * block and its line headers, rotation, the file lock between processes,
 * hooks and switches, the crash mail, stderr redirection, text conversion.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_date.h"
#include "al_log.h"
#include "al_user.h"
#include "run_program.h"

namespace {

using tdbtest::TempDir;
namespace fs = std::filesystem;

constexpr const char *kSrc = "tests/lib/al_1/al_log_test.cpp";

/*
 * Runs body in a forked child (logging state is process-wide and set once
 * by log_set_progname); the child's failed expectations make it exit 1.
 */
int in_child(const std::function<void()> &body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* The environment of a logging child: a private log directory, a known
 * Trel user (USER, through the user layer) and a fixed time zone. */
std::string prepare(const TempDir &tmp)
{
    std::string dir = tmp.path() + "/log";
    fs::create_directories(dir);
    setenv("TSE", tmp.path().c_str(), 1);
    setenv("TSE_LOG", dir.c_str(), 1);
    setenv("USER", "tester", 1);
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    trel_timezone_set("CET-1CEST,M3.5.0,M10.5.0/3");
    user_info.log_size = 512;
    user_info.use_extra_logging = 1;
    user_info.usertype = 'S';
    user_info.language = '2';
    user_info.log_errorhook = nullptr;
    user_info.log_mailcmd = nullptr;
    return dir;
}

/* Standard error or output of the child, diverted into a file. */
class Capture {
public:
    Capture(int fd, std::string path) : fd_(fd), path_(std::move(path))
    {
        std::fflush(nullptr);
        saved_ = dup(fd_);
        int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, fd_);
        close(file);
    }
    std::string finish()
    {
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        return read_file(path_);
    }

private:
    int fd_;
    std::string path_;
    int saved_ = -1;
};

/* One line of the log file with its header taken apart. */
struct LogLine {
    std::string stamp; /* "YYYY-MM-DD[hh:mm:ss" */
    std::string zone;  /* "+05:00" */
    char level = '?';
    std::string user;
    std::string text;
};

/*
 * Takes the header "YYYY-MM-DD[hh:mm:ss(UTC+hh:mm)]:L:user: " off a line:
 * the fixed part must match the shape below (d a digit, s a sign).
 */
bool split_header(const std::string &raw, LogLine &line)
{
    static const std::string shape = "dddd-dd-dd[dd:dd:dd(UTCsdd:dd)]:";
    if (raw.size() < shape.size() + 4)
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        char want = shape[i];
        char got = raw[i];
        bool ok = want == 'd'   ? std::isdigit(static_cast<unsigned char>(got)) != 0
                  : want == 's' ? (got == '+' || got == '-')
                                : got == want;
        if (!ok)
            return false;
    }
    char level = raw[shape.size()];
    if ((level != 'E' && level != 'W' && level != 'I') || raw[shape.size() + 1] != ':')
        return false;
    size_t user_end = raw.find(": ", shape.size() + 2);
    if (user_end == std::string::npos)
        return false;
    line.stamp = raw.substr(0, 19);
    line.zone = raw.substr(23, 6);
    line.level = level;
    line.user = raw.substr(shape.size() + 2, user_end - shape.size() - 2);
    line.text = raw.substr(user_end + 2);
    return true;
}

/* Splits the file into lines; every line must carry a header. */
std::vector<LogLine> parse_log(const std::string &content)
{
    std::vector<LogLine> lines;
    EXPECT_TRUE(content.empty() || content.back() == '\n') << content;
    std::istringstream in(content);
    std::string raw;
    while (std::getline(in, raw)) {
        LogLine line;
        if (!split_header(raw, line)) {
            ADD_FAILURE() << "line without header: '" << raw << "'";
            continue;
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> texts(const std::vector<LogLine> &lines)
{
    std::vector<std::string> out;
    for (const LogLine &line : lines)
        out.push_back(line.text);
    return out;
}

std::string pid_line()
{
    char text[512];
    std::snprintf(text, sizeof text, "Pid %d Uid %d Euid %d Gid %d Egid %d Pset %s",
                  static_cast<int>(getpid()), static_cast<int>(getuid()),
                  static_cast<int>(geteuid()), static_cast<int>(getgid()),
                  static_cast<int>(getegid()), log_get_process_set());
    return text;
}

/* The texts of one framed block, without the headers. */
std::vector<std::string> block(const std::string &word, const std::string &file,
                               int line, const std::string &component,
                               const std::vector<std::string> &message,
                               const std::string &errno_line = "Errno 0 tdb_errno 0",
                               const std::vector<std::string> &extra = {})
{
    std::vector<std::string> out = {
        "",
        "******* S T A R T of " + word + " message *******",
        "Log message called from " + file + ": #" + std::to_string(line) +
            " keyword: " + component,
        pid_line(),
        "user_type S language 2 user_name tester tty  locale /",
    };
    out.insert(out.end(), extra.begin(), extra.end());
    out.push_back(errno_line);
    for (size_t i = 0; i < message.size(); ++i)
        out.push_back(i == 0 ? "Log_mesg: " + message[i] : message[i]);
    out.push_back("******* E N D of " + word + " message *******");
    return out;
}

/* ---- start-up and paths ------------------------------------------------ */

/*
 * Runs in a freshly started copy of the test program (the root directory
 * is cached per process, so no earlier test may have looked it up).
 * Returns the problems found, empty when none.
 */
std::string root_log_directory_case()
{
    std::string problems;
    TempDir tmp;
    prepare(tmp);
    setenv("TSE_LOG", "", 1); /* empty: the root's log directory */
    Capture err(2, tmp.path() + "/stderr");
    Capture out(1, tmp.path() + "/stdout");
    log_set_progname("tdbreconfig", LOG_DEST_FILE);
    log_mesg(kSrc, 10, "start", 0, "first message");
    std::string said = out.finish() + err.finish();
    if (!said.empty())
        problems += "unexpected output: " + said + "\n";
    std::vector<std::string> entries;
    for (const auto &entry : fs::directory_iterator(tmp.path() + "/log"))
        entries.push_back(entry.path().filename());
    if (entries != std::vector<std::string>{"log.tdbreconfig"})
        problems += "the log directory does not hold just log.tdbreconfig\n";
    std::vector<std::string> got =
        texts(parse_log(read_file(tmp.path() + "/log/log.tdbreconfig")));
    std::vector<std::string> want = block("Error", kSrc, 10, "start", {"first message"});
    if (got != want) {
        problems += "block differs; got:\n";
        for (const std::string &line : got)
            problems += "  [" + line + "]\n";
    }
    return problems;
}

TEST(LogStartUp, FlagsZeroWritesOnlyTheBlockIntoTheRootLogDirectory)
{
    std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string problems = root_log_directory_case();
            std::fputs(problems.c_str(), stderr);
            std::exit(problems.empty() && !testing::Test::HasFailure() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}

TEST(LogStartUp, TseLogNamesTheLogDirectory)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  std::string other = tmp.path() + "/elsewhere";
                  fs::create_directories(other);
                  setenv("TSE_LOG", other.c_str(), 1);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  log_mesg(kSrc, 1, "c", 0, "x");
                  EXPECT_FALSE(read_file(other + "/log.tdbreconfig").empty());
                  EXPECT_FALSE(fs::exists(tmp.path() + "/log/log.tdbreconfig"));
              }),
              0);
}

TEST(LogStartUp, ProgramNameIsTheBaseNameUpToTheFirstBlank)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  EXPECT_STREQ(log_get_progname(), "UNKNOWN");
                  log_set_progname("/usr/bin/tdbreconfig -x /a/b", LOG_DEST_FILE);
                  EXPECT_STREQ(log_get_progname(), "tdbreconfig");
                  log_mesg(kSrc, 1, "c", 0, "x");
                  EXPECT_TRUE(fs::exists(dir + "/log.tdbreconfig"));
              }),
              0);
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("host!/opt/bin/dbtool", 0);
                  EXPECT_STREQ(log_get_progname(), "dbtool");
              }),
              0);
}

TEST(LogStartUp, ProcessSetIsUserAtHostAndPidOrTakenFromTheArgument)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("prog", 0);
                  char host[128];
                  ASSERT_EQ(gethostname(host, sizeof host), 0);
                  struct passwd *pw = getpwuid(getuid());
                  ASSERT_NE(pw, nullptr);
                  EXPECT_EQ(std::string(log_get_process_set()),
                            std::string(pw->pw_name) + "@" + host + ":" +
                                std::to_string(getpid()));
              }),
              0);
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("prog <jdoe@box:77>", 0);
                  EXPECT_STREQ(log_get_process_set(), "jdoe@box:77");
              }),
              0);
}

TEST(LogStartUp, UnopenableLogFileDropsOnlyTheFileDestination)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  setenv("TSE_LOG", (tmp.path() + "/missing").c_str(), 1);
                  Capture err(2, tmp.path() + "/stderr");
                  log_set_progname("tdbreconfig", LOG_DEST_FILE | LOG_DEST_STDERR);
                  std::string said = err.finish();
                  EXPECT_EQ(said, "") << "a failed open of the log is not logged";
                  EXPECT_EQ(log_set_dest(0), LOG_DEST_STDERR);
                  EXPECT_FALSE(fs::exists(tmp.path() + "/missing"));
              }),
              0);
}

TEST(LogStartUp, LogFileIsCreatedWithMode0666AndCloseOnExec)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  umask(022);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  std::string path = dir + "/log.tdbreconfig";
                  struct stat st {};
                  ASSERT_EQ(stat(path.c_str(), &st), 0);
                  EXPECT_EQ(st.st_mode & 0777, 0666u);
                  mode_t now = umask(0);
                  EXPECT_EQ(now, 022u) << "the mask is restored after the open";
                  int found = 0;
                  for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
                      std::error_code ec;
                      fs::path target = fs::read_symlink(entry.path(), ec);
                      if (ec || target != fs::path(path))
                          continue;
                      int fd = std::stoi(entry.path().filename().string());
                      EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
                      int flags = fcntl(fd, F_GETFL);
                      EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
                      EXPECT_TRUE(flags & O_APPEND);
                      ++found;
                  }
                  EXPECT_EQ(found, 1);
              }),
              0);
}

TEST(LogStartUp, ExplicitLogPathIsKeptUnlessTheResetFlagIsGiven)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  std::string own = tmp.path() + "/own.log";
                  log_set_path(own.c_str());
                  log_set_path("");      /* ignored */
                  log_set_path(nullptr); /* ignored */
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  log_mesg(kSrc, 1, "c", 0, "to the own path");
                  EXPECT_NE(read_file(own).find("Log_mesg: to the own path\n"),
                            std::string::npos);
                  EXPECT_FALSE(fs::exists(dir + "/log.tdbreconfig"));

                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  log_mesg(kSrc, 2, "c", 0, "still the own path");
                  EXPECT_NE(read_file(own).find("still the own path"), std::string::npos);

                  log_set_progname_ex("tdbreconfig", LOG_DEST_FILE, 1);
                  log_mesg(kSrc, 3, "c", 0, "default path");
                  EXPECT_NE(read_file(dir + "/log.tdbreconfig").find("default path"),
                            std::string::npos);
                  EXPECT_EQ(read_file(own).find("default path"), std::string::npos);
              }),
              0);
}

TEST(LogStartUp, NoTseStartUpOpensTheSameLogFile)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname_no_tse("ipcboot", LOG_DEST_FILE);
                  EXPECT_STREQ(log_get_progname(), "ipcboot");
                  log_mesg(kSrc, 5, "boot", 0, "no user environment");
                  EXPECT_NE(read_file(dir + "/log.ipcboot").find("no user environment"),
                            std::string::npos);
              }),
              0);
}

/* ---- destinations ------------------------------------------------------ */

TEST(LogDestinations, RequestedDestinationOutsideTheDefaultSetWritesNothing)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  Capture err(2, tmp.path() + "/stderr");
                  EXPECT_EQ(log_mesg(kSrc, 1, "c", LOG_DEST_STDERR, "masked out"), 0);
                  EXPECT_EQ(err.finish(), "");
                  EXPECT_EQ(read_file(dir + "/log.tdbreconfig"), "");
              }),
              0);
}

TEST(LogDestinations, FlagsWithoutDestinationBitsTakeTheDefaultSet)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_STDERR | LOG_DEST_STDOUT);
                  Capture err(2, tmp.path() + "/stderr");
                  Capture out(1, tmp.path() + "/stdout");
                  log_mesg(kSrc, 1, "c", LOG_WARNING, "both %d", 2);
                  log_mesg(kSrc, 1, "c", LOG_DEST_STDOUT, "out only");
                  log_mesg(kSrc, 1, "c", LOG_DEST_STDOUT | LOG_DEST_FILE, "file is masked");
                  EXPECT_EQ(out.finish(),
                            "tdbreconfig: both 2\ntdbreconfig: out only\n"
                            "tdbreconfig: file is masked\n");
                  EXPECT_EQ(err.finish(), "tdbreconfig: both 2\n");
                  EXPECT_FALSE(fs::exists(dir + "/log.tdbreconfig"));
              }),
              0);
}

TEST(LogDestinations, ErrnoTextIsAppendedOnlyWithBit20AndANonZeroErrno)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_STDERR);
                  Capture err(2, tmp.path() + "/stderr");
                  errno = ENOENT;
                  log_mesg(kSrc, 1, "c", LOG_ERRNO, "open %s", "x.dat");
                  EXPECT_EQ(errno, ENOENT) << "errno is left as it was";
                  log_mesg(kSrc, 1, "c", 0, "no bit");
                  errno = 0;
                  log_mesg(kSrc, 1, "c", LOG_ERRNO, "no error");
                  EXPECT_EQ(err.finish(),
                            std::string("tdbreconfig: open x.dat - error 2 (") +
                                std::strerror(ENOENT) +
                                ")\n"
                                "tdbreconfig: no bit\n"
                                "tdbreconfig: no error\n");
              }),
              0);
}

TEST(LogDestinations, BlockIsWrittenOnlyWhenEveryRequestedFileIsOpen)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  /* The console was never opened: asking for it as well
                   * keeps the block out of the log file too. */
                  log_set_dest(LOG_DEST_FILE | LOG_DEST_CONSOLE);
                  log_mesg(kSrc, 1, "c", 0, "console missing");
                  EXPECT_EQ(read_file(dir + "/log.tdbreconfig"), "");
                  log_mesg(kSrc, 1, "c", LOG_DEST_FILE, "file alone");
                  EXPECT_NE(read_file(dir + "/log.tdbreconfig").find("file alone"),
                            std::string::npos);
              }),
              0);
}

/* ---- the framed block -------------------------------------------------- */

TEST(LogBlock, InformationFrameAndLetterIOnEveryLine)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  log_mesg("lib/dbc/c_top.cpp", 321, "tdb_init", LOG_INFO, "started %s",
                           "ok");
                  auto lines = parse_log(read_file(dir + "/log.tdbreconfig"));
                  EXPECT_EQ(texts(lines), block("Information", "lib/dbc/c_top.cpp", 321,
                                                "tdb_init", {"started ok"}));
                  for (const LogLine &line : lines) {
                      EXPECT_EQ(line.level, 'I');
                      EXPECT_EQ(line.user, "tester");
                  }
              }),
              0);
}

TEST(LogBlock, WarningWinsOverInformation)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  log_mesg(kSrc, 7, "w", LOG_WARNING | LOG_INFO, "careful");
                  log_mesg(kSrc, 8, "e", 0, "broken");
                  auto lines = parse_log(read_file(dir + "/log.tdbreconfig"));
                  std::vector<std::string> expected =
                      block("Warning", kSrc, 7, "w", {"careful"});
                  std::vector<std::string> second = block("Error", kSrc, 8, "e", {"broken"});
                  expected.insert(expected.end(), second.begin(), second.end());
                  EXPECT_EQ(texts(lines), expected);
                  ASSERT_EQ(lines.size(), 16u);
                  for (size_t i = 0; i < lines.size(); ++i)
                      EXPECT_EQ(lines[i].level, i < 8 ? 'W' : 'E') << i;
              }),
              0);
}

TEST(LogBlock, OneTrailingLineFeedIsRemovedAndInnerLinesGetHeaders)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE | LOG_DEST_STDERR);
                  Capture err(2, tmp.path() + "/stderr");
                  log_mesg(kSrc, 1, "c", 0, "ends in a line feed\n");
                  log_mesg(kSrc, 2, "c", 0, "two\n\n");
                  log_mesg(kSrc, 3, "c", 0, "one\ntwo");
                  EXPECT_EQ(err.finish(), "tdbreconfig: ends in a line feed\n"
                                          "tdbreconfig: two\n\n"
                                          "tdbreconfig: one\ntwo\n");
                  std::vector<std::string> expected =
                      block("Error", kSrc, 1, "c", {"ends in a line feed"});
                  for (const auto &more : {block("Error", kSrc, 2, "c", {"two", ""}),
                                           block("Error", kSrc, 3, "c", {"one", "two"})})
                      expected.insert(expected.end(), more.begin(), more.end());
                  EXPECT_EQ(texts(parse_log(read_file(dir + "/log.tdbreconfig"))),
                            expected);
              }),
              0);
}

TEST(LogBlock, ErrnoAndTdbErrnoWithTheirTexts)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  static int code = 523;
                  log_set_tdb_errno_source([] { return code; },
                                           [](int c) { return c == 523 ? "Database full" : ""; });
                  errno = EACCES;
                  log_mesg(kSrc, 4, "c", 0, "full");
                  code = 7;
                  errno = 0;
                  log_mesg(kSrc, 5, "c", 0, "unknown");
                  std::vector<std::string> expected =
                      block("Error", kSrc, 4, "c", {"full"},
                            std::string("Errno 13 (") + std::strerror(EACCES) +
                                ") tdb_errno 523 (Database full)");
                  std::vector<std::string> second =
                      block("Error", kSrc, 5, "c", {"unknown"}, "Errno 0 tdb_errno 7");
                  expected.insert(expected.end(), second.begin(), second.end());
                  EXPECT_EQ(texts(parse_log(read_file(dir + "/log.tdbreconfig"))),
                            expected);
              }),
              0);
}

TEST(LogBlock, ExtraInformationAppearsWhenExtraLoggingIsOn)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  static int calls = 0;
                  SetExtraLogInfoCallBack([](char *buffer, int size) {
                      ++calls;
                      std::snprintf(buffer, static_cast<size_t>(size),
                                    "Session 4 table %s\n", "dbtst100");
                  });
                  log_mesg(kSrc, 1, "c", 0, "with extra");
                  user_info.use_extra_logging = 0;
                  log_mesg(kSrc, 2, "c", 0, "without extra");
                  user_info.use_extra_logging = 1;
                  SetExtraLogInfoCallBack([](char *, int) {});
                  log_mesg(kSrc, 3, "c", 0, "empty extra");
                  EXPECT_EQ(calls, 1);
                  std::vector<std::string> expected =
                      block("Error", kSrc, 1, "c", {"with extra"}, "Errno 0 tdb_errno 0",
                            {"Session 4 table dbtst100"});
                  for (const auto &more : {block("Error", kSrc, 2, "c", {"without extra"}),
                                           block("Error", kSrc, 3, "c", {"empty extra"})})
                      expected.insert(expected.end(), more.begin(), more.end());
                  EXPECT_EQ(texts(parse_log(read_file(dir + "/log.tdbreconfig"))),
                            expected);
              }),
              0);
}

TEST(LogBlock, MessageIsCutAtTheBufferOf16384Bytes)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  std::string text(20000, 'x');
                  log_mesg(kSrc, 1, "c", 0, "%s", text.c_str());
                  auto lines = parse_log(read_file(dir + "/log.tdbreconfig"));
                  ASSERT_EQ(lines.size(), 8u);
                  EXPECT_EQ(lines[6].text, "Log_mesg: " + std::string(16383, 'x'));
              }),
              0);
}

/* The header's zone is the standard offset west of UTC as signed hours and
 * unsigned minutes; the date and time are the local ones of the moment. */
TEST(LogBlock, LineHeaderCarriesLocalTimeAndTheStandardOffset)
{
    struct Zone {
        const char *tz;
        const char *shown;
    };
    for (Zone zone : {Zone{"EST5EDT,M3.2.0,M11.1.0", "+05:00"},
                      Zone{"CET-1CEST,M3.5.0,M10.5.0/3", "-01:00"},
                      Zone{"IST-5:30", "-05:30"}, Zone{"UTC0", "+00:00"}}) {
        TempDir tmp;
        EXPECT_EQ(in_child([&] {
                      std::string dir = prepare(tmp);
                      setenv("TZ", zone.tz, 1);
                      tzset();
                      trel_timezone_set(zone.tz);
                      auto stamp = [] {
                          std::time_t now = std::time(nullptr);
                          struct tm local {};
                          localtime_r(&now, &local);
                          char text[32];
                          std::strftime(text, sizeof text, "%Y-%m-%d[%H:%M:%S", &local);
                          return std::string(text);
                      };
                      log_set_progname("tdbreconfig", LOG_DEST_FILE);
                      std::string before = stamp();
                      log_mesg(kSrc, 1, "c", 0, "zone");
                      std::string after = stamp();
                      auto lines = parse_log(read_file(dir + "/log.tdbreconfig"));
                      ASSERT_EQ(lines.size(), 8u);
                      for (const LogLine &line : lines) {
                          EXPECT_EQ(line.zone, zone.shown) << zone.tz;
                          EXPECT_GE(line.stamp, before);
                          EXPECT_LE(line.stamp, after);
                          EXPECT_EQ(line.user, "tester");
                      }
                  }),
                  0)
            << zone.tz;
    }
}

TEST(LogBlock, StartPrintfStopBuildAFramedBlock)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE | LOG_DEST_STDERR);
                  Capture err(2, tmp.path() + "/stderr");
                  errno = 0;
                  EXPECT_EQ(log_start_mesg(kSrc, 99, "dump", LOG_INFO), 0);
                  log_printf("row %d of %s\n", 5, "dbtst100");
                  log_printf("second ");
                  log_printf("part\n");
                  EXPECT_EQ(log_stop_mesg(), 0);
                  EXPECT_EQ(log_stop_mesg(), 0) << "no block open: nothing happens";
                  EXPECT_EQ(err.finish(), "row 5 of dbtst100\nsecond part\n");
                  std::vector<std::string> expected =
                      block("Information", kSrc, 99, "dump", {});
                  expected.insert(expected.end() - 1, {"row 5 of dbtst100", "second part",
                                                       ""});
                  EXPECT_EQ(texts(parse_log(read_file(dir + "/log.tdbreconfig"))),
                            expected);
              }),
              0);
}

TEST(LogBlock, LogWriteDefersTheHeaderUntilTheNextText)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  log_write("abc");
                  log_write("def\n");
                  log_write("\n\nlast\n");
                  auto lines = parse_log(read_file(dir + "/log.tdbreconfig"));
                  EXPECT_EQ(texts(lines), (std::vector<std::string>{"abcdef", "", "", "last"}));
                  for (const LogLine &line : lines)
                      EXPECT_EQ(line.level, 'E');
              }),
              0);
}

TEST(LogBlock, StartWithoutAnOpenDestinationOpensNoBlock)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_STDERR);
                  EXPECT_EQ(log_start_mesg(kSrc, 1, "c", 0), -1);
                  EXPECT_EQ(log_start_mesg(kSrc, 1, "c", LOG_DEST_FILE), -1);
              }),
              0);
}

TEST(LogBlock, FormattingRunsWithTheCCharacterTypeLocale)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  ASSERT_NE(std::setlocale(LC_CTYPE, "C.utf8"), nullptr);
                  char probe[16];
                  ASSERT_EQ(std::snprintf(probe, sizeof probe, "%ls", L"\u00e9"), 2)
                      << "a wide e-acute formats in C.utf8";
                  log_set_progname("tdbreconfig", LOG_DEST_STDERR);
                  Capture err(2, tmp.path() + "/stderr");
                  log_mesg(kSrc, 1, "c", 0, "[%ls]", L"\u00e9");
                  log_mesg(kSrc, 1, "c", 0, "[%ls]", L"plain");
                  EXPECT_EQ(err.finish(), "tdbreconfig: \ntdbreconfig: [plain]\n")
                      << "in the C locale the non-ASCII wide text does not format";
                  EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.utf8");
              }),
              0);
}

/* ---- switches, callbacks and hooks ------------------------------------- */

TEST(LogSwitches, DisabledLoggingWritesNothingUntilEnabledAgain)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE | LOG_DEST_STDERR);
                  static int locks = 0;
                  log_mesg_set_lock_unlock([] { return ++locks; }, nullptr);
                  Capture err(2, tmp.path() + "/stderr");
                  al_disable_log_mesg();
                  EXPECT_EQ(log_mesg(kSrc, 1, "c", 0, "hidden"), 0);
                  EXPECT_EQ(log_write("hidden write\n"), 0);
                  log_printf("hidden printf\n");
                  EXPECT_EQ(locks, 0);
                  al_enable_log_mesg();
                  log_mesg(kSrc, 2, "c", 0, "shown");
                  EXPECT_EQ(locks, 1);
                  EXPECT_EQ(err.finish(), "tdbreconfig: shown\n");
                  std::string content = read_file(dir + "/log.tdbreconfig");
                  EXPECT_EQ(content.find("hidden"), std::string::npos);
                  EXPECT_NE(content.find("Log_mesg: shown"), std::string::npos);
              }),
              0);
}

TEST(LogSwitches, AllLogsEnabledCannotBeDisabled)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_STDERR);
                  al_log_enable_all();
                  Capture err(2, tmp.path() + "/stderr");
                  al_disable_log_mesg();
                  log_mesg(kSrc, 1, "c", 0, "still here");
                  al_enable_log_mesg();
                  al_disable_log_mesg();
                  log_mesg(kSrc, 1, "c", 0, "and here");
                  EXPECT_EQ(err.finish(), "tdbreconfig: still here\ntdbreconfig: and here\n");
              }),
              0);
}

TEST(LogSwitches, LockAndUnlockSurroundTheMessageAndUnlockGivesTheResult)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_STDERR);
                  static std::string trace;
                  log_set_hook([](const char *message) { trace += std::string("hook:") + message + ";"; });
                  log_mesg_set_lock_unlock([] { trace += "lock;"; return 0; },
                                           [] { trace += "unlock;"; return 42; });
                  Capture err(2, tmp.path() + "/stderr");
                  EXPECT_EQ(log_mesg(kSrc, 1, "c", LOG_HOOK, "m"), 42);
                  err.finish();
                  EXPECT_EQ(trace, "lock;hook:m;unlock;");
                  log_mesg_set_lock_unlock(nullptr, nullptr);
                  EXPECT_EQ(log_mesg(kSrc, 1, "c", 0, "m"), 0);
              }),
              0);
}

TEST(LogSwitches, HookSeesMessagesWithBit40OrAfterLogSetLogHook)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("tdbreconfig", 0);
                  static std::vector<std::string> seen;
                  log_hook_fn hook = [](const char *message) { seen.emplace_back(message); };
                  EXPECT_EQ(log_set_hook(hook), nullptr);
                  log_mesg(kSrc, 1, "c", 0, "not for the hook");
                  log_mesg(kSrc, 1, "c", LOG_HOOK, "explicit %d\n", 1);
                  EXPECT_EQ(log_set_log_hook(hook), hook);
                  EXPECT_EQ(log_set_dest(LOG_HOOK), LOG_HOOK);
                  log_mesg(kSrc, 1, "c", 0, "by default");
                  log_mesg(kSrc, 1, "c", LOG_DEST_STDERR, "stderr asked, masked");
                  EXPECT_EQ(log_set_log_hook(nullptr), hook);
                  EXPECT_EQ(log_set_dest(0), 0) << "null removes bit 0x40";
                  log_mesg(kSrc, 1, "c", LOG_HOOK, "no hook left");
                  EXPECT_EQ(seen, (std::vector<std::string>{"explicit 1", "by default"}));
              }),
              0);
}

TEST(LogSwitches, MessageRaisedInsideTheHookIsDropped)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE | LOG_DEST_STDERR | LOG_HOOK);
                  static int calls = 0;
                  log_set_hook([](const char *) {
                      ++calls;
                      EXPECT_EQ(log_mesg(kSrc, 2, "inner", 0, "from the hook"), 0);
                  });
                  Capture err(2, tmp.path() + "/stderr");
                  log_mesg(kSrc, 1, "outer", 0, "outer message");
                  log_mesg(kSrc, 3, "outer", 0, "second outer");
                  EXPECT_EQ(calls, 2);
                  EXPECT_EQ(err.finish(), "tdbreconfig: outer message\ntdbreconfig: second outer\n");
                  std::string content = read_file(dir + "/log.tdbreconfig");
                  EXPECT_EQ(content.find("from the hook"), std::string::npos);
                  EXPECT_EQ(parse_log(content).size(), 16u);
              }),
              0);
}

TEST(LogSwitches, ErrorHookCommandReceivesEveryArgument)
{
    TempDir tmp;
    std::string script = tmp.write("bin/hook.sh",
                                   "#!/bin/sh\n"
                                   "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> \"$(dirname \"$0\")/hook.out\"\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  static std::string hook = script;
                  user_info.log_errorhook = hook.data();
                  log_set_progname("tdbreconfig", 0);
                  log_set_tdb_errno_source([] { return 506; }, nullptr);
                  errno = ENOENT;
                  log_mesg("lib/dbc/c_open.cpp", 77, "tdb_open", 0, "table %s missing\n",
                           "dbtst100");
                  EXPECT_EQ(errno, ENOENT);
                  std::vector<std::string> expected = {
                      "tdbreconfig", "lib/dbc/c_open.cpp", "77", "tdb_open", "tester",
                      std::to_string(getuid()), std::to_string(getpid()),
                      log_get_process_set(), "2", "506", "table dbtst100 missing"};
                  std::vector<std::string> got;
                  std::istringstream in(read_file(tmp.path() + "/bin/hook.out"));
                  for (std::string line; std::getline(in, line);)
                      got.push_back(line);
                  EXPECT_EQ(got, expected);
              }),
              0);
}

/* ---- rotation ---------------------------------------------------------- */

/* Logs until the file has reached 1024 bytes; returns its content. */
std::string fill_past_one_kilobyte(const std::string &path)
{
    for (int i = 0; i < 20 && read_file(path).size() < 1024; ++i)
        log_mesg(kSrc, i, "fill", 0, "filler message number %d", i);
    std::string content = read_file(path);
    EXPECT_GE(content.size(), 1024u);
    return content;
}

TEST(LogRotation, FileOfLogSizeKilobytesBecomesTheOldLog)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  user_info.log_size = 1;
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  std::string log = dir + "/log.tdbreconfig";
                  std::string before = fill_past_one_kilobyte(log);
                  log_mesg(kSrc, 50, "c", 0, "after rotation");
                  EXPECT_EQ(read_file(dir + "/olg.tdbreconfig"), before);
                  EXPECT_EQ(texts(parse_log(read_file(log))),
                            block("Error", kSrc, 50, "c", {"after rotation"}));
                  log_mesg(kSrc, 51, "c", 0, "appended");
                  EXPECT_EQ(parse_log(read_file(log)).size(), 16u)
                      << "below the limit the new file just grows";
              }),
              0);
}

TEST(LogRotation, FileRotatedByAnotherProcessIsReopenedNotRenamed)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  user_info.log_size = 1;
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  std::string log = dir + "/log.tdbreconfig";
                  std::string olg = dir + "/olg.tdbreconfig";
                  std::string before = fill_past_one_kilobyte(log);
                  /* What another process's rotation leaves behind. */
                  ASSERT_EQ(std::rename(log.c_str(), olg.c_str()), 0);
                  tmp.write("log/log.tdbreconfig", "written by the other process\n");
                  log_mesg(kSrc, 60, "c", 0, "into the new file");
                  EXPECT_EQ(read_file(olg), before);
                  std::string now = read_file(log);
                  ASSERT_EQ(now.rfind("written by the other process\n", 0), 0u);
                  EXPECT_EQ(texts(parse_log(now.substr(29))),
                            block("Error", kSrc, 60, "c", {"into the new file"}));
              }),
              0);
}

TEST(LogRotation, VanishedLogPathAbandonsTheBlock)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  user_info.log_size = 1;
                  log_set_progname("tdbreconfig", LOG_DEST_FILE | LOG_DEST_STDERR);
                  std::string log = dir + "/log.tdbreconfig";
                  fill_past_one_kilobyte(log);
                  ASSERT_EQ(unlink(log.c_str()), 0);
                  Capture err(2, tmp.path() + "/stderr");
                  log_mesg(kSrc, 70, "c", 0, "nowhere to go");
                  EXPECT_EQ(err.finish(), "tdbreconfig: nowhere to go\n");
                  EXPECT_FALSE(fs::exists(log));
                  EXPECT_FALSE(fs::exists(dir + "/olg.tdbreconfig"));
              }),
              0);
}

TEST(LogRotation, FailedRenameKeepsWritingIntoTheLargeFile)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  user_info.log_size = 1;
                  /* A non-empty directory cannot be replaced by a file. */
                  std::string blocked = tmp.path() + "/blocked";
                  tmp.write("blocked/keep", "x");
                  olg_set_path(blocked.c_str());
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  std::string log = dir + "/log.tdbreconfig";
                  std::string before = fill_past_one_kilobyte(log);
                  log_mesg(kSrc, 80, "c", 0, "still the big file");
                  std::string now = read_file(log);
                  ASSERT_EQ(now.substr(0, before.size()), before);
                  EXPECT_EQ(texts(parse_log(now.substr(before.size()))),
                            block("Error", kSrc, 80, "c", {"still the big file"}));
                  EXPECT_TRUE(fs::is_directory(blocked));
                  EXPECT_FALSE(fs::exists(dir + "/olg.tdbreconfig"));
              }),
              0);
}

/* ---- the lock between processes ---------------------------------------- */

TEST(LogFileLock, TwoProcessesLoggingAtOnceKeepEveryBlockWhole)
{
    TempDir tmp;
    std::string dir = tmp.path() + "/log";
    fs::create_directories(dir);
    constexpr int kBlocks = 150;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    auto writer = [&](int id) {
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            prepare(tmp);
            user_info.log_size = 1 << 20;
            log_set_progname("tdbreconfig", LOG_DEST_FILE);
            close(go[1]);
            char c;
            (void)!read(go[0], &c, 1); /* end of file: both start together */
            for (int i = 0; i < kBlocks; ++i)
                log_mesg(kSrc, i, "writer", 0, "writer %d block %d\nsecond line %d", id,
                         i, id);
            _exit(0);
        }
        return pid;
    };
    pid_t first = writer(1);
    pid_t second = writer(2);
    close(go[0]);
    close(go[1]);
    for (pid_t pid : {first, second}) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    auto lines = texts(parse_log(read_file(dir + "/log.tdbreconfig")));
    ASSERT_EQ(lines.size(), 2u * kBlocks * 9);
    int next[3] = {0, 0, 0};
    for (size_t at = 0; at < lines.size(); at += 9) {
        int id = 0;
        int number = -1;
        ASSERT_EQ(std::sscanf(lines[at + 6].c_str(), "Log_mesg: writer %d block %d", &id,
                              &number),
                  2)
            << lines[at + 6];
        ASSERT_TRUE(id == 1 || id == 2);
        EXPECT_EQ(number, next[id]++) << "blocks of one writer stay in order";
        pid_t pid = id == 1 ? first : second;
        std::vector<std::string> got(lines.begin() + static_cast<long>(at),
                                     lines.begin() + static_cast<long>(at) + 9);
        EXPECT_EQ(got[0], "");
        EXPECT_EQ(got[1], "******* S T A R T of Error message *******");
        EXPECT_EQ(got[2], "Log message called from " + std::string(kSrc) + ": #" +
                              std::to_string(number) + " keyword: writer");
        EXPECT_EQ(got[3].rfind("Pid " + std::to_string(pid) + " ", 0), 0u) << got[3];
        EXPECT_EQ(got[4], "user_type S language 2 user_name tester tty  locale /");
        EXPECT_EQ(got[5], "Errno 0 tdb_errno 0");
        EXPECT_EQ(got[7], "second line " + std::to_string(id));
        EXPECT_EQ(got[8], "******* E N D of Error message *******");
        if (testing::Test::HasFailure())
            break;
    }
    EXPECT_EQ(next[1], kBlocks);
    EXPECT_EQ(next[2], kBlocks);
}

/* A second process holds the log file's lock; the logger runs in a child. */
struct LockHolder {
    pid_t pid = -1;
    int release_fd = -1; /* closing it lets the holder go */
};

/* Takes the lock in a new process; it appends "HOLDER\n" and exits after
 * hold_ms milliseconds, or (hold_ms < 0) when release_fd is closed. */
LockHolder hold_lock(const std::string &path, int hold_ms)
{
    int ready[2];
    int release[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(release), 0);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(release[1]);
        int fd = open(path.c_str(), O_RDWR | O_APPEND);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0)
            _exit(2);
        (void)!write(ready[1], "x", 1);
        if (hold_ms >= 0) {
            usleep(static_cast<useconds_t>(hold_ms) * 1000);
        } else {
            char c;
            (void)!read(release[0], &c, 1);
        }
        (void)!write(fd, "HOLDER\n", 7);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1) << "the holder took the lock";
    close(ready[0]);
    return {pid, release[1]};
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(LogFileLock, LockHeldByAnotherProcessIsWaitedForSecondBySecond)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  std::string log = dir + "/log.tdbreconfig";
                  LockHolder holder = hold_lock(log, 1500);
                  auto start = std::chrono::steady_clock::now();
                  log_mesg(kSrc, 1, "c", 0, "after the holder");
                  double waited = seconds_since(start);
                  int status = 0;
                  waitpid(holder.pid, &status, 0);
                  close(holder.release_fd);
                  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                  /* Tries at 0, 1 and 2 seconds: the third gets the lock. */
                  EXPECT_GE(waited, 1.9);
                  EXPECT_LT(waited, 3.5);
                  std::string content = read_file(log);
                  ASSERT_EQ(content.rfind("HOLDER\n", 0), 0u) << content;
                  EXPECT_EQ(texts(parse_log(content.substr(7))),
                            block("Error", kSrc, 1, "c", {"after the holder"}));
              }),
              0);
}

TEST(LogFileLock, LockRefusedFiveTimesIsGoneWithout)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string dir = prepare(tmp);
                  log_set_progname("tdbreconfig", LOG_DEST_FILE);
                  std::string log = dir + "/log.tdbreconfig";
                  LockHolder holder = hold_lock(log, -1);
                  auto start = std::chrono::steady_clock::now();
                  log_mesg(kSrc, 1, "c", 0, "without the lock");
                  double waited = seconds_since(start);
                  close(holder.release_fd);
                  int status = 0;
                  waitpid(holder.pid, &status, 0);
                  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                  /* Five tries with a second between them. */
                  EXPECT_GE(waited, 3.9);
                  EXPECT_LT(waited, 5.5);
                  std::string content = read_file(log);
                  ASSERT_GE(content.size(), 7u);
                  EXPECT_EQ(content.substr(content.size() - 7), "HOLDER\n");
                  EXPECT_EQ(texts(parse_log(content.substr(0, content.size() - 7))),
                            block("Error", kSrc, 1, "c", {"without the lock"}));
              }),
              0);
}

TEST(LogFileLock, FailureOtherThanContentionPrintsTheLockProblem)
{
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(lock_handling(1, -1, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(lock_handling(2, -1, 0), -1);
    std::string said = testing::internal::GetCapturedStderr();
    std::string text = std::strerror(EBADF);
    EXPECT_EQ(said, "\x07\rlock problem; lock type 1 errno 9: lock_handling: " + text +
                        "\nWARNING: log file may be in disarray\n"
                        "\x07\rlock problem; lock type 2 errno 9: lock_handling: " +
                        text + "\n");
}

TEST(LogFileLock, LockAndUnlockOfAFreeFileSucceed)
{
    TempDir tmp;
    std::string path = tmp.write("f", "");
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(lock_handling(1, fd, 1), 0);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    EXPECT_EQ(fcntl(fd, F_GETLK, &probe), 0);
    EXPECT_EQ(probe.l_type, F_UNLCK) << "our own lock does not conflict with us";
    EXPECT_EQ(lock_handling(2, fd, 1), 0);
    errno = 0;
    EXPECT_EQ(lock_handling(3, fd, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fd);
}

/* ---- crash mail -------------------------------------------------------- */

TEST(LogCrash, MailCarriesSubjectDirectoryAndTheDefaultText)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("tdbreconfig", 0);
                  static std::string command = "cat > '" + tmp.path() + "/mail'";
                  user_info.log_mailcmd = command.data();
                  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
                  char cwd[4096];
                  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
                  log_crash_notification(0);
                  EXPECT_EQ(read_file(tmp.path() + "/mail"),
                            std::string("Subject: tdbreconfig crashed.\n"
                                        "Current directory is ") +
                                cwd + "\n\n(default mail message)\n");
              }),
              0);
}

TEST(LogCrash, NoMailWithoutCommandOrAfterLogNoDefaultMail)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  prepare(tmp);
                  log_set_progname("tdbreconfig", 0);
                  static char empty[] = "";
                  user_info.log_mailcmd = empty;
                  log_crash_notification(0);
                  static std::string command = "cat > '" + tmp.path() + "/mail'";
                  user_info.log_mailcmd = command.data();
                  log_no_default_mail();
                  log_crash_notification(0);
                  EXPECT_FALSE(fs::exists(tmp.path() + "/mail"));
              }),
              0);
}

/* ---- standard error for tracing ---------------------------------------- */

TEST(LogTrace, StandardErrorGoesToTheTraceFileAndComesBack)
{
    TempDir tmp;
    EXPECT_EQ(in_child([&] {
                  std::string trace = tmp.path() + "/trace";
                  tmp.write("trace", "old\n");
                  Capture err(2, tmp.path() + "/stderr");
                  std::fputs("before\n", stderr);
                  EXPECT_EQ(redirect_stderr_for_trace(trace.c_str(), nullptr), 0);
                  std::fputs("traced ", stderr);
                  EXPECT_EQ(read_file(trace), "traced ") << "truncated by mode w, unbuffered";
                  (void)!write(2, "raw\n", 4);
                  EXPECT_EQ(redirect_stderr_for_trace(nullptr, nullptr), 0);
                  std::fputs("after\n", stderr);
                  EXPECT_EQ(err.finish(), "before\nafter\n");
                  EXPECT_EQ(read_file(trace), "traced raw\n");
                  EXPECT_EQ(redirect_stderr_for_trace(trace.c_str(), "a"), 0);
                  std::fputs("appended\n", stderr);
                  EXPECT_EQ(redirect_stderr_for_trace(nullptr, nullptr), 0);
                  EXPECT_EQ(read_file(trace), "traced raw\nappended\n");
              }),
              0);
}

TEST(LogTrace, UnopenablePathReturnsTheErrno)
{
    TempDir tmp;
    std::string path = tmp.path() + "/no/such/dir/trace";
    EXPECT_EQ(redirect_stderr_for_trace(path.c_str(), "w"), ENOENT);
    EXPECT_EQ(redirect_stderr_for_trace(nullptr, nullptr), 0) << "nothing to close";
}

/* ---- text conversion --------------------------------------------------- */

TEST(LogConvert, TextIsCopiedWithinTheOutputRoom)
{
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(ConvertTssLogString("abcdefghij", out, -1, 5), 4);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(out[5], '#') << "nothing beyond the room";
    EXPECT_EQ(ConvertTssLogString("abcdefghij", out, 3, sizeof out), 3);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(ConvertTssLogString("", out, -1, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ConvertTssLogString("x", out, -1, 1), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ConvertTssLogString("x", out, -1, 0), -1);
    EXPECT_EQ(ConvertTssLogString("x", nullptr, -1, 8), -1);
}

TEST(LogConvert, FourByteCharacterIsNeverCut)
{
    const char text[] = "ab\x9b\x01\x02\x03z";
    char out[16];
    EXPECT_EQ(ConvertTssLogString(text, out, -1, sizeof out), 7);
    EXPECT_EQ(std::string(out), std::string(text));
    EXPECT_EQ(ConvertTssLogString(text, out, -1, 6), 2) << "the character needs 4 bytes";
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(ConvertTssLogString(text, out, 4, sizeof out), 2)
        << "nor by the input length";
}

} // namespace
