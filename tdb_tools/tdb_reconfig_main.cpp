/*
 * tdb_reconfig_main.cpp: the program entry of tdbreconfig; the tool itself
 * lives in tdb_reconfig.cpp so that tests can link it.
 */
#include "tdb_reconfig.h"

int main(int argc, char **argv)
{
    return tdbreconfig_main(argc, argv);
}
