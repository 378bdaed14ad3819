/*
 * qp_rds.h: row data sets of the level-1 query processor: growing lists of
 * rows of one layout in 8192-byte pages with an overflow file, plain, with
 * status blocks or compressed, with an optional sorted index; and the
 * compressed row stream shared by the set (encoder) and by a reader of
 * received bytes (decoder). Implemented in lib/qp. Single-threaded.
 */
#ifndef QP_RDS_H
#define QP_RDS_H

#include <cstddef>

struct _dd_column;
struct _dd_table;
struct STREAM;

/* ---- limits -------------------------------------------------------------- */

#define RDS_PAGE_SIZE 8192   /* bytes per page */
#define RDS_INIT_PAGES 16    /* entries of a new page table */
#define RDS_MAX_SIZE 30960   /* largest record size and row length */
#define RDS_INDEX_STEP 256   /* the index grows by this many entries */
#define RDS_DEFAULT_FULL 5   /* rds_full default without RDS_FULL/rds_full */

/* Error number set in qp_errno when the overflow file cannot be made. */
#define QP_ERR_OVERFLOW_OPEN 304

/* The last error of the query processor (0 for none). */
extern int qp_errno;

/* ---- column descriptors -------------------------------------------------- */

/* Row-data types. */
#define RDS_BYTE 1      /* one unsigned byte per element */
#define RDS_SHORT 2     /* signed 16-bit, big-endian */
#define RDS_LONG 3      /* signed 32-bit, big-endian */
#define RDS_FLOAT 4     /* IEEE single, host order */
#define RDS_DOUBLE 5    /* IEEE double, host order */
#define RDS_SSTRING 6   /* string, space padded (arrays and widths <= 8) */
#define RDS_LSTRING 7   /* plain string wider than 8: stored stripped */
#define RDS_SRAW 8      /* raw bytes, zero padded (arrays and widths <= 8) */
#define RDS_LRAW 9      /* plain raw wider than 8: stored stripped */

/* Column states: 1 means the column holds a value; 0 and 2..15 are the
 * users' markers (such as a NULL). Bits 16 and 32 belong to the stream. */
#define RDS_STATE_VALUE 1
#define RDS_STATE_MAX 15

/*
 * One column of a set (12 bytes). Columns are numbered from 1 (the
 * descriptor at index 0 is column 1). state is the state of the current
 * row: the caller sets it before putting a row into a compressed set, and
 * the readers set it for the row read; prev_state is the state of the
 * previous row (kept by reduce_row and expand_row).
 */
struct rds_col {
    unsigned char type;        /* RDS_BYTE .. RDS_LRAW */
    unsigned char state;       /* RDS_STATE_VALUE or a user marker */
    unsigned char prev_state;  /* state of the previous row */
    unsigned char spare;
    unsigned short length;     /* element length in bytes */
    unsigned short offset;     /* offset in the row */
    unsigned short elements;   /* number of elements (1 for a plain column) */
    unsigned short spare2;
};

/*
 * Fills desc for a dictionary column placed at offset in the set's rows:
 * type from the column's type (or type_override when not 0), element
 * length from the domain width, elements from the column, state 1. A
 * plain string or raw column wider than 8 bytes becomes a long string or
 * long raw. 0, or -1 for a combined column or an unknown type ("Illegal
 * condition at %s:%d\n" is logged).
 */
int make_rds_from_dd(struct rds_col *desc, const struct _dd_column *column,
                     int offset, int type_override);

/*
 * Descriptors of the update store of a table (the rows of buffered row
 * actions): three long columns at offsets 0, 4, 8 (sequence number,
 * operation code, action flags) followed by every column of the table that
 * is stored in the database and not combined, in offset order, at
 * 12 + its offset in the table's row. Writes at most max descriptors into
 * out; returns their count, or -1 when out is too small or a column has
 * no row-data type. The record of such a set is 12 + the row length.
 */
int rds_update_action_cols(const struct _dd_table *table, struct rds_col *out,
                           int max);

/* ---- opening and closing --------------------------------------------------- */

/* Flags of rds_open. Of RDS_COMPRESSED, RDS_FIXED and RDS_INDEXED exactly
 * the combinations 2, 4 and 12 are meant; another is logged ("Illegal flag
 * for RDS: %o (%o)\n") and the set is opened all the same (a compressed
 * set never has an index). */
