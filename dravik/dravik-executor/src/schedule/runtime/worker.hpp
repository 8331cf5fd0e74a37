// The worker runtime: what a pool thread does (its own queues, stealing, spinning with
// probes, idle upkeep, parking in the sleeper bitmap), how an admitted job picks its
// worker and wakes one, how one job runs with the pool's counters, and the joining of
// worker threads at shutdown.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "dravik_executor/schedule/job.hpp"
#include "dravik_executor/schedule/queue/worker.hpp"
#include "dravik_executor/schedule/runtime/types.hpp"

namespace dravik_executor::schedule::runtime::worker {

using types::SchedulerInner;

namespace next_round_robin_ticket {
// The admission ticket of the thread that admits jobs.
extern constinit thread_local std::uint64_t TICKET;
}  // namespace next_round_robin_ticket

namespace next_steal_start {
// The xorshift state that picks where a worker starts stealing and probing.
extern constinit thread_local std::uint64_t RNG;
// Advances the state (seeded from its own address while 0) and returns it.
std::uint64_t advance() noexcept;
}  // namespace next_steal_start

// Admission, steps 1 and 5: the target worker of the next job (1 mod n on an idle pool,
// otherwise the next ticket mod n), and the wake-up after the push: a parked worker from
// the bitmap if there is one, else the target and, by the pending count seen before the
// admission, a second worker.
std::uint64_t admission_target(SchedulerInner& pool) noexcept;
void wake_after_admission(SchedulerInner& pool, std::uint64_t target, std::uint64_t pending_before) noexcept;

// Unparks worker target and, with two workers or more, worker (target + offset) mod n;
// returns how many workers it addressed.
std::uint64_t wake_contended_workers(SchedulerInner& pool, std::uint64_t target, std::uint64_t offset) noexcept;
// Wakes worker `index` if its thread has published its handle.
void unpark_worker(SchedulerInner& pool, std::uint64_t index) noexcept;

// Runs one job taken from the queues, with the pool's pending, running, completed and
// failed counters. Its drop entry is made empty first: a started job can no longer be
// discarded. Returns what the execute entry reported.
bool execute_job_with_counters(SchedulerInner& pool, std::uint64_t index, job::ScheduledJob job);

// After a full spin without work: the allocator's idle maintenance on this thread's heap
// (at most every 500 ms, only when the thread already has a heap), then the shrink of
// drained planes.
void run_idle_upkeep(queue::worker::WorkerQueueOwner& owner);

// What a worker thread is started with; the thread owns it.
struct WorkerStart {
    std::uint64_t index;
    queue::worker::WorkerQueueOwner owner;
    std::shared_ptr<SchedulerInner> pool;
};
// The thread body: the argument is a WorkerStart made with new.
void* worker_thread_main(void* start);

// True on a worker thread of `pool`. (Thread handles cannot tell: a joined worker's handle
// may come back for a new thread.)
bool is_worker_of(const SchedulerInner& pool) noexcept;

// Joins every listed thread but the calling one (detached), last first. A failed join
// detaches the rest and stops with an internal error.
void join_other_threads(std::vector<pthread_t> handles);

namespace detail {

// The spin limits of waiting threads; tests lower them to force parking and sleeping.
struct SpinCounts {
    std::uint32_t worker_spin_rounds;  // pause rounds before a worker parks
    std::uint32_t probe_interval;      // rounds between probes of other workers
    std::uint64_t scope_wait_reads;    // reads of a scope's count before its caller sleeps
};
// A caller sleeps after about 50 us of reads: the pool plus the caller are one thread more
// than the cores, so a caller spinning any longer takes a core from a chunk still running.
inline constexpr SpinCounts default_spin_counts{8192, 32, 2048};
void set_spin_counts(SpinCounts counts) noexcept;
SpinCounts spin_counts() noexcept;

// Test seam: replaces pthread_create (default attributes) for worker threads; nullptr
// restores it.
using SpawnFn = int (*)(pthread_t* thread, void* (*body)(void*), void* argument);
void set_spawn_hook(SpawnFn hook) noexcept;
int spawn_worker_thread(pthread_t* thread, void* start) noexcept;

// The worker's thread name: prefix, a hyphen and the index, cut to the 15 bytes Linux keeps.
std::string thread_name(const std::string& prefix, std::uint64_t index);

}  // namespace detail

}  // namespace dravik_executor::schedule::runtime::worker
