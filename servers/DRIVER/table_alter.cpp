/*
 * table_alter.cpp: the comparison of a table's old and new layout for
 * request 15 (which columns are kept, added, dropped, renamed, retyped or
 * narrowed, which indexes change) and the conversion of a row buffer from
 * the old layout to the new one.
 */
#include "table_alter.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>

#include "qpd_dd.h"

namespace tdbdriver {

namespace {

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

/* The base of a type: the long-valued types are longs, an enum a byte. */
int base_type(int type)
{
    switch (type) {
    case TDB_TEXT:
    case TDB_LONG_V:
    case TDB_SET:
        return TDB_LONG;
    case TDB_ENUM:
        return TDB_BYTE;
    default:
        return type;
    }
}

bool is_string(int base)
{
    return base == TDB_STRING || base == TDB_MBSTRING;
}

/* May a value of base type a be kept in a column of base type b? */
bool widens(int a, int b)
{
    if (a == b)
        return true;
    switch (a) {
    case TDB_BYTE:
        return b == TDB_INTEGER || b == TDB_LONG || b == TDB_FLOAT || b == TDB_DOUBLE;
    case TDB_INTEGER:
        return b == TDB_LONG || b == TDB_FLOAT || b == TDB_DOUBLE;
    case TDB_LONG:
        return b == TDB_DOUBLE;
    case TDB_FLOAT:
        return b == TDB_DOUBLE;
    default:
        return false;
    }
}

/* The field name and element of a layout column. */
std::pair<std::string, int> origin(const TableLayout &t, const LayoutColumn &c)
{
    return {t.definition_columns()[static_cast<size_t>(c.source)].name, c.element};
}

std::vector<std::string> index_column_names(const TableLayout &t, const LayoutIndex &k)
{
    std::vector<std::string> names;
    for (int col : k.columns)
        names.push_back(t.columns()[static_cast<size_t>(col)].name);
    return names;
}

/* Reads a numeric element as a double (every value the widening rules
 * allow fits a double exactly). */
double read_number(int type, const unsigned char *p)
{
    switch (base_type(type)) {
    case TDB_BYTE:
        return p[0];
    case TDB_INTEGER:
        return static_cast<std::int16_t>((p[0] << 8) | p[1]);
    case TDB_FLOAT: {
        float f;
        std::memcpy(&f, p, sizeof f);
        return f;
    }
    case TDB_DOUBLE: {
        double d;
        std::memcpy(&d, p, sizeof d);
        return d;
    }
    default:
        return static_cast<std::int32_t>((std::uint32_t(p[0]) << 24) |
                                          (std::uint32_t(p[1]) << 16) |
                                          (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]));
    }
}

void write_number(int type, double v, unsigned char *p)
{
    switch (base_type(type)) {
    case TDB_BYTE:
        p[0] = static_cast<unsigned char>(v);
        return;
    case TDB_INTEGER: {
        auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
        p[0] = static_cast<unsigned char>(u >> 8);
        p[1] = static_cast<unsigned char>(u & 0xFF);
        return;
    }
    case TDB_FLOAT: {
        auto f = static_cast<float>(v);
        std::memcpy(p, &f, sizeof f);
        return;
    }
    case TDB_DOUBLE:
        std::memcpy(p, &v, sizeof v);
        return;
    default: {
        auto u = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
        p[0] = static_cast<unsigned char>(u >> 24);
        p[1] = static_cast<unsigned char>(u >> 16);
        p[2] = static_cast<unsigned char>(u >> 8);
        p[3] = static_cast<unsigned char>(u);
        return;
    }
    }
}

} // namespace

AlterPlan plan_alter(const TableLayout &from, const TableLayout &to,
                     const unsigned char *default_row, const BackendTraits &traits,
                     const ColumnTypeOf &type_of)
{
    AlterPlan plan;
    std::map<std::pair<std::string, int>, int> old_by_origin;
    for (size_t i = 0; i < from.columns().size(); i++)
        old_by_origin[origin(from, from.columns()[i])] = static_cast<int>(i);
    std::vector<bool> kept(from.columns().size(), false);

    auto refuse = [&plan](const std::string &why) {
        if (!plan.needs_conversion)
            plan.why = why;
        plan.needs_conversion = true;
    };
    if (from.data_length() != to.data_length())
        plan.row_layout_changed = true;

    for (size_t i = 0; i < to.columns().size(); i++) {
        const LayoutColumn &nc = to.columns()[i];
        AlterColumn ac;
        auto found = old_by_origin.find(origin(to, nc));
        if (found == old_by_origin.end()) {
            bool exact = true;
            ac.fill = to.column_value(i, default_row, traits, &exact);
            if (!exact)
                refuse("the default value of the added column " + nc.name +
                       " has no exact database form");
            plan.columns_changed = true;
            plan.row_layout_changed = true;
            plan.columns.push_back(std::move(ac));
            continue;
        }
        ac.from = found->second;
        kept[static_cast<size_t>(ac.from)] = true;
        const LayoutColumn &oc = from.columns()[static_cast<size_t>(ac.from)];
        int ob = base_type(oc.tdb_type);
        int nb = base_type(nc.tdb_type);
        if ((is_string(ob) && is_string(nb)) || (ob == TDB_RAW && nb == TDB_RAW)) {
            ac.narrowed = nc.width < oc.width;
        } else if (!widens(ob, nb)) {
            refuse("column " + nc.name + " changes from type " + std::to_string(oc.tdb_type) +
                   " to type " + std::to_string(nc.tdb_type));
        }
        ac.renamed = oc.name != nc.name;
        ac.retyped = lower(type_of(oc)) != lower(type_of(nc));
        if (ac.renamed || ac.retyped)
            plan.columns_changed = true;
        if (ac.narrowed)
            plan.narrowing = true;
        if (oc.offset != nc.offset || oc.width != nc.width || oc.tdb_type != nc.tdb_type)
            plan.row_layout_changed = true;
        plan.columns.push_back(std::move(ac));
    }
    for (size_t i = 0; i < kept.size(); i++)
        if (!kept[i]) {
            plan.dropped.push_back(static_cast<int>(i));
            plan.columns_changed = true;
            plan.row_layout_changed = true;
        }

    /* Indexes by key number: kept when name, uniqueness and columns agree. */
    std::vector<bool> index_kept(to.indexes().size(), false);
    for (const LayoutIndex &ok : from.indexes()) {
        if (!ok.in_database)
            continue;
        const LayoutIndex *nk = to.index(ok.keynr);
        if (nk != nullptr && nk->in_database && nk->unique == ok.unique && nk->name == ok.name &&
            index_column_names(to, *nk) == index_column_names(from, ok)) {
            index_kept[static_cast<size_t>(nk - to.indexes().data())] = true;
            continue;
        }
        plan.drop_indexes.push_back(ok.name);
    }
    for (size_t i = 0; i < to.indexes().size(); i++)
        if (to.indexes()[i].in_database && !index_kept[i])
            plan.create_indexes.push_back(to.indexes()[i].keynr);
    return plan;
}

