/*
 * client_open_test.cpp: a program on the tdb API against the real
 * tdb_driver over each channel kind: logon, a transaction, a demo table
 * opened for a mapped company, its drivers started in advance, the
 * driver's system information, close, stop, logoff, and the driver gone;
 * and the cursors of a table served by two drivers (copy chain and read
 * cursor).
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "al_log.h"
#include "c_client.h"
#include "c_commu.h"
#include "c_open.h"
#include "c_state.h"
#include "driver_support.h"
#include "qpd_dd.h"
#include "run_program.h"
#include "tdb_api.h"

namespace {

using drivertest::in_child;

bool process_alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

/* The table-definition file and company map of the private root. */
void write_root_files(const std::string &tabledef, const std::string &compnr)
{
    tdbtest::TempDir::writeAt(drivertest::root(), "lib/tabledef6.2", tabledef);
    const std::string map = drivertest::root() + "/lib/compnr6.2";
    if (compnr.empty())
        std::remove(map.c_str());
    else
        tdbtest::TempDir::writeAt(drivertest::root(), "lib/compnr6.2", compnr);
}

std::string fresh_db(const std::string &name)
{
    const std::string db = drivertest::root() + "/" + name;
    std::remove(db.c_str());
    return db;
}

class ClientOpen : public ::testing::TestWithParam<const char *> {};

} // namespace

TEST_P(ClientOpen, AProgramOpensAMappedTableAsksTheDriverAndLogsOffWithTheDriverGone)
{
    const std::string channel = GetParam();
    const std::string db = fresh_db("open_" + channel + ".db");
    write_root_files("dbtst:*:" + channel + "(" + db + ")\n", "db:100:200\n");
    in_child([&] {
        ASSERT_EQ(tdb_init_api("drvuser", LOG_DEST_FILE, 0, 0), 0);
        ASSERT_EQ(tdb_logon("tdbreconfig"), 0) << tdb_errno;
        const unsigned trans_id = tdb_start_session("done-when");
        ASSERT_NE(trans_id, 0u);

        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *handle = nullptr;
        ASSERT_EQ(tdb_open(&handle, "dbtst107", 200, row, 0, trans_id), 0) << tdb_errno;
        EXPECT_EQ(tdb_get_nr_drivers(), 0) << "opening is local";

        ASSERT_EQ(tdb_start_drivers_for_table("dbtst107", 200, trans_id), 0) << tdb_errno;
        ASSERT_EQ(tdb_get_nr_drivers(), 1);
        tdb_server *server = tdb_info.servers;
        ASSERT_NE(server->rd, nullptr);
        EXPECT_EQ(server->driver_name, channel);
        const pid_t driver = static_cast<pid_t>(server->driver_pid);
        ASSERT_GT(driver, 0);
        if (channel != "sqlite_lib") {
            EXPECT_NE(driver, getpid());
            EXPECT_TRUE(process_alive(driver));
        }
        /* The table record of the physical company waits in the session. */
        tdb_trans *trans = tdb_get_trans_by_id(trans_id);
        ASSERT_NE(trans->sessions, nullptr);
        ASSERT_NE(trans->sessions->tables, nullptr);
        EXPECT_STREQ(trans->sessions->tables->name, "dbtst107");
        EXPECT_EQ(trans->sessions->tables->key->physical, 100);

        /* System information from every driver of the transaction. */
        const unsigned char item1[4] = {0, 0, 0, 1};
        ASSERT_EQ(tdb_exec_server(9, item1, 4, trans_id), 0) << tdb_errno;
        const std::string answer(reinterpret_cast<const char *>(commu.answer),
                                 static_cast<size_t>(commu.answer_len));
        EXPECT_EQ(answer.rfind("SQLite ", 0), 0u) << answer;
        EXPECT_NE(answer.find(db), std::string::npos) << answer;
        char info[256];
        ASSERT_EQ(tdb_get_db_system_info(1, 1, info, sizeof info), 0);
        EXPECT_EQ(std::string(info), answer);

        /* The cursor of the mapped company is the physical company's, on
         * the session already made. */
        tdb_cursor_use *cursor = nullptr;
        ASSERT_EQ(tdb_get_internal_cursor(&cursor, handle, 200), 0) << tdb_errno;
        EXPECT_EQ(cursor->compnr, 100);
        EXPECT_EQ(cursor->instance->logical, 200);
        EXPECT_EQ(cursor->table, trans->sessions->tables);
        EXPECT_EQ(cursor->instance->read_cursor, cursor);
        EXPECT_EQ(tdb_attach_cursor(cursor), 0);
        EXPECT_EQ(tdb_get_nr_drivers(), 1);

        EXPECT_EQ(tdb_close(handle), 0) << tdb_errno;
        EXPECT_EQ(trans->handles, nullptr);
        EXPECT_EQ(tdb_stop_session(trans_id), 0);
        ASSERT_EQ(tdb_logoff(), 0) << tdb_errno;
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
        if (channel != "sqlite_lib") {
            EXPECT_FALSE(process_alive(driver)) << "the driver ended with the logoff";
        }
        /* The driver made its database where the tabledef said. */
        struct stat st{};
        EXPECT_EQ(stat(db.c_str(), &st), 0);
    });
}

