/*
 * al_shlib_test.cpp: the shared-library loader: the order of the search
 * path, finding a file along it, loading by logical name and resolving
 * symbols, and the failures.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "al_shlib.h"
#include "run_program.h"

namespace {

/* Sets or removes environment variables for one test. */
class ShlibEnv : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *name : {"TSE_LIB_PATH", "TSE_SHLIB", "LD_LIBRARY_PATH"}) {
            const char *value = std::getenv(name);
            saved.emplace_back(name, value != nullptr ? std::string(value) : std::string("\x01"));
            unsetenv(name);
        }
    }
    void TearDown() override
    {
        for (const auto &[name, value] : saved) {
            if (value == "\x01")
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
    }
    std::string path(const char *extra = nullptr)
    {
        char buf[8192];
        al_shlib_search_path(extra, buf, sizeof buf);
        return buf;
    }
    std::vector<std::pair<std::string, std::string>> saved;
};

std::string program_dir()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.rfind('/'));
}

TEST_F(ShlibEnv, SearchOrderIsExtraThenVariablesThenSystemThenProgramDirectory)
{
    setenv("TSE_LIB_PATH", "/t1:/t2/", 1);
    setenv("TSE_SHLIB", "/s1", 1);
    setenv("LD_LIBRARY_PATH", "/l1::/t1", 1);
    std::string p = path("/extra");
    EXPECT_EQ(p.rfind("/extra:/t1:/t2:/s1:/l1:/usr/lib:", 0), 0u) << p;
    EXPECT_EQ(p.find("/t1", 10), std::string::npos) << "each directory once";
#if defined(__x86_64__)
    EXPECT_NE(p.find(":/usr/lib/x86_64-linux-gnu:"), std::string::npos);
#endif
    std::string dir = program_dir();
    EXPECT_EQ(p.substr(p.size() - dir.size()), dir);
}

TEST_F(ShlibEnv, SearchPathIsTruncatedToTheBufferButReportsItsLength)
{
    char small[8];
    int full = al_shlib_search_path(nullptr, small, sizeof small);
    EXPECT_GT(full, 8);
    EXPECT_EQ(std::string(small), std::string("/usr/lib").substr(0, 7));
}

TEST_F(ShlibEnv, FindsAFileInTheFirstDirectoryThatHasIt)
{
    tdbtest::TempDir a, b;
    b.write("libdemo.so", "not really a library");
    a.write("other.txt", "");
    setenv("TSE_LIB_PATH", (a.path() + ":" + b.path()).c_str(), 1);
    char found[4096];
    ASSERT_EQ(al_shlib_find("libdemo.so", nullptr, found, sizeof found), 0);
    EXPECT_EQ(std::string(found), b.path() + "/libdemo.so");
    a.write("libdemo.so", "");
    ASSERT_EQ(al_shlib_find("libdemo.so", nullptr, found, sizeof found), 0);
    EXPECT_EQ(std::string(found), a.path() + "/libdemo.so");
    char tiny[4];
    errno = 0;
    EXPECT_EQ(al_shlib_find("libdemo.so", nullptr, tiny, sizeof tiny), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(al_shlib_find("libno-such-thing.so", nullptr, found, sizeof found), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ShlibEnv, LoadsASystemLibraryByLogicalNameAndResolvesSymbols)
{
    /* libicuuc.so lies in the platform's library directory. */
    void *handle = al_shlib_load("icuuc", nullptr);
    ASSERT_NE(handle, nullptr) << al_shlib_error();
    EXPECT_STREQ(al_shlib_error(), "");
    EXPECT_EQ(al_shlib_symbol(handle, "no_such_symbol_here"), nullptr);
    EXPECT_STRNE(al_shlib_error(), "");
    EXPECT_EQ(al_shlib_close(handle), 0);
}

TEST_F(ShlibEnv, FileThatIsNoLibraryFailsWithTheLoadersReason)
{
    tdbtest::TempDir dir;
    dir.write("libbogus.so", "not an ELF file");
    setenv("TSE_LIB_PATH", dir.path().c_str(), 1);
    EXPECT_EQ(al_shlib_load("bogus", nullptr), nullptr);
    EXPECT_NE(std::string(al_shlib_error()).find("libbogus.so"), std::string::npos);
    EXPECT_EQ(al_shlib_load("surely_missing_library", nullptr), nullptr);
    EXPECT_EQ(std::string(al_shlib_error()),
              "libsurely_missing_library.so: not found in the library search path");
    EXPECT_EQ(al_shlib_load("", nullptr), nullptr);
    EXPECT_EQ(al_shlib_close(nullptr), -1);
}

TEST_F(ShlibEnv, ExtraDirectoryComesFirst)
{
    tdbtest::TempDir a, b;
    a.write("libx.a", "");
    b.write("libx.a", "");
    setenv("TSE_LIB_PATH", a.path().c_str(), 1);
    char found[4096];
    ASSERT_EQ(al_shlib_find("libx.a", b.path().c_str(), found, sizeof found), 0);
    EXPECT_EQ(std::string(found), b.path() + "/libx.a");
}

} // namespace
