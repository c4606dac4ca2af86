#include "vorp/aggregate.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include <fmt/format.h>


#include "vorp/column.h"
#include "vorp/dict.h"
#include "vorp/interrupt.h"
#include "vorp/radix_sort.h"
#include "vorp/scan_pipeline.h"
#include "vorp/segment.h"
#include "vorp/store.h"
#include "vorp/text.h"
#include "vorp/threads.h"
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
    // The same floor division in 64 bits when both fit, as they nearly always do.
    if (sum >= INT64_MIN && sum <= INT64_MAX && n <= static_cast<std::uint64_t>(INT64_MAX)) {
        const auto s64 = static_cast<std::int64_t>(sum);
        const auto d64 = static_cast<std::int64_t>(n);
        std::int64_t q = s64 / d64;
        std::int64_t r = s64 % d64;  // the sign of the sum; q * d64 could overflow near the ends
        if (r < 0) {
            --q;
            r += d64;
        }
        return static_cast<double>(r) / static_cast<double>(n) + static_cast<double>(q);
    }
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
        const ValidEnds ends = VORP_TRY(segment->nodes.valid_ends());
        const std::span<const std::uint32_t> uid_id = VORP_TRY(segment->nodes.uid_id.get());
        const std::span<const std::uint32_t> label_ref = VORP_TRY(segment->nodes.label_ref.get());
        const StringView strings = VORP_TRY(segment->strings());
        // The typed view's columns hold one value per row.
        const std::size_t rows = ends.vt_s.size();
        for (std::size_t row = 0; row < rows; ++row) {
            const auto row32 = static_cast<std::uint32_t>(row);
            const std::int64_t tt_s = VORP_TRY(header.tt_s_at(row32));
            const std::int64_t tt_e = close_tt_e(overlay.get(), ref.segment_id, row32, header.closed_rows);
            if (!is_believed(tt_s, tt_e, as_of_tt)) continue;
            const std::optional<std::uint32_t> id = VORP_TRY(node_dense_id(store.dict(), uid_id[row]));
            const std::string_view label = VORP_TRY_FILE(segment->path, strings.get(label_ref[row]));
            if (!id) continue;
            believed.push_back({*id, ends.vt_s[row], ends.at(row), label});
        }
        held.push_back(std::move(segment));
    }
    for (const NodeRow& row : store.batch().staging.nodes) {
        const auto closed = store.batch().vid_closes.find(row.vid);
        const std::int64_t tt_e = closed == store.batch().vid_closes.end() ? OPEN_END : closed->second;
        if (!is_believed(row.tt_s, tt_e, as_of_tt)) continue;
        const std::optional<std::uint32_t> id = VORP_TRY(node_dense_id(store.dict(), row.uid_id));
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

FoldSplit& fold_split() {
    static FoldSplit split;
    return split;
}

namespace {

// The set bits of `words` words. The population-count instruction where the processor has one (the
// library's portable count is several times slower).
__attribute__((target("popcnt"))) std::int64_t popcount_words_native(const std::uint64_t* words, std::size_t n) {
    std::int64_t total = 0;
    for (std::size_t word = 0; word < n; ++word) total += __builtin_popcountll(words[word]);
    return total;
}
std::int64_t popcount_words(const std::uint64_t* words, std::size_t n) {
    static const bool native = __builtin_cpu_supports("popcnt");
    if (native) return popcount_words_native(words, n);
    std::int64_t total = 0;
    for (std::size_t word = 0; word < n; ++word) total += std::popcount(words[word]);
    return total;
}

// The sets of distinct dense ids of one holder of groups (a worker's dense slots, a group map, a
// partition's slots): set s belongs to group s / D and is its (s mod D)-th CountDistinct. A set
// lists its ids, duplicates included, until it holds 2W of them; then it turns into a bitset of W
// words (as much room as the ids took). It lists them in a home of one cache line, indexed by set,
// and when that is full moves them on into a block of the holder's arena, the newest first: a row
// touches only its set's home, fetched some rows ahead, and a small set needs no
// allocation of its own. The bitsets lie in chunks of words that never move. Only the number of
// distinct ids of a set is ever read, so the ids keep no order.
class DistinctSets {
public:
    // A set turns into a bitset of `words` words when it lists `threshold` ids; at 1 every set is
    // a bitset from its first id on.
    DistinctSets(std::size_t words, std::size_t threshold) : words_(words), threshold_(threshold) {}

    std::size_t size() const { return homes_.size(); }
    void resize(std::size_t sets) { homes_.resize(sets); }

    // Every one of `sets` sets a bitset from the start, set s the s-th bitset: a row then
    // sets its bit without looking at the set's home. For holders whose sets are all expected to
    // fill their bitsets.
    void all_bitsets(std::size_t sets) {
        if (sets >= BITSET) engine_panic("aggregate: more distinct bitsets than a set's state can name");
        homes_.resize(sets);
        for (std::size_t set = 0; set < sets; ++set) {
            homes_[set].count = BITSET;
            homes_[set].prev = static_cast<std::uint32_t>(set);
        }
        while (bitsets_ < sets) new_bitset();
        direct_ = true;
    }
    std::size_t words() const { return words_; }

    // Drops every set and keeps the arena's memory for the next use.
    void clear(std::size_t sets) {
        homes_.assign(sets, Home{});
        direct_ = false;
        used_ = 0;
        free_ = 0;
        bit_chunks_.clear();
        bitsets_ = 0;
        beyond_.clear();
    }

    [[gnu::always_inline]] void add(std::size_t set, std::uint32_t id) {
        if (direct_ && (id >> 6) < words_) {
            bits_of(set)[id >> 6] |= std::uint64_t{1} << (id & 63);
            return;
        }
        Home& home = homes_[set];
        const std::uint32_t count = home.count;
        if ((count & BITSET) != 0) {
            if ((id >> 6) < words_) [[likely]]
                bits_of(home.prev)[id >> 6] |= std::uint64_t{1} << (id & 63);
            else
                beyond_.push_back({home.prev, id});
            return;
        }
        const std::uint32_t fill = count % IDS_PER_BLOCK;
        if (fill == 0 && count != 0) [[unlikely]]
            move_on(home);
        home.ids[fill] = id;
        home.count = count + 1;
        if (count + 1 >= threshold_) [[unlikely]]
            to_bitset(set);
    }

    // Set `set` becomes its union with set `theirs` of `other`.
    void absorb(std::size_t set, const DistinctSets& other, std::size_t theirs) {
        const std::uint64_t* their_bits = other.bitset(theirs);
        if (their_bits == nullptr) {
            other.each_listed(theirs, [&](std::uint32_t id) { add(set, id); });
            return;
        }
        if (bitset(set) == nullptr) to_bitset(set);
        std::uint64_t* bits = bits_of(homes_[set].prev);
        for (std::size_t word = 0; word < words_; ++word) bits[word] |= their_bits[word];
        other.each_beyond(theirs, [&](std::uint32_t id) { add(set, id); });
    }

    // Whether the set lists any id, and how many it lists (duplicates included).
    bool lists(std::size_t set) const { return listed(set) != 0; }
    std::size_t listed(std::size_t set) const {
        const std::uint32_t count = homes_[set].count;
        return (count & BITSET) != 0 ? 0 : count;
    }

    // Fetches a set's home ahead of its use.
    void fetch(std::size_t set) const { __builtin_prefetch(homes_.data() + set, 1); }
    // A set's blocks, for fetching them ahead: the newest (0: none), then each one's previous.
    std::uint32_t newest_block(std::size_t set) const { return lists(set) ? homes_[set].prev : 0; }
    std::uint32_t block_before(std::uint32_t number) const { return block_at(number).prev; }
    void fetch_block(std::uint32_t number) const { __builtin_prefetch(&block_at(number)); }

    // The set's bitset of W words, or null while it lists its ids.
    const std::uint64_t* bitset(std::size_t set) const {
        const Home& home = homes_[set];
        return (home.count & BITSET) != 0 ? bits_of(home.prev) : nullptr;
    }
    // Each id the set lists, duplicates included, in no particular order (none for a bitset).
    template <class F>
    void each_listed(std::size_t set, F&& f) const {
        const Home& home = homes_[set];
        const std::uint32_t count = home.count;
        if ((count & BITSET) != 0 || count == 0) return;
        const std::uint32_t in_home = (count - 1) % IDS_PER_BLOCK + 1;
        for (std::uint32_t at = 0; at < in_home; ++at) f(home.ids[at]);
        for (std::uint32_t number = home.prev; number != 0;) {
            const Home& block = block_at(number);
            for (std::uint32_t at = 0; at < IDS_PER_BLOCK; ++at) f(block.ids[at]);
            number = block.prev;
        }
    }
    // Each id of a bitset set past its W words (ids past the dictionary, from a damaged segment).
    template <class F>
    void each_beyond(std::size_t set, F&& f) const {
        const Home& home = homes_[set];
        if ((home.count & BITSET) == 0) return;
        for (const auto& [bitset_index, id] : beyond_)
            if (bitset_index == home.prev) f(id);
    }
    bool any_beyond() const { return !beyond_.empty(); }

private:
    // A set's home, and a block of the arena alike: 14 ids and the number (+ 1; 0: none) of the
    // newest block (in a home) or of the block before (in a block). A home's count is of all the
    // ids it lists; with BITSET set, `prev` is the index of its bitset instead.
    static constexpr std::uint32_t IDS_PER_BLOCK = 14;
    static constexpr std::uint32_t BITSET = std::uint32_t{1} << 31;
    struct alignas(64) Home {
        std::uint32_t count = 0;
        std::uint32_t prev = 0;
        std::uint32_t ids[IDS_PER_BLOCK];
    };
    static_assert(sizeof(Home) == 64);
    // The arena grows by chunks of 256 KiB that never move, so a block's address stays valid.
    // Small chunks: a holder's last chunk is mostly unused, and there is one holder per worker.
    static constexpr std::uint32_t CHUNK_SHIFT = 12;

    Home& block_at(std::uint32_t number) {
        const std::uint32_t index = number - 1;
        return chunks_[index >> CHUNK_SHIFT][index & ((1u << CHUNK_SHIFT) - 1)];
    }
    const Home& block_at(std::uint32_t number) const {
        const std::uint32_t index = number - 1;
        return chunks_[index >> CHUNK_SHIFT][index & ((1u << CHUNK_SHIFT) - 1)];
    }

    // The home's 14 ids moved on into a block, which becomes the newest.
    [[gnu::noinline]] void move_on(Home& home) {
        std::uint32_t number = free_;
        if (number != 0) {
            free_ = block_at(number).prev;
        } else {
            if ((used_ >> CHUNK_SHIFT) >= chunks_.size())
                chunks_.push_back(std::make_unique_for_overwrite<Home[]>(std::size_t{1} << CHUNK_SHIFT));
            number = ++used_;
        }
        Home& block = block_at(number);
        std::memcpy(block.ids, home.ids, sizeof(home.ids));
        block.prev = home.prev;
        home.prev = number;
    }

    // The set's listed ids into a fresh bitset; its blocks go back to the arena.
    [[gnu::noinline]] void to_bitset(std::size_t set) {
        const std::size_t index = new_bitset();
        std::uint64_t* bits = bits_of(index);
        each_listed(set, [&](std::uint32_t id) {
            if ((id >> 6) < words_)
                bits[id >> 6] |= std::uint64_t{1} << (id & 63);
            else
                beyond_.push_back({static_cast<std::uint32_t>(index), id});
        });
        Home& home = homes_[set];
        for (std::uint32_t number = home.prev; number != 0;) {
            Home& block = block_at(number);
            const std::uint32_t prev = block.prev;
            block.prev = free_;
            free_ = number;
            number = prev;
        }
        home.count = BITSET;
        home.prev = static_cast<std::uint32_t>(index);
    }

    std::size_t words_;
    std::size_t threshold_;
    bool direct_ = false;  // see all_bitsets
    Column<Home> homes_;
    std::vector<std::unique_ptr<Home[]>> chunks_;
    std::uint32_t used_ = 0;  // blocks handed out from the arena's end
    std::uint32_t free_ = 0;  // blocks given back, linked by prev (+ 1; 0: none)
    // Bitsets of W words, BITSETS_PER_CHUNK to a chunk: a chunk never moves, so adding a bitset
    // copies none (nor holds an old buffer beside a new one).
    static constexpr std::size_t BITSETS_PER_CHUNK = 64;
    std::vector<std::unique_ptr<std::uint64_t[]>> bit_chunks_;
    std::size_t bitsets_ = 0;

    std::uint64_t* bits_of(std::size_t index) const {
        return bit_chunks_[index / BITSETS_PER_CHUNK].get() + (index % BITSETS_PER_CHUNK) * words_;
    }
    // A fresh bitset of zeros; its index.
    std::size_t new_bitset() {
        const std::size_t index = bitsets_;
        if (index >= BITSET) engine_panic("aggregate: more distinct bitsets than a set's state can name");
        if (index % BITSETS_PER_CHUNK == 0) bit_chunks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(BITSETS_PER_CHUNK * words_));
        std::fill_n(bits_of(index), words_, std::uint64_t{0});
        ++bitsets_;
        return index;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> beyond_;  // (bitset, id) past W words
};

// Counts the distinct ids of a set over several holders (the same set of each): the union of its
// bitsets counted by population count, its listed ids marked in a bitset of W words, each counted
// when its bit is first set, and the marked words cleared again. The marks are one thread's,
// reused from set to set. Past a million entities, a set that lists few ids is sorted
// instead, so that neither marks of many megabytes nor their clearing are paid for small sets.
class DistinctCounter {
public:
    explicit DistinctCounter(std::size_t words) : words_(words) {}

    // Brings the blocks of `sets` into the cache before they are counted: a set's blocks form a
    // chain, each found through the one before, so the chains of many sets are walked side by
    // side, one step of each at a time, and their loads overlap instead of waiting one by one.
    void fetch(std::span<DistinctSets* const> holders, std::span<const std::size_t> sets) {
        chains_.clear();
        for (const DistinctSets* holder : holders)
            for (const std::size_t set : sets)
                if (const std::uint32_t number = holder->newest_block(set); number != 0) chains_.push_back({holder, number});
        while (!chains_.empty()) {
            for (const Chain& chain : chains_) chain.holder->fetch_block(chain.number);
            std::size_t kept = 0;
            for (const Chain& chain : chains_)
                if (const std::uint32_t before = chain.holder->block_before(chain.number); before != 0)
                    chains_[kept++] = {chain.holder, before};
            chains_.resize(kept);
        }
    }

    std::int64_t count(std::span<DistinctSets* const> holders, std::size_t set) {
        const std::uint64_t* first_bits = nullptr;
        bool alone = true;  // no other holder has an id of the set
        for (const DistinctSets* holder : holders) {
            const std::uint64_t* bits = holder->bitset(set);
            if (first_bits == nullptr && bits != nullptr)
                first_bits = bits;
            else if (bits != nullptr || holder->lists(set))
                alone = false;
            if (holder->any_beyond()) alone = false;
        }
        const std::size_t words = words_;
        if (first_bits != nullptr && alone) return popcount_words(first_bits, words);
        std::int64_t total = 0;
        spill_.clear();
        if (first_bits == nullptr && words > MARKS_FREE_WORDS) {
            std::size_t listed = 0;
            for (const DistinctSets* holder : holders) listed += holder->listed(set);
            if (listed < words / 16) {
                for (const DistinctSets* holder : holders)
                    holder->each_listed(set, [&](std::uint32_t id) { spill_.push_back(id); });
                std::ranges::sort(spill_);
                return std::unique(spill_.begin(), spill_.end()) - spill_.begin();
            }
        }
        if (marks_.empty()) marks_.assign(words, 0);
        const auto mark = [&](std::uint32_t id) {
            if ((id >> 6) >= words) [[unlikely]] {
                spill_.push_back(id);  // past the dictionary (a damaged segment)
                return;
            }
            std::uint64_t& word = marks_[id >> 6];
            const std::uint64_t bit = std::uint64_t{1} << (id & 63);
            total += (word & bit) == 0 ? 1 : 0;
            word |= bit;
        };
        if (first_bits != nullptr) {
            // A bitset takes part: every mark is set, then counted and cleared word by word.
            for (const DistinctSets* holder : holders) {
                if (const std::uint64_t* bits = holder->bitset(set))
                    for (std::size_t word = 0; word < words; ++word) marks_[word] |= bits[word];
                holder->each_listed(set, mark);
                holder->each_beyond(set, mark);
            }
            total = popcount_words(marks_.data(), words);
            std::ranges::fill(marks_, std::uint64_t{0});
        } else {
            std::size_t listed = 0;
            for (const DistinctSets* holder : holders) {
                holder->each_listed(set, mark);
                listed += holder->listed(set);
            }
            // Marks are cleared where they were set, or all at once when that is fewer words.
            if (listed >= words / 2) {
                std::ranges::fill(marks_, std::uint64_t{0});
            } else {
                for (const DistinctSets* holder : holders)
                    holder->each_listed(set, [&](std::uint32_t id) {
                        if ((id >> 6) < words) marks_[id >> 6] = 0;
                    });
            }
        }
        if (spill_.empty()) return total;
        std::ranges::sort(spill_);
        return total + (std::unique(spill_.begin(), spill_.end()) - spill_.begin());
    }

private:
    static constexpr std::size_t MARKS_FREE_WORDS = std::size_t{1} << 14;  // 1M entities' marks: 128 KiB
    struct Chain {
        const DistinctSets* holder;
        std::uint32_t number;
    };
    std::size_t words_;
    std::vector<std::uint64_t> marks_;  // W words once needed, all zero between sets
    std::vector<std::uint32_t> spill_;
    std::vector<Chain> chains_;
};

// Where a group's accumulators live in its record of `words` 64-bit words. Word 0 is the row count;
// each stat source in use (vt_s, duration) adds only the words its aggregates read: the number of
// values (duration only: for vt_s every row has one, so it is the row count), a 128-bit sum as low
// and high word (Mean), the minimum and the maximum. Two aggregates of one kind and source share
// their words.
struct RecOps {
    static constexpr std::uint32_t NONE = UINT32_MAX;
    std::size_t words = 1;
    std::uint32_t n[2] = {0, NONE};  // vt_s counts in word 0
    std::uint32_t sum[2] = {NONE, NONE};
    std::uint32_t min[2] = {NONE, NONE};
    std::uint32_t max[2] = {NONE, NONE};
    bool vt_s_used = false;
    bool duration_used = false;

    // The 128-bit sum as two words: the low word with its carry, the sign extension into the high.
    [[gnu::always_inline]] static void add_sum(std::uint64_t* at, std::int64_t value) {
        const auto low = static_cast<std::uint64_t>(value);
        const std::uint64_t before = at[0];
        at[0] = before + low;
        at[1] += static_cast<std::uint64_t>(at[0] < before) + (value < 0 ? UINT64_MAX : 0);
    }
    static __int128 sum_at(const std::uint64_t* at) {
        return static_cast<__int128>((static_cast<unsigned __int128>(at[1]) << 64) | at[0]);
    }

    [[gnu::always_inline]] void add_value(std::uint64_t* rec, std::size_t s, std::int64_t value) const {
        if (sum[s] != NONE) add_sum(rec + sum[s], value);
        if (min[s] != NONE) rec[min[s]] = static_cast<std::uint64_t>(std::min(static_cast<std::int64_t>(rec[min[s]]), value));
        if (max[s] != NONE) rec[max[s]] = static_cast<std::uint64_t>(std::max(static_cast<std::int64_t>(rec[max[s]]), value));
    }

    // One row of the group: its valid-time start and, when it has one, its duration.
    [[gnu::always_inline]] void add(std::uint64_t* rec, std::int64_t start, bool has_duration, std::int64_t duration) const {
        ++rec[0];
        if (vt_s_used) add_value(rec, 0, start);
        if (duration_used && has_duration) {
            ++rec[n[1]];
            add_value(rec, 1, duration);
        }
    }
};

// The accumulators and the roles of the distinct sets. The row loops copy the RecOps part into a
// local: records are updated through 64-bit words, which the compiler must otherwise assume may
// alias the layout's own words and reload them on every row.
struct RecLayout : RecOps {
    std::vector<std::uint8_t> distinct_of;  // the role of each CountDistinct, in request order
    std::size_t distinct_words = 1;         // W: a bitset's words
    std::size_t distinct_threshold = 2;     // 2W: the listed ids at which a set turns into a bitset

    DistinctSets distinct_sets() const { return DistinctSets(distinct_words, distinct_threshold); }

    static RecLayout of(const std::vector<Agg>& aggregates) {
        RecLayout layout;
        const auto take = [&](std::uint32_t& slot, std::size_t width) {
            if (slot != NONE) return;
            slot = static_cast<std::uint32_t>(layout.words);
            layout.words += width;
        };
        for (const Agg& agg : aggregates) {
            if (agg.kind == AggKind::CountDistinct) layout.distinct_of.push_back(agg.of);
            if (agg.kind != AggKind::Min && agg.kind != AggKind::Max && agg.kind != AggKind::Mean) continue;
            const std::size_t s = agg.of == STAT_VT_S ? 0 : 1;
            if (s == 1) take(layout.n[1], 1);
            (s == 0 ? layout.vt_s_used : layout.duration_used) = true;
            if (agg.kind == AggKind::Mean) take(layout.sum[s], 2);
            if (agg.kind == AggKind::Min) take(layout.min[s], 1);
            if (agg.kind == AggKind::Max) take(layout.max[s], 1);
        }
        return layout;
    }

    void init(std::uint64_t* rec) const {
        std::fill(rec, rec + words, std::uint64_t{0});
        for (std::size_t s = 0; s < 2; ++s) {
            if (min[s] != NONE) rec[min[s]] = static_cast<std::uint64_t>(INT64_MAX);
            if (max[s] != NONE) rec[max[s]] = static_cast<std::uint64_t>(INT64_MIN);
        }
    }

    // Exact whatever the order: counts and sums add, min and max are order-free.
    void merge(std::uint64_t* into, const std::uint64_t* from) const {
        into[0] += from[0];
        if (n[1] != NONE) into[n[1]] += from[n[1]];
        for (std::size_t s = 0; s < 2; ++s) {
            if (sum[s] != NONE) {
                unsigned __int128 total = (static_cast<unsigned __int128>(into[sum[s] + 1]) << 64) | into[sum[s]];
                total += (static_cast<unsigned __int128>(from[sum[s] + 1]) << 64) | from[sum[s]];
                into[sum[s]] = static_cast<std::uint64_t>(total);
                into[sum[s] + 1] = static_cast<std::uint64_t>(total >> 64);
            }
            if (min[s] != NONE)
                into[min[s]] = static_cast<std::uint64_t>(
                    std::min(static_cast<std::int64_t>(into[min[s]]), static_cast<std::int64_t>(from[min[s]])));
            if (max[s] != NONE)
                into[max[s]] = static_cast<std::uint64_t>(
                    std::max(static_cast<std::int64_t>(into[max[s]]), static_cast<std::int64_t>(from[max[s]])));
        }
    }
};

// Groups as parallel arrays: keys, `words` record words and D distinct counts per group.
struct Groups {
    std::vector<std::int64_t> key0;
    std::vector<std::int64_t> key1;
    std::vector<std::uint64_t> recs;
    std::vector<std::int64_t> distinct;

    std::size_t size() const { return key0.size(); }
};

// Groups in insertion order, found by key through an open-addressing table of group numbers: for
// keys no dense slot can hold.
class GroupMap {
public:
    explicit GroupMap(const RecLayout& layout) : groups(), sets(layout.distinct_sets()), layout_(&layout) {}

    Groups groups;     // its distinct counts filled by take()
    DistinctSets sets;  // D per group

    std::size_t size() const { return groups.size(); }
    std::uint64_t* rec(std::size_t group) { return groups.recs.data() + group * layout_->words; }

    std::size_t find_or_add(std::int64_t a, std::int64_t b) {
        if ((size() + 1) * 2 > table_.size()) grow();
        std::size_t slot = home(a, b);
        while (true) {
            const std::uint64_t entry = table_[slot];
            if (entry == 0) break;
            const std::size_t group = entry - 1;
            if (groups.key0[group] == a && groups.key1[group] == b) return group;
            slot = (slot + 1) & (table_.size() - 1);
        }
        const std::size_t group = size();
        table_[slot] = group + 1;
        groups.key0.push_back(a);
        groups.key1.push_back(b);
        groups.recs.resize(groups.recs.size() + layout_->words);
        layout_->init(rec(group));
        sets.resize(sets.size() + layout_->distinct_of.size());
        return group;
    }

    // Every group of `other` moved in (new key) or merged into the group already here.
    void merge(GroupMap&& other) {
        const std::size_t d = layout_->distinct_of.size();
        for (std::size_t theirs = 0; theirs < other.size(); ++theirs) {
            const std::size_t mine = find_or_add(other.groups.key0[theirs], other.groups.key1[theirs]);
            layout_->merge(rec(mine), other.rec(theirs));
            for (std::size_t k = 0; k < d; ++k) sets.absorb(mine * d + k, other.sets, theirs * d + k);
        }
    }

    // The groups with their distinct counts; the map is left empty.
    Groups take() {
        DistinctCounter counter(layout_->distinct_words);
        DistinctSets* const holder[] = {&sets};
        groups.distinct.resize(sets.size());
        for (std::size_t set = 0; set < sets.size(); ++set) groups.distinct[set] = counter.count(holder, set);
        sets.clear(0);
        table_.clear();
        return std::move(groups);
    }

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
            std::size_t slot = home(groups.key0[group], groups.key1[group]);
            while (table_[slot] != 0) slot = (slot + 1) & (capacity - 1);
            table_[slot] = group + 1;
        }
    }

    const RecLayout* layout_;
    std::vector<std::uint64_t> table_;  // group + 1, 0 for an empty slot
};

