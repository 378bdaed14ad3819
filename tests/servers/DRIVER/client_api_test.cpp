/*
 * client_api_test.cpp: the tdb API client and the real tdb_driver together:
 * a transaction's first session on a SQLite driver starts the program
 * through lib/ipc_info, attaches server and session (with the company-map
 * repair), and logoff detaches them and waits for the driver to end.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "al_log.h"
#include "c_client.h"
#include "c_state.h"
#include "driver_support.h"
#include "qpd_dd.h"
#include "run_program.h"
#include "tdb_api.h"

namespace {

using drivertest::in_child;

/* The API started and logged on as the tool does (the test root has the
 * user and the development-tools release). */
void start_and_logon()
{
    ASSERT_EQ(tdb_init_api("drvuser", LOG_DEST_FILE, 0, 0), 0);
    ASSERT_EQ(tdb_logon("tdbreconfig"), 0) << tdb_errno;
    tdb_disable_references();
}

bool process_alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

} // namespace

TEST(ClientApi, FirstSessionStartsTheDriverAndLogoffEndsIt)
{
    in_child([] {
        start_and_logon();
        const unsigned trans_id = tdb_start_session("e2e");
        ASSERT_EQ(trans_id, 1u);
        tdb_trans *trans = tdb_get_trans_by_id(static_cast<int>(trans_id));
        ASSERT_NE(trans, nullptr);

        const std::string db = drivertest::root() + "/client_api.db";
        std::remove(db.c_str());
        dd_server sqlite{};
        sqlite.type = 16;
        sqlite.name = const_cast<char *>("sqlite");
        sqlite.args = const_cast<char *>(db.c_str());
        dd_server_choice choice{};
        choice.alt[choice.nr_alt++] = &sqlite;

        tdb_session *session = get_new_tdb_server_and_session(&choice, trans, 0);
        ASSERT_NE(session, nullptr) << "tdb_errno " << tdb_errno;
        tdb_server *server = session->server;
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(server->sql_protocol, 8);
        EXPECT_GT(server->max_sessions, 0);
        EXPECT_GT(server->driver_pid, 0);
        EXPECT_NE(session->driver_session, 0);
        EXPECT_EQ(tdb_get_nr_drivers(), 1);
        /* The driver opened its database where its argument said. */
        struct stat st{};
        EXPECT_EQ(stat(db.c_str(), &st), 0);

        /* A second transaction on the same driver gets its own session on
         * the same server. */
        const unsigned second = tdb_start_session("e2e-2");
        tdb_session *other =
            TdbGetSession(tdb_get_trans_by_id(static_cast<int>(second)), nullptr, &choice, nullptr);
        ASSERT_NE(other, nullptr) << "tdb_errno " << tdb_errno;
        EXPECT_EQ(other->server, server);
        EXPECT_NE(other->driver_session, session->driver_session);
        EXPECT_EQ(tdb_get_nr_drivers(), 1);

        const pid_t driver = static_cast<pid_t>(server->driver_pid);
        ASSERT_TRUE(process_alive(driver));
        EXPECT_EQ(tdb_stop_session(second), 0);
        EXPECT_EQ(tdb_stop_session(trans_id), 0);
        ASSERT_EQ(tdb_logoff(), 0) << tdb_errno;
        /* Closing the channel waited for the driver. */
        EXPECT_FALSE(process_alive(driver));
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
    });
}

TEST(ClientApi, ADriverThatCannotBeStartedGives505)
{
    in_child([] {
        start_and_logon();
        const unsigned trans_id = tdb_start_session("e2e");
        tdb_trans *trans = tdb_get_trans_by_id(static_cast<int>(trans_id));
        dd_server unknown{};
        unknown.type = 16;
        unknown.name = const_cast<char *>("nosuchdriver");
        unknown.args = const_cast<char *>("");
        dd_server_choice choice{};
        choice.alt[choice.nr_alt++] = &unknown;
        EXPECT_EQ(get_new_tdb_server_and_session(&choice, trans, 0), nullptr);
        EXPECT_EQ(tdb_errno, 505);
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
        EXPECT_EQ(tdb_logoff(), 0);
    });
}

TEST(ClientApi, ADriverThatDiesMidRequestEndsTheClientWithStatus1AndALogLine)
{
    const std::string log = drivertest::root() + "/log/log.drvdeath";
    std::remove(log.c_str());
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        /* The test's own expectations cannot report from here: any other
         * ending than the client's status 1 fails below. */
        if (tdb_init_api("drvdeath", LOG_DEST_FILE, 0, 0) != 0 || tdb_logon("tdbreconfig") != 0)
            _exit(10);
        const unsigned trans_id = tdb_start_session("dying");
        dd_server sqlite{};
        sqlite.type = 16;
        sqlite.name = const_cast<char *>("sqlite");
        const std::string db = drivertest::root() + "/client_death.db";
        sqlite.args = const_cast<char *>(db.c_str());
        dd_server_choice choice{};
        choice.alt[choice.nr_alt++] = &sqlite;
        tdb_session *session = get_new_tdb_server_and_session(
            &choice, tdb_get_trans_by_id(static_cast<int>(trans_id)), 0);
        if (session == nullptr)
            _exit(11);
        const pid_t driver = static_cast<pid_t>(session->server->driver_pid);
        kill(driver, SIGKILL);
        waitpid(driver, nullptr, 0);
        /* A system-information request goes to the dead driver: the broken
         * channel calls the death handler, which ends this process. */
        char answer[64];
        tdb_get_db_system_info(1, 1, answer, sizeof answer);
        _exit(12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Detected server disconnection"), std::string::npos) << text;
}
