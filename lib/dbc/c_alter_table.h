/*
 * c_alter_table.h: the part of the alter-table check that works on
 * company cursors (internal to the tdb API; the rest is declared in
 * headers/tdb_api.h).
 */
#ifndef C_ALTER_TABLE_H
#define C_ALTER_TABLE_H

#include "c_state.h"

/*
 * Sends the alter request (request 15, with action) for the cursor's
 * table and physical company to the cursor's driver, then to the driver
 * of each copy cursor in turn, stopping at the first answer that is not
 * 0. Returns the last answer (0..3 from the drivers), or -1 with
 * tdb_errno (519 for a cursor whose company is out of range, the
 * driver's code).
 */
long executeAlterTable(tdb_cursor_use *cursor, int action);

#endif