// The dense key space: slot i0 * n[1] + i1 holds the group of keys (base[0] + i0, base[1] + i1),
// i_k < n[k]. Rel types, labels (-1 upwards), endpoint ids below the dictionary size and time
// buckets of a positive stride from 0 to the one of t_b - 1 have one; another key (an endpoint id
// past the dictionary, a bucket outside the window) goes to the map.
struct KeySpace {
    std::int64_t base[2] = {0, 0};
    std::uint64_t n[2] = {1, 1};
    std::uint64_t slots = 1;
    bool dense = false;

    bool slot_of(std::int64_t a, std::int64_t b, std::uint64_t& slot) const {
        const std::uint64_t i0 = static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(base[0]);
        const std::uint64_t i1 = static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(base[1]);
        if (i0 >= n[0] || i1 >= n[1]) return false;
        slot = i0 * n[1] + i1;
        return true;
    }
};

// Dense slots are worth their zeroing when there are few of them or at most one per folded row;
// and all of a call's dense state is capped by bytes, so that a store of many entities (or a fine
// time bucket) with few groups seen never allocates for every possible key: past the cap the
// map's memory grows only with the groups seen.
constexpr std::uint64_t DENSE_SMALL = std::uint64_t{1} << 12;
constexpr std::uint64_t DENSE_MAX_BYTES = std::uint64_t{256} << 20;
// What the cap above (and the split of a fold) counts for each distinct set of a slot: the size
// of a set kept as a list or bitset object of its own, as sets were once kept. Fixed, so that which
// keys get dense slots does not depend on how the sets are kept.
constexpr std::uint64_t DISTINCT_SLOT_BYTES = 56;
// The most bytes a worker's distinct sets may take as bitsets from the start (see aggregate_groups).
constexpr std::uint64_t DIRECT_BITS_MAX_BYTES = std::uint64_t{1} << 20;
// Chunks of rows per worker thread of a fold.
constexpr std::size_t CHUNKS_PER_WORKER = 4;
// Up to 4 MiB of dense records (fold_split), each worker folds its rows into records of its own:
// the workers' records together stay in the last-level cache, and the row loop fetches each record
// ahead. Past that, records no longer fit and rows that land on random groups would miss on nearly
// every update: the workers route their rows to partitions of the slots instead, and each
// partition is folded once, by one worker, into records that fit a core's share of the caches.
// Up to this many bytes of records, a fold on one thread updates them row by row (see fold_pieces).
constexpr std::uint64_t FUSED_DIRECT_MAX_BYTES = std::uint64_t{8} << 20;
// Past this many bytes of records the row loop fetches each row's record ahead of its update, and
// how many rows ahead.
constexpr std::uint64_t PREFETCH_FROM_BYTES = std::uint64_t{512} << 10;
constexpr std::ptrdiff_t PREFETCH_ROWS_AHEAD = 16;

