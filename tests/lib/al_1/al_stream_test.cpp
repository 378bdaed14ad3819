/* Streams: open modes, buffering, direction switches, positions, lines,
 * characters, blocks and big-endian numbers over local files. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "al_stream.h"
#include "al_stream_test_util.h"
#include "run_program.h"

using streamtest::file_size;
using streamtest::PacketPair;
using streamtest::pattern;
using streamtest::run_in_child;
using streamtest::slurp;
using streamtest::spit;
using tdbtest::TempDir;

namespace {

/* ---- open modes --------------------------------------------------------- */

struct ModeCase {
    const char *mode;
    std::uint16_t access;  /* SF_READ / SF_WRITE */
    bool text;
};

void PrintTo(const ModeCase &c, std::ostream *os)
{
    *os << '"' << c.mode << '"';
}

class StreamMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(StreamMode, TableModesGiveTheirAccessAndTextFlag)
{
    TempDir dir;
    std::string path = dir.write("f", "data");
    const ModeCase &c = GetParam();
    if (c.mode[0] == 'x')
        ::unlink(path.c_str());
    STREAM *sp = sopen(path.c_str(), c.mode);
    ASSERT_NE(sp, nullptr) << c.mode << ": " << std::strerror(errno);
    EXPECT_EQ(sp->flags & (SF_READ | SF_WRITE), c.access) << c.mode;
    EXPECT_EQ((sp->flags & SF_TEXT) != 0, c.text) << c.mode;
    EXPECT_EQ(sp->bufsize, STREAM_DEFAULT_BUFSIZE);
    EXPECT_EQ(sclose(sp), 0);
}

constexpr std::uint16_t R = SF_READ, W = SF_WRITE, RW = SF_READ | SF_WRITE;

INSTANTIATE_TEST_SUITE_P(
    AllModes, StreamMode,
    ::testing::Values(ModeCase{"r", R, false}, ModeCase{"rb", R, false},
                      ModeCase{"rt", R, true}, ModeCase{"w", W, false},
                      ModeCase{"wb", W, false}, ModeCase{"wt", W, true},
                      ModeCase{"x", W, false}, ModeCase{"xb", W, false},
                      ModeCase{"xt", W, true}, ModeCase{"a", W, false},
                      ModeCase{"ab", W, false}, ModeCase{"at", W, true},
                      ModeCase{"r+", RW, false}, ModeCase{"rb+", RW, false},
                      ModeCase{"rt+", RW, true}, ModeCase{"w+", RW, false},
                      ModeCase{"wb+", RW, false}, ModeCase{"wt+", RW, true},
                      ModeCase{"x+", RW, false}, ModeCase{"xb+", RW, false},
                      ModeCase{"xt+", RW, true}, ModeCase{"a+", RW, false},
                      ModeCase{"ab+", RW, false}, ModeCase{"at+", RW, true}),
    [](const ::testing::TestParamInfo<ModeCase> &info) {
        std::string name;
        for (const char *p = info.param.mode; *p != '\0'; ++p)
            name += *p == '+' ? std::string("_plus") : std::string(1, *p);
        return name;
    });

