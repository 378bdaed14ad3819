/*
 * qp_rds_compress.cpp: the compressed row stream: reduce_row (encoder),
 * expand_row (decoder) and the reader that decodes received bytes without
 * the set that made them. The only place that knows the stream's bytes.
 */
#include <cstring>

#include "al_mem.h"
#include "qp_rds_internal.h"

namespace qp {
const char *const kSrcCompress = "lib/qp/qp_rds_compress.cpp";
} // namespace qp

namespace {

bool is_long(unsigned char type) { return type == RDS_LSTRING || type == RDS_LRAW; }

size_t value_len(const rds_col &c)
{
    return static_cast<size_t>(c.length) * c.elements;
}

void put16(unsigned char *p, unsigned v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

unsigned get16(const unsigned char *p) { return (unsigned{p[0]} << 8) | p[1]; }

} // namespace

int rds_reduced_max(const struct rds_col *cols, int ncols)
{
    long n = 4;
    for (int i = 0; i < ncols; i++)
        n += 3 + (is_long(cols[i].type) ? 2 : 0) + static_cast<long>(value_len(cols[i]));
    if (ncols == 0)
        n += 3;
    return static_cast<int>(n);
}

int reduce_row(struct rds_col *cols, int ncols, const unsigned char *row,
               long rownr, unsigned char *prev, unsigned char *out)
{
    if (rownr < 0 || ncols < 1)
        return -1;
    for (int i = 0; i < ncols; i++)
        if (cols[i].state > RDS_STATE_MAX)
            return -1;
    unsigned long number = static_cast<unsigned long>(rownr) + 1;
    out[0] = static_cast<unsigned char>(number >> 24);
    out[1] = static_cast<unsigned char>(number >> 16);
    out[2] = static_cast<unsigned char>(number >> 8);
    out[3] = static_cast<unsigned char>(number);
    unsigned char *p = out + 4;
    unsigned char *last_state = nullptr;
    for (int i = 0; i < ncols; i++) {
        rds_col &c = cols[i];
        size_t len = value_len(c);
        const unsigned char *v = row + c.offset;
        bool differs = rownr == 0 || c.state != c.prev_state ||
                       (c.state == RDS_STATE_VALUE && std::memcmp(v, prev + c.offset, len) != 0);
        c.prev_state = c.state;
        if (!differs)
            continue;
        put16(p, static_cast<unsigned>(i + 1));
        p[2] = c.state;
        last_state = p + 2;
        p += 3;
        if (c.state != RDS_STATE_VALUE)
            continue;
        if (is_long(c.type)) {
            unsigned char pad = c.type == RDS_LSTRING ? ' ' : 0;
            size_t n = len;
            while (n > 0 && v[n - 1] == pad)
                n--;
            put16(p, static_cast<unsigned>(n));
            std::memcpy(p + 2, v, n);
            p += 2 + n;
        } else {
            std::memcpy(p, v, len);
            p += len;
        }
        std::memcpy(prev + c.offset, v, len);
    }
    if (last_state == nullptr) {
        /* The same row as before: column 1, state "same" and "last". */
        put16(p, 1);
        p[2] = RDS_STATE_SAME | RDS_STATE_LAST;
        p += 3;
    } else {
        *last_state |= RDS_STATE_LAST;
    }
    return static_cast<int>(p - out);
}

int expand_row(struct rds_col *cols, int ncols, const unsigned char *in,
               size_t length, unsigned char *row, long *rownr)
{
    if (length < 4)
        return 0;
    unsigned long number = (static_cast<unsigned long>(in[0]) << 24) |
                           (static_cast<unsigned long>(in[1]) << 16) |
                           (static_cast<unsigned long>(in[2]) << 8) | in[3];
    if (number == 0)
        return 0;
    if (rownr != nullptr)
        *rownr = static_cast<long>(number - 1);
    size_t pos = 4;
    for (int i = 0; i < ncols; i++)
        cols[i].prev_state = cols[i].state;
    for (;;) {
        if (length - pos < 3)
            return -1;
        unsigned col = get16(in + pos);
        unsigned char state = in[pos + 2];
        pos += 3;
        if (col < 1 || col > static_cast<unsigned>(ncols))
            return -1;
        if (state & RDS_STATE_SAME) {
            if (col != 1 || !(state & RDS_STATE_LAST))
                return -1;
            return static_cast<int>(pos);
        }
        rds_col &c = cols[col - 1];
        unsigned char s = state & static_cast<unsigned char>(~RDS_STATE_LAST);
        if (s > RDS_STATE_MAX)
            return -1;
        c.state = s;
        if (s == RDS_STATE_VALUE) {
            size_t len = value_len(c);
            unsigned char *v = row + c.offset;
            if (is_long(c.type)) {
                if (length - pos < 2)
                    return -1;
                size_t n = get16(in + pos);
                pos += 2;
                if (n > len || length - pos < n)
                    return -1;
                std::memcpy(v, in + pos, n);
                std::memset(v + n, c.type == RDS_LSTRING ? ' ' : 0, len - n);
                pos += n;
            } else {
                if (length - pos < len)
                    return -1;
                std::memcpy(v, in + pos, len);
                pos += len;
            }
        }
        if (state & RDS_STATE_LAST)
            return static_cast<int>(pos);
    }
}

struct rds_reader {
    rds_col *cols;
    int ncols;
    int row_len;
    unsigned char *row;
    const unsigned char *bytes;
    size_t length;
    size_t pos;
    long rownr;
    bool done;
};

RDS_READER *rds_reader_open(const struct rds_col *cols, int ncols, int row_len,
                            const void *bytes, size_t length)
{
    if (cols == nullptr || ncols < 1 || row_len < 1 || row_len > RDS_MAX_SIZE ||
        (bytes == nullptr && length > 0))
        return nullptr;
    for (int i = 0; i < ncols; i++) {
        const rds_col &c = cols[i];
        if (c.type < RDS_BYTE || c.type > RDS_LRAW ||
            static_cast<long>(c.offset) + static_cast<long>(value_len(c)) > row_len)
            return nullptr;
    }
    auto *r = static_cast<rds_reader *>(mal_allocater(sizeof(rds_reader), MAL_ORDINARY));
    r->cols = static_cast<rds_col *>(mal_memsave(cols, sizeof(rds_col) * static_cast<size_t>(ncols), MAL_STRING));
    for (int i = 0; i < ncols; i++) {
        r->cols[i].state = 0;
        r->cols[i].prev_state = 0;
    }
    r->ncols = ncols;
    r->row_len = row_len;
    r->row = static_cast<unsigned char *>(mal_allocater(static_cast<size_t>(row_len), MAL_ORDINARY));
    r->bytes = static_cast<const unsigned char *>(bytes);
    r->length = length;
    r->pos = 0;
    r->rownr = -1;
    r->done = false;
    return r;
}

int rds_reader_next(RDS_READER *reader, void *row)
{
    if (reader == nullptr || row == nullptr)
        return -1;
    if (reader->done)
        return RDS_EOS;
    long nr = 0;
    int used = expand_row(reader->cols, reader->ncols, reader->bytes + reader->pos,
                          reader->length - reader->pos, reader->row, &nr);
    if (used == 0) {
        reader->done = true;
        return RDS_EOS;
    }
    if (used < 0) {
        reader->done = true;
        qp::illegal_condition(qp::kSrcCompress, __LINE__);
        return -1;
    }
    reader->pos += static_cast<size_t>(used);
    reader->rownr = nr;
    std::memcpy(row, reader->row, static_cast<size_t>(reader->row_len));
    return 0;
}

const struct rds_col *rds_reader_cols(RDS_READER *reader)
{
    return reader ? reader->cols : nullptr;
}

long rds_reader_rownr(RDS_READER *reader)
{
    return reader ? reader->rownr : -1;
}

void rds_reader_close(RDS_READER *reader)
{
    if (reader == nullptr)
        return;
    mal_free(reader->cols);
    mal_free(reader->row);
    mal_free(reader);
}
