#include "vorp/aggregate.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <span>

#include <fmt/format.h>

#include "vorp/dict.h"
#include "vorp/scan.h"
#include "vorp/segment.h"
#include "vorp/store.h"
#include "vorp/text.h"
#include "vorp/visibility.h"

namespace vorp {

// ---- request ----------------------------------------------------------------------------------------

namespace {

// "None", or "Some(" + quoted + ")": how a role or stat source the caller gave is shown.
std::string shown(const std::optional<std::string>& value) {
    if (!value) return "None";
    return fmt::format("Some({})", debug_quoted(*value));
}

std::optional<std::uint8_t> role_of(const std::optional<std::string>& value) {
    if (value == "src") return ROLE_SRC;
    if (value == "dst") return ROLE_DST;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> aggregate_limit_error(const AggregateRequest& request) {
    if (request.group_by.size() > MAX_GROUP_DIMS)
        return fmt::format("aggregate_edges: at most two group_by dimensions, got {}", request.group_by.size());
    for (const Dim& dim : request.group_by)
        if (dim.kind == DimKind::TimeBucket && dim.stride == 0)
            return std::string("aggregate_edges: time_bucket requires a non-zero stride");
    return std::nullopt;
}

std::expected<TranslatedVocab, std::string> translate_aggregate_vocab(const std::vector<VocabPair>& group_by,
                                                                      const std::vector<VocabPair>& aggregates,
                                                                      std::optional<std::int64_t> stride) {
    TranslatedVocab out;
    const std::int64_t stride_value = stride.value_or(0);
    for (const VocabPair& entry : group_by) {
        Dim dim{.kind = DimKind::TimeBucket, .role = 0, .stride = stride_value};
        if (entry.name == "time_bucket") {
            if (!stride) return std::unexpected(std::string("aggregate_edges: time_bucket requires stride"));
        } else if (entry.name == "rel_type") {
            dim.kind = DimKind::RelType;
        } else if (entry.name == "endpoint" || entry.name == "label") {
            const std::optional<std::uint8_t> role = role_of(entry.second);
            if (!role)
                return std::unexpected(
                    fmt::format("aggregate_edges: {} requires role src|dst, got {}", entry.name, shown(entry.second)));
            dim.kind = entry.name == "endpoint" ? DimKind::Endpoint : DimKind::Label;
            dim.role = *role;
        } else {
            return std::unexpected(fmt::format("aggregate_edges: unknown dimension {}", debug_quoted(entry.name)));
        }
        out.group_by.push_back(dim);
    }
    for (const VocabPair& entry : aggregates) {
        Agg agg;
        if (entry.name == "count") {
            agg.kind = AggKind::Count;
        } else if (entry.name == "count_distinct") {
            const std::optional<std::uint8_t> role = role_of(entry.second);
            if (!role)
                return std::unexpected(fmt::format("aggregate_edges: count_distinct requires role src|dst, got {}",
                                                   shown(entry.second)));
            agg = {AggKind::CountDistinct, *role};
        } else if (entry.name == "min" || entry.name == "max" || entry.name == "mean") {
            std::uint8_t source = 0;
            if (entry.second == "vt_s") {
                source = STAT_VT_S;
            } else if (entry.second == "duration") {
                source = STAT_DURATION;
            } else {
                return std::unexpected(fmt::format(
                    "aggregate_edges: stat aggregate requires of vt_s|duration, got {}", shown(entry.second)));
            }
            agg = {entry.name == "min" ? AggKind::Min : entry.name == "max" ? AggKind::Max : AggKind::Mean, source};
        } else {
            return std::unexpected(fmt::format("aggregate_edges: unknown aggregate {}", debug_quoted(entry.name)));
        }
        out.aggregates.push_back(agg);
    }
    AggregateRequest probe;
    probe.group_by = out.group_by;
    if (std::optional<std::string> limit = aggregate_limit_error(probe)) return std::unexpected(std::move(*limit));
    return out;
}

// ---- arithmetic -------------------------------------------------------------------------------------

double aggregate_mean(__int128 sum, std::uint64_t n) {
    const __int128 divisor = static_cast<__int128>(n);
    __int128 q = sum / divisor;  // truncates toward zero
    if (sum % divisor != 0 && sum < 0) --q;
    const __int128 r = sum - q * divisor;  // 0 <= r < n
    return static_cast<double>(r) / static_cast<double>(n) + static_cast<double>(q);
}

std::int64_t time_bucket_of(std::int64_t vt_s, std::int64_t t_a, std::int64_t stride) {
    const auto diff = static_cast<std::int64_t>(static_cast<std::uint64_t>(vt_s) - static_cast<std::uint64_t>(t_a));
    // INT64_MIN / -1 traps; its wrapped quotient is INT64_MIN itself, as is 0 - INT64_MIN.
    if (stride == -1) return static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(diff));
    return diff / stride;
}

// ---- label index ----------------------------------------------------------------------------------

std::int64_t LabelIndex::lookup(std::uint32_t id, std::int64_t t) const {
    const auto found = entries.find(id);
    if (found == entries.end()) return -1;
    const std::vector<LabelSpan>& spans = found->second;
    const auto after = std::partition_point(spans.begin(), spans.end(), [t](const LabelSpan& span) { return span.vt_s <= t; });
    if (after == spans.begin()) return -1;
    const LabelSpan& span = *std::prev(after);
    return t < span.vt_e ? static_cast<std::int64_t>(span.code) : -1;
}

namespace {

// A believed node version before label codes exist: its dense id and a view of its label (into a
// segment the builder holds, or into a staged row).
struct BelievedNode {
    std::uint32_t id = 0;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::string_view label;
};

// The dense id a node version's uid resolves to: the dictionary's uid of `uid_id` (an id the
// dictionary lacks is an error, as for every read that names a stored entity), looked up again so
// that the lowest id of that uid decides. Absent when the uid has no entry.
Result<std::optional<std::uint32_t>> node_dense_id(const Dictionary& dictionary, std::uint32_t uid_id) {
    const std::string_view uid = VORP_TRY(uid_in(dictionary, uid_id));
    return dictionary.dense_id(uid);
}

}  // namespace

Result<LabelIndex> build_label_index(NativeStore& store, std::int64_t as_of_tt) {
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(store.close_overlay());
    std::vector<std::shared_ptr<const Segment>> held;  // keeps the label views valid
    std::vector<BelievedNode> believed;
    for (const SegmentFileRef& ref : store.node_files()) {
        std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(ref.file));
        const SegmentHeader& header = segment->header;
        const std::span<const std::int64_t> vt_s = VORP_TRY(segment->typed<std::int64_t>("vt_s"));
        std::span<const std::int64_t> vt_e;
        if (!header.vt_e_elided) vt_e = VORP_TRY(segment->typed<std::int64_t>("vt_e"));
        const std::span<const std::uint32_t> uid_id = VORP_TRY(segment->typed<std::uint32_t>("uid_id"));
        const std::span<const std::uint32_t> label_ref = VORP_TRY(segment->typed<std::uint32_t>("label_ref"));
        const StringView strings = VORP_TRY(segment->strings());
        // Segment open checked that every column holds one value per row; stay within the
        // shortest anyway.
        std::size_t rows = std::min({vt_s.size(), uid_id.size(), label_ref.size()});
        if (!header.vt_e_elided) rows = std::min(rows, vt_e.size());
        for (std::size_t row = 0; row < rows; ++row) {
            const auto row32 = static_cast<std::uint32_t>(row);
            const std::int64_t tt_s = VORP_TRY(header.tt_s_at(row32));
            const std::int64_t tt_e = close_tt_e(overlay.get(), ref.segment_id, row32, header.closed_rows);
            if (!is_believed(tt_s, tt_e, as_of_tt)) continue;
            const std::optional<std::uint32_t> id = VORP_TRY(node_dense_id(store.dict, uid_id[row]));
            const std::string_view label = VORP_TRY_FILE(segment->path, strings.get(label_ref[row]));
            if (!id) continue;
            believed.push_back({*id, vt_s[row], header.vt_e_elided ? vt_s_plus_one(vt_s[row]) : vt_e[row], label});
        }
        held.push_back(std::move(segment));
    }
    for (const NodeRow& row : store.staging.nodes) {
        const auto closed = store.staged_vid_closes.find(row.vid);
        const std::int64_t tt_e = closed == store.staged_vid_closes.end() ? OPEN_END : closed->second;
        if (!is_believed(row.tt_s, tt_e, as_of_tt)) continue;
        const std::optional<std::uint32_t> id = VORP_TRY(node_dense_id(store.dict, row.uid_id));
        if (!id) continue;
        believed.push_back({*id, row.vt_s, row.vt_e, row.label});
    }

