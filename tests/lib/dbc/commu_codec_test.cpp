/*
 * commu_codec_test.cpp: every driver request and reply, byte for byte
 * against hand-written layouts, read back on the other side, and readers
 * that meet truncated or garbled bytes.
 */
#include <gtest/gtest.h>

#include <cstring>

#include "al_stream.h"
#include "commu_support.h"
#include "tdb_commu.h"

using namespace commutest;

namespace {

/* The request is written as expected and the driver's reader gives the
 * block back: checked by the caller on the returned block. */
commu_block request_round_trip(const commu_block &blk, const Bytes &expected)
{
    Bytes got = request_bytes(blk);
    EXPECT_EQ(hex(got), hex(expected));
    commu_block back;
    long consumed = 0;
    EXPECT_EQ(read_from(got, [&](STREAM *sp) { return commu_read_request(sp, &back); }, &consumed),
              0);
    EXPECT_EQ(consumed, static_cast<long>(got.size()));
    return back;
}

/* The reply is written as expected and the client's reader (with the
 * request's kind and action) gives the block back. */
commu_block reply_round_trip(const commu_block &blk, const Bytes &expected)
{
    Bytes got = reply_bytes(blk);
    EXPECT_EQ(hex(got), hex(expected));
    commu_block back;
    back.kind = blk.kind;
    back.action = blk.action;
    long consumed = 0;
    EXPECT_EQ(read_from(got, [&](STREAM *sp) { return commu_read_reply(sp, &back); }, &consumed), 0);
    EXPECT_EQ(consumed, static_cast<long>(got.size()));
    return back;
}

/* Every proper prefix of a reply is refused by the client's reader. */
void every_prefix_refused(const commu_block &blk)
{
    Bytes full = reply_bytes(blk);
    for (size_t n = 0; n < full.size(); n++) {
        Bytes part(full.begin(), full.begin() + static_cast<long>(n));
        commu_block back;
        back.kind = blk.kind;
        back.action = blk.action;
        EXPECT_EQ(read_from(part, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), -1)
            << "kind " << blk.kind << " prefix of " << n << " bytes accepted";
    }
}

/* Every proper prefix of a request is refused by the driver's reader. */
void every_request_prefix_refused(const commu_block &blk)
{
    Bytes full = request_bytes(blk);
    for (size_t n = 0; n < full.size(); n++) {
        Bytes part(full.begin(), full.begin() + static_cast<long>(n));
        commu_block back;
        EXPECT_EQ(read_from(part, [&](STREAM *sp) { return commu_read_request(sp, &back); }), -1)
            << "kind " << blk.kind << " prefix of " << n << " bytes accepted";
    }
}

commu_missing_dd missing(const char *table, int compnr)
{
    commu_missing_dd m{};
    std::strncpy(m.table, table, 8);
    m.compnr = compnr;
    return m;
}

} // namespace

TEST(CommuKinds, DebugNamesOfTheRequestKinds)
{
    EXPECT_STREQ(commu_kind_name(COMMU_ATT_SERVER), "ATT_SERVER");
    EXPECT_STREQ(commu_kind_name(COMMU_DET_SERVER), "DET_SERVER");
    EXPECT_STREQ(commu_kind_name(COMMU_ATT_SESSION), "ATT_SESSION");
    EXPECT_STREQ(commu_kind_name(COMMU_DET_SESSION), "DET_SESSION");
    EXPECT_STREQ(commu_kind_name(COMMU_EXE_TABLE), "EXE_TBL_CNTR");
    EXPECT_STREQ(commu_kind_name(COMMU_EXE_DB), "EXE_DB_CNTR");
    EXPECT_STREQ(commu_kind_name(COMMU_EXE_SESSION), "EXE_SESSION");
    EXPECT_STREQ(commu_kind_name(COMMU_EXE_SYSTEM), "EXE_SYSTEM");
    EXPECT_STREQ(commu_kind_name(COMMU_DD_INFO_TABLE), "DD_INFO_TABLE");
    EXPECT_STREQ(commu_kind_name(COMMU_PERMISSION), "");
    EXPECT_STREQ(commu_kind_name(COMMU_SQL_MESSAGE), "SQL_MESSAGE");
    EXPECT_STREQ(commu_kind_name(COMMU_EXE_UPDATE), "EXE_UPDATE");
    EXPECT_STREQ(commu_kind_name(COMMU_EXE_ROW), "EXE_ROW_CNTR");
    EXPECT_STREQ(commu_kind_name(COMMU_SEND_COMPNR), "SEND_COMPNR");
    EXPECT_STREQ(commu_kind_name(COMMU_AUDITCOLS), "");
    EXPECT_STREQ(commu_kind_name(COMMU_ALTER_TABLE), "ALTER_TABLE");
    EXPECT_STREQ(commu_kind_name(16), "");
    EXPECT_STREQ(commu_kind_name(COMMU_SQL2_MESSAGE), "SQL_MESSAGE");
    EXPECT_STREQ(commu_kind_name(18), "");
    EXPECT_STREQ(commu_kind_name(-1), "");
}

