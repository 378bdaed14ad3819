/* Streams: memory streams over fixed and growing byte arrays. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "al_stream.h"
#include "al_stream_test_util.h"
#include "run_program.h"

using streamtest::pattern;
using tdbtest::TempDir;

namespace {

std::string contents(STREAM *sp)
{
    void *base = nullptr;
    long length = -1;
    if (getByteArrayProperties(sp, &base, &length) != 0)
        return "<not a memory stream>";
    return std::string(static_cast<const char *>(base), static_cast<size_t>(length));
}

TEST(StreamMemoryFixed, WritesIntoTheCallersBlockUpToItsEnd)
{
    char block[8];
    std::memset(block, '.', sizeof block);
    STREAM *sp = sopenFixedByteArray(block, sizeof block, "w");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(isFixedByteArray(sp), 1);
    EXPECT_EQ(sfileno(sp), -1);
    EXPECT_EQ(sp->bufsize, 0); /* unbuffered */
    EXPECT_EQ(contents(sp), ""); /* "w" starts without data */
    EXPECT_EQ(sputs("hello", sp), 0);
    void *base = nullptr;
    long length = 0;
    ASSERT_EQ(getByteArrayProperties(sp, &base, &length), 0);
    EXPECT_EQ(base, static_cast<void *>(block));
    EXPECT_EQ(length, 5);
    EXPECT_EQ(std::string(block, 8), "hello...");
    errno = 0;
    EXPECT_EQ(swrite_blok("world", 5, sp), -1); /* 3 fit, then no room */
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(serror(sp), 1);
    EXPECT_EQ(contents(sp), "hellowor");
    EXPECT_EQ(sputc('!', sp), -1);
    EXPECT_EQ(sclose(sp), 0);
    EXPECT_EQ(std::string(block, 8), "hellowor"); /* the caller's memory stays */
}

TEST(StreamMemoryFixed, ReadsSeeksAndOverwritesExistingData)
{
    char block[] = {'a', 'b', 'c', '\n', 'd', 'e'};
    STREAM *sp = sopenFixedByteArray(block, sizeof block, "r+");
    ASSERT_NE(sp, nullptr);
    char line[8];
    ASSERT_NE(sgets(line, sizeof line, sp), nullptr);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(stream_stell(sp, 0), 4);
    EXPECT_EQ(sgetc(sp), 'd');
    EXPECT_EQ(sseek(sp, 1, 0), 1);
    EXPECT_EQ(sputc('B', sp), 'B');
    EXPECT_EQ(sseek(sp, -1, 2), 5);
    EXPECT_EQ(sgetc(sp), 'e');
    EXPECT_EQ(sgetc(sp), -1);
    EXPECT_EQ(seof(sp), 1);
    EXPECT_EQ(sseek(sp, 7, 0), -1); /* past the data */
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sseek(sp, -1, 0), -1);
    EXPECT_EQ(sungetc('x', sp), -1); /* unbuffered */
    EXPECT_EQ(std::string(block, 6), "aBc\nde");
    sclose(sp);
}

TEST(StreamMemoryFixed, LineThatFitsExactlyUsesAPeekBySeeking)
{
    char block[] = "ab\ncd";
    STREAM *sp = sopenFixedByteArray(block, 5, "r");
    char line[3];
    ASSERT_NE(sgets(line, sizeof line, sp), nullptr);
    EXPECT_STREQ(line, "ab");
    ASSERT_NE(sgets(line, sizeof line, sp), nullptr);
    EXPECT_STREQ(line, "cd");
    EXPECT_EQ(sgets(line, sizeof line, sp), nullptr);
    sclose(sp);
}

