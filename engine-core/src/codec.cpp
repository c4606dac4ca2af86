// FOR integer streams and packed string heaps. The byte layouts are described in vorp/codec.h.
//
// Decoding runs once per column when a segment opens, over columns of up to millions of values, so
// the unpack loop is specialised per bit width: eight values of w bits occupy exactly w bytes, so
// every group of eight starts on a byte boundary and each value's byte offset and shift within the
// group are compile-time constants. Groups are read with unaligned 64-bit loads, which may look up
// to 9 bytes past the group; they are used only while those bytes lie inside the stream, and the
// few values after that go through a byte-at-a-time path bounded by the block's packed area.
//
// A stream is walked (block headers only) and fully checked before its output is sized, so the
// unpack kernels run without per-value checks and nothing is allocated from an unchecked count.
#include "vorp/codec.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "codec_kernels.h"
#include "vorp/simd.h"

namespace vorp {
namespace {

// Values are stored and loaded with memcpy in host order; the formats are little-endian.
static_assert(std::endian::native == std::endian::little, "the codecs assume a little-endian host");

constexpr std::size_t BLOCK_HEADER_BYTES = 9;  // i64 base + u8 width
constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
// DEFLATE's densest code spends 2 bits on a 258-byte match, so D input bytes inflate to at most
// 1032 * D bytes; the constant term covers block framing.
constexpr std::uint64_t DEFLATE_MAX_EXPANSION = 1032;
constexpr std::uint64_t DEFLATE_EXPANSION_SLACK = 64;

std::uint32_t load_u32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::uint64_t load_u64(const std::uint8_t* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

void store_u32(std::uint8_t* bytes, std::uint32_t value) { std::memcpy(bytes, &value, sizeof value); }
void store_u64(std::uint8_t* bytes, std::uint64_t value) { std::memcpy(bytes, &value, sizeof value); }

template <unsigned Width>
constexpr std::uint64_t low_mask() {
    if constexpr (Width >= 64) {
        return ~std::uint64_t{0};
    } else {
        return (std::uint64_t{1} << Width) - 1;
    }
}

// Packed bytes of m values of `width` bits. m is at most FOR_MAX_BLOCK_LEN on read and
// FOR_BLOCK_LEN on write, so the product cannot overflow.
constexpr std::size_t packed_bytes(std::size_t value_count, unsigned width) {
    return (value_count * width + 7) / 8;
}

EngineError for_error(std::string reason) { return EngineError::corrupt("FOR stream: " + reason); }
EngineError heap_error(std::string reason) { return EngineError::corrupt("packed string heap: " + reason); }

// ---- packing ---------------------------------------------------------------------------------

// ORs the W-bit difference into the zeroed packed area at bit position `bit`. The 64-bit store may
// touch up to 7 bytes past the area; the caller leaves 8 bytes of zeroed slack there.
template <unsigned Width>
inline void put_bits(std::uint8_t* packed, std::uint64_t bit, std::uint64_t difference) {
    std::uint8_t* at = packed + bit / 8;
    const unsigned shift = static_cast<unsigned>(bit % 8);
    store_u64(at, load_u64(at) | (difference << shift));
    if (shift + Width > 64) at[8] = static_cast<std::uint8_t>(at[8] | (difference >> (64 - shift)));
}

// Eight values of Width bits fill exactly Width bytes. They are assembled in local words at
// compile-time positions (which the compiler keeps in registers) and stored once, rather than
// read-modify-written into the output value by value.
template <unsigned Width, std::size_t K>
inline void put_group_value(std::uint64_t* words, std::uint64_t difference) {
    constexpr std::size_t bit = K * Width;
    constexpr std::size_t word = bit / 64;
    constexpr unsigned shift = bit % 64;
    words[word] |= difference << shift;
    if constexpr (shift + Width > 64) words[word + 1] |= difference >> (64 - shift);
}

template <unsigned Width, std::size_t... K>
inline void pack_group(const std::uint64_t* __restrict values, std::uint64_t base, std::uint8_t* __restrict group,
                       std::index_sequence<K...>) {
    std::uint64_t words[(Width + 7) / 8] = {};
    (put_group_value<Width, K>(words, values[K] - base), ...);
    std::memcpy(group, words, Width);
}

// Packs m values (as bit patterns) minus `base` in Width bits each.
template <unsigned Width>
void pack_block(const std::uint64_t* __restrict values, std::size_t value_count, std::uint64_t base,
                std::uint8_t* __restrict packed) {
    std::size_t value_idx = 0;
    std::uint8_t* group = packed;
    for (; value_idx + 8 <= value_count; value_idx += 8, group += Width)
        pack_group<Width>(values + value_idx, base, group, std::make_index_sequence<8>{});
    for (; value_idx < value_count; ++value_idx)
        put_bits<Width>(packed, static_cast<std::uint64_t>(value_idx) * Width, values[value_idx] - base);
}

using PackFn = void (*)(const std::uint64_t*, std::size_t, std::uint64_t, std::uint8_t*);

template <std::size_t... W>
constexpr std::array<PackFn, 65> make_pack_table(std::index_sequence<W...>) {
    // Width 0 has no packed bytes; its slot is never called.
    return {nullptr, &pack_block<static_cast<unsigned>(W + 1)>...};
}
constexpr std::array<PackFn, 65> PACK_BY_WIDTH = make_pack_table(std::make_index_sequence<64>{});

// Encodes `count` values; load(i) yields value i as a signed 64-bit value.
template <class Load>
std::vector<std::uint8_t> encode_with(std::size_t count, Load load) {
    // The count field is 32 bits; writers check their counts against it before encoding.
    if (count > U32_MAX) engine_panic(fmt::format("FOR stream cannot hold {} values", count));
    std::vector<std::uint8_t> out;
    out.reserve(count + 16);
    out.resize(8);
    store_u32(out.data(), static_cast<std::uint32_t>(count));
    store_u32(out.data() + 4, FOR_BLOCK_LEN);

    std::vector<std::uint64_t> block(std::min<std::size_t>(count, FOR_BLOCK_LEN));
    for (std::size_t start = 0; start < count; start += FOR_BLOCK_LEN) {
        const std::size_t value_count = std::min<std::size_t>(FOR_BLOCK_LEN, count - start);
        std::int64_t smallest = std::numeric_limits<std::int64_t>::max();
        std::int64_t largest = std::numeric_limits<std::int64_t>::min();
        for (std::size_t value_idx = 0; value_idx < value_count; ++value_idx) {
            const std::int64_t value = load(start + value_idx);
            block[value_idx] = static_cast<std::uint64_t>(value);
            smallest = std::min(smallest, value);
            largest = std::max(largest, value);
        }
        // The largest difference from the minimum is the maximum's; wrapping subtraction gives
        // its true value, which is below 2^64.
        const std::uint64_t base = static_cast<std::uint64_t>(smallest);
        const unsigned width = static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(largest) - base));
        const std::size_t packed = packed_bytes(value_count, width);

        const std::size_t at = out.size();
        out.resize(at + BLOCK_HEADER_BYTES + packed + 8);  // zeroed, with slack for 64-bit stores
        store_u64(out.data() + at, base);
        out[at + 8] = static_cast<std::uint8_t>(width);
        if (width != 0) PACK_BY_WIDTH[width](block.data(), value_count, base, out.data() + at + BLOCK_HEADER_BYTES);
        out.resize(at + BLOCK_HEADER_BYTES + packed);
    }
    return out;
}

template <unsigned ElementWidth>
std::vector<std::uint8_t> encode_le_width(std::span<const std::uint8_t> bytes) {
    return encode_with(bytes.size() / ElementWidth, [&](std::size_t value_idx) {
        std::uint64_t value = 0;
        std::memcpy(&value, bytes.data() + value_idx * ElementWidth, ElementWidth);
        return static_cast<std::int64_t>(value);
    });
}

// ---- unpacking -------------------------------------------------------------------------------

template <unsigned ElementWidth>
inline void store_element(std::uint8_t* __restrict out, std::uint64_t value) {
    std::memcpy(out, &value, ElementWidth);  // the low bytes: narrowing keeps the low bits
}

// The Width-bit value at a compile-time bit offset of a group; may read up to 9 bytes past it.
template <unsigned Width, std::size_t BitOffset>
inline std::uint64_t extract_fast(const std::uint8_t* group) {
    constexpr std::size_t byte = BitOffset / 8;
    constexpr unsigned shift = BitOffset % 8;
    std::uint64_t value = load_u64(group + byte) >> shift;
    if constexpr (shift + Width > 64) value |= static_cast<std::uint64_t>(group[byte + 8]) << (64 - shift);
    return value & low_mask<Width>();
}

// The Width-bit value at `bit`, reading only the bytes that hold it.
template <unsigned Width>
inline std::uint64_t extract_exact(const std::uint8_t* packed, std::uint64_t bit) {
    const std::uint8_t* at = packed + bit / 8;
    const unsigned shift = static_cast<unsigned>(bit % 8);
    std::uint64_t value = at[0] >> shift;
    unsigned have = 8 - shift;
    for (std::size_t byte_idx = 1; have < Width; ++byte_idx, have += 8)
        value |= static_cast<std::uint64_t>(at[byte_idx]) << have;
    return value & low_mask<Width>();
}

template <unsigned Width, unsigned ElementWidth, std::size_t... K>
inline void unpack_group(const std::uint8_t* __restrict group, std::uint64_t base, std::uint8_t* __restrict out,
                         std::index_sequence<K...>) {
    (store_element<ElementWidth>(out + K * ElementWidth, base + extract_fast<Width, K * Width>(group)), ...);
}

// Decodes m values of Width bits from `packed` (which holds all of their bytes) as base + value
// with wrapping addition. `stream_end` bounds the look-ahead of the group loads.
template <unsigned Width, unsigned ElementWidth>
void unpack_block(const std::uint8_t* __restrict packed, std::size_t value_count, std::uint64_t base,
                  std::uint8_t* __restrict out, const std::uint8_t* stream_end) {
    // A group of 8 starting at g reads bytes below g + Width + 9 at most.
    const std::size_t readable = static_cast<std::size_t>(stream_end - packed);
    const std::size_t fast_groups =
        std::min(value_count / 8, readable >= Width + 9 ? (readable - (Width + 9)) / Width + 1 : 0);
    const std::uint8_t* group = packed;
    for (std::size_t group_idx = 0; group_idx < fast_groups; ++group_idx, group += Width, out += 8 * ElementWidth)
        unpack_group<Width, ElementWidth>(group, base, out, std::make_index_sequence<8>{});
    for (std::size_t value_idx = fast_groups * 8; value_idx < value_count; ++value_idx, out += ElementWidth)
        store_element<ElementWidth>(out, base + extract_exact<Width>(packed, static_cast<std::uint64_t>(value_idx) * Width));
}

template <unsigned ElementWidth>
void fill_block(std::uint8_t* __restrict out, std::size_t value_count, std::uint64_t base) {
    for (std::size_t value_idx = 0; value_idx < value_count; ++value_idx)
        store_element<ElementWidth>(out + value_idx * ElementWidth, base);
}

using UnpackFn = void (*)(const std::uint8_t*, std::size_t, std::uint64_t, std::uint8_t*, const std::uint8_t*);

template <unsigned ElementWidth, std::size_t... W>
constexpr std::array<UnpackFn, 65> make_unpack_table(std::index_sequence<W...>) {
    return {nullptr, &unpack_block<static_cast<unsigned>(W + 1), ElementWidth>...};
}
template <unsigned ElementWidth>
constexpr std::array<UnpackFn, 65> UNPACK_BY_WIDTH = make_unpack_table<ElementWidth>(std::make_index_sequence<64>{});

struct StreamShape {
    std::uint64_t count;
    std::uint32_t block_len;
};

// Every check of a stream, in the order that decides the message, without decoding: afterwards
// every block header and every packed byte the decoder will touch is known to be present.
Result<StreamShape> walk_stream(std::span<const std::uint8_t> stream, std::uint64_t expected_count) {
    if (stream.size() < 4) return fail(for_error("truncated"));
    const std::uint64_t count = load_u32(stream.data());
    if (stream.size() < 8) return fail(for_error("truncated"));
    const std::uint32_t block_len = load_u32(stream.data() + 4);
    if (count != expected_count) return fail(for_error(fmt::format("has {} values, column expects {}", count, expected_count)));
    if (block_len == 0 || block_len > FOR_MAX_BLOCK_LEN)
        return fail(for_error(fmt::format("implausible block length {}", block_len)));

    // Each iteration consumes at least 9 bytes or fails, so the walk is bounded by the stream's
    // size, whatever count it claims.
    std::size_t position = 8;
    for (std::uint64_t remaining = count; remaining > 0;) {
        const std::size_t value_count = static_cast<std::size_t>(std::min<std::uint64_t>(block_len, remaining));
        if (stream.size() - position < BLOCK_HEADER_BYTES) return fail(for_error("truncated"));
        const unsigned width = stream[position + 8];
        if (width > 64) return fail(for_error(fmt::format("impossible bit width {}", width)));
        position += BLOCK_HEADER_BYTES;
        const std::size_t packed = packed_bytes(value_count, width);
        if (stream.size() - position < packed) return fail(for_error("truncated"));
        position += packed;
        remaining -= value_count;
    }
    // Well-formed, but a handful of width-0 blocks can claim far more values than any segment
    // holds; refuse before the caller sizes memory from the count.
    if (count > FOR_MAX_VALUES) return fail(for_error(fmt::format("implausible value count {}", count)));
    return StreamShape{count, block_len};
}

struct NoBlockHook {
    void operator()(std::uint64_t, unsigned, const std::uint8_t*, std::size_t) const {}
};

// Decodes a walked stream into `out` at ElementWidth bytes per value. After each block,
// on_block(base, width, block_out, value_count) sees the block's header and its output while that
// output is still in cache.
template <unsigned ElementWidth, class OnBlock = NoBlockHook>
void decode_walked(std::span<const std::uint8_t> stream, StreamShape shape, std::uint8_t* out, OnBlock on_block = {}) {
    const std::uint8_t* const stream_end = stream.data() + stream.size();
    const std::uint8_t* block = stream.data() + 8;
    const bool vector = simd_kernels_active();
    for (std::uint64_t done = 0; done < shape.count;) {
        const std::size_t value_count = static_cast<std::size_t>(std::min<std::uint64_t>(shape.block_len, shape.count - done));
        const std::uint64_t base = load_u64(block);
        const unsigned width = block[8];
        const std::uint8_t* packed = block + BLOCK_HEADER_BYTES;
        std::uint8_t* block_out = out + done * ElementWidth;
        if (width == 0) {
            fill_block<ElementWidth>(block_out, value_count, base);
        } else {
            // The vector kernel takes the whole groups it can read safely; groups of eight end on
            // byte boundaries, so the scalar kernel carries on from the next byte.
            std::size_t vector_done = 0;
            if (vector) {
                if (const detail::GroupUnpackFn kernel = detail::avx2_group_unpacker(width, ElementWidth))
                    vector_done = kernel(packed, value_count, base, block_out, stream_end);
            }
            if (vector_done < value_count)
                UNPACK_BY_WIDTH<ElementWidth>[width](packed + vector_done / 8 * width, value_count - vector_done, base,
                                                     block_out + vector_done * ElementWidth, stream_end);
        }
        on_block(base, width, block_out, value_count);
        block = packed + packed_bytes(value_count, width);
        done += value_count;
    }
}

// The value at `bit` of a packed area of `width` (0..64) bits per value, reading only the bytes
// that hold it.
std::uint64_t value_bits_at(const std::uint8_t* packed, std::uint64_t bit, unsigned width) {
    if (width == 0) return 0;
    const std::uint8_t* at = packed + bit / 8;
    const unsigned shift = static_cast<unsigned>(bit % 8);
    std::uint64_t value = at[0] >> shift;
    for (unsigned have = 8 - shift, byte_idx = 1; have < width; ++byte_idx, have += 8)
        value |= static_cast<std::uint64_t>(at[byte_idx]) << have;
    return width == 64 ? value : value & ((std::uint64_t{1} << width) - 1);
}

// The last value of a walked stream of at least one value (base + difference, wrapping), read from
// its final block alone.
std::uint64_t last_value(std::span<const std::uint8_t> stream, StreamShape shape) {
    const std::uint8_t* block = stream.data() + 8;
    for (std::uint64_t done = 0;;) {
        const std::size_t value_count = static_cast<std::size_t>(std::min<std::uint64_t>(shape.block_len, shape.count - done));
        const unsigned width = block[8];
        if (done + value_count == shape.count)
            return load_u64(block) + value_bits_at(block + BLOCK_HEADER_BYTES, std::uint64_t{value_count - 1} * width, width);
        block += BLOCK_HEADER_BYTES + packed_bytes(value_count, width);
        done += value_count;
    }
}

template <class T>
Result<std::vector<T>> decode_as(std::span<const std::uint8_t> stream, std::uint64_t expected_count) {
    const StreamShape shape = VORP_TRY(walk_stream(stream, expected_count));
    // The count was checked against the stream's bytes: running out of memory here is the
    // process's condition, not the file's, and leaves as std::bad_alloc.
    std::vector<T> values(static_cast<std::size_t>(shape.count));
    decode_walked<sizeof(T)>(stream, shape, reinterpret_cast<std::uint8_t*>(values.data()));
    return values;
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

std::string_view inflate_failure_text(libdeflate_result result) {
    switch (result) {
        case LIBDEFLATE_BAD_DATA: return "invalid deflate data";
        case LIBDEFLATE_SHORT_OUTPUT: return "output shorter than expected";
        case LIBDEFLATE_INSUFFICIENT_SPACE: return "output longer than expected";
        default: return "unknown error";
    }
}

// Inflates the raw DEFLATE stream `in` into exactly `out_len` bytes at `out` with ISA-L; false
// unless the stream ends with its final block and produced exactly `out_len` bytes.
bool isal_inflate_exact(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out, std::size_t out_len) {
    if (in_len > U32_MAX || out_len > U32_MAX) return false;
    // The inflater's tables (about 40 KiB) live on the stack: they cost no allocation, and a copy
    // kept per thread would be allocated lazily by the C library, which ends the process when that
    // allocation fails. Worker stacks have room for them.
    inflate_state state;
    isal_inflate_init(&state);
    state.next_in = const_cast<std::uint8_t*>(in);
    state.avail_in = static_cast<std::uint32_t>(in_len);
    state.next_out = out;
    state.avail_out = static_cast<std::uint32_t>(out_len);
    state.crc_flag = ISAL_DEFLATE;
    state.hist_bits = 0;
    const int result = isal_inflate_stateless(&state);
    return result == ISAL_DECOMP_OK && state.block_state == ISAL_BLOCK_FINISH && state.total_out == out_len;
}

}  // namespace

// ---- FOR stream ------------------------------------------------------------------------------

std::vector<std::uint8_t> encode_i64(std::span<const std::int64_t> values) {
    return encode_with(values.size(), [&](std::size_t value_idx) { return values[value_idx]; });
}

std::vector<std::uint8_t> encode_u64(std::span<const std::uint64_t> values) {
    return encode_with(values.size(), [&](std::size_t value_idx) { return static_cast<std::int64_t>(values[value_idx]); });
}

std::vector<std::uint8_t> encode_u32(std::span<const std::uint32_t> values) {
    return encode_with(values.size(), [&](std::size_t value_idx) { return static_cast<std::int64_t>(values[value_idx]); });
}

std::vector<std::uint8_t> encode_u16(std::span<const std::uint16_t> values) {
    return encode_with(values.size(), [&](std::size_t value_idx) { return static_cast<std::int64_t>(values[value_idx]); });
}

std::vector<std::uint8_t> encode_le(std::span<const std::uint8_t> bytes, unsigned element_width) {
    switch (element_width) {
        case 2: return encode_le_width<2>(bytes);
        case 4: return encode_le_width<4>(bytes);
        case 8: return encode_le_width<8>(bytes);
        default: engine_panic(fmt::format("FOR encoding of {}-byte values is not supported", element_width));
    }
}

Result<std::vector<std::int64_t>> decode_i64(std::span<const std::uint8_t> stream, std::uint64_t expected_count) {
    return decode_as<std::int64_t>(stream, expected_count);
}

Result<std::vector<std::uint64_t>> decode_u64(std::span<const std::uint8_t> stream, std::uint64_t expected_count) {
    return decode_as<std::uint64_t>(stream, expected_count);
}

Result<std::vector<std::uint32_t>> decode_u32(std::span<const std::uint8_t> stream, std::uint64_t expected_count) {
    return decode_as<std::uint32_t>(stream, expected_count);
}

Result<std::vector<std::uint16_t>> decode_u16(std::span<const std::uint8_t> stream, std::uint64_t expected_count) {
    return decode_as<std::uint16_t>(stream, expected_count);
}

Status check_for_stream(std::span<const std::uint8_t> stream, std::uint64_t expected_count) {
    VORP_TRY(walk_stream(stream, expected_count));
    return ok();
}

Status decode_le_into(std::span<const std::uint8_t> stream, std::uint64_t expected_count, unsigned element_width,
                      std::span<std::uint8_t> out) {
    if (element_width != 2 && element_width != 4 && element_width != 8)
        engine_panic(fmt::format("FOR decoding to {}-byte values is not supported", element_width));
    const StreamShape shape = VORP_TRY(walk_stream(stream, expected_count));
    // count <= FOR_MAX_VALUES here, so the product cannot overflow.
    if (out.size() < shape.count * element_width)
        engine_panic(fmt::format("FOR decoding of {} values was given {} bytes", shape.count, out.size()));
    switch (element_width) {
        case 2: decode_walked<2>(stream, shape, out.data()); break;
        case 4: decode_walked<4>(stream, shape, out.data()); break;
        default: decode_walked<8>(stream, shape, out.data()); break;
    }
    return ok();
}

// ---- String heap -----------------------------------------------------------------------------

std::optional<std::vector<std::uint8_t>> pack_heap(std::span<const std::uint8_t> raw_table) {
    if (raw_table.size() < 8) return std::nullopt;
    const std::uint32_t string_count = load_u32(raw_table.data());
    if (string_count == PACKED_HEAP_MARKER) return std::nullopt;
    const std::uint64_t payload_start = 8 + 4 * static_cast<std::uint64_t>(string_count);
    if (raw_table.size() < payload_start) return std::nullopt;
    // Readers refuse offset streams above the value-count ceiling; such a table stays raw, where it
    // is read back whatever its count.
    if (std::uint64_t{string_count} + 1 > FOR_MAX_VALUES) return std::nullopt;
    const std::span<const std::uint8_t> payload = raw_table.subspan(static_cast<std::size_t>(payload_start));

    try {
        // N + 1 <= 0xFFFFFFFF offsets, zero-extended.
        const std::vector<std::uint8_t> offsets =
            encode_with(static_cast<std::size_t>(string_count) + 1, [&](std::size_t offset_idx) {
                return static_cast<std::int64_t>(load_u32(raw_table.data() + 4 + 4 * offset_idx));
            });
        std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
            libdeflate_alloc_compressor(HEAP_DEFLATE_LEVEL));
        if (!compressor) return std::nullopt;
        const std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), payload.size());

        std::vector<std::uint8_t> packed(16 + offsets.size() + bound);
        std::memcpy(packed.data() + 16, offsets.data(), offsets.size());
        const std::size_t deflated = libdeflate_deflate_compress(compressor.get(), payload.data(), payload.size(),
                                                                 packed.data() + 16 + offsets.size(), bound);
        // Within the bound compression cannot run out of room; and both lengths must fit their
        // 32-bit fields, or the raw table is kept.
        if (deflated == 0 || offsets.size() > U32_MAX || deflated > U32_MAX) return std::nullopt;
        store_u32(packed.data(), PACKED_HEAP_MARKER);
        store_u32(packed.data() + 4, string_count);
        store_u32(packed.data() + 8, static_cast<std::uint32_t>(offsets.size()));
        store_u32(packed.data() + 12, static_cast<std::uint32_t>(deflated));
        packed.resize(16 + offsets.size() + deflated);
        return packed;
    } catch (const std::bad_alloc&) {
        return std::nullopt;  // the raw table is kept; it is already in memory
    }
}

