#include "dravik_executor/schedule/runtime/worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "dravik_executor/hybrid.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"
#include "ostrel_local/tls_slot.hpp"
#include "support/jobs.hpp"
#include "ostrel_testing/process.hpp"

namespace {

using dravik_executor::ExecutorConfig;
using dravik_executor::hybrid::HybridExecutor;
using dravik_executor::schedule::runtime::types::JoinState;
using dravik_executor::schedule::runtime::types::SchedulerInner;
using dravik_executor::schedule::runtime::types::ThreadScheduler;
using dravik_executor_testing::call_job;
using dravik_executor_testing::counted_job;
using dravik_executor_testing::counts;
using ostrel_testing::wait_until;
namespace worker = dravik_executor::schedule::runtime::worker;
namespace ee = dravik_core::error::executor_error;

// Lowers the spin counts for one test, so that workers park after a few rounds.
class ShortSpins {
public:
    explicit ShortSpins(std::uint32_t rounds = 64) { worker::detail::set_spin_counts({rounds, 8, 256}); }
    ~ShortSpins() { worker::detail::set_spin_counts(worker::detail::default_spin_counts); }
};

HybridExecutor make_pool(std::uint64_t workers, std::uint64_t ring_budget = 8192) {
    auto executor = HybridExecutor::create(ExecutorConfig{"dravik-runtime", workers, ring_budget, 128});
    if (!executor) throw std::runtime_error("pool creation failed: " + dravik_core::error::debug(executor.error()));
    return std::move(*executor);
}

bool all_parked(SchedulerInner& pool) {
    std::uint64_t expected = pool.worker_count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << pool.worker_count) - 1;
    return pool.sleepers[0].bits.load() == expected;
}

// Holds `count` workers inside jobs until released.
struct Blockers {
    std::atomic<int> started{0};
    std::atomic<bool> release{false};
    bool operator()() {
        started.fetch_add(1);
        wait_until([&] { return release.load(); }, "a blocked job's release");
        return true;
    }
};

TEST(WorkerRuntimeTest, FirstAdmissionOnAnIdlePoolTargetsWorkerOne) {
    SchedulerInner four(4, "unused");
    EXPECT_EQ(worker::admission_target(four), 1u);
    EXPECT_EQ(worker::admission_target(four), 1u);  // the ticket is left alone meanwhile
    four.pending.store(3);
    std::uint64_t ticket = worker::next_round_robin_ticket::TICKET;
    EXPECT_EQ(worker::admission_target(four), (ticket + 1) % 4);
    EXPECT_EQ(worker::admission_target(four), (ticket + 2) % 4);
    four.pending.store(0);
    four.running.store(2);  // two jobs running: not idle
    EXPECT_EQ(worker::admission_target(four), (ticket + 3) % 4);
    SchedulerInner one(1, "unused");
    EXPECT_EQ(worker::admission_target(one), 0u);
    one.pending.store(1);
    EXPECT_EQ(worker::admission_target(one), 0u);
}

TEST(WorkerRuntimeTest, WakeContendedWorkersAddressesOneOrTwo) {
    SchedulerInner one(1, "unused"), three(3, "unused");
    EXPECT_EQ(worker::wake_contended_workers(one, 0, 5), 1u);
    EXPECT_EQ(worker::wake_contended_workers(three, 2, 2), 2u);
}

TEST(WorkerRuntimeTest, ExecutingAJobKeepsTheCountersAndNeverDropsIt) {
    counts().reset();
    SchedulerInner pool(2, "unused");
    pool.pending.store(2);
    EXPECT_TRUE(worker::execute_job_with_counters(pool, 0, counted_job(3)));
    auto failing = [] { return false; };
    std::atomic<int> drops{0};
    EXPECT_FALSE(worker::execute_job_with_counters(pool, 1, call_job(failing, &drops)));
    EXPECT_EQ(counts().executed[3].load(), 1);
    EXPECT_EQ(counts().dropped[3].load(), 0);
    EXPECT_EQ(drops.load(), 0);
    EXPECT_EQ(pool.pending.load(), 0u);
    EXPECT_EQ(pool.running.load(), 0u);
    EXPECT_EQ(pool.completed.load(), 1u);
    EXPECT_EQ(pool.failed.load(), 1u);
}

