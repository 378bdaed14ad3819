/*
 * al_stream.cpp: the stream record and the list of open streams, opening
 * local files (sopen, sopen_ex, sdopen) and closing, buffering with shared
 * buffers, characters, lines, blocks, positions and big-endian numbers.
 */
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "al_log.h"
#include "al_mem.h"
#include "al_stream.h"
#include "al_stream_int.h"

namespace {

constexpr char kFile[] = "lib/al_1/al_stream.cpp";
/* Message flag: append the text of errno where the message is shown. */
constexpr int kLogErrno = 0x20;

STREAM *g_head = nullptr;
FileTraceFun g_trace = nullptr;
char g_last_fname[STREAM_LAST_FNAME_SIZE] = "";

/* ---- the functions of a local stream ------------------------------------ */

long local_read(StreamHandle h, void *buf, long n)
{
    ssize_t r;
    do
        r = ::read(h.fd, buf, static_cast<size_t>(n));
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long local_write(StreamHandle h, const void *buf, long n)
{
    ssize_t r;
    do
        r = ::write(h.fd, buf, static_cast<size_t>(n));
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long local_seek(StreamHandle h, long offset, int whence)
{
    return static_cast<long>(::lseek(h.fd, offset, whence));
}

int local_close(StreamHandle h)
{
    return ::close(h.fd);
}

/* ---- buffers ------------------------------------------------------------ */

/* A buffer is idle when it holds neither unread nor unwritten data. */
bool buffer_idle(const STREAM *s)
{
    return (s->flags & SF_WDATA) == 0 && s->rcnt <= 0;
}

/*
 * Gives sp a buffer: its own, else the idle buffer of another open stream
 * with the same buffer size (that stream loses it and takes or allocates
 * one when it needs it again), else a new one.
 */
bool ensure_buffer(STREAM *sp)
{
    if (sp->bufbase != nullptr)
        return true;
    for (STREAM *s = g_head; s != nullptr; s = s->next) {
        if (s == sp || s->bufbase == nullptr || s->bufsize != sp->bufsize ||
            !buffer_idle(s))
            continue;
        sp->bufbase = s->bufbase;
        sp->bufpos = sp->bufbase;
        s->bufbase = nullptr;
        s->bufpos = nullptr;
        s->rcnt = 0;
        s->wroom = 0;
        s->short_fill = false;
        s->flags &= static_cast<std::uint16_t>(~SF_RDATA);
        return true;
    }
    sp->bufbase = static_cast<unsigned char *>(
        mal_allocater(static_cast<size_t>(sp->bufsize)));
    if (sp->bufbase == nullptr) {
        errno = ENOMEM;
        sp->flags |= SF_ERR;
        return false;
    }
    sp->bufpos = sp->bufbase;
    return true;
}

/* Starts an empty write buffer when the buffer holds no unwritten data. */
bool init_write_buffer(STREAM *sp)
{
    if (sp->flags & SF_WDATA)
        return true;
    if (!ensure_buffer(sp))
        return false;
    sp->bufpos = sp->bufbase;
    sp->wroom = sp->bufsize;
    return true;
}

enum class Flush { done, partial, failed };

/* One call of the write function for the unwritten bytes. */
Flush flush_once(STREAM *sp)
{
    if ((sp->flags & SF_WDATA) == 0)
        return Flush::done;
    long n = sp->bufpos - sp->bufbase;
    long w = sp->writef(sp->handle, sp->bufbase, n);
    if (w < 0) {
        int saved = errno;
        log_mesg(kFile, __LINE__, "strm", 0, "sflush(): write error\n");
        errno = saved;
        sp->flags &= static_cast<std::uint16_t>(~SF_WDATA);
        sp->flags |= SF_ERR;
        sp->bufpos = sp->bufbase;
        sp->wroom = 0;
        return Flush::failed;
    }
    sp->position += w;
    if (w < n) {
        std::memmove(sp->bufbase, sp->bufbase + w, static_cast<size_t>(n - w));
        sp->bufpos = sp->bufbase + (n - w);
        sp->wroom = sp->bufsize - static_cast<std::int32_t>(n - w);
        errno = EAGAIN;
        return Flush::partial;
    }
    sp->flags &= static_cast<std::uint16_t>(~SF_WDATA);
    sp->bufpos = sp->bufbase;
    sp->wroom = 0;
    return Flush::done;
}

/* Flushes until the buffer is empty, as long as every write makes progress. */
bool flush_all(STREAM *sp)
{
    for (;;) {
        long before = (sp->flags & SF_WDATA) ? sp->bufpos - sp->bufbase : 0;
        switch (flush_once(sp)) {
        case Flush::done:
            return true;
        case Flush::failed:
            return false;
        case Flush::partial:
            if (sp->bufpos - sp->bufbase >= before) {
                sp->flags |= SF_ERR;
                errno = EIO;
                return false;
            }
            break;
        }
    }
}

/* Writes n bytes straight through the write function. */
bool write_direct(STREAM *sp, const unsigned char *p, long n)
{
    while (n > 0) {
        long w = sp->writef(sp->handle, p, n);
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            sp->flags |= SF_ERR;
            return false;
        }
        sp->position += w;
        p += w;
        n -= w;
    }
    return true;
}

/* Reads up to n bytes straight into p, repeating short reads; the count. */
long read_direct(STREAM *sp, unsigned char *p, long n)
{
    long got = 0;
    while (got < n) {
        long r = sp->readf(sp->handle, p + got, n - got);
        if (r <= 0) {
            sp->flags |= r == 0 ? SF_EOF : SF_ERR;
            break;
        }
        sp->position += r;
        got += r;
    }
    return got;
}

/* Fills the buffer with one call of the read function; the count read. */
long fill_buffer(STREAM *sp)
{
    if (!ensure_buffer(sp))
        return -1;
    long n = sp->readf(sp->handle, sp->bufbase, sp->bufsize);
    if (n <= 0) {
        sp->flags |= n == 0 ? SF_EOF : SF_ERR;
        return n;
    }
    sp->bufpos = sp->bufbase;
    sp->rcnt = static_cast<std::int32_t>(n);
    sp->wroom = 0;
    sp->position += n;
    sp->short_fill = n < sp->bufsize;
    sp->flags |= SF_RDATA;
    return n;
}

/* Prepares a read: the stream must read; unwritten data is flushed first. */
bool begin_read(STREAM *sp)
{
    if ((sp->flags & SF_READ) == 0) {
        errno = EBADF;
        sp->flags |= SF_ERR;
        return false;
    }
    if (sp->flags & SF_WDATA)
        return flush_all(sp);
    return true;
}

/*
 * Prepares a write: the stream must write; read data is dropped after
 * moving the file back to the logical position.
 */
bool begin_write(STREAM *sp)
{
    if ((sp->flags & SF_WRITE) == 0) {
        errno = EBADF;
        sp->flags |= SF_ERR;
        return false;
    }
    if (sp->flags & SF_RDATA) {
        if (sp->rcnt > 0) {
            long r = sp->seekf(sp->handle, sp->position - sp->rcnt, SEEK_SET);
            if (r < 0) {
                sp->flags |= SF_ERR;
                return false;
            }
            sp->position = r;
        }
        sp->rcnt = 0;
        sp->short_fill = false;
        sp->flags &= static_cast<std::uint16_t>(~SF_RDATA);
    }
    if (sp->bufsize > 0)
        return init_write_buffer(sp);
    return true;
}

/*
 * The next byte without consuming it; -1 at end of file or on error, -2
 * when the stream can neither buffer nor seek back.
 */
int peek_byte(STREAM *sp)
{
    if (sp->bufsize > 0) {
        if (sp->rcnt <= 0 && fill_buffer(sp) <= 0)
            return -1;
        return *sp->bufpos;
    }
    if (sp->flags & SF_NOSEEK)
        return -2;
    unsigned char c;
    long r = sp->readf(sp->handle, &c, 1);
    if (r != 1) {
        sp->flags |= r == 0 ? SF_EOF : SF_ERR;
        return -1;
    }
    if (sp->seekf(sp->handle, -1, SEEK_CUR) < 0) {
        sp->position += 1;
        sp->flags |= SF_ERR;
        return -2;
    }
    return c;
}

char *gets_impl(char *buf, int size, STREAM *sp, bool cr_rule)
{
    if (sp == nullptr) {
        errno = EBADF;
        return nullptr;
    }
    if (buf == nullptr || size < 2) {
        errno = EINVAL;
        return nullptr;
    }
    int n = 0;
    bool line_end = false;
    while (n < size - 1) {
        int c = sgetc(sp);
        if (c < 0)
            break;
        if (c == '\n') {
            line_end = true;
            break;
        }
        buf[n++] = static_cast<char>(c);
    }
    if (n == 0 && !line_end)
        return nullptr;
    if (!line_end && n == size - 1 && peek_byte(sp) == '\n') {
        /* The line feed right after a full piece still ends this line. */
        sgetc(sp);
        line_end = true;
    }
    if (line_end && cr_rule && n > 0 && buf[n - 1] == '\r')
        --n;
    buf[n] = '\0';
    return buf;
}

bool valid_stream(STREAM *sp)
{
    if (sp == nullptr) {
        errno = EBADF;
        return false;
    }
    return true;
}

} // namespace

/* ---- the list, records and helpers shared with the other sources -------- */

STREAM *stream_list_head()
{
    return g_head;
}

STREAM *stream_create(std::uint16_t flags, int bufsize, StreamHandle handle,
                      StreamReadFn readf, StreamWriteFn writef,
                      StreamSeekFn seekf, StreamCloseFn closef)
{
    void *mem = mal_allocater(sizeof(STREAM));
    if (mem == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *sp = new (mem) STREAM{};
    sp->bufsize = bufsize;
    sp->readf = readf;
    sp->writef = writef;
    sp->seekf = seekf;
    sp->closef = closef;
    sp->handle = handle;
    sp->flags = flags;
    sp->next = g_head;
    g_head = sp;
    return sp;
}

void stream_destroy(STREAM *sp)
{
    for (STREAM **link = &g_head; *link != nullptr; link = &(*link)->next) {
        if (*link == sp) {
            *link = sp->next;
            break;
        }
    }
    mal_free(sp->bufbase);
    sp->~STREAM();
    mal_free(sp);
}

bool stream_parse_mode(const char *mode, std::uint16_t *sflags, int *oflags)
{
    if (mode == nullptr)
        return false;
    std::uint16_t sf = 0;
    int of = 0;
    switch (mode[0]) {
    case 'r':
        sf = SF_READ;
        of = O_RDONLY;
        break;
    case 'w':
        sf = SF_WRITE;
        of = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'x':
        sf = SF_WRITE;
        of = O_WRONLY | O_CREAT | O_EXCL | O_TRUNC;
        break;
    case 'a':
        sf = SF_WRITE;
        of = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        return false;
    }
    const char *p = mode + 1;
    if (*p == 'b') {
        ++p;
    } else if (*p == 't') {
        sf |= SF_TEXT;
        ++p;
    }
    if (*p == '+') {
        sf |= SF_READ | SF_WRITE;
        of = (of & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
        ++p;
    }
    if (*p != '\0')
        return false;
    *sflags = sf;
    *oflags = of;
    return true;
}

void stream_trace(int level, const char *fmt, ...)
{
    if (g_trace == nullptr)
        return;
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    g_trace(level, fmt, ap);
    va_end(ap);
    errno = saved;
}

void stream_set_last_fname(std::string_view name)
{
    size_t n = std::min(name.size(), sizeof g_last_fname - 1);
    std::memcpy(g_last_fname, name.data(), n);
    g_last_fname[n] = '\0';
}

FileTraceFun file_set_trace_fun_hook(FileTraceFun fn)
{
    FileTraceFun old = g_trace;
    g_trace = fn;
    return old;
}

char *get_last_exploded_fname(char *buf, size_t size)
{
    if (buf != nullptr && size > 0)
        std::snprintf(buf, size, "%s", g_last_fname);
    return buf;
}

const char *get_last_exploded_fname_ptr(void)
{
    return g_last_fname;
}

/* ---- opening and closing ------------------------------------------------ */

namespace {

std::string_view trim_trailing_blanks(std::string_view s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

/* Opens one expanded local name; null with errno set. */
STREAM *open_local(const std::string &path, std::uint16_t sflags, int oflags,
                   int bufsize)
{
    int fd = ::open(path.c_str(), oflags | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    StreamHandle h{};
    h.fd = fd;
    STREAM *sp = stream_create(sflags, bufsize, h, local_read, local_write,
                               local_seek, local_close);
    if (sp == nullptr) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    if (oflags & O_APPEND) {
        off_t end = ::lseek(fd, 0, SEEK_END);
        sp->position = end < 0 ? 0 : static_cast<long>(end);
    }
    return sp;
}

} // namespace

STREAM *sopen(const char *name, const char *mode)
{
    return sopen_ex(name, mode, -1);
}

STREAM *sopen_ex(const char *name, const char *mode, int bufsize)
{
    if (name == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    stream_trace(STREAM_TRACE_DETAIL, "sopen(%s, %s)\n", name, mode);
    std::uint16_t sflags = 0;
    int oflags = 0;
    if (!stream_parse_mode(mode, &sflags, &oflags)) {
        stream_trace(STREAM_TRACE_DETAIL, "sopen(%s): invalid mode '%s'\n",
                     name, mode);
        stream_set_last_fname(name);
        errno = EINVAL;
        return nullptr;
    }
    if (bufsize < 0)
        bufsize = STREAM_DEFAULT_BUFSIZE;
    StreamName nm;
    if (!stream_parse_name(name, &nm)) {
        stream_set_last_fname(name);
        errno = EINVAL;
        return nullptr;
    }
    const bool write_mode = std::strchr(mode, 'w') != nullptr;

    std::string last_expansion;
    int attempt_errno = 0;   /* errno of the last open attempted */
    int local_errno = 0;     /* errno of the last local open that failed */
    int other_errno = EINVAL;
    bool undefined_logical = false;
    std::string logical_type, logical_name;

    std::string_view rest = nm.rest;
    bool stop = false;
    for (;;) {
        size_t semi = rest.find(';');
        std::string_view alt = trim_trailing_blanks(rest.substr(0, semi));
        std::string alt_text(alt);
        stream_trace(STREAM_TRACE_DETAIL, "sopen: trying '%s'\n",
                     alt_text.c_str());
        std::string path;
        bool dyn = false;
        switch (stream_resolve_alternative(alt, nm, 0, &path, &dyn)) {
        case Resolve::no_logical: {
            std::string_view machine, type, lname;
            stream_split_logical(alt, &machine, &type, &lname);
            undefined_logical = true;
            logical_type = type;
            logical_name = lname;
            other_errno = ENOENT;
            break;
        }
        case Resolve::undefined:
            other_errno = EINVAL;
            break;
        case Resolve::ok:
            last_expansion = path;
            stream_trace(STREAM_TRACE_DETAIL, "sopen: '%s' expands to '%s'\n",
                         alt_text.c_str(), path.c_str());
            if (path.find('!') != std::string::npos) {
                stream_remote_unavailable("sopen", path.c_str(), !nm.nolog);
                attempt_errno = errno;
                break;
            }
            if (STREAM *sp = open_local(path, sflags, oflags, bufsize)) {
                stream_set_last_fname(path);
                stream_trace(STREAM_TRACE_OPENED,
                             "sopen(%s, %s): opened '%s' (descriptor %d)\n",
                             name, mode, path.c_str(), sp->handle.fd);
                return sp;
            }
            attempt_errno = local_errno = errno;
            stream_trace(STREAM_TRACE_DETAIL, "sopen: open(%s) failed: %s\n",
                         path.c_str(), std::strerror(local_errno));
            /* No permission to write here: the later alternatives are
               not tried. */
            stop = local_errno == EACCES && write_mode;
            break;
        }
        if (stop || semi == std::string_view::npos)
            break;
        rest.remove_prefix(semi + 1);
    }

    stream_set_last_fname(name);
    if (!nm.nolog) {
        if (local_errno != 0 && local_errno != ENOENT && local_errno != EEXIST &&
            !nm.nosyslog) {
            errno = local_errno;
            log_mesg(kFile, __LINE__, "sopen", kLogErrno,
                     "\nError during %s(%s, %s)", "sopen", name,
                     last_expansion.c_str());
        }
        if (undefined_logical && !nm.nofdlog)
            log_mesg(kFile, __LINE__, "sopen", 0,
                     "\nNo definition in definition file for %s(%s, %s)",
                     logical_type.c_str(), logical_name.c_str(),
                     nm.has_package ? nm.package.c_str() : "");
    }
    errno = attempt_errno != 0 ? attempt_errno : other_errno;
    return nullptr;
}

STREAM *sdopen(int fd, const char *mode)
{
    std::uint16_t sflags = 0;
    int oflags = 0;
    if (!stream_parse_mode(mode, &sflags, &oflags)) {
        errno = EINVAL;
        return nullptr;
    }
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) {
        errno = EBADF;
        return nullptr;
    }
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos < 0)
        sflags |= SF_NOSEEK;
    StreamHandle h{};
    h.fd = fd;
    STREAM *sp = stream_create(sflags, STREAM_DEFAULT_BUFSIZE, h, local_read,
                               local_write, local_seek, local_close);
    if (sp == nullptr)
        return nullptr;
    sp->position = pos < 0 ? 0 : static_cast<long>(pos);
    return sp;
}

int sclose(STREAM *sp)
{
    STREAM *s = g_head;
    while (s != nullptr && s != sp)
        s = s->next;
    if (sp == nullptr || s == nullptr) {
        errno = EBADF;
        return -1;
    }
    int rc = 0;
    int saved = 0;
    if ((sp->flags & SF_WDATA) && !flush_all(sp)) {
        rc = -1;
        saved = errno;
    }
    if (sp->closef != nullptr && sp->closef(sp->handle) < 0) {
        if (rc == 0)
            saved = errno;
        rc = -1;
    }
    stream_destroy(sp);
    if (rc != 0)
        errno = saved;
    return rc;
}

/* ---- characters and lines ----------------------------------------------- */

int sgetc(STREAM *sp)
{
    if (!valid_stream(sp) || !begin_read(sp))
        return -1;
    if (sp->bufsize == 0) {
        unsigned char c;
        long n = sp->readf(sp->handle, &c, 1);
        if (n != 1) {
            sp->flags |= n == 0 ? SF_EOF : SF_ERR;
            return -1;
        }
        sp->position += 1;
        return c;
    }
    if (sp->rcnt <= 0 && fill_buffer(sp) <= 0)
        return -1;
    --sp->rcnt;
    return *sp->bufpos++;
}

int sungetc(int c, STREAM *sp)
{
    if (sp == nullptr || sp->bufsize == 0)
        return -1;
    if (c == -1 || (sp->flags & SF_RDATA) == 0 || sp->bufbase == nullptr)
        return c;
    if (sp->rcnt >= sp->bufsize)
        return -1;
    if (sp->bufpos > sp->bufbase)
        --sp->bufpos;
    else
        std::memmove(sp->bufbase + 1, sp->bufbase, static_cast<size_t>(sp->rcnt));
    *sp->bufpos = static_cast<unsigned char>(c);
    ++sp->rcnt;
    return static_cast<unsigned char>(c);
}

int sputc(int c, STREAM *sp)
{
    if (!valid_stream(sp) || !begin_write(sp))
        return -1;
    auto byte = static_cast<unsigned char>(c);
    if (sp->bufsize == 0)
        return write_direct(sp, &byte, 1) ? byte : -1;
    if (sp->wroom <= 0 && (!flush_all(sp) || !init_write_buffer(sp)))
        return -1;
    *sp->bufpos++ = byte;
    --sp->wroom;
    sp->flags |= SF_WDATA;
    if ((sp->flags & SF_UNBUF) || ((sp->flags & SF_LINEBUF) && byte == '\n')) {
        if (!flush_all(sp))
            return -1;
    }
    return byte;
}

char *sgets(char *buf, int size, STREAM *sp)
{
    return gets_impl(buf, size, sp, true);
}

char *sbgets(char *buf, int size, STREAM *sp)
{
    return gets_impl(buf, size, sp, false);
}

int sputs(const char *text, STREAM *sp)
{
    if (text == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int len = static_cast<int>(std::strlen(text));
    return swrite_blok(text, len, sp) == len ? 0 : -1;
}

int stream_printf(STREAM *sp, const char *fmt, ...)
{
    if (!valid_stream(sp))
        return -1;
    if (fmt == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::array<char, 4096> text;
    va_list ap;
    va_start(ap, fmt);
    int len = std::vsnprintf(text.data(), text.size(), fmt, ap);
    va_end(ap);
    if (len < 0)
        return -1;
    if (len >= static_cast<int>(text.size()))
        len = static_cast<int>(text.size()) - 1;
    return swrite_blok(text.data(), len, sp);
}

/* ---- blocks and positions ----------------------------------------------- */

int swrite_blok(const void *buf, int length, STREAM *sp)
{
    if (!valid_stream(sp))
        return -1;
    if (length < 0 || (buf == nullptr && length > 0)) {
        errno = EINVAL;
        return -1;
    }
    if (!begin_write(sp))
        return -1;
    auto p = static_cast<const unsigned char *>(buf);
    long left = length;
    if (sp->bufsize == 0)
        return write_direct(sp, p, left) ? length : -1;

    long take = std::min<long>(left, sp->wroom);
    if (take > 0) {
        std::memcpy(sp->bufpos, p, static_cast<size_t>(take));
        sp->bufpos += take;
        sp->wroom -= static_cast<std::int32_t>(take);
        sp->flags |= SF_WDATA;
        p += take;
        left -= take;
    }
    if (left == 0)
        return length;
    if (!flush_all(sp))
        return -1;
    long direct = left - left % sp->bufsize;
    if (direct > 0) {
        if (!write_direct(sp, p, direct))
            return -1;
        p += direct;
        left -= direct;
    }
    if (left > 0) {
        if (!init_write_buffer(sp))
            return -1;
        std::memcpy(sp->bufpos, p, static_cast<size_t>(left));
        sp->bufpos += left;
        sp->wroom -= static_cast<std::int32_t>(left);
        sp->flags |= SF_WDATA;
    }
    return length;
}

int sread_blok(void *buf, int length, STREAM *sp)
{
    if (!valid_stream(sp))
        return -1;
    if (length < 0 || (buf == nullptr && length > 0)) {
        errno = EINVAL;
        return -1;
    }
    if (!begin_read(sp))
        return -1;
    auto d = static_cast<unsigned char *>(buf);
    if (sp->bufsize == 0)
        return static_cast<int>(read_direct(sp, d, length));

    long got = 0;
    if (sp->rcnt > 0) {
        long take = std::min<long>(sp->rcnt, length);
        std::memcpy(d, sp->bufpos, static_cast<size_t>(take));
        sp->bufpos += take;
        sp->rcnt -= static_cast<std::int32_t>(take);
        got = take;
    }
    long left = length - got;
    long direct = left - left % sp->bufsize;
    if (direct > 0) {
        long r = read_direct(sp, d + got, direct);
        got += r;
        if (r < direct)
            return static_cast<int>(got);
    }
    while (got < length) {
        if (fill_buffer(sp) <= 0)
            break;
        long take = std::min<long>(sp->rcnt, length - got);
        std::memcpy(d + got, sp->bufpos, static_cast<size_t>(take));
        sp->bufpos += take;
        sp->rcnt -= static_cast<std::int32_t>(take);
        got += take;
    }
    return static_cast<int>(got);
}

int sflush(STREAM *sp)
{
    if (!valid_stream(sp))
        return -1;
    if (flush_once(sp) != Flush::done)
        return -1;
    if (stream_is_channel(sp))
        stream_channel_flushed(sp);
    return 0;
}

long sseek(STREAM *sp, long offset, int whence)
{
    if (!valid_stream(sp))
        return -1;
    if (sp->flags & SF_NOSEEK) {
        errno = ESPIPE;
        return -1;
    }
    if (whence < 0 || whence > 2) {
        errno = EINVAL;
        return -1;
    }
    const auto clear = static_cast<std::uint16_t>(~(SF_EOF | SF_ERR));
    if ((sp->flags & SF_RDATA) && sp->bufbase != nullptr) {
        /* Inside the data already read only the buffer position moves. */
        long start = sp->position - (sp->bufpos - sp->bufbase) - sp->rcnt;
        long logical = sp->position - sp->rcnt;
        bool known = true;
        long target = 0;
        if (whence == 0)
            target = offset;
        else if (whence == 1)
            target = logical + offset;
        else if (offset == 0 && ((sp->flags & SF_EOF) || sp->short_fill))
            target = sp->position;
        else
            known = false;
        if (known && target >= start && target <= sp->position) {
            sp->bufpos = sp->bufbase + (target - start);
            sp->rcnt = static_cast<std::int32_t>(sp->position - target);
            sp->flags &= clear;
            return target;
        }
    }
    if ((sp->flags & SF_WDATA) && !flush_all(sp))
        return -1;
    long logical = sp->position - ((sp->flags & SF_RDATA) ? sp->rcnt : 0);
    long r = whence == 1 ? sp->seekf(sp->handle, logical + offset, SEEK_SET)
                         : sp->seekf(sp->handle, offset, whence);
    if (r < 0)
        return -1;
    sp->position = r;
    sp->rcnt = 0;
    sp->wroom = 0;
    sp->short_fill = false;
    sp->bufpos = sp->bufbase;
    sp->flags &= static_cast<std::uint16_t>(~SF_RDATA);
    sp->flags &= clear;
    return r;
}

long stream_stell(STREAM *sp, int exact)
{
    if (!valid_stream(sp))
        return -1;
    if (sp->flags & SF_NOSEEK) {
        errno = ESPIPE;
        return -1;
    }
    if (exact == 0 && (sp->flags & SF_READ) && (sp->flags & SF_WDATA) == 0)
        return sp->position - sp->rcnt;
    long cur = sp->seekf(sp->handle, 0, SEEK_CUR);
    if (cur < 0)
        return -1;
    if (sp->flags & SF_WDATA)
        cur += sp->bufpos - sp->bufbase;
    else if (sp->flags & SF_RDATA)
        cur -= sp->rcnt;
    return cur;
}

int sskip(STREAM *sp, long count)
{
    if (!valid_stream(sp) || !begin_read(sp))
        return -1;
    std::array<unsigned char, 4096> scratch;
    while (count > 0) {
        int want = static_cast<int>(std::min<long>(count, scratch.size()));
        int got = sread_blok(scratch.data(), want, sp);
        if (got <= 0)
            break;
        count -= got;
    }
    return 0;
}

int sfileno(STREAM *sp)
{
    if (!valid_stream(sp))
        return -1;
    if ((sp->flags & (SF_MEMORY | SF_REMOTE)) || stream_is_channel(sp))
        return -1;
    return sp->handle.fd;
}

int seof(STREAM *sp)
{
    return sp != nullptr && (sp->flags & SF_EOF) ? 1 : 0;
}

int serror(STREAM *sp)
{
    return sp != nullptr && (sp->flags & SF_ERR) ? 1 : 0;
}

int ssetbuf(STREAM *sp, int how)
{
    if (!valid_stream(sp))
        return -1;
    if (how < 0 || how > 2) {
        errno = EINVAL;
        return -1;
    }
    sp->flags &= static_cast<std::uint16_t>(~(SF_UNBUF | SF_LINEBUF));
    if (how == 1)
        sp->flags |= SF_LINEBUF;
    else if (how == 2)
        sp->flags |= SF_UNBUF;
    return 0;
}

/* ---- big-endian numbers and strings ------------------------------------- */

int w_short(STREAM *sp, int value)
{
    unsigned char b[2] = {static_cast<unsigned char>((value >> 8) & 0xff),
                          static_cast<unsigned char>(value & 0xff)};
    return swrite_blok(b, 2, sp) == 2 ? 0 : -1;
}

int w_long(STREAM *sp, long value)
{
    auto v = static_cast<unsigned long>(value);
    unsigned char b[4] = {static_cast<unsigned char>((v >> 24) & 0xff),
                          static_cast<unsigned char>((v >> 16) & 0xff),
                          static_cast<unsigned char>((v >> 8) & 0xff),
                          static_cast<unsigned char>(v & 0xff)};
    return swrite_blok(b, 4, sp) == 4 ? 0 : -1;
}

int r_short(STREAM *sp)
{
    unsigned char b[2];
    if (sread_blok(b, 2, sp) != 2)
        return -1;
    return static_cast<std::int16_t>((b[0] << 8) | b[1]);
}

long r_long(STREAM *sp)
{
    unsigned char b[4];
    if (sread_blok(b, 4, sp) != 4)
        return -1;
    std::uint32_t v = (static_cast<std::uint32_t>(b[0]) << 24) |
                      (static_cast<std::uint32_t>(b[1]) << 16) |
                      (static_cast<std::uint32_t>(b[2]) << 8) | b[3];
    return static_cast<std::int32_t>(v);
}

int r_string(STREAM *sp, char *buf)
{
    if (buf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int n = 0;
    int c = -1;
    while ((c = sgetc(sp)) > 0)
        buf[n++] = static_cast<char>(c);
    buf[n] = '\0';
    return (c < 0 && n == 0) ? -1 : n;
}

int r_string_n(STREAM *sp, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        errno = EINVAL;
        return -1;
    }
    size_t n = 0;
    bool any = false;
    int c = -1;
    while ((c = sgetc(sp)) > 0) {
        any = true;
        if (n + 1 < size)
            buf[n++] = static_cast<char>(c);
    }
    buf[n] = '\0';
    return (c < 0 && !any) ? -1 : static_cast<int>(n);
}