/* ---- requests ------------------------------------------------------------------- */

TEST(CommuRequest, AttachServerWithoutAndWithTheNoRefsMarker)
{
    commu_block blk;
    blk.kind = COMMU_ATT_SERVER;
    blk.server_id = 3;
    blk.client_name = "tdbrecon";
    blk.dt_version = "tt7.6_a";
    blk.compnr_env = "env";
    blk.server_desc = "dd sqlite a";
    Layout plain;
    plain.byte(0).l(3).s(2).s(2).l(8).str("tdbrecon").str("tt7.6_a").str("env").str("dd sqlite a");
    commu_block back = request_round_trip(blk, plain.b);
    EXPECT_EQ(back.server_id, 3);
    EXPECT_EQ(back.file_format, 2);
    EXPECT_EQ(back.file_format2, 2);
    EXPECT_EQ(back.sql_protocol, 8);
    EXPECT_EQ(back.client_name, "tdbrecon");
    EXPECT_EQ(back.dt_version, "tt7.6_a");
    EXPECT_EQ(back.compnr_env, "env");
    EXPECT_EQ(back.no_refs, 0);
    EXPECT_EQ(back.server_desc, "dd sqlite a");

    blk.no_refs = 1;
    Layout marked;
    marked.byte(0).l(3).s(2).s(2).l(8).str("tdbrecon").str("tt7.6_a").str("env");
    marked.raw(Bytes{'N', 'O', ' ', 'R', 'E', 'F', 'S', 0}).str("dd sqlite a");
    back = request_round_trip(blk, marked.b);
    EXPECT_EQ(back.no_refs, 1);
    EXPECT_EQ(back.server_desc, "dd sqlite a");
    every_request_prefix_refused(blk);
}

TEST(CommuRequest, DetachAndSessionRequests)
{
    commu_block blk;
    blk.kind = COMMU_DET_SERVER;
    request_round_trip(blk, Layout().byte(1).b);

    blk.kind = COMMU_ATT_SESSION;
    blk.trans_name = "tdbreconfig";
    EXPECT_EQ(request_round_trip(blk, Layout().byte(2).str("tdbreconfig").b).trans_name,
              "tdbreconfig");

    blk.kind = COMMU_DET_SESSION;
    blk.session = 0x01020304;
    commu_block back = request_round_trip(blk, Layout().byte(3).l(0x01020304).byte(2).b);
    EXPECT_EQ(back.session, 0x01020304);
    EXPECT_EQ(back.det_flag, 2);
}

TEST(CommuRequest, TableActionCarriesActionWithFlagsArgumentAndSequence)
{
    commu_block blk;
    blk.kind = COMMU_EXE_TABLE;
    blk.session = 7;
    blk.table = "dbtst100";
    blk.compnr = 812;
    blk.action = 7 | 0x6000;
    blk.arg = -1;
    blk.upd_seq = 1;
    commu_block back = request_round_trip(
        blk, Layout().byte(4).l(7).str("dbtst100").s(812).l(0x6007).l(-1).l(1).b);
    EXPECT_EQ(back.table, "dbtst100");
    EXPECT_EQ(back.compnr, 812);
    EXPECT_EQ(back.action, 0x6007);
    EXPECT_EQ(back.arg, -1);
    EXPECT_EQ(back.upd_seq, 1);
    every_request_prefix_refused(blk);
}

TEST(CommuRequest, DatabaseActionWithAuditTransactionNumber)
{
    commu_block blk;
    blk.kind = COMMU_EXE_DB;
    blk.session = 2;
    blk.action = 1;
    blk.audit_trans[0] = 10;
    blk.audit_trans[1] = 20;
    blk.audit_trans[2] = 30;
    commu_block back =
        request_round_trip(blk, Layout().byte(5).l(2).l(1).l(10).l(20).l(30).b);
    EXPECT_EQ(back.audit_trans[2], 30);
}

TEST(CommuRequest, SessionAndSystemRequestsCarryAShortLengthAndTheMessage)
{
    const unsigned char msg[] = {0x00, 0x00, 0x04, 0x00};
    commu_block blk;
    blk.kind = COMMU_EXE_SYSTEM;
    blk.code = 5;
    blk.msg = msg;
    blk.msg_len = 4;
    commu_block back =
        request_round_trip(blk, Layout().byte(7).l(5).s(4).raw(Bytes{0, 0, 4, 0}).b);
    EXPECT_EQ(back.msg_len, 4);
    EXPECT_EQ(std::memcmp(back.msg, msg, 4), 0);

    blk.kind = COMMU_EXE_SESSION;
    blk.session = 9;
    blk.code = 2;
    blk.msg = reinterpret_cast<const unsigned char *>("newname");
    blk.msg_len = 7;
    back = request_round_trip(blk, Layout().byte(6).l(9).l(2).s(7).raw("newname").b);
    EXPECT_EQ(back.session, 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(back.msg), 7), "newname");
    every_request_prefix_refused(blk);
}

