/*
 * table_rows.h: rows and update stores of the driver table tests: a demo
 * table's row built from its default row, and an update store as the
 * client keeps it (a compressed row data set), for request 11.
 */
#ifndef DRIVER_TABLE_ROWS_H
#define DRIVER_TABLE_ROWS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver_support.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "tdb_commu.h"

namespace drivertest {

inline void be32(unsigned char *p, std::int64_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

/* A demo table of the current dictionary. */
inline const _dd_table *demo(const char *code)
{
    (void)dictionary_of(0, code, 0); /* makes the dictionary ready */
    init_dd_mode(1);
    const _dd_table *t = ddtable(code);
    EXPECT_NE(t, nullptr) << code;
    return t;
}

/* A row of a demo table: its default row with fields replaced. */
class Row {
public:
    explicit Row(const _dd_table *t) : t_(t), bytes_(t->default_row, t->default_row + t->row_length) {}
    Row &set(const char *field, const void *p, size_t n)
    {
        const _dd_column *c = ddcolumn_by_ddtable(t_, field);
        EXPECT_NE(c, nullptr) << field;
        if (c != nullptr) {
            EXPECT_LE(n, c->length) << field;
            std::memcpy(bytes_.data() + c->offset, p, std::min<size_t>(n, c->length));
        }
        return *this;
    }
    Row &str(const char *field, const std::string &s)
    {
        const _dd_column *c = ddcolumn_by_ddtable(t_, field);
        std::string padded = s;
        padded.resize(c->length, ' ');
        return set(field, padded.data(), padded.size());
    }
    Row &raw(const char *field, const std::string &s)
    {
        const _dd_column *c = ddcolumn_by_ddtable(t_, field);
        std::string padded = s;
        padded.resize(c->length, '\0');
        return set(field, padded.data(), padded.size());
    }
    Row &l(const char *field, std::int64_t v)
    {
        unsigned char b[4];
        be32(b, v);
        return set(field, b, 4);
    }
    Row &s(const char *field, int v)
    {
        unsigned char b[2] = {static_cast<unsigned char>((v >> 8) & 0xFF),
                              static_cast<unsigned char>(v & 0xFF)};
        return set(field, b, 2);
    }
    Row &b(const char *field, int v)
    {
        unsigned char x = static_cast<unsigned char>(v);
        return set(field, &x, 1);
    }
    Row &f(const char *field, float v) { return set(field, &v, 4); }
    Row &d(const char *field, double v) { return set(field, &v, 8); }
    /* The row as the driver gives it back: _dlock 0, _compnr the company. */
    std::vector<unsigned char> as_read(int compnr) const
    {
        std::vector<unsigned char> r = bytes_;
        std::memset(r.data() + t_->data_length, 0, 4);
        r[t_->data_length + 4] = static_cast<unsigned char>(compnr >> 8);
        r[t_->data_length + 5] = static_cast<unsigned char>(compnr & 0xFF);
        return r;
    }
    std::string key() const
    {
        unsigned char key[1024];
        int n = 0;
        for (_dd_column **p = t_->keys[0].parts; *p; p++) {
            std::memcpy(key + n, bytes_.data() + (*p)->offset, (*p)->length);
            n += (*p)->length;
        }
        return std::string(reinterpret_cast<char *>(key), static_cast<size_t>(n));
    }
    const std::vector<unsigned char> &bytes() const { return bytes_; }

private:
    const _dd_table *t_;
    std::vector<unsigned char> bytes_;
};

/* An update store as the client keeps it: a compressed row data set of
 * records (sequence number, operation, flags, row). */
class Store {
public:
    explicit Store(const _dd_table *t) : row_length_(t->row_length), set_(rds_open_update_actions(t, 0)) {}
    Store(std::vector<rds_col> cols, int row_length)
        : row_length_(row_length),
          set_(rds_open(12 + row_length, 12 + row_length, static_cast<int>(cols.size()),
                        cols.data(), 0, RDS_COMPRESSED))
    {
    }
    ~Store() { rds_close(set_); }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    void add(long seq, long op, long flags, const std::vector<unsigned char> &row)
    {
        std::vector<unsigned char> rec(12 + static_cast<size_t>(row_length_));
        be32(rec.data(), seq);
        be32(rec.data() + 4, op);
        be32(rec.data() + 8, flags);
        std::memcpy(rec.data() + 12, row.data(), static_cast<size_t>(row_length_));
        ASSERT_EQ(rds_put_seq(set_, rec.data()), 0);
    }
    commu_update_table table(const char *code, int compnr) const
    {
        commu_update_table u;
        std::memset(u.table, 0, sizeof u.table);
        std::memcpy(u.table, code, strnlen(code, 8));
        u.compnr = compnr;
        rds_stat st{};
        EXPECT_EQ(rds_get_stat(set_, &st), 0);
        u.byte_count = st.bytes;
        u.record_count = st.rows;
        u.bytes.resize(static_cast<size_t>(st.bytes));
        if (st.bytes > 0) {
            EXPECT_EQ(rds_read_bytes(set_, 0, u.bytes.data(), st.bytes), 0);
        }
        return u;
    }

private:
    int row_length_;
    RDS *set_;
};

/*
 * A driver started for a test with one session, and the requests of the
 * table tests: dictionaries (8), table actions (4), database actions (5),
 * buffered updates (11) and key reads (12).
 */
class DriverRequests {
public:
    explicit DriverRequests(const char *name = "sqlite") : c(name) {}

    long send_dd(const char *code, int compnr, long sess = 0)
    {
        commu_block reply;
        EXPECT_TRUE(c.exchange(dictionary_of(sess ? sess : session, code, compnr), &reply));
        return reply.retval;
    }
    long table(const char *code, int compnr, int action, long arg = 0, long *result = nullptr,
               long sess = 0)
    {
        commu_block req = table_action(sess ? sess : session, code, compnr, action);
        req.action = type_commu_table_action(action) | action;
        req.arg = arg;
        req.upd_seq = 1;
        commu_block reply;
        EXPECT_TRUE(c.exchange(req, &reply));
        if (result != nullptr)
            *result = reply.result;
        return reply.retval;
    }
    long dbaction(int action, long sess = 0, long *audit = nullptr)
    {
        commu_block req;
        req.kind = COMMU_EXE_DB;
        req.session = sess ? sess : session;
        req.action = type_commu_db_action(action) | action;
        commu_block reply;
        EXPECT_TRUE(c.exchange(req, &reply));
        if (audit != nullptr)
            *audit = reply.audit_a;
        return reply.retval;
    }
    long send_updates(std::vector<commu_update_table> tables, commu_block *out = nullptr,
                      long sess = 0)
    {
        commu_block req;
        req.kind = COMMU_EXE_UPDATE;
        req.session = sess ? sess : session;
        req.updates = std::move(tables);
        commu_block reply;
        EXPECT_TRUE(c.exchange(req, &reply));
        if (out != nullptr)
            *out = reply;
        return reply.retval;
    }
    long read(const char *code, int compnr, const std::string &key, bool locked,
              std::vector<unsigned char> *row, long sess = 0)
    {
        commu_block req;
        req.kind = COMMU_EXE_ROW;
        req.session = sess ? sess : session;
        req.table = code;
        req.compnr = compnr;
        int action = locked ? 14 : 13;
        req.action = type_commu_row_action(action) | action;
        req.msg = reinterpret_cast<const unsigned char *>(key.data());
        req.msg_len = static_cast<long>(key.size());
        commu_block reply;
        EXPECT_TRUE(c.exchange(req, &reply));
        row->assign(reply.answer, reply.answer + reply.answer_len);
        return reply.retval;
    }
    /* dbtst100 created for a company. */
    void create100(int compnr = 0)
    {
        ASSERT_EQ(send_dd("dbtst100", compnr), 0);
        ASSERT_EQ(table("dbtst100", compnr, 4), 0);
    }
    Row article(const char *code)
    {
        return Row(demo("dbtst100")).str("code", code).str("name", std::string("Name ") + code);
    }

    Connection c;
    long session = 0;
    bool detached = false;
};

} // namespace drivertest

#endif
