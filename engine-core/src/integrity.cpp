#include "vorp/integrity.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <memory>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "vorp/derive.h"
#include "vorp/fileio.h"
#include "vorp/interrupt.h"
#include "vorp/manifest_chain.h"
#include "vorp/threads.h"
#include "vorp/segment.h"
#include "vorp/segment_cache.h"
#include "vorp/text.h"

namespace vorp {

namespace {

namespace fs = std::filesystem;

// Layers and the fixed paths of findings.
constexpr std::string_view LAYER_MANIFEST = "manifest";
constexpr std::string_view LAYER_SEGMENT = "segment";
constexpr std::string_view LAYER_CLOSE = "close";
constexpr std::string_view LAYER_DICT = "dict";
constexpr std::string_view LAYER_DICTIONARY = "dictionary";
constexpr std::string_view LAYER_ROW = "row";

constexpr std::string_view VERIFY_WORKER_PANICKED = "verification worker panicked";

Finding make_finding(std::string_view layer, std::string_view kind, std::string path, std::uint64_t generation,
                     std::string detail) {
    Finding finding;
    finding.layer = layer;
    finding.kind = kind;
    finding.path = std::move(path);
    finding.generation = generation;
    finding.detail = std::move(detail);
    return finding;
}

// "missing" rather than "unreadable" is decided by whether the file's metadata can be read at all.
bool metadata_readable(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A system call that failed for want of memory (ENOMEM) says nothing about the store: the check
// ends with std::bad_alloc, as an allocation of the engine's own would, instead of a finding.
const EngineError& not_out_of_memory(const EngineError& error) {
    if (error.os_error_code() == ENOMEM) throw std::bad_alloc();
    return error;
}

// Error texts in details: the whole display form, location and remedy included.
std::string file_error_detail(std::string_view file, const EngineError& error) {
    return fmt::format("{}: {}", file, not_out_of_memory(error).display());
}

// Per segment, the (row, tt_e) of its rows that closes outside the segment name, ascending by row:
// the close index flattened for the row walk, which visits each segment's rows in order.
using HeldCloses = std::unordered_map<std::uint64_t, std::vector<std::pair<std::uint32_t, std::int64_t>>>;

// Rows of a segment walked between interruption points (each derives an edge id or checks texts),
// and intervals or findings between them.
constexpr std::uint64_t WALK_TICK_ROWS = 4096;

HeldCloses held_from_rows(std::span<const StagedClose> close_rows);
Result<RowWalkReport> walk_rows(const fs::path& root, const Manifest& manifest, const Dictionary& dictionary,
                                const HeldCloses& held, const std::unordered_set<std::string>& passed_over);

}  // namespace

void VerifyReport::flag(Finding finding) {
    if (finding.severity == SEVERITY_ERROR) problems.push_back(finding.detail);
    findings.push_back(std::move(finding));
}

// ---- fast mode -------------------------------------------------------------------------------------

Result<FastVerification> verify_files(const NativeStore& store) {
    const Manifest& manifest = store.manifest();
    const fs::path& root = store.root();
    const std::uint64_t generation = manifest.generation;

    FastVerification out;
    VerifyReport& report = out.report;
    report.mode = "fast";
    report.generation = generation;
    report.manifest_format = manifest.format;

    // A handle whose own manifest does not verify cannot be checked against anything.
    VORP_TRY(manifest.verify());

    // A file of this generation that is gone while CURRENT names a later one was collected by
    // another process: the store is sound and this handle is behind it, which no finding says.
    const auto not_collected = [&](const EngineError& error) -> Status {
        if (names_missing_file(error)) return store.check_not_collected();
        return ok();
    };

    if (auto rebuilt = reconstruct(root, generation); !rebuilt) {
        VORP_TRY(not_collected(rebuilt.error()));
        report.flag(make_finding(LAYER_MANIFEST, "chain-broken", "", generation,
                                 fmt::format("manifest chain: {}", not_out_of_memory(rebuilt.error()).message)));
    } else {
        report.manifest_checkpoint = rebuilt->checkpoint;
        report.manifest_deltas = rebuilt->deltas_since_checkpoint;
        if (rebuilt->manifest != manifest)
            report.flag(make_finding(LAYER_MANIFEST, "reconstruction-mismatch", manifest_relative_name(generation),
                                     generation,
                                     fmt::format("generation {} reconstructs from disk to sha {} but this handle holds {}",
                                                 generation, rebuilt->manifest.manifest_sha, manifest.manifest_sha)));
    }

    // Each segment is read whole, verified, counted and released before the next one is read. One
    // whose header claims other rows than its entry has its checksums verified but is not decoded
    // (decoding sizes its buffers from the header, which may lie): it is counted with the rows it
    // claims, reported, and left out of the row walk.
    const auto check_segment = [&](const SegmentEntry& entry) -> Status {
        VORP_TRY(interruption_point());
        const fs::path path = root / entry.file;
        std::optional<SegmentHeader> disagreeing;
        Result<std::shared_ptr<const Segment>> opened = [&]() -> Result<std::shared_ptr<const Segment>> {
            MemorySource source = VORP_TRY(MemorySource::load(path));
            if (Result<SegmentHeader> claimed = read_segment_header(path, source.bytes());
                claimed && claimed->rows != entry.rows)
                disagreeing = std::move(*claimed);
            return Segment::open(path, SegmentSource(std::move(source)), true, entry.rows);
        }();
        const bool mismatched =
            !opened && disagreeing && opened.error() == segment_rows_disagree(path, entry.rows, disagreeing->rows);
        if (!opened && !mismatched) {
            VORP_TRY(not_collected(opened.error()));
            const std::string_view kind = metadata_readable(path) ? "segment-unreadable" : "segment-missing";
            report.flag(make_finding(LAYER_SEGMENT, kind, entry.file, generation,
                                     file_error_detail(entry.file, opened.error())));
            out.unreadable_segments.insert(entry.file);
            return ok();
        }
        const SegmentHeader& header = opened ? (*opened)->header : *disagreeing;
        const auto runs = static_cast<std::uint32_t>(std::min<std::size_t>(header.tt_s_runs.size(), UINT32_MAX));
        ++report.segments_checked;
        report.rows += header.rows;
        report.tt_s_runs += header.tt_s_runs.size();
        report.max_tt_s_runs = std::max(report.max_tt_s_runs, runs);
        if (mismatched) {
            report.flag(make_finding(LAYER_SEGMENT, "row-count-mismatch", entry.file, generation,
                                     fmt::format("{}: manifest claims {} rows, segment holds {}", entry.file,
                                                 entry.rows, header.rows)));
            out.unreadable_segments.insert(entry.file);
        }
        return ok();
    };
    for (const SegmentEntry& entry : manifest.edge_lanes.event) VORP_TRY(check_segment(entry));
    for (const SegmentEntry& entry : manifest.edge_lanes.interval) VORP_TRY(check_segment(entry));
    for (const SegmentEntry& entry : manifest.node_store) VORP_TRY(check_segment(entry));

    for (const CloseRunRef& run : manifest.close_runs) {
        VORP_TRY(interruption_point());
        const fs::path path = root / run.file;
        auto rows = read_close_run(path);
        if (!rows) {
            VORP_TRY(not_collected(rows.error()));
            const std::string_view kind = metadata_readable(path) ? "close-run-unreadable" : "close-run-missing";
            report.flag(make_finding(LAYER_CLOSE, kind, run.file, generation, file_error_detail(run.file, rows.error())));
            continue;
        }
        ++report.close_runs_checked;
        report.closes += rows->size();
        if (rows->size() != run.entries)
            report.flag(make_finding(LAYER_CLOSE, "entry-count-mismatch", run.file, generation,
                                     fmt::format("{}: manifest claims {} entries, file holds {}", run.file,
                                                 run.entries, rows->size())));
        // A run whose count disagrees still reaches the walks: its rows are what readers fold in.
        out.close_rows.insert(out.close_rows.end(), rows->begin(), rows->end());
    }

    // The in-memory dictionary, uids added since the last commit included: between ensure_entities
    // and the next commit this reports a mismatch on purpose.
    report.dict_records = static_cast<std::uint32_t>(store.dict().size());
    if (report.dict_records != manifest.dict.records)
        report.flag(make_finding(LAYER_DICT, "record-count-mismatch", std::string(DICT_LOG_FILE), generation,
                                 fmt::format("dictionary holds {} records, manifest claims {}", report.dict_records,
                                             manifest.dict.records)));
    return out;
}

// ---- full mode -------------------------------------------------------------------------------------

Result<VerifyReport> verify_full(const NativeStore& store) {
    return verify_full_after(store, VORP_TRY(verify_files(store)));
}

namespace {

// Whether a file the handle's generation names is gone now.
bool generation_file_missing(const NativeStore& store) {
    const Manifest& manifest = store.manifest();
    if (!path_exists(manifest_path(store.root(), manifest.generation))) return true;
    for (const auto* list : {&manifest.edge_lanes.event, &manifest.edge_lanes.interval, &manifest.node_store})
        for (const SegmentEntry& entry : *list)
            if (!path_exists(store.root() / entry.file)) return true;
    for (const CloseRunRef& run : manifest.close_runs)
        if (!path_exists(store.root() / run.file)) return true;
    return false;
}

}  // namespace

Result<VerifyReport> verify_full_after(const NativeStore& store, FastVerification fast) {
    VerifyReport& report = fast.report;
    report.mode = "full";
    const Manifest& manifest = store.manifest();

    for (Finding& finding : check_current(store.root(), manifest)) report.flag(std::move(finding));
    for (Finding& finding : check_dict_log(store.root(), manifest)) report.flag(std::move(finding));
    for (Finding& finding : parent_chain(store.root(), manifest.generation)) report.flag(std::move(finding));
    for (Finding& finding : check_close_targets(manifest, fast.close_rows)) report.flag(std::move(finding));

    // The committed closes of this generation alone: closes staged in an open batch play no part.
    // They go straight into the walk's per-segment form: the same answers as a close index built
    // from the rows in order (a later close of a row replaces an earlier one), without the map.
    VORP_TRY(interruption_point());
    RowWalkReport walk = VORP_TRY(
        walk_rows(store.root(), manifest, store.dict(), held_from_rows(fast.close_rows), fast.unreadable_segments));
    report.rows_walked = walk.rows_walked;
    report.believed_rows = walk.believed_rows;
    report.identities_checked = walk.identities_checked;
    InterruptTicker ticker(WALK_TICK_ROWS);
    for (Finding& finding : walk.findings) {
        VORP_TRY(ticker.tick());
        report.flag(std::move(finding));
    }
    // The walk takes long on a large store, and a collection in another process may remove the
    // generation after the fast mode found it whole.
    if (!report.healthy() && generation_file_missing(store)) VORP_TRY(store.check_not_collected());
    return std::move(report);
}

std::vector<Finding> check_current(const fs::path& root, const Manifest& manifest) {
    const std::uint64_t generation = manifest.generation;
    std::vector<Finding> findings;
    const auto record = [&](std::string_view kind, std::string detail) {
        findings.push_back(make_finding(LAYER_MANIFEST, kind, std::string(CURRENT_FILE), generation, std::move(detail)));
        return findings;
    };

    const Result<std::string> text = read_file(root / CURRENT_FILE);
    if (!text)
        return record("current-unreadable",
                      fmt::format("CURRENT could not be read: {}", not_out_of_memory(text.error()).message));
    // The open's own parse: a CURRENT that passes here is one the store reopens from.
    Result<CurrentLine> line = parse_current(*text);
    if (!line) {
        const EngineError& error = not_out_of_memory(line.error());
        if (error.category == Category::Io)
            return record("current-unreadable", fmt::format("CURRENT could not be read: {}", error.message));
        return record("current-malformed", error.message);
    }
    const std::uint64_t published = line->generation;
    // Another process may have published a newer generation since this handle opened.
    if (published != generation) return findings;

    const std::string recomputed = manifest.digest();
    if (recomputed != line->sha)
        return record("digest-oracle-mismatch",
                      fmt::format("generation {} recomputes from scratch to {} but CURRENT publishes {} — the "
                                  "incrementally maintained digest and an independent recomputation of it disagree",
                                  generation, recomputed, line->sha));
    return findings;
}

std::vector<Finding> check_dict_log(const fs::path& root, const Manifest& manifest) {
    const std::uint64_t generation = manifest.generation;
    const fs::path log = root / DICT_LOG_FILE;
    std::vector<Finding> findings;
    const auto unreadable = [&](const EngineError& error) {
        findings.push_back(make_finding(LAYER_DICTIONARY, "dict-unreadable", std::string(DICT_LOG_FILE), generation,
                                        file_error_detail(DICT_LOG_FILE, error)));
    };

    // The same reading as the open's: a missing file is an empty one, only the committed prefix
    // counts, and it must hold exactly the committed records.
    const DictRef& recorded = manifest.dict;
    std::string image;
    if (metadata_readable(log)) {
        Result<std::string> read = read_file(log);
        if (!read) {
            unreadable(std::move(read).error().at_file(log));
            return findings;
        }
        image = std::move(*read);
    }
    if (image.size() < recorded.bytes) {
        unreadable(EngineError::corrupt(fmt::format("dictionary is shorter than its manifest claims ({} bytes on disk, "
                                                    "{} expected)",
                                                    image.size(), recorded.bytes))
                       .at_file(log));
        return findings;
    }
    image.resize(static_cast<std::size_t>(recorded.bytes));
    Dictionary scratch(log);
    if (Status loaded = scratch.load(image); !loaded) {
        unreadable(std::move(loaded).error().at_file(log));
        return findings;
    }
    if (scratch.size() != recorded.records)
        unreadable(EngineError::corrupt(fmt::format("dictionary holds {} records, manifest claims {}", scratch.size(),
                                                    recorded.records))
                       .at_file(log));

    // dense_id answers the lowest id of a uid, so a later record of the same uid is a duplicate.
    for (std::size_t id = 0; id < scratch.size(); ++id) {
        const auto dense = static_cast<std::uint32_t>(id);
        const std::string_view uid = scratch.uid(dense).value_or(std::string_view{});
        const std::optional<std::uint32_t> first = scratch.dense_id(uid);
        if (first && *first != dense)
            findings.push_back(make_finding(LAYER_DICTIONARY, "dict-duplicate-uid", std::string(DICT_LOG_FILE),
                                            generation,
                                            fmt::format("uid {} is recorded as dense ids {} and {}",
                                                        debug_quoted(uid), *first, dense)));
    }
    return findings;
}

// ---- parent_chain ----------------------------------------------------------------------------------

namespace {

// What the chain walk compares of one record; the records themselves are not kept.
struct ChainLink {
    bool delta = false;
    std::uint64_t parent = 0;
    std::string parent_sha;
    std::string manifest_sha;  // a delta's: the digest of the generation it produces
    std::int64_t created_tt = 0;
    std::uint64_t next_segment_id = 0;
    std::uint64_t event_log_offset = 0;
};

ChainLink link_of(const ManifestRecord& record) {
    ChainLink link;
    if (record.is_delta()) {
        const ManifestDelta& delta = record.delta();
        link.delta = true;
        link.parent = delta.parent;
        link.parent_sha = delta.parent_sha;
        link.manifest_sha = delta.manifest_sha;
        link.created_tt = delta.created_tt;
        link.next_segment_id = delta.next_segment_id;
        link.event_log_offset = delta.event_log.offset;
    } else {
        const Manifest& manifest = record.checkpoint();
        link.manifest_sha = manifest.manifest_sha;
        link.created_tt = manifest.created_tt;
        link.next_segment_id = manifest.next_segment_id;
        link.event_log_offset = manifest.event_log.offset;
    }
    return link;
}

// A chain-file name's generation: valid UTF-8, "{stem}.json" with a decimal stem.
std::optional<std::uint64_t> listed_generation(std::string_view name) {
    constexpr std::string_view suffix = ".json";
    if (validate_utf8(name)) return std::nullopt;
    if (name.size() <= suffix.size() || !name.ends_with(suffix)) return std::nullopt;
    return parse_u64_decimal(name.substr(0, name.size() - suffix.size()));
}

}  // namespace

std::vector<Finding> parent_chain(const fs::path& root, std::uint64_t generation) {
    std::vector<Finding> findings;
    const fs::path dir = root / MANIFESTS_DIR;
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::opendir(dir.c_str()), ::closedir);
    if (stream == nullptr) {
        if (errno == ENOMEM) throw std::bad_alloc();
        findings.push_back(make_finding(LAYER_MANIFEST, "manifests-unreadable", std::string(MANIFESTS_DIR), generation,
                                        fmt::format("manifest directory cannot be listed: {}",
                                                    EngineError::from_errno(errno).message)));
        return findings;
    }
    std::vector<std::uint64_t> listed;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream.get());
        if (entry == nullptr) break;  // the end, or an entry that cannot be read: what was listed counts
        const std::optional<std::uint64_t> g = listed_generation(entry->d_name);
        // Files above the handle's generation belong to commits it has not seen (or that failed).
        if (g && *g <= generation) listed.push_back(*g);
    }
    std::sort(listed.begin(), listed.end());

    // Pass one: each record read and verified on its own, by its canonical name.
    std::map<std::uint64_t, ChainLink> kept;
    for (const std::uint64_t g : listed) {
        Result<ManifestRecord> record = read_record(root, g);
        if (!record) {
            findings.push_back(make_finding(LAYER_MANIFEST, "manifest-unreadable", manifest_relative_name(g), g,
                                            fmt::format("generation {}: {}", g, not_out_of_memory(record.error()).message)));
            continue;
        }
        kept.insert_or_assign(g, link_of(*record));
    }
    if (kept.empty()) return findings;

    // Pass two: the links between records.
    const ChainLink* previous = nullptr;
    std::uint64_t previous_generation = 0;
    for (const std::uint64_t g : listed) {
        const auto found = kept.find(g);
        if (found == kept.end()) continue;
        const ChainLink& link = found->second;
        const auto add = [&](std::string_view kind, std::string detail) {
            findings.push_back(make_finding(LAYER_MANIFEST, kind, manifest_relative_name(g), g, std::move(detail)));
        };
        if (link.delta) {
            // parent + 1 == g, without overflow at either end.
            if (g == 0 || link.parent != g - 1)
                add("parent-not-predecessor",
                    fmt::format("generation {} names parent {} rather than {}", g, link.parent, g == 0 ? 0 : g - 1));
            if (const auto parent = kept.find(link.parent); parent != kept.end()) {
                if (parent->second.manifest_sha != link.parent_sha)
                    add("parent-sha-mismatch", fmt::format("generation {} names parent sha {} but generation {} records {}",
                                                           g, link.parent_sha, link.parent, parent->second.manifest_sha));
            } else {
                add("parent-missing",
                    fmt::format("generation {} is a delta against generation {}, which is not on disk", g, link.parent));
            }
        }
        if (previous != nullptr && previous_generation != UINT64_MAX && previous_generation + 1 == g) {
            const auto monotone = [&](std::string_view field, std::int64_t before, std::int64_t here) {
                if (here < before)
                    add("chain-not-monotone", fmt::format("generation {} moves {} backwards: {} at generation {}, {} here",
                                                          g, field, before, previous_generation, here));
            };
            // The genesis is stamped with no batch time: the first batch may use any time at all.
            if (previous_generation != 0) monotone("created_tt", previous->created_tt, link.created_tt);
            monotone("next_segment_id", static_cast<std::int64_t>(previous->next_segment_id),
                     static_cast<std::int64_t>(link.next_segment_id));
            monotone("event_log.offset", static_cast<std::int64_t>(previous->event_log_offset),
                     static_cast<std::int64_t>(link.event_log_offset));
        }
        previous = &link;
        previous_generation = g;
    }
    return findings;
}

