/*
 * dict_fuzz_env.h: common ground of the dictionary fuzz targets: the
 * software environment (a private root of its own), a
 * numbered allocator group that receives every dictionary record of one
 * input and is emptied after it, and the reset of the caches between
 * inputs.
 */
#ifndef DICT_FUZZ_ENV_H
#define DICT_FUZZ_ENV_H

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "qpd_dd.h"
#include "qpd_internal.h"
#include "qpd_rdic.h"
#include "yy_expr.h"

namespace dictfuzz {

/* The allocator group of the records of one input. */
inline long &group_id()
{
    static long id = 0;
    return id;
}

inline void *group_alloc(size_t size)
{
    return mal_allocater(size, MAL_ID | MAL_HEADER | MAL_ZERO, group_id());
}

/* Range expressions compiled into the same group, so that they go with it. */
inline void *compile_range(const char *text, int *error)
{
    char *handle = yy_expr_compile(text, group_alloc);
    if (handle == nullptr || expr_err != 0) {
        *error = expr_err != 0 ? expr_err : -1;
        return nullptr;
    }
    *error = 0;
    return handle;
}

inline void quiet(const char *) {}

inline void write_file(const std::string &path, const char *data, size_t size)
{
    /* Directories one by one (the root exists). */
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        __builtin_trap();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        __builtin_trap();
    std::fclose(f);
}

inline void write_file(const std::string &path, const std::string &text)
{
    write_file(path, text.data(), text.size());
}

/* The directory of a scratch package ("qz" or "qy") under the root; the
 * package combination in force must map "<pk> appl/<pk>6.2". */
inline std::string package_dir(const char *package)
{
    return std::string(get_tse()) + "/appl/" + package + "6.2/d6.2";
}

/*
 * Prepares the process once: the root DICT_FUZZ_ROOT (an existing
 * directory; without it a new one under /tmp) with the package combination
 * "fuzz" mapping the scratch packages "qz" and "qy";
 * every record from the input's group; messages to a silent hook (they are
 * still formatted); the built-in domains made before the group is used.
 */
inline void prepare()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    std::string root;
    if (const char *given = std::getenv("DICT_FUZZ_ROOT")) {
        root = given;
    } else {
        char tmpl[] = "/tmp/dict_fuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            __builtin_trap();
        root = tmpl;
    }
    setenv("TSE", root.c_str(), 1);
    set_tse(root.c_str());
    setenv("PACKAGE_COMB", "fuzz", 1);
    setenv("USER", "fuzzer", 1);
    write_file(root + "/log/.keep", "");
    /* DICT_FUZZ_DEMO: the demo dictionary directory as package "db", so
     * that the seeds made from its table files find their domains. */
    const char *demo = std::getenv("DICT_FUZZ_DEMO");
    write_file(root + "/lib/fd6.2.fuzz", std::string("qz appl/qz6.2\nqy appl/qy6.2\n") +
                                             (demo != nullptr ? std::string("db ") + demo + "\n" : ""));
    log_set_dest(LOG_HOOK);
    log_set_log_hook(quiet);
    yy_set_message_func(quiet);
    init_local_dd();
    qpd::builtin_dlock();
    qpd::builtin_compnr();
    group_id() = mal_reserve_id(0, 0);
    if (group_id() <= 0)
        __builtin_trap();
}

/* Starts an input: the local dictionary with the group allocator and the
 * range compiler, the current dictionary selected. */
inline void begin()
{
    init_local_dd();
    dd_info.alloc = group_alloc;
    qpd_set_range_compiler(compile_range);
    init_dd_mode(1);
    qpd_clear_errno();
}

/* Ends an input: nothing of it stays in the caches, its records go. */
inline void end()
{
    qpd::reset_caches();
    qpd::reset_server_lists();
    init_dd_mode(1);
    qpd_set_range_compiler(nullptr);
    init_local_dd();
    mal_reset_id(group_id());
}

} // namespace dictfuzz

#endif
