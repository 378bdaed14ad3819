/*
 * al_env_test.cpp: tests of the environment: tse_vars files, the root and
 * temporary directory caches, the release, files under the root, host
 * information, BaseInit and the process set, system variables, logical
 * object names and the development-tools version. Each test that touches
 * process-wide state runs in a forked child.
 */
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "al_env.h"
#include "al_stream.h"
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

/* The first line of a stream opened by the layer ("" when null). */
std::string firstLine(STREAM *sp)
{
    if (sp == nullptr)
        return "";
    char line[256];
    std::string text = sgets(line, sizeof line, sp) != nullptr ? line : "";
    sclose(sp);
    return text;
}

} // namespace

/* ---- root ----------------------------------------------------------------- */

TEST(TseRoot, OneTrailingSlashIsRemovedButALoneSlashStays)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", "/opt/x/", 1);
        EXPECT_STREQ(get_tse(), "/opt/x");
    });
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", "/", 1);
        EXPECT_STREQ(get_tse(), "/");
    });
    inChild([&] {
        cleanEnvironment(cwd.path());
        EXPECT_STREQ(get_tse(), "/usr/tse");
    });
}

TEST(TseRoot, CachedUntilSetTseAndTheArgumentLookupIsSeparate)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", "/first", 1);
        EXPECT_STREQ(get_tse(), "/first");
        setenv("TSE", "/second", 1);
        EXPECT_STREQ(get_tse(), "/first");
        set_tse("");
        EXPECT_STREQ(get_tse(), "/first");
        set_tse("/third");
        EXPECT_STREQ(get_tse(), "/third");
        EXPECT_STREQ(get_tse_ex(0), "/third");
        /* The lookup "as argument" was not made yet: it sees TSE now. */
        EXPECT_STREQ(get_tse_ex(1), "/second");
    });
}

/* ---- tse_vars files --------------------------------------------------------- */

TEST(TseVars, EnvironmentWinsOverEveryFileAndTheCurrentDirectoryOverTheRoot)
{
    TempDir cwd, root;
    cwd.write("tse_vars", "ONLY_CWD=cwd\nBOTH=from cwd\nENV_TOO=file\n");
    root.write("lib/tse_vars", "ONLY_ROOT=root\nBOTH=from root\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        setenv("ENV_TOO", "environment", 1);
        EXPECT_STREQ(getvar("ENV_TOO"), "environment");
        EXPECT_STREQ(getvar("BOTH"), "from cwd");
        EXPECT_STREQ(getvar("ONLY_CWD"), "cwd");
        EXPECT_STREQ(getvar("ONLY_ROOT"), "root");
        EXPECT_EQ(getvar("UNDEFINED_ANYWHERE"), nullptr);
        /* The list itself does not hold what the environment had. */
        EXPECT_EQ(VarlistGet("ENV_TOO"), nullptr);
        EXPECT_STREQ(VarlistGet("ONLY_ROOT"), "root");
    });
}

TEST(TseVars, NameIsTrimmedValueIsTakenUnchanged)
{
    TempDir cwd;
    cwd.write("tse_vars", "# NAME=comment\n"
                          "  NAME  = a b \n"
                          "no equals sign here\n"
                          " \t =empty name\n"
                          "EQ=a=b\n"
                          "NAME=second definition\n"
                          "EMPTY=\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", cwd.path().c_str(), 1);
        EXPECT_STREQ(getvar("NAME"), " a b ");
        EXPECT_STREQ(getvar("EQ"), "a=b");
        EXPECT_STREQ(getvar("EMPTY"), "");
        EXPECT_EQ(getvar("# NAME"), nullptr);
        EXPECT_EQ(getvar(""), nullptr);
    });
}

TEST(TseVars, RootMayComeFromTheCurrentDirectoryFile)
{
    TempDir cwd, root;
    cwd.write("tse_vars", "TSE=" + root.path() + "/\n");
    root.write("lib/tse_vars", "FROM_ROOT=yes\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        EXPECT_STREQ(getvar("FROM_ROOT"), "yes");
        EXPECT_EQ(std::string(get_tse()), root.path());
    });
}

