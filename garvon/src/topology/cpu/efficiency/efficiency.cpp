#include "garvon/topology/cpu/efficiency/efficiency.hpp"

#include <algorithm>

namespace garvon::topology::cpu::efficiency {

std::optional<std::vector<std::uint8_t>> classes_from_capacities(std::span<const std::uint32_t> values,
                                                                 std::uint64_t processors) {
    if (values.size() != processors) return std::nullopt;
    std::vector<std::uint32_t> distinct(values.begin(), values.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.size() > max_distinct_classes) return std::nullopt;

    std::vector<std::uint8_t> classes;
    classes.reserve(values.size());
    for (std::uint32_t value : values) {
        auto position = std::lower_bound(distinct.begin(), distinct.end(), value) - distinct.begin();
        classes.push_back(static_cast<std::uint8_t>(position));
    }
    return classes;
}

}  // namespace garvon::topology::cpu::efficiency
