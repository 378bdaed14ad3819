/*
 * mb_test_support.cpp: the private root, the fixture and the helpers of
 * the character-set tests (see mb_test_support.h).
 */
#include "mb_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace mbtest {

namespace {

/* Set before main, so that every cache of the root sees this directory. */
struct ProcessEnvironment {
    tdbtest::TempDir dir;
    ProcessEnvironment()
    {
        setenv("TSE", dir.path().c_str(), 1);
        setenv("TSE_LIB_PATH", TSS_CONVERT_DIR, 1);
        unsetenv("TSSABORT");
        unsetenv("SH_TABLE");
        dir.write("log/.keep", "");
    }
};

ProcessEnvironment &environment()
{
    static ProcessEnvironment env;
    return env;
}

const bool environment_ready = (environment(), true);

Recorder *active = nullptr;

int record(int flags, const char *message)
{
    if (active != nullptr) {
        active->messages.emplace_back(message);
        active->flags.push_back(flags);
    }
    return 7;
}

} // namespace

const std::string &root()
{
    return environment().dir.path();
}

Recorder::Recorder()
{
    active = this;
    tss_set_error_handler(record);
}

Recorder::~Recorder()
{
    tss_set_error_handler(nullptr);
    active = nullptr;
}

std::string tss_unicode(const std::u32string &text)
{
    std::string out;
    for (char32_t cp : text) {
        if (cp >= 1 && cp <= 0xFF && cp != 0x9B) {
            out += static_cast<char>(cp);
        } else {
            out += '\x9b';
            out += static_cast<char>(0x80 | ((cp >> 14) & 0x7F));
            out += static_cast<char>(0x80 | ((cp >> 7) & 0x7F));
            out += static_cast<char>(0x80 | (cp & 0x7F));
        }
    }
    return out;
}

std::string utf8(const std::u32string &text)
{
    std::string out;
    for (char32_t cp : text) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

void MbTest::SetUp()
{
    (void)environment_ready;
    std::remove((root() + "/lib/tss_mbstore6.2").c_str());
    mb::reset_mode_for_tests();
    mb::reset_errors_for_tests();
    mb::set_convert_library_name(nullptr);
    TssResetCaseTables();
    user_info.high_ascii_tolerance = -1;
    if (TssConvertGetStatus() == 2) {
        TssSetCurrentConverterIndex(TssFindConverter("ISO-8859-1"));
        TssSetConversionErrorHandler(nullptr);
    }
}

void MbTest::TearDown()
{
    tss_set_error_handler(nullptr);
    mb::reset_mode_for_tests();
}

void MbTest::write_mode_file(const std::string &content)
{
    environment().dir.write("lib/tss_mbstore6.2", content);
    mb::reset_mode_for_tests();
}

} // namespace mbtest
