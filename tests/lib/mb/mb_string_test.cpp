/*
 * mb_string_test.cpp: the TSS encoding: lengths, stepping, wide values and
 * strings, search, fill, ASCII test and the masking of format strings,
 * including malformed input in exactly sized buffers.
 */
#include <cstring>
#include <memory>
#include <string>

#include "mb_test_support.h"

using mbtest::MbTest;
using mbtest::Recorder;

namespace {

class TssString : public MbTest {};

/* An exact-size heap copy without terminator: reading past it is caught
 * by AddressSanitizer. */
std::unique_ptr<char[]> exact(const std::string &bytes)
{
    auto p = std::make_unique<char[]>(bytes.size());
    std::memcpy(p.get(), bytes.data(), bytes.size());
    return p;
}

TEST_F(TssString, FourByteCharacterAndOneByteCountAsTwoWithTheirWideValues)
{
    const char s[] = "\x9b\x41\x42\x43x";
    EXPECT_EQ(TSSmblen(s), 2);
    EXPECT_EQ(TSSmblen_n(s, 5), 2);
    TSSwchar wide[3];
    EXPECT_EQ(TSSmbs2wcs(wide, s), 2);
    EXPECT_EQ(wide[0], 0x9B414243u);
    EXPECT_EQ(wide[1], 0x78u);
    EXPECT_EQ(wide[2], 0u);
    EXPECT_EQ(TSSmbs2wc(s), 0x9B414243u);
    EXPECT_EQ(TSSmbnext(s), s + 4);
    EXPECT_EQ(TSSmbnext(s + 4), s + 5);
    EXPECT_EQ(TSSmbnext(s + 5), nullptr);
}

TEST_F(TssString, TruncatedSequenceCountsNothingAndReportsError39)
{
    Recorder rec;
    const char s[] = "\x9b\x41\x42";
    EXPECT_EQ(TSSmblen_n(s, 3), 0);
    EXPECT_EQ(tss_errno, 39);
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0], "(Unknown locale) Partial multibyte character at end of string\n");
    /* The terminator inside the sequence ends it just the same. */
    tss_errno = 0;
    EXPECT_EQ(TSSmblen_n(s, 10), 0);
    EXPECT_EQ(tss_errno, 39);
}

TEST_F(TssString, ByteLimitCutsBeforeASequenceThatCrossesIt)
{
    Recorder rec;
    const char s[] = "ab\x9b\x41\x42\x43";
    EXPECT_EQ(TSSmblen_n(s, 2), 2);
    EXPECT_TRUE(rec.messages.empty());
    EXPECT_EQ(TSSmblen_n(s, 5), 2);
    EXPECT_EQ(tss_errno, 39);
    EXPECT_EQ(TSSmblen_n(s, 6), 3);
    EXPECT_EQ(TSSmblen_n(s, 0), 0);
}

TEST_F(TssString, ValidWideValues)
{
    EXPECT_EQ(TSSisvalidwc(155), 0);
    EXPECT_EQ(TSSisvalidwc(0x9B004142), 0);
    EXPECT_EQ(TSSisvalidwc(0x9B410042), 0);
    EXPECT_EQ(TSSisvalidwc(0x9B414200), 0);
    EXPECT_EQ(TSSisvalidwc(0), 0);
    EXPECT_EQ(TSSisvalidwc(256), 0);
    EXPECT_EQ(TSSisvalidwc(0x9A414243), 0);
    EXPECT_EQ(TSSisvalidwc(1), 1);
    EXPECT_EQ(TSSisvalidwc(154), 1);
    EXPECT_EQ(TSSisvalidwc(156), 1);
    EXPECT_EQ(TSSisvalidwc(255), 1);
    EXPECT_EQ(TSSisvalidwc(0x9B010101), 1);
}

TEST_F(TssString, IncompleteCharacterGivesNullOrZeroWithError40)
{
    Recorder rec;
    const char s[] = "\x9b\x41";
    EXPECT_EQ(TSSmbnext(s), nullptr);
    EXPECT_EQ(tss_errno, 40);
    tss_errno = 0;
    EXPECT_EQ(TSSmbs2wc(s), 0u);
    EXPECT_EQ(tss_errno, 40);
    EXPECT_EQ(rec.messages.back(), "(Unknown locale) Incomplete multibyte character\n");
}

