#include "dravik_executor/schedule/runtime/types.hpp"

#include <exception>

#include "dravik_executor/schedule/runtime/worker.hpp"
#include "kavrel/domain/error/error.hpp"
#include "ostrel_core/backoff.hpp"

namespace dravik_executor::schedule::runtime::types {

namespace executor_error = dravik_core::error::executor_error;

constinit thread_local std::optional<std::uint64_t> current_worker_id;
constinit thread_local std::optional<std::uint64_t> indexed_region_depth;

namespace {

constexpr std::uint64_t bits_per_sleeper_word = 64;

// Every caller after the first waits here until the first has joined the threads.
void wait_until_joined(SchedulerInner& pool) {
    std::unique_lock<std::mutex> lock(pool.shared_lock);
    pool.shared_signal.wait(lock, [&] { return pool.join_state.load(std::memory_order_seq_cst) == JoinState::joined; });
}

void join_workers(SchedulerInner& pool) {
    std::vector<pthread_t> handles;
    {
        std::lock_guard<std::mutex> guard(pool.join_mutex);
        handles.swap(pool.join_list);
    }
    // Joined even if a join fails: later callers must not wait forever.
    struct MarkJoined {
        SchedulerInner& pool;
        ~MarkJoined() {
            {
                std::lock_guard<std::mutex> guard(pool.shared_lock);
                pool.join_state.store(JoinState::joined, std::memory_order_seq_cst);
            }
            pool.shared_signal.notify_all();
        }
    } mark{pool};
    worker::join_other_threads(std::move(handles));
}

}  // namespace

SchedulerInner::SchedulerInner(std::uint64_t workers_, std::string prefix)
    : worker_count(workers_),
      workers(std::make_unique<WorkerState[]>(workers_)),
      sleeper_word_count((workers_ + bits_per_sleeper_word - 1) / bits_per_sleeper_word),
      sleepers(std::make_unique<SleeperWord[]>(sleeper_word_count)),
      thread_name_prefix(std::move(prefix)) {}

ThreadScheduler::ThreadScheduler(std::shared_ptr<SchedulerInner> inner) noexcept : inner_(std::move(inner)) {
    inner_->handle_count.fetch_add(1, std::memory_order_seq_cst);
}

ThreadScheduler::ThreadScheduler(const ThreadScheduler& other) noexcept : inner_(other.inner_) {
    inner_->handle_count.fetch_add(1, std::memory_order_seq_cst);
}

ThreadScheduler::~ThreadScheduler() {
    if (!inner_ || inner_->handle_count.fetch_sub(1, std::memory_order_seq_cst) != 1) return;
    try {
        shutdown();
    } catch (const std::exception& error) {
        // A failed join of a private pool; nothing can be handed back from a destructor.
        kavrel::domain::error::write_to_stderr(kavrel::domain::error::message_of(error));
    }
}

std::expected<ThreadScheduler, ExecutorError> ThreadScheduler::from_construction(
    std::string thread_name_prefix, std::vector<std::pair<WorkerQueueOwner, std::shared_ptr<WorkerQueues>>> queues) {
    const std::uint64_t n = queues.size();
    auto inner = std::make_shared<SchedulerInner>(n, std::move(thread_name_prefix));
    for (std::uint64_t i = 0; i < n; ++i) inner->workers[i].queues = queues[i].second;
    inner->join_list.reserve(n);
    ThreadScheduler handle(inner);
    for (std::uint64_t i = 0; i < n; ++i) {
        auto start = std::make_unique<worker::WorkerStart>(worker::WorkerStart{i, std::move(queues[i].first), inner});
        pthread_t thread{};
        if (worker::detail::spawn_worker_thread(&thread, start.get()) != 0) {
            // The threads already started are woken and joined when the handle goes.
            return std::unexpected(executor_error::ThreadPoolCreationFailed{});
        }
        start.release();  // the thread owns it now
        std::lock_guard<std::mutex> guard(inner->join_mutex);
        inner->join_list.push_back(thread);
    }
    // Admission unparks workers through their published handles.
    for (std::uint64_t i = 0; i < n; ++i) {
        // Acquire pairs with the worker's publication of its handle.
        while (!inner->workers[i].handle_published.load(std::memory_order_acquire)) ostrel_core::backoff::yield_processor();
    }
    return handle;
}

std::expected<void, ExecutorError> ThreadScheduler::schedule_job(const ScheduledJob& job) const {
    SchedulerInner& pool = *inner_;
    std::uint64_t target = worker::admission_target(pool);
    // Raised before the shutdown check and before the bitmap scan: a worker that goes to
    // sleep either sees this job pending or has set its sleeper bit for us to find.
    std::uint64_t pending_before = pool.pending.fetch_add(1, std::memory_order_seq_cst);
    if (pool.shutdown.load(std::memory_order_seq_cst)) {
        pool.pending.fetch_sub(1, std::memory_order_seq_cst);
        ScheduledJob refused = job;
        refused.discard();
        return std::unexpected(executor_error::ShuttingDown{});
    }
    auto pushed = pool.workers[target].queues->try_push_external(job::Priority::normal, job);
    if (!pushed) {
        pool.pending.fetch_sub(1, std::memory_order_seq_cst);
        pushed.error().discard();
        return std::unexpected(executor_error::ResourceExhausted{"worker " + std::to_string(target) +
                                                                 " scheduler admission queue is full"});
    }
    worker::wake_after_admission(pool, target, pending_before);
    return {};
}

void ThreadScheduler::shutdown() const {
    SchedulerInner& pool = *inner_;
    if (!pool.shutdown.exchange(true, std::memory_order_seq_cst)) {
        for (std::uint64_t i = 0; i < pool.worker_count; ++i) worker::unpark_worker(pool, i);
    }
    // A worker never joins its own pool.
    if (worker::is_worker_of(pool)) return;
    JoinState expected = JoinState::not_joined;
    if (pool.join_state.compare_exchange_strong(expected, JoinState::joining, std::memory_order_seq_cst)) {
        join_workers(pool);
    } else {
        wait_until_joined(pool);
    }
}

}  // namespace dravik_executor::schedule::runtime::types
