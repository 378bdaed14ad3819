/*
 * The tdb API lifecycle: transactions 1-255 with reuse by name, the 525
 * message, servers and sessions over alternatives and the audit driver,
 * idle clean-up and the tree printout, logon with the client resources,
 * the message buffer and detail errors.
 */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>

#include "al_log.h"
#include "al_res.h"
#include "al_stream.h"
#include "c_client.h"
#include "c_commu.h"
#include "c_state.h"
#include "commu_support.h"
#include "tdb_api.h"

using namespace commutest;

namespace {

/* Messages that reach the log, through the message hook. */
std::string g_log;
void capture_log(const char *message) { g_log += message; }

class Api : public ::testing::Test {
protected:
    void SetUp() override
    {
        tdb_api_reset();
        reset_state();
        reset_tdb_msg();
        g_log.clear();
        log_set_log_hook(capture_log);
    }
    void TearDown() override
    {
        log_set_log_hook(nullptr);
        for (tdb_server *s = tdb_info.servers; s; s = s->next) {
            if (s->rd != nullptr) {
                sclose(s->rd);
                if (s->wr != s->rd)
                    sclose(s->wr);
                s->rd = s->wr = nullptr;
            }
        }
        tdb_api_reset();
        reset_state();
    }
};

/* Runs body in a forked child (for what is once per process: logon,
 * resources, environment); the child's failures are printed there and its
 * exit status reports them. */
void in_child(const std::function<void()> &body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

dd_server make_driver(int type, const char *name, const char *args)
{
    dd_server d{};
    d.type = type;
    d.name = const_cast<char *>(name);
    d.args = const_cast<char *>(args);
    return d;
}

dd_server_choice choice_of(std::initializer_list<dd_server *> alts)
{
    dd_server_choice c{};
    for (dd_server *a : alts)
        c.alt[c.nr_alt++] = a;
    return c;
}

/* Logs on in a child with the program name that resource loading needs. */
void logon_in_child()
{
    log_set_progname("apitest", LOG_DEST_FILE);
    ASSERT_EQ(tdb_logon("tdbreconfig"), 0) << tdb_errno;
}

} // namespace

/* ---- transactions ------------------------------------------------------------------------- */

TEST_F(Api, AllTransactionIdsInUseGive525WithTheMessage)
{
    for (unsigned int i = 1; i <= 255; ++i) {
        std::string name = "t" + std::to_string(i);
        ASSERT_EQ(tdb_start_session(name.c_str()), i);
    }
    tdb_errno = 0;
    EXPECT_EQ(tdb_start_session("one more"), 0u);
    EXPECT_EQ(tdb_errno, 525);
    EXPECT_STREQ(get_tdb_msg(), "Maximum number of TDB sessions (255) reached");
    EXPECT_NE(g_log.find("Maximum number of TDB sessions (255) reached"), std::string::npos)
        << g_log;
    /* A freed id is taken again. */
    ASSERT_EQ(tdb_stop_session(200), 0);
    EXPECT_EQ(tdb_start_session("one more"), 200u);
}

TEST_F(Api, AStoppedTransactionIsReusedByNameWithoutTellingTheDrivers)
{
    for (unsigned int i = 1; i <= 8; ++i)
        ASSERT_EQ(tdb_start_session(("t" + std::to_string(i)).c_str()), i);
    /* Transaction 7 has a session on a server whose channel is memory:
     * every request sent to its driver stays visible. */
    tdb_trans *t7 = nullptr;
    ASSERT_EQ(tdb_get_trans(7, &t7), 0);
    tdb_server server;
    server.wr = sopenVariableByteArray("w", 0, 0);
    static unsigned char nothing[1];
    server.rd = sopenFixedByteArray(nothing, 0, "r");
    tdb_session session;
    session.server = &server;
    session.trans = t7;
    session.idle = 5;
    t7->sessions = &session;
    auto sent = [&] {
        void *base = nullptr;
        long length = 0;
        getByteArrayProperties(server.wr, &base, &length);
        return length;
    };

    ASSERT_EQ(tdb_stop_session(7), 0);
    ASSERT_EQ(tdb_stop_session(3), 0);
    TDB_DEBUG = TDB_DEBUG_COMMU;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tdb_start_session("t7"), 7u);
    std::string err = testing::internal::GetCapturedStderr();
    TDB_DEBUG = 0;
    EXPECT_EQ(err, "START_SESSION trans_id 7  matching reuse for t7\n");
    EXPECT_EQ(sent(), 0) << "the driver was told a name it already has";
    EXPECT_EQ(session.idle, 0);
    EXPECT_EQ(t7->active, 1);

