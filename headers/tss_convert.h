/*
 * tss_convert.h: the interface of the character-set conversion library
 * "TssConvert" (libTssConvert.so, lib/mb/TssConvert), shared by the
 * library and by its callers. Callers link lib/mb, whose functions of the
 * same names load the library on first use (TssConvertInitialize with the
 * fatal flag) and call through to it.
 *
 * Encodings: "Tss" is the internal multibyte encoding (tss.h); "Native" the
 * native character set of the installation (the current converter);
 * "Utf8" UTF-8 bytes; "Utf16" UTF-16 code units in host order;
 * "Utf16Bytes" UTF-16 big-endian as a byte string (lengths in bytes).
 * Lengths and rooms count units of the respective side: bytes, or UTF-16
 * code units for "Utf16".
 */
#ifndef TSS_CONVERT_H
#define TSS_CONVERT_H

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned short TssUtf16;

/* Control record of one conversion. */
typedef struct TssConvertControl {
    int in_len;        /* in: input length in units; < 0: up to a 0 unit */
    int out_room;      /* in: room of the output in units */
    int flags;         /* in: TSS_CONVERT_* bits */
    int in_used;       /* out: input units consumed */
    int out_used;      /* out: output units produced (without terminator) */
    unsigned int bad;  /* out: with result -3, the character that failed
                          (code point, TSS wide value or native byte) */
} TssConvertControl;

/* flags: write a 0 unit behind the output (it needs one unit of room). */
#define TSS_CONVERT_TERMINATE 0x1
/* flags: put "?" (U+FFFD for Unicode output) for an unconvertible
 * character instead of failing with -3. */
#define TSS_CONVERT_SUBSTITUTE 0x2

/* Results besides the count of output units (>= 0). */
#define TSS_CONVERT_FAILED (-1)         /* bad arguments, malformed input */
#define TSS_CONVERT_NO_ROOM (-2)        /* the output room is too small */
#define TSS_CONVERT_UNCONVERTIBLE (-3)  /* a character has no counterpart */

/*
 * Conversions: (input, output, control) -> output units (>= 0) or one of
 * the results above. The control record gives the input length, the
 * output room and the flags, and returns the units consumed and produced;
 * on -2 and -3 the output holds what was converted before the failing
 * character. Nothing is read beyond the input length (or its terminator).
 */
int TssConvertUtf8ToUtf16(const char *in, TssUtf16 *out, TssConvertControl *c);
int TssConvertUtf8ToUtf16Bytes(const char *in, char *out, TssConvertControl *c);
int TssConvertUtf8ToNative(const char *in, char *out, TssConvertControl *c);
int TssConvertUtf8ToTss(const char *in, char *out, TssConvertControl *c);
int TssConvertUtf16ToUtf8(const TssUtf16 *in, char *out, TssConvertControl *c);
int TssConvertUtf16BytesToUtf8(const char *in, char *out, TssConvertControl *c);
int TssConvertUtf16ToNative(const TssUtf16 *in, char *out, TssConvertControl *c);
int TssConvertUtf16BytesToNative(const char *in, char *out, TssConvertControl *c);
int TssConvertUtf16ToTss(const TssUtf16 *in, char *out, TssConvertControl *c);
int TssConvertUtf16BytesToTss(const char *in, char *out, TssConvertControl *c);
int TssConvertNativeToUtf8(const char *in, char *out, TssConvertControl *c);
int TssConvertNativeToUtf16(const char *in, TssUtf16 *out, TssConvertControl *c);
int TssConvertNativeToUtf16Bytes(const char *in, char *out, TssConvertControl *c);
int TssConvertNativeToTss(const char *in, char *out, TssConvertControl *c);
int TssConvertTssToUtf8(const char *in, char *out, TssConvertControl *c);
int TssConvertTssToUtf16(const char *in, TssUtf16 *out, TssConvertControl *c);
int TssConvertTssToUtf16Bytes(const char *in, char *out, TssConvertControl *c);
int TssConvertTssToNative(const char *in, char *out, TssConvertControl *c);

