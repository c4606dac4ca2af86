#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "vorp/derive.h"
#include "vorp/json.h"
#include "vorp/text.h"

namespace vorp {
namespace {

TEST(Id96, FromHexAccepts) {
    struct Case {
        std::string text;
        Id96 expected;
    };
    const std::vector<Case> cases = {
        {"000000000000000000000000", {0, 0}},
        {"ffffffffffffffffffffffff", {UINT64_MAX, UINT32_MAX}},
        {"FFFFFFFFFFFFFFFFFFFFFFFF", {UINT64_MAX, UINT32_MAX}},
        {"0123456789abcdef89abcdef", {0x0123456789abcdefull, 0x89abcdefu}},
        {"0123456789ABCDEF89ABCDEF", {0x0123456789abcdefull, 0x89abcdefu}},
        {"0123456789AbCdEf89aBcDeF", {0x0123456789abcdefull, 0x89abcdefu}},
        {"+123456789abcdef00000001", {0x123456789abcdefull, 1}},  // '+' shortens the prefix to 15 digits
        {"0000000000000001+1234567", {1, 0x1234567u}},           // and the suffix to 7
        {"+00000000000000f+fffffff", {0xf, 0xfffffffu}},
    };
    for (const Case& c : cases) {
        const auto id = Id96::from_hex(c.text);
        ASSERT_TRUE(id.has_value()) << c.text << ": " << id.error().display();
        EXPECT_EQ(*id, c.expected) << c.text;
    }
}

TEST(Id96, FromHexRefuses) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", "identity must be 24 hex chars, got 0: \"\""},
        {"00000000000000000000000", "identity must be 24 hex chars, got 23: \"00000000000000000000000\""},
        {"0000000000000000000000000", "identity must be 24 hex chars, got 25: \"0000000000000000000000000\""},
        // 24 characters, 25 bytes: the length is counted in bytes.
        {"0000000000\xc3\xa9" "0000000000000", "identity must be 24 hex chars, got 25: \"0000000000\xc3\xa9" "0000000000000\""},
        {"00000000000000000000000\n", "identity suffix not hex (invalid digit found in string): \"00000000000000000000000\\n\""},
        {"0+00000000000000000000000", "identity must be 24 hex chars, got 25: \"0+00000000000000000000000\""},
        {"0+0000000000000000000000", "identity prefix not hex (invalid digit found in string): \"0+0000000000000000000000\""},
        {"00000000000000000+000000", "identity suffix not hex (invalid digit found in string): \"00000000000000000+000000\""},
        {"++00000000000000" "00000000", "identity prefix not hex (invalid digit found in string): \"++0000000000000000000000\""},
        {"-000000000000000" "00000000", "identity prefix not hex (invalid digit found in string): \"-00000000000000000000000\""},
        {"0000000000000000" "-0000000", "identity suffix not hex (invalid digit found in string): \"0000000000000000-0000000\""},
        {"0000000 00000000" "00000000", "identity prefix not hex (invalid digit found in string): \"0000000 0000000000000000\""},
        {"000000000000000g" "00000000", "identity prefix not hex (invalid digit found in string): \"000000000000000g00000000\""},
        // A non-ASCII character inside the suffix bytes, inside the prefix bytes, and across the boundary.
        {"0000000000000000" "000000\xc3\xa9", "identity suffix not hex (invalid digit found in string): \"0000000000000000000000\xc3\xa9\""},
        {"\xc3\xa9" "00000000000000" "00000000", "identity prefix not hex (invalid digit found in string): \"\xc3\xa9" "0000000000000000000000\""},
        {"000000000000000\xc3\xa9" "0000000", "identity prefix not hex (invalid digit found in string): \"000000000000000\xc3\xa9" "0000000\""},
        // Both halves bad: the prefix is reported.
        {"zzzzzzzzzzzzzzzzzzzzzzzz", "identity prefix not hex (invalid digit found in string): \"zzzzzzzzzzzzzzzzzzzzzzzz\""},
    };
    for (const Case& c : cases) {
        const auto id = Id96::from_hex(c.text);
        ASSERT_FALSE(id.has_value()) << c.text;
        EXPECT_EQ(id.error().message, c.message);
        EXPECT_EQ(id.error().category, Category::Invariant);
        EXPECT_EQ(id.error().remedy, std::string(ENGINE_BUG_REMEDY));
        EXPECT_EQ(id.error().location, Location{});
    }
}

TEST(Id96, TextFormRoundTripsAndIsLowercase) {
    const Id96 id = Id96::from_hex("00000000DEADBEEF0000CAFE").value();
    EXPECT_EQ(id.to_hex(), "00000000deadbeef0000cafe");
    EXPECT_EQ(fmt::format("vid {}", id), "vid 00000000deadbeef0000cafe");
    for (const Id96 value : {Id96{0, 0}, Id96{1, 2}, Id96{UINT64_MAX, UINT32_MAX}, Id96{0x8000000000000000ull, 0x80000000u}})
        EXPECT_EQ(Id96::from_hex(value.to_hex()).value(), value);
}

TEST(Id96, OrdersByPrefixThenSuffixUnsigned) {
    EXPECT_LT((Id96{0, UINT32_MAX}), (Id96{1, 0}));
    EXPECT_LT((Id96{5, 1}), (Id96{5, 2}));
    EXPECT_LT((Id96{0x7fffffffffffffffull, 0}), (Id96{0x8000000000000000ull, 0}));
    EXPECT_EQ((Id96{3, 4}), (Id96{3, 4}));
    EXPECT_NE((Id96{3, 4}), (Id96{4, 3}));
    EXPECT_NE(Id96Hash{}(Id96{3, 4}), Id96Hash{}(Id96{4, 3}));
}

