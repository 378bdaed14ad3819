/*
 * insert_bench.cpp: inserting rows of the 12-column demo table dbtst114
 * through the tdb API (row action 62, a commit every 1000 rows, then
 * nr_rows) against the real driver program, compared with the same rows
 * inserted directly into SQLite with a prepared statement, and into
 * PostgreSQL with COPY.
 *
 * Rows: --rows=N or TDB_BENCH_ROWS (default 1000000). PostgreSQL runs too
 * when TDB_TEST_PG holds the driver's argument string.
 */
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "al_log.h"
#include "qpd_dd.h"
#include "tdb_api.h"

namespace {

long g_rows = 1000000;
std::string g_root;
unsigned g_trans = 0;
double g_seconds_tdb_sqlite = 0;
double g_seconds_tdb_pg = 0;
double g_seconds_direct = 0;
double g_seconds_direct_fast = 0;
double g_seconds_direct_pg = 0;

void write_file(const std::string &rel, const std::string &text)
{
    const std::string path = g_root + "/" + rel;
    for (size_t at = path.find('/', g_root.size() + 1); at != std::string::npos;
         at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    std::ofstream(path) << text;
}

/* A private root: the demo dictionary, the driver program, and every
 * dbtst table of company 1 on SQLite (company 2 on PostgreSQL). */
void make_root()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr ? tmp : "/tmp") + "/tdb_insert_XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    g_root = templ;
    setenv("TSE", g_root.c_str(), 1);
    setenv("PACKAGE_COMB", "bench", 1);
    setenv("USER", "benchusr", 1);
    setenv("TSE_LIB_PATH", TSS_CONVERT_DIR, 1);
    unsetenv("TSE_REM");
    write_file("log/.keep", "");
    write_file("lib/user/u/ubenchusr", "usertype: S\npacc: bench\n");
    write_file("tools/tt7.6_a/o6.2/ottiex1287", "");
    write_file("lib/fd6.2.bench",
               std::string("tt tools/tt7.6_a\ndb ") + DEMO_TSE + "/appl/db6.2\n");
    write_file("lib/ipc_info", std::string("sqlite p ") + TDB_DRIVER_PATH + "\npostgres p " +
                                   TDB_DRIVER_PATH + "\n");
    std::string tabledef = "dbtst:001:sqlite(" + g_root + "/tdb.db)\n";
    if (const char *pg = std::getenv("TDB_TEST_PG"))
        tabledef += std::string("dbtst:002:postgres(") + pg + ")\n";
    write_file("lib/tabledef6.2", tabledef);
}

struct Columns {
    const _dd_column *c[12];
};

Columns columns_of(const _dd_table *t)
{
    static const char *names[12] = {"id",    "line",   "custno", "item",  "descr", "qty",
                                    "price", "amount", "odate",  "flag",  "stat",  "rcd_utc"};
    Columns out{};
    for (int i = 0; i < 12; ++i)
        out.c[i] = ddcolumn_by_ddtable(t, names[i]);
    return out;
}