// ---- check_close_targets -----------------------------------------------------------------------------

std::vector<Finding> check_close_targets(const Manifest& manifest, std::span<const StagedClose> close_rows) {
    std::vector<Finding> findings;
    std::unordered_map<std::uint64_t, std::uint32_t> rows_of;
    for (const auto* list : {&manifest.node_store, &manifest.edge_lanes.event, &manifest.edge_lanes.interval})
        for (const SegmentEntry& entry : *list) rows_of.insert_or_assign(segment_id_of(entry.file), entry.rows);
    if (close_rows.empty() || rows_of.empty()) return findings;
    for (const StagedClose& close : close_rows) {
        const auto found = rows_of.find(close.segment_id);
        // A close of a segment the generation does not list targets nothing readers look at.
        if (found == rows_of.end() || close.row < found->second) continue;
        findings.push_back(make_finding(LAYER_CLOSE, "close-row-out-of-range", "", manifest.generation,
                                        fmt::format("a close run closes row {} of segment {}, which holds {} rows",
                                                    close.row, close.segment_id, found->second)));
    }
    return findings;
}

// ---- check_rows --------------------------------------------------------------------------------------

void row_intervals(std::string_view path, std::uint64_t generation, std::uint32_t row, std::int64_t vt_s,
                   std::int64_t vt_e, std::int64_t tt_s, std::int64_t tt_e, std::vector<Finding>& findings) {
    if (vt_s >= vt_e)
        findings.push_back(make_finding(LAYER_ROW, "valid-interval-empty", std::string(path), generation,
                                        fmt::format("{} row {}: vt_s {} is not before vt_e {}", path, row, vt_s, vt_e)));
    if (tt_e != OPEN_END && tt_s >= tt_e)
        findings.push_back(make_finding(LAYER_ROW, "belief-interval-empty", std::string(path), generation,
                                        fmt::format("{} row {}: tt_s {} is not before tt_e {}", path, row, tt_s, tt_e)));
}


