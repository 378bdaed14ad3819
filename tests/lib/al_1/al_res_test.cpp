/*
 * al_res_test.cpp: tests of the resource layer: defaults, environment
 * overrides and files (precedence, classes, comments, error messages),
 * value types, export, undefined resources, the registry limit, run-time
 * updates by command string, reserved entries and change hooks, escape
 * processing and the AL message table. Tests that register tables run in
 * a forked child, since the registry lives for the process.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "al_env.h"
#include "al_msg.h"
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

const char kProg[] = "tdbreconfig";

int gInt, gHex, gOct, gDup1, gDup2, gDyn, gRt;
short gShort;
char gChar, gRawChar;
unsigned char gByte;
float gFloat;
double gDouble;
char gFix[8], gEnvFix[16], gExport[16], gExportChanged[16];
char *gStr;

struct resource gTable[] = {
    {"t_int", &gInt, RES_INT, 0, "5", nullptr, nullptr, nullptr},
    {"t_short", &gShort, RES_SHORT, 0, "-3", nullptr, nullptr, nullptr},
    {"t_char", &gChar, RES_CHAR, 0, "\\t", nullptr, nullptr, nullptr},
    {"t_rawchar", &gRawChar, RES_CHAR | RES_RAW, 0, "\\t", nullptr, nullptr, nullptr},
    {"t_byte", &gByte, RES_BYTE, 0, "200", nullptr, nullptr, nullptr},
    {"t_float", &gFloat, RES_FLOAT, 0, "1.5", nullptr, nullptr, nullptr},
    {"t_double", &gDouble, RES_DOUBLE, 0, "2.25e3", nullptr, nullptr, nullptr},
    {"t_fix", gFix, RES_FIXSTR, sizeof gFix, "abc", nullptr, nullptr, nullptr},
    {"t_str", &gStr, RES_STRING, 0, "s\\x", nullptr, nullptr, nullptr},
    {"t_hex", &gHex, RES_INT | RES_HEX | RES_ENV, 0, "ff", nullptr, "T_HEX_ENV", nullptr},
    {"t_oct", &gOct, RES_INT | RES_OCT, 0, "17", nullptr, nullptr, nullptr},
    {"t_env", gEnvFix, RES_FIXSTR | RES_ENV, sizeof gEnvFix, "dflt", nullptr, nullptr, nullptr},
    {"t_bad", &gDup2, 0, 0, nullptr, nullptr, nullptr, nullptr},
    {"t_export", gExport, RES_FIXSTR | RES_EXPORT | RES_ENV, sizeof gExport, "e1", nullptr,
     "T_EXPORTED", nullptr},
    {"t_expchg", gExportChanged, RES_FIXSTR | RES_EXPORT_CHANGED, sizeof gExportChanged, "d",
     nullptr, "T_EXPCHG", nullptr},
    {"dup", &gDup1, RES_INT, 0, nullptr, nullptr, nullptr, nullptr},
    {"slot", nullptr, RES_RESERVED, 0, nullptr, nullptr, nullptr, nullptr},
    {"slot", nullptr, RES_RESERVED, 0, nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

struct resource gSecond[] = {
    {"dup", &gDup2, RES_INT, 0, nullptr, nullptr, nullptr, nullptr},
    {"", nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

struct resource gExtra[] = {
    {"x_rt", &gRt, RES_INT | RES_ENV | RES_RUNTIME, 0, "1", nullptr, nullptr, nullptr},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

struct resource *desc(const char *name)
{
    return al_findres_by_name(name, 0);
}

class ResTest : public ::testing::Test {
protected:
    TempDir cwd_, root_;

    void start() const
    {
        cleanEnvironment(cwd_.path());
        startLogging(root_, kProg);
        BaseInit(kProg);
    }

    /* Writes a resource file under the root; returns its "@" name. */
    std::string file(const std::string &relative, const std::string &content) const
    {
        return "@" + root_.write(relative, content);
    }

    std::string log() const { return logText(root_, kProg); }
};

} // namespace

