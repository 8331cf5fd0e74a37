// The decay thread "ostrel-decay": started once, detached and never joined, when the
// purge cadence is non-zero. It waits its interval, runs a decay step and adapts the
// interval to how much memory was decommitted meanwhile.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace ostrel_decay::engine {

// 1 once a thread that swapped it from 0 has started the decay thread.
extern constinit std::atomic<std::uint8_t> SPAWNED;

// What the decay thread waits on between steps; a set flag ends a wait early. Nothing in
// the system sets it, so every wait runs its full interval.
struct DecayWakeEvent {
    std::mutex mutex;
    std::condition_variable wake;
    bool flag = false;  // under mutex
};
// Created on first use (published through an atomic pointer, so a failed creation is
// retried) and never destroyed; a forked child builds its own.
DecayWakeEvent& decay_wake_event();

// Starts the decay thread unless one was started. A failed spawn stops with an internal
// error whose message begins "Failed to spawn ostrel-decay thread" and leaves SPAWNED
// clear, so a later call tries again.
void init_decay_engine();

// In a process forked after the decay thread started, the child has no decay thread; the
// next allocation slow path calls this to start one there.
void respawn_after_fork_if_needed();

// The next wait after a step: no progress doubles it up to min(10 x cadence, 5000 ms);
// up to 1 MiB of progress returns to the cadence; more halves it, down to cadence / 4
// (and at least 1 ms).
std::uint64_t next_interval(std::uint64_t interval_ms, std::uint64_t cadence_ms, std::uint64_t progress_bytes);

// Longest single wait: a cadence of more than about 49 days waits that long at a time,
// which keeps the deadline representable on the monotonic clock.
inline constexpr std::uint64_t longest_wait_ms = std::uint64_t{1} << 32;

namespace detail {

using SpawnFn = int (*)(pthread_t* thread, void* (*body)(void*), void* argument);
// Test seam: replaces pthread_create with default attributes.
void set_spawn_hook(SpawnFn hook);

}  // namespace detail

}  // namespace ostrel_decay::engine
