/*
 * tdbreconfig_cli_test.cpp: end-to-end tests of the tdbreconfig program.
 *
 * Every test runs the built program as a user would, in a fresh
 * directory that serves both as the root of the software environment
 * (TSE) and as the working directory, and checks exit codes, standard
 * output, standard error (the screen table and the start-up messages,
 * byte for byte) and the files the program writes: the report file, the
 * list files and the redirected error output.
 *
 * The tables named here have the same definition in the current and the
 * new dictionary and live in an SQLite database served by the real
 * driver: a check answers "No reconfiguration is required" and a
 * reconfiguration succeeds silently. The tests here concern what
 * surrounds the table procedures: the command line, start-up, the run
 * loop and its output (the procedures themselves are tested in
 * table_procedures_test.cpp).
 */
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"

namespace {

using tdbtest::RunOptions;
using tdbtest::RunResult;
using tdbtest::TempDir;

const std::string kProgram = TDBRECONFIG_PATH;

/* Development-tools versions that select the two modes of the tool. */
const char kNormalVersion[] = "tt7.6_a";
const char kCompatVersion[] = "tt7.2_a";

enum class Mode { Normal, Compat };

/* The two header lines of the screen table. */
const std::string kHeader =
    "Table       D Old      New      Messages\n"
    "----------- - -------- -------- ----------------------\n";

/* The column of every message on the screen. */
constexpr std::size_t kMessageColumn = 32;

const std::string kNoReconfig = "No reconfiguration is required";

/* The package-combination line of the test tables' dictionary. */
const std::string kDictionaryPackage = "db appl/db6.2\n";

/* One screen line: table and company at column 0, the message (if any)
 * padded to the message column. */
std::string row(const std::string &tableAndCompany,
                const std::string &message = "")
{
    if (message.empty())
        return tableAndCompany + "\n";
    return tableAndCompany +
           std::string(kMessageColumn - tableAndCompany.size(), ' ') +
           message + "\n";
}

/* The screen line of an entry that is not a valid table name. */
std::string invalidRow(const std::string &name)
{
    return std::string(kMessageColumn, ' ') + "Invalid table name '" + name +
           "'\n";
}

/* One report line: "<table><company> <status> <error> <message>". */
std::string reportLine(const std::string &tableAndCompany,
                       const std::string &status, int error,
                       const std::string &message = "")
{
    return tableAndCompany + " " + status + " " + std::to_string(error) + " " +
           message + "\n";
}

/* The report line of an invalid table name: eleven blanks in front. */
std::string invalidReportLine(const std::string &status,
                              const std::string &name)
{
    return reportLine(std::string(11, ' '), status, 0,
                      "Invalid table name '" + name + "'");
}

/* The usage text, line by line, as both modes print it. */
std::string usageText(const std::string &programName, Mode mode)
{
    const bool compat = mode == Mode::Compat;
    std::string text =
        "Usage: " + programName + " [options] -N <tablename> -C <compnr>\n";
    text += "Options:\n";
    text += " -C <compnr>      Reconfigure tables in companies <compnr>. <compnr> may be:\n";
    text += "                  1. List of one or more company numbers: -C 112 113 ...\n";
    text += "                  2. Range of company numbers: -C 112-114\n";
    text += " -c               Check if reconfiguration is required\n";
    text += " -E <file>        Redirect error output to <file>\n";
    if (compat)
        text += " -e               File with unsuccesfully reconfigured tables\n";
    text += " -I <file>        Reconfigure tables listed in file. Each line in the file must\n";
    text += "                  contain exactly one table name.\n";
    if (compat) {
        text += " -i               Ignore errors during reconfiguration (e.g. duplicates)\n";
        text += "                  Warning: Ignoring errors may result in loss of data.\n";
    }
    text += " -m               Ignore domain constraints\n";
    text += " -M <size>        Create sequences with maximum size <size>\n";
    text += "                  <size> can be specified as just a number or a number\n";
    text += "                  followed by 'K', 'M' or 'G' for Kilo, Mega or Giga bytes\n";
    text += " -N <table names> Reconfigure tables in list <table names>. For example:\n";
    text += "                  -N dbtst100 dbtst120\n";
    if (compat)
        text += " -o               File with succesfully reconfigured tables\n";
    text += " -p <pack. comb>  Use package combination <pack. comb>\n";
    if (!compat)
        text += " -R <file>        Create report file\n";
    text += " -r <rows/trans>  Number of inserted rows per transaction\n";
    text += " -s               Suppress messages\n";
    text += " -t <dir>         Use directory <dir> for dump files\n";
    text += " -u/-U            Print usage information\n";
    text += " -v/-V            Print version information\n";
    text += " -Z               Reorganize the tables specified by the -N and -I option\n";
    if (compat)
        text += " -f/-n/-O/-R/-T   Obsolete options maintained for backward interface compatibility\n";
    return text;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

bool hasLine(const std::string &text, const std::string &line)
{
    for (const auto &l : lines(text))
        if (l == line)
            return true;
    return false;
}

/*
 * The fixture: a fresh directory as TSE and working directory, holding
 * what the environment of a user needs: the user's file (a superuser of
 * package combination "std"), the package-combination file that puts the
 * development tools of the chosen mode in place, and the log directory is
 * left out unless a test makes it. Variables that would change the
 * program's behaviour from outside are removed.
 */
class CliTest : public ::testing::Test {
protected:
    TempDir dir_;

    /* Writes the environment for a development-tools version. */
    void writeEnvironment(const std::string &toolsVersion) const
    {
        dir_.write("lib/user/u/utester", "usertype: S\npacc: std\n");
        dir_.write("lib/fd6.2.std", "tt tools/" + toolsVersion + "\n" + kDictionaryPackage);
        writeTables();
    }

    /*
     * The tables the tests name (dbtst100, 120, 200, 300), each with the
     * same definition in the current and the new dictionary, so a check
     * finds nothing to do; they live in an SQLite database of the test
     * directory, served by the real driver (an alter of such a table
     * makes the driver forget its copy of the definition).
     */
    void writeTables() const
    {
        const std::string domains = "D\n:N    dbDom.long\n:T    l\n:DIGV 9\n:P    10\n";
        dir_.write("appl/db6.2/d6.2/ddb.pd", domains);
        for (const char *code : {"dbtst100", "dbtst120", "dbtst200", "dbtst300"}) {
            const std::string definition =
                std::string(":R  U Test\n:R  D Test table\n:V    1\nF\n:N    ") + code +
                ".id\n:DO   dbDom.long\nI\n:I    1\n:A    1\n:DU   0\n:K  F " + code + ".id\n";
            dir_.write(std::string("appl/db6.2/d6.2/d") + code, definition);
            dir_.write(std::string("appl/db6.2/d6.2/d") + code + ".new", definition);
        }
        dir_.write("lib/ipc_info", std::string("sqlite p ") + TDB_DRIVER_PATH + "\n");
        dir_.write("lib/tabledef6.2", "dbtst:*:sqlite(" + dir_.path() + "/tables.db)\n");
    }

    RunResult runWithVersion(const std::vector<std::string> &args,
                             const std::string &toolsVersion,
                             std::vector<std::pair<std::string, std::string>> extraEnv = {},
                             const std::string &program = kProgram) const
    {
        writeEnvironment(toolsVersion);
        RunOptions options;
        options.cwd = dir_.path();
        options.unset_env = {"CONFIGSPEC", "USR_DBC_RES", "PACKAGE_COMB",
                             "POSIXLY_CORRECT", "TSE_LOG", "TSE_TMP", "TRELTZ"};
        options.env = {{"TSE", dir_.path()},
                       {"USER", "tester"}};
        for (auto &entry : extraEnv)
            options.env.push_back(std::move(entry));
        return tdbtest::run_program(program, args, options);
    }

    RunResult run(const std::vector<std::string> &args, Mode mode = Mode::Normal,
                  std::vector<std::pair<std::string, std::string>> extraEnv = {},
                  const std::string &program = kProgram) const
    {
        return runWithVersion(args,
                              mode == Mode::Compat ? kCompatVersion : kNormalVersion,
                              std::move(extraEnv), program);
    }

    RunResult runCompat(const std::vector<std::string> &args) const
    {
        return run(args, Mode::Compat);
    }

    /* A path below the test directory. */
    std::string path(const std::string &relative) const
    {
        return dir_.path() + "/" + relative;
    }

    /* Makes ${TSE}/log, where compatibility mode keeps its report. */
    void makeLogDir() const
    {
        std::filesystem::create_directories(path("log"));
    }

    /* Makes a package-combination file with the tools of a mode. */
    void makePackageCombination(const std::string &comb, Mode mode = Mode::Normal) const
    {
        dir_.write("lib/fd6.2." + comb, std::string("tt tools/") +
                                            (mode == Mode::Compat ? kCompatVersion : kNormalVersion) +
                                            "\n" + kDictionaryPackage);
    }
};

/* getopt's own diagnostics, with the program path as it was invoked. */
std::string invalidOptionDiagnostic(char letter)
{
    return kProgram + ": invalid option -- '" + letter + "'\n";
}

std::string missingArgumentDiagnostic(char letter)
{
    return kProgram + ": option requires an argument -- '" + letter + "'\n";
}

/* ======================================================================== */
/* -v / -V: version banner on standard error, exit 0                         */
/* ======================================================================== */

class VersionOption : public CliTest {};

/* Whether banner is the fuller one: every line of the shorter banner plus
 * exactly one more (the database-version line). */
::testing::AssertionResult isFullerBanner(const std::string &banner,
                                          const std::string &shorter)
{
    std::vector<std::string> shortLines = lines(shorter);
    if (shortLines.empty())
        return ::testing::AssertionFailure() << "shorter banner is empty";
    if (lines(banner).size() != shortLines.size() + 1)
        return ::testing::AssertionFailure()
               << "banner has " << lines(banner).size() << " lines, expected "
               << shortLines.size() + 1 << ":\n" << banner;
    for (const auto &line : shortLines)
        if (!hasLine(banner, line))
            return ::testing::AssertionFailure() << "missing line: " << line;
    return ::testing::AssertionSuccess();
}

TEST_F(VersionOption, VersionAmongOtherOptionsPrintsBannerOnStderrAndExitsZero)
{
    for (const char *arg : {"-v", "-V"}) {
        SCOPED_TRACE(arg);
        RunResult r = run({"-N", "x", arg});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
        EXPECT_NE(r.err.find("tdbreconfig"), std::string::npos);
    }
}

TEST_F(VersionOption, LoneVersionArgumentGivesFullerBanner)
{
    const RunResult shorter = run({"-N", "x", "-v"});
    ASSERT_EQ(shorter.exit_code, 0);
    /* Only the second character of a lone argument decides. */
    for (const char *arg : {"-v", "-V", "-vanything", "-Vx"}) {
        SCOPED_TRACE(arg);
        RunResult full = run({arg});
        EXPECT_EQ(full.exit_code, 0);
        EXPECT_EQ(full.out, "");
        EXPECT_TRUE(isFullerBanner(full.err, shorter.err));
    }
}

TEST_F(VersionOption, LoneVersionArgumentComesBeforeEverythingElse)
{
    /* Neither a missing root nor compatibility mode matters. */
    RunResult r = run({"-V"}, Mode::Compat,
                      {{"TSE", path("no-such-root")}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(isFullerBanner(r.err, run({"-N", "x", "-v"}).err));
}

TEST_F(VersionOption, VersionAmongOptionsIsNotTheFullerBanner)
{
    /* "-v" with another argument, even one that is not an option. */
    const RunResult full = run({"-v"});
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-v", "-N", "x"},
          std::vector<std::string>{"-V", "dbtst100"}}) {
        SCOPED_TRACE(args.front() + " " + args.back());
        RunResult r = run(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(isFullerBanner(full.err, r.err));
    }
}

TEST_F(VersionOption, UpperCaseVersionAmongOptionsGivesTheShorterBanner)
{
    RunResult lower = run({"-N", "x", "-v"});
    RunResult upper = run({"-N", "x", "-V"});
    EXPECT_EQ(upper.exit_code, 0);
    EXPECT_EQ(upper.err, lower.err);
}

TEST_F(VersionOption, VersionStopsTheRunBeforeAnyTableIsProcessed)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-v", "-R", "report"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.find("Table "), std::string::npos);
    EXPECT_FALSE(dir_.exists("report"));
}

TEST_F(VersionOption, ConfigSpecPrintAddsConfigSpecLine)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-v"},
          std::vector<std::string>{"-N", "x", "-V"}}) {
        SCOPED_TRACE(args.back());
        RunResult without = run(args);
        RunResult with = run(args, Mode::Normal, {{"CONFIGSPEC", "PRINT"}});
        RunResult other = run(args, Mode::Normal, {{"CONFIGSPEC", "print"}});
        EXPECT_EQ(with.exit_code, 0);
        EXPECT_FALSE(hasLine(without.err, "Config spec: "));
        EXPECT_TRUE(hasLine(with.err, "Config spec: "));
        EXPECT_FALSE(hasLine(other.err, "Config spec: "));
        /* The configuration follows the banner. */
        EXPECT_EQ(with.err.rfind(without.err, 0), 0u);
        EXPECT_GT(with.err.size(), without.err.size());
    }
}

