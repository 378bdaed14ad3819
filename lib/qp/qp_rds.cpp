/*
 * qp_rds.cpp: row data sets: opening, sequential and positioned reads and
 * writes, the index with its binary search and comparison, ordered, unique
 * and group inserts, rds_full, reset and close.
 */
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "al_log.h"
#include "al_mem.h"
#include "al_res.h"
#include "qp_rds_internal.h"
#include "tss.h"

int qp_errno = 0;

namespace qp {

const char *const kSrcRds = "lib/qp/qp_rds.cpp";

void illegal_condition(const char *file, int line)
{
    log_mesg(file, line, "rds", 0, "Illegal condition at %s:%d\n", file, line);
}

void *set_alloc(long pool, size_t size)
{
    return mal_allocater(size, MAL_ID | MAL_HEADER | MAL_ZERO, pool);
}

} // namespace qp

using qp::kSrcRds;

namespace {

RDS *g_open_sets = nullptr;

void chain_in(RDS *set)
{
    set->next_open = g_open_sets;
    set->prev_open = nullptr;
    if (g_open_sets != nullptr)
        g_open_sets->prev_open = set;
    g_open_sets = set;
}

void chain_out(RDS *set)
{
    if (set->prev_open != nullptr)
        set->prev_open->next_open = set->next_open;
    else
        g_open_sets = set->next_open;
    if (set->next_open != nullptr)
        set->next_open->prev_open = set->prev_open;
}

bool is_compressed(const RDS *set) { return (set->flags & RDS_COMPRESSED) != 0; }
bool has_index(const RDS *set) { return (set->flags & RDS_INDEXED) != 0; }

size_t col_bytes(const rds_col &c) { return static_cast<size_t>(c.length) * c.elements; }

/* The row slot of a position in read order. */
long slot_of(const RDS *set, long position)
{
    return has_index(set) ? set->index[position] : position;
}

int read_slot(RDS *set, long slot, void *row)
{
    return qp::store_read(set, slot * set->stored_len, static_cast<unsigned char *>(row),
                          set->stored_len);
}

int write_slot(RDS *set, long slot, const void *row)
{
    return qp::store_write(set, slot * set->stored_len, static_cast<const unsigned char *>(row),
                           set->stored_len);
}

/* Reads the next reduced row of a compressed set into set->rd_row. */
int expand_next(RDS *set)
{
    if (set->read_pos >= set->tot_entry)
        return RDS_EOS;
    long avail = set->write_pos - set->read_byte;
    long n = avail < set->max_reduced ? avail : set->max_reduced;
    if (n <= 0 || qp::store_read(set, set->read_byte, set->scratch, n) < 0)
        return -1;
    long nr = 0;
    int used = expand_row(set->rd_cols, set->ncols, set->scratch, static_cast<size_t>(n),
                          set->rd_row, &nr);
    if (used <= 0) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    set->read_byte += used;
    set->read_pos++;
    return 0;
}

void restart_compressed_read(RDS *set)
{
    set->read_pos = 0;
    set->read_byte = 0;
    std::memset(set->rd_row, 0, static_cast<size_t>(set->row_len));
    for (int i = 0; i < set->ncols; i++) {
        set->rd_cols[i].state = 0;
        set->rd_cols[i].prev_state = 0;
    }
}

int put_compressed(RDS *set, const void *row)
{
    int n = reduce_row(set->cols, set->ncols, static_cast<const unsigned char *>(row),
                       set->stored_rows, set->prev, set->scratch);
    if (n < 0) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    if (qp::store_write(set, set->write_pos, set->scratch, n) < 0)
        return -1;
    set->write_pos += n;
    set->stored_rows++;
    set->tot_entry++;
    return 0;
}

void grow_index(RDS *set)
{
    if (set->tot_entry < set->idx_cap)
        return;
    /* 256 entries at a time; a large index grows by a quarter, so that
     * a million appended rows do not copy the index thousands of times. */
    long step = set->idx_cap / 4 > RDS_INDEX_STEP ? set->idx_cap / 4 : RDS_INDEX_STEP;
    set->idx_cap += step;
    set->index = static_cast<int *>(
        mal_realloc(set->index, static_cast<size_t>(set->idx_cap) * sizeof(int)));
}

/* Moves the rows of a plain set from position `from` on by delta slots
 * (+1 opens a gap at from, -1 closes the slot before from). */
int shift_rows(RDS *set, long from, int delta)
{
    unsigned char *buf = set->work;
    if (delta > 0) {
        for (long i = set->stored_rows - 1; i >= from; i--)
            if (read_slot(set, i, buf) < 0 || write_slot(set, i + 1, buf) < 0)
                return -1;
    } else {
        for (long i = from; i < set->stored_rows; i++)
            if (read_slot(set, i, buf) < 0 || write_slot(set, i - 1, buf) < 0)
                return -1;
    }
    return 0;
}

int status_of(const void *status, int col)
{
    const auto *s = static_cast<const unsigned char *>(status);
    int i = col - 1;
    return (s[i / 4] >> (6 - 2 * (i % 4))) & 3;
}

long get_be(const unsigned char *p, int bytes)
{
    if (bytes == 2)
        return static_cast<short>((p[0] << 8) | p[1]);
    return static_cast<long>(static_cast<int>((static_cast<unsigned>(p[0]) << 24) |
                                              (static_cast<unsigned>(p[1]) << 16) |
                                              (static_cast<unsigned>(p[2]) << 8) | p[3]));
}

void put_be(unsigned char *p, long v, int bytes)
{
    auto u = static_cast<unsigned long>(v);
    if (bytes == 2) {
        p[0] = static_cast<unsigned char>(u >> 8);
        p[1] = static_cast<unsigned char>(u);
        return;
    }
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

template <typename T> int cmp_num(T a, T b) { return a < b ? -1 : (a > b ? 1 : 0); }

/* Compares the values of one column of two rows (no states). */
int compare_values(const rds_col &c, const unsigned char *a, const unsigned char *b)
{
    a += c.offset;
    b += c.offset;
    switch (c.type) {
    case RDS_BYTE:
        for (int e = 0; e < c.elements; e++)
            if (a[e] != b[e])
                return static_cast<int>(a[e]) - static_cast<int>(b[e]);
        return 0;
    case RDS_SHORT:
    case RDS_LONG: {
        int w = c.type == RDS_SHORT ? 2 : 4;
        for (int e = 0; e < c.elements; e++) {
            int r = cmp_num(get_be(a + e * w, w), get_be(b + e * w, w));
            if (r != 0)
                return r;
        }
        return 0;
    }
    case RDS_FLOAT:
        for (int e = 0; e < c.elements; e++) {
            float x, y;
            std::memcpy(&x, a + 4 * e, 4);
            std::memcpy(&y, b + 4 * e, 4);
            int r = cmp_num(x, y);
            if (r != 0)
                return r;
        }
        return 0;
    case RDS_DOUBLE:
        for (int e = 0; e < c.elements; e++) {
            double x, y;
            std::memcpy(&x, a + 8 * e, 8);
            std::memcpy(&y, b + 8 * e, 8);
            int r = cmp_num(x, y);
            if (r != 0)
                return r;
        }
        return 0;
    case RDS_SSTRING:
    case RDS_LSTRING: {
        int n = static_cast<int>(col_bytes(c));
        return TssStringNNCmpWithPadding(reinterpret_cast<const char *>(a),
                                         reinterpret_cast<const char *>(b), n, n);
    }
    case RDS_SRAW:
    case RDS_LRAW: {
        int r = std::memcmp(a, b, col_bytes(c));
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    default:
        log_mesg(kSrcRds, __LINE__, "rds", 0, "Unknown type %d in rds_compare_col", c.type);
        return 0;
    }
}

bool is_text(const rds_col &c) { return c.type >= RDS_SSTRING; }

/* Applies one group function to column c of dst with the value of src. */
void apply_function(RDS *set, int col, int fn, unsigned char *dst, const unsigned char *src)
{
    const rds_col &c = set->cols[col - 1];
    size_t len = col_bytes(c);
    switch (fn) {
    case RDS_FN_SET:
        std::memcpy(dst + c.offset, src + c.offset, len);
        return;
    case RDS_FN_MIN:
    case RDS_FN_MAX: {
        int r = compare_values(c, src, dst);
        if ((fn == RDS_FN_MIN && r < 0) || (fn == RDS_FN_MAX && r > 0))
            std::memcpy(dst + c.offset, src + c.offset, len);
        return;
    }
    case RDS_FN_SUM:
    case RDS_FN_COUNT:
        break;
    default:
        return;
    }
    for (int e = 0; e < c.elements; e++) {
        unsigned char *d = dst + c.offset + static_cast<size_t>(e) * c.length;
        const unsigned char *s = src + c.offset + static_cast<size_t>(e) * c.length;
        switch (c.type) {
        case RDS_BYTE:
            *d = static_cast<unsigned char>(*d + (fn == RDS_FN_COUNT ? 1 : *s));
            break;
        case RDS_SHORT:
        case RDS_LONG: {
            int w = c.type == RDS_SHORT ? 2 : 4;
            long add = fn == RDS_FN_COUNT ? 1 : get_be(s, w);
            put_be(d, static_cast<long>(static_cast<unsigned long>(get_be(d, w)) +
                                        static_cast<unsigned long>(add)),
                   w);
            break;
        }
        case RDS_FLOAT: {
            float x, y;
            std::memcpy(&x, d, 4);
            std::memcpy(&y, s, 4);
            x += fn == RDS_FN_COUNT ? 1.0f : y;
            std::memcpy(d, &x, 4);
            break;
        }
        case RDS_DOUBLE: {
            double x, y;
            std::memcpy(&x, d, 8);
            std::memcpy(&y, s, 8);
            x += fn == RDS_FN_COUNT ? 1.0 : y;
            std::memcpy(d, &x, 8);
            break;
        }
        default:
            break;
        }
    }
}

/* Sets every COUNT column of row to 1. */
void start_counts(RDS *set, unsigned char *row, const int *funcs)
{
    for (int i = 0; i < set->ncols; i++) {
        if (funcs[i] != RDS_FN_COUNT)
            continue;
        const rds_col &c = set->cols[i];
        for (int e = 0; e < c.elements; e++) {
            unsigned char *d = row + c.offset + static_cast<size_t>(e) * c.length;
            switch (c.type) {
            case RDS_BYTE:
                *d = 1;
                break;
            case RDS_SHORT:
                put_be(d, 1, 2);
                break;
            case RDS_LONG:
                put_be(d, 1, 4);
                break;
            case RDS_FLOAT: {
                float one = 1.0f;
                std::memcpy(d, &one, 4);
                break;
            }
            case RDS_DOUBLE: {
                double one = 1.0;
                std::memcpy(d, &one, 8);
                break;
            }
            default:
                break;
            }
        }
    }
}

bool check_functions(RDS *set, const int *funcs)
{
    for (int i = 0; i < set->ncols; i++) {
        if ((funcs[i] == RDS_FN_SUM || funcs[i] == RDS_FN_COUNT) && is_text(set->cols[i])) {
            log_mesg(kSrcRds, __LINE__, "rds", 0, "Illegal function for strings\n");
            return false;
        }
        if (funcs[i] < RDS_FN_KEY || funcs[i] > RDS_FN_COUNT) {
            qp::illegal_condition(kSrcRds, __LINE__);
            return false;
        }
    }
    return true;
}

long g_full_default = 0;

} // namespace

/* ---- opening and closing ------------------------------------------------- */

RDS *rds_open(int rec_size, int row_len, int ncols, const struct rds_col *cols,
              long mem_id, int flags)
{
    if (rec_size > RDS_MAX_SIZE || row_len > RDS_MAX_SIZE) {
        log_mesg(kSrcRds, __LINE__, "rds", 0, "Rds size (%d,%d) exceeds internal limit (%d)\n",
                 rec_size, row_len, RDS_MAX_SIZE);
        return nullptr;
    }
    int kind = flags & (RDS_COMPRESSED | RDS_FIXED | RDS_INDEXED);
    if (kind != RDS_COMPRESSED && kind != RDS_FIXED && kind != (RDS_FIXED | RDS_INDEXED))
        log_mesg(kSrcRds, __LINE__, "rds", 0, "Illegal flag for RDS: %o (%o)\n", kind, flags);
    if (flags & RDS_COMPRESSED)
        flags &= ~(RDS_INDEXED | RDS_FIXED);
    if (row_len < 1 || rec_size < 0 || ncols < 0 || (ncols > 0 && cols == nullptr) ||
        ((flags & RDS_COMPRESSED) && ncols < 1)) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return nullptr;
    }
    for (int i = 0; i < ncols; i++) {
        if (static_cast<long>(cols[i].offset) + static_cast<long>(col_bytes(cols[i])) > row_len ||
            cols[i].elements < 1) {
            qp::illegal_condition(kSrcRds, __LINE__);
            return nullptr;
        }
    }
    int stored_len = row_len;
    if ((flags & RDS_STATUS) && !(flags & RDS_COMPRESSED))
        stored_len = row_len + (ncols + 3) / 4;
    if (rec_size < stored_len)
        rec_size = stored_len;
    if (rec_size > RDS_MAX_SIZE) {
        log_mesg(kSrcRds, __LINE__, "rds", 0, "Rds size (%d,%d) exceeds internal limit (%d)\n",
                 rec_size, row_len, RDS_MAX_SIZE);
        return nullptr;
    }

    long pool = mem_id;
    flags &= ~RDS_OWN_POOL;
    if (pool == 0) {
        pool = mal_reserve_id(0, 0);
        flags |= RDS_OWN_POOL;
    } else if (mal_get_group(pool) == nullptr) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return nullptr;
    }
    auto *set = static_cast<RDS *>(qp::set_alloc(pool, sizeof(RDS)));
    set->pool = pool;
    set->flags = flags;
    set->rec_size = rec_size;
    set->row_len = row_len;
    set->stored_len = stored_len;
    set->ncols = ncols;
    size_t cbytes = sizeof(rds_col) * static_cast<size_t>(ncols > 0 ? ncols : 1);
    set->cols = static_cast<rds_col *>(qp::set_alloc(pool, cbytes));
    set->rd_cols = static_cast<rds_col *>(qp::set_alloc(pool, cbytes));
    if (ncols > 0) {
        std::memcpy(set->cols, cols, sizeof(rds_col) * static_cast<size_t>(ncols));
        std::memcpy(set->rd_cols, cols, sizeof(rds_col) * static_cast<size_t>(ncols));
    }
    for (int i = 0; i < ncols; i++)
        set->cols[i].prev_state = 0;
    set->page_table = RDS_INIT_PAGES;
    set->pages = static_cast<unsigned char **>(
        qp::set_alloc(pool, sizeof(unsigned char *) * RDS_INIT_PAGES));
    set->work = static_cast<unsigned char *>(qp::set_alloc(pool, static_cast<size_t>(rec_size)));
    set->vrow = static_cast<unsigned char *>(qp::set_alloc(pool, static_cast<size_t>(rec_size)));
    set->keys = static_cast<int *>(qp::set_alloc(pool, sizeof(int) * static_cast<size_t>(ncols + 1)));
    set->ovf_pos = -1;
    if (flags & RDS_COMPRESSED) {
        set->max_reduced = rds_reduced_max(cols, ncols);
        set->prev = static_cast<unsigned char *>(qp::set_alloc(pool, static_cast<size_t>(row_len)));
        set->rd_row = static_cast<unsigned char *>(qp::set_alloc(pool, static_cast<size_t>(row_len)));
        set->scratch = static_cast<unsigned char *>(
            qp::set_alloc(pool, static_cast<size_t>(set->max_reduced)));
        restart_compressed_read(set);
    }
    if (flags & RDS_INDEXED) {
        set->idx_cap = RDS_INDEX_STEP;
        set->index = static_cast<int *>(
            qp::set_alloc(pool, sizeof(int) * static_cast<size_t>(RDS_INDEX_STEP)));
    }
    chain_in(set);
    return set;
}

