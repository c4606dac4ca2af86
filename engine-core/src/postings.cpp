#include "vorp/postings.h"

#include <algorithm>
#include <array>
#include <bit>

#include <fmt/format.h>

#include "vorp/derive.h"
#include "vorp/dict.h"
#include "vorp/interrupt.h"
#include "vorp/radix_sort.h"
#include "vorp/visibility.h"

namespace vorp {

// ---- PositionIndex ----------------------------------------------------------------------------------

std::size_t PositionIndex::find_slot(std::uint64_t key) const {
    if (slots_.empty()) return 0;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = home(key);; slot = (slot + 1) & mask) {
        if (slots_[slot].segment == EMPTY) return slots_.size();
        if (slots_[slot].key == key) return slot;
    }
}

void PositionIndex::grow_to(std::size_t slot_count) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slot_count));
    const std::size_t mask = slot_count - 1;
    for (const Slot& entry : old) {
        if (entry.segment == EMPTY) continue;
        std::size_t slot = home(entry.key);
        while (slots_[slot].segment != EMPTY) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
}

void PositionIndex::reserve_keys(std::size_t keys) {
    const std::size_t wanted = (used_ + keys) * 4 / 3 + 1;
    if (wanted > slots_.size()) grow_to(std::bit_ceil(std::max<std::size_t>(wanted, 16)));
    // An append adds at most two nodes (a key's second position moves its first into the pool
    // too); growth stays geometric across calls.
    if (pool_.size() + 2 * keys > pool_.capacity())
        pool_.reserve(std::max(pool_.size() + 2 * keys, 2 * pool_.capacity()));
}

std::uint32_t PositionIndex::number_segment(std::uint64_t segment_id) {
    if (last_number_ != NO_NODE && segment_ids_[last_number_] == segment_id) return last_number_;
    const auto [it, inserted] = segment_numbers_.try_emplace(segment_id, static_cast<std::uint32_t>(segment_ids_.size()));
    if (inserted) {
        // Numbers stay below CHAINED, so a slot's segment field tells the three cases apart.
        if (segment_ids_.size() >= CHAINED) engine_panic("identity postings ran out of segment numbers");
        try {
            segment_ids_.push_back(segment_id);
        } catch (...) {
            segment_numbers_.erase(it);
            throw;
        }
    }
    last_number_ = it->second;
    return last_number_;
}

void PositionIndex::append(std::uint64_t key, Position position) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow_to(std::max<std::size_t>(16, slots_.size() * 2));
    if (!room_for(1)) engine_panic("identity postings ran out of position numbers");
    const std::uint32_t segment = number_segment(position.segment_id);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = home(key);; slot = (slot + 1) & mask) {
        Slot& entry = slots_[slot];
        if (entry.segment == EMPTY) {
            entry = Slot{key, segment, position.row};
            ++used_;
            break;
        }
        if (entry.key != key) continue;
        if (entry.segment != CHAINED) {
            // The key's second position: both go to the pool, the first at the end of the chain.
            pool_.push_back(Node{entry.segment, entry.row, NO_NODE});
            entry.segment = CHAINED;
            entry.row = static_cast<std::uint32_t>(pool_.size() - 1);
        }
        pool_.push_back(Node{segment, position.row, entry.row});
        entry.row = static_cast<std::uint32_t>(pool_.size() - 1);
        break;
    }
    ++live_;
    ++appended_;
}

std::vector<PositionIndex::Filing> PositionIndex::filing_order(std::span<const std::uint64_t> keys,
                                                               std::optional<std::span<const std::uint32_t>> rows) const {
    const std::size_t count = rows ? rows->size() : keys.size();
    const auto row_at = [&](std::size_t i) { return rows ? (*rows)[i] : static_cast<std::uint32_t>(i); };
    std::vector<Filing> order(count);
    // Below these a table's slots stay in the caches, or the sort costs more than it saves.
    constexpr std::size_t sorted_from_rows = 4096;
    constexpr std::size_t sorted_from_slots = std::size_t{1} << 18;
    if (count < sorted_from_rows || slots_.size() < sorted_from_slots || slots_.size() > UINT32_MAX) {
        for (std::size_t i = 0; i < count; ++i) order[i] = {keys[row_at(i)], row_at(i), 0};
        return order;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t key = keys[row_at(i)];
        order[i] = {key, row_at(i), static_cast<std::uint32_t>(home(key))};
    }
    std::vector<Filing> scratch;
    stable_radix_sort(order, scratch, [](const Filing& filing) { return filing.home; });
    return order;
}

