// Vector kernels of the FOR unpacker, selected at run time (see vorp/simd.h). Internal to the
// codec; the scalar kernels in codec.cpp are the reference they must agree with bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorp::detail {

// Decodes whole groups of 8 values of one bit width from `packed` as base + value (wrapping),
// narrowed to the element width, for as many groups of the block's `value_count` values as can be
// read without looking at a byte at or past `stream_end`. Returns the number of values written
// (a multiple of 8); the caller decodes the rest.
using GroupUnpackFn = std::size_t (*)(const std::uint8_t* packed, std::size_t value_count, std::uint64_t base,
                                      std::uint8_t* out, const std::uint8_t* stream_end);

// The AVX2 kernel for `width` bits (1..64) to `element_width` bytes (2, 4 or 8), or nullptr where
// the layout has none (a few widths whose values straddle more than one 64-bit window). Call only
// when the CPU supports AVX2.
GroupUnpackFn avx2_group_unpacker(unsigned width, unsigned element_width);

}  // namespace vorp::detail
