// FOR stream and string heap throughput. FOR figures are values per second over a column of
// 1,048,576 values whose blocks all have the given bit width; heap figures are bytes of the raw
// string table per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "vorp/codec.h"

#include "bench_support.h"

namespace {

constexpr std::size_t COLUMN_VALUES = std::size_t{1} << 20;

std::vector<std::int64_t> column_of_width(unsigned width) {
    std::mt19937_64 rng(width + 1);
    const std::uint64_t mask = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    std::vector<std::int64_t> values(COLUMN_VALUES);
    const std::int64_t base = width == 64 ? 0 : 1'700'000'000'000'000;
    for (std::int64_t& value : values) value = static_cast<std::int64_t>(static_cast<std::uint64_t>(base) + (rng() & mask));
    return values;
}

void BM_ForEncode(benchmark::State& state) {
    const std::vector<std::int64_t> values = column_of_width(static_cast<unsigned>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::uint8_t> stream = vorp::encode_i64(values);
        benchmark::DoNotOptimize(stream.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}

// Into a caller's buffer, as the segment reader decodes its columns.
void BM_ForDecodeInto(benchmark::State& state) {
    const std::vector<std::int64_t> values = column_of_width(static_cast<unsigned>(state.range(0)));
    const std::vector<std::uint8_t> stream = vorp::encode_i64(values);
    std::vector<std::uint8_t> out(values.size() * 8);
    for (auto _ : state) {
        auto status = vorp::decode_le_into(stream, values.size(), 8, out);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}

// Including the allocation of a fresh result vector.
void BM_ForDecodeI64(benchmark::State& state) {
    const std::vector<std::int64_t> values = column_of_width(static_cast<unsigned>(state.range(0)));
    const std::vector<std::uint8_t> stream = vorp::encode_i64(values);
    for (auto _ : state) {
        auto decoded = vorp::decode_i64(stream, values.size());
        benchmark::DoNotOptimize(decoded->data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}

// 32-bit columns (ids, string references) decoded to their 4-byte form.
void BM_ForDecodeIntoU32(benchmark::State& state) {
    std::vector<std::int64_t> values = column_of_width(static_cast<unsigned>(state.range(0)));
    for (std::int64_t& value : values) value = static_cast<std::int64_t>(static_cast<std::uint32_t>(value));
    const std::vector<std::uint8_t> stream = vorp::encode_i64(values);
    std::vector<std::uint8_t> out(values.size() * 4);
    for (auto _ : state) {
        auto status = vorp::decode_le_into(stream, values.size(), 4, out);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}

BENCHMARK(BM_ForEncode)->Arg(0)->Arg(1)->Arg(7)->Arg(13)->Arg(32)->Arg(64);
BENCHMARK(BM_ForDecodeInto)->Arg(0)->Arg(1)->Arg(7)->Arg(13)->Arg(32)->Arg(64);
BENCHMARK(BM_ForDecodeI64)->Arg(0)->Arg(1)->Arg(7)->Arg(13)->Arg(32)->Arg(64);
BENCHMARK(BM_ForDecodeIntoU32)->Arg(1)->Arg(13)->Arg(32);

// A string table shaped like a segment's: short property objects, sources and labels, with
// repetition.
void BM_HeapPack(benchmark::State& state) {
    const std::vector<std::uint8_t> raw = vorp::bench::sample_raw_table(static_cast<std::size_t>(state.range(0)));
    std::size_t packed_size = 0;
    for (auto _ : state) {
        auto packed = vorp::pack_heap(raw);
        packed_size = packed->size();
        benchmark::DoNotOptimize(packed->data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
    state.counters["ratio"] = static_cast<double>(raw.size()) / static_cast<double>(packed_size);
}

void BM_HeapUnpack(benchmark::State& state) {
    const std::vector<std::uint8_t> raw = vorp::bench::sample_raw_table(static_cast<std::size_t>(state.range(0)));
    const std::vector<std::uint8_t> packed = *vorp::pack_heap(raw);
    for (auto _ : state) {
        auto unpacked = vorp::unpack_heap(packed);
        benchmark::DoNotOptimize(unpacked->data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
}

BENCHMARK(BM_HeapPack)->Arg(1000)->Arg(100000);
BENCHMARK(BM_HeapUnpack)->Arg(1000)->Arg(100000);

}  // namespace
