#include "vorp/checksum.h"

#include <new>

#include <isa-l/crc.h>
#include <openssl/sha.h>

#include "vorp/error.h"

namespace vorp {

std::uint32_t crc32c(const void* data, std::size_t size) {
    // ISA-L's iSCSI CRC takes a 32-bit length and works on the inverted register; feed large
    // regions in pieces and present the conventional (reflected, inverted) result.
    auto crc = static_cast<std::uint32_t>(0xFFFFFFFFu);
    const auto* bytes = static_cast<const unsigned char*>(data);
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    while (size > 0) {
        const std::size_t n = size < kChunk ? size : kChunk;
        crc = crc32_iscsi(const_cast<unsigned char*>(bytes), static_cast<int>(n), crc);
        bytes += n;
        size -= n;
    }
    return crc ^ 0xFFFFFFFFu;
}

// The low-level SHA-256 interface: the same block code (SHA extensions where the CPU has them) as
// the EVP interface, without its per-message dispatch through the provider, which costs more than
// hashing a short message (a 65-byte Merkle node, an entry's JSON). OpenSSL 3 marks it deprecated
// but keeps it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {
SHA256_CTX& context_of(std::array<unsigned char, 112>& state) {
    static_assert(sizeof(SHA256_CTX) == 112 && alignof(SHA256_CTX) <= 8);
    return *std::launder(reinterpret_cast<SHA256_CTX*>(state.data()));
}
}  // namespace

// SHA256_Init only fills the context in; it cannot fail.
Sha256::Sha256() noexcept { SHA256_Init(&context_of(state_)); }

void Sha256::reset() {
    if (SHA256_Init(&context_of(state_)) != 1) engine_panic("SHA-256 initialisation failed");
}

void Sha256::update(const void* data, std::size_t size) {
    if (size == 0) return;
    if (SHA256_Update(&context_of(state_), data, size) != 1) engine_panic("SHA-256 update failed");
}

Sha256Digest Sha256::finish() {
    Sha256Digest out{};
    if (SHA256_Final(out.data(), &context_of(state_)) != 1) engine_panic("SHA-256 finalisation failed");
    reset();
    return out;
}

#pragma GCC diagnostic pop

Sha256Digest Sha256::digest(const void* data, std::size_t size) {
    Sha256 context;
    context.update(data, size);
    return context.finish();
}

std::string to_hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(size * 2, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace vorp
