// The JSON writer, reader, record binder and generic value (see vorp/json.h for the forms and the
// failure texts).
//
// Reader positions follow one rule with two flavours, because callers (and stored error texts)
// depend on them:
//   - "here": the column counts the bytes consumed so far on the line (used after a token was
//     consumed: a mistyped scalar, a bad escape, a missing field after its '}', ...);
//   - "peek": the same plus the byte the reader is looking at (used when a byte is refused without
//     being consumed: "expected value", "trailing characters", "recursion limit exceeded", ...),
//     capped at the end of the text (so an empty text is line 1 column 0).
#include "vorp/json.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "vorp/text.h"

namespace vorp {

std::string JsonError::text() const { return fmt::format("{} at line {} column {}", message, line, column); }

// ---- writing -------------------------------------------------------------------------------------

namespace {

// For each byte: 0 when copied as is, otherwise the letter after the backslash ('u' for \u00xx).
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> table{};
    for (int byte = 0; byte < 0x20; ++byte) table[byte] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}
constexpr std::array<char, 256> ESCAPE = make_escape_table();
constexpr char HEX_DIGITS[] = "0123456789abcdef";

// ---- wide-word scanning --------------------------------------------------------------------------
// Strings and whitespace are scanned eight bytes at a time in a 64-bit word, first byte in the low
// bits. Each test below sets the high bit of exactly the bytes it matches (no carry crosses a byte),
// so the lowest set bit names the first matching byte.

constexpr std::uint64_t ONES = 0x0101010101010101ULL;
constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;
constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7FULL;

std::uint64_t load_word(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    return word;
}

// Bytes equal to zero.
constexpr std::uint64_t zero_bytes(std::uint64_t word) { return ~(((word & LOW7) + LOW7) | word | LOW7); }
constexpr std::uint64_t equal_bytes(std::uint64_t word, char c) {
    return zero_bytes(word ^ (ONES * static_cast<unsigned char>(c)));
}
// Bytes below 0x20: (b & 0x7F) + 0x60 reaches 0x80 exactly when the low seven bits are >= 0x20.
constexpr std::uint64_t control_bytes(std::uint64_t word) {
    return ~((word & LOW7) + ONES * 0x60) & ~word & HIGHS;
}
// Bytes that end a run of plain string bytes: '"', '\\' and controls (escaped by the writer,
// refused or decoded by the reader).
constexpr std::uint64_t string_stop_bytes(std::uint64_t word) {
    return equal_bytes(word, '"') | equal_bytes(word, '\\') | control_bytes(word);
}
constexpr std::uint64_t non_whitespace_bytes(std::uint64_t word) {
    return ~(equal_bytes(word, ' ') | equal_bytes(word, '\n') | equal_bytes(word, '\t') | equal_bytes(word, '\r')) &
           HIGHS;
}
// Index of the first marked byte of a non-zero mask.
unsigned first_marked(std::uint64_t mask) { return static_cast<unsigned>(std::countr_zero(mask)) / 8; }

// The end of the longest prefix of [cursor, end) with no byte the writer escapes.
const char* plain_run_end(const char* cursor, const char* end) {
    while (end - cursor >= 8) {
        const std::uint64_t stop = string_stop_bytes(load_word(cursor));
        if (stop != 0) return cursor + first_marked(stop);
        cursor += 8;
    }
    while (cursor != end && ESCAPE[static_cast<unsigned char>(*cursor)] == 0) ++cursor;
    return cursor;
}

char* write_escape(char* out, unsigned char byte) {
    const char escape = ESCAPE[byte];
    *out++ = '\\';
    *out++ = escape;
    if (escape == 'u') {
        *out++ = '0';
        *out++ = '0';
        *out++ = HEX_DIGITS[byte >> 4];
        *out++ = HEX_DIGITS[byte & 15];
    }
    return out;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    const char* cursor = text.data();
    const char* const end = cursor + text.size();
    for (;;) {
        const char* const run_end = plain_run_end(cursor, end);
        out.append(cursor, static_cast<std::size_t>(run_end - cursor));
        if (run_end == end) break;
        char sequence[6];
        out.append(sequence, static_cast<std::size_t>(write_escape(sequence, static_cast<unsigned char>(*run_end)) - sequence));
        cursor = run_end + 1;
    }
    out.push_back('"');
}

char* write_json_string(char* out, std::string_view text) {
    *out++ = '"';
    const char* cursor = text.data();
    const char* const end = cursor + text.size();
    for (;;) {
        const char* const run_end = plain_run_end(cursor, end);
        std::memcpy(out, cursor, static_cast<std::size_t>(run_end - cursor));
        out += run_end - cursor;
        if (run_end == end) break;
        out = write_escape(out, static_cast<unsigned char>(*run_end));
        cursor = run_end + 1;
    }
    *out++ = '"';
    return out;
}

void JsonWriter::newline_indent() {
    out_.push_back('\n');
    out_.append(2 * static_cast<std::size_t>(depth_), ' ');
}

void JsonWriter::before_value() {
    if (after_key_) {  // the key already wrote the separator and the ':'
        after_key_ = false;
        return;
    }
    if (depth_ == 0) return;
    if (need_comma_) out_.push_back(',');
    if (style_ == JsonStyle::Pretty) newline_indent();
}

void JsonWriter::key(std::string_view key) {
    if (need_comma_) out_.push_back(',');
    if (style_ == JsonStyle::Pretty) newline_indent();
    append_json_string(out_, key);
    if (style_ == JsonStyle::Pretty) out_.append(": ", 2);
    else out_.push_back(':');
    after_key_ = true;
}

void JsonWriter::begin_object() {
    before_value();
    out_.push_back('{');
    ++depth_;
    need_comma_ = false;
}

void JsonWriter::end_object() {
    --depth_;
    // need_comma_ says whether the container got any member: empty ones stay "{}".
    if (style_ == JsonStyle::Pretty && need_comma_) newline_indent();
    out_.push_back('}');
    need_comma_ = true;
}

void JsonWriter::begin_array() {
    before_value();
    out_.push_back('[');
    ++depth_;
    need_comma_ = false;
}

void JsonWriter::end_array() {
    --depth_;
    if (style_ == JsonStyle::Pretty && need_comma_) newline_indent();
    out_.push_back(']');
    need_comma_ = true;
}

void JsonWriter::value_null() {
    before_value();
    out_.append("null", 4);
    need_comma_ = true;
}

void JsonWriter::value_bool(bool value) {
    before_value();
    if (value) out_.append("true", 4);
    else out_.append("false", 5);
    need_comma_ = true;
}

void JsonWriter::value_u64(std::uint64_t value) {
    before_value();
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
    need_comma_ = true;
}

void JsonWriter::value_i64(std::int64_t value) {
    before_value();
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
    need_comma_ = true;
}

void JsonWriter::value_string(std::string_view value) {
    before_value();
    append_json_string(out_, value);
    need_comma_ = true;
}

std::string& JsonWriter::begin_raw_value() {
    before_value();
    need_comma_ = true;
    return out_;
}

// ---- reading -------------------------------------------------------------------------------------

struct JsonReader::Number {
    enum class Kind : std::uint8_t { U64, I64, F64 };
    Kind kind = Kind::U64;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0;
};

namespace {

constexpr std::string_view EOF_VALUE = "EOF while parsing a value";
constexpr std::string_view EOF_LIST = "EOF while parsing a list";
constexpr std::string_view EOF_OBJECT = "EOF while parsing an object";
constexpr std::string_view EOF_STRING = "EOF while parsing a string";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// A float as the messages show it: the shortest digits that read back to the same value, in plain
// decimal notation (never an exponent), with ".0" added when there is no decimal point.
std::string float_display(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    std::string out;
    if (!text.empty() && text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos)) {
        if (c != '.') digits.push_back(c);
    }
    int exponent = 0;
    std::string_view exponent_text = text.substr(e_pos + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    // Digits before the decimal point.
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
        out += ".0";
    } else if (point > 0) {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    }
    return out;
}

std::string describe_number_kind(std::uint64_t u, std::int64_t i, double f, int kind) {
    switch (kind) {
        case 0: return fmt::format("integer `{}`", u);
        case 1: return fmt::format("integer `{}`", i);
        default: return fmt::format("floating point `{}`", float_display(f));
    }
}

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string expected_words(std::span<const std::string_view> words) {
    if (words.empty()) return "there are no variants";
    if (words.size() == 1) return fmt::format("`{}`", words[0]);
    if (words.size() == 2) return fmt::format("`{}` or `{}`", words[0], words[1]);
    std::string out = "one of ";
    for (std::size_t index = 0; index < words.size(); ++index) {
        if (index > 0) out += ", ";
        fmt::format_to(std::back_inserter(out), "`{}`", words[index]);
    }
    return out;
}

void push_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool JsonReader::fail_at(std::size_t end, JsonErrorClass error_class, std::string message) {
    end = std::min(end, text_.size());
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    const char* base = text_.data();
    for (const void* hit = std::memchr(base, '\n', end); hit != nullptr;
         hit = std::memchr(base + line_start, '\n', end - line_start)) {
        ++line;
        line_start = static_cast<std::size_t>(static_cast<const char*>(hit) - base) + 1;
    }
    error_ = JsonError{std::move(message), line, end - line_start, error_class};
    return false;
}

bool JsonReader::fail_here(JsonErrorClass error_class, std::string_view message) {
    return fail_at(pos_, error_class, std::string(message));
}

bool JsonReader::fail_peek(JsonErrorClass error_class, std::string_view message) {
    return fail_at(pos_ + 1, error_class, std::string(message));
}

bool JsonReader::fail_data(std::string message) { return fail_at(pos_, JsonErrorClass::Data, std::move(message)); }

void JsonReader::skip_whitespace() {
    const std::size_t size = text_.size();
    const char* const data = text_.data();
    if (pos_ >= size || !is_whitespace(data[pos_])) return;  // the compact form has none
    ++pos_;
    // The pretty form puts a newline and the indentation before every member.
    while (size - pos_ >= 8) {
        const std::uint64_t other = non_whitespace_bytes(load_word(data + pos_));
        if (other != 0) {
            pos_ += first_marked(other);
            return;
        }
        pos_ += 8;
    }
    while (pos_ < size && is_whitespace(data[pos_])) ++pos_;
}

bool JsonReader::enter() {
    if (depth_ >= JSON_MAX_DEPTH) return fail_peek(JsonErrorClass::Syntax, "recursion limit exceeded");
    ++depth_;
    first_[depth_] = true;
    return true;
}

JsonPeek JsonReader::peek() {
    skip_whitespace();
    if (pos_ >= text_.size()) return JsonPeek::End;
    switch (text_[pos_]) {
        case 'n': return JsonPeek::Null;
        case 't':
        case 'f': return JsonPeek::Bool;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': return JsonPeek::Number;
        case '"': return JsonPeek::String;
        case '[': return JsonPeek::Array;
        case '{': return JsonPeek::Object;
        default: return JsonPeek::Invalid;
    }
}

bool JsonReader::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        if (pos_ >= text_.size()) return fail_here(JsonErrorClass::Eof, EOF_VALUE);
        if (text_[pos_++] != expected) return fail_here(JsonErrorClass::Syntax, "expected ident");
    }
    return true;
}

