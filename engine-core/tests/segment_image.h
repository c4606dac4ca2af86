// Segment files taken apart and laid out again by tests: a header or footer changed around the
// same body bytes, or a whole file made from a header, its extents and its string table with every
// checksum and the body digest recomputed, so that only what a test changed differs from a file
// the writer made.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorp/checksum.h"
#include "vorp/segment.h"

namespace vorp::testing {

inline std::uint32_t get_u32(std::string_view bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
inline void set_u32(std::string& bytes, std::size_t at, std::uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }
inline std::string le32(std::uint32_t value) {
    std::string out(4, '\0');
    set_u32(out, 0, value);
    return out;
}

// A file split into its parts, so a test can change the header or the footer and lay the file out
// again around the same body bytes (extents and string table, relative to body_start).
struct FileParts {
    SegmentHeader header;
    SegmentFooter footer;
    std::string body;
};

inline FileParts split(std::string_view image) {
    const std::uint32_t header_len = get_u32(image, 8);
    const std::uint32_t footer_len = get_u32(image, image.size() - 8);
    const std::size_t body_start = segment_body_start(header_len);
    const std::size_t footer_start = image.size() - 8 - footer_len;
    return FileParts{parse_segment_header(image.substr(12, header_len)).value(),
                     parse_segment_footer(image.substr(footer_start, footer_len)).value(),
                     std::string(image.substr(body_start, footer_start - body_start))};
}

// Lays the parts out; `reseal` recomputes the body digest (CRCs are left as given).
inline std::string assemble(const FileParts& parts, bool reseal = true, std::optional<std::string> header_json = {}) {
    const std::string json = header_json ? *header_json : segment_header_json(parts.header);
    std::string image = le32(SEGMENT_HEAD_MAGIC) + le32(SEGMENT_FORMAT) + le32(static_cast<std::uint32_t>(json.size())) + json;
    image.append(segment_body_start(json.size()) - image.size(), '\0');
    image += parts.body;
    SegmentFooter footer = parts.footer;
    if (reseal) footer.body_sha = sha256_hex_bytes(image).substr(0, 16);
    const std::string footer_json = segment_footer_json(footer);
    return image + footer_json + le32(static_cast<std::uint32_t>(footer_json.size())) + le32(SEGMENT_TAIL_MAGIC);
}

// A complete, consistent file from a header and the stored bytes of its extents (in the header's
// column order, each in the codec its column names) and string table: offsets, lengths, CRCs and
// the digest are filled in.
inline std::string craft(SegmentHeader header, const std::vector<std::string>& extents, const std::string& table) {
    FileParts parts;
    std::uint64_t running = 0;
    for (std::size_t column_idx = 0; column_idx < extents.size(); ++column_idx) {
        header.columns[column_idx].offset = running;
        header.columns[column_idx].bytes = extents[column_idx].size();
        parts.body += extents[column_idx];
        parts.body.append(align_up_64(extents[column_idx].size()) - extents[column_idx].size(), '\0');
        parts.footer.extent_crcs.push_back(crc32c(extents[column_idx]));
        running += align_up_64(extents[column_idx].size());
    }
    header.strings_offset = running;
    header.strings_bytes = table.size();
    parts.body += table;
    parts.footer.strings_crc = crc32c(table);
    parts.footer.rows = header.rows;
    parts.header = std::move(header);
    return assemble(parts);
}

}  // namespace vorp::testing
