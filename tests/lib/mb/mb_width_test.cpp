/*
 * mb_width_test.cpp: display widths of TSS texts (TssStringDisplayWidth):
 * wide East Asian characters, combining and zero-width characters, byte
 * limits, incomplete characters; the width classes of sample characters
 * are confirmed with ICU's own character properties.
 */
#include <unicode/uchar.h>

#include "mb_test_support.h"

using namespace mbtest;

namespace {

/* ICU's view: East Asian Wide/Fullwidth two, non-spacing and enclosing
 * marks and format characters none, else one. */
int icu_width(UChar32 cp)
{
    int ea = u_getIntPropertyValue(cp, UCHAR_EAST_ASIAN_WIDTH);
    if (ea == U_EA_WIDE || ea == U_EA_FULLWIDTH)
        return 2;
    int8_t type = u_charType(cp);
    if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR)
        return 0;
    return 1;
}

TEST(DisplayWidth, SampleCharactersAgreeWithIcu)
{
    const char32_t samples[] = {U'A', U'\u00e9', U'\u0410', U'\u05d0', U'\u4e2d', U'\u6587', U'\uac00',
                                U'\u3042', U'\uff21', U'\u0301', U'\u0591', U'\u200b', U'\u200d',
                                U'\ufe0f', U'\u20ac', U'\u2603', U'\U0001F600', U'\U00020000'};
    for (char32_t cp : samples) {
        std::string text = tss_unicode(std::u32string(1, cp));
        EXPECT_EQ(TssStringDisplayWidth(text.c_str(), -1), icu_width(static_cast<UChar32>(cp)))
            << std::hex << static_cast<unsigned>(cp);
    }
}

TEST(DisplayWidth, TextsAddTheirCharacters)
{
    std::string text = tss_unicode(U"ab\u4e2d\u6587e\u0301 ");
    EXPECT_EQ(TssStringDisplayWidth(text.c_str(), -1), 2 + 4 + 1 + 1);
    EXPECT_EQ(TssStringDisplayWidth("", -1), 0);
    EXPECT_EQ(TssStringDisplayWidth(nullptr, 5), 0);
}

TEST(DisplayWidth, ByteLimitAndTerminator)
{
    std::string text = tss_unicode(U"a\u4e2db");
    /* a (1 byte), then the four bytes of the wide character, then b. */
    EXPECT_EQ(TssStringDisplayWidth(text.c_str(), 1), 1);
    /* A character cut by the limit is not counted. */
    EXPECT_EQ(TssStringDisplayWidth(text.c_str(), 3), 1);
    EXPECT_EQ(TssStringDisplayWidth(text.c_str(), 5), 3);
    EXPECT_EQ(TssStringDisplayWidth(text.c_str(), 6), 4);
    EXPECT_EQ(TssStringDisplayWidth(text.c_str(), 100), 4);
    EXPECT_EQ(TssStringDisplayWidth("ab\0cd", 5), 2);
}

TEST(DisplayWidth, SequencesWithoutCodePointTakeOneColumn)
{
    /* Three bytes after 0x9B without the top bit: a valid character
     * without a code point. */
    EXPECT_EQ(TssStringDisplayWidth("\x9b\x41\x42\x43x", -1), 2);
    /* Incomplete at the terminator: not counted. */
    EXPECT_EQ(TssStringDisplayWidth("x\x9b\x81", -1), 1);
}

} // namespace