// Numbers. The grammar checks and their failure positions are fixed (see vorp/json.h): an integer
// is kept as u64 (or i64 when negative) while it fits; a fraction, an exponent, -0 or a longer
// integer makes it a float, whose value is then read from the consumed text.

bool JsonReader::parse_number(bool positive, Number& out) {
    const std::size_t start = positive ? pos_ : pos_ - 1;
    if (pos_ >= text_.size()) return fail_here(JsonErrorClass::Eof, EOF_VALUE);
    const char first = text_[pos_++];
    std::uint64_t significand = 0;
    if (first == '0') {
        // Only one leading zero.
        if (pos_ < text_.size() && is_digit(text_[pos_])) return fail_peek(JsonErrorClass::Syntax, "invalid number");
    } else if (first >= '1' && first <= '9') {
        significand = static_cast<std::uint64_t>(first - '0');
        while (pos_ < text_.size() && is_digit(text_[pos_])) {
            const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
            if (significand >= UINT64_MAX / 10 && (significand > UINT64_MAX / 10 || digit > UINT64_MAX % 10))
                return parse_long_integer(start, positive, out);
            ++pos_;
            significand = significand * 10 + digit;
        }
    } else {
        return fail_here(JsonErrorClass::Syntax, "invalid number");
    }
    if (pos_ < text_.size()) {
        if (text_[pos_] == '.') return parse_decimal(start, positive, out);
        if (text_[pos_] == 'e' || text_[pos_] == 'E') return parse_exponent(start, positive, out);
    }
    if (positive) {
        out.kind = Number::Kind::U64;
        out.u = significand;
    } else if (significand == 0 || significand > (std::uint64_t{1} << 63)) {
        // -0 and magnitudes beyond i64 are floats.
        out.kind = Number::Kind::F64;
        out.f = -static_cast<double>(significand);
    } else {
        out.kind = Number::Kind::I64;
        out.i = static_cast<std::int64_t>(std::uint64_t{0} - significand);
    }
    return true;
}

