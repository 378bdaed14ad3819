/*
 * tdb_dump.h: dump files, the files in which a table's rows wait while the
 * table is rebuilt. One dump is open at a time; a dump may be a sequence of
 * files of bounded size ("name", "name.1", "name.2", ...).
 *
 * Binary dump file (caller types with bit 0), every file of a sequence:
 *   offset 0, 1 byte:   validity byte (with bit 2): 0x00 while written,
 *                       0xFF once mark_dump_oke marked the whole dump valid
 *   offset 1, n x L:    n records of exactly L bytes, back to back
 * Text dump file (caller types without bit 0): the 24-byte timestamp line
 * "YYYY-MM-DD hh:mm:ss.mmm\n" at the start of every file, then the
 * caller's lines.
 */
#ifndef TDB_DUMP_H
#define TDB_DUMP_H

/* The largest size of one dump file, and the default of -M. */
#define DUMP_MAX_SIZE 2147483647

/* Caller type bits. */
#define DUMP_BINARY 0x01   /* binary records, no timestamp line */
#define DUMP_VALIDITY 0x04 /* validity byte at the start of each file */
#define DUMP_CALLER_TOOL 5 /* the reconfiguration tool: binary, validity */

/* The validity byte of a file being written and of a valid dump. */
#define DUMP_BYTE_WRITING 0x00
#define DUMP_BYTE_VALID 0xFF

/* Names that select the process's standard output and input. */
#define DUMP_STDOUT_NAME "standard output"
#define DUMP_STDIN_NAME "standard input"

/*
 * Opens a dump: name (at most 1024 characters, or one of the standard
 * names), stream mode, largest size of one file (0 or more), caller type
 * 1-5. Returns 1, 2 for a text dump without timestamp line accepted in
 * compatibility mode, or 0 on failure (then nothing is open).
 */
int open_dump(const char *name, const char *mode, int max_size,
              int caller_type);

/* Appends one record of length bytes: 1, or 0 (the dump is then closed). */
int write_to_dump(const void *buffer, int length);

/* Marks every file of the dump valid: 1, or 0 (the dump is then closed). */
int mark_dump_oke(void);

/* After open_dump for reading: 1 when every file is marked valid, else 0. */
int check_dump(void);

/*
 * Reads the next record of length bytes (binary), or the next line of at
 * most length - 1 characters (text). 1 a record, -1 end of dump, 0 failure.
 */
int read_from_dump(void *buffer, int length);

/* As read_from_dump, but text is read by byte count: up to length bytes
 * followed by a zero byte, so buffer must hold length + 1 bytes. */
int read_from_dump_nbytes(void *buffer, int length);

/* Closes the open file and resets the module state. */
void close_dump(void);

/* Removes every file of a dump: 1, or 0 (a dump is open, or a file could
 * not be removed for another reason than not existing). */
int remove_dump(const char *name);

/*
 * The maximum size of one file of a dump sequence from the -M argument: a
 * decimal number, optionally followed by "K"/"k", "M" or "G". A number at
 * or above the bound of its suffix, or a result that is not positive as a
 * signed 32-bit value, gives DUMP_MAX_SIZE.
 */
int handle_seq_size_arg(const char *text);

/* Writes the pre-header line of a text dump (22 bytes); 1, or 0. */
int write_pre_header(int number, int byte, int flag);

/* Reads the next line; 1 with the values when it is a pre-header, else 0. */
int read_pre_header(int *number, int *byte, int *flag);

/* Takes the sizes of the files of the open dump for dump_progress: 1, or 0
 * on a failure other than a missing file. */
int init_dump_progress(void);

/* The fraction of the dump read so far, 0 to 1. */
double dump_progress(void);

#endif