TEST(CommuRequest, SqlPacketsAreOpaqueBytesWithALongLength)
{
    const unsigned char packet[] = {3, 0, 0, 0, 9, 0xff};
    commu_block blk;
    blk.kind = COMMU_SQL_MESSAGE;
    blk.msg = packet;
    blk.msg_len = 6;
    commu_block back = request_round_trip(blk, Layout().byte(10).l(6).raw(Bytes{3, 0, 0, 0, 9, 0xff}).b);
    EXPECT_EQ(back.msg_len, 6);
    EXPECT_EQ(std::memcmp(back.msg, packet, 6), 0);
}

TEST(CommuRequest, RowActionCarriesTheKeyBlock)
{
    const unsigned char key[] = {'A', ' ', ' ', ' ', ' ', ' '};
    commu_block blk;
    blk.kind = COMMU_EXE_ROW;
    blk.session = 4;
    blk.table = "dbtst100";
    blk.compnr = 100;
    blk.action = 13 | 0xb00;
    blk.msg = key;
    blk.msg_len = 6;
    commu_block back = request_round_trip(
        blk, Layout().byte(12).l(4).str("dbtst100").s(100).l(0xb0d).s(6).raw("A     ").b);
    EXPECT_EQ(back.action, 0xb0d);
    EXPECT_EQ(back.msg_len, 6);
    every_request_prefix_refused(blk);
}

TEST(CommuRequest, AlterTableCarriesTheNewDefaultRow)
{
    const unsigned char row[] = {1, 2, 3};
    commu_block blk;
    blk.kind = COMMU_ALTER_TABLE;
    blk.table = "dbtst107";
    blk.compnr = 812;
    blk.action = 1;
    blk.session = 5;
    blk.msg = row;
    blk.msg_len = 3;
    commu_block back = request_round_trip(
        blk, Layout().byte(15).str("dbtst107").l(812).l(1).l(5).l(3).raw(Bytes{1, 2, 3}).b);
    EXPECT_EQ(back.compnr, 812);
    EXPECT_EQ(back.session, 5);
    EXPECT_EQ(back.msg_len, 3);
}

TEST(CommuRequest, AuditColumnsEndWithAnEmptyString)
{
    commu_block blk;
    blk.kind = COMMU_AUDITCOLS;
    blk.auditcols_id = 1700000000;
    blk.auditcols = {{"dbtst100:*", 3}, {"dbtst105:100:name", 2}};
    commu_block back = request_round_trip(
        blk, Layout().byte(14).l(1700000000).str("dbtst100:*").l(3).str("dbtst105:100:name").l(2).str("").b);
    ASSERT_EQ(back.auditcols.size(), 2u);
    EXPECT_EQ(back.auditcols[1].name, "dbtst105:100:name");
    EXPECT_EQ(back.auditcols[1].value, 2);
    every_request_prefix_refused(blk);
}

TEST(CommuRequest, CompanyMapRequestIsTheKindAndTheMapBody)
{
    commu_block blk;
    blk.kind = COMMU_SEND_COMPNR;
    Bytes got = request_bytes(blk);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], 13);
    /* The body is the company module's: environment, groups, entries. */
    Bytes body(got.begin() + 1, got.end());
    std::string env;
    long groups = -1;
    EXPECT_EQ(read_from(body, [&](STREAM *sp) { return read_compnr_body(sp, &env, &groups) ? 0 : -1; }),
              0);
    EXPECT_GE(groups, 0);
}

namespace {

/* A query description and an answer of the SQL engine, as callbacks. */
int write_query(STREAM *sp, void *ctx)
{
    return w_long(sp, *static_cast<long *>(ctx));
}
int read_query(STREAM *sp, void *ctx)
{
    *static_cast<long *>(ctx) = r_long(sp);
    return seof(sp) ? -1 : 0;
}

} // namespace

TEST(CommuRequest, SecondSqlInterfaceHandsTheBodyToTheEngine)
{
    long query = 0x0a0b0c0d;
    commu_block blk;
    blk.kind = COMMU_SQL2_MESSAGE;
    blk.code = 3;
    blk.session = 6;
    blk.sql2.write_query = write_query;
    blk.sql2.ctx = &query;
    Bytes got = request_bytes(blk);
    EXPECT_EQ(hex(got), hex(Layout().byte(17).l(3).l(6).l(0x0a0b0c0d).b));
    long seen = 0;
    commu_block back;
    back.sql2.read_query = read_query;
    back.sql2.ctx = &seen;
    EXPECT_EQ(read_from(got, [&](STREAM *sp) { return commu_read_request(sp, &back); }), 0);
    EXPECT_EQ(back.code, 3);
    EXPECT_EQ(back.session, 6);
    EXPECT_EQ(seen, 0x0a0b0c0d);
    /* Without the engine's writer nothing can be sent. */
    commu_block bare;
    bare.kind = COMMU_SQL2_MESSAGE;
    int rc = 0;
    written([&](STREAM *sp) { return commu_write_request(sp, &bare); }, &rc);
    EXPECT_EQ(rc, -1);
}

