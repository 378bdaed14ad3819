/*
 * tdb_reconfig.h: the reconfiguration tool's main module: its settings,
 * the run loop over tables and companies, and the table procedures.
 */
#ifndef TDB_RECONFIG_H
#define TDB_RECONFIG_H

#include "al_stream.h"
#include "ds_list.h"

/* Run modes. */
#define RUN_RECONFIGURE 0
#define RUN_CHECK 1
#define RUN_REORGANIZE 2

/* Alter kinds stored by checkAlterTable. */
#define ALTER_NONE 0
#define ALTER_IN_PLACE 1
#define ALTER_WITH_EXPORT 2
#define ALTER_CONVERT 3

/* 1 in compatibility mode (development tools older than "tt7.3_a"). */
extern int pellano_compatibility;

/* Settings of the run that the run loop and the table procedures read. */
extern int gIgnoreErrors;      /* -i, acted on in compatibility mode only */
extern const char *gFileName[2]; /* -o (0) and -e (1) list files */

/* The entry point of the program. */
int tdbreconfig_main(int argc, char **argv);

/*
 * Walks every table and company: prints the screen table, runs the table
 * procedure of the run mode, writes report lines (report may be null) and
 * list files. Returns 0, or -1 when any step failed.
 */
int reconfigureTables(STREAM *report, DsList *tables, DsList *companies,
                      int ignoreDomain, int runMode);

/*
 * The report status code of a step: "R0", "R1", "R2" in reconfigure and
 * reorganize mode, "C0" to "C4" in check mode.
 */
const char *getStatus(int runMode, int result, int alterKind);

/*
 * Splits an extended table name (8-character code, optional three-digit
 * company, optional "+") into table (9 bytes), company (-1 when absent)
 * and recovery flag. Returns 0, or -1 for an invalid name.
 */
int decodeExtendedTableName(const char *name, char *table, int *compnr,
                            int *recover);

/* A company number argument: digits only, at most 999. */
bool parse_compnr(const char *text, int *value);
/* A company range argument "lo-hi": both 0-999, hi not below lo. */
bool parse_compnr_range(const char *text, int *lo, int *hi);

/* Table procedures: each returns 0 or -1 and leaves the step's message. */
int checkAlterTable(const char *table, int compnr, int ignoreDomain,
                    int *alterKind);
int alterTable(const char *table, int compnr, int ignoreDomain, int recover);
int reorganizeTable(const char *table, int compnr, int ignoreDomain,
                    int recover);

struct tdb_handle;

/*
 * Inner steps of alterTable on the open current table handle. Each
 * returns 0 or -1 and leaves the step's message and tdb_errno.
 * alterTableNotAtomic: dump the rows, let the driver alter (action 3),
 * rebuild from the dump on failure. alterTableConvertRows: dump (or, with
 * recover set, take the dump left by an earlier run), recreate the table
 * in the new layout and import the rows converted.
 */
int alterTableNotAtomic(struct tdb_handle *handle, const char *table, int compnr,
                        int ignoreDomain);
int alterTableConvertRows(struct tdb_handle *handle, const char *table, int compnr,
                          int ignoreDomain, int recover);

/*
 * After a failed in-place alter: creates every index of the table's
 * current definition whose A attribute is not 0 (table action 1 with the
 * key number); a failure other than 108 prints "Create index %d failed
 * (error %d)". Nothing stops the loop.
 */
void createIndexes(struct tdb_handle *handle, const char *table, int compnr);

/* Settings of the run as start-up left them. */
int tdbreconfig_commit_rate(void);
int tdbreconfig_counter_rate(void);
int tdbreconfig_max_dump_size(void);
const char *tdbreconfig_dump_dir(void);
unsigned int tdbreconfig_session_id(void);

/* Test support: every setting of the run back to its default. */
void tdbreconfig_reset(void);

/* ---- row conversion ------------------------------------------------------ */

struct _dd_column;
struct _dd_table;

/* One column kept by a conversion: the same field name in both layouts. */
struct ConversionPair {
    const struct _dd_column *newColumn;     /* in the new dictionary */
    const struct _dd_column *currentColumn; /* in the current dictionary */
};

/*
 * How rows of a table move from the current into the new layout: one pair
 * for every stored, non-combined column of the new definition whose field
 * name the current definition has as a stored, non-combined column too, in
 * the new definition's column order (sorted by field name).
 */
struct ConversionSchema {
    struct ConversionPair *pairs;
    int count;
    const unsigned char *defaultRow;          /* the new table's default row */
    unsigned short dataLength;                /* the new table's data length */
    const struct _dd_table *newTable;         /* the two definitions */
    const struct _dd_table *currentTable;
};

/*
 * Reads the table (8-character code) in the new and in the current
 * dictionary and pairs their columns. The dictionary mode in force is
 * restored before returning (the current one when none was selected).
 * Returns a schema to free with destroyConversionSchema, or null when a
 * definition is missing (tdb_errno as the dictionary set it: 512 or 513).
 * The definitions and the default row belong to the dictionary.
 */
struct ConversionSchema *createConversionSchema(const char *table);
/* Frees a schema (null is ignored). */
void destroyConversionSchema(struct ConversionSchema *schema);

/*
 * Converts one row: source in the current layout (the current data
 * length), target in the new layout, already holding the new default row.
 * Only the paired columns are written, element by element up to the
 * smaller element count. Never fails: values that cannot be represented
 * become 0, blanks or a cut text. Allocates nothing.
 */
void convertRow(const unsigned char *source, unsigned char *target,
                const struct ConversionSchema *schema);

/*
 * The offset of the last four-byte TSS character (lead byte 0x9B) that
 * begins within the first length bytes of text, walking the characters
 * from the start; -1 when there is none.
 */
int findLastLeadTSSchar(const char *text, int length);

#endif
