/*
 * runtime_bench.cpp: runtime conversions that run once per row or value:
 * day numbers both ways, local time under a zone with daylight time, TSS
 * string length, and the number parser.
 */
#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

#include "al_date.h"
#include "al_float.h"
#include "tss.h"

namespace {

void BM_DayNumberRoundTrip(benchmark::State &state)
{
    int n = 700000;
    for (auto _ : state) {
        int y, m, d;
        num_to_date(n, &y, &m, &d);
        benchmark::DoNotOptimize(date_to_num(y, m, d));
        n = n >= 3652000 ? 1 : n + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DayNumberRoundTrip);

void BM_LocalTime(benchmark::State &state)
{
    trel_timezone_set("CET-1CEST,M3.5.0,M10.5.0/3");
    time_t t = 1700000000;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trel_localtime(&t));
        t += 3607;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocalTime);

void BM_TssLength(benchmark::State &state)
{
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "abc\x9b\x81\x82\x83";
    for (auto _ : state)
        benchmark::DoNotOptimize(TSSmblen(text.c_str()));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_TssLength);

void BM_TrelAtof(benchmark::State &state)
{
    const char *texts[] = {"1234.5678", "-0,000125", "6.02214076e23", "42"};
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trel_atof(texts[i]));
        i = (i + 1) & 3;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrelAtof);

} // namespace
