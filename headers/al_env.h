/*
 * al_env.h: the environment of a process inside the software environment:
 * variables and the tse_vars files, the root and temporary directories,
 * files under the root, the host, the program and its process set, logical
 * object names and the release of the development tools. Implemented in
 * lib/al_1.
 */
#ifndef AL_ENV_H
#define AL_ENV_H

#include <cstdarg>

#include "al_stream.h"

/* The release number of this system: 62, written "6.2" in file names. */
#define AL_RELEASE_NUMBER 62

/* Longest program name and program path kept by BaseInit. */
#define AL_PROGNAME_MAX 1023

/* ---- variables ------------------------------------------------------------ */

/*
 * Value of a variable: the process environment first, then the variables
 * of the tse_vars files (read on the first miss). Null when undefined.
 * The returned text must not be freed.
 */
const char *getvar(const char *name);

/* Value from the tse_vars variables only (without reading them), or null. */
const char *VarlistGet(const char *name);

/*
 * Reads the tse_vars files once per process: "tse_vars" in the current
 * directory, "<root>/lib/tse_vars" (root null: get_tse()), then
 * "/usr/tse/tse_vars". An earlier definition and the environment win.
 */
void read_tse_vars(const char *root);

/* read_tse_vars, then puts every variable that the environment does not
 * hold yet into the environment. */
void read_and_put_tse_vars_to_system_env(const char *root);

/*
 * Sets name=value in the environment (the text is allocated and never
 * freed). With overwrite 0 an existing variable is kept and 0 returned.
 * Returns putenv's result, or -1 when memory runs out.
 */
int trel_setenv(const char *name, const char *value, int overwrite);

/* Removes the first environment entry of that name; 0, or -1 when there
 * is none. */
int trel_unsetenv(const char *name);

/* putenv(text): the text becomes part of the environment. */
int trel_putenv(char *text);

/* ---- root, temporary directory, release ----------------------------------- */

/* The root directory (TSE by getvar, default "/usr/tse", one trailing "/"
 * removed unless it is just "/"). Cached; never null. */
const char *get_tse(void);
/* As get_tse; with as_argument set, the separately cached lookup used when
 * the root is passed on as an argument. */
const char *get_tse_ex(int as_argument);
/* Replaces the cached root when path is not empty. */
void set_tse(const char *path);

/*
 * The temporary directory: TSE_TMP when readable and writable, else
 * ${TSE}/tmp when readable and writable, else "/usr/tmp" (each refusal
 * logged, component "try_tse_tmp"). Cached; never null.
 */
const char *get_tse_tmp(void);
const char *get_tse_tmp_ex(int as_argument);
/* Replaces the cached temporary directory when path is not empty. */
void set_tse_tmp(const char *path);

/* The release text "%1d.%1d" of the release number ("6.2" for 62). The
 * text stays valid; set_release rewrites it. */
const char *get_release(void);
/* Sets the release number (default AL_RELEASE_NUMBER). */
void set_release(int number);
/* The release text, the same as get_release(). */
const char *al_release_text(void);

/*
 * Finds a program of the system: "${TSE_BIN}/<name><release>", else
 * "${TSE}/bin/<name><release>". Returns 1 when a file exists, 0 otherwise;
 * out (size bytes) receives the path tried last.
 */
int expand_trel_prog(const char *name, char *out, unsigned long size);

/* ---- files under the root ------------------------------------------------- */

/* Flag of open_tse_file_ext2/v_open_tse_file: no remote alternative. */
#define TSE_FILE_LOCAL_ONLY 0x1

/*
 * Writes the path list of a name under the root into out (size bytes):
 * for each ";"-separated alternative "${TSE}/<alt>" and, unless flags has
 * TSE_FILE_LOCAL_ONLY, "${TSE_REM}!${TSE}/<alt>", all joined by ";".
 * Returns the length, or -1 when out is too small.
 */
int al_tse_file_list(const char *name, int flags, char *out, unsigned long size);

/*
 * Opens a file under the root: the name is formatted from fmt and the
 * arguments and may hold ";"-separated alternatives; the entries of its
 * path list are tried in order. Returns the stream, or null with errno
 * set. open_tse_file reads in text mode ("rt").
 */
