/*
 * al_placeholder.cpp: stand-in for the runtime allocator (malloc and free
 * underneath) with the real names and signatures, until the allocator
 * replaces it.
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
