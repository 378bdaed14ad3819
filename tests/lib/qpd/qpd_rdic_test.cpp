/*
 * qpd_rdic_test.cpp: which drivers serve which tables: tabledef lines
 * with user filters, table and company patterns, server lists with "&" and
 * "|", hosts, arguments, the read driver, the audit field, other machines'
 * tabledefs (through the opener seam), audit hosts, the imposed server
 * list, and the failures with their messages and error numbers.
 */
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_stream.h"
#include "al_user.h"
#include "qpd_rdic.h"
#include "qpd_test_support.h"

using namespace qpdtest;

namespace {

class Tabledef : public DictTest {
protected:
    void SetUp() override
    {
        DictTest::SetUp();
        saved_user_ = user_info.trel_user;
        qpd::set_tabledef_opener(nullptr);
        qpd_set_auditcols_hooks(nullptr, nullptr);
        qpd_set_debug(0);
    }
    void TearDown() override
    {
        snprintf(user_info.trel_user, sizeof user_info.trel_user, "%s", saved_user_.c_str());
        qpd::set_tabledef_opener(nullptr);
        qpd_set_auditcols_hooks(nullptr, nullptr);
        qpd::reset_server_lists();
        DictTest::TearDown();
    }
    void use(const std::string &text)
    {
        write_root("lib/tabledef6.2", text);
        qpd::reset_server_lists();
    }
    /* "name[args]" of every alternative, elements joined by "&", alternatives by "|". */
    static std::string describe(const dd_tabledef &def)
    {
        std::string out;
        for (int i = 0; i < def.nr_server; i++) {
            if (i)
                out += "&";
            for (int a = 0; a < def.server[i].nr_alt; a++) {
                if (a)
                    out += "|";
                const dd_server *s = def.server[i].alt[a];
                out += s->name;
                if (*s->args) {
                    std::string args = s->args;
                    for (auto &c : args)
                        if (c == '\1')
                            c = ';';
                    out += "(" + args + ")";
                }
            }
        }
        return out;
    }
    std::string servers(const char *table, int compnr)
    {
        dd_tabledef def;
        if (client_get_tabledef(table, compnr, &def) != 0)
            return "<fail " + std::to_string(qpd_get_errno()) + ">";
        return describe(def);
    }

private:
    std::string saved_user_;
};

/* ---- matching ------------------------------------------------------------------ */

TEST_F(Tabledef, FiveCharacterPrefixMatchesEveryTableOfTheModule)
{
    use("qatst:*:oracle\n");
    EXPECT_EQ(servers("qatst100", 100), "oracle");
    EXPECT_EQ(servers("qatst999", 0), "oracle");
    Recorder rec;
    EXPECT_EQ(servers("qaxyz100", 100), "<fail 505>");
    EXPECT_TRUE(rec.logged("no server defined for 'qaxyz100100', cannot start driver"));
}

TEST_F(Tabledef, SixCharacterPatternMatchesNothing)
{
    use("qatst1:*:oracle\n*::informix\n");
    EXPECT_EQ(servers("qatst100", 1), "informix");
    EXPECT_FALSE(qpd::table_pattern_matches({"qatst1"}, "qatst100"));
    EXPECT_TRUE(qpd::table_pattern_matches({"qatst100"}, "qatst100"));
    EXPECT_FALSE(qpd::table_pattern_matches({"qatst100"}, "qatst101"));
    EXPECT_TRUE(qpd::table_pattern_matches({"x", "*"}, "qatst101"));
}

TEST_F(Tabledef, CompanyPatternsAndTheFirstMatchingLineWins)
{
    use("# comment\n\n"
        "qatst100:100,200:oracle\n"
        "qatst100,qbxyz200:*:informix\n"
        "qatst:300:db2\n");
    EXPECT_EQ(servers("qatst100", 100), "oracle");
    EXPECT_EQ(servers("qatst100", 200), "oracle");
    EXPECT_EQ(servers("qatst100", 300), "informix");
    EXPECT_EQ(servers("qatst101", 300), "db2");
    EXPECT_EQ(servers("qbxyz200", 7), "informix");
    EXPECT_EQ(servers("qatst101", 301), "<fail 505>");
    EXPECT_TRUE(qpd::company_pattern_matches({}, 5));
    EXPECT_TRUE(qpd::company_pattern_matches({"001"}, -1));
    EXPECT_TRUE(qpd::company_pattern_matches({"001"}, 1));
    EXPECT_FALSE(qpd::company_pattern_matches({"001"}, 2));
}

TEST_F(Tabledef, UserFilterLimitsALineToItsUsers)
{
    use("{alice, bob}qatst:*:oracle\n*:*:informix\n");
    snprintf(user_info.trel_user, sizeof user_info.trel_user, "bob");
    EXPECT_EQ(servers("qatst100", 1), "oracle");
    snprintf(user_info.trel_user, sizeof user_info.trel_user, "carol");
    EXPECT_EQ(servers("qatst100", 1), "informix");
}

/* ---- server lists ----------------------------------------------------------------- */

TEST_F(Tabledef, AllOfAndAlternativesHostsAndQuotedArguments)
{
    use("qatst:*:oracle(a,'b,c')|h1!informix & db2+:N\n");
    dd_tabledef def;
    ASSERT_EQ(client_get_tabledef("qatst100", 1, &def), 0);
    ASSERT_EQ(def.nr_server, 2);
    ASSERT_EQ(def.server[0].nr_alt, 2);
    EXPECT_STREQ(def.server[0].alt[0]->name, "oracle");
    EXPECT_STREQ(def.server[0].alt[0]->args, "a\1b,c");
    EXPECT_EQ(def.server[0].alt[0]->type, DD_SRV_DB);
    EXPECT_STREQ(def.server[0].alt[1]->name, "h1!informix");
    EXPECT_EQ(def.server[0].alt[1]->type, DD_SRV_DB | DD_SRV_REMOTE);
    EXPECT_EQ(def.server[1].alt[0]->type, DD_SRV_DB | DD_SRV_READ);
    EXPECT_EQ(read_driver_for_table("qatst100", 1), def.server[1].alt[0]);
    EXPECT_STREQ(get_dbc_read_driver("qatst100", 1), "db2");
}

TEST_F(Tabledef, SameServerEntryIsOneServerRecord)
{
    use("qatst100:*:sqlite(x)\nqatst101:*:sqlite(x)&sqlite+(x)&sqlite(y)\n");
    dd_tabledef a, b;
    ASSERT_EQ(client_get_tabledef("qatst100", 1, &a), 0);
    ASSERT_EQ(client_get_tabledef("qatst101", 1, &b), 0);
    EXPECT_EQ(a.server[0].alt[0], b.server[0].alt[0]);
    EXPECT_NE(b.server[0].alt[0], b.server[1].alt[0]);  /* read bit differs */
    EXPECT_NE(b.server[0].alt[0], b.server[2].alt[0]);  /* arguments differ */
    EXPECT_TRUE(table_in_driver("qatst100", a.server[0].alt[0]));
    EXPECT_FALSE(table_in_driver("qatst100", b.server[2].alt[0]));
    EXPECT_TRUE(table_in_driver("qatst101", b.server[2].alt[0]));
}

TEST_F(Tabledef, DriverNamesAreMatchedByPrefix)
{
    use("qatst:*:oracle8&postgres&mysql5&audit\n");
    dd_tabledef def;
    ASSERT_EQ(client_get_tabledef("qatst100", 1, &def), 0);
    ASSERT_EQ(def.nr_server, 4);
    EXPECT_EQ(def.server[0].alt[0]->type, DD_SRV_DB);
    EXPECT_EQ(def.server[1].alt[0]->type, DD_SRV_DB);
    EXPECT_EQ(def.server[2].alt[0]->type, DD_SRV_DB);
    EXPECT_EQ(def.server[3].alt[0]->type, DD_SRV_AUDIT);
    EXPECT_TRUE(table_in_driver("zzzzz999", def.server[3].alt[0]));
    /* The read driver is the first that is not an audit server. */
    EXPECT_STREQ(get_dbc_read_driver("qatst100", 1), "oracle8");
}

TEST_F(Tabledef, HostOnAnotherMachinesNameIsAnUnknownDriverType)
{
    use("qatst:*:h1!mach2\n");
    Recorder rec;
    EXPECT_EQ(servers("qatst100", 1), "<fail 505>");
    EXPECT_TRUE(rec.logged("Unknown driver type: mach2"));
    EXPECT_EQ(rec.errors.back(), E_DD_NO_SERVER);
}

TEST_F(Tabledef, MalformedLinesAreRefusedWith505)
{
    for (const char *line : {"qatst:*\n", "qatst:*:oracle(a\n", "{alice qatst:*:oracle\n",
                             "qatst:1:oracle\n", "qatst:*:\n", "qatst:*:oracle||db2\n",
                             "qatst:*:ora cle\n", "qatst:*:oracle:Y:x\n"}) {
        use(line);
        Recorder rec;
        EXPECT_EQ(servers("qatst100", 1), "<fail 505>") << line;
        EXPECT_FALSE(rec.messages.empty()) << line;
    }
    use("qatst:*\n");
    Recorder rec;
    servers("qatst100", 1);
    ASSERT_FALSE(rec.messages.empty());
    EXPECT_EQ(rec.messages[0], "Syntax error in tabledef line 1: qatst:*");
}

TEST_F(Tabledef, MissingFileIsLoggedWithTheSystemError)
{
    write_root("lib/tabledef6.2", "");
    unlink((root() + "/lib/tabledef6.2").c_str());
    qpd::reset_server_lists();
    Recorder rec;
    EXPECT_EQ(servers("qatst100", 5), "<fail 505>");
    EXPECT_TRUE(rec.logged("lib/tabledef6.2 open error 2"));
    EXPECT_TRUE(rec.logged("could not read tabledef for tqatst100005"));
}

TEST_F(Tabledef, MoreThanTenServersFail)
{
    use("qatst:*:oracle&db2&db2a&db2b&db2c&db2d&db2e&db2f&db2g&db2h&db2i\n");
    Recorder rec;
    EXPECT_EQ(servers("qatst100", 3), "<fail 505>");
    EXPECT_TRUE(rec.logged("More than 10 servers defined for table qatst100 compnr 3"));
    use("qatst:*:oracle&db2&db2a&db2b&db2c&db2d&db2e&db2f&db2g&db2h\n");
    EXPECT_EQ(servers("qatst100", 3), "oracle&db2&db2a&db2b&db2c&db2d&db2e&db2f&db2g&db2h");
}

/* ---- audit ---------------------------------------------------------------------------- */

TEST_F(Tabledef, AuditFieldAddsAnAuditServer)
{
    use("qatst100:*:oracle:Y\nqatst101:*:oracle:n\nqatst102:*:oracle:ahost(p,q)\nttaud:*:oracle&audit:Y\n");
    EXPECT_EQ(servers("qatst100", 1), "oracle&audit");
    EXPECT_EQ(servers("qatst101", 1), "oracle");
    EXPECT_EQ(servers("qatst102", 1), "oracle&ahost!audit(p;q)");
    EXPECT_EQ(servers("ttaud100", 1), "oracle");
    char hosts[64];
    ASSERT_EQ(get_audit_hosts("qatst100", 1, hosts, sizeof hosts), 0);
    EXPECT_STREQ(hosts, "localhost");
    ASSERT_EQ(get_audit_hosts("qatst102", 1, hosts, sizeof hosts), 0);
    EXPECT_STREQ(hosts, "ahost");
    ASSERT_EQ(get_audit_hosts("qatst101", 1, hosts, sizeof hosts), 0);
    EXPECT_STREQ(hosts, "");
    EXPECT_EQ(get_audit_hosts("qatst102", 1, hosts, 3), -1);
    tdb_disable_audit();
    EXPECT_EQ(servers("qatst100", 1), "oracle");
}

int using_columns() { return 1; }
int logged_for_some(const char *table, int) { return strncmp(table, "qatst1", 6) == 0; }

TEST_F(Tabledef, AuditColumnsGiveTheAuditHostOfTheCompany)
{
    use("qatst:*:oracle&audit:Y\n");
    write_root("lib/audit_hosts", "100,200:hostA\n*:hostB\n");
    qpd_set_auditcols_hooks(using_columns, logged_for_some);
    EXPECT_EQ(servers("qatst100", 100), "oracle&hostA!audit");
    EXPECT_EQ(servers("qatst100", 300), "oracle&hostB!audit");
    EXPECT_EQ(servers("qatst200", 300), "oracle");  /* no column logged */
    char hosts[64];
    ASSERT_EQ(get_audit_hosts("qatst100", 200, hosts, sizeof hosts), 0);
    EXPECT_STREQ(hosts, "hostA");
}

TEST_F(Tabledef, AuditColumnsWithTenServersAlreadyFail)
{
    use("qatst:*:oracle&db2&db2a&db2b&db2c&db2d&db2e&db2f&db2g&db2h\n");
    write_root("lib/audit_hosts", "*:hostB\n");
    qpd_set_auditcols_hooks(using_columns, logged_for_some);
    Recorder rec;
    EXPECT_EQ(servers("qatst100", 4), "<fail 505>");
    EXPECT_TRUE(rec.logged("Cannot define audit server for table qatst100 compnr 4 (max. number "
                           "of copy servers (10) exceeded)"));
}

TEST_F(Tabledef, AuditHostFileErrorsStopTheReading)
{
    use("qatst:*:oracle\n");
    qpd_set_auditcols_hooks(using_columns, logged_for_some);
    write_root("lib/audit_hosts", "100:hostA\n100:hostC\n*:hostB\n");
    {
        Recorder rec;
        EXPECT_EQ(servers("qatst100", 100), "oracle&hostA!audit");
        EXPECT_TRUE(rec.logged("Conflicting hostnames for compnr 100 (hostA and hostC)"));
        EXPECT_EQ(servers("qatst100", 5), "oracle");  /* "*" was never read */
    }
    qpd::reset_server_lists();
    write_root("lib/audit_hosts", "7:hostA\nno colon here\n*:hostB\n");
    {
        Recorder rec;
        EXPECT_EQ(servers("qatst100", 7), "oracle&hostA!audit");
        EXPECT_TRUE(rec.logged("Colon missing; format must be <compnrs>:<hostname>"));
    }
    qpd::reset_server_lists();
    write_root("lib/audit_hosts", "1000:hostX\n*:hostB\n");
    {
        Recorder rec;
        EXPECT_EQ(servers("qatst100", 7), "oracle");
        EXPECT_TRUE(rec.messages.empty());
    }
}

/* ---- other machines ----------------------------------------------------------------- */

STREAM *machine_files(const char *machine, const char *name)
{
    static char mach2[] = "# tabledef of mach2\nqatst:*:oracle(m2)&h9!db2:Y\n";
    static std::string last_name;
    last_name = name;
    if (strcmp(machine, "mach2") == 0)
        return sopenFixedByteArray(mach2, static_cast<long>(strlen(mach2)), "r");
    errno = ENOENT;
    return nullptr;
}

TEST_F(Tabledef, AnotherMachinesTabledefServesTheTable)
{
    use("qatst:*:mach3|mach2\n");
    qpd::set_tabledef_opener(machine_files);
    dd_tabledef def;
    Recorder rec;
    qpd_set_debug(32);
    testing::internal::CaptureStderr();
    ASSERT_EQ(client_get_tabledef("qatst100", 1, &def), 0);
    std::string printed = testing::internal::GetCapturedStderr();
    qpd_set_debug(0);
    EXPECT_EQ(describe(def), "mach2!oracle(m2)&h9!db2&mach2!audit");
    /* mach3 could not be read: type 32 | 0x400; mach2 was. */
    EXPECT_NE(printed.find("server 'mach3' specs '*remote*' server "), std::string::npos);
    EXPECT_NE(printed.find(" type 02040\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find(" type 040\n"), std::string::npos) << printed;
    EXPECT_EQ(def.server[0].alt[0]->type, DD_SRV_DB | DD_SRV_REMOTE);
    EXPECT_TRUE(rec.logged("mach3!" + std::string(getenv("TSE")) + "/lib/tabledef6.2 open error 2"));
    /* No readable alternative left. */
    use("qatst:*:mach3\n");
    qpd::set_tabledef_opener(machine_files);
    Recorder rec2;
    EXPECT_EQ(servers("qatst100", 12), "<fail 505>");
    EXPECT_TRUE(rec2.logged("could not read tabledef for tqatst100012"));
}

TEST_F(Tabledef, TableInDriverLooksIntoOtherMachines)
{
    use("qatst:*:mach2\n");
    qpd::set_tabledef_opener(machine_files);
    dd_tabledef def;
    ASSERT_EQ(client_get_tabledef("qatst100", 1, &def), 0);
    EXPECT_TRUE(table_in_driver("qatst100", def.server[0].alt[0]));
    EXPECT_FALSE(table_in_driver("qbtst100", def.server[0].alt[0]));
}

/* ---- imposed list, debug, environment ---------------------------------------------- */

TEST_F(Tabledef, ImposedServerListServesEveryTableOnce)
{
    use("qatst:*:oracle\n");
    EXPECT_EQ(specify_server("bad name"), -1);
    EXPECT_EQ(qpd_get_errno(), E_DD_NO_SERVER);
    EXPECT_EQ(specify_server("sqlite+&audit"), 0);
    EXPECT_EQ(servers("qatst100", 1), "sqlite&audit");
    EXPECT_EQ(servers("zzzzz999", 999), "sqlite&audit");
    Recorder rec;
    EXPECT_EQ(specify_server("oracle"), 0);
    EXPECT_TRUE(rec.logged("Can't redefine server ('oracle' ignored)"));
    EXPECT_EQ(servers("qatst100", 1), "sqlite&audit");
    EXPECT_STREQ(get_dbc_read_driver("qatst100", 1), "sqlite");
}

TEST_F(Tabledef, DebugBitPrintsTheServersOfATable)
{
    use("qatst:*:oracle(x)\n");
    qpd_set_debug(32);
    testing::internal::CaptureStderr();
    EXPECT_EQ(servers("qatst100", 7), "oracle(x)");
    std::string err = testing::internal::GetCapturedStderr();
    qpd_set_debug(0);
    EXPECT_EQ(err.rfind("Driver(s) for qatst100007, total 1:\n[0] dr_type 'oracle' specs 'x' (type 020 addr ", 0), 0u)
        << err;
    EXPECT_NE(err.find("---------- start global server list -------------\nserver 'oracle' specs 'x' server "),
              std::string::npos);
    EXPECT_NE(err.find("--------------- end server list -----------------\n"), std::string::npos);
}

TEST_F(Tabledef, DemoTabledefPutsEveryTableOnSqlite)
{
    FILE *f = fopen(QPD_DEMO_TSE "/lib/tabledef6.2", "r");
    ASSERT_NE(f, nullptr);
    std::string text;
    char buf[512];
    while (fgets(buf, sizeof buf, f))
        text += buf;
    fclose(f);
    use(text);
    EXPECT_EQ(servers("dbtst100", 100), "sqlite");
    EXPECT_EQ(read_driver_for_table("dbtst100", 100)->type, DD_SRV_DB | DD_SRV_READ);
    EXPECT_EQ(servers("xxabc100", 100), "sqlite");
}

TEST(DictionaryEnvironment, RootHostAndCombinationOrTheRemoteName)
{
    in_child([] {
        unsetenv("TSE_REM");
        std::string host = getsyshostname();
        for (auto &c : host)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        std::string expected = std::string(getenv("TSE")) + "@" + host + " test";
        EXPECT_EQ(qpdDDGetEnv(), expected);
        setenv("TSE_REM", "other", 1);
        EXPECT_EQ(qpdDDGetEnv(), expected);  /* computed once */
    });
    in_child([] {
        setenv("TSE_REM", "remhost", 1);
        EXPECT_STREQ(qpdDDGetEnv(), "remhost test");
    });
}

} // namespace