TEST(WorkerRuntimeTest, IdleWorkersParkInTheBitmapAndAdmissionWakesOne) {
    ShortSpins spins;
    HybridExecutor executor = make_pool(3);
    SchedulerInner& pool = executor.scheduler().inner();
    wait_until([&] { return all_parked(pool); }, "every idle worker parking");
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> ran{0};
        auto job = [&] {
            ran.fetch_add(1);
            return true;
        };
        ASSERT_TRUE(executor.scheduler().schedule_job(call_job(job)));
        wait_until([&] { return ran.load() == 1; }, "a parked pool running an admitted job");
        wait_until([&] { return all_parked(pool); }, "the workers parking again");
    }
    EXPECT_EQ(pool.completed.load(), 20u);
    EXPECT_EQ(pool.pending.load(), 0u);
}

TEST(WorkerRuntimeTest, FullAdmissionRingRefusesAndDropsTheJob) {
    // Four workers with rings of 2, all held inside jobs so that nothing drains the rings.
    HybridExecutor executor = make_pool(4, 8);
    const ThreadScheduler& scheduler = executor.scheduler();
    Blockers blockers;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(scheduler.schedule_job(call_job(blockers)));
    wait_until([&] { return blockers.started.load() == 4; }, "four workers blocking");
    counts().reset();
    std::uint64_t queued = 0;
    for (std::uint64_t id = 0; id < 8; ++id) queued += scheduler.schedule_job(counted_job(id)).has_value();
    EXPECT_EQ(queued, 8u);
    // Every ring is full now; the next ticket decides the worker named in the refusal.
    std::uint64_t target = (worker::next_round_robin_ticket::TICKET + 1) % 4;
    auto refused = scheduler.schedule_job(counted_job(100));
    ASSERT_FALSE(refused);
    EXPECT_EQ(dravik_core::error::display(refused.error()),
              "Resource exhausted: worker " + std::to_string(target) + " scheduler admission queue is full");
    EXPECT_EQ(counts().dropped[100].load(), 1);
    EXPECT_EQ(scheduler.inner().pending.load(), 8u);
    blockers.release.store(true);
    wait_until([&] { return scheduler.inner().completed.load() == 12; }, "the queued jobs running");
    for (std::uint64_t id = 0; id < 8; ++id) EXPECT_EQ(counts().executed[id].load(), 1) << id;
}

TEST(WorkerRuntimeTest, ShutdownRunsEveryPendingJobBeforeTheWorkersLeave) {
    counts().reset();
    {
        HybridExecutor executor = make_pool(2);
        Blockers blockers;
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(executor.scheduler().schedule_job(call_job(blockers)));
        wait_until([&] { return blockers.started.load() == 2; }, "both workers blocking");
        for (std::uint64_t id = 0; id < 300; ++id) ASSERT_TRUE(executor.scheduler().schedule_job(counted_job(id)));
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            blockers.release.store(true);
        });
        executor.scheduler().shutdown();  // joins: returns after every job ran
        releaser.join();
        EXPECT_EQ(executor.scheduler().inner().join_state.load(), JoinState::joined);
        auto late = executor.scheduler().schedule_job(counted_job(400));
        ASSERT_FALSE(late);
        EXPECT_TRUE(std::holds_alternative<ee::ShuttingDown>(late.error()));
        EXPECT_EQ(counts().dropped[400].load(), 1);
    }
    for (std::uint64_t id = 0; id < 300; ++id) {
        EXPECT_EQ(counts().executed[id].load(), 1) << id;
        EXPECT_EQ(counts().dropped[id].load(), 0) << id;
    }
}

