#include "dravik_executor/schedule/queue/worker.hpp"

#include "ostrel_core/backoff.hpp"
#include "kavrel/domain/error/error.hpp"

namespace dravik_executor::schedule::queue::worker {

namespace {

using dravik_scheduler::deque::chase_lev::StealStatus;
using dravik_scheduler::deque::chase_lev::steal_batch_limit;
using dravik_scheduler::deque::chase_lev::StolenBatch;

// A thief retrying one plane pauses, and yields instead on every 1000th retry.
constexpr std::uint32_t steal_retry_pauses = 999;

// Up to `limit` jobs from the far end of one plane into an empty batch under a single access,
// retrying a lost race; the batch stays empty when the plane has none.
template <class Deque>
void steal_up_to(Deque& deque, std::size_t limit, StolenBatch<ScheduledJob>& batch) {
    ostrel_core::backoff::Backoff wait(steal_retry_pauses, true);
    for (;;) {
        deque.enter_access();
        if (deque.len() <= 0) {
            deque.leave_access();
            return;
        }
        auto first = deque.steal_within_access();
        if (first.status == StealStatus::Success) {
            batch.add(first.job);
            while (batch.size() < limit) {
                auto next = deque.steal_within_access();
                if (next.status != StealStatus::Success) break;
                batch.add(next.job);
            }
            deque.leave_access();
            return;
        }
        deque.leave_access();
        if (first.status == StealStatus::Empty) return;
        wait.step();
    }
}

}  // namespace

WorkerQueues::WorkerQueues(std::uint64_t ring_capacity, Planes shared_planes)
    : admission(ring_capacity), planes(std::move(shared_planes)) {}

std::pair<WorkerQueueOwner, std::shared_ptr<WorkerQueues>> WorkerQueues::create(std::uint64_t ring_capacity,
                                                                                  std::uint64_t local_capacity) {
    std::array<std::uint64_t, 4> initial{default_plane_capacity, local_capacity, default_plane_capacity,
                                         default_plane_capacity};
    Planes planes;
    for (std::size_t i = 0; i < planes.size(); ++i) planes[i] = Plane::with_capacity(initial[i]);
    auto shared = std::make_shared<WorkerQueues>(ring_capacity, planes);
    return {WorkerQueueOwner(std::move(planes), shared, initial), shared};
}

std::expected<void, PrioritizedJob> WorkerQueues::try_push_external(Priority priority, const ScheduledJob& job) {
    auto pushed = admission.push(PrioritizedJob{priority, job});
    // Relaxed: the count is a hint (see job_count).
    if (pushed) job_count.fetch_add(1, std::memory_order_relaxed);
    return pushed;
}

std::optional<ScheduledJob> WorkerQueues::take_one() {
    if (job_count_hint() == 0) return std::nullopt;
    std::optional<ScheduledJob> job;
    for (std::size_t plane = planes.size(); !job && plane-- > 0;) {
        StolenBatch<ScheduledJob> one;
        steal_up_to(*planes[plane], 1, one);
        if (!one.empty()) job = one.take();
    }
    if (!job) {
        if (auto entry = admission.pop()) job = entry->job;
    }
    // Relaxed: see job_count.
    if (job) job_count.fetch_sub(1, std::memory_order_relaxed);
    return job;
}

WorkerQueueOwner::WorkerQueueOwner(Planes planes, std::shared_ptr<WorkerQueues> shared,
                                   std::array<std::uint64_t, 4> initial)
    : planes_(std::move(planes)), shared_(std::move(shared)), initial_capacities_(initial) {}

std::optional<ScheduledJob> WorkerQueueOwner::pop_planes() {
    for (std::size_t plane = planes_.size(); plane-- > 0;) {
        if (auto job = planes_[plane]->pop()) return job;
    }
    return std::nullopt;
}

void WorkerQueueOwner::push_into_plane(Priority priority, const ScheduledJob& job) {
    auto plane = static_cast<std::size_t>(priority);
    if (plane >= planes_.size()) {
        ScheduledJob misplaced = job;
        misplaced.discard();
        kavrel::domain::error::fail_invariant("invariant: job priority names one of the four planes");
    }
    planes_[plane]->push(job);
}

std::optional<ScheduledJob> WorkerQueueOwner::pop_local() {
    if (shared_->job_count_hint() == 0) return std::nullopt;
    std::optional<ScheduledJob> job = pop_planes();
    if (!job) {
        while (auto entry = shared_->admission.pop()) push_into_plane(entry->priority, entry->job);
        job = pop_planes();
    }
    // Relaxed: see job_count.
    if (job) shared_->job_count.fetch_sub(1, std::memory_order_relaxed);
    return job;
}

std::optional<ScheduledJob> WorkerQueueOwner::steal_from_planes(WorkerQueues& victim) {
    for (std::size_t plane = victim.planes.size(); plane-- > 0;) {
        StolenBatch<ScheduledJob> batch;
        steal_up_to(*victim.planes[plane], steal_batch_limit, batch);
        if (batch.empty()) continue;
        ScheduledJob result = batch.take();
        std::uint64_t moved = 0;
        while (!batch.empty()) {
            planes_[plane]->push(batch.take());
            ++moved;
        }
        // Relaxed: see job_count.
        shared_->job_count.fetch_add(moved, std::memory_order_relaxed);
        victim.job_count.fetch_sub(moved + 1, std::memory_order_relaxed);
        return result;
    }
    return std::nullopt;
}

std::optional<ScheduledJob> WorkerQueueOwner::steal_from_ring(WorkerQueues& victim) {
    auto first = victim.admission.pop();
    if (!first) return std::nullopt;
    // Relaxed: see job_count.
    victim.job_count.fetch_sub(1, std::memory_order_relaxed);
    // Held in a batch so that a failure below discards it instead of losing it.
    StolenBatch<ScheduledJob> result;
    result.add(first->job);
    for (std::size_t taken = 1; taken < steal_batch_limit; ++taken) {
        auto entry = victim.admission.pop();
        if (!entry) break;
        // The entry has left the victim whether or not its push below succeeds.
        victim.job_count.fetch_sub(1, std::memory_order_relaxed);
        push_into_plane(entry->priority, entry->job);
        shared_->job_count.fetch_add(1, std::memory_order_relaxed);
    }
    return result.take();
}

std::optional<ScheduledJob> WorkerQueueOwner::steal_batch(WorkerQueues& victim) {
    if (victim.job_count_hint() == 0) return std::nullopt;
    if (auto job = steal_from_planes(victim)) return job;
    return steal_from_ring(victim);
}

void WorkerQueueOwner::shrink_drained_planes() {
    for (std::size_t plane = 0; plane < planes_.size(); ++plane) {
        planes_[plane]->shrink_if_drained(initial_capacities_[plane]);
    }
}

}  // namespace dravik_executor::schedule::queue::worker
