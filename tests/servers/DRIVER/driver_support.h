/*
 * driver_support.h: common ground of the driver program tests: a private
 * root (demo dictionary, an ipc_info naming the real tdb_driver), a
 * connection to a started driver spoken to with the client codec, and
 * helpers for the requests of the tests.
 */
#ifndef DRIVER_SUPPORT_H
#define DRIVER_SUPPORT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "al_stream.h"
#include "tdb_commu.h"

namespace drivertest {

/* The private root of this test process (set before main). */
const std::string &root();

/* A driver started through the root's ipc_info. */
class Connection {
public:
    /* Starts the driver of the logical name; check ok(). */
    explicit Connection(const char *name = "sqlite");
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool ok() const { return rd_ != nullptr; }
    pid_t pid() const { return pid_; }
    STREAM *rd() const { return rd_; }
    STREAM *wr() const { return wr_; }

    /* Sends a request and reads its reply into a copy of the request's
     * block: false when either failed. */
    bool exchange(const commu_block &request, commu_block *reply);
    /* Writes raw bytes and flushes. */
    bool send_raw(const std::vector<unsigned char> &bytes);
    /* The start of a conversation as the client makes it: system requests
     * 5 and 6 (driver name and argument string), then the attach with the
     * company-number environment; the attach reply. */
    commu_block start(const std::string &driver, const std::string &args,
                      const std::string &compnr_env = "");
    /* Attaches a session; its id (0 on failure), the return code in *rc. */
    long attach_session(long *rc = nullptr);
    /* Waits for the driver to end without closing the channel: its exit
     * status, or -1 when it did not exit normally. */
    int wait_exit();
    /* Detaches the server and closes the channel; the driver's exit status
     * (0 for a shared-library driver, which has no process of its own). */
    int detach();

private:
    STREAM *rd_ = nullptr;
    STREAM *wr_ = nullptr;
    pid_t pid_ = 0;
    bool reaped_ = false;
    int status_ = -1;
};

/* The driver's log file and what was added to it since a mark (the log
 * is shared by every driver of this test process). */
std::string driver_log_path();
long driver_log_mark();
std::string driver_log_since(long mark);

/* Request blocks. */
commu_block system_request(long code, const std::string &message);
commu_block table_action(long session, const std::string &table, int compnr, int action);
/* Request 8 with the description of a demo table in a dictionary mode. */
commu_block dictionary_of(long session, const char *table, int compnr, int mode = 1);
/* The missing-dictionary entries of a reply as "name/compnr" texts. */
std::vector<std::string> missing_of(const commu_block &reply);

/* Runs body in a forked child and expects it to end without a test
 * failure: the tdb API logs on once per process, so each test that logs
 * on does it in a child of its own. */
void in_child(const std::function<void()> &body);

} // namespace drivertest

#endif
