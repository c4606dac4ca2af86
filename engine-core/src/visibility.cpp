// Close-run files and the layered close index.
//
// Close-run file layout (little-endian), 20 + 21 * n bytes:
//
//   offset        size    field
//   0             4       head magic "VOCR"
//   4             4       version, u32; written as 1, never examined on reading
//   8             4       n, the row count, u32
//   12            21 * n  rows, back to back, no padding:
//                           +0  1  kind: 0 node, 1 edge
//                           +1  8  segment id, u64
//                           +9  4  row within the segment, u32
//                           +13 8  tt_e, i64
//   12 + 21n      4       CRC-32C of the row bytes (0 for no rows), u32
//   16 + 21n      4       completion marker "VOCE"
//
// The marker is the last thing in the image and the image reaches its final name only by a rename
// after a full sync, so a file without it was never completely written. Bytes between the
// checksum and a marker that sits further out are not examined.
#include "vorp/visibility.h"

#include <algorithm>
#include <atomic>
#include <unordered_map>
#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/durable.h"
#include "vorp/fileio.h"
#include "vorp/radix_sort.h"
#include "vorp/text.h"

namespace vorp {

static_assert(std::endian::native == std::endian::little, "close runs are read and written as little-endian");

namespace {

constexpr std::string_view HEAD_MAGIC = "VOCR";
constexpr std::string_view TAIL_MAGIC = "VOCE";
constexpr std::size_t MIN_FILE_BYTES = CLOSE_RUN_HEADER_BYTES + CLOSE_RUN_TRAILER_BYTES;

template <class T>
void put(char* out, T value) {
    std::memcpy(out, &value, sizeof value);
}

template <class T>
T get(const char* in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    return value;
}

}  // namespace

std::filesystem::path close_run_relative_path(std::uint64_t generation) {
    return std::filesystem::path("close") / fmt::format("{:012}.voc", generation);
}

Result<std::string> encode_close_run(std::span<const StagedClose> rows) {
    if (rows.empty()) return fail(EngineError::invariant("refusing to write an empty close run"));
    // The count field is 32 bits; a larger run would be written with a count that disagrees with
    // its rows and could never be read back.
    if (rows.size() > UINT32_MAX)
        return fail(EngineError::capacity(
            fmt::format("a close run cannot hold more than {} rows (got {})", UINT32_MAX, rows.size())));
    const auto n = static_cast<std::uint32_t>(rows.size());
    const std::size_t rows_bytes = CLOSE_RUN_ROW_BYTES * rows.size();
    std::string image(MIN_FILE_BYTES + rows_bytes, '\0');
    char* out = image.data();
    std::memcpy(out, HEAD_MAGIC.data(), 4);
    put<std::uint32_t>(out + 4, CLOSE_RUN_VERSION);
    put<std::uint32_t>(out + 8, n);
    char* row_out = out + CLOSE_RUN_HEADER_BYTES;
    for (const StagedClose& close : rows) {
        row_out[0] = close.kind ? 1 : 0;
        put<std::uint64_t>(row_out + 1, close.segment_id);
        put<std::uint32_t>(row_out + 9, close.row);
        put<std::int64_t>(row_out + 13, close.tt_e);
        row_out += CLOSE_RUN_ROW_BYTES;
    }
    put<std::uint32_t>(row_out, crc32c(out + CLOSE_RUN_HEADER_BYTES, rows_bytes));
    std::memcpy(row_out + 4, TAIL_MAGIC.data(), 4);
    return image;
}

Result<std::vector<StagedClose>> decode_close_run(std::string_view image) {
    if (image.size() < MIN_FILE_BYTES || image.substr(0, 4) != HEAD_MAGIC)
        return fail(EngineError::corrupt("not a VORP close run (bad magic)"));
    if (image.substr(image.size() - 4) != TAIL_MAGIC)
        return fail(EngineError::corrupt("close run has no completion marker \u2014 it was never finished being written"));
    const std::uint32_t n = get<std::uint32_t>(image.data() + 8);
    // In 64 bits: 21 * n overflows 32 bits for large (corrupt) counts. This check also bounds the
    // allocation below by the file's size.
    const std::uint64_t rows_bytes = std::uint64_t{CLOSE_RUN_ROW_BYTES} * n;
    if (image.size() < MIN_FILE_BYTES + rows_bytes) return fail(EngineError::corrupt("close run is truncated"));
    const char* rows_in = image.data() + CLOSE_RUN_HEADER_BYTES;
    const std::uint32_t computed = crc32c(rows_in, rows_bytes);
    const std::uint32_t recorded = get<std::uint32_t>(rows_in + rows_bytes);
    if (computed != recorded)
        return fail(EngineError::corrupt(
            fmt::format("close run failed its checksum (computed {:#x}, recorded {:#x})", computed, recorded)));
    std::vector<StagedClose> rows;
    rows.reserve(n);
    for (std::uint32_t row_idx = 0; row_idx < n; ++row_idx) {
        const char* row_in = rows_in + std::size_t{CLOSE_RUN_ROW_BYTES} * row_idx;
        const auto kind = static_cast<std::uint8_t>(row_in[0]);
        if (kind > 1)
            return fail(EngineError::corrupt(fmt::format("close run has unknown row kind {}", kind))
                            .at_offset(CLOSE_RUN_HEADER_BYTES + std::uint64_t{CLOSE_RUN_ROW_BYTES} * row_idx));
        rows.push_back(StagedClose{
            .segment_id = get<std::uint64_t>(row_in + 1),
            .tt_e = get<std::int64_t>(row_in + 13),
            .row = get<std::uint32_t>(row_in + 9),
            .kind = kind == 1,
        });
    }
    return rows;
}

Result<std::uint32_t> write_close_run(const std::filesystem::path& path, std::span<const StagedClose> rows) {
    // Nothing touches the disk until the image is complete: refusals leave no file or directory.
    const std::string image = VORP_TRY(encode_close_run(rows));
    std::filesystem::path tmp_path = path;
    tmp_path.replace_extension("voc.tmp");
    VORP_TRY(write_via_temp(path, tmp_path, image));
    return static_cast<std::uint32_t>(rows.size());
}

Result<std::vector<StagedClose>> read_close_run(const std::filesystem::path& path) {
    const std::string image = VORP_TRY_FILE(path, read_file(path));
    return VORP_TRY_FILE(path, decode_close_run(image));
}

// ---- close map -------------------------------------------------------------------------------------

void CloseMap::reserve(std::size_t entries) {
    if (entries <= capacity()) return;
    std::size_t slots = 16;
    while (slots - slots / 4 < entries) slots *= 2;
    if (slots > slots_.size()) grow_to(slots);
}

void CloseMap::grow_to(std::size_t slot_count) {
    auto old = std::exchange(slots_, decltype(slots_)(slot_count));
    const std::size_t mask = slot_count - 1;
    for (const Slot& entry : old) {
        if (!entry.full) continue;
        std::size_t slot = home(entry.segment_id, entry.row);
        while (slots_[slot].full) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
}

void CloseMap::insert_or_assign(std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e) {
    if (used_ + 1 > capacity()) grow_to(slots_.empty() ? 16 : 2 * slots_.size());
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = home(segment_id, row);; slot = (slot + 1) & mask) {
        Slot& entry = slots_[slot];
        if (!entry.full) {
            entry = Slot{segment_id, row, 1, tt_e};
            ++used_;
            return;
        }
        if (entry.segment_id == segment_id && entry.row == row) {
            entry.tt_e = tt_e;
            return;
        }
    }
}

const std::int64_t* CloseMap::find(std::uint64_t segment_id, std::uint32_t row) const {
    if (used_ == 0) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = home(segment_id, row);; slot = (slot + 1) & mask) {
        const Slot& entry = slots_[slot];
        if (!entry.full) return nullptr;
        if (entry.segment_id == segment_id && entry.row == row) return &entry.tt_e;
    }
}

