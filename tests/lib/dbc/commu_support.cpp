/*
 * commu_support.cpp: the private root, byte helpers and fake driver of
 * the driver-exchange tests (see commu_support.h).
 */
#include "commu_support.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "al_stream.h"
#include "c_commu.h"
#include "qpd_dd.h"
#include "run_program.h"
#include "tdb_api.h"
#include "tss.h"

namespace commutest {

namespace {

/* Set before main, so that every cache of the root sees this directory. */
struct ProcessEnvironment {
    tdbtest::TempDir dir;
    ProcessEnvironment()
    {
        setenv("TSE", dir.path().c_str(), 1);
        setenv("PACKAGE_COMB", "test", 1);
        unsetenv("TSE_REM");
        dir.write("log/.keep", "");
        /* Package "da" holds the small dictionaries of the alter-table
         * tests (tests/support/alter_dictionary.h). */
        dir.write("lib/fd6.2.test", std::string("tt tools/tt7.6_a\ndb ") + DBC_DEMO_TSE +
                                        "/appl/db6.2\nda appl/da6.2\n");
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

Bytes written(const std::function<int(STREAM *)> &writer, int *rc)
{
    STREAM *sp = sopenVariableByteArray("w", 0, 0);
    EXPECT_NE(sp, nullptr);
    int r = writer(sp);
    if (rc)
        *rc = r;
    void *base = nullptr;
    long length = 0;
    getByteArrayProperties(sp, &base, &length);
    Bytes out(static_cast<unsigned char *>(base), static_cast<unsigned char *>(base) + length);
    sclose(sp);
    return out;
}

Bytes request_bytes(const commu_block &blk)
{
    int rc = -1;
    Bytes b = written([&](STREAM *sp) { return commu_write_request(sp, &blk); }, &rc);
    EXPECT_EQ(rc, 0);
    return b;
}

Bytes reply_bytes(const commu_block &blk)
{
    int rc = -1;
    Bytes b = written([&](STREAM *sp) { return commu_write_reply(sp, &blk); }, &rc);
    EXPECT_EQ(rc, 0);
    return b;
}

int read_from(const Bytes &bytes, const std::function<int(STREAM *)> &reader, long *consumed)
{
    /* A copy, so that an empty input still has an address. */
    Bytes copy = bytes;
    copy.push_back(0);
    STREAM *sp = sopenFixedByteArray(copy.data(), static_cast<long>(bytes.size()), "r");
    EXPECT_NE(sp, nullptr);
    int rc = reader(sp);
    if (consumed)
        *consumed = stream_stell(sp, 0);
    sclose(sp);
    return rc;
}

Layout &Layout::byte(int v)
{
    b.push_back(static_cast<unsigned char>(v & 0xff));
    return *this;
}
Layout &Layout::s(int v)
{
    return byte(v >> 8).byte(v);
}
Layout &Layout::l(long v)
{
    return byte(static_cast<int>(v >> 24)).byte(static_cast<int>(v >> 16))
        .byte(static_cast<int>(v >> 8)).byte(static_cast<int>(v));
}
Layout &Layout::str(const std::string &text)
{
    raw(text);
    return byte(0);
}
Layout &Layout::raw(const std::string &text)
{
    b.insert(b.end(), text.begin(), text.end());
    return *this;
}
Layout &Layout::raw(const Bytes &bytes)
{
    b.insert(b.end(), bytes.begin(), bytes.end());
    return *this;
}

std::string hex(const Bytes &bytes)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(buf, sizeof buf, "%02x", bytes[i]);
        if (i)
            out += ' ';
        out += buf;
    }
    return out;
}

FakeDriver::FakeDriver(const Script &script)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        ADD_FAILURE() << "socketpair failed";
        return;
    }
    fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        ADD_FAILURE() << "fork failed";
        close(sv[0]);
        close(sv[1]);
        return;
    }
    if (pid_ == 0) {
        close(sv[0]);
        STREAM *rd = sdopen(dup(sv[1]), "r");
        STREAM *wr = sdopen(sv[1], "w");
        bool ok = rd && wr && script(rd, wr);
        if (wr)
            sflush(wr);
        fflush(nullptr);
        _exit(ok && !::testing::Test::HasFailure() ? 0 : 1);
    }
    close(sv[1]);
    rd_ = sdopen(dup(sv[0]), "r");
    wr_ = sdopen(sv[0], "w");
}

FakeDriver::~FakeDriver()
{
    if (pid_ > 0) {
        if (rd_)
            sclose(rd_);
        if (wr_)
            sclose(wr_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

void FakeDriver::connect(tdb_server *server)
{
    server->rd = rd_;
    server->wr = wr_;
}

bool FakeDriver::finish(tdb_server *server)
{
    if (pid_ <= 0)
        return false;
    /* Streams the server no longer holds were closed by a detach. */
    bool held = server != nullptr && server->rd == rd_;
    if (held || server == nullptr) {
        sclose(rd_);
        sclose(wr_);
    }
    if (server != nullptr) {
        server->rd = nullptr;
        server->wr = nullptr;
    }
    rd_ = wr_ = nullptr;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool read_request(STREAM *rd, commu_block *blk, int expected_kind)
{
    int rc = commu_read_request(rd, blk);
    EXPECT_EQ(rc, 0) << "request of kind " << expected_kind << " unreadable";
    EXPECT_EQ(blk->kind, expected_kind);
    return rc == 0 && blk->kind == expected_kind;
}

bool write_reply(STREAM *wr, const commu_block &blk)
{
    return commu_write_reply(wr, &blk) == 0 && sflush(wr) == 0;
}

bool read_compnr_body(STREAM *rd, std::string *env, long *groups)
{
    char buf[4096];
    if (r_string_n(rd, buf, sizeof buf) < 0)
        return false;
    *env = buf;
    *groups = r_long(rd);
    if (seof(rd) || *groups < 0)
        return false;
    for (long g = 0; g < *groups; g++) {
        if (r_string_n(rd, buf, sizeof buf) < 0)
            return false;
        long entries = r_long(rd);
        for (long e = 0; e < entries && !seof(rd); e++) {
            r_short(rd);
            int n = r_short(rd);
            for (int i = 0; i < n; i++)
                r_short(rd);
        }
    }
    return !seof(rd);
}

void reset_state()
{
    tdb_info = tdb_info_rec{};
    TDB_DEBUG = 0;
    tdb_errno = 0;
    tdb_init_commu();
    TssSetMode(TSS_MODE_CLASSIC);
    init_local_dd();
    init_dd_mode(1);
}

} // namespace commutest
