// The segment writer: rows to columns, a string table and header statistics; then the whole file
// image in one buffer, checksummed, written under a temporary name, synced and renamed into place.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <random>
#include <type_traits>

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/codec.h"
#include "vorp/derive.h"
#include "vorp/dict.h"
#include "vorp/durable.h"
#include "vorp/fileio.h"
#include "vorp/json.h"
#include "vorp/segment.h"

namespace vorp {

// ---- StringTable ---------------------------------------------------------------------------------

namespace {

// Texts come from callers' data, so the table is keyed with per-process random SipHash keys: no
// input can be prepared in advance to make every text land in one probe chain. Nothing written to
// a file depends on the keys.
struct TextHashKeys {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

TextHashKeys make_text_hash_keys() {
    TextHashKeys keys;
    try {
        std::random_device device;
        keys.k0 = (std::uint64_t{device()} << 32) ^ device();
        keys.k1 = (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
        // No entropy source: fall back to values that still differ between runs.
        keys.k0 = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        keys.k1 = reinterpret_cast<std::uintptr_t>(&keys) ^ 0x9E3779B97F4A7C15ull;
    }
    return keys;
}

std::uint64_t hash_text(std::string_view text) {
    static const TextHashKeys keys = make_text_hash_keys();
    return sip_hash<1, 3>(keys.k0, keys.k1, text);
}

}  // namespace

std::string_view StringTable::text(std::size_t index) const {
    const std::uint64_t start = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(payload_).substr(start, ends_[index] - start);
}

std::vector<std::string> StringTable::texts() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.emplace_back(text(i));
    return out;
}

// A slot is 0 when empty, otherwise the high 32 bits of the text's hash (compared first, so a probe
// rarely touches the payload of a text that merely shares the slot) and index + 1 in the low 32 bits.
namespace {
constexpr std::uint64_t slot_entry(std::uint64_t hash, std::size_t index) {
    return (hash & 0xFFFFFFFF00000000ull) | (static_cast<std::uint64_t>(index) + 1);
}
constexpr std::size_t slot_index(std::uint64_t entry) { return static_cast<std::size_t>(entry & 0xFFFFFFFFull) - 1; }
}  // namespace

// The slot holding `text`, or the empty slot where it would go. The table is never full: it grows
// before the load passes one half.
std::size_t StringTable::find_slot(std::string_view text, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = hash & 0xFFFFFFFF00000000ull;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t entry = slots_[slot];
        if (entry == 0) return slot;
        if ((entry & 0xFFFFFFFF00000000ull) == tag && this->text(slot_index(entry)) == text) return slot;
    }
}

void StringTable::grow() {
    const std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    // Rehashing walks the payload in order, which is cheaper than keeping every hash.
    for (std::size_t index = 0; index < mapped_; ++index) {
        const std::uint64_t hash = hash_text(text(index));
        std::size_t slot = hash & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = slot_entry(hash, index);
    }
}

void StringTable::reserve(std::size_t texts) {
    std::size_t capacity = 64;
    while (capacity < texts * 2) capacity *= 2;
    if (capacity <= slots_.size()) return;
    slots_.assign(capacity / 2, 0);  // grow() doubles it and re-enters every text
    grow();
    ends_.reserve(texts);
}

std::optional<std::uint32_t> StringTable::find(std::string_view text) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint64_t entry = slots_[find_slot(text, hash_text(text))];
    if (entry == 0) return std::nullopt;
    return static_cast<std::uint32_t>(slot_index(entry));
}

std::uint32_t StringTable::intern(std::string_view text) {
    if ((mapped_ + 1) * 2 > slots_.size()) grow();
    const std::uint64_t hash = hash_text(text);
    const std::size_t slot = find_slot(text, hash);
    if (slots_[slot] != 0) return static_cast<std::uint32_t>(slot_index(slots_[slot]));
    const std::size_t index = ends_.size();
    payload_.append(text);
    ends_.push_back(payload_.size());
    // A slot holds indices below 0xFFFFFFFF. A table that grows past them is refused by
    // check_string_table_capacity before anything is written, so later texts need not be found.
    if (index < 0xFFFFFFFFull) {
        slots_[slot] = slot_entry(hash, index);
        ++mapped_;
    }
    return static_cast<std::uint32_t>(index);
}

