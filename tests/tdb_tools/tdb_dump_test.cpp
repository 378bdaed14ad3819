/*
 * Dump files: binary record layout byte for byte, sequences bounded by the
 * maximum size, validity marking and checking, reading back across files,
 * removal, text dumps with their timestamp line, the pre-header, progress,
 * and the -M size argument.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "run_program.h"
#include "tdb_dump.h"
#include "tdb_output.h"
#include "tdb_reconfig.h"

namespace {

using tdbtest::TempDir;

/* A record of length bytes whose content depends on its number. */
std::string record(int number, int length)
{
    std::string r(length, '\0');
    for (int i = 0; i < length; ++i)
        r[i] = static_cast<char>((number * 31 + i) & 0xFF);
    return r;
}

long fileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

class DumpFile : public testing::Test {
protected:
    void SetUp() override
    {
        close_dump();
        tdb_output_reset();
        pellano_compatibility = 0;
        base = dir.path() + "/R.dbtst100112";
    }
    void TearDown() override
    {
        close_dump();
        pellano_compatibility = 0;
    }
    /* Writes count records of length bytes and marks the dump valid. */
    void writeDump(int count, int length, int max_size, bool mark = true)
    {
        ASSERT_EQ(open_dump(base.c_str(), "w+", max_size, DUMP_CALLER_TOOL), 1);
        for (int i = 0; i < count; ++i) {
            std::string r = record(i, length);
            ASSERT_EQ(write_to_dump(r.data(), length), 1) << i;
        }
        if (mark) {
            ASSERT_EQ(mark_dump_oke(), 1);
        }
        close_dump();
    }
    /* Reads every record back; -1 ends the dump. */
    std::vector<std::string> readDump(int length, int *last_rc = nullptr)
    {
        std::vector<std::string> rows;
        EXPECT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
        std::string buf(length, '\0');
        int rc;
        while ((rc = read_from_dump(buf.data(), length)) == 1)
            rows.push_back(buf);
        if (last_rc != nullptr)
            *last_rc = rc;
        close_dump();
        return rows;
    }
    std::string name(int k) const
    {
        return k == 0 ? base : base + "." + std::to_string(k);
    }

    TempDir dir;
    std::string base;
};

TEST_F(DumpFile, BinaryLayoutIsValidityByteThenRecords)
{
    writeDump(3, 5, DUMP_MAX_SIZE);
    std::string bytes = dir.read("R.dbtst100112");
    ASSERT_EQ(bytes.size(), 1u + 3 * 5);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(bytes.substr(1), record(0, 5) + record(1, 5) + record(2, 5));
}

TEST_F(DumpFile, UnmarkedDumpHasZeroValidityByteAndIsRefused)
{
    writeDump(2, 8, DUMP_MAX_SIZE, false);
    EXPECT_EQ(static_cast<unsigned char>(dir.read("R.dbtst100112")[0]), 0x00);
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
    EXPECT_EQ(check_dump(), 0);
    close_dump();
    std::string buf(8, '\0');
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
    EXPECT_EQ(read_from_dump(buf.data(), 8), 0) << "an unmarked dump is not read";
}

TEST_F(DumpFile, EmptyDumpIsOneValidByte)
{
    writeDump(0, 10, DUMP_MAX_SIZE);
    EXPECT_EQ(dir.read("R.dbtst100112"), std::string(1, '\xFF'));
    int rc = 0;
    EXPECT_TRUE(readDump(10, &rc).empty());
    EXPECT_EQ(rc, -1);
}

TEST_F(DumpFile, SequenceSplitsBeforeTheRecordThatWouldExceedTheMaximum)
{
    writeDump(25, 100, 1000);
    EXPECT_EQ(fileSize(name(0)), 901) << "validity byte and 9 records";
    EXPECT_EQ(fileSize(name(1)), 901);
    EXPECT_EQ(fileSize(name(2)), 1 + 7 * 100);
    EXPECT_EQ(fileSize(name(3)), -1);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(static_cast<unsigned char>(dir.read(name(k).substr(dir.path().size() + 1))[0]), 0xFF) << k;
    std::vector<std::string> rows = readDump(100);
    ASSERT_EQ(rows.size(), 25u);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(rows[i], record(i, 100)) << i;
}

TEST_F(DumpFile, MaximumSmallerThanARecordGivesOneFilePerRecord)
{
    writeDump(3, 50, 10);
    EXPECT_EQ(fileSize(name(0)), 1) << "file 0 holds only the validity byte";
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(fileSize(name(k)), 51) << k;
    std::vector<std::string> rows = readDump(50);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2], record(2, 50));
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
    EXPECT_EQ(check_dump(), 1);
}

