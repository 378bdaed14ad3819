/*
 * al_stream.h: buffered byte streams over local files, memory blocks and
 * (later) files on other machines. Implemented in lib/al_1.
 */
/*
 * Every file of the system is opened through here. Names given to sopen
 * and to the by-name functions are expanded before use: a leading
 * ":user:passwd:tse@" credential form, modifiers ("{nolog}",
 * "{nosyslog}", "{nofdlog}", "{package=..}", "{cnum=..}"), ";"-separated
 * alternatives, logical names ("F_OBJ:name", "F_BRDD:name", "F_AUD:name",
 * "F_MSG:name") and ${VAR} references (${TSE} is the root, ${TSE_TMP} the
 * temporary directory). A name that still holds "!" after expansion names
 * a file on another machine ("machine!path"); such files are not
 * available yet: every function fails on them with errno EREMOTE.
 *
 * Errors: functions return -1 (or null) and set errno.
 */
#ifndef AL_STREAM_H
#define AL_STREAM_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstddef>

/* An open stream; the record is private to the stream layer. */
struct STREAM;

/* Buffer size of local streams when none is asked for. */
#define STREAM_DEFAULT_BUFSIZE 4096
/* Size of the output buffers of expand_fname and expand_fname_ex. */
#define STREAM_FNAME_MAX 1024
/* Size of the last exploded file name, terminator included. */
#define STREAM_LAST_FNAME_SIZE 256

/* Trace levels passed to the trace hook. */
#define STREAM_TRACE_DETAIL 1024     /* a step of name explosion or opening */
#define STREAM_TRACE_OPENED 0x80000  /* a successful open */

/* ---- opening and closing ------------------------------------------------ */

/*
 * Opens the named file with the default buffer size. Modes: "r", "w", "x",
 * "a", each optionally followed by "b" (no effect) or "t" (text mode) and
 * then by "+" (read and write); any other mode fails with EINVAL. Files are
 * created with permission 0666 (before the file-creation mask) and their
 * descriptors are closed on exec. The alternatives of the name are tried
 * in order; a refusal for lack of permission (EACCES) on a "w" mode ends
 * the search. Returns the stream (owned by the caller, release with
 * sclose), or null with errno set. Failures are logged (component
 * "sopen") unless the name carries "{nolog}".
 */
STREAM *sopen(const char *name, const char *mode);

/*
 * sopen with a buffer size: -1 (or any negative value) for the default,
 * 0 for an unbuffered stream.
 */
STREAM *sopen_ex(const char *name, const char *mode, int bufsize);

/*
 * A stream over an already open descriptor (which the stream then owns
 * and closes). The mode gives the stream's access as for sopen. A
 * descriptor that cannot seek (pipe, socket, terminal) gives a stream on
 * which sseek and stream_stell fail with ESPIPE. Null with errno set.
 */
STREAM *sdopen(int fd, const char *mode);

/*
 * Closes and frees the stream, flushing unwritten data first. 0, or -1
 * (errno set) when the stream is not open (EBADF; nothing is touched),
 * the final flush failed or closing the file failed. The stream is freed
 * in every case where it was found.
 */
int sclose(STREAM *sp);

/* Copies the last exploded file name (at most size - 1 bytes); buf. */
char *get_last_exploded_fname(char *buf, size_t size);
/* The last exploded file name: the expanded name the last sopen opened,
 * or the name as given when none opened. Process-wide, 256 bytes. */
const char *get_last_exploded_fname_ptr(void);

/* ---- memory streams ----------------------------------------------------- */

/*
 * A stream over a fixed block of length bytes owned by the caller (which
 * must outlive the stream). "r"/"r+"/"a" see the block as holding length
 * bytes of data ("a" starts at its end); "w"/"x" start with no data.
 * Writing never goes past the block (ENOSPC). Unbuffered. Null with errno.
 */
STREAM *sopenFixedByteArray(void *mem, long length, const char *mode);

/*
 * A stream over a growing block owned by the stream: it grows in steps of
 * step bytes (<= 0: 4096) up to limit bytes (<= 0: no limit); writing past
 * the limit fails with ENOSPC. Unbuffered. Null with errno.
 */
STREAM *sopenVariableByteArray(const char *mode, long step, long limit);

/* 1 for a stream over a fixed byte array, else 0. */
int isFixedByteArray(STREAM *sp);

/*
 * The block of a memory stream and the number of data bytes in it. The
 * block stays owned by the stream (a variable array may move it when it
 * grows). 0, or -1 with EINVAL for a stream that is not a memory stream.
 */
int getByteArrayProperties(STREAM *sp, void **base, long *length);

/*
 * Sets the limit of a variable byte array (<= 0: no limit). 0, or -1 with
 * EINVAL when the stream is not a variable array or already holds more
 * than the limit.
 */
int setVariableByteArrayProperties(STREAM *sp, long limit);

/* ---- characters and lines ----------------------------------------------- */

