// The one door through which reads reach segment files, and the per-generation lookups beside it:
//
// - SegmentCache: per store handle, a byte-budgeted least-recently-used cache of opened segments,
//   the set of files whose checksums this handle has already verified, and the segment-id -> file
//   maps of the current generation. A file's checksums are verified the first time the handle
//   opens it and never again, however often the cache evicts and reopens it.
// - CloseIndexCache: the committed close index of the current generation, read from its close
//   runs once and extended, not rebuilt, when a later generation only appended runs; beside it,
//   built on first use, the same closes as a flat per-segment table for scans.
//
// Locking. Each guarded structure has its own PoisonMutex, named as in its poison message
// ("segment-cache", "verified-set", "files-cache", "close-cache"). Every one is a leaf: no path
// holds two at once, and none is held while a file is mapped, opened, verified or read, so a
// cache hit never waits for another thread's I/O. Whatever allocates under a lock does so before
// its first change (PoisonMutex::with_lock), so an allocation failure leaves the structure as it
// was and its lock usable. Opened segments and close indexes are shared immutably
// (std::shared_ptr<const ...>); evicting a segment drops only the cache's reference, so a reader
// that holds it keeps it mapped until it lets go.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vorp/error.h"
#include "vorp/manifest.h"
#include "vorp/segment.h"
#include "vorp/visibility.h"

namespace vorp {

// The id `segment_id_of` gives a file name that carries none.
inline constexpr std::uint64_t NO_SEGMENT_ID = UINT64_MAX;

// The segment id written in a file name: the part after the last '/' must be a decimal stem
// (optional leading '+', digits only, no overflow, leading zeros allowed) followed by ".vos".
// Anything else gives NO_SEGMENT_ID.
std::uint64_t segment_id_of(std::string_view file);

// A segment file of the generation with the id its name carries.
struct SegmentFileRef {
    std::string file;  // as the manifest's SegmentEntry holds it, relative to the store root
    std::uint64_t segment_id = NO_SEGMENT_ID;

    bool operator==(const SegmentFileRef&) const = default;
};

// The manifest's event-lane entries then its interval-lane entries, each lane in manifest order.
std::vector<SegmentFileRef> edge_files(const Manifest& manifest);
// The manifest's node_store entries in manifest order.
std::vector<SegmentFileRef> node_files(const Manifest& manifest);

// Hash set of file names that can be searched with a string_view.
struct FileNameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
};
using FileNameSet = std::unordered_set<std::string, FileNameHash, std::equal_to<>>;

// Segment id -> file name of one generation, per kind. Immutable once built; shared by reference.
struct SegmentFiles {
    // Event lane then interval lane: a later entry with the same id replaces an earlier one.
    std::unordered_map<std::uint64_t, std::string> edge;
    std::unordered_map<std::uint64_t, std::string> node;
    // The edge files, event lane then interval lane, each in manifest order, and the id each
    // one's name carries: what a scan's targets take, once per generation rather than once per
    // scan.
    std::vector<std::string> edge_names;
    std::vector<std::uint64_t> edge_ids;
    // The row count the manifest entry of each file gives, both kinds (for a file listed twice, its
    // last entry's): what a segment's header must claim before it is decoded.
    std::unordered_map<std::string, std::uint32_t, FileNameHash, std::equal_to<>> rows;

    static SegmentFiles build(const Manifest& manifest);
    // The manifest's row count for `file`; nothing when the generation does not list it.
    std::optional<std::uint32_t> rows_of(std::string_view file) const;
    const std::unordered_map<std::uint64_t, std::string>& of(RowKind kind) const {
        return kind == RowKind::Edge ? edge : node;
    }
};

// What an opened segment pins in memory, the cache's unit of account: the mapped length of the
// file, plus for every column decoded at open its values rounded up to whole 8-byte words, plus
// the unpacked string table when the stored one was packed. Columns and tables read in place
// from the map count nothing beyond the map.
std::uint64_t segment_cost(const Segment& segment);

// Names one insertion of a file into a SegmentCache, as open_segment handed it out: `cached` of the
// ticket finds that entry again without hashing the file name, for as long as it stays cached.
// Every insertion (a reopen after eviction, a concurrent open of the same file) gets a new serial,
// so a ticket never finds a segment other than the one it was handed out with.
struct CacheTicket {
    std::uint32_t slot = 0;
    std::uint64_t serial = 0;  // 0: no entry

    explicit operator bool() const { return serial != 0; }
};

struct SegmentCacheStats {
    std::uint64_t entries = 0;
    std::uint64_t accounted_bytes = 0;
    std::optional<std::uint64_t> budget;  // absent: unbounded
    std::uint64_t evictions = 0;

    bool operator==(const SegmentCacheStats&) const = default;
};