TEST(TseVars, LongLineIsCutAt1022CharactersAndItsRestIsNotAVariable)
{
    TempDir cwd;
    cwd.write("tse_vars", "LONG=" + std::string(1500, 'v') + "\nAFTER=1\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", cwd.path().c_str(), 1);
        const char *value = getvar("LONG");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(std::strlen(value), 1022u - 5u);
        EXPECT_STREQ(getvar("AFTER"), "1");
    });
}

TEST(TseVars, BinaryGarbageDefinesNothingHarmful)
{
    TempDir cwd;
    std::string garbage;
    for (int i = 0; i < 5000; ++i)
        garbage += static_cast<char>((i * 37 + 11) % 256);
    garbage += "\nOK=1\n";
    cwd.write("tse_vars", garbage);
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", cwd.path().c_str(), 1);
        EXPECT_STREQ(getvar("OK"), "1");
    });
}

TEST(TseVars, PutToSystemEnvironmentAddsOnlyMissingNames)
{
    TempDir cwd, root;
    root.write("lib/tse_vars", "PUT_NEW=new\nPUT_OLD=file\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("PUT_OLD", "env", 1);
        read_and_put_tse_vars_to_system_env(root.path().c_str());
        EXPECT_STREQ(std::getenv("PUT_NEW"), "new");
        EXPECT_STREQ(std::getenv("PUT_OLD"), "env");
    });
}

TEST(Environment, SetenvKeepsOrReplacesAndUnsetenvNeedsTheExactName)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        EXPECT_EQ(trel_setenv("TRV_A", "1", 0), 0);
        EXPECT_STREQ(std::getenv("TRV_A"), "1");
        EXPECT_EQ(trel_setenv("TRV_A", "2", 0), 0);
        EXPECT_STREQ(std::getenv("TRV_A"), "1");
        EXPECT_EQ(trel_setenv("TRV_A", "3", 1), 0);
        EXPECT_STREQ(std::getenv("TRV_A"), "3");

        setenv("TRV_ABC", "x", 1);
        EXPECT_EQ(trel_unsetenv("TRV_AB"), -1);
        EXPECT_STREQ(std::getenv("TRV_ABC"), "x");
        EXPECT_EQ(trel_unsetenv("TRV_A"), 0);
        EXPECT_EQ(std::getenv("TRV_A"), nullptr);
        EXPECT_STREQ(std::getenv("TRV_ABC"), "x");
        EXPECT_EQ(trel_unsetenv("TRV_A"), -1);
    });
}

/* ---- temporary directory ------------------------------------------------------ */

TEST(TseTmp, AccessibleTseTmpIsTakenAndCached)
{
    TempDir cwd, root, tmp;
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        setenv("TSE_TMP", tmp.path().c_str(), 1);
        EXPECT_EQ(std::string(get_tse_tmp()), tmp.path());
        setenv("TSE_TMP", "/elsewhere", 1);
        EXPECT_EQ(std::string(get_tse_tmp()), tmp.path());
        set_tse_tmp("");
        EXPECT_EQ(std::string(get_tse_tmp()), tmp.path());
        set_tse_tmp("/chosen");
        EXPECT_STREQ(get_tse_tmp(), "/chosen");
    });
}

TEST(TseTmp, MissingTseTmpFallsBackToTheRootsTmpWithTheMessageOnce)
{
    TempDir cwd, root;
    mkdir((root.path() + "/tmp").c_str(), 0777);
    inChild([&] {
        cleanEnvironment(cwd.path());
        startLogging(root, "tmptest");
        const std::string missing = root.path() + "/no-such-dir";
        setenv("TSE_TMP", missing.c_str(), 1);
        EXPECT_EQ(std::string(get_tse_tmp()), root.path() + "/tmp");
        EXPECT_EQ(std::string(get_tse_tmp()), root.path() + "/tmp");
        EXPECT_EQ(occurrences(logText(root, "tmptest"),
                              missing + ": not accessable; defaulting to $TSE/tmp"),
                  1);
    });
}

