/*
 * tss_convert.cpp: the character-set conversion library "TssConvert"
 * (libTssConvert.so): conversions between TSS, UTF-8, UTF-16 and the native
 * character set over ICU converters, TSS iterators and converter queries.
 *
 * How Unicode and TSS meet: a one-byte TSS character is, in Unicode mode,
 * the code point of the same value (U+0001-U+00FF except U+009B) and, in
 * classic mode, the native byte of that value. Every other code point c is
 * the four bytes 9B, 0x80|(c>>14 & 0x7F), 0x80|(c>>7 & 0x7F), 0x80|(c & 0x7F):
 * 21 bits in the low 7 bits of three bytes that all have the top bit set,
 * so none is 0 (and none is an ASCII byte such as "%").
 */
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "tss_convert.h"

#define TSS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum class Form { Tss, Native, Utf8, Utf16, Utf16Bytes };

/* The native character set in use. */
struct Converter {
    int index = -1;
    std::string name;
    UConverter *cnv = nullptr;
    int max_bytes = 1;
    bool unicode_form = false;
    bool high_ascii = false;
    int ebcdic_ccsid = 0;
    int32_t byte_to_cp[256] = {};
    std::unordered_map<UChar32, unsigned char> cp_to_byte;
};

struct State {
    bool ready = false;
    bool failed = false;
    std::vector<std::string> names;
    std::map<int, std::string> descriptions;
    Converter native;
    int max_point = 0;
    TssMetaMaxHandler sb_to_native = nullptr;
    TssMetaMaxHandler to_native = nullptr;
    TssMetaMaxHandler sb_to_tss = nullptr;
    TssMetaMaxHandler to_tss = nullptr;
    TssConversionErrorHandler error_handler = nullptr;
    TssUtftModeHandler mode_handler = nullptr;
};

State &state()
{
    static State s;
    return s;
}

bool unicode_mode()
{
    return state().mode_handler != nullptr && state().mode_handler() == 2;
}

bool is_unicode_type(UConverterType type)
{
    switch (type) {
    case UCNV_UTF8: case UCNV_UTF16_BigEndian: case UCNV_UTF16_LittleEndian:
    case UCNV_UTF32_BigEndian: case UCNV_UTF32_LittleEndian: case UCNV_UTF16:
    case UCNV_UTF32: case UCNV_UTF7: case UCNV_CESU8: case UCNV_SCSU:
    case UCNV_BOCU1: case UCNV_IMAP_MAILBOX:
        return true;
    default:
        return false;
    }
}

/* Opens a converter that stops at every unmappable or illegal sequence. */
UConverter *open_stopping(const char *name)
{
    UErrorCode err = U_ZERO_ERROR;
    UConverter *cnv = ucnv_open(name, &err);
    if (U_FAILURE(err))
        return nullptr;
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    if (U_FAILURE(err)) {
        ucnv_close(cnv);
        return nullptr;
    }
    return cnv;
}

/* The code point of a single byte in cnv, or -1. */
int32_t single_byte(UConverter *cnv, unsigned char byte)
{
    ucnv_reset(cnv);
    const char *src = reinterpret_cast<const char *>(&byte);
    UErrorCode err = U_ZERO_ERROR;
    UChar32 cp = ucnv_getNextUChar(cnv, &src, src + 1, &err);
    ucnv_reset(cnv);
    if (U_FAILURE(err) || src != reinterpret_cast<const char *>(&byte) + 1)
        return -1;
    return cp;
}

bool fill_converter(Converter &c, int index, const std::string &name)
{
    UConverter *cnv = open_stopping(name.c_str());
    if (cnv == nullptr)
        return false;
    if (c.cnv != nullptr)
        ucnv_close(c.cnv);
    c = Converter{};
    c.index = index;
    c.name = name;
    c.cnv = cnv;
    c.max_bytes = ucnv_getMaxCharSize(cnv);
    c.unicode_form = is_unicode_type(ucnv_getType(cnv));
    for (int b = 0; b < 256; ++b) {
        c.byte_to_cp[b] = single_byte(cnv, static_cast<unsigned char>(b));
        if (c.byte_to_cp[b] >= 0)
            c.cp_to_byte.emplace(c.byte_to_cp[b], static_cast<unsigned char>(b));
    }
    bool ascii = true;
    for (int b = 0; b < 0x80; ++b)
        ascii = ascii && c.byte_to_cp[b] == b;
    bool high = c.max_bytes == 1;
    for (int b = 0x80; b < 256; ++b)
        if (b != 0x9B && c.byte_to_cp[b] < 0)
            high = false;
    c.high_ascii = ascii && high;
    /* EBCDIC sets keep the letter A at 0xC1. */
    if (c.max_bytes <= 2 && c.byte_to_cp[0xC1] == 'A') {
        UErrorCode err = U_ZERO_ERROR;
        c.ebcdic_ccsid = ucnv_getCCSID(cnv, &err);
        if (U_FAILURE(err) || c.ebcdic_ccsid < 0)
            c.ebcdic_ccsid = 0;
    }
    return true;
}