    LabelIndex index;
    std::vector<std::string_view> names;
    names.reserve(believed.size());
    for (const BelievedNode& node : believed) names.push_back(node.label);
    std::ranges::sort(names);
    names.erase(std::unique(names.begin(), names.end()), names.end());
    index.names.assign(names.begin(), names.end());
    for (const BelievedNode& node : believed) {
        const auto code = static_cast<std::uint32_t>(std::ranges::lower_bound(names, node.label) - names.begin());
        index.entries[node.id].push_back({node.vt_s, node.vt_e, code});
    }
    for (auto& [id, spans] : index.entries) std::ranges::sort(spans);
    return index;
}

// ---- groups -----------------------------------------------------------------------------------------

namespace {

// The set of dense ids of one endpoint role in one group: a list (duplicates kept) until it
// reaches 2W ids, then a bitset of W words (as much room as the list took).
struct Distinct {
    std::vector<std::uint32_t> sparse;
    std::vector<std::uint64_t> bits;
    bool is_bitset = false;

    void set_bit(std::uint32_t id) {
        const std::size_t word = id >> 6;
        if (word >= bits.size()) bits.resize(word + 1, 0);
        bits[word] |= std::uint64_t{1} << (id & 63);
    }

    void add(std::uint32_t id, std::size_t words, std::size_t threshold) {
        if (is_bitset) {
            set_bit(id);
            return;
        }
        sparse.push_back(id);
        if (sparse.size() < threshold) return;
        bits.assign(words, 0);
        for (const std::uint32_t each : sparse) set_bit(each);
        std::vector<std::uint32_t>().swap(sparse);
        is_bitset = true;
    }

