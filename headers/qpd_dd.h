/*
 * qpd_dd.h: the data dictionary and the driver specification of tables.
 * Implemented in lib/qpd.
 */
#ifndef QPD_DD_H
#define QPD_DD_H

/*
 * Imposes one server list on every table of the process. Returns 0, or -1
 * when the specification is not valid. A second call is ignored (logged).
 */
int specify_server(const char *spec);

#endif