std::vector<std::uint8_t> StringTable::raw_table() const {
    const std::size_t count = size();
    std::vector<std::uint8_t> out(4 + 4 * (count + 1) + payload_.size());
    std::uint8_t* at = out.data();
    const auto put_u32 = [&at](std::uint64_t value) {
        const auto v = static_cast<std::uint32_t>(value);
        std::memcpy(at, &v, 4);
        at += 4;
    };
    put_u32(count);
    put_u32(0);
    for (const std::uint64_t end : ends_) put_u32(end);
    if (!payload_.empty()) std::memcpy(at, payload_.data(), payload_.size());
    return out;
}

Status check_string_table_capacity(const StringTable& table) {
    if (table.size() > std::uint64_t{0xFFFFFFFE})
        return fail(EngineError::capacity(
            fmt::format("a segment cannot hold more than {} distinct strings", std::uint64_t{0xFFFFFFFE})));
    if (table.payload_bytes() > std::uint64_t{0xFFFFFFFF})
        return fail(EngineError::capacity(
            fmt::format("a segment's strings cannot exceed {} bytes in total", std::uint64_t{0xFFFFFFFF})));
    return ok();
}

ColumnBuilder::ColumnBuilder(std::string_view column_name, DType column_dtype, std::size_t rows)
    : name(column_name), dtype(column_dtype), bytes(rows * dtype_width(column_dtype)) {}

// ---- name_of -------------------------------------------------------------------------------------

std::optional<std::string> name_of(std::string_view props) {
    // Most properties have no name: skip the parse unless the quoted word occurs at all.
    if (props.find("\"name\"") == std::string_view::npos) return std::nullopt;
    return json_top_level_string_member(props, "name");
}

// ---- row writers ---------------------------------------------------------------------------------

namespace {

Status check_row_count(std::size_t rows) {
    if (rows == 0) return fail(EngineError::invariant("refusing to write an empty segment"));
    if (rows > std::uint64_t{0xFFFFFFFF})
        return fail(EngineError::capacity(
            fmt::format("a segment cannot hold more than {} rows", std::uint64_t{0xFFFFFFFF})));
    return ok();
}

// Readers binary-search closed_rows by row, so a list out of order, or naming a row twice, would
// make closed versions read as believed. The seal passes it sorted; anything else is a bug.
Status check_closed_rows(const SegmentWriteOptions& options) {
    const auto& closed = options.closed_rows;
    for (std::size_t close_idx = 1; close_idx < closed.size(); ++close_idx) {
        if (closed[close_idx].first <= closed[close_idx - 1].first)
            return fail(EngineError::invariant(fmt::format("closed_rows must ascend strictly by row: row {} follows row {}",
                                                           closed[close_idx].first, closed[close_idx - 1].first)));
    }
    return ok();
}

// Header statistics folded row by row.
struct RowStats {
    std::int64_t vt_min = INT64_MAX;
    std::int64_t vt_max = INT64_MIN;
    std::int64_t vt_e_max = INT64_MIN;
    std::vector<std::pair<std::uint32_t, std::int64_t>> tt_s_runs;