/* ---- defaults and types ------------------------------------------------------- */

TEST_F(ResTest, DefaultsAreStoredByTypeWithoutMarkingChanged)
{
    inChild([&] {
        start();
        ASSERT_EQ(al_add_resources(gTable), 0);
        EXPECT_EQ(gInt, 5);
        EXPECT_EQ(gShort, -3);
        EXPECT_EQ(gChar, '\t');
        EXPECT_EQ(gRawChar, '\\');
        EXPECT_EQ(gByte, 200);
        EXPECT_EQ(gFloat, 1.5f);
        EXPECT_EQ(gDouble, std::strtod("2.25e3", nullptr));
        EXPECT_STREQ(gFix, "abc");
        EXPECT_STREQ(gStr, "sx") << "an unknown escape keeps the character";
        EXPECT_EQ(gHex, 0xff);
        EXPECT_EQ(gOct, 017);
        EXPECT_EQ(desc("t_int")->flags & RES_CHANGED, 0u);
        EXPECT_EQ(desc("t_hex")->flags & RES_CHANGED, 0u);

        gInt = 99;
        EXPECT_EQ(al_add_resources(gTable), 0);
        EXPECT_EQ(gInt, 99) << "a table is added once";
    });
}

TEST_F(ResTest, FixedStringsAreTruncatedAndUnknownTypesRefused)
{
    inChild([&] {
        start();
        al_add_resources(gTable);
        EXPECT_EQ(al_setres_by_name("t_fix", "1234567890", 1), 0);
        EXPECT_STREQ(gFix, "1234567");
        EXPECT_NE(desc("t_fix")->flags & RES_CHANGED, 0u);
        EXPECT_EQ(al_setres_by_name("t_bad", "1", 0), -1);
        EXPECT_EQ(occurrences(log(), "Bad resource type for 't_bad'"), 1);
        EXPECT_EQ(al_setres_by_name("no_such_resource", "1", 0), -1);
        EXPECT_EQ(al_setres_by_name("t_int", "TRUE", 0), 0);
        EXPECT_EQ(gInt, 1);
        EXPECT_EQ(al_setres_by_name("t_int", "No", 0), 0);
        EXPECT_EQ(gInt, 0);
        EXPECT_EQ(al_setres_by_name("t_fix", "yes", 0), 0);
        EXPECT_STREQ(gFix, "yes");
    });
}

/* ---- precedence --------------------------------------------------------------- */

TEST_F(ResTest, EnvironmentBeatsFileBeatsDefaultAndLaterFileBeatsEarlier)
{
    std::string first = file("first", "t_int: 7\nt_hex: 20\nt_short: 11\n");
    std::string second = file("second", "t_int: 8\n");
    root_.write("lib/defaults/relative", "t_oct: 777\n");
    inChild([&] {
        start();
        setenv("T_HEX_ENV", "10", 1);
        al_add_resources(gTable);
        EXPECT_EQ(gHex, 0x10) << "the environment overrides the default too";
        EXPECT_EQ(al_load_specified_res(first.c_str(), nullptr), 3);
        EXPECT_EQ(gInt, 7);
        EXPECT_EQ(gHex, 0x10);
        EXPECT_EQ(gShort, 11);
        EXPECT_EQ(al_load_specified_res(second.c_str(), nullptr), 1);
        EXPECT_EQ(gInt, 8);
        EXPECT_EQ(gShort, 11);
        /* A name without "@" is looked up under the root. */
        EXPECT_EQ(al_load_specified_res("lib/defaults/relative", nullptr), 1);
        EXPECT_EQ(gOct, 0777);
    });
}

