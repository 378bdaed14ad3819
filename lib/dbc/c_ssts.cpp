/*
 * c_ssts.cpp: the rows fetched per query of the reads that go through
 * the SQL engine (usr_set_rows, ssts_set_rows). The reads themselves wait
 * for the SQL engine; until then c_ex_fet.cpp answers them with 215.
 */
#include "c_state.h"
#include "tdb_api.h"

namespace {

/* Rows per fetch; 0 until first used. */
int usr_set_rows = 0;

int rows_per_fetch()
{
    if (usr_set_rows == 0)
        usr_set_rows = tdb_res.ssts_set_rows < 1 ? 3 : tdb_res.ssts_set_rows;
    return usr_set_rows;
}

} // namespace

int ssts_set_rows(int rows)
{
    const int old = rows_per_fetch();
    usr_set_rows = rows;
    return old;
}
