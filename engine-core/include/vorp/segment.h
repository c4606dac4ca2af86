// Segment files: the immutable, columnar files that hold the versions of one kind (nodes or edges)
// and one lane, their writer, their reader and the zero-copy access to their columns.
//
// File layout (all fixed-width integers little-endian):
//
//   offset                      size         field
//   0                           4            head magic "VOSG"
//   4                           4            format, u32: 1
//   8                           4            header_len, u32
//   12                          header_len   header JSON (SegmentHeader, compact)
//   12 + header_len             0..63        zero bytes up to body_start
//   body_start + col.offset     col.bytes    one extent per column, in header order, each followed
//                                            by zero bytes up to the next multiple of 64
//   body_start + strings_offset strings_bytes the string table, raw or packed (codec.h)
//   footer_start                footer_len   footer JSON (SegmentFooter, compact)
//   file length - 8             4            footer_len, u32
//   file length - 4             4            completion marker "VOSE"
//
// body_start is the least multiple of 64 not below 12 + header_len, so every extent starts at a
// multiple of 64 from a 64-byte-aligned origin and can be viewed as a typed array in place. The
// footer's body_sha (first 16 hex digits of SHA-256) covers bytes [0, footer_start); every extent
// and the string table carry their own CRC-32C. The marker at the very end tells a complete file
// from one cut short while it was being written.
//
// An extent holds one value per row: codec 0 the values at their width, codec 1 the FOR stream of
// the values widened to 64 bits (zero-extended for u32/u16). String references are u32 indices
// into the segment's string table: 0 is always "", 0xFFFFFFFF means none (prov_ref, name_ref).
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "vorp/error.h"
#include "vorp/row.h"

namespace vorp {

class JsonReader;
class JsonWriter;

inline constexpr std::uint32_t SEGMENT_FORMAT = 1;
inline constexpr std::uint32_t SEGMENT_HEAD_MAGIC = 0x47534F56;  // "VOSG" read as a little-endian u32
inline constexpr std::uint32_t SEGMENT_TAIL_MAGIC = 0x45534F56;  // "VOSE"
// Head magic, format and header_len in front; footer_len and the marker behind.
inline constexpr std::uint64_t SEGMENT_MIN_FILE_LEN = 20;
inline constexpr std::uint64_t SEGMENT_ALIGN = 64;
// The block size the store records in every header (no reader of this module uses it).
inline constexpr std::uint32_t BLOCK_ROWS = 32768;
// The string reference that means "no text".
inline constexpr std::uint32_t NO_STRING = 0xFFFFFFFFu;
// Relationship codes are u16 and 0xFFFF is never used, so at most 65535 types per segment.
inline constexpr std::size_t MAX_REL_TYPES = 65535;
// Column codecs.
inline constexpr std::uint32_t CODEC_RAW = 0;
inline constexpr std::uint32_t CODEC_FOR = 1;

// The valid-time end of a version whose vt_e column was elided: vt_s + 1 with two's-complement
// wrap-around (computed unsigned, so i64 max + 1 is i64 min and never undefined behaviour).
constexpr std::int64_t vt_s_plus_one(std::int64_t vt_s) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(vt_s) + 1u);
}

// Least multiple of 64 not below 12 + header_len.
constexpr std::uint64_t segment_body_start(std::uint64_t header_len) { return (header_len + 75) & ~std::uint64_t{63}; }
constexpr std::uint64_t align_up_64(std::uint64_t value) { return (value + 63) & ~std::uint64_t{63}; }

// "seg/" + the id in at least 12 zero-padded digits + ".vos", relative to the store root.
std::filesystem::path segment_relative_path(std::uint64_t segment_id);

// ---- element types --------------------------------------------------------------------------------

// Stored in one byte. JSON word "i64" "u64" "u32" "u16"; messages print "I64" "U64" "U32" "U16".
enum class DType : std::uint8_t { I64 = 0, U64 = 1, U32 = 2, U16 = 3 };

std::string_view dtype_word(DType dtype);  // "i64"
std::string_view dtype_name(DType dtype);  // "I64"
constexpr unsigned dtype_width(DType dtype) {
    return dtype == DType::U32 ? 4u : dtype == DType::U16 ? 2u : 8u;
}

template <class T>
inline constexpr bool is_column_element = std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> ||
                                          std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint16_t>;
template <class T>
    requires is_column_element<T>
