/*
 * tdb_util.h: the tool's choice of database driver (-d in compatibility
 * mode).
 */
#ifndef TDB_UTIL_H
#define TDB_UTIL_H

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

#endif
