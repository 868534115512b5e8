// Cost of counting one query, for the indexed table beside the naive scans,
// under the traffic shapes that matter: a steady skewed mix, a flood of new
// sources into a full table (random IPv4, random IPv6, and IPv6 sources of
// one /64 whose interface identifiers differ only in their low bits, the
// keys a weak hash would chain), and one heavy hitter amid random sources.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/hash.h"
#include "naive_table.h"
#include "table/table.h"

namespace {

using qv::SourceAddr;

constexpr uint32_t kQueriesPerSecond = 100000;  // the clock ticks once per this many
constexpr time_t kStart = 1700000000;
// A flood stream sends each of its sources once per pass and is four times
// the largest table, so every query of a flood is a source the table does
// not hold, pass after pass.
constexpr size_t kFloodLength = size_t{1} << 22;
constexpr size_t kMixLength = size_t{1} << 20;
constexpr int32_t kMaxFill = 1000000;

// Bijections of the index: distinct indices give distinct addresses, so no
// set is needed to keep a stream's sources apart from each other or from
// the sources that fill the table (indices past the stream).
uint32_t mix32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x85ebca6bu;
    x ^= x >> 13;
    x *= 0xc2b2ae35u;
    return x ^ (x >> 16);
}

SourceAddr v4_source(uint64_t i) {
    const uint32_t a = mix32(static_cast<uint32_t>(i));
    return qv::make_addr(static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                         static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a));
}

// Random addresses over all 128 bits (the low half a bijection of i).
SourceAddr v6_source(uint64_t i) {
    uint8_t b[16];
    const uint64_t hi = qv::SeededHash::mix(i ^ 0x5bd1e9955bd1e995ull);
    const uint64_t lo = qv::SeededHash::mix(i);
    for (int k = 0; k < 8; ++k) {
        b[k] = static_cast<uint8_t>(hi >> (56 - 8 * k));
        b[8 + k] = static_cast<uint8_t>(lo >> (56 - 8 * k));
    }
    return SourceAddr::from_v6(b);
}

// 2001:db8:1:2::i: one /64, the interface identifier a counter.
SourceAddr v6_adjacent_source(uint64_t i) {
    static const SourceAddr net = qv::make_addr6("2001:db8:1:2::");
    SourceAddr a = net;
    for (size_t k = 0; k < 8; ++k) a.bytes[15 - k] = static_cast<uint8_t>(i >> (8 * k));
    return a;
}

// The type and transport of query k: a fixed cycle, as the mix of a
// resolver's clients would give.
struct Kind {
    uint16_t qtype;
    uint8_t protocol;
};
constexpr size_t kKinds = 1 << 16;
const std::vector<Kind>& kinds() {
    static const std::vector<Kind> k = [] {
        static const uint16_t kTypes[] = {1, 1, 1, 28, 28, 15, 16, 12, 33, 255};
        std::mt19937_64 rng(5);
        std::vector<Kind> out(kKinds);
        for (Kind& q : out) {
            q.qtype = kTypes[rng() % 10];
            q.protocol = rng() % 20 == 0 ? 6 : 17;
        }
        return out;
    }();
    return k;
}

struct Stream {
    std::vector<SourceAddr> queries;  // a power of two long
    std::vector<SourceAddr> fill;     // sources the stream never sends
};

// 2,000 sources, the k-th most active sending in proportion to 1/k.
const Stream& skewed_stream() {
    static const Stream s = [] {
        std::mt19937_64 rng(1);
        std::vector<double> cdf(2000);
        double sum = 0;
        for (size_t k = 0; k < cdf.size(); ++k) cdf[k] = sum += 1.0 / double(k + 1);
        std::uniform_real_distribution<double> u(0, sum);
        Stream out;
        out.queries.resize(kMixLength);
        for (SourceAddr& q : out.queries) {
            const auto k = size_t(std::lower_bound(cdf.begin(), cdf.end(), u(rng)) - cdf.begin());
            q = v4_source(std::min(k, cdf.size() - 1));
        }
        return out;
    }();
    return s;
}

template <SourceAddr (*Source)(uint64_t)>
Stream flood_of() {
    Stream out;
    out.queries.resize(kFloodLength);
    for (size_t i = 0; i < kFloodLength; ++i) out.queries[i] = Source(i);
    out.fill.resize(kMaxFill);
    for (size_t i = 0; i < out.fill.size(); ++i) out.fill[i] = Source(kFloodLength + i);
    return out;
}

