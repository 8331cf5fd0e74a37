// Efficiency classes: each logical processor ranked by its capacity or core type among
// the distinct values of the machine, 0 for the smallest. A class fits in 8 bits, so a
// machine with more than 256 distinct values gets no classes at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace garvon::topology::cpu::efficiency {

inline constexpr std::size_t max_distinct_classes = 256;

// One class per value, in processor order. Absent when values.size() != processors or
// when more than 256 distinct values occur.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> classes_from_capacities(
    std::span<const std::uint32_t> values, std::uint64_t processors);

}  // namespace garvon::topology::cpu::efficiency
