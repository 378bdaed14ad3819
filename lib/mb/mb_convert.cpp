/*
 * mb_convert.cpp: the caller's side of the conversion library: loads
 * "TssConvert" through the runtime layer's shared-library loader, looks up
 * every entry, and forwards each call of tss_convert.h to the library.
 */
#include <cstdlib>
#include <string>

#include "al_log.h"
#include "al_shlib.h"
#include "mb_internal.h"
#include "tss.h"
#include "tss_convert.h"

/* Every forwarded entry: result type, name, parameters, arguments. */
#define TSS_CONVERT_ENTRIES(X)                                                                   \
    X(int, TssConvertUtf8ToUtf16, (const char *i, TssUtf16 *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertUtf8ToUtf16Bytes, (const char *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertUtf8ToNative, (const char *i, char *o, TssConvertControl *c), (i, o, c))    \
    X(int, TssConvertUtf8ToTss, (const char *i, char *o, TssConvertControl *c), (i, o, c))       \
    X(int, TssConvertUtf16ToUtf8, (const TssUtf16 *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertUtf16BytesToUtf8, (const char *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertUtf16ToNative, (const TssUtf16 *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertUtf16BytesToNative, (const char *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertUtf16ToTss, (const TssUtf16 *i, char *o, TssConvertControl *c), (i, o, c))  \
    X(int, TssConvertUtf16BytesToTss, (const char *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertNativeToUtf8, (const char *i, char *o, TssConvertControl *c), (i, o, c))    \
    X(int, TssConvertNativeToUtf16, (const char *i, TssUtf16 *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertNativeToUtf16Bytes, (const char *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertNativeToTss, (const char *i, char *o, TssConvertControl *c), (i, o, c))     \
    X(int, TssConvertTssToUtf8, (const char *i, char *o, TssConvertControl *c), (i, o, c))       \
    X(int, TssConvertTssToUtf16, (const char *i, TssUtf16 *o, TssConvertControl *c), (i, o, c))  \
    X(int, TssConvertTssToUtf16Bytes, (const char *i, char *o, TssConvertControl *c), (i, o, c)) \
    X(int, TssConvertTssToNative, (const char *i, char *o, TssConvertControl *c), (i, o, c))     \
    TSS_ITERATOR_ENTRIES(X, TssIteratorTssToUtf16_)                                              \
    TSS_ITERATOR_ENTRIES(X, TssIteratorTssToUtf32_)                                              \
    X(int, TssGetConverterCount, (void), ())                                                     \
    X(int, TssFindConverter, (const char *name), (name))                                         \
    X(int, TssSetCurrentConverterIndex, (int index), (index))                                    \
    X(int, TssGetCurrentConverterIndex, (void), ())                                              \
    X(const char *, TssGetConverterName, (int index), (index))                                   \
    X(const char *, TssGetConverterDescription, (int index), (index))                            \
    X(const char *, TssGetCurrentConverterName, (void), ())                                      \
    X(const char *, TssGetCurrentConverterDescription, (void), ())                               \
    X(int, TssGetWidthOfAmbiguousEastAsianWidth, (void), ())                                     \
    X(int, TssGetEbcdicCCSID, (void), ())                                                        \
    X(int, TssIsMultibyte, (void), ())                                                           \
    X(int, TssIsHighAsciiCompatible, (void), ())                                                 \
    X(int, TssSetMaximallyCollatingSingleByteTssPoint, (int byte), (byte))                       \
    X(int, TssGetMaximallyCollatingSingleByteTssPoint, (void), ())                               \
    TSS_HANDLER_ENTRIES(X, SingleByteMetaMaxToNativeHandler, TssMetaMaxHandler)                  \
    TSS_HANDLER_ENTRIES(X, MetaMaxToNativeHandler, TssMetaMaxHandler)                            \
    TSS_HANDLER_ENTRIES(X, SingleByteMetaMaxToTssHandler, TssMetaMaxHandler)                     \
    TSS_HANDLER_ENTRIES(X, MetaMaxToTssHandler, TssMetaMaxHandler)                               \
    TSS_HANDLER_ENTRIES(X, ConversionErrorHandler, TssConversionErrorHandler)                    \
    TSS_HANDLER_ENTRIES(X, UtftModeHandler, TssUtftModeHandler)                                  \
    X(int, TssCleanNative, (char *text, int length), (text, length))                             \
    X(int, TssWcLegacyWidth, (unsigned int wc), (wc))                                            \
    X(unsigned int, TssFindTss, (unsigned int cp), (cp))

#define TSS_ITERATOR_ENTRIES(X, P)                                                               \
    X(int, P##Initialize, (TssIterator * it, const char *t, int l), (it, t, l))                  \
    X(int, P##HasNext, (TssIterator * it), (it))                                                 \
    X(int, P##SkipCurrent, (TssIterator * it), (it))                                             \
    X(int, P##GetCurrent, (TssIterator * it), (it))                                              \
    X(int, P##GetNext, (TssIterator * it), (it))                                                 \
    X(int, P##HasNextInputUnit, (TssIterator * it), (it))                                        \
    X(int, P##SkipCurrentInputUnit, (TssIterator * it), (it))                                    \
    X(unsigned int, P##GetCurrentInputUnit, (TssIterator * it), (it))                            \
    X(unsigned int, P##GetNextInputUnit, (TssIterator * it), (it))                               \
    X(int, P##Reset, (TssIterator * it), (it))                                                   \
    X(int, P##Finalize, (TssIterator * it), (it))

#define TSS_HANDLER_ENTRIES(X, Name, Type)                                                       \
    X(Type, TssSet##Name, (Type h), (h))                                                         \
    X(Type, TssGet##Name, (void), ())

namespace {

struct Entries {
#define TSS_MEMBER(ret, name, params, args) ret(*name) params = nullptr;
    TSS_CONVERT_ENTRIES(TSS_MEMBER)
#undef TSS_MEMBER
    int (*initialize)(int) = nullptr;
};

Entries entries;
int status = 0; /* 0 not tried, 1 a load failed, 2 loaded */
std::string library_name = "TssConvert";

int mode_for_library(void)
{
    return TssGetMode();
}

bool load()
{
    void *handle = al_shlib_load(library_name.c_str(), nullptr);
    if (handle == nullptr)
        return false;
    Entries found;
    bool complete = true;
#define TSS_LOOKUP(ret, name, params, args)                                                      \
    found.name = reinterpret_cast<ret(*) params>(al_shlib_symbol(handle, #name));                \
    complete = complete && found.name != nullptr;
    TSS_CONVERT_ENTRIES(TSS_LOOKUP)
#undef TSS_LOOKUP
    found.initialize = reinterpret_cast<int (*)(int)>(al_shlib_symbol(handle, "TssConvertInitialize"));
    complete = complete && found.initialize != nullptr &&
               al_shlib_symbol(handle, "TssConvertGetStatus") != nullptr;
    if (!complete || found.initialize(0) != 0) {
        al_shlib_close(handle);
        return false;
    }
    entries = found;
    return true;
}

} // namespace

int TssConvertInitialize(int fatal)
{
    if (status == 2)
        return 0;
    if (!load()) {
        status = 1;
        if (fatal) {
            log_mesg("lib/mb/mb_convert.cpp", __LINE__, "TssConvert", 0,
                     "Fatal error: TssConvertInitialize failed.");
            std::exit(1);
        }
        return -1;
    }
    status = 2;
    entries.TssSetUtftModeHandler(mode_for_library);
    /* Until a locale is set, the native set is the install locale's. */
    if (*TSSgetlocale() == '\0') {
        int index = TssGetInstallConverter();
        if (index >= 0)
            entries.TssSetCurrentConverterIndex(index);
    }
    return 0;
}

int TssConvertGetStatus(void)
{
    return status;
}

#define TSS_FORWARD(ret, name, params, args)                                                     \
    ret name params                                                                              \
    {                                                                                            \
        TssConvertInitialize(1);                                                                 \
        return entries.name args;                                                                \
    }
TSS_CONVERT_ENTRIES(TSS_FORWARD)
#undef TSS_FORWARD

namespace mb {

void reset_convert_for_tests()
{
    status = 0;
    entries = Entries{};
}

void set_convert_library_name(const char *name)
{
    library_name = name != nullptr ? name : "TssConvert";
}

int tss_to_utf16(const char *s, int len, std::u16string &out)
{
    int bytes = 0;
    while ((len < 0 || bytes < len) && bytes < TSS_MAX_LEN && s[bytes] != '\0')
        ++bytes;
    out.assign(static_cast<size_t>(2 * bytes + 1), u'\0');
    TssConvertControl c{bytes, static_cast<int>(out.size()), 0, 0, 0, 0};
    int n = TssConvertTssToUtf16(s, reinterpret_cast<TssUtf16 *>(out.data()), &c);
    out.resize(static_cast<size_t>(c.out_used));
    return n;
}

} // namespace mb
