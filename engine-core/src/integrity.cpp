#include "vorp/integrity.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "vorp/derive.h"
#include "vorp/fileio.h"
#include "vorp/manifest_chain.h"
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

// Error texts in details: the whole display form, location and remedy included.
std::string file_error_detail(std::string_view file, const EngineError& error) {
    return fmt::format("{}: {}", file, error.display());
}

}  // namespace

void VerifyReport::flag(Finding finding) {
    if (finding.severity == SEVERITY_ERROR) problems.push_back(finding.detail);
    findings.push_back(std::move(finding));
}

// ---- fast mode -------------------------------------------------------------------------------------

Result<FastVerification> verify_files(const NativeStore& store) {
    const Manifest& manifest = store.manifest;
    const fs::path& root = store.root;
    const std::uint64_t generation = manifest.generation;

    FastVerification out;
    VerifyReport& report = out.report;
    report.mode = "fast";
    report.generation = generation;
    report.manifest_format = manifest.format;

    // A handle whose own manifest does not verify cannot be checked against anything.
    VORP_TRY(manifest.verify());

    if (auto rebuilt = reconstruct(root, generation); !rebuilt) {
        report.flag(make_finding(LAYER_MANIFEST, "chain-broken", "", generation,
                                 fmt::format("manifest chain: {}", rebuilt.error().message)));
    } else {
        report.manifest_checkpoint = rebuilt->checkpoint;
        report.manifest_deltas = rebuilt->deltas_since_checkpoint;
        if (rebuilt->manifest != manifest)
            report.flag(make_finding(LAYER_MANIFEST, "reconstruction-mismatch", manifest_relative_name(generation),
                                     generation,
                                     fmt::format("generation {} reconstructs from disk to sha {} but this handle holds {}",
                                                 generation, rebuilt->manifest.manifest_sha, manifest.manifest_sha)));
    }

    // Each segment is read whole, verified, counted and released before the next one is read.
    const auto check_segment = [&](const SegmentEntry& entry) {
        const fs::path path = root / entry.file;
        Result<std::shared_ptr<const Segment>> opened = [&]() -> Result<std::shared_ptr<const Segment>> {
            MemorySource source = VORP_TRY(MemorySource::load(path));
            return Segment::open(path, SegmentSource(std::move(source)), true);
        }();
        if (!opened) {
            const std::string_view kind = metadata_readable(path) ? "segment-unreadable" : "segment-missing";
            report.flag(make_finding(LAYER_SEGMENT, kind, entry.file, generation,
                                     file_error_detail(entry.file, opened.error())));
            return;
        }
        const SegmentHeader& header = (*opened)->header;
        const auto runs = static_cast<std::uint32_t>(std::min<std::size_t>(header.tt_s_runs.size(), UINT32_MAX));
        ++report.segments_checked;
        report.rows += header.rows;
        report.tt_s_runs += header.tt_s_runs.size();
        report.max_tt_s_runs = std::max(report.max_tt_s_runs, runs);
        if (header.rows != entry.rows)
            report.flag(make_finding(LAYER_SEGMENT, "row-count-mismatch", entry.file, generation,
                                     fmt::format("{}: manifest claims {} rows, segment holds {}", entry.file,
                                                 entry.rows, header.rows)));
    };
    for (const SegmentEntry& entry : manifest.edge_lanes.event) check_segment(entry);
    for (const SegmentEntry& entry : manifest.edge_lanes.interval) check_segment(entry);
    for (const SegmentEntry& entry : manifest.node_store) check_segment(entry);

    for (const CloseRunRef& run : manifest.close_runs) {
        const fs::path path = root / run.file;
        auto rows = read_close_run(path);
        if (!rows) {
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
    report.dict_records = static_cast<std::uint32_t>(store.dict.size());
    if (report.dict_records != manifest.dict.records)
        report.flag(make_finding(LAYER_DICT, "record-count-mismatch", std::string(DICT_LOG_FILE), generation,
                                 fmt::format("dictionary holds {} records, manifest claims {}", report.dict_records,
                                             manifest.dict.records)));
    return out;
}

// ---- full mode -------------------------------------------------------------------------------------

Result<VerifyReport> verify_full(const NativeStore& store) {
    FastVerification fast = VORP_TRY(verify_files(store));
    VerifyReport& report = fast.report;
    report.mode = "full";
    const Manifest& manifest = store.manifest;

    for (Finding& finding : check_current(store.root, manifest)) report.flag(std::move(finding));
    for (Finding& finding : check_dict_log(store.root, manifest)) report.flag(std::move(finding));
    for (Finding& finding : parent_chain(store.root, manifest.generation)) report.flag(std::move(finding));
    for (Finding& finding : check_close_targets(manifest, fast.close_rows)) report.flag(std::move(finding));

    // The committed closes of this generation alone: closes staged in an open batch play no part.
    CloseIndex closes;
    closes.insert_run(fast.close_rows);
    RowWalkReport walk = VORP_TRY(check_rows(store.root, manifest, store.dict, closes));
    report.rows_walked = walk.rows_walked;
    report.believed_rows = walk.believed_rows;
    report.identities_checked = walk.identities_checked;
    for (Finding& finding : walk.findings) report.flag(std::move(finding));
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
    if (!text) return record("current-unreadable", fmt::format("CURRENT could not be read: {}", text.error().message));
    if (validate_utf8(*text))
        return record("current-unreadable", "CURRENT could not be read: stream did not contain valid UTF-8");

    const std::vector<std::string_view> pieces = whitespace_pieces(*text, 2);
    if (pieces.size() < 2)
        return record("current-malformed",
                      fmt::format("CURRENT must contain '<generation> <sha>', found {}", debug_quoted(*text)));
    // A first piece that is no number makes the store impossible to reopen: reported with the
    // words the open uses, never taken for "another generation".
    const std::optional<std::uint64_t> published = parse_u64_decimal(pieces[0]);
    if (!published)
        return record("current-malformed",
                      fmt::format("CURRENT generation is not a number: {}", debug_quoted(pieces[0])));
    // Another process may have published a newer generation since this handle opened.
    if (*published != generation) return findings;

    const std::string recomputed = manifest.digest();
    if (recomputed != pieces[1])
        return record("digest-oracle-mismatch",
                      fmt::format("generation {} recomputes from scratch to {} but CURRENT publishes {} — the "
                                  "incrementally maintained digest and an independent recomputation of it disagree",
                                  generation, recomputed, pieces[1]));
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
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) {
        findings.push_back(make_finding(LAYER_MANIFEST, "manifests-unreadable", std::string(MANIFESTS_DIR), generation,
                                        fmt::format("manifest directory cannot be listed: {}",
                                                    EngineError::from_errno(errno).message)));
        return findings;
    }
    std::vector<std::uint64_t> listed;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) break;  // the end, or an entry that cannot be read: what was listed counts
        const std::optional<std::uint64_t> g = listed_generation(entry->d_name);
        // Files above the handle's generation belong to commits it has not seen (or that failed).
        if (g && *g <= generation) listed.push_back(*g);
    }
    ::closedir(stream);
    std::sort(listed.begin(), listed.end());

    // Pass one: each record read and verified on its own, by its canonical name.
    std::map<std::uint64_t, ChainLink> kept;
    for (const std::uint64_t g : listed) {
        Result<ManifestRecord> record = read_record(root, g);
        if (!record) {
            findings.push_back(make_finding(LAYER_MANIFEST, "manifest-unreadable", manifest_relative_name(g), g,
                                            fmt::format("generation {}: {}", g, record.error().message)));
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

// Groups the sorted intervals by identity: the number of identities, and for each adjacent pair
// within a group whose first interval ends after the second starts, `overlap(id, a, b)`.
template <class Interval, class Report>
std::uint64_t overlaps(std::vector<Interval>& intervals, Report&& overlap) {
    std::sort(intervals.begin(), intervals.end(), [](const Interval& a, const Interval& b) {
        return std::tie(a.id, a.vt_s, a.vt_e) < std::tie(b.id, b.vt_s, b.vt_e);
    });
    std::uint64_t identities = 0;
    for (std::size_t index = 0; index < intervals.size(); ++index) {
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

// The walk's columns must hold a value for every row of vt_s; open checks it, and a file that
// slipped past is refused rather than read past a column's end.
template <class T>
Status check_length(const Segment& segment, std::string_view name, std::span<const T> column, std::size_t rows) {
    if (column.size() >= rows) return ok();
    return fail(EngineError::corrupt(fmt::format("column '{}' holds {} values but the segment has {} rows", name,
                                                 column.size(), rows))
                    .at_file(segment.path));
}

// Errors of the walk name the segment they came from.
EngineError located(EngineError error, const Segment& segment) {
    if (!error.location.file) error.location.file = segment.path;
    return error;
}

#define VORP_TRY_SEG(segment, ...)                                                            \
    ({                                                                                        \
        auto&& vorp_walk_result_ = (__VA_ARGS__);                                             \
        if (!vorp_walk_result_) [[unlikely]]                                                  \
            return ::std::unexpected(located(::std::move(vorp_walk_result_).error(), segment)); \
        ::std::move(vorp_walk_result_).value();                                               \
    })

// Maps and opens a segment for the walk, without checksum verification; nothing when either fails.
std::shared_ptr<const Segment> open_for_walk(const fs::path& root, const SegmentEntry& entry) {
    const fs::path path = root / entry.file;
    Result<MmapSource> source = MmapSource::load(path);
    if (!source) return nullptr;
    Result<std::shared_ptr<const Segment>> opened = Segment::open(path, SegmentSource(std::move(*source)), false);
    if (!opened) return nullptr;
    return std::move(*opened);
}

// The valid-time ends of a segment's rows: the vt_e column, or vt_s + 1 when it was elided.
struct ValidEnds {
    std::span<const std::int64_t> vt_s;
    std::span<const std::int64_t> vt_e;  // empty when elided
    bool elided = false;
    std::int64_t at(std::size_t row) const { return elided ? vt_s_plus_one(vt_s[row]) : vt_e[row]; }
};

Result<ValidEnds> valid_ends(const Segment& segment, std::span<const std::int64_t> vt_s) {
    ValidEnds ends{vt_s, {}, segment.header.vt_e_elided};
    // With no rows vt_e is never asked for, so its absence is no error then.
    if (ends.elided || vt_s.empty()) return ends;
    ends.vt_e = VORP_TRY_SEG(segment, segment.typed<std::int64_t>("vt_e"));
    VORP_TRY(check_length(segment, "vt_e", ends.vt_e, vt_s.size()));
    return ends;
}

}  // namespace

Result<RowWalkReport> check_rows(const fs::path& root, const Manifest& manifest, const Dictionary& dictionary,
                                 const CloseIndex& closes) {
    RowWalkReport out;
    const std::uint64_t generation = manifest.generation;
    const std::uint32_t committed = manifest.dict.records;  // R: codes at or above it name nothing durable
    std::vector<EdgeInterval> edge_intervals;
    std::vector<NodeInterval> node_intervals;
    EidDeriver derive;

    const auto row_finding = [&](std::string_view layer, std::string_view kind, const std::string& file,
                                 std::string detail) {
        out.findings.push_back(make_finding(layer, kind, file, generation, std::move(detail)));
    };
    // tt_e by the belief rule's lookup (close_tt_e). The index is probed only for the rows it holds:
    // for any other row the rule falls back to the segment's own closed_rows either way, and the
    // walk visits rows in ascending order, so a cursor over each segment's sorted keys replaces a
    // hash probe per row.
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> held_rows;
    for (const auto& [key, tt_e] : closes.closed) held_rows[key.prefix].push_back(key.suffix);
    for (auto& [segment_id, rows] : held_rows) std::sort(rows.begin(), rows.end());
    struct CloseCursor {
        const std::vector<std::uint32_t>* rows = nullptr;
        std::size_t next = 0;
    };
    const auto cursor_for = [&](std::uint64_t segment_id) {
        const auto found = held_rows.find(segment_id);
        return CloseCursor{found == held_rows.end() ? nullptr : &found->second, 0};
    };
    const auto closed_at = [&](const Segment& segment, std::uint64_t segment_id, CloseCursor& cursor,
                               std::uint32_t row) {
        bool held = false;
        if (cursor.rows != nullptr) {
            const std::vector<std::uint32_t>& rows = *cursor.rows;
            while (cursor.next < rows.size() && rows[cursor.next] < row) ++cursor.next;
            held = cursor.next < rows.size() && rows[cursor.next] == row;
        }
        return close_tt_e(held ? &closes : nullptr, segment_id, row, segment.header.closed_rows);
    };

    for (const auto* lane : {&manifest.edge_lanes.event, &manifest.edge_lanes.interval}) {
        for (const SegmentEntry& entry : *lane) {
            const std::shared_ptr<const Segment> held = open_for_walk(root, entry);
            if (held == nullptr) continue;  // reported by the fast mode
            const Segment& segment = *held;
            const std::string& file = entry.file;
            const std::uint64_t segment_id = segment_id_of(file);
            CloseCursor cursor = cursor_for(segment_id);

            const StringView strings = VORP_TRY_SEG(segment, segment.strings());
            const auto vt_s = VORP_TRY_SEG(segment, segment.typed<std::int64_t>("vt_s"));
            const auto src_id = VORP_TRY_SEG(segment, segment.typed<std::uint32_t>("src_id"));
            const auto dst_id = VORP_TRY_SEG(segment, segment.typed<std::uint32_t>("dst_id"));
            const auto rel_code = VORP_TRY_SEG(segment, segment.typed<std::uint16_t>("rel_code"));
            const std::pair<std::string_view, std::span<const std::uint32_t>> refs[] = {
                {"disc_ref", VORP_TRY_SEG(segment, segment.typed<std::uint32_t>("disc_ref"))},
                {"props_ref", VORP_TRY_SEG(segment, segment.typed<std::uint32_t>("props_ref"))},
                {"source_ref", VORP_TRY_SEG(segment, segment.typed<std::uint32_t>("source_ref"))},
                {"prov_ref", VORP_TRY_SEG(segment, segment.typed<std::uint32_t>("prov_ref"))},
            };
            const std::size_t rows = vt_s.size();
            VORP_TRY(check_length(segment, "src_id", src_id, rows));
            VORP_TRY(check_length(segment, "dst_id", dst_id, rows));
            VORP_TRY(check_length(segment, "rel_code", rel_code, rows));
            for (const auto& [name, column] : refs) VORP_TRY(check_length(segment, name, column, rows));
            const ValidEnds ends = VORP_TRY(valid_ends(segment, vt_s));
            const std::vector<std::string>& rel_types = segment.header.rel_types;
            out.rows_walked += rows;

            for (std::size_t index = 0; index < rows; ++index) {
                const auto row = static_cast<std::uint32_t>(index);
                bool identity_valid = true;
                for (const auto& [name, column] : {std::pair{"src_id", src_id}, std::pair{"dst_id", dst_id}}) {
                    if (column[row] < committed) continue;
                    row_finding(LAYER_DICT, "dict-code-out-of-range", file,
                                fmt::format("{} row {}: {} names dictionary code {}, but the manifest commits only {} "
                                            "records",
                                            file, row, name, column[row], committed));
                    identity_valid = false;
                }
                if (rel_code[row] >= rel_types.size()) {
                    row_finding(LAYER_SEGMENT, "rel-code-out-of-range", file,
                                fmt::format("{} row {}: rel_code {} has no entry among the segment's {} rel_types",
                                            file, row, rel_code[row], rel_types.size()));
                    identity_valid = false;
                }
                for (const auto& [name, column] : refs) {
                    const std::uint32_t ref = column[row];
                    if (ref == NO_STRING || ref < strings.count) continue;
                    row_finding(LAYER_SEGMENT, "string-ref-out-of-range", file,
                                fmt::format("{} row {}: {} names string {} of {} in this segment's heap", file, row,
                                            name, ref, strings.count));
                    if (name == "disc_ref") identity_valid = false;
                }

                const std::int64_t vt_e = ends.at(index);
                const std::int64_t tt_e = closed_at(segment, segment_id, cursor, row);
                const std::int64_t tt_s = VORP_TRY_SEG(segment, segment.header.tt_s_at(row));
                row_intervals(file, generation, row, vt_s[index], vt_e, tt_s, tt_e, out.findings);

                if (!is_believed(tt_s, tt_e, OPEN_END)) continue;
                ++out.believed_rows;
                if (!identity_valid) continue;
                const std::string_view disc = VORP_TRY_SEG(segment, strings.get(refs[0].second[row]));
                const Id96 id = derive(dictionary.uid(src_id[row]).value_or(std::string_view{}),
                                       dictionary.uid(dst_id[row]).value_or(std::string_view{}),
                                       rel_types[rel_code[row]], disc);
                edge_intervals.push_back({id, vt_s[index], vt_e});
            }
        }
    }

    for (const SegmentEntry& entry : manifest.node_store) {
        const std::shared_ptr<const Segment> held = open_for_walk(root, entry);
        if (held == nullptr) continue;
        const Segment& segment = *held;
        const std::string& file = entry.file;
        const std::uint64_t segment_id = segment_id_of(file);
        CloseCursor cursor = cursor_for(segment_id);

        const auto vt_s = VORP_TRY_SEG(segment, segment.typed<std::int64_t>("vt_s"));
        const auto uid_id = VORP_TRY_SEG(segment, segment.typed<std::uint32_t>("uid_id"));
        const std::size_t rows = vt_s.size();
        VORP_TRY(check_length(segment, "uid_id", uid_id, rows));
        const ValidEnds ends = VORP_TRY(valid_ends(segment, vt_s));
        out.rows_walked += rows;

        for (std::size_t index = 0; index < rows; ++index) {
            const auto row = static_cast<std::uint32_t>(index);
            if (uid_id[row] >= committed)
                row_finding(LAYER_DICT, "dict-code-out-of-range", file,
                            fmt::format("{} row {}: uid_id names dictionary code {}, but the manifest commits only {} "
                                        "records",
                                        file, row, uid_id[row], committed));
            const std::int64_t vt_e = ends.at(index);
            const std::int64_t tt_e = closed_at(segment, segment_id, cursor, row);
            const std::int64_t tt_s = VORP_TRY_SEG(segment, segment.header.tt_s_at(row));
            row_intervals(file, generation, row, vt_s[index], vt_e, tt_s, tt_e, out.findings);

            if (!is_believed(tt_s, tt_e, OPEN_END)) continue;
            ++out.believed_rows;
            if (uid_id[row] < committed) node_intervals.push_back({uid_id[row], vt_s[index], vt_e});
        }
    }

    const auto overlap_text = [](std::string_view kind, std::string_view name, auto& a, auto& b) {
        return fmt::format("{} {}: believed versions [{}, {}) and [{}, {}) overlap in valid time", kind, name, a.vt_s,
                           a.vt_e, b.vt_s, b.vt_e);
    };
    std::vector<std::string> edge_messages;
    out.identities_checked += overlaps(edge_intervals, [&](const EdgeInterval& a, const EdgeInterval& b) {
        edge_messages.push_back(overlap_text("edge", a.id.to_hex(), a, b));
    });
    std::vector<std::string> node_messages;
    out.identities_checked += overlaps(node_intervals, [&](const NodeInterval& a, const NodeInterval& b) {
        node_messages.push_back(overlap_text("node", dictionary.uid(a.id).value_or("<unknown>"), a, b));
    });
    for (std::vector<std::string>* messages : {&edge_messages, &node_messages}) {
        std::sort(messages->begin(), messages->end());
        for (std::string& message : *messages)
            out.findings.push_back(make_finding(LAYER_ROW, "believed-versions-overlap", "", generation, std::move(message)));
    }
    return out;
}

}  // namespace vorp
