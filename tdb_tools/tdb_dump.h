/*
 * tdb_dump.h: dump files, the files in which a table's rows wait while the
 * table is rebuilt.
 */
#ifndef TDB_DUMP_H
#define TDB_DUMP_H

/* The largest size of one dump file, and the default of -M. */
#define DUMP_MAX_SIZE 2147483647

/*
 * The maximum size of one file of a dump sequence from the -M argument: a
 * decimal number, optionally followed by "K"/"k", "M" or "G". A number at
 * or above the bound of its suffix, or a result that is not positive as a
 * signed 32-bit value, gives DUMP_MAX_SIZE.
 */
int handle_seq_size_arg(const char *text);

#endif
