#include "garvon/topology/cpu/text.hpp"

#include <array>
#include <limits>

namespace garvon::topology::cpu::text {
namespace {

// The UTF-8 encodings of every Unicode White_Space code point. Matching whole encodings
// keeps trimming correct on valid UTF-8 and harmless on arbitrary bytes.
constexpr std::array<std::string_view, 25> white_space = {
    "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "\x20",
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

std::size_t leading_space_length(std::string_view text) {
    for (std::string_view space : white_space) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

std::size_t trailing_space_length(std::string_view text) {
    for (std::string_view space : white_space) {
        if (text.ends_with(space)) return space.size();
    }
    return 0;
}

template <typename Unsigned>
std::optional<Unsigned> parse_decimal(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    Unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<Unsigned>(c - '0');
        if (value > (std::numeric_limits<Unsigned>::max() - digit) / 10) return std::nullopt;
        value = static_cast<Unsigned>(value * 10 + digit);
    }
    return value;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        auto b0 = static_cast<unsigned char>(bytes[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) low = 0xA0;   // overlong
            if (b0 == 0xED) high = 0x9F;  // surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) low = 0x90;   // overlong
            if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (n - i < length) return false;
        auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        if (b1 < low || b1 > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            auto b = static_cast<unsigned char>(bytes[i + k]);
            if (b < 0x80 || b > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (std::size_t length = leading_space_length(text)) text.remove_prefix(length);
    while (std::size_t length = trailing_space_length(text)) text.remove_suffix(length);
    return text;
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t token_start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = leading_space_length(text.substr(i));
        if (length == 0) {
            ++i;
            continue;
        }
        if (i > token_start) tokens.push_back(text.substr(token_start, i - token_start));
        i += length;
        token_start = i;
    }
    if (text.size() > token_start) tokens.push_back(text.substr(token_start));
    return tokens;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    return parse_decimal<std::uint32_t>(text);
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    return parse_decimal<std::uint64_t>(text);
}

std::optional<std::uint32_t> parse_prefixed_u32(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix)) return std::nullopt;
    return parse_u32(name.substr(prefix.size()));
}

std::optional<std::uint64_t> parse_prefixed_u64(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix)) return std::nullopt;
    return parse_u64(name.substr(prefix.size()));
}

}  // namespace garvon::topology::cpu::text