TEST_F(ResTest, ClassLinesApplyOnlyToTheirProgram)
{
    std::string f = file("classes", "other.t_int: 2\n"
                                    "TdbReconfig.t_short: 9\n"
                                    "*t_oct: 3\n"
                                    ".t_fix: dot\n"
                                    "tdbreconfig*t_hex: 1f\n"
                                    "otherprog.debug_level: 1\n"
                                    "*debug_level: 2\n");
    inChild([&] {
        start();
        al_add_resources(al_standard_resources);
        al_add_resources(gTable);
        EXPECT_EQ(al_load_specified_res(f.c_str(), nullptr), 5);
        EXPECT_EQ(gInt, 5);
        EXPECT_EQ(gShort, 9);
        EXPECT_EQ(gOct, 3);
        EXPECT_STREQ(gFix, "dot");
        EXPECT_EQ(gHex, 0x1f);
        EXPECT_EQ(user_info.debug_level, 2);
    });
}

TEST_F(ResTest, CommentsAndBadLinesAreReportedAndSkipped)
{
    std::string f = file("bad", "! log_size: 1\n"
                                "# log_size: 2\n"
                                "   \n"
                                "log_size 512\n"
                                "log_size:\n"
                                "log_size : 512\n"
                                "unknown_name: 1\n"
                                "   t_fix:   ab \t \n");
    inChild([&] {
        start();
        al_add_resources(al_standard_resources);
        al_add_resources(gTable);
        EXPECT_EQ(al_load_specified_res(f.c_str(), nullptr), 1);
        EXPECT_EQ(user_info.log_size, 512) << "still the default";
        EXPECT_EQ(desc("log_size")->flags & RES_CHANGED, 0u);
        EXPECT_STREQ(gFix, "ab");
        std::string path = f.substr(1);
        std::string text = log();
        EXPECT_EQ(occurrences(text, "Missing ':' at line 4 of " + path), 1);
        EXPECT_EQ(occurrences(text, "Unexpected end of line at line 5 in file " + path), 1);
        EXPECT_EQ(occurrences(text, "Missing ':'"), 1);
        EXPECT_EQ(occurrences(text, "Unexpected end of line"), 1);
        char value[16];
        EXPECT_EQ(al_getres_by_name("unknown_name", value, sizeof value), -1);
    });
}

TEST_F(ResTest, StandardTableEdgeCases)
{
    std::string f = file("std", "bidi: yes\nlocale: yes\ndateformat: DDMMYYYY\n"
                                "log_size: 1024\ntimezone: Asia/Tokyo\nlog_size:\n");
    inChild([&] {
        start();
        setenv("TRELTZ", "America/Chicago", 1);
        al_add_resources(al_standard_resources);
        EXPECT_STREQ(user_info.timezone, "America/Chicago");
        EXPECT_EQ(al_load_specified_res(f.c_str(), nullptr), 5);
        EXPECT_EQ(user_info.bidi, 1);
        EXPECT_STREQ(user_info.locale, "yes");
        EXPECT_STREQ(user_info.dateformat, "DDMMYY");
        EXPECT_EQ(user_info.log_size, 1024);
        EXPECT_STREQ(user_info.timezone, "America/Chicago");
        EXPECT_EQ(user_info.high_ascii_tolerance, -1);
        EXPECT_STREQ(user_info.appl_server, "tshell");
        EXPECT_EQ(user_info.termauth, 1);
    });
}

TEST_F(ResTest, MissingFileOrProgramNameGivesMinusOne)
{
    std::string f = file("present", "t_int: 1\n");
    inChild([&] {
        cleanEnvironment(cwd_.path());
        setenv("TSE", root_.path().c_str(), 1);
        /* No program name: BaseInit has not run. */
        EXPECT_EQ(al_load_specified_res(f.c_str(), gExtra), -1);
        EXPECT_EQ(gRt, 0) << "not even the defaults of the extra table";
        startLogging(root_, kProg);
        BaseInit(kProg);
        EXPECT_EQ(al_load_specified_res("@/no/such/file", nullptr), -1);
        EXPECT_EQ(al_load_specified_res("lib/no/such/file", nullptr), -1);
        EXPECT_EQ(occurrences(log(), "/no/such/file"), 0) << "a missing file is not logged";
    });
}

