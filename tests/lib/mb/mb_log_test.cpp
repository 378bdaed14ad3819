/*
 * mb_log_test.cpp: the log text conversion: unchanged copies before the
 * conversion library is there, native or UTF-8 output, and characters
 * that cannot be converted in hexadecimal.
 */
#include <cstring>
#include <string>

#include "mb_test_support.h"

using mbtest::MbTest;
using mbtest::tss_unicode;

namespace {

class TssLog : public MbTest {
protected:
    std::string convert(const std::string &in, int outlen = 64)
    {
        std::string out(static_cast<size_t>(outlen), '#');
        result = TssLogConvert(in.c_str(), out.data(), static_cast<int>(in.size()), outlen);
        return std::string(out.c_str());
    }
    int result = 0;
};

TEST_F(TssLog, CopiesUnchangedWhileTheLibraryIsNotLoaded)
{
    mb::reset_convert_for_tests();
    EXPECT_EQ(convert("abc\x9b\x81\x82\x83\xe9"), "abc\x9b\x81\x82\x83\xe9");
    EXPECT_EQ(result, 8);
    EXPECT_EQ(convert("abcdef", 4), "abc");
}

TEST_F(TssLog, ClassicModeGivesNativeBytesAndHexForTheRest)
{
    ASSERT_EQ(TssConvertInitialize(0), 0);
    TssSetMode(TSS_MODE_CLASSIC);
    EXPECT_EQ(convert("caf\xe9"), "caf\xe9");
    std::string text = "x" + tss_unicode(U"\u4e2d") + "y\xe9";
    EXPECT_EQ(convert(text), "x[0x9b819cad]y\xe9");
    EXPECT_EQ(result, 15);
}

TEST_F(TssLog, UnicodeModeGivesUtf8)
{
    ASSERT_EQ(TssConvertInitialize(0), 0);
    TssSetMode(TSS_MODE_UNICODE);
    EXPECT_EQ(convert(tss_unicode(U"caf\u00e9 \u4e2d")), "caf\xc3\xa9 \xe4\xb8\xad");
    /* A foreign four-byte sequence has no code point. */
    EXPECT_EQ(convert("a\x9b\x41\x42\x43"), "a[0x9b414243]");
}

TEST_F(TssLog, OneByteCharactersWithoutANativeCounterpartAreWrittenAsHex)
{
    ASSERT_EQ(TssConvertInitialize(0), 0);
    TssSetMode(TSS_MODE_CLASSIC);
    ASSERT_EQ(TssSetCurrentConverterIndex(TssFindConverter("UTF-8")) >= 0, true);
    EXPECT_EQ(convert("ok\xe9!"), "ok[e9]!");
}

TEST_F(TssLog, OutputStopsWhenItsRoomIsUsedUp)
{
    ASSERT_EQ(TssConvertInitialize(0), 0);
    TssSetMode(TSS_MODE_CLASSIC);
    std::string text = "ab" + tss_unicode(U"\u4e2d") + "cd";
    EXPECT_EQ(convert(text, 8), "ab");
    EXPECT_EQ(convert(text, 14), "ab") << "the piece needs 12 bytes and the terminator one";
    EXPECT_EQ(convert(text, 15), "ab[0x9b819cad]");
    EXPECT_EQ(convert(text, 17), "ab[0x9b819cad]cd");
    EXPECT_EQ(convert("abcdef", 4), "abc");
}

TEST_F(TssLog, MalformedTextGivesTheErrorLineAndAnUnchangedCopy)
{
    ASSERT_EQ(TssConvertInitialize(0), 0);
    TssSetMode(TSS_MODE_UNICODE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(convert("ab\x9b\x81"), "ab\x9b\x81");
    EXPECT_EQ(result, -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error in ConvertTssLogString; return value was -1; input string was ab\x9b\x81\n");
    testing::internal::CaptureStderr();
    std::string long_text(300, 'a');
    long_text += "\x9b\x81";
    convert(long_text, 400);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error in ConvertTssLogString; return value was -1\n");
}

} // namespace

/* ---- the log file through the registered hooks -------------------------- */

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "al_env.h"
#include "al_log.h"
#include "run_program.h"

namespace {

/* Logs one message in a fresh child process and returns the log text. */
std::string logInChild(const char *format)
{
    tdbtest::TempDir root;
    mkdir((root.path() + "/log").c_str(), 0777);
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TSE", root.path().c_str(), 1);
        set_tse(root.path().c_str()); /* the root may be cached already */
        setenv("TSE_LIB_PATH", TSS_CONVERT_DIR, 1);
        setenv("USER", "tester", 1);
        unsetenv("TSE_LOG");
        TssRegisterLogHooks();
        log_set_progname("mblog", LOG_DEST_FILE);
        TssSetMode(TSS_MODE_CLASSIC);
        log_mesg("tests/lib/mb/mb_log_test.cpp", 1, "test", 0, format, 7);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return root.read("log/log.mblog");
}

TEST(TssLogHooks, LogFileShowsUnconvertibleCharactersInHex)
{
    std::string text = logInChild(("x" + tss_unicode(U"\u4e2d") + "y %d").c_str());
    EXPECT_NE(text.find("Log_mesg: x[0x9b819cad]y 7"), std::string::npos) << text;
}

TEST(TssLogHooks, PercentBytesInsideFourByteCharactersAreNotConversions)
{
    /* 9B 25 64 42 holds the bytes "%d": formatting must leave them alone
     * and still fill the real "%d" after it. */
    std::string text = logInChild("a\x9b\x25\x64\x42 %d");
    EXPECT_NE(text.find("Log_mesg: a[0x9b256442] 7"), std::string::npos) << text;
}

} // namespace
