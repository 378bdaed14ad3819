/*
 * mb_test_support.h: common ground of the character-set tests: a private
 * root directory (TSE) and the conversion library's directory
 * (TSE_LIB_PATH) for the whole test process, a fixture that puts the
 * layer's process-wide state back before every test, an error recorder,
 * and an independent encoder of code points into TSS bytes.
 */
#ifndef MB_TEST_SUPPORT_H
#define MB_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "al_user.h"
#include "mb_internal.h"
#include "run_program.h"
#include "tss.h"
#include "tss_convert.h"

namespace mbtest {

/* The root directory of this test process (created on first use). */
const std::string &root();

/* The errors reported through tss_error while a Recorder is alive. */
struct Recorder {
    Recorder();
    ~Recorder();
    std::vector<std::string> messages;
    std::vector<int> flags;
};

/* TSS bytes of a code point in Unicode mode, by the documented scheme:
 * U+0001-U+00FF except U+009B as one byte, others 9B and three bytes
 * 0x80 | 7 bits each. */
std::string tss_unicode(const std::u32string &text);

/* UTF-8 of a code-point string (for building expected values). */
std::string utf8(const std::u32string &text);

class MbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    /* Writes the mode file under the root and forgets the cached mode. */
    void write_mode_file(const std::string &content);
};

} // namespace mbtest

#endif