namespace {

// A currently believed valid-time interval of one identity; sorted by (identity, vt_s, vt_e) the
// intervals of an identity lie together in the order the overlap test needs.
struct EdgeInterval {
    Id96 id;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
};
struct NodeInterval {
    std::uint32_t id = 0;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
};

// Intervals are spread over buckets by identity, so that every identity's intervals meet in one
// bucket and the buckets can be sorted and compared independently (and in parallel). Edge ids are
// SHA-256 bits, so their top bits spread evenly; dense ids are spread by their low bits.
constexpr std::size_t INTERVAL_BUCKETS = 64;
std::size_t bucket_of(const Id96& id) { return static_cast<std::size_t>(id.prefix >> 58); }
std::size_t bucket_of(std::uint32_t id) { return id % INTERVAL_BUCKETS; }
template <class Interval>
using Buckets = std::array<std::vector<Interval>, INTERVAL_BUCKETS>;

// Sorts one bucket and groups it by identity: the number of identities, and for each adjacent
// pair within a group whose first interval ends after the second starts, `overlap(a, b)`.
// A bucket holds every version of its identities: one identity with a million versions, and as
// many overlaps, is one bucket, so the sort and the walk pass interruption points.
template <class Interval, class Report>
Result<std::uint64_t> overlaps(std::vector<Interval>& intervals, Report&& overlap) {
    VORP_TRY(interruptible_stable_sort(intervals.begin(), intervals.end(), [](const Interval& a, const Interval& b) {
        return std::tie(a.id, a.vt_s, a.vt_e) < std::tie(b.id, b.vt_s, b.vt_e);
    }));
    std::uint64_t identities = 0;
    InterruptTicker ticker(WALK_TICK_ROWS);
    for (std::size_t index = 0; index < intervals.size(); ++index) {
        VORP_TRY(ticker.tick());
        if (index == 0 || intervals[index].id != intervals[index - 1].id) {
            ++identities;
            continue;
        }
        const Interval& a = intervals[index - 1];
        const Interval& b = intervals[index];
        if (a.vt_e > b.vt_s) overlap(a, b);
    }
    return identities;
}

// What the walk of one segment yields; the walks' results are combined in walk order.
struct SegmentWalk {
    std::uint64_t rows_walked = 0;
    std::uint64_t believed_rows = 0;
    std::vector<Finding> findings;
    Buckets<EdgeInterval> edges;
    Buckets<NodeInterval> nodes;
};

// Shared read-only by every segment walk.
struct WalkContext {
    const fs::path& root;
    std::uint64_t generation = 0;
    std::uint32_t committed = 0;  // R: codes at or above it name nothing durable
    const Dictionary& dictionary;
    const HeldCloses& held_rows;
};

// Errors of the walk name the segment they came from.
EngineError located(EngineError error, const Segment& segment) {
    if (!error.location.file) error.location.file = segment.path;
    return error;
}

// A column of the walk from the segment's typed view (which holds a value for every row), its
// error naming the segment.
template <class T>
Result<std::span<const T>> walk_column(const Segment& segment, const ViewColumn<T>& column) {
    auto values = column.get();
    if (!values) return fail(located(std::move(values).error(), segment));
    return *values;
}

// tt_s of rows visited in ascending order: a cursor over the runs when they are as the writer
// lays them out (first at row 0, strictly ascending), otherwise the readers' own lookup, so that
// the walk meets exactly the answer, or the error, a read meets.
struct TtSCursor {
    const SegmentHeader& header;
    bool sound = false;
    std::size_t run = 0;

