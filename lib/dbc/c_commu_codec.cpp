/*
 * c_commu_codec.cpp: the byte layout of every driver request and reply,
 * written and read in one place for both sides (client: write request,
 * read reply; driver: read request, write reply), and the receive buffer.
 */
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "al_stream.h"
#include "compnr.h"
#include "tdb_commu.h"

namespace {

/* ---- primitives ------------------------------------------------------------ */

/* Writes fields in order; the first failure sticks. */
struct Out {
    STREAM *sp;
    bool ok = true;
    void l(long v) { ok = ok && w_long(sp, v) == 0; }
    void s(int v) { ok = ok && w_short(sp, v) == 0; }
    void b(int v) { ok = ok && sputc(v & 0xff, sp) != -1; }
    void blk(const void *p, long n)
    {
        if (n > 0)
            ok = ok && p != nullptr && swrite_blok(p, static_cast<int>(n), sp) == n;
    }
    void str(const std::string &text)
    {
        /* A string ends at its first NUL, which is written as terminator. */
        blk(text.c_str(), static_cast<long>(std::strlen(text.c_str())) + 1);
    }
    /* A name of exactly 8 bytes, space padded, without terminator. */
    void name8(const char *name)
    {
        char buf[8];
        std::memset(buf, ' ', sizeof buf);
        if (name != nullptr)
            std::memcpy(buf, name, strnlen(name, 8));
        blk(buf, 8);
    }
    int result() const { return ok ? 0 : -1; }
};

/* Reads fields in order; the first failure (end of stream, error, a value
 * out of bounds) sticks and every later read gives 0. */
struct In {
    STREAM *sp;
    bool ok = true;
    bool raw(void *p, long n)
    {
        if (!ok || n < 0)
            return ok = false;
        if (n > 0 && sread_blok(p, static_cast<int>(n), sp) != n)
            ok = false;
        return ok;
    }
    long l()
    {
        unsigned char b[4];
        if (!raw(b, 4))
            return 0;
        std::uint32_t v = (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) |
                          (std::uint32_t(b[2]) << 8) | b[3];
        return static_cast<std::int32_t>(v);
    }
    int s()
    {
        unsigned char b[2];
        if (!raw(b, 2))
            return 0;
        return static_cast<std::int16_t>((b[0] << 8) | b[1]);
    }
    /* A short read as an unsigned length or count. */
    int us() { return s() & 0xffff; }
    int b()
    {
        unsigned char c;
        return raw(&c, 1) ? c : 0;
    }
    std::string str()
    {
        std::string text;
        if (!ok)
            return text;
        for (;;) {
            int c = sgetc(sp);
            if (c < 0) {
                ok = false;
                return text;
            }
            if (c == 0)
                return text;
            if (text.size() >= COMMU_MAX_STRING) {
                ok = false;
                return text;
            }
            text.push_back(static_cast<char>(c));
        }
    }
    /* A count that must lie in 0..max. */
    long count(long value, long max)
    {
        if (value < 0 || value > max)
            ok = false;
        return ok ? value : 0;
    }
    /* An 8-byte name into a 9-byte buffer. */
    void name8(char out[9])
    {
        std::memset(out, 0, 9);
        raw(out, 8);
    }
    int result() const { return ok ? 0 : -1; }
};

/* ---- receive buffer ---------------------------------------------------------- */

std::vector<unsigned char> &receive_buffer()
{
    static std::vector<unsigned char> buffer;
    return buffer;
}

/* Bytes read at a time into a growing buffer, so that a garbled length
 * costs no more memory than the bytes that really arrive. */
constexpr long read_step = 65536;

/* Reads a block of n bytes into the receive buffer. */
const unsigned char *read_block(In &in, long n)
{
    if (!in.ok || n < 0 || n > COMMU_MAX_BLOCK) {
        in.ok = false;
        return nullptr;
    }
    unsigned char *p = commu_receive_buffer(std::min(n, read_step));
    for (long done = 0; p != nullptr && in.ok && done < n;) {
        long step = std::min(n - done, read_step);
        p = commu_receive_buffer(done + step);
        if (p != nullptr)
            in.raw(p + done, step);
        done += step;
    }
    if (p == nullptr)
        in.ok = false;
    return in.ok ? p : nullptr;
}

/* Reads n bytes into a vector, growing it as they arrive. */
template <class Vec>
void read_into(In &in, Vec *out, long n)
{
    out->clear();
    for (long done = 0; in.ok && done < n;) {
        long step = std::min(n - done, read_step);
        out->resize(static_cast<size_t>(done + step));
        in.raw(out->data() + done, step);
        done += step;
    }
}

/* ---- pieces shared by several messages ------------------------------------------ */

/* Missing-dictionary entries: 8-byte name and a short each. */
void put_missing(Out &out, const std::vector<commu_missing_dd> &missing, long count)
{
    out.l(count);
    for (const commu_missing_dd &m : missing) {
        out.name8(m.table);
        out.s(m.compnr);
    }
}

void get_missing(In &in, commu_block *blk)
{
    blk->missing_count = in.l();
    long n = in.count(blk->missing_count, COMMU_MAX_ENTRIES);
    for (long i = 0; i < n && in.ok; i++) {
        commu_missing_dd m{};
        in.name8(m.table);
        m.compnr = in.us();
        blk->missing.push_back(m);
    }
}

/* Request fields of the session and system requests: short length and
 * block; the block lies in the receive buffer on the reading side. */
void get_msg(In &in, commu_block *blk)
{
    blk->msg_len = in.us();
    blk->msg = read_block(in, blk->msg_len);
}

/* Reply of 6 and 7: short answer length, answer, return code. */
void put_answer(Out &out, const commu_block *blk)
{
    out.s(static_cast<int>(blk->answer_len));
    out.blk(blk->answer, blk->answer_len);
    out.l(blk->retval);
}

void get_answer(In &in, commu_block *blk)
{
    blk->answer_len = in.us();
    blk->answer = read_block(in, blk->answer_len);
    blk->retval = in.l();
}

bool is_commit_reply(long action)
{
    int number = static_cast<int>(action & 0xff);
    return number == TDB_COMMIT_TRANS || number == TDB_AUDIT_COMMIT;
}

/* ---- request 11: the update stores -------------------------------------------- */

void put_update_table(Out &out, const commu_update_table &t)
{
    out.name8(t.table);
    out.s(t.compnr);
    out.l(t.byte_count);
    if (t.byte_count == 0)
        return;
    out.l(t.record_count);
    unsigned char piece[COMMU_UPD_PIECE];
    for (long done = 0; out.ok && done < t.byte_count;) {
        int want = static_cast<int>(std::min<long>(COMMU_UPD_PIECE, t.byte_count - done));
        int got;
        if (t.read_piece != nullptr) {
            got = t.read_piece(t.ctx, done, piece, want);
            if (got <= 0 || got > want) {
                out.ok = false;
                return;
            }
            out.blk(piece, got);
        } else {
            if (static_cast<long>(t.bytes.size()) < t.byte_count) {
                out.ok = false;
                return;
            }
            got = want;
            out.blk(t.bytes.data() + done, got);
        }
        done += got;
    }
}

void get_update_table(In &in, commu_update_table *t)
{
    in.name8(t->table);
    t->compnr = in.us();
    t->byte_count = in.count(in.l(), COMMU_MAX_BLOCK);
    t->record_count = 0;
    t->bytes.clear();
    if (!in.ok || t->byte_count == 0)
        return;
    t->record_count = in.l();
    read_into(in, &t->bytes, t->byte_count);
}

/* ---- the messages ------------------------------------------------------------------ */

int write_request_body(Out &out, const commu_block *blk)
{
    switch (blk->kind) {
    case COMMU_ATT_SERVER:
        out.l(blk->server_id);
        out.s(blk->file_format);
        out.s(blk->file_format2);
        out.l(blk->sql_protocol);
        out.str(blk->client_name);
        out.str(blk->dt_version);
        out.str(blk->compnr_env);
        if (blk->no_refs)
            out.str(COMMU_NO_REFS);
        out.str(blk->server_desc);
        break;
    case COMMU_DET_SERVER:
        break;
    case COMMU_ATT_SESSION:
        out.str(blk->trans_name);
        break;
    case COMMU_DET_SESSION:
        out.l(blk->session);
        out.b(blk->det_flag);
        break;
    case COMMU_EXE_TABLE:
        out.l(blk->session);
        out.str(blk->table);
        out.s(blk->compnr);
        out.l(blk->action);
        out.l(blk->arg);
        out.l(blk->upd_seq);
        break;
    case COMMU_EXE_DB:
        out.l(blk->session);
        out.l(blk->action);
        for (long v : blk->audit_trans)
            out.l(v);
        break;
    case COMMU_EXE_SESSION:
        out.l(blk->session);
        [[fallthrough]];
    case COMMU_EXE_SYSTEM:
        out.l(blk->code);
        out.s(static_cast<int>(blk->msg_len));
        out.blk(blk->msg, blk->msg_len);
        break;
    case COMMU_DD_INFO_TABLE:
        out.l(blk->session);
        out.ok = out.ok && commu_write_dd_desc(out.sp, &blk->dd) == 0;
        break;
    case COMMU_PERMISSION:
        out.ok = out.ok && commu_write_roles(out.sp, blk->roles) == 0;
        break;
    case COMMU_SQL_MESSAGE:
        out.l(blk->msg_len);
        out.blk(blk->msg, blk->msg_len);
        break;
    case COMMU_EXE_UPDATE:
        out.l(blk->session);
        out.s(static_cast<int>(blk->updates.size()));
        for (const commu_update_table &t : blk->updates)
            put_update_table(out, t);
        break;
    case COMMU_EXE_ROW:
        out.l(blk->session);
        out.str(blk->table);
        out.s(blk->compnr);
        out.l(blk->action);
        out.s(static_cast<int>(blk->msg_len));
        out.blk(blk->msg, blk->msg_len);
        break;
    case COMMU_SEND_COMPNR:
        out.ok = out.ok && compnrWriteMap(out.sp) == 0;
        break;
    case COMMU_AUDITCOLS:
        out.l(blk->auditcols_id);
        for (const commu_auditcol &e : blk->auditcols) {
            if (e.name.empty())
                continue; /* an empty name would end the list */
            out.str(e.name);
            out.l(e.value);
        }
        out.str("");
        break;
    case COMMU_ALTER_TABLE:
        out.str(blk->table);
        out.l(blk->compnr);
        out.l(blk->action);
        out.l(blk->session);
        out.l(blk->msg_len);
        out.blk(blk->msg, blk->msg_len);
        break;
    case COMMU_SQL2_MESSAGE:
        out.l(blk->code);
        out.l(blk->session);
        if (blk->sql2.write_query == nullptr)
            return -1;
        out.ok = out.ok && blk->sql2.write_query(out.sp, blk->sql2.ctx) == 0;
        break;
    default:
        return -1;
    }
    return out.result();
}

int read_request_body(In &in, commu_block *blk)
{
    switch (blk->kind) {
    case COMMU_ATT_SERVER: {
        blk->server_id = in.l();
        blk->file_format = in.s();
        blk->file_format2 = in.s();
        blk->sql_protocol = in.l();
        blk->client_name = in.str();
        blk->dt_version = in.str();
        blk->compnr_env = in.str();
        /* The marker cannot be a server description: that has the form
         * of three words. */
        std::string next = in.str();
        blk->no_refs = next == COMMU_NO_REFS;
        blk->server_desc = blk->no_refs ? in.str() : next;
        break;
    }
    case COMMU_DET_SERVER:
        break;
    case COMMU_ATT_SESSION:
        blk->trans_name = in.str();
        break;
    case COMMU_DET_SESSION:
        blk->session = in.l();
        blk->det_flag = in.b();
        break;
    case COMMU_EXE_TABLE:
        blk->session = in.l();
        blk->table = in.str();
        blk->compnr = in.us();
        blk->action = in.l();
        blk->arg = in.l();
        blk->upd_seq = in.l();
        break;
    case COMMU_EXE_DB:
        blk->session = in.l();
        blk->action = in.l();
        for (long &v : blk->audit_trans)
            v = in.l();
        break;
    case COMMU_EXE_SESSION:
        blk->session = in.l();
        [[fallthrough]];
    case COMMU_EXE_SYSTEM:
        blk->code = in.l();
        get_msg(in, blk);
        break;
    case COMMU_DD_INFO_TABLE:
        blk->session = in.l();
        in.ok = in.ok && commu_read_dd_desc(in.sp, &blk->dd) == 0;
        break;
    case COMMU_PERMISSION:
        in.ok = in.ok && commu_read_roles(in.sp, &blk->roles) == 0;
        break;
    case COMMU_SQL_MESSAGE:
        blk->msg_len = in.l();
        blk->msg = read_block(in, blk->msg_len);
        break;
    case COMMU_EXE_UPDATE: {
        blk->session = in.l();
        int n = in.us();
        blk->updates.clear();
        for (int i = 0; i < n && in.ok; i++) {
            blk->updates.emplace_back();
            get_update_table(in, &blk->updates.back());
        }
        break;
    }
    case COMMU_EXE_ROW:
        blk->session = in.l();
        blk->table = in.str();
        blk->compnr = in.us();
        blk->action = in.l();
        get_msg(in, blk);
        break;
    case COMMU_SEND_COMPNR:
        /* The body is the company module's to read. */
        break;
    case COMMU_AUDITCOLS:
        blk->auditcols_id = in.l();
        blk->auditcols.clear();
        for (;;) {
            std::string name = in.str();
            if (!in.ok || name.empty())
                break;
            long value = in.l();
            if (blk->auditcols.size() >= COMMU_MAX_ENTRIES)
                in.ok = false;
            if (!in.ok)
                break;
            blk->auditcols.push_back({name, value});
        }
        break;
    case COMMU_ALTER_TABLE:
        blk->table = in.str();
        blk->compnr = static_cast<int>(in.l());
        blk->action = in.l();
        blk->session = in.l();
        blk->msg_len = in.l();
        blk->msg = read_block(in, blk->msg_len);
        break;
    case COMMU_SQL2_MESSAGE:
        blk->code = in.l();
        blk->session = in.l();
        if (blk->sql2.read_query == nullptr)
            return -1;
        in.ok = in.ok && blk->sql2.read_query(in.sp, blk->sql2.ctx) == 0;
        break;
    default:
        return -1;
    }
    return in.result();
}

int write_reply_body(Out &out, const commu_block *blk)
{
    switch (blk->kind) {
    case COMMU_ATT_SERVER:
        out.l(blk->max_sessions);
        out.l(blk->driver_pid);
        out.l(blk->level_flags);
        out.l(blk->reply_sql_protocol);
        out.b(blk->idle_limit);
        out.l(blk->retval);
        break;
    case COMMU_ATT_SESSION:
        out.l(blk->session);
        out.l(blk->retval);
        break;
    case COMMU_DET_SERVER:
    case COMMU_DET_SESSION:
    case COMMU_DD_INFO_TABLE:
    case COMMU_PERMISSION:
    case COMMU_SEND_COMPNR:
    case COMMU_AUDITCOLS:
        out.l(blk->retval);
        break;
    case COMMU_EXE_TABLE:
        out.l(blk->result);
        out.l(blk->retval);
        if (blk->retval == E_COMMU_DD_MISSING)
            put_missing(out, blk->missing, static_cast<long>(blk->missing.size()));
        break;
    case COMMU_EXE_DB:
        out.l(blk->retval);
        if (is_commit_reply(blk->action)) {
            out.l(blk->audit_a);
            if (blk->audit_a != -1) {
                out.l(blk->audit_b);
                out.l(blk->audit_c);
                for (const commu_audit_entry &e : blk->audit_entries) {
                    if (e.table.empty())
                        continue;
                    out.str(e.table);
                    out.s(e.s1);
                    out.s(e.s2);
                    out.l(e.l);
                }
                out.str("");
            }
        }
        break;
    case COMMU_EXE_SESSION:
    case COMMU_EXE_SYSTEM:
        put_answer(out, blk);
        break;
    case COMMU_SQL_MESSAGE:
        out.l(blk->answer_len);
        out.blk(blk->answer, blk->answer_len);
        break;
    case COMMU_EXE_UPDATE:
        out.l(blk->retval);
        if (blk->retval == E_COMMU_DD_MISSING) {
            put_missing(out, blk->missing, static_cast<long>(blk->missing.size()));
        } else if (blk->retval == E_COMMU_BUFFERED) {
            long n = static_cast<long>(blk->detail_text.size());
            out.l(blk->detail_code);
            out.name8(blk->detail_table);
            out.s(blk->detail_number);
            out.l(n);
            out.blk(blk->detail_text.data(), n);
        }
        break;
    case COMMU_EXE_ROW:
        out.s(static_cast<int>(blk->answer_len));
        out.blk(blk->answer, blk->answer_len);
        out.l(blk->retval);
        if (blk->retval == E_COMMU_DD_MISSING)
            put_missing(out, blk->missing, static_cast<long>(blk->missing.size()));
        break;
    case COMMU_ALTER_TABLE: {
        /* A count and a 20-byte block with room for two entries. */
        unsigned char block[20] = {0};
        long n = static_cast<long>(blk->missing.size());
        for (long i = 0; i < n && i < 2; i++) {
            const commu_missing_dd &m = blk->missing[static_cast<size_t>(i)];
            size_t len = strnlen(m.table, 8);
            std::memset(block + i * 10, ' ', 8);
            std::memcpy(block + i * 10, m.table, len);
            block[i * 10 + 8] = static_cast<unsigned char>((m.compnr >> 8) & 0xff);
            block[i * 10 + 9] = static_cast<unsigned char>(m.compnr & 0xff);
        }
        out.l(blk->retval);
        out.l(n);
        out.blk(block, sizeof block);
        out.l(blk->result);
        break;
    }
    case COMMU_SQL2_MESSAGE:
        out.l(blk->result);
        if (blk->sql2.write_answer == nullptr)
            return -1;
        out.ok = out.ok && blk->sql2.write_answer(out.sp, blk->sql2.ctx) == 0;
        break;
    default:
        return -1;
    }
    return out.result();
}

int read_reply_body(In &in, commu_block *blk)
{
    blk->missing.clear();
    blk->missing_count = 0;
    switch (blk->kind) {
    case COMMU_ATT_SERVER:
        blk->max_sessions = in.l();
        blk->driver_pid = in.l();
        blk->level_flags = in.l();
        blk->reply_sql_protocol = in.l();
        blk->idle_limit = in.b();
        blk->retval = in.l();
        break;
    case COMMU_ATT_SESSION:
        blk->session = in.l();
        blk->retval = in.l();
        break;
    case COMMU_DET_SERVER:
    case COMMU_DET_SESSION:
    case COMMU_DD_INFO_TABLE:
    case COMMU_PERMISSION:
    case COMMU_SEND_COMPNR:
    case COMMU_AUDITCOLS:
        blk->retval = in.l();
        break;
    case COMMU_EXE_TABLE:
        blk->result = in.l();
        blk->retval = in.l();
        if (in.ok && blk->retval == E_COMMU_DD_MISSING)
            get_missing(in, blk);
        break;
    case COMMU_EXE_DB:
        blk->retval = in.l();
        blk->audit_entries.clear();
        if (is_commit_reply(blk->action)) {
            blk->audit_a = in.l();
            if (in.ok && blk->audit_a != -1) {
                blk->audit_b = in.l();
                blk->audit_c = in.l();
                for (;;) {
                    commu_audit_entry e;
                    e.table = in.str();
                    if (!in.ok || e.table.empty())
                        break;
                    e.s1 = in.s();
                    e.s2 = in.s();
                    e.l = in.l();
                    if (blk->audit_entries.size() >= COMMU_MAX_ENTRIES)
                        in.ok = false;
                    if (!in.ok)
                        break;
                    blk->audit_entries.push_back(std::move(e));
                }
            }
        }
        break;
    case COMMU_EXE_SESSION:
    case COMMU_EXE_SYSTEM:
        get_answer(in, blk);
        break;
    case COMMU_SQL_MESSAGE:
        blk->answer_len = in.l();
        blk->answer = read_block(in, blk->answer_len);
        blk->retval = 0;
        break;
    case COMMU_EXE_UPDATE:
        blk->retval = in.l();
        if (in.ok && blk->retval == E_COMMU_DD_MISSING) {
            get_missing(in, blk);
        } else if (in.ok && blk->retval == E_COMMU_BUFFERED) {
            blk->detail_code = static_cast<int>(in.l());
            in.name8(blk->detail_table);
            blk->detail_number = in.us();
            long n = in.count(in.l(), COMMU_MAX_BLOCK);
            read_into(in, &blk->detail_text, n);
        }
        break;
    case COMMU_EXE_ROW:
        blk->answer_len = in.us();
        blk->answer = read_block(in, blk->answer_len);
        blk->retval = in.l();
        if (in.ok && blk->retval == E_COMMU_DD_MISSING)
            get_missing(in, blk);
        if (in.ok && blk->row_out != nullptr && blk->answer_len > 0) {
            /* A row longer than the caller's buffer is refused. */
            if (blk->answer_len > blk->row_size)
                in.ok = false;
            else
                std::memcpy(blk->row_out, blk->answer, static_cast<size_t>(blk->answer_len));
        }
        break;
    case COMMU_ALTER_TABLE: {
        blk->retval = in.l();
        blk->missing_count = in.l();
        unsigned char block[20];
        in.raw(block, sizeof block);
        blk->result = in.l();
        if (in.ok && blk->missing_count < 0)
            in.ok = false;
        for (long i = 0; in.ok && i < blk->missing_count && i < 2; i++) {
            commu_missing_dd m{};
            std::memcpy(m.table, block + i * 10, 8);
            m.compnr = (block[i * 10 + 8] << 8) | block[i * 10 + 9];
            blk->missing.push_back(m);
        }
        break;
    }
    case COMMU_SQL2_MESSAGE:
        blk->result = in.l();
        if (blk->sql2.read_answer == nullptr)
            return -1;
        in.ok = in.ok && blk->sql2.read_answer(in.sp, blk->sql2.ctx) == 0;
        blk->retval = 0;
        break;
    default:
        return -1;
    }
    return in.result();
}

} // namespace