TEST_F(TssString, ZeroByteInsideSequenceStopsEveryWalkWithoutReadingBeyond)
{
    Recorder rec;
    /* Each buffer is exactly as long as its bytes. */
    auto a = exact(std::string("x\x9b\x41\0\x42\x43", 6));
    EXPECT_EQ(TSSmblen(a.get()), 1);
    EXPECT_EQ(tss_errno, 42);
    EXPECT_EQ(TSSmblen_n(a.get(), 6), 1);
    EXPECT_EQ(tss_errno, 39);
    TSSwchar wide[4];
    EXPECT_EQ(TSSmbs2wcs(wide, a.get()), 1);
    EXPECT_EQ(wide[0], 'x');
    EXPECT_EQ(wide[1], 0u);
    auto b = exact(std::string("\x9b\x41\x42", 3));
    EXPECT_EQ(TSSmblen_n(b.get(), 3), 0);
    EXPECT_EQ(TSSmbs_n2wcs_n(wide, b.get(), 3, 4), 0);
    EXPECT_EQ(TssStringChr(b.get(), 3, 'A'), nullptr);
    auto c = exact(std::string("\x9b", 1));
    EXPECT_EQ(TSSmblen_n(c.get(), 1), 0);
    EXPECT_EQ(TssIsASCII(c.get(), 1), 0);
    char out[8];
    auto d = exact(std::string("\x9b%%", 3));
    EXPECT_EQ(TSSprep_fmt(out, d.get(), 4, 1), 2);
}

TEST_F(TssString, BoundedLengthsStopAt32767Bytes)
{
    std::string big(40000, 'a');
    EXPECT_EQ(TSSmblen(big.c_str()), 32767);
    EXPECT_EQ(TSSmblen_n(big.c_str(), 40000), 32767);
    EXPECT_EQ(TSSmblen_n(big.c_str(), 100), 100);
}

TEST_F(TssString, WideToBytesPutsTheLeadByteFirst)
{
    char out[8] = {};
    EXPECT_EQ(TSSwc2mbs(out, 'q'), 1);
    EXPECT_EQ(out[0], 'q');
    EXPECT_EQ(TSSwc2mbs(out, 0x9B818283), 4);
    EXPECT_EQ(std::string(out, 4), "\x9b\x81\x82\x83");
}

TEST_F(TssString, WideStringRoundTripAndByteCount)
{
    const char s[] = "a\x9b\x81\x82\x83\xe9z";
    TSSwchar wide[8];
    ASSERT_EQ(TSSmbs2wcs(wide, s), 4);
    EXPECT_EQ(TSSwclen(wide), 4);
    EXPECT_EQ(TSSwcs_bytes(wide), 7);
    TSSwchar copy[8];
    EXPECT_EQ(TSSwcscpy(copy, wide), copy);
    EXPECT_EQ(TSSwclen(copy), 4);
    char back[16];
    EXPECT_EQ(TSSwcs2mbs(back, copy), 7);
    EXPECT_STREQ(back, s);
}

TEST_F(TssString, CharacterLimitOfMbs2wcsN)
{
    TSSwchar wide[3] = {9, 9, 9};
    EXPECT_EQ(TSSmbs2wcs_n(wide, "\x9b\x81\x82\x83xyz", 2), 2);
    EXPECT_EQ(wide[0], 0x9B818283u);
    EXPECT_EQ(wide[1], 'x');
    EXPECT_EQ(wide[2], 0u);
}

TEST_F(TssString, ByteLimitAndRoomOfMbsN2wcsN)
{
    const char s[] = "ab\x9b\x81\x82\x83" "c";
    TSSwchar wide[8];
    /* The sequence would cross the byte limit 5. */
    EXPECT_EQ(TSSmbs_n2wcs_n(wide, s, 5, 8), 2);
    EXPECT_EQ(wide[2], 0u);
    EXPECT_EQ(TSSmbs_n2wcs_n(wide, s, 6, 8), 3);
    EXPECT_EQ(wide[2], 0x9B818283u);
    /* Room 3 keeps one value for the terminator. */
    EXPECT_EQ(TSSmbs_n2wcs_n(wide, s, 7, 3), 2);
    EXPECT_EQ(wide[2], 0u);
    EXPECT_EQ(TSSmbs_n2wcs_n(wide, s, 7, 1), 0);
    EXPECT_EQ(wide[0], 0u);
}

TEST_F(TssString, WcsToMbsWithRoomStopsBeforeACharacterThatDoesNotFit)
{
    const TSSwchar wide[] = {'a', 0x9B818283, 'b', 0};
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(TSSwcs2mbs_n(out, wide, 4), 1);
    EXPECT_EQ(out[1], '\0');
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(TSSwcs2mbs_n(out, wide, 5), 5);
    EXPECT_EQ(std::string(out, 5), "a\x9b\x81\x82\x83");
    EXPECT_EQ(out[5], '#') << "no room left: no terminator";
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(TSSwcs2mbs_n(out, wide, 7), 6);
    EXPECT_STREQ(out, "a\x9b\x81\x82\x83" "b");
}