TEST(CommuRequest, UnknownKindIsRefusedBothWays)
{
    commu_block blk;
    blk.kind = 16;
    int rc = 0;
    written([&](STREAM *sp) { return commu_write_request(sp, &blk); }, &rc);
    EXPECT_EQ(rc, -1);
    commu_block back;
    EXPECT_EQ(read_from(Bytes{16, 0, 0, 0, 0}, [&](STREAM *sp) { return commu_read_request(sp, &back); }),
              -1);
    EXPECT_EQ(read_from(Bytes{200}, [&](STREAM *sp) { return commu_read_request(sp, &back); }), -1);
    EXPECT_EQ(read_from(Bytes{}, [&](STREAM *sp) { return commu_read_request(sp, &back); }), -1);
}

/* ---- buffered updates ------------------------------------------------------------ */

namespace {

struct PieceSource {
    Bytes bytes;
    std::vector<int> asked;
};

int read_piece(void *ctx, long offset, unsigned char *buf, int max)
{
    auto *src = static_cast<PieceSource *>(ctx);
    src->asked.push_back(max);
    long left = static_cast<long>(src->bytes.size()) - offset;
    int n = static_cast<int>(std::min<long>(left, max));
    std::memcpy(buf, src->bytes.data() + offset, static_cast<size_t>(n));
    return n;
}

} // namespace

TEST(CommuUpdates, StoresGoInPiecesOfAtMost3096Bytes)
{
    PieceSource src;
    for (int i = 0; i < 7000; i++)
        src.bytes.push_back(static_cast<unsigned char>(i * 7));
    commu_block blk;
    blk.kind = COMMU_EXE_UPDATE;
    blk.session = 8;
    blk.updates.resize(2);
    std::strcpy(blk.updates[0].table, "dbtst100");
    blk.updates[0].compnr = 100;
    blk.updates[0].byte_count = 7000;
    blk.updates[0].record_count = 12;
    blk.updates[0].read_piece = read_piece;
    blk.updates[0].ctx = &src;
    std::strcpy(blk.updates[1].table, "dbtst105");
    blk.updates[1].compnr = 200;
    blk.updates[1].byte_count = 0;

    Layout expected;
    expected.byte(11).l(8).s(2).raw("dbtst100").s(100).l(7000).l(12).raw(src.bytes);
    expected.raw("dbtst105").s(200).l(0);
    commu_block back = request_round_trip(blk, expected.b);
    EXPECT_EQ(src.asked, (std::vector<int>{3096, 3096, 808}));
    ASSERT_EQ(back.updates.size(), 2u);
    EXPECT_STREQ(back.updates[0].table, "dbtst100");
    EXPECT_EQ(back.updates[0].compnr, 100);
    EXPECT_EQ(back.updates[0].record_count, 12);
    EXPECT_EQ(back.updates[0].bytes, src.bytes);
    EXPECT_EQ(back.updates[1].byte_count, 0);
    EXPECT_TRUE(back.updates[1].bytes.empty());
}

TEST(CommuUpdates, AResendCarriesNoTables)
{
    commu_block blk;
    blk.kind = COMMU_EXE_UPDATE;
    blk.session = 8;
    request_round_trip(blk, Layout().byte(11).l(8).s(0).b);
}

TEST(CommuUpdates, ASourceThatFailsStopsTheRequest)
{
    commu_block blk;
    blk.kind = COMMU_EXE_UPDATE;
    blk.updates.resize(1);
    std::strcpy(blk.updates[0].table, "dbtst100");
    blk.updates[0].byte_count = 10;
    blk.updates[0].read_piece = [](void *, long, unsigned char *, int) { return -1; };
    int rc = 0;
    written([&](STREAM *sp) { return commu_write_request(sp, &blk); }, &rc);
    EXPECT_EQ(rc, -1);
    /* A byte count larger than the bytes held is refused as well. */
    blk.updates[0].read_piece = nullptr;
    blk.updates[0].bytes = {1, 2, 3};
    written([&](STREAM *sp) { return commu_write_request(sp, &blk); }, &rc);
    EXPECT_EQ(rc, -1);
}

/* ---- roles ------------------------------------------------------------------------- */

TEST(CommuRoles, AnEmptyRoleSetIsThreeBytes)
{
    commu_block blk;
    blk.kind = COMMU_PERMISSION;
    commu_block back = request_round_trip(blk, Layout().byte(9).s(1).byte(0).b);
    EXPECT_TRUE(back.roles.empty());
}

