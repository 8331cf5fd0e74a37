#include "dravik_utils/sync/futex.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dravik_utils::sync::futex {

namespace {

// std::atomic<int32_t> is a plain 32-bit word: the kernel may sleep on its address.
static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t));
static_assert(std::atomic<std::int32_t>::is_always_lock_free);

std::int32_t* address_of(std::atomic<std::int32_t>& word) noexcept { return reinterpret_cast<std::int32_t*>(&word); }

}  // namespace

void futex_wait(std::atomic<std::int32_t>& word, std::int32_t expected) noexcept {
    syscall(SYS_futex, address_of(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_one(std::atomic<std::int32_t>& word) noexcept {
    syscall(SYS_futex, address_of(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void Parker::park() noexcept {
    // notified -> empty consumes a token; empty -> parked announces the sleep. Acquire:
    // what the unparking thread wrote before its unpark is visible after the park.
    if (state_.fetch_sub(1, std::memory_order_acquire) == notified) return;
    for (;;) {
        futex_wait(state_, parked);
        std::int32_t expected = notified;
        if (state_.compare_exchange_strong(expected, empty, std::memory_order_acquire, std::memory_order_relaxed)) {
            return;
        }
    }
}

void Parker::unpark() noexcept {
    // Release pairs with the acquire in park.
    if (state_.exchange(notified, std::memory_order_release) == parked) futex_wake_one(state_);
}

void WordLock::lock() noexcept {
    std::int32_t expected = free_word;
    if (word_.compare_exchange_strong(expected, held, std::memory_order_acquire, std::memory_order_relaxed)) return;
    // Announce a sleeper before sleeping; whoever swaps in `contended` and finds the lock
    // free owns it (with a possibly needless wake at its unlock).
    while (word_.exchange(contended, std::memory_order_acquire) != free_word) futex_wait(word_, contended);
}

void WordLock::unlock() noexcept {
    if (word_.exchange(free_word, std::memory_order_release) == contended) futex_wake_one(word_);
}

}  // namespace dravik_utils::sync::futex
