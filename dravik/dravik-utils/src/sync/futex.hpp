// Sleeping on a 32-bit word with the Linux futex: the per-thread parker that idle workers
// sleep in, and a small lock whose whole state is one word, so a forked child can reset it
// whatever thread held it. Both keep their state in atomics, so the ordering that sleeping
// relies on is visible to the memory model (and to ThreadSanitizer), not only to the kernel.
#pragma once

#include <atomic>
#include <cstdint>

namespace dravik_utils::sync::futex {

// Sleeps while the word holds `expected` (returns at once otherwise, or spuriously).
void futex_wait(std::atomic<std::int32_t>& word, std::int32_t expected) noexcept;
void futex_wake_one(std::atomic<std::int32_t>& word) noexcept;

// One thread parks, any thread unparks. An unpark given before the park is kept as a
// token, so the next park returns at once: a wake-up is never lost.
class Parker {
public:
    // Owner thread only. Returns after an unpark (possibly one given earlier); never
    // spuriously.
    void park() noexcept;
    // Any thread.
    void unpark() noexcept;

private:
    static constexpr std::int32_t empty = 0;
    static constexpr std::int32_t notified = 1;
    static constexpr std::int32_t parked = -1;
    std::atomic<std::int32_t> state_{empty};
};

// A mutual-exclusion lock in one word: 0 free, 1 held, 2 held with sleepers.
class WordLock {
public:
    constexpr WordLock() noexcept = default;
    void lock() noexcept;
    void unlock() noexcept;
    // For a forked child only: no other thread of the child can hold it.
    void reset_in_child() noexcept { word_.store(free_word, std::memory_order_relaxed); }

private:
    static constexpr std::int32_t free_word = 0;
    static constexpr std::int32_t held = 1;
    static constexpr std::int32_t contended = 2;
    std::atomic<std::int32_t> word_{free_word};
};

}  // namespace dravik_utils::sync::futex
