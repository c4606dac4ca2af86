// CRC-32C (Castagnoli) and SHA-256 over byte regions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorp {

// One-shot CRC-32C of a region (the standard check value: crc32c("123456789") == 0xe3069283).
std::uint32_t crc32c(const void* data, std::size_t size);
inline std::uint32_t crc32c(std::string_view bytes) { return crc32c(bytes.data(), bytes.size()); }

using Sha256Digest = std::array<std::uint8_t, 32>;

// A SHA-256 context held in place: making one allocates nothing, so a context on the stack costs
// no more than a reused one, and no thread needs a context of its own kept for it.
class Sha256 {
public:
    Sha256() noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    Sha256(Sha256&&) noexcept = default;
    Sha256& operator=(Sha256&&) noexcept = default;

    void reset();
    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // Finishes the digest and resets the context for the next input.
    Sha256Digest finish();

    static Sha256Digest digest(const void* data, std::size_t size);
    static Sha256Digest digest(std::string_view bytes) { return digest(bytes.data(), bytes.size()); }

private:
    // OpenSSL's SHA256_CTX, kept opaque here (its size is checked where it is used).
    alignas(8) std::array<unsigned char, 112> state_{};
};

// Lowercase hexadecimal of bytes, high nibble first.
std::string to_hex(const std::uint8_t* bytes, std::size_t size);
inline std::string to_hex(const Sha256Digest& digest) { return to_hex(digest.data(), digest.size()); }

}  // namespace vorp
