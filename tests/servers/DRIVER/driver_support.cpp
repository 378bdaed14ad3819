/*
 * driver_support.cpp: the private root, the connection to a started
 * tdb_driver and the request helpers of the driver tests (see
 * driver_support.h).
 */
#include "driver_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ipc.h"
#include "qpd_dd.h"
#include "run_program.h"

namespace drivertest {

namespace {

/* Set before main, so that every cache of the root sees this directory. */
struct ProcessEnvironment {
    tdbtest::TempDir dir;
    ProcessEnvironment()
    {
        setenv("TSE", dir.path().c_str(), 1);
        setenv("PACKAGE_COMB", "test", 1);
        unsetenv("TSE_REM");
        /* The character-set conversion library, for the drivers' text. */
        setenv("TSE_LIB_PATH", TSS_CONVERT_DIR, 1);
        dir.write("log/.keep", "");
        /* A user and a development-tools release, for the tests that run
         * the client API (logon) against the driver. */
        setenv("USER", "drvuser", 1);
        dir.write("lib/user/u/udrvuser", "usertype: S\npacc: test\n");
        dir.write("tools/tt7.6_a/o6.2/ottiex1287", "");
        /* Package "da" holds the small dictionaries of the alter-table
         * tests (tests/support/alter_dictionary.h). */
        dir.write("lib/fd6.2.test", std::string("tt tools/tt7.6_a\ndb ") + DRIVER_DEMO_TSE +
                                        "/appl/db6.2\nda appl/da6.2\n");
        dir.write("lib/ipc_info", std::string("sqlite p ") + TDB_DRIVER_PATH +
                                      "\nsqlite_sock s " + TDB_DRIVER_PATH +
                                      "\npostgres p " + TDB_DRIVER_PATH +
                                      "\npostgres_sock s " + TDB_DRIVER_PATH +
                                      "\nsqlite_lib d " + TDB_DRIVER_LIB_PATH +
                                      "\npostgres_lib d " + TDB_DRIVER_LIB_PATH + "\n");
    }
};

ProcessEnvironment &environment()
{
    static ProcessEnvironment env;
    return env;
}

const bool environment_ready = (environment(), true);

} // namespace

const std::string &root() { return environment().dir.path(); }

Connection::Connection(const char *name)
{
    STREAM *channel[2] = {nullptr, nullptr};
    if (attach_process(name, channel, IPC_CLIENT, 0, nullptr) != 0)
        return;
    rd_ = channel[0];
    wr_ = channel[1];
    pid_ = ipc_child_pid(rd_);
}

Connection::~Connection()
{
    if (rd_ != nullptr) {
        sclose(wr_);
        sclose(rd_);
    }
}

bool Connection::exchange(const commu_block &request, commu_block *reply)
{
    if (commu_write_request(wr_, &request) != 0 || sflush(wr_) != 0)
        return false;
    /* As in the client, the reply fills the request's own block: how a
     * reply reads can depend on the request (the action of request 5). */
    *reply = request;
    return commu_read_reply(rd_, reply) == 0;
}

bool Connection::send_raw(const std::vector<unsigned char> &bytes)
{
    return swrite_blok(bytes.data(), static_cast<int>(bytes.size()), wr_) ==
               static_cast<int>(bytes.size()) &&
           sflush(wr_) == 0;
}

commu_block Connection::start(const std::string &driver, const std::string &args,
                              const std::string &compnr_env)
{
    commu_block reply;
    EXPECT_TRUE(exchange(system_request(5, std::string("\0\0\4\0", 4)), &reply));
    EXPECT_EQ(reply.retval, 0);
    std::string init(1, static_cast<char>(driver.size()));
    init += driver + args;
    EXPECT_TRUE(exchange(system_request(6, init), &reply));
    commu_block attach;
    attach.kind = COMMU_ATT_SERVER;
    attach.server_id = 1;
    attach.client_name = "drvtest";
    attach.dt_version = "tt7.6_a";
    attach.compnr_env = compnr_env;
    attach.server_desc = "testenv " + driver + " " + args;
    commu_block att;
    EXPECT_TRUE(exchange(attach, &att));
    return att;
}

long Connection::attach_session(long *rc)
{
    commu_block req;
    req.kind = COMMU_ATT_SESSION;
    req.trans_name = "drvtest";
    commu_block reply;
    if (!exchange(req, &reply))
        return 0;
    if (rc != nullptr)
        *rc = reply.retval;
    return reply.session;
}

int Connection::wait_exit()
{
    if (!reaped_) {
        int status = 0;
        pid_t got;
        do {
            got = ::waitpid(pid_, &status, 0);
        } while (got < 0 && errno == EINTR);
        reaped_ = true;
        status_ = got == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_;
}

int Connection::detach()
{
    commu_block req;
    req.kind = COMMU_DET_SERVER;
    commu_block reply;
    EXPECT_TRUE(exchange(req, &reply));
    EXPECT_EQ(reply.retval, 0);
    /* A shared-library driver runs in this process: nothing to wait for. */
    int status = pid_ > 0 ? wait_exit() : 0;
    sclose(wr_);
    sclose(rd_);
    rd_ = wr_ = nullptr;
    return status;
}

std::string driver_log_path()
{
    return root() + "/log/log.tdb_driver";
}

namespace {
std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
} // namespace

long driver_log_mark()
{
    return static_cast<long>(read_file(driver_log_path()).size());
}

std::string driver_log_since(long mark)
{
    std::string all = read_file(driver_log_path());
    return static_cast<long>(all.size()) > mark ? all.substr(static_cast<size_t>(mark)) : "";
}

commu_block system_request(long code, const std::string &message)
{
    static std::vector<std::string> keep; /* the messages outlive the blocks */
    keep.push_back(message);
    commu_block blk;
    blk.kind = COMMU_EXE_SYSTEM;
    blk.code = code;
    blk.msg = reinterpret_cast<const unsigned char *>(keep.back().data());
    blk.msg_len = static_cast<long>(message.size());
    return blk;
}

commu_block table_action(long session, const std::string &table, int compnr, int action)
{
    commu_block blk;
    blk.kind = COMMU_EXE_TABLE;
    blk.session = session;
    blk.table = table;
    blk.compnr = compnr;
    blk.action = action | type_commu_table_action(action);
    blk.arg = 0;
    blk.upd_seq = 1;
    return blk;
}

commu_block dictionary_of(long session, const char *table, int compnr, int mode)
{
    commu_block blk;
    blk.kind = COMMU_DD_INFO_TABLE;
    blk.session = session;
    std::memset(blk.dd.table, 0, sizeof blk.dd.table);
    static const bool dictionary_ready = (init_local_dd(), true);
    (void)dictionary_ready;
    init_dd_mode(mode);
    const _dd_table *t = ddtable(table);
    EXPECT_NE(t, nullptr) << table;
    if (t != nullptr) {
        EXPECT_EQ(commu_describe_table(t, compnr, 0, &blk.dd), 0);
    }
    init_dd_mode(1);
    return blk;
}

std::vector<std::string> missing_of(const commu_block &reply)
{
    std::vector<std::string> out;
    for (const commu_missing_dd &m : reply.missing)
        out.push_back(std::string(m.table) + "/" + std::to_string(m.compnr));
    return out;
}

void in_child(const std::function<void()> &body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

} // namespace drivertest