bool JsonReader::parse_long_integer(std::size_t start, bool positive, Number& out) {
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    if (pos_ < text_.size()) {
        if (text_[pos_] == '.') return parse_decimal(start, positive, out);
        if (text_[pos_] == 'e' || text_[pos_] == 'E') return parse_exponent(start, positive, out);
    }
    return float_from_text(start, positive, out);
}

bool JsonReader::parse_decimal(std::size_t start, bool positive, Number& out) {
    ++pos_;  // '.'
    const std::size_t digits_start = pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    if (pos_ == digits_start) {
        if (pos_ < text_.size()) return fail_peek(JsonErrorClass::Syntax, "invalid number");
        return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) return parse_exponent(start, positive, out);
    return float_from_text(start, positive, out);
}

bool JsonReader::parse_exponent(std::size_t start, bool positive, Number& out) {
    const std::size_t mantissa_end = pos_;
    ++pos_;  // 'e' or 'E'
    bool positive_exponent = true;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
        positive_exponent = text_[pos_] == '+';
        ++pos_;
    }
    if (pos_ >= text_.size()) return fail_here(JsonErrorClass::Eof, EOF_VALUE);
    const char first = text_[pos_++];
    if (!is_digit(first)) return fail_here(JsonErrorClass::Syntax, "invalid number");
    std::int64_t exponent = first - '0';
    while (pos_ < text_.size() && is_digit(text_[pos_])) {
        const int digit = text_[pos_] - '0';
        ++pos_;
        if (exponent >= INT32_MAX / 10 && (exponent > INT32_MAX / 10 || digit > INT32_MAX % 10)) {
            // An exponent beyond 32 bits: out of range for a non-zero mantissa raised, zero
            // otherwise (the rest of the digits is consumed).
            bool zero_mantissa = true;
            for (std::size_t index = start; index < mantissa_end; ++index) {
                if (text_[index] >= '1' && text_[index] <= '9') zero_mantissa = false;
            }
            if (!zero_mantissa && positive_exponent) return fail_here(JsonErrorClass::Syntax, "number out of range");
            while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
            out.kind = Number::Kind::F64;
            out.f = positive ? 0.0 : -0.0;
            return true;
        }
        exponent = exponent * 10 + digit;
    }
    return float_from_text(start, positive, out);
}

