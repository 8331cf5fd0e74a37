#include "dravik_executor/schedule/runtime/worker.hpp"

#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "ostrel_core/backoff.hpp"
#include "garvon/query/platform.hpp"
#include "kavrel/domain/error/error.hpp"
#include "ostrel_local/local_alloc.hpp"
#include "ostrel_local/tls_slot.hpp"

namespace dravik_executor::schedule::runtime::worker {

using types::WorkerState;

namespace next_round_robin_ticket {
constinit thread_local std::uint64_t TICKET = 0;
}  // namespace next_round_robin_ticket

namespace next_steal_start {

constinit thread_local std::uint64_t RNG = 0;

std::uint64_t advance() noexcept {
    std::uint64_t x = RNG != 0 ? RNG : reinterpret_cast<std::uintptr_t>(&RNG) + 1;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    RNG = x;
    return x;
}

}  // namespace next_steal_start

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t probed_workers = 8;
constexpr auto maintenance_interval = std::chrono::milliseconds(500);

// The pool this thread works for; none on every other thread.
constinit thread_local const SchedulerInner* current_pool = nullptr;

// When this worker last ran the allocator's idle maintenance.
constinit thread_local std::optional<Clock::time_point> last_maintenance_time;

// Relaxed: tuning values and a test hook; a worker that reads a stale count only spins
// longer or shorter once.
constinit std::atomic<std::uint32_t> worker_spin_rounds{detail::default_spin_counts.worker_spin_rounds};
constinit std::atomic<std::uint32_t> probe_interval{detail::default_spin_counts.probe_interval};
constinit std::atomic<std::uint64_t> scope_wait_reads{detail::default_spin_counts.scope_wait_reads};
constinit std::atomic<detail::SpawnFn> spawn_hook{nullptr};

bool drained_for_shutdown(const SchedulerInner& pool) noexcept {
    return pool.shutdown.load(std::memory_order_seq_cst) && pool.pending.load(std::memory_order_seq_cst) == 0;
}

// One steal pass: every other worker once, from a random start.
std::optional<job::ScheduledJob> steal_pass(SchedulerInner& pool, std::uint64_t self,
                                            queue::worker::WorkerQueueOwner& owner) {
    const std::uint64_t n = pool.worker_count;
    std::uint64_t start = next_steal_start::advance() % n;
    for (std::uint64_t m = 0; m < n; ++m) {
        std::uint64_t victim = (start + m) % n;
        if (victim == self) continue;
        if (auto job = owner.steal_batch(*pool.workers[victim].queues)) return job;
    }
    return std::nullopt;
}

// Spins with pause hints, watching its own job count and, every probe interval, up to 8
// other workers' counts, yielding the processor there. True when there may be work (or
// shutdown may proceed).
bool spin_for_work(SchedulerInner& pool, std::uint64_t self, const queue::worker::WorkerQueues& own) {
    const std::uint64_t n = pool.worker_count;
    // Relaxed: see the spin counts.
    const std::uint32_t rounds = worker_spin_rounds.load(std::memory_order_relaxed);
    const std::uint32_t interval = std::max<std::uint32_t>(1, probe_interval.load(std::memory_order_relaxed));
    const std::uint64_t probes = std::min(n, probed_workers);
    for (std::uint32_t r = 0; r < rounds; ++r) {
        ostrel_core::backoff::cpu_pause();
        if (own.job_count_hint() != 0 || drained_for_shutdown(pool)) return true;
        if (r % interval != 0) continue;
        // Every probe round also yields: a thread still running a chunk (there is one thread
        // more than cores) gets this core instead of waiting out the spin.
        if (r != 0) ostrel_core::backoff::yield_processor();
        std::uint64_t g = next_steal_start::advance();
        for (std::uint64_t m = 0; m < probes; ++m) {
            std::uint64_t probed = (g + m) % n;
            if (probed != self && pool.workers[probed].queues->job_count_hint() != 0) return true;
        }
    }
    return false;
}

// Parks in the sleeper bitmap until a job is pending or the pool shuts down. The bit is
// set before pending is checked, and admission raises pending before it scans the bitmap,
// so one of the two always sees the other.
void park(SchedulerInner& pool, std::uint64_t self) {
    std::atomic<std::uint64_t>& word = pool.sleepers[self / 64].bits;
    const std::uint64_t bit = std::uint64_t{1} << (self % 64);
    word.fetch_or(bit, std::memory_order_seq_cst);
    while (pool.pending.load(std::memory_order_seq_cst) == 0 && !pool.shutdown.load(std::memory_order_seq_cst)) {
        pool.workers[self].parker.park();
        // Admission clears the bit of the worker it wakes.
        word.fetch_or(bit, std::memory_order_seq_cst);
    }
    word.fetch_and(~bit, std::memory_order_seq_cst);
}

void run_allocator_maintenance() {
    ostrel_local::local_alloc::ThreadAllocator* allocator = ostrel_local::tls_slot::CACHED_SLOT_PTR;
    if (allocator == nullptr) return;  // no heap yet: nothing to tidy, and none is made here
    Clock::time_point now = Clock::now();
    if (last_maintenance_time && (now < *last_maintenance_time || now - *last_maintenance_time < maintenance_interval)) {
        return;
    }
    last_maintenance_time = now;
    if (allocator->busy) return;
    ostrel_local::local_alloc::BusyScope busy(*allocator);
    ostrel_local::local_alloc::run_idle_memory_maintenance(*allocator);
}

void worker_loop(SchedulerInner& pool, std::uint64_t self, queue::worker::WorkerQueueOwner& owner) {
    for (;;) {
        std::optional<job::ScheduledJob> job = owner.pop_local();
        if (!job) job = steal_pass(pool, self, owner);
        if (job) {
            execute_job_with_counters(pool, self, *job);
            continue;
        }
        if (drained_for_shutdown(pool)) return;
        if (spin_for_work(pool, self, owner.shared())) continue;
        run_idle_upkeep(owner);
        park(pool, self);
    }
}

void run_worker(WorkerStart& start) {
    types::current_worker_id = start.index;
    SchedulerInner& pool = *start.pool;
    current_pool = &pool;
    pthread_setname_np(pthread_self(), detail::thread_name(pool.thread_name_prefix, start.index).c_str());
    WorkerState& state = pool.workers[start.index];
    state.thread = pthread_self();
    // Release: whoever sees the flag sees the thread handle.
    state.handle_published.store(true, std::memory_order_release);
    worker_loop(pool, start.index, start.owner);
}

}  // namespace

