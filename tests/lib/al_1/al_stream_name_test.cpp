/* Streams: name syntax and expansion, alternatives, modifiers, logical and
 * remote names, the last exploded name, failure logging and tracing. */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "al_env.h"
#include "al_log.h"
#include "al_stream.h"
#include "al_stream_test_util.h"
#include "run_program.h"

using streamtest::run_in_child;
using streamtest::slurp;
using streamtest::spit;
using streamtest::TraceRecorder;
using tdbtest::TempDir;

namespace {

/* Sets (or removes) an environment variable for the life of the object. */
class EnvVar {
public:
    EnvVar(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar()
    {
        if (had_)
            ::setenv(name_.c_str(), old_.c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    EnvVar(const EnvVar &) = delete;
    EnvVar &operator=(const EnvVar &) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

/* Works in another directory for the life of the object. */
class InDirectory {
public:
    explicit InDirectory(const std::string &dir) : old_(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

std::string expand(const char *name, int *result = nullptr)
{
    char out[STREAM_FNAME_MAX];
    int r = expand_fname(name, out);
    if (result != nullptr)
        *result = r;
    return r == 0 ? std::string("<failed>") : std::string(out);
}

/* ---- expand_fname ------------------------------------------------------- */

TEST(StreamExpand, RootTemporaryDirectoryAndOtherVariables)
{
    EnvVar v("STREAM_TEST_VAR", "/some/where");
    int r = 0;
    EXPECT_EQ(expand("${TSE}/lib/x", &r), std::string(get_tse()) + "/lib/x");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(expand("${TSE_TMP}/t"), std::string(get_tse_tmp()) + "/t");
    EXPECT_EQ(expand("a${STREAM_TEST_VAR}b${STREAM_TEST_VAR}"),
              "a/some/whereb/some/where");
    EXPECT_EQ(expand("plain/$HOME/{x}/$"), "plain/$HOME/{x}/$");
    char out[STREAM_FNAME_MAX];
    EXPECT_EQ(expand_fname_ex("${STREAM_TEST_VAR}", out, 1), 1);
    EXPECT_STREQ(out, "/some/where");
}

TEST(StreamExpand, DynamicPathPlaceholderIsKeptAndReported)
{
    int r = 0;
    EXPECT_EQ(expand("${TSE}/${DYN_PATH_ELEMS}/f", &r),
              std::string(get_tse()) + "/${DYN_PATH_ELEMS}/f");
    EXPECT_EQ(r, 2);
}

TEST(StreamExpand, UndefinedVariableOrMissingBraceFails)
{
    EnvVar gone("STREAM_TEST_UNDEFINED", nullptr);
    int r = -1;
    errno = 0;
    EXPECT_EQ(expand("${STREAM_TEST_UNDEFINED}/f", &r), "<failed>");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(expand("${TSE/f", &r), "<failed>");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(expand("${}", &r), "<failed>");
    char out[STREAM_FNAME_MAX];
    EXPECT_EQ(expand_fname(nullptr, out), 0);
    EXPECT_EQ(expand_fname("x", nullptr), 0);
}

TEST(StreamExpand, TextAfterBangUpToTheNextColonIsNotExpanded)
{
    EnvVar host("STREAM_TEST_HOST", "hostA");
    EXPECT_EQ(expand("${STREAM_TEST_HOST}!${TSE}/lib/x"), "hostA!${TSE}/lib/x");
    EXPECT_EQ(expand("${STREAM_TEST_HOST}!${NOPE}/a:${STREAM_TEST_HOST}"),
              "hostA!${NOPE}/a:hostA");
}

TEST(StreamExpand, ResultTooLongForTheOutputFails)
{
    std::string longer(STREAM_FNAME_MAX, 'x');
    EnvVar big("STREAM_TEST_BIG", longer.c_str());
    int r = -1;
    errno = 0;
    EXPECT_EQ(expand("${STREAM_TEST_BIG}", &r), "<failed>");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    std::string fits(STREAM_FNAME_MAX - 1, 'y');
    EnvVar ok("STREAM_TEST_FITS", fits.c_str());
    EXPECT_EQ(expand("${STREAM_TEST_FITS}"), fits);
}

/* ---- alternatives and the last exploded name ---------------------------- */

TEST(StreamAlternatives, OpensTheFirstThatExistsAndRemembersIt)
{
    TempDir dir;
    std::string b = dir.write("b", "content of b");
    std::string name = dir.path() + "/a;" + b;
    STREAM *sp = sopen(name.c_str(), "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_STREQ(get_last_exploded_fname_ptr(), b.c_str());
    char line[32];
    ASSERT_NE(sgets(line, sizeof line, sp), nullptr);
    EXPECT_STREQ(line, "content of b");
    sclose(sp);
}

TEST(StreamAlternatives, TrailingBlanksOfEachAlternativeAreRemoved)
{
    TempDir dir;
    EnvVar d("STREAM_TEST_DIR", dir.path().c_str());
    std::string b = dir.write("b", "x");
    STREAM *sp = sopen("${STREAM_TEST_DIR}/a  \t;${STREAM_TEST_DIR}/b   ", "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_STREQ(get_last_exploded_fname_ptr(), b.c_str());
    sclose(sp);
    /* Only trailing ones: a leading blank is part of the name. */
    EXPECT_EQ(sopen((dir.path() + "/a; " + b).c_str(), "r"), nullptr);
}

TEST(StreamAlternatives, NoneOpeningLeavesTheNameAsGiven)
{
    TempDir dir;
    std::string name = dir.path() + "/a;" + dir.path() + "/b";
    errno = 0;
    EXPECT_EQ(sopen(name.c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(std::string(get_last_exploded_fname_ptr()), name);
}

TEST(StreamAlternatives, UndefinedVariableFailsWithoutOpeningAnything)
{
    TempDir dir;
    InDirectory here(dir.path());
    EnvVar gone("STREAM_TEST_UNDEFINED", nullptr);
    /* The first lookup of an undefined variable reads the tse_vars files
     * (through streams); do it before recording. */
    (void)getvar("STREAM_TEST_UNDEFINED");
    TraceRecorder trace;
    TraceRecorder::calls().clear();
    errno = 0;
    EXPECT_EQ(sopen("${STREAM_TEST_UNDEFINED}/f", "w"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(TraceRecorder::has(STREAM_TRACE_DETAIL, "sopen: open("));
    EXPECT_FALSE(TraceRecorder::has(STREAM_TRACE_DETAIL, "expands to"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_STREQ(get_last_exploded_fname_ptr(), "${STREAM_TEST_UNDEFINED}/f");

    /* A later alternative is still tried. */
    std::string g = dir.path() + "/g";
    STREAM *sp = sopen(("${STREAM_TEST_UNDEFINED}/f;" + g).c_str(), "w");
    ASSERT_NE(sp, nullptr);
    EXPECT_STREQ(get_last_exploded_fname_ptr(), g.c_str());
    sclose(sp);
}

TEST(StreamAlternatives, LastExplodedNameKeeps255Characters)
{
    TempDir dir;
    std::string path = dir.path();
    while (path.size() < 300)
        path += "/" + std::string(40, 'd');
    std::filesystem::create_directories(path);
    path += "/file";
    spit(path, "x");
    STREAM *sp = sopen(path.c_str(), "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(std::string(get_last_exploded_fname_ptr()), path.substr(0, 255));
    char small[10];
    EXPECT_EQ(get_last_exploded_fname(small, sizeof small), small);
    EXPECT_EQ(std::string(small), path.substr(0, 9));
    sclose(sp);
}

TEST(StreamAlternatives, PermissionRefusedForWritingEndsTheSearch)
{
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    std::string ro = dir.path() + "/ro", rw = dir.path() + "/rw";
    ::mkdir(ro.c_str(), 0555);
    ::mkdir(rw.c_str(), 0777);
    ::chmod(ro.c_str(), 0555);
    ::chmod(rw.c_str(), 0777);
    std::string name = ro + "/f;" + rw + "/f";
    /* Permission checks do not refuse root: the child drops to nobody. */
    int rc = run_in_child([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 77;
        errno = 0;
        if (sopen(name.c_str(), "w") != nullptr)
            return 1;
        if (errno != EACCES)
            return 2;
        if (::access((rw + "/f").c_str(), F_OK) == 0)
            return 3;
        if (std::string(get_last_exploded_fname_ptr()) != name)
            return 4;
        if (sopen(name.c_str(), "w+") != nullptr ||
            ::access((rw + "/f").c_str(), F_OK) == 0)
            return 5;
        /* Without "w" in the mode the next alternative is tried. */
        STREAM *sp = sopen(name.c_str(), "a");
        if (sp == nullptr)
            return 6;
        sclose(sp);
        return ::access((rw + "/f").c_str(), F_OK) == 0 ? 0 : 7;
    });
    if (rc == 77)
        GTEST_SKIP() << "running as root without the right to drop to an "
                        "unprivileged user, so no permission refusal can be "
                        "provoked";
    EXPECT_EQ(rc, 0);
}

/* ---- modifiers ---------------------------------------------------------- */

TEST(StreamModifiers, AnyNumberAndOrderBeforeTheName)
{
    TempDir dir;
    std::string f = dir.write("f", "x");
    for (std::string prefix :
         {"{nolog}", "{nosyslog}{nolog}", "{nofdlog}{package=b61}{cnum=123}",
          "{cnum=-1}{nolog}{nosyslog}{nofdlog}{package=}"}) {
        STREAM *sp = sopen((prefix + f).c_str(), "r");
        ASSERT_NE(sp, nullptr) << prefix;
        EXPECT_STREQ(get_last_exploded_fname_ptr(), f.c_str()) << prefix;
        sclose(sp);
    }
}

TEST(StreamModifiers, BadValuesFailAndUnknownBracesAreName)
{
    TempDir dir;
    std::string f = dir.write("f", "x");
    std::string pkg31(31, 'p'), pkg32(32, 'p');
    STREAM *sp = sopen(("{package=" + pkg31 + "}" + f).c_str(), "r");
    EXPECT_NE(sp, nullptr);
    sclose(sp);
    for (std::string bad : {"{package=" + pkg32 + "}", std::string("{cnum=1000}"),
                            std::string("{cnum=abc}"), std::string("{cnum=}"),
                            std::string("{cnum=-2}"), std::string("{cnum=1x}")}) {
        errno = 0;
        EXPECT_EQ(sopen((bad + f).c_str(), "r"), nullptr) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
    }
    InDirectory here(dir.path());
    spit(dir.path() + "/{other}", "braces");
    sp = sopen("{other}", "r");
    ASSERT_NE(sp, nullptr);
    sclose(sp);
    sp = sopen("{nolog}{other}", "r");
    ASSERT_NE(sp, nullptr);
    sclose(sp);
}

/* ---- logical names ------------------------------------------------------ */

struct ResolverCall {
    std::string type, name, package;
    bool package_null = false;
    int compnr = -99;
    int calls = 0;
};
ResolverCall g_call;
std::string g_resolved; /* what the stand-in resolver answers ("" = none) */

int stand_in_resolver(const char *type, const char *name, const char *package,
                      int compnr, char *path, unsigned long size)
{
    ++g_call.calls;
    g_call.type = type;
    g_call.name = name;
    g_call.package_null = package == nullptr;
    g_call.package = package != nullptr ? package : "";
    g_call.compnr = compnr;
    if (g_resolved.empty())
        return -1;
    std::snprintf(path, size, "%s", g_resolved.c_str());
    return 0;
}

class StreamLogical : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_call = ResolverCall{};
        g_resolved.clear();
        previous_ = stream_set_logical_resolver(stand_in_resolver);
    }
    void TearDown() override { stream_set_logical_resolver(previous_); }
    LogicalResolver previous_ = nullptr;
};

TEST_F(StreamLogical, ObjectNameIsResolvedWithPackageAndCompany)
{
    TempDir dir;
    g_resolved = dir.write("obj/ottiex1287", "object");
    STREAM *sp = sopen("{package=b61}{cnum=7}F_OBJ:ottiex1287", "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(g_call.calls, 1);
    EXPECT_EQ(g_call.type, "F_OBJ");
    EXPECT_EQ(g_call.name, "ottiex1287");
    EXPECT_FALSE(g_call.package_null);
    EXPECT_EQ(g_call.package, "b61");
    EXPECT_EQ(g_call.compnr, 7);
    EXPECT_EQ(std::string(get_last_exploded_fname_ptr()), g_resolved);
    sclose(sp);

    /* Without modifiers: the combination in force and the user's company. */
    sp = sopen("F_BRDD:ddbtst100", "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(g_call.type, "F_BRDD");
    EXPECT_TRUE(g_call.package_null);
    EXPECT_EQ(g_call.compnr, -1);
    sclose(sp);
    for (const char *type : {"F_AUD", "F_MSG"}) {
        sp = sopen((std::string(type) + ":m").c_str(), "r");
        EXPECT_NE(sp, nullptr) << type;
        EXPECT_EQ(g_call.type, type);
        sclose(sp);
    }
}

TEST_F(StreamLogical, ResolvedPathHasItsVariablesExpanded)
{
    TempDir dir;
    EnvVar d("STREAM_TEST_DIR", dir.path().c_str());
    std::string f = dir.write("msg", "m");
    g_resolved = "${STREAM_TEST_DIR}/msg";
    STREAM *sp = sopen("F_MSG:anything", "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_STREQ(get_last_exploded_fname_ptr(), f.c_str());
    sclose(sp);
}

TEST_F(StreamLogical, OtherTypesAreOrdinaryRelativeNames)
{
    TempDir dir;
    InDirectory here(dir.path());
    spit(dir.path() + "/F_X:abc", "plain");
    g_resolved = "/should/not/be/used";
    STREAM *sp = sopen("F_X:abc", "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(g_call.calls, 0);
    EXPECT_STREQ(get_last_exploded_fname_ptr(), "F_X:abc");
    sclose(sp);
    EXPECT_EQ(sopen("F_OBJX:abc", "r"), nullptr);
    EXPECT_EQ(g_call.calls, 0);
}

TEST_F(StreamLogical, UndefinedNameFailsAndTheNextAlternativeIsTried)
{
    TempDir dir;
    std::string f = dir.write("fallback", "f");
    errno = 0;
    EXPECT_EQ(sopen("{nolog}F_OBJ:none", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    STREAM *sp = sopen(("F_OBJ:none;" + f).c_str(), "r");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(g_call.calls, 2);
    sclose(sp);
}

TEST_F(StreamLogical, MachineBeforeALogicalNameMakesItRemote)
{
    g_resolved = "/obj/path";
    TraceRecorder trace;
    TraceRecorder::calls().clear();
    errno = 0;
    EXPECT_EQ(sopen("{nolog}hostA!F_OBJ:ottiex1287", "r"), nullptr);
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_EQ(g_call.name, "ottiex1287");
    EXPECT_TRUE(TraceRecorder::has(STREAM_TRACE_DETAIL, "hostA!/obj/path"));
}

/* ---- remote names ------------------------------------------------------- */

TEST(StreamRemote, RemoteNamesFailCleanlyWithEremote)
{
    errno = 0;
    EXPECT_EQ(sopen("{nolog}hostA!/etc/passwd", "r"), nullptr);
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_STREQ(get_last_exploded_fname_ptr(), "{nolog}hostA!/etc/passwd");
    EXPECT_EQ(sopen(":user:pw:tse@{nolog}hostA!/tmp/x", "w"), nullptr);
    EXPECT_EQ(errno, EREMOTE);
    /* The credential form comes first and ends at the last "@". */
    TraceRecorder trace;
    TraceRecorder::calls().clear();
    EXPECT_EQ(sopen(":us@er:p@ss:tse@{nolog}hostB!/f", "r"), nullptr);
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_TRUE(TraceRecorder::has(STREAM_TRACE_DETAIL, "expands to 'hostB!/f'"));
}

TEST(StreamRemote, CredentialFormWithoutAtFailsWithTheFormatInTheTrace)
{
    TraceRecorder trace;
    TraceRecorder::calls().clear();
    errno = 0;
    EXPECT_EQ(sopen(":user:passwd:tse", "r"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(TraceRecorder::has(
        STREAM_TRACE_DETAIL,
        "sopen(:user:passwd:tse) failed.\nValid format "
        "':user:passwd:tse@machine!file_path' or 'machine!file_path'."));
}

TEST(StreamRemote, RootFileListWithRemoteEntry)
{
    TempDir dir;
    EnvVar d("STREAM_TEST_DIR", dir.path().c_str());
    const char *list = "{nolog}${STREAM_TEST_DIR}/lib/datecurr;"
                       "${TSE_REM}!${STREAM_TEST_DIR}/lib/datecurr";
    {
        EnvVar rem("TSE_REM", nullptr);
        if (getvar("TSE_REM") == nullptr) { /* not set by a tse_vars file */
            errno = 0;
            EXPECT_EQ(sopen(list, "rt"), nullptr);
            EXPECT_EQ(errno, ENOENT); /* the local miss, not the variable */
        }
    }
    EnvVar rem("TSE_REM", "hostR");
    TraceRecorder trace;
    TraceRecorder::calls().clear();
    errno = 0;
    EXPECT_EQ(sopen(list, "rt"), nullptr);
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_TRUE(TraceRecorder::has(
        STREAM_TRACE_DETAIL, "expands to 'hostR!${STREAM_TEST_DIR}/lib/datecurr'"));
    /* With the local file present the first entry opens. */
    std::string local = dir.write("lib/datecurr", "A|x\n");
    STREAM *sp = sopen(list, "rt");
    ASSERT_NE(sp, nullptr);
    EXPECT_STREQ(get_last_exploded_fname_ptr(), local.c_str());
    sclose(sp);
}

TEST(StreamRemote, ByNameFunctionsRefuseRemoteNames)
{
    struct stat st {};
    errno = 0;
    EXPECT_EQ(stream_access("{nolog}hostA!/tmp", 0), -1);
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_EQ(stream_stat("{nolog}hostA!/tmp", &st), -1);
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_EQ(stream_unlink(":u:p:t@{nolog}hostA!/tmp/x"), -1);
    EXPECT_EQ(errno, EREMOTE);
    EXPECT_EQ(stream_mkdir("{nolog}hostA!/tmp/d", 0755), -1);
    EXPECT_EQ(errno, EREMOTE);
    close_stream_servers(); /* nothing to end: must not fail */
}

/* ---- tracing ------------------------------------------------------------ */

TEST(StreamTrace, StepsAtDetailLevelAndTheOpenAtItsOwnLevel)
{
    TempDir dir;
    std::string f = dir.write("f", "x");
    std::string name = dir.path() + "/missing;" + f;
    {
        TraceRecorder trace;
        TraceRecorder::calls().clear();
        STREAM *sp = sopen(name.c_str(), "r");
        ASSERT_NE(sp, nullptr);
        sclose(sp);
        EXPECT_TRUE(TraceRecorder::has(STREAM_TRACE_DETAIL, "sopen(" + name + ", r)"));
        EXPECT_TRUE(TraceRecorder::has(STREAM_TRACE_DETAIL,
                                       "open(" + dir.path() + "/missing) failed"));
        EXPECT_TRUE(TraceRecorder::has(STREAM_TRACE_OPENED, "opened '" + f + "'"));
        EXPECT_FALSE(TraceRecorder::has(STREAM_TRACE_OPENED, "opened '" + dir.path() + "/missing"));
        for (const auto &c : TraceRecorder::calls())
            EXPECT_TRUE(c.first == STREAM_TRACE_DETAIL || c.first == STREAM_TRACE_OPENED)
                << c.first;
    }
    /* Removed with the recorder: nothing more arrives. */
    TraceRecorder::calls().clear();
    STREAM *sp = sopen(f.c_str(), "r");
    sclose(sp);
    EXPECT_TRUE(TraceRecorder::calls().empty());
    EXPECT_EQ(file_set_trace_fun_hook(nullptr), nullptr);
}

/* ---- failure logging (checked in a fresh process with its own log) ------ */

int no_definition(const char *, const char *, const char *, int, char *,
                  unsigned long)
{
    return -1;
}

/*
 * Runs each failing open and compares what it added to the program's log
 * file with the expectation; the count of mismatches (each described on
 * standard error).
 */
int log_scenarios()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") + "/streamlog.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        return 100;
    const std::string root = tmpl;
    ::mkdir((root + "/log").c_str(), 0755);
    ::setenv("TSE", root.c_str(), 1);
    ::unsetenv("TSE_LOG");
    ::setenv("USER", "tester", 1);
    ::setenv("STREAM_LOG_DIR", root.c_str(), 1);
    ::unsetenv("STREAM_LOG_UNDEFINED");
    log_set_progname("streamlogtest", LOG_DEST_FILE);
    stream_set_logical_resolver(no_definition);

    const std::string log_path = root + "/log/log.streamlogtest";
    size_t seen = slurp(log_path).size();
    auto fresh = [&] {
        std::string all = slurp(log_path);
        std::string added = all.size() > seen ? all.substr(seen) : "";
        seen = all.size();
        return added;
    };
    int failures = 0;
    auto expect = [&](const std::string &what, const char *name, const char *mode,
                      const std::string &wanted) {
        STREAM *sp = sopen(name, mode);
        if (sp != nullptr) {
            sclose(sp);
            std::fprintf(stderr, "%s: opened\n", what.c_str());
            ++failures;
            return;
        }
        std::string added = fresh();
        bool ok = wanted.empty() ? added.empty()
                                 : added.find(wanted) != std::string::npos;
        if (!ok) {
            std::fprintf(stderr, "%s: wanted [%s], log got [%s]\n", what.c_str(),
                         wanted.c_str(), added.c_str());
            ++failures;
        }
    };

    spit(root + "/plain", "a file, not a directory");
    spit(root + "/exists", "x");
    std::string notdir = root + "/plain/x";
    std::string alts = "${STREAM_LOG_DIR}/missing;${STREAM_LOG_DIR}/plain/x";
    expect("missing file", (root + "/missing").c_str(), "r", "");
    expect("system error", notdir.c_str(), "r",
           "Error during sopen(" + notdir + ", " + notdir + ")");
    expect("system error, alternatives", alts.c_str(), "r",
           "Error during sopen(" + alts + ", " + notdir + ")");
    expect("nolog", ("{nolog}" + notdir).c_str(), "r", "");
    expect("nosyslog", ("{nosyslog}" + notdir).c_str(), "r", "");
    expect("existing file, x mode", (root + "/exists").c_str(), "x", "");
    expect("undefined variable", "${STREAM_LOG_UNDEFINED}/f", "r", "");
    expect("no definition", "F_OBJ:ottiex1287", "r",
           "No definition in definition file for F_OBJ(ottiex1287, )");
    expect("no definition, package", "{package=b61}F_BRDD:ddbtst100", "r",
           "No definition in definition file for F_BRDD(ddbtst100, b61)");
    expect("no definition, nosyslog", "{nosyslog}F_AUD:a", "r",
           "No definition in definition file for F_AUD(a, )");
    expect("nofdlog", "{nofdlog}F_OBJ:ottiex1287", "r", "");
    expect("nolog, logical", "{nolog}F_OBJ:ottiex1287", "r", "");
    expect("remote", "hostA!/x", "r",
           "Remote file hostA!/x: remote files are not available yet");
    expect("remote, nolog", "{nolog}hostA!/x", "r", "");

    /* A failing write of sflush. */
    int p[2];
    if (::pipe(p) == 0) {
        ::close(p[0]); /* writing now fails with EPIPE */
        std::signal(SIGPIPE, SIG_IGN);
        STREAM *sp = sdopen(p[1], "w");
        sputs("data", sp);
        if (sflush(sp) != -1)
            ++failures;
        std::string added = fresh();
        if (added.find("sflush(): write error") == std::string::npos ||
            added.find("strm") == std::string::npos) {
            std::fprintf(stderr, "sflush: log got [%s]\n", added.c_str());
            ++failures;
        }
        sclose(sp);
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return failures;
}

TEST(StreamLog, FailuresAreLoggedByTheRules)
{
    /* A fresh process: the root and the log state are cached per process. */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(log_scenarios()), ::testing::ExitedWithCode(0), "");
}

} // namespace
