// Where the calling thread runs right now, from the kernel's getcpu system call made
// directly (no vDSO, no cache argument). The answer may be stale as soon as it returns.
// Also the form of a thread name that Linux keeps, for the threads the project starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace garvon::query::platform {

struct CpuLocality {
    std::uint32_t processor = 0;
    std::uint32_t node = 0;

    bool operator==(const CpuLocality&) const = default;
};

// Absent when the call fails or reports a processor of 32768 or more or a node of 1024
// or more.
[[nodiscard]] std::optional<CpuLocality> query_cpu_locality_os();

// Linux keeps at most 15 bytes of a thread name; a longer one is cut, never dropped.
inline constexpr std::size_t thread_name_bytes = 15;
[[nodiscard]] std::string cut_thread_name(std::string_view name);

namespace detail {

// The answer of one getcpu call (its return value and the two numbers it wrote).
[[nodiscard]] std::optional<CpuLocality> locality_from_getcpu(long result, std::uint32_t processor,
                                                              std::uint32_t node);

}  // namespace detail
}  // namespace garvon::query::platform
