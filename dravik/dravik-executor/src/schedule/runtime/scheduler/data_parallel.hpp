// The fork-join core of every data-parallel call: at most one chunk more than the workers,
// all but the first admitted as jobs, the first run by the caller, then a wait for every
// admitted chunk. A chunk's failure is caught where it runs (its message goes to standard
// error) and reported after the wait. The call's completion state lives on the caller's
// stack, and the wait does not end before every job that refers to it is done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "dravik_core/error.hpp"
#include "dravik_executor/schedule/job.hpp"
#include "dravik_executor/schedule/runtime/types.hpp"
#include "dravik_executor/schedule/runtime/worker/indexed.hpp"

namespace dravik_executor::schedule::runtime::scheduler::data_parallel {

using dravik_core::error::ExecutorError;
using worker::indexed::IndexRange;

// One call's completion state, on the caller's stack. Chunks decrement `outstanding`; only
// the last step, 1 to 0, is taken under the pool's mutex, and it is the chunk's last touch
// of this record.
struct SchedulerScopeState {
    SchedulerScopeState(std::mutex& pool_lock, std::condition_variable& pool_signal) noexcept
        : lock(&pool_lock), signal(&pool_signal) {}
    SchedulerScopeState(const SchedulerScopeState&) = delete;
    SchedulerScopeState& operator=(const SchedulerScopeState&) = delete;

    std::mutex* lock;                            // the pool's one shared mutex
    std::condition_variable* signal;             // the pool's one shared condition variable
    std::atomic<std::uint64_t> outstanding{0};   // admitted and not yet completed
    std::atomic<std::uint64_t> dropped{0};       // completed without having run
    std::atomic<std::uint8_t> failed{0};         // a chunk raised an error