bool JsonReader::float_from_text(std::size_t start, bool positive, Number& out) {
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    double value = 0;
    const auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
        // Overflow or underflow: decide by the decimal magnitude (digits before the point,
        // or minus the zeros after it, plus the exponent).
        const char* cursor = first;
        if (*cursor == '-') ++cursor;
        std::int64_t magnitude = 0;
        while (cursor != last && *cursor == '0') ++cursor;
        bool any_integer_digit = false;
        while (cursor != last && is_digit(*cursor)) {
            any_integer_digit = true;
            ++magnitude;
            ++cursor;
        }
        if (cursor != last && *cursor == '.') {
            ++cursor;
            if (!any_integer_digit) {
                while (cursor != last && *cursor == '0') {
                    --magnitude;
                    ++cursor;
                }
            }
            while (cursor != last && is_digit(*cursor)) ++cursor;
        }
        if (cursor != last && (*cursor == 'e' || *cursor == 'E')) {
            ++cursor;
            bool negative_exponent = false;
            if (*cursor == '+' || *cursor == '-') negative_exponent = *cursor++ == '-';
            std::int64_t exponent = 0;
            while (cursor != last && is_digit(*cursor)) {
                exponent = std::min<std::int64_t>(exponent * 10 + (*cursor - '0'), 1'000'000'000);
                ++cursor;
            }
            magnitude += negative_exponent ? -exponent : exponent;
        }
        if (magnitude > 0) return fail_here(JsonErrorClass::Syntax, "number out of range");
        value = positive ? 0.0 : -0.0;
    } else if (result.ec != std::errc{} || !std::isfinite(value)) {
        return fail_here(JsonErrorClass::Syntax, "number out of range");
    }
    out.kind = Number::Kind::F64;
    out.f = value;
    return true;
}

bool JsonReader::parse_any_number(Number& out) {
    if (text_[pos_] == '-') {
        ++pos_;
        return parse_number(false, out);
    }
    return parse_number(true, out);
}