    void add(std::uint32_t row, std::int64_t vt_s, std::int64_t vt_e, std::int64_t tt_s) {
        if (tt_s_runs.empty() || tt_s_runs.back().second != tt_s) tt_s_runs.emplace_back(row, tt_s);
        vt_min = std::min(vt_min, vt_s);
        vt_max = std::max(vt_max, vt_s);
        vt_e_max = std::max(vt_e_max, vt_e);
    }
};

// The rows of one segment in write order, named by pointer: the seal hands each segment's rows
// over where they lie, and rows of the other lane may sit between them.
template <class Row>
struct RowPointers {
    std::span<const Row* const> rows;
    std::size_t size() const { return rows.size(); }
    const Row& operator[](std::size_t r) const { return *rows[r]; }
    const Row& front() const { return *rows.front(); }
    const Row& back() const { return *rows.back(); }
};

// Both writers read their rows through `Rows`: a span of rows or RowPointers (size, [r], front,
// back), so either form writes the same bytes.
template <class Rows>
bool every_vt_e_elidable(const Rows& rows) {
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (rows[r].vt_e != vt_s_plus_one(rows[r].vt_s)) return false;
    return true;
}

template <class Rows>
SegmentHeader header_for(RowKind kind, const Rows& rows, const SegmentWriteOptions& options, RowStats stats,
                         bool elided, const StringTable& strings) {
    SegmentHeader header;
    header.format = SEGMENT_FORMAT;
    header.kind = kind;
    header.lane = options.lane;
    header.rows = static_cast<std::uint32_t>(rows.size());
    header.block_rows = options.block_rows;
    header.key_lo = {rows.front().vt_s, rows.front().vid.to_hex()};
    header.key_hi = {rows.back().vt_s, rows.back().vid.to_hex()};
    header.vt_min = stats.vt_min;
    header.vt_max = stats.vt_max;
    header.vt_e_max = stats.vt_e_max;
    header.tt_s_runs = std::move(stats.tt_s_runs);
    header.vt_e_elided = elided;
    header.strings_count = static_cast<std::uint32_t>(strings.size());
    header.closed_rows = options.closed_rows;
    return header;
}

// Reference 0 is the empty text in every writer's table (new_string_table enters it first), so
// the common empty text needs no lookup.
std::uint32_t intern_text(StringTable& strings, std::string_view text) {
    return text.empty() ? 0 : strings.intern(text);
}

std::uint32_t intern_optional(StringTable& strings, const std::optional<std::string>& text) {
    return text ? intern_text(strings, *text) : NO_STRING;
}

// A writer's string table: reference 0 is always the empty text. Most rows bring at least one new
// text (their properties), so a rough size up front saves rehashing.
StringTable new_string_table(std::size_t rows) {
    StringTable strings;
    strings.reserve(std::min<std::size_t>(rows + 1, std::size_t{1} << 22));
    strings.intern("");
    return strings;
}

// Rows come in key order but their texts were allocated in staging order, so each row's longer
// texts lie anywhere in memory: they are requested this many rows before they are interned.
constexpr std::size_t TEXT_AHEAD = 8;
void prefetch_texts(const std::string& a, const std::string& b) {
    __builtin_prefetch(a.data());
    __builtin_prefetch(b.data());
}

// Stores value r of a column whose builder was sized for every row; `T` has the column's width.
// The writers fill each column completely and then set its count once.
template <class T>
void put(ColumnBuilder& column, std::size_t r, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(column.bytes.data() + r * sizeof(T), &value, sizeof(T));  // little-endian host
}

void mark_filled(std::vector<ColumnBuilder>& columns, std::size_t rows) {
    for (ColumnBuilder& column : columns) column.count = rows;
}

// A direct-mapped memory of texts already entered in a table, keyed by a cheap unkeyed hash: a
// column that repeats a few texts (types, sources, labels, provenance) then skips the table's keyed
// hash and probe. The table stays the authority: a text that collides merely misses here, so no
// input can do worse than going to the table every time. Remembered texts point into the rows
// being written, which outlive the writer's loop (the table's own copies move as it grows).
class TextMemo {
public:
    const std::uint32_t* find(std::string_view text) {
        Entry& entry = entries_[slot_of(text)];
        return entry.filled && entry.text == text ? &entry.ref : nullptr;
    }
    void remember(std::string_view text, std::uint32_t ref) { entries_[slot_of(text)] = {text, ref, true}; }

private:
    static constexpr std::size_t SLOTS = 256;
    struct Entry {
        std::string_view text;
        std::uint32_t ref = 0;
        bool filled = false;
    };
    static std::size_t slot_of(std::string_view text) {
        std::uint64_t hash = text.size() * 0x9E3779B97F4A7C15ull;
        std::size_t at = 0;
        for (; at + 8 <= text.size(); at += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, 8);
            hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
            hash ^= hash >> 32;
        }
        std::uint64_t tail = 0;
        std::memcpy(&tail, text.data() + at, text.size() - at);
        hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ull;
        return static_cast<std::size_t>(hash >> 56) & (SLOTS - 1);
    }
    std::array<Entry, SLOTS> entries_{};
};

