/*
 * commu_support.h: common ground of the driver-exchange tests: a private
 * root whose package combination maps package "db" to the demo
 * dictionary, byte helpers over memory streams, and a fake driver (a
 * forked child on a socket pair) that runs a scripted conversation.
 */
#ifndef COMMU_SUPPORT_H
#define COMMU_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "c_state.h"
#include "tdb_commu.h"

namespace commutest {

using Bytes = std::vector<unsigned char>;

/* The private root of this test process (set before main). */
const std::string &root();

/* What a writer put on a growing memory stream. */
Bytes written(const std::function<int(STREAM *)> &writer, int *rc = nullptr);
/* The request / reply bytes of a block. */
Bytes request_bytes(const commu_block &blk);
Bytes reply_bytes(const commu_block &blk);
/* Runs a reader over a fixed memory stream holding bytes; its result, and
 * in *consumed how many bytes it took. */
int read_from(const Bytes &bytes, const std::function<int(STREAM *)> &reader,
              long *consumed = nullptr);

/* Bytes from a list of values: helpers for hand-written layouts. */
struct Layout {
    Bytes b;
    Layout &byte(int v);
    Layout &s(int v);
    Layout &l(long v);
    Layout &str(const std::string &text);  /* with its NUL */
    Layout &raw(const std::string &text);  /* without NUL */
    Layout &raw(const Bytes &bytes);
};

/* "0a ff ..." */
std::string hex(const Bytes &bytes);

/*
 * A driver played by a forked child on a socket pair. The script reads
 * requests and writes replies on the child's streams; the child exits with
 * 0 when every check in it passed and the script returned true.
 */
class FakeDriver {
public:
    using Script = std::function<bool(STREAM *rd, STREAM *wr)>;
    explicit FakeDriver(const Script &script);
    ~FakeDriver();
    /* Gives the client's streams to a server record. */
    void connect(tdb_server *server);
    /* Closes the client's streams (when the server still holds them) and
     * waits for the child: true when it exited with 0. */
    bool finish(tdb_server *server);

private:
    int pid_ = -1;
    STREAM *rd_ = nullptr;
    STREAM *wr_ = nullptr;
};

/* Driver-side helpers for scripts. */
/* Reads one request into blk; false (and a failed check) when it cannot. */
bool read_request(STREAM *rd, commu_block *blk, int expected_kind);
/* Writes a reply and flushes. */
bool write_reply(STREAM *wr, const commu_block &blk);
/* Reads the body of request 13: environment, groups, entries. */
bool read_compnr_body(STREAM *rd, std::string *env, long *groups);

/* Resets the API state that the tests touch. */
void reset_state();

} // namespace commutest

#endif
