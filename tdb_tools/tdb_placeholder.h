/*
 * tdb_placeholder.h: test control of the stand-in table procedures in
 * tdb_placeholder.cpp, which exist until the table reconfiguration
 * procedure lands.
 */
#ifndef TDB_PLACEHOLDER_H
#define TDB_PLACEHOLDER_H

/*
 * Replaces the answer of the three table procedures. The hook gets the run
 * mode, the table, the physical company, and the alter kind to fill in
 * check mode; it sets the message and tdb_errno as a procedure would and
 * returns 0 or -1. Null restores the default answer.
 */
typedef int (*TableProcedureHook)(int runMode, const char *table, int compnr,
                                  int *alterKind);
void tdb_placeholder_set_hook(TableProcedureHook hook);

#endif
