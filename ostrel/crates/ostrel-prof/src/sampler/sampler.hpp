// The sampling gate of the allocation front end and the recording and forgetting of
// samples. In sampling mode a thread counts down the bytes to its next sample and records
// an allocation when the count runs out, then draws a new exponentially distributed gap;
// in leak-recording mode every allocation is recorded. A recording captures the stack,
// interns it and keeps (size, stack) under the block's address until the block is freed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "ostrel_core/types/page.hpp"
#include "ostrel_prof/control.hpp"
#include "ostrel_prof/sampler/store.hpp"
#include "ostrel_prof/tls.hpp"

namespace ostrel_prof::sampler {

// Records one allocation (sampling mode: only once this thread's count has run out).
void on_alloc_cold(void* block, std::size_t size);
// Forgets the block's sample, if it has one.
void on_free_cold(void* block);

// The gate of the allocation front end, for a non-null block, run only while
// PROFILING_OR_HOOKS_ACTIVE is set. An unsampled allocation costs one subtraction.
inline void sample_allocation(void* block, std::size_t size) {
    tls::ThreadState& state = tls::THREAD_STATE;
    if (state.in_profiler) return;
    // Relaxed: see the profiler's switches.
    if (control::LEAK_DETECTOR_ACTIVE.load(std::memory_order_relaxed)) {
        on_alloc_cold(block, size);
        return;
    }
    const auto requested = static_cast<std::int64_t>(size > INT64_MAX ? INT64_MAX : size);
    const auto left = kavrel::domain::checked::sub(state.bytes_until_sample, requested);
    if (!left) return on_alloc_cold(block, size);
    if (*left <= 0) return on_alloc_cold(block, size);
    state.bytes_until_sample = *left;
}

// The hook of the free front end, before the block is freed, while PROFILING_OR_HOOKS_ACTIVE
// is set: one flag test unless the block's shard holds samples.
inline void record_free_profile(void* block, const ostrel_core::types::page::Page*, std::uint32_t) {
    // Relaxed: see SampleShard::has_entries.
    if (store::shard_of(reinterpret_cast<std::uintptr_t>(block)).has_entries.load(std::memory_order_relaxed)) {
        on_free_cold(block);
    }
}

// Makes a later fork safe for the profiler: the forking thread takes every profiler lock
// first. Registered once, when a mode is first switched on.
void register_fork_handlers_once();

namespace detail {

// The first random state of a thread, from the real-time clock's nanoseconds since the
// epoch (negative: before the epoch); never 0, the fixed point of xorshift.
std::uint64_t seed_from_clock(std::int64_t nanoseconds_since_epoch);
// Steps the state and returns the next gap in bytes for a mean of `interval`.
std::int64_t next_gap(std::uint64_t& random_state, std::uint64_t interval);

}  // namespace detail

}  // namespace ostrel_prof::sampler