// The reference of `text` in `strings` through a column's memo.
std::uint32_t intern_repeated(StringTable& strings, TextMemo& memo, std::string_view text) {
    if (text.empty()) return 0;
    if (const std::uint32_t* ref = memo.find(text)) return *ref;
    const std::uint32_t ref = strings.intern(text);
    memo.remember(text, ref);
    return ref;
}

std::uint32_t intern_repeated_optional(StringTable& strings, TextMemo& memo, const std::optional<std::string>& text) {
    return text ? intern_repeated(strings, memo, std::string_view(*text)) : NO_STRING;
}

// Relationship codes in first-seen order.
class RelCodes {
public:
    // The code of `name`, entering it when new; nothing when it would be the 65536th type.
    std::optional<std::uint32_t> code_of(std::string_view name) {
        if (const std::uint32_t* code = memo_.find(name)) return *code;
        std::uint32_t code;
        if (const std::optional<std::uint32_t> found = table_.find(name)) {
            code = *found;
        } else {
            if (table_.size() >= MAX_REL_TYPES) return std::nullopt;
            code = table_.intern(name);
        }
        memo_.remember(name, code);
        return code;
    }
    std::vector<std::string> texts() const { return table_.texts(); }

private:
    StringTable table_;
    TextMemo memo_;
};

// What differs between the two kinds of segment: the columns in stored order (vt_e after the
// ids and only when not elided, the string references last) and how one row fills them. Texts are
// interned in the order of the reference columns, which fixes the string table's order.
class EdgeLayout {
public:
    using Row = EdgeRow;
    static constexpr RowKind kind = RowKind::Edge;

    EdgeLayout(std::size_t n, bool elided) {
        columns.reserve(11);
        columns.emplace_back("vt_s", DType::I64, n);
        columns.emplace_back("src_id", DType::U32, n);
        columns.emplace_back("dst_id", DType::U32, n);
        columns.emplace_back("rel_code", DType::U16, n);
        columns.emplace_back("vid64", DType::U64, n);
        columns.emplace_back("vid_lo32", DType::U32, n);
        if (!elided) columns.emplace_back("vt_e", DType::I64, n);
        refs_ = columns.size();
        columns.emplace_back("props_ref", DType::U32, n);
        columns.emplace_back("disc_ref", DType::U32, n);
        columns.emplace_back("source_ref", DType::U32, n);
        columns.emplace_back("prov_ref", DType::U32, n);
        elided_ = elided;
    }
    static void prefetch(const Row& row) { prefetch_texts(row.props, row.source); }
    Status put_row(std::size_t r, const Row& row, StringTable& strings) {
        const std::optional<std::uint32_t> code = rel_types_.code_of(row.rel_type);
        if (!code) return fail(EngineError::capacity("a segment cannot hold more than 65535 distinct rel_types"));
        put(columns[0], r, row.vt_s);
        put(columns[1], r, row.src_id);
        put(columns[2], r, row.dst_id);
        put(columns[3], r, static_cast<std::uint16_t>(*code));
        put(columns[4], r, row.vid.prefix);
        put(columns[5], r, row.vid.suffix);
        if (!elided_) put(columns[6], r, row.vt_e);
        put(columns[refs_], r, intern_text(strings, row.props));
        put(columns[refs_ + 1], r, intern_repeated(strings, disc_memo_, row.disc));
        put(columns[refs_ + 2], r, intern_repeated(strings, source_memo_, row.source));
        put(columns[refs_ + 3], r, intern_repeated_optional(strings, prov_memo_, row.prov));
        return ok();
    }
    void finish(SegmentHeader& header) const { header.rel_types = rel_types_.texts(); }

    std::vector<ColumnBuilder> columns;

private:
    std::size_t refs_ = 0;
    bool elided_ = false;
    RelCodes rel_types_;
    TextMemo disc_memo_, source_memo_, prov_memo_;
};

class NodeLayout {
public:
    using Row = NodeRow;
    static constexpr RowKind kind = RowKind::Node;

