/*
 * Company-number mapping against real map files: environment text,
 * inheritance, lookups, refusals and their report, printout, and the map
 * request body byte for byte, decoded back on the driver side.
 */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "al_stream.h"
#include "compnr.h"
#include "run_program.h"
#include "tdb_api.h"

namespace {

using tdbtest::TempDir;

const std::string kMapFile = "lib/compnr6.2";

/* A variable with a value for the life of the object, restored after. */
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* The bytes a stream of the variable byte array holds. */
std::string bytes_of(STREAM *sp)
{
    void *base = nullptr;
    long length = 0;
    if (getByteArrayProperties(sp, &base, &length) != 0)
        return "<no array>";
    return std::string(static_cast<const char *>(base), static_cast<size_t>(length));
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x ", c);
        out += buf;
    }
    return out;
}

/* Big-endian numbers for expected byte strings. */
std::string be16(int v)
{
    return {static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)};
}
std::string be32(long v)
{
    return {static_cast<char>((v >> 24) & 0xff), static_cast<char>((v >> 16) & 0xff),
            static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)};
}
std::string str0(const std::string &s)
{
    return s + std::string(1, '\0');
}

/* What a set maps, as "logical->physical" for the numbers asked. */
std::string mapped(CompnrData *set, std::initializer_list<int> logicals)
{
    std::string out;
    for (int l : logicals)
        out += std::to_string(l) + "->" + std::to_string(compnrLogicToPhysic(set, l)) + " ";
    return out;
}

std::vector<int> logicals_of(CompnrData *set, int physical)
{
    const short *list = nullptr;
    const int n = compnrGetLogicCompnrs(set, physical, &list);
    std::vector<int> out;
    for (int i = 0; i < n; ++i)
        out.push_back(list[i]);
    return out;
}

/* Runs body in a forked child (logging state is set once per process);
 * the child's failed expectations make it exit 1. */
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

/*
 * Every test has its own root (set_tse replaces the cached one) and host
 * name, and starts without a loaded mapping.
 */
class Compnr : public testing::Test {
protected:
    void SetUp() override
    {
        old_root_ = get_tse();
        set_tse(dir_.path().c_str());
        compnrClientReset();
        tdb_errno = 0;
    }
    void TearDown() override
    {
        compnrClientReset();
        set_tse(old_root_.c_str());
    }
    void writeMap(const std::string &text) const { dir_.write(kMapFile, text); }
    std::string envPrefix() const { return dir_.path() + "@testhost "; }

    TempDir dir_;
    ScopedEnv host_{"TSE_HOSTNAME", "testhost"};
    ScopedEnv remote_{"TSE_REM", nullptr};
    std::string old_root_;
};

/* ---- environment text ------------------------------------------------------ */

TEST_F(Compnr, WithoutFileTheEnvironmentEndsInNoTimeAndEveryCompanyIsPhysical)
{
    EXPECT_EQ(compnrClientInit(), 0);
    EXPECT_EQ(std::string(compnrGetEnv()), envPrefix() + "no-time");
    EXPECT_EQ(compnrGetMap(), nullptr);
    CompnrData *set = compnrGetCompnrData("tdtst100");
    EXPECT_EQ(set, CompnrNoMapping);
    EXPECT_EQ(mapped(set, {0, 200, 999}), "0->0 200->200 999->999 ");
    EXPECT_EQ(compnrIsPhysic(set, 200), 1);
    EXPECT_EQ(compnrGetLogicCompnrs(set, 100, nullptr), 0);
}

TEST_F(Compnr, EnvironmentCarriesTheFilesModificationTimeInUtc)
{
    writeMap("td:100:200\n");
    struct tm when {};
    when.tm_year = 2007 - 1900; /* 2007-03-04 05:06:07 UTC */
    when.tm_mon = 2;
    when.tm_mday = 4;
    when.tm_hour = 5;
    when.tm_min = 6;
    when.tm_sec = 7;
    const time_t stamp = timegm(&when);
    struct utimbuf times {stamp, stamp};
    ASSERT_EQ(utime((dir_.path() + "/" + kMapFile).c_str(), &times), 0);

    EXPECT_EQ(std::string(compnrGetEnv()), envPrefix() + "070304 05:06:07");
    EXPECT_EQ(std::string(compnrMapGetEnv(compnrGetMap())), compnrGetEnv());
}