TEST_F(DumpFile, MissingMiddleFileEndsTheDump)
{
    writeDump(25, 100, 1000);
    ASSERT_EQ(std::remove(name(1).c_str()), 0);
    int rc = 0;
    EXPECT_EQ(readDump(100, &rc).size(), 9u);
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
    EXPECT_EQ(check_dump(), 1);
}

TEST_F(DumpFile, LastFileStillBeingWrittenIsRefused)
{
    writeDump(25, 100, 1000);
    FILE *fp = std::fopen(name(2).c_str(), "r+");
    ASSERT_NE(fp, nullptr);
    std::fputc(0x00, fp);
    std::fclose(fp);
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
    EXPECT_EQ(check_dump(), 0);
}

TEST_F(DumpFile, CheckLeavesTheDumpReadableFromTheStart)
{
    writeDump(12, 100, 1000);
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
    ASSERT_EQ(check_dump(), 1);
    std::string buf(100, '\0');
    ASSERT_EQ(read_from_dump(buf.data(), 100), 1);
    EXPECT_EQ(buf, record(0, 100));
}

TEST_F(DumpFile, TruncatedRecordIsAReadFailure)
{
    writeDump(3, 10, DUMP_MAX_SIZE);
    ASSERT_EQ(truncate(base.c_str(), 1 + 2 * 10 + 4), 0);
    int rc = 0;
    std::vector<std::string> rows = readDump(10, &rc);
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(rc, 0) << "a partial last record is not imported silently";
}

TEST_F(DumpFile, RemoveDeletesEveryFileOfTheSequence)
{
    writeDump(25, 100, 1000);
    EXPECT_EQ(remove_dump(base.c_str()), 1);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(fileSize(name(k)), -1) << k;
    EXPECT_EQ(remove_dump(base.c_str()), 1) << "nothing to remove is fine";
}

TEST_F(DumpFile, RemoveRefusedWhileADumpIsOpen)
{
    ASSERT_EQ(open_dump(base.c_str(), "w+", DUMP_MAX_SIZE, DUMP_CALLER_TOOL), 1);
    EXPECT_EQ(remove_dump(base.c_str()), 0);
    close_dump();
    EXPECT_EQ(remove_dump(base.c_str()), 1);
}

TEST_F(DumpFile, OpenRefusesBadArguments)
{
    std::string longName(1025, 'x');
    EXPECT_EQ(open_dump(longName.c_str(), "w+", 100, 5), 0);
    EXPECT_EQ(open_dump(base.c_str(), "w+", -1, 5), 0);
    EXPECT_EQ(open_dump(base.c_str(), "w+", 100, 0), 0);
    EXPECT_EQ(open_dump(base.c_str(), "w+", 100, 6), 0);
    EXPECT_EQ(open_dump((dir.path() + "/no/such/dir/R").c_str(), "w+", 100, 5), 0);
    ASSERT_EQ(open_dump(base.c_str(), "w+", 100, 5), 1);
    EXPECT_EQ(open_dump(base.c_str(), "w+", 100, 5), 0) << "one dump at a time";
    close_dump();
}

TEST_F(DumpFile, WriteAndReadWithoutOpenDumpFail)
{
    char buf[4] = {0};
    EXPECT_EQ(write_to_dump(buf, 4), 0);
    EXPECT_EQ(read_from_dump(buf, 4), 0);
    EXPECT_EQ(mark_dump_oke(), 0);
    EXPECT_EQ(check_dump(), 0);
    ASSERT_EQ(open_dump(base.c_str(), "w+", 100, 5), 1);
    EXPECT_EQ(write_to_dump(buf, 0), 0) << "a record has at least one byte";
    close_dump();
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 5), 1);
    EXPECT_EQ(read_from_dump(buf, 0), 1);
    EXPECT_EQ(read_from_dump(buf, -1), 0);
}

/* ---- text dumps --------------------------------------------------------- */

bool looksLikeTimestamp(const std::string &line)
{
    const std::string mask = "0000-00-00 00:00:00.000\n";
    if (line.size() != mask.size())
        return false;
    for (size_t i = 0; i < mask.size(); ++i) {
        bool digit = isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (mask[i] == '0' ? !digit : line[i] != mask[i])
            return false;
    }
    return true;
}