TEST_F(ResTest, BinaryFileDoesNotCrash)
{
    std::string garbage;
    for (int i = 0; i < 6000; ++i)
        garbage += static_cast<char>((i * 31 + 17) % 256);
    std::string f = file("garbage", garbage + "\nt_int: 42\n");
    inChild([&] {
        start();
        al_add_resources(gTable);
        EXPECT_GE(al_loadres(f.c_str()), 1);
        EXPECT_EQ(gInt, 42);
    });
}

/* ---- extra table ------------------------------------------------------------------- */

TEST_F(ResTest, ExtraTableIsAloneDuringTheLoad)
{
    std::string f = file("extra", "x_rt: 9\nt_int: 99\n");
    inChild([&] {
        start();
        al_add_resources(gTable);
        EXPECT_EQ(al_load_specified_res(f.c_str(), gExtra), 1);
        EXPECT_EQ(gRt, 9);
        EXPECT_EQ(gInt, 5) << "the registered tables are out during the load";
        EXPECT_EQ(desc("x_rt"), nullptr);
        EXPECT_NE(desc("t_int"), nullptr);
        /* The defaults of the extra table apply even when the file is missing. */
        gRt = 0;
        gExtra[0].flags &= ~static_cast<unsigned int>(RES_CHANGED);
        EXPECT_EQ(al_load_specified_res("@/no/such/file", gExtra), -1);
        EXPECT_EQ(gRt, 1);
    });
}

/* ---- lookup and reading back --------------------------------------------------------- */

TEST_F(ResTest, LookupInOrderOfAddingByNameOrEnvironmentName)
{
    inChild([&] {
        start();
        al_add_resources(gTable);
        al_add_resources(gSecond);
        EXPECT_EQ(al_setres_by_name("dup", "4", 0), 0);
        EXPECT_EQ(gDup1, 4);
        EXPECT_EQ(gDup2, 0);
        EXPECT_EQ(al_findres_by_name("T_HEX_ENV", 1), desc("t_hex"));
        EXPECT_EQ(al_findres_by_name("T_ENV", 1), desc("t_env"));
        EXPECT_EQ(al_findres_by_name("T_INT", 1), nullptr);
        EXPECT_EQ(al_findres_by_name("t_hex", 1), nullptr);
        EXPECT_EQ(desc("slot"), nullptr) << "reserved entries are skipped";
        char name[32];
        EXPECT_EQ(get_envvar_name(desc("t_env"), name, sizeof name), 5);
        EXPECT_STREQ(name, "T_ENV");
        EXPECT_EQ(get_envvar_name(desc("t_hex"), name, sizeof name), 9);
        EXPECT_STREQ(name, "T_HEX_ENV");
        EXPECT_EQ(get_envvar_name(desc("t_int"), name, sizeof name), 0);
    });
}

TEST_F(ResTest, ReadingBackWritesText)
{
    inChild([&] {
        start();
        al_add_resources(gTable);
        char out[32];
        auto get = [&](const char *name) {
            return al_getres_by_name(name, out, sizeof out) == 1 ? std::string(out)
                                                                 : std::string("<none>");
        };
        EXPECT_EQ(get("t_int"), "5");
        EXPECT_EQ(get("t_short"), "-3");
        EXPECT_EQ(get("t_char"), "\t");
        EXPECT_EQ(get("t_byte"), "200");
        EXPECT_EQ(get("t_float"), "1.500000");
        EXPECT_EQ(get("t_double"), "2250.000000");
        EXPECT_EQ(get("t_fix"), "abc");
        EXPECT_EQ(get("t_str"), "sx");
        EXPECT_EQ(get("t_hex"), "255");
        EXPECT_EQ(get("no_such"), "<none>");
        EXPECT_EQ(al_getres_by_name("t_fix", out, 3), 1);
        EXPECT_STREQ(out, "ab");
    });
}

/* ---- export -------------------------------------------------------------------------- */

