/*
 * mb_case.cpp: the case tables (ISO 8859-1 defaults or an init_iso file),
 * white-space and digit sets, byte-wise case conversion and the case
 * conversion of TSS texts in classic and Unicode mode.
 */
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "al_env.h"
#include "al_log.h"
#include "al_stream.h"
#include "mb_internal.h"
#include "tss.h"
#include "tss_convert.h"

namespace {

using uchar = unsigned char;

struct Tables {
    uchar lower[256];
    uchar upper[256];
    bool space[256];
    bool digit[256];
};

Tables make_defaults()
{
    Tables t{};
    for (int c = 'A'; c <= 'Z'; ++c) {
        t.lower[c] = static_cast<uchar>(c + 32);
        t.upper[c + 32] = static_cast<uchar>(c);
    }
    for (int c = 0xC0; c <= 0xDE; ++c) {
        if (c == 0xD7)
            continue;
        t.lower[c] = static_cast<uchar>(c + 32);
        t.upper[c + 32] = static_cast<uchar>(c);
    }
    for (uchar c : {' ', '\t', '\r', '\n', '\v', '\f'})
        t.space[c] = true;
    for (int c = '0'; c <= '9'; ++c)
        t.digit[c] = true;
    return t;
}

Tables tables = make_defaults();

int map_byte(int byte, bool to_upper)
{
    uchar b = static_cast<uchar>(byte);
    uchar partner = to_upper ? tables.upper[b] : tables.lower[b];
    return partner != 0 ? partner : b;
}

/* ---- the case-table file -------------------------------------------------- */

enum class Section { None, Shift, Space, Digit, Unknown };

/* A character token: one byte, or 0x followed by one or two hex digits.
 * 0 and 0x9B are not characters. */
int parse_char(std::string_view tok)
{
    int value = -1;
    if (tok.size() == 1) {
        value = static_cast<uchar>(tok[0]);
    } else if (tok.size() <= 4 && tok.size() >= 3 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X')) {
        value = 0;
        for (size_t i = 2; i < tok.size(); ++i) {
            if (!std::isxdigit(static_cast<uchar>(tok[i])))
                return -1;
            value = value * 16 + (std::isdigit(static_cast<uchar>(tok[i]))
                                      ? tok[i] - '0'
                                      : std::tolower(static_cast<uchar>(tok[i])) - 'a' + 10);
        }
    }
    return value == 0 || value == TSS_LEAD ? -1 : value;
}

/* Splits a line into blank-separated tokens, dropping a "#" comment. */
int tokenize(std::string_view line, std::string_view *tokens, int max)
{
    int n = 0;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size())
            break;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t')
            ++end;
        std::string_view tok = line.substr(pos, end - pos);
        if (tok.size() > 1 && tok[0] == '#')
            break;
        if (tok == "#" )
            break;
        if (n == max)
            return -1;
        tokens[n++] = tok;
        pos = end;
    }
    return n;
}

void clear_shift_entry(Tables &t, int c)
{
    t.lower[c] = 0;
    t.upper[c] = 0;
    for (int i = 0; i < 256; ++i) {
        if (t.lower[i] == c)
            t.lower[i] = 0;
        if (t.upper[i] == c)
            t.upper[i] = 0;
    }
}

/* Applies one line of a section; false for a bad line. */
bool apply_line(Tables &t, Section section, std::string_view *tok, int n)
{
    if (n == 1 && tok[0] == "(clear)") {
        if (section == Section::Shift) {
            std::memset(t.lower, 0, sizeof t.lower);
            std::memset(t.upper, 0, sizeof t.upper);
        } else if (section == Section::Space) {
            std::memset(t.space, 0, sizeof t.space);
        } else {
            std::memset(t.digit, 0, sizeof t.digit);
        }
        return true;
    }
    if (section == Section::Shift) {
        if (n != 2)
            return false;
        int up = parse_char(tok[0]);
        if (up < 0)
            return false;
        if (tok[1] == "(clear)") {
            clear_shift_entry(t, up);
            return true;
        }
        int low = parse_char(tok[1]);
        if (low < 0 || low == up)
            return false;
        t.lower[up] = static_cast<uchar>(low);
        t.upper[low] = static_cast<uchar>(up);
        return true;
    }
    bool *set = section == Section::Space ? t.space : t.digit;
    if (n == 2 && tok[1] == "(clear)") {
        int c = parse_char(tok[0]);
        if (c < 0)
            return false;
        set[c] = false;
        return true;
    }
    int values[64];
    for (int i = 0; i < n; ++i) {
        values[i] = parse_char(tok[i]);
        if (values[i] < 0)
            return false;
    }
    for (int i = 0; i < n; ++i)
        set[values[i]] = true;
    return true;
}