    explicit TtSCursor(const SegmentHeader& segment_header) : header(segment_header) {
        const auto& runs = header.tt_s_runs;
        sound = !runs.empty() && runs.front().first == 0;
        for (std::size_t index = 1; sound && index < runs.size(); ++index) sound = runs[index - 1].first < runs[index].first;
    }
    Result<std::int64_t> at(std::uint32_t row) {
        if (!sound) return header.tt_s_at(row);
        const auto& runs = header.tt_s_runs;
        while (run + 1 < runs.size() && runs[run + 1].first <= row) ++run;
        return runs[run].second;
    }
};

// tt_e by the belief rule's lookup (close_tt_e): the close index's value for the row unless it
// holds none or OPEN_END, then the segment's own closed_rows. Rows are visited in ascending order,
// so a cursor over the segment's closes from the index (flattened once per walk) replaces a hash
// probe per row.
struct CloseCursor {
    const SegmentHeader& header;
    const std::vector<std::pair<std::uint32_t, std::int64_t>>* held = nullptr;
    std::size_t next = 0;

    std::int64_t at(std::uint32_t row) {
        if (held != nullptr) {
            while (next < held->size() && (*held)[next].first < row) ++next;
            if (next < held->size() && (*held)[next].first == row && (*held)[next].second != OPEN_END)
                return (*held)[next].second;
        }
        return find_closed_row(header.closed_rows, row).value_or(OPEN_END);
    }
};

std::string key_text(std::int64_t vt_s, std::string_view vid) { return fmt::format("({}, {})", vt_s, vid); }


// The walk of one segment: its findings, counters and believed intervals.
class SegmentWalker {
public:
    SegmentWalker(const WalkContext& context, const SegmentEntry& entry, EidDeriver& derive, SegmentWalk& out)
        : ctx_(context), entry_(entry), file_(entry.file), derive_(derive), out_(out) {}