RDS *rds_open_set(int size, int type, int flags)
{
    rds_col c{};
    c.state = RDS_STATE_VALUE;
    c.elements = 1;
    switch (type) {
    case QP_TYPE_STRING:
        if (size < 1) {
            qp::illegal_condition(kSrcRds, __LINE__);
            return nullptr;
        }
        c.type = size > 8 ? RDS_LSTRING : RDS_SSTRING;
        c.length = static_cast<unsigned short>(size > RDS_MAX_SIZE ? RDS_MAX_SIZE : size);
        break;
    case QP_TYPE_INTEGER:
        c.type = RDS_LONG;
        c.length = 4;
        break;
    case QP_TYPE_DOUBLE:
        c.type = RDS_DOUBLE;
        c.length = 8;
        break;
    default:
        qp::illegal_condition(kSrcRds, __LINE__);
        return nullptr;
    }
    if (type == QP_TYPE_STRING && size > RDS_MAX_SIZE) {
        log_mesg(kSrcRds, __LINE__, "rds", 0, "Rds size (%d,%d) exceeds internal limit (%d)\n",
                 size, size, RDS_MAX_SIZE);
        return nullptr;
    }
    if (!(flags & (RDS_COMPRESSED | RDS_FIXED)))
        flags |= RDS_FIXED;
    RDS *set = rds_open(c.length, c.length, 1, &c, 0, flags);
    if (set != nullptr)
        set->value_type = type;
    return set;
}

