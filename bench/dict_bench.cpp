// Uid dictionary: loading a large dict.log, uid lookups, pushes and the uid hash.
//
// The 10M-entry log is written once per process by the dictionary's own commit into a temporary
// directory, which is removed at exit.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/dict.h"
#include "vorp/fileio.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t LOG_ENTRIES = 10'000'000;
constexpr std::size_t QUERY_COUNT = 1 << 20;

// 21-byte uids, distinct because multiplying by an odd constant is a bijection.
std::string entity_uid(std::uint64_t index) { return fmt::format("user:{:016x}", index * 0x9E3779B97F4A7C15ULL); }

const char* entity_label(std::uint64_t index) {
    static const char* const labels[] = {"Person", "Company", "Place", ""};
    return labels[index % 4];
}

struct LogFixture {
    fs::path dir;
    fs::path log;
    std::string image;
    std::unique_ptr<vorp::Dictionary> loaded;

    LogFixture() {
        std::string pattern = (fs::temp_directory_path() / "dict_bench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        dir = pattern;
        vorp::Dictionary writer = vorp::Dictionary::for_root(dir);
        log = writer.path();
        for (std::uint64_t index = 0; index < LOG_ENTRIES; ++index) writer.push(entity_uid(index), entity_label(index));
        if (!writer.commit_to_disk()) std::abort();
        auto bytes = vorp::read_file(log);
        if (!bytes) std::abort();
        image = std::move(*bytes);
        loaded = std::make_unique<vorp::Dictionary>(dir / "dict.log");
        if (!loaded->load(image)) std::abort();
    }
    ~LogFixture() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

LogFixture& fixture() {
    static LogFixture instance;
    return instance;
}

// Uids in a random order, so lookups touch the table and arena as a real workload would.
std::vector<std::string> queries(bool present) {
    std::mt19937_64 rng(42);
    std::vector<std::string> out;
    out.reserve(QUERY_COUNT);
    for (std::size_t query_idx = 0; query_idx < QUERY_COUNT; ++query_idx) {
        const std::uint64_t index = rng() % LOG_ENTRIES;
        out.push_back(present ? entity_uid(index) : fmt::format("miss:{:016x}", index));
    }
    return out;
}

void BM_DictLoad(benchmark::State& state) {
    const LogFixture& log = fixture();
    for (auto _ : state) {
        vorp::Dictionary dict(log.log);
        if (!dict.load(log.image)) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(dict.size());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * LOG_ENTRIES));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * log.image.size()));
}
BENCHMARK(BM_DictLoad)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_DictReadAndLoad(benchmark::State& state) {
    const LogFixture& log = fixture();
    for (auto _ : state) {
        auto image = vorp::read_file(log.log);
        vorp::Dictionary dict(log.log);
        if (!image || !dict.load(*image)) state.SkipWithError("read or load failed");
        benchmark::DoNotOptimize(dict.size());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * LOG_ENTRIES));
}
BENCHMARK(BM_DictReadAndLoad)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void dense_id_lookups(benchmark::State& state, bool present) {
    const LogFixture& log = fixture();
    const std::vector<std::string> uids = queries(present);
    std::size_t query_idx = 0;
    std::uint64_t found = 0;
    for (auto _ : state) {
        found += log.loaded->dense_id(uids[query_idx]).has_value();
        query_idx = (query_idx + 1) & (QUERY_COUNT - 1);
    }
    if (found != (present ? static_cast<std::uint64_t>(state.iterations()) : 0)) state.SkipWithError("unexpected lookup result");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_DictDenseIdHit(benchmark::State& state) { dense_id_lookups(state, true); }
BENCHMARK(BM_DictDenseIdHit);

void BM_DictDenseIdMiss(benchmark::State& state) { dense_id_lookups(state, false); }
BENCHMARK(BM_DictDenseIdMiss);

// The same lookups in a dictionary of 100,000 entries, whose index and text stay in cache.
void BM_DictDenseIdHitSmall(benchmark::State& state) {
    constexpr std::uint64_t entries = 100'000;
    vorp::Dictionary dict("unused/dict.log");
    for (std::uint64_t index = 0; index < entries; ++index) dict.push(entity_uid(index), entity_label(index));
    std::mt19937_64 rng(42);
    std::vector<std::string> uids;
    for (std::size_t query_idx = 0; query_idx < 4096; ++query_idx) uids.push_back(entity_uid(rng() % entries));
    std::size_t query_idx = 0;
    std::uint64_t found = 0;
    for (auto _ : state) {
        found += dict.dense_id(uids[query_idx]).has_value();
        query_idx = (query_idx + 1) & 4095;
    }
    if (found != static_cast<std::uint64_t>(state.iterations())) state.SkipWithError("unexpected lookup result");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DictDenseIdHitSmall);

void BM_DictUid(benchmark::State& state) {
    const LogFixture& log = fixture();
    std::mt19937_64 rng(7);
    std::vector<std::uint32_t> ids(QUERY_COUNT);
    for (auto& id : ids) id = static_cast<std::uint32_t>(rng() % LOG_ENTRIES);
    std::size_t query_idx = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(log.loaded->uid(ids[query_idx]));
        query_idx = (query_idx + 1) & (QUERY_COUNT - 1);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DictUid);

// Pushes of 1M new uids into an empty dictionary (table growth included).
void BM_DictPush(benchmark::State& state) {
    const std::vector<std::string> uids = queries(false);
    for (auto _ : state) {
        vorp::Dictionary dict("unused/dict.log");
        for (const std::string& uid : uids) benchmark::DoNotOptimize(dict.push(uid, "Person"));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * uids.size()));
}
BENCHMARK(BM_DictPush)->Unit(benchmark::kMillisecond);

void BM_HashUid(benchmark::State& state) {
    const std::string uid = entity_uid(12345);
    for (auto _ : state) {
        benchmark::DoNotOptimize(uid.data());
        benchmark::DoNotOptimize(vorp::hash_uid(uid));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_HashUid);

}  // namespace
