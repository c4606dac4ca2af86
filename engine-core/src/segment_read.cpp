// The segment reader: byte sources (memory map, in-memory copy), the ordered checks of open, the
// optional checksum verification, decoding of FOR columns and a packed string heap once per open,
// and the zero-copy column, string and row access over an opened segment.
#include <algorithm>
#include <sanitizer/asan_interface.h>  // poisoning macros; no-ops without AddressSanitizer
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <exception>
#include <fcntl.h>
#include <new>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/codec.h"
#include "vorp/column.h"
#include "vorp/derive.h"
#include "vorp/fileio.h"
#include "vorp/json.h"
#include "vorp/segment.h"
#include "vorp/text.h"

namespace vorp {

namespace {

// Large buffers are page-aligned: the kernel copies file pages into them and the decoders stream
// into them markedly faster than into merely cache-line-aligned memory. The alignment follows from
// the size alone, so the release can recompute it.
constexpr std::size_t PAGE_ALIGNED_FROM = 64 * 1024;
std::align_val_t buffer_alignment(std::size_t size) {
    return size >= PAGE_ALIGNED_FROM ? std::align_val_t{4096} : std::align_val_t{64};
}

// Buffers from 4 MiB up are mapped directly in whole 2 MiB-aligned huge pages: a freshly
// allocated buffer is filled at one page fault per 2 MiB rather than per 4 KiB, which on a cold
// open costs several times the decoding itself. Under AddressSanitizer every buffer comes from
// the instrumented allocator instead, so that reads past its end are still caught.
using large_buffers::ADDRESS_SANITIZER;
constexpr std::size_t MAPPED_FROM = 4 * 1024 * 1024;
bool is_mapped(std::size_t size) { return !ADDRESS_SANITIZER && size >= MAPPED_FROM; }

void release_mapping(std::uint8_t* data, std::size_t len) noexcept { ::munmap(data, len); }

std::uint32_t load_u32(const std::uint8_t* at) {
    std::uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

std::string_view as_chars(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Most stored texts are plain ASCII, which is valid UTF-8: test eight bytes at a time and leave
// the full validation (and its error text) to the rest.
bool is_ascii(std::string_view text) {
    const char* at = text.data();
    std::size_t left = text.size();
    std::uint64_t seen = 0;
    for (; left >= 8; at += 8, left -= 8) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        seen |= word;
    }
    for (; left > 0; ++at, --left) seen |= static_cast<unsigned char>(*at);
    return (seen & 0x8080808080808080ull) == 0;
}

}  // namespace

// ---- AlignedBytes --------------------------------------------------------------------------------

Result<AlignedBytes> AlignedBytes::uninitialized(std::size_t size) {
    AlignedBytes out;
    if (size == 0) return out;
    if (is_mapped(size)) {
        // No buffer is kept back for reuse after release: memory the engine holds outside the
        // segment cache's budget would surprise the process that embeds it.
        out.data_ = static_cast<std::uint8_t*>(large_buffers::map_huge_pages(size));
        out.mapped_ = large_buffers::huge_page_len(size);
    } else {
        out.data_ = static_cast<std::uint8_t*>(::operator new(size, buffer_alignment(size), std::nothrow));
    }
    if (out.data_ == nullptr) throw std::bad_alloc();
    out.size_ = size;
    return out;
}

Result<AlignedBytes> AlignedBytes::zeroed(std::size_t size) {
    AlignedBytes out = VORP_TRY(uninitialized(size));
    if (size != 0) std::memset(out.data_, 0, size);
    return out;
}

AlignedBytes AlignedBytes::part_of(std::shared_ptr<const void> owner, std::uint8_t* data, std::size_t size) {
    AlignedBytes out;
    out.data_ = data;
    out.size_ = size;
    out.owner_ = std::move(owner);
    return out;
}

void AlignedBytes::release() noexcept {
    if (owner_) {
        owner_.reset();
    } else if (data_ != nullptr) {
        if (mapped_ != 0)
            release_mapping(data_, mapped_);
        else
            ::operator delete(data_, buffer_alignment(size_));
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = 0;
}

AlignedBytes& AlignedBytes::operator=(AlignedBytes&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
        owner_ = std::move(other.owner_);
    }
    return *this;
}

AlignedBytes::~AlignedBytes() { release(); }

// ---- byte sources --------------------------------------------------------------------------------

MmapSource& MmapSource::operator=(MmapSource&& other) noexcept {
    if (this != &other) {
        if (base_ != nullptr) ::munmap(base_, map_len_);
        base_ = std::exchange(other.base_, nullptr);
        map_len_ = std::exchange(other.map_len_, 0);
        len_ = std::exchange(other.len_, 0);
    }
    return *this;
}

MmapSource::~MmapSource() {
    if (base_ != nullptr) ::munmap(base_, map_len_);
}

Result<MmapSource> MmapSource::load(const std::filesystem::path& path) {
    // The descriptor is closed when `fd` goes out of scope, whether or not the map was made.
    const Fd fd = VORP_TRY_FILE(path, open_file(path, O_RDONLY));
    const std::uint64_t size = VORP_TRY_FILE(path, file_size(fd.get()));
    if (size > static_cast<std::uint64_t>(INT64_MAX) || size > SIZE_MAX)
        return fail(EngineError::io("memory map length overflows isize").at_file(path));
    // A zero-length mapping is refused; map one byte and report length 0 (it is never read).
    const std::size_t map_len = size == 0 ? 1 : static_cast<std::size_t>(size);
    void* base = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) {
        // No address space (or no mapping) to be had is the process's shortage, not the file's:
        // it leaves as an allocation failure, as a buffer that cannot be had does.
        if (errno == ENOMEM) throw std::bad_alloc();
        return fail(EngineError::from_errno(errno).at_file(path));
    }
    MmapSource source;
    source.base_ = base;
    source.map_len_ = map_len;
    source.len_ = static_cast<std::size_t>(size);
    return source;
}

const Segment::ValidSpan& Segment::valid_span(const ValidEnds& ends) const {
    ValidSpanMemo& memo = *valid_span_memo;
    if (memo.ready.load(std::memory_order_acquire)) return memo.span;
    const std::lock_guard lock(memo.mutex);
    if (!memo.ready.load(std::memory_order_relaxed)) {
        ValidSpan span;
        const std::size_t n = ends.elided ? ends.vt_s.size() : std::min(ends.vt_s.size(), ends.vt_e.size());
        for (std::size_t row = 0; row < n; ++row) {
            span.min_start = std::min(span.min_start, ends.vt_s[row]);
            span.max_start = std::max(span.max_start, ends.vt_s[row]);
            span.min_end = std::min(span.min_end, ends.at(row));
        }
        memo.span = span;
        memo.ready.store(true, std::memory_order_release);
    }
    return memo.span;
}

Result<MemorySource> MemorySource::load(const std::filesystem::path& path) {
    const Fd fd = VORP_TRY_FILE(path, open_file(path, O_RDONLY));
    const std::uint64_t size = VORP_TRY_FILE(path, file_size(fd.get()));
    if (size > SIZE_MAX) return fail(EngineError::capacity(fmt::format("cannot allocate {} bytes", size)).at_file(path));
    MemorySource source;
    source.buffer_ = VORP_TRY_FILE(path, AlignedBytes::uninitialized(static_cast<std::size_t>(size)));
    VORP_TRY_FILE(path, pread_exact(fd.get(), source.buffer_.data(), source.buffer_.size(), 0));
    return source;
}

Result<MemorySource> MemorySource::copy_of(std::span<const std::uint8_t> bytes) {
    MemorySource source;
    source.buffer_ = VORP_TRY(AlignedBytes::uninitialized(bytes.size()));
    if (!bytes.empty()) std::memcpy(source.buffer_.data(), bytes.data(), bytes.size());
    return source;
}

Result<std::uint32_t> read_u32(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4)
        return fail(EngineError::corrupt("unexpected end of segment").at_offset(offset));
    return load_u32(bytes.data() + offset);
}

