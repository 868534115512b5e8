// Cost of counting one query, for the indexed table beside the naive scans,
// under the traffic shapes that matter: a steady skewed mix, a flood of new
// sources into a full table, and one heavy hitter amid random sources.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <unordered_set>
#include <vector>

#include "naive_table.h"
#include "table/table.h"

namespace {

using qv::SourceAddr;

constexpr uint32_t kQueriesPerSecond = 100000;  // the clock ticks once per this many
constexpr size_t kStreamLength = 1 << 20;
constexpr time_t kStart = 1700000000;

struct Query {
    uint32_t addr;
    uint16_t qtype;
    uint8_t protocol;
};

std::vector<uint32_t> distinct_addresses(size_t n, std::mt19937_64& rng) {
    std::unordered_set<uint32_t> seen;
    std::vector<uint32_t> out;
    out.reserve(n);
    while (out.size() < n) {
        uint32_t a = static_cast<uint32_t>(rng());
        if (seen.insert(a).second) out.push_back(a);
    }
    return out;
}

void add_types(std::vector<Query>& stream, std::mt19937_64& rng) {
    static const uint16_t kTypes[] = {1, 1, 1, 28, 28, 15, 16, 12, 33, 255};
    for (Query& q : stream) {
        q.qtype = kTypes[rng() % 10];
        q.protocol = rng() % 20 == 0 ? 6 : 17;
    }
}

// 2,000 sources, the k-th most active sending in proportion to 1/k.
const std::vector<Query>& skewed_stream() {
    static const std::vector<Query> stream = [] {
        std::mt19937_64 rng(1);
        std::vector<uint32_t> sources = distinct_addresses(2000, rng);
        std::vector<double> cdf(sources.size());
        double sum = 0;
        for (size_t k = 0; k < sources.size(); ++k) cdf[k] = sum += 1.0 / double(k + 1);
        std::uniform_real_distribution<double> u(0, sum);
        std::vector<Query> out(kStreamLength);
        for (Query& q : out) {
            size_t k = size_t(std::lower_bound(cdf.begin(), cdf.end(), u(rng)) - cdf.begin());
            q.addr = sources[std::min(k, sources.size() - 1)];
        }
        add_types(out, rng);
        return out;
    }();
    return stream;
}

// About a million addresses, each once per pass: every query a new source.
const std::vector<uint32_t>& flood_sources() {
    static const std::vector<uint32_t> sources = [] {
        std::mt19937_64 rng(2);
        return distinct_addresses(kStreamLength, rng);
    }();
    return sources;
}

const std::vector<Query>& flood_stream() {
    static const std::vector<Query> stream = [] {
        std::mt19937_64 rng(3);
        std::vector<Query> out(kStreamLength);
        for (size_t i = 0; i < out.size(); ++i) out[i].addr = flood_sources()[i];
        add_types(out, rng);
        return out;
    }();
    return stream;
}

// Every other query from one source, the rest as in the flood.
const std::vector<Query>& heavy_stream() {
    static const std::vector<Query> stream = [] {
        std::mt19937_64 rng(4);
        std::vector<Query> out(kStreamLength);
        const uint32_t heavy = qv::make_addr(198, 51, 100, 7).raw;
        for (size_t i = 0; i < out.size(); ++i) {
            out[i].addr = i % 2 == 0 ? heavy : flood_sources()[i];
        }
        add_types(out, rng);
        return out;
    }();
    return stream;
}

struct RealTable {
    explicit RealTable(int32_t n) : table(n, 0x0123456789ABCDEFull) {}
    int32_t add(uint32_t addr, int protocol, uint32_t qtype, time_t now) {
        return table.add_query(SourceAddr{addr}, protocol, 1, qtype, now);
    }
    // Bucket i to addr, counted at now; i is the lowest free bucket.
    void fill(int32_t, uint32_t addr, time_t now) { add(addr, 17, 1, now); }
    qv::Table table;
};

struct NaiveTable {
    explicit NaiveTable(int32_t n) : table(n) {}
    int32_t add(uint32_t addr, int protocol, uint32_t qtype, time_t now) {
        return table.add_query(SourceAddr{addr}, protocol, 1, qtype, now);
    }
    void fill(int32_t i, uint32_t addr, time_t now) {
        table.claim(i, SourceAddr{addr}, now);
        table.count(i, 17, 1, 1, now);
    }
    qv::test::NaiveTable table;
};

template <class T>
void run(benchmark::State& state, const std::vector<Query>& stream, bool full) {
    const auto n = static_cast<int32_t>(state.range(0));
    T table(n);
    time_t now = kStart;
    if (full) {
        // Sources that the stream will not send again for a long while.
        const std::vector<uint32_t>& fill = flood_sources();
        for (int32_t i = 0; i < n; ++i) {
            table.fill(i, fill[fill.size() - 1 - size_t(i)], now - 1 - i % 5);
        }
    }
    size_t pos = 0;
    uint32_t tick = 0;
    for (auto _ : state) {
        const Query& q = stream[pos];
        pos = (pos + 1) & (kStreamLength - 1);
        if (++tick == kQueriesPerSecond) {
            tick = 0;
            ++now;
        }
        benchmark::DoNotOptimize(table.add(q.addr, q.protocol, q.qtype, now));
    }
    state.SetItemsProcessed(state.iterations());
}

template <class T>
void BM_SkewedMix(benchmark::State& state) {
    run<T>(state, skewed_stream(), false);
}

template <class T>
void BM_Flood(benchmark::State& state) {
    run<T>(state, flood_stream(), true);
}

template <class T>
void BM_HeavyHitter(benchmark::State& state) {
    run<T>(state, heavy_stream(), true);
}

BENCHMARK_TEMPLATE(BM_SkewedMix, RealTable)->Arg(10000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_SkewedMix, NaiveTable)->Arg(10000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_Flood, RealTable)->Arg(10000)->Arg(100000);
// The naive scans take long per query with every source new: a bounded
// number of queries is enough.
BENCHMARK_TEMPLATE(BM_Flood, NaiveTable)->Arg(10000)->Iterations(20000);
BENCHMARK_TEMPLATE(BM_Flood, NaiveTable)->Arg(100000)->Iterations(2000);
BENCHMARK_TEMPLATE(BM_HeavyHitter, RealTable)->Arg(10000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_HeavyHitter, NaiveTable)->Arg(10000)->Iterations(40000);
BENCHMARK_TEMPLATE(BM_HeavyHitter, NaiveTable)->Arg(100000)->Iterations(4000);

}  // namespace

BENCHMARK_MAIN();
