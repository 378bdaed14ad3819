/*
 * tabledef_fuzz.cpp: libFuzzer target of the table-definition reader of
 * the dictionary (which drivers serve which table): the local tabledef,
 * another machine's tabledef, the audit-host file and an imposed server
 * list come from the input; the servers of a few tables and companies are
 * asked for and must form a valid list or fail with the dictionary's
 * error number. The dictionary tests replay the regression inputs through
 * tabledef_fuzz_one.
 *
 * Input: the first byte selects options (bit 0: the first line of the
 * local text is also imposed with specify_server; bit 1: auditing through
 * audit columns; bit 2: auditing disabled; bit 3: debug bit 32, the
 * printed server lists). The rest is split at 0x01 bytes into the local
 * tabledef, another machine's tabledef and the audit-host file.
 */
#include <cstdint>
#include <cstring>
#include <string>

#include "al_stream.h"
#include "dict_fuzz_env.h"

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

std::string remote_path()
{
    return std::string(get_tse()) + "/lib/remote_tabledef";
}

STREAM *open_remote(const char *, const char *)
{
    return sopen(remote_path().c_str(), "r");
}

int audit_on() { return 1; }
int logged(const char *table, int compnr) { return (table[0] + compnr) % 2; }

void check_list(const dd_tabledef &def)
{
    check(def.nr_server >= 1 && def.nr_server <= DD_MAX_SERVERS);
    for (int i = 0; i < def.nr_server; ++i) {
        const dd_server_choice &c = def.server[i];
        check(c.nr_alt >= 1 && c.nr_alt <= DD_MAX_ALTERNATIVES);
        for (int a = 0; a < c.nr_alt; ++a)
            check(c.alt[a] != nullptr && c.alt[a]->name != nullptr && c.alt[a]->args != nullptr);
    }
}

std::string part(const std::string &text, int index)
{
    size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = text.find('\x01', start);
        if (start == std::string::npos)
            return std::string();
        ++start;
    }
    size_t end = text.find('\x01', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace

/* One input, as described above. Returns 0. */
int tabledef_fuzz_one(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    dictfuzz::prepare();
    dictfuzz::begin();
    int options = data[0];
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string root = get_tse();
    dictfuzz::write_file(root + "/lib/tabledef6.2", part(text, 0));
    dictfuzz::write_file(remote_path(), part(text, 1));
    dictfuzz::write_file(root + "/lib/audit_hosts", part(text, 2));
    qpd::set_tabledef_opener(open_remote);
    if (options & 2)
        qpd_set_auditcols_hooks(audit_on, logged);
    if (options & 4)
        tdb_disable_audit();
    if (options & 8)
        qpd_set_debug(32);
    if (options & 1) {
        std::string first = part(text, 0);
        first = first.substr(0, first.find('\n'));
        qpd_clear_errno();
        if (specify_server(first.c_str()) != 0)
            check(qpd_get_errno() == E_DD_NO_SERVER || qpd_get_errno() == E_DD_NO_MEMORY);
    }
    static const char *const tables[] = {"qatst100", "qzfuz100", "tdtst100", "ttaud001", "abcde123"};
    static const int companies[] = {0, 1, 999, -1};
    for (const char *table : tables) {
        for (int compnr : companies) {
            dd_tabledef def;
            std::memset(&def, 0, sizeof def);
            qpd_clear_errno();
            if (client_get_tabledef(table, compnr, &def) == 0) {
                check_list(def);
                for (int i = 0; i < def.nr_server; ++i)
                    table_in_driver(table, def.server[i].alt[0]);
            } else {
                int e = qpd_get_errno();
                check(e == E_DD_NO_SERVER || e == E_DD_NO_MEMORY);
            }
            read_driver_for_table(table, compnr);
            get_dbc_read_driver(table, compnr);
            char hosts[256] = {};
            get_audit_hosts(table, compnr, hosts, sizeof hosts);
            check(std::memchr(hosts, '\0', sizeof hosts) != nullptr);
        }
    }
    qpd_set_debug(0);
    qpd_set_auditcols_hooks(nullptr, nullptr);
    qpd::set_tabledef_opener(nullptr);
    dictfuzz::end();
    return 0;
}

#ifdef TABLEDEF_FUZZ_MAIN
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return tabledef_fuzz_one(data, size);
}
#endif
