#include "dravik_executor/hybrid.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <utility>
#include <vector>

#include "dravik_executor/schedule/queue/worker.hpp"
#include "dravik_scheduler/deque/chase_lev/storage.hpp"

namespace dravik_executor::hybrid {

namespace executor_error = dravik_core::error::executor_error;

namespace {

constexpr std::uint64_t smallest_ring_share = 2;

}  // namespace

std::expected<std::uint64_t, ExecutorError> admission_ring_capacity(std::uint64_t ring_budget, std::uint64_t workers) {
    std::uint64_t share = ring_budget / workers;
    if (share < smallest_ring_share) return std::unexpected(executor_error::InvalidConfiguration{});
    return std::bit_floor(share);
}

std::expected<std::uint64_t, ExecutorError> normal_plane_capacity(std::uint64_t local_queue_capacity) {
    if (local_queue_capacity > (std::uint64_t{1} << 63) ||
        std::bit_ceil(local_queue_capacity) >= dravik_scheduler::deque::chase_lev::storage::capacity_limit) {
        return std::unexpected(executor_error::InvalidLocalQueueInitialCapacity{local_queue_capacity});
    }
    return std::max(schedule::queue::worker::default_plane_capacity, std::bit_ceil(local_queue_capacity));
}

HybridExecutor::HybridExecutor(ExecutorConfig config, ThreadScheduler scheduler)
    : config_(std::move(config)), scheduler_(std::move(scheduler)) {}

std::expected<HybridExecutor, ExecutorError> HybridExecutor::create(const ExecutorConfig& config) {
    const std::uint64_t n = std::max<std::uint64_t>(config.worker_count, 1);
    auto ring = admission_ring_capacity(config.ring_budget, n);
    if (!ring) return std::unexpected(ring.error());
    auto plane = normal_plane_capacity(config.local_queue_capacity);
    if (!plane) return std::unexpected(plane.error());
    std::vector<std::pair<schedule::queue::worker::WorkerQueueOwner, std::shared_ptr<schedule::queue::worker::WorkerQueues>>> queues;
    queues.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) queues.push_back(schedule::queue::worker::WorkerQueues::create(*ring, *plane));
    auto scheduler = ThreadScheduler::from_construction(config.thread_name_prefix, std::move(queues));
    if (!scheduler) return std::unexpected(scheduler.error());
    return HybridExecutor(config, std::move(*scheduler));
}

}  // namespace dravik_executor::hybrid