INSTANTIATE_TEST_SUITE_P(Channels, ClientOpen,
                         ::testing::Values("sqlite", "sqlite_sock", "sqlite_lib"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

namespace {

/* Opens dbtst107 in company 5 on a tabledef with two servers and checks
 * the chain; read is the index (0 or 1) of the expected read cursor. */
void two_drivers(const std::string &tabledef, int read)
{
    write_root_files(tabledef, "");
    in_child([&] {
        ASSERT_EQ(tdb_init_api("drvuser", LOG_DEST_FILE, 0, 0), 0);
        ASSERT_EQ(tdb_logon("tdbreconfig"), 0) << tdb_errno;
        tdb_disable_references();
        const unsigned trans_id = tdb_start_session("copies");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *handle = nullptr;
        ASSERT_EQ(tdb_open(&handle, "dbtst107", 5, row, 0, trans_id), 0) << tdb_errno;
        tdb_cursor_use *primary = nullptr;
        ASSERT_EQ(tdb_get_internal_cursor(&primary, handle, 5), 0) << tdb_errno;
        ASSERT_EQ(tdb_get_nr_drivers(), 2);
        EXPECT_EQ(primary->copy, 0);
        tdb_cursor_use *copy = primary->next_copy;
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->copy, 1);
        EXPECT_EQ(copy->next_copy, nullptr);
        EXPECT_EQ(copy->primary, primary);
        EXPECT_EQ(copy->instance, primary->instance);
        EXPECT_EQ(primary->instance->audit, nullptr);
        EXPECT_EQ(primary->instance->dup->users, 2);
        /* Each on its own driver, in the order of the tabledef. */
        tdb_server *s0 = primary->table->session->server;
        tdb_server *s1 = copy->table->session->server;
        EXPECT_NE(s0, s1);
        EXPECT_NE(s0->driver_args.find("first.db"), std::string::npos) << s0->driver_args;
        EXPECT_NE(s1->driver_args.find("second.db"), std::string::npos) << s1->driver_args;
        EXPECT_NE(s0->driver_pid, s1->driver_pid);
        EXPECT_EQ(primary->instance->read_cursor, read == 0 ? primary : copy);
        /* Closing the primary closes the copy with it. */
        tdb_table_use *copy_table = copy->table;
        EXPECT_EQ(tdb_close(handle), 0);
        EXPECT_EQ(copy_table->cursors, nullptr);
        EXPECT_EQ(tdb_info.duplicates, nullptr);
        EXPECT_EQ(tdb_logoff(), 0) << tdb_errno;
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
    });
}

} // namespace

TEST(ClientOpenCopies, AReadDriverCopyIsTheReadCursor)
{
    const std::string a = fresh_db("first.db"), b = fresh_db("second.db");
    two_drivers("dbtst:*:sqlite(" + a + ")&sqlite_sock+(" + b + ")\n", 1);
}

TEST(ClientOpenCopies, APrimaryOnAReadDriverIsTheReadCursor)
{
    const std::string a = fresh_db("first.db"), b = fresh_db("second.db");
    two_drivers("dbtst:*:sqlite+(" + a + ")&sqlite_sock+(" + b + ")\n", 0);
}

TEST(ClientOpenCopies, WithoutReadDriversThePrimaryReads)
{
    const std::string a = fresh_db("first.db"), b = fresh_db("second.db");
    two_drivers("dbtst:*:sqlite(" + a + ")&sqlite(" + b + ")\n", 0);
}

TEST(ClientOpenCopies, ATableWhoseDriverCannotStartOpensAndItsCursorFailsWith505)
{
    write_root_files("dbtst:*:sqlite_missing(x)\n", "");
    in_child([] {
        ASSERT_EQ(tdb_init_api("drvuser", LOG_DEST_FILE, 0, 0), 0);
        ASSERT_EQ(tdb_logon("tdbreconfig"), 0) << tdb_errno;
        const unsigned trans_id = tdb_start_session("nodriver");
        unsigned char row[DD_MAX_ROW] = {};
        tdb_handle *handle = nullptr;
        ASSERT_EQ(tdb_open(&handle, "dbtst107", 5, row, 0, trans_id), 0) << tdb_errno;
        tdb_cursor_use *cursor = nullptr;
        EXPECT_EQ(tdb_get_internal_cursor(&cursor, handle, 5), -1);
        EXPECT_EQ(tdb_errno, 505);
        EXPECT_EQ(tdb_get_nr_drivers(), 0);
        EXPECT_EQ(tdb_logoff(), 0) << tdb_errno;
    });
}
