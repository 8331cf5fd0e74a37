// One worker's queues: four Chase-Lev deques (planes, one per priority) and a bounded
// admission ring. The shared face, WorkerQueues, takes admissions from any thread, reports
// a job count and is stolen from; the owner face, WorkerQueueOwner, is kept by the worker
// thread alone: it pops its planes, moves its ring into them, steals batches from other
// workers into them and shrinks planes that grew.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <utility>

#include "dravik_executor/schedule/job.hpp"
#include "dravik_scheduler/deque/chase_lev.hpp"
#include "dravik_utils/queue/ring.hpp"

namespace dravik_executor::schedule::queue::worker {

using job::Priority;
using job::PrioritizedJob;
using job::ScheduledJob;
using Plane = dravik_scheduler::deque::chase_lev::ChaseLevDeque<ScheduledJob>;
using Planes = std::array<Plane, job::plane_count>;

inline constexpr std::uint64_t default_plane_capacity = 16;

class WorkerQueueOwner;

// Shared by the worker and everyone who hands it work or steals from it.
struct alignas(128) WorkerQueues {
    // Jobs in this worker's ring and planes: a hint for probes and idle checks. Changed
    // after the containers, so it may lag them for a moment (and wrap below zero); it never
    // misses a job for good.
    alignas(128) std::atomic<std::uint64_t> job_count{0};
    alignas(128) dravik_utils::queue::ring::LockFreeQueue<PrioritizedJob> admission;
    // Destroyed before the ring: teardown discards the planes' jobs, then the ring's.
    Planes planes;

    WorkerQueues(std::uint64_t ring_capacity, Planes shared_planes);

    // Planes of 16, `local_capacity` (plane 1, a power of two), 16 and 16 slots, all from
    // position 0, and a ring asked for `ring_capacity` entries.
    static std::pair<WorkerQueueOwner, std::shared_ptr<WorkerQueues>> create(std::uint64_t ring_capacity,
                                                                              std::uint64_t local_capacity);

    // Any thread. The entry back, untouched, when the ring is full.
    std::expected<void, PrioritizedJob> try_push_external(Priority priority, const ScheduledJob& job);

    // Any thread: one job, the oldest of the highest non-empty plane, else the ring's
    // first entry. For a waiting caller that runs queued chunks instead of idling.
    std::optional<ScheduledJob> take_one();
    // Any thread.
    std::uint64_t job_count_hint() const noexcept {
        // Relaxed: a hint; every decision taken on it is re-checked on the containers.
        return job_count.load(std::memory_order_relaxed);
    }
};

// The worker thread's side. Not shared.
class WorkerQueueOwner {
public:
    WorkerQueueOwner(Planes planes, std::shared_ptr<WorkerQueues> shared, std::array<std::uint64_t, 4> initial);

    // The newest job of the highest non-empty plane; with all planes empty, the whole ring
    // is first moved into the planes. Nothing when the job count is 0.
    std::optional<ScheduledJob> pop_local();

    // Takes a job from `victim` (another worker): up to 16 from its highest non-empty plane
    // (the oldest first), else up to 16 entries of its ring. The first is returned, the
    // others go into this worker's planes.
    std::optional<ScheduledJob> steal_batch(WorkerQueues& victim);

    // When idle: planes that grew and are nearly empty go back to their initial capacity.
    void shrink_drained_planes();

    WorkerQueues& shared() const noexcept { return *shared_; }

private:
    std::optional<ScheduledJob> pop_planes();
    // Owner push into the plane of `priority`; a priority above 3 discards the job and
    // stops with an internal error.
    void push_into_plane(Priority priority, const ScheduledJob& job);
    std::optional<ScheduledJob> steal_from_planes(WorkerQueues& victim);
    std::optional<ScheduledJob> steal_from_ring(WorkerQueues& victim);

    Planes planes_;
    std::shared_ptr<WorkerQueues> shared_;
    std::array<std::uint64_t, 4> initial_capacities_;
};

}  // namespace dravik_executor::schedule::queue::worker
