#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "vorp/checksum.h"

namespace vorp {
namespace {

// Bit-at-a-time CRC-32C (reflected polynomial 0x82F63B78, initial value and final inversion all
// ones): the definition, to check the accelerated one against.
std::uint32_t reference_crc32c(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t byte_idx = 0; byte_idx < size; ++byte_idx) {
        crc ^= bytes[byte_idx];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
    }
    return ~crc;
}

TEST(Crc32c, StandardCheckValue) { EXPECT_EQ(crc32c("123456789"), 0xe3069283u); }

TEST(Crc32c, KnownVectors) {
    // iSCSI test patterns: 32 zero bytes, 32 0xFF bytes, 32 ascending bytes.
    const std::string zeros(32, '\0');
    const std::string ones(32, '\xff');
    std::string ascending;
    for (int i = 0; i < 32; ++i) ascending.push_back(static_cast<char>(i));
    EXPECT_EQ(crc32c(""), 0u);
    EXPECT_EQ(crc32c(zeros), 0x8a9136aau);
    EXPECT_EQ(crc32c(ones), 0x62a8ab43u);
    EXPECT_EQ(crc32c(ascending), 0x46dd794eu);
}

TEST(Crc32c, MatchesTheDefinitionAtAnyAlignmentAndLength) {
    // Extents and string tables start at arbitrary addresses of a map and have arbitrary lengths.
    std::mt19937_64 rng(17);
    std::vector<std::uint8_t> bytes(70000);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    for (std::size_t start = 0; start < 16; ++start) {
        for (std::size_t size : {0u, 1u, 3u, 7u, 8u, 15u, 16u, 31u, 63u, 64u, 65u, 255u, 256u, 1000u, 4097u, 65536u}) {
            ASSERT_EQ(crc32c(bytes.data() + start, size), reference_crc32c(bytes.data() + start, size))
                << "start " << start << " size " << size;
        }
    }
}

TEST(Sha256, DigestAndReusableContextAgree) {
    EXPECT_EQ(to_hex(Sha256::digest("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256 context;
    context.update("a");
    context.update("bc");
    EXPECT_EQ(to_hex(context.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // finish() leaves the context ready for the next input.
    context.update("abc");
    EXPECT_EQ(context.finish(), Sha256::digest("abc"));
    // A two-block message (FIPS 180-4 example), fed in uneven pieces.
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    context.update(two_blocks.substr(0, 5));
    context.update(two_blocks.substr(5));
    EXPECT_EQ(to_hex(context.finish()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(to_hex(Sha256::digest(two_blocks)), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(ToHex, LowercaseHighNibbleFirst) {
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(to_hex(bytes, sizeof bytes), "000fa5ff");
    EXPECT_EQ(to_hex(bytes, 0), "");
}

}  // namespace
}  // namespace vorp
