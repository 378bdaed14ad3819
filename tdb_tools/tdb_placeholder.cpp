/*
 * tdb_placeholder.cpp: stand-ins for the per-table procedures (check,
 * alter, reorganize) that the run loop calls. Until the procedures are
 * built on real tables every table needs no reconfiguration: the check
 * says so and alter and reorganize succeed without touching anything.
 * Tests can replace the answer through tdb_placeholder_set_hook. The file
 * goes when the table reconfiguration procedure lands.
 */
#include "tdb_placeholder.h"

#include "tdb_output.h"
#include "tdb_reconfig.h"

static TableProcedureHook procedure_hook = nullptr;

void tdb_placeholder_set_hook(TableProcedureHook hook)
{
    procedure_hook = hook;
}

int checkAlterTable(const char *table, int compnr, int /*ignoreDomain*/,
                    int *alterKind)
{
    *alterKind = ALTER_NONE;
    if (procedure_hook != nullptr)
        return procedure_hook(RUN_CHECK, table, compnr, alterKind);
    setMessage("No reconfiguration is required");
    tdb_mess(32, 0, "%s", getMessage());
    return 0;
}

int alterTable(const char *table, int compnr, int /*ignoreDomain*/,
               int /*recover*/)
{
    if (procedure_hook != nullptr) {
        int kind = ALTER_NONE;
        return procedure_hook(RUN_RECONFIGURE, table, compnr, &kind);
    }
    return 0;
}

int reorganizeTable(const char *table, int compnr, int /*ignoreDomain*/,
                    int /*recover*/)
{
    if (procedure_hook != nullptr) {
        int kind = ALTER_NONE;
        return procedure_hook(RUN_REORGANIZE, table, compnr, &kind);
    }
    return 0;
}
