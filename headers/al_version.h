/*
 * al_version.h: the version banner printer of the system's programs.
 * Implemented in lib/al_1.
 */
#ifndef AL_VERSION_H
#define AL_VERSION_H

#include <cstdio>

/*
 * Prints the version banner of program name to out: the product version
 * line and the build information lines; full adds the database-version
 * line. When the environment variable CONFIGSPEC is exactly "PRINT", a
 * header line and the build configuration lines follow.
 */
void al_print_version(FILE *out, const char *name, int full);

#endif