std::uint64_t admission_target(SchedulerInner& pool) noexcept {
    std::uint64_t ticket;
    if (pool.pending.load(std::memory_order_seq_cst) == 0 && pool.running.load(std::memory_order_seq_cst) < 2) {
        ticket = 1;
    } else {
        ticket = ++next_round_robin_ticket::TICKET;
    }
    return ticket % pool.worker_count;
}

bool is_worker_of(const SchedulerInner& pool) noexcept { return current_pool == &pool; }

void unpark_worker(SchedulerInner& pool, std::uint64_t index) noexcept {
    WorkerState& state = pool.workers[index];
    // Acquire pairs with the worker's publication of its handle.
    if (state.handle_published.load(std::memory_order_acquire)) state.parker.unpark();
}

std::uint64_t wake_contended_workers(SchedulerInner& pool, std::uint64_t target, std::uint64_t offset) noexcept {
    const std::uint64_t n = pool.worker_count;
    unpark_worker(pool, target);
    if (n < 2) return 1;
    unpark_worker(pool, (target + offset) % n);
    return 2;
}

void wake_after_admission(SchedulerInner& pool, std::uint64_t target, std::uint64_t pending_before) noexcept {
    const std::uint64_t n = pool.worker_count;
    for (std::uint64_t w = 0; w < pool.sleeper_word_count; ++w) {
        std::atomic<std::uint64_t>& word = pool.sleepers[w].bits;
        std::uint64_t bits = word.load(std::memory_order_seq_cst);
        while (bits != 0) {
            auto bit = static_cast<std::uint64_t>(__builtin_ctzll(bits));
            std::uint64_t index = w * 64 + bit;
            if (index >= n) break;
            if (word.compare_exchange_weak(bits, bits & ~(std::uint64_t{1} << bit), std::memory_order_seq_cst)) {
                unpark_worker(pool, index);
                return;
            }
        }
    }
    if (pending_before == 0) {
        unpark_worker(pool, target);
    } else if (pending_before < n) {
        wake_contended_workers(pool, target, pending_before);
    } else {
        unpark_worker(pool, (target + pending_before) % n);
    }
}

