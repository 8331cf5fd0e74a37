// The kernel's cpu-list format ("0-3,8,10-11"), read leniently: unusable tokens are
// dropped, never reported, and the result is capped so that a hostile or corrupt list
// cannot grow without bound.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace garvon::topology::cpu::cpulist {

// Processor numbers above this are dropped (a range reaching past it is dropped whole).
inline constexpr std::uint32_t max_processor_number = 32767;
// No list yields more numbers than this; the rest of the text is ignored.
inline constexpr std::size_t max_list_numbers = 32768;

// The numbers of a cpu list in text order, duplicates kept, nothing sorted. The text is
// trimmed as a whole; tokens are not. Never fails.
[[nodiscard]] std::vector<std::uint32_t> parse_cpu_list(std::string_view text);

}  // namespace garvon::topology::cpu::cpulist