// Strings: the opening quote is consumed. Runs without escapes are handed out as views into the
// text; an escape switches to the scratch buffer for the rest of the string.
bool JsonReader::parse_string(std::string_view& out) {
    std::size_t start = pos_;
    bool copied = false;
    std::uint64_t high_bits = 0;  // any byte >= 0x80 sets a bit of HIGHS: UTF-8 to check
    const std::size_t size = text_.size();
    const char* const data = text_.data();
    scratch_.clear();
    for (;;) {
        bool stopped = false;
        while (size - pos_ >= 8) {
            const std::uint64_t word = load_word(data + pos_);
            const std::uint64_t stop = string_stop_bytes(word);
            if (stop != 0) {
                const unsigned skip = first_marked(stop);
                high_bits |= word & ((std::uint64_t{1} << (8 * skip)) - 1);
                pos_ += skip;
                stopped = true;
                break;
            }
            high_bits |= word;
            pos_ += 8;
        }
        while (!stopped && pos_ < size) {
            const auto byte = static_cast<unsigned char>(data[pos_]);
            if (byte == '"' || byte == '\\' || byte < 0x20) break;
            high_bits |= byte;
            ++pos_;
        }
        if (pos_ >= size) return fail_here(JsonErrorClass::Eof, EOF_STRING);
        const char c = data[pos_];
        if (c == '"') {
            std::string_view result;
            if (!copied) {
                result = text_.substr(start, pos_ - start);
            } else {
                scratch_.append(data + start, pos_ - start);
                result = scratch_;
            }
            ++pos_;
            if ((high_bits & HIGHS) != 0 && validate_utf8(result).has_value())
                return fail_here(JsonErrorClass::Syntax, "invalid unicode code point");
            out = result;
            return true;
        }
        if (c == '\\') {
            scratch_.append(data + start, pos_ - start);
            copied = true;
            ++pos_;
            if (!parse_escape()) return false;
            start = pos_;
            continue;
        }
        ++pos_;
        return fail_here(JsonErrorClass::Syntax, "control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool JsonReader::parse_escape() {
    if (pos_ >= text_.size()) return fail_here(JsonErrorClass::Eof, EOF_STRING);
    switch (text_[pos_++]) {
        case '"': scratch_.push_back('"'); return true;
        case '\\': scratch_.push_back('\\'); return true;
        case '/': scratch_.push_back('/'); return true;
        case 'b': scratch_.push_back('\b'); return true;
        case 'f': scratch_.push_back('\f'); return true;
        case 'n': scratch_.push_back('\n'); return true;
        case 'r': scratch_.push_back('\r'); return true;
        case 't': scratch_.push_back('\t'); return true;
        case 'u': return parse_unicode_escape();
        default: return fail_here(JsonErrorClass::Syntax, "invalid escape");
    }
}

bool JsonReader::decode_hex_escape(std::uint32_t& out) {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        return fail_here(JsonErrorClass::Eof, EOF_STRING);
    }
    std::uint32_t value = 0;
    bool valid = true;
    for (int index = 0; index < 4; ++index) {
        const int digit = hex_value(text_[pos_ + static_cast<std::size_t>(index)]);
        if (digit < 0) valid = false;
        value = (value << 4) | static_cast<std::uint32_t>(digit & 15);
    }
    pos_ += 4;
    if (!valid) return fail_here(JsonErrorClass::Syntax, "invalid escape");
    out = value;
    return true;
}

// \uXXXX; a surrogate must be a leading one followed by an escaped trailing one.
bool JsonReader::parse_unicode_escape() {
    std::uint32_t unit = 0;
    if (!decode_hex_escape(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_here(JsonErrorClass::Syntax, "lone leading surrogate in hex escape");
    if (unit < 0xD800 || unit > 0xDBFF) {
        push_utf8(scratch_, unit);
        return true;
    }
    if (pos_ >= text_.size()) return fail_here(JsonErrorClass::Eof, EOF_STRING);
    if (text_[pos_++] != '\\') return fail_here(JsonErrorClass::Syntax, "unexpected end of hex escape");
    if (pos_ >= text_.size()) return fail_here(JsonErrorClass::Eof, EOF_STRING);
    if (text_[pos_++] != 'u') return fail_here(JsonErrorClass::Syntax, "unexpected end of hex escape");
    std::uint32_t trailing = 0;
    if (!decode_hex_escape(trailing)) return false;
    if (trailing < 0xDC00 || trailing > 0xDFFF) return fail_here(JsonErrorClass::Syntax, "lone leading surrogate in hex escape");
    push_utf8(scratch_, (((unit - 0xD800) << 10) | (trailing - 0xDC00)) + 0x10000);
    return true;
}

bool JsonReader::fail_invalid_type(std::string_view expected) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    std::string unexpected;
    switch (text_[pos_]) {
        case 'n':
            ++pos_;
            if (!parse_ident("ull")) return false;
            unexpected = "null";
            break;
        case 't':
            ++pos_;
            if (!parse_ident("rue")) return false;
            unexpected = "boolean `true`";
            break;
        case 'f':
            ++pos_;
            if (!parse_ident("alse")) return false;
            unexpected = "boolean `false`";
            break;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
            Number number;
            if (!parse_any_number(number)) return false;
            unexpected = describe_number_kind(number.u, number.i, number.f, static_cast<int>(number.kind));
            break;
        }
        case '"': {
            ++pos_;
            std::string_view text;
            if (!parse_string(text)) return false;
            unexpected = "string " + debug_quoted(text);
            break;
        }
        case '[': unexpected = "sequence"; break;
        case '{': unexpected = "map"; break;
        default: return fail_peek(JsonErrorClass::Syntax, "expected value");
    }
    return fail_at(pos_, JsonErrorClass::Data, fmt::format("invalid type: {}, expected {}", unexpected, expected));
}

bool JsonReader::read_integer(Number& out, std::string_view expected) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    const char c = text_[pos_];
    if (c == '-' || is_digit(c)) return parse_any_number(out);
    return fail_invalid_type(expected);
}

bool JsonReader::read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected) {
    Number number;
    if (!read_integer(number, expected)) return false;
    switch (number.kind) {
        case Number::Kind::U64:
            if (number.u <= max) {
                out = number.u;
                return true;
            }
            return fail_data(fmt::format("invalid value: integer `{}`, expected {}", number.u, expected));
        case Number::Kind::I64:
            return fail_data(fmt::format("invalid value: integer `{}`, expected {}", number.i, expected));
        case Number::Kind::F64: break;
    }
    return fail_data(fmt::format("invalid type: floating point `{}`, expected {}", float_display(number.f), expected));
}

bool JsonReader::read_signed(std::int64_t& out, std::int64_t min, std::int64_t max, std::string_view expected) {
    Number number;
    if (!read_integer(number, expected)) return false;
    switch (number.kind) {
        case Number::Kind::U64:
            if (max >= 0 && number.u <= static_cast<std::uint64_t>(max)) {
                out = static_cast<std::int64_t>(number.u);
                return true;
            }
            return fail_data(fmt::format("invalid value: integer `{}`, expected {}", number.u, expected));
        case Number::Kind::I64:
            if (number.i >= min && number.i <= max) {
                out = number.i;
                return true;
            }
            return fail_data(fmt::format("invalid value: integer `{}`, expected {}", number.i, expected));
        case Number::Kind::F64: break;
    }
    return fail_data(fmt::format("invalid type: floating point `{}`, expected {}", float_display(number.f), expected));
}

