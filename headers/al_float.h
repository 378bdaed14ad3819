/*
 * al_float.h: floating-point values in row form (unaligned storage), the
 * conversions between the floating-point formats of the platforms the
 * database layer exchanges data with, and the system's number parser.
 * Implemented in lib/al_1/al_float.cpp.
 */
#ifndef AL_FLOAT_H
#define AL_FLOAT_H

/* Format codes of al_convert_float and al_convert_double. */
#define AL_FLOAT_IEEE_LSB 1  /* IEEE 754, least significant byte first */
#define AL_FLOAT_IEEE_MSB 2  /* IEEE 754, most significant byte first */
#define AL_FLOAT_NSK 3       /* NSK floating point, most significant byte first */
#define AL_FLOAT_OS390 4     /* OS/390 hexadecimal, most significant byte first */

/* ---- unaligned storage ------------------------------------------------ */

/* Stores value as 4 bytes in host order at dest (any alignment); a null
 * dest is ignored. */
void float_in(float value, void *dest);

/* The single-precision value in the 4 bytes at src (any alignment);
 * 0 for a null src. */
float float_out(const void *src);

/* Stores value as 8 bytes in host order at dest (any alignment); a null
 * dest is ignored. */
void double_in(double value, void *dest);

/* The double-precision value in the 8 bytes at src (any alignment);
 * 0 for a null src. */
double double_out(const void *src);

/* ---- format conversions ----------------------------------------------- */

/*
 * Converts the 4-byte value at value (any alignment) in place from format
 * source to format target (codes 1-4 above); equal codes leave it alone.
 * A value the target cannot hold (exponent out of range, infinity, NaN) is
 * logged (component "FPE") and SIGFPE is raised; should the process
 * survive the signal, the value is stored saturated (largest magnitude or
 * zero, sign kept). Returns 0; -1 with errno EINVAL for a null value or a
 * code outside 1-4 (value untouched), -1 with errno ERANGE after a
 * reported fault.
 */
int al_convert_float(void *value, int source, int target);

/* The same for an 8-byte double-precision value. */
int al_convert_double(void *value, int source, int target);

/*
 * The members of the conversion matrix, one per pair of formats. Each
 * converts the value at value in place and gets the source and target
 * codes; the IEEE side is read or written most significant byte first when
 * its code is 2, least significant byte first otherwise. Results as for
 * al_convert_float (-1 with EINVAL only for a null value).
 */
int f_dummy(void *value, int source, int target);         /* leaves it alone */
int f_ieee_to_ieee(void *value, int source, int target);  /* reverses bytes */
int f_ieee_to_nsk(void *value, int source, int target);
int f_nsk_to_ieee(void *value, int source, int target);
int f_ieee_to_os390(void *value, int source, int target);
int f_os390_to_ieee(void *value, int source, int target);
int f_nsk_to_os390(void *value, int source, int target);  /* through IEEE */
int f_os390_to_nsk(void *value, int source, int target);  /* through IEEE */

int d_dummy(void *value, int source, int target);
int d_ieee_to_ieee(void *value, int source, int target);
int d_ieee_to_nsk(void *value, int source, int target);
int d_nsk_to_ieee(void *value, int source, int target);
int d_ieee_to_os390(void *value, int source, int target);
int d_os390_to_ieee(void *value, int source, int target);
int d_nsk_to_os390(void *value, int source, int target);
int d_os390_to_nsk(void *value, int source, int target);

/* ---- number parser ---------------------------------------------------- */

/*
 * Reads a number from text: blanks (space, tab), an optional sign, digits
 * with "." or "," as decimal separator, an optional exponent ("e" or "E",
 * optional sign, digits), then only blanks. Malformed text, an empty text,
 * text without digits, an "e" without digits, and a null text give 0;
 * a value too large for a double gives an infinity of its sign. Never
 * fails and never sets errno.
 */
double trel_atof(const char *text);

#endif