// The bytes one dense slot takes: its record words and its distinct sets.
std::uint64_t slot_bytes(const RecLayout& layout) {
    return layout.words * sizeof(std::uint64_t) + layout.distinct_of.size() * DISTINCT_SLOT_BYTES;
}

KeySpace key_space(const AggregateRequest& request, const RecLayout& layout, std::size_t rel_count,
                   std::size_t label_count, std::size_t entity_count, std::uint64_t rows) {
    KeySpace space;
    unsigned __int128 slots = 1;
    const std::uint64_t max_slots = DENSE_MAX_BYTES / slot_bytes(layout);
    for (std::size_t dim_index = 0; dim_index < request.group_by.size(); ++dim_index) {
        const Dim& dim = request.group_by[dim_index];
        std::uint64_t n = 0;
        switch (dim.kind) {
            case DimKind::TimeBucket: {
                if (dim.stride <= 0 || request.t_b <= request.t_a) return space;
                const __int128 span = static_cast<__int128>(request.t_b) - request.t_a - 1;
                n = static_cast<std::uint64_t>(std::min<__int128>(span / dim.stride + 1, max_slots + 1));
                break;
            }
            case DimKind::RelType:
                n = rel_count;
                break;
            case DimKind::Endpoint:
                n = entity_count;
                break;
            case DimKind::Label:
                space.base[dim_index] = -1;
                n = label_count + 1;
                break;
        }
        space.n[dim_index] = std::max<std::uint64_t>(n, 1);
        slots *= space.n[dim_index];
        if (slots > max_slots) return space;
    }
    space.slots = static_cast<std::uint64_t>(slots);
    space.dense = space.slots <= DENSE_SMALL || space.slots <= rows;
    return space;
}

// A chunk's groups: dense slots (a group exists when its count is non-zero) and the map.
struct Partial {
    std::vector<std::uint64_t> recs;  // slots * words when the chunk folds into its own slots
    DistinctSets distinct;            // slots * D likewise
    GroupMap map;

    explicit Partial(const RecLayout& layout) : distinct(layout.distinct_sets()), map(layout) {}
};

// What every fold worker reads, shared read-only.
struct FoldInput {
    const std::vector<ScanTarget>* targets = nullptr;
    const AggregateRequest* request = nullptr;
    const RecLayout* layout = nullptr;
    const KeySpace* space = nullptr;  // set by aggregate_groups
    std::size_t entity_count = 0;
    const std::vector<std::string>* rel_names = nullptr;
    const LabelIndex* labels = nullptr;  // present exactly with a Label dimension
    // The listed ids at which a distinct set of a worker's dense slots turns into a bitset: 2W,
    // or 1 when its sets are bitsets from the start (see aggregate_groups).
    std::size_t dense_threshold = 2;
    bool wants_rel = false;
    // Copies of a chunk's slots that consecutive rows update in turn, merged when the chunk ends:
    // with few groups, consecutive rows often update the same record, and each update would
    // otherwise wait for the one before it. A power of two; 1 outside the fused loop.
    std::size_t replicas = 1;
};

// Copies of a worker's dense slots for consecutive rows to update in turn (see FoldInput::replicas),
// while all of them stay small; only without distinct sets.
std::size_t replicas_for(const KeySpace& space, const RecLayout& layout) {
    constexpr std::size_t REPLICAS = 4;
    constexpr std::uint64_t REPLICA_MAX_BYTES = std::uint64_t{128} << 10;
    const bool small = space.slots * slot_bytes(layout) * REPLICAS <= REPLICA_MAX_BYTES;
    return space.dense && layout.distinct_of.empty() && small ? REPLICAS : 1;
}

// A worker's dense slots (with their replicas), every record empty.
void open_slots(Partial& partial, const FoldInput& in) {
    const KeySpace& space = *in.space;
    const RecLayout& layout = *in.layout;
    if (!space.dense) return;
    const std::uint64_t slots = space.slots * in.replicas;
    partial.recs.resize(slots * layout.words);
    for (std::uint64_t slot = 0; slot < slots; ++slot) layout.init(partial.recs.data() + slot * layout.words);
    partial.distinct = DistinctSets(layout.distinct_words, in.dense_threshold);
    if (in.dense_threshold == 1)
        partial.distinct.all_bitsets(space.slots * layout.distinct_of.size());
    else
        partial.distinct.resize(space.slots * layout.distinct_of.size());
}

// A worker's replicas merged into its first copy of the slots, the others dropped.
void join_replicas(Partial& partial, const FoldInput& in) {
    const KeySpace& space = *in.space;
    const RecLayout& layout = *in.layout;
    if (!space.dense || in.replicas < 2) return;
    for (std::size_t replica = 1; replica < in.replicas; ++replica)
        for (std::uint64_t slot = 0; slot < space.slots; ++slot) {
            const std::uint64_t* from = partial.recs.data() + (replica * space.slots + slot) * layout.words;
            if (from[0] != 0) layout.merge(partial.recs.data() + slot * layout.words, from);
        }
    partial.recs.resize(space.slots * layout.words);
}

// Rows [begin, end) of one selection, positions at or after its first row with vt_s >= t_a.
struct Piece {
    std::size_t selection = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The bucket of the last row and the starts that share it: rows of a segment come in vt_s order, so
// one division serves a run of rows.
struct BucketCache {
    std::int64_t lo = 1;
    std::int64_t hi = 0;  // exclusive; empty while lo >= hi
    std::int64_t bucket = 0;

    [[gnu::always_inline]] std::int64_t of(std::int64_t start, std::int64_t t_a, std::int64_t stride) {
        if (start >= lo && start < hi) return bucket;
        // Replaced by value, so that the cache's address never escapes the row loop.
        *this = holding(start, t_a, stride);
        return bucket;
    }

    [[gnu::noinline]] static BucketCache holding(std::int64_t start, std::int64_t t_a, std::int64_t stride) {
        BucketCache cache;
        cache.bucket = time_bucket_of(start, t_a, stride);
        const __int128 diff = static_cast<__int128>(start) - t_a;
        if (stride > 0 && diff >= 0 && diff <= INT64_MAX) {
            // Every start in [lo, hi) has an unwrapped difference in [q * stride, (q + 1) * stride).
            const __int128 first = static_cast<__int128>(t_a) + static_cast<__int128>(cache.bucket) * stride;
            const __int128 past = std::min({first + stride, static_cast<__int128>(t_a) + INT64_MAX + 1,
                                            static_cast<__int128>(INT64_MAX)});
            cache.lo = static_cast<std::int64_t>(first);
            cache.hi = static_cast<std::int64_t>(past);
        }
        return cache;
    }
};

constexpr std::size_t BATCH = 512;
constexpr std::uint64_t NO_SLOT = UINT64_MAX;

// One batch of rows as the accumulators see them: each row's dense slot (NO_SLOT: its key, in
// key0/key1, goes to the map), valid-time start, duration (only when it has one: an open-ended
// version has none) and the dense ids the distinct sets take, D per row.
struct Batch {
    std::size_t count = 0;
    std::uint64_t slot[BATCH];
    std::int64_t key0[BATCH];
    std::int64_t key1[BATCH];
    std::int64_t start[BATCH];
    std::int64_t duration[BATCH];
    std::uint8_t has_duration[BATCH];
    std::vector<std::uint32_t> ids;  // row i, set k at i * D + k
};

// Folds rows straight into a chunk's own groups: its dense slots, or its map.
struct DirectSink {
    const RecLayout* layout;
    const FoldInput* in;
    Partial* out;

