#include "dravik_parallel/ops.hpp"

#include <algorithm>
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
    const auto& pool = detail::global_scheduler();
    if (rt::types::runs_chunks_inline()) return 1;
    return std::max<std::uint64_t>(pool.worker_count(), 1);
}

}  // namespace dravik_parallel::ops
