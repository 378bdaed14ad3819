/*
 * qpd_ldic.cpp: reading the dictionary files of the local dictionary into
 * the records: table files ("d<code>", ".new" in the new dictionary) with
 * the row layout, extra columns, keys, groups, references and audit
 * ranges, and domain files ("d<package>.pd") with their enum lists.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "al_log.h"
#include "al_mem.h"
#include "al_stream.h"
#include "qpd_internal.h"
#include "tss.h"

#define SRC "lib/qpd/qpd_ldic.cpp"

namespace qpd {
namespace {

/* ---- types ----------------------------------------------------------------- */

/* Lines of a dictionary file. */
using Lines = std::vector<std::string>;

struct StreamCloser {
    void operator()(STREAM *sp) const { sclose(sp); }
};
using StreamPtr = std::unique_ptr<STREAM, StreamCloser>;

/* An outgoing reference as read from a column record. */
struct RefDraft {
    std::string to;
    std::string text;
    std::string mode_code;
};

/* A column record before the layout is made. */
struct ColumnDraft {
    std::string name;
    _dd_domain *domain = nullptr;
    std::string domain_name;
    int elements = 1;
    std::string default_text;
    unsigned char flags = 0;
    bool combined = false;
    std::vector<std::string> part_names;
    std::vector<RefDraft> refs;
};

/* An index record. */
struct KeyDraft {
    int keynr = 0;
    int attr_a = 0;
    int attr_du = 0;
    std::vector<std::string> parts;
    std::string first_column;
};

/* Everything a table file says, in file order. */
struct TableDraft {
    std::string u_text, d_text;
    std::vector<ColumnDraft> columns;
    std::vector<KeyDraft> keys;
    std::vector<std::vector<std::string>> groups;
    std::vector<std::pair<std::string, std::string>> incoming; /* name, mode code */
    bool has_audit = false;
    std::vector<std::string> audited;
    bool has_sequence = false;
    std::vector<std::string> sequence;
};

/* Thrown inside the loader only; caught in load_table. */
struct LoadError {};

/* ---- line helpers ----------------------------------------------------------- */

char col(const std::string &line, size_t n) { return line.size() >= n ? line[n - 1] : '\0'; }

std::string value_of(const std::string &line)
{
    return line.size() > 6 ? line.substr(6) : std::string();
}

/* Fields of exactly 17 characters, each stripped; the last may be short. */
void split_fields(const std::string &text, std::vector<std::string> &out)
{
    for (size_t pos = 0; pos < text.size(); pos += 17) {
        std::string_view f = strip(std::string_view(text).substr(pos, 17));
        if (!f.empty())
            out.emplace_back(f);
    }
}

int decimal(const std::string &text) { return atoi(text.c_str()); }

Lines read_lines(STREAM *sp)
{
    Lines lines;
    char buf[8192];
    while (sgets(buf, sizeof buf, sp))
        lines.emplace_back(buf);
    return lines;
}

[[noreturn]] void fail(int code) 
{
    set_error(code);
    throw LoadError{};
}

/* ---- domain files --------------------------------------------------------------- */

/* Splits an enum entry text at "~" (with \~ and \\ escapes; a byte 155
 * starts four bytes copied unchanged); each field stripped. */
std::vector<std::string> split_enum_fields(std::string_view text)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 155) {
            fields.back().append(text.substr(i, 4));
            i += 3;
        } else if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '~' || text[i + 1] == '\\')) {
            fields.back() += text[++i];
        } else if (c == '~') {
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(c);
        }
    }
    for (auto &f : fields)
        f = std::string(strip(f));
    return fields;
}

struct DomainDraft {
    _dd_domain domain{};
    std::string attrs[5];
    std::string languages;
    struct Entry {
        int number;
        std::vector<std::string> fields;
    };
    std::vector<Entry> entries;
};

void build_enum_lists(DomainDraft &d, std::map<std::string, const char *> &shared)
{
    /* The word of an enum or set domain is the head of its lists, whatever
     * a DIV or CO line stored there while the type was another one. */
    d.domain.word.enums = nullptr;
    _dd_enum_list **tail = &d.domain.word.enums;
    for (size_t lang = 0; lang < d.languages.size(); lang++) {
        auto *list = static_cast<_dd_enum_list *>(alloc_zeroed(sizeof(_dd_enum_list)));
        list->language = d.languages[lang];
        list->count = static_cast<short>(d.entries.size());
        list->entries = static_cast<_dd_enum_entry *>(
            alloc_zeroed(sizeof(_dd_enum_entry) * std::max<size_t>(d.entries.size(), 1)));
        for (size_t i = 0; i < d.entries.size(); i++) {
            const auto &e = d.entries[i];
            _dd_enum_entry &out = list->entries[i];
            snprintf(out.keyword, sizeof out.keyword, "%.16s", e.fields[0].c_str());
            std::string desc = lang + 1 < e.fields.size() ? e.fields[lang + 1] : "";
            if (desc.size() > 256)
                desc.resize(256);
            auto found = shared.find(desc);
            if (found == shared.end())
                found = shared.emplace(desc, save_string(desc)).first;
            out.description = found->second;
            list->max_desc_length =
                std::max<short>(list->max_desc_length, static_cast<short>(desc.size()));
            out.value = d.domain.type == TDB_SET
                            ? (e.number >= 1 && e.number <= 32 ? static_cast<int>(1u << (e.number - 1)) : 0)
                            : e.number;
        }
        *tail = list;
        tail = &list->next;
    }
}

