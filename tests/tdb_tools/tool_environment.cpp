/*
 * tool_environment.cpp: the software environment the in-process tests of
 * the tool run in: a private TSE with a superuser's file and the package
 * combination of the current development tools and the demo dictionary
 * (package "db", for the row-conversion tests), set before any test runs
 * (the runtime layer caches the root on first use).
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "run_program.h"

namespace {

class ToolEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        dir_ = std::make_unique<tdbtest::TempDir>();
        dir_->write("lib/user/u/utester", "usertype: S\npacc: std\n");
        dir_->write("lib/fd6.2.std", std::string("tt tools/tt7.6_a\ndb ") +
                                          TOOLS_DEMO_TSE + "/appl/db6.2\n");
        dir_->write("log/.keep", "");
        setenv("TSE", dir_->path().c_str(), 1);
        setenv("USER", "tester", 1);
        unsetenv("PACKAGE_COMB");
        unsetenv("USR_DBC_RES");
        unsetenv("TSE_LOG");
    }
    void TearDown() override { dir_.reset(); }

private:
    std::unique_ptr<tdbtest::TempDir> dir_;
};

testing::Environment *const tool_environment =
    testing::AddGlobalTestEnvironment(new ToolEnvironment);

} // namespace