    /* Another name takes the lowest free id (3), not 7's record. */
    ASSERT_EQ(tdb_stop_session(7), 0);
    EXPECT_EQ(tdb_start_session("other"), 3u);
    EXPECT_EQ(sent(), 0);
    tdb_trans *t3 = nullptr;
    ASSERT_EQ(tdb_get_trans(3, &t3), 0);
    EXPECT_STREQ(t3->name, "other");

    /* Reusing 7 under a new name tells its driver the name (a session
     * request of code 2). */
    EXPECT_EQ(tdb_start_session("renamed"), 7u);
    EXPECT_GT(sent(), 0);
    EXPECT_STREQ(t7->name, "renamed");

    t7->sessions = nullptr;
    sclose(server.rd);
    sclose(server.wr);
    server.rd = server.wr = nullptr;
}

TEST_F(Api, StoppingAnIdNotInUseFailsWith518)
{
    for (unsigned int id : {0u, 256u, 1u}) {
        tdb_errno = 0;
        g_log.clear();
        EXPECT_EQ(tdb_stop_session(id), -1) << id;
        EXPECT_EQ(tdb_errno, 518) << id;
        EXPECT_NE(g_log.find("Invalid transaction id " + std::to_string(id) + " specified."),
                  std::string::npos)
            << g_log;
    }
    ASSERT_EQ(tdb_start_session("x"), 1u);
    EXPECT_EQ(tdb_stop_session(1), 0);
    EXPECT_EQ(tdb_stop_session(1), -1);
    EXPECT_EQ(tdb_errno, 518);
}

TEST_F(Api, NamesKeepFifteenCharacters)
{
    ASSERT_EQ(tdb_start_session("abcdefghijklmnopqrstuvwxyz"), 1u);
    tdb_trans *t = nullptr;
    ASSERT_EQ(tdb_get_trans(1, &t), 0);
    EXPECT_STREQ(t->name, "abcdefghijklmno");
}

TEST_F(Api, TransactionLookupsTellNotInUseAndMissingRecords)
{
    tdb_trans *t = nullptr;
    EXPECT_EQ(tdb_get_trans(4, &t), 1);
    EXPECT_EQ(tdb_get_trans(0, &t), 1);
    EXPECT_EQ(tdb_get_trans(300, &t), 1);
    /* An id in use without a record (as after a logon that cleared the set
     * while records stayed, or set by hand here). */
    tdb_info.trans_in_use.set(9);
    EXPECT_EQ(tdb_get_trans(9, &t), 2);
    tdb_trans *made = tdb_get_trans_by_id(9);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->id, 9);
    EXPECT_EQ(tdb_get_trans(9, &t), 0);
    EXPECT_EQ(t, made);
    tdb_errno = 0;
    EXPECT_EQ(tdb_get_trans_by_id(10), nullptr);
    EXPECT_EQ(tdb_errno, 518);
    EXPECT_NE(g_log.find("Invalid transaction id 10 specified."), std::string::npos);
}

TEST_F(Api, DefaultQueryTimeoutIsPerTransactionAndResetByStart)
{
    ASSERT_EQ(tdb_start_session("q"), 1u);
    ASSERT_EQ(tdb_set_default_query_timeout(1, 30), 0);
    int value = -1;
    ASSERT_EQ(tdb_get_default_query_timeout(1, &value), 0);
    EXPECT_EQ(value, 30);
    ASSERT_EQ(tdb_stop_session(1), 0);
    EXPECT_EQ(tdb_set_default_query_timeout(1, 5), -1);
    EXPECT_EQ(tdb_errno, 518);
    ASSERT_EQ(tdb_start_session("q"), 1u);
    ASSERT_EQ(tdb_get_default_query_timeout(1, &value), 0);
    EXPECT_EQ(value, 0);
}

TEST_F(Api, StartTimeIsTakenAtTheFirstQuestion)
{
    EXPECT_EQ(tdb_get_trans_start_time(1), -1);
    ASSERT_EQ(tdb_start_session("s"), 1u);
    tdb_trans *t = nullptr;
    ASSERT_EQ(tdb_get_trans(1, &t), 0);
    EXPECT_EQ(t->start_time, 0);
    const long before = static_cast<long>(std::time(nullptr));
    const long first = tdb_get_trans_start_time(1);
    EXPECT_GE(first, before);
    EXPECT_EQ(t->start_time, first);
    t->start_time = 12345;
    EXPECT_EQ(tdb_get_trans_start_time(1), 12345);
}

