/*
 * mb_icu_test.cpp: ICU loaded at run time: the version suffix of the
 * installed libraries, the resolved entries behaving like the linked ICU,
 * and the end of the process when ICU cannot be loaded.
 */
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include <unicode/uchar.h>
#include <unicode/uversion.h>

#include "mb_test_support.h"

using mbtest::MbTest;

namespace {

class TssIcu : public MbTest {
protected:
    void TearDown() override
    {
        mb::set_icu_library_names(nullptr, nullptr);
        MbTest::TearDown();
    }
};

TEST_F(TssIcu, SuffixIsTheMajorVersionOfTheInstalledLibrary)
{
    const mb::IcuEntries &icu = mb::icu();
    UVersionInfo version;
    u_getVersion(version);
    EXPECT_EQ(mb::icu_suffix(), "_" + std::to_string(version[0]));
    EXPECT_EQ(icu.u_isdigit('7'), u_isdigit('7'));
    EXPECT_EQ(icu.u_charType(0x4E2D), u_charType(0x4E2D));
    EXPECT_EQ(icu.u_getCombiningClass(0x0301), u_getCombiningClass(0x0301));
    EXPECT_TRUE(icu.u_isWhitespace(' '));
    EXPECT_STREQ(icu.u_errorName(U_BUFFER_OVERFLOW_ERROR), "U_BUFFER_OVERFLOW_ERROR");
}

TEST_F(TssIcu, UnopenableLibraryEndsTheProcess)
{
    EXPECT_EXIT(
        {
            mb::reset_icu_for_tests();
            mb::set_icu_library_names("no_such_icu_library", nullptr);
            mb::icu();
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(TssIcu, LibraryWithoutTheEntriesEndsTheProcess)
{
    /* The C library opens fine but holds no ICU entry. */
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&std::fclose), &info), 0);
    ASSERT_NE(info.dli_fname, nullptr);
    std::string libc = info.dli_fname;
    EXPECT_EXIT(
        {
            mb::reset_icu_for_tests();
            mb::set_icu_library_names(libc.c_str(), libc.c_str());
            mb::icu();
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(TssIcu, LoadedOnceAndKept)
{
    const mb::IcuEntries *first = &mb::icu();
    mb::set_icu_library_names("no_such_icu_library", nullptr);
    EXPECT_EQ(&mb::icu(), first);
    EXPECT_NE(first->ucol_open, nullptr);
}

} // namespace
