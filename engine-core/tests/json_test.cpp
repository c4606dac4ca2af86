#include "vorp/json.h"
#include "vorp/text.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include <string>
#include <vector>

namespace vorp {
namespace {

// ---- test records: shaped like the engine's (an enumeration, a pair, nested lists, an optional
// member, a trailing defaulted member) ----

enum class Kind2 : std::uint8_t { Node = 0, Edge = 1 };
enum class Kind4 : std::uint8_t { I64 = 0, U64 = 1, U32 = 2, U16 = 3 };

constexpr std::string_view KIND2_WORDS[] = {"node", "edge"};
constexpr std::string_view KIND4_WORDS[] = {"i64", "u64", "u32", "u16"};

bool json_read(JsonReader& r, Kind2& out) {
    std::size_t index = 0;
    if (!r.read_variant(KIND2_WORDS, index)) return false;
    out = static_cast<Kind2>(index);
    return true;
}
void json_write(JsonWriter& w, Kind2 value) { w.value_string(KIND2_WORDS[static_cast<int>(value)]); }
bool json_read(JsonReader& r, Kind4& out) {
    std::size_t index = 0;
    if (!r.read_variant(KIND4_WORDS, index)) return false;
    out = static_cast<Kind4>(index);
    return true;
}
void json_write(JsonWriter& w, Kind4 value) { w.value_string(KIND4_WORDS[static_cast<int>(value)]); }

struct Col {
    std::string name;
    Kind4 dtype = Kind4::I64;
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;
    std::uint32_t codec = 0;
    bool operator==(const Col&) const = default;
};

struct Outer {
    std::uint32_t format = 0;
    Kind2 kind = Kind2::Node;
    std::pair<std::int64_t, std::string> key;
    std::vector<Col> columns;
    std::optional<std::uint64_t> parent;
    std::vector<std::pair<std::uint32_t, std::int64_t>> closed;  // may be left out
    bool operator==(const Outer&) const = default;
};

bool json_read(JsonReader& r, Col& out);
void json_write(JsonWriter& w, const Col& value);

constexpr JsonRecord COL_JSON{"Col",
                              {
                                  json_field<&Col::name>("name"),
                                  json_field<&Col::dtype>("dtype"),
                                  json_field<&Col::offset>("offset"),
                                  json_field<&Col::bytes>("bytes"),
                                  json_field<&Col::codec>("codec"),
                              }};
bool json_read(JsonReader& r, Col& out) { return COL_JSON.read(r, out); }
void json_write(JsonWriter& w, const Col& value) { COL_JSON.write(w, value); }

constexpr JsonRecord OUTER_JSON{"Outer",
                                {
                                    json_field<&Outer::format>("format"),
                                    json_field<&Outer::kind>("kind"),
                                    json_field<&Outer::key>("key"),
                                    json_field<&Outer::columns>("columns"),
                                    json_field<&Outer::parent>("parent"),
                                    json_field<&Outer::closed>("closed", {.defaulted = true}),
                                }};
bool json_read(JsonReader& r, Outer& out) { return OUTER_JSON.read(r, out); }
void json_write(JsonWriter& w, const Outer& value) { OUTER_JSON.write(w, value); }

// A delta-like record whose empty members are left out when written.
struct Sparse {
    std::uint32_t format = 0;
    std::string tag;
    std::vector<std::string> adds;
    bool operator==(const Sparse&) const = default;
};
constexpr JsonRecord SPARSE_JSON{"Sparse",
                                 {
                                     json_field<&Sparse::format>("format"),
                                     json_field<&Sparse::tag>("tag", {.defaulted = true, .omit_empty = true}),
                                     json_field<&Sparse::adds>("adds", {.defaulted = true, .omit_empty = true}),
                                 }};
bool json_read(JsonReader& r, Sparse& out) { return SPARSE_JSON.read(r, out); }
void json_write(JsonWriter& w, const Sparse& value) { SPARSE_JSON.write(w, value); }

template <class T>
std::string failure_text(std::string_view text) {
    auto result = json_parse<T>(text);
    if (result) return "<parsed>";
    return result.error().text();
}

std::string value_failure(std::string_view text) {
    auto result = json_parse_value(text);
    if (result) return "<parsed>";
    return result.error().text();
}

// ---- writer ------------------------------------------------------------------------------------

TEST(JsonWriter, EscapesExactlyTheMinimalSet) {
    struct Case {
        std::string text;
        std::string json;
    };
    std::vector<Case> cases = {
        {"", R"("")"},
        {"plain text/with solidus", R"("plain text/with solidus")"},
        {"\"", R"("\"")"},
        {"\\", R"("\\")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\0", 1), R"("\u0000")"},
        {"\x01", R"("\u0001")"},
        {"\x0b", R"("\u000b")"},
        {"\x1f", R"("\u001f")"},
        {"\x7f", "\"\x7f\""},
        {"\xc3\xa9", "\"\xc3\xa9\""},              // é raw
        {"\xe2\x80\xa8", "\"\xe2\x80\xa8\""},      // U+2028 raw
        {"a\"b\\c\x02" "d", R"("a\"b\\c\u0002d")"},
    };
    for (std::uint32_t byte = 0; byte < 0x20; ++byte) {
        if (byte == 8 || byte == 9 || byte == 10 || byte == 12 || byte == 13) continue;
        cases.push_back({std::string(1, static_cast<char>(byte)), fmt::format("\"\\u{:04x}\"", byte)});
    }
    for (const Case& c : cases) {
        std::string out;
        append_json_string(out, c.text);
        EXPECT_EQ(out, c.json) << "for " << c.json;
        auto back = json_parse<std::string>(out);
        ASSERT_TRUE(back) << back.error().text();
        EXPECT_EQ(*back, c.text);
    }
}

TEST(JsonWriter, CompactIntegersAndNesting) {
    std::string out;
    JsonWriter w(out);
    w.begin_object();
    w.key("u");
    w.value_u64(UINT64_MAX);
    w.key("i");
    w.value_i64(INT64_MIN);
    w.key("z");
    w.value_i64(0);
    w.key("list");
    w.begin_array();
    w.value_bool(true);
    w.value_bool(false);
    w.value_null();
    w.begin_array();
    w.end_array();
    w.begin_object();
    w.end_object();
    w.value_string("s");
    w.end_array();
    w.key("empty");
    w.begin_object();
    w.end_object();
    w.end_object();
    EXPECT_EQ(out,
              R"({"u":18446744073709551615,"i":-9223372036854775808,"z":0,"list":[true,false,null,[],{},"s"],"empty":{}})");
}

TEST(JsonWriter, PrettyMatchesTwoSpaceLayoutByteForByte) {
    std::string out;
    JsonWriter w(out, JsonStyle::Pretty);
    w.begin_object();
    w.key("kind");
    w.value_string("checkpoint");
    w.key("a");
    w.begin_array();
    w.end_array();
    w.key("b");
    w.begin_object();
    w.end_object();
    w.key("c");
    w.begin_array();
    w.value_i64(-1);
    w.begin_object();
    w.key("d");
    w.begin_array();
    w.end_array();
    w.key("e");
    w.begin_array();
    w.value_u64(7);
    w.value_string("x");
    w.end_array();
    w.end_object();
    w.end_array();
    w.key("f");
    w.begin_object();
    w.key("g");
    w.value_null();
    w.end_object();
    w.end_object();
    const std::string expected =
        "{\n"
        "  \"kind\": \"checkpoint\",\n"
        "  \"a\": [],\n"
        "  \"b\": {},\n"
        "  \"c\": [\n"
        "    -1,\n"
        "    {\n"
        "      \"d\": [],\n"
        "      \"e\": [\n"
        "        7,\n"
        "        \"x\"\n"
        "      ]\n"
        "    }\n"
        "  ],\n"
        "  \"f\": {\n"
        "    \"g\": null\n"
        "  }\n"
        "}";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(json_to_string(std::vector<int64_t>{}, JsonStyle::Pretty), "[]");
}

TEST(JsonWriter, RecordsWriteDeclarationOrderAndOmitEmptyMembers) {
    Outer outer;
    outer.format = 1;
    outer.kind = Kind2::Edge;
    outer.key = {-5, "v\t"};
    outer.columns = {Col{"vt_s", Kind4::I64, 0, 8, 0}};
    outer.closed = {{3, 9}};
    EXPECT_EQ(json_to_string(outer),
              R"({"format":1,"kind":"edge","key":[-5,"v\t"],"columns":[{"name":"vt_s","dtype":"i64","offset":0,)"
              R"("bytes":8,"codec":0}],"parent":null,"closed":[[3,9]]})");
    EXPECT_EQ(json_to_string(Sparse{3, "", {}}), R"({"format":3})");
    EXPECT_EQ(json_to_string(Sparse{3, "t", {"a"}}), R"({"format":3,"tag":"t","adds":["a"]})");
    auto sparse = json_parse<Sparse>(R"({"format":3})");
    ASSERT_TRUE(sparse);
    EXPECT_EQ(*sparse, (Sparse{3, "", {}}));
    // Round trip through both styles.
    for (JsonStyle style : {JsonStyle::Compact, JsonStyle::Pretty}) {
        auto back = json_parse<Outer>(json_to_string(outer, style));
        ASSERT_TRUE(back) << back.error().text();
        EXPECT_EQ(*back, outer);
    }
}

// ---- records -----------------------------------------------------------------------------------

TEST(JsonRecordRead, ObjectFormAnyOrderUnknownMembersSkipped) {
    auto col = json_parse<Col>(
        R"( {"zzz":{"deep":[1,-2.5e3,{"x":null}],"s":"\u00e9"},"codec":1,"bytes":6,"offset":5,)"
        R"("dtype":"u32","name":"c\"1","zzz":true} )");
    ASSERT_TRUE(col) << col.error().text();
    EXPECT_EQ(*col, (Col{"c\"1", Kind4::U32, 5, 6, 1}));