void finish_domain(DomainDraft &d, std::map<std::string, const char *> &shared)
{
    _dd_domain &dom = d.domain;
    std::string block;
    bool any = false;
    for (auto &a : d.attrs) {
        block += a;
        block += '\0';
        any = any || !a.empty();
    }
    if (any) {
        char *p = static_cast<char *>(alloc_zeroed(block.size()));
        memcpy(p, block.data(), block.size());
        dom.attrs = p;
    } else {
        dom.attrs = dd_info.empty_attrs;
    }
    if (dom.type == TDB_ENUM || dom.type == TDB_SET)
        build_enum_lists(d, shared);
    if (dom.type == TDB_MBSTRING && TssGetMode() == 2) {
        int need = dom.display_width * (TssGetZeroWidthFactor() * 4 + 4);
        if (dom.width < need)
            log_mesg(SRC, __LINE__, "read_domain_list", 0,
                     "WARNING: invalid string len for %s (CLEN): %d", dom.name, dom.width);
    }
}

/* Reads the D records of a domain file. */
std::vector<DomainDraft> parse_domains(const Lines &lines)
{
    std::vector<DomainDraft> out;
    for (size_t li = 0; li < lines.size(); li++) {
        const std::string &line = lines[li];
        if (line.empty())
            continue;
        if (line[0] != ':') {
            if (line[0] == 'D') {
                out.emplace_back();
                out.back().domain.range_text = "";
            }
            continue;
        }
        if (out.empty())
            continue;
        DomainDraft &d = out.back();
        _dd_domain &dom = d.domain;
        std::string v = value_of(line);
        switch (col(line, 2)) {
        case 'N':
            snprintf(dom.package, sizeof dom.package, "%.2s", v.c_str());
            snprintf(dom.name, sizeof dom.name, "%.12s",
                     v.size() > 2 ? std::string(strip(v.substr(2))).c_str() : "");
            break;
        case 'T': {
            char letter = col(line, 7);
            const dd_type_def *t = dd_type_from_letter(letter);
            dom.type = t ? t->type : 0;
            if (t && letter != 's' && letter != 'r')
                dom.width = t->width;
            if (letter == 'e' || letter == 'p')
                d.languages = std::string(strip(v.size() > 1 ? v.substr(1) : ""));
            if (dom.type == TDB_BYTE)
                dom.variant = letter == 'B';
            break;
        }
        case 'C':
            if (col(line, 3) == 'L') {
                int width = decimal(v);
                dom.width = static_cast<short>(width);
                if (width <= 0)
                    log_mesg(SRC, __LINE__, "read_domain_list", 0,
                             "WARNING: invalid string len for %c%c%s (CLEN): %d", dom.package[0],
                             dom.package[1], dom.name, width);
            } else if (col(line, 3) == 'O') {
                if (dom.type == TDB_STRING || dom.type == TDB_MBSTRING)
                    dom.word.value = static_cast<unsigned char>(col(line, 7));
            }
            break;
        case 'D':
            if (col(line, 3) == 'I' && col(line, 4) == 'G' && col(line, 5) == 'V')
                dom.digits_before = static_cast<unsigned char>(decimal(v));
            else if (col(line, 3) == 'I' && col(line, 4) == 'G' && col(line, 5) == 'A')
                dom.digits_after = static_cast<unsigned char>(decimal(v));
            else if (col(line, 3) == 'I' && col(line, 4) == 'V') {
                if (dom.type != TDB_ENUM && dom.type != TDB_SET && dom.type != TDB_STRING &&
                    dom.type != TDB_MBSTRING)
                    dom.word.value = decimal(v);
            } else if (col(line, 3) == 'M')
                d.attrs[DD_ATTR_DM] = v;
            break;
        case 'I':
            if (col(line, 3) == 'F')
                d.attrs[DD_ATTR_IF] = v;
            else if (col(line, 3) == 'L')
                d.attrs[DD_ATTR_IL] = v;
            break;
        case 'L':
            d.attrs[DD_ATTR_L] = v;
            break;
        case 'O':
            d.attrs[DD_ATTR_O] = v;
            break;
        case 'P':
            dom.display_width = static_cast<short>(decimal(v));
            break;
        case 'A':
            dom.attr = col(line, 7);
            break;
        case 'R':
            if (col(line, 3) == 'A') {
                std::string_view text = strip(v);
                if (!text.empty())
                    dom.range_text = save_string(text);
            } else if (col(line, 3) == 'N') {
                dom.rn = static_cast<short>(decimal(v));
            }
            break;
        case 'B': {
            int n = decimal(v);
            for (int i = 0; i < n && li + 1 < lines.size(); i++) {
                const std::string &entry = lines[++li];
                DomainDraft::Entry e;
                e.number = entry.size() > 1 ? atoi(entry.substr(1, 3).c_str()) : 0;
                e.fields = split_enum_fields(entry.size() > 4 ? std::string_view(entry).substr(4)
                                                              : std::string_view());
                out.back().entries.push_back(std::move(e));
            }
            break;
        }
        default:
            break;
        }
    }
    return out;
}

} // namespace

