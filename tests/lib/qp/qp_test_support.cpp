/*
 * qp_test_support.cpp: the private root, recorder and helpers of the row
 * data set tests (see qp_test_support.h).
 */
#include "qp_test_support.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "al_env.h"
#include "al_log.h"

namespace qptest {

namespace {

/* Set before main, so that every cache of the root sees this directory. */
struct ProcessEnvironment {
    tdbtest::TempDir dir;
    ProcessEnvironment()
    {
        setenv("TSE", dir.path().c_str(), 1);
        setenv("PACKAGE_COMB", "test", 1);
        unsetenv("TSE_REM");
        unsetenv("RDS_FULL");
        dir.write("log/.keep", "");
        dir.write("tmp/.keep", "");
        dir.write("lib/fd6.2.test", std::string("db ") + QP_DEMO_TSE + "/appl/db6.2\n");
    }
};

ProcessEnvironment &environment()
{
    static ProcessEnvironment env;
    return env;
}

const bool environment_ready = (environment(), true);

Recorder *active = nullptr;

void record_message(const char *message)
{
    if (active)
        active->messages.emplace_back(message);
}

} // namespace

const std::string &root() { return environment().dir.path(); }

Recorder::Recorder()
{
    active = this;
    log_set_log_hook(record_message);
}

Recorder::~Recorder()
{
    active = nullptr;
    log_set_log_hook(nullptr);
}

bool Recorder::logged(const std::string &expected) const
{
    /* The log drops one final line feed of a message. */
    std::string text = expected;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return std::find(messages.begin(), messages.end(), text) != messages.end();
}

int Recorder::count_prefix(const std::string &prefix) const
{
    return static_cast<int>(std::count_if(messages.begin(), messages.end(), [&](const std::string &m) {
        return m.compare(0, prefix.size(), prefix) == 0;
    }));
}

std::string hex(const unsigned char *bytes, size_t n)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(buf, sizeof buf, "%02x", bytes[i]);
        if (i)
            out += ' ';
        out += buf;
    }
    return out;
}

std::string hex(const std::vector<unsigned char> &bytes) { return hex(bytes.data(), bytes.size()); }

rds_col col(int type, int length, int offset, int elements, int state)
{
    rds_col c{};
    c.type = static_cast<unsigned char>(type);
    c.state = static_cast<unsigned char>(state);
    c.length = static_cast<unsigned short>(length);
    c.offset = static_cast<unsigned short>(offset);
    c.elements = static_cast<unsigned short>(elements);
    return c;
}

void put16(unsigned char *p, int v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

void put32(unsigned char *p, long v)
{
    auto u = static_cast<unsigned long>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

long get32(const unsigned char *p)
{
    return static_cast<int>((static_cast<unsigned>(p[0]) << 24) | (static_cast<unsigned>(p[1]) << 16) |
                            (static_cast<unsigned>(p[2]) << 8) | p[3]);
}

void RdsTest::SetUp()
{
    (void)root();
    tmp = std::make_unique<tdbtest::TempDir>();
    set_tse_tmp(tmp->path().c_str());
    qp_errno = 0;
}

void RdsTest::TearDown()
{
    rds_close_all();
}

std::vector<std::string> RdsTest::tmp_files() const
{
    std::vector<std::string> out;
    DIR *d = opendir(tmp->path().c_str());
    if (d == nullptr)
        return out;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace qptest
