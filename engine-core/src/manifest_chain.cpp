#include "vorp/manifest_chain.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "vorp/env.h"
#include "vorp/clock.h"
#include "vorp/fileio.h"
#include "vorp/text.h"

namespace vorp {

namespace {

// ---- the delta record ----------------------------------------------------------------------------

constexpr JsonFieldOptions OPTIONAL_LIST{.defaulted = true, .omit_empty = true};

constexpr JsonRecord<ManifestDelta, 22> MANIFEST_DELTA_JSON{"ManifestDelta", {
    json_field<&ManifestDelta::format>("format"),
    json_field<&ManifestDelta::kind>("kind"),
    json_field<&ManifestDelta::sha_kind>("sha_kind", OPTIONAL_LIST),
    json_field<&ManifestDelta::generation>("generation"),
    json_field<&ManifestDelta::parent>("parent"),
    json_field<&ManifestDelta::parent_sha>("parent_sha"),
    json_field<&ManifestDelta::checkpoint>("checkpoint"),
    json_field<&ManifestDelta::created_tt>("created_tt"),
    json_field<&ManifestDelta::event_log>("event_log"),
    json_field<&ManifestDelta::dict>("dict"),
    json_field<&ManifestDelta::next_segment_id>("next_segment_id"),
    json_field<&ManifestDelta::stats>("stats"),
    json_field<&ManifestDelta::add_nodes>("add_nodes", OPTIONAL_LIST),
    json_field<&ManifestDelta::del_nodes>("del_nodes", OPTIONAL_LIST),
    json_field<&ManifestDelta::add_edges_event>("add_edges_event", OPTIONAL_LIST),
    json_field<&ManifestDelta::del_edges_event>("del_edges_event", OPTIONAL_LIST),
    json_field<&ManifestDelta::add_edges_interval>("add_edges_interval", OPTIONAL_LIST),
    json_field<&ManifestDelta::del_edges_interval>("del_edges_interval", OPTIONAL_LIST),
    json_field<&ManifestDelta::add_close_runs>("add_close_runs", OPTIONAL_LIST),
    json_field<&ManifestDelta::del_close_runs>("del_close_runs", OPTIONAL_LIST),
    json_field<&ManifestDelta::delta_sha>("delta_sha"),
    json_field<&ManifestDelta::manifest_sha>("manifest_sha"),
}};

static_assert(MANIFEST_DELTA_JSON.fields[20].key == "delta_sha", "the delta digest's own member");

// The delta's members as the file writes them (empty optional members left out), with
// "delta_sha" written as `delta_sha_text`.
void write_delta(JsonWriter& w, const ManifestDelta& delta, std::string_view delta_sha_text) {
    w.begin_object();
    for (const JsonFieldDesc& field : MANIFEST_DELTA_JSON.fields) {
        if (field.is_empty && field.is_empty(&delta)) continue;
        w.key(field.key);
        if (field.key == "delta_sha") w.value_string(delta_sha_text);
        else field.write(w, &delta);
    }
    w.end_object();
}

// Removes every entry whose file is named in `names` (keeping the order of the rest), then
// appends copies of `additions`. Removal first: an added entry whose name is also removed stays.
template <class Entry>
void edit_list(std::vector<Entry>& list, const std::vector<std::string>& names, const std::vector<Entry>& additions) {
    if (!names.empty()) {
        const std::unordered_set<std::string_view> removed(names.begin(), names.end());
        std::erase_if(list, [&](const Entry& entry) { return removed.contains(entry.file); });
    }
    list.insert(list.end(), additions.begin(), additions.end());
}

std::array<std::uint64_t, MERKLE_LANES> list_lens(const Manifest& manifest) {
    return {manifest.node_store.size(), manifest.edge_lanes.event.size(), manifest.edge_lanes.interval.size(),
            manifest.close_runs.size()};
}

template <class Entry>
std::vector<Entry> tail_from(const std::vector<Entry>& list, std::uint64_t start) {
    return std::vector<Entry>(list.begin() + static_cast<std::ptrdiff_t>(start), list.end());
}

// ---- reading -------------------------------------------------------------------------------------

bool is_sniff_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

EngineError wrap_json_error(const JsonError& error, std::string_view data_prefix) {
    if (error.is_syntax()) return EngineError::corrupt(fmt::format("manifest is not valid JSON: {}", error.text()));
    return EngineError::corrupt(fmt::format("{}: {}", data_prefix, error.text()));
}

// Whether every byte is below 0x80, eight bytes per step (a loop the compiler widens further).
// Chain files are written as ASCII unless a name or tag holds other characters, so this settles
// nearly every file without the byte-by-byte UTF-8 decoder.
bool all_ascii(std::string_view text) {
    const char* const data = text.data();
    const std::size_t words = text.size() / 8;
    std::uint64_t any = 0;
    for (std::size_t word_idx = 0; word_idx < words; ++word_idx) {
        std::uint64_t word;
        std::memcpy(&word, data + 8 * word_idx, sizeof word);
        any |= word;
    }
    for (std::size_t index = 8 * words; index < text.size(); ++index) any |= static_cast<unsigned char>(data[index]);
    return (any & 0x8080808080808080ULL) == 0;
}

// The whole file as UTF-8 text. A missing or unreadable file is the operating system's `io`
// error; bytes that are not UTF-8 were read fine and are damage to the file, so `corrupt`, at
// whatever generation of the chain the file sits.
Result<std::string> read_chain_text(const std::filesystem::path& path) {
    auto text = read_file(path);
    if (!text) return fail(std::move(text).error().at_file(path));
    if (!all_ascii(*text) && validate_utf8(*text))
        return fail(EngineError::corrupt("stream did not contain valid UTF-8").at_file(path));
    return std::move(*text);
}

Result<VerifiedRecord> read_record_impl(const std::filesystem::path& root, std::uint64_t generation,
                                        ChainTimings* timings) {
    const std::filesystem::path path = manifest_path(root, generation);
    const Stopwatch read_span;
    const std::string text = VORP_TRY(read_chain_text(path));
    ManifestRecord raw = VORP_TRY_FILE(path, parse_record_raw(text));
    if (timings) {
        if (raw.is_checkpoint()) {
            timings->checkpoint_read_parse_us += read_span.elapsed_us();
            timings->chain_format = raw.checkpoint().format;
        } else {
            timings->delta_read_parse_us += read_span.elapsed_us();
        }
    }
    const bool checkpoint = raw.is_checkpoint();
    const Stopwatch verify_span;
    auto verified = finish_raw_record(std::move(raw));
    if (timings && checkpoint) timings->merkle_verify_us += verify_span.elapsed_us();
    if (!verified) return fail(std::move(verified).error().at_file(path));

    const std::uint64_t recorded = verified->record.generation();
    if (recorded != generation)
        return fail(EngineError::corrupt(fmt::format("manifest says generation {} but is filed as {}", recorded, generation))
                        .at_file(path));
    return std::move(*verified);
}

EngineError generation_zero_is_delta(const std::filesystem::path& root) {
    return EngineError::corrupt("generation 0 is a delta; the chain has no checkpoint to start from")
        .at_file(manifest_path(root, 0));
}

EngineError wrong_parent(const std::filesystem::path& root, std::uint64_t generation, std::uint64_t parent) {
    return EngineError::corrupt(
               fmt::format("manifest delta {} names parent {} rather than {}", generation, parent, generation - 1))
        .at_file(manifest_path(root, generation));
}

// The path that trusts the checkpoint the top delta names: reads c, c+1, ..., g upwards with no
// directory listing. Nothing when anything on the way fails; the caller then falls back.
std::optional<Reconstructed> reconstruct_from_named_checkpoint(const std::filesystem::path& root, std::uint64_t target,
                                                               const ManifestDelta& top, ChainTimings& timings) {
    const std::uint64_t named = top.checkpoint;
    if (named >= target) return std::nullopt;
    auto start = read_record_with_state_timed(root, named, timings);
    if (!start || !start->record.is_checkpoint()) return std::nullopt;

    // The walk's timings start from the caller's; the caller keeps only the reads made so far
    // when this path gives up.
    Walk walk{std::move(start->record.checkpoint()), std::move(start->merkle), named, 0, timings};
    for (std::uint64_t generation = named + 1;; ++generation) {
        if (generation == target) {
            if (!walk.step_delta(root, top)) return std::nullopt;
            break;
        }
        auto next = read_record_with_state_timed(root, generation, walk.timings);
        if (!next) return std::nullopt;
        if (next->record.is_checkpoint()) {
            walk.manifest = std::move(next->record.checkpoint());
            walk.merkle = std::move(next->merkle);
            walk.checkpoint = generation;
            walk.deltas_since_checkpoint = 0;
        } else if (!walk.step_delta(root, next->record.delta())) {
            return std::nullopt;
        }
    }
    auto finished = std::move(walk).finish(target, target - named + 1);
    if (!finished) return std::nullopt;
    return std::move(*finished);
}

}  // namespace

// ---- files ---------------------------------------------------------------------------------------

std::string manifest_relative_name(std::uint64_t generation) {
    return fmt::format("{}/{:020}.json", MANIFESTS_DIR, generation);
}

std::filesystem::path manifest_path(const std::filesystem::path& root, std::uint64_t generation) {
    return root / MANIFESTS_DIR / fmt::format("{:020}.json", generation);
}

std::string checkpoint_json(const Manifest& manifest) {
    std::string out;
    JsonWriter writer(out, JsonStyle::Pretty);
    writer.begin_object();
    writer.key("kind");
    writer.value_string("checkpoint");
    if (manifest.format >= MANIFEST_FORMAT_VERSION) {
        writer.key("sha_kind");
        writer.value_string(SHA_KIND_MERKLE_V1);
    }
    json_write_members(writer, manifest);
    writer.end_object();
    return out;
}

std::uint64_t checkpoint_every() {
    const std::optional<std::uint64_t> value = env_count(CHECKPOINT_EVERY_ENV);
    if (!value || *value == 0) return DEFAULT_CHECKPOINT_EVERY;
    return *value;
}

// ---- deltas --------------------------------------------------------------------------------------

void json_write(JsonWriter& w, const ManifestDelta& value) { MANIFEST_DELTA_JSON.write(w, value); }
bool json_read(JsonReader& r, ManifestDelta& out) { return MANIFEST_DELTA_JSON.read(r, out); }

std::optional<ManifestDelta> ManifestDelta::from_appends(const Manifest& manifest, const DeltaBase& base,
                                                         std::uint64_t checkpoint) {
    if (manifest.format != MANIFEST_FORMAT_VERSION) return std::nullopt;
    if (manifest.widths != base.widths) return std::nullopt;
    if (!manifest.parent || *manifest.parent != base.generation) return std::nullopt;
    if (base.generation == UINT64_MAX || manifest.generation != base.generation + 1) return std::nullopt;
    const std::array<std::uint64_t, MERKLE_LANES> lens = list_lens(manifest);
    for (std::size_t lane = 0; lane < MERKLE_LANES; ++lane)
        if (lens[lane] < base.lane_lens[lane]) return std::nullopt;

    // Counts alone do not show that the entries below them are the parent's: replay the delta on
    // the parent's Merkle state and require the digest the new manifest carries.
    if (!base.merkle || base.merkle->lens() != base.lane_lens) return std::nullopt;

    ManifestDelta delta;
    delta.format = MANIFEST_FORMAT_VERSION;
    delta.kind = "delta";
    delta.sha_kind = SHA_KIND_MERKLE_V1;
    delta.generation = base.generation + 1;
    delta.parent = base.generation;
    delta.parent_sha = base.manifest_sha;
    delta.checkpoint = checkpoint;
    delta.created_tt = manifest.created_tt;
    delta.event_log = manifest.event_log;
    delta.dict = manifest.dict;
    delta.next_segment_id = manifest.next_segment_id;
    delta.stats = manifest.stats;
    delta.add_nodes = tail_from(manifest.node_store, base.lane_lens[LANE_NODES]);
    delta.add_edges_event = tail_from(manifest.edge_lanes.event, base.lane_lens[LANE_EDGES_EVENT]);
    delta.add_edges_interval = tail_from(manifest.edge_lanes.interval, base.lane_lens[LANE_EDGES_INTERVAL]);
    delta.add_close_runs = tail_from(manifest.close_runs, base.lane_lens[LANE_CLOSE_RUNS]);
    delta.manifest_sha = manifest.manifest_sha;

    ManifestMerkle replayed = *base.merkle;
    for (const SegmentEntry& entry : delta.add_nodes) replayed.lanes[LANE_NODES].push(entry);
    for (const SegmentEntry& entry : delta.add_edges_event) replayed.lanes[LANE_EDGES_EVENT].push(entry);
    for (const SegmentEntry& entry : delta.add_edges_interval) replayed.lanes[LANE_EDGES_INTERVAL].push(entry);
    for (const CloseRunRef& run : delta.add_close_runs) replayed.push_close_run(run);
    if (manifest_digest(manifest, replayed) != manifest.manifest_sha) return std::nullopt;

    delta.seal();
    return delta;
}

std::string ManifestDelta::body_sha() const {
    std::string body;
    JsonWriter writer(body, JsonStyle::Compact);
    write_delta(writer, *this, "");
    return short_sha(body);
}

std::string ManifestDelta::to_json() const {
    std::string out;
    JsonWriter writer(out, JsonStyle::Pretty);
    write_delta(writer, *this, delta_sha);
    return out;
}

Status check_sha_kind(std::uint32_t format, std::string_view sha_kind) {
    const std::string_view expected = format >= MANIFEST_FORMAT_VERSION ? SHA_KIND_MERKLE_V1 : std::string_view();
    if (sha_kind == expected) return ok();
    return fail(EngineError::corrupt(fmt::format("manifest format {} implies sha_kind {} but the record declares {}",
                                                 format, debug_quoted(expected), debug_quoted(sha_kind))));
}

Status ManifestDelta::verify_self() const {
    if (format < 1 || format > MANIFEST_FORMAT_VERSION)
        return fail(EngineError::corrupt(
            fmt::format("manifest delta format {} is not supported by this build (expected {}, or {} read-only)", format,
                        MANIFEST_FORMAT_VERSION, read_only_list())));
    if (kind != "delta")
        return fail(EngineError::corrupt(fmt::format("manifest delta is tagged kind={}", debug_quoted(kind))));
    VORP_TRY(check_sha_kind(format, sha_kind));
    const std::string computed = body_sha();
    if (computed != delta_sha)
        return fail(EngineError::corrupt(
            fmt::format("manifest delta checksum mismatch: computed {}, recorded {}", computed, delta_sha)));
    return ok();
}

void ManifestDelta::apply_into(Manifest& manifest, ManifestMerkle* merkle) const {
    manifest.parent = parent;
    manifest.generation = generation;
    manifest.created_tt = created_tt;
    manifest.event_log = event_log;
    manifest.dict = dict;
    manifest.next_segment_id = next_segment_id;
    manifest.stats = stats;

    edit_list(manifest.node_store, del_nodes, add_nodes);
    edit_list(manifest.edge_lanes.event, del_edges_event, add_edges_event);
    edit_list(manifest.edge_lanes.interval, del_edges_interval, add_edges_interval);
    edit_list(manifest.close_runs, del_close_runs, add_close_runs);
    manifest.manifest_sha = manifest_sha;

    if (merkle == nullptr) return;
    const bool removes = !del_nodes.empty() || !del_edges_event.empty() || !del_edges_interval.empty() ||
                         !del_close_runs.empty();
    if (removes) {
        // Removed entries shift the indices of those after them: only a rebuild is in step.
        *merkle = ManifestMerkle::from_manifest(manifest);
        return;
    }
    for (const SegmentEntry& entry : add_nodes) merkle->lanes[LANE_NODES].push(entry);
    for (const SegmentEntry& entry : add_edges_event) merkle->lanes[LANE_EDGES_EVENT].push(entry);
    for (const SegmentEntry& entry : add_edges_interval) merkle->lanes[LANE_EDGES_INTERVAL].push(entry);
    for (const CloseRunRef& run : add_close_runs) merkle->push_close_run(run);
}

// ---- records -------------------------------------------------------------------------------------

std::uint64_t ManifestRecord::generation() const {
    return is_checkpoint() ? checkpoint().generation : delta().generation;
}

std::vector<std::string_view> ManifestRecord::referenced_files() const {
    std::vector<std::string_view> files;
    auto add_all = [&files](const auto& list) {
        for (const auto& entry : list) files.push_back(entry.file);
    };
    if (is_checkpoint()) {
        const Manifest& manifest = checkpoint();
        files.reserve(manifest.node_store.size() + manifest.edge_lanes.event.size() +
                      manifest.edge_lanes.interval.size() + manifest.close_runs.size());
        add_all(manifest.node_store);
        add_all(manifest.edge_lanes.event);
        add_all(manifest.edge_lanes.interval);
        add_all(manifest.close_runs);
    } else {
        const ManifestDelta& record = delta();
        files.reserve(record.add_nodes.size() + record.add_edges_event.size() + record.add_edges_interval.size() +
                      record.add_close_runs.size());
        add_all(record.add_nodes);
        add_all(record.add_edges_event);
        add_all(record.add_edges_interval);
        add_all(record.add_close_runs);
    }
    return files;
}

std::optional<std::string_view> sniff_tag(std::string_view text, std::string_view key) {
    const std::string_view window = text.substr(0, std::min(text.size(), TAG_SNIFF_WINDOW));
    std::string needle;
    needle.reserve(key.size() + 2);
    needle.push_back('"');
    needle.append(key);
    needle.push_back('"');
    const std::size_t found = window.find(needle);
    if (found == std::string_view::npos) return std::nullopt;
    std::size_t pos = found + needle.size();
    while (pos < window.size() && is_sniff_space(window[pos])) ++pos;
    if (pos >= window.size() || window[pos] != ':') return std::nullopt;
    ++pos;
    while (pos < window.size() && is_sniff_space(window[pos])) ++pos;
    if (pos >= window.size() || window[pos] != '"') return std::nullopt;
    ++pos;
    const std::size_t close = window.find('"', pos);
    if (close == std::string_view::npos) return std::nullopt;
    return window.substr(pos, close - pos);
}

Result<ManifestRecord> parse_record_raw(std::string_view text) {
    // Files of formats 1 and 2 carry no kind: they are checkpoints.
    const std::string_view kind = sniff_tag(text, "kind").value_or("checkpoint");
    if (kind == "delta") {
        JsonResult<ManifestDelta> delta = json_parse<ManifestDelta>(text);
        if (!delta) return fail(wrap_json_error(delta.error(), "manifest delta is not a well-formed record"));
        VORP_TRY(delta->verify_self());
        return ManifestRecord{std::move(*delta)};
    }
    if (kind == "checkpoint") {
        JsonResult<Manifest> manifest = json_parse<Manifest>(text);
        if (!manifest) return fail(wrap_json_error(manifest.error(), "manifest is not a well-formed document"));
        VORP_TRY(check_sha_kind(manifest->format, sniff_tag(text, "sha_kind").value_or("")));
        return ManifestRecord{std::move(*manifest)};
    }
    return fail(EngineError::corrupt(fmt::format("manifest document has unknown kind {}", debug_quoted(kind))));
}

Result<VerifiedRecord> finish_raw_record(ManifestRecord record) {
    if (record.is_delta()) return VerifiedRecord{std::move(record), std::nullopt};
    const Manifest& manifest = record.checkpoint();
    if (manifest.format != MANIFEST_FORMAT_VERSION) {
        VORP_TRY(manifest.verify());
        return VerifiedRecord{std::move(record), std::nullopt};
    }
    ManifestMerkle merkle = ManifestMerkle::from_manifest(manifest);
    const std::string computed = manifest_digest(manifest, merkle);
    if (computed != manifest.manifest_sha)
        return fail(EngineError::corrupt(
            fmt::format("manifest checksum mismatch: computed {}, recorded {}", computed, manifest.manifest_sha)));
    return VerifiedRecord{std::move(record), std::move(merkle)};
}

Result<ManifestRecord> parse_record(std::string_view text) {
    ManifestRecord raw = VORP_TRY(parse_record_raw(text));
    VerifiedRecord verified = VORP_TRY(finish_raw_record(std::move(raw)));
    return std::move(verified.record);
}

Result<VerifiedRecord> read_record_with_state(const std::filesystem::path& root, std::uint64_t generation) {
    return read_record_impl(root, generation, nullptr);
}

Result<VerifiedRecord> read_record_with_state_timed(const std::filesystem::path& root, std::uint64_t generation,
                                                    ChainTimings& timings) {
    return read_record_impl(root, generation, &timings);
}

Result<ManifestRecord> read_record(const std::filesystem::path& root, std::uint64_t generation) {
    VerifiedRecord verified = VORP_TRY(read_record_with_state(root, generation));
    return std::move(verified.record);
}

// ---- reconstruction ------------------------------------------------------------------------------

Status Walk::step_delta(const std::filesystem::path& root, const ManifestDelta& delta) {
    const std::filesystem::path path = manifest_path(root, delta.generation);
    if (delta.checkpoint > checkpoint)
        return fail(EngineError::corrupt(
                        fmt::format("manifest delta {} names checkpoint {} but the nearest checkpoint on disk is {}",
                                    delta.generation, delta.checkpoint, checkpoint))
                        .at_file(path));
    if (delta.parent_sha != manifest.manifest_sha)
        return fail(EngineError::corrupt(
                        fmt::format("manifest chain broken at generation {}: delta names parent sha {} but generation "
                                    "{} reconstructs to {}",
                                    delta.generation, delta.parent_sha, manifest.generation, manifest.manifest_sha))
                        .at_file(path));

    const Stopwatch apply_span;
    delta.apply_into(manifest, merkle ? &*merkle : nullptr);
    std::optional<std::string> computed;
    if (merkle)
        computed = manifest.format <= 2 ? manifest.legacy_body_sha() : manifest_digest(manifest, *merkle);
    timings.delta_apply_us += apply_span.elapsed_us();
    if (computed && *computed != delta.manifest_sha)
        return fail(EngineError::corrupt(fmt::format("reconstructed manifest {} hashes to {} but the delta records {}",
                                                     manifest.generation, *computed, delta.manifest_sha))
                        .at_file(path));
    ++deltas_since_checkpoint;
    ++timings.deltas_applied;
    return ok();
}

Result<Reconstructed> Walk::finish(std::uint64_t generation, std::uint64_t records_read) && {
    if (manifest.generation != generation)
        return fail(EngineError::corrupt(
            fmt::format("reconstruction produced generation {} rather than {}", manifest.generation, generation)));
    if (!merkle && deltas_since_checkpoint != 0) {
        // Without a Merkle state no step could check its digest: check the end result once.
        const Stopwatch verify_span;
        const std::string computed = manifest.digest();
        timings.merkle_verify_us += verify_span.elapsed_us();
        if (computed != manifest.manifest_sha)
            return fail(EngineError::corrupt(fmt::format("reconstructed manifest {} hashes to {} but the chain records {}",
                                                         generation, computed, manifest.manifest_sha))
                            .at_file(manifest_relative_name(generation)));
    }
    return Reconstructed{std::move(manifest), std::move(merkle), checkpoint, deltas_since_checkpoint, records_read,
                         timings};
}

EngineError chain_below(const std::filesystem::path& root, std::uint64_t target, std::uint64_t failing,
                        EngineError error) {
    if (failing == target) return error;
    std::string message =
        fmt::format("manifest chain broken below generation {}: generation {} is unreadable: {}", target, failing,
                    error.message);
    // A file that is missing or cannot be parsed is damage to the store. Any other failure of the
    // operating system (too many open files, EIO, EACCES) may pass, and restoring an intact store
    // would be the wrong advice: it stays an `io` error without a remedy.
    if (const std::optional<int> code = error.os_error_code(); code && *code != ENOENT)
        return EngineError::io(std::move(message)).at_file(manifest_path(root, failing));
    return EngineError::corrupt(std::move(message)).at_file(manifest_path(root, failing));
}

Result<Reconstructed> reconstruct(const std::filesystem::path& root, std::uint64_t generation) {
    ChainTimings timings;
    VerifiedRecord top = VORP_TRY(read_record_with_state_timed(root, generation, timings));
    if (top.record.is_checkpoint())
        return Reconstructed{std::move(top.record.checkpoint()), std::move(top.merkle), generation, 0, 1, timings};

    ManifestDelta& top_delta = top.record.delta();
    if (generation == 0) return fail(generation_zero_is_delta(root));
    if (top_delta.parent != generation - 1) return fail(wrong_parent(root, generation, top_delta.parent));

    if (auto fast = reconstruct_from_named_checkpoint(root, generation, top_delta, timings)) return std::move(*fast);

    // Fallback: down by parents to the nearest checkpoint on disk, then replay upwards.
    std::vector<ManifestDelta> pending;
    pending.push_back(std::move(top_delta));
    std::uint64_t current = generation - 1;
    std::optional<VerifiedRecord> base;
    for (;;) {
        auto record = read_record_with_state_timed(root, current, timings);
        if (!record) return fail(chain_below(root, generation, current, std::move(record).error()));
        if (record->record.is_checkpoint()) {
            base = std::move(*record);
            break;
        }
        const ManifestDelta& delta = record->record.delta();
        if (current == 0) return fail(generation_zero_is_delta(root));
        if (delta.parent != current - 1) return fail(wrong_parent(root, current, delta.parent));
        pending.push_back(std::move(record->record.delta()));
        --current;
    }

    Walk walk{std::move(base->record.checkpoint()), std::move(base->merkle), current, 0, timings};
    for (auto delta = pending.rbegin(); delta != pending.rend(); ++delta) VORP_TRY(walk.step_delta(root, *delta));
    return std::move(walk).finish(generation, pending.size() + 1);
}

EngineError read_only_format_error(std::uint32_t format) {
    std::string_view what;
    switch (format) {
        case 1: what = "was written by a format-1 engine (one full manifest per generation)"; break;
        case 2:
            what = "was written by a format-2 engine (manifest_sha is the sha of the whole document rather than a "
                   "Merkle root over the segment set)";
            break;
        default: what = "uses an unknown manifest format"; break;
    }
    EngineError error = EngineError::invariant(fmt::format(
        "this store {}, and this build writes manifest format {}; it is open read-only", what, MANIFEST_FORMAT_VERSION));
    error.remedy = std::string(UPGRADE_MANIFESTS_REMEDY);
    return error;
}

}  // namespace vorp
