/*
 * qp_rds_dump.cpp: tracing output of row data sets: the set record, its
 * column descriptors and its rows with their column values.
 */
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "al_mem.h"
#include "al_stream.h"
#include "qp_rds_internal.h"

namespace {

void emit(STREAM *sp, const std::string &text)
{
    if (sp != nullptr)
        swrite_blok(text.data(), static_cast<int>(text.size()), sp);
    else
        std::fputs(text.c_str(), stderr);
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

const char *type_name(int type)
{
    static const char *const names[] = {"?",      "byte",   "short", "long",  "float",
                                        "double", "string", "lstring", "raw", "lraw"};
    return type >= RDS_BYTE && type <= RDS_LRAW ? names[type] : names[0];
}

std::string value_text(const rds_col &c, const unsigned char *row)
{
    std::string out;
    const unsigned char *v = row + c.offset;
    for (int e = 0; e < c.elements; e++) {
        if (e > 0)
            out += ',';
        const unsigned char *p = v + static_cast<size_t>(e) * c.length;
        switch (c.type) {
        case RDS_BYTE:
            out += format("%u", p[0]);
            break;
        case RDS_SHORT:
            out += format("%d", static_cast<short>((p[0] << 8) | p[1]));
            break;
        case RDS_LONG:
            out += format("%d", static_cast<int>((static_cast<unsigned>(p[0]) << 24) |
                                                 (static_cast<unsigned>(p[1]) << 16) |
                                                 (static_cast<unsigned>(p[2]) << 8) | p[3]));
            break;
        case RDS_FLOAT: {
            float f;
            std::memcpy(&f, p, 4);
            out += format("%g", static_cast<double>(f));
            break;
        }
        case RDS_DOUBLE: {
            double d;
            std::memcpy(&d, p, 8);
            out += format("%g", d);
            break;
        }
        case RDS_SSTRING:
        case RDS_LSTRING:
            out += '"';
            out.append(reinterpret_cast<const char *>(p), c.length);
            out += '"';
            break;
        default:
            for (int i = 0; i < c.length; i++)
                out += format("%02x", p[i]);
            break;
        }
    }
    return out;
}

} // namespace

int dump_rds_info(RDS *set, STREAM *sp)
{
    if (set == nullptr)
        return -1;
    emit(sp, format("RDS %p flags 0%o rec_size %d row_len %d columns %d\n",
                    static_cast<void *>(set), set->flags, set->rec_size, set->row_len, set->ncols));
    emit(sp, format("  rows %ld stored %ld read %ld write %ld high %ld pool %ld\n", set->tot_entry,
                    set->stored_rows, set->read_pos, set->write_pos, set->high, set->pool));
    emit(sp, format("  pages %ld of %ld overflow <%s> %ld bytes\n", qp::store_pages_in_use(set),
                    set->page_table, set->ovf_name ? set->ovf_name : "", set->ovf_high));
    if (set->flags & RDS_INDEXED)
        emit(sp, format("  index %ld of %ld entries\n", set->tot_entry, set->idx_cap));
    return 0;
}

int dump_rds_cols(RDS *set, STREAM *sp)
{
    if (set == nullptr)
        return -1;
    for (int i = 0; i < set->ncols; i++) {
        const rds_col &c = set->cols[i];
        emit(sp, format("  col %d: %s state %d prev %d length %d offset %d elements %d\n", i + 1,
                        type_name(c.type), c.state, c.prev_state, c.length, c.offset, c.elements));
    }
    return 0;
}

int dump_rds_rows(RDS *set, STREAM *sp)
{
    if (set == nullptr)
        return -1;
    auto *row = static_cast<unsigned char *>(
        mal_allocater(static_cast<size_t>(set->rec_size), MAL_ORDINARY));
    long keep = set->read_pos;
    rds_start_get_seq(set);
    int r = 0;
    for (long n = 0; (r = rds_get_seq(set, row)) == 0; n++) {
        const rds_col *cols = rds_get_read_cols(set);
        std::string line = format("  row %ld:", n);
        for (int i = 0; i < set->ncols; i++) {
            const rds_col &c = cols[i];
            bool value = !(set->flags & RDS_COMPRESSED) || c.state == RDS_STATE_VALUE;
            line += ' ';
            line += value ? value_text(c, row) : format("<state %d>", c.state);
        }
        line += '\n';
        emit(sp, line);
    }
    /* Back to where the caller was reading. */
    rds_start_get_seq(set);
    if (keep > 0 && rds_skip_seq(set, keep) < 0)
        r = -1;
    mal_free(row);
    return r < 0 ? -1 : 0;
}
