// How an executor is configured and built. The global executor is built by an
// ExecutorBuilder carrying only the worker count; build fills in the rest of the
// configuration (thread names, admission budget, initial plane capacity).
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "dravik_core/error.hpp"

namespace dravik_executor {

namespace hybrid {
class HybridExecutor;
}

struct ExecutorConfig {
    std::string thread_name_prefix;     // threads are named <prefix>-<index>
    std::uint64_t worker_count;         // 0 counts as 1
    std::uint64_t ring_budget;          // admission-ring entries, shared out between the workers
    std::uint64_t local_queue_capacity;  // initial capacity of the normal-priority plane
};

inline constexpr const char* default_thread_name_prefix = "dravik-worker";
// Total admission capacity stays near this whatever the core count.
inline constexpr std::uint64_t default_ring_budget = 8192;
inline constexpr std::uint64_t default_local_queue_capacity = 128;

struct ExecutorBuilder {
    std::uint64_t worker_count;

    // The configuration with the built-in prefix, budget and plane capacity.
    ExecutorConfig config() const;
    std::expected<hybrid::HybridExecutor, dravik_core::error::ExecutorError> build() const;
};

}  // namespace dravik_executor
