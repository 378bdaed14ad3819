/*
 * commu_client_test.cpp: the client side of the driver exchange: action
 * tables, the table dictionary description of demo tables byte for byte,
 * client_commu, the attach and detach sequences and the 513 and 519
 * repair loops against a fake driver in a forked child.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "al_log.h"
#include "al_stream.h"
#include "c_commu.h"
#include "c_state.h"
#include "commu_support.h"
#include "qpd_dd.h"
#include "tdb_api.h"
#include "tdb_commu.h"
#include "tss.h"

using namespace commutest;

namespace {

/* Log messages while alive. */
struct LogRecorder {
    static std::vector<std::string> *active;
    std::vector<std::string> messages;
    LogRecorder()
    {
        active = &messages;
        log_set_log_hook([](const char *m) {
            if (active)
                active->emplace_back(m);
        });
    }
    ~LogRecorder()
    {
        log_set_log_hook(nullptr);
        active = nullptr;
    }
    bool logged(const std::string &text) const
    {
        for (const auto &m : messages)
            if (m.find(text) != std::string::npos)
                return true;
        return false;
    }
};
std::vector<std::string> *LogRecorder::active = nullptr;

class CommuClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        root();
        reset_state();
        trans.id = 1;
        std::strcpy(trans.name, "tdbreconfig");
        server.driver_name = "sqlite";
        server.driver_args = "a";
        server.server_id = 1;
        session.server = &server;
        session.trans = &trans;
        session.driver_session = 41;
        server.sessions = &session;
        trans.sessions = &session;
    }
    void TearDown() override
    {
        init_dd_mode(1);
        reset_state();
    }
    tdb_trans trans;
    tdb_server server;
    tdb_session session;
};

commu_block reply_of(int kind, long retval)
{
    commu_block r;
    r.kind = kind;
    r.retval = retval;
    return r;
}

commu_missing_dd missing(const char *table, int compnr)
{
    commu_missing_dd m{};
    std::strncpy(m.table, table, 8);
    m.compnr = compnr;
    return m;
}

/* The description of a table of the demo dictionary in a mode. */
Bytes description(const char *table, int mode, int compnr, int refs_disabled, int *rc)
{
    init_dd_mode(mode);
    const _dd_table *t = ddtable(table);
    EXPECT_NE(t, nullptr) << table;
    commu_dd_desc d;
    *rc = t ? commu_describe_table(t, compnr, refs_disabled, &d) : -1;
    init_dd_mode(1);
    return written([&](STREAM *sp) { return commu_write_dd_desc(sp, &d); });
}

/* The attach-server conversation up to the attach request, answered as
 * given; returns the attach request seen. */
bool driver_init_requests(STREAM *rd, STREAM *wr)
{
    commu_block req;
    if (!read_request(rd, &req, COMMU_EXE_SYSTEM))
        return false;
    EXPECT_EQ(req.code, 5);
    EXPECT_EQ(req.msg_len, 4);
    EXPECT_EQ(std::memcmp(req.msg, "\0\0\4\0", 4), 0);
    if (!write_reply(wr, reply_of(COMMU_EXE_SYSTEM, 0)))
        return false;
    if (!read_request(rd, &req, COMMU_EXE_SYSTEM))
        return false;
    EXPECT_EQ(req.code, 6);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(req.msg), static_cast<size_t>(req.msg_len)),
              std::string("\x06sqlitea"));
    return write_reply(wr, reply_of(COMMU_EXE_SYSTEM, 0));
}

commu_block attach_reply(long retval, long protocol, long level)
{
    commu_block r = reply_of(COMMU_ATT_SERVER, retval);
    r.max_sessions = 10;
    r.driver_pid = 999;
    r.level_flags = level;
    r.reply_sql_protocol = protocol;
    r.idle_limit = 4;
    return r;
}

} // namespace

/* ---- action tables ---------------------------------------------------------------- */

TEST(CommuActions, RowActionFlagsAndNames)
{
    EXPECT_EQ(type_commu_row_action(1), 0x900);
    EXPECT_EQ(type_commu_row_action(6), 0x107900);
    EXPECT_EQ(type_commu_row_action(15), 0xd00);
    EXPECT_EQ(type_commu_row_action(21), 0x86400);
    EXPECT_EQ(type_commu_row_action(22), 0x36200);
    EXPECT_EQ(type_commu_row_action(23), 0x57e00);
    EXPECT_EQ(type_commu_row_action(24), 0x6b00);
    EXPECT_EQ(type_commu_row_action(38), 0x6500);
    EXPECT_EQ(type_commu_row_action(42), 0x56e00);
    EXPECT_EQ(type_commu_row_action(43), 0x6e00);
    EXPECT_EQ(type_commu_row_action(58), 0x7500);
    EXPECT_EQ(type_commu_row_action(61), 0x86200);
    EXPECT_EQ(type_commu_row_action(64), 0x46200);
    EXPECT_EQ(type_commu_row_action(25), 0);
    EXPECT_EQ(type_commu_row_action(101), 0);
    EXPECT_STREQ(tdb_row_action(2), "db_first(locked)");
    EXPECT_STREQ(tdb_row_action(33), "db_next(delayed)");
    EXPECT_STREQ(tdb_row_action(43), "db_check_row_changed");
    EXPECT_STREQ(tdb_row_action(62), "db_insert(51)");
    EXPECT_STREQ(tdb_row_action(101), "insert(bfrd)");
    EXPECT_STREQ(tdb_row_action(108), "read(bfrd)");
    EXPECT_STREQ(tdb_row_action(44), "");
}