inline constexpr DType dtype_of = std::is_same_v<T, std::int64_t>    ? DType::I64
                                  : std::is_same_v<T, std::uint64_t> ? DType::U64
                                  : std::is_same_v<T, std::uint32_t> ? DType::U32
                                                                     : DType::U16;

// ---- header, column descriptors, footer -------------------------------------------------------------

struct ColumnDesc {
    std::string name;
    DType dtype = DType::I64;
    std::uint64_t offset = 0;  // start of the extent relative to body_start
    std::uint64_t bytes = 0;   // stored length, padding excluded
    std::uint32_t codec = CODEC_RAW;

    bool operator==(const ColumnDesc&) const = default;
};

// Compact JSON members in declaration order; on reading every member is required except
// closed_rows (absent reads as empty).
struct SegmentHeader {
    std::uint32_t format = SEGMENT_FORMAT;
    RowKind kind = RowKind::Node;
    Lane lane = Lane::Event;
    std::uint32_t rows = 0;
    std::uint32_t block_rows = 0;
    std::pair<std::int64_t, std::string> key_lo;  // (vt_s, vid text) of the first row
    std::pair<std::int64_t, std::string> key_hi;  // (vt_s, vid text) of the last row
    std::int64_t vt_min = 0;
    std::int64_t vt_max = 0;
    std::int64_t vt_e_max = 0;
    // (first_row, tt_s): a new run at every row whose tt_s differs from the previous row's.
    std::vector<std::pair<std::uint32_t, std::int64_t>> tt_s_runs;
    // Edge segments: the distinct relationship types in first-seen order (rel_code = index).
    std::vector<std::string> rel_types;
    std::vector<ColumnDesc> columns;
    bool vt_e_elided = false;
    std::uint64_t strings_offset = 0;
    std::uint64_t strings_bytes = 0;
    std::uint32_t strings_count = 0;
    // (row, tt_e) of closes folded in when the segment was written, ascending by row.
    std::vector<std::pair<std::uint32_t, std::int64_t>> closed_rows;

    // The transaction-time start of a row: the tt_s of the last run starting at or before it.
    // `corrupt` "no tt_s run covers row {}" when no run does. Rows past the end get the last run's.
    Result<std::int64_t> tt_s_at(std::uint32_t row) const;

    bool operator==(const SegmentHeader&) const = default;
};

struct SegmentFooter {
    std::vector<std::uint32_t> extent_crcs;  // CRC-32C of each extent's stored bytes, header order
    std::uint32_t strings_crc = 0;           // CRC-32C of the stored string table
    std::uint64_t rows = 0;
    std::string body_sha;  // first 16 lowercase hex digits of SHA-256 of bytes [0, footer_start)

    bool operator==(const SegmentFooter&) const = default;
};

// JSON of the records (json.h: json_to_string writes the compact form, json_parse<T> reads a
// whole document with the record rules: any member order, unknown members skipped, duplicates and
// missing members refused, array form accepted).
bool json_read(JsonReader& reader, DType& out);
void json_write(JsonWriter& writer, DType dtype);
bool json_read(JsonReader& reader, ColumnDesc& out);
void json_write(JsonWriter& writer, const ColumnDesc& desc);
bool json_read(JsonReader& reader, SegmentHeader& out);
void json_write(JsonWriter& writer, const SegmentHeader& header);
bool json_read(JsonReader& reader, SegmentFooter& out);
void json_write(JsonWriter& writer, const SegmentFooter& footer);

// The compact JSON texts, exactly as written into a segment file.
std::string segment_header_json(const SegmentHeader& header);
std::string segment_footer_json(const SegmentFooter& footer);
// Whole-document readers; errors are the JSON reader's text (" at line {} column {}" included).
Result<SegmentHeader> parse_segment_header(std::string_view text);
Result<SegmentFooter> parse_segment_footer(std::string_view text);

// The header of the segment file `file` (its whole bytes), after the checks Segment::open makes of
// the frame, the header and the footer, with the same errors; nothing is verified or decoded. For
// a caller that must know what a file claims before it lets open decode it.
Result<SegmentHeader> read_segment_header(const std::filesystem::path& path, std::span<const std::uint8_t> file);

// Segment::open's refusal of a header whose row count is not the manifest entry's.
EngineError segment_rows_disagree(const std::filesystem::path& path, std::uint64_t manifest_rows,
                                  std::uint64_t segment_rows);

