/*
 * tss_convert_test.cpp: the conversion library loaded at run time: round
 * trips between TSS, Latin-1, UTF-8 and UTF-16, the result codes, malformed
 * input in exactly sized buffers, iterators, converter queries, handlers,
 * and the fatal end of a failed load.
 */
#include <cstring>
#include <memory>
#include <string>

#include <unicode/uchar.h>

#include "mb_test_support.h"

using mbtest::MbTest;
using mbtest::tss_unicode;
using mbtest::utf8;

namespace {

class TssConvertLib : public MbTest {
protected:
    /* Converts with room bytes; the result, and the output in out. */
    template <typename F, typename In>
    int run(F fn, const In *in, int in_len, std::string &out, int room, int flags = 0)
    {
        buf.assign(static_cast<size_t>(room) + 8, '#');
        ctl = TssConvertControl{in_len, room, flags, -1, -1, 0};
        int r = fn(in, buf.data(), &ctl);
        out.assign(buf.data(), static_cast<size_t>(ctl.out_used > 0 ? ctl.out_used : 0));
        return r;
    }
    std::string buf;
    TssConvertControl ctl{};
};

std::unique_ptr<char[]> exact(const std::string &bytes)
{
    auto p = std::make_unique<char[]>(bytes.size());
    std::memcpy(p.get(), bytes.data(), bytes.size());
    return p;
}

const std::u32string kMixed = U"A\u00e9\u0100\u20ac\u4e2d\U0001F600z";

TEST_F(TssConvertLib, LoadsThroughTheSearchPathAndReportsStatus2)
{
    EXPECT_EQ(TssConvertInitialize(0), 0);
    EXPECT_EQ(TssConvertGetStatus(), 2);
    EXPECT_GT(TssGetConverterCount(), 10);
}

TEST_F(TssConvertLib, Latin1RoundTripKeepsEveryByteInClassicMode)
{
    std::string native;
    for (int b = 1; b < 256; ++b)
        native += static_cast<char>(b);
    std::string tss, back;
    int n = run(TssConvertNativeToTss, native.c_str(), -1, tss, 2000);
    ASSERT_EQ(n, static_cast<int>(tss.size()));
    EXPECT_EQ(n, 258);
    /* Every byte is itself except 0x9B, which becomes its four-byte form. */
    std::string expected = native;
    expected.replace(0x9A, 1, "\x9b\x80\x81\x9b");
    EXPECT_EQ(tss, expected);
    ASSERT_GE(run(TssConvertTssToNative, tss.c_str(), -1, back, 2000), 0);
    EXPECT_EQ(back, native);
}

TEST_F(TssConvertLib, Utf8RoundTripInUnicodeModeUsesTheDocumentedEncoding)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string u8 = utf8(kMixed), tss, back;
    ASSERT_GE(run(TssConvertUtf8ToTss, u8.c_str(), -1, tss, 100), 0);
    EXPECT_EQ(tss, tss_unicode(kMixed));
    EXPECT_EQ(std::string(tss, 2, 4), "\x9b\x80\x82\x80") << "U+0100";
    EXPECT_EQ(ctl.in_used, static_cast<int>(u8.size()));
    ASSERT_GE(run(TssConvertTssToUtf8, tss.c_str(), -1, back, 100), 0);
    EXPECT_EQ(back, u8);
    for (char c : tss.substr(1))
        EXPECT_NE(c, '\0');
}

TEST_F(TssConvertLib, ClassicModeKeepsNativeBytesAsOneByteCharacters)
{
    TssSetMode(TSS_MODE_CLASSIC);
    ASSERT_EQ(TssSetCurrentConverterIndex(TssFindConverter("windows-1252")) >= 0, true);
    std::string u8 = utf8(U"\u20ac\u0100"), tss, back;
    ASSERT_GE(run(TssConvertUtf8ToTss, u8.c_str(), -1, tss, 100), 0);
    EXPECT_EQ(tss, std::string("\x80") + tss_unicode(U"\u0100"));
    ASSERT_GE(run(TssConvertTssToUtf8, tss.c_str(), -1, back, 100), 0);
    EXPECT_EQ(back, u8);
    TssSetMode(TSS_MODE_UNICODE);
    ASSERT_GE(run(TssConvertUtf8ToTss, u8.c_str(), -1, tss, 100), 0);
    EXPECT_EQ(tss, tss_unicode(U"\u20ac\u0100"));
}

