// The store's statistics: exact counts over every stored version, kept per handle and folded
// forward by each commit (the batch's rows added to the previous generation's counts), so that
// `stats` never walks the segments twice for one generation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vorp/segment_cache.h"

namespace vorp {

// Edge versions per source dense id. Dense ids are handed out consecutively from 0, so the counts
// live in an array indexed by id; an id far beyond the array and beyond what has been counted (no
// dictionary hands such an id out, but a file or a caller may carry one) is kept in a side map
// instead, so a stray id cannot allocate gigabytes. Equality compares the counts, not where they
// are kept.
class OutDegrees {
public:
    OutDegrees();
    OutDegrees(const OutDegrees&);
    OutDegrees(OutDegrees&&) noexcept;
    OutDegrees& operator=(const OutDegrees&);
    OutDegrees& operator=(OutDegrees&&) noexcept;
    ~OutDegrees();

    void add(std::uint32_t id) {
        ++added_;
        if (id < dense_.size()) {
            if (dense_[id]++ == 0) ++distinct_;
            return;
        }
        add_beyond(id);
    }
    // 0 for an id never counted.
    std::uint64_t count(std::uint32_t id) const;
    // The largest count; 0 when nothing was counted.
    std::uint64_t max() const;
    // The number of ids counted at least once.
    std::size_t size() const { return distinct_; }

    friend bool operator==(const OutDegrees& a, const OutDegrees& b);

private:
    // The array covers every id below this many (at least 2^20, and 8 per version counted).
    std::uint64_t dense_limit() const;
    void add_beyond(std::uint32_t id);

    std::vector<std::uint64_t> dense_;
    std::unordered_map<std::uint32_t, std::uint64_t> sparse_;  // ids at or above dense_.size() only
    std::uint64_t added_ = 0;
    std::size_t distinct_ = 0;
};

// Exact counts over every stored version, believed or not. Only edges move the valid-time range,
// the per-type counts and the out-degrees. A plain value: copies are deep.
struct StatsAccum {
    std::optional<std::int64_t> vt_min;  // smallest edge vt_s
    std::optional<std::int64_t> vt_max;  // largest edge end: vt_e, or vt_s + 1 for an open vt_e
    // Looked up by string_view, so counting a row allocates nothing.
    std::unordered_map<std::string, std::uint64_t, FileNameHash, std::equal_to<>> rel_type_counts;
    OutDegrees out_degree;  // by source dense id
    std::uint64_t n_node_versions = 0;
    std::uint64_t n_edge_versions = 0;

    // Counts one edge version. An end at or above OPEN_END stands for vt_s + 1 (wrapping, so the
    // largest vt_s never overflows).
    void add_edge(std::int64_t vt_s, std::int64_t vt_e, std::string_view rel_type, std::uint32_t src_id);
    // The largest out-degree; 0 with no edges.
    std::uint64_t max_out_degree() const;

    bool operator==(const StatsAccum&) const = default;
};

}  // namespace vorp