// ---- writer -----------------------------------------------------------------------------------------

struct SegmentWriteOptions {
    // Closes staged in the same batch that hit rows of this segment, strictly ascending by row
    // (readers binary-search it); copied into the header unchanged. A list out of order or with a
    // repeated row is refused with `invariant` before anything is created.
    std::vector<std::pair<std::uint32_t, std::int64_t>> closed_rows;
    std::uint32_t block_rows = BLOCK_ROWS;
    Lane lane = Lane::Event;
};

// The distinct texts of a segment in first-use order, with the index of each. Texts live back to
// back in one payload buffer (the raw table's payload), so interning allocates nothing per text
// beyond amortised growth.
class StringTable {
public:
    StringTable() = default;

    // The index of `text`, appending it when it is new. The index is the number of texts before it
    // (callers refuse tables that outgrow 32 bits through check_string_table_capacity).
    std::uint32_t intern(std::string_view text);
    // Room for about `texts` texts before the hash map grows.
    void reserve(std::size_t texts);
    // The index of `text` when it is present.
    std::optional<std::uint32_t> find(std::string_view text) const;

    std::size_t size() const { return ends_.size(); }
    std::uint64_t payload_bytes() const { return payload_.size(); }
    std::string_view text(std::size_t index) const;
    std::vector<std::string> texts() const;

    // The raw string table: count, count + 1 offsets, payload. Requires the table to pass
    // check_string_table_capacity.
    std::vector<std::uint8_t> raw_table() const;

private:
    std::size_t find_slot(std::string_view text, std::uint64_t hash) const;
    void grow();

    std::string payload_;
    std::vector<std::uint64_t> ends_;   // end offset of text i in payload_
    std::vector<std::uint64_t> slots_;  // open addressing, linear probing (see find_slot)
    std::size_t mapped_ = 0;            // texts entered in slots_ (all of them below 2^32 - 1)
};

// `capacity` error when the table cannot be described by the file's 32-bit fields: more than
// 4294967294 strings (a count of 0xFFFFFFFF is the packed-heap marker) or a payload above
// 4294967295 bytes.
Status check_string_table_capacity(const StringTable& table);

// One column being built: its values as little-endian bytes at the element width.
struct ColumnBuilder {
    std::string_view name;  // a fixed text
    DType dtype = DType::I64;
    std::vector<std::uint8_t> bytes;  // sized for every row up front
    std::size_t count = 0;            // values appended so far

    ColumnBuilder(std::string_view column_name, DType column_dtype, std::size_t rows);
    void push(std::uint64_t value) {
        const unsigned width = dtype_width(dtype);
        if ((count + 1) * width > bytes.size()) engine_panic("a column builder holds one value per row");
        std::memcpy(bytes.data() + count * width, &value, width);  // little-endian host
        ++count;
    }
};

// Writes the versions as one segment file at `path` (through `path` with its extension replaced
// by "vos.tmp", fully synced, then renamed). `invariant` for no rows or closed_rows out of order,
// `capacity` for a 65536th distinct rel_type or 32-bit overflows, `io` for file-system failures
// (with the file that failed).
// Refusals come before anything is created on disk.
Status write_edge_segment(const std::filesystem::path& path, std::span<const EdgeRow> rows,
                          const SegmentWriteOptions& options);
Status write_node_segment(const std::filesystem::path& path, std::span<const NodeRow> rows,
                          const SegmentWriteOptions& options);
// The same over rows named by pointer, in write order; the same bytes as the span forms over the
// same rows. Sealing hands each segment its rows where they lie in the staging, in key order with
// the other lane's rows between them.
Status write_edge_segment(const std::filesystem::path& path, std::span<const EdgeRow* const> rows,
                          const SegmentWriteOptions& options);
Status write_node_segment(const std::filesystem::path& path, std::span<const NodeRow* const> rows,
                          const SegmentWriteOptions& options);
// The shared tail of both writers: encodes the columns, lays out and checksums the image and
// writes it durably. `header` has every member set except columns, strings_offset, strings_bytes.
Status write_segment(const std::filesystem::path& path, SegmentHeader header, std::vector<ColumnBuilder> columns,
                     const StringTable& strings);

// The display name of a node: the string member "name" of the properties' top-level JSON object
// (the last one when repeated); nothing for any other text. Texts without the quoted word "name"
// are not parsed.
std::optional<std::string> name_of(std::string_view props);