#define RDS_COMPRESSED 0x02  /* rows stored in reduced form */
#define RDS_FIXED 0x04       /* rows stored as they are, fixed length */
#define RDS_INDEXED 0x08     /* the set has an index of row numbers */
#define RDS_CONST 0x10       /* rds_reset without force leaves it alone */
#define RDS_OWN_POOL 0x20    /* the set owns its memory pool (set by rds_open) */
#define RDS_STATUS 0x40      /* every row carries a status block */
#define RDS_GROW 0x80        /* the page table grows instead of overflowing */

/* Level-1 value types of rds_open_set. */
#define QP_TYPE_STRING 33
#define QP_TYPE_INTEGER 34
#define QP_TYPE_DOUBLE 35

typedef struct rds RDS;

/*
 * Opens a set. rec_size is the size of the callers' row buffers (at least
 * row_len; for RDS_STATUS at least row_len + (ncols + 3) / 4, raised to
 * that when smaller); row_len the bytes of a row; cols the ncols column
 * descriptors (copied). mem_id names the memory group of the set's
 * records; 0 makes a group of its own that rds_close releases. Sizes above
 * RDS_MAX_SIZE log "Rds size (%d,%d) exceeds internal limit (%d)\n" and
 * give null; so do sizes below 1, a compressed set without columns and
 * descriptors that reach beyond the row ("Illegal condition at %s:%d\n").
 * The set is closed by rds_close (or the close-all functions).
 */
RDS *rds_open(int rec_size, int row_len, int ncols, const struct rds_col *cols,
              long mem_id, int flags);

/*
 * A one-column set for values of a level-1 type: QP_TYPE_STRING (size
 * bytes, space padded), QP_TYPE_INTEGER (a long) or QP_TYPE_DOUBLE. flags
 * as for rds_open (RDS_FIXED added when neither RDS_COMPRESSED nor
 * RDS_FIXED is given). Null for another type ("Illegal condition").
 */
RDS *rds_open_set(int size, int type, int flags);

/*
 * The update store of a table: a compressed set of the columns of
 * rds_update_action_cols, record 12 + row length. Null when the table
 * cannot be described.
 */
RDS *rds_open_update_actions(const struct _dd_table *table, long mem_id);

/*
 * Empties the set: pages back to the free list, overflow file closed and
 * removed, no rows. A set opened with RDS_CONST is left alone unless force
 * is set. 0, or -1 for a null set.
 */
int rds_reset(RDS *set, int force);
/* rds_reset of every open set. */
void rds_reset_all(int force);
/* Resets the set (forced) and frees it, with its memory group when it
 * owns one. 0, or -1 for a null set. */
int rds_close(RDS *set);
/* Closes every open set. */
void rds_close_all(void);
/* Closes every open set not opened with RDS_CONST. */
void rds_close_all_non_const(void);
/* Closes every set and gives the free pages back to the allocator. */
void rds_cleanup(void);
/* The number of open sets of the process. */
long rds_open_count(void);

/* ---- sequential access ------------------------------------------------------ */

/* Result of the reading functions at the end of the set. */
#define RDS_EOS 1

/*
 * Appends a row (rec_size bytes; for RDS_STATUS the status block follows
 * the row bytes; for a compressed set the column states come from the
 * set's descriptors, see rds_get_cols). 0, or -1 on a failure of the
 * overflow file or an illegal state.
 */
int rds_put_seq(RDS *set, const void *row);

/*
 * Reads the row at the read position (in index order when the set has an
 * index) into row (rec_size bytes) and advances. 0, RDS_EOS at the end,
 * -1 on a failure (overflow file, damaged compressed bytes).
 */
int rds_get_seq(RDS *set, void *row);
/* Moves the read position to the first row. 0, or -1 for a null set. */
int rds_start_get_seq(RDS *set);
/* 1 when the read position is at the end, else 0 (also for null). */
int rds_get_eos(RDS *set);
/* Advances the read position by count rows; past the end logs "Skip to
 * high (skip %d total %d cur %d)\n" and gives -1 (position unchanged). */
int rds_skip_seq(RDS *set, long count);

/* ---- positioned access, index, search ----------------------------------------- */

/*
 * Inserts row at position (0..number of rows) in read order, or with
 * replace set overwrites the row at that position (position = number of
 * rows inserts). An indexed set stores the row behind the others and
 * inserts its row number into the index; a plain set moves the following
 * rows; a compressed set only appends. A position beyond the end logs
 * "InsIdx too large (rds->tot_entry %d ins_idx %d)\n" and gives -1.
 */
