/*
 * tdb_load.cpp: tdbload, which loads the rows of a CSV file into a table
 * of a company through the tdb API: the whole file is read and checked
 * first (types, widths, domains), then inserted in batches of buffered
 * inserts with a commit after each batch.
 */
#include "tdb_load.h"

#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "al_date.h"
#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_stream.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_dd_chk.h"
#include "tss_convert.h"

namespace tdbload {

namespace {

/* Row, table and database actions used here. */
constexpr int kInsertBuffered = 62;
constexpr int kInsertNow = 22;
constexpr int kCreateIndex = 1;
constexpr int kCreateTable = 4;
constexpr int kNrRows = 8;
constexpr int kCommit = 1;
constexpr int kAbort = 3;
constexpr int kEveryIndex = 9999;

constexpr int kDefaultCommitRate = 1000;
/* At most this many bad lines are printed; the rest are counted. */
constexpr int kMaxReported = 50;

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::string quoted(std::string_view s)
{
    return "\"" + std::string(s) + "\"";
}

void put_be(unsigned char *p, long long v, int bytes)
{
    const auto u = static_cast<unsigned long long>(v);
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<unsigned char>(u >> (8 * (bytes - 1 - i)));
}

/* A decimal integer, the whole text (an optional sign, digits). */
bool parse_integer(std::string_view text, long long *value)
{
    std::string s(trim(text));
    if (s.empty() || s.size() > 20)
        return false;
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size())
        return false;
    for (std::size_t k = i; k < s.size(); ++k)
        if (s[k] < '0' || s[k] > '9')
            return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool integer_in(std::string_view text, long long low, long long high, long long *value,
                std::string *error)
{
    if (!parse_integer(text, value)) {
        *error = "value " + quoted(text) + " is not an integer";
        return false;
    }
    if (*value < low || *value > high) {
        *error = "value " + std::to_string(*value) + " is outside " + std::to_string(low) + ".." +
                 std::to_string(high);
        return false;
    }
    return true;
}

bool two_digits(std::string_view s, std::size_t at, int *out)
{
    if (at + 2 > s.size() || s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9')
        return false;
    *out = (s[at] - '0') * 10 + (s[at + 1] - '0');
    return true;
}

/* "YYYY-MM-DD" at the start of s. */
bool parse_ymd(std::string_view s, int *y, int *m, int *d)
{
    if (s.size() < 10 || s[4] != '-' || s[7] != '-')
        return false;
    int hi = 0, lo = 0;
    if (!two_digits(s, 0, &hi) || !two_digits(s, 2, &lo) || !two_digits(s, 5, m) ||
        !two_digits(s, 8, d))
        return false;
    *y = hi * 100 + lo;
    return true;
}

bool put_date(std::string_view text, unsigned char *element, std::string *error)
{
    std::string_view s = trim(text);
    int y = 0, m = 0, d = 0;
    if (s.size() != 10 || !parse_ymd(s, &y, &m, &d)) {
        *error = "value " + quoted(text) + " is not a date YYYY-MM-DD";
        return false;
    }
    const int day = y >= 1 ? date_to_num(y, m, d) : -1;
    if (day <= 0) {
        *error = "value " + quoted(text) + " is not a valid date";
        return false;
    }
    put_be(element, day, 4);
    return true;
}

bool put_time(std::string_view text, unsigned char *element, std::string *error)
{
    std::string_view s = trim(text);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    if (s.size() != 20 || !parse_ymd(s, &y, &mo, &d) || s[10] != 'T' || s[13] != ':' ||
        s[16] != ':' || s[19] != 'Z' || !two_digits(s, 11, &h) || !two_digits(s, 14, &mi) ||
        !two_digits(s, 17, &se)) {
        *error = "value " + quoted(text) + " is not a UTC time YYYY-MM-DDTHH:MM:SSZ";
        return false;
    }
    int32_t utc = 0;
    if (date_to_num(y, mo, d) <= 0 || al_pack_utc(y, mo, d, h, mi, se, &utc) != 0) {
        *error = "value " + quoted(text) + " is not a valid UTC time (1970-2038)";
        return false;
    }
    put_be(element, utc, 4);
    return true;
}

bool put_real(const _dd_column *column, std::string_view text, unsigned char *element,
              std::string *error)
{
    std::string s(trim(text));
    char *end = nullptr;
    errno = 0;
    const double v = s.empty() ? 0.0 : std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !std::isfinite(v) || errno == ERANGE ||
        std::isalpha(static_cast<unsigned char>(s.back())) != 0) {
        *error = "value " + quoted(text) + " is not a finite number";
        return false;
    }
    if (column->type == TDB_FLOAT) {
        if (std::fabs(v) > FLT_MAX) {
            *error = "value " + s + " is too large for a float";
            return false;
        }
        const float f = static_cast<float>(v);
        std::memcpy(element, &f, sizeof f);
    } else {
        std::memcpy(element, &v, sizeof v);
    }
    return true;
}

/* An enumeration value: its number, or a keyword of the domain; a
 * domain with a list takes only its listed values. */
bool put_enum(const _dd_column *column, std::string_view text, unsigned char *element,
              std::string *error)
{
    const _dd_enum_list *list = column->domain != nullptr ? column->domain->word.enums : nullptr;
    long long v = 0;
    const std::string_view s = trim(text);
    if (!parse_integer(s, &v)) {
        bool found = false;
        for (int i = 0; list != nullptr && i < list->count; ++i) {
            if (s == list->entries[i].keyword) {
                v = list->entries[i].value;
                found = true;
                break;
            }
        }
        if (!found) {
            *error = "value " + quoted(text) + " is neither a number nor a keyword of the domain";
            return false;
        }
    }
    if (v < 0 || v > 255) {
        *error = "value " + std::to_string(v) + " is outside 0..255";
        return false;
    }
    if (list != nullptr && list->count > 0 && v != 0) {
        bool listed = false;
        for (int i = 0; i < list->count; ++i)
            listed = listed || list->entries[i].value == v;
        if (!listed) {
            *error = "value " + std::to_string(v) + " is not a value of the enumeration";
            return false;
        }
    }
    element[0] = static_cast<unsigned char>(v);
    return true;
}

bool hex_digit(char c, int *out)
{
    if (c >= '0' && c <= '9')
        *out = c - '0';
    else if (c >= 'a' && c <= 'f')
        *out = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        *out = c - 'A' + 10;
    else
        return false;
    return true;
}

bool put_raw(std::string_view text, unsigned char *element, int width, std::string *error)
{
    const std::string_view s = trim(text);
    if (s.size() % 2 != 0) {
        *error = "value " + quoted(text) + " is not hexadecimal bytes (an odd number of digits)";
        return false;
    }
    if (static_cast<int>(s.size() / 2) > width) {
        *error = "value of " + std::to_string(s.size() / 2) + " bytes is longer than the column's " +
                 std::to_string(width);
        return false;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(width), 0);
    for (std::size_t i = 0; i < s.size(); i += 2) {
        int hi = 0, lo = 0;
        if (!hex_digit(s[i], &hi) || !hex_digit(s[i + 1], &lo)) {
            *error = "value " + quoted(text) + " is not hexadecimal bytes";
            return false;
        }
        bytes[i / 2] = static_cast<unsigned char>(hi * 16 + lo);
    }
    std::memcpy(element, bytes.data(), bytes.size());
    return true;
}

/* A text: UTF-8 of the file into the TSS form, padded with blanks. Plain
 * ASCII is its own TSS form; anything else goes through the conversion
 * library. Trailing blanks do not count against the width. */
bool put_text(std::string_view text, unsigned char *element, int width, std::string *error)
{
    std::string_view s = text;
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    std::string tss;
    bool ascii = true;
    for (char c : s)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        tss.assign(s);
    } else {
        std::string in(s);
        std::vector<char> out(in.size() * 4 + 8);
        TssConvertControl control{};
        control.in_len = static_cast<int>(in.size());
        control.out_room = static_cast<int>(out.size());
        const int n = TssConvertUtf8ToTss(in.c_str(), out.data(), &control);
        if (n < 0) {
            *error = "value " + quoted(text) + " is not valid UTF-8 text";
            return false;
        }
        tss.assign(out.data(), static_cast<std::size_t>(n));
    }
    if (tss.find('\0') != std::string::npos) {
        *error = "value holds a NUL character";
        return false;
    }
    if (static_cast<int>(tss.size()) > width) {
        *error = "text of " + std::to_string(tss.size()) + " bytes is longer than the column's " +
                 std::to_string(width);
        return false;
    }
    std::memset(element, ' ', static_cast<std::size_t>(width));
    std::memcpy(element, tss.data(), tss.size());
    return true;
}

/* The empty value of a type (as the dictionary empties keys). */
void put_empty(const _dd_column *column, unsigned char *element, int width)
{
    const int type = column->type;
    std::memset(element, type == TDB_STRING || type == TDB_MBSTRING ? ' ' : 0,
                static_cast<std::size_t>(width));
    if (type == TDB_FLOAT) {
        const float f = 0.0f;
        std::memcpy(element, &f, sizeof f);
    } else if (type == TDB_DOUBLE) {
        const double d = 0.0;
        std::memcpy(element, &d, sizeof d);
    }
}

} // namespace

