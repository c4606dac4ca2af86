// Temporal motif counting and interval-join pairs.
//
// Motifs: 1M (and 10M) synthetic events whose endpoints follow a power-law degree distribution
// (a few hubs send and receive most events), at about one event per time unit, so `delta` is
// also roughly the number of events that fall within a window; events/s counts the input events
// per call (index build included). Interval pairs: 1M A-rows with candidate ranges of 0 to 20
// B-rows (10M pairs on average); pairs/s counts the pairs produced.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "vorp/interval.h"
#include "vorp/motif.h"

namespace {

constexpr std::int64_t NODES = 100'000;
constexpr double ZIPF_EXPONENT = 1.1;

struct EventSet {
    std::vector<std::int64_t> src, dst, t;
    std::vector<std::string> eid;
    std::vector<std::string_view> eid_views;

    vorp::MotifEvents view() const { return vorp::MotifEvents{src, dst, t, eid_views}; }
};

// Node ranks drawn with probability proportional to rank^-exponent, then scattered over the
// node numbers so that hubs are not simply the smallest ids.
class PowerLawNodes {
public:
    explicit PowerLawNodes(std::mt19937_64& rng) : cumulative_(NODES), ids_(NODES) {
        double total = 0;
        for (std::int64_t rank = 0; rank < NODES; ++rank) {
            total += std::pow(static_cast<double>(rank + 1), -ZIPF_EXPONENT);
            cumulative_[static_cast<std::size_t>(rank)] = total;
        }
        for (double& value : cumulative_) value /= total;
        for (std::int64_t node = 0; node < NODES; ++node) ids_[static_cast<std::size_t>(node)] = node * 7919 + 13;
        std::shuffle(ids_.begin(), ids_.end(), rng);
    }
    std::int64_t draw(std::mt19937_64& rng) const {
        const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        const auto rank = std::lower_bound(cumulative_.begin(), cumulative_.end(), u) - cumulative_.begin();
        return ids_[static_cast<std::size_t>(std::min<std::ptrdiff_t>(rank, NODES - 1))];
    }

private:
    std::vector<double> cumulative_;
    std::vector<std::int64_t> ids_;
};

const EventSet& events(std::int64_t count) {
    static std::map<std::int64_t, std::unique_ptr<EventSet>> cache;
    auto& slot = cache[count];
    if (slot) return *slot;
    slot = std::make_unique<EventSet>();
    EventSet& set = *slot;
    std::mt19937_64 rng(42);
    const PowerLawNodes nodes(rng);
    set.src.resize(static_cast<std::size_t>(count));
    set.dst.resize(static_cast<std::size_t>(count));
    set.t.resize(static_cast<std::size_t>(count));
    set.eid.resize(static_cast<std::size_t>(count));
    std::uniform_int_distribution<std::int64_t> time(0, count - 1);
    for (std::size_t row = 0; row < static_cast<std::size_t>(count); ++row) {
        set.src[row] = nodes.draw(rng);
        set.dst[row] = nodes.draw(rng);
        set.t[row] = time(rng);
        set.eid[row] = fmt::format("{:016x}{:08x}", rng(), static_cast<std::uint32_t>(rng()));
    }
    set.eid_views.assign(set.eid.begin(), set.eid.end());
    return set;
}

void BM_MotifCount(benchmark::State& state, vorp::Motif::Kind kind) {
    const std::int64_t count = state.range(0);
    const std::int64_t delta = state.range(1);
    const EventSet& set = events(count);
    std::uint64_t instances = 0;
    for (auto _ : state) {
        auto result = vorp::match_motifs(vorp::Motif{kind}, set.view(), delta, false);
        if (!result) std::abort();
        instances = result->count;
        benchmark::DoNotOptimize(instances);
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["instances"] = static_cast<double>(instances);
    state.SetLabel(std::string(vorp::Motif{kind}.name()));
}

void BM_MotifCollect(benchmark::State& state, vorp::Motif::Kind kind) {
    const std::int64_t count = state.range(0);
    const std::int64_t delta = state.range(1);
    const EventSet& set = events(count);
    std::size_t listed = 0;
    for (auto _ : state) {
        auto result = vorp::match_motifs(vorp::Motif{kind}, set.view(), delta, true);
        if (!result) std::abort();
        listed = result->instances.size();
        benchmark::DoNotOptimize(listed);
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["instances"] = static_cast<double>(listed);
    state.SetLabel(std::string(vorp::Motif{kind}.name()));
}

// The time order and the position maps alone: the part every motif pays.
void BM_MotifIndex(benchmark::State& state) {
    const std::int64_t count = state.range(0);
    const EventSet& set = events(count);
    for (auto _ : state) {
        vorp::Index index = vorp::Index::build(set.view());
        benchmark::DoNotOptimize(index.order.data());
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void motif_sizes(benchmark::internal::Benchmark* bench) {
    for (const std::int64_t delta : {10, 100, 1000}) bench->Args({1'000'000, delta});
    bench->Args({10'000'000, 100});
}

BENCHMARK_CAPTURE(BM_MotifCount, triangle_cyclic, vorp::Motif::Kind::TriangleCyclic)->Apply(motif_sizes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MotifCount, triangle_acyclic_1, vorp::Motif::Kind::TriangleAcyclic1)->Apply(motif_sizes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MotifCount, pingpong, vorp::Motif::Kind::TwoNodePingpong)->Apply(motif_sizes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MotifCount, star_out_3, vorp::Motif::Kind::StarOut3)->Apply(motif_sizes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MotifCount, path_3, vorp::Motif::Kind::Path3)->Apply(motif_sizes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MotifCollect, star_out_3, vorp::Motif::Kind::StarOut3)->Args({1'000'000, 100})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MotifCollect, path_3, vorp::Motif::Kind::Path3)->Args({1'000'000, 100})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MotifIndex)->Arg(1'000'000)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

struct IntervalInput {
    std::vector<std::uint32_t> lo, hi;
    std::vector<std::int64_t> a_vt_e, b_vt_e;
};

const IntervalInput& interval_input() {
    static const IntervalInput input = [] {
        constexpr std::uint32_t A_ROWS = 1'000'000;
        constexpr std::uint32_t B_ROWS = 1'000'000;
        IntervalInput made;
        std::mt19937_64 rng(7);
        for (std::uint32_t row = 0; row < A_ROWS; ++row) {
            const auto start = static_cast<std::uint32_t>(rng() % B_ROWS);
            made.lo.push_back(start);
            made.hi.push_back(start + static_cast<std::uint32_t>(rng() % 21));
            made.a_vt_e.push_back(static_cast<std::int64_t>(rng() % 1000));
        }
        for (std::uint32_t row = 0; row < B_ROWS; ++row) made.b_vt_e.push_back(static_cast<std::int64_t>(rng() % 1000));
        return made;
    }();
    return input;
}

void BM_IntervalPairs(benchmark::State& state) {
    const bool flag = state.range(0) != 0;
    const IntervalInput& input = interval_input();
    std::size_t pairs = 0;
    for (auto _ : state) {
        auto result = vorp::interval_pairs(input.lo, input.hi, input.a_vt_e, input.b_vt_e, flag);
        if (!result) std::abort();
        pairs = result->size();
        benchmark::DoNotOptimize(result->data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(pairs));
    state.counters["pairs"] = static_cast<double>(pairs);
    state.SetLabel(flag ? "require_b_end_after_a_end" : "all candidates");
}
BENCHMARK(BM_IntervalPairs)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