TEST(CommuRoles, RolesObjectsAndConditionsInTheirLayout)
{
    commu_block blk;
    blk.kind = COMMU_PERMISSION;
    commu_role r1;
    r1.name = "clerk";
    commu_role_object o1;
    o1.entries.push_back({"dbtst100:*c", 16, "$$ > 3"});
    o1.entries.push_back({"dbtst100:*c", 2, "x"});
    commu_role_object skipped;
    skipped.skipped = true;
    skipped.entries.push_back({"dbtst101:*", 8, ""});
    commu_role_object o2;
    o2.entries.push_back({"db:100", 4, ""});
    r1.objects = {o1, skipped, o2};
    commu_role r2;
    r2.name = "ro";
    blk.roles = {r1, r2};

    Layout expected;
    expected.byte(9).s(6).str("clerk");
    expected.str("dbtst100:*c").s(16).s(6).str("$$ > 3");
    expected.str("dbtst100:*c").s(2).s(1).str("x").byte(0);
    expected.str("db:100").s(4).s(0).byte(0);
    expected.byte(0);
    expected.s(3).str("ro").byte(0);
    expected.s(1).byte(0);
    commu_block back = request_round_trip(blk, expected.b);
    ASSERT_EQ(back.roles.size(), 2u);
    EXPECT_EQ(back.roles[0].name, "clerk");
    ASSERT_EQ(back.roles[0].objects.size(), 2u);
    ASSERT_EQ(back.roles[0].objects[0].entries.size(), 2u);
    EXPECT_EQ(back.roles[0].objects[0].entries[0].condition, "$$ > 3");
    EXPECT_EQ(back.roles[0].objects[0].entries[1].level, 2);
    EXPECT_EQ(back.roles[0].objects[1].entries[0].object, "db:100");
    EXPECT_TRUE(back.roles[1].objects.empty());
    every_request_prefix_refused(blk);
}

TEST(CommuRoles, ANameLengthThatDoesNotMatchIsRefused)
{
    std::vector<commu_role> roles;
    Bytes bad = Layout().s(4).str("clerk").byte(0).s(1).byte(0).b;
    EXPECT_EQ(read_from(bad, [&](STREAM *sp) { return commu_read_roles(sp, &roles); }), -1);
    /* A condition whose terminator is not a NUL. */
    Bytes cond = Layout().s(3).str("ro").str("db:*").s(2).s(2).raw("abc").byte(0).byte(0).s(1).byte(0).b;
    EXPECT_EQ(read_from(cond, [&](STREAM *sp) { return commu_read_roles(sp, &roles); }), -1);
}

/* ---- replies --------------------------------------------------------------------- */

TEST(CommuReply, AttachServerReply)
{
    commu_block blk;
    blk.kind = COMMU_ATT_SERVER;
    blk.max_sessions = 20;
    blk.driver_pid = 4242;
    blk.level_flags = 0x200;
    blk.reply_sql_protocol = 8;
    blk.idle_limit = 3;
    blk.retval = 519;
    commu_block back =
        reply_round_trip(blk, Layout().l(20).l(4242).l(0x200).l(8).byte(3).l(519).b);
    EXPECT_EQ(back.max_sessions, 20);
    EXPECT_EQ(back.driver_pid, 4242);
    EXPECT_EQ(back.level_flags, 0x200);
    EXPECT_EQ(back.reply_sql_protocol, 8);
    EXPECT_EQ(back.idle_limit, 3);
    EXPECT_EQ(back.retval, 519);
    every_prefix_refused(blk);
}

TEST(CommuReply, PlainRepliesCarryTheReturnCode)
{
    for (int kind : {COMMU_DET_SERVER, COMMU_DET_SESSION, COMMU_DD_INFO_TABLE, COMMU_PERMISSION,
                     COMMU_SEND_COMPNR, COMMU_AUDITCOLS}) {
        commu_block blk;
        blk.kind = kind;
        blk.retval = 1513;
        EXPECT_EQ(reply_round_trip(blk, Layout().l(1513).b).retval, 1513) << kind;
        every_prefix_refused(blk);
    }
    commu_block att;
    att.kind = COMMU_ATT_SESSION;
    att.session = 77;
    att.retval = 0;
    EXPECT_EQ(reply_round_trip(att, Layout().l(77).l(0).b).session, 77);
}

TEST(CommuReply, TableActionWithMissingDictionaries)
{
    commu_block blk;
    blk.kind = COMMU_EXE_TABLE;
    blk.result = 5;
    blk.retval = 0;
    reply_round_trip(blk, Layout().l(5).l(0).b);

    blk.retval = 513;
    blk.missing = {missing("dbtst100", 100), missing("Dbtst107", 812)};
    commu_block back = reply_round_trip(
        blk, Layout().l(5).l(513).l(2).raw("dbtst100").s(100).raw("Dbtst107").s(812).b);
    ASSERT_EQ(back.missing.size(), 2u);
    EXPECT_STREQ(back.missing[1].table, "Dbtst107");
    EXPECT_EQ(back.missing[1].compnr, 812);
    EXPECT_EQ(back.missing_count, 2);
    every_prefix_refused(blk);
}

