/*
 * float_placeholder.cpp: stand-in number parser, until the floating-point
 * module replaces it.
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

double trel_atof(const char *text)
{
    return std::strtod(text, nullptr);
}