TEST(StreamMemoryFixed, AppendStartsAtTheEndAndReadOnlyRefusesWrites)
{
    char block[4] = {'w', 'x', 'y', 'z'};
    STREAM *sp = sopenFixedByteArray(block, 4, "a");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(stream_stell(sp, 1), 4);
    EXPECT_EQ(sputc('!', sp), -1); /* the block is full */
    sclose(sp);
    sp = sopenFixedByteArray(block, 4, "r");
    EXPECT_EQ(sputc('!', sp), -1);
    EXPECT_EQ(errno, EBADF);
    sclose(sp);
    EXPECT_EQ(sopenFixedByteArray(nullptr, 4, "r"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sopenFixedByteArray(block, -1, "r"), nullptr);
    EXPECT_EQ(sopenFixedByteArray(block, 4, "rw"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST(StreamMemoryVariable, GrowsInStepsUpToTheLimit)
{
    STREAM *sp = sopenVariableByteArray("w+", 16, 40);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(isFixedByteArray(sp), 0);
    std::string data = pattern(50);
    ASSERT_EQ(swrite_blok(data.data(), 30, sp), 30);
    EXPECT_EQ(sp->handle.mem->capacity, 32); /* two steps of 16 */
    errno = 0;
    EXPECT_EQ(swrite_blok(data.data() + 30, 20, sp), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(contents(sp), data.substr(0, 40));
    EXPECT_EQ(sp->handle.mem->capacity, 40); /* capped by the limit */

    /* A higher limit lets it grow again; a limit below the data fails. */
    EXPECT_EQ(setVariableByteArrayProperties(sp, 10), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(setVariableByteArrayProperties(sp, 100), 0);
    EXPECT_EQ(swrite_blok(data.data() + 40, 10, sp), 10);
    EXPECT_EQ(contents(sp), data);
    EXPECT_EQ(setVariableByteArrayProperties(sp, 0), 0); /* no limit */
    std::string big = pattern(5000);
    EXPECT_EQ(swrite_blok(big.data(), 5000, sp), 5000);
    EXPECT_EQ(contents(sp), data + big);

    /* Read back what was written. */
    EXPECT_EQ(sseek(sp, 0, 0), 0);
    std::string back(5050, '\0');
    EXPECT_EQ(sread_blok(back.data(), 6000, sp), 5050);
    EXPECT_EQ(back, data + big);
    EXPECT_EQ(sclose(sp), 0);
}

TEST(StreamMemoryVariable, DefaultStepIs4096AndNoLimit)
{
    STREAM *sp = sopenVariableByteArray("w", 0, 0);
    ASSERT_NE(sp, nullptr);
    std::string data = pattern(5000);
    EXPECT_EQ(swrite_blok(data.data(), 5000, sp), 5000);
    EXPECT_EQ(sp->handle.mem->capacity, 8192);
    EXPECT_EQ(stream_printf(sp, "%d", 42), 2);
    EXPECT_EQ(contents(sp), data + "42");
    EXPECT_EQ(sclose(sp), 0);
}

TEST(StreamMemoryVariable, OverwriteInsideAndAppendMode)
{
    STREAM *sp = sopenVariableByteArray("w+", 8, 0);
    sputs("0123456789", sp);
    sseek(sp, 2, 0);
    sputs("ab", sp);
    EXPECT_EQ(contents(sp), "01ab456789");
    EXPECT_EQ(w_long(sp, 16909060), 0);
    EXPECT_EQ(contents(sp), std::string("01ab\x01\x02\x03\x04" "89", 10));
    sclose(sp);

    sp = sopenVariableByteArray("a+", 8, 0);
    sputs("xy", sp);
    sseek(sp, 0, 0);
    EXPECT_EQ(sgetc(sp), 'x');
    sputs("z", sp); /* appends, whatever the position */
    EXPECT_EQ(contents(sp), "xyz");
    sclose(sp);
}

TEST(StreamMemory, PropertyFunctionsRefuseOtherStreams)
{
    TempDir dir;
    STREAM *file = sopen((dir.path() + "/f").c_str(), "w");
    void *base = nullptr;
    long length = 0;
    EXPECT_EQ(getByteArrayProperties(file, &base, &length), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(setVariableByteArrayProperties(file, 10), -1);
    EXPECT_EQ(isFixedByteArray(file), 0);
    EXPECT_EQ(isFixedByteArray(nullptr), 0);
    EXPECT_EQ(getByteArrayProperties(nullptr, &base, &length), -1);
    sclose(file);
    char block[4];
    STREAM *fixed = sopenFixedByteArray(block, 4, "w");
    EXPECT_EQ(setVariableByteArrayProperties(fixed, 10), -1);
    struct stat st {};
    EXPECT_EQ(stream_fstat(fixed, &st), -1);
    EXPECT_EQ(errno, EBADF);
    sclose(fixed);
}

} // namespace