TEST_F(TssConvertLib, Utf16RoundTripWithASurrogatePair)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string tss = tss_unicode(kMixed);
    TssUtf16 units[32];
    TssConvertControl c{-1, 32, TSS_CONVERT_TERMINATE, 0, 0, 0};
    ASSERT_EQ(TssConvertTssToUtf16(tss.c_str(), units, &c), 8);
    const TssUtf16 expected[] = {0x41, 0xE9, 0x100, 0x20AC, 0x4E2D, 0xD83D, 0xDE00, 0x7A, 0};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(units[i], expected[i]) << i;
    char back[64];
    TssConvertControl c2{-1, sizeof back, TSS_CONVERT_TERMINATE, 0, 0, 0};
    ASSERT_EQ(TssConvertUtf16ToTss(units, back, &c2), static_cast<int>(tss.size()));
    EXPECT_EQ(std::string(back), tss);
    EXPECT_EQ(c2.in_used, 8);
}

TEST_F(TssConvertLib, Utf16BytesAreBigEndian)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string tss = tss_unicode(U"A\U0001F600"), bytes, back;
    ASSERT_EQ(run(TssConvertTssToUtf16Bytes, tss.c_str(), -1, bytes, 100), 6);
    EXPECT_EQ(bytes, std::string("\0A\xd8\x3d\xde\x00", 6));
    ASSERT_GE(run(TssConvertUtf16BytesToTss, bytes.data(), 6, back, 100), 0);
    EXPECT_EQ(back, tss);
    std::string u8;
    ASSERT_GE(run(TssConvertUtf16BytesToUtf8, bytes.data(), 6, u8, 100), 0);
    EXPECT_EQ(u8, utf8(U"A\U0001F600"));
}

TEST_F(TssConvertLib, NativeConversionsOfLatin1)
{
    std::string latin1 = "caf\xe9", u8, native;
    ASSERT_EQ(run(TssConvertNativeToUtf8, latin1.c_str(), -1, u8, 100), 5);
    EXPECT_EQ(u8, "caf\xc3\xa9");
    ASSERT_EQ(run(TssConvertUtf8ToNative, u8.c_str(), -1, native, 100), 4);
    EXPECT_EQ(native, latin1);
    TssUtf16 units[8];
    TssConvertControl c{-1, 8, 0, 0, 0, 0};
    ASSERT_EQ(TssConvertNativeToUtf16(latin1.c_str(), units, &c), 4);
    EXPECT_EQ(units[3], 0xE9);
    TssConvertControl c2{4, 8, 0, 0, 0, 0};
    char out[8];
    ASSERT_EQ(TssConvertUtf16ToNative(units, out, &c2), 4);
    EXPECT_EQ(std::string(out, 4), latin1);
    std::string be;
    ASSERT_EQ(run(TssConvertNativeToUtf16Bytes, latin1.c_str(), -1, be, 100), 8);
    EXPECT_EQ(be, std::string("\0c\0a\0f\0\xe9", 8));
    ASSERT_EQ(run(TssConvertUtf16BytesToNative, be.data(), 8, native, 100), 4);
    EXPECT_EQ(native, latin1);
    TssUtf16 u16[8];
    TssConvertControl c3{-1, 8, 0, 0, 0, 0};
    ASSERT_EQ(TssConvertUtf8ToUtf16(u8.c_str(), u16, &c3), 4);
    EXPECT_EQ(u16[3], 0xE9);
    std::string from16;
    TssConvertControl c4{4, 16, 0, 0, 0, 0};
    char o4[16];
    ASSERT_EQ(TssConvertUtf16ToUtf8(u16, o4, &c4), 5);
    EXPECT_EQ(std::string(o4, 5), u8);
    ASSERT_EQ(run(TssConvertUtf8ToUtf16Bytes, u8.c_str(), -1, be, 100), 8);
    EXPECT_EQ(be, std::string("\0c\0a\0f\0\xe9", 8));
}

