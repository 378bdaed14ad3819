/*
 * al_placeholder.cpp: stand-ins with the real names and signatures for the
 * runtime allocator (malloc and free underneath), the time-zone layer,
 * emergency handlers, the open-files limit and permanent log enabling,
 * until the modules that own them replace them.
 */
#include <fcntl.h>
#include <sys/resource.h>
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
#include "al_env_internal.h"

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

/* ---- time zones (stand-in until the time-zone layer exists) ------------- */

int al_set_timezone(const char * /*zone*/)
{
    return 0;
}

/* ---- emergency handlers (stand-in until emergency handling exists) ------- */

void al_install_emergency_handlers(void) {}

/* ---- operating-system helpers (stand-in until lib/hal exists) ------------ */

/* Raises the soft limit of open files to the hard limit. */
int set_max_files(void)
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur == limit.rlim_max)
        return 0;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : -1;
}

/* ---- logging: permanent enabling (stand-in until the logging module
 * provides it) --------------------------------------------------------------- */

void al_log_enable_all(void) {}