bool parse_csv(std::string_view text, std::vector<CsvRecord> *records, std::string *error)
{
    records->clear();
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::size_t i = 0;
    int line = 1;
    while (i < text.size()) {
        CsvRecord record;
        record.line = line;
        /* A completely empty line. */
        if (text[i] == '\n' || (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            i += text[i] == '\r' ? 2 : 1;
            ++line;
            continue;
        }
        bool end_of_record = false;
        while (!end_of_record) {
            std::string field;
            if (i < text.size() && text[i] == '"') {
                const int opened = line;
                ++i;
                bool closed = false;
                while (i < text.size()) {
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        closed = true;
                        break;
                    }
                    if (text[i] == '\n')
                        ++line;
                    field += text[i++];
                }
                if (!closed) {
                    *error = "line " + std::to_string(opened) + ": a quoted field is not closed";
                    return false;
                }
                if (i < text.size() && text[i] != ',' && text[i] != '\n' &&
                    !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
                    *error = "line " + std::to_string(line) + ": text after a closing quote";
                    return false;
                }
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\n' &&
                       !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
                    field += text[i++];
            }
            record.fields.push_back(std::move(field));
            if (i >= text.size()) {
                end_of_record = true;
            } else if (text[i] == ',') {
                ++i;
            } else {
                i += text[i] == '\r' ? 2 : 1;
                ++line;
                end_of_record = true;
            }
        }
        records->push_back(std::move(record));
    }
    return true;
}

