/*
 * qp_rds_compress_test.cpp: the compressed row stream byte for byte, sets
 * that read their reduced rows back, and the reader that decodes received
 * bytes on the other side of a pipe.
 */
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "qp_test_support.h"

using namespace qptest;

namespace {

/* long (0), short string of 4 (4), long string of 12 (8), short (20). */
std::vector<rds_col> mixed_cols()
{
    return {col(RDS_LONG, 4, 0), col(RDS_SSTRING, 4, 4), col(RDS_LSTRING, 12, 8),
            col(RDS_SHORT, 2, 20)};
}

struct Mixed {
    unsigned char b[22];
    Mixed(long l, const char *s, const char *ls, int sh)
    {
        put32(b, l);
        std::memset(b + 4, ' ', 16);
        std::memcpy(b + 4, s, std::strlen(s));
        std::memcpy(b + 8, ls, std::strlen(ls));
        put16(b + 20, sh);
    }
};

std::vector<unsigned char> set_bytes(RDS *set)
{
    rds_stat st{};
    rds_get_stat(set, &st);
    std::vector<unsigned char> out(static_cast<size_t>(st.bytes));
    if (!out.empty()) {
        EXPECT_EQ(rds_read_bytes(set, 0, out.data(), st.bytes), 0);
    }
    return out;
}

using CompressedStream = RdsTest;

TEST_F(CompressedStream, ReducedRowsMatchHandComputedBytes)
{
    auto cols = mixed_cols();
    RDS *set = rds_open(22, 22, 4, cols.data(), 0, RDS_COMPRESSED);
    ASSERT_NE(set, nullptr);
    rds_col *c = rds_get_cols(set);

    ASSERT_EQ(rds_put_seq(set, Mixed(7, "ab", "hello", -2).b), 0);
    ASSERT_EQ(rds_put_seq(set, Mixed(8, "ab", "hello", -2).b), 0);
    ASSERT_EQ(rds_put_seq(set, Mixed(8, "ab", "hello", -2).b), 0);
    c[1].state = 0; /* a user's marker, such as a NULL */
    ASSERT_EQ(rds_put_seq(set, Mixed(8, "zz", "hello", -2).b), 0);
    c[1].state = RDS_STATE_VALUE;
    ASSERT_EQ(rds_put_seq(set, Mixed(8, "ab", "", -2).b), 0);

    std::string expected =
        /* row 0: every column; the long string without its padding */
        "00 00 00 01 00 01 01 00 00 00 07 00 02 01 61 62 20 20 "
        "00 03 01 00 05 68 65 6c 6c 6f 00 04 11 ff fe "
        /* row 1: only column 1, which is also the last */
        "00 00 00 02 00 01 11 00 00 00 08 "
        /* row 2: equal to row 1 */
        "00 00 00 03 00 01 30 "
        /* row 3: column 2 changes state only */
        "00 00 00 04 00 02 10 "
        /* row 4: column 2 back to a value, column 3 all padding */
        "00 00 00 05 00 02 01 61 62 20 20 00 03 11 00 00";
    EXPECT_EQ(hex(set_bytes(set)), expected);

    /* Read back: the rows as put, the states as set. */
    unsigned char row[22];
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(hex(row, 22), hex(Mixed(7, "ab", "hello", -2).b, 22));
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(hex(row, 22), hex(Mixed(8, "ab", "hello", -2).b, 22));
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(hex(row, 22), hex(Mixed(8, "ab", "hello", -2).b, 22));
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(rds_get_read_cols(set)[1].state, 0);
    EXPECT_EQ(rds_get_read_cols(set)[1].prev_state, 1);
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(rds_get_read_cols(set)[1].state, 1);
    EXPECT_EQ(hex(row, 22), hex(Mixed(8, "ab", "", -2).b, 22));
    EXPECT_EQ(rds_get_seq(set, row), RDS_EOS);
    EXPECT_EQ(rds_get_eos(set), 1);
}

TEST_F(CompressedStream, LongRawLosesTrailingZerosAndArraysTravelWhole)
{
    std::vector<rds_col> cols = {col(RDS_LRAW, 10, 0), col(RDS_SSTRING, 3, 10, 2),
                                 col(RDS_SRAW, 2, 16)};
    RDS *set = rds_open(18, 18, 3, cols.data(), 0, RDS_COMPRESSED);
    ASSERT_NE(set, nullptr);
    unsigned char row[18] = {};
    row[0] = 0x01;
    row[1] = 0x00;
    row[2] = 0x02;
    std::memcpy(row + 10, "ab cd ", 6);
    row[16] = 0;
    row[17] = 0;
    ASSERT_EQ(rds_put_seq(set, row), 0);
    EXPECT_EQ(hex(set_bytes(set)), "00 00 00 01 00 01 01 00 03 01 00 02 "
                                   "00 02 01 61 62 20 63 64 20 00 03 11 00 00");
    unsigned char back[18];
    std::memset(back, 0xee, sizeof back);
    ASSERT_EQ(rds_get_seq(set, back), 0);
    EXPECT_EQ(hex(back, 18), hex(row, 18));
}

TEST_F(CompressedStream, SameRowTwiceIsABareMarkerAndReadsBackTwice)
{
    auto cols = mixed_cols();
    RDS *set = rds_open(22, 22, 4, cols.data(), 0, RDS_COMPRESSED);
    Mixed m(123456, "wxyz", "abcdefghijkl", 300);
    ASSERT_EQ(rds_put_seq(set, m.b), 0);
    rds_stat st{};
    rds_get_stat(set, &st);
    long first = st.bytes;
    ASSERT_EQ(rds_put_seq(set, m.b), 0);
    rds_get_stat(set, &st);
    EXPECT_EQ(st.bytes - first, 7);
    auto bytes = set_bytes(set);
    EXPECT_EQ(hex(bytes.data() + first, 7), "00 00 00 02 00 01 30");
    unsigned char a[22], b[22];
    ASSERT_EQ(rds_get_seq(set, a), 0);
    ASSERT_EQ(rds_get_seq(set, b), 0);
    EXPECT_EQ(hex(a, 22), hex(m.b, 22));
    EXPECT_EQ(hex(b, 22), hex(m.b, 22));
    EXPECT_EQ(st.rows, 2);
}

TEST_F(CompressedStream, StateAboveFifteenIsRefused)
{
    auto cols = mixed_cols();
    RDS *set = rds_open(22, 22, 4, cols.data(), 0, RDS_COMPRESSED);
    rds_get_cols(set)[2].state = 16;
    Recorder rec;
    EXPECT_EQ(rds_put_seq(set, Mixed(1, "a", "b", 1).b), -1);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds.cpp:"), 1);
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.rows, 0);
    EXPECT_EQ(st.bytes, 0);
}

