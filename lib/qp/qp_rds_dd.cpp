/*
 * qp_rds_dd.cpp: column descriptors of row data sets made from dictionary
 * columns, and the update store of a table (the layout of its buffered row
 * actions as they travel to a driver).
 */
#include "al_mem.h"
#include "qp_rds_internal.h"
#include "qpd_dd.h"

namespace qp {
const char *const kSrcDd = "lib/qp/qp_rds_dd.cpp";
} // namespace qp

using qp::kSrcDd;

namespace {

/* Bytes of one element of a numeric row-data type; 0 for the others. */
int numeric_length(int type)
{
    switch (type) {
    case RDS_BYTE:
        return 1;
    case RDS_SHORT:
        return 2;
    case RDS_LONG:
    case RDS_FLOAT:
        return 4;
    case RDS_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

/* Bytes of the sequence number, operation code and flags of an action. */
constexpr int kActionHeader = 12;

} // namespace

int make_rds_from_dd(struct rds_col *desc, const struct _dd_column *column, int offset,
                     int type_override)
{
    if (desc == nullptr || column == nullptr || offset < 0 || offset > RDS_MAX_SIZE) {
        qp::illegal_condition(kSrcDd, __LINE__);
        return -1;
    }
    int elements = column->elements > 0 ? column->elements : 1;
    int width = column->length / elements;
    if (column->type != TDB_COMBINED && column->domain != nullptr && column->domain->width > 0)
        width = column->domain->width;
    bool plain = elements == 1 && !(column->flags & DD_COL_ARRAY);
    int type = 0;
    switch (column->type) {
    case TDB_BYTE:
    case TDB_ENUM:
        type = RDS_BYTE;
        break;
    case TDB_INTEGER:
        type = RDS_SHORT;
        break;
    case TDB_LONG:
    case TDB_DATE:
    case TDB_TIME:
    case TDB_TEXT:
    case TDB_LONG_V:
    case TDB_SET:
        type = RDS_LONG;
        break;
    case TDB_FLOAT:
        type = RDS_FLOAT;
        break;
    case TDB_DOUBLE:
        type = RDS_DOUBLE;
        break;
    case TDB_STRING:
    case TDB_MBSTRING:
        type = plain && width > 8 ? RDS_LSTRING : RDS_SSTRING;
        break;
    case TDB_RAW:
        type = plain && width > 8 ? RDS_LRAW : RDS_SRAW;
        break;
    default:
        qp::illegal_condition(kSrcDd, __LINE__);
        return -1;
    }
    if (type_override != 0) {
        if (type_override < RDS_BYTE || type_override > RDS_LRAW) {
            qp::illegal_condition(kSrcDd, __LINE__);
            return -1;
        }
        type = type_override;
    }
    int length = numeric_length(type);
    if (length == 0)
        length = width;
    *desc = rds_col{};
    desc->type = static_cast<unsigned char>(type);
    desc->state = RDS_STATE_VALUE;
    desc->length = static_cast<unsigned short>(length);
    desc->offset = static_cast<unsigned short>(offset);
    desc->elements = static_cast<unsigned short>(elements);
    return 0;
}

int rds_update_action_cols(const struct _dd_table *table, struct rds_col *out, int max)
{
    if (table == nullptr || out == nullptr || max < 3)
        return -1;
    for (int i = 0; i < 3; i++) {
        out[i] = rds_col{};
        out[i].type = RDS_LONG;
        out[i].state = RDS_STATE_VALUE;
        out[i].length = 4;
        out[i].offset = static_cast<unsigned short>(4 * i);
        out[i].elements = 1;
    }
    _dd_column **sorted = sort_columns_by_offset(table, nullptr);
    if (sorted == nullptr)
        return -1;
    int n = 3;
    int result = 0;
    for (_dd_column **p = sorted; *p != nullptr; p++) {
        if (n >= max || make_rds_from_dd(&out[n], *p, kActionHeader + (*p)->offset, 0) < 0) {
            result = -1;
            break;
        }
        n++;
    }
    mal_free(sorted);
    return result < 0 ? -1 : n;
}

RDS *rds_open_update_actions(const struct _dd_table *table, long mem_id)
{
    if (table == nullptr)
        return nullptr;
    int max = table->nr_columns + 3;
    auto *cols = static_cast<rds_col *>(
        mal_allocater(sizeof(rds_col) * static_cast<size_t>(max), MAL_ORDINARY));
    int n = rds_update_action_cols(table, cols, max);
    RDS *set = nullptr;
    if (n > 0) {
        int size = kActionHeader + table->row_length;
        set = rds_open(size, size, n, cols, mem_id, RDS_COMPRESSED);
    }
    mal_free(cols);
    return set;
}