bool put_value(const _dd_column *column, std::string_view text, unsigned char *element,
               std::string *error)
{
    const int width = column->elements > 0 ? column->length / column->elements : column->length;
    if (text.empty() || (trim(text).empty() && column->type != TDB_STRING &&
                         column->type != TDB_MBSTRING)) {
        put_empty(column, element, width);
        return true;
    }
    long long v = 0;
    switch (column->type) {
    case TDB_BYTE:
        if (!integer_in(text, 0, 255, &v, error))
            return false;
        element[0] = static_cast<unsigned char>(v);
        return true;
    case TDB_INTEGER:
        if (!integer_in(text, -32768, 32767, &v, error))
            return false;
        put_be(element, v, 2);
        return true;
    case TDB_LONG:
    case TDB_TEXT:
    case TDB_LONG_V:
    case TDB_SET:
        if (!integer_in(text, INT32_MIN, INT32_MAX, &v, error))
            return false;
        put_be(element, v, 4);
        return true;
    case TDB_FLOAT:
    case TDB_DOUBLE:
        return put_real(column, text, element, error);
    case TDB_DATE:
        return put_date(text, element, error);
    case TDB_TIME:
        return put_time(text, element, error);
    case TDB_ENUM:
        return put_enum(column, text, element, error);
    case TDB_STRING:
    case TDB_MBSTRING:
        return put_text(text, element, width, error);
    case TDB_RAW:
        return put_raw(text, element, width, error);
    default:
        *error = "columns of type " + std::to_string(column->type) + " cannot be loaded";
        return false;
    }
}

} // namespace tdbload

/* ======================================================================== */
/* ---- the program --------------------------------------------------------- */
/* ======================================================================== */