bool CloseMap::operator==(const CloseMap& other) const {
    if (used_ != other.used_) return false;
    bool same = true;
    for_each([&](std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e) {
        const std::int64_t* value = other.find(segment_id, row);
        same = same && value != nullptr && *value == tt_e;
    });
    return same;
}

// ---- close index -------------------------------------------------------------------------------------

CloseIndex CloseIndex::layered_over(std::shared_ptr<const CloseIndex> base) {
    CloseIndex layer;
    layer.base = std::move(base);
    return layer;
}

CloseIndex& CloseIndex::unshare(std::shared_ptr<CloseIndex>& layer) {
    if (!layer) {
        layer = std::make_shared<CloseIndex>();
    } else if (layer.use_count() != 1) {
        layer = std::make_shared<CloseIndex>(*layer);
    }
    return *layer;
}

bool CloseIndex::touches(std::uint64_t segment_id) const {
    for (const CloseIndex* layer = this; layer != nullptr; layer = layer->base.get())
        if (layer->touched.contains(segment_id)) return true;
    return false;
}

std::optional<std::int64_t> CloseIndex::find(std::uint64_t segment_id, std::uint32_t row) const {
    for (const CloseIndex* layer = this; layer != nullptr; layer = layer->base.get()) {
        if (const std::int64_t* value = layer->closed.find(segment_id, row)) return *value;
    }
    return std::nullopt;
}

