// The engine's JSON layer: a streaming writer (compact and two-space pretty form from one code
// path), a streaming reader that tracks its position and words its failures in one fixed style
// (stored and displayed error texts depend on it, so the wording and positions below are part of
// the contract), a declarative record binder (object form, array form, unknown members skipped,
// duplicate/missing members refused), and a generic value.
//
// Compact form (hashed byte for byte by manifests, deltas and edge ids): no whitespace, members in
// the order the caller writes them, integers in plain decimal over the full i64/u64 range, strings
// escaping only '"' '\\' (as \" \\), 0x08 0x09 0x0A 0x0C 0x0D (as \b \t \n \f \r) and every other
// byte below 0x20 (as \u00xx, lowercase hex); every other byte (0x7F, '/', UTF-8) is copied as is.
//
// Pretty form (manifest-chain files): "{", newline, two spaces per level, `"key": value`, "," ending
// every line but the last, the closing bracket on its own line at the opening level, "[]" and "{}"
// for empty containers, no trailing newline.
//
// Reader failures carry a message without position, the 1-based line and the column (the number
// of bytes from the start of the line up to and including the byte where the reader stopped; an
// empty input is line 1 column 0), and a class: syntax (including unexpected end of input) or data
// (the text is JSON but does not fit what was asked for). Messages:
//   syntax: "expected value", "expected ident", "expected `:`", "expected `,` or `}`",
//           "expected `,` or `]`", "key must be a string", "trailing characters", "trailing comma",
//           "invalid escape", "invalid number", "number out of range", "invalid unicode code point",
//           "control character (\u0000-\u001F) found while parsing a string",
//           "lone leading surrogate in hex escape", "unexpected end of hex escape",
//           "recursion limit exceeded";
//   eof:    "EOF while parsing a value" / "... a list" / "... an object" / "... a string";
//   data:   "invalid type: {unexpected}, expected {what}", "invalid value: {unexpected}, expected
//           {what}", "invalid length {n}, expected {what}", "unknown variant `{w}`, expected {..}",
//           "missing field `{k}`", "duplicate field `{k}`".
// {unexpected} is one of: null, boolean `true`, integer `5`, integer `-5`, floating point `1.5`,
// string "x" (debug quoted), sequence, map. Numbers with a fraction or exponent, -0, and integers
// outside the i64/u64 range are floating point and never fit an integer member.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorp {

// Deepest nesting of arrays and objects accepted anywhere (records, skipped members, values):
// 128 nested containers are read, the 129th opening bracket fails with "recursion limit exceeded".
inline constexpr std::uint32_t JSON_MAX_DEPTH = 128;

// ---- errors --------------------------------------------------------------------------------------

enum class JsonErrorClass : std::uint8_t {
    Syntax = 0,  // not JSON: an unexpected byte, a malformed token, trailing characters, too deep
    Eof = 1,     // not JSON: the text ends inside a value (or holds no value at all)
    Data = 2,    // JSON, but it does not fit: wrong type or range, missing/duplicate member, ...
};

struct JsonError {
    std::string message;  // without position, e.g. "missing field `rows`"
    std::uint64_t line = 1;
    std::uint64_t column = 0;
    JsonErrorClass error_class = JsonErrorClass::Syntax;

    // Syntax and end-of-input failures: the text is not valid JSON.
    bool is_syntax() const { return error_class != JsonErrorClass::Data; }
    bool is_data() const { return error_class == JsonErrorClass::Data; }
    // "{message} at line {line} column {column}": the text callers wrap into their own messages.
    std::string text() const;

    bool operator==(const JsonError&) const = default;
};

template <class T>
using JsonResult = std::expected<T, JsonError>;
using JsonStatus = std::expected<void, JsonError>;

// ---- writing -------------------------------------------------------------------------------------

// Appends `text` between double quotes with the minimal escaping described at the top of this file.
// Works byte by byte, so any byte string is written (the engine only passes UTF-8).
void append_json_string(std::string& out, std::string_view text);

// The most bytes append_json_string / write_json_string produce for a text of `size` bytes (every
// byte escaped as \u00xx, plus the quotes).
constexpr std::size_t json_string_bound(std::size_t size) { return 6 * size + 2; }
// The same bytes as append_json_string, written at `out` (which has room for
// json_string_bound(text.size()) bytes); returns the end of what was written. For writers that
// fill a raw buffer (std::string::resize_and_overwrite) rather than appending token by token.
char* write_json_string(char* out, std::string_view text);

enum class JsonStyle : std::uint8_t { Compact = 0, Pretty = 1 };

