#include "vorp/segment_cache.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <span>

#include "vorp/radix_sort.h"

namespace vorp {

std::uint64_t segment_id_of(std::string_view file) {
    const std::size_t slash = file.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
    constexpr std::string_view extension = ".vos";
    if (name.size() <= extension.size() || !name.ends_with(extension)) return NO_SEGMENT_ID;
    std::string_view stem = name.substr(0, name.size() - extension.size());
    if (stem.starts_with('+')) stem.remove_prefix(1);
    if (stem.empty()) return NO_SEGMENT_ID;
    std::uint64_t value = 0;
    for (const char c : stem) {
        if (c < '0' || c > '9') return NO_SEGMENT_ID;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return NO_SEGMENT_ID;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

void append_refs(std::vector<SegmentFileRef>& out, const std::vector<SegmentEntry>& entries) {
    for (const SegmentEntry& entry : entries) out.push_back({entry.file, segment_id_of(entry.file)});
}

void insert_ids(std::unordered_map<std::uint64_t, std::string>& out, const std::vector<SegmentEntry>& entries) {
    for (const SegmentEntry& entry : entries) out.insert_or_assign(segment_id_of(entry.file), entry.file);
}

}  // namespace

std::vector<SegmentFileRef> edge_files(const Manifest& manifest) {
    std::vector<SegmentFileRef> out;
    out.reserve(manifest.edge_lanes.event.size() + manifest.edge_lanes.interval.size());
    append_refs(out, manifest.edge_lanes.event);
    append_refs(out, manifest.edge_lanes.interval);
    return out;
}

std::vector<SegmentFileRef> node_files(const Manifest& manifest) {
    std::vector<SegmentFileRef> out;
    out.reserve(manifest.node_store.size());
    append_refs(out, manifest.node_store);
    return out;
}

SegmentFiles SegmentFiles::build(const Manifest& manifest) {
    SegmentFiles files;
    files.edge.reserve(manifest.edge_lanes.event.size() + manifest.edge_lanes.interval.size());
    insert_ids(files.edge, manifest.edge_lanes.event);
    insert_ids(files.edge, manifest.edge_lanes.interval);
    for (const auto* lane : {&manifest.edge_lanes.event, &manifest.edge_lanes.interval}) {
        for (const SegmentEntry& entry : *lane) {
            files.edge_names.push_back(entry.file);
            files.edge_ids.push_back(segment_id_of(entry.file));
        }
    }
    files.node.reserve(manifest.node_store.size());
    insert_ids(files.node, manifest.node_store);
    files.rows.reserve(manifest.edge_lanes.event.size() + manifest.edge_lanes.interval.size() +
                       manifest.node_store.size());
    for (const auto* list : {&manifest.edge_lanes.event, &manifest.edge_lanes.interval, &manifest.node_store})
        for (const SegmentEntry& entry : *list) files.rows.insert_or_assign(entry.file, entry.rows);
    return files;
}

std::optional<std::uint32_t> SegmentFiles::rows_of(std::string_view file) const {
    if (const auto found = rows.find(file); found != rows.end()) return found->second;
    return std::nullopt;
}

std::uint64_t segment_cost(const Segment& segment) {
    std::uint64_t cost = segment.file_bytes().size();
    for (const std::optional<DecodedColumn>& column : segment.decoded)
        if (column) cost += (static_cast<std::uint64_t>(column->byte_len) + 7) & ~std::uint64_t{7};
    if (segment.unpacked_strings) cost += segment.unpacked_strings->size();
    return cost;
}

// ---- SegmentCache -----------------------------------------------------------------------------------

SegmentCache::SegmentCache(std::optional<std::uint64_t> budget) : budget_(budget) {}

std::shared_ptr<const Segment> SegmentCache::touch(std::uint32_t slot, CacheTicket* ticket) {
    CacheEntry& entry = entries_[slot];
    entry.last_used = clock_;
    if (ticket != nullptr) *ticket = CacheTicket{slot, entry.serial};
    return entry.segment;
}

void SegmentCache::release_slot(std::uint32_t slot) {
    if (loans_ > 0) kept_for_loans_.push_back(std::move(entries_[slot].segment));
    entries_[slot] = CacheEntry{};
    free_slots_.push_back(slot);
}

void SegmentCache::make_room_to_release() {
    if (loans_ > 0) kept_for_loans_.reserve(kept_for_loans_.size() + map_.size() + 1);
}

SegmentCache::Loan SegmentCache::lend(CacheTicket ticket) {
    auto guard = cache_mutex_.lock();
    // The serial is unique to one insertion, so a match is that very entry, still under its file.
    if (!ticket || ticket.slot >= entries_.size() || entries_[ticket.slot].serial != ticket.serial) return Loan{};
    ++clock_;
    CacheEntry& entry = entries_[ticket.slot];
    entry.last_used = clock_;
    ++loans_;
    return Loan(this, entry.segment.get());
}

void SegmentCache::give_back() noexcept {
    std::vector<std::shared_ptr<const Segment>> released;
    {
        // Only a count goes down here, a change that cannot be left half made.
        auto guard = cache_mutex_.lock_even_if_poisoned();
        if (--loans_ == 0) released.swap(kept_for_loans_);
    }
    // The segments kept aside are unmapped here, with no lock held.
}

std::shared_ptr<const Segment> SegmentCache::cached(std::string_view file) {
    auto guard = cache_mutex_.lock();
    ++clock_;
    if (const auto it = map_.find(file); it != map_.end()) return touch(it->second, nullptr);
    return nullptr;
}

std::vector<std::shared_ptr<const Segment>> SegmentCache::cached_list(std::uint64_t list,
                                                                      std::span<const std::string_view> files,
                                                                      std::uint64_t& hit_rows) {
    std::vector<std::shared_ptr<const Segment>> out(files.size());
    // The memo and its holder are made before the first entry changes: an allocation failure
    // leaves the cache as it was.
    return cache_mutex_.with_lock([&] {
        if (list_memo_ && list_memo_->list == list && list_memo_->slots.size() == files.size()) {
            const auto& holder = list_memo_->holder;
            for (std::size_t index = 0; index < files.size(); ++index) {
                ++clock_;
                if (const std::uint32_t slot = list_memo_->slots[index]; slot != ListMemo::NONE) {
                    entries_[slot].last_used = clock_;
                    out[index] = std::shared_ptr<const Segment>(holder, entries_[slot].segment.get());
                }
            }
            hit_rows = list_memo_->hit_rows;
            return std::move(out);
        }
        ListMemo memo{list, std::vector<std::uint32_t>(files.size(), ListMemo::NONE), nullptr, 0};
        auto holder = std::make_shared<std::vector<std::shared_ptr<const Segment>>>(files.size());
        for (std::size_t index = 0; index < files.size(); ++index) {
            ++clock_;
            if (const auto it = map_.find(files[index]); it != map_.end()) {
                CacheEntry& entry = entries_[it->second];
                entry.last_used = clock_;
                memo.slots[index] = it->second;
                (*holder)[index] = entry.segment;
                out[index] = std::shared_ptr<const Segment>(holder, entry.segment.get());
                memo.hit_rows += entry.segment->header.rows;
            }
        }
        hit_rows = memo.hit_rows;
        memo.holder = std::move(holder);
        list_memo_ = std::move(memo);
        return std::move(out);
    });
}

Result<std::shared_ptr<const Segment>> SegmentCache::open_segment(const std::filesystem::path& root,
                                                                    const Manifest& manifest, std::string_view file) {
    CacheTicket ticket;
    return open_segment(root, manifest, file, ticket);
}

Result<std::shared_ptr<const Segment>> SegmentCache::open_segment(const std::filesystem::path& root,
                                                                    const Manifest& manifest, std::string_view file,
                                                                    CacheTicket& ticket) {
    {
        auto guard = cache_mutex_.lock();
        ++clock_;
        if (const auto it = map_.find(file); it != map_.end()) return touch(it->second, &ticket);
    }

    // Miss: map, open and (the first time for this handle) verify without holding any lock, so
    // hits and other files' opens proceed meanwhile. Two threads missing on the same file both
    // open it; the later insertion replaces the earlier one below.
    const std::filesystem::path path = root / std::filesystem::path(file);
    const bool verified = is_verified(file);
    // The generation's lists are cached per generation: a miss pays a lookup, a hit nothing.
    const std::optional<std::uint32_t> expected_rows = segment_files(manifest)->rows_of(file);
    MmapSource source = VORP_TRY(MmapSource::load(path));
    std::shared_ptr<const Segment> segment = VORP_TRY(Segment::open(path, std::move(source), !verified, expected_rows));
    if (!verified) mark_verified(file);
    const std::uint64_t cost = segment_cost(*segment);

    // Room first, so that nothing below can fail once the map has changed: an allocation failure
    // leaves the entries as they were (the clock advanced, the memo dropped, the room kept).
    return cache_mutex_.with_lock([&]() -> std::shared_ptr<const Segment> {
        ++clock_;
        list_memo_.reset();
        // (A free list as long as the entries can be makes every release below allocation-free.)
        if (free_slots_.empty() && entries_.size() == entries_.capacity()) {
            if (entries_.size() >= std::numeric_limits<std::uint32_t>::max() / 2)
                engine_panic("the segment cache ran out of entry slots");
            entries_.reserve(std::max<std::size_t>(16, 2 * entries_.capacity()));
        }
        if (free_slots_.capacity() < entries_.capacity()) free_slots_.reserve(entries_.capacity());
        make_room_to_release();
        auto [it, inserted] = map_.try_emplace(std::string(file), 0);
        if (!inserted) {
            // Another thread's entry for the same file: replaced, its ticket no longer finds it.
            accounted_bytes_ -= entries_[it->second].bytes;
            release_slot(it->second);
        }
        std::uint32_t slot;
        if (!free_slots_.empty()) {
            slot = free_slots_.back();
            free_slots_.pop_back();
        } else {
            slot = static_cast<std::uint32_t>(entries_.size());
            entries_.emplace_back();
        }
        it->second = slot;
        entries_[slot] = CacheEntry{segment, cost, clock_, next_serial_++};
        ticket = CacheTicket{slot, entries_[slot].serial};
        accounted_bytes_ += cost;
        // Least recently used first; clock values are unique, so the victim is too. One pass over the
        // entries per victim: the cache holds at most a few thousand segments.
        while (budget_ && accounted_bytes_ > *budget_ && map_.size() >= 2) {
            auto victim = map_.end();
            for (auto candidate = map_.begin(); candidate != map_.end(); ++candidate) {
                if (candidate == it) continue;
                if (victim == map_.end() || entries_[candidate->second].last_used < entries_[victim->second].last_used)
                    victim = candidate;
            }
            accounted_bytes_ -= entries_[victim->second].bytes;
            ++evictions_;
            release_slot(victim->second);
            map_.erase(victim);  // iterators to other elements, `it` included, stay valid
        }
        return segment;
    });
}

std::shared_ptr<const SegmentFiles> SegmentCache::segment_files(const Manifest& manifest) {
    const std::uint64_t generation = manifest.generation;
    {
        auto guard = files_mutex_.lock();
        if (files_cache_ && files_cache_->first == generation) return files_cache_->second;
    }
    auto files = std::make_shared<const SegmentFiles>(SegmentFiles::build(manifest));
    auto guard = files_mutex_.lock();
    files_cache_.emplace(generation, files);
    return files;
}

SegmentCacheStats SegmentCache::stats() {
    auto guard = cache_mutex_.lock();
    return {map_.size(), accounted_bytes_, budget_, evictions_};
}

void SegmentCache::retain_files(const FileNameSet& live) {
    // The room to release into is the one allocation, made before any entry goes.
    cache_mutex_.with_lock([&] {
        list_memo_.reset();
        make_room_to_release();
        for (auto it = map_.begin(); it != map_.end();) {
            if (live.contains(it->first)) {
                ++it;
            } else {
                accounted_bytes_ -= entries_[it->second].bytes;
                release_slot(it->second);
                it = map_.erase(it);
            }
        }
    });
    auto guard = verified_mutex_.lock();
    std::erase_if(verified_set_, [&](const std::string& file) { return !live.contains(file); });
}

bool SegmentCache::is_verified(std::string_view file) {
    auto guard = verified_mutex_.lock();
    return verified_set_.contains(file);
}

void SegmentCache::mark_verified(std::string_view file) {
    // One insertion: complete, or (allocation failure) the set as it was.
    verified_mutex_.with_lock([&] {
        if (!verified_set_.contains(file)) verified_set_.emplace(file);
    });
}

bool SegmentCache::contains(std::string_view file) {
    auto guard = cache_mutex_.lock();
    return map_.contains(file);
}

namespace {

// Inserts the rows of `runs` (in manifest order, rows in file order, so that a later value for
// the same key wins) into `index`, whose map is already sized for them. A map of millions of
// closes spreads over tens of megabytes, and in file order every insert probes a random part of
// it. Inserted in order of their home slots instead (a stable order: the rows of one key, which
// share a home, keep theirs), the probes walk the table from end to end. The map's contents are
// the same in either order.
void insert_runs(CloseIndex& index, std::span<const std::vector<StagedClose>> runs) {
    std::size_t adding = 0;
    for (const std::vector<StagedClose>& rows : runs) adding += rows.size();
    const std::size_t slots = index.closed.slot_count();
    // A small extension, or a map small enough for the cache, goes straight in.
    constexpr std::size_t ordered_from = 4096;
    if (adding < ordered_from || slots < 4 * ordered_from || slots > UINT32_MAX) {
        for (const std::vector<StagedClose>& rows : runs) index.insert_run(rows);
        return;
    }
    struct Item {
        std::uint32_t home;
        const StagedClose* close;
    };
    std::vector<Item> items, scratch;
    items.reserve(adding);
    for (const std::vector<StagedClose>& rows : runs)
        for (const StagedClose& close : rows)
            items.push_back({static_cast<std::uint32_t>(index.closed.home(close.segment_id, close.row)), &close});
    stable_radix_sort(items, scratch, [](const Item& item) { return item.home; });
    for (const Item& item : items) index.insert(item.close->segment_id, item.close->row, item.close->tt_e);
}

}  // namespace

// ---- CloseIndexCache --------------------------------------------------------------------------------

Result<std::shared_ptr<const CloseIndex>> CloseIndexCache::committed_close_index(const std::filesystem::path& root,
                                                                                 const Manifest& manifest,
                                                                                 bool current_only) {
    const std::vector<CloseRunRef>& runs = manifest.close_runs;
    if (current_only) {
        if (runs.empty()) return std::make_shared<const CloseIndex>();
        return fail(EngineError::invariant(
            "current-only store has close runs — the CURRENT_ONLY marker does not match the manifest"));
    }

    const std::uint64_t generation = manifest.generation;
    // The record is taken out while the runs are read, so the lock is never held across file I/O
    // and the index can be extended without another caller seeing it half done. A concurrent
    // caller meanwhile finds the cache empty and builds its own index; the later store wins.
    std::optional<Record> record;
    {
        auto guard = mutex_.lock();
        record = std::exchange(cache_, std::nullopt);
    }

    std::shared_ptr<CloseIndex> index;
    std::size_t start = 0;
    if (record && record->index == nullptr) record.reset();  // a table alone: read the runs afresh
    if (record) {
        if (record->generation == generation) {
            std::shared_ptr<const CloseIndex> same = record->index;
            auto guard = mutex_.lock();
            cache_ = std::move(record);
            return same;
        }
        // The table holds the index too: drop it first, so that the reference count below says
        // whether anyone outside the cache still reads the index.
        record->table.reset();
        const std::size_t covered = record->run_count;
        const bool prefix =
            covered <= runs.size() &&
            (covered == 0 || (record->last_run && runs[covered - 1].file == record->last_run->first &&
                              runs[covered - 1].sha == record->last_run->second));
        if (prefix) {
            index = std::move(record->index);
            start = covered;
        }
    }
    if (!index) {
        index = std::make_shared<CloseIndex>();
    } else if (start < runs.size()) {
        // Copy on write: extend in place only when the cache held the sole reference. The
        // acquire fence orders our writes after every former holder's reads, whose releases
        // (reference-count decrements) we observed.
        if (index.use_count() == 1)
            std::atomic_thread_fence(std::memory_order_acquire);
        else
            index = std::make_shared<CloseIndex>(*index);
    }

    // Every new run is read before any is inserted, so the map is sized once for all of them: a
    // first read of a store rebuilds it from every run, and growing it run by run would rehash it
    // again and again.
    std::vector<std::vector<StagedClose>> read;
    read.reserve(runs.size() - start);
    std::size_t adding = 0;
    for (std::size_t position = start; position < runs.size(); ++position) {
        read.push_back(VORP_TRY(read_close_run(root / std::filesystem::path(runs[position].file))));
        adding += read.back().size();
    }
    // An extension grows the map geometrically: sized to fit exactly, every generation's first
    // read would rehash every close of the store to add one run's.
    if (adding > 0) {
        auto& closed = index->closed;
        const std::size_t wanted = closed.size() + adding;
        if (wanted > closed.capacity()) closed.reserve(std::max(wanted, 2 * closed.size()));
    }
    insert_runs(*index, read);

    Record fresh{generation, runs.size(), std::nullopt, index, nullptr};
    if (!runs.empty()) fresh.last_run.emplace(runs.back().file, runs.back().sha);
    auto guard = mutex_.lock();
    cache_ = std::move(fresh);
    return std::shared_ptr<const CloseIndex>(std::move(index));
}

std::shared_ptr<const CloseTable> CloseIndexCache::close_table(
    const std::shared_ptr<const CloseIndex>& index,
    const std::function<CloseTable(const std::shared_ptr<const CloseIndex>&)>& build) {
    if (!index) return nullptr;
    {
        auto guard = mutex_.lock();
        if (!cache_ || cache_->index != index) return nullptr;
        if (cache_->table) return cache_->table;
    }
    // Built without the lock. The caller's reference keeps the index from being extended in place
    // meanwhile (that needs the cache's to be the only one), so the table matches it.
    auto table = std::make_shared<const CloseTable>(build ? build(index) : CloseTable::build(index));
    auto guard = mutex_.lock();
    if (cache_ && cache_->index == index) {
        if (cache_->table) return cache_->table;  // another caller was quicker: share one table
        cache_->table = table;
    }
    return table;
}

Result<std::shared_ptr<const CloseTable>> CloseIndexCache::cold_close_table(
    const std::filesystem::path& root, const Manifest& manifest, bool current_only,
    const std::function<CloseTable(std::span<const std::vector<StagedClose>>)>& build, std::size_t ways,
    const CloseTable::Runner& run) {
    const std::vector<CloseRunRef>& runs = manifest.close_runs;
    if (current_only) {
        if (!runs.empty()) VORP_TRY(committed_close_index(root, manifest, current_only));  // its error
        return nullptr;
    }
    {
        auto guard = mutex_.lock();
        if (cache_ && cache_->index == nullptr && cache_->generation == manifest.generation) return cache_->table;
        if (cache_) return nullptr;
    }
    std::vector<std::vector<StagedClose>> read;
    const std::size_t workers = run ? std::min(ways, runs.size()) : 1;
    if (workers <= 1) {
        read.reserve(runs.size());
        for (const CloseRunRef& ref : runs) read.push_back(VORP_TRY(read_close_run(root / std::filesystem::path(ref.file))));
    } else {
        // Each file is checked and decoded on its own, so they are claimed one at a time by the
        // workers; every one is read, then the first failure in manifest order decides.
        read.resize(runs.size());
        std::vector<std::optional<EngineError>> errors(runs.size());
        std::atomic<std::size_t> next{0};
        run(workers, [&](std::size_t) {
            for (std::size_t position = next.fetch_add(1, std::memory_order_relaxed); position < runs.size();
                 position = next.fetch_add(1, std::memory_order_relaxed)) {
                auto rows = read_close_run(root / std::filesystem::path(runs[position].file));
                if (rows)
                    read[position] = std::move(*rows);
                else
                    errors[position] = std::move(rows).error();
            }
        });
        for (std::optional<EngineError>& error : errors)
            if (error) return fail(std::move(*error));
    }
    auto table = std::make_shared<const CloseTable>(build(read));
    // The record, with its copies of the last run's name and sha, is made before the lock: an
    // allocation failing under it would poison the cache for every later read of the handle.
    std::optional<Record> fresh(std::in_place, manifest.generation, runs.size(), std::nullopt, nullptr, table);
    if (!runs.empty()) fresh->last_run.emplace(runs.back().file, runs.back().sha);
    auto guard = mutex_.lock();
    if (!cache_) cache_ = std::move(fresh);
    return table;
}

std::optional<std::size_t> CloseIndexCache::cached_run_count() {
    auto guard = mutex_.lock();
    if (!cache_) return std::nullopt;
    return cache_->run_count;
}

}  // namespace vorp
