/*
 * yy_fuzz_regressions_test.cpp: replays every input of
 * tests/fuzz/expr_regressions (inputs that once failed under the fuzzer,
 * and its seeds) through the fuzz target, that is through the compiler,
 * the comparer, the four evaluators, the extremes and the regular
 * expressions. Under the sanitizer build any fault ends the test.
 */
#include <dirent.h>

#include <fstream>
#include <iterator>

#include "expr_test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

class FuzzRegressions : public exprtest::ExprTest {};

TEST_F(FuzzRegressions, EveryStoredInputRunsCleanly)
{
    DIR *dir = opendir(EXPR_REGRESSIONS_DIR);
    ASSERT_NE(dir, nullptr) << EXPR_REGRESSIONS_DIR;
    int replayed = 0;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::string path = std::string(EXPR_REGRESSIONS_DIR) + "/" + e->d_name;
        std::ifstream in(path, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(path);
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size()), 0);
        ++replayed;
    }
    closedir(dir);
    EXPECT_GE(replayed, 5);
}

} // namespace