TEST_F(TssConvertLib, NoRoomGivesMinus2WithWholeCharactersOnly)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string u8 = utf8(U"ab\u4e2dc"), tss;
    EXPECT_EQ(run(TssConvertUtf8ToTss, u8.c_str(), -1, tss, 5), TSS_CONVERT_NO_ROOM);
    EXPECT_EQ(tss, "ab");
    EXPECT_EQ(ctl.in_used, 2);
    EXPECT_EQ(ctl.out_used, 2);
    EXPECT_EQ(buf[2], '#') << "nothing of the character that did not fit";
    /* The terminator needs its own unit of room. */
    EXPECT_EQ(run(TssConvertUtf8ToTss, u8.c_str(), -1, tss, 7, TSS_CONVERT_TERMINATE), TSS_CONVERT_NO_ROOM);
    EXPECT_EQ(run(TssConvertUtf8ToTss, u8.c_str(), -1, tss, 8, TSS_CONVERT_TERMINATE), 7);
    EXPECT_EQ(buf[7], '\0');
    EXPECT_EQ(run(TssConvertUtf8ToTss, u8.c_str(), -1, tss, 0, TSS_CONVERT_TERMINATE), TSS_CONVERT_NO_ROOM);
}

TEST_F(TssConvertLib, CjkCharacterToLatin1GivesMinus3)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string tss = tss_unicode(U"a\u4e2db"), native;
    EXPECT_EQ(run(TssConvertTssToNative, tss.c_str(), -1, native, 20), TSS_CONVERT_UNCONVERTIBLE);
    EXPECT_EQ(native, "a");
    EXPECT_EQ(ctl.in_used, 1);
    EXPECT_EQ(ctl.bad, 0x4E2Du);
    std::string u8 = utf8(U"a\u4e2db");
    EXPECT_EQ(run(TssConvertUtf8ToNative, u8.c_str(), -1, native, 20), TSS_CONVERT_UNCONVERTIBLE);
    /* With substitution the conversion goes on. */
    EXPECT_EQ(run(TssConvertTssToNative, tss.c_str(), -1, native, 20, TSS_CONVERT_SUBSTITUTE), 3);
    EXPECT_EQ(native, "a?b");
}

TEST_F(TssConvertLib, ForeignFourByteSequenceIsUnconvertibleNotMalformed)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string u8;
    const char tss[] = "x\x9b\x41\x42\x43";
    EXPECT_EQ(run(TssConvertTssToUtf8, tss, -1, u8, 20), TSS_CONVERT_UNCONVERTIBLE);
    EXPECT_EQ(ctl.bad, 0x9B414243u);
    EXPECT_EQ(u8, "x");
    /* Beyond U+10FFFF. */
    EXPECT_EQ(run(TssConvertTssToUtf8, "\x9b\xff\xff\xff", -1, u8, 20), TSS_CONVERT_UNCONVERTIBLE);
}

TEST_F(TssConvertLib, MalformedTssNeverReadsOutOfBounds)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string out;
    for (const std::string &bytes : {std::string("\x9b", 1), std::string("a\x9b\x81", 3),
                                    std::string("a\x9b\x81\x82", 4), std::string("\x9b\x81\0\x82", 4),
                                    std::string("\x9b\0\0\0", 4)}) {
        auto in = exact(bytes);
        EXPECT_EQ(run(TssConvertTssToUtf8, in.get(), static_cast<int>(bytes.size()), out, 20),
                  TSS_CONVERT_FAILED);
        EXPECT_EQ(run(TssConvertTssToNative, in.get(), static_cast<int>(bytes.size()), out, 20),
                  TSS_CONVERT_FAILED);
        TssUtf16 units[8];
        TssConvertControl c{static_cast<int>(bytes.size()), 8, 0, 0, 0, 0};
        EXPECT_EQ(TssConvertTssToUtf16(in.get(), units, &c), TSS_CONVERT_FAILED);
    }
    /* The terminator inside a sequence, without a length. */
    EXPECT_EQ(run(TssConvertTssToUtf8, "ab\x9b\x81", -1, out, 20), TSS_CONVERT_FAILED);
    EXPECT_EQ(out, "ab");
    EXPECT_EQ(ctl.in_used, 2);
}

