#include <gtest/gtest.h>
#include <libdeflate.h>
#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "vorp/codec.h"
#include "vorp/simd.h"

namespace vorp {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

Bytes from_hex(std::string_view hex) {
    Bytes out;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(at, 2)), nullptr, 16)));
    return out;
}

void put_u32(Bytes& out, std::uint32_t value) {
    for (int byte_idx = 0; byte_idx < 4; ++byte_idx) out.push_back(static_cast<std::uint8_t>(value >> (8 * byte_idx)));
}
void put_u64(Bytes& out, std::uint64_t value) {
    for (int byte_idx = 0; byte_idx < 8; ++byte_idx) out.push_back(static_cast<std::uint8_t>(value >> (8 * byte_idx)));
}

// An independent, bit-at-a-time encoder with any block length: the layout written out literally.
Bytes reference_encode(const std::vector<std::int64_t>& values, std::uint32_t block_len) {
    Bytes out;
    put_u32(out, static_cast<std::uint32_t>(values.size()));
    put_u32(out, block_len);
    for (std::size_t start = 0; start < values.size(); start += block_len) {
        const std::size_t end = std::min(values.size(), start + block_len);
        std::int64_t base = values[start];
        for (std::size_t idx = start; idx < end; ++idx) base = std::min(base, values[idx]);
        std::uint64_t largest = 0;
        for (std::size_t idx = start; idx < end; ++idx)
            largest = std::max(largest, static_cast<std::uint64_t>(values[idx]) - static_cast<std::uint64_t>(base));
        unsigned width = 0;
        for (unsigned bit = 0; bit < 64; ++bit)
            if ((largest >> bit) & 1) width = bit + 1;
        put_u64(out, static_cast<std::uint64_t>(base));
        out.push_back(static_cast<std::uint8_t>(width));
        const std::size_t packed_at = out.size();
        out.resize(packed_at + ((end - start) * width + 7) / 8, 0);
        std::uint64_t stream_bit = 0;
        for (std::size_t idx = start; idx < end; ++idx) {
            const std::uint64_t diff = static_cast<std::uint64_t>(values[idx]) - static_cast<std::uint64_t>(base);
            for (unsigned bit = 0; bit < width; ++bit, ++stream_bit)
                out[packed_at + stream_bit / 8] |= static_cast<std::uint8_t>(((diff >> bit) & 1) << (stream_bit % 8));
        }
    }
    return out;
}

// A column whose every block of 4096 spans exactly `width` bits: random differences below 2^width
// from a random base, with one value at the largest difference.
std::vector<std::int64_t> random_column(std::mt19937_64& rng, std::size_t count, unsigned width) {
    const std::uint64_t mask = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    std::vector<std::int64_t> values(count);
    std::uint64_t base = rng();
    // Keep base + mask at or below the signed maximum, so that base stays the signed minimum.
    if (width == 64) {
        base = static_cast<std::uint64_t>(I64_MIN);
    } else if (static_cast<std::uint64_t>(I64_MAX) - base < mask) {
        base -= mask + 1;
    }
    for (std::size_t idx = 0; idx < count; ++idx) values[idx] = static_cast<std::int64_t>(base + (rng() & mask));
    for (std::size_t block = 0; block < count; block += FOR_BLOCK_LEN) {
        const std::size_t span = std::min<std::size_t>(FOR_BLOCK_LEN, count - block);
        const std::size_t lowest_at = rng() % span;
        values[block + lowest_at] = static_cast<std::int64_t>(base);
        values[block + (lowest_at + 1) % span] = static_cast<std::int64_t>(base + mask);
        values[block + lowest_at] = static_cast<std::int64_t>(base);
    }
    return values;
}

void expect_corrupt(const EngineError& error, const std::string& message) {
    EXPECT_EQ(error.category, Category::Corrupt);
    EXPECT_EQ(error.message, message);
    EXPECT_EQ(error.remedy, std::string(RESTORE_REMEDY));
    EXPECT_EQ(error.location, Location{});
}

// ---- FOR: exact bytes --------------------------------------------------------------------------