TEST(Sha256Hex, KnownDigests) {
    EXPECT_EQ(sha256_hex_bytes(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex_bytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // The truncated id is the first 24 hex digits, read big-endian.
    EXPECT_EQ(truncated_id("abc"), (Id96{0xba7816bf8f01cfeaull, 0x414140deu}));
    EXPECT_EQ(truncated_id("").to_hex(), sha256_hex_bytes("").substr(0, 24));
}

TEST(CanonicalJson, Escaping) {
    struct Case {
        std::string text;
        std::string expected;  // the escaped text between its quotes
    };
    const std::vector<Case> cases = {
        {"plain", "plain"},
        {"q\"q", "q\\\"q"},
        {"back\\slash", "back\\\\slash"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {std::string("\0", 1), "\\u0000"},
        {"\x01", "\\u0001"},
        {"\x0b", "\\u000b"},
        {"\x1f", "\\u001f"},
        {"\x1a", "\\u001a"},
        {"\x7f", "\x7f"},
        {"a/b", "a/b"},
        {"\xc3\xa9", "\xc3\xa9"},
        {"\xe2\x80\xa8\xe2\x80\xa9", "\xe2\x80\xa8\xe2\x80\xa9"},
        {"mixed \"\x01\xc3\xa9\\", "mixed \\\"\\u0001\xc3\xa9\\\\"},
    };
    for (const Case& c : cases) {
        std::string out;
        append_canonical_json_string(out, c.text);
        EXPECT_EQ(out, "\"" + c.expected + "\"") << c.expected;
    }
}

TEST(CanonicalJson, EscapingAgreesWithTheJsonWriter) {
    std::vector<std::string> texts = {"", "plain", "\xc3\xa9\xe2\x80\xa8/\\\"", "tab\there"};
    for (int byte = 0; byte < 256; ++byte) texts.push_back(std::string(1, static_cast<char>(byte)) + "x");
    for (const std::string& text : texts) {
        std::string canonical;
        append_canonical_json_string(canonical, text);
        std::string writer;
        append_json_string(writer, text);
        EXPECT_EQ(canonical, writer) << debug_quoted(text);
    }
    // A whole array through the writer is the canonical array.
    const std::vector<std::string> array = {"a", "b\"", "\x01", ""};
    EXPECT_EQ(json_to_string(array), canonical_json_string_array(array));
}

TEST(CanonicalJson, Arrays) {
    EXPECT_EQ(canonical_json_string_array(std::initializer_list<std::string_view>{}), "[]");
    EXPECT_EQ(canonical_json_string_array({"a"}), "[\"a\"]");
    EXPECT_EQ(canonical_json_string_array({"a", "b", "knows", ""}), "[\"a\",\"b\",\"knows\",\"\"]");
    const std::vector<std::string> owned = {"x", "", "y\"z"};
    EXPECT_EQ(canonical_json_string_array(owned), "[\"x\",\"\",\"y\\\"z\"]");
    const std::vector<std::string_view> views = {"1", "2"};
    EXPECT_EQ(canonical_json_string_array(views), "[\"1\",\"2\"]");
}

TEST(EdgeEid, WorkedExample) {
    const std::string array = canonical_json_string_array({"a", "b", "knows", ""});
    EXPECT_EQ(array.size(), 20u);
    EXPECT_TRUE(sha256_hex_bytes(array).starts_with("2443cc038b7d57e272713402"));
    const Id96 eid = edge_eid("a", "b", "knows", "");
    EXPECT_EQ(eid.to_hex(), "2443cc038b7d57e272713402");
    EXPECT_EQ(eid, (Id96{0x2443cc038b7d57e2ull, 0x72713402u}));
    EXPECT_EQ(eid, truncated_id(array));
}

TEST(EdgeEid, DependsOnEveryTextAndEscapes) {
    EXPECT_EQ(edge_eid("a", "b", "knows", "x").to_hex(), "26abe7a4d7d5473f41fe2f21");
    EXPECT_NE(edge_eid("a", "b", "knows", ""), edge_eid("a", "b", "knows", "x"));
    EXPECT_NE(edge_eid("a", "b", "knows", ""), edge_eid("b", "a", "knows", ""));
    // Escaped texts: ["q\"","\u0001\n","é",""].
    EXPECT_EQ(edge_eid("q\"", "\x01\n", "\xc3\xa9", "").to_hex(), "f9e518306e85a0c0b3fdfd0f");
    // Concatenation cannot collide: the array keeps the text boundaries.
    EXPECT_NE(edge_eid("ab", "", "r", ""), edge_eid("a", "b", "r", ""));
}

TEST(EdgeEid, DeriverMatchesOneShotAcrossCallsAndThreads) {
    EidDeriver deriver;
    std::vector<Id96> expected;
    for (int i = 0; i < 200; ++i) {
        const std::string src = fmt::format("user-{}", i);
        const std::string disc(static_cast<std::size_t>(i % 7), '"');
        const Id96 one_shot = truncated_id(canonical_json_string_array({src, "dst", "rel", disc}));
        EXPECT_EQ(deriver(src, "dst", "rel", disc), one_shot);
        expected.push_back(one_shot);
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string src = fmt::format("user-{}", i);
                const std::string disc(static_cast<std::size_t>(i % 7), '"');
                if (edge_eid(src, "dst", "rel", disc) != expected[static_cast<std::size_t>(i)]) ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0);
}

}  // namespace
}  // namespace vorp
