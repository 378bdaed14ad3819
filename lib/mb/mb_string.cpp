/*
 * mb_string.cpp: the TSS encoding: character lengths and stepping, wide
 * values and wide strings, searching, filling, ASCII test and the masking
 * of "%" inside four-byte characters for format strings.
 */
#include <cstring>

#include "tss.h"

namespace {

using uchar = unsigned char;

/* Length of the character at p (1 or 4), 0 at the terminator, -1 when the
 * four-byte character is incomplete within limit bytes (limit < 0: none)
 * or holds a zero byte. Never reads past a zero byte or the limit. */
int char_len(const char *p, int limit)
{
    const uchar *u = reinterpret_cast<const uchar *>(p);
    if (limit == 0 || u[0] == 0)
        return 0;
    if (u[0] != TSS_LEAD)
        return 1;
    for (int i = 1; i <= 3; ++i)
        if ((limit >= 0 && i >= limit) || u[i] == 0)
            return -1;
    return 4;
}

TSSwchar wide_at(const char *p, int len)
{
    const uchar *u = reinterpret_cast<const uchar *>(p);
    if (len == 1)
        return u[0];
    return 0x9B000000u | static_cast<TSSwchar>(u[1]) << 16 | static_cast<TSSwchar>(u[2]) << 8 | u[3];
}

int wide_len(TSSwchar wc)
{
    return wc < 256 ? 1 : 4;
}

int capped(int n)
{
    return n > TSS_MAX_LEN ? TSS_MAX_LEN : n;
}

} // namespace

int TSSisvalidwc(TSSwchar wc)
{
    if (wc >= 1 && wc <= 255)
        return wc != TSS_LEAD ? 1 : 0;
    return (wc >> 24) == TSS_LEAD && (wc & 0xFF0000) != 0 && (wc & 0xFF00) != 0 &&
                   (wc & 0xFF) != 0
               ? 1
               : 0;
}

/* Characters within limit bytes; a sequence cut by the limit or by the
 * end of the string is reported with error_code and not counted. */
static int count_characters(const char *s, int limit, int error_code)
{
    int count = 0;
    for (int pos = 0;;) {
        int len = char_len(s + pos, limit - pos);
        if (len == 0)
            return count;
        if (len < 0) {
            tss_error(nullptr, 0, error_code);
            return count;
        }
        ++count;
        pos += len;
    }
}

int TSSmblen(const char *s)
{
    if (s == nullptr)
        return 0;
    return count_characters(s, TSS_MAX_LEN, 42);
}

int TSSmblen_n(const char *s, int n)
{
    if (s == nullptr || n <= 0)
        return 0;
    return count_characters(s, capped(n), 39);
}

char *TSSmbnext(const char *s)
{
    if (s == nullptr)
        return nullptr;
    int len = char_len(s, -1);
    if (len == 0)
        return nullptr;
    if (len < 0) {
        tss_error(nullptr, 0, 40);
        return nullptr;
    }
    return const_cast<char *>(s + len);
}

TSSwchar TSSmbs2wc(const char *s)
{
    if (s == nullptr)
        return 0;
    int len = char_len(s, -1);
    if (len == 0)
        return 0;
    if (len < 0) {
        tss_error(nullptr, 0, 40);
        return 0;
    }
    return wide_at(s, len);
}

int TSSmbs_n2wcs_n(TSSwchar *out, const char *s, int nbytes, int room)
{
    if (out == nullptr || room <= 0)
        return 0;
    int count = 0;
    int pos = 0;
    if (s != nullptr && nbytes > 0) {
        nbytes = capped(nbytes);
        while (count < room - 1) {
            int len = char_len(s + pos, nbytes - pos);
            if (len <= 0) {
                /* A zero byte inside the character is malformed; a character
                 * crossing the byte limit is simply not taken. */
                if (len < 0) {
                    for (int i = 1; i <= 3 && pos + i < nbytes; ++i)
                        if (s[pos + i] == '\0') {
                            tss_error(nullptr, 0, 42);
                            break;
                        }
                }
                break;
            }
            out[count++] = wide_at(s + pos, len);
            pos += len;
        }
    }
    out[count] = 0;
    return count;
}

int TSSmbs2wcs_n(TSSwchar *out, const char *s, int n)
{
    if (out == nullptr)
        return 0;
    int count = 0;
    int pos = 0;
    while (s != nullptr && count < n) {
        int len = char_len(s + pos, TSS_MAX_LEN - pos);
        if (len == 0)
            break;
        if (len < 0) {
            tss_error(nullptr, 0, 42);
            break;
        }
        out[count++] = wide_at(s + pos, len);
        pos += len;
    }
    out[count] = 0;
    return count;
}

int TSSmbs2wcs(TSSwchar *out, const char *s)
{
    return TSSmbs2wcs_n(out, s, TSS_MAX_LEN);
}

int TSSwc2mbs(char *out, TSSwchar wc)
{
    if (wc < 256) {
        out[0] = static_cast<char>(wc);
        return 1;
    }
    out[0] = static_cast<char>(wc >> 24);
    out[1] = static_cast<char>(wc >> 16);
    out[2] = static_cast<char>(wc >> 8);
    out[3] = static_cast<char>(wc);
    return 4;
}

