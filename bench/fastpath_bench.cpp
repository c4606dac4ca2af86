// The format fast paths, each measured in the same run against a reference doing the same work:
// one benchmark per row, one iteration that alternates the engine's path and the reference many
// times and reports the medians. Counters: `ours` and `ref` (the unit is in the benchmark's name),
// `ratio` = ours / ref as a throughput ratio (1.0 = as fast as the reference), and where it helps
// `scalar` (the engine with the vector kernels switched off).
//
//   build/release/engine-bench --benchmark_filter=FastPath
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>
#ifndef VORP_BENCH_ABSL
#define VORP_BENCH_ABSL 0
#endif
#ifndef VORP_BENCH_SIMDJSON
#define VORP_BENCH_SIMDJSON 0
#endif
#if VORP_BENCH_ABSL
#include <absl/container/flat_hash_map.h>
#endif

#include "bench_support.h"
#include "vorp/checksum.h"
#include "vorp/codec.h"
#include "vorp/dict.h"
#include "vorp/segment.h"
#include "vorp/simd.h"

namespace {

constexpr int REPEATS = 31;

// Median wall time in seconds of each function, run alternately REPEATS times.
std::vector<double> median_seconds(const std::vector<std::function<void()>>& runs, int repeats = REPEATS) {
    std::vector<std::vector<double>> samples(runs.size());
    for (const auto& run : runs) run();  // warm caches and lazy initialisation
    for (int repeat = 0; repeat < repeats; ++repeat) {
        for (std::size_t run_idx = 0; run_idx < runs.size(); ++run_idx) {
            const auto start = std::chrono::steady_clock::now();
            runs[run_idx]();
            samples[run_idx].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
    std::vector<double> medians;
    for (auto& sample : samples) {
        std::nth_element(sample.begin(), sample.begin() + sample.size() / 2, sample.end());
        medians.push_back(sample[sample.size() / 2]);
    }
    return medians;
}

void report(benchmark::State& state, double ours_per_s, double ref_per_s) {
    state.counters["ours"] = ours_per_s;
    state.counters["ref"] = ref_per_s;
    state.counters["ratio"] = ours_per_s / ref_per_s;
}

// ---- FOR decode ---------------------------------------------------------------------------------
// A column small enough that stream and output stay in L2, so the figure is the kernel's, not the
// memory's. Reference: a plain memcpy of the same output bytes from cache (the store floor; no
// packaged unpacker reads this bit layout).

constexpr std::size_t IN_CACHE_VALUES = 16384;

std::vector<std::uint8_t> stream_of_width(unsigned width, std::size_t count) {
    std::mt19937_64 rng(width + 7);
    const std::uint64_t mask = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    std::vector<std::int64_t> values(count);
    for (auto& value : values) value = static_cast<std::int64_t>(1000 + (rng() & mask) / 2 * 2 + (rng() & 1));
    return vorp::encode_i64(values);
}

void for_decode_row(benchmark::State& state, unsigned element_width) {
    const unsigned width = static_cast<unsigned>(state.range(0));
    const std::vector<std::uint8_t> stream = stream_of_width(width, IN_CACHE_VALUES);
    std::vector<std::uint8_t> out(IN_CACHE_VALUES * element_width);
    std::vector<std::uint8_t> source(out.size(), 1);
    const auto decode = [&] {
        if (!vorp::decode_le_into(stream, IN_CACHE_VALUES, element_width, out)) std::abort();
        benchmark::ClobberMemory();
    };
    const auto scalar = [&] {
        vorp::force_scalar_kernels(true);
        decode();
        vorp::force_scalar_kernels(false);
    };
    const auto copy = [&] {
        std::memcpy(out.data(), source.data(), out.size());
        benchmark::ClobberMemory();
    };
    for (auto _ : state) {
        const auto t = median_seconds({decode, copy, scalar}, 201);
        report(state, IN_CACHE_VALUES / t[0], IN_CACHE_VALUES / t[1]);
        state.counters["scalar"] = IN_CACHE_VALUES / t[2];
    }
}

void BM_FastPathForDecode8ValuesPerS(benchmark::State& state) { for_decode_row(state, 8); }
void BM_FastPathForDecode4ValuesPerS(benchmark::State& state) { for_decode_row(state, 4); }
void BM_FastPathForDecode2ValuesPerS(benchmark::State& state) { for_decode_row(state, 2); }
BENCHMARK(BM_FastPathForDecode8ValuesPerS)->DenseRange(1, 8)->Arg(13)->Arg(20)->Arg(25)->Arg(32)->Iterations(1);
BENCHMARK(BM_FastPathForDecode4ValuesPerS)->DenseRange(1, 8)->Arg(13)->Arg(20)->Arg(25)->Arg(32)->Iterations(1);
BENCHMARK(BM_FastPathForDecode2ValuesPerS)->Arg(1)->Arg(7)->Arg(13)->Arg(16)->Iterations(1);

// ---- packed heap inflate --------------------------------------------------------------------------
// Bytes of the raw string table per second. References: libdeflate alone on the same DEFLATE
// stream into a ready buffer (`ref`), and ISA-L's inflater alone (`isal`).

std::uint32_t load_u32(const std::uint8_t* at) {
    std::uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

void BM_FastPathHeapInflateBytesPerS(benchmark::State& state) {
    const std::vector<std::uint8_t> raw = vorp::bench::sample_raw_table(static_cast<std::size_t>(state.range(0)));
    const std::vector<std::uint8_t> packed = *vorp::pack_heap(raw);
    const std::size_t for_len = load_u32(packed.data() + 8);
    const std::size_t deflate_len = load_u32(packed.data() + 12);
    const std::uint8_t* deflated = packed.data() + 16 + for_len;
    const std::size_t payload_len = raw.size() - (8 + 4 * std::size_t{load_u32(raw.data())});
    std::vector<std::uint8_t> out(payload_len);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    auto isal_state = std::make_unique<inflate_state>();
    const auto ours = [&] {
        auto table = vorp::unpack_heap(packed);
        if (!table || table->size() != raw.size()) std::abort();
    };
    const auto libdeflate = [&] {
        std::size_t inflated = 0;
        if (libdeflate_deflate_decompress(decompressor, deflated, deflate_len, out.data(), out.size(), &inflated) != 0) std::abort();
        benchmark::ClobberMemory();
    };
    const auto isal = [&] {
        isal_inflate_init(isal_state.get());
        isal_state->next_in = const_cast<std::uint8_t*>(deflated);
        isal_state->avail_in = static_cast<std::uint32_t>(deflate_len);
        isal_state->next_out = out.data();
        isal_state->avail_out = static_cast<std::uint32_t>(out.size());
        if (isal_inflate_stateless(isal_state.get()) != ISAL_DECOMP_OK) std::abort();
        benchmark::ClobberMemory();
    };
    for (auto _ : state) {
        const auto t = median_seconds({ours, libdeflate, isal});
        const double bytes = static_cast<double>(raw.size());
        report(state, bytes / t[0], bytes / t[1]);
        state.counters["isal"] = bytes / t[2];
    }
    libdeflate_free_decompressor(decompressor);
}
BENCHMARK(BM_FastPathHeapInflateBytesPerS)->Arg(1000)->Arg(100000)->Iterations(1);

// ---- segment open ---------------------------------------------------------------------------------
// A 1M-row edge segment shaped like a real lane (as in segment_bench.cpp), mapped and opened.
// Without verify: rows per second against the floor of the work, every FOR column decoded into a
// ready buffer plus the string heap inflated by ISA-L into a ready buffer (`ref`). With verify:
// file bytes per second against SHA-256 alone over the same bytes (`ref`).

constexpr std::size_t SEGMENT_ROWS = 1'000'000;

struct SegmentFile {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / fmt::format("vorp-fastpath-bench-{}", ::getpid());
    std::filesystem::path path = dir / "seg" / "000000000001.vos";
    SegmentFile() {
        const std::vector<vorp::EdgeRow> rows = vorp::bench::lane_edge_rows(SEGMENT_ROWS);
        if (!vorp::write_edge_segment(path, rows, {})) std::abort();
    }
    ~SegmentFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

const SegmentFile& segment_file() {
    static const SegmentFile file;
    return file;
}

std::shared_ptr<const vorp::Segment> open_segment(bool verify) {
    const auto& path = segment_file().path;
    auto source = vorp::MmapSource::load(path);
    if (!source) std::abort();
    auto segment = vorp::Segment::open(path, std::move(*source), verify);
    if (!segment) std::abort();
    return *segment;
}

void BM_FastPathSegmentOpenRowsPerS(benchmark::State& state) {
    const std::shared_ptr<const vorp::Segment> opened = open_segment(false);
    // The reference's inputs and ready outputs, from the opened segment.
    struct Column {
        std::span<const std::uint8_t> stream;
        unsigned width;
        std::vector<std::uint8_t> out;
    };
    std::vector<Column> columns;
    for (const vorp::ColumnDesc& desc : opened->header.columns) {
        if (desc.codec != vorp::CODEC_FOR) continue;
        const unsigned width = vorp::dtype_width(desc.dtype);
        columns.push_back({opened->raw(desc).value(), width, std::vector<std::uint8_t>(SEGMENT_ROWS * width)});
    }
    const std::span<const std::uint8_t> heap = opened->raw_strings().value();
    const std::size_t for_len = load_u32(heap.data() + 8);
    const std::size_t deflate_len = load_u32(heap.data() + 12);
    std::vector<std::uint8_t> payload(opened->unpacked_strings ? opened->unpacked_strings->size() : 0);
    auto isal_state = std::make_unique<inflate_state>();
    const auto ours = [&] { benchmark::DoNotOptimize(open_segment(false)); };
    const auto floor = [&] {
        for (Column& column : columns)
            if (!vorp::decode_le_into(column.stream, SEGMENT_ROWS, column.width, column.out)) std::abort();
        isal_inflate_init(isal_state.get());
        isal_state->next_in = const_cast<std::uint8_t*>(heap.data() + 16 + for_len);
        isal_state->avail_in = static_cast<std::uint32_t>(deflate_len);
        isal_state->next_out = payload.data();
        isal_state->avail_out = static_cast<std::uint32_t>(payload.size());
        isal_inflate_stateless(isal_state.get());
        benchmark::ClobberMemory();
    };
    for (auto _ : state) {
        const auto t = median_seconds({ours, floor}, 21);
        report(state, SEGMENT_ROWS / t[0], SEGMENT_ROWS / t[1]);
    }
}
BENCHMARK(BM_FastPathSegmentOpenRowsPerS)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FastPathSegmentOpenVerifiedBytesPerS(benchmark::State& state) {
    const std::size_t file_len = std::filesystem::file_size(segment_file().path);
    auto source = vorp::MmapSource::load(segment_file().path);
    const std::span<const std::uint8_t> bytes = source->bytes();
    const auto ours = [&] { benchmark::DoNotOptimize(open_segment(true)); };
    const auto sha = [&] { benchmark::DoNotOptimize(vorp::Sha256::digest(bytes.data(), bytes.size())); };
    for (auto _ : state) {
        const auto t = median_seconds({ours, sha}, 21);
        report(state, static_cast<double>(file_len) / t[0], static_cast<double>(file_len) / t[1]);
    }
}
BENCHMARK(BM_FastPathSegmentOpenVerifiedBytesPerS)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- dictionary lookups ---------------------------------------------------------------------------
// 10M entries, 1M uids looked up in random order; lookups per second. `ours`: dense_ids over the
// whole batch; `single`: one dense_id call per uid; `ref`: abseil's flat_hash_map<string_view,
// u32> over the same uids (without abseil: a plain std::unordered_map, said by `ref_is_absl` = 0).

constexpr std::uint64_t DICT_ENTRIES = 10'000'000;
constexpr std::size_t DICT_QUERIES = std::size_t{1} << 20;

std::string entity_uid(std::uint64_t index) { return fmt::format("user:{:016x}", index * 0x9E3779B97F4A7C15ULL); }

struct DictFixture {
    vorp::Dictionary dict{"unused/dict.log"};
#if VORP_BENCH_ABSL
    absl::flat_hash_map<std::string_view, std::uint32_t> map;
#else
    std::unordered_map<std::string_view, std::uint32_t> map;
#endif
    DictFixture() {
        map.reserve(DICT_ENTRIES);
        for (std::uint64_t index = 0; index < DICT_ENTRIES; ++index) {
            const std::uint32_t id = dict.push(entity_uid(index), "Person");
            (void)id;
        }
        for (std::uint32_t id = 0; id < DICT_ENTRIES; ++id) map.emplace(*dict.uid(id), id);
    }
};

const DictFixture& dict_fixture() {
    static const DictFixture fixture;
    return fixture;
}

void BM_FastPathDictLookupsPerS(benchmark::State& state) {
    const bool present = state.range(0) != 0;
    const DictFixture& fixture = dict_fixture();
    std::mt19937_64 rng(42);
    std::vector<std::string> texts;
    for (std::size_t query = 0; query < DICT_QUERIES; ++query) {
        const std::uint64_t index = rng() % DICT_ENTRIES;
        texts.push_back(present ? entity_uid(index) : fmt::format("miss:{:016x}", index));
    }
    const std::vector<std::string_view> queries(texts.begin(), texts.end());
    std::vector<std::optional<std::uint32_t>> answers(queries.size());
    std::uint64_t found = 0;
    const auto batched = [&] {
        fixture.dict.dense_ids(queries, answers);
        for (const auto& answer : answers) found += answer.has_value();
    };
    const auto single = [&] {
        for (const std::string_view uid : queries) found += fixture.dict.dense_id(uid).has_value();
    };
    const auto reference = [&] {
        for (const std::string_view uid : queries) found += fixture.map.find(uid) != fixture.map.end();
    };
    for (auto _ : state) {
        const auto t = median_seconds({batched, reference, single}, 5);
        report(state, DICT_QUERIES / t[0], DICT_QUERIES / t[1]);
        state.counters["single"] = DICT_QUERIES / t[2];
        state.counters["ref_is_absl"] = VORP_BENCH_ABSL;
    }
    if (found % DICT_QUERIES != 0 || (found == 0) == present) state.SkipWithError("unexpected lookup result");
}
BENCHMARK(BM_FastPathDictLookupsPerS)->ArgName("hit")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
