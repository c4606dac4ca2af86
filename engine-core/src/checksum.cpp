#include "vorp/checksum.h"

#include <isa-l/crc.h>
#include <openssl/evp.h>

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

namespace {
// The SHA-256 implementation, fetched from the provider once. Initialising a context with
// EVP_sha256() repeats that fetch on every call, which costs more than hashing a short input.
const EVP_MD* sha256_md() {
    static EVP_MD* const md = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (fetched == nullptr) engine_panic("SHA-256 is not available from OpenSSL");
        return fetched;
    }();
    return md;
}
}  // namespace

struct Sha256::State {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->ctx = EVP_MD_CTX_new();
    if (state_->ctx == nullptr) engine_panic("cannot allocate a SHA-256 context");
    reset();
}

Sha256::~Sha256() {
    if (state_ && state_->ctx) EVP_MD_CTX_free(state_->ctx);
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept {
    if (this != &other) {
        if (state_ && state_->ctx) EVP_MD_CTX_free(state_->ctx);
        state_ = std::move(other.state_);
    }
    return *this;
}

void Sha256::reset() {
    if (EVP_DigestInit_ex(state_->ctx, sha256_md(), nullptr) != 1) engine_panic("SHA-256 initialisation failed");
}

void Sha256::update(const void* data, std::size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(state_->ctx, data, size) != 1) engine_panic("SHA-256 update failed");
}

Sha256Digest Sha256::finish() {
    Sha256Digest out{};
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(state_->ctx, out.data(), &len) != 1 || len != out.size()) engine_panic("SHA-256 finalisation failed");
    reset();
    return out;
}

Sha256Digest Sha256::digest(const void* data, std::size_t size) {
    // One context per thread, reused: no allocation per call.
    thread_local Sha256 context;
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
