/*
 * log_placeholder.cpp: stand-in logging (one line per message appended to
 * ${TSE}/log/log.<program>), until the logging module replaces it.
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