int find_converter(const char *name)
{
    State &s = state();
    if (name == nullptr || *name == '\0')
        return -1;
    for (size_t i = 0; i < s.names.size(); ++i)
        if (ucnv_compareNames(name, s.names[i].c_str()) == 0)
            return static_cast<int>(i);
    UErrorCode err = U_ZERO_ERROR;
    UConverter *cnv = ucnv_open(name, &err);
    if (U_FAILURE(err))
        return -1;
    const char *canonical = ucnv_getName(cnv, &err);
    int found = -1;
    for (size_t i = 0; U_SUCCESS(err) && i < s.names.size(); ++i)
        if (ucnv_compareNames(canonical, s.names[i].c_str()) == 0) {
            found = static_cast<int>(i);
            break;
        }
    ucnv_close(cnv);
    return found;
}

bool ensure_ready()
{
    State &s = state();
    if (s.ready)
        return true;
    if (s.failed)
        return false;
    int32_t count = ucnv_countAvailable();
    for (int32_t i = 0; i < count; ++i)
        s.names.emplace_back(ucnv_getAvailableName(i));
    int latin1 = find_converter("ISO-8859-1");
    if (latin1 < 0 || !fill_converter(s.native, latin1, s.names[latin1])) {
        s.failed = true;
        return false;
    }
    s.ready = true;
    return true;
}

/* ---- decoding ------------------------------------------------------------ */

struct Decoded {
    int status;        /* 1 a character, 0 the end, -1 malformed, -3 unconvertible */
    UChar32 cp;
    int len;           /* input units of the character */
    unsigned int bad;  /* with -3: what could not be converted */
};

UChar32 tss4_to_cp(unsigned b1, unsigned b2, unsigned b3)
{
    if (b1 < 0x80 || b2 < 0x80 || b3 < 0x80)
        return -1;
    UChar32 cp = static_cast<UChar32>(((b1 & 0x7F) << 14) | ((b2 & 0x7F) << 7) | (b3 & 0x7F));
    if (cp > 0x10FFFF || U_IS_SURROGATE(cp))
        return -1;
    return cp;
}

Decoded decode_tss(const unsigned char *in, int pos, int len)
{
    if (pos >= len)
        return {0, 0, 0, 0};
    unsigned b = in[pos];
    if (b != 0x9B) {
        UChar32 cp = unicode_mode() ? static_cast<UChar32>(b) : state().native.byte_to_cp[b];
        if (b == 0)
            cp = 0;
        if (cp < 0)
            return {-3, 0, 1, b};
        return {1, cp, 1, 0};
    }
    for (int i = 1; i <= 3; ++i)
        if (pos + i >= len || in[pos + i] == 0)
            return {-1, 0, 0, 0};
    unsigned wide = 0x9B000000u | in[pos + 1] << 16 | in[pos + 2] << 8 | in[pos + 3];
    UChar32 cp = tss4_to_cp(in[pos + 1], in[pos + 2], in[pos + 3]);
    if (cp < 0)
        return {-3, 0, 4, wide};
    return {1, cp, 4, 0};
}