void put32(unsigned char *p, long v)
{
    const auto u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

void put_text(unsigned char *p, int width, const char *text)
{
    std::memset(p, ' ', static_cast<size_t>(width));
    std::memcpy(p, text, std::min<size_t>(std::strlen(text), static_cast<size_t>(width)));
}

/* The values of row i, for both paths. */
struct Values {
    long id, line, custno, qty, odate, flag, stat, utc;
    double price, amount;
    char item[21], descr[41];
};

Values values_of(long i)
{
    Values v{};
    v.id = i;
    v.line = i % 1000;
    v.custno = i % 5000;
    v.qty = i % 100;
    v.price = static_cast<double>(i % 997) / 4;
    v.amount = v.price * static_cast<double>(v.qty);
    v.odate = 738000 + i % 365;
    v.flag = i % 2;
    v.stat = i % 5;
    v.utc = 1700000000 + i;
    std::snprintf(v.item, sizeof v.item, "ITEM%06ld", i % 100000);
    std::snprintf(v.descr, sizeof v.descr, "Order line %ld", i);
    return v;
}

void fill_row(unsigned char *row, const Columns &c, const Values &v)
{
    put32(row + c.c[0]->offset, v.id);
    row[c.c[1]->offset] = static_cast<unsigned char>((v.line >> 8) & 0xff);
    row[c.c[1]->offset + 1] = static_cast<unsigned char>(v.line & 0xff);
    put32(row + c.c[2]->offset, v.custno);
    put_text(row + c.c[3]->offset, c.c[3]->length, v.item);
    put_text(row + c.c[4]->offset, c.c[4]->length, v.descr);
    put32(row + c.c[5]->offset, v.qty);
    std::memcpy(row + c.c[6]->offset, &v.price, 8);
    std::memcpy(row + c.c[7]->offset, &v.amount, 8);
    put32(row + c.c[8]->offset, v.odate);
    row[c.c[9]->offset] = static_cast<unsigned char>(v.flag);
    put32(row + c.c[10]->offset, v.stat);
    put32(row + c.c[11]->offset, v.utc);
}

/* One run through the tdb API in a company; the seconds taken, or -1. */
double tdb_run(int compnr, benchmark::State &state)
{
    unsigned char row[DD_MAX_ROW] = {};
    tdb_handle *h = nullptr;
    if (tdb_open(&h, "dbtst114", compnr, row, 0, g_trans) != 0) {
        state.SkipWithError(("tdb_open: " + std::to_string(tdb_errno)).c_str());
        return -1;
    }
    int arg = 0;
    tdb_exec_table(h, 6, &arg, -1); /* drop_table: a table of an earlier run */
    tdb_exec_db(1, g_trans);
    arg = 0;
    if (tdb_exec_table(h, 4, &arg, -1) != 0) {
        state.SkipWithError(("create_table: " + std::to_string(tdb_errno)).c_str());
        return -1;
    }
    const _dd_table *table = ddtable("dbtst114");
    const Columns cols = columns_of(table);
    std::memcpy(row, table->default_row, table->row_length);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 1; i <= g_rows; ++i) {
        fill_row(row, cols, values_of(i));
        if (tdb_exec_row(h, 62, TDB_FLAG_KEEP_RCD_UTC, -1) != 0) {
            state.SkipWithError(("insert: " + std::to_string(tdb_errno)).c_str());
            return -1;
        }
        if (i % 1000 == 0 && tdb_exec_db(1, g_trans) != 0) {
            state.SkipWithError(("commit: " + std::to_string(tdb_errno)).c_str());
            return -1;
        }
    }
    if (tdb_exec_db(1, g_trans) != 0) {
        state.SkipWithError(("commit: " + std::to_string(tdb_errno)).c_str());
        return -1;
    }
    arg = 0;
    if (tdb_exec_table(h, 8, &arg, -1) != 0 || arg != g_rows) {
        state.SkipWithError(("nr_rows: " + std::to_string(arg)).c_str());
        return -1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    tdb_close(h);
    return seconds;
}

void BM_TdbInsertSqlite(benchmark::State &state)
{
    for (auto _ : state) {
        const double s = tdb_run(1, state);
        if (s < 0)
            return;
        g_seconds_tdb_sqlite = s;
        state.SetIterationTime(s);
    }
    state.SetItemsProcessed(state.iterations() * g_rows);
}

void BM_TdbInsertPostgres(benchmark::State &state)
{
    if (std::getenv("TDB_TEST_PG") == nullptr) {
        state.SkipWithError("TDB_TEST_PG not set");
        return;
    }
    for (auto _ : state) {
        const double s = tdb_run(2, state);
        if (s < 0)
            return;
        g_seconds_tdb_pg = s;
        state.SetIterationTime(s);
    }
    state.SetItemsProcessed(state.iterations() * g_rows);
}

/*
 * Direct SQLite inserts with one prepared statement. Two shapes:
 * - same shape as the driver's table (the ratio's basis): the database in
 *   write-ahead-log mode with synchronous=NORMAL as the driver runs it, a
 *   plain rowid table of the driver's columns (with the NULL tdb_row
 *   column) and a separate unique index on id, a commit every 1000 rows;
 * - the fastest a program could do on its own: id as the INTEGER PRIMARY
 *   KEY (the rowid, no separate index) and one transaction for all rows.
 */
double sqlite_direct(benchmark::State &state, bool same_shape)
{
    const std::string path = g_root + (same_shape ? "/direct_same.db" : "/direct_fast.db");
    for (const char *suffix : {"", "-wal", "-shm"})
        std::remove((path + suffix).c_str());
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        state.SkipWithError("cannot open the direct database");
        sqlite3_close(db);
        return -1;
    }
    const char *ddl =
        same_shape
            ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
              "CREATE TABLE dbtst114 (id INTEGER NOT NULL, line INTEGER NOT NULL, custno "
              "INTEGER NOT NULL, item TEXT NOT NULL, descr TEXT NOT NULL, qty INTEGER NOT NULL,"
              " price REAL, amount REAL, odate INTEGER NOT NULL, flag INTEGER NOT NULL,"
              " stat INTEGER NOT NULL, rcd_utc INTEGER NOT NULL, tdb_row BLOB);"
              "CREATE UNIQUE INDEX dbtst114_i1 ON dbtst114 (id);"
            : "CREATE TABLE dbtst114 (id INTEGER PRIMARY KEY, line INTEGER, custno "
              "INTEGER, item TEXT, descr TEXT, qty INTEGER, price REAL, amount REAL, "
              "odate INTEGER, flag INTEGER, stat INTEGER, rcd_utc INTEGER)";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_exec(db, ddl, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db,
                           same_shape ? "INSERT INTO dbtst114 VALUES (?,?,?,?,?,?,?,?,?,?,?,?,NULL)"
                                      : "INSERT INTO dbtst114 VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
                           -1, &st, nullptr) != SQLITE_OK) {
        state.SkipWithError(sqlite3_errmsg(db));
        sqlite3_close(db);
        return -1;
    }
    const long batch = same_shape ? 1000 : g_rows;
    bool ok = true;
    const auto start = std::chrono::steady_clock::now();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (long i = 1; i <= g_rows && ok; ++i) {
        const Values v = values_of(i);
        sqlite3_bind_int64(st, 1, v.id);
        sqlite3_bind_int64(st, 2, v.line);
        sqlite3_bind_int64(st, 3, v.custno);
        sqlite3_bind_text(st, 4, v.item, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 5, v.descr, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 6, v.qty);
        sqlite3_bind_double(st, 7, v.price);
        sqlite3_bind_double(st, 8, v.amount);
        sqlite3_bind_int64(st, 9, v.odate);
        sqlite3_bind_int64(st, 10, v.flag);
        sqlite3_bind_int64(st, 11, v.stat);
        sqlite3_bind_int64(st, 12, v.utc);
        ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
        if (ok && i % batch == 0 && i < g_rows)
            ok = sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok)
        state.SkipWithError(sqlite3_errmsg(db));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return ok ? s : -1;
}