TEST(CommuActions, TableAndDatabaseActions)
{
    EXPECT_EQ(type_commu_table_action(1), 0xc000);
    EXPECT_EQ(type_commu_table_action(5), 0x6000);
    EXPECT_EQ(type_commu_table_action(9), 0xe000);
    EXPECT_EQ(type_commu_table_action(11), 0x4000);
    EXPECT_EQ(type_commu_table_action(13), 0);
    EXPECT_EQ(type_commu_table_action(26), 0);
    EXPECT_STREQ(tdb_table_action(7), "lock_table");
    EXPECT_STREQ(tdb_table_action(13), "upd_statistics");
    EXPECT_EQ(type_commu_db_action(2), 0x8000);
    EXPECT_EQ(type_commu_db_action(5), 0x8000);
    EXPECT_EQ(type_commu_db_action(9), 0);
    EXPECT_STREQ(tdb_db_action(4), "ERROR_prepare_commit");
    EXPECT_STREQ(tdb_db_action(9), "db_flush");
    EXPECT_STREQ(tdb_db_action(10), "");
}

TEST(CommuActions, NumbersOutOfRangePrintTheWrongCommandLine)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(type_commu_row_action(0), 0);
    EXPECT_EQ(type_commu_table_action(27), 0);
    EXPECT_EQ(type_commu_db_action(17), 0);
    EXPECT_EQ(type_commu_db_action(16), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Wrong command in lib/dbc/c_commu.cpp: "), std::string::npos) << err;
    EXPECT_NE(err.find(" command 0\n"), std::string::npos) << err;
    EXPECT_NE(err.find(" command 27\n"), std::string::npos) << err;
    EXPECT_NE(err.find(" command 17\n"), std::string::npos) << err;
    EXPECT_EQ(err.find(" command 16\n"), std::string::npos) << err;
}

/* ---- table dictionary description ---------------------------------------------------- */

TEST_F(CommuClient, DescriptionOfATableWithGroupsAuditColumnsAndAReference)
{
    int rc = -1;
    Bytes got = description("dbtst105", 1, 100, 0, &rc);
    ASSERT_EQ(rc, 0);
    Layout e;
    e.raw("dbtst105").byte(0);
    e.s(7).s(1);          /* columns, combined columns with members */
    e.s(1).s(13).s(100);  /* indexes, index words, company */
    e.s(1).s(0).s(0);     /* references from, to, flags */
    /* Stored columns by offset: name, length, offset, type, flags,
     * elements, digits before and after. */
    e.str("id").s(4).s(0).byte(3).byte(0).byte(1).byte(9).byte(0);
    e.str("name").s(20).s(4).byte(6).byte(0x80).byte(1).byte(0).byte(0);
    e.str("price").s(8).s(24).byte(5).byte(0x80).byte(1).byte(13).byte(4);
    e.str("Refcntu").s(4).s(32).byte(3).byte(0).byte(1).byte(0).byte(0);
    e.str("Refcntd").s(4).s(36).byte(3).byte(0).byte(1).byte(0).byte(0);
    e.str("note").s(20).s(40).byte(6).byte(0).byte(1).byte(0).byte(0);
    e.str("ordno").s(4).s(60).byte(3).byte(0x08).byte(1).byte(9).byte(0);
    /* The index pseudo-column. */
    e.str("_index1").s(1).s(0);
    /* Key 1: number, DU, A, parts. */
    e.byte(1).byte(0).byte(1).s(1).s(0);
    /* Groups: (id, name), (price, note), then Refcntd, Refcntu and ordno
     * alone, in positions of the column list. */
    e.s(5).s(2).s(0).s(1).s(2).s(2).s(5).s(1).s(4).s(1).s(3).s(1).s(6);
    /* The reference of ordno, mode "1r". */
    e.str("dbtst104.ordno").s(6);
    EXPECT_EQ(hex(got), hex(e.b));
}

