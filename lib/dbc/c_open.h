/*
 * c_open.h: the table layer of the tdb API (internal): table instances,
 * table keys, duplication records and reference cursors, the cursor
 * functions of c_open.cpp and c_close.cpp, and the conversion between
 * bound program variables and the row buffer.
 */
#ifndef C_OPEN_H
#define C_OPEN_H

#include <string>
#include <vector>

#include "c_state.h"
#include "qp_rds.h"
#include "qpd_dd.h"

/* Table key: one per table and physical company number, process-wide
 * (tdb_info.table_keys). Table records of every session for the same table
 * and company point to the same key. */
struct tdb_table_key {
    tdb_table_key *next = nullptr;
    const _dd_table *table = nullptr;
    int physical = 0;
};

/*
 * Duplication record: shared by every instance of the same table key in
 * the same transaction (tdb_info.duplicates). It counts its cursors and
 * holds the table's two update stores: the buffered row actions and the
 * buffered reference-count updates, both compressed row data sets of the
 * update-action layout (rds_open_update_actions), opened at first use.
 */
struct tdb_duplicate {
    tdb_duplicate *next = nullptr;
    tdb_table_key *key = nullptr;
    tdb_trans *trans = nullptr;
    int users = 0;
    RDS *updates = nullptr;   /* buffered row actions */
    RDS *refcnts = nullptr;   /* buffered reference-count updates */
};

/* A reference cursor: an open cursor on a parent table and company,
 * shared per session by the cursors that need it, with its own handle. */
struct tdb_ref_cursor {
    tdb_ref_cursor *next = nullptr;       /* in the session's list */
    tdb_handle *handle = nullptr;         /* its own handle (tdb_close) */
    const _dd_table *table = nullptr;
    int compnr = 0;
    std::vector<unsigned char> row;       /* the parent's row length */
    int users = 0;
};

/* Selection state bits of an instance (the row actions keep them). */
#define TDB_SEL_CURRENT 1   /* current row valid */
#define TDB_SEL_LOCKED 2    /* current row locked */
#define TDB_SEL_TABLE_LOCKED 4
#define TDB_SEL_POSITIONED 8

/* Table instance: shared by a primary cursor and its copies. */
struct tdb_instance {
    void *bound = nullptr;              /* program row, or the bind descriptors */
    long nr_binds = 0;
    std::vector<unsigned char> row;     /* own row buffer: row length + 2 */
    int logical = 0;                    /* company numbers */
    int physical = 0;
    tdb_cursor_use *read_cursor = nullptr;
    tdb_cursor_use *audit = nullptr;    /* cursors on audit drivers */
    tdb_duplicate *dup = nullptr;
    std::vector<unsigned char> keys;    /* 2 x largest key + 244 bytes */
    int cur_index = 1;                  /* current index */
    int sel_state = 0;                  /* TDB_SEL_* */
    long dlock_id = 0;                  /* delayed-lock id of the current row */
    int ref_progress = 0;               /* reference in progress; -1: none at all */
    std::vector<tdb_ref_cursor *> refs; /* reference cursors in use */
    std::string ref_error;              /* last reference error text */
};

/* ---- cursors (c_open.cpp) ---------------------------------------------------------------- */

/*
 * The handle's cursor for a logical company number, created at first use
 * with tdb_open_internal and put at the head of the handle's list. A
 * negative number gives 519. With references disabled the new cursor's
 * instance has reference processing off (-1). 0, or -1 with tdb_errno.
 */
int tdb_get_internal_cursor(tdb_cursor_use **cursor, tdb_handle *handle, int compnr);

/*
 * Opens the cursors of a table for a logical company in a transaction:
 * maps the company, asks the dictionary for the table's servers, makes
 * the instance, and one cursor per server (or takes the parked ones back).
 * binds is the program row (nr_binds 0) or the bind descriptors. *cursor
 * receives the primary. 0, or -1 with 508, 505, 509 or 501.
 */
int tdb_open_internal(tdb_cursor_use **cursor, const _dd_table *table, int compnr, void *binds,
                      long nr_binds, tdb_trans *trans);

/*
 * The table record of the index-th server of the table's server list in
 * the transaction, made with its key and session as needed; null with
 * 505 when no session could be had (501 when memory runs out).
 */
tdb_table_use *tdb_get_table(const _dd_table *table, int physical, tdb_trans *trans,
                             const dd_tabledef *servers, int index);

/* The key of a table and physical company; made when make is set (null
 * when missing or when memory runs out, 501). */
tdb_table_key *tdb_get_table_key(const _dd_table *table, int physical, bool make);

/* Checks the cursor's physical company number (above 999: 519 and "Wrong
 * compnr %d for '%s'." under "Wrong Compnr") and marks it attached. */
int tdb_attach_cursor(tdb_cursor_use *cursor);
/* Resets the two stores of the cursor's duplication record; not attached. */
int tdb_detach_cursor(tdb_cursor_use *cursor);
/* 0 for a valid cursor, else -1 with 509. */
int tdb_cursor_check(const tdb_cursor_use *cursor);

/* The update store of a duplication record (buffered row actions, or the
 * reference-count updates with refcnt set), opened at first use; null
 * when the table cannot be described. */
RDS *tdb_dup_store(tdb_duplicate *dup, bool refcnt);
/* Whether either store of a duplication record holds rows. */
bool tdb_dup_holds_rows(const tdb_duplicate *dup);

/* ---- closing (c_close.cpp) ---------------------------------------------------------------- */

/*
 * Closes a primary cursor with its copies and audit cursors; when its
 * duplication record still holds buffered rows they are parked in their
 * table records instead. 0, or -1 with 508, 509 or 215.
 */
int tdb_close_internal(tdb_cursor_use *cursor);

/*
 * Closes every cursor of a table record (open and parked), each with the
 * whole chain of its primary, without parking; the primaries leave their
 * handles. Used when a session stops and by tdb_api_reset; talks to no
 * driver. 0, or -1 (215) when a reference cursor was not in its list.
 */
int tdb_close_table_cursors(tdb_table_use *table);

/* Closes the parked cursors of a table record (after its updates went). */
int tdb_close_parked(tdb_table_use *table);

/* Frees the process-wide table keys (tdb_api_reset). */
void tdb_free_table_keys(void);

/* ---- bound variables (c_open.cpp) --------------------------------------------------------- */

/* The class of a type code: TDB_ENUM 1; TDB_DATE .. TDB_LONG_V and
 * TDB_SET 3; every other code itself. */
int tdb_type_class(int type);

/* Converts one descriptor's elements from the variable into the row
 * (row: the start of the row buffer), and back. */
void system_to_independent(const tdb_bind_desc *bind, unsigned char *row);
void independent_to_system(const tdb_bind_desc *bind, const unsigned char *row);

#endif
