#include "vorp/stats.h"

#include <algorithm>

#include "vorp/segment.h"

namespace vorp {

// Out of line, so that callers copying statistics around do not inline two containers' worth.
OutDegrees::OutDegrees() = default;
OutDegrees::OutDegrees(const OutDegrees&) = default;
OutDegrees::OutDegrees(OutDegrees&&) noexcept = default;
OutDegrees& OutDegrees::operator=(const OutDegrees&) = default;
OutDegrees& OutDegrees::operator=(OutDegrees&&) noexcept = default;
OutDegrees::~OutDegrees() = default;

std::uint64_t OutDegrees::count(std::uint32_t id) const {
    if (id < dense_.size()) return dense_[id];
    const auto found = sparse_.find(id);
    return found == sparse_.end() ? 0 : found->second;
}

std::uint64_t OutDegrees::max() const {
    std::uint64_t largest = 0;
    for (const std::uint64_t count : dense_) largest = std::max(largest, count);
    for (const auto& [id, count] : sparse_) largest = std::max(largest, count);
    return largest;
}

bool operator==(const OutDegrees& a, const OutDegrees& b) {
    if (a.distinct_ != b.distinct_) return false;
    // Same number of ids on both sides, and every id of a with b's count: no id of b is left over.
    for (std::size_t id = 0; id < a.dense_.size(); ++id)
        if (a.dense_[id] != 0 && b.count(static_cast<std::uint32_t>(id)) != a.dense_[id]) return false;
    for (const auto& [id, count] : a.sparse_)
        if (b.count(id) != count) return false;
    return true;
}

std::uint64_t OutDegrees::dense_limit() const {
    constexpr std::uint64_t FLOOR = std::uint64_t{1} << 20;
    return std::max(FLOOR, added_ > (UINT64_MAX >> 3) ? UINT64_MAX : added_ << 3);
}

void OutDegrees::add_beyond(std::uint32_t id) {
    // (add has counted this version already.)
    if (id < dense_limit()) {
        // Doubling keeps widening amortised; ids counted in the side map so far move over.
        const std::uint64_t doubled = std::min<std::uint64_t>(dense_.size() * 2, dense_limit());
        dense_.resize(static_cast<std::size_t>(std::max<std::uint64_t>(std::uint64_t{id} + 1, doubled)), 0);
        for (auto it = sparse_.begin(); it != sparse_.end();) {
            if (it->first < dense_.size()) {
                dense_[it->first] = it->second;
                it = sparse_.erase(it);
            } else {
                ++it;
            }
        }
        if (dense_[id]++ == 0) ++distinct_;
        return;
    }
    if (sparse_[id]++ == 0) ++distinct_;
}

void StatsAccum::add_edge(std::int64_t vt_s, std::int64_t vt_e, std::string_view rel_type, std::uint32_t src_id) {
    ++n_edge_versions;
    vt_min = vt_min ? std::min(*vt_min, vt_s) : vt_s;
    const std::int64_t end = vt_e <= OPEN_END - 1 ? vt_e : vt_s_plus_one(vt_s);
    vt_max = vt_max ? std::max(*vt_max, end) : end;
    auto found = rel_type_counts.find(rel_type);
    if (found == rel_type_counts.end()) found = rel_type_counts.emplace(std::string(rel_type), 0).first;
    ++found->second;
    out_degree.add(src_id);
}

std::uint64_t StatsAccum::max_out_degree() const { return out_degree.max(); }

}  // namespace vorp