// ---- byte sources -------------------------------------------------------------------------------------

// An owned, 64-byte-aligned byte buffer (page-aligned from 64 KiB up, where reads into it and
// copies out of it run fastest). From 4 MiB up the memory is mapped directly, aligned to 2 MiB
// and offered transparent huge pages, so that filling it takes one page fault per 2 MiB instead
// of one per 4 KiB; the most recently released such mapping (up to 128 MiB) is kept for the next.
class AlignedBytes {
public:
    AlignedBytes() = default;
    // Zero-filled. Memory that is not available throws std::bad_alloc (the sizes asked for are
    // bounded by a file's bytes, so a shortage is the process's, never a fault of the file).
    static Result<AlignedBytes> zeroed(std::size_t size);
    // Contents unspecified: for a buffer its filler overwrites completely (a decoded column, a
    // file read); saves a pass over the memory. std::bad_alloc as for zeroed().
    static Result<AlignedBytes> uninitialized(std::size_t size);
    // `size` bytes at `data` inside memory that `owner` keeps alive: one allocation shared by
    // several buffers (the decoded parts of a segment), released with the last of them.
    static AlignedBytes part_of(std::shared_ptr<const void> owner, std::uint8_t* data, std::size_t size);
    AlignedBytes(AlignedBytes&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          mapped_(std::exchange(other.mapped_, 0)),
          owner_(std::move(other.owner_)) {}
    AlignedBytes& operator=(AlignedBytes&& other) noexcept;
    AlignedBytes(const AlignedBytes&) = delete;
    AlignedBytes& operator=(const AlignedBytes&) = delete;
    ~AlignedBytes();

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::span<const std::uint8_t> span() const { return {data_, size_}; }

private:
    void release() noexcept;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;             // length of its own mapping; 0 when allocated otherwise
    std::shared_ptr<const void> owner_;  // set for a part of a shared allocation, which this does not free
};

// A read-only, shared, whole-file memory map (page-aligned base). The descriptor is closed once
// the map exists; the map lives until the source is destroyed. A map refused for want of memory
// (ENOMEM) throws std::bad_alloc; any other failure is the `io` error of the path.
class MmapSource {
public:
    static Result<MmapSource> load(const std::filesystem::path& path);

    MmapSource(MmapSource&& other) noexcept
        : base_(std::exchange(other.base_, nullptr)),
          map_len_(std::exchange(other.map_len_, 0)),
          len_(std::exchange(other.len_, 0)) {}
    MmapSource& operator=(MmapSource&& other) noexcept;
    MmapSource(const MmapSource&) = delete;
    MmapSource& operator=(const MmapSource&) = delete;
    ~MmapSource();

    std::span<const std::uint8_t> bytes() const { return {static_cast<const std::uint8_t*>(base_), len_}; }

private:
    MmapSource() = default;
    void* base_ = nullptr;
    std::size_t map_len_ = 0;  // a zero-length file is mapped with length 1
    std::size_t len_ = 0;
};

// An owned in-memory copy of a whole file (64-byte-aligned).
class MemorySource {
public:
    static Result<MemorySource> load(const std::filesystem::path& path);
    // A copy of bytes already in memory.
    static Result<MemorySource> copy_of(std::span<const std::uint8_t> bytes);
    static Result<MemorySource> copy_of(std::string_view bytes) {
        return copy_of(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    }

    std::span<const std::uint8_t> bytes() const { return buffer_.span(); }

private:
    AlignedBytes buffer_;
};

using SegmentSource = std::variant<MmapSource, MemorySource>;

// The little-endian u32 at `offset`; `corrupt` "unexpected end of segment" at that offset (no
// file) when offset + 4 passes the end.
Result<std::uint32_t> read_u32(std::span<const std::uint8_t> bytes, std::uint64_t offset);

// ---- string table view ----------------------------------------------------------------------------------

// A raw string table seen in place: `count` strings, (count + 1) u32 offsets into `data`.
struct StringView {
    std::span<const std::uint8_t> offsets;
    std::span<const std::uint8_t> data;
    std::uint32_t count = 0;

