/*
 * al_env.h: the environment of a process inside the software environment:
 * variables, the root directory, files under the root and the release of
 * the development tools. Implemented in lib/al_1.
 */
#ifndef AL_ENV_H
#define AL_ENV_H

#include "al_stream.h"

/* The release number of this system: 62, written "6.2" in file names. */
#define AL_RELEASE_NUMBER 62

/*
 * Value of an environment variable: the process environment first, then
 * the variables of the tse_vars files. Null when undefined. The returned
 * text must not be freed.
 */
const char *getvar(const char *name);

/* The root directory (TSE, default "/usr/tse", without a trailing "/"). */
const char *get_tse(void);

/* The temporary directory (TSE_TMP, else ${TSE}/tmp, else /usr/tmp). */
const char *get_tse_tmp(void);

/*
 * Resolves a logical object name (type such as "F_OBJ" or "F_BRDD", and a
 * name) into a path through a package combination (null: the combination
 * in force) for a company (-1: the user's). Returns 0 with the path in
 * path (size bytes), or -1 when it cannot be resolved.
 */
int al_explode_logical_name(const char *type, const char *name,
                            const char *package_comb /* null: the combination in force */,
                            int compnr /* -1: the user's */, char *path,
                            unsigned long size);

/* Start-up of the process: program name, process set. Once per process. */
void BaseInit(const char *argv0);

/* The program name set by BaseInit ("" before). */
const char *BasePrognameGet(void);
/* The process set of the process (set by BaseInit). */
const char *BaseProcessSetGet(void);
/* The user's terminal name ("" when unknown). */
const char *get_tty_name(void);

/* Determines the OS and the Trel user; 1 when both are known. */
int initUsernames(int report);

/* The Trel user of the process ("" when unknown). */
const char *get_trel_user(void);

/* User initialisation for the tdb API and tools: status 0-4. */
int init_user(void);

/* The release text, "%1d.%1d" of AL_RELEASE_NUMBER ("6.2"). */
const char *al_release_text(void);

/*
 * Opens a file under the root for reading in text mode. The name is
 * formatted from fmt and the arguments, relative to ${TSE}. Returns the
 * stream, or null with errno set.
 */
STREAM *open_tse_file(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

/*
 * Development-tools release tests: 1 when the installed development tools
 * are at least of that release ("tt7.1_a", "tt7.3_a", "tt7.6_a"), else 0.
 * The version is determined on first use; when it cannot be determined
 * every test is 0.
 */
int is_GTEQ_Pellano(void);
int is_GTEQ_Marlo(void);
int is_GTEQ_Tessin(void);

/* Imposes a development-tools version text; the tests follow it. */
void set_DT_version(const char *version);
/* The version text in force, determining it first if needed; "" if none. */
const char *get_DT_version(void);

#endif