namespace tdbload {
namespace {

const char *gProgram = "tdbload";

void usage()
{
    std::fprintf(stderr,
                 "Usage: %s [-p package-combination] -C company [-r commit-rate] table csv-file\n"
                 "  -C company   the company number (0-999) the rows go to\n"
                 "  -p comb      the package combination (else PACKAGE_COMB or the user's)\n"
                 "  -r rate      rows per commit (default %d)\n"
                 "The first line of the file names the fields; array elements as field_1, "
                 "field_2, ...\n",
                 gProgram, kDefaultCommitRate);
}

/* The -p option before anything reads the environment: the combination
 * must exist as "lib/fd<release>.<comb>" and is exported as PACKAGE_COMB. */
bool set_package_comb(const char *comb)
{
    STREAM *sp = open_tse_file("lib/fd%s.%s", al_release_text(), comb);
    if (sp == nullptr) {
        std::fprintf(stderr, "%s: Package combination \"%s\" does not exist.\n", gProgram, comb);
        return false;
    }
    sclose(sp);
    return setenv("PACKAGE_COMB", comb, 1) == 0;
}

/* Where the value of one header field goes. */
struct Target {
    const _dd_column *column;
    int element; /* from 0 */
};

std::string field_of(const _dd_column *column)
{
    const char *point = std::strchr(column->name, '.');
    return point != nullptr ? point + 1 : column->name;
}

/* Whether a program may give values for the column. */
const char *unloadable_reason(const _dd_column *column)
{
    if (column->type == TDB_COMBINED)
        return "is a combined column: name its parts";
    if ((column->flags & (DD_COL_NOT_IN_DB | DD_COL_INDEX)) != 0)
        return "is not stored in the database";
    return nullptr;
}

/* The column and element of a header name: the field itself, or
 * "<field>_<n>" for element n (from 1) of an array column. */
bool resolve_header(const _dd_table *table, const std::string &name, Target *target,
                    std::string *error)
{
    const _dd_column *column = ddcolumn_by_ddtable(table, name.c_str());
    if (column != nullptr) {
        if (const char *why = unloadable_reason(column)) {
            *error = "field " + name + " " + why;
            return false;
        }
        if (column->elements > 1) {
            *error = "field " + name + " is an array of " + std::to_string(column->elements) +
                     " elements: name them " + name + "_1 to " + name + "_" +
                     std::to_string(column->elements);
            return false;
        }
        *target = {column, 0};
        return true;
    }
    const std::size_t bar = name.rfind('_');
    if (bar != std::string::npos && bar + 1 < name.size() &&
        name.find_first_not_of("0123456789", bar + 1) == std::string::npos) {
        const std::string base = name.substr(0, bar);
        column = ddcolumn_by_ddtable(table, base.c_str());
        if (column != nullptr && unloadable_reason(column) == nullptr && column->elements > 1) {
            const long n = std::strtol(name.c_str() + bar + 1, nullptr, 10);
            if (n < 1 || n > column->elements || name.size() - bar - 1 > 3) {
                *error = "field " + base + " has elements 1 to " + std::to_string(column->elements) +
                         ", not " + name.substr(bar + 1);
                return false;
            }
            *target = {column, static_cast<int>(n - 1)};
            return true;
        }
    }
    *error = "unknown field " + quoted(name) + " in table " + table->code;
    return false;
}

/* Reports one bad place in the file. */
class Reporter {
public:
    explicit Reporter(std::string file) : file_(std::move(file)) {}
    void at(int line, const std::string &column, const std::string &text)
    {
        ++count_;
        if (count_ > kMaxReported)
            return;
        if (column.empty())
            std::fprintf(stderr, "%s: line %d: %s\n", file_.c_str(), line, text.c_str());
        else
            std::fprintf(stderr, "%s: line %d, column %s: %s\n", file_.c_str(), line,
                         column.c_str(), text.c_str());
    }
    int count() const { return count_; }

private:
    std::string file_;
    int count_ = 0;
};

/* The rows of the file, each a full row buffer, and their lines. */
struct Rows {
    std::vector<std::vector<unsigned char>> rows;
    std::vector<int> lines;
    bool keep_rcd_utc = false;
};

/* Reads and checks the whole file. false after reporting every problem. */
bool read_rows(const _dd_table *table, const std::string &path, Rows *out)
{
    Reporter report(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", gProgram, path.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();

    std::vector<CsvRecord> records;
    std::string error;
    if (!tdbload::parse_csv(text, &records, &error)) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
        std::fprintf(stderr, "%s: nothing loaded\n", gProgram);
        return false;
    }
    if (records.empty()) {
        std::fprintf(stderr, "%s: the file is empty: no header line naming the fields\n",
                     path.c_str());
        std::fprintf(stderr, "%s: nothing loaded\n", gProgram);
        return false;
    }

    /* The header. */
    const CsvRecord &header = records.front();
    std::vector<Target> targets;
    std::vector<std::string> names;
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const std::string name(trim(header.fields[i]));
        names.push_back(name);
        Target target{};
        if (name.empty()) {
            report.at(header.line, "", "field " + std::to_string(i + 1) + " of the header is empty");
        } else if (seen.count(name) != 0) {
            report.at(header.line, name, "field named twice in the header");
        } else if (!resolve_header(table, name, &target, &error)) {
            report.at(header.line, name, error);
        } else if (target.column == table->rcd_utc) {
            out->keep_rcd_utc = true;
        }
        seen[name] = 1;
        targets.push_back(target);
    }
    /* Every part of key 1 must be given: else every row had the same key. */
    if (const _dd_key *key = key_desc(table, 1)) {
        _dd_column *parts[DD_MAX_KEY_PARTS];
        const int n = list_index_columns(key, parts, DD_MAX_KEY_PARTS);
        for (int p = 0; p < n; ++p) {
            bool named = false;
            for (const Target &t : targets)
                named = named || t.column == parts[p];
            if (!named)
                report.at(header.line, field_of(parts[p]),
                          "key field missing from the header (part of index 1)");
        }
    }
    if (report.count() != 0) {
        std::fprintf(stderr, "%s: the header is not usable: nothing loaded\n", gProgram);
        return false;
    }