namespace {

// The first 16 lowercase hex digits of the SHA-256 of the file before the footer.
std::string body_sha16(std::span<const std::uint8_t> file, std::uint64_t footer_start) {
    return sha256_hex_bytes(as_chars(file.first(static_cast<std::size_t>(footer_start)))).substr(0, 16);
}

// Exactly the 16 lowercase digits: a full digest or upper-case digits are a mismatch.
Status check_body_sha(const Segment& segment, const SegmentFooter& footer, const std::string& computed) {
    if (footer.body_sha != computed)
        return fail(EngineError::corrupt(fmt::format("segment body checksum mismatch: computed {}, recorded {}", computed,
                                                     footer.body_sha))
                        .at_file(segment.path));
    return ok();
}

// Each extent's CRC-32C, then the string table's.
Status check_crcs(const Segment& segment, const SegmentFooter& footer) {
    for (std::size_t column_idx = 0; column_idx < segment.header.columns.size(); ++column_idx) {
        const ColumnDesc& desc = segment.header.columns[column_idx];
        const std::span<const std::uint8_t> extent = VORP_TRY(segment.raw(desc));
        const std::uint32_t computed_crc = crc32c(extent.data(), extent.size());
        const std::uint32_t recorded_crc = footer.extent_crcs[column_idx];
        if (computed_crc != recorded_crc)
            return fail(EngineError::corrupt(fmt::format("column '{}' failed its checksum (computed {:#x}, recorded {:#x})",
                                                         desc.name, computed_crc, recorded_crc))
                            .at_file(segment.path));
    }
    const std::span<const std::uint8_t> table = VORP_TRY(segment.raw_strings());
    if (crc32c(table.data(), table.size()) != footer.strings_crc)
        return fail(EngineError::corrupt("segment string table failed its checksum").at_file(segment.path));
    return ok();
}

// The checks verify() makes before any digest: the footer's place and its checksum count.
Status check_footer_shape(const Segment& segment, const SegmentFooter& footer, std::uint64_t footer_start) {
    if (footer_start > segment.file_bytes().size())
        return fail(EngineError::corrupt("segment footer length is impossible").at_file(segment.path));
    if (footer.extent_crcs.size() != segment.header.columns.size())
        return fail(EngineError::corrupt("footer checksum count does not match the column count").at_file(segment.path));
    return ok();
}

}  // namespace

