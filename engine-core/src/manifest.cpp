#include "vorp/manifest.h"

#include <fmt/format.h>

#include <charconv>
#include <cstring>

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
namespace {

// Hand-written compact forms of the two list records: every Merkle leaf hashes one, and a manifest
// writes one per segment. They produce exactly the bytes the tables above write (same members,
// same order, same escaping and number forms), straight into the output buffer instead of token by
// token. Entries whose strings are unusually long (only a damaged or foreign file has them) take
// the table's path, so the buffer's worst-case bound stays small.
constexpr std::size_t RAW_STRING_LIMIT = 4096;
constexpr std::size_t RAW_FIXED_BOUND = 512;  // member keys, brackets and up to ten 20-digit numbers

template <std::size_t N>
char* put(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

template <class Integer>
char* put_integer(char* out, Integer value) {
    return std::to_chars(out, out + 24, value).ptr;
}

bool raw_form_fits(std::size_t string_bytes) { return string_bytes <= RAW_STRING_LIMIT; }

void append_entry_compact(std::string& out, const SegmentEntry& e) {
    const std::size_t bound = RAW_FIXED_BOUND + json_string_bound(e.file.size()) +
                              json_string_bound(e.key_lo.second.size()) + json_string_bound(e.key_hi.second.size()) +
                              json_string_bound(e.sha.size()) + 6 * e.rel_codes.size();
    const std::size_t start = out.size();
    out.resize_and_overwrite(start + bound, [&](char* base, std::size_t) {
        char* p = base + start;
        p = write_json_string(put(p, "{\"file\":"), e.file);
        p = put_integer(put(p, ",\"rows\":"), e.rows);
        p = put_integer(put(p, ",\"key_lo\":["), e.key_lo.first);
        p = write_json_string(put(p, ","), e.key_lo.second);
        p = put_integer(put(p, "],\"key_hi\":["), e.key_hi.first);
        p = write_json_string(put(p, ","), e.key_hi.second);
        p = put_integer(put(p, "],\"vt_min\":"), e.vt_min);
        p = put_integer(put(p, ",\"vt_max\":"), e.vt_max);
        p = put_integer(put(p, ",\"vt_e_max\":"), e.vt_e_max);
        p = put_integer(put(p, ",\"tt_s_min\":"), e.tt_s_min);
        p = put_integer(put(p, ",\"tt_s_max\":"), e.tt_s_max);
        p = put(p, ",\"rel_codes\":[");
        for (std::size_t code_idx = 0; code_idx < e.rel_codes.size(); ++code_idx) {
            if (code_idx > 0) *p++ = ',';
            p = put_integer(p, e.rel_codes[code_idx]);
        }
        p = put_integer(put(p, "],\"n_closed_folded\":"), e.n_closed_folded);
        p = e.all_current ? put(p, ",\"all_current\":true") : put(p, ",\"all_current\":false");
        p = write_json_string(put(p, ",\"sha\":"), e.sha);
        *p++ = '}';
        return static_cast<std::size_t>(p - base);
    });
}

void append_close_run_compact(std::string& out, const CloseRunRef& run) {
    const std::size_t bound = RAW_FIXED_BOUND + json_string_bound(run.file.size()) + json_string_bound(run.sha.size());
    const std::size_t start = out.size();
    out.resize_and_overwrite(start + bound, [&](char* base, std::size_t) {
        char* p = base + start;
        p = write_json_string(put(p, "{\"file\":"), run.file);
        p = put_integer(put(p, ",\"entries\":"), run.entries);
        p = write_json_string(put(p, ",\"sha\":"), run.sha);
        *p++ = '}';
        return static_cast<std::size_t>(p - base);
    });
}

}  // namespace

void json_write(JsonWriter& w, const SegmentEntry& value) {
    if (w.style() == JsonStyle::Compact &&
        raw_form_fits(value.file.size() + value.key_lo.second.size() + value.key_hi.second.size() + value.sha.size()))
        append_entry_compact(w.begin_raw_value(), value);
    else
        SEGMENT_ENTRY_JSON.write(w, value);
}

void json_write(JsonWriter& w, const CloseRunRef& value) {
    if (w.style() == JsonStyle::Compact && raw_form_fits(value.file.size() + value.sha.size()))
        append_close_run_compact(w.begin_raw_value(), value);
    else
        CLOSE_RUN_REF_JSON.write(w, value);
}
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