int rds_put_idx(RDS *set, const void *row, long position, int replace);

/* Reads the row at position (in read order) into row; the read position
 * becomes position + 1. 0, RDS_EOS beyond the end, -1 on a failure. */
int rds_get_idx(RDS *set, void *row, long position);

/* Removes the row at position (a compressed set: -1). 0 or -1. */
int rds_del_idx(RDS *set, long position);
/* Removes the row last read; the next rds_get_seq reads its successor. */
int rds_del_curr(RDS *set);
/* Overwrites the row last read with row. */
int rds_put_back(RDS *set, const void *row);
/* Inserts row as the first row. */
int rds_put_first(RDS *set, const void *row);

/*
 * Binary search in read order for key (a row) on the columns cols (see
 * rds_compare). *position receives where the key is (its first occurrence)
 * or would be inserted; work (rec_size bytes, null for the set's own)
 * holds the rows compared. 1 when found, 0 when not, -1 on a failure (also
 * for a compressed set).
 */
int rds_srch(RDS *set, const void *key, long *position, void *work,
             const int *cols);

/*
 * Compares rows a and b on a zero-terminated list of column numbers (a
 * negative number compares that column descending), or on all columns in
 * order when cols is null. sa and sb are the status blocks of the rows (or
 * null). Negative, 0 or positive.
 */
int rds_compare(RDS *set, const void *a, const void *b, const int *cols,
                const void *sa, const void *sb);
/* Compares one column (number from 1); states first when both status
 * blocks are given. An unknown type logs "Unknown type %d in
 * rds_compare_col" and counts as equal. */
int rds_compare_col(RDS *set, int col, const void *a, const void *b,
                    const void *sa, const void *sb);

/* Inserts row behind the rows that compare equal or lower on cols (the
 * set stays sorted when every row is put this way). 0 or -1. */
int rds_put_order(RDS *set, const void *row, const int *cols);
/* Inserts row in order unless a row equal on cols exists: 1 inserted,
 * 0 present already, -1 failure. */
int rds_put_unique(RDS *set, const void *row, const int *cols);
/* For a set of rds_open_set: inserts the value (a NUL-terminated string,
 * a long or a double) in order unless present; as rds_put_unique. */
int rds_put_unique_value(RDS *set, const void *value);

/* Group functions, one per column, for rds_put_group and rds_upd_group. */
#define RDS_FN_KEY 0    /* group column: rows with equal keys form a group */
#define RDS_FN_KEEP 1   /* keep the group's value */
#define RDS_FN_SET 2    /* take the new row's value */
#define RDS_FN_SUM 3    /* add (numbers only) */
#define RDS_FN_MIN 4    /* the lower of the two */
#define RDS_FN_MAX 5    /* the higher of the two */
#define RDS_FN_COUNT 6  /* count of rows in the group (numbers only) */

/*
 * Puts row into its group: the columns whose function is RDS_FN_KEY form
 * the group key (the set is kept sorted on them). A new group is inserted
 * as the row (COUNT columns set to 1); an existing group is updated as by
 * rds_upd_group. funcs holds one function per column. 1 new group, 0
 * updated, -1 failure (compressed set, illegal function).
 */
int rds_put_group(RDS *set, const void *row, const int *funcs);
/*
 * Applies funcs to the row at position with the values of row and writes
 * it back. RDS_FN_SUM and RDS_FN_COUNT on a string or raw column log
 * "Illegal function for strings\n" and give -1 (nothing changed).
 */
int rds_upd_group(RDS *set, long position, const void *row, const int *funcs);

/* ---- state ------------------------------------------------------------------ */

/*
 * 1 when the set holds at least limit rows, else 0. A limit of 0 means the
 * process-wide default: the environment variable RDS_FULL when it holds a
 * positive number, else the resource rds_full when registered and
 * positive, else 5; it is computed and logged ("RDS_FULL: %d\n") once.
 */
int rds_full(RDS *set, long limit);
/* The process-wide default row limit of rds_full. */
long rds_full_default(void);

/* The row length of the set, or -1 for null. */
int rds_size_of_row(RDS *set);
/* The set's descriptors (owned by the set; the caller sets the states of
 * the next row of a compressed set here). */