namespace {

// Large files have their body digest computed on a second thread while the rest of open runs.
constexpr std::size_t PARALLEL_DIGEST_FROM = 4 * 1024 * 1024;

// 13: columns. Every column must hold exactly `rows` values: readers walk rows 0..rows-1 over
// every column, so a short column would otherwise be read past its end.
// 14: a packed heap is inflated once; a raw table (or anything too short to be a heap) is read in
// place by strings().
// Every check comes first, in column order and then the string table's; then the decoded columns
// and the unpacked table are given one allocation between them (one run of huge pages for a
// large segment), and are decoded into it, which can no longer fail.
// The header's rows and strings_count are compared with what the caller knows (the manifest
// entry) and with the heap before either sizes anything.
Status decode_columns(Segment& segment, std::optional<std::uint32_t> expected_rows) {
    const std::filesystem::path& path = segment.path;
    const auto corrupt = [&path](std::string message) {
        return fail(EngineError::corrupt(std::move(message)).at_file(path));
    };
    const std::uint64_t rows = segment.header.rows;
    if (expected_rows && rows != *expected_rows) return fail(segment_rows_disagree(path, *expected_rows, rows));

    // Under AddressSanitizer the parts are kept apart by poisoned gaps, so that a read past one
    // is still caught rather than landing in the next.
    constexpr std::size_t GAP = ADDRESS_SANITIZER ? 64 : 0;
    std::size_t total = 0;
    const auto place = [&total](std::size_t len) {
        // Large parts start on a page, as a buffer of their own would.
        if (len >= PAGE_ALIGNED_FROM) total = (total + 4095) & ~std::size_t{4095};
        const std::size_t offset = total;
        total += static_cast<std::size_t>(align_up_64(len)) + GAP;
        return offset;
    };
    struct Decode {
        std::span<const std::uint8_t> stream;
        unsigned width = 0;
        std::size_t byte_len = 0;
        std::size_t offset = 0;
    };
    std::vector<std::optional<Decode>> plan;
    plan.reserve(segment.header.columns.size());
    for (const ColumnDesc& desc : segment.header.columns) {
        const unsigned width = dtype_width(desc.dtype);
        switch (desc.codec) {
            case CODEC_RAW: {
                if (desc.bytes % width != 0)
                    return corrupt(
                        fmt::format("column '{}' length {} is not a multiple of {}", desc.name, desc.bytes, width));
                if (desc.bytes / width != rows)
                    return corrupt(fmt::format("column '{}' holds {} values but the segment has {} rows", desc.name,
                                               desc.bytes / width, rows));
                plan.emplace_back(std::nullopt);
                break;
            }
            case CODEC_FOR: {
                const std::span<const std::uint8_t> stream = VORP_TRY(segment.raw(desc));
                // Refuse a stream whose count its bytes cannot back before sizing a buffer from it.
                VORP_TRY_FILE(path, check_for_stream(stream, rows));
                const std::size_t byte_len = static_cast<std::size_t>(rows) * width;
                plan.emplace_back(Decode{stream, width, byte_len, place(byte_len)});
                break;
            }
            default:
                return corrupt(fmt::format("column '{}' uses codec {} which this build cannot decode", desc.name,
                                           desc.codec));
        }
    }
    const std::span<const std::uint8_t> table = VORP_TRY(segment.raw_strings());
    std::optional<PackedHeapShape> heap;
    std::size_t heap_offset = 0;
    if (table.size() >= 4 && load_u32(table.data()) == PACKED_HEAP_MARKER) {
        heap = VORP_TRY_FILE(path, packed_heap_shape(table, segment.header.strings_count));
        heap_offset = place(heap->table_len);
    }

    std::shared_ptr<AlignedBytes> arena;
    if (total != 0) {
        arena = std::make_shared<AlignedBytes>(VORP_TRY_FILE(path, AlignedBytes::uninitialized(total)));
        ASAN_POISON_MEMORY_REGION(arena->data(), arena->size());
    }
    // `len` bytes of the arena at `offset`; the caller writes all of them.
    const auto part = [&arena](std::size_t offset, std::size_t len) {
        if (len == 0) return AlignedBytes{};  // as an empty buffer of its own: no memory at all
        ASAN_UNPOISON_MEMORY_REGION(arena->data() + offset, len);
        return AlignedBytes::part_of(arena, arena->data() + offset, len);
    };

    segment.decoded.reserve(plan.size());
    for (const std::optional<Decode>& decode : plan) {
        if (!decode) {
            segment.decoded.emplace_back(std::nullopt);
            continue;
        }
        DecodedColumn column{part(decode->offset, static_cast<std::size_t>(align_up_64(decode->byte_len))), decode->byte_len};
        // Only the padding after the values needs clearing; the decoder writes the rest.
        if (column.buffer.size() > decode->byte_len)
            std::memset(column.buffer.data() + decode->byte_len, 0, column.buffer.size() - decode->byte_len);
        VORP_TRY_FILE(path, decode_le_into(decode->stream, rows, decode->width, {column.buffer.data(), decode->byte_len}));
        segment.decoded.emplace_back(std::move(column));
    }
    if (heap) {
        AlignedBytes unpacked = part(heap_offset, heap->table_len);
        VORP_TRY_FILE(path, unpack_heap_into(table, *heap, {unpacked.data(), unpacked.size()}));
        segment.unpacked_strings = std::move(unpacked);
    }
    return ok();
}

}  // namespace