    template <bool VtS, bool Duration>
    void dense_run(const Batch& batch) const {
        const std::size_t words = layout->words;
        std::uint64_t* recs = out->recs.data();
        // With many groups the records are scattered: each is fetched a few rows ahead of its use.
        constexpr std::size_t AHEAD = 16;
        for (std::size_t i = 0; i < std::min(batch.count, AHEAD); ++i)
            if (batch.slot[i] != NO_SLOT) __builtin_prefetch(recs + batch.slot[i] * words, 1);
        for (std::size_t i = 0; i < batch.count; ++i) {
            if (i + AHEAD < batch.count && batch.slot[i + AHEAD] != NO_SLOT)
                __builtin_prefetch(recs + batch.slot[i + AHEAD] * words, 1);
            if (batch.slot[i] == NO_SLOT) continue;
            std::uint64_t* rec = recs + batch.slot[i] * words;
            ++rec[0];
            if constexpr (VtS) layout->add_value(rec, 0, batch.start[i]);
            if constexpr (Duration) {
                if (batch.has_duration[i] != 0) {
                    ++rec[layout->n[1]];
                    layout->add_value(rec, 1, batch.duration[i]);
                }
            }
        }
    }

    // What the fused loop keeps in registers: one row goes to its dense slot, or with NO_SLOT by
    // its key to the map; `ends` are its source and destination ids, which its distinct sets take.
    // `lane` picks one of the chunk's replicas of its slots (see FoldInput::replicas).
    struct Local {
        RecOps ops;
        std::uint64_t* recs;
        std::uint64_t lane_words;
        const DirectSink* sink;
        DistinctSets* sets;
        const std::uint8_t* roles;
        std::size_t n_distinct;

        [[gnu::always_inline]] void row(std::uint64_t slot, std::int64_t key0, std::int64_t key1, std::int64_t start,
                                        bool has_duration, std::int64_t duration, std::size_t lane,
                                        const std::uint32_t* ends) const {
            if (slot == NO_SLOT) [[unlikely]] {
                sink->to_map(key0, key1, start, has_duration, duration, ends);
                return;
            }
            ops.add(recs + lane * lane_words + slot * ops.words, start, has_duration, duration);
            for (std::size_t k = 0; k < n_distinct; ++k) sets->add(slot * n_distinct + k, ends[roles[k]]);
        }
        bool scattered() const { return lane_words * sizeof(std::uint64_t) > PREFETCH_FROM_BYTES; }
        void fetch(std::uint64_t slot) const { __builtin_prefetch(recs + slot * ops.words, 1); }
        void fetch_sets(std::uint64_t slot) const {
            for (std::size_t k = 0; k < n_distinct; ++k) sets->fetch(slot * n_distinct + k);
        }
    };
    Local local() const {
        return Local{*layout, out->recs.data(), in->space->slots * layout->words, this, &out->distinct,
                     layout->distinct_of.data(), layout->distinct_of.size()};
    }

    [[gnu::noinline]] void to_map(std::int64_t key0, std::int64_t key1, std::int64_t start, bool has_duration,
                                  std::int64_t duration, const std::uint32_t* ends) const {
        const std::size_t group = out->map.find_or_add(key0, key1);
        layout->add(out->map.rec(group), start, has_duration, duration);
        const std::size_t n_distinct = layout->distinct_of.size();
        for (std::size_t k = 0; k < n_distinct; ++k) out->map.sets.add(group * n_distinct + k, ends[layout->distinct_of[k]]);
    }

    void take(const Batch& batch) const {
        const std::size_t n_distinct = layout->distinct_of.size();
        if (!out->recs.empty()) {
            if (layout->vt_s_used)
                layout->duration_used ? dense_run<true, true>(batch) : dense_run<true, false>(batch);
            else
                layout->duration_used ? dense_run<false, true>(batch) : dense_run<false, false>(batch);
            if (n_distinct > 0) {
                for (std::size_t i = 0; i < batch.count; ++i) {
                    if (batch.slot[i] == NO_SLOT) continue;
                    for (std::size_t k = 0; k < n_distinct; ++k)
                        out->distinct.add(batch.slot[i] * n_distinct + k, batch.ids[i * n_distinct + k]);
                }
            }
        }
        for (std::size_t i = 0; i < batch.count; ++i) {
            if (batch.slot[i] != NO_SLOT) continue;
            const std::size_t group = out->map.find_or_add(batch.key0[i], batch.key1[i]);
            layout->add(out->map.rec(group), batch.start[i], batch.has_duration[i] != 0, batch.duration[i]);
            for (std::size_t k = 0; k < n_distinct; ++k) out->map.sets.add(group * n_distinct + k, batch.ids[i * n_distinct + k]);
        }
    }
};

// How rows routed to partitions are written: one entry of `width` words per row, in its
// partition's list: the slot (bit 63 set when the row has a duration), then the duration, the
// start and the distinct ids, each only when some aggregate reads it.
struct EntryShape {
    std::uint32_t shift = 0;  // partition of a slot: slot >> shift
    std::size_t partitions = 1;
    std::size_t width = 1;
    static constexpr std::uint64_t HAS_DURATION = std::uint64_t{1} << 63;

    // Partitions whose records fit a core's cache share, and enough of them that `workers`
    // taking them one at a time finish close together: at least four per worker while a
    // partition keeps 32 KiB of records or more.
    static EntryShape of(const RecLayout& layout, const KeySpace& space, std::size_t workers) {
        EntryShape shape;
        const std::uint64_t bytes = slot_bytes(layout);
        const std::uint64_t share =
            std::min(fold_split().partition_bytes,
                     std::max<std::uint64_t>(space.slots * bytes / (4 * std::max<std::size_t>(workers, 1)), std::uint64_t{32} << 10));
        const std::uint64_t per_partition = std::max<std::uint64_t>(1, share / bytes);
        shape.shift = static_cast<std::uint32_t>(std::bit_width(per_partition) - 1);
        shape.partitions = static_cast<std::size_t>(((space.slots - 1) >> shape.shift) + 1);
        shape.width = 1 + (layout.duration_used ? 1 : 0) + (layout.vt_s_used ? 1 : 0) + layout.distinct_of.size();
        return shape;
    }
};

// One chunk's partition lists. Each partition has a region of one buffer, sized for an even
// spread of the chunk's rows, and a spill list for what outgrows it. The buffer is one large
// allocation, which the pool of large buffers hands from call to call already faulted in; a
// list per partition would be mapped and faulted afresh on every call.
struct RouteLists {
    Column<std::uint64_t> buffer;
    std::vector<std::uint64_t*> next;  // each region's first free word
    std::vector<std::uint64_t*> stop;  // each region's end
    std::size_t region = 0;            // words per region
    std::vector<std::vector<std::uint64_t>> spill;

    void plan(const EntryShape& shape, std::uint64_t rows) {
        region = static_cast<std::size_t>((rows / shape.partitions + rows / shape.partitions / 8 + 16) * shape.width);
        buffer.resize(region * shape.partitions);
        next.resize(shape.partitions);
        stop.resize(shape.partitions);
        spill.resize(shape.partitions);
        for (std::size_t partition = 0; partition < shape.partitions; ++partition) {
            next[partition] = buffer.data() + partition * region;
            stop[partition] = next[partition] + region;
        }
    }
    // Room for one entry of `width` words at the end of `partition`'s list.
    [[gnu::always_inline]] std::uint64_t* place(std::size_t partition, std::size_t width) {
        std::uint64_t* at = next[partition];
        if (static_cast<std::size_t>(stop[partition] - at) >= width) [[likely]] {
            next[partition] = at + width;
            return at;
        }
        std::vector<std::uint64_t>& list = spill[partition];
        list.resize(list.size() + width);
        return list.data() + list.size() - width;
    }
    // `partition`'s list: its region's entries, then its spill.
    std::array<std::span<const std::uint64_t>, 2> list(std::size_t partition) const {
        const std::uint64_t* first = buffer.data() + partition * region;
        return {std::span<const std::uint64_t>(first, next[partition]), std::span<const std::uint64_t>(spill[partition])};
    }
};

// Routes rows with a dense slot to their partition's list; rows without one go to the chunk's map.
struct PartitionSink {
    const EntryShape* shape;
    DirectSink direct;  // for rows without a slot (the chunk's map)
    RouteLists* lists;

    struct Local {
        RecOps ops;
        std::uint32_t shift;
        std::size_t width;
        RouteLists* lists;
        const DirectSink* direct;
        const std::uint8_t* roles;
        std::size_t n_distinct;

        [[gnu::always_inline]] void row(std::uint64_t slot, std::int64_t key0, std::int64_t key1, std::int64_t start,
                                        bool has_duration, std::int64_t duration, std::size_t,
                                        const std::uint32_t* ends) const {
            if (slot == NO_SLOT) [[unlikely]] {
                direct->to_map(key0, key1, start, has_duration, duration, ends);
                return;
            }
            std::uint64_t* entry = lists->place(static_cast<std::size_t>(slot >> shift), width);
            *entry++ = slot | (has_duration ? EntryShape::HAS_DURATION : 0);
            if (ops.duration_used) *entry++ = static_cast<std::uint64_t>(duration);
            if (ops.vt_s_used) *entry++ = static_cast<std::uint64_t>(start);
            for (std::size_t k = 0; k < n_distinct; ++k) *entry++ = ends[roles[k]];
        }
        // Appends go to the ends of a few lists, which stay in cache.
        static bool scattered() { return false; }
        static void fetch(std::uint64_t) {}
        static void fetch_sets(std::uint64_t) {}
    };
    Local local() const {
        return Local{*direct.layout, shape->shift, shape->width, lists, &direct, direct.layout->distinct_of.data(),
                     direct.layout->distinct_of.size()};
    }

    void take(const Batch& batch) const {
        const RecLayout& layout = *direct.layout;
        const std::size_t n_distinct = layout.distinct_of.size();
        bool unslotted = false;
        for (std::size_t i = 0; i < batch.count; ++i) {
            const std::uint64_t slot = batch.slot[i];
            if (slot == NO_SLOT) {
                unslotted = true;
                continue;
            }
            std::uint64_t* entry = lists->place(static_cast<std::size_t>(slot >> shape->shift), shape->width);
            *entry++ = slot | (batch.has_duration[i] != 0 ? EntryShape::HAS_DURATION : 0);
            if (layout.duration_used) *entry++ = static_cast<std::uint64_t>(batch.duration[i]);
            if (layout.vt_s_used) *entry++ = static_cast<std::uint64_t>(batch.start[i]);
            for (std::size_t k = 0; k < n_distinct; ++k) *entry++ = batch.ids[i * n_distinct + k];
        }
        if (!unslotted) return;
        // Only rows of damaged segments (an endpoint id past the dictionary) get here.
        Batch rest;
        rest.ids.resize(BATCH * n_distinct);
        for (std::size_t i = 0; i < batch.count; ++i) {
            if (batch.slot[i] != NO_SLOT) continue;
            const std::size_t at = rest.count++;
            rest.slot[at] = NO_SLOT;
            rest.key0[at] = batch.key0[i];
            rest.key1[at] = batch.key1[i];
            rest.start[at] = batch.start[i];
            rest.duration[at] = batch.duration[i];
            rest.has_duration[at] = batch.has_duration[i];
            for (std::size_t k = 0; k < n_distinct; ++k) rest.ids[at * n_distinct + k] = batch.ids[i * n_distinct + k];
        }
        direct.take(rest);
    }
};

// How the fused loop computes one key slot; the kinds are template arguments, so that each
// combination of dimensions gets a loop of its own with no per-row dispatch.
enum class KeyKind : std::uint8_t { None, Bucket, Rel, Ids, Label };

KeyKind key_kind(const Dim& dim) {
    switch (dim.kind) {
        case DimKind::TimeBucket: return KeyKind::Bucket;
        case DimKind::RelType: return KeyKind::Rel;
        case DimKind::Endpoint: return KeyKind::Ids;
        case DimKind::Label: return KeyKind::Label;
    }
    return KeyKind::None;
}

// The columns of one segment that the fused loop reads.
struct RunColumns {
    const std::int64_t* vt_s = nullptr;
    const std::int64_t* vt_e = nullptr;  // null when elided
    bool vt_e_elided = false;
    const std::uint16_t* rel_code = nullptr;
    const std::uint32_t* rel_index = nullptr;  // the segment's rel codes as rel_names indices
    std::size_t rel_count = 0;
    const std::uint32_t* ids[2] = {nullptr, nullptr};  // per dimension: its endpoint's column
    std::size_t rows = 0;                               // the rows every column holds
    const std::filesystem::path* path = nullptr;
    const std::uint32_t* ends[2] = {nullptr, nullptr};  // src_id and dst_id, for the distinct sets
};

// The columns of one segment that a fold reads, each as long as the segment's rows say; `rows` is
// the shortest of them (a guard: segment open checked each holds every row, and a selection holds
// only rows below that).
struct FoldColumns {
    std::span<const std::int64_t> vt_s;
    std::span<const std::int64_t> vt_e;  // empty when elided
    std::span<const std::uint32_t> src_id;
    std::span<const std::uint32_t> dst_id;
    std::span<const std::uint16_t> rel_code;  // read only with a RelType dimension
    std::size_t rows = 0;