TEST_F(CompressedStream, EncoderAndDecoderFunctionsRoundTripWithoutASet)
{
    auto cols = mixed_cols();
    auto dec = cols;
    for (auto &c : dec)
        c.state = 0;
    unsigned char prev[22] = {};
    unsigned char out[64];
    unsigned char row[22] = {};
    ASSERT_EQ(rds_reduced_max(cols.data(), 4), 4 + 7 + 7 + 17 + 5);
    Mixed m1(1, "a", "x", 5), m2(2, "a", "x", 5);
    int n = reduce_row(cols.data(), 4, m1.b, 0, prev, out);
    ASSERT_GT(n, 0);
    long nr = -1;
    EXPECT_EQ(expand_row(dec.data(), 4, out, static_cast<size_t>(n), row, &nr), n);
    EXPECT_EQ(nr, 0);
    EXPECT_EQ(hex(row, 22), hex(m1.b, 22));
    n = reduce_row(cols.data(), 4, m2.b, 1, prev, out);
    EXPECT_EQ(n, 11);
    EXPECT_EQ(expand_row(dec.data(), 4, out, static_cast<size_t>(n), row, &nr), n);
    EXPECT_EQ(nr, 1);
    EXPECT_EQ(hex(row, 22), hex(m2.b, 22));
    /* A negative row number cannot be written. */
    EXPECT_EQ(reduce_row(cols.data(), 4, m2.b, -1, prev, out), -1);
}

TEST_F(CompressedStream, DamagedBytesGiveDefinedResults)
{
    auto cols = mixed_cols();
    unsigned char row[22] = {};
    long nr = 0;
    auto expand = [&](std::vector<unsigned char> in) {
        auto c = cols;
        return expand_row(c.data(), 4, in.data(), in.size(), row, &nr);
    };
    /* End marks: a row number of 0, or fewer than 4 bytes. */
    EXPECT_EQ(expand({0, 0, 0, 0, 0, 1, 0x11}), 0);
    EXPECT_EQ(expand({0, 0, 1}), 0);
    /* Truncated inside the column header and inside the value. */
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 1}), -1);
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 1, 0x11, 0, 0}), -1);
    /* Column numbers 0 and beyond the last. */
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 0, 0x10}), -1);
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 5, 0x10}), -1);
    /* A long string longer than its column (12). */
    std::vector<unsigned char> tooLong = {0, 0, 0, 1, 0, 3, 0x11, 0, 13};
    tooLong.resize(tooLong.size() + 13, 'x');
    EXPECT_EQ(expand(tooLong), -1);
    /* No last-column bit before the bytes end. */
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 2, 0x00}), -1);
    /* The "same" mark on another column than 1. */
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 2, 0x30}), -1);
    /* State 15 is the highest a user may give; bit 0x40 is no state. */
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 2, 0x1f}), 7);
    EXPECT_EQ(expand({0, 0, 0, 1, 0, 2, 0x50}), -1);

    Recorder rec;
    std::vector<unsigned char> bad = {0, 0, 0, 1, 0, 9, 0x10};
    RDS_READER *r = rds_reader_open(cols.data(), 4, 22, bad.data(), bad.size());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(rds_reader_next(r, row), -1);
    EXPECT_EQ(rds_reader_next(r, row), RDS_EOS);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds_compress.cpp:"), 1);
    rds_reader_close(r);

    r = rds_reader_open(cols.data(), 4, 22, nullptr, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(rds_reader_next(r, row), RDS_EOS);
    rds_reader_close(r);
    /* A descriptor beyond the row is refused. */
    EXPECT_EQ(rds_reader_open(cols.data(), 4, 21, bad.data(), bad.size()), nullptr);
}

