#include "dravik_executor/global_arc.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "dravik_executor/builder.hpp"
#include "garvon/topology/cpu/detect/linux.hpp"
#include "kavrel/domain/error/error.hpp"

namespace dravik_executor::global_arc {

constinit GlobalExecutor GLOBAL_EXECUTOR;

namespace {

// Relaxed: only read and written under the build lock.
constinit std::atomic<bool> fork_handler_registered{false};

void forget_global_executor_in_child() { GLOBAL_EXECUTOR.forget_in_child(); }

// Before the first executor exists, so no child is ever forked from a process whose pool
// the child would still see.
void register_fork_handler() {
    if (fork_handler_registered.load(std::memory_order_relaxed)) return;
    if (pthread_atfork(nullptr, nullptr, &forget_global_executor_in_child) != 0) {
        kavrel::domain::error::fail_invariant(
            "initialize global Dravik executor: the fork handler could not be registered");
    }
    fork_handler_registered.store(true, std::memory_order_relaxed);
}

}  // namespace

const hybrid::HybridExecutor& GlobalExecutor::get() {
    // Acquire pairs with the release in build: a caller that sees the pointer sees the pool.
    if (const hybrid::HybridExecutor* executor = executor_.load(std::memory_order_acquire)) return *executor;
    return build();
}

const hybrid::HybridExecutor* GlobalExecutor::if_built() const noexcept {
    // Acquire: as in get.
    return executor_.load(std::memory_order_acquire);
}

const hybrid::HybridExecutor& GlobalExecutor::build() {
    std::lock_guard<dravik_utils::sync::futex::WordLock> guard(build_lock_);
    // Acquire: as in get (a builder before us has published under the lock).
    if (const hybrid::HybridExecutor* executor = executor_.load(std::memory_order_acquire)) return *executor;
    register_fork_handler();
    auto built = ExecutorBuilder{global_worker_count()}.build();
    if (!built) {
        kavrel::domain::error::fail_invariant("initialize global Dravik executor: " +
                                              dravik_core::error::debug(built.error()));
    }
    // Never destroyed: its workers stay parked until the process ends.
    auto* executor = new hybrid::HybridExecutor(std::move(*built));
    executor_.store(executor, std::memory_order_release);
    return *executor;
}

void GlobalExecutor::forget_in_child() noexcept {
    // Relaxed: the child has a single thread at this point.
    executor_.store(nullptr, std::memory_order_relaxed);
    build_lock_.reset_in_child();
}

std::uint64_t global_worker_count() {
    auto topology = garvon::topology::cpu::detect::linux::detect();
    return topology ? std::max<std::uint64_t>(topology->logical_processors, 1) : 1;
}

}  // namespace dravik_executor::global_arc