// ---- open ----------------------------------------------------------------------------------------

namespace {

// What steps 1-10 of open read: the parsed header and footer and where they lie.
struct SegmentFrame {
    SegmentHeader header;
    SegmentFooter footer;
    std::uint64_t header_len = 0;
    std::uint64_t footer_start = 0;
};

Result<SegmentFrame> read_frame(const std::filesystem::path& path, std::span<const std::uint8_t> file) {
    const auto corrupt = [&path](std::string message) {
        return fail(EngineError::corrupt(std::move(message)).at_file(path));
    };
    const std::uint64_t len = file.size();

    // 1-4: the frame. The marker is checked before the format so that a file cut short while it
    // was written is reported as such whatever its first bytes claim.
    if (len < SEGMENT_MIN_FILE_LEN || load_u32(file.data()) != SEGMENT_HEAD_MAGIC)
        return corrupt("not a VORP segment (bad magic)");
    if (load_u32(file.data() + len - 4) != SEGMENT_TAIL_MAGIC)
        return corrupt("segment has no completion marker — it was never finished being written");
    const std::uint32_t format = load_u32(file.data() + 4);
    if (format != SEGMENT_FORMAT)
        return corrupt(fmt::format("segment format {} is not supported (expected {})", format, SEGMENT_FORMAT));
    const std::uint64_t header_len = load_u32(file.data() + 8);
    if (12 + header_len > len) return corrupt("segment header is truncated");

    // 5: the header.
    JsonResult<SegmentHeader> header = json_parse<SegmentHeader>(as_chars(file.subspan(12, header_len)));
    if (!header) return corrupt(fmt::format("segment header is invalid: {}", header.error().text()));

    // 6-8: the footer.
    const std::uint32_t footer_len = VORP_TRY_FILE(path, read_u32(file, len - 8));
    if (footer_len > len - 8) return corrupt("segment footer length is impossible");
    const std::uint64_t footer_start = len - 8 - footer_len;
    JsonResult<SegmentFooter> footer = json_parse<SegmentFooter>(as_chars(file.subspan(footer_start, footer_len)));
    if (!footer) return corrupt(fmt::format("segment footer is invalid: {}", footer.error().text()));

    // 9-10: header and footer agree.
    if (static_cast<std::uint64_t>(header->rows) != footer->rows)
        return corrupt(fmt::format("row count disagrees: header {} vs footer {}", header->rows, footer->rows));
    if (footer->extent_crcs.size() != header->columns.size())
        return corrupt("footer checksum count does not match the column count");
    return SegmentFrame{std::move(*header), std::move(*footer), header_len, footer_start};
}

}  // namespace

