/*
 * driver_protocol_test.cpp: the real tdb_driver started through ipc_info
 * and spoken to with the client codec: the attach reply, sessions,
 * system and session requests, the company-number map (519), roles and
 * audit columns, and garbled input.
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "al_env.h"
#include "compnr.h"
#include "driver_support.h"
#include "ipc.h"
#include "run_program.h"
#include "tdb_commu.h"

using namespace drivertest;

namespace {

class DriverProtocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        root();
        db = dir.path() + "/drv.db";
    }
    tdbtest::TempDir dir;
    std::string db;
};

std::string answer_text(const commu_block &reply)
{
    return std::string(reinterpret_cast<const char *>(reply.answer),
                       static_cast<size_t>(reply.answer_len));
}

/* Request 13 with a mapping of the given environment and no sets. */
std::vector<unsigned char> company_map_request(const std::string &env)
{
    CompnrMap *map = compnrMapCreate(env.c_str());
    STREAM *sp = sopenVariableByteArray("w", 0, 0);
    sputc(COMMU_SEND_COMPNR, sp);
    EXPECT_EQ(compnrMapWrite(sp, map), 0);
    void *base = nullptr;
    long length = 0;
    getByteArrayProperties(sp, &base, &length);
    std::vector<unsigned char> bytes(static_cast<unsigned char *>(base),
                                     static_cast<unsigned char *>(base) + length);
    sclose(sp);
    compnrMapFree(map);
    return bytes;
}

long read_retval(Connection &c)
{
    commu_block reply;
    reply.kind = COMMU_SEND_COMPNR;
    EXPECT_EQ(commu_read_reply(c.rd(), &reply), 0);
    return reply.retval;
}

} // namespace

TEST_F(DriverProtocol, AttachAnswersProtocolSessionLimitProcessIdAndIdleLimit)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    commu_block att = c.start("sqlite", db);
    EXPECT_EQ(att.retval, 0);
    EXPECT_EQ(att.reply_sql_protocol, 8);
    EXPECT_EQ(att.level_flags, 0); /* the root has no Unicode mode file */
    EXPECT_EQ(att.max_sessions, 32);
    EXPECT_EQ(att.driver_pid, c.pid());
    EXPECT_EQ(att.idle_limit, 10);
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, AttachSetsTheUnicodeLevelFlagOnlyInUnicodeMode)
{
    /* The driver takes its mode from its own root: a second root with
     * the mode file; the client's root (and its ipc_info) is cached. */
    get_tse();
    tdbtest::TempDir unicode_root;
    unicode_root.write("lib/tss_mbstore6.2", "UTF-T:0:ISO-8859-1\n");
    unicode_root.write("log/.keep", "");
    setenv("TSE", unicode_root.path().c_str(), 1);
    Connection c;
    setenv("TSE", root().c_str(), 1);
    ASSERT_TRUE(c.ok());
    commu_block att = c.start("sqlite", db);
    EXPECT_EQ(att.retval, 0);
    EXPECT_EQ(att.level_flags, COMMU_LEVEL_UNICODE);
    EXPECT_EQ(att.reply_sql_protocol, 8);
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, AttachRefusesAnotherSqlProtocolWith511)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    commu_block attach;
    attach.kind = COMMU_ATT_SERVER;
    attach.sql_protocol = 7;
    attach.server_desc = "env sqlite " + db;
    commu_block att;
    ASSERT_TRUE(c.exchange(attach, &att));
    EXPECT_EQ(att.retval, 511);
    EXPECT_EQ(att.reply_sql_protocol, 8);
}

