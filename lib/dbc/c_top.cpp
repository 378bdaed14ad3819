/*
 * c_top.cpp: the API's error state. tdb_errno holds the last error of the
 * tdb API (0 for none); reporting code saves and restores it around
 * clean-up calls so that the first error survives.
 */
#include "tdb_api.h"

int tdb_errno = 0;

int tdb_get_tdb_errno(void)
{
    return tdb_errno;
}

void tdb_error(int code)
{
    tdb_errno = code;
}
