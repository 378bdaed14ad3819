/*
 * actions_test.cpp: the row actions of the tdb API without a driver: the
 * records a buffered action leaves in the table's update store (sequence
 * number, header, row), rcd_utc stamping, the checks before an action,
 * the selection state, domain checks, abort, and the rows per fetch.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "al_log.h"
#include "al_user.h"
#include "c_client.h"
#include "c_ex_fet.h"
#include "c_open.h"
#include "c_state.h"
#include "commu_support.h"
#include "compnr.h"
#include "qp_rds.h"
#include "qpd_dd.h"
#include "qpd_rdic.h"
#include "run_program.h"
#include "tdb_api.h"
#include "tdb_commu.h"

using namespace commutest;

namespace {

std::string g_log;
void capture_log(const char *message) { g_log += message; }

uint32_t be32(const unsigned char *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

/* Tables on audit drivers only: cursors are made, no driver is started,
 * and nothing may be sent. */
class Actions : public ::testing::Test {
protected:
    void SetUp() override
    {
        tdb_api_reset();
        reset_state();
        reset_tdb_msg();
        qpd::reset_server_lists();
        compnrClientReset();
        g_log.clear();
        log_set_log_hook(capture_log);
        tdbtest::TempDir::writeAt(root(), "lib/tabledef6.2", "dbtst:*:audit(one)\n");
        qpd::reset_server_lists();
        tdb_info.logged_on = 1;
        trans_id = tdb_start_session("actions");
        ASSERT_NE(trans_id, 0u);
        trans = tdb_get_trans_by_id(trans_id);
        ASSERT_NE(trans, nullptr);
    }
    void TearDown() override
    {
        log_set_log_hook(nullptr);
        tdb_api_reset();
        reset_state();
        std::remove((root() + "/lib/tabledef6.2").c_str());
        compnrClientReset();
        qpd::reset_server_lists();
    }

    tdb_handle *open_row(const char *table, int compnr = 5)
    {
        tdb_handle *h = nullptr;
        EXPECT_EQ(tdb_open(&h, table, compnr, row, 0, trans_id), 0) << tdb_errno;
        return h;
    }

    /* The records of the cursor's update store. */
    std::vector<std::vector<unsigned char>> records(tdb_handle *h)
    {
        std::vector<std::vector<unsigned char>> out;
        RDS *store = h->cursors->instance->dup->updates;
        if (store == nullptr)
            return out;
        rds_start_get_seq(store);
        std::vector<unsigned char> rec(static_cast<size_t>(rds_size_of_row(store)));
        while (rds_get_seq(store, rec.data()) == 0)
            out.push_back(rec);
        return out;
    }

    unsigned trans_id = 0;
    tdb_trans *trans = nullptr;
    unsigned char row[DD_MAX_ROW] = {};
};

} // namespace