int rds_reset(RDS *set, int force)
{
    if (set == nullptr)
        return -1;
    if ((set->flags & RDS_CONST) && !force)
        return 0;
    qp::store_release(set);
    set->tot_entry = 0;
    set->stored_rows = 0;
    set->read_pos = 0;
    set->write_pos = 0;
    set->read_byte = 0;
    for (int i = 0; i < set->ncols; i++)
        set->cols[i].prev_state = 0;
    if (is_compressed(set)) {
        std::memset(set->prev, 0, static_cast<size_t>(set->row_len));
        restart_compressed_read(set);
    }
    return 0;
}

void rds_reset_all(int force)
{
    for (RDS *s = g_open_sets; s != nullptr; s = s->next_open)
        rds_reset(s, force);
}

int rds_close(RDS *set)
{
    if (set == nullptr)
        return -1;
    rds_reset(set, 1);
    chain_out(set);
    if (set->flags & RDS_OWN_POOL) {
        mal_free_id(set->pool);
        return 0;
    }
    mal_free(set->cols);
    mal_free(set->rd_cols);
    mal_free(set->pages);
    mal_free(set->work);
    mal_free(set->vrow);
    mal_free(set->keys);
    mal_free(set->prev);
    mal_free(set->rd_row);
    mal_free(set->scratch);
    mal_free(set->index);
    mal_free(set);
    return 0;
}