namespace {

// The parts of a packed heap: its string count, the offsets' FOR stream and the DEFLATE stream.
struct HeapParts {
    std::uint32_t string_count = 0;
    std::span<const std::uint8_t> offsets;
    std::span<const std::uint8_t> deflated;
};

Result<HeapParts> heap_parts(std::span<const std::uint8_t> packed) {
    if (packed.size() < 16 || load_u32(packed.data()) != PACKED_HEAP_MARKER) return fail(heap_error("missing magic"));
    const std::uint32_t string_count = load_u32(packed.data() + 4);
    const std::uint64_t for_len = load_u32(packed.data() + 8);
    const std::uint64_t deflate_len = load_u32(packed.data() + 12);
    if (packed.size() < 16 + for_len + deflate_len) return fail(heap_error("truncated"));
    return HeapParts{string_count, packed.subspan(16, static_cast<std::size_t>(for_len)),
                     packed.subspan(static_cast<std::size_t>(16 + for_len), static_cast<std::size_t>(deflate_len))};
}

}  // namespace

Result<PackedHeapShape> packed_heap_shape(std::span<const std::uint8_t> packed,
                                          std::optional<std::uint32_t> expected_strings) {
    const HeapParts parts = VORP_TRY(heap_parts(packed));
    if (expected_strings && parts.string_count != *expected_strings)
        return fail(heap_error(fmt::format("has {} strings, header expects {}", parts.string_count, *expected_strings)));
    const std::uint64_t offset_count = static_cast<std::uint64_t>(parts.string_count) + 1;
    const StreamShape offsets = VORP_TRY(walk_stream(parts.offsets, offset_count));

    // The last offset is the payload's length; a negative value read as unsigned is too large as well.
    const std::uint64_t payload_len = last_value(parts.offsets, offsets);
    if (payload_len > U32_MAX) return fail(heap_error("implausible payload length"));
    // The output buffer is sized from the offsets before inflating, so they must not announce
    // more than the DEFLATE bytes present can possibly produce.
    if (payload_len > DEFLATE_MAX_EXPANSION * parts.deflated.size() + DEFLATE_EXPANSION_SLACK)
        return fail(heap_error("implausible payload length"));
    return PackedHeapShape{static_cast<std::size_t>(4 + 4 * offset_count + payload_len), parts.string_count,
                           static_cast<std::uint32_t>(payload_len)};
}