TEST_F(CommuClient, DescriptionOfATableWithEveryColumnTypeThreeKeysAndAnIncomingReference)
{
    int rc = -1;
    Bytes got = description("dbtst100", 1, 0, 0, &rc);
    ASSERT_EQ(rc, 0);
    Layout e;
    e.raw("dbtst100").byte(0);
    e.s(16).s(3).s(3).s(0).s(0).s(0).s(1).s(2);
    e.str("code").s(6).s(0).byte(6).byte(0x02).byte(1).byte(0).byte(0);
    e.str("bval").s(1).s(6).byte(1).byte(0).byte(1).byte(0).byte(0);
    e.str("flag").s(1).s(7).byte(1).byte(0).byte(1).byte(0).byte(0);
    e.str("ival").s(2).s(8).byte(2).byte(0).byte(1).byte(5).byte(0);
    e.str("lval").s(4).s(10).byte(3).byte(0).byte(1).byte(9).byte(0);
    e.str("fval").s(4).s(14).byte(4).byte(0).byte(1).byte(6).byte(2);
    e.str("dval").s(8).s(18).byte(5).byte(0).byte(1).byte(13).byte(4);
    e.str("name").s(20).s(26).byte(6).byte(0).byte(1).byte(0).byte(0);
    e.str("date").s(4).s(46).byte(7).byte(0).byte(1).byte(0).byte(0);
    e.str("utc").s(4).s(50).byte(8).byte(0).byte(1).byte(0).byte(0);
    e.str("txt").s(4).s(54).byte(9).byte(0).byte(1).byte(0).byte(0);
    e.str("lv").s(4).s(58).byte(10).byte(0).byte(1).byte(0).byte(0);
    e.str("stat").s(1).s(62).byte(11).byte(0).byte(1).byte(0).byte(0);
    e.str("days").s(4).s(63).byte(12).byte(0).byte(1).byte(0).byte(0);
    e.str("mbname").s(30).s(67).byte(14).byte(0).byte(1).byte(0).byte(0);
    e.str("rawv").s(8).s(97).byte(15).byte(0).byte(1).byte(0).byte(0);
    e.str("_index1").s(1).s(0);
    e.str("_index2").s(2).s(7).s(0);
    e.str("_index3").s(2).s(12).s(8);
    e.byte(1).byte(0).byte(1).s(1).s(0);
    e.byte(2).byte(1).byte(1).s(2).s(7).s(0);
    e.byte(3).byte(1).byte(0).s(2).s(12).s(8);
    /* dbtst104.item refers to this table with mode "0n". */
    e.str("dbtst104").str("item").s(13);
    EXPECT_EQ(hex(got), hex(e.b));
}

TEST_F(CommuClient, DescriptionInTheNewDictionaryHasAnUpperCaseName)
{
    int rc = -1;
    Bytes got = description("dbtst107", 3, 812, 0, &rc);
    ASSERT_EQ(rc, 0);
    Layout e;
    e.raw("Dbtst107").byte(0).s(2).s(1).s(1).s(0).s(812).s(0).s(0).s(0);
    e.str("id").s(4).s(0).byte(3).byte(0).byte(1).byte(9).byte(0);
    e.str("descr").s(20).s(4).byte(6).byte(0).byte(1).byte(0).byte(0);
    e.str("_index1").s(1).s(0);
    e.byte(1).byte(0).byte(1).s(1).s(0);
    EXPECT_EQ(hex(got), hex(e.b));
}

TEST_F(CommuClient, ReferencesBothWaysAndTheirFlagsUnlessDisabled)
{
    init_dd_mode(1);
    const _dd_table *t = ddtable("dbtst104");
    ASSERT_NE(t, nullptr);
    commu_dd_desc d;
    ASSERT_EQ(commu_describe_table(t, 1, 0, &d), 0);
    ASSERT_EQ(d.refs.size(), 2u);
    /* Sorted by the referencing field: item ("0n", kind 1), ordno ("1cr"). */
    EXPECT_EQ(d.refs[0].name, "dbtst100.code");
    EXPECT_EQ(d.refs[0].mode, 13);
    EXPECT_EQ(d.refs[1].name, "dbtst102.ordno");
    EXPECT_EQ(d.refs[1].mode, 42);
    ASSERT_EQ(d.refs_by.size(), 1u);
    EXPECT_EQ(d.refs_by[0].table, "dbtst105");
    EXPECT_EQ(d.refs_by[0].column, "ordno");
    EXPECT_EQ(d.refs_by[0].mode, 6);
    EXPECT_EQ(d.ref_flags, 1);

    ASSERT_EQ(commu_describe_table(t, 1, 1, &d), 0);
    EXPECT_TRUE(d.refs.empty());
    EXPECT_TRUE(d.refs_by.empty());
    EXPECT_EQ(d.ref_flags, 0);
    Bytes got = written([&](STREAM *sp) { return commu_write_dd_desc(sp, &d); });
    ASSERT_GE(got.size(), 25u);
    /* The three reference shorts of the header are zero. */
    EXPECT_EQ(hex(Bytes(got.begin() + 19, got.begin() + 25)), "00 00 00 00 00 00");
}