bool execute_job_with_counters(SchedulerInner& pool, std::uint64_t, job::ScheduledJob job) {
    pool.running.fetch_add(1, std::memory_order_seq_cst);
    pool.pending.fetch_sub(1, std::memory_order_seq_cst);
    job.drop_entry = &job::drop_consumed;
    bool succeeded = job.execute();
    job.discard();
    (succeeded ? pool.completed : pool.failed).fetch_add(1, std::memory_order_seq_cst);
    pool.running.fetch_sub(1, std::memory_order_seq_cst);
    return succeeded;
}

void run_idle_upkeep(queue::worker::WorkerQueueOwner& owner) {
    run_allocator_maintenance();
    owner.shrink_drained_planes();
}

void* worker_thread_main(void* argument) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
    try {
        run_worker(*start);
    } catch (const std::exception& error) {
        // A broken invariant of the queues ends this worker; shutdown still joins it.
        kavrel::domain::error::write_to_stderr(kavrel::domain::error::message_of(error));
    } catch (...) {
        kavrel::domain::error::write_to_stderr("dravik worker ended by an unknown exception");
    }
    // Dropping `start` releases the owner-side queues and this thread's pool reference.
    return nullptr;
}

void join_other_threads(std::vector<pthread_t> handles) {
    pthread_t self = pthread_self();
    while (!handles.empty()) {
        pthread_t handle = handles.back();
        handles.pop_back();
        if (pthread_equal(handle, self)) {
            pthread_detach(handle);
            continue;
        }
        if (pthread_join(handle, nullptr) != 0) {
            for (pthread_t rest : handles) pthread_detach(rest);
            kavrel::domain::error::fail_invariant("invariant: dravik worker threads can be joined");
        }
    }
}

namespace detail {

// Relaxed throughout: see the spin counts and the hook.
void set_spin_counts(SpinCounts counts) noexcept {
    worker_spin_rounds.store(counts.worker_spin_rounds, std::memory_order_relaxed);
    probe_interval.store(counts.probe_interval, std::memory_order_relaxed);
    scope_wait_reads.store(counts.scope_wait_reads, std::memory_order_relaxed);
}

SpinCounts spin_counts() noexcept {
    return {worker_spin_rounds.load(std::memory_order_relaxed), probe_interval.load(std::memory_order_relaxed),
            scope_wait_reads.load(std::memory_order_relaxed)};
}

void set_spawn_hook(SpawnFn hook) noexcept { spawn_hook.store(hook, std::memory_order_relaxed); }

int spawn_worker_thread(pthread_t* thread, void* start) noexcept {
    if (SpawnFn hook = spawn_hook.load(std::memory_order_relaxed)) return hook(thread, &worker_thread_main, start);
    return pthread_create(thread, nullptr, &worker_thread_main, start);
}

std::string thread_name(const std::string& prefix, std::uint64_t index) {
    return garvon::query::platform::cut_thread_name(prefix + "-" + std::to_string(index));
}

}  // namespace detail

}  // namespace dravik_executor::schedule::runtime::worker
