/*
 * al_version.cpp: the version banner that the system's programs print for
 * -v/-V, and al_release_text (the release text of get_release).
 *
 * Banner layout (our own):
 *   <name> version 6.2.0 (release 6.2)
 *   Build: <configuration>, <compiler>, <system>
 *   Database interface: tdb 6.2 (drivers: sqlite, postgres)   [full only]
 * With CONFIGSPEC=PRINT:
 *   <the build configuration header line>
 *     build type <configuration>
 *     compiler <compiler>
 *     system <system>
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "al_env.h"
#include "al_version.h"

#ifndef TDB_BUILD_CONFIG
#define TDB_BUILD_CONFIG "unknown"
#endif
#ifndef TDB_COMPILER
#define TDB_COMPILER "unknown"
#endif
#ifndef TDB_SYSTEM
#define TDB_SYSTEM "unknown"
#endif

static const char kProductVersion[] = "6.2.0";

const char *al_release_text(void)
{
    return get_release();
}

void al_print_version(FILE *out, const char *name, int full)
{
    std::fprintf(out, "%s version %s (release %s)\n", name, kProductVersion,
                 al_release_text());
    std::fprintf(out, "Build: %s, %s, %s\n", TDB_BUILD_CONFIG, TDB_COMPILER,
                 TDB_SYSTEM);
    if (full)
        std::fprintf(out,
                     "Database interface: tdb %s (drivers: sqlite, postgres)\n",
                     al_release_text());
    const char *request = std::getenv("CONFIGSPEC");
    if (request != nullptr && std::strcmp(request, "PRINT") == 0) {
        std::fprintf(out, "Config spec: \n");
        std::fprintf(out, "  build type %s\n", TDB_BUILD_CONFIG);
        std::fprintf(out, "  compiler %s\n", TDB_COMPILER);
        std::fprintf(out, "  system %s\n", TDB_SYSTEM);
    }
    std::fflush(out);
}
