/*
 * mb_compare.cpp: comparison of TSS texts with blank padding: collation
 * weights in classic mode, ICU collation (root locale) in Unicode mode.
 */
#include <string>

#include "al_log.h"
#include "mb_internal.h"
#include "tss.h"
#include "tss_convert.h"

namespace {

using uchar = unsigned char;

/* Reads characters of a bounded TSS text; blanks once it has ended. */
struct Reader {
    const uchar *s;
    int len; /* < 0: up to the terminator (at most TSS_MAX_LEN) */
    int pos = 0;
    bool done = false;

    Reader(const char *text, int length)
        : s(reinterpret_cast<const uchar *>(text)),
          len(length < 0 || length > TSS_MAX_LEN ? TSS_MAX_LEN : length)
    {
        done = text == nullptr;
    }

    /* The next character, or 0 at the end (then blanks are used). */
    TSSwchar next()
    {
        if (done || pos >= len || s[pos] == 0) {
            done = true;
            return 0;
        }
        if (s[pos] != TSS_LEAD)
            return s[pos++];
        if (pos + 3 >= len || s[pos + 1] == 0 || s[pos + 2] == 0 || s[pos + 3] == 0) {
            tss_error(nullptr, 0, 40);
            done = true;
            return 0;
        }
        TSSwchar wc = 0x9B000000u | static_cast<TSSwchar>(s[pos + 1]) << 16 |
                      static_cast<TSSwchar>(s[pos + 2]) << 8 | s[pos + 3];
        pos += 4;
        return wc;
    }
};

int classic_compare(const char *a, const char *b, int la, int lb, bool ignore_case)
{
    Reader ra(a, la), rb(b, lb);
    for (;;) {
        TSSwchar ca = ra.next();
        TSSwchar cb = rb.next();
        if (ra.done && rb.done)
            return 0;
        if (ra.done)
            ca = ' ';
        if (rb.done)
            cb = ' ';
        if (ignore_case) {
            if (ca < 256)
                ca = static_cast<TSSwchar>(TssIsoToLower(static_cast<int>(ca)));
            if (cb < 256)
                cb = static_cast<TSSwchar>(TssIsoToLower(static_cast<int>(cb)));
        }
        if (ca == cb)
            continue;
        unsigned int wa = TssWcWeight(ca);
        unsigned int wb = TssWcWeight(cb);
        if (wa != wb)
            return wa < wb ? -1 : 1;
    }
}

UCollator *collator()
{
    static UCollator *coll = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        UErrorCode err = U_ZERO_ERROR;
        coll = mb::icu().ucol_open("", &err);
        if (U_FAILURE(err)) {
            coll = nullptr;
            log_mesg("lib/mb/mb_compare.cpp", __LINE__, "TssInitCollator", 0,
                     "Cannot open collator");
        }
    }
    return coll;
}

std::string shown(const char *s, int len)
{
    size_t n = 0;
    while (s != nullptr && (len < 0 || static_cast<int>(n) < len) && n < TSS_MAX_LEN && s[n] != '\0')
        ++n;
    return s != nullptr ? std::string(s, n) : std::string();
}

int unicode_compare(const char *a, const char *b, int la, int lb, bool ignore_case)
{
    UCollator *coll = collator();
    std::u16string ua, ub;
    if (coll == nullptr || mb::tss_to_utf16(a != nullptr ? a : "", la, ua) < 0 ||
        mb::tss_to_utf16(b != nullptr ? b : "", lb, ub) < 0)
        return classic_compare(a, b, la, lb, ignore_case);
    if (ua.size() < ub.size())
        ua.append(ub.size() - ua.size(), u' ');
    else
        ub.append(ua.size() - ub.size(), u' ');
    const mb::IcuEntries &icu = mb::icu();
    icu.ucol_setStrength(coll, ignore_case ? UCOL_PRIMARY : UCOL_TERTIARY);
    UCharIterator ia, ib;
    icu.uiter_setString(&ia, reinterpret_cast<const UChar *>(ua.data()), static_cast<int32_t>(ua.size()));
    icu.uiter_setString(&ib, reinterpret_cast<const UChar *>(ub.data()), static_cast<int32_t>(ub.size()));
    UErrorCode err = U_ZERO_ERROR;
    UCollationResult r = icu.ucol_strcollIter(coll, &ia, &ib, &err);
    if (U_FAILURE(err)) {
        log_mesg("lib/mb/mb_compare.cpp", __LINE__, "TssStringNNCmpWithPadding", 0,
                 "ICU returned error code %d (%s) on iteration of strings %s and %s\n",
                 static_cast<int>(err), icu.u_errorName(err), shown(a, la).c_str(),
                 shown(b, lb).c_str());
        return classic_compare(a, b, la, lb, ignore_case);
    }
    return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

int compare(const char *a, const char *b, int la, int lb, bool ignore_case)
{
    if (TssGetMode() == TSS_MODE_UNICODE)
        return unicode_compare(a, b, la, lb, ignore_case);
    return classic_compare(a, b, la, lb, ignore_case);
}

} // namespace

unsigned int TssWcWeight(TSSwchar wc)
{
    if (mb::locale_is_iso8859_1()) {
        if ((wc & 0xFFFFFF00u) == 0x9B9C9D00u)
            return ' ';
        return wc;
    }
    unsigned int ext = mb::external_code(wc);
    if (mb::locale_allows_mb_case())
        return wc < 256 ? wc : (ext != 0 ? ext : wc);
    if (ext == 0)
        return wc; /* no external code: its wide value */
    return ext < 256 ? ext << 24 : ext << 16;
}

int TssStringNNCmpWithPadding(const char *a, const char *b, int la, int lb)
{
    return compare(a, b, la, lb, false);
}

int TssStringNNCaseCmpWithPadding(const char *a, const char *b, int la, int lb)
{
    return compare(a, b, la, lb, true);
}

int TssStringNNEqualWithPadding(const char *a, const char *b, int la, int lb)
{
    return compare(a, b, la, lb, false) == 0 ? 1 : 0;
}

int TssStringNCmp(const char *a, const char *b, int n)
{
    return compare(a, b, n, n, false);
}