    NodeLayout(std::size_t n, bool elided) {
        columns.reserve(10);
        columns.emplace_back("vt_s", DType::I64, n);
        columns.emplace_back("uid_id", DType::U32, n);
        columns.emplace_back("vid64", DType::U64, n);
        columns.emplace_back("vid_lo32", DType::U32, n);
        if (!elided) columns.emplace_back("vt_e", DType::I64, n);
        refs_ = columns.size();
        columns.emplace_back("label_ref", DType::U32, n);
        columns.emplace_back("props_ref", DType::U32, n);
        columns.emplace_back("name_ref", DType::U32, n);
        columns.emplace_back("source_ref", DType::U32, n);
        columns.emplace_back("prov_ref", DType::U32, n);
        elided_ = elided;
    }
    static void prefetch(const Row& row) { prefetch_texts(row.props, row.label); }
    Status put_row(std::size_t r, const Row& row, StringTable& strings) {
        put(columns[0], r, row.vt_s);
        put(columns[1], r, row.uid_id);
        put(columns[2], r, row.vid.prefix);
        put(columns[3], r, row.vid.suffix);
        if (!elided_) put(columns[4], r, row.vt_e);
        put(columns[refs_], r, intern_repeated(strings, label_memo_, row.label));
        put(columns[refs_ + 1], r, intern_text(strings, row.props));
        put(columns[refs_ + 2], r, intern_optional(strings, name_of(row.props)));
        put(columns[refs_ + 3], r, intern_repeated(strings, source_memo_, row.source));
        put(columns[refs_ + 4], r, intern_repeated_optional(strings, prov_memo_, row.prov));
        return ok();
    }
    void finish(SegmentHeader&) const {}

    std::vector<ColumnBuilder> columns;

private:
    std::size_t refs_ = 0;
    bool elided_ = false;
    TextMemo label_memo_, source_memo_, prov_memo_;
};

// One writer for both kinds over their layouts.
template <class Layout, class Rows>
Status write_rows(const std::filesystem::path& path, const Rows& rows, const SegmentWriteOptions& options) {
    VORP_TRY(check_row_count(rows.size()));
    VORP_TRY(check_closed_rows(options));
    StringTable strings = new_string_table(rows.size());
    const bool elided = every_vt_e_elidable(rows);
    const std::size_t n = rows.size();
    Layout layout(n, elided);
    RowStats stats;
    for (std::size_t r = 0; r < n; ++r) {
        if (r + TEXT_AHEAD < n) Layout::prefetch(rows[r + TEXT_AHEAD]);
        const typename Layout::Row& row = rows[r];
        VORP_TRY(layout.put_row(r, row, strings));
        stats.add(static_cast<std::uint32_t>(r), row.vt_s, row.vt_e, row.tt_s);
    }
    mark_filled(layout.columns, n);
    VORP_TRY(check_string_table_capacity(strings));

    SegmentHeader header = header_for(Layout::kind, rows, options, std::move(stats), elided, strings);
    layout.finish(header);
    return write_segment(path, std::move(header), std::move(layout.columns), strings);
}

}  // namespace

Status write_edge_segment(const std::filesystem::path& path, std::span<const EdgeRow> rows,
                          const SegmentWriteOptions& options) {
    return write_rows<EdgeLayout>(path, rows, options);
}

Status write_node_segment(const std::filesystem::path& path, std::span<const NodeRow> rows,
                          const SegmentWriteOptions& options) {
    return write_rows<NodeLayout>(path, rows, options);
}

Status write_edge_segment(const std::filesystem::path& path, std::span<const EdgeRow* const> rows,
                          const SegmentWriteOptions& options) {
    return write_rows<EdgeLayout>(path, RowPointers<EdgeRow>{rows}, options);
}

Status write_node_segment(const std::filesystem::path& path, std::span<const NodeRow* const> rows,
                          const SegmentWriteOptions& options) {
    return write_rows<NodeLayout>(path, RowPointers<NodeRow>{rows}, options);
}

// ---- layout and durable write --------------------------------------------------------------------

