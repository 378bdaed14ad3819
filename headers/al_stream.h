/*
 * al_stream.h: buffered byte streams over files. Every file of the system
 * is opened through here; names may contain ${VAR} references (${TSE} is
 * the root directory). Implemented in lib/al_1.
 */
#ifndef AL_STREAM_H
#define AL_STREAM_H

#include <cstdarg>
#include <cstddef>

struct STREAM;

/*
 * Opens the named file. Modes: "r", "w", "a", "x" with optional "+" and
 * "b"/"t" (see the stream layer's README). Returns null with errno set on
 * failure.
 */
STREAM *sopen(const char *name, const char *mode);

/* A stream over an open file descriptor. */
STREAM *sdopen(int fd, const char *mode);

/* Moves to offset (whence 0 start, 1 current, 2 end); the offset or -1. */
long sseek(STREAM *sp, long offset, int whence);

/* Non-zero once end of file was seen. */
int seof(STREAM *sp);

/* Closes and frees the stream: 0, or -1 when the final flush failed. */
int sclose(STREAM *sp);

/*
 * Reads a line of at most size - 1 bytes into buf; the line feed ends the
 * line and is not stored, a carriage return directly before it is dropped.
 * A longer line is returned in pieces. Null at end of file or on error.
 */
char *sgets(char *buf, int size, STREAM *sp);

/* Writes a string; 0 or -1. */
int sputs(const char *text, STREAM *sp);

/* Formats and writes; the number of bytes written, or -1. */
int stream_printf(STREAM *sp, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* Writes length bytes; length, or -1 on error. */
int swrite_blok(const void *buf, int length, STREAM *sp);

/* Reads up to length bytes; bytes read (short at end), -1 on error. */
int sread_blok(void *buf, int length, STREAM *sp);

/* Flushes buffered output; 0 or -1. */
int sflush(STREAM *sp);

/* access(2) on an expanded name: 0 or -1 with errno set. */
int stream_access(const char *name, int mode);

/* Removes a file by its (expanded) name: 0 or -1 with errno set. */
int stream_unlink(const char *name);

#endif