TEST_F(DumpFile, TextDumpFilesAllStartWithTheSameTimestamp)
{
    ASSERT_EQ(open_dump(base.c_str(), "w", 50, 2), 1);
    for (const char *line : {"first line\n", "second line\n", "third line\n"})
        ASSERT_EQ(write_to_dump(line, static_cast<int>(std::strlen(line))), 1);
    close_dump();
    std::string file0 = dir.read("R.dbtst100112");
    std::string file1 = dir.read("R.dbtst100112.1");
    ASSERT_TRUE(looksLikeTimestamp(file0.substr(0, 24))) << file0;
    EXPECT_EQ(file1.substr(0, 24), file0.substr(0, 24));
    EXPECT_EQ(file0.substr(24), "first line\nsecond line\n");
    EXPECT_EQ(file1.substr(24), "third line\n");

    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 2), 1);
    char buf[64];
    std::vector<std::string> lines;
    int rc;
    while ((rc = read_from_dump(buf, sizeof buf)) == 1)
        lines.push_back(buf);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(lines, (std::vector<std::string>{"first line", "second line", "third line"}));
}

TEST_F(DumpFile, TextDumpWithForeignTimestampInALaterFileEnds)
{
    dir.write("R.dbtst100112", "2026-01-02 03:04:05.678\nline a\n");
    dir.write("R.dbtst100112.1", "2026-01-02 03:04:05.999\nline b\n");
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 2), 1);
    char buf[64];
    ASSERT_EQ(read_from_dump(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "line a");
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_from_dump(buf, sizeof buf), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Timestamp incorrect for '" + base + ".1' (end of dump assumed)\n");
}

TEST_F(DumpFile, TextDumpWithoutTimestampIsIgnoredInNormalMode)
{
    dir.write("R.dbtst100112", "no timestamp here\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_dump(base.c_str(), "r", 0, 2), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Timestamp incorrect or failing for '" + base + "' (dump ignored)\n");
    dir.write("R.dbtst100112", "");
    EXPECT_EQ(open_dump(base.c_str(), "r", 0, 2), 0) << "an empty text dump";
}

TEST_F(DumpFile, TextDumpWithoutTimestampIsReadFromTheStartInCompatibilityMode)
{
    pellano_compatibility = 1;
    dir.write("R.dbtst100112", "no timestamp here\nsecond\n");
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 2), 2);
    char buf[64];
    ASSERT_EQ(read_from_dump(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "no timestamp here");
    ASSERT_EQ(read_from_dump(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(read_from_dump(buf, sizeof buf), -1);
}

TEST_F(DumpFile, ReadByByteCountTerminatesTheBytes)
{
    dir.write("R.dbtst100112", "2026-01-02 03:04:05.678\nabcdefgh");
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 2), 1);
    char buf[6];
    ASSERT_EQ(read_from_dump_nbytes(buf, 5), 1);
    EXPECT_STREQ(buf, "abcde");
    ASSERT_EQ(read_from_dump_nbytes(buf, 5), 1);
    EXPECT_STREQ(buf, "fgh");
    EXPECT_EQ(read_from_dump_nbytes(buf, 5), -1);
}

TEST_F(DumpFile, PreHeaderIsTwentyTwoBytesAndReadsBack)
{
    ASSERT_EQ(open_dump(base.c_str(), "w", DUMP_MAX_SIZE, 2), 1);
    ASSERT_EQ(write_pre_header(42, 0xAB, 1), 1);
    close_dump();
    std::string text = dir.read("R.dbtst100112");
    EXPECT_EQ(text.substr(24), "#$!pre-dump!$#0042abf\n");
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 2), 1);
    int number = 0, byte = 0, flag = 0;
    ASSERT_EQ(read_pre_header(&number, &byte, &flag), 1);
    EXPECT_EQ(number, 42);
    EXPECT_EQ(byte, 0xAB);
    EXPECT_EQ(flag, 1);
    close_dump();
    dir.write("R.dbtst100112", "2026-01-02 03:04:05.678\n#$!pre-dump!$#0007ffv\n");
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 2), 1);
    ASSERT_EQ(read_pre_header(&number, &byte, &flag), 1);
    EXPECT_EQ(flag, 0);
    close_dump();
    dir.write("R.dbtst100112", "2026-01-02 03:04:05.678\nplain line\n");
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, 2), 1);
    EXPECT_EQ(read_pre_header(&number, &byte, &flag), 0);
}

TEST_F(DumpFile, ProgressRunsFromZeroToOneOverASequence)
{
    writeDump(25, 100, 1000);
    ASSERT_EQ(open_dump(base.c_str(), "r", 0, DUMP_CALLER_TOOL), 1);
    ASSERT_EQ(init_dump_progress(), 1);
    EXPECT_DOUBLE_EQ(dump_progress(), 0.0);
    std::string buf(100, '\0');
    double previous = 0;
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(read_from_dump(buf.data(), 100), 1);
        double now = dump_progress();
        EXPECT_GE(now, previous) << i;
        previous = now;
    }
    EXPECT_NEAR(previous, 1.0, 1e-9);
}

/* ---- the -M argument ---------------------------------------------------- */

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