class SegmentCache {
public:
    // `budget` absent means unbounded; fixed for the cache's life.
    explicit SegmentCache(std::optional<std::uint64_t> budget);
    SegmentCache(const SegmentCache&) = delete;
    SegmentCache& operator=(const SegmentCache&) = delete;

    // The opened segment of `file` (a file name of `manifest`, joined onto `root`): from the cache
    // when it holds the file, else mapped and opened without any lock held, with checksum
    // verification exactly when this cache has not verified the file before, then inserted at the
    // cost of segment_cost and the least recently used other entries evicted while the budget is
    // exceeded. The entry just inserted is never evicted, so a single segment larger than the
    // budget stays cached alone. A file is opened expecting the row count of its entry in
    // `manifest` (segment_files), so a header claiming other rows is refused before it is decoded.
    // Errors of the map and the open are returned unchanged; nothing is cached or recorded as
    // verified then.
    Result<std::shared_ptr<const Segment>> open_segment(const std::filesystem::path& root, const Manifest& manifest,
                                                        std::string_view file);
    // The same, and `ticket` names the entry that holds the segment returned.
    Result<std::shared_ptr<const Segment>> open_segment(const std::filesystem::path& root, const Manifest& manifest,
                                                        std::string_view file, CacheTicket& ticket);
    // The cached segment of `file`, counted as a lookup as open_segment counts one; null when the
    // cache does not hold it (nothing is opened).
    std::shared_ptr<const Segment> cached(std::string_view file);
    // cached() of each of `files`, in order, under one lock: the clock and the last use of every
    // hit advance exactly as by those calls. `list` names the list of files (a generation's edge
    // segments; one name must always come with the same files). When the last call named the same
    // list and the cache has neither gained, replaced nor lost an entry since, the entries it
    // found are taken again without looking a name up, and the segments come as aliases of one
    // shared holder of their references: a scan of thousands of small segments then costs
    // neither a hash lookup nor a reference-count change per segment. `hit_rows` is set to the sum
    // of the hits' header row counts (kept with the list, so a repeated list reads no header).
    std::vector<std::shared_ptr<const Segment>> cached_list(std::uint64_t list, std::span<const std::string_view> files,
                                                            std::uint64_t& hit_rows);
    // A cached segment lent out without a reference of its own: while any loan is out, the
    // segments that leave the cache are kept aside, not released, until the last loan is given
    // back, so a loan's segment stays mapped for as long as the loan lives. For a brief look at
    // one segment on a hot path, where taking a reference would write to a line of that segment
    // (its reference count) on every call. Given back by its destructor.
    class Loan {
    public:
        Loan() = default;
        Loan(Loan&& other) noexcept
            : cache_(std::exchange(other.cache_, nullptr)), segment_(std::exchange(other.segment_, nullptr)) {}
        Loan& operator=(Loan&&) = delete;
        Loan(const Loan&) = delete;
        ~Loan() {
            if (cache_ != nullptr) cache_->give_back();
        }
        const Segment* get() const { return segment_; }

    private:
        friend class SegmentCache;
        Loan(SegmentCache* cache, const Segment* segment) : cache_(cache), segment_(segment) {}
        SegmentCache* cache_ = nullptr;
        const Segment* segment_ = nullptr;
    };
    // The segment of the entry `ticket` names, when that entry is still cached: counted as a hit
    // of open_segment on its file is (the clock advances, the entry becomes the most recently
    // used). An empty loan, with nothing changed, when the entry has left the cache; the caller
    // then asks open_segment, which counts the lookup.
    Loan lend(CacheTicket ticket);

    // The segment files of `manifest`'s generation: the cached maps when they belong to that
    // generation, else built without the lock and cached in place of whatever was there.
    std::shared_ptr<const SegmentFiles> segment_files(const Manifest& manifest);

    // (entries, accounted bytes, budget, evictions).
    SegmentCacheStats stats();

    // Drops every cached segment and every verified mark whose file is not in `live` (the first
    // two steps of the store's eviction; the postings are pruned by evict_segments_not_in).
    // `evictions` and the clock are unchanged.
    void retain_files(const FileNameSet& live);

    // The verified set, shared with reads that map segment files themselves.
    bool is_verified(std::string_view file);
    void mark_verified(std::string_view file);

    // Whether `file` is cached (diagnostics and tests).
    bool contains(std::string_view file);

private:
    // One cache line each: a hit by ticket reads and writes nothing else of the cache's entries.
    struct alignas(64) CacheEntry {
        std::shared_ptr<const Segment> segment;
        std::uint64_t bytes = 0;
        std::uint64_t last_used = 0;
        std::uint64_t serial = 0;  // of the insertion; 0 while the slot is free
    };

    // A hit of the entry in `slot`: the clock was advanced by the caller.
    std::shared_ptr<const Segment> touch(std::uint32_t slot, CacheTicket* ticket);
    // Frees the slot of an entry that left `map_` (its segment kept aside while loans are out:
    // room for it was made by make_room_to_release).
    void release_slot(std::uint32_t slot);
    // Room to keep aside every segment the cache holds now and one more, so that the releases
    // of one change never allocate.
    void make_room_to_release();
    void give_back() noexcept;

