/*
 * tdb_util.h: the tool's choice of database driver (-d in compatibility
 * mode), and reading a UTC time from its text form.
 */
#ifndef TDB_UTIL_H
#define TDB_UTIL_H

#include <cstdint>

/*
 * Directs the tables of this run to a driver. A one-letter value
 * (case-insensitive) names a driver: D db2, I informix, M msql, N nssql,
 * O oracle8, S sybase; a longer value is a server list taken
 * unchanged. Null does nothing. Returns 0, or -1 for an unknown letter
 * ("Illegal driver type defined ('%s')") or a refused server list.
 */
int init_driver(const char *driverType);

/* The driver name of a one-letter type, or null. */
const char *driver_name_of_letter(char letter);

/*
 * The UTC time of a text "hhmmssDDMMYYYY" (14 characters; more are
 * ignored). Each character counts as its code minus that of "0" (digits
 * are not checked); a text shorter than 14 characters counts the missing
 * ones as blanks. A time that cannot be packed (fields out of range, years
 * outside 1970-2038) logs "UTC Conversion Error" (category
 * "UTC Conversion") and gives -1; so does a null text.
 */
int32_t str_to_utctime(const char *text);

#endif
