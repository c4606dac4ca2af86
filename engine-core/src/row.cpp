#include "vorp/row.h"

#include <array>

#include "vorp/json.h"

namespace vorp {

std::string_view row_kind_word(RowKind kind) { return kind == RowKind::Edge ? "edge" : "node"; }

std::string_view lane_word(Lane lane) { return lane == Lane::Interval ? "interval" : "event"; }

std::optional<RowKind> row_kind_from_word(std::string_view word) {
    if (word == "node") return RowKind::Node;
    if (word == "edge") return RowKind::Edge;
    return std::nullopt;
}

std::optional<Lane> lane_from_word(std::string_view word) {
    if (word == "event") return Lane::Event;
    if (word == "interval") return Lane::Interval;
    return std::nullopt;
}

namespace {
constexpr std::array<std::string_view, 2> ROW_KIND_WORDS = {"node", "edge"};
constexpr std::array<std::string_view, 2> LANE_WORDS = {"event", "interval"};
}  // namespace

bool json_read(JsonReader& reader, RowKind& out) {
    std::size_t index = 0;
    if (!reader.read_variant(ROW_KIND_WORDS, index)) return false;
    out = static_cast<RowKind>(index);
    return true;
}

bool json_read(JsonReader& reader, Lane& out) {
    std::size_t index = 0;
    if (!reader.read_variant(LANE_WORDS, index)) return false;
    out = static_cast<Lane>(index);
    return true;
}

void json_write(JsonWriter& writer, RowKind kind) { writer.value_string(row_kind_word(kind)); }

void json_write(JsonWriter& writer, Lane lane) { writer.value_string(lane_word(lane)); }

}  // namespace vorp