TEST_F(ResTest, ExportedValuesReachTheEnvironment)
{
    inChild([&] {
        start();
        al_add_resources(gTable);
        EXPECT_STREQ(std::getenv("T_EXPORTED"), "e1");
        EXPECT_NE(desc("t_export")->flags & RES_EXPORTED, 0u);
        EXPECT_EQ(std::getenv("T_EXPCHG"), nullptr) << "unchanged: not exported";
        /* Once exported, the environment no longer overrides. */
        setenv("T_EXPORTED", "outside", 1);
        EXPECT_EQ(al_setres_by_name("t_export", "e2", 1), 0);
        EXPECT_STREQ(gExport, "e2");
        EXPECT_STREQ(std::getenv("T_EXPORTED"), "e2");
        EXPECT_EQ(al_setres_by_name("t_expchg", "new", 1), 0);
        EXPECT_STREQ(std::getenv("T_EXPCHG"), "new");
    });
}

/* ---- undefined resources ---------------------------------------------------------------- */

TEST_F(ResTest, LoadresCreatesUndefinedResourcesAndGrowsTheirTable)
{
    std::string content = "myundef: hello\\sworld\n";
    for (int i = 0; i < 40; ++i)
        content += "u" + std::to_string(i) + ": v" + std::to_string(i) + "\n";
    std::string f = file("undef", content);
    std::string plain = file("plain", "notcreated: 1\n");
    inChild([&] {
        start();
        al_add_resources(al_standard_resources);
        EXPECT_EQ(al_load_specified_res(plain.c_str(), nullptr), 0);
        char out[64];
        EXPECT_EQ(al_getres_by_name("notcreated", out, sizeof out), -1);

        user_info.debug_level = AL_DEBUG_RESOURCES;
        testing::internal::CaptureStderr();
        EXPECT_EQ(al_loadres(f.c_str()), 41);
        std::string trace = testing::internal::GetCapturedStderr();
        user_info.debug_level = 0;
        EXPECT_EQ(al_getres_by_name("myundef", out, sizeof out), 1);
        EXPECT_STREQ(out, "hello world");
        EXPECT_EQ(al_getres_by_name("u39", out, sizeof out), 1);
        EXPECT_STREQ(out, "v39");
        EXPECT_EQ(occurrences(trace, "Created space for 32 undefined resources\n"), 1);
        EXPECT_EQ(occurrences(trace, "Created space for 32 extra undefined resources\n"), 1);
        EXPECT_EQ(occurrences(trace, "Inserted undefined resource 'u0'\n"), 1);
        EXPECT_EQ(occurrences(trace, "Loading resource file " + f.substr(1) +
                                         " (class = tdbreconfig)\n"),
                  1);
        EXPECT_EQ(occurrences(trace, "Setting resource 'u5' to 'v5'\n"), 1);
        /* Undefined resources are assigned without al_loadres afterwards. */
        EXPECT_EQ(al_setres_by_name("u1", "again", 0), 0);
        EXPECT_EQ(al_getres_by_name("u1", out, sizeof out), 1);
        EXPECT_STREQ(out, "again");
    });
}

/* ---- registry limit ----------------------------------------------------------------------- */

TEST_F(ResTest, SixthTableIsRefused)
{
    static int vars[6];
    static struct resource tables[6][2];
    static char names[6][16];
    for (int i = 0; i < 6; ++i) {
        std::snprintf(names[i], sizeof names[i], "lim%d", i);
        tables[i][0] = {names[i], &vars[i], RES_INT, 0, "1", nullptr, nullptr, nullptr};
        tables[i][1] = {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr};
    }
    inChild([&] {
        start();
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(al_add_resources(tables[i]), 0);
        EXPECT_EQ(al_add_resources(tables[5]), -1);
        EXPECT_EQ(vars[5], 0);
        EXPECT_EQ(desc("lim5"), nullptr);
        EXPECT_EQ(al_add_resources(tables[0]), 0) << "an added table is no new one";
        EXPECT_EQ(occurrences(log(), "Can't add more resources. Limit is 5 arrays"), 1);
    });
}

