/*
 * rds_bench.cpp: appending to and reading back a compressed row data set
 * of a million 200-byte rows, as buffered updates of a large load fill the
 * update store. Figures: rows and bytes (of expanded rows) per second,
 * with the overflow file and with a page table that grows instead.
 */
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "al_env.h"
#include "qp_rds.h"

namespace {

constexpr long kRows = 1000000;
constexpr int kLen = 200;

/* An action header (three longs) and a table row of 188 bytes. */
std::vector<rds_col> columns()
{
    auto c = [](int type, int length, int offset) {
        rds_col d{};
        d.type = static_cast<unsigned char>(type);
        d.state = RDS_STATE_VALUE;
        d.length = static_cast<unsigned short>(length);
        d.offset = static_cast<unsigned short>(offset);
        d.elements = 1;
        return d;
    };
    return {c(RDS_LONG, 4, 0),     c(RDS_LONG, 4, 4),      c(RDS_LONG, 4, 8),
            c(RDS_SSTRING, 8, 12), c(RDS_LSTRING, 40, 20), c(RDS_DOUBLE, 8, 60),
            c(RDS_LONG, 4, 68),    c(RDS_LONG, 4, 72),     c(RDS_SHORT, 2, 76),
            c(RDS_LSTRING, 100, 78), c(RDS_LRAW, 16, 178), c(RDS_BYTE, 1, 194),
            c(RDS_LONG, 4, 195),   c(RDS_BYTE, 1, 199)};
}

void be32(unsigned char *p, long v)
{
    auto u = static_cast<unsigned long>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

/* Row n: the sequence number and the key change every row, the amounts
 * every few rows, the texts now and then. */
void make_row(unsigned char *row, long n)
{
    std::memset(row, ' ', kLen);
    be32(row, n + 1);
    be32(row + 4, 1);
    be32(row + 8, 0x800000);
    char key[32];
    std::snprintf(key, sizeof key, "%08ld", n);
    std::memcpy(row + 12, key, 8);
    int len = std::snprintf(reinterpret_cast<char *>(row + 20), 40, "customer %ld", n / 50);
    row[20 + len] = ' ';
    double amount = static_cast<double>(n % 97) * 1.25;
    std::memcpy(row + 60, &amount, 8);
    be32(row + 68, 738000 + n / 1000);
    be32(row + 72, n % 13);
    row[76] = 0;
    row[77] = static_cast<unsigned char>(n % 3);
    len = std::snprintf(reinterpret_cast<char *>(row + 78), 100, "order line for article %ld", n / 20);
    row[78 + len] = ' ';
    std::memset(row + 178, 0, 16);
    be32(row + 178, n / 100);
    row[194] = static_cast<unsigned char>(n % 5);
    be32(row + 195, 0);
    row[199] = 1;
}

void use_private_tmp()
{
    const char *tmp = std::getenv("TMPDIR");
    set_tse_tmp(tmp != nullptr ? tmp : "/tmp");
}

RDS *fill_set(int flags)
{
    auto cols = columns();
    RDS *set = rds_open(kLen, kLen, static_cast<int>(cols.size()), cols.data(), 0, flags);
    unsigned char row[kLen];
    for (long n = 0; n < kRows; n++) {
        make_row(row, n);
        rds_put_seq(set, row);
    }
    return set;
}

void BM_RdsAppendCompressed(benchmark::State &state)
{
    use_private_tmp();
    const int flags = static_cast<int>(state.range(0));
    long stored = 0;
    for (auto _ : state) {
        RDS *set = fill_set(flags);
        rds_stat st{};
        rds_get_stat(set, &st);
        stored = st.bytes;
        rds_close(set);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(state.iterations() * kRows * kLen);
    state.counters["stored_bytes_per_row"] = static_cast<double>(stored) / kRows;
}
BENCHMARK(BM_RdsAppendCompressed)
    ->ArgName("flags")
    ->Arg(RDS_COMPRESSED)
    ->Arg(RDS_COMPRESSED | RDS_GROW)
    ->Unit(benchmark::kMillisecond);

void BM_RdsReadCompressed(benchmark::State &state)
{
    use_private_tmp();
    const int flags = static_cast<int>(state.range(0));
    RDS *set = fill_set(flags);
    unsigned char row[kLen];
    for (auto _ : state) {
        rds_start_get_seq(set);
        long rows = 0;
        while (rds_get_seq(set, row) == 0)
            rows++;
        if (rows != kRows)
            state.SkipWithError("rows missing");
        benchmark::DoNotOptimize(row);
    }
    rds_close(set);
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(state.iterations() * kRows * kLen);
}
BENCHMARK(BM_RdsReadCompressed)
    ->ArgName("flags")
    ->Arg(RDS_COMPRESSED)
    ->Arg(RDS_COMPRESSED | RDS_GROW)
    ->Unit(benchmark::kMillisecond);

} // namespace