void CloseIndex::insert(std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e) {
    // All or nothing, so that a close that fails to be recorded is never half seen by reads: room
    // in the map first, then the segment's mark (one set insertion, which completes or changes
    // nothing), then the value, which can no longer allocate.
    closed.reserve(closed.size() + 1);
    touched.insert(segment_id);
    closed.insert_or_assign(segment_id, row, tt_e);
}

void CloseIndex::insert_run(std::span<const StagedClose> rows) {
    // Sized once for the first run; later runs let insertion grow the map geometrically. (An exact
    // reserve per run sizes the table to just fit, so runs appended one by one to a large index
    // rehash it far more often.)
    if (closed.empty()) closed.reserve(rows.size());
    // A run lists the closes of one segment together: its id goes into `touched` once per stretch.
    std::optional<std::uint64_t> last_segment;
    for (const StagedClose& close : rows) {
        closed.insert_or_assign(close.segment_id, close.row, close.tt_e);
        if (last_segment != close.segment_id) {
            touched.insert(close.segment_id);
            last_segment = close.segment_id;
        }
    }
}

namespace {

// The parallel form of CloseTable::build: entries gathered per slice of buckets into partitions
// by segment, then each partition sorted by (segment, row, depth) and cut into its segments.
CloseTable build_in_ways(std::shared_ptr<const CloseIndex> top, const CloseIndex* stop, std::size_t ways,
                         const CloseTable::Runner& run) {
    struct Entry {
        std::uint64_t segment;
        std::uint32_t row;
        std::uint32_t depth;
        std::int64_t tt_e;
    };
    std::vector<const CloseIndex*> layers;
    for (const CloseIndex* layer = top.get(); layer != nullptr && layer != stop; layer = layer->base.get())
        layers.push_back(layer);
    // gathered[slice * ways + partition]: what one slice found for one partition.
    std::vector<std::vector<Entry>> gathered(ways * ways);
    run(ways, [&](std::size_t slice) {
        for (std::size_t depth = 0; depth < layers.size(); ++depth) {
            const CloseMap& closed = layers[depth]->closed;
            const std::size_t slots = closed.slot_count();
            closed.for_each_in(slots * slice / ways, slots * (slice + 1) / ways,
                               [&](std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e) {
                                   gathered[slice * ways + segment_id % ways].push_back(
                                       {segment_id, row, static_cast<std::uint32_t>(depth), tt_e});
                               });
        }
    });
    std::vector<std::vector<std::pair<std::uint64_t, CloseTable::Rows>>> parts(ways);
    run(ways, [&](std::size_t partition) {
        std::vector<Entry> entries;
        std::size_t total = 0;
        for (std::size_t slice = 0; slice < ways; ++slice) total += gathered[slice * ways + partition].size();
        entries.reserve(total);
        for (std::size_t slice = 0; slice < ways; ++slice) {
            std::vector<Entry>& from = gathered[slice * ways + partition];
            entries.insert(entries.end(), from.begin(), from.end());
            from = {};
        }
        std::ranges::sort(entries, [](const Entry& a, const Entry& b) {
            if (a.segment != b.segment) return a.segment < b.segment;
            return a.row != b.row ? a.row < b.row : a.depth < b.depth;
        });
        for (std::size_t first = 0; first < entries.size();) {
            std::size_t last = first;
            CloseTable::Rows rows;
            while (last < entries.size() && entries[last].segment == entries[first].segment) {
                if (rows.empty() || rows.back().first != entries[last].row) rows.emplace_back(entries[last].row, entries[last].tt_e);
                ++last;
            }
            parts[partition].emplace_back(entries[first].segment, std::move(rows));
            first = last;
        }
    });
    CloseTable table;
    table.source = std::move(top);
    std::size_t segments = 0;
    for (const auto& part : parts) segments += part.size();
    table.segments.reserve(segments);
    for (auto& part : parts)
        for (auto& [segment, rows] : part) {
            table.entries += rows.size();
            table.segments.emplace(segment, std::move(rows));
        }
    return table;
}

}  // namespace