TEST_F(CommuClient, AColumnReferenceWithoutAStoredColumnIsFatal)
{
    init_dd_mode(1);
    const _dd_table *t = ddtable("dbtst107");
    ASSERT_NE(t, nullptr);
    /* A private copy of the table whose key names a column that is not
     * stored at its offset. */
    _dd_table copy = *t;
    std::vector<_dd_column> cols(t->columns, t->columns + t->nr_columns);
    _dd_column ghost = cols[0];
    ghost.offset = 999;
    ghost.type = TDB_LONG;
    ghost.flags = 0;
    _dd_column *parts[] = {&ghost, nullptr};
    _dd_key key = t->keys[0];
    key.parts = parts;
    copy.keys = &key;
    copy.nr_keys = 1;
    LogRecorder log;
    commu_dd_desc d;
    tdb_errno = 0;
    EXPECT_EQ(commu_describe_table(&copy, 1, 0, &d), -1);
    EXPECT_EQ(tdb_errno, 512);
    EXPECT_TRUE(log.logged("Cannot find column with offset 999"));
}

/* ---- client_commu ------------------------------------------------------------------ */

TEST_F(CommuClient, ReturnCodeBecomesTdbErrnoAndIsPrintedAndRecorded)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_DET_SESSION))
            return false;
        EXPECT_EQ(req.session, 41);
        if (!write_reply(wr, reply_of(COMMU_DET_SESSION, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_EXE_TABLE))
            return false;
        commu_block r = reply_of(COMMU_EXE_TABLE, 506);
        r.result = -1;
        return write_reply(wr, r);
    });
    driver.connect(&server);
    static std::vector<std::string> checkpoints;
    checkpoints.clear();
    tdb_info.checkpoint = [](const char *name, const char *text) {
        checkpoints.push_back(std::string(name) + "|" + text);
    };
    TDB_DEBUG = TDB_DEBUG_COMMU;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tdb_detach_session(&session), 0);
    EXPECT_EQ(tdb_errno, 0);
    EXPECT_EQ(tdb_session_exec_table(&session, "dbtst100", 100, 6 | 0xc000, 0, 1, nullptr), -1);
    EXPECT_EQ(tdb_errno, 506);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("-> DET_SESSION\n"), std::string::npos) << err;
    EXPECT_NE(err.find("<- EXE_TBL_CNTR failed errno 506\n"), std::string::npos) << err;
    ASSERT_EQ(checkpoints.size(), 2u);
    std::string pid = "db." + std::to_string(getpid()) + "|";
    EXPECT_EQ(checkpoints[0], pid + "DBC request type  3: retval = 0");
    EXPECT_EQ(checkpoints[1], pid + "DBC request type  4: retval = 506");
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, ATruncatedReplyFailsWith215WithoutHanging)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_ATT_SESSION))
            return false;
        /* Half a reply, then the channel closes. */
        w_short(wr, 0);
        sflush(wr);
        return true;
    });
    driver.connect(&server);
    EXPECT_EQ(tdb_attach_session(&session), -1);
    EXPECT_EQ(tdb_errno, 215);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, AServerWithoutChannelOrStarterFailsWith505)
{
    EXPECT_EQ(client_commu(&server), -1);
    EXPECT_EQ(tdb_errno, 505);
    EXPECT_EQ(tdb_attach_server(&server), -1);
    EXPECT_EQ(tdb_errno, 505);
    /* A new transaction name needs no driver. */
    tdb_errno = 7;
    EXPECT_EQ(tdb_do_exec_session(&session, 2, reinterpret_cast<const unsigned char *>("x"), 1), 0);
    EXPECT_EQ(tdb_errno, 0);
    /* Any other session request would attach the driver first. */
    EXPECT_EQ(tdb_do_exec_session(&session, 3, nullptr, 0), -1);
    EXPECT_EQ(tdb_errno, 505);
    /* Detaching what is not activated sends nothing. */
    EXPECT_EQ(tdb_detach_session(&session), 0);
    EXPECT_EQ(tdb_detach_server(&server), 0);
}

/* ---- 513: dictionary repair ----------------------------------------------------------- */