int TSSwcs_n2mbs_n(char *out, const TSSwchar *ws, int nchars, int room)
{
    if (out == nullptr || room <= 0)
        return 0;
    int pos = 0;
    for (int i = 0; ws != nullptr && ws[i] != 0 && i < nchars; ++i) {
        if (!TSSisvalidwc(ws[i])) {
            tss_error(nullptr, 0, 30, ws[i]);
            break;
        }
        if (pos + wide_len(ws[i]) > room)
            break;
        pos += TSSwc2mbs(out + pos, ws[i]);
    }
    if (pos < room)
        out[pos] = '\0';
    return pos;
}

int TSSwcs2mbs_n(char *out, const TSSwchar *ws, int room)
{
    return TSSwcs_n2mbs_n(out, ws, TSS_MAX_LEN, room);
}

int TSSwcs_n2mbs(char *out, const TSSwchar *ws, int nchars)
{
    if (out == nullptr)
        return 0;
    int pos = 0;
    for (int i = 0; ws != nullptr && ws[i] != 0 && i < nchars; ++i) {
        if (!TSSisvalidwc(ws[i])) {
            tss_error(nullptr, 0, 30, ws[i]);
            break;
        }
        pos += TSSwc2mbs(out + pos, ws[i]);
    }
    out[pos] = '\0';
    return pos;
}

int TSSwcs2mbs(char *out, const TSSwchar *ws)
{
    return TSSwcs_n2mbs(out, ws, TSS_MAX_LEN);
}

int TSSwclen(const TSSwchar *ws)
{
    int n = 0;
    while (ws != nullptr && ws[n] != 0)
        ++n;
    return n;
}

TSSwchar *TSSwcscpy(TSSwchar *dst, const TSSwchar *src)
{
    int i = 0;
    do {
        dst[i] = src[i];
    } while (src[i++] != 0);
    return dst;
}

int TSSwcs_bytes(const TSSwchar *ws)
{
    int bytes = 0;
    for (int i = 0; ws != nullptr && ws[i] != 0; ++i)
        bytes += wide_len(ws[i]);
    return bytes;
}

char *TssStringChr(const char *s, int len, TSSwchar wc)
{
    if (s == nullptr || wc == 0)
        return nullptr;
    int limit = len < 0 ? TSS_MAX_LEN : capped(len);
    int pos = 0;
    for (;;) {
        int n = char_len(s + pos, limit - pos);
        if (n == 0)
            return nullptr;
        if (n < 0) {
            tss_error(nullptr, 0, 40);
            return nullptr;
        }
        if (wide_at(s + pos, n) == wc)
            return const_cast<char *>(s + pos);
        pos += n;
    }
}

char *TSSstrchr_wc(const char *s, TSSwchar wc)
{
    return TssStringChr(s, -1, wc);
}

char *TSSstrchr_mb(const char *s, const char *mbchar)
{
    if (mbchar == nullptr)
        return nullptr;
    TSSwchar wc = TSSmbs2wc(mbchar);
    return wc == 0 ? nullptr : TssStringChr(s, -1, wc);
}

char *TSSstrchr_ch(const char *s, int ch)
{
    if (ch <= 0 || ch > 255 || ch == TSS_LEAD)
        return nullptr;
    return TssStringChr(s, -1, static_cast<TSSwchar>(ch));
}

int TssIsASCII(const char *s, int n)
{
    if (s == nullptr)
        return 1;
    const uchar *u = reinterpret_cast<const uchar *>(s);
    for (int i = 0; i < n && u[i] != 0; ++i)
        if (u[i] >= 0x80)
            return 0;
    return 1;
}

int TssStringSet(char *out, int len, TSSwchar wc)
{
    if (out == nullptr || len < 0 || !TSSisvalidwc(wc))
        return -1;
    if (wc < 256) {
        std::memset(out, static_cast<int>(wc), static_cast<size_t>(len));
        return 0;
    }
    int pos = 0;
    while (pos + 4 <= len)
        pos += TSSwc2mbs(out + pos, wc);
    std::memset(out + pos, ' ', static_cast<size_t>(len - pos));
    return 0;
}

int TSSprep_fmt(char *out, const char *in, int size, int direction)
{
    if (out == nullptr || in == nullptr || size < 1)
        return -1;
    const char from = direction ? '%' : '\x01';
    const char to = direction ? '\x01' : '%';
    int replaced = 0;
    int pos = 0;
    int inside = 0; /* bytes of a four-byte character still to come */
    while (pos < size - 1 && in[pos] != '\0') {
        char c = in[pos];
        if (inside > 0) {
            if (c == from) {
                c = to;
                ++replaced;
            }
            --inside;
        } else if (static_cast<uchar>(c) == TSS_LEAD) {
            inside = 3;
        }
        out[pos++] = c;
    }
    out[pos] = '\0';
    return replaced;
}