TEST(ForStream, SmallStreamsHaveExactBytes) {
    struct Case {
        std::vector<std::int64_t> values;
        std::string hex;
    };
    const Case cases[] = {
        {{}, "0000000000100000"},
        {{7}, "0100000000100000" "0700000000000000" "00"},
        {{0, 1, 2, 3}, "0400000000100000" "0000000000000000" "02" "e4"},
        {{I64_MIN, I64_MAX}, "0200000000100000" "0000000000000080" "40" "0000000000000000ffffffffffffffff"},
        // Negative base, differences 0, 5, 2 in 3 bits: 000 101 010 -> 0b0_1010_1000 = a8 00
        {{-9, -4, -7}, "0300000000100000" "f7ffffffffffffff" "03" "a800"},
    };
    for (const Case& test_case : cases) {
        const Bytes encoded = encode_i64(test_case.values);
        EXPECT_EQ(encoded, from_hex(test_case.hex)) << test_case.hex;
        const auto decoded = decode_i64(encoded, test_case.values.size());
        ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
        EXPECT_EQ(*decoded, test_case.values);
    }
}

TEST(ForStream, BlockSizesFollowWidths) {
    const std::vector<std::int64_t> equal(4096, -42);
    EXPECT_EQ(encode_i64(equal).size(), 17u);

    std::vector<std::int64_t> one_more(4097, 5);
    const Bytes two_blocks = encode_i64(one_more);
    ASSERT_EQ(two_blocks.size(), 26u);
    EXPECT_EQ(two_blocks[8 + 8], 0);   // first block width
    EXPECT_EQ(two_blocks[17 + 8], 0);  // second block: one value, width 0

    std::vector<std::int64_t> alternating(4096);
    for (std::size_t idx = 0; idx < alternating.size(); ++idx) alternating[idx] = static_cast<std::int64_t>(idx % 2);
    const Bytes alternating_stream = encode_i64(alternating);
    ASSERT_EQ(alternating_stream.size(), 529u);
    EXPECT_EQ(alternating_stream[16], 1);
    for (std::size_t byte_idx = 17; byte_idx < alternating_stream.size(); ++byte_idx) ASSERT_EQ(alternating_stream[byte_idx], 0xaa);
    EXPECT_EQ(decode_i64(alternating_stream, 4096).value(), alternating);

    // A single value at the extreme of a block still has width 0.
    std::vector<std::int64_t> column(4097, 0);
    column[0] = I64_MIN;
    column[1] = I64_MAX;
    column[4096] = I64_MAX;
    const Bytes stream = encode_i64(column);
    EXPECT_EQ(stream[16], 64);
    EXPECT_EQ(stream[8 + 9 + 4096 * 8 + 8], 0);
    EXPECT_EQ(decode_i64(stream, column.size()).value(), column);
}

// ---- FOR: round trips ------------------------------------------------------------------------

TEST(ForStream, RandomColumnsOfEveryWidthRoundTrip) {
    // Counts chosen to leave the last block partly filled, and groups of eight incomplete.
    const std::size_t counts[] = {1, 2, 7, 8, 9, 63, 4095, 4096, 4097, 3 * 4096 + 123};
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        std::mt19937_64 rng(seed);
        for (unsigned width = 0; width <= 64; ++width) {
            for (std::size_t count : counts) {
                const std::vector<std::int64_t> values = random_column(rng, count, width);
                const Bytes encoded = encode_i64(values);
                ASSERT_EQ(encoded, reference_encode(values, FOR_BLOCK_LEN)) << "width " << width << " count " << count;
                if (count > 1) {
                    ASSERT_EQ(encoded[16], width);
                }
                const auto decoded = decode_i64(encoded, count);
                ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
                ASSERT_EQ(*decoded, values) << "width " << width << " count " << count << " seed " << seed;
            }
        }
    }
}