TEST(TseTmp, ReadOnlyTseTmpFallsBackToTheRootsTmp)
{
    TempDir cwd, root, readonly;
    mkdir((root.path() + "/tmp").c_str(), 0777);
    mkdir((root.path() + "/log").c_str(), 0777);
    chmod((root.path() + "/tmp").c_str(), 0777);
    chmod((root.path() + "/log").c_str(), 0777);
    chmod(root.path().c_str(), 0755);
    chmod(cwd.path().c_str(), 0755);
    chmod(readonly.path().c_str(), 0555);
    inChild([&] {
        cleanEnvironment(cwd.path());
        /* The super-user may write anywhere: run as an ordinary user. */
        if (geteuid() == 0) {
            struct passwd *nobody = getpwnam("nobody");
            ASSERT_NE(nobody, nullptr);
            ASSERT_EQ(setgid(nobody->pw_gid), 0);
            ASSERT_EQ(setuid(nobody->pw_uid), 0);
        }
        startLogging(root, "rotest");
        setenv("TSE_TMP", readonly.path().c_str(), 1);
        EXPECT_EQ(std::string(get_tse_tmp()), root.path() + "/tmp");
        EXPECT_EQ(occurrences(logText(root, "rotest"),
                              readonly.path() + ": not accessable; defaulting to $TSE/tmp"),
                  1);
    });
    chmod(readonly.path().c_str(), 0755);
}

TEST(TseTmp, NothingAccessibleGivesUsrTmpWithBothMessages)
{
    TempDir cwd, root;
    inChild([&] {
        cleanEnvironment(cwd.path());
        startLogging(root, "tmptest");
        setenv("TSE_TMP", "/no/such/tmp", 1);
        EXPECT_STREQ(get_tse_tmp(), "/usr/tmp");
        std::string log = logText(root, "tmptest");
        EXPECT_EQ(occurrences(log, "/no/such/tmp: not accessable; defaulting to $TSE/tmp"), 1);
        EXPECT_EQ(occurrences(log, root.path() + "/tmp: not accessable; defaulting to /usr/tmp"),
                  1);
    });
}

/* ---- release and programs ------------------------------------------------------- */

TEST(Release, TensAndUnitsOfTheNumber)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        EXPECT_STREQ(get_release(), "6.2");
        EXPECT_STREQ(al_release_text(), "6.2");
        set_release(75);
        EXPECT_STREQ(get_release(), "7.5");
        EXPECT_STREQ(al_release_text(), "7.5");
    });
}

TEST(ExpandTrelProg, TseBinFirstThenTheRootsBin)
{
    TempDir cwd, root, bin;
    root.write("bin/tshell6.2", "#!/bin/sh\n");
    bin.write("fs6.2", "#!/bin/sh\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        char path[512];
        setenv("TSE_BIN", bin.path().c_str(), 1);
        EXPECT_EQ(expand_trel_prog("fs", path, sizeof path), 1);
        EXPECT_EQ(std::string(path), bin.path() + "/fs6.2");
        EXPECT_EQ(expand_trel_prog("tshell", path, sizeof path), 1);
        EXPECT_EQ(std::string(path), root.path() + "/bin/tshell6.2");
        EXPECT_EQ(expand_trel_prog("nothing", path, sizeof path), 0);
        EXPECT_EQ(std::string(path), root.path() + "/bin/nothing6.2");
        setenv("TSE_BIN", "", 1);
        EXPECT_EQ(expand_trel_prog("fs", path, sizeof path), 0);
    });
}

/* ---- files under the root ---------------------------------------------------------- */

