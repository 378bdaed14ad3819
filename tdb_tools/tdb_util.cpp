/*
 * tdb_util.cpp: the driver choice of the tool.
 */
#include "tdb_util.h"

#include <cctype>
#include <cstring>

#include "qpd_dd.h"
#include "tdb_output.h"

const char *driver_name_of_letter(char letter)
{
    switch (std::toupper(static_cast<unsigned char>(letter))) {
    case 'D': return "db2";
    case 'I': return "informix";
    case 'M': return "msql";
    case 'N': return "nssql";
    case 'O': return "oracle8";
    case 'S': return "sybase";
    default: return nullptr;
    }
}

int init_driver(const char *driverType)
{
    if (driverType == nullptr)
        return 0;
    const char *name = driverType;
    if (std::strlen(driverType) <= 1) {
        name = driverType[0] != '\0' ? driver_name_of_letter(driverType[0])
                                     : nullptr;
        if (name == nullptr) {
            std_err("Illegal driver type defined ('%s')\n", driverType);
            return -1;
        }
    }
    return specify_server(name);
}