Decoded decode_utf8(const unsigned char *in, int pos, int len)
{
    if (pos >= len)
        return {0, 0, 0, 0};
    unsigned b = in[pos];
    if (b < 0x80)
        return {1, static_cast<UChar32>(b), 1, 0};
    int n;
    UChar32 cp;
    UChar32 min;
    if (b >= 0xC2 && b <= 0xDF) { n = 2; cp = b & 0x1F; min = 0x80; }
    else if (b >= 0xE0 && b <= 0xEF) { n = 3; cp = b & 0x0F; min = 0x800; }
    else if (b >= 0xF0 && b <= 0xF4) { n = 4; cp = b & 0x07; min = 0x10000; }
    else return {-1, 0, 0, 0};
    for (int i = 1; i < n; ++i) {
        if (pos + i >= len || (in[pos + i] & 0xC0) != 0x80)
            return {-1, 0, 0, 0};
        cp = cp << 6 | (in[pos + i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || U_IS_SURROGATE(cp))
        return {-1, 0, 0, 0};
    return {1, cp, n, 0};
}

unsigned unit_at(Form form, const void *in, int pos)
{
    if (form == Form::Utf16)
        return static_cast<const TssUtf16 *>(in)[pos];
    const unsigned char *b = static_cast<const unsigned char *>(in);
    return static_cast<unsigned>(b[2 * pos] << 8 | b[2 * pos + 1]);
}

/* UTF-16 units, or big-endian byte pairs (pos and len count units here). */
Decoded decode_utf16(Form form, const void *in, int pos, int len)
{
    if (pos >= len)
        return {0, 0, 0, 0};
    unsigned u = unit_at(form, in, pos);
    if (U16_IS_TRAIL(u))
        return {-1, 0, 0, 0};
    if (!U16_IS_LEAD(u))
        return {1, static_cast<UChar32>(u), 1, 0};
    if (pos + 1 >= len)
        return {-1, 0, 0, 0};
    unsigned t = unit_at(form, in, pos + 1);
    if (!U16_IS_TRAIL(t))
        return {-1, 0, 0, 0};
    return {1, U16_GET_SUPPLEMENTARY(u, t), 2, 0};
}

Decoded decode_native(const unsigned char *in, int pos, int len)
{
    Converter &n = state().native;
    if (pos >= len)
        return {0, 0, 0, 0};
    if (n.max_bytes == 1) {
        int32_t cp = n.byte_to_cp[in[pos]];
        if (cp < 0)
            return {-3, 0, 1, in[pos]};
        return {1, cp, 1, 0};
    }
    ucnv_resetToUnicode(n.cnv);
    const char *start = reinterpret_cast<const char *>(in + pos);
    const char *src = start;
    UErrorCode err = U_ZERO_ERROR;
    UChar32 cp = ucnv_getNextUChar(n.cnv, &src, reinterpret_cast<const char *>(in + len), &err);
    if (err == U_TRUNCATED_CHAR_FOUND)
        return {-1, 0, 0, 0};
    if (U_FAILURE(err) || src == start)
        return {-3, 0, 1, in[pos]};
    return {1, cp, static_cast<int>(src - start), 0};
}

Decoded decode(Form form, const void *in, int pos, int len)
{
    const unsigned char *b = static_cast<const unsigned char *>(in);
    switch (form) {
    case Form::Tss: return decode_tss(b, pos, len);
    case Form::Utf8: return decode_utf8(b, pos, len);
    case Form::Native: return decode_native(b, pos, len);
    case Form::Utf16: return decode_utf16(form, in, pos, len);
    case Form::Utf16Bytes: {
        Decoded d = decode_utf16(form, in, pos / 2, len / 2);
        d.len *= 2;
        return d;
    }
    }
    return {-1, 0, 0, 0};
}

/* Input length in units; a negative length stops at the first 0 unit. */
int input_length(Form form, const void *in, int given)
{
    if (given >= 0)
        return form == Form::Utf16Bytes ? given & ~1 : given;
    if (form == Form::Utf16) {
        const TssUtf16 *w = static_cast<const TssUtf16 *>(in);
        int n = 0;
        while (w[n] != 0)
            ++n;
        return n;
    }
    const unsigned char *b = static_cast<const unsigned char *>(in);
    if (form == Form::Utf16Bytes) {
        int n = 0;
        while (b[n] != 0 || b[n + 1] != 0)
            n += 2;
        return n;
    }
    return static_cast<int>(std::strlen(reinterpret_cast<const char *>(b)));
}

/* ---- encoding ------------------------------------------------------------ */

/* The TSS bytes of a code point; their count (1 or 4). */
int tss_bytes(UChar32 cp, unsigned char out[4])
{
    if (cp == 0) {
        out[0] = 0;
        return 1;
    }
    if (unicode_mode()) {
        if (cp < 256 && cp != 0x9B) {
            out[0] = static_cast<unsigned char>(cp);
            return 1;
        }
    } else {
        auto &map = state().native.cp_to_byte;
        auto it = map.find(cp);
        if (it != map.end() && it->second != 0x9B && it->second != 0) {
            out[0] = it->second;
            return 1;
        }
    }
    out[0] = 0x9B;
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 14) & 0x7F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 7) & 0x7F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x7F));
    return 4;
}

