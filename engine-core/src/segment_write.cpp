// The segment writer: rows to columns, a string table and header statistics; then the whole file
// image in one buffer, checksummed, written under a temporary name, synced and renamed into place.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/codec.h"
#include "vorp/derive.h"
#include "vorp/dict.h"
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

template <class Row>
bool every_vt_e_elidable(std::span<const Row> rows) {
    return std::all_of(rows.begin(), rows.end(), [](const Row& row) { return row.vt_e == vt_s_plus_one(row.vt_s); });
}

template <class Row>
SegmentHeader header_for(RowKind kind, std::span<const Row> rows, const SegmentWriteOptions& options, RowStats stats,
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

std::uint32_t intern_optional(StringTable& strings, const std::optional<std::string>& text) {
    return text ? strings.intern(*text) : NO_STRING;
}

// A writer's string table: reference 0 is always the empty text. Most rows bring at least one new
// text (their properties), so a rough size up front saves rehashing.
StringTable new_string_table(std::size_t rows) {
    StringTable strings;
    strings.reserve(std::min<std::size_t>(rows + 1, std::size_t{1} << 22));
    strings.intern("");
    return strings;
}

}  // namespace

Status write_edge_segment(const std::filesystem::path& path, std::span<const EdgeRow> rows,
                          const SegmentWriteOptions& options) {
    VORP_TRY(check_row_count(rows.size()));
    VORP_TRY(check_closed_rows(options));
    StringTable strings = new_string_table(rows.size());
    const bool elided = every_vt_e_elidable(rows);

    const std::size_t n = rows.size();
    std::vector<ColumnBuilder> columns;
    columns.reserve(11);
    columns.emplace_back("vt_s", DType::I64, n);
    columns.emplace_back("src_id", DType::U32, n);
    columns.emplace_back("dst_id", DType::U32, n);
    columns.emplace_back("rel_code", DType::U16, n);
    columns.emplace_back("vid64", DType::U64, n);
    columns.emplace_back("vid_lo32", DType::U32, n);
    if (!elided) columns.emplace_back("vt_e", DType::I64, n);
    const std::size_t refs = columns.size();
    columns.emplace_back("props_ref", DType::U32, n);
    columns.emplace_back("disc_ref", DType::U32, n);
    columns.emplace_back("source_ref", DType::U32, n);
    columns.emplace_back("prov_ref", DType::U32, n);
    ColumnBuilder& vt_s = columns[0];
    ColumnBuilder& src_id = columns[1];
    ColumnBuilder& dst_id = columns[2];
    ColumnBuilder& rel_code = columns[3];
    ColumnBuilder& vid64 = columns[4];
    ColumnBuilder& vid_lo32 = columns[5];
    ColumnBuilder* vt_e = elided ? nullptr : &columns[6];
    ColumnBuilder& props_ref = columns[refs];
    ColumnBuilder& disc_ref = columns[refs + 1];
    ColumnBuilder& source_ref = columns[refs + 2];
    ColumnBuilder& prov_ref = columns[refs + 3];

    // Relationship codes in first-seen order; a hash lookup per row keeps many types cheap.
    StringTable rel_types;
    RowStats stats;
    for (std::size_t r = 0; r < n; ++r) {
        const EdgeRow& row = rows[r];
        std::uint32_t code;
        if (const std::optional<std::uint32_t> found = rel_types.find(row.rel_type)) {
            code = *found;
        } else {
            if (rel_types.size() >= MAX_REL_TYPES)
                return fail(EngineError::capacity("a segment cannot hold more than 65535 distinct rel_types"));
            code = rel_types.intern(row.rel_type);
        }
        vt_s.push(static_cast<std::uint64_t>(row.vt_s));
        src_id.push(row.src_id);
        dst_id.push(row.dst_id);
        rel_code.push(code);
        vid64.push(row.vid.prefix);
        vid_lo32.push(row.vid.suffix);
        if (vt_e != nullptr) vt_e->push(static_cast<std::uint64_t>(row.vt_e));
        props_ref.push(strings.intern(row.props));
        disc_ref.push(strings.intern(row.disc));
        source_ref.push(strings.intern(row.source));
        prov_ref.push(intern_optional(strings, row.prov));
        stats.add(static_cast<std::uint32_t>(r), row.vt_s, row.vt_e, row.tt_s);
    }
    VORP_TRY(check_string_table_capacity(strings));

    SegmentHeader header = header_for(RowKind::Edge, rows, options, std::move(stats), elided, strings);
    header.rel_types = rel_types.texts();
    return write_segment(path, std::move(header), std::move(columns), strings);
}

Status write_node_segment(const std::filesystem::path& path, std::span<const NodeRow> rows,
                          const SegmentWriteOptions& options) {
    VORP_TRY(check_row_count(rows.size()));
    VORP_TRY(check_closed_rows(options));
    StringTable strings = new_string_table(rows.size());
    const bool elided = every_vt_e_elidable(rows);

    const std::size_t n = rows.size();
    std::vector<ColumnBuilder> columns;
    columns.reserve(10);
    columns.emplace_back("vt_s", DType::I64, n);
    columns.emplace_back("uid_id", DType::U32, n);
    columns.emplace_back("vid64", DType::U64, n);
    columns.emplace_back("vid_lo32", DType::U32, n);
    if (!elided) columns.emplace_back("vt_e", DType::I64, n);
    const std::size_t refs = columns.size();
    columns.emplace_back("label_ref", DType::U32, n);
    columns.emplace_back("props_ref", DType::U32, n);
    columns.emplace_back("name_ref", DType::U32, n);
    columns.emplace_back("source_ref", DType::U32, n);
    columns.emplace_back("prov_ref", DType::U32, n);
    ColumnBuilder& vt_s = columns[0];
    ColumnBuilder& uid_id = columns[1];
    ColumnBuilder& vid64 = columns[2];
    ColumnBuilder& vid_lo32 = columns[3];
    ColumnBuilder* vt_e = elided ? nullptr : &columns[4];
    ColumnBuilder& label_ref = columns[refs];
    ColumnBuilder& props_ref = columns[refs + 1];
    ColumnBuilder& name_ref = columns[refs + 2];
    ColumnBuilder& source_ref = columns[refs + 3];
    ColumnBuilder& prov_ref = columns[refs + 4];

    RowStats stats;
    for (std::size_t r = 0; r < n; ++r) {
        const NodeRow& row = rows[r];
        vt_s.push(static_cast<std::uint64_t>(row.vt_s));
        uid_id.push(row.uid_id);
        vid64.push(row.vid.prefix);
        vid_lo32.push(row.vid.suffix);
        if (vt_e != nullptr) vt_e->push(static_cast<std::uint64_t>(row.vt_e));
        label_ref.push(strings.intern(row.label));
        props_ref.push(strings.intern(row.props));
        name_ref.push(intern_optional(strings, name_of(row.props)));
        source_ref.push(strings.intern(row.source));
        prov_ref.push(intern_optional(strings, row.prov));
        stats.add(static_cast<std::uint32_t>(r), row.vt_s, row.vt_e, row.tt_s);
    }
    VORP_TRY(check_string_table_capacity(strings));

    SegmentHeader header = header_for(RowKind::Node, rows, options, std::move(stats), elided, strings);
    return write_segment(path, std::move(header), std::move(columns), strings);
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