TEST_F(CompressedStream, ArbitraryReceivedBytesNeverReadOutsideTheBuffer)
{
    /* Each buffer is allocated to its exact size, so that a read past its
     * end is caught by the address sanitizer. */
    auto cols = mixed_cols();
    std::mt19937 gen(777);
    int rows = 0, damaged = 0;
    for (int round = 0; round < 3000; round++) {
        size_t n = gen() % 64;
        std::vector<unsigned char> bytes(n);
        for (auto &b : bytes) {
            /* Mostly small numbers, so that many inputs get far. */
            b = static_cast<unsigned char>(gen() % 4 == 0 ? gen() : gen() % 5);
        }
        if (n >= 4) {
            bytes[0] = bytes[1] = bytes[2] = 0;
            bytes[3] = 1;
        }
        std::unique_ptr<unsigned char[]> exact(new unsigned char[n > 0 ? n : 1]);
        if (n > 0)
            std::memcpy(exact.get(), bytes.data(), n);
        RDS_READER *r = rds_reader_open(cols.data(), 4, 22, exact.get(), n);
        ASSERT_NE(r, nullptr);
        unsigned char row[22];
        int rc = 0;
        int steps = 0;
        while ((rc = rds_reader_next(r, row)) == 0) {
            rows++;
            ASSERT_LT(++steps, 64) << "every row consumes bytes";
        }
        if (rc < 0)
            damaged++;
        EXPECT_EQ(rds_reader_next(r, row), RDS_EOS) << "a finished reader stays finished";
        rds_reader_close(r);
    }
    /* Both outcomes occur, so the generator reaches the decoder's paths. */
    EXPECT_GT(rows, 0);
    EXPECT_GT(damaged, 0);
}

/* Rows of every row-data type from a seeded generator; neighbouring rows
 * share most columns, as buffered updates of one table do. */
struct RowMaker {
    static constexpr int kLen = 64;
    std::vector<rds_col> cols = {col(RDS_LONG, 4, 0),   col(RDS_BYTE, 1, 4),
                                 col(RDS_SHORT, 2, 5),  col(RDS_FLOAT, 4, 7),
                                 col(RDS_DOUBLE, 8, 11), col(RDS_SSTRING, 4, 19, 2),
                                 col(RDS_LSTRING, 20, 27), col(RDS_SRAW, 3, 47),
                                 col(RDS_LRAW, 14, 50)};
    std::mt19937 gen{12345};
    unsigned char row[kLen] = {};
    void next(long n)
    {
        put32(row, n);
        for (size_t i = 1; i < cols.size(); i++) {
            if (gen() % 3 != 0 && n > 0)
                continue;
            const rds_col &c = cols[i];
            unsigned char *p = row + c.offset;
            size_t len = static_cast<size_t>(c.length) * c.elements;
            if (c.type == RDS_LSTRING || c.type == RDS_SSTRING) {
                size_t used = gen() % (len + 1);
                for (size_t k = 0; k < len; k++)
                    p[k] = k < used ? static_cast<unsigned char>('a' + gen() % 26) : ' ';
            } else if (c.type == RDS_LRAW) {
                size_t used = gen() % (len + 1);
                for (size_t k = 0; k < len; k++)
                    p[k] = k < used ? static_cast<unsigned char>(gen()) : 0;
            } else {
                for (size_t k = 0; k < len; k++)
                    p[k] = static_cast<unsigned char>(gen());
            }
        }
    }
};