TEST_F(Actions, ABufferedInsertStoresSequenceHeaderAndRow)
{
    tdb_handle *h = open_row("dbtst107");
    const _dd_column *id = ddcolumn_by_ddtable(h->table, "id");
    const _dd_column *descr = ddcolumn_by_ddtable(h->table, "descr");
    put_be32(row + id->offset, 42);
    std::memset(row + descr->offset, ' ', descr->length);
    std::memcpy(row + descr->offset, "answer", 6);
    /* The lock bits and the counter bit never reach the store. */
    ASSERT_EQ(tdb_exec_row(h, 62, 0x205010 | TDB_FLAG_KEEP_RCD_UTC, -1), 0) << tdb_errno;
    put_be32(row + id->offset, 43);
    ASSERT_EQ(tdb_exec_row(h, 61, 0, -1), 0) << tdb_errno;
    put_be32(row + id->offset, 44);
    ASSERT_EQ(tdb_exec_row(h, 63, 0x4, -1), 0) << tdb_errno;

    auto recs = records(h);
    ASSERT_EQ(recs.size(), 3u);
    const size_t len = h->table->row_length;
    ASSERT_EQ(recs[0].size(), 12 + len);
    EXPECT_EQ(be32(recs[0].data()), 1u) << "sequence numbers count from 1";
    EXPECT_EQ(be32(recs[0].data() + 4), 1u) << "insert";
    EXPECT_EQ(be32(recs[0].data() + 8), 0x800010u);
    EXPECT_EQ(be32(recs[0].data() + 12 + id->offset), 42u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(recs[0].data()) + 12 + descr->offset,
                          descr->length),
              "answer              ");
    EXPECT_EQ(be32(recs[1].data()), 2u);
    EXPECT_EQ(be32(recs[1].data() + 4), 2u) << "delete";
    EXPECT_EQ(be32(recs[1].data() + 12 + id->offset), 43u);
    EXPECT_EQ(be32(recs[2].data()), 3u);
    EXPECT_EQ(be32(recs[2].data() + 4), 3u) << "update";
    EXPECT_EQ(be32(recs[2].data() + 8), 0x4u);
    EXPECT_EQ(trans->upd_seq, 3);
    EXPECT_TRUE(transaction_has_buffered_updates(trans));

    /* An abort discards them without a driver. */
    ASSERT_EQ(tdb_exec_db(3, trans_id), 0) << tdb_errno;
    EXPECT_FALSE(transaction_has_buffered_updates(trans));
    EXPECT_TRUE(records(h).empty());
}

TEST_F(Actions, AnInsertStampsTheTransactionStartTimeUnlessTold)
{
    tdb_handle *h = open_row("dbtst106");
    const _dd_column *utc = ddcolumn_by_ddtable(h->table, "rcd_utc");
    ASSERT_NE(utc, nullptr);
    ASSERT_EQ(h->table->rcd_utc, utc);
    trans->start_time = 1234567890;
    put_be32(row + utc->offset, 99);
    ASSERT_EQ(tdb_exec_row(h, 62, 0, -1), 0) << tdb_errno;
    ASSERT_EQ(tdb_exec_row(h, 62, TDB_FLAG_KEEP_RCD_UTC, -1), 0) << tdb_errno;
    auto recs = records(h);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(be32(recs[0].data() + 12 + utc->offset), 1234567890u);
    EXPECT_EQ(be32(recs[1].data() + 12 + utc->offset), 99u);
    EXPECT_EQ(be32(row + utc->offset), 99u) << "the program's row is not touched";
}

TEST_F(Actions, ActionsOnTheCurrentRowOrPositionNeedOne)
{
    tdb_handle *h = open_row("dbtst107");
    for (int action : {15, 16, 21, 23, 5, 7}) {
        EXPECT_EQ(tdb_exec_row(h, action, 0, -1), -1) << action;
        EXPECT_EQ(tdb_errno, 112) << action;
    }
    EXPECT_TRUE(records(h).empty());
    /* A successful update makes the row current and positioned. */
    ASSERT_EQ(tdb_exec_row(h, 63, 0, -1), 0);
    tdb_instance *in = h->cursors->instance;
    EXPECT_EQ(in->sel_state & (TDB_SEL_CURRENT | TDB_SEL_POSITIONED),
              TDB_SEL_CURRENT | TDB_SEL_POSITIONED);
    /* A delete of it leaves the position but no current row. */
    ASSERT_EQ(tdb_exec_row(h, 61, 0, -1), 0);
    EXPECT_EQ(in->sel_state & (TDB_SEL_CURRENT | TDB_SEL_POSITIONED), TDB_SEL_POSITIONED);
    /* A failed positioning read clears both (the SQL path is missing). */
    EXPECT_EQ(tdb_exec_row(h, 1, 0, -1), -1);
    EXPECT_EQ(tdb_errno, 215);
    EXPECT_NE(g_log.find("Row action db_first on 'dbtst107' needs the SQL engine"),
              std::string::npos)
        << g_log;
    EXPECT_EQ(in->sel_state & (TDB_SEL_CURRENT | TDB_SEL_POSITIONED), 0);
}

