#include "garvon/topology/cpu/cpulist.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using garvon::topology::cpu::cpulist::max_list_numbers;
using garvon::topology::cpu::cpulist::max_processor_number;
using garvon::topology::cpu::cpulist::parse_cpu_list;
using Numbers = std::vector<std::uint32_t>;

Numbers iota_numbers(std::uint32_t first, std::uint32_t count) {
    Numbers numbers(count);
    std::iota(numbers.begin(), numbers.end(), first);
    return numbers;
}

struct ListCase {
    std::string text;
    Numbers expected;
};

TEST(GarvonCpuListTest, ParsesTable) {
    const std::vector<ListCase> cases = {
        {"0-3,8,10-11\n", {0, 1, 2, 3, 8, 10, 11}},
        {"", {}},
        {" \t\n ", {}},
        {"7", {7}},
        {"  1,2 \n", {1, 2}},
        // Only the whole text is trimmed: a blank inside a token spoils it.
        {"0, 2", {0}},
        {"1 ,2", {2}},
        {"1-2 ,5", {5}},
        // Unicode White_Space around the text counts as whitespace too.
        {"\xC2\xA0" "1,2\xE3\x80\x80", {1, 2}},
        {"\xE2\x80\x83" "3\xE2\x80\xA8", {3}},
        {"+2", {2}},
        {"2-+4", {2, 3, 4}},
        {"+1-+2", {1, 2}},
        {"3-3", {3}},
        {"3-1", {}},
        {"-1", {}},
        {"1-", {}},
        {"-", {}},
        {"1-2-3", {}},
        {"1--2", {}},
        {"+-1", {}},
        {"a", {}},
        {"+", {}},
        {"++1", {}},
        {"0x1", {}},
        {"1a,2", {2}},
        {"\xD9\xA3", {}},  // an Arabic-Indic digit is not an ASCII digit
        {"5,5", {5, 5}},
        {"10-12,11", {10, 11, 12, 11}},
        {"9,1,4", {9, 1, 4}},
        {"1,,2,", {1, 2}},
        {",", {}},
        {"32767,32768", {32767}},
        {"4294967295", {}},
        {"4294967296", {}},
        {"32766-32767", {32766, 32767}},
        {"0-40000", {}},
        {"32767-32768", {}},
        {"40000-1", {}},
        {"0-18446744073709551615", {}},
        {"0-18446744073709551616,4", {4}},
        {"00007", {7}},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        EXPECT_EQ(parse_cpu_list(c.text), c.expected);
    }
}

TEST(GarvonCpuListTest, CapsTheNumberOfResults) {
    struct CapCase {
        std::string text;
        Numbers expected;
    };
    Numbers five_then_range = {5};
    Numbers range = iota_numbers(0, 32767);
    five_then_range.insert(five_then_range.end(), range.begin(), range.end());
    Numbers short_range_then_seven = iota_numbers(0, 32767);
    short_range_then_seven.push_back(7);

    std::string ones;
    for (std::size_t i = 0; i < max_list_numbers; ++i) ones += "1,";
    ones += "2";

    const std::vector<CapCase> cases = {
        {"0-32767", iota_numbers(0, 32768)},
        {"0-32767,1", iota_numbers(0, 32768)},
        {"0-32767\n,1", {1}},
        // A range is clipped only by the room left below the cap.
        {"5,0-32767", five_then_range},
        {"0-32766,7,8", short_range_then_seven},
        {ones, Numbers(max_list_numbers, 1)},
    };
    for (const CapCase& c : cases) {
        SCOPED_TRACE("text starting \"" + c.text.substr(0, 24) + "\"");
        EXPECT_EQ(parse_cpu_list(c.text), c.expected);
    }
}

std::string random_text(std::mt19937_64& rng, std::size_t max_length, bool with_blanks) {
    static constexpr std::string_view list_alphabet = "0123456789,-+";
    static constexpr std::string_view blank_alphabet = " \t\n\r\x0b\x0c";
    std::uniform_int_distribution<std::size_t> length_dist(0, max_length);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text;
    std::size_t length = length_dist(rng);
    for (std::size_t i = 0; i < length; ++i) {
        int k = kind(rng);
        if (k < 7) {
            text.push_back(list_alphabet[static_cast<std::size_t>(byte(rng)) % list_alphabet.size()]);
        } else if (k < 8 && with_blanks) {
            text.push_back(blank_alphabet[static_cast<std::size_t>(byte(rng)) % blank_alphabet.size()]);
        } else if (with_blanks) {
            text.push_back(static_cast<char>(byte(rng)));
        } else {
            text.push_back(static_cast<char>('0' + byte(rng) % 10));
        }
    }
    return text;
}

void expect_within_limits(const Numbers& numbers) {
    ASSERT_LE(numbers.size(), max_list_numbers);
    for (std::uint32_t n : numbers) ASSERT_LE(n, max_processor_number);
}

// Random bytes (mostly list characters, with blanks and arbitrary bytes mixed in) never
// crash the parser, never exceed its limits, and surrounding whitespace never changes the
// result.
TEST(GarvonCpuListTest, RandomBytesStayWithinLimits) {
    std::mt19937_64 rng(0x6761727630ULL);
    for (int round = 0; round < 20000; ++round) {
        std::string text = random_text(rng, 48, true);
        SCOPED_TRACE("round " + std::to_string(round));
        Numbers numbers = parse_cpu_list(text);
        expect_within_limits(numbers);
        EXPECT_EQ(parse_cpu_list(" \t" + text + "\n"), numbers);
    }
}

// Without blanks, the list of "a,b" is the list of a followed by that of b: tokens are
// independent, in order, and nothing is sorted or deduplicated.
TEST(GarvonCpuListTest, RandomListsConcatenateAtCommas) {
    std::mt19937_64 rng(0x6761727631ULL);
    for (int round = 0; round < 20000; ++round) {
        std::string a = random_text(rng, 24, false);
        std::string b = random_text(rng, 24, false);
        SCOPED_TRACE("a: \"" + a + "\" b: \"" + b + "\"");
        Numbers joined = parse_cpu_list(a);
        Numbers tail = parse_cpu_list(b);
        if (joined.size() + tail.size() > max_list_numbers) continue;
        joined.insert(joined.end(), tail.begin(), tail.end());
        EXPECT_EQ(parse_cpu_list(a + "," + b), joined);
    }
}

// Long random texts of ranges fill the list up to the cap and stop exactly there.
TEST(GarvonCpuListTest, RandomLongRangeListsStopAtTheCap) {
    std::mt19937_64 rng(0x6761727632ULL);
    std::uniform_int_distribution<std::uint32_t> bound(0, 40000);
    for (int round = 0; round < 40; ++round) {
        std::string text;
        std::uint64_t listed = 0;
        for (int token = 0; token < 64; ++token) {
            std::uint32_t a = bound(rng);
            std::uint32_t b = bound(rng);
            if (std::max(a, b) <= max_processor_number) listed += std::max(a, b) - std::min(a, b) + 1;
            text += std::to_string(std::min(a, b)) + "-" + std::to_string(std::max(a, b)) + ",";
        }
        SCOPED_TRACE("round " + std::to_string(round));
        Numbers numbers = parse_cpu_list(text);
        expect_within_limits(numbers);
        EXPECT_EQ(numbers.size(), std::min<std::uint64_t>(listed, max_list_numbers));
    }
}

}  // namespace