/* ---- tables --------------------------------------------------------------------- */

namespace {

/* Reads the parts of a table file into the draft (structure only). */
void parse_table(const Lines &lines, TableDraft &t)
{
    size_t li = 0;
    /* Header. */
    for (; li < lines.size() && (lines[li].empty() || lines[li][0] == ':'); li++) {
        const std::string &line = lines[li];
        if (col(line, 2) == 'R' && col(line, 5) == 'U')
            t.u_text = value_of(line).substr(0, 14);
        else if (col(line, 2) == 'R' && col(line, 5) == 'D')
            t.d_text = value_of(line).substr(0, 26);
    }
    char record = 0;
    bool seen_f = false;
    for (; li < lines.size(); li++) {
        const std::string &line = lines[li];
        if (line.empty())
            continue;
        if (line[0] != ':') {
            record = line[0];
            if (!seen_f && record != 'D' && record != 'F') {
                log_mesg(SRC, __LINE__, "ddtable", 0, "first record of table file is not F");
                fail(E_DD_ERROR);
            }
            if (record == 'F') {
                seen_f = true;
                t.columns.emplace_back();
            } else if (record == 'I') {
                t.keys.emplace_back();
            } else if (record == 'L') {
                t.groups.emplace_back();
            } else if (record == 'A') {
                t.has_audit = true;
            } else if (record == 'S') {
                t.has_sequence = true;
            }
            continue;
        }
        std::string v = value_of(line);
        switch (record) {
        case 'F': {
            ColumnDraft &c = t.columns.back();
            char c2 = col(line, 2), c3 = col(line, 3), c4 = col(line, 4), c5 = col(line, 5);
            if (c2 == 'N') {
                c.name = std::string(strip(v));
                c.default_text.clear();
            } else if (c2 == 'D' && c3 == 'O') {
                c.domain_name = std::string(strip(v));
            } else if (c2 == 'D' && c3 == 'E' && c4 == 'P') {
                c.elements = decimal(v);
            } else if (c2 == 'D' && c3 == 'E' && c4 == 'F') {
                c.default_text = v;
            } else if (c2 == 'D' && c3 == 'B') {
                c.flags |= DD_COL_NOT_IN_DB;
            } else if (c2 == 'F') {
                c.flags |= DD_COL_MANDATORY;
            } else if (c2 == 'C') {
                c.combined = true;
                split_fields(v, c.part_names);
            } else if (c2 == 'T') {
                c.combined = true;
            } else if (c2 == 'R' && c3 == 'E' && c5 == 'M') {
                if (!c.refs.empty())
                    c.refs.back().mode_code = std::string(strip(v)).substr(0, 5);
            } else if (c2 == 'R' && c3 == 'E') {
                c.refs.push_back({std::string(strip(v.substr(0, 17))), "", ""});
                c.flags |= DD_COL_REF;
            } else if (c2 == 'R' && c3 == 'F') {
                if (!c.refs.empty())
                    c.refs.back().text = v.substr(0, 14);
            }
            break;
        }
        case 'I': {
            KeyDraft &k = t.keys.back();
            char c2 = col(line, 2);
            if (c2 == 'I')
                k.keynr = decimal(v);
            else if (c2 == 'A')
                k.attr_a = col(line, 7) - '0';
            else if (c2 == 'D' && col(line, 3) == 'U')
                k.attr_du = col(line, 7) - '0';
            else if (c2 == 'K' && col(line, 5) == 'F')
                split_fields(v, k.parts);
            else if (c2 == 'K' && col(line, 5) == 'L')
                k.first_column = std::string(strip(v));
            break;
        }
        case 'L':
            split_fields(v, t.groups.back());
            break;
        case 'R':
            if (col(line, 2) == 'R')
                t.incoming.emplace_back(std::string(strip(v.substr(0, 17))),
                                        std::string(strip(v.size() > 17 ? v.substr(17) : "")));
            break;
        case 'A':
            split_fields(v, t.audited);
            break;
        case 'S':
            split_fields(v, t.sequence);
            break;
        default:
            break;
        }
    }
    if (!seen_f) {
        log_mesg(SRC, __LINE__, "ddtable", 0, "first record of table file is not F");
        fail(E_DD_ERROR);
    }
}

/* The domain of a column: the selected dictionary, in the new one also the
 * current dictionary. */
_dd_domain *find_column_domain(const std::string &name)
{
    _dd_domain *d = dddomain_with_read(name.c_str());
    if (!d && (dd_info.flags & DD_NEW)) {
        int saved = dd_info.flags;
        dd_info.flags = (dd_info.flags & ~DD_NEW) | DD_CURRENT;
        forget_memos();
        d = dddomain_with_read(name.c_str());
        dd_info.flags = saved;
        forget_memos();
    }
    if (!d) {
        log_mesg(SRC, __LINE__, "ddtable", 0, "search domain '%s' failed\n", name.c_str());
        fail(E_DD_ERROR);
    }
    return d;
}

/* Deepest nesting of combined columns a table may have. */
constexpr int kMaxCombinedDepth = 32;

/*
 * The nesting depth of column c of the array cols (1 for a plain column),
 * memoised in depth; -1 when the walk goes deeper than kMaxCombinedDepth
 * levels, which a column that is, through its parts, a part of itself
 * always does (it is never memoised before its walk ends).
 */
int combined_depth(_dd_column *cols, int ncols, const _dd_column *c, std::vector<int> &depth, int level)
{
    if (level > kMaxCombinedDepth)
        return -1;
    if (c < cols || c >= cols + ncols)
        return 1;
    int &known = depth[static_cast<size_t>(c - cols)];
    if (known != 0)
        return known;
    int deepest = 0;
    if (c->type == TDB_COMBINED && !(c->flags & DD_COL_INDEX) && c->parts) {
        for (_dd_column **p = c->parts; *p; p++) {
            int d = combined_depth(cols, ncols, *p, depth, level + 1);
            if (d < 0)
                return -1;
            deepest = std::max(deepest, d);
        }
    }
    known = deepest + 1;
    return known;
}

/* The offset of the first stored column of c (c itself when stored). */
int first_offset(const _dd_column *c)
{
    while (c->type == TDB_COMBINED && !(c->flags & DD_COL_INDEX) && c->parts && c->parts[0])
        c = c->parts[0];
    return c->offset;
}

int stored_length(const _dd_column *c)
{
    if (c->type != TDB_COMBINED)
        return c->length;
    int n = 0;
    if (c->parts)
        for (_dd_column **p = c->parts; *p; p++)
            n += stored_length(*p);
    return n;
}

_dd_column **column_list(const std::vector<_dd_column *> &v)
{
    auto **list = static_cast<_dd_column **>(alloc_zeroed((v.size() + 1) * sizeof(_dd_column *)));
    std::copy(v.begin(), v.end(), list);
    return list;
}

bool by_field(const _dd_column &a, const _dd_column &b)
{
    return field_of(a.name) < field_of(b.name);
}

/* Makes the table record's contents from the draft. */
void build_table(_dd_table *table, TableDraft &draft)
{
    const int nf = static_cast<int>(draft.columns.size());
    const int nk = static_cast<int>(draft.keys.size());
    const int ncols = nf + 2 + nk;
    auto *cols = static_cast<_dd_column *>(alloc_zeroed(sizeof(_dd_column) * ncols));
    std::vector<unsigned char> scratch(DD_MAX_ROW + 8, 0);

    /* Columns in row order. */
    int running = 0;
    int data_length = 0;
    for (int i = 0; i < nf; i++) {
        ColumnDraft &d = draft.columns[i];
        _dd_column &c = cols[i];
        snprintf(c.name, sizeof c.name, "%.20s", d.name.c_str());
        c.flags = d.flags;
        int elements = d.elements > 0 ? d.elements : 1;
        c.elements = static_cast<unsigned char>(std::min(elements, 255));
        c.offset = static_cast<unsigned short>(running);
        if (d.combined) {
            c.type = TDB_COMBINED;
            c.length = 0;
        } else {
            c.domain = find_column_domain(d.domain_name);
            c.type = c.domain->type;
            int width = std::max<int>(c.domain->width, 0);
            if (c.elements > 1)
                c.flags |= DD_COL_ARRAY;
            c.length = static_cast<unsigned short>(std::min(width * c.elements, 65535));
            running += width * c.elements;
        }
        if (running > DD_MAX_DATA) {
            log_mesg(SRC, __LINE__, "ddtable", 0, "table %s exceeds max rowlength (=%d)",
                     table->code, DD_MAX_ROW);
            fail(E_DD_ERROR);
        }
        if (!(c.flags & DD_COL_NOT_IN_DB))
            data_length = c.offset + c.length;
        if (!d.combined)
            fill_default(&c, scratch.data(), d.default_text.c_str());
    }
    table->data_length = static_cast<unsigned short>(data_length);
    table->row_length = static_cast<unsigned short>(data_length + 6);
    /* Columns not stored in the database may lie behind the row length:
     * the default row has room for them too, so that every column of the
     * table can be read from it. */
    size_t default_size = std::max<size_t>(table->row_length, static_cast<size_t>(running));
    table->default_row = static_cast<unsigned char *>(alloc_zeroed(default_size));
    memcpy(table->default_row, scratch.data(), default_size);
    table->nr_keys = static_cast<unsigned char>(nk);

    /* Extra columns, and one index pseudo-column per key named by its number. */
    make_extra_columns(table, &cols[nf]);
    for (int k = 0; k < nk; k++) {
        _dd_column &c = cols[nf + 2 + k];
        c.type = TDB_COMBINED;
        c.elements = 1;
        c.flags = DD_COL_INDEX;
        int keynr = draft.keys[k].keynr;
        if (keynr < 1 || keynr > 127) {
            fprintf(stderr, "Illegal key %d nr %d\n", k + 1, keynr);
            keynr = k + 1;
        }
        std::string name = std::string(table->code) + "._index" + std::to_string(keynr);
        snprintf(c.name, sizeof c.name, "%s", name.c_str());
    }
    table->columns = cols;
    table->nr_columns = static_cast<short>(ncols);
    std::stable_sort(cols, cols + ncols, by_field);
    put_compnr_in_row(table, table->default_row, -1);

    /* Combined columns: parts by name. */
    for (int i = 0; i < nf; i++) {
        const ColumnDraft &d = draft.columns[i];
        if (!d.combined)
            continue;
        _dd_column *c = ddcolumn_by_ddtable(table, d.name.c_str());
        if (!c || d.part_names.empty())
            continue;
        std::vector<_dd_column *> parts;
        for (const auto &pn : d.part_names) {
            _dd_column *p = ddcolumn_by_ddtable(table, pn.c_str());
            if (!p) {
                log_mesg(SRC, __LINE__, "ddtable", 0,
                         "Can't find child column - dictionary may contain conflicting versions or could be corrupted");
                fail(E_DD_ERROR);
            }
            parts.push_back(p);
        }
        c->parts = column_list(parts);
    }
    /* Every walk through combined parts recurses: a column that is its own
     * part, or a nesting deeper than any real table has, is refused. */
    std::vector<int> depth(static_cast<size_t>(ncols), 0);
    for (int i = 0; i < ncols; i++) {
        int d = combined_depth(cols, ncols, &cols[i], depth, 0);
        if (d < 0 || d > kMaxCombinedDepth + 1) {
            log_mesg(SRC, __LINE__, "ddtable", 0,
                     "combined column %s is part of itself or nested deeper than %d levels", cols[i].name,
                     kMaxCombinedDepth);
            fail(E_DD_ERROR);
        }
    }
    for (int i = 0; i < ncols; i++) {
        _dd_column &c = cols[i];
        if (c.type != TDB_COMBINED || (c.flags & DD_COL_INDEX) || !c.parts)
            continue;
        /* The parts may be combined columns whose own place is not set
         * yet (the array is in name order): the first stored column. */
        c.offset = static_cast<unsigned short>(first_offset(&c));
        c.length = static_cast<unsigned short>(stored_length(&c));
        for (_dd_column **p = c.parts; *p; p++) {
            (*p)->flags |= DD_COL_PART;
            if (c.flags & DD_COL_REF)
                (*p)->flags |= DD_COL_PART_REF;
        }
    }

    /* Outgoing references, sorted by the referencing field name. */
    std::vector<_dd_ref> refs;
    for (const auto &d : draft.columns)
        for (const auto &r : d.refs) {
            _dd_ref ref{};
            snprintf(ref.column_name, sizeof ref.column_name, "%.20s", d.name.c_str());
            snprintf(ref.to_name, sizeof ref.to_name, "%.17s", r.to.c_str());
            snprintf(ref.text, sizeof ref.text, "%.14s", r.text.c_str());
            ref.mode = ref_mode_from_code(r.mode_code);
            refs.push_back(ref);
        }
    std::stable_sort(refs.begin(), refs.end(), [](const _dd_ref &a, const _dd_ref &b) {
        return field_of(a.column_name) < field_of(b.column_name);
    });
    table->nr_refs = static_cast<short>(refs.size());
    if (!refs.empty()) {
        table->refs = static_cast<_dd_ref *>(alloc_zeroed(sizeof(_dd_ref) * refs.size()));
        std::copy(refs.begin(), refs.end(), table->refs);
    }

    /* Keys. */
    if (nk > 0) {
        table->keys = static_cast<_dd_key *>(alloc_zeroed(sizeof(_dd_key) * nk));
        for (int k = 0; k < nk; k++) {
            const KeyDraft &d = draft.keys[k];
            _dd_key &key = table->keys[k];
            key.keynr = static_cast<signed char>(d.keynr);
            key.attr_a = static_cast<unsigned char>(std::max(d.attr_a, 0));
            key.attr_du = static_cast<unsigned char>(std::max(d.attr_du, 0));
            std::vector<_dd_column *> parts;
            int length = 0;
            for (const auto &pn : d.parts) {
                _dd_column *p = ddcolumn_by_ddtable(table, pn.c_str());
                if (!p) {
                    log_mesg(SRC, __LINE__, "ddtable", 0, "column %s not found in DD", pn.c_str());
                    fail(E_DD_ERROR);
                }
                parts.push_back(p);
                length += stored_length(p);
            }
            if (length > DD_MAX_KEY) {
                log_mesg(SRC, __LINE__, "ddtable", 0,
                         "table %s exceeds max indexlength (=%d) for index %d", table->code,
                         DD_MAX_KEY, d.keynr);
                fail(E_DD_ERROR);
            }
            key.parts = column_list(parts);
            /* The index pseudo-column: the key's stored columns. */
            char pseudo[24];
            snprintf(pseudo, sizeof pseudo, "_index%d", d.keynr);
            _dd_column *ic = ddcolumn_by_ddtable(table, pseudo);
            if (ic && (ic->flags & DD_COL_INDEX)) {
                std::vector<_dd_column *> flat(DD_MAX_KEY_PARTS);
                int n = list_columns(key.parts, flat.data(), DD_MAX_KEY_PARTS);
                flat.resize(static_cast<size_t>(std::max(n, 0)));
                ic->parts = column_list(flat);
                ic->offset = flat.empty() ? 0 : flat[0]->offset;
                ic->length = static_cast<unsigned short>(length);
            }
        }
        /* Key 1 by number (the first in the file when there is none). */
        int first = 0;
        for (int k = 0; k < nk; k++)
            if (draft.keys[k].keynr == 1) {
                first = k;
                break;
            }
        const KeyDraft &k1 = draft.keys[first];
        if (!k1.first_column.empty())
            table->first_key_column = ddcolumn_by_ddtable(table, k1.first_column.c_str());
        if (!table->first_key_column && table->keys[first].parts)
            table->first_key_column = table->keys[first].parts[0];
    }

    /* Column groups. */
    if (!draft.groups.empty()) {
        std::vector<bool> grouped(static_cast<size_t>(ncols), false);
        std::vector<std::vector<unsigned short>> groups;
        for (const auto &names : draft.groups) {
            std::vector<unsigned short> g;
            for (const auto &name : names) {
                if (name.size() >= 8 && name.compare(0, 8, table->code) != 0) {
                    log_mesg(SRC, __LINE__, "ddtable", 0, "Column offset too large or too small.\n");
                    fail(E_DD_ERROR);
                }
                _dd_column *c = ddcolumn_by_ddtable(table, name.c_str());
                if (!c)
                    continue;
                std::vector<_dd_column *> flat(static_cast<size_t>(ncols) + 1);
                int n = list_column_columns(c, flat.data(), ncols + 1);
                for (int i = 0; i < n; i++) {
                    auto index = static_cast<unsigned short>(flat[static_cast<size_t>(i)] - cols);
                    g.push_back(index);
                    grouped[index] = true;
                }
            }
            groups.push_back(std::move(g));
        }
        for (int i = 0; i < ncols; i++)
            if (cols[i].type != TDB_COMBINED && !(cols[i].flags & DD_COL_NOT_IN_DB) && !grouped[static_cast<size_t>(i)])
                groups.push_back({static_cast<unsigned short>(i)});
        std::vector<unsigned short> packed{static_cast<unsigned short>(groups.size())};
        for (const auto &g : groups) {
            packed.push_back(static_cast<unsigned short>(g.size()));
            packed.insert(packed.end(), g.begin(), g.end());
        }
        table->column_groups =
            static_cast<unsigned short *>(alloc_zeroed(packed.size() * sizeof(unsigned short)));
        std::copy(packed.begin(), packed.end(), table->column_groups);
    }

    /* Incoming references. */
    table->nr_ref_by = static_cast<short>(draft.incoming.size());
    if (!draft.incoming.empty()) {
        table->ref_by = static_cast<_dd_ref_by *>(
            alloc_zeroed(sizeof(_dd_ref_by) * draft.incoming.size()));
        for (size_t i = 0; i < draft.incoming.size(); i++) {
            snprintf(table->ref_by[i].name, sizeof table->ref_by[i].name, "%.17s",
                     draft.incoming[i].first.c_str());
            table->ref_by[i].mode = ref_mode_from_code(draft.incoming[i].second);
        }
    }

    /* Reference counters and rcd_utc. */
    table->refcnt_u = ddcolumn_by_ddtable(table, "Refcntu");
    table->refcnt_d = ddcolumn_by_ddtable(table, "Refcntd");
    if (_dd_column *utc = ddcolumn_by_ddtable(table, "rcd_utc")) {
        const char *problem = nullptr;
        if (utc->type != TDB_TIME)
            problem = "rcd_utc column must be of type TDB_TIME";
        else if (utc->elements > 1)
            problem = "rcd_utc column cannot be an array column";
        else if (utc->flags & DD_COL_NOT_IN_DB)
            problem = "rcd_utc column must be active in the database";
        if (problem) {
            log_mesg(SRC, __LINE__, "ddtable", 0, "%s", problem);
            fail(E_DD_ERROR);
        }
        table->rcd_utc = utc;
    }

    /* Audit ranges. */
    std::vector<_dd_column *> audited;
    if (draft.has_audit) {
        for (const auto &name : draft.audited) {
            _dd_column *c = ddcolumn_by_ddtable(table, name.c_str());
            if (!c)
                continue;
            c->flags |= DD_COL_AUDIT;
            std::vector<_dd_column *> flat(static_cast<size_t>(ncols) + 1);
            int n = list_column_columns(c, flat.data(), ncols + 1);
            audited.insert(audited.end(), flat.begin(), flat.begin() + std::max(n, 0));
        }
    } else {
        for (int i = 0; i < ncols; i++) {
            _dd_column *c = &cols[i];
            if (c->type != TDB_COMBINED && !(c->flags & DD_COL_NOT_IN_DB) && c != table->refcnt_u &&
                c != table->refcnt_d)
                audited.push_back(c);
        }
    }
    std::sort(audited.begin(), audited.end(),
              [](const _dd_column *a, const _dd_column *b) { return a->offset < b->offset; });
    std::vector<dd_audit_range> ranges;
    for (const _dd_column *c : audited) {
        if (c->length == 0)
            continue;
        if (!ranges.empty() && ranges.back().offset + ranges.back().length >= c->offset) {
            int end = std::max(ranges.back().offset + ranges.back().length, c->offset + c->length);
            ranges.back().length = static_cast<unsigned short>(end - ranges.back().offset);
        } else {
            ranges.push_back({c->offset, c->length});
        }
    }
    ranges.push_back({0, 0});
    table->audit_ranges =
        static_cast<dd_audit_range *>(alloc_zeroed(sizeof(dd_audit_range) * ranges.size()));
    std::copy(ranges.begin(), ranges.end(), table->audit_ranges);

    /* Sequence columns. */
    if (draft.has_sequence) {
        std::vector<_dd_column *> seq;
        for (const auto &name : draft.sequence)
            if (_dd_column *c = ddcolumn_by_ddtable(table, name.c_str()))
                seq.push_back(c);
        table->sequence_columns = column_list(seq);
    }
    snprintf(table->u_text, sizeof table->u_text, "%s", draft.u_text.c_str());
    snprintf(table->d_text, sizeof table->d_text, "%s", draft.d_text.c_str());
}

/* Binds outgoing references to the referenced tables' incoming entries and
 * this table's incoming entries to the referring tables. */
void link_references(_dd_table *table)
{
    for (int i = 0; i < table->nr_refs; i++) {
        _dd_ref &r = table->refs[i];
        r.column = ddcolumn_by_ddtable(table, r.column_name);
        r.table = table;
        _dd_table *to = cache_find_table(std::string_view(r.to_name, strnlen(r.to_name, 8)),
                                         table->mode_bits);
        if (!to)
            continue;
        for (int k = 0; k < to->nr_ref_by; k++)
            if (strcmp(to->ref_by[k].name, r.column_name) == 0)
                to->ref_by[k].ref = &r;
    }
    for (int i = 0; i < table->nr_ref_by; i++) {
        _dd_ref_by &in = table->ref_by[i];
        std::string other(in.name, strnlen(in.name, 8));
        _dd_table *from = cache_find_table(other, table->mode_bits);
        if (!from && (dd_info.flags & DD_LOAD_REFS)) {
            from = ddtable(other.c_str());
            if (!from) {
                log_mesg(SRC, __LINE__, "ddtable", 0, "DD for %s not found", other.c_str());
                set_error(0);
            }
        }
        if (!from)
            continue;
        for (int k = 0; k < from->nr_refs; k++)
            if (strcmp(from->refs[k].column_name, in.name) == 0)
                in.ref = &from->refs[k];
    }
}

} // namespace

