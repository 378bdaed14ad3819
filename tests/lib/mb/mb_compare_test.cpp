/*
 * mb_compare_test.cpp: padded comparison of TSS texts: classic weights,
 * and in Unicode mode the order of ICU's root collator (linked into this
 * test as the reference).
 */
#include <memory>
#include <string>
#include <vector>

#include <unicode/ucol.h>

#include "mb_test_support.h"

using mbtest::MbTest;
using mbtest::tss_unicode;

namespace {

class TssCompare : public MbTest {};

int sign(int v)
{
    return v < 0 ? -1 : v > 0 ? 1 : 0;
}

TEST_F(TssCompare, TrailingBlanksDoNotCount)
{
    EXPECT_EQ(TssStringNNCmpWithPadding("ab", "ab  ", -1, -1), 0);
    EXPECT_EQ(TssStringNNCmpWithPadding("ab  ", "ab", -1, -1), 0);
    EXPECT_EQ(TssStringNNEqualWithPadding("ab", "ab  ", 2, 4), 1);
    EXPECT_EQ(TssStringNNCmpWithPadding("ab", "abc", -1, -1), -1);
    EXPECT_EQ(TssStringNNCmpWithPadding("abc", "ab", -1, -1), 1);
    /* A character below the blank sorts before the padding. */
    EXPECT_EQ(TssStringNNCmpWithPadding("ab\t", "ab", -1, -1), -1);
    EXPECT_EQ(TssStringNNEqualWithPadding("ab", "ac", -1, -1), 0);
}

TEST_F(TssCompare, LengthsLimitTheComparedBytes)
{
    EXPECT_EQ(TssStringNNCmpWithPadding("abX", "abY", 2, 2), 0);
    EXPECT_EQ(TssStringNNCmpWithPadding("abX", "abY", 3, 3), -1);
    EXPECT_EQ(TssStringNCmp("abcd", "abce", 3), 0);
    EXPECT_EQ(TssStringNCmp("abcd", "abce", 4), -1);
    EXPECT_EQ(TssStringNNCmpWithPadding("ab\0zz", "ab", 5, -1), 0) << "the terminator ends a text";
}

TEST_F(TssCompare, ClassicWeightsAreWideValuesInLatin1)
{
    EXPECT_EQ(TssWcWeight('a'), static_cast<unsigned>('a'));
    EXPECT_EQ(TssWcWeight(0x9B818283), 0x9B818283u);
    EXPECT_EQ(TssWcWeight(0x9B9C9D41), static_cast<unsigned>(' '));
    EXPECT_EQ(TssStringNNCmpWithPadding("\xe9", "f", -1, -1), 1);
    EXPECT_EQ(TssStringNNCmpWithPadding("z", "\x9b\x81\x82\x83", -1, -1), -1);
    /* 9B 9C 9D xx weighs as the blank of the padding. */
    EXPECT_EQ(TssStringNNCmpWithPadding("ab\x9b\x9c\x9d\x41", "ab", -1, -1), 0);
}

TEST_F(TssCompare, ClassicCaseInsensitiveUsesTheLowerCaseTable)
{
    EXPECT_EQ(TssStringNNCaseCmpWithPadding("ABC\xc9", "abc\xe9  ", -1, -1), 0);
    EXPECT_EQ(TssStringNNCaseCmpWithPadding("ABD", "abc", -1, -1), 1);
}

TEST_F(TssCompare, WeightsOfANonLatin1LocaleComeFromTheExternalCode)
{
    ASSERT_EQ(TSSsetlocale("windows-1252", 0), 0);
    EXPECT_EQ(TssWcWeight('a'), static_cast<unsigned>('a') << 24);
    ASSERT_EQ(TSSsetlocale("Shift_JIS", 0), 0);
    /* U+4E2D is 0x9286 in Shift_JIS. */
    EXPECT_EQ(tss_unicode(U"\u4e2d"), "\x9b\x81\x9c\xad");
    EXPECT_EQ(TssWcWeight(0x9B819CAD), 0x9286u << 16);
    ASSERT_EQ(TSSsetlocale("Shift_JIS", TSS_LOCALE_MB_CASE), 0);
    EXPECT_EQ(TssWcWeight(0x9B819CAD), 0x9286u);
    EXPECT_EQ(TssWcWeight('a'), static_cast<unsigned>('a'));
}

/* ICU's own order of two code-point strings, padded with blanks. */
int icu_order(UCollator *coll, std::u16string a, std::u16string b)
{
    if (a.size() < b.size())
        a.append(b.size() - a.size(), u' ');
    else
        b.append(a.size() - b.size(), u' ');
    return sign(ucol_strcoll(coll, reinterpret_cast<const UChar *>(a.data()),
                             static_cast<int32_t>(a.size()),
                             reinterpret_cast<const UChar *>(b.data()),
                             static_cast<int32_t>(b.size())));
}

std::u16string to16(const std::u32string &s)
{
    std::u16string out;
    for (char32_t cp : s) {
        if (cp > 0xFFFF) {
            out += static_cast<char16_t>(0xD7C0 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

TEST_F(TssCompare, UnicodeModeFollowsIcuRootCollation)
{
    TssSetMode(TSS_MODE_UNICODE);
    UErrorCode err = U_ZERO_ERROR;
    std::unique_ptr<UCollator, void (*)(UCollator *)> coll(ucol_open("", &err), ucol_close);
    ASSERT_TRUE(U_SUCCESS(err));
    const std::vector<std::u32string> words = {
        U"apple", U"Apple", U"\u00e4pple", U"apples", U"b", U"B", U"\u00c9t\u00e9", U"ete",
        U"\u4e2d\u6587", U"\u0101", U"z", U"\U0001F600", U"ab", U"ab  ", U"", U"a\u0301",
        U"\u00e1", U"\u0434\u0430",
    };
    for (UCollationStrength strength : {UCOL_TERTIARY, UCOL_PRIMARY}) {
        ucol_setStrength(coll.get(), strength);
        for (const auto &a : words) {
            for (const auto &b : words) {
                std::string ta = tss_unicode(a), tb = tss_unicode(b);
                int expected = icu_order(coll.get(), to16(a), to16(b));
                int got = strength == UCOL_TERTIARY
                              ? TssStringNNCmpWithPadding(ta.c_str(), tb.c_str(), -1, -1)
                              : TssStringNNCaseCmpWithPadding(ta.c_str(), tb.c_str(), -1, -1);
                EXPECT_EQ(got, expected) << ta << " vs " << tb << " strength " << strength;
            }
        }
    }
}

TEST_F(TssCompare, UnicodeModeDiffersFromByteOrderWhereIcuDoes)
{
    TssSetMode(TSS_MODE_UNICODE);
    /* By bytes "\xe4" (ä) follows "b"; by collation it comes before. */
    EXPECT_EQ(TssStringNNCmpWithPadding("\xe4", "b", -1, -1), -1);
    EXPECT_EQ(TssStringNNCmpWithPadding("ab", "ab  ", -1, -1), 0);
    EXPECT_EQ(TssStringNNCmpWithPadding("a", "A", -1, -1), -1);
    EXPECT_EQ(TssStringNNCaseCmpWithPadding("a", "A", -1, -1), 0);
}

} // namespace