Result<SegmentHeader> read_segment_header(const std::filesystem::path& path, std::span<const std::uint8_t> file) {
    return VORP_TRY(read_frame(path, file)).header;
}

EngineError segment_rows_disagree(const std::filesystem::path& path, std::uint64_t manifest_rows,
                                  std::uint64_t segment_rows) {
    return EngineError::corrupt(fmt::format("row count disagrees: manifest {} vs segment {}", manifest_rows, segment_rows))
        .at_file(path);
}

Result<std::shared_ptr<const Segment>> Segment::open(const std::filesystem::path& path, SegmentSource source,
                                                     bool verify, std::optional<std::uint32_t> expected_rows) {
    const std::span<const std::uint8_t> file = std::visit([](const auto& s) { return s.bytes(); }, source);
    SegmentFrame frame = VORP_TRY(read_frame(path, file));
    SegmentHeader& header = frame.header;
    const SegmentFooter& footer = frame.footer;
    const std::uint64_t header_len = frame.header_len;
    const std::uint64_t footer_start = frame.footer_start;

    // 11: the segment, not yet decoded.
    std::int64_t tt_s_min = INT64_MAX;
    std::int64_t tt_s_max = INT64_MIN;
    for (const auto& run : header.tt_s_runs) {
        tt_s_min = std::min(tt_s_min, run.second);
        tt_s_max = std::max(tt_s_max, run.second);
    }
    const auto ascending = [](const auto& list) {
        return std::ranges::adjacent_find(list, [](const auto& a, const auto& b) { return a.first >= b.first; }) ==
               list.end();
    };
    const bool runs_ascending = ascending(header.tt_s_runs);
    const bool closed_ascending = ascending(header.closed_rows);
    auto segment = std::make_shared<Segment>(Segment{
        .source = std::move(source),
        .header = std::move(header),
        .path = path,
        .decoded = {},
        .unpacked_strings = std::nullopt,
        .parsed_strings = std::nullopt,
        .body_start = segment_body_start(header_len),
        .tt_s_min = tt_s_min,
        .tt_s_max = tt_s_max,
        .tt_s_runs_ascending = runs_ascending,
        .closed_rows_ascending = closed_ascending,
        .edges = {},
        .nodes = {},
    });

    // 13-14: columns, then the string table.
    const auto decode = [&segment, expected_rows]() -> Status { return decode_columns(*segment, expected_rows); };

    // 12: checksums come before decoding, so a damaged file reports the damage rather than
    // whatever decoding problem it causes. SHA-256 is the slowest step of a verified open; over a
    // large file it runs on a second thread while this one checks the CRCs and decodes, and the
    // results are then reported in the same order as when the steps run one after the other.
    if (verify) {
        if (file.size() < PARALLEL_DIGEST_FROM) {
            VORP_TRY(segment->verify(footer, footer_start));
        } else {
            VORP_TRY(check_footer_shape(*segment, footer, footer_start));
            std::string computed;
            // What ended the hasher abnormally (std::bad_alloc making its text): carried over and
            // rethrown here, since an exception leaving a thread's function ends the process.
            std::exception_ptr hasher_failure;
            std::thread hasher;
            // An exception out of the CRC check or the decode must not destroy a running thread
            // (that ends the process): the hasher is joined on every way out.
            struct JoinOnExit {
                std::thread& thread;
                ~JoinOnExit() {
                    if (thread.joinable()) thread.join();
                }
            } join_hasher{hasher};
            try {
                hasher = std::thread([&computed, &hasher_failure, file, footer_start]() noexcept {
                    try {
                        computed = body_sha16(file, footer_start);
                    } catch (...) {
                        hasher_failure = std::current_exception();
                    }
                });
            } catch (const std::system_error&) {
                computed = body_sha16(file, footer_start);  // no thread to be had: one after the other
            }
            const Status crcs = check_crcs(*segment, footer);
            const Status decoded = crcs ? decode() : ok();
            if (hasher.joinable()) hasher.join();
            if (hasher_failure) std::rethrow_exception(hasher_failure);
            VORP_TRY(check_body_sha(*segment, footer, computed));
            VORP_TRY(crcs);
            VORP_TRY(decoded);
            segment->open_views();
            return std::shared_ptr<const Segment>(std::move(segment));
        }
    }
    VORP_TRY(decode());
    segment->open_views();
    return std::shared_ptr<const Segment>(std::move(segment));
}

