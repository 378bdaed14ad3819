/* Channel streams (stream_open_channel): the channel's functions see each
 * physical read and write, its close runs once per stream, and its flushed
 * notice follows only the caller's sflush. */
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "al_stream.h"

namespace {

/* A channel that records what the stream layer does with it. */
struct FakeChannel {
    std::string input;         /* bytes the reads hand out */
    size_t pos = 0;
    std::vector<std::string> writes;  /* one entry per write call */
    int closes = 0;
    int flushes = 0;
    long max_read = 1 << 20;   /* largest piece a read gives */
};

long fake_read(void *chan, void *buf, long n)
{
    auto *c = static_cast<FakeChannel *>(chan);
    long left = static_cast<long>(c->input.size() - c->pos);
    long take = std::min({n, left, c->max_read});
    c->input.copy(static_cast<char *>(buf), static_cast<size_t>(take), c->pos);
    c->pos += static_cast<size_t>(take);
    return take;
}

long fake_write(void *chan, const void *buf, long n)
{
    static_cast<FakeChannel *>(chan)->writes.emplace_back(static_cast<const char *>(buf),
                                                         static_cast<size_t>(n));
    return n;
}

int fake_close(void *chan)
{
    ++static_cast<FakeChannel *>(chan)->closes;
    return 0;
}

void fake_flushed(void *chan) { ++static_cast<FakeChannel *>(chan)->flushes; }

const StreamChannelOps kOps = {fake_read, fake_write, fake_close, fake_flushed};

TEST(ChannelStreamTest, WritesAreBufferedAndFlushedInOneCall)
{
    FakeChannel c;
    STREAM *sp = stream_open_channel(&c, &kOps, "w", -1);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(w_long(sp, 16909060), 0);
    EXPECT_EQ(sputs("ab", sp), 0);
    EXPECT_TRUE(c.writes.empty());
    EXPECT_EQ(sflush(sp), 0);
    ASSERT_EQ(c.writes.size(), 1u);
    EXPECT_EQ(c.writes[0], std::string("\x01\x02\x03\x04" "ab", 6));
    EXPECT_EQ(c.flushes, 1);
    EXPECT_EQ(sclose(sp), 0);
    EXPECT_EQ(c.closes, 1);
    EXPECT_EQ(c.flushes, 1) << "the final flush of sclose is no request flush";
}

TEST(ChannelStreamTest, FlushedFollowsOnlyTheCallersFlush)
{
    FakeChannel c;
    STREAM *sp = stream_open_channel(&c, &kOps, "w", 16);
    ASSERT_NE(sp, nullptr);
    std::string big(40, 'x');
    EXPECT_EQ(swrite_blok(big.data(), 40, sp), 40);
    EXPECT_FALSE(c.writes.empty()) << "a full buffer went out";
    EXPECT_EQ(c.flushes, 0);
    EXPECT_EQ(sflush(sp), 0);
    EXPECT_EQ(c.flushes, 1);
    std::string all;
    for (const auto &w : c.writes)
        all += w;
    EXPECT_EQ(all, big);
    sclose(sp);
}

TEST(ChannelStreamTest, ReadsFillTheBufferFromTheChannel)
{
    FakeChannel c;
    c.input = std::string("\0\0\x01\x00hello\0rest", 14);
    c.max_read = 3;
    STREAM *sp = stream_open_channel(&c, &kOps, "r", -1);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(r_long(sp), 256);
    char buf[16];
    EXPECT_EQ(r_string_n(sp, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(sread_blok(buf, 10, sp), 4);
    EXPECT_EQ(seof(sp), 1);
    sclose(sp);
    EXPECT_EQ(c.closes, 1);
}

TEST(ChannelStreamTest, ChannelStreamsCannotSeekAndHaveNoDescriptor)
{
    FakeChannel c;
    STREAM *sp = stream_open_channel(&c, &kOps, "r", -1);
    ASSERT_NE(sp, nullptr);
    errno = 0;
    EXPECT_EQ(sseek(sp, 0, 0), -1);
    EXPECT_EQ(errno, ESPIPE);
    EXPECT_EQ(stream_stell(sp, 1), -1);
    EXPECT_EQ(sfileno(sp), -1);
    sclose(sp);
}

TEST(ChannelStreamTest, BadArgumentsAreRefused)
{
    FakeChannel c;
    StreamChannelOps no_write = {fake_read, nullptr, fake_close, nullptr};
    errno = 0;
    EXPECT_EQ(stream_open_channel(&c, nullptr, "r", -1), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(stream_open_channel(&c, &no_write, "r", -1), nullptr);
    EXPECT_EQ(stream_open_channel(&c, &kOps, "rw", -1), nullptr);
    EXPECT_EQ(c.closes, 0);
}

TEST(ChannelStreamTest, UnbufferedChannelWritesEachCallThrough)
{
    FakeChannel c;
    STREAM *sp = stream_open_channel(&c, &kOps, "w", 0);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(w_short(sp, 0x0102), 0);
    ASSERT_EQ(c.writes.size(), 1u);
    EXPECT_EQ(c.writes[0], "\x01\x02");
    sclose(sp);
}

} // namespace