/* The table record of the last failed load, used again by the next. */
static _dd_table *spare_table;

void forget_spare_table() { spare_table = nullptr; }

_dd_table *load_table(const char *code)
{
    std::string plain = std::string("F_BRDD:d") + std::string(code, 8);
    StreamPtr sp;
    bool from_new = false;
    if (dd_info.flags & DD_NEW) {
        sp.reset(sopen((plain + ".new").c_str(), "r"));
        from_new = sp != nullptr;
    }
    if (!sp)
        sp.reset(sopen(plain.c_str(), "r"));
    if (!sp) {
        set_error(E_DD_NOT_FOUND);
        return nullptr;
    }
    dd_info.last_from_new = from_new;
    Lines lines = read_lines(sp.get());
    sp.reset();

    /* A record left by a failed load is used again. */
    _dd_table *table = spare_table ? spare_table : static_cast<_dd_table *>(alloc_zeroed(sizeof(_dd_table)));
    spare_table = nullptr;
    if (!table) {
        set_error(E_DD_NO_MEMORY);
        return nullptr;
    }
    memset(table, 0, sizeof *table);
    snprintf(table->code, sizeof table->code, "%.8s", code);
    table->mode_bits = static_cast<unsigned char>(selected_bits());
    cache_link_table(table);
    /* Everything the build allocates goes again when it fails (local
     * dictionary only: a shared allocator has no free). */
    std::vector<void *> made;
    std::vector<void *> *outer = track_allocations(&made);
    bool ok = true;
    try {
        TableDraft draft;
        parse_table(lines, draft);
        build_table(table, draft);
    } catch (const LoadError &) {
        ok = false;
    }
    track_allocations(outer);
    if (ok && (dd_info.flags & DD_NEW) && !from_new) {
        /* No new definition of this table. */
        set_error(E_DD_NOT_FOUND);
        ok = false;
    }
    if (!ok) {
        cache_unlink_table(table);
        if (!(dd_info.flags & DD_GLOBAL))
            for (void *p : made)
                mal_free(p);
        spare_table = table;
        return nullptr;
    }
    link_references(table);
    return table;
}

} // namespace qpd

