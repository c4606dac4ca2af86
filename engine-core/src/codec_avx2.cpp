// AVX2 FOR unpacking. Eight values of W bits fill exactly W bytes, so every group of eight starts
// on a byte boundary and each value's byte offset and bit shift within its group are compile-time
// constants. A 256-bit register is filled from two 16-byte loads (one per 128-bit lane, since the
// byte shuffle cannot cross lanes); one shuffle moves each value's bytes into its own 32- or 64-bit
// lane, one variable shift per lane drops the bits of the values before it, a mask drops the bits
// after it, and the base is added. Widths whose values fit a 32-bit window from their first byte
// use eight 32-bit lanes per register, the others four 64-bit lanes.
//
// Everything in this file is compiled for AVX2 and has internal linkage, except the table lookup
// at the end, which the codec calls only after checking the CPU.
#include "codec_kernels.h"

#include <immintrin.h>

#include <utility>

namespace vorp::detail {
namespace {

#pragma GCC push_options
#pragma GCC target("avx2,bmi2")

struct ByteTable {
    alignas(32) signed char bytes[32];
};
struct LaneTable {
    alignas(32) long long lanes[4];
};
struct DwordTable {
    alignas(32) int lanes[8];
};

// Byte offset of value k of a group.
constexpr unsigned byte_of(unsigned width, unsigned k) { return k * width / 8; }
constexpr unsigned shift_of(unsigned width, unsigned k) { return k * width % 8; }

// ---- 64-bit lanes: values K..K+3, lanes 0-1 loaded at value K's byte, lanes 2-3 at value K+2's.
template <unsigned W>
constexpr bool fits64() {
    for (unsigned k = 0; k < 8; ++k) {
        if (shift_of(W, k) + W > 64) return false;
        const unsigned first = k & ~1u;
        if (byte_of(W, k) - byte_of(W, first) + 8 > 16) return false;
    }
    return true;
}

template <unsigned W, unsigned K>
constexpr ByteTable shuffle64() {
    ByteTable table{};
    for (unsigned half = 0; half < 2; ++half) {
        const unsigned first = K + 2 * half;
        for (unsigned v = 0; v < 2; ++v) {
            const unsigned start = byte_of(W, first + v) - byte_of(W, first);
            for (unsigned b = 0; b < 8; ++b) table.bytes[16 * half + 8 * v + b] = static_cast<signed char>(start + b);
        }
    }
    return table;
}

template <unsigned W, unsigned K>
constexpr LaneTable shifts64() {
    LaneTable table{};
    for (unsigned v = 0; v < 4; ++v) table.lanes[v] = shift_of(W, K + v);
    return table;
}

// The furthest byte a 64-bit-lane group decode reads, past the group's start (exclusive).
template <unsigned W>
constexpr unsigned reach64() {
    return byte_of(W, 6) + 16;
}

inline __m256i load_pair(const std::uint8_t* low, const std::uint8_t* high) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// The W-bit differences of values K..K+3 of the group at `group`, one per 64-bit lane.
template <unsigned W, unsigned K>
inline __m256i diffs64(const std::uint8_t* group) {
    static constexpr ByteTable shuffle = shuffle64<W, K>();
    static constexpr LaneTable shifts = shifts64<W, K>();
    const __m256i bytes = load_pair(group + byte_of(W, K), group + byte_of(W, K + 2));
    __m256i lanes = _mm256_shuffle_epi8(bytes, _mm256_load_si256(reinterpret_cast<const __m256i*>(shuffle.bytes)));
    lanes = _mm256_srlv_epi64(lanes, _mm256_load_si256(reinterpret_cast<const __m256i*>(shifts.lanes)));
    if constexpr (W < 64) lanes = _mm256_and_si256(lanes, _mm256_set1_epi64x(static_cast<long long>((1ull << W) - 1)));
    return lanes;
}

// ---- 32-bit lanes: values 0-3 loaded at the group's first byte, values 4-7 at value 4's.
template <unsigned W>
constexpr bool fits32() {
    if (W > 32) return false;
    for (unsigned k = 0; k < 8; ++k) {
        if (shift_of(W, k) + W > 32) return false;
        const unsigned first = k & ~3u;
        if (byte_of(W, k) - byte_of(W, first) + 4 > 16) return false;
    }
    return true;
}

template <unsigned W>
constexpr ByteTable shuffle32() {
    ByteTable table{};
    for (unsigned half = 0; half < 2; ++half) {
        const unsigned first = 4 * half;
        for (unsigned v = 0; v < 4; ++v) {
            const unsigned start = byte_of(W, first + v) - byte_of(W, first);
            for (unsigned b = 0; b < 4; ++b) table.bytes[16 * half + 4 * v + b] = static_cast<signed char>(start + b);
        }
    }
    return table;
}

template <unsigned W>
constexpr DwordTable shifts32() {
    DwordTable table{};
    for (unsigned v = 0; v < 8; ++v) table.lanes[v] = static_cast<int>(shift_of(W, v));
    return table;
}

template <unsigned W>
constexpr unsigned reach32() {
    return byte_of(W, 4) + 16;
}

// The W-bit differences of the group's eight values, one per 32-bit lane.
template <unsigned W>
inline __m256i diffs32(const std::uint8_t* group) {
    static constexpr ByteTable shuffle = shuffle32<W>();
    static constexpr DwordTable shifts = shifts32<W>();
    const __m256i bytes = load_pair(group, group + byte_of(W, 4));
    __m256i lanes = _mm256_shuffle_epi8(bytes, _mm256_load_si256(reinterpret_cast<const __m256i*>(shuffle.bytes)));
    lanes = _mm256_srlv_epi32(lanes, _mm256_load_si256(reinterpret_cast<const __m256i*>(shifts.lanes)));
    if constexpr (W < 32) lanes = _mm256_and_si256(lanes, _mm256_set1_epi32(static_cast<int>((1u << W) - 1)));
    return lanes;
}

// ---- narrowing --------------------------------------------------------------------------------

// The low 32 bits of the four 64-bit lanes of a and of b, in order.
inline __m256i narrow_64_to_32(__m256i a, __m256i b) {
    const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256i low_a = _mm256_permutevar8x32_epi32(a, even);
    const __m256i low_b = _mm256_permutevar8x32_epi32(b, even);
    return _mm256_permute2x128_si256(low_a, low_b, 0x20);
}

// The low 16 bits of the eight 32-bit lanes, in order.
inline __m128i narrow_32_to_16(__m256i lanes) {
    const __m256i pick = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                          0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(lanes, pick), 0x08);
    return _mm256_castsi256_si128(packed);
}

// ---- kernels ----------------------------------------------------------------------------------

template <unsigned W>
constexpr bool use32() {
    return fits32<W>();
}

template <unsigned W>
constexpr unsigned reach() {
    return use32<W>() ? reach32<W>() : reach64<W>();
}

template <unsigned W, unsigned ElementWidth>
std::size_t unpack_groups(const std::uint8_t* packed, std::size_t value_count, std::uint64_t base, std::uint8_t* out,
                          const std::uint8_t* stream_end) {
    constexpr unsigned REACH = reach<W>();
    const std::size_t readable = static_cast<std::size_t>(stream_end - packed);
    std::size_t groups = value_count / 8;
    const std::size_t safe = readable >= REACH ? (readable - REACH) / W + 1 : 0;
    if (safe < groups) groups = safe;

    const std::uint8_t* group = packed;
    if constexpr (W == 64 && ElementWidth == 8) {
        // Whole words: nothing to shift or mask.
        const __m256i base64 = _mm256_set1_epi64x(static_cast<long long>(base));
        for (std::size_t group_idx = 0; group_idx < groups; ++group_idx, group += W, out += 64) {
            const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group));
            const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group + 32));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_add_epi64(lo, base64));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_add_epi64(hi, base64));
        }
    } else if constexpr (W == 32 && ElementWidth == 4) {
        const __m256i base32 = _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(base)));
        for (std::size_t group_idx = 0; group_idx < groups; ++group_idx, group += W, out += 32) {
            const __m256i lanes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_add_epi32(lanes, base32));
        }
    } else if constexpr (use32<W>()) {
        const __m256i base32 = _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(base)));
        const __m256i base64 = _mm256_set1_epi64x(static_cast<long long>(base));
        for (std::size_t group_idx = 0; group_idx < groups; ++group_idx, group += W) {
            const __m256i diffs = diffs32<W>(group);
            if constexpr (ElementWidth == 8) {
                const __m256i lo = _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(diffs)), base64);
                const __m256i hi = _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(diffs, 1)), base64);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), lo);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), hi);
            } else if constexpr (ElementWidth == 4) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_add_epi32(diffs, base32));
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), narrow_32_to_16(_mm256_add_epi32(diffs, base32)));
            }
            out += 8 * ElementWidth;
        }
    } else {
        const __m256i base64 = _mm256_set1_epi64x(static_cast<long long>(base));
        for (std::size_t group_idx = 0; group_idx < groups; ++group_idx, group += W) {
            const __m256i lo = _mm256_add_epi64(diffs64<W, 0>(group), base64);
            const __m256i hi = _mm256_add_epi64(diffs64<W, 4>(group), base64);
            if constexpr (ElementWidth == 8) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), lo);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), hi);
            } else if constexpr (ElementWidth == 4) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), narrow_64_to_32(lo, hi));
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), narrow_32_to_16(narrow_64_to_32(lo, hi)));
            }
            out += 8 * ElementWidth;
        }
    }
    return groups * 8;
}