    // The one-member object form of an enumeration.
    auto object_variant = json_parse<Col>(R"({"name":"a","dtype":{ "u16" : null },"offset":0,"bytes":0,"codec":0})");
    ASSERT_TRUE(object_variant) << object_variant.error().text();
    EXPECT_EQ(object_variant->dtype, Kind4::U16);
}

TEST(JsonRecordRead, OptionalAndDefaultedMembers) {
    const std::string base = R"({"format":1,"kind":"node","key":[0,""],"columns":[])";
    auto absent = json_parse<Outer>(base + "}");
    ASSERT_TRUE(absent) << absent.error().text();
    EXPECT_FALSE(absent->parent.has_value());
    EXPECT_TRUE(absent->closed.empty());
    auto null_parent = json_parse<Outer>(base + R"(,"parent":null})");
    ASSERT_TRUE(null_parent);
    EXPECT_FALSE(null_parent->parent.has_value());
    auto with_parent = json_parse<Outer>(base + R"(,"parent":18446744073709551615,"closed":[[1,-2]]})");
    ASSERT_TRUE(with_parent);
    EXPECT_EQ(with_parent->parent, std::optional<std::uint64_t>(UINT64_MAX));
    EXPECT_EQ(with_parent->closed, (std::vector<std::pair<std::uint32_t, std::int64_t>>{{1, -2}}));
    // A defaulted member does not accept null.
    EXPECT_EQ(failure_text<Outer>(base + R"(,"closed":null})"),
              "invalid type: null, expected a sequence at line 1 column 65");
}