bool JsonReader::read_bool(bool& out) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    if (text_[pos_] == 't') {
        ++pos_;
        out = true;
        return parse_ident("rue");
    }
    if (text_[pos_] == 'f') {
        ++pos_;
        out = false;
        return parse_ident("alse");
    }
    return fail_invalid_type("a boolean");
}

bool JsonReader::read_string_view(std::string_view& out, std::string_view expected) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    if (text_[pos_] != '"') return fail_invalid_type(expected);
    ++pos_;
    return parse_string(out);
}

bool JsonReader::read_string(std::string& out) {
    std::string_view view;
    if (!read_string_view(view)) return false;
    out.assign(view);
    return true;
}

bool JsonReader::read_null(bool& was_null) {
    skip_whitespace();
    was_null = false;
    if (pos_ < text_.size() && text_[pos_] == 'n') {
        ++pos_;
        if (!parse_ident("ull")) return false;
        was_null = true;
    }
    return true;
}

bool JsonReader::read_variant(std::span<const std::string_view> words, std::size_t& index) {
    const auto match = [&](std::string_view word) -> bool {
        for (std::size_t candidate = 0; candidate < words.size(); ++candidate) {
            if (words[candidate] == word) {
                index = candidate;
                return true;
            }
        }
        return fail_data(fmt::format("unknown variant `{}`, expected {}", word, expected_words(words)));
    };
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    if (text_[pos_] == '"') {
        ++pos_;
        std::string_view word;
        return parse_string(word) && match(word);
    }
    if (text_[pos_] != '{') return fail_invalid_type("variant identifier");
    // {"word": null}
    if (!enter()) return false;
    ++pos_;
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    if (text_[pos_] != '"') return fail_invalid_type("variant identifier");
    ++pos_;
    std::string_view word;
    if (!parse_string(word) || !match(word) || !member_colon()) return false;
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    if (text_[pos_] != 'n') return fail_invalid_type("unit");
    ++pos_;
    if (!parse_ident("ull")) return false;
    leave();
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_here(JsonErrorClass::Eof, EOF_OBJECT);
    if (text_[pos_] != '}') return fail_here(JsonErrorClass::Syntax, "expected value");
    ++pos_;
    return true;
}

bool JsonReader::begin_array(std::string_view expected) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    if (text_[pos_] != '[') return fail_invalid_type(expected);
    if (!enter()) return false;
    ++pos_;
    return true;
}

bool JsonReader::next_element(bool& has_element) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_LIST);
    char c = text_[pos_];
    if (c == ']') {
        ++pos_;
        leave();
        has_element = false;
        return true;
    }
    if (first_[depth_]) {
        first_[depth_] = false;
    } else if (c == ',') {
        ++pos_;
        skip_whitespace();
        if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
        if (text_[pos_] == ']') return fail_peek(JsonErrorClass::Syntax, "trailing comma");
    } else {
        return fail_peek(JsonErrorClass::Syntax, "expected `,` or `]`");
    }
    has_element = true;
    return true;
}

bool JsonReader::end_array() {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_LIST);
    const char c = text_[pos_];
    if (c == ']') {
        ++pos_;
        leave();
        return true;
    }
    if (c == ',') {
        ++pos_;
        skip_whitespace();
        if (pos_ < text_.size() && text_[pos_] == ']') return fail_peek(JsonErrorClass::Syntax, "trailing comma");
    }
    return fail_peek(JsonErrorClass::Syntax, "trailing characters");
}

bool JsonReader::begin_object(std::string_view expected) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    if (text_[pos_] != '{') return fail_invalid_type(expected);
    if (!enter()) return false;
    ++pos_;
    return true;
}

bool JsonReader::next_key(std::string_view& key, bool& has_member) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_OBJECT);
    char c = text_[pos_];
    if (c == '}') {
        ++pos_;
        leave();
        has_member = false;
        return true;
    }
    if (first_[depth_]) {
        first_[depth_] = false;
    } else if (c == ',') {
        ++pos_;
        skip_whitespace();
        if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
        c = text_[pos_];
    } else {
        return fail_peek(JsonErrorClass::Syntax, "expected `,` or `}`");
    }
    if (c == '"') {
        ++pos_;
        if (!parse_string(key)) return false;
        has_member = true;
        return true;
    }
    if (c == '}') return fail_peek(JsonErrorClass::Syntax, "trailing comma");
    return fail_peek(JsonErrorClass::Syntax, "key must be a string");
}

bool JsonReader::member_colon() {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_OBJECT);
    if (text_[pos_] != ':') return fail_peek(JsonErrorClass::Syntax, "expected `:`");
    ++pos_;
    return true;
}

bool JsonReader::next_member(std::string_view& key, bool& has_member) {
    if (!next_key(key, has_member)) return false;
    return !has_member || member_colon();
}

bool JsonReader::finish() {
    skip_whitespace();
    if (pos_ < text_.size()) return fail_peek(JsonErrorClass::Syntax, "trailing characters");
    return true;
}