TEST_F(Compnr, EnvironmentUsesTheHostNameOfTheEnvironment)
{
    ScopedEnv other("TSE_HOSTNAME", "otherhost");
    EXPECT_EQ(std::string(compnrGetEnv()), dir_.path() + "@otherhost no-time");
}

TEST_F(Compnr, EnvironmentIsBuiltOnceUntilReset)
{
    EXPECT_EQ(std::string(compnrGetEnv()), envPrefix() + "no-time");
    writeMap("td:100:200\n");
    EXPECT_EQ(std::string(compnrGetEnv()), envPrefix() + "no-time")
        << "the process keeps the environment it started with";
    EXPECT_EQ(compnrGetCompnrData("tdabc100"), CompnrNoMapping);
    compnrClientReset();
    EXPECT_NE(std::string(compnrGetEnv()), envPrefix() + "no-time");
    EXPECT_EQ(compnrLogicToPhysic(compnrGetCompnrData("tdabc100"), 200), 100);
}

TEST_F(Compnr, SharedMemoryCopyIsNotKept)
{
    writeMap("td:100:200\n");
    ASSERT_EQ(compnrClientInit(), 0);
    EXPECT_EQ(compnrInit(compnrGetEnv()), -1);
}

/* ---- reading the file and inheritance ------------------------------------ */

TEST_F(Compnr, ModuleInheritsThePackagesPairs)
{
    writeMap("td:100:200,300\n"
             "tdtst:100:400\n");
    CompnrData *module = compnrGetCompnrData("tdtst100");
    CompnrData *package = compnrGetCompnrData("tdabc100");
    EXPECT_EQ(std::string(compnrDataGetPattern(module)), "tdtst");
    EXPECT_EQ(std::string(compnrDataGetPattern(package)), "td");
    EXPECT_EQ(mapped(module, {200, 300, 400, 500}), "200->100 300->100 400->100 500->500 ");
    EXPECT_EQ(mapped(package, {200, 300, 400}), "200->100 300->100 400->400 ");
    /* The module's own pair first, then the package's from last to first. */
    EXPECT_EQ(logicals_of(module, 100), (std::vector<int>{400, 300, 200}));
    EXPECT_EQ(logicals_of(package, 100), (std::vector<int>{200, 300}));
}

TEST_F(Compnr, ModulesOwnPairWinsOverTheInheritedOne)
{
    writeMap("td:100:200\n"
             "tdtst:101:200\n");
    EXPECT_EQ(compnrLogicToPhysic(compnrGetCompnrData("tdtst100"), 200), 101);
    EXPECT_EQ(compnrLogicToPhysic(compnrGetCompnrData("tdabc100"), 200), 100);
    EXPECT_TRUE(logicals_of(compnrGetCompnrData("tdtst100"), 100).empty())
        << "the inherited pair is skipped";
}

TEST_F(Compnr, TableInheritsTheModuleWithWhatItInherited)
{
    writeMap("td:100:200\n"
             "tdtst:100:300\n"
             "tdtst100:101:400\n"
             "tdtst100:102:300\n"); /* 300 goes to 102 for this table */
    CompnrData *table = compnrGetCompnrData("tdtst100");
    EXPECT_EQ(std::string(compnrDataGetPattern(table)), "tdtst100");
    EXPECT_EQ(mapped(table, {200, 300, 400}), "200->100 300->102 400->101 ");
    EXPECT_EQ(mapped(compnrGetCompnrData("tdtst101"), {200, 300, 400}),
              "200->100 300->100 400->400 ");
}

TEST_F(Compnr, TableWithoutModuleSetInheritsNothing)
{
    /* Tables inherit from their module's set only; without one a table set
     * has just its own pairs. */
    writeMap("td:100:200\n"
             "tdtst100:101:400\n");
    EXPECT_EQ(mapped(compnrGetCompnrData("tdtst100"), {200, 400}), "200->200 400->101 ");
    EXPECT_EQ(mapped(compnrGetCompnrData("tdtst101"), {200, 400}), "200->100 400->400 ");
}

