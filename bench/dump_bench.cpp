/*
 * dump_bench.cpp: writing and reading dump files, the path every row of a
 * converted table takes twice. Figures: rows per second and bytes per
 * second for rows of the sizes the tool meets (a short row, a wide one,
 * the largest row buffer).
 */
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tdb_dump.h"

namespace {

std::string dump_name()
{
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr ? tmp : "/tmp") + "/R.bench" +
           std::to_string(getpid());
}

constexpr int kRows = 100000;

void BM_WriteDump(benchmark::State &state)
{
    const int length = static_cast<int>(state.range(0));
    std::vector<char> row(length, 'x');
    const std::string name = dump_name();
    for (auto _ : state) {
        remove_dump(name.c_str());
        open_dump(name.c_str(), "w+", DUMP_MAX_SIZE, DUMP_CALLER_TOOL);
        for (int i = 0; i < kRows; ++i)
            write_to_dump(row.data(), length);
        mark_dump_oke();
        close_dump();
    }
    remove_dump(name.c_str());
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(state.iterations() * kRows * static_cast<int64_t>(length));
}
BENCHMARK(BM_WriteDump)->Arg(64)->Arg(512)->Arg(6144)->Unit(benchmark::kMillisecond);

void BM_ReadDump(benchmark::State &state)
{
    const int length = static_cast<int>(state.range(0));
    std::vector<char> row(length, 'x');
    const std::string name = dump_name();
    remove_dump(name.c_str());
    open_dump(name.c_str(), "w+", DUMP_MAX_SIZE, DUMP_CALLER_TOOL);
    for (int i = 0; i < kRows; ++i)
        write_to_dump(row.data(), length);
    mark_dump_oke();
    close_dump();
    for (auto _ : state) {
        open_dump(name.c_str(), "r", 0, DUMP_CALLER_TOOL);
        check_dump();
        int rows = 0;
        while (read_from_dump(row.data(), length) == 1)
            ++rows;
        close_dump();
        benchmark::DoNotOptimize(rows);
    }
    remove_dump(name.c_str());
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(state.iterations() * kRows * static_cast<int64_t>(length));
}
BENCHMARK(BM_ReadDump)->Arg(64)->Arg(512)->Arg(6144)->Unit(benchmark::kMillisecond);

} // namespace
