/*
 * al_stream_int.h: the stream record, its flags and the helpers shared by
 * the stream sources; private to lib/al_1 (others use al_stream.h).
 */
#ifndef AL_STREAM_INT_H
#define AL_STREAM_INT_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "al_stream.h"

/* Stream flags. */
enum : std::uint16_t {
    SF_READ = 0x0001,      /* open for reading */
    SF_WRITE = 0x0002,     /* open for writing */
    SF_UNBUF = 0x0004,     /* sputc flushes after every byte */
    SF_RDATA = 0x0008,     /* the buffer holds read data */
    SF_EOF = 0x0010,       /* end of file seen */
    SF_ERR = 0x0020,       /* error seen */
    SF_LINEBUF = 0x0040,   /* sputc flushes after a line feed */
    SF_WDATA = 0x0080,     /* the buffer holds unwritten data */
    SF_TEXT = 0x0100,      /* text mode */
    SF_NOSEEK = 0x0200,    /* sseek and stream_stell fail */
    SF_REMOTE = 0x0400,    /* remote file */
    SF_MEMORY = 0x8000,    /* memory (byte-array) stream */
};

/* The byte-array record behind a memory stream. */
struct ByteArray {
    unsigned char *base;  /* the block (the caller's for a fixed array) */
    long length;          /* data bytes in the block */
    long capacity;        /* size of the block */
    long offset;          /* current offset */
    long step;            /* growth step of a variable array */
    long limit;           /* largest size of a variable array, 0: none */
    bool fixed;
    bool append;          /* every write goes to the end */
};

/* What the four functions of a stream work on. */
union StreamHandle {
    int fd;            /* local file */
    ByteArray *mem;    /* memory stream */
    void *remote;      /* remote file (not available yet) */
    struct {
        void *arg;                   /* the channel's own argument */
        const StreamChannelOps *ops; /* its functions */
    } chan;            /* channel stream (al_stream_chan.cpp) */
};

using StreamReadFn = long (*)(StreamHandle h, void *buf, long n);
using StreamWriteFn = long (*)(StreamHandle h, const void *buf, long n);
using StreamSeekFn = long (*)(StreamHandle h, long offset, int whence);
using StreamCloseFn = int (*)(StreamHandle h);

struct STREAM {
    std::int32_t rcnt;       /* unread bytes left in the buffer */
    std::int32_t wroom;      /* free bytes left in the buffer */
    std::int32_t bufsize;    /* 0: unbuffered */
    unsigned char *bufpos;   /* current position in the buffer */
    unsigned char *bufbase;  /* the buffer, null until first used */
    StreamReadFn readf;
    StreamWriteFn writef;
    StreamSeekFn seekf;
    StreamCloseFn closef;
    StreamHandle handle;
    long position;           /* offset at the end of the data read, or
                                after the last physical write */
    STREAM *next;            /* next open stream */
    std::uint16_t flags;
    bool short_fill;         /* the last buffer fill ended short */
};

/* The first open stream (the list of all open streams). */
STREAM *stream_list_head();

/*
 * Allocates a stream record with the given flags, functions and handle,
 * and links it into the list of open streams. Null with ENOMEM.
 */
STREAM *stream_create(std::uint16_t flags, int bufsize, StreamHandle handle,
                      StreamReadFn readf, StreamWriteFn writef,
                      StreamSeekFn seekf, StreamCloseFn closef);

/* Unlinks and frees a stream record and its buffer (nothing is closed). */
void stream_destroy(STREAM *sp);

/*
 * Parses a mode of the open-mode table into stream flags and open flags;
 * false for any other mode.
 */
bool stream_parse_mode(const char *mode, std::uint16_t *sflags, int *oflags);

/* True for a stream made by stream_open_channel. */
bool stream_is_channel(const STREAM *sp);
/* Tells the channel of sp that an sflush succeeded (channel streams). */
void stream_channel_flushed(STREAM *sp);

/* Calls the trace hook, if any. */
void stream_trace(int level, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* Sets the last exploded file name (cut at 255 bytes). */
void stream_set_last_fname(std::string_view name);

/* ---- names -------------------------------------------------------------- */

/* A name after the credential form and the modifiers have been read. */
struct StreamName {
    std::string rest;          /* the alternatives */
    bool user_form = false;    /* began with ":user:passwd:tse@" */
    bool nolog = false;        /* {nolog} */
    bool nosyslog = false;     /* {nosyslog} */
    bool nofdlog = false;      /* {nofdlog} */
    bool has_package = false;  /* {package=..} given */
    std::string package;       /* its value */
    int cnum = -1;             /* {cnum=..}; -1: the user's company */
};

/*
 * Reads the credential form and the modifiers at the start of name.
 * false (errno EINVAL) for a credential form without "@" or a malformed
 * modifier value; the trace receives the reason.
 */
bool stream_parse_name(std::string_view name, StreamName *out);

/* Result of resolving one alternative into a path. */
enum class Resolve {
    ok,           /* path holds the expanded name */
    undefined,    /* an undefined variable or "${" without "}" */
    no_logical,   /* a logical name without definition */
};

/*
 * Resolves one alternative (trailing blanks already removed): a logical
 * name through the logical-name resolver, then the variables. dyn is set
 * when the result holds "${DYN_PATH_ELEMS}".
 */
Resolve stream_resolve_alternative(std::string_view alt, const StreamName &nm,
                                   int as_argument, std::string *path,
                                   bool *dyn);

/*
 * Expands the variables of text (see expand_fname) into out: 0 failure,
 * 1 expanded, 2 expanded with "${DYN_PATH_ELEMS}".
 */
int stream_expand_vars(std::string_view text, int as_argument,
                       std::string *out);

/*
 * Resolves a name for the by-name functions (credential form, modifiers,
 * a logical name, variables; no alternatives). false with errno EINVAL
 * when it cannot be expanded, EREMOTE (logged) for a remote name.
 */
bool stream_local_path(const char *name, const char *op, std::string *path);

/* True when a logical name of an object type was recognised in alt. */
bool stream_split_logical(std::string_view alt, std::string_view *machine,
                          std::string_view *type, std::string_view *lname);

/* The logical-name resolver; al_explode_logical_name unless replaced. */
using LogicalResolver = int (*)(const char *type, const char *name,
                                const char *package_comb, int compnr,
                                char *path, unsigned long size);
/* Replaces the resolver (null restores the default); returns the old one.
 * Used by the unit tests to stand in for the definition files. */
LogicalResolver stream_set_logical_resolver(LogicalResolver fn);
/* The resolver in force. */
LogicalResolver stream_logical_resolver();

/* Logs that remote files are not available; sets errno EREMOTE. */
void stream_remote_unavailable(const char *op, const char *name, bool log);

#endif
