/*
 * qp_rds_internal.h: the record of a row data set and what the files of
 * lib/qp share: the byte store (pages and overflow file) and the messages.
 */
#ifndef QP_RDS_INTERNAL_H
#define QP_RDS_INTERNAL_H

#include "qp_rds.h"

struct rds {
    RDS *next_open;            /* process-wide chain of open sets */
    RDS *prev_open;
    unsigned char **pages;     /* page table */
    long page_table;           /* its entries */
    struct rds_col *cols;      /* descriptors (encoder states) */
    struct rds_col *rd_cols;   /* descriptors of the row last read */
    int ncols;
    int rec_size;              /* callers' row buffers */
    int row_len;               /* bytes of a row */
    int stored_len;            /* bytes of a stored row (row + status) */
    int max_reduced;           /* largest reduced row */
    long tot_entry;            /* rows in read order */
    long stored_rows;          /* row slots used / rows appended */
    long read_pos;             /* read position (row) */
    long write_pos;            /* compressed: next byte to write */
    long high;                 /* highest byte written + 1 */
    long read_byte;            /* compressed: byte of the next row to read */
    char *ovf_name;            /* overflow file name, or null */
    STREAM *ovf;               /* overflow stream, or null */
    long ovf_high;             /* bytes written to the overflow file */
    long ovf_pos;              /* stream position after the last write, -1 unknown */
    unsigned char *ovf_win;    /* read window over the overflow file */
    long win_start;
    long win_len;
    int flags;
    long pool;                 /* memory group id */
    unsigned char *prev;       /* compressed: previous row as decoded */
    unsigned char *rd_row;     /* compressed: row being read back */
    unsigned char *scratch;    /* compressed: one reduced row */
    unsigned char *work;       /* rec_size work row */
    unsigned char *vrow;       /* rec_size row of the value inserters */
    int *keys;                 /* ncols + 1 column numbers (group keys) */
    int value_type;            /* rds_open_set: QP_TYPE_*, else 0 */
    int *index;                /* row numbers in read order */
    long idx_cap;
};

namespace qp {

/* Source path of the files of the library, for log_mesg. */
extern const char *const kSrcRds;
extern const char *const kSrcStore;
extern const char *const kSrcCompress;
extern const char *const kSrcDd;

/* Logs "Illegal condition at %s:%d\n" with the given source position. */
void illegal_condition(const char *file, int line);

/* Memory of a set's records: from its group, with header, zeroed. */
void *set_alloc(long pool, size_t size);

/* Writes n bytes at byte position pos of the set (pages, then overflow
 * file). 0 or -1 (reported). */
int store_write(RDS *set, long pos, const unsigned char *src, long n);
/* Reads n bytes at pos. 0 or -1 (reported). */
int store_read(RDS *set, long pos, unsigned char *dst, long n);
/* Gives the pages back to the free list, closes and removes the overflow
 * file. */
void store_release(RDS *set);
/* Gives every page of the free list back to the allocator. */
void store_free_pages(void);
/* Pages of the set that are allocated. */
long store_pages_in_use(const RDS *set);

} // namespace qp

#endif