TEST_F(Compnr, LookupPrefersTableThenModuleThenPackage)
{
    writeMap("tdtst100:1:11\n"
             "tdtst:2:22\n"
             "td:3:33\n");
    EXPECT_EQ(std::string(compnrDataGetPattern(compnrGetCompnrData("tdtst100"))), "tdtst100");
    EXPECT_EQ(std::string(compnrDataGetPattern(compnrGetCompnrData("tdtst999"))), "tdtst");
    EXPECT_EQ(std::string(compnrDataGetPattern(compnrGetCompnrData("tdxyz100"))), "td");
    EXPECT_EQ(compnrGetCompnrData("dbtst100"), CompnrNoMapping);
    EXPECT_EQ(compnrGetCompnrData("t"), CompnrNoMapping);
    EXPECT_EQ(compnrGetCompnrData(nullptr), CompnrNoMapping);
}

TEST_F(Compnr, PairMappingToItselfAddsNoPhysicalEntry)
{
    writeMap("td:100:100\n");
    CompnrData *set = compnrGetCompnrData("tdtst100");
    ASSERT_NE(set, CompnrNoMapping);
    EXPECT_EQ(compnrLogicToPhysic(set, 100), 100);
    const short *list = reinterpret_cast<const short *>(1);
    EXPECT_EQ(compnrGetLogicCompnrs(set, 100, &list), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(compnrIsPhysic(set, 100), 1);
}

TEST_F(Compnr, PatternOnSeveralLinesCollectsAllPairs)
{
    writeMap("# company map\n"
             "\n"
             "no colon on this line\n"
             "td:100:200\n"
             "#td:100:999\n"
             "td : 100 : 300 , 400,\r\n"
             "td:100:200\n" /* the same pair again: nothing new */
             ":100:500\n"); /* no pattern: skipped */
    CompnrData *set = compnrGetCompnrData("tdabc100");
    EXPECT_EQ(mapped(set, {200, 300, 400, 500, 999}),
              "200->100 300->100 400->100 500->500 999->999 ");
    EXPECT_EQ(logicals_of(set, 100), (std::vector<int>{200, 300, 400}));
}

TEST_F(Compnr, LongLineIsCutAfter255Characters)
{
    /* 300 stands beyond the 255th character and is not read. */
    std::string line = "td:100:200" + std::string(250, ' ') + ",300";
    writeMap(std::string(400, '#') + "\n" + line + "\ntd:101:102\n");
    CompnrData *set = compnrGetCompnrData("tdabc100");
    EXPECT_EQ(mapped(set, {200, 300, 102}), "200->100 300->300 102->101 ");
}

TEST_F(Compnr, IsPhysicTellsPhysicalAndUnmappedNumbers)
{
    writeMap("td:100:200,300\ntd:400:400\n");
    CompnrData *set = compnrGetCompnrData("tdabc100");
    EXPECT_EQ(compnrIsPhysic(set, 100), 1) << "physical";
    EXPECT_EQ(compnrIsPhysic(set, 200), 0) << "mapped to another company";
    EXPECT_EQ(compnrIsPhysic(set, 300), 0);
    EXPECT_EQ(compnrIsPhysic(set, 400), 1) << "mapped to itself";
    EXPECT_EQ(compnrIsPhysic(set, 500), 1) << "not mapped";
    EXPECT_EQ(compnrIsPhysic(CompnrNoMapping, 200), 1);
}

TEST_F(Compnr, LoadingAtFirstUseKeepsTheCallersError)
{
    writeMap("td:100:200\ntd:200:300\n"); /* inconsistent */
    tdb_errno = 506;
    EXPECT_EQ(compnrGetCompnrData("tdabc100"), CompnrNoMapping);
    EXPECT_EQ(tdb_errno, 506);
}

/* ---- refusals and the inconsistent file ---------------------------------- */

TEST_F(Compnr, AddMappingRefusesConflictsInFileMode)
{
    CompnrMap *map = compnrMapCreate("env");
    CompnrData *set = compnrMapAddSet(map, "td");
    ASSERT_EQ(compnrAddMapping(set, 100, 200, COMPNR_ADD_FROM_FILE), 0);

    struct Case {
        int physical, logical;
        const char *reason;
    } cases[] = {
        {101, 200, "logical company number already mapped to another physical company"},
        {300, 100, "logical company number already used as a physical company"},
        {200, 300, "physical company number already used as a logical company"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        tdb_errno = 0;
        EXPECT_EQ(compnrAddMapping(set, c.physical, c.logical, COMPNR_ADD_FROM_FILE), -1);
        EXPECT_EQ(tdb_errno, 401);
        EXPECT_EQ(std::string(compnrLastRefusal()), c.reason);
    }
    EXPECT_EQ(compnrAddMapping(set, 100, 200, COMPNR_ADD_FROM_FILE), 0) << "the same pair";
    EXPECT_EQ(compnrAddMapping(set, 100, 100, COMPNR_ADD_FROM_FILE), 0)
        << "a physical company may map to itself";
    EXPECT_EQ(logicals_of(set, 100), (std::vector<int>{200}));
    compnrMapFree(map);
}

TEST_F(Compnr, AddMappingSkipsConflictsInInheritedMode)
{
    CompnrMap *map = compnrMapCreate(nullptr);
    CompnrData *set = compnrMapAddSet(map, "tdtst");
    ASSERT_EQ(compnrAddMapping(set, 100, 200, COMPNR_ADD_FROM_FILE), 0);
    for (auto [physical, logical] : {std::pair{101, 200}, std::pair{300, 100},
                                     std::pair{200, 300}, std::pair{100, 200}}) {
        EXPECT_EQ(compnrAddMapping(set, physical, logical, COMPNR_ADD_INHERITED), 0);
    }
    EXPECT_EQ(mapped(set, {100, 200, 300}), "100->100 200->100 300->300 ");
    EXPECT_EQ(compnrAddMapping(set, 500, 600, COMPNR_ADD_INHERITED), 0);
    EXPECT_EQ(compnrLogicToPhysic(set, 600), 500);
    compnrMapFree(map);
}

TEST_F(Compnr, AddMappingRejectsIllegalArguments)
{
    CompnrMap *map = compnrMapCreate("");
    CompnrData *set = compnrMapAddSet(map, "td");
    for (auto [physical, logical, mode] :
         {std::tuple{1000, 1, 1}, std::tuple{1, -1, 1}, std::tuple{1, 2, 3},
          std::tuple{1, 2, 0}}) {
        tdb_errno = 0;
        EXPECT_EQ(compnrAddMapping(set, physical, logical, mode), -1);
        EXPECT_EQ(tdb_errno, 102);
    }
    tdb_errno = 0;
    EXPECT_EQ(compnrAddMapping(CompnrNoMapping, 1, 2, 1), -1);
    EXPECT_EQ(tdb_errno, 102);
    compnrMapFree(map);
}

TEST_F(Compnr, ManyPairsGrowTheArrays)
{
    CompnrMap *map = compnrMapCreate("");
    CompnrData *set = compnrMapAddSet(map, "td");
    for (int l = 1; l <= 999; ++l)
        ASSERT_EQ(compnrAddMapping(set, 0, l, COMPNR_ADD_FROM_FILE), 0) << l;
    std::vector<int> list = logicals_of(set, 0);
    ASSERT_EQ(list.size(), 999u);
    for (int l = 1; l <= 999; ++l) {
        EXPECT_EQ(list[l - 1], l);
        EXPECT_EQ(compnrLogicToPhysic(set, l), 0);
    }
    compnrMapFree(map);
}

TEST_F(Compnr, InconsistentFileIsIgnoredAsAWhole)
{
    writeMap("td:100:200\n"
             "td:200:300\n"
             "db:5:6\n");
    EXPECT_EQ(compnrClientInit(), 0);
    EXPECT_EQ(compnrGetMap(), nullptr);
    EXPECT_EQ(compnrGetCompnrData("tdabc100"), CompnrNoMapping);
    EXPECT_EQ(compnrGetCompnrData("dbtst100"), CompnrNoMapping);
    EXPECT_NE(std::string(compnrGetEnv()).find("@testhost "), std::string::npos);
}

TEST_F(Compnr, InvalidNumbersMakeTheFileInconsistent)
{
    for (const char *text : {"td:100:abc\n", "td:1000:200\n", "td:100:2000\n",
                             "td:1x:200\n", "td::200\n"}) {
        SCOPED_TRACE(text);
        compnrClientReset();
        writeMap(std::string(text) + "db:5:6\n");
        EXPECT_EQ(compnrGetCompnrData("dbtst100"), CompnrNoMapping);
    }
}

TEST_F(Compnr, InconsistentFileIsReportedWithEveryRefusedPair)
{
    writeMap("td:100:200\n"
             "td:200:300\n"
             "td:300:100,400\n"
             "td:100:abc\n");
    TempDir logs;
    EXPECT_EQ(in_child([&] {
                  setenv("TSE_LOG", logs.path().c_str(), 1);
                  setenv("USER", "tester", 1);
                  log_set_progname("compnr_test", LOG_DEST_FILE | LOG_DEST_STDERR);
                  testing::internal::CaptureStderr();
                  EXPECT_EQ(compnrClientInit(), 0);
                  const std::string err = testing::internal::GetCapturedStderr();
                  EXPECT_EQ(err,
                            "\nCompany mapping $TSE/lib/compnr6.2 will be ignored.\n"
                            "\ntd:200:300 (phys = 200, log = 300):"
                            "\nphysical company number already used as a logical company."
                            "\ntd:300:100,400 (phys = 300, log = 100):"
                            "\nlogical company number already used as a physical company."
                            "\ntd:100:abc (phys = 100, log = -01):"
                            "\ninvalid company number.");
                  const std::string log = read_file(logs.path() + "/log.compnr_test");
                  EXPECT_NE(log.find("keyword: Inconsistent company mapping"),
                            std::string::npos)
                      << log;
                  EXPECT_NE(log.find("Company mapping $TSE/lib/compnr6.2 will be ignored."),
                            std::string::npos);
                  EXPECT_EQ(log.find("S T A R T"), log.rfind("S T A R T"))
                      << "one message for the whole file";
                  EXPECT_EQ(compnrGetCompnrData("tdabc100"), CompnrNoMapping);
              }),
              0);
}

/* ---- printout -------------------------------------------------------------- */

std::string printed(const std::function<void(FILE *)> &print)
{
    char *buf = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&buf, &size);
    print(fp);
    std::fclose(fp);
    std::string text(buf, size);
    std::free(buf);
    return text;
}

TEST_F(Compnr, PrintDataShowsTheMappingUsedByTheProcess)
{
    writeMap("td:100:200,300\n"
             "tdtst:101:400\n"
             "db:5:5\n");
    ASSERT_EQ(compnrClientInit(), 0);
    const std::string env = compnrGetEnv();
    EXPECT_EQ(printed([](FILE *fp) { compnrPrintData(fp); }),
              "\n==== company numbers: internal data ===="
              "\n** PROCESS USES LOCAL DATA  **"
              "\n-- compnr environment = '" + env + "'"
              "\n\t<<< USED BY THIS PROCESS >>>"
              "\n\t-- spec: 'db'"
              "\n\t   Logic to Physic:"
              "\n\t\t005 --> 005"
              "\n\t   Physic to Logic:"
              "\n\t-- spec: 'tdtst'"
              "\n\t   Logic to Physic:"
              "\n\t\t400 --> 101"
              "\n\t\t300 --> 100"
              "\n\t\t200 --> 100"
              "\n\t   Physic to Logic:"
              "\n\t\t101 <-- 400"
              "\n\t\t100 <-- 300 200"
              "\n\t-- spec: 'td'"
              "\n\t   Logic to Physic:"
              "\n\t\t200 --> 100"
              "\n\t\t300 --> 100"
              "\n\t   Physic to Logic:"
              "\n\t\t100 <-- 200 300");
}

TEST_F(Compnr, PrintDataWithoutMappingShowsTheEnvironmentOnly)
{
    ASSERT_EQ(compnrClientInit(), 0);
    EXPECT_EQ(printed([](FILE *fp) { compnrPrintData(fp); }),
              "\n==== company numbers: internal data ===="
              "\n** PROCESS USES LOCAL DATA  **"
              "\n-- compnr environment = '" + envPrefix() + "no-time'"
              "\n\t<<< USED BY THIS PROCESS >>>");
}

TEST_F(Compnr, PrintDataListMarksOnlyTheUsedMapping)
{
    CompnrMap *map = compnrMapCreate("other@host 990101 00:00:00");
    compnrAddMapping(compnrMapAddSet(map, "ab"), 7, 8, COMPNR_ADD_FROM_FILE);
    EXPECT_EQ(printed([&](FILE *fp) { compnrPrintDataList(fp, map, 0); }),
              "\n-- compnr environment = 'other@host 990101 00:00:00'"
              "\n\t-- spec: 'ab'"
              "\n\t   Logic to Physic:"
              "\n\t\t008 --> 007"
              "\n\t   Physic to Logic:"
              "\n\t\t007 <-- 008");
    compnrMapFree(map);
}

/* ---- the map request --------------------------------------------------------- */

/* The body the test mapping gives: sets newest first, entries in order of
 * their first pair. */
std::string expectedBody(const std::string &env)
{
    return str0(env) + be32(2) +
           /* tdtst: its own 400 -> 101, then the package's 300, 200 -> 100 */
           str0("tdtst") + be32(2) + be16(101) + be16(1) + be16(400) +
           be16(100) + be16(2) + be16(300) + be16(200) +
           /* td */
           str0("td") + be32(1) + be16(100) + be16(2) + be16(200) + be16(300);
}

TEST_F(Compnr, WriteMapGivesTheRequestBodyByteForByte)
{
    writeMap("td:100:200,300\n"
             "tdtst:101:400\n");
    STREAM *sp = sopenVariableByteArray("w", 0, 0);
    ASSERT_NE(sp, nullptr);
    ASSERT_EQ(compnrWriteMap(sp), 0);
    const std::string body = bytes_of(sp);
    sclose(sp);
    const std::string expected = expectedBody(compnrGetEnv());
    EXPECT_EQ(hex(body), hex(expected));
}

TEST_F(Compnr, WriteMapWithoutMappingSendsTheEnvironmentAndNoSets)
{
    STREAM *sp = sopenVariableByteArray("w", 0, 0);
    ASSERT_EQ(compnrWriteMap(sp), 0);
    EXPECT_EQ(hex(bytes_of(sp)), hex(str0(envPrefix() + "no-time") + be32(0)));
    sclose(sp);

    sp = sopenVariableByteArray("w", 0, 0);
    ASSERT_EQ(compnrMapWrite(sp, nullptr), 0);
    EXPECT_EQ(hex(bytes_of(sp)), hex(str0("") + be32(0)));
    sclose(sp);
}

TEST_F(Compnr, WriteMapFailsOnAFullStream)
{
    writeMap("td:100:200,300\n");
    char small[10];
    STREAM *sp = sopenFixedByteArray(small, sizeof small, "w");
    EXPECT_EQ(compnrWriteMap(sp), -1);
    sclose(sp);
}

TEST_F(Compnr, ReadMapDecodesWhatWriteMapWrote)
{
    writeMap("td:100:200,300\n"
             "tdtst:101:400\n"
             "db:5:5\n");
    STREAM *out = sopenVariableByteArray("w", 0, 0);
    ASSERT_EQ(compnrWriteMap(out), 0);
    std::string body = bytes_of(out);
    sclose(out);

    STREAM *in = sopenFixedByteArray(body.data(), static_cast<long>(body.size()), "r");
    CompnrMap *map = nullptr;
    ASSERT_EQ(compnrReadMap(in, &map), 0);
    EXPECT_EQ(sgetc(in), -1) << "the whole body is read";
    sclose(in);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(std::string(compnrMapGetEnv(map)), compnrGetEnv());

    CompnrData *module = compnrMapGetCompnrData(map, "tdtst100");
    CompnrData *package = compnrMapGetCompnrData(map, "tdabc100");
    EXPECT_EQ(std::string(compnrDataGetPattern(module)), "tdtst");
    EXPECT_EQ(mapped(module, {200, 300, 400, 500}), "200->100 300->100 400->101 500->500 ");
    EXPECT_EQ(mapped(package, {200, 300, 400}), "200->100 300->100 400->400 ");
    EXPECT_EQ(logicals_of(module, 100), (std::vector<int>{300, 200}));
    EXPECT_EQ(compnrIsPhysic(module, 100), 1);
    EXPECT_EQ(compnrIsPhysic(module, 400), 0);
    EXPECT_EQ(compnrMapGetCompnrData(map, "dbtst100") != CompnrNoMapping, true)
        << "a set of pairs to themselves travels without entries";
    EXPECT_EQ(compnrLogicToPhysic(compnrMapGetCompnrData(map, "dbtst100"), 5), 5);

    /* Written again, the decoded mapping gives the same bytes. */
    STREAM *again = sopenVariableByteArray("w", 0, 0);
    ASSERT_EQ(compnrMapWrite(again, map), 0);
    EXPECT_EQ(hex(bytes_of(again)), hex(body));
    sclose(again);
    compnrMapFree(map);
}

/* Decodes bytes; the result and tdb_errno. */
std::pair<int, int> decode(std::string bytes)
{
    STREAM *in = sopenFixedByteArray(bytes.data(), static_cast<long>(bytes.size()), "r");
    CompnrMap *map = reinterpret_cast<CompnrMap *>(1);
    tdb_errno = 0;
    int rc = compnrReadMap(in, &map);
    sclose(in);
    if (rc == 0)
        compnrMapFree(map);
    else
        EXPECT_EQ(map, nullptr);
    return {rc, tdb_errno};
}

TEST_F(Compnr, ReadMapRejectsEveryTruncatedBody)
{
    const std::string body = expectedBody("root@host 070304 05:06:07");
    EXPECT_EQ(decode(body), std::make_pair(0, 0));
    for (size_t n = 0; n < body.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(decode(body.substr(0, n)), std::make_pair(-1, 215));
    }
}

TEST_F(Compnr, ReadMapRejectsMalformedBodies)
{
    const std::string env = str0("e");
    struct Case {
        const char *what;
        std::string bytes;
        int error;
    } cases[] = {
        {"negative set count", env + be32(-1), 215},
        {"physical number 1000", env + be32(1) + str0("td") + be32(1) + be16(1000) + be16(0), 215},
        {"logical number 1000", env + be32(1) + str0("td") + be32(1) + be16(1) + be16(1) + be16(1000), 215},
        {"negative entry count", env + be32(1) + str0("td") + be32(-5), 215},
        {"too many entries", env + be32(1) + str0("td") + be32(1001), 215},
        {"negative logical count", env + be32(1) + str0("td") + be32(1) + be16(1) + be16(-1), 215},
        {"huge set count", env + be32(0x7fffffff) + str0("td") + be32(0), 215},
        {"over-long pattern", env + be32(1) + str0(std::string(300, 'x')) + be32(0), 215},
        {"logical under two physicals",
         env + be32(1) + str0("td") + be32(2) + be16(1) + be16(1) + be16(5) + be16(2) + be16(1) + be16(5),
         401},
        {"physical used as logical",
         env + be32(1) + str0("td") + be32(2) + be16(1) + be16(1) + be16(5) + be16(5) + be16(1) + be16(7),
         401},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(c.bytes), std::make_pair(-1, c.error));
    }
    EXPECT_EQ(decode(env + be32(1) + str0("td") + be32(0)), std::make_pair(0, 0));
}

TEST_F(Compnr, ReadMapRejectsNullArguments)
{
    CompnrMap *map = reinterpret_cast<CompnrMap *>(1);
    EXPECT_EQ(compnrReadMap(nullptr, &map), -1);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(tdb_errno, 102);
}

} // namespace