TEST_F(VersionOption, WorksInCompatibilityModeToo)
{
    RunResult r = run({"-N", "x", "-v"}, Mode::Compat);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, run({"-N", "x", "-v"}).err);
}

/* ======================================================================== */
/* Usage text on standard output, exit 1                                    */
/* ======================================================================== */

class UsageText : public CliTest {};

TEST_F(UsageText, NormalModeUsageIsCompleteOnStdout)
{
    for (const char *arg : {"-u", "-U", "-?"}) {
        SCOPED_TRACE(arg);
        RunResult r = run({arg, "-N", "dbtst100", "-C", "112"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(UsageText, CompatibilityModeUsageIsCompleteOnStdout)
{
    for (const char *arg : {"-u", "-U", "-?"}) {
        SCOPED_TRACE(arg);
        RunResult r = runCompat({arg});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Compat));
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(UsageText, ModeThresholdIsToolsVersion73)
{
    RunResult at = runWithVersion({"-u"}, "tt7.3_a");
    RunResult below = runWithVersion({"-u"}, "tt7.2_z");
    EXPECT_EQ(at.out, usageText("tdbreconfig", Mode::Normal));
    EXPECT_EQ(below.out, usageText("tdbreconfig", Mode::Compat));
}

TEST_F(UsageText, UsageNamesTheProgramAsInvoked)
{
    const std::string link = path("myreconf");
    std::filesystem::create_symlink(kProgram, link);
    RunResult r = run({"-u"}, Mode::Normal, {}, link);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, usageText("myreconf", Mode::Normal));
}

TEST_F(UsageText, UsageComesBeforeLaterOptionsAreLookedAt)
{
    /* -u ends the run at once: the invalid company after it is never seen. */
    RunResult r = run({"-u", "-C", "1000"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
}

/* ======================================================================== */
/* Unknown options and missing option arguments                             */
/* ======================================================================== */

class OptionErrors : public CliTest {};

TEST_F(OptionErrors, UnknownOptionGivesGetoptDiagnosticThenUsage)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, invalidOptionDiagnostic('x'));
    EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
}

TEST_F(OptionErrors, CompatibilityOnlyOptionsAreUnknownInNormalMode)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-d", "O"}, std::vector<std::string>{"-o", "ok"},
          std::vector<std::string>{"-e", "failed"}, std::vector<std::string>{"-i"},
          std::vector<std::string>{"-f"}, std::vector<std::string>{"-n"},
          std::vector<std::string>{"-T"}, std::vector<std::string>{"-O", "x"}}) {
        SCOPED_TRACE(args.front());
        std::vector<std::string> full = args;
        full.insert(full.end(), {"-N", "dbtst100", "-C", "112"});
        RunResult r = run(full);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, invalidOptionDiagnostic(args.front()[1]));
        EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
    }
}

