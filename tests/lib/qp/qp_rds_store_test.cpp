/*
 * qp_rds_store_test.cpp: pages and the overflow file of row data sets: the
 * 17th page in the file, the file's name and exclusive create, its
 * failures, reset and close, the growing page table, million-row sets.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "al_env.h"
#include "al_mem.h"
#include "qp_test_support.h"

using namespace qptest;

namespace {

constexpr int kRow = 1000;

/* A plain set of one raw column over 1000-byte rows. */
RDS *open_plain(int flags = RDS_FIXED)
{
    rds_col c = col(RDS_SRAW, kRow, 0);
    return rds_open(kRow, kRow, 1, &c, 0, flags);
}

void fill(unsigned char *row, long n)
{
    for (int i = 0; i < kRow; i++)
        row[i] = static_cast<unsigned char>((n * 31 + i * 7 + (i >> 8)) & 0xff);
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using RdsStore = RdsTest;

TEST_F(RdsStore, SeventeenthPageGoesToTheOverflowFileAndReadsBackIntact)
{
    RDS *set = open_plain();
    ASSERT_NE(set, nullptr);
    unsigned char row[kRow];
    /* 131 rows fill 131000 bytes: still inside the 16 pages of 8192. */
    for (long n = 0; n < 131; n++) {
        fill(row, n);
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.pages, 16);
    EXPECT_EQ(st.overflow_bytes, 0);
    EXPECT_EQ(rds_overflow_name(set), nullptr);
    EXPECT_TRUE(tmp_files().empty());

    /* Row 131 crosses into the 17th page: its tail goes to the file. */
    for (long n = 131; n < 300; n++) {
        fill(row, n);
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    rds_get_stat(set, &st);
    EXPECT_EQ(st.pages, 16);
    EXPECT_EQ(st.page_table, 16);
    EXPECT_EQ(st.overflow_bytes, 300L * kRow - 16 * 8192);
    ASSERT_NE(rds_overflow_name(set), nullptr);
    ASSERT_EQ(tmp_files().size(), 1u);

    for (long n = 0; n < 300; n++) {
        unsigned char back[kRow], want[kRow];
        fill(want, n);
        ASSERT_EQ(rds_get_seq(set, back), 0);
        ASSERT_EQ(std::memcmp(back, want, kRow), 0) << "row " << n;
    }
    EXPECT_EQ(rds_get_seq(set, row), RDS_EOS);

    /* Reading flushed the file: it holds exactly the bytes beyond the
     * pages, byte 131072 of the set being byte 72 of row 131. */
    std::string file = slurp(rds_overflow_name(set));
    ASSERT_EQ(file.size(), static_cast<size_t>(st.overflow_bytes));
    for (size_t i = 0; i < file.size(); i++) {
        long pos = 16 * 8192 + static_cast<long>(i);
        unsigned char want[kRow];
        fill(want, pos / kRow);
        ASSERT_EQ(static_cast<unsigned char>(file[i]), want[pos % kRow]) << "file byte " << i;
    }

    /* Rewriting a row inside the file is read back too. */
    std::memset(row, 0x5a, kRow);
    ASSERT_EQ(rds_put_idx(set, row, 200, 1), 0);
    unsigned char back[kRow];
    ASSERT_EQ(rds_get_idx(set, back, 200), 0);
    EXPECT_EQ(std::memcmp(back, row, kRow), 0);
    ASSERT_EQ(rds_get_idx(set, back, 201), 0);
    fill(row, 201);
    EXPECT_EQ(std::memcmp(back, row, kRow), 0);
}

TEST_F(RdsStore, OverflowFileIsNamedAfterTheProcessWithAHexCounter)
{
    RDS *a = open_plain();
    RDS *b = open_plain();
    unsigned char row[kRow] = {};
    for (int n = 0; n < 140; n++) {
        ASSERT_EQ(rds_put_seq(a, row), 0);
        ASSERT_EQ(rds_put_seq(b, row), 0);
    }
    char prefix[600];
    std::snprintf(prefix, sizeof prefix, "%s/qp%06d.", tmp->path().c_str(), static_cast<int>(getpid()));
    std::string na = rds_overflow_name(a), nb = rds_overflow_name(b);
    ASSERT_EQ(na.compare(0, std::strlen(prefix), prefix), 0) << na;
    ASSERT_EQ(nb.compare(0, std::strlen(prefix), prefix), 0) << nb;
    std::string ca = na.substr(std::strlen(prefix)), cb = nb.substr(std::strlen(prefix));
    const char *digits = "0123456789abcdef";
    ASSERT_FALSE(ca.empty());
    EXPECT_EQ(ca.find_first_not_of(digits), std::string::npos) << ca;
    EXPECT_EQ(cb.find_first_not_of(digits), std::string::npos) << cb;
    EXPECT_EQ(std::stoul(cb, nullptr, 16), std::stoul(ca, nullptr, 16) + 1);
    /* The process id is written with six digits at least. */
    char pid6[32];
    std::snprintf(pid6, sizeof pid6, "%06d", static_cast<int>(getpid()));
    EXPECT_NE(na.find(std::string("/qp") + pid6 + "."), std::string::npos);
}

TEST_F(RdsStore, ExistingFilesAreNeverOpenedTheNextFreeNameIsTaken)
{
    unsigned char row[kRow] = {};
    RDS *a = open_plain();
    for (int n = 0; n < 140; n++)
        ASSERT_EQ(rds_put_seq(a, row), 0);
    std::string name = rds_overflow_name(a);
    ASSERT_EQ(rds_close(a), 0);
    EXPECT_EQ(access(name.c_str(), F_OK), -1) << "closing removes the file";

    /* Occupy the next two names the counter will give. */
    size_t dot = name.rfind('.');
    unsigned long counter = std::stoul(name.substr(dot + 1), nullptr, 16);
    char n1[512], n2[512], n3[512];
    std::snprintf(n1, sizeof n1, "%s%lx", name.substr(0, dot + 1).c_str(), counter + 1);
    std::snprintf(n2, sizeof n2, "%s%lx", name.substr(0, dot + 1).c_str(), counter + 2);
    std::snprintf(n3, sizeof n3, "%s%lx", name.substr(0, dot + 1).c_str(), counter + 3);
    std::ofstream(n1) << "someone else's";
    std::ofstream(n2) << "and another";

    RDS *b = open_plain();
    for (int n = 0; n < 140; n++)
        ASSERT_EQ(rds_put_seq(b, row), 0);
    EXPECT_STREQ(rds_overflow_name(b), n3);
    EXPECT_EQ(slurp(n1), "someone else's");
    EXPECT_EQ(slurp(n2), "and another");
    ASSERT_EQ(rds_close(b), 0);
    EXPECT_EQ(access(n3, F_OK), -1);
    EXPECT_EQ(slurp(n1), "someone else's");
}

TEST_F(RdsStore, UnwritableTemporaryDirectoryFailsWithQueryError304)
{
    std::string missing = tmp->path() + "/missing";
    set_tse_tmp(missing.c_str());
    RDS *set = open_plain();
    unsigned char row[kRow] = {};
    for (int n = 0; n < 131; n++)
        ASSERT_EQ(rds_put_seq(set, row), 0);
    Recorder rec;
    EXPECT_EQ(rds_put_seq(set, row), -1);
    EXPECT_EQ(qp_errno, QP_ERR_OVERFLOW_OPEN);
    char prefix[600];
    std::snprintf(prefix, sizeof prefix, "%s/qp%06d.", missing.c_str(), static_cast<int>(getpid()));
    EXPECT_EQ(rec.count_prefix(std::string("Can't create overflow-file <") + prefix), 1);
    EXPECT_EQ(rec.count_prefix(std::string("Can't open ") + prefix), 1);
    bool with_errno = false;
    for (const auto &m : rec.messages)
        if (m.find("(error 2)") != std::string::npos)
            with_errno = true;
    EXPECT_TRUE(with_errno);
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.rows, 131);
}

TEST_F(RdsStore, ResetGivesEverythingBackAndTheSetIsUsableAgain)
{
    RDS *set = open_plain();
    unsigned char row[kRow];
    for (long n = 0; n < 200; n++) {
        fill(row, n);
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    std::string name = rds_overflow_name(set);
    ASSERT_EQ(access(name.c_str(), F_OK), 0);
    ASSERT_EQ(rds_reset(set, 0), 0);
    EXPECT_EQ(access(name.c_str(), F_OK), -1);
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.rows, 0);
    EXPECT_EQ(st.pages, 0);
    EXPECT_EQ(st.bytes, 0);
    EXPECT_EQ(rds_overflow_name(set), nullptr);
    EXPECT_EQ(rds_get_seq(set, row), RDS_EOS);
    for (long n = 0; n < 150; n++) {
        fill(row, n + 1000);
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    for (long n = 0; n < 150; n++) {
        unsigned char want[kRow];
        fill(want, n + 1000);
        ASSERT_EQ(rds_get_seq(set, row), 0);
        ASSERT_EQ(std::memcmp(row, want, kRow), 0);
    }
}

TEST_F(RdsStore, GrowingPageTableKeepsEveryRowInMemory)
{
    RDS *set = open_plain(RDS_FIXED | RDS_GROW);
    unsigned char row[kRow];
    for (long n = 0; n < 300; n++) {
        fill(row, n);
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.overflow_bytes, 0);
    EXPECT_EQ(rds_overflow_name(set), nullptr);
    EXPECT_TRUE(tmp_files().empty());
    /* 300000 bytes need 37 pages: the table grew 16, 20, 26, 33, 42. */
    EXPECT_EQ(st.pages, 37);
    EXPECT_EQ(st.page_table, 42);
    for (long n = 0; n < 300; n++) {
        unsigned char want[kRow];
        fill(want, n);
        ASSERT_EQ(rds_get_seq(set, row), 0);
        ASSERT_EQ(std::memcmp(row, want, kRow), 0);
    }
}

TEST_F(RdsStore, ReadsBeyondTheWrittenBytesFail)
{
    RDS *set = open_plain();
    unsigned char row[kRow] = {};
    for (int n = 0; n < 140; n++)
        ASSERT_EQ(rds_put_seq(set, row), 0);
    unsigned char buf[64];
    Recorder rec;
    /* Into the overflow file beyond its end. */
    EXPECT_EQ(rds_read_bytes(set, 140000, buf, 1), -1);
    EXPECT_TRUE(rec.logged("R: Part of overflow skipped (tot 8928 offset 8928)\n"))
        << (rec.messages.empty() ? "" : rec.messages[0]);
    /* Inside the pages beyond what was written. */
    RDS *small = open_plain();
    ASSERT_EQ(rds_put_seq(small, row), 0);
    EXPECT_EQ(rds_read_bytes(small, 990, buf, 20), -1);
    EXPECT_EQ(rec.count_prefix("Illegal condition at lib/qp/qp_rds_store.cpp:"), 1);
    EXPECT_EQ(rds_read_bytes(small, 990, buf, 10), 0);
}

TEST_F(RdsStore, AMillionCompressedRowsReadBackInOrder)
{
    std::vector<rds_col> cols = {col(RDS_LONG, 4, 0), col(RDS_SHORT, 2, 4),
                                 col(RDS_LSTRING, 30, 6), col(RDS_DOUBLE, 8, 36)};
    RDS *set = rds_open(44, 44, 4, cols.data(), 0, RDS_COMPRESSED);
    unsigned char row[44];
    auto make = [&](long n) {
        put32(row, n);
        put16(row + 4, static_cast<int>(n % 1000));
        std::memset(row + 6, ' ', 30);
        int len = std::snprintf(reinterpret_cast<char *>(row + 6), 30, "name %ld", n / 10);
        row[6 + len] = ' ';
        double d = static_cast<double>(n / 100) * 0.5;
        std::memcpy(row + 36, &d, 8);
    };
    const long rows = 1000000;
    for (long n = 0; n < rows; n++) {
        make(n);
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.rows, rows);
    EXPECT_GT(st.overflow_bytes, 0);
    EXPECT_EQ(rds_full(set, rows), 1);
    EXPECT_EQ(rds_full(set, rows + 1), 0);
    unsigned char back[44];
    for (long n = 0; n < rows; n++) {
        make(n);
        ASSERT_EQ(rds_get_seq(set, back), 0);
        ASSERT_EQ(std::memcmp(back, row, 44), 0) << "row " << n;
    }
    EXPECT_EQ(rds_get_seq(set, back), RDS_EOS);
}

TEST_F(RdsStore, AMillionPlainRowsReadBackInOrderThroughAnIndex)
{
    rds_col c = col(RDS_LONG, 4, 0);
    RDS *set = rds_open(4, 4, 1, &c, 0, RDS_FIXED | RDS_INDEXED);
    unsigned char row[4];
    const long rows = 1000000;
    for (long n = 0; n < rows; n++) {
        put32(row, n * 3);
        ASSERT_EQ(rds_put_seq(set, row), 0);
    }
    rds_stat st{};
    rds_get_stat(set, &st);
    EXPECT_EQ(st.overflow_bytes, 4 * rows - 16 * 8192);
    /* The index keeps them sorted for binary search. */
    put32(row, 1500001);
    long pos = -1;
    EXPECT_EQ(rds_srch(set, row, &pos, nullptr, nullptr), 0);
    EXPECT_EQ(pos, 500001);
    put32(row, 2999998);
    EXPECT_EQ(rds_srch(set, row, &pos, nullptr, nullptr), 0);
    EXPECT_EQ(pos, rows);
    put32(row, 2999997);
    EXPECT_EQ(rds_srch(set, row, &pos, nullptr, nullptr), 1);
    EXPECT_EQ(pos, 999999);
    for (long n = 0; n < rows; n++) {
        ASSERT_EQ(rds_get_seq(set, row), 0);
        ASSERT_EQ(get32(row), n * 3) << "row " << n;
    }
}

TEST_F(RdsStore, PagesOfClosedSetsAreReusedAndCleanupReleasesThem)
{
    RDS *a = open_plain();
    unsigned char row[kRow] = {};
    for (int n = 0; n < 50; n++)
        ASSERT_EQ(rds_put_seq(a, row), 0);
    rds_close(a);
    /* A numbered group of its own: a second set reading and writing the
     * reused pages sees only its own bytes. */
    long id = mal_reserve_id(0, 0);
    rds_col c = col(RDS_SRAW, kRow, 0);
    RDS *b = rds_open(kRow, kRow, 1, &c, id, RDS_FIXED);
    rds_stat st{};
    rds_get_stat(b, &st);
    EXPECT_EQ(st.flags & RDS_OWN_POOL, 0);
    for (long n = 0; n < 50; n++) {
        fill(row, n);
        ASSERT_EQ(rds_put_seq(b, row), 0);
    }
    for (long n = 0; n < 50; n++) {
        unsigned char want[kRow];
        fill(want, n);
        ASSERT_EQ(rds_get_seq(b, row), 0);
        ASSERT_EQ(std::memcmp(row, want, kRow), 0);
    }
    rds_cleanup();
    /* The group given by the caller stays the caller's. */
    EXPECT_EQ(mal_free_id(id), 0);
}

} // namespace