TEST_F(CommuClient, RowActionNamingTwoMissingDictionariesSendsBothAndRepeats)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block first;
        if (!read_request(rd, &first, COMMU_EXE_ROW))
            return false;
        commu_block r = reply_of(COMMU_EXE_ROW, 513);
        r.missing = {missing("dbtst105", 100), missing("Dbtst107", 812)};
        if (!write_reply(wr, r))
            return false;
        commu_block dd;
        if (!read_request(rd, &dd, COMMU_DD_INFO_TABLE))
            return false;
        EXPECT_EQ(dd.session, 41);
        EXPECT_STREQ(dd.dd.table, "dbtst105");
        EXPECT_EQ(dd.dd.compnr, 100);
        EXPECT_EQ(dd.dd.columns.size(), 7u);
        if (!write_reply(wr, reply_of(COMMU_DD_INFO_TABLE, 0)))
            return false;
        if (!read_request(rd, &dd, COMMU_DD_INFO_TABLE))
            return false;
        EXPECT_STREQ(dd.dd.table, "Dbtst107");
        EXPECT_EQ(dd.dd.compnr, 812);
        EXPECT_EQ(dd.dd.columns.size(), 2u);
        if (!write_reply(wr, reply_of(COMMU_DD_INFO_TABLE, 0)))
            return false;
        commu_block again;
        if (!read_request(rd, &again, COMMU_EXE_ROW))
            return false;
        EXPECT_EQ(again.session, first.session);
        EXPECT_EQ(again.table, first.table);
        EXPECT_EQ(again.compnr, first.compnr);
        EXPECT_EQ(again.action, first.action);
        EXPECT_EQ(again.msg_len, 4);
        EXPECT_EQ(std::memcmp(again.msg, "\0\0\0\7", 4), 0);
        commu_block ok = reply_of(COMMU_EXE_ROW, 0);
        static const unsigned char row[] = {0, 0, 0, 7, 'r', 'o', 'w'};
        ok.answer = row;
        ok.answer_len = 7;
        return write_reply(wr, ok);
    });
    driver.connect(&server);
    const unsigned char key[] = {0, 0, 0, 7};
    unsigned char row[64] = {0};
    EXPECT_EQ(tdb_session_read_eq(&session, "dbtst105", 100, 13 | 0xb00, key, 4, row, sizeof row), 0);
    EXPECT_EQ(tdb_errno, 0);
    EXPECT_EQ(std::memcmp(row, "\0\0\0\7row", 7), 0);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, ResentBufferedUpdatesCarryNoTables)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_EXE_UPDATE))
            return false;
        EXPECT_EQ(req.updates.size(), 1u);
        EXPECT_EQ(req.updates[0].bytes.size(), 5u);
        commu_block r = reply_of(COMMU_EXE_UPDATE, 513);
        r.missing = {missing("dbtst107", 100)};
        if (!write_reply(wr, r))
            return false;
        commu_block dd;
        if (!read_request(rd, &dd, COMMU_DD_INFO_TABLE) ||
            !write_reply(wr, reply_of(COMMU_DD_INFO_TABLE, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_EXE_UPDATE))
            return false;
        EXPECT_EQ(req.session, 41);
        EXPECT_TRUE(req.updates.empty());
        /* The driver then reports a failed action in detail. */
        commu_block fail = reply_of(COMMU_EXE_UPDATE, 520);
        fail.detail_code = 100;
        std::strcpy(fail.detail_table, "dbtst107");
        fail.detail_number = 2;
        fail.detail_text = "Duplicate value";
        return write_reply(wr, fail);
    });
    driver.connect(&server);
    std::vector<commu_update_table> tables(1);
    std::strcpy(tables[0].table, "dbtst107");
    tables[0].compnr = 100;
    tables[0].byte_count = 5;
    tables[0].record_count = 1;
    tables[0].bytes = {1, 2, 3, 4, 5};
    EXPECT_EQ(send_upd_buffer(&session, &tables), -1);
    EXPECT_EQ(tdb_errno, 520);
    EXPECT_EQ(trans.detail.code, 100);
    EXPECT_EQ(std::string(trans.detail.table, 8), "dbtst107");
    EXPECT_EQ(trans.detail.number, 2);
    EXPECT_EQ(trans.detail.text, "Duplicate value");
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, ATableNotInTheDictionaryEndsTheRepairWith513)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_EXE_TABLE))
            return false;
        commu_block r = reply_of(COMMU_EXE_TABLE, 513);
        r.missing = {missing("dbtst999", 100)};
        return write_reply(wr, r);
    });
    driver.connect(&server);
    LogRecorder log;
    EXPECT_EQ(tdb_session_exec_table(&session, "dbtst999", 100, 8, 0, 1, nullptr), -1);
    EXPECT_EQ(tdb_errno, 513);
    EXPECT_TRUE(log.logged("Tname 'dbtst999' not found"));
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, AFailedDictionarySendIsReported)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_EXE_TABLE))
            return false;
        commu_block r = reply_of(COMMU_EXE_TABLE, 513);
        r.missing = {missing("dbtst107", 100)};
        if (!write_reply(wr, r))
            return false;
        if (!read_request(rd, &req, COMMU_DD_INFO_TABLE))
            return false;
        return write_reply(wr, reply_of(COMMU_DD_INFO_TABLE, 512));
    });
    driver.connect(&server);
    LogRecorder log;
    EXPECT_EQ(tdb_session_exec_table(&session, "dbtst107", 100, 8, 0, 1, nullptr), -1);
    EXPECT_EQ(tdb_errno, 512);
    EXPECT_TRUE(log.logged("Sending DD 'dbtst107' failed"));
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, ADriverThatKeepsAskingIsGivenUp)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        for (;;) {
            commu_block req;
            if (commu_read_request(rd, &req) != 0)
                return true; /* the client closed the channel */
            if (req.kind == COMMU_EXE_TABLE) {
                commu_block r = reply_of(COMMU_EXE_TABLE, 513);
                r.missing = {missing("dbtst107", 1)};
                if (!write_reply(wr, r))
                    return false;
            } else if (!write_reply(wr, reply_of(req.kind, 0))) {
                return false;
            }
        }
    });
    driver.connect(&server);
    EXPECT_EQ(tdb_session_exec_table(&session, "dbtst107", 1, 8, 0, 1, nullptr), -1);
    EXPECT_EQ(tdb_errno, 513);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, LockTableFlagsDependOnTheLockType)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_EXE_TABLE))
            return false;
        EXPECT_EQ(req.action, 7 | 0x6000);
        EXPECT_EQ(req.arg, 0);
        EXPECT_EQ(req.upd_seq, 1);
        if (!write_reply(wr, reply_of(COMMU_EXE_TABLE, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_EXE_TABLE))
            return false;
        EXPECT_EQ(req.action, 7 | 0x4000);
        EXPECT_EQ(req.arg, 2);
        return write_reply(wr, reply_of(COMMU_EXE_TABLE, 113));
    });
    driver.connect(&server);
    TDB_DEBUG = TDB_DEBUG_COMMU;
    testing::internal::CaptureStderr();
    EXPECT_EQ(dbcSessionLockTable(&session, "dbtst100", 100, 0), 0);
    EXPECT_EQ(dbcSessionLockTable(&session, "dbtst100", 100, 2), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(tdb_errno, 113);
    EXPECT_NE(err.find("<- LOCK_TABLE failed errno 113\n"), std::string::npos) << err;
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, AlterSendsTheNewDefaultRowAndReturnsTheResult)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_ALTER_TABLE))
            return false;
        EXPECT_EQ(req.table, "dbtst107");
        EXPECT_EQ(req.compnr, 812);
        EXPECT_EQ(req.action, 1);
        EXPECT_EQ(req.session, 41);
        Layout row;
        row.l(0).raw(std::string(20, ' ')).l(0).s(-1);
        EXPECT_EQ(hex(Bytes(req.msg, req.msg + req.msg_len)), hex(row.b));
        commu_block r = reply_of(COMMU_ALTER_TABLE, 513);
        r.missing = {missing("Dbtst107", 812)};
        if (!write_reply(wr, r))
            return false;
        commu_block dd;
        if (!read_request(rd, &dd, COMMU_DD_INFO_TABLE))
            return false;
        EXPECT_STREQ(dd.dd.table, "Dbtst107");
        if (!write_reply(wr, reply_of(COMMU_DD_INFO_TABLE, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_ALTER_TABLE))
            return false;
        commu_block ok = reply_of(COMMU_ALTER_TABLE, 0);
        ok.result = 3;
        return write_reply(wr, ok);
    });
    driver.connect(&server);
    EXPECT_EQ(dbcSessionAlterTable(&session, "dbtst107", 812, 1), 3);
    EXPECT_EQ(tdb_errno, 0);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, CommitTakesTheAuditTransactionNumber)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_EXE_DB))
            return false;
        EXPECT_EQ(req.audit_trans[0], 0);
        commu_block r = reply_of(COMMU_EXE_DB, 0);
        r.action = req.action;
        r.audit_a = 5;
        r.audit_b = 6;
        r.audit_c = 7;
        r.audit_entries = {{"dbtst100", 100, 1, 2}};
        if (!write_reply(wr, r))
            return false;
        if (!read_request(rd, &req, COMMU_EXE_DB))
            return false;
        /* The next action carries the number, the transaction having
         * audit entries. */
        EXPECT_EQ(req.audit_trans[0], 5);
        EXPECT_EQ(req.audit_trans[2], 7);
        commu_block a = reply_of(COMMU_EXE_DB, 0);
        a.action = req.action;
        return write_reply(wr, a);
    });
    driver.connect(&server);
    EXPECT_EQ(tdb_session_exec_db(&session, 1), 0);
    EXPECT_EQ(trans.audit_trans[1], 6);
    ASSERT_EQ(trans.audit_entries.size(), 1u);
    EXPECT_EQ(trans.audit_entries[0].table, "dbtst100");
    EXPECT_EQ(tdb_session_exec_db(&session, 3), 0);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, SqlPacketsGoToTheHandler)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_SQL_MESSAGE))
            return false;
        EXPECT_EQ(req.msg_len, 3);
        commu_block r = reply_of(COMMU_SQL_MESSAGE, 0);
        static const unsigned char answer[] = {9, 8};
        r.answer = answer;
        r.answer_len = 2;
        return write_reply(wr, r);
    });
    driver.connect(&server);
    static Bytes seen;
    seen.clear();
    tdb_info.sql_packet_handler = [](const unsigned char *b, long n) {
        seen.assign(b, b + n);
        return 0;
    };
    const unsigned char packet[] = {1, 2, 3};
    EXPECT_EQ(tdb_sql_commu_packets(&server, packet, 3), 0);
    EXPECT_EQ(seen, (Bytes{9, 8}));
    EXPECT_TRUE(driver.finish(&server));
}