    // Checks only that the count and the offsets fit; get() checks the two offsets it reads.
    static Result<StringView> parse(std::span<const std::uint8_t> table);
    // The text of reference `ref`, borrowed from the table.
    Result<std::string_view> get(std::uint32_t ref) const;
    // Nothing for NO_STRING (without touching the table), otherwise get(ref).
    Result<std::optional<std::string_view>> get_opt(std::uint32_t ref) const;

private:
    std::uint32_t offset_at(std::uint32_t index) const {
        std::uint32_t value;
        std::memcpy(&value, offsets.data() + std::size_t{4} * index, 4);
        return value;
    }
};

// ---- typed views ---------------------------------------------------------------------------------------

// The columns of each segment kind, one line per column: name and element type. The typed views
// below, their opening and every reader of stored rows take their columns from these tables; no
// code outside this module looks a column up by its name. (The writers lay the columns out in
// their own stored order, vt_e after the vid columns and only when it is not elided.)
#define VORP_EDGE_SEGMENT_COLUMNS(X) \
    X(vt_s, std::int64_t)            \
    X(vt_e, std::int64_t)            \
    X(src_id, std::uint32_t)         \
    X(dst_id, std::uint32_t)         \
    X(rel_code, std::uint16_t)       \
    X(vid64, std::uint64_t)          \
    X(vid_lo32, std::uint32_t)       \
    X(props_ref, std::uint32_t)      \
    X(disc_ref, std::uint32_t)       \
    X(source_ref, std::uint32_t)     \
    X(prov_ref, std::uint32_t)
#define VORP_NODE_SEGMENT_COLUMNS(X) \
    X(vt_s, std::int64_t)            \
    X(vt_e, std::int64_t)            \
    X(uid_id, std::uint32_t)         \
    X(vid64, std::uint64_t)          \
    X(vid_lo32, std::uint32_t)       \
    X(label_ref, std::uint32_t)      \
    X(props_ref, std::uint32_t)      \
    X(name_ref, std::uint32_t)       \
    X(source_ref, std::uint32_t)     \
    X(prov_ref, std::uint32_t)

struct Segment;

// One column of a typed view. Opened once with the segment: when the column is present, of its
// element type, inside the file and aligned, its values (exactly header.rows of them: open checked
// every column's count) are held here and get() hands them out without another test. Otherwise
// get() returns the error a lookup of the column gives ("segment has no column '{}'", ...), formed
// only when asked for, so a missing optional column costs nothing at open.
template <class T>
    requires is_column_element<T>
class ViewColumn {
public:
    Result<std::span<const T>> get() const;
    bool present() const { return present_; }
    // The values when present, otherwise empty: for columns a reader may do without.
    std::span<const T> values_or_empty() const;
    std::string_view name() const { return name_; }

private:
    friend struct Segment;
    const Segment* segment_ = nullptr;
    std::string_view name_;
    std::span<const T> values_;
    bool present_ = false;
    bool opened_ = false;  // looked up at open (the view of the segment's own kind)
};

// The valid-time ends of a segment's rows: the vt_e column, or vt_s + 1 (wrapping) for every row
// when the writer elided it because every row had that end.
struct ValidEnds {
    std::span<const std::int64_t> vt_s;
    std::span<const std::int64_t> vt_e;  // empty when elided
    bool elided = false;

    std::int64_t at(std::size_t row) const { return elided ? vt_s_plus_one(vt_s[row]) : vt_e[row]; }
};

// The typed view of an edge segment and of a node segment: one member per column of the kind's
// table. A segment holds both, the one of its own kind opened and the other answering every get()
// with the lookup's error (a manifest that lists a segment under the wrong kind is then refused
// with the same text as before).
struct EdgeSegmentView {
#define VORP_VIEW_MEMBER(column_name, type) ViewColumn<type> column_name;
    VORP_EDGE_SEGMENT_COLUMNS(VORP_VIEW_MEMBER)
    bool vt_e_elided = false;
    std::size_t rows = 0;  // the header's row count: the length of every present column

    // vt_s, then vt_e unless elided; the first that cannot be had is the error.
    Result<ValidEnds> valid_ends() const;
};

struct NodeSegmentView {
    VORP_NODE_SEGMENT_COLUMNS(VORP_VIEW_MEMBER)
#undef VORP_VIEW_MEMBER
    bool vt_e_elided = false;
    std::size_t rows = 0;

    Result<ValidEnds> valid_ends() const;
};

// ---- opened segment -------------------------------------------------------------------------------------

// A FOR column decoded at open: rows * width bytes in use of a zero-filled, aligned buffer.
struct DecodedColumn {
    AlignedBytes buffer;
    std::size_t byte_len = 0;