struct rds_col *rds_get_cols(RDS *set);
/* The descriptors with the states of the row last read. */
const struct rds_col *rds_get_read_cols(RDS *set);
/* The number of columns. */
int rds_get_ncols(RDS *set);

struct rds_stat {
    long rows;            /* rows in read order */
    long stored_rows;     /* row slots used (an indexed set keeps deleted ones) */
    long read_pos;        /* read position */
    long bytes;           /* highest byte written + 1 */
    long pages;           /* pages in memory */
    long page_table;      /* entries of the page table */
    long overflow_bytes;  /* bytes in the overflow file */
    int flags;            /* RDS_* */
    int rec_size;
    int row_len;
};
/* Fills st; 0, or -1 for a null set. */
int rds_get_stat(RDS *set, struct rds_stat *st);
/* The overflow file name, or null when the set has none. */
const char *rds_overflow_name(RDS *set);

/*
 * Copies length bytes of the set's storage from offset (pages, then the
 * overflow file) into buf: the reduced bytes of a compressed set as they
 * are sent to a driver. 0, or -1 beyond the written bytes or on a read
 * error of the overflow file.
 */
int rds_read_bytes(RDS *set, long offset, void *buf, long length);

/* ---- the compressed row stream ----------------------------------------------- */

/*
 * Reduced form of one row: a 4-byte big-endian number (row number + 1);
 * then for each column that differs from the previous row (its state, or
 * for state 1 its bytes; every column for row number 0) a 2-byte
 * big-endian column number, the state byte and, for state 1, the value:
 * long strings and long raws without trailing padding behind a 2-byte
 * big-endian length, other values as their bytes. The last state byte
 * carries bit 0x10; a row equal to its predecessor is column 1 with state
 * byte 0x30. A leading row number of 0 ends the stream.
 */
#define RDS_STATE_LAST 0x10
#define RDS_STATE_SAME 0x20

/* Largest reduced row of these columns. */
int rds_reduced_max(const struct rds_col *cols, int ncols);

/*
 * Encodes row (row number rownr, from 0) against prev, the previous row as
 * the decoder sees it (row length bytes; updated to this row). The states
 * are cols[i].state; cols[i].prev_state is compared and then updated.
 * Writes into out (rds_reduced_max bytes); returns the byte count, or -1
 * for a state above RDS_STATE_MAX or a negative row number.
 */
int reduce_row(struct rds_col *cols, int ncols, const unsigned char *row,
               long rownr, unsigned char *prev, unsigned char *out);

/*
 * Decodes one reduced row from in (length bytes) into row, which holds the
 * previous row and keeps the columns not listed; states go to
 * cols[i].state (prev_state keeps the former). *rownr receives the row
 * number. Returns the bytes used, 0 for the end mark (row number 0 or
 * fewer than 4 bytes), -1 for damaged input (truncated row, column number
 * out of range, value longer than the column).
 */
int expand_row(struct rds_col *cols, int ncols, const unsigned char *in,
               size_t length, unsigned char *row, long *rownr);

/* A decoder of received bytes, independent of any set. */
typedef struct rds_reader RDS_READER;

/*
 * Opens a reader over bytes (length bytes, not copied: they must outlive
 * the reader) of rows of row_len bytes described by cols (copied). The
 * first row starts from zero bytes and states 0. Null for a bad layout.
 */
RDS_READER *rds_reader_open(const struct rds_col *cols, int ncols, int row_len,
                            const void *bytes, size_t length);
/* The next row into row (row_len bytes): 0, RDS_EOS at the end, -1 for
 * damaged bytes (logged as "Illegal condition at %s:%d\n"). */
int rds_reader_next(RDS_READER *reader, void *row);
/* The descriptors with the states of the row last read. */
const struct rds_col *rds_reader_cols(RDS_READER *reader);
/* Row number of the row last read (-1 before the first). */
long rds_reader_rownr(RDS_READER *reader);
void rds_reader_close(RDS_READER *reader);

/* ---- tracing ------------------------------------------------------------------ */

/* Write a description of the set, its descriptors, or its rows (each with
 * its position and column values) to sp (standard error when null).
 * 0, or -1 for a null set. */
int dump_rds_info(RDS *set, STREAM *sp);
int dump_rds_cols(RDS *set, STREAM *sp);
int dump_rds_rows(RDS *set, STREAM *sp);

#endif
