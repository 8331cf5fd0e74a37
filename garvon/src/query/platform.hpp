// Where the calling thread runs right now, from the kernel's getcpu system call made
// directly (no vDSO, no cache argument). The answer may be stale as soon as it returns.
#pragma once

#include <cstdint>
#include <optional>

namespace garvon::query::platform {

struct CpuLocality {
    std::uint32_t processor = 0;
    std::uint32_t node = 0;

    bool operator==(const CpuLocality&) const = default;
};

// Absent when the call fails or reports a processor of 32768 or more or a node of 1024
// or more.
[[nodiscard]] std::optional<CpuLocality> query_cpu_locality_os();

namespace detail {

// The answer of one getcpu call (its return value and the two numbers it wrote).
[[nodiscard]] std::optional<CpuLocality> locality_from_getcpu(long result, std::uint32_t processor,
                                                              std::uint32_t node);

}  // namespace detail
}  // namespace garvon::query::platform