void rds_close_all(void)
{
    while (g_open_sets != nullptr)
        rds_close(g_open_sets);
}

void rds_close_all_non_const(void)
{
    RDS *s = g_open_sets;
    while (s != nullptr) {
        RDS *next = s->next_open;
        if (!(s->flags & RDS_CONST))
            rds_close(s);
        s = next;
    }
}

long rds_open_count(void)
{
    long n = 0;
    for (RDS *s = g_open_sets; s != nullptr; s = s->next_open)
        n++;
    return n;
}

void rds_cleanup(void)
{
    rds_close_all();
    qp::store_free_pages();
}

/* ---- sequential access ----------------------------------------------------- */

int rds_put_seq(RDS *set, const void *row)
{
    if (set == nullptr || row == nullptr)
        return -1;
    if (is_compressed(set))
        return put_compressed(set, row);
    return rds_put_idx(set, row, set->tot_entry, 0);
}

int rds_get_seq(RDS *set, void *row)
{
    if (set == nullptr || row == nullptr)
        return -1;
    if (set->read_pos >= set->tot_entry)
        return RDS_EOS;
    if (is_compressed(set)) {
        int r = expand_next(set);
        if (r == 0)
            std::memcpy(row, set->rd_row, static_cast<size_t>(set->row_len));
        return r;
    }
    if (read_slot(set, slot_of(set, set->read_pos), row) < 0)
        return -1;
    set->read_pos++;
    return 0;
}