// Appends one JSON document to a caller-owned string, token by token; nothing is allocated per
// token beyond the string's own growth. The caller is responsible for well-formed nesting (a key
// before every object member value, balanced begin/end); the writer inserts "," ":" and, in the
// pretty style, newlines and indentation.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out, JsonStyle style = JsonStyle::Compact) : out_(out), style_(style) {}

    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    // The key of the next object member.
    void key(std::string_view key);

    void value_null();
    void value_bool(bool value);
    void value_u64(std::uint64_t value);
    void value_i64(std::int64_t value);
    void value_string(std::string_view value);
    // Places the separator of one value that the caller then appends itself, complete and in
    // compact form, to the returned string (the writer treats it as written). For records with a
    // hand-written compact form; in the pretty style containers must go through the calls above.
    std::string& begin_raw_value();

    std::string& out() { return out_; }
    JsonStyle style() const { return style_; }

private:
    void before_value();
    void newline_indent();

    std::string& out_;
    JsonStyle style_;
    std::uint32_t depth_ = 0;
    bool need_comma_ = false;  // a value was written at the current level
    bool after_key_ = false;   // the next value completes a member
};

// json_write overloads for the plain types; records declared with JsonRecord add their own
// (below), and further overloads may be declared next to the types they write (found by ADL).
inline void json_write(JsonWriter& w, bool v) { w.value_bool(v); }
inline void json_write(JsonWriter& w, std::uint8_t v) { w.value_u64(v); }
inline void json_write(JsonWriter& w, std::uint16_t v) { w.value_u64(v); }
inline void json_write(JsonWriter& w, std::uint32_t v) { w.value_u64(v); }
inline void json_write(JsonWriter& w, std::uint64_t v) { w.value_u64(v); }
inline void json_write(JsonWriter& w, std::int32_t v) { w.value_i64(v); }
inline void json_write(JsonWriter& w, std::int64_t v) { w.value_i64(v); }
inline void json_write(JsonWriter& w, std::string_view v) { w.value_string(v); }
inline void json_write(JsonWriter& w, const std::string& v) { w.value_string(v); }
inline void json_write(JsonWriter& w, const char* v) { w.value_string(v); }
// Absent is written as null.
template <class T>
void json_write(JsonWriter& w, const std::optional<T>& v) {
    if (v) json_write(w, *v);
    else w.value_null();
}
template <class T>
void json_write(JsonWriter& w, const std::vector<T>& v) {
    w.begin_array();
    for (const T& element : v) json_write(w, element);
    w.end_array();
}
// A pair is a two-element array.
template <class A, class B>
void json_write(JsonWriter& w, const std::pair<A, B>& v) {
    w.begin_array();
    json_write(w, v.first);
    json_write(w, v.second);
    w.end_array();
}

// The whole document of one value in the given style.
template <class T>
std::string json_to_string(const T& value, JsonStyle style = JsonStyle::Compact) {
    std::string out;
    JsonWriter writer(out, style);
    json_write(writer, value);
    return out;
}

// ---- reading -------------------------------------------------------------------------------------

struct JsonValue;

// What the next value is, judged by its first byte (after whitespace).
enum class JsonPeek : std::uint8_t { Null, Bool, Number, String, Array, Object, End, Invalid };