TEST(ForStream, UnsignedColumnsZeroExtendAndNarrow) {
    std::mt19937_64 rng(99);
    for (unsigned width = 0; width <= 64; width += 3) {
        const std::vector<std::int64_t> values = random_column(rng, 5000, width);
        std::vector<std::uint64_t> as_u64(values.begin(), values.end());
        std::vector<std::uint32_t> as_u32(values.size());
        std::vector<std::uint16_t> as_u16(values.size());
        for (std::size_t idx = 0; idx < values.size(); ++idx) {
            as_u32[idx] = static_cast<std::uint32_t>(values[idx]);
            as_u16[idx] = static_cast<std::uint16_t>(values[idx]);
        }
        const Bytes stream = encode_i64(values);
        EXPECT_EQ(encode_u64(as_u64), stream);
        EXPECT_EQ(decode_u64(stream, values.size()).value(), as_u64);
        EXPECT_EQ(decode_u32(stream, values.size()).value(), as_u32);
        EXPECT_EQ(decode_u16(stream, values.size()).value(), as_u16);

        // 32- and 16-bit columns are zero-extended: the stream is that of the widened values.
        std::vector<std::int64_t> widened32(as_u32.begin(), as_u32.end());
        std::vector<std::int64_t> widened16(as_u16.begin(), as_u16.end());
        const Bytes stream32 = encode_u32(as_u32);
        EXPECT_EQ(stream32, encode_i64(widened32));
        EXPECT_EQ(stream32, encode_le({reinterpret_cast<const std::uint8_t*>(as_u32.data()), as_u32.size() * 4}, 4));
        EXPECT_EQ(encode_u16(as_u16), encode_i64(widened16));
        EXPECT_EQ(encode_u16(as_u16), encode_le({reinterpret_cast<const std::uint8_t*>(as_u16.data()), as_u16.size() * 2}, 2));
        EXPECT_EQ(stream, encode_le({reinterpret_cast<const std::uint8_t*>(values.data()), values.size() * 8}, 8));
        EXPECT_EQ(decode_u32(stream32, as_u32.size()).value(), as_u32);
    }
}

TEST(ForStream, DecodeIntoWritesNarrowedLittleEndianValuesOnly) {
    const std::vector<std::int64_t> values = {0x1122334455667788, 0x1122334455667789, -1};
    const Bytes stream = encode_i64(values);
    for (unsigned element_width : {2u, 4u, 8u}) {
        Bytes out(values.size() * element_width + 3, 0xee);
        ASSERT_TRUE(decode_le_into(stream, values.size(), element_width, out).has_value());
        for (std::size_t idx = 0; idx < values.size(); ++idx) {
            std::uint64_t expected = static_cast<std::uint64_t>(values[idx]);
            std::uint64_t got = 0;
            std::memcpy(&got, out.data() + idx * element_width, element_width);
            if (element_width < 8) expected &= (std::uint64_t{1} << (8 * element_width)) - 1;
            EXPECT_EQ(got, expected);
        }
        for (std::size_t idx = values.size() * element_width; idx < out.size(); ++idx) EXPECT_EQ(out[idx], 0xee);
    }
    Bytes out(4, 0);
    expect_corrupt(decode_le_into(stream, 2, 2, out).error(), "FOR stream: has 3 values, column expects 2");
}

TEST(ForStream, OtherBlockLengthsDecode) {
    // Block lengths an encoder other than ours might choose, over widths that exercise unaligned
    // groups, blocks ending mid-group and blocks ending at the very end of the stream.
    std::mt19937_64 rng(7);
    for (std::uint32_t block_len : {1u, 3u, 8u, 13u, 1000u, 5000u, FOR_MAX_BLOCK_LEN}) {
        for (unsigned width : {0u, 1u, 5u, 8u, 31u, 57u, 58u, 63u, 64u}) {
            const std::vector<std::int64_t> values = random_column(rng, 2 * block_len + 5 > 9000 ? 9000 : 2 * block_len + 5, width);
            const Bytes stream = reference_encode(values, block_len);
            const auto decoded = decode_i64(stream, values.size());
            ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
            ASSERT_EQ(*decoded, values) << "block " << block_len << " width " << width;
        }
    }
}