void BM_SqliteDirectInsert(benchmark::State &state)
{
    for (auto _ : state) {
        const double s = sqlite_direct(state, true);
        if (s < 0)
            return;
        g_seconds_direct = s;
        state.SetIterationTime(s);
    }
    state.SetItemsProcessed(state.iterations() * g_rows);
}

void BM_SqliteDirectInsertOneTransaction(benchmark::State &state)
{
    for (auto _ : state) {
        const double s = sqlite_direct(state, false);
        if (s < 0)
            return;
        g_seconds_direct_fast = s;
        state.SetIterationTime(s);
    }
    state.SetItemsProcessed(state.iterations() * g_rows);
}

/* Binary COPY fields: a number in network byte order of width bytes. */
void put_be(std::string *buf, int width, uint64_t v)
{
    char bytes[8];
    for (int i = width - 1; i >= 0; i--, v >>= 8)
        bytes[i] = static_cast<char>(v & 0xFF);
    buf->append(bytes, static_cast<size_t>(width));
}

void put_field(std::string *buf, int width, uint64_t v)
{
    put_be(buf, 4, static_cast<uint64_t>(width));
    put_be(buf, width, v);
}

void put_field(std::string *buf, const char *text)
{
    put_be(buf, 4, std::strlen(text));
    *buf += text;
}

void put_field(std::string *buf, double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    put_field(buf, 8, bits);
}

/* The same rows into a PostgreSQL table of the driver's column types and
 * the same unique index, with the backend's fastest path: one binary COPY
 * per transaction of 1000 rows. */
