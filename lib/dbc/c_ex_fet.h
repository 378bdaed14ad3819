/*
 * c_ex_fet.h: the row actions of the tdb API on company cursors and the
 * buffered updates of a transaction (internal to lib/dbc; implemented in
 * c_ex_fet.cpp).
 */
#ifndef C_EX_FET_H
#define C_EX_FET_H

#include "c_open.h"
#include "c_state.h"

/* Buffered operations (the action header's operation code). */
#define TDB_OP_INSERT 1
#define TDB_OP_DELETE 2
#define TDB_OP_UPDATE 3
#define TDB_OP_REFCNT 4

/*
 * Runs a row action on a cursor: the checks, the row from the bound
 * variables, the action, the forgiven codes and the selection state; after
 * a read the row goes to the bound variables. 0, or -1 with tdb_errno.
 */
int tdb_exec_row_internal(tdb_cursor_use *cursor, int action, long flags);

/*
 * Buffers one row action: header (operation, flags) and row into the
 * table's update store under the transaction's next sequence number.
 * Sends the buffered updates first and afterwards when the flags have a
 * bit of 0x40f001 or flush is set, or (afterwards) when TDB_ALWAYS_FLUSH
 * holds a non-zero number. 0, or -1 with tdb_errno.
 */
int tdb_do_exec_row(tdb_cursor_use *cursor, long operation, long flags, const unsigned char *row,
                    bool flush);

/*
 * Reads the row with the key of index 1 taken from row (request 12,
 * db_eq or db_eq(locked)) after sending the buffered updates; the row
 * read replaces row (the table's row length). 0, or -1 with tdb_errno.
 */
int tdb_exec_read_eq(tdb_cursor_use *cursor, int locked, unsigned char *row);

/*
 * Sends the buffered updates of the transaction: request 11 for each
 * session with pending tables (audit sessions last), then resets the
 * stores of those tables, closes their parked cursors and clears the
 * marks. The first failing send decides tdb_errno (520: the detail error
 * is in the transaction) and no further session is sent. 0 or -1.
 */
int flush_updates(tdb_trans *trans);

/* Whether any table of the transaction has buffered row actions. */
bool transaction_has_buffered_updates(const tdb_trans *trans);
/* Discards every buffered row action of the transaction. */
void reset_all_buffers(tdb_trans *trans);

/* A failure with 520 becomes the driver's detail code; the transaction's
 * detail error is then marked 520. Returns tdb_errno. */
int tdb_take_detail_error(tdb_trans *trans);

#endif
