/*
 * mb_log.cpp: the conversion of log texts from TSS to the native set
 * (classic mode) or UTF-8, writing characters that cannot be converted as
 * hexadecimal in brackets.
 */
#include <cstdio>
#include <cstring>

#include "al_log.h"
#include "mb_internal.h"
#include "tss.h"
#include "tss_convert.h"

namespace {

using uchar = unsigned char;

/* Input short enough to be quoted in the error line. */
constexpr int kQuotedInputMax = 256;

int copy_unchanged(const char *in, char *out, int inlen, int outlen)
{
    int n = 0;
    while (n < inlen && n < outlen - 1 && in[n] != '\0') {
        out[n] = in[n];
        ++n;
    }
    out[n] = '\0';
    return n;
}

int convert_piece(const char *in, int len, char *out, int room)
{
    TssConvertControl c{len, room, 0, 0, 0, 0};
    return TssGetMode() == TSS_MODE_CLASSIC ? TssConvertTssToNative(in, out, &c)
                                            : TssConvertTssToUtf8(in, out, &c);
}

/* Character by character; what cannot be converted in hexadecimal. */
int convert_pieces(const uchar *in, int inlen, char *out, int outlen)
{
    int room = outlen - 1;
    int ip = 0, op = 0;
    while (ip < inlen && in[ip] != 0) {
        char piece[16];
        int plen;
        int step;
        if (in[ip] < 0x80) {
            piece[0] = static_cast<char>(in[ip]);
            plen = 1;
            step = 1;
        } else if (in[ip] != TSS_LEAD) {
            plen = convert_piece(reinterpret_cast<const char *>(in + ip), 1, piece, sizeof piece);
            if (plen < 0)
                plen = std::snprintf(piece, sizeof piece, "[%02x]", in[ip]);
            step = 1;
        } else {
            if (ip + 3 >= inlen || in[ip + 1] == 0 || in[ip + 2] == 0 || in[ip + 3] == 0)
                break; /* an incomplete character ends the text */
            plen = convert_piece(reinterpret_cast<const char *>(in + ip), 4, piece, sizeof piece);
            if (plen < 0)
                plen = std::snprintf(piece, sizeof piece, "[0x%02x%02x%02x%02x]", in[ip],
                                     in[ip + 1], in[ip + 2], in[ip + 3]);
            step = 4;
        }
        if (op + plen > room)
            break;
        std::memcpy(out + op, piece, static_cast<size_t>(plen));
        op += plen;
        ip += step;
    }
    out[op] = '\0';
    return op;
}

} // namespace

int TssLogConvert(const char *in, char *out, int inlen, int outlen)
{
    if (out == nullptr || outlen <= 0)
        return -1;
    if (in == nullptr || inlen <= 0) {
        out[0] = '\0';
        return 0;
    }
    int len = 0;
    while (len < inlen && in[len] != '\0')
        ++len;
    if (TssConvertGetStatus() != 2)
        return copy_unchanged(in, out, len, outlen);
    TssConvertControl c{len, outlen, TSS_CONVERT_TERMINATE, 0, 0, 0};
    int r = TssGetMode() == TSS_MODE_CLASSIC ? TssConvertTssToNative(in, out, &c)
                                             : TssConvertTssToUtf8(in, out, &c);
    if (r >= 0)
        return r;
    if (r == TSS_CONVERT_UNCONVERTIBLE || r == TSS_CONVERT_NO_ROOM)
        return convert_pieces(reinterpret_cast<const uchar *>(in), len, out, outlen);
    if (len < kQuotedInputMax)
        std::fprintf(stderr, "Error in ConvertTssLogString; return value was %d; input string was %.*s\n",
                     r, len, in);
    else
        std::fprintf(stderr, "Error in ConvertTssLogString; return value was %d\n", r);
    copy_unchanged(in, out, len, outlen);
    return -1;
}

void TssRegisterLogHooks(void)
{
    log_tss_hooks hooks{};
    hooks.convert = TssLogConvert;
    hooks.initialize = TssConvertInitialize;
    hooks.prep_fmt = TSSprep_fmt;
    hooks.locale = TSSgetlocale;
    hooks.charset = TSSgetcharset;
    log_set_tss_hooks(&hooks);
}