TEST_F(OptionErrors, MissingOptionArgumentGivesGetoptDiagnosticThenUsage)
{
    for (const char *option : {"-N", "-C", "-I", "-R", "-t", "-r", "-M", "-E"}) {
        SCOPED_TRACE(option);
        RunResult r = run({"-N", "dbtst100", "-C", "112", option});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, missingArgumentDiagnostic(option[1]));
        EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
    }
}

TEST_F(OptionErrors, CompatibilityModeMissingArgumentAndUnknownOption)
{
    RunResult missing = runCompat({"-N", "dbtst100", "-o"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err, missingArgumentDiagnostic('o'));
    EXPECT_EQ(missing.out, usageText("tdbreconfig", Mode::Compat));

    RunResult unknown = runCompat({"-N", "dbtst100", "-q"});
    EXPECT_EQ(unknown.exit_code, 1);
    EXPECT_EQ(unknown.err, invalidOptionDiagnostic('q'));
    EXPECT_EQ(unknown.out, usageText("tdbreconfig", Mode::Compat));
}

TEST_F(OptionErrors, GetoptDiagnosticIsNotSilencedBySuppressOption)
{
    RunResult r = run({"-s", "-x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, invalidOptionDiagnostic('x'));
    EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
}

/* ======================================================================== */
/* Start-up errors: each exits 1 with its message on standard error         */
/* ======================================================================== */

class StartupErrors : public CliTest {};

TEST_F(StartupErrors, NoTableSpecified)
{
    RunResult r = run({"-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No table specified. Use -N to specify a table.\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(StartupErrors, NoArgumentsAtAllMeansNoTable)
{
    RunResult r = run({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No table specified. Use -N to specify a table.\n");
}

TEST_F(StartupErrors, NoCompanySpecified)
{
    RunResult r = run({"-N", "dbtst100"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No company number specified. Use -C to specify "
                     "a company number.\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(StartupErrors, OneNameWithoutCompanyAmongNamesWithCompanyNeedsCompany)
{
    RunResult r = run({"-N", "dbtst100112", "dbtst120"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No company number specified. Use -C to specify "
                     "a company number.\n");
}

TEST_F(StartupErrors, ShortInvalidNameAlsoCountsAsNameWithoutCompany)
{
    /* A name of at most 8 characters carries no company, valid or not. */
    RunResult r = run({"-N", "dbtst100112", "abc"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No company number specified. Use -C to specify "
                     "a company number.\n");
}

TEST_F(StartupErrors, InvalidCompanyNumber)
{
    for (const char *company : {"1000", "12a", "abc", "+12"}) {
        SCOPED_TRACE(company);
        RunResult r = run({"-N", "dbtst100", "-C", company});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, std::string("Error: Invalid company number specified: '") +
                             company + "'\n");
    }
}

TEST_F(StartupErrors, InvalidCompanyNumberLaterInTheList)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "113", "12a"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: Invalid company number specified: '12a'\n");
}

TEST_F(StartupErrors, InvalidCompanyRange)
{
    for (const char *range : {"114-112", "112-", "990-1000", "1-2-3", "a-5",
                              "5-b", "112-114x"}) {
        SCOPED_TRACE(range);
        RunResult r = run({"-N", "dbtst100", "-C", range});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, std::string("Error: Invalid company number range: '") +
                             range + "'\n");
    }
}

TEST_F(StartupErrors, IncompleteCompanyRangeAtTheEnd)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: Incomplete company number range: '112 -'\n");
}

TEST_F(StartupErrors, InvalidUpperBoundOfSeparatedRange)
{
    RunResult bad = run({"-N", "dbtst100", "-C", "112", "-", "abc"});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_EQ(bad.err, "Error: Invalid company number specified: 'abc'\n");

    RunResult big = run({"-N", "dbtst100", "-C", "112", "-", "1000"});
    EXPECT_EQ(big.exit_code, 1);
    EXPECT_EQ(big.err, "Error: Invalid company number specified: '1000'\n");
}

TEST_F(StartupErrors, UnreadableTableFile)
{
    RunResult r = run({"-I", "no-such-file", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: Error reading file 'no-such-file' (errno 2)\n");
}

TEST_F(StartupErrors, UncreatableReportFile)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-R", "no-dir/report"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Cannot create file 'no-dir/report' (errno 2)\n");
}

TEST_F(StartupErrors, UnwritableErrorOutputTarget)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-E", "no-dir/err.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: failed to redirect error ouput to 'no-dir/err.txt' "
                     "(errno 2)\n");
}

TEST_F(StartupErrors, FirstErrorOnTheCommandLineWins)
{
    /* Options are handled in order; the first failing one ends the run. */
    RunResult r = run({"-N", "dbtst100", "-C", "1000", "-I", "no-such-file"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: Invalid company number specified: '1000'\n");
}

/* ======================================================================== */
/* -t: dump directory length                                                */
/* ======================================================================== */

class DumpDirectory : public CliTest {};

TEST_F(DumpDirectory, NameOf129CharactersExitsBeforeAnyTable)
{
    const std::string name(129, 'd');
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-t", name});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: dump directory '" + name +
                         "' exceeds maximum length (128)\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(DumpDirectory, NameOf128CharactersIsAccepted)
{
    const std::string name(128, 'd');
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-t", name});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112"));
}

/* ======================================================================== */
/* -p: package combination, checked before option parsing                  */
/* ======================================================================== */

class PackageCombination : public CliTest {};

TEST_F(PackageCombination, MissingCombinationIsFatal)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-p", "b61"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Package combination \"b61\" does not exist.\n"
                     "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(PackageCombination, AttachedFormIsCheckedToo)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-pb61"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Package combination \"b61\" does not exist.\n"
                     "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");
}

TEST_F(PackageCombination, CheckedBeforeAnyOptionIsParsed)
{
    /* Even an option error before -p does not come first: the
     * combination is checked in a scan before the options are parsed. */
    RunResult r = run({"-C", "1000", "-p", "b61"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Package combination \"b61\" does not exist.\n"
                     "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");
}

TEST_F(PackageCombination, FatalErrorNamesTheProgramAsInvoked)
{
    const std::string link = path("myreconf");
    std::filesystem::create_symlink(kProgram, link);
    RunResult r = run({"-p", "b61"}, Mode::Normal, {}, link);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Package combination \"b61\" does not exist.\n"
                     "myreconf: FATAL ERROR: 'Cannot set package combination'\n");
}

TEST_F(PackageCombination, ExistingCombinationLetsTheRunGoOn)
{
    makePackageCombination("b61");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-p", "b61"}, std::vector<std::string>{"-pb61"}}) {
        SCOPED_TRACE(args.front());
        std::vector<std::string> full = {"-N", "dbtst100", "-C", "112"};
        full.insert(full.end(), args.begin(), args.end());
        RunResult r = run(full);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, kHeader + row("dbtst100112"));
    }
}

TEST_F(PackageCombination, CombinationFileIsLookedUpUnderTheRoot)
{
    /* A file of that name in the working directory's lib does not count
     * when TSE names another root. */
    TempDir other;
    makePackageCombination("b61");
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-p", "b61"},
                      Mode::Normal, {{"TSE", other.path()}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Package combination \"b61\" does not exist.\n"
                     "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");
}

TEST_F(PackageCombination, LaterCombinationReplacesEarlierOne)
{
    makePackageCombination("b61");
    RunResult good = run({"-N", "dbtst100", "-C", "112", "-p", "x99", "-p", "b61"});
    EXPECT_EQ(good.exit_code, 0);
    EXPECT_EQ(good.err, kHeader + row("dbtst100112"));

    RunResult bad = run({"-N", "dbtst100", "-C", "112", "-p", "b61", "-px99"});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_EQ(bad.err, "Package combination \"x99\" does not exist.\n"
                       "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");
}

TEST_F(PackageCombination, SameCheckInCompatibilityMode)
{
    RunResult missing = runCompat({"-N", "dbtst100", "-c", "-p", "b61"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err,
              "Package combination \"b61\" does not exist.\n"
              "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");

    makePackageCombination("b61", Mode::Compat);
    makeLogDir();
    RunResult present = runCompat({"-N", "dbtst100", "-c", "-p", "b61"});
    EXPECT_EQ(present.exit_code, 0);
}

/* ======================================================================== */
/* -C: company numbers                                                      */
/* ======================================================================== */

class CompanyOption : public CliTest {};

TEST_F(CompanyOption, RangeFormsGiveTheSameList)
{
    const std::string expectedScreen = kHeader + row("dbtst100112") +
                                       row("dbtst100113") + row("dbtst100114");
    const std::string expectedReport = reportLine("dbtst100112", "R0", 0) +
                                       reportLine("dbtst100113", "R0", 0) +
                                       reportLine("dbtst100114", "R0", 0);
    for (const std::vector<std::string> &form :
         {std::vector<std::string>{"112-114"},
          std::vector<std::string>{"112", "-", "114"},
          std::vector<std::string>{"112", "113", "114"}}) {
        std::vector<std::string> args = {"-N", "dbtst100", "-R", "report", "-C"};
        args.insert(args.end(), form.begin(), form.end());
        SCOPED_TRACE(args.back());
        RunResult r = run(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, expectedScreen);
        EXPECT_EQ(dir_.read("report"), expectedReport);
    }
}

TEST_F(CompanyOption, SeparatedRangeWithLowAboveHighGivesNoCompanies)
{
    RunResult r = run({"-N", "dbtst100", "-C", "114", "-", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No company number specified. Use -C to specify "
                     "a company number.\n");
}

TEST_F(CompanyOption, EmptyCompanyListStandsWhenEveryNameCarriesCompany)
{
    RunResult r = run({"-N", "dbtst100113", "-C", "114", "-", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100113"));
}

TEST_F(CompanyOption, AttachedRangeTakesNothingAfterIt)
{
    /* "0" and "999" after the range are arguments that are no options
     * and add no companies. */
    RunResult r = run({"-N", "dbtst100", "-C", "5-5", "0", "999"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100005"));
}

TEST_F(CompanyOption, LowestAndHighestNumbersArePrintedWithThreeDigits)
{
    RunResult r = run({"-N", "dbtst100", "-C", "0", "999", "007"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100000") + row("dbtst100999") +
                         row("dbtst100007"));
}

TEST_F(CompanyOption, SeparatedRangeTakesNothingAfterIt)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-", "113", "200"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst100113"));
}

TEST_F(CompanyOption, CompaniesKeepTheOrderGiven)
{
    RunResult r = run({"-N", "dbtst100", "-C", "300", "112", "-c"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100300", kNoReconfig) +
                         row("dbtst100112", kNoReconfig));
}

TEST_F(CompanyOption, SeveralCompanyOptionsAddUp)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-C", "200-201"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst100200") +
                         row("dbtst100201"));
}

TEST_F(CompanyOption, CompanyInTheTableNameOverridesTheList)
{
    RunResult r = run({"-N", "dbtst100113", "dbtst120", "-C", "200", "201"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100113") + row("dbtst120200") +
                         row("dbtst120201"));
}

/* ======================================================================== */
/* -N: table names                                                          */
/* ======================================================================== */

class TableNames : public CliTest {};

TEST_F(TableNames, NamesStopAtTheNextOption)
{
    /* Two names, then -c switches to check mode. */
    RunResult r = run({"-N", "dbtst100", "dbtst120", "-c", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig) +
                         row("dbtst120112", kNoReconfig));
}

TEST_F(TableNames, NameWithCompanyNeedsNoCompanyOption)
{
    RunResult r = run({"-N", "dbtst100112", "-R", "report"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112"));
    EXPECT_EQ(dir_.read("report"), reportLine("dbtst100112", "R0", 0));
}

TEST_F(TableNames, NameWithPlusIsValidAndNamesTheTableAndCompany)
{
    RunResult r = run({"-c", "-N", "dbtst100112+", "-R", "report"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig));
    EXPECT_EQ(dir_.read("report"), reportLine("dbtst100112", "C0", 0, kNoReconfig));
}

TEST_F(TableNames, NameWithPlusAsksForARecoveryWhichIsNotAvailableYet)
{
    const std::string message =
        "Reconfiguration with export/import is not available yet (error 215)";
    RunResult r = run({"-N", "dbtst100112+", "-R", "report"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", message));
    EXPECT_EQ(dir_.read("report"), reportLine("dbtst100112", "R1", 215, message));
}

TEST_F(TableNames, InvalidNamesAreReportedAndOtherTablesStillProcessed)
{
    const std::vector<std::string> invalid = {
        "dbtst10",       /* 7 characters */
        "dbtst1001",     /* 9 */
        "dbtst10011",    /* 10 */
        "dbtst100112+x", /* 13 */
        "dbtst10011a",   /* 11, company not all digits */
        "dbtst100x12",   /* 11, company not all digits */
        "dbtst1001123",  /* 12, not ending in "+" */
    };
    std::vector<std::string> args = {"-N", "dbtst100"};
    args.insert(args.end(), invalid.begin(), invalid.end());
    args.insert(args.end(), {"dbtst120", "-C", "112", "-R", "report"});
    RunResult r = run(args);
    EXPECT_EQ(r.exit_code, 1);

    std::string screen = kHeader + row("dbtst100112");
    std::string report = reportLine("dbtst100112", "R0", 0);
    for (const auto &name : invalid) {
        screen += invalidRow(name);
        report += invalidReportLine("R1", name);
    }
    screen += row("dbtst120112");
    report += reportLine("dbtst120112", "R0", 0);
    EXPECT_EQ(r.err, screen);
    EXPECT_EQ(dir_.read("report"), report);
}

TEST_F(TableNames, OneInvalidNameIsEnoughForExitOne)
{
    RunResult r = run({"-N", "dbtst10", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + invalidRow("dbtst10"));
}

TEST_F(TableNames, InvalidNameInCheckModeHasStatusC1)
{
    RunResult r = run({"-N", "dbtst1001", "dbtst100", "-C", "112", "-c", "-R",
                       "report"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + invalidRow("dbtst1001") +
                         row("dbtst100112", kNoReconfig));
    EXPECT_EQ(dir_.read("report"),
              invalidReportLine("C1", "dbtst1001") +
                  reportLine("dbtst100112", "C0", 0, kNoReconfig));
}

TEST_F(TableNames, SeveralNameOptionsAddUpInOrder)
{
    RunResult r = run({"-N", "dbtst120", "-C", "112", "-N", "dbtst100"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst120112") + row("dbtst100112"));
}

/* ======================================================================== */
/* -I: table names from a file                                              */
/* ======================================================================== */

class TableFile : public CliTest {};

TEST_F(TableFile, OneNamePerLine)
{
    dir_.write("tables", "dbtst100\ndbtst120\n");
    RunResult r = run({"-I", "tables", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst120112"));
}

TEST_F(TableFile, CarriageReturnLineFeedIsHandled)
{
    dir_.write("tables", "dbtst100\r\ndbtst120112\r\n");
    RunResult r = run({"-I", "tables", "-C", "112", "-c", "-R", "report"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig) +
                         row("dbtst120112", kNoReconfig));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst100112", "C0", 0, kNoReconfig) +
                  reportLine("dbtst120112", "C0", 0, kNoReconfig));
}

TEST_F(TableFile, LastLineWithoutLineFeedCounts)
{
    dir_.write("tables", "dbtst100\ndbtst120");
    RunResult r = run({"-I", "tables", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst120112"));
}

TEST_F(TableFile, LongLineIsSplitInto63CharacterPieces)
{
    /* 63 characters of filler, then a valid name: two entries. */
    const std::string filler(63, 'x');
    dir_.write("tables", filler + "dbtst120\ndbtst100\n");
    RunResult r = run({"-I", "tables", "-C", "112", "-R", "report"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + invalidRow(filler) + row("dbtst120112") +
                         row("dbtst100112"));
    EXPECT_EQ(dir_.read("report"),
              invalidReportLine("R1", filler) +
                  reportLine("dbtst120112", "R0", 0) +
                  reportLine("dbtst100112", "R0", 0));
}

TEST_F(TableFile, LineOfThreePiecesGivesThreeNames)
{
    const std::string first(63, 'a');
    const std::string second(63, 'b');
    dir_.write("tables", first + second + "ccc\n");
    RunResult r = run({"-I", "tables", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + invalidRow(first) + invalidRow(second) +
                         invalidRow("ccc"));
}

TEST_F(TableFile, EmptyLinesBecomeInvalidEmptyNames)
{
    dir_.write("tables", "dbtst100\n\ndbtst120\r\n\r\n");
    RunResult r = run({"-I", "tables", "-C", "112", "-R", "report"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + invalidRow("") +
                         row("dbtst120112") + invalidRow(""));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst100112", "R0", 0) + invalidReportLine("R1", "") +
                  reportLine("dbtst120112", "R0", 0) +
                  invalidReportLine("R1", ""));
}

TEST_F(TableFile, EmptyFileMeansNoTable)
{
    dir_.write("tables", "");
    RunResult r = run({"-I", "tables", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No table specified. Use -N to specify a table.\n");
}

TEST_F(TableFile, FileAndNameOptionAddUpInOrder)
{
    dir_.write("tables", "dbtst200\n");
    RunResult r = run({"-N", "dbtst100", "-I", "tables", "-N", "dbtst300",
                       "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst200112") +
                         row("dbtst300112"));
}

TEST_F(TableFile, NamesFromFileMayCarryTheirCompany)
{
    dir_.write("tables", "dbtst100112\ndbtst120113+\n");
    RunResult r = run({"-c", "-I", "tables"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig) +
                         row("dbtst120113", kNoReconfig));
}

/* ======================================================================== */
/* -R: report file (normal mode)                                            */
/* ======================================================================== */

class ReportFile : public CliTest {};

TEST_F(ReportFile, OneLinePerTableAndCompany)
{
    RunResult r = run({"-R", "report", "-N", "dbtst100", "dbtst120", "-C",
                       "112", "113"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("report"), reportLine("dbtst100112", "R0", 0) +
                                       reportLine("dbtst100113", "R0", 0) +
                                       reportLine("dbtst120112", "R0", 0) +
                                       reportLine("dbtst120113", "R0", 0));
}

TEST_F(ReportFile, CheckModeReportsC0WithTheMessage)
{
    RunResult r = run({"-c", "-R", "report", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("report"),
              "dbtst100112 C0 0 No reconfiguration is required\n");
}

TEST_F(ReportFile, DuplicatedPairIsAlreadyProcessedAndNoFailure)
{
    RunResult r = run({"-R", "report", "-N", "dbtst100", "dbtst100112",
                       "dbtst100", "-C", "112", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") +
                         row("dbtst100112", "Already Processed!") +
                         row("dbtst100112", "Already Processed!") +
                         row("dbtst100112", "Already Processed!") +
                         row("dbtst100112", "Already Processed!"));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst100112", "R0", 0) +
                  reportLine("dbtst100112", "R0", 0, "Already Processed!") +
                  reportLine("dbtst100112", "R0", 0, "Already Processed!") +
                  reportLine("dbtst100112", "R0", 0, "Already Processed!") +
                  reportLine("dbtst100112", "R0", 0, "Already Processed!"));
}

TEST_F(ReportFile, AlreadyProcessedInCheckModeHasStatusC0)
{
    RunResult r = run({"-c", "-R", "report", "-N", "dbtst100", "dbtst100",
                       "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig) +
                         row("dbtst100112", "Already Processed!"));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst100112", "C0", 0, kNoReconfig) +
                  reportLine("dbtst100112", "C0", 0, "Already Processed!"));
}

TEST_F(ReportFile, ExistingReportIsReplaced)
{
    dir_.write("report", "old content\nmore old content\n");
    RunResult r = run({"-R", "report", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("report"), reportLine("dbtst100112", "R0", 0));
}

TEST_F(ReportFile, CreatedAtOnceEvenWhenALaterStartupStepFails)
{
    /* The report file is created while the options are parsed. */
    RunResult r = run({"-R", "report", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(dir_.exists("report"));
    EXPECT_EQ(dir_.read("report"), "");
}

TEST_F(ReportFile, NormalModeWritesNoFixedReport)
{
    makeLogDir();
    RunResult r = run({"-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(dir_.exists("log/reconfig_report"));
}

/* ======================================================================== */
/* Run modes: -c check, -Z reorganize; the last one given wins              */
/* ======================================================================== */

class RunMode : public CliTest {};

TEST_F(RunMode, ReorganizeReportsR0)
{
    RunResult r = run({"-Z", "-R", "report", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112"));
    EXPECT_EQ(dir_.read("report"), reportLine("dbtst100112", "R0", 0));
}

TEST_F(RunMode, LastOfCheckAndReorganizeWins)
{
    RunResult reorganize = run({"-c", "-Z", "-R", "r1", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(reorganize.exit_code, 0);
    EXPECT_EQ(dir_.read("r1"), reportLine("dbtst100112", "R0", 0));

    RunResult check = run({"-Z", "-c", "-R", "r2", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(check.exit_code, 0);
    EXPECT_EQ(dir_.read("r2"), reportLine("dbtst100112", "C0", 0, kNoReconfig));
}

TEST_F(RunMode, OtherAcceptedOptionsDoNotChangeTheOutcome)
{
    RunResult r = run({"-m", "-r", "5", "-M", "10K", "-t", "dumps", "-N",
                       "dbtst100", "-C", "112", "-c"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig));
}

/* ======================================================================== */
/* Screen table on standard error                                           */
/* ======================================================================== */

class ScreenTable : public CliTest {};

TEST_F(ScreenTable, ExactBytesOfReconfigureRun)
{
    RunResult r = run({"-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Table       D Old      New      Messages\n"
              "----------- - -------- -------- ----------------------\n"
              "dbtst100112\n");
}

TEST_F(ScreenTable, ExactBytesOfCheckRunWithMessagesAtColumn32)
{
    RunResult r = run({"-c", "-N", "dbtst100", "dbtst1", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Table       D Old      New      Messages\n"
              "----------- - -------- -------- ----------------------\n"
              "dbtst100112                     No reconfiguration is required\n"
              "                                Invalid table name 'dbtst1'\n");
}

TEST_F(ScreenTable, MessagesStartAtColumn32)
{
    RunResult r = run({"-c", "-N", "dbtst100", "abc", "-C", "112"});
    std::vector<std::string> screen = lines(r.err);
    ASSERT_EQ(screen.size(), 4u);
    EXPECT_EQ(screen[2].find(kNoReconfig), kMessageColumn);
    EXPECT_EQ(screen[2].rfind("dbtst100112", 0), 0u);
    EXPECT_EQ(screen[3].find("Invalid table name 'abc'"), kMessageColumn);
    EXPECT_EQ(screen[3].find_first_not_of(' '), kMessageColumn);
}

TEST_F(ScreenTable, HeaderIsPrintedEvenWhenEveryNameIsInvalid)
{
    RunResult r = run({"-N", "x", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + invalidRow("x"));
}

/* ======================================================================== */
/* -s: suppress messages                                                    */
/* ======================================================================== */

class SuppressMessages : public CliTest {};

TEST_F(SuppressMessages, ScreenTableIsSilencedButReportStillWritten)
{
    RunResult r = run({"-s", "-c", "-R", "report", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir_.read("report"), reportLine("dbtst100112", "C0", 0, kNoReconfig));
}

TEST_F(SuppressMessages, FailedTableStillGivesExitOne)
{
    RunResult r = run({"-s", "-N", "dbtst10", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
}

TEST_F(SuppressMessages, StartupErrorsAreSilentButStillExitOne)
{
    dir_.write("dummy", "");
    const std::vector<std::vector<std::string>> cases = {
        {"-s", "-C", "112"},
        {"-s", "-N", "dbtst100"},
        {"-s", "-N", "dbtst100", "-C", "1000"},
        {"-s", "-N", "dbtst100", "-C", "114-112"},
        {"-s", "-N", "dbtst100", "-C", "112", "-"},
        {"-s", "-I", "no-such-file", "-C", "112"},
        {"-s", "-N", "dbtst100", "-C", "112", "-R", "no-dir/report"},
        {"-s", "-N", "dbtst100", "-C", "112", "-t", std::string(129, 'd')},
        {"-s", "-N", "dbtst100", "-C", "112", "-E", "no-dir/err.txt"},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(args[1] + " " + args.back());
        RunResult r = run(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(SuppressMessages, TakesEffectWhereItStandsOnTheCommandLine)
{
    /* Options are handled in order: an error found before -s is printed. */
    RunResult r = run({"-N", "dbtst100", "-C", "1000", "-s"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: Invalid company number specified: '1000'\n");
}

TEST_F(SuppressMessages, PackageCombinationIsCheckedBeforeSuppressionApplies)
{
    /* The package combination is checked in the scan before the options
     * are parsed, so -s is not yet in effect: the message and the fatal
     * error still appear, and the exit code is 1. */
    RunResult r = run({"-s", "-N", "dbtst100", "-C", "112", "-p", "b61"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Package combination \"b61\" does not exist.\n"
                     "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");
}

TEST_F(SuppressMessages, UsageIsStillPrinted)
{
    RunResult r = run({"-s", "-u"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
    EXPECT_EQ(r.err, "");
}

TEST_F(SuppressMessages, CompatibilityModeWarningsAreSilenced)
{
    /* No ${TSE}/log: the fixed report cannot be created. */
    RunResult r = runCompat({"-s", "-N", "dbtst100", "-C", "112", "-o",
                             "no-dir/ok.lst"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(SuppressMessages, IllegalDriverTypeIsSilentButExitsOne)
{
    RunResult r = runCompat({"-s", "-d", "x", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
}

/* ======================================================================== */
/* -E: redirection of standard error                                        */
/* ======================================================================== */

class ErrorRedirection : public CliTest {};

TEST_F(ErrorRedirection, ScreenTableGoesToTheFile)
{
    RunResult r = run({"-E", "err.txt", "-c", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir_.read("err.txt"), kHeader + row("dbtst100112", kNoReconfig));
}

TEST_F(ErrorRedirection, AttachedFormWorksToo)
{
    RunResult r = run({"-Eerr.txt", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir_.read("err.txt"), kHeader + row("dbtst100112"));
}

TEST_F(ErrorRedirection, FileIsCreatedAnewWithMode0644)
{
    dir_.write("err.txt", "a much longer old content that must disappear\n");
    const mode_t mask = umask(0);
    umask(mask);
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-E", "err.txt"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("err.txt"), kHeader + row("dbtst100112"));

    std::filesystem::remove(path("err.txt"));
    RunResult fresh = run({"-N", "dbtst100", "-C", "112", "-E", "err.txt"});
    EXPECT_EQ(fresh.exit_code, 0);
    struct stat st {};
    ASSERT_EQ(stat(path("err.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
}

TEST_F(ErrorRedirection, StartupErrorsGoToTheFile)
{
    RunResult r = run({"-E", "err.txt", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir_.read("err.txt"),
              "Error: No table specified. Use -N to specify a table.\n");
}

TEST_F(ErrorRedirection, RedirectionHappensBeforeAnyOptionIsParsed)
{
    /* The unknown option comes before -E, yet its diagnostic lands in the
     * file; the usage stays on standard output. */
    RunResult r = run({"-x", "-E", "err.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir_.read("err.txt"), invalidOptionDiagnostic('x'));
    EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Normal));
}

TEST_F(ErrorRedirection, AttachedFormRedirectsBeforeAnyOptionIsParsed)
{
    RunResult r = run({"-x", "-Eerr.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir_.read("err.txt"), invalidOptionDiagnostic('x'));
}

TEST_F(ErrorRedirection, PackageCombinationFailureGoesToTheFile)
{
    RunResult r = run({"-p", "b61", "-E", "err.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir_.read("err.txt"),
              "Package combination \"b61\" does not exist.\n"
              "tdbreconfig: FATAL ERROR: 'Cannot set package combination'\n");
}

TEST_F(ErrorRedirection, VersionBannerGoesToTheFile)
{
    RunResult direct = run({"-N", "x", "-v"});
    RunResult r = run({"-E", "err.txt", "-N", "x", "-v"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir_.read("err.txt"), direct.err);
}

/* ======================================================================== */
/* Compatibility mode (development tools below 7.3)                         */
/* ======================================================================== */

class CompatibilityMode : public CliTest {};

TEST_F(CompatibilityMode, ReportGoesToFixedFileUnderLog)
{
    makeLogDir();
    RunResult r = runCompat({"-N", "dbtst100", "dbtst10", "-C", "112", "113"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst100113") +
                         invalidRow("dbtst10"));
    EXPECT_EQ(dir_.read("log/reconfig_report"),
              reportLine("dbtst100112", "R0", 0) +
                  reportLine("dbtst100113", "R0", 0) +
                  invalidReportLine("R1", "dbtst10"));
}

TEST_F(CompatibilityMode, ExistingFixedReportIsReplaced)
{
    makeLogDir();
    dir_.write("log/reconfig_report", "left over from an earlier run\n");
    RunResult r = runCompat({"-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("log/reconfig_report"), reportLine("dbtst100112", "R0", 0));
}

TEST_F(CompatibilityMode, UncreatableFixedReportGivesWarningAndRunGoesOn)
{
    /* No ${TSE}/log directory. */
    RunResult r = runCompat({"-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Warning: Cannot create file '${TSE}/log/reconfig_report' "
                     "(errno 2) -- ignored\n" +
                         kHeader + row("dbtst100112"));
    EXPECT_FALSE(dir_.exists("log"));
}

TEST_F(CompatibilityMode, ReportOptionTakesNoArgument)
{
    makeLogDir();
    RunResult r = runCompat({"-R", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112"));
    EXPECT_EQ(dir_.read("log/reconfig_report"), reportLine("dbtst100112", "R0", 0));
    EXPECT_FALSE(dir_.exists("-N"));
}

TEST_F(CompatibilityMode, NormalModeReportOptionTakesTheNextArgument)
{
    /* The contrast: in normal mode "-R -N" names a report file "-N", so
     * the names after it are no table names. */
    RunResult r = run({"-R", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No table specified. Use -N to specify a table.\n");
    EXPECT_TRUE(dir_.exists("-N"));
}

TEST_F(CompatibilityMode, ObsoleteOptionsAreAcceptedAndIgnored)
{
    makeLogDir();
    RunResult r = runCompat({"-f", "-n", "-T", "-O", "anything", "-R", "-i",
                             "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112"));
    EXPECT_FALSE(dir_.exists("anything"));
}

TEST_F(CompatibilityMode, CheckWithoutCompanyChecksCompanyZero)
{
    makeLogDir();
    RunResult r = runCompat({"-c", "-N", "dbtst100", "dbtst120"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100000", kNoReconfig) +
                         row("dbtst120000", kNoReconfig));
    EXPECT_EQ(dir_.read("log/reconfig_report"),
              reportLine("dbtst100000", "C0", 0, kNoReconfig) +
                  reportLine("dbtst120000", "C0", 0, kNoReconfig));
}

TEST_F(CompatibilityMode, CheckTakesEachTableOnceEvenWithSeveralCompanies)
{
    makeLogDir();
    RunResult r = runCompat({"-c", "-N", "dbtst100", "dbtst120", "-C", "112",
                             "113", "114"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig) +
                         row("dbtst120112", kNoReconfig));
    EXPECT_EQ(dir_.read("log/reconfig_report"),
              reportLine("dbtst100112", "C0", 0, kNoReconfig) +
                  reportLine("dbtst120112", "C0", 0, kNoReconfig));
}

TEST_F(CompatibilityMode, ReconfigureWithoutCompanyIsStillAnError)
{
    RunResult r = runCompat({"-N", "dbtst100"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: No company number specified. Use -C to specify "
                     "a company number.\n");
}

TEST_F(CompatibilityMode, ReconfigureTakesEveryCompany)
{
    makeLogDir();
    RunResult r = runCompat({"-N", "dbtst100", "-C", "112-114"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst100113") +
                         row("dbtst100114"));
}

/* ======================================================================== */
/* -o / -e: list files of compatibility mode                                */
/* ======================================================================== */

class ListFiles : public CliTest {};

TEST_F(ListFiles, SucceededTablesWithCompanyInReconfigureMode)
{
    makeLogDir();
    RunResult r = runCompat({"-o", "ok.lst", "-e", "failed.lst", "-N",
                             "dbtst100", "dbtst120", "-C", "112", "113"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("ok.lst"),
              "dbtst100112\ndbtst100113\ndbtst120112\ndbtst120113\n");
    /* Opened on the first entry only: nothing failed, so no file. */
    EXPECT_FALSE(dir_.exists("failed.lst"));
}

TEST_F(ListFiles, CheckModeListsTableNamesOnly)
{
    makeLogDir();
    RunResult r = runCompat({"-c", "-o", "ok.lst", "-N", "dbtst100",
                             "dbtst120113"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("ok.lst"), "dbtst100\ndbtst120\n");
}

TEST_F(ListFiles, InvalidNamesAreNotListed)
{
    makeLogDir();
    RunResult r = runCompat({"-o", "ok.lst", "-e", "failed.lst", "-N",
                             "dbtst10", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(dir_.read("ok.lst"), "dbtst100112\n");
    EXPECT_FALSE(dir_.exists("failed.lst"));
}

TEST_F(ListFiles, ExistingListFileIsReplaced)
{
    makeLogDir();
    dir_.write("ok.lst", "old entry one\nold entry two\n");
    RunResult r = runCompat({"-o", "ok.lst", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_.read("ok.lst"), "dbtst100112\n");
}

TEST_F(ListFiles, UncreatableListFileIsReportedOnceAndRunGoesOn)
{
    makeLogDir();
    RunResult r = runCompat({"-o", "no-dir/ok.lst", "-N", "dbtst100",
                             "dbtst120", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") +
                         "Cannot create file 'no-dir/ok.lst' (errno 2)\n" +
                         row("dbtst120112"));
    EXPECT_EQ(dir_.read("log/reconfig_report"),
              reportLine("dbtst100112", "R0", 0) +
                  reportLine("dbtst120112", "R0", 0));
}

/* ======================================================================== */
/* -d: driver type (compatibility mode)                                     */
/* ======================================================================== */

class DriverType : public CliTest {};

TEST_F(DriverType, IllegalLetterFailsDriverInitialisation)
{
    makeLogDir();
    for (const char *letter : {"x", "A", "z"}) {
        SCOPED_TRACE(letter);
        RunResult r = runCompat({"-d", letter, "-N", "dbtst100", "-C", "112"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, std::string("Illegal driver type defined ('") + letter +
                             "')\nError: init_driver failed\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(DriverType, IllegalLetterDoesNotMatterInCheckMode)
{
    makeLogDir();
    RunResult r = runCompat({"-c", "-d", "x", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig));
}

/* The screen of an alter that the driver named by -d cannot serve: the
 * environment knows no such driver (505), and the indexes the driver may
 * have dropped are created again, each failing the same way. */
std::string failedAlterScreen()
{
    const std::string indent(kMessageColumn, ' ');
    return kHeader + row("dbtst100112", "Reconfiguration failed (error 505)") + indent +
           "Recreating dropped indexes ... \n" + indent + "Create index 1 failed (error 505)\n" +
           indent + "done\n";
}

TEST_F(DriverType, KnownLettersInEitherCaseAndLongerNamesAreAccepted)
{
    makeLogDir();
    for (const char *driver : {"O", "o", "I", "s", "D", "m", "N", "mydriver"}) {
        SCOPED_TRACE(driver);
        RunResult r = runCompat({"-d", driver, "-N", "dbtst100", "-C", "112"});
        /* Start-up accepts the driver; the table step then asks for it. */
        EXPECT_EQ(r.err, failedAlterScreen());
        EXPECT_EQ(r.exit_code, 1);
    }
}

TEST_F(DriverType, FailedAlterRecreatesDroppedIndexesAndIsReported)
{
    makeLogDir();
    /* With the driver of the tabledef the same table needs nothing. */
    RunResult r = run({"-N", "dbtst100", "-C", "112", "-R", "report"},
                      Mode::Normal);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = runCompat({"-d", "O", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, failedAlterScreen());
    EXPECT_EQ(dir_.read("log/reconfig_report"),
              reportLine("dbtst100112", "R1", 505, "Reconfiguration failed (error 505)"));
}

TEST_F(DriverType, ReorganizeAlsoInitialisesTheDriver)
{
    makeLogDir();
    RunResult r = runCompat({"-Z", "-d", "x", "-N", "dbtst100", "-C", "112"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Illegal driver type defined ('x')\n"
                     "Error: init_driver failed\n");
}

/* ======================================================================== */
/* Company-number mapping: ${TSE}/lib/compnr6.2                             */
/* ======================================================================== */

class CompanyMapping : public CliTest {
protected:
    void writeMapping(const std::string &text) const { dir_.write("lib/compnr6.2", text); }
};

TEST_F(CompanyMapping, MappedCompaniesAreProcessedOnceUnderTheirPhysicalNumber)
{
    writeMapping("# package db: 113 and 114 are stored as 112\n"
                 "db:112:113,114\n");
    RunResult r = run({"-c", "-N", "dbtst100", "-C", "112-114", "-R", "report"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string skipped113 = "Compnr 113 mapped to 112. 112 Already Processed!";
    const std::string skipped114 = "Compnr 114 mapped to 112. 112 Already Processed!";
    EXPECT_EQ(r.err, kHeader + row("dbtst100112", kNoReconfig) +
                         row("dbtst100113", skipped113) +
                         row("dbtst100114", skipped114));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst100112", "C0", 0, kNoReconfig) +
                  reportLine("dbtst100113", "C0", 0, skipped113) +
                  reportLine("dbtst100114", "C0", 0, skipped114));
}

TEST_F(CompanyMapping, LogicalCompanyFirstProcessesThePhysicalTable)
{
    writeMapping("db:112:113\n");
    RunResult r = run({"-c", "-N", "dbtst100", "-C", "113", "112", "-R", "report"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string note = "Compnr 113 mapped to 112. Processing 112...";
    EXPECT_EQ(r.err, kHeader + row("dbtst100113", note + kNoReconfig) +
                         row("dbtst100112", "Already Processed!"));
    EXPECT_EQ(dir_.read("report"),
              reportLine("dbtst100113", "C0", 0, note + kNoReconfig) +
                  reportLine("dbtst100112", "C0", 0, "Already Processed!"));
}

TEST_F(CompanyMapping, TablePatternCoversOnlyThatTable)
{
    writeMapping("dbtst120:112:113\n");
    RunResult r = run({"-N", "dbtst100", "dbtst120", "-C", "113"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100113") +
                         row("dbtst120113", "Compnr 113 mapped to 112. Processing 112..."));
}

TEST_F(CompanyMapping, CompatibilityModeRefusesMappedCompanies)
{
    makeLogDir();
    writeMapping("db:112:113\n");
    RunResult r = runCompat({"-o", "ok.lst", "-e", "failed.lst", "-N", "dbtst100",
                             "-C", "112", "113"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string refusal = "Unallowed (logical) compnr 113 (physical 112) for reconfig";
    EXPECT_EQ(r.err, kHeader + row("dbtst100112") + row("dbtst100113", refusal));
    EXPECT_EQ(dir_.read("log/reconfig_report"),
              reportLine("dbtst100112", "R0", 0) +
                  reportLine("dbtst100113", "R0", 0, refusal));
    EXPECT_EQ(dir_.read("ok.lst"), "dbtst100112\ndbtst100113\n");
    EXPECT_FALSE(dir_.exists("failed.lst"));
}

TEST_F(CompanyMapping, InconsistentMappingIsLoggedAndIgnored)
{
    makeLogDir();
    writeMapping("db:112:113\n"
                 "db:113:114\n");
    RunResult r = run({"-N", "dbtst100", "-C", "113", "114"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHeader + row("dbtst100113") + row("dbtst100114"))
        << "every company is its own physical company";
    const std::string log = dir_.read("log/log.tdbreconfig");
    EXPECT_NE(log.find("keyword: Inconsistent company mapping"), std::string::npos) << log;
    EXPECT_NE(log.find("Company mapping $TSE/lib/compnr6.2 will be ignored."),
              std::string::npos);
    EXPECT_NE(log.find("db:113:114 (phys = 113, log = 114):"), std::string::npos);
    EXPECT_NE(log.find("physical company number already used as a logical company."),
              std::string::npos);
}

} // namespace

/* ======================================================================== */
/* The software environment: user file, development tools, log              */
/* ======================================================================== */

class RuntimeEnvironment : public CliTest {};

TEST_F(RuntimeEnvironment, MissingUserFileFailsTheApiStart)
{
    makeLogDir();
    RunResult r = run({"-N", "dbtst100", "-C", "1"}, Mode::Normal, {{"USER", "ghost"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: Failed to initialize TDB API\n");
    const std::string log = dir_.read("log/log.tdbreconfig");
    EXPECT_NE(log.find("User file for user 'ghost' does not exist."), std::string::npos) << log;
    EXPECT_NE(log.find("Current user is not a valid Trel user."), std::string::npos) << log;
}

TEST_F(RuntimeEnvironment, WithoutPackageCombinationTheToolsAreOldAndModeIsCompatibility)
{
    makeLogDir();
    dir_.write("lib/user/u/uplain", "usertype: S\n");
    RunResult r = run({"-u"}, Mode::Normal, {{"USER", "plain"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Compat));
    EXPECT_NE(dir_.read("log/log.tdbreconfig")
                  .find("Failed to determine Development Tools version (could not "
                        "explode 'F_OBJ:ottiex1287')"),
              std::string::npos);
}

TEST_F(RuntimeEnvironment, PackageCombinationOfTheEnvironmentWinsOverTheUsers)
{
    makePackageCombination("old", Mode::Compat);
    RunResult r = run({"-u"}, Mode::Normal, {{"PACKAGE_COMB", "old"}});
    EXPECT_EQ(r.out, usageText("tdbreconfig", Mode::Compat));
    RunResult p = run({"-u", "-p", "old"}, Mode::Normal);
    EXPECT_EQ(p.out, usageText("tdbreconfig", Mode::Compat)) << "-p sets it before the mode is chosen";
}

TEST_F(RuntimeEnvironment, ReportAndTableFilesGoThroughStreamNames)
{
    /* Streams expand variables: -I and -R may name ${TSE}. */
    dir_.write("tables", "dbtst100\n");
    RunResult r = run({"-c", "-I", "${TSE}/tables", "-C", "7", "-R", "${TSE}/rep"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(dir_.read("rep"), reportLine("dbtst100007", "C0", 0, kNoReconfig));
}