// A copy of `bytes` that ends exactly where an inaccessible page begins: a kernel that reads a
// byte past the end faults instead of passing by luck.
class GuardedCopy {
public:
    explicit GuardedCopy(const Bytes& bytes) {
        const std::size_t page = 4096;
        data_len_ = (bytes.size() + page - 1) / page * page;
        map_len_ = data_len_ + page;
        void* base = ::mmap(nullptr, map_len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) std::abort();
        base_ = static_cast<std::uint8_t*>(base);
        ::mprotect(base_ + data_len_, page, PROT_NONE);
        begin_ = base_ + data_len_ - bytes.size();
        if (!bytes.empty()) std::memcpy(begin_, bytes.data(), bytes.size());
        size_ = bytes.size();
    }
    ~GuardedCopy() { ::munmap(base_, map_len_); }
    std::span<const std::uint8_t> span() const { return {begin_, size_}; }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* begin_ = nullptr;
    std::size_t size_ = 0, data_len_ = 0, map_len_ = 0;
};

std::size_t kernel_seed_count() {
    const char* text = std::getenv("VORP_KERNEL_SEEDS");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 2;
}

TEST(ForStream, VectorAndScalarKernelsAgreeWithTheLayout) {
    // Every width to every element width, through whichever kernel the CPU dispatches to and
    // through the forced scalar one, against the bit-at-a-time encoder's values narrowed by hand.
    // Block lengths that end blocks mid-group and streams that end at a guard page exercise the
    // hand-over from whole vector groups to the scalar tail.
    for (std::size_t seed = 0; seed < kernel_seed_count(); ++seed) {
        std::mt19937_64 rng(1000 + seed);
        for (unsigned width = 0; width <= 64; ++width) {
            const std::uint32_t block_len = std::array<std::uint32_t, 4>{8, 13, 1000, 4096}[rng() % 4];
            const std::size_t count = 2 * block_len + rng() % 70;
            const std::vector<std::int64_t> values = random_column(rng, count, width);
            const GuardedCopy stream(reference_encode(values, block_len));
            for (unsigned element_width : {2u, 4u, 8u}) {
                Bytes expected(count * element_width);
                for (std::size_t idx = 0; idx < count; ++idx)
                    std::memcpy(expected.data() + idx * element_width, &values[idx], element_width);
                for (bool scalar : {false, true}) {
                    force_scalar_kernels(scalar);
                    Bytes out(count * element_width + 3, 0xAB);
                    const Status decoded = decode_le_into(stream.span(), count, element_width, out);
                    force_scalar_kernels(false);
                    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
                    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count * element_width)), expected)
                        << "width " << width << " to " << element_width << " bytes, block " << block_len
                        << (scalar ? ", scalar" : ", dispatched");
                    EXPECT_EQ(Bytes(out.end() - 3, out.end()), Bytes(3, 0xAB));
                }
            }
        }
    }
}

// ---- FOR: malformed streams ------------------------------------------------------------------

Bytes stream_header(std::uint32_t count, std::uint32_t block_len) {
    Bytes out;
    put_u32(out, count);
    put_u32(out, block_len);
    return out;
}

Bytes with_block(Bytes stream, std::int64_t base, std::uint8_t width, std::size_t packed_bytes) {
    put_u64(stream, static_cast<std::uint64_t>(base));
    stream.push_back(width);
    stream.resize(stream.size() + packed_bytes, 0);
    return stream;
}

// 4096 width-0 blocks of the largest block length: a well-formed stream of 36,872 bytes that
// claims 4,294,967,295 values.
Bytes huge_claim() {
    Bytes stream = stream_header(0xFFFFFFFFu, FOR_MAX_BLOCK_LEN);
    for (int block_idx = 0; block_idx < 4096; ++block_idx) stream = with_block(std::move(stream), 1, 0, 0);
    return stream;
}