TEST(TseFiles, PathListHasALocalAndARemoteEntryPerAlternative)
{
    char list[512];
    EXPECT_EQ(al_tse_file_list("lib/datecurr", 0, list, sizeof list), 50);
    EXPECT_STREQ(list, "${TSE}/lib/datecurr;${TSE_REM}!${TSE}/lib/datecurr");
    EXPECT_GT(al_tse_file_list("a;b", 0, list, sizeof list), 0);
    EXPECT_STREQ(list, "${TSE}/a;${TSE_REM}!${TSE}/a;${TSE}/b;${TSE_REM}!${TSE}/b");
    EXPECT_GT(al_tse_file_list("a;b", TSE_FILE_LOCAL_ONLY, list, sizeof list), 0);
    EXPECT_STREQ(list, "${TSE}/a;${TSE}/b");
    EXPECT_EQ(al_tse_file_list("lib/datecurr", 0, list, 50), -1);
    EXPECT_EQ(al_tse_file_list("lib/datecurr", 0, list, 51), 50);
}

TEST(TseFiles, OpensUnderTheRootTryingAlternativesInOrder)
{
    TempDir cwd, root;
    root.write("lib/present", "present line\n");
    root.write("lib/second", "second line\n");
    cwd.write("lib/present", "wrong place\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        EXPECT_EQ(firstLine(open_tse_file("lib/%s", "present")), "present line");
        EXPECT_EQ(firstLine(open_tse_file("lib/missing;lib/second;lib/present")),
                  "second line");
        EXPECT_EQ(firstLine(open_tse_file_ext2("lib/present", "rt", TSE_FILE_LOCAL_ONLY)),
                  "present line");
        errno = 0;
        EXPECT_EQ(open_tse_file("lib/missing"), nullptr);
        EXPECT_EQ(errno, ENOENT);
    });
}

/* ---- host ---------------------------------------------------------------------------- */

TEST(Host, TseHostnameThenResourceThenTheSystem)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        char system[256] = {0};
        ASSERT_EQ(gethostname(system, sizeof system - 1), 0);
        EXPECT_STREQ(getsyshostname(), system);
        std::strcpy(user_info.hostname, "fromresource");
        EXPECT_STREQ(getsyshostname(), "fromresource");
        setenv("TSE_HOSTNAME", "fromenv", 1);
        EXPECT_STREQ(getsyshostname(), "fromenv");
        setenv("TSE_HOSTNAME", "", 1);
        EXPECT_STREQ(getsyshostname(), "fromresource");

        struct utsname u {};
        ASSERT_EQ(uname(&u), 0);
        EXPECT_STREQ(getsyshostsysname(), u.sysname);
        EXPECT_STREQ(getsyshostrelease(), u.release);
        EXPECT_STREQ(getsyshostversion(), u.version);
    });
}

/* ---- program and process set ----------------------------------------------------------- */

TEST(Basename, AfterTheFirstBangThenAfterTheLastSlash)
{
    EXPECT_STREQ(al_basename("/usr/bin/prog"), "prog");
    EXPECT_STREQ(al_basename("prog"), "prog");
    EXPECT_STREQ(al_basename("host!/usr/bin/prog"), "prog");
    EXPECT_STREQ(al_basename("a!b!c/d"), "d");
    EXPECT_STREQ(al_basename("a!b"), "b");
    EXPECT_STREQ(al_basename("dir/"), "");
}

TEST(BaseInit, ProgramNameFullPathAndDefaultProcessSet)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        EXPECT_STREQ(BasePrognameGet(), "");
        BaseInit("/opt/tools/tdbreconfig -x arg");
        EXPECT_STREQ(BasePrognameGet(), "tdbreconfig");
        EXPECT_STREQ(get_program_fullpath(), "/opt/tools/tdbreconfig");
        BaseInit("/other/prog");
        EXPECT_STREQ(BasePrognameGet(), "tdbreconfig");

        struct passwd *pw = getpwuid(getuid());
        ASSERT_NE(pw, nullptr);
        char host[128] = {0};
        ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
        EXPECT_EQ(std::string(BaseProcessSetGet()),
                  std::string(pw->pw_name) + "@" + host + ":" + std::to_string(getpid()));
    });
}

