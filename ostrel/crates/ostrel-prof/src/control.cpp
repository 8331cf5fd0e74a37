#include "ostrel_prof/control.hpp"

#include <type_traits>

#include "ostrel_prof/sampler/sampler.hpp"

namespace ostrel_prof::control {

// The profiler's statics are never destroyed: nothing may tear them down at exit.
static_assert(std::is_trivially_destructible_v<std::mutex>);

constinit std::atomic<bool> PROFILING_ACTIVE{false};
constinit std::atomic<bool> LEAK_DETECTOR_ACTIVE{false};
constinit std::atomic<bool> PROFILING_OR_HOOKS_ACTIVE{false};
constinit std::atomic<std::uint64_t> SAMPLE_INTERVAL{DEFAULT_SAMPLE_INTERVAL};
constinit std::mutex UPDATE_LOCK;

namespace {

void recompute_hooks() {
    PROFILING_OR_HOOKS_ACTIVE.store(PROFILING_ACTIVE.load() || LEAK_DETECTOR_ACTIVE.load());
}

}  // namespace

void enable_profiling(std::uint64_t interval) {
    sampler::register_fork_handlers_once();
    std::lock_guard<std::mutex> guard(UPDATE_LOCK);
    SAMPLE_INTERVAL.store(interval);
    PROFILING_ACTIVE.store(true);
    recompute_hooks();
}

void enable_leak_detector() {
    sampler::register_fork_handlers_once();
    std::lock_guard<std::mutex> guard(UPDATE_LOCK);
    LEAK_DETECTOR_ACTIVE.store(true);
    recompute_hooks();
}

}  // namespace ostrel_prof::control
