#include "dravik_scheduler/deque/chase_lev.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/counted_job.hpp"

namespace {

using dravik_scheduler::deque::chase_lev::ChaseLevInner;
using dravik_scheduler::deque::chase_lev::StealStatus;
using dravik_scheduler::deque::chase_lev::StolenBatch;
using dravik_scheduler::deque::chase_lev::storage::Array;
using dravik_scheduler_testing::CountedJob;
using dravik_scheduler_testing::discards;
using dravik_scheduler_testing::job;
using dravik_scheduler_testing::reset_discards;

using Deque = ChaseLevInner<CountedJob>;

static_assert(alignof(Deque) == 128);

std::uint64_t steal_one(Deque& deque, StealStatus* status = nullptr) {
    deque.enter_access();
    auto stolen = deque.steal_within_access();
    deque.leave_access();
    if (status) *status = stolen.status;
    EXPECT_EQ(stolen.status, StealStatus::Success);
    EXPECT_TRUE(stolen.job.whole());
    return stolen.job.id;
}

std::uint64_t pop_one(Deque& deque) {
    auto popped = deque.pop();
    EXPECT_TRUE(popped);
    if (!popped) return ~std::uint64_t{0};
    EXPECT_TRUE(popped->whole());
    return popped->id;
}

TEST(ChaseLevStorageTest, NewBufferTagsEachSlotWithItsFirstPositionFromStart) {
    Array<CountedJob>* array = Array<CountedJob>::create(16, 21);
    for (std::uint64_t i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(array->tags[i].load(), i < 5 ? 32 + static_cast<std::int64_t>(i) : 16 + static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(array->tag_count, 16u);
    EXPECT_EQ(array->mask, 15u);
    Array<CountedJob>::destroy(array);
}

TEST(ChaseLevStorageTest, CapacityChecksStopWithTheirMessages) {
    struct Row {
        std::uint64_t capacity;
        const char* message;
    };
    for (Row row : {Row{12, "assertion failed: capacity.is_power_of_two()"},
                    Row{0, "assertion failed: capacity.is_power_of_two()"},
                    Row{std::uint64_t{1} << 56, "invariant: deque capacity has a valid allocation layout"}}) {
        SCOPED_TRACE(row.capacity);
        try {
            Array<CountedJob>::destroy(Array<CountedJob>::create(row.capacity, 0));
            ADD_FAILURE() << "no error";
        } catch (const kavrel::domain::error::InternalError& error) {
            EXPECT_STREQ(error.what(), row.message);
        }
    }
}

TEST(ChaseLevTest, OwnerPopsNewestFirstAndThievesTakeOldestFirst) {
    Deque deque(16);
    for (std::uint64_t id = 0; id < 6; ++id) deque.push(job(id));
    EXPECT_EQ(steal_one(deque), 0u);
    EXPECT_EQ(pop_one(deque), 5u);
    EXPECT_EQ(steal_one(deque), 1u);
    EXPECT_EQ(pop_one(deque), 4u);
    EXPECT_EQ(pop_one(deque), 3u);
    EXPECT_EQ(pop_one(deque), 2u);  // the last job, through the race with thieves
    EXPECT_FALSE(deque.pop());
    deque.enter_access();
    EXPECT_EQ(deque.steal_within_access().status, StealStatus::Empty);
    deque.leave_access();
    EXPECT_EQ(deque.len(), 0);
}

TEST(ChaseLevTest, SixteenSlotsHoldFifteenJobsAndTheNextPushGrowsInOrder) {
    Deque deque(16);
    for (std::uint64_t id = 0; id < 15; ++id) deque.push(job(id));
    EXPECT_EQ(deque.capacity(), 16u);
    deque.push(job(15));
    EXPECT_EQ(deque.capacity(), 32u);
    EXPECT_EQ(steal_one(deque), 0u);
    EXPECT_EQ(steal_one(deque), 1u);
    for (std::uint64_t id = 15; id >= 2; --id) EXPECT_EQ(pop_one(deque), id);
    EXPECT_FALSE(deque.pop());
}

TEST(ChaseLevTest, GrowthAfterStealsAndWrapKeepsEveryJob) {
    // Positions far from 0 so the buffers start in the middle of a lap.
    Deque deque(16);
    std::uint64_t next = 0, oldest = 0;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 10; ++i) deque.push(job(next++));
        for (int i = 0; i < 9; ++i) EXPECT_EQ(steal_one(deque), oldest++);
    }
    for (int i = 0; i < 40; ++i) deque.push(job(next++));
    EXPECT_EQ(deque.capacity(), 64u);
    while (oldest < next) EXPECT_EQ(steal_one(deque), oldest++);
}

TEST(ChaseLevTest, DrainedPlaneShrinksToItsInitialCapacity) {
    struct Row {
        std::uint64_t left;
        std::uint64_t capacity_after;
    };
    for (Row row : {Row{10, 16}, Row{14, 16}, Row{15, 64}, Row{0, 16}}) {
        SCOPED_TRACE(row.left);
        Deque deque(16);
        for (std::uint64_t id = 0; id < 40; ++id) deque.push(job(id));
        ASSERT_EQ(deque.capacity(), 64u);
        for (std::uint64_t id = 39; id >= row.left; --id) {
            EXPECT_EQ(pop_one(deque), id);
            if (id == 0) break;
        }
        deque.shrink_if_drained(16);
        EXPECT_EQ(deque.capacity(), row.capacity_after);
        // The jobs left keep their order on both ends, and the deque still grows.
        if (row.left >= 2) {
            EXPECT_EQ(steal_one(deque), 0u);
            EXPECT_EQ(pop_one(deque), row.left - 1);
        }
        for (std::uint64_t id = 100; id < 130; ++id) deque.push(job(id));
        for (std::uint64_t id = 129; id >= 100; --id) EXPECT_EQ(pop_one(deque), id);
    }
}

TEST(ChaseLevTest, DestroyingTheDequeDiscardsEachHeldJobOnce) {
    reset_discards(200);
    {
        Deque deque(16);
        for (std::uint64_t id = 0; id < 100; ++id) deque.push(job(id));  // grows twice: retired buffers
        for (int i = 0; i < 10; ++i) steal_one(deque);                   // 0 .. 9 leave from the top
        for (int i = 0; i < 10; ++i) pop_one(deque);                     // 99 .. 90 from the bottom
    }
    for (std::uint64_t id = 0; id < 100; ++id) {
        SCOPED_TRACE(id);
        EXPECT_EQ(discards()[id].load(), (id >= 10 && id < 90) ? 1 : 0);
    }
}

TEST(ChaseLevTest, StolenBatchDiscardsOnlyTheJobsNotHandedOn) {
    reset_discards(8);
    {
        StolenBatch<CountedJob> batch;
        for (std::uint64_t id = 0; id < 5; ++id) batch.add(job(id));
        EXPECT_EQ(batch.take().id, 0u);
        EXPECT_EQ(batch.take().id, 1u);
    }
    for (std::uint64_t id = 0; id < 5; ++id) EXPECT_EQ(discards()[id].load(), id < 2 ? 0 : 1) << id;
}

}  // namespace