namespace {

void append_u32(std::string& out, std::uint32_t value) {
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(bytes, 4);
}

void pad_to_64(std::string& out, std::uint64_t origin) {
    const std::uint64_t used = out.size() - origin;
    out.append(align_up_64(used) - used, '\0');
}

std::string_view as_chars(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

Status write_segment(const std::filesystem::path& path, SegmentHeader header, std::vector<ColumnBuilder> columns,
                     const StringTable& strings) {
    // 1-2. Encode every column; keep the FOR stream only when it saves more than 8 bytes. A column
    // of more values than a reader accepts in one FOR stream stays raw, so that no file is written
    // that its own reader would refuse.
    std::vector<std::vector<std::uint8_t>> streams(columns.size());
    header.columns.clear();
    header.columns.reserve(columns.size());
    std::uint64_t running = 0;
    for (std::size_t column_idx = 0; column_idx < columns.size(); ++column_idx) {
        const ColumnBuilder& column = columns[column_idx];
        const unsigned width = dtype_width(column.dtype);
        const std::span<const std::uint8_t> raw(column.bytes.data(), column.count * width);
        ColumnDesc desc{std::string(column.name), column.dtype, running, raw.size(), CODEC_RAW};
        if (column.count <= FOR_MAX_VALUES) {
            std::vector<std::uint8_t> stream = encode_le(raw, width);
            if (stream.size() + 8 < raw.size()) {
                desc.bytes = stream.size();
                desc.codec = CODEC_FOR;
                streams[column_idx] = std::move(stream);
            }
        }
        running += align_up_64(desc.bytes);
        header.columns.push_back(std::move(desc));
    }
    header.strings_offset = running;

    // 3. The string table: packed only when that saves more than 8 bytes.
    std::vector<std::uint8_t> table = strings.raw_table();
    if (std::optional<std::vector<std::uint8_t>> packed = pack_heap(table); packed && packed->size() + 8 < table.size())
        table = std::move(*packed);
    header.strings_bytes = table.size();

    // 4-5. One buffer for the whole file, sized so that the footer normally fits without growing.
    const std::string header_json = segment_header_json(header);
    // header_len is a u32 field (only thousands of huge rel_types could get near it).
    if (header_json.size() > std::uint64_t{0xFFFFFFFF})
        return fail(EngineError::capacity(
            fmt::format("a segment header cannot exceed {} bytes", std::uint64_t{0xFFFFFFFF})));
    const std::uint64_t body_start = segment_body_start(header_json.size());
    std::string image;
    image.reserve(body_start + header.strings_offset + header.strings_bytes + 512);
    append_u32(image, SEGMENT_HEAD_MAGIC);
    append_u32(image, SEGMENT_FORMAT);
    append_u32(image, static_cast<std::uint32_t>(header_json.size()));
    image.append(header_json);
    image.append(body_start - image.size(), '\0');

    SegmentFooter footer;
    footer.extent_crcs.reserve(columns.size());
    for (std::size_t column_idx = 0; column_idx < columns.size(); ++column_idx) {
        const ColumnDesc& desc = header.columns[column_idx];
        const std::string_view stored =
            desc.codec == CODEC_FOR ? as_chars(streams[column_idx]) : as_chars({columns[column_idx].bytes.data(), desc.bytes});
        footer.extent_crcs.push_back(crc32c(stored));
        image.append(stored);
        pad_to_64(image, body_start);
    }
    footer.strings_crc = crc32c(as_chars(table));
    image.append(as_chars(table));

    // 6-7. Body digest over everything so far, then the footer and the trailer.
    footer.body_sha = sha256_hex_bytes(image).substr(0, 16);
    footer.rows = header.rows;
    const std::string footer_json = segment_footer_json(footer);
    image.append(footer_json);
    append_u32(image, static_cast<std::uint32_t>(footer_json.size()));
    append_u32(image, SEGMENT_TAIL_MAGIC);

    // 8-14. Parent directories, temporary file, full sync, rename (the directory is not synced
    // here; the store syncs seg/ once per commit after its last rename).
    std::filesystem::path tmp_path = path;
    tmp_path.replace_extension("vos.tmp");
    return write_via_temp(path, tmp_path, image);
}

}  // namespace vorp