// A cursor over one JSON text. Every operation returns false on failure and stores the failure
// (take it with error()/take_error()); after a failure the reader must not be used further.
// Strings handed out as string_view point into the text when they hold no escape, otherwise into
// the reader's scratch buffer: they stay valid until the next read operation.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}
    JsonReader(const JsonReader&) = delete;
    JsonReader& operator=(const JsonReader&) = delete;

    // -- scalars (each skips leading whitespace; a value of another type fails with
    //    "invalid type: {unexpected}, expected {expected}" just after that value) --
    // An integer in [0, max]; above it (or negative) "invalid value: integer `N`, expected {expected}".
    [[nodiscard]] bool read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected);
    // An integer in [min, max]; outside it "invalid value: integer `N`, expected {expected}".
    [[nodiscard]] bool read_signed(std::int64_t& out, std::int64_t min, std::int64_t max, std::string_view expected);
    [[nodiscard]] bool read_bool(bool& out);                                   // expected "a boolean"
    [[nodiscard]] bool read_string(std::string& out);                          // expected "a string"
    [[nodiscard]] bool read_string_view(std::string_view& out, std::string_view expected = "a string");
    // Consumes a null if one is next (was_null = true); otherwise consumes nothing.
    [[nodiscard]] bool read_null(bool& was_null);
    // An enumeration written as one of `words` (byte for byte), or as an object with one member
    // whose key is one of the words and whose value is null. index = position in `words`.
    // Unknown word: "unknown variant `{w}`, expected `a` or `b`" (one word: "expected `a`"; three
    // or more: "expected one of `a`, `b`, `c`"); any other value: "invalid type: {unexpected},
    // expected variant identifier".
    [[nodiscard]] bool read_variant(std::span<const std::string_view> words, std::size_t& index);
    // Any value into a generic JsonValue (last duplicate key wins).
    [[nodiscard]] bool read_value(JsonValue& out);
    // Parses one value of any type and drops it. Fully checked like read_value (syntax, string
    // escapes and UTF-8, number range, depth) but keeps nothing.
    [[nodiscard]] bool skip_value();

    // -- containers --
    // Enters an array; a value of another type fails with "invalid type: ..., expected {expected}".
    [[nodiscard]] bool begin_array(std::string_view expected);
    // Positions on the next element (has_element = true; read it next) or consumes the closing
    // bracket (has_element = false; the array is finished).
    [[nodiscard]] bool next_element(bool& has_element);
    // For fixed-length arrays: after the last expected element, requires the closing bracket
    // ("trailing characters" / "trailing comma" otherwise).
    [[nodiscard]] bool end_array();
    // Enters an object; a value of another type fails with "invalid type: ..., expected {expected}".
    [[nodiscard]] bool begin_object(std::string_view expected);
    // Reads the next member's key and the ':' after it (has_member = true; read or skip the value
    // next), or consumes the closing brace (has_member = false). `key` is unescaped.
    [[nodiscard]] bool next_member(std::string_view& key, bool& has_member);
    // next_member without the ':' (then call member_colon before the value): lets a record refuse
    // a duplicate key at the position just after the key.
    [[nodiscard]] bool next_key(std::string_view& key, bool& has_member);
    [[nodiscard]] bool member_colon();

    // -- document end --
    // Only whitespace may remain; otherwise "trailing characters".
    [[nodiscard]] bool finish();

    // -- inspection and custom failures --
    // The kind of the next value after whitespace (consumes only whitespace).
    JsonPeek peek();
    // Fails with "invalid type: {unexpected}, expected {expected}", describing the value that
    // comes next (scalars are consumed to describe them; the error points just after them).
    bool fail_invalid_type(std::string_view expected);
    // Fails with a data error `message` at the current position.
    bool fail_data(std::string message);

    const JsonError& error() const { return error_; }
    JsonError take_error() { return std::move(error_); }
    // Byte offset of the cursor in the text.
    std::size_t offset() const { return pos_; }

private:
    struct Number;

    bool fail_at(std::size_t end, JsonErrorClass error_class, std::string message);
    bool fail_here(JsonErrorClass error_class, std::string_view message);
    bool fail_peek(JsonErrorClass error_class, std::string_view message);
    void skip_whitespace();
    bool enter();
    void leave() { --depth_; }
    bool parse_ident(std::string_view rest);
    bool parse_number(bool positive, Number& out);
    bool parse_long_integer(std::size_t start, bool positive, Number& out);
    bool parse_decimal(std::size_t start, bool positive, Number& out);
    bool parse_exponent(std::size_t start, bool positive, Number& out);
    bool float_from_text(std::size_t start, bool positive, Number& out);
    bool parse_any_number(Number& out);
    bool parse_string(std::string_view& out);
    bool parse_escape();
    bool parse_unicode_escape();
    bool decode_hex_escape(std::uint32_t& out);
    bool read_integer(Number& out, std::string_view expected);
    bool value_into(JsonValue* out);
    bool end_seq();

    std::string_view text_;
    std::size_t pos_ = 0;
    std::uint32_t depth_ = 0;
    std::array<bool, JSON_MAX_DEPTH + 1> first_{};  // per open container: no element/member yet
    std::string scratch_;
    JsonError error_;
};