TEST(ForStream, MalformedStreamsAreCorrupt) {
    const Bytes good = encode_i64(std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // width 4, 5 bytes
    Bytes bad_second_width = with_block(stream_header(6, 3), 0, 2, 1);
    bad_second_width = with_block(std::move(bad_second_width), 0, 65, 0);
    struct Case {
        const char* name;
        Bytes stream;
        std::uint64_t expected_count;
        std::string message;
    };
    const Case cases[] = {
        {"empty", {}, 0, "FOR stream: truncated"},
        {"count cut", {1, 0, 0}, 1, "FOR stream: truncated"},
        {"block length cut", {1, 0, 0, 0, 0, 0x10, 0}, 1, "FOR stream: truncated"},
        {"count mismatch precedes blocks", stream_header(3, 4096), 2, "FOR stream: has 3 values, column expects 2"},
        {"count mismatch precedes the block length", stream_header(3, 0), 2, "FOR stream: has 3 values, column expects 2"},
        {"count mismatch, large expectation", stream_header(0, 4096), 4294967296ull,
         "FOR stream: has 0 values, column expects 4294967296"},
        {"block length 0", stream_header(0, 0), 0, "FOR stream: implausible block length 0"},
        {"block length too large", stream_header(1, FOR_MAX_BLOCK_LEN + 1), 1, "FOR stream: implausible block length 1048577"},
        {"no block header", stream_header(1, 4096), 1, "FOR stream: truncated"},
        {"block header cut", Bytes(good.begin(), good.begin() + 16), 10, "FOR stream: truncated"},
        {"packed bytes one short", Bytes(good.begin(), good.end() - 1), 10, "FOR stream: truncated"},
        {"width 65", with_block(stream_header(2, 4096), 0, 65, 100), 2, "FOR stream: impossible bit width 65"},
        {"width 255", with_block(stream_header(2, 4096), 0, 255, 100), 2, "FOR stream: impossible bit width 255"},
        {"bad width in second block", bad_second_width, 6, "FOR stream: impossible bit width 65"},
        {"second block missing", with_block(stream_header(6, 3), 0, 2, 1), 6, "FOR stream: truncated"},
        {"implausible count", huge_claim(), 0xFFFFFFFFull, "FOR stream: implausible value count 4294967295"},
        {"over the ceiling and cut", with_block(stream_header(FOR_MAX_VALUES + 1, FOR_MAX_BLOCK_LEN), 0, 0, 0), FOR_MAX_VALUES + 1,
         "FOR stream: truncated"},
    };
    for (const Case& test_case : cases) {
        const auto decoded = decode_i64(test_case.stream, test_case.expected_count);
        ASSERT_FALSE(decoded.has_value()) << test_case.name;
        expect_corrupt(decoded.error(), test_case.message);
        const auto checked = check_for_stream(test_case.stream, test_case.expected_count);
        ASSERT_FALSE(checked.has_value()) << test_case.name;
        EXPECT_EQ(checked.error().message, test_case.message) << test_case.name;
        EXPECT_FALSE(decode_u16(test_case.stream, test_case.expected_count).has_value()) << test_case.name;
    }
}

TEST(ForStream, ValueCountCeiling) {
    // One past the ceiling, in a stream that is otherwise complete.
    Bytes over = stream_header(static_cast<std::uint32_t>(FOR_MAX_VALUES + 1), FOR_MAX_BLOCK_LEN);
    for (std::uint64_t block_idx = 0; block_idx < FOR_MAX_VALUES / FOR_MAX_BLOCK_LEN; ++block_idx) over = with_block(std::move(over), 0, 0, 0);
    over = with_block(std::move(over), 0, 0, 0);
    expect_corrupt(check_for_stream(over, FOR_MAX_VALUES + 1).error(), "FOR stream: implausible value count 268435457");
    // At the ceiling the stream is acceptable (checked only; decoding would need 2 GiB).
    Bytes at = stream_header(static_cast<std::uint32_t>(FOR_MAX_VALUES), FOR_MAX_BLOCK_LEN);
    for (std::uint64_t block_idx = 0; block_idx < FOR_MAX_VALUES / FOR_MAX_BLOCK_LEN; ++block_idx) at = with_block(std::move(at), 0, 0, 0);
    EXPECT_TRUE(check_for_stream(at, FOR_MAX_VALUES).has_value());
}

TEST(ForStream, EveryPrefixIsTruncatedAndTrailingBytesAreIgnored) {
    std::mt19937_64 rng(3);
    std::vector<std::int64_t> values = random_column(rng, 4096 + 100, 13);
    const Bytes stream = encode_i64(values);
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
        const auto decoded = decode_i64(std::span(stream).first(cut), values.size());
        ASSERT_FALSE(decoded.has_value());
        ASSERT_EQ(decoded.error().message, "FOR stream: truncated") << cut;
    }
    Bytes extended = stream;
    extended.insert(extended.end(), {0xff, 0xff, 0xff});
    EXPECT_EQ(decode_i64(extended, values.size()).value(), values);
    // Block length at the accepted maximum.
    const Bytes max_block = with_block(stream_header(5, FOR_MAX_BLOCK_LEN), -3, 0, 0);
    EXPECT_EQ(decode_i64(max_block, 5).value(), std::vector<std::int64_t>(5, -3));
    EXPECT_TRUE(decode_i64(encode_i64(std::vector<std::int64_t>{}), 0).value().empty());
}

