/*
 * mb_internal.h: what the source files of lib/mb share among themselves
 * (and with their unit tests): the run-time ICU entries, the locale state,
 * and resets of the process-wide caches.
 */
#ifndef MB_INTERNAL_H
#define MB_INTERNAL_H

#include <unicode/ucol.h>
#include <unicode/uiter.h>
#include <unicode/utypes.h>

#include <string>

#include "tss.h"

namespace mb {

/* The 23 ICU entries, resolved at run time (see mb_icu.cpp). */
struct IcuEntries {
    void (*u_init)(UErrorCode *);
    int8_t (*u_charType)(UChar32);
    int32_t (*u_charName)(UChar32, int, char *, int32_t, UErrorCode *);
    const char *(*u_errorName)(UErrorCode);
    int32_t (*u_getIntPropertyValue)(UChar32, int);
    UBool (*u_hasBinaryProperty)(UChar32, int);
    UBool (*u_isdigit)(UChar32);
    UBool (*u_isWhitespace)(UChar32);
    int32_t (*u_strToLower)(UChar *, int32_t, const UChar *, int32_t, const char *, UErrorCode *);
    int32_t (*u_strToUpper)(UChar *, int32_t, const UChar *, int32_t, const char *, UErrorCode *);
    UChar *(*u_strToUTF8)(char *, int32_t, int32_t *, const UChar *, int32_t, UErrorCode *);
    void (*uiter_setString)(UCharIterator *, const UChar *, int32_t);
    UChar32 (*uiter_previous32)(UCharIterator *);
    UChar32 (*uiter_current32)(UCharIterator *);
    UChar32 (*uiter_next32)(UCharIterator *);
    uint8_t (*u_getCombiningClass)(UChar32);
    int32_t (*unorm_normalize)(const UChar *, int32_t, int, int32_t, UChar *, int32_t, UErrorCode *);
    int (*unorm_quickCheckWithOptions)(const UChar *, int32_t, int, int32_t, UErrorCode *);
    void (*ucol_setStrength)(UCollator *, UCollationStrength);
    UCollator *(*ucol_open)(const char *, UErrorCode *);
    UCollationResult (*ucol_strcoll)(const UCollator *, const UChar *, int32_t, const UChar *, int32_t);
    UCollationResult (*ucol_strcollIter)(const UCollator *, UCharIterator *, UCharIterator *, UErrorCode *);
    void (*ucol_setAttribute)(UCollator *, UColAttribute, UColAttributeValue, UErrorCode *);
};

/* The entries, loading ICU on first use; a failure ends the process. */
const IcuEntries &icu();

/* The version suffix found for the loaded ICU (e.g. "_72"; "" when the
 * entries carry none); empty before the first icu(). */
const std::string &icu_suffix();

/* Library names tried for ICU (tests point them elsewhere). */
void set_icu_library_names(const char *uc, const char *i18n);

/* Logical name of the conversion library (default "TssConvert"). */
void set_convert_library_name(const char *name);

/* Locale attributes used by the weights and the case mapping. */
bool locale_is_iso8859_1();
bool locale_allows_mb_case();

/* External code of a wide TSS character and the reverse, without
 * reporting: 0 when there is none. */
unsigned int external_code(TSSwchar wc);
TSSwchar tss_of_external(unsigned int ext);

/* Caches back to their state at process start (tests only). */
void reset_mode_for_tests();
void reset_errors_for_tests();
/* Forget that the conversion library or ICU was loaded (the handles stay
 * open), so that the next use loads it again. */
void reset_convert_for_tests();
void reset_icu_for_tests();

/* UTF-16 of a TSS text of len bytes (ending earlier at a terminator),
 * through the conversion library: the converter's result. */
int tss_to_utf16(const char *s, int len, std::u16string &out);

} // namespace mb

#endif
