/*
 * tdb_load_main.cpp: the program entry of tdbload; the loader itself lives
 * in tdb_load.cpp so that tests can link it.
 */
#include "tdb_load.h"

int main(int argc, char **argv)
{
    return tdbload_main(argc, argv);
}
