// Per-thread profiler state: the bytes still to allocate before this thread's next sample,
// the flag that keeps a thread from re-entering the profiler, and the random state of the
// sampling gaps.
#pragma once

#include <cstdint>

namespace ostrel_prof::tls {

struct ThreadState {
    std::int64_t bytes_until_sample;  // 0 at thread start: a thread's first allocation is sampled
    bool in_profiler;
    std::uint64_t random_state;  // xorshift64 state, 0 until first used
};

// Trivially destructible and zero at thread start. Default TLS model: the module is
// loaded with dlopen.
extern constinit thread_local ThreadState THREAD_STATE;

// Sets the in-profiler flag for its scope, also when an internal error leaves it.
class InProfiler {
public:
    explicit InProfiler(ThreadState& state) : state_(state) { state_.in_profiler = true; }
    ~InProfiler() { state_.in_profiler = false; }
    InProfiler(const InProfiler&) = delete;
    InProfiler& operator=(const InProfiler&) = delete;

private:
    ThreadState& state_;
};

}  // namespace ostrel_prof::tls