/* Native bytes of a code point: count, or -3. */
int native_bytes(UChar32 cp, char *out, int size)
{
    Converter &n = state().native;
    if (n.max_bytes == 1) {
        auto it = n.cp_to_byte.find(cp);
        if (it == n.cp_to_byte.end())
            return -3;
        out[0] = static_cast<char>(it->second);
        return 1;
    }
    UChar units[2];
    int32_t count = 0;
    U16_APPEND_UNSAFE(units, count, cp);
    ucnv_resetFromUnicode(n.cnv);
    UErrorCode err = U_ZERO_ERROR;
    int32_t len = ucnv_fromUChars(n.cnv, out, size, units, count, &err);
    ucnv_resetFromUnicode(n.cnv);
    if (U_FAILURE(err) || len <= 0 || len > size)
        return -3;
    return len;
}

/* Appends the code point; 0, -2 (no room) or -3 (no counterpart). */
int encode(Form form, UChar32 cp, void *out, int &pos, int room)
{
    unsigned char buf[16];
    int n = 0;
    switch (form) {
    case Form::Tss:
        n = tss_bytes(cp, buf);
        break;
    case Form::Native:
        n = native_bytes(cp, reinterpret_cast<char *>(buf), sizeof buf);
        if (n < 0)
            return -3;
        break;
    case Form::Utf8: {
        UBool error = false;
        int32_t i = 0;
        U8_APPEND(buf, i, 4, cp, error);
        if (error)
            return -3;
        n = i;
        break;
    }
    case Form::Utf16: {
        int units = U16_LENGTH(cp);
        if (pos + units > room)
            return -2;
        TssUtf16 *w = static_cast<TssUtf16 *>(out);
        if (units == 1) {
            w[pos] = static_cast<TssUtf16>(cp);
        } else {
            w[pos] = U16_LEAD(cp);
            w[pos + 1] = U16_TRAIL(cp);
        }
        pos += units;
        return 0;
    }
    case Form::Utf16Bytes:
        if (cp > 0xFFFF) {
            unsigned lead = U16_LEAD(cp), trail = U16_TRAIL(cp);
            buf[0] = static_cast<unsigned char>(lead >> 8);
            buf[1] = static_cast<unsigned char>(lead);
            buf[2] = static_cast<unsigned char>(trail >> 8);
            buf[3] = static_cast<unsigned char>(trail);
            n = 4;
        } else {
            buf[0] = static_cast<unsigned char>(cp >> 8);
            buf[1] = static_cast<unsigned char>(cp);
            n = 2;
        }
        break;
    }
    if (pos + n > room)
        return -2;
    std::memcpy(static_cast<unsigned char *>(out) + pos, buf, static_cast<size_t>(n));
    pos += n;
    return 0;
}

/* A replacement for an unconvertible character, or -1. */
UChar32 replacement(unsigned int bad, Form to, int flags)
{
    State &s = state();
    if (s.error_handler != nullptr) {
        int r = s.error_handler(bad);
        if (r >= 0)
            return r;
    }
    if (flags & TSS_CONVERT_SUBSTITUTE)
        return to == Form::Native || to == Form::Tss ? '?' : 0xFFFD;
    return -1;
}

/* The "meta max" replacements; true when the character was written. */
bool meta_max(Form from, Form to, const Decoded &d, const unsigned char *in,
              int ip, void *out, int &op, int room, int &result)
{
    State &s = state();
    if (from == Form::Tss && to == Form::Native) {
        TssMetaMaxHandler h = nullptr;
        unsigned int ch = 0;
        if (d.len == 1 && s.max_point != 0 && in[ip] == s.max_point && s.sb_to_native) {
            h = s.sb_to_native;
            ch = in[ip];
        } else if (d.status == 1 && d.cp == 0x10FFFF && s.to_native) {
            h = s.to_native;
            ch = static_cast<unsigned int>(d.cp);
        }
        unsigned int r = h != nullptr ? h(ch) : 0;
        if (r == 0)
            return false;
        if (op + 1 > room) {
            result = -2;
            return true;
        }
        static_cast<unsigned char *>(out)[op++] = static_cast<unsigned char>(r);
        return true;
    }
    if (from == Form::Native && to == Form::Tss && d.status == 1) {
        unsigned char tss[4];
        int n = tss_bytes(d.cp, tss);
        TssMetaMaxHandler h = nullptr;
        unsigned int ch = 0;
        if (n == 1 && s.max_point != 0 && tss[0] == s.max_point && s.sb_to_tss) {
            h = s.sb_to_tss;
            ch = tss[0];
        } else if (d.cp == 0x10FFFF && s.to_tss) {
            h = s.to_tss;
            ch = static_cast<unsigned int>(d.cp);
        }
        unsigned int wide = h != nullptr ? h(ch) : 0;
        if (wide == 0)
            return false;
        int need = wide < 256 ? 1 : 4;
        if (op + need > room) {
            result = -2;
            return true;
        }
        unsigned char *o = static_cast<unsigned char *>(out) + op;
        if (need == 1) {
            o[0] = static_cast<unsigned char>(wide);
        } else {
            o[0] = static_cast<unsigned char>(wide >> 24);
            o[1] = static_cast<unsigned char>(wide >> 16);
            o[2] = static_cast<unsigned char>(wide >> 8);
            o[3] = static_cast<unsigned char>(wide);
        }
        op += need;
        return true;
    }
    return false;
}

