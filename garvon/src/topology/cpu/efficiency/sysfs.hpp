// Reads the per-processor capacity that the kernel publishes for asymmetric machines
// ("{cpu root}/cpu{p}/cpu_capacity"), the fallback when hybrid core-type lists do not
// decide the efficiency classes. Internal to topology detection.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace garvon::topology::cpu::efficiency::sysfs {

// The capacities of processors 0 .. processors - 1, or absent when any file is
// unreadable or does not hold, trimmed, a nonzero 32-bit number.
[[nodiscard]] std::optional<std::vector<std::uint32_t>> capacities_from_cpu_capacity(std::string_view cpu_root,
                                                                                    std::uint64_t processors);

}  // namespace garvon::topology::cpu::efficiency::sysfs
