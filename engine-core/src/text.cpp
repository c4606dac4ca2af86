#include "vorp/text.h"

#include <unicode/uchar.h>

#include <fmt/format.h>

namespace vorp {

namespace {

// Decodes one UTF-8 sequence at bytes[i]. Returns the code point and its length, or the length
// of the invalid sequence (0 when the input ends inside a valid prefix) with code point -1.
struct Decoded {
    std::int32_t code_point;
    std::size_t length;
};

Decoded decode_one(std::string_view bytes, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const std::size_t n = bytes.size();
    const unsigned char lead = at(i);
    if (lead < 0x80) return {lead, 1};
    std::size_t width;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        width = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        width = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return {-1, 1};
    }
    std::int32_t cp = lead & (width == 2 ? 0x1F : width == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < width; ++k) {
        if (i + k >= n) return {-1, 0};
        const unsigned char b = at(i + k);
        const unsigned char low = k == 1 ? lo : 0x80;
        const unsigned char high = k == 1 ? hi : 0xBF;
        if (b < low || b > high) return {-1, k};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, width};
}

bool is_printable(std::int32_t cp) {
    if (cp == 0x20) return true;
    switch (u_charType(cp)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
        case U_SPACE_SEPARATOR:
            return false;
        default:
            return true;
    }
}

void append_utf8(std::string& out, std::int32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string Utf8Error::text() const {
    if (error_len) return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error_len, valid_up_to);
    return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        // Fast path over ASCII runs.
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const Decoded d = decode_one(bytes, i);
        if (d.code_point < 0) {
            Utf8Error error;
            error.valid_up_to = i;
            if (d.length != 0) error.error_len = static_cast<std::uint8_t>(d.length);
            return error;
        }
        i += d.length;
    }
    return std::nullopt;
}

std::string lossy_utf8(std::string_view bytes) {
    if (!validate_utf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    std::size_t i = 0;
    while (i < bytes.size()) {
        const Decoded d = decode_one(bytes, i);
        if (d.code_point < 0) {
            out.append("\xEF\xBF\xBD");
            // An incomplete sequence at the end is replaced as a whole.
            i = d.length == 0 ? bytes.size() : i + d.length;
        } else {
            out.append(bytes.substr(i, d.length));
            i += d.length;
        }
    }
    return out;
}

std::string debug_quoted(std::string_view raw) {
    const std::string owned = validate_utf8(raw) ? lossy_utf8(raw) : std::string();
    const std::string_view text = owned.empty() ? raw : std::string_view(owned);
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const Decoded d = decode_one(text, i);
        const std::int32_t cp = d.code_point;
        switch (cp) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\t': out.append("\\t"); break;
            case '\r': out.append("\\r"); break;
            case '\n': out.append("\\n"); break;
            case 0: out.append("\\0"); break;
            default:
                if (cp >= 0x20 && cp < 0x7F) {
                    out.push_back(static_cast<char>(cp));
                } else if (u_hasBinaryProperty(cp, UCHAR_GRAPHEME_EXTEND) || !is_printable(cp)) {
                    out.append(fmt::format("\\u{{{:x}}}", cp));
                } else {
                    append_utf8(out, cp);
                }
        }
        i += d.length;
    }
    out.push_back('"');
    return out;
}

std::optional<std::uint64_t> parse_u64_decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    // Forward: skip white-space characters from the front.
    std::size_t start = 0;
    while (start < text.size()) {
        const Decoded d = decode_one(text, start);
        if (d.code_point < 0 || !u_hasBinaryProperty(d.code_point, UCHAR_WHITE_SPACE)) break;
        start += d.length;
    }
    // Backward: find the start of the last character and test it.
    std::size_t end = text.size();
    while (end > start) {
        std::size_t begin = end - 1;
        while (begin > start && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) --begin;
        const Decoded d = decode_one(text, begin);
        if (d.code_point < 0 || begin + d.length != end || !u_hasBinaryProperty(d.code_point, UCHAR_WHITE_SPACE)) break;
        end = begin;
    }
    return text.substr(start, end - start);
}

std::vector<std::string_view> whitespace_pieces(std::string_view text, std::size_t limit) {
    std::vector<std::string_view> pieces;
    std::size_t pos = 0;
    std::size_t piece_start = std::string_view::npos;
    while (pos < text.size() && pieces.size() < limit) {
        const Decoded d = decode_one(text, pos);
        const bool space = d.code_point >= 0 && u_hasBinaryProperty(d.code_point, UCHAR_WHITE_SPACE);
        if (space && piece_start != std::string_view::npos) {
            pieces.push_back(text.substr(piece_start, pos - piece_start));
            piece_start = std::string_view::npos;
        } else if (!space && piece_start == std::string_view::npos) {
            piece_start = pos;
        }
        // An invalid sequence cut off by the end reports length 0: it is the rest of the text.
        pos += d.length == 0 ? text.size() - pos : d.length;
    }
    if (piece_start != std::string_view::npos && pieces.size() < limit) pieces.push_back(text.substr(piece_start));
    return pieces;
}

std::string hex_0x(std::uint64_t value) { return fmt::format("{:#x}", value); }

}  // namespace vorp