// json_read overloads for the plain types. Integers check their range ("expected u8", "u16",
// "u32", "u64", "i32", "i64"); optional reads null as absent; vector reads an array ("a
// sequence"); pair reads a two-element array ("a tuple of size 2"). Records add their own.
inline bool json_read(JsonReader& r, std::uint64_t& out) { return r.read_unsigned(out, UINT64_MAX, "u64"); }
bool json_read(JsonReader& r, std::uint32_t& out);
bool json_read(JsonReader& r, std::uint16_t& out);
bool json_read(JsonReader& r, std::uint8_t& out);
inline bool json_read(JsonReader& r, std::int64_t& out) { return r.read_signed(out, INT64_MIN, INT64_MAX, "i64"); }
bool json_read(JsonReader& r, std::int32_t& out);
inline bool json_read(JsonReader& r, bool& out) { return r.read_bool(out); }
inline bool json_read(JsonReader& r, std::string& out) { return r.read_string(out); }
bool json_read(JsonReader& r, JsonValue& out);
template <class T>
bool json_read(JsonReader& r, std::optional<T>& out) {
    bool was_null = false;
    if (!r.read_null(was_null)) return false;
    if (was_null) {
        out.reset();
        return true;
    }
    return json_read(r, out.emplace());
}
template <class T>
bool json_read(JsonReader& r, std::vector<T>& out) {
    out.clear();
    if (!r.begin_array("a sequence")) return false;
    for (;;) {
        bool has_element = false;
        if (!r.next_element(has_element)) return false;
        if (!has_element) return true;
        if (!json_read(r, out.emplace_back())) return false;
    }
}
bool json_read_tuple_length_error(JsonReader& r, std::size_t got, std::size_t want);
template <class A, class B>
bool json_read(JsonReader& r, std::pair<A, B>& out) {
    if (!r.begin_array("a tuple of size 2")) return false;
    bool has_element = false;
    if (!r.next_element(has_element)) return false;
    if (!has_element) return json_read_tuple_length_error(r, 0, 2);
    if (!json_read(r, out.first)) return false;
    if (!r.next_element(has_element)) return false;
    if (!has_element) return json_read_tuple_length_error(r, 1, 2);
    if (!json_read(r, out.second)) return false;
    return r.end_array();
}

// One whole document: a value of type T followed by nothing but whitespace. T needs a json_read
// overload (plain types above, records, or the caller's own).
template <class T>
JsonResult<T> json_parse(std::string_view text) {
    JsonReader reader(text);
    T value{};
    if (!json_read(reader, value) || !reader.finish()) return std::unexpected(reader.take_error());
    return value;
}

// Checks that `text` is exactly one JSON value (within JSON_MAX_DEPTH) and whitespace.
JsonStatus json_validate(std::string_view text);

// ---- records -------------------------------------------------------------------------------------
//
// A record is declared once, as a table of its members in declaration order; reading and writing
// both follow the table:
//
//   struct ColumnDesc { std::string name; DType dtype; std::uint64_t offset, bytes; std::uint32_t codec; };
//   bool json_read(JsonReader& r, DType& out);            // enumerations: read_variant
//   void json_write(JsonWriter& w, DType value);
//   inline constexpr JsonRecord COLUMN_DESC_JSON{"ColumnDesc", {
//       json_field<&ColumnDesc::name>("name"),
//       json_field<&ColumnDesc::dtype>("dtype"),
//       json_field<&ColumnDesc::offset>("offset"),
//       json_field<&ColumnDesc::bytes>("bytes"),
//       json_field<&ColumnDesc::codec>("codec"),
//   }};
//   bool json_read(JsonReader& r, ColumnDesc& out) { return COLUMN_DESC_JSON.read(r, out); }
//   void json_write(JsonWriter& w, const ColumnDesc& v) { COLUMN_DESC_JSON.write(w, v); }
//   JsonResult<ColumnDesc> desc = json_parse<ColumnDesc>(text);   // whole document
//
// Declare the json_read/json_write overloads of nested types before the table that uses them.
//
// Reading a record:
// - object form: members in any order; unknown keys skipped (their values fully parsed); a known
//   key given twice fails with "duplicate field `k`" just after the key; after the closing brace the
//   first absent required member in declaration order fails with "missing field `k`".
//   std::optional members may be absent (and may be null); `defaulted` members may be absent
//   (value-initialised).
// - array form: the member values in declaration order; a missing element fails with "invalid
//   length {i}, expected struct {Name} with {N} elements" just after the closing bracket, unless
//   the member is `defaulted` (so trailing defaulted members may be left out); extra elements fail
//   with "trailing characters".
// - any other value: "invalid type: {unexpected}, expected struct {Name}".
// Writing a record: an object with every member in declaration order (optional absent as null),
// except `omit_empty` members whose value is empty (string or container), which are left out.

struct JsonFieldOptions {
    bool defaulted = false;   // may be absent (object form) or left out at the end (array form)
    bool omit_empty = false;  // not written when empty (needs .empty() on the member type)
};

// The type-erased description of one member; built by json_field.
struct JsonFieldDesc {
    std::string_view key;
    bool (*read)(JsonReader&, void* record) = nullptr;
    void (*write)(JsonWriter&, const void* record) = nullptr;
    void (*reset)(void* record) = nullptr;              // value-initialises the member
    bool (*is_empty)(const void* record) = nullptr;     // set when omit_empty
    bool may_be_absent = false;                         // optional or defaulted
    bool defaulted = false;
};