TEST_F(DriverProtocol, SocketPairDriverAnswersTheSameAttach)
{
    Connection c("sqlite_sock");
    ASSERT_TRUE(c.ok());
    EXPECT_NE(ipc_flags(c.rd()) & IPC_SOCKET, 0);
    commu_block att = c.start("sqlite", db);
    EXPECT_EQ(att.retval, 0);
    EXPECT_EQ(att.driver_pid, c.pid());
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, DriverNameOfNoStorageIsRefusedAtAttachWith510)
{
    Connection c("postgres");
    ASSERT_TRUE(c.ok());
    long mark = driver_log_mark();
    commu_block att = c.start("oracle", "x");
    EXPECT_EQ(att.retval, 510);
    EXPECT_NE(driver_log_since(mark).find("driver 'oracle' is not served by this program"),
              std::string::npos)
        << driver_log_since(mark);
    EXPECT_EQ(att.reply_sql_protocol, 8);
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, SessionsAttachDetachAndTheirLimit)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    long rc = -1;
    long first = c.attach_session(&rc);
    EXPECT_EQ(rc, 0);
    EXPECT_GT(first, 0);
    long second = c.attach_session(&rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(second, first);

    commu_block det;
    det.kind = COMMU_DET_SESSION;
    det.session = first;
    commu_block reply;
    ASSERT_TRUE(c.exchange(det, &reply));
    EXPECT_EQ(reply.retval, 0);
    ASSERT_TRUE(c.exchange(det, &reply));
    EXPECT_EQ(reply.retval, 518) << "a detached session is unknown";

    /* One is attached; 31 more fill the limit, the next is refused. */
    for (int i = 0; i < 31; ++i) {
        EXPECT_GT(c.attach_session(&rc), 0);
        EXPECT_EQ(rc, 0);
    }
    EXPECT_EQ(c.attach_session(&rc), 0);
    EXPECT_EQ(rc, 525);
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, SystemRequestsInitInformationAndUnknownCodes)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    commu_block reply;
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\1", 4)), &reply));
    EXPECT_EQ(reply.retval, 0);
    std::string text = answer_text(reply);
    EXPECT_EQ(text.rfind("SQLite 3", 0), 0u) << text;
    EXPECT_NE(text.find(db), std::string::npos) << text;

    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\2", 4)), &reply));
    EXPECT_EQ(answer_text(reply), "sqlite");
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\3", 4)), &reply));
    EXPECT_EQ(answer_text(reply), "0");
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\x63", 4)), &reply));
    EXPECT_EQ(reply.retval, 102);
    EXPECT_EQ(reply.answer_len, 0);
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\1", 2)), &reply));
    EXPECT_EQ(reply.retval, 102);

    ASSERT_TRUE(c.exchange(system_request(5, std::string("\0\4\0", 3)), &reply));
    EXPECT_EQ(reply.retval, 102);
    ASSERT_TRUE(c.exchange(system_request(6, std::string("\x09sqlite", 7)), &reply));
    EXPECT_EQ(reply.retval, 102) << "a name length beyond the message";
    ASSERT_TRUE(c.exchange(system_request(1, "TLAT='on'"), &reply));
    EXPECT_EQ(reply.retval, 0);
    ASSERT_TRUE(c.exchange(system_request(42, ""), &reply));
    EXPECT_EQ(reply.retval, 102);
    ASSERT_TRUE(c.exchange(system_request(8, "toolongname"), &reply));
    EXPECT_EQ(reply.retval, 102);
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, SessionRequestRenamesAKnownSessionOnly)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    long session = c.attach_session();
    commu_block req;
    req.kind = COMMU_EXE_SESSION;
    req.session = session;
    req.code = 2;
    static const unsigned char name[] = "newname";
    req.msg = name;
    req.msg_len = 7;
    commu_block reply;
    ASSERT_TRUE(c.exchange(req, &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(reply.answer_len, 0);
    req.code = 3;
    ASSERT_TRUE(c.exchange(req, &reply));
    EXPECT_EQ(reply.retval, 102);
    req.code = 2;
    req.session = session + 100;
    ASSERT_TRUE(c.exchange(req, &reply));
    EXPECT_EQ(reply.retval, 518);
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, CompanyMapIsAskedFor519UntilTheAnnouncedEnvironmentArrives)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    commu_block att = c.start("sqlite", db, "envA");
    EXPECT_EQ(att.retval, 519);
    EXPECT_EQ(att.reply_sql_protocol, 8);

    long rc = 0;
    long session = c.attach_session(&rc);
    EXPECT_EQ(rc, 519);
    EXPECT_GT(session, 0) << "the session exists; only the map is missing";

    commu_block roles;
    roles.kind = COMMU_PERMISSION;
    commu_block reply;
    ASSERT_TRUE(c.exchange(roles, &reply));
    EXPECT_EQ(reply.retval, 519);
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 519);

    /* A map of another environment does not satisfy the driver. */
    ASSERT_TRUE(c.send_raw(company_map_request("envB")));
    EXPECT_EQ(read_retval(c), 519);
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 519);

    ASSERT_TRUE(c.send_raw(company_map_request("envA")));
    EXPECT_EQ(read_retval(c), 0);
    ASSERT_TRUE(c.exchange(table_action(session, "dbtst100", 100, 8), &reply));
    EXPECT_EQ(reply.retval, 513) << "now the dictionary is what is missing";
    ASSERT_TRUE(c.exchange(roles, &reply));
    EXPECT_EQ(reply.retval, 0);
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, RolesAndAuditColumnsAreAccepted)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    commu_block roles;
    roles.kind = COMMU_PERMISSION;
    commu_role role;
    role.name = "clerk";
    commu_role_object object;
    object.entries.push_back({"dbtst100", 3, "compnr = 100"});
    role.objects.push_back(object);
    roles.roles.push_back(role);
    commu_block reply;
    ASSERT_TRUE(c.exchange(roles, &reply));
    EXPECT_EQ(reply.retval, 0);

    commu_block cols;
    cols.kind = COMMU_AUDITCOLS;
    cols.auditcols_id = 7;
    cols.auditcols.push_back({"rcd_utc", 1});
    ASSERT_TRUE(c.exchange(cols, &reply));
    EXPECT_EQ(reply.retval, 0);
    /* The channel is still in step: a system request gets its answer. */
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\2", 4)), &reply));
    EXPECT_EQ(answer_text(reply), "sqlite");
    EXPECT_EQ(c.detach(), 0);
}