void BM_PostgresDirectCopy(benchmark::State &state)
{
    const char *conninfo = std::getenv("TDB_TEST_PG");
    if (conninfo == nullptr) {
        state.SkipWithError("TDB_TEST_PG not set");
        return;
    }
    PGconn *conn = PQconnectdb(conninfo);
    if (PQstatus(conn) != CONNECTION_OK) {
        state.SkipWithError(PQerrorMessage(conn));
        PQfinish(conn);
        return;
    }
    PQsetNoticeProcessor(conn, [](void *, const char *) {}, nullptr);
    auto exec = [&](const char *sql) {
        PGresult *res = PQexec(conn, sql);
        const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
        if (!ok)
            state.SkipWithError(PQresultErrorMessage(res));
        PQclear(res);
        return ok;
    };
    for (auto _ : state) {
        if (!exec("DROP TABLE IF EXISTS insert_bench_direct") ||
            !exec("CREATE TABLE insert_bench_direct (id integer NOT NULL, line smallint NOT NULL,"
                  " custno integer NOT NULL, item text NOT NULL, descr text NOT NULL,"
                  " qty integer NOT NULL, price double precision, amount double precision,"
                  " odate integer NOT NULL, flag smallint NOT NULL, stat integer NOT NULL,"
                  " rcd_utc integer NOT NULL)") ||
            !exec("CREATE UNIQUE INDEX insert_bench_direct_i1 ON insert_bench_direct (id)"))
            break;
        static const char header[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
        std::string buf;
        const auto start = std::chrono::steady_clock::now();
        bool ok = true;
        for (long first = 1; ok && first <= g_rows; first += 1000) {
            ok = exec("BEGIN");
            PGresult *res = ok ? PQexec(conn, "COPY insert_bench_direct FROM STDIN (FORMAT binary)")
                               : nullptr;
            if (ok && PQresultStatus(res) != PGRES_COPY_IN) {
                state.SkipWithError(PQresultErrorMessage(res));
                ok = false;
            }
            PQclear(res);
            if (!ok)
                break;
            buf.assign(header, sizeof header - 1);
            for (long i = first; i <= g_rows && i < first + 1000; ++i) {
                const Values v = values_of(i);
                put_be(&buf, 2, 12);
                put_field(&buf, 4, static_cast<uint32_t>(v.id));
                put_field(&buf, 2, static_cast<uint16_t>(v.line));
                put_field(&buf, 4, static_cast<uint32_t>(v.custno));
                put_field(&buf, v.item);
                put_field(&buf, v.descr);
                put_field(&buf, 4, static_cast<uint32_t>(v.qty));
                put_field(&buf, v.price);
                put_field(&buf, v.amount);
                put_field(&buf, 4, static_cast<uint32_t>(v.odate));
                put_field(&buf, 2, static_cast<uint16_t>(v.flag));
                put_field(&buf, 4, static_cast<uint32_t>(v.stat));
                put_field(&buf, 4, static_cast<uint32_t>(v.utc));
            }
            put_be(&buf, 2, 0xFFFF);
            ok = PQputCopyData(conn, buf.data(), static_cast<int>(buf.size())) == 1 &&
                 PQputCopyEnd(conn, nullptr) == 1;
            res = PQgetResult(conn);
            if (PQresultStatus(res) != PGRES_COMMAND_OK) {
                state.SkipWithError(PQresultErrorMessage(res));
                ok = false;
            }
            PQclear(res);
            while ((res = PQgetResult(conn)) != nullptr)
                PQclear(res);
            ok = ok && exec("COMMIT");
        }
        if (!ok)
            break;
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        g_seconds_direct_pg = s;
        state.SetIterationTime(s);
        exec("DROP TABLE insert_bench_direct");
    }
    PQfinish(conn);
    state.SetItemsProcessed(state.iterations() * g_rows);
}

BENCHMARK(BM_TdbInsertSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TdbInsertPostgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteDirectInsert)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteDirectInsertOneTransaction)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresDirectCopy)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    if (const char *env = std::getenv("TDB_BENCH_ROWS"))
        g_rows = std::strtol(env, nullptr, 10);
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rows=", 7) == 0)
            g_rows = std::strtol(argv[i] + 7, nullptr, 10);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (g_rows < 1)
        g_rows = 1;
    make_root();
    if (tdb_init_api("benchusr", LOG_DEST_FILE, 0, 0) != 0 || tdb_logon("insbench") != 0) {
        std::fprintf(stderr, "logon failed: %d\n", tdb_errno);
        return 2;
    }
    tdb_disable_references();
    g_trans = tdb_start_session("insert_bench");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tdb_stop_session(g_trans);
    tdb_logoff();
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
    std::printf("rows: %ld\n", g_rows);
    std::printf("tdb API on SQLite (action 62, commit per 1000): %.3f s\n", g_seconds_tdb_sqlite);
    std::printf("SQLite prepared statement, same table shape, commit per 1000: %.3f s\n",
                g_seconds_direct);
    if (g_seconds_direct > 0 && g_seconds_tdb_sqlite > 0)
        std::printf("ratio tdb API / direct SQLite: %.2f\n",
                    g_seconds_tdb_sqlite / g_seconds_direct);
    std::printf("SQLite prepared statement, rowid key, one transaction: %.3f s\n",
                g_seconds_direct_fast);
    if (g_seconds_direct_fast > 0 && g_seconds_tdb_sqlite > 0)
        std::printf("ratio tdb API / fastest direct SQLite: %.2f\n",
                    g_seconds_tdb_sqlite / g_seconds_direct_fast);
    if (g_seconds_tdb_pg > 0)
        std::printf("tdb API on PostgreSQL (action 62, commit per 1000): %.3f s\n",
                    g_seconds_tdb_pg);
    if (g_seconds_direct_pg > 0)
        std::printf("PostgreSQL binary COPY, commit per 1000: %.3f s\n", g_seconds_direct_pg);
    if (g_seconds_direct_pg > 0 && g_seconds_tdb_pg > 0)
        std::printf("ratio tdb API / direct PostgreSQL: %.2f\n",
                    g_seconds_tdb_pg / g_seconds_direct_pg);
    return 0;
}