using namespace qpd;

struct _dd_domain_list *read_domain_list(const char *name)
{
    if (!name || strnlen(name, 2) < 2)
        return nullptr;
    /* Domain lists stay even when the table load that asked for them fails. */
    struct Untracked {
        std::vector<void *> *outer = track_allocations(nullptr);
        ~Untracked() { track_allocations(outer); }
    } untracked;
    std::string package(name, 2);
    std::string file = "{nofdlog}F_BRDD:d" + package + ".pd";
    bool is_new = dd_info.flags & DD_NEW;
    if (is_new)
        file += ".new";
    auto *list = static_cast<_dd_domain_list *>(alloc_zeroed(sizeof(_dd_domain_list)));
    if (!list)
        return nullptr;
    memcpy(list->package, package.data(), 2);
    list->mode_bits = static_cast<unsigned char>(selected_bits());
    StreamPtr sp(sopen(file.c_str(), "r"));
    if (!sp) {
        /* Remember the miss. */
        cache_link_domain_list(list);
        return nullptr;
    }
    Lines lines = read_lines(sp.get());
    sp.reset();
    std::vector<DomainDraft> drafts = parse_domains(lines);
    std::map<std::string, const char *> shared;
    for (auto &d : drafts) {
        std::map<std::string, const char *> own;
        finish_domain(d, dd_info.flags & DD_GLOBAL ? shared : own);
    }
    list->count = static_cast<int>(drafts.size());
    list->domains = static_cast<_dd_domain *>(alloc_zeroed(sizeof(_dd_domain) * drafts.size()));
    for (size_t i = 0; i < drafts.size(); i++)
        list->domains[i] = drafts[i].domain;
    std::sort(list->domains, list->domains + list->count,
              [](const _dd_domain &a, const _dd_domain &b) { return strcmp(a.name, b.name) < 0; });
    /* Range expressions are compiled once the domains have their place. */
    for (int i = 0; i < list->count; i++)
        qpd_compile_range(&list->domains[i]);
    if (is_new)
        dd_info.last_from_new = 1;
    cache_link_domain_list(list);
    return list;
}
