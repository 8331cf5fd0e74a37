#include "dravik_executor/schedule/runtime/scheduler/data_parallel.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <limits>

#include "dravik_executor/schedule/runtime/worker.hpp"
#include "kavrel/domain/error/error.hpp"
#include "ostrel_core/backoff.hpp"

namespace dravik_executor::schedule::runtime::scheduler::data_parallel {

namespace ee = dravik_core::error::executor_error;

void SchedulerScopeState::wait() {
    const std::uint64_t spins = worker::detail::spin_counts().scope_wait_reads;
    for (std::uint64_t i = 0; i < spins; ++i) {
        if (outstanding.load(std::memory_order_seq_cst) == 0) return;
        ostrel_core::backoff::cpu_pause();
    }
    std::unique_lock<std::mutex> guard(*lock);
    // Checked under the mutex that the last completion takes: its notification cannot
    // fall between this check and the wait.
    while (outstanding.load(std::memory_order_seq_cst) != 0) signal->wait(guard);
}

void complete_chunk(ScopedTaskCompletion completion) noexcept {
    SchedulerScopeState& scope = *completion.scope;
    if (!completion.executed) scope.dropped.fetch_add(1, std::memory_order_seq_cst);
    // Taken now: once outstanding reaches 0 the scope may be gone, the pool's pair is not.
    std::mutex* lock = scope.lock;
    std::condition_variable* signal = scope.signal;
    std::uint64_t current = scope.outstanding.load(std::memory_order_seq_cst);
    for (;;) {
        if (current == 0) std::abort();  // more completions than admissions: corrupted state
        if (current != 1) {
            if (scope.outstanding.compare_exchange_weak(current, current - 1, std::memory_order_seq_cst)) return;
            continue;
        }
        std::unique_lock<std::mutex> guard(*lock);
        if (scope.outstanding.compare_exchange_strong(current, 0, std::memory_order_seq_cst)) {
            signal->notify_all();
            return;
        }
    }
}

bool run_one_queued_job(types::SchedulerInner& pool) {
    const std::uint64_t n = pool.worker_count;
    const std::uint64_t start = worker::next_steal_start::advance() % n;
    for (std::uint64_t m = 0; m < n; ++m) {
        const std::uint64_t victim = (start + m) % n;
        std::optional<job::ScheduledJob> job = pool.workers[victim].queues->take_one();
        if (!job) continue;
        // A chunk run here is inside a region like chunk 0: calls it makes run inline.
        auto region = worker::indexed::IndexedRegionGuard::enter();
        worker::execute_job_with_counters(pool, victim, *job);
        return true;
    }
    return false;
}

void report_caught_chunk_failure() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& error) {
        kavrel::domain::error::write_to_stderr(kavrel::domain::error::message_of(error));
    } catch (...) {
        kavrel::domain::error::write_to_stderr("dravik: a chunk ended by an exception that is not an internal error");
    }
}

std::expected<void, ExecutorError> scope_outcome(bool failed, bool chunk0_ran, std::uint64_t dropped,
                                                 const std::optional<ExecutorError>& admission_error) {
    using dravik_core::error::TaskError;
    if (failed) return std::unexpected(ee::SpawnFailed{TaskError::Panicked});
    if (chunk0_ran) {
        if (dropped != 0) return std::unexpected(ee::SpawnFailed{TaskError::Cancelled});
        return {};
    }
    // Chunk 0 is skipped only after an admission error.
    if (!admission_error.has_value()) std::abort();
    return std::unexpected(admission_error.value());
}

std::uint64_t chunk_count(std::uint64_t workers, std::uint64_t n) noexcept {
    std::uint64_t w = std::max<std::uint64_t>(workers, 1);
    std::uint64_t participants = w == std::numeric_limits<std::uint64_t>::max() ? w : w + 1;
    return std::min(participants, n);
}

bool runs_refused_chunk_inline(const ExecutorError& refusal, std::uint64_t chunk) noexcept {
    return std::holds_alternative<ee::ResourceExhausted>(refusal) ||
           (std::holds_alternative<ee::ShuttingDown>(refusal) && chunk >= 2);
}

}  // namespace dravik_executor::schedule::runtime::scheduler::data_parallel

namespace dravik_executor::schedule::runtime::types {

void ThreadScheduler::drain_scope(scheduler::data_parallel::SchedulerScopeState& scope) const { scope.wait(); }

}  // namespace dravik_executor::schedule::runtime::types
