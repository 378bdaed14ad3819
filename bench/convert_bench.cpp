/*
 * convert_bench.cpp: convertRow, run once for every row of a table whose
 * layout changes. Figures: rows per second for a row of kept columns
 * (copied through unchanged types) and for a row whose columns all change
 * type (numbers to text, dates to UTC times, widened texts).
 */
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "al_date.h"
#include "al_float.h"
#include "qpd_dd.h"
#include "tdb_reconfig.h"

namespace {

struct Layout {
    std::vector<_dd_domain> domains;
    std::vector<_dd_column> from, to;
    std::vector<ConversionPair> pairs;
    ConversionSchema schema{};
};

/* Columns (type, width) one after another in each layout. */
void build(Layout &l, const std::vector<std::pair<int, int>> &from,
           const std::vector<std::pair<int, int>> &to)
{
    l.domains.resize(from.size() + to.size());
    l.from.resize(from.size());
    l.to.resize(to.size());
    auto fill = [&l](std::vector<_dd_column> &cols, const std::vector<std::pair<int, int>> &layout,
                     size_t firstDomain) {
        int offset = 0;
        for (size_t i = 0; i < layout.size(); i++) {
            _dd_domain &d = l.domains[firstDomain + i];
            d = {};
            d.type = static_cast<unsigned char>(layout[i].first);
            d.width = static_cast<short>(layout[i].second);
            _dd_column &c = cols[i];
            c = {};
            c.domain = &d;
            c.type = d.type;
            c.offset = static_cast<unsigned short>(offset);
            c.length = static_cast<unsigned short>(layout[i].second);
            c.elements = 1;
            offset += layout[i].second;
        }
    };
    fill(l.from, from, 0);
    fill(l.to, to, from.size());
    for (size_t i = 0; i < from.size(); i++)
        l.pairs.push_back({&l.to[i], &l.from[i]});
    l.schema.pairs = l.pairs.data();
    l.schema.count = static_cast<int>(l.pairs.size());
}

void run(benchmark::State &state, Layout &l)
{
    std::vector<unsigned char> source(DD_MAX_ROW, 0), target(DD_MAX_ROW, ' ');
    std::memset(source.data(), '1', 64);
    double_in(1234.5678, source.data() + 64);
    for (auto _ : state) {
        convertRow(source.data(), target.data(), &l.schema);
        benchmark::DoNotOptimize(target.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ConvertRowSameTypes(benchmark::State &state)
{
    Layout l;
    build(l, {{TDB_LONG, 4}, {TDB_STRING, 40}, {TDB_INTEGER, 2}, {TDB_DOUBLE, 8}, {TDB_DATE, 4}},
          {{TDB_LONG, 4}, {TDB_STRING, 40}, {TDB_INTEGER, 2}, {TDB_DOUBLE, 8}, {TDB_DATE, 4}});
    run(state, l);
}
BENCHMARK(BM_ConvertRowSameTypes);

void BM_ConvertRowChangedTypes(benchmark::State &state)
{
    Layout l;
    build(l, {{TDB_STRING, 64}, {TDB_DOUBLE, 8}, {TDB_INTEGER, 2}, {TDB_DATE, 4}},
          {{TDB_STRING, 80}, {TDB_STRING, 12}, {TDB_LONG, 4}, {TDB_TIME, 4}});
    run(state, l);
}
BENCHMARK(BM_ConvertRowChangedTypes);

} // namespace