    /* The rows. */
    const bool check = tdb_dd_check_enabled() != 0;
    for (std::size_t r = 1; r < records.size(); ++r) {
        const CsvRecord &record = records[r];
        if (record.fields.size() != targets.size()) {
            report.at(record.line, "",
                      std::to_string(record.fields.size()) +
                          (record.fields.size() == 1 ? " field" : " fields") +
                          " where the header names " + std::to_string(targets.size()));
            continue;
        }
        std::vector<unsigned char> row(table->default_row, table->default_row + table->row_length);
        bool good = true;
        for (std::size_t f = 0; f < targets.size(); ++f) {
            const Target &t = targets[f];
            const int width = t.column->length / t.column->elements;
            if (!tdbload::put_value(t.column, record.fields[f],
                                    row.data() + t.column->offset + t.element * width, &error)) {
                report.at(record.line, names[f], error);
                good = false;
            }
        }
        /* The domain checks of an insert, on every column of the row. */
        if (good && check) {
            for (int c = 0; c < table->nr_columns; ++c) {
                const _dd_column *column = &table->columns[c];
                if (column->type == TDB_COMBINED ||
                    (column->flags & (DD_COL_NOT_IN_DB | DD_COL_INDEX)) != 0)
                    continue;
                if (!check_column_in_rowbuf(column, row.data())) {
                    report.at(record.line, field_of(column), tdb_dd_check_message());
                    good = false;
                }
            }
        }
        if (good) {
            out->rows.push_back(std::move(row));
            out->lines.push_back(record.line);
        }
    }
    if (report.count() != 0) {
        if (report.count() > kMaxReported)
            std::fprintf(stderr, "%s: %d more problems not shown\n", gProgram,
                         report.count() - kMaxReported);
        std::fprintf(stderr, "%s: %d problem%s in %s: nothing loaded\n", gProgram, report.count(),
                     report.count() == 1 ? "" : "s", path.c_str());
        return false;
    }
    return true;
}

/* "<text of the error> (tdb_errno N)", with the driver's detail. */
std::string tdb_failure(unsigned trans_id)
{
    const int code = tdb_errno;
    std::string text = std::string(tdberrorstr(code)) + " (tdb_errno " + std::to_string(code) + ")";
    char table[9] = "";
    int number = 0;
    const char *detail = nullptr;
    if (code == 520 && tdb_get_detail_error(table, &number, &detail, trans_id) != 0) {
        text += ": " + std::string(tdberrorstr(number)) + " (" + std::to_string(number) + ")";
        if (detail != nullptr)
            text += " " + std::string(detail);
    }
    return text;
}

/* Rows committed so far, for the report when a driver dies. */
std::size_t gCommitted = 0;

/* A driver that ends during the load ends the program: what was
 * committed stays. */
void driver_died()
{
    std::fprintf(stderr,
                 "%s: the database driver ended during the load; %zu row%s committed before it\n",
                 gProgram, gCommitted, gCommitted == 1 ? "" : "s");
    std::fflush(nullptr);
    _exit(2);
}

struct Session {
    unsigned trans_id = 0;
    tdb_handle *handle = nullptr;
};

/* Replays the rows [first, last) of a batch that failed at its commit,
 * each insert sent at once, to find the row that fails; the batch is
 * aborted in every case. The index of the failing row, or last. */
std::size_t find_failing_row(Session &s, Rows &rows, std::vector<unsigned char> &buffer,
                             std::size_t first, std::size_t last, long flags, std::string *why)
{
    std::size_t at = last;
    for (std::size_t i = first; i < last; ++i) {
        std::memcpy(buffer.data(), rows.rows[i].data(), rows.rows[i].size());
        if (tdb_exec_row(s.handle, kInsertNow, flags, -1) != 0) {
            *why = tdb_failure(s.trans_id);
            at = i;
            break;
        }
    }
    (void)tdb_exec_db(kAbort, s.trans_id);
    return at;
}

int load(const char *table_code, int compnr, int rate, Rows &rows, const std::string &path)
{
    if (tdb_logon("tdbload") < 0) {
        std::fprintf(stderr, "%s: cannot log on: %s (tdb_errno %d)\n", gProgram,
                     tdberrorstr(tdb_errno), tdb_errno);
        return 1;
    }
    tdb_set_server_death_handler(driver_died);
    Session s;
    s.trans_id = tdb_start_session("tdbload");
    if (s.trans_id == 0) {
        std::fprintf(stderr, "%s: cannot start a transaction: %s (tdb_errno %d)\n", gProgram,
                     tdberrorstr(tdb_errno), tdb_errno);
        (void)tdb_logoff();
        return 1;
    }
    const _dd_table *table = ddtable(table_code);
    std::vector<unsigned char> buffer(DD_MAX_ROW, 0);
    if (table == nullptr || tdb_open(&s.handle, table_code, compnr, buffer.data(), 0, s.trans_id) != 0) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", gProgram, table_code,
                     tdb_failure(s.trans_id).c_str());
        (void)tdb_logoff();
        return 1;
    }

    /* A mapped company says where its rows are stored. */
    const int physical = tdb_get_physical_compnr(table_code, compnr);
    char stored[32] = "";
    if (physical >= 0 && physical != compnr)
        std::snprintf(stored, sizeof stored, " (stored under %03d)", physical);
    const std::string where = stored;

    /* The table exists, or is made now. */
    int arg = 0;
    bool created = false;
    if (tdb_exec_table(s.handle, kNrRows, &arg, -1) != 0) {
        if (tdb_errno != E_TDB_NO_TABLE) {
            std::fprintf(stderr, "%s: %s%03d: %s\n", gProgram, table_code, compnr,
                         tdb_failure(s.trans_id).c_str());
            (void)tdb_logoff();
            return 1;
        }
        arg = 1;
        if (tdb_exec_table(s.handle, kCreateTable, &arg, -1) != 0) {
            std::fprintf(stderr, "%s: cannot create table %s%03d: %s\n", gProgram, table_code,
                         compnr, tdb_failure(s.trans_id).c_str());
            (void)tdb_logoff();
            return 1;
        }
        created = true;
        std::printf("%s: table %s of company %03d%s created\n", gProgram, table_code, compnr,
                    where.c_str());
    }

    const long flags = rows.keep_rcd_utc ? TDB_FLAG_KEEP_RCD_UTC : 0;
    std::size_t committed = 0;
    std::size_t batch_start = 0;
    const std::size_t total = rows.rows.size();
    int result = 0;
    for (std::size_t i = 0; i < total && result == 0; ++i) {
        std::memcpy(buffer.data(), rows.rows[i].data(), rows.rows[i].size());
        const bool last_of_batch = i + 1 == total || (i + 1 - batch_start) % rate == 0;
        std::string why;
        std::size_t failed = total;
        if (tdb_exec_row(s.handle, kInsertBuffered, flags, -1) != 0) {
            why = tdb_failure(s.trans_id);
            failed = i;
            (void)tdb_exec_db(kAbort, s.trans_id);
        } else if (last_of_batch) {
            if (tdb_exec_db(kCommit, s.trans_id) == 0) {
                committed = i + 1;
                gCommitted = committed;
                batch_start = i + 1;
                continue;
            }
            why = tdb_failure(s.trans_id);
            (void)tdb_exec_db(kAbort, s.trans_id);
            std::string replayed;
            failed = find_failing_row(s, rows, buffer, batch_start, i + 1, flags, &replayed);
            if (failed <= i)
                why = replayed;
        } else {
            continue;
        }
        if (failed < total)
            std::fprintf(stderr, "%s: line %d: insert failed: %s\n", path.c_str(),
                         rows.lines[failed], why.c_str());
        else
            std::fprintf(stderr, "%s: lines %d to %d: commit failed: %s\n", path.c_str(),
                         rows.lines[batch_start], rows.lines[i], why.c_str());
        std::fprintf(stderr,
                     "%s: %zu row%s committed before line %d; the rows from line %d on are not "
                     "loaded\n",
                     gProgram, committed, committed == 1 ? "" : "s", rows.lines[batch_start],
                     rows.lines[batch_start]);
        result = 2;
    }

    if (result == 0 && created) {
        arg = kEveryIndex;
        if (tdb_exec_table(s.handle, kCreateIndex, &arg, -1) != 0 && tdb_errno != 108) {
            std::fprintf(stderr, "%s: creating the indexes of %s%03d failed: %s\n", gProgram,
                         table_code, compnr, tdb_failure(s.trans_id).c_str());
            result = 2;
        }
    }
    if (result == 0)
        std::printf("%s: %zu row%s loaded into %s of company %03d%s\n", gProgram, committed,
                    committed == 1 ? "" : "s", table_code, compnr, where.c_str());
    (void)tdb_close(s.handle);
    (void)tdb_stop_session(s.trans_id);
    (void)tdb_logoff();
    return result;
}

