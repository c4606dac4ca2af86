#include "vorp/derive.h"

#include "vorp/json.h"

#include <fmt/format.h>

#include "vorp/text.h"

namespace vorp {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hex_digit_value(unsigned char byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

// Unsigned base-16 parse of one half of an identity: one optional leading '+', then digits only.
// The halves are at most 16 digits, so the value cannot overflow. An empty digit run (a lone '+')
// cannot occur for the 16- and 8-byte halves except as "+" alone, which is not a valid number.
std::optional<std::uint64_t> parse_hex_part(std::string_view part) {
    if (!part.empty() && part.front() == '+') part.remove_prefix(1);
    if (part.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : part) {
        const int digit = hex_digit_value(static_cast<unsigned char>(c));
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::uint64_t load_be64(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
    return value;
}

std::uint32_t load_be32(const std::uint8_t* bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | bytes[i];
    return value;
}

// The array's capacity: the texts plus two quotes and a comma each, plus the brackets. Escapes
// may still grow it, which is rare for uids and relationship types.
template <class Texts>
std::string build_array(const Texts& texts) {
    std::size_t capacity = 2;
    for (const auto& text : texts) capacity += std::string_view(text).size() + 3;
    std::string out;
    out.reserve(capacity);
    out.push_back('[');
    bool first = true;
    for (const auto& text : texts) {
        if (!first) out.push_back(',');
        first = false;
        append_canonical_json_string(out, text);
    }
    out.push_back(']');
    return out;
}

void append_eid_array(std::string& out, std::string_view src_uid, std::string_view dst_uid, std::string_view rel_type,
                      std::string_view disc) {
    out.clear();
    out.push_back('[');
    append_canonical_json_string(out, src_uid);
    out.push_back(',');
    append_canonical_json_string(out, dst_uid);
    out.push_back(',');
    append_canonical_json_string(out, rel_type);
    out.push_back(',');
    append_canonical_json_string(out, disc);
    out.push_back(']');
}

}  // namespace

Result<Id96> Id96::from_hex(std::string_view text) {
    if (text.size() != ID96_HEX_LEN)
        return fail(EngineError::invariant(
            fmt::format("identity must be {} hex chars, got {}: {}", ID96_HEX_LEN, text.size(), debug_quoted(text))));
    const auto prefix = parse_hex_part(text.substr(0, 16));
    if (!prefix)
        return fail(EngineError::invariant(
            fmt::format("identity {} not hex ({}): {}", "prefix", "invalid digit found in string", debug_quoted(text))));
    const auto suffix = parse_hex_part(text.substr(16, 8));
    if (!suffix)
        return fail(EngineError::invariant(
            fmt::format("identity {} not hex ({}): {}", "suffix", "invalid digit found in string", debug_quoted(text))));
    return Id96{*prefix, static_cast<std::uint32_t>(*suffix)};
}

void Id96::write_hex(char* out) const {
    for (int i = 0; i < 16; ++i) out[i] = kHexDigits[(prefix >> (60 - 4 * i)) & 0xF];
    for (int i = 0; i < 8; ++i) out[16 + i] = kHexDigits[(suffix >> (28 - 4 * i)) & 0xF];
}

std::string Id96::to_hex() const {
    std::string out(ID96_HEX_LEN, '\0');
    write_hex(out.data());
    return out;
}

std::string sha256_hex_bytes(std::string_view bytes) { return to_hex(Sha256::digest(bytes)); }

Id96 truncated_id_of_digest(const Sha256Digest& digest) {
    return Id96{load_be64(digest.data()), load_be32(digest.data() + 8)};
}

Id96 truncated_id(std::string_view bytes) { return truncated_id_of_digest(Sha256::digest(bytes)); }

void append_canonical_json_string(std::string& out, std::string_view text) {
    // The edge id hashes exactly what the compact JSON writer produces for a string.
    append_json_string(out, text);
}

std::string canonical_json_string_array(std::span<const std::string_view> texts) { return build_array(texts); }
std::string canonical_json_string_array(std::span<const std::string> texts) { return build_array(texts); }
std::string canonical_json_string_array(std::initializer_list<std::string_view> texts) { return build_array(texts); }

Id96 EidDeriver::operator()(std::string_view src_uid, std::string_view dst_uid, std::string_view rel_type,
                            std::string_view disc) {
    append_eid_array(buffer_, src_uid, dst_uid, rel_type, disc);
    sha_.update(buffer_);
    return truncated_id_of_digest(sha_.finish());
}

Id96 edge_eid(std::string_view src_uid, std::string_view dst_uid, std::string_view rel_type, std::string_view disc) {
    // The array is built on the stack when its longest escaped form fits there, which every
    // ordinary id does; nothing is kept per thread (the C library allocates a loaded module's
    // thread-local storage lazily and ends the process when it cannot).
    constexpr std::size_t STACK_BYTES = 1024;
    const std::size_t bound = json_string_bound(src_uid.size()) + json_string_bound(dst_uid.size()) +
                              json_string_bound(rel_type.size()) + json_string_bound(disc.size()) + 5;
    if (bound > STACK_BYTES) return EidDeriver()(src_uid, dst_uid, rel_type, disc);
    char array[STACK_BYTES];
    char* out = array;
    *out++ = '[';
    out = write_json_string(out, src_uid);
    *out++ = ',';
    out = write_json_string(out, dst_uid);
    *out++ = ',';
    out = write_json_string(out, rel_type);
    *out++ = ',';
    out = write_json_string(out, disc);
    *out++ = ']';
    return truncated_id(std::string_view(array, static_cast<std::size_t>(out - array)));
}

}  // namespace vorp