TEST_F(DriverProtocol, UnknownRequestKindEndsTheDriverWithStatus1)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    long mark = driver_log_mark();
    ASSERT_TRUE(c.send_raw({99, 0, 0, 0, 0}));
    EXPECT_EQ(c.wait_exit(), 1);
    EXPECT_NE(driver_log_since(mark).find(
                  "Unreadable request of kind 99 from the client: the driver stops"),
              std::string::npos)
        << driver_log_since(mark);
}

TEST_F(DriverProtocol, SecondSqlInterfaceWithoutEngineEndsTheDriverWithStatus1)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    ASSERT_TRUE(c.send_raw({COMMU_SQL2_MESSAGE, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(c.wait_exit(), 1);
}

TEST_F(DriverProtocol, MalformedCompanyMapEndsTheDriverWithStatus1)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db, "envA").retval, 519);
    /* env "e", one set "db", one entry with physical number 5000. */
    std::vector<unsigned char> bytes = {COMMU_SEND_COMPNR, 'e', 0, 0, 0, 0, 1, 'd', 'b', 0,
                                        0, 0, 0, 1, 0x13, 0x88, 0, 1, 0, 5};
    long mark = driver_log_mark();
    ASSERT_TRUE(c.send_raw(bytes));
    EXPECT_EQ(c.wait_exit(), 1);
    EXPECT_NE(driver_log_since(mark).find("Unreadable company-number map from the client"),
              std::string::npos)
        << driver_log_since(mark);
}

TEST_F(DriverProtocol, ClientGoingAwayEndsTheDriverWithStatus0)
{
    pid_t pid;
    {
        Connection c;
        ASSERT_TRUE(c.ok());
        ASSERT_EQ(c.start("sqlite", db).retval, 0);
        pid = c.pid();
        /* Closing both streams waits for the child. */
    }
    EXPECT_NE(::kill(pid, 0), 0) << "the driver is gone";
}

TEST_F(DriverProtocol, SqlPacketsGetAnEmptyAnswerAndTheChannelStaysInStep)
{
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.start("sqlite", db).retval, 0);
    commu_block req;
    req.kind = COMMU_SQL_MESSAGE;
    static const unsigned char packet[] = {1, 2, 3};
    req.msg = packet;
    req.msg_len = 3;
    commu_block reply;
    ASSERT_EQ(commu_write_request(c.wr(), &req), 0);
    ASSERT_EQ(sflush(c.wr()), 0);
    /* The reply of request 10 is a long length and the block. */
    unsigned char length[4];
    ASSERT_EQ(sread_blok(length, 4, c.rd()), 4);
    EXPECT_EQ(length[0] | length[1] | length[2] | length[3], 0);
    ASSERT_TRUE(c.exchange(system_request(9, std::string("\0\0\0\2", 4)), &reply));
    EXPECT_EQ(answer_text(reply), "sqlite");
    EXPECT_EQ(c.detach(), 0);
}

TEST(DriverProgram, StartedWithoutAClientExitsWith2AndSaysWhy)
{
    tdbtest::RunOptions options;
    options.env.emplace_back("TSE", root());
    tdbtest::RunResult r = tdbtest::run_program(TDB_DRIVER_PATH, {TDB_DRIVER_PATH}, options);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("tdb_driver: not started by a client"), std::string::npos) << r.err;
}