void Segment::open_views() {
    const bool edge = header.kind == RowKind::Edge;
#define VORP_BIND_EDGE(column_name, type) bind(edges.column_name, #column_name, edge);
#define VORP_BIND_NODE(column_name, type) bind(nodes.column_name, #column_name, !edge);
    VORP_EDGE_SEGMENT_COLUMNS(VORP_BIND_EDGE)
    VORP_NODE_SEGMENT_COLUMNS(VORP_BIND_NODE)
#undef VORP_BIND_EDGE
#undef VORP_BIND_NODE
    edges.vt_e_elided = nodes.vt_e_elided = header.vt_e_elided;
    edges.rows = nodes.rows = header.rows;
    if (Result<StringView> table = strings()) parsed_strings = *table;
}

namespace {
Result<ValidEnds> valid_ends_of(const ViewColumn<std::int64_t>& vt_s, const ViewColumn<std::int64_t>& vt_e,
                                bool elided) {
    ValidEnds ends{VORP_TRY(vt_s.get()), {}, elided};
    if (!elided) ends.vt_e = VORP_TRY(vt_e.get());
    return ends;
}
}  // namespace

Result<ValidEnds> EdgeSegmentView::valid_ends() const { return valid_ends_of(vt_s, vt_e, vt_e_elided); }
Result<ValidEnds> NodeSegmentView::valid_ends() const { return valid_ends_of(vt_s, vt_e, vt_e_elided); }
Result<ValidEnds> VersionColumns::valid_ends() const { return valid_ends_of(vt_s, vt_e, vt_e_elided); }

Status Segment::verify(const SegmentFooter& footer, std::uint64_t footer_start) const {
    VORP_TRY(check_footer_shape(*this, footer, footer_start));
    VORP_TRY(check_body_sha(*this, footer, body_sha16(file_bytes(), footer_start)));
    return check_crcs(*this, footer);
}

// ---- stored bytes --------------------------------------------------------------------------------

namespace {
// [body_start + offset, body_start + offset + bytes) when it lies inside the file.
std::optional<std::span<const std::uint8_t>> body_range(std::span<const std::uint8_t> file, std::uint64_t body_start,
                                                        std::uint64_t offset, std::uint64_t bytes) {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    if (__builtin_add_overflow(body_start, offset, &start) || __builtin_add_overflow(start, bytes, &end) ||
        end > file.size())
        return std::nullopt;
    return file.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(bytes));
}
}  // namespace

Result<std::span<const std::uint8_t>> Segment::raw(const ColumnDesc& desc) const {
    if (auto range = body_range(file_bytes(), body_start, desc.offset, desc.bytes)) return *range;
    return fail(EngineError::corrupt(fmt::format("column '{}' extends past the file", desc.name)).at_file(path));
}

Result<std::span<const std::uint8_t>> Segment::raw_strings() const {
    if (auto range = body_range(file_bytes(), body_start, header.strings_offset, header.strings_bytes)) return *range;
    return fail(EngineError::corrupt("string table extends past the file").at_file(path));
}

// ---- column access -------------------------------------------------------------------------------