/* ---- attach and detach ------------------------------------------------------------------ */

TEST_F(CommuClient, AttachWith519SendsTheCompanyMap)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        if (!driver_init_requests(rd, wr))
            return false;
        commu_block att;
        if (!read_request(rd, &att, COMMU_ATT_SERVER))
            return false;
        EXPECT_EQ(att.server_id, 1);
        EXPECT_EQ(att.client_name, "tdbrecon");
        EXPECT_EQ(att.no_refs, 0);
        EXPECT_EQ(att.sql_protocol, 8);
        EXPECT_NE(att.server_desc.find(" sqlite a"), std::string::npos) << att.server_desc;
        if (!write_reply(wr, attach_reply(519, 8, 0)))
            return false;
        commu_block req;
        if (!read_request(rd, &req, COMMU_PERMISSION))
            return false;
        EXPECT_TRUE(req.roles.empty());
        /* The last reply still asks for the map. */
        if (!write_reply(wr, reply_of(COMMU_PERMISSION, 519)))
            return false;
        if (!read_request(rd, &req, COMMU_SEND_COMPNR))
            return false;
        std::string env;
        long groups = -1;
        EXPECT_TRUE(read_compnr_body(rd, &env, &groups));
        return write_reply(wr, reply_of(COMMU_SEND_COMPNR, 0));
    });
    driver.connect(&server);
    std::strcpy(tdb_info.client, "tdbrecon");
    EXPECT_EQ(tdb_attach_server(&server), 0);
    EXPECT_EQ(tdb_errno, 0);
    EXPECT_EQ(server.max_sessions, 10);
    EXPECT_EQ(server.driver_pid, 999);
    EXPECT_EQ(server.idle_limit, 4);
    EXPECT_EQ(server.sql_protocol, 8);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, AttachWithReferencesDisabledAndAuditColumns)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        if (!driver_init_requests(rd, wr))
            return false;
        commu_block att;
        if (!read_request(rd, &att, COMMU_ATT_SERVER))
            return false;
        EXPECT_EQ(att.no_refs, 1);
        if (!write_reply(wr, attach_reply(0, 8, 0)))
            return false;
        commu_block req;
        if (!read_request(rd, &req, COMMU_PERMISSION) ||
            !write_reply(wr, reply_of(COMMU_PERMISSION, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_AUDITCOLS))
            return false;
        EXPECT_EQ(req.auditcols_id, 77);
        EXPECT_EQ(req.auditcols.size(), 1u);
        /* 519 on the last reply sends the map. */
        if (!write_reply(wr, reply_of(COMMU_AUDITCOLS, 519)))
            return false;
        if (!read_request(rd, &req, COMMU_SEND_COMPNR))
            return false;
        std::string env;
        long groups = -1;
        EXPECT_TRUE(read_compnr_body(rd, &env, &groups));
        return write_reply(wr, reply_of(COMMU_SEND_COMPNR, 0));
    });
    driver.connect(&server);
    tdb_disable_references();
    tdb_info.auditcols_in_use = 1;
    tdb_info.auditcols_id = 77;
    tdb_info.auditcols = {{"*:*", 3}};
    EXPECT_EQ(tdb_attach_server(&server), 0);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, ADriverWithSqlProtocol7IsDetachedAndTheAttachFailsWith511)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        if (!driver_init_requests(rd, wr))
            return false;
        commu_block att;
        if (!read_request(rd, &att, COMMU_ATT_SERVER) || !write_reply(wr, attach_reply(0, 7, 0)))
            return false;
        commu_block det;
        if (!read_request(rd, &det, COMMU_DET_SERVER))
            return false;
        return write_reply(wr, reply_of(COMMU_DET_SERVER, 0));
    });
    driver.connect(&server);
    EXPECT_EQ(tdb_attach_server(&server), -1);
    EXPECT_EQ(tdb_errno, 511);
    EXPECT_EQ(server.rd, nullptr);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, ADriverInAnotherCharacterSetModeFailsWith402)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        if (!driver_init_requests(rd, wr))
            return false;
        commu_block att;
        if (!read_request(rd, &att, COMMU_ATT_SERVER) ||
            !write_reply(wr, attach_reply(0, 8, COMMU_LEVEL_UNICODE)))
            return false;
        commu_block det;
        return read_request(rd, &det, COMMU_DET_SERVER) &&
               write_reply(wr, reply_of(COMMU_DET_SERVER, 0));
    });
    driver.connect(&server);
    LogRecorder log;
    EXPECT_EQ(tdb_attach_server(&server), -1);
    EXPECT_EQ(tdb_errno, 402);
    EXPECT_TRUE(log.logged("Incompatible TssMode for server sqlite"));
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, AFailedAttachRequestDetachesWithItsCode)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        if (!driver_init_requests(rd, wr))
            return false;
        commu_block att;
        if (!read_request(rd, &att, COMMU_ATT_SERVER) || !write_reply(wr, attach_reply(540, 8, 0)))
            return false;
        commu_block det;
        return read_request(rd, &det, COMMU_DET_SERVER) &&
               write_reply(wr, reply_of(COMMU_DET_SERVER, 0));
    });
    driver.connect(&server);
    TDB_DEBUG = TDB_DEBUG_COMMU;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tdb_attach_server(&server), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(tdb_errno, 540);
    EXPECT_NE(err.find("<- ATT_SERVER failed error 540 => do detach\n"), std::string::npos) << err;
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, AFailedDriverInitialisationDetaches)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_EXE_SYSTEM) ||
            !write_reply(wr, reply_of(COMMU_EXE_SYSTEM, 522)))
            return false;
        return read_request(rd, &req, COMMU_DET_SERVER) &&
               write_reply(wr, reply_of(COMMU_DET_SERVER, 0));
    });
    driver.connect(&server);
    EXPECT_EQ(tdb_attach_server(&server), -1);
    EXPECT_EQ(tdb_errno, 522);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, SessionAttachTakesTheDriverSessionAndAnswers519)
{
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        commu_block req;
        if (!read_request(rd, &req, COMMU_ATT_SESSION))
            return false;
        EXPECT_EQ(req.trans_name, "tdbreconfig");
        commu_block r = reply_of(COMMU_ATT_SESSION, 519);
        r.session = 1234;
        if (!write_reply(wr, r))
            return false;
        if (!read_request(rd, &req, COMMU_SEND_COMPNR))
            return false;
        std::string env;
        long groups = -1;
        EXPECT_TRUE(read_compnr_body(rd, &env, &groups));
        if (!write_reply(wr, reply_of(COMMU_SEND_COMPNR, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_DET_SESSION))
            return false;
        EXPECT_EQ(req.session, 1234);
        EXPECT_EQ(req.det_flag, 2);
        if (!write_reply(wr, reply_of(COMMU_DET_SESSION, 0)))
            return false;
        return read_request(rd, &req, COMMU_DET_SERVER) &&
               write_reply(wr, reply_of(COMMU_DET_SERVER, 0));
    });
    driver.connect(&server);
    session.driver_session = 0;
    EXPECT_EQ(tdb_attach_session(&session), 0);
    EXPECT_EQ(session.driver_session, 1234);
    EXPECT_EQ(tdb_detach_session(&session), 0);
    EXPECT_EQ(tdb_detach_server(&server), 0);
    EXPECT_EQ(server.rd, nullptr);
    EXPECT_EQ(server.wr, nullptr);
    EXPECT_TRUE(driver.finish(&server));
}