    void walk(RowKind kind) {
        const fs::path path = ctx_.root / file_;
        // The fast mode has read this file with its checksums; a failure here is the file changing
        // (or the memory map failing) since, and is reported all the same.
        Result<std::shared_ptr<const Segment>> opened = [&]() -> Result<std::shared_ptr<const Segment>> {
            MmapSource source = VORP_TRY(MmapSource::load(path));
            return Segment::open(path, SegmentSource(std::move(source)), false, entry_.rows);
        }();
        if (!opened) return unreadable(opened.error());
        const Segment& segment = **opened;
        check_header(segment);
        // An interrupted walk is no finding: the verification ends there (the caller sees the stop).
        if (Status walked = kind == RowKind::Edge ? walk_edges(segment) : walk_nodes(segment);
            !walked && walked.error().category != Category::Interrupted)
            unreadable(located(std::move(walked).error(), segment));
    }

private:
    void add(std::string_view layer, std::string_view kind, std::string detail) {
        out_.findings.push_back(make_finding(layer, kind, file_, ctx_.generation, std::move(detail)));
    }
    void unreadable(const EngineError& error) { add(LAYER_SEGMENT, "rows-unreadable", file_error_detail(file_, error)); }

    // What the writer guarantees of the header beyond what open checks, and the manifest entry's
    // summary of it: readers prune, binary-search and skip by these without checking them.
    void check_header(const Segment& segment) {
        const SegmentHeader& header = segment.header;
        const auto summary = [&](std::string_view field, const auto& claimed, const auto& actual) {
            if (claimed != actual)
                add(LAYER_SEGMENT, "entry-summary-mismatch",
                    fmt::format("{}: the manifest entry's {} is {}, but the segment's header gives {}", file_, field,
                                claimed, actual));
        };
        summary("key_lo", key_text(entry_.key_lo.first, entry_.key_lo.second),
                key_text(header.key_lo.first, header.key_lo.second));
        summary("key_hi", key_text(entry_.key_hi.first, entry_.key_hi.second),
                key_text(header.key_hi.first, header.key_hi.second));
        summary("vt_min", entry_.vt_min, header.vt_min);
        summary("vt_max", entry_.vt_max, header.vt_max);
        summary("vt_e_max", entry_.vt_e_max, header.vt_e_max);
        summary("tt_s_min", entry_.tt_s_min, segment.tt_s_min);
        summary("tt_s_max", entry_.tt_s_max, segment.tt_s_max);
        summary("n_closed_folded", std::uint64_t{entry_.n_closed_folded}, std::uint64_t{header.closed_rows.size()});
        summary("all_current", entry_.all_current, header.closed_rows.empty());

        const bool has_vt_e = segment.stores_vt_e();
        if (header.vt_e_elided && has_vt_e)
            add(LAYER_SEGMENT, "vt-e-elided-mismatch",
                fmt::format("{}: vt_e_elided is true but the segment has a vt_e column", file_));
        if (!header.vt_e_elided && !has_vt_e)
            add(LAYER_SEGMENT, "vt-e-elided-mismatch",
                fmt::format("{}: vt_e_elided is false but the segment has no vt_e column", file_));

        const auto& runs = header.tt_s_runs;
        for (std::size_t index = 1; index < runs.size(); ++index) {
            if (runs[index - 1].first < runs[index].first) continue;
            add(LAYER_SEGMENT, "tt-s-runs-not-ascending",
                fmt::format("{}: tt_s_runs entry {} starts at row {} after an entry starting at row {}", file_, index,
                            runs[index].first, runs[index - 1].first));
            break;
        }
        const auto& closed = header.closed_rows;
        for (std::size_t index = 1; index < closed.size(); ++index) {
            if (closed[index - 1].first < closed[index].first) continue;
            add(LAYER_SEGMENT, "closed-rows-unsorted",
                fmt::format("{}: closed_rows entry {} closes row {} after an entry closing row {}", file_, index,
                            closed[index].first, closed[index - 1].first));
            break;
        }
        for (const auto& [row, tt_e] : closed)
            if (row >= header.rows)
                add(LAYER_SEGMENT, "closed-row-past-end",
                    fmt::format("{}: closed_rows closes row {} but the segment holds {} rows", file_, row, header.rows));
    }

    // Rows ascending by (vt_s, vid) (the first row out of order is reported), and the header's
    // bounds holding every row (the row holding the extreme value is reported for each bound).
    void check_order_and_bounds(const SegmentHeader& header, const ValidEnds& ends, std::span<const std::uint64_t> vid64,
                                std::span<const std::uint32_t> vid_lo32) {
        const std::span<const std::int64_t> vt_s = ends.vt_s;
        if (vt_s.empty()) return;
        const auto key = [&](std::size_t row) { return std::tuple(vt_s[row], vid64[row], vid_lo32[row]); };
        const auto vid_text = [&](std::size_t row) { return Id96{vid64[row], vid_lo32[row]}.to_hex(); };
        std::size_t least_vt = 0, greatest_vt = 0, greatest_vt_e = 0, least_key = 0, greatest_key = 0;
        bool ordered = true;
        for (std::size_t row = 1; row < vt_s.size(); ++row) {
            if (ordered && key(row) < key(row - 1)) {
                ordered = false;
                add(LAYER_SEGMENT, "rows-out-of-order",
                    fmt::format("{} row {}: key {} sorts before the previous row's {}", file_, row,
                                key_text(vt_s[row], vid_text(row)), key_text(vt_s[row - 1], vid_text(row - 1))));
            }
            if (vt_s[row] < vt_s[least_vt]) least_vt = row;
            if (vt_s[row] > vt_s[greatest_vt]) greatest_vt = row;
            if (ends.at(row) > ends.at(greatest_vt_e)) greatest_vt_e = row;
            if (!ordered) {
                if (key(row) < key(least_key)) least_key = row;
                if (key(row) > key(greatest_key)) greatest_key = row;
            } else {
                greatest_key = row;
            }
        }
        const auto outside = [&](std::size_t row, std::string_view what, const auto& value, std::string_view side,
                                 std::string_view field, const auto& bound) {
            add(LAYER_SEGMENT, "header-bounds-exceeded",
                fmt::format("{} row {}: {} {} lies {} the header's {} {}", file_, row, what, value, side, field, bound));
        };
        if (vt_s[least_vt] < header.vt_min) outside(least_vt, "vt_s", vt_s[least_vt], "below", "vt_min", header.vt_min);
        if (vt_s[greatest_vt] > header.vt_max)
            outside(greatest_vt, "vt_s", vt_s[greatest_vt], "above", "vt_max", header.vt_max);
        if (ends.at(greatest_vt_e) > header.vt_e_max)
            outside(greatest_vt_e, "vt_e", ends.at(greatest_vt_e), "above", "vt_e_max", header.vt_e_max);
        const std::pair<std::int64_t, std::string> low{vt_s[least_key], vid_text(least_key)};
        if (low < header.key_lo)
            outside(least_key, "key", key_text(low.first, low.second), "below", "key_lo",
                    key_text(header.key_lo.first, header.key_lo.second));
        const std::pair<std::int64_t, std::string> high{vt_s[greatest_key], vid_text(greatest_key)};
        if (high > header.key_hi)
            outside(greatest_key, "key", key_text(high.first, high.second), "above", "key_hi",
                    key_text(header.key_hi.first, header.key_hi.second));
    }