/* ---- run-time updates ------------------------------------------------------------------------ */

namespace {

int gHookCalls;
int countingHook()
{
    ++gHookCalls;
    return 0;
}
int refusingHook()
{
    return -1;
}

} // namespace

TEST_F(ResTest, DebugLevelBitsNeedTheRunTimeFlag)
{
    inChild([&] {
        start();
        al_add_resources(al_standard_resources);
        user_info.debug_level = 1; /* not through the resource: still unchanged */
        EXPECT_EQ(al_updreses_by_comstring("DEBUG_LEVEL+800", nullptr), -1);
        EXPECT_EQ(user_info.debug_level, 1);
        std::string text = log();
        EXPECT_EQ(occurrences(text, "WARNING: Resource 'debug_level' cannot be changed at "
                                    "run time (ignored)"),
                  1);
        EXPECT_EQ(occurrences(text, "Command \"DEBUG_LEVEL+800\" failed. (ignored)"), 1);

        EXPECT_EQ(al_setres_mutfun("debug_level", countingHook, 0), 0);
        EXPECT_EQ(al_updreses_by_comstring("  DEBUG_LEVEL+800 ", nullptr), 0);
        EXPECT_EQ(user_info.debug_level, 0x800) << "an unchanged bit word starts at 0";
        EXPECT_EQ(al_updreses_by_comstring("DEBUG_LEVEL+1\tDEBUG_LEVEL-800", nullptr), 0);
        EXPECT_EQ(user_info.debug_level, 0x1);
        EXPECT_EQ(al_updreses_by_comstring("DEBUG_LEVEL=ff DEBUG_LEVEL*3", nullptr), 0);
        EXPECT_EQ(user_info.debug_level, 0xff);
        EXPECT_EQ(gHookCalls, 5);
    });
}

TEST_F(ResTest, CommandStringsQuotesErrorsAndHooks)
{
    inChild([&] {
        start();
        al_add_resources(gTable);
        ASSERT_EQ(al_setres_mutfun("t_env", nullptr, 0), 0);
        ASSERT_EQ(al_setres_mutfun("T_HEX_ENV", refusingHook, 1), 0);
        setenv("T_ENV", "outside", 1);
        EXPECT_EQ(al_updreses_by_comstring("T_ENV='a b'", nullptr), 0);
        EXPECT_STREQ(gEnvFix, "a b") << "the environment is suspended for the update";
        EXPECT_NE(desc("t_env")->flags & RES_ENV, 0u);
        EXPECT_EQ(al_updreses_by_comstring("T_ENV=\"c d\"", nullptr), 0);
        EXPECT_STREQ(gEnvFix, "c d");
        EXPECT_EQ(al_updreses_by_comstring("=x T_ENV= T_ENV", nullptr), 0);
        EXPECT_STREQ(gEnvFix, "c d");
        EXPECT_EQ(al_updreses_by_comstring("T_ENV+x", nullptr), -1);
        EXPECT_EQ(al_updreses_by_comstring("NOPE=1", nullptr), -1);
        EXPECT_EQ(al_updreses_by_comstring("T_HEX_ENV=5", nullptr), -1);
        EXPECT_EQ(gHex, 5) << "the value is set before the hook refuses";
        std::string text = log();
        EXPECT_EQ(occurrences(text, "Command \"=x\" not correct. (ignored)"), 1);
        EXPECT_EQ(occurrences(text, "WARNING: No bitwise operators possible for t_env (ignored)"), 1);
        EXPECT_EQ(occurrences(text, "WARNING: Resource 'NOPE' was not found (ignored)"), 1);
        EXPECT_EQ(occurrences(text, "Command \"NOPE=1\" failed. (ignored)"), 1);

        /* An extra table is the only one during the update. */
        gExtra[0].flags |= RES_RUNTIME;
        EXPECT_EQ(al_updreses_by_comstring("X_RT=6", gExtra), 0);
        EXPECT_EQ(gRt, 6);
        EXPECT_EQ(al_updreses_by_comstring("X_RT=7", nullptr), -1);
        EXPECT_EQ(gRt, 6);
    });
}