STREAM *open_tse_file(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));
STREAM *open_tse_file_ext(const char *name, const char *mode);
STREAM *open_tse_file_ext2(const char *name, const char *mode, int flags);
STREAM *v_open_tse_file(const char *fmt, const char *mode, int flags,
                        va_list ap) __attribute__((format(printf, 1, 0)));

/* ---- host ----------------------------------------------------------------- */

/* Host name: TSE_HOSTNAME, else the resource hostname, else gethostname,
 * else the node name of uname, else "". */
const char *getsyshostname(void);
/* The operating system's name, release and version ("" when unknown). */
const char *getsyshostsysname(void);
const char *getsyshostrelease(void);
const char *getsyshostversion(void);

/* ---- program and process set ---------------------------------------------- */

/*
 * Start-up of the process, once: emergency handlers (unless CORE is
 * defined), the open-files limit, and from argv0 (may be null) the process
 * set, the program name and the full path.
 */
void BaseInit(const char *argv0);
/* The program name set by BaseInit, "" before. */
const char *BasePrognameGet(void);
/* Sets the process set from text (see lib/al_1/README.md); null gives the
 * default "<os user>@<host>:<pid>". */
void BaseProcessSetSet(const char *text);
/* The process set (the default one when none was set). */
const char *BaseProcessSetGet(void);
/* The program's full path (at most AL_PROGNAME_MAX characters kept). */
void set_program_fullpath(const char *path);
const char *get_program_fullpath(void);

/* Pointer into path: the text after the first "!", then after the last
 * "/" of that. */
const char *al_basename(const char *path);

/*
 * Puts the variables for a child program into the environment: TRELHOME
 * (by getvar) and LD_LIBRARY_PATH with path added (in front with bit 1 of
 * flags, else behind, unless already contained). Returns 0.
 */
int setSystemVars(const char *path);
int setSystemVarsEx(const char *path, int flags);

/* ---- logical object names ------------------------------------------------- */

/*
 * Resolves a logical object name into a path (see lib/al_1/README.md):
 * type "F_OBJ", "F_BRDD", "F_AUD" or "F_MSG"; the package is the name's
 * 2nd and 3rd characters; its directory comes from the package-combination
 * file "lib/fd<release>.<combination>" under the root. package_comb null
 * means the combination in force (PACKAGE_COMB, else the user's pacc);
 * compnr -1 means the user's company (not used by these types). Returns 0
 * with the path in path (size bytes), or -1 with errno set (EINVAL for a
 * bad type or name, ENOENT for no combination, file or package,
 * ENAMETOOLONG when path is too small).
 */
int al_explode_logical_name(const char *type, const char *name,
                            const char *package_comb, int compnr, char *path,
                            unsigned long size);

/* ---- user ----------------------------------------------------------------- */

/* Determines the OS and the Trel user; 1 when both are known. */
int initUsernames(int report);

/* The Trel user of the process ("" when unknown). */
const char *get_trel_user(void);

/* User initialisation for the tdb API and tools: status 0-4. */
int init_user(void);

/* ---- development tools ---------------------------------------------------- */

/*
 * Development-tools release tests: 1 when the installed development tools
 * are at least of that release ("tt7.1_a", "tt7.3_a", "tt7.6_a"), else 0.
 * The version is determined on first use; when it cannot be determined
 * every test is 0.
 */
int is_GTEQ_Pellano(void);
int is_GTEQ_Marlo(void);
int is_GTEQ_Tessin(void);

/*
 * Sets the version text and the tests from it: an empty text or "Install"
 * passes every test, a text beginning with "ttT50" none; otherwise the
 * first 8 bytes (terminator included) are compared with the thresholds.
 */
void _determine_DT_version(const char *version);

/* Imposes a development-tools version text; the tests follow it. */
void set_DT_version(const char *version);
/* The version text in force, determining it first if needed; "" if none. */
const char *get_DT_version(void);
/*
 * Determines the version: "Install" for the combination "Install", else
 * the tools directory of the object F_OBJ:ottiex1287. Returns 0, or -1
 * (logged) when it cannot be determined; then every test is 0.
 */
int determine_DT_version(void);

#endif