TEST_F(TssConvertLib, MalformedUtfInputIsRefused)
{
    std::string out;
    for (const std::string &bytes : {std::string("\xc0\xaf"), std::string("\xed\xa0\x80"),
                                    std::string("\x80"), std::string("\xe4\xb8"),
                                    std::string("\xf4\x90\x80\x80")}) {
        auto in = exact(bytes);
        EXPECT_EQ(run(TssConvertUtf8ToTss, in.get(), static_cast<int>(bytes.size()), out, 20),
                  TSS_CONVERT_FAILED)
            << bytes.size();
    }
    const TssUtf16 lone[] = {0x41, 0xDC00, 0};
    char o[16];
    TssConvertControl c{-1, 16, 0, 0, 0, 0};
    EXPECT_EQ(TssConvertUtf16ToTss(lone, o, &c), TSS_CONVERT_FAILED);
    EXPECT_EQ(c.in_used, 1);
    const TssUtf16 high_at_end[] = {0xD83D};
    TssConvertControl c2{1, 16, 0, 0, 0, 0};
    EXPECT_EQ(TssConvertUtf16ToTss(high_at_end, o, &c2), TSS_CONVERT_FAILED);
}

TEST_F(TssConvertLib, NullArgumentsFail)
{
    char out[4];
    TssConvertControl c{-1, 4, 0, 0, 0, 0};
    EXPECT_EQ(TssConvertTssToUtf8(nullptr, out, &c), TSS_CONVERT_FAILED);
    EXPECT_EQ(TssConvertTssToUtf8("a", nullptr, &c), TSS_CONVERT_FAILED);
    EXPECT_EQ(TssConvertTssToUtf8("a", out, nullptr), TSS_CONVERT_FAILED);
}