    // In the order the fold reads them, so that the first one missing is the one reported; with a
    // RelType dimension `rel_index` becomes the segment's rel codes as indices of in.rel_names.
    static Result<FoldColumns> of(const FoldInput& in, const Segment& segment, std::vector<std::uint32_t>& rel_index) {
        FoldColumns columns;
        const SegmentHeader& header = segment.header;
        columns.vt_s = VORP_TRY(segment.edges.vt_s.get());
        if (!header.vt_e_elided) columns.vt_e = VORP_TRY(segment.edges.vt_e.get());
        columns.src_id = VORP_TRY(segment.edges.src_id.get());
        columns.dst_id = VORP_TRY(segment.edges.dst_id.get());
        if (in.wants_rel) {
            columns.rel_code = VORP_TRY(segment.edges.rel_code.get());
            rel_index.clear();
            for (const std::string& name : header.rel_types)
                rel_index.push_back(
                    static_cast<std::uint32_t>(std::ranges::lower_bound(*in.rel_names, name) - in.rel_names->begin()));
        }
        columns.rows = std::min({columns.vt_s.size(), columns.src_id.size(), columns.dst_id.size()});
        if (!header.vt_e_elided) columns.rows = std::min(columns.rows, columns.vt_e.size());
        if (in.wants_rel) columns.rows = std::min(columns.rows, columns.rel_code.size());
        return columns;
    }

    // What the one-pass row loop reads.
    RunColumns run(const FoldInput& in, const Segment& segment, const std::vector<std::uint32_t>& rel_index) const {
        RunColumns columns{vt_s.data(), vt_e.data(), segment.header.vt_e_elided, rel_code.data(), rel_index.data(),
                           rel_index.size(), {}, rows, &segment.path};
        const std::vector<Dim>& dims = in.request->group_by;
        for (std::size_t dim_index = 0; dim_index < dims.size(); ++dim_index)
            columns.ids[dim_index] = dims[dim_index].role == ROLE_SRC ? src_id.data() : dst_id.data();
        columns.ends[ROLE_SRC] = src_id.data();
        columns.ends[ROLE_DST] = dst_id.data();
        return columns;
    }
};

// False only for a rel_code past its segment's table.
template <KeyKind K>
[[gnu::always_inline]] inline bool key_of(std::size_t dim_index, const FoldInput& in, const RunColumns& columns,
                                          BucketCache& bucket, std::int64_t t_a, std::int64_t stride, std::uint32_t row,
                                          std::int64_t start, std::int64_t& key) {
    if constexpr (K == KeyKind::Bucket) {
        key = bucket.of(start, t_a, stride);
    } else if constexpr (K == KeyKind::Rel) {
        const std::uint16_t code = columns.rel_code[row];
        if (code >= columns.rel_count) return false;
        key = columns.rel_index[code];
    } else if constexpr (K == KeyKind::Ids) {
        key = columns.ids[dim_index][row];
    } else if constexpr (K == KeyKind::Label) {
        key = in.labels->lookup(columns.ids[dim_index][row], start);
    }
    return true;
}

// Rows [first, last) of one selection through the sink, one pass per row. The first fault in row
// order ends the fold (within a row, the row bound before the dimensions in their order). Every
// value the loop reads more than once is a local: the record updates go through 64-bit words, and
// the compiler would otherwise reload whatever they might alias (the columns' row count, the key
// space, the bucket caches, the window start) after each one.
template <KeyKind K0, KeyKind K1, class Sink>
Status fold_run(const FoldInput& in, const RunColumns& columns_in, BucketCache* buckets, const std::uint32_t* first,
                const std::uint32_t* last, const Sink& sink) {
    const KeySpace space = *in.space;
    const RunColumns columns = columns_in;
    const auto out = sink.local();
    const bool needs_end = out.ops.duration_used;
    bool wants_end[2] = {false, false};
    for (const std::uint8_t role : in.layout->distinct_of) wants_end[role] = true;
    const bool wants_sets = !in.layout->distinct_of.empty();
    const std::size_t lanes = in.replicas - 1;  // a power of two minus one
    const std::int64_t t_a = in.request->t_a;
    const std::size_t dims = in.request->group_by.size();
    const std::int64_t stride0 = dims > 0 ? in.request->group_by[0].stride : 0;
    const std::int64_t stride1 = dims > 1 ? in.request->group_by[1].stride : 0;
    BucketCache bucket0 = buckets[0];
    BucketCache bucket1 = buckets[1];
    const auto keep_buckets = [&] {
        buckets[0] = bucket0;
        buckets[1] = bucket1;
    };
    std::size_t lane = 0;
    // Records scattered over more than a core's cache are fetched a few rows ahead: the slot of a
    // later row follows from its endpoint ids and rel code alone (a time bucket is taken as the
    // current one). Only an address is formed; a wrong guess costs a useless fetch, never a result.
    const bool ahead = (K0 == KeyKind::Ids || K1 == KeyKind::Ids) && out.scattered();
    const auto key_ahead = [&]<KeyKind K>(std::size_t dim_index, std::uint32_t row, const BucketCache& bucket) -> std::int64_t {
        if constexpr (K == KeyKind::Ids) return columns.ids[dim_index][row];
        if constexpr (K == KeyKind::Rel) {
            const std::uint16_t code = columns.rel_code[row];
            return code < columns.rel_count ? columns.rel_index[code] : 0;
        }
        if constexpr (K == KeyKind::Bucket) return bucket.bucket;
        return 0;
    };
    for (const std::uint32_t* at = first; at != last; ++at) {
        if (ahead && last - at > PREFETCH_ROWS_AHEAD) {
            const std::uint32_t later = at[PREFETCH_ROWS_AHEAD];
            std::uint64_t slot = 0;
            if (later < columns.rows &&
                space.slot_of(key_ahead.template operator()<K0>(0, later, bucket0),
                              key_ahead.template operator()<K1>(1, later, bucket1), slot))
                out.fetch(slot);
            // A distinct set's home is fetched further ahead: its update reads the home first.
            if (wants_sets && last - at > 2 * PREFETCH_ROWS_AHEAD) {
                const std::uint32_t farther = at[2 * PREFETCH_ROWS_AHEAD];
                if (farther < columns.rows &&
                    space.slot_of(key_ahead.template operator()<K0>(0, farther, bucket0),
                                  key_ahead.template operator()<K1>(1, farther, bucket1), slot))
                    out.fetch_sets(slot);
            }
        }
        const std::uint32_t row = *at;
        if (row >= columns.rows) [[unlikely]] {
            keep_buckets();
            return fail(EngineError::corrupt(fmt::format("row {} is past a column of the segment", row)).at_file(*columns.path));
        }
        const std::int64_t start = columns.vt_s[row];
        std::int64_t key[2] = {0, 0};
        if constexpr (K0 != KeyKind::None) {
            if (!key_of<K0>(0, in, columns, bucket0, t_a, stride0, row, start, key[0])) [[unlikely]] {
                keep_buckets();
                return fail(EngineError::corrupt(fmt::format("rel_code {} has no entry", columns.rel_code[row]))
                                .at_file(*columns.path));
            }
        }
        if constexpr (K1 != KeyKind::None) {
            if (!key_of<K1>(1, in, columns, bucket1, t_a, stride1, row, start, key[1])) [[unlikely]] {
                keep_buckets();
                return fail(EngineError::corrupt(fmt::format("rel_code {} has no entry", columns.rel_code[row]))
                                .at_file(*columns.path));
            }
        }
        std::uint64_t slot = NO_SLOT;
        if (!space.slot_of(key[0], key[1], slot)) slot = NO_SLOT;
        bool has_duration = false;
        std::int64_t duration = 0;
        if (needs_end) {
            // An open-ended version has no duration. The difference wraps rather than overflow
            // for ends far below starts.
            const std::int64_t end = columns.vt_e_elided ? vt_s_plus_one(start) : columns.vt_e[row];
            has_duration = end < OPEN_END;
            duration = static_cast<std::int64_t>(static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start));
        }
        std::uint32_t ends[2] = {0, 0};
        if (wants_end[ROLE_SRC]) ends[ROLE_SRC] = columns.ends[ROLE_SRC][row];
        if (wants_end[ROLE_DST]) ends[ROLE_DST] = columns.ends[ROLE_DST][row];
        out.row(slot, key[0], key[1], start, has_duration, duration, lane, ends);
        lane = (lane + 1) & lanes;
    }
    keep_buckets();
    return ok();
}

template <KeyKind K0, class Sink>
Status fold_run_second(KeyKind k1, const FoldInput& in, const RunColumns& columns, BucketCache* buckets,
                       const std::uint32_t* first, const std::uint32_t* last, const Sink& sink) {
    switch (k1) {
        case KeyKind::None: return fold_run<K0, KeyKind::None>(in, columns, buckets, first, last, sink);
        case KeyKind::Bucket: return fold_run<K0, KeyKind::Bucket>(in, columns, buckets, first, last, sink);
        case KeyKind::Rel: return fold_run<K0, KeyKind::Rel>(in, columns, buckets, first, last, sink);
        case KeyKind::Ids: return fold_run<K0, KeyKind::Ids>(in, columns, buckets, first, last, sink);
        case KeyKind::Label: return fold_run<K0, KeyKind::Label>(in, columns, buckets, first, last, sink);
    }
    return ok();
}

template <class Sink>
Status fold_run_any(KeyKind k0, KeyKind k1, const FoldInput& in, const RunColumns& columns, BucketCache* buckets,
                    const std::uint32_t* first, const std::uint32_t* last, const Sink& sink) {
    switch (k0) {
        case KeyKind::None: return fold_run_second<KeyKind::None>(k1, in, columns, buckets, first, last, sink);
        case KeyKind::Bucket: return fold_run_second<KeyKind::Bucket>(k1, in, columns, buckets, first, last, sink);
        case KeyKind::Rel: return fold_run_second<KeyKind::Rel>(k1, in, columns, buckets, first, last, sink);
        case KeyKind::Ids: return fold_run_second<KeyKind::Ids>(k1, in, columns, buckets, first, last, sink);
        case KeyKind::Label: return fold_run_second<KeyKind::Label>(k1, in, columns, buckets, first, last, sink);
    }
    return ok();
}

template <class Sink>
constexpr bool sink_is_direct() {
    return std::is_same_v<Sink, DirectSink>;
}