    // String references: each is range-checked (the none marker passes only in a column whose
    // reads allow it), and each string is read the first time any row names it, so a table whose
    // offsets or text are damaged yields one finding per damaged string.
    struct RefColumn {
        std::string_view name;
        std::span<const std::uint32_t> refs;
        bool nullable = false;
    };
    enum : std::uint8_t { UNREAD = 0, READABLE = 1, UNREADABLE = 2 };

    // Whether the reference at `row` names a readable string (false for the none marker).
    bool check_ref(std::uint32_t row, const RefColumn& column) {
        const std::uint32_t ref = column.refs[row];
        if (ref == NO_STRING && column.nullable) return false;
        if (ref >= strings_.count) {
            add(LAYER_SEGMENT, "string-ref-out-of-range",
                fmt::format("{} row {}: {} names string {} of {} in this segment's heap", file_, row, column.name, ref,
                            strings_.count));
            return false;
        }
        std::uint8_t& state = string_state_[ref];
        if (state == UNREAD) {
            const Result<std::string_view> text = strings_.get(ref);
            state = text ? READABLE : UNREADABLE;
            if (!text)
                add(LAYER_SEGMENT, "string-unreadable",
                    fmt::format("{} row {}: {} names string {}, which cannot be read: {}", file_, row, column.name, ref,
                                not_out_of_memory(text.error()).message));
        }
        return state == READABLE;
    }
    Status load_strings(const Segment& segment) {
        strings_ = VORP_TRY(segment.strings());
        string_state_.assign(strings_.count, UNREAD);
        return ok();
    }

    Result<ValidEnds> valid_ends(const Segment& segment, std::span<const std::int64_t> vt_s,
                                 const ViewColumn<std::int64_t>& vt_e) {
        ValidEnds ends{vt_s, {}, segment.header.vt_e_elided};
        // With no rows vt_e is never asked for, so its absence is no error then.
        if (!ends.elided && !vt_s.empty()) ends.vt_e = VORP_TRY(walk_column(segment, vt_e));
        return ends;
    }

    CloseCursor close_cursor(const Segment& segment) {
        const auto found = ctx_.held_rows.find(segment_id_of(file_));
        return CloseCursor{segment.header, found == ctx_.held_rows.end() ? nullptr : &found->second};
    }

    // The times of a row, the interval tests, and whether the row is believed now (the belief rule
    // every read applies: a close at or above OPEN_END does not end belief).
    Result<bool> times(std::uint32_t row, const ValidEnds& ends, CloseCursor& closes, TtSCursor& starts,
                       std::int64_t& vt_e) {
        vt_e = ends.at(row);
        const std::int64_t tt_e = closes.at(row);
        const std::int64_t tt_s = VORP_TRY(starts.at(row));
        row_intervals(file_, ctx_.generation, row, ends.vt_s[row], vt_e, tt_s, tt_e, out_.findings);
        return is_believed(tt_s, tt_e, OPEN_END);
    }

    Status walk_edges(const Segment& segment) {
        const SegmentHeader& header = segment.header;
        VORP_TRY(load_strings(segment));
        const auto vt_s = VORP_TRY(walk_column(segment, segment.edges.vt_s));
        const std::size_t rows = vt_s.size();
        const ValidEnds ends = VORP_TRY(valid_ends(segment, vt_s, segment.edges.vt_e));
        const auto src_id = VORP_TRY(walk_column(segment, segment.edges.src_id));
        const auto dst_id = VORP_TRY(walk_column(segment, segment.edges.dst_id));
        const auto rel_code = VORP_TRY(walk_column(segment, segment.edges.rel_code));
        const auto vid64 = VORP_TRY(walk_column(segment, segment.edges.vid64));
        const auto vid_lo32 = VORP_TRY(walk_column(segment, segment.edges.vid_lo32));
        const RefColumn refs[] = {
            {"disc_ref", VORP_TRY(walk_column(segment, segment.edges.disc_ref)), false},
            {"props_ref", VORP_TRY(walk_column(segment, segment.edges.props_ref)), false},
            {"source_ref", VORP_TRY(walk_column(segment, segment.edges.source_ref)), false},
            {"prov_ref", VORP_TRY(walk_column(segment, segment.edges.prov_ref)), true},
        };
        out_.rows_walked += rows;
        check_order_and_bounds(header, ends, vid64, vid_lo32);

        const std::vector<std::string>& rel_types = header.rel_types;
        CloseCursor closes = close_cursor(segment);
        TtSCursor starts(header);
        // The endpoints' uids are scattered over the dictionary, and reading them dominates the
        // walk unless they are fetched ahead: the entries some rows ahead, their texts fewer rows
        // ahead (by then the entries are in cache).
        const std::span<const Dictionary::Span> spans = ctx_.dictionary.spans();
        const char* const arena = ctx_.dictionary.arena().data();
        constexpr std::size_t ENTRY_AHEAD = 16;
        constexpr std::size_t TEXT_AHEAD = 8;
        InterruptTicker ticker(WALK_TICK_ROWS);
        for (std::size_t index = 0; index < rows; ++index) {
            VORP_TRY(ticker.tick());
            const auto row = static_cast<std::uint32_t>(index);
            for (const std::span<const std::uint32_t> ids : {src_id, dst_id}) {
                if (index + ENTRY_AHEAD < rows && ids[index + ENTRY_AHEAD] < spans.size())
                    __builtin_prefetch(&spans[ids[index + ENTRY_AHEAD]]);
                if (index + TEXT_AHEAD < rows && ids[index + TEXT_AHEAD] < spans.size())
                    __builtin_prefetch(arena + spans[ids[index + TEXT_AHEAD]].uid_off);
            }
            bool identity_valid = true;
            for (const auto& [name, column] : {std::pair{"src_id", src_id}, std::pair{"dst_id", dst_id}}) {
                if (column[row] < ctx_.committed) continue;
                add(LAYER_DICT, "dict-code-out-of-range",
                    fmt::format("{} row {}: {} names dictionary code {}, but the manifest commits only {} records", file_,
                                row, name, column[row], ctx_.committed));
                identity_valid = false;
            }
            if (rel_code[row] >= rel_types.size()) {
                add(LAYER_SEGMENT, "rel-code-out-of-range",
                    fmt::format("{} row {}: rel_code {} has no entry among the segment's {} rel_types", file_, row,
                                rel_code[row], rel_types.size()));
                identity_valid = false;
            }
            // Without a readable disc there is no identity to derive; a fault of the other texts
            // leaves the identity intact.
            if (!check_ref(row, refs[0])) identity_valid = false;
            for (std::size_t column = 1; column < std::size(refs); ++column) check_ref(row, refs[column]);

            std::int64_t vt_e = 0;
            if (!VORP_TRY(times(row, ends, closes, starts, vt_e))) continue;
            ++out_.believed_rows;
            if (!identity_valid) continue;
            const std::string_view disc = VORP_TRY(strings_.get(refs[0].refs[row]));
            const Id96 id = derive_(ctx_.dictionary.uid(src_id[row]).value_or(std::string_view{}),
                                    ctx_.dictionary.uid(dst_id[row]).value_or(std::string_view{}), rel_types[rel_code[row]],
                                    disc);
            out_.edges[bucket_of(id)].push_back({id, vt_s[index], vt_e});
        }
        return ok();
    }