TEST(JsonRecordRead, ArrayForm) {
    auto full = json_parse<Outer>(R"([1,"edge",[-5,"v"],[["c","u64",0,8,1]],null,[[2,3]]])");
    ASSERT_TRUE(full) << full.error().text();
    EXPECT_EQ(full->kind, Kind2::Edge);
    EXPECT_EQ(full->columns.at(0), (Col{"c", Kind4::U64, 0, 8, 1}));
    EXPECT_EQ(full->closed.size(), 1u);
    // The trailing defaulted member may be left out; the optional one may not.
    auto short_form = json_parse<Outer>(R"([1,"edge",[-5,"v"],[],7])");
    ASSERT_TRUE(short_form) << short_form.error().text();
    EXPECT_EQ(short_form->parent, std::optional<std::uint64_t>(7));
    EXPECT_EQ(failure_text<Outer>(R"([1,"edge",[-5,"v"],[]])"),
              "invalid length 4, expected struct Outer with 6 elements at line 1 column 22");
    EXPECT_EQ(failure_text<Col>(R"(["a","u16",0,2])"),
              "invalid length 4, expected struct Col with 5 elements at line 1 column 15");
    EXPECT_EQ(failure_text<Col>(R"([])"), "invalid length 0, expected struct Col with 5 elements at line 1 column 2");
    EXPECT_EQ(failure_text<Col>(R"(["a","u16",0,2,0,9])"), "trailing characters at line 1 column 18");
    EXPECT_EQ(failure_text<Col>(R"(["a","u16",0,2,0,])"), "trailing comma at line 1 column 18");
}

