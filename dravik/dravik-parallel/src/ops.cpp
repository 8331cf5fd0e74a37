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