    Status walk_nodes(const Segment& segment) {
        const SegmentHeader& header = segment.header;
        VORP_TRY(load_strings(segment));
        const auto vt_s = VORP_TRY(walk_column(segment, segment.nodes.vt_s));
        const std::size_t rows = vt_s.size();
        const ValidEnds ends = VORP_TRY(valid_ends(segment, vt_s, segment.nodes.vt_e));
        const auto uid_id = VORP_TRY(walk_column(segment, segment.nodes.uid_id));
        const auto vid64 = VORP_TRY(walk_column(segment, segment.nodes.vid64));
        const auto vid_lo32 = VORP_TRY(walk_column(segment, segment.nodes.vid_lo32));
        // Entity resolution reads name_ref where it can and otherwise matches by uid alone, so a
        // segment without a readable name_ref column is read without one here too.
        std::span<const std::uint32_t> name_ref;
        if (auto names = walk_column(segment, segment.nodes.name_ref)) name_ref = *names;
        const RefColumn label{"label_ref", VORP_TRY(walk_column(segment, segment.nodes.label_ref)), false};
        const RefColumn props{"props_ref", VORP_TRY(walk_column(segment, segment.nodes.props_ref)), false};
        const RefColumn name{"name_ref", name_ref, true};
        const RefColumn source{"source_ref", VORP_TRY(walk_column(segment, segment.nodes.source_ref)), false};
        const RefColumn prov{"prov_ref", VORP_TRY(walk_column(segment, segment.nodes.prov_ref)), true};
        out_.rows_walked += rows;
        check_order_and_bounds(header, ends, vid64, vid_lo32);

        // The display name each props text gives, worked out once per distinct text.
        std::unordered_map<std::uint32_t, std::optional<std::string>> names_of_props;
        CloseCursor closes = close_cursor(segment);
        TtSCursor starts(header);
        InterruptTicker ticker(WALK_TICK_ROWS);
        for (std::size_t index = 0; index < rows; ++index) {
            VORP_TRY(ticker.tick());
            const auto row = static_cast<std::uint32_t>(index);
            if (uid_id[row] >= ctx_.committed)
                add(LAYER_DICT, "dict-code-out-of-range",
                    fmt::format("{} row {}: uid_id names dictionary code {}, but the manifest commits only {} records",
                                file_, row, uid_id[row], ctx_.committed));
            check_ref(row, label);
            const bool props_readable = check_ref(row, props);
            const bool name_readable = !name_ref.empty() && check_ref(row, name);
            check_ref(row, source);
            check_ref(row, prov);
            if (!name_ref.empty() && props_readable && (name_readable || name_ref[row] == NO_STRING)) {
                auto [cached, fresh] = names_of_props.try_emplace(props.refs[row]);
                if (fresh) cached->second = name_of(VORP_TRY(strings_.get(props.refs[row])));
                const std::optional<std::string>& expected = cached->second;
                std::optional<std::string_view> stored;
                if (name_readable) stored = VORP_TRY(strings_.get(name_ref[row]));
                if (stored != expected) {
                    const auto shown = [](const auto& text) { return text ? debug_quoted(*text) : std::string("no name"); };
                    add(LAYER_SEGMENT, "name-ref-mismatch",
                        fmt::format("{} row {}: name_ref gives {} but the props give {}", file_, row, shown(stored),
                                    shown(expected)));
                }
            }

            std::int64_t vt_e = 0;
            if (!VORP_TRY(times(row, ends, closes, starts, vt_e))) continue;
            ++out_.believed_rows;
            if (uid_id[row] < ctx_.committed) out_.nodes[bucket_of(uid_id[row])].push_back({uid_id[row], vt_s[index], vt_e});
        }
        return ok();
    }

    const WalkContext& ctx_;
    const SegmentEntry& entry_;
    const std::string& file_;
    EidDeriver& derive_;
    SegmentWalk& out_;
    StringView strings_;
    std::vector<std::uint8_t> string_state_;
};

// Runs work(worker, index) for every index below `count` on `workers` threads (the calling thread
// alone for one), each worker taking the next index as it finishes the last. Every index writes
// only its own result, so results do not depend on the number of workers or on who ran what. An
// interruption stops the taking; the error then says that some indices were not run.
Status for_each_index(std::size_t count, std::size_t workers,
                      const std::function<void(std::size_t worker, std::size_t index)>& work) {
    std::atomic<std::size_t> next{0};
    const auto take = [&](std::size_t worker) {
        for (std::size_t index; interruption_point() && (index = next.fetch_add(1, std::memory_order_relaxed)) < count;)
            work(worker, index);
    };
    if (workers <= 1)
        take(0);
    else
        fan_out(workers, VERIFY_WORKER_PANICKED, take);
    return interruption_point();
}

HeldCloses held_from_rows(std::span<const StagedClose> close_rows) {
    HeldCloses held;
    for (const StagedClose& close : close_rows) held[close.segment_id].emplace_back(close.row, close.tt_e);
    for (auto& [segment_id, rows] : held) {
        // Stable, so that of the closes of one row the last one read stays last and is kept.
        std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::size_t kept = 0;
        for (std::size_t index = 0; index < rows.size(); ++index) {
            if (index + 1 < rows.size() && rows[index + 1].first == rows[index].first) continue;
            rows[kept++] = rows[index];
        }
        rows.resize(kept);
    }
    return held;
}

}  // namespace