    std::span<const std::uint8_t> bytes() const { return {buffer.data(), byte_len}; }
};

// An opened segment file. Never modified after open; shared read-only through
// std::shared_ptr<const Segment> by any number of threads. Every span, text and view it hands out
// points into `source`, a `decoded` column or `unpacked_strings` and is valid while it lives.
struct Segment {
    SegmentSource source;
    SegmentHeader header;
    std::filesystem::path path;
    // One entry per header column: absent for raw columns, the decoded values for FOR columns.
    std::vector<std::optional<DecodedColumn>> decoded;
    // The raw table inflated from a packed heap; absent when the stored table is raw.
    std::optional<AlignedBytes> unpacked_strings;
    // The string table's view, parsed once by open() (the table's bytes never change afterwards),
    // so that a read that asks for it touches this object rather than the table's first page;
    // absent when the table does not parse, and strings() then parses it again for the error.
    std::optional<StringView> parsed_strings;
    std::uint64_t body_start = 0;
    std::int64_t tt_s_min = INT64_MAX;  // over tt_s_runs; the sentinels when there are none
    std::int64_t tt_s_max = INT64_MIN;
    // Whether tt_s_runs and closed_rows ascend strictly by row, as the writer lays them out.
    // Reads that walk them in step with the rows rely on it; a damaged (resealed) header may not.
    bool tt_s_runs_ascending = true;
    bool closed_rows_ascending = true;
    // The typed views, opened once by open() (which never moves the segment afterwards: the views
    // point back into it).
    EdgeSegmentView edges;
    NodeSegmentView nodes;

    // The valid times of all the rows, as the rows themselves give them (not the header's
    // bounds): the smallest and largest vt_s and the smallest end (ValidEnds::at). A window
    // t_a < min_end, max_start < t_b holds every row, so a count over it needs no per-row test.
    struct ValidSpan {
        std::int64_t min_start = INT64_MAX;
        std::int64_t max_start = INT64_MIN;
        std::int64_t min_end = INT64_MAX;

        bool holds_all(std::int64_t t_a, std::int64_t t_b) const { return t_a < min_end && max_start < t_b; }
    };
    // Computed from `ends` (this segment's) by the first reader that asks, once; later calls
    // return the same span. Its pass over the rows costs about as much as one window count.
    const ValidSpan& valid_span(const ValidEnds& ends) const;
    // Not std::call_once: libstdc++ passes its callable through thread-local storage, which the
    // C library allocates lazily on each worker thread (and ends the process when it cannot).
    struct ValidSpanMemo {
        std::mutex mutex;
        std::atomic<bool> ready{false};
        ValidSpan span;
    };
    std::shared_ptr<ValidSpanMemo> valid_span_memo = std::make_shared<ValidSpanMemo>();

    // Checks the file's frame, header and footer, verifies every checksum when `verify` is set,
    // decodes FOR columns and a packed heap, and checks that every column holds `rows` values.
    // Every failure is `corrupt` with RESTORE_REMEDY and the path; memory for a decoded column
    // that cannot be had throws std::bad_alloc.
    // `expected_rows` is what the caller already knows of the file: its manifest entry's row
    // count. A header claiming another count is refused ("row count disagrees: manifest {} vs
    // segment {}") after the checksums and before anything is decoded: a few bytes of constant
    // FOR streams can claim millions of rows, and decoding sizes its buffers from the header.
    static Result<std::shared_ptr<const Segment>> open(const std::filesystem::path& path, SegmentSource source,
                                                       bool verify,
                                                       std::optional<std::uint32_t> expected_rows = std::nullopt);

    // The body digest, then each extent's CRC-32C, then the string table's.
    Status verify(const SegmentFooter& footer, std::uint64_t footer_start) const;

    // The whole file.
    std::span<const std::uint8_t> file_bytes() const {
        return std::visit([](const auto& s) { return s.bytes(); }, source);
    }
    // The stored bytes of a column's extent ("column '{}' extends past the file").
    Result<std::span<const std::uint8_t>> raw(const ColumnDesc& desc) const;
    // The stored string table ("string table extends past the file").
    Result<std::span<const std::uint8_t>> raw_strings() const;

