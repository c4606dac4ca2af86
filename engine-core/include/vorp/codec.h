// Integer and string-table codecs of segment files: the frame-of-reference (FOR) stream that stores
// a column of 64-bit integers as bit-packed differences from per-block minimums, and the packed
// string heap (FOR-coded offsets plus a raw DEFLATE payload).
//
// FOR stream (all integers little-endian):
//   u32 value count N | u32 block length B (4096 when we write) | blocks back to back
// block j holds m = min(B, N - j*B) values:
//   i64 base (signed minimum of the block) | u8 bit width w (0..64) | ceil(m*w/8) packed bytes
// Each difference value - base (wrapping, read as unsigned) takes exactly w bits, least significant
// bit first; stream bit k is bit (k mod 8) of byte k/8 of the block's packed area. Width 0 means
// every value equals the base and there are no packed bytes.
//
// Raw string table: u32 N | (N+1) u32 offsets (offset N = payload length) | payload.
// Packed string heap: u32 0xFFFFFFFF | u32 N | u32 F | u32 D | F bytes: FOR stream of the N+1
// offsets | D bytes: raw DEFLATE (RFC 1951, level 6) of the payload.
//
// Decoding and unpacking never trust a count: everything is checked against the bytes present
// before memory is sized from it, and every failure is a `corrupt` error with RESTORE_REMEDY and
// no location (callers attach the file). Running out of memory while decoding (the sizes then are
// bounded by the bytes present) throws std::bad_alloc: it is the process's condition, not the
// file's, and is never reported as damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorp/error.h"

