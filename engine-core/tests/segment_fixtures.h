// A store directory with segment files written by the engine's own writers and the manifest that
// lists them, for the tests of the segment cache and the postings.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "test_support.h"
#include "vorp/dict.h"
#include "vorp/manifest.h"
#include "vorp/segment.h"

namespace vorp::testing {

struct SegmentStore {
    TempDir dir{"vorp-cache-test"};
    Dictionary dictionary{dir.path / "dict.log"};
    Manifest manifest = Manifest::genesis();

    explicit SegmentStore(std::size_t entities = 0) {
        for (std::size_t id = 0; id < entities; ++id) dictionary.push(fmt::format("uid-{}", id), "Thing");
    }

    const std::filesystem::path& root() const { return dir.path; }

    // Writes the rows (sorted into stored order) as segment `segment_id` and lists it in the
    // manifest; returns the entry's file name. `closed_rows` must be ascending by row.
    template <class Row>
    std::string add_segment(std::uint64_t segment_id, std::vector<Row> rows, Lane lane = Lane::Event,
                            std::vector<std::pair<std::uint32_t, std::int64_t>> closed_rows = {}) {
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
            return std::tie(a.vt_s, a.vid) < std::tie(b.vt_s, b.vid);
        });
        const std::string file = segment_relative_path(segment_id).string();
        SegmentWriteOptions options;
        options.closed_rows = std::move(closed_rows);
        options.lane = lane;
        Status written;
        if constexpr (std::is_same_v<Row, EdgeRow>)
            written = write_edge_segment(root() / file, rows, options);
        else
            written = write_node_segment(root() / file, rows, options);
        EXPECT_TRUE(written.has_value()) << written.error().display();
        SegmentEntry entry;
        entry.file = file;
        entry.rows = static_cast<std::uint32_t>(rows.size());
        if constexpr (std::is_same_v<Row, EdgeRow>)
            (lane == Lane::Event ? manifest.edge_lanes.event : manifest.edge_lanes.interval).push_back(entry);
        else
            manifest.node_store.push_back(entry);
        return file;
    }

    // Moves to the next generation (the caches key on the generation number).
    void next_generation() { ++manifest.generation; }
};

// Random versions over the first `entities` dense ids: few relationship types and discriminators,
// so identities repeat; vid64 drawn from a small range now and then, so by_vid lists mix vids.
inline EdgeRow random_edge(std::mt19937_64& rng, std::uint32_t entities) {
    EdgeRow row;
    row.src_id = static_cast<std::uint32_t>(rng() % entities);
    row.dst_id = static_cast<std::uint32_t>(rng() % entities);
    row.rel_type = fmt::format("rel_{}", rng() % 3);
    row.disc = rng() % 4 == 0 ? fmt::format("d{}", rng() % 2) : "";
    row.props = fmt::format("{{\"weight\":{},\"note\":\"a fairly repetitive property text\"}}", rng() % 10);
    row.source = "feed";
    row.vid = Id96{rng() % 3 == 0 ? rng() % 8 : rng(), static_cast<std::uint32_t>(rng())};
    row.vt_s = static_cast<std::int64_t>(rng() % 1000);
    row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 50);
    row.tt_s = 10 + static_cast<std::int64_t>(rng() % 3);
    return row;
}

inline NodeRow random_node(std::mt19937_64& rng, std::uint32_t entities) {
    NodeRow row;
    row.uid_id = static_cast<std::uint32_t>(rng() % entities);
    row.label = "Thing";
    row.props = fmt::format("{{\"name\":\"n{}\"}}", rng() % 5);
    row.source = "feed";
    row.vid = Id96{rng() % 3 == 0 ? rng() % 8 : rng(), static_cast<std::uint32_t>(rng())};
    row.vt_s = static_cast<std::int64_t>(rng() % 1000);
    row.vt_e = row.vt_s + 5;
    row.tt_s = 10;
    return row;
}

// The number of property-test seeds: the environment variable `name` when set, else `fallback`.
inline int seed_count(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text == nullptr ? fallback : std::max(1, std::atoi(text));
}

}  // namespace vorp::testing