TEST(StreamOpen, ModesOutsideTheTableFailWithEinval)
{
    TempDir dir;
    std::string path = dir.write("f", "data");
    for (const char *mode : {"rw", "", "r+b", "wbt", "z", "r++", "rbt", "R", "w+x"}) {
        errno = 0;
        EXPECT_EQ(sopen(path.c_str(), mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
    EXPECT_EQ(slurp(path), "data");
}

TEST(StreamOpen, OpenFlagsOfTheModesTruncateCreateAppendAndExclude)
{
    TempDir dir;
    std::string path = dir.path() + "/f";

    EXPECT_EQ(sopen(path.c_str(), "r+"), nullptr); /* r+ does not create */
    EXPECT_EQ(errno, ENOENT);

    STREAM *sp = sopen(path.c_str(), "w");
    ASSERT_NE(sp, nullptr);
    sputs("first", sp);
    sclose(sp);

    sp = sopen(path.c_str(), "x");
    EXPECT_EQ(sp, nullptr);
    EXPECT_EQ(errno, EEXIST);

    sp = sopen(path.c_str(), "a");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(stream_stell(sp, 1), 5);
    sputs("+more", sp);
    sclose(sp);
    EXPECT_EQ(slurp(path), "first+more");

    sp = sopen(path.c_str(), "a+");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sseek(sp, 0, 0), 0);
    char line[32];
    ASSERT_NE(sgets(line, sizeof line, sp), nullptr);
    EXPECT_STREQ(line, "first+more");
    sputs("!", sp); /* appending goes to the end whatever was read */
    sclose(sp);
    EXPECT_EQ(slurp(path), "first+more!");

    sp = sopen(path.c_str(), "w+");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(file_size(path), 0);
    sclose(sp);
}

TEST(StreamOpen, CreatesWithPermission0666BeforeTheMaskAndCloseOnExec)
{
    TempDir dir;
    std::string path = dir.path() + "/new";
    mode_t old = ::umask(0);
    STREAM *sp = sopen(path.c_str(), "w");
    ::umask(old);
    ASSERT_NE(sp, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    int fd = sfileno(sp);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(sclose(sp), 0);

    old = ::umask(022);
    sp = sopen((dir.path() + "/masked").c_str(), "w");
    ::umask(old);
    ASSERT_NE(sp, nullptr);
    ASSERT_EQ(::stat((dir.path() + "/masked").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    sclose(sp);
}

TEST(StreamOpen, ClosingTwiceOrNullFailsWithEbadf)
{
    TempDir dir;
    STREAM *sp = sopen((dir.path() + "/f").c_str(), "w");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sclose(sp), 0);
    errno = 0;
    EXPECT_EQ(sclose(sp), -1); /* no longer in the list: nothing touched */
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(sclose(nullptr), -1);
}

TEST(StreamOpen, SdopenOverAPipeCannotSeek)
{
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    STREAM *r = sdopen(p[0], "r");
    STREAM *w = sdopen(p[1], "w");
    ASSERT_NE(r, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(r->flags & SF_NOSEEK);
    EXPECT_EQ(sseek(r, 0, 0), -1);
    EXPECT_EQ(errno, ESPIPE);
    EXPECT_EQ(stream_stell(w, 1), -1);
    EXPECT_EQ(sfileno(r), p[0]);
    sputs("through the pipe\n", w);
    EXPECT_EQ(sclose(w), 0); /* flushes, closes the write end */
    char line[64];
    ASSERT_NE(sgets(line, sizeof line, r), nullptr);
    EXPECT_STREQ(line, "through the pipe");
    EXPECT_EQ(sgets(line, sizeof line, r), nullptr);
    EXPECT_EQ(seof(r), 1);
    EXPECT_EQ(sclose(r), 0);
    EXPECT_EQ(sdopen(-1, "r"), nullptr);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(sdopen(0, "rw"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

/* ---- writing ------------------------------------------------------------ */

TEST(StreamBuffer, TenThousandByteWriteGoesDirectForWholeBuffers)
{
    TempDir dir;
    std::string path = dir.path() + "/out";
    STREAM *sp = sopen(path.c_str(), "w");
    ASSERT_NE(sp, nullptr);
    std::string data = pattern(10000);
    EXPECT_EQ(swrite_blok(data.data(), 10000, sp), 10000);
    EXPECT_EQ(file_size(path), 8192);      /* written */
    EXPECT_EQ(sp->bufpos - sp->bufbase, 1808); /* kept */
    EXPECT_EQ(stream_stell(sp, 1), 10000);
    EXPECT_EQ(sclose(sp), 0);
    EXPECT_EQ(slurp(path), data);
}

TEST(StreamBuffer, WriteCallsAreOneBufferThenWholeBuffersThenTheFlush)
{
    PacketPair pair;
    ASSERT_TRUE(pair.ok());
    STREAM *sp = sdopen(pair.release_writer(), "w");
    ASSERT_NE(sp, nullptr);
    std::string data = pattern(10000);
    ASSERT_EQ(swrite_blok(data.data(), 10000, sp), 10000);
    EXPECT_EQ(pair.drain(), (std::vector<long>{4096, 4096}));
    ASSERT_EQ(sflush(sp), 0);
    EXPECT_EQ(pair.drain(), (std::vector<long>{1808}));
    EXPECT_EQ(sflush(sp), 0); /* nothing left: no write at all */
    EXPECT_TRUE(pair.drain().empty());

    /* 100 buffered, then 10000: the buffer is filled and flushed (4096),
       one whole buffer goes direct, 1908 stay. */
    std::string bytes;
    ASSERT_EQ(swrite_blok(data.data(), 100, sp), 100);
    EXPECT_TRUE(pair.drain().empty());
    ASSERT_EQ(swrite_blok(data.data(), 10000, sp), 10000);
    EXPECT_EQ(pair.drain(&bytes), (std::vector<long>{4096, 4096}));
    EXPECT_EQ(sclose(sp), 0);
    EXPECT_EQ(pair.drain(&bytes), (std::vector<long>{1908}));
    EXPECT_EQ(bytes, data.substr(0, 100) + data);
}

TEST(StreamBuffer, ExactlyFullBufferIsKeptUntilTheNextWrite)
{
    PacketPair pair;
    ASSERT_TRUE(pair.ok());
    STREAM *sp = sdopen(pair.release_writer(), "w");
    std::string data = pattern(4096);
    ASSERT_EQ(swrite_blok(data.data(), 4096, sp), 4096);
    EXPECT_TRUE(pair.drain().empty());
    ASSERT_EQ(sputc('z', sp), 'z');
    EXPECT_EQ(pair.drain(), (std::vector<long>{4096}));
    sclose(sp);
    EXPECT_EQ(pair.drain(), (std::vector<long>{1}));
}

TEST(StreamBuffer, SputcFlushesPerLineOrPerByteWhenAsked)
{
    PacketPair pair;
    ASSERT_TRUE(pair.ok());
    STREAM *sp = sdopen(pair.release_writer(), "w");
    std::string bytes;
    sputc('a', sp);
    sputc('\n', sp);
    EXPECT_TRUE(pair.drain().empty()); /* fully buffered by default */
    sflush(sp);
    pair.drain();

    ASSERT_EQ(ssetbuf(sp, 1), 0);
    sputc('a', sp);
    sputc('b', sp);
    EXPECT_TRUE(pair.drain().empty());
    sputc('\n', sp);
    EXPECT_EQ(pair.drain(&bytes), (std::vector<long>{3}));
    EXPECT_EQ(bytes, "ab\n");

    ASSERT_EQ(ssetbuf(sp, 2), 0);
    sputc('x', sp);
    sputc('y', sp);
    EXPECT_EQ(pair.drain(), (std::vector<long>{1, 1}));
    EXPECT_EQ(ssetbuf(sp, 3), -1);
    EXPECT_EQ(errno, EINVAL);
    sclose(sp);
}

TEST(StreamBuffer, SmallBufferFlushesWhenFullOnTheNextByte)
{
    TempDir dir;
    std::string path = dir.path() + "/small";
    STREAM *sp = sopen_ex(path.c_str(), "w", 4);
    ASSERT_NE(sp, nullptr);
    for (char c : std::string("abcd"))
        sputc(c, sp);
    EXPECT_EQ(file_size(path), 0);
    sputc('e', sp);
    EXPECT_EQ(file_size(path), 4);
    sclose(sp);
    EXPECT_EQ(slurp(path), "abcde");
}

TEST(StreamBuffer, UnbufferedStreamWritesEveryCallThrough)
{
    TempDir dir;
    std::string path = dir.path() + "/unbuf";
    STREAM *sp = sopen_ex(path.c_str(), "w", 0);
    ASSERT_NE(sp, nullptr);
    sputc('a', sp);
    EXPECT_EQ(file_size(path), 1);
    sputs("bcd", sp);
    EXPECT_EQ(file_size(path), 4);
    EXPECT_EQ(sp->bufbase, nullptr);
    sclose(sp);
}

TEST(StreamFlush, WriteErrorDiscardsTheBufferAndSetsTheErrorFlag)
{
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ::fcntl(p[1], F_SETFL, O_NONBLOCK);
    std::string block(4096, 'f');
    while (::write(p[1], block.data(), block.size()) > 0) {
    }
    ::fcntl(p[0], F_SETFL, O_NONBLOCK);
    STREAM *sp = sdopen(p[1], "w");
    ASSERT_NE(sp, nullptr);
    ASSERT_EQ(sputs("lost", sp), 0);
    errno = 0;
    EXPECT_EQ(sflush(sp), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(serror(sp), 1);
    EXPECT_EQ(sp->flags & SF_WDATA, 0); /* discarded */
    /* Empty the pipe: nothing of "lost" was written, nor is it later. */
    std::string drained;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) > 0)
        drained.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(drained.find("lost"), std::string::npos);
    EXPECT_EQ(sflush(sp), 0);
    EXPECT_EQ(::read(p[0], buf, sizeof buf), -1);
    EXPECT_EQ(sclose(sp), 0);
    ::close(p[0]);
}

TEST(StreamFlush, ShortWriteKeepsTheUnwrittenTailAtTheStart)
{
    TempDir dir;
    std::string path = dir.path() + "/limited";
    std::string data = pattern(3000);
    /* A file size limit of 1000 bytes makes the write short. */
    int rc = run_in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl {};
        ::getrlimit(RLIMIT_FSIZE, &rl);
        rlim_t hard = rl.rlim_max;
        rl.rlim_cur = 1000;
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0)
            return 10;
        STREAM *sp = sopen(path.c_str(), "w");
        if (sp == nullptr || swrite_blok(data.data(), 3000, sp) != 3000)
            return 11;
        if (sflush(sp) != -1 || errno != EAGAIN)
            return 12;
        if (file_size(path) != 1000 || serror(sp) != 0)
            return 13;
        if (sp->bufpos - sp->bufbase != 2000 ||
            std::memcmp(sp->bufbase, data.data() + 1000, 2000) != 0)
            return 14;
        rl.rlim_cur = hard;
        ::setrlimit(RLIMIT_FSIZE, &rl);
        if (sflush(sp) != 0 || sclose(sp) != 0)
            return 15;
        return slurp(path) == data ? 0 : 16;
    });
    EXPECT_EQ(rc, 0);
}

/* ---- reading ------------------------------------------------------------ */

TEST(StreamBuffer, ReadBlockTakesWholeBuffersDirectAndTheRestThroughTheBuffer)
{
    TempDir dir;
    std::string data = pattern(20000);
    std::string path = dir.write("in", data);
    STREAM *sp = sopen(path.c_str(), "r");
    ASSERT_NE(sp, nullptr);
    std::string got(5000, '\0');
    ASSERT_EQ(sread_blok(got.data(), 5000, sp), 5000);
    EXPECT_EQ(got, data.substr(0, 5000));
    /* 4096 read straight, then one buffer fill of 4096: the file stands
       at 8192 while the stream is at 5000. */
    EXPECT_EQ(::lseek(sfileno(sp), 0, SEEK_CUR), 8192);
    EXPECT_EQ(sp->rcnt, 3192);
    EXPECT_EQ(stream_stell(sp, 0), 5000);
    EXPECT_EQ(stream_stell(sp, 1), 5000);
    EXPECT_EQ(sgetc(sp), static_cast<unsigned char>(data[5000]));

    /* Draining what the buffer holds first, then whole buffers direct. */
    std::string rest(15000, '\0');
    EXPECT_EQ(sread_blok(rest.data(), 15000, sp), 14999);
    EXPECT_EQ(rest.substr(0, 14999), data.substr(5001));
    EXPECT_EQ(seof(sp), 1);
    EXPECT_EQ(sread_blok(rest.data(), 10, sp), 0);
    sclose(sp);
}

TEST(StreamBuffer, ReadFromWriteOnlyAndWriteToReadOnlyFailWithEbadf)
{
    TempDir dir;
    std::string path = dir.write("f", "abc");
    STREAM *r = sopen(path.c_str(), "r");
    STREAM *w = sopen((dir.path() + "/g").c_str(), "w");
    char buf[4];
    errno = 0;
    EXPECT_EQ(sread_blok(buf, 3, w), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(sgetc(w), -1);
    EXPECT_EQ(sskip(w, 1), -1);
    EXPECT_EQ(serror(w), 1);
    errno = 0;
    EXPECT_EQ(swrite_blok("x", 1, r), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(sputc('x', r), -1);
    EXPECT_EQ(serror(r), 1);
    EXPECT_EQ(sseek(r, 0, 0), 0); /* a successful seek clears the flag */
    EXPECT_EQ(serror(r), 0);
    sclose(r);
    sclose(w);
    EXPECT_EQ(slurp(path), "abc");
}

TEST(StreamBuffer, DirectionSwitchesOnOneReadWriteStream)
{
    TempDir dir;
    std::string path = dir.write("rw", "0123456789");
    STREAM *sp = sopen(path.c_str(), "r+");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sgetc(sp), '0');
    EXPECT_EQ(sp->rcnt, 9);
    /* Writing after reading seeks back to the logical position (1) and
       drops the read data. */
    EXPECT_EQ(sputc('X', sp), 'X');
    EXPECT_EQ(sp->flags & SF_RDATA, 0);
    EXPECT_EQ(::lseek(sfileno(sp), 0, SEEK_CUR), 1);
    EXPECT_EQ(stream_stell(sp, 1), 2);
    /* Reading after writing flushes first. */
    EXPECT_EQ(sgetc(sp), '2');
    EXPECT_EQ(slurp(path), "0X23456789");
    EXPECT_EQ(sputs("YZ", sp), 0);
    char rest[16];
    ASSERT_NE(sgets(rest, sizeof rest, sp), nullptr);
    EXPECT_STREQ(rest, "56789");
    EXPECT_EQ(sclose(sp), 0);
    EXPECT_EQ(slurp(path), "0X2YZ56789");
}

TEST(StreamBuffer, SeekInsideTheReadBufferOnlyMovesThePosition)
{
    TempDir dir;
    std::string data = pattern(10000);
    std::string path = dir.write("seek", data);
    STREAM *sp = sopen(path.c_str(), "r");
    ASSERT_NE(sp, nullptr);
    int fd = sfileno(sp);
    ASSERT_EQ(sgetc(sp), static_cast<unsigned char>(data[0]));
    ASSERT_EQ(::lseek(fd, 0, SEEK_CUR), 4096);

    ::lseek(fd, 7, SEEK_SET); /* a seek of the file would undo this */
    EXPECT_EQ(sseek(sp, 100, 0), 100);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 7);
    EXPECT_EQ(sgetc(sp), static_cast<unsigned char>(data[100]));
    EXPECT_EQ(sseek(sp, -51, 1), 50);
    EXPECT_EQ(sgetc(sp), static_cast<unsigned char>(data[50]));
    EXPECT_EQ(sseek(sp, 4096, 0), 4096); /* the end of the buffer's data */
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 7);
    ::lseek(fd, 4096, SEEK_SET);

    /* Outside the buffer: the file is sought and the buffer emptied. */
    EXPECT_EQ(sseek(sp, 5000, 0), 5000);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 5000);
    EXPECT_EQ(sp->rcnt, 0);
    EXPECT_EQ(sgetc(sp), static_cast<unsigned char>(data[5000]));
    EXPECT_EQ(sseek(sp, -5001, 1), 0); /* relative to the logical 5001 */
    EXPECT_EQ(sgetc(sp), static_cast<unsigned char>(data[0]));
    EXPECT_EQ(sseek(sp, -1, 2), 9999);
    EXPECT_EQ(sgetc(sp), static_cast<unsigned char>(data[9999]));
    EXPECT_EQ(sgetc(sp), -1);
    EXPECT_EQ(seof(sp), 1);
    EXPECT_EQ(sseek(sp, 0, 0), 0);
    EXPECT_EQ(seof(sp), 0);
    EXPECT_EQ(sseek(sp, -1, 0), -1);
    EXPECT_EQ(sseek(sp, 0, 3), -1);
    EXPECT_EQ(errno, EINVAL);
    sclose(sp);
}

TEST(StreamBuffer, SeekToTheEndInsideABufferThatReachesIt)
{
    TempDir dir;
    std::string path = dir.write("short", "abcdef");
    STREAM *sp = sopen(path.c_str(), "r");
    ASSERT_EQ(sgetc(sp), 'a');
    ::lseek(sfileno(sp), 2, SEEK_SET); /* shows whether the file is sought */
    EXPECT_EQ(sseek(sp, 0, 2), 6);
    EXPECT_EQ(::lseek(sfileno(sp), 0, SEEK_CUR), 2);
    EXPECT_EQ(sp->rcnt, 0);
    EXPECT_EQ(sseek(sp, 1, 0), 1);
    EXPECT_EQ(sgetc(sp), 'b');
    sclose(sp);
}

TEST(StreamBuffer, TellFromCountersOrFromTheFile)
{
    TempDir dir;
    std::string path = dir.write("tell", pattern(300));
    STREAM *sp = sopen(path.c_str(), "r");
    for (int i = 0; i < 3; ++i)
        sgetc(sp);
    EXPECT_EQ(stream_stell(sp, 0), 3);
    EXPECT_EQ(stream_stell(sp, 1), 3);
    /* Moving the descriptor behind the stream's back shows which source
       each form uses. */
    ::lseek(sfileno(sp), 1000, SEEK_SET);
    EXPECT_EQ(stream_stell(sp, 0), 3);
    EXPECT_EQ(stream_stell(sp, 1), 1000 - 297);
    sclose(sp);

    STREAM *w = sopen((dir.path() + "/w").c_str(), "w");
    sputs("12345", w);
    EXPECT_EQ(stream_stell(w, 0), 5); /* unwritten bytes count */
    EXPECT_EQ(stream_stell(w, 1), 5);
    sclose(w);
}

TEST(StreamBuffer, SkipReadsPastBytes)
{
    TempDir dir;
    std::string data = pattern(10000);
    std::string path = dir.write("skip", data);
    STREAM *sp = sopen(path.c_str(), "r");
    sgetc(sp);
    EXPECT_EQ(sskip(sp, 5000), 0);
    EXPECT_EQ(sgetc(sp), static_cast<unsigned char>(data[5001]));
    EXPECT_EQ(sskip(sp, 100000), 0); /* past the end: still 0 */
    EXPECT_EQ(sgetc(sp), -1);
    sclose(sp);
}

/* ---- buffer sharing ----------------------------------------------------- */

TEST(StreamBuffer, IdleBufferOfTheSameSizeIsTakenOver)
{
    TempDir dir;
    std::string a_data = pattern(6000);
    std::string a = dir.write("a", a_data);
    std::string b = dir.write("b", "bbbb");
    STREAM *sa = sopen(a.c_str(), "r");
    STREAM *sb = sopen(b.c_str(), "r");
    EXPECT_EQ(sa->bufbase, nullptr); /* allocated on first use */
    sgetc(sa);
    unsigned char *a_buf = sa->bufbase;
    ASSERT_NE(a_buf, nullptr);
    /* sa holds unread data: sb gets a buffer of its own. */
    EXPECT_EQ(sgetc(sb), 'b');
    EXPECT_NE(sb->bufbase, a_buf);

    /* sa drained to the end of its buffer: it is idle, and a writer with
       the same buffer size takes it. */
    std::string first(4095, '\0');
    ASSERT_EQ(sread_blok(first.data(), 4095, sa), 4095);
    EXPECT_EQ(sa->rcnt, 0);
    STREAM *sc = sopen((dir.path() + "/c").c_str(), "w");
    sputs("written", sc);
    EXPECT_EQ(sc->bufbase, a_buf);
    EXPECT_EQ(sa->bufbase, nullptr);
    EXPECT_EQ(sa->flags & SF_RDATA, 0);

    /* sa reads on correctly with another buffer; sc's unwritten data is
       not idle, so sa cannot take that one. */
    EXPECT_EQ(sgetc(sa), static_cast<unsigned char>(a_data[4096]));
    EXPECT_NE(sa->bufbase, a_buf);
    EXPECT_NE(sa->bufbase, nullptr);

    /* A different buffer size never shares. */
    STREAM *sd = sopen_ex(b.c_str(), "r", 1024);
    sread_blok(first.data(), 3, sb); /* the "bbb" sb still held */
    EXPECT_EQ(sb->rcnt, 0);
    unsigned char *b_buf = sb->bufbase;
    EXPECT_EQ(sgetc(sd), 'b');
    EXPECT_NE(sd->bufbase, b_buf);
    EXPECT_EQ(sb->bufbase, b_buf);

    EXPECT_EQ(sclose(sc), 0);
    EXPECT_EQ(slurp(dir.path() + "/c"), "written");
    sclose(sa);
    sclose(sb);
    sclose(sd);
}

TEST(StreamBuffer, InterleavedStreamsSharingBuffersKeepTheirData)
{
    TempDir dir;
    std::string x = pattern(9000), y = pattern(7000).substr(13) + "tail";
    STREAM *sx = sopen(dir.write("x", x).c_str(), "r");
    STREAM *sy = sopen(dir.write("y", y).c_str(), "r");
    STREAM *out = sopen((dir.path() + "/out").c_str(), "w");
    std::string got_x, got_y, written;
    for (size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
        if (i < x.size()) {
            int c = sgetc(sx);
            got_x += static_cast<char>(c);
            sputc(c, out);
            written += static_cast<char>(c);
        }
        if (i < y.size())
            got_y += static_cast<char>(sgetc(sy));
        if (i % 1000 == 0)
            sflush(out); /* makes out's buffer idle now and then */
    }
    EXPECT_EQ(got_x, x);
    EXPECT_EQ(got_y, y);
    EXPECT_EQ(sgetc(sx), -1);
    EXPECT_EQ(sclose(out), 0);
    EXPECT_EQ(slurp(dir.path() + "/out"), written);
    sclose(sx);
    sclose(sy);
}

/* ---- characters and lines ----------------------------------------------- */

std::vector<std::string> read_lines(const std::string &content, int size,
                                    bool cr_rule = true)
{
    TempDir dir;
    STREAM *sp = sopen(dir.write("lines", content).c_str(), "r");
    std::vector<std::string> lines;
    std::vector<char> buf(static_cast<size_t>(size));
    while ((cr_rule ? sgets(buf.data(), size, sp) : sbgets(buf.data(), size, sp)) != nullptr)
        lines.emplace_back(buf.data());
    sclose(sp);
    return lines;
}

using Lines = std::vector<std::string>;

TEST(StreamLines, LongerLineComesInPiecesOfSizeMinusOne)
{
    EXPECT_EQ(read_lines("abcdefg\n", 5), (Lines{"abcd", "efg"}));
    EXPECT_EQ(read_lines("abcdefghi", 5), (Lines{"abcd", "efgh", "i"}));
}

TEST(StreamLines, CarriageReturnBeforeLineFeedIsDroppedALoneOneKept)
{
    EXPECT_EQ(read_lines("one\r\ntwo\r\n", 80), (Lines{"one", "two"}));
    EXPECT_EQ(read_lines("a\rb\n\r\n", 80), (Lines{"a\rb", ""}));
    EXPECT_EQ(read_lines("end\r", 80), (Lines{"end\r"}));
    EXPECT_EQ(read_lines("one\r\n", 80, false), (Lines{"one\r"}));
}

TEST(StreamLines, LineThatJustFitsIsNotFollowedByAnEmptyPiece)
{
    EXPECT_EQ(read_lines("abcd\nxy\n", 5), (Lines{"abcd", "xy"}));
    EXPECT_EQ(read_lines("abc\r\nxy\n", 5), (Lines{"abc", "xy"}));
    EXPECT_EQ(read_lines("abcd\r\n", 5), (Lines{"abcd", ""}));
    EXPECT_EQ(read_lines("\n\nlast", 5), (Lines{"", "", "last"}));
}

TEST(StreamLines, SizeBelowTwoOrNullArgumentsFail)
{
    TempDir dir;
    STREAM *sp = sopen(dir.write("f", "abc\n").c_str(), "r");
    char buf[4];
    EXPECT_EQ(sgets(buf, 1, sp), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sgets(nullptr, 4, sp), nullptr);
    EXPECT_EQ(sgets(buf, 4, nullptr), nullptr);
    ASSERT_NE(sgets(buf, 4, sp), nullptr);
    EXPECT_STREQ(buf, "abc");
    sclose(sp);
}

TEST(StreamChars, UngetPutsBackIntoTheReadBuffer)
{
    TempDir dir;
    std::string path = dir.write("f", "ab");
    STREAM *sp = sopen(path.c_str(), "r");
    /* No read data yet: the byte comes back without effect. */
    EXPECT_EQ(sungetc('q', sp), 'q');
    EXPECT_EQ(sungetc(-1, sp), -1);
    EXPECT_EQ(sgetc(sp), 'a');
    EXPECT_EQ(sungetc('z', sp), 'z');
    EXPECT_EQ(stream_stell(sp, 0), 0);
    /* At the start of the buffer the data moves up to make room. */
    EXPECT_EQ(sungetc('y', sp), 'y');
    EXPECT_EQ(sgetc(sp), 'y');
    EXPECT_EQ(sgetc(sp), 'z');
    EXPECT_EQ(sgetc(sp), 'b');
    EXPECT_EQ(sgetc(sp), -1);
    EXPECT_EQ(sungetc('b', sp), 'b'); /* after end of file too */
    EXPECT_EQ(sgetc(sp), 'b');
    sclose(sp);

    STREAM *unbuf = sopen_ex(path.c_str(), "r", 0);
    EXPECT_EQ(sgetc(unbuf), 'a');
    EXPECT_EQ(sungetc('a', unbuf), -1);
    sclose(unbuf);
}

TEST(StreamChars, UngetIntoAFullBufferFails)
{
    TempDir dir;
    STREAM *sp = sopen_ex(dir.write("f", "abcdef").c_str(), "r", 4);
    EXPECT_EQ(sgetc(sp), 'a');
    EXPECT_EQ(sungetc('a', sp), 'a');
    EXPECT_EQ(sp->rcnt, 4);
    EXPECT_EQ(sungetc('x', sp), -1);
    EXPECT_EQ(sgetc(sp), 'a');
    sclose(sp);
}

TEST(StreamText, PrintfAndPutsWriteTheirText)
{
    TempDir dir;
    std::string path = dir.path() + "/p";
    STREAM *sp = sopen(path.c_str(), "w");
    EXPECT_EQ(stream_printf(sp, "%s%03d|%-4s|", "dbtst100", 7, "ok"), 17);
    EXPECT_EQ(sputs("line\n", sp), 0);
    std::string big(5000, 'x');
    EXPECT_EQ(stream_printf(sp, "%s", big.c_str()), 4095);
    EXPECT_EQ(sputs(nullptr, sp), -1);
    sclose(sp);
    EXPECT_EQ(slurp(path), "dbtst100007|ok  |line\n" + std::string(4095, 'x'));
}

/* ---- big-endian numbers and strings ------------------------------------- */

TEST(StreamBigEndian, WLongWritesMostSignificantByteFirst)
{
    TempDir dir;
    std::string path = dir.path() + "/be";
    STREAM *sp = sopen(path.c_str(), "w");
    EXPECT_EQ(w_long(sp, 16909060), 0);
    EXPECT_EQ(w_short(sp, 0x0506), 0);
    EXPECT_EQ(w_long(sp, -2), 0);
    EXPECT_EQ(w_short(sp, -1), 0);
    EXPECT_EQ(w_short(sp, 0x12345), 0); /* the low 16 bits */
    sclose(sp);
    EXPECT_EQ(slurp(path), std::string("\x01\x02\x03\x04\x05\x06\xff\xff\xff\xfe"
                                       "\xff\xff\x23\x45",
                                       14));

    sp = sopen(path.c_str(), "r");
    EXPECT_EQ(r_long(sp), 16909060);
    EXPECT_EQ(r_short(sp), 0x0506);
    EXPECT_EQ(r_long(sp), -2);
    EXPECT_EQ(r_short(sp), -1);
    EXPECT_EQ(r_short(sp), 0x2345);
    EXPECT_EQ(seof(sp), 0);
    EXPECT_EQ(r_long(sp), -1);
    EXPECT_EQ(seof(sp), 1);
    sclose(sp);
}

TEST(StreamBigEndian, StringsEndAtNulOrEndOfFile)
{
    TempDir dir;
    std::string path = dir.write("s", std::string("abc\0defgh\0\0xyz", 15));
    STREAM *sp = sopen(path.c_str(), "r");
    char buf[16];
    EXPECT_EQ(r_string(sp, buf), 3);
    EXPECT_STREQ(buf, "abc");
    /* The bounded form keeps size - 1 bytes and reads past the rest. */
    EXPECT_EQ(r_string_n(sp, buf, 3), 2);
    EXPECT_STREQ(buf, "de");
    EXPECT_EQ(r_string(sp, buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(r_string(sp, buf), 3);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(r_string(sp, buf), -1);
    EXPECT_EQ(r_string_n(sp, buf, 4), -1);
    EXPECT_EQ(r_string_n(sp, buf, 0), -1);
    sclose(sp);
}

} // namespace
