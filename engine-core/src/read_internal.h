// Column bundles shared by the read modules: the typed views one read takes of a segment, checked
// once per segment so that the per-row code indexes them without further tests.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "vorp/error.h"
#include "vorp/read.h"
#include "vorp/segment.h"

namespace vorp::read_detail {

// Every column a reader indexes by row must hold exactly `rows` values (the segment's vt_s
// length); a segment that breaks this is refused as corrupt at its file before any row is read.
template <class T>
Status check_rows(const Segment& segment, std::string_view name, std::span<const T> column, std::size_t rows) {
    if (column.size() != rows)
        return fail(EngineError::corrupt(fmt::format("column '{}' holds {} values but the segment has {} rows", name,
                                                     column.size(), rows))
                        .at_file(segment.path));
    return ok();
}

// Reads a typed column and checks its length against `rows`.
template <class T>
Result<std::span<const T>> column(const Segment& segment, std::string_view name, std::size_t rows) {
    const std::span<const T> values = VORP_TRY(segment.typed<T>(name));
    VORP_TRY(check_rows(segment, name, values, rows));
    return values;
}

// The valid-time end of row r: the column's value, or vt_s + 1 (wrapping) when the segment elides it.
inline std::int64_t vt_e_of(std::span<const std::int64_t> vt_e, std::span<const std::int64_t> vt_s, std::size_t r,
                            bool elided) {
    return elided ? vt_s_plus_one(vt_s[r]) : vt_e[r];
}

// The tt_e of a stored row. `overlay` is null when no layer touches the segment.
inline std::int64_t stored_tt_e(const CloseIndex* overlay, const Segment& segment, std::uint64_t segment_id,
                                std::uint32_t row) {
    return close_tt_e(overlay, segment_id, row, segment.header.closed_rows);
}

// The overlay to consult for one segment: none when no layer touches it (same answer, no hashing).
inline const CloseIndex* overlay_for(const CloseIndex* overlay, std::uint64_t segment_id) {
    return overlay != nullptr && overlay->touches(segment_id) ? overlay : nullptr;
}

// The vid text of a row's two vid columns.
inline std::string vid_text(std::uint64_t vid64, std::uint32_t vid_lo32) { return Id96{vid64, vid_lo32}.to_hex(); }

// The uid of a dense id, copied.
inline Result<std::string> uid_text(const NativeStore& store, std::uint32_t dense_id) { return store.uid_of(dense_id); }

// "rel_code {} has no entry" at the row, with the restore remedy.
inline EngineError bad_rel_code(std::uint16_t code, std::uint32_t row) {
    return EngineError::corrupt(fmt::format("rel_code {} has no entry", code)).at_row(row);
}

inline EngineError segment_not_current(std::uint64_t segment_id) {
    return EngineError::invariant(fmt::format("segment id {} is not in the current generation", segment_id));
}

inline EngineError row_out_of_bounds(std::uint64_t row, std::uint64_t segment_id) {
    return EngineError::invariant(fmt::format("row {} is out of bounds for segment {}", row, segment_id));
}

// Every column the edge row reader needs.
struct EdgeColumns {
    std::shared_ptr<const Segment> segment;
    std::uint64_t segment_id = 0;
    StringView strings;
    std::span<const std::int64_t> vt_s, vt_e;
    std::span<const std::uint32_t> src_id, dst_id;
    std::span<const std::uint16_t> rel_code;
    std::span<const std::uint64_t> vid64;
    std::span<const std::uint32_t> vid_lo32, props_ref, disc_ref, source_ref, prov_ref;
    bool elided = false;

    std::size_t rows() const { return vt_s.size(); }
    static Result<EdgeColumns> load(std::shared_ptr<const Segment> segment, std::uint64_t segment_id);
};

struct NodeColumns {
    std::shared_ptr<const Segment> segment;
    std::uint64_t segment_id = 0;
    StringView strings;
    std::span<const std::int64_t> vt_s, vt_e;
    std::span<const std::uint32_t> uid_id;
    std::span<const std::uint64_t> vid64;
    std::span<const std::uint32_t> vid_lo32, label_ref, props_ref, source_ref, prov_ref;
    bool elided = false;

    std::size_t rows() const { return vt_s.size(); }
    static Result<NodeColumns> load(std::shared_ptr<const Segment> segment, std::uint64_t segment_id);
};

// Row r as a version record (r below rows()).
Result<EdgeVersionOut> stored_edge_out(const NativeStore& store, const EdgeColumns& cols, const CloseIndex* overlay,
                                       std::uint32_t r);
Result<NodeVersionOut> stored_node_out(const NativeStore& store, const NodeColumns& cols, const CloseIndex* overlay,
                                       std::uint32_t r);

// The edge id text of four identifying texts.
inline std::string eid_text(std::string_view src, std::string_view dst, std::string_view rel_type,
                            std::string_view disc) {
    return edge_eid(src, dst, rel_type, disc).to_hex();
}

}  // namespace vorp::read_detail
