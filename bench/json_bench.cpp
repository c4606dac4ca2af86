// JSON layer throughput: reading a manifest-like document through declared records (the chain
// read and segment open path), the generic value and the top-level member lookup (the per-node-row
// display-name path), and compact writing (manifest digests, deltas, segment headers).
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <string>
#include <vector>

#include "vorp/json.h"

namespace vorp {
namespace {

struct BenchEntry {
    std::string file;
    std::uint32_t rows = 0;
    std::pair<std::int64_t, std::string> key_lo;
    std::pair<std::int64_t, std::string> key_hi;
    std::int64_t vt_min = 0;
    std::int64_t vt_max = 0;
    std::int64_t vt_e_max = 0;
    std::int64_t tt_s_min = 0;
    std::int64_t tt_s_max = 0;
    std::vector<std::uint16_t> rel_codes;
    std::uint32_t n_closed_folded = 0;
    bool all_current = true;
    std::string sha;
};

struct BenchDoc {
    std::uint32_t format = 3;
    std::uint64_t generation = 0;
    std::optional<std::uint64_t> parent;
    std::vector<BenchEntry> node_store;
    std::vector<BenchEntry> edges;
    std::string manifest_sha;
};

bool json_read(JsonReader& r, BenchEntry& out);
void json_write(JsonWriter& w, const BenchEntry& value);

constexpr JsonRecord BENCH_ENTRY_JSON{"SegmentEntry",
                                      {
                                          json_field<&BenchEntry::file>("file"),
                                          json_field<&BenchEntry::rows>("rows"),
                                          json_field<&BenchEntry::key_lo>("key_lo"),
                                          json_field<&BenchEntry::key_hi>("key_hi"),
                                          json_field<&BenchEntry::vt_min>("vt_min"),
                                          json_field<&BenchEntry::vt_max>("vt_max"),
                                          json_field<&BenchEntry::vt_e_max>("vt_e_max"),
                                          json_field<&BenchEntry::tt_s_min>("tt_s_min"),
                                          json_field<&BenchEntry::tt_s_max>("tt_s_max"),
                                          json_field<&BenchEntry::rel_codes>("rel_codes"),
                                          json_field<&BenchEntry::n_closed_folded>("n_closed_folded"),
                                          json_field<&BenchEntry::all_current>("all_current"),
                                          json_field<&BenchEntry::sha>("sha"),
                                      }};
bool json_read(JsonReader& r, BenchEntry& out) { return BENCH_ENTRY_JSON.read(r, out); }
void json_write(JsonWriter& w, const BenchEntry& value) { BENCH_ENTRY_JSON.write(w, value); }

constexpr JsonRecord BENCH_DOC_JSON{"Manifest",
                                    {
                                        json_field<&BenchDoc::format>("format"),
                                        json_field<&BenchDoc::generation>("generation"),
                                        json_field<&BenchDoc::parent>("parent"),
                                        json_field<&BenchDoc::node_store>("node_store"),
                                        json_field<&BenchDoc::edges>("edges"),
                                        json_field<&BenchDoc::manifest_sha>("manifest_sha"),
                                    }};
bool json_read(JsonReader& r, BenchDoc& out) { return BENCH_DOC_JSON.read(r, out); }
void json_write(JsonWriter& w, const BenchDoc& value) { BENCH_DOC_JSON.write(w, value); }

BenchDoc make_doc(std::size_t entries) {
    BenchDoc doc;
    doc.generation = 4242;
    doc.parent = 4241;
    doc.manifest_sha = "0123456789abcdef";
    for (std::size_t index = 0; index < entries; ++index) {
        BenchEntry entry;
        entry.file = fmt::format("seg/{:012}.vos", index);
        entry.rows = 32768;
        entry.key_lo = {static_cast<std::int64_t>(index) * 1000, fmt::format("{:016x}{:08x}", index * 7919, index)};
        entry.key_hi = {static_cast<std::int64_t>(index) * 1000 + 999, fmt::format("{:016x}{:08x}", index * 104729, index)};
        entry.vt_min = entry.key_lo.first;
        entry.vt_max = entry.key_hi.first;
        entry.vt_e_max = 4611686018427387904;
        entry.tt_s_min = 1700000000000000 + static_cast<std::int64_t>(index);
        entry.tt_s_max = entry.tt_s_min + 5;
        (index % 2 == 0 ? doc.node_store : doc.edges).push_back(std::move(entry));
    }
    return doc;
}

void BM_JsonReadManifestRecords(benchmark::State& state) {
    const std::string pretty = json_to_string(make_doc(static_cast<std::size_t>(state.range(0))), JsonStyle::Pretty);
    for (auto _ : state) {
        auto doc = json_parse<BenchDoc>(pretty);
        benchmark::DoNotOptimize(doc);
        if (!doc) state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pretty.size()));
}
BENCHMARK(BM_JsonReadManifestRecords)->Arg(16)->Arg(4096);

void BM_JsonValidateManifest(benchmark::State& state) {
    const std::string compact = json_to_string(make_doc(4096));
    for (auto _ : state) {
        auto status = json_validate(compact);
        benchmark::DoNotOptimize(status);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * compact.size()));
}
BENCHMARK(BM_JsonValidateManifest);

void BM_JsonParseValueManifest(benchmark::State& state) {
    const std::string compact = json_to_string(make_doc(4096));
    for (auto _ : state) {
        auto value = json_parse_value(compact);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * compact.size()));
}
BENCHMARK(BM_JsonParseValueManifest);

void BM_JsonWriteCompactManifest(benchmark::State& state) {
    const BenchDoc doc = make_doc(4096);
    std::string out;
    std::size_t bytes = 0;
    for (auto _ : state) {
        out.clear();
        JsonWriter writer(out);
        json_write(writer, doc);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_JsonWriteCompactManifest);

void BM_JsonWritePrettyManifest(benchmark::State& state) {
    const BenchDoc doc = make_doc(4096);
    std::string out;
    std::size_t bytes = 0;
    for (auto _ : state) {
        out.clear();
        JsonWriter writer(out, JsonStyle::Pretty);
        json_write(writer, doc);
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_JsonWritePrettyManifest);

// Typical node properties: the display-name lookup runs once per node row written.
void BM_JsonTopLevelNameOfProps(benchmark::State& state) {
    const std::string props =
        R"({"name":"Ada Lovelace","born":1815,"tags":["math","poetry"],"address":{"city":"London","zip":"W1"},)"
        R"("score":0.93,"note":"wrote \"notes\" on the engine"})";
    for (auto _ : state) {
        auto name = json_top_level_string_member(props, "name");
        benchmark::DoNotOptimize(name);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * props.size()));
}
BENCHMARK(BM_JsonTopLevelNameOfProps);

void BM_JsonParseValueProps(benchmark::State& state) {
    const std::string props =
        R"({"name":"Ada Lovelace","born":1815,"tags":["math","poetry"],"address":{"city":"London","zip":"W1"},)"
        R"("score":0.93,"note":"wrote \"notes\" on the engine"})";
    for (auto _ : state) {
        auto value = json_parse_value(props);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * props.size()));
}
BENCHMARK(BM_JsonParseValueProps);

}  // namespace
}  // namespace vorp
