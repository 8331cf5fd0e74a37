#include "dravik_parallel/ops.hpp"

#include <string>

#include "kavrel/domain/error/error.hpp"

namespace dravik_parallel::ops::detail {

const dravik_executor::schedule::runtime::types::ThreadScheduler& global_scheduler() {
    return dravik_executor::global_arc::GLOBAL_EXECUTOR.get().scheduler();
}

void fail_front_end(const char* label, const dravik_core::error::ExecutorError& error) {
    std::string message = label;
    message += ": ";
    message += dravik_core::error::debug(error);
    kavrel::domain::error::fail_invariant(message);
}

}  // namespace dravik_parallel::ops::detail

namespace dravik_parallel::ops {

std::uint64_t balanced_participants() {
    namespace rt = dravik_executor::schedule::runtime;
    const auto& pool = detail::global_scheduler().inner();
    if (rt::types::current_worker_id || rt::types::indexed_region_depth.value_or(0) > 0) return 1;
    return pool.worker_count == 0 ? 1 : pool.worker_count;
}

}  // namespace dravik_parallel::ops