/* ---- reserved entries and hooks --------------------------------------------------------------- */

TEST_F(ResTest, ReservedEntriesAreFilledOnceEach)
{
    static int dyn2;
    static const struct resource dyn1Desc = {"dyn1", &gDyn, RES_INT, 0, "7", nullptr, nullptr, nullptr};
    static const struct resource dyn2Desc = {"dyn2", &dyn2, RES_INT, 0, "8", nullptr, nullptr, nullptr};
    static const struct resource dyn3Desc = {"dyn3", &dyn2, RES_INT, 0, "9", nullptr, nullptr, nullptr};
    inChild([&] {
        start();
        al_add_resources(gTable);
        EXPECT_EQ(al_addres_reserved(&dyn1Desc, 1), 0);
        EXPECT_EQ(gDyn, 7);
        EXPECT_NE(desc("dyn1"), nullptr);
        EXPECT_EQ(al_addres_reserved(&dyn1Desc, 1), -1);
        EXPECT_EQ(al_addres_reserved(&dyn2Desc, 0), 0);
        EXPECT_EQ(dyn2, 0);
        EXPECT_EQ(al_setres_by_name("dyn2", "12", 0), 0);
        EXPECT_EQ(dyn2, 12);
        EXPECT_EQ(al_addres_reserved(&dyn3Desc, 1), -1);
        EXPECT_EQ(al_setres_mutfun("nosuch", countingHook, 0), -1);
        std::string text = log();
        EXPECT_EQ(occurrences(text, "Resource 'dyn1' already exists (ignored)"), 1);
        EXPECT_EQ(occurrences(text, "Resource 'dyn3' could not be added (no reserved entries "
                                    "available)"),
                  1);
        EXPECT_EQ(occurrences(text, "Resource 'nosuch' not found"), 1);
    });
}

/* ---- escape processing ----------------------------------------------------------------------- */

namespace {

std::string unescape(const std::string &in, bool filtered = false)
{
    std::string out(in.size() + 1, '\0');
    int n = filtered ? make_string_filtered(in.c_str(), out.data())
                     : make_string(in.c_str(), out.data());
    out.resize(static_cast<size_t>(n));
    return out;
}

} // namespace

TEST(MakeString, LetterEscapesInEitherCase)
{
    EXPECT_EQ(unescape("\\b\\e\\f\\n\\r\\s\\t\\v"), std::string("\b\x1b\f\n\r \t\v"));
    EXPECT_EQ(unescape("\\B\\E\\F\\N\\R\\S\\T\\V"), std::string("\b\x1b\f\n\r \t\v"));
    EXPECT_EQ(unescape("a\\\\b\\^c"), "a\\b^c");
    EXPECT_EQ(unescape("\\q\\\"x"), "q\"x");
}

TEST(MakeString, NumericEscapes)
{
    EXPECT_EQ(unescape("\\0x41\\0X4a\\0x4G"), "AJ\x04G");
    EXPECT_EQ(unescape("\\0101\\01017"), "AA7") << "octal takes 3 more digits at most";
    EXPECT_EQ(unescape("\\65\\0669"), "A69");
    EXPECT_EQ(unescape("\\659"), "\x93") << "3 decimal digits: 659 & 255";
    EXPECT_EQ(unescape("\\9z"), "\tz");
    EXPECT_EQ(unescape("a\\0b"), std::string("a\0b", 3));
    EXPECT_EQ(unescape("\\0x"), std::string("\0", 1));
}

