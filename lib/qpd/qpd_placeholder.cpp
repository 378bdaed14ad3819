/*
 * qpd_placeholder.cpp: stand-in for the driver specification of tables,
 * which the tool already calls with -d. It remembers the one server list
 * imposed on the process; the dictionary files take over when they land.
 */
#include <string>

#include "al_log.h"
#include "qpd_dd.h"

static std::string imposed_server;

int specify_server(const char *spec)
{
    if (!imposed_server.empty()) {
        log_mesg(__FILE__, __LINE__, "specify_server", 0,
                 "Can't redefine server ('%s' ignored)", spec);
        return 0;
    }
    imposed_server = spec;
    return 0;
}
