/* The driver choice of -d. */
#include <gtest/gtest.h>

#include <string>

#include "tdb_output.h"
#include "tdb_util.h"

namespace {

TEST(DriverLetter, EachLetterNamesItsDriverInEitherCase)
{
    const std::pair<char, const char *> letters[] = {
        {'D', "db2"}, {'I', "informix"}, {'M', "msql"},
        {'N', "nssql"}, {'O', "oracle8"}, {'S', "sybase"}};
    for (const auto &[letter, name] : letters) {
        EXPECT_STREQ(driver_name_of_letter(letter), name);
        EXPECT_STREQ(driver_name_of_letter(static_cast<char>(letter + 32)), name);
    }
    EXPECT_EQ(driver_name_of_letter('X'), nullptr);
    EXPECT_EQ(driver_name_of_letter('1'), nullptr);
}

TEST(InitDriver, UnsetDoesNothing)
{
    EXPECT_EQ(init_driver(nullptr), 0);
}

TEST(InitDriver, IllegalLetterIsReported)
{
    tdb_output_reset();
    testing::internal::CaptureStderr();
    EXPECT_EQ(init_driver("x"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Illegal driver type defined ('x')\n");
}

TEST(InitDriver, LettersAndServerListsAreAccepted)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(init_driver("o"), 0);
    EXPECT_EQ(init_driver("sqlite"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
