// The manifest: the record that describes one generation of a store (every segment file, close
// run, the dict.log and event-log extents, widths, counters, the next segment id and the digest),
// its seven part records, their compact JSON and the rules for reading them back.
//
// The compact JSON is hashed byte for byte (manifest digest, delta digest), so its form is fixed:
// members in declaration order, no whitespace, every member written (an absent optional as null),
// integers in plain decimal, strings escaping only '"', '\\' and bytes below 0x20.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorp/error.h"
#include "vorp/json.h"

namespace vorp {

// The manifest format this build writes; formats 1 and 2 are read, and make the store read-only.
inline constexpr std::uint32_t MANIFEST_FORMAT_VERSION = 3;

// The caller's event-log replay cursor.
struct EventLogRef {
    std::uint64_t offset = 0;  // just past the newline of the last applied record
    std::string chain;         // the caller's rolling hash over the log prefix up to `offset`

    bool operator==(const EventLogRef&) const = default;
};

// The committed extent of dict.log.
struct DictRef {
    std::uint32_t records = 0;
    std::uint64_t bytes = 0;

    bool operator==(const DictRef&) const = default;
};

// Bit widths of the identifiers (32, 32, 16 from the genesis on).
struct Widths {
    std::uint8_t entity_id = 0;
    std::uint8_t row_id = 0;
    std::uint8_t rel_code = 0;

    bool operator==(const Widths&) const = default;
};

// (vt_s, vid as 24 lowercase hex digits) of a segment's first or last row; written [vt_s,"vid"].
using SegmentKey = std::pair<std::int64_t, std::string>;

// One segment file of the generation.
struct SegmentEntry {
    std::string file;  // "seg/" + 12-digit id + ".vos", relative to the store root
    std::uint32_t rows = 0;
    SegmentKey key_lo;
    SegmentKey key_hi;
    std::int64_t vt_min = 0;
    std::int64_t vt_max = 0;
    std::int64_t vt_e_max = 0;
    std::int64_t tt_s_min = 0;
    std::int64_t tt_s_max = 0;
    std::vector<std::uint16_t> rel_codes;  // written empty; carried as read
    std::uint32_t n_closed_folded = 0;
    bool all_current = true;  // n_closed_folded == 0 when sealed
    std::string sha;          // written empty; carried as read

    bool operator==(const SegmentEntry&) const = default;
};

// The edge segments, split by lane, each list in the order the entries were added.
struct EdgeLanes {
    std::vector<SegmentEntry> event;
    std::vector<SegmentEntry> interval;

    bool operator==(const EdgeLanes&) const = default;
};

// One close-run file.
struct CloseRunRef {
    std::string file;  // "close/" + 12-digit generation + ".voc"
    std::uint32_t entries = 0;
    std::string sha;   // written empty; carried as read

    bool operator==(const CloseRunRef&) const = default;
};

struct Stats {
    std::uint32_t n_entities = 0;
    std::uint64_t n_node_versions = 0;
    std::uint64_t n_edge_versions = 0;
    std::optional<std::int64_t> vt_min;
    std::optional<std::int64_t> vt_max;
    std::uint64_t max_out_degree = 0;

    bool operator==(const Stats&) const = default;
};

// One generation of the store. A plain value: copies are deep, equality is member by member.
struct Manifest {
    std::uint32_t format = MANIFEST_FORMAT_VERSION;
    std::uint64_t generation = 0;
    std::optional<std::uint64_t> parent;
    std::int64_t created_tt = 0;
    EventLogRef event_log;
    DictRef dict;
    Widths widths;
    std::vector<SegmentEntry> node_store;
    EdgeLanes edge_lanes;
    std::vector<CloseRunRef> close_runs;
    std::uint64_t next_segment_id = 0;
    Stats stats;
    std::string manifest_sha;  // 16 lowercase hex digits once sealed; empty while being built

    // Generation 0 of a new store, sealed.
    static Manifest genesis();

    // A deep copy that starts the next generation: parent = generation, generation + 1, the given
    // created_tt, manifest_sha empty; everything else carried over.
    Manifest successor(std::int64_t created_tt) const;

    // The format-1/2 digest: short sha of the whole compact record with manifest_sha written "".
    std::string legacy_body_sha() const;
    // legacy_body_sha for formats up to 2, otherwise the format-3 Merkle digest built from the
    // record's own lists. Never fails.
    std::string digest() const;
    // manifest_sha = digest().
    void seal();
    // Checks the format (1, 2 or 3) and that manifest_sha equals digest(); `corrupt` otherwise.
    Status verify() const;

    bool operator==(const Manifest&) const = default;
};

// First 16 lowercase hex digits of the SHA-256 of the bytes ("e3b0c44298fc1c14" for none).
std::string short_sha(std::string_view bytes);

// The formats read but not written, joined by " or ": "1 or 2".
std::string read_only_list();

// "manifest format {} is not supported by this build (expected 3, or 1 or 2 read-only)" as a
// `corrupt` error.
EngineError unsupported_manifest_format(std::uint32_t format);

// ---- JSON --------------------------------------------------------------------------------------
// Writing: every member in declaration order, an absent optional as null; with a compact writer
// the bytes are the ones the digests hash. Writing cannot fail.
// Reading (json_read, or json_parse<T>(text) for a whole document): an object with members in any
// order (unknown keys skipped, a repeated key refused with "duplicate field `k`", the first
// missing required member refused with "missing field `k`"; `parent` and the Stats bounds may be
// absent or null), or an array of the member values in declaration order ("invalid length {n},
// expected struct T with N elements" when short); any other value fails with "invalid type: ...,
// expected struct T". Failures are the JSON library's errors, which the caller wraps.
void json_write(JsonWriter& w, const EventLogRef& value);
void json_write(JsonWriter& w, const DictRef& value);
void json_write(JsonWriter& w, const Widths& value);
void json_write(JsonWriter& w, const SegmentEntry& value);
void json_write(JsonWriter& w, const EdgeLanes& value);
void json_write(JsonWriter& w, const CloseRunRef& value);
void json_write(JsonWriter& w, const Stats& value);
void json_write(JsonWriter& w, const Manifest& value);

bool json_read(JsonReader& r, EventLogRef& out);
bool json_read(JsonReader& r, DictRef& out);
bool json_read(JsonReader& r, Widths& out);
bool json_read(JsonReader& r, SegmentEntry& out);
bool json_read(JsonReader& r, EdgeLanes& out);
bool json_read(JsonReader& r, CloseRunRef& out);
bool json_read(JsonReader& r, Stats& out);
bool json_read(JsonReader& r, Manifest& out);

// Writes the 13 members of the manifest ("format" ... "manifest_sha") as key/value pairs into an
// object the caller has opened (a checkpoint puts its own members first).
void json_write_members(JsonWriter& w, const Manifest& value);

// Each appends the record's compact JSON to `out`.
template <class Record>
void append_compact_json(std::string& out, const Record& value) {
    JsonWriter writer(out, JsonStyle::Compact);
    json_write(writer, value);
}

template <class Record>
std::string to_compact_json(const Record& value) {
    std::string out;
    append_compact_json(out, value);
    return out;
}

}  // namespace vorp