    void merge(Distinct&& other) {
        if (!is_bitset && !other.is_bitset) {
            sparse.insert(sparse.end(), other.sparse.begin(), other.sparse.end());
        } else if (is_bitset && !other.is_bitset) {
            for (const std::uint32_t id : other.sparse) set_bit(id);
        } else if (!is_bitset) {
            std::vector<std::uint32_t> mine = std::move(sparse);
            *this = std::move(other);
            for (const std::uint32_t id : mine) set_bit(id);
        } else {
            if (bits.size() < other.bits.size()) bits.resize(other.bits.size(), 0);
            for (std::size_t word = 0; word < other.bits.size(); ++word) bits[word] |= other.bits[word];
        }
    }

    std::int64_t count() const {
        if (is_bitset) {
            std::int64_t total = 0;
            for (const std::uint64_t word : bits) total += std::popcount(word);
            return total;
        }
        std::vector<std::uint32_t> ids = sparse;
        std::ranges::sort(ids);
        return std::unique(ids.begin(), ids.end()) - ids.begin();
    }
};

struct StatAcc {
    __int128 sum = 0;
    std::int64_t min = INT64_MAX;
    std::int64_t max = INT64_MIN;
    std::uint64_t n = 0;

    void add(std::int64_t value) {
        min = std::min(min, value);
        max = std::max(max, value);
        sum += value;
        ++n;
    }
    void merge(const StatAcc& other) {
        min = std::min(min, other.min);
        max = std::max(max, other.max);
        sum += other.sum;
        n += other.n;
    }
};

// Which endpoint each CountDistinct aggregate counts and which value each stat aggregate reads,
// in request order: the k-th of a kind owns slot k of its group's accumulators.
struct AggLayout {
    std::vector<std::uint8_t> distinct_of;
    std::vector<std::uint8_t> stat_of;