int convert(Form from, Form to, const void *in, void *out, TssConvertControl *c)
{
    if (c == nullptr)
        return -1;
    c->in_used = 0;
    c->out_used = 0;
    c->bad = 0;
    if (in == nullptr || out == nullptr || c->out_room < 0 || !ensure_ready())
        return -1;
    int len = input_length(from, in, c->in_len);
    int unit = to == Form::Utf16 ? 1 : 0;
    int room = c->out_room;
    if (c->flags & TSS_CONVERT_TERMINATE) {
        if (room < 1)
            return -2;
        room -= 1;
    }
    int ip = 0, op = 0, result = 0;
    const unsigned char *bytes = static_cast<const unsigned char *>(in);
    for (;;) {
        Decoded d = decode(from, in, ip, len);
        if (d.status == 0)
            break;
        if (d.status == -1) {
            result = -1;
            break;
        }
        if (meta_max(from, to, d, bytes, ip, out, op, room, result)) {
            if (result != 0)
                break;
            ip += d.len;
            continue;
        }
        UChar32 cp = d.cp;
        if (d.status == -3) {
            cp = replacement(d.bad, to, c->flags);
            if (cp < 0) {
                c->bad = d.bad;
                result = -3;
                break;
            }
        }
        int r = encode(to, cp, out, op, room);
        if (r == -3) {
            UChar32 alt = replacement(static_cast<unsigned int>(cp), to, c->flags);
            r = alt >= 0 ? encode(to, alt, out, op, room) : -3;
            if (r == -3)
                c->bad = static_cast<unsigned int>(cp);
        }
        if (r != 0) {
            result = r;
            break;
        }
        ip += d.len;
    }
    c->in_used = ip;
    c->out_used = op;
    if (c->flags & TSS_CONVERT_TERMINATE) {
        if (unit)
            static_cast<TssUtf16 *>(out)[op] = 0;
        else
            static_cast<char *>(out)[op] = '\0';
    }
    return result < 0 ? result : op;
}

/* ---- iterators ------------------------------------------------------------ */

void it_decode(TssIterator *it)
{
    if (it->next >= 0)
        return;
    Decoded d = decode_tss(it->text, it->pos, it->length);
    if (d.status == 1) {
        it->code = d.cp;
        it->next = it->pos + d.len;
    } else if (d.status == -3) {
        it->code = -3;
        it->next = it->pos + d.len;
    } else {
        it->code = -1;
        it->next = it->pos;
    }
}

int it_init(TssIterator *it, const char *text, int length)
{
    if (it == nullptr || text == nullptr || !ensure_ready())
        return -1;
    it->text = reinterpret_cast<const unsigned char *>(text);
    it->length = length >= 0 ? length : static_cast<int>(std::strlen(text));
    it->pos = 0;
    it->next = -1;
    it->code = -1;
    it->unit = 0;
    return 0;
}

bool it_valid(TssIterator *it)
{
    return it != nullptr && it->text != nullptr;
}

int it_has_next(TssIterator *it)
{
    if (!it_valid(it))
        return 0;
    it_decode(it);
    return it->code != -1 ? 1 : 0;
}

int it_skip_input(TssIterator *it)
{
    if (!it_has_next(it))
        return -1;
    it->pos = it->next;
    it->next = -1;
    it->unit = 0;
    return 0;
}

unsigned int it_input_unit(TssIterator *it)
{
    if (!it_has_next(it))
        return 0;
    const unsigned char *p = it->text + it->pos;
    if (it->next - it->pos == 4)
        return 0x9B000000u | p[1] << 16 | p[2] << 8 | p[3];
    return p[0];
}

