/*
 * alter_dictionary.h: small dictionaries for the alter-table tests: the
 * domain file of package "da" (appl/da6.2 under a root) and table files
 * written from a short description, in the current and the new
 * dictionary (".new"). Header-only; used by the client and the driver
 * tests.
 */
#ifndef TDBTEST_ALTER_DICTIONARY_H
#define TDBTEST_ALTER_DICTIONARY_H

#include <string>
#include <vector>

#include "run_program.h"

namespace tdbtest {

/* The package-combination line of package "da". */
inline const char *alter_package_line() { return "da appl/da6.2\n"; }

/* The domains of package "da". */
inline const char *alter_domains()
{
    return "D\n:N    daDom.byte\n:T    b\n:P    3\n"
           "D\n:N    daDom.int\n:T    i\n:DIGV 5\n:P    6\n"
           "D\n:N    daDom.long\n:T    l\n:DIGV 9\n:P    10\n"
           "D\n:N    daDom.long2\n:T    l\n:DIGV 9\n:P    10\n"
           "D\n:N    daDom.longr\n:T    l\n:DIGV 9\n:P    10\n:RA   $$ >= 0\n"
           "D\n:N    daDom.longr2\n:T    l\n:DIGV 9\n:P    10\n:RA   $$ >= 0\n"
           "D\n:N    daDom.longr3\n:T    l\n:DIGV 9\n:P    10\n:RA   $$ >= 0 and $$ <= 99\n"
           "D\n:N    daDom.pos\n:T    l\n:DIGV 9\n:P    10\n:RA   $$ > 0\n"
           "D\n:N    daDom.float\n:T    f\n:DIGV 6\n:DIGA 2\n:P    10\n"
           "D\n:N    daDom.double\n:T    d\n:DIGV 13\n:DIGA 4\n:P    18\n"
           "D\n:N    daDom.text\n:T    u\n:P    10\n"
           "D\n:N    daDom.s10\n:T    s\n:CL   10\n:P    10\n"
           "D\n:N    daDom.s10b\n:T    s\n:CL   10\n:P    10\n"
           "D\n:N    daDom.s20\n:T    s\n:CL   20\n:P    20\n"
           "D\n:N    daDom.s10u\n:T    s\n:CL   10\n:CO   u\n:P    10\n"
           "D\n:N    daDom.s10r\n:T    s\n:CL   10\n:A    r\n:P    10\n"
           "D\n:N    daDom.s10abc\n:T    s\n:CL   10\n:P    10\n:L    ABC\n"
           "D\n:N    daDom.s10ab\n:T    s\n:CL   10\n:P    10\n:L    AB\n"
           "D\n:N    daDom.s10nox\n:T    s\n:CL   10\n:P    10\n:IL   XY\n"
           "D\n:N    daDom.s10nox2\n:T    s\n:CL   10\n:P    10\n:IL   X\n"
           "D\n:N    daDom.m10\n:T    m\n:CL   10\n:P    10\n"
           "D\n:N    daDom.raw8\n:T    r\n:CL   8\n:P    16\n"
           "D\n:N    daDom.raw4\n:T    r\n:CL   4\n:P    8\n"
           "D\n:N    daDom.utc\n:T    k\n:P    19\n";
}

/* One column of a table description. */
struct AlterColumnSpec {
    std::string field;
    std::string domain;       /* "daDom.long" */
    std::string extra = "";   /* further attribute lines, each ending in "\n" */
};

/* One key of a table description. */
struct AlterKeySpec {
    int number;
    int a;
    int du;
    std::vector<std::string> parts; /* field names */
};

/* A 17-character field of a key-part list. */
inline std::string alter_part_field(const std::string &code, const std::string &field)
{
    std::string name = code + "." + field;
    name.resize(17, ' ');
    return name;
}

/* The text of a table file. */
inline std::string alter_table_file(const std::string &code,
                                    const std::vector<AlterColumnSpec> &columns,
                                    const std::vector<AlterKeySpec> &keys)
{
    std::string text = ":R  U Alter\n:R  D Alter test\n:V    1\n";
    for (const AlterColumnSpec &c : columns)
        text += "F\n:N    " + code + "." + c.field + "\n:DO   " + c.domain + "\n" + c.extra;
    for (const AlterKeySpec &k : keys) {
        text += "I\n:I    " + std::to_string(k.number) + "\n:A    " + std::to_string(k.a) +
                "\n:DU   " + std::to_string(k.du) + "\n:K  F ";
        for (const std::string &p : k.parts)
            text += alter_part_field(code, p);
        text += "\n";
    }
    return text;
}

/* Writes the domain file of package "da" under root (the same text every
 * time, so any test may write it before the package is read). */
inline void write_alter_domains(const std::string &root)
{
    TempDir::writeAt(root, "appl/da6.2/d6.2/dda.pd", alter_domains());
}

/*
 * Writes table code (package "da") under root: the current definition,
 * and the new one (".new"). Table codes must differ between tests, as the
 * dictionary keeps what it read for the whole process.
 */
inline void write_alter_table(const std::string &root, const std::string &code,
                              const std::vector<AlterColumnSpec> &current,
                              const std::vector<AlterKeySpec> &current_keys,
                              const std::vector<AlterColumnSpec> &next,
                              const std::vector<AlterKeySpec> &next_keys)
{
    write_alter_domains(root);
    TempDir::writeAt(root, "appl/da6.2/d6.2/d" + code,
                     alter_table_file(code, current, current_keys));
    TempDir::writeAt(root, "appl/da6.2/d6.2/d" + code + ".new",
                     alter_table_file(code, next, next_keys));
}

} // namespace tdbtest

#endif