    // Returns when outstanding is 0: spins first, then sleeps on the pool's condition
    // variable. Requires: the calling thread is not a worker of the pool.
    void wait();
};

// A chunk's completion guard: completing it with executed false counts the chunk as
// dropped.
struct ScopedTaskCompletion {
    SchedulerScopeState* scope;
    std::uint8_t executed;
};
// Completes one chunk of the scope (the guard's drop).
void complete_chunk(ScopedTaskCompletion completion) noexcept;

// The payload of a chunk job.
template <class Work>
struct ScopedJob {
    const Work* callback;  // owned by the caller's stack frame
    std::uint64_t start;
    std::uint64_t end;
    ScopedTaskCompletion completion;
};

// Inside a catch block: writes the caught error's message to standard error. A forced
// unwind (a thread ended by pthread_exit) is rethrown.
void report_caught_chunk_failure();

// Runs work(start, end), catching and reporting a failure; false after one.
template <class Work>
bool run_chunk_caught(const Work& work, std::uint64_t start, std::uint64_t end) {
    try {
        work(start, end);
        return true;
    } catch (...) {
        report_caught_chunk_failure();
        return false;
    }
}

// The execute entry of a chunk job: runs the chunk, records a failure in the scope, and
// completes the chunk as executed. False after a caught failure.
template <class Work>
bool execute_scoped_inline(void* payload) {
    auto job = job::read_payload<ScopedJob<Work>>(payload);
    bool succeeded = run_chunk_caught(*job.callback, job.start, job.end);
    if (!succeeded) job.completion.scope->failed.store(1, std::memory_order_seq_cst);
    job.completion.executed = 1;
    complete_chunk(job.completion);
    return succeeded;
}

// The drop entry of a chunk job: completes the chunk as not executed.
template <class Work>
void drop_inline(void* payload) noexcept {
    auto job = job::read_payload<ScopedJob<Work>>(payload);
    job.completion.executed = 0;
    complete_chunk(job.completion);
}

template <class Work>
job::ScheduledJob make_scoped_job(const Work& work, IndexRange range, SchedulerScopeState& scope) noexcept {
    return job::ScheduledJob::from_payload(ScopedJob<Work>{&work, range.start, range.end, {&scope, 0}},
                                           &execute_scoped_inline<Work>, &drop_inline<Work>);
}

// Chunk 0 on the calling thread, inside an indexed region: success, or SpawnFailed(Panicked)
// when it raised an error.
template <class Work>
std::expected<void, ExecutorError> execute_catching_panic(const Work& work, std::uint64_t start, std::uint64_t end) {
    auto region = worker::indexed::IndexedRegionGuard::enter();
    if (!run_chunk_caught(work, start, end)) {
        return std::unexpected(dravik_core::error::executor_error::SpawnFailed{dravik_core::error::TaskError::Panicked});
    }
    return {};
}

// The call's result once every chunk has ended: a failed chunk gives SpawnFailed(Panicked);
// else, when chunk 0 ran, a dropped chunk gives SpawnFailed(Cancelled) and none success;
// else the admission error that stopped the call.
std::expected<void, ExecutorError> scope_outcome(bool failed, bool chunk0_ran, std::uint64_t dropped,
                                                 const std::optional<ExecutorError>& admission_error);

// The participants of a call: one more than the workers (saturating), at most n.
std::uint64_t chunk_count(std::uint64_t workers, std::uint64_t n) noexcept;

// True for a refusal after which the caller runs the chunk itself: a full admission ring,
// or a shutdown found after the first admission.
bool runs_refused_chunk_inline(const ExecutorError& refusal, std::uint64_t chunk) noexcept;

// The caller's help before it waits: takes one job still queued on any worker and runs it
// here, inside an indexed region. False when no queue offered one. A worker that has not
// yet been scheduled then no longer holds the call back.
bool run_one_queued_job(types::SchedulerInner& pool);

// Drains the scope when the call ends, on every way out: no job may outlive the frame.
class ScopeDrain {
public:
    ScopeDrain(const types::ThreadScheduler& scheduler, SchedulerScopeState& scope) noexcept
        : scheduler_(scheduler), scope_(scope) {}
    ~ScopeDrain() {
        if (!drained_) scheduler_.drain_scope(scope_);
    }
    ScopeDrain(const ScopeDrain&) = delete;
    ScopeDrain& operator=(const ScopeDrain&) = delete;
    void drain() {
        scheduler_.drain_scope(scope_);
        drained_ = true;
    }

private:
    const types::ThreadScheduler& scheduler_;
    SchedulerScopeState& scope_;
    bool drained_ = false;
};

// ThreadScheduler::for_each_indexed: work(start, end) over balanced contiguous chunks of
// [0, n), n >= 1, the calling thread taking part.
template <class Work>
std::expected<void, ExecutorError> for_each_indexed(const types::ThreadScheduler& scheduler, std::uint64_t n,
                                                    const Work& work) {
    namespace ee = dravik_core::error::executor_error;
    using worker::indexed::indexed_chunk_bounds;
    types::SchedulerInner& pool = scheduler.inner();
    if (pool.shutdown.load(std::memory_order_seq_cst)) return std::unexpected(ee::ShuttingDown{});
    if (types::runs_chunks_inline()) {
        if (!run_chunk_caught(work, 0, n)) {
            return std::unexpected(ee::SpawnFailed{dravik_core::error::TaskError::Panicked});
        }
        return {};
    }
    const std::uint64_t k = chunk_count(pool.worker_count, n);
    SchedulerScopeState scope(pool.shared_lock, pool.shared_signal);
    ScopeDrain drain(scheduler, scope);
    std::optional<ExecutorError> admission_error;
    bool fallback_failed = false;
    for (std::uint64_t c = 1; c < k; ++c) {
        IndexRange range = indexed_chunk_bounds(n, k, c);
        scope.outstanding.fetch_add(1, std::memory_order_seq_cst);
        auto admitted = scheduler.schedule_job(make_scoped_job(work, range, scope));
        if (admitted) continue;
        // The refused job was dropped, which counted it; it is not a dropped chunk.
        scope.dropped.fetch_sub(1, std::memory_order_seq_cst);
        if (!runs_refused_chunk_inline(admitted.error(), c)) {
            admission_error = std::move(admitted.error());
            break;
        }
        pool.inline_fallbacks.fetch_add(1, std::memory_order_relaxed);  // a statistic: nothing is ordered by it
        if (!run_chunk_caught(work, range.start, range.end)) {
            fallback_failed = true;
            break;
        }
    }
    bool chunk0_ran = false;
    bool chunk0_failed = false;
    if (!admission_error && !fallback_failed) {
        chunk0_ran = true;
        IndexRange first = indexed_chunk_bounds(n, k, 0);
        chunk0_failed = !execute_catching_panic(work, first.start, first.end);
    }
    while (scope.outstanding.load(std::memory_order_seq_cst) != 0 && run_one_queued_job(pool)) {
    }
    drain.drain();
    bool failed = fallback_failed || chunk0_failed || scope.failed.load(std::memory_order_seq_cst) != 0;
    return scope_outcome(failed, chunk0_ran, scope.dropped.load(std::memory_order_seq_cst), admission_error);
}

}  // namespace dravik_executor::schedule::runtime::scheduler::data_parallel