/* The program behind tdbload_main. */
int run(int argc, char **argv)
{
    const char *slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
    gProgram = slash != nullptr ? slash + 1 : (argc > 0 ? argv[0] : "tdbload");

    const char *comb = nullptr;
    long compnr = -1;
    long rate = kDefaultCommitRate;
    int opt;
    opterr = 0;
    while ((opt = getopt(argc, argv, "C:p:r:u")) != -1) {
        char *end = nullptr;
        switch (opt) {
        case 'C':
            compnr = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || compnr < 0 || compnr > 999) {
                std::fprintf(stderr, "%s: illegal company number '%s' (0-999)\n", gProgram, optarg);
                return 1;
            }
            break;
        case 'p':
            comb = optarg;
            break;
        case 'r':
            rate = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || rate < 1 || rate > 1000000) {
                std::fprintf(stderr, "%s: illegal commit rate '%s' (1-1000000)\n", gProgram, optarg);
                return 1;
            }
            break;
        default:
            usage();
            return 1;
        }
    }
    if (argc - optind != 2 || compnr < 0) {
        usage();
        return 1;
    }
    const char *table_code = argv[optind];
    const std::string path = argv[optind + 1];
    if (std::strlen(table_code) != 8) {
        std::fprintf(stderr, "%s: Invalid table name '%s'\n", gProgram, table_code);
        return 1;
    }

    log_set_progname(gProgram, 1);
    if (comb != nullptr && !set_package_comb(comb))
        return 1;
    if (tdb_init_api(gProgram, 1, 0, 0) != 0) {
        std::fprintf(stderr, "%s: Failed to initialize TDB API\n", gProgram);
        return 1;
    }
    const _dd_table *table = ddtable(table_code);
    if (table == nullptr) {
        const int code = qpd_get_errno() != 0 ? qpd_get_errno() : E_DD_NOT_FOUND;
        std::fprintf(stderr, "%s: table %s: %s (tdb_errno %d)\n", gProgram, table_code,
                     tdberrorstr(code), code);
        return 1;
    }

    Rows rows;
    if (!read_rows(table, path, &rows))
        return 1;
    return load(table_code, static_cast<int>(compnr), static_cast<int>(rate), rows, path);
}

} // namespace
} // namespace tdbload

int tdbload_main(int argc, char **argv)
{
    return tdbload::run(argc, argv);
}