// Folds the pieces into the sink, rows in order; the first fault in that order is the error.
template <class Sink>
Status fold_pieces(const FoldInput& in, std::span<const Piece> pieces, std::span<const Selection> selections,
                   const Sink& sink) {
    const AggregateRequest& request = *in.request;
    const RecLayout& layout = *in.layout;
    const KeySpace& space = *in.space;
    const std::size_t dims = request.group_by.size();
    const std::size_t n_distinct = layout.distinct_of.size();
    const bool needs_end = layout.duration_used;
    std::vector<std::uint32_t> rel_index;
    auto batch = std::make_unique<Batch>();
    batch->ids.resize(BATCH * n_distinct);
    std::int64_t* keys[2] = {batch->key0, batch->key1};
    BucketCache buckets[2];
    // Without distinct sets every row needs only its key and two values: one pass per row, when
    // the records it updates stay in the last-level cache (the core overlaps the misses of
    // consecutive rows on its own; a 100k-group fold ran about a fifth faster this way than in
    // batches) or it only appends to partition lists. Updates scattered over more memory than that
    // go through batches, whose records are fetched ahead.
    const bool fused = space.dense && (in.replicas > 1 || !sink_is_direct<Sink>() ||
                                       space.slots * slot_bytes(layout) <= FUSED_DIRECT_MAX_BYTES);
    KeyKind kinds[2] = {KeyKind::None, KeyKind::None};
    for (std::size_t dim_index = 0; dim_index < dims; ++dim_index) kinds[dim_index] = key_kind(request.group_by[dim_index]);
    for (const Piece& piece : pieces) {
        VORP_TRY(interruption_point());
        const Selection& selection = selections[piece.selection];
        const Segment& segment = *(*in.targets)[selection.target].segment;
        const SegmentHeader& header = segment.header;
        const FoldColumns fold_columns = VORP_TRY(FoldColumns::of(in, segment, rel_index));
        const auto [vt_s, vt_e, src_id, dst_id, rel_code, rows] = fold_columns;
        if (fused) {
            VORP_TRY(fold_run_any(kinds[0], kinds[1], in, fold_columns.run(in, segment, rel_index), buckets,
                                  selection.rows.data() + piece.begin, selection.rows.data() + piece.end, sink));
            continue;
        }
        for (std::size_t at = piece.begin; at < piece.end;) {
            if (at != piece.begin) VORP_TRY(interruption_point());
            const std::uint32_t* row_of = selection.rows.data() + at;
            std::size_t count = std::min(BATCH, piece.end - at);
            at += count;
            // The first fault of the batch, in row order and, within a row, the row bound before
            // the dimensions in their order; the rows before it are folded, then it is reported.
            std::optional<EngineError> fault;
            for (std::size_t i = 0; i < count; ++i) {
                if (row_of[i] >= rows) {
                    fault = EngineError::corrupt(fmt::format("row {} is past a column of the segment", row_of[i]))
                                .at_file(segment.path);
                    count = i;
                    break;
                }
            }
            for (std::size_t dim_index = 0; dim_index < dims; ++dim_index) {
                const Dim& dim = request.group_by[dim_index];
                std::int64_t* key = keys[dim_index];
                switch (dim.kind) {
                    case DimKind::TimeBucket: {
                        BucketCache& cache = buckets[dim_index];
                        for (std::size_t i = 0; i < count; ++i) key[i] = cache.of(vt_s[row_of[i]], request.t_a, dim.stride);
                        break;
                    }
                    case DimKind::RelType:
                        for (std::size_t i = 0; i < count; ++i) {
                            const std::uint16_t code = rel_code[row_of[i]];
                            if (code >= rel_index.size()) {
                                fault = EngineError::corrupt(fmt::format("rel_code {} has no entry", code)).at_file(segment.path);
                                count = i;
                                break;
                            }
                            key[i] = rel_index[code];
                        }
                        break;
                    case DimKind::Endpoint: {
                        const std::uint32_t* ids = dim.role == ROLE_SRC ? src_id.data() : dst_id.data();
                        for (std::size_t i = 0; i < count; ++i) key[i] = ids[row_of[i]];
                        break;
                    }
                    case DimKind::Label: {
                        const std::uint32_t* ids = dim.role == ROLE_SRC ? src_id.data() : dst_id.data();
                        for (std::size_t i = 0; i < count; ++i) key[i] = in.labels->lookup(ids[row_of[i]], vt_s[row_of[i]]);
                        break;
                    }
                }
            }
            for (std::size_t dim_index = dims; dim_index < MAX_GROUP_DIMS; ++dim_index)
                std::fill(keys[dim_index], keys[dim_index] + count, std::int64_t{0});
            batch->count = count;
            if (space.dense) {
                for (std::size_t i = 0; i < count; ++i)
                    if (!space.slot_of(batch->key0[i], batch->key1[i], batch->slot[i])) batch->slot[i] = NO_SLOT;
            } else {
                std::fill(batch->slot, batch->slot + count, NO_SLOT);
            }
            if (layout.vt_s_used || needs_end)
                for (std::size_t i = 0; i < count; ++i) batch->start[i] = vt_s[row_of[i]];
            if (needs_end) {
                // An open-ended version has no duration. The difference wraps rather than
                // overflow for ends far below starts.
                for (std::size_t i = 0; i < count; ++i) {
                    const std::int64_t start = batch->start[i];
                    const std::int64_t end = header.vt_e_elided ? vt_s_plus_one(start) : vt_e[row_of[i]];
                    batch->has_duration[i] = end < OPEN_END ? 1 : 0;
                    batch->duration[i] =
                        static_cast<std::int64_t>(static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start));
                }
            }
            for (std::size_t k = 0; k < n_distinct; ++k) {
                const std::uint32_t* ids = layout.distinct_of[k] == ROLE_SRC ? src_id.data() : dst_id.data();
                for (std::size_t i = 0; i < count; ++i) batch->ids[i * n_distinct + k] = ids[row_of[i]];
            }
            sink.take(*batch);
            if (fault) return fail(std::move(*fault));
        }
    }
    return ok();
}

// The dense groups of `recs` (slots [0, slots) standing for slot `first` onwards) appended to
// `out` in slot order: those whose count is non-zero, each with the distinct counts of its sets
// over `holders`, where record 0's sets are those of slot `holder_first`.
void emit_dense(const KeySpace& space, const RecLayout& layout, std::uint64_t first, std::uint64_t slots,
                std::span<const std::uint64_t> recs, std::span<DistinctSets* const> holders, std::uint64_t holder_first,
                DistinctCounter& counter, Groups& out) {
    const std::size_t words = layout.words;
    const std::size_t n_distinct = layout.distinct_of.size();
    std::size_t count = 0;
    for (std::uint64_t slot = 0; slot < slots; ++slot) count += recs[slot * words] != 0 ? 1 : 0;
    out.key0.reserve(out.key0.size() + count);
    out.key1.reserve(out.key1.size() + count);
    out.recs.reserve(out.recs.size() + count * words);
    out.distinct.reserve(out.distinct.size() + count * n_distinct);
    // Sets are counted 32 at a time, their blocks fetched together first.
    constexpr std::size_t SETS_AT_ONCE = 32;
    std::vector<std::size_t> pending;
    pending.reserve(SETS_AT_ONCE);
    const auto count_pending = [&] {
        counter.fetch(holders, pending);
        for (const std::size_t set : pending) out.distinct.push_back(counter.count(holders, set));
        pending.clear();
    };
    const std::uint64_t inner = space.n[1];
    for (std::uint64_t slot = 0; slot < slots; ++slot) {
        const std::uint64_t* rec = recs.data() + slot * words;
        if (rec[0] == 0) continue;
        const std::uint64_t global = first + slot;
        // One dimension (or none) needs no division.
        const std::uint64_t outer = inner == 1 ? global : global / inner;
        out.key0.push_back(static_cast<std::int64_t>(static_cast<std::uint64_t>(space.base[0]) + outer));
        out.key1.push_back(static_cast<std::int64_t>(static_cast<std::uint64_t>(space.base[1]) + (global - outer * inner)));
        out.recs.insert(out.recs.end(), rec, rec + words);
        for (std::size_t k = 0; k < n_distinct; ++k) {
            pending.push_back((holder_first + slot) * n_distinct + k);
            if (pending.size() == SETS_AT_ONCE) count_pending();
        }
    }
    count_pending();
}

// Every group of `from` appended to `out`.
void append_groups(Groups& out, Groups&& from) {
    out.key0.insert(out.key0.end(), from.key0.begin(), from.key0.end());
    out.key1.insert(out.key1.end(), from.key1.begin(), from.key1.end());
    out.recs.insert(out.recs.end(), from.recs.begin(), from.recs.end());
    out.distinct.insert(out.distinct.end(), from.distinct.begin(), from.distinct.end());
}

// Folds partition `partition`'s lists of every chunk, in chunk order, into records of its slots
// alone (they fit a core's cache share) and returns its groups in slot order.
Groups fold_partition(const FoldInput& in, const EntryShape& shape, std::size_t partition,
                      std::span<const RouteLists> chunk_lists, std::vector<std::uint64_t>& recs,
                      DistinctSets& distinct, DistinctCounter& counter) {
    const RecLayout& layout = *in.layout;
    const KeySpace& space = *in.space;
    const std::size_t words = layout.words;
    const std::size_t n_distinct = layout.distinct_of.size();
    const std::uint64_t first = static_cast<std::uint64_t>(partition) << shape.shift;
    const std::uint64_t slots = std::min<std::uint64_t>(space.slots - first, std::uint64_t{1} << shape.shift);
    recs.resize(slots * words);
    for (std::uint64_t slot = 0; slot < slots; ++slot) layout.init(recs.data() + slot * words);
    distinct.clear(slots * n_distinct);
    const std::size_t at_duration = 1;
    const std::size_t at_start = at_duration + (layout.duration_used ? 1 : 0);
    const std::size_t at_ids = at_start + (layout.vt_s_used ? 1 : 0);
    // The layout's flags in a local: the record updates could otherwise alias them.
    const RecOps ops = layout;
    for (const RouteLists& lists : chunk_lists) {
        for (const std::span<const std::uint64_t> list : lists.list(partition)) {
            for (std::size_t at = 0; at + shape.width <= list.size(); at += shape.width) {
                const std::uint64_t* entry = list.data() + at;
                const std::uint64_t slot = (entry[0] & ~EntryShape::HAS_DURATION) - first;
                std::uint64_t* rec = recs.data() + slot * words;
                const std::int64_t start = ops.vt_s_used ? static_cast<std::int64_t>(entry[at_start]) : 0;
                const std::int64_t duration = ops.duration_used ? static_cast<std::int64_t>(entry[at_duration]) : 0;
                ops.add(rec, start, (entry[0] & EntryShape::HAS_DURATION) != 0, duration);
                for (std::size_t k = 0; k < n_distinct; ++k)
                    distinct.add(slot * n_distinct + k, static_cast<std::uint32_t>(entry[at_ids + k]));
            }
        }
    }
    Groups out;
    DistinctSets* const holder[] = {&distinct};
    emit_dense(space, layout, first, slots, recs, holder, 0, counter, out);
    return out;
}

// Where a target's kept rows, split over the selections of `run` (in row order), stop being
// `below`: the binary search std::partition_point makes over one list, made over the pieces as
// they lie. The cut is then the same however the selection split the rows, even on a damaged
// segment whose rows are not in vt_s order.
template <class Below>
std::size_t cut_position(std::span<const Selection> run, const Below& below) {
    std::size_t length = 0;
    for (const Selection& selection : run) length += selection.rows.size();
    const auto row_at = [&](std::size_t position) {
        for (const Selection& selection : run) {
            if (position < selection.rows.size()) return selection.rows[position];
            position -= selection.rows.size();
        }
        engine_panic("a cut position past the rows of its target");
    };
    std::size_t first = 0;
    while (length > 0) {
        const std::size_t half = length >> 1;
        if (below(row_at(first + half))) {
            first += half + 1;
            length -= half + 1;
        } else {
            length = half;
        }
    }
    return first;
}

// The workers' own groups as one list: the dense groups in slot order, then the map's. Workers'
// dense slots are merged range by range, each range by one worker when there are many slots.
// Every merge is exact in any order, and a group's place follows from its key alone.
Groups merge_partials(const FoldInput& in, std::vector<std::optional<Partial>>& partials) {
    const RecLayout& layout = *in.layout;
    const KeySpace& space = *in.space;
    const std::size_t workers = partials.size();
    Groups out;
    Partial& merged = *partials[0];
    if (!merged.recs.empty()) {
        // With distinct sets every slot's count walks the ids its sets list in every worker, as many
        // as the rows: those are split however few the slots.
        const bool many = space.slots >= fold_split().parallel_merge_slots ||
                          (!layout.distinct_of.empty() && space.slots >= workers);
        const std::size_t ranges = workers >= 2 && many ? workers : 1;
        std::vector<Groups> emitted(ranges);
        // The distinct sets stay with their workers: a slot's count is taken over all of them.
        std::vector<DistinctSets*> holders;
        for (std::optional<Partial>& partial : partials) holders.push_back(&partial->distinct);
        const auto merge_range = [&](std::size_t range) {
            const std::uint64_t lo = space.slots * range / ranges;
            const std::uint64_t hi = space.slots * (range + 1) / ranges;
            for (std::size_t index = 1; index < workers; ++index) {
                Partial& other = *partials[index];
                for (std::uint64_t slot = lo; slot < hi; ++slot) {
                    const std::uint64_t* from = other.recs.data() + slot * layout.words;
                    if (from[0] == 0) continue;
                    layout.merge(merged.recs.data() + slot * layout.words, from);
                }
            }
            DistinctCounter counter(layout.distinct_words);
            emit_dense(space, layout, lo, hi - lo, std::span(merged.recs).subspan(lo * layout.words), holders, lo,
                       counter, emitted[range]);
        };
        if (ranges < 2)
            merge_range(0);
        else
            fan_out(ranges, AGGREGATE_WORKER_PANICKED, merge_range);
        for (Groups& part : emitted) append_groups(out, std::move(part));
    }
    for (std::size_t index = 1; index < workers; ++index) {
        merged.map.merge(std::move(partials[index]->map));
        partials[index].reset();
    }
    append_groups(out, merged.map.take());
    return out;
}