TEST(CommuReply, MissingCountsOutOfBoundsAreRefused)
{
    commu_block back;
    back.kind = COMMU_EXE_TABLE;
    Bytes negative = Layout().l(0).l(513).l(-1).b;
    EXPECT_EQ(read_from(negative, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), -1);
    Bytes huge = Layout().l(0).l(513).l(0x7fffffff).raw("dbtst100").s(1).b;
    EXPECT_EQ(read_from(huge, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), -1);
}

TEST(CommuReply, CommitReplyWithAuditEntries)
{
    commu_block blk;
    blk.kind = COMMU_EXE_DB;
    blk.action = 1;
    blk.retval = 0;
    blk.audit_a = 11;
    blk.audit_b = 12;
    blk.audit_c = 13;
    blk.audit_entries = {{"dbtst100", 100, 1, 5}, {"dbtst105", 200, 2, 6}};
    commu_block back = reply_round_trip(
        blk, Layout().l(0).l(11).l(12).l(13).str("dbtst100").s(100).s(1).l(5)
                 .str("dbtst105").s(200).s(2).l(6).str("").b);
    EXPECT_EQ(back.audit_a, 11);
    EXPECT_EQ(back.audit_c, 13);
    ASSERT_EQ(back.audit_entries.size(), 2u);
    EXPECT_EQ(back.audit_entries[1].table, "dbtst105");
    EXPECT_EQ(back.audit_entries[1].l, 6);
    every_prefix_refused(blk);

    /* Audit number -1: nothing follows. */
    blk.audit_a = -1;
    reply_round_trip(blk, Layout().l(0).l(-1).b);
    /* An abort carries only the return code. */
    blk.action = 3;
    reply_round_trip(blk, Layout().l(0).b);
    /* The audit commit (7) is answered like a commit. */
    blk.action = 7;
    blk.audit_a = -1;
    reply_round_trip(blk, Layout().l(0).l(-1).b);
}

TEST(CommuReply, SessionAndSystemAnswers)
{
    const unsigned char answer[] = {'o', 'k'};
    for (int kind : {COMMU_EXE_SESSION, COMMU_EXE_SYSTEM}) {
        commu_block blk;
        blk.kind = kind;
        blk.answer = answer;
        blk.answer_len = 2;
        blk.retval = 0;
        commu_block back = reply_round_trip(blk, Layout().s(2).raw("ok").l(0).b);
        ASSERT_EQ(back.answer_len, 2);
        EXPECT_EQ(std::memcmp(back.answer, "ok", 2), 0);
        every_prefix_refused(blk);
    }
}

TEST(CommuReply, SqlPacketReplyHasNoReturnCode)
{
    const unsigned char packet[] = {1, 2, 3};
    commu_block blk;
    blk.kind = COMMU_SQL_MESSAGE;
    blk.answer = packet;
    blk.answer_len = 3;
    commu_block back = reply_round_trip(blk, Layout().l(3).raw(Bytes{1, 2, 3}).b);
    EXPECT_EQ(back.retval, 0);
    EXPECT_EQ(back.answer_len, 3);
    every_prefix_refused(blk);
    /* A negative or enormous length is refused without reading on. */
    commu_block r;
    r.kind = COMMU_SQL_MESSAGE;
    EXPECT_EQ(read_from(Layout().l(-5).b, [&](STREAM *sp) { return commu_read_reply(sp, &r); }), -1);
    EXPECT_EQ(read_from(Layout().l(0x7fffffff).b, [&](STREAM *sp) { return commu_read_reply(sp, &r); }),
              -1);
}

TEST(CommuReply, BufferedUpdatesWithMissingDictionariesOrADetailError)
{
    commu_block blk;
    blk.kind = COMMU_EXE_UPDATE;
    blk.retval = 513;
    blk.missing = {missing("dbtst105", 100)};
    reply_round_trip(blk, Layout().l(513).l(1).raw("dbtst105").s(100).b);

    blk.missing.clear();
    blk.retval = 520;
    blk.detail_code = 108;
    std::strcpy(blk.detail_table, "dbtst100");
    blk.detail_number = 3;
    blk.detail_text = "duplicate key";
    commu_block back = reply_round_trip(
        blk, Layout().l(520).l(108).raw("dbtst100").s(3).l(13).raw("duplicate key").b);
    EXPECT_EQ(back.detail_code, 108);
    EXPECT_STREQ(back.detail_table, "dbtst100");
    EXPECT_EQ(back.detail_number, 3);
    EXPECT_EQ(back.detail_text, "duplicate key");
    every_prefix_refused(blk);

    blk.detail_text.clear();
    reply_round_trip(blk, Layout().l(520).l(108).raw("dbtst100").s(3).l(0).b);
}