TEST_F(Api, DetailErrorsAreGivenFromTheTransaction)
{
    ASSERT_EQ(tdb_start_session("d"), 1u);
    char table[9] = "xxxxxxxx";
    int number = 0;
    const char *text = "untouched";
    EXPECT_EQ(tdb_get_detail_error(table, &number, &text, 1), 0);
    EXPECT_STREQ(table, "");
    EXPECT_EQ(number, 65535);
    EXPECT_EQ(text, nullptr);

    tdb_trans *t = nullptr;
    ASSERT_EQ(tdb_get_trans(1, &t), 0);
    t->detail.code = 108;
    std::memcpy(t->detail.table, "ddbtst10", 8);
    t->detail.number = 42;
    t->detail.text = "duplicate in row 3";
    EXPECT_EQ(tdb_get_detail_error(table, &number, &text, 1), 108);
    EXPECT_STREQ(table, "ddbtst10");
    EXPECT_EQ(number, 42);
    EXPECT_STREQ(text, "duplicate in row 3");
    /* Every out pointer may be absent. */
    EXPECT_EQ(tdb_get_detail_error(nullptr, nullptr, nullptr, 1), 108);
    EXPECT_EQ(tdb_get_detail_error_by_trans(nullptr, &number, nullptr, t), 108);
    /* An id not in use has none. */
    EXPECT_EQ(tdb_get_detail_error(table, &number, &text, 2), 0);
    EXPECT_EQ(number, 65535);
}

/* ---- the message buffer ------------------------------------------------------------------- */

TEST_F(Api, MessageBufferAppendsAndLogsOnRequest)
{
    EXPECT_STREQ(get_tdb_msg(), "");
    set_tdb_msg(0, "first %d;", 1);
    set_tdb_msg(1, " second %s", "text");
    EXPECT_STREQ(get_tdb_msg(), "first 1; second text");
    EXPECT_EQ(g_log.find("first 1;"), std::string::npos) << "log flag 0 logs nothing";
    EXPECT_NE(g_log.find("second text"), std::string::npos);
    std::string longer(5000, 'x');
    set_tdb_msg(0, "%s", longer.c_str());
    EXPECT_EQ(std::strlen(get_tdb_msg()), 20u + 5000u);
    reset_tdb_msg();
    EXPECT_STREQ(get_tdb_msg(), "");
}

/* ---- servers and sessions ----------------------------------------------------------------- */

namespace {

int g_start_calls = 0;
FakeDriver *g_fake = nullptr;

/* Drivers named "bad" cannot be started; others get the fake driver. */
int start_fake(tdb_server *server, STREAM **rd, STREAM **wr)
{
    ++g_start_calls;
    if (server->driver_name == "bad" || g_fake == nullptr)
        return -1;
    g_fake->connect(server);
    *rd = server->rd;
    *wr = server->wr;
    server->rd = server->wr = nullptr;
    return 0;
}

commu_block reply(int kind, long retval)
{
    commu_block r;
    r.kind = kind;
    r.retval = retval;
    return r;
}

} // namespace