    // The values of a column as a typed slice, without copying: straight from the file for a raw
    // column, from the buffer decoded at open for a FOR column. T is one of int64_t, uint64_t,
    // uint32_t, uint16_t and must match the column's dtype.
    template <class T>
        requires is_column_element<T>
    Result<std::span<const T>> typed(std::string_view name) const {
        const std::span<const std::uint8_t> bytes = VORP_TRY(typed_bytes(name, dtype_of<T>));
        // The bytes are never written while mapped or after decoding; on a little-endian host the
        // stored values are the host's own (length and alignment were checked by typed_bytes).
        return std::span<const T>(reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T));
    }
    Result<std::span<const std::uint64_t>> u64_column(std::string_view name) const {
        return typed<std::uint64_t>(name);
    }

    // Whether the header lists a vt_e column (whatever vt_e_elided says).
    bool stores_vt_e() const;
    // The segment's string table: the unpacked copy when the stored one was packed.
    Result<StringView> strings() const;
    // The valid-time end of a row: vt_s + 1 when the column was elided, otherwise its vt_e value.
    // A row past the column is refused with `invariant` (never read).
    Result<std::int64_t> vt_e_at(std::size_t row) const;
    // The relationship type of a rel_code read from the segment; `corrupt` when the code is not
    // below the number of rel_types.
    Result<std::string_view> rel_type_of(std::uint16_t rel_code) const;

private:
    // Steps shared by every typed(): find the column, check its dtype, take its bytes, check the
    // length and the alignment against the element width.
    Result<std::span<const std::uint8_t>> typed_bytes(std::string_view name, DType dtype) const;
    // Opens the view of the header's kind and points the other's columns at this segment.
    void open_views();
    template <class T>
    void bind(ViewColumn<T>& column, std::string_view name, bool load) const {
        column.segment_ = this;
        column.name_ = name;
        if (!load) return;
        column.opened_ = true;
        if (Result<std::span<const T>> values = typed<T>(name)) {
            column.values_ = *values;
            column.present_ = true;
        }
    }
};

// The columns every kind has, from the view of `kind` (the kind the caller found the segment
// listed under), for code that reads versions of either kind.
struct VersionColumns {
    const ViewColumn<std::int64_t>& vt_s;
    const ViewColumn<std::int64_t>& vt_e;
    const ViewColumn<std::uint64_t>& vid64;
    const ViewColumn<std::uint32_t>& vid_lo32;
    const ViewColumn<std::uint32_t>& props_ref;
    const ViewColumn<std::uint32_t>& source_ref;
    const ViewColumn<std::uint32_t>& prov_ref;
    bool vt_e_elided;

    Result<ValidEnds> valid_ends() const;
};
inline VersionColumns version_columns(const Segment& segment, RowKind kind) {
    if (kind == RowKind::Edge) {
        const EdgeSegmentView& v = segment.edges;
        return {v.vt_s, v.vt_e, v.vid64, v.vid_lo32, v.props_ref, v.source_ref, v.prov_ref, v.vt_e_elided};
    }
    const NodeSegmentView& v = segment.nodes;
    return {v.vt_s, v.vt_e, v.vid64, v.vid_lo32, v.props_ref, v.source_ref, v.prov_ref, v.vt_e_elided};
}

// The typed view of a segment by view type, for code written once for both kinds.
template <class View>
const View& view_of(const Segment& segment) {
    if constexpr (std::is_same_v<View, EdgeSegmentView>)
        return segment.edges;
    else
        return segment.nodes;
}

template <class T>
    requires is_column_element<T>
Result<std::span<const T>> ViewColumn<T>::get() const {
    if (present_) return values_;
    if (segment_ == nullptr) engine_panic("a view column is read only through the segment that opened it");
    return segment_->typed<T>(name_);
}

template <class T>
    requires is_column_element<T>
std::span<const T> ViewColumn<T>::values_or_empty() const {
    if (present_ || opened_ || segment_ == nullptr) return values_;
    // The other kind's view: its columns were not looked up at open.
    const Result<std::span<const T>> values = segment_->typed<T>(name_);
    return values ? *values : std::span<const T>{};
}

static_assert(std::endian::native == std::endian::little, "segment columns are read in place as little-endian values");

}  // namespace vorp

// "{}" of a DType is its debug form: I64, U64, U32, U16.
template <>
struct fmt::formatter<vorp::DType> : fmt::formatter<std::string_view> {
    template <class FormatContext>
    auto format(vorp::DType dtype, FormatContext& ctx) const {
        return fmt::formatter<std::string_view>::format(vorp::dtype_name(dtype), ctx);
    }
};