int rds_start_get_seq(RDS *set)
{
    if (set == nullptr)
        return -1;
    if (is_compressed(set))
        restart_compressed_read(set);
    set->read_pos = 0;
    return 0;
}

int rds_get_eos(RDS *set)
{
    return set == nullptr || set->read_pos >= set->tot_entry ? 1 : 0;
}

int rds_skip_seq(RDS *set, long count)
{
    if (set == nullptr)
        return -1;
    if (count < 0 || set->read_pos + count > set->tot_entry) {
        log_mesg(kSrcRds, __LINE__, "rds", 0, "Skip to high (skip %d total %d cur %d)\n",
                 static_cast<int>(count), static_cast<int>(set->tot_entry),
                 static_cast<int>(set->read_pos));
        return -1;
    }
    if (is_compressed(set)) {
        for (long i = 0; i < count; i++)
            if (expand_next(set) != 0)
                return -1;
        return 0;
    }
    set->read_pos += count;
    return 0;
}

/* ---- positioned access ---------------------------------------------------------- */

int rds_put_idx(RDS *set, const void *row, long position, int replace)
{
    if (set == nullptr || row == nullptr)
        return -1;
    if (position < 0 || position > set->tot_entry) {
        log_mesg(kSrcRds, __LINE__, "rds", 0, "InsIdx too large (rds->tot_entry %d ins_idx %d)\n",
                 static_cast<int>(set->tot_entry), static_cast<int>(position));
        return -1;
    }
    if (is_compressed(set)) {
        if (position != set->tot_entry || replace) {
            qp::illegal_condition(kSrcRds, __LINE__);
            return -1;
        }
        return put_compressed(set, row);
    }
    if (replace && position < set->tot_entry)
        return write_slot(set, slot_of(set, position), row);
    if (has_index(set)) {
        if (write_slot(set, set->stored_rows, row) < 0)
            return -1;
        grow_index(set);
        std::memmove(set->index + position + 1, set->index + position,
                     sizeof(int) * static_cast<size_t>(set->tot_entry - position));
        set->index[position] = static_cast<int>(set->stored_rows);
    } else {
        if (shift_rows(set, position, +1) < 0 || write_slot(set, position, row) < 0)
            return -1;
    }
    set->stored_rows++;
    set->tot_entry++;
    if (position < set->read_pos)
        set->read_pos++;
    return 0;
}

