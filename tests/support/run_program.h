/*
 * run_program.h: runs a built program as a user would, for the end-to-end
 * tests: arguments, extra environment, working directory, standard input
 * closed; captures standard output, standard error and the exit code.
 */
#ifndef TESTS_RUN_PROGRAM_H
#define TESTS_RUN_PROGRAM_H

#include <string>
#include <utility>
#include <vector>

namespace tdbtest {

struct RunResult {
    int exit_code = -1;   /* exit status, or 128 + signal number */
    std::string out;      /* standard output */
    std::string err;      /* standard error */
};

struct RunOptions {
    /* Variables set (or, with a null-valued second, removed) in the child. */
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> unset_env;
    std::string cwd;          /* empty: the test's own directory */
    int timeout_seconds = 60; /* the child is killed after this */
};

/* Runs program with args (argv[0] is the program path). */
RunResult run_program(const std::string &program,
                      const std::vector<std::string> &args,
                      const RunOptions &options = {});

/* A fresh empty directory under the temporary directory; removed by the
 * destructor with everything in it, but only in the process that made it
 * (a forked child that exits must not remove its parent's directory). */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    /* Writes a file below the directory (creating parent directories). */
    std::string write(const std::string &relative, const std::string &content) const;
    /* The same below any directory. */
    static std::string writeAt(const std::string &root, const std::string &relative,
                               const std::string &content);
    /* Reads a file below the directory; empty when it does not exist. */
    std::string read(const std::string &relative) const;
    bool exists(const std::string &relative) const;

private:
    std::string path_;
    int owner_pid_;
};

} // namespace tdbtest

#endif
