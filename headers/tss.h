/*
 * tss.h: the character-set layer: the TSS multibyte encoding and its
 * strings, wide strings, case tables and case conversion, comparison with
 * blank padding, the TSS mode of the process and the layer's error
 * reporting. Implemented in lib/mb (library mb); the conversions between
 * TSS and the outside encodings are in tss_convert.h.
 *
 * A TSS string is NUL-terminated; a byte other than 0x00 and 0x9B is a
 * character, 0x9B and the three non-zero bytes after it are one character.
 * Byte lengths of the bounded operations are limited to 32767. Malformed
 * input is reported through tss_error (tss_errno holds the code) and the
 * operation stops at the bad character. Nothing here throws.
 */
#ifndef TSS_H
#define TSS_H

#include <cstddef>

extern "C" {

/* A wide TSS character: the byte, or 0x9B000000 | b1 << 16 | b2 << 8 | b3. */
typedef unsigned int TSSwchar;

#define TSS_LEAD 0x9B
#define TSS_MAX_LEN 32767

/* TSS modes of the process. */
#define TSS_MODE_UNKNOWN 0
#define TSS_MODE_CLASSIC 1
#define TSS_MODE_UNICODE 2

/* ---- encoding and strings --------------------------------------------- */

/* 1 when wc is 1-255 but not 155, or 0x9B with three non-zero low bytes. */
int TSSisvalidwc(TSSwchar wc);

/* Characters of s, at most TSS_MAX_LEN bytes looked at; stops (error 42)
 * at an incomplete character. A null s counts 0. */
int TSSmblen(const char *s);

/* Characters within the first n bytes (n capped at TSS_MAX_LEN; the
 * terminator also ends the string). A string ending inside a four-byte
 * character counts the characters before it and reports error 39. */
int TSSmblen_n(const char *s, int n);

/* The character after the first one of s; null at the terminator, and
 * null with error 40 at an incomplete character. */
char *TSSmbnext(const char *s);

/* The first character of s as a wide value; 0 at the terminator, 0 with
 * error 40 for an incomplete character. */
TSSwchar TSSmbs2wc(const char *s);

/* The whole string into out (terminated by 0); the characters stored.
 * out must hold TSSmblen(s) + 1 values. Error 42 at an incomplete
 * character, which ends the conversion. */
int TSSmbs2wcs(TSSwchar *out, const char *s);

/* As TSSmbs2wcs, at most n characters (out holds n + 1 values). */
int TSSmbs2wcs_n(TSSwchar *out, const char *s, int n);

/* At most nbytes bytes of s into out, which has room values (the last is
 * kept for the terminator): stops before a character that would cross the
 * byte limit and when room - 1 values are stored. Terminated when room > 0.
 * The characters stored. */
int TSSmbs_n2wcs_n(TSSwchar *out, const char *s, int nbytes, int room);

/* One wide value into bytes (no terminator): 1 for values below 256, else
 * its four bytes from the most significant down; the count. */
int TSSwc2mbs(char *out, TSSwchar wc);

/* A whole wide string into out, terminated; the bytes stored (without the
 * terminator). An invalid wide value ends it (error 30). */
int TSSwcs2mbs(char *out, const TSSwchar *ws);

/* As TSSwcs2mbs with room bytes: stops before a character that does not
 * fit; terminates only when a byte of room is left. */
int TSSwcs2mbs_n(char *out, const TSSwchar *ws, int room);

/* As TSSwcs2mbs, at most nchars characters (terminated). */
int TSSwcs_n2mbs(char *out, const TSSwchar *ws, int nchars);

/* As TSSwcs2mbs_n, at most nchars characters in room bytes. */
int TSSwcs_n2mbs_n(char *out, const TSSwchar *ws, int nchars, int room);

/* Characters of a wide string (up to its 0). */
int TSSwclen(const TSSwchar *ws);

/* Copies a wide string with its terminator; returns dst. */
TSSwchar *TSSwcscpy(TSSwchar *dst, const TSSwchar *src);

/* Length in TSS bytes of a wide string (1 or 4 per character). */
int TSSwcs_bytes(const TSSwchar *ws);

/* ---- search, fill, format strings ---------------------------------------- */

/* The first character of s equal to wc (a pointer into s), or null. The
 * search never matches inside a four-byte character. */
char *TSSstrchr_wc(const char *s, TSSwchar wc);
/* The same for the character at mbchar (its first character). */
char *TSSstrchr_mb(const char *s, const char *mbchar);
/* The same for the one-byte character ch (1-255). */
char *TSSstrchr_ch(const char *s, int ch);
/* The same within the first len bytes of s (len < 0: up to the
 * terminator). */
char *TssStringChr(const char *s, int len, TSSwchar wc);

/* 1 when no byte of the first n bytes (up to the terminator) is 0x80 or
 * above, else 0. */
int TssIsASCII(const char *s, int n);

/* Display columns of the first len bytes of s (len < 0: up to the
 * terminator, which also ends the text earlier): one per one-byte
 * character; for a four-byte character with a code point, two for wide and
 * full-width East Asian characters, none for combining and zero-width
 * characters, else one. An incomplete character at the end is not
 * counted. A null s gives 0. */
int TssStringDisplayWidth(const char *s, int len);

/* Fills len bytes of out (no terminator) with wc: a four-byte character as
 * many whole times as fit and blanks in the remaining bytes, a one-byte
 * character in every byte. 0, or -1 for a null out, negative len or
 * invalid wc. */
int TssStringSet(char *out, int len, TSSwchar wc);

/*
 * Copies in into out (at most size - 1 bytes, terminated). Within the
 * three bytes after each 0x9B, direction 1 turns every "%" into 0x01 and
 * direction 0 turns every 0x01 into "%". Returns the bytes replaced, or -1
 * for null arguments or size < 1.
 */
int TSSprep_fmt(char *out, const char *in, int size, int direction);

/* ---- comparison ------------------------------------------------------------ */

/*
 * Compares a (la bytes) and b (lb bytes) character by character; a length
 * of -1 means up to the terminator, and a terminator also ends a string.
 * The shorter side is padded with blanks. Unequal characters are ordered
 * by their collation weights (TssWcWeight); in Unicode mode the strings
 * are compared by ICU collation (root locale, tertiary strength).
 * Returns -1, 0 or 1.
 */
int TssStringNNCmpWithPadding(const char *a, const char *b, int la, int lb);
/* As above with case ignored (ICU: primary strength; classic: through the
 * lower-case table). */
int TssStringNNCaseCmpWithPadding(const char *a, const char *b, int la, int lb);
/* 1 when TssStringNNCmpWithPadding gives 0, else 0. */
int TssStringNNEqualWithPadding(const char *a, const char *b, int la, int lb);
/* TssStringNNCmpWithPadding over n bytes of each. */
int TssStringNCmp(const char *a, const char *b, int n);

/* The collation weight of a wide character outside Unicode mode. */
unsigned int TssWcWeight(TSSwchar wc);

/* ---- case -------------------------------------------------------------------- */

/* The partner of a byte in the case tables, or the byte itself. */
int TssIsoToLower(int byte);
int TssIsoToUpper(int byte);
/* 1 when the byte has an upper-case (TssIsLower) or lower-case
 * (TssIsUpper) partner in the tables. */
int TssIsLower(int byte);
int TssIsUpper(int byte);
/* 1 when the byte is in the white-space set, or in the digit set. */
int TssIsSpace(int byte);
int TssIsDigit(int byte);

/* Every byte through the case tables, in place, up to the terminator. */
void TssAsciiStringToLower(char *s);
void TssAsciiStringToUpper(char *s);
/* The same for at most n bytes (or up to the terminator). */
void TssAsciiStringNToLower(char *s, int n);
void TssAsciiStringNToUpper(char *s, int n);

/*
 * Converts a TSS text of len bytes (ending earlier at a terminator) to
 * upper case (to_upper not 0) or lower case, in place. Classic mode uses
 * the case tables (and, for four-byte characters, the locale's multibyte
 * case mapping); Unicode mode ICU's full case mapping with the root locale.
 * 0, or -1 on failure (logged; the text may be partly converted).
 */
int TssStringConvertCase(char *s, int len, int to_upper);

/*
 * Loads the case tables from "lib/nlsinf/<name>" under the root, or when
 * name is null, empty or not there, from "lib/nlsinf/${SH_TABLE}", then
 * "lib/nlsinf/shift.tab". The file modifies the ISO 8859-1 defaults (see
 * lib/mb/README.md for its syntax). 0 when a file was read without error;
 * -1 when no file was found (the defaults stay) or a line was bad (error
 * 34, the line is skipped).
 */
int init_iso(const char *name);
/* Back to the ISO 8859-1 default tables and sets. */
void TssResetCaseTables(void);

/* ---- mode and settings --------------------------------------------------------- */

/* The TSS mode (1 classic, 2 Unicode), determined on first use from the
 * file "lib/tss_mbstore<release>" under the root. */
int TssGetMode(void);
/* Imposes a mode; the previous one. */
int TssSetMode(int mode);
/* Zero-width factor 0-6 (from the mode file). */
int TssGetZeroWidthFactor(void);
/* The install locale (native character set name, default "ISO-8859-1"). */
const char *TssGetInstallLocale(void);
/* Replaces it (null or empty: the default) and forgets the converter
 * index; the previous name (valid until the next call). */
const char *TssSetInstallLocale(const char *name);
/* Index of the install locale's converter in the conversion library
 * (looked up on first use; loads the library), or -1 when unknown. */
int TssGetInstallConverter(void);
/* High-ASCII tolerance 0 or 1 (resource high_ascii_tolerance; -1 and
 * other values: 1 in classic, 0 in Unicode mode). */
int TssGetHighAsciiToleranceMode(void);
/* Imposes the tolerance (0 or 1); -1 makes it be read again. */
void TssSetHighAsciiToleranceMode(int value);
/* 1 when bytes 0x80-0xFF other than 0x9B are one-byte characters. */
int TssIsHighAsciiExpected(void);

/*
 * Sets the character-set locale of the process: remembers the name (null
 * or empty: the install locale) and the locale mode, and selects the
 * native converter of that name in the conversion library when the
 * library is loaded or the name is not ISO-8859-1. Locale mode bit
 * TSS_LOCALE_MB_CASE allows case mapping of four-byte characters through
 * the native set. 0, or -1 (error 25) when no converter has that name; the
 * previous converter then stays.
 */
int TSSsetlocale(const char *locale, int mode);
#define TSS_LOCALE_MB_CASE 0x1
/* The locale name ("" before TSSsetlocale) and the name of its character
 * set ("" while not selected). */
const char *TSSgetlocale(void);
const char *TSSgetcharset(void);

/* External code (native one byte, or two bytes as high * 256 + low) of a
 * wide TSS character; 0 with error 30 when it has none. */
unsigned int TSStsswc2extwc(TSSwchar wc);
/* The wide TSS character of an external code; 0 with error 29. */
TSSwchar TSSextwc2tsswc(unsigned int ext);

/* ---- errors ----------------------------------------------------------------------- */

/* Code of the last error of the layer (0-53). */
extern int tss_errno;

/* Handler of tss_error: flags and the formatted text; its result is
 * returned by tss_error. Bit 0x1 of the flags asks for the end of the
 * process. */
typedef int (*TssErrorHandler)(int flags, const char *message);

/*
 * Reports error code with the arguments of its message: stores the code
 * in tss_errno; without a handler prints "*** Error in <context>:\n" (when
 * context is not null) and the message on standard error and exits with
 * status 1 when flags has bit 0x1, else returns -1; with a handler passes
 * "(<locale>) ", the context line and the message to it and returns its
 * result. TSSABORT=N (N > 0) aborts the process at the N-th error.
 */
int tss_error(const char *context, int flags, int code, ...);
/* Installs a handler (null: none); the previous one. */
TssErrorHandler tss_set_error_handler(TssErrorHandler handler);
/* The handler in force (to be restored later with tss_set_error_handler). */
TssErrorHandler tss_save_error_handler(void);
/* Locale name shown by tss_error when no locale is set (null: none). */
void tss_set_default_error_locale_name(const char *name);
/* The message format of a code; "Unknown error code\n" outside 0-53. */
const char *TSSerrorstr(int code);

/* ---- log text conversion ------------------------------------------------------------ */

/*
 * Converts a TSS text of inlen bytes for the log into out (outlen bytes,
 * always terminated when outlen > 0): to the native set in classic mode,
 * to UTF-8 otherwise, when the conversion library is loaded; else copied
 * unchanged. Unconvertible characters are written "[%02x]" (one byte) or
 * "[0x" and the four bytes in hexadecimal and "]". Returns the bytes
 * written (without terminator), or -1 when the conversion failed otherwise
 * (the text is then copied unchanged and an error line goes to standard
 * error).
 */
int TssLogConvert(const char *in, char *out, int inlen, int outlen);

/*
 * Hands the log this layer's services: TssLogConvert for message texts,
 * TssConvertInitialize (not fatal) at log start-up, TSSprep_fmt around
 * formatting, and the locale and character-set names of framed blocks.
 * Called by the tdb API start-up.
 */
void TssRegisterLogHooks(void);

}

#endif
