/*
 * tdb_placeholder.cpp: the test seam of the run loop's table procedures,
 * and stand-ins for the table procedures not built yet: reorganizeTable
 * (succeeds without touching anything), and the export and conversion
 * steps of alterTable (alterTableNotAtomic, alterTableConvertRows), which
 * fail the step with tdb_errno 215 and leave the table untouched. The
 * stand-ins go when the dump-and-convert procedures land.
 */
#include "tdb_placeholder.h"

#include "al_log.h"
#include "tdb_api.h"
#include "tdb_output.h"
#include "tdb_reconfig.h"

static TableProcedureHook procedure_hook = nullptr;

void tdb_placeholder_set_hook(TableProcedureHook hook)
{
    procedure_hook = hook;
}

TableProcedureHook tdb_placeholder_hook(void)
{
    return procedure_hook;
}

int reorganizeTable(const char * /*table*/, int /*compnr*/, int /*ignoreDomain*/,
                    int /*recover*/)
{
    return 0;
}

/* The failure of a path that is not built yet: message printed and
 * logged under "Alter Table", tdb_errno 215. */
static int notAvailable(const char *path)
{
    tdb_errno = 215;
    setMessage(MSG_PATH_NOT_AVAILABLE, path, tdb_errno);
    tdb_mess(32, 0, "%s", getMessage());
    log_mesg("tdb_tools/tdb_placeholder.cpp", __LINE__, "Alter Table", 0, "%s",
             getMessage());
    return -1;
}

int alterTableNotAtomic(tdb_handle * /*handle*/, const char * /*table*/,
                        int /*compnr*/, int /*ignoreDomain*/)
{
    return notAvailable("export");
}

int alterTableConvertRows(tdb_handle * /*handle*/, const char * /*table*/,
                          int /*compnr*/, int /*ignoreDomain*/, int /*recover*/)
{
    return notAvailable("export/import");
}
