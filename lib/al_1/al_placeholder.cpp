/*
 * al_placeholder.cpp: stand-ins for the runtime services that the tool
 * already calls but whose full implementation comes with the runtime
 * layer: variables, the root directory, files under the root, the
 * development-tools version, streams, logging, resources and the
 * allocator. Each keeps the real name and signature and does the least
 * that is correct; the whole file goes when the runtime layer lands.
 *
 * Until then the development-tools version is taken from the environment
 * variable TDB_DT_VERSION (default "tt7.6_a", the release of these tools),
 * so that tests can choose compatibility mode.
 */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_res.h"
#include "al_stream.h"

/* ---- variables and the root ------------------------------------------- */

const char *getvar(const char *name)
{
    return std::getenv(name);
}

const char *get_tse(void)
{
    static std::string root;
    if (root.empty()) {
        const char *value = getvar("TSE");
        root = value != nullptr ? value : "/usr/tse";
        if (root.size() > 1 && root.back() == '/')
            root.pop_back();
    }
    return root.c_str();
}

STREAM *open_tse_file(const char *fmt, ...)
{
    char name[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(name, sizeof name, fmt, ap);
    va_end(ap);
    std::string path = std::string(get_tse()) + "/" + name;
    return sopen(path.c_str(), "rt");
}

/* ---- development-tools version ----------------------------------------- */

static bool dt_known = false;
static std::string dt_version;

void set_DT_version(const char *version)
{
    dt_version = version != nullptr ? version : "";
    dt_known = true;
}

const char *get_DT_version(void)
{
    if (!dt_known) {
        const char *value = std::getenv("TDB_DT_VERSION");
        set_DT_version(value != nullptr ? value : "tt7.6_a");
    }
    return dt_version.c_str();
}

/*
 * An empty text or "Install" passes every test, a text beginning with
 * "ttT50" none; otherwise the first 8 bytes, terminator included, are
 * compared with the threshold.
 */
static int dt_at_least(const char *threshold)
{
    const char *version = get_DT_version();
    if (version[0] == '\0' || std::strcmp(version, "Install") == 0)
        return 1;
    if (std::strncmp(version, "ttT50", 5) == 0)
        return 0;
    char padded[8] = {0};
    std::strncpy(padded, version, sizeof padded);
    return std::memcmp(padded, threshold, 8) >= 0 ? 1 : 0;
}

int is_GTEQ_Pellano(void) { return dt_at_least("tt7.1_a"); }
int is_GTEQ_Marlo(void) { return dt_at_least("tt7.3_a"); }
int is_GTEQ_Tessin(void) { return dt_at_least("tt7.6_a"); }

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

/* ---- logging ------------------------------------------------------------ */

static std::string progname = "UNKNOWN";

void log_set_progname(const char *prog, int /*dest*/)
{
    const char *slash = std::strrchr(prog, '/');
    progname = slash != nullptr ? slash + 1 : prog;
}

const char *log_get_progname(void)
{
    return progname.c_str();
}

/* Appends one line to ${TSE}/log/log.<program> when that file can be opened. */
int log_mesg(const char *file, int line, const char *component, int /*flags*/,
             const char *fmt, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::string path = std::string(get_tse()) + "/log/log." + progname;
    FILE *fp = std::fopen(path.c_str(), "a");
    if (fp == nullptr)
        return 0;
    std::fprintf(fp, "%s (%s:%d) %s: %s\n", progname.c_str(), file, line,
                 component, text);
    std::fclose(fp);
    return 0;
}

/* ---- resources ---------------------------------------------------------- */

/* Applies the defaults of the integer and string descriptors of extra. */
int al_load_specified_res(const char * /*file*/, struct resource *extra)
{
    int assigned = 0;
    for (struct resource *res = extra; res != nullptr && res->name != nullptr &&
                                       res->name[0] != '\0';
         ++res) {
        if (res->deflt == nullptr)
            continue;
        switch (res->flags & RES_TYPE_MASK) {
        case RES_INT:
        case RES_LONG:
            *static_cast<int *>(res->variable) =
                static_cast<int>(std::strtol(res->deflt, nullptr, 10));
            ++assigned;
            break;
        case RES_FIXSTR:
            std::snprintf(static_cast<char *>(res->variable), res->size, "%s",
                          res->deflt);
            ++assigned;
            break;
        default:
            break;
        }
    }
    return assigned;
}

/* ---- memory ------------------------------------------------------------- */

void *mal_allocater(size_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

void mal_free(void *ptr)
{
    std::free(ptr);
}

char *mal_strsave(const char *text)
{
    return strdup(text);
}