TEST(CommuReply, RowReplyIsCopiedIntoTheCallersRow)
{
    const unsigned char row[] = {'A', 'B', 'C', 'D'};
    commu_block blk;
    blk.kind = COMMU_EXE_ROW;
    blk.answer = row;
    blk.answer_len = 4;
    blk.retval = 0;
    Bytes expected = Layout().s(4).raw("ABCD").l(0).b;
    EXPECT_EQ(hex(reply_bytes(blk)), hex(expected));

    unsigned char buffer[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    commu_block back;
    back.kind = COMMU_EXE_ROW;
    back.row_out = buffer;
    back.row_size = sizeof buffer;
    EXPECT_EQ(read_from(expected, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 6), "ABCDxx");

    /* A row longer than the caller's buffer is refused, the buffer kept. */
    unsigned char small[3] = {'y', 'y', 'y'};
    back.row_out = small;
    back.row_size = 3;
    EXPECT_EQ(read_from(expected, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), -1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(small), 3), "yyy");

    blk.answer_len = 0;
    blk.retval = 513;
    blk.missing = {missing("dbtst100", 1), missing("dbtst101", 2)};
    reply_round_trip(blk, Layout().s(0).l(513).l(2).raw("dbtst100").s(1).raw("dbtst101").s(2).b);
    every_prefix_refused(blk);
}

TEST(CommuReply, AlterReplyHoldsUpToTwoEntriesInA20ByteBlock)
{
    commu_block blk;
    blk.kind = COMMU_ALTER_TABLE;
    blk.retval = 513;
    blk.missing = {missing("Dbtst107", 812)};
    blk.result = 2;
    Layout expected;
    expected.l(513).l(1).raw("Dbtst107").s(812).raw(Bytes(10, 0)).l(2);
    commu_block back = reply_round_trip(blk, expected.b);
    ASSERT_EQ(back.missing.size(), 1u);
    EXPECT_STREQ(back.missing[0].table, "Dbtst107");
    EXPECT_EQ(back.missing[0].compnr, 812);
    EXPECT_EQ(back.result, 2);
    every_prefix_refused(blk);

    blk.retval = 0;
    blk.missing.clear();
    blk.result = 1;
    reply_round_trip(blk, Layout().l(0).l(0).raw(Bytes(20, 0)).l(1).b);
}

namespace {

int write_answer(STREAM *sp, void *ctx)
{
    return w_short(sp, *static_cast<int *>(ctx));
}
int read_answer(STREAM *sp, void *ctx)
{
    *static_cast<int *>(ctx) = r_short(sp);
    return seof(sp) ? -1 : 0;
}

} // namespace

TEST(CommuReply, SecondSqlInterfaceReply)
{
    int answer = 0x1234;
    commu_block blk;
    blk.kind = COMMU_SQL2_MESSAGE;
    blk.result = 9;
    blk.sql2.write_answer = write_answer;
    blk.sql2.ctx = &answer;
    Bytes got = reply_bytes(blk);
    EXPECT_EQ(hex(got), hex(Layout().l(9).s(0x1234).b));
    int seen = 0;
    commu_block back;
    back.kind = COMMU_SQL2_MESSAGE;
    back.sql2.read_answer = read_answer;
    back.sql2.ctx = &seen;
    EXPECT_EQ(read_from(got, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), 0);
    EXPECT_EQ(back.result, 9);
    EXPECT_EQ(seen, 0x1234);
    EXPECT_EQ(read_from(Layout().l(9).byte(1).b, [&](STREAM *sp) { return commu_read_reply(sp, &back); }),
              -1);
}

/* ---- dictionary description body ------------------------------------------------- */