int it16_current(TssIterator *it)
{
    if (!it_has_next(it))
        return -1;
    if (it->code < 0)
        return it->code;
    if (it->code > 0xFFFF)
        return it->unit == 0 ? U16_LEAD(it->code) : U16_TRAIL(it->code);
    return it->code;
}

int it16_skip(TssIterator *it)
{
    if (!it_has_next(it))
        return -1;
    if (it->code > 0xFFFF && it->unit == 0) {
        it->unit = 1;
        return 0;
    }
    return it_skip_input(it);
}

int it_reset(TssIterator *it)
{
    if (!it_valid(it))
        return -1;
    it->pos = 0;
    it->next = -1;
    it->unit = 0;
    return 0;
}

} // namespace

/* ---- exported conversions ------------------------------------------------- */

#define TSS_CONVERSION(name, in_t, out_t, from, to)                          \
    TSS_EXPORT int name(const in_t *in, out_t *out, TssConvertControl *c)     \
    {                                                                         \
        return convert(Form::from, Form::to, in, out, c);                     \
    }

TSS_CONVERSION(TssConvertUtf8ToUtf16, char, TssUtf16, Utf8, Utf16)
TSS_CONVERSION(TssConvertUtf8ToUtf16Bytes, char, char, Utf8, Utf16Bytes)
TSS_CONVERSION(TssConvertUtf8ToNative, char, char, Utf8, Native)
TSS_CONVERSION(TssConvertUtf8ToTss, char, char, Utf8, Tss)
TSS_CONVERSION(TssConvertUtf16ToUtf8, TssUtf16, char, Utf16, Utf8)
TSS_CONVERSION(TssConvertUtf16BytesToUtf8, char, char, Utf16Bytes, Utf8)
TSS_CONVERSION(TssConvertUtf16ToNative, TssUtf16, char, Utf16, Native)
TSS_CONVERSION(TssConvertUtf16BytesToNative, char, char, Utf16Bytes, Native)
TSS_CONVERSION(TssConvertUtf16ToTss, TssUtf16, char, Utf16, Tss)
TSS_CONVERSION(TssConvertUtf16BytesToTss, char, char, Utf16Bytes, Tss)
TSS_CONVERSION(TssConvertNativeToUtf8, char, char, Native, Utf8)
TSS_CONVERSION(TssConvertNativeToUtf16, char, TssUtf16, Native, Utf16)
TSS_CONVERSION(TssConvertNativeToUtf16Bytes, char, char, Native, Utf16Bytes)
TSS_CONVERSION(TssConvertNativeToTss, char, char, Native, Tss)
TSS_CONVERSION(TssConvertTssToUtf8, char, char, Tss, Utf8)
TSS_CONVERSION(TssConvertTssToUtf16, char, TssUtf16, Tss, Utf16)
TSS_CONVERSION(TssConvertTssToUtf16Bytes, char, char, Tss, Utf16Bytes)
TSS_CONVERSION(TssConvertTssToNative, char, char, Tss, Native)

/* ---- exported iterators ---------------------------------------------------- */

TSS_EXPORT int TssIteratorTssToUtf16_Initialize(TssIterator *it, const char *t, int l) { return it_init(it, t, l); }
TSS_EXPORT int TssIteratorTssToUtf16_HasNext(TssIterator *it) { return it_has_next(it); }
TSS_EXPORT int TssIteratorTssToUtf16_SkipCurrent(TssIterator *it) { return it16_skip(it); }
TSS_EXPORT int TssIteratorTssToUtf16_GetCurrent(TssIterator *it) { return it16_current(it); }
TSS_EXPORT int TssIteratorTssToUtf16_GetNext(TssIterator *it)
{
    int unit = it16_current(it);
    if (unit >= 0)
        it16_skip(it);
    return unit;
}
TSS_EXPORT int TssIteratorTssToUtf16_HasNextInputUnit(TssIterator *it) { return it_has_next(it); }
TSS_EXPORT int TssIteratorTssToUtf16_SkipCurrentInputUnit(TssIterator *it) { return it_skip_input(it); }
TSS_EXPORT unsigned int TssIteratorTssToUtf16_GetCurrentInputUnit(TssIterator *it) { return it_input_unit(it); }
TSS_EXPORT unsigned int TssIteratorTssToUtf16_GetNextInputUnit(TssIterator *it)
{
    unsigned int unit = it_input_unit(it);
    if (unit != 0)
        it_skip_input(it);
    return unit;
}
TSS_EXPORT int TssIteratorTssToUtf16_Reset(TssIterator *it) { return it_reset(it); }
TSS_EXPORT int TssIteratorTssToUtf16_Finalize(TssIterator *it)
{
    if (it != nullptr)
        *it = TssIterator{};
    return 0;
}

