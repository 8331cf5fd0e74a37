#include "garvon/topology/cpu/cpulist.hpp"

#include <algorithm>

#include "garvon/topology/cpu/text.hpp"

namespace garvon::topology::cpu::cpulist {
namespace {

// Enough for the node and cache lists of typical machines without regrowth.
constexpr std::size_t reserved_numbers = 64;

void append_single(std::string_view token, std::vector<std::uint32_t>& out) {
    auto number = text::parse_u32(token);
    if (number && *number <= max_processor_number) out.push_back(*number);
}

// The range splits at the first hyphen, so "1-2-3" has the invalid end "2-3". Bounds are
// read as 64-bit numbers and the whole range is dropped when it reaches past the limit,
// rather than clipped.
void append_range(std::string_view token, std::size_t hyphen, std::vector<std::uint32_t>& out) {
    auto start = text::parse_u64(token.substr(0, hyphen));
    auto end = text::parse_u64(token.substr(hyphen + 1));
    if (!start || !end || *end < *start) return;
    if (*start > max_processor_number || *end > max_processor_number) return;
    std::uint64_t room = max_list_numbers - out.size();
    std::uint64_t count = std::min(*end - *start + 1, room);
    for (std::uint64_t i = 0; i < count; ++i) {
        out.push_back(static_cast<std::uint32_t>(*start + i));
    }
}

}  // namespace

std::vector<std::uint32_t> parse_cpu_list(std::string_view text) {
    std::vector<std::uint32_t> out;
    out.reserve(reserved_numbers);
    std::string_view rest = text::trim(text);
    while (out.size() < max_list_numbers) {
        std::size_t comma = rest.find(',');
        std::string_view token = rest.substr(0, comma);
        std::size_t hyphen = token.find('-');
        if (hyphen == std::string_view::npos) {
            append_single(token, out);
        } else {
            append_range(token, hyphen, out);
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return out;
}

}  // namespace garvon::topology::cpu::cpulist
