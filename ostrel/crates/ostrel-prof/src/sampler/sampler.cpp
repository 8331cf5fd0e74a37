#include "ostrel_prof/sampler/sampler.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "ostrel_prof/stack.hpp"

namespace ostrel_prof::sampler {

namespace {

constexpr std::uint64_t seed_constant = 0x5851f42d4c957f2dull;
constexpr double smallest_uniform = 1e-9;
constexpr std::int64_t size_ceiling = std::numeric_limits<std::int64_t>::max();

std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    return kavrel::domain::checked::sub(a, b).value_or(std::numeric_limits<std::int64_t>::min());
}

std::int64_t realtime_nanoseconds() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
}

void lock_all_for_fork() {
    control::UPDATE_LOCK.lock();
    stack::lock_for_fork();
    store::lock_for_fork();
}

void unlock_all_after_fork() {
    store::unlock_after_fork();
    stack::unlock_after_fork();
    control::UPDATE_LOCK.unlock();
}

constinit std::atomic<bool> fork_handlers_registered{false};

}  // namespace

namespace detail {

std::uint64_t seed_from_clock(std::int64_t nanoseconds_since_epoch) {
    if (nanoseconds_since_epoch < 0) return seed_constant;
    std::uint64_t seed = static_cast<std::uint64_t>(nanoseconds_since_epoch) ^ seed_constant;
    return seed != 0 ? seed : seed_constant;
}

std::int64_t next_gap(std::uint64_t& random_state, std::uint64_t interval) {
    std::uint64_t x = random_state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    random_state = x;
    double uniform = static_cast<double>(x) * 0x1p-64;
    double gap = -std::log(std::max(uniform, smallest_uniform)) * static_cast<double>(interval);
    if (!(gap > 0)) return 0;
    if (gap >= 0x1p63) return size_ceiling;
    return static_cast<std::int64_t>(gap);
}

}  // namespace detail

void on_alloc_cold(void* block, std::size_t size) {
    tls::ThreadState& state = tls::THREAD_STATE;
    if (block == nullptr || state.in_profiler) return;
    // Relaxed: see the profiler's switches.
    bool leak_mode = control::LEAK_DETECTOR_ACTIVE.load(std::memory_order_relaxed);
    if (!leak_mode && !control::PROFILING_ACTIVE.load(std::memory_order_relaxed)) return;
    tls::InProfiler inside(state);
    auto requested = static_cast<std::int64_t>(std::min<std::uint64_t>(size, size_ceiling));

    if (!leak_mode) {
        if (requested < state.bytes_until_sample) {
            state.bytes_until_sample -= requested;
            return;
        }
        if (state.random_state == 0) state.random_state = detail::seed_from_clock(realtime_nanoseconds());
        state.bytes_until_sample =
            detail::next_gap(state.random_state, control::SAMPLE_INTERVAL.load(std::memory_order_relaxed));
    }

    std::uintptr_t frames[stack::MAX_FRAMES];
    std::uint32_t depth = stack::capture_stack_frames(frames);
    stack::StackId id = stack::intern_stack(std::span<const std::uintptr_t>(frames, depth));
    std::optional<stack::StackId> replaced =
        store::insert_sample(reinterpret_cast<std::uintptr_t>(block), store::Sample{size, id});
    if (replaced) stack::release_stack(*replaced);

    if (!leak_mode) state.bytes_until_sample = saturating_sub(state.bytes_until_sample, requested);
}

void on_free_cold(void* block) {
    tls::ThreadState& state = tls::THREAD_STATE;
    auto address = reinterpret_cast<std::uintptr_t>(block);
    // Relaxed: see SampleShard::has_entries.
    if (block == nullptr || !store::shard_of(address).has_entries.load(std::memory_order_relaxed) ||
        state.in_profiler) {
        return;
    }
    tls::InProfiler inside(state);
    std::optional<store::Sample> removed = store::remove_sample(address);
    if (removed) stack::release_stack(removed->stack);
}

void register_fork_handlers_once() {
    // Relaxed: the exchange alone decides which thread registers.
    if (fork_handlers_registered.exchange(true, std::memory_order_relaxed)) return;
    if (pthread_atfork(&lock_all_for_fork, &unlock_all_after_fork, &unlock_all_after_fork) != 0) {
        fork_handlers_registered.store(false, std::memory_order_relaxed);
    }
}

}  // namespace ostrel_prof::sampler