bool convert_row(const TableLayout &from, const TableLayout &to, const AlterPlan &plan,
                 const unsigned char *old_row, const unsigned char *default_row,
                 unsigned char *new_row, std::string *why)
{
    std::memset(new_row, 0, static_cast<size_t>(to.row_length()));
    std::memcpy(new_row, default_row, static_cast<size_t>(to.data_length()));
    for (size_t i = 0; i < to.columns().size() && i < plan.columns.size(); i++) {
        int f = plan.columns[i].from;
        if (f < 0)
            continue;
        const LayoutColumn &nc = to.columns()[i];
        const LayoutColumn &oc = from.columns()[static_cast<size_t>(f)];
        const unsigned char *src = old_row + oc.offset;
        unsigned char *dst = new_row + nc.offset;
        int ob = base_type(oc.tdb_type);
        int nb = base_type(nc.tdb_type);
        bool text = is_string(ob) && is_string(nb);
        if (text || (ob == TDB_RAW && nb == TDB_RAW)) {
            const unsigned char pad = text ? ' ' : 0;
            size_t n = static_cast<size_t>(std::min(oc.width, nc.width));
            for (int b = nc.width; b < oc.width; b++)
                if (src[b] != pad) {
                    *why = "the value of column " + nc.name + " is longer than " +
                           std::to_string(nc.width) + " bytes";
                    return false;
                }
            std::memcpy(dst, src, n);
            std::memset(dst + n, pad, static_cast<size_t>(nc.width) - n);
        } else if (ob == nb && oc.width == nc.width) {
            std::memcpy(dst, src, static_cast<size_t>(nc.width));
        } else if (widens(ob, nb)) {
            write_number(nc.tdb_type, read_number(oc.tdb_type, src), dst);
        } else {
            *why = "column " + nc.name + " cannot be converted in place";
            return false;
        }
    }
    new_row[to.data_length() + 4] = static_cast<unsigned char>(to.compnr() >> 8);
    new_row[to.data_length() + 5] = static_cast<unsigned char>(to.compnr() & 0xFF);
    return true;
}

ImageConversion convert_image(const TableLayout &from, const TableLayout &to,
                              const AlterPlan &plan, std::string_view image,
                              const unsigned char *default_row, unsigned char *new_row,
                              std::string *why)
{
    if (image.size() != static_cast<size_t>(from.data_length())) {
        *why = "a row image of " + std::to_string(image.size()) + " bytes, the old layout has " +
               std::to_string(from.data_length());
        return ImageConversion::WrongSize;
    }
    std::vector<unsigned char> old_row(static_cast<size_t>(from.row_length()), 0);
    std::memcpy(old_row.data(), image.data(), image.size());
    return convert_row(from, to, plan, old_row.data(), default_row, new_row, why)
               ? ImageConversion::Converted
               : ImageConversion::ValueLost;
}

bool stored_matches(const std::vector<StoredColumn> &stored, const TableLayout &t,
                    const ColumnTypeOf &type_of)
{
    std::map<std::string, std::string> expect;
    for (const LayoutColumn &c : t.columns())
        expect[lower(c.name)] = lower(type_of(c));
    LayoutColumn image;
    image.name = kRowImageColumn;
    image.kind = Kind::Bytes;
    image.tdb_type = TDB_RAW;
    expect[lower(image.name)] = lower(type_of(image));
    if (stored.size() != expect.size())
        return false;
    for (const StoredColumn &s : stored) {
        auto it = expect.find(lower(s.name));
        if (it == expect.end() || it->second != lower(s.type))
            return false;
    }
    return true;
}

} // namespace tdbdriver