namespace {

// Rows up to this many closes of one segment are sorted by comparison; longer ones by digits.
constexpr std::size_t RADIX_SORT_FROM = 2048;

// Sorts (row, tt_e) pairs by row, keeping pairs of one row in their order (stable).
void stable_sort_by_row(CloseTable::Rows& rows, CloseTable::Rows& scratch) {
    if (rows.size() < RADIX_SORT_FROM)
        std::ranges::stable_sort(rows, {}, &std::pair<std::uint32_t, std::int64_t>::first);
    else
        stable_radix_sort(rows, scratch, [](const std::pair<std::uint32_t, std::int64_t>& entry) { return entry.first; });
}

}  // namespace

CloseTable CloseTable::from_runs(std::span<const std::vector<StagedClose>> runs, std::size_t ways, const Runner& run) {
    // The sequence of all runs is cut into slices; each slice gathers its (row, tt_e) pairs per
    // segment in sequence order. A segment's lists, joined in slice order, are then in sequence
    // order too, so a stable sort by row leaves the deciding (last) entry of a row last among
    // its own. Segments are sorted and deduplicated each on its own, largest first.
    const std::size_t parts = std::max<std::size_t>(ways, 1);
    const auto sequential = [](std::size_t count, const std::function<void(std::size_t)>& work) {
        for (std::size_t index = 0; index < count; ++index) work(index);
    };
    const Runner& runner = run ? run : Runner(sequential);
    std::vector<std::size_t> first_place(runs.size() + 1, 0);
    for (std::size_t index = 0; index < runs.size(); ++index) first_place[index + 1] = first_place[index] + runs[index].size();
    const std::size_t total = first_place.back();
    std::vector<std::unordered_map<std::uint64_t, Rows>> gathered(parts);
    runner(parts, [&](std::size_t slice) {
        const std::size_t begin = total * slice / parts;
        const std::size_t end = total * (slice + 1) / parts;
        std::unordered_map<std::uint64_t, Rows>& mine = gathered[slice];
        std::size_t run_index = static_cast<std::size_t>(std::ranges::upper_bound(first_place, begin) - first_place.begin()) - 1;
        Rows* list = nullptr;
        std::uint64_t list_segment = 0;
        for (std::size_t place = begin; place < end; ++place) {
            while (place >= first_place[run_index + 1]) ++run_index;
            const StagedClose& close = runs[run_index][place - first_place[run_index]];
            if (list == nullptr || close.segment_id != list_segment) {
                list = &mine[close.segment_id];  // references into the map survive its rehashing
                list_segment = close.segment_id;
            }
            list->emplace_back(close.row, close.tt_e);
        }
    });

    // Every segment once, ascending by id; then the order they are worked on, largest first.
    std::vector<std::pair<std::uint64_t, std::size_t>> sizes;
    {
        std::unordered_map<std::uint64_t, std::size_t> counted;
        for (const auto& slice : gathered)
            for (const auto& [segment, rows] : slice) counted[segment] += rows.size();
        sizes.assign(counted.begin(), counted.end());
    }
    std::ranges::sort(sizes);
    std::vector<std::size_t> order(sizes.size());
    for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
    std::ranges::stable_sort(order, [&](std::size_t a, std::size_t b) { return sizes[a].second > sizes[b].second; });

    std::vector<Rows> flattened(sizes.size());
    std::atomic<std::size_t> next{0};
    runner(std::min(parts, std::max<std::size_t>(sizes.size(), 1)), [&](std::size_t) {
        Rows scratch;
        for (std::size_t claim = next.fetch_add(1, std::memory_order_relaxed); claim < order.size();
             claim = next.fetch_add(1, std::memory_order_relaxed)) {
            const auto& [segment, count] = sizes[order[claim]];
            Rows rows;
            rows.reserve(count);
            for (auto& slice : gathered) {
                const auto found = slice.find(segment);
                if (found == slice.end()) continue;
                rows.insert(rows.end(), found->second.begin(), found->second.end());
                found->second = Rows{};
            }
            stable_sort_by_row(rows, scratch);
            // Keep the last entry of each row.
            std::size_t kept = 0;
            for (std::size_t at = 0; at < rows.size(); ++at) {
                if (kept != 0 && rows[kept - 1].first == rows[at].first)
                    rows[kept - 1].second = rows[at].second;  // a later place decides
                else
                    rows[kept++] = rows[at];
            }
            rows.resize(kept);
            flattened[order[claim]] = std::move(rows);
        }
    });
    CloseTable table;
    table.segments.reserve(sizes.size());
    for (std::size_t index = 0; index < sizes.size(); ++index) {
        table.entries += flattened[index].size();
        table.segments.emplace(sizes[index].first, std::move(flattened[index]));
    }
    return table;
}

