/*
 * tdb_output.h: the tool's screen output. Column-positioned messages on
 * standard error, an in-place progress counter, fatal errors and warnings,
 * and silencing by -s.
 */
#ifndef TDB_OUTPUT_H
#define TDB_OUTPUT_H

/*
 * Prints the formatted text at or after column (a text is never moved
 * left of the current position), with or without a newline. Returns the
 * printing result, 0 when suppressed.
 */
int tdb_mess(int column, int newline, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* vfprintf to standard error unless suppressed. */
int std_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Overwrites the last eight columns with the count ("%8d"), then flushes. */
void counter(int count);

/* Prints "<program>: FATAL ERROR: '<text>'" and exits with 1. */
[[noreturn]] void fatal(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

/* Prints "<program>: WARNING: '<text>'" and returns. */
void warning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Silences every output operation of this module. */
void tdb_mess_suppress(void);

/* Prints the help of the -d option to standard output. */
void print_db(void);

/* Character-set error handler: logs the message; level 1 exits with 1. */
void TSS_err_handler(int level, const char *message);

/*
 * The message of the current table-and-company step (at most 500
 * characters), kept by the tool's main module.
 */
void setMessage(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void resetMessage(void);
const char *getMessage(void);

/* Test support: the current column and the silence flag back to 0. */
int tdb_output_curr_pos(void);
void tdb_output_reset(void);

#endif