TEST(CommuDictionaryBody, RoundTripOfEveryPart)
{
    commu_dd_desc d{};
    std::strcpy(d.table, "Qqtst100");
    d.compnr = 5;
    d.ref_flags = 3;
    d.columns = {{"a", 4, 0, 3, 0, 1, 9, 0}, {"b", 6, 4, 6, 0x80, 1, 0, 0}};
    d.combined = {{"_index1", {0, 1}}};
    d.indexes = {{1, 0, 1, {0, 1}}};
    d.index_words = {1, 2, 0, 1};
    d.refs = {{"Qqtst101.a", 13}};
    d.refs_by = {{"qqtst102", "x", 6}};
    Bytes got = written([&](STREAM *sp) { return commu_write_dd_desc(sp, &d); });
    Layout expected;
    expected.raw("Qqtst100").byte(0).s(2).s(1).s(1).s(4).s(5).s(1).s(1).s(3);
    expected.str("a").s(4).s(0).byte(3).byte(0).byte(1).byte(9).byte(0);
    expected.str("b").s(6).s(4).byte(6).byte(0x80).byte(1).byte(0).byte(0);
    expected.str("_index1").s(2).s(0).s(1);
    expected.byte(1).byte(0).byte(1).s(2).s(0).s(1);
    expected.s(1).s(2).s(0).s(1);
    expected.str("Qqtst101.a").s(13);
    expected.str("qqtst102").str("x").s(6);
    EXPECT_EQ(hex(got), hex(expected.b));

    commu_dd_desc back{};
    EXPECT_EQ(read_from(got, [&](STREAM *sp) { return commu_read_dd_desc(sp, &back); }), 0);
    EXPECT_STREQ(back.table, "Qqtst100");
    ASSERT_EQ(back.columns.size(), 2u);
    EXPECT_EQ(back.columns[1].flags, 0x80);
    EXPECT_EQ(back.combined[0].members, (std::vector<int>{0, 1}));
    EXPECT_EQ(back.indexes[0].parts, (std::vector<int>{0, 1}));
    EXPECT_EQ(back.index_words, (std::vector<int>{1, 2, 0, 1}));
    EXPECT_EQ(back.refs[0].mode, 13);
    EXPECT_EQ(back.refs_by[0].column, "x");
    for (size_t n = 0; n < got.size(); n++) {
        Bytes part(got.begin(), got.begin() + static_cast<long>(n));
        EXPECT_EQ(read_from(part, [&](STREAM *sp) { return commu_read_dd_desc(sp, &back); }), -1) << n;
    }
}

TEST(CommuReceiveBuffer, GrowsAndRefusesImpossibleSizes)
{
    unsigned char *p = commu_receive_buffer(10);
    ASSERT_NE(p, nullptr);
    p[9] = 1;
    unsigned char *q = commu_receive_buffer(100000);
    ASSERT_NE(q, nullptr);
    q[99999] = 2;
    EXPECT_EQ(commu_receive_buffer(-1), nullptr);
    EXPECT_EQ(commu_receive_buffer(COMMU_MAX_BLOCK + 1), nullptr);
    EXPECT_NE(commu_receive_buffer(0), nullptr);
}

/* ---- garbled input ------------------------------------------------------------------ */

TEST(CommuGarbled, LargeBlocksArriveWhole)
{
    Bytes big(200001);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<unsigned char>(i % 251);
    commu_block blk;
    blk.kind = COMMU_SQL_MESSAGE;
    blk.answer = big.data();
    blk.answer_len = static_cast<long>(big.size());
    Bytes wire = reply_bytes(blk);
    commu_block back;
    back.kind = COMMU_SQL_MESSAGE;
    ASSERT_EQ(read_from(wire, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), 0);
    ASSERT_EQ(back.answer_len, static_cast<long>(big.size()));
    EXPECT_EQ(std::memcmp(back.answer, big.data(), big.size()), 0);
    /* A length that promises more than arrives is refused. */
    Bytes cut(wire.begin(), wire.end() - 1);
    EXPECT_EQ(read_from(cut, [&](STREAM *sp) { return commu_read_reply(sp, &back); }), -1);
}

TEST(CommuGarbled, RandomBytesGiveADefinedResultForEveryKind)
{
    /* A fixed generator: the same bytes in every run. */
    unsigned long state = 12345;
    auto next = [&state]() {
        state = state * 6364136223846793005UL + 1442695040888963407UL;
        return static_cast<unsigned char>(state >> 56);
    };
    const int kinds[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    int accepted = 0;
    int refused = 0;
    for (int kind : kinds) {
        for (int round = 0; round < 300; round++) {
            Bytes bytes(static_cast<size_t>(next() % 64));
            for (auto &b : bytes)
                b = next();
            /* Mostly plausible return codes and counts. */
            if (bytes.size() >= 8 && round % 3 == 0) {
                bytes[4] = bytes[5] = 0;
                bytes[6] = 0x02;
                bytes[7] = 0x01;
            }
            commu_block reply;
            reply.kind = kind;
            reply.action = round % 2 ? 1 : 3;
            int rc = read_from(bytes, [&](STREAM *sp) { return commu_read_reply(sp, &reply); });
            EXPECT_TRUE(rc == 0 || rc == -1);
            (rc == 0 ? accepted : refused)++;
            Bytes request = bytes;
            request.insert(request.begin(), static_cast<unsigned char>(kind));
            commu_block req;
            rc = read_from(request, [&](STREAM *sp) { return commu_read_request(sp, &req); });
            EXPECT_TRUE(rc == 0 || rc == -1);
            (rc == 0 ? accepted : refused)++;
        }
    }
    /* Both outcomes occur: the readers are neither all-accepting nor
     * all-refusing. */
    EXPECT_GT(accepted, 0);
    EXPECT_GT(refused, 0);
}
