/*
 * table_layout.cpp: the database form of a received table definition:
 * names, column kinds, indexes, and the byte-exact conversions between row
 * buffers or key blocks and database values (with the exact row image for
 * values that a database would not keep).
 */
#include "table_layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "qp_rds.h"
#include "qpd_dd.h"
#include "tss_convert.h"

namespace tdbdriver {

Value Value::of_integer(std::int64_t v)
{
    Value x;
    x.kind = Kind::Integer;
    x.integer = v;
    return x;
}

Value Value::of_real(double v)
{
    Value x;
    x.kind = Kind::Real;
    x.real = v;
    return x;
}

Value Value::of_text(std::string v)
{
    Value x;
    x.kind = Kind::Text;
    x.text = std::move(v);
    return x;
}

Value Value::of_bytes(std::string v)
{
    Value x;
    x.kind = Kind::Bytes;
    x.text = std::move(v);
    return x;
}

Value Value::null_of(Kind k)
{
    Value x;
    x.kind = k;
    x.null = true;
    return x;
}

bool Value::operator==(const Value &o) const
{
    if (kind != o.kind || null != o.null)
        return false;
    if (null)
        return true;
    switch (kind) {
    case Kind::Integer:
        return integer == o.integer;
    case Kind::Real:
        return std::memcmp(&real, &o.real, sizeof real) == 0;
    default:
        return text == o.text;
    }
}

namespace {

bool is_ascii(const char *s, size_t len)
{
    for (size_t i = 0; i < len; i++)
        if (s[i] == 0 || static_cast<unsigned char>(s[i]) > 0x7F)
            return false;
    return true;
}

/* The conversion library, loaded once without the fatal exit. */
bool converter_ready()
{
    static const bool ready = TssConvertInitialize(0) == 0;
    return ready;
}

std::int32_t get_be32(const unsigned char *p)
{
    return static_cast<std::int32_t>((std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                                     (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]));
}

void put_be32(unsigned char *p, std::int64_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

Kind kind_of(int type)
{
    switch (type) {
    case TDB_FLOAT:
    case TDB_DOUBLE:
        return Kind::Real;
    case TDB_STRING:
    case TDB_MBSTRING:
        return Kind::Text;
    case TDB_RAW:
        return Kind::Bytes;
    default:
        return Kind::Integer;
    }
}

/* The fixed element width of a numeric type; 0 for strings and raw. */
int numeric_width(int type)
{
    switch (type) {
    case TDB_BYTE:
    case TDB_ENUM:
        return 1;
    case TDB_INTEGER:
        return 2;
    case TDB_LONG:
    case TDB_DATE:
    case TDB_TIME:
    case TDB_TEXT:
    case TDB_LONG_V:
    case TDB_SET:
    case TDB_FLOAT:
        return 4;
    case TDB_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

/* A floating-point value the backend keeps exactly? */
bool real_exact(double d, bool from_float, const BackendTraits &traits)
{
    if (std::isnan(d))
        return traits.keeps_nan && !from_float; /* float NaN payloads change in double */
    if (std::isinf(d))
        return traits.keeps_infinity;
    if (d == 0 && std::signbit(d))
        return traits.keeps_negative_zero;
    return true;
}

/* The value of one element and whether it is exact. */
Value element_value(const LayoutColumn &c, const unsigned char *p, const BackendTraits &traits,
                    bool *exact)
{
    *exact = true;
    switch (c.tdb_type) {
    case TDB_BYTE:
    case TDB_ENUM:
        return Value::of_integer(p[0]);
    case TDB_INTEGER:
        return Value::of_integer(static_cast<std::int16_t>((p[0] << 8) | p[1]));
    case TDB_FLOAT: {
        float f;
        std::memcpy(&f, p, sizeof f);
        double d = f;
        *exact = real_exact(d, true, traits);
        if (std::isnan(d) && !*exact)
            return Value::null_of(Kind::Real);
        return Value::of_real(d);
    }
    case TDB_DOUBLE: {
        double d;
        std::memcpy(&d, p, sizeof d);
        *exact = real_exact(d, false, traits);
        if (std::isnan(d) && !*exact)
            return Value::null_of(Kind::Real);
        return Value::of_real(d);
    }
    case TDB_STRING:
    case TDB_MBSTRING: {
        size_t n = static_cast<size_t>(c.width);
        while (n > 0 && p[n - 1] == ' ')
            n--;
        const char *s = reinterpret_cast<const char *>(p);
        std::string text;
        if (tss_to_utf8_exact(s, n, &text))
            return Value::of_text(std::move(text));
        /* The nearest form: ASCII kept, every other byte a "?". */
        *exact = false;
        text.assign(s, n);
        for (char &ch : text)
            if (ch == 0 || static_cast<unsigned char>(ch) > 0x7F)
                ch = '?';
        return Value::of_text(std::move(text));
    }
    case TDB_RAW: {
        size_t n = static_cast<size_t>(c.width);
        while (n > 0 && p[n - 1] == 0)
            n--;
        return Value::of_bytes(std::string(reinterpret_cast<const char *>(p), n));
    }
    default: /* the 32-bit types */
        return Value::of_integer(get_be32(p));
    }
}

/* Writes one element from a value; false with a reason when it does not fit. */
bool put_element(const LayoutColumn &c, const Value &v, unsigned char *p, std::string *error)
{
    auto fail = [&](const std::string &why) {
        *error = "column " + c.name + ": " + why;
        return false;
    };
    if (v.null)
        return fail("no value");
    if (v.kind != c.kind)
        return fail("value of another kind");
    switch (c.tdb_type) {
    case TDB_BYTE:
    case TDB_ENUM:
        if (v.integer < 0 || v.integer > 255)
            return fail("value " + std::to_string(v.integer) + " out of range");
        p[0] = static_cast<unsigned char>(v.integer);
        return true;
    case TDB_INTEGER:
        if (v.integer < -32768 || v.integer > 32767)
            return fail("value " + std::to_string(v.integer) + " out of range");
        p[0] = static_cast<unsigned char>((v.integer >> 8) & 0xFF);
        p[1] = static_cast<unsigned char>(v.integer & 0xFF);
        return true;
    case TDB_FLOAT: {
        auto f = static_cast<float>(v.real);
        if (!std::isnan(v.real) && static_cast<double>(f) != v.real)
            return fail("value not a single-precision number");
        std::memcpy(p, &f, sizeof f);
        return true;
    }
    case TDB_DOUBLE:
        std::memcpy(p, &v.real, sizeof v.real);
        return true;
    case TDB_STRING:
    case TDB_MBSTRING: {
        std::string tss;
        if (!utf8_to_tss(v.text, &tss))
            return fail("text that is not UTF-8");
        if (tss.size() > static_cast<size_t>(c.width))
            return fail("text longer than the column");
        std::memcpy(p, tss.data(), tss.size());
        std::memset(p + tss.size(), ' ', static_cast<size_t>(c.width) - tss.size());
        return true;
    }
    case TDB_RAW:
        if (v.text.size() > static_cast<size_t>(c.width))
            return fail("bytes longer than the column");
        std::memcpy(p, v.text.data(), v.text.size());
        std::memset(p + v.text.size(), 0, static_cast<size_t>(c.width) - v.text.size());
        return true;
    default:
        if (v.integer < INT32_MIN || v.integer > INT32_MAX)
            return fail("value " + std::to_string(v.integer) + " out of range");
        put_be32(p, v.integer);
        return true;
    }
}

} // namespace

bool tss_to_utf8_exact(const char *tss, size_t len, std::string *out)
{
    if (is_ascii(tss, len)) {
        out->assign(tss, len);
        return true;
    }
    if (std::memchr(tss, 0, len) != nullptr || !converter_ready())
        return false;
    std::string utf8(2 * len + 8, '\0');
    TssConvertControl c{static_cast<int>(len), static_cast<int>(utf8.size()), 0, 0, 0, 0};
    if (TssConvertTssToUtf8(tss, utf8.data(), &c) < 0 || c.in_used != static_cast<int>(len))
        return false;
    utf8.resize(static_cast<size_t>(c.out_used));
    std::string back;
    if (!utf8_to_tss(utf8, &back) || back.size() != len || std::memcmp(back.data(), tss, len) != 0)
        return false;
    *out = std::move(utf8);
    return true;
}

bool utf8_to_tss(std::string_view utf8, std::string *out)
{
    if (is_ascii(utf8.data(), utf8.size())) {
        out->assign(utf8);
        return true;
    }
    if (utf8.find('\0') != std::string_view::npos || !converter_ready())
        return false;
    std::string tss(4 * utf8.size() + 8, '\0');
    TssConvertControl c{static_cast<int>(utf8.size()), static_cast<int>(tss.size()), 0, 0, 0, 0};
    if (TssConvertUtf8ToTss(utf8.data(), tss.data(), &c) < 0 ||
        c.in_used != static_cast<int>(utf8.size()))
        return false;
    tss.resize(static_cast<size_t>(c.out_used));
    *out = std::move(tss);
    return true;
}

std::string TableLayout::quote(std::string_view name)
{
    std::string q = "\"";
    for (char ch : name) {
        q += ch;
        if (ch == '"')
            q += '"';
    }
    return q + "\"";
}

bool TableLayout::build(const commu_dd_desc &dd, int compnr, std::string *error)
{
    *this = TableLayout{};
    code_.assign(dd.table, strnlen(dd.table, 8));
    if (code_.empty()) {
        *error = "table definition without a name";
        return false;
    }
    for (char ch : code_)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '_') {
            *error = "table name '" + code_ + "' not usable";
            return false;
        }
    if (compnr < 0 || compnr > 999) {
        *error = "company number " + std::to_string(compnr) + " out of range";
        return false;
    }
    compnr_ = compnr;
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "_%03d", compnr);
    table_name_ = lower(code_) + suffix;
    source_ = dd.columns;

    std::set<std::string> names{kRowImageColumn};
    std::vector<std::vector<int>> by_source(dd.columns.size());
    for (size_t i = 0; i < dd.columns.size(); i++) {
        const commu_dd_column &c = dd.columns[i];
        int elements = c.elements > 0 ? c.elements : 1;
        int width = c.length / elements;
        int fixed = numeric_width(c.type);
        bool known = c.type >= TDB_BYTE && c.type <= TDB_RAW && c.type != TDB_COMBINED;
        if (!known || c.name.empty() || c.offset < 0 || c.length <= 0 ||
            width * elements != c.length || (fixed != 0 && width != fixed) ||
            c.offset + c.length > 6138) {
            *error = "column '" + c.name + "' of " + code_ + " cannot be stored (type " +
                     std::to_string(c.type) + ", offset " + std::to_string(c.offset) +
                     ", length " + std::to_string(c.length) + ")";
            return false;
        }
        bool array = elements > 1 || (c.flags & DD_COL_ARRAY) != 0;
        for (int e = 0; e < elements; e++) {
            LayoutColumn lc;
            lc.name = array ? c.name + "_" + std::to_string(e + 1) : c.name;
            lc.kind = kind_of(c.type);
            lc.tdb_type = c.type;
            lc.offset = c.offset + e * width;
            lc.width = width;
            lc.source = static_cast<int>(i);
            lc.element = e;
            if (!names.insert(lower(lc.name)).second) {
                *error = "column name '" + lc.name + "' of " + code_ + " occurs twice";
                return false;
            }
            by_source[i].push_back(static_cast<int>(columns_.size()));
            columns_.push_back(std::move(lc));
        }
        data_length_ = std::max(data_length_, c.offset + c.length);
    }
    for (const commu_dd_index &k : dd.indexes) {
        LayoutIndex li;
        li.keynr = k.keynr;
        li.unique = k.du == 0;
        li.in_database = k.a != 0;
        li.name = table_name_ + "_i" + std::to_string(k.keynr);
        if (k.parts.empty() || index(k.keynr) != nullptr) {
            *error = "key " + std::to_string(k.keynr) + " of " + code_ + " is not usable";
            return false;
        }
        for (int part : k.parts) {
            if (part < 0 || part >= static_cast<int>(dd.columns.size())) {
                *error = "key " + std::to_string(k.keynr) + " of " + code_ +
                         " names column position " + std::to_string(part);
                return false;
            }
            for (int col : by_source[static_cast<size_t>(part)])
                li.columns.push_back(col);
        }
        key_parts_.push_back(k.parts);
        indexes_.push_back(std::move(li));
    }
    for (const LayoutColumn &c : columns_)
        quoted_columns_ += quote(c.name) + ", ";
    quoted_columns_ += quote(kRowImageColumn);
    return true;
}

const LayoutIndex *TableLayout::index(int keynr) const
{
    for (const LayoutIndex &i : indexes_)
        if (i.keynr == keynr)
            return &i;
    return nullptr;
}

const LayoutIndex *TableLayout::primary() const
{
    return index(1);
}

int TableLayout::key_length(int keynr) const
{
    for (size_t i = 0; i < indexes_.size(); i++)
        if (indexes_[i].keynr == keynr) {
            int n = 0;
            for (int part : key_parts_[i])
                n += source_[static_cast<size_t>(part)].length;
            return n;
        }
    return -1;
}

std::vector<rds_col> TableLayout::update_store_columns() const
{
    std::vector<rds_col> cols;
    for (int i = 0; i < 3; i++) {
        rds_col c{};
        c.type = RDS_LONG;
        c.state = RDS_STATE_VALUE;
        c.length = 4;
        c.offset = static_cast<unsigned short>(4 * i);
        c.elements = 1;
        cols.push_back(c);
    }
    std::vector<const commu_dd_column *> sorted;
    for (const commu_dd_column &c : source_)
        sorted.push_back(&c);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const commu_dd_column *a, const commu_dd_column *b) {
                         return a->offset < b->offset;
                     });
    for (const commu_dd_column *c : sorted) {
        int elements = c->elements > 0 ? c->elements : 1;
        int width = c->length / elements;
        bool plain = elements == 1 && !(c->flags & DD_COL_ARRAY);
        rds_col d{};
        switch (c->type) {
        case TDB_BYTE:
        case TDB_ENUM:
            d.type = RDS_BYTE;
            break;
        case TDB_INTEGER:
            d.type = RDS_SHORT;
            break;
        case TDB_FLOAT:
            d.type = RDS_FLOAT;
            break;
        case TDB_DOUBLE:
            d.type = RDS_DOUBLE;
            break;
        case TDB_STRING:
        case TDB_MBSTRING:
            d.type = plain && width > 8 ? RDS_LSTRING : RDS_SSTRING;
            break;
        case TDB_RAW:
            d.type = plain && width > 8 ? RDS_LRAW : RDS_SRAW;
            break;
        default:
            d.type = RDS_LONG;
            break;
        }
        d.state = RDS_STATE_VALUE;
        d.length = static_cast<unsigned short>(width);
        d.offset = static_cast<unsigned short>(12 + c->offset);
        d.elements = static_cast<unsigned short>(elements);
        cols.push_back(d);
    }
    return cols;
}

