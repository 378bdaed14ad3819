/*
 * hal_limits.cpp: operating-system limits of the process: the number of
 * open files is raised at start-up so that many streams and driver
 * channels can be open at once.
 */
#include <sys/resource.h>

#include "al_env_internal.h"

int set_max_files(void)
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur == limit.rlim_max)
        return 0;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : -1;
}
