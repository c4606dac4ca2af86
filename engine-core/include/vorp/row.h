// The in-memory records of staged node and edge versions, and the two small enumerations that
// say what a version, segment or close concerns (RowKind) and which segment family a segment
// belongs to (Lane).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vorp/derive.h"

namespace vorp {

// The open end of a time interval (2^62): a version whose tt_e is OPEN_END is still believed.
inline constexpr std::int64_t OPEN_END = std::int64_t{1} << 62;

// Stored in one byte; the numbering is written into close-run files. JSON word "node" / "edge".
enum class RowKind : std::uint8_t { Node = 0, Edge = 1 };
// Stored in one byte. JSON word "event" / "interval".
enum class Lane : std::uint8_t { Event = 0, Interval = 1 };

std::string_view row_kind_word(RowKind kind);
std::string_view lane_word(Lane lane);
// Exact, byte-for-byte match of the lower-case word; nothing otherwise.
std::optional<RowKind> row_kind_from_word(std::string_view word);
std::optional<Lane> lane_from_word(std::string_view word);

class JsonReader;
class JsonWriter;
// JSON: written as the word in a string; read from the word or from {"word": null}. Failures are
// the reader's "unknown variant `x`, expected `node` or `edge`" (`event` or `interval`) and
// "invalid type: ..., expected variant identifier".
bool json_read(JsonReader& reader, RowKind& out);
bool json_read(JsonReader& reader, Lane& out);
void json_write(JsonWriter& writer, RowKind kind);
void json_write(JsonWriter& writer, Lane lane);

// One edge version. Copies are deep (plain value semantics). Times are in the caller's units;
// nothing here is checked.
struct EdgeRow {
    std::string rel_type;
    std::string disc;                 // part of the edge's identity; may be empty
    std::string props;                // JSON text, stored unchanged
    std::string source;
    std::optional<std::string> prov;  // absent (ref 0xFFFFFFFF) is distinct from empty (ref 0)
    Id96 vid;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::int64_t tt_s = 0;
    std::uint32_t src_id = 0;
    std::uint32_t dst_id = 0;

    bool operator==(const EdgeRow&) const = default;
};

// One node version.
struct NodeRow {
    std::string label;
    std::string props;                // JSON text; its string member "name" also feeds name_ref
    std::string source;
    std::optional<std::string> prov;
    Id96 vid;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::int64_t tt_s = 0;
    std::uint32_t uid_id = 0;

    bool operator==(const NodeRow&) const = default;
};

}  // namespace vorp