void TableLayout::row_to_values(const unsigned char *row, const BackendTraits &traits,
                                std::vector<Value> *values, std::string *image) const
{
    values->clear();
    values->reserve(columns_.size());
    bool exact = true;
    for (const LayoutColumn &c : columns_) {
        bool e = true;
        values->push_back(element_value(c, row + c.offset, traits, &e));
        exact = exact && e;
    }
    image->clear();
    if (exact)
        return;
    image->assign(static_cast<size_t>(data_length_), '\0');
    for (const commu_dd_column &c : source_)
        std::memcpy(image->data() + c.offset, row + c.offset, static_cast<size_t>(c.length));
}

bool TableLayout::values_to_row(const std::vector<Value> &values, std::string_view image,
                                unsigned char *row, std::string *error) const
{
    std::memset(row, 0, static_cast<size_t>(row_length()));
    if (!image.empty()) {
        if (image.size() != static_cast<size_t>(data_length_)) {
            *error = "row image of " + std::to_string(image.size()) + " bytes, the row has " +
                     std::to_string(data_length_);
            return false;
        }
        std::memcpy(row, image.data(), image.size());
    } else {
        if (values.size() != columns_.size()) {
            *error = std::to_string(values.size()) + " values for " +
                     std::to_string(columns_.size()) + " columns";
            return false;
        }
        for (size_t i = 0; i < columns_.size(); i++)
            if (!put_element(columns_[i], values[i], row + columns_[i].offset, error))
                return false;
    }
    /* _dlock stays 0; _compnr is the company, big-endian. */
    row[data_length_ + 4] = static_cast<unsigned char>(compnr_ >> 8);
    row[data_length_ + 5] = static_cast<unsigned char>(compnr_ & 0xFF);
    return true;
}

