/*
 * res_placeholder.cpp: stand-in resource loading (defaults of the extra
 * table only), until the resource module replaces it.
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

