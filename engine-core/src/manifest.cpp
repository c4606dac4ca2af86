#include "vorp/manifest.h"

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/json.h"
#include "vorp/merkle.h"

namespace vorp {

// ---- JSON ------------------------------------------------------------------------------------
// One table per record, in declaration order: it fixes the member order of every written form
// (and so the hashed bytes) and the member set the readers accept.

namespace {

constexpr JsonRecord<EventLogRef, 2> EVENT_LOG_REF_JSON{"EventLogRef", {
    json_field<&EventLogRef::offset>("offset"),
    json_field<&EventLogRef::chain>("chain"),
}};

constexpr JsonRecord<DictRef, 2> DICT_REF_JSON{"DictRef", {
    json_field<&DictRef::records>("records"),
    json_field<&DictRef::bytes>("bytes"),
}};

constexpr JsonRecord<Widths, 3> WIDTHS_JSON{"Widths", {
    json_field<&Widths::entity_id>("entity_id"),
    json_field<&Widths::row_id>("row_id"),
    json_field<&Widths::rel_code>("rel_code"),
}};

constexpr JsonRecord<SegmentEntry, 13> SEGMENT_ENTRY_JSON{"SegmentEntry", {
    json_field<&SegmentEntry::file>("file"),
    json_field<&SegmentEntry::rows>("rows"),
    json_field<&SegmentEntry::key_lo>("key_lo"),
    json_field<&SegmentEntry::key_hi>("key_hi"),
    json_field<&SegmentEntry::vt_min>("vt_min"),
    json_field<&SegmentEntry::vt_max>("vt_max"),
    json_field<&SegmentEntry::vt_e_max>("vt_e_max"),
    json_field<&SegmentEntry::tt_s_min>("tt_s_min"),
    json_field<&SegmentEntry::tt_s_max>("tt_s_max"),
    json_field<&SegmentEntry::rel_codes>("rel_codes"),
    json_field<&SegmentEntry::n_closed_folded>("n_closed_folded"),
    json_field<&SegmentEntry::all_current>("all_current"),
    json_field<&SegmentEntry::sha>("sha"),
}};

constexpr JsonRecord<CloseRunRef, 3> CLOSE_RUN_REF_JSON{"CloseRunRef", {
    json_field<&CloseRunRef::file>("file"),
    json_field<&CloseRunRef::entries>("entries"),
    json_field<&CloseRunRef::sha>("sha"),
}};

constexpr JsonRecord<Stats, 6> STATS_JSON{"Stats", {
    json_field<&Stats::n_entities>("n_entities"),
    json_field<&Stats::n_node_versions>("n_node_versions"),
    json_field<&Stats::n_edge_versions>("n_edge_versions"),
    json_field<&Stats::vt_min>("vt_min"),
    json_field<&Stats::vt_max>("vt_max"),
    json_field<&Stats::max_out_degree>("max_out_degree"),
}};

}  // namespace

void json_write(JsonWriter& w, const EventLogRef& value) { EVENT_LOG_REF_JSON.write(w, value); }
void json_write(JsonWriter& w, const DictRef& value) { DICT_REF_JSON.write(w, value); }
void json_write(JsonWriter& w, const Widths& value) { WIDTHS_JSON.write(w, value); }
void json_write(JsonWriter& w, const SegmentEntry& value) { SEGMENT_ENTRY_JSON.write(w, value); }
void json_write(JsonWriter& w, const CloseRunRef& value) { CLOSE_RUN_REF_JSON.write(w, value); }
void json_write(JsonWriter& w, const Stats& value) { STATS_JSON.write(w, value); }

bool json_read(JsonReader& r, EventLogRef& out) { return EVENT_LOG_REF_JSON.read(r, out); }
bool json_read(JsonReader& r, DictRef& out) { return DICT_REF_JSON.read(r, out); }
bool json_read(JsonReader& r, Widths& out) { return WIDTHS_JSON.read(r, out); }
bool json_read(JsonReader& r, SegmentEntry& out) { return SEGMENT_ENTRY_JSON.read(r, out); }
bool json_read(JsonReader& r, CloseRunRef& out) { return CLOSE_RUN_REF_JSON.read(r, out); }
bool json_read(JsonReader& r, Stats& out) { return STATS_JSON.read(r, out); }

// EdgeLanes and Manifest hold lists of records, whose json_read/json_write overloads above must be
// visible where these tables are instantiated.
namespace {

constexpr JsonRecord<EdgeLanes, 2> EDGE_LANES_JSON{"EdgeLanes", {
    json_field<&EdgeLanes::event>("event"),
    json_field<&EdgeLanes::interval>("interval"),
}};

}  // namespace

void json_write(JsonWriter& w, const EdgeLanes& value) { EDGE_LANES_JSON.write(w, value); }
bool json_read(JsonReader& r, EdgeLanes& out) { return EDGE_LANES_JSON.read(r, out); }

namespace {

constexpr JsonRecord<Manifest, 13> MANIFEST_JSON{"Manifest", {
    json_field<&Manifest::format>("format"),
    json_field<&Manifest::generation>("generation"),
    json_field<&Manifest::parent>("parent"),
    json_field<&Manifest::created_tt>("created_tt"),
    json_field<&Manifest::event_log>("event_log"),
    json_field<&Manifest::dict>("dict"),
    json_field<&Manifest::widths>("widths"),
    json_field<&Manifest::node_store>("node_store"),
    json_field<&Manifest::edge_lanes>("edge_lanes"),
    json_field<&Manifest::close_runs>("close_runs"),
    json_field<&Manifest::next_segment_id>("next_segment_id"),
    json_field<&Manifest::stats>("stats"),
    json_field<&Manifest::manifest_sha>("manifest_sha"),
}};

static_assert(MANIFEST_JSON.fields.back().key == "manifest_sha", "the digest is the last member");

// The 13 members, with `manifest_sha` written as `sha_text`.
void write_manifest_members(JsonWriter& w, const Manifest& value, std::string_view sha_text) {
    for (std::size_t field_idx = 0; field_idx + 1 < MANIFEST_JSON.fields.size(); ++field_idx) {
        const JsonFieldDesc& field = MANIFEST_JSON.fields[field_idx];
        w.key(field.key);
        field.write(w, &value);
    }
    w.key(MANIFEST_JSON.fields.back().key);
    w.value_string(sha_text);
}

}  // namespace

void json_write(JsonWriter& w, const Manifest& value) { MANIFEST_JSON.write(w, value); }
bool json_read(JsonReader& r, Manifest& out) { return MANIFEST_JSON.read(r, out); }

void json_write_members(JsonWriter& w, const Manifest& value) {
    write_manifest_members(w, value, value.manifest_sha);
}

// ---- record operations -----------------------------------------------------------------------

std::string short_sha(std::string_view bytes) {
    const Sha256Digest digest = Sha256::digest(bytes);
    return to_hex(digest.data(), 8);
}

std::string read_only_list() {
    std::string out;
    for (std::uint32_t format = 1; format < MANIFEST_FORMAT_VERSION; ++format) {
        if (!out.empty()) out += " or ";
        out += std::to_string(format);
    }
    return out;
}

EngineError unsupported_manifest_format(std::uint32_t format) {
    return EngineError::corrupt(fmt::format("manifest format {} is not supported by this build (expected {}, or {} read-only)",
                                            format, MANIFEST_FORMAT_VERSION, read_only_list()));
}

Manifest Manifest::genesis() {
    Manifest manifest;
    manifest.format = MANIFEST_FORMAT_VERSION;
    manifest.generation = 0;
    manifest.parent = std::nullopt;
    manifest.created_tt = 0;
    manifest.event_log = EventLogRef{0, short_sha({})};
    manifest.dict = DictRef{0, 0};
    manifest.widths = Widths{32, 32, 16};
    manifest.next_segment_id = 0;
    manifest.stats = Stats{};
    manifest.manifest_sha.clear();
    manifest.seal();
    return manifest;
}

Manifest Manifest::successor(std::int64_t new_created_tt) const {
    Manifest next = *this;
    next.parent = generation;
    next.generation = generation + 1;
    next.created_tt = new_created_tt;
    next.manifest_sha.clear();
    return next;
}

std::string Manifest::legacy_body_sha() const {
    // Writes the record as it stands except that manifest_sha is "", without copying the lists.
    std::string body;
    JsonWriter writer(body, JsonStyle::Compact);
    writer.begin_object();
    write_manifest_members(writer, *this, "");
    writer.end_object();
    return short_sha(body);
}

std::string Manifest::digest() const {
    if (format <= 2) return legacy_body_sha();
    return manifest_digest(*this, ManifestMerkle::from_manifest(*this));
}

void Manifest::seal() { manifest_sha = digest(); }

Status Manifest::verify() const {
    if (format < 1 || format > MANIFEST_FORMAT_VERSION) return fail(unsupported_manifest_format(format));
    const std::string computed = digest();
    if (computed != manifest_sha)
        return fail(EngineError::corrupt(
            fmt::format("manifest checksum mismatch: computed {}, recorded {}", computed, manifest_sha)));
    return ok();
}

}  // namespace vorp
