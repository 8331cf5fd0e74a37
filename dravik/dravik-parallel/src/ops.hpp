// The index-range front end of the global executor: f once for every index of [0, n), in
// balanced contiguous chunks with the calling thread running the first (inline, in order,
// on a worker or inside the caller's own chunk). f runs concurrently on distinct indices.
// A failure stops the call, after every chunk has ended, with the internal error
// "dravik global executor: for_each_index_with: " and the executor error's debug form.
#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "dravik_core/error.hpp"
#include "dravik_executor/global_arc.hpp"
#include "dravik_executor/schedule/runtime/scheduler/data_parallel.hpp"
#include "dravik_parallel/policy.hpp"

namespace dravik_parallel::ops {

namespace detail {

// The global executor's pool, built on first use.
const dravik_executor::schedule::runtime::types::ThreadScheduler& global_scheduler();

// Stops with the internal error "<label>: <debug form of the error>".
[[noreturn]] void fail_front_end(const char* label, const dravik_core::error::ExecutorError& error);

// Runs the core on the global executor over n >= 1 items; stops under `label` on its error.
template <class Work>
void run_indexed(const char* label, std::uint64_t n, const Work& work) {
    auto result = global_scheduler().for_each_indexed(n, work);
    if (!result) fail_front_end(label, result.error());
}

}  // namespace detail

// f(i) for every i in [0, n). Policy is policy::Parallel (every n >= 1 through the
// executor) or policy::Adaptive (n < 1024 on the calling thread, failures unchanged).
template <class Policy, class F>
    requires std::invocable<F&, std::uint64_t>
void for_each_index_with(std::uint64_t n, F&& f) {
    static_assert(std::is_same_v<Policy, policy::Parallel> || std::is_same_v<Policy, policy::Adaptive>);
    if constexpr (std::is_same_v<Policy, policy::Adaptive>) {
        if (n < policy::Adaptive::serial_below) {
            for (std::uint64_t i = 0; i < n; ++i) f(i);
            return;
        }
    }
    if (n == 0) return;
    auto work = [&f](std::uint64_t start, std::uint64_t end) {
        for (std::uint64_t i = start; i < end; ++i) f(i);
    };
    detail::run_indexed("dravik global executor: for_each_index_with", n, work);
}

// How many participants an operation that shares out its own work should run over: the global
// pool's worker count, one per logical processor, so that the calling thread and all but one
// worker keep every processor busy without a thread more than processors (with one chunk per
// worker and the caller, two chunks share a processor and the caller ends up running one of them
// after its own); 1 on a worker or inside a chunk, where every chunk runs inline. Builds the
// pool on first use.
[[nodiscard]] std::uint64_t balanced_participants();

// The same with a context handed to every call: f(context, i).
template <class Policy, class Context, class F>
    requires std::invocable<F&, Context&, std::uint64_t>
void for_each_index_with(std::uint64_t n, Context& context, F&& f) {
    for_each_index_with<Policy>(n, [&](std::uint64_t i) { f(context, i); });
}

}  // namespace dravik_parallel::ops
