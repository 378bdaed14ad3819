/*
 * mb_width.cpp: the display width of a TSS text (TssStringDisplayWidth):
 * how many terminal columns its characters take, wide East Asian
 * characters two, combining and zero-width characters none.
 */
#include <cstdint>

#include "tss.h"

namespace {

struct Range {
    uint32_t first;
    uint32_t last;
};

/* Characters that take no column: combining marks, zero-width spaces and
 * joiners, directional marks, variation selectors. */
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302F}, {0x3099, 0x309A},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

/* Characters that take two columns: wide and full-width East Asian
 * characters and the emoji blocks. */
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x2E80, 0x3029},
    {0x3030, 0x303E},   {0x3041, 0x3096},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

template <size_t N>
bool in(const Range (&table)[N], uint32_t cp)
{
    size_t lo = 0, hi = N;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (cp < table[mid].first)
            hi = mid;
        else if (cp > table[mid].last)
            lo = mid + 1;
        else
            return true;
    }
    return false;
}

/* Columns of a four-byte character: its code point is the low seven bits
 * of the three bytes after 0x9B when all three have the top bit set; a
 * sequence without a code point takes one column. */
int four_byte_width(const unsigned char *p)
{
    if ((p[1] & 0x80) == 0 || (p[2] & 0x80) == 0 || (p[3] & 0x80) == 0)
        return 1;
    uint32_t cp = (uint32_t(p[1] & 0x7F) << 14) | (uint32_t(p[2] & 0x7F) << 7) | uint32_t(p[3] & 0x7F);
    if (in(kZeroWidth, cp))
        return 0;
    if (in(kWide, cp))
        return 2;
    return 1;
}

} // namespace

extern "C" int TssStringDisplayWidth(const char *s, int len)
{
    if (s == nullptr)
        return 0;
    if (len < 0 || len > TSS_MAX_LEN)
        len = TSS_MAX_LEN;
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    int width = 0;
    int i = 0;
    while (i < len && p[i] != 0) {
        if (p[i] != TSS_LEAD) {
            ++width;
            ++i;
            continue;
        }
        /* An incomplete character at the end of the text ends it. */
        if (i + 4 > len || p[i + 1] == 0 || p[i + 2] == 0 || p[i + 3] == 0)
            break;
        width += four_byte_width(p + i);
        i += 4;
    }
    return width;
}
