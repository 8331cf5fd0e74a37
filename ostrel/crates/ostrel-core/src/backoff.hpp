// The one back-off step of every spin loop, the allocator's and the executor's: CPU pause
// hints, and after a given number of them a sched_yield. Each wait says how many pauses it
// allows between yields and whether the count starts again after a yield.
#pragma once

#include <cstdint>

namespace ostrel_core::backoff {

inline void cpu_pause() noexcept { __builtin_ia32_pause(); }
void yield_processor() noexcept;

// One waiting thread's back-off; not shared.
class Backoff {
public:
    // `pauses_per_yield` pause hints, then one yield; with `repeat` the pauses start again
    // after it, otherwise every later step yields.
    constexpr Backoff(std::uint32_t pauses_per_yield, bool repeat) noexcept
        : pauses_per_yield_(pauses_per_yield), repeat_(repeat) {}

    void step() noexcept {
        if (pauses_ < pauses_per_yield_) {
            ++pauses_;
            cpu_pause();
            return;
        }
        yield_processor();
        if (repeat_) pauses_ = 0;
    }

private:
    std::uint32_t pauses_per_yield_;
    bool repeat_;
    std::uint32_t pauses_ = 0;
};

// A short wait for a word another thread holds briefly (the deque's owner, the allocator's pool
// lock): 64 pauses, a yield, and again.
inline constexpr std::uint32_t pauses_before_yield = 64;
inline Backoff owner_wait() noexcept { return Backoff(pauses_before_yield, true); }

}  // namespace ostrel_core::backoff
