#include "dravik_executor/builder.hpp"

#include "dravik_executor/hybrid.hpp"

namespace dravik_executor {

ExecutorConfig ExecutorBuilder::config() const {
    return ExecutorConfig{default_thread_name_prefix, worker_count, default_ring_budget, default_local_queue_capacity};
}

std::expected<hybrid::HybridExecutor, dravik_core::error::ExecutorError> ExecutorBuilder::build() const {
    return hybrid::HybridExecutor::create(config());
}

}  // namespace dravik_executor