bool TableLayout::key_to_values(int keynr, const unsigned char *key, size_t length,
                                const BackendTraits &traits, std::vector<Value> *values,
                                bool *exact) const
{
    const LayoutIndex *li = index(keynr);
    int expect = key_length(keynr);
    if (li == nullptr || expect < 0 || length != static_cast<size_t>(expect))
        return false;
    /* Spread the key over a row, then take its columns from there. */
    std::vector<unsigned char> row(static_cast<size_t>(row_length()), 0);
    const std::vector<int> &parts = key_parts_[static_cast<size_t>(li - indexes_.data())];
    size_t at = 0;
    for (int part : parts) {
        const commu_dd_column &c = source_[static_cast<size_t>(part)];
        std::memcpy(row.data() + c.offset, key + at, static_cast<size_t>(c.length));
        at += static_cast<size_t>(c.length);
    }
    values->clear();
    *exact = true;
    for (int col : li->columns) {
        bool e = true;
        values->push_back(element_value(columns_[static_cast<size_t>(col)],
                                        row.data() + columns_[static_cast<size_t>(col)].offset,
                                        traits, &e));
        *exact = *exact && e;
    }
    return true;
}

Value TableLayout::column_value(size_t column, const unsigned char *row,
                                const BackendTraits &traits, bool *exact) const
{
    const LayoutColumn &c = columns_.at(column);
    return element_value(c, row + c.offset, traits, exact);
}

std::string TableLayout::key_of_row(int keynr, const unsigned char *row) const
{
    std::string key;
    const LayoutIndex *li = index(keynr);
    if (li == nullptr)
        return key;
    for (int part : key_parts_[static_cast<size_t>(li - indexes_.data())]) {
        const commu_dd_column &c = source_[static_cast<size_t>(part)];
        key.append(reinterpret_cast<const char *>(row + c.offset), static_cast<size_t>(c.length));
    }
    return key;
}

} // namespace tdbdriver