// ---- String heap -----------------------------------------------------------------------------

Bytes raw_table(const std::vector<std::string>& texts) {
    Bytes out;
    put_u32(out, static_cast<std::uint32_t>(texts.size()));
    std::uint32_t running = 0;
    put_u32(out, 0);
    for (const std::string& text : texts) put_u32(out, running += static_cast<std::uint32_t>(text.size()));
    for (const std::string& text : texts) out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes deflate(const Bytes& payload) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    Bytes out(libdeflate_deflate_compress_bound(compressor, payload.size()));
    out.resize(libdeflate_deflate_compress(compressor, payload.data(), payload.size(), out.data(), out.size()));
    libdeflate_free_compressor(compressor);
    return out;
}

Bytes offsets_stream(std::vector<std::int64_t> offsets) { return encode_i64(offsets); }

Bytes make_heap(std::uint32_t string_count, const Bytes& for_stream, const Bytes& deflated) {
    Bytes out;
    put_u32(out, PACKED_HEAP_MARKER);
    put_u32(out, string_count);
    put_u32(out, static_cast<std::uint32_t>(for_stream.size()));
    put_u32(out, static_cast<std::uint32_t>(deflated.size()));
    out.insert(out.end(), for_stream.begin(), for_stream.end());
    out.insert(out.end(), deflated.begin(), deflated.end());
    return out;
}

TEST(StringHeap, PackedLayoutAndRoundTrip) {
    std::mt19937_64 rng(5);
    std::vector<std::string> many;
    for (int text_idx = 0; text_idx < 20000; ++text_idx) many.push_back("node-" + std::to_string(rng() % 5000) + std::string(rng() % 7, 'x'));
    const std::vector<std::vector<std::string>> tables = {{}, {""}, {"", "alice", "bob", "{\"name\":\"é\"}"}, many};
    for (const auto& texts : tables) {
        const Bytes raw = raw_table(texts);
        const std::optional<Bytes> packed = pack_heap(raw);
        ASSERT_TRUE(packed.has_value());
        const Bytes& heap = *packed;
        ASSERT_GE(heap.size(), 16u);
        std::uint32_t fields[4];
        std::memcpy(fields, heap.data(), 16);
        EXPECT_EQ(fields[0], 0xFFFFFFFFu);
        EXPECT_EQ(fields[1], texts.size());
        std::vector<std::uint32_t> offsets(texts.size() + 1);
        std::memcpy(offsets.data(), raw.data() + 4, offsets.size() * 4);
        EXPECT_EQ(Bytes(heap.begin() + 16, heap.begin() + 16 + fields[2]), encode_u32(offsets));
        EXPECT_EQ(16u + fields[2] + fields[3], heap.size());
        const auto unpacked = unpack_heap(heap);
        ASSERT_TRUE(unpacked.has_value()) << unpacked.error().message;
        EXPECT_EQ(*unpacked, raw);
        Bytes extended = heap;
        extended.push_back(0x5a);
        EXPECT_EQ(unpack_heap(extended).value(), raw);
    }
    // Offsets are carried as they are, in any order.
    Bytes unordered;
    put_u32(unordered, 2);
    for (std::uint32_t offset : {3u, 0u, 4u}) put_u32(unordered, offset);
    unordered.insert(unordered.end(), {'a', 'b', 'c', 'd'});
    EXPECT_EQ(unpack_heap(pack_heap(unordered).value()).value(), unordered);
}