namespace vorp {

// The block length our encoder writes.
inline constexpr std::uint32_t FOR_BLOCK_LEN = 4096;
// The largest block length a reader accepts (other encoders may pick any length from 1 up).
inline constexpr std::uint32_t FOR_MAX_BLOCK_LEN = 1048576;
// Ceiling on the value count of one stream: 2 GiB of 64-bit values. A width-0 block of 9 bytes can
// stand for a million values, so a tiny damaged stream could otherwise claim billions of them.
// Segments hold far fewer rows than this.
inline constexpr std::uint64_t FOR_MAX_VALUES = std::uint64_t{1} << 28;
// First u32 of a packed heap; a raw table can never hold that many strings.
inline constexpr std::uint32_t PACKED_HEAP_MARKER = 0xFFFFFFFFu;
// Compression level of the heap payload.
inline constexpr int HEAP_DEFLATE_LEVEL = 6;

// ---- FOR encoding: cannot fail -------------------------------------------------------------
// The count field is 32 bits: callers check their counts first (more than 4294967295 values is a
// programmer error, engine_panic).

// The FOR stream of `values`.
std::vector<std::uint8_t> encode_i64(std::span<const std::int64_t> values);
// Unsigned columns: 64-bit values are taken bit for bit, 32- and 16-bit values zero-extended;
// the stream is the same as encode_i64 of the converted values.
std::vector<std::uint8_t> encode_u64(std::span<const std::uint64_t> values);
std::vector<std::uint8_t> encode_u32(std::span<const std::uint32_t> values);
std::vector<std::uint8_t> encode_u16(std::span<const std::uint16_t> values);
// Values given as little-endian bytes of `element_width` (2, 4 or 8) each, zero-extended (8-byte
// values bit for bit); the count is bytes.size() / element_width, trailing bytes are ignored. This
// is the column builder's form. Any other width is a programmer error (engine_panic).
std::vector<std::uint8_t> encode_le(std::span<const std::uint8_t> bytes, unsigned element_width);

// ---- FOR decoding ----------------------------------------------------------------------------
// Every decoder checks, in this order: the 8-byte header ("truncated"), the count against
// `expected_count` ("has {} values, column expects {}"), the block length ("implausible block
// length {}"), every block's header and packed bytes ("truncated", "impossible bit width {}"),
// and only then the count against FOR_MAX_VALUES ("implausible value count {}"), before any output
// is allocated. Messages carry the prefix "FOR stream: ". Bytes after the last block are ignored.

// The N values of the stream.
Result<std::vector<std::int64_t>> decode_i64(std::span<const std::uint8_t> stream, std::uint64_t expected_count);
// The same values narrowed to the column type: 64 bits kept as a bit pattern, or the low 32 or
// 16 bits without a range check.
Result<std::vector<std::uint64_t>> decode_u64(std::span<const std::uint8_t> stream, std::uint64_t expected_count);
Result<std::vector<std::uint32_t>> decode_u32(std::span<const std::uint8_t> stream, std::uint64_t expected_count);
Result<std::vector<std::uint16_t>> decode_u16(std::span<const std::uint8_t> stream, std::uint64_t expected_count);

// Runs every check of the decoders without decoding. A caller that sizes its own output buffer
// from `expected_count` (a header's row count) calls this first, so that a damaged file is refused
// before anything is allocated from it.
Status check_for_stream(std::span<const std::uint8_t> stream, std::uint64_t expected_count);

// Decodes into `out` as little-endian values of `element_width` bytes (2, 4 or 8; narrowed to the
// low bits), value i at bytes [i*element_width, (i+1)*element_width). Runs check_for_stream first;
// `out` must hold at least expected_count * element_width bytes (programmer error otherwise, as is
// any other width). Bytes of `out` past the values are left untouched; on error nothing is written.
Status decode_le_into(std::span<const std::uint8_t> stream, std::uint64_t expected_count, unsigned element_width,
                      std::span<std::uint8_t> out);

// ---- String heap -----------------------------------------------------------------------------

// The packed heap of a raw string table, or nothing when the bytes are not a raw table by length
// (shorter than 8 bytes, a count of 0xFFFFFFFF, or shorter than 8 + 4*N bytes), when its N + 1
// offsets exceed FOR_MAX_VALUES (readers would refuse the offsets' stream), when a part of the
// packed form would not fit its 32-bit length field, or when memory for it cannot be had; the
// offsets' values are not examined. Nothing returned means the caller keeps the raw table.
std::optional<std::vector<std::uint8_t>> pack_heap(std::span<const std::uint8_t> raw_table);

// The raw string table that a packed heap stands for. Errors carry the prefix
// "packed string heap: " ("missing magic", "truncated", "implausible payload length",
// "inflate failed: {}", "payload length disagrees with offsets", "offset out of range"), except
// errors of the offsets' FOR stream, which are returned unchanged. Bytes after the DEFLATE stream
// are ignored.
Result<std::vector<std::uint8_t>> unpack_heap(std::span<const std::uint8_t> packed);

// unpack_heap in two steps, for a caller that provides its own (uninitialised) buffer. The first
// makes every check that comes before the raw table is sized, with the same messages and in the
// same order, and tells its length; the second fills `out` of exactly that length completely (its
// prior contents are never read) and makes the remaining checks. `packed` must be the same bytes
// in both calls; `out` is unspecified on error.
// A caller that knows how many strings the heap must hold (a segment header's strings_count)
// passes `expected_strings`: a heap claiming another count is refused ("has {} strings, header
// expects {}") right after its frame, before its offsets are walked or anything is sized from
// them. A dozen bytes of offsets can otherwise announce a table of a GiB.
struct PackedHeapShape {
    std::size_t table_len = 0;     // bytes of the raw table
    std::uint32_t string_count = 0;
    std::uint32_t payload_len = 0;  // the last offset
};
Result<PackedHeapShape> packed_heap_shape(std::span<const std::uint8_t> packed,
                                          std::optional<std::uint32_t> expected_strings = std::nullopt);
Status unpack_heap_into(std::span<const std::uint8_t> packed, const PackedHeapShape& shape, std::span<std::uint8_t> out);

}  // namespace vorp