TEST_F(Actions, CompanyNumbersOutsideTheRangeAreRefusedBeforeAnyCursor)
{
    tdb_handle *h = open_row("dbtst107");
    EXPECT_EQ(tdb_exec_row(h, 22, 0, 1000), -1);
    EXPECT_EQ(tdb_errno, 519);
    EXPECT_STREQ(get_tdb_msg(), "Unknown compnr 1000 for db_insert on 'dbtst107'.");
    EXPECT_NE(g_log.find("Unknown compnr 1000 for db_insert on 'dbtst107'."), std::string::npos);
    EXPECT_EQ(h->cursors, nullptr);
    /* The default (-1) is the handle's, and goes back into the row. */
    ASSERT_EQ(tdb_exec_row(h, 62, 0, -1), 0) << tdb_errno;
    EXPECT_EQ(get_compnr_from_bind(h, nullptr), 5);
    EXPECT_EQ(tdb_exec_row(nullptr, 62, 0, -1), -1);
    EXPECT_EQ(tdb_errno, 102);
}

TEST_F(Actions, DomainViolationsOfInsertsGive205WhenChecksAreOn)
{
    tdb_handle *h = open_row("dbtst100");
    const _dd_column *code = ddcolumn_by_ddtable(h->table, "code");
    ASSERT_NE(code, nullptr);
    std::memcpy(row, h->table->default_row, h->table->row_length);
    std::memcpy(row + code->offset, "ab#   ", 6);
    const int saved = user_info.domaincheck;
    user_info.domaincheck = 1;
    EXPECT_EQ(tdb_exec_row(h, 62, 0, -1), -1);
    EXPECT_EQ(tdb_errno, 205);
    EXPECT_TRUE(records(h).empty());
    user_info.domaincheck = 0;
    EXPECT_EQ(tdb_exec_row(h, 62, 0, -1), 0) << "checks off";
    user_info.domaincheck = saved;
}

TEST_F(Actions, ChangeOrderRefusesUnknownIndexesAndDropsTheCurrentRow)
{
    tdb_handle *h = open_row("dbtst100");
    int arg = 4;
    EXPECT_EQ(tdb_exec_table(h, 3, &arg, -1), -1);
    EXPECT_EQ(tdb_errno, 103);
    EXPECT_NE(g_log.find("Illegal key 4 specified for table 'dbtst100'."), std::string::npos);
    tdb_instance *in = h->cursors->instance;
    EXPECT_EQ(in->cur_index, 1);
    in->sel_state = TDB_SEL_CURRENT | TDB_SEL_POSITIONED;
    arg = 2;
    ASSERT_EQ(tdb_exec_table(h, 3, &arg, -1), 0);
    EXPECT_EQ(in->cur_index, 2);
    EXPECT_EQ(in->sel_state, TDB_SEL_POSITIONED) << "no current row after change_order";
    EXPECT_EQ(tdb_exec_table(h, 3, nullptr, -1), -1);
    EXPECT_EQ(tdb_errno, 102);
}

TEST_F(Actions, DatabaseActionsCheckTheTransaction)
{
    EXPECT_EQ(tdb_exec_db(1, 200), -1);
    EXPECT_EQ(tdb_errno, 518);
    EXPECT_STREQ(get_tdb_msg(), "Invalid transaction id 200 specified.");
    /* Nothing to send: a commit of an empty transaction succeeds. */
    EXPECT_EQ(tdb_exec_db(1, trans_id), 0) << tdb_errno;
    EXPECT_EQ(tdb_flush(trans_id), 0);
    tdb_info.logged_on = 0;
    EXPECT_EQ(tdb_exec_db(1, trans_id), -1);
    EXPECT_EQ(tdb_errno, 508);
}

TEST(ActionsRows, RowsPerFetchDefaultToThreeAndCanBeSet)
{
    const int first = ssts_set_rows(10);
    EXPECT_EQ(first, tdb_res.ssts_set_rows < 1 ? 3 : tdb_res.ssts_set_rows);
    EXPECT_EQ(ssts_set_rows(first), 10);
}
