#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vorp/text.h"

namespace vorp {
namespace {

TEST(Utf8, ErrorTexts) {
    struct Case {
        std::string bytes;
        std::optional<std::string> expected;  // nothing: valid
    };
    const std::vector<Case> cases = {
        {"", std::nullopt},
        {"plain ascii", std::nullopt},
        {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", std::nullopt},  // é 日 😀
        {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", std::nullopt},          // U+FFFF, U+10FFFF
        {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},   // overlong lead
        {"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xc2\x41", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // E0 needs A0..BF
        {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
        {"\xf0\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
        {"\xe1\x80\x41", "invalid utf-8 sequence of 2 bytes from index 0"},
        {"x\xf0\x90\x80\x41", "invalid utf-8 sequence of 3 bytes from index 1"},
        {"\xc3\xa9\xff", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"ab\xc2", "incomplete utf-8 byte sequence from index 2"},
        {"\xe0\xa0", "incomplete utf-8 byte sequence from index 0"},
        {"\xf0\x90\x80", "incomplete utf-8 byte sequence from index 0"},
    };
    for (const Case& c : cases) {
        const auto error = validate_utf8(c.bytes);
        if (!c.expected) {
            EXPECT_FALSE(error.has_value()) << debug_quoted(c.bytes);
            continue;
        }
        ASSERT_TRUE(error.has_value()) << *c.expected;
        EXPECT_EQ(error->text(), *c.expected);
    }
}

TEST(Utf8, LossyReplacesEachInvalidSequenceOnce) {
    const std::string r = "\uFFFD";
    EXPECT_EQ(lossy_utf8("valid \xc3\xa9"), "valid \xc3\xa9");
    EXPECT_EQ(lossy_utf8("a\xff" "b"), "a" + r + "b");
    EXPECT_EQ(lossy_utf8("\xe1\x80\x41"), r + "A");
    EXPECT_EQ(lossy_utf8("\xe0\x80\x80"), r + r + r);
    EXPECT_EQ(lossy_utf8("x\xf0\x90\x80"), "x" + r);
}

TEST(DebugQuoted, Escapes) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"a\"b\\c'd", "\"a\\\"b\\\\c'd\""},
        {std::string("\t\r\n\0", 4), "\"\\t\\r\\n\\0\""},
        {"\x07\x1b\x7f", "\"\\u{7}\\u{1b}\\u{7f}\""},
        {"e\xcc\x81", "\"e\\u{301}\""},          // combining acute accent (grapheme extender)
        {"\xc2\xa0", "\"\\u{a0}\""},             // no-break space
        {"\xe2\x80\x8b", "\"\\u{200b}\""},       // zero-width space (format)
        {"\xe2\x80\xa8", "\"\\u{2028}\""},       // line separator
        {"\xe2\x80\xa9", "\"\\u{2029}\""},       // paragraph separator
        {"\xc2\x85", "\"\\u{85}\""},             // C1 control
        {"\xee\x80\x80", "\"\\u{e000}\""},       // private use
        {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", "\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\""},  // printable
        {"a b", "\"a b\""},
        {"\xff", "\"\xef\xbf\xbd\""},            // invalid bytes shown lossily
    };
    for (const Case& c : cases) EXPECT_EQ(debug_quoted(c.input), c.expected) << c.expected;
}

TEST(ParseU64Decimal, Table) {
    struct Case {
        std::string text;
        std::optional<std::uint64_t> expected;
    };
    const std::vector<Case> cases = {
        {"16", 16},
        {"+16", 16},
        {"0", 0},
        {"00000000000000000000016", 16},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"-16", std::nullopt},
        {"-0", std::nullopt},
        {"16x", std::nullopt},
        {"0x10", std::nullopt},
        {" 16", std::nullopt},
        {"1 6", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_u64_decimal(c.text), c.expected) << debug_quoted(c.text);
}

TEST(TrimUnicodeWhitespace, Table) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {" 16 ", "16"},
        {"\t\n\v\f\r16\r\n", "16"},
        {"\xc2\xa0" "16\xe3\x80\x80", "16"},            // U+00A0, U+3000
        {"\xc2\x85\xe2\x80\xa8x y\xe2\x80\xa9", "x y"},  // U+0085, U+2028, U+2029; inner space kept
        {"\xe1\x9a\x80\xe2\x80\x8a" "7\xe2\x80\xaf\xe2\x81\x9f", "7"},  // U+1680, U+200A, U+202F, U+205F
        {"\xe2\x80\x8b" "16", "\xe2\x80\x8b" "16"},     // U+200B is not white space
        {"16\xc3\xa9", "16\xc3\xa9"},
        {"   ", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(trim_unicode_whitespace(c.text), c.expected) << debug_quoted(c.text);
}

TEST(Hex0x, Formatting) {
    EXPECT_EQ(hex_0x(0), "0x0");
    EXPECT_EQ(hex_0x(0xe3069283u), "0xe3069283");
    EXPECT_EQ(hex_0x(0xabu), "0xab");
    EXPECT_EQ(hex_0x(UINT64_MAX), "0xffffffffffffffff");
}

}  // namespace
}  // namespace vorp