bool write_all(int fd, const void *buf, size_t n)
{
    const auto *p = static_cast<const unsigned char *>(buf);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_all(int fd, void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

TEST_F(CompressedStream, DecoderInAChildProcessReadsTheRowsPutFromTheReceivedBytes)
{
    RowMaker maker;
    const int ncols = static_cast<int>(maker.cols.size());
    RDS *set = rds_open(RowMaker::kLen, RowMaker::kLen, ncols, maker.cols.data(), 0, RDS_COMPRESSED);
    ASSERT_NE(set, nullptr);
    const long rows = 20000;
    std::vector<unsigned char> expected;
    for (long n = 0; n < rows; n++) {
        maker.next(n);
        ASSERT_EQ(rds_put_seq(set, maker.row), 0);
        expected.insert(expected.end(), maker.row, maker.row + RowMaker::kLen);
    }
    rds_stat st{};
    rds_get_stat(set, &st);
    ASSERT_GT(st.overflow_bytes, 0) << "the set should reach its overflow file";

    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        /* The receiving side: byte count, record count, the bytes; then it
         * sends back every decoded row. */
        close(to_child[1]);
        close(from_child[0]);
        unsigned char head[8];
        if (!read_all(to_child[0], head, 8))
            _exit(2);
        long length = get32(head), count = get32(head + 4);
        std::vector<unsigned char> bytes(static_cast<size_t>(length));
        if (!read_all(to_child[0], bytes.data(), bytes.size()))
            _exit(3);
        RDS_READER *r = rds_reader_open(maker.cols.data(), ncols, RowMaker::kLen, bytes.data(),
                                        bytes.size());
        if (r == nullptr)
            _exit(4);
        unsigned char row[RowMaker::kLen];
        long got = 0;
        int rc;
        while ((rc = rds_reader_next(r, row)) == 0) {
            if (rds_reader_rownr(r) != got)
                _exit(5);
            if (!write_all(from_child[1], row, sizeof row))
                _exit(6);
            got++;
        }
        rds_reader_close(r);
        _exit(rc == RDS_EOS && got == count ? 0 : 7);
    }
    close(to_child[0]);
    close(from_child[1]);
    /* Send as a request would: the counts, then the set's bytes in pieces
     * of at most 3096 bytes. */
    unsigned char head[8];
    put32(head, st.bytes);
    put32(head + 4, st.rows);
    ASSERT_TRUE(write_all(to_child[1], head, 8));
    std::vector<unsigned char> piece(3096);
    for (long off = 0; off < st.bytes; off += 3096) {
        long n = std::min<long>(3096, st.bytes - off);
        ASSERT_EQ(rds_read_bytes(set, off, piece.data(), n), 0);
        ASSERT_TRUE(write_all(to_child[1], piece.data(), static_cast<size_t>(n)));
    }
    close(to_child[1]);
    std::vector<unsigned char> received(expected.size());
    bool all = read_all(from_child[0], received.data(), received.size());
    close(from_child[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(all);
    for (long n = 0; n < rows; n++)
        ASSERT_EQ(hex(received.data() + n * RowMaker::kLen, RowMaker::kLen),
                  hex(expected.data() + n * RowMaker::kLen, RowMaker::kLen))
            << "row " << n;

    /* The set reads the same rows back itself. */
    unsigned char row[RowMaker::kLen];
    for (long n = 0; n < rows; n++) {
        ASSERT_EQ(rds_get_seq(set, row), 0);
        ASSERT_EQ(std::memcmp(row, expected.data() + n * RowMaker::kLen, RowMaker::kLen), 0)
            << "row " << n;
    }
    EXPECT_EQ(rds_get_seq(set, row), RDS_EOS);
}

TEST_F(CompressedStream, PositionedReadsAndSkipsRestartTheExpansion)
{
    std::vector<rds_col> cols = {col(RDS_LONG, 4, 0), col(RDS_LSTRING, 16, 4)};
    RDS *set = rds_open(20, 20, 2, cols.data(), 0, RDS_COMPRESSED);
    unsigned char row[20];
    for (long n = 0; n < 100; n++) {
        put32(row, n / 3);
        std::memset(row + 4, ' ', 16);
        std::snprintf(reinterpret_cast<char *>(row + 4), 16, "v%ld", n % 7);
        row[4 + std::strlen(reinterpret_cast<char *>(row + 4))] = ' ';
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    ASSERT_EQ(rds_get_idx(set, row, 50), 0);
    EXPECT_EQ(get32(row), 16);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row + 4), 3), "v1 ");
    ASSERT_EQ(rds_get_idx(set, row, 10), 0);
    EXPECT_EQ(get32(row), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(row + 4), 3), "v3 ");
    ASSERT_EQ(rds_skip_seq(set, 88), 0);
    ASSERT_EQ(rds_get_seq(set, row), 0);
    EXPECT_EQ(get32(row), 33);
    EXPECT_EQ(rds_get_idx(set, row, 100), RDS_EOS);
    /* Compressed rows are only appended. */
    Recorder rec;
    EXPECT_EQ(rds_put_idx(set, row, 0, 0), -1);
    EXPECT_EQ(rds_del_idx(set, 0), -1);
    long pos = 0;
    EXPECT_EQ(rds_srch(set, row, &pos, nullptr, nullptr), -1);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds.cpp:"), 3);
}

} // namespace