TEST(JsonRecordRead, FailureTextsAndPositions) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // missing: the first absent required member in declaration order, just after '}'
        {R"({"name":"a","dtype":"u32","offset":0,"codec":0})", "missing field `bytes` at line 1 column 47"},
        {R"({"codec":0})", "missing field `name` at line 1 column 11"},
        // duplicate: just after the key and the whitespace that follows it
        {R"({"name":"a","name" :"b"})", "duplicate field `name` at line 1 column 19"},
        {"{\n  \"name\": \"a\",\n  \"name\": \"a\"\n}", "duplicate field `name` at line 3 column 8"},
        // type and range: just after the offending value
        {R"({"name":5})", "invalid type: integer `5`, expected a string at line 1 column 9"},
        {R"({"name":null})", "invalid type: null, expected a string at line 1 column 12"},
        {R"({"name":["a"]})", "invalid type: sequence, expected a string at line 1 column 8"},
        {R"({"offset":"x"})", "invalid type: string \"x\", expected u64 at line 1 column 13"},
        {R"({"offset":true})", "invalid type: boolean `true`, expected u64 at line 1 column 14"},
        {R"({"offset":{}})", "invalid type: map, expected u64 at line 1 column 10"},
        {R"({"offset":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 12"},
        {R"({"offset":1.5})", "invalid type: floating point `1.5`, expected u64 at line 1 column 13"},
        {R"({"offset":-0})", "invalid type: floating point `-0.0`, expected u64 at line 1 column 12"},
        {R"({"offset":1e2})", "invalid type: floating point `100.0`, expected u64 at line 1 column 13"},
        {R"({"offset":18446744073709551616})",
         "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 column 30"},
        {R"({"codec":4294967296})", "invalid value: integer `4294967296`, expected u32 at line 1 column 19"},
        {R"({"codec":4294967295,"x":1})", "missing field `name` at line 1 column 26"},
        // enumerations
        {R"({"dtype":"U16"})", "unknown variant `U16`, expected one of `i64`, `u64`, `u32`, `u16` at line 1 column 14"},
        {R"({"dtype":5})", "invalid type: integer `5`, expected variant identifier at line 1 column 10"},
        {R"({"dtype":[]})", "invalid type: sequence, expected variant identifier at line 1 column 9"},
        {R"({"dtype":{"u16":1}})", "invalid type: integer `1`, expected unit at line 1 column 17"},
        {R"({"dtype":{"x16":null}})", "unknown variant `x16`, expected one of `i64`, `u64`, `u32`, `u16` at line 1 column 15"},
        // not a record
        {"5", "invalid type: integer `5`, expected struct Col at line 1 column 1"},
        {R"("x")", "invalid type: string \"x\", expected struct Col at line 1 column 3"},
        {"null", "invalid type: null, expected struct Col at line 1 column 4"},
        // syntax
        {"", "EOF while parsing a value at line 1 column 0"},
        {R"({"name":"abc)", "EOF while parsing a string at line 1 column 12"},
        {R"({"name":"a","dtype":"u32","offset":0,"bytes":0,"codec":0} x)", "trailing characters at line 1 column 59"},
        {R"({"name":"a",})", "trailing comma at line 1 column 13"},
        {R"({"name" "a"})", "expected `:` at line 1 column 9"},
        {R"({"name":"a" "b"})", "expected `,` or `}` at line 1 column 13"},
        {R"({"name":"a")", "EOF while parsing an object at line 1 column 11"},
        {R"({"zz":[1,2)", "EOF while parsing a list at line 1 column 10"},
    };
    for (const Case& c : cases) EXPECT_EQ(failure_text<Col>(c.text), c.expected) << "input: " << c.text;

    EXPECT_EQ(failure_text<Outer>(R"({"kind":"nod"})"), "unknown variant `nod`, expected `node` or `edge` at line 1 column 13");
    EXPECT_EQ(failure_text<Outer>(R"({"key":[5]})"), "invalid length 1, expected a tuple of size 2 at line 1 column 10");
    EXPECT_EQ(failure_text<Outer>(R"({"key":[5,"a",6]})"), "trailing characters at line 1 column 15");
    EXPECT_EQ(failure_text<Outer>(R"({"key":5})"), "invalid type: integer `5`, expected a tuple of size 2 at line 1 column 8");
    EXPECT_EQ(failure_text<Outer>(R"({"closed":[[4294967296,0]]})"),
              "invalid value: integer `4294967296`, expected u32 at line 1 column 22");
    // A nested record's missing member, reported at its own closing brace on its own line.
    const std::string nested =
        "{\n  \"format\": 1,\n  \"kind\": \"edge\",\n  \"key\": [0, \"\"],\n  \"columns\": [\n"
        "    {\"name\": \"a\", \"dtype\": \"u16\", \"offset\": 0, \"bytes\": 2}\n  ]\n}";
    EXPECT_EQ(failure_text<Outer>(nested), "missing field `codec` at line 6 column 58");
}