template <unsigned W, unsigned ElementWidth>
constexpr GroupUnpackFn kernel_for() {
    if constexpr (use32<W>() || fits64<W>()) {
        return &unpack_groups<W, ElementWidth>;
    } else {
        return nullptr;
    }
}

struct KernelTable {
    GroupUnpackFn by_width[65];
};

template <unsigned ElementWidth, unsigned... W>
constexpr KernelTable make_table(std::integer_sequence<unsigned, W...>) {
    return KernelTable{{nullptr, kernel_for<W + 1, ElementWidth>()...}};
}

#pragma GCC pop_options

}  // namespace

GroupUnpackFn avx2_group_unpacker(unsigned width, unsigned element_width) {
    static constexpr KernelTable TO_2 = make_table<2>(std::make_integer_sequence<unsigned, 64>{});
    static constexpr KernelTable TO_4 = make_table<4>(std::make_integer_sequence<unsigned, 64>{});
    static constexpr KernelTable TO_8 = make_table<8>(std::make_integer_sequence<unsigned, 64>{});
    if (width == 0 || width > 64) return nullptr;
    switch (element_width) {
        case 2: return TO_2.by_width[width];
        case 4: return TO_4.by_width[width];
        case 8: return TO_8.by_width[width];
        default: return nullptr;
    }
}

}  // namespace vorp::detail
