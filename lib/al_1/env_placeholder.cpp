/*
 * env_placeholder.cpp: stand-ins for the environment services (variables,
 * the root, files under the root, the development-tools version, the
 * process and its user) with their real names and signatures, until the
 * environment module replaces them. The development-tools version comes
 * from TDB_DT_VERSION (default "tt7.6_a") meanwhile.
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

/* ---- variables and the root ------------------------------------------- */

const char *getvar(const char *name)
{
    return std::getenv(name);
}

const char *get_tse(void)
{
    static std::string root;
    if (root.empty()) {
        const char *value = getvar("TSE");
        root = value != nullptr ? value : "/usr/tse";
        if (root.size() > 1 && root.back() == '/')
            root.pop_back();
    }
    return root.c_str();
}

STREAM *open_tse_file(const char *fmt, ...)
{
    char name[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(name, sizeof name, fmt, ap);
    va_end(ap);
    std::string path = std::string(get_tse()) + "/" + name;
    return sopen(path.c_str(), "rt");
}

/* ---- development-tools version ----------------------------------------- */

static bool dt_known = false;
static std::string dt_version;

void set_DT_version(const char *version)
{
    dt_version = version != nullptr ? version : "";
    dt_known = true;
}

const char *get_DT_version(void)
{
    if (!dt_known) {
        const char *value = std::getenv("TDB_DT_VERSION");
        set_DT_version(value != nullptr ? value : "tt7.6_a");
    }
    return dt_version.c_str();
}

/*
 * An empty text or "Install" passes every test, a text beginning with
 * "ttT50" none; otherwise the first 8 bytes, terminator included, are
 * compared with the threshold.
 */
static int dt_at_least(const char *threshold)
{
    const char *version = get_DT_version();
    if (version[0] == '\0' || std::strcmp(version, "Install") == 0)
        return 1;
    if (std::strncmp(version, "ttT50", 5) == 0)
        return 0;
    char padded[8] = {0};
    std::strncpy(padded, version, sizeof padded);
    return std::memcmp(padded, threshold, 8) >= 0 ? 1 : 0;
}

int is_GTEQ_Pellano(void) { return dt_at_least("tt7.1_a"); }
int is_GTEQ_Marlo(void) { return dt_at_least("tt7.3_a"); }
int is_GTEQ_Tessin(void) { return dt_at_least("tt7.6_a"); }


/* ---- process and user --------------------------------------------------- */

struct user_info user_info = [] {
    struct user_info u {};
    u.usertype = 'S';
    u.language = '2';
    u.log_size = 512;
    u.use_extra_logging = 1;
    return u;
}();

const char *get_tse_tmp(void)
{
    return "/tmp";
}

int al_explode_logical_name(const char *, const char *, const char *, int,
                            char *, unsigned long)
{
    return -1;
}

void BaseInit(const char *) {}

int initUsernames(int)
{
    return 1;
}

const char *get_trel_user(void)
{
    const char *user = std::getenv("USER");
    return user != nullptr ? user : "";
}

int init_user(void)
{
    return 0;
}