TEST(JsonRecordRead, ErrorClasses) {
    auto classify = [](std::string_view text) { return json_parse<Col>(text).error().error_class; };
    EXPECT_EQ(classify(R"({"name":"a"})"), JsonErrorClass::Data);
    EXPECT_EQ(classify(R"({"name":1})"), JsonErrorClass::Data);
    EXPECT_EQ(classify(R"(["a"])"), JsonErrorClass::Data);
    EXPECT_EQ(classify("7"), JsonErrorClass::Data);
    EXPECT_EQ(classify(R"({"name":"a","name":"a"})"), JsonErrorClass::Data);
    EXPECT_EQ(classify(R"({"name")"), JsonErrorClass::Eof);
    EXPECT_EQ(classify(""), JsonErrorClass::Eof);
    EXPECT_EQ(classify(R"({"name":"a","dtype":"u32","offset":0,"bytes":0,"codec":0} {})"), JsonErrorClass::Syntax);
    EXPECT_EQ(classify(R"({"x":01})"), JsonErrorClass::Syntax);
    EXPECT_TRUE(json_parse<Col>("{]").error().is_syntax());
    EXPECT_FALSE(json_parse<Col>("{}").error().is_syntax());
}

// ---- depth limit -------------------------------------------------------------------------------

TEST(JsonDepth, LimitIs128NestedContainers) {
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(json_parse_value(nested(128)));
    EXPECT_TRUE(json_validate(nested(128)));
    EXPECT_EQ(value_failure(nested(129)), "recursion limit exceeded at line 1 column 129");
    EXPECT_EQ(value_failure(std::string(100000, '[')), "recursion limit exceeded at line 1 column 129");

    // Inside a record the record itself is one level: a skipped member may nest 127 more.
    const auto record = [&](std::size_t depth) {
        return R"({"x":)" + nested(depth) + R"(,"name":"a","dtype":"u16","offset":0,"bytes":0,"codec":0})";
    };
    EXPECT_TRUE(json_parse<Col>(record(127)));
    EXPECT_EQ(failure_text<Col>(record(128)), "recursion limit exceeded at line 1 column 133");
}

// ---- generic value -----------------------------------------------------------------------------

TEST(JsonValueParse, KindsDuplicatesAndUnescaping) {
    auto value = json_parse_value(
        R"({"a":1,"b":-2,"c":1.5,"d":"x\u00e9\ud83d\ude00\n","e":[null,true,false],"a":{"n":[]},"f":-0,)"
        R"("g":18446744073709551615,"h":-9223372036854775808,"i":-9223372036854775809})");
    ASSERT_TRUE(value) << value.error().text();
    ASSERT_TRUE(value->is_object());
    EXPECT_EQ(value->object.size(), 9u);  // "a" once, at its first place, with its last value
    EXPECT_EQ(value->object[0].key, "a");
    EXPECT_EQ(value->find("a")->kind, JsonKind::Object);
    EXPECT_EQ(value->find("b")->int_value, -2);
    EXPECT_EQ(value->find("c")->float_value, 1.5);
    EXPECT_EQ(value->find("d")->string, "x\xc3\xa9\xf0\x9f\x98\x80\n");
    EXPECT_EQ(value->find("e")->array.size(), 3u);
    EXPECT_EQ(value->find("f")->kind, JsonKind::Float);
    EXPECT_TRUE(std::signbit(value->find("f")->float_value));
    EXPECT_EQ(value->find("g")->uint_value, UINT64_MAX);
    EXPECT_EQ(value->find("h")->int_value, INT64_MIN);
    EXPECT_EQ(value->find("i")->kind, JsonKind::Float);
    EXPECT_EQ(value->find("zz"), nullptr);

    // Many members with repeats: the last value wins for each key.
    std::string many = "{";
    for (int index = 0; index < 40; ++index) many += fmt::format("\"k{}\":{},", index % 20, index);
    many += "\"end\":0}";
    auto big = json_parse_value(many);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->object.size(), 21u);
    EXPECT_EQ(big->object[3].key, "k3");
    EXPECT_EQ(big->find("k3")->uint_value, 23u);
}