/* Reads the file into fresh tables; -1 when a line was bad. */
int read_tables(STREAM *sp, const std::string &name)
{
    Tables t = make_defaults();
    Section section = Section::None;
    char buf[1024];
    int line_no = 0;
    int result = 0;
    while (sgets(buf, sizeof buf, sp) != nullptr) {
        ++line_no;
        std::string_view tokens[64];
        int n = tokenize(buf, tokens, 64);
        if (n == 0)
            continue;
        bool ok;
        if (n == 1 && tokens[0].size() > 2 && tokens[0].front() == '[' && tokens[0].back() == ']') {
            std::string_view s = tokens[0].substr(1, tokens[0].size() - 2);
            section = s == "shift" ? Section::Shift
                      : s == "space" ? Section::Space
                      : s == "digit" ? Section::Digit
                                     : Section::Unknown;
            ok = section != Section::Unknown;
        } else {
            ok = n > 0 && section != Section::None && section != Section::Unknown &&
                 apply_line(t, section, tokens, n);
        }
        if (!ok) {
            tss_error(nullptr, 0, 34, line_no, name.c_str());
            result = -1;
        }
    }
    tables = t;
    return result;
}

/* ---- case conversion -------------------------------------------------------- */

/* The wide case function of classic mode. */
TSSwchar wide_case(TSSwchar wc, bool to_upper)
{
    if (wc < 256)
        return static_cast<TSSwchar>(map_byte(static_cast<int>(wc), to_upper));
    if (!mb::locale_allows_mb_case())
        return wc;
    unsigned int ext = mb::external_code(wc);
    TSSwchar result = wc;
    if (ext != 0 && ext < 256) {
        int partner = map_byte(static_cast<int>(ext), to_upper);
        if (partner != static_cast<int>(ext)) {
            TSSwchar mapped = mb::tss_of_external(static_cast<unsigned int>(partner));
            /* Only a four-byte result fits in place of the character. */
            if (mapped >= 256 && TSSisvalidwc(mapped))
                result = mapped;
        }
    }
    return result;
}

std::string shown(const char *s, int len)
{
    size_t n = 0;
    while (static_cast<int>(n) < len && s[n] != '\0')
        ++n;
    return std::string(s, n);
}

int unicode_case(char *s, int len, bool to_upper)
{
    const char *file = "lib/mb/mb_case.cpp";
    int end = 0;
    while (end < len && s[end] != '\0')
        ++end;
    bool ended = end < len;
    try {
        std::u16string text;
        if (mb::tss_to_utf16(s, end, text) < 0) {
            log_mesg(file, __LINE__, "TssStringConvertCase", 0, "Cannot convert \"%s\" to Utf16",
                     shown(s, len).c_str());
            return -1;
        }
        std::u16string mapped(static_cast<size_t>(2 * len + 1), u'\0');
        UErrorCode err = U_ZERO_ERROR;
        const mb::IcuEntries &icu = mb::icu();
        auto fn = to_upper ? icu.u_strToUpper : icu.u_strToLower;
        int32_t mlen = fn(reinterpret_cast<UChar *>(mapped.data()), static_cast<int32_t>(mapped.size()),
                          reinterpret_cast<const UChar *>(text.data()),
                          static_cast<int32_t>(text.size()), "", &err);
        if (U_FAILURE(err) || mlen > static_cast<int32_t>(mapped.size())) {
            if (!U_FAILURE(err))
                err = U_BUFFER_OVERFLOW_ERROR;
            log_mesg(file, __LINE__, "TssStringConvertCase", 0,
                     "ICU returned error code %d (%s). Cannot convert \"%s\" to %scase",
                     static_cast<int>(err), icu.u_errorName(err), shown(s, len).c_str(),
                     to_upper ? "upper" : "lower");
            return -1;
        }
        TssConvertControl c{mlen, len, 0, 0, 0, 0};
        int r = TssConvertUtf16ToTss(reinterpret_cast<const TssUtf16 *>(mapped.data()), s, &c);
        if (r == TSS_CONVERT_NO_ROOM) {
            for (int i = c.in_used; i < mlen; ++i)
                if (mapped[static_cast<size_t>(i)] != u' ') {
                    log_mesg(file, __LINE__, "TssStringConvertCase", 0, "String overflow");
                    return -1;
                }
        } else if (r < 0) {
            log_mesg(file, __LINE__, "TssStringConvertCase", 0, "Cannot convert to Tss");
            return -1;
        }
        int out = c.out_used;
        if (!ended) {
            std::memset(s + out, ' ', static_cast<size_t>(len - out));
            return 0;
        }
        if (out < len) {
            s[out] = '\0';
            return 0;
        }
        /* The text fills the whole field: its last byte must become the
         * terminator. */
        int last = 0;
        for (int pos = 0; pos < out;) {
            last = pos;
            pos += static_cast<unsigned char>(s[pos]) == TSS_LEAD ? 4 : 1;
        }
        if (s[last] == ' ' || s[last] == '\0') {
            s[len - 1] = '\0';
            return 0;
        }
        s[last] = '\0';
        log_mesg(file, __LINE__, "TssStringConvertCase", 0, "String overflow");
        return -1;
    } catch (const std::bad_alloc &) {
        log_mesg(file, __LINE__, "TssStringConvertCase", 0, "Cannot alloc memory");
        return -1;
    }
}

} // namespace

