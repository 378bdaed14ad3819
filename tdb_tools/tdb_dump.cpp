/*
 * tdb_dump.cpp: dump files of the reconfiguration tool. So far the size
 * argument of dump sequences (-M).
 */
#include "tdb_dump.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

int handle_seq_size_arg(const char *text)
{
    size_t len = std::strlen(text);
    char suffix = len > 0 ? text[len - 1] : '\0';
    /* strtoll saturates, so a huge number stays huge instead of wrapping. */
    long long number = std::strtoll(text, nullptr, 10);
    long long result;

    switch (suffix) {
    case 'G':
        if (number >= 3)
            return DUMP_MAX_SIZE;
        result = number * (1LL << 30);
        break;
    case 'K':
    case 'k':
        if (number >= 2097153)
            return DUMP_MAX_SIZE;
        result = number * 1024;
        break;
    case 'M':
        if (number >= 2049)
            return DUMP_MAX_SIZE;
        result = number * (1LL << 20);
        break;
    default:
        result = number;
        break;
    }
    if (result <= 0 || result > INT32_MAX)
        return DUMP_MAX_SIZE;
    return static_cast<int>(result);
}