Result<std::span<const std::uint8_t>> Segment::typed_bytes(std::string_view name, DType dtype) const {
    const auto corrupt = [this](std::string message) {
        return fail(EngineError::corrupt(std::move(message)).at_file(path));
    };
    // A dozen columns at most: a linear scan, first match wins.
    std::size_t column_idx = 0;
    while (column_idx < header.columns.size() && header.columns[column_idx].name != name) ++column_idx;
    if (column_idx == header.columns.size()) return corrupt(fmt::format("segment has no column '{}'", name));
    const ColumnDesc& desc = header.columns[column_idx];
    if (desc.dtype != dtype) return corrupt(fmt::format("column '{}' is {}, not {}", name, desc.dtype, dtype));

    std::span<const std::uint8_t> bytes;
    if (desc.codec != CODEC_RAW) {
        if (column_idx >= decoded.size()) engine_panic("desc comes from this header");
        if (!decoded[column_idx]) engine_panic("non-raw columns are decoded at open");
        bytes = decoded[column_idx]->bytes();
    } else {
        bytes = VORP_TRY(raw(desc));
    }

    const unsigned width = dtype_width(dtype);
    if (bytes.size() % width != 0)
        return corrupt(fmt::format("column '{}' length {} is not a multiple of {}", name, bytes.size(), width));
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % width != 0)
        return corrupt(fmt::format("column '{}' is misaligned for zero-copy access", name));
    return bytes;
}

Result<StringView> Segment::strings() const {
    if (parsed_strings) return *parsed_strings;
    if (unpacked_strings) return StringView::parse(unpacked_strings->span());
    return StringView::parse(VORP_TRY(raw_strings()));
}

Result<std::int64_t> Segment::vt_e_at(std::size_t row) const {
    const ViewColumn<std::int64_t>& column = header.kind == RowKind::Edge ? (header.vt_e_elided ? edges.vt_s : edges.vt_e)
                                                                          : (header.vt_e_elided ? nodes.vt_s : nodes.vt_e);
    const std::span<const std::int64_t> values = VORP_TRY(column.get());
    // Open checked that every column holds `rows` values; a row past them is the caller's error.
    if (row >= values.size())
        return fail(EngineError::invariant(fmt::format("row {} is past the end of column '{}' ({} values)", row,
                                                       column.name(), values.size()))
                        .at_file(path));
    return header.vt_e_elided ? vt_s_plus_one(values[row]) : values[row];
}

bool Segment::stores_vt_e() const {
    return std::ranges::any_of(header.columns, [](const ColumnDesc& desc) { return desc.name == "vt_e"; });
}

Result<std::string_view> Segment::rel_type_of(std::uint16_t rel_code) const {
    if (rel_code >= header.rel_types.size())
        return fail(EngineError::corrupt(fmt::format("rel_code {} is out of range (the segment has {} rel_types)",
                                                     rel_code, header.rel_types.size()))
                        .at_file(path));
    return std::string_view(header.rel_types[rel_code]);
}

// ---- string view ---------------------------------------------------------------------------------

Result<StringView> StringView::parse(std::span<const std::uint8_t> table) {
    const std::uint32_t count = VORP_TRY(read_u32(table, 0));
    const std::uint64_t needed = std::uint64_t{4} * count + 8;
    if (table.size() < needed) return fail(EngineError::corrupt("string table offsets are truncated"));
    StringView view;
    view.offsets = table.subspan(4, static_cast<std::size_t>(needed - 4));
    view.data = table.subspan(static_cast<std::size_t>(needed));
    view.count = count;
    return view;
}

Result<std::string_view> StringView::get(std::uint32_t ref) const {
    if (ref >= count) return fail(EngineError::corrupt(fmt::format("string ref {} out of range (table holds {})", ref, count)));
    const std::uint32_t start = offset_at(ref);
    const std::uint32_t end = offset_at(ref + 1);
    if (end < start || end > data.size())
        return fail(EngineError::corrupt(fmt::format("string ref {} spans past the table", ref)));
    const std::string_view text = as_chars(data.subspan(start, end - start));
    if (is_ascii(text)) return text;
    if (const std::optional<Utf8Error> bad = validate_utf8(text))
        return fail(EngineError::corrupt(fmt::format("string ref {} is not UTF-8: {}", ref, bad->text())));
    return text;
}

Result<std::optional<std::string_view>> StringView::get_opt(std::uint32_t ref) const {
    if (ref == NO_STRING) return std::optional<std::string_view>{};
    return std::optional<std::string_view>(VORP_TRY(get(ref)));
}

}  // namespace vorp