TEST(JsonValueParse, SyntaxFailures) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"  ", "EOF while parsing a value at line 1 column 2"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"{} \n x", "trailing characters at line 2 column 2"},
        {"1e400", "number out of range at line 1 column 5"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"[1e99999999999]", "number out of range at line 1 column 13"},
        {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
        {"\"\\u12g4\"", "invalid escape at line 1 column 7"},
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"a\x01" "b\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[,1]", "expected value at line 1 column 2"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"trux", "expected ident at line 1 column 4"},
        {"01", "invalid number at line 1 column 2"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-a", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.x", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+x", "invalid number at line 1 column 4"},
        {"@", "expected value at line 1 column 1"},
    };
    for (const Case& c : cases) EXPECT_EQ(value_failure(c.text), c.expected) << "input: " << c.text;
    // Tiny numbers underflow to zero rather than failing.
    auto tiny = json_parse_value("[1e-400, -0.0e5, 0e99999999999]");
    ASSERT_TRUE(tiny) << tiny.error().text();
    EXPECT_EQ(tiny->array[0].float_value, 0.0);
}

// Damaged documents: every prefix and many byte flips of a valid record either parse (and then
// round-trip) or fail with a position inside the text; none may read out of bounds.
TEST(JsonRecordRead, DamagedDocumentsFailCleanly) {
    Outer outer;
    outer.format = 3;
    outer.kind = Kind2::Edge;
    outer.key = {-17, "a\u00e9\\\"b"};
    outer.columns = {Col{"vt_s", Kind4::I64, 0, 8, 1}, Col{"x", Kind4::U16, 64, 2, 0}};
    outer.parent = 12;
    outer.closed = {{1, 2}, {3, -4}};
    const std::string good = json_to_string(outer, JsonStyle::Pretty);
    const auto check = [&](const std::string& text) {
        auto parsed = json_parse<Outer>(text);
        if (parsed) {
            auto again = json_parse<Outer>(json_to_string(*parsed));
            ASSERT_TRUE(again) << again.error().text();
            EXPECT_EQ(*again, *parsed);
        } else {
            EXPECT_GE(parsed.error().line, 1u);
            EXPECT_LE(parsed.error().column, text.size());
        }
        (void)json_parse_value(text);
        (void)json_top_level_string_member(text, "name");
    };
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        check(good.substr(0, cut));
        EXPECT_FALSE(json_parse<Outer>(good.substr(0, cut))) << "prefix " << cut;
    }
    std::uint64_t seed = 0x9e3779b97f4a7c15ull;
    const char replacements[] = {'"', '\\', '[', ']', '{', '}', ',', ':', '0', '-', 'e', '.', ' ', 'n', '\0', '\x80'};
    for (int round = 0; round < 3000; ++round) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        std::string text = good;
        text[seed % text.size()] = replacements[(seed >> 32) % sizeof replacements];
        check(text);
    }
}