CloseTable CloseTable::build(std::shared_ptr<const CloseIndex> top, const CloseIndex* stop, std::size_t ways,
                             const Runner& run) {
    if (ways > 1 && run) return build_in_ways(std::move(top), stop, ways, run);
    // Every entry of every flattened layer, tagged with its layer's depth (0 the top), gathered
    // per segment; sorting by (row, depth) puts the deciding layer's entry first among a row's.
    struct Entry {
        std::uint32_t row;
        std::uint32_t depth;
        std::int64_t tt_e;
    };
    std::unordered_map<std::uint64_t, std::vector<Entry>> gathered;
    std::uint32_t depth = 0;
    for (const CloseIndex* layer = top.get(); layer != nullptr && layer != stop; layer = layer->base.get(), ++depth) {
        std::uint64_t last_segment = 0;
        std::vector<Entry>* list = nullptr;
        layer->closed.for_each([&](std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e) {
            if (list == nullptr || segment_id != last_segment) {
                list = &gathered[segment_id];
                last_segment = segment_id;
            }
            list->push_back({row, depth, tt_e});
        });
    }
    CloseTable table;
    table.source = std::move(top);
    table.segments.reserve(gathered.size());
    for (auto& [segment_id, list] : gathered) {
        std::ranges::sort(list, [](const Entry& a, const Entry& b) {
            return a.row != b.row ? a.row < b.row : a.depth < b.depth;
        });
        Rows& rows = table.segments[segment_id];
        rows.reserve(list.size());
        for (const Entry& entry : list)
            if (rows.empty() || rows.back().first != entry.row) rows.emplace_back(entry.row, entry.tt_e);
        table.entries += rows.size();
        list = {};
    }
    return table;
}

std::optional<std::int64_t> CloseTable::find(std::uint64_t segment_id, std::uint32_t row) const {
    return find_closed_row(of(segment_id), row);
}

}  // namespace vorp