/*
 * Iterators over a TSS string giving UTF-16 units (TssIteratorTssToUtf16_)
 * or code points (TssIteratorTssToUtf32_). The record belongs to the
 * caller; the text must stay valid while the iterator is in use.
 */
typedef struct TssIterator {
    const unsigned char *text; /* the TSS string */
    int length;                /* its length in bytes (< 0: to the terminator) */
    int pos;                   /* byte offset of the current TSS character */
    int next;                  /* byte offset behind it (-1: not decoded) */
    int code;                  /* its code point, or a negative result */
    int unit;                  /* UTF-16 only: 1 on the low surrogate */
} TssIterator;

/* Initialize (iterator, text, length) -> 0, or -1 for null arguments. */
int TssIteratorTssToUtf16_Initialize(TssIterator *it, const char *text, int length);
/* HasNext -> 1 while output units remain, else 0. */
int TssIteratorTssToUtf16_HasNext(TssIterator *it);
/* SkipCurrent: past the current output unit; 0, or -1 at the end. */
int TssIteratorTssToUtf16_SkipCurrent(TssIterator *it);
/* GetCurrent -> the current output unit (>= 0), -1 at the end, -3 for an
 * unconvertible and -1 for a malformed TSS character (iteration stops). */
int TssIteratorTssToUtf16_GetCurrent(TssIterator *it);
/* GetNext: GetCurrent, then SkipCurrent. */
int TssIteratorTssToUtf16_GetNext(TssIterator *it);
/* The same per TSS character ("input unit"); units are TSS wide values,
 * 0 at the end or at a malformed character. */
int TssIteratorTssToUtf16_HasNextInputUnit(TssIterator *it);
int TssIteratorTssToUtf16_SkipCurrentInputUnit(TssIterator *it);
unsigned int TssIteratorTssToUtf16_GetCurrentInputUnit(TssIterator *it);
unsigned int TssIteratorTssToUtf16_GetNextInputUnit(TssIterator *it);
/* Reset: back to the first character; Finalize: forget the text. 0. */
int TssIteratorTssToUtf16_Reset(TssIterator *it);
int TssIteratorTssToUtf16_Finalize(TssIterator *it);

int TssIteratorTssToUtf32_Initialize(TssIterator *it, const char *text, int length);
int TssIteratorTssToUtf32_HasNext(TssIterator *it);
int TssIteratorTssToUtf32_SkipCurrent(TssIterator *it);
int TssIteratorTssToUtf32_GetCurrent(TssIterator *it);
int TssIteratorTssToUtf32_GetNext(TssIterator *it);
int TssIteratorTssToUtf32_HasNextInputUnit(TssIterator *it);
int TssIteratorTssToUtf32_SkipCurrentInputUnit(TssIterator *it);
unsigned int TssIteratorTssToUtf32_GetCurrentInputUnit(TssIterator *it);
unsigned int TssIteratorTssToUtf32_GetNextInputUnit(TssIterator *it);
int TssIteratorTssToUtf32_Reset(TssIterator *it);
int TssIteratorTssToUtf32_Finalize(TssIterator *it);

/* Number of converters the library knows (native character sets). */
int TssGetConverterCount(void);
/* Index of the converter of that name or alias (case and punctuation are
 * ignored: "iso88591" finds "ISO-8859-1"), or -1. */
int TssFindConverter(const char *name);
/* Makes index the current (native) converter; the previous index, or -1
 * (and no change) for an index out of range. */
int TssSetCurrentConverterIndex(int index);
/* The current converter's index (ISO-8859-1 until set). */
int TssGetCurrentConverterIndex(void);
/* Name and description of a converter; null for an index out of range.
 * The texts belong to the library. */