TEST(StringHeap, MalformedRawTablesAreNotPacked) {
    EXPECT_FALSE(pack_heap(Bytes{}).has_value());
    EXPECT_FALSE(pack_heap(Bytes(7, 0)).has_value());
    Bytes marker_count;
    put_u32(marker_count, 0xFFFFFFFFu);
    put_u32(marker_count, 0);
    EXPECT_FALSE(pack_heap(marker_count).has_value());
    Bytes short_offsets = raw_table({"a", "b"});
    short_offsets.resize(8 + 4 * 2 - 1);
    EXPECT_FALSE(pack_heap(short_offsets).has_value());
    short_offsets.push_back(0);  // exactly 8 + 4N: empty payload, offset values not examined
    EXPECT_TRUE(pack_heap(short_offsets).has_value());
}

TEST(StringHeap, TablesPastTheValueCeilingStayRaw) {
    // A raw table of 2^28 strings: its 2^28 + 1 offsets would make a stream readers refuse. Only the
    // count is read before refusing, so the 1 GiB image can be an untouched anonymous mapping.
    const std::size_t size = 8 + 4 * static_cast<std::size_t>(FOR_MAX_VALUES);
    void* region = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    const std::uint32_t count = static_cast<std::uint32_t>(FOR_MAX_VALUES);
    std::memcpy(region, &count, 4);
    EXPECT_FALSE(pack_heap({static_cast<const std::uint8_t*>(region), size}).has_value());
    ::munmap(region, size);
}

TEST(StringHeap, MalformedHeapsAreCorrupt) {
    const Bytes payload = {'a', 'b', 'c', 'd', 'e'};
    const Bytes deflated = deflate(payload);
    const Bytes good = make_heap(2, offsets_stream({0, 2, 5}), deflated);
    ASSERT_EQ(unpack_heap(good).value(), (Bytes{2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}));
    Bytes wrong_marker = good;
    wrong_marker[0] = 0xfe;
    Bytes garbage(8, 0xff);
    Bytes long_payload(100000, 'z');
    struct Case {
        const char* name;
        Bytes heap;
        std::string message;
    };
    const Case cases[] = {
        {"empty", {}, "packed string heap: missing magic"},
        {"15 bytes", Bytes(good.begin(), good.begin() + 15), "packed string heap: missing magic"},
        {"wrong marker", wrong_marker, "packed string heap: missing magic"},
        {"cut deflate stream", Bytes(good.begin(), good.end() - 1), "packed string heap: truncated"},
        {"empty deflate stream", make_heap(2, offsets_stream({0, 2, 5}), {}), "packed string heap: inflate failed: invalid deflate data"},
        {"offsets count", make_heap(3, offsets_stream({0, 2, 5}), deflated), "FOR stream: has 3 values, column expects 4"},
        {"offsets cut", make_heap(2, Bytes{3, 0, 0, 0, 0, 16, 0}, deflated), "FOR stream: truncated"},
        {"negative payload length", make_heap(2, offsets_stream({0, 2, -1}), deflated), "packed string heap: implausible payload length"},
        {"payload length past 32 bits", make_heap(2, offsets_stream({0, 2, 4294967296}), deflated), "packed string heap: implausible payload length"},
        {"more than the stream can inflate to", make_heap(2, offsets_stream({0, 2, 4000000000}), deflated),
         "packed string heap: implausible payload length"},
        {"garbage deflate", make_heap(2, offsets_stream({0, 2, 5}), garbage), "packed string heap: inflate failed: invalid deflate data"},
        {"payload longer than announced", make_heap(2, offsets_stream({0, 2, 4}), deflated),
         "packed string heap: inflate failed: output longer than expected"},
        {"payload shorter than announced", make_heap(2, offsets_stream({0, 2, 6}), deflated),
         "packed string heap: payload length disagrees with offsets"},
        {"inner offset past the payload", make_heap(2, offsets_stream({0, 6, 5}), deflated), "packed string heap: offset out of range"},
        {"inner offset negative", make_heap(2, offsets_stream({-1, 2, 5}), deflated), "packed string heap: offset out of range"},
    };
    for (const Case& test_case : cases) {
        const auto unpacked = unpack_heap(test_case.heap);
        ASSERT_FALSE(unpacked.has_value()) << test_case.name;
        expect_corrupt(unpacked.error(), test_case.message);
    }
    // F + D past the end of the bytes.
    Bytes overlong = good;
    overlong[12] = 0xff;
    expect_corrupt(unpack_heap(overlong).error(), "packed string heap: truncated");
    // A densely compressed payload is accepted.
    const Bytes dense = deflate(long_payload);
    EXPECT_TRUE(unpack_heap(make_heap(1, offsets_stream({0, 100000}), dense)).has_value());
    // Offsets may announce up to 1032 bytes per DEFLATE byte plus 64 (the most DEFLATE can expand
    // to): at that bound the stream is inflated (and falls short of the claim), one byte past it
    // the claim is refused before anything is allocated.
    const std::int64_t bound = static_cast<std::int64_t>(1032 * dense.size() + 64);
    ASSERT_GT(bound, 100000);
    expect_corrupt(unpack_heap(make_heap(1, offsets_stream({0, bound}), dense)).error(),
                   "packed string heap: payload length disagrees with offsets");
    expect_corrupt(unpack_heap(make_heap(1, offsets_stream({0, bound + 1}), dense)).error(),
                   "packed string heap: implausible payload length");
}