int rds_get_idx(RDS *set, void *row, long position)
{
    if (set == nullptr || row == nullptr || position < 0)
        return -1;
    if (position >= set->tot_entry)
        return RDS_EOS;
    if (is_compressed(set)) {
        if (position < set->read_pos)
            restart_compressed_read(set);
        while (set->read_pos < position)
            if (expand_next(set) != 0)
                return -1;
        return rds_get_seq(set, row);
    }
    if (read_slot(set, slot_of(set, position), row) < 0)
        return -1;
    set->read_pos = position + 1;
    return 0;
}

int rds_del_idx(RDS *set, long position)
{
    if (set == nullptr)
        return -1;
    if (is_compressed(set) || position < 0 || position >= set->tot_entry) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    if (has_index(set)) {
        std::memmove(set->index + position, set->index + position + 1,
                     sizeof(int) * static_cast<size_t>(set->tot_entry - position - 1));
    } else {
        if (shift_rows(set, position + 1, -1) < 0)
            return -1;
        set->stored_rows--;
    }
    set->tot_entry--;
    if (position < set->read_pos)
        set->read_pos--;
    return 0;
}

int rds_del_curr(RDS *set)
{
    if (set == nullptr || set->read_pos < 1) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    return rds_del_idx(set, set->read_pos - 1);
}

int rds_put_back(RDS *set, const void *row)
{
    if (set == nullptr || set->read_pos < 1 || is_compressed(set)) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    return rds_put_idx(set, row, set->read_pos - 1, 1);
}

int rds_put_first(RDS *set, const void *row)
{
    return rds_put_idx(set, row, 0, 0);
}

/* ---- comparison and search -------------------------------------------------------- */

int rds_compare_col(RDS *set, int col, const void *a, const void *b, const void *sa,
                    const void *sb)
{
    if (set == nullptr || col < 1 || col > set->ncols) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return 0;
    }
    if (sa != nullptr && sb != nullptr) {
        int x = status_of(sa, col);
        int y = status_of(sb, col);
        if (x != y)
            return x - y;
        if (x != 0)
            return 0;
    }
    return compare_values(set->cols[col - 1], static_cast<const unsigned char *>(a),
                          static_cast<const unsigned char *>(b));
}

