/*
 * env_test_support.h: helpers of the environment, user and resource tests:
 * running a test body in a forked child (the layer's caches are
 * process-wide), a clean environment, and reading the program's log file.
 */
#ifndef TESTS_ENV_TEST_SUPPORT_H
#define TESTS_ENV_TEST_SUPPORT_H

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "al_log.h"
#include "run_program.h"

namespace envtest {

/*
 * Runs body in a forked child and expects it to end normally without a
 * failed expectation; failures are printed by the child itself.
 */
template <typename F> void inChild(F &&body)
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
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "expectations failed in the child (see above)";
}

/* Removes the variables that steer the layer, sets USER, and enters cwd. */
inline void cleanEnvironment(const std::string &cwd, const char *user = "tester")
{
    for (const char *name :
         {"TSE", "TSE_TMP", "TSE_BIN", "TSE_HOSTNAME", "TSE_REM", "TSE_LOG",
          "PACKAGE_COMB", "IPC_BOOT_USER", "TSE_COMPNR", "T", "GETCWD", "BMASK",
          "USE_BMASK_AS_ABSOLUTE", "TRELTZ", "DEBUG_LEVEL", "TSE_LANG",
          "TSE_LOCALE", "ENABLE_ALL_LOGS", "TRELHOME", "AL_TEXT_LANG",
          "TREL_SCM_GRP", "CORE", "LD_LIBRARY_PATH", "TSE_STD_PROGRAM", "NEWBIDI",
          "HIDE_FORMAT_ERRORS", "HIGH_ASCII_TOLERANCE", "USR_DBC_RES"})
        unsetenv(name);
    if (user != nullptr)
        setenv("USER", user, 1);
    else
        unsetenv("USER");
    if (chdir(cwd.c_str()) != 0)
        ADD_FAILURE() << "cannot enter " << cwd;
}

/* Makes root the root (TSE) and starts logging into root/log/log.<prog>. */
inline void startLogging(const tdbtest::TempDir &root, const char *prog)
{
    setenv("TSE", root.path().c_str(), 1);
    /* The root is cached process-wide on first use; an earlier test in the
     * same process may have cached another one. */
    set_tse(root.path().c_str());
    mkdir((root.path() + "/log").c_str(), 0777);
    log_set_progname(prog, LOG_DEST_FILE);
}

/* The log file text of prog under root ("" when there is none). */
inline std::string logText(const tdbtest::TempDir &root, const char *prog)
{
    return root.read(std::string("log/log.") + prog);
}

/* Number of occurrences of what in text. */
inline int occurrences(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + what.size()))
        ++n;
    return n;
}

} // namespace envtest

#endif