// Offsets in a block whose width reaches past 32 bits, which no writer makes: decoded straight to
// 32 bits they would be narrowed, so a value of 2^32 + 2 must still be refused rather than read as 2.
TEST(StringHeap, WideOffsetBlocksAreCheckedOnTheirFullValues) {
    const auto wide_offsets = [](std::uint64_t base, std::vector<std::uint64_t> differences) {
        Bytes stream;
        put_u32(stream, static_cast<std::uint32_t>(differences.size()));
        put_u32(stream, FOR_BLOCK_LEN);
        for (int byte_idx = 0; byte_idx < 8; ++byte_idx) stream.push_back(static_cast<std::uint8_t>(base >> (8 * byte_idx)));
        stream.push_back(40);
        Bytes packed((differences.size() * 40 + 7) / 8 + 8, 0);
        for (std::size_t value_idx = 0; value_idx < differences.size(); ++value_idx)
            for (unsigned bit = 0; bit < 40; ++bit)
                if ((differences[value_idx] >> bit) & 1) packed[(value_idx * 40 + bit) / 8] |= 1 << ((value_idx * 40 + bit) % 8);
        packed.resize((differences.size() * 40 + 7) / 8);
        stream.insert(stream.end(), packed.begin(), packed.end());
        return stream;
    };
    const Bytes deflated = deflate(Bytes{'a', 'b', 'c', 'd', 'e'});
    const Bytes expected = {2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(unpack_heap(make_heap(2, wide_offsets(0, {0, 2, 5}), deflated)).value(), expected);
    expect_corrupt(unpack_heap(make_heap(2, wide_offsets(0, {0, (std::uint64_t{1} << 32) + 2, 5}), deflated)).error(),
                   "packed string heap: offset out of range");
    // Narrow blocks whose range passes the payload's end are checked value by value.
    expect_corrupt(unpack_heap(make_heap(3, offsets_stream({0, 2, 6, 5}), deflated)).error(),
                   "packed string heap: offset out of range");
}

TEST(StringHeap, DamagedHeapsNeverCrash) {
    std::vector<std::string> texts;
    for (int text_idx = 0; text_idx < 300; ++text_idx) texts.push_back("text " + std::to_string(text_idx * 7919));
    const Bytes heap = pack_heap(raw_table(texts)).value();
    for (std::size_t cut = 0; cut < heap.size(); ++cut) {
        const auto unpacked = unpack_heap(std::span(heap).first(cut));
        ASSERT_FALSE(unpacked.has_value()) << cut;
        ASSERT_EQ(unpacked.error().category, Category::Corrupt);
    }
    for (std::size_t byte_idx = 0; byte_idx < heap.size(); ++byte_idx) {
        for (std::uint8_t flip : {0x01, 0x80, 0xff}) {
            Bytes damaged = heap;
            damaged[byte_idx] ^= flip;
            const auto unpacked = unpack_heap(damaged);
            if (!unpacked.has_value()) {
                ASSERT_EQ(unpacked.error().category, Category::Corrupt) << unpacked.error().message;
            }
        }
    }
}

}  // namespace
}  // namespace vorp