TEST_F(TssConvertLib, Utf16IteratorGivesSurrogatesAndInputUnits)
{
    TssSetMode(TSS_MODE_UNICODE);
    std::string tss = tss_unicode(U"a\U0001F600b");
    TssIterator it;
    ASSERT_EQ(TssIteratorTssToUtf16_Initialize(&it, tss.c_str(), -1), 0);
    std::u16string units;
    while (TssIteratorTssToUtf16_HasNext(&it))
        units += static_cast<char16_t>(TssIteratorTssToUtf16_GetNext(&it));
    EXPECT_EQ(units, u"a\U0001F600b");
    EXPECT_EQ(TssIteratorTssToUtf16_GetCurrent(&it), -1);
    EXPECT_EQ(TssIteratorTssToUtf16_SkipCurrent(&it), -1);
    ASSERT_EQ(TssIteratorTssToUtf16_Reset(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf16_GetNextInputUnit(&it), static_cast<unsigned>('a'));
    EXPECT_EQ(TssIteratorTssToUtf16_GetCurrentInputUnit(&it), 0x9B87EC80u);
    EXPECT_EQ(TssIteratorTssToUtf16_HasNextInputUnit(&it), 1);
    EXPECT_EQ(TssIteratorTssToUtf16_SkipCurrentInputUnit(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf16_GetCurrent(&it), 'b');
    EXPECT_EQ(TssIteratorTssToUtf16_Finalize(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf16_HasNext(&it), 0);
}

TEST_F(TssConvertLib, Utf32IteratorStopsAtMalformedAndSkipsUnconvertible)
{
    TssSetMode(TSS_MODE_UNICODE);
    const char tss[] = "a\x9b\x41\x42\x43" "b\x9b\x81";
    TssIterator it;
    ASSERT_EQ(TssIteratorTssToUtf32_Initialize(&it, tss, -1), 0);
    EXPECT_EQ(TssIteratorTssToUtf32_GetNext(&it), 'a');
    EXPECT_EQ(TssIteratorTssToUtf32_GetNext(&it), -3);
    EXPECT_EQ(TssIteratorTssToUtf32_GetNext(&it), 'b');
    EXPECT_EQ(TssIteratorTssToUtf32_HasNext(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf32_GetNext(&it), -1);
    EXPECT_EQ(TssIteratorTssToUtf32_GetNextInputUnit(&it), 0u);
    ASSERT_EQ(TssIteratorTssToUtf32_Reset(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf32_GetCurrent(&it), 'a');
    EXPECT_EQ(TssIteratorTssToUtf32_SkipCurrent(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf32_GetCurrentInputUnit(&it), 0x9B414243u);
    EXPECT_EQ(TssIteratorTssToUtf32_HasNextInputUnit(&it), 1);
    EXPECT_EQ(TssIteratorTssToUtf32_SkipCurrentInputUnit(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf32_GetCurrent(&it), 'b');
    EXPECT_EQ(TssIteratorTssToUtf32_Finalize(&it), 0);
    EXPECT_EQ(TssIteratorTssToUtf32_Initialize(nullptr, tss, -1), -1);
}

TEST_F(TssConvertLib, ConverterQueries)
{
    int latin1 = TssFindConverter("ISO-8859-1");
    ASSERT_GE(latin1, 0);
    EXPECT_EQ(TssFindConverter("latin1"), latin1);
    EXPECT_EQ(TssFindConverter("iso88591"), latin1);
    EXPECT_EQ(TssFindConverter("no-such-charset"), -1);
    EXPECT_EQ(TssFindConverter(""), -1);
    EXPECT_EQ(TssGetCurrentConverterIndex(), latin1);
    EXPECT_STREQ(TssGetCurrentConverterName(), "ISO-8859-1");
    EXPECT_EQ(TssIsMultibyte(), 0);
    EXPECT_EQ(TssIsHighAsciiCompatible(), 1);
    EXPECT_EQ(TssGetWidthOfAmbiguousEastAsianWidth(), 1);
    EXPECT_EQ(TssGetEbcdicCCSID(), 0);
    EXPECT_NE(std::string(TssGetCurrentConverterDescription()).find("single-byte"), std::string::npos);

    int sjis = TssFindConverter("Shift_JIS");
    ASSERT_GE(sjis, 0);
    EXPECT_EQ(TssSetCurrentConverterIndex(sjis), latin1);
    EXPECT_EQ(TssIsMultibyte(), 1);
    EXPECT_EQ(TssIsHighAsciiCompatible(), 0);
    EXPECT_EQ(TssGetWidthOfAmbiguousEastAsianWidth(), 2);
    std::string tss, native;
    TssSetMode(TSS_MODE_UNICODE);
    std::string chinese = tss_unicode(U"\u4e2d");
    ASSERT_EQ(run(TssConvertTssToNative, chinese.c_str(), -1, native, 10), 2);
    EXPECT_EQ(native, "\x92\x86");
    ASSERT_GE(run(TssConvertNativeToTss, native.c_str(), -1, tss, 10), 0);
    EXPECT_EQ(tss, chinese);

    int utf8_index = TssFindConverter("UTF-8");
    TssSetCurrentConverterIndex(utf8_index);
    EXPECT_EQ(TssIsMultibyte(), 1);
    EXPECT_EQ(TssGetWidthOfAmbiguousEastAsianWidth(), 1);
    TssSetCurrentConverterIndex(TssFindConverter("ibm-37"));
    EXPECT_EQ(TssGetEbcdicCCSID(), 37);
    EXPECT_EQ(TssSetCurrentConverterIndex(-1), -1);
    EXPECT_EQ(TssSetCurrentConverterIndex(TssGetConverterCount()), -1);
    EXPECT_EQ(TssGetConverterName(-1), nullptr);
    EXPECT_EQ(TssGetConverterDescription(TssGetConverterCount()), nullptr);
}

TEST_F(TssConvertLib, CleanNativeReplacesBytesThatAreNoCharacter)
{
    TssSetCurrentConverterIndex(TssFindConverter("UTF-8"));
    char text[] = "a\xff" "b\xc3\xa9\xc3";
    EXPECT_EQ(TssCleanNative(text, -1), 2);
    EXPECT_STREQ(text, "a?b\xc3\xa9?");
}

TEST_F(TssConvertLib, WidthsAndTssOfCodePoints)
{
    TssSetMode(TSS_MODE_UNICODE);
    EXPECT_EQ(TssFindTss(0x41), 0x41u);
    EXPECT_EQ(TssFindTss(0x9B), 0x9B80819Bu);
    EXPECT_EQ(TssFindTss(0x4E2D), 0x9B819CADu);
    EXPECT_EQ(TssFindTss(0x110000), 0u);
    EXPECT_EQ(TssWcLegacyWidth(TssFindTss(0x4E2D)), 2);
    EXPECT_EQ(TssWcLegacyWidth('a'), 1);
    EXPECT_EQ(TssWcLegacyWidth(TssFindTss(0x0301)), 0);
    EXPECT_EQ(TssWcLegacyWidth(0x9B), -1);
    /* Classic mode: Latin-1 characters are one byte, 0x9B is not. */
    TssSetMode(TSS_MODE_CLASSIC);
    EXPECT_EQ(TssFindTss(0xE9), 0xE9u);
    EXPECT_EQ(TssFindTss(0x9B), 0x9B80819Bu);
}

TEST_F(TssConvertLib, ConversionErrorHandlerSuppliesAReplacement)
{
    TssSetMode(TSS_MODE_UNICODE);
    static unsigned int seen;
    seen = 0;
    auto handler = [](unsigned int ch) -> int {
        seen = ch;
        return '*';
    };
    EXPECT_EQ(TssSetConversionErrorHandler(handler), nullptr);
    EXPECT_EQ(TssGetConversionErrorHandler(), handler);
    std::string tss = tss_unicode(U"a\u4e2d"), native;
    EXPECT_EQ(run(TssConvertTssToNative, tss.c_str(), -1, native, 10), 2);
    EXPECT_EQ(native, "a*");
    EXPECT_EQ(seen, 0x4E2Du);
    TssSetConversionErrorHandler(nullptr);
}

TEST_F(TssConvertLib, MetaMaxHandlersReplaceTheMaximallyCollatingCharacters)
{
    TssSetMode(TSS_MODE_CLASSIC);
    EXPECT_EQ(TssSetMaximallyCollatingSingleByteTssPoint(0xFF), 0);
    EXPECT_EQ(TssGetMaximallyCollatingSingleByteTssPoint(), 0xFF);
    auto to_native = [](unsigned int) -> unsigned int { return '~'; };
    TssSetSingleByteMetaMaxToNativeHandler(to_native);
    EXPECT_EQ(TssGetSingleByteMetaMaxToNativeHandler(), to_native);
    std::string native;
    EXPECT_EQ(run(TssConvertTssToNative, "a\xff", -1, native, 10), 2);
    EXPECT_EQ(native, "a~");
    auto to_tss = [](unsigned int) -> unsigned int { return 0x9B818283; };
    TssSetMetaMaxToTssHandler(to_tss);
    EXPECT_EQ(TssGetMetaMaxToTssHandler(), to_tss);
    TssSetSingleByteMetaMaxToTssHandler(to_tss);
    std::string tss;
    EXPECT_EQ(run(TssConvertNativeToTss, "\xff", -1, tss, 10), 4);
    EXPECT_EQ(tss, "\x9b\x81\x82\x83");
    TssSetSingleByteMetaMaxToNativeHandler(nullptr);
    TssSetSingleByteMetaMaxToTssHandler(nullptr);
    TssSetMetaMaxToTssHandler(nullptr);
    TssSetMetaMaxToNativeHandler(nullptr);
    EXPECT_EQ(TssGetMetaMaxToNativeHandler(), nullptr);
    TssSetMaximallyCollatingSingleByteTssPoint(0);
    EXPECT_EQ(run(TssConvertTssToNative, "a\xff", -1, native, 10), 2);
    EXPECT_EQ(native, "a\xff");
}

TEST_F(TssConvertLib, TheModeComesFromTheLayerThroughTheUtftHandler)
{
    ASSERT_EQ(TssConvertInitialize(0), 0);
    TssUtftModeHandler h = TssGetUtftModeHandler();
    ASSERT_NE(h, nullptr);
    TssSetMode(TSS_MODE_UNICODE);
    EXPECT_EQ(h(), 2);
    TssSetMode(TSS_MODE_CLASSIC);
    EXPECT_EQ(h(), 1);
    TssSetUtftModeHandler(nullptr);
    TssSetMode(TSS_MODE_UNICODE);
    EXPECT_EQ(TssFindTss(0x9B), 0x9B80819Bu);
    TssSetUtftModeHandler(h);
}

TEST_F(TssConvertLib, MissingLibraryWithoutFatalFlagReturnsMinus1)
{
    mb::reset_convert_for_tests();
    mb::set_convert_library_name("NoSuchTssConvertLibrary");
    EXPECT_EQ(TssConvertInitialize(0), -1);
    EXPECT_EQ(TssConvertGetStatus(), 1);
    mb::set_convert_library_name(nullptr);
    EXPECT_EQ(TssConvertInitialize(0), 0);
    EXPECT_EQ(TssConvertGetStatus(), 2);
}

TEST_F(TssConvertLib, MissingLibraryEndsTheProcessOnFirstUse)
{
    EXPECT_EXIT(
        {
            mb::reset_convert_for_tests();
            mb::set_convert_library_name("NoSuchTssConvertLibrary");
            TssGetConverterCount();
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            mb::reset_convert_for_tests();
            mb::set_convert_library_name("NoSuchTssConvertLibrary");
            TssConvertInitialize(1);
        },
        ::testing::ExitedWithCode(1), "");
}

} // namespace