void PositionIndex::append_rows(std::uint64_t segment_id, std::span<const Filing> order) {
    // Keys are hashes, so in row order every append lands on a random slot: load the slots a few
    // rows ahead.
    constexpr std::size_t ahead = 16;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i + ahead < order.size()) prefetch(order[i + ahead].key);
        append(order[i].key, Position{segment_id, order[i].row});
    }
}

std::vector<Position> PositionIndex::find(std::uint64_t key) const {
    std::vector<Position> out;
    for_each(key, [&](std::uint32_t, const Position& position) { out.push_back(position); });
    return out;
}

void PositionIndex::erase_slot(std::size_t slot) {
    // Backward-shift deletion keeps every remaining key reachable from its home without tombstones.
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = slot;
    for (std::size_t next = (hole + 1) & mask; slots_[next].segment != EMPTY; next = (next + 1) & mask) {
        const std::size_t want = home(slots_[next].key);
        // Move `next` into the hole unless its home lies cyclically in (hole, next].
        const bool stays = hole <= next ? (hole < want && want <= next) : (hole < want || want <= next);
        if (!stays) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = Slot{};
    --used_;
}

PositionIndex PositionIndex::retained(const std::unordered_set<std::uint64_t>& keep) const {
    PositionIndex fresh;
    std::vector<char> kept(segment_ids_.size());
    for (std::size_t number = 0; number < kept.size(); ++number) kept[number] = keep.contains(segment_ids_[number]);
    for (const Slot& entry : slots_) {
        if (entry.segment == EMPTY) continue;
        walk(entry, [&](std::uint32_t segment, std::uint32_t row) {
            if (kept[segment]) fresh.append(entry.key, position_of(segment, row));
        });
    }
    return fresh;
}

// ---- Postings ---------------------------------------------------------------------------------------

Result<bool> Postings::merge_segment(std::uint64_t segment_id, std::span<const std::uint64_t> keys,
                                     std::span<const std::uint64_t> vid_keys,
                                     std::span<const std::pair<std::uint32_t, std::int64_t>> closed_rows) {
    if (indexed.contains(segment_id)) return false;
    if (keys.size() != vid_keys.size())
        engine_panic(fmt::format("postings merge of segment {}: {} keys for {} vids", segment_id, keys.size(),
                                 vid_keys.size()));
    const std::size_t rows = keys.size();
    if (!by_identity.room_for(rows) || !by_vid.room_for(rows) || !open_by_identity.room_for(rows))
        return fail(EngineError::capacity(
            fmt::format("identity postings cannot hold the {} rows of segment {}: at most 4294967294 positions "
                        "per kind",
                        rows, segment_id)));
    // Everything that allocates comes before the first append, so that a failure leaves the
    // postings as they were.
    std::vector<std::uint32_t> open_rows;
    // Only a close that ends belief (tt_e < OPEN_END) takes a row out of current belief.
    const bool all_open = std::ranges::all_of(closed_rows, [](const auto& close) { return close.second >= OPEN_END; });
    if (!all_open) {
        open_rows.reserve(rows);
        for (std::size_t row = 0; row < rows; ++row) {
            const std::optional<std::int64_t> closed = find_closed_row(closed_rows, static_cast<std::uint32_t>(row));
            if (!closed || *closed >= OPEN_END) open_rows.push_back(static_cast<std::uint32_t>(row));
        }
    }
    indexed.reserve(indexed.size() + 1);
    by_identity.reserve_keys(rows);
    open_by_identity.reserve_keys(all_open ? rows : open_rows.size());
    by_vid.reserve_keys(rows);
    by_identity.number_segment(segment_id);
    open_by_identity.number_segment(segment_id);
    by_vid.number_segment(segment_id);
    const auto identity_order = by_identity.filing_order(keys);
    const auto open_order =
        all_open ? open_by_identity.filing_order(keys) : open_by_identity.filing_order(keys, open_rows);
    const auto vid_order = by_vid.filing_order(vid_keys);
    // The last allocation; the appends below make none.
    indexed.insert(segment_id);
    by_identity.append_rows(segment_id, identity_order);
    open_by_identity.append_rows(segment_id, open_order);
    by_vid.append_rows(segment_id, vid_order);
    return true;
}

void Postings::retain_segments(const std::unordered_set<std::uint64_t>& keep) {
    // All three rebuilt aside before any is replaced: an allocation failure changes nothing.
    PositionIndex identity = by_identity.retained(keep);
    PositionIndex vid = by_vid.retained(keep);
    PositionIndex open = open_by_identity.retained(keep);
    by_identity = std::move(identity);
    by_vid = std::move(vid);
    open_by_identity = std::move(open);
    std::erase_if(indexed, [&](std::uint64_t id) { return !keep.contains(id); });
}

// ---- identity keys ------------------------------------------------------------------------------------

// Rows whose identity is derived between interruption points: the postings of a large store are
// built by the first read that needs them, on its caller's thread, and an edge's key is a hash of
// its endpoints' uids and its texts.
constexpr std::uint64_t IDENTITY_TICK_ROWS = 8192;

Result<std::vector<std::uint64_t>> identity_keys(RowKind kind, const Segment& segment, const Dictionary& dictionary) {
    const std::size_t rows = segment.header.rows;
    std::vector<std::uint64_t> keys;
    keys.reserve(rows);
    if (kind == RowKind::Node) {
        const auto uid_ids = VORP_TRY(segment.nodes.uid_id.get());
        InterruptTicker ticker(IDENTITY_TICK_ROWS);
        for (const std::uint32_t uid_id : uid_ids) {
            VORP_TRY(ticker.tick());
            keys.push_back(hash_uid(VORP_TRY(uid_in(dictionary, uid_id))));
        }
        return keys;
    }
    const StringView strings = VORP_TRY(segment.strings());
    const auto src_ids = VORP_TRY(segment.edges.src_id.get());
    const auto dst_ids = VORP_TRY(segment.edges.dst_id.get());
    const auto rel_codes = VORP_TRY(segment.edges.rel_code.get());
    const auto disc_refs = VORP_TRY(segment.edges.disc_ref.get());
    EidDeriver derive;
    // Endpoints are scattered over the whole dictionary: load each endpoint's entry, then its uid
    // text, a few rows before they are needed.
    const std::span<const Dictionary::Span> entries = dictionary.spans();
    const char* const arena = dictionary.arena().data();
    const auto prefetch_entry = [&](std::uint32_t id) {
        if (id < entries.size()) __builtin_prefetch(&entries[id]);
    };
    const auto prefetch_text = [&](std::uint32_t id) {
        if (id < entries.size()) __builtin_prefetch(arena + entries[id].uid_off);
    };
    constexpr std::size_t ahead = 8;
    InterruptTicker ticker(IDENTITY_TICK_ROWS);
    for (std::size_t row = 0; row < rows; ++row) {
        VORP_TRY(ticker.tick());
        if (row + 2 * ahead < rows) {
            prefetch_entry(src_ids[row + 2 * ahead]);
            prefetch_entry(dst_ids[row + 2 * ahead]);
        }
        if (row + ahead < rows) {
            prefetch_text(src_ids[row + ahead]);
            prefetch_text(dst_ids[row + ahead]);
        }
        const std::string_view src = VORP_TRY(uid_in(dictionary, src_ids[row]));
        const std::string_view dst = VORP_TRY(uid_in(dictionary, dst_ids[row]));
        const Result<std::string_view> rel_type = segment.rel_type_of(rel_codes[row]);
        if (!rel_type) return fail(EngineError(rel_type.error()).at_row(static_cast<std::uint32_t>(row)));
        const std::string_view disc = VORP_TRY(strings.get(disc_refs[row]));
        keys.push_back(derive(src, dst, *rel_type, disc).prefix);
    }
    return keys;
}

// ---- KindPostings -------------------------------------------------------------------------------------

KindPostings::KindPostings(RowKind kind)
    : kind_(kind), mutex_(kind == RowKind::Edge ? "edge-postings" : "node-postings") {}

Status KindPostings::index_segments(const std::filesystem::path& root, const Manifest& manifest, SegmentCache& cache,
                                    const Dictionary& dictionary) {
    const std::shared_ptr<const SegmentFiles> files = cache.segment_files(manifest);
    const std::unordered_map<std::uint64_t, std::string>& of_kind = files->of(kind_);

    std::vector<std::uint64_t> pending;
    std::uint64_t prunes_at_listing = 0;
    const bool listed_whole = mutex_.with_lock("postings", [&] {
        if (indexed_through_ == files) return true;
        prunes_at_listing = prunes_;
        for (const auto& [segment_id, file] : of_kind)
            if (!postings_.indexed.contains(segment_id)) pending.push_back(segment_id);
        return false;
    });
    if (listed_whole) return ok();
    // Ascending id, so the order of positions within a list (and which of two stored duplicates
    // a close finds first) does not depend on hash-map iteration.
    std::sort(pending.begin(), pending.end());

    for (const std::uint64_t segment_id : pending) {
        // An abandoned read leaves the segments merged so far merged: the next call goes on from there.
        VORP_TRY(interruption_point());
        const std::shared_ptr<const Segment> segment = VORP_TRY(cache.open_segment(root, manifest, of_kind.at(segment_id)));
        // Identity work (dictionary lookups, hashing) runs with no lock held.
        const std::vector<std::uint64_t> keys = VORP_TRY(identity_keys(kind_, *segment, dictionary));
        const auto vid64 = VORP_TRY(version_columns(*segment, kind_).vid64.get());
        const auto vid_lo32 = VORP_TRY(version_columns(*segment, kind_).vid_lo32.get());
        std::vector<std::uint64_t> vid_keys(vid64.size());
        for (std::size_t row = 0; row < vid_keys.size(); ++row) vid_keys[row] = vid_key(Id96{vid64[row], vid_lo32[row]});
        // Another thread may have merged this segment since it was listed: merge_segment skips it.
        // It allocates before its first change, so a failure leaves the postings as they were.
        VORP_TRY(mutex_.with_lock("postings", [&] {
            return postings_.merge_segment(segment_id, keys, vid_keys, segment->header.closed_rows);
        }));
    }
    // Every segment of the list is merged now (by this call or an earlier one), unless pruning
    // ran meanwhile and may have taken some out again: then the next call walks the list.
    auto guard = mutex_.lock("postings");
    if (prunes_ == prunes_at_listing) indexed_through_ = files;
    return ok();
}

Result<std::optional<Position>> KindPostings::find_version(const std::filesystem::path& root, const Manifest& manifest,
                                                           SegmentCache& cache, const Dictionary& dictionary,
                                                           const Id96& vid) {
    const std::shared_ptr<const SegmentFiles> files = cache.segment_files(manifest);
    const std::unordered_map<std::uint64_t, std::string>& of_kind = files->of(kind_);

    // The candidates with a copy of their segment's source, taken under the lock; read without it.
    struct Candidate {
        std::uint32_t number;
        Position position;
        VidSource source;
        bool changed = false;
    };
    constexpr std::size_t inline_candidates = 4;  // a list rarely holds more than one
    std::array<Candidate, inline_candidates> inline_list;
    std::vector<Candidate> long_list;
    std::size_t count = 0;
    const auto candidate = [&](std::size_t index) -> Candidate& {
        return long_list.empty() ? inline_list[index] : long_list[index];
    };
    std::uint64_t epoch = 0;
    std::uint64_t prunes_at_lookup = 0;
    for (bool indexed = false;;) {
        // A failed allocation below leaves every source whole: the file list grows before the
        // sources, and a source's epoch is set only once its file name is.
        const bool looked_up = mutex_.with_lock("postings", [&] {
            // Once this generation's list is indexed whole, nothing is left for index_segments.
            if (indexed || indexed_through_ == files) {
                if (sources_files_ != files) {
                    sources_files_ = files;
                    ++sources_epoch_;
                }
                epoch = sources_epoch_;
                prunes_at_lookup = prunes_;
                const PositionIndex& by_vid = postings_.by_vid;
                by_vid.for_each(vid_key(vid), [&](std::uint32_t number, Position position) {
                    if (number >= sources_.size()) {
                        source_files_.resize(by_vid.segment_count());
                        sources_.resize(by_vid.segment_count());
                    }
                    VidSource& source = sources_[number];
                    if (source.epoch != epoch) {
                        const auto file = of_kind.find(position.segment_id);
                        source.listed = file != of_kind.end();
                        // A ticket and columns got under another file name are not this file's.
                        if (source.listed && file->second != source_files_[number]) {
                            source_files_[number] = file->second;
                            source = VidSource{};
                            source.listed = true;
                        }
                        source.epoch = epoch;
                    }
                    // A posting of a segment that left the generation's list is passed over.
                    if (!source.listed) return;
                    if (count == inline_candidates) long_list.assign(inline_list.begin(), inline_list.end());
                    if (long_list.empty())
                        inline_list[count] = Candidate{number, position, source};
                    else
                        long_list.push_back(Candidate{number, position, source});
                    ++count;
                });
                return true;
            }
            return false;
        });
        if (looked_up) break;
        VORP_TRY(index_segments(root, manifest, cache, dictionary));
        indexed = true;
    }

    std::optional<Position> found;
    bool changed = false;
    for (std::size_t index = 0; index < count && !found; ++index) {
        Candidate& entry = candidate(index);
        VidSource& source = entry.source;
        // Lent, not shared: a reference would write to the segment's own count on every close.
        const SegmentCache::Loan loan = source.ticket ? cache.lend(source.ticket) : SegmentCache::Loan{};
        const Segment* segment = loan.get();
        std::shared_ptr<const Segment> opened;
        if (segment == nullptr) {
            // First touch, or the entry left the cache: the lookup by name, which may open the file.
            CacheTicket ticket;
            opened = VORP_TRY(cache.open_segment(root, manifest, of_kind.at(entry.position.segment_id), ticket));
            segment = opened.get();
            source.ticket = ticket;
            source.have_vid64 = source.have_vid_lo32 = false;
            entry.changed = changed = true;
        }
        // A column read (or failed to read) is the same every time from the same opened segment.
        if (!source.have_vid64) {
            source.vid64 = VORP_TRY_FILE(segment->path, version_columns(*segment, kind_).vid64.get());
            source.have_vid64 = entry.changed = changed = true;
        }
        const std::uint32_t row = entry.position.row;
        if (row >= source.vid64.size() || source.vid64[row] != vid.prefix) continue;
        if (!source.have_vid_lo32) {
            source.vid_lo32 = VORP_TRY_FILE(segment->path, version_columns(*segment, kind_).vid_lo32.get());
            source.have_vid_lo32 = entry.changed = changed = true;
        }
        if (row >= source.vid_lo32.size() || source.vid_lo32[row] != vid.suffix) continue;
        found = entry.position;
    }

    if (changed) {
        auto guard = mutex_.lock("postings");
        // Kept only while the numbering and every resolution are those the copies were made under.
        if (prunes_ == prunes_at_lookup && sources_epoch_ == epoch)
            for (std::size_t index = 0; index < count; ++index)
                if (const Candidate& entry = candidate(index); entry.changed) sources_[entry.number] = entry.source;
    }
    return found;
}

PostingsStats KindPostings::stats() {
    auto guard = mutex_.lock("postings");
    return {postings_.by_identity.positions(), postings_.by_vid.positions(), postings_.indexed.size()};
}

void KindPostings::retain_segments(const std::unordered_set<std::uint64_t>& keep) {
    // The postings are pruned whole or not at all; what follows allocates nothing.
    mutex_.with_lock([&] {
        postings_.retain_segments(keep);
        // The segments are numbered afresh: what was kept by number is kept no more.
        sources_.clear();
        source_files_.clear();
        indexed_through_.reset();
        ++prunes_;
    });
}

void evict_segments_not_in(SegmentCache& cache, KindPostings& edge_postings, KindPostings& node_postings,
                           const FileNameSet& live) {
    cache.retain_files(live);
    std::unordered_set<std::uint64_t> keep;
    keep.reserve(live.size());
    for (const std::string& file : live) keep.insert(segment_id_of(file));
    edge_postings.retain_segments(keep);
    node_postings.retain_segments(keep);
}

}  // namespace vorp