Status unpack_heap_into(std::span<const std::uint8_t> packed, const PackedHeapShape& shape, std::span<std::uint8_t> out) {
    // Walking the block headers again is cheap and keeps the decoder inside what was checked.
    const HeapParts parts = VORP_TRY(heap_parts(packed));
    const std::uint64_t offset_count = static_cast<std::uint64_t>(parts.string_count) + 1;
    const StreamShape offsets = VORP_TRY(walk_stream(parts.offsets, offset_count));
    const std::uint64_t payload_len = shape.payload_len;
    const std::size_t payload_start = static_cast<std::size_t>(4 + 4 * offset_count);
    if (parts.string_count != shape.string_count || last_value(parts.offsets, offsets) != payload_len ||
        out.size() != shape.table_len || shape.table_len != payload_start + payload_len)
        engine_panic("unpack_heap_into was given a shape of other bytes or a buffer of another length");

    // The offsets are decoded straight into the table as u32. A block whose values all lie in
    // [base, base + 2^width) with that range inside 32 bits is narrowed exactly, and needs no range
    // check when the range ends at or before the payload's end; the rest of such blocks are checked
    // while their output is in cache. A block that can hold values past 32 bits (no writer makes
    // one) is checked on the 64-bit values after inflating.
    std::uint8_t* const table = out.data();
    store_u32(table, parts.string_count);
    bool wide_block = false;
    bool out_of_range = false;
    decode_walked<4>(parts.offsets, offsets, table + 4,
                     [&](std::uint64_t base, unsigned width, const std::uint8_t* block_out, std::size_t value_count) {
                         const std::uint64_t span = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
                         if (width > 32 || base > U32_MAX || base + span > U32_MAX) {
                             wide_block = true;
                             return;
                         }
                         if (base + span <= payload_len) return;
                         std::uint32_t largest = 0;
                         for (std::size_t value_idx = 0; value_idx < value_count; ++value_idx)
                             largest = std::max(largest, load_u32(block_out + 4 * value_idx));
                         out_of_range |= largest > payload_len;
                     });

    std::uint8_t* const payload = table + payload_start;
    // ISA-L's inflater decodes the common case, a payload that inflates to exactly the announced
    // length, fastest. Anything else is decided by libdeflate, whose verdicts and messages are the
    // format's: the two agree on every valid stream, and a damaged one is rare enough to decode twice.
    if (!isal_inflate_exact(parts.deflated.data(), parts.deflated.size(), payload, static_cast<std::size_t>(payload_len))) {
        std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
        if (!decompressor) throw std::bad_alloc();  // libdeflate's only failure here
        std::size_t inflated = 0;
        const libdeflate_result result =
            libdeflate_deflate_decompress(decompressor.get(), parts.deflated.data(), parts.deflated.size(), payload,
                                          static_cast<std::size_t>(payload_len), &inflated);
        if (result != LIBDEFLATE_SUCCESS)
            return fail(heap_error(fmt::format("inflate failed: {}", inflate_failure_text(result))));
        if (inflated != payload_len) return fail(heap_error("payload length disagrees with offsets"));
    }

    if (wide_block) {
        // Every offset within the payload (below 2^32) was narrowed exactly.
        const std::vector<std::int64_t> exact = VORP_TRY(decode_i64(parts.offsets, offset_count));
        for (const std::int64_t offset : exact)
            out_of_range |= static_cast<std::uint64_t>(offset) > payload_len;
    }
    if (out_of_range) return fail(heap_error("offset out of range"));
    return ok();
}

Result<std::vector<std::uint8_t>> unpack_heap(std::span<const std::uint8_t> packed) {
    const PackedHeapShape shape = VORP_TRY(packed_heap_shape(packed));
    std::vector<std::uint8_t> table(shape.table_len);  // bounded by the heap's bytes; std::bad_alloc leaves as such
    VORP_TRY(unpack_heap_into(packed, shape, table));
    return table;
}

}  // namespace vorp
