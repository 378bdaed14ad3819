/*
 * tdb_placeholder.h: the test seam of the run loop's table procedures, and
 * the stand-ins (tdb_placeholder.cpp) for the procedures that are not
 * built yet: reorganizeTable, alterTableNotAtomic, alterTableConvertRows.
 */
#ifndef TDB_PLACEHOLDER_H
#define TDB_PLACEHOLDER_H

/*
 * Replaces the table procedure of every step of the run loop (check,
 * alter, reorganize) by a function, for tests of the run loop itself. The
 * hook gets the run mode, the table, the physical company, and the alter
 * kind to fill in check mode; it sets the message and tdb_errno as a
 * procedure would and returns 0 or -1. Null puts the real procedures back.
 */
typedef int (*TableProcedureHook)(int runMode, const char *table, int compnr,
                                  int *alterKind);
void tdb_placeholder_set_hook(TableProcedureHook hook);
/* The hook in force, or null. */
TableProcedureHook tdb_placeholder_hook(void);

/*
 * The message of the stand-ins of alterTableNotAtomic ("export") and
 * alterTableConvertRows ("export/import"), with tdb_errno 215: those paths
 * are not built yet.
 */
#define MSG_PATH_NOT_AVAILABLE "Reconfiguration with %s is not available yet (error %d)"

#endif
