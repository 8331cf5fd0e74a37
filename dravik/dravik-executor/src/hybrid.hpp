// The executor: a copy of its configuration and the handle of its worker pool. Creating
// one sizes each worker's admission ring and normal-priority plane from the configuration,
// creates every worker's queues and starts the workers; destroying the last copy of the
// pool handle shuts the pool down and joins its threads.
#pragma once

#include <cstdint>
#include <expected>

#include "dravik_core/error.hpp"
#include "dravik_executor/builder.hpp"
#include "dravik_executor/schedule/runtime/types.hpp"

namespace dravik_executor::hybrid {

using dravik_core::error::ExecutorError;
using schedule::runtime::types::ThreadScheduler;

// The largest power of two not above ring_budget / workers; InvalidConfiguration when that
// share is below 2. Requires: workers >= 1.
std::expected<std::uint64_t, ExecutorError> admission_ring_capacity(std::uint64_t ring_budget, std::uint64_t workers);
// max(16, the next power of two >= local_queue_capacity); InvalidLocalQueueInitialCapacity
// when that power of two or its 128-byte slots cannot be allocated.
std::expected<std::uint64_t, ExecutorError> normal_plane_capacity(std::uint64_t local_queue_capacity);

class HybridExecutor {
public:
    static std::expected<HybridExecutor, ExecutorError> create(const ExecutorConfig& config);

    const ExecutorConfig& config() const noexcept { return config_; }
    const ThreadScheduler& scheduler() const noexcept { return scheduler_; }
    std::uint64_t worker_count() const noexcept { return scheduler_.worker_count(); }
    bool is_shutting_down() const noexcept { return scheduler_.is_shutting_down(); }

private:
    HybridExecutor(ExecutorConfig config, ThreadScheduler scheduler);
    ExecutorConfig config_;
    ThreadScheduler scheduler_;
};

}  // namespace dravik_executor::hybrid