int rds_compare(RDS *set, const void *a, const void *b, const int *cols, const void *sa,
                const void *sb)
{
    if (set == nullptr)
        return 0;
    if (cols == nullptr) {
        for (int c = 1; c <= set->ncols; c++) {
            int r = rds_compare_col(set, c, a, b, sa, sb);
            if (r != 0)
                return r;
        }
        return 0;
    }
    for (const int *p = cols; *p != 0; p++) {
        int c = *p < 0 ? -*p : *p;
        int r = rds_compare_col(set, c, a, b, sa, sb);
        if (r != 0)
            return *p < 0 ? -r : r;
    }
    return 0;
}

namespace {

int compare_rows(RDS *set, const void *a, const void *b, const int *cols)
{
    if (set->flags & RDS_STATUS)
        return rds_compare(set, a, b, cols, static_cast<const unsigned char *>(a) + set->row_len,
                           static_cast<const unsigned char *>(b) + set->row_len);
    return rds_compare(set, a, b, cols, nullptr, nullptr);
}

} // namespace

int rds_srch(RDS *set, const void *key, long *position, void *work, const int *cols)
{
    if (set == nullptr || key == nullptr || is_compressed(set)) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    if (work == nullptr)
        work = set->work;
    long lo = 0;
    long hi = set->tot_entry;
    bool found = false;
    while (lo < hi) {
        long mid = lo + (hi - lo) / 2;
        if (read_slot(set, slot_of(set, mid), work) < 0)
            return -1;
        int r = compare_rows(set, key, work, cols);
        if (r > 0) {
            lo = mid + 1;
        } else {
            if (r == 0)
                found = true;
            hi = mid;
        }
    }
    if (position != nullptr)
        *position = lo;
    return found ? 1 : 0;
}

int rds_put_order(RDS *set, const void *row, const int *cols)
{
    long pos = 0;
    int r = rds_srch(set, row, &pos, nullptr, cols);
    if (r < 0)
        return -1;
    /* Behind the rows equal to it, so that equal rows keep their order. */
    while (r == 1 && pos < set->tot_entry) {
        if (read_slot(set, slot_of(set, pos), set->work) < 0)
            return -1;
        if (compare_rows(set, row, set->work, cols) != 0)
            break;
        pos++;
    }
    return rds_put_idx(set, row, pos, 0);
}

int rds_put_unique(RDS *set, const void *row, const int *cols)
{
    long pos = 0;
    int r = rds_srch(set, row, &pos, nullptr, cols);
    if (r != 0)
        return r < 0 ? -1 : 0;
    return rds_put_idx(set, row, pos, 0) < 0 ? -1 : 1;
}

int rds_put_unique_value(RDS *set, const void *value)
{
    if (set == nullptr || value == nullptr || set->value_type == 0) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    const rds_col &c = set->cols[0];
    unsigned char *row = set->vrow;
    std::memset(row, 0, static_cast<size_t>(set->rec_size));
    switch (set->value_type) {
    case QP_TYPE_STRING: {
        const char *text = static_cast<const char *>(value);
        size_t n = strnlen(text, c.length);
        std::memcpy(row + c.offset, text, n);
        std::memset(row + c.offset + n, ' ', c.length - n);
        break;
    }
    case QP_TYPE_INTEGER:
        put_be(row + c.offset, *static_cast<const long *>(value), 4);
        break;
    default:
        std::memcpy(row + c.offset, value, 8);
        break;
    }
    static const int first_column[] = {1, 0};
    if (is_compressed(set)) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    return rds_put_unique(set, row, first_column);
}

/* ---- groups ------------------------------------------------------------------------- */

int rds_upd_group(RDS *set, long position, const void *row, const int *funcs)
{
    if (set == nullptr || row == nullptr || funcs == nullptr || is_compressed(set) ||
        position < 0 || position >= set->tot_entry) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    if (!check_functions(set, funcs))
        return -1;
    unsigned char *cur = set->work;
    long slot = slot_of(set, position);
    if (read_slot(set, slot, cur) < 0)
        return -1;
    for (int i = 0; i < set->ncols; i++)
        apply_function(set, i + 1, funcs[i], cur, static_cast<const unsigned char *>(row));
    return write_slot(set, slot, cur);
}

