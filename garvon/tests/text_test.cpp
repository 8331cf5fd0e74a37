#include "garvon/topology/cpu/text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace text = garvon::topology::cpu::text;

TEST(GarvonTextTest, Utf8Validation) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"", true},
        {"0-3\n", true},
        {"\xC3\xA9", true},
        {"\xE2\x82\xAC", true},
        {"\xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
        {"\xFF", false},
        {"\x80", false},
        {"\xC3", false},             // truncated
        {"\xE2\x82", false},
        {"\xC0\xAF", false},         // overlong '/'
        {"\xE0\x80\xAF", false},     // overlong
        {"\xED\xA0\x80", false},     // surrogate
        {"\xF4\x90\x80\x80", false}, // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"0-1\xFF", false},
        {std::string("a\0b", 3), true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_EQ(text::is_valid_utf8(cases[i].bytes), cases[i].valid);
    }
}

TEST(GarvonTextTest, TrimAndSplitUseUnicodeWhiteSpace) {
    EXPECT_EQ(text::trim(" \t12\n"), "12");
    EXPECT_EQ(text::trim("\xC2\xA0" "1 2\xE2\x80\x89\r\n"), "1 2");
    EXPECT_EQ(text::trim("\xC2\xA1"), "\xC2\xA1");  // inverted exclamation mark is no space
    EXPECT_EQ(text::trim(" \n\x0b\x0c "), "");
    EXPECT_EQ(text::trim("\xE3\x80"), "\xE3\x80");  // a cut-off sequence is left alone

    using Tokens = std::vector<std::string_view>;
    EXPECT_EQ(text::split_whitespace("10 21\t17\n"), (Tokens{"10", "21", "17"}));
    EXPECT_EQ(text::split_whitespace("  10   x\xE3\x80\x80" "21 "), (Tokens{"10", "x", "21"}));
    EXPECT_EQ(text::split_whitespace(""), Tokens{});
    EXPECT_EQ(text::split_whitespace(" \n "), Tokens{});
}

TEST(GarvonTextTest, DecimalRule) {
    struct Case {
        std::string text;
        std::optional<std::uint32_t> u32;
        std::optional<std::uint64_t> u64;
    };
    const std::vector<Case> cases = {
        {"0", 0, 0},
        {"+7", 7, 7},
        {"007", 7, 7},
        {"4294967295", 4294967295u, 4294967295u},
        {"4294967296", std::nullopt, 4294967296ull},
        {"18446744073709551615", std::nullopt, 18446744073709551615ull},
        {"18446744073709551616", std::nullopt, std::nullopt},
        {"99999999999999999999999", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"+", std::nullopt, std::nullopt},
        {"-1", std::nullopt, std::nullopt},
        {"++1", std::nullopt, std::nullopt},
        {" 1", std::nullopt, std::nullopt},
        {"1 ", std::nullopt, std::nullopt},
        {"1_000", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"1.0", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        EXPECT_EQ(text::parse_u32(c.text), c.u32);
        EXPECT_EQ(text::parse_u64(c.text), c.u64);
    }
}

TEST(GarvonTextTest, PrefixedNames) {
    EXPECT_EQ(text::parse_prefixed_u32("node3", "node"), 3u);
    EXPECT_EQ(text::parse_prefixed_u32("node01", "node"), 1u);
    EXPECT_EQ(text::parse_prefixed_u32("node+1", "node"), 1u);
    EXPECT_EQ(text::parse_prefixed_u32("node", "node"), std::nullopt);
    EXPECT_EQ(text::parse_prefixed_u32("nodes", "node"), std::nullopt);
    EXPECT_EQ(text::parse_prefixed_u32("has_cpu", "node"), std::nullopt);
    EXPECT_EQ(text::parse_prefixed_u32("node4294967296", "node"), std::nullopt);
    EXPECT_EQ(text::parse_prefixed_u64("cpu12", "cpu"), 12u);
    EXPECT_EQ(text::parse_prefixed_u64("cpufreq", "cpu"), std::nullopt);
    EXPECT_EQ(text::parse_prefixed_u64("index3", "index"), 3u);
    EXPECT_EQ(text::parse_prefixed_u64("Index3", "index"), std::nullopt);
}

}  // namespace