/* The next byte (0-255), or -1 at end of file or on error. */
int sgetc(STREAM *sp);

/*
 * Puts one byte back into the read buffer: returns the byte, or -1 for an
 * unbuffered stream or a buffer already full of unread data. When the
 * buffer holds no read data, or c is -1, returns c without effect.
 */
int sungetc(int c, STREAM *sp);

/*
 * Writes one byte; the byte, or -1 (EBADF on a stream not open for
 * writing). Flushes after every byte on unbuffered output and after a line
 * feed on line-buffered output (see ssetbuf).
 */
int sputc(int c, STREAM *sp);

/*
 * Reads a line of at most size - 1 bytes into buf; the line feed ends the
 * line and is not stored, a carriage return directly before it is dropped
 * (a lone carriage return is kept). A longer line is returned in pieces.
 * Null when nothing could be read (end of file or error).
 */
char *sgets(char *buf, int size, STREAM *sp);

/* sgets without the carriage-return rule. */
char *sbgets(char *buf, int size, STREAM *sp);

/* Writes a string; 0 or -1. */
int sputs(const char *text, STREAM *sp);

/*
 * Formats into a buffer of 4096 bytes and writes it with swrite_blok: the
 * number of bytes written, or -1. Longer output is cut at 4095 bytes.
 */
