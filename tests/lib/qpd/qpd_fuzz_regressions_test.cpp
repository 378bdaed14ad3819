/*
 * qpd_fuzz_regressions_test.cpp: replays every input of
 * tests/fuzz/dict_regressions (inputs that once crashed, hung or leaked
 * under the dictionary fuzzers, and their seeds) through the fuzz targets:
 * "tabledef-..." through the tabledef reader's target, every other input
 * through the table- and domain-file reader's target, which check the
 * loaded records' consistency and the error numbers and cache after a
 * failed load. Under the sanitizer build any fault ends the test.
 */
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qpd_test_support.h"

int dict_fuzz_one(const uint8_t *data, size_t size);
int tabledef_fuzz_one(const uint8_t *data, size_t size);

using namespace qpdtest;

namespace {

std::vector<std::string> regression_files(const std::string &prefix, bool matching)
{
    std::vector<std::string> names;
    DIR *dir = opendir(DICT_REGRESSIONS_DIR);
    if (dir == nullptr)
        return names;
    while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name[0] == '.')
            continue;
        if ((name.rfind(prefix, 0) == 0) == matching)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string &name)
{
    std::ifstream in(std::string(DICT_REGRESSIONS_DIR) + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

using FuzzRegressions = DictTest;

/* The targets move to a root of their own, empty the caches and take over
 * the allocator: in a child, with the root in a private directory. */
void use_private_root(const tdbtest::TempDir &dir)
{
    setenv("DICT_FUZZ_ROOT", dir.path().c_str(), 1);
    setenv("DICT_FUZZ_DEMO", QPD_DEMO_TSE "/appl/db6.2", 1);
}

TEST_F(FuzzRegressions, EveryTableAndDomainInputRunsCleanly)
{
    std::vector<std::string> names = regression_files("tabledef-", false);
    EXPECT_GE(names.size(), 5u);
    tdbtest::TempDir dir;
    in_child([&] {
        use_private_root(dir);
        for (const auto &name : names) {
            SCOPED_TRACE(name);
            std::string data = read_file(name);
            EXPECT_EQ(dict_fuzz_one(reinterpret_cast<const uint8_t *>(data.data()), data.size()), 0);
        }
    });
}

TEST_F(FuzzRegressions, EveryTabledefInputRunsCleanly)
{
    std::vector<std::string> names = regression_files("tabledef-", true);
    EXPECT_GE(names.size(), 2u);
    tdbtest::TempDir dir;
    in_child([&] {
        use_private_root(dir);
        for (const auto &name : names) {
            SCOPED_TRACE(name);
            std::string data = read_file(name);
            EXPECT_EQ(tabledef_fuzz_one(reinterpret_cast<const uint8_t *>(data.data()), data.size()), 0);
        }
    });
}

} // namespace