    static AggLayout of(const std::vector<Agg>& aggregates) {
        AggLayout layout;
        for (const Agg& agg : aggregates) {
            if (agg.kind == AggKind::CountDistinct) layout.distinct_of.push_back(agg.of);
            if (agg.kind == AggKind::Min || agg.kind == AggKind::Max || agg.kind == AggKind::Mean)
                layout.stat_of.push_back(agg.of);
        }
        return layout;
    }
};

// Groups in insertion order with their accumulators in flat arrays (group g owns distinct slots
// [g * D, (g + 1) * D) and stat slots [g * S, (g + 1) * S)), found by key through an open-addressing
// table of group numbers.
class GroupMap {
public:
    GroupMap(std::size_t distinct_slots, std::size_t stat_slots) : distinct_slots_(distinct_slots), stat_slots_(stat_slots) {}

    std::size_t size() const { return counts.size(); }

    std::size_t find_or_add(std::int64_t a, std::int64_t b) {
        if ((size() + 1) * 2 > table_.size()) grow();
        std::size_t slot = home(a, b);
        while (true) {
            const std::uint64_t entry = table_[slot];
            if (entry == 0) break;
            const std::size_t group = entry - 1;
            if (key0[group] == a && key1[group] == b) return group;
            slot = (slot + 1) & (table_.size() - 1);
        }
        const std::size_t group = size();
        table_[slot] = group + 1;
        key0.push_back(a);
        key1.push_back(b);
        counts.push_back(0);
        distinct.resize(distinct.size() + distinct_slots_);
        stats.resize(stats.size() + stat_slots_);
        return group;
    }

    // Every group of `other` moved in (new key) or merged into the group already here.
    void merge(GroupMap&& other) {
        for (std::size_t theirs = 0; theirs < other.size(); ++theirs) {
            const std::size_t mine = find_or_add(other.key0[theirs], other.key1[theirs]);
            counts[mine] += other.counts[theirs];
            for (std::size_t k = 0; k < distinct_slots_; ++k)
                distinct[mine * distinct_slots_ + k].merge(std::move(other.distinct[theirs * distinct_slots_ + k]));
            for (std::size_t k = 0; k < stat_slots_; ++k)
                stats[mine * stat_slots_ + k].merge(other.stats[theirs * stat_slots_ + k]);
        }
    }

    std::vector<std::int64_t> key0;
    std::vector<std::int64_t> key1;
    std::vector<std::uint64_t> counts;
    std::vector<Distinct> distinct;
    std::vector<StatAcc> stats;

private:
    std::size_t home(std::int64_t a, std::int64_t b) const {
        std::uint64_t h = static_cast<std::uint64_t>(a) * 0x9E3779B97F4A7C15ull;
        h ^= std::rotl(static_cast<std::uint64_t>(b) * 0xC2B2AE3D27D4EB4Full, 29);
        h ^= h >> 32;
        h *= 0xD6E8FEB86659FD93ull;
        h ^= h >> 32;
        return static_cast<std::size_t>(h) & (table_.size() - 1);
    }

    void grow() {
        const std::size_t capacity = table_.empty() ? 64 : table_.size() * 2;
        table_.assign(capacity, 0);
        for (std::size_t group = 0; group < size(); ++group) {
            std::size_t slot = home(key0[group], key1[group]);
            while (table_[slot] != 0) slot = (slot + 1) & (capacity - 1);
            table_[slot] = group + 1;
        }
    }