TEST(JsonTopLevelStringMember, AcceptsExactlyWhatTheValueParserAccepts) {
    struct Case {
        std::string text;
        std::optional<std::string> name;
    };
    const std::vector<Case> cases = {
        {R"({"name":"x"})", "x"},
        {R"( {"a":[1,{"name":2}],"name":"n\u00e9"} )", "n\xc3\xa9"},
        {R"({"name":""})", ""},
        {R"({"name":"a","name":"b"})", "b"},
        {R"({"name":"a","name":1})", std::nullopt},
        {R"({"name":1,"name":"b"})", "b"},
        {R"({"name":5})", std::nullopt},
        {R"({"a":{"name":"x"}})", std::nullopt},
        {R"({"a":"name"})", std::nullopt},
        {R"(["name"])", std::nullopt},
        {R"({"name":"x")", std::nullopt},
        {R"({"name":"x"} x)", std::nullopt},
        {R"({"name":"x","y":1e400})", std::nullopt},
        {R"({"name":"x","y":"\ud800"})", std::nullopt},
        {"{\"name\":\"x\",\"y\":\"\x01\"}", std::nullopt},
        {R"({"na\u006de":"x"})", "x"},
    };
    for (const Case& c : cases) EXPECT_EQ(json_top_level_string_member(c.text, "name"), c.name) << "input: " << c.text;
    const auto deep = [](std::size_t depth) {
        return R"({"name":"x","y":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    EXPECT_EQ(json_top_level_string_member(deep(127), "name"), "x");
    EXPECT_EQ(json_top_level_string_member(deep(128), "name"), std::nullopt);
}

// ---- wide-word string and whitespace scanning --------------------------------------------------
// The writer and the reader scan eight bytes at a time; these compare them with the byte-by-byte
// rules on random texts holding every byte class (plain, '"', '\\', each control byte, 0x7F, '/',
// UTF-8 of every length, invalid UTF-8) at every offset within a word, after whitespace runs of
// every length.

int scan_seeds() {
    const char* text = std::getenv("VORP_JSON_SCAN_SEEDS");
    return text != nullptr ? std::max(1, std::atoi(text)) : 400;
}

std::string escape_by_bytes(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            default:
                if (byte < 0x20) out += fmt::format("\\u{:04x}", byte);
                else out.push_back(c);
        }
    }
    return out + "\"";
}

std::string random_scan_text(std::mt19937_64& rng, bool valid_utf8) {
    static const std::vector<std::string> pieces = {
        "a", "Z", "0", " ", "/", "\x7f", "\"", "\\", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "plain-run-of-text"};
    static const std::vector<std::string> invalid = {"\x80", "\xc3", "\xff", "\xe2\x82", "\xed\xa0\x80"};
    std::string text;
    const std::size_t count = rng() % 40;
    for (std::size_t index = 0; index < count; ++index) {
        const std::uint64_t pick = rng() % 100;
        if (pick < 12) text.push_back(static_cast<char>(rng() % 0x20));  // every control byte
        else if (pick < 15 && !valid_utf8) text += invalid[rng() % invalid.size()];
        else text += pieces[rng() % pieces.size()];
    }
    return text;
}

std::string random_whitespace(std::mt19937_64& rng) {
    static constexpr char kinds[] = {' ', '\n', '\t', '\r'};
    std::string out;
    const std::size_t count = rng() % 20;
    for (std::size_t index = 0; index < count; ++index) out.push_back(kinds[rng() % 4]);
    return out;
}

// Line and column of a failure that stopped after `end` bytes of `text`.
std::pair<std::uint64_t, std::uint64_t> position_of(std::string_view text, std::size_t end) {
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t index = 0; index < end; ++index) {
        if (text[index] == '\n') {
            ++line;
            line_start = index + 1;
        }
    }
    return {line, end - line_start};
}

TEST(JsonWideScan, WriterMatchesTheByteRule) {
    std::mt19937_64 rng(2024);
    for (int seed = 0; seed < scan_seeds(); ++seed) {
        const std::string text = random_scan_text(rng, rng() % 2 == 0);
        const std::string expected = escape_by_bytes(text);
        for (std::size_t shift = 0; shift < 8; ++shift) {
            // The same text at each offset within a word, in a buffer that already holds bytes.
            const std::string padded = std::string(shift, 'p') + text;
            std::string appended = "prefix";
            append_json_string(appended, std::string_view(padded).substr(shift));
            ASSERT_EQ(appended, "prefix" + expected) << seed;

            std::vector<char> raw(json_string_bound(text.size()) + shift);
            char* const end = write_json_string(raw.data() + shift, std::string_view(padded).substr(shift));
            ASSERT_EQ(std::string(raw.data() + shift, end), expected) << seed;
        }
    }
}