Result<RowWalkReport> check_rows(const fs::path& root, const Manifest& manifest, const Dictionary& dictionary,
                                 const CloseIndex& closes, const std::unordered_set<std::string>& passed_over) {
    // For each row the index holds, the value of the topmost layer holding it (CloseIndex::find).
    HeldCloses held;
    std::unordered_map<std::uint64_t, std::vector<std::tuple<std::uint32_t, std::size_t, std::int64_t>>> layered;
    std::size_t depth = 0;
    for (const CloseIndex* layer = &closes; layer != nullptr; layer = layer->base.get(), ++depth)
        layer->closed.for_each([&](std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e) {
            layered[segment_id].emplace_back(row, depth, tt_e);
        });
    for (auto& [segment_id, rows] : layered) {
        std::sort(rows.begin(), rows.end());
        auto& flat = held[segment_id];
        for (const auto& [row, layer_depth, tt_e] : rows)
            if (flat.empty() || flat.back().first != row) flat.emplace_back(row, tt_e);
    }
    return walk_rows(root, manifest, dictionary, held, passed_over);
}

namespace {

Result<RowWalkReport> walk_rows(const fs::path& root, const Manifest& manifest, const Dictionary& dictionary,
                                const HeldCloses& held_rows, const std::unordered_set<std::string>& passed_over) {
    const WalkContext context{root, manifest.generation, manifest.dict.records, dictionary, held_rows};

    // Event lane, interval lane, nodes, each in list order; the segments the fast mode could not
    // read are not walked again (it has reported them).
    struct Job {
        const SegmentEntry* entry;
        RowKind kind;
    };
    std::vector<Job> jobs;
    std::uint64_t listed_rows = 0;
    const auto add_jobs = [&](const std::vector<SegmentEntry>& entries, RowKind kind) {
        for (const SegmentEntry& entry : entries) {
            if (passed_over.contains(entry.file)) continue;
            jobs.push_back({&entry, kind});
            listed_rows += entry.rows;
        }
    };
    add_jobs(manifest.edge_lanes.event, RowKind::Edge);
    add_jobs(manifest.edge_lanes.interval, RowKind::Edge);
    add_jobs(manifest.node_store, RowKind::Node);

    const std::size_t threads = scan_threads();
    const std::size_t workers =
        parallel_gate(threads, jobs.size(), 2, listed_rows) ? std::min(threads, jobs.size()) : std::size_t{1};
    std::vector<SegmentWalk> walks(jobs.size());
    std::vector<EidDeriver> derivers(workers);  // one per worker: it keeps no state between identities
    VORP_TRY(for_each_index(jobs.size(), workers, [&](std::size_t worker, std::size_t index) {
        SegmentWalker(context, *jobs[index].entry, derivers[worker], walks[index]).walk(jobs[index].kind);
    }));

    RowWalkReport out;
    for (SegmentWalk& walk : walks) {
        out.rows_walked += walk.rows_walked;
        out.believed_rows += walk.believed_rows;
        std::ranges::move(walk.findings, std::back_inserter(out.findings));
        walk.findings = {};
    }

    // The overlap test, bucket by bucket; each bucket gathers its intervals from every walk (in
    // walk order) and frees them there.
    struct BucketResult {
        std::uint64_t identities = 0;
        std::vector<std::string> edge_messages;
        std::vector<std::string> node_messages;
    };
    std::vector<BucketResult> buckets(INTERVAL_BUCKETS);
    const auto overlap_text = [](std::string_view kind, std::string_view name, const auto& a, const auto& b) {
        return fmt::format("{} {}: believed versions [{}, {}) and [{}, {}) overlap in valid time", kind, name, a.vt_s,
                           a.vt_e, b.vt_s, b.vt_e);
    };
    const auto gather = [&](auto member, std::size_t bucket) {
        using Interval = typename std::remove_reference_t<decltype(walks[0].*member)>::value_type::value_type;
        std::size_t total = 0;
        for (const SegmentWalk& walk : walks) total += (walk.*member)[bucket].size();
        std::vector<Interval> intervals;
        intervals.reserve(total);
        for (SegmentWalk& walk : walks) {
            std::vector<Interval>& part = (walk.*member)[bucket];
            intervals.insert(intervals.end(), part.begin(), part.end());
            part = {};
        }
        return intervals;
    };
    VORP_TRY(for_each_index(INTERVAL_BUCKETS, workers, [&](std::size_t, std::size_t bucket) {
        BucketResult& result = buckets[bucket];
        std::vector<EdgeInterval> edges = gather(&SegmentWalk::edges, bucket);
        // Only a stop fails a bucket; the stop fails the walk after the last bucket.
        const Result<std::uint64_t> edge_identities = overlaps(edges, [&](const EdgeInterval& a, const EdgeInterval& b) {
            result.edge_messages.push_back(overlap_text("edge", a.id.to_hex(), a, b));
        });
        if (!edge_identities) return;
        result.identities += *edge_identities;
        edges = {};
        std::vector<NodeInterval> nodes = gather(&SegmentWalk::nodes, bucket);
        const Result<std::uint64_t> node_identities = overlaps(nodes, [&](const NodeInterval& a, const NodeInterval& b) {
            result.node_messages.push_back(overlap_text("node", dictionary.uid(a.id).value_or("<unknown>"), a, b));
        });
        if (node_identities) result.identities += *node_identities;
    }));
    std::vector<std::string> edge_messages;
    std::vector<std::string> node_messages;
    for (BucketResult& result : buckets) {
        out.identities_checked += result.identities;
        std::ranges::move(result.edge_messages, std::back_inserter(edge_messages));
        std::ranges::move(result.node_messages, std::back_inserter(node_messages));
    }
    // A store whose believed versions overlap throughout has a finding per version.
    InterruptTicker ticker(WALK_TICK_ROWS);
    for (std::vector<std::string>* messages : {&edge_messages, &node_messages}) {
        VORP_TRY(interruptible_stable_sort(messages->begin(), messages->end(), std::less<>{}));
        for (std::string& message : *messages) {
            VORP_TRY(ticker.tick());
            out.findings.push_back(
                make_finding(LAYER_ROW, "believed-versions-overlap", "", manifest.generation, std::move(message)));
        }
    }
    return out;
}

}  // namespace

}  // namespace vorp
