/*
 * tdb_load.h: tdbload, the loader of rows into a table of a company from a
 * CSV file through the tdb API: the program entry and, for the tests, the
 * CSV reader and the conversion of one written value into row bytes.
 */
#ifndef TDB_LOAD_H
#define TDB_LOAD_H

#include <string>
#include <string_view>
#include <vector>

struct _dd_column;

/* The whole program: command line, reading and checking the file, the
 * load. Returns the exit code (0 loaded, 1 nothing loaded, 2 the load
 * failed after it started; see tdb_tools/README.md). */
int tdbload_main(int argc, char **argv);

namespace tdbload {

/* One record of a CSV file: its fields and the line it starts on. */
struct CsvRecord {
    int line = 0;
    std::vector<std::string> fields;
};

/*
 * Splits CSV text into records: fields separated by ",", a field in
 * double quotes may hold commas, line breaks and "" for one quote; a
 * record ends at an unquoted line break (LF or CR LF). Lines that are
 * completely empty are skipped; a UTF-8 byte-order mark at the start is
 * dropped. Returns false with *error ("line N: ...") for a quote that is
 * not closed or text after a closing quote.
 */
bool parse_csv(std::string_view text, std::vector<CsvRecord> *records, std::string *error);

/*
 * Writes the value text of one element of column into element (the
 * element's bytes in the row buffer, the column's element width), as a
 * person writes it for the column's type (see tdb_tools/README.md). An
 * empty text writes the type's empty value. Returns false with *error
 * describing why the text does not fit the column; element is then
 * unchanged.
 */
bool put_value(const _dd_column *column, std::string_view text, unsigned char *element,
               std::string *error);

} // namespace tdbload

#endif