TEST_F(Api, TheSecondAlternativeServesWhenTheFirstCannotBeStarted)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        for (int code : {5, 6}) {
            if (!read_request(rd, &req, COMMU_EXE_SYSTEM) ||
                !write_reply(wr, reply(COMMU_EXE_SYSTEM, 0)))
                return false;
            EXPECT_EQ(req.code, code);
        }
        if (!read_request(rd, &req, COMMU_ATT_SERVER))
            return false;
        EXPECT_EQ(req.client_name, "apiclnt");
        commu_block att = reply(COMMU_ATT_SERVER, 0);
        att.max_sessions = 2;
        att.driver_pid = 4321;
        att.idle_limit = 4;
        att.reply_sql_protocol = COMMU_SQL_PROTOCOL;
        if (!write_reply(wr, att))
            return false;
        if (!read_request(rd, &req, COMMU_PERMISSION) ||
            !write_reply(wr, reply(COMMU_PERMISSION, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_ATT_SESSION))
            return false;
        EXPECT_EQ(req.trans_name, "work");
        commu_block s = reply(COMMU_ATT_SESSION, 0);
        s.session = 77;
        if (!write_reply(wr, s))
            return false;
        /* Item 7 of tdb_get_db_system_info: a system request of code 9. */
        if (!read_request(rd, &req, COMMU_EXE_SYSTEM))
            return false;
        EXPECT_EQ(req.code, 9);
        EXPECT_EQ(req.msg_len, 4);
        EXPECT_EQ(std::memcmp(req.msg, "\0\0\0\7", 4), 0);
        commu_block a = reply(COMMU_EXE_SYSTEM, 0);
        a.answer = reinterpret_cast<const unsigned char *>("version 3.45");
        a.answer_len = 12;
        if (!write_reply(wr, a))
            return false;
        /* Logoff: the session, then the server. */
        if (!read_request(rd, &req, COMMU_DET_SESSION) ||
            !write_reply(wr, reply(COMMU_DET_SESSION, 0)))
            return false;
        return read_request(rd, &req, COMMU_DET_SERVER) &&
               write_reply(wr, reply(COMMU_DET_SERVER, 0));
    });
    g_fake = &driver;
    g_start_calls = 0;
    tdb_info.start_driver = start_fake;
    std::strcpy(tdb_info.client, "apiclnt");
    tdb_info.logged_on = 1;

    dd_server bad = make_driver(16, "bad", "x");
    dd_server good = make_driver(16, "good", "a\1b");
    dd_server_choice choice = choice_of({&bad, &good});
    ASSERT_EQ(tdb_start_session("work"), 1u);
    tdb_trans *trans = tdb_get_trans_by_id(1);
    ASSERT_NE(trans, nullptr);
    int entry = 0;
    tdb_table_use *table = reinterpret_cast<tdb_table_use *>(1);
    tdb_session *session = TdbGetSession(trans, &entry, &choice, &table);
    ASSERT_NE(session, nullptr) << tdb_errno;
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(g_start_calls, 2);
    tdb_server *server = session->server;
    EXPECT_EQ(server->driver_name, "good");
    EXPECT_EQ(server->driver_pid, 4321);
    EXPECT_EQ(server->max_sessions, 2);
    EXPECT_EQ(server->server_id, 1);
    EXPECT_EQ(session->driver_session, 77);
    EXPECT_EQ(session->session_id, 1);
    EXPECT_EQ(server->nr_sessions, 1);
    EXPECT_EQ(server->death_handler, &server_death);
    EXPECT_EQ(tdb_get_nr_drivers(), 1);
    /* The same table again: the same session. */
    EXPECT_EQ(TdbGetSession(trans, &entry, &choice, nullptr), session);

    char text[16];
    ASSERT_EQ(tdb_get_db_system_info(1, 103, text, sizeof text), 0);
    EXPECT_STREQ(text, "good");
    ASSERT_EQ(tdb_get_db_system_info(1, 104, text, sizeof text), 0);
    EXPECT_STREQ(text, "a,b");
    ASSERT_EQ(tdb_get_db_system_info(1, 104, text, 2), 0);
    EXPECT_STREQ(text, "a");
    EXPECT_EQ(tdb_get_db_system_info(2, 103, text, sizeof text), -1);
    EXPECT_EQ(tdb_errno, 505);
    EXPECT_EQ(tdb_get_db_system_info(0, 103, text, sizeof text), -1);
    char small[8];
    ASSERT_EQ(tdb_get_db_system_info(1, 7, small, sizeof small), 0) << tdb_errno;
    EXPECT_STREQ(small, "version");

    ASSERT_EQ(tdb_logoff(), 0) << tdb_errno;
    EXPECT_EQ(tdb_get_nr_drivers(), 0);
    EXPECT_EQ(tdb_info.transactions, nullptr);
    EXPECT_TRUE(driver.finish(nullptr));
    g_fake = nullptr;
}

TEST_F(Api, WhenEveryAlternativeFailsTheFirstFailureIsReported)
{
    /* The first driver starts but its channel answers nothing (215 after
     * the detach); the second cannot be started (505). */
    static unsigned char nothing[1];
    tdb_info.start_driver = [](tdb_server *server, STREAM **rd, STREAM **wr) {
        ++g_start_calls;
        if (server->driver_name != "mute")
            return -1;
        *rd = sopenFixedByteArray(nothing, 0, "r");
        *wr = sopenVariableByteArray("w", 0, 0);
        return 0;
    };
    g_start_calls = 0;
    dd_server mute = make_driver(16, "mute", "");
    dd_server bad = make_driver(16, "bad", "");
    dd_server_choice choice = choice_of({&mute, &bad});
    ASSERT_EQ(tdb_start_session("w"), 1u);
    tdb_trans *trans = tdb_get_trans_by_id(1);
    EXPECT_EQ(get_new_tdb_server_and_session(&choice, trans, 0), nullptr);
    EXPECT_EQ(tdb_errno, 215);
    EXPECT_EQ(g_start_calls, 2);
    EXPECT_EQ(tdb_get_nr_drivers(), 0);
    EXPECT_EQ(trans->sessions, nullptr);

    /* A server list without alternatives: 505. */
    dd_server_choice empty{};
    tdb_errno = 0;
    EXPECT_EQ(get_new_tdb_server_and_session(&empty, trans, 0), nullptr);
    EXPECT_EQ(tdb_errno, 505);
}

