// The pool's shared records and its handle. SchedulerInner holds the counters, the workers'
// shared records, the sleeper bitmap and the one mutex and condition variable of the pool;
// ThreadScheduler is a counted handle to it whose last copy shuts the pool down. Also the
// per-thread values that tell executor code where it runs.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dravik_core/error.hpp"
#include "dravik_executor/schedule/job.hpp"
#include "dravik_executor/schedule/queue/worker.hpp"
#include "dravik_utils/sync/futex.hpp"

namespace dravik_executor::schedule::runtime::types {
class ThreadScheduler;
}

namespace dravik_executor::schedule::runtime::scheduler::data_parallel {
struct SchedulerScopeState;
// Defined in scheduler/data_parallel.hpp, which every data-parallel caller includes.
template <class Work>
std::expected<void, dravik_core::error::ExecutorError> for_each_indexed(const types::ThreadScheduler& scheduler,
                                                                         std::uint64_t n, const Work& work);
}

namespace dravik_executor::schedule::runtime::types {

using dravik_core::error::ExecutorError;
using job::ScheduledJob;
using queue::worker::WorkerQueueOwner;
using queue::worker::WorkerQueues;

// The worker's index on a pool thread, set before its loop starts; empty on every other
// thread.
extern constinit thread_local std::optional<std::uint64_t> current_worker_id;
// How deeply this thread is nested in indexed regions (the caller's own chunk of a
// data-parallel call); empty until the first one.
extern constinit thread_local std::optional<std::uint64_t> indexed_region_depth;

// A worker, or a thread inside its own chunk of a data-parallel call, runs every item of a
// further call itself rather than wait for the pool.
inline bool runs_chunks_inline() noexcept { return current_worker_id || indexed_region_depth.value_or(0) > 0; }

// One worker's shared record.
struct alignas(128) WorkerState {
    // Written once by the worker thread itself, then published; readers acquire the flag.
    std::atomic<bool> handle_published{false};
    pthread_t thread{};
    dravik_utils::sync::futex::Parker parker;
    std::shared_ptr<WorkerQueues> queues;  // set before the thread starts
};

struct alignas(128) SleeperWord {
    std::atomic<std::uint64_t> bits{0};  // bit i set while worker 64 x word + i is parked
};

// Join progress of shutdown.
enum class JoinState : std::uint8_t { not_joined = 0, joining = 1, joined = 2 };

struct alignas(128) SchedulerInner {
    SchedulerInner(std::uint64_t workers, std::string prefix);

    // Each counter alone on its line. Writers: pending, admitting threads (raise, and lower
    // on refusal) and workers (lower when a job starts); running, completed and failed,
    // workers; inline_fallbacks, data-parallel callers; shutdown, set once by shutdown.
    alignas(128) std::atomic<std::uint64_t> pending{0};  // admitted, not yet started
    alignas(128) std::atomic<std::uint64_t> running{0};  // being executed
    alignas(128) std::atomic<std::uint64_t> completed{0};
    alignas(128) std::atomic<std::uint64_t> failed{0};
    alignas(128) std::atomic<std::uint64_t> inline_fallbacks{0};  // chunks a caller ran after a refusal
    alignas(128) std::atomic<bool> shutdown{false};
    alignas(128) std::mutex join_mutex;
    std::vector<pthread_t> join_list;  // under join_mutex, in start order; taken by the joiner
    alignas(128) std::atomic<std::uint64_t> handle_count{0};  // live ThreadScheduler copies
    // The one pair behind scope completion and scope waits, and the join handshake.
    alignas(128) std::mutex shared_lock;
    std::condition_variable shared_signal;
    // Fixed at construction.
    alignas(128) std::uint64_t worker_count;
    std::unique_ptr<WorkerState[]> workers;  // index = worker index
    std::uint64_t sleeper_word_count;
    std::unique_ptr<SleeperWord[]> sleepers;  // workers set and clear their own bit; admission clears
    std::string thread_name_prefix;
    std::atomic<JoinState> join_state{JoinState::not_joined};  // moved on by shutdown callers
};

// A counted handle to a pool. Copies count; when the last one goes, the pool is shut down.
class ThreadScheduler {
public:
    // Creates the pool record over the given queues (one pair per worker), starts one named
    // thread per worker and waits until each has published its handle. A thread the
    // system refuses shuts the pool down and gives ThreadPoolCreationFailed.
    static std::expected<ThreadScheduler, ExecutorError> from_construction(
        std::string thread_name_prefix,
        std::vector<std::pair<WorkerQueueOwner, std::shared_ptr<WorkerQueues>>> queues);

    ThreadScheduler(const ThreadScheduler& other) noexcept;
    ThreadScheduler(ThreadScheduler&& other) noexcept = default;
    ThreadScheduler& operator=(const ThreadScheduler&) = delete;
    ThreadScheduler& operator=(ThreadScheduler&&) = delete;
    ~ThreadScheduler();

    // Admits one SyncTask job (priority 1) to a worker's ring and wakes a worker. On
    // ShuttingDown or ResourceExhausted ("worker <i> scheduler admission queue is full")
    // the job has been discarded through its drop entry. Any thread.
    std::expected<void, ExecutorError> schedule_job(const ScheduledJob& job) const;

    // Stops the pool: sets the shutdown flag and wakes every worker; unless called from
    // one of the pool's workers, returns only when every worker thread has been joined.
    // Workers first finish every pending job.
    void shutdown() const;

    // The data-parallel core (scheduler::data_parallel): runs work(start, end) over
    // balanced contiguous chunks of [0, n), n >= 1, the calling thread taking part.
    template <class Work>
    std::expected<void, ExecutorError> for_each_indexed(std::uint64_t n, const Work& work) const {
        return scheduler::data_parallel::for_each_indexed(*this, n, work);
    }
    // Returns when the scope's outstanding count is 0.
    void drain_scope(scheduler::data_parallel::SchedulerScopeState& scope) const;

    SchedulerInner& inner() const noexcept { return *inner_; }
    std::uint64_t worker_count() const noexcept { return inner_->worker_count; }
    bool is_shutting_down() const noexcept { return inner_->shutdown.load(std::memory_order_seq_cst); }

private:
    explicit ThreadScheduler(std::shared_ptr<SchedulerInner> inner) noexcept;
    std::shared_ptr<SchedulerInner> inner_;
};

}  // namespace dravik_executor::schedule::runtime::types