// The fold over every selection, as one list of groups: on the calling thread, or on worker threads
// that take chunks of about equal rows one at a time. While the dense records fit a worker's share
// of the last-level cache, each worker folds into records of its own and these are merged;
// otherwise the workers route their rows to partitions of the slots and each partition is folded
// once. Every merge is exact and the groups come out in slot order either way.
Result<Groups> aggregate_groups(FoldInput in, std::span<const Selection> selections) {
    const AggregateRequest& request = *in.request;
    const RecLayout& layout = *in.layout;
    const std::size_t s = selections.size();
    std::uint64_t r = 0;
    for (const Selection& selection : selections) r += selection.rows.size();
    const std::size_t threads = scan_threads();
    const std::size_t w = s >= 2 && parallel_gate(threads, s, 2, r) ? threads : 1;

    // Each target's rows from its first one with vt_s >= t_a (vt_s does not decrease along a
    // segment's rows, so the rows before t_a form a prefix). A target with a column that cannot be
    // read ends the list: the rows before it are still folded first, as its error comes after
    // theirs.
    std::vector<Piece> whole;
    whole.reserve(s);
    std::optional<EngineError> unread;
    std::uint64_t folded = 0;
    std::vector<std::uint32_t> rel_index;
    for (std::size_t index = 0; index < s;) {
        std::size_t next = index + 1;
        while (next < s && selections[next].target == selections[index].target) ++next;
        const Segment& segment = *(*in.targets)[selections[index].target].segment;
        const Result<FoldColumns> columns = FoldColumns::of(in, segment, rel_index);
        if (!columns) {
            unread = columns.error();
            break;
        }
        const std::span<const std::int64_t> starts = columns->vt_s;
        const std::size_t rows = columns->rows;
        const std::span<const Selection> run = selections.subspan(index, next - index);
        std::size_t cut = cut_position(run, [&](std::uint32_t row) { return row < rows && starts[row] < request.t_a; });
        for (std::size_t at = index; at < next; ++at) {
            const std::size_t size = selections[at].rows.size();
            const std::size_t begin = std::min(cut, size);
            cut -= begin;
            whole.push_back({at, begin, size});
            folded += size - begin;
        }
        index = next;
    }
    const std::size_t workers = w < 2 ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(w, std::max<std::uint64_t>(folded, 1)));
    // Workers take chunks of rows one at a time, so that one slowed down (a busy core, rows that
    // miss the caches more) leaves its share to the others.
    const std::size_t chunks =
        workers < 2 ? 1 : static_cast<std::size_t>(std::clamp<std::uint64_t>(folded, 1, CHUNKS_PER_WORKER * workers));

    // Chunk c takes rows [folded * c / chunks, folded * (c + 1) / chunks) of the pieces in order.
    std::vector<std::vector<Piece>> plan(chunks);
    {
        std::size_t chunk = 0;
        std::uint64_t done = 0;
        for (Piece piece : whole) {
            while (piece.begin < piece.end) {
                const std::uint64_t limit = folded * (chunk + 1) / chunks;
                const std::uint64_t take = std::min<std::uint64_t>(piece.end - piece.begin, limit - done);
                if (take > 0) {
                    plan[chunk].push_back({piece.selection, piece.begin, piece.begin + static_cast<std::size_t>(take)});
                    piece.begin += static_cast<std::size_t>(take);
                    done += take;
                }
                if (done == limit && chunk + 1 < chunks) ++chunk;
            }
        }
    }

    const KeySpace space = key_space(request, layout, in.rel_names->size(), in.labels ? in.labels->names.size() : 0,
                                     in.entity_count, folded);
    in.space = &space;
    const bool partitioned = space.dense && workers >= 2 && space.slots * slot_bytes(layout) > fold_split().worker_records_max_bytes;
    if (!partitioned) in.replicas = replicas_for(space, layout);
    // A worker whose rows give its slots W ids each or more on average, and whose bitsets for all
    // of them fit a core's cache share, keeps every set as a bitset from its first id: it then
    // takes less than twice the room of the list, and rows set bits instead of moving lists on,
    // with no list left to mark when the sets are counted. Bitsets past the cache would take a
    // miss on nearly every row where rows of one group do not come together; lists do not.
    in.dense_threshold = layout.distinct_threshold;
    const std::uint64_t all_bits_bytes = space.slots * layout.distinct_of.size() * layout.distinct_words * sizeof(std::uint64_t);
    if (space.dense && all_bits_bytes <= DIRECT_BITS_MAX_BYTES && folded / workers / space.slots >= layout.distinct_words)
        in.dense_threshold = 1;
    const EntryShape shape = partitioned ? EntryShape::of(layout, space, workers) : EntryShape{};
    std::vector<std::optional<Partial>> partials(workers);
    std::vector<RouteLists> lists(partitioned ? workers : 0);
    std::vector<Status> statuses(chunks, ok());
    std::atomic<std::size_t> next_chunk{0};
    const auto run = [&](std::size_t worker) {
        Partial& partial = partials[worker].emplace(layout);
        const DirectSink direct{&layout, &in, &partial};
        if (partitioned) {
            // Room for a little more than an even share; a worker that takes more spills.
            lists[worker].plan(shape, folded / workers + folded / workers / 4);
        } else {
            open_slots(partial, in);
        }
        for (std::size_t chunk = next_chunk++; chunk < chunks; chunk = next_chunk++)
            statuses[chunk] = partitioned ? fold_pieces(in, plan[chunk], selections, PartitionSink{&shape, direct, &lists[worker]})
                                          : fold_pieces(in, plan[chunk], selections, direct);
        if (!partitioned) join_replicas(partial, in);
    };
    if (workers < 2)
        run(0);
    else
        fan_out(workers, AGGREGATE_WORKER_PANICKED, run);
    for (Status& status : statuses)
        if (!status) return fail(std::move(status).error());
    if (unread) return fail(std::move(*unread));

    Groups out;
    if (partitioned) {
        // Each partition folded once, by whichever worker takes it next; its groups land in its
        // own place, so the result does not depend on which worker that was.
        std::vector<Groups> parts(shape.partitions);
        std::atomic<std::size_t> taken{0};
        fan_out(std::min(workers, shape.partitions), AGGREGATE_WORKER_PANICKED, [&](std::size_t) {
            std::vector<std::uint64_t> recs;
            DistinctSets distinct = layout.distinct_sets();
            DistinctCounter counter(layout.distinct_words);
            for (std::size_t partition = taken++; partition < shape.partitions; partition = taken++)
                parts[partition] = fold_partition(in, shape, partition, lists, recs, distinct, counter);
        });
        lists.clear();
        for (Groups& part : parts) append_groups(out, std::move(part));
    }

    append_groups(out, merge_partials(in, partials));
    return out;
}

// The fold of the kept rows as the selecting workers hand them over, block by block, each worker
// into dense records of its own: no row list is written and read back, and no phase waits for the
// last selecting worker. Only for few small records (see fused_fold_fits): the selection between
// folds would evict larger ones. The two-phase fold cuts each target's kept rows at t_a by a
// binary search; here a row below t_a is skipped, which is the same cut while those rows come
// first. Where they do not (a damaged segment), or a row cannot be folded, the fold gives up
// (`held` is false) and the caller folds in two phases, which then reports what it finds.
class BlockFold final : public RowBlocks {
public:
    explicit BlockFold(const FoldInput& in) : in_(in) {
        for (std::size_t dim_index = 0; dim_index < in.request->group_by.size(); ++dim_index)
            kinds_[dim_index] = key_kind(in.request->group_by[dim_index]);
    }

    void begin(std::size_t workers, std::size_t pieces) override {
        workers_ = std::vector<Worker>(workers);
        cuts_.assign(pieces, Cut{});
    }

    void take(std::size_t worker_index, std::size_t piece, std::size_t target, std::span<const std::uint32_t> rows) override {
        if (gave_up_.load(std::memory_order_relaxed)) return;
        Worker& worker = workers_[worker_index];
        if (!worker.partial) open_slots(worker.partial.emplace(*in_.layout), in_);
        if (worker.target != target) {
            const Segment& segment = *(*in_.targets)[target].segment;
            Result<FoldColumns> columns = FoldColumns::of(in_, segment, worker.rel_index);
            if (!columns) return give_up();
            worker.target = target;
            worker.columns = columns->run(in_, segment, worker.rel_index);
        }
        const RunColumns& columns = worker.columns;
        const std::int64_t t_a = in_.request->t_a;
        Cut& cut = cuts_[piece];
        cut.target = target;
        std::size_t from = 0;
        if (!cut.reached) {
            while (from < rows.size() && rows[from] < columns.rows && columns.vt_s[rows[from]] < t_a) ++from;
            cut.skipped = cut.skipped || from > 0;
            cut.reached = from < rows.size();
        }
        for (std::size_t at = from; at < rows.size(); ++at)
            if (rows[at] >= columns.rows || columns.vt_s[rows[at]] < t_a) return give_up();
        if (from == rows.size()) return;
        const DirectSink sink{in_.layout, &in_, &*worker.partial};
        if (!fold_run_any(kinds_[0], kinds_[1], in_, columns, worker.buckets, rows.data() + from, rows.data() + rows.size(), sink))
            give_up();
    }

    void finish(std::size_t worker_index) override {
        Worker& worker = workers_[worker_index];
        if (worker.partial) join_replicas(*worker.partial, in_);
    }

    // Whether the blocks were folded in full with the two-phase fold's cut: no row was refused,
    // and no piece skipped rows below t_a after an earlier piece of its target had reached t_a.
    bool held() const {
        if (gave_up_.load(std::memory_order_relaxed)) return false;
        std::size_t reached_target = SIZE_MAX;
        for (const Cut& cut : cuts_) {
            if (cut.target == SIZE_MAX) continue;
            if (cut.skipped && cut.target == reached_target) return false;
            if (cut.reached) reached_target = cut.target;
        }
        return true;
    }

    // The groups, once held() is true.
    Groups groups() {
        std::vector<std::optional<Partial>> partials;
        for (Worker& worker : workers_) {
            if (!worker.partial) {
                // A worker all of whose rows were pruned or below t_a.
                open_slots(worker.partial.emplace(*in_.layout), in_);
                join_replicas(*worker.partial, in_);
            }
            partials.push_back(std::move(worker.partial));
        }
        return merge_partials(in_, partials);
    }

private:
    // One worker's records and the columns of the target it folds.
    struct alignas(64) Worker {
        std::optional<Partial> partial;
        std::size_t target = SIZE_MAX;
        RunColumns columns;
        std::vector<std::uint32_t> rel_index;
        BucketCache buckets[2];
    };
    // What one piece's rows showed of the cut: whether rows below t_a were skipped, and whether a
    // row at or after t_a was reached.
    struct Cut {
        std::size_t target = SIZE_MAX;  // SIZE_MAX: no block of the piece
        bool skipped = false;
        bool reached = false;
    };

    void give_up() { gave_up_.store(true, std::memory_order_relaxed); }

    FoldInput in_;
    KeyKind kinds_[2] = {KeyKind::None, KeyKind::None};
    std::vector<Worker> workers_;
    std::vector<Cut> cuts_;
    std::atomic<bool> gave_up_{false};
};

