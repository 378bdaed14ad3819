/*
 * qpd_rdic.h: internals of the server lists that the tests reach:
 * the table and company pattern rules and the seam through which another
 * machine's tabledef is opened.
 */
#ifndef QPD_RDIC_H
#define QPD_RDIC_H

#include <string>
#include <vector>

#include "al_stream.h"

namespace qpd {

/* "*", an 8-character code equal to table, or its 5-character prefix. */
bool table_pattern_matches(const std::vector<std::string> &patterns, const char *table);
/* Empty, "*", or a three-digit number equal to compnr; compnr -1 matches all. */
bool company_pattern_matches(const std::vector<std::string> &patterns, int compnr);

/* Opens another machine's tabledef (machine, the full remote name); null
 * on failure with errno set. Default (null opener): sopen of the name. */
using TabledefOpener = STREAM *(*)(const char *machine, const char *name);
void set_tabledef_opener(TabledefOpener opener);

/* Forgets every tabledef read, the server list, the imposed list, the
 * audit hosts and the audit switch (for tests that need a fresh start). */
void reset_server_lists();

} // namespace qpd

#endif