int TssIsoToLower(int byte)
{
    return map_byte(byte, false);
}

int TssIsoToUpper(int byte)
{
    return map_byte(byte, true);
}

int TssIsLower(int byte)
{
    return tables.upper[static_cast<uchar>(byte)] != 0 ? 1 : 0;
}

int TssIsUpper(int byte)
{
    return tables.lower[static_cast<uchar>(byte)] != 0 ? 1 : 0;
}

int TssIsSpace(int byte)
{
    return tables.space[static_cast<uchar>(byte)] ? 1 : 0;
}

int TssIsDigit(int byte)
{
    return tables.digit[static_cast<uchar>(byte)] ? 1 : 0;
}

void TssAsciiStringNToLower(char *s, int n)
{
    for (int i = 0; s != nullptr && i < n && s[i] != '\0'; ++i)
        s[i] = static_cast<char>(map_byte(s[i], false));
}

void TssAsciiStringNToUpper(char *s, int n)
{
    for (int i = 0; s != nullptr && i < n && s[i] != '\0'; ++i)
        s[i] = static_cast<char>(map_byte(s[i], true));
}

void TssAsciiStringToLower(char *s)
{
    for (; s != nullptr && *s != '\0'; ++s)
        *s = static_cast<char>(map_byte(*s, false));
}

void TssAsciiStringToUpper(char *s)
{
    for (; s != nullptr && *s != '\0'; ++s)
        *s = static_cast<char>(map_byte(*s, true));
}

int TssStringConvertCase(char *s, int len, int to_upper)
{
    if (s == nullptr || len <= 0 || s[0] == '\0')
        return 0;
    bool upper = to_upper != 0;
    int high = -1; /* whether high ASCII is expected; asked when needed */
    int i = 0;
    for (; i < len && s[i] != '\0'; ++i) {
        uchar b = static_cast<uchar>(s[i]);
        if (b >= 0x80) {
            if (b == TSS_LEAD)
                break;
            if (high < 0)
                high = TssIsHighAsciiExpected();
            if (!high)
                break;
        }
        s[i] = static_cast<char>(map_byte(b, upper));
    }
    if (i >= len || s[i] == '\0')
        return 0;
    if (TssGetMode() == TSS_MODE_UNICODE)
        return unicode_case(s, len, upper);
    while (i < len && s[i] != '\0') {
        uchar b = static_cast<uchar>(s[i]);
        if (b != TSS_LEAD) {
            s[i] = static_cast<char>(map_byte(b, upper));
            ++i;
            continue;
        }
        if (i + 3 >= len || s[i + 1] == '\0' || s[i + 2] == '\0' || s[i + 3] == '\0') {
            tss_error(nullptr, 0, 40);
            return -1;
        }
        TSSwchar wc = TSSmbs2wc(s + i);
        TSSwchar mapped = wide_case(wc, upper);
        if (mapped != wc)
            TSSwc2mbs(s + i, mapped);
        i += 4;
    }
    return 0;
}

int init_iso(const char *name)
{
    STREAM *sp = nullptr;
    std::string used;
    if (name != nullptr && *name != '\0') {
        used = std::string("lib/nlsinf/") + name;
        sp = open_tse_file("%s", used.c_str());
    }
    if (sp == nullptr) {
        const char *sh_table = getvar("SH_TABLE");
        if (sh_table != nullptr && *sh_table != '\0') {
            used = std::string("lib/nlsinf/") + sh_table;
            sp = open_tse_file("%s", used.c_str());
        }
    }
    if (sp == nullptr) {
        used = "lib/nlsinf/shift.tab";
        sp = open_tse_file("%s", used.c_str());
    }
    if (sp == nullptr)
        return -1;
    int result = read_tables(sp, used);
    sclose(sp);
    return result;
}

void TssResetCaseTables(void)
{
    tables = make_defaults();
}