TEST(JsonWideScan, ReaderMatchesTheByteRule) {
    std::mt19937_64 rng(77);
    for (int seed = 0; seed < scan_seeds(); ++seed) {
        const bool valid = rng() % 2 == 0;
        const std::string text = random_scan_text(rng, valid);
        const std::string lead = random_whitespace(rng);

        // Escaped: reads back the original bytes, or fails on invalid UTF-8 after the closing quote.
        {
            const std::string document = lead + escape_by_bytes(text) + random_whitespace(rng);
            JsonReader reader(document);
            std::string_view got;
            const bool read = reader.read_string_view(got);
            if (!validate_utf8(text).has_value()) {
                ASSERT_TRUE(read) << seed << ": " << reader.error().text();
                ASSERT_EQ(got, text) << seed;
                ASSERT_TRUE(reader.finish()) << seed;
            } else {
                ASSERT_FALSE(read) << seed;
                ASSERT_EQ(reader.error().message, "invalid unicode code point") << seed;
            }
        }

        // Raw (no backslash): the string ends at the first '"'; a control byte before it fails just
        // after itself, a missing quote at the end of the text.
        std::string raw = text;
        std::replace(raw.begin(), raw.end(), '\\', 'x');
        const std::string document = lead + "\"" + raw;
        JsonReader reader(document);
        std::string_view got;
        const bool read = reader.read_string_view(got);
        const std::size_t body = lead.size() + 1;
        std::size_t stop = body;
        while (stop < document.size() && document[stop] != '"' && static_cast<unsigned char>(document[stop]) >= 0x20)
            ++stop;
        if (stop == document.size()) {
            ASSERT_FALSE(read) << seed;
            EXPECT_EQ(reader.error().message, "EOF while parsing a string") << seed;
            EXPECT_EQ(std::make_pair(reader.error().line, reader.error().column), position_of(document, stop)) << seed;
        } else if (document[stop] != '"') {
            ASSERT_FALSE(read) << seed;
            EXPECT_EQ(reader.error().message, "control character (\\u0000-\\u001F) found while parsing a string");
            EXPECT_EQ(std::make_pair(reader.error().line, reader.error().column), position_of(document, stop + 1))
                << seed;
        } else {
            const std::string_view content = std::string_view(document).substr(body, stop - body);
            if (validate_utf8(content).has_value()) {
                ASSERT_FALSE(read) << seed;
                EXPECT_EQ(reader.error().message, "invalid unicode code point") << seed;
                EXPECT_EQ(std::make_pair(reader.error().line, reader.error().column), position_of(document, stop + 1))
                    << seed;
            } else {
                ASSERT_TRUE(read) << seed << ": " << reader.error().text();
                EXPECT_EQ(got, content) << seed;
                EXPECT_EQ(reader.offset(), stop + 1) << seed;
            }
        }
    }
}

TEST(JsonWideScan, WhitespaceRunsOfEveryLengthBetweenTokens) {
    std::mt19937_64 rng(5);
    for (int seed = 0; seed < scan_seeds(); ++seed) {
        std::vector<std::string> parts;
        std::string document = random_whitespace(rng) + "[";
        const std::size_t count = 1 + rng() % 6;
        for (std::size_t index = 0; index < count; ++index) {
            if (index > 0) document += random_whitespace(rng) + ",";
            parts.push_back(random_scan_text(rng, true));
            document += random_whitespace(rng) + escape_by_bytes(parts.back());
        }
        document += random_whitespace(rng) + "]" + random_whitespace(rng);
        JsonResult<std::vector<std::string>> read = json_parse<std::vector<std::string>>(document);
        ASSERT_TRUE(read) << seed << ": " << read.error().text();
        EXPECT_EQ(*read, parts) << seed;
        // A stray byte after the array is found where it is, whatever whitespace precedes it.
        const std::string trailing = document + "x";
        JsonResult<std::vector<std::string>> refused = json_parse<std::vector<std::string>>(trailing);
        ASSERT_FALSE(refused) << seed;
        EXPECT_EQ(refused.error().message, "trailing characters");
        EXPECT_EQ(std::make_pair(refused.error().line, refused.error().column), position_of(trailing, trailing.size()))
            << seed;
    }
}

}  // namespace
}  // namespace vorp
