/*
 * c_top.cpp: the API's error state. tdb_errno holds the last error of the
 * tdb API (0 for none); reporting code saves and restores it around
 * clean-up calls so that the first error survives. The error table
 * tdberrors and tdberrorstr give the texts of the codes.
 */
#include <cstdio>

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

/* The codes and texts, in their historical order; the range markers
 * (E_TDB_REFERENCE_START ... E_TDB_FATAL_END) are entries of their own and
 * come before the first real entry of their code. */
const struct tdb_error_entry tdberrors[] = {
    {100, "Duplicate value"},
    {101, "Table is not open"},
    {102, "Illegal argument"},
    {103, "Illegal key description"},
    {106, "Table is not exclusively locked"},
    {107, "Record is locked"},
    {108, "Key already exists"},
    {110, "End of file reached"},
    {111, "No record found"},
    {112, "No current record"},
    {113, "Table is locked"},
    {201, "Record changed after delayed lock"},
    {202, "Database is locked"},
    {203, "Action not allowed within transaction"},
    {204, "Transaction is read only"},
    {205, "Out of range"},
    {206, "Record is not locked"},
    {207, "Error of audit trailer"},
    {208, "Permission denied"},
    {209, "Error on mirroring databases"},
    {210, "Record is locked in mirrored database"},
    {213, "Transaction is started but not updated"},
    {214, "Unallowed operation for mapping company numbers"},
    {215, "Illegal state"},
    {251, "The audit server setup is not correct"},
    {252, "An audit file is corrupt"},
    {253, "Audit file is locked by another user"},
    {254, "Commit transaction has failed in the audit server"},
    {301, "Query not correct"},
    {302, "SQL syntax not correct"},
    {303, "Reference in query not found"},
    {304, "General SQL error"},
    {305, "Wrong row returned"},
    {401, "A configuration file is corrupt"},
    {402, "Configuration error detected"},
    {306, "SQL: Division by zero"},
    {307, "SQL: String truncation"},
    {308, "SQL: Index outside dimensions of array"},
    {309, "SQL: Substring error"},
    {317, "SQL: Trim error"},
    {310, "SQL: Cardinality violation"},
    {311, "SQL: File IO error"},
    {312, "SQL: Invalid parameter type"},
    {313, "Query time out error"},
    {315, "String data, length mismatch"},
    {316, "Bound RAW value of zero length"},
    {319, "SQL: Invalid escape character"},
    {325, "SQL: Invalid escape sequence"},
    {501, "Memory error"},
    {502, "Already logged on"},
    {503, "Illegal address"},
    {504, "Undefined column"},
    {505, "No server specified in tabledef or server cannot be started"},
    {506, "Table does not exist"},
    {507, "Table already exists"},
    {508, "Not logged on to a database"},
    {509, "Bad memory cursor; bad table pointer specified"},
    {510, "Database not on"},
    {511, "Version of client versus server not correct"},
    {512, "Corrupted data dictionary"},
    {217, "Role file corrupt"},
    {513, "Data dictionary not found"},
    {514, "Security error; probably no permission"},
    {525, "No resource available"},
    {516, "Error during making/filling rollback segments; probably disk full"},
    {517, "General error for delayed locking"},
    {518, "Invalid session code specified"},
    {519, "No company number specified or illegal company number"},
    {520, "Error during buffered updates"},
    {521, "Shared memory not loaded"},
    {522, "Database driver lost connection to the database"},
    {523, "Database full, please contact your system administrator"},
    {540, "Database logon denied, please contact your system administrator"},
    {600, "E_TDB_REFERENCE_START"},
    {600, "General reference error"},
    {601, "Reference table is locked"},
    {602, "Reference is not defined"},
    {604, "Cannot update reference"},
    {605, "Cannot delete record, because reference exists"},
    {606, "Reference does not exist"},
    {607, "Reference table not found"},
    {608, "No reference counter present"},
    {609, "Error when updating reference counter"},
    {649, "E_TDB_REFERENCE_END"},
    {700, "Error when setting locale"},
    {850, "E_TDB_FATAL_START"},
    {850, "Current transaction is aborted"},
    {899, "E_TDB_FATAL_END"},
    {0, nullptr},
};

const char *tdberrorstr(int code)
{
    static char text[40];
    if (code == 0)
        return "";
    if (code > 1000) {
        /* A native database error passed on by a driver. */
        std::snprintf(text, sizeof text, "database error %d", code - 1000);
        return text;
    }
    for (const tdb_error_entry *entry = tdberrors; entry->code != 0; ++entry)
        if (entry->code == code)
            return entry->text;
    std::snprintf(text, sizeof text, "tdb_errno %d", tdb_errno);
    return text;
}