TEST(MakeString, CaretsMultibyteAndTruncation)
{
    EXPECT_EQ(unescape("^A^[^m"), "\x01\x1b\x0d");
    EXPECT_EQ(unescape("a\x9b\x5c\x5e\x41z"), "a\x9b\x5c\x5e\x41z") << "escapes inside are copied";
    EXPECT_EQ(unescape("ab\x9b\x01\x02"), "ab");
    EXPECT_EQ(unescape("ab\\"), "ab");
    EXPECT_EQ(unescape("ab^"), "ab");
    EXPECT_EQ(unescape(""), "");
}

TEST(MakeString, FilteredKeepsBackslashPairsAndWritesNulAsBackslashZero)
{
    EXPECT_EQ(unescape("a\\\\b", true), "a\\\\b");
    EXPECT_EQ(unescape("a\\0b", true), "a\\0b");
    EXPECT_EQ(unescape("^@x", true), "\\0x");
    EXPECT_EQ(unescape("\\0x41\\n", true), "A\n");
}

TEST(MakeString, WorksInPlace)
{
    char text[] = "x\\ty\\0101z^Az";
    int n = make_string(text, text);
    EXPECT_EQ(std::string(text, static_cast<size_t>(n)), "x\tyAz\x01z");
}

TEST(ClassName, LowerCaseWithoutDotsAndStars)
{
    char out[32];
    cvt_class_name(out, sizeof out, "Tdb.Re*Config");
    EXPECT_STREQ(out, "tdbreconfig");
    cvt_class_name(out, 4, "ABCDEF");
    EXPECT_STREQ(out, "abc");
}

/* ---- the AL message table --------------------------------------------------------------------- */

TEST(AlMessages, DefaultTexts)
{
    EXPECT_STREQ(al_message_text("AL_MAXRES"), "Can't add more resources. Limit is %d arrays\n");
    EXPECT_STREQ(al_message_text("AL_DISCARD"), "%s sequences: \"%s\" discarded\n");
    EXPECT_STREQ(AL_UNKENT, "Unknown entry at line %d in file %s (%s)");
    EXPECT_EQ(al_message_text("AL_NOTHING"), nullptr);
}

TEST(AlMessages, MessageFileReplacesTextsWithTheirNamePrefixed)
{
    TempDir cwd, root;
    root.write("lib/textinf/altext02", "# comment\n"
                                       "\n"
                                       "AL_RESNOTFND \"Resource \\\"%s\\\" is missing\\n\"\n"
                                       "AL_MAXRES\t\"Max %d\"\n"
                                       "AL_UNKENT x\n"
                                       "AL_EMPTYSTR \"no end\n"
                                       "NOT_A_MESSAGE \"ignored\"\n"
                                       "AL_OVERLAP \"a\x9b\x22\x41\x42z\"\n");
    root.write("lib/textinf/altext05", "AL_MAXRES \"five\"\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        startLogging(root, "msgtest");
        init_default_al_text();
        EXPECT_EQ(init_al_messages('2'), 3);
        EXPECT_STREQ(AL_RESNOTFND, "[AL_RESNOTFND] Resource \"%s\" is missing\n");
        EXPECT_STREQ(AL_MAXRES, "[AL_MAXRES] Max %d");
        EXPECT_STREQ(AL_OVERLAP, "[AL_OVERLAP] a\x9b\x22\x41\x42z");
        EXPECT_STREQ(AL_UNKENT, "Unknown entry at line %d in file %s (%s)");
        std::string log = logText(root, "msgtest");
        EXPECT_EQ(occurrences(log, "Unexpected char at 5 of lib/textinf/altext02"), 1);
        EXPECT_EQ(occurrences(log, "Unexpected eof at 6 of lib/textinf/altext02"), 1);

        setenv("AL_TEXT_LANG", "5", 1);
        EXPECT_EQ(init_al_messages('2'), 1);
        EXPECT_STREQ(AL_MAXRES, "[AL_MAXRES] five");
        init_default_al_text();
        EXPECT_STREQ(AL_MAXRES, "Can't add more resources. Limit is %d arrays\n");
        setenv("AL_TEXT_LANG", "9", 1);
        EXPECT_EQ(init_al_messages('2'), -1);
    });
}