const Stream& flood_v4() {
    static const Stream s = flood_of<v4_source>();
    return s;
}
const Stream& flood_v6() {
    static const Stream s = flood_of<v6_source>();
    return s;
}
const Stream& flood_v6_adjacent() {
    static const Stream s = flood_of<v6_adjacent_source>();
    return s;
}

// Every other query from one source, the rest as in the IPv4 flood.
const Stream& heavy_stream() {
    static const Stream s = [] {
        Stream out = flood_of<v4_source>();
        const SourceAddr heavy = qv::make_addr(198, 51, 100, 7);
        for (size_t i = 0; i < out.queries.size(); i += 2) out.queries[i] = heavy;
        return out;
    }();
    return s;
}

struct RealTable {
    explicit RealTable(int32_t n) : table(n, 0x0123456789ABCDEFull) {}
    int32_t add(const SourceAddr& a, int protocol, uint32_t qtype, time_t now) {
        return table.add_query(a, protocol, 1, qtype, now);
    }
    // Bucket i to a, counted at now; i is the lowest free bucket.
    void fill(int32_t, const SourceAddr& a, time_t now) { add(a, 17, 1, now); }
    qv::Table table;
};

struct NaiveTable {
    explicit NaiveTable(int32_t n) : table(n) {}
    int32_t add(const SourceAddr& a, int protocol, uint32_t qtype, time_t now) {
        return table.add_query(a, protocol, 1, qtype, now);
    }
    void fill(int32_t i, const SourceAddr& a, time_t now) {
        table.claim(i, a, now);
        table.count(i, 17, 1, 1, now);
    }
    qv::test::NaiveTable table;
};

template <class T>
void run(benchmark::State& state, const Stream& stream, bool full) {
    const auto n = static_cast<int32_t>(state.range(0));
    T table(n);
    time_t now = kStart;
    if (full) {
        // Stamped over the five seconds before the stream starts.
        for (int32_t i = 0; i < n; ++i) table.fill(i, stream.fill[size_t(i)], now - 1 - i % 5);
    }
    const std::vector<Kind>& kind = kinds();
    const size_t mask = stream.queries.size() - 1;
    size_t pos = 0;
    uint32_t tick = 0;
    for (auto _ : state) {
        const SourceAddr& a = stream.queries[pos & mask];
        const Kind& k = kind[pos & (kKinds - 1)];
        ++pos;
        if (++tick == kQueriesPerSecond) {
            tick = 0;
            ++now;
        }
        benchmark::DoNotOptimize(table.add(a, k.protocol, k.qtype, now));
    }
    state.SetItemsProcessed(state.iterations());
}

template <class T>
void BM_SkewedMix(benchmark::State& state) {
    run<T>(state, skewed_stream(), false);
}

template <class T>
void BM_Flood(benchmark::State& state) {
    run<T>(state, flood_v4(), true);
}

void BM_FloodV6(benchmark::State& state) { run<RealTable>(state, flood_v6(), true); }

void BM_FloodV6Adjacent(benchmark::State& state) {
    run<RealTable>(state, flood_v6_adjacent(), true);
}

template <class T>
void BM_HeavyHitter(benchmark::State& state) {
    run<T>(state, heavy_stream(), true);
}

BENCHMARK_TEMPLATE(BM_SkewedMix, RealTable)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK_TEMPLATE(BM_Flood, RealTable)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_FloodV6)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_FloodV6Adjacent)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK_TEMPLATE(BM_HeavyHitter, RealTable)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK_TEMPLATE(BM_SkewedMix, NaiveTable)->Arg(10000)->Arg(100000);
// The naive scans take long per query with every source new: a bounded
// number of queries is enough.
BENCHMARK_TEMPLATE(BM_Flood, NaiveTable)->Arg(10000)->Iterations(20000);
BENCHMARK_TEMPLATE(BM_Flood, NaiveTable)->Arg(100000)->Iterations(2000);
BENCHMARK_TEMPLATE(BM_HeavyHitter, NaiveTable)->Arg(10000)->Iterations(40000);
BENCHMARK_TEMPLATE(BM_HeavyHitter, NaiveTable)->Arg(100000)->Iterations(4000);

}  // namespace

BENCHMARK_MAIN();