const char *TssGetConverterName(int index);
const char *TssGetConverterDescription(int index);
const char *TssGetCurrentConverterName(void);
const char *TssGetCurrentConverterDescription(void);
/* Display columns of East Asian "ambiguous" characters: 2 when the
 * current converter is a multibyte set other than a Unicode form, else 1. */
int TssGetWidthOfAmbiguousEastAsianWidth(void);
/* The CCSID of the current converter when it is an EBCDIC set, else 0. */
int TssGetEbcdicCCSID(void);
/* 1 when a character of the current converter may take several bytes. */
int TssIsMultibyte(void);
/* 1 when every byte of the current converter is a character by itself,
 * ASCII included (so bytes 0x80-0xFF may be taken as one-byte characters). */
int TssIsHighAsciiCompatible(void);
/* The one-byte TSS character that sorts last (0: none); set returns the
 * previous one. */
int TssSetMaximallyCollatingSingleByteTssPoint(int byte);
int TssGetMaximallyCollatingSingleByteTssPoint(void);

/*
 * Handlers (set returns the previous one; null removes it):
 * - the "meta max" handlers are asked, with the character, for the
 *   replacement of the maximally collating character: the one-byte TSS
 *   point above (SingleByte...) or U+10FFFF, when converting to native
 *   (...ToNativeHandler, the result a native byte) or from native to TSS
 *   (...ToTssHandler, the result a TSS wide value); 0 keeps the normal
 *   conversion.
 * - the conversion-error handler is asked, with the failing character,
 *   for a replacement code point (>= 0) before a conversion fails with -3;
 *   a negative answer lets it fail.
 * - the UTF-T mode handler tells the library the TSS mode of the process
 *   (2 for Unicode mode); without one the library works in classic mode.
 */
typedef unsigned int (*TssMetaMaxHandler)(unsigned int character);
typedef int (*TssConversionErrorHandler)(unsigned int character);
typedef int (*TssUtftModeHandler)(void);
TssMetaMaxHandler TssSetSingleByteMetaMaxToNativeHandler(TssMetaMaxHandler h);
TssMetaMaxHandler TssGetSingleByteMetaMaxToNativeHandler(void);
TssMetaMaxHandler TssSetMetaMaxToNativeHandler(TssMetaMaxHandler h);
TssMetaMaxHandler TssGetMetaMaxToNativeHandler(void);
TssMetaMaxHandler TssSetSingleByteMetaMaxToTssHandler(TssMetaMaxHandler h);
TssMetaMaxHandler TssGetSingleByteMetaMaxToTssHandler(void);
TssMetaMaxHandler TssSetMetaMaxToTssHandler(TssMetaMaxHandler h);
TssMetaMaxHandler TssGetMetaMaxToTssHandler(void);
TssConversionErrorHandler TssSetConversionErrorHandler(TssConversionErrorHandler h);
TssConversionErrorHandler TssGetConversionErrorHandler(void);
TssUtftModeHandler TssSetUtftModeHandler(TssUtftModeHandler h);
TssUtftModeHandler TssGetUtftModeHandler(void);

/* Replaces, in place, every byte of a native text (length bytes, < 0: to
 * the terminator) that is no character of the current converter by "?";
 * the number of bytes replaced. */
int TssCleanNative(char *text, int length);
/* Display columns (0, 1 or 2) of a TSS wide character; -1 if invalid. */
int TssWcLegacyWidth(unsigned int wc);
/* The TSS wide value of a Unicode code point in the current mode, or 0. */
unsigned int TssFindTss(unsigned int code_point);

/*
 * Library side: prepares the converters (0, or -1 when ICU fails).
 * Caller side (lib/mb): loads the library; 0 when loaded, else -1, and
 * with fatal not 0 logs "Fatal error: TssConvertInitialize failed." and
 * exits with status 1.
 */
int TssConvertInitialize(int fatal);
/* 2 when the library is loaded (caller side: without loading it; 0 when
 * no load was tried yet, 1 after a failed load). */
int TssConvertGetStatus(void);

#ifdef __cplusplus
}
#endif

#endif