TEST_F(CommuClient, ANotActivatedServerIsStartedAndAttachedBeforeASystemRequest)
{
    static FakeDriver *fake = nullptr;
    FakeDriver driver([](STREAM *rd, STREAM *wr) {
        if (!driver_init_requests(rd, wr))
            return false;
        commu_block req;
        if (!read_request(rd, &req, COMMU_ATT_SERVER) || !write_reply(wr, attach_reply(0, 8, 0)))
            return false;
        if (!read_request(rd, &req, COMMU_PERMISSION) ||
            !write_reply(wr, reply_of(COMMU_PERMISSION, 0)))
            return false;
        /* Its session is attached too. */
        if (!read_request(rd, &req, COMMU_ATT_SESSION))
            return false;
        commu_block s = reply_of(COMMU_ATT_SESSION, 0);
        s.session = 55;
        if (!write_reply(wr, s))
            return false;
        if (!read_request(rd, &req, COMMU_EXE_SYSTEM))
            return false;
        EXPECT_EQ(req.code, 9);
        EXPECT_EQ(std::memcmp(req.msg, "\0\0\0\147", 4), 0);
        commu_block a = reply_of(COMMU_EXE_SYSTEM, 0);
        a.answer = reinterpret_cast<const unsigned char *>("SQLite 3");
        a.answer_len = 8;
        return write_reply(wr, a);
    });
    fake = &driver;
    tdb_info.start_driver = [](tdb_server *srv, STREAM **rd, STREAM **wr) {
        fake->connect(srv);
        *rd = srv->rd;
        *wr = srv->wr;
        srv->rd = srv->wr = nullptr;
        return 0;
    };
    const unsigned char item[] = {0, 0, 0, 103};
    EXPECT_EQ(tdb_do_exec_server(&server, 9, item, 4), 0);
    EXPECT_EQ(session.driver_session, 55);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(commu.answer), 8), "SQLite 3");
    EXPECT_TRUE(driver.finish(&server));
}
