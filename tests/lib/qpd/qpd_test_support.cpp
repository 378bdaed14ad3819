/*
 * qpd_test_support.cpp: the private root, recorders and helpers of the
 * dictionary tests (see qpd_test_support.h).
 */
#include "qpd_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "al_log.h"
#include "qpd_rdic.h"
#include "yy_expr.h"

namespace qpdtest {

namespace {

/* The domains of the scratch package, for the malformed-table tests. */
const char *const qa_domains = "D\n:N    qaDom.long\n:T    l\n"
                               "D\n:N    qaDom.big\n:T    s\n:CL   4000\n"
                               "D\n:N    qaDom.rest\n:T    s\n:CL   2138\n"
                               "D\n:N    qaDom.rest1\n:T    s\n:CL   2139\n"
                               "D\n:N    qaDom.s300\n:T    s\n:CL   300\n"
                               "D\n:N    qaDom.s200\n:T    s\n:CL   200\n"
                               "D\n:N    qaDom.utc\n:T    k\n"
                               "D\n:N    qaDom.int\n:T    i\n";

/* Set before main, so that every cache of the root sees this directory. */
struct ProcessEnvironment {
    tdbtest::TempDir dir;
    ProcessEnvironment()
    {
        setenv("TSE", dir.path().c_str(), 1);
        setenv("PACKAGE_COMB", "test", 1);
        unsetenv("TSE_REM");
        dir.write("log/.keep", "");
        dir.write("lib/fd6.2.test", std::string("db ") + QPD_DEMO_TSE + "/appl/db6.2\n" +
                                        "qa appl/qa6.2\n" + "qb appl/qb6.2\n" + "qc appl/qc6.2\n" + "qe appl/qe6.2\n" +
                                        "qr appl/qr6.2\n");
        dir.write("appl/qa6.2/d6.2/dqa.pd", qa_domains);
        dir.write("appl/qb6.2/d6.2/dqb.pd", "D\n:N    qbDom.only\n:T    l\n");
        /* Domains read by any test carry compiled ranges, as under the
         * tdb API, whichever test loads a domain file first. */
        qpd_set_range_compiler(yy_compile_range);
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

void record_error(int code)
{
    if (active)
        active->errors.push_back(code);
}

} // namespace

const std::string &root() { return environment().dir.path(); }

std::string qa_dir() { return root() + "/appl/qa6.2/d6.2"; }

void write_qa(const std::string &name, const std::string &content)
{
    tdbtest::TempDir::writeAt(qa_dir(), name, content);
}

void write_root(const std::string &relative, const std::string &content)
{
    environment().dir.write(relative, content);
}

Recorder::Recorder()
{
    active = this;
    log_set_log_hook(record_message);
    qpd_set_error_hook(record_error);
}

Recorder::~Recorder()
{
    active = nullptr;
    log_set_log_hook(nullptr);
    qpd_set_error_hook(nullptr);
}

bool Recorder::logged(const std::string &expected) const
{
    /* The log drops one final line feed of a message. */
    std::string text = expected;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    for (const auto &m : messages)
        if (m == text)
            return true;
    return false;
}

void in_child(const std::function<void()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "checks in the child failed";
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

void DictTest::SetUp()
{
    init_local_dd();
    qpd_clear_errno();
    qpd::reset_server_lists();
}

void DictTest::TearDown()
{
    init_dd_mode(1);
}

} // namespace qpdtest
