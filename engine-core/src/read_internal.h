// What the read modules share: the stored-row bundle of each kind (the spans a record reader
// takes from a segment's typed view, once per segment, so that the per-row code indexes them
// without further tests) and the small helpers of the row readers.
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

// Every column a stored-row reader needs, taken from the segment's typed view and checked once
// per segment, so the per-row code indexes plain spans. One bundle per row kind, from the kind's
// column table: the strings first, then every column in table order (vt_e only when stored;
// a node's name_ref, which older segments lack, is empty when absent); the first that cannot be
// had is the error.
#define VORP_STORED_SPAN(column_name, type) std::span<const type> column_name;
template <class View>
struct StoredSpans;
template <>
struct StoredSpans<EdgeSegmentView> {
    VORP_EDGE_SEGMENT_COLUMNS(VORP_STORED_SPAN)
};
template <>
struct StoredSpans<NodeSegmentView> {
    VORP_NODE_SEGMENT_COLUMNS(VORP_STORED_SPAN)
};
#undef VORP_STORED_SPAN

template <class View>
struct StoredRows : StoredSpans<View> {
    using view_type = View;
    std::shared_ptr<const Segment> segment;
    std::uint64_t segment_id = 0;
    StringView strings;
    ValidEnds ends;

    std::size_t rows() const { return ends.vt_s.size(); }
    std::int64_t vt_e_at(std::size_t row) const { return ends.at(row); }
    static Result<StoredRows> load(std::shared_ptr<const Segment> segment, std::uint64_t segment_id);
};
using StoredEdgeRows = StoredRows<EdgeSegmentView>;
using StoredNodeRows = StoredRows<NodeSegmentView>;

template <class View>
Result<StoredRows<View>> StoredRows<View>::load(std::shared_ptr<const Segment> segment, std::uint64_t segment_id) {
    StoredRows cols;
    cols.segment_id = segment_id;
    cols.strings = VORP_TRY(segment->strings());
    cols.ends = VORP_TRY(view_of<View>(*segment).valid_ends());
    const View& view = view_of<View>(*segment);
#define VORP_STORED_LOAD(column_name, type)                                                  \
    if constexpr (std::string_view(#column_name) == "name_ref")                              \
        cols.column_name = view.column_name.values_or_empty();                               \
    else if constexpr (std::string_view(#column_name) != "vt_s" && std::string_view(#column_name) != "vt_e") \
        cols.column_name = VORP_TRY(view.column_name.get());
    if constexpr (std::is_same_v<View, EdgeSegmentView>) {
        VORP_EDGE_SEGMENT_COLUMNS(VORP_STORED_LOAD)
    } else {
        VORP_NODE_SEGMENT_COLUMNS(VORP_STORED_LOAD)
    }
#undef VORP_STORED_LOAD
    cols.vt_s = cols.ends.vt_s;
    cols.vt_e = cols.ends.vt_e;
    cols.segment = std::move(segment);
    return cols;
}

// Row r as a version record (r below rows()).
Result<EdgeVersionOut> stored_edge_out(const NativeStore& store, const StoredEdgeRows& cols, const CloseIndex* overlay,
                                       std::uint32_t r);
Result<NodeVersionOut> stored_node_out(const NativeStore& store, const StoredNodeRows& cols, const CloseIndex* overlay,
                                       std::uint32_t r);

// The edge id text of four identifying texts.
inline std::string eid_text(std::string_view src, std::string_view dst, std::string_view rel_type,
                            std::string_view disc) {
    return edge_eid(src, dst, rel_type, disc).to_hex();
}

}  // namespace vorp::read_detail
