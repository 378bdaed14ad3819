/*
 * al_shlib.h: the runtime layer's shared-library loader: finds a library
 * by its logical name along the library search path and opens it with the
 * dynamic loader. Implemented in lib/al_1/al_shlib.cpp.
 */
#ifndef AL_SHLIB_H
#define AL_SHLIB_H

#include <cstddef>

/*
 * The directories searched, in this order (empty entries skipped, each
 * directory once): extra_dir when not null or empty; every directory of
 * TSE_LIB_PATH, of TSE_SHLIB and of LD_LIBRARY_PATH (colon-separated
 * lists); "/usr/lib"; the system library directories of the platform
 * (for example /usr/lib/x86_64-linux-gnu and /lib/x86_64-linux-gnu);
 * the directory of the running program. Writes the list, separated by
 * colons, into buf (size bytes, always terminated when size > 0).
 * Returns the length of the full list (like snprintf).
 */
int al_shlib_search_path(const char *extra_dir, char *buf, size_t size);

/*
 * Finds file_name (a plain file name such as "libTssConvert.so") in the
 * directories of al_shlib_search_path. Returns 0 with the full path in
 * path (size bytes), or -1 when no directory holds a readable file of
 * that name (errno ENOENT) or the path does not fit (errno ENAMETOOLONG).
 */
int al_shlib_find(const char *file_name, const char *extra_dir, char *path,
                  size_t size);

/*
 * Opens the shared library with the logical name name ("TssConvert" is
 * the file "libTssConvert.so") found along the search path; a name that
 * holds a "/" is opened as it is. The library is opened with RTLD_NOW |
 * RTLD_GLOBAL. Returns the loader's handle (release with
 * al_shlib_close), or null when the library cannot be found or opened;
 * al_shlib_error then tells why.
 */
void *al_shlib_load(const char *name, const char *extra_dir);

/* As al_shlib_load for a complete file name ("libx.so", "libx.a"). */
void *al_shlib_load_file(const char *file_name, const char *extra_dir);

/* The address of symbol in the library, or null (al_shlib_error says why). */
void *al_shlib_symbol(void *handle, const char *symbol);

/* Releases a handle of al_shlib_load: 0, or -1 (al_shlib_error says why). */
int al_shlib_close(void *handle);

/*
 * The reason of the last failure of this loader in this process ("" when
 * none). The text stays valid until the next loader call.
 */
const char *al_shlib_error(void);

#endif
