/*
 * stream_placeholder.cpp: stand-in streams over stdio with the real names
 * and signatures, until the stream layer replaces them.
 */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "al_env.h"
#include "al_float.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_res.h"
#include "al_stream.h"
#include "al_user.h"

/* ---- streams over stdio ------------------------------------------------- */

struct STREAM {
    FILE *fp;
};

/* Replaces every ${NAME} by its value; false for an undefined variable. */
static bool expand_fname(const char *name, std::string &out)
{
    out.clear();
    for (const char *p = name; *p != '\0';) {
        if (p[0] == '$' && p[1] == '{') {
            const char *end = std::strchr(p + 2, '}');
            if (end == nullptr)
                return false;
            std::string var(p + 2, end);
            const char *value = var == "TSE" ? get_tse() : getvar(var.c_str());
            if (value == nullptr)
                return false;
            out += value;
            p = end + 1;
        } else {
            out += *p++;
        }
    }
    return true;
}

/* Maps a stream mode to a stdio mode; null for an unknown mode. */
static const char *stdio_mode(const char *mode)
{
    std::string m;
    for (const char *p = mode; *p != '\0'; ++p)
        if (*p != 'b' && *p != 't')
            m += *p;
    if (m == "r") return "r";
    if (m == "w") return "w";
    if (m == "x") return "wx";
    if (m == "a") return "a";
    if (m == "r+") return "r+";
    if (m == "w+") return "w+";
    if (m == "x+") return "w+x";
    if (m == "a+") return "a+";
    return nullptr;
}

STREAM *sopen(const char *name, const char *mode)
{
    std::string path;
    if (!expand_fname(name, path)) {
        errno = EINVAL;
        return nullptr;
    }
    const char *smode = stdio_mode(mode);
    if (smode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    FILE *fp = std::fopen(path.c_str(), smode);
    if (fp == nullptr)
        return nullptr;
    auto *sp = static_cast<STREAM *>(std::malloc(sizeof(STREAM)));
    if (sp == nullptr) {
        std::fclose(fp);
        errno = ENOMEM;
        return nullptr;
    }
    sp->fp = fp;
    return sp;
}

int sclose(STREAM *sp)
{
    if (sp == nullptr)
        return -1;
    int rc = std::fclose(sp->fp) == 0 ? 0 : -1;
    std::free(sp);
    return rc;
}

char *sgets(char *buf, int size, STREAM *sp)
{
    if (sp == nullptr || size < 1)
        return nullptr;
    int n = 0;
    int c = EOF;
    while (n < size - 1 && (c = std::getc(sp->fp)) != EOF) {
        if (c == '\n')
            break;
        buf[n++] = static_cast<char>(c);
    }
    if (n == 0 && c == EOF)
        return nullptr;
    if (c == '\n' && n > 0 && buf[n - 1] == '\r')
        --n;
    buf[n] = '\0';
    return buf;
}

int sputs(const char *text, STREAM *sp)
{
    return std::fputs(text, sp->fp) < 0 ? -1 : 0;
}

int stream_printf(STREAM *sp, const char *fmt, ...)
{
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    int len = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (len < 0)
        return -1;
    if (len >= static_cast<int>(sizeof text))
        len = sizeof text - 1;
    return swrite_blok(text, len, sp);
}

int swrite_blok(const void *buf, int length, STREAM *sp)
{
    if (length == 0)
        return 0;
    return std::fwrite(buf, 1, length, sp->fp) == static_cast<size_t>(length)
               ? length
               : -1;
}

int sread_blok(void *buf, int length, STREAM *sp)
{
    size_t n = std::fread(buf, 1, length, sp->fp);
    if (n == 0 && std::ferror(sp->fp))
        return -1;
    return static_cast<int>(n);
}

int sflush(STREAM *sp)
{
    return std::fflush(sp->fp) == 0 ? 0 : -1;
}

int stream_access(const char *name, int mode)
{
    std::string path;
    if (!expand_fname(name, path)) {
        errno = EINVAL;
        return -1;
    }
    return access(path.c_str(), mode);
}

int stream_unlink(const char *name)
{
    std::string path;
    if (!expand_fname(name, path)) {
        errno = EINVAL;
        return -1;
    }
    return unlink(path.c_str());
}


STREAM *sdopen(int fd, const char *mode)
{
    const char *smode = stdio_mode(mode);
    if (smode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    FILE *fp = fdopen(dup(fd), smode);
    if (fp == nullptr)
        return nullptr;
    auto *sp = static_cast<STREAM *>(std::malloc(sizeof(STREAM)));
    sp->fp = fp;
    return sp;
}

long sseek(STREAM *sp, long offset, int whence)
{
    if (std::fseek(sp->fp, offset, whence) != 0)
        return -1;
    return std::ftell(sp->fp);
}

int seof(STREAM *sp)
{
    return std::feof(sp->fp);
}
