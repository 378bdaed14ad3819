/*
 * al_env_internal.h: helpers shared by the environment, user and resource
 * sources of lib/al_1 (al_env.cpp, al_user.cpp, al_res.cpp, al_msg.cpp).
 * Not part of the public interface.
 */
#ifndef AL_ENV_INTERNAL_H
#define AL_ENV_INTERNAL_H

#include "al_res.h"
#include "al_stream.h"

/*
 * Reads resource settings from an open stream (the resource file syntax);
 * fname names the file in messages. With allow_undefined set, names no
 * table declares become undefined resources. Returns the number of
 * settings assigned.
 */
int al_load_res_stream(STREAM *sp, const char *fname, int allow_undefined);

/* True when resource tracing (debug_level bit 0x800) is on. */
bool al_res_tracing();

/* The package combination in force: PACKAGE_COMB when not empty, else the
 * user record's pacc; "" when none. */
const char *al_package_comb_in_force();

/* Puts "name=value" into the environment (allocated, never freed); 0 or
 * -1. */
int al_put_env(const char *name, const char *value);

/*
 * Services of layers that are not built yet; stand-ins live in
 * al_placeholder.cpp until those layers arrive.
 */
/* Emergency handling: installs the signal handlers of the process. */
void al_install_emergency_handlers(void);
/* Operating-system helpers (hal_limits.cpp): raises the limit of open
 * files to the hard limit; 0 or -1. */
int set_max_files(void);

#endif