TEST(BaseInit, RemoteFormsSetNoFullPathAndAnglesGiveTheProcessSet)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        BaseInit("host:/bin/prog <jsmith@hostx:4711>");
        EXPECT_STREQ(BasePrognameGet(), "prog");
        EXPECT_STREQ(get_program_fullpath(), "");
        EXPECT_STREQ(BaseProcessSetGet(), "jsmith@hostx:4711");
    });
    BaseProcessSetSet("x <a:b>");
    EXPECT_STREQ(BaseProcessSetGet(), "a:b");
    BaseProcessSetSet("x <a@b:c> tail");
    EXPECT_STREQ(BaseProcessSetGet(), "a@b:c");
    BaseProcessSetSet("x <ab>");
    EXPECT_NE(std::string(BaseProcessSetGet()), "ab");
    EXPECT_NE(std::string(BaseProcessSetGet()).find(":" + std::to_string(getpid())),
              std::string::npos);
}

TEST(BaseInit, VeryLongArgumentIsCutTo1023Characters)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        BaseInit(("/" + std::string(3000, 'p')).c_str());
        EXPECT_EQ(std::strlen(BasePrognameGet()), 1022u);
        EXPECT_EQ(std::strlen(get_program_fullpath()), 1023u);
    });
}

/* ---- system variables ------------------------------------------------------------------- */

TEST(SystemVars, TrelhomeFromTseVarsAndLibraryPathJoining)
{
    TempDir cwd;
    cwd.write("tse_vars", "TRELHOME=/home/trel\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", cwd.path().c_str(), 1);
        setSystemVars(nullptr);
        EXPECT_STREQ(std::getenv("TRELHOME"), "/home/trel");
        EXPECT_STREQ(std::getenv("LD_LIBRARY_PATH"),
                     "/usr/lib/java/jre/lib/i386:/usr/lib/java/jre/lib/i386/client:"
                     "/usr/lib/java/jre/lib/i386/native_threads");
        setenv("LD_LIBRARY_PATH", "/a:/b", 1);
        setSystemVars("/c");
        EXPECT_STREQ(std::getenv("LD_LIBRARY_PATH"), "/a:/b:/c");
        setSystemVarsEx("/front", 1);
        EXPECT_STREQ(std::getenv("LD_LIBRARY_PATH"), "/front:/a:/b:/c");
        setSystemVars("/b");
        EXPECT_STREQ(std::getenv("LD_LIBRARY_PATH"), "/front:/a:/b:/c");
        setenv("LD_LIBRARY_PATH", "", 1);
        setSystemVars("/only");
        EXPECT_STREQ(std::getenv("LD_LIBRARY_PATH"), "/only");
    });
}

TEST(SystemVars, OverlongValuesAreTruncatedAndReported)
{
    TempDir cwd, root;
    inChild([&] {
        cleanEnvironment(cwd.path());
        startLogging(root, "systest");
        setenv("TRELHOME", std::string(3000, 'h').c_str(), 1);
        setenv("LD_LIBRARY_PATH", std::string(2040, 'l').c_str(), 1);
        setSystemVars("/abcdefghij");
        EXPECT_EQ(std::strlen(std::getenv("TRELHOME")), 2048u);
        std::string lib = std::getenv("LD_LIBRARY_PATH");
        EXPECT_EQ(lib, std::string(2040, 'l') + ":/abcdef");
        std::string log = logText(root, "systest");
        EXPECT_EQ(occurrences(log, "Environment variable TRELHOME exceeds maximum of 2048 "
                                   "characters, and is truncated to this maximum."),
                  1);
        EXPECT_EQ(occurrences(log, "Value of environment variable LD_LIBRARY_PATH exceeds "
                                   "maximum of 2048 characters, and is truncated to '" +
                                       lib.substr(0, 200)),
                  1);
    });
}

/* ---- logical names ------------------------------------------------------------------------ */

namespace {

const char kCombination[] = "# demo-like combination\n"
                            "\n"
                            "tt tools/tt7.6_a\n"
                            "db   appl/db6.2\n"
                            "zz /abs/zz\n"
                            "bad line with words\n"
                            "x y\n"
                            "tt tools/tt9.9_a\n";

} // namespace

