// 96-bit identities (version ids and edge ids), their 24-digit text form, and the derivation of
// edge ids: SHA-256 of a canonical compact JSON array of the edge's four identifying texts,
// truncated to 96 bits.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/error.h"

namespace vorp {

// A version id or edge id. Ordered by prefix, then suffix (both unsigned): the order of rows by
// (vt_s, vid) wherever a batch is sealed or scan results are merged.
struct Id96 {
    std::uint64_t prefix = 0;  // high 64 bits
    std::uint32_t suffix = 0;  // low 32 bits

    // Exactly 24 bytes: 16 hex digits of prefix, then 8 of suffix. Upper-case digits and one
    // leading '+' per half are accepted; failures are `invariant` errors quoting the input.
    static Result<Id96> from_hex(std::string_view text);

    // 24 lowercase hexadecimal digits, zero-padded.
    std::string to_hex() const;
    // Writes the same 24 digits to out[0..24) without allocating.
    void write_hex(char* out) const;

    friend auto operator<=>(const Id96&, const Id96&) = default;
    friend bool operator==(const Id96&, const Id96&) = default;
};

inline constexpr std::size_t ID96_HEX_LEN = 24;

// Hash functor for unordered containers keyed by Id96 (mixes both parts).
struct Id96Hash {
    std::size_t operator()(const Id96& id) const noexcept {
        std::uint64_t x = id.prefix ^ (static_cast<std::uint64_t>(id.suffix) * 0x9E3779B97F4A7C15ull);
        x ^= x >> 33;
        x *= 0xFF51AFD7ED558CCDull;
        x ^= x >> 33;
        x *= 0xC4CEB9FE1A85EC53ull;
        x ^= x >> 33;
        return static_cast<std::size_t>(x);
    }
};

// SHA-256 of the bytes as 64 lowercase hex digits.
std::string sha256_hex_bytes(std::string_view bytes);

// The first 96 bits of SHA-256 of the bytes: prefix = digest bytes 0..8 big-endian, suffix =
// digest bytes 8..12 big-endian.
Id96 truncated_id(std::string_view bytes);
// The same, from a digest already computed.
Id96 truncated_id_of_digest(const Sha256Digest& digest);

// Appends `text` as a JSON string (between double quotes) with the minimal RFC 8259 escaping:
// \" \\ \b \t \n \f \r, other characters below U+0020 as \u00xx in lowercase, everything else
// (U+007F, '/', non-ASCII) as its bytes. Identical to the compact JSON writer's string form.
void append_canonical_json_string(std::string& out, std::string_view text);

// The compact JSON array of the texts: ["a","b",...] with no whitespace; [] for no texts.
std::string canonical_json_string_array(std::span<const std::string_view> texts);
std::string canonical_json_string_array(std::span<const std::string> texts);
std::string canonical_json_string_array(std::initializer_list<std::string_view> texts);

// The edge id: truncated_id of canonical_json_string_array([src_uid, dst_uid, rel_type, disc]).
// Allocates nothing for ids of ordinary length.
Id96 edge_eid(std::string_view src_uid, std::string_view dst_uid, std::string_view rel_type, std::string_view disc);

// Derives edge ids with a reused array buffer and SHA-256 context: for loops over many rows
// (one per scan worker). Not shareable between threads.
class EidDeriver {
public:
    EidDeriver() = default;
    Id96 operator()(std::string_view src_uid, std::string_view dst_uid, std::string_view rel_type, std::string_view disc);

private:
    std::string buffer_;
    Sha256 sha_;
};

}  // namespace vorp

// "{}" of an Id96 is its 24-digit text form.
template <>
struct fmt::formatter<vorp::Id96> : fmt::formatter<std::string_view> {
    template <class FormatContext>
    auto format(const vorp::Id96& id, FormatContext& ctx) const {
        char digits[vorp::ID96_HEX_LEN];
        id.write_hex(digits);
        return fmt::formatter<std::string_view>::format(std::string_view(digits, sizeof digits), ctx);
    }
};