TEST_F(Api, TheAuditDriverIsNeverAttachedAndTakes255Sessions)
{
    g_start_calls = 0;
    tdb_info.start_driver = start_fake;
    dd_server audit = make_driver(DD_SRV_AUDIT | DD_SRV_REMOTE, "audit", "");
    dd_server_choice choice = choice_of({&audit});
    int entry = 0;
    tdb_server *first = nullptr;
    for (unsigned int i = 1; i <= 255; ++i) {
        ASSERT_EQ(tdb_start_session(("a" + std::to_string(i)).c_str()), i);
        tdb_session *s = TdbGetSession(tdb_get_trans_by_id(i), &entry, &choice, nullptr);
        ASSERT_NE(s, nullptr) << i;
        if (first == nullptr)
            first = s->server;
        ASSERT_EQ(s->server, first) << i;
        EXPECT_EQ(s->session_id, static_cast<long>(i));
    }
    EXPECT_EQ(g_start_calls, 0);
    EXPECT_EQ(tdb_get_nr_drivers(), 1);
    EXPECT_EQ(first->nr_sessions, 255);
    EXPECT_EQ(first->max_sessions, 255);
    EXPECT_EQ(first->idle_limit, 255);
    EXPECT_EQ(first->rd, nullptr);
}

TEST_F(Api, SessionsAreFoundByEqualServerListAndServersWithRoom)
{
    dd_server a1 = make_driver(DD_SRV_AUDIT, "one", "");
    dd_server a2 = make_driver(DD_SRV_AUDIT, "two", "");
    dd_server a1_copy = make_driver(DD_SRV_AUDIT, "one", "");
    dd_server_choice s1 = choice_of({&a1});
    dd_server_choice s1b = choice_of({&a1_copy});
    dd_server_choice s12 = choice_of({&a1, &a2});
    ASSERT_EQ(tdb_start_session("x"), 1u);
    ASSERT_EQ(tdb_start_session("y"), 2u);
    tdb_trans *x = tdb_get_trans_by_id(1);
    tdb_trans *y = tdb_get_trans_by_id(2);
    int e1 = 0, e2 = 0;

    tdb_session *sx = TdbGetSession(x, &e1, &s1, nullptr);
    ASSERT_NE(sx, nullptr);
    /* A table record for e1 in that session. */
    tdb_table_use *rec = std::make_unique<tdb_table_use>().release();
    rec->dd_entry = &e1;
    sx->tables = rec;
    tdb_table_use *found = nullptr;
    EXPECT_EQ(TdbGetSession(x, &e1, &s1b, &found), sx);
    EXPECT_EQ(found, rec);
    EXPECT_EQ(TdbGetSession(x, &e2, &s1, &found), sx);
    EXPECT_EQ(found, nullptr);
    /* Another transaction gets a new session on the server with room. */
    tdb_session *sy = TdbGetSession(y, &e1, &s1, nullptr);
    ASSERT_NE(sy, nullptr);
    EXPECT_NE(sy, sx);
    EXPECT_EQ(sy->server, sx->server);
    EXPECT_EQ(sx->server->nr_sessions, 2);
    /* A longer server list is another server. */
    tdb_session *sz = TdbGetSession(x, &e1, &s12, nullptr);
    ASSERT_NE(sz, nullptr);
    EXPECT_NE(sz->server, sx->server);
    EXPECT_EQ(tdb_get_nr_drivers(), 2);
    EXPECT_EQ(tdb_info.servers, sz->server) << "new servers come first";
}

