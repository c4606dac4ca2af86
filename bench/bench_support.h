// Inputs and scratch directories shared by the benchmarks.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "vorp/error.h"
#include "vorp/manifest.h"
#include "vorp/row.h"

namespace vorp::bench {

// The value of a result the benchmark cannot go on without; throws with `what` and the error.
template <class T>
T unwrap(Result<T>&& result, const char* what) {
    if (!result) throw std::runtime_error(fmt::format("{}: {}", what, result.error().display()));
    return std::move(*result);
}
inline void check(Status&& status, const char* what) {
    if (!status) throw std::runtime_error(fmt::format("{}: {}", what, status.error().display()));
}

// A fresh directory "{prefix}-XXXXXX" under the system's temporary directory; the caller removes it.
inline std::filesystem::path make_temp_dir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// A manifest entry for segment `segment_id` of 32,768 rows with keys and times derived from the id.
// No file stands behind it.
inline SegmentEntry bench_entry(std::uint64_t segment_id) {
    SegmentEntry entry;
    entry.file = fmt::format("seg/{:012}.vos", segment_id);
    entry.rows = 32768;
    entry.key_lo = {static_cast<std::int64_t>(segment_id) * 1000, fmt::format("{:024x}", segment_id * 2)};
    entry.key_hi = {static_cast<std::int64_t>(segment_id) * 1000 + 999, fmt::format("{:024x}", segment_id * 2 + 1)};
    entry.vt_min = entry.key_lo.first;
    entry.vt_max = entry.key_hi.first;
    entry.vt_e_max = entry.vt_max + 5000;
    entry.tt_s_min = 1'700'000'000'000'000;
    entry.tt_s_max = 1'700'000'000'500'000;
    return entry;
}

// `count` rows shaped like a real edge lane: ascending vt_s, a few dozen relationship types,
// mostly distinct properties, a handful of sources, occasional provenance and discriminators.
// The same seed every call, so every benchmark sees the same rows.
inline std::vector<EdgeRow> lane_edge_rows(std::size_t count) {
    std::mt19937_64 rng(42);
    std::vector<EdgeRow> out;
    out.reserve(count);
    std::int64_t vt_s = 1'700'000'000'000;
    for (std::size_t r = 0; r < count; ++r) {
        vt_s += static_cast<std::int64_t>(rng() % 1000);
        EdgeRow row;
        row.rel_type = fmt::format("rel_{}", rng() % 24);
        row.disc = r % 10 == 0 ? fmt::format("d{}", rng() % 100) : "";
        row.props = fmt::format("{{\"weight\":{},\"since\":{}}}", rng() % 100000, 2000 + rng() % 25);
        row.source = fmt::format("feed-{}", rng() % 8);
        if (r % 5 == 0) row.prov = fmt::format("batch-{}", r / 1000);
        row.vid = Id96{rng(), static_cast<std::uint32_t>(rng())};
        row.vt_s = vt_s;
        row.vt_e = r % 3 == 0 ? vt_s + 1 + static_cast<std::int64_t>(rng() % 100000) : vt_s + 1;
        row.tt_s = 1'700'000'000'000 + static_cast<std::int64_t>(r / 100000);
        row.src_id = static_cast<std::uint32_t>(rng() % 1'000'000);
        row.dst_id = static_cast<std::uint32_t>(rng() % 1'000'000);
        out.push_back(std::move(row));
    }
    return out;
}

// A raw string table (count, offsets, payload; little-endian u32) of `string_count` texts shaped
// like stored props, sources and provenance, from a fixed seed.
inline std::vector<std::uint8_t> sample_raw_table(std::size_t string_count) {
    std::mt19937_64 rng(11);
    std::vector<std::string> texts{""};
    while (texts.size() < string_count) {
        switch (rng() % 3) {
            case 0: texts.push_back("{\"name\":\"entity-" + std::to_string(rng() % 1000000) + "\",\"weight\":" + std::to_string(rng() % 100) + "}"); break;
            case 1: texts.push_back("source/" + std::to_string(rng() % 50)); break;
            default: texts.push_back("prov:" + std::to_string(rng())); break;
        }
    }
    std::vector<std::uint8_t> table;
    auto put_u32 = [&](std::uint32_t value) {
        for (int byte_idx = 0; byte_idx < 4; ++byte_idx) table.push_back(static_cast<std::uint8_t>(value >> (8 * byte_idx)));
    };
    put_u32(static_cast<std::uint32_t>(texts.size()));
    std::uint32_t running = 0;
    put_u32(0);
    for (const std::string& text : texts) put_u32(running += static_cast<std::uint32_t>(text.size()));
    for (const std::string& text : texts) table.insert(table.end(), text.begin(), text.end());
    return table;
}

}  // namespace vorp::bench
