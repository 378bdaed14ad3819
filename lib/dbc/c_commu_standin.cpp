/*
 * c_commu_standin.cpp: STAND-IN for the company-number module's writer of
 * the map body (request 13) and its environment text, until that module
 * lands; it sends the empty map of a process without a mapping file.
 */
#include "al_stream.h"
#include "compnr.h"

/* The empty environment name and no mapping groups. */
int compnrWriteMap(STREAM *sp)
{
    if (sp == nullptr)
        return -1;
    if (sputc(0, sp) == -1)
        return -1;
    return w_long(sp, 0);
}

const char *compnrGetEnv(void)
{
    return "";
}
