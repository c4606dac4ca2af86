// Text helpers shared by every module: the quoted (debug) form of texts in messages, UTF-8
// validation with its error texts, lossy display of byte strings, strict decimal parsing and
// Unicode white-space trimming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorp {

// The text between double quotes with \" \\ \t \r \n \0 escaped, non-printable characters and
// grapheme extenders as \u{hex}, everything else as is. Invalid UTF-8 is shown lossily first.
std::string debug_quoted(std::string_view text);

// Where a byte string stops being valid UTF-8.
struct Utf8Error {
    std::size_t valid_up_to = 0;
    // Length of the invalid sequence; absent when the input ends inside a valid prefix.
    std::optional<std::uint8_t> error_len;
    // "invalid utf-8 sequence of {n} bytes from index {i}" or
    // "incomplete utf-8 byte sequence from index {i}".
    std::string text() const;
};

// Nothing when the bytes are valid UTF-8.
std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// Each invalid sequence replaced by one U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// An unsigned decimal number: an optional single '+', then one or more ASCII digits, nothing else;
// nothing when empty, malformed or above 2^64 - 1.
std::optional<std::uint64_t> parse_u64_decimal(std::string_view text);

// Removes leading and trailing Unicode White_Space characters (the input must be valid UTF-8).
std::string_view trim_unicode_whitespace(std::string_view text);

// The pieces of valid UTF-8 text between runs of Unicode White_Space characters (empty pieces
// dropped), at most `limit` of them; views into `text`.
std::vector<std::string_view> whitespace_pieces(std::string_view text, std::size_t limit = SIZE_MAX);

// "0x" followed by lowercase hex digits without leading zeros ("0x0" for zero).
std::string hex_0x(std::uint64_t value);

}  // namespace vorp
