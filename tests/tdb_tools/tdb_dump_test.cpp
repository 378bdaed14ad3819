/* The size argument of dump sequences (-M). */
#include <gtest/gtest.h>

#include "tdb_dump.h"

namespace {

TEST(SeqSizeArg, SuffixesMultiply)
{
    EXPECT_EQ(handle_seq_size_arg("1G"), 1073741824);
    EXPECT_EQ(handle_seq_size_arg("1K"), 1024);
    EXPECT_EQ(handle_seq_size_arg("3k"), 3072);
    EXPECT_EQ(handle_seq_size_arg("5M"), 5 * 1048576);
    EXPECT_EQ(handle_seq_size_arg("2047M"), 2047 * 1048576);
    EXPECT_EQ(handle_seq_size_arg("2097151K"), 2097151 * 1024);
}

TEST(SeqSizeArg, PlainNumbersStopAtTheFirstNonDigit)
{
    EXPECT_EQ(handle_seq_size_arg("1000"), 1000);
    EXPECT_EQ(handle_seq_size_arg("10m"), 10) << "lower-case m is no suffix";
    EXPECT_EQ(handle_seq_size_arg("12x"), 12);
    EXPECT_EQ(handle_seq_size_arg("2147483647"), 2147483647);
}

TEST(SeqSizeArg, OutOfRangeGivesTheDefault)
{
    for (const char *text : {"0", "-5", "3G", "2G", "2048M", "2097152K",
                             "2097153K", "-1K", "", "abc", "2147483648",
                             "99999999999999999999"})
        EXPECT_EQ(handle_seq_size_arg(text), DUMP_MAX_SIZE) << text;
    EXPECT_EQ(DUMP_MAX_SIZE, 0x7FFFFFFF);
}

} // namespace
