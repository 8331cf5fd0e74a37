#include "dravik_executor/schedule/queue/worker.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/jobs.hpp"

namespace {

using dravik_executor::schedule::job::Priority;
using dravik_executor::schedule::job::PrioritizedJob;
using dravik_executor::schedule::queue::worker::WorkerQueues;
using dravik_executor_testing::counted_job;
using dravik_executor_testing::counts;
using dravik_executor_testing::id_of;

static_assert(alignof(WorkerQueues) == 128);

Priority priority(int value) { return static_cast<Priority>(value); }

std::vector<std::uint64_t> pop_all(dravik_executor::schedule::queue::worker::WorkerQueueOwner& owner) {
    std::vector<std::uint64_t> ids;
    while (auto job = owner.pop_local()) ids.push_back(id_of(*job));
    return ids;
}

TEST(WorkerQueueTest, CreatesPlanesOfTheirInitialCapacitiesAndTheRing) {
    auto [owner, shared] = WorkerQueues::create(1024, 128);
    EXPECT_EQ(shared->planes[0]->capacity(), 16u);
    EXPECT_EQ(shared->planes[1]->capacity(), 128u);
    EXPECT_EQ(shared->planes[2]->capacity(), 16u);
    EXPECT_EQ(shared->planes[3]->capacity(), 16u);
    EXPECT_EQ(shared->admission.requested_capacity(), 1024u);
    EXPECT_EQ(shared->job_count_hint(), 0u);
    EXPECT_EQ(&owner.shared(), shared.get());
}

TEST(WorkerQueueTest, PopLocalWithAZeroJobCountLeavesTheRingAlone) {
    auto [owner, shared] = WorkerQueues::create(8, 16);
    ASSERT_TRUE(shared->admission.push(PrioritizedJob{Priority::normal, counted_job(1)}));  // count not raised
    EXPECT_FALSE(owner.pop_local());
    auto still = shared->admission.pop();
    ASSERT_TRUE(still);
    EXPECT_EQ(id_of(still->job), 1u);
}

TEST(WorkerQueueTest, PopLocalTakesHigherPlanesFirstNewestFirstThenTheRing) {
    auto [owner, shared] = WorkerQueues::create(8, 16);
    // Planes filled directly (as their owner), ring entries through admission.
    shared->planes[1]->push(counted_job(10));
    shared->planes[1]->push(counted_job(11));
    shared->planes[3]->push(counted_job(30));
    shared->planes[0]->push(counted_job(0));
    shared->job_count.store(4);
    ASSERT_TRUE(shared->try_push_external(Priority::high, counted_job(20)));
    ASSERT_TRUE(shared->try_push_external(Priority::normal, counted_job(12)));
    EXPECT_EQ(shared->job_count_hint(), 6u);
    // The ring waits until every plane is empty; its priority-2 entry then goes first.
    EXPECT_EQ(pop_all(owner), (std::vector<std::uint64_t>{30, 11, 10, 0, 20, 12}));
    EXPECT_EQ(shared->job_count_hint(), 0u);
}

TEST(WorkerQueueTest, FullRingHandsTheEntryBack) {
    auto [owner, shared] = WorkerQueues::create(2, 16);
    ASSERT_TRUE(shared->try_push_external(Priority::normal, counted_job(1)));
    ASSERT_TRUE(shared->try_push_external(Priority::normal, counted_job(2)));
    auto refused = shared->try_push_external(Priority::critical, counted_job(3));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().priority, Priority::critical);
    EXPECT_EQ(id_of(refused.error().job), 3u);
    EXPECT_EQ(shared->job_count_hint(), 2u);
}

TEST(WorkerQueueTest, StealBatchTakesSixteenOldestFromTheHighestPlane) {
    auto [thief, thief_shared] = WorkerQueues::create(8, 16);
    auto [victim, victim_shared] = WorkerQueues::create(8, 16);
    for (std::uint64_t id = 0; id < 20; ++id) victim_shared->planes[1]->push(counted_job(id));
    victim_shared->job_count.store(20);
    auto first = thief.steal_batch(*victim_shared);
    ASSERT_TRUE(first);
    EXPECT_EQ(id_of(*first), 0u);
    EXPECT_EQ(thief_shared->job_count_hint(), 15u);
    EXPECT_EQ(victim_shared->job_count_hint(), 4u);
    EXPECT_EQ(thief_shared->planes[1]->len(), 15);
    EXPECT_EQ(victim_shared->planes[1]->len(), 4);
    // The thief's plane holds 1 .. 15 in stolen order, so it pops them newest first.
    std::vector<std::uint64_t> expected;
    for (std::uint64_t id = 15; id >= 1; --id) expected.push_back(id);
    EXPECT_EQ(pop_all(thief), expected);
    EXPECT_EQ(pop_all(victim), (std::vector<std::uint64_t>{19, 18, 17, 16}));
}