// Whether a request's fold is small enough to run while the rows are selected: dense slots
// whatever the rows (so the choice between slots and the map is the two-phase fold's), and
// records replicated per worker, which only few small ones are.
bool fused_fold_fits(const KeySpace& space, const RecLayout& layout) {
    return space.dense && space.slots <= DENSE_SMALL && replicas_for(space, layout) > 1;
}

// Positions of `uids` in byte order of the uids, equal ones (and the absent ones, first) in their
// given order. The uids of a store often share a long prefix ("user-000…"), so the eight bytes after
// the prefix common to all of them are sorted by radix; only uids whose eight bytes tie are then
// compared whole.
std::vector<std::uint32_t> byte_order(std::span<const std::optional<std::string_view>> uids) {
    std::size_t common = SIZE_MAX;
    const std::string_view* first = nullptr;
    for (const std::optional<std::string_view>& uid : uids) {
        if (!uid) continue;
        if (first == nullptr) {
            first = &*uid;
            common = uid->size();
            continue;
        }
        if (uid->size() >= common && std::memcmp(uid->data(), first->data(), common) == 0) continue;
        const std::size_t bound = std::min(common, uid->size());
        std::size_t at = 0;
        while (at < bound && (*uid)[at] == (*first)[at]) ++at;
        common = at;
    }
    if (first == nullptr) common = 0;
    // A key is 0 for an absent uid. A present one has the top bit set and, below it, the first 63
    // bits of its eight bytes after the common prefix (big-endian, zeros past its end); ties on
    // the key are decided by the whole uid below.
    struct Keyed {
        std::uint64_t key;
        std::uint32_t index;
    };
    std::vector<Keyed> keyed(uids.size());
    for (std::size_t index = 0; index < uids.size(); ++index) {
        std::uint64_t key = 0;
        if (const std::optional<std::string_view>& uid = uids[index]) {
            std::uint64_t bytes = 0;
            if (uid->size() >= common + 8) {
                std::memcpy(&bytes, uid->data() + common, 8);
                if constexpr (std::endian::native == std::endian::little) bytes = std::byteswap(bytes);
            } else {
                for (std::size_t k = 0; k < 8; ++k) {
                    const std::size_t at = common + k;
                    bytes = (bytes << 8) | (at < uid->size() ? static_cast<std::uint8_t>((*uid)[at]) : 0u);
                }
            }
            key = (std::uint64_t{1} << 63) | (bytes >> 1);
        }
        keyed[index] = {key, static_cast<std::uint32_t>(index)};
    }
    // Uids that came in byte order (a counter, a time-ordered id) are in order already: the
    // identity is the stable order, and no pass is needed.
    const auto in_order = [&](std::size_t at) {
        const Keyed& x = keyed[at - 1];
        const Keyed& y = keyed[at];
        return x.key < y.key || (x.key == y.key && (x.key == 0 || *uids[x.index] <= *uids[y.index]));
    };
    std::size_t sorted_to = 1;
    while (sorted_to < keyed.size() && in_order(sorted_to)) ++sorted_to;
    if (sorted_to >= keyed.size()) {
        std::vector<std::uint32_t> order(keyed.size());
        for (std::size_t at = 0; at < keyed.size(); ++at) order[at] = static_cast<std::uint32_t>(at);
        return order;
    }
    std::vector<Keyed> spare;
    stable_radix_sort(keyed, spare, [](const Keyed& entry) { return entry.key; });
    std::vector<std::uint32_t> order(keyed.size());
    for (std::size_t at = 0; at < keyed.size();) {
        std::size_t end = at + 1;
        while (end < keyed.size() && keyed[end].key == keyed[at].key) ++end;
        if (end - at > 1 && keyed[at].key != 0)
            std::stable_sort(keyed.begin() + static_cast<std::ptrdiff_t>(at), keyed.begin() + static_cast<std::ptrdiff_t>(end),
                             [&](const Keyed& x, const Keyed& y) { return *uids[x.index] < *uids[y.index]; });
        at = end;
    }
    for (std::size_t at = 0; at < keyed.size(); ++at) order[at] = keyed[at].index;
    return order;
}

// Key columns and value columns of the groups in their final order.
void finalize(Groups& groups_in, const AggregateRequest& request, const RecLayout& layout, const Dictionary& dictionary,
              AggregateResult& out) {
    const std::size_t groups = groups_in.size();
    const std::size_t dims = request.group_by.size();
    std::vector<std::int64_t>* slots[2] = {&groups_in.key0, &groups_in.key1};

    // Sort keys: an endpoint slot holds the rank of its uid in byte order; other slots their code.
    std::vector<std::int64_t> sort0 = groups_in.key0;
    std::vector<std::int64_t> sort1 = groups_in.key1;
    std::vector<std::int64_t>* sort_slots[2] = {&sort0, &sort1};
    for (std::size_t dim_index = 0; dim_index < dims; ++dim_index) {
        if (request.group_by[dim_index].kind != DimKind::Endpoint) continue;
        std::vector<std::int64_t> codes = *slots[dim_index];
        // Dense groups come out in slot order, so one key's codes are usually sorted already.
        if (!std::ranges::is_sorted(codes)) std::ranges::sort(codes);
        codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
        std::vector<std::optional<std::string_view>> uids(codes.size());
        for (std::size_t index = 0; index < codes.size(); ++index)
            uids[index] = dictionary.uid(static_cast<std::uint32_t>(codes[index]));
        const std::vector<std::uint32_t> order = byte_order(uids);
        std::vector<std::int64_t> rank(codes.size());
        for (std::size_t position = 0; position < order.size(); ++position)
            rank[order[position]] = static_cast<std::int64_t>(position);
        // Codes are dense ids: when they fill most of their range, a table maps each to its rank.
        const std::uint64_t range = codes.empty() ? 0 : static_cast<std::uint64_t>(codes.back() - codes.front()) + 1;
        if (!codes.empty() && range <= 4 * codes.size() + 64) {
            std::vector<std::int64_t> by_code(range, 0);
            for (std::size_t index = 0; index < codes.size(); ++index)
                by_code[static_cast<std::uint64_t>(codes[index] - codes.front())] = rank[index];
            for (std::int64_t& value : *sort_slots[dim_index])
                value = by_code[static_cast<std::uint64_t>(value - codes.front())];
        } else {
            for (std::int64_t& value : *sort_slots[dim_index])
                value = rank[static_cast<std::size_t>(std::ranges::lower_bound(codes, value) - codes.begin())];
        }
    }
    std::vector<std::size_t> order(groups);
    // One key whose sort values are 0 .. groups - 1, each once (an endpoint's ranks, or dense codes
    // every one of which has a group), places each group directly; otherwise a stable sort.
    bool placed = dims == 1;
    if (placed) {
        std::vector<char> seen(groups, 0);
        for (std::size_t group = 0; group < groups && placed; ++group) {
            const auto value = static_cast<std::uint64_t>(sort0[group]);
            placed = value < groups && seen[value] == 0;
            if (placed) {
                seen[value] = 1;
                order[value] = group;
            }
        }
    }
    if (!placed) {
        for (std::size_t index = 0; index < groups; ++index) order[index] = index;
        std::ranges::stable_sort(order, [&](std::size_t x, std::size_t y) {
            return std::pair(sort0[x], sort1[x]) < std::pair(sort0[y], sort1[y]);
        });
    }

    out.keys.assign(dims, {});
    for (std::size_t dim_index = 0; dim_index < dims; ++dim_index) {
        out.keys[dim_index].reserve(groups);
        for (const std::size_t group : order) out.keys[dim_index].push_back((*slots[dim_index])[group]);
    }
    const std::size_t n_distinct = layout.distinct_of.size();
    const std::size_t words = layout.words;
    std::size_t distinct_k = 0;
    for (const Agg& agg : request.aggregates) {
        const std::size_t s = agg.of == STAT_VT_S ? 0 : 1;
        if (agg.kind == AggKind::Mean) {
            FloatValues column;
            column.reserve(groups);
            for (const std::size_t group : order) {
                const std::uint64_t* rec = groups_in.recs.data() + group * words;
                const std::uint64_t n = rec[layout.n[s]];
                column.push_back(n > 0 ? std::optional(aggregate_mean(RecLayout::sum_at(rec + layout.sum[s]), n)) : std::nullopt);
            }
            out.aggs.emplace_back(std::move(column));
            continue;
        }
        IntValues column;
        column.reserve(groups);
        for (const std::size_t group : order) {
            const std::uint64_t* rec = groups_in.recs.data() + group * words;
            switch (agg.kind) {
                case AggKind::Count:
                    column.push_back(static_cast<std::int64_t>(rec[0]));
                    break;
                case AggKind::CountDistinct:
                    column.push_back(groups_in.distinct[group * n_distinct + distinct_k]);
                    break;
                case AggKind::Min:
                case AggKind::Max:
                    if (rec[layout.n[s]] == 0)
                        column.push_back(std::nullopt);
                    else
                        column.push_back(static_cast<std::int64_t>(rec[agg.kind == AggKind::Min ? layout.min[s] : layout.max[s]]));
                    break;
                case AggKind::Mean:
                    break;
            }
        }
        if (agg.kind == AggKind::CountDistinct) ++distinct_k;
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

    const ScanSet set = VORP_TRY(edge_scan_set(store));
    ScanRequest selection_request;
    selection_request.as_of_tt = request.as_of_tt;
    selection_request.vt_min = request.t_a;
    selection_request.vt_max = request.t_b;
    selection_request.rel_types = request.rel_types;

    AggregateResult result;
    for (const ScanTarget& target : set.targets)
        result.rel_names.insert(result.rel_names.end(), target.segment->header.rel_types.begin(),
                                target.segment->header.rel_types.end());
    std::ranges::sort(result.rel_names);
    result.rel_names.erase(std::unique(result.rel_names.begin(), result.rel_names.end()), result.rel_names.end());

    RecLayout layout = RecLayout::of(request.aggregates);
    layout.distinct_words = std::max<std::size_t>(1, (store.dict().size() + 63) / 64);
    layout.distinct_threshold = 2 * layout.distinct_words;
    FoldInput in;
    in.targets = &set.targets;
    in.request = &request;
    in.layout = &layout;
    in.dense_threshold = layout.distinct_threshold;
    in.entity_count = store.dict().size();
    in.rel_names = &result.rel_names;
    in.labels = labels ? &*labels : nullptr;
    in.wants_rel = wants_rel;

    // A small fold runs while the rows are selected, when the selection runs on workers. Else,
    // or when that fold gives up, the rows are selected, then folded; the fold takes rows however
    // a target's are split, so it takes the selection's pieces as written.
    std::optional<Groups> groups;
    std::optional<SelectOutcome> selected;
    const KeySpace small_space = key_space(request, layout, in.rel_names->size(), in.labels ? in.labels->names.size() : 0,
                                           in.entity_count, 0);
    if (fused_fold_fits(small_space, layout)) {
        FoldInput fused = in;
        fused.space = &small_space;
        fused.replicas = replicas_for(small_space, layout);
        BlockFold fold(fused);
        selected = VORP_TRY(set.select_blocks(selection_request, scan_threads(), fold, AGGREGATE_WORKER_PANICKED));
        if (!selected && fold.held()) groups = fold.groups();
    }
    if (!groups) {
        if (!selected) selected = VORP_TRY(set.select(selection_request, false, ScanSet::Split::ByPiece));
        groups = VORP_TRY(aggregate_groups(in, selected->selections));
    }
    VORP_TRY(interruption_point());

    if (request.group_by.empty() && groups->size() == 0) {
        // No row, no group by: the one group of nothing.
        groups->key0.push_back(0);
        groups->key1.push_back(0);
        groups->recs.resize(layout.words);
        layout.init(groups->recs.data());
        groups->distinct.resize(layout.distinct_of.size());
    }
    if (groups->size() > request.max_groups)
        return fail(EngineError::capacity(
            fmt::format("aggregate group count {} exceeds cap {}", groups->size(), request.max_groups)));

    finalize(*groups, request, layout, store.dict(), result);
    if (labels) result.label_names = std::move(labels->names);
    return result;
}

}  // namespace vorp