TEST(WorkerRuntimeTest, EveryShutdownCallerReturnsOnlyOnceTheThreadsAreJoined) {
    HybridExecutor executor = make_pool(3);
    Blockers blockers;
    ASSERT_TRUE(executor.scheduler().schedule_job(call_job(blockers)));
    wait_until([&] { return blockers.started.load() == 1; }, "a worker blocking");
    std::atomic<int> returned_joined{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) {
        callers.emplace_back([&] {
            executor.scheduler().shutdown();
            returned_joined.fetch_add(executor.scheduler().inner().join_state.load() == JoinState::joined);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(returned_joined.load(), 0) << "a caller returned while a worker was still running a job";
    blockers.release.store(true);
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(returned_joined.load(), 3);
    EXPECT_EQ(ostrel_testing::threads_named("dravik-runtime-"), 0u);
}

TEST(WorkerRuntimeTest, ShutdownFromAWorkerSetsTheFlagWithoutJoining) {
    HybridExecutor executor = make_pool(2);
    const ThreadScheduler* scheduler = &executor.scheduler();
    std::atomic<bool> returned{false};
    auto stop_from_inside = [&] {
        scheduler->shutdown();
        returned.store(true);
        return true;
    };
    ASSERT_TRUE(scheduler->schedule_job(call_job(stop_from_inside)));
    wait_until([&] { return returned.load(); }, "shutdown from a worker returning");
    EXPECT_TRUE(scheduler->is_shutting_down());
    EXPECT_EQ(scheduler->inner().join_state.load(), JoinState::not_joined);
    scheduler->shutdown();
    EXPECT_EQ(scheduler->inner().join_state.load(), JoinState::joined);
}

TEST(WorkerRuntimeTest, IdleWorkerTidiesItsOwnHeapAtMostEveryHalfSecond) {
    ShortSpins spins;
    HybridExecutor executor = make_pool(1);
    const ThreadScheduler& scheduler = executor.scheduler();
    SchedulerInner& pool = scheduler.inner();
    auto run_on_worker = [&](auto&& body) {
        ASSERT_TRUE(scheduler.schedule_job(call_job(body)));
        wait_until([&] { return all_parked(pool) && pool.pending.load() == 0 && pool.running.load() == 0; },
                   "the worker finishing and parking");
    };
    auto reclaimed = [&] {
        std::uint64_t count = 0;
        auto read = [&] {
            count = ostrel_local::tls_slot::CACHED_SLOT_PTR->reclaimed_blocks;
            return true;
        };
        run_on_worker(read);
        return count;
    };
    // The worker takes 16 KiB blocks until they span two segments (a segment holds 124),
    // so the first segment is no longer the one it carves from.
    constexpr std::size_t block_bytes = 16384;
    std::vector<void*> blocks(150);
    auto allocate = [&] {
        for (void*& block : blocks) block = ostrel_local::alloc::thread_alloc(block_bytes, 8);
        return true;
    };
    run_on_worker(allocate);  // its idle upkeep runs the first maintenance
    auto first_maintenance = std::chrono::steady_clock::now();
    std::uint64_t before = reclaimed();
    // Frees from this thread go onto the worker's thread-free chains; only a sweep on the
    // worker takes them back while it allocates nothing.
    auto free_some = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) ostrel_local::free::thread_free(blocks[i], block_bytes, 8);
    };
    free_some(0, 40);
    // An idle cycle right after the first maintenance: too early for another.
    run_on_worker([] { return true; });
    std::uint64_t early = reclaimed();
    // A slow run (sanitizers on a loaded machine) may have passed 500 ms by now.
    if (std::chrono::steady_clock::now() - first_maintenance < std::chrono::milliseconds(450)) {
        EXPECT_EQ(early, before) << "maintenance ran again within 500 ms";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    run_on_worker([] { return true; });
    EXPECT_EQ(reclaimed(), before + 40);
    free_some(40, blocks.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    run_on_worker([] { return true; });
    EXPECT_GE(reclaimed(), before + 40 + 60);
}

TEST(WorkerRuntimeTest, WorkerWithoutAHeapGetsNoneFromIdleUpkeep) {
    ShortSpins spins;
    HybridExecutor executor = make_pool(2);
    SchedulerInner& pool = executor.scheduler().inner();
    wait_until([&] { return all_parked(pool); }, "the workers parking");
    std::atomic<int> without_heap{0};
    Blockers blockers;  // holds both workers so each reports its own heap
    auto report = [&] {
        without_heap.fetch_add(ostrel_local::tls_slot::CACHED_SLOT_PTR == nullptr);
        return blockers();
    };
    ASSERT_TRUE(executor.scheduler().schedule_job(call_job(report)));
    ASSERT_TRUE(executor.scheduler().schedule_job(call_job(report)));
    wait_until([&] { return blockers.started.load() == 2; }, "both workers reporting");
    blockers.release.store(true);
    EXPECT_EQ(without_heap.load(), 2);
}

}  // namespace