TEST(WorkerQueueTest, StealBatchFallsBackToTheRingWhenEveryPlaneIsEmpty) {
    auto [thief, thief_shared] = WorkerQueues::create(8, 16);
    auto [victim, victim_shared] = WorkerQueues::create(8, 16);
    ASSERT_TRUE(victim_shared->try_push_external(Priority::normal, counted_job(1)));
    ASSERT_TRUE(victim_shared->try_push_external(Priority::high, counted_job(2)));
    ASSERT_TRUE(victim_shared->try_push_external(Priority::low, counted_job(3)));
    auto first = thief.steal_batch(*victim_shared);
    ASSERT_TRUE(first);
    EXPECT_EQ(id_of(*first), 1u);
    EXPECT_EQ(thief_shared->planes[2]->len(), 1);
    EXPECT_EQ(thief_shared->planes[0]->len(), 1);
    EXPECT_EQ(thief_shared->job_count_hint(), 2u);
    EXPECT_EQ(victim_shared->job_count_hint(), 0u);
    EXPECT_EQ(pop_all(thief), (std::vector<std::uint64_t>{2, 3}));
}

TEST(WorkerQueueTest, StealBatchFromAVictimWithNoJobsTakesNothing) {
    auto [thief, thief_shared] = WorkerQueues::create(8, 16);
    auto [victim, victim_shared] = WorkerQueues::create(8, 16);
    victim_shared->planes[1]->push(counted_job(5));  // present, but the count says 0
    EXPECT_FALSE(thief.steal_batch(*victim_shared));
    EXPECT_EQ(victim_shared->planes[1]->len(), 1);
    victim_shared->job_count.store(1);
    EXPECT_EQ(id_of(*thief.steal_batch(*victim_shared)), 5u);
    EXPECT_FALSE(thief.steal_batch(*victim_shared));
}

TEST(WorkerQueueTest, RingEntryOfAnUnknownPriorityIsDiscardedAndStops) {
    counts().reset();
    auto [owner, shared] = WorkerQueues::create(8, 16);
    ASSERT_TRUE(shared->try_push_external(priority(4), counted_job(7)));
    EXPECT_THROW(owner.pop_local(), kavrel::domain::error::InternalError);
    EXPECT_EQ(counts().dropped[7].load(), 1);
}

TEST(WorkerQueueTest, ShrinkDrainedPlanesReturnsGrownPlanesToTheirInitialCapacity) {
    auto [owner, shared] = WorkerQueues::create(8, 128);
    for (std::uint64_t id = 0; id < 40; ++id) shared->planes[0]->push(counted_job(id));  // 16 -> 64
    for (std::uint64_t id = 0; id < 300; ++id) shared->planes[1]->push(counted_job(id));  // 128 -> 512
    for (std::uint64_t id = 0; id < 30; ++id) shared->planes[0]->pop();                   // 10 left
    for (std::uint64_t id = 0; id < 180; ++id) shared->planes[1]->pop();                  // 120 left
    owner.shrink_drained_planes();
    EXPECT_EQ(shared->planes[0]->capacity(), 16u);
    EXPECT_EQ(shared->planes[1]->capacity(), 128u);
    for (std::uint64_t id = 0; id < 5; ++id) shared->planes[1]->push(counted_job(id));  // 125 left
    shared->planes[1]->push(counted_job(0));
    shared->planes[1]->push(counted_job(0));
    shared->planes[1]->push(counted_job(0));  // 128: grows to 256
    ASSERT_EQ(shared->planes[1]->capacity(), 256u);
    shared->planes[1]->pop();  // 127 = initial - 1: too many to shrink
    owner.shrink_drained_planes();
    EXPECT_EQ(shared->planes[1]->capacity(), 256u);
}

TEST(WorkerQueueTest, DestroyingTheQueuesDiscardsPlaneAndRingJobsOnce) {
    counts().reset();
    {
        auto [owner, shared] = WorkerQueues::create(8, 16);
        for (std::uint64_t id = 0; id < 30; ++id) shared->planes[1]->push(counted_job(id));
        for (std::uint64_t id = 30; id < 35; ++id) ASSERT_TRUE(shared->try_push_external(Priority::normal, counted_job(id)));
        shared->planes[3]->push(counted_job(35));
    }
    for (std::uint64_t id = 0; id < 36; ++id) {
        EXPECT_EQ(counts().dropped[id].load(), 1) << id;
        EXPECT_EQ(counts().executed[id].load(), 0) << id;
    }
}

}  // namespace
