/*
 * tdb_dd_chk.h: domain-constraint checks of the tdb API: values in a row
 * buffer against their column's domain (mandatory, range expression,
 * DIGV, legal and illegal characters, case, display width), and the
 * registration of the range-expression compiler with the dictionary.
 * Implemented in lib/dbc/c_dd_chk.cpp.
 */
#ifndef TDB_DD_CHK_H
#define TDB_DD_CHK_H

struct _dd_table;
struct _dd_column;

extern "C" {

/* Reason codes of the single-value checks. */
#define DD_CHK_OK 0     /* "No domain errors" */
#define DD_CHK_FILL 1   /* "FILL": mandatory column holds zero/blank */
#define DD_CHK_RANG 2   /* "RANG": range expression false */
#define DD_CHK_ILCH 3   /* "ILCH": illegal character */
#define DD_CHK_LECH 4   /* "LECH": character not in the legal set */
#define DD_CHK_CONV_U 5 /* "CONV:u": lower case in an upper-case domain */
#define DD_CHK_CONV_L 6 /* "CONV:l": upper case in a lower-case domain */
#define DD_CHK_DIGV 7   /* "DIGV": too many digits before the point */
#define DD_CHK_PLEN 8   /* "PLEN": display width too large */

/*
 * Registers the expression compiler as the dictionary's range compiler,
 * so that domains read from files from now on carry a compiled range.
 * Called by tdb_init_api; may be called again (idempotent).
 */
void tdb_dd_chk_init(void);

/*
 * Checks every column of table in the row buffer row (the table's row
 * length) in column-array order. Returns 1 when every column passes or
 * checking is switched off (tdb_dd_check_enabled() == 0); 0 at the first
 * failure, after logging the message (category "Check dd"). Sets no
 * error number: the caller turns 0 into tdb_errno 205.
 */
int tdb_dd_check(const struct _dd_table *table, const unsigned char *row);

/* The same for one column of a row buffer. */
int tdb_dd_check_column(const struct _dd_column *column,
                        const unsigned char *row);

/* The checking switch: the user record's domaincheck field (0: off). */
int tdb_dd_check_enabled(void);

/*
 * Checks every column of table in row regardless of the switch and logs
 * nothing. Returns the full name of the first failing column (a pointer
 * into the dictionary record), or null when every column passes.
 */
const char *tdb_domain_check(const struct _dd_table *table,
                             const unsigned char *row);

/* 1 when the column's domain constrains values of the column's type
 * (the mandatory flag is not considered), else 0. */
int tdb_dd_column_has_domain_constraints(const struct _dd_column *column);

/*
 * Checks one column (a combined column through its parts, an array
 * column element by element) at its offset in row. 1 pass, 0 fail with
 * the module's message text set (see tdb_dd_check_message); logs nothing.
 */
int check_column_in_rowbuf(const struct _dd_column *column,
                           const unsigned char *row);

/* Checks one value of the column at address value (the element's bytes
 * in row-buffer form). Clears the message; 1 pass, 0 fail with the
 * message set. Logs nothing. */
int check_one_value(const struct _dd_column *column, const unsigned char *value);

/* The single-value checks: each returns a reason code (DD_CHK_*). */
int tdb_dd_check_integer(const struct _dd_column *column, long value);
int tdb_dd_check_real(const struct _dd_column *column, double value);
int tdb_dd_check_date(const struct _dd_column *column, long value);
int tdb_dd_check_time(const struct _dd_column *column, long value);
/* address: the domain's byte width of bytes. */
int tdb_dd_check_raw(const struct _dd_column *column, const unsigned char *address);
int tdb_dd_check_str(const struct _dd_column *column, const char *address);
int tdb_dd_check_mbstr(const struct _dd_column *column, const char *address);

/* The text of a reason code ("No domain errors", "FILL", ...); codes
 * outside 0-8 give "". */
const char *tdb_dd_reason_text(int reason);

/* The module's message text: the last failure's message, "" after a
 * passing check_one_value. Valid until the next check. */
const char *tdb_dd_check_message(void);

/* 1 when the full column name is one of the columns exempt from the
 * high-ASCII test of TDB_STRING values, else 0. */
int tdb_dd_exempt_from_high_ascii(const char *full_name);

}

#endif