TSS_EXPORT int TssIteratorTssToUtf32_Initialize(TssIterator *it, const char *t, int l) { return it_init(it, t, l); }
TSS_EXPORT int TssIteratorTssToUtf32_HasNext(TssIterator *it) { return it_has_next(it); }
TSS_EXPORT int TssIteratorTssToUtf32_SkipCurrent(TssIterator *it) { return it_skip_input(it); }
TSS_EXPORT int TssIteratorTssToUtf32_GetCurrent(TssIterator *it)
{
    if (!it_has_next(it))
        return -1;
    return it->code;
}
TSS_EXPORT int TssIteratorTssToUtf32_GetNext(TssIterator *it)
{
    int code = TssIteratorTssToUtf32_GetCurrent(it);
    if (code >= 0 || code == -3)
        it_skip_input(it);
    return code;
}
TSS_EXPORT int TssIteratorTssToUtf32_HasNextInputUnit(TssIterator *it) { return it_has_next(it); }
TSS_EXPORT int TssIteratorTssToUtf32_SkipCurrentInputUnit(TssIterator *it) { return it_skip_input(it); }
TSS_EXPORT unsigned int TssIteratorTssToUtf32_GetCurrentInputUnit(TssIterator *it) { return it_input_unit(it); }
TSS_EXPORT unsigned int TssIteratorTssToUtf32_GetNextInputUnit(TssIterator *it)
{
    return TssIteratorTssToUtf16_GetNextInputUnit(it);
}
TSS_EXPORT int TssIteratorTssToUtf32_Reset(TssIterator *it) { return it_reset(it); }
TSS_EXPORT int TssIteratorTssToUtf32_Finalize(TssIterator *it) { return TssIteratorTssToUtf16_Finalize(it); }

/* ---- converter queries ------------------------------------------------------ */

TSS_EXPORT int TssGetConverterCount(void)
{
    return ensure_ready() ? static_cast<int>(state().names.size()) : 0;
}

TSS_EXPORT int TssFindConverter(const char *name)
{
    return ensure_ready() ? find_converter(name) : -1;
}

TSS_EXPORT int TssSetCurrentConverterIndex(int index)
{
    if (!ensure_ready())
        return -1;
    State &s = state();
    if (index < 0 || index >= static_cast<int>(s.names.size()))
        return -1;
    int previous = s.native.index;
    if (index != previous) {
        Converter fresh;
        if (!fill_converter(fresh, index, s.names[index]))
            return -1;
        if (s.native.cnv != nullptr)
            ucnv_close(s.native.cnv);
        s.native = std::move(fresh);
    }
    return previous;
}

TSS_EXPORT int TssGetCurrentConverterIndex(void)
{
    return ensure_ready() ? state().native.index : -1;
}

TSS_EXPORT const char *TssGetConverterName(int index)
{
    if (!ensure_ready() || index < 0 || index >= static_cast<int>(state().names.size()))
        return nullptr;
    return state().names[index].c_str();
}

TSS_EXPORT const char *TssGetConverterDescription(int index)
{
    if (!ensure_ready() || index < 0 || index >= static_cast<int>(state().names.size()))
        return nullptr;
    State &s = state();
    auto known = s.descriptions.find(index);
    if (known != s.descriptions.end())
        return known->second.c_str();
    Converter c;
    std::string text = s.names[index];
    if (fill_converter(c, index, s.names[index])) {
        text += c.max_bytes == 1 ? ": single-byte" : ": multibyte, up to " + std::to_string(c.max_bytes) + " bytes";
        if (c.unicode_form)
            text += ", Unicode";
        if (c.ebcdic_ccsid != 0)
            text += ", EBCDIC CCSID " + std::to_string(c.ebcdic_ccsid);
        if (c.high_ascii)
            text += ", high ASCII";
        ucnv_close(c.cnv);
    } else {
        text += ": not available";
    }
    return s.descriptions.emplace(index, text).first->second.c_str();
}

TSS_EXPORT const char *TssGetCurrentConverterName(void)
{
    return TssGetConverterName(TssGetCurrentConverterIndex());
}

TSS_EXPORT const char *TssGetCurrentConverterDescription(void)
{
    return TssGetConverterDescription(TssGetCurrentConverterIndex());
}

TSS_EXPORT int TssGetWidthOfAmbiguousEastAsianWidth(void)
{
    if (!ensure_ready())
        return 1;
    const Converter &n = state().native;
    return n.max_bytes > 1 && !n.unicode_form ? 2 : 1;
}