namespace {

// Keeps the first occurrence's place and the last occurrence's value of every repeated key.
void merge_duplicate_keys(std::vector<JsonObjectEntry>& entries) {
    const std::size_t count = entries.size();
    if (count < 2) return;
    std::vector<bool> dropped(count, false);
    bool any = false;
    if (count <= 16) {
        for (std::size_t later = 1; later < count; ++later) {
            for (std::size_t earlier = 0; earlier < later; ++earlier) {
                if (!dropped[earlier] && entries[earlier].key == entries[later].key) {
                    entries[earlier].value = std::move(entries[later].value);
                    dropped[later] = true;
                    any = true;
                    break;
                }
            }
        }
    } else {
        std::vector<std::uint32_t> order(count);
        for (std::size_t index = 0; index < count; ++index) order[index] = static_cast<std::uint32_t>(index);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return entries[a].key < entries[b].key; });
        for (std::size_t group = 0; group < count;) {
            std::size_t group_end = group + 1;
            while (group_end < count && entries[order[group_end]].key == entries[order[group]].key) ++group_end;
            if (group_end - group > 1) {
                entries[order[group]].value = std::move(entries[order[group_end - 1]].value);
                for (std::size_t member = group + 1; member < group_end; ++member) dropped[order[member]] = true;
                any = true;
            }
            group = group_end;
        }
    }
    if (!any) return;
    std::size_t kept = 0;
    for (std::size_t index = 0; index < count; ++index) {
        if (dropped[index]) continue;
        if (kept != index) entries[kept] = std::move(entries[index]);
        ++kept;
    }
    entries.resize(kept);
}

}  // namespace

// One value of any type into `out`, or checked and dropped when `out` is null. Recursion is
// bounded by JSON_MAX_DEPTH through enter().
bool JsonReader::value_into(JsonValue* out) {
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_peek(JsonErrorClass::Eof, EOF_VALUE);
    switch (text_[pos_]) {
        case 'n':
            ++pos_;
            if (!parse_ident("ull")) return false;
            if (out) out->kind = JsonKind::Null;
            return true;
        case 't':
        case 'f': {
            const bool value = text_[pos_] == 't';
            ++pos_;
            if (!parse_ident(value ? std::string_view("rue") : std::string_view("alse"))) return false;
            if (out) {
                out->kind = JsonKind::Bool;
                out->boolean = value;
            }
            return true;
        }
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
            Number number;
            if (!parse_any_number(number)) return false;
            if (out) {
                switch (number.kind) {
                    case Number::Kind::U64:
                        out->kind = JsonKind::UInt;
                        out->uint_value = number.u;
                        break;
                    case Number::Kind::I64:
                        out->kind = JsonKind::Int;
                        out->int_value = number.i;
                        break;
                    case Number::Kind::F64:
                        out->kind = JsonKind::Float;
                        out->float_value = number.f;
                        break;
                }
            }
            return true;
        }
        case '"': {
            ++pos_;
            std::string_view text;
            if (!parse_string(text)) return false;
            if (out) {
                out->kind = JsonKind::String;
                out->string.assign(text);
            }
            return true;
        }
        case '[': {
            if (!enter()) return false;
            ++pos_;
            if (out) out->kind = JsonKind::Array;
            for (;;) {
                bool has_element = false;
                if (!next_element(has_element)) return false;
                if (!has_element) return true;
                if (!value_into(out ? &out->array.emplace_back() : nullptr)) return false;
            }
        }
        case '{': {
            if (!enter()) return false;
            ++pos_;
            if (out) out->kind = JsonKind::Object;
            for (;;) {
                std::string_view key;
                bool has_member = false;
                if (!next_key(key, has_member)) return false;
                if (!has_member) break;
                JsonValue* slot = nullptr;
                if (out) {
                    JsonObjectEntry& entry = out->object.emplace_back();
                    entry.key.assign(key);
                    slot = &entry.value;
                }
                if (!member_colon() || !value_into(slot)) return false;
            }
            if (out) merge_duplicate_keys(out->object);
            return true;
        }
        default: return fail_peek(JsonErrorClass::Syntax, "expected value");
    }
}

bool JsonReader::read_value(JsonValue& out) {
    out = JsonValue{};
    return value_into(&out);
}

bool JsonReader::skip_value() { return value_into(nullptr); }

// ---- typed reads ---------------------------------------------------------------------------------