TEST(LogicalName, TypesResolveUnderThePackageDirectory)
{
    TempDir cwd, root;
    root.write("lib/fd6.2.demo", kCombination);
    inChild([&] {
        cleanEnvironment(cwd.path());
        startLogging(root, "lntest");
        setenv("PACKAGE_COMB", "demo", 1);
        char path[512];
        ASSERT_EQ(al_explode_logical_name("F_OBJ", "ottiex1287", nullptr, -1, path,
                                          sizeof path),
                  0);
        EXPECT_EQ(std::string(path), root.path() + "/tools/tt7.6_a/o6.2/ottiex1287");
        ASSERT_EQ(al_explode_logical_name("F_BRDD", "ddbtst100", nullptr, 5, path,
                                          sizeof path),
                  0);
        EXPECT_EQ(std::string(path), root.path() + "/appl/db6.2/d6.2/ddbtst100");
        ASSERT_EQ(al_explode_logical_name("F_AUD", "ddb.pd", nullptr, -1, path, sizeof path),
                  0);
        EXPECT_EQ(std::string(path), root.path() + "/appl/db6.2/a6.2/ddb.pd");
        ASSERT_EQ(al_explode_logical_name("F_MSG", "mzzmsg", nullptr, -1, path, sizeof path),
                  0);
        EXPECT_STREQ(path, "/abs/zz/m6.2/mzzmsg");

        /* Both malformed lines are reported with their line numbers. */
        std::string log = logText(root, "lntest");
        std::string file = root.path() + "/lib/fd6.2.demo";
        EXPECT_NE(log.find("Malformed line 6 in package combination file " + file), std::string::npos);
        EXPECT_NE(log.find("Malformed line 7 in package combination file " + file), std::string::npos);
    });
}

TEST(LogicalName, FailuresSetErrno)
{
    TempDir cwd, root;
    root.write("lib/fd6.2.demo", kCombination);
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        char path[512];
        errno = 0;
        EXPECT_EQ(al_explode_logical_name("F_OBJ", "ottiex1287", nullptr, -1, path, sizeof path), -1);
        EXPECT_EQ(errno, ENOENT) << "no combination in force";
        EXPECT_EQ(al_explode_logical_name("F_OBJ", "ottiex1287", "nosuch", -1, path, sizeof path), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(al_explode_logical_name("F_OBJ", "oqqx", "demo", -1, path, sizeof path), -1);
        EXPECT_EQ(errno, ENOENT) << "package not in the combination";
        EXPECT_EQ(al_explode_logical_name("F_TXT", "ottiex1287", "demo", -1, path, sizeof path), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(al_explode_logical_name("F_OBJ", "ot", "demo", -1, path, sizeof path), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(al_explode_logical_name("F_OBJ", "ottiex1287", "demo", -1, path, 20), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
        EXPECT_EQ(al_explode_logical_name("F_OBJ", "ottiex1287", "demo", -1, path, sizeof path), 0);
    });
}

TEST(LogicalName, PackageCombEnvironmentWinsOverTheUsersPacc)
{
    TempDir cwd, root;
    root.write("lib/fd6.2.envcomb", "tt from/env\n");
    root.write("lib/fd6.2.usercomb", "tt from/user\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        std::strcpy(user_info.pacc, "usercomb");
        char path[512];
        ASSERT_EQ(al_explode_logical_name("F_OBJ", "otta", nullptr, -1, path, sizeof path), 0);
        EXPECT_EQ(std::string(path), root.path() + "/from/user/o6.2/otta");
        setenv("PACKAGE_COMB", "envcomb", 1);
        ASSERT_EQ(al_explode_logical_name("F_OBJ", "otta", nullptr, -1, path, sizeof path), 0);
        EXPECT_EQ(std::string(path), root.path() + "/from/env/o6.2/otta");
        setenv("PACKAGE_COMB", "", 1);
        ASSERT_EQ(al_explode_logical_name("F_OBJ", "otta", nullptr, -1, path, sizeof path), 0);
        EXPECT_EQ(std::string(path), root.path() + "/from/user/o6.2/otta");
    });
}

TEST(LogicalName, BinaryCombinationFileDoesNotCrash)
{
    TempDir cwd, root;
    std::string garbage;
    for (int i = 0; i < 3000; ++i)
        garbage += static_cast<char>((i * 53 + 7) % 256);
    root.write("lib/fd6.2.junk", garbage + "\ntt tools/tt7.6_a\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        startLogging(root, "junk");
        char path[512];
        EXPECT_EQ(al_explode_logical_name("F_OBJ", "ottiex1287", "junk", -1, path, sizeof path), 0);
    });
}