TEST_F(Api, TheTreePrintoutShowsServersSessionsTablesAndCursors)
{
    dd_server db = make_driver(DD_SRV_DB, "db", "");
    dd_server_choice choice = choice_of({&db});
    tdb_server server;
    server.driver_type = DD_SRV_DB;
    server.choice = choice;
    tdb_trans trans;
    trans.id = 3;
    tdb_session session;
    session.server = &server;
    session.trans = &trans;
    tdb_table_use t1, t2;
    std::strcpy(t1.name, "ddbtst10");
    std::strcpy(t2.name, "ddbtst11");
    tdb_cursor_use c1, c2;
    c1.compnr = 100;
    c2.compnr = 7;
    c1.next = &c2;
    t1.cursors = &c1;
    t1.next = &t2;
    session.tables = &t1;
    server.sessions = &session;
    server.nr_sessions = 1;
    tdb_info.servers = &server;

    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    ASSERT_NE(out, nullptr);
    tdb_print_tree(out, "before schedule");
    std::fclose(out);
    std::string text(buf, len);
    std::free(buf);
    char line[80];
    std::snprintf(line, sizeof line, "--- server %p, type 16, sessions 1 ---\n",
                  static_cast<void *>(&server));
    EXPECT_EQ(text, std::string("***************** before schedule 0 **************\n") + line +
                        "{[3] ddbtst10(100,007) ddbtst11() }\n"
                        "*******************************************\n");
    tdb_info.servers = nullptr;
}