bool json_read(JsonReader& r, std::uint32_t& out) {
    std::uint64_t value = 0;
    if (!r.read_unsigned(value, UINT32_MAX, "u32")) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool json_read(JsonReader& r, std::uint16_t& out) {
    std::uint64_t value = 0;
    if (!r.read_unsigned(value, UINT16_MAX, "u16")) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool json_read(JsonReader& r, std::uint8_t& out) {
    std::uint64_t value = 0;
    if (!r.read_unsigned(value, UINT8_MAX, "u8")) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool json_read(JsonReader& r, std::int32_t& out) {
    std::int64_t value = 0;
    if (!r.read_signed(value, INT32_MIN, INT32_MAX, "i32")) return false;
    out = static_cast<std::int32_t>(value);
    return true;
}

bool json_read(JsonReader& r, JsonValue& out) { return r.read_value(out); }

bool json_read_tuple_length_error(JsonReader& r, std::size_t got, std::size_t want) {
    return r.fail_data(fmt::format("invalid length {}, expected a tuple of size {}", got, want));
}

JsonStatus json_validate(std::string_view text) {
    JsonReader reader(text);
    if (!reader.skip_value() || !reader.finish()) return std::unexpected(reader.take_error());
    return {};
}

// ---- records -------------------------------------------------------------------------------------

bool json_read_record(JsonReader& r, void* record, std::string_view name, std::span<const JsonFieldDesc> fields) {
    switch (r.peek()) {
        case JsonPeek::Array: {
            if (!r.begin_array("")) return false;
            bool ended = false;
            for (std::size_t index = 0; index < fields.size(); ++index) {
                const JsonFieldDesc& field = fields[index];
                if (!ended) {
                    bool has_element = false;
                    if (!r.next_element(has_element)) return false;
                    if (has_element) {
                        if (!field.read(r, record)) return false;
                        continue;
                    }
                    ended = true;  // the closing bracket is consumed
                }
                if (!field.defaulted)
                    return r.fail_data(fmt::format("invalid length {}, expected struct {} with {} elements", index, name,
                                                   fields.size()));
                field.reset(record);
            }
            return ended || r.end_array();
        }
        case JsonPeek::Object: {
            if (!r.begin_object("")) return false;
            std::uint64_t seen = 0;
            std::size_t guess = 0;  // members usually come in declaration order
            for (;;) {
                std::string_view key;
                bool has_member = false;
                if (!r.next_key(key, has_member)) return false;
                if (!has_member) break;
                std::size_t found = fields.size();
                for (std::size_t step = 0; step < fields.size(); ++step) {
                    std::size_t candidate = guess + step;
                    if (candidate >= fields.size()) candidate -= fields.size();
                    if (fields[candidate].key == key) {
                        found = candidate;
                        break;
                    }
                }
                if (found == fields.size()) {
                    if (!r.member_colon() || !r.skip_value()) return false;
                    continue;
                }
                const std::uint64_t bit = std::uint64_t{1} << found;
                if ((seen & bit) != 0) {
                    (void)r.peek();  // the position is just after the key and any whitespace
                    return r.fail_data(fmt::format("duplicate field `{}`", fields[found].key));
                }
                seen |= bit;
                if (!r.member_colon() || !fields[found].read(r, record)) return false;
                guess = found + 1 == fields.size() ? 0 : found + 1;
            }
            // The first absent required member, in declaration order, after the closing brace.
            for (std::size_t index = 0; index < fields.size(); ++index) {
                if ((seen & (std::uint64_t{1} << index)) != 0) continue;
                if (!fields[index].may_be_absent)
                    return r.fail_data(fmt::format("missing field `{}`", fields[index].key));
                fields[index].reset(record);
            }
            return true;
        }
        default: return r.fail_invalid_type(fmt::format("struct {}", name));
    }
}

void json_write_record(JsonWriter& w, const void* record, std::span<const JsonFieldDesc> fields) {
    w.begin_object();
    for (const JsonFieldDesc& field : fields) {
        if (field.is_empty != nullptr && field.is_empty(record)) continue;
        w.key(field.key);
        field.write(w, record);
    }
    w.end_object();
}

// ---- generic value -------------------------------------------------------------------------------

const JsonValue* JsonValue::find(std::string_view key) const {
    if (kind != JsonKind::Object) return nullptr;
    for (const JsonObjectEntry& entry : object) {
        if (entry.key == key) return &entry.value;
    }
    return nullptr;
}

JsonResult<JsonValue> json_parse_value(std::string_view text) {
    JsonReader reader(text);
    JsonValue value;
    if (!reader.read_value(value) || !reader.finish()) return std::unexpected(reader.take_error());
    return value;
}

std::optional<std::string> json_top_level_string_member(std::string_view text, std::string_view key) {
    JsonReader reader(text);
    // Anything but an object gives nothing whether or not it is valid JSON.
    if (reader.peek() != JsonPeek::Object) return std::nullopt;
    if (!reader.begin_object("")) return std::nullopt;
    std::optional<std::string> found;
    for (;;) {
        std::string_view member;
        bool has_member = false;
        if (!reader.next_member(member, has_member)) return std::nullopt;
        if (!has_member) break;
        if (member == key && reader.peek() == JsonPeek::String) {
            std::string_view value;
            if (!reader.read_string_view(value)) return std::nullopt;
            found.emplace(value);
            continue;
        }
        if (member == key) found.reset();  // the last occurrence counts, and it is not a string
        if (!reader.skip_value()) return std::nullopt;
    }
    if (!reader.finish()) return std::nullopt;
    return found;
}

}  // namespace vorp