int stream_printf(STREAM *sp, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* ---- blocks and positions ----------------------------------------------- */

/* Writes length bytes; length, or -1 on error. */
int swrite_blok(const void *buf, int length, STREAM *sp);

/*
 * Reads up to length bytes; the bytes read (short at end of file or on
 * error), -1 (EBADF) on a stream not open for reading.
 */
int sread_blok(void *buf, int length, STREAM *sp);

/*
 * Writes the unwritten bytes with one call of the write function. 0, or -1
 * when the write failed ("sflush(): write error" is logged, the buffer is
 * discarded and the error flag set) or was short (the unwritten tail stays
 * at the start of the buffer, errno EAGAIN).
 */
int sflush(STREAM *sp);

/* Moves to offset (whence 0 start, 1 current, 2 end); the new offset or
 * -1. Clears the end-of-file and error flags. */
long sseek(STREAM *sp, long offset, int whence);

/*
 * The current logical offset, or -1. With exact 0 a reading stream answers
 * from its own counters; otherwise the file is asked.
 */
long stream_stell(STREAM *sp, int exact);

/* Skips count bytes of input; 0, or -1 (EBADF) on a stream not open for
 * reading. */
int sskip(STREAM *sp, long count);

/* The file descriptor, or -1 for memory (and remote) streams. */
int sfileno(STREAM *sp);

/* 1 when end of file was seen (until a successful sseek), else 0. */
int seof(STREAM *sp);
/* 1 when an error was seen (until a successful sseek), else 0. */
int serror(STREAM *sp);

/* Output buffering of sputc: 0 full, 1 flush after a line feed, 2 flush
 * after every byte. 0, or -1 (EINVAL) for another value. */
int ssetbuf(STREAM *sp, int how);

/* ---- big-endian numbers and strings ------------------------------------- */

/* Writes the low 16 bits of value, most significant byte first; 0 or -1. */
int w_short(STREAM *sp, int value);
/* Writes the low 32 bits of value, most significant byte first; 0 or -1. */
int w_long(STREAM *sp, long value);
/* Reads 2 bytes as a signed 16-bit number; -1 at end of file (see seof). */
int r_short(STREAM *sp);
/* Reads 4 bytes as a signed 32-bit number; -1 at end of file (see seof). */
long r_long(STREAM *sp);
/*
 * Reads bytes up to and excluding a NUL (or end of file) into buf and
 * terminates it. The number of bytes stored, or -1 at end of file before
 * anything was read. buf must be large enough for the string.
 */
int r_string(STREAM *sp, char *buf);
/* r_string storing at most size - 1 bytes; the rest of the string is read
 * and dropped, so that the input stays in step. */
int r_string_n(STREAM *sp, char *buf, size_t size);

/* ---- files by name ------------------------------------------------------ */

/* stat of a file by name; 0, or -1 with errno (EINVAL: not expandable). */
int stream_stat(const char *name, struct stat *st);
/* fstat of an open stream; -1 with EBADF for a memory stream. */
int stream_fstat(STREAM *sp, struct stat *st);
/* access of a file by name (mode as for access, 6 = read and write); 0 or
 * -1 with errno (EINVAL: the name cannot be expanded). */
int stream_access(const char *name, int mode);
/* chmod by name; 0 or -1 with errno. */
int stream_chmod(const char *name, mode_t mode);
/* chown by name; 0 or -1 with errno. */
int stream_chown(const char *name, uid_t owner, gid_t group);
/* Creates a directory (mode before the file-creation mask); 0 or -1. */
int stream_mkdir(const char *name, mode_t mode);
/* Removes an empty directory; 0 or -1 with errno. */
int stream_rmdir(const char *name);
/* Removes a file; 0 or -1 with errno. */
int stream_unlink(const char *name);
/* Removes a file, or a directory with everything below it (symbolic links
 * are removed, not followed); 0 or -1 with errno. */
int stream_rm(const char *name);
/* Copies a file (contents and permission bits); the target is created or
 * truncated. 0 or -1 with errno. */
int stream_cp(const char *from, const char *to);
/* Renames a file, copying and removing it across file systems; 0 or -1. */
int stream_mv(const char *from, const char *to);

/* A directory listing; private to the stream layer. */
struct STREAM_DIR;

/* Opens a directory for listing its entries ("." and ".." left out).
 * Null with errno. Release with stream_closedir. */
STREAM_DIR *stream_opendir(const char *name);
/* Opens a directory for listing everything below it, depth first, each
 * directory before its contents, names relative to it ("sub/file"). */
STREAM_DIR *stream_opentree(const char *name);
/* The next name in ascending byte order within each directory, or null at
 * the end. The text stays valid until the next call on the listing. */
const char *stream_readdir(STREAM_DIR *dp);
/* Reads the directory again and starts over; 0 or -1 with errno. */
int stream_rewinddir(STREAM_DIR *dp);
/* Ends the listing and frees it; 0, or -1 (EBADF) for null. */
int stream_closedir(STREAM_DIR *dp);

/* Size and space available to the caller of the file system holding the
 * named file, in bytes; 0 or -1 with errno. */
int stream_diskinfo(const char *name, long long *total_bytes,
                    long long *avail_bytes);

/*
 * Record locks (fcntl) on an open local stream, length 0 meaning up to
 * the end of the file. stream_lock takes a write lock on a stream open
 * for writing, else a read lock; with wait 0 it fails at once (EAGAIN or
 * EACCES) when another process holds a conflicting lock. 0 or -1.
 */
int stream_lock(STREAM *sp, long offset, long length, int wait);
/* Releases a record lock; 0 or -1. */
int stream_unlock(STREAM *sp, long offset, long length);
/* 1 when another process holds a lock conflicting with the one
 * stream_lock would take, 0 when not, -1 on error. */
int stream_islocked(STREAM *sp, long offset, long length);

/* Ends all remote file server connections (there are none yet). */
void close_stream_servers(void);

/* ---- channel streams ---------------------------------------------------- */

/*
 * The functions behind a channel stream (a driver channel, made by the
 * channel layer of lib/nw_1). Each receives the channel argument given to
 * stream_open_channel. read returns the bytes read (0 end of input, -1
 * error), write the bytes written or -1, close 0 or -1. flushed may be
 * null; otherwise it is called after every successful sflush of the
 * stream (not after the stream layer's own flushes of a full buffer).
 */
struct StreamChannelOps {
    long (*read)(void *chan, void *buf, long n);
    long (*write)(void *chan, const void *buf, long n);
    int (*close)(void *chan);
    void (*flushed)(void *chan);
};

/*
 * A stream over a channel: mode as for sopen, bufsize as for sopen_ex.
 * The stream cannot seek, and sfileno gives -1. ops must stay valid while
 * the stream is open; chan is passed to its functions unchanged. sclose
 * calls ops->close once. Null with errno set (EINVAL for a bad mode or
 * null ops).
 */
STREAM *stream_open_channel(void *chan, const struct StreamChannelOps *ops,
                            const char *mode, int bufsize);

/* ---- name expansion ----------------------------------------------------- */

/*
 * Replaces every ${NAME} of name: TSE by the root, TSE_TMP by the
 * temporary directory, DYN_PATH_ELEMS is kept as written, any other by
 * getvar. Text from a "!" up to the next ":" is copied unexpanded. The
 * result goes to output (STREAM_FNAME_MAX bytes). Returns 1, 2 when the
 * result holds "${DYN_PATH_ELEMS}", or 0 on failure (errno EINVAL for an
 * undefined variable or a "${" without "}", ENAMETOOLONG).
 */
int expand_fname(const char *name, char *output);
/* expand_fname for a name used as a program argument (as_argument 1). */
int expand_fname_ex(const char *name, char *output, int as_argument);

/* ---- redirection of the standard descriptors ----------------------------- */

/*
 * which 'i' reopens standard input from the file; 'e' creates the file
 * (truncated, permission 0644) as standard error, 'o' as standard output.
 * The name is expanded as by expand_fname. 0, or -1 with errno.
 */
int HAL_redirect(int which, const char *path);
/* Sends standard output and standard error to one created file; 0 or -1. */
int HAL_redir(const char *path);

/* ---- tracing ------------------------------------------------------------ */

/* Receives every step of name explosion and opening. */
typedef void (*FileTraceFun)(int level, const char *fmt, va_list args);

/* Installs the trace hook (null removes it); returns the previous one. */
FileTraceFun file_set_trace_fun_hook(FileTraceFun fn);

#endif
