// The segment file's records (header, column descriptors, footer), their JSON, and the small
// rules of the format shared by the writer (segment_write.cpp) and the reader (segment_read.cpp).
#include "vorp/segment.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "vorp/json.h"

namespace vorp {

std::filesystem::path segment_relative_path(std::uint64_t segment_id) {
    return std::filesystem::path("seg") / fmt::format("{:012}.vos", segment_id);
}

namespace {
constexpr std::array<std::string_view, 4> DTYPE_WORDS = {"i64", "u64", "u32", "u16"};
constexpr std::array<std::string_view, 4> DTYPE_NAMES = {"I64", "U64", "U32", "U16"};
}  // namespace

std::string_view dtype_word(DType dtype) { return DTYPE_WORDS[static_cast<std::size_t>(dtype) & 3]; }
std::string_view dtype_name(DType dtype) { return DTYPE_NAMES[static_cast<std::size_t>(dtype) & 3]; }

bool json_read(JsonReader& reader, DType& out) {
    std::size_t index = 0;
    if (!reader.read_variant(DTYPE_WORDS, index)) return false;
    out = static_cast<DType>(index);
    return true;
}

void json_write(JsonWriter& writer, DType dtype) { writer.value_string(dtype_word(dtype)); }

namespace {

constexpr JsonRecord COLUMN_DESC_JSON{"ColumnDesc", {
    json_field<&ColumnDesc::name>("name"),
    json_field<&ColumnDesc::dtype>("dtype"),
    json_field<&ColumnDesc::offset>("offset"),
    json_field<&ColumnDesc::bytes>("bytes"),
    json_field<&ColumnDesc::codec>("codec"),
}};

}  // namespace

bool json_read(JsonReader& reader, ColumnDesc& out) { return COLUMN_DESC_JSON.read(reader, out); }
void json_write(JsonWriter& writer, const ColumnDesc& desc) { COLUMN_DESC_JSON.write(writer, desc); }

namespace {

// Declared after the ColumnDesc overloads, which the `columns` member needs.
constexpr JsonRecord SEGMENT_HEADER_JSON{"SegmentHeader", {
    json_field<&SegmentHeader::format>("format"),
    json_field<&SegmentHeader::kind>("kind"),
    json_field<&SegmentHeader::lane>("lane"),
    json_field<&SegmentHeader::rows>("rows"),
    json_field<&SegmentHeader::block_rows>("block_rows"),
    json_field<&SegmentHeader::key_lo>("key_lo"),
    json_field<&SegmentHeader::key_hi>("key_hi"),
    json_field<&SegmentHeader::vt_min>("vt_min"),
    json_field<&SegmentHeader::vt_max>("vt_max"),
    json_field<&SegmentHeader::vt_e_max>("vt_e_max"),
    json_field<&SegmentHeader::tt_s_runs>("tt_s_runs"),
    json_field<&SegmentHeader::rel_types>("rel_types"),
    json_field<&SegmentHeader::columns>("columns"),
    json_field<&SegmentHeader::vt_e_elided>("vt_e_elided"),
    json_field<&SegmentHeader::strings_offset>("strings_offset"),
    json_field<&SegmentHeader::strings_bytes>("strings_bytes"),
    json_field<&SegmentHeader::strings_count>("strings_count"),
    // Older writers may leave it out: no folded closes.
    json_field<&SegmentHeader::closed_rows>("closed_rows", {.defaulted = true}),
}};

constexpr JsonRecord SEGMENT_FOOTER_JSON{"SegmentFooter", {
    json_field<&SegmentFooter::extent_crcs>("extent_crcs"),
    json_field<&SegmentFooter::strings_crc>("strings_crc"),
    json_field<&SegmentFooter::rows>("rows"),
    json_field<&SegmentFooter::body_sha>("body_sha"),
}};

}  // namespace

bool json_read(JsonReader& reader, SegmentHeader& out) { return SEGMENT_HEADER_JSON.read(reader, out); }
void json_write(JsonWriter& writer, const SegmentHeader& header) { SEGMENT_HEADER_JSON.write(writer, header); }
bool json_read(JsonReader& reader, SegmentFooter& out) { return SEGMENT_FOOTER_JSON.read(reader, out); }
void json_write(JsonWriter& writer, const SegmentFooter& footer) { SEGMENT_FOOTER_JSON.write(writer, footer); }

std::string segment_header_json(const SegmentHeader& header) { return json_to_string(header); }
std::string segment_footer_json(const SegmentFooter& footer) { return json_to_string(footer); }

namespace {
template <class T>
Result<T> parse_record(std::string_view text) {
    JsonResult<T> parsed = json_parse<T>(text);
    if (!parsed) return fail(EngineError::corrupt(parsed.error().text()));
    return std::move(*parsed);
}
}  // namespace

Result<SegmentHeader> parse_segment_header(std::string_view text) { return parse_record<SegmentHeader>(text); }
Result<SegmentFooter> parse_segment_footer(std::string_view text) { return parse_record<SegmentFooter>(text); }

Result<std::int64_t> SegmentHeader::tt_s_at(std::uint32_t row) const {
    // Runs are written ascending by first_row; the answer is the last run starting at or before row.
    const auto end = std::partition_point(tt_s_runs.begin(), tt_s_runs.end(),
                                          [row](const auto& run) { return run.first <= row; });
    if (end == tt_s_runs.begin()) return fail(EngineError::corrupt(fmt::format("no tt_s run covers row {}", row)));
    return std::prev(end)->second;
}

}  // namespace vorp
