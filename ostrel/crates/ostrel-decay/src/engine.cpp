#include "ostrel_decay/engine.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>

#include "garvon/query/platform.hpp"
#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_backend/recorders/stats.hpp"
#include "ostrel_core/options.hpp"
#include "ostrel_decay/step.hpp"

namespace ostrel_decay::engine {

constinit std::atomic<std::uint8_t> SPAWNED{0};

namespace {

constexpr const char* thread_name = "ostrel-decay";
constexpr std::uint64_t small_progress_bytes = 1048576;
constexpr std::uint64_t longest_interval_ms = 5000;

constinit std::atomic<DecayWakeEvent*> wake_event{nullptr};
// Relaxed: set by the fork child handler and taken by the child's own threads.
constinit std::atomic<bool> respawn_pending{false};
constinit std::atomic<detail::SpawnFn> spawn_hook{nullptr};
constinit std::atomic<bool> fork_handlers_registered{false};

void wait_for_wake(DecayWakeEvent& event, std::uint64_t interval_ms) {
    std::unique_lock<std::mutex> lock(event.mutex);
    event.wake.wait_for(lock, std::chrono::milliseconds(std::min(interval_ms, longest_wait_ms)),
                        [&] { return event.flag; });
    event.flag = false;
}

void* decay_thread_main(void*) {
    pthread_setname_np(pthread_self(), garvon::query::platform::cut_thread_name(thread_name).c_str());
    DecayWakeEvent& event = decay_wake_event();
    // Relaxed: written before pthread_create started this thread.
    std::uint64_t cadence = ostrel_core::options::PURGE_CADENCE_MS.load(std::memory_order_relaxed);
    std::uint64_t interval = cadence;
    auto& decommitted = ostrel_backend::recorders::stats::DECOMMIT_BYTES;
    for (;;) {
        wait_for_wake(event, interval);
        // Relaxed: a statistic that only steers the interval.
        std::uint64_t before = decommitted.load(std::memory_order_relaxed);
        step::decay_step();
        std::uint64_t after = decommitted.load(std::memory_order_relaxed);
        interval = next_interval(interval, cadence, after - before);
    }
    return nullptr;
}

int spawn_detached(pthread_t* thread, void* (*body)(void*), void* argument) {
    int result = pthread_create(thread, nullptr, body, argument);
    if (result == 0) pthread_detach(*thread);
    return result;
}

// A fork child has the event's mutex in the state the forking thread left it: take it
// around the fork so that it is free there. This is the event the prepare handler locked:
// another thread may publish one while the fork runs, and only the locked one may be
// unlocked. Touched only by the forking thread (glibc runs one fork's handlers at a time).
constinit DecayWakeEvent* locked_for_fork = nullptr;

void lock_for_fork() {
    locked_for_fork = wake_event.load(std::memory_order_acquire);
    if (locked_for_fork) locked_for_fork->mutex.lock();
}
void unlock_in_parent() {
    if (locked_for_fork) locked_for_fork->mutex.unlock();
    locked_for_fork = nullptr;
}
void unlock_in_child() {
    unlock_in_parent();
    // The parent's decay thread may have been inside the condition variable (a timed-out
    // wait takes its internal lock without the mutex): the child's thread gets a fresh
    // event and the old one is left alone.
    wake_event.store(nullptr, std::memory_order_relaxed);
    // The decay thread was not copied: the child's next slow path starts its own.
    if (SPAWNED.exchange(0, std::memory_order_relaxed) != 0) respawn_pending.store(true, std::memory_order_relaxed);
}

void register_fork_handlers_once() {
    // Relaxed: the exchange alone decides which thread registers.
    if (fork_handlers_registered.exchange(true, std::memory_order_relaxed)) return;
    if (pthread_atfork(&lock_for_fork, &unlock_in_parent, &unlock_in_child) != 0) {
        fork_handlers_registered.store(false, std::memory_order_relaxed);
    }
}

}  // namespace

DecayWakeEvent& decay_wake_event() {
    // Acquire pairs with the release below: a thread that sees the pointer sees the object.
    if (DecayWakeEvent* event = wake_event.load(std::memory_order_acquire)) return *event;
    // No lock: a child forked while another thread builds the event must not wait for it.
    // Racing builders publish with one compare-and-swap; a loser drops its own.
    auto* event = new DecayWakeEvent();
    DecayWakeEvent* expected = nullptr;
    if (wake_event.compare_exchange_strong(expected, event, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return *event;
    }
    delete event;
    return *expected;
}

void init_decay_engine() {
    // Relaxed: only which caller wins matters; the thread reads the options, which were
    // written before this call on the winning thread, after pthread_create.
    if (SPAWNED.exchange(1, std::memory_order_relaxed) != 0) return;
    try {
        // Built before the thread starts, so the thread itself never allocates.
        (void)decay_wake_event();
    } catch (...) {
        // Relaxed: as the exchange above.
        SPAWNED.store(0, std::memory_order_relaxed);
        throw;
    }
    ostrel_arena::segment::pool::register_fork_handlers_once();
    register_fork_handlers_once();
    pthread_t thread{};
    // Relaxed: tests set the hook before any thread calls this.
    detail::SpawnFn hook = spawn_hook.load(std::memory_order_relaxed);
    int result = hook ? hook(&thread, &decay_thread_main, nullptr) : spawn_detached(&thread, &decay_thread_main, nullptr);
    if (result != 0) {
        SPAWNED.store(0, std::memory_order_relaxed);
        std::string message = "Failed to spawn ostrel-decay thread: ";
        message += std::strerror(result);
        kavrel::domain::error::fail_invariant(message);
    }
}

void respawn_after_fork_if_needed() {
    // Relaxed: see respawn_pending.
    if (!respawn_pending.load(std::memory_order_relaxed)) return;
    if (respawn_pending.exchange(false, std::memory_order_relaxed)) init_decay_engine();
}

std::uint64_t next_interval(std::uint64_t interval_ms, std::uint64_t cadence_ms, std::uint64_t progress_bytes) {
    if (progress_bytes == 0) {
        using kavrel::domain::checked::saturating_mul;
        return std::min({saturating_mul(interval_ms, 2), saturating_mul(cadence_ms, 10), longest_interval_ms});
    }
    if (progress_bytes <= small_progress_bytes) return cadence_ms;
    std::uint64_t shorter = std::max(cadence_ms / 4, interval_ms / 2);
    return shorter == 0 ? 1 : shorter;
}

namespace detail {

void set_spawn_hook(SpawnFn hook) { spawn_hook.store(hook, std::memory_order_relaxed); }

}  // namespace detail

}  // namespace ostrel_decay::engine