    // Under "segment-cache". The entries live in `entries_`, addressed by slot; `map_` names the
    // slot of each cached file. A freed slot is reused by a later insertion under a new serial.
    const std::optional<std::uint64_t> budget_;
    PoisonMutex cache_mutex_{"segment-cache"};
    std::unordered_map<std::string, std::uint32_t, FileNameHash, std::equal_to<>> map_;
    std::vector<CacheEntry> entries_;
    std::vector<std::uint32_t> free_slots_;
    // What the last cached_list found: its list's name, the slots of its hits (NONE for a file not
    // cached) and the holder of their segments. Dropped on every insertion and removal, so it
    // never names a slot whose entry has changed.
    struct ListMemo {
        static constexpr std::uint32_t NONE = UINT32_MAX;
        std::uint64_t list = 0;
        std::vector<std::uint32_t> slots;
        std::shared_ptr<const std::vector<std::shared_ptr<const Segment>>> holder;
        std::uint64_t hit_rows = 0;
    };
    std::optional<ListMemo> list_memo_;
    std::uint64_t next_serial_ = 1;
    std::size_t loans_ = 0;  // loans not given back yet
    std::vector<std::shared_ptr<const Segment>> kept_for_loans_;  // empty whenever loans_ is 0
    std::uint64_t clock_ = 0;
    std::uint64_t accounted_bytes_ = 0;
    std::uint64_t evictions_ = 0;

    // Under "verified-set".
    PoisonMutex verified_mutex_{"verified-set"};
    FileNameSet verified_set_;

    // Under "files-cache": (generation, files).
    PoisonMutex files_mutex_{"files-cache"};
    std::optional<std::pair<std::uint64_t, std::shared_ptr<const SegmentFiles>>> files_cache_;
};

// The committed close index of a store handle, cached per generation. Reads of one generation
// share one index; a generation whose close-run list extends the cached one reads only the runs
// it added (extending the index in place when no one else holds it, else a copy, so a holder
// never sees its index change); any other list is read from scratch.
class CloseIndexCache {
public:
    CloseIndexCache() = default;
    CloseIndexCache(const CloseIndexCache&) = delete;
    CloseIndexCache& operator=(const CloseIndexCache&) = delete;

    // The single-layer index of every close run of `manifest` (runs in manifest order, rows in
    // file order, a later value for the same (segment, row) replacing an earlier one). On a
    // current-only store: an empty, uncached index when the manifest lists no runs, else an
    // `invariant` error. A run that cannot be read fails the call and leaves the cache empty.
    Result<std::shared_ptr<const CloseIndex>> committed_close_index(const std::filesystem::path& root,
                                                                    const Manifest& manifest, bool current_only);

    // The flat table of the cached committed index (CloseTable::build of it alone), when `index`
    // is that index: built on first request without the lock and kept with the index until the
    // cache moves to another generation. Null for any other index (the caller then looks the
    // closes up in the index itself).
    // `build` makes the table when it is not cached yet (CloseTable::build of the index by default).
    std::shared_ptr<const CloseTable> close_table(
        const std::shared_ptr<const CloseIndex>& index,
        const std::function<CloseTable(const std::shared_ptr<const CloseIndex>&)>& build = {});

    // On a cache that holds nothing yet (a fresh handle), the flat table of every close run of
    // `manifest`, built straight from the run files by `build` without the index, and kept as the
    // generation's record until an index is asked for (committed_close_index then reads the runs
    // again). Also returned while that record stands. Null in every other case: the caller then
    // takes the index and its table. Errors as committed_close_index's; the cache stays empty.
    // With `ways` > 1 and a `run`, the run files are read by that many workers through `run`,
    // and the first failure in manifest order is reported, as when they are read one by one.
    Result<std::shared_ptr<const CloseTable>> cold_close_table(
        const std::filesystem::path& root, const Manifest& manifest, bool current_only,
        const std::function<CloseTable(std::span<const std::vector<StagedClose>>)>& build, std::size_t ways = 1,
        const CloseTable::Runner& run = {});

    // How many close runs the cached index covers, when one is cached (tests and diagnostics).
    std::optional<std::size_t> cached_run_count();

private:
    struct Record {
        std::uint64_t generation = 0;
        std::size_t run_count = 0;
        std::optional<std::pair<std::string, std::string>> last_run;  // (file, sha) of run count - 1
        std::shared_ptr<CloseIndex> index;        // null in a record made by cold_close_table
        std::shared_ptr<const CloseTable> table;  // of `index`, once asked for; holds it too
    };

    PoisonMutex mutex_{"close-cache"};
    std::optional<Record> cache_;
};

}  // namespace vorp