    std::size_t distinct_slots_;
    std::size_t stat_slots_;
    std::vector<std::uint64_t> table_;  // group + 1, 0 for an empty slot
};

// What every fold worker reads, shared read-only.
struct FoldInput {
    const std::vector<ScanTarget>* targets = nullptr;
    const AggregateRequest* request = nullptr;
    const AggLayout* layout = nullptr;
    const std::vector<std::string>* rel_names = nullptr;
    const LabelIndex* labels = nullptr;  // present exactly with a Label dimension
    std::size_t words = 1;               // W
    std::size_t threshold = 2;           // 2W
    bool wants_rel = false;
};

Result<GroupMap> fold_selections(const FoldInput& in, std::span<const Selection> selections) {
    const AggregateRequest& request = *in.request;
    const AggLayout& layout = *in.layout;
    const std::size_t dims = request.group_by.size();
    const std::size_t n_distinct = layout.distinct_of.size();
    const std::size_t n_stat = layout.stat_of.size();
    GroupMap map(n_distinct, n_stat);
    std::vector<std::uint32_t> rel_index;
    for (const Selection& selection : selections) {
        const Segment& segment = *(*in.targets)[selection.target].segment;
        const SegmentHeader& header = segment.header;
        const std::span<const std::int64_t> vt_s = VORP_TRY(segment.typed<std::int64_t>("vt_s"));
        std::span<const std::int64_t> vt_e;
        if (!header.vt_e_elided) vt_e = VORP_TRY(segment.typed<std::int64_t>("vt_e"));
        const std::span<const std::uint32_t> src_id = VORP_TRY(segment.typed<std::uint32_t>("src_id"));
        const std::span<const std::uint32_t> dst_id = VORP_TRY(segment.typed<std::uint32_t>("dst_id"));
        std::span<const std::uint16_t> rel_code;
        if (in.wants_rel) {
            rel_code = VORP_TRY(segment.typed<std::uint16_t>("rel_code"));
            rel_index.clear();
            for (const std::string& name : header.rel_types)
                rel_index.push_back(
                    static_cast<std::uint32_t>(std::ranges::lower_bound(*in.rel_names, name) - in.rel_names->begin()));
        }
        // Selected rows index every column: segment open checked each holds `rows` values, and a
        // selection holds only rows below it. Guard against a shorter column all the same.
        std::size_t rows = std::min({vt_s.size(), src_id.size(), dst_id.size()});
        if (!header.vt_e_elided) rows = std::min(rows, vt_e.size());
        if (in.wants_rel) rows = std::min(rows, rel_code.size());

        // vt_s does not decrease along a segment's rows: rows before t_a form a prefix.
        const auto first = std::partition_point(selection.rows.begin(), selection.rows.end(), [&](std::uint32_t row) {
            return row < rows && vt_s[row] < request.t_a;
        });
        std::size_t last_group = SIZE_MAX;
        std::int64_t last_key[2] = {0, 0};
        for (auto it = first; it != selection.rows.end(); ++it) {
            const std::uint32_t row = *it;
            if (row >= rows)
                return fail(EngineError::corrupt(fmt::format("row {} is past a column of the segment", row)).at_file(segment.path));
            const std::int64_t start = vt_s[row];
            std::int64_t key[2] = {0, 0};
            for (std::size_t dim_index = 0; dim_index < dims; ++dim_index) {
                const Dim& dim = request.group_by[dim_index];
                switch (dim.kind) {
                    case DimKind::TimeBucket:
                        key[dim_index] = time_bucket_of(start, request.t_a, dim.stride);
                        break;
                    case DimKind::RelType: {
                        const std::uint16_t code = rel_code[row];
                        if (code >= rel_index.size())
                            return fail(EngineError::corrupt(fmt::format("rel_code {} has no entry", code)).at_file(segment.path));
                        key[dim_index] = rel_index[code];
                        break;
                    }
                    case DimKind::Endpoint:
                        key[dim_index] = dim.role == ROLE_SRC ? src_id[row] : dst_id[row];
                        break;
                    case DimKind::Label:
                        key[dim_index] = in.labels->lookup(dim.role == ROLE_SRC ? src_id[row] : dst_id[row], start);
                        break;
                }
            }
            if (last_group == SIZE_MAX || key[0] != last_key[0] || key[1] != last_key[1]) {
                last_group = map.find_or_add(key[0], key[1]);
                last_key[0] = key[0];
                last_key[1] = key[1];
            }
            const std::size_t group = last_group;
            ++map.counts[group];
            for (std::size_t k = 0; k < n_distinct; ++k)
                map.distinct[group * n_distinct + k].add(layout.distinct_of[k] == ROLE_SRC ? src_id[row] : dst_id[row],
                                                         in.words, in.threshold);
            if (n_stat == 0) continue;
            const std::int64_t end = header.vt_e_elided ? vt_s_plus_one(start) : vt_e[row];
            for (std::size_t k = 0; k < n_stat; ++k) {
                if (layout.stat_of[k] == STAT_VT_S) {
                    map.stats[group * n_stat + k].add(start);
                } else if (end < OPEN_END) {
                    // An open-ended version has no duration. The difference wraps rather than
                    // overflow for ends far below starts.
                    map.stats[group * n_stat + k].add(
                        static_cast<std::int64_t>(static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start)));
                }
            }
        }
    }
    return map;
}

// The fold over every selection: on the calling thread, or in chunks of ceil(s / w) selections on
// worker threads whose maps are merged in chunk order.
Result<GroupMap> aggregate_partials(const FoldInput& in, std::span<const Selection> selections) {
    const std::size_t s = selections.size();
    std::uint64_t r = 0;
    for (const Selection& selection : selections) r += selection.rows.size();
    const std::size_t threads = scan_threads();
    const std::size_t w = parallel_gate(threads, s, 2, r) ? threads : 1;
    if (s < 2 || w < 2) return fold_selections(in, selections);

    const std::size_t chunk = (s + w - 1) / w;
    const std::size_t chunks = (s + chunk - 1) / chunk;
    std::vector<std::optional<Result<GroupMap>>> results(chunks);
    fan_out(chunks, AGGREGATE_WORKER_PANICKED, [&](std::size_t index) {
        const std::size_t lo = index * chunk;
        results[index] = fold_selections(in, selections.subspan(lo, std::min(chunk, s - lo)));
    });
    for (auto& result : results)
        if (!*result) return fail(std::move(*result).error());
    GroupMap merged = std::move(**results[0]);
    for (std::size_t index = 1; index < chunks; ++index) merged.merge(std::move(**results[index]));
    return merged;
}

// Key columns and value columns of the groups in their final order.
void finalize(GroupMap& map, const AggregateRequest& request, const AggLayout& layout, const Dictionary& dictionary,
              AggregateResult& out) {
    const std::size_t groups = map.size();
    const std::size_t dims = request.group_by.size();
    std::vector<std::int64_t>* slots[2] = {&map.key0, &map.key1};

    // Sort keys: an endpoint slot holds the rank of its uid in byte order; other slots their code.
    std::vector<std::int64_t> sort0 = map.key0;
    std::vector<std::int64_t> sort1 = map.key1;
    std::vector<std::int64_t>* sort_slots[2] = {&sort0, &sort1};
    for (std::size_t dim_index = 0; dim_index < dims; ++dim_index) {
        if (request.group_by[dim_index].kind != DimKind::Endpoint) continue;
        std::vector<std::int64_t> codes = *slots[dim_index];
        std::ranges::sort(codes);
        codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
        std::vector<std::optional<std::string_view>> uids(codes.size());
        for (std::size_t index = 0; index < codes.size(); ++index)
            uids[index] = dictionary.uid(static_cast<std::uint32_t>(codes[index]));
        std::vector<std::size_t> order(codes.size());
        for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
        // A code the dictionary cannot name (only a damaged segment holds one) sorts first.
        std::ranges::stable_sort(order, [&](std::size_t x, std::size_t y) { return uids[x] < uids[y]; });
        std::vector<std::int64_t> rank(codes.size());
        for (std::size_t position = 0; position < order.size(); ++position)
            rank[order[position]] = static_cast<std::int64_t>(position);
        for (std::int64_t& value : *sort_slots[dim_index])
            value = rank[static_cast<std::size_t>(std::ranges::lower_bound(codes, value) - codes.begin())];
    }
    std::vector<std::size_t> order(groups);
    for (std::size_t index = 0; index < groups; ++index) order[index] = index;
    std::ranges::stable_sort(order, [&](std::size_t x, std::size_t y) {
        return std::pair(sort0[x], sort1[x]) < std::pair(sort0[y], sort1[y]);
    });

    out.keys.assign(dims, {});
    for (std::size_t dim_index = 0; dim_index < dims; ++dim_index) {
        out.keys[dim_index].reserve(groups);
        for (const std::size_t group : order) out.keys[dim_index].push_back((*slots[dim_index])[group]);
    }
    const std::size_t n_distinct = layout.distinct_of.size();
    const std::size_t n_stat = layout.stat_of.size();
    std::size_t distinct_k = 0;
    std::size_t stat_k = 0;
    for (const Agg& agg : request.aggregates) {
        if (agg.kind == AggKind::Mean) {
            FloatValues column;
            column.reserve(groups);
            for (const std::size_t group : order) {
                const StatAcc& acc = map.stats[group * n_stat + stat_k];
                column.push_back(acc.n > 0 ? std::optional(aggregate_mean(acc.sum, acc.n)) : std::nullopt);
            }
            ++stat_k;
            out.aggs.emplace_back(std::move(column));
            continue;
        }
        IntValues column;
        column.reserve(groups);
        for (const std::size_t group : order) {
            switch (agg.kind) {
                case AggKind::Count:
                    column.push_back(static_cast<std::int64_t>(map.counts[group]));
                    break;
                case AggKind::CountDistinct:
                    column.push_back(map.distinct[group * n_distinct + distinct_k].count());
                    break;
                case AggKind::Min:
                case AggKind::Max: {
                    const StatAcc& acc = map.stats[group * n_stat + stat_k];
                    if (acc.n == 0)
                        column.push_back(std::nullopt);
                    else
                        column.push_back(agg.kind == AggKind::Min ? acc.min : acc.max);
                    break;
                }
                case AggKind::Mean:
                    break;
            }
        }
        if (agg.kind == AggKind::CountDistinct) ++distinct_k;
        if (agg.kind == AggKind::Min || agg.kind == AggKind::Max) ++stat_k;
        out.aggs.emplace_back(std::move(column));
    }
}

}  // namespace