template <class Record>
struct JsonField {
    JsonFieldDesc desc;
};

namespace json_detail {
template <class M>
struct member_pointer;
template <class R, class T>
struct member_pointer<T R::*> {
    using record = R;
    using type = T;
};
inline void omit_empty_needs_an_empty_member() {}
template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;
}  // namespace json_detail

template <auto Member>
constexpr JsonField<typename json_detail::member_pointer<decltype(Member)>::record> json_field(
    std::string_view key, JsonFieldOptions options = {}) {
    using Record = typename json_detail::member_pointer<decltype(Member)>::record;
    using Type = typename json_detail::member_pointer<decltype(Member)>::type;
    JsonFieldDesc desc;
    desc.key = key;
    desc.read = [](JsonReader& r, void* record) -> bool {
        return json_read(r, static_cast<Record*>(record)->*Member);
    };
    desc.write = [](JsonWriter& w, const void* record) {
        json_write(w, static_cast<const Record*>(record)->*Member);
    };
    desc.reset = [](void* record) { static_cast<Record*>(record)->*Member = Type{}; };
    if (options.omit_empty) {
        if constexpr (requires(const Type& value) { value.empty(); }) {
            desc.is_empty = [](const void* record) -> bool {
                return (static_cast<const Record*>(record)->*Member).empty();
            };
        } else {
            // Not a constant expression: a constexpr table asking omit_empty of a member type
            // without empty() does not compile.
            json_detail::omit_empty_needs_an_empty_member();
        }
    }
    desc.may_be_absent = options.defaulted || json_detail::is_optional<Type>;
    desc.defaulted = options.defaulted;
    return JsonField<Record>{desc};
}

// The non-template core of record reading and writing.
bool json_read_record(JsonReader& r, void* record, std::string_view name, std::span<const JsonFieldDesc> fields);
void json_write_record(JsonWriter& w, const void* record, std::span<const JsonFieldDesc> fields);

template <class Record, std::size_t N>
struct JsonRecord {
    static_assert(N >= 1 && N <= 64, "a record has 1 to 64 members");
    std::string_view name;  // "SegmentHeader": expected texts "struct SegmentHeader", "... with N elements"
    std::array<JsonFieldDesc, N> fields{};

    constexpr JsonRecord(std::string_view record_name, const JsonField<Record> (&members)[N]) : name(record_name) {
        for (std::size_t i = 0; i < N; ++i) fields[i] = members[i].desc;
    }

    bool read(JsonReader& r, Record& out) const { return json_read_record(r, &out, name, fields); }
    void write(JsonWriter& w, const Record& value) const { json_write_record(w, &value, fields); }
};

// ---- generic value -------------------------------------------------------------------------------

enum class JsonKind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

struct JsonObjectEntry;

// Any JSON value. Numbers keep the form they were read in: a non-negative integer up to 2^64-1 is
// UInt, a negative one down to -2^63 is Int, anything else (fraction, exponent, -0, out of the
// integer ranges) is Float. An object keeps its keys unique: when a key repeats, the last value
// wins (at the place of the first occurrence).
struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    std::uint64_t uint_value = 0;
    std::int64_t int_value = 0;
    double float_value = 0;
    std::string string;
    std::vector<JsonValue> array;
    std::vector<JsonObjectEntry> object;

    bool is_null() const { return kind == JsonKind::Null; }
    bool is_string() const { return kind == JsonKind::String; }
    bool is_object() const { return kind == JsonKind::Object; }
    bool is_array() const { return kind == JsonKind::Array; }
    // The member of an object with exactly this (unescaped) key; null when absent or not an object.
    const JsonValue* find(std::string_view key) const;
};

struct JsonObjectEntry {
    std::string key;
    JsonValue value;
};

// One whole document into a JsonValue: depth limited to JSON_MAX_DEPTH ("recursion limit
// exceeded"), nothing but whitespace after the value ("trailing characters"); numbers beyond the
// f64 range ("number out of range"), lone surrogate escapes and raw control characters in strings
// fail.
JsonResult<JsonValue> json_parse_value(std::string_view text);

// The string value of member `key` of the top-level object of `text`, with exactly the acceptance
// of json_parse_value (the whole text must be one valid JSON value followed by whitespace): nothing
// when the text is not valid, not an object, has no such member, or when the last occurrence of
// the key does not hold a string. Allocates only the result.
std::optional<std::string> json_top_level_string_member(std::string_view text, std::string_view key);

}  // namespace vorp
