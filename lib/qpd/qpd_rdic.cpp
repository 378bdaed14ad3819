/*
 * qpd_rdic.cpp: which drivers serve which table: the table-definition
 * files of this and other machines (user filters, table and company
 * patterns, server lists, audit field), the imposed server list, the
 * audit-host file and the dictionary environment's identification.
 */
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "al_env.h"
#include "al_log.h"
#include "al_stream.h"
#include "al_user.h"
#include "qpd_internal.h"
#include "qpd_rdic.h"

#define SRC "lib/qpd/qpd_rdic.cpp"

/* ---- types ----------------------------------------------------------------- */

/* One parsed tabledef line. */
struct TabledefLine {
    bool has_users = false;
    std::vector<std::string> users;
    std::vector<std::string> tables;
    std::vector<std::string> companies;
    std::vector<std::vector<dd_server *>> elements;
    bool has_audit_field = false;
    std::string audit_field;
};

/* The tabledef of one machine ("" for this one), parsed lazily. */
struct dd_tabledef_file {
    std::string machine;
    bool read_done = false;
    bool readable = false;
    std::vector<std::string> raw;   /* every line of the file */
    size_t next_raw = 0;            /* first raw line not parsed yet */
    std::vector<TabledefLine> parsed;
};

namespace {

struct StreamCloser {
    void operator()(STREAM *sp) const { sclose(sp); }
};
using StreamPtr = std::unique_ptr<STREAM, StreamCloser>;

/* A malformed server list or line; the message is logged where thrown. */
struct ServerListError {};

/* Process-wide state: read once, kept for the life of the process. */
struct RdicState {
    std::vector<dd_server *> servers;                 /* every distinct server */
    std::vector<dd_server *> retired;                 /* servers of a reset */
    std::map<std::string, std::unique_ptr<dd_tabledef_file>> files; /* by machine */
    bool imposed = false;
    std::vector<std::vector<dd_server *>> imposed_list;
    bool audit_disabled = false;
    bool audit_hosts_read = false;
    std::map<int, std::string> audit_hosts;           /* -1: the default "*" */
    int debug = 0;
    int (*using_auditcols)(void) = nullptr;
    int (*some_column_is_logged)(const char *, int) = nullptr;
    qpd::TabledefOpener opener = nullptr;
};

/* Kept for the life of the process (never destroyed, like the records). */
RdicState &state()
{
    static auto *s = new RdicState;
    return *s;
}

/* ---- server lists ---------------------------------------------------- */

struct DriverName {
    const char *name;
    int type;
};
constexpr DriverName driver_names[] = {
    {"audit", DD_SRV_AUDIT}, {"oracle", DD_SRV_DB}, {"informix", DD_SRV_DB},
    {"db2", DD_SRV_DB},      {"msql", DD_SRV_DB},   {"mysql", DD_SRV_DB},
    {"sqlite", DD_SRV_DB},   {"postgres", DD_SRV_DB},
};

int driver_type(const std::string &name)
{
    for (const auto &d : driver_names)
        if (name.compare(0, strlen(d.name), d.name) == 0)
            return d.type;
    return DD_SRV_MACHINE;
}

/* The one server record of a server entry (created on first use). */
dd_server *intern_server(int type, const std::string &name, const std::string &args)
{
    for (dd_server *s : state().servers)
        if (name == s->name && args == s->args &&
            (s->type & DD_SRV_READ) == (type & DD_SRV_READ))
            return s;
    auto *s = static_cast<dd_server *>(qpd::alloc_zeroed(sizeof(dd_server)));
    char *n = qpd::save_string(name);
    char *a = qpd::save_string(args);
    if (!s || !n || !a) {
        qpd::set_error(E_DD_NO_MEMORY);
        throw ServerListError{};
    }
    s->type = type;
    s->name = n;
    s->args = a;
    state().servers.push_back(s);
    return s;
}

/* Arguments: commas outside single quotes become byte 1, quotes dropped. */
std::string convert_args(std::string_view text)
{
    std::string out;
    bool quoted = false;
    for (char c : text) {
        if (c == '\'')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            out += '\1';
        else
            out += c;
    }
    return out;
}

/* Splits at sep outside quotes and parentheses. */
std::vector<std::string> split_outside(std::string_view text, char sep)
{
    std::vector<std::string> parts(1);
    bool quoted = false;
    int depth = 0;
    for (char c : text) {
        if (c == '\'')
            quoted = !quoted;
        else if (!quoted && c == '(')
            depth++;
        else if (!quoted && c == ')')
            depth--;
        if (c == sep && !quoted && depth == 0)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

[[noreturn]] void server_list_error(const char *what, std::string_view text)
{
    log_mesg(SRC, __LINE__, "tabledef", 0, "Invalid server list (%s): '%.*s'", what,
             static_cast<int>(text.size()), text.data());
    qpd::set_error(E_DD_NO_SERVER);
    throw ServerListError{};
}

/* [host!]name[+][(args)] */
dd_server *parse_spec(std::string_view text)
{
    std::string_view entry = qpd::strip(text);
    std::string args;
    size_t open = entry.find('(');
    if (open != std::string_view::npos) {
        if (entry.back() != ')')
            server_list_error("missing \")\"", text);
        args = convert_args(entry.substr(open + 1, entry.size() - open - 2));
        entry = qpd::strip(entry.substr(0, open));
    }
    int type = 0;
    if (!entry.empty() && entry.back() == '+') {
        type |= DD_SRV_READ;
        entry = qpd::strip(entry.substr(0, entry.size() - 1));
    }
    std::string host;
    size_t bang = entry.find('!');
    if (bang != std::string_view::npos) {
        host = std::string(entry.substr(0, bang));
        entry = entry.substr(bang + 1);
        if (host.empty())
            server_list_error("empty host", text);
    }
    std::string name(entry);
    if (name.empty() || name.find_first_of(" \t'()&|:") != std::string::npos)
        server_list_error("bad driver name", text);
    int dtype = driver_type(name);
    if (dtype == DD_SRV_MACHINE && !host.empty()) {
        log_mesg(SRC, __LINE__, "tabledef", 0, "Unknown driver type: %s", name.c_str());
        qpd::set_error(E_DD_NO_SERVER);
        throw ServerListError{};
    }
    type |= dtype;
    if (!host.empty()) {
        type |= DD_SRV_REMOTE;
        name = host + "!" + name;
    }
    return intern_server(type, name, args);
}

std::vector<std::vector<dd_server *>> parse_server_list(std::string_view text)
{
    std::vector<std::vector<dd_server *>> elements;
    if (qpd::strip(text).empty())
        server_list_error("empty server list", text);
    for (const auto &element : split_outside(text, '&')) {
        std::vector<dd_server *> alts;
        for (const auto &alt : split_outside(element, '|'))
            alts.push_back(parse_spec(alt));
        if (alts.size() > DD_MAX_ALTERNATIVES)
            server_list_error("too many alternatives", element);
        elements.push_back(std::move(alts));
    }
    return elements;
}

std::vector<std::string> split_list(std::string_view text)
{
    std::vector<std::string> out;
    for (const auto &item : split_outside(text, ','))
        if (std::string_view s = qpd::strip(item); !s.empty())
            out.emplace_back(s);
    return out;
}

/* ---- tabledef lines ------------------------------------------------------------- */

[[noreturn]] void line_error(const dd_tabledef_file &file, size_t number, const std::string &line)
{
    log_mesg(SRC, __LINE__, "tabledef", 0, "Syntax error in tabledef%s%s line %zu: %s",
             file.machine.empty() ? "" : " of ", file.machine.c_str(), number, line.c_str());
    qpd::set_error(E_DD_NO_SERVER);
    throw ServerListError{};
}

TabledefLine parse_line(const dd_tabledef_file &file, size_t number, const std::string &raw)
{
    TabledefLine line;
    std::string_view rest = qpd::strip(raw);
    if (!rest.empty() && rest.front() == '{') {
        size_t close = rest.find('}');
        if (close == std::string_view::npos)
            line_error(file, number, raw);
        line.has_users = true;
        line.users = split_list(rest.substr(1, close - 1));
        rest = rest.substr(close + 1);
    }
    std::vector<std::string> fields = split_outside(rest, ':');
    if (fields.size() < 3 || fields.size() > 4)
        line_error(file, number, raw);
    line.tables = split_list(fields[0]);
    if (line.tables.empty())
        line_error(file, number, raw);
    line.companies = split_list(fields[1]);
    for (const auto &c : line.companies)
        if (c != "*" && (c.size() != 3 || !isdigit(static_cast<unsigned char>(c[0])) ||
                         !isdigit(static_cast<unsigned char>(c[1])) ||
                         !isdigit(static_cast<unsigned char>(c[2]))))
            line_error(file, number, raw);
    line.elements = parse_server_list(fields[2]);
    if (fields.size() == 4) {
        line.has_audit_field = true;
        line.audit_field = std::string(qpd::strip(fields[3]));
    }
    return line;
}

std::string current_user()
{
    if (user_info.trel_user[0])
        return user_info.trel_user;
    const char *u = getvar("USER");
    return u ? u : "";
}

bool line_matches(const TabledefLine &line, const char *table, int compnr)
{
    if (line.has_users &&
        std::find(line.users.begin(), line.users.end(), current_user()) == line.users.end())
        return false;
    return qpd::table_pattern_matches(line.tables, table) &&
           qpd::company_pattern_matches(line.companies, compnr);
}

bool read_file(dd_tabledef_file &file)
{
    if (file.read_done)
        return file.readable;
    file.read_done = true;
    STREAM *sp = nullptr;
    char name[1100];
    if (file.machine.empty()) {
        snprintf(name, sizeof name, "lib/tabledef%s", get_release());
        sp = open_tse_file("lib/tabledef%s", get_release());
    } else {
        snprintf(name, sizeof name, "%s%c%s/lib/tabledef%s", file.machine.c_str(), '!', get_tse(),
                 get_release());
        sp = state().opener ? state().opener(file.machine.c_str(), name) : sopen(name, "r");
    }
    if (!sp) {
        log_mesg(SRC, __LINE__, "tabledef", 0, "%s open error %d", name, errno);
        return false;
    }
    StreamPtr closer(sp);
    char buf[8192];
    while (sgets(buf, sizeof buf, sp))
        file.raw.emplace_back(buf);
    file.readable = true;
    return true;
}

dd_tabledef_file &file_of(const std::string &machine)
{
    auto &slot = state().files[machine];
    if (!slot) {
        slot = std::make_unique<dd_tabledef_file>();
        slot->machine = machine;
    }
    return *slot;
}

/* The first line of a file matching table and company, parsing as far as
 * needed; null when none. Throws ServerListError on a malformed line. */
const TabledefLine *find_line(dd_tabledef_file &file, const char *table, int compnr)
{
    for (const auto &line : file.parsed)
        if (line_matches(line, table, compnr))
            return &line;
    while (file.next_raw < file.raw.size()) {
        size_t number = file.next_raw + 1;
        const std::string &raw = file.raw[file.next_raw];
        std::string_view text = qpd::strip(raw);
        if (text.empty() || text.front() == '#') {
            file.next_raw++;
            continue;
        }
        TabledefLine line = parse_line(file, number, raw);
        file.next_raw++;
        file.parsed.push_back(std::move(line));
        if (line_matches(file.parsed.back(), table, compnr))
            return &file.parsed.back();
    }
    return nullptr;
}

/* Parses every line of a file not parsed yet. */
void parse_all(dd_tabledef_file &file)
{
    for (; file.next_raw < file.raw.size(); file.next_raw++) {
        const std::string &raw = file.raw[file.next_raw];
        std::string_view text = qpd::strip(raw);
        if (!text.empty() && text.front() != '#')
            file.parsed.push_back(parse_line(file, file.next_raw + 1, raw));
    }
}

/* ---- audit hosts ------------------------------------------------------------------ */

void read_audit_hosts()
{
    RdicState &s = state();
    if (s.audit_hosts_read)
        return;
    s.audit_hosts_read = true;
    StreamPtr sp(open_tse_file("lib/audit_hosts"));
    if (!sp)
        return;
    char buf[8192];
    while (sgets(buf, sizeof buf, sp.get())) {
        std::string_view line = qpd::strip(buf);
        if (line.empty() || line.front() == '#')
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            log_mesg(SRC, __LINE__, "audit_hosts", 0,
                     "Colon missing; format must be <compnrs>:<hostname>");
            return;
        }
        std::string host(qpd::strip(line.substr(colon + 1)));
        for (const auto &item : split_list(line.substr(0, colon))) {
            int compnr;
            if (item == "*") {
                compnr = -1;
            } else {
                char *end = nullptr;
                long v = strtol(item.c_str(), &end, 10);
                if (*end || v < 0 || v > 999)
                    return;
                compnr = static_cast<int>(v);
            }
            auto found = s.audit_hosts.find(compnr);
            if (found != s.audit_hosts.end() && found->second != host) {
                log_mesg(SRC, __LINE__, "audit_hosts", 0,
                         "Conflicting hostnames for compnr %03d (%s and %s)", compnr,
                         found->second.c_str(), host.c_str());
                return;
            }
            s.audit_hosts[compnr] = host;
        }
    }
}

bool auditing_by_columns()
{
    return state().using_auditcols && state().using_auditcols();
}

/* ---- servers of a table ------------------------------------------------------------- */

void add_element(dd_tabledef *out, const std::vector<dd_server *> &alts, const char *table,
                 int compnr)
{
    if (out->nr_server >= DD_MAX_SERVERS) {
        log_mesg(SRC, __LINE__, "client_get_tabledef", 0,
                 "More than %d servers defined for table %s compnr %d", DD_MAX_SERVERS, table,
                 compnr);
        qpd::set_error(E_DD_NO_SERVER);
        throw ServerListError{};
    }
    dd_server_choice &entry = out->server[out->nr_server++];
    entry.nr_alt = static_cast<int>(std::min<size_t>(alts.size(), DD_MAX_ALTERNATIVES));
    std::copy(alts.begin(), alts.begin() + entry.nr_alt, entry.alt);
}

/* A driver of another machine's tabledef without its own host runs there. */
dd_server *on_machine(dd_server *server, const std::string &machine)
{
    if ((server->type & DD_SRV_REMOTE) || (server->type & DD_SRV_TYPE_MASK) == DD_SRV_MACHINE)
        return server;
    return intern_server(server->type | DD_SRV_REMOTE, machine + "!" + server->name, server->args);
}

/* The audit server made from a line's audit field, or null. */
dd_server *audit_from_field(const std::string &field, const std::string &machine)
{
    if (field == "N" || field == "n" || field.empty())
        return nullptr;
    if (field == "Y" || field == "y") {
        if (machine.empty())
            return intern_server(DD_SRV_AUDIT, "audit", "");
        return intern_server(DD_SRV_AUDIT | DD_SRV_REMOTE, machine + "!audit", "");
    }
    std::string host = field, args;
    size_t open = field.find('(');
    if (open != std::string::npos) {
        if (field.back() != ')')
            server_list_error("missing \")\"", field);
        args = convert_args(std::string_view(field).substr(open + 1, field.size() - open - 2));
        host = std::string(qpd::strip(std::string_view(field).substr(0, open)));
    }
    return intern_server(DD_SRV_AUDIT | DD_SRV_REMOTE, host + "!audit", args);
}

bool is_audit(const dd_server *s) { return (s->type & DD_SRV_TYPE_MASK) == DD_SRV_AUDIT; }

/* Hands out the elements of one line (this machine's or another's). */
void hand_out(dd_tabledef *out, const std::vector<std::vector<dd_server *>> &elements,
              const std::string &machine, const char *table, int compnr)
{
    bool skip_audit = auditing_by_columns();
    for (const auto &element : elements) {
        if (element.empty())
            continue;
        int first_type = element[0]->type & DD_SRV_TYPE_MASK;
        if (first_type != DD_SRV_MACHINE) {
            if (skip_audit && first_type == DD_SRV_AUDIT)
                continue;
            std::vector<dd_server *> alts;
            for (dd_server *s : element)
                alts.push_back(machine.empty() ? s : on_machine(s, machine));
            add_element(out, alts, table, compnr);
            continue;
        }
        bool done = false;
        for (size_t a = 0; a < element.size() && !done; a++) {
            dd_server *alt = element[a];
            if ((alt->type & DD_SRV_TYPE_MASK) != DD_SRV_MACHINE) {
                std::vector<dd_server *> rest(element.begin() + static_cast<long>(a), element.end());
                add_element(out, rest, table, compnr);
                done = true;
                break;
            }
            dd_tabledef_file &other = file_of(alt->name);
            alt->tabledef = &other;
            if (!read_file(other)) {
                alt->type |= DD_SRV_UNREADABLE;
                continue;
            }
            const TabledefLine *line = find_line(other, table, compnr);
            if (!line)
                continue;
            for (const auto &e : line->elements) {
                std::vector<dd_server *> alts;
                for (dd_server *s : e)
                    if (!(skip_audit && is_audit(s)))
                        alts.push_back(on_machine(s, other.machine));
                if (!alts.empty())
                    add_element(out, alts, table, compnr);
            }
            if (line->has_audit_field && !state().audit_disabled && !skip_audit)
                if (dd_server *s = audit_from_field(line->audit_field, other.machine))
                    add_element(out, {s}, table, compnr);
            done = true;
        }
        if (!done) {
            log_mesg(SRC, __LINE__, "client_get_tabledef", 0, "could not read tabledef for t%s%03d",
                     table, compnr);
            qpd::set_error(E_DD_NO_SERVER);
            throw ServerListError{};
        }
    }
}

void print_servers(const dd_tabledef *out, const char *table, int compnr)
{
    fprintf(stderr, "Driver(s) for %s%03d, total %d:\n", table, compnr, out->nr_server);
    for (int i = 0; i < out->nr_server; i++)
        for (int a = 0; a < out->server[i].nr_alt; a++) {
            const dd_server *s = out->server[i].alt[a];
            fprintf(stderr, "[%d] dr_type '%s' specs '%s' (type 0%o addr %p)\n", i, s->name, s->args,
                    s->type, static_cast<const void *>(s));
        }
    fprintf(stderr, "---------- start global server list -------------\n");
    for (const dd_server *s : state().servers)
        fprintf(stderr, "server '%s' specs '%s' server %p type 0%o\n", s->name,
                (s->type & DD_SRV_TYPE_MASK) == DD_SRV_MACHINE ? "*remote*" : s->args,
                static_cast<const void *>(s), s->type);
    fprintf(stderr, "--------------- end server list -----------------\n");
}

int get_tabledef(const char *table, int compnr, dd_tabledef *out)
{
    RdicState &s = state();
    out->nr_server = 0;
    bool ttaud = strncmp(table, "ttaud", 5) == 0;
    if (s.imposed) {
        hand_out(out, s.imposed_list, "", table, compnr);
    } else {
        dd_tabledef_file &local = file_of("");
        if (!read_file(local)) {
            log_mesg(SRC, __LINE__, "client_get_tabledef", 0, "could not read tabledef for t%s%03d",
                     table, compnr);
            qpd::set_error(E_DD_NO_SERVER);
            return -1;
        }
        const TabledefLine *line = find_line(local, table, compnr);
        if (line) {
            hand_out(out, line->elements, "", table, compnr);
            if (line->has_audit_field && !s.audit_disabled && !auditing_by_columns())
                if (dd_server *a = audit_from_field(line->audit_field, ""))
                    add_element(out, {a}, table, compnr);
        }
    }
    if (ttaud) {
        int kept = 0;
        for (int i = 0; i < out->nr_server; i++)
            if (!is_audit(out->server[i].alt[0]))
                out->server[kept++] = out->server[i];
        out->nr_server = kept;
    }
    if (auditing_by_columns() && !s.audit_disabled && !ttaud && s.some_column_is_logged &&
        s.some_column_is_logged(table, compnr)) {
        read_audit_hosts();
        auto host = s.audit_hosts.find(compnr);
        if (host == s.audit_hosts.end())
            host = s.audit_hosts.find(-1);
        if (host != s.audit_hosts.end()) {
            if (out->nr_server >= DD_MAX_SERVERS) {
                log_mesg(SRC, __LINE__, "client_get_tabledef", 0,
                         "Cannot define audit server for table %s compnr %d (max. number of copy servers (%d) exceeded)",
                         table, compnr, DD_MAX_SERVERS);
                qpd::set_error(E_DD_NO_SERVER);
                return -1;
            }
            add_element(out, {intern_server(DD_SRV_AUDIT | DD_SRV_REMOTE, host->second + "!audit", "")},
                        table, compnr);
        }
    }
    if (s.debug & 32)
        print_servers(out, table, compnr);
    if (out->nr_server == 0) {
        log_mesg(SRC, __LINE__, "client_get_tabledef", 0,
                 "no server defined for '%s%03d', cannot start driver", table, compnr);
        qpd::set_error(E_DD_NO_SERVER);
        return -1;
    }
    return 0;
}

} // namespace

/* ---- matching (shared with the tests) --------------------------------------------------- */

bool qpd::table_pattern_matches(const std::vector<std::string> &patterns, const char *table)
{
    for (const auto &p : patterns) {
        if (p == "*")
            return true;
        if (p.size() == 8 && strncmp(table, p.c_str(), 8) == 0 && strnlen(table, 9) == 8)
            return true;
        if (p.size() == 5 && strncmp(table, p.c_str(), 5) == 0)
            return true;
    }
    return false;
}

bool qpd::company_pattern_matches(const std::vector<std::string> &patterns, int compnr)
{
    if (patterns.empty() || compnr < 0)
        return true;
    for (const auto &p : patterns) {
        if (p == "*")
            return true;
        if (atoi(p.c_str()) == compnr)
            return true;
    }
    return false;
}

void qpd::set_tabledef_opener(TabledefOpener opener) { state().opener = opener; }

void qpd::reset_server_lists()
{
    RdicState &s = state();
    /* Server records are never freed (tables may still point to them). */
    s.retired.insert(s.retired.end(), s.servers.begin(), s.servers.end());
    s.servers.clear();
    s.files.clear();
    s.imposed = false;
    s.imposed_list.clear();
    s.audit_disabled = false;
    s.audit_hosts_read = false;
    s.audit_hosts.clear();
}

/* ---- interface ------------------------------------------------------------------------ */

void qpd_set_auditcols_hooks(int (*using_auditcols)(void),
                             int (*some_column_is_logged)(const char *, int))
{
    state().using_auditcols = using_auditcols;
    state().some_column_is_logged = some_column_is_logged;
}

void qpd_set_debug(int bits) { state().debug = bits; }

void tdb_disable_audit(void) { state().audit_disabled = true; }

int specify_server(const char *entry)
{
    RdicState &s = state();
    if (s.imposed) {
        log_mesg(SRC, __LINE__, "specify_server", 0, "Can't redefine server ('%s' ignored)",
                 entry ? entry : "");
        return 0;
    }
    if (!entry) {
        qpd::set_error(E_DD_NO_SERVER);
        return -1;
    }
    try {
        s.imposed_list = parse_server_list(entry);
    } catch (const ServerListError &) {
        return -1;
    }
    s.imposed = true;
    return 0;
}

int client_get_tabledef(const char *table, int compnr, struct dd_tabledef *out)
{
    if (!out)
        return -1;
    out->nr_server = 0;
    if (!table || strnlen(table, 9) < 5) {
        qpd::set_error(E_DD_NO_SERVER);
        return -1;
    }
    try {
        return get_tabledef(table, compnr, out);
    } catch (const ServerListError &) {
        out->nr_server = 0;
        return -1;
    }
}

struct dd_server *read_driver_for_table(const char *table, int compnr)
{
    dd_tabledef def;
    if (client_get_tabledef(table, compnr, &def) != 0)
        return nullptr;
    for (int i = 0; i < def.nr_server; i++)
        for (int a = 0; a < def.server[i].nr_alt; a++)
            if (def.server[i].alt[a]->type & DD_SRV_READ)
                return def.server[i].alt[a];
    for (int i = 0; i < def.nr_server; i++)
        if (!is_audit(def.server[i].alt[0]))
            return def.server[i].alt[0];
    return nullptr;
}

const char *get_dbc_read_driver(const char *table, int compnr)
{
    dd_server *s = read_driver_for_table(table, compnr);
    return s ? s->name : nullptr;
}

static bool serves(const std::vector<std::vector<dd_server *>> &elements, const dd_server *server,
                   const char *table)
{
    for (const auto &element : elements)
        for (dd_server *alt : element) {
            if (alt == server)
                return true;
            if ((alt->type & DD_SRV_TYPE_MASK) != DD_SRV_MACHINE)
                continue;
            dd_tabledef_file &other = file_of(alt->name);
            if (!read_file(other))
                continue;
            const TabledefLine *line = find_line(other, table, -1);
            if (!line)
                continue;
            for (const auto &e : line->elements)
                for (dd_server *s : e)
                    if (s == server || on_machine(s, other.machine) == server)
                        return true;
        }
    return false;
}

int table_in_driver(const char *table, const struct dd_server *server)
{
    if (!table || !server)
        return 0;
    if (is_audit(server))
        return 1;
    RdicState &s = state();
    try {
        if (s.imposed)
            return serves(s.imposed_list, server, table) ? 1 : 0;
        dd_tabledef_file &local = file_of("");
        if (!read_file(local))
            return 0;
        /* Every line for this table in any company. */
        parse_all(local);
        for (const auto &line : local.parsed)
            if (line_matches(line, table, -1) && serves(line.elements, server, table))
                return 1;
    } catch (const ServerListError &) {
        return 0;
    }
    return 0;
}

int get_audit_hosts(const char *table, int compnr, char *out, size_t size)
{
    if (!out || size == 0)
        return -1;
    out[0] = 0;
    dd_tabledef def;
    if (client_get_tabledef(table, compnr, &def) != 0)
        return -1;
    std::string hosts;
    for (int i = 0; i < def.nr_server; i++) {
        const dd_server *s = def.server[i].alt[0];
        if (!is_audit(s))
            continue;
        std::string_view name(s->name);
        size_t bang = name.find('!');
        if (!hosts.empty())
            hosts += ',';
        hosts += bang == std::string_view::npos ? std::string("localhost")
                                                 : std::string(name.substr(0, bang));
    }
    if (hosts.size() + 1 > size)
        return -1;
    memcpy(out, hosts.c_str(), hosts.size() + 1);
    return 0;
}

const char *qpdDDGetEnv(void)
{
    static std::string text = [] {
        const char *comb = getvar("PACKAGE_COMB");
        std::string process_text = comb ? comb : "";
        char buf[2048];
        const char *rem = getvar("TSE_REM");
        if (rem && *rem) {
            snprintf(buf, sizeof buf, "%s %s", rem, process_text.c_str());
        } else {
            std::string host = getsyshostname();
            for (auto &c : host)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            snprintf(buf, sizeof buf, "%s@%s %s", get_tse(), host.c_str(), process_text.c_str());
        }
        return std::string(buf);
    }();
    return text.c_str();
}