/* ---- development-tools version ------------------------------------------------------------- */

TEST(DTVersion, DemoLikeCombinationIsTessin)
{
    TempDir cwd, root;
    root.write("lib/fd6.2.demo", "tt tools/tt7.6_a\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        setenv("PACKAGE_COMB", "demo", 1);
        EXPECT_EQ(is_GTEQ_Marlo(), 1);
        EXPECT_EQ(is_GTEQ_Pellano(), 1);
        EXPECT_EQ(is_GTEQ_Tessin(), 1);
        EXPECT_STREQ(get_DT_version(), "tt7.6_a");
    });
}

TEST(DTVersion, OlderToolsAreNotMarlo)
{
    TempDir cwd, root;
    root.write("lib/fd6.2.old", "tt tools/tt7.2_a\n");
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        setenv("PACKAGE_COMB", "old", 1);
        EXPECT_STREQ(get_DT_version(), "tt7.2_a");
        EXPECT_EQ(is_GTEQ_Pellano(), 1);
        EXPECT_EQ(is_GTEQ_Marlo(), 0);
        EXPECT_EQ(is_GTEQ_Tessin(), 0);
    });
}

TEST(DTVersion, MissingCombinationLogsTheFailureAndEveryTestIsFalse)
{
    TempDir cwd, root;
    inChild([&] {
        cleanEnvironment(cwd.path());
        startLogging(root, "dttest");
        setenv("PACKAGE_COMB", "absent", 1);
        EXPECT_EQ(is_GTEQ_Marlo(), 0);
        EXPECT_EQ(is_GTEQ_Pellano(), 0);
        EXPECT_EQ(is_GTEQ_Tessin(), 0);
        EXPECT_STREQ(get_DT_version(), "");
        EXPECT_EQ(occurrences(logText(root, "dttest"),
                              "Failed to determine Development Tools version (could not "
                              "explode 'F_OBJ:ottiex1287')"),
                  1);
    });
}

TEST(DTVersion, InstallCombinationPassesEveryTest)
{
    TempDir cwd, root;
    inChild([&] {
        cleanEnvironment(cwd.path());
        setenv("TSE", root.path().c_str(), 1);
        setenv("PACKAGE_COMB", "Install", 1);
        EXPECT_EQ(determine_DT_version(), 0);
        EXPECT_STREQ(get_DT_version(), "Install");
        EXPECT_EQ(is_GTEQ_Tessin(), 1);
    });
}

TEST(DTVersion, ThresholdsCompareEightBytesWithTheTerminator)
{
    TempDir cwd;
    inChild([&] {
        cleanEnvironment(cwd.path());
        struct Case {
            const char *version;
            int pellano, marlo, tessin;
        } cases[] = {
            {"", 1, 1, 1},          {"Install", 1, 1, 1},  {"ttT50_a", 0, 0, 0},
            {"ttT50", 0, 0, 0},     {"tt7.0_z", 0, 0, 0},  {"tt7.1_a", 1, 0, 0},
            {"tt7.2_z", 1, 0, 0},   {"tt7.3_a", 1, 1, 0},  {"tt7.3", 1, 0, 0},
            {"tt7.5_b", 1, 1, 0},   {"tt7.6_a", 1, 1, 1},  {"tt8.0", 1, 1, 1},
            {"tt7.6_a_extra", 1, 1, 1},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.version);
            set_DT_version(c.version);
            EXPECT_STREQ(get_DT_version(), c.version);
            EXPECT_EQ(is_GTEQ_Pellano(), c.pellano);
            EXPECT_EQ(is_GTEQ_Marlo(), c.marlo);
            EXPECT_EQ(is_GTEQ_Tessin(), c.tessin);
        }
    });
}