// ---- the operation ------------------------------------------------------------------------------------

Result<AggregateResult> aggregate_edges(NativeStore& store, const AggregateRequest& request) {
    if (std::optional<std::string> limit = aggregate_limit_error(request)) return fail(EngineError::invariant(*limit));
    VORP_TRY(store.assert_full_belief(request.as_of_tt));

    const bool wants_label = std::ranges::any_of(request.group_by, [](const Dim& dim) { return dim.kind == DimKind::Label; });
    const bool wants_rel = std::ranges::any_of(request.group_by, [](const Dim& dim) { return dim.kind == DimKind::RelType; });
    std::optional<LabelIndex> labels;
    if (wants_label) labels = VORP_TRY(build_label_index(store, request.as_of_tt));

    ScanSet set;
    set.targets = VORP_TRY(gather_edge_targets(store.root, store.manifest, store.cache()));
    set.close = VORP_TRY(store.close_overlay());
    set.entity_count = store.dict.size();
    ScanRequest selection_request;
    selection_request.as_of_tt = request.as_of_tt;
    selection_request.vt_min = request.t_a;
    selection_request.vt_max = request.t_b;
    selection_request.rel_types = request.rel_types;
    const SelectOutcome selected = VORP_TRY(set.select(selection_request));

    AggregateResult result;
    for (const ScanTarget& target : set.targets)
        result.rel_names.insert(result.rel_names.end(), target.segment->header.rel_types.begin(),
                                target.segment->header.rel_types.end());
    std::ranges::sort(result.rel_names);
    result.rel_names.erase(std::unique(result.rel_names.begin(), result.rel_names.end()), result.rel_names.end());

    const AggLayout layout = AggLayout::of(request.aggregates);
    FoldInput in;
    in.targets = &set.targets;
    in.request = &request;
    in.layout = &layout;
    in.rel_names = &result.rel_names;
    in.labels = labels ? &*labels : nullptr;
    in.words = std::max<std::size_t>(1, (store.dict.size() + 63) / 64);
    in.threshold = 2 * in.words;
    in.wants_rel = wants_rel;
    GroupMap groups = VORP_TRY(aggregate_partials(in, selected.selections));

    if (request.group_by.empty() && groups.size() == 0) groups.find_or_add(0, 0);
    if (groups.size() > request.max_groups)
        return fail(EngineError::capacity(
            fmt::format("aggregate group count {} exceeds cap {}", groups.size(), request.max_groups)));

    finalize(groups, request, layout, store.dict, result);
    if (labels) result.label_names = std::move(labels->names);
    return result;
}

}  // namespace vorp