int rds_put_group(RDS *set, const void *row, const int *funcs)
{
    if (set == nullptr || row == nullptr || funcs == nullptr || is_compressed(set)) {
        qp::illegal_condition(kSrcRds, __LINE__);
        return -1;
    }
    if (!check_functions(set, funcs))
        return -1;
    int *keys = set->keys;
    int nkeys = 0;
    for (int i = 0; i < set->ncols; i++)
        if (funcs[i] == RDS_FN_KEY)
            keys[nkeys++] = i + 1;
    keys[nkeys] = 0;
    long pos = 0;
    int r = 0;
    if (nkeys > 0) {
        r = rds_srch(set, row, &pos, nullptr, keys);
        if (r < 0)
            return -1;
    } else {
        /* Without group columns every row belongs to the one group. */
        r = set->tot_entry > 0 ? 1 : 0;
    }
    if (r == 1)
        return rds_upd_group(set, pos, row, funcs) < 0 ? -1 : 0;
    unsigned char *fresh = set->vrow;
    std::memcpy(fresh, row, static_cast<size_t>(set->rec_size));
    start_counts(set, fresh, funcs);
    return rds_put_idx(set, fresh, pos, 0) < 0 ? -1 : 1;
}

/* ---- state --------------------------------------------------------------------------- */

long rds_full_default(void)
{
    if (g_full_default > 0)
        return g_full_default;
    long value = 0;
    if (const char *env = getenv("RDS_FULL"); env != nullptr && *env != '\0') {
        char *end = nullptr;
        errno = 0;
        long v = strtol(env, &end, 10);
        if (errno == 0 && end != env && *end == '\0' && v > 0 && v <= 0x7fffffff)
            value = v;
    }
    if (value == 0) {
        char text[32];
        if (al_findres_by_name("rds_full", 0) != nullptr &&
            al_getres_by_name("rds_full", text, sizeof text) == 1) {
            char *end = nullptr;
            long v = strtol(text, &end, 10);
            if (end != text && v > 0 && v <= 0x7fffffff)
                value = v;
        }
    }
    if (value == 0)
        value = RDS_DEFAULT_FULL;
    g_full_default = value;
    log_mesg(kSrcRds, __LINE__, "rds", LOG_INFO, "RDS_FULL: %d\n", static_cast<int>(value));
    return value;
}

int rds_full(RDS *set, long limit)
{
    if (set == nullptr)
        return 0;
    if (limit <= 0)
        limit = rds_full_default();
    return set->tot_entry >= limit ? 1 : 0;
}

int rds_size_of_row(RDS *set)
{
    return set ? set->row_len : -1;
}

struct rds_col *rds_get_cols(RDS *set)
{
    return set ? set->cols : nullptr;
}

const struct rds_col *rds_get_read_cols(RDS *set)
{
    if (set == nullptr)
        return nullptr;
    return is_compressed(set) ? set->rd_cols : set->cols;
}

int rds_get_ncols(RDS *set)
{
    return set ? set->ncols : -1;
}

int rds_get_stat(RDS *set, struct rds_stat *st)
{
    if (set == nullptr || st == nullptr)
        return -1;
    st->rows = set->tot_entry;
    st->stored_rows = set->stored_rows;
    st->read_pos = set->read_pos;
    st->bytes = set->high;
    st->pages = qp::store_pages_in_use(set);
    st->page_table = set->page_table;
    st->overflow_bytes = set->ovf_high;
    st->flags = set->flags;
    st->rec_size = set->rec_size;
    st->row_len = set->row_len;
    return 0;
}

const char *rds_overflow_name(RDS *set)
{
    return set ? set->ovf_name : nullptr;
}

int rds_read_bytes(RDS *set, long offset, void *buf, long length)
{
    if (set == nullptr || (buf == nullptr && length > 0) || offset < 0 || length < 0)
        return -1;
    if (length == 0)
        return 0;
    return qp::store_read(set, offset, static_cast<unsigned char *>(buf), length);
}