/* ---- public entry points ------------------------------------------------------------ */

unsigned char *commu_receive_buffer(long size)
{
    if (size < 0 || size > COMMU_MAX_BLOCK)
        return nullptr;
    std::vector<unsigned char> &buffer = receive_buffer();
    /* One byte more, so that an empty block still has an address. */
    if (buffer.size() < static_cast<size_t>(size) + 1) {
        try {
            buffer.resize(static_cast<size_t>(size) + 1);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return buffer.data();
}

int commu_write_request(STREAM *sp, const commu_block *blk)
{
    if (sp == nullptr || blk == nullptr)
        return -1;
    Out out{sp};
    out.b(blk->kind);
    if (!out.ok)
        return -1;
    return write_request_body(out, blk);
}

int commu_read_reply(STREAM *sp, commu_block *blk)
{
    if (sp == nullptr || blk == nullptr)
        return -1;
    In in{sp};
    try {
        return read_reply_body(in, blk);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int commu_read_request(STREAM *sp, commu_block *blk)
{
    if (sp == nullptr || blk == nullptr)
        return -1;
    In in{sp};
    int kind = sgetc(sp);
    if (kind < 0)
        return -1;
    blk->kind = kind;
    try {
        return read_request_body(in, blk);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int commu_write_reply(STREAM *sp, const commu_block *blk)
{
    if (sp == nullptr || blk == nullptr)
        return -1;
    Out out{sp};
    return write_reply_body(out, blk);
}

/* ---- the table dictionary description (request 8) ------------------------------------- */

int commu_write_dd_desc(STREAM *sp, const commu_dd_desc *d)
{
    Out out{sp};
    char name[9];
    std::memset(name, 0, sizeof name);
    std::memcpy(name, d->table, strnlen(d->table, 8));
    out.blk(name, 9);
    out.s(static_cast<int>(d->columns.size()));
    out.s(static_cast<int>(d->combined.size()));
    out.s(static_cast<int>(d->indexes.size()));
    out.s(static_cast<int>(d->index_words.size()));
    out.s(d->compnr);
    out.s(static_cast<int>(d->refs.size()));
    out.s(static_cast<int>(d->refs_by.size()));
    out.s(d->ref_flags);
    for (const commu_dd_column &c : d->columns) {
        out.str(c.name);
        out.s(c.length);
        out.s(c.offset);
        out.b(c.type);
        out.b(c.flags);
        out.b(c.elements);
        out.b(c.digits_before);
        out.b(c.digits_after);
    }
    for (const commu_dd_combined &c : d->combined) {
        out.str(c.name);
        out.s(static_cast<int>(c.members.size()));
        for (int m : c.members)
            out.s(m);
    }
    for (const commu_dd_index &k : d->indexes) {
        out.b(k.keynr);
        out.b(k.du);
        out.b(k.a);
        out.s(static_cast<int>(k.parts.size()));
        for (int p : k.parts)
            out.s(p);
    }
    for (int w : d->index_words)
        out.s(w);
    for (const commu_dd_ref &r : d->refs) {
        out.str(r.name);
        out.s(r.mode);
    }
    for (const commu_dd_ref_by &r : d->refs_by) {
        out.str(r.table);
        out.str(r.column);
        out.s(r.mode);
    }
    return out.result();
}

int commu_read_dd_desc(STREAM *sp, commu_dd_desc *d)
{
    In in{sp};
    try {
        std::memset(d->table, 0, sizeof d->table);
        in.raw(d->table, 9);
        d->table[9] = '\0';
        int ncol = in.us(), ncomb = in.us(), nidx = in.us(), nwords = in.us();
        d->compnr = in.us();
        int nrefs = in.us(), nrefby = in.us();
        d->ref_flags = in.us();
        d->columns.clear();
        d->combined.clear();
        d->indexes.clear();
        d->index_words.clear();
        d->refs.clear();
        d->refs_by.clear();
        for (int i = 0; i < ncol && in.ok; i++) {
            commu_dd_column c;
            c.name = in.str();
            c.length = in.us();
            c.offset = in.us();
            c.type = in.b();
            c.flags = in.b();
            c.elements = in.b();
            c.digits_before = in.b();
            c.digits_after = in.b();
            d->columns.push_back(std::move(c));
        }
        for (int i = 0; i < ncomb && in.ok; i++) {
            commu_dd_combined c;
            c.name = in.str();
            int n = in.us();
            for (int j = 0; j < n && in.ok; j++)
                c.members.push_back(in.us());
            d->combined.push_back(std::move(c));
        }
        for (int i = 0; i < nidx && in.ok; i++) {
            commu_dd_index k;
            k.keynr = in.b();
            k.du = in.b();
            k.a = in.b();
            int n = in.us();
            for (int j = 0; j < n && in.ok; j++)
                k.parts.push_back(in.us());
            d->indexes.push_back(std::move(k));
        }
        for (int i = 0; i < nwords && in.ok; i++)
            d->index_words.push_back(in.us());
        for (int i = 0; i < nrefs && in.ok; i++) {
            commu_dd_ref r;
            r.name = in.str();
            r.mode = in.us();
            d->refs.push_back(std::move(r));
        }
        for (int i = 0; i < nrefby && in.ok; i++) {
            commu_dd_ref_by r;
            r.table = in.str();
            r.column = in.str();
            r.mode = in.us();
            d->refs_by.push_back(std::move(r));
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return in.result();
}

/* ---- the roles message (request 9) ------------------------------------------------------ */

int commu_write_roles(STREAM *sp, const std::vector<commu_role> &roles)
{
    Out out{sp};
    for (const commu_role &role : roles) {
        if (role.name.empty())
            continue; /* an empty name is the closing entry */
        out.s(static_cast<int>(role.name.size()) + 1);
        out.str(role.name);
        for (const commu_role_object &object : role.objects) {
            if (object.skipped || object.entries.empty())
                continue;
            for (const commu_permission &p : object.entries) {
                long len = static_cast<long>(p.condition.size());
                out.str(p.object);
                out.s(p.level);
                out.s(static_cast<int>(len));
                if (len > 0)
                    out.blk(p.condition.c_str(), len + 1);
            }
            out.b(0);
        }
        out.b(0);
    }
    out.s(1);
    out.b(0);
    return out.result();
}

int commu_read_roles(STREAM *sp, std::vector<commu_role> *roles)
{
    In in{sp};
    roles->clear();
    try {
        for (;;) {
            int len = in.us();
            std::string name = in.str();
            if (!in.ok)
                break;
            if (static_cast<int>(name.size()) + 1 != len) {
                in.ok = false;
                break;
            }
            if (name.empty())
                break; /* the closing entry */
            commu_role role;
            role.name = name;
            /* Objects until an empty string; entries of one object until
             * an empty string. */
            std::string object = in.str();
            while (in.ok && !object.empty()) {
                commu_role_object obj;
                while (in.ok && !object.empty()) {
                    commu_permission p;
                    p.object = object;
                    p.level = in.s();
                    int clen = in.us();
                    if (clen > 0) {
                        std::vector<char> text(static_cast<size_t>(clen) + 1);
                        in.raw(text.data(), clen + 1);
                        if (in.ok && text[static_cast<size_t>(clen)] != '\0')
                            in.ok = false;
                        p.condition.assign(text.data(), static_cast<size_t>(clen));
                    }
                    obj.entries.push_back(std::move(p));
                    object = in.str();
                }
                role.objects.push_back(std::move(obj));
                object = in.str();
            }
            roles->push_back(std::move(role));
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return in.result();
}