TEST_F(Api, AnIdleServerIsStoppedAtTheThirdSchedule)
{
    in_child([] {
        logon_in_child();
        EXPECT_EQ(tdb_info.server_idle_limit, 3);
        dd_server audit = make_driver(DD_SRV_AUDIT, "audit", "");
        dd_server_choice choice = choice_of({&audit});
        ASSERT_EQ(tdb_start_session("busy"), 1u);
        ASSERT_EQ(tdb_start_session("idle"), 2u);
        int entry = 0;
        tdb_session *busy = TdbGetSession(tdb_get_trans_by_id(1), &entry, &choice, nullptr);
        ASSERT_NE(busy, nullptr);
        /* One session keeps an open cursor, the other ends at once. */
        busy->server->idle_limit = 1;
        tdb_table_use *rec = std::make_unique<tdb_table_use>().release();
        std::strcpy(rec->name, "ddbtst10");
        rec->cursors = std::make_unique<tdb_cursor_use>().release();
        busy->tables = rec;
        tdb_session *idle = get_new_tdb_session(busy->server, tdb_get_trans_by_id(2));
        ASSERT_NE(idle, nullptr);
        ASSERT_EQ(busy->server->nr_sessions, 2);
        ASSERT_EQ(tdb_schedule(), 0);
        EXPECT_EQ(busy->server->nr_sessions, 1);
        EXPECT_EQ(tdb_get_trans_by_id(2)->sessions, nullptr);
        EXPECT_EQ(busy->idle, 0);
        /* Without its cursor the last session goes too; the server then
         * counts idle schedules. */
        std::unique_ptr<tdb_cursor_use> drop(rec->cursors);
        rec->cursors = nullptr;
        ASSERT_EQ(tdb_schedule(), 0);
        EXPECT_EQ(tdb_get_nr_drivers(), 1);
        ASSERT_EQ(tdb_schedule(), 0);
        EXPECT_EQ(tdb_get_nr_drivers(), 1);
        TDB_DEBUG = TDB_DEBUG_TREE;
        testing::internal::CaptureStderr();
        ASSERT_EQ(tdb_schedule(), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
        EXPECT_NE(err.find("***************** before schedule 0 **************\n--- server "),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("***************** after schedule 0 **************\n"
                           "*******************************************\n"),
                  std::string::npos)
            << err;
    });
}

TEST_F(Api, PhysicalCompanyNumbersCheckTheirArguments)
{
    EXPECT_EQ(tdb_get_physical_compnr("ddbtst1", 100), -1);
    EXPECT_EQ(tdb_errno, 102);
    EXPECT_EQ(tdb_get_physical_compnr(nullptr, 100), -1);
    EXPECT_EQ(tdb_errno, 102);
    EXPECT_EQ(tdb_get_physical_compnr("ddbtst10", 1000), -1);
    EXPECT_EQ(tdb_errno, 519);
    EXPECT_EQ(tdb_get_physical_compnr("ddbtst10", 999), 999);
    EXPECT_EQ(tdb_get_physical_compnr("ddbtst10", 100), 100);
}

TEST(ApiDeath, TheDefaultServerDeathLogsAndExitsWith1)
{
    EXPECT_EXIT(
        {
            log_set_log_hook([](const char *m) { std::fputs(m, stderr); });
            server_death();
        },
        ::testing::ExitedWithCode(1), "Detected server disconnection");
}

TEST_F(Api, TheDeathHandlerGoesToEveryNewServer)
{
    static int called = 0;
    tdb_set_server_death_handler([] { ++called; });
    dd_server audit = make_driver(DD_SRV_AUDIT, "audit", "");
    dd_server_choice choice = choice_of({&audit});
    ASSERT_EQ(tdb_start_session("h"), 1u);
    tdb_session *s = get_new_tdb_server_and_session(&choice, tdb_get_trans_by_id(1), 0);
    ASSERT_NE(s, nullptr);
    ASSERT_NE(s->server->death_handler, nullptr);
    s->server->death_handler();
    EXPECT_EQ(called, 1);
}

/* ---- logon, logoff and the client resources ----------------------------------------------- */

TEST_F(Api, LogonTwiceFailsWith502AlsoAfterLogoff)
{
    in_child([] {
        tdb_errno = 0;
        EXPECT_EQ(tdb_logoff(), -1);
        EXPECT_EQ(tdb_errno, 508);
        EXPECT_EQ(tdb_start(), -1);
        EXPECT_EQ(tdb_errno, 508);
        logon_in_child();
        EXPECT_STREQ(tdb_info.client, "tdbrecon");
        EXPECT_EQ(tdb_start(), 0);
        EXPECT_EQ(tdb_logon("again"), -1);
        EXPECT_EQ(tdb_errno, 502);
        ASSERT_EQ(tdb_start_session("t"), 1u);
        EXPECT_EQ(tdb_logoff(), 0);
        EXPECT_EQ(tdb_info.transactions, nullptr);
        EXPECT_EQ(tdb_logon("again"), -1);
        EXPECT_EQ(tdb_errno, 502);
        EXPECT_EQ(tdb_start(), 0);
    });
}

TEST_F(Api, ResourcesComeWithTheirDefaults)
{
    in_child([] {
        unlink((root() + "/lib/defaults/db_resource").c_str());
        unsetenv("USR_DBC_RES");
        logon_in_child();
        EXPECT_EQ(tdb_res.ssts_set_rows, -1);
        EXPECT_EQ(tdb_res.tdb_max_server_schedule, -1);
        EXPECT_EQ(tdb_res.rds_full, 5);
        EXPECT_EQ(tdb_res.tt_sql_trace, 0);
        EXPECT_EQ(tdb_res.use_shm_info, 1);
        EXPECT_EQ(tdb_res.tdb_debug, 0);
        ASSERT_NE(tdb_res.tdb_driver, nullptr);
        EXPECT_STREQ(tdb_res.tdb_driver, "");
        EXPECT_EQ(tdb_res.dbcinit, 0) << "a negative dbcinit becomes 0 at logon";
        EXPECT_EQ(tdb_res.audit_per_compnr, 0);
        EXPECT_EQ(tdb_res.trel_sql_trace, 0);
        EXPECT_EQ(tdb_res.trel_sql_stmt_cache_size, -1);
        EXPECT_EQ(tdb_res.trel_sql_cacherows, -1);
        EXPECT_EQ(tdb_res.trel_sql_soft_close_delay, -1);
        EXPECT_EQ(tdb_info.server_idle_limit, 3);
        EXPECT_EQ(TDB_DEBUG, 0);
    });
}

TEST_F(Api, ResourcesLoadFromBothFilesThenTheEnvironmentWithOctalValues)
{
    in_child([] {
        const std::string dir = root() + "/lib/defaults";
        std::system(("mkdir -p '" + dir + "'").c_str());
        std::ofstream(dir + "/db_resource") << "tdb_debug: 11\n"
                                               "rds_full: 17\n"
                                               "tdb_max_server_schedule: 258\n"
                                               "ssts_set_rows: 40\n"
                                               "dbcinit: 17\n"
                                               "otherprog.audit_per_compnr: 1\n";
        const std::string mine = root() + "/my_dbc_res";
        std::ofstream(mine) << "ssts_set_rows: 41\ntrel_sql_trace: 20\n"
                               "tdb_driver: informix(a,b)|mysql\n";
        setenv("USR_DBC_RES", ("@" + mine).c_str(), 1);
        setenv("TT_SQL_TRACE", "010", 1);
        setenv("RDS_FULL", "9", 1);
        unsetenv("TDB_DEBUG");
        logon_in_child();
        EXPECT_EQ(tdb_res.tdb_debug, 9) << "octal 11";
        EXPECT_EQ(TDB_DEBUG, 9);
        EXPECT_EQ(tdb_res.rds_full, 9) << "the environment wins";
        EXPECT_EQ(tdb_res.tdb_max_server_schedule, 258);
        EXPECT_EQ(tdb_info.server_idle_limit, 2) << "the low byte";
        EXPECT_EQ(tdb_res.ssts_set_rows, 41) << "the user's file comes last";
        EXPECT_EQ(tdb_res.trel_sql_trace, 16) << "octal 20";
        EXPECT_EQ(tdb_res.tt_sql_trace, 8);
        EXPECT_EQ(tdb_res.dbcinit, 15);
        EXPECT_EQ(tdb_res.audit_per_compnr, 0);
        /* tdb_driver is imposed on every table. */
        ASSERT_NE(tdb_res.tdb_driver, nullptr);
        EXPECT_STREQ(tdb_res.tdb_driver, "informix(a,b)|mysql");
        dd_tabledef def{};
        ASSERT_EQ(client_get_tabledef("ddbtst10", 100, &def), 0);
        ASSERT_EQ(def.nr_server, 1);
        ASSERT_EQ(def.server[0].nr_alt, 2);
        EXPECT_STREQ(def.server[0].alt[0]->name, "informix");
        EXPECT_STREQ(def.server[0].alt[0]->args, "a\1b");
        EXPECT_STREQ(def.server[0].alt[1]->name, "mysql");
        unlink((dir + "/db_resource").c_str());
    });
}

TEST_F(Api, ChangingTdbDebugAtRunTimeSetsTheWordAndTheEnvironment)
{
    in_child([] {
        unlink((root() + "/lib/defaults/db_resource").c_str());
        unsetenv("TDB_DEBUG");
        logon_in_child();
        testing::internal::CaptureStderr();
        EXPECT_EQ(al_updres_by_name("tdb_debug", "12", '=', 0, 0), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "---- TDB_DEBUG set to 012\n");
        EXPECT_EQ(TDB_DEBUG, 10);
        ASSERT_NE(std::getenv("TDB_DEBUG"), nullptr);
        EXPECT_STREQ(std::getenv("TDB_DEBUG"), "012");
        /* Bits are added with '+'. */
        testing::internal::CaptureStderr();
        EXPECT_EQ(al_updres_by_name("tdb_debug", "1", '+', 0, 0), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "---- TDB_DEBUG set to 013\n");
        EXPECT_EQ(TDB_DEBUG, 11);
    });
}

TEST_F(Api, TdbDebugInTheEnvironmentOverridesTheFile)
{
    in_child([] {
        const std::string dir = root() + "/lib/defaults";
        std::system(("mkdir -p '" + dir + "'").c_str());
        std::ofstream(dir + "/db_resource") << "tdb_debug: 2\n";
        setenv("TDB_DEBUG", "0101", 1);
        logon_in_child();
        EXPECT_EQ(TDB_DEBUG, 0101);
        unlink((dir + "/db_resource").c_str());
    });
}

TEST_F(Api, LogoffFailsWith215ForASessionMissingFromItsServer)
{
    in_child([] {
        logon_in_child();
        dd_server audit = make_driver(DD_SRV_AUDIT, "audit", "");
        dd_server_choice choice = choice_of({&audit});
        ASSERT_EQ(tdb_start_session("lost"), 1u);
        tdb_session *s = get_new_tdb_server_and_session(&choice, tdb_get_trans_by_id(1), 0);
        ASSERT_NE(s, nullptr);
        s->server->sessions = nullptr; /* the server lost track of it */
        g_log.clear();
        log_set_log_hook(capture_log);
        EXPECT_EQ(tdb_logoff(), -1);
        EXPECT_EQ(tdb_errno, 215);
        EXPECT_NE(g_log.find("Warning: Session not in server's list."), std::string::npos)
            << g_log;
    });
}

TEST_F(Api, ReferencesDisabledStaysSet)
{
    EXPECT_EQ(tdb_info.references_disabled, 0);
    tdb_disable_references();
    EXPECT_EQ(tdb_info.references_disabled, 1);
}

TEST_F(Api, LogonClearsTheProfileCallback)
{
    in_child([] {
        tdb_set_profile_callback([] {});
        EXPECT_NE(tdb_info.profile_callback, nullptr);
        logon_in_child();
        EXPECT_EQ(tdb_info.profile_callback, nullptr);
    });
}