TSS_EXPORT int TssGetEbcdicCCSID(void)
{
    return ensure_ready() ? state().native.ebcdic_ccsid : 0;
}

TSS_EXPORT int TssIsMultibyte(void)
{
    return ensure_ready() && state().native.max_bytes > 1 ? 1 : 0;
}

TSS_EXPORT int TssIsHighAsciiCompatible(void)
{
    return ensure_ready() && state().native.high_ascii ? 1 : 0;
}

TSS_EXPORT int TssSetMaximallyCollatingSingleByteTssPoint(int byte)
{
    int previous = state().max_point;
    if (byte >= 0 && byte < 256 && byte != 0x9B)
        state().max_point = byte;
    return previous;
}

TSS_EXPORT int TssGetMaximallyCollatingSingleByteTssPoint(void)
{
    return state().max_point;
}

#define TSS_HANDLER(Name, Type, field)                                        \
    TSS_EXPORT Type TssSet##Name(Type h)                                      \
    {                                                                         \
        Type previous = state().field;                                        \
        state().field = h;                                                    \
        return previous;                                                      \
    }                                                                         \
    TSS_EXPORT Type TssGet##Name(void) { return state().field; }

TSS_HANDLER(SingleByteMetaMaxToNativeHandler, TssMetaMaxHandler, sb_to_native)
TSS_HANDLER(MetaMaxToNativeHandler, TssMetaMaxHandler, to_native)
TSS_HANDLER(SingleByteMetaMaxToTssHandler, TssMetaMaxHandler, sb_to_tss)
TSS_HANDLER(MetaMaxToTssHandler, TssMetaMaxHandler, to_tss)
TSS_HANDLER(ConversionErrorHandler, TssConversionErrorHandler, error_handler)
TSS_HANDLER(UtftModeHandler, TssUtftModeHandler, mode_handler)

TSS_EXPORT int TssCleanNative(char *text, int length)
{
    if (text == nullptr || !ensure_ready())
        return 0;
    int len = length >= 0 ? length : static_cast<int>(std::strlen(text));
    unsigned char *bytes = reinterpret_cast<unsigned char *>(text);
    int replaced = 0;
    int pos = 0;
    while (pos < len) {
        Decoded d = decode_native(bytes, pos, len);
        if (d.status == 1) {
            pos += d.len;
            continue;
        }
        bytes[pos++] = '?';
        ++replaced;
    }
    return replaced;
}

TSS_EXPORT int TssWcLegacyWidth(unsigned int wc)
{
    if (!ensure_ready())
        return -1;
    unsigned char bytes[4];
    int len;
    if (wc >= 1 && wc <= 255 && wc != 0x9B) {
        bytes[0] = static_cast<unsigned char>(wc);
        len = 1;
    } else if ((wc >> 24) == 0x9B && (wc & 0xFF0000) && (wc & 0xFF00) && (wc & 0xFF)) {
        bytes[0] = 0x9B;
        bytes[1] = static_cast<unsigned char>(wc >> 16);
        bytes[2] = static_cast<unsigned char>(wc >> 8);
        bytes[3] = static_cast<unsigned char>(wc);
        len = 4;
    } else {
        return -1;
    }
    Decoded d = decode_tss(bytes, 0, len);
    if (d.status != 1)
        return 1;
    UChar32 cp = d.cp;
    int8_t type = u_charType(cp);
    if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR ||
        type == U_CONTROL_CHAR)
        return 0;
    switch (u_getIntPropertyValue(cp, UCHAR_EAST_ASIAN_WIDTH)) {
    case U_EA_WIDE:
    case U_EA_FULLWIDTH:
        return 2;
    case U_EA_AMBIGUOUS:
        return TssGetWidthOfAmbiguousEastAsianWidth();
    default:
        return 1;
    }
}

TSS_EXPORT unsigned int TssFindTss(unsigned int code_point)
{
    if (!ensure_ready() || code_point == 0 || code_point > 0x10FFFF ||
        U_IS_SURROGATE(code_point))
        return 0;
    unsigned char bytes[4];
    int n = tss_bytes(static_cast<UChar32>(code_point), bytes);
    if (n == 1)
        return bytes[0];
    return 0x9B000000u | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
}

TSS_EXPORT int TssConvertInitialize(int /*fatal*/)
{
    return ensure_ready() ? 0 : -1;
}

TSS_EXPORT int TssConvertGetStatus(void)
{
    return 2;
}
