/*
 * tdb_util.cpp: the driver choice of the tool, and UTC times read from
 * their "hhmmssDDMMYYYY" text form.
 */
#include "tdb_util.h"

#include <cctype>
#include <cstring>

#include "al_date.h"
#include "al_log.h"
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

int32_t str_to_utctime(const char *text)
{
    /* The characters as numbers, blanks for those beyond a short text. */
    int c[14];
    bool ended = text == nullptr;
    for (int i = 0; i < 14; i++) {
        if (!ended && text[i] == '\0')
            ended = true;
        c[i] = (ended ? ' ' : static_cast<unsigned char>(text[i])) - '0';
    }
    int hour = c[0] * 10 + c[1];
    int minute = c[2] * 10 + c[3];
    int second = c[4] * 10 + c[5];
    int day = c[6] * 10 + c[7];
    int month = c[8] * 10 + c[9];
    int year = c[10] * 1000 + c[11] * 100 + c[12] * 10 + c[13];
    int32_t utc = 0;
    if (text == nullptr ||
        al_pack_utc(year, month, day, hour, minute, second, &utc) != 0) {
        log_mesg("tdb_tools/tdb_util.cpp", __LINE__, "UTC Conversion", 0,
                 "UTC Conversion Error");
        return -1;
    }
    return utc;
}