TEST_F(TssString, WcsToMbsWithCharacterLimit)
{
    const TSSwchar wide[] = {'a', 0x9B818283, 'b', 0};
    char out[16];
    EXPECT_EQ(TSSwcs_n2mbs(out, wide, 2), 5);
    EXPECT_STREQ(out, "a\x9b\x81\x82\x83");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(TSSwcs_n2mbs_n(out, wide, 3, 6), 6);
    EXPECT_EQ(std::string(out, 7), "a\x9b\x81\x82\x83" "b#");
    EXPECT_EQ(TSSwcs_n2mbs_n(out, wide, 1, 6), 1);
    EXPECT_STREQ(out, "a");
}

TEST_F(TssString, InvalidWideValueEndsTheConversionWithError30)
{
    Recorder rec;
    const TSSwchar wide[] = {'a', 0x9B004142, 'b', 0};
    char out[16];
    EXPECT_EQ(TSSwcs2mbs(out, wide), 1);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(tss_errno, 30);
    EXPECT_EQ(rec.messages.back(), "(Unknown locale) Can't convert TSS character 0x9b004142\n");
}

TEST_F(TssString, SearchesNeverMatchInsideAFourByteCharacter)
{
    const char s[] = "\x9b\x41\x42\x43" "AB\x9b\x81\x82\x83";
    EXPECT_EQ(TSSstrchr_ch(s, 'A'), s + 4);
    EXPECT_EQ(TSSstrchr_ch(s, 'C'), nullptr);
    EXPECT_EQ(TSSstrchr_wc(s, 0x9B818283), s + 6);
    EXPECT_EQ(TSSstrchr_wc(s, 0x9B414243), s);
    EXPECT_EQ(TSSstrchr_mb(s, "\x9b\x81\x82\x83xyz"), s + 6);
    EXPECT_EQ(TSSstrchr_mb(s, "B"), s + 5);
    EXPECT_EQ(TssStringChr(s, 6, 0x9B818283), nullptr);
    EXPECT_EQ(TssStringChr(s, 10, 0x9B818283), s + 6);
    EXPECT_EQ(TSSstrchr_ch(s, 0x9B), nullptr);
    EXPECT_EQ(TSSstrchr_ch(s, 0), nullptr);
}

TEST_F(TssString, AsciiTestLooksOnlyWithinTheLimit)
{
    EXPECT_EQ(TssIsASCII("abc\x80", 3), 1);
    EXPECT_EQ(TssIsASCII("abc\x80", 4), 0);
    EXPECT_EQ(TssIsASCII("abc\x7f", 10), 1);
    EXPECT_EQ(TssIsASCII("a\0\xff", 3), 1);
}

TEST_F(TssString, FillWritesWholeFourByteCharactersThenBlanks)
{
    char field[12];
    std::memset(field, '#', sizeof field);
    ASSERT_EQ(TssStringSet(field, 10, 0x9B818283), 0);
    EXPECT_EQ(std::string(field, 10), "\x9b\x81\x82\x83\x9b\x81\x82\x83  ");
    EXPECT_EQ(field[10], '#');
    ASSERT_EQ(TssStringSet(field, 5, '*'), 0);
    EXPECT_EQ(std::string(field, 5), "*****");
    ASSERT_EQ(TssStringSet(field, 3, 0x9B818283), 0);
    EXPECT_EQ(std::string(field, 3), "   ");
    EXPECT_EQ(TssStringSet(field, 4, 0x9B008283), -1);
    EXPECT_EQ(TssStringSet(field, -1, 'a'), -1);
}

TEST_F(TssString, FormatMaskingTouchesOnlyTheThreeBytesAfterALead)
{
    const char in[] = "100%% \x9b%\x25\x41 %d";
    char masked[32];
    EXPECT_EQ(TSSprep_fmt(masked, in, sizeof masked, 1), 2);
    EXPECT_STREQ(masked, "100%% \x9b\x01\x01\x41 %d");
    char formatted[64];
    std::snprintf(formatted, sizeof formatted, masked, 7);
    EXPECT_STREQ(formatted, "100% \x9b\x01\x01\x41 7");
    char restored[64];
    EXPECT_EQ(TSSprep_fmt(restored, formatted, sizeof restored, 0), 2);
    EXPECT_STREQ(restored, "100% \x9b%%\x41 7");
}

TEST_F(TssString, FormatMaskingCopiesAtMostSizeMinusOneBytes)
{
    char out[6];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(TSSprep_fmt(out, "ab\x9b%%%%%", 6, 1), 2);
    EXPECT_EQ(std::string(out, 6), std::string("ab\x9b\x01\x01\0", 6));
    EXPECT_EQ(TSSprep_fmt(out, "x", 0, 1), -1);
    /* A 0x01 outside a sequence stays when restoring. */
    EXPECT_EQ(TSSprep_fmt(out, "\x01\x9b\x01", sizeof out, 0), 1);
    EXPECT_STREQ(out, "\x01\x9b%");
}

} // namespace
